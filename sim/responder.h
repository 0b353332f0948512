// The user-mode side of one unit, as tests need it before the real device access library
// exists: it publishes the unit directory, answers LOGIN, QUERY LOGINS, RECONNECT and
// LOGOUT, keeps a FETCH pending for every login and answers each fetched command through
// a callback.
//
// Threads: one management thread per unit and one thread per login. Commands of a login
// are answered one at a time on that login's thread, so a callback that blocks holds up
// only its own login. The callback may run on several login threads at once.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "include/vsbp_control.h"
#include "platform/kernel/kernel.h"
#include "sim/machine.h"
#include "sim/rom.h"

namespace sim {

// What the callback answers for one command.
struct CommandAnswer {
  std::vector<uint8_t> data_in;  // for the initiator; cut or zero-filled to the ORB's length
  // 0: good. Any other value: the command failed; with fixed-format sense (response code
  // 0x70 or 0x71, valid bit allowed) the initiator gets CHECK CONDITION and that sense,
  // without it a transport failure.
  uint8_t status = 0;
  std::array<uint8_t, 18> sense{};
  bool drop = false;  // answer nothing at all (a command the target lost)

  static CommandAnswer Good(std::vector<uint8_t> data = {});
  static CommandAnswer CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq);
};

using CommandHandler =
    std::function<CommandAnswer(const vsbp::CommandRecord& record, std::span<const uint8_t> data_out)>;

struct ResponderOptions {
  size_t controller = 0;
  int unit = 0;
  bool mac = false;  // publish the Mac variant of the unit directory
  std::array<uint8_t, 36> inquiry = MakeInquiry(5, "KORVEN", "RIRazuVezi VOVUV", "1.0b");
  // Published instead of the built directory when set (for directories a test breaks).
  std::optional<std::vector<uint8_t>> directory;
  uint16_t max_logins = 4;
  uint16_t max_reconnect_hold = 3;  // seconds
  // Called on a login's thread after its FETCH ended with STATUS_REQUEST_ABORTED, before
  // the next FETCH is sent.
  std::function<void(uint16_t login_id)> on_fetch_aborted;
};

// What the responder saw; for tests.
struct ResponderCounters {
  int logins = 0;      // accepted
  int reconnects = 0;  // accepted
  int logouts = 0;     // accepted
  int expired = 0;     // logins that ended because no RECONNECT came within the hold
  int commands = 0;    // handed to the callback
  int fetch_bus_resets = 0;
  int fetch_aborts = 0;  // FETCHes that ended with STATUS_REQUEST_ABORTED
  int management_requests = 0;
};

class Responder {
 public:
  Responder(Machine& machine, ResponderOptions options, CommandHandler handler);
  ~Responder();  // Stop()
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Opens the unit as the calling thread's process and hands the driver the unit
  // directory with the first GET request. STATUS_SUCCESS once the driver accepted it
  // (published; initiators see it after the next bus reset), else the failure.
  kern::NTSTATUS Start();
  // Closes the unit handle (the driver ends every pending request) and joins all threads.
  void Stop();

  const std::vector<uint8_t>& unit_directory() const { return directory_; }
  ResponderCounters counters() const;
  // Waits (real time) until `done` holds for the counters; false on time-out.
  bool WaitFor(const std::function<bool(const ResponderCounters&)>& done, int timeout_ms = 5000) const;

 private:
  struct Login;

  void ManagementThread(std::vector<uint8_t> first_input);
  void Process(const vsbp::ManagementRecord& r);
  uint32_t DoLogin(const vsbp::ManagementRecord& r);
  uint32_t DoQueryLogins(const vsbp::ManagementRecord& r);
  uint32_t DoReconnect(const vsbp::ManagementRecord& r);
  uint32_t DoLogout(const vsbp::ManagementRecord& r);
  // Waits until the login's FETCH for `generation` was accepted; false if it ended first.
  bool WaitClaimed(Login* login, uint32_t generation);
  void LoginThread(Login* login);
  void Answer(Login* login, std::vector<uint8_t>& record, uint32_t fetched, uint16_t node, uint8_t speed,
              uint32_t generation);
  void ReleaseEndedLogins();
  void ReleaseLogin(uint16_t id);  // on the management thread; joins the login's thread

  // Initiator memory access through the driver, waited for.
  kern::NTSTATUS Transfer(bool write, uint16_t node, uint16_t hi, uint32_t lo, uint32_t generation,
                          uint8_t speed, uint16_t tag, void* buffer, uint32_t length);
  bool ReadEui64(uint16_t node, uint8_t speed, uint32_t generation, uint64_t* eui64);
  // Sends a control request and waits for it to complete. While it is pending,
  // `cancel_when` (evaluated under mu_) turning true cancels it. `on_dispatch` hears the
  // dispatch result first.
  kern::NTSTATUS Call(const kern::ControlRequest& request, uintptr_t* information,
                      const std::function<bool()>& cancel_when,
                      const std::function<void(kern::NTSTATUS)>& on_dispatch = {});

  Machine& machine_;
  ResponderOptions options_;
  CommandHandler handler_;
  std::vector<uint8_t> directory_;
  uint32_t pid_ = 0;
  kern::FileObject* file_ = nullptr;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  kern::NTSTATUS start_status_ = kern::STATUS_PENDING;
  ResponderCounters counters_;
  std::map<uint16_t, std::unique_ptr<Login>> logins_;  // changed on the management thread only
  std::thread management_;
};

}  // namespace sim
