#include "sim/initiator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

using SteadyClock = std::chrono::steady_clock;
using bus1394::RCODE_ADDRESS_ERROR;
using bus1394::RCODE_RESPONSE_COMPLETE;
using bus1394::RCODE_TYPE_ERROR;

constexpr uint8_t kLogin = 0x0, kQueryLogins = 0x1, kReconnect = 0x3, kLogout = 0x7;
constexpr uint8_t kAbortTaskSet = 0xC, kLogicalUnitReset = 0xE, kTargetReset = 0xF;
constexpr uint32_t kAgentReset = 0x04, kOrbPointer = 0x08, kDoorbell = 0x10, kAgentState = 0x00;
constexpr uint32_t kMaxPageTableElements = 512;

std::vector<uint8_t> Quadlets(std::initializer_list<uint32_t> q) {
  std::vector<uint8_t> out(4 * q.size());
  size_t i = 0;
  for (uint32_t v : q) StoreBe32(&out[4 * i++], v);
  return out;
}

uint16_t Hi(uint64_t address) { return static_cast<uint16_t>(address >> 32); }
uint32_t Lo(uint64_t address) { return static_cast<uint32_t>(address); }

}  // namespace

// What distinguishes the profiles.
struct InitiatorTraits {
  bool exclusive;
  uint8_t reconnect;  // exponent asked for at login
  int login_tries;
  int login_retry_ms;
  std::optional<uint32_t> busy_timeout;  // written after login
  bool agent_reset_after_login;          // and after a reconnect
  int max_outstanding;
  bool chained;
  int register_tries;  // agent register writes
  int register_retry_ms;
  bool logout_before_relogin;
  bool retry_unspecified_reconnect;
  uint32_t segment_bytes;  // longest segment of an unrestricted page table
};

namespace {

const InitiatorTraits kLinuxTraits{
    .exclusive = true, .reconnect = 2, .login_tries = 5, .login_retry_ms = 200, .busy_timeout = 0x0020000F,
    .agent_reset_after_login = true, .max_outstanding = 1, .chained = false, .register_tries = 3,
    .register_retry_ms = 50, .logout_before_relogin = true, .retry_unspecified_reconnect = false,
    .segment_bytes = 0xFFFC};
const InitiatorTraits kMacTraits{
    .exclusive = false, .reconnect = 0, .login_tries = 32, .login_retry_ms = 1000, .busy_timeout = 0x0000000F,
    .agent_reset_after_login = false, .max_outstanding = 1, .chained = false, .register_tries = 4,
    .register_retry_ms = 125, .logout_before_relogin = false, .retry_unspecified_reconnect = true,
    .segment_bytes = 0xFFFC};
const InitiatorTraits kChainedTraits{
    .exclusive = true, .reconnect = 2, .login_tries = 3, .login_retry_ms = 200, .busy_timeout = std::nullopt,
    .agent_reset_after_login = true, .max_outstanding = 8, .chained = true, .register_tries = 3,
    .register_retry_ms = 50, .logout_before_relogin = false, .retry_unspecified_reconnect = false,
    .segment_bytes = 4096};

const InitiatorTraits* TraitsOf(Profile p) {
  switch (p) {
    case Profile::kMac: return &kMacTraits;
    case Profile::kChained: return &kChainedTraits;
    case Profile::kLinux: break;
  }
  return &kLinuxTraits;
}

}  // namespace

const char* ToString(Transport t) {
  switch (t) {
    case Transport::kOk: return "ok";
    case Transport::kAborted: return "aborted";
    case Transport::kTimeout: return "timeout";
    case Transport::kNoDevice: return "no device";
    case Transport::kTransportFailure: return "transport failure";
  }
  return "?";
}

Command Command::Make(std::initializer_list<uint8_t> cdb, uint32_t data_in_length, std::vector<uint8_t> data_out) {
  Command c;
  std::copy_n(cdb.begin(), std::min<size_t>(cdb.size(), c.cdb.size()), c.cdb.begin());
  c.data_in_length = data_in_length;
  c.data_out = std::move(data_out);
  return c;
}

QueryLoginsInfo QueryLoginsInfo::Parse(std::span<const uint8_t> response) {
  QueryLoginsInfo info;
  if (response.size() < 4) return info;
  uint32_t q0 = LoadBe32(response.data());
  info.length = static_cast<uint16_t>(q0 >> 16);
  info.max_logins = static_cast<uint16_t>(q0);
  const size_t end = std::min<size_t>(response.size(), info.length);
  for (size_t at = 4; at + 12 <= end; at += 12) {
    uint32_t first = LoadBe32(&response[at]);
    info.entries.push_back({static_cast<uint16_t>(first >> 16), static_cast<uint16_t>(first),
                            static_cast<uint64_t>(LoadBe32(&response[at + 4])) << 32 | LoadBe32(&response[at + 8])});
  }
  return info;
}

struct Initiator::Pending {
  Command cmd;
  TransferOptions transfer;
  std::promise<Result> promise;
  SteadyClock::time_point start;
  SteadyClock::time_point deadline;
  bool finished = false;
  bool built = false;
  std::vector<Segment> segments;
  uint64_t page_table = 0;
  uint64_t descriptor = 0;  // the direct buffer or the page table
  uint16_t data_size = 0;
  bool page_table_present = false;
  uint8_t page_size = 0;
  uint8_t max_payload = 0;
  uint64_t orb = 0;  // of the latest send
  std::string sent;  // how and in which generation the latest send went, for the reports
  std::optional<std::vector<uint8_t>> status;
  int attempts = 0;

  uint32_t length() const {
    return cmd.data_out.empty() ? cmd.data_in_length : static_cast<uint32_t>(cmd.data_out.size());
  }
};

// ---- Life cycle ------------------------------------------------------------------------

