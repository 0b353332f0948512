#include "platform/win32/win32.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/threadcpu/threadcpu.h"

namespace win32 {

namespace impl {
enum class Kind { Event, Mutex, Thread, Timer, File, DeviceInfoSet };
}  // namespace impl

// The object behind one or more handles.
struct Object {
  explicit Object(impl::Kind k) : kind(k) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  // Called once the last handle to the object has been closed (outside every lock).
  virtual void LastHandleClosed() {}
  const impl::Kind kind;
  std::atomic<int> handle_count{0};
};

namespace {

using impl::Kind;
using SteadyClock = std::chrono::steady_clock;

[[noreturn]] void Fatal(const char* what) {
  std::fprintf(stderr, "win32 stand-in: %s\n", what);
  std::abort();
}

thread_local DWORD t_last_error = ERROR_SUCCESS;

bool Fail(DWORD error) {
  t_last_error = error;
  return false;
}

// ---------------------------------------------------------------------------------------
// Threads as the waits and the asynchronous procedure calls see them.
struct MutexObject;

struct ThreadState {
  DWORD id = 0;
  uint32_t pid = kern::kSystemProcessId;
  bool ours = false;  // started by CreateThread
  // Guarded by the sync lock:
  int priority = THREAD_PRIORITY_NORMAL;
  DWORD_PTR affinity = 0;
  bool exited = false;
  DWORD exit_code = STILL_ACTIVE;
  std::deque<std::function<void()>> apcs;
  std::vector<std::shared_ptr<MutexObject>> owned;
  // While the thread sleeps in a wait on objects: what it waits on, and its own wake-up.
  const std::vector<std::shared_ptr<struct Waitable>>* waiting_on = nullptr;
  std::condition_variable wake;
};

// Every waitable object's state lives under one lock: waits on several objects and the
// asynchronous procedure calls of a thread need no finer scheme. A thread asleep on objects
// is woken only by a change of one of them (as a real wait is), not by every change in the
// process: with one condition variable for all, each event set would wake every waiting
// thread of the program. Other waits (a synchronous request, the timer thread) sleep on
// `changed`.
struct State {
  std::mutex sync;
  std::condition_variable changed;
  std::vector<ThreadState*> sleepers;  // asleep in Wait, under sync

  std::mutex handles_mutex;
  struct Entry {
    std::shared_ptr<Object> object;
    uint32_t pid;
  };
  std::unordered_map<uintptr_t, Entry> handles;
  uintptr_t next_handle = 1;

  std::map<std::u16string, std::weak_ptr<MutexObject>> named_mutexes;  // under sync

  std::mutex misc;  // failure injection, periods, allocations, device instances
  struct Rule {
    int skip = 0;
    int count = 0;
    DWORD error = 0;
  };
  std::map<testing::Call, Rule> failures;
  std::multiset<UINT> periods;
  std::unordered_set<void*> local_allocations;
  std::map<std::string, DEVINST> devinst_by_id;
  std::vector<std::string> id_by_devinst;  // DEVINST n is id_by_devinst[n - 1]

  std::atomic<size_t> live_threads{0};
  std::atomic<size_t> critical_sections{0};
  std::atomic<size_t> sids{0};
  std::atomic<int64_t> performance_frequency{0};
  std::atomic<DWORD_PTR> process_affinity{0};
  std::atomic<DWORD> next_thread_id{0x100};

  bool timer_thread_started = false;  // under sync
  std::vector<std::weak_ptr<struct TimerObject>> timers;  // under sync
};

// Never destroyed: detached threads may still use it while the program exits.
State& S() {
  static State* state = new State();
  return *state;
}

// Timed waits, sleeps and timers end on a tick of the system timer: 15.625 ms (64 Hz) unless
// a process has asked for a finer period with timeBeginPeriod. Code that assumes a
// millisecond sleep is a millisecond shows here as it would on the real system.
constexpr std::chrono::microseconds kDefaultTick{15625};

std::chrono::microseconds CurrentTick() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  if (s.periods.empty()) return kDefaultTick;
  return std::min<std::chrono::microseconds>(kDefaultTick, std::chrono::milliseconds(*s.periods.begin()));
}

// The first tick at or after `t`.
SteadyClock::time_point OnTick(SteadyClock::time_point t) {
  const auto tick = std::chrono::duration_cast<SteadyClock::duration>(CurrentTick());
  const auto since = t.time_since_epoch();
  const auto rounded = (since + tick - SteadyClock::duration(1)) / tick * tick;
  return SteadyClock::time_point(rounded);
}

// Wakes the threads asleep on `object`, or every sleeping thread when it is null (a change
// any wait may be after: a thread's end, a timer, an asynchronous procedure call). Sync held.
void WakeSleepers(State& s, const Waitable* object) {
  for (ThreadState* t : s.sleepers) {
    if (object == nullptr || std::any_of(t->waiting_on->begin(), t->waiting_on->end(),
                                         [&](const auto& o) { return o.get() == object; })) {
      t->wake.notify_one();
    }
  }
}
void WakeAll(State& s) {
  WakeSleepers(s, nullptr);
  s.changed.notify_all();
}

bool ShouldFail(testing::Call call, DWORD default_error) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  auto it = s.failures.find(call);
  if (it == s.failures.end() || it->second.count == 0) return false;
  if (it->second.skip > 0) {
    --it->second.skip;
    return false;
  }
  --it->second.count;
  t_last_error = it->second.error != 0 ? it->second.error : default_error;
  return true;
}

void EndThread(const std::shared_ptr<ThreadState>& t, DWORD code);

struct ThreadHolder {
  std::shared_ptr<ThreadState> state;
  ~ThreadHolder() {
    // A thread the stand-in did not start ends here; its mutexes are abandoned too.
    if (state && !state->ours) EndThread(state, 0);
  }
};
thread_local ThreadHolder t_self;

const std::shared_ptr<ThreadState>& Self() {
  if (!t_self.state) {
    auto t = std::make_shared<ThreadState>();
    t->id = S().next_thread_id.fetch_add(4);
    t->pid = kern::CurrentProcessId();
    t_self.state = std::move(t);
  }
  return t_self.state;
}

DWORD_PTR DefaultAffinity() {
  unsigned n = std::thread::hardware_concurrency();
  n = std::clamp(n, 1u, 32u);
  return n == 32 ? DWORD_PTR{0xFFFFFFFF} : (DWORD_PTR{1} << n) - 1;
}

DWORD_PTR ProcessAffinity() {
  DWORD_PTR m = S().process_affinity.load();
  return m != 0 ? m : DefaultAffinity();
}

// ---------------------------------------------------------------------------------------
// Waitable objects.
struct Waitable : Object {
  using Object::Object;
  // Both with the sync lock held.
  virtual bool Signaled(const ThreadState& t) const = 0;
  virtual bool Acquire(const std::shared_ptr<ThreadState>& t) = 0;  // true: abandoned
};

