// Handles, errors and the test hooks: the state every area shares.
#include "platform/win32/win32_internal.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace win32 {

namespace impl {

[[noreturn]] void Fatal(const char* what) {
  std::fprintf(stderr, "win32 stand-in: %s\n", what);
  std::abort();
}

thread_local DWORD t_last_error = ERROR_SUCCESS;

bool Fail(DWORD error) {
  t_last_error = error;
  return false;
}

State& S() {
  static State* state = new State();
  return *state;
}

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

}  // namespace impl

using namespace impl;

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
  SetModuleFileName(u"");
  ResetSystemAnswers();
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  s.periods.clear();
}

}  // namespace testing

}  // namespace win32
