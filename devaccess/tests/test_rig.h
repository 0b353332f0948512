// The machine, the bus driver's device request and a fake target for the device access
// library's tests: a kernel with the driver and host controllers, and the callbacks'
// target that answers commands on a worker thread of the opener's process.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devaccess/internal.h"
#include "devaccess/vsbp2api.h"
#include "driver/ostrane.h"
#include "platform/bus1394/bus1394.h"
#include "platform/kernel/kernel.h"
#include "platform/win32/win32.h"
#include "sim/initiator.h"
#include "sim/rom.h"

namespace devaccess::test_rig {

using namespace std::chrono_literals;
using sim::Command;

// The logical processes the tests act as.
constexpr uint32_t kProcess = 1000;
constexpr uint32_t kOtherProcess = 2000;

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

inline Command Read10(uint32_t lba, uint32_t bytes) {
  Command c = Command::Make({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, bytes);
  sim::StoreBe32(&c.cdb[2], lba);
  return c;
}

// ---- Machine ---------------------------------------------------------------------------

// A kernel with the driver registered and `n` host controllers, the first `bare` of them
// without the virtual device (the library adds it), the others with it from the start.
class Rig {
 public:
  Rig(size_t n, size_t bare, bool register_driver = true) {
    kern::SystemOptions options;
    options.clock = &clock_;  // the driver's own bus reset requests wait for the test
    system_ = std::make_unique<kern::System>(options);
    if (register_driver) kern::pnp::RegisterDriver(ostrane::kHardwareId, ostrane::kDriverName, ostrane::DriverEntry);
    for (size_t i = 0; i < n; ++i) {
      bus1394::HostControllerConfig config;
      config.name = "hc" + std::to_string(i);
      config.eui64 = 0x0011223344556600ULL + i;
      controllers_.push_back(std::make_unique<bus1394::HostController>(config));
    }
    for (size_t i = bare; i < n; ++i) AddDevice(i);
    kern::pnp::DevicesSettled();
  }

  ~Rig() {
    StartClock();
    for (auto& hc : controllers_) {
      if (hc->virtual_device() != nullptr) hc->RemoveVirtualDevice();
    }
    controllers_.clear();
    kern::pnp::UnregisterDrivers();
    ticking_ = false;
    ticker_.join();
    system_.reset();
  }

  // Removal waits for the reset timers the driver armed: kernel time must run from then on.
  void StartClock() {
    if (ticker_.joinable()) return;
    ticking_ = true;
    ticker_ = std::thread([this] {
      while (ticking_) {
        clock_.Advance(5'000'000);
        std::this_thread::sleep_for(2ms);
      }
    });
  }

  bus1394::HostController& hc(size_t i = 0) { return *controllers_.at(i); }
  std::u16string Path(size_t i = 0) { return win32::testing::DevicePathOf(hc(i).interface_link()); }

 private:
  // Through the bus driver's request, exactly as the library sends it.
  void AddDevice(size_t i) {
    HANDLE h = win32::CreateFileW(Path(i).c_str(), win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                                  win32::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, win32::INVALID_HANDLE_VALUE);
    bus1394::ApiRequest request{};
    request.request_number = bus1394::kApiAddVirtualDevice;
    request.flags = 5;
    request.ful_flags = 5;
    const std::u16string id = u"KORVEN_1394_VSBP2_DEVICE_REV_01";
    std::copy(id.begin(), id.end(), request.device_id);
    DWORD n = 0;
    EXPECT_TRUE(win32::DeviceIoControl(h, bus1394::IOCTL_IEEE1394_API_REQUEST, &request, sizeof(request), nullptr, 0,
                                       &n, nullptr));
    win32::CloseHandle(h);
  }

  kern::ManualClock clock_;
  std::atomic<bool> ticking_{false};
  std::thread ticker_;
  std::unique_ptr<kern::System> system_;
  std::vector<std::unique_ptr<bus1394::HostController>> controllers_;
};

// ---- Target ----------------------------------------------------------------------------

// What the target answers for one command.
struct Answer {
  DWORD status = 0;
  std::vector<uint8_t> data;  // produced bytes; the slot's data length becomes their count
  std::array<uint8_t, 18> sense{};
};

struct Seen {
  std::array<uint8_t, 12> cdb;
  uint32_t data_length;
  bool has_copy;
  uint16_t flags;
  std::vector<uint8_t> data_out;
};

// The callbacks' target: records what it is given and answers commands on a worker thread
// of the unit opener's process, as the image request path does.
class FakeTarget {
 public:
  using Handler = std::function<Answer(const Seen&)>;

  explicit FakeTarget(uint32_t pid) : pid_(pid), worker_([this] { Work(); }) {
    inquiry_ = sim::MakeInquiry(5, "KORVEN", "RIRazuVezi VOVUV", "1.0b");
  }
  ~FakeTarget() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    worker_.join();
  }

  static UnitCallbacks Callbacks() { return {&AttachCb, &ReleaseCb, &SubmitCb, &UnitEndCb}; }

  void SetInquiry(const std::array<uint8_t, 36>& inquiry) { inquiry_ = inquiry; }
  void SetHandler(Handler h) {
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = std::move(h);
  }
  void RefuseAttach(DWORD code) {
    std::lock_guard<std::mutex> lock(mu_);
    refuse_ = code;
  }
  // The next `n` commands stay with the target until ReleaseHeld.
  void Hold(int n) {
    std::lock_guard<std::mutex> lock(mu_);
    hold_ = n;
  }
  void ReleaseHeld() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (RequestSlot* s : held_) queue_.push_back(s);
      held_.clear();
    }
    cv_.notify_all();
  }

  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, done);
  }
  RequestSlot* held_slot(size_t i) {
    std::lock_guard<std::mutex> lock(mu_);
    return held_.at(i);
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }
  std::vector<DWORD> releases() {
    std::lock_guard<std::mutex> lock(mu_);
    return releases_;
  }
  std::vector<DWORD> unit_ends() {
    std::lock_guard<std::mutex> lock(mu_);
    return unit_ends_;
  }
  int login_attaches() {
    std::lock_guard<std::mutex> lock(mu_);
    return login_attaches_;
  }
  uint32_t cancelled_answers() {
    std::lock_guard<std::mutex> lock(mu_);
    return cancelled_answers_;
  }

  // Guarded by mu_; public for the WaitFor predicates.
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Seen> seen_;
  std::vector<DWORD> releases_;
  std::vector<DWORD> unit_ends_;
  std::vector<RequestSlot*> held_;
  int login_attaches_ = 0;
  uint32_t cancelled_answers_ = 0;

 private:
  static FakeTarget* Self(void* user) { return static_cast<FakeTarget*>(user); }

  static Seen Look(RequestSlot* slot) {
    Seen s{};
    std::memcpy(s.cdb.data(), slot->cdb, 12);
    s.data_length = slot->data_length;
    s.has_copy = slot->copy != nullptr && slot->data_context != nullptr;
    s.flags = slot->flags;
    if (s.has_copy && (slot->flags & kSlotDataFetched)) {
      s.data_out.resize(slot->data_length);
      slot->copy(slot->data_context, s.data_out.data(), slot->data_length, 0, kCopyOutOfRequest);
    }
    return s;
  }

  static DWORD AttachCb(void* user, uint16_t, uint32_t eui_lo, uint32_t eui_hi, uint8_t, void** context) {
    FakeTarget* t = Self(user);
    std::lock_guard<std::mutex> lock(t->mu_);
    if (eui_lo == 0 && eui_hi == 0) {  // the unit's start
      *context = &t->unit_context_;
      return 0;
    }
    if (t->refuse_ != 0) return t->refuse_;
    ++t->login_attaches_;
    *context = t;
    return 0;
  }
  // Records the ends of logins; the unit's start releases its context at once.
  static void ReleaseCb(void* user, uint16_t, void* context, DWORD code) {
    FakeTarget* t = Self(user);
    if (context == &t->unit_context_) {
      EXPECT_EQ(code, 0u);
      return;
    }
    EXPECT_EQ(context, t);
    {
      std::lock_guard<std::mutex> lock(t->mu_);
      t->releases_.push_back(code);
    }
    t->cv_.notify_all();
  }
  static void UnitEndCb(void* user, uint16_t, DWORD code) {
    FakeTarget* t = Self(user);
    {
      std::lock_guard<std::mutex> lock(t->mu_);
      t->unit_ends_.push_back(code);
    }
    t->cv_.notify_all();
  }
  static DWORD SubmitCb(void* user, uint16_t, void*, RequestSlot* slot) {
    FakeTarget* t = Self(user);
    if (slot->login_index == kManagementLoginIndex) {
      // The unit's start asks for the INQUIRY data; answered at once.
      EXPECT_EQ(slot->cdb[0], 0x12);
      slot->copy(slot->data_context, t->inquiry_.data(), 36, 0, kCopyIntoRequest);
      return 0;
    }
    Seen s = Look(slot);
    {
      std::lock_guard<std::mutex> lock(t->mu_);
      t->seen_.push_back(std::move(s));
      if (t->hold_ > 0) {
        --t->hold_;
        t->held_.push_back(slot);
      } else {
        t->queue_.push_back(slot);
      }
    }
    t->cv_.notify_all();
    return win32::ERROR_IO_PENDING;
  }

  void Work() {
    kern::ProcessScope process(pid_);
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      RequestSlot* slot = queue_.front();
      queue_.pop_front();
      Handler handler = handler_;
      if (std::atomic_ref<uint32_t>(slot->cancelled).load() != 0) ++cancelled_answers_;
      lock.unlock();
      Answer a = handler ? handler(Look(slot)) : Answer{};
      if (a.status == 0 && slot->copy != nullptr && !a.data.empty()) {
        slot->copy(slot->data_context, a.data.data(), static_cast<uint32_t>(a.data.size()), 0, kCopyIntoRequest);
        slot->data_length = static_cast<uint32_t>(std::min<size_t>(a.data.size(), slot->data_length));
      }
      std::memcpy(slot->sense, a.sense.data(), 18);
      VSbp2ApiCompleteRequest(slot, a.status);
      lock.lock();
    }
  }

  const uint32_t pid_;
  int unit_context_ = 0;
  std::array<uint8_t, 36> inquiry_;
  Handler handler_;
  DWORD refuse_ = 0;
  int hold_ = 0;
  bool stop_ = false;
  std::deque<RequestSlot*> queue_;
  std::thread worker_;
};

inline Answer Good(std::vector<uint8_t> data = {}) {
  Answer a;
  a.data = std::move(data);
  return a;
}

// READ(10) answers its full length of Pattern(lba).
inline Answer Reads(const Seen& s) {
  if (s.cdb[0] == 0x28) return Good(Pattern(s.data_length, sim::LoadBe32(&s.cdb[2])));
  return Good();
}

}  // namespace devaccess::test_rig