Initiator::Initiator(bus1394::HostController& hc, InitiatorOptions options)
    : hc_(hc),
      options_(options),
      traits_(*TraitsOf(options.profile)),
      path_speed_(std::min(options.speed, hc.config().local_speed)) {
  status_fifo_ = Allocate(32, 32, 0, true);
  worker_ = std::thread([this] { Worker(); });
  hc_.Attach(this, options_.eui64, {}, options_.speed);
}

Initiator::~Initiator() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  hc_.Detach(this);
  worker_.join();
  std::lock_guard<std::mutex> lock(mu_);
  FailAll(Transport::kAborted);
}

uint16_t Initiator::node_id() const { return hc_.node_id(this); }

InitiatorCounters Initiator::counters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counters_;
}

std::vector<std::string> Initiator::losses() const {
  std::lock_guard<std::mutex> lock(mu_);
  return losses_;
}

std::vector<std::string> Initiator::strays() const {
  std::lock_guard<std::mutex> lock(mu_);
  return strays_;
}

void Initiator::Forget(uint64_t orb, std::string why) {
  if (orb == 0) return;
  forgotten_.emplace_back(orb, std::move(why) + " in generation " + std::to_string(generation_));
  if (forgotten_.size() > 256) forgotten_.pop_front();
}

namespace {

std::string DescribeManagement(const ManagementResult& r) {
  char text[48];
  if (r.rcode != RCODE_RESPONSE_COMPLETE) {
    std::snprintf(text, sizeof text, "%s (rcode %u)", ToString(r.transport), r.rcode);
    return text;
  }
  if (r.transport != Transport::kOk) return ToString(r.transport);
  if (r.ok()) return "ok";
  std::snprintf(text, sizeof text, "resp %u, sbp_status 0x%02X%s", r.resp, r.sbp_status, r.dead ? ", dead" : "");
  return text;
}

}  // namespace

std::optional<UnitInfo> Initiator::unit() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unit_;
}

std::optional<LoginInfo> Initiator::login() const {
  std::lock_guard<std::mutex> lock(mu_);
  return login_;
}

void Initiator::SetTransfer(const TransferOptions& options) {
  std::lock_guard<std::mutex> lock(mu_);
  transfer_ = options;
}

bool Initiator::WaitIdle(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] {
    return !reset_pending_ && !recovering_ && queue_.empty() && outstanding_.empty();
  });
}

// ---- Memory ----------------------------------------------------------------------------

uint64_t Initiator::Allocate(size_t bytes, size_t align, size_t offset, bool status_fifo) {
  std::lock_guard<std::mutex> lock(mem_mu_);
  uint64_t a = (next_address_ + align - 1) / align * align + offset;
  regions_[a] = Region{std::vector<uint8_t>(bytes, 0), status_fifo};
  next_address_ = a + bytes + 16;  // a gap: an access past the end finds no memory
  return a;
}

void Initiator::Free(uint64_t address) {
  std::lock_guard<std::mutex> lock(mem_mu_);
  regions_.erase(address);
}

void Initiator::WriteMemory(uint64_t address, std::span<const uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mem_mu_);
  auto it = regions_.upper_bound(address);
  if (it == regions_.begin()) return;
  --it;
  const uint64_t at = address - it->first;
  if (at + bytes.size() > it->second.bytes.size()) return;
  std::copy(bytes.begin(), bytes.end(), it->second.bytes.begin() + static_cast<ptrdiff_t>(at));
}

std::vector<uint8_t> Initiator::ReadMemory(uint64_t address, size_t bytes) {
  std::lock_guard<std::mutex> lock(mem_mu_);
  auto it = regions_.upper_bound(address);
  if (it == regions_.begin()) return {};
  --it;
  const uint64_t at = address - it->first;
  if (at + bytes > it->second.bytes.size()) return {};
  auto from = it->second.bytes.begin() + static_cast<ptrdiff_t>(at);
  return std::vector<uint8_t>(from, from + static_cast<ptrdiff_t>(bytes));
}

uint8_t Initiator::Access(const bus1394::Request& request, std::vector<uint8_t>* read_data,
                          std::vector<uint8_t>* status) {
  const bool read = request.tcode == bus1394::TCODE_READ_QUADLET || request.tcode == bus1394::TCODE_READ_BLOCK;
  const bool write = request.tcode == bus1394::TCODE_WRITE_QUADLET || request.tcode == bus1394::TCODE_WRITE_BLOCK;
  if (!read && !write) return RCODE_TYPE_ERROR;
  const bool quadlet = request.tcode == bus1394::TCODE_READ_QUADLET || request.tcode == bus1394::TCODE_WRITE_QUADLET;
  const uint64_t length = quadlet ? 4 : request.data_length;
  std::lock_guard<std::mutex> lock(mem_mu_);
  auto it = regions_.upper_bound(request.offset);
  if (it == regions_.begin()) return RCODE_ADDRESS_ERROR;
  --it;
  Region& region = it->second;
  const uint64_t at = request.offset - it->first;
  if (length == 0 || at + length > region.bytes.size()) return RCODE_ADDRESS_ERROR;
  auto from = region.bytes.begin() + static_cast<ptrdiff_t>(at);
  if (read) {
    read_data->assign(from, from + static_cast<ptrdiff_t>(length));
    return RCODE_RESPONSE_COMPLETE;
  }
  if (request.data.size() != length) return RCODE_TYPE_ERROR;
  // Status blocks come as block writes only.
  if (region.status_fifo && quadlet) return RCODE_TYPE_ERROR;
  std::copy(request.data.begin(), request.data.end(), from);
  if (region.status_fifo) *status = request.data;
  return RCODE_RESPONSE_COMPLETE;
}

