#include "platform/kernel/kernel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace kern {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kTag = MakeTag('T', 'e', 's', 't');
constexpr uint32_t kOtherTag = MakeTag('O', 't', 'h', 'r');
constexpr Guid kClassA = {0xE90951AD, 0xF9CA, 0x44F9, {0xAD, 0xAA, 0x0D, 0xB8, 0x40, 0x64, 0x95, 0xAE}};
constexpr Guid kClassB = {0x6BDD1FC1, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

constexpr uint32_t kBuffered = CtlCode(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr uint32_t kOutDirect = CtlCode(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr uint32_t kInDirect = CtlCode(FILE_DEVICE_UNKNOWN, 0x802, METHOD_IN_DIRECT, FILE_ANY_ACCESS);

NTSTATUS Complete(Irp* irp, NTSTATUS status, uintptr_t information = 0) {
  irp->io_status = {status, information};
  CompleteRequest(irp);
  return status;
}

// Waits in real time for a condition that another thread makes true.
template <typename F>
bool Eventually(F f, std::chrono::milliseconds limit = 5s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!f()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A device whose every request goes to `handler` (default: complete with success).
using Handler = std::function<NTSTATUS(DeviceObject*, Irp*)>;
struct FakeDevice {
  explicit FakeDevice(Handler h = nullptr, const std::string& name = "", bool exclusive = false)
      : handler(std::move(h)) {
    for (auto& f : driver.major_function) f = &FakeDevice::Thunk;
    EXPECT_EQ(CreateDevice(&driver, sizeof(FakeDevice*), name, FILE_DEVICE_UNKNOWN, exclusive,
                           &device),
              STATUS_SUCCESS);
    *static_cast<FakeDevice**>(device->extension) = this;
  }
  ~FakeDevice() {
    if (device->lower_device != nullptr) DetachDevice(device->lower_device);
    DeleteDevice(device);
  }
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  static FakeDevice* Of(DeviceObject* d) { return *static_cast<FakeDevice**>(d->extension); }
  static NTSTATUS Thunk(DeviceObject* d, Irp* irp) {
    FakeDevice* self = Of(d);
    return self->handler ? self->handler(d, irp) : Complete(irp, STATUS_SUCCESS);
  }
  void AttachOver(FakeDevice& lower) {
    ASSERT_EQ(AttachDeviceToDeviceStack(device, lower.device), lower.device);
  }

  DriverObject driver;
  DeviceObject* device = nullptr;
  Handler handler;
  void* context = nullptr;
};

// A request that a driver keeps pending, with the two ways out: completion by the driver and
// cancellation. The completer clears the cancel routine and leaves the request alone when
// the canceller has claimed it; the cancel routine acts only if the request is still here.
struct PendingSlot {
  SpinLock lock;
  Irp* irp = nullptr;

  static void CancelRoutineFn(DeviceObject* device, Irp* irp) {
    ReleaseCancelSpinLock(irp->cancel_irql);
    auto* slot = static_cast<PendingSlot*>(FakeDevice::Of(device)->context);
    bool mine;
    {
      SpinLockGuard guard(slot->lock);
      mine = slot->irp == irp;
      if (mine) slot->irp = nullptr;
    }
    if (mine) Complete(irp, STATUS_CANCELLED);
  }

  NTSTATUS Pend(Irp* request) {
    {
      SpinLockGuard guard(lock);
      SetCancelRoutine(request, &CancelRoutineFn);
      if (!request->cancel.load() || SetCancelRoutine(request, nullptr) == nullptr) {
        MarkIrpPending(request);
        irp = request;
        return STATUS_PENDING;
      }
    }
    return Complete(request, STATUS_CANCELLED);  // cancelled before it could pend
  }

  // True if this call completed the request.
  bool CompleteIt(NTSTATUS status, uintptr_t information = 0) {
    Irp* taken = nullptr;
    {
      SpinLockGuard guard(lock);
      if (irp != nullptr && SetCancelRoutine(irp, nullptr) != nullptr) {
        taken = irp;
        irp = nullptr;
      }
    }
    if (taken == nullptr) return false;
    Complete(taken, status, information);
    return true;
  }
};

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { system_ = std::make_unique<System>(Options()); }
  void TearDown() override { system_.reset(); }
  virtual SystemOptions Options() { return {}; }

  std::unique_ptr<System> system_;
};

class ManualClockTest : public KernelTest {
 protected:
  SystemOptions Options() override {
    SystemOptions o;
    o.clock = &clock_;
    return o;
  }
  ManualClock clock_;  // TearDown ends the system before the clock goes
};

class KernelDeathTest : public KernelTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KernelTest::SetUp();
  }
};

FileObject* Open(DeviceObject* device) {
  FileObject* file = nullptr;
  EXPECT_EQ(OpenFile(device, u"", &file), STATUS_SUCCESS);
  return file;
}

// ---------------------------------------------------------------------------------------
// Completion and cancellation.

TEST_F(KernelTest, CancelRacingCompletionCompletesExactlyOnce) {
  FakeDevice dev;
  PendingSlot slot;
  dev.context = &slot;
  int cancelled = 0, completed = 0;
  for (int i = 0; i < 2000; ++i) {
    Irp* irp = AllocateIrp(dev.device->stack_size);
    std::atomic<int> done{0};
    NTSTATUS final_status = STATUS_PENDING;
    irp->on_done = [&](Irp* r) {
      final_status = r->io_status.status;
      done.fetch_add(1);
    };
    NextStackLocation(irp)->major = IRP_MJ_DEVICE_CONTROL;
    dev.handler = [&](DeviceObject*, Irp* r) { return slot.Pend(r); };
    ASSERT_EQ(CallDriver(dev.device, irp), STATUS_PENDING);

    std::atomic<int> go{0};
    std::thread completer([&] {
      go.fetch_add(1);
      while (go.load() < 2) std::this_thread::yield();
      slot.CompleteIt(STATUS_SUCCESS);
    });
    std::thread canceller([&] {
      go.fetch_add(1);
      while (go.load() < 2) std::this_thread::yield();
      CancelIrp(irp);
    });
    completer.join();
    canceller.join();
    ASSERT_EQ(done.load(), 1) << "iteration " << i;
    ASSERT_TRUE(final_status == STATUS_SUCCESS || final_status == STATUS_CANCELLED);
    (final_status == STATUS_CANCELLED ? cancelled : completed)++;
    ASSERT_EQ(slot.irp, nullptr);
    FreeIrp(irp);
  }
  EXPECT_EQ(cancelled + completed, 2000);
}

TEST_F(KernelTest, CancelBeforeTheCancelRoutineIsSetCompletesAtDispatch) {
  FakeDevice dev;
  PendingSlot slot;
  dev.context = &slot;
  dev.handler = [&](DeviceObject*, Irp* r) { return slot.Pend(r); };
  Irp* irp = AllocateIrp(1);
  NTSTATUS final_status = STATUS_PENDING;
  irp->on_done = [&](Irp* r) { final_status = r->io_status.status; };
  irp->cancel.store(true);  // the cancel came first: no routine to call yet
  NextStackLocation(irp)->major = IRP_MJ_DEVICE_CONTROL;
  EXPECT_EQ(CallDriver(dev.device, irp), STATUS_CANCELLED);
  EXPECT_EQ(final_status, STATUS_CANCELLED);
  FreeIrp(irp);
}

TEST_F(KernelTest, CancelRequestsRacingDriverCompletionThroughTheIoManager) {
  FakeDevice dev;
  PendingSlot slot;
  dev.context = &slot;
  FileObject* file = Open(dev.device);
  dev.handler = [&](DeviceObject*, Irp* r) { return slot.Pend(r); };
  for (int i = 0; i < 1000; ++i) {
    std::atomic<int> done{0};
    NTSTATUS dispatch = STATUS_SUCCESS;
    uint8_t out[4] = {};
    ControlRequest req;
    req.code = kBuffered;
    req.output = out;
    req.output_length = sizeof(out);
    SendControl(file, req, [&](NTSTATUS, uintptr_t) { done.fetch_add(1); }, &dispatch);
    ASSERT_EQ(dispatch, STATUS_PENDING);
    std::atomic<int> go{0};
    std::thread completer([&] {
      go.fetch_add(1);
      while (go.load() < 2) std::this_thread::yield();
      slot.CompleteIt(STATUS_SUCCESS, 4);
    });
    std::thread canceller([&] {
      go.fetch_add(1);
      while (go.load() < 2) std::this_thread::yield();
      CancelRequests(file);  // safe even when the request has completed and gone
    });
    completer.join();
    canceller.join();
    ASSERT_EQ(done.load(), 1) << "iteration " << i;
  }
  dev.handler = nullptr;
  EXPECT_EQ(CloseFile(file), STATUS_SUCCESS);
  EXPECT_EQ(system_->OutstandingAllocations(kIrpTag), 0u);
  EXPECT_EQ(system_->OutstandingAllocations(kIoBufferTag), 0u);
}

TEST_F(KernelTest, CancelRoutineGetsTheCurrentDeviceAtDispatchLevel) {
  FakeDevice dev;
  static DeviceObject* seen_device;
  static Irql seen_level;
  seen_device = nullptr;
  Irp* irp = AllocateIrp(1);
  irp->on_done = [](Irp*) {};
  dev.handler = [](DeviceObject*, Irp* r) {
    MarkIrpPending(r);
    SetCancelRoutine(r, [](DeviceObject* d, Irp* i) {
      seen_level = CurrentIrql();
      seen_device = d;
      ReleaseCancelSpinLock(i->cancel_irql);
      Complete(i, STATUS_CANCELLED);
    });
    return STATUS_PENDING;
  };
  NextStackLocation(irp)->major = IRP_MJ_DEVICE_CONTROL;
  ASSERT_EQ(CallDriver(dev.device, irp), STATUS_PENDING);
  EXPECT_TRUE(CancelIrp(irp));
  EXPECT_EQ(seen_device, dev.device);
  EXPECT_EQ(seen_level, Irql::Dispatch);
  EXPECT_EQ(CurrentIrql(), Irql::Passive);
  EXPECT_FALSE(CancelIrp(irp)) << "no routine left to call";
  FreeIrp(irp);
}

struct Trace {
  std::mutex mutex;
  std::vector<std::string> events;
  void Add(std::string e) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(e));
  }
};

