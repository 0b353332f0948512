// The simulated bus. One mutex (`mu_`) guards all bus state; it is never held while code
// outside this file runs (range handlers, remote nodes, reset routines, fault hooks,
// completions, Plug and Play), so callers may re-enter the controller from any callback.
//
// Everything that travels "on the cable" is a work item of the controller's bus thread and
// runs at dispatch level in issue order. A caller that removes something a callback may be
// using (a range, a reset routine, a remote node) waits until the bus thread is out of it,
// unless the caller is the bus thread itself.
#include "platform/bus1394/bus1394.h"

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/bus1394/wire_time.h"
#include "platform/threadcpu/threadcpu.h"

namespace bus1394 {
namespace {

using kern::NTSTATUS;
using SteadyClock = std::chrono::steady_clock;

[[noreturn]] void Fatal(const char* what) {
  std::fprintf(stderr, "bus1394: %s\n", what);
  std::abort();
}

uint32_t LoadBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

constexpr uint64_t kOffsetLimit = 1ULL << 48;
constexpr uint32_t kMaxRequestBytes = 0xFFFF;  // one request of bus interface version 3+
constexpr uint32_t kRomQuadlets = kConfigRomBytes / 4;
constexpr uint8_t kMaxPhysicalId = 62;  // 63 is the broadcast ID
constexpr uint8_t kRetryX = 1;          // rt of every packet the bus sends

uint64_t OffsetOf(const NodeAddress& a) {
  return static_cast<uint64_t>(a.offset_hi) << 32 | a.offset_lo;
}

// Packet header quadlets as the range handlers see them (host order).
namespace hdr {
constexpr uint32_t Q0(uint16_t destination, uint8_t tl, uint8_t rt, uint8_t tcode) {
  return static_cast<uint32_t>(destination) << 16 | static_cast<uint32_t>(tl & 0x3F) << 10 |
         static_cast<uint32_t>(rt & 3) << 8 | static_cast<uint32_t>(tcode & 0xF) << 4;
}
constexpr uint32_t Q1(uint16_t source, uint16_t offset_hi) {
  return static_cast<uint32_t>(source) << 16 | offset_hi;
}
constexpr uint32_t DataLength(uint32_t length) { return length << 16; }
constexpr uint32_t Trailer(uint8_t speed) { return static_cast<uint32_t>(speed & 7) << 21; }
// Response fields read back from a handler's response packet.
constexpr uint8_t TcodeOf(uint32_t q0) { return (q0 >> 4) & 0xF; }
constexpr uint8_t TlOf(uint32_t q0) { return (q0 >> 10) & 0x3F; }
constexpr uint16_t DestinationOf(uint32_t q1) { return static_cast<uint16_t>(q1 >> 16); }
constexpr uint8_t RcodeOf(uint32_t q1) { return (q1 >> 12) & 0xF; }
constexpr uint32_t DataLengthOf(uint32_t q3) { return q3 >> 16; }
}  // namespace hdr

// CRC-16 of IEEE 1212 over quadlets in host order, four bits at a time.
uint16_t RomCrc(const uint32_t* q, size_t n) {
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    for (int shift = 28; shift >= 0; shift -= 4) {
      uint32_t sum = ((crc >> 12) ^ (q[i] >> shift)) & 0xF;
      crc = ((crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum) & 0xFFFF;
    }
  }
  return static_cast<uint16_t>(crc);
}

// Bus options quadlet: irmc, cmc and isc set (an isochronous-capable cycle master that can
// be resource manager), bmc and pmc clear, cyc_clk_acc 100 ppm, max_rec for the link speed
// (2^(max_rec+1) bytes = the speed's payload), max_ROM 2 (block reads of the whole ROM),
// the ROM generation, link_spd.
uint32_t BusOptions(uint8_t speed, uint8_t rom_generation) {
  const uint32_t max_rec = 8u + std::min<uint8_t>(speed, 3);
  return 0xE0000000u | 0x64u << 16 | max_rec << 12 | 2u << 8 |
         static_cast<uint32_t>(rom_generation & 0xF) << 4 | std::min<uint8_t>(speed, 3);
}

// The bus information block alone: what a remote node without a given ROM answers.
std::vector<uint32_t> MinimalRom(uint64_t eui64, uint8_t speed) {
  std::vector<uint32_t> rom = {0, 0x31333934, BusOptions(speed, 0),
                               static_cast<uint32_t>(eui64 >> 32), static_cast<uint32_t>(eui64)};
  rom[0] = 4u << 24 | 4u << 16 | RomCrc(&rom[1], 4);
  return rom;
}

// Copies bytes [offset, offset + n) of a ROM image in bus order; zeros past its end.
void CopyRomBytes(const std::vector<uint32_t>& rom, uint32_t offset, uint32_t n, uint8_t* out) {
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t at = offset + i;
    const uint32_t q = at / 4 < rom.size() ? rom[at / 4] : 0;
    out[i] = static_cast<uint8_t>(q >> (8 * (3 - at % 4)));
  }
}

bool InRomWindow(uint64_t offset, uint32_t length) {
  return offset >= kConfigRomBase && offset + length <= kConfigRomBase + kConfigRomBytes;
}

NTSTATUS StatusForRcode(uint8_t rcode) {
  switch (rcode) {
    case RCODE_TIMED_OUT: return kern::STATUS_IO_TIMEOUT;
    case RCODE_ADDRESS_ERROR: return STATUS_INVALID_ADDRESS;
    case RCODE_TYPE_ERROR: return STATUS_DEVICE_PROTOCOL_ERROR;
    case RCODE_CONFLICT_ERROR: return STATUS_DEVICE_BUSY;
    case RCODE_DATA_ERROR: return STATUS_DEVICE_DATA_ERROR;
    default: return kern::STATUS_UNSUCCESSFUL;
  }
}

uint32_t AccessFor(uint8_t tcode) {
  switch (tcode) {
    case TCODE_READ_QUADLET:
    case TCODE_READ_BLOCK: return ACCESS_FLAGS_TYPE_READ;
    case TCODE_LOCK: return ACCESS_FLAGS_TYPE_LOCK;
    default: return ACCESS_FLAGS_TYPE_WRITE;
  }
}

uint8_t ResponseTcodeFor(uint8_t tcode) {
  switch (tcode) {
    case TCODE_READ_QUADLET: return TCODE_READ_QUADLET_RESPONSE;
    case TCODE_READ_BLOCK: return TCODE_READ_BLOCK_RESPONSE;
    case TCODE_LOCK: return 0xB;  // lock response
    default: return TCODE_WRITE_RESPONSE;
  }
}

// Completion runs the driver's completion routines: the serving side's time even on the
// bus thread.
NTSTATUS Complete(kern::Irp* irp, NTSTATUS status, uintptr_t information = 0) {
  threadcpu::ServingCall serving;
  irp->io_status.status = status;
  irp->io_status.information = information;
  kern::CompleteRequest(irp);
  return status;
}

// Each device of the bus driver points back at its controller.
struct DeviceExtension {
  HostController::Impl* impl;
  bool is_pdo;
};

NTSTATUS DispatchAny(kern::DeviceObject* device, kern::Irp* irp);

}  // namespace

struct HostController::Impl {
  // A unit of bus-thread work. `cancel` runs instead of `run` when the controller is
  // destroyed first; it must finish whatever request the item carries.
  struct Work {
    std::function<void()> run;
    std::function<void()> cancel;
    SteadyClock::time_point posted{};  // when it was handed to the bus (set by Post)
  };
  struct Node {
    RemoteNode* node;
    uint64_t eui64;
    std::vector<uint32_t> rom;  // what the bus answers for reads of the node's ROM window
    uint8_t speed;
    uint16_t id;
  };
  struct Range {
    uint64_t start;
    uint32_t length;
    uint32_t access;
    RangeHandler handler;
    void* context;
  };
  struct Notification {
    ResetNotificationRoutine routine;
    void* context;
  };
  struct UnitDirectory {
    uintptr_t handle;
    std::vector<uint32_t> quadlets;  // host order
  };

  explicit Impl(const HostControllerConfig& config);
  ~Impl();

  // ---- Bus thread.
  void Loop();
  void Post(Work work);
  void PostAfter(uint64_t delay_us, Work work);
  bool OnBusThread() const { return std::this_thread::get_id() == bus_thread_id_.load(); }
  // Removers of `key` (a range, a routine or a node) wait until the bus thread is out of
  // it; `lock` holds mu_.
  void WaitOutOfCallout(std::unique_lock<std::mutex>& lock, const void* key);
  void Drain();