bus1394::Response Initiator::HandleRequest(const bus1394::Request& request) {
  bus1394::Response response;
  std::vector<uint8_t> status;
  response.rcode = Access(request, &response.data, &status);
  // The controller's physical response unit posts writes into memory (ack_complete); the
  // status FIFO is an address range of the driver, answered by a response packet.
  const bool write = request.tcode == bus1394::TCODE_WRITE_QUADLET || request.tcode == bus1394::TCODE_WRITE_BLOCK;
  response.posted = write && status.empty() && response.rcode == bus1394::RCODE_RESPONSE_COMPLETE;
  if (!status.empty()) DeliverStatus(std::move(status), request.generation);
  return response;
}

void Initiator::DeliverStatus(std::vector<uint8_t> block, uint32_t generation) {
  if (block.size() < 8) return;  // too short to name its ORB
  const uint64_t orb = static_cast<uint64_t>(LoadBe32(block.data()) & 0xFFFF) << 32 | LoadBe32(&block[4]);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (mgmt_.orb != 0 && mgmt_.orb == orb) {
      mgmt_.status = std::move(block);
    } else if (auto it = by_orb_.find(orb); it != by_orb_.end() && !it->second->status) {
      it->second->status = std::move(block);
    } else if (generation < generation_) {
      ++counters_.late_status;
    } else {
      ++counters_.stray_status;
      if (strays_.size() < 10) {
        const uint32_t q0 = LoadBe32(block.data());
        char text[96];
        std::snprintf(text, sizeof text, "status for ORB 0x%012llX (resp %u, sbp_status 0x%02X%s) in generation %u",
                      static_cast<unsigned long long>(orb), (q0 >> 28) & 3, (q0 >> 16) & 0xFF,
                      (q0 >> 27) & 1 ? ", dead" : "", generation_);
        std::string what = text;
        auto used = std::find_if(forgotten_.rbegin(), forgotten_.rend(), [&](const auto& f) { return f.first == orb; });
        what += used != forgotten_.rend() ? ", after the ORB was " + used->second : ", an address not used lately";
        if (auto owner = by_orb_.find(orb); owner != by_orb_.end()) what += "; its ORB had its status already";
        strays_.push_back(std::move(what));
      }
    }
  }
  cv_.notify_all();
}

void Initiator::OnBusReset(uint32_t generation, uint16_t) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (generation <= generation_) return;  // reported late: already known
    generation_ = generation;
    ++counters_.bus_resets;
    if (login_ && generation > login_->generation) reset_pending_ = true;
  }
  cv_.notify_all();
}

bus1394::Response Initiator::SendToTarget(uint8_t tcode, uint64_t offset, std::vector<uint8_t> data,
                                          uint32_t data_length) {
  bus1394::Request r;
  r.tcode = tcode;
  r.offset = offset;
  r.speed = path_speed_;
  r.destination_id = hc_.local_node_id();
  r.generation = hc_.generation();
  if (tcode == bus1394::TCODE_WRITE_BLOCK) r.data_length = static_cast<uint32_t>(data.size());
  if (tcode == bus1394::TCODE_READ_BLOCK) r.data_length = data_length;
  r.data = std::move(data);
  return hc_.SendSync(this, std::move(r));
}

// ---- Configuration ROM -----------------------------------------------------------------

