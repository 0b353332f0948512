#include "sim/responder.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sim {
namespace {

using kern::NTSTATUS;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxCommandData = 0x200000;
constexpr int kClaimWaitMs = 5000;

// Management answers: the top byte of status quadlet 0 (src, resp, d, len) and sbp_status.
constexpr uint16_t Sbp(uint8_t sbp_status) { return static_cast<uint16_t>(0x4100 | sbp_status); }
constexpr uint16_t kComplete = Sbp(0);
constexpr uint16_t kTransportFailure = 0x51FF;
constexpr uint16_t kIllegalRequest = 0x61FF;

template <typename T>
T Get(const std::vector<uint8_t>& b, size_t at) {
  T v;
  std::memcpy(&v, &b[at], sizeof(T));
  return v;
}
template <typename T>
void Put(std::vector<uint8_t>& b, size_t at, T v) {
  std::memcpy(&b[at], &v, sizeof(T));
}

}  // namespace

struct Responder::Login {
  uint16_t id = 0;
  uint16_t hold = 0;
  uint64_t eui64 = 0;
  bool exclusive = false;
  // Changed by RECONNECT on the management thread, read by the login thread (under mu_).
  uint16_t node = 0;
  uint8_t speed = 0;
  uint32_t generation = 0;
  uint16_t fifo_hi = 0;
  uint32_t fifo_lo = 0;
  bool end = false;     // told to end: logout, a failed login, the unit closing
  bool ended = false;   // the thread is done (or about to be)
  bool waiting = false;  // for a RECONNECT after a bus reset
  uint16_t countdown = 0;
  std::optional<uint32_t> claimed;  // generation of the last FETCH the driver accepted
  std::optional<uint32_t> refused;  // generation of the last FETCH refused for a bus reset
  std::thread thread;
};

CommandAnswer CommandAnswer::Good(std::vector<uint8_t> data) {
  CommandAnswer a;
  a.data_in = std::move(data);
  return a;
}

CommandAnswer CommandAnswer::CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
  CommandAnswer a;
  a.status = 2;
  a.sense[0] = 0x70;
  a.sense[2] = key & 0x0F;
  a.sense[7] = 10;
  a.sense[12] = asc;
  a.sense[13] = ascq;
  return a;
}

Responder::Responder(Machine& machine, ResponderOptions options, CommandHandler handler)
    : machine_(machine), options_(std::move(options)), handler_(std::move(handler)) {
  directory_ = options_.directory ? *options_.directory
                                  : BuildUnitDirectory(options_.inquiry, options_.unit,
                                                       options_.mac ? DirectoryVariant::kMac : DirectoryVariant::kWindows,
                                                       options_.max_reconnect_hold);
}

Responder::~Responder() { Stop(); }

NTSTATUS Responder::Start() {
  pid_ = kern::CurrentProcessId();
  std::u16string name = u"\\unit00";
  name[6] = static_cast<char16_t>(u'0' + options_.unit);
  NTSTATUS s = machine_.Open(options_.controller, name, &file_);
  if (!kern::NtSuccess(s)) {
    file_ = nullptr;
    return s;
  }
  std::vector<uint8_t> first(vsbp::kHeaderBytes + directory_.size(), 0);
  first[0] = vsbp::kControlVersion;
  std::copy(directory_.begin(), directory_.end(), first.begin() + vsbp::kHeaderBytes);
  management_ = std::thread([this, first = std::move(first)]() mutable { ManagementThread(std::move(first)); });
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return start_status_ != kern::STATUS_PENDING; });
  return start_status_;
}

void Responder::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (file_ == nullptr) return;
  // Cleanup ends the pending GET and every pending FETCH; later requests are refused.
  kern::CleanupFile(file_);
  if (management_.joinable()) management_.join();
  for (auto& [id, login] : logins_) {
    if (login->thread.joinable()) login->thread.join();
  }
  logins_.clear();
  machine_.Close(file_);
  file_ = nullptr;
}

ResponderCounters Responder::counters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counters_;
}

bool Responder::WaitFor(const std::function<bool(const ResponderCounters&)>& done, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done(counters_); });
}

// ---- Control requests ------------------------------------------------------------------

