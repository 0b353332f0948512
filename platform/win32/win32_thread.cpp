// Threads, processes and waitable timers.
#include "platform/win32/win32_internal.h"

#include <algorithm>
#include <thread>

#include <unistd.h>

#include "platform/threadcpu/threadcpu.h"
#include "platform/win32/hive.h"

namespace win32 {

namespace impl {

DWORD_PTR DefaultAffinity() {
  unsigned n = std::thread::hardware_concurrency();
  n = std::clamp(n, 1u, 32u);
  return n == 32 ? DWORD_PTR{0xFFFFFFFF} : (DWORD_PTR{1} << n) - 1;
}

DWORD_PTR ProcessAffinity() {
  DWORD_PTR m = S().process_affinity.load();
  return m != 0 ? m : DefaultAffinity();
}

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

}  // namespace impl

using namespace impl;

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
// Module file name.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  if (module != nullptr) return Fail(ERROR_MOD_NOT_FOUND);
  if (file_name == nullptr && size > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (ShouldFail(testing::Call::GetModuleFileName, ERROR_NOT_ENOUGH_MEMORY)) return 0;
  std::u16string path;
  {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.misc);
    path = s.module_file_name;
  }
  if (path.empty()) {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    path = hive::Utf16FromUtf8(std::string_view(buf, static_cast<size_t>(n)));
  }
  if (path.size() >= size) {
    // Cut to the buffer, terminated, as the documented behaviour since Windows Vista is.
    if (size > 0) {
      std::copy_n(path.begin(), size - 1, file_name);
      file_name[size - 1] = 0;
    }
    t_last_error = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  std::copy(path.begin(), path.end(), file_name);
  file_name[path.size()] = 0;
  return static_cast<DWORD>(path.size());
}

namespace testing {

void SetModuleFileName(const std::u16string& path) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  s.module_file_name = path;
}

}  // namespace testing

}  // namespace win32
