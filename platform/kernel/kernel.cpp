// The machine: execution levels, locks, events, clocks, deferred calls, timers, work items
// and the System object that owns their threads.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/kernel_internal.h"
#include "platform/threadcpu/threadcpu.h"

namespace kern {

namespace {

std::atomic<System*> g_current{nullptr};

// Per-thread state. A thread's "identity" for lock ownership is the address of `t_self`.
thread_local char t_self;
thread_local Irql t_irql = Irql::Passive;
thread_local int t_spin_locks = 0;
thread_local uint32_t t_pid = kSystemProcessId;
thread_local int t_processor = -1;

// Ranked locks the thread holds, in acquisition order (debug builds check the order).
struct HeldLock {
  const void* lock;
  int rank;
};
constexpr int kMaxHeld = 32;
thread_local HeldLock t_held[kMaxHeld];
thread_local int t_held_count = 0;

const void* Self() { return &t_self; }

void NoteAcquire(const void* lock, int rank) {
#ifndef NDEBUG
  if (rank != 0) {
    for (int i = 0; i < t_held_count; ++i) {
      KERN_CHECK(t_held[i].rank < rank,
                 "lock order: taking a lock of rank %d while holding one of rank %d", rank,
                 t_held[i].rank);
    }
  }
#endif
  KERN_CHECK(t_held_count < kMaxHeld, "a thread holds more than %d locks", kMaxHeld);
  t_held[t_held_count++] = {lock, rank};
}

void NoteRelease(const void* lock) {
  for (int i = t_held_count - 1; i >= 0; --i) {
    if (t_held[i].lock == lock) {
      for (int j = i; j + 1 < t_held_count; ++j) t_held[j] = t_held[j + 1];
      --t_held_count;
      return;
    }
  }
  Fatal("releasing a lock the thread does not hold");
}

std::chrono::nanoseconds From100ns(uint64_t units) {
  constexpr uint64_t kMax = uint64_t{1} << 62;  // no overflow in the conversion
  return std::chrono::nanoseconds(static_cast<int64_t>(std::min(units, kMax / 100) * 100));
}

}  // namespace

void Fatal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("kern: fatal: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  va_end(args);
  std::abort();
}

// ---------------------------------------------------------------------------------------
// Execution levels and process identity.

Irql CurrentIrql() { return t_irql; }

Irql RaiseIrql(Irql to) {
  Irql old = t_irql;
  KERN_CHECK(to >= old, "RaiseIrql to %d from the higher level %d", int(to), int(old));
  t_irql = to;
  return old;
}

void LowerIrql(Irql previous) {
  KERN_CHECK(previous <= t_irql, "LowerIrql to %d from the lower level %d", int(previous),
             int(t_irql));
  t_irql = previous;
}

int SpinLocksHeld() { return t_spin_locks; }

uint32_t CurrentProcessId() { return t_pid; }
void SetCurrentProcessId(uint32_t pid) { t_pid = pid; }

void EnterSystemThread(Irql level, int processor) {
  // The kernel's threads run only the driver: their time is the serving side's.
  threadcpu::CountThisThread();
  t_irql = level;
  t_pid = kSystemProcessId;
  t_processor = processor;
}

int CurrentProcessor(int processors) {
  // Threads other than the deferred-call workers are spread over the processors once, at
  // their first deferred call, so each thread's calls keep their order.
  static std::atomic<int> next{0};
  if (t_processor < 0) t_processor = next.fetch_add(1) & 0x7FFFFFFF;
  return t_processor % processors;
}

// ---------------------------------------------------------------------------------------
// Locks and events.

void SpinLock::Acquire(LockHandle& handle) {
  Irql old = RaiseIrql(Irql::Dispatch);
  KERN_CHECK(owner_.load(std::memory_order_relaxed) != Self(),
             "spin lock acquired again by the thread that holds it");
  NoteAcquire(this, rank_);
  mutex_.lock();
  owner_.store(Self(), std::memory_order_relaxed);
  ++t_spin_locks;
  handle.lock = this;
  handle.old_irql = old;
}

void SpinLock::Release(LockHandle& handle) {
  KERN_CHECK(handle.lock == this, "spin lock released through another lock's handle");
  KERN_CHECK(owner_.load(std::memory_order_relaxed) == Self(),
             "spin lock released by a thread that does not hold it");
  NoteRelease(this);
  --t_spin_locks;
  owner_.store(nullptr, std::memory_order_relaxed);
  mutex_.unlock();
  LowerIrql(handle.old_irql);
}

bool SpinLock::HeldByCaller() const { return owner_.load(std::memory_order_relaxed) == Self(); }

void KMutex::Acquire() {
  KERN_CHECK(CurrentIrql() <= Irql::Apc, "kernel mutex acquired at dispatch level");
  KERN_CHECK(!HeldByCaller(), "kernel mutex acquired again by its holder (not recursive)");
  NoteAcquire(this, rank_);
  mutex_.lock();
  owner_.store(Self(), std::memory_order_relaxed);
}

void KMutex::Release() {
  KERN_CHECK(HeldByCaller(), "kernel mutex released by a thread that does not hold it");
  NoteRelease(this);
  owner_.store(nullptr, std::memory_order_relaxed);
  mutex_.unlock();
}

bool KMutex::HeldByCaller() const { return owner_.load(std::memory_order_relaxed) == Self(); }

void Event::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  signaled_ = true;
  if (type_ == EventType::Notification) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signaled_ = false;
}