struct EventObject : Waitable {
  EventObject(bool manual_reset, bool initial) : Waitable(Kind::Event), manual(manual_reset),
                                                 signaled(initial) {}
  bool Signaled(const ThreadState&) const override { return signaled; }
  bool Acquire(const std::shared_ptr<ThreadState>&) override {
    if (!manual) signaled = false;
    return false;
  }
  const bool manual;
  bool signaled;
};

struct MutexObject : Waitable, std::enable_shared_from_this<MutexObject> {
  MutexObject() : Waitable(Kind::Mutex) {}
  bool Signaled(const ThreadState& t) const override { return owner == nullptr || owner == &t; }
  bool Acquire(const std::shared_ptr<ThreadState>& t) override {
    if (owner == t.get()) {
      ++count;
      return false;
    }
    owner = t.get();
    count = 1;
    t->owned.push_back(shared_from_this());
    const bool was_abandoned = abandoned;
    abandoned = false;
    return was_abandoned;
  }
  const ThreadState* owner = nullptr;
  int count = 0;
  bool abandoned = false;
};

struct ThreadObject : Waitable {
  explicit ThreadObject(std::shared_ptr<ThreadState> t) : Waitable(Kind::Thread),
                                                          state(std::move(t)) {}
  bool Signaled(const ThreadState&) const override { return state->exited; }
  bool Acquire(const std::shared_ptr<ThreadState>&) override { return false; }
  std::shared_ptr<ThreadState> state;
};

struct TimerObject : Waitable {
  explicit TimerObject(bool manual_reset) : Waitable(Kind::Timer), manual(manual_reset) {}
  bool Signaled(const ThreadState&) const override { return signaled; }
  bool Acquire(const std::shared_ptr<ThreadState>&) override {
    if (!manual) signaled = false;
    return false;
  }
  void LastHandleClosed() override {
    std::lock_guard<std::mutex> lock(S().sync);
    armed = false;  // closing the last handle cancels the timer
  }
  const bool manual;
  bool signaled = false;
  bool armed = false;
  SteadyClock::time_point due;
  LONG period_ms = 0;
  PTIMERAPCROUTINE routine = nullptr;
  void* arg = nullptr;
  std::weak_ptr<ThreadState> target;  // the setting thread, which runs the routine
  std::atomic<bool> apc_queued{false};  // cleared by the routine's call, outside the lock
};

void CancelThreadIo(DWORD thread_id);

void EndThread(const std::shared_ptr<ThreadState>& t, DWORD code) {
  State& s = S();
  // As on the real system, the I/O a thread issued is cancelled when it exits; a request
  // whose result another thread was meant to collect ends as ERROR_OPERATION_ABORTED.
  CancelThreadIo(t->id);
  std::lock_guard<std::mutex> lock(s.sync);
  for (auto& m : t->owned) {
    if (m->owner == t.get()) {
      m->owner = nullptr;
      m->count = 0;
      m->abandoned = true;
    }
  }
  t->owned.clear();
  t->apcs.clear();
  t->exit_code = code;
  t->exited = true;
  if (t->ours) s.live_threads.fetch_sub(1);
  WakeAll(s);
}

// ---------------------------------------------------------------------------------------
// Handles.
constexpr uintptr_t kCurrentProcessPseudo = ~uintptr_t{0};
constexpr uintptr_t kCurrentThreadPseudo = ~uintptr_t{0} - 1;

HANDLE Insert(std::shared_ptr<Object> object, uint32_t pid) {
  State& s = S();
  object->handle_count.fetch_add(1);
  std::lock_guard<std::mutex> lock(s.handles_mutex);
  const uintptr_t token = s.next_handle++ << 2;
  s.handles.emplace(token, State::Entry{std::move(object), pid});
  return reinterpret_cast<HANDLE>(token);
}

HANDLE Insert(std::shared_ptr<Object> object) {
  return Insert(std::move(object), kern::CurrentProcessId());
}

// The object of a handle of the calling thread's process; null (ERROR_INVALID_HANDLE)
// otherwise. The current-thread pseudo-handle stands for the calling thread.
std::shared_ptr<Object> Lookup(HANDLE handle) {
  const auto token = reinterpret_cast<uintptr_t>(handle);
  if (token == kCurrentThreadPseudo) return std::make_shared<ThreadObject>(Self());
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.handles_mutex);
    auto it = s.handles.find(token);
    if (it != s.handles.end() && it->second.pid == kern::CurrentProcessId()) {
      return it->second.object;
    }
  }
  t_last_error = ERROR_INVALID_HANDLE;
  return nullptr;
}

template <typename T>
std::shared_ptr<T> LookupAs(HANDLE handle, Kind kind) {
  std::shared_ptr<Object> o = Lookup(handle);
  if (!o) return nullptr;
  if (o->kind != kind) {
    t_last_error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  return std::static_pointer_cast<T>(o);
}

BOOL CloseToken(HANDLE handle, bool device_info_set) {
  const auto token = reinterpret_cast<uintptr_t>(handle);
  State& s = S();
  std::shared_ptr<Object> object;
  {
    std::lock_guard<std::mutex> lock(s.handles_mutex);
    auto it = s.handles.find(token);
    if (it == s.handles.end() || it->second.pid != kern::CurrentProcessId() ||
        (it->second.object->kind == Kind::DeviceInfoSet) != device_info_set) {
      return Fail(ERROR_INVALID_HANDLE);
    }
    object = std::move(it->second.object);
    s.handles.erase(it);
  }
  if (object->handle_count.fetch_sub(1) == 1) object->LastHandleClosed();
  return TRUE;
}

// ---------------------------------------------------------------------------------------
// The wait at the heart of every Wait* call.
DWORD Wait(const std::vector<std::shared_ptr<Waitable>>& objects, bool all, DWORD ms,
           bool alertable) {
  const std::shared_ptr<ThreadState>& self = Self();
  State& s = S();
  const auto deadline = ms == INFINITE || ms == 0 ? SteadyClock::now() + std::chrono::milliseconds(ms)
                                                 : OnTick(SteadyClock::now() + std::chrono::milliseconds(ms));
  std::unique_lock<std::mutex> lock(s.sync);
  for (;;) {
    if (all && !objects.empty()) {
      const bool ready = std::all_of(objects.begin(), objects.end(),
                                     [&](const auto& o) { return o->Signaled(*self); });
      if (ready) {
        DWORD result = WAIT_OBJECT_0;
        for (size_t i = 0; i < objects.size(); ++i) {
          if (objects[i]->Acquire(self) && result == WAIT_OBJECT_0) {
            result = WAIT_ABANDONED_0 + static_cast<DWORD>(i);
          }
        }
        return result;
      }
    } else {
      for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->Signaled(*self)) {
          const bool abandoned = objects[i]->Acquire(self);
          return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + static_cast<DWORD>(i);
        }
      }
    }
    if (alertable && !self->apcs.empty()) {
      while (!self->apcs.empty()) {
        std::function<void()> apc = std::move(self->apcs.front());
        self->apcs.pop_front();
        lock.unlock();
        apc();
        lock.lock();
      }
      return WAIT_IO_COMPLETION;
    }
    if (ms == 0) return WAIT_TIMEOUT;
    self->waiting_on = &objects;
    s.sleepers.push_back(self.get());
    bool timed_out = false;
    if (ms == INFINITE) {
      self->wake.wait(lock);
    } else {
      timed_out = self->wake.wait_until(lock, deadline) == std::cv_status::timeout;
    }
    std::erase(s.sleepers, self.get());
    self->waiting_on = nullptr;
    if (timed_out && SteadyClock::now() >= deadline) {
      // One more look at the objects before giving up, as a wait that times out as an
      // object becomes signalled may still take it.
      ms = 0;
    }
  }
}