RomInfo Initiator::Discover() {
  std::map<uint32_t, uint32_t> cache;
  auto read = [&](uint32_t index) -> std::optional<uint32_t> {
    if (auto it = cache.find(index); it != cache.end()) return it->second;
    bus1394::Response r = SendToTarget(bus1394::TCODE_READ_QUADLET, bus1394::kConfigRomBase + 4u * index);
    if (r.rcode != RCODE_RESPONSE_COMPLETE || r.data.size() != 4) return std::nullopt;
    return cache[index] = LoadBe32(r.data.data());
  };
  RomInfo rom = ParseConfigRom(read);
  std::optional<UnitInfo> chosen;
  if (rom.ok) {
    size_t n = 0;
    for (const UnitInfo& u : rom.units) {
      if (u.IsSbp2() && n++ == options_.unit) chosen = u;
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  unit_ = chosen;
  return rom;
}

// ---- Management ORBs -------------------------------------------------------------------

int Initiator::ManagementTimeoutMs(bool login) const {
  if (options_.management_timeout_ms) return *options_.management_timeout_ms;
  uint32_t mgt = 20000;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (unit_ && unit_->mgt_orb_timeout_ms() != 0) mgt = unit_->mgt_orb_timeout_ms();
  }
  if (options_.profile == Profile::kMac) return static_cast<int>(login ? mgt : mgt + 1000);
  return login ? static_cast<int>(std::clamp<uint32_t>(mgt, 5000, 40000)) : 2000;
}

ManagementResult Initiator::Manage(uint8_t function, uint16_t lun_or_login, const LoginOptions* login,
                                   uint16_t response_length, int timeout_ms, uint32_t* used_generation) {
  std::lock_guard<std::mutex> serial(mgmt_mu_);
  std::optional<UnitInfo> u = unit();
  if (!u || u->management_agent == 0) return ManagementResult{Transport::kNoDevice};
  const uint32_t generation = hc_.generation();
  const uint16_t me = hc_.node_id(this);
  if (used_generation != nullptr) *used_generation = generation;
  const uint64_t response = response_length != 0 ? Allocate(response_length, 8) : 0;
  uint64_t password = 0;

  std::array<uint32_t, 8> q = {};
  q[2] = static_cast<uint32_t>(me) << 16 | Hi(response);
  q[3] = Lo(response);
  q[4] = 1u << 31 | static_cast<uint32_t>(function) << 16 | lun_or_login;  // notify
  if (function == kLogin && login != nullptr) {
    q[4] |= (login->exclusive.value_or(traits_.exclusive) ? 1u << 28 : 0) |
            static_cast<uint32_t>(login->reconnect.value_or(traits_.reconnect) & 0xF) << 20;
    uint32_t password_length = 0;
    if (!login->password_in_memory && login->password.size() <= 8) {
      uint8_t inline_password[8] = {};
      std::copy(login->password.begin(), login->password.end(), inline_password);
      q[0] = LoadBe32(inline_password);
      q[1] = LoadBe32(inline_password + 4);
    } else if (!login->password.empty()) {
      password = Allocate(login->password.size(), 8);
      WriteMemory(password, login->password);
      q[0] = static_cast<uint32_t>(me) << 16 | Hi(password);
      q[1] = Lo(password);
      password_length = static_cast<uint32_t>(login->password.size());
    }
    q[5] = password_length << 16 | response_length;
  } else if (function == kQueryLogins) {
    q[5] = response_length;
  }
  ManagementResult result = SendManagement(*u, q, generation, response, response_length, timeout_ms);
  if (password != 0) Free(password);
  return result;
}

ManagementResult Initiator::SendManagementOrb(const RawManagementOrb& raw) {
  std::lock_guard<std::mutex> serial(mgmt_mu_);
  std::optional<UnitInfo> u = unit();
  if (!u || u->management_agent == 0) return ManagementResult{Transport::kNoDevice};
  const uint32_t generation = hc_.generation();
  const uint16_t me = hc_.node_id(this);
  const uint64_t response = raw.response_length != 0 ? Allocate(raw.response_length, 8) : 0;
  std::array<uint32_t, 8> q = {raw.q0, raw.q1, static_cast<uint32_t>(me) << 16 | Hi(response), Lo(response),
                               1u << 31 | raw.q4, raw.q5};
  const bool login = ((raw.q4 >> 16) & 0xF) == kLogin;
  return SendManagement(*u, q, generation, response, raw.response_length,
                        raw.timeout_ms != 0 ? raw.timeout_ms : ManagementTimeoutMs(login));
}

// Writes the ORB (status FIFO filled in), rings the agent and waits for the status; frees
// the response buffer. mgmt_mu_ held.
ManagementResult Initiator::SendManagement(const UnitInfo& u, std::array<uint32_t, 8> q, uint32_t generation,
                                           uint64_t response, uint16_t response_length, int timeout_ms) {
  ManagementResult result;
  const uint16_t me = hc_.node_id(this);
  q[6] = static_cast<uint32_t>(me) << 16 | Hi(status_fifo_);
  q[7] = Lo(status_fifo_);
  const uint64_t orb = Allocate(32, 32);
  WriteMemory(orb, Quadlets({q[0], q[1], q[2], q[3], q[4], q[5], q[6], q[7]}));

  {
    std::lock_guard<std::mutex> lock(mu_);
    mgmt_.orb = orb;
    mgmt_.status.reset();
  }
  bus1394::Response w = SendToTarget(bus1394::TCODE_WRITE_BLOCK, bus1394::kCsrRegisterBase + u.management_agent,
                                     Quadlets({static_cast<uint32_t>(me) << 16 | Hi(orb), Lo(orb)}));
  const bool same_bus = hc_.generation() == generation;
  bool waited_out = false;
  {
    std::unique_lock<std::mutex> lock(mu_);
    result.rcode = w.rcode;
    if (w.rcode != RCODE_RESPONSE_COMPLETE) {
      result.transport = same_bus ? Transport::kTransportFailure : Transport::kAborted;
    } else {
      const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
      cv_.wait_until(lock, deadline, [&] { return stop_ || mgmt_.status || generation_ > generation; });
      if (mgmt_.status) {
        const std::vector<uint8_t>& s = *mgmt_.status;
        const uint32_t q0 = LoadBe32(s.data());
        result.resp = (q0 >> 28) & 3;
        result.dead = (q0 >> 27) & 1;
        result.sbp_status = static_cast<uint8_t>(q0 >> 16);
        result.transport = result.resp == 0 ? Transport::kOk : Transport::kTransportFailure;
        result.status = s;
      } else {
        result.transport = stop_ || generation_ > generation ? Transport::kAborted : Transport::kTimeout;
        waited_out = result.transport == Transport::kTimeout;
      }
    }
    if (!mgmt_.status) Forget(orb, std::string("a management ORB given up as ") + ToString(result.transport));
    mgmt_.orb = 0;
    mgmt_.status.reset();
  }
  // A status lost to a reset whose callout has not come yet is no time-out either.
  if (waited_out && hc_.generation() != generation) result.transport = Transport::kAborted;
  if (response != 0) {
    result.response = ReadMemory(response, response_length);
    Free(response);
  }
  Free(orb);
  return result;
}

ManagementResult Initiator::Login(const LoginOptions& options) {
  LoginOptions resolved = options;
  resolved.exclusive = options.exclusive.value_or(traits_.exclusive);
  resolved.reconnect = options.reconnect.value_or(traits_.reconnect);
  const int tries = std::max(1, options.tries.value_or(traits_.login_tries));
  ManagementResult r;
  for (int i = 0; i < tries; ++i) {
    r = LoginOnce(resolved);
    if (r.ok()) break;
    if (i + 1 < tries) std::this_thread::sleep_for(std::chrono::milliseconds(traits_.login_retry_ms));
  }
  return r;
}

ManagementResult Initiator::LoginOnce(const LoginOptions& options) {
  uint32_t generation = 0;
  ManagementResult r = Manage(kLogin, options.lun, &options, options.response_length, ManagementTimeoutMs(true),
                              &generation);
  if (!r.ok()) return r;
  const bool moved = hc_.generation() != generation;
  // A short response reads as zero-filled: the buffer starts zeroed.
  std::vector<uint8_t> resp = r.response;
  resp.resize(16, 0);
  LoginInfo info;
  info.response_length = static_cast<uint16_t>(LoadBe32(&resp[0]) >> 16);
  info.login_id = static_cast<uint16_t>(LoadBe32(&resp[0]));
  info.command_agent = static_cast<uint64_t>(LoadBe32(&resp[4]) & 0xFFFF) << 32 | LoadBe32(&resp[8]);
  info.reconnect_hold = static_cast<uint16_t>(LoadBe32(&resp[12]));
  info.generation = generation;
  {
    std::lock_guard<std::mutex> lock(mu_);
    login_ = info;
    login_options_ = options;
    ResetChain();
    agent_reset_needed_ = false;
    // A reset that came while the login was answered was not noticed as one to recover from.
    if (moved || generation_ > generation) reset_pending_ = true;
  }
  cv_.notify_all();
  if (traits_.busy_timeout) {
    SendToTarget(bus1394::TCODE_WRITE_QUADLET, bus1394::kBusyTimeout, Quadlets({*traits_.busy_timeout}));
  }
  if (traits_.agent_reset_after_login) AgentReset();
  return r;
}

ManagementResult Initiator::QueryLogins(uint16_t response_length) {
  return Manage(kQueryLogins, 0, nullptr, response_length, ManagementTimeoutMs(false), nullptr);
}

ManagementResult Initiator::Reconnect() {
  std::optional<LoginInfo> l = login();
  if (!l) return ManagementResult{Transport::kNoDevice};
  uint32_t generation = 0;
  ManagementResult r = Manage(kReconnect, l->login_id, nullptr, 0, ManagementTimeoutMs(false), &generation);
  if (r.ok()) {
    std::lock_guard<std::mutex> lock(mu_);
    if (login_ && login_->login_id == l->login_id) login_->generation = generation;
  }
  return r;
}

ManagementResult Initiator::Logout() {
  std::optional<LoginInfo> l = login();
  if (!l) return ManagementResult{Transport::kNoDevice};
  ManagementResult r = Manage(kLogout, l->login_id, nullptr, 0, ManagementTimeoutMs(false), nullptr);
  if (r.ok()) {
    std::lock_guard<std::mutex> lock(mu_);
    login_.reset();
    FailAll(Transport::kAborted);
    ResetChain();
  }
  cv_.notify_all();
  return r;
}

ManagementResult Initiator::AbortTaskSet() { return TaskManagement(kAbortTaskSet); }
ManagementResult Initiator::LogicalUnitReset() { return TaskManagement(kLogicalUnitReset); }
ManagementResult Initiator::TargetReset() { return TaskManagement(kTargetReset); }

ManagementResult Initiator::TaskManagement(uint8_t function) {
  std::optional<LoginInfo> l = login();
  if (!l) return ManagementResult{Transport::kNoDevice};
  {
    std::lock_guard<std::mutex> lock(mu_);
    hold_issue_ = true;  // the agent is DEAD until it has been reset
  }
  ManagementResult r = Manage(function, l->login_id, nullptr, 0, ManagementTimeoutMs(false), nullptr);
  if (r.ok()) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      std::vector<std::shared_ptr<Pending>> held(outstanding_.begin(), outstanding_.end());
      for (const auto& p : held) Finish(p, Transport::kAborted);
      ResetChain();
    }
    AgentReset();
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    hold_issue_ = false;
  }
  cv_.notify_all();
  return r;
}