  // ---- Wire time (bus thread only).
  wire::Picoseconds WireNow() const;
  // When the item the bus thread runs was handed to the bus: the moment its first packet is
  // ready to go, even if the thread takes it up later.
  wire::Picoseconds WireReady() const;
  // Places one subaction and waits until it has ended on the cable.
  wire::Picoseconds OnWire(uint16_t sender, wire::Picoseconds ready, uint8_t speed, uint32_t quadlets);
  void WaitForWire(wire::Picoseconds at);

  // ---- Devices and requests.
  NTSTATUS Dispatch(kern::DeviceObject* device, kern::Irp* irp, bool is_pdo);
  bool TakesClassRequest(kern::Irp* irp, bool is_pdo, bool internal);
  // Transfers sent from a completion on the bus thread are carried out in-line, this deep.
  static constexpr int kMaxInlineDepth = 4;
  int inline_depth_ = 0;  // bus thread only
  NTSTATUS ApiRequest(kern::Irp* irp);
  NTSTATUS ClassRequest(kern::Irp* irp);
  NTSTATUS Query(kern::Irp* irp, Irb* irb);
  void AnswerQuery(kern::Irp* irp, Irb* irb);
  NTSTATUS HostInfo(Irb* irb);
  NTSTATUS ModifyRom(Irb* irb);
  NTSTATUS AllocateRange(Irb* irb);
  NTSTATUS FreeRange(Irb* irb);
  NTSTATUS ResetNotification(Irb* irb);
  NTSTATUS AddVirtualDevice(const std::u16string& device_id, uint64_t instance_id);
  NTSTATUS RemoveVirtualDevice();
  void DeleteRemovedDevices(bool final);  // vdev_mu_ held

  // ---- Driver transfers.
  static LogEntry AsyncEntry(const Irb& irb, bool write);
  void StartAsync(kern::Irp* irp, Irb* irb, bool write);
  void RunAsync(kern::Irp* irp, Irb* irb, bool write, LogEntry entry);
  NTSTATUS Transfer(const Irb::AsyncTransfer& t, bool write, uint32_t* packets);
  void FinishAsync(kern::Irp* irp, LogEntry entry, NTSTATUS status, uintptr_t information);
  Work AsyncWork(kern::Irp* irp, Irb* irb, bool write, LogEntry entry);
  FaultAction Consult(const LogEntry& entry);

  // ---- Remote transactions.
  void ProcessRemote(RemoteNode* from, Request request, std::function<void(const Response&)> done);
  uint8_t CheckShape(const Request& r, uint32_t* length) const;  // 0xFF when acceptable
  Response AnswerCsr(const Request& r, uint32_t length);            // mu_ held
  std::vector<uint32_t> RequestPacket(const Request& r, uint16_t major) const;
  static Response ReadResponse(const Request& r, uint8_t rcode, const void* packet,
                               kern::Mdl* mdl, uint32_t length);
  void FinishRemote(const Request& r, const Response& response,
                    const std::function<void(const Response&)>& done);

  // ---- Resets and ROM.
  void DoBusReset();
  void RunResetCallouts(uint32_t generation, std::vector<std::pair<RemoteNode*, uint16_t>> nodes,
                        std::vector<std::shared_ptr<Notification>> routines);
  void AssignIds();  // mu_ held
  void RebuildRom();  // mu_ held
  const Node* FindNode(const RemoteNode* node) const;  // mu_ held
  const Node* FindNodeById(uint16_t id) const;         // mu_ held
  void AddLog(LogEntry e);

  // Guarded by mu_ (all of the below up to the devices).
  mutable std::mutex mu_;
  HostControllerConfig config_;
  uint32_t generation_ = 1;
  uint16_t local_id_ = MakeNodeId(0);
  std::vector<uint8_t> physical_ids_;  // plan for resets: local first, then remote nodes
  std::vector<Node> nodes_;            // in attach order
  // Shared so that a callout keeps its record alive while a free races with it; the raw
  // pointer is the handle the driver holds.
  std::vector<std::shared_ptr<Range>> ranges_;
  std::vector<std::shared_ptr<Notification>> notifications_;
  std::vector<UnitDirectory> unit_directories_;  // in the order they were added
  uintptr_t next_rom_handle_ = 1;
  uint8_t rom_generation_ = 2;
  std::vector<uint32_t> host_rom_;    // the bus driver's ROM, changed by the driver
  std::vector<uint32_t> active_rom_;  // what remote nodes read: host_rom_ as of the last reset
  uint32_t busy_timeout_ = 0;
  uint8_t next_tlabel_ = 0;
  std::vector<LogEntry> log_;
  std::function<FaultAction(const LogEntry&)> hook_;
  bool pend_queries_ = false;
  std::vector<Work> pended_;  // queries and transfers held until ReleasePendedQueries
  const void* callout_ = nullptr;  // what the bus thread is calling into right now
  std::condition_variable callout_cv_;
  std::deque<Work> queue_;
  std::multimap<SteadyClock::time_point, Work> delayed_;  // equal times keep their order
  bool running_ = false;  // the bus thread is executing an item
  bool stop_ = false;
  std::condition_variable work_cv_;
  std::condition_variable idle_cv_;

  std::optional<wire::Bus> wire_;  // bus thread only
  SteadyClock::time_point wire_epoch_ = SteadyClock::now();
  SteadyClock::time_point running_posted_{};  // the running item's Work::posted
  // How late the bus thread woke from its last wait for the wire, in the item it runs: what
  // the item posts is dated that much earlier, as if the thread had woken on time (the
  // driver's completion routines run here and send their next request at once).
  SteadyClock::duration wire_late_{};

  std::atomic<std::thread::id> bus_thread_id_{};
  std::thread thread_;
  std::atomic<int> reset_requests_{0};

  kern::DriverObject driver_;
  kern::DeviceObject* controller_ = nullptr;
  std::string link_;
  std::mutex vdev_mu_;  // serialises adding and removing the virtual device
  std::atomic<kern::DeviceObject*> pdo_{nullptr};
  int pdo_serial_ = 0;  // guarded by vdev_mu_
  // Reported gone, deleted once their stack has been removed (which waits for the last
  // open file). Guarded by vdev_mu_.
  std::vector<kern::DeviceObject*> gone_;
  // Per physical device: its stack is down (IRP_MN_REMOVE_DEVICE came, and no start
  // since). Guarded by mu_, since removal reaches the device while vdev_mu_ is held.
  std::map<kern::DeviceObject*, bool> stack_down_;
  std::atomic<bool> closing_{false};
};

namespace {

NTSTATUS DispatchAny(kern::DeviceObject* device, kern::Irp* irp) {
  auto* ext = static_cast<DeviceExtension*>(device->extension);
  return ext->impl->Dispatch(device, irp, ext->is_pdo);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Construction and teardown.

HostController::Impl::Impl(const HostControllerConfig& config) : config_(config) {
  driver_.name = "1394bus";
  for (auto& f : driver_.major_function) f = &DispatchAny;
  NTSTATUS s = kern::CreateDevice(&driver_, sizeof(DeviceExtension),
                                  "\\Device\\1394Bus_" + config_.name,
                                  kern::FILE_DEVICE_BUS_EXTENDER, false, &controller_);
  if (!kern::NtSuccess(s) || !controller_) Fatal("cannot create the host controller device");
  *static_cast<DeviceExtension*>(controller_->extension) = {this, false};
  controller_->flags &= ~kern::DO_DEVICE_INITIALIZING;

  RebuildRom();
  active_rom_ = host_rom_;
  if (config_.wire_time) wire_.emplace(config_.local_speed);
  thread_ = std::thread([this] { Loop(); });

  s = kern::RegisterDeviceInterface(controller_, kHostControllerInterface, &link_);
  if (kern::NtSuccess(s)) s = kern::SetDeviceInterfaceState(link_, true);
  if (!kern::NtSuccess(s)) Fatal("cannot register the host controller interface");
}

HostController::Impl::~Impl() {
  // The virtual device goes first, while the bus still runs: its driver finishes its
  // transfers during removal.
  RemoveVirtualDevice();
  {
    std::lock_guard<std::mutex> lock(vdev_mu_);
    DeleteRemovedDevices(true);
  }
  closing_ = true;
  kern::SetDeviceInterfaceState(link_, false);
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  work_cv_.notify_all();
  thread_.join();

  // No request may be lost: what is still queued, delayed or held is finished now.
  std::vector<Work> rest;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& w : queue_) rest.push_back(std::move(w));
    for (auto& [due, w] : delayed_) rest.push_back(std::move(w));
    for (auto& w : pended_) rest.push_back(std::move(w));
    queue_.clear();
    delayed_.clear();
    pended_.clear();
  }
  {
    kern::DispatchLevelScope dispatch;
    for (auto& w : rest) {
      if (w.cancel) w.cancel();
    }
  }
  kern::DeleteDevice(controller_);
}

