// Per login: the thread that keeps one command fetch pending, hands fetched commands to the
// target, and the completion that answers them.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "devaccess/internal.h"

namespace devaccess {
namespace {

using namespace win32;

constexpr uint16_t kDisconnectedNode = 0xFFFF;
constexpr DWORD kReconnectTickMs = 1000;
// Transfer word of user-mode transfers: the speed code in bits 8-10 and the largest
// max_payload code, so that the driver's own block limit decides.
constexpr uint16_t kAnyPayload = 0xF0;

// The login's thread sets the flag while a target thread may be completing the slot.
uint32_t LoadCancelled(RequestSlot* slot) { return std::atomic_ref<uint32_t>(slot->cancelled).load(); }
void StoreCancelled(RequestSlot* slot, uint32_t v) { std::atomic_ref<uint32_t>(slot->cancelled).store(v); }

RequestSlot* Slot(LoginContext* login, int i) {
  return reinterpret_cast<RequestSlot*>(reinterpret_cast<uint8_t*>(login->slots) + kSlotStride * i);
}

void SlotCopy(void* context, void* buffer, uint32_t length, uint32_t offset, uint32_t direction) {
  auto* slot = static_cast<RequestSlot*>(context);
  const uint32_t total = slot->record.total_length;
  if (offset >= total) return;
  const uint32_t n = std::min(length, total - offset);
  if (direction == kCopyIntoRequest) {
    std::memcpy(SlotData(slot) + offset, buffer, n);
  } else {
    std::memcpy(buffer, SlotData(slot) + offset, n);
  }
}

// The record's head as the TransferRequest that replaces it.
vsbp::TransferRequest& AsTransfer(vsbp::CommandRecord& record) {
  static_assert(sizeof(vsbp::TransferRequest) <= offsetof(vsbp::CommandRecord, status_template));
  return *reinterpret_cast<vsbp::TransferRequest*>(&record);
}

void SetKind(vsbp::TransferRequest& t, uint16_t login_index) {
  t.version = vsbp::kControlVersion;
  t.reserved0 = 0;
  t.tag = login_index;
}

class LoginThread {
 public:
  explicit LoginThread(LoginContext* login)
      : login_(login),
        unit_(login->unit),
        index_(login->index),
        unit_index_(unit_->index),
        handle_(unit_->handle) {}

  DWORD Run();

 private:
  enum class Step { kContinue, kLeave };

  Step IssueFetch();
  Step FetchFailed(DWORD error, uint32_t fetch_generation);
  Step Wait();
  void ProcessCommand(RequestSlot* slot, DWORD n);
  bool FetchDataOut(RequestSlot* slot, DWORD n);
  void BusReset(uint32_t fetch_generation);
  void AdoptAddress();  // login lock held
  void Abort();
  Step ApplyControl();  // login lock held; leaves it
  void MarkStarted();
  void MarkFetchArmed(uint32_t generation);
  void CancelAllSlots();
  void Leave();
  Step Fail() {
    failed_ = true;
    result_ = ERROR_IO_DEVICE;
    return Step::kLeave;
  }

  LoginContext* const login_;
  UnitContext* const unit_;
  const uint16_t index_;
  const uint16_t unit_index_;
  const HANDLE handle_;
  // The login's current address; reloaded after a reconnect.
  uint16_t node_ = 0;
  uint8_t speed_ = 0;
  uint32_t generation_ = 0;

  bool started_ = false;
  bool fetch_pending_ = false;
  bool reconnect_wait_ = false;
  bool abort_wait_ = false;
  bool failed_ = false;
  DWORD timeout_ = INFINITE;
  DWORD result_ = ERROR_NOT_ENOUGH_MEMORY;
  RequestSlot* fetch_slot_ = nullptr;  // holds the pending fetch
  uint32_t fetch_generation_ = 0;      // the generation the pending fetch was issued in
  OVERLAPPED fetch_overlapped_{};
};

DWORD LoginThread::Run() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  EnterCriticalSection(&login_->lock);
  node_ = login_->node_id;
  speed_ = login_->speed;
  generation_ = login_->generation;
  LeaveCriticalSection(&login_->lock);
  login_->status_overlapped = {};
  login_->status_overlapped.hEvent = login_->events[kFetchEvent];