bool Initiator::WriteAgent(uint32_t reg, uint8_t tcode, std::vector<uint8_t> data, uint8_t* rcode) {
  std::optional<LoginInfo> l = login();
  if (!l) return false;
  const uint32_t generation = hc_.generation();
  for (int i = 0; i < traits_.register_tries; ++i) {
    bus1394::Response r = SendToTarget(tcode, l->command_agent + reg, data);
    if (rcode != nullptr) *rcode = r.rcode;
    if (r.rcode == RCODE_RESPONSE_COMPLETE) return true;
    if (hc_.generation() != generation) return false;  // the reset recovery takes over
    std::unique_lock<std::mutex> lock(mu_);
    if (cv_.wait_for(lock, std::chrono::milliseconds(traits_.register_retry_ms),
                     [this] { return stop_ || reset_pending_; })) {
      return false;
    }
  }
  return false;
}

void Initiator::AgentReset() {
  if (WriteAgent(kAgentReset, bus1394::TCODE_WRITE_QUADLET, Quadlets({0}))) {
    std::lock_guard<std::mutex> lock(mu_);
    ++counters_.agent_resets;
  }
}

std::optional<uint32_t> Initiator::ReadAgentState() {
  std::optional<LoginInfo> l = login();
  if (!l) return std::nullopt;
  bus1394::Response r = SendToTarget(bus1394::TCODE_READ_QUADLET, l->command_agent + kAgentState);
  if (r.rcode != RCODE_RESPONSE_COMPLETE || r.data.size() != 4) return std::nullopt;
  return LoadBe32(r.data.data());
}

// ---- Commands --------------------------------------------------------------------------

std::future<Result> Initiator::Submit(Command command) {
  auto p = std::make_shared<Pending>();
  p->cmd = std::move(command);
  p->start = SteadyClock::now();
  p->deadline = p->start + p->cmd.timeout;
  std::future<Result> future = p->promise.get_future();
  {
    std::lock_guard<std::mutex> lock(mu_);
    p->transfer = transfer_;
    if (!login_ || stop_) {
      p->finished = true;
      Result r;
      r.transport = Transport::kNoDevice;
      p->promise.set_value(std::move(r));
      return future;
    }
    queue_.push_back(p);
  }
  cv_.notify_all();
  return future;
}