// ---------------------------------------------------------------------------------------
// The bus thread.

void HostController::Impl::Loop() {
  bus_thread_id_ = std::this_thread::get_id();
  // Packets of tens of microseconds: the default timer slack (50 µs) would leave the
  // simulated cable idle for longer than it was busy.
  if (wire_) prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const auto now = SteadyClock::now();
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
      queue_.push_back(std::move(delayed_.begin()->second));
      delayed_.erase(delayed_.begin());
    }
    if (stop_) break;
    if (!queue_.empty()) {
      Work work = std::move(queue_.front());
      queue_.pop_front();
      running_ = true;
      running_posted_ = work.posted;
      wire_late_ = {};
      lock.unlock();
      {
        kern::DispatchLevelScope dispatch;
        work.run();
        work = {};  // captured state goes while still unlocked
      }
      lock.lock();
      running_ = false;
      if (queue_.empty() && delayed_.empty()) idle_cv_.notify_all();
      continue;
    }
    if (delayed_.empty()) {
      idle_cv_.notify_all();
      work_cv_.wait(lock);
    } else {
      work_cv_.wait_until(lock, delayed_.begin()->first);
    }
  }
}

void HostController::Impl::Post(Work work) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!stop_) {
      work.posted = SteadyClock::now();
      if (wire_ && OnBusThread()) work.posted -= wire_late_;
      queue_.push_back(std::move(work));
      work_cv_.notify_all();
      return;
    }
  }
  kern::DispatchLevelScope dispatch;
  if (work.cancel) work.cancel();
}

void HostController::Impl::PostAfter(uint64_t delay_us, Work work) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!stop_) {
      work.posted = SteadyClock::now() + std::chrono::microseconds(delay_us);
      delayed_.emplace(work.posted, std::move(work));
      work_cv_.notify_all();
      return;
    }
  }
  kern::DispatchLevelScope dispatch;
  if (work.cancel) work.cancel();
}

void HostController::Impl::WaitOutOfCallout(std::unique_lock<std::mutex>& lock, const void* key) {
  if (OnBusThread()) return;
  callout_cv_.wait(lock, [&] { return callout_ != key; });
}

void HostController::Impl::Drain() {
  if (OnBusThread()) Fatal("Drain called on the bus thread");
  std::unique_lock<std::mutex> lock(mu_);
  idle_cv_.wait(lock, [&] { return stop_ || (queue_.empty() && delayed_.empty() && !running_); });
}

wire::Picoseconds HostController::Impl::WireNow() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - wire_epoch_).count() * 1000;
}

wire::Picoseconds HostController::Impl::WireReady() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(running_posted_ - wire_epoch_).count() * 1000;
}

wire::Picoseconds HostController::Impl::OnWire(uint16_t sender, wire::Picoseconds ready, uint8_t speed,
                                               uint32_t quadlets) {
  const wire::Picoseconds end = wire_->Place(PhyOf(sender), ready, {speed, quadlets});
  WaitForWire(end);
  return end;
}

void HostController::Impl::WaitForWire(wire::Picoseconds at) {
  const auto due = wire_epoch_ + std::chrono::nanoseconds(at / 1000);
  // Late wake-ups do not add up: the next packet is placed after this one's end on the
  // model's clock, not after the moment the thread woke.
  if (SteadyClock::now() < due) {
    std::this_thread::sleep_until(due);
    wire_late_ = std::max(SteadyClock::now() - due, SteadyClock::duration{});
  }
}

// ---------------------------------------------------------------------------------------
// Dispatch.

