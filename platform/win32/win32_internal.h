// State and objects shared by the areas of the user-mode stand-in (one file each: handles
// and errors, I/O, synchronisation, threads and timers, devices, security, clocks, the
// registry). Not for callers: they see win32.h only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/win32/win32.h"

namespace win32 {

namespace impl {
enum class Kind { Event, Mutex, Thread, Timer, File, DeviceInfoSet, Key };
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

namespace impl {

using SteadyClock = std::chrono::steady_clock;

[[noreturn]] void Fatal(const char* what);

extern thread_local DWORD t_last_error;

// Sets the last error and returns false, for the BOOL calls.
bool Fail(DWORD error);

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
  std::u16string module_file_name;  // set by a test; empty: the real program file

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
State& S();

// Wakes the threads asleep on `object`, or every sleeping thread when it is null (a change
// any wait may be after: a thread's end, a timer, an asynchronous procedure call). Sync held.
void WakeSleepers(State& s, const struct Waitable* object);
void WakeAll(State& s);

// Timed waits, sleeps and timers end on a tick of the system timer: 15.625 ms (64 Hz) unless
// a process has asked for a finer period with timeBeginPeriod. Code that assumes a
// millisecond sleep is a millisecond shows here as it would on the real system.
constexpr std::chrono::microseconds kDefaultTick{15625};
std::chrono::microseconds CurrentTick();
// The first tick at or after `t`.
SteadyClock::time_point OnTick(SteadyClock::time_point t);

// True (with the last error set) when a test has asked for this call to fail.
bool ShouldFail(testing::Call call, DWORD default_error);

void EndThread(const std::shared_ptr<ThreadState>& t, DWORD code);

struct ThreadHolder {
  std::shared_ptr<ThreadState> state;
  ~ThreadHolder() {
    // A thread the stand-in did not start ends here; its mutexes are abandoned too.
    if (state && !state->ours) EndThread(state, 0);
  }
};
extern thread_local ThreadHolder t_self;

// The calling thread, registered on first use.
const std::shared_ptr<ThreadState>& Self();

DWORD_PTR DefaultAffinity();
DWORD_PTR ProcessAffinity();

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

// Cancels the requests a thread issued, on every file.
void CancelThreadIo(DWORD thread_id);

// ---------------------------------------------------------------------------------------
// Handles.
constexpr uintptr_t kCurrentProcessPseudo = ~uintptr_t{0};
constexpr uintptr_t kCurrentThreadPseudo = ~uintptr_t{0} - 1;

HANDLE Insert(std::shared_ptr<Object> object, uint32_t pid);
HANDLE Insert(std::shared_ptr<Object> object);  // of the calling thread's process

// The object of a handle of the calling thread's process; null (ERROR_INVALID_HANDLE)
// otherwise. The current-thread pseudo-handle stands for the calling thread.
std::shared_ptr<Object> Lookup(HANDLE handle);

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

BOOL CloseToken(HANDLE handle, bool device_info_set);

// ---------------------------------------------------------------------------------------
// Waits.
DWORD Wait(const std::vector<std::shared_ptr<Waitable>>& objects, bool all, DWORD ms,
           bool alertable);

// ---------------------------------------------------------------------------------------
// Security and time helpers other areas use.
bool DescriptorValid(const void* descriptor);
int64_t PerformanceFrequency();
// 100 ns units since 1601 of a steady-clock instant.
int64_t SystemTimeOf(SteadyClock::time_point t);
// Far enough ahead for any caller, and short of overflowing the clock's arithmetic.
constexpr int64_t kMaxDueUnits = 100'000'000'000'000LL;  // about 116 days in 100 ns units
SteadyClock::time_point SteadyAfter(int64_t units_100ns);
SteadyClock::time_point SteadyOfSystemTime(int64_t units_1601);

// win32_system.cpp: the version and command-line answers back to the real ones.
void ResetSystemAnswers();

}  // namespace impl

}  // namespace win32