// A filter that passes requests down with a completion routine naming itself.
struct Filter {
  FakeDevice dev;
  std::string name;
  Trace* trace;
  NTSTATUS result = STATUS_SUCCESS;  // what the completion routine returns
  bool on_success = true, on_error = true;
  DeviceObject* routine_device = nullptr;

  Filter(std::string n, Trace* t) : name(std::move(n)), trace(t) {
    dev.context = this;
    dev.handler = [this](DeviceObject* d, Irp* irp) {
      CopyCurrentStackLocationToNext(irp);
      SetCompletionRoutine(irp, &Routine, this, on_success, on_error, true);
      return CallDriver(d->lower_device, irp);
    };
  }
  static NTSTATUS Routine(DeviceObject* device, Irp* irp, void* context) {
    auto* self = static_cast<Filter*>(context);
    self->routine_device = device;
    self->trace->Add(self->name);
    if (self->result != STATUS_MORE_PROCESSING_REQUIRED && irp->pending_returned) {
      MarkIrpPending(irp);
    }
    return self->result;
  }
};

TEST_F(KernelTest, CompletionRoutinesRunBottomUpWithTheirOwnersDevice) {
  Trace trace;
  FakeDevice bottom([&](DeviceObject*, Irp* irp) {
    trace.Add("bottom");
    return Complete(irp, STATUS_SUCCESS, 7);
  });
  Filter middle("middle", &trace);
  Filter top("top", &trace);
  middle.dev.AttachOver(bottom);
  top.dev.AttachOver(middle.dev);
  ASSERT_EQ(top.dev.device->stack_size, 3);
  ASSERT_EQ(AttachedDeviceTop(bottom.device), top.dev.device);

  Irp* irp = AllocateIrp(top.dev.device->stack_size);
  irp->on_done = [&](Irp* r) { trace.Add("done " + std::to_string(r->io_status.information)); };
  NextStackLocation(irp)->major = IRP_MJ_DEVICE_CONTROL;
  EXPECT_EQ(CallDriver(top.dev.device, irp), STATUS_SUCCESS);
  EXPECT_EQ(trace.events, (std::vector<std::string>{"bottom", "middle", "top", "done 7"}));
  EXPECT_EQ(middle.routine_device, middle.dev.device);
  EXPECT_EQ(top.routine_device, top.dev.device);
  EXPECT_FALSE(irp->pending_returned);
  FreeIrp(irp);
}

TEST_F(KernelTest, CompletionRoutineRunsOnlyForMatchingOutcome) {
  Trace trace;
  FakeDevice bottom([&](DeviceObject*, Irp* irp) { return Complete(irp, STATUS_SUCCESS); });
  Filter errors_only("errors", &trace);
  errors_only.on_success = false;
  errors_only.dev.AttachOver(bottom);
  Irp* irp = AllocateIrp(2);
  irp->on_done = [&](Irp*) { trace.Add("done"); };
  NextStackLocation(irp)->major = IRP_MJ_DEVICE_CONTROL;
  CallDriver(errors_only.dev.device, irp);
  EXPECT_EQ(trace.events, (std::vector<std::string>{"done"}));
  FreeIrp(irp);
}