bool Event::IsSignaled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signaled_;
}

void Event::Wait() {
  KERN_CHECK(CurrentIrql() < Irql::Dispatch, "waiting on an event at dispatch level");
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return signaled_; });
  if (type_ == EventType::Synchronization) signaled_ = false;
}

NTSTATUS Event::WaitFor(uint64_t timeout_100ns) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto take = [this] {
    if (!signaled_) return false;
    if (type_ == EventType::Synchronization) signaled_ = false;
    return true;
  };
  if (take()) return STATUS_SUCCESS;
  if (timeout_100ns == 0) return STATUS_TIMEOUT;
  KERN_CHECK(CurrentIrql() < Irql::Dispatch, "waiting on an event at dispatch level");
  Clock& clock = System::Current().clock();
  // Only the real clock moves with real time; any other clock is watched in small slices.
  const bool real = dynamic_cast<RealClock*>(&clock) != nullptr;
  const uint64_t start = clock.InterruptTime();
  const uint64_t deadline =
      start + std::min<uint64_t>(timeout_100ns, UINT64_MAX - start);
  for (;;) {
    const uint64_t now = clock.InterruptTime();
    if (now >= deadline) return take() ? STATUS_SUCCESS : STATUS_TIMEOUT;
    auto slice = From100ns(deadline - now);
    if (!real) slice = std::min<std::chrono::nanoseconds>(slice, std::chrono::milliseconds(1));
    if (cv_.wait_for(lock, slice, [this] { return signaled_; })) {
      take();
      return STATUS_SUCCESS;
    }
  }
}

void Countdown::Arrive() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--count_ == 0) cv_.notify_all();
}

void Countdown::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return count_ <= 0; });
}

// ---------------------------------------------------------------------------------------
// Clocks.

namespace {
int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
// 100 ns units from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochAs1601 = 116'444'736'000'000'000LL;
}  // namespace

RealClock::RealClock() : base_ns_(SteadyNs()) {}

uint64_t RealClock::InterruptTime() { return static_cast<uint64_t>(SteadyNs() - base_ns_) / 100; }

int64_t RealClock::SystemTime() {
  auto since_unix = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  return since_unix / 100 + kUnixEpochAs1601;
}

void ManualClock::Advance(uint64_t units_100ns) {
  now_.fetch_add(units_100ns);
  if (System::Exists()) System::Current().impl().timers.FireDue();
}

uint64_t QueryInterruptTime() { return System::Current().clock().InterruptTime(); }
int64_t QuerySystemTime() { return System::Current().clock().SystemTime(); }

// ---------------------------------------------------------------------------------------
// Deferred calls.