NTSTATUS HostController::Impl::Dispatch(kern::DeviceObject* device, kern::Irp* irp,
                                        bool is_pdo) {
  kern::IoStackLocation* loc = kern::CurrentStackLocation(irp);
  switch (loc->major) {
    case kern::IRP_MJ_CREATE:
    case kern::IRP_MJ_CLEANUP:
    case kern::IRP_MJ_CLOSE:
      return Complete(irp, kern::STATUS_SUCCESS);
    case kern::IRP_MJ_PNP:
      switch (loc->minor) {
        case kern::IRP_MN_QUERY_CAPABILITIES:
          // The virtual device can vanish at any time (the API request removes it).
          if (loc->capabilities) loc->capabilities->surprise_removal_ok = true;
          return Complete(irp, kern::STATUS_SUCCESS);
        case kern::IRP_MN_REMOVE_DEVICE:
        case kern::IRP_MN_START_DEVICE:
          // The device above is still attached while a removal runs, so the physical device
          // is deleted later, by the controller.
          if (is_pdo) {
            std::lock_guard<std::mutex> lock(mu_);
            stack_down_[device] = loc->minor == kern::IRP_MN_REMOVE_DEVICE;
          }
          return Complete(irp, kern::STATUS_SUCCESS);
        case kern::IRP_MN_QUERY_REMOVE_DEVICE:
        case kern::IRP_MN_CANCEL_REMOVE_DEVICE:
        case kern::IRP_MN_STOP_DEVICE:
        case kern::IRP_MN_QUERY_STOP_DEVICE:
        case kern::IRP_MN_CANCEL_STOP_DEVICE:
        case kern::IRP_MN_QUERY_PNP_DEVICE_STATE:
        case kern::IRP_MN_SURPRISE_REMOVAL:
          return Complete(irp, kern::STATUS_SUCCESS);
        default:
          return Complete(irp, irp->io_status.status, irp->io_status.information);
      }
    case kern::IRP_MJ_POWER:
      // A bus driver finishes power requests when the hardware has changed state, later:
      // a driver above that passes one down must carry the pending flag up.
      kern::StartNextPowerIrp(irp);
      kern::MarkIrpPending(irp);
      Post(Work{[this, irp] { Complete(irp, kern::STATUS_SUCCESS); },
                [this, irp] { Complete(irp, kern::STATUS_SUCCESS); }});
      return kern::STATUS_PENDING;
    case kern::IRP_MJ_SYSTEM_CONTROL:
      return Complete(irp, irp->io_status.status, irp->io_status.information);
    case kern::IRP_MJ_DEVICE_CONTROL:
      if (!is_pdo && loc->device_io_control.io_control_code == IOCTL_IEEE1394_API_REQUEST)
        return ApiRequest(irp);
      [[fallthrough]];
    case kern::IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (loc->device_io_control.io_control_code == IOCTL_1394_CLASS) {
        if (!TakesClassRequest(irp, is_pdo, loc->major == kern::IRP_MJ_INTERNAL_DEVICE_CONTROL))
          return Complete(irp, kern::STATUS_INVALID_DEVICE_REQUEST);
        return ClassRequest(irp);
      }
      return Complete(irp, kern::STATUS_INVALID_DEVICE_REQUEST);
    default:
      return Complete(irp, kern::STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS HostController::Impl::ApiRequest(kern::Irp* irp) {
  kern::IoStackLocation* loc = kern::CurrentStackLocation(irp);
  if (!irp->system_buffer || loc->device_io_control.input_buffer_length < sizeof(bus1394::ApiRequest))
    return Complete(irp, kern::STATUS_INVALID_PARAMETER);
  bus1394::ApiRequest request;
  std::memcpy(&request, irp->system_buffer, sizeof request);
  NTSTATUS status;
  switch (request.request_number) {
    case kApiAddVirtualDevice: {
      std::u16string id;
      for (char16_t c : request.device_id) {
        if (c == 0) break;
        id.push_back(c);
      }
      status = AddVirtualDevice(id, request.instance_id);
      break;
    }
    case kApiRemoveVirtualDevice:
      status = RemoveVirtualDevice();
      break;
    default:
      status = kern::STATUS_INVALID_PARAMETER;
  }
  return Complete(irp, status);
}

// Stacks before version 3 take asynchronous transfers only on the transfer device (the
// controller's), and only as device control requests; a transfer sent to the virtual
// device's own stack, or as an internal request, is refused there. Newer stacks take
// transfers both ways on both devices, and every stack takes the other class requests so.
bool HostController::Impl::TakesClassRequest(kern::Irp* irp, bool is_pdo, bool internal) {
  if (config_.ddi_major >= 3) return true;
  auto* irb = static_cast<Irb*>(kern::CurrentStackLocation(irp)->others.argument1);
  if (!irb) return true;  // refused as malformed
  const bool transfer = irb->function == REQUEST_ASYNC_READ || irb->function == REQUEST_ASYNC_WRITE;
  return !transfer || (!is_pdo && !internal);
}

NTSTATUS HostController::Impl::ClassRequest(kern::Irp* irp) {
  auto* irb = static_cast<Irb*>(kern::CurrentStackLocation(irp)->others.argument1);
  if (!irb) return Complete(irp, kern::STATUS_INVALID_PARAMETER);
  if (closing_) return Complete(irp, kern::STATUS_NO_SUCH_DEVICE);
  switch (irb->function) {
    case REQUEST_ASYNC_READ:
    case REQUEST_ASYNC_WRITE: {
      const bool write = irb->function == REQUEST_ASYNC_WRITE;
      const LogEntry entry = AsyncEntry(*irb, write);
      bool stale;
      {
        std::lock_guard<std::mutex> lock(mu_);
        stale = entry.generation != generation_;
      }
      if (stale) {
        // A request for a past generation fails at once, without being queued: its
        // completion runs inside the caller's call and the dispatch returns its status.
        LogEntry failed = entry;
        failed.status = STATUS_FIREWIRE_GENERATION;
        AddLog(failed);
        return Complete(irp, STATUS_FIREWIRE_GENERATION);
      }
      kern::MarkIrpPending(irp);
      if (OnBusThread() && inline_depth_ < kMaxInlineDepth) {
        // Sent from the completion of an earlier request: carried out in-line, so its own
        // completion runs before the call that sent it returns, as a bus driver that
        // finishes quick requests at once does.
        ++inline_depth_;
        StartAsync(irp, irb, write);
        --inline_depth_;
        return kern::STATUS_PENDING;
      }
      Post(Work{[this, irp, irb, write] { StartAsync(irp, irb, write); },
                [this, irp, entry] { FinishAsync(irp, entry, kern::STATUS_CANCELLED, 0); }});
      return kern::STATUS_PENDING;
    }
    case REQUEST_GET_GENERATION_COUNT:
    case REQUEST_GET_ADDR_FROM_DEVICE_OBJECT:
      return Query(irp, irb);
    case REQUEST_GET_LOCAL_HOST_INFO:
      return Complete(irp, HostInfo(irb));
    case REQUEST_SET_LOCAL_HOST_PROPERTIES:
      return Complete(irp, ModifyRom(irb));
    case REQUEST_ALLOCATE_ADDRESS_RANGE:
      return Complete(irp, AllocateRange(irb));
    case REQUEST_FREE_ADDRESS_RANGE:
      return Complete(irp, FreeRange(irb));
    case REQUEST_BUS_RESET_NOTIFICATION:
      return Complete(irp, ResetNotification(irb));
    case REQUEST_BUS_RESET:
      ++reset_requests_;
      kern::MarkIrpPending(irp);
      Post(Work{[this, irp] {
                  DoBusReset();
                  Complete(irp, kern::STATUS_SUCCESS);
                },
                [irp] { Complete(irp, kern::STATUS_CANCELLED); }});
      return kern::STATUS_PENDING;
    default:
      return Complete(irp, kern::STATUS_NOT_IMPLEMENTED);
  }
}

// ---------------------------------------------------------------------------------------
// Queries.

NTSTATUS HostController::Impl::Query(kern::Irp* irp, Irb* irb) {
  LogEntry probe{};
  probe.kind = irb->function == REQUEST_GET_GENERATION_COUNT ? LogEntry::Kind::GenerationQuery
                                                             : LogEntry::Kind::NodeAddressQuery;
  bool pend;
  {
    std::lock_guard<std::mutex> lock(mu_);
    probe.node_id = local_id_;
    probe.generation = generation_;
    pend = pend_queries_;
  }
  const FaultAction action = Consult(probe);
  if (action.kind == FaultAction::Kind::Fail) return Complete(irp, action.status);
  Work work{[this, irp, irb] { AnswerQuery(irp, irb); },
            [irp] { Complete(irp, kern::STATUS_CANCELLED); }};
  if (action.kind == FaultAction::Kind::Delay) {
    kern::MarkIrpPending(irp);
    PostAfter(action.delay_us, std::move(work));
    return kern::STATUS_PENDING;
  }
  if (pend || action.kind == FaultAction::Kind::Pend) {
    kern::MarkIrpPending(irp);
    std::lock_guard<std::mutex> lock(mu_);
    pended_.push_back(std::move(work));
    return kern::STATUS_PENDING;
  }
  AnswerQuery(irp, irb);
  return kern::STATUS_SUCCESS;
}

// The answer is taken when the request completes, so a held query reports the bus as it is
// at release.
void HostController::Impl::AnswerQuery(kern::Irp* irp, Irb* irb) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (irb->function == REQUEST_GET_GENERATION_COUNT) {
      irb->u.get_generation.generation = generation_;
    } else {
      // The virtual device lives on the local node, so with or without USE_LOCAL_NODE the
      // answer is the local node's address.
      irb->u.get_addr.address = NodeAddress{local_id_, 0, 0};
    }
  }
  Complete(irp, kern::STATUS_SUCCESS);
}

NTSTATUS HostController::Impl::HostInfo(Irb* irb) {
  auto& req = irb->u.get_host_info;
  if (!req.info) return kern::STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(mu_);
  switch (req.level) {
    case GET_HOST_DDI_VERSION: {
      if (!config_.ddi_version_supported) return kern::STATUS_NOT_SUPPORTED;
      auto* v = static_cast<HostDdiVersion*>(req.info);
      v->major = config_.ddi_major;
      v->minor = config_.ddi_minor;
      return kern::STATUS_SUCCESS;
    }
    case GET_HOST_CAPABILITIES: {
      auto* c = static_cast<HostCapabilities*>(req.info);
      c->capabilities = 0;
      c->max_async_read_request = config_.max_async_read_request;
      c->max_async_write_request = config_.max_async_write_request;
      c->max_isoch_channels = 64;
      return kern::STATUS_SUCCESS;
    }
    case GET_HOST_CONFIG_ROM: {
      auto* r = static_cast<HostConfigRomInfo*>(req.info);
      const uint32_t bytes = static_cast<uint32_t>(host_rom_.size() * 4);
      r->returned_length = bytes;
      if (!r->buffer || r->length < bytes) return kern::STATUS_INVALID_BUFFER_SIZE;
      auto* out = static_cast<uint8_t*>(r->buffer);
      for (size_t i = 0; i < host_rom_.size(); ++i) StoreBe32(out + 4 * i, host_rom_[i]);
      return kern::STATUS_SUCCESS;
    }
    default:
      return kern::STATUS_INVALID_PARAMETER;
  }
}

// ---------------------------------------------------------------------------------------
// Configuration ROM.

NTSTATUS HostController::Impl::ModifyRom(Irb* irb) {
  auto& req = irb->u.set_host_properties;
  if (req.level != SET_LOCAL_HOST_PROPERTIES_MODIFY_CROM || !req.info)
    return kern::STATUS_INVALID_PARAMETER;
  auto* info = static_cast<ModifyCromInfo*>(req.info);
  LogEntry e{};
  e.kind = LogEntry::Kind::ConfigRomChange;
  NTSTATUS status = kern::STATUS_SUCCESS;

  if (info->flags == SLHP_FLAG_ADD_CROM_DATA) {
    if (!info->data || info->length == 0 || info->length % 4 != 0 ||
        kern::MdlByteCount(info->data) < info->length)
      return kern::STATUS_INVALID_PARAMETER;
    auto* bytes = static_cast<const uint8_t*>(kern::GetSystemAddressForMdl(info->data));
    if (!bytes) return kern::STATUS_INSUFFICIENT_RESOURCES;
    UnitDirectory dir{0, std::vector<uint32_t>(info->length / 4)};
    for (size_t i = 0; i < dir.quadlets.size(); ++i) dir.quadlets[i] = LoadBe32(bytes + 4 * i);
    std::lock_guard<std::mutex> lock(mu_);
    e.length = info->length;
    e.generation = generation_;
    e.offset = kConfigRomBase + host_rom_.size() * 4 + 4;  // after the new root entry
    // One root directory entry plus the block must still fit the 1 KiB ROM window.
    if (host_rom_.size() + 1 + dir.quadlets.size() > kRomQuadlets) {
      status = kern::STATUS_INSUFFICIENT_RESOURCES;
    } else {
      dir.handle = next_rom_handle_++;
      info->handle = reinterpret_cast<void*>(dir.handle);
      unit_directories_.push_back(std::move(dir));
      RebuildRom();
    }
    e.status = status;
    log_.push_back(e);
    return status;
  }
  if (info->flags == SLHP_FLAG_REMOVE_CROM_DATA) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto handle = reinterpret_cast<uintptr_t>(info->handle);
    auto it = std::find_if(unit_directories_.begin(), unit_directories_.end(),
                           [&](const UnitDirectory& d) { return d.handle == handle; });
    if (it == unit_directories_.end()) return kern::STATUS_INVALID_PARAMETER;
    size_t at = 8 + unit_directories_.size();
    for (auto d = unit_directories_.begin(); d != it; ++d) at += d->quadlets.size();
    e.offset = kConfigRomBase + at * 4;
    e.length = static_cast<uint32_t>(it->quadlets.size() * 4);
    e.generation = generation_;
    unit_directories_.erase(it);
    RebuildRom();
    log_.push_back(e);
    return kern::STATUS_SUCCESS;
  }
  return kern::STATUS_INVALID_PARAMETER;
}

