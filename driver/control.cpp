// The control interface: handles, the six control codes with their checks, and the rules
// by which a pending request meets the event that completes it.
//
// Exactly one completion per request: a pending GET or FETCH is remembered under the unit
// or slot lock together with its cancel routine. Whoever wants to complete it first clears
// the cancel routine; if that fails, a cancellation owns the request and the completer
// leaves it alone. The cancel routine always completes the request it was called for.
#include <cstring>
#include <new>

#include "driver/busops.h"
#include "driver/internal.h"

namespace ostrane {
namespace {

// The file context of a control handle: all bits set.
void* const kControlHandle = reinterpret_cast<void*>(~uintptr_t{0});
constexpr uint32_t kUnitPoolDepth = 512;

struct Buffers {
  void* in;
  uint32_t in_length;
  uint32_t out_length;
  uint32_t code;
};

Buffers BuffersOf(kern::Irp* irp) {
  kern::IoStackLocation* loc = kern::CurrentStackLocation(irp);
  return {irp->system_buffer, loc->device_io_control.input_buffer_length,
          loc->device_io_control.output_buffer_length, loc->device_io_control.io_control_code};
}

NTSTATUS Finish(kern::Irp* irp, NTSTATUS status) {
  irp->io_status.status = status;
  kern::CompleteRequest(irp);
  return status;
}

int UnitOfHandle(const kern::FileObject* file) {
  auto v = reinterpret_cast<uintptr_t>(file->fs_context);
  return v >= 1 && v <= static_cast<uintptr_t>(kUnits) ? static_cast<int>(v - 1) : -1;
}

// Parses "\unitXY": two uppercase hexadecimal digits with a value below 8.
int ParseUnitName(const std::u16string& name) {
  if (name.size() != 7 || name.compare(0, 5, vsbp::kUnitNamePrefix) != 0) return -1;
  auto digit = [](char16_t ch) -> int {
    if (ch >= u'0' && ch <= u'9') return ch - u'0';
    if (ch >= u'A' && ch <= u'F') return ch - u'A' + 10;
    return -1;
  };
  int hi = digit(name[5]), lo = digit(name[6]);
  if (hi < 0 || lo < 0) return -1;
  int value = hi * 16 + lo;
  return value < kUnits ? value : -1;
}

// ---- Cancellation -----------------------------------------------------------------------

void CancelGet(kern::DeviceObject* device, kern::Irp* irp) {
  kern::ReleaseCancelSpinLock(irp->cancel_irql);
  ControllerDevice* d = Controller(device);
  int u = UnitOfHandle(kern::CurrentStackLocation(irp)->file);
  // The unit guard keeps the record alive while it is looked at. When the guard is closed
  // the unit is being torn down and nothing remembers this request any more.
  if (u >= 0 && d->unit_guards[u].Acquire()) {
    if (UnitRecord* rec = d->units[u].load()) {
      kern::SpinLockGuard lock(rec->lock);
      if (rec->pending_get == irp) rec->pending_get = nullptr;
    }
    d->unit_guards[u].Release();
  }
  CompleteTaken(irp, kern::STATUS_CANCELLED, 0);
}

void CancelFetch(kern::DeviceObject* device, kern::Irp* irp) {
  kern::ReleaseCancelSpinLock(irp->cancel_irql);
  ControllerDevice* d = Controller(device);
  kern::IoStackLocation* loc = kern::CurrentStackLocation(irp);
  int u = UnitOfHandle(loc->file);
  auto* request = static_cast<const vsbp::FetchRequest*>(irp->system_buffer);
  if (u >= 0 && request->login_id < kSlots && d->unit_guards[u].Acquire()) {
    if (UnitRecord* rec = d->units[u].load()) {
      LoginSlot& slot = rec->slots[request->login_id];
      kern::SpinLockGuard lock(slot.lock);
      if (slot.pending_fetch == irp) {
        slot.pending_fetch = nullptr;
        ReleaseSlot(&slot);
      }
    }
    d->unit_guards[u].Release();
  }
  CompleteTaken(irp, kern::STATUS_CANCELLED, 0);
}

// Lock held. True if the request is now pending and remembered by the caller; false if
// it was cancelled before its cancel routine was in place (the caller completes it).
bool PendWithCancel(kern::Irp* irp, kern::CancelRoutine routine) {
  kern::SetCancelRoutine(irp, routine);
  if (irp->cancel.load() && kern::SetCancelRoutine(irp, nullptr) != nullptr) return false;
  // Either not cancelled, or the cancel routine is already on its way: it takes the lock
  // the caller holds, so it finds the request remembered.
  kern::MarkIrpPending(irp);
  return true;
}

// ---- Control codes ----------------------------------------------------------------------

NTSTATUS GetRequest(ControllerDevice*, UnitRecord* rec, kern::Irp* irp, const Buffers& b) {
  if (b.out_length < sizeof(vsbp::ManagementRecord)) return Finish(irp, kern::STATUS_BUFFER_TOO_SMALL);
  if (b.in_length > vsbp::kHeaderBytes) {
    NTSTATUS s = ConfigureUnit(rec, static_cast<const uint8_t*>(b.in) + vsbp::kHeaderBytes,
                               b.in_length - vsbp::kHeaderBytes);
    if (!kern::NtSuccess(s)) return Finish(irp, s);
  }
  RequestContext* queued = nullptr;
  NTSTATUS status;
  {
    kern::SpinLockGuard lock(rec->lock);
    if (rec->state == UnitState::kEmpty) {
      status = kern::STATUS_ACCESS_DENIED;
    } else if (rec->state == UnitState::kFailed) {
      status = rec->failure_status;
    } else if (rec->pending_get != nullptr) {
      status = kern::STATUS_ACCESS_DENIED;
    } else if (rec->queue_head != nullptr) {
      queued = rec->queue_head;
      rec->queue_head = queued->queue_link;
      if (rec->queue_head == nullptr) rec->queue_tail = nullptr;
      queued->queue_link = nullptr;
      // A request of an earlier generation may have been superseded by a later one from the
      // same physical ID, which keeps its entry.
      if (rec->in_progress[queued->node_id & 0x3F] == queued) rec->in_progress[queued->node_id & 0x3F] = nullptr;
      std::memcpy(irp->system_buffer, queued->buffer, sizeof(vsbp::ManagementRecord));
      irp->io_status.information = sizeof(vsbp::ManagementRecord);
      status = kern::STATUS_SUCCESS;
    } else if (PendWithCancel(irp, CancelGet)) {
      rec->pending_get = irp;
      return kern::STATUS_PENDING;
    } else {
      status = kern::STATUS_CANCELLED;
    }
  }
  if (queued != nullptr) ReleaseContext(queued);
  return Finish(irp, status);
}

NTSTATUS FetchCommand(ControllerDevice*, UnitRecord* rec, kern::Irp* irp, const Buffers& b) {
  auto* request = static_cast<const vsbp::FetchRequest*>(b.in);
  if (request->login_id >= kSlots) return Finish(irp, kern::STATUS_INVALID_PARAMETER);
  if (request->node_id != kFreeOwner && b.out_length < sizeof(vsbp::CommandRecord)) {
    return Finish(irp, kern::STATUS_BUFFER_TOO_SMALL);
  }
  uint16_t index = request->login_id;
  LoginSlot& slot = rec->slots[index];
  uint8_t speed = request->speed & 7;
  uint32_t fifo_lo = request->status_fifo_lo & ~3u;
  RequestContext* fetch = nullptr;
  RequestContext* parked = nullptr;
  NTSTATUS status;
  bool pend = false;
  {
    kern::SpinLockGuard lock(slot.lock);
    if (slot.pending_fetch != nullptr) {
      status = kern::STATUS_ACCESS_DENIED;
    } else if (slot.sticky_error) {
      status = slot.sticky_status;
    } else if (request->node_id == kFreeOwner) {
      ReleaseSlot(&slot);
      status = kern::STATUS_CANCELLED;
    } else if (request->generation != rec->generation.load()) {
      status = kern::STATUS_BUS_RESET;
    } else if (slot.owner == kFreeOwner) {
      slot.owner = request->node_id;
      slot.status_fifo_hi = request->status_fifo_hi;
      slot.status_fifo_lo = fifo_lo;
      slot.speed = speed;
      slot.generation = request->generation;
      slot.SetPointer(0, 0, kStateReset);
      slot.orb_ready = false;
      pend = true;
    } else if (request->node_id != slot.owner || request->status_fifo_hi != slot.status_fifo_hi ||
               fifo_lo != slot.status_fifo_lo || request->generation != slot.generation) {
      status = kern::STATUS_INVALID_PARAMETER;
    } else if (slot.orb_ready) {
      irp->io_status.information = WriteCommandRecord(&slot, irp->system_buffer);
      slot.speed = speed;
      slot.orb_ready = false;
      fetch = HandOverReadySlot(rec, &slot, index);
      status = kern::STATUS_SUCCESS;
    } else {
      slot.speed = speed;
      if (slot.parked == nullptr) {
        pend = true;
      } else if (slot.abort_reported) {
        // User mode has seen the abort: the task management ORB gets its status now.
        parked = slot.parked;
        slot.parked = nullptr;
        pend = true;
      } else {
        slot.abort_reported = true;
        status = kern::STATUS_REQUEST_ABORTED;
      }
    }
    if (pend) {
      if (PendWithCancel(irp, CancelFetch)) {
        slot.pending_fetch = irp;
      } else {
        ReleaseSlot(&slot);
        pend = false;
        status = kern::STATUS_CANCELLED;
      }
    }
  }
  if (parked != nullptr) SendParkedStatus(parked);
  if (fetch != nullptr) StartOrbFetch(fetch);
  if (pend) return kern::STATUS_PENDING;
  return Finish(irp, status);
}

NTSTATUS TransferData(ControllerDevice*, UnitRecord* rec, kern::Irp* irp, const Buffers& b, bool read) {
  auto* request = static_cast<const vsbp::TransferRequest*>(b.in);
  if (b.out_length == 0 || b.out_length != request->transfer_length) {
    return Finish(irp, kern::STATUS_INVALID_PARAMETER);
  }
  uint16_t opts = request->options;
  uint32_t head = vsbp::TransferHeadBytes(opts);
  uint32_t elements = 0;
  if (vsbp::options::page_table_present(opts)) {
    elements = request->data_size;
    if (elements > vsbp::kMaxPageTableElements) return Finish(irp, kern::STATUS_INVALID_PARAMETER);
  }
  if (b.in_length < head + 8 * elements) return Finish(irp, kern::STATUS_BUFFER_TOO_SMALL);
  auto* table = reinterpret_cast<const vsbp::PageTableElement*>(static_cast<const uint8_t*>(b.in) + head);
  if (PageTableTotal(opts, request->data_size, table) < request->transfer_length) {
    return Finish(irp, kern::STATUS_INVALID_PARAMETER);
  }
  RequestContext* c = rec->pool.Get();
  if (c == nullptr) return Finish(irp, kern::STATUS_INSUFFICIENT_RESOURCES);
  c->unit_index = rec->index;
  c->slot_index = request->tag;
  c->node_id = request->node_id;
  c->speed = vsbp::options::speed(opts);
  c->generation = request->generation;
  uint32_t ps_code = vsbp::options::page_size(opts);
  c->page_size = ps_code == 0 ? 0 : 256u << ps_code;
  if (vsbp::options::page_table_present(opts)) {
    UsePageTable(c, table, elements);
  } else {
    UseBuiltinSegment(c, request->data_offset_hi, request->data_offset_lo & ~3u, request->data_size);
  }
  c->buffer_mdl = irp->mdl_address;
  c->bytes_remaining = request->transfer_length;
  c->completion = EndUserDataRequest;
  c->control_request = irp;
  kern::MarkIrpPending(irp);
  StartTransfer(c, read, 4u << vsbp::options::max_payload(opts));
  return kern::STATUS_PENDING;
}

NTSTATUS HostConfigRom(ControllerDevice* d, kern::Irp* irp, const Buffers& b, bool set) {
  uint32_t length = b.out_length;
  void* buffer = irp->mdl_address != nullptr ? kern::GetSystemAddressForMdl(irp->mdl_address) : nullptr;
  if (!set) {
    if (length == 0 || length % 4 != 0 || buffer == nullptr) return Finish(irp, kern::STATUS_INVALID_PARAMETER);
    NTSTATUS s = bus::ReadHostConfigRom(d, buffer, length);
    if (kern::NtSuccess(s)) irp->io_status.information = length;
    return Finish(irp, s);
  }
  // The host's ROM is the bus driver's; a whole image is never written over it.
  if (length < 36 || length % 4 != 0 || buffer == nullptr) return Finish(irp, kern::STATUS_INVALID_PARAMETER);
  uint32_t declared = 4u * static_cast<const uint8_t*>(buffer)[0];
  return Finish(irp, declared < length ? kern::STATUS_INVALID_PARAMETER : kern::STATUS_NOT_SUPPORTED);
}

}  // namespace

kern::Irp* TakePendingGet(UnitRecord* u) {
  kern::Irp* irp = u->pending_get;
  if (irp == nullptr || kern::SetCancelRoutine(irp, nullptr) == nullptr) return nullptr;
  u->pending_get = nullptr;
  return irp;
}

void CompleteTaken(kern::Irp* irp, NTSTATUS status, uintptr_t information) {
  irp->io_status.status = status;
  irp->io_status.information = information;
  kern::CompleteRequest(irp);
}

NTSTATUS DispatchCreate(kern::DeviceObject* device, kern::Irp* irp) {
  ControllerDevice* d = Controller(device);
  NTSTATUS lock_status = d->remove_lock.Acquire();
  if (!kern::NtSuccess(lock_status)) return Finish(irp, lock_status);
  kern::FileObject* file = kern::CurrentStackLocation(irp)->file;
  NTSTATUS status = kern::STATUS_SUCCESS;
  {
    kern::KMutexGuard open(d->open_mutex);
    bool state_ok = d->pnp_state == PnpState::kStarted || d->pnp_state == PnpState::kStopPending ||
                    d->pnp_state == PnpState::kStopped;
    int u = -1;
    if (!state_ok || irp->requestor_mode != kern::Mode::User || file == nullptr ||
        file->related != nullptr || file->fs_context != nullptr) {
      status = kern::STATUS_ACCESS_DENIED;
    } else if (file->file_name.empty()) {
      file->fs_context = kControlHandle;
    } else if ((u = ParseUnitName(file->file_name)) < 0) {
      status = kern::STATUS_ACCESS_DENIED;
    } else {
      void* memory = kern::AllocatePool(kern::PoolType::NonPaged, sizeof(UnitRecord), kPoolTag,
                                        kern::PoolPriority::Normal);
      if (memory == nullptr) {
        status = kern::STATUS_INSUFFICIENT_RESOURCES;
      } else {
        std::memset(memory, 0, sizeof(UnitRecord));
        auto* rec = new (memory) UnitRecord();
        UnitRecord* expected = nullptr;
        if (!d->units[u].compare_exchange_strong(expected, rec)) {
          rec->~UnitRecord();
          kern::FreePool(memory);
          status = kern::STATUS_OBJECT_NAME_COLLISION;
        } else {
          int8_t stack = std::max(d->lower->stack_size, d->transfer->stack_size);
          rec->pool.Initialize(d, rec, &d->unit_guards[u], stack, kUnitPoolDepth);
          rec->device = d;
          rec->index = static_cast<uint8_t>(u);
          rec->owner_pid = kern::CurrentProcessId();
          for (LoginSlot& slot : rec->slots) slot.owner = kFreeOwner;
          d->owning_handle[u].store(file);
          d->unit_guards[u].Reopen();
          file->fs_context = reinterpret_cast<void*>(static_cast<uintptr_t>(u + 1));
          d->open_units.fetch_add(1);
        }
      }
    }
  }
  Finish(irp, status);
  d->remove_lock.Release();
  return status;
}

NTSTATUS DispatchClose(kern::DeviceObject*, kern::Irp* irp) { return Finish(irp, kern::STATUS_SUCCESS); }

NTSTATUS DispatchCleanup(kern::DeviceObject* device, kern::Irp* irp) {
  ControllerDevice* d = Controller(device);
  kern::FileObject* file = kern::CurrentStackLocation(irp)->file;
  UnitRecord* torn_down = nullptr;
  int u = -1;
  {
    kern::KMutexGuard open(d->open_mutex);
    u = file != nullptr ? UnitOfHandle(file) : -1;
    kern::FileObject* expected = file;
    // Only the handle that owns the unit tears it down.
    if (u >= 0 && d->owning_handle[u].compare_exchange_strong(expected, nullptr)) {
      d->open_units.fetch_sub(1);
      if (UnitRecord* rec = d->units[u].load()) {
        kern::KMutexGuard config(d->config_mutex);
        bool was_published = rec->state == UnitState::kPublished;
        StopUnit(rec, kern::STATUS_CANCELLED);
        kern::FlushQueuedDpcs();
        ResetLoginSlots(rec, kern::STATUS_CANCELLED, GenerationMode::kNone);
        if (was_published) ScheduleBusReset(d, true);
        torn_down = rec;
      }
    }
  }
  // The wait for the unit's last contexts may be long (transfers on a slow bus): it runs
  // outside both mutexes, so opens, Plug and Play and power work do not queue up behind
  // it. Until the entry is cleared an open of the same unit is refused as a collision, and
  // everyone else reaches the record only through its guard, which is closing.
  if (torn_down != nullptr) {
    d->unit_guards[u].CloseAndWait();
    torn_down->pool.Delete();
    d->units[u].store(nullptr);
    torn_down->~UnitRecord();
    kern::FreePool(torn_down);
  }
  return Finish(irp, kern::STATUS_SUCCESS);
}

NTSTATUS DispatchSystemControl(kern::DeviceObject* device, kern::Irp* irp) {
  ControllerDevice* d = Controller(device);
  NTSTATUS lock_status = d->remove_lock.Acquire();
  if (!kern::NtSuccess(lock_status)) return Finish(irp, lock_status);
  kern::SkipCurrentStackLocation(irp);
  NTSTATUS s = kern::CallDriver(d->lower, irp);
  d->remove_lock.Release();
  return s;
}

NTSTATUS DispatchDeviceControl(kern::DeviceObject* device, kern::Irp* irp) {
  ControllerDevice* d = Controller(device);
  NTSTATUS lock_status = d->remove_lock.Acquire();
  if (!kern::NtSuccess(lock_status)) return Finish(irp, lock_status);
  struct RemoveLockRelease {
    kern::RemoveLock& lock;
    ~RemoveLockRelease() { lock.Release(); }
  } release{d->remove_lock};

  irp->io_status.information = 0;
  Buffers b = BuffersOf(irp);
  kern::FileObject* file = kern::CurrentStackLocation(irp)->file;
  if (irp->requestor_mode != kern::Mode::User) return Finish(irp, kern::STATUS_ACCESS_DENIED);
  if (b.in_length == 0 || b.in == nullptr) return Finish(irp, kern::STATUS_BUFFER_TOO_SMALL);
  if (static_cast<const uint8_t*>(b.in)[0] != vsbp::kControlVersion) {
    return Finish(irp, kern::STATUS_REVISION_MISMATCH);
  }
  if (b.in_length < vsbp::kHeaderBytes) return Finish(irp, kern::STATUS_BUFFER_TOO_SMALL);
  if (file == nullptr) return Finish(irp, kern::STATUS_ACCESS_DENIED);

  if (file->fs_context == kControlHandle) {
    if (b.code == vsbp::IOCTL_VSBP_GET_HOST_CONFIG_ROM) return HostConfigRom(d, irp, b, false);
    if (b.code == vsbp::IOCTL_VSBP_SET_HOST_CONFIG_ROM) return HostConfigRom(d, irp, b, true);
    return Finish(irp, kern::STATUS_INVALID_DEVICE_REQUEST);
  }
  int u = UnitOfHandle(file);
  if (u < 0) return Finish(irp, kern::STATUS_ACCESS_DENIED);
  RundownGuard& guard = d->unit_guards[u];
  if (!guard.Acquire()) return Finish(irp, kern::STATUS_ACCESS_DENIED);
  // Every request on a unit handle holds the unit guard while it runs; a context that a
  // request starts holds a reference of its own.
  struct GuardRelease {
    RundownGuard& guard;
    ~GuardRelease() { guard.Release(); }
  } held{guard};
  UnitRecord* rec = d->units[u].load();
  if (d->owning_handle[u].load() != file || rec == nullptr || rec->owner_pid != kern::CurrentProcessId()) {
    return Finish(irp, kern::STATUS_ACCESS_DENIED);
  }
  switch (b.code) {
    case vsbp::IOCTL_VSBP_GET_REQUEST:
      return GetRequest(d, rec, irp, b);
    case vsbp::IOCTL_VSBP_FETCH_COMMAND:
      return FetchCommand(d, rec, irp, b);
    case vsbp::IOCTL_VSBP_READ_INITIATOR:
      return TransferData(d, rec, irp, b, true);
    case vsbp::IOCTL_VSBP_WRITE_INITIATOR:
      return TransferData(d, rec, irp, b, false);
    default:
      return Finish(irp, kern::STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace ostrane
