// Private to the kernel stand-in: the machine's threads and tables behind System::Impl.
#pragma once

#include <cstdarg>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>

#include "platform/kernel/kernel.h"

namespace kern {

// Prints "kern: fatal: <message>" to stderr and aborts: the stand-in's bug check.
[[noreturn]] void Fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

#define KERN_CHECK(cond, ...)       \
  do {                              \
    if (!(cond)) {                  \
      ::kern::Fatal(__VA_ARGS__);   \
    }                               \
  } while (0)

// Per-thread identity of the system's own threads.
void EnterSystemThread(Irql level, int processor);
int CurrentProcessor(int processors);  // the queue a thread's deferred calls go to

// A one-shot rendezvous: Wait returns once Arrive has been called `count` times.
class Countdown {
 public:
  explicit Countdown(int count) : count_(count) {}
  void Arrive();
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_;
};

// One FIFO and one thread per processor, running deferred calls at dispatch level.
class DpcWorkers {
 public:
  void Start(int processors);
  void Stop();
  bool Queue(Dpc* dpc, void* arg1, void* arg2);
  void Flush();  // a barrier through every queue

 private:
  struct Entry {
    Dpc* dpc;            // or, when null, a barrier
    Countdown* barrier;
  };
  struct Processor {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Entry> queue;  // guarded by mutex
    bool stop = false;        // guarded by mutex
    std::thread thread;
  };
  void Run(Processor* p, int index);
  std::vector<std::unique_ptr<Processor>> processors_;
};

// Passive-level threads that take functions from one FIFO. Used for work items and power
// requests (several threads) and for Plug and Play (one thread).
class WorkerPool {
 public:
  void Start(int threads);
  void Stop();
  void Queue(std::function<void()> fn);
  // Returns once everything queued before the call has finished.
  void Flush();
  bool OnPoolThread() const;

 private:
  struct Item {
    uint64_t seq;
    std::function<void()> fn;
  };
  void Run();
  mutable std::mutex mutex_;
  std::condition_variable cv_;       // work or stop
  std::condition_variable idle_cv_;  // an item finished
  std::deque<Item> queue_;           // guarded by mutex_
  std::set<uint64_t> unfinished_;    // queued or running, guarded by mutex_
  uint64_t next_seq_ = 1;            // guarded by mutex_
  bool stop_ = false;                // guarded by mutex_
  std::vector<std::thread> threads_;
};

// One-shot timers in the interrupt time of the system's clock. Expiry queues the timer's
// deferred call; the service thread looks for due timers when it is told of a change, when
// the next due time comes in real time, and every few milliseconds for clocks that move on
// their own. ManualClock::Advance fires due timers synchronously.
class TimerService {
 public:
  void Start(Clock* clock);
  void Stop();  // forgets every set timer
  bool Set(Timer* timer, uint64_t relative, Dpc* dpc);
  bool Cancel(Timer* timer);
  bool IsSet(const Timer* timer);
  void FireDue();

 private:
  void FireDueLocked();
  void Run();
  Clock* clock_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::set<std::pair<uint64_t, Timer*>> timers_;  // by due time, guarded by mutex_
  bool stop_ = false;                             // guarded by mutex_
  std::thread thread_;
};

struct IoRequest;

struct System::Impl {
  SystemOptions options;
  Clock* clock = nullptr;
  std::unique_ptr<RealClock> own_clock;

  // Allocation accounting and failure injection.
  bool Charge(uint32_t tag);  // false: the allocation fails
  void Count(uint32_t tag);   // an allocation that cannot fail
  void Uncharge(uint32_t tag);
  mutable std::mutex alloc_mutex;
  std::unordered_map<uint32_t, size_t> outstanding;  // guarded by alloc_mutex
  size_t outstanding_total = 0;                      // guarded by alloc_mutex
  bool failing = false;                              // guarded by alloc_mutex
  int fail_after = 0;                                // guarded by alloc_mutex
  std::function<bool(uint32_t)> fail_filter;         // guarded by alloc_mutex
  std::atomic<bool> fail_mappings{false};