DWORD WaitHandles(DWORD count, const HANDLE* handles, bool all, DWORD ms, bool alertable) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Waitable>> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<Object> o = Lookup(handles[i]);
    if (!o) return WAIT_FAILED;
    if (o->kind == Kind::File || o->kind == Kind::DeviceInfoSet) {
      t_last_error = ERROR_INVALID_HANDLE;
      return WAIT_FAILED;
    }
    objects.push_back(std::static_pointer_cast<Waitable>(o));
  }
  return Wait(objects, all, ms, alertable);
}

void Signal(EventObject& e) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.sync);
  e.signaled = true;
  WakeSleepers(s, &e);
}

// ---------------------------------------------------------------------------------------
// Files.
struct PendingIo {
  DWORD thread_id = 0;
  OVERLAPPED* overlapped = nullptr;  // the caller's; not touched after completion
  std::shared_ptr<EventObject> event;
  kern::Irp* irp = nullptr;  // set once dispatched, while the request is outstanding
  // Under the sync lock:
  bool done = false;
  kern::NTSTATUS status = kern::STATUS_PENDING;
  uintptr_t information = 0;
  bool dispatched = false;  // the dispatch routine has returned
  kern::NTSTATUS dispatch_status = kern::STATUS_PENDING;
};

struct FileHandle : Object {
  FileHandle(kern::FileObject* f, bool is_overlapped) : Object(Kind::File), file(f),
                                                        overlapped(is_overlapped) {}
  // Cleanup ends the driver's outstanding requests; the close must wait for their
  // completions to have reached us, as the I/O manager closes only an idle file.
  void LastHandleClosed() override {
    kern::CleanupFile(file);
    {
      std::unique_lock<std::recursive_mutex> lock(mutex);
      idle.wait(lock, [this] { return pending.empty(); });
    }
    kern::CloseFile(file);
  }
  kern::FileObject* const file;
  const bool overlapped;
  // Recursive: a cancellation may complete a request on the cancelling thread, whose
  // completion then takes the lock again.
  std::recursive_mutex mutex;
  std::condition_variable_any idle;
  std::list<std::shared_ptr<PendingIo>> pending;
};

ULONG_PTR& Internal(OVERLAPPED* ov) { return ov->Internal; }

kern::NTSTATUS OverlappedStatus(OVERLAPPED* ov) {
  return static_cast<kern::NTSTATUS>(static_cast<uint32_t>(
      std::atomic_ref<ULONG_PTR>(Internal(ov)).load(std::memory_order_acquire)));
}

bool IsError(kern::NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 3; }

// Once the request has completed and its dispatch routine has returned, with the sync lock
// held: the caller hears of the completion through the overlapped and its event, except for
// a request that failed without having been pended, whose error only DeviceIoControl
// returns (the overlapped stays pending, the event reset), as the I/O manager does.
void Publish(PendingIo& p) {
  if (p.dispatch_status != kern::STATUS_PENDING && IsError(p.status)) return;
  if (p.overlapped != nullptr) {
    std::atomic_ref<ULONG_PTR>(p.overlapped->InternalHigh)
        .store(p.information, std::memory_order_relaxed);
    std::atomic_ref<ULONG_PTR>(Internal(p.overlapped))
        .store(static_cast<uint32_t>(p.status), std::memory_order_release);
  }
  if (p.event) p.event->signaled = true;
}

void Complete(const std::shared_ptr<FileHandle>& fh, const std::shared_ptr<PendingIo>& p,
              kern::NTSTATUS status, uintptr_t information) {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.sync);
    p->status = status;
    p->information = information;
    p->done = true;
    if (p->dispatched) Publish(*p);
    if (p->dispatched && p->event) WakeSleepers(s, p->event.get());
    s.changed.notify_all();  // a synchronous request or GetOverlappedResult waits on it
  }
  std::lock_guard<std::recursive_mutex> lock(fh->mutex);
  fh->pending.remove(p);
  p->irp = nullptr;
  fh->idle.notify_all();
}

std::string Ascii(const std::u16string& s, bool* ok) {
  std::string out;
  out.reserve(s.size());
  *ok = true;
  for (char16_t c : s) {
    if (c == 0 || c > 0x7F) *ok = false;
    out.push_back(static_cast<char>(c));
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Device sets and device instances.
struct DeviceInfoSet : Object {
  DeviceInfoSet() : Object(Kind::DeviceInfoSet) {}
  GUID interface_class{};
  std::vector<kern::DeviceInterfaceEntry> interfaces;
};

std::string DeviceObjectName(const kern::DeviceObject* pdo) {
  std::string name = pdo->name;
  if (name.empty()) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(pdo));
    name = buf;
  }
  std::replace(name.begin(), name.end(), '\\', '#');
  return name;
}

// A device a bus reported has no unique ID of its own, so its instance path carries its
// parent's identity in front of the bus's instance ID: the same device on two controllers
// gets two device instances.
std::string NodeInstancePath(const kern::pnp::DeviceNode& n) {
  // FNV-1a of the parent's device name: stable for a parent, short like a real prefix.
  uint32_t h = 2166136261u;
  for (char c : n.parent_pdo != nullptr ? DeviceObjectName(n.parent_pdo) : std::string()) {
    h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
  }
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%08X&", h);
  return n.hardware_id + "\\" + prefix + n.instance_id;
}

std::string InstanceIdOf(const kern::DeviceObject* pdo,
                         const std::vector<kern::pnp::DeviceNode>& tree) {
  for (const auto& n : tree) {
    if (n.pdo == pdo) return NodeInstancePath(n);
  }
  // Not reported by a bus: a device of the root, named after its device object.
  return "ROOT\\" + DeviceObjectName(pdo);
}

DEVINST DevInstOf(const std::string& instance_id) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  auto [it, inserted] = s.devinst_by_id.emplace(instance_id, 0);
  if (inserted) {
    s.id_by_devinst.push_back(instance_id);
    it->second = static_cast<DEVINST>(s.id_by_devinst.size());
  }
  return it->second;
}

bool InstanceIdOfDevInst(DEVINST devinst, std::string* id) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  if (devinst == 0 || devinst > s.id_by_devinst.size()) return false;
  *id = s.id_by_devinst[devinst - 1];
  return true;
}