bool Initiator::BuildBuffers(Pending& p) {
  const uint32_t size = p.length();
  p.built = true;
  if (size == 0) return true;
  const TransferOptions& t = p.transfer;
  p.max_payload = t.max_payload.value_or(static_cast<uint8_t>(std::min(path_speed_ + 7, 10)));
  const bool direct = t.layout == TransferOptions::Layout::kDirect ||
                      (t.layout == TransferOptions::Layout::kAuto && !traits_.chained && size <= 0xFFFF);
  if (direct) {
    if (size > 0xFFFF) return false;
    uint64_t a = Allocate(size, 4096, t.misalign);
    p.segments.push_back({a, size});
    p.descriptor = a;
    p.data_size = static_cast<uint16_t>(size);
  } else {
    // Every segment in memory of its own, as scattered pages are.
    const uint32_t ps = t.page_size != 0 ? 256u << t.page_size : 0;
    const uint32_t limit =
        ps != 0 ? ps : std::min<uint32_t>(t.segment_bytes != 0 ? t.segment_bytes : traits_.segment_bytes, 0xFFFF);
    const uint32_t align = ps != 0 ? ps : 4096;
    uint32_t remaining = size;
    bool first = true;
    while (remaining > 0) {
      const uint32_t offset = first ? t.misalign % limit : 0;
      const uint32_t n = std::min(remaining, limit - offset);
      p.segments.push_back({Allocate(n, align, offset), n});
      remaining -= n;
      first = false;
    }
    if (p.segments.size() > kMaxPageTableElements) return false;
    std::vector<uint8_t> table(8 * p.segments.size());
    for (size_t i = 0; i < p.segments.size(); ++i) {
      StoreBe32(&table[8 * i], p.segments[i].length << 16 | Hi(p.segments[i].address));
      StoreBe32(&table[8 * i + 4], Lo(p.segments[i].address));
    }
    p.page_table = Allocate(table.size(), 8);
    WriteMemory(p.page_table, table);
    p.descriptor = p.page_table;
    p.data_size = static_cast<uint16_t>(p.segments.size());
    p.page_table_present = true;
    p.page_size = t.page_size;
  }
  size_t at = 0;
  for (const Segment& s : p.segments) {
    if (p.cmd.data_out.empty()) break;
    WriteMemory(s.address, std::span<const uint8_t>(p.cmd.data_out).subspan(at, s.length));
    at += s.length;
  }
  return true;
}

void Initiator::Issue(const std::shared_ptr<Pending>& p) {
  if (!p->built && !BuildBuffers(*p)) {
    std::lock_guard<std::mutex> lock(mu_);
    Finish(p, Transport::kTransportFailure);
    return;
  }
  const uint32_t generation = hc_.generation();
  const uint16_t me = hc_.node_id(this);
  const bool to_initiator = p->cmd.data_out.empty() && p->cmd.data_in_length > 0;
  const uint64_t orb = Allocate(32, 32);
  uint32_t q4 = 1u << 31;  // notify
  if (p->length() > 0) {
    q4 |= (to_initiator ? 1u << 27 : 0) | static_cast<uint32_t>(path_speed_) << 24 |
          static_cast<uint32_t>(p->max_payload & 0xF) << 20 | (p->page_table_present ? 1u << 19 : 0) |
          static_cast<uint32_t>(p->page_size & 7) << 16 | p->data_size;
  }
  std::vector<uint8_t> bytes = Quadlets({0x80000000u, 0, static_cast<uint32_t>(me) << 16 | Hi(p->descriptor),
                                         Lo(p->descriptor), q4});
  bytes.insert(bytes.end(), p->cmd.cdb.begin(), p->cmd.cdb.end());
  WriteMemory(orb, bytes);

  bool doorbell = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (login_ && login_->generation != generation && !stop_) {
      // The bus has reset and its callout has not come yet: recover first.
      generation_ = std::max(generation_, generation);
      reset_pending_ = true;
    }
    if (stop_ || reset_pending_ || !login_ || hold_issue_) {
      queue_.push_front(p);  // sent again once the login is usable
      Free(orb);
      return;
    }
    p->orb = orb;
    ++p->attempts;
    by_orb_[orb] = p;
    outstanding_.push_back(p);
    if (traits_.chained && !chain_.empty()) {
      // Link behind the last ORB; the agent reads its next_ORB again on DOORBELL.
      WriteMemory(chain_.back().orb, Quadlets({Hi(orb), Lo(orb)}));
      doorbell = true;
    }
    chain_.push_back({orb, false});
    p->sent = std::string(doorbell ? "linked (DOORBELL)" : "by ORB_POINTER") + " in generation " +
              std::to_string(hc_.generation()) + " for the login of generation " + std::to_string(login_->generation);
    if (doorbell) {
      ++counters_.doorbells;
    } else {
      ++counters_.orb_pointer_writes;
    }
  }
  uint8_t rcode = RCODE_RESPONSE_COMPLETE;
  const bool sent = doorbell ? WriteAgent(kDoorbell, bus1394::TCODE_WRITE_QUADLET, Quadlets({0}), &rcode)
                             : WriteAgent(kOrbPointer, bus1394::TCODE_WRITE_BLOCK,
                                          Quadlets({static_cast<uint32_t>(me) << 16 | Hi(orb), Lo(orb)}), &rcode);
  if (!sent) {
    const bool same_bus = hc_.generation() == generation;
    std::lock_guard<std::mutex> lock(mu_);
    if (!reset_pending_ && same_bus && by_orb_.count(orb) != 0 && !p->status) {
      losses_.push_back(std::string(doorbell ? "DOORBELL" : "ORB_POINTER") + " write answered rcode " +
                        std::to_string(rcode) + " " + std::to_string(traits_.register_tries) +
                        " times in generation " + std::to_string(generation) + ", the login's " +
                        (login_ ? std::to_string(login_->generation) : std::string("gone")));
      Finish(p, Transport::kTransportFailure);
    }
  }
  // After a reset the recovery sends it again.
}

