// A remote node on the simulated bus that acts as the SBP-2 initiator of a real operating
// system: it reads the target's configuration ROM, logs in, sends command ORBs from its own
// memory and turns the status blocks it receives into command results, and it survives
// bus resets by reconnecting and sending again what was lost.
//
// Profiles:
//  * kLinux: exclusive LOGIN asking a 4 s hold, 16-byte response; BUSY_TIMEOUT and
//    AGENT_RESET after login and reconnect; one command at a time, each ORB announced by
//    an ORB_POINTER write; direct descriptors for single segments, unrestricted page
//    tables otherwise; a failed RECONNECT is followed by LOGOUT and a fresh LOGIN.
//  * kMac: non-exclusive LOGIN asking a 1 s hold; BUSY_TIMEOUT after login; one command
//    at a time through ORB_POINTER; agent register writes retried every 125 ms; a
//    RECONNECT answered "unspecified error" is retried, any other failure means LOGIN.
//  * kChained: the linked-list style: exclusive login, up to eight commands outstanding,
//    the first ORB through ORB_POINTER and every later one linked to the last ORB's
//    next_ORB and announced by DOORBELL; page tables of 4 KiB segments.
//
// Threads: blocking calls may be made from any thread but the bus thread. Bus callbacks
// only record what happened; a worker thread of the initiator issues commands, finishes
// them and runs the recovery after bus resets.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "platform/bus1394/bus1394.h"
#include "sim/rom.h"

namespace sim {

enum class Profile { kLinux, kMac, kChained };
struct InitiatorTraits;  // what a profile does, in initiator.cpp

enum class Transport {
  kOk,                // a status block came back with resp REQUEST COMPLETE
  kAborted,           // ended by task management, LOGOUT or a login that could not be restored
  kTimeout,           // no status within the command's time-out
  kNoDevice,          // no login, or the unit left the bus
  kTransportFailure,  // resp TRANSPORT FAILURE or ILLEGAL REQUEST, or the ORB could not be sent
};
const char* ToString(Transport t);

struct Command {
  std::array<uint8_t, 12> cdb{};
  std::vector<uint8_t> data_out;  // data to the target (d = 0)
  uint32_t data_in_length = 0;    // data from the target (d = 1); not both
  std::chrono::milliseconds timeout{10000};

  static Command Make(std::initializer_list<uint8_t> cdb, uint32_t data_in_length = 0,
                      std::vector<uint8_t> data_out = {});
};

struct Result {
  Transport transport = Transport::kAborted;
  uint8_t resp = 0;  // of the status block
  uint8_t sbp_status = 0;
  bool dead = false;
  uint8_t scsi_status = 0;     // 0 GOOD, 2 CHECK CONDITION, ...
  std::vector<uint8_t> sense;  // 18-byte fixed-format sense, when the status carried it
  std::vector<uint8_t> data;   // data in, when the command had any and ended GOOD
  std::vector<uint8_t> status;  // the status block as written (bus order)
  int attempts = 0;             // ORBs sent for the command (re-sent after resets included)
  std::chrono::microseconds duration{0};

  bool good() const { return transport == Transport::kOk && scsi_status == 0; }
};

struct TransferOptions {
  enum class Layout { kAuto, kDirect, kPageTable };
  Layout layout = Layout::kAuto;  // kAuto: as the profile does
  uint8_t page_size = 0;          // ORB page_size code: 0 unrestricted, 4 for 4 KiB pages
  uint32_t segment_bytes = 0;     // unrestricted tables: longest segment (0: the profile's)
  uint32_t misalign = 0;          // bytes from a page start to the buffer (multiple of 4)
  std::optional<uint8_t> max_payload;  // ORB max_payload code (default from the speed)
};

struct LoginOptions {
  std::optional<bool> exclusive;            // default: the profile's
  std::optional<uint8_t> reconnect;         // exponent asked for; default: the profile's
  std::vector<uint8_t> password;            // up to 8 bytes go in the ORB itself ...
  bool password_in_memory = false;          // ... unless this is set (password_length != 0)
  uint16_t response_length = 16;
  uint16_t lun = 0;
  std::optional<int> tries;                 // default: the profile's
};

struct ManagementResult {
  Transport transport = Transport::kAborted;
  uint8_t resp = 0;
  uint8_t sbp_status = 0;
  bool dead = false;
  uint8_t rcode = 0;  // the answer to the write of the ORB's address to the agent
  std::vector<uint8_t> response;  // LOGIN / QUERY LOGINS response as read back (bus order)
  std::vector<uint8_t> status;    // the status block as written (bus order), when one came

