// A machine with one host controller, the driver loaded on its virtual device, and one
// remote node whose memory the driver reads and writes. Tests act as user mode through
// the control interface.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/ostrane.h"
#include "include/vsbp_control.h"
#include "platform/bus1394/bus1394.h"
#include "platform/kernel/kernel.h"

namespace ostrane::testing {

// Initiator memory: one flat window at offset_hi 0, offset_lo 0 up to its size.
class MemoryNode : public bus1394::RemoteNode {
 public:
  explicit MemoryNode(size_t bytes = 1 << 20) : memory_(bytes) {}

  bus1394::Response HandleRequest(const bus1394::Request& r) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bus1394::Response response;
    bool read = r.tcode == bus1394::TCODE_READ_QUADLET || r.tcode == bus1394::TCODE_READ_BLOCK;
    uint32_t length = r.tcode == bus1394::TCODE_READ_QUADLET || r.tcode == bus1394::TCODE_WRITE_QUADLET
                          ? 4
                          : r.data_length;
    if (r.offset + length > memory_.size()) {
      response.rcode = bus1394::RCODE_ADDRESS_ERROR;
      return response;
    }
    accesses_.push_back({read, r.offset, length});
    if (read) {
      response.data.assign(memory_.begin() + r.offset, memory_.begin() + r.offset + length);
    } else {
      std::memcpy(memory_.data() + r.offset, r.data.data(), length);
    }
    return response;
  }

  void Write(uint64_t offset, const void* data, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(memory_.data() + offset, data, n);
  }
  std::vector<uint8_t> Read(uint64_t offset, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    return {memory_.begin() + offset, memory_.begin() + offset + n};
  }
  // Big-endian quadlets, as an initiator lays out its ORBs and page tables.
  void WriteQuadlets(uint64_t offset, const std::vector<uint32_t>& quadlets) {
    std::vector<uint8_t> bytes;
    for (uint32_t q : quadlets) {
      for (int s = 24; s >= 0; s -= 8) bytes.push_back(static_cast<uint8_t>(q >> s));
    }
    Write(offset, bytes.data(), bytes.size());
  }
  uint32_t ReadQuadlet(uint64_t offset) {
    auto b = Read(offset, 4);
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  }

  struct Access {
    bool read;
    uint64_t offset;
    uint32_t length;
  };
  std::vector<Access> accesses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return accesses_;
  }

 private:
  std::mutex mutex_;
  std::vector<uint8_t> memory_;
  std::vector<Access> accesses_;
};

// The outcome of a control request that may complete later.
struct Pending {
  std::shared_ptr<std::promise<std::pair<kern::NTSTATUS, uintptr_t>>> promise =
      std::make_shared<std::promise<std::pair<kern::NTSTATUS, uintptr_t>>>();
  std::shared_future<std::pair<kern::NTSTATUS, uintptr_t>> result = promise->get_future().share();
  kern::NTSTATUS dispatch = 0;
  kern::Irp* irp = nullptr;

  bool Done(int ms = 0) const {
    return result.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
  }
  kern::NTSTATUS Status() const { return result.get().first; }
  uintptr_t Information() const { return result.get().second; }
};

class DriverTest : public ::testing::Test {
 protected:
  virtual bus1394::HostControllerConfig ControllerConfig() { return {}; }
  // Time stands still unless a test moves it, so the bus resets the driver schedules come
  // only when asked for.
  virtual kern::Clock* TestClock() { return &clock_; }
  virtual uint8_t NodeSpeed() { return bus1394::SPEED_S400; }

  void SetUp() override {
    kern::SystemOptions options;
    options.clock = TestClock();
    system_ = std::make_unique<kern::System>(options);
    kern::pnp::RegisterDriver(kHardwareId, kDriverName, DriverEntry);
    hc_ = std::make_unique<bus1394::HostController>(ControllerConfig());
    hc_->Attach(&node_, 0x0001020304050607ULL, {}, NodeSpeed());
    ASSERT_TRUE(hc_->AddVirtualDevice(u"KORVEN_1394_VSBP2_DEVICE_REV_01"));
    kern::pnp::DevicesSettled();
    kern::Guid guid = DeviceInterfaceGuid();
    auto interfaces = kern::ListDeviceInterfaces(guid, false);
    ASSERT_EQ(interfaces.size(), 1u);
    device_ = kern::ResolveDeviceInterface(interfaces[0].symbolic_link);
    ASSERT_NE(device_, nullptr);
    // Nothing of the start may still be on its way when a test begins.
    hc_->Drain();
    system_->Quiesce();
  }

