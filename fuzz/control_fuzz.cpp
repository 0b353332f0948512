// Control requests with arbitrary input records, output sizes and handles. Every request
// must end exactly once (the kernel stand-in aborts on a second completion), the driver
// must not read outside the buffers it was given, and closing the handles must end
// whatever was left pending.
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/ostrane.h"
#include "include/vsbp_control.h"
#include "platform/bus1394/bus1394.h"
#include "platform/kernel/kernel.h"

namespace {

class Memory : public bus1394::RemoteNode {
 public:
  bus1394::Response HandleRequest(const bus1394::Request& r) override {
    bus1394::Response response;
    uint32_t length = r.tcode == bus1394::TCODE_READ_QUADLET || r.tcode == bus1394::TCODE_WRITE_QUADLET ? 4 : r.data_length;
    if (r.offset + length > sizeof(bytes_)) {
      response.rcode = bus1394::RCODE_ADDRESS_ERROR;
    } else if (r.tcode == bus1394::TCODE_READ_QUADLET || r.tcode == bus1394::TCODE_READ_BLOCK) {
      response.data.assign(bytes_ + r.offset, bytes_ + r.offset + length);
    }
    return response;
  }

 private:
  uint8_t bytes_[1 << 16] = {};
};

struct Machine {
  Machine() {
    system = std::make_unique<kern::System>();
    kern::pnp::RegisterDriver(ostrane::kHardwareId, ostrane::kDriverName, ostrane::DriverEntry);
    hc = std::make_unique<bus1394::HostController>();
    hc->Attach(&memory, 1, {});
    hc->AddVirtualDevice(u"KORVEN_1394_VSBP2_DEVICE_REV_01");
    kern::pnp::DevicesSettled();
    kern::Guid guid{vsbp::kDeviceInterfaceClass.data1, vsbp::kDeviceInterfaceClass.data2,
                    vsbp::kDeviceInterfaceClass.data3, {}};
    std::memcpy(guid.data4, vsbp::kDeviceInterfaceClass.data4, 8);
    device = kern::ResolveDeviceInterface(kern::ListDeviceInterfaces(guid, false).at(0).symbolic_link);
  }
  std::unique_ptr<kern::System> system;
  Memory memory;
  std::unique_ptr<bus1394::HostController> hc;
  kern::DeviceObject* device = nullptr;
};

const uint32_t kCodes[] = {vsbp::IOCTL_VSBP_GET_REQUEST,         vsbp::IOCTL_VSBP_FETCH_COMMAND,
                           vsbp::IOCTL_VSBP_READ_INITIATOR,      vsbp::IOCTL_VSBP_WRITE_INITIATOR,
                           vsbp::IOCTL_VSBP_GET_HOST_CONFIG_ROM, vsbp::IOCTL_VSBP_SET_HOST_CONFIG_ROM};

struct Outstanding {
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  std::atomic<int> completions{0};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Machine* machine = new Machine();
  kern::FileObject* handles[2] = {};
  kern::OpenFile(machine->device, u"", &handles[0]);
  kern::OpenFile(machine->device, u"\\unit00", &handles[1]);
  std::vector<std::unique_ptr<Outstanding>> requests;
  size_t pos = 0;
  while (pos + 6 <= size && requests.size() < 32) {
    uint8_t selector = data[pos];
    uint16_t in_length = static_cast<uint16_t>(data[pos + 1] | data[pos + 2] << 8) % 1200;
    uint16_t out_length = static_cast<uint16_t>(data[pos + 3] | data[pos + 4] << 8) % 5000;
    uint8_t version = data[pos + 5];
    pos += 6;
    size_t take = std::min<size_t>(in_length, size - pos);
    auto r = std::make_unique<Outstanding>();
    r->in.assign(data + pos, data + pos + take);
    pos += take;
    // Most inputs carry the right version so the checks behind it are reached.
    if (!r->in.empty() && version < 0xF0) r->in[0] = vsbp::kControlVersion;
    r->out.resize(out_length);
    kern::FileObject* file = handles[(selector >> 3) & 1];
    if (file == nullptr) continue;
    kern::ControlRequest request{kCodes[selector % 6], r->in.data(), static_cast<uint32_t>(r->in.size()),
                                 r->out.data(), out_length, false, kern::Mode::User};
    Outstanding* raw = r.get();
    kern::SendControl(file, request, [raw](kern::NTSTATUS, uintptr_t) { raw->completions.fetch_add(1); });
    requests.push_back(std::move(r));
  }
  for (kern::FileObject* f : handles) {
    if (f == nullptr) continue;
    kern::CleanupFile(f);
    kern::CloseFile(f);
  }
  // Data transfers end on the bus thread; after it drains every request has ended.
  machine->hc->Drain();
  machine->system->Quiesce();
  for (const auto& r : requests) {
    if (r->completions.load() != 1) __builtin_trap();
  }
  return 0;
}