  // Every queueing of a deferred call or work item and every timer expiry, so Quiesce
  // can tell when a round found nothing new.
  std::atomic<uint64_t> activity{0};

  DpcWorkers dpcs;
  TimerService timers;
  WorkerPool workers;  // work items, power requests
  WorkerPool pnp;      // Plug and Play, one thread

  // The system cancel lock. Its handle lives here since the acquire and the release are
  // made by different functions (the release usually inside a cancel routine).
  SpinLock cancel_lock;
  LockHandle cancel_handle;  // guarded by cancel_lock

  // Devices, files, device interfaces, the device tree: guarded by io_mutex. Driver code is
  // never called with it held.
  struct DeviceInfo {
    uint64_t number = 0;     // names unnamed devices in interface links
    bool exclusive = false;
    int open_files = 0;      // opened, not yet closed
    int refs = 0;            // queued work items and open files
    bool deleted = false;    // DeleteDevice called; freed when refs drop to 0
    bool removing = false;   // its stack is being removed: no opens, no attaches
  };
  struct FileInfo {
    Mode mode = Mode::User;
    bool cleaned_up = false;
    std::vector<IoRequest*> outstanding;  // control requests not yet completed
  };
  struct Interface {
    DeviceInterfaceEntry entry;
  };
  struct Driver {
    std::string name;
    DriverEntryRoutine entry = nullptr;
    std::unique_ptr<DriverObject> object;  // null until loaded
  };
  struct Node {
    pnp::DeviceNode node;
    bool gone = false;             // surprise removal sent
    bool remove_on_close = false;  // REMOVE_DEVICE waits for the last open file
  };
  std::mutex io_mutex;
  uint64_t next_device_number = 1;
  std::unordered_map<DeviceObject*, DeviceInfo> devices;
  std::unordered_map<FileObject*, FileInfo> files;
  std::vector<Interface> interfaces;
  std::map<std::string, std::string> hardware_ids;  // hardware ID -> driver name
  std::map<std::string, Driver> drivers;             // by name
  std::vector<Node> nodes;
  // The device tree's mutations and the driver table are changed only on the PnP thread,
  // but read from anywhere under io_mutex.

  void FreeDeviceMemory(DeviceObject* device);
  void ReleaseDeviceRef(DeviceObject* device);
};

// Sends `irp` to `top` and frees it once it has completed and `finish` (called on the
// completing thread) has returned. Checks the dispatch rules at the top of the stack.
// `file` lists the request as outstanding on that file (for CancelRequests).
struct IoRequest {
  Irp* irp = nullptr;
  FileObject* file = nullptr;
  std::function<void(Irp*)> finish;
  void* system_buffer = nullptr;
  Mdl* mdl = nullptr;

  std::mutex mutex;
  // Holders of the request's memory: the dispatching thread until CallDriver has returned,
  // the completion until `finish` has returned, and CancelRequests while it cancels.
  int pins = 2;
  bool completed = false;    // guarded by mutex
  bool dispatch_returned = false;
  NTSTATUS dispatch_status = STATUS_SUCCESS;
  NTSTATUS final_status = STATUS_SUCCESS;
  bool pending_returned = false;
};
NTSTATUS Dispatch(DeviceObject* top, IoRequest* io);
// A request the system makes from its reserve (cleanup, close, PnP): counted under kIrpTag
// but not subject to failure injection.
Irp* AllocateReservedIrp(int8_t stack_size);
// Builds and sends a request on a thread that may wait, and waits for it.
NTSTATUS SendAndWait(DeviceObject* device, Irp* irp, FileObject* file, uintptr_t* information);

// Called by CloseFile when the last file of a stack closes (PnP may owe it a removal).
void OnStackFilesClosed(DeviceObject* pdo);
DeviceObject* BottomOfStack(DeviceObject* device);
int OpenFilesOnStackLocked(System::Impl& impl, DeviceObject* pdo);

}  // namespace kern