// ---------------------------------------------------------------------------------------
// Security descriptors as laid out in caller memory.
struct DescriptorLayout {
  BYTE revision;
  BYTE sbz1;
  WORD control;
  void* owner;
  void* group;
  void* sacl;
  void* dacl;
};
static_assert(sizeof(DescriptorLayout) <= SECURITY_DESCRIPTOR_MIN_LENGTH);
constexpr WORD kDaclPresent = 0x0004;
constexpr WORD kDaclDefaulted = 0x0008;

struct SidLayout {
  BYTE revision;
  BYTE count;
  SID_IDENTIFIER_AUTHORITY authority;
  DWORD sub[8];
};

bool DescriptorValid(const void* descriptor) {
  DescriptorLayout d;
  std::memcpy(&d, descriptor, sizeof d);
  return d.revision == SECURITY_DESCRIPTOR_REVISION;
}

// ---------------------------------------------------------------------------------------
// Time.
int64_t PerformanceFrequency() {
  const int64_t f = S().performance_frequency.load();
  return f != 0 ? f : 10'000'000;
}

// 100 ns units since 1601 of a steady-clock instant.
int64_t SystemTimeOf(SteadyClock::time_point t) {
  constexpr int64_t kUnixEpochIn1601 = 116'444'736'000'000'000LL;
  const auto system_now = std::chrono::system_clock::now();
  const auto steady_now = SteadyClock::now();
  const auto at = system_now + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                   t - steady_now);
  const int64_t units =
      std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count() / 100;
  return units + kUnixEpochIn1601;
}

// Far enough ahead for any caller, and short of overflowing the clock's arithmetic.
constexpr int64_t kMaxDueUnits = 100'000'000'000'000LL;  // about 116 days in 100 ns units

SteadyClock::time_point SteadyAfter(int64_t units_100ns) {
  const int64_t units = std::clamp<int64_t>(units_100ns, 0, kMaxDueUnits);
  return SteadyClock::now() + std::chrono::nanoseconds(units * 100);
}

SteadyClock::time_point SteadyOfSystemTime(int64_t units_1601) {
  const int64_t now = SystemTimeOf(SteadyClock::now());
  return SteadyAfter(units_1601 > now ? units_1601 - now : 0);
}

// The timer service: one thread that signals due timers and queues their completion
// routines to the threads that set them.
void TimerThread() {
  State& s = S();
  std::unique_lock<std::mutex> lock(s.sync);
  for (;;) {
    const auto now = SteadyClock::now();
    auto next = SteadyClock::time_point::max();
    bool fired = false;
    std::erase_if(s.timers, [](const auto& w) { return w.expired(); });
    for (auto& w : s.timers) {
      std::shared_ptr<TimerObject> t = w.lock();
      if (!t || !t->armed) continue;
      if (t->routine != nullptr) {
        // A timer with a completion routine is cancelled when the thread that set it ends.
        std::shared_ptr<ThreadState> setter = t->target.lock();
        if (!setter || setter->exited) {
          t->armed = false;
          continue;
        }
      }
      if (t->due <= now) {
        t->signaled = true;
        fired = true;
        if (t->routine != nullptr) {
          std::shared_ptr<ThreadState> target = t->target.lock();
          // A timer's completion routine is one queued call: while it waits for its thread
          // to become alertable, further expirations do not queue it again.
          if (target && !t->apc_queued) {
            const auto when = static_cast<uint64_t>(SystemTimeOf(t->due));
            PTIMERAPCROUTINE routine = t->routine;
            void* arg = t->arg;
            t->apc_queued = true;
            std::weak_ptr<TimerObject> weak = t;
            target->apcs.push_back([weak, routine, arg, when] {
              if (std::shared_ptr<TimerObject> timer = weak.lock()) timer->apc_queued = false;
              routine(arg, static_cast<DWORD>(when), static_cast<DWORD>(when >> 32));
            });
          }
        }
        if (t->period_ms > 0) {
          t->due += std::chrono::milliseconds(t->period_ms);
          if (t->due <= now) t->due = now + std::chrono::milliseconds(t->period_ms);
        } else {
          t->armed = false;
        }
      }
      if (t->armed) next = std::min(next, t->due);
    }
    if (fired) WakeAll(s);
    if (next == SteadyClock::time_point::max()) {
      s.changed.wait(lock);
    } else {
      s.changed.wait_until(lock, OnTick(next));
    }
  }
}

}  // namespace

// =======================================================================================
// Errors.
DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD error) { t_last_error = error; }

DWORD ErrorFromStatus(kern::NTSTATUS status) {
  using namespace kern;
  switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_TIMEOUT: return WAIT_TIMEOUT;
    case STATUS_BUS_RESET: return ERROR_BUS_RESET;
    case STATUS_UNSUCCESSFUL: return ERROR_GEN_FAILURE;
    case STATUS_NOT_IMPLEMENTED: return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_NO_SUCH_DEVICE: return ERROR_FILE_NOT_FOUND;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    case STATUS_MORE_PROCESSING_REQUIRED: return ERROR_MORE_DATA;
    case STATUS_CONFLICTING_ADDRESSES: return ERROR_INVALID_ADDRESS;
    case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_NAME_COLLISION: return ERROR_ALREADY_EXISTS;
    // A file or device on its way out refuses opens as access denied.
    case STATUS_DELETE_PENDING: return ERROR_ACCESS_DENIED;
    case STATUS_REVISION_MISMATCH: return ERROR_REVISION_MISMATCH;
    case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case STATUS_IO_TIMEOUT: return ERROR_SEM_TIMEOUT;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_DRIVER_INTERNAL_ERROR: return ERROR_IO_DEVICE;
    case STATUS_DEVICE_NOT_CONNECTED: return ERROR_DEVICE_NOT_CONNECTED;
    case STATUS_INVALID_BUFFER_SIZE: return ERROR_INVALID_USER_BUFFER;
    case STATUS_REQUEST_ABORTED: return ERROR_REQUEST_ABORTED;
    default: return ERROR_MR_MID_NOT_FOUND;
  }
}

// =======================================================================================
// Handles.
BOOL CloseHandle(HANDLE handle) {
  if (reinterpret_cast<uintptr_t>(handle) == kCurrentThreadPseudo) return TRUE;  // no effect
  return CloseToken(handle, false);
}