  bool ok() const { return transport == Transport::kOk && resp == 0 && sbp_status == 0; }
};

// A management ORB as a test writes it, for any function with any fields. The initiator
// places the response buffer (q2-q3, when response_length is not 0), its own status FIFO
// (q6-q7) and the notify bit; q0-q1, q4 (function in bits 16-19, lun or login_ID in the low
// 16 bits) and q5 go out as given, in host order here.
struct RawManagementOrb {
  uint32_t q0 = 0;
  uint32_t q1 = 0;
  uint32_t q4 = 0;
  uint32_t q5 = 0;
  uint16_t response_length = 0;
  int timeout_ms = 0;  // 0: as the profile waits for that function

  static RawManagementOrb Make(uint8_t function, uint16_t lun_or_login, uint32_t q5 = 0) {
    RawManagementOrb o;
    o.q4 = static_cast<uint32_t>(function & 0xF) << 16 | lun_or_login;
    o.q5 = q5;
    return o;
  }
};

struct LoginInfo {
  uint16_t login_id = 0;
  uint64_t command_agent = 0;  // 48-bit address of the command block agent
  uint16_t reconnect_hold = 0;  // as the target reported it
  uint16_t response_length = 0;
  uint32_t generation = 0;  // bus generation the login is valid for
};

struct QueryLoginsInfo {
  struct Entry {
    uint16_t node_id;
    uint16_t login_id;  // for a login waiting for a reconnect: seconds left
    uint64_t eui64;
  };
  uint16_t length = 0;
  uint16_t max_logins = 0;
  std::vector<Entry> entries;
  static QueryLoginsInfo Parse(std::span<const uint8_t> response);
};

struct InitiatorCounters {
  int bus_resets = 0;
  int reconnects = 0;  // recoveries by RECONNECT
  int relogins = 0;    // recoveries by a fresh LOGIN
  int agent_resets = 0;
  int orb_pointer_writes = 0;
  int doorbells = 0;
  int stray_status = 0;  // status blocks of the current generation that matched no ORB
  // Status blocks written before a bus reset that this initiator handled only after it had
  // given their ORBs up for the reset. On a real link the block is received before the reset
  // is; here the two race, so these say nothing of the target.
  int late_status = 0;
};

struct InitiatorOptions {
  Profile profile = Profile::kLinux;
  uint64_t eui64 = 0x0800460300000001ULL;
  uint8_t speed = bus1394::SPEED_S400;  // of this node's link
  size_t unit = 0;  // which SBP-2 unit directory of the target's ROM, in ROM order
  int reconnect_delay_ms = 0;  // wait after a bus reset before reconnecting
  // Called on the worker, without locks, after that wait and before the recovery looks at
  // the bus again: a test orders the reconnect after something the target must do first.
  std::function<void()> before_reconnect;
  std::optional<int> management_timeout_ms;  // replaces the profile's waits
  int max_outstanding = 0;  // 0: the profile's
};

class Initiator : public bus1394::RemoteNode {
 public:
  // Attaches to the controller's bus (which resets it).
  Initiator(bus1394::HostController& hc, InitiatorOptions options = {});
  ~Initiator() override;  // detaches; commands still open end as kAborted
  Initiator(const Initiator&) = delete;
  Initiator& operator=(const Initiator&) = delete;

  // Reads the target's ROM, checks every CRC and selects the unit; the selected unit is
  // used by everything below.
  RomInfo Discover();
  std::optional<UnitInfo> unit() const;

  ManagementResult Login(const LoginOptions& options = {});
  std::optional<LoginInfo> login() const;
  ManagementResult QueryLogins(uint16_t response_length = 52);
  // RECONNECT of the current login at the current generation (the recovery after a bus
  // reset sends it by itself).
  ManagementResult Reconnect();
  ManagementResult Logout();  // commands still open end as kAborted
  // Task management on the current login. On success every command the target held is
  // reported kAborted and the fetch agent is reset.
  ManagementResult AbortTaskSet();
  ManagementResult LogicalUnitReset();
  ManagementResult TargetReset();
  // Sends `orb` to the selected unit's management agent and waits for its status, as the
  // calls above do, but changes no state of this initiator (a LOGIN sent this way is not
  // this initiator's login).
  ManagementResult SendManagementOrb(const RawManagementOrb& orb);

  // For commands submitted from now on.
  void SetTransfer(const TransferOptions& options);
  std::future<Result> Submit(Command command);
  Result Execute(Command command) { return Submit(std::move(command)).get(); }

  // A request from this node to the target at the current generation, for tests.
  bus1394::Response SendToTarget(uint8_t tcode, uint64_t offset, std::vector<uint8_t> data = {},
                                 uint32_t data_length = 0);
  std::optional<uint32_t> ReadAgentState();  // AGENT_STATE of the login's agent

