// The eight targets: creation and removal, mounting an image, and each target's command
// executor, which runs the commands the login threads submit through the command layer,
// fetches sense after a failure, holds the answer back until the command's deadline and
// completes the slot.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>

#include "devaccess/vsbp2api.h"
#include "imagepath/clock.h"
#include "imagepath/target.h"

namespace imagepath {

using namespace win32;
using devaccess::RequestSlot;

namespace {

Target g_targets[kTargetCount];
bool g_initialised = false;  // the records' locks exist (program start-up and its failure path)

struct Pacing {
  PacingObserver observer;
  void* user_data;
};
std::atomic<const Pacing*> g_pacing{nullptr};
Pacing g_pacing_slots[2];  // the observer set last and the one before: never freed

constexpr uint32_t kSenseBytes = 18;
constexpr uint64_t kLongestPacedWaitUs = 1'999'999;  // deadlines further away are not waited for
constexpr uint64_t kCancelCheckMs = 20;  // longest single sleep of a paced wait
constexpr uint32_t kCoarseWaitLimitUs = 2'000;       // below this, only yield
constexpr int64_t kReleaseDelay100ns = -30'000'000;  // 3 s, relative
constexpr size_t kMaxPathChars = 260;
constexpr size_t kMaxPasswordChars = 64;
constexpr uint32_t kErrorBadImage = 1200;  // a path, an image or a medium that cannot be used

// ---- The request queue: slots linked through their queue links, with a sentinel. ----

RequestSlot* SlotOfLinks(void** links) {
  return reinterpret_cast<RequestSlot*>(reinterpret_cast<char*>(links) - offsetof(RequestSlot, queue_links));
}
void QueueInit(Target* t) {
  t->queue[0] = t->queue;
  t->queue[1] = t->queue;
}
// Queue lock held.
void QueueAppend(Target* t, RequestSlot* slot) {
  void** node = slot->queue_links;
  void** last = static_cast<void**>(t->queue[1]);
  node[0] = t->queue;
  node[1] = last;
  last[0] = node;
  t->queue[1] = node;
}
// Queue lock held. The first slot, or null.
RequestSlot* QueueTakeFirst(Target* t) {
  if (t->queue[0] == t->queue) return nullptr;
  void** node = static_cast<void**>(t->queue[0]);
  void** next = static_cast<void**>(node[0]);
  t->queue[0] = next;
  next[1] = t->queue;
  return SlotOfLinks(node);
}

bool Running(const Target* t) { return t->queue_event != nullptr; }

void CloseIfOpen(HANDLE* h) {
  if (*h != nullptr) CloseHandle(*h);
  *h = nullptr;
}

// ---- Command layer callbacks ----

void CommandCompleted(void* user, ScsiRequest*, uint32_t result) {
  Target* t = static_cast<Target*>(user);
  t->completion_result = result;
  SetEvent(t->completion_event);
}

void AttachDone(void* user, uint32_t result) {
  Target* t = static_cast<Target*>(user);
  t->mount_result = result;
  SetEvent(t->mount_event);
}

void DetachDone(void* user, uint32_t) { SetEvent(static_cast<Target*>(user)->mount_event); }

// There is no playback hardware behind a target.
uint32_t NoAudio(void*, uint32_t, uintptr_t, uint32_t, uint32_t) { return 1; }

void StoreSense(void* context, void* buffer, uint32_t length, uint32_t offset, uint32_t direction) {
  if (direction != kCopyToRequest || offset >= kSenseBytes) return;
  std::memcpy(static_cast<uint8_t*>(context) + offset, buffer, std::min(length, kSenseBytes - offset));
}

// ---- Unit callbacks ----

DWORD UnitAttach(void*, uint16_t unit_index, uint32_t, uint32_t, uint8_t, void** target_context) {
  if (unit_index >= kTargetCount) return ERROR_INVALID_PARAMETER;
  *target_context = &g_targets[unit_index];
  return 0;
}

void UnitRelease(void*, uint16_t, void*, DWORD) {}
void UnitEnd(void*, uint16_t, DWORD) {}

DWORD UnitSubmit(void*, uint16_t unit_index, void* target_context, RequestSlot* slot) {
  if (unit_index >= kTargetCount || target_context != &g_targets[unit_index]) return ERROR_INVALID_HANDLE;
  Target* t = &g_targets[unit_index];
  EnterCriticalSection(&t->queue_lock);
  if (t->stopping != 0) {
    LeaveCriticalSection(&t->queue_lock);
    return ERROR_OPERATION_ABORTED;
  }
  QueueAppend(t, slot);
  SetEvent(t->queue_event);
  LeaveCriticalSection(&t->queue_lock);
  return ERROR_IO_PENDING;
}

const devaccess::UnitCallbacks kUnitCallbacks = {&UnitAttach, &UnitRelease, &UnitSubmit, &UnitEnd};

// ---- Command executor ----

// Runs as an asynchronous procedure call on the executor thread, 3 s after the last answer
// that had to be paced: the 1 ms timer resolution is not needed any more.
void ReleaseResolution(void* arg, DWORD, DWORD) {
  Target* t = static_cast<Target*>(arg);
  if (t->resolution_raised != 0) {
    timeEndPeriod(1);
    t->resolution_raised = 0;
  }
  t->release_timer_armed = 0;
}

bool Cancelled(RequestSlot* slot) {
  return std::atomic_ref<uint32_t>(slot->cancelled).load(std::memory_order_acquire) != 0;
}

// Waits for `deadline` when it lies within the next two seconds; true when it did. An answer
// that the login has cancelled (a bus reset, an abort, the login ending) will not be sent,
// so holding it back paces nothing: it only keeps the slot from the login, which after a
// reset needs its slots back before it can take the initiator's ORBs again.
bool WaitForDeadline(Target* t, RequestSlot* slot, uint64_t deadline) {
  if (Cancelled(slot)) return false;
  const uint64_t now = MicrosecondClock();
  if (deadline <= now || deadline - now > kLongestPacedWaitUs) return false;
  if (t->release_timer_armed != 0) {
    CancelWaitableTimer(t->release_timer);
    t->release_timer_armed = 0;
  }
  if (t->resolution_raised == 0) {
    timeBeginPeriod(1);
    t->resolution_raised = 1;
  }
  for (;;) {
    const uint64_t clock = MicrosecondClock();
    if (clock >= deadline || Cancelled(slot)) break;
    const uint64_t remaining = deadline - clock;
    // Sleep wakes up to a tick late: sleep a millisecond short and yield the rest. Long
    // waits (a spin-up) are cut into pieces so that a cancellation is seen.
    Sleep(remaining > kCoarseWaitLimitUs
              ? static_cast<DWORD>(std::min<uint64_t>(remaining / 1000 - 1, kCancelCheckMs))
              : 0);
  }
  return true;
}

void RunCommand(Target* t, RequestSlot* slot) {
  ScsiRequest request{};
  const bool has_data = slot->data_length != 0;
  if (has_data) {
    request.data_length = slot->data_length;
    request.data_context = slot->data_context;
    request.copy = slot->copy;
  }
  std::memcpy(request.cdb, slot->cdb, sizeof(request.cdb));
  request.reserved = slot->reserved;
  ResetEvent(t->completion_event);
  uint32_t result = ExecuteCommand(t->device, &request);
  if (result == ERROR_IO_PENDING) {
    WaitForSingleObject(t->completion_event, INFINITE);
    result = t->completion_result;
  }
  if (has_data) slot->data_length = request.data_length;

  DWORD status = 0;
  if (result != 0) {
    // The answer carries the sense the failure left pending.
    ScsiRequest sense{};
    sense.data_length = kSenseBytes;
    sense.data_context = slot->sense;
    sense.copy = &StoreSense;
    sense.cdb[0] = 0x03;
    sense.cdb[4] = kSenseBytes;
    ResetEvent(t->completion_event);
    if (ExecuteCommand(t->device, &sense) == ERROR_IO_PENDING) WaitForSingleObject(t->completion_event, INFINITE);
    status = ERROR_IO_DEVICE;
  }

  const bool paced = request.deadline != 0 && WaitForDeadline(t, slot, request.deadline);
  if (paced) {
    if (const Pacing* p = g_pacing.load()) p->observer(p->user_data, t->index, request.deadline, MicrosecondClock());
  }
  devaccess::VSbp2ApiCompleteRequest(slot, status);
  if (paced) {
    LARGE_INTEGER due{kReleaseDelay100ns};
    if (SetWaitableTimer(t->release_timer, &due, 0, &ReleaseResolution, t, TRUE)) t->release_timer_armed = 1;
  }
}

DWORD ExecutorThread(void* arg) {
  Target* t = static_cast<Target*>(arg);
  if (t->cpu_affinity != 0) SetThreadAffinityMask(GetCurrentThread(), t->cpu_affinity);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  const HANDLE waits[2] = {t->queue_event, t->executor_stop_event};
  while (t->stopping == 0) {
    const DWORD w = WaitForMultipleObjectsEx(2, waits, FALSE, INFINITE, TRUE);
    if (w == WAIT_IO_COMPLETION) continue;
    if (w != WAIT_OBJECT_0) {
      t->stopping = 1;
      break;
    }
    while (t->stopping == 0) {
      EnterCriticalSection(&t->queue_lock);
      ResetEvent(t->queue_event);
      RequestSlot* slot = QueueTakeFirst(t);
      LeaveCriticalSection(&t->queue_lock);
      if (slot == nullptr) break;
      RunCommand(t, slot);
    }
  }
  // What is still queued is answered as aborted. The chain is taken off the queue under the
  // lock; submits after that see `stopping` and refuse.
  EnterCriticalSection(&t->queue_lock);
  void** node = static_cast<void**>(t->queue[0]);
  QueueInit(t);
  LeaveCriticalSection(&t->queue_lock);
  while (node != t->queue) {
    void** next = static_cast<void**>(node[0]);  // read before the slot goes back to its login
    devaccess::VSbp2ApiCompleteRequest(SlotOfLinks(node), ERROR_OPERATION_ABORTED);
    node = next;
  }
  return 0;
}

// ---- Life of a target ----

void CloseImage(Target* t) {
  // No request may start on the handle once it is taken away; the prefetch that may still
  // be in the engine was started before and is waited for.
  EnterCriticalSection(&t->dispatcher_lock);
  ImageHandle image = t->image;
  LeaveCriticalSection(&t->dispatcher_lock);
  SetDispatcherMedium(t, nullptr, 0, 0);
  EnterCriticalSection(&t->dispatcher_lock);
  t->mounted_path[0] = 0;
  LeaveCriticalSection(&t->dispatcher_lock);
  ResetReadAhead(t);
  while (t->engine_busy != 0) Sleep(1);
  if (image != nullptr) Engine().close(image, 0);
}

void StopTarget(Target* t) {
  t->stopping = 1;
  if (t->executor_thread != nullptr) {
    SetEvent(t->executor_stop_event);
    WaitForSingleObject(t->executor_thread, INFINITE);
    CloseIfOpen(&t->executor_thread);
  }
  UnmountImage(t, true);
  StopDispatcher(t);
  if (t->device != nullptr) DestroyScsiDevice(t->device);
  t->device = nullptr;
  if (t->release_timer != nullptr) {
    if (t->release_timer_armed != 0) CancelWaitableTimer(t->release_timer);
    t->release_timer_armed = 0;
    CloseIfOpen(&t->release_timer);
  }
  if (t->resolution_raised != 0) {
    timeEndPeriod(1);
    t->resolution_raised = 0;
  }
  CloseIfOpen(&t->executor_stop_event);
  CloseIfOpen(&t->mount_event);
  CloseIfOpen(&t->completion_event);
  CloseIfOpen(&t->queue_event);
}

// Closes unit `index` on every controller: the last result other than 0, 3 and 55 (a unit
// that is gone already), or 0.
DWORD CloseUnits(uint32_t index) {
  DWORD kept = 0;
  const devaccess::HostControllerNode* head = devaccess::HostControllers();
  for (const devaccess::HostControllerNode* n = head->next; n != head; n = n->next) {
    const DWORD r = devaccess::VSbp2ApiCloseUnit(n->detail.DevicePath, index);
    if (r != 0 && r != ERROR_PATH_NOT_FOUND && r != ERROR_DEV_NOT_EXIST) kept = r;
  }
  return kept;
}

// Length of `s` when it is at most `limit` characters, else limit + 1.
size_t BoundedLength(const char16_t* s, size_t limit) {
  size_t n = 0;
  while (n <= limit && s[n] != 0) ++n;
  return n;
}

}  // namespace

void SetPacingObserver(PacingObserver observer, void* user_data) {
  if (observer == nullptr) {
    g_pacing = nullptr;
    return;
  }
  // Alternate between two records so that a reader of the old one never sees it change.
  Pacing* slot = g_pacing.load() == &g_pacing_slots[0] ? &g_pacing_slots[1] : &g_pacing_slots[0];
  *slot = {observer, user_data};
  g_pacing = slot;
}

const devaccess::UnitCallbacks& TargetUnitCallbacks() { return kUnitCallbacks; }

Target* TargetAt(uint32_t index) { return index < kTargetCount ? &g_targets[index] : nullptr; }

int InitTargets() {
  if (g_initialised) return 1;
  if (!InitClock()) return 0;
  LARGE_INTEGER frequency{};
  if (!QueryPerformanceFrequency(&frequency)) return 0;
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) || process_mask == 0) return 0;
  // With a counter this fast each target's two threads keep to one processor, the targets
  // taking the processors of the process in turn.
  const uint32_t mask = static_cast<uint32_t>(process_mask);
  const bool bind = frequency.QuadPart > 500'000'000 && mask != 0;
  uint32_t bit = 0;
  if (bind) {
    while ((mask >> bit & 1) == 0) ++bit;
  }
  for (uint32_t i = 0; i < kTargetCount; ++i) {
    Target* t = &g_targets[i];
    std::destroy_at(t);
    std::construct_at(t);
    t->index = static_cast<uint16_t>(i);
    if (bind) {
      t->cpu_affinity = 1u << bit;
      do {
        bit = (bit + 1) % 32;
      } while ((mask >> bit & 1) == 0);
    }
    QueueInit(t);
    InitializeCriticalSection(&t->queue_lock);
    InitializeCriticalSection(&t->command_lock);
    InitDispatcher(t);
  }
  g_initialised = true;
  return 1;
}

