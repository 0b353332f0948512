// Command block agents: the agent registers of every login slot and the fetch agent that
// walks the initiator's list of command ORBs, one ORB ahead of user mode.
//
// A completion whose context is no longer the slot's fetch context only returns the
// context to its pool; that makes AGENT_RESET, task management and slot release safe
// against fetches still in flight. Fetches are started only after the slot lock is
// released, since a transfer can end at once and its completion takes the lock.
#include <cstring>

#include "driver/busops.h"
#include "driver/internal.h"

namespace ostrane {
namespace {

using bus1394::NotificationInfo;
constexpr uint32_t kMaxPageTableBytes = 0x20'0000;  // 2 MiB

uint8_t TcodeOf(const uint32_t* p) { return (p[0] >> 4) & 0xF; }
uint16_t DestinationOf(const uint32_t* p) { return static_cast<uint16_t>(p[0] >> 16); }
uint16_t SourceOf(const uint32_t* p) { return static_cast<uint16_t>(p[1] >> 16); }
uint16_t DataLengthOf(const uint32_t* p) { return static_cast<uint16_t>(p[3] >> 16); }

void Answer(NotificationInfo* info, uint8_t rcode) {
  if (info->response_code != nullptr) *info->response_code = rcode;
}

bool AdvanceAfterStatus(NTSTATUS status, RequestContext* c);
bool DeadAfterStatus(NTSTATUS status, RequestContext* c);
bool PageTableFetched(NTSTATUS status, RequestContext* c);

// What a completion decided under the slot lock, carried out after it is released.
enum class Next { kDrop, kFetch, kPageTable, kStatus, kKeep };

struct Plan {
  Next next = Next::kDrop;
  CompletionAction status_action = nullptr;
  uint32_t status[2] = {};        // kStatus: the status block, host order
  uint32_t payload_limit = 0;     // kPageTable
  kern::Irp* handed = nullptr;  // FETCH request completed with the CommandRecord
  uintptr_t handed_information = 0;
};

// Slot lock held. Moves ORB_POINTER to the stored ORB's next_ORB, for a fetch with `c`.
void PointAtNext(LoginSlot* slot, RequestContext* c) {
  slot->SetPointer(orb::next_hi(slot->orb[0]), slot->orb[1] & ~3u, kStateActive);
  c->builtin = {slot->orb_pointer_hi, 32, slot->pointer_lo()};
}

// Slot lock held. The suspend rule for a fetch that reached a null next_ORB; true when the
// last ORB is to be read again for its next_ORB (with `c`).
bool SuspendOrRefetch(LoginSlot* slot, RequestContext* c) {
  if (!slot->doorbell_latched) {
    slot->SetState(kStateSuspended);
    slot->fetch_context = nullptr;
    return false;
  }
  slot->refetch = true;
  slot->doorbell_latched = false;
  if (c != nullptr) c->builtin = {slot->orb_pointer_hi, 32, slot->pointer_lo()};
  return true;
}

// Slot lock held: the ORB in the slot is complete (with its page table) and goes to user
// mode, or waits in the slot for the next FETCH.
void HandOver(LoginSlot* slot, RequestContext* c, Plan* plan) {
  kern::Irp* fetch = slot->pending_fetch;
  if (fetch == nullptr || kern::SetCancelRoutine(fetch, nullptr) == nullptr) {
    slot->orb_ready = true;
    slot->fetch_context = nullptr;
    plan->next = Next::kDrop;
    return;
  }
  slot->pending_fetch = nullptr;
  plan->handed = fetch;
  plan->handed_information = WriteCommandRecord(slot, fetch->system_buffer);
  if (!orb::next_is_null(slot->orb[0])) {
    PointAtNext(slot, c);
    plan->next = Next::kFetch;
  } else {
    plan->next = SuspendOrRefetch(slot, c) ? Next::kFetch : Next::kDrop;
  }
}

// Carries out a plan once the slot lock is released. Returns the completion action's
// answer: true when the context goes back to its pool.
bool Execute(RequestContext* c, const Plan& plan) {
  if (plan.handed != nullptr) CompleteTaken(plan.handed, kern::STATUS_SUCCESS, plan.handed_information);
  switch (plan.next) {
    case Next::kDrop:
      return true;
    case Next::kFetch:
      StartOrbFetch(c);
      return false;
    case Next::kPageTable:
    case Next::kKeep:
      return false;
    case Next::kStatus:
      WriteStatusBlock(c, plan.status[0], plan.status[1], plan.status_action);
      return false;
  }
  return true;
}

// Slot lock held: the slot's status template goes to its status_FIFO after the lock.
void PlanStatus(LoginSlot* slot, RequestContext* c, CompletionAction action, Plan* plan) {
  plan->next = Next::kStatus;
  plan->status_action = action;
  plan->status[0] = slot->status_template[0];
  plan->status[1] = slot->status_template[1];
  c->node_id = slot->owner;
  c->builtin.offset_hi = slot->status_fifo_hi;
  c->builtin.offset_lo = slot->status_fifo_lo;
}

void RejectOrb(LoginSlot* slot, RequestContext* c, uint8_t resp, uint8_t sbp_status, Plan* plan) {
  uint32_t q0 = vsbp::status_block::WithResp(slot->status_template[0], resp);
  q0 = vsbp::status_block::WithSbpStatus(q0, sbp_status);
  q0 = vsbp::status_block::WithDead(q0, true);
  slot->status_template[0] = q0;
  PlanStatus(slot, c, DeadAfterStatus, plan);
}

bool PageTableFetched(NTSTATUS status, RequestContext* c) {
  LoginSlot& slot = c->unit->slots[c->slot_index];
  Plan plan;
  {
    kern::SpinLockGuard lock(slot.lock);
    if (slot.fetch_context != c) return true;
    c->node_id = c->saved_node_id;
    c->speed = c->saved_speed;
    c->page_size = 0;
    uint32_t count = orb::data_size(slot.orb[4]);
    auto* raw = reinterpret_cast<const uint32_t*>(c->buffer);
    vsbp::PageTableElement table[vsbp::kMaxPageTableElements];
    uint32_t total = 0;
    bool ok = kern::NtSuccess(status) && c->bytes_done == 8 * count;
    if (ok) {
      for (uint32_t i = 0; i < count; ++i) table[i] = {ByteSwap32(raw[2 * i]), ByteSwap32(raw[2 * i + 1])};
      total = PageTableTotal(orb::options(slot.orb[4]), static_cast<uint16_t>(count), table);
      ok = total != 0 && total <= kMaxPageTableBytes;
    }
    if (!ok) {
      RejectOrb(&slot, c, vsbp::kRespTransportFailure, vsbp::kSbpPageTableDataError, &plan);
    } else {
      std::memcpy(slot.page_table, table, 8 * count);
      slot.total_length = total;
      HandOver(&slot, c, &plan);
    }
  }
  return Execute(c, plan);
}

// Slot lock held: a fresh ORB is in the slot; decide what it needs.
void ExamineOrb(LoginSlot* slot, RequestContext* c, Plan* plan) {
  const uint32_t* orb = slot->orb;
  uint32_t src = orb::next_is_null(orb[0]) ? 1 : 0;
  slot->status_template[0] = vsbp::status_block::Make(static_cast<uint8_t>(src), vsbp::kRespRequestComplete,
                                                      false, 0, slot->orb_pointer_hi);
  slot->status_template[1] = slot->pointer_lo();
  uint16_t opts = orb::options(orb[4]);
  uint16_t size = orb::data_size(orb[4]);
  switch (orb::rq_fmt(orb[4])) {
    case 3:
      slot->status_template[0] = vsbp::status_block::WithSbpStatus(slot->status_template[0], vsbp::kSbpDummyOrbCompleted);
      PlanStatus(slot, c, AdvanceAfterStatus, plan);
      return;
    case 1:
    case 2:
      RejectOrb(slot, c, vsbp::kRespIllegalRequest, vsbp::kSbpUnspecifiedError, plan);
      return;
    default:
      break;
  }
  if (vsbp::options::page_table_present(opts) && size != 0) {
    if (size > vsbp::kMaxPageTableElements) {
      RejectOrb(slot, c, vsbp::kRespIllegalRequest, vsbp::kSbpUnspecifiedError, plan);
      return;
    }
    c->saved_node_id = c->node_id;
    c->saved_speed = c->speed;
    c->node_id = orb::descriptor_node(orb[2]);
    c->speed = vsbp::options::speed(opts);
    UseOwnBuffer(c);
    UseBuiltinSegment(c, orb::descriptor_hi(orb[2]), orb[3], static_cast<uint16_t>(8 * size));
    uint32_t ps = vsbp::options::page_size(opts);
    c->page_size = ps == 0 ? 0 : 256u << ps;
    c->bytes_remaining = 8u * size;
    c->completion = PageTableFetched;
    plan->next = Next::kPageTable;
    plan->payload_limit = 4u << vsbp::options::max_payload(opts);
    return;
  }
  slot->total_length = size;
  HandOver(slot, c, plan);
}

bool AdvanceAfterStatus(NTSTATUS, RequestContext* c) {
  LoginSlot& slot = c->unit->slots[c->slot_index];
  Plan plan;
  {
    kern::SpinLockGuard lock(slot.lock);
    if (slot.fetch_context != c) return true;
    if (!orb::next_is_null(slot.orb[0])) {
      PointAtNext(&slot, c);
      plan.next = Next::kFetch;
    } else {
      plan.next = SuspendOrRefetch(&slot, c) ? Next::kFetch : Next::kDrop;
    }
  }
  return Execute(c, plan);
}

bool DeadAfterStatus(NTSTATUS, RequestContext* c) {
  LoginSlot& slot = c->unit->slots[c->slot_index];
  kern::SpinLockGuard lock(slot.lock);
  if (slot.fetch_context == c) {
    slot.SetState(kStateDead);
    slot.fetch_context = nullptr;
  }
  return true;
}

// ---- Register access -------------------------------------------------------------------

void RegisterAccess(ControllerDevice* d, UnitRecord* u, NotificationInfo* info, uint32_t slot_index,
                    uint32_t reg) {
  const uint32_t* p = info->request_packet;
  uint8_t tcode = TcodeOf(p);
  LoginSlot& slot = u->slots[slot_index];
  RequestContext* c = nullptr;
  uint8_t rcode = bus1394::RCODE_RESPONSE_COMPLETE;
  {
    kern::SpinLockGuard lock(slot.lock);
    bool quadlet_register = reg == kAgentState || reg == kAgentReset || reg == kDoorbell ||
                            reg == kUnsolicitedStatusEnable;
    bool read = tcode == bus1394::TCODE_READ_QUADLET || tcode == bus1394::TCODE_READ_BLOCK;
    if (slot.owner == kFreeOwner || DestinationOf(p) != u->local_node_id.load()) {
      rcode = bus1394::RCODE_ADDRESS_ERROR;
    } else if (quadlet_register) {
      if (tcode != bus1394::TCODE_READ_QUADLET && tcode != bus1394::TCODE_WRITE_QUADLET) {
        rcode = bus1394::RCODE_TYPE_ERROR;
      }
    } else if (reg == kOrbPointer) {
      if ((tcode != bus1394::TCODE_READ_BLOCK && tcode != bus1394::TCODE_WRITE_BLOCK) || DataLengthOf(p) != 8 ||
          (tcode == bus1394::TCODE_WRITE_BLOCK && info->request_packet_length < 24)) {
        rcode = bus1394::RCODE_TYPE_ERROR;
      }
    } else if (reg == kOrbPointerLo) {
      rcode = bus1394::RCODE_TYPE_ERROR;
    } else {
      rcode = bus1394::RCODE_ADDRESS_ERROR;
    }
    if (rcode == bus1394::RCODE_RESPONSE_COMPLETE && SourceOf(p) != slot.owner) rcode = bus1394::RCODE_TYPE_ERROR;
    if (rcode == bus1394::RCODE_RESPONSE_COMPLETE) {
      c = u->pool.Get();
      if (c == nullptr) rcode = bus1394::RCODE_TIMED_OUT;
    }
    if (c != nullptr) {
      c->unit_index = u->index;
      c->slot_index = static_cast<uint16_t>(slot_index);
      c->speed = slot.speed;
      c->generation = slot.generation;
      c->node_id = slot.owner;
      BuildResponseHeader(c, info, read ? (reg == kOrbPointer ? 2 : 1) : 0);
      uint32_t kind = 2;
      if (read) {
        kind = 0;
        if (reg == kAgentState) {
          c->response_packet[4] = ByteSwap32(slot.state());
        } else if (reg == kOrbPointer) {
          c->response_packet[4] = ByteSwap32(slot.orb_pointer_hi);
          c->response_packet[5] = ByteSwap32(slot.pointer_lo());
        }
      } else if (reg == kAgentReset) {
        if (slot.parked == nullptr) {
          slot.SetPointer(0, 0, kStateReset);
          slot.fetch_context = nullptr;
          slot.orb_ready = false;
        }
      } else if (reg == kOrbPointer) {
        if (slot.state() == kStateReset || slot.state() == kStateSuspended) {
          slot.SetPointer(static_cast<uint16_t>(ByteSwap32(p[4]) & 0xFFFF), ByteSwap32(p[5]) & ~3u, kStateActive);
          slot.refetch = false;
          kind = 1;
        }
      } else if (reg == kDoorbell) {
        if (slot.state() == kStateSuspended) {
          slot.refetch = true;
          slot.SetPointer(slot.orb_pointer_hi, slot.pointer_lo(), kStateActive);
          kind = 1;
        } else {
          slot.doorbell_latched = true;
        }
      }
      if (kind == 1) {
        slot.doorbell_latched = false;
        slot.fetch_context = c;
        c->builtin = {slot.orb_pointer_hi, 32, slot.pointer_lo()};
      }
      c->response_kind.store(kind);
    }
  }
  d->unit_guards[u->index].Release();
  if (c == nullptr) {
    Answer(info, rcode);
    return;
  }
  AnswerAccess(c, info);
}

}  // namespace

void CommandAgentHandler(NotificationInfo* info) {
  if (info->context == nullptr || info->request_packet == nullptr || info->response_mdl == nullptr ||
      info->response_packet == nullptr || info->response_length == nullptr || info->response_event == nullptr ||
      info->response_code == nullptr) {
    Answer(info, bus1394::RCODE_TIMED_OUT);
    return;
  }
  auto* d = static_cast<ControllerDevice*>(info->context);
  uint32_t unit = info->offset >> 11;
  uint32_t slot = (info->offset >> 5) & 0x3F;
  uint32_t reg = info->offset & 0x1F;
  if (unit >= static_cast<uint32_t>(kUnits) || !d->unit_guards[unit].Acquire()) {
    Answer(info, bus1394::RCODE_ADDRESS_ERROR);
    return;
  }
  UnitRecord* u = d->units[unit].load();
  if (u == nullptr) {
    d->unit_guards[unit].Release();
    Answer(info, bus1394::RCODE_ADDRESS_ERROR);
    return;
  }
  RegisterAccess(d, u, info, slot, reg);
}

bool CommandOrbFetched(NTSTATUS status, RequestContext* c) {
  LoginSlot& slot = c->unit->slots[c->slot_index];
  Plan plan;
  {
    kern::SpinLockGuard lock(slot.lock);
    if (slot.fetch_context != c) return true;
    if (!kern::NtSuccess(status) || c->bytes_done != 32) {
      slot.SetState(kStateDead);
      slot.fetch_context = nullptr;
      return true;
    }
    auto* q = reinterpret_cast<const uint32_t*>(c->buffer);
    for (int i = 0; i < 5; ++i) slot.orb[i] = ByteSwap32(q[i]);
    std::memcpy(slot.cdb, c->buffer + 20, sizeof(slot.cdb));
    if (slot.refetch) {
      slot.refetch = false;
      if (!orb::next_is_null(slot.orb[0])) {
        PointAtNext(&slot, c);
        plan.next = Next::kFetch;
      } else {
        plan.next = SuspendOrRefetch(&slot, c) ? Next::kFetch : Next::kDrop;
      }
    } else {
      ExamineOrb(&slot, c, &plan);
    }
  }
  if (plan.next == Next::kPageTable) {
    StartTransfer(c, true, plan.payload_limit);
    return false;
  }
  return Execute(c, plan);
}

void StartOrbFetch(RequestContext* c) {
  UseOwnBuffer(c);
  UseBuiltinSegment(c, c->builtin.offset_hi, c->builtin.offset_lo, 32);
  c->page_size = 0;
  c->bytes_remaining = 32;
  c->completion = CommandOrbFetched;
  StartTransfer(c, true, 0);
}

RequestContext* HandOverReadySlot(UnitRecord* u, LoginSlot* slot, uint16_t slot_index) {
  if (orb::next_is_null(slot->orb[0])) {
    if (!SuspendOrRefetch(slot, nullptr)) return nullptr;
  } else {
    slot->refetch = false;
    slot->SetPointer(orb::next_hi(slot->orb[0]), slot->orb[1] & ~3u, kStateActive);
  }
  RequestContext* c = u->pool.Get();
  if (c == nullptr) {
    slot->SetState(kStateDead);
    slot->fetch_context = nullptr;
    return nullptr;
  }
  c->unit_index = u->index;
  c->slot_index = slot_index;
  c->generation = slot->generation;
  c->speed = slot->speed;
  c->node_id = slot->owner;
  c->builtin = {slot->orb_pointer_hi, 32, slot->pointer_lo()};
  slot->fetch_context = c;
  return c;
}

uint32_t WriteCommandRecord(const LoginSlot* slot, void* out) {
  auto* record = static_cast<vsbp::CommandRecord*>(out);
  record->marker = vsbp::kCommandRecordMarker;
  record->total_length = slot->total_length;
  record->orb_q2 = slot->orb[2];
  record->orb_q3 = slot->orb[3];
  record->orb_q4 = slot->orb[4];
  std::memcpy(record->cdb, slot->cdb, sizeof(record->cdb));
  record->status_template[0] = slot->status_template[0];
  record->status_template[1] = slot->status_template[1];
  uint32_t n = orb::data_size(slot->orb[4]);
  if (!vsbp::options::page_table_present(orb::options(slot->orb[4])) || n == 0) return vsbp::kCommandRecordHeadBytes;
  std::memcpy(record->page_table, slot->page_table, 8 * n);
  return vsbp::kCommandRecordHeadBytes + 8 * n;
}

void ReleaseSlot(LoginSlot* slot) {
  slot->owner = kFreeOwner;
  slot->SetPointer(0, 0, kStateDead);
  slot->orb_ready = false;
  slot->abort_reported = false;
  // A later login on this slot must not inherit a doorbell or a re-read of this one.
  slot->doorbell_latched = false;
  slot->refetch = false;
  slot->fetch_context = nullptr;
  if (slot->parked != nullptr) {
    ReleaseContext(slot->parked);
    slot->parked = nullptr;
  }
}

void TakenRequests::CompleteAll() {
  for (int i = 0; i < count; ++i) CompleteTaken(irps[i], status, 0);
  count = 0;
}

void ResetLoginSlots(UnitRecord* u, NTSTATUS reason, GenerationMode mode, TakenRequests* deferred) {
  TakenRequests local;
  TakenRequests* taken = deferred != nullptr ? deferred : &local;
  taken->status = reason;
  ControllerDevice* d = u->device;
  kern::LockHandle handle;
  if (deferred == nullptr) u->lock.Acquire(handle);
  if (mode == GenerationMode::kFromDevice) {
    u->generation.store(d->generation.load());
    u->local_node_id.store(d->local_node_id.load());
    u->agent_lo = 0;
    u->agent_hi = 0;
  } else if (mode == GenerationMode::kBump) {
    u->generation.fetch_add(1);
  }
  for (LoginSlot& slot : u->slots) {
    kern::SpinLockGuard lock(slot.lock);
    if (slot.sticky_error) continue;
    if (reason != kern::STATUS_BUS_RESET) {
      slot.sticky_error = true;
      slot.sticky_status = reason;
    }
    if (slot.pending_fetch != nullptr) {
      if (kern::SetCancelRoutine(slot.pending_fetch, nullptr) == nullptr) continue;  // its cancel routine releases
      taken->irps[taken->count++] = slot.pending_fetch;
      slot.pending_fetch = nullptr;
    }
    ReleaseSlot(&slot);
  }
  if (deferred == nullptr) {
    u->lock.Release(handle);
    local.CompleteAll();
  }
}

}  // namespace ostrane