  uint16_t node_id() const;
  // The bus this node is attached to, for whoever forces its resets.
  bus1394::HostController& controller() { return hc_; }
  InitiatorCounters counters() const;
  // Why each login this initiator gave up on went away: the RECONNECT and LOGIN answers it
  // got, and how long after the reset. A login lost for good is rare and hard to reproduce,
  // so what the initiator saw is kept for the report.
  std::vector<std::string> losses() const;
  // The first status blocks that matched no ORB, each with what became of its ORB, if the
  // initiator had used that address shortly before.
  std::vector<std::string> strays() const;
  // Waits for the worker to be idle: no reset to handle, nothing queued or outstanding.
  bool WaitIdle(int timeout_ms = 10000);

  bus1394::Response HandleRequest(const bus1394::Request& request) override;
  void OnBusReset(uint32_t generation, uint16_t own_node_id) override;

 private:
  struct Pending;
  struct Segment {
    uint64_t address;
    uint32_t length;
  };

  // Memory.
  uint64_t Allocate(size_t bytes, size_t align = 8, size_t offset = 0, bool status_fifo = false);
  void Free(uint64_t address);
  void WriteMemory(uint64_t address, std::span<const uint8_t> bytes);
  std::vector<uint8_t> ReadMemory(uint64_t address, size_t bytes);
  // A request of the target on this node's memory: the response code; read data, or the
  // bytes of a status block written to the status FIFO.
  uint8_t Access(const bus1394::Request& request, std::vector<uint8_t>* read_data, std::vector<uint8_t>* status);

  // Management.
  ManagementResult Manage(uint8_t function, uint16_t lun_or_login, const LoginOptions* login,
                          uint16_t response_length, int timeout_ms, uint32_t* used_generation);
  ManagementResult SendManagement(const UnitInfo& unit, std::array<uint32_t, 8> q, uint32_t generation,
                                  uint64_t response, uint16_t response_length, int timeout_ms);
  ManagementResult LoginOnce(const LoginOptions& options);
  ManagementResult TaskManagement(uint8_t function);
  int ManagementTimeoutMs(bool login) const;
  // `rcode`, when given, gets the last answer.
  bool WriteAgent(uint32_t reg, uint8_t tcode, std::vector<uint8_t> data, uint8_t* rcode = nullptr);
  void AgentReset();

  // Commands.
  void Worker();
  void Issue(const std::shared_ptr<Pending>& p);
  bool BuildBuffers(Pending& p);
  void Finish(const std::shared_ptr<Pending>& p, Transport transport);  // mu_ held
  void RequeueOutstanding();  // mu_ held
  void ResetChain();  // mu_ held
  void FailAll(Transport transport);  // mu_ held
  void Recover();
  // True when the bus has reset since `generation` (its callout may still be on the way).
  bool BusMovedSince(uint32_t generation);
  // `generation` is the one the block was written in.
  void DeliverStatus(std::vector<uint8_t> block, uint32_t generation);

  bus1394::HostController& hc_;
  InitiatorOptions options_;
  const InitiatorTraits& traits_;
  uint8_t path_speed_;

  mutable std::mutex mem_mu_;  // taken after mu_ when both are held
  struct Region {
    std::vector<uint8_t> bytes;
    bool status_fifo = false;
  };
  std::map<uint64_t, Region> regions_;
  uint64_t next_address_ = 0x0001'0000'0000ULL;

  std::mutex mgmt_mu_;  // one management ORB at a time
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  uint32_t generation_ = 0;  // latest bus reset seen
  std::optional<UnitInfo> unit_;
  std::optional<LoginInfo> login_;
  LoginOptions login_options_;
  bool reset_pending_ = false;
  bool recovering_ = false;
  bool hold_issue_ = false;  // task management in progress
  bool agent_reset_needed_ = false;
  uint64_t status_fifo_ = 0;
  struct Management {
    uint64_t orb = 0;
    std::optional<std::vector<uint8_t>> status;
  } mgmt_;
  TransferOptions transfer_;
  std::deque<std::shared_ptr<Pending>> queue_;
  std::deque<std::shared_ptr<Pending>> outstanding_;  // in the order sent
  std::map<uint64_t, std::shared_ptr<Pending>> by_orb_;
  struct ChainEntry {
    uint64_t orb;
    bool complete;
  };
  std::deque<ChainEntry> chain_;  // kChained: ORBs linked since the last agent reset
  InitiatorCounters counters_;
  std::vector<std::string> losses_;
  std::vector<std::string> strays_;
  // ORB addresses the initiator stopped waiting on lately, and why.
  std::deque<std::pair<uint64_t, std::string>> forgotten_;
  void Forget(uint64_t orb, std::string why);  // mu_ held
  std::thread worker_;
};

}  // namespace sim