  void TearDown() override {
    while (!files_.empty()) Close(files_.back());
    // Let armed reset timers fire so the controller's stop need not wait for them.
    clock_.Advance(3 * 10'000'000ULL);
    if (hc_) hc_->Drain();
    system_->Quiesce();
    if (hc_) {
      hc_->Drain();
      hc_->RemoveVirtualDevice();
    }
    kern::pnp::UnregisterDrivers();
    hc_.reset();
    system_.reset();
  }

  // Opens a handle; null when the open fails (status in *status).
  kern::FileObject* Open(const std::u16string& name, kern::NTSTATUS* status = nullptr) {
    kern::FileObject* file = nullptr;
    kern::NTSTATUS s = kern::OpenFile(device_, name, &file);
    if (status != nullptr) *status = s;
    if (!kern::NtSuccess(s)) return nullptr;
    files_.push_back(file);
    return file;
  }
  void Close(kern::FileObject* file) {
    kern::CleanupFile(file);
    kern::CloseFile(file);
    files_.erase(std::remove(files_.begin(), files_.end(), file), files_.end());
  }

  Pending Send(kern::FileObject* file, uint32_t code, const void* in, uint32_t in_length, void* out,
               uint32_t out_length, kern::Mode mode = kern::Mode::User) {
    Pending p;
    kern::ControlRequest request{code, in, in_length, out, out_length, false, mode};
    auto promise = p.promise;
    p.irp = kern::SendControl(
        file, request, [promise](kern::NTSTATUS s, uintptr_t info) { promise->set_value({s, info}); },
        &p.dispatch);
    return p;
  }
  kern::NTSTATUS SendSync(kern::FileObject* file, uint32_t code, const void* in, uint32_t in_length, void* out,
                          uint32_t out_length, uintptr_t* information = nullptr) {
    Pending p = Send(file, code, in, in_length, out, out_length);
    if (!p.Done(10000)) ADD_FAILURE() << "request did not complete";
    if (information != nullptr) *information = p.Information();
    return p.Status();
  }

  // A Windows-style unit directory for unit `unit` with the default management agent.
  static std::vector<uint8_t> UnitDirectory(int unit, uint32_t agent_quadlets = 0) {
    if (agent_quadlets == 0) agent_quadlets = 0x4000 + 2 * static_cast<uint32_t>(unit);
    std::vector<uint32_t> q = {0x00080000, 0x1200609E, 0x13010483, 0x3800609E, 0x390104D8,
                               0x54000000 | agent_quadlets, 0x3A002808, 0x3D000003, 0x14050000};
    std::vector<uint8_t> bytes;
    for (uint32_t v : q) {
      for (int s = 24; s >= 0; s -= 8) bytes.push_back(static_cast<uint8_t>(v >> s));
    }
    return bytes;
  }

  // A GET request input: header, then an optional unit directory.
  static std::vector<uint8_t> GetInput(const std::vector<uint8_t>& directory = {}) {
    // Sized once rather than grown by insert, which gcc 12 misreads in release builds (a
    // false -Warray-bounds past the header).
    std::vector<uint8_t> in(vsbp::kHeaderBytes + directory.size(), 0);
    in[0] = vsbp::kControlVersion;
    std::copy(directory.begin(), directory.end(), in.begin() + vsbp::kHeaderBytes);
    return in;
  }

  vsbp::FetchRequest FetchInput(uint16_t login, uint16_t node, uint32_t generation) {
    vsbp::FetchRequest f{};
    f.version = vsbp::kControlVersion;
    f.login_id = login;
    f.node_id = node;
    f.generation = generation;
    f.status_fifo_hi = 0;
    f.status_fifo_lo = 0x8000;
    f.speed = bus1394::SPEED_S400;
    return f;
  }

  uint16_t NodeId() { return hc_->node_id(&node_); }

  // Opens a unit and publishes it with a directory; the GET stays pending.
  kern::FileObject* OpenPublished(int unit, Pending* get, vsbp::ManagementRecord* record) {
    std::u16string name = u"\\unit0";
    name += static_cast<char16_t>(u'0' + unit);
    kern::FileObject* file = Open(name);
    if (file == nullptr) return nullptr;
    std::vector<uint8_t> in = GetInput(UnitDirectory(unit));
    *get = Send(file, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), static_cast<uint32_t>(in.size()), record,
                sizeof(*record));
    EXPECT_EQ(get->dispatch, kern::STATUS_PENDING);
    return file;
  }

  kern::ManualClock clock_;
  std::unique_ptr<kern::System> system_;
  std::unique_ptr<bus1394::HostController> hc_;
  MemoryNode node_;
  kern::DeviceObject* device_ = nullptr;
  std::vector<kern::FileObject*> files_;
};

}  // namespace ostrane::testing
