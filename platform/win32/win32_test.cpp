#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <future>

#include "platform/bus1394/bus1394.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace win32;
namespace wt = win32::testing;

constexpr kern::Guid kClassA = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr kern::Guid kClassB = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {8, 7, 6, 5, 4, 3, 2, 1}};

// Completes at once with the status in the first four input bytes; fills the output.
constexpr uint32_t kComplete =
    kern::CtlCode(kern::FILE_DEVICE_UNKNOWN, 0x800, kern::METHOD_BUFFERED, kern::FILE_ANY_ACCESS);
// Pends until the test completes it, it is cancelled or its file is cleaned up.
constexpr uint32_t kPend =
    kern::CtlCode(kern::FILE_DEVICE_UNKNOWN, 0x801, kern::METHOD_BUFFERED, kern::FILE_ANY_ACCESS);

kern::NTSTATUS Finish(kern::Irp* irp, kern::NTSTATUS status, uintptr_t information = 0) {
  irp->io_status.status = status;
  irp->io_status.information = information;
  kern::CompleteRequest(irp);
  return status;
}

// A device with the few behaviours the tests need, reached through a device interface.
class FakeDriver {
 public:
  explicit FakeDriver(const std::string& name, const kern::Guid& interface_class = kClassA) {
    for (auto& f : driver_.major_function) f = &FakeDriver::Dispatch;
    EXPECT_EQ(kern::CreateDevice(&driver_, sizeof(FakeDriver*), name, kern::FILE_DEVICE_UNKNOWN,
                                 false, &device),
              kern::STATUS_SUCCESS);
    *static_cast<FakeDriver**>(device->extension) = this;
    EXPECT_EQ(kern::RegisterDeviceInterface(device, interface_class, &link), kern::STATUS_SUCCESS);
    EXPECT_EQ(kern::SetDeviceInterfaceState(link, true), kern::STATUS_SUCCESS);
  }
  ~FakeDriver() { kern::DeleteDevice(device); }
  FakeDriver(const FakeDriver&) = delete;
  FakeDriver& operator=(const FakeDriver&) = delete;

  std::u16string Path(const std::u16string& file = u"") const {
    return wt::DevicePathOf(link) + file;
  }

  // Completes the oldest parked request; false when there is none.
  bool CompleteParked(kern::NTSTATUS status, uintptr_t information = 0) {
    kern::Irp* taken = nullptr;
    {
      kern::SpinLockGuard guard(lock_);
      for (auto it = parked_.begin(); it != parked_.end(); ++it) {
        if (kern::SetCancelRoutine(*it, nullptr) != nullptr) {
          taken = *it;
          parked_.erase(it);
          break;
        }
      }
    }
    if (taken == nullptr) return false;
    Finish(taken, status, information);
    return true;
  }

  size_t Parked() {
    kern::SpinLockGuard guard(lock_);
    return parked_.size();
  }

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(log_mutex_);
    return log_;
  }

  kern::DeviceObject* device = nullptr;
  std::string link;

 private:
  static FakeDriver* Of(kern::DeviceObject* d) { return *static_cast<FakeDriver**>(d->extension); }

  void Note(const std::string& s) {
    std::lock_guard<std::mutex> lock(log_mutex_);
    log_.push_back(s);
  }

  static void Cancel(kern::DeviceObject* d, kern::Irp* irp) {
    kern::ReleaseCancelSpinLock(irp->cancel_irql);
    FakeDriver* self = Of(d);
    {
      kern::SpinLockGuard guard(self->lock_);
      std::erase(self->parked_, irp);
    }
    Finish(irp, kern::STATUS_CANCELLED);
  }

  kern::NTSTATUS Park(kern::Irp* irp) {
    {
      kern::SpinLockGuard guard(lock_);
      kern::SetCancelRoutine(irp, &FakeDriver::Cancel);
      if (!irp->cancel.load() || kern::SetCancelRoutine(irp, nullptr) == nullptr) {
        kern::MarkIrpPending(irp);
        parked_.push_back(irp);
        return kern::STATUS_PENDING;
      }
    }
    return Finish(irp, kern::STATUS_CANCELLED);
  }

  void CancelFile(kern::FileObject* file) {
    std::vector<kern::Irp*> taken;
    {
      kern::SpinLockGuard guard(lock_);
      for (auto it = parked_.begin(); it != parked_.end();) {
        if (kern::CurrentStackLocation(*it)->file == file &&
            kern::SetCancelRoutine(*it, nullptr) != nullptr) {
          taken.push_back(*it);
          it = parked_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (kern::Irp* irp : taken) Finish(irp, kern::STATUS_CANCELLED);
  }

  static kern::NTSTATUS Dispatch(kern::DeviceObject* d, kern::Irp* irp) {
    FakeDriver* self = Of(d);
    kern::IoStackLocation* s = kern::CurrentStackLocation(irp);
    switch (s->major) {
      case kern::IRP_MJ_CREATE: {
        const std::u16string& name = s->file->file_name;
        self->Note("create " + std::string(name.begin(), name.end()) + " pid " +
                   std::to_string(kern::CurrentProcessId()));
        return Finish(irp, name == u"\\refuse" ? kern::STATUS_ACCESS_DENIED : kern::STATUS_SUCCESS);
      }
      case kern::IRP_MJ_CLEANUP:
        self->Note("cleanup");
        self->CancelFile(s->file);
        return Finish(irp, kern::STATUS_SUCCESS);
      case kern::IRP_MJ_CLOSE:
        self->Note("close");
        return Finish(irp, kern::STATUS_SUCCESS);
      case kern::IRP_MJ_DEVICE_CONTROL: {
        self->Note("control pid " + std::to_string(irp->process_id));
        if (s->device_io_control.io_control_code == kPend) return self->Park(irp);
        kern::NTSTATUS status = kern::STATUS_SUCCESS;
        if (s->device_io_control.input_buffer_length >= 4) {
          std::memcpy(&status, irp->system_buffer, 4);
        }
        const uint32_t out = s->device_io_control.output_buffer_length;
        if (out > 0) std::memset(irp->system_buffer, 0xAB, out);
        return Finish(irp, status, out);
      }
      default:
        return Finish(irp, kern::STATUS_NOT_SUPPORTED);
    }
  }

  kern::DriverObject driver_;
  kern::SpinLock lock_;
  std::vector<kern::Irp*> parked_;
  std::mutex log_mutex_;
  std::vector<std::string> log_;
};

// Every test must give back what it took: handles, threads, sections, memory.
class Win32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    wt::Reset();
    handles_ = wt::OpenHandles();
  }
  void TearDown() override {
    EXPECT_EQ(wt::OpenHandles(), handles_);
    EXPECT_EQ(wt::LiveThreads(), 0u);
    EXPECT_EQ(wt::LiveCriticalSections(), 0u);
    EXPECT_EQ(wt::LocalAllocations(), 0u);
    EXPECT_EQ(wt::LiveSids(), 0u);
    wt::Reset();
  }

 private:
  size_t handles_ = 0;
};

class IoTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    system_ = std::make_unique<kern::System>();
    driver_ = std::make_unique<FakeDriver>("\\Device\\fake0");
  }
  void TearDown() override {
    driver_.reset();
    system_.reset();
    Win32Test::TearDown();
  }

  HANDLE Open(const std::u16string& file = u"", DWORD flags = FILE_FLAG_OVERLAPPED) {
    const std::u16string path = driver_->Path(file);
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
  }

  // Pends a request on `h` with `ov`, whose event is created here.
  void Pend(HANDLE h, OVERLAPPED* ov) {
    *ov = {};
    ov->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  }

  std::unique_ptr<kern::System> system_;
  std::unique_ptr<FakeDriver> driver_;
};

// ---------------------------------------------------------------------------------------
// Files and control requests.

TEST_F(IoTest, DriverStatusesReachTheCallerAsWin32Errors) {
  struct Case {
    kern::NTSTATUS status;
    DWORD error;
  };
  const Case cases[] = {
      {kern::STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {kern::STATUS_BUS_RESET, ERROR_BUS_RESET},
      {kern::STATUS_REQUEST_ABORTED, ERROR_REQUEST_ABORTED},
      {kern::STATUS_DRIVER_INTERNAL_ERROR, ERROR_IO_DEVICE},
      {kern::STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {kern::STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {kern::STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {kern::STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {kern::STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
      {kern::STATUS_REVISION_MISMATCH, ERROR_REVISION_MISMATCH},
      {kern::STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {kern::STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
      {kern::STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {kern::STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
      {kern::STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
      {kern::STATUS_CONFLICTING_ADDRESSES, ERROR_INVALID_ADDRESS},
      {kern::STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
      {kern::STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
      {kern::STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {kern::STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
      {kern::STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
      {kern::STATUS_MORE_PROCESSING_REQUIRED, ERROR_MORE_DATA},
      {kern::Status(0xC0FFEE01), ERROR_MR_MID_NOT_FOUND},
  };
  HANDLE sync = Open(u"", 0);
  HANDLE async = Open();
  ASSERT_NE(sync, INVALID_HANDLE_VALUE);
  ASSERT_NE(async, INVALID_HANDLE_VALUE);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << static_cast<uint32_t>(c.status));
    EXPECT_EQ(ErrorFromStatus(c.status), c.error);
    kern::NTSTATUS in = c.status;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(sync, kComplete, &in, 4, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), c.error);
    // Failed at once on an overlapped handle: the error comes straight back. Only a
    // warning also completes the overlapped and sets its event; an error leaves both.
    OVERLAPPED ov{};
    ov.hEvent = event;
    SetEvent(event);
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(async, kComplete, &in, 4, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(GetLastError(), c.error);
    const bool warning = (static_cast<uint32_t>(c.status) >> 30) == 2;
    DWORD bytes = 7;
    EXPECT_FALSE(GetOverlappedResult(async, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), warning ? c.error : ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(event, 0), warning ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
  }
  // Failed after pending: through the overlapped and its event like any completion.
  OVERLAPPED ov{};
  ov.hEvent = event;
  ASSERT_FALSE(DeviceIoControl(async, kPend, nullptr, 0, nullptr, 0, nullptr, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(driver_->CompleteParked(kern::STATUS_IO_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(async, &ov, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(sync));
  EXPECT_TRUE(CloseHandle(async));
}

TEST_F(IoTest, OverlappedRequestPendsThenCompletesThroughItsEvent) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set: the start must reset it
  ASSERT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  // A waiting GetOverlappedResult returns once the driver completes on another thread.
  std::thread completer([&] {
    while (!driver_->CompleteParked(kern::STATUS_SUCCESS, 12)) std::this_thread::yield();
  });
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
  EXPECT_EQ(bytes, 12u);
  completer.join();
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);

  // Completed at once: TRUE, the bytes, and the event set.
  uint8_t out[8] = {};
  kern::NTSTATUS ok = kern::STATUS_SUCCESS;
  ResetEvent(ov.hEvent);
  bytes = 0;
  EXPECT_TRUE(DeviceIoControl(h, kComplete, &ok, 4, out, sizeof out, &bytes, &ov));
  EXPECT_EQ(bytes, sizeof out);
  EXPECT_EQ(out[7], 0xAB);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);

  // A synchronous handle waits for a pended request.
  HANDLE sync = Open(u"", 0);
  std::thread completer2([&] {
    while (!driver_->CompleteParked(kern::STATUS_SUCCESS, 3)) std::this_thread::yield();
  });
  bytes = 0;
  EXPECT_TRUE(DeviceIoControl(sync, kPend, nullptr, 0, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(bytes, 3u);
  completer2.join();

  CloseHandle(ov.hEvent);
  CloseHandle(sync);
  CloseHandle(h);
}

TEST_F(IoTest, CancelIoCancelsOnlyTheCallingThreadsRequests) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED mine{}, theirs{};
  Pend(h, &mine);
  // The other thread stays alive: its exit would cancel its request.
  std::promise<void> pended, done;
  std::thread other([&] {
    Pend(h, &theirs);
    pended.set_value();
    done.get_future().wait();
  });
  pended.get_future().wait();
  ASSERT_EQ(driver_->Parked(), 2u);

  EXPECT_TRUE(CancelIo(h));
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &mine, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(driver_->Parked(), 1u);
  EXPECT_FALSE(GetOverlappedResult(h, &theirs, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  // CancelIoEx reaches the other thread's request; with nothing left it finds none.
  EXPECT_TRUE(CancelIoEx(h, &theirs));
  EXPECT_FALSE(GetOverlappedResult(h, &theirs, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIoEx(h, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  done.set_value();
  other.join();

  CloseHandle(mine.hEvent);
  CloseHandle(theirs.hEvent);
  CloseHandle(h);
}

TEST_F(IoTest, AThreadsExitCancelsTheRequestsItIssued) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED mine{}, theirs{};
  Pend(h, &mine);
  std::thread other([&] { Pend(h, &theirs); });
  other.join();
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &theirs, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  // Only the exiting thread's: this thread's request is still with the driver.
  EXPECT_EQ(driver_->Parked(), 1u);
  EXPECT_FALSE(GetOverlappedResult(h, &mine, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_TRUE(CancelIo(h));
  EXPECT_FALSE(GetOverlappedResult(h, &mine, &bytes, TRUE));
  CloseHandle(mine.hEvent);
  CloseHandle(theirs.hEvent);
  CloseHandle(h);
}

TEST_F(IoTest, CancelIoRacingTheDriversCompletionEndsEachRequestOnce) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::atomic<bool> stop{false};
  std::thread completer([&] {
    while (!stop.load()) {
      if (!driver_->CompleteParked(kern::STATUS_SUCCESS, 1)) std::this_thread::yield();
    }
  });
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int completed = 0, cancelled = 0;
  for (int i = 0; i < 300; ++i) {
    const HANDLE event = ov.hEvent;
    ov = {};
    ov.hEvent = event;
    if (DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &ov)) FAIL();
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    if (i % 3 != 0) {
      EXPECT_TRUE(CancelIo(h));  // every third is left to the completer
    }
    DWORD bytes = 0;
    if (GetOverlappedResult(h, &ov, &bytes, TRUE)) {
      EXPECT_EQ(bytes, 1u);
      ++completed;
    } else {
      EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
      ++cancelled;
    }
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  }
  stop = true;
  completer.join();
  EXPECT_EQ(completed + cancelled, 300);
  EXPECT_GE(completed, 100);
  EXPECT_EQ(driver_->Parked(), 0u);
  CloseHandle(ov.hEvent);
  CloseHandle(h);
}

TEST_F(IoTest, CloseEndsOutstandingRequestsThroughCleanupBeforeClosing) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};
  Pend(h, &ov);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(static_cast<kern::NTSTATUS>(static_cast<uint32_t>(ov.Internal)), kern::STATUS_CANCELLED);
  const auto log = driver_->Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "cleanup");
  EXPECT_EQ(log.back(), "close");
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeviceIoControl(h, kComplete, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(ov.hEvent);
}

TEST_F(IoTest, OpenReachesTheDriverWithNameAndProcessOrFailsAsWin32Does) {
  {
    kern::ProcessScope process(300);
    HANDLE unit = Open(u"\\unit00");
    ASSERT_NE(unit, INVALID_HANDLE_VALUE);
    EXPECT_EQ(driver_->Log().back(), "create \\unit00 pid 300");
    // The handle belongs to process 300: another process cannot use it, but may be given
    // its own handle to the same file, whose requests carry that process.
    HANDLE dup;
    {
      kern::ProcessScope other(400);
      EXPECT_FALSE(DeviceIoControl(unit, kComplete, nullptr, 0, nullptr, 0, nullptr, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    dup = wt::DuplicateHandleToProcess(unit, 400);
    ASSERT_NE(dup, nullptr);
    EXPECT_TRUE(CloseHandle(unit));  // the file stays open for the other handle
    EXPECT_NE(driver_->Log().back(), "close");
    {
      kern::ProcessScope other(400);
      EXPECT_TRUE(DeviceIoControl(dup, kComplete, nullptr, 0, nullptr, 0, nullptr, nullptr));
      EXPECT_EQ(driver_->Log().back(), "control pid 400");
      EXPECT_TRUE(CloseHandle(dup));
    }
    EXPECT_EQ(driver_->Log().back(), "close");
  }

  const auto try_open = [](const std::u16string& path) {
    SetLastError(0);
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    return GetLastError();
  };
  EXPECT_EQ(try_open(driver_->Path(u"\\refuse")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(try_open(u"\\\\?\\NoSuch#{00000000-0000-0000-0000-000000000000}"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(try_open(u"C:\\file"), ERROR_PATH_NOT_FOUND);
  // The kernel's form of the link works as well, and a disabled interface is gone.
  HANDLE k = CreateFileW(wt::Utf16(driver_->link).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
  EXPECT_NE(k, INVALID_HANDLE_VALUE);
  CloseHandle(k);
  kern::SetDeviceInterfaceState(driver_->link, false);
  EXPECT_EQ(try_open(driver_->Path()), ERROR_FILE_NOT_FOUND);
}

// ---------------------------------------------------------------------------------------
// Events and waits.

TEST_F(Win32Test, EventsAndMultipleWaitsFollowAnyAndAllRules) {
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE autoreset = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[] = {manual, autoreset};

  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 5), WAIT_TIMEOUT);

  // Any: the lowest signalled index; an auto-reset event is taken by the wait.
  SetEvent(autoreset);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForSingleObject(autoreset, 0), WAIT_TIMEOUT);
  SetEvent(manual);
  SetEvent(autoreset);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // manual stays set

  // All: nothing is taken unless everything is signalled at once.
  ResetEvent(manual);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(autoreset, 0), WAIT_OBJECT_0);  // still there, taken now

  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] { result = WaitForMultipleObjects(2, both, TRUE, INFINITE); });
  SetEvent(manual);
  SetEvent(autoreset);
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoreset, 0), WAIT_TIMEOUT);

  HANDLE bad[] = {manual, reinterpret_cast<HANDLE>(uintptr_t{0x12340})};
  EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  CloseHandle(manual);
  CloseHandle(autoreset);
}

std::atomic<int> g_apc_calls{0};
std::atomic<DWORD> g_apc_thread{0};
void CountApc(ULONG_PTR data) {
  g_apc_calls += static_cast<int>(data);
  g_apc_thread = GetCurrentThreadId();
}

TEST_F(Win32Test, QueuedCallsRunOnlyInAlertableWaitsOfTheirThread) {
  g_apc_calls = 0;
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(QueueUserAPC(&CountApc, GetCurrentThread(), 2), 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // not alertable
  EXPECT_EQ(g_apc_calls.load(), 0);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObjectEx(event, 0, TRUE), WAIT_OBJECT_0);  // the object goes first
  EXPECT_EQ(g_apc_calls.load(), 0);
  ResetEvent(event);
  EXPECT_EQ(WaitForMultipleObjectsEx(1, &event, FALSE, INFINITE, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(g_apc_calls.load(), 2);
  EXPECT_EQ(SleepEx(0, TRUE), 0u);

  // Queued to a thread that is blocked in an alertable wait: it wakes and runs it there.
  struct Ctx {
    HANDLE ready;
    HANDLE stop;
    DWORD id = 0;
  } ctx{CreateEventW(nullptr, TRUE, FALSE, nullptr), event};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        c->id = GetCurrentThreadId();
        SetEvent(c->ready);
        DWORD r;
        while ((r = WaitForSingleObjectEx(c->stop, INFINITE, TRUE)) == WAIT_IO_COMPLETION) {
        }
        return r == WAIT_OBJECT_0 ? 7 : 1;
      },
      &ctx, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(ctx.ready, INFINITE);
  ASSERT_NE(QueueUserAPC(&CountApc, thread, 5), 0u);
  while (g_apc_calls.load() != 7) Sleep(1);
  EXPECT_EQ(g_apc_thread.load(), ctx.id);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(QueueUserAPC(&CountApc, thread, 1), 0u);  // it has ended
  CloseHandle(thread);
  CloseHandle(ctx.ready);
  CloseHandle(event);
}

struct TimerCalls {
  std::atomic<int> calls{0};
  std::atomic<DWORD> thread{0};
};
void OnTimer(LPVOID arg, DWORD, DWORD high) {
  auto* t = static_cast<TimerCalls*>(arg);
  EXPECT_NE(high, 0u);  // a system time, far from zero
  t->calls++;
  t->thread = GetCurrentThreadId();
}

TEST_F(Win32Test, WaitableTimerSignalsAndQueuesItsRoutineToTheSettingThread) {
  HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  ASSERT_NE(timer, nullptr);
  TimerCalls calls;
  LARGE_INTEGER due{-10 * 10'000};  // 10 ms, relative
  ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, &OnTimer, &calls, FALSE));
  EXPECT_EQ(WaitForSingleObject(timer, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(calls.calls.load(), 0);  // waits on the timer are not alertable
  EXPECT_EQ(SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(calls.calls.load(), 1);
  EXPECT_EQ(calls.thread.load(), GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_OBJECT_0);  // manual reset: stays signalled

  // Setting it again makes it non-signalled; a cancelled timer never fires.
  due.QuadPart = -20 * 10'000;
  ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CancelWaitableTimer(timer));
  EXPECT_EQ(WaitForSingleObject(timer, 60), WAIT_TIMEOUT);

  // An absolute due time in the past is due at once.
  due.QuadPart = 1;
  ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
  EXPECT_EQ(WaitForSingleObject(timer, INFINITE), WAIT_OBJECT_0);

  // A periodic synchronization timer: each wait takes one expiry.
  HANDLE periodic = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  due.QuadPart = -1;
  ASSERT_TRUE(SetWaitableTimer(periodic, &due, 2, nullptr, nullptr, FALSE));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(periodic, INFINITE), WAIT_OBJECT_0);
  CancelWaitableTimer(periodic);
  CloseHandle(periodic);
  CloseHandle(timer);
}

TEST_F(Win32Test, ATimersRoutineIsQueuedOnceAndEndsWithItsThread) {
  // Expiries while the setting thread is not alertable queue the routine once.
  HANDLE periodic = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  TimerCalls calls;
  LARGE_INTEGER due{-1};
  ASSERT_TRUE(timeBeginPeriod(1) == TIMERR_NOERROR);
  ASSERT_TRUE(SetWaitableTimer(periodic, &due, 1, &OnTimer, &calls, FALSE));
  Sleep(40);
  EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(calls.calls.load(), 1);
  CancelWaitableTimer(periodic);
  timeEndPeriod(1);

  // A timer with a routine is cancelled when the thread that set it ends: it never fires.
  std::thread setter([&] {
    LARGE_INTEGER later{-30 * 10'000};
    EXPECT_TRUE(SetWaitableTimer(periodic, &later, 0, &OnTimer, &calls, FALSE));
  });
  setter.join();
  EXPECT_EQ(WaitForSingleObject(periodic, 100), WAIT_TIMEOUT);
  EXPECT_EQ(calls.calls.load(), 1);
  CloseHandle(periodic);
}

// ---------------------------------------------------------------------------------------
// Mutexes and their security attributes.

DWORD HoldAndExit(LPVOID mutex) {
  return WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE) == WAIT_OBJECT_0 ? 0 : 1;
}

TEST_F(Win32Test, NamedMutexIsSharedAcrossProcessesAndAbandonedByItsEndedOwner) {
  const char16_t* name = u"Global\\SKM_TEST_MUTEX";
  HANDLE a, b;
  {
    kern::ProcessScope p(100);
    a = CreateMutexW(nullptr, TRUE, name);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);  // recursive: owned twice now
  }
  std::thread other([&] {
    kern::ProcessScope p(200);
    b = CreateMutexW(nullptr, TRUE, name);  // exists: ownership is not granted
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(ReleaseMutex(b));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_FAILED);  // process 100's handle
  });
  other.join();
  {
    kern::ProcessScope p(100);
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_FALSE(ReleaseMutex(a));
  }

  // An owner that ends without releasing abandons it; the next taker is told so, once.
  kern::ProcessScope p(200);
  HANDLE t = CreateThread(nullptr, 0, &HoldAndExit, b, 0, nullptr);
  ASSERT_NE(t, nullptr);
  WaitForSingleObject(t, INFINITE);
  HANDLE objects[] = {t, b};
  EXPECT_EQ(WaitForMultipleObjects(2, objects, TRUE, 0), WAIT_ABANDONED_0 + 1);
  EXPECT_TRUE(ReleaseMutex(b));
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(b));
  CloseHandle(t);
  CloseHandle(b);
  {
    kern::ProcessScope q(100);
    CloseHandle(a);
  }
  // The last handle gone, the name is free again.
  HANDLE c = CreateMutexW(nullptr, FALSE, name);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(c);
}

// The descriptor sequence that a library builds for a mutex open to everyone.
DWORD CreateWorldMutex(HANDLE* mutex) {
  *mutex = nullptr;
  PSID sid = nullptr;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD result = ERROR_NOT_ENOUGH_MEMORY;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  if (AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid)) {
    EXPLICIT_ACCESS_W ea{};
    ea.grfAccessPermissions = MUTEX_ALL_ACCESS;
    ea.grfAccessMode = SET_ACCESS;
    ea.grfInheritance = NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    ea.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    if (SetEntriesInAclW(1, &ea, nullptr, &acl) == ERROR_SUCCESS) {
      sd = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
      if (sd != nullptr && InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorDacl(sd, TRUE, acl, FALSE)) {
        SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
        *mutex = CreateMutexW(&sa, FALSE, u"Global\\SKM_WORLD");
        if (*mutex != nullptr) result = ERROR_SUCCESS;
      }
    }
  }
  if (sid != nullptr) FreeSid(sid);
  if (acl != nullptr) LocalFree(acl);
  if (sd != nullptr) LocalFree(sd);
  return result;
}

TEST_F(Win32Test, SecurityDescriptorCallsCanEachFailAndLeakNothing) {
  HANDLE m = nullptr;
  ASSERT_EQ(CreateWorldMutex(&m), ERROR_SUCCESS);
  CloseHandle(m);
  for (wt::Call call : {wt::Call::AllocateAndInitializeSid, wt::Call::SetEntriesInAcl,
                        wt::Call::LocalAlloc, wt::Call::InitializeSecurityDescriptor,
                        wt::Call::SetSecurityDescriptorDacl, wt::Call::CreateMutex}) {
    SCOPED_TRACE(static_cast<int>(call));
    wt::FailNext(call);
    EXPECT_EQ(CreateWorldMutex(&m), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(m, nullptr);
  }
  // A descriptor that was never initialised is refused.
  void* raw = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  SECURITY_ATTRIBUTES sa{sizeof sa, raw, FALSE};
  EXPECT_EQ(CreateMutexW(&sa, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SECURITY_DESCR);
  LocalFree(raw);
}

// ---------------------------------------------------------------------------------------
// Threads and critical sections.

struct Shared {
  CRITICAL_SECTION lock;
  int counter = 0;
  uint32_t pid = 0;
};
void AddMany(Shared* s) {
  for (int i = 0; i < 2000; ++i) {
    EnterCriticalSection(&s->lock);
    EnterCriticalSection(&s->lock);  // recursive
    ++s->counter;
    LeaveCriticalSection(&s->lock);
    LeaveCriticalSection(&s->lock);
  }
}
DWORD AddManyThread(LPVOID p) {
  auto* s = static_cast<Shared*>(p);
  s->pid = GetCurrentProcessId();
  AddMany(s);
  return 42;
}

TEST_F(Win32Test, ThreadsInheritTheProcessAndShareCriticalSections) {
  Shared shared;
  std::memset(&shared.lock, 0, sizeof shared.lock);  // as inside a zeroed allocation
  InitializeCriticalSection(&shared.lock);
  HANDLE t;
  {
    kern::ProcessScope p(77);
    t = CreateThread(nullptr, 0, &AddManyThread, &shared, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_HIGHEST);
    EXPECT_FALSE(SetThreadPriority(t, 5));
    AddMany(&shared);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  }
  EXPECT_EQ(shared.counter, 4000);
  EXPECT_EQ(shared.pid, 77u);
  DWORD code = 0;
  EXPECT_EQ(GetExitCodeThread(t, &code), FALSE);  // process 77's handle
  {
    kern::ProcessScope p(77);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(t);
  }
  DeleteCriticalSection(&shared.lock);

  wt::FailNext(wt::Call::CreateThread);
  EXPECT_EQ(CreateThread(nullptr, 0, &AddManyThread, &shared, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(Win32Test, AffinityMasksStayWithinTheProcessMask) {
  wt::SetProcessAffinityMask(0b1010);
  DWORD_PTR process = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  EXPECT_EQ(process, 0b1010u);
  EXPECT_EQ(system & process, process);
  EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), 0b0010), 0b1010u);
  EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), 0b1000), 0b0010u);
  EXPECT_EQ(wt::ThreadAffinity(GetCurrentThread()), 0b1000u);
  EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), 0b0001), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), 0), 0u);
  wt::FailNext(wt::Call::GetProcessAffinityMask);
  EXPECT_FALSE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  SetThreadAffinityMask(GetCurrentThread(), 0b1010);
}

// ---------------------------------------------------------------------------------------
// Device enumeration.

// A bus device (not itself reported) and a device it reported, each with an interface.
class EnumTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    system_ = std::make_unique<kern::System>();
    bus_ = std::make_unique<FakeDriver>("\\Device\\bus0", kClassA);
    child_ = std::make_unique<FakeDriver>("\\Device\\child0", kClassB);
    other_ = std::make_unique<FakeDriver>("\\Device\\bus1", kClassA);
    kern::pnp::ReportDevice(child_->device, "TEST\\CHILD", "0001", bus_->device);
    ASSERT_EQ(CMP_WaitNoPendingInstallEvents(INFINITE), WAIT_OBJECT_0);
  }
  void TearDown() override {
    child_.reset();
    bus_.reset();
    other_.reset();
    system_.reset();
    Win32Test::TearDown();
  }

  struct Found {
    std::u16string path;
    DEVINST devinst;
  };
  // The interfaces of a class as a caller walks them, detail size first.
  static std::vector<Found> Walk(const GUID& guid, DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) {
    std::vector<Found> found;
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    DWORD i = 0;
    for (; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
      DWORD size = 0;
      EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      std::vector<uint8_t> storage(size);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
      // A 64-bit caller gives the structure's own size; the packed 32-bit size is refused.
      detail->cbSize = 6;
      EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size - 2, nullptr, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      SP_DEVINFO_DATA info{};
      info.cbSize = sizeof info;
      EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &info));
      found.push_back({detail->DevicePath, info.DevInst});
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return found;
  }

  std::unique_ptr<kern::System> system_;
  std::unique_ptr<FakeDriver> bus_, child_, other_;
};

TEST_F(EnumTest, InterfacesLeadToTheirDeviceAndItsParent) {
  const std::vector<Found> buses = Walk(kClassA);
  ASSERT_EQ(buses.size(), 2u);
  EXPECT_EQ(buses[0].path, wt::DevicePathOf(bus_->link));
  EXPECT_EQ(buses[0].path.substr(0, 4), u"\\\\?\\");
  EXPECT_NE(buses[0].devinst, buses[1].devinst);
  const std::vector<Found> children = Walk(kClassB);
  ASSERT_EQ(children.size(), 1u);

  DEVINST parent = 0;
  ASSERT_EQ(CM_Get_Parent(&parent, children[0].devinst, 0), CR_SUCCESS);
  EXPECT_EQ(parent, buses[0].devinst);
  EXPECT_EQ(CM_Get_Parent(&parent, buses[1].devinst, 0), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(CM_Get_Parent(&parent, 0xFFFF, 0), CR_INVALID_DEVNODE);
  WCHAR id[64];
  ASSERT_EQ(CM_Get_Device_IDW(children[0].devinst, id, 64, 0), CR_SUCCESS);
  std::u16string path(id);
  EXPECT_EQ(path.rfind(u"TEST\\CHILD\\", 0), 0u);
  EXPECT_EQ(path.substr(path.size() - 5), u"&0001");
  EXPECT_EQ(path.size(), std::u16string(u"TEST\\CHILD\\").size() + 9 + 4) << "an 8-digit parent prefix";
  EXPECT_EQ(CM_Get_Device_IDW(children[0].devinst, id, 5, 0), CR_BUFFER_SMALL);

  // The path opens the device; a disabled interface is listed only without DIGCF_PRESENT.
  HANDLE h = CreateFileW(children[0].path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  kern::SetDeviceInterfaceState(other_->link, false);
  EXPECT_EQ(Walk(kClassA).size(), 1u);
  EXPECT_EQ(Walk(kClassA, DIGCF_DEVICEINTERFACE).size(), 2u);
}

TEST_F(EnumTest, SetupCallsFailAsInjected) {
  wt::FailNext(wt::Call::SetupDiGetClassDevs);
  EXPECT_EQ(SetupDiGetClassDevsW(&kClassA, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(SetupDiGetClassDevsW(&kClassA, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);

  HDEVINFO set = SetupDiGetClassDevsW(&kClassA, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  wt::FailNext(wt::Call::SetupDiEnumDeviceInterfaces, 1, 1);  // the second one fails
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassA, 0, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassA, 1, &data));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  wt::FailNext(wt::Call::SetupDiGetDeviceInterfaceDetail);
  DWORD size = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(CloseHandle(set));  // a set is destroyed, not closed
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// The host controller's request interface, reached the way user mode reaches it.
TEST_F(Win32Test, HostControllerAddsAVirtualDeviceFoundBelowIt) {
  kern::System system;
  bus1394::HostController hc;
  HDEVINFO set = SetupDiGetClassDevsW(&bus1394::kHostControllerInterface, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &bus1394::kHostControllerInterface, 0, &data));
  std::vector<uint8_t> storage(512);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
  detail->cbSize = sizeof *detail;
  SP_DEVINFO_DATA controller{};
  controller.cbSize = sizeof controller;
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, 512, nullptr, &controller));
  SetupDiDestroyDeviceInfoList(set);

  HANDLE h = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  bus1394::ApiRequest request{};
  request.request_number = bus1394::kApiAddVirtualDevice;
  request.flags = request.ful_flags = 5;
  const std::u16string id = u"SKM_TEST_DEVICE_01";
  std::copy(id.begin(), id.end(), request.device_id);
  EXPECT_TRUE(DeviceIoControl(h, bus1394::IOCTL_IEEE1394_API_REQUEST, &request, sizeof request,
                              nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(DeviceIoControl(h, bus1394::IOCTL_IEEE1394_API_REQUEST, &request, sizeof request,
                               nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_EQ(CMP_WaitNoPendingInstallEvents(INFINITE), WAIT_OBJECT_0);

  // No function driver here: the test registers the interface a driver would.
  std::string link;
  ASSERT_EQ(kern::RegisterDeviceInterface(hc.virtual_device(), kClassB, &link), kern::STATUS_SUCCESS);
  kern::SetDeviceInterfaceState(link, true);
  set = SetupDiGetClassDevsW(&kClassB, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassB, 0, &data));
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, 512, nullptr, &device));
  SetupDiDestroyDeviceInfoList(set);
  DEVINST parent = 0;
  ASSERT_EQ(CM_Get_Parent(&parent, device.DevInst, 0), CR_SUCCESS);
  EXPECT_EQ(parent, controller.DevInst);
  WCHAR instance[64];
  ASSERT_EQ(CM_Get_Device_IDW(device.DevInst, instance, 64, 0), CR_SUCCESS);
  // A reported device's instance carries its parent's prefix before the bus's instance ID.
  std::u16string path(instance);
  EXPECT_EQ(path.rfind(u"1394\\SKM_TEST_DEVICE_01\\", 0), 0u) << std::string(path.begin(), path.end());
  EXPECT_EQ(path.substr(path.size() - 17), u"&0000000000000000");

  request.request_number = bus1394::kApiRemoveVirtualDevice;
  EXPECT_TRUE(DeviceIoControl(h, bus1394::IOCTL_IEEE1394_API_REQUEST, &request, sizeof request,
                              nullptr, 0, nullptr, nullptr));
  CMP_WaitNoPendingInstallEvents(INFINITE);
  EXPECT_EQ(CM_Get_Parent(&parent, device.DevInst, 0), CR_NO_SUCH_DEVNODE);  // gone
  CloseHandle(h);
}

// ---------------------------------------------------------------------------------------
// Clocks.

TEST_F(Win32Test, ClocksAndTimerResolution) {
  LARGE_INTEGER f{}, a{}, b{};
  ASSERT_TRUE(QueryPerformanceFrequency(&f));
  EXPECT_EQ(f.QuadPart, 10'000'000);
  ASSERT_TRUE(QueryPerformanceCounter(&a));
  Sleep(2);
  ASSERT_TRUE(QueryPerformanceCounter(&b));
  EXPECT_GE(b.QuadPart - a.QuadPart, 2 * f.QuadPart / 1000);
  wt::SetPerformanceFrequency(3'000'000'000LL);
  ASSERT_TRUE(QueryPerformanceFrequency(&f));
  EXPECT_EQ(f.QuadPart, 3'000'000'000LL);
  QueryPerformanceCounter(&b);
  EXPECT_GT(b.QuadPart, a.QuadPart);
  wt::FailNext(wt::Call::QueryPerformanceFrequency);
  EXPECT_FALSE(QueryPerformanceFrequency(&f));

  const DWORD t0 = GetTickCount();
  Sleep(2);
  EXPECT_GE(GetTickCount() - t0, 2u);

  // Without a finer period a sleep ends on the 15.625 ms tick: after the first, which may
  // end on the next tick, each Sleep(1) waits a whole tick.
  Sleep(1);
  const auto s0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; ++i) Sleep(1);
  EXPECT_GE(std::chrono::steady_clock::now() - s0, std::chrono::microseconds(4 * 15625 - 1000));

  EXPECT_EQ(wt::TimerResolution(), 0u);
  EXPECT_EQ(timeBeginPeriod(5), TIMERR_NOERROR);
  EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(wt::TimerResolution(), 1u);
  EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(wt::TimerResolution(), 1u);  // still one begin of 1 ms outstanding
  EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(wt::TimerResolution(), 5u);
  EXPECT_EQ(timeEndPeriod(1), TIMERR_NOCANDO);
  EXPECT_EQ(timeEndPeriod(5), TIMERR_NOERROR);
  EXPECT_EQ(wt::TimerPeriodRequests(), 0u);
  EXPECT_EQ(timeBeginPeriod(0), TIMERR_NOCANDO);
}

}  // namespace
