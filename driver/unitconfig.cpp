// When a unit is visible on the bus: its unit directory in the configuration ROM, its own
// management agent register, the shared register ranges of a running controller, and the
// bus resets that make initiators notice changes.
#include <cstring>

#include "driver/busops.h"
#include "driver/internal.h"

namespace ostrane {
namespace {

constexpr uint8_t kKeyManagementAgent = 0x54;
constexpr uint32_t kCustomAgentLow = 0x1'0000;
constexpr uint32_t kCustomAgentHigh = 0xF'FFF8;

bool PublishesAtOnce(PnpState s) {
  return s == PnpState::kStarted || s == PnpState::kStopPending || s == PnpState::kRemovePending;
}

// ---- Bus reset notification chain --------------------------------------------------------

void EndNotificationChain(ControllerDevice* d) {
  d->reset_chain_busy.store(0);
  d->device_guard.Release();
}

void NotifyNodeIdDone(NTSTATUS status, void* context) {
  auto* d = static_cast<ControllerDevice*>(context);
  if (kern::NtSuccess(status)) {
    d->local_node_id.store(bus::NodeIdOf(d->notify_context->irb));
    for (int u = 0; u < kUnits; ++u) {
      if (!d->unit_guards[u].Acquire()) continue;
      if (UnitRecord* rec = d->units[u].load()) {
        ResetLoginSlots(rec, kern::STATUS_BUS_RESET, GenerationMode::kFromDevice);
      }
      d->unit_guards[u].Release();
    }
  }
  EndNotificationChain(d);
}

void NotifyGenerationDone(NTSTATUS status, void* context) {
  auto* d = static_cast<ControllerDevice*>(context);
  if (!kern::NtSuccess(status)) {
    EndNotificationChain(d);
    return;
  }
  d->generation.store(bus::GenerationOf(d->notify_context->irb));
  BusRequestContext* c = d->notify_context;
  c->bus_call = {NotifyNodeIdDone, d};
  bus::SendGetLocalNodeId(d, c->bus_request, &c->irb, &c->bus_call);
}

void BusResetRequestDone(NTSTATUS, void* context) {
  auto* d = static_cast<ControllerDevice*>(context);
  {
    kern::SpinLockGuard lock(d->reset_lock);
    d->reset_in_flight = false;
  }
  d->device_guard.Release();
}

}  // namespace

NTSTATUS ConfigureUnit(UnitRecord* u, const uint8_t* dir, uint32_t length) {
  ControllerDevice* d = u->device;
  if (length < 32 || length > vsbp::kMaxUnitDirectoryBytes || length % 4 != 0 || dir[0] != 0) {
    return kern::STATUS_INVALID_PARAMETER;
  }
  uint32_t entries = dir[1];
  if (4 + 4 * entries > length) return kern::STATUS_INVALID_PARAMETER;
  uint32_t offset = 0;
  bool found = false;
  for (uint32_t i = 1; i <= entries && !found; ++i) {
    const uint8_t* q = dir + 4 * i;
    if (q[0] == kKeyManagementAgent) {
      offset = (static_cast<uint32_t>(q[1]) << 16 | static_cast<uint32_t>(q[2]) << 8 | q[3]) * 4;
      found = true;
    }
  }
  if (!found) return kern::STATUS_INVALID_PARAMETER;
  uint32_t default_offset = kDefaultAgentBase + 8u * u->index;
  bool custom = offset != default_offset;
  if (custom && (offset < kCustomAgentLow || offset > kCustomAgentHigh || offset % 8 != 0 ||
                 offset < kDefaultAgentBase + kDefaultAgentRangeBytes)) {
    return kern::STATUS_INVALID_PARAMETER;
  }

  kern::KMutexGuard config(d->config_mutex);
  if (u->state != UnitState::kEmpty) return kern::STATUS_ACCESS_DENIED;
  if (custom) {
    for (int other = 0; other < kUnits; ++other) {
      if (other != u->index && d->custom_agent_offset[other] == offset) {
        return kern::STATUS_CONFLICTING_ADDRESSES;
      }
    }
    d->custom_agent_offset[u->index] = offset;
  }
  std::memcpy(u->directory, dir, length);
  u->directory_length = length;
  kern::InitializeMdl(&u->directory_mdl, u->directory, length, 2);
  kern::BuildMdlForNonPagedPool(&u->directory_mdl);

  if (!PublishesAtOnce(d->pnp_state)) {
    kern::SpinLockGuard lock(u->lock);
    u->state = UnitState::kConfigured;
    return kern::STATUS_SUCCESS;
  }
  NTSTATUS s = PublishUnit(u);
  if (kern::NtSuccess(s)) {
    ScheduleBusReset(d, true);
    return s;
  }
  StopUnit(u, s);
  kern::SpinLockGuard lock(u->lock);
  u->state = UnitState::kEmpty;
  u->failure_status = kern::STATUS_SUCCESS;
  return s;
}

NTSTATUS PublishUnit(UnitRecord* u) {
  ControllerDevice* d = u->device;
  {
    kern::SpinLockGuard lock(u->lock);
    u->generation.store(d->generation.load());
    u->local_node_id = d->local_node_id.load();
  }
  uint32_t offset = d->custom_agent_offset[u->index];
  if (offset != 0) {
    NTSTATUS s = bus::AllocateRegisterRange(d, offset, 8, CustomAgentHandler, u, &u->custom_range,
                                            &u->custom_range_handle);
    if (!kern::NtSuccess(s)) return s;
  }
  NTSTATUS s = bus::AddUnitDirectory(d, &u->directory_mdl, u->directory_length, &u->crom_handle);
  if (!kern::NtSuccess(s)) {
    u->crom_handle = nullptr;
    return s;
  }
  kern::SpinLockGuard lock(u->lock);
  u->agent_lo = 0;
  u->agent_hi = 0;
  u->state = UnitState::kPublished;
  return kern::STATUS_SUCCESS;
}

void StopUnit(UnitRecord* u, NTSTATUS reason) {
  ControllerDevice* d = u->device;
  RequestContext* drained = nullptr;
  kern::Irp* get = nullptr;
  {
    kern::SpinLockGuard lock(u->lock);
    if (u->state == UnitState::kFailed) return;
    drained = u->queue_head;
    u->queue_head = u->queue_tail = nullptr;
    std::memset(u->in_progress, 0, sizeof(u->in_progress));
    if (reason == kern::STATUS_BUS_RESET) {
      if (u->state != UnitState::kEmpty) u->state = UnitState::kConfigured;
    } else {
      d->custom_agent_offset[u->index] = 0;
      u->failure_status = reason;
      u->state = UnitState::kFailed;
      get = TakePendingGet(u);
    }
  }
  while (drained != nullptr) {
    RequestContext* next = drained->queue_link;
    drained->queue_link = nullptr;
    ReleaseContext(drained);
    drained = next;
  }
  if (get != nullptr) CompleteTaken(get, reason, 0);
  if (u->custom_range_handle != nullptr) {
    bus::FreeRegisterRange(d, &u->custom_range, u->custom_range_handle);
    u->custom_range_handle = nullptr;
  }
  if (u->crom_handle != nullptr) {
    bus::RemoveUnitDirectory(d, u->crom_handle, &u->directory_mdl, u->directory_length);
    u->crom_handle = nullptr;
  }
}

NTSTATUS StartController(ControllerDevice* d) {
  if (d->started) return kern::STATUS_SUCCESS;
  NTSTATUS s;
  {
    kern::KMutexGuard config(d->config_mutex);
    uint32_t generation = 0;
    uint16_t node = 0;
    s = bus::GetBusInterfaceVersion(d, &d->ddi_major, &d->ddi_minor);
    if (kern::NtSuccess(s)) s = bus::GetHostLimits(d, &d->max_async_read, &d->max_async_write);
    if (kern::NtSuccess(s)) s = bus::GetGeneration(d, &generation);
    if (kern::NtSuccess(s)) {
      d->generation.store(generation);
      s = bus::GetLocalNodeId(d, &node);
    }
    if (kern::NtSuccess(s)) {
      d->local_node_id.store(node);
      s = bus::AllocateRegisterRange(d, d->default_range_base, kDefaultAgentRangeBytes, DefaultAgentHandler,
                                     d, &d->default_range, &d->default_range_handle);
      if (!kern::NtSuccess(s)) d->default_range_handle = nullptr;
    }
    if (kern::NtSuccess(s)) {
      s = bus::AllocateRegisterRange(d, d->command_range_base, kCommandAgentRangeBytes, CommandAgentHandler,
                                     d, &d->command_range, &d->command_range_handle);
      if (!kern::NtSuccess(s)) d->command_range_handle = nullptr;
    }
    if (kern::NtSuccess(s)) {
      s = bus::SetResetNotification(d, true, BusResetNotification);
      if (kern::NtSuccess(s)) d->notification_registered = true;
    }
    if (kern::NtSuccess(s) && !d->interface_enabled) {
      s = kern::SetDeviceInterfaceState(d->link_name, true);
      if (kern::NtSuccess(s)) d->interface_enabled = true;
    }
    if (kern::NtSuccess(s)) {
      bool any_published = false;
      for (int u = 0; u < kUnits; ++u) {
        if (!d->unit_guards[u].Acquire()) continue;
        UnitRecord* rec = d->units[u].load();
        if (rec != nullptr && rec->state == UnitState::kConfigured) {
          NTSTATUS ps = PublishUnit(rec);
          if (kern::NtSuccess(ps)) {
            any_published = true;
          } else {
            StopUnit(rec, ps);
          }
        }
        d->unit_guards[u].Release();
      }
      d->device_guard.Reopen();
      if (any_published) ScheduleBusReset(d, false);
    }
  }
  if (kern::NtSuccess(s)) {
    d->previous_pnp_state = d->pnp_state;
    d->pnp_state = PnpState::kStarted;
    d->device_power = kPowerD0;
    kern::ReportDevicePowerState(d->self, kPowerD0);
    d->started = true;
  } else {
    kern::KMutexGuard config(d->config_mutex);
    StopController(d, false);
  }
  return s;
}

void StopController(ControllerDevice* d, bool final_stop) {
  NTSTATUS reason = final_stop ? kern::STATUS_CANCELLED : kern::STATUS_BUS_RESET;
  bool any_published = false;
  for (int u = 0; u < kUnits; ++u) {
    if (!d->unit_guards[u].Acquire()) continue;
    if (UnitRecord* rec = d->units[u].load()) {
      if (rec->state == UnitState::kPublished) {
        any_published = true;
        StopUnit(rec, reason);
      } else if (final_stop) {
        StopUnit(rec, kern::STATUS_CANCELLED);
      }
    }
    d->unit_guards[u].Release();
  }
  bool released = false;
  if (d->notification_registered) {
    bus::SetResetNotification(d, false, BusResetNotification);
    d->notification_registered = false;
    released = true;
  }
  if (d->command_range_handle != nullptr) {
    bus::FreeRegisterRange(d, &d->command_range, d->command_range_handle);
    d->command_range_handle = nullptr;
    released = true;
  }
  if (d->default_range_handle != nullptr) {
    bus::FreeRegisterRange(d, &d->default_range, d->default_range_handle);
    d->default_range_handle = nullptr;
    released = true;
  }
  if (released || any_published) kern::FlushQueuedDpcs();
  if (!any_published && !final_stop) return;
  for (int u = 0; u < kUnits; ++u) {
    if (!d->unit_guards[u].Acquire()) continue;
    if (UnitRecord* rec = d->units[u].load()) {
      if (any_published) {
        ResetLoginSlots(rec, reason, GenerationMode::kBump);
      } else {
        ResetLoginSlots(rec, kern::STATUS_CANCELLED, GenerationMode::kNone);
      }
    }
    d->unit_guards[u].Release();
  }
  if (any_published) ScheduleBusReset(d, false);
}

void BusResetNotification(void* context) {
  auto* d = static_cast<ControllerDevice*>(context);
  if (d == nullptr || !d->device_guard.Acquire()) return;
  uint32_t idle = 0;
  // A reset that comes while the chain runs is covered by the chain's own queries.
  if (!d->reset_chain_busy.compare_exchange_strong(idle, 1)) {
    d->device_guard.Release();
    return;
  }
  BusRequestContext* c = d->notify_context;
  c->bus_call = {NotifyGenerationDone, d};
  bus::SendGetGeneration(d, c->bus_request, &c->irb, &c->bus_call);
}

void ScheduleBusReset(ControllerDevice* d, bool minimum) {
  if (!d->device_guard.Acquire()) return;
  kern::LockHandle handle;
  d->reset_lock.Acquire(handle);
  if (d->timer_armed) {
    if (d->reset_timer.Cancel()) {
      d->device_guard.Release();  // the armed timer's reference
    } else {
      // The timer has fired: its deferred call requests the reset.
      d->reset_lock.Release(handle);
      d->device_guard.Release();
      return;
    }
  }
  int64_t elapsed = static_cast<int64_t>(kern::QueryInterruptTime() - d->last_reset_request);
  if (elapsed < 0 || elapsed > static_cast<int64_t>(kResetSpacing) - 1) elapsed = kResetSpacing - 1;
  uint64_t due = kResetSpacing - static_cast<uint64_t>(elapsed);
  if (minimum && due < kResetMinimumDelay) due = kResetMinimumDelay;
  d->timer_armed = true;
  d->reset_timer.Set(due, &d->reset_dpc);
  d->reset_lock.Release(handle);
}

void ResetTimerDeferredCall(kern::Dpc*, void* context, void*, void*) {
  auto* d = static_cast<ControllerDevice*>(context);
  {
    kern::LockHandle handle;
    d->reset_lock.Acquire(handle);
    d->timer_armed = false;
    if (d->reset_in_flight) {
      d->reset_lock.Release(handle);
      d->device_guard.Release();
      return;
    }
    d->reset_in_flight = true;
    d->last_reset_request = kern::QueryInterruptTime();
    d->reset_lock.Release(handle);
  }
  BusRequestContext* c = d->reset_context;
  c->bus_call = {BusResetRequestDone, d};
  bus::SendBusReset(d, c->bus_request, &c->irb, &c->bus_call);
}

}  // namespace ostrane