NTSTATUS Responder::Call(const kern::ControlRequest& request, uintptr_t* information,
                         const std::function<bool()>& cancel_when,
                         const std::function<void(NTSTATUS)>& on_dispatch) {
  struct State {
    // Held while cancelling, and by the completion: the request cannot finish (and its
    // memory be reused) between the check and the cancel.
    std::recursive_mutex irp_mu;
    bool done = false;  // under the responder's mu_
    NTSTATUS status = kern::STATUS_PENDING;
    uintptr_t information = 0;
  };
  auto state = std::make_shared<State>();
  NTSTATUS dispatch = kern::STATUS_PENDING;
  kern::Irp* irp = kern::SendControl(
      file_, request,
      [this, state](NTSTATUS status, uintptr_t info) {
        std::lock_guard<std::recursive_mutex> irp_lock(state->irp_mu);
        {
          std::lock_guard<std::mutex> lock(mu_);
          state->done = true;
          state->status = status;
          state->information = info;
        }
        cv_.notify_all();
      },
      &dispatch);
  if (on_dispatch) on_dispatch(dispatch);
  std::unique_lock<std::mutex> lock(mu_);
  bool cancelled = false;
  while (!state->done) {
    if (!cancelled && cancel_when && cancel_when()) {
      cancelled = true;
      lock.unlock();
      {
        std::lock_guard<std::recursive_mutex> irp_lock(state->irp_mu);
        bool done;
        {
          std::lock_guard<std::mutex> relock(mu_);
          done = state->done;
        }
        if (!done) kern::CancelRequests(file_, irp);
      }
      lock.lock();
      continue;
    }
    cv_.wait(lock);
  }
  if (information != nullptr) *information = state->information;
  return state->status;
}

NTSTATUS Responder::Transfer(bool write, uint16_t node, uint16_t hi, uint32_t lo, uint32_t generation,
                             uint8_t speed, uint16_t tag, void* buffer, uint32_t length) {
  vsbp::TransferRequest tr{};
  tr.version = vsbp::kControlVersion;
  tr.tag = tag;
  tr.transfer_length = length;
  tr.data_offset_hi = hi;
  tr.node_id = node;
  tr.data_offset_lo = lo & ~3u;
  tr.data_size = static_cast<uint16_t>(length);
  tr.options = static_cast<uint16_t>((speed & 7) << 8 | 0xF0);
  tr.generation = generation;
  kern::ControlRequest request;
  request.code = write ? vsbp::IOCTL_VSBP_WRITE_INITIATOR : vsbp::IOCTL_VSBP_READ_INITIATOR;
  request.input = &tr;
  request.input_length = sizeof(tr);
  request.output = buffer;
  request.output_length = length;
  return kern::SendControlSync(file_, request);
}

bool Responder::ReadEui64(uint16_t node, uint8_t speed, uint32_t generation, uint64_t* eui64) {
  uint8_t hi[4], lo[4];
  if (!kern::NtSuccess(Transfer(false, node, 0xFFFF, 0xF000040C, generation, speed, vsbp::kManagementTag, hi, 4)) ||
      !kern::NtSuccess(Transfer(false, node, 0xFFFF, 0xF0000410, generation, speed, vsbp::kManagementTag, lo, 4))) {
    return false;
  }
  *eui64 = static_cast<uint64_t>(LoadBe32(hi)) << 32 | LoadBe32(lo);
  return true;
}

// ---- Management agent ------------------------------------------------------------------

void Responder::ManagementThread(std::vector<uint8_t> first_input) {
  kern::ProcessScope process(pid_);
  std::vector<uint8_t> head(vsbp::kHeaderBytes, 0);
  head[0] = vsbp::kControlVersion;
  bool first = true;
  while (true) {
    vsbp::ManagementRecord record{};
    kern::ControlRequest request;
    request.code = vsbp::IOCTL_VSBP_GET_REQUEST;
    request.input = first ? first_input.data() : head.data();
    request.input_length = static_cast<uint32_t>(first ? first_input.size() : head.size());
    request.output = &record;
    request.output_length = sizeof(record);
    uintptr_t information = 0;
    NTSTATUS s = Call(request, &information, [this] { return stopping_; },
                      [this, first](NTSTATUS dispatch) {
                        if (!first) return;
                        std::lock_guard<std::mutex> lock(mu_);
                        start_status_ = dispatch == kern::STATUS_PENDING ? kern::STATUS_SUCCESS : dispatch;
                        cv_.notify_all();
                      });
    if (first) {
      // Accepted at once with a record is a start too.
      std::lock_guard<std::mutex> lock(mu_);
      if (start_status_ == kern::STATUS_PENDING) start_status_ = s;
      cv_.notify_all();
      first = false;
    }
    if (s != kern::STATUS_SUCCESS || information != sizeof(record)) break;
    Process(record);
  }
  // The unit is closing: every login ends.
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [id, login] : logins_) login->end = true;
  }
  cv_.notify_all();
}