// Layout (quadlets): 0-4 bus information block, 5 root directory header, 6 module vendor
// ID, 7 node capabilities, then one Unit_Directory entry per block, then the blocks in the
// order they were added. The block's own leaves are addressed relative to entries inside
// the block, so copying it verbatim keeps them valid.
void HostController::Impl::RebuildRom() {
  if (!host_rom_.empty()) rom_generation_ = rom_generation_ >= 15 ? 2 : rom_generation_ + 1;
  const size_t units = unit_directories_.size();
  std::vector<uint32_t> rom = {0, 0x31333934, BusOptions(config_.local_speed, rom_generation_),
                               static_cast<uint32_t>(config_.eui64 >> 32),
                               static_cast<uint32_t>(config_.eui64), 0,
                               0x03000000u | static_cast<uint32_t>(config_.eui64 >> 40),
                               0x0C0083C0u};
  size_t block = 8 + units;
  for (size_t i = 0; i < units; ++i) {
    const size_t entry = 8 + i;
    rom.push_back(0xD1000000u | static_cast<uint32_t>(block - entry));
    block += unit_directories_[i].quadlets.size();
  }
  for (const auto& d : unit_directories_) rom.insert(rom.end(), d.quadlets.begin(), d.quadlets.end());
  const uint32_t root_length = static_cast<uint32_t>(2 + units);
  rom[5] = root_length << 16 | RomCrc(&rom[6], root_length);
  const uint32_t crc_length = static_cast<uint32_t>(rom.size() - 1);
  rom[0] = 4u << 24 | crc_length << 16 | RomCrc(&rom[1], crc_length);
  host_rom_ = std::move(rom);
}

// ---------------------------------------------------------------------------------------
// Address ranges and reset notifications.

NTSTATUS HostController::Impl::AllocateRange(Irb* irb) {
  auto& req = irb->u.allocate_range;
  const uint64_t start = OffsetOf(req.required_offset);
  if (!req.handler || !req.ranges || req.length == 0 || req.access_type == 0 ||
      start + req.length > kOffsetLimit)
    return kern::STATUS_INVALID_PARAMETER;
  const uint64_t end = start + req.length;
  std::lock_guard<std::mutex> lock(mu_);
  // The CSR core registers and the ROM window belong to the bus driver itself.
  if (start < kCsrRegisterBase + 0x800 && end > kCsrRegisterBase)
    return kern::STATUS_CONFLICTING_ADDRESSES;
  for (const auto& r : ranges_) {
    if (start < r->start + r->length && end > r->start) return kern::STATUS_CONFLICTING_ADDRESSES;
  }
  auto range = std::make_shared<Range>(Range{start, req.length, req.access_type, req.handler, req.context});
  req.ranges[0] = AddressRange{req.required_offset.offset_hi, 0, req.required_offset.offset_lo, req.length};
  req.ranges_returned = 1;
  req.handle = range.get();
  ranges_.push_back(std::move(range));
  return kern::STATUS_SUCCESS;
}

NTSTATUS HostController::Impl::FreeRange(Irb* irb) {
  std::unique_lock<std::mutex> lock(mu_);
  auto it = std::find_if(ranges_.begin(), ranges_.end(),
                         [&](const auto& r) { return r.get() == irb->u.free_range.handle; });
  if (it == ranges_.end()) return kern::STATUS_INVALID_PARAMETER;
  const void* key = it->get();
  ranges_.erase(it);
  // After the free returns the handler is not running and will not run again.
  WaitOutOfCallout(lock, key);
  return kern::STATUS_SUCCESS;
}

NTSTATUS HostController::Impl::ResetNotification(Irb* irb) {
  auto& req = irb->u.notification;
  std::unique_lock<std::mutex> lock(mu_);
  auto same = [&](const auto& n) {
    return n->context == req.context && (!req.routine || n->routine == req.routine);
  };
  auto it = std::find_if(notifications_.begin(), notifications_.end(), same);
  if (req.flags == REGISTER_NOTIFICATION_ROUTINE) {
    if (!req.routine) return kern::STATUS_INVALID_PARAMETER;
    if (it == notifications_.end())
      notifications_.push_back(std::make_shared<Notification>(Notification{req.routine, req.context}));
    return kern::STATUS_SUCCESS;
  }
  if (req.flags == DEREGISTER_NOTIFICATION_ROUTINE) {
    if (it == notifications_.end()) return kern::STATUS_INVALID_PARAMETER;
    const void* key = it->get();
    notifications_.erase(it);
    WaitOutOfCallout(lock, key);
    return kern::STATUS_SUCCESS;
  }
  return kern::STATUS_INVALID_PARAMETER;
}

// ---------------------------------------------------------------------------------------
// The virtual device.

NTSTATUS HostController::Impl::AddVirtualDevice(const std::u16string& device_id,
                                                uint64_t instance_id) {
  if (device_id.empty()) return kern::STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(vdev_mu_);
  if (closing_) return kern::STATUS_NO_SUCH_DEVICE;
  if (pdo_) return kern::STATUS_OBJECT_NAME_COLLISION;
  DeleteRemovedDevices(false);
  kern::DeviceObject* pdo = nullptr;
  NTSTATUS s = kern::CreateDevice(
      &driver_, sizeof(DeviceExtension),
      "\\Device\\1394Bus_" + config_.name + "_Device" + std::to_string(pdo_serial_++),
      kern::FILE_DEVICE_BUS_EXTENDER, false, &pdo);
  if (!kern::NtSuccess(s)) return s;
  *static_cast<DeviceExtension*>(pdo->extension) = {this, true};
  // The driver finds the device it sends transfers to here.
  pdo->bus_context = controller_;
  pdo->flags &= ~kern::DO_DEVICE_INITIALIZING;
  pdo_ = pdo;

  std::string hardware_id = "1394\\";
  for (char16_t c : device_id) hardware_id.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  char instance[17];
  std::snprintf(instance, sizeof instance, "%016llX", static_cast<unsigned long long>(instance_id));
  kern::pnp::ReportDevice(pdo, hardware_id, instance, controller_);
  return kern::STATUS_SUCCESS;
}

NTSTATUS HostController::Impl::RemoveVirtualDevice() {
  std::lock_guard<std::mutex> lock(vdev_mu_);
  kern::DeviceObject* pdo = pdo_;
  if (!pdo) return kern::STATUS_NO_SUCH_DEVICE;
  // Let a start still in progress finish before the removal begins.
  kern::pnp::DevicesSettled();
  pdo_ = nullptr;
  gone_.push_back(pdo);
  kern::pnp::ReportDeviceGone(pdo);
  DeleteRemovedDevices(false);
  return kern::STATUS_SUCCESS;
}

