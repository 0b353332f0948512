// Kernel stand-in: the small slice of a WDM-style kernel that the SBP-2 target driver
// runs on, so that the driver builds and is exercised on Linux.
//
// What is real here: request objects with stack locations, completion routines, pending
// and cancellation; device stacks; execution levels tracked per thread; spin locks that
// raise to dispatch level; deferred calls on worker threads that run at dispatch level;
// one-shot timers; work items on passive-level threads; pools with failure injection;
// buffer descriptors; remove locks; device interfaces; a small Plug and Play manager.
// What is not: paging, real physical memory, security, APCs, processor affinity.
//
// One `System` object is the machine. It is created by the simulated machine or by a test
// fixture and owns every worker thread; the free functions below act on the current one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kern {

// ---------------------------------------------------------------------------------------
// Status values. The numbers are the ones the driver's callers rely on.
using NTSTATUS = int32_t;

constexpr NTSTATUS Status(uint32_t v) { return static_cast<NTSTATUS>(v); }
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_BUS_RESET = Status(0x8000001D);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = Status(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = Status(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = Status(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = Status(0xC000000E);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = Status(0xC0000010);
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = Status(0xC0000016);
constexpr NTSTATUS STATUS_CONFLICTING_ADDRESSES = Status(0xC0000018);
constexpr NTSTATUS STATUS_ACCESS_DENIED = Status(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = Status(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = Status(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = Status(0xC0000043);
constexpr NTSTATUS STATUS_DELETE_PENDING = Status(0xC0000056);
constexpr NTSTATUS STATUS_REVISION_MISMATCH = Status(0xC0000059);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = Status(0xC000009A);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = Status(0xC00000BB);
constexpr NTSTATUS STATUS_IO_TIMEOUT = Status(0xC00000B5);
constexpr NTSTATUS STATUS_CANCELLED = Status(0xC0000120);
constexpr NTSTATUS STATUS_DRIVER_INTERNAL_ERROR = Status(0xC0000183);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = Status(0xC000009D);
constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = Status(0xC0000206);
constexpr NTSTATUS STATUS_REQUEST_ABORTED = Status(0xC0000240);
constexpr NTSTATUS STATUS_TIMEOUT = 0x102;

constexpr bool NtSuccess(NTSTATUS s) { return s >= 0; }

// ---------------------------------------------------------------------------------------
// Execution levels, tracked per thread. Register handlers, deferred calls and bus
// completions run at dispatch level; code that must not block can check it.
enum class Irql : uint8_t { Passive = 0, Apc = 1, Dispatch = 2 };

Irql CurrentIrql();
Irql RaiseIrql(Irql to);       // returns the previous level; `to` must not be lower
void LowerIrql(Irql previous);  // back to a level returned by RaiseIrql

// Raises to dispatch for the lifetime of the object (used by tests that play a handler).
class DispatchLevelScope {
 public:
  DispatchLevelScope() : old_(RaiseIrql(Irql::Dispatch)) {}
  ~DispatchLevelScope() { LowerIrql(old_); }
  DispatchLevelScope(const DispatchLevelScope&) = delete;
  DispatchLevelScope& operator=(const DispatchLevelScope&) = delete;

 private:
  Irql old_;
};

// Number of spin locks the calling thread holds; completions assert it is zero.
int SpinLocksHeld();

// ---------------------------------------------------------------------------------------
// Process identity of the calling thread. The simulated machine gives each thread a
// process ID; tests switch it to act as two processes. Every thread starts in the system
// process; the system's own threads (deferred calls, timers, work items, Plug and Play)
// stay there.
constexpr uint32_t kSystemProcessId = 4;
uint32_t CurrentProcessId();
void SetCurrentProcessId(uint32_t pid);

class ProcessScope {
 public:
  explicit ProcessScope(uint32_t pid) : old_(CurrentProcessId()) { SetCurrentProcessId(pid); }
  ~ProcessScope() { SetCurrentProcessId(old_); }
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  uint32_t old_;
};

// ---------------------------------------------------------------------------------------
// Locks. A lock may carry a rank; in debug builds a thread that takes a ranked lock while
// holding one of an equal or higher rank aborts, which enforces the documented lock order.
// Rank 0 means unranked.
class SpinLock;

// In-stack queued lock handle: lives on the caller's stack for one acquisition.
struct LockHandle {
  SpinLock* lock = nullptr;
  Irql old_irql = Irql::Passive;
};

class SpinLock {
 public:
  explicit SpinLock(int rank = 0) : rank_(rank) {}
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void Acquire(LockHandle& handle);  // raises to dispatch level
  void Release(LockHandle& handle);  // restores the level of the acquire
  int rank() const { return rank_; }
  bool HeldByCaller() const;

 private:
  friend class SpinLockGuard;
  std::mutex mutex_;
  std::atomic<const void*> owner_{nullptr};  // the holding thread: taking it again aborts
  int rank_;
};

class SpinLockGuard {
 public:
  explicit SpinLockGuard(SpinLock& lock) { lock.Acquire(handle_); }
  ~SpinLockGuard() { handle_.lock->Release(handle_); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  LockHandle handle_;
};

// Kernel mutex: passive level only, may block, not recursive (a second acquire by the
// holder aborts).
class KMutex {
 public:
  explicit KMutex(int rank = 0) : rank_(rank) {}
  KMutex(const KMutex&) = delete;
  KMutex& operator=(const KMutex&) = delete;
  void Acquire();
  void Release();
  bool HeldByCaller() const;

 private:
  std::mutex mutex_;
  std::atomic<const void*> owner_{nullptr};
  int rank_;
};

class KMutexGuard {
 public:
  explicit KMutexGuard(KMutex& m) : m_(m) { m_.Acquire(); }
  ~KMutexGuard() { m_.Release(); }
  KMutexGuard(const KMutexGuard&) = delete;
  KMutexGuard& operator=(const KMutexGuard&) = delete;

 private:
  KMutex& m_;
};

enum class EventType { Notification, Synchronization };

class Event {
 public:
  explicit Event(EventType type = EventType::Notification, bool signaled = false)
      : type_(type), signaled_(signaled) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSignaled() const;
  // Waits until signalled; a synchronization event is reset by the wait that takes it.
  void Wait();
  // Waits at most `timeout_100ns` of kernel time (interrupt time of the current clock).
  // Returns STATUS_SUCCESS or STATUS_TIMEOUT. A zero timeout only tests the state (allowed
  // at dispatch level; every other wait must be at passive level).
  NTSTATUS WaitFor(uint64_t timeout_100ns);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  EventType type_;
  bool signaled_;
};

// ---------------------------------------------------------------------------------------
// Clock seam. Interrupt time counts 100 ns units since boot; system time counts 100 ns
// units since 1601 like the kernel's. Timers and timed waits follow the current clock.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t InterruptTime() = 0;
  virtual int64_t SystemTime() = 0;
};

// Monotonic real time.
class RealClock : public Clock {
 public:
  RealClock();
  uint64_t InterruptTime() override;
  int64_t SystemTime() override;

 private:
  int64_t base_ns_;
};

// A clock that moves only when the test advances it. Advance returns once the deferred calls
// of the timers that have become due are queued (not run: FlushQueuedDpcs waits for that).
class ManualClock : public Clock {
 public:
  explicit ManualClock(uint64_t start_100ns = 1'000'000'000ULL) : now_(start_100ns) {}
  uint64_t InterruptTime() override { return now_.load(); }
  int64_t SystemTime() override { return static_cast<int64_t>(now_.load()) + kSystemTimeBase; }
  void Advance(uint64_t units_100ns);

  // System time of the manual clock's interrupt time 0: an arbitrary date in 2020.
  static constexpr int64_t kSystemTimeBase = 132'223'104'000'000'000LL;

 private:
  std::atomic<uint64_t> now_;
};

uint64_t QueryInterruptTime();
int64_t QuerySystemTime();

// ---------------------------------------------------------------------------------------
// Deferred calls. Queued deferred calls run on worker threads at dispatch level.
class Dpc;
using DeferredRoutine = void (*)(Dpc* dpc, void* context, void* arg1, void* arg2);

class Dpc {
 public:
  Dpc() = default;
  Dpc(const Dpc&) = delete;
  Dpc& operator=(const Dpc&) = delete;
  void Initialize(DeferredRoutine routine, void* context);
  // False if it was already queued (the call then changes nothing).
  bool Queue(void* arg1 = nullptr, void* arg2 = nullptr);
  bool IsQueued() const { return queued_.load(); }

 private:
  friend class DpcWorkers;
  DeferredRoutine routine_ = nullptr;
  void* context_ = nullptr;
  void* arg1_ = nullptr;
  void* arg2_ = nullptr;
  std::atomic<bool> queued_{false};
};

// Returns once every deferred call queued before the call has run. Passive level only.
// A thread queues its deferred calls on "its" processor (a deferred call queues on the one
// it runs on), so the calls one thread queues run in order.
void FlushQueuedDpcs();

// One-shot timer whose expiry queues a deferred call.
class Timer {
 public:
  Timer() = default;
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  // Due `relative_100ns` units from now (interrupt time). True if it was already set
  // (and is now set anew).
  bool Set(uint64_t relative_100ns, Dpc* dpc);
  // True if the timer was set and has not fired; false once it has fired (or was not set).
  bool Cancel();
  bool IsSet() const;

 private:
  friend class TimerService;
  uint64_t due_ = 0;
  Dpc* dpc_ = nullptr;
  bool set_ = false;  // guarded by the timer service's lock
};

// Work items run at passive level on the system's worker threads. A queued work item keeps
// its device object's memory alive (DeleteDevice frees it after the routine has run). A work
// item is queued at most once at a time; it may be queued again or freed by its routine.
struct DeviceObject;
using WorkItemRoutine = void (*)(DeviceObject* device, void* context);

class WorkItem {
 public:
  // Null on (injected) allocation failure.
  static WorkItem* Allocate(DeviceObject* device);
  static void Free(WorkItem* item);  // aborts while it is queued
  void Queue(WorkItemRoutine routine, void* context);

 private:
  WorkItem() = default;
  DeviceObject* device_ = nullptr;
  std::atomic<bool> queued_{false};
};

// ---------------------------------------------------------------------------------------
// Pools. Every allocation carries a four-character tag; the system counts outstanding
// allocations so tests can check that a driver returned everything.
enum class PoolType { NonPaged, Paged };
enum class PoolPriority { Low, Normal, High };

constexpr uint32_t MakeTag(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

// Tags under which the system itself counts its allocations; failure injection and the
// accounting see them like any other tag.
constexpr uint32_t kIrpTag = MakeTag('K', 'I', 'r', 'p');        // AllocateIrp
constexpr uint32_t kMdlTag = MakeTag('K', 'M', 'd', 'l');        // AllocateMdl
constexpr uint32_t kWorkItemTag = MakeTag('K', 'W', 'r', 'k');   // WorkItem::Allocate
constexpr uint32_t kDeviceTag = MakeTag('K', 'D', 'e', 'v');     // CreateDevice
constexpr uint32_t kIoBufferTag = MakeTag('K', 'I', 'o', 'B');   // the I/O manager's buffers

// Null on (injected) failure. The memory is not zeroed. Paged pool at dispatch level aborts.
void* AllocatePool(PoolType type, size_t bytes, uint32_t tag,
                   PoolPriority priority = PoolPriority::Normal);
void FreePool(void* p);  // p must come from AllocatePool (not null, not a lookaside entry)

// Fixed-size allocations with a free list in front of the pool.
class LookasideList {
 public:
  LookasideList() = default;
  ~LookasideList();
  LookasideList(const LookasideList&) = delete;
  LookasideList& operator=(const LookasideList&) = delete;
  void Initialize(size_t entry_size, uint32_t tag, uint16_t depth = 0);
  // Null on (injected) failure; injection applies even when a cached entry is available.
  // The accounting counts the entries handed out, not the cached ones.
  void* Allocate();
  void Free(void* entry);
  void Delete();  // frees the cached entries; aborts while entries are handed out

 private:
  std::mutex mutex_;
  std::vector<void*> cache_;
  size_t entry_size_ = 0;
  uint32_t tag_ = 0;
  uint16_t depth_ = 0;
  size_t outstanding_ = 0;
  bool initialized_ = false;
};

// ---------------------------------------------------------------------------------------
// Buffer descriptors. A descriptor names a virtual range; there is no physical memory, so
// pages are counted for the size rules but not stored. Descriptors built "in place" live
// in storage sized by MdlSize().
constexpr size_t kPageSize = 4096;
constexpr size_t kMdlHeaderBytes = 28;  // the system's descriptor header
constexpr size_t kMdlBytesPerPage = 4;  // and per page, as the size rules count them

size_t PagesSpanned(const void* va, size_t length);
// Size of the system's descriptor for a buffer at `va` of `length` bytes.
size_t MdlSize(const void* va, size_t length);

struct Mdl {
  Mdl* next = nullptr;
  uint8_t* va = nullptr;  // start of the described range
  uint32_t byte_count = 0;
  uint32_t page_capacity = 0;  // pages this descriptor may describe
  uint8_t* mapped_va = nullptr;  // system mapping, null until mapped
  bool partial = false;
  bool allocated = false;  // from AllocateMdl (FreeMdl releases it)
  bool nonpaged = false;   // describes nonpaged memory: mapped from the start, partials too
  bool partial_mapped = false;  // a partial mapped by GetSystemAddressForMdl: rebuilding it
                                // needs PrepareMdlForReuse first
};

// Inline storage for a descriptor of up to `Pages` pages (built in place by the driver).
template <uint32_t Pages>
struct InlineMdl : Mdl {};

// A descriptor with room for the pages of [va, va + length). Null on (injected) failure.
Mdl* AllocateMdl(void* va, uint32_t length);
void FreeMdl(Mdl* mdl);  // only descriptors from AllocateMdl
// Builds a descriptor in caller storage that may describe `page_capacity` pages (aborts when
// the range spans more).
void InitializeMdl(Mdl* mdl, void* va, uint32_t length, uint32_t page_capacity);
// Nonpaged memory needs no locking: the system mapping is the buffer itself.
void BuildMdlForNonPagedPool(Mdl* mdl);
// Makes `target` describe [va, va + length) inside `source`'s range (length 0: up to the
// end of the source). Aborts when the range leaves the source, when it spans more pages
// than the target has room for, or when the target is a mapped partial not yet prepared
// for reuse.
void BuildPartialMdl(const Mdl* source, Mdl* target, void* va, uint32_t length);
// Releases the system mapping of a partial descriptor before it is rebuilt or freed.
void PrepareMdlForReuse(Mdl* mdl);
// Null on (injected) failure.
void* GetSystemAddressForMdl(Mdl* mdl);
inline void* MdlVirtualAddress(const Mdl* mdl) { return mdl->va; }
inline uint32_t MdlByteCount(const Mdl* mdl) { return mdl->byte_count; }

// ---------------------------------------------------------------------------------------
// Request objects.
enum class Mode : uint8_t { Kernel = 0, User = 1 };

enum MajorFunction : uint8_t {
  IRP_MJ_CREATE = 0x00,
  IRP_MJ_CLOSE = 0x02,
  IRP_MJ_READ = 0x03,
  IRP_MJ_WRITE = 0x04,
  IRP_MJ_DEVICE_CONTROL = 0x0E,
  IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F,
  IRP_MJ_CLEANUP = 0x12,
  IRP_MJ_POWER = 0x16,
  IRP_MJ_SYSTEM_CONTROL = 0x17,
  IRP_MJ_PNP = 0x1B,
  IRP_MJ_MAXIMUM_FUNCTION = 0x1B,
};

enum PnpMinor : uint8_t {
  IRP_MN_START_DEVICE = 0x00,
  IRP_MN_QUERY_REMOVE_DEVICE = 0x01,
  IRP_MN_REMOVE_DEVICE = 0x02,
  IRP_MN_CANCEL_REMOVE_DEVICE = 0x03,
  IRP_MN_STOP_DEVICE = 0x04,
  IRP_MN_QUERY_STOP_DEVICE = 0x05,
  IRP_MN_CANCEL_STOP_DEVICE = 0x06,
  IRP_MN_QUERY_CAPABILITIES = 0x09,
  IRP_MN_QUERY_PNP_DEVICE_STATE = 0x14,
  IRP_MN_SURPRISE_REMOVAL = 0x17,
};

enum PowerMinor : uint8_t {
  IRP_MN_WAIT_WAKE = 0x00,
  IRP_MN_POWER_SEQUENCE = 0x01,
  IRP_MN_SET_POWER = 0x02,
  IRP_MN_QUERY_POWER = 0x03,
};

enum class PowerType : uint8_t { System = 0, Device = 1 };

// Buffer methods of control codes (the low two bits of a code).
constexpr uint32_t METHOD_BUFFERED = 0;
constexpr uint32_t METHOD_IN_DIRECT = 1;
constexpr uint32_t METHOD_OUT_DIRECT = 2;
constexpr uint32_t METHOD_NEITHER = 3;
constexpr uint32_t FILE_ANY_ACCESS = 0;
constexpr uint32_t FILE_DEVICE_UNKNOWN = 0x22;
constexpr uint32_t FILE_DEVICE_BUS_EXTENDER = 0x2A;
constexpr uint32_t CtlCode(uint32_t device_type, uint32_t function, uint32_t method,
                           uint32_t access) {
  return (device_type << 16) | (access << 14) | (function << 2) | method;
}
constexpr uint32_t MethodOf(uint32_t code) { return code & 3; }

struct Irp;
struct FileObject;
using CompletionRoutine = NTSTATUS (*)(DeviceObject* device, Irp* irp, void* context);
using CancelRoutine = void (*)(DeviceObject* device, Irp* irp);

constexpr uint8_t SL_PENDING_RETURNED = 0x01;
constexpr uint8_t SL_INVOKE_ON_SUCCESS = 0x40;
constexpr uint8_t SL_INVOKE_ON_ERROR = 0x80;
constexpr uint8_t SL_INVOKE_ON_CANCEL = 0x20;

struct DeviceCapabilities {
  bool surprise_removal_ok = false;
};

struct IoStackLocation {
  uint8_t major = 0;
  uint8_t minor = 0;
  uint8_t flags = 0;
  uint8_t control = 0;
  struct {
    uint32_t output_buffer_length = 0;
    uint32_t input_buffer_length = 0;
    uint32_t io_control_code = 0;
    void* type3_input_buffer = nullptr;
  } device_io_control;
  struct {
    void* argument1 = nullptr;  // internal 1394 class requests: the request block
    void* argument2 = nullptr;
  } others;
  struct {
    PowerType type = PowerType::System;
    uint32_t state = 0;  // system state (1 = working) or device state (1 = D0 .. 4 = D3)
  } power;
  DeviceCapabilities* capabilities = nullptr;  // IRP_MN_QUERY_CAPABILITIES
  DeviceObject* device = nullptr;
  FileObject* file = nullptr;
  CompletionRoutine completion = nullptr;
  void* completion_context = nullptr;
};

struct IoStatusBlock {
  NTSTATUS status = STATUS_SUCCESS;
  uintptr_t information = 0;
};

// What the I/O manager does when a request it sent completes at the top of its stack.
using RequestDone = std::function<void(Irp* irp)>;

// Stack locations: stack[0] is the bottom (the last driver a request reaches) and
// stack[stack_count - 1] the top. `current_location` is the index + 1 of the current
// location: a new request has none (stack_count + 1), CallDriver moves one down and records
// the device in the new location, SkipCurrentStackLocation moves one up so that the next
// driver gets the same location.
// SetCompletionRoutine sets the routine in the next (lower) location; it is called, as in
// WDM, with the device of the driver that set it (the location above), or null when the
// request was allocated with no location for its issuer.

struct Irp {
  Mdl* mdl_address = nullptr;
  void* system_buffer = nullptr;  // METHOD_BUFFERED in/out, METHOD_*_DIRECT input
  void* user_buffer = nullptr;
  IoStatusBlock io_status;
  Mode requestor_mode = Mode::Kernel;
  bool pending_returned = false;
  std::atomic<bool> cancel{false};
  std::atomic<CancelRoutine> cancel_routine{nullptr};
  Irql cancel_irql = Irql::Passive;
  int8_t stack_count = 0;
  int8_t current_location = 0;  // index + 1 of the current location; stack_count + 1 = none yet
  std::vector<IoStackLocation> stack;
  uint32_t process_id = 0;  // the thread that issued the request
  std::atomic<int> completions{0};  // a second completion aborts the program
  RequestDone on_done;  // set by the issuer of the request (kept by ReuseIrp)
  void* owner_data = nullptr;  // for the issuer (kept by ReuseIrp)
};

Irp* AllocateIrp(int8_t stack_size);  // null on (injected) failure
void FreeIrp(Irp* irp);
// Makes an allocated request reusable for the next send (status, stack, cancel state).
void ReuseIrp(Irp* irp, NTSTATUS status);

IoStackLocation* CurrentStackLocation(Irp* irp);
IoStackLocation* NextStackLocation(Irp* irp);
void CopyCurrentStackLocationToNext(Irp* irp);
void SkipCurrentStackLocation(Irp* irp);
void SetCompletionRoutine(Irp* irp, CompletionRoutine routine, void* context, bool on_success,
                          bool on_error, bool on_cancel);
void MarkIrpPending(Irp* irp);

// Sends the request to `device`: moves to the next stack location and calls the device's
// dispatch routine for the location's major function.
NTSTATUS CallDriver(DeviceObject* device, Irp* irp);
// Completes the request: completion routines run from the current location upward until
// one returns STATUS_MORE_PROCESSING_REQUIRED; at the top the issuer's `on_done` runs.
// Pending is propagated as in WDM: a location without a completion routine passes
// SL_PENDING_RETURNED up; a completion routine must do it itself (MarkIrpPending when
// irp->pending_returned). After STATUS_MORE_PROCESSING_REQUIRED the request belongs to the
// routine's owner, who may complete it again, send it again or free it. Completing a request
// twice, with STATUS_PENDING, with a cancel routine still set, or while holding a spin lock,
// aborts the program.
void CompleteRequest(Irp* irp);

// Cancellation. The system cancel lock is taken around cancel routines; a cancel routine
// must release it with ReleaseCancelSpinLock(irp->cancel_irql) first thing.
CancelRoutine SetCancelRoutine(Irp* irp, CancelRoutine routine);  // returns the previous one
bool CancelIrp(Irp* irp);  // true if a cancel routine was called
void AcquireCancelSpinLock(Irql* old_irql);
void ReleaseCancelSpinLock(Irql old_irql);

// ---------------------------------------------------------------------------------------
// Drivers and devices.
using DispatchRoutine = NTSTATUS (*)(DeviceObject* device, Irp* irp);
struct DriverObject;
using AddDeviceRoutine = NTSTATUS (*)(DriverObject* driver, DeviceObject* pdo);
using UnloadRoutine = void (*)(DriverObject* driver);
using DriverEntryRoutine = NTSTATUS (*)(DriverObject* driver);

struct DriverObject {
  std::string name;
  DispatchRoutine major_function[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
  AddDeviceRoutine add_device = nullptr;
  UnloadRoutine unload = nullptr;
};

constexpr uint32_t DO_BUFFERED_IO = 0x0004;
constexpr uint32_t DO_DIRECT_IO = 0x0010;
constexpr uint32_t DO_DEVICE_INITIALIZING = 0x0080;
constexpr uint32_t DO_POWER_PAGABLE = 0x2000;
constexpr uint32_t DO_POWER_INRUSH = 0x4000;

struct DeviceObject {
  DriverObject* driver = nullptr;
  void* extension = nullptr;  // zeroed storage of the size asked at creation
  DeviceObject* attached_device = nullptr;  // the device above in the stack, if any
  DeviceObject* lower_device = nullptr;     // the device below (set by Attach)
  int8_t stack_size = 1;
  uint32_t flags = 0;
  uint32_t device_type = 0;
  std::string name;
  void* bus_context = nullptr;  // a bus driver's private data of its physical devices
  std::atomic<int> power_state_reported{0};  // last device power state a driver reported
};

// Counts as an allocation (kDeviceTag). A named device's name must be unique
// (STATUS_OBJECT_NAME_COLLISION). An exclusive device admits one open file at a time.
NTSTATUS CreateDevice(DriverObject* driver, size_t extension_size, const std::string& name,
                      uint32_t device_type, bool exclusive, DeviceObject** device);
// Aborts while the device is attached to another or has one attached. Its device interfaces
// are dropped.
void DeleteDevice(DeviceObject* device);
// Attaches `source` on top of the stack that holds `target`; returns the device it is now
// directly above (null if that stack is being torn down).
DeviceObject* AttachDeviceToDeviceStack(DeviceObject* source, DeviceObject* target);
void DetachDevice(DeviceObject* lower);
DeviceObject* AttachedDeviceTop(DeviceObject* device);  // the top of device's stack
void ReportDevicePowerState(DeviceObject* device, uint32_t device_state);

// Starts the next power request for the device (kept for the driver's bookkeeping).
void StartNextPowerIrp(Irp* irp);
// Issues a device power request to the top of `pdo`'s stack from a passive-level worker;
// `done` is called when it completes. STATUS_PENDING, or a failure (then `done` is not
// called).
NTSTATUS RequestPowerIrp(DeviceObject* pdo, uint8_t minor, uint32_t device_state,
                         std::function<void(NTSTATUS)> done);

// ---------------------------------------------------------------------------------------
// Remove locks.
class RemoveLock {
 public:
  void Initialize(uint32_t tag);
  NTSTATUS Acquire();  // STATUS_DELETE_PENDING once a release-and-wait has begun
  void Release();
  void ReleaseAndWait();  // releases the caller's hold and waits for every other holder

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int holders_ = 1;  // the remove lock's own reference, dropped by ReleaseAndWait
  bool removed_ = false;
  uint32_t tag_ = 0;
};

// ---------------------------------------------------------------------------------------
// File objects, handed to create/cleanup/close and every request on a handle.
struct FileObject {
  DeviceObject* device = nullptr;
  std::u16string file_name;          // the name after the device path ("" for none)
  FileObject* related = nullptr;
  void* fs_context = nullptr;        // the driver's per-handle context
  void* fs_context2 = nullptr;
};

// ---------------------------------------------------------------------------------------
// Device interfaces.
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
  bool operator==(const Guid& o) const;
};
// "{E90951AD-F9CA-44F9-ADAA-0DB8406495AE}" form.
std::string GuidToString(const Guid& guid);

struct DeviceInterfaceEntry {
  std::string symbolic_link;
  Guid interface_class;
  DeviceObject* pdo = nullptr;
  bool enabled = false;
};

// The link is "\\??\\<pdo>#{class}", <pdo> being the PDO's name with '\\' turned into '#' (or
// a number of the system's for an unnamed PDO); registering again gives the same link.
NTSTATUS RegisterDeviceInterface(DeviceObject* pdo, const Guid& interface_class,
                                 std::string* symbolic_link);
// STATUS_OBJECT_NAME_NOT_FOUND for an unknown link.
NTSTATUS SetDeviceInterfaceState(const std::string& symbolic_link, bool enable);
std::vector<DeviceInterfaceEntry> ListDeviceInterfaces(const Guid& interface_class,
                                                       bool include_disabled);
// The device object an open of `symbolic_link` is sent to (the top of the PDO's stack),
// or null when the link is unknown or disabled.
DeviceObject* ResolveDeviceInterface(const std::string& symbolic_link);

// ---------------------------------------------------------------------------------------
// The I/O manager's part: how a caller (the user-mode stand-in, or a test acting as user
// mode) opens handles and sends control requests. The requestor mode is User and the
// process is the calling thread's.

// Opens `device` with the given name; returns the status and the file object (freed by
// CloseFile after cleanup). Requests on a file go to the top of its device's stack. Fails
// with STATUS_DELETE_PENDING once the device's stack is being removed, and with
// STATUS_ACCESS_DENIED on an exclusive device that is open already.
NTSTATUS OpenFile(DeviceObject* device, const std::u16string& name, FileObject** file,
                  Mode mode = Mode::User);
NTSTATUS CleanupFile(FileObject* file);  // IRP_MJ_CLEANUP
// IRP_MJ_CLOSE (after IRP_MJ_CLEANUP if that has not been sent), frees the file object.
// The close waits for requests still completing on the file (a cancellation racing the
// cleanup); one still outstanding after 30 s aborts the program as a lost request.
NTSTATUS CloseFile(FileObject* file);

// An outstanding control request. `done` runs once with the final status and information,
// on whatever thread completes the request; buffers stay the caller's until then.
struct ControlRequest {
  uint32_t code = 0;
  const void* input = nullptr;
  uint32_t input_length = 0;
  void* output = nullptr;
  uint32_t output_length = 0;
  bool internal = false;  // IRP_MJ_INTERNAL_DEVICE_CONTROL
  Mode mode = Mode::User;
};

// Sends a control request on `file`'s device and returns at once with the dispatch result.
// `done(status, information)` is called exactly once when the request completes, on the
// completing thread; the request and its buffers are freed after it returns. Buffers by the
// code's method: METHOD_BUFFERED a system buffer of max(in, out) bytes, `information` bytes
// (at most the output length) copied back unless the status is an error; METHOD_IN_DIRECT
// and METHOD_OUT_DIRECT the input in a system buffer and the output described by
// irp->mdl_address; METHOD_NEITHER the caller's pointers. When the request or a buffer
// cannot be allocated, `done(STATUS_INSUFFICIENT_RESOURCES, 0)` runs before the return and
// the result is null. The returned Irp* may be passed to CancelIrp while `done` has not run;
// CancelRequests is safe at any time. A dispatch routine that returns a status other than
// STATUS_PENDING without having completed the request with that status, or that returns
// STATUS_PENDING without MarkIrpPending (or the reverse), aborts the program.
Irp* SendControl(FileObject* file, const ControlRequest& request,
                 std::function<void(NTSTATUS status, uintptr_t information)> done,
                 NTSTATUS* dispatch_status = nullptr);
// Same, waiting for completion.
NTSTATUS SendControlSync(FileObject* file, const ControlRequest& request,
                         uintptr_t* information = nullptr);
// Cancels the outstanding requests on `file` (all of them, or only `irp`), like CancelIoEx:
// safe while they complete. Returns the number of cancel routines called.
int CancelRequests(FileObject* file, Irp* irp = nullptr);

// ---------------------------------------------------------------------------------------
// The machine. Owns the clock, the deferred-call workers (one per processor), the timer
// service, the passive worker threads, the pools' accounting and failure injection, the
// device interfaces and the set of loaded drivers.
struct SystemOptions {
  int processors = 2;
  int worker_threads = 2;
  Clock* clock = nullptr;  // null: a real clock owned by the system
  size_t mdl_header_bytes = kMdlHeaderBytes;  // lets tests model other descriptor sizes
};

class System {
 public:
  explicit System(const SystemOptions& options = {});
  ~System();
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  static System& Current();  // aborts when there is none
  static bool Exists();

  Clock& clock();
  size_t mdl_header_bytes() const { return options_.mdl_header_bytes; }

  // Failure injection. `FailAllocationsAfter(n)` lets n more allocations (pool, lookaside,
  // descriptors, requests, work items, device objects; see the k*Tag constants) succeed and
  // fails the following ones until `StopFailingAllocations`. A filter restricts counting
  // (and failing) to allocations whose tag it accepts.
  void FailAllocationsAfter(int n, std::function<bool(uint32_t tag)> filter = {});
  void StopFailingAllocations();
  void FailSystemMappings(bool fail);
  // Allocation accounting: outstanding allocations per tag (0 = all), including the
  // system's own tags.
  size_t OutstandingAllocations(uint32_t tag = 0) const;

  // Waits until every deferred call, timer expiry and work item queued so far has run
  // (timers that are not due are not waited for). For tests.
  void Quiesce();

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  SystemOptions options_;
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------
// Plug and Play manager. A bus driver reports a new physical device; the manager loads the
// function driver registered for its hardware ID (AddDevice) and starts the stack
// (IRP_MN_START_DEVICE). Removal sends the query and the removal requests.
namespace pnp {

// PnP work runs on one passive-level thread of the system, one piece at a time. PnP requests
// start with STATUS_NOT_SUPPORTED, as in WDM.

// Registers a driver for devices with `hardware_id`: DriverEntry runs on first use (again
// on the next device when it failed).
NTSTATUS RegisterDriver(const std::string& hardware_id, const std::string& driver_name,
                        DriverEntryRoutine entry);
// Unloads every loaded driver (unload routine called); aborts while one still has devices.
void UnregisterDrivers();

// The bus driver `parent` reports `pdo` with `hardware_id`. Runs AddDevice and START_DEVICE
// on the PnP thread; returns at once. `DevicesSettled()` waits for all such work. A failed
// START_DEVICE is followed by IRP_MN_REMOVE_DEVICE, as in WDM; the node stays, not started.
void ReportDevice(DeviceObject* pdo, const std::string& hardware_id,
                  const std::string& instance_id, DeviceObject* parent);
// The bus driver reports that `pdo` is gone: IRP_MN_SURPRISE_REMOVAL, then
// IRP_MN_REMOVE_DEVICE once no file is open on the stack (the last CloseFile sends it).
// Returns at once.
void ReportDeviceGone(DeviceObject* pdo);
// Orderly removal: query remove, then remove; false (after IRP_MN_CANCEL_REMOVE_DEVICE) when
// the query was refused or files are still open on the stack. Waits for the PnP thread.
bool RequestRemoval(DeviceObject* pdo);
void DevicesSettled();

// Sends a PnP request with `minor` to the top of pdo's stack and waits for it (on the PnP
// thread). `capabilities` is handed to IRP_MN_QUERY_CAPABILITIES; `information` receives the
// final information.
NTSTATUS SendPnp(DeviceObject* pdo, uint8_t minor, uintptr_t* information = nullptr,
                 DeviceCapabilities* capabilities = nullptr);
// Sends a power request to the top of pdo's stack and waits for it. Passive level.
NTSTATUS SendPower(DeviceObject* pdo, uint8_t minor, PowerType type, uint32_t state);

struct DeviceNode {
  DeviceObject* pdo = nullptr;
  std::string hardware_id;
  std::string instance_id;
  DeviceObject* parent_pdo = nullptr;  // the bus driver's device that reported it
  bool started = false;
  // STATUS_PENDING until the start has been tried; STATUS_NO_SUCH_DEVICE when no driver is
  // registered for the hardware ID; else the failure of DriverEntry, AddDevice or the start.
  NTSTATUS start_status = STATUS_PENDING;
};
// The reported devices that have not been removed, in the order reported.
std::vector<DeviceNode> DeviceTree();

}  // namespace pnp

}  // namespace kern