void ReleaseTargets() {
  if (!g_initialised) return;
  g_initialised = false;
  for (Target& t : g_targets) {
    if (Running(&t) && CloseUnits(t.index) == 0) StopTarget(&t);
  }
  for (Target& t : g_targets) {
    // A target whose units would not close still has threads using its locks.
    if (Running(&t)) continue;
    DeleteCriticalSection(&t.queue_lock);
    DeleteCriticalSection(&t.command_lock);
    DestroyDispatcher(&t);
  }
}

uint32_t AddTarget(uint32_t index, bool mac_client, const uint8_t identity[kIdentitySize]) {
  if (index >= kTargetCount || identity == nullptr) return ERROR_INVALID_PARAMETER;
  Target* t = &g_targets[index];
  if (Running(t)) return ERROR_ALREADY_EXISTS;
  t->queue_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (t->queue_event == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  t->stopping = 0;
  t->completion_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  t->mount_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  t->executor_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool ok = t->completion_event != nullptr && t->mount_event != nullptr && t->executor_stop_event != nullptr;
  ok = ok && StartDispatcher(t);
  if (ok) {
    t->release_timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    ok = t->release_timer != nullptr;
  }
  ok = ok && CreateScsiDevice(kTargetDeviceFlags, identity, &t->command_lock, &CommandCompleted, nullptr, nullptr,
                              nullptr, t, &t->device) == 0;
  if (ok) {
    SetRegion(t->device, 1);
    t->executor_thread = CreateThread(nullptr, 0, &ExecutorThread, t, 0, nullptr);
    ok = t->executor_thread != nullptr;
  }
  if (!ok) {
    StopTarget(t);
    return ERROR_NOT_ENOUGH_MEMORY;
  }

  const uint32_t flags = mac_client ? devaccess::kUnitFlagMac : 0;
  bool opened = false;
  const devaccess::HostControllerNode* head = devaccess::HostControllers();
  for (const devaccess::HostControllerNode* n = head->next; n != head; n = n->next) {
    // The user data is the controller's node; the callbacks find the target by unit index.
    if (devaccess::VSbp2ApiOpenUnit(n->detail.DevicePath, index, flags, &kUnitCallbacks,
                                    const_cast<devaccess::HostControllerNode*>(n)) == 0) {
      opened = true;
    }
  }
  if (!opened) {
    StopTarget(t);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return 0;
}

uint32_t RemoveTarget(uint32_t index) {
  if (index >= kTargetCount) return ERROR_INVALID_PARAMETER;
  Target* t = &g_targets[index];
  if (!Running(t)) return 0;
  const DWORD kept = CloseUnits(index);
  if (kept == 0) StopTarget(t);
  return kept;
}

uint32_t UnmountImage(Target* t, bool force) {
  EnterCriticalSection(&t->dispatcher_lock);
  const bool mounted = t->image != nullptr;
  LeaveCriticalSection(&t->dispatcher_lock);
  if (!mounted) return 1;
  if (t->device != nullptr) {
    // A command that is executing keeps the medium until it ends; the image may go only
    // then, and a new medium can be attached only then.
    ResetEvent(t->mount_event);
    const uint32_t detached = DetachMedium(t->device, &DetachDone, t, force);
    if (detached == kErrorRemovalPrevented) return 0;
    if (detached == ERROR_IO_PENDING) WaitForSingleObject(t->mount_event, INFINITE);
  }
  for (;;) {
    EnterCriticalSection(&t->dispatcher_lock);
    const bool pending = t->pending != nullptr;
    LeaveCriticalSection(&t->dispatcher_lock);
    if (!pending) break;
    Sleep(1);
  }
  CloseImage(t);
  return 1;
}

uint32_t MountImage(const char16_t* path, uint32_t index, const char16_t* password, bool force) {
  if (index >= kTargetCount) return ERROR_INVALID_PARAMETER;
  Target* t = &g_targets[index];
  if (UnmountImage(t, force) == 0) return 1;
  if (path == nullptr || path[0] == 0) return 0;

  const size_t path_chars = BoundedLength(path, kMaxPathChars);
  if (path_chars < 2 || path_chars > kMaxPathChars) return kErrorBadImage;
  // The path and its terminator, then the password and its terminator.
  char16_t names[kMaxPathChars + 1 + kMaxPasswordChars + 1] = {};
  std::memcpy(names, path, path_chars * sizeof(char16_t));
  uint32_t mask = 1;
  if (password != nullptr) {
    const size_t password_chars = BoundedLength(password, kMaxPasswordChars);
    if (password_chars < 1 || password_chars > kMaxPasswordChars) return kImageWrongPassword;
    std::memcpy(names + path_chars + 1, password, password_chars * sizeof(char16_t));
    mask = 3;
  }
  if (!Running(t) || t->device == nullptr) return kErrorBadImage;

  ImageHandle image = nullptr;
  const uint32_t opened = Engine().open(0, names, mask, 0, 0, 0, 0, t, &image, 0);
  if (opened != 0) return opened;
  if (image == nullptr) return kErrorBadImage;
  uint32_t descriptor = 0;
  uint32_t period = 0;
  uint64_t capacity = 0;
  if (Engine().query(image, &descriptor, &period, &capacity) != 0 || capacity >= (uint64_t{1} << 32) ||
      (descriptor & kMediumClassMask) == kMediumNone) {
    Engine().close(image, 0);
    return kErrorBadImage;
  }
  SetDispatcherMedium(t, image, capacity, descriptor);
  ResetEvent(t->mount_event);
  uint32_t attached = AttachMedium(t->device, t, &SubmitMediaRequest, &NoAudio, descriptor, period,
                                   static_cast<uint32_t>(capacity), static_cast<uint32_t>(capacity >> 32), 0,
                                   &AttachDone, t);
  if (attached == ERROR_IO_PENDING) {
    WaitForSingleObject(t->mount_event, INFINITE);
    attached = t->mount_result;
  }
  if (attached != 0) {
    CloseImage(t);
    return kErrorBadImage;
  }
  static_assert(sizeof(t->mounted_path) == (kMaxPathChars + 1) * sizeof(char16_t));
  EnterCriticalSection(&t->dispatcher_lock);
  std::memcpy(t->mounted_path, names, path_chars * sizeof(char16_t));
  t->mounted_path[path_chars] = 0;
  LeaveCriticalSection(&t->dispatcher_lock);
  return 0;
}

std::u16string MountedImagePath(uint32_t index) {
  if (index >= kTargetCount || !g_initialised) return {};
  Target* t = &g_targets[index];
  EnterCriticalSection(&t->dispatcher_lock);
  std::u16string path(t->mounted_path);
  LeaveCriticalSection(&t->dispatcher_lock);
  return path;
}

}  // namespace imagepath