void HostController::Impl::DeleteRemovedDevices(bool final) {
  if (gone_.empty()) return;
  kern::pnp::DevicesSettled();
  for (auto it = gone_.begin(); it != gone_.end();) {
    bool removed;
    {
      std::lock_guard<std::mutex> lock(mu_);
      removed = stack_down_[*it];
      if (removed) stack_down_.erase(*it);
    }
    if (removed) {
      kern::DeleteDevice(*it);
      it = gone_.erase(it);
    } else if (final) {
      Fatal("the virtual device still has open files when its controller is destroyed");
    } else {
      ++it;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Driver transfers.

LogEntry HostController::Impl::AsyncEntry(const Irb& irb, bool write) {
  const Irb::AsyncTransfer& t = write ? irb.u.async_write : irb.u.async_read;
  LogEntry e{};
  e.kind = write ? LogEntry::Kind::AsyncWrite : LogEntry::Kind::AsyncRead;
  e.node_id = t.destination.node_id;
  e.offset = OffsetOf(t.destination);
  e.length = t.bytes;
  e.tcode = t.tcode;
  e.speed = t.speed;
  e.block_size = t.block_size;
  e.generation = t.generation;
  return e;
}

FaultAction HostController::Impl::Consult(const LogEntry& entry) {
  std::function<FaultAction(const LogEntry&)> hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    hook = hook_;
  }
  return hook ? hook(entry) : FaultAction{};
}

HostController::Impl::Work HostController::Impl::AsyncWork(kern::Irp* irp, Irb* irb, bool write,
                                                           LogEntry entry) {
  return Work{[this, irp, irb, write, entry] { RunAsync(irp, irb, write, entry); },
              [this, irp, entry] { FinishAsync(irp, entry, kern::STATUS_CANCELLED, 0); }};
}

void HostController::Impl::StartAsync(kern::Irp* irp, Irb* irb, bool write) {
  const LogEntry entry = AsyncEntry(*irb, write);
  const FaultAction action = Consult(entry);
  switch (action.kind) {
    case FaultAction::Kind::Fail:
      FinishAsync(irp, entry, action.status, 0);
      return;
    case FaultAction::Kind::Delay:
      // The request leaves the queue while it waits, so later traffic is not held up.
      PostAfter(action.delay_us, AsyncWork(irp, irb, write, entry));
      return;
    case FaultAction::Kind::Pend: {
      std::lock_guard<std::mutex> lock(mu_);
      pended_.push_back(AsyncWork(irp, irb, write, entry));
      return;
    }
    case FaultAction::Kind::None:
      RunAsync(irp, irb, write, entry);
      return;
  }
}

void HostController::Impl::RunAsync(kern::Irp* irp, Irb* irb, bool write, LogEntry entry) {
  const Irb::AsyncTransfer& t = write ? irb->u.async_write : irb->u.async_read;
  uint32_t packets = 0;
  const NTSTATUS status = Transfer(t, write, &packets);
  entry.packets = packets;
  FinishAsync(irp, entry, status, kern::NtSuccess(status) ? t.bytes : 0);
}

void HostController::Impl::FinishAsync(kern::Irp* irp, LogEntry entry, NTSTATUS status,
                                       uintptr_t information) {
  entry.status = status;
  AddLog(entry);
  Complete(irp, status, information);
}

NTSTATUS HostController::Impl::Transfer(const Irb::AsyncTransfer& t, bool write,
                                        uint32_t* packets) {
  const uint64_t offset = OffsetOf(t.destination);
  const uint8_t quadlet_tcode = write ? TCODE_WRITE_QUADLET : TCODE_READ_QUADLET;
  const uint8_t block_tcode = write ? TCODE_WRITE_BLOCK : TCODE_READ_BLOCK;
  uint32_t packet_max;
  uint8_t path_speed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (t.generation != generation_) return STATUS_FIREWIRE_GENERATION;
    const Node* node = FindNodeById(t.destination.node_id);
    if (!node) return kern::STATUS_DEVICE_NOT_CONNECTED;
    if (t.tcode != quadlet_tcode && t.tcode != block_tcode) return kern::STATUS_INVALID_PARAMETER;
    // A quadlet request carries exactly four bytes; a block request may carry any number,
    // four included (a transfer cut at a page boundary can leave a four-byte piece).
    if (t.bytes == 0 || (t.tcode == quadlet_tcode && t.bytes != 4))
      return kern::STATUS_INVALID_PARAMETER;
    if ((t.tcode == quadlet_tcode && offset % 4 != 0) || offset + t.bytes > kOffsetLimit)
      return kern::STATUS_INVALID_PARAMETER;
    if (t.block_size == 0 || t.speed > SPEED_S800) return kern::STATUS_INVALID_PARAMETER;
    if (!t.mdl || kern::MdlByteCount(t.mdl) < t.bytes) return kern::STATUS_INVALID_PARAMETER;
    const uint32_t host_limit = write ? config_.max_async_write_request : config_.max_async_read_request;
    if (config_.ddi_major < 3) {
      // Old stacks send each request as one packet: the driver must cut it.
      if (t.bytes > host_limit || t.bytes > t.block_size) return kern::STATUS_INVALID_PARAMETER;
      packet_max = t.bytes;
    } else {
      if (t.bytes > kMaxRequestBytes) return kern::STATUS_INVALID_PARAMETER;
      packet_max = std::min({t.block_size, MaxPayloadForSpeed(t.speed), host_limit});
    }
    path_speed = std::min({t.speed, node->speed, config_.local_speed});
    // A packet larger than the slowest link on its path allows is refused on a real bus.
    if (std::min(packet_max, t.bytes) > MaxPayloadForSpeed(path_speed))
      return kern::STATUS_INVALID_PARAMETER;
  }
  auto* buffer = static_cast<uint8_t*>(kern::GetSystemAddressForMdl(t.mdl));
  if (!buffer) return kern::STATUS_INSUFFICIENT_RESOURCES;

  // With wire time each packet reaches the node once it has crossed the cable, and the
  // request completes once the last response (or posted write) has.
  wire::Picoseconds ready = wire_ ? WireReady() : 0;
  for (uint32_t done = 0; done < t.bytes;) {
    const uint32_t n = std::min(packet_max, t.bytes - done);
    Request r;
    r.destination_id = t.destination.node_id;
    r.tcode = t.tcode;
    r.speed = path_speed;
    r.offset = offset + done;
    r.data_length = t.tcode == quadlet_tcode ? 0 : n;
    r.generation = t.generation;
    if (write) r.data.assign(buffer + done, buffer + done + n);
    RemoteNode* target = nullptr;
    Response response;
    {
      std::lock_guard<std::mutex> lock(mu_);
      // A reset or a detach between two packets of one request fails the rest of it.
      if (t.generation != generation_) return STATUS_FIREWIRE_GENERATION;
      const Node* node = FindNodeById(t.destination.node_id);
      if (!node) return kern::STATUS_DEVICE_NOT_CONNECTED;
      r.source_id = local_id_;
      r.tlabel = next_tlabel_;
      next_tlabel_ = (next_tlabel_ + 1) & 0x3F;
      if (!write && InRomWindow(r.offset, n)) {
        // A node's link answers reads of its configuration ROM by itself.
        response.data.resize(n);
        CopyRomBytes(node->rom, static_cast<uint32_t>(r.offset - kConfigRomBase), n, response.data.data());
      } else {
        target = node->node;
        callout_ = target;
      }
    }
    if (wire_) ready = OnWire(r.source_id, ready, path_speed, wire::RequestQuadlets(r.tcode, n));
    if (target) {
      response = target->HandleRequest(r);
      {
        std::lock_guard<std::mutex> lock(mu_);
        callout_ = nullptr;
      }
      callout_cv_.notify_all();
    }
    ++*packets;
    if (wire_ && !(write && response.posted)) {
      // The remote node's link answers at once (physical responses).
      ready = OnWire(r.destination_id, ready, path_speed, wire::ResponseQuadlets(r.tcode, n));
    }
    if (response.rcode != RCODE_RESPONSE_COMPLETE) return StatusForRcode(response.rcode);
    if (!write) {
      if (response.data.size() != n) return STATUS_DEVICE_DATA_ERROR;
      std::memcpy(buffer + done, response.data.data(), n);
    }
    done += n;
  }
  return kern::STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Remote transactions to the local node.

uint8_t HostController::Impl::CheckShape(const Request& r, uint32_t* length) const {
  switch (r.tcode) {
    case TCODE_WRITE_QUADLET:
      if (r.data.size() != 4) return RCODE_TYPE_ERROR;
      *length = 4;
      break;
    case TCODE_READ_QUADLET:
      *length = 4;
      break;
    case TCODE_WRITE_BLOCK:
    case TCODE_LOCK:
      if (r.data_length == 0 || r.data.size() != r.data_length) return RCODE_TYPE_ERROR;
      *length = r.data_length;
      break;
    case TCODE_READ_BLOCK:
      if (r.data_length == 0) return RCODE_TYPE_ERROR;
      *length = r.data_length;
      break;
    default:
      return RCODE_TYPE_ERROR;
  }
  // The sender's link would not put a larger packet on the cable at that speed.
  if (*length > MaxPayloadForSpeed(r.speed)) return RCODE_TYPE_ERROR;
  if (r.offset >= kOffsetLimit || r.offset + *length > kOffsetLimit) return RCODE_ADDRESS_ERROR;
  return 0xFF;
}

// Requests that hit no allocated range: the registers the bus driver answers itself.
Response HostController::Impl::AnswerCsr(const Request& r, uint32_t length) {
  Response resp;
  if (InRomWindow(r.offset, length)) {
    if (r.tcode != TCODE_READ_QUADLET && r.tcode != TCODE_READ_BLOCK) return {RCODE_TYPE_ERROR, {}};
    if (r.tcode == TCODE_READ_QUADLET && r.offset % 4 != 0) return {RCODE_ADDRESS_ERROR, {}};
    resp.data.resize(length);
    CopyRomBytes(active_rom_, static_cast<uint32_t>(r.offset - kConfigRomBase), length, resp.data.data());
    return resp;
  }
  if (r.offset == kBusyTimeout) {
    if (r.tcode == TCODE_READ_QUADLET) {
      resp.data.resize(4);
      StoreBe32(resp.data.data(), busy_timeout_);
      return resp;
    }
    if (r.tcode == TCODE_WRITE_QUADLET) {
      busy_timeout_ = LoadBe32(r.data.data());
      return resp;
    }
    return {RCODE_TYPE_ERROR, {}};
  }
  return {RCODE_ADDRESS_ERROR, {}};
}

std::vector<uint32_t> HostController::Impl::RequestPacket(const Request& r, uint16_t major) const {
  std::vector<uint32_t> p(4);
  p[0] = hdr::Q0(r.destination_id, r.tlabel, kRetryX, r.tcode);
  p[1] = hdr::Q1(r.source_id, static_cast<uint16_t>(r.offset >> 32));
  p[2] = static_cast<uint32_t>(r.offset);
  if (r.tcode == TCODE_WRITE_QUADLET) {
    p[3] = LoadBe32(r.data.data());
  } else if (r.tcode != TCODE_READ_QUADLET) {
    p[3] = hdr::DataLength(r.data_length);
  }
  if (r.tcode == TCODE_WRITE_BLOCK || r.tcode == TCODE_LOCK) {
    // Data quadlets stay in bus order: the bytes as they came off the cable.
    p.resize(4 + (r.data.size() + 3) / 4, 0);
    std::memcpy(&p[4], r.data.data(), r.data.size());
  }
  p.push_back(major < 3 ? hdr::Trailer(r.speed) : 0);
  return p;
}

// What the requester receives for the handler's answer. A response packet that does not
// answer this request (wrong tcode, tl or destination, too short) never reaches it: the
// requester times out.
Response HostController::Impl::ReadResponse(const Request& r, uint8_t rcode, const void* packet,
                                            kern::Mdl* mdl, uint32_t length) {
  if (rcode != RCODE_RESPONSE_COMPLETE) return {rcode, {}};
  if (!packet && mdl) packet = kern::GetSystemAddressForMdl(mdl);
  const Response lost{RCODE_TIMED_OUT, {}};
  if (!packet || length < 16) return lost;
  const auto* bytes = static_cast<const uint8_t*>(packet);
  uint32_t q[4];
  std::memcpy(q, bytes, sizeof q);
  if (hdr::TcodeOf(q[0]) != ResponseTcodeFor(r.tcode) || hdr::TlOf(q[0]) != r.tlabel ||
      hdr::DestinationOf(q[1]) != r.source_id)
    return lost;
  Response resp{hdr::RcodeOf(q[1]), {}};
  if (resp.rcode != RCODE_RESPONSE_COMPLETE) return resp;
  uint32_t n = 0;
  if (r.tcode == TCODE_READ_QUADLET) {
    n = 4;
  } else if (r.tcode == TCODE_READ_BLOCK) {
    if (hdr::DataLengthOf(q[3]) != r.data_length) return lost;
    n = r.data_length;
  } else if (r.tcode == TCODE_LOCK) {
    n = hdr::DataLengthOf(q[3]);
  }
  if (length < 16 + n) return lost;
  resp.data.assign(bytes + 16, bytes + 16 + n);
  return resp;
}

void HostController::Impl::FinishRemote(const Request& r, const Response& response,
                                        const std::function<void(const Response&)>& done) {
  LogEntry e{};
  e.kind = LogEntry::Kind::RemoteRequest;
  e.node_id = r.source_id;
  e.offset = r.offset;
  e.length = (r.tcode == TCODE_READ_QUADLET || r.tcode == TCODE_WRITE_QUADLET) ? 4 : r.data_length;
  e.tcode = r.tcode;
  e.speed = r.speed;
  e.generation = r.generation;
  e.rcode = response.rcode;
  AddLog(e);
  if (done) done(response);
}

void HostController::Impl::ProcessRemote(RemoteNode* from, Request request,
                                         std::function<void(const Response&)> done) {
  std::shared_ptr<Range> range;
  Response immediate;
  bool answered = true;
  uint16_t major;
  uint16_t local_id;
  uint32_t length = 0;
  bool on_cable = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    major = config_.ddi_major;
    local_id = local_id_;
    const Node* node = from ? FindNode(from) : nullptr;
    on_cable = !from || node;
    if (from && node) request.source_id = node->id;  // a link sends with its own ID
    if ((from && !node) || request.generation != generation_ ||
        request.destination_id != local_id_) {
      // Not attached, sent for another bus configuration, or for another node: nobody
      // acknowledges it.
      immediate.rcode = RCODE_TIMED_OUT;
    } else if (uint8_t rc = CheckShape(request, &length); rc != 0xFF) {
      immediate.rcode = rc;
    } else {
      auto it = std::find_if(ranges_.begin(), ranges_.end(), [&](const auto& rg) {
        return request.offset >= rg->start && request.offset + length <= rg->start + rg->length;
      });
      if (it == ranges_.end()) {
        immediate = AnswerCsr(request, length);
      } else if (!((*it)->access & AccessFor(request.tcode))) {
        immediate.rcode = RCODE_TYPE_ERROR;
      } else {
        range = *it;
        callout_ = range.get();
        answered = false;
      }
    }
  }
  // With wire time the request crosses the cable before the local node sees it; the
  // response leaves once the local node has it and the request has arrived.
  wire::Picoseconds arrived = 0;
  if (wire_ && on_cable) {
    const uint32_t carried = request.tcode == TCODE_READ_BLOCK ? 0 : static_cast<uint32_t>(request.data.size());
    arrived = OnWire(request.source_id, WireReady(), request.speed, wire::RequestQuadlets(request.tcode, carried));
  }
  auto respond_on_wire = [this, local_id, &request](wire::Picoseconds ready, const Response& resp) {
    if (!wire_ || resp.rcode == RCODE_TIMED_OUT) return;
    const uint32_t carried = resp.rcode == RCODE_RESPONSE_COMPLETE ? static_cast<uint32_t>(resp.data.size()) : 0;
    OnWire(local_id, std::max(ready, WireNow()), request.speed, wire::ResponseQuadlets(request.tcode, carried));
  };
  if (answered) {
    respond_on_wire(arrived, immediate);
    FinishRemote(request, immediate, done);
    return;
  }

  const std::vector<uint32_t> packet = RequestPacket(request, major);
  kern::Mdl* response_mdl = nullptr;
  void* response_packet = nullptr;
  uint32_t response_length = 0;
  kern::Event* response_event = nullptr;
  // A handler that sets no code has not answered.
  uint8_t rcode = RCODE_TIMED_OUT;
  NotificationInfo info{};
  info.offset = static_cast<uint32_t>(request.offset - range->start);
  info.context = range->context;
  info.request_packet = packet.data();
  info.request_packet_length = static_cast<uint32_t>(packet.size() * 4);
  info.response_mdl = &response_mdl;
  info.response_packet = &response_packet;
  info.response_length = &response_length;
  info.response_event = &response_event;
  info.response_code = &rcode;
  {
    threadcpu::ServingCall serving;
    range->handler(&info);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    callout_ = nullptr;
  }
  callout_cv_.notify_all();

  if (!response_event) {
    const Response resp = ReadResponse(request, rcode, response_packet, response_mdl, response_length);
    respond_on_wire(arrived, resp);
    FinishRemote(request, resp, done);
    return;
  }
  // With an event the handler keeps its packet alive until the event is set, and the
  // packet is read only when the response goes out: after the handler has returned.
  Post(Work{[this, request, rcode, response_packet, response_mdl, response_length, response_event, done, local_id,
             arrived] {
              const Response resp = ReadResponse(request, rcode, response_packet, response_mdl, response_length);
              if (wire_ && resp.rcode != RCODE_TIMED_OUT) {
                const uint32_t carried =
                    resp.rcode == RCODE_RESPONSE_COMPLETE ? static_cast<uint32_t>(resp.data.size()) : 0;
                OnWire(local_id, std::max(arrived, WireReady()), request.speed,
                       wire::ResponseQuadlets(request.tcode, carried));
              }
              response_event->Set();
              FinishRemote(request, resp, done);
            },
            [response_event, done] {
              response_event->Set();
              if (done) done(Response{RCODE_TIMED_OUT, {}});
            }});
}

// ---------------------------------------------------------------------------------------
// Bus resets.

void HostController::Impl::AssignIds() {
  const size_t count = nodes_.size() + 1;  // local node first
  std::vector<int> ids(count, -1);
  bool used[64] = {};
  for (size_t i = 0; i < count && i < physical_ids_.size(); ++i) {
    const uint8_t phy = physical_ids_[i];
    if (phy <= kMaxPhysicalId && !used[phy]) {
      ids[i] = phy;
      used[phy] = true;
    }
  }
  // Unplanned: remote nodes take the lowest free IDs in attach order, the local node the
  // next one.
  auto next_free = [&] {
    uint8_t phy = 0;
    while (used[phy]) ++phy;
    used[phy] = true;
    return static_cast<int>(phy);
  };
  for (size_t i = 1; i < count; ++i) {
    if (ids[i] < 0) ids[i] = next_free();
  }
  if (ids[0] < 0) ids[0] = next_free();
  local_id_ = MakeNodeId(static_cast<uint8_t>(ids[0]));
  for (size_t i = 1; i < count; ++i) nodes_[i - 1].id = MakeNodeId(static_cast<uint8_t>(ids[i]));
}

void HostController::Impl::DoBusReset() {
  uint32_t generation;
  std::vector<std::pair<RemoteNode*, uint16_t>> nodes;
  std::vector<std::shared_ptr<Notification>> routines;
  {
    std::lock_guard<std::mutex> lock(mu_);
    generation = ++generation_;
    AssignIds();
    active_rom_ = host_rom_;  // a changed ROM becomes visible with the reset
    for (const auto& n : nodes_) nodes.emplace_back(n.node, n.id);
    routines = notifications_;
    LogEntry e{};
    e.kind = LogEntry::Kind::BusReset;
    e.node_id = local_id_;
    e.generation = generation;
    log_.push_back(e);
  }
  Post(Work{[this, generation, nodes, routines] { RunResetCallouts(generation, nodes, routines); }, {}});
}

void HostController::Impl::RunResetCallouts(uint32_t generation,
                                            std::vector<std::pair<RemoteNode*, uint16_t>> nodes,
                                            std::vector<std::shared_ptr<Notification>> routines) {
  for (const auto& [node, id] : nodes) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!FindNode(node)) continue;
      callout_ = node;
    }
    node->OnBusReset(generation, id);
    {
      std::lock_guard<std::mutex> lock(mu_);
      callout_ = nullptr;
    }
    callout_cv_.notify_all();
  }
  // The routines registered at the reset and still registered now: one deregistered since
  // is not called, and one registered after the reset does not hear of it.
  for (const auto& n : routines) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (std::find(notifications_.begin(), notifications_.end(), n) == notifications_.end()) continue;
      callout_ = n.get();
    }
    {
      threadcpu::ServingCall serving;
      n->routine(n->context);
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      callout_ = nullptr;
    }
    callout_cv_.notify_all();
  }
}