void DpcWorkers::Start(int processors) {
  for (int i = 0; i < processors; ++i) processors_.push_back(std::make_unique<Processor>());
  for (int i = 0; i < processors; ++i) {
    Processor* p = processors_[i].get();
    p->thread = std::thread([this, p, i] { Run(p, i); });
  }
}

void DpcWorkers::Stop() {
  for (auto& p : processors_) {
    std::lock_guard<std::mutex> lock(p->mutex);
    p->stop = true;
    p->cv.notify_all();
  }
  for (auto& p : processors_) p->thread.join();
  processors_.clear();
}

bool DpcWorkers::Queue(Dpc* dpc, void* arg1, void* arg2) {
  if (dpc->queued_.exchange(true, std::memory_order_acq_rel)) return false;
  KERN_CHECK(dpc->routine_ != nullptr, "queueing a deferred call that was not initialised");
  Processor* p = processors_[CurrentProcessor(static_cast<int>(processors_.size()))].get();
  std::lock_guard<std::mutex> lock(p->mutex);
  dpc->arg1_ = arg1;
  dpc->arg2_ = arg2;
  p->queue.push_back({dpc, nullptr});
  p->cv.notify_one();
  return true;
}

void DpcWorkers::Flush() {
  KERN_CHECK(CurrentIrql() == Irql::Passive, "FlushQueuedDpcs above passive level");
  Countdown barrier(static_cast<int>(processors_.size()));
  for (auto& p : processors_) {
    std::lock_guard<std::mutex> lock(p->mutex);
    p->queue.push_back({nullptr, &barrier});
    p->cv.notify_one();
  }
  barrier.Wait();
}

void DpcWorkers::Run(Processor* p, int index) {
  EnterSystemThread(Irql::Dispatch, index);
  std::unique_lock<std::mutex> lock(p->mutex);
  for (;;) {
    p->cv.wait(lock, [p] { return p->stop || !p->queue.empty(); });
    if (p->queue.empty()) return;  // stopping, nothing left
    Entry e = p->queue.front();
    p->queue.pop_front();
    if (e.dpc == nullptr) {
      lock.unlock();
      e.barrier->Arrive();
      lock.lock();
      continue;
    }
    // Dequeued before it runs, so the routine may queue it again (or free it).
    DeferredRoutine routine = e.dpc->routine_;
    void* context = e.dpc->context_;
    void* arg1 = e.dpc->arg1_;
    void* arg2 = e.dpc->arg2_;
    e.dpc->queued_.store(false, std::memory_order_release);
    lock.unlock();
    routine(e.dpc, context, arg1, arg2);
    KERN_CHECK(CurrentIrql() == Irql::Dispatch && SpinLocksHeld() == 0,
               "deferred routine returned holding %d spin locks at level %d", SpinLocksHeld(),
               int(CurrentIrql()));
    lock.lock();
  }
}

void Dpc::Initialize(DeferredRoutine routine, void* context) {
  KERN_CHECK(!queued_.load(), "initialising a queued deferred call");
  routine_ = routine;
  context_ = context;
}

bool Dpc::Queue(void* arg1, void* arg2) {
  System::Impl& impl = System::Current().impl();
  bool queued = impl.dpcs.Queue(this, arg1, arg2);
  if (queued) impl.activity.fetch_add(1);
  return queued;
}

void FlushQueuedDpcs() { System::Current().impl().dpcs.Flush(); }

// ---------------------------------------------------------------------------------------
// Timers.

void TimerService::Start(Clock* clock) {
  clock_ = clock;
  thread_ = std::thread([this] { Run(); });
}

void TimerService::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    for (auto& [due, timer] : timers_) timer->set_ = false;
    timers_.clear();
    cv_.notify_all();
  }
  thread_.join();
}