void Responder::Process(const vsbp::ManagementRecord& r) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++counters_.management_requests;
  }
  uint16_t answer;
  switch (r.function()) {
    case vsbp::kLogin:
      answer = static_cast<uint16_t>(DoLogin(r));
      break;
    case vsbp::kQueryLogins:
      answer = static_cast<uint16_t>(DoQueryLogins(r));
      break;
    case vsbp::kReconnect:
      answer = static_cast<uint16_t>(DoReconnect(r));
      break;
    case vsbp::kLogout:
      answer = static_cast<uint16_t>(DoLogout(r));
      break;
    default:
      answer = kIllegalRequest;
      break;
  }
  uint8_t status[8];
  StoreBe32(status, static_cast<uint32_t>(answer) << 16 | r.orb_offset_hi);
  StoreBe32(status + 4, r.orb_offset_lo);
  // Nobody is told when the status cannot be written; the initiator times out.
  Transfer(true, r.initiator_node_id, r.status_fifo_hi, r.status_fifo_lo, r.generation, r.speed(),
           vsbp::kManagementTag, status, sizeof(status));
}

uint32_t Responder::DoLogin(const vsbp::ManagementRecord& r) {
  const uint32_t response_length = std::min<uint32_t>(r.login_response_length() & ~3u, 16);
  if (r.lun_or_login_id != 0) return Sbp(5);
  uint64_t eui64 = 0;
  if (!ReadEui64(r.initiator_node_id, r.speed(), r.generation, &eui64)) return kTransportFailure;
  ReleaseEndedLogins();

  Login* login = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    int active = 0;
    for (const auto& entry : logins_) {
      const Login* l = entry.second.get();
      if (l->ended) continue;
      ++active;
      if (r.exclusive() || l->exclusive || l->eui64 == eui64) return Sbp(4);
    }
    uint16_t id = 0;
    while (id < vsbp::kLoginSlotsPerUnit && logins_.count(id) != 0) ++id;
    if (id >= vsbp::kLoginSlotsPerUnit || active >= options_.max_logins) return Sbp(8);
    auto l = std::make_unique<Login>();
    l->id = id;
    uint32_t hold = (1u << r.reconnect_exponent()) - 1;
    l->hold = static_cast<uint16_t>(std::min<uint32_t>(hold, options_.max_reconnect_hold));
    l->eui64 = eui64;
    l->exclusive = r.exclusive();
    l->node = r.initiator_node_id;
    l->speed = r.speed();
    l->generation = r.generation;
    l->fifo_hi = r.status_fifo_hi;
    l->fifo_lo = r.status_fifo_lo & ~3u;
    login = l.get();
    logins_[id] = std::move(l);
    login->thread = std::thread([this, login] { LoginThread(login); });
  }

  bool ok = WaitClaimed(login, r.generation);
  if (ok) {
    uint8_t response[16];
    StoreBe32(response, response_length << 16 | login->id);
    StoreBe32(response + 4, static_cast<uint32_t>(r.local_node_id) << 16 | 0xFFFF);
    StoreBe32(response + 8, 0xF0100000u + 32u * (64u * static_cast<uint32_t>(options_.unit) + login->id));
    StoreBe32(response + 12, login->hold);
    ok = kern::NtSuccess(Transfer(true, r.initiator_node_id, r.response_offset_hi, r.response_offset_lo, r.generation,
                                  r.speed(), vsbp::kManagementTag, response, response_length));
  }
  if (!ok) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      login->end = true;
    }
    cv_.notify_all();
    ReleaseLogin(login->id);
    return kTransportFailure;
  }
  std::lock_guard<std::mutex> lock(mu_);
  ++counters_.logins;
  cv_.notify_all();
  return kComplete;
}

