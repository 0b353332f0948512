// Waits, asynchronous procedure calls, events, mutexes and critical sections.
#include "platform/win32/win32_internal.h"

#include <algorithm>
#include <thread>

namespace win32 {

namespace impl {

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
    if (o->kind == Kind::File || o->kind == Kind::DeviceInfoSet || o->kind == Kind::Key) {
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

}  // namespace impl

using namespace impl;

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

}  // namespace win32
