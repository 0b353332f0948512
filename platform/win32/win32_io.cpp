// Files: device paths opened as create requests to the driver, control requests and their
// cancellation.
#include "platform/win32/win32_internal.h"

#include <algorithm>
#include <list>
#include <string>

namespace win32 {

namespace impl {

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

}  // namespace impl

using namespace impl;

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

namespace impl {


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

}  // namespace impl

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

}  // namespace win32
