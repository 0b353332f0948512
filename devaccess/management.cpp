// Per open unit: the thread that publishes the unit directory and serves the unit's
// management agent (LOGIN, QUERY LOGINS, RECONNECT, LOGOUT).
#include <algorithm>
#include <cstring>
#include <new>

#include "devaccess/internal.h"

namespace devaccess {
namespace {

using namespace win32;

constexpr uint16_t kDisconnectedNode = 0xFFFF;
constexpr uint16_t kCsrHi = 0xFFFF;
// The initiator's bus information block: EUI-64 high and low quadlets.
constexpr uint32_t kEui64HiOffset = 0xF000040C;
constexpr uint32_t kEui64LoOffset = 0xF0000410;
// Command block agent registers as the driver lays them out: 32 bytes per login, 64 logins
// per unit.
constexpr uint32_t kCommandAgentBase = 0xF0100000;
constexpr uint16_t kMaxLoginResponse = 16;
// How long a RECONNECT's answer waits for the login to fetch again (an initiator gives a
// management ORB 2 s at least).
constexpr int kReconnectArmWaitMs = 500;

// sbp_status values of management answers.
constexpr uint8_t kSbpOk = 0;
constexpr uint8_t kSbpAccessDenied = 4;
constexpr uint8_t kSbpLunNotSupported = 5;
constexpr uint8_t kSbpResourcesUnavailable = 8;
constexpr uint8_t kSbpFunctionRejected = 9;
constexpr uint8_t kSbpLoginIdNotRecognized = 0x0A;
constexpr uint8_t kSbpUnspecified = 0xFF;

// The answer to one management ORB: its status block head, host order.
class ManagementStatus {
 public:
  explicit ManagementStatus(const vsbp::ManagementRecord& r)
      : q0_(0x41u << 24 | r.orb_offset_hi), q1_(r.orb_offset_lo) {}  // src 1, resp 0, len 1

  void Sbp(uint8_t s) { q0_ = vsbp::status_block::WithSbpStatus(q0_, s); }
  void TransportFailure() {
    q0_ = (q0_ & ~(0x20u << 24)) | 0x10u << 24;
    Sbp(kSbpUnspecified);
  }
  void IllegalRequest() {
    q0_ = (q0_ & ~(0x10u << 24)) | 0x20u << 24;
    Sbp(kSbpUnspecified);
  }
  void ToBus(uint32_t (&out)[2]) const {
    out[0] = ToBus32(q0_);
    out[1] = ToBus32(q1_);
  }

 private:
  uint32_t q0_;
  uint32_t q1_;
};

// The INQUIRY the management thread asks of the target before it publishes the unit.
struct InquiryBuffer {
  uint8_t bytes[kInquiryBytes + 1];
};

void InquiryCopy(void* context, void* buffer, uint32_t length, uint32_t offset, uint32_t direction) {
  if (direction != kCopyIntoRequest || offset >= kInquiryBytes) return;
  const uint32_t n = std::min(length, kInquiryBytes - offset);
  std::memcpy(static_cast<InquiryBuffer*>(context)->bytes + offset, buffer, n);
}

DWORD Transfer(UnitContext* unit, uint16_t node, uint16_t hi, uint32_t lo, uint32_t generation, void* buffer,
               uint32_t length, int write, uint8_t speed) {
  return TransferInitiatorMemory(unit->handle, &unit->management_overlapped, node, hi, lo, generation, buffer,
                                 length, write, speed, kManagementLoginIndex);
}

DWORD ReadInitiatorEui64(UnitContext* unit, uint32_t* hi, uint32_t* lo, uint16_t node, uint8_t speed,
                         uint32_t generation) {
  uint32_t q = 0;
  DWORD r = Transfer(unit, node, kCsrHi, kEui64HiOffset, generation, &q, 4, 0, speed);
  if (r != 0) return r;
  *hi = FromBus32(q);
  r = Transfer(unit, node, kCsrHi, kEui64LoOffset, generation, &q, 4, 0, speed);
  if (r != 0) return r;
  *lo = FromBus32(q);
  return 0;
}

bool Ended(LoginContext* login) {
  EnterCriticalSection(&login->lock);
  bool ended = login->ended != 0;
  LeaveCriticalSection(&login->lock);
  return ended;
}

void CloseEvents(LoginContext* login) {
  for (HANDLE& e : login->events) {
    if (e != nullptr) CloseHandle(e);
    e = nullptr;
  }
  if (login->started_event != nullptr) CloseHandle(login->started_event);
  login->started_event = nullptr;
}

class Management {
 public:
  Management(const vsbp::ManagementRecord& r, UnitContext* unit)
      : r_(r),
        unit_(unit),
        node_(r.initiator_node_id),
        fifo_hi_(r.status_fifo_hi),
        fifo_lo_(r.status_fifo_lo & ~3u),
        speed_(r.speed()),
        generation_(r.generation),
        local_node_(r.local_node_id),
        status_(r) {}

