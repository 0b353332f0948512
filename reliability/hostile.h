// A hostile node on the bus: it logs in beside a well-behaved initiator and then sends
// whatever it likes: command ORBs with garbage fields and next_ORB chains, page tables
// with bad lengths and addresses, register accesses of every tcode and length anywhere in
// the agents' ranges (the other login's agent included), and management ORBs with unknown
// functions, foreign login IDs, and response and status addresses it has no memory at.
//
// It stays within what an initiator may do to itself: no LOGICAL UNIT RESET or TARGET
// RESET (which end every initiator's tasks by design), no commands that move the medium or
// change the drive's state for everyone (START STOP UNIT, MODE SELECT, audio play).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/bus1394/bus1394.h"

namespace reliability {

class HostileNode : public bus1394::RemoteNode {
 public:
  // `management_agent`: the unit's MANAGEMENT_AGENT offset from the unit directory;
  // `victim_agent`: the well-behaved login's command block agent.
  HostileNode(bus1394::HostController& hc, uint64_t eui64, uint32_t seed, uint32_t management_agent,
              uint64_t victim_agent);
  ~HostileNode() override;
  HostileNode(const HostileNode&) = delete;
  HostileNode& operator=(const HostileNode&) = delete;

  // One hostile action, chosen at random. Not on the bus thread.
  void Step();
  // What was sent, by kind, and how the target answered the register accesses.
  const std::map<std::string, uint64_t>& tried() const { return tried_; }
  uint64_t status_blocks() const;

  bus1394::Response HandleRequest(const bus1394::Request& request) override;

 private:
  static constexpr uint32_t kMemoryBytes = 1 << 16;
  // Where things sit in the node's memory.
  static constexpr uint32_t kOrbArea = 0x0000, kPageTableArea = 0x4000, kDataArea = 0x8000;
  static constexpr uint32_t kLoginResponse = 0xF000, kManagementOrb = 0xF100, kStatusFifo = 0xF800;

  bus1394::Response Send(uint8_t tcode, uint64_t offset, std::vector<uint8_t> data = {}, uint32_t length = 0);
  void WriteMemory(uint32_t at, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> ReadMemory(uint32_t at, uint32_t n);
  uint16_t me() const;
  // A management ORB at kManagementOrb, announced; waits a while for its status.
  std::optional<std::vector<uint8_t>> Manage(const std::vector<uint8_t>& orb, int wait_ms);
  void Login();
  void CommandOrb(bool page_table);
  void RegisterAccess();
  void ManagementGarbage();
  void Note(const std::string& kind, const bus1394::Response* r = nullptr);
  uint32_t R() { return static_cast<uint32_t>(rng_()); }

  bus1394::HostController& hc_;
  std::mt19937 rng_;
  uint32_t management_agent_;
  uint64_t victim_agent_;
  std::optional<uint16_t> login_id_;
  uint64_t command_agent_ = 0;

  mutable std::mutex mu_;  // guards memory_ and the status count (the bus thread writes them)
  std::vector<uint8_t> memory_;
  uint64_t status_blocks_ = 0;

  std::map<std::string, uint64_t> tried_;  // the stepping thread's only
};

}  // namespace reliability