bool TimerService::Set(Timer* timer, uint64_t relative, Dpc* dpc) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool was_set = timer->set_;
  if (was_set) timers_.erase({timer->due_, timer});
  uint64_t now = clock_->InterruptTime();
  timer->due_ = now + std::min<uint64_t>(relative, UINT64_MAX - now);
  timer->dpc_ = dpc;
  timer->set_ = true;
  timers_.insert({timer->due_, timer});
  // The timer thread sleeps until the earliest timer at most: only a new earliest one
  // needs to wake it (drivers arm a time-out per request, almost always a later one).
  if (timers_.begin()->second == timer) cv_.notify_all();
  return was_set;
}

bool TimerService::Cancel(Timer* timer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!timer->set_) return false;
  timers_.erase({timer->due_, timer});
  timer->set_ = false;
  return true;
}

bool TimerService::IsSet(const Timer* timer) {
  std::lock_guard<std::mutex> lock(mutex_);
  return timer->set_;
}

void TimerService::FireDue() {
  std::lock_guard<std::mutex> lock(mutex_);
  FireDueLocked();
}

void TimerService::FireDueLocked() {
  const uint64_t now = clock_->InterruptTime();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    Timer* timer = timers_.begin()->second;
    timers_.erase(timers_.begin());
    timer->set_ = false;  // from here on Cancel fails
    timer->dpc_->Queue();
    System::Current().impl().activity.fetch_add(1);
  }
}

void TimerService::Run() {
  EnterSystemThread(Irql::Passive, -1);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    FireDueLocked();
    if (timers_.empty()) {
      cv_.wait(lock);
      continue;
    }
    const uint64_t now = clock_->InterruptTime();
    const uint64_t next = timers_.begin()->first;
    auto wait = From100ns(next > now ? next - now : 0);
    cv_.wait_for(lock, std::min<std::chrono::nanoseconds>(wait, std::chrono::milliseconds(5)));
  }
}

Timer::~Timer() {
  if (System::Exists()) Cancel();
}

bool Timer::Set(uint64_t relative_100ns, Dpc* dpc) {
  KERN_CHECK(dpc != nullptr, "timer set without a deferred call");
  return System::Current().impl().timers.Set(this, relative_100ns, dpc);
}

bool Timer::Cancel() { return System::Current().impl().timers.Cancel(this); }

bool Timer::IsSet() const { return System::Current().impl().timers.IsSet(this); }

// ---------------------------------------------------------------------------------------
// Passive worker threads and work items.

namespace {
thread_local const WorkerPool* t_pool = nullptr;
}

void WorkerPool::Start(int threads) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

void WorkerPool::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    cv_.notify_all();
  }
  for (auto& t : threads_) t.join();
  threads_.clear();
}

void WorkerPool::Queue(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t seq = next_seq_++;
  unfinished_.insert(seq);
  queue_.push_back({seq, std::move(fn)});
  cv_.notify_one();
}

void WorkerPool::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t last = next_seq_ - 1;
  idle_cv_.wait(lock, [&] { return unfinished_.empty() || *unfinished_.begin() > last; });
}

bool WorkerPool::OnPoolThread() const { return t_pool == this; }

void WorkerPool::Run() {
  EnterSystemThread(Irql::Passive, -1);
  t_pool = this;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Item item = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    item.fn();
    KERN_CHECK(CurrentIrql() == Irql::Passive && SpinLocksHeld() == 0,
               "passive-level work returned holding %d spin locks at level %d", SpinLocksHeld(),
               int(CurrentIrql()));
    item.fn = nullptr;  // whatever it captured goes before the item counts as finished
    lock.lock();
    unfinished_.erase(item.seq);
    idle_cv_.notify_all();
  }
}

WorkItem* WorkItem::Allocate(DeviceObject* device) {
  if (!System::Current().impl().Charge(kWorkItemTag)) return nullptr;
  WorkItem* item = new WorkItem();
  item->device_ = device;
  return item;
}

void WorkItem::Free(WorkItem* item) {
  KERN_CHECK(item != nullptr, "WorkItem::Free(null)");
  KERN_CHECK(!item->queued_.load(), "work item freed while queued");
  delete item;
  System::Current().impl().Uncharge(kWorkItemTag);
}