  for (;;) {
    if (!fetch_pending_ && !reconnect_wait_ && !abort_wait_ && login_->in_flight < kSlotsPerLogin) {
      Step step = IssueFetch();
      if (step == Step::kLeave) break;
      // A command that arrived at once: ask for the next one before waiting.
      if (!fetch_pending_ && !reconnect_wait_ && !abort_wait_) continue;
    }
    if (Wait() == Step::kLeave) break;
  }
  Leave();
  return 0;
}

LoginThread::Step LoginThread::IssueFetch() {
  RequestSlot* slot = nullptr;
  for (int i = 0; i < kSlotsPerLogin; ++i) {
    if (login_->busy[i] == 0) {
      slot = Slot(login_, i);
      break;
    }
  }
  if (slot == nullptr) return Fail();

  StoreCancelled(slot, 0);
  std::memset(&slot->record, 0, sizeof(vsbp::FetchRequest));
  auto& fetch = *reinterpret_cast<vsbp::FetchRequest*>(&slot->record);
  fetch.version = vsbp::kControlVersion;
  fetch.login_id = index_;
  fetch.speed = speed_;
  fetch.generation = generation_;
  fetch.status_fifo_hi = login_->status_fifo_hi;
  fetch.node_id = node_;
  fetch.status_fifo_lo = login_->status_fifo_lo;

  fetch_overlapped_ = {};
  fetch_overlapped_.hEvent = login_->events[kFetchEvent];
  DWORD n = 0;
  if (DeviceIoControl(handle_, vsbp::IOCTL_VSBP_FETCH_COMMAND, &slot->record, sizeof(vsbp::FetchRequest),
                      &slot->record, sizeof(vsbp::CommandRecord), &n, &fetch_overlapped_)) {
    if (n < vsbp::kCommandRecordHeadBytes) return Fail();
    MarkStarted();
    MarkFetchArmed(generation_);
    ProcessCommand(slot, n);
    return Step::kContinue;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) {
    MarkStarted();
    MarkFetchArmed(generation_);
    fetch_pending_ = true;
    fetch_slot_ = slot;
    fetch_generation_ = generation_;
    return Step::kContinue;
  }
  if (error == ERROR_OPERATION_ABORTED) {
    result_ = error;
    return Step::kLeave;
  }
  if (!started_) return Fail();
  return FetchFailed(error, generation_);
}

// A fetch of a started login, issued in `fetch_generation`, ended with `error`.
LoginThread::Step LoginThread::FetchFailed(DWORD error, uint32_t fetch_generation) {
  switch (error) {
    case ERROR_OPERATION_ABORTED:
      result_ = error;
      return Step::kLeave;
    case ERROR_BUS_RESET:
      BusReset(fetch_generation);
      return Step::kContinue;
    case ERROR_REQUEST_ABORTED:
      Abort();
      return Step::kContinue;
    default:
      return Fail();
  }
}

LoginThread::Step LoginThread::Wait() {
  const DWORD w = WaitForMultipleObjects(kLoginEvents, login_->events, FALSE, timeout_);
  if (w < WAIT_OBJECT_0 + kSlotsPerLogin) {
    const int i = static_cast<int>(w - WAIT_OBJECT_0);
    ResetEvent(login_->events[i]);
    if (login_->busy[i] != 0) {
      login_->busy[i] = 0;
      --login_->in_flight;
      if (login_->in_flight == 0) abort_wait_ = false;
    }
    return Step::kContinue;
  }
  if (w == WAIT_OBJECT_0 + kFetchEvent) {
    ResetEvent(login_->events[kFetchEvent]);
    if (!fetch_pending_) return Step::kContinue;
    fetch_pending_ = false;
    DWORD n = 0;
    if (GetOverlappedResult(handle_, &fetch_overlapped_, &n, FALSE)) {
      if (n < vsbp::kCommandRecordHeadBytes) return Fail();
      // The ORB was fetched in a generation that has ended since: this thread took a later
      // RECONNECT's address while the fetch was under way. The reset aborted the command and
      // the initiator sends it again; executed now, it would be answered on the new bus, with
      // a status for an ORB the initiator no longer waits on (or, once the address is used
      // again, one it would take for another command's).
      if (fetch_generation_ != generation_) return Step::kContinue;
      ProcessCommand(fetch_slot_, n);
      return Step::kContinue;
    }
    return FetchFailed(GetLastError(), fetch_generation_);
  }
  if (w == WAIT_OBJECT_0 + kControlEvent) {
    EnterCriticalSection(&login_->lock);
    return ApplyControl();
  }
  if (w == WAIT_TIMEOUT && reconnect_wait_) {
    EnterCriticalSection(&login_->lock);
    if (login_->reconnect_countdown != 0) {
      --login_->reconnect_countdown;
      LeaveCriticalSection(&login_->lock);
      return Step::kContinue;
    }
    if (WaitForSingleObject(login_->events[kControlEvent], 0) != WAIT_OBJECT_0) {
      // No RECONNECT within the hold: the login has expired.
      login_->ended = 1;
      LeaveCriticalSection(&login_->lock);
      return Step::kLeave;
    }
    return ApplyControl();
  }
  return Fail();
}

LoginThread::Step LoginThread::ApplyControl() {
  if (login_->control_code == kControlResume) {
    AdoptAddress();
    LeaveCriticalSection(&login_->lock);
    reconnect_wait_ = false;
    timeout_ = INFINITE;
    return Step::kContinue;
  }
  login_->ended = 1;
  result_ = login_->control_code;
  LeaveCriticalSection(&login_->lock);
  return Step::kLeave;
}

void LoginThread::MarkStarted() {
  if (started_) return;
  EnterCriticalSection(&login_->lock);
  login_->control_code = 0;
  LeaveCriticalSection(&login_->lock);
  SetEvent(login_->started_event);
  started_ = true;
}

void LoginThread::MarkFetchArmed(uint32_t generation) {
  EnterCriticalSection(&login_->lock);
  login_->fetch_armed = 1;
  login_->armed_generation = generation;
  LeaveCriticalSection(&login_->lock);
}

// Takes the address an accepted RECONNECT wrote, and the resume signal that came with it.
void LoginThread::AdoptAddress() {
  speed_ = login_->speed;
  generation_ = login_->generation;
  node_ = login_->node_id;
  if (login_->control_code == kControlResume) {
    ResetEvent(login_->events[kControlEvent]);
    login_->control_code = 0;
  }
}

void LoginThread::CancelAllSlots() {
  for (int i = 0; i < kSlotsPerLogin; ++i) StoreCancelled(Slot(login_, i), 1);
}

void LoginThread::BusReset(uint32_t fetch_generation) {
  EnterCriticalSection(&login_->lock);
  if (login_->generation != fetch_generation) {
    // A RECONNECT in a later generation was accepted before this thread learnt of the reset
    // (its slots were all with the target, or it was reading data out): the reset has been
    // answered already. What the target still holds is of the old generation.
    AdoptAddress();
    LeaveCriticalSection(&login_->lock);
    if (login_->in_flight > 0) CancelAllSlots();
    return;
  }
  // A resume not taken yet belongs to a generation this reset has ended.
  if (login_->control_code == kControlResume) {
    ResetEvent(login_->events[kControlEvent]);
    login_->control_code = 0;
  }
  login_->reconnect_countdown = login_->reconnect_hold;
  login_->node_id = kDisconnectedNode;
  login_->fetch_armed = 0;
  LeaveCriticalSection(&login_->lock);
  // What the target still holds was lost with the old generation; the initiator sends it again.
  if (login_->in_flight > 0) CancelAllSlots();
  reconnect_wait_ = true;
  timeout_ = kReconnectTickMs;
}

void LoginThread::Abort() {
  // Task management took the commands away: no fetch until the target has given them all back.
  if (login_->in_flight > 0) {
    CancelAllSlots();
    abort_wait_ = true;
  }
}

void LoginThread::ProcessCommand(RequestSlot* slot, DWORD n) {
  vsbp::CommandRecord& record = slot->record;
  slot->fetched_length = n;
  uint32_t length = record.total_length;
  if (length > kMaxCommandData) {
    length = kMaxCommandData;
    record.total_length = length;
  }
  slot->data_context = length > 0 ? slot : nullptr;
  slot->copy = length > 0 ? &SlotCopy : nullptr;
  slot->data_length = length;
  slot->flags = 0;
  std::memcpy(slot->cdb, record.cdb, sizeof(slot->cdb));
  slot->reserved = 0;

  if (length > 0 && !vsbp::options::direction_or_status(record.options())) {
    if (!FetchDataOut(slot, n)) return;  // answered with a transport failure, not executed
  }

  std::memset(slot->sense, 0, sizeof(slot->sense));
  if (length > 0) {
    const uint8_t orb_speed = vsbp::options::speed(record.options());
    const uint16_t descriptor_node = static_cast<uint16_t>(record.orb_q2 >> 16);
    if (orb_speed > speed_ && descriptor_node == node_) speed_ = orb_speed;
  }

  slot->node_id = node_;
  slot->speed = speed_;
  slot->generation = generation_;
  login_->busy[slot->slot_index] = 1;
  ++login_->in_flight;
  const DWORD status = unit_->callbacks.submit(unit_->user_data, unit_index_, login_->target_context, slot);
  if (status != ERROR_IO_PENDING) VSbp2ApiCompleteRequest(slot, status);
}

// Reads the initiator's data of a data-out command into the slot. On failure the ORB is
// answered with a transport failure here.
bool LoginThread::FetchDataOut(RequestSlot* slot, DWORD n) {
  vsbp::CommandRecord& record = slot->record;
  uint32_t status_template[2];
  std::memcpy(status_template, record.status_template, sizeof(status_template));
  // Without a status the transfer head is 32 bytes: the page table moves over the template.
  if (vsbp::options::page_table_present(record.options())) {
    std::memmove(record.status_template, record.page_table, n - vsbp::kCommandRecordHeadBytes);
  }
  const DWORD in_length = n - sizeof(status_template);
  vsbp::TransferRequest& t = AsTransfer(record);
  SetKind(t, index_);
  t.generation = generation_;
  t.status_fifo_hi = 0;
  t.status_node_id = 0;
  t.status_fifo_lo = 0;

  OVERLAPPED overlapped{};
  overlapped.hEvent = login_->events[kFetchEvent];
  DWORD got = 0;
  BOOL ok = DeviceIoControl(handle_, vsbp::IOCTL_VSBP_READ_INITIATOR, &record, in_length, SlotData(slot),
                            record.total_length, &got, &overlapped);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(handle_, &overlapped, &got, TRUE);
  std::memcpy(record.status_template, status_template, sizeof(status_template));
  if (ok) {
    ResetEvent(login_->events[kFetchEvent]);
    slot->flags |= kSlotDataFetched;
    return true;
  }
  uint32_t q0 = vsbp::status_block::WithResp(status_template[0], vsbp::kRespTransportFailure);
  q0 = vsbp::status_block::WithSbpStatus(q0, vsbp::kSbpDataBufferDataError);
  uint32_t block[2] = {ToBus32(q0), ToBus32(status_template[1])};
  TransferInitiatorMemory(handle_, &login_->status_overlapped, node_, login_->status_fifo_hi,
                          login_->status_fifo_lo, generation_, block, sizeof(block), 1, speed_, index_);
  return false;
}

void LoginThread::Leave() {
  EnterCriticalSection(&login_->lock);
  login_->ended = 1;
  LeaveCriticalSection(&login_->lock);

  bool stop = failed_;
  if (fetch_pending_) {
    CancelIo(handle_);
    DWORD n = 0;
    // A cancelled fetch has released the driver's login slot already.
    stop = GetOverlappedResult(handle_, &fetch_overlapped_, &n, TRUE) || GetLastError() != ERROR_OPERATION_ABORTED;
  }
  if (stop) {
    vsbp::FetchRequest release{};
    release.version = vsbp::kControlVersion;
    release.login_id = index_;
    release.node_id = vsbp::kReleaseSlotNodeId;
    login_->status_overlapped = {};
    login_->status_overlapped.hEvent = login_->events[kFetchEvent];
    DWORD n = 0;
    if (!DeviceIoControl(handle_, vsbp::IOCTL_VSBP_FETCH_COMMAND, &release, sizeof(release), nullptr, 0, &n,
                         &login_->status_overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
      GetOverlappedResult(handle_, &login_->status_overlapped, &n, TRUE);
    }
  }

  if (login_->in_flight > 0) {
    CancelAllSlots();
    for (int i = 0; i < kSlotsPerLogin; ++i) {
      if (login_->busy[i] == 0) SetEvent(login_->events[i]);
    }
    WaitForMultipleObjects(kSlotsPerLogin, login_->events, TRUE, INFINITE);
  }

  if (started_) {
    unit_->callbacks.release(unit_->user_data, unit_index_, login_->target_context, result_);
  } else {
    EnterCriticalSection(&login_->lock);
    login_->control_code = result_;
    LeaveCriticalSection(&login_->lock);
    SetEvent(login_->started_event);
  }
}

}  // namespace

DWORD TransferInitiatorMemory(HANDLE unit, OVERLAPPED* overlapped, uint16_t node_id, uint16_t offset_hi,
                              uint32_t offset_lo, uint32_t generation, void* buffer, uint32_t length, int write,
                              uint8_t speed, uint16_t login_index) {
  vsbp::TransferRequest t{};
  SetKind(t, login_index);
  t.transfer_length = length;
  t.data_size = static_cast<uint16_t>(length);
  t.data_offset_hi = offset_hi;
  t.node_id = node_id;
  t.data_offset_lo = offset_lo & ~3u;
  t.options = static_cast<uint16_t>((speed & 7) << 8 | kAnyPayload);
  t.generation = generation;

  HANDLE event = overlapped->hEvent;
  *overlapped = {};
  overlapped->hEvent = event;
  DWORD n = 0;
  if (DeviceIoControl(unit, write ? vsbp::IOCTL_VSBP_WRITE_INITIATOR : vsbp::IOCTL_VSBP_READ_INITIATOR, &t,
                      sizeof(t), buffer, length, &n, overlapped)) {
    return 0;
  }
  DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) return error;
  return GetOverlappedResult(unit, overlapped, &n, TRUE) ? 0 : GetLastError();
}