const HostController::Impl::Node* HostController::Impl::FindNode(const RemoteNode* node) const {
  for (const auto& n : nodes_) {
    if (n.node == node) return &n;
  }
  return nullptr;
}

const HostController::Impl::Node* HostController::Impl::FindNodeById(uint16_t id) const {
  for (const auto& n : nodes_) {
    if (n.id == id) return &n;
  }
  return nullptr;
}

void HostController::Impl::AddLog(LogEntry e) {
  std::lock_guard<std::mutex> lock(mu_);
  log_.push_back(e);
}

// ---------------------------------------------------------------------------------------
// HostController.

HostController::HostController(const HostControllerConfig& config)
    : impl_(std::make_unique<Impl>(config)) {}

HostController::~HostController() = default;

const HostControllerConfig& HostController::config() const { return impl_->config_; }
kern::DeviceObject* HostController::controller_device() { return impl_->controller_; }
const std::string& HostController::interface_link() const { return impl_->link_; }
kern::DeviceObject* HostController::virtual_device() { return impl_->pdo_; }

bool HostController::AddVirtualDevice(const std::u16string& device_id) {
  return kern::NtSuccess(impl_->AddVirtualDevice(device_id, 0));
}

bool HostController::RemoveVirtualDevice() { return kern::NtSuccess(impl_->RemoveVirtualDevice()); }