void WorkItem::Queue(WorkItemRoutine routine, void* context) {
  KERN_CHECK(!queued_.exchange(true), "work item queued again before its routine ran");
  System::Impl& impl = System::Current().impl();
  DeviceObject* device = device_;
  if (device != nullptr) {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    ++impl.devices[device].refs;  // keeps the device object's memory until the routine ran
  }
  impl.activity.fetch_add(1);
  impl.workers.Queue([this, routine, context, device, &impl] {
    // Dequeued before it runs, so the routine may queue it again or free it.
    queued_.store(false);
    routine(device, context);
    if (device != nullptr) impl.ReleaseDeviceRef(device);
  });
}

// ---------------------------------------------------------------------------------------
// The system.

System::System(const SystemOptions& options) : options_(options), impl_(new Impl) {
  KERN_CHECK(options.processors > 0 && options.worker_threads > 0,
             "a system needs at least one processor and one worker thread");
  System* expected = nullptr;
  KERN_CHECK(g_current.compare_exchange_strong(expected, this),
             "a second kern::System while one exists");
  impl_->options = options;
  if (options.clock != nullptr) {
    impl_->clock = options.clock;
  } else {
    impl_->own_clock = std::make_unique<RealClock>();
    impl_->clock = impl_->own_clock.get();
  }
  impl_->dpcs.Start(options.processors);
  impl_->timers.Start(impl_->clock);
  impl_->workers.Start(options.worker_threads);
  impl_->pnp.Start(1);
}

System::~System() {
  // Timers that are not due are dropped; what is queued runs to the end.
  impl_->pnp.Flush();
  impl_->timers.Stop();
  Quiesce();
  impl_->pnp.Stop();
  impl_->workers.Stop();
  impl_->dpcs.Stop();
  g_current.store(nullptr);
}

System& System::Current() {
  System* s = g_current.load();
  KERN_CHECK(s != nullptr, "no kern::System exists");
  return *s;
}

bool System::Exists() { return g_current.load() != nullptr; }

Clock& System::clock() { return *impl_->clock; }

void System::FailAllocationsAfter(int n, std::function<bool(uint32_t tag)> filter) {
  std::lock_guard<std::mutex> lock(impl_->alloc_mutex);
  impl_->failing = true;
  impl_->fail_after = n;
  impl_->fail_filter = std::move(filter);
}

void System::StopFailingAllocations() {
  std::lock_guard<std::mutex> lock(impl_->alloc_mutex);
  impl_->failing = false;
  impl_->fail_filter = nullptr;
}

void System::FailSystemMappings(bool fail) { impl_->fail_mappings.store(fail); }

size_t System::OutstandingAllocations(uint32_t tag) const {
  std::lock_guard<std::mutex> lock(impl_->alloc_mutex);
  if (tag == 0) return impl_->outstanding_total;
  auto it = impl_->outstanding.find(tag);
  return it == impl_->outstanding.end() ? 0 : it->second;
}

void System::Quiesce() {
  KERN_CHECK(CurrentIrql() == Irql::Passive, "Quiesce above passive level");
  for (;;) {
    const uint64_t before = impl_->activity.load();
    impl_->timers.FireDue();
    impl_->dpcs.Flush();
    impl_->workers.Flush();
    if (impl_->activity.load() == before) return;
  }
}

bool System::Impl::Charge(uint32_t tag) {
  std::lock_guard<std::mutex> lock(alloc_mutex);
  if (failing && (!fail_filter || fail_filter(tag))) {
    if (fail_after <= 0) return false;
    --fail_after;
  }
  ++outstanding[tag];
  ++outstanding_total;
  return true;
}

void System::Impl::Count(uint32_t tag) {
  std::lock_guard<std::mutex> lock(alloc_mutex);
  ++outstanding[tag];
  ++outstanding_total;
}

void System::Impl::Uncharge(uint32_t tag) {
  std::lock_guard<std::mutex> lock(alloc_mutex);
  auto it = outstanding.find(tag);
  KERN_CHECK(it != outstanding.end() && it->second > 0,
             "freeing more allocations of tag %08X than were made", tag);
  --it->second;
  --outstanding_total;
}

}  // namespace kern
