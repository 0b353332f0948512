// Loading, device creation, and the Plug and Play and power requests that start and stop
// a controller. Every effect on units and logins goes through StartController and
// StopController; this file decides when they run and with which reasons.
#include <atomic>
#include <new>

#include "driver/internal.h"
#include "driver/ostrane.h"

namespace ostrane {
namespace {

constexpr uint32_t kDevicePoolDepth = 8;
constexpr size_t kInPlaceDescriptorBytes = 36;  // room for two pages
constexpr uint32_t PNP_DEVICE_NOT_DISABLEABLE = 0x20;

std::atomic<kern::DriverObject*> g_driver{nullptr};

void Unload(kern::DriverObject* driver) {
  kern::DriverObject* expected = driver;
  g_driver.compare_exchange_strong(expected, nullptr);
}

kern::NTSTATUS SignalAndStop(kern::DeviceObject*, kern::Irp*, void* context) {
  static_cast<kern::Event*>(context)->Set();
  return kern::STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassDown(ControllerDevice* d, kern::Irp* irp) {
  kern::SkipCurrentStackLocation(irp);
  return kern::CallDriver(d->lower, irp);
}

NTSTATUS PassDownAndWait(ControllerDevice* d, kern::Irp* irp) {
  kern::Event done(kern::EventType::Notification, false);
  kern::CopyCurrentStackLocationToNext(irp);
  kern::SetCompletionRoutine(irp, SignalAndStop, &done, true, true, true);
  if (kern::CallDriver(d->lower, irp) == kern::STATUS_PENDING) done.Wait();
  return irp->io_status.status;
}

NTSTATUS Complete(kern::Irp* irp, NTSTATUS status) {
  irp->io_status.status = status;
  kern::CompleteRequest(irp);
  return status;
}

void SetPnpState(ControllerDevice* d, PnpState s) {
  d->previous_pnp_state = d->pnp_state;
  d->pnp_state = s;
}

// The stop operation: open mutex held by the caller.
void StopOperation(ControllerDevice* d, bool set_d3, bool final_stop, const PnpState* new_state) {
  if (new_state != nullptr) SetPnpState(d, *new_state);
  if (d->started || final_stop) {
    {
      kern::KMutexGuard config(d->config_mutex);
      StopController(d, final_stop);
    }
    if (d->started) {
      d->device_guard.CloseAndWait();
      d->started = false;
    }
  }
  if (set_d3) {
    d->device_power = kPowerD3;
    kern::ReportDevicePowerState(d->self, kPowerD3);
  }
  if (final_stop && d->interface_enabled) {
    kern::SetDeviceInterfaceState(d->link_name, false);
    d->interface_enabled = false;
  }
}

void FreeDeviceResources(ControllerDevice* d) {
  for (BusRequestContext** c : {&d->config_context, &d->notify_context, &d->reset_context}) {
    if (*c != nullptr) d->pool.Put(*c);
    *c = nullptr;
  }
  d->pool.Delete();
  d->link_name.clear();
  if (d->power_work_item != nullptr) kern::WorkItem::Free(d->power_work_item);
  d->power_work_item = nullptr;
}

// ---- Power ------------------------------------------------------------------------------

kern::NTSTATUS PowerDownDone(kern::DeviceObject* device, kern::Irp* irp, void*) {
  // The query pass-through returns the lower driver's status from its dispatch: when that
  // was STATUS_PENDING the flag must be carried up here. (The set path marked it already.)
  if (irp->pending_returned) kern::MarkIrpPending(irp);
  kern::StartNextPowerIrp(irp);
  Controller(device)->remove_lock.Release();
  return kern::STATUS_SUCCESS;
}

// Power requests come one at a time, so the one being processed lives in the device.
void PowerDownWork(kern::DeviceObject*, void* context) {
  auto* d = static_cast<ControllerDevice*>(context);
  kern::Irp* irp = d->power_request;
  uint32_t state = kern::CurrentStackLocation(irp)->power.state;
  {
    kern::KMutexGuard open(d->open_mutex);
    if (state != d->device_power) StopOperation(d, true, false, nullptr);
  }
  d->power_request = nullptr;
  kern::CopyCurrentStackLocationToNext(irp);
  kern::SetCompletionRoutine(irp, PowerDownDone, nullptr, true, true, true);
  kern::CallDriver(d->lower, irp);
}

void PowerUpWork(kern::DeviceObject*, void* context) {
  auto* d = static_cast<ControllerDevice*>(context);
  kern::Irp* irp = d->power_request;
  d->power_request = nullptr;
  NTSTATUS status;
  {
    kern::KMutexGuard open(d->open_mutex);
    status = d->system_power != kPowerSystemWorking ? kern::STATUS_UNSUCCESSFUL : StartController(d);
  }
  kern::StartNextPowerIrp(irp);
  irp->io_status.status = status;
  kern::CompleteRequest(irp);
  d->remove_lock.Release();
}

kern::NTSTATUS PowerUpDone(kern::DeviceObject* device, kern::Irp* irp, void*) {
  ControllerDevice* d = Controller(device);
  if (!kern::NtSuccess(irp->io_status.status)) {
    kern::StartNextPowerIrp(irp);
    d->remove_lock.Release();
    return kern::STATUS_SUCCESS;
  }
  d->power_request = irp;
  d->power_work_item->Queue(PowerUpWork, d);
  return kern::STATUS_MORE_PROCESSING_REQUIRED;
}

kern::NTSTATUS SystemPowerDone(kern::DeviceObject* device, kern::Irp* irp, void*) {
  ControllerDevice* d = Controller(device);
  if (!kern::NtSuccess(irp->io_status.status)) {
    kern::StartNextPowerIrp(irp);
    d->remove_lock.Release();
    return kern::STATUS_SUCCESS;
  }
  kern::IoStackLocation* loc = kern::CurrentStackLocation(irp);
  uint32_t device_state = loc->power.state == kPowerSystemWorking ? kPowerD0 : kPowerD3;
  // The system request waits for the device request it caused.
  NTSTATUS s = kern::RequestPowerIrp(d->pdo, loc->minor, device_state, [d, irp](NTSTATUS status) {
    irp->io_status.status = status;
    kern::StartNextPowerIrp(irp);
    kern::CompleteRequest(irp);
    d->remove_lock.Release();
  });
  if (!kern::NtSuccess(s)) {
    irp->io_status.status = s;
    kern::StartNextPowerIrp(irp);
    d->remove_lock.Release();
    return kern::STATUS_SUCCESS;
  }
  return kern::STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS DispatchPower(kern::DeviceObject* device, kern::Irp* irp) {
  ControllerDevice* d = Controller(device);
  NTSTATUS lock = d->remove_lock.Acquire();
  if (!kern::NtSuccess(lock)) {
    kern::StartNextPowerIrp(irp);
    return Complete(irp, lock);
  }
  kern::IoStackLocation* loc = kern::CurrentStackLocation(irp);
  bool set = loc->minor == kern::IRP_MN_SET_POWER;
  bool query = loc->minor == kern::IRP_MN_QUERY_POWER;
  if (d->pnp_state != PnpState::kStarted || (!set && !query)) {
    kern::StartNextPowerIrp(irp);
    NTSTATUS s = PassDown(d, irp);
    d->remove_lock.Release();
    return s;
  }
  if (loc->power.type == kern::PowerType::System) {
    if (set) d->system_power = loc->power.state;
    kern::MarkIrpPending(irp);
    kern::CopyCurrentStackLocationToNext(irp);
    kern::SetCompletionRoutine(irp, SystemPowerDone, nullptr, true, true, true);
    kern::CallDriver(d->lower, irp);
    return kern::STATUS_PENDING;
  }
  if (set && loc->power.state < d->device_power) {
    kern::MarkIrpPending(irp);
    kern::CopyCurrentStackLocationToNext(irp);
    kern::SetCompletionRoutine(irp, PowerUpDone, nullptr, true, true, true);
    kern::CallDriver(d->lower, irp);
    return kern::STATUS_PENDING;
  }
  if (set) {
    kern::MarkIrpPending(irp);
    d->power_request = irp;
    d->power_work_item->Queue(PowerDownWork, d);
    return kern::STATUS_PENDING;
  }
  kern::CopyCurrentStackLocationToNext(irp);
  kern::SetCompletionRoutine(irp, PowerDownDone, nullptr, true, true, true);
  return kern::CallDriver(d->lower, irp);
}

NTSTATUS DispatchPnp(kern::DeviceObject* device, kern::Irp* irp) {
  ControllerDevice* d = Controller(device);
  NTSTATUS lock = d->remove_lock.Acquire();
  if (!kern::NtSuccess(lock)) return Complete(irp, lock);
  kern::IoStackLocation* loc = kern::CurrentStackLocation(irp);
  NTSTATUS status;
  switch (loc->minor) {
    case kern::IRP_MN_START_DEVICE: {
      status = PassDownAndWait(d, irp);
      if (kern::NtSuccess(status)) {
        kern::KMutexGuard open(d->open_mutex);
        status = StartController(d);
      }
      Complete(irp, status);
      break;
    }
    case kern::IRP_MN_QUERY_REMOVE_DEVICE: {
      bool refuse;
      {
        kern::KMutexGuard open(d->open_mutex);
        refuse = d->open_units.load() > 0;
        if (!refuse) SetPnpState(d, PnpState::kRemovePending);
      }
      if (refuse) {
        status = Complete(irp, kern::STATUS_UNSUCCESSFUL);
      } else {
        irp->io_status.status = kern::STATUS_SUCCESS;
        status = PassDown(d, irp);
      }
      break;
    }
    case kern::IRP_MN_REMOVE_DEVICE: {
      {
        kern::KMutexGuard open(d->open_mutex);
        PnpState removed = PnpState::kRemoved;
        StopOperation(d, true, true, &removed);
      }
      d->remove_lock.ReleaseAndWait();
      FreeDeviceResources(d);
      irp->io_status.status = kern::STATUS_SUCCESS;
      status = PassDown(d, irp);
      kern::DetachDevice(d->lower);
      kern::DeviceObject* self = d->self;
      d->~ControllerDevice();
      kern::DeleteDevice(self);
      return status;  // the remove lock was released by the wait
    }
    case kern::IRP_MN_CANCEL_REMOVE_DEVICE:
    case kern::IRP_MN_CANCEL_STOP_DEVICE: {
      status = PassDownAndWait(d, irp);
      if (kern::NtSuccess(status)) {
        kern::KMutexGuard open(d->open_mutex);
        PnpState pending = loc->minor == kern::IRP_MN_CANCEL_REMOVE_DEVICE ? PnpState::kRemovePending
                                                                          : PnpState::kStopPending;
        if (d->pnp_state == pending) d->pnp_state = d->previous_pnp_state;
      }
      Complete(irp, status);
      break;
    }
    case kern::IRP_MN_STOP_DEVICE: {
      {
        kern::KMutexGuard open(d->open_mutex);
        PnpState stopped = PnpState::kStopped;
        StopOperation(d, false, false, &stopped);
      }
      irp->io_status.status = kern::STATUS_SUCCESS;
      status = PassDown(d, irp);
      break;
    }
    case kern::IRP_MN_QUERY_STOP_DEVICE: {
      {
        kern::KMutexGuard open(d->open_mutex);
        SetPnpState(d, PnpState::kStopPending);
      }
      irp->io_status.status = kern::STATUS_SUCCESS;
      status = PassDown(d, irp);
      break;
    }
    case kern::IRP_MN_QUERY_CAPABILITIES: {
      if (loc->capabilities != nullptr) loc->capabilities->surprise_removal_ok = true;
      irp->io_status.status = kern::STATUS_SUCCESS;
      status = PassDown(d, irp);
      break;
    }
    case kern::IRP_MN_QUERY_PNP_DEVICE_STATE: {
      uintptr_t earlier = kern::NtSuccess(irp->io_status.status) ? irp->io_status.information : 0;
      irp->io_status.information = earlier | PNP_DEVICE_NOT_DISABLEABLE;
      irp->io_status.status = kern::STATUS_SUCCESS;
      status = PassDown(d, irp);
      break;
    }
    case kern::IRP_MN_SURPRISE_REMOVAL: {
      {
        kern::KMutexGuard open(d->open_mutex);
        PnpState gone = PnpState::kSurpriseRemoved;
        StopOperation(d, true, true, &gone);
      }
      irp->io_status.status = kern::STATUS_SUCCESS;
      status = PassDown(d, irp);
      break;
    }
    default:
      status = PassDown(d, irp);
      break;
  }
  d->remove_lock.Release();
  return status;
}

NTSTATUS AddDevice(kern::DriverObject* driver, kern::DeviceObject* pdo) {
  kern::DeviceObject* device = nullptr;
  NTSTATUS s = kern::CreateDevice(driver, sizeof(ControllerDevice), "", kern::FILE_DEVICE_UNKNOWN, false, &device);
  if (!kern::NtSuccess(s)) return s;
  auto* d = new (device->extension) ControllerDevice();
  d->self = device;
  d->pdo = pdo;
  d->reset_dpc.Initialize(ResetTimerDeferredCall, d);
  d->remove_lock.Initialize(kPoolTag);
  bool ok = true;
  int done = 0;  // steps to undo
  d->power_work_item = kern::WorkItem::Allocate(device);
  ok = d->power_work_item != nullptr;
  if (ok) {
    ++done;
    d->lower = kern::AttachDeviceToDeviceStack(device, pdo);
    d->transfer = static_cast<kern::DeviceObject*>(pdo->bus_context);
    ok = d->lower != nullptr && d->transfer != nullptr;
    if (d->lower != nullptr) ++done;
  }
  if (ok) {
    ok = kern::NtSuccess(kern::RegisterDeviceInterface(pdo, DeviceInterfaceGuid(), &d->link_name));
    if (ok) ++done;
  }
  if (ok) {
    ok = d->pool.Initialize(d, d->lower->stack_size, kDevicePoolDepth);
    d->config_context = ok ? d->pool.Get() : nullptr;
    d->notify_context = ok ? d->pool.Get() : nullptr;
    d->reset_context = ok ? d->pool.Get() : nullptr;
    ok = d->config_context != nullptr && d->notify_context != nullptr && d->reset_context != nullptr;
    ++done;
  }
  if (!ok) {
    if (done >= 4) FreeDeviceResources(d);
    if (done >= 3) d->link_name.clear();
    if (done >= 2) kern::DetachDevice(d->lower);
    if (d->power_work_item != nullptr) kern::WorkItem::Free(d->power_work_item);
    d->~ControllerDevice();
    kern::DeleteDevice(device);
    return kern::STATUS_NO_SUCH_DEVICE;
  }
  if ((pdo->flags & kern::DO_POWER_INRUSH) == 0) device->flags |= kern::DO_POWER_PAGABLE;
  device->flags &= ~kern::DO_DEVICE_INITIALIZING;
  return kern::STATUS_SUCCESS;
}

NTSTATUS DriverEntry(kern::DriverObject* driver) {
  // The descriptors built in place inside the driver's records have room for two pages.
  if (kern::MdlSize(reinterpret_cast<void*>(0xFFF), 4096) > kInPlaceDescriptorBytes) {
    return kern::STATUS_DRIVER_INTERNAL_ERROR;
  }
  kern::DriverObject* expected = nullptr;
  if (!g_driver.compare_exchange_strong(expected, driver)) return kern::STATUS_DRIVER_INTERNAL_ERROR;
  driver->major_function[kern::IRP_MJ_CREATE] = DispatchCreate;
  driver->major_function[kern::IRP_MJ_CLOSE] = DispatchClose;
  driver->major_function[kern::IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->major_function[kern::IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->major_function[kern::IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  driver->major_function[kern::IRP_MJ_POWER] = DispatchPower;
  driver->major_function[kern::IRP_MJ_PNP] = DispatchPnp;
  driver->add_device = AddDevice;
  driver->unload = Unload;
  return kern::STATUS_SUCCESS;
}

}  // namespace ostrane
