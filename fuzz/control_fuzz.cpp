// Control requests with arbitrary input records, output sizes and handles. Every request
// must end exactly once (the kernel stand-in aborts on a second completion), the driver
// must not read outside the buffers it was given, and closing the handles must end
// whatever was left pending.
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/ostrane.h"
#include "fuzz/fuzz_machine.h"
#include "include/vsbp_control.h"
#include "platform/bus1394/bus1394.h"
#include "platform/kernel/kernel.h"

namespace {

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
  static fuzzing::FuzzMachine* machine = new fuzzing::FuzzMachine();
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
