// The MANAGEMENT_AGENT register of each published unit: how register accesses are
// answered, the deferred work after the answer, the management ORB checks, forwarding
// into GET requests, and the task management functions.
#include <cstring>

#include "driver/busops.h"
#include "driver/internal.h"

namespace ostrane {
namespace {

using bus1394::NotificationInfo;
constexpr uint64_t kResponseSentWait = 10'000'000;  // 1 s in 100 ns units

// Request packet header fields (host order quadlets).
uint8_t TcodeOf(const uint32_t* p) { return (p[0] >> 4) & 0xF; }
uint8_t TlabelOf(const uint32_t* p) { return (p[0] >> 10) & 0x3F; }
uint16_t DestinationOf(const uint32_t* p) { return static_cast<uint16_t>(p[0] >> 16); }
uint16_t SourceOf(const uint32_t* p) { return static_cast<uint16_t>(p[1] >> 16); }
uint16_t DataLengthOf(const uint32_t* p) { return static_cast<uint16_t>(p[3] >> 16); }

void Answer(NotificationInfo* info, uint8_t rcode) {
  if (info->response_code != nullptr) *info->response_code = rcode;
}

bool AnswerPlacesPresent(const NotificationInfo* info) {
  return info->request_packet != nullptr && info->response_mdl != nullptr &&
         info->response_packet != nullptr && info->response_length != nullptr &&
         info->response_event != nullptr && info->response_code != nullptr;
}

// ---- The bus view refresh ---------------------------------------------------------------
// The register access needs the current generation and node ID in-line. Both ends of each
// query count on response_kind: the second to arrive owns the context. When the query
// completes inside the send, the send's caller is second and goes on; otherwise the
// access has been answered with a time-out and whichever side comes second releases.

void RefreshDone(NTSTATUS status, void* context) {
  auto* c = static_cast<RequestContext*>(context);
  c->bus_status = status;
  if (c->response_kind.fetch_add(1) == 1) ReleaseContext(c);
}

// True when the query answered in-line with success; the context has been dealt with
// otherwise (released here, or left to the late completion).
bool RefreshInline(RequestContext* c, bool generation_query) {
  ControllerDevice* d = c->device;
  c->response_kind.store(0);
  c->bus_call = {RefreshDone, c};
  NTSTATUS s = generation_query ? bus::SendGetGeneration(d, c->bus_request, &c->irb, &c->bus_call)
                                : bus::SendGetLocalNodeId(d, c->bus_request, &c->irb, &c->bus_call);
  if (s == kern::STATUS_PENDING) {
    if (c->response_kind.fetch_add(1) == 1) ReleaseContext(c);
    return false;
  }
  if (!kern::NtSuccess(c->bus_status)) {
    ReleaseContext(c);
    return false;
  }
  return true;
}

// ---- Deferred work ---------------------------------------------------------------------

void WaitResponseSent(kern::DeviceObject*, void* context) {
  auto* c = static_cast<RequestContext*>(context);
  int64_t deadline = c->request_time + static_cast<int64_t>(kResponseSentWait);
  int64_t now = kern::QuerySystemTime();
  if (now < deadline) c->response_sent.WaitFor(static_cast<uint64_t>(deadline - now));
  ReleaseContext(c);
}

// ---- Management ORB completion ---------------------------------------------------------

enum class Outcome { kForward, kReject, kPark, kDrop };

struct Rejection {
  uint8_t resp;
  uint8_t sbp_status;
};

// Task management on a login slot: unit lock held. Returns the rejection, or parks the
// context on the slot (and may take a pending FETCH to complete with the abort).
bool TaskManagement(UnitRecord* u, RequestContext* c, uint32_t* orb, Rejection* reject, kern::Irp** aborted) {
  uint16_t login = orb::login_id(orb[4]);
  if (login >= kSlots) {
    *reject = {vsbp::kRespRequestComplete, vsbp::kSbpLoginIdNotRecognized};
    return false;
  }
  LoginSlot& slot = u->slots[login];
  kern::SpinLockGuard lock(slot.lock);
  if (slot.owner == kFreeOwner) {
    *reject = {vsbp::kRespRequestComplete, vsbp::kSbpLoginIdNotRecognized};
    return false;
  }
  if (slot.owner != c->node_id) {
    *reject = {vsbp::kRespRequestComplete, vsbp::kSbpFunctionRejected};
    return false;
  }
  if (slot.parked != nullptr) {
    *reject = {vsbp::kRespTransportFailure, vsbp::kSbpOrbConflictError};
    return false;
  }
  slot.SetPointer(0, 0, kStateDead);
  slot.abort_reported = false;
  slot.orb_ready = false;
  slot.fetch_context = nullptr;
  slot.parked = c;
  if (slot.pending_fetch != nullptr && kern::SetCancelRoutine(slot.pending_fetch, nullptr) != nullptr) {
    *aborted = slot.pending_fetch;
    slot.pending_fetch = nullptr;
    slot.abort_reported = true;
  }
  return true;
}

bool ManagementOrbFetched(NTSTATUS status, RequestContext* c) {
  UnitRecord* u = c->unit;
  uint8_t phy = c->node_id & 0x3F;
  auto* q = reinterpret_cast<uint32_t*>(c->buffer);
  Outcome outcome = Outcome::kForward;
  Rejection reject = {};
  kern::Irp* get = nullptr;
  kern::Irp* aborted = nullptr;
  {
    kern::SpinLockGuard lock(u->lock);
    if (u->in_progress[phy] != c) return true;
    if (!kern::NtSuccess(status) || c->bytes_done != 32) {
      u->in_progress[phy] = nullptr;
      return true;
    }
    for (int i = 0; i < 8; ++i) q[i] = ByteSwap32(q[i]);
    q[8] = vsbp::status_block::Make(1, vsbp::kRespRequestComplete, false, 0, c->builtin.offset_hi);
    q[9] = c->builtin.offset_lo;

    if (orb::rq_fmt(q[4]) != 0) {
      outcome = Outcome::kReject;
      reject = {vsbp::kRespIllegalRequest, vsbp::kSbpUnspecifiedError};
    } else {
      switch (orb::function(q[4])) {
        case vsbp::kLogin: {
          uint32_t response_length = orb::response_length(q[5]);
          uint32_t password_length = orb::password_length(q[5]);
          if (response_length < 12) {
            outcome = Outcome::kReject;
            reject = {vsbp::kRespIllegalRequest, vsbp::kSbpUnspecifiedError};
          } else if (password_length > 28) {
            outcome = Outcome::kReject;
            reject = {vsbp::kRespRequestComplete, vsbp::kSbpAccessDenied};
          } else {
            if (response_length > 2047) response_length = 2047;
            q[2] = (q[2] & 0xFFFF) | (response_length << 5 | password_length) << 16;
          }
          break;
        }
        case vsbp::kQueryLogins:
          q[2] = (q[2] & 0xFFFF) | (q[5] & 0xFFFF) << 16;
          break;
        case vsbp::kReconnect:
        case vsbp::kSetPassword:
        case vsbp::kLogout:
          break;
        case vsbp::kAbortTaskSet:
        case vsbp::kLogicalUnitReset:
        case vsbp::kTargetReset:
          outcome = TaskManagement(u, c, q, &reject, &aborted) ? Outcome::kPark : Outcome::kReject;
          break;
        default:
          outcome = Outcome::kReject;
          reject = {vsbp::kRespIllegalRequest, vsbp::kSbpUnspecifiedError};
          break;
      }
    }
    if (outcome == Outcome::kForward) {
      q[4] = (q[4] & ~(7u << 24)) | static_cast<uint32_t>(c->speed & 7) << 24;
      q[5] = c->generation;
      q[6] = (q[6] & 0xFFFF) | static_cast<uint32_t>(c->node_id) << 16;
      q[8] = (q[8] & 0xFFFF) | static_cast<uint32_t>(c->local_node_id) << 16;
      get = TakePendingGet(u);
      if (get != nullptr) {
        std::memcpy(get->system_buffer, c->buffer, sizeof(vsbp::ManagementRecord));
        u->in_progress[phy] = nullptr;
        outcome = Outcome::kDrop;
      } else {
        c->queue_link = nullptr;
        if (u->queue_tail != nullptr) {
          u->queue_tail->queue_link = c;
        } else {
          u->queue_head = c;
        }
        u->queue_tail = c;
      }
    } else {
      u->in_progress[phy] = nullptr;
    }
  }
  if (get != nullptr) CompleteTaken(get, kern::STATUS_SUCCESS, sizeof(vsbp::ManagementRecord));
  if (aborted != nullptr) CompleteTaken(aborted, kern::STATUS_REQUEST_ABORTED, 0);
  switch (outcome) {
    case Outcome::kForward:
    case Outcome::kPark:
      return false;
    case Outcome::kDrop:
      return true;
    case Outcome::kReject: {
      uint32_t head = vsbp::status_block::WithResp(q[8], reject.resp);
      head = vsbp::status_block::WithSbpStatus(head, reject.sbp_status);
      uint32_t orb_lo = q[9];
      c->builtin.offset_hi = static_cast<uint16_t>(q[6] & 0xFFFF);
      c->builtin.offset_lo = q[7] & ~3u;
      WriteStatusBlock(c, head, orb_lo, nullptr);
      return false;
    }
  }
  return true;
}

// ---- Register access -------------------------------------------------------------------

void ManagementAccess(ControllerDevice* d, UnitRecord* u, NotificationInfo* info, uint32_t reg_offset) {
  RundownGuard& guard = d->unit_guards[u->index];
  if (!AnswerPlacesPresent(info)) {
    Answer(info, bus1394::RCODE_TIMED_OUT);
    guard.Release();
    return;
  }
  {
    kern::SpinLockGuard lock(u->lock);
    if (u->state != UnitState::kPublished) {
      Answer(info, bus1394::RCODE_ADDRESS_ERROR);
      guard.Release();
      return;
    }
  }
  if (reg_offset != 0) {
    Answer(info, reg_offset == 4 ? bus1394::RCODE_TYPE_ERROR : bus1394::RCODE_ADDRESS_ERROR);
    guard.Release();
    return;
  }
  const uint32_t* p = info->request_packet;
  uint8_t tcode = TcodeOf(p);
  if ((tcode != bus1394::TCODE_WRITE_BLOCK && tcode != bus1394::TCODE_READ_BLOCK) || DataLengthOf(p) != 8 ||
      (tcode == bus1394::TCODE_WRITE_BLOCK && info->request_packet_length < 24)) {
    Answer(info, bus1394::RCODE_TYPE_ERROR);
    guard.Release();
    return;
  }
  RequestContext* c = u->pool.Get();
  // The context holds its own unit guard reference from here on.
  guard.Release();
  if (c == nullptr) {
    Answer(info, bus1394::RCODE_TIMED_OUT);
    return;
  }
  c->unit_index = u->index;
  c->slot_index = kManagementSlot;
  c->speed = AccessSpeed(d, info);
  BuildResponseHeader(c, info, tcode == bus1394::TCODE_READ_BLOCK ? 2 : 0);

  if (!RefreshInline(c, true)) {
    Answer(info, bus1394::RCODE_TIMED_OUT);
    return;
  }
  uint32_t generation = bus::GenerationOf(c->irb);
  if (!RefreshInline(c, false)) {
    Answer(info, bus1394::RCODE_TIMED_OUT);
    return;
  }
  uint16_t local = bus::NodeIdOf(c->irb);

  uint8_t rcode = bus1394::RCODE_RESPONSE_COMPLETE;
  TakenRequests reset;
  {
    kern::SpinLockGuard lock(u->lock);
    if (u->state != UnitState::kPublished) {
      rcode = bus1394::RCODE_ADDRESS_ERROR;
    } else {
      if (generation != u->generation.load()) {
        u->generation.store(generation);
        u->local_node_id.store(local);
        u->agent_lo = 0;
        u->agent_hi = 0;
        ResetLoginSlots(u, kern::STATUS_BUS_RESET, GenerationMode::kNone, &reset);
      }
      if (DestinationOf(p) != u->local_node_id.load()) rcode = bus1394::RCODE_ADDRESS_ERROR;
    }
    c->generation = generation;
    c->local_node_id = local;
    if (rcode == bus1394::RCODE_RESPONSE_COMPLETE && tcode == bus1394::TCODE_READ_BLOCK) {
      c->response_packet[4] = ByteSwap32(u->agent_hi);
      c->response_packet[5] = ByteSwap32(u->agent_lo & ~3u);
      c->response_kind.store(0);
    } else if (rcode == bus1394::RCODE_RESPONSE_COMPLETE) {
      uint16_t source = SourceOf(p);
      uint8_t phy = source & 0x3F;
      // A request written before a bus reset is void after it, and the initiator that
      // wrote it has moved on (to its RECONNECT, usually) without waiting for its status:
      // only a request of the current generation makes a second one a conflict. The earlier
      // one finishes on its own: its fetch, or its trip through user mode, fails on the old
      // generation, and it no longer owns the entry it would clear.
      const RequestContext* earlier = u->in_progress[phy];
      if (earlier != nullptr && earlier->generation == generation) {
        rcode = bus1394::RCODE_CONFLICT_ERROR;
      } else {
        // The written address: node_ID half of the first quadlet is not kept.
        uint16_t hi = static_cast<uint16_t>(ByteSwap32(p[4]) & 0xFFFF);
        uint32_t lo = ByteSwap32(p[5]) & ~3u;
        u->agent_hi = hi;
        u->agent_lo = lo;
        u->in_progress[phy] = c;
        c->node_id = source;
        c->builtin = {hi, 32, lo};
        c->response_kind.store(1);
      }
    }
  }
  reset.CompleteAll();
  if (rcode != bus1394::RCODE_RESPONSE_COMPLETE) {
    ReleaseContext(c);
    Answer(info, rcode);
    return;
  }
  AnswerAccess(c, info);
}

}  // namespace

uint8_t AccessSpeed(const ControllerDevice* d, const NotificationInfo* info) {
  if (d->ddi_major >= 3 || info->request_packet_length < 20) return 0;
  uint32_t trailer = info->request_packet[info->request_packet_length / 4 - 1];
  return (trailer >> 21) & 7;
}

void BuildResponseHeader(RequestContext* c, const NotificationInfo* info, uint32_t data_quadlets) {
  const uint32_t* p = info->request_packet;
  uint8_t tcode = TcodeOf(p);
  uint8_t response_tcode = tcode == bus1394::TCODE_READ_QUADLET ? bus1394::TCODE_READ_QUADLET_RESPONSE
                           : tcode == bus1394::TCODE_READ_BLOCK ? bus1394::TCODE_READ_BLOCK_RESPONSE
                                                                : bus1394::TCODE_WRITE_RESPONSE;
  std::memset(c->response_packet, 0, sizeof(c->response_packet));
  uint8_t speed = c->device->ddi_major >= 3 ? 0 : c->speed;
  c->response_packet[0] = static_cast<uint32_t>(speed & 7) << 16 | static_cast<uint32_t>(TlabelOf(p)) << 10 |
                          1u << 8 | static_cast<uint32_t>(response_tcode) << 4;
  c->response_packet[1] = static_cast<uint32_t>(SourceOf(p)) << 16;
  c->response_packet[3] = response_tcode == bus1394::TCODE_READ_BLOCK_RESPONSE ? 8u << 16 : 0;
  c->response_length = 16 + 4 * data_quadlets;
}

void AnswerAccess(RequestContext* c, NotificationInfo* info) {
  kern::InitializeMdl(&c->response_mdl, c->response_packet, c->response_length, 2);
  kern::BuildMdlForNonPagedPool(&c->response_mdl);
  *info->response_mdl = &c->response_mdl;
  *info->response_packet = c->response_packet;
  *info->response_length = c->response_length;
  if (c->response_kind.load() == 0) {
    // The packet is read by the bus driver after this returns; the context stays out of
    // its pool until the response has gone out.
    c->response_sent.Reset();
    *info->response_event = &c->response_sent;
  } else {
    *info->response_event = nullptr;
  }
  *info->response_code = bus1394::RCODE_RESPONSE_COMPLETE;
  c->dpc.Queue();
}

void DefaultAgentHandler(NotificationInfo* info) {
  if (kern::CurrentIrql() != kern::Irql::Dispatch || info->context == nullptr) {
    Answer(info, bus1394::RCODE_TIMED_OUT);
    return;
  }
  auto* d = static_cast<ControllerDevice*>(info->context);
  uint32_t index = info->offset / 8;
  if (index >= static_cast<uint32_t>(kUnits) || !d->unit_guards[index].Acquire()) {
    Answer(info, bus1394::RCODE_ADDRESS_ERROR);
    return;
  }
  UnitRecord* u = d->units[index].load();
  if (u == nullptr) {
    d->unit_guards[index].Release();
    Answer(info, bus1394::RCODE_ADDRESS_ERROR);
    return;
  }
  ManagementAccess(d, u, info, info->offset % 8);
}

void CustomAgentHandler(NotificationInfo* info) {
  if (kern::CurrentIrql() != kern::Irql::Dispatch || info->context == nullptr) {
    Answer(info, bus1394::RCODE_TIMED_OUT);
    return;
  }
  // The bus driver calls the handler only while the range is allocated, and the range is
  // freed before the unit record goes away, so the record may be read here.
  auto* expected = static_cast<UnitRecord*>(info->context);
  ControllerDevice* d = expected->device;
  uint32_t index = expected->index;
  if (index >= static_cast<uint32_t>(kUnits) || !d->unit_guards[index].Acquire()) {
    Answer(info, bus1394::RCODE_ADDRESS_ERROR);
    return;
  }
  if (d->units[index].load() != expected) {
    d->unit_guards[index].Release();
    Answer(info, bus1394::RCODE_ADDRESS_ERROR);
    return;
  }
  ManagementAccess(d, expected, info, info->offset);
}

void ContextDeferredCall(kern::Dpc*, void* context, void*, void*) {
  auto* c = static_cast<RequestContext*>(context);
  switch (c->response_kind.load()) {
    case 1:
      UseOwnBuffer(c);
      UseBuiltinSegment(c, c->builtin.offset_hi, c->builtin.offset_lo, 32);
      c->page_size = 0;
      c->bytes_remaining = 32;
      c->completion = c->slot_index == kManagementSlot ? ManagementOrbFetched : CommandOrbFetched;
      StartTransfer(c, true, 0);
      break;
    case 2:
      ReleaseContext(c);
      break;
    default:
      if (c->response_sent.IsSignaled()) {
        ReleaseContext(c);
      } else {
        c->request_time = kern::QuerySystemTime();
        c->work_item->Queue(WaitResponseSent, c);
      }
      break;
  }
}

void SendParkedStatus(RequestContext* c) {
  auto* q = reinterpret_cast<uint32_t*>(c->buffer);
  uint32_t head0 = q[8], head1 = q[9];
  c->builtin.offset_hi = static_cast<uint16_t>(q[6] & 0xFFFF);
  c->builtin.offset_lo = q[7] & ~3u;
  WriteStatusBlock(c, head0, head1, nullptr);
}

}  // namespace ostrane