// =======================================================================================
// Files.
HANDLE CreateFileW(LPCWSTR name, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE) {
  if (name == nullptr || creation_disposition != OPEN_EXISTING) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  if (ShouldFail(testing::Call::CreateFile, ERROR_NOT_ENOUGH_MEMORY)) return INVALID_HANDLE_VALUE;
  const std::u16string path(name);
  if (path.size() < 4 || (path.compare(0, 4, u"\\\\?\\") != 0 && path.compare(0, 4, u"\\??\\") != 0)) {
    t_last_error = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  const size_t slash = path.find(u'\\', 4);
  const std::u16string link_name = path.substr(4, slash == std::u16string::npos ? std::u16string::npos : slash - 4);
  const std::u16string file_name = slash == std::u16string::npos ? u"" : path.substr(slash);
  bool ok = false;
  const std::string link = "\\??\\" + Ascii(link_name, &ok);
  kern::DeviceObject* device =
      ok && !link_name.empty() && kern::System::Exists() ? kern::ResolveDeviceInterface(link)
                                                          : nullptr;
  if (device == nullptr) {
    t_last_error = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  kern::FileObject* file = nullptr;
  const kern::NTSTATUS status = kern::OpenFile(device, file_name, &file, kern::Mode::User);
  if (!kern::NtSuccess(status)) {
    t_last_error = ErrorFromStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  t_last_error = ERROR_SUCCESS;
  return Insert(std::make_shared<FileHandle>(file, (flags_and_attributes & FILE_FLAG_OVERLAPPED) != 0));
}

BOOL DeviceIoControl(HANDLE device, DWORD io_control_code, LPVOID in_buffer, DWORD in_buffer_size,
                     LPVOID out_buffer, DWORD out_buffer_size, DWORD* bytes_returned,
                     OVERLAPPED* overlapped) {
  std::shared_ptr<FileHandle> fh = LookupAs<FileHandle>(device, Kind::File);
  if (!fh) return FALSE;
  auto p = std::make_shared<PendingIo>();
  p->thread_id = Self()->id;
  p->overlapped = overlapped;
  if (overlapped != nullptr && overlapped->hEvent != nullptr) {
    p->event = LookupAs<EventObject>(overlapped->hEvent, Kind::Event);
    if (!p->event) return FALSE;
  }
  if (ShouldFail(testing::Call::DeviceIoControl, ERROR_NO_SYSTEM_RESOURCES)) return FALSE;
  const bool asynchronous = fh->overlapped && overlapped != nullptr;
  if (overlapped != nullptr) {
    std::lock_guard<std::mutex> lock(S().sync);
    std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(0, std::memory_order_relaxed);
    std::atomic_ref<ULONG_PTR>(Internal(overlapped))
        .store(static_cast<uint32_t>(kern::STATUS_PENDING), std::memory_order_relaxed);
    if (p->event) p->event->signaled = false;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(fh->mutex);
    fh->pending.push_back(p);
  }
  kern::ControlRequest request;
  request.code = io_control_code;
  request.input = in_buffer;
  request.input_length = in_buffer_size;
  request.output = out_buffer;
  request.output_length = out_buffer_size;
  request.mode = kern::Mode::User;
  kern::NTSTATUS dispatch = kern::STATUS_PENDING;
  kern::Irp* irp = kern::SendControl(
      fh->file, request,
      [fh, p](kern::NTSTATUS status, uintptr_t information) { Complete(fh, p, status, information); },
      &dispatch);
  {
    std::lock_guard<std::recursive_mutex> lock(fh->mutex);
    if (std::find(fh->pending.begin(), fh->pending.end(), p) != fh->pending.end()) p->irp = irp;
  }
  State& s = S();
  std::unique_lock<std::mutex> lock(s.sync);
  p->dispatched = true;
  p->dispatch_status = dispatch;
  if (p->done) {
    Publish(*p);
    if (p->event) WakeSleepers(s, p->event.get());
    s.changed.notify_all();
  }
  if (asynchronous && dispatch == kern::STATUS_PENDING) {
    t_last_error = ERROR_IO_PENDING;
    return FALSE;
  }
  s.changed.wait(lock, [&] { return p->done; });
  if (bytes_returned != nullptr) *bytes_returned = static_cast<DWORD>(p->information);
  if (!kern::NtSuccess(p->status)) return Fail(ErrorFromStatus(p->status));
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes_transferred, BOOL wait) {
  if (!LookupAs<FileHandle>(file, Kind::File)) return FALSE;
  if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  State& s = S();
  std::unique_lock<std::mutex> lock(s.sync);
  if (OverlappedStatus(overlapped) == kern::STATUS_PENDING) {
    if (!wait) return Fail(ERROR_IO_INCOMPLETE);
    s.changed.wait(lock, [&] { return OverlappedStatus(overlapped) != kern::STATUS_PENDING; });
  }
  const kern::NTSTATUS status = OverlappedStatus(overlapped);
  if (bytes_transferred != nullptr) {
    *bytes_transferred = static_cast<DWORD>(
        std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).load(std::memory_order_relaxed));
  }
  if (!kern::NtSuccess(status)) return Fail(ErrorFromStatus(status));
  return TRUE;
}

namespace {

// Cancels the outstanding requests `match` picks; the number cancelled or found.
int CancelMatching(FileHandle& fh, const std::function<bool(const PendingIo&)>& match) {
  // The lock is held across the cancellation so that no picked request can complete and
  // be freed (its address then reused) before the kernel is asked to cancel it.
  std::lock_guard<std::recursive_mutex> lock(fh.mutex);
  std::vector<std::shared_ptr<PendingIo>> picked;
  for (const auto& p : fh.pending) {
    if (p->irp != nullptr && match(*p)) picked.push_back(p);
  }
  for (const auto& p : picked) {
    if (p->irp != nullptr) kern::CancelRequests(fh.file, p->irp);
  }
  return static_cast<int>(picked.size());
}

void CancelThreadIo(DWORD thread_id) {
  State& s = S();
  std::vector<std::shared_ptr<FileHandle>> files;
  {
    std::lock_guard<std::mutex> lock(s.handles_mutex);
    for (const auto& [token, entry] : s.handles) {
      if (entry.object->kind == Kind::File) files.push_back(std::static_pointer_cast<FileHandle>(entry.object));
    }
  }
  for (const auto& fh : files) {
    CancelMatching(*fh, [thread_id](const PendingIo& p) { return p.thread_id == thread_id; });
  }
}

}  // namespace

BOOL CancelIo(HANDLE file) {
  std::shared_ptr<FileHandle> fh = LookupAs<FileHandle>(file, Kind::File);
  if (!fh) return FALSE;
  const DWORD self = Self()->id;
  CancelMatching(*fh, [self](const PendingIo& p) { return p.thread_id == self; });
  return TRUE;
}

BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
  std::shared_ptr<FileHandle> fh = LookupAs<FileHandle>(file, Kind::File);
  if (!fh) return FALSE;
  const int n = CancelMatching(*fh, [overlapped](const PendingIo& p) {
    return overlapped == nullptr || p.overlapped == overlapped;
  });
  if (n == 0) return Fail(ERROR_NOT_FOUND);
  return TRUE;
}

// =======================================================================================
// Waits.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitHandles(1, &handle, false, milliseconds, false);
}
DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable) {
  return WaitHandles(1, &handle, false, milliseconds, alertable != FALSE);
}
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds) {
  return WaitHandles(count, handles, wait_all != FALSE, milliseconds, false);
}
DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL wait_all,
                               DWORD milliseconds, BOOL alertable) {
  return WaitHandles(count, handles, wait_all != FALSE, milliseconds, alertable != FALSE);
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
  } else if (milliseconds != INFINITE) {
    std::this_thread::sleep_until(OnTick(SteadyClock::now() + std::chrono::milliseconds(milliseconds)));
  } else {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
  if (!alertable) {
    Sleep(milliseconds);
    return 0;
  }
  return Wait({}, false, milliseconds, true) == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

DWORD QueueUserAPC(PAPCFUNC routine, HANDLE thread, ULONG_PTR data) {
  std::shared_ptr<ThreadObject> t = LookupAs<ThreadObject>(thread, Kind::Thread);
  if (!t) return 0;
  if (routine == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (ShouldFail(testing::Call::QueueUserAPC, ERROR_NOT_ENOUGH_MEMORY)) return 0;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.sync);
  if (t->state->exited) return Fail(ERROR_INVALID_HANDLE);
  t->state->apcs.push_back([routine, data] { routine(data); });
  t->state->wake.notify_one();  // only an alertable wait runs it
  return 1;
}

// =======================================================================================
// Events.
HANDLE CreateEventW(SECURITY_ATTRIBUTES*, BOOL manual_reset, BOOL initial_state, LPCWSTR name) {
  if (name != nullptr && name[0] != 0) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (ShouldFail(testing::Call::CreateEvent, ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
  t_last_error = ERROR_SUCCESS;
  return Insert(std::make_shared<EventObject>(manual_reset != FALSE, initial_state != FALSE));
}

BOOL SetEvent(HANDLE event) {
  std::shared_ptr<EventObject> e = LookupAs<EventObject>(event, Kind::Event);
  if (!e) return FALSE;
  Signal(*e);
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  std::shared_ptr<EventObject> e = LookupAs<EventObject>(event, Kind::Event);
  if (!e) return FALSE;
  std::lock_guard<std::mutex> lock(S().sync);
  e->signaled = false;
  return TRUE;
}

// =======================================================================================
// Mutexes.
HANDLE CreateMutexW(SECURITY_ATTRIBUTES* security, BOOL initial_owner, LPCWSTR name) {
  if (security != nullptr && security->lpSecurityDescriptor != nullptr &&
      !DescriptorValid(security->lpSecurityDescriptor)) {
    t_last_error = ERROR_INVALID_SECURITY_DESCR;
    return nullptr;
  }
  if (ShouldFail(testing::Call::CreateMutex, ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
  const std::u16string key = name != nullptr ? std::u16string(name) : std::u16string();
  const std::shared_ptr<ThreadState>& self = Self();
  State& s = S();
  std::shared_ptr<MutexObject> m;
  bool existed = false;
  {
    std::lock_guard<std::mutex> lock(s.sync);
    if (!key.empty()) {
      auto it = s.named_mutexes.find(key);
      if (it != s.named_mutexes.end()) m = it->second.lock();
    }
    existed = m != nullptr;
    if (!m) {
      m = std::make_shared<MutexObject>();
      if (!key.empty()) s.named_mutexes[key] = m;
      if (initial_owner) m->Acquire(self);
    }
    std::erase_if(s.named_mutexes, [](const auto& kv) { return kv.second.expired(); });
  }
  HANDLE h = Insert(m);
  t_last_error = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return h;
}

BOOL ReleaseMutex(HANDLE mutex) {
  std::shared_ptr<MutexObject> m = LookupAs<MutexObject>(mutex, Kind::Mutex);
  if (!m) return FALSE;
  const std::shared_ptr<ThreadState>& self = Self();
  State& s = S();
  std::lock_guard<std::mutex> lock(s.sync);
  if (m->owner != self.get()) return Fail(ERROR_NOT_OWNER);
  if (--m->count == 0) {
    m->owner = nullptr;
    std::erase(self->owned, m);
    WakeSleepers(s, m.get());
  }
  return TRUE;
}

// =======================================================================================
// Security descriptors.
BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE sub_authority_count,
                              DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                              DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) {
  if (authority == nullptr || sid == nullptr || sub_authority_count == 0 ||
      sub_authority_count > 8) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (ShouldFail(testing::Call::AllocateAndInitializeSid, ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
  auto* s = new SidLayout{1, sub_authority_count, *authority,
                          {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7}};
  S().sids.fetch_add(1);
  *sid = s;
  return TRUE;
}

void* FreeSid(PSID sid) {
  if (sid != nullptr) {
    delete static_cast<SidLayout*>(sid);
    S().sids.fetch_sub(1);
  }
  return nullptr;
}

// The access list as SetEntriesInAclW builds it: a header and the entries.
struct ACL {
  BYTE revision;
  BYTE sbz1;
  WORD size;
  WORD entry_count;
  WORD sbz2;
};

DWORD SetEntriesInAclW(ULONG count, EXPLICIT_ACCESS_W* entries, PACL, PACL* new_acl) {
  if (new_acl == nullptr || (count > 0 && entries == nullptr)) return ERROR_INVALID_PARAMETER;
  for (ULONG i = 0; i < count; ++i) {
    const TRUSTEE_W& t = entries[i].Trustee;
    if (t.TrusteeForm == TRUSTEE_IS_SID && t.ptstrName == nullptr) return ERROR_INVALID_PARAMETER;
    if (entries[i].grfAccessMode > REVOKE_ACCESS) return ERROR_INVALID_PARAMETER;
  }
  if (ShouldFail(testing::Call::SetEntriesInAcl, ERROR_NOT_ENOUGH_MEMORY)) {
    return t_last_error;
  }
  const size_t bytes = sizeof(ACL) + count * sizeof(EXPLICIT_ACCESS_W);
  void* memory = LocalAlloc(LPTR, bytes);
  if (memory == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  auto* acl = static_cast<ACL*>(memory);
  acl->revision = 2;
  acl->size = static_cast<WORD>(bytes);
  acl->entry_count = static_cast<WORD>(count);
  if (count > 0) std::memcpy(acl + 1, entries, count * sizeof(EXPLICIT_ACCESS_W));
  *new_acl = acl;
  return ERROR_SUCCESS;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (descriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION);
  if (ShouldFail(testing::Call::InitializeSecurityDescriptor, ERROR_INVALID_PARAMETER)) return FALSE;
  const DescriptorLayout d{static_cast<BYTE>(revision), 0, 0, nullptr, nullptr, nullptr, nullptr};
  std::memcpy(descriptor, &d, sizeof d);
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL dacl_present, PACL dacl,
                               BOOL dacl_defaulted) {
  if (descriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!DescriptorValid(descriptor)) return Fail(ERROR_INVALID_SECURITY_DESCR);
  if (ShouldFail(testing::Call::SetSecurityDescriptorDacl, ERROR_INVALID_PARAMETER)) return FALSE;
  DescriptorLayout d;
  std::memcpy(&d, descriptor, sizeof d);
  d.control = static_cast<WORD>(d.control & ~(kDaclPresent | kDaclDefaulted));
  if (dacl_present) d.control |= kDaclPresent;
  if (dacl_defaulted) d.control |= kDaclDefaulted;
  d.dacl = dacl_present ? dacl : nullptr;
  std::memcpy(descriptor, &d, sizeof d);
  return TRUE;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & ~LMEM_ZEROINIT) != 0) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (ShouldFail(testing::Call::LocalAlloc, ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
  void* p = std::malloc(std::max<SIZE_T>(bytes, 1));
  if (p == nullptr) {
    t_last_error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (flags & LMEM_ZEROINIT) std::memset(p, 0, bytes);
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  s.local_allocations.insert(p);
  return p;
}

HLOCAL LocalFree(HLOCAL memory) {
  if (memory == nullptr) return nullptr;
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.misc);
    if (s.local_allocations.erase(memory) == 0) {
      t_last_error = ERROR_INVALID_HANDLE;
      return memory;
    }
  }
  std::free(memory);
  return nullptr;
}

// =======================================================================================
// Threads and processes.
HANDLE CreateThread(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creation_flags, DWORD* thread_id) {
  if (start == nullptr || creation_flags != 0) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (ShouldFail(testing::Call::CreateThread, ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
  State& s = S();
  auto t = std::make_shared<ThreadState>();
  t->id = s.next_thread_id.fetch_add(4);
  t->pid = kern::CurrentProcessId();
  t->ours = true;
  t->affinity = ProcessAffinity();
  s.live_threads.fetch_add(1);
  HANDLE h = Insert(std::make_shared<ThreadObject>(t));
  if (thread_id != nullptr) *thread_id = t->id;
  std::thread([t, start, parameter] {
    // Threads of the program: their time is the serving side's.
    threadcpu::CountThisThread();
    kern::SetCurrentProcessId(t->pid);
    t_self.state = t;
    const DWORD code = start(parameter);
    EndThread(t, code);
  }).detach();
  return h;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exit_code) {
  std::shared_ptr<ThreadObject> t = LookupAs<ThreadObject>(thread, Kind::Thread);
  if (!t) return FALSE;
  if (exit_code == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(S().sync);
  *exit_code = t->state->exited ? t->state->exit_code : STILL_ACTIVE;
  return TRUE;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  std::shared_ptr<ThreadObject> t = LookupAs<ThreadObject>(thread, Kind::Thread);
  if (!t) return FALSE;
  const bool valid = (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
                     priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL;
  if (!valid) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(S().sync);
  t->state->priority = priority;
  return TRUE;
}

int GetThreadPriority(HANDLE thread) {
  std::shared_ptr<ThreadObject> t = LookupAs<ThreadObject>(thread, Kind::Thread);
  if (!t) return THREAD_PRIORITY_ERROR_RETURN;
  std::lock_guard<std::mutex> lock(S().sync);
  return t->state->priority;
}

DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask) {
  std::shared_ptr<ThreadObject> t = LookupAs<ThreadObject>(thread, Kind::Thread);
  if (!t) return 0;
  if (mask == 0 || (mask & ~ProcessAffinity()) != 0) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(S().sync);
  const DWORD_PTR previous = t->state->affinity != 0 ? t->state->affinity : ProcessAffinity();
  t->state->affinity = mask;
  return previous;
}

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(kCurrentThreadPseudo); }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(kCurrentProcessPseudo); }
DWORD GetCurrentThreadId() { return Self()->id; }
DWORD GetCurrentProcessId() { return kern::CurrentProcessId(); }

BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* process_mask, DWORD_PTR* system_mask) {
  if (process != GetCurrentProcess()) return Fail(ERROR_INVALID_HANDLE);
  if (process_mask == nullptr || system_mask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (ShouldFail(testing::Call::GetProcessAffinityMask, ERROR_ACCESS_DENIED)) return FALSE;
  *process_mask = ProcessAffinity();
  *system_mask = DefaultAffinity() | ProcessAffinity();
  return TRUE;
}

// =======================================================================================
// Critical sections.
struct CriticalSectionImpl {
  std::recursive_mutex mutex;
};

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  section->impl = new CriticalSectionImpl();
  S().critical_sections.fetch_add(1);
}

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD) {
  InitializeCriticalSection(section);
  return TRUE;
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
  if (section->impl == nullptr) Fatal("EnterCriticalSection on an uninitialised section");
  section->impl->mutex.lock();
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
  if (section->impl == nullptr) Fatal("TryEnterCriticalSection on an uninitialised section");
  return section->impl->mutex.try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
  if (section->impl == nullptr) Fatal("LeaveCriticalSection on an uninitialised section");
  section->impl->mutex.unlock();
}

void DeleteCriticalSection(CRITICAL_SECTION* section) {
  if (section->impl == nullptr) Fatal("DeleteCriticalSection on an uninitialised section");
  delete section->impl;
  section->impl = nullptr;
  S().critical_sections.fetch_sub(1);
}

// =======================================================================================
// Device enumeration.
HDEVINFO SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR enumerator, HWND, DWORD flags) {
  if ((flags & DIGCF_DEVICEINTERFACE) == 0 || (flags & DIGCF_ALLCLASSES) != 0) {
    t_last_error = ERROR_INVALID_FLAGS;
    return INVALID_HANDLE_VALUE;
  }
  if (class_guid == nullptr || enumerator != nullptr) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  if (ShouldFail(testing::Call::SetupDiGetClassDevs, ERROR_NOT_ENOUGH_MEMORY)) {
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<DeviceInfoSet>();
  set->interface_class = *class_guid;
  if (kern::System::Exists()) {
    set->interfaces = kern::ListDeviceInterfaces(*class_guid, (flags & DIGCF_PRESENT) == 0);
  }
  t_last_error = ERROR_SUCCESS;
  return Insert(std::move(set));
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* device_info,
                                 const GUID* interface_class, DWORD member_index,
                                 SP_DEVICE_INTERFACE_DATA* interface_data) {
  std::shared_ptr<DeviceInfoSet> s = LookupAs<DeviceInfoSet>(set, Kind::DeviceInfoSet);
  if (!s) return FALSE;
  if (interface_class == nullptr || device_info != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (interface_data == nullptr || interface_data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (ShouldFail(testing::Call::SetupDiEnumDeviceInterfaces, ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
  if (!(*interface_class == s->interface_class) || member_index >= s->interfaces.size()) {
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  const kern::DeviceInterfaceEntry& e = s->interfaces[member_index];
  interface_data->InterfaceClassGuid = e.interface_class;
  interface_data->Flags = e.enabled ? SPINT_ACTIVE : 0;
  interface_data->Reserved = member_index + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detail_size,
                                      DWORD* required_size, SP_DEVINFO_DATA* device_info) {
  std::shared_ptr<DeviceInfoSet> s = LookupAs<DeviceInfoSet>(set, Kind::DeviceInfoSet);
  if (!s) return FALSE;
  if (interface_data == nullptr || interface_data->Reserved == 0 ||
      interface_data->Reserved > s->interfaces.size()) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (ShouldFail(testing::Call::SetupDiGetDeviceInterfaceDetail, ERROR_NOT_ENOUGH_MEMORY)) {
    return FALSE;
  }
  const kern::DeviceInterfaceEntry& e = s->interfaces[interface_data->Reserved - 1];
  const std::u16string path = testing::DevicePathOf(e.symbolic_link);
  const DWORD needed = DeviceInterfaceDetailSize(path.size());
  if (required_size != nullptr) *required_size = needed;
  if (detail == nullptr) {
    return Fail(detail_size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
  }
  // The size of the structure as this (64-bit) build lays it out, and nothing else: the
  // packed size of 32-bit builds is refused, as the real 64-bit system refuses it.
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (detail_size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (device_info != nullptr && device_info->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  std::memcpy(reinterpret_cast<char*>(detail) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath),
              path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  if (device_info != nullptr) {
    device_info->ClassGuid = GUID{};
    device_info->DevInst = DevInstOf(InstanceIdOf(e.pdo, kern::pnp::DeviceTree()));
    device_info->Reserved = 0;
  }
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) { return CloseToken(set, true); }

CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST device, ULONG) {
  if (parent == nullptr) return CR_INVALID_POINTER;
  *parent = 0;
  std::string id;
  if (!InstanceIdOfDevInst(device, &id)) return CR_INVALID_DEVNODE;
  if (!kern::System::Exists()) return CR_NO_SUCH_DEVNODE;
  const std::vector<kern::pnp::DeviceNode> tree = kern::pnp::DeviceTree();
  for (const auto& n : tree) {
    if (NodeInstancePath(n) != id) continue;
    if (n.parent_pdo == nullptr) return CR_NO_SUCH_DEVNODE;
    *parent = DevInstOf(InstanceIdOf(n.parent_pdo, tree));
    return CR_SUCCESS;
  }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET CM_Get_Device_IDW(DEVINST device, PWSTR buffer, ULONG length, ULONG) {
  if (buffer == nullptr) return CR_INVALID_POINTER;
  std::string id;
  if (!InstanceIdOfDevInst(device, &id)) return CR_INVALID_DEVNODE;
  if (id.size() + 1 > length) return CR_BUFFER_SMALL;
  for (size_t i = 0; i < id.size(); ++i) buffer[i] = static_cast<unsigned char>(id[i]);
  buffer[id.size()] = 0;
  return CR_SUCCESS;
}

DWORD CMP_WaitNoPendingInstallEvents(DWORD) {
  if (kern::System::Exists()) kern::pnp::DevicesSettled();
  return WAIT_OBJECT_0;
}

// =======================================================================================
// Waitable timers.
HANDLE CreateWaitableTimerW(SECURITY_ATTRIBUTES*, BOOL manual_reset, LPCWSTR name) {
  if (name != nullptr && name[0] != 0) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (ShouldFail(testing::Call::CreateWaitableTimer, ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
  auto t = std::make_shared<TimerObject>(manual_reset != FALSE);
  {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.sync);
    s.timers.push_back(t);
  }
  t_last_error = ERROR_SUCCESS;
  return Insert(std::move(t));
}

BOOL SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* due_time, LONG period_ms,
                      PTIMERAPCROUTINE completion, LPVOID arg, BOOL) {
  std::shared_ptr<TimerObject> t = LookupAs<TimerObject>(timer, Kind::Timer);
  if (!t) return FALSE;
  if (due_time == nullptr || period_ms < 0) return Fail(ERROR_INVALID_PARAMETER);
  if (ShouldFail(testing::Call::SetWaitableTimer, ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
  const int64_t q = due_time->QuadPart;
  const auto due = q < 0 ? SteadyAfter(q == INT64_MIN ? kMaxDueUnits : -q) : SteadyOfSystemTime(q);
  const std::shared_ptr<ThreadState>& self = Self();
  State& s = S();
  std::lock_guard<std::mutex> lock(s.sync);
  t->signaled = false;
  t->armed = true;
  t->due = due;
  t->period_ms = period_ms;
  t->routine = completion;
  t->arg = arg;
  t->target = self;
  if (!s.timer_thread_started) {
    s.timer_thread_started = true;
    std::thread(TimerThread).detach();
  }
  s.changed.notify_all();
  return TRUE;
}

BOOL CancelWaitableTimer(HANDLE timer) {
  std::shared_ptr<TimerObject> t = LookupAs<TimerObject>(timer, Kind::Timer);
  if (!t) return FALSE;
  std::lock_guard<std::mutex> lock(S().sync);
  t->armed = false;
  return TRUE;
}

// =======================================================================================
// Clocks.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (count == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto ns = static_cast<unsigned __int128>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch())
          .count());
  count->QuadPart = static_cast<int64_t>(ns * static_cast<uint64_t>(PerformanceFrequency()) /
                                         1'000'000'000u);
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (frequency == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (ShouldFail(testing::Call::QueryPerformanceFrequency, ERROR_NOT_SUPPORTED)) return FALSE;
  frequency->QuadPart = PerformanceFrequency();
  return TRUE;
}

uint64_t GetTickCount64() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   SteadyClock::now().time_since_epoch())
                                   .count());
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

MMRESULT timeBeginPeriod(UINT period_ms) {
  if (period_ms == 0) return TIMERR_NOCANDO;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  s.periods.insert(period_ms);
  return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT period_ms) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  auto it = s.periods.find(period_ms);
  if (it == s.periods.end()) return TIMERR_NOCANDO;
  s.periods.erase(it);
  return TIMERR_NOERROR;
}

// =======================================================================================
// Test hooks.
namespace testing {

void FailNext(Call call, int count, int skip, DWORD error) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  s.failures[call] = State::Rule{skip, count, error};
}

void StopFailing() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  s.failures.clear();
}

size_t OpenHandles() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.handles_mutex);
  return s.handles.size();
}

size_t LiveThreads() { return S().live_threads.load(); }
size_t LiveCriticalSections() { return S().critical_sections.load(); }
size_t LiveSids() { return S().sids.load(); }

size_t LocalAllocations() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  return s.local_allocations.size();
}

HANDLE DuplicateHandleToProcess(HANDLE handle, uint32_t pid) {
  std::shared_ptr<Object> o = Lookup(handle);
  if (!o) return nullptr;
  return Insert(std::move(o), pid);
}

std::u16string Utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string DevicePathOf(const std::string& symbolic_link) {
  std::u16string path = Utf16(symbolic_link);
  if (path.compare(0, 4, u"\\??\\") == 0) path[1] = u'\\';
  return path;
}

UINT TimerResolution() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  return s.periods.empty() ? 0 : *s.periods.begin();
}

size_t TimerPeriodRequests() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  return s.periods.size();
}

void SetPerformanceFrequency(int64_t hz) { S().performance_frequency.store(hz); }
void SetProcessAffinityMask(DWORD_PTR mask) { S().process_affinity.store(mask); }

DWORD_PTR ThreadAffinity(HANDLE thread) {
  std::shared_ptr<ThreadObject> t = LookupAs<ThreadObject>(thread, Kind::Thread);
  if (!t) return 0;
  std::lock_guard<std::mutex> lock(S().sync);
  return t->state->affinity != 0 ? t->state->affinity : ProcessAffinity();
}

void Reset() {
  StopFailing();
  SetPerformanceFrequency(0);
  SetProcessAffinityMask(0);
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  s.periods.clear();
}

}  // namespace testing

}  // namespace win32