uint32_t Responder::DoQueryLogins(const vsbp::ManagementRecord& r) {
  if (r.lun_or_login_id != 0) return Sbp(5);
  std::vector<uint8_t> response(4, 0);
  uint32_t entries = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [id, l] : logins_) {
      if (l->ended) continue;
      uint8_t entry[12];
      uint32_t first = l->waiting ? 0xFFFF0000u | l->countdown : static_cast<uint32_t>(l->node) << 16 | id;
      StoreBe32(entry, first);
      StoreBe32(entry + 4, static_cast<uint32_t>(l->eui64 >> 32));
      StoreBe32(entry + 8, static_cast<uint32_t>(l->eui64));
      response.insert(response.end(), entry, entry + 12);
      ++entries;
    }
  }
  StoreBe32(response.data(), (4 + 12 * entries) << 16 | options_.max_logins);
  // The driver puts query_logins_response_length where LOGIN has its lengths.
  response.resize(std::min<size_t>(response.size(), r.lengths));
  if (response.empty()) return kComplete;
  NTSTATUS s = Transfer(true, r.initiator_node_id, r.response_offset_hi, r.response_offset_lo, r.generation, r.speed(),
                        vsbp::kManagementTag, response.data(), static_cast<uint32_t>(response.size()));
  return kern::NtSuccess(s) ? kComplete : kTransportFailure;
}

uint32_t Responder::DoReconnect(const vsbp::ManagementRecord& r) {
  const uint16_t id = r.lun_or_login_id;
  Login* login = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = logins_.find(id);
    if (it == logins_.end()) return Sbp(0x0A);
    login = it->second.get();
  }
  uint64_t eui64 = 0;
  if (!ReadEui64(r.initiator_node_id, r.speed(), r.generation, &eui64)) return kTransportFailure;
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (login->ended) {
      lock.unlock();
      ReleaseLogin(id);
      return Sbp(0x0A);
    }
    if (login->eui64 != eui64) return Sbp(9);
    login->node = r.initiator_node_id;
    login->speed = r.speed();
    login->generation = r.generation;
    ++counters_.reconnects;
  }
  cv_.notify_all();
  // The initiator goes on with AGENT_RESET and ORB_POINTER as soon as it has the status,
  // which the driver refuses until the login has claimed its slot again.
  WaitClaimed(login, r.generation);
  return kComplete;
}

uint32_t Responder::DoLogout(const vsbp::ManagementRecord& r) {
  const uint16_t id = r.lun_or_login_id;
  {
    std::unique_lock<std::mutex> lock(mu_);
    auto it = logins_.find(id);
    if (it == logins_.end()) return Sbp(0x0A);
    Login* login = it->second.get();
    if (login->ended) {
      lock.unlock();
      ReleaseLogin(id);
      return Sbp(0x0A);
    }
    if (login->node != r.initiator_node_id) return Sbp(9);
    login->end = true;
    ++counters_.logouts;
  }
  cv_.notify_all();
  ReleaseLogin(id);
  return kComplete;
}

bool Responder::WaitClaimed(Login* login, uint32_t generation) {
  std::unique_lock<std::mutex> lock(mu_);
  // A newer reset may overtake the claim: then the FETCH for `generation` fails instead.
  cv_.wait_for(lock, std::chrono::milliseconds(kClaimWaitMs), [&] {
    return stopping_ || login->ended || login->claimed == generation || login->refused == generation;
  });
  return !login->ended && login->claimed == generation;
}

void Responder::ReleaseEndedLogins() {
  std::vector<uint16_t> ended;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [id, l] : logins_) {
      if (l->ended) ended.push_back(id);
    }
  }
  for (uint16_t id : ended) ReleaseLogin(id);
}

void Responder::ReleaseLogin(uint16_t id) {
  std::unique_ptr<Login> login;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = logins_.find(id);
    if (it == logins_.end()) return;
    login = std::move(it->second);
    logins_.erase(it);
  }
  if (login->thread.joinable()) login->thread.join();
}

// ---- Logins ----------------------------------------------------------------------------