void Initiator::Finish(const std::shared_ptr<Pending>& p, Transport transport) {
  if (p->finished) return;
  p->finished = true;
  Result r;
  r.transport = transport;
  if (transport == Transport::kOk && p->status) {
    const std::vector<uint8_t>& s = *p->status;
    r.status = s;
    const uint32_t q0 = LoadBe32(s.data());
    r.resp = (q0 >> 28) & 3;
    r.dead = (q0 >> 27) & 1;
    r.sbp_status = static_cast<uint8_t>(q0 >> 16);
    if (r.resp != 0) r.transport = Transport::kTransportFailure;
    if (r.resp == 0 && s.size() >= 12) {
      // Command-set dependent status: rebuild fixed-format sense from its fields.
      const uint8_t sfmt = s[8] >> 6;
      r.scsi_status = s[8] & 0x3F;
      if (sfmt <= 1) {
        r.sense.assign(18, 0);
        r.sense[0] = static_cast<uint8_t>((sfmt == 1 ? 0x71 : 0x70) | (s[9] & 0x80));
        r.sense[2] = static_cast<uint8_t>((s[9] & 0x0F) | (s[9] & 0x40 ? 0x80 : 0) | (s[9] & 0x20 ? 0x40 : 0) |
                                          (s[9] & 0x10 ? 0x20 : 0));
        r.sense[7] = 10;
        r.sense[12] = s[10];
        r.sense[13] = s[11];
        for (size_t i = 0; i < 4; ++i) {
          if (s.size() >= 16) r.sense[3 + i] = s[12 + i];
          if (s.size() >= 20) r.sense[8 + i] = s[16 + i];
          if (s.size() >= 24) r.sense[14 + i] = s[20 + i];
        }
      }
    }
    if (r.good() && p->cmd.data_in_length > 0) {
      for (const Segment& seg : p->segments) {
        std::vector<uint8_t> part = ReadMemory(seg.address, seg.length);
        r.data.insert(r.data.end(), part.begin(), part.end());
      }
      r.data.resize(p->cmd.data_in_length);
    }
    if (r.dead) {
      // The agent stopped here: what was linked behind this ORB was never fetched.
      agent_reset_needed_ = true;
      auto at = std::find(outstanding_.begin(), outstanding_.end(), p);
      if (at != outstanding_.end()) {
        std::vector<std::shared_ptr<Pending>> behind(at + 1, outstanding_.end());
        outstanding_.erase(at + 1, outstanding_.end());
        for (auto it = behind.rbegin(); it != behind.rend(); ++it) {
          by_orb_.erase((*it)->orb);
          Forget((*it)->orb, "sent again, being behind a dead ORB,");
          queue_.push_front(*it);
        }
      }
    }
  }
  r.attempts = p->attempts;
  r.duration = std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - p->start);

  std::erase(queue_, p);
  std::erase(outstanding_, p);
  if (p->orb != 0 && by_orb_.erase(p->orb) != 0 && !p->status) {
    Forget(p->orb, std::string("given up as ") + ToString(transport));
  }
  // An ORB may be read again for its next_ORB until a later one has been answered.
  auto entry = std::find_if(chain_.begin(), chain_.end(), [&](const ChainEntry& e) { return e.orb == p->orb; });
  if (entry != chain_.end()) {
    entry->complete = true;
    if (!traits_.chained) {
      Free(entry->orb);
      chain_.erase(entry);
    } else if (transport == Transport::kOk) {
      // By position: erasing from the middle of a deque invalidates every iterator, `entry`
      // included.
      size_t before = static_cast<size_t>(entry - chain_.begin());
      for (size_t i = 0; i < before;) {
        if (chain_[i].complete) {
          Free(chain_[i].orb);
          chain_.erase(chain_.begin() + static_cast<ptrdiff_t>(i));
          --before;
        } else {
          ++i;
        }
      }
    }
  }
  for (const Segment& s : p->segments) Free(s.address);
  p->segments.clear();
  if (p->page_table != 0) Free(p->page_table);
  p->page_table = 0;
  p->promise.set_value(std::move(r));
}

void Initiator::RequeueOutstanding() {
  for (auto it = outstanding_.rbegin(); it != outstanding_.rend(); ++it) {
    by_orb_.erase((*it)->orb);
    Forget((*it)->orb, std::string((*it)->status ? "answered, then sent again after a reset," : "sent again after a reset,") +
                           " having gone " + (*it)->sent + ",");
    (*it)->status.reset();
    queue_.push_front(*it);
  }
  outstanding_.clear();
}

void Initiator::ResetChain() {
  for (const ChainEntry& e : chain_) Free(e.orb);
  chain_.clear();
}

void Initiator::FailAll(Transport transport) {
  std::vector<std::shared_ptr<Pending>> all(outstanding_.begin(), outstanding_.end());
  all.insert(all.end(), queue_.begin(), queue_.end());
  for (const auto& p : all) Finish(p, transport);
}