void HostController::Attach(RemoteNode* node, uint64_t eui64, std::vector<uint32_t> config_rom,
                            uint8_t speed) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu_);
    if (impl_->FindNode(node)) return;
    if (impl_->nodes_.size() >= kMaxPhysicalId) Fatal("too many nodes on one bus");
    if (config_rom.empty()) config_rom = MinimalRom(eui64, speed);
    impl_->nodes_.push_back(Impl::Node{node, eui64, std::move(config_rom), speed, 0xFFFF});
  }
  impl_->DoBusReset();
}

void HostController::Detach(RemoteNode* node) {
  {
    std::unique_lock<std::mutex> lock(impl_->mu_);
    auto& nodes = impl_->nodes_;
    auto it = std::find_if(nodes.begin(), nodes.end(), [&](const auto& n) { return n.node == node; });
    if (it == nodes.end()) return;
    nodes.erase(it);
    impl_->WaitOutOfCallout(lock, node);
  }
  impl_->DoBusReset();
}

void HostController::BusReset() { impl_->DoBusReset(); }

void HostController::SetPhysicalIds(std::vector<uint8_t> ids) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->physical_ids_ = std::move(ids);
}

uint32_t HostController::generation() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->generation_;
}

uint16_t HostController::local_node_id() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->local_id_;
}

uint16_t HostController::node_id(const RemoteNode* node) const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  const Impl::Node* n = impl_->FindNode(node);
  return n ? n->id : 0xFFFF;
}

int HostController::bus_reset_requests() const { return impl_->reset_requests_; }

void HostController::Send(RemoteNode* from, Request request,
                          std::function<void(const Response&)> done) {
  auto shared = std::make_shared<Request>(std::move(request));
  Impl* impl = impl_.get();
  impl->Post(Impl::Work{[impl, from, shared, done] { impl->ProcessRemote(from, *shared, done); },
                        [done] {
                          if (done) done(Response{RCODE_TIMED_OUT, {}});
                        }});
}

Response HostController::SendSync(RemoteNode* from, Request request) {
  if (impl_->OnBusThread()) Fatal("SendSync called on the bus thread");
  struct Wait {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    Response response;
  };
  auto wait = std::make_shared<Wait>();
  Send(from, std::move(request), [wait](const Response& r) {
    std::lock_guard<std::mutex> lock(wait->mu);
    wait->response = r;
    wait->done = true;
    wait->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(wait->mu);
  wait->cv.wait(lock, [&] { return wait->done; });
  return wait->response;
}

std::vector<uint32_t> HostController::LocalConfigRom() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->active_rom_;
}

std::vector<uint32_t> HostController::HostConfigRom() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->host_rom_;
}

std::vector<LogEntry> HostController::Log() const {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  return impl_->log_;
}

void HostController::ClearLog() {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->log_.clear();
}

void HostController::SetFaultHook(std::function<FaultAction(const LogEntry&)> hook) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->hook_ = std::move(hook);
}

void HostController::PendQueries(bool pend) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->pend_queries_ = pend;
}

void HostController::ReleasePendedQueries() {
  std::vector<Impl::Work> held;
  {
    std::lock_guard<std::mutex> lock(impl_->mu_);
    held.swap(impl_->pended_);
  }
  for (auto& w : held) impl_->Post(std::move(w));
}

void HostController::SetBusInterfaceVersion(uint16_t major, uint16_t minor) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->config_.ddi_major = major;
  impl_->config_.ddi_minor = minor;
}

void HostController::SetHostLimits(uint32_t max_read, uint32_t max_write) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->config_.max_async_read_request = max_read;
  impl_->config_.max_async_write_request = max_write;
}

void HostController::Drain() { impl_->Drain(); }

}  // namespace bus1394