bool SenseToStatusBlock(const uint32_t (&status_template)[2], const uint8_t (&sense)[18], uint8_t (&out)[24]) {
  const uint8_t response_code = sense[0] & 0x7F;
  if (response_code != 0x70 && response_code != 0x71) return false;
  const bool valid = (sense[0] & 0x80) != 0;
  // len = 5: the block is six quadlets.
  const uint32_t q0 = (status_template[0] & ~(7u << 24)) | 5u << 24;
  const uint32_t head[2] = {ToBus32(q0), ToBus32(status_template[1])};
  std::memset(out, 0, sizeof(out));
  std::memcpy(out, head, sizeof(head));
  const uint8_t sfmt = response_code == 0x71 ? 1 : 0;  // deferred errors
  out[8] = static_cast<uint8_t>(sfmt << 6 | 0x02);   // CHECK CONDITION
  out[9] = static_cast<uint8_t>((sense[2] & 0x0F) | (valid ? 0x80 : 0) | (sense[2] & 0x80 ? 0x40 : 0) |
                                (sense[2] & 0x40 ? 0x20 : 0) | (sense[2] & 0x20 ? 0x10 : 0));
  out[10] = sense[12];  // ASC
  out[11] = sense[13];  // ASCQ
  if (valid) std::memcpy(&out[12], &sense[3], 4);  // information
  std::memcpy(&out[16], &sense[8], 4);   // command-specific information
  std::memcpy(&out[20], &sense[14], 4);  // FRU code and sense-key specific bytes
  return true;
}