void Initiator::Worker() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop_) {
    if (reset_pending_) {
      recovering_ = true;
      lock.unlock();
      Recover();
      lock.lock();
      recovering_ = false;
      cv_.notify_all();
      continue;
    }
    const auto now = SteadyClock::now();
    std::vector<std::shared_ptr<Pending>> answered, late_sent, late_queued;
    for (const auto& p : outstanding_) {
      if (p->status) {
        answered.push_back(p);
      } else if (now >= p->deadline) {
        late_sent.push_back(p);
      }
    }
    for (const auto& p : queue_) {
      if (now >= p->deadline) late_queued.push_back(p);
    }
    for (const auto& p : answered) Finish(p, Transport::kOk);
    for (const auto& p : late_queued) Finish(p, Transport::kTimeout);
    if (!late_sent.empty()) {
      // Given up: the agent is reset and whatever else was sent goes again.
      for (const auto& p : late_sent) Finish(p, Transport::kTimeout);
      RequeueOutstanding();
      ResetChain();
      agent_reset_needed_ = true;
    }
    if (!answered.empty() || !late_sent.empty() || !late_queued.empty()) cv_.notify_all();

    if (agent_reset_needed_ && login_ && !hold_issue_) {
      agent_reset_needed_ = false;
      RequeueOutstanding();
      ResetChain();
      lock.unlock();
      AgentReset();
      lock.lock();
      continue;
    }
    const int limit = options_.max_outstanding > 0 ? options_.max_outstanding : traits_.max_outstanding;
    if (login_ && !hold_issue_ && !queue_.empty() && static_cast<int>(outstanding_.size()) < limit) {
      std::shared_ptr<Pending> p = queue_.front();
      queue_.pop_front();
      lock.unlock();
      Issue(p);
      lock.lock();
      continue;
    }
    if (!login_ && !queue_.empty()) {
      FailAll(Transport::kNoDevice);
      continue;
    }
    std::optional<SteadyClock::time_point> next;
    for (const auto& p : outstanding_) next = next ? std::min(*next, p->deadline) : p->deadline;
    for (const auto& p : queue_) next = next ? std::min(*next, p->deadline) : p->deadline;
    auto wake = [this] {
      if (stop_ || reset_pending_ || agent_reset_needed_) return true;
      for (const auto& p : outstanding_) {
        if (p->status) return true;
      }
      const int max = options_.max_outstanding > 0 ? options_.max_outstanding : traits_.max_outstanding;
      return login_ && !hold_issue_ && !queue_.empty() && static_cast<int>(outstanding_.size()) < max;
    };
    if (next) {
      cv_.wait_until(lock, *next, wake);
    } else {
      cv_.wait(lock, wake);
    }
  }
}

bool Initiator::BusMovedSince(uint32_t generation) {
  if (hc_.generation() != generation) return true;
  std::lock_guard<std::mutex> lock(mu_);
  return generation_ > generation;
}

void Initiator::Recover() {
  LoginInfo old;
  const uint32_t start = hc_.generation();
  const auto began = SteadyClock::now();
  auto since = [&began] {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - began).count()) +
           " ms";
  };
  {
    std::lock_guard<std::mutex> lock(mu_);
    reset_pending_ = false;
    RequeueOutstanding();
    ResetChain();
    if (!login_) return;
    old = *login_;
  }
  // Whatever fails because the bus reset again is retried by the next round.
  auto start_over = [this] {
    std::lock_guard<std::mutex> lock(mu_);
    reset_pending_ = !stop_;
  };
  if (options_.reconnect_delay_ms > 0) {
    std::unique_lock<std::mutex> lock(mu_);
    if (cv_.wait_for(lock, std::chrono::milliseconds(options_.reconnect_delay_ms), [this] { return stop_; })) return;
  }
  if (options_.before_reconnect) options_.before_reconnect();
  RomInfo rom = Discover();
  if (BusMovedSince(start)) return start_over();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_) return;
    if (!rom.ok || !unit_) {
      losses_.push_back("generation " + std::to_string(start) + ": the unit was not in the configuration ROM " +
                        since() + " after the reset");
      FailAll(Transport::kNoDevice);
      login_.reset();
      return;
    }
  }
  ManagementResult r;
  uint32_t generation = start;
  for (int i = 0;; ++i) {
    r = Manage(kReconnect, old.login_id, nullptr, 0, ManagementTimeoutMs(false), &generation);
    if (r.ok() || r.transport != Transport::kOk || !traits_.retry_unspecified_reconnect || r.sbp_status != 0xFF ||
        i >= 10) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (BusMovedSince(generation)) return start_over();
  if (r.ok()) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_ || !login_) return;
      login_->generation = generation;
      ++counters_.reconnects;
    }
    if (traits_.agent_reset_after_login) AgentReset();
    return;
  }
  // The login is gone (or refused): log in afresh.
  if (traits_.logout_before_relogin) Manage(kLogout, old.login_id, nullptr, 0, ManagementTimeoutMs(false), nullptr);
  LoginOptions again;
  {
    std::lock_guard<std::mutex> lock(mu_);
    again = login_options_;
  }
  ManagementResult fresh;
  const std::string reconnect_answer = DescribeManagement(r) + " " + since() + " after the reset";
  std::string login_answers;
  const int tries = std::max(1, again.tries.value_or(traits_.login_tries));
  for (int i = 0; i < tries; ++i) {
    fresh = LoginOnce(again);
    login_answers += (i ? ", " : "") + DescribeManagement(fresh) + " at " + since();
    if (fresh.ok() || BusMovedSince(generation)) break;
    std::unique_lock<std::mutex> lock(mu_);
    if (cv_.wait_for(lock, std::chrono::milliseconds(traits_.login_retry_ms), [this] { return stop_; })) return;
  }
  if (fresh.ok()) {
    std::lock_guard<std::mutex> lock(mu_);
    ++counters_.relogins;
    losses_.push_back("generation " + std::to_string(generation) + ": RECONNECT of login " +
                      std::to_string(old.login_id) + " answered " + reconnect_answer + "; logged in afresh (" +
                      login_answers + ")");
    return;
  }
  if (BusMovedSince(generation)) return start_over();
  std::lock_guard<std::mutex> lock(mu_);
  if (stop_) return;
  losses_.push_back("generation " + std::to_string(generation) + ": RECONNECT of login " +
                    std::to_string(old.login_id) + " answered " + reconnect_answer + "; LOGIN answered " +
                    login_answers);
  FailAll(Transport::kAborted);
  login_.reset();
}

}  // namespace sim