TEST_F(KernelTest, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
  Trace trace;
  FakeDevice bottom([&](DeviceObject*, Irp* irp) { return Complete(irp, STATUS_SUCCESS); });
  Filter low("low", &trace);
  low.dev.AttachOver(bottom);
  // The top driver passes down and waits: its routine signals and keeps the request.
  struct Waiter {
    Event event;
  } waiter;
  FakeDevice top([&](DeviceObject* d, Irp* irp) {
    CopyCurrentStackLocationToNext(irp);
    SetCompletionRoutine(
        irp,
        [](DeviceObject*, Irp*, void* ctx) {
          static_cast<Waiter*>(ctx)->event.Set();
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &waiter, true, true, true);
    NTSTATUS status = CallDriver(d->lower_device, irp);
    if (status == STATUS_PENDING) waiter.event.Wait();
    trace.Add("top resumes");
    irp->io_status.information = 42;
    status = irp->io_status.status;
    CompleteRequest(irp);  // the second completion is allowed after MORE_PROCESSING_REQUIRED
    return status;
  });
  top.AttachOver(low.dev);
  Irp* irp = AllocateIrp(top.device->stack_size);
  irp->on_done = [&](Irp* r) { trace.Add("done " + std::to_string(r->io_status.information)); };
  NextStackLocation(irp)->major = IRP_MJ_PNP;
  EXPECT_EQ(CallDriver(top.device, irp), STATUS_SUCCESS);
  EXPECT_EQ(trace.events, (std::vector<std::string>{"low", "top resumes", "done 42"}));
  FreeIrp(irp);
}

TEST_F(KernelTest, RequestAllocatedWithoutOwnLocationGivesItsRoutineNoDevice) {
  FakeDevice lower([&](DeviceObject*, Irp* irp) { return Complete(irp, STATUS_SUCCESS); });
  Irp* irp = AllocateIrp(lower.device->stack_size);
  static DeviceObject* seen;
  seen = lower.device;
  NextStackLocation(irp)->major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  SetCompletionRoutine(
      irp,
      [](DeviceObject* d, Irp*, void*) {
        seen = d;
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, true, true, true);
  EXPECT_EQ(CallDriver(lower.device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen, nullptr);
  // The request is the issuer's again: reuse it for a second send.
  ReuseIrp(irp, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(irp->io_status.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(irp->current_location, irp->stack_count + 1);
  NextStackLocation(irp)->major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  EXPECT_EQ(CallDriver(lower.device, irp), STATUS_SUCCESS);
  FreeIrp(irp);
}

TEST_F(KernelTest, PendingPropagatesUpThroughLocationsWithoutRoutines) {
  Trace trace;
  Irp* held = nullptr;
  FakeDevice bottom([&](DeviceObject*, Irp* irp) {
    MarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  FakeDevice skipper([](DeviceObject* d, Irp* irp) {
    SkipCurrentStackLocation(irp);
    return CallDriver(d->lower_device, irp);
  });
  skipper.AttachOver(bottom);
  FakeDevice passer([](DeviceObject* d, Irp* irp) {
    CopyCurrentStackLocationToNext(irp);
    return CallDriver(d->lower_device, irp);
  });
  passer.AttachOver(skipper);
  Filter top("top", &trace);
  top.dev.AttachOver(passer);
  Irp* irp = AllocateIrp(top.dev.device->stack_size);
  bool pending_at_top = false;
  irp->on_done = [&](Irp* r) { pending_at_top = r->pending_returned; };
  NextStackLocation(irp)->major = IRP_MJ_READ;
  EXPECT_EQ(CallDriver(top.dev.device, irp), STATUS_PENDING);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(CurrentStackLocation(held)->device, bottom.device) << "the skipper shared its location";
  std::thread([&] { Complete(held, STATUS_SUCCESS); }).join();
  EXPECT_TRUE(pending_at_top);
  EXPECT_EQ(trace.events, (std::vector<std::string>{"top"}));
  FreeIrp(irp);
}

TEST_F(KernelTest, UnhandledMajorFunctionIsAnInvalidDeviceRequest) {
  DriverObject driver;  // no dispatch routines
  DeviceObject* device = nullptr;
  ASSERT_EQ(CreateDevice(&driver, 0, "", FILE_DEVICE_UNKNOWN, false, &device), STATUS_SUCCESS);
  Irp* irp = AllocateIrp(1);
  NTSTATUS status = STATUS_PENDING;
  irp->on_done = [&](Irp* r) { status = r->io_status.status; };
  NextStackLocation(irp)->major = IRP_MJ_WRITE;
  EXPECT_EQ(CallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
  FreeIrp(irp);
  DeleteDevice(device);
}

TEST_F(KernelDeathTest, CompletingTwiceAborts) {
  EXPECT_DEATH(
      {
        Irp* irp = AllocateIrp(1);
        Complete(irp, STATUS_SUCCESS);
        Complete(irp, STATUS_SUCCESS);
      },
      "completed twice");
}

TEST_F(KernelDeathTest, CompletingWhileHoldingASpinLockAborts) {
  EXPECT_DEATH(
      {
        SpinLock lock;
        Irp* irp = AllocateIrp(1);
        SpinLockGuard guard(lock);
        Complete(irp, STATUS_SUCCESS);
      },
      "while holding 1 spin lock");
}

TEST_F(KernelDeathTest, CompletingWithTheCancelRoutineSetAborts) {
  EXPECT_DEATH(
      {
        Irp* irp = AllocateIrp(1);
        SetCancelRoutine(irp, [](DeviceObject*, Irp*) {});
        Complete(irp, STATUS_SUCCESS);
      },
      "cancel routine still set");
}

TEST_F(KernelDeathTest, CancelRoutineThatKeepsTheCancelLockAborts) {
  EXPECT_DEATH(
      {
        Irp* irp = AllocateIrp(1);
        SetCancelRoutine(irp, [](DeviceObject*, Irp*) {});
        CancelIrp(irp);
      },
      "without releasing the cancel spin lock");
}

TEST_F(KernelDeathTest, DispatchReturningWithoutCompletingAborts) {
  EXPECT_DEATH(
      {
        FakeDevice dev;
        FileObject* file = Open(dev.device);
        dev.handler = [](DeviceObject*, Irp*) { return STATUS_SUCCESS; };
        SendControl(file, ControlRequest{kBuffered}, [](NTSTATUS, uintptr_t) {});
      },
      "without completing the request");
}

TEST_F(KernelDeathTest, ReturningPendingWithoutMarkingAborts) {
  EXPECT_DEATH(
      {
        FakeDevice dev;
        FileObject* file = Open(dev.device);
        dev.handler = [](DeviceObject*, Irp* irp) {
          std::thread([irp] { Complete(irp, STATUS_SUCCESS); }).join();
          return STATUS_PENDING;
        };
        SendControl(file, ControlRequest{kBuffered}, [](NTSTATUS, uintptr_t) {});
      },
      "without MarkIrpPending");
}

TEST_F(KernelDeathTest, ReturningAnotherStatusThanTheCompletionAborts) {
  EXPECT_DEATH(
      {
        FakeDevice dev;
        FileObject* file = Open(dev.device);
        dev.handler = [](DeviceObject*, Irp* irp) {
          Complete(irp, STATUS_CANCELLED);
          return STATUS_SUCCESS;
        };
        SendControl(file, ControlRequest{kBuffered}, [](NTSTATUS, uintptr_t) {});
      },
      "returned 00000000 for a request it completed with C0000120");
}

// ---------------------------------------------------------------------------------------
// Control requests through the I/O manager.

class ControlTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    dev_ = std::make_unique<FakeDevice>([this](DeviceObject* d, Irp* irp) { return Handle(d, irp); });
    file_ = Open(dev_->device);
  }
  void TearDown() override {
    dev_->handler = [this](DeviceObject* d, Irp* irp) { return Handle(d, irp); };
    dev_->context = nullptr;
    if (file_ != nullptr) {
      EXPECT_EQ(CloseFile(file_), STATUS_SUCCESS);
    }
    dev_.reset();
    EXPECT_EQ(system_->OutstandingAllocations(), 0u) << "the I/O manager freed everything";
    KernelTest::TearDown();
  }

  NTSTATUS Handle(DeviceObject*, Irp* irp) {
    IoStackLocation* s = CurrentStackLocation(irp);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      majors_.push_back(s->major);
      pids_.insert(irp->process_id);
      modes_.push_back(irp->requestor_mode);
      if (s->major == IRP_MJ_DEVICE_CONTROL) {
        // Requests of several threads arrive at once in some tests.
        seen_in_ = s->device_io_control.input_buffer_length;
        seen_out_ = s->device_io_control.output_buffer_length;
        seen_system_buffer_ = irp->system_buffer;
        seen_mdl_ = irp->mdl_address;
      }
    }
    if (s->major != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
    const auto& p = s->device_io_control;
    if (p.io_control_code == kBuffered) {
      auto* buf = static_cast<char*>(irp->system_buffer);
      NTSTATUS status;
      uintptr_t information;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_input_.assign(buf, buf + p.input_buffer_length);
        status = reply_status_;
        information = reply_information_;
      }
      std::memcpy(buf, "ABCDEFGH", std::min<uint32_t>(8, p.output_buffer_length));
      return Complete(irp, status, information);
    }
    if (p.io_control_code == kOutDirect) {
      void* out = GetSystemAddressForMdl(irp->mdl_address);
      if (out == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
      seen_mapping_ = out;
      std::memcpy(out, "direct", 6);
      return Complete(irp, STATUS_SUCCESS, MdlByteCount(irp->mdl_address));
    }
    if (p.io_control_code == kInDirect) {
      if (irp->mdl_address == nullptr) return Complete(irp, STATUS_SUCCESS, 0);
      auto* data = static_cast<char*>(GetSystemAddressForMdl(irp->mdl_address));
      seen_input_.assign(data, data + MdlByteCount(irp->mdl_address));
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }

  std::unique_ptr<FakeDevice> dev_;
  FileObject* file_ = nullptr;
  std::mutex mutex_;
  std::vector<uint8_t> majors_;
  std::multiset<uint32_t> pids_;
  std::vector<Mode> modes_;
  uint32_t seen_in_ = 0, seen_out_ = 0;
  void* seen_system_buffer_ = nullptr;
  Mdl* seen_mdl_ = nullptr;
  void* seen_mapping_ = nullptr;
  std::string seen_input_;
  NTSTATUS reply_status_ = STATUS_SUCCESS;
  uintptr_t reply_information_ = 3;
};

TEST_F(ControlTest, BufferedCopiesInputInAndInformationBytesBack) {
  char in[5] = "wxyz";
  char out[8];
  std::memset(out, 'z', sizeof(out));
  ControlRequest req{kBuffered, in, 4, out, sizeof(out)};
  uintptr_t information = 0;
  EXPECT_EQ(SendControlSync(file_, req, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 3u);
  EXPECT_EQ(seen_input_, "wxyz");
  EXPECT_EQ(seen_in_, 4u);
  EXPECT_EQ(seen_out_, 8u);
  EXPECT_NE(seen_system_buffer_, static_cast<void*>(in));
  EXPECT_EQ(seen_mdl_, nullptr);
  EXPECT_EQ(std::string(out, 8), "ABCzzzzz") << "only `information` bytes come back";
}

TEST_F(ControlTest, BufferedInformationBeyondTheOutputIsCutToItsLength) {
  char out[2] = {'z', 'z'};
  reply_information_ = 100;
  uintptr_t information = 0;
  EXPECT_EQ(SendControlSync(file_, ControlRequest{kBuffered, nullptr, 0, out, 2}, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(std::string(out, 2), "AB");
  EXPECT_EQ(information, 100u);
}

TEST_F(ControlTest, BufferedOutputIsNotCopiedBackForErrorsButIsForWarnings) {
  char out[4] = {'z', 'z', 'z', 'z'};
  reply_status_ = STATUS_ACCESS_DENIED;
  EXPECT_EQ(SendControlSync(file_, ControlRequest{kBuffered, nullptr, 0, out, 4}), STATUS_ACCESS_DENIED);
  EXPECT_EQ(std::string(out, 4), "zzzz");
  reply_status_ = STATUS_BUS_RESET;  // a warning: not an error
  EXPECT_EQ(SendControlSync(file_, ControlRequest{kBuffered, nullptr, 0, out, 4}), STATUS_BUS_RESET);
  EXPECT_EQ(std::string(out, 4), "ABCz");
}

TEST_F(ControlTest, OutDirectDescribesTheCallersBuffer) {
  char in[3] = "hi";
  char out[4096 + 16] = {};
  ControlRequest req{kOutDirect, in, 2, out + 16, 4096};
  uintptr_t information = 0;
  EXPECT_EQ(SendControlSync(file_, req, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 4096u);
  ASSERT_NE(seen_mdl_, nullptr);
  EXPECT_EQ(seen_mapping_, static_cast<void*>(out + 16)) << "written in place, not copied";
  EXPECT_EQ(std::string(out + 16, 6), "direct");
  ASSERT_NE(seen_system_buffer_, nullptr) << "the input travels in a system buffer";
  EXPECT_NE(seen_system_buffer_, static_cast<void*>(in));
}

TEST_F(ControlTest, InDirectLetsTheDriverReadTheOutputBuffer) {
  char header[32] = {1};
  char data[] = "payload";
  EXPECT_EQ(SendControlSync(file_, ControlRequest{kInDirect, header, 32, data, 7}), STATUS_SUCCESS);
  EXPECT_EQ(seen_input_, "payload");
}

TEST_F(ControlTest, DirectWithoutOutputHasNoDescriptor) {
  char header[32] = {1};
  EXPECT_EQ(SendControlSync(file_, ControlRequest{kInDirect, header, 32, nullptr, 0}), STATUS_SUCCESS);
  EXPECT_EQ(seen_mdl_, nullptr);
}

TEST_F(ControlTest, FailedSystemMappingReachesTheDriver) {
  char out[16];
  system_->FailSystemMappings(true);
  EXPECT_EQ(SendControlSync(file_, ControlRequest{kOutDirect, nullptr, 0, out, 16}),
            STATUS_INVALID_PARAMETER);
  system_->FailSystemMappings(false);
  EXPECT_EQ(SendControlSync(file_, ControlRequest{kOutDirect, nullptr, 0, out, 16}), STATUS_SUCCESS);
}

TEST_F(ControlTest, SystemBufferAllocationFailureCompletesWithoutTheDriver) {
  char out[8];
  system_->FailAllocationsAfter(0, [](uint32_t tag) { return tag == kIoBufferTag; });
  NTSTATUS dispatch = STATUS_SUCCESS;
  int calls = 0;
  NTSTATUS status = STATUS_SUCCESS;
  Irp* irp = SendControl(file_, ControlRequest{kBuffered, nullptr, 0, out, 8},
                         [&](NTSTATUS s, uintptr_t) {
                           ++calls;
                           status = s;
                         },
                         &dispatch);
  system_->StopFailingAllocations();
  EXPECT_EQ(irp, nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(dispatch, STATUS_INSUFFICIENT_RESOURCES);
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(std::count(majors_.begin(), majors_.end(), IRP_MJ_DEVICE_CONTROL), 0);
}

TEST_F(ControlTest, RequestsFromTwoProcessesCarryTheirProcessIds) {
  EXPECT_EQ(CurrentProcessId(), kSystemProcessId);
  auto send_as = [this](uint32_t pid, Mode mode) {
    ProcessScope as(pid);
    char out[8];
    ControlRequest req{kBuffered, nullptr, 0, out, 8};
    req.mode = mode;
    EXPECT_EQ(SendControlSync(file_, req), STATUS_SUCCESS);
  };
  std::thread a(send_as, 100, Mode::User);
  std::thread b(send_as, 200, Mode::Kernel);
  a.join();
  b.join();
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(pids_.count(100), 1u);
  EXPECT_EQ(pids_.count(200), 1u);
  EXPECT_EQ(std::count(modes_.begin(), modes_.end(), Mode::Kernel), 1);
}

TEST_F(ControlTest, PendingRequestCompletedFromADpcRunsDoneOnThatThread) {
  PendingSlot slot;
  dev_->context = &slot;
  dev_->handler = [&](DeviceObject*, Irp* irp) { return slot.Pend(irp); };
  std::thread::id done_thread;
  Irql done_level = Irql::Passive;
  Event finished;
  char out[8] = {};
  NTSTATUS dispatch = STATUS_SUCCESS;
  SendControl(file_, ControlRequest{kBuffered, nullptr, 0, out, 8},
              [&](NTSTATUS, uintptr_t) {
                done_thread = std::this_thread::get_id();
                done_level = CurrentIrql();
                finished.Set();
              },
              &dispatch);
  EXPECT_EQ(dispatch, STATUS_PENDING);
  Dpc dpc;
  dpc.Initialize([](Dpc*, void* ctx, void*, void*) {
    static_cast<PendingSlot*>(ctx)->CompleteIt(STATUS_SUCCESS, 0);
  }, &slot);
  dpc.Queue();
  finished.Wait();
  EXPECT_NE(done_thread, std::this_thread::get_id());
  EXPECT_EQ(done_level, Irql::Dispatch);
  FlushQueuedDpcs();
}

TEST_F(ControlTest, CreateCleanupCloseCarryTheFileObject) {
  FileObject* file = nullptr;
  ASSERT_EQ(OpenFile(dev_->device, u"\\unit03", &file), STATUS_SUCCESS);
  EXPECT_EQ(file->file_name, u"\\unit03");
  EXPECT_EQ(CleanupFile(file), STATUS_SUCCESS);
  EXPECT_EQ(CloseFile(file), STATUS_SUCCESS);
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(majors_, (std::vector<uint8_t>{IRP_MJ_CREATE, IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(ControlTest, CloseWithoutCleanupSendsBoth) {
  FileObject* file = Open(dev_->device);
  EXPECT_EQ(CloseFile(file), STATUS_SUCCESS);
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(majors_, (std::vector<uint8_t>{IRP_MJ_CREATE, IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(KernelTest, FailedCreateGivesNoFile) {
  FakeDevice dev([](DeviceObject*, Irp* irp) { return Complete(irp, STATUS_ACCESS_DENIED); });
  FileObject* file = reinterpret_cast<FileObject*>(1);
  EXPECT_EQ(OpenFile(dev.device, u"\\x", &file), STATUS_ACCESS_DENIED);
  EXPECT_EQ(file, nullptr);
}

TEST_F(KernelTest, ExclusiveDeviceAdmitsOneOpenFile) {
  FakeDevice dev(nullptr, "\\Device\\Excl", true);
  FileObject* first = Open(dev.device);
  FileObject* second = nullptr;
  EXPECT_EQ(OpenFile(dev.device, u"", &second), STATUS_ACCESS_DENIED);
  CloseFile(first);
  second = Open(dev.device);
  CloseFile(second);
}

TEST_F(KernelTest, NamedDevicesMustBeUnique) {
  FakeDevice dev(nullptr, "\\Device\\Same");
  DriverObject driver;
  DeviceObject* other = nullptr;
  EXPECT_EQ(CreateDevice(&driver, 0, "\\Device\\Same", 0, false, &other),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(other, nullptr);
}

// ---------------------------------------------------------------------------------------
// Execution levels, locks, deferred calls.

TEST_F(KernelTest, SpinLockRaisesToDispatchAndRestores) {
  SpinLock a(1), b(2);
  EXPECT_EQ(CurrentIrql(), Irql::Passive);
  {
    SpinLockGuard ga(a);
    EXPECT_EQ(CurrentIrql(), Irql::Dispatch);
    EXPECT_EQ(SpinLocksHeld(), 1);
    {
      SpinLockGuard gb(b);  // rank order respected
      EXPECT_EQ(SpinLocksHeld(), 2);
      EXPECT_TRUE(b.HeldByCaller());
    }
    EXPECT_EQ(CurrentIrql(), Irql::Dispatch);
  }
  EXPECT_EQ(CurrentIrql(), Irql::Passive);
  EXPECT_EQ(SpinLocksHeld(), 0);
  {
    DispatchLevelScope at_dispatch;
    LockHandle h;
    a.Acquire(h);
    a.Release(h);
    EXPECT_EQ(CurrentIrql(), Irql::Dispatch) << "released to the level of the acquire";
  }
}

TEST_F(KernelTest, KMutexIsExclusiveAcrossThreads) {
  KMutex m;
  int counter = 0;
  auto work = [&] {
    for (int i = 0; i < 1000; ++i) {
      KMutexGuard g(m);
      EXPECT_TRUE(m.HeldByCaller());
      ++counter;
    }
  };
  std::thread t1(work), t2(work);
  t1.join();
  t2.join();
  EXPECT_EQ(counter, 2000);
  EXPECT_FALSE(m.HeldByCaller());
}

#ifndef NDEBUG
TEST_F(KernelDeathTest, TakingLocksAgainstTheirRankAborts) {
  EXPECT_DEATH(
      {
        SpinLock low(1);
        SpinLock high(2);
        SpinLockGuard g1(high);
        SpinLockGuard g2(low);
      },
      "lock order: taking a lock of rank 1 while holding one of rank 2");
  EXPECT_DEATH(
      {
        KMutex open(1);
        KMutex config(2);
        KMutexGuard g1(config);
        KMutexGuard g2(open);
      },
      "lock order");
}
#endif

TEST_F(KernelDeathTest, KMutexMisuseAborts) {
  EXPECT_DEATH(
      {
        KMutex m;
        DispatchLevelScope s;
        m.Acquire();
      },
      "at dispatch level");
  EXPECT_DEATH(
      {
        KMutex m;
        KMutexGuard g(m);
        m.Acquire();
      },
      "not recursive");
}

TEST_F(KernelDeathTest, WaitingAtDispatchLevelAborts) {
  EXPECT_DEATH(
      {
        Event e;
        DispatchLevelScope s;
        e.Wait();
      },
      "at dispatch level");
  EXPECT_DEATH(
      {
        DispatchLevelScope s;
        FlushQueuedDpcs();
      },
      "FlushQueuedDpcs above passive level");
}

struct DpcProbe {
  std::atomic<int> runs{0};
  std::atomic<int> not_dispatch{0};
  std::atomic<int> wrong_pid{0};
};

void ProbeRoutine(Dpc*, void* context, void*, void*) {
  auto* p = static_cast<DpcProbe*>(context);
  if (CurrentIrql() != Irql::Dispatch) p->not_dispatch.fetch_add(1);
  if (CurrentProcessId() != kSystemProcessId) p->wrong_pid.fetch_add(1);
  std::this_thread::sleep_for(50us);
  p->runs.fetch_add(1);
}

TEST_F(KernelTest, FlushQueuedDpcsWaitsForEveryEarlierDpc) {
  DpcProbe probe;
  std::vector<Dpc> dpcs(200);
  // Queued from several threads so that every processor's queue has work.
  auto queue_range = [&](size_t from, size_t to) {
    ProcessScope as_user(77);
    for (size_t i = from; i < to; ++i) {
      dpcs[i].Initialize(&ProbeRoutine, &probe);
      EXPECT_TRUE(dpcs[i].Queue());
    }
  };
  std::thread a(queue_range, 0, 100), b(queue_range, 100, 200);
  a.join();
  b.join();
  FlushQueuedDpcs();
  EXPECT_EQ(probe.runs.load(), 200);
  EXPECT_EQ(probe.not_dispatch.load(), 0);
  EXPECT_EQ(probe.wrong_pid.load(), 0);
}

TEST_F(KernelTest, QueueingAQueuedDpcChangesNothing) {
  std::atomic<bool> release{false};
  Dpc blocker;
  blocker.Initialize([](Dpc*, void* ctx, void*, void*) {
    while (!static_cast<std::atomic<bool>*>(ctx)->load()) std::this_thread::sleep_for(100us);
  }, &release);
  struct Seen {
    std::atomic<int> runs{0};
    void* arg1 = nullptr;
  } seen;
  Dpc target;
  target.Initialize([](Dpc*, void* ctx, void* arg1, void*) {
    auto* s = static_cast<Seen*>(ctx);
    s->arg1 = arg1;
    s->runs.fetch_add(1);
  }, &seen);
  int first = 1, second = 2;
  ASSERT_TRUE(blocker.Queue());  // this thread's queue is busy until released
  EXPECT_TRUE(target.Queue(&first));
  EXPECT_TRUE(target.IsQueued());
  EXPECT_FALSE(target.Queue(&second));
  release.store(true);
  FlushQueuedDpcs();
  EXPECT_EQ(seen.runs.load(), 1);
  EXPECT_EQ(seen.arg1, &first) << "the second queueing left the arguments alone";
  EXPECT_FALSE(target.IsQueued());
  EXPECT_TRUE(target.Queue(&second));
  FlushQueuedDpcs();
  EXPECT_EQ(seen.runs.load(), 2);
}

TEST_F(KernelTest, DpcMayQueueItselfAgain) {
  struct Chain {
    int left = 5;
    int runs = 0;
  } chain;
  Dpc dpc;
  dpc.Initialize([](Dpc* self, void* ctx, void*, void*) {
    auto* c = static_cast<Chain*>(ctx);
    ++c->runs;
    if (--c->left > 0) self->Queue();
  }, &chain);
  dpc.Queue();
  system_->Quiesce();
  EXPECT_EQ(chain.runs, 5);
}

TEST_F(KernelTest, SpinLockInsideADpcStaysAtDispatch) {
  struct Probe {
    SpinLock lock;
    Irql inside = Irql::Passive, after = Irql::Passive;
    int held_inside = 0;
  } probe;
  Dpc dpc;
  dpc.Initialize([](Dpc*, void* ctx, void*, void*) {
    auto* p = static_cast<Probe*>(ctx);
    {
      SpinLockGuard g(p->lock);
      p->inside = CurrentIrql();
      p->held_inside = SpinLocksHeld();
    }
    p->after = CurrentIrql();
  }, &probe);
  dpc.Queue();
  FlushQueuedDpcs();
  EXPECT_EQ(probe.inside, Irql::Dispatch);
  EXPECT_EQ(probe.held_inside, 1);
  EXPECT_EQ(probe.after, Irql::Dispatch);
}

// ---------------------------------------------------------------------------------------
// Timers and clocks.

struct TimerProbe {
  Dpc dpc;
  std::atomic<int> fired{0};
  TimerProbe() {
    dpc.Initialize([](Dpc*, void* ctx, void*, void*) {
      static_cast<TimerProbe*>(ctx)->fired.fetch_add(1);
    }, this);
  }
};

TEST_F(ManualClockTest, TimerFiresWhenTheClockReachesItsDueTime) {
  TimerProbe probe;
  Timer timer;
  EXPECT_FALSE(timer.Set(1000, &probe.dpc));
  clock_.Advance(999);
  FlushQueuedDpcs();
  EXPECT_EQ(probe.fired.load(), 0);
  EXPECT_TRUE(timer.IsSet());
  clock_.Advance(1);
  FlushQueuedDpcs();
  EXPECT_EQ(probe.fired.load(), 1);
  EXPECT_FALSE(timer.IsSet());
  EXPECT_FALSE(timer.Cancel()) << "cancel fails once the timer has fired";
}

TEST_F(ManualClockTest, CancelBeforeDueStopsTheTimer) {
  TimerProbe probe;
  Timer timer;
  timer.Set(1000, &probe.dpc);
  EXPECT_TRUE(timer.Cancel());
  EXPECT_FALSE(timer.Cancel());
  clock_.Advance(5000);
  FlushQueuedDpcs();
  EXPECT_EQ(probe.fired.load(), 0);
}

TEST_F(ManualClockTest, SettingASetTimerMovesItsDueTime) {
  TimerProbe probe;
  Timer timer;
  EXPECT_FALSE(timer.Set(100, &probe.dpc));
  EXPECT_TRUE(timer.Set(1000, &probe.dpc));
  clock_.Advance(500);
  FlushQueuedDpcs();
  EXPECT_EQ(probe.fired.load(), 0);
  clock_.Advance(500);
  FlushQueuedDpcs();
  EXPECT_EQ(probe.fired.load(), 1);
}

TEST_F(ManualClockTest, TimerDueAtOnceFiresWithoutAdvancing) {
  TimerProbe probe;
  Timer timer;
  timer.Set(0, &probe.dpc);
  EXPECT_TRUE(Eventually([&] { return probe.fired.load() == 1; }));
}

TEST_F(ManualClockTest, DestroyedTimerNeverFires) {
  TimerProbe probe;
  {
    Timer timer;
    timer.Set(10, &probe.dpc);
  }
  clock_.Advance(100);
  system_->Quiesce();
  EXPECT_EQ(probe.fired.load(), 0);
}

TEST_F(ManualClockTest, ClockReadsThroughTheSystem) {
  uint64_t t0 = QueryInterruptTime();
  clock_.Advance(12345);
  EXPECT_EQ(QueryInterruptTime(), t0 + 12345);
  EXPECT_EQ(QuerySystemTime(), static_cast<int64_t>(t0 + 12345) + ManualClock::kSystemTimeBase);
}

TEST_F(ManualClockTest, WaitForTimesOutOnlyWhenTheManualClockPassesTheDeadline) {
  Event event;
  std::atomic<bool> returned{false};
  NTSTATUS status = STATUS_PENDING;
  std::thread waiter([&] {
    status = event.WaitFor(10'000);  // 1 ms of kernel time
    returned.store(true);
  });
  std::this_thread::sleep_for(30ms);  // far more real time than the timeout
  EXPECT_FALSE(returned.load());
  clock_.Advance(10'000);
  waiter.join();
  EXPECT_EQ(status, STATUS_TIMEOUT);
}

TEST_F(ManualClockTest, WaitForReturnsWhenSignalledBeforeTheDeadline) {
  Event event(EventType::Synchronization);
  NTSTATUS status = STATUS_PENDING;
  std::thread waiter([&] { status = event.WaitFor(10'000); });
  std::this_thread::sleep_for(5ms);
  event.Set();
  waiter.join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_FALSE(event.IsSignaled()) << "a synchronization event is reset by the wait";
  EXPECT_EQ(event.WaitFor(0), STATUS_TIMEOUT);
  Event notification(EventType::Notification, true);
  EXPECT_EQ(notification.WaitFor(0), STATUS_SUCCESS);
  EXPECT_TRUE(notification.IsSignaled());
}

TEST_F(KernelTest, RealClockTimerAndWaitFollowRealTime) {
  auto start = std::chrono::steady_clock::now();
  Event event;
  EXPECT_EQ(event.WaitFor(200'000), STATUS_TIMEOUT);  // 20 ms
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);

  TimerProbe probe;
  Timer timer;
  start = std::chrono::steady_clock::now();
  timer.Set(100'000, &probe.dpc);  // 10 ms
  ASSERT_TRUE(Eventually([&] { return probe.fired.load() == 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 10ms);
  int64_t now_1601 = QuerySystemTime();
  EXPECT_GT(now_1601, ManualClock::kSystemTimeBase) << "after 2020";
}

// ---------------------------------------------------------------------------------------
// Work items.

TEST_F(KernelTest, WorkItemRunsAtPassiveLevelWithItsDevice) {
  FakeDevice dev;
  struct Seen {
    Irql level = Irql::Dispatch;
    DeviceObject* device = nullptr;
    uint32_t pid = 0;
    Event done;
  } seen;
  WorkItem* item = WorkItem::Allocate(dev.device);
  ASSERT_NE(item, nullptr);
  struct Ctx {
    WorkItem* item;
    Seen* seen;
  } ctx{item, &seen};
  Dpc dpc;  // queued from dispatch level, as drivers do
  dpc.Initialize([](Dpc*, void* c, void*, void*) {
    auto* x = static_cast<Ctx*>(c);
    x->item->Queue([](DeviceObject* d, void* s) {
      auto* seen_ = static_cast<Seen*>(s);
      seen_->level = CurrentIrql();
      seen_->device = d;
      seen_->pid = CurrentProcessId();
      seen_->done.Set();
    }, x->seen);
  }, &ctx);
  dpc.Queue();
  seen.done.Wait();
  system_->Quiesce();
  EXPECT_EQ(seen.level, Irql::Passive);
  EXPECT_EQ(seen.device, dev.device);
  EXPECT_EQ(seen.pid, kSystemProcessId);
  WorkItem::Free(item);
  EXPECT_EQ(system_->OutstandingAllocations(kWorkItemTag), 0u);
}

TEST_F(KernelTest, QueuedWorkItemKeepsADeletedDeviceObject) {
  DriverObject driver;
  DeviceObject* device = nullptr;
  ASSERT_EQ(CreateDevice(&driver, 64, "\\Device\\Doomed", 0, false, &device), STATUS_SUCCESS);
  WorkItem* item = WorkItem::Allocate(device);
  struct Ctx {
    Event go;
    std::string name;
  } ctx;
  item->Queue([](DeviceObject* d, void* c) {
    auto* x = static_cast<Ctx*>(c);
    x->go.Wait();
    x->name = d->name;  // still readable: the work item keeps the object
  }, &ctx);
  DeleteDevice(device);
  ctx.go.Set();
  system_->Quiesce();
  EXPECT_EQ(ctx.name, "\\Device\\Doomed");
  WorkItem::Free(item);
  EXPECT_EQ(system_->OutstandingAllocations(kDeviceTag), 0u);
}

TEST_F(KernelTest, WorkItemAllocationFailsUnderInjection) {
  system_->FailAllocationsAfter(0);
  EXPECT_EQ(WorkItem::Allocate(nullptr), nullptr);
  system_->StopFailingAllocations();
  WorkItem* item = WorkItem::Allocate(nullptr);
  ASSERT_NE(item, nullptr);
  WorkItem::Free(item);
}

TEST_F(KernelDeathTest, QueueingAQueuedWorkItemAborts) {
  EXPECT_DEATH(
      {
        // Every worker is kept busy, so the item stays queued.
        static Event hold;
        for (int i = 0; i < SystemOptions().worker_threads; ++i) {
          WorkItem::Allocate(nullptr)->Queue([](DeviceObject*, void*) { hold.Wait(); }, nullptr);
        }
        WorkItem* item = WorkItem::Allocate(nullptr);
        item->Queue([](DeviceObject*, void*) {}, nullptr);
        item->Queue([](DeviceObject*, void*) {}, nullptr);
      },
      "work item queued again");
}

// ---------------------------------------------------------------------------------------
// Pools and lookaside lists.

TEST_F(KernelTest, PoolAccountingCountsPerTag) {
  void* a = AllocatePool(PoolType::NonPaged, 10, kTag);
  void* b = AllocatePool(PoolType::NonPaged, 20, kTag);
  void* c = AllocatePool(PoolType::Paged, 30, kOtherTag, PoolPriority::High);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_EQ(system_->OutstandingAllocations(kTag), 2u);
  EXPECT_EQ(system_->OutstandingAllocations(kOtherTag), 1u);
  EXPECT_EQ(system_->OutstandingAllocations(), 3u);
  FreePool(a);
  FreePool(c);
  EXPECT_EQ(system_->OutstandingAllocations(kTag), 1u);
  EXPECT_EQ(system_->OutstandingAllocations(), 1u);
  FreePool(b);
  EXPECT_EQ(system_->OutstandingAllocations(), 0u);
}

// As the real pool places blocks: one of a page or more starts on a page, a smaller one
// never crosses a page boundary, so a one-page descriptor of anything inside it holds.
TEST_F(KernelTest, PoolBlocksArePlacedAsTheRealPoolPlacesThem) {
  std::vector<void*> blocks;
  for (size_t bytes : {size_t{1}, size_t{88}, size_t{600}, size_t{2000}, size_t{4070}, size_t{4080}, size_t{4096},
                       size_t{5000}, size_t{3 * kPageSize}}) {
    for (int i = 0; i < 64; ++i) {
      void* p = AllocatePool(PoolType::NonPaged, bytes, kTag);
      ASSERT_NE(p, nullptr);
      const uintptr_t a = reinterpret_cast<uintptr_t>(p);
      EXPECT_EQ(a % 16, 0u);
      if (bytes > kPageSize - 16) {
        EXPECT_EQ(a % kPageSize, 0u) << bytes;
      } else {
        EXPECT_LE(a % kPageSize + bytes, kPageSize) << bytes;
      }
      std::memset(p, 0, bytes);
      blocks.push_back(p);
    }
  }
  LookasideList list;
  list.Initialize(5000, kTag, 0);
  void* entry = list.Allocate();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(entry) % kPageSize, 0u);
  list.Free(entry);
  list.Delete();
  for (void* p : blocks) FreePool(p);
  EXPECT_EQ(system_->OutstandingAllocations(), 0u);
}

TEST_F(KernelTest, FailAllocationsAfterLetsNSucceedThenFails) {
  system_->FailAllocationsAfter(2);
  void* a = AllocatePool(PoolType::NonPaged, 8, kTag);
  Irp* irp = AllocateIrp(1);  // requests count as allocations
  void* c = AllocatePool(PoolType::NonPaged, 8, kTag);
  Mdl* mdl = AllocateMdl(a, 8);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(irp, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(mdl, nullptr);
  system_->StopFailingAllocations();
  c = AllocatePool(PoolType::NonPaged, 8, kTag);
  EXPECT_NE(c, nullptr);
  FreePool(a);
  FreePool(c);
  FreeIrp(irp);
  EXPECT_EQ(system_->OutstandingAllocations(), 0u);
}

TEST_F(KernelTest, FailureFilterCountsOnlyTheTagsItAccepts) {
  system_->FailAllocationsAfter(1, [](uint32_t tag) { return tag == kTag; });
  void* other1 = AllocatePool(PoolType::NonPaged, 8, kOtherTag);
  void* mine1 = AllocatePool(PoolType::NonPaged, 8, kTag);
  void* other2 = AllocatePool(PoolType::NonPaged, 8, kOtherTag);
  void* mine2 = AllocatePool(PoolType::NonPaged, 8, kTag);
  EXPECT_NE(other1, nullptr);
  EXPECT_NE(mine1, nullptr);
  EXPECT_NE(other2, nullptr);
  EXPECT_EQ(mine2, nullptr);
  system_->StopFailingAllocations();
  FreePool(other1);
  FreePool(other2);
  FreePool(mine1);
}

TEST_F(KernelDeathTest, PoolMisuseAborts) {
  EXPECT_DEATH(
      {
        DispatchLevelScope s;
        AllocatePool(PoolType::Paged, 8, kTag);
      },
      "paged pool allocated at dispatch level");
  EXPECT_DEATH(
      {
        LookasideList list;
        list.Initialize(32, kTag);
        FreePool(list.Allocate());
      },
      "FreePool of a lookaside list entry");
}

TEST_F(KernelTest, LookasideListReusesEntriesAndCountsThoseHandedOut) {
  LookasideList list;
  list.Initialize(64, kTag, 4);
  void* a = list.Allocate();
  ASSERT_NE(a, nullptr);
  std::memset(a, 0x5A, 64);
  EXPECT_EQ(system_->OutstandingAllocations(kTag), 1u);
  list.Free(a);
  EXPECT_EQ(system_->OutstandingAllocations(kTag), 0u);
  void* b = list.Allocate();
  EXPECT_EQ(b, a) << "served from the cache";
  system_->FailAllocationsAfter(0);
  list.Free(b);
  EXPECT_EQ(list.Allocate(), nullptr) << "injection applies with a cached entry too";
  system_->StopFailingAllocations();
  std::vector<void*> many;
  for (int i = 0; i < 10; ++i) many.push_back(list.Allocate());
  EXPECT_EQ(system_->OutstandingAllocations(kTag), 10u);
  for (void* p : many) list.Free(p);
  list.Delete();
  EXPECT_EQ(system_->OutstandingAllocations(), 0u);
}

TEST_F(KernelDeathTest, DeletingALookasideListWithEntriesOutAborts) {
  EXPECT_DEATH(
      {
        LookasideList list;
        list.Initialize(16, kTag);
        list.Allocate();
        list.Delete();
      },
      "deleted with 1 entries handed out");
}

// ---------------------------------------------------------------------------------------
// Buffer descriptors.

void* At(uintptr_t address) { return reinterpret_cast<void*>(address); }

TEST_F(KernelTest, PagesSpannedCountsEveryTouchedPage) {
  struct Row {
    const char* name;
    uintptr_t va;
    size_t length;
    size_t pages;
  };
  const Row rows[] = {
      {"empty", 0x10010, 0, 0},
      {"one byte", 0x10000, 1, 1},
      {"a page aligned", 0x10000, 4096, 1},
      {"a page one byte in", 0x10001, 4096, 2},
      {"a page at the last byte", 0x10FFF, 4096, 2},
      {"two bytes over a boundary", 0x10FFF, 2, 2},
      {"a page and a byte", 0x10000, 4097, 2},
      {"2 MiB plus offset", 0x10800, 2 * 1024 * 1024, 513},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(PagesSpanned(At(r.va), r.length), r.pages) << r.name;
  }
}

TEST_F(KernelTest, MdlSizeOfAPageAtOffset0xFFFIs36Bytes) {
  EXPECT_EQ(MdlSize(At(0x20FFF), 4096), 36u);
  EXPECT_EQ(MdlSize(At(0x20000), 4096), 32u);
}

class LargeMdlHeaderTest : public KernelTest {
 protected:
  SystemOptions Options() override {
    SystemOptions o;
    o.mdl_header_bytes = 48;
    return o;
  }
};

TEST_F(LargeMdlHeaderTest, MdlSizeFollowsTheSystemsHeader) {
  EXPECT_EQ(MdlSize(At(0x20FFF), 4096), 56u);
}

TEST_F(KernelTest, PartialDescriptorOfNonpagedMemoryIsMappedAtOnce) {
  alignas(4096) static uint8_t buffer[3 * 4096];
  InlineMdl<4> whole;
  InitializeMdl(&whole, buffer, sizeof(buffer), 4);
  BuildMdlForNonPagedPool(&whole);
  EXPECT_EQ(GetSystemAddressForMdl(&whole), buffer);
  InlineMdl<2> part;
  InitializeMdl(&part, buffer, 0, 2);
  BuildPartialMdl(&whole, &part, buffer + 0xFFF, 4096);
  EXPECT_TRUE(part.partial);
  EXPECT_EQ(MdlVirtualAddress(&part), buffer + 0xFFF);
  EXPECT_EQ(MdlByteCount(&part), 4096u);
  system_->FailSystemMappings(true);  // no mapping needed for nonpaged memory
  EXPECT_EQ(GetSystemAddressForMdl(&part), buffer + 0xFFF);
  system_->FailSystemMappings(false);
  BuildPartialMdl(&whole, &part, buffer + 4096, 0);  // to the end of the source
  EXPECT_EQ(MdlByteCount(&part), 2u * 4096);
}

TEST_F(KernelTest, PartialDescriptorOfACallersBufferIsMappedOnDemand) {
  std::vector<uint8_t> buffer(8192);
  Mdl* whole = AllocateMdl(buffer.data(), 8192);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole->page_capacity, PagesSpanned(buffer.data(), 8192));
  Mdl* part = AllocateMdl(buffer.data(), 8192);  // room for any part of the buffer
  BuildPartialMdl(whole, part, buffer.data() + 10, 100);
  EXPECT_EQ(part->mapped_va, nullptr);
  system_->FailSystemMappings(true);
  EXPECT_EQ(GetSystemAddressForMdl(part), nullptr);
  system_->FailSystemMappings(false);
  EXPECT_EQ(GetSystemAddressForMdl(part), buffer.data() + 10);
  PrepareMdlForReuse(part);
  BuildPartialMdl(whole, part, buffer.data() + 200, 50);
  EXPECT_EQ(GetSystemAddressForMdl(part), buffer.data() + 200);
  FreeMdl(part);
  FreeMdl(whole);
  EXPECT_EQ(system_->OutstandingAllocations(kMdlTag), 0u);
}

TEST_F(KernelDeathTest, DescriptorMisuseAborts) {
  alignas(4096) static uint8_t buffer[3 * 4096];
  EXPECT_DEATH(
      {
        InlineMdl<2> m;
        InitializeMdl(&m, buffer + 1, 2 * 4096, 2);
      },
      "spans 3 pages, room for 2");
  EXPECT_DEATH(
      {
        InlineMdl<3> whole;
        InlineMdl<3> part;
        InitializeMdl(&whole, buffer, 4096, 3);
        InitializeMdl(&part, buffer, 0, 3);
        BuildPartialMdl(&whole, &part, buffer + 4000, 200);
      },
      "runs past the end of its source");
  EXPECT_DEATH(
      {
        InlineMdl<3> whole;
        InlineMdl<1> part;
        InitializeMdl(&whole, buffer, sizeof(buffer), 3);
        InitializeMdl(&part, buffer, 0, 1);
        BuildPartialMdl(&whole, &part, buffer + 4000, 200);
      },
      "its storage has room for 1");
  EXPECT_DEATH(
      {
        InlineMdl<3> whole;
        InlineMdl<3> part;
        InitializeMdl(&whole, buffer, sizeof(buffer), 3);
        InitializeMdl(&part, buffer, 0, 3);
        BuildPartialMdl(&whole, &part, buffer, 100);
        GetSystemAddressForMdl(&part);
        BuildPartialMdl(&whole, &part, buffer + 100, 100);
      },
      "PrepareMdlForReuse first");
}

// ---------------------------------------------------------------------------------------
// Remove locks.

TEST_F(KernelTest, RemoveLockReleaseAndWaitWaitsForEveryHolder) {
  RemoveLock lock;
  lock.Initialize(kTag);
  ASSERT_EQ(lock.Acquire(), STATUS_SUCCESS);  // an in-flight request
  ASSERT_EQ(lock.Acquire(), STATUS_SUCCESS);  // the remove request itself
  std::atomic<bool> returned{false};
  std::thread remover([&] {
    lock.ReleaseAndWait();
    returned.store(true);
  });
  ASSERT_TRUE(Eventually([&] {
    if (lock.Acquire() == STATUS_DELETE_PENDING) return true;
    lock.Release();  // not begun yet
    return false;
  }));
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(returned.load());
  lock.Release();  // the in-flight request ends
  remover.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(lock.Acquire(), STATUS_DELETE_PENDING);
}

TEST_F(KernelDeathTest, ReleaseAndWaitWithoutHoldingAborts) {
  EXPECT_DEATH(
      {
        RemoveLock lock;
        lock.Initialize(kTag);
        lock.ReleaseAndWait();
      },
      "without holding it");
}

// ---------------------------------------------------------------------------------------
// Device interfaces.

TEST_F(KernelTest, DeviceInterfacesRegisterEnableListAndResolve) {
  FakeDevice pdo(nullptr, "\\Device\\vbus0");
  FakeDevice fdo;
  fdo.AttachOver(pdo);
  EXPECT_EQ(GuidToString(kClassA), "{E90951AD-F9CA-44F9-ADAA-0DB8406495AE}");
  std::string link, again, other;
  ASSERT_EQ(RegisterDeviceInterface(pdo.device, kClassA, &link), STATUS_SUCCESS);
  EXPECT_EQ(link, "\\??\\Device#vbus0#{E90951AD-F9CA-44F9-ADAA-0DB8406495AE}");
  ASSERT_EQ(RegisterDeviceInterface(pdo.device, kClassA, &again), STATUS_SUCCESS);
  EXPECT_EQ(again, link);
  ASSERT_EQ(RegisterDeviceInterface(pdo.device, kClassB, &other), STATUS_SUCCESS);
  EXPECT_NE(other, link);

  EXPECT_TRUE(ListDeviceInterfaces(kClassA, false).empty());
  ASSERT_EQ(ListDeviceInterfaces(kClassA, true).size(), 1u);
  EXPECT_EQ(ResolveDeviceInterface(link), nullptr) << "disabled";

  EXPECT_EQ(SetDeviceInterfaceState(link, true), STATUS_SUCCESS);
  auto enabled = ListDeviceInterfaces(kClassA, false);
  ASSERT_EQ(enabled.size(), 1u);
  EXPECT_EQ(enabled[0].symbolic_link, link);
  EXPECT_EQ(enabled[0].pdo, pdo.device);
  EXPECT_TRUE(enabled[0].enabled);
  EXPECT_TRUE(ListDeviceInterfaces(kClassB, false).empty()) << "filtered by class";
  EXPECT_EQ(ResolveDeviceInterface(link), fdo.device) << "the top of the PDO's stack";

  EXPECT_EQ(SetDeviceInterfaceState(link, false), STATUS_SUCCESS);
  EXPECT_EQ(ResolveDeviceInterface(link), nullptr);
  EXPECT_EQ(SetDeviceInterfaceState("\\??\\nothing", true), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KernelTest, UnnamedPdoGetsAStableLinkAndDeletionDropsIt) {
  std::string link;
  {
    FakeDevice pdo;
    ASSERT_EQ(RegisterDeviceInterface(pdo.device, kClassB, &link), STATUS_SUCCESS);
    EXPECT_EQ(link.rfind("\\??\\Device", 0), 0u) << link;
    std::string again;
    RegisterDeviceInterface(pdo.device, kClassB, &again);
    EXPECT_EQ(again, link);
  }
  EXPECT_TRUE(ListDeviceInterfaces(kClassB, true).empty());
}

// ---------------------------------------------------------------------------------------
// Plug and Play and power.

// A bus driver's PDO that completes PnP and power requests as a bus driver does.
struct FakeBus {
  FakeDevice pdo;
  std::vector<uint8_t> pnp_seen;
  std::mutex mutex;
  explicit FakeBus(const std::string& name) : pdo(nullptr, name) {
    pdo.handler = [this](DeviceObject*, Irp* irp) {
      IoStackLocation* s = CurrentStackLocation(irp);
      if (s->major == IRP_MJ_PNP) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          pnp_seen.push_back(s->minor);
        }
        NTSTATUS status = irp->io_status.status;  // left alone for what it does not handle
        switch (s->minor) {
          case IRP_MN_START_DEVICE:
          case IRP_MN_QUERY_REMOVE_DEVICE:
          case IRP_MN_CANCEL_REMOVE_DEVICE:
          case IRP_MN_SURPRISE_REMOVAL:
          case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
          default:
            break;
        }
        return Complete(irp, status, irp->io_status.information);
      }
      if (s->major == IRP_MJ_POWER) {
        StartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
      }
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    };
  }
};

// A tiny function driver, in the shape of a WDM one.
struct FakeFunctionDriver {
  static inline std::mutex mutex;
  static inline std::vector<std::string> log;
  static inline bool fail_entry = false;
  static inline NTSTATUS start_result = STATUS_SUCCESS;
  static inline int unloads = 0;

  struct Extension {
    DeviceObject* lower;
    DeviceObject* pdo;
    RemoveLock remove_lock;
    std::atomic<int> open_handles;
    std::string link;
  };

  static void Log(const std::string& s) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(s);
  }
  static void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    log.clear();
    fail_entry = false;
    start_result = STATUS_SUCCESS;
    unloads = 0;
  }

  static NTSTATUS Entry(DriverObject* driver) {
    Log("entry " + driver->name);
    if (fail_entry) return STATUS_DRIVER_INTERNAL_ERROR;
    driver->major_function[IRP_MJ_CREATE] = &Create;
    driver->major_function[IRP_MJ_CLEANUP] = &Simple;
    driver->major_function[IRP_MJ_CLOSE] = &Close;
    driver->major_function[IRP_MJ_PNP] = &Pnp;
    driver->major_function[IRP_MJ_POWER] = &Power;
    driver->add_device = &AddDevice;
    driver->unload = [](DriverObject*) { ++unloads; };
    return STATUS_SUCCESS;
  }

  static NTSTATUS AddDevice(DriverObject* driver, DeviceObject* pdo) {
    Log("add_device");
    DeviceObject* fdo = nullptr;
    NTSTATUS status = CreateDevice(driver, sizeof(Extension), "", FILE_DEVICE_UNKNOWN, false, &fdo);
    if (!NtSuccess(status)) return status;
    auto* ext = new (fdo->extension) Extension();
    ext->pdo = pdo;
    ext->remove_lock.Initialize(kTag);
    ext->lower = AttachDeviceToDeviceStack(fdo, pdo);
    RegisterDeviceInterface(pdo, kClassA, &ext->link);
    fdo->flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
  }

  static Extension* Ext(DeviceObject* d) { return static_cast<Extension*>(d->extension); }

  static NTSTATUS Create(DeviceObject* d, Irp* irp) {
    Ext(d)->open_handles.fetch_add(1);
    return Complete(irp, STATUS_SUCCESS);
  }
  static NTSTATUS Close(DeviceObject* d, Irp* irp) {
    Ext(d)->open_handles.fetch_sub(1);
    return Complete(irp, STATUS_SUCCESS);
  }
  static NTSTATUS Simple(DeviceObject*, Irp* irp) { return Complete(irp, STATUS_SUCCESS); }

  static NTSTATUS PassDown(DeviceObject* d, Irp* irp) {
    SkipCurrentStackLocation(irp);
    return CallDriver(Ext(d)->lower, irp);
  }
  static NTSTATUS PassDownAndWait(DeviceObject* d, Irp* irp) {
    Event event;
    CopyCurrentStackLocationToNext(irp);
    SetCompletionRoutine(
        irp,
        [](DeviceObject*, Irp*, void* ctx) {
          static_cast<Event*>(ctx)->Set();
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &event, true, true, true);
    if (CallDriver(Ext(d)->lower, irp) == STATUS_PENDING) event.Wait();
    return irp->io_status.status;
  }

  static NTSTATUS Pnp(DeviceObject* d, Irp* irp) {
    Extension* ext = Ext(d);
    IoStackLocation* s = CurrentStackLocation(irp);
    Log("pnp " + std::to_string(s->minor) + " initial " +
        std::to_string(static_cast<uint32_t>(irp->io_status.status)));
    if (ext->remove_lock.Acquire() != STATUS_SUCCESS) return Complete(irp, STATUS_DELETE_PENDING);
    switch (s->minor) {
      case IRP_MN_START_DEVICE: {
        NTSTATUS status = PassDownAndWait(d, irp);
        if (NtSuccess(status)) status = start_result;
        if (NtSuccess(status)) SetDeviceInterfaceState(ext->link, true);
        Complete(irp, status);
        ext->remove_lock.Release();
        return status;
      }
      case IRP_MN_QUERY_REMOVE_DEVICE:
        if (ext->open_handles.load() > 0) {
          ext->remove_lock.Release();
          return Complete(irp, STATUS_UNSUCCESSFUL);
        }
        irp->io_status.status = STATUS_SUCCESS;
        break;
      case IRP_MN_QUERY_CAPABILITIES:
        s->capabilities->surprise_removal_ok = true;
        irp->io_status.status = STATUS_SUCCESS;
        break;
      case IRP_MN_SURPRISE_REMOVAL:
        SetDeviceInterfaceState(ext->link, false);
        irp->io_status.status = STATUS_SUCCESS;
        break;
      case IRP_MN_REMOVE_DEVICE: {
        ext->remove_lock.ReleaseAndWait();
        SetDeviceInterfaceState(ext->link, false);
        irp->io_status.status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(d, irp);
        DetachDevice(ext->lower);
        ext->~Extension();
        DeleteDevice(d);
        return status;
      }
      default:
        break;
    }
    NTSTATUS status = PassDown(d, irp);
    ext->remove_lock.Release();
    return status;
  }

  static NTSTATUS Power(DeviceObject* d, Irp* irp) {
    IoStackLocation* s = CurrentStackLocation(irp);
    Log("power " + std::to_string(s->minor) + " " + std::to_string(s->power.state) +
        (CurrentIrql() == Irql::Passive ? " passive" : " dispatch"));
    if (s->power.type == PowerType::Device) ReportDevicePowerState(d, s->power.state);
    StartNextPowerIrp(irp);
    return PassDown(d, irp);
  }
};

class PnpTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    FakeFunctionDriver::Reset();
    ASSERT_EQ(pnp::RegisterDriver("TEST\\VSBP", "fakedrv", &FakeFunctionDriver::Entry),
              STATUS_SUCCESS);
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(FakeFunctionDriver::mutex);
    return FakeFunctionDriver::log;
  }
};

TEST_F(PnpTest, ReportedDeviceIsAddedStartedAndRemovedInOrder) {
  FakeBus bus("\\Device\\vbus0");
  pnp::ReportDevice(bus.pdo.device, "TEST\\VSBP", "0001", nullptr);
  pnp::DevicesSettled();

  auto tree = pnp::DeviceTree();
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree[0].pdo, bus.pdo.device);
  EXPECT_EQ(tree[0].hardware_id, "TEST\\VSBP");
  EXPECT_EQ(tree[0].instance_id, "0001");
  EXPECT_TRUE(tree[0].started);
  EXPECT_EQ(tree[0].start_status, STATUS_SUCCESS);
  DeviceObject* fdo = bus.pdo.device->attached_device;
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->driver->name, "fakedrv");
  EXPECT_EQ(fdo->stack_size, 2);

  // The driver enabled its interface at start; user mode finds it and opens a handle.
  auto interfaces = ListDeviceInterfaces(kClassA, false);
  ASSERT_EQ(interfaces.size(), 1u);
  DeviceObject* target = ResolveDeviceInterface(interfaces[0].symbolic_link);
  EXPECT_EQ(target, fdo);
  FileObject* file = Open(target);

  EXPECT_FALSE(pnp::RequestRemoval(bus.pdo.device)) << "refused while a handle is open";
  EXPECT_EQ(pnp::DeviceTree().size(), 1u);
  CloseFile(file);
  EXPECT_TRUE(pnp::RequestRemoval(bus.pdo.device));
  EXPECT_EQ(bus.pdo.device->attached_device, nullptr) << "the driver detached and deleted";
  EXPECT_TRUE(pnp::DeviceTree().empty());
  EXPECT_TRUE(ListDeviceInterfaces(kClassA, false).empty());

  const std::string not_supported = std::to_string(static_cast<uint32_t>(STATUS_NOT_SUPPORTED));
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "entry fakedrv", "add_device",
                       "pnp 0 initial " + not_supported,  // START_DEVICE
                       "pnp 1 initial " + not_supported,  // QUERY_REMOVE, refused
                       "pnp 3 initial " + not_supported,  // CANCEL_REMOVE
                       "pnp 1 initial " + not_supported,  // QUERY_REMOVE
                       "pnp 2 initial " + not_supported,  // REMOVE_DEVICE
                   }));
  std::lock_guard<std::mutex> lock(bus.mutex);
  EXPECT_EQ(bus.pnp_seen, (std::vector<uint8_t>{IRP_MN_START_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                                 IRP_MN_QUERY_REMOVE_DEVICE,
                                                 IRP_MN_REMOVE_DEVICE}));
  pnp::UnregisterDrivers();
  EXPECT_EQ(FakeFunctionDriver::unloads, 1);
}

TEST_F(PnpTest, DriverIsLoadedOnceForTwoDevices) {
  FakeBus a("\\Device\\a"), b("\\Device\\b");
  pnp::ReportDevice(a.pdo.device, "TEST\\VSBP", "1", nullptr);
  pnp::ReportDevice(b.pdo.device, "TEST\\VSBP", "2", a.pdo.device);
  pnp::DevicesSettled();
  auto tree = pnp::DeviceTree();
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_EQ(tree[1].parent_pdo, a.pdo.device);
  EXPECT_EQ(a.pdo.device->attached_device->driver, b.pdo.device->attached_device->driver);
  auto log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "entry fakedrv"), 1);
  EXPECT_TRUE(pnp::RequestRemoval(a.pdo.device));
  EXPECT_TRUE(pnp::RequestRemoval(b.pdo.device));
}

TEST_F(PnpTest, FailedStartIsRemovedAgainAndRecorded) {
  FakeFunctionDriver::start_result = STATUS_INSUFFICIENT_RESOURCES;
  FakeBus bus("\\Device\\vbus0");
  pnp::ReportDevice(bus.pdo.device, "TEST\\VSBP", "1", nullptr);
  pnp::DevicesSettled();
  auto tree = pnp::DeviceTree();
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_FALSE(tree[0].started);
  EXPECT_EQ(tree[0].start_status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bus.pdo.device->attached_device, nullptr);
}

TEST_F(PnpTest, FailedDriverEntryAndUnknownHardwareAreRecorded) {
  FakeFunctionDriver::fail_entry = true;
  FakeBus a("\\Device\\a"), b("\\Device\\b");
  pnp::ReportDevice(a.pdo.device, "TEST\\VSBP", "1", nullptr);
  pnp::ReportDevice(b.pdo.device, "TEST\\NONE", "1", nullptr);
  pnp::DevicesSettled();
  auto tree = pnp::DeviceTree();
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_EQ(tree[0].start_status, STATUS_DRIVER_INTERNAL_ERROR);
  EXPECT_EQ(tree[1].start_status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(a.pdo.device->attached_device, nullptr);
}

TEST_F(PnpTest, SurpriseRemovalWaitsForTheLastHandleBeforeRemoving) {
  FakeBus bus("\\Device\\vbus0");
  pnp::ReportDevice(bus.pdo.device, "TEST\\VSBP", "1", nullptr);
  pnp::DevicesSettled();
  FileObject* file = Open(bus.pdo.device);
  pnp::ReportDeviceGone(bus.pdo.device);
  pnp::DevicesSettled();
  ASSERT_NE(bus.pdo.device->attached_device, nullptr) << "the open handle keeps the stack";
  FileObject* late = nullptr;
  EXPECT_EQ(OpenFile(bus.pdo.device, u"", &late), STATUS_DELETE_PENDING);
  CloseFile(file);
  pnp::DevicesSettled();
  EXPECT_EQ(bus.pdo.device->attached_device, nullptr);
  EXPECT_TRUE(pnp::DeviceTree().empty());
  std::lock_guard<std::mutex> lock(bus.mutex);
  EXPECT_EQ(bus.pnp_seen, (std::vector<uint8_t>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                                                 IRP_MN_REMOVE_DEVICE}));
}

TEST_F(PnpTest, SendPnpAndPowerReachTheStack) {
  FakeBus bus("\\Device\\vbus0");
  pnp::ReportDevice(bus.pdo.device, "TEST\\VSBP", "1", nullptr);
  pnp::DevicesSettled();
  DeviceCapabilities caps;
  EXPECT_EQ(pnp::SendPnp(bus.pdo.device, IRP_MN_QUERY_CAPABILITIES, nullptr, &caps), STATUS_SUCCESS);
  EXPECT_TRUE(caps.surprise_removal_ok);
  EXPECT_EQ(pnp::SendPnp(bus.pdo.device, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED)
      << "nobody handled it: the initial status stands";

  EXPECT_EQ(pnp::SendPower(bus.pdo.device, IRP_MN_SET_POWER, PowerType::Device, 4), STATUS_SUCCESS);
  DeviceObject* fdo = bus.pdo.device->attached_device;
  EXPECT_EQ(fdo->power_state_reported.load(), 4);

  // A device power request asked for from dispatch level is dispatched at passive level.
  struct Ctx {
    DeviceObject* pdo = nullptr;
    Event done;
    NTSTATUS status = STATUS_PENDING;
    NTSTATUS requested = STATUS_SUCCESS;
  } ctx;
  ctx.pdo = bus.pdo.device;
  Dpc dpc;
  dpc.Initialize([](Dpc*, void* c, void*, void*) {
    auto* x = static_cast<Ctx*>(c);
    x->requested = RequestPowerIrp(x->pdo, IRP_MN_SET_POWER, 1, [x](NTSTATUS s) {
      x->status = s;
      x->done.Set();
    });
  }, &ctx);
  dpc.Queue();
  ctx.done.Wait();
  FlushQueuedDpcs();
  EXPECT_EQ(ctx.requested, STATUS_PENDING);
  EXPECT_EQ(ctx.status, STATUS_SUCCESS);
  EXPECT_EQ(fdo->power_state_reported.load(), 1);
  EXPECT_EQ(Log().back(), "power 2 1 passive");
  EXPECT_TRUE(pnp::RequestRemoval(bus.pdo.device));
}

TEST_F(PnpTest, LeavingNothingBehind) {
  {
    FakeBus bus("\\Device\\vbus0");
    pnp::ReportDevice(bus.pdo.device, "TEST\\VSBP", "1", nullptr);
    pnp::DevicesSettled();
    FileObject* f = Open(bus.pdo.device);
    CloseFile(f);
    EXPECT_TRUE(pnp::RequestRemoval(bus.pdo.device));
  }
  system_->Quiesce();
  EXPECT_EQ(system_->OutstandingAllocations(), 0u);
}

}  // namespace
}  // namespace kern