DWORD LoginRequestThread(void* login_context) {
  LoginThread(static_cast<LoginContext*>(login_context)).Run();
  return 0;
}

void VSbp2ApiCompleteRequest(RequestSlot* slot, DWORD status) {
  UnitContext* unit = slot->owner;
  if (slot->login_index >= kManagementLoginIndex) {
    // The management agent's own request: it waits for the status in the slot.
    slot->login_index = static_cast<uint16_t>(status);
    SetEvent(unit->management_event);
    return;
  }
  LoginContext* login = &unit->logins[slot->login_index];
  HANDLE done = login->events[slot->slot_index];
  if (LoadCancelled(slot) != 0) {
    SetEvent(done);
    return;
  }
  vsbp::CommandRecord& record = slot->record;
  slot->completion = {};
  slot->completion.hEvent = done;
  DWORD n = 0;

  const uint16_t orb_options = record.options();
  if (status == 0 && slot->data_context != nullptr && record.total_length != 0 &&
      vsbp::options::direction_or_status(orb_options)) {
    // Data for the initiator: the driver writes it and then the status block.
    if (slot->data_length < record.total_length) {
      std::memset(SlotData(slot) + slot->data_length, 0, record.total_length - slot->data_length);
    }
    vsbp::TransferRequest& t = AsTransfer(record);
    SetKind(t, slot->login_index);
    t.options = static_cast<uint16_t>(slot->speed << 13 | (orb_options & 0x1FFF));
    t.generation = slot->generation;
    t.status_fifo_hi = login->status_fifo_hi;
    t.status_node_id = slot->node_id;
    t.status_fifo_lo = login->status_fifo_lo;
    if (!DeviceIoControl(unit->handle, vsbp::IOCTL_VSBP_WRITE_INITIATOR, &record, slot->fetched_length,
                         SlotData(slot), record.total_length, &n, &slot->completion) &&
        GetLastError() != ERROR_IO_PENDING) {
      SetEvent(done);
    }
    return;
  }

  uint32_t length = 8;
  uint32_t status_template[2];
  std::memcpy(status_template, record.status_template, sizeof(status_template));
  if (status == 0) {
    const uint32_t head[2] = {ToBus32(status_template[0]), ToBus32(status_template[1])};
    std::memcpy(slot->sense_status, head, sizeof(head));
  } else if (SenseToStatusBlock(status_template, slot->sense, slot->sense_status)) {
    length = sizeof(slot->sense_status);
  } else {
    uint32_t q0 = vsbp::status_block::WithResp(status_template[0], vsbp::kRespTransportFailure);
    q0 = vsbp::status_block::WithSbpStatus(q0, vsbp::kSbpUnspecifiedError);
    const uint32_t head[2] = {ToBus32(q0), ToBus32(status_template[1])};
    std::memcpy(slot->sense_status, head, sizeof(head));
  }
  vsbp::TransferRequest& t = AsTransfer(record);
  t = {};
  SetKind(t, slot->login_index);
  t.transfer_length = length;
  t.data_size = static_cast<uint16_t>(length);
  t.data_offset_hi = login->status_fifo_hi;
  t.node_id = slot->node_id;
  t.data_offset_lo = login->status_fifo_lo;
  t.options = static_cast<uint16_t>(slot->speed << 8 | kAnyPayload);
  t.generation = slot->generation;
  if (!DeviceIoControl(unit->handle, vsbp::IOCTL_VSBP_WRITE_INITIATOR, &record, sizeof(t), slot->sense_status,
                       length, &n, &slot->completion) &&
      GetLastError() != ERROR_IO_PENDING) {
    SetEvent(done);
  }
}

}  // namespace devaccess