void Responder::LoginThread(Login* login) {
  kern::ProcessScope process(pid_);
  std::vector<uint8_t> record(sizeof(vsbp::CommandRecord));
  bool release = false;  // the slot is still claimed when the loop ends
  while (true) {
    vsbp::FetchRequest fetch{};
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_ || login->end) break;
      fetch.version = vsbp::kControlVersion;
      fetch.login_id = login->id;
      fetch.speed = login->speed;
      fetch.generation = login->generation;
      fetch.status_fifo_hi = login->fifo_hi;
      fetch.node_id = login->node;
      fetch.status_fifo_lo = login->fifo_lo;
    }
    kern::ControlRequest request;
    request.code = vsbp::IOCTL_VSBP_FETCH_COMMAND;
    request.input = &fetch;
    request.input_length = sizeof(fetch);
    request.output = record.data();
    request.output_length = static_cast<uint32_t>(record.size());
    uintptr_t information = 0;
    NTSTATUS s = Call(request, &information, [this, login] { return stopping_ || login->end; },
                      [this, login, &fetch](NTSTATUS dispatch) {
                        if (dispatch != kern::STATUS_PENDING && dispatch != kern::STATUS_SUCCESS) return;
                        std::lock_guard<std::mutex> lock(mu_);
                        login->claimed = fetch.generation;
                        cv_.notify_all();
                      });
    if (s == kern::STATUS_SUCCESS) {
      if (information < vsbp::kCommandRecordHeadBytes) {
        release = true;
        break;
      }
      Answer(login, record, static_cast<uint32_t>(information), fetch.node_id, fetch.speed, fetch.generation);
      continue;
    }
    if (s == kern::STATUS_CANCELLED) break;
    if (s == kern::STATUS_REQUEST_ABORTED) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        ++counters_.fetch_aborts;
      }
      cv_.notify_all();
      if (options_.on_fetch_aborted) options_.on_fetch_aborted(login->id);
      continue;
    }
    // A login whose first FETCH never got through has nothing to reconnect to.
    if (s == kern::STATUS_BUS_RESET && login->claimed.has_value()) {
      // Wait for the initiator's RECONNECT, counting the hold down a second at a time.
      std::unique_lock<std::mutex> lock(mu_);
      ++counters_.fetch_bus_resets;
      login->refused = fetch.generation;
      login->waiting = true;
      login->countdown = login->hold;
      cv_.notify_all();
      bool resumed = false;
      auto tick = Clock::now() + std::chrono::seconds(1);
      while (!stopping_ && !login->end) {
        if (login->generation != fetch.generation) {
          resumed = true;
          break;
        }
        cv_.wait_until(lock, tick);
        if (Clock::now() < tick || login->generation != fetch.generation) continue;
        if (login->countdown == 0) {
          ++counters_.expired;
          break;
        }
        --login->countdown;
        tick += std::chrono::seconds(1);
      }
      login->waiting = false;
      if (resumed) continue;
      break;
    }
    release = true;  // anything else: give the slot back
    break;
  }
  if (release) {
    vsbp::FetchRequest stop{};
    stop.version = vsbp::kControlVersion;
    stop.login_id = login->id;
    stop.node_id = vsbp::kReleaseSlotNodeId;
    kern::ControlRequest request;
    request.code = vsbp::IOCTL_VSBP_FETCH_COMMAND;
    request.input = &stop;
    request.input_length = sizeof(stop);
    kern::SendControlSync(file_, request);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    login->ended = true;
  }
  cv_.notify_all();
}