  void Process();

 private:
  void Login();
  void QueryLogins();
  void Reconnect();
  void Logout();
  // Creates login `j` and its thread; false (sbp_status set, target released) on failure.
  bool CreateLogin(uint16_t j, uint32_t eui_hi, uint32_t eui_lo, void* target);
  void UndoLogin(LoginContext* login);

  const vsbp::ManagementRecord& r_;
  UnitContext* const unit_;
  const uint16_t node_;
  const uint16_t fifo_hi_;
  const uint32_t fifo_lo_;
  const uint8_t speed_;
  const uint32_t generation_;
  const uint16_t local_node_;
  ManagementStatus status_;
};

void Management::Process() {
  switch (r_.function()) {
    case vsbp::kLogin: Login(); break;
    case vsbp::kQueryLogins: QueryLogins(); break;
    case vsbp::kReconnect: Reconnect(); break;
    case vsbp::kLogout: Logout(); break;
    default: status_.IllegalRequest(); break;
  }
  uint32_t block[2];
  status_.ToBus(block);
  // Nothing to do if the initiator cannot take its status: it times the ORB out.
  Transfer(unit_, node_, fifo_hi_, fifo_lo_, generation_, block, sizeof(block), 1, speed_);
}

void Management::Login() {
  const uint16_t response_length = std::min<uint16_t>(r_.login_response_length() & ~3u, kMaxLoginResponse);
  if (r_.lun_or_login_id != 0) return status_.Sbp(kSbpLunNotSupported);
  uint32_t eui_hi = 0, eui_lo = 0;
  if (ReadInitiatorEui64(unit_, &eui_hi, &eui_lo, node_, speed_, generation_) != 0) return status_.TransportFailure();

  int free_login = -1;
  int active = 0;
  for (int i = 0; i < kLoginsPerUnit; ++i) {
    LoginContext* login = &unit_->logins[i];
    if (login->thread != nullptr && Ended(login)) ReleaseLogin(static_cast<uint16_t>(i), unit_);
    if (login->thread == nullptr) {
      if (free_login < 0) free_login = i;
      continue;
    }
    ++active;
    if (r_.exclusive() || login->exclusive || (login->eui64_hi == eui_hi && login->eui64_lo == eui_lo)) {
      return status_.Sbp(kSbpAccessDenied);
    }
  }
  if (free_login < 0 || active >= unit_->max_logins) return status_.Sbp(kSbpResourcesUnavailable);

  void* target = nullptr;
  const DWORD attach = unit_->callbacks.attach(unit_->user_data, unit_->index, eui_lo, eui_hi,
                                               r_.exclusive() ? 1 : 0, &target);
  if (attach != 0) return status_.Sbp(attach == ERROR_NOT_ENOUGH_MEMORY ? kSbpResourcesUnavailable : kSbpAccessDenied);

  const uint16_t j = static_cast<uint16_t>(free_login);
  if (!CreateLogin(j, eui_hi, eui_lo, target)) return;
  LoginContext* login = &unit_->logins[j];

  // The login is not answered before its thread has its first fetch accepted.
  WaitForSingleObject(login->started_event, INFINITE);
  EnterCriticalSection(&login->lock);
  const DWORD start_result = login->control_code;
  LeaveCriticalSection(&login->lock);
  bool ok = start_result == 0;
  if (ok) {
    uint32_t response[4] = {
        ToBus32(static_cast<uint32_t>(response_length) << 16 | j),
        ToBus32(static_cast<uint32_t>(local_node_) << 16 | 0xFFFF),
        ToBus32(kCommandAgentBase + 32 * (64 * static_cast<uint32_t>(unit_->index) + j)),
        ToBus32(login->reconnect_hold),
    };
    ok = Transfer(unit_, node_, r_.response_offset_hi, r_.response_offset_lo & ~3u, generation_,
                  response, response_length, 1, speed_) == 0;
  }
  if (!ok) {
    SignalLogin(j, unit_, kControlAbandon);
    ReleaseLogin(j, unit_);
    status_.TransportFailure();
    // A thread that never started has not released the target itself.
    if (start_result != 0) unit_->callbacks.release(unit_->user_data, unit_->index, target, ERROR_IO_DEVICE);
  }
  if (login->started_event != nullptr) CloseHandle(login->started_event);
  login->started_event = nullptr;
}

bool Management::CreateLogin(uint16_t j, uint32_t eui_hi, uint32_t eui_lo, void* target) {
  LoginContext* login = &unit_->logins[j];
  login->started_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool events_ok = login->started_event != nullptr;
  for (HANDLE& e : login->events) {
    if (events_ok) {
      e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      events_ok = e != nullptr;
    }
  }
  if (!events_ok) {
    CloseEvents(login);
    status_.Sbp(kSbpResourcesUnavailable);
    unit_->callbacks.release(unit_->user_data, unit_->index, target, ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }

  const uint32_t hold = (1u << r_.reconnect_exponent()) - 1;
  login->reconnect_hold = static_cast<uint16_t>(std::min<uint32_t>(hold & 0xFFFF, unit_->max_reconnect_hold));
  login->reconnect_countdown = 0;
  login->node_id = node_;
  login->status_fifo_hi = fifo_hi_;
  login->status_fifo_lo = fifo_lo_;
  login->eui64_hi = eui_hi;
  login->eui64_lo = eui_lo;
  login->exclusive = r_.exclusive() ? 1 : 0;
  login->target_context = target;
  login->ended = 0;
  login->speed = speed_;
  login->generation = generation_;
  InitializeCriticalSection(&login->lock);
  login->control_code = ERROR_NOT_ENOUGH_MEMORY;

  // All of a login's memory is taken now: nothing is allocated per command.
  login->slots = reinterpret_cast<RequestSlot*>(new (std::nothrow) uint8_t[kSlotStride * kSlotsPerLogin]);
  if (login->slots != nullptr) {
    for (int i = 0; i < kSlotsPerLogin; ++i) {
      auto* slot = reinterpret_cast<RequestSlot*>(reinterpret_cast<uint8_t*>(login->slots) + kSlotStride * i);
      std::memset(static_cast<void*>(slot), 0, sizeof(RequestSlot));  // the header; the data buffer stays as it is
      slot->owner = unit_;
      slot->login_index = j;
      slot->slot_index = static_cast<uint16_t>(i);
      login->busy[i] = 0;
    }
    login->in_flight = 0;
    login->thread = CreateThread(nullptr, 0, &LoginRequestThread, login, 0, nullptr);
  }
  if (login->thread == nullptr) {
    UndoLogin(login);
    status_.Sbp(kSbpResourcesUnavailable);
    unit_->callbacks.release(unit_->user_data, unit_->index, target, ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

void Management::UndoLogin(LoginContext* login) {
  delete[] reinterpret_cast<uint8_t*>(login->slots);
  login->slots = nullptr;
  DeleteCriticalSection(&login->lock);
  CloseEvents(login);
}

void Management::QueryLogins() {
  if (r_.lun_or_login_id != 0) return status_.Sbp(kSbpLunNotSupported);
  uint32_t response[1 + 3 * kLoginsPerUnit];
  uint32_t entries = 0;
  for (LoginContext& login : unit_->logins) {
    if (login.thread == nullptr) continue;
    EnterCriticalSection(&login.lock);
    if (login.ended == 0) {
      // A login waiting for its reconnect shows the seconds it has left instead of its ID. A
      // login of an earlier generation waits too, though its thread may not have learnt of
      // the reset yet: its hold has not started counting, and its node ID is void.
      const bool reset_unseen = login.node_id != kDisconnectedNode && login.generation != generation_;
      const uint16_t node = reset_unseen ? kDisconnectedNode : login.node_id;
      const uint32_t id_or_countdown = reset_unseen                     ? login.reconnect_hold
                                       : node == kDisconnectedNode ? login.reconnect_countdown
                                                                   : login.index;
      response[1 + 3 * entries] = static_cast<uint32_t>(node) << 16 | id_or_countdown;
      response[2 + 3 * entries] = login.eui64_hi;
      response[3 + 3 * entries] = login.eui64_lo;
      ++entries;
    }
    LeaveCriticalSection(&login.lock);
  }
  const uint32_t length = 4 + 12 * entries;
  response[0] = length << 16 | unit_->max_logins;
  for (uint32_t i = 0; i < length / 4; ++i) response[i] = ToBus32(response[i]);
  const uint32_t send = std::min<uint32_t>(length, r_.lengths);
  if (send == 0) return;
  if (Transfer(unit_, node_, r_.response_offset_hi, r_.response_offset_lo & ~3u, generation_, response, send, 1,
               speed_) != 0) {
    status_.TransportFailure();
  }
}

void Management::Reconnect() {
  const uint16_t id = r_.lun_or_login_id;
  if (id >= kLoginsPerUnit || unit_->logins[id].thread == nullptr) return status_.Sbp(kSbpLoginIdNotRecognized);
  uint32_t eui_hi = 0, eui_lo = 0;
  if (ReadInitiatorEui64(unit_, &eui_hi, &eui_lo, node_, speed_, generation_) != 0) return status_.TransportFailure();
  LoginContext* login = &unit_->logins[id];
  EnterCriticalSection(&login->lock);
  if (login->ended != 0) {
    LeaveCriticalSection(&login->lock);
    ReleaseLogin(id, unit_);
    return status_.Sbp(kSbpLoginIdNotRecognized);
  }
  if (login->eui64_hi != eui_hi || login->eui64_lo != eui_lo) {
    LeaveCriticalSection(&login->lock);
    return status_.Sbp(kSbpFunctionRejected);
  }
  // The login keeps its status FIFO; only its address on the new bus changes.
  login->node_id = node_;
  login->speed = speed_;
  login->generation = generation_;
  SignalLogin(id, unit_, kControlResume);
  LeaveCriticalSection(&login->lock);
  // The driver's login slot takes agent register writes only once the login thread's next
  // FETCH has claimed it, and an initiator writes ORB_POINTER as soon as it reads this
  // status. The thread fetches again when one of its slots is free, which may wait for
  // commands the target still executes from before the reset: answer once it has, once the
  // bus has reset again (the thread waits for the next RECONNECT then, and this answer
  // cannot reach the initiator anyway), or after a bound well inside an initiator's
  // management time-out. A repeated RECONNECT finds the fetch of its generation armed
  // already and is answered at once. Sleep's granularity is the system timer's, so the
  // bound is a time, not a count of sleeps.
  const uint64_t deadline = GetTickCount64() + kReconnectArmWaitMs;
  for (;;) {
    EnterCriticalSection(&login->lock);
    const bool ready = (login->fetch_armed != 0 && login->armed_generation == generation_) || login->ended != 0 ||
                       login->node_id == kDisconnectedNode;
    LeaveCriticalSection(&login->lock);
    if (ready || GetTickCount64() >= deadline) break;
    Sleep(1);
  }
  status_.Sbp(kSbpOk);
}

void Management::Logout() {
  const uint16_t id = r_.lun_or_login_id;
  if (id >= kLoginsPerUnit || unit_->logins[id].thread == nullptr) return status_.Sbp(kSbpLoginIdNotRecognized);
  LoginContext* login = &unit_->logins[id];
  EnterCriticalSection(&login->lock);
  if (login->ended != 0) {
    LeaveCriticalSection(&login->lock);
    ReleaseLogin(id, unit_);
    return status_.Sbp(kSbpLoginIdNotRecognized);
  }
  if (login->node_id != node_) {
    LeaveCriticalSection(&login->lock);
    return status_.Sbp(kSbpFunctionRejected);
  }
  SignalLogin(id, unit_, kControlLogout);
  LeaveCriticalSection(&login->lock);
  ReleaseLogin(id, unit_);
  status_.Sbp(kSbpOk);
}

// The management thread of one unit: start, publish, serve until the unit stops.
class UnitThread {
 public:
  explicit UnitThread(UnitContext* unit) : unit_(unit) {}
  void Run();

 private:
  DWORD Inquire(uint8_t (&inquiry)[kInquiryBytes]);
  DWORD Serve(uint8_t* buffer, uint32_t directory_size);
  void Started() {
    if (started_) return;
    started_ = true;
    unit_->start_result = 0;
    SetEvent(unit_->start_event);
  }

  UnitContext* const unit_;
  bool started_ = false;
};

void UnitThread::Run() {
  DWORD code = ERROR_NOT_ENOUGH_MEMORY;
  unit_->management_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (unit_->management_event != nullptr) {
    unit_->management_overlapped = {};
    unit_->management_overlapped.hEvent = unit_->management_event;
    uint8_t inquiry[kInquiryBytes];
    code = Inquire(inquiry);
    if (code == 0) {
      uint8_t buffer[vsbp::kHeaderBytes + kWindowsDirectoryBytes];
      uint32_t directory_size = kWindowsDirectoryBytes;
      UnitDirectoryParams params;
      params.mac = (unit_->flags & kUnitFlagMac) != 0;
      params.management_agent = unit_->management_agent;
      params.reconnect_timeout = unit_->max_reconnect_hold;
      BuildUnitDirectory(&directory_size, buffer + vsbp::kHeaderBytes, inquiry, params);
      code = Serve(buffer, directory_size);
    }
  }

  if (started_) unit_->callbacks.unit_end(unit_->user_data, unit_->index, code);
  for (LoginContext& login : unit_->logins) {
    if (login.thread != nullptr) SignalLogin(login.index, unit_, kControlUnitClosing);
  }
  for (LoginContext& login : unit_->logins) {
    if (login.thread != nullptr) ReleaseLogin(login.index, unit_);
  }
  if (unit_->management_event != nullptr) CloseHandle(unit_->management_event);
  unit_->management_event = nullptr;
  if (!started_) {
    unit_->start_result = code;
    SetEvent(unit_->start_event);
  }
}

// Asks the target for its INQUIRY data: it names the peripheral type and the identity the
// unit directory publishes.
DWORD UnitThread::Inquire(uint8_t (&inquiry)[kInquiryBytes]) {
  void* target = nullptr;
  DWORD r = unit_->callbacks.attach(unit_->user_data, unit_->index, 0, 0, 0, &target);
  if (r != 0) return r;
  InquiryBuffer answer{};
  RequestSlot request;
  std::memset(static_cast<void*>(&request), 0, sizeof(request));
  request.data_context = &answer;
  request.copy = &InquiryCopy;
  request.data_length = kInquiryBytes;
  request.cdb[0] = 0x12;  // INQUIRY
  request.cdb[4] = kInquiryBytes;
  request.owner = unit_;
  request.login_index = kManagementLoginIndex;
  DWORD status = unit_->callbacks.submit(unit_->user_data, unit_->index, target, &request);
  if (status == ERROR_IO_PENDING) {
    WaitForSingleObject(unit_->management_event, INFINITE);
    status = request.login_index;  // where the completion left it
  }
  unit_->callbacks.release(unit_->user_data, unit_->index, target, 0);
  std::memcpy(inquiry, answer.bytes, kInquiryBytes);
  return status;
}

// Keeps one GET request pending, the first carrying the unit directory, and answers each
// management ORB it returns. Returns the code the unit ends with.
DWORD UnitThread::Serve(uint8_t* buffer, uint32_t directory_size) {
  uint32_t in_length = vsbp::kHeaderBytes + directory_size;
  const HANDLE handle = unit_->handle;
  for (;;) {
    std::memset(buffer, 0, vsbp::kHeaderBytes);
    buffer[0] = vsbp::kControlVersion;
    ResetEvent(unit_->management_event);
    DWORD n = 0;
    BOOL done = DeviceIoControl(handle, vsbp::IOCTL_VSBP_GET_REQUEST, buffer, in_length, buffer,
                                sizeof(vsbp::ManagementRecord), &n, &unit_->management_overlapped);
    if (!done) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) return error == ERROR_OPERATION_ABORTED ? error : ERROR_IO_DEVICE;
      Started();
      const HANDLE waits[2] = {unit_->management_event, unit_->stop_event};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(handle);
        GetOverlappedResult(handle, &unit_->management_overlapped, &n, TRUE);
        return ERROR_OPERATION_ABORTED;
      }
      if (!GetOverlappedResult(handle, &unit_->management_overlapped, &n, FALSE)) {
        const DWORD failure = GetLastError();
        return failure == ERROR_OPERATION_ABORTED ? failure : ERROR_IO_DEVICE;
      }
    }
    Started();
    in_length = vsbp::kHeaderBytes;  // the directory went with the first request only
    if (n != sizeof(vsbp::ManagementRecord)) return ERROR_IO_DEVICE;
    vsbp::ManagementRecord record;
    std::memcpy(&record, buffer, sizeof(record));
    ProcessManagementRequest(record, unit_);
  }
}

}  // namespace

void SignalLogin(uint16_t login_index, UnitContext* unit, DWORD code) {
  LoginContext* login = &unit->logins[login_index];
  EnterCriticalSection(&login->lock);
  login->control_code = code;
  SetEvent(login->events[kControlEvent]);
  LeaveCriticalSection(&login->lock);
}

void ReleaseLogin(uint16_t login_index, UnitContext* unit) {
  LoginContext* login = &unit->logins[login_index];
  WaitForSingleObject(login->thread, INFINITE);
  CloseHandle(login->thread);
  login->thread = nullptr;
  delete[] reinterpret_cast<uint8_t*>(login->slots);
  login->slots = nullptr;
  DeleteCriticalSection(&login->lock);
  for (HANDLE& e : login->events) {
    if (e != nullptr) CloseHandle(e);
    e = nullptr;
  }
}

void ProcessManagementRequest(const vsbp::ManagementRecord& record, UnitContext* unit) {
  Management(record, unit).Process();
}

DWORD ManagementThread(void* unit_context) {
  UnitThread(static_cast<UnitContext*>(unit_context)).Run();
  return 0;
}

}  // namespace devaccess
