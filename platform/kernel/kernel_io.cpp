// Requests, completion, cancellation, device stacks, remove locks, the I/O manager's part and
// device interfaces.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <new>
#include <thread>

#include "platform/kernel/kernel_internal.h"

namespace kern {

namespace {

System::Impl& Sys() { return System::Current().impl(); }

// NT_ERROR: severity "error" (the two top bits set). Warnings such as STATUS_BUS_RESET are not
// errors, so buffered output is still copied back for them.
bool IsError(NTSTATUS s) { return (static_cast<uint32_t>(s) >> 30) == 3; }

void ClearLocation(IoStackLocation& s) {
  s.control = 0;
  s.completion = nullptr;
  s.completion_context = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Request objects.

namespace {
Irp* NewIrp(int8_t stack_size) {
  Irp* irp = new Irp();
  irp->stack_count = stack_size;
  irp->stack.resize(stack_size);
  irp->current_location = static_cast<int8_t>(stack_size + 1);
  irp->process_id = CurrentProcessId();
  return irp;
}
}  // namespace

Irp* AllocateIrp(int8_t stack_size) {
  KERN_CHECK(stack_size > 0, "AllocateIrp with %d stack locations", stack_size);
  if (!Sys().Charge(kIrpTag)) return nullptr;
  return NewIrp(stack_size);
}

Irp* AllocateReservedIrp(int8_t stack_size) {
  KERN_CHECK(stack_size > 0, "AllocateIrp with %d stack locations", stack_size);
  Sys().Count(kIrpTag);
  return NewIrp(stack_size);
}

void FreeIrp(Irp* irp) {
  KERN_CHECK(irp != nullptr, "FreeIrp(null)");
  KERN_CHECK(irp->cancel_routine.load() == nullptr, "request freed with a cancel routine set");
  delete irp;
  Sys().Uncharge(kIrpTag);
}

void ReuseIrp(Irp* irp, NTSTATUS status) {
  KERN_CHECK(irp->cancel_routine.load() == nullptr, "request reused with a cancel routine set");
  irp->mdl_address = nullptr;
  irp->system_buffer = nullptr;
  irp->user_buffer = nullptr;
  irp->io_status = {status, 0};
  irp->requestor_mode = Mode::Kernel;
  irp->pending_returned = false;
  irp->cancel.store(false);
  irp->cancel_irql = Irql::Passive;
  irp->current_location = static_cast<int8_t>(irp->stack_count + 1);
  std::fill(irp->stack.begin(), irp->stack.end(), IoStackLocation());
  irp->completions.store(0);
}

IoStackLocation* CurrentStackLocation(Irp* irp) {
  KERN_CHECK(irp->current_location >= 1 && irp->current_location <= irp->stack_count,
             "request has no current stack location (%d of %d)", irp->current_location,
             irp->stack_count);
  return &irp->stack[irp->current_location - 1];
}

IoStackLocation* NextStackLocation(Irp* irp) {
  KERN_CHECK(irp->current_location >= 2 && irp->current_location <= irp->stack_count + 1,
             "request has no next stack location (current %d of %d)", irp->current_location,
             irp->stack_count);
  return &irp->stack[irp->current_location - 2];
}

void CopyCurrentStackLocationToNext(Irp* irp) {
  IoStackLocation* next = NextStackLocation(irp);
  *next = *CurrentStackLocation(irp);
  ClearLocation(*next);
}

void SkipCurrentStackLocation(Irp* irp) {
  KERN_CHECK(irp->current_location <= irp->stack_count, "skipping a location the request lacks");
  ++irp->current_location;
}

void SetCompletionRoutine(Irp* irp, CompletionRoutine routine, void* context, bool on_success,
                          bool on_error, bool on_cancel) {
  IoStackLocation* next = NextStackLocation(irp);
  next->completion = routine;
  next->completion_context = context;
  next->control = static_cast<uint8_t>((on_success ? SL_INVOKE_ON_SUCCESS : 0) |
                                       (on_error ? SL_INVOKE_ON_ERROR : 0) |
                                       (on_cancel ? SL_INVOKE_ON_CANCEL : 0));
}

void MarkIrpPending(Irp* irp) { CurrentStackLocation(irp)->control |= SL_PENDING_RETURNED; }

NTSTATUS CallDriver(DeviceObject* device, Irp* irp) {
  KERN_CHECK(device != nullptr, "CallDriver to a null device");
  KERN_CHECK(irp->current_location > 1, "no stack location left for the lower driver");
  --irp->current_location;
  IoStackLocation& s = irp->stack[irp->current_location - 1];
  s.device = device;
  KERN_CHECK(s.major <= IRP_MJ_MAXIMUM_FUNCTION, "major function %#x out of range", s.major);
  DispatchRoutine dispatch =
      device->driver != nullptr ? device->driver->major_function[s.major] : nullptr;
  if (dispatch == nullptr) {
    // The I/O manager's default for functions a driver does not handle.
    irp->io_status = {STATUS_INVALID_DEVICE_REQUEST, 0};
    CompleteRequest(irp);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(device, irp);
}

void CompleteRequest(Irp* irp) {
  KERN_CHECK(SpinLocksHeld() == 0, "request completed while holding %d spin locks",
             SpinLocksHeld());
  KERN_CHECK(irp->completions.fetch_add(1) == 0, "request %p completed twice",
             static_cast<void*>(irp));
  KERN_CHECK(irp->io_status.status != STATUS_PENDING, "request completed with STATUS_PENDING");
  KERN_CHECK(irp->cancel_routine.load() == nullptr,
             "request completed with its cancel routine still set");
  const int count = irp->stack_count;
  if (irp->current_location <= count) {
    irp->pending_returned = irp->stack[irp->current_location - 1].control & SL_PENDING_RETURNED;
  }
  while (irp->current_location <= count) {
    IoStackLocation& s = irp->stack[irp->current_location - 1];
    ++irp->current_location;
    IoStackLocation* above =
        irp->current_location <= count ? &irp->stack[irp->current_location - 1] : nullptr;
    const NTSTATUS status = irp->io_status.status;
    const bool invoke = s.completion != nullptr &&
                        ((NtSuccess(status) && (s.control & SL_INVOKE_ON_SUCCESS)) ||
                         (!NtSuccess(status) && (s.control & SL_INVOKE_ON_ERROR)) ||
                         (irp->cancel.load() && (s.control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      CompletionRoutine routine = s.completion;
      void* context = s.completion_context;
      ClearLocation(s);
      // A routine that stops completion owns the request again and may send or complete
      // it at once, even on another thread, so nothing here touches the request after a
      // routine returns STATUS_MORE_PROCESSING_REQUIRED: the count is reset before.
      irp->completions.store(0);
      DeviceObject* routine_device = above != nullptr ? above->device : nullptr;
      NTSTATUS r = routine(routine_device, irp, context);
      if (r == STATUS_MORE_PROCESSING_REQUIRED) return;
      irp->completions.store(1);
    } else {
      if (irp->pending_returned && above != nullptr) above->control |= SL_PENDING_RETURNED;
      ClearLocation(s);
    }
    if (above != nullptr) irp->pending_returned = above->control & SL_PENDING_RETURNED;
  }
  if (irp->on_done) {
    RequestDone done = irp->on_done;  // the hook may free the request
    done(irp);
  }
}

// ---------------------------------------------------------------------------------------
// Cancellation.

CancelRoutine SetCancelRoutine(Irp* irp, CancelRoutine routine) {
  return irp->cancel_routine.exchange(routine, std::memory_order_acq_rel);
}

void AcquireCancelSpinLock(Irql* old_irql) {
  System::Impl& impl = Sys();
  LockHandle handle;
  impl.cancel_lock.Acquire(handle);
  impl.cancel_handle = handle;
  *old_irql = handle.old_irql;
}

void ReleaseCancelSpinLock(Irql old_irql) {
  System::Impl& impl = Sys();
  LockHandle handle = impl.cancel_handle;
  handle.old_irql = old_irql;
  impl.cancel_lock.Release(handle);
}

bool CancelIrp(Irp* irp) {
  Irql old;
  AcquireCancelSpinLock(&old);
  irp->cancel.store(true);
  CancelRoutine routine = irp->cancel_routine.exchange(nullptr, std::memory_order_acq_rel);
  if (routine == nullptr) {
    ReleaseCancelSpinLock(old);
    return false;
  }
  irp->cancel_irql = old;
  DeviceObject* device = irp->current_location >= 1 && irp->current_location <= irp->stack_count
                             ? irp->stack[irp->current_location - 1].device
                             : nullptr;
  routine(device, irp);
  KERN_CHECK(!Sys().cancel_lock.HeldByCaller(),
             "cancel routine returned without releasing the cancel spin lock");
  return true;
}

// ---------------------------------------------------------------------------------------
// Devices.

NTSTATUS CreateDevice(DriverObject* driver, size_t extension_size, const std::string& name,
                      uint32_t device_type, bool exclusive, DeviceObject** device) {
  *device = nullptr;
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  if (!name.empty()) {
    for (auto& [d, info] : impl.devices) {
      if (!info.deleted && d->name == name) return STATUS_OBJECT_NAME_COLLISION;
    }
  }
  if (!impl.Charge(kDeviceTag)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* d = new DeviceObject();
  d->driver = driver;
  d->name = name;
  d->device_type = device_type;
  d->flags = DO_DEVICE_INITIALIZING;
  if (extension_size > 0) {
    d->extension = ::operator new(extension_size, std::align_val_t(16));
    std::memset(d->extension, 0, extension_size);
  }
  System::Impl::DeviceInfo& info = impl.devices[d];
  info.number = impl.next_device_number++;
  info.exclusive = exclusive;
  *device = d;
  return STATUS_SUCCESS;
}

void System::Impl::FreeDeviceMemory(DeviceObject* device) {
  if (device->extension != nullptr) ::operator delete(device->extension, std::align_val_t(16));
  delete device;
  Uncharge(kDeviceTag);
}

void System::Impl::ReleaseDeviceRef(DeviceObject* device) {
  bool free_now;
  {
    std::lock_guard<std::mutex> lock(io_mutex);
    auto it = devices.find(device);
    KERN_CHECK(it != devices.end() && it->second.refs > 0, "device reference underflow");
    free_now = --it->second.refs == 0 && it->second.deleted;
    if (free_now) devices.erase(it);
  }
  if (free_now) FreeDeviceMemory(device);
}

void DeleteDevice(DeviceObject* device) {
  System::Impl& impl = Sys();
  bool free_now;
  {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    auto it = impl.devices.find(device);
    KERN_CHECK(it != impl.devices.end() && !it->second.deleted,
               "DeleteDevice of a device that does not exist");
    KERN_CHECK(device->attached_device == nullptr,
               "device %p deleted while another device is attached to it",
               static_cast<void*>(device));
    KERN_CHECK(device->lower_device == nullptr,
               "device %p deleted while attached to a lower device (DetachDevice first)",
               static_cast<void*>(device));
    std::erase_if(impl.interfaces,
                  [device](const System::Impl::Interface& i) { return i.entry.pdo == device; });
    it->second.deleted = true;
    free_now = it->second.refs == 0;
    if (free_now) impl.devices.erase(it);
  }
  if (free_now) impl.FreeDeviceMemory(device);
}

DeviceObject* AttachDeviceToDeviceStack(DeviceObject* source, DeviceObject* target) {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  DeviceObject* top = target;
  while (top->attached_device != nullptr) top = top->attached_device;
  for (DeviceObject* d = top; d != nullptr; d = d->lower_device) {
    auto it = impl.devices.find(d);
    if (it != impl.devices.end() && (it->second.removing || it->second.deleted)) return nullptr;
  }
  top->attached_device = source;
  source->lower_device = top;
  source->stack_size = static_cast<int8_t>(top->stack_size + 1);
  return top;
}

void DetachDevice(DeviceObject* lower) {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  DeviceObject* upper = lower->attached_device;
  KERN_CHECK(upper != nullptr, "DetachDevice of a device with nothing attached");
  upper->lower_device = nullptr;
  lower->attached_device = nullptr;
}

DeviceObject* AttachedDeviceTop(DeviceObject* device) {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  while (device->attached_device != nullptr) device = device->attached_device;
  return device;
}

DeviceObject* BottomOfStack(DeviceObject* device) {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  while (device->lower_device != nullptr) device = device->lower_device;
  return device;
}

void ReportDevicePowerState(DeviceObject* device, uint32_t device_state) {
  device->power_state_reported.store(static_cast<int>(device_state));
}

void StartNextPowerIrp(Irp* /*irp*/) {}

// ---------------------------------------------------------------------------------------
// Remove locks.

void RemoveLock::Initialize(uint32_t tag) {
  std::lock_guard<std::mutex> lock(mutex_);
  holders_ = 1;
  removed_ = false;
  tag_ = tag;
}

NTSTATUS RemoveLock::Acquire() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (removed_) return STATUS_DELETE_PENDING;
  ++holders_;
  return STATUS_SUCCESS;
}

void RemoveLock::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  KERN_CHECK(holders_ > 0, "remove lock %08X released more often than acquired", tag_);
  if (--holders_ == 0) cv_.notify_all();
}

void RemoveLock::ReleaseAndWait() {
  KERN_CHECK(CurrentIrql() == Irql::Passive, "remove lock waited for above passive level");
  std::unique_lock<std::mutex> lock(mutex_);
  KERN_CHECK(!removed_, "remove lock %08X released and waited for twice", tag_);
  KERN_CHECK(holders_ >= 2, "ReleaseAndWait on remove lock %08X without holding it", tag_);
  removed_ = true;
  holders_ -= 2;  // the caller's hold and the lock's own
  cv_.wait(lock, [this] { return holders_ == 0; });
}

// ---------------------------------------------------------------------------------------
// Sending requests from the top: the I/O manager's and the PnP manager's requests.

namespace {

void Unpin(IoRequest* io) {
  bool free_now;
  {
    std::lock_guard<std::mutex> lock(io->mutex);
    KERN_CHECK(io->pins > 0, "request unpinned more often than pinned");
    free_now = --io->pins == 0;
  }
  if (!free_now) return;
  if (io->system_buffer != nullptr) FreePool(io->system_buffer);
  if (io->mdl != nullptr) FreeMdl(io->mdl);
  FreeIrp(io->irp);
  delete io;
}

void CheckPendingRule(IoRequest* io) {  // with io->mutex held, once both sides are known
  if (io->dispatch_status == STATUS_PENDING) {
    KERN_CHECK(io->pending_returned,
               "dispatch routine returned STATUS_PENDING without MarkIrpPending");
  } else {
    KERN_CHECK(!io->pending_returned,
               "dispatch routine marked the request pending but returned %08X",
               static_cast<uint32_t>(io->dispatch_status));
    KERN_CHECK(io->final_status == io->dispatch_status,
               "dispatch routine returned %08X for a request it completed with %08X",
               static_cast<uint32_t>(io->dispatch_status),
               static_cast<uint32_t>(io->final_status));
  }
}

void OnRequestDone(IoRequest* io, Irp* irp) {
  {
    std::lock_guard<std::mutex> lock(io->mutex);
    io->final_status = irp->io_status.status;
    io->pending_returned = irp->pending_returned;
    io->completed = true;
    if (io->dispatch_returned) CheckPendingRule(io);
  }
  // Off the file's list before the issuer hears of it, so the issuer may close the file
  // at once.
  if (io->file != nullptr) {
    System::Impl& impl = Sys();
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    auto it = impl.files.find(io->file);
    if (it != impl.files.end()) std::erase(it->second.outstanding, io);
  }
  if (io->finish) io->finish(irp);
  Unpin(io);
}

}  // namespace

NTSTATUS Dispatch(DeviceObject* top, IoRequest* io) {
  io->irp->on_done = [io](Irp* irp) { OnRequestDone(io, irp); };
  if (io->file != nullptr) {
    System::Impl& impl = Sys();
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    auto it = impl.files.find(io->file);
    KERN_CHECK(it != impl.files.end(), "request on a file object that is not open");
    it->second.outstanding.push_back(io);
  }
  const NTSTATUS status = CallDriver(top, io->irp);
  {
    std::lock_guard<std::mutex> lock(io->mutex);
    io->dispatch_returned = true;
    io->dispatch_status = status;
    KERN_CHECK(status == STATUS_PENDING || io->completed,
               "dispatch routine returned %08X without completing the request",
               static_cast<uint32_t>(status));
    if (io->completed) CheckPendingRule(io);
  }
  Unpin(io);
  return status;
}

NTSTATUS SendAndWait(DeviceObject* device, Irp* irp, FileObject* file, uintptr_t* information) {
  Event done;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  uintptr_t info = 0;
  auto* io = new IoRequest();
  io->irp = irp;
  io->file = file;
  io->finish = [&](Irp* i) {
    status = i->io_status.status;
    info = i->io_status.information;
    done.Set();
  };
  Dispatch(AttachedDeviceTop(device), io);
  done.Wait();
  if (information != nullptr) *information = info;
  return status;
}

// ---------------------------------------------------------------------------------------
// Files and control requests.

NTSTATUS OpenFile(DeviceObject* device, const std::u16string& name, FileObject** file,
                  Mode mode) {
  *file = nullptr;
  System::Impl& impl = Sys();
  DeviceObject* top = AttachedDeviceTop(device);
  {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    for (DeviceObject* d = top; d != nullptr; d = d->lower_device) {
      auto it = impl.devices.find(d);
      if (it != impl.devices.end() && (it->second.removing || it->second.deleted)) {
        return STATUS_DELETE_PENDING;
      }
    }
    auto it = impl.devices.find(device);
    if (it != impl.devices.end() && it->second.exclusive && it->second.open_files > 0) {
      return STATUS_ACCESS_DENIED;
    }
  }
  Irp* irp = AllocateIrp(top->stack_size);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* f = new FileObject();
  f->device = device;
  f->file_name = name;
  irp->requestor_mode = mode;
  IoStackLocation* s = NextStackLocation(irp);
  s->major = IRP_MJ_CREATE;
  s->file = f;
  const NTSTATUS status = SendAndWait(top, irp, nullptr, nullptr);
  if (!NtSuccess(status)) {
    delete f;
    return status;
  }
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  impl.files[f].mode = mode;
  System::Impl::DeviceInfo& info = impl.devices.at(device);
  ++info.open_files;
  ++info.refs;  // an open file keeps its device object's memory, as a handle does
  *file = f;
  return status;
}

namespace {

NTSTATUS SendFileRequest(FileObject* file, uint8_t major) {
  Mode mode;
  {
    System::Impl& impl = Sys();
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    auto it = impl.files.find(file);
    KERN_CHECK(it != impl.files.end(), "request on a file object that is not open");
    mode = it->second.mode;
  }
  DeviceObject* top = AttachedDeviceTop(file->device);
  // Cleanup and close cannot fail for want of memory (the real I/O manager has requests in
  // reserve for them).
  Irp* irp = AllocateReservedIrp(top->stack_size);
  irp->requestor_mode = mode;
  IoStackLocation* s = NextStackLocation(irp);
  s->major = major;
  s->file = file;
  return SendAndWait(top, irp, nullptr, nullptr);
}

}  // namespace

NTSTATUS CleanupFile(FileObject* file) {
  {
    System::Impl& impl = Sys();
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    auto it = impl.files.find(file);
    KERN_CHECK(it != impl.files.end() && !it->second.cleaned_up,
               "cleanup of a file object that is not open or was cleaned up");
    it->second.cleaned_up = true;
  }
  return SendFileRequest(file, IRP_MJ_CLEANUP);
}

NTSTATUS CloseFile(FileObject* file) {
  System::Impl& impl = Sys();
  bool cleaned_up;
  {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    auto it = impl.files.find(file);
    KERN_CHECK(it != impl.files.end(), "close of a file object that is not open");
    cleaned_up = it->second.cleaned_up;
  }
  if (!cleaned_up) CleanupFile(file);
  // Every request holds a reference on its file, so the close goes out only once the last
  // one has completed: a cancellation that raced the cleanup may still be finishing. A
  // request that is still outstanding long after cleanup was lost by its driver.
  for (int waited_ms = 0;; ++waited_ms) {
    {
      std::lock_guard<std::mutex> lock(impl.io_mutex);
      if (impl.files.find(file)->second.outstanding.empty()) break;
    }
    KERN_CHECK(waited_ms < 30000, "file closed with control requests outstanding (cleanup must end them)");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const NTSTATUS status = SendFileRequest(file, IRP_MJ_CLOSE);
  DeviceObject* pdo = BottomOfStack(file->device);
  bool last;
  {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    auto it = impl.files.find(file);
    KERN_CHECK(it->second.outstanding.empty(),
               "file closed with control requests outstanding (cleanup must end them)");
    impl.files.erase(it);
    --impl.devices.at(file->device).open_files;
    last = OpenFilesOnStackLocked(impl, pdo) == 0;
  }
  impl.ReleaseDeviceRef(file->device);
  delete file;
  if (last) OnStackFilesClosed(pdo);
  return status;
}

int OpenFilesOnStackLocked(System::Impl& impl, DeviceObject* pdo) {
  int n = 0;
  for (DeviceObject* d = pdo; d != nullptr; d = d->attached_device) {
    auto it = impl.devices.find(d);
    if (it != impl.devices.end()) n += it->second.open_files;
  }
  return n;
}

Irp* SendControl(FileObject* file, const ControlRequest& request,
                 std::function<void(NTSTATUS status, uintptr_t information)> done,
                 NTSTATUS* dispatch_status) {
  auto fail = [&]() -> Irp* {
    if (dispatch_status != nullptr) *dispatch_status = STATUS_INSUFFICIENT_RESOURCES;
    done(STATUS_INSUFFICIENT_RESOURCES, 0);
    return nullptr;
  };
  DeviceObject* top = AttachedDeviceTop(file->device);
  Irp* irp = AllocateIrp(top->stack_size);
  if (irp == nullptr) return fail();
  auto* io = new IoRequest();
  io->irp = irp;
  io->file = file;
  auto discard = [&]() -> Irp* {
    if (io->system_buffer != nullptr) FreePool(io->system_buffer);
    FreeIrp(irp);
    delete io;
    return fail();
  };
  const uint32_t method = MethodOf(request.code);
  if (method == METHOD_BUFFERED) {
    const uint32_t length = std::max(request.input_length, request.output_length);
    if (length > 0) {
      io->system_buffer = AllocatePool(PoolType::NonPaged, length, kIoBufferTag);
      if (io->system_buffer == nullptr) return discard();
      if (request.input_length > 0) {
        std::memcpy(io->system_buffer, request.input, request.input_length);
      }
    }
  } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    if (request.input_length > 0) {
      io->system_buffer = AllocatePool(PoolType::NonPaged, request.input_length, kIoBufferTag);
      if (io->system_buffer == nullptr) return discard();
      std::memcpy(io->system_buffer, request.input, request.input_length);
    }
    if (request.output_length > 0) {
      io->mdl = AllocateMdl(request.output, request.output_length);
      if (io->mdl == nullptr) return discard();
    }
  } else {
    irp->user_buffer = request.output;
  }
  irp->system_buffer = io->system_buffer;
  irp->mdl_address = io->mdl;
  irp->requestor_mode = request.mode;
  irp->process_id = CurrentProcessId();
  IoStackLocation* s = NextStackLocation(irp);
  s->major = request.internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  s->file = file;
  s->device_io_control.io_control_code = request.code;
  s->device_io_control.input_buffer_length = request.input_length;
  s->device_io_control.output_buffer_length = request.output_length;
  if (method == METHOD_NEITHER) {
    s->device_io_control.type3_input_buffer = const_cast<void*>(request.input);
  }
  void* output = request.output;
  const uint32_t output_length = request.output_length;
  io->finish = [done = std::move(done), method, output, output_length](Irp* i) {
    const NTSTATUS status = i->io_status.status;
    const uintptr_t information = i->io_status.information;
    if (method == METHOD_BUFFERED && !IsError(status) && output_length > 0) {
      const size_t n = std::min<uintptr_t>(information, output_length);
      if (n > 0) std::memcpy(output, i->system_buffer, n);
    }
    done(status, information);
  };
  const NTSTATUS status = Dispatch(top, io);
  if (dispatch_status != nullptr) *dispatch_status = status;
  return irp;
}

NTSTATUS SendControlSync(FileObject* file, const ControlRequest& request,
                         uintptr_t* information) {
  Event event;
  NTSTATUS result = STATUS_UNSUCCESSFUL;
  uintptr_t info = 0;
  SendControl(file, request, [&](NTSTATUS status, uintptr_t i) {
    result = status;
    info = i;
    event.Set();
  });
  event.Wait();
  if (information != nullptr) *information = info;
  return result;
}

int CancelRequests(FileObject* file, Irp* irp) {
  System::Impl& impl = Sys();
  std::vector<IoRequest*> pinned;
  {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    auto it = impl.files.find(file);
    if (it == impl.files.end()) return 0;
    for (IoRequest* io : it->second.outstanding) {
      if (irp != nullptr && io->irp != irp) continue;
      std::lock_guard<std::mutex> io_lock(io->mutex);
      ++io->pins;  // keeps the request allocated while it is cancelled
      pinned.push_back(io);
    }
  }
  int cancelled = 0;
  for (IoRequest* io : pinned) {
    if (CancelIrp(io->irp)) ++cancelled;
    Unpin(io);
  }
  return cancelled;
}

// ---------------------------------------------------------------------------------------
// Power requests.

NTSTATUS RequestPowerIrp(DeviceObject* pdo, uint8_t minor, uint32_t device_state,
                         std::function<void(NTSTATUS)> done) {
  DeviceObject* top = AttachedDeviceTop(pdo);
  Irp* irp = AllocateIrp(top->stack_size);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->io_status.status = STATUS_NOT_SUPPORTED;
  IoStackLocation* s = NextStackLocation(irp);
  s->major = IRP_MJ_POWER;
  s->minor = minor;
  s->power.type = PowerType::Device;
  s->power.state = device_state;
  auto* io = new IoRequest();
  io->irp = irp;
  io->finish = [done = std::move(done)](Irp* i) {
    if (done) done(i->io_status.status);
  };
  // Power requests of pageable stacks are dispatched at passive level.
  System::Impl& impl = Sys();
  impl.activity.fetch_add(1);
  impl.workers.Queue([pdo, io] { Dispatch(AttachedDeviceTop(pdo), io); });
  return STATUS_PENDING;
}

// ---------------------------------------------------------------------------------------
// Device interfaces.

bool Guid::operator==(const Guid& o) const {
  return data1 == o.data1 && data2 == o.data2 && data3 == o.data3 &&
         std::memcmp(data4, o.data4, sizeof(data4)) == 0;
}

std::string GuidToString(const Guid& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

NTSTATUS RegisterDeviceInterface(DeviceObject* pdo, const Guid& interface_class,
                                 std::string* symbolic_link) {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  auto dev = impl.devices.find(pdo);
  KERN_CHECK(dev != impl.devices.end() && !dev->second.deleted,
             "device interface registered on a device that does not exist");
  for (auto& i : impl.interfaces) {
    if (i.entry.pdo == pdo && i.entry.interface_class == interface_class) {
      *symbolic_link = i.entry.symbolic_link;
      return STATUS_SUCCESS;
    }
  }
  std::string base = pdo->name;
  if (base.empty()) {
    char number[24];
    std::snprintf(number, sizeof(number), "Device%08llX",
                  static_cast<unsigned long long>(dev->second.number));
    base = number;
  }
  base.erase(0, base.find_first_not_of('\\'));
  std::replace(base.begin(), base.end(), '\\', '#');
  System::Impl::Interface i;
  i.entry.symbolic_link = "\\??\\" + base + "#" + GuidToString(interface_class);
  i.entry.interface_class = interface_class;
  i.entry.pdo = pdo;
  impl.interfaces.push_back(i);
  *symbolic_link = i.entry.symbolic_link;
  return STATUS_SUCCESS;
}

NTSTATUS SetDeviceInterfaceState(const std::string& symbolic_link, bool enable) {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  for (auto& i : impl.interfaces) {
    if (i.entry.symbolic_link == symbolic_link) {
      i.entry.enabled = enable;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<DeviceInterfaceEntry> ListDeviceInterfaces(const Guid& interface_class,
                                                       bool include_disabled) {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  std::vector<DeviceInterfaceEntry> result;
  for (auto& i : impl.interfaces) {
    if (i.entry.interface_class == interface_class && (include_disabled || i.entry.enabled)) {
      result.push_back(i.entry);
    }
  }
  return result;
}

DeviceObject* ResolveDeviceInterface(const std::string& symbolic_link) {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  for (auto& i : impl.interfaces) {
    if (i.entry.symbolic_link == symbolic_link && i.entry.enabled) {
      DeviceObject* d = i.entry.pdo;
      while (d->attached_device != nullptr) d = d->attached_device;
      return d;
    }
  }
  return nullptr;
}

}  // namespace kern