void Responder::Answer(Login* login, std::vector<uint8_t>& record, uint32_t fetched, uint16_t node, uint8_t speed,
                       uint32_t generation) {
  auto* cmd = reinterpret_cast<vsbp::CommandRecord*>(record.data());
  const uint32_t length = std::min(cmd->total_length, kMaxCommandData);
  cmd->total_length = length;
  const uint16_t opts = cmd->options();
  const bool to_initiator = vsbp::options::direction_or_status(opts);
  const uint32_t status_template[2] = {cmd->status_template[0], cmd->status_template[1]};
  uint16_t fifo_hi;
  uint32_t fifo_lo;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fifo_hi = login->fifo_hi;
    fifo_lo = login->fifo_lo;
  }
  auto write_status = [&](uint8_t* block, uint32_t bytes) {
    Transfer(true, node, fifo_hi, fifo_lo, generation, speed, login->id, block, bytes);
  };

  std::vector<uint8_t> data_out;
  if (length > 0 && !to_initiator) {
    // The record becomes the read request: the ORB's descriptor and options stay, the
    // page table moves down over the status template.
    std::vector<uint8_t> tr(record.begin(), record.begin() + fetched);
    if (vsbp::options::page_table_present(opts)) {
      std::memmove(&tr[32], &tr[40], fetched - 40);
    }
    tr.resize(fetched - 8);
    Put<uint16_t>(tr, 0, vsbp::kControlVersion);
    Put<uint16_t>(tr, 2, login->id);
    Put<uint32_t>(tr, 0x14, generation);
    Put<uint32_t>(tr, 0x18, 0);
    Put<uint32_t>(tr, 0x1C, 0);
    data_out.resize(length);
    kern::ControlRequest request;
    request.code = vsbp::IOCTL_VSBP_READ_INITIATOR;
    request.input = tr.data();
    request.input_length = static_cast<uint32_t>(tr.size());
    request.output = data_out.data();
    request.output_length = length;
    if (!kern::NtSuccess(kern::SendControlSync(file_, request))) {
      uint8_t block[8];
      uint32_t q0 = vsbp::status_block::WithResp(status_template[0], vsbp::kRespTransportFailure);
      StoreBe32(block, vsbp::status_block::WithSbpStatus(q0, vsbp::kSbpDataBufferDataError));
      StoreBe32(block + 4, status_template[1]);
      write_status(block, 8);
      return;
    }
  }

  {
    std::lock_guard<std::mutex> lock(mu_);
    ++counters_.commands;
  }
  cv_.notify_all();
  CommandAnswer answer = handler_(*cmd, data_out);
  if (answer.drop) return;

  if (answer.status == 0 && length > 0 && to_initiator) {
    answer.data_in.resize(length, 0);
    Put<uint16_t>(record, 0, vsbp::kControlVersion);
    Put<uint16_t>(record, 2, login->id);
    Put<uint16_t>(record, 0x12, static_cast<uint16_t>((speed & 7) << 13 | (opts & 0x1FFF)));
    Put<uint32_t>(record, 0x14, generation);
    Put<uint16_t>(record, 0x18, fifo_hi);
    Put<uint16_t>(record, 0x1A, node);
    Put<uint32_t>(record, 0x1C, fifo_lo);
    kern::ControlRequest request;
    request.code = vsbp::IOCTL_VSBP_WRITE_INITIATOR;
    request.input = record.data();
    request.input_length = fetched;
    request.output = answer.data_in.data();
    request.output_length = length;
    kern::SendControlSync(file_, request);  // the driver writes the data, then the status
    return;
  }

  uint8_t block[24] = {};
  uint32_t bytes = 8;
  uint32_t q0 = status_template[0];
  const std::array<uint8_t, 18>& sense = answer.sense;
  const uint8_t code = sense[0] & 0x7F;
  if (answer.status != 0 && (code == 0x70 || code == 0x71)) {
    const bool valid = sense[0] & 0x80;
    q0 = (q0 & ~(7u << 24)) | 5u << 24;
    bytes = 24;
    block[8] = static_cast<uint8_t>((code == 0x71 ? 1 : 0) << 6 | 0x02);
    block[9] = static_cast<uint8_t>((sense[2] & 0x0F) | (valid ? 0x80 : 0) | (sense[2] & 0x80 ? 0x40 : 0) |
                                    (sense[2] & 0x40 ? 0x20 : 0) | (sense[2] & 0x20 ? 0x10 : 0));
    block[10] = sense[12];
    block[11] = sense[13];
    if (valid) std::memcpy(block + 12, &sense[3], 4);
    std::memcpy(block + 16, &sense[8], 4);
    std::memcpy(block + 20, &sense[14], 4);
  } else if (answer.status != 0) {
    q0 = vsbp::status_block::WithSbpStatus(vsbp::status_block::WithResp(q0, vsbp::kRespTransportFailure),
                                           vsbp::kSbpUnspecifiedError);
  }
  StoreBe32(block, q0);
  StoreBe32(block + 4, status_template[1]);
  write_status(block, bytes);
}

}  // namespace sim
