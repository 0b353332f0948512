// What the reliability runs share besides the serving side (sim/serving.h): the image's
// data held in memory to compare with, a sequential whole-disc reader that keeps several
// READ(10)s in flight, and the leak counters of the stand-ins.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/bus1394/bus1394.h"
#include "platform/kernel/kernel.h"
#include "sim/initiator.h"
#include "sim/serving.h"

namespace reliability {

using sim::kTrayProcess;
using sim::Read10;
using sim::SenseOf;
using Sense = sim::SenseCode;

struct RunOptions {
  std::string image;
  double seconds = 10;
  uint32_t seed = 1;
};

// What a run tried, and every loss it found: a wrong sector, a command that never came
// back or came back with a status other than the one its fault stands for, a login that
// should have survived, a leaked handle, thread or pool allocation. The aim is none.
struct RunReport {
  std::string name;
  std::vector<std::pair<std::string, uint64_t>> tried;  // in the order printed
  std::vector<std::string> lost;

  void Count(const std::string& what, uint64_t n) { tried.emplace_back(what, n); }
  void Lose(std::string what) { lost.push_back(std::move(what)); }
  bool ok() const { return lost.empty(); }
};

// The image's user data, 2,048 bytes a sector, read once without the serving side.
struct DiscData {
  std::vector<uint8_t> bytes;
  uint32_t sectors = 0;
  // Empty, or why the image could not be read.
  std::string Load(const std::string& path);
  bool Same(uint32_t lba, const std::vector<uint8_t>& got) const;
};

// The stand-ins' leak counters and the driver's pool. Taken with the bus and the kernel's
// deferred work idle.
struct LeakCounters {
  size_t handles = 0, threads = 0, critical_sections = 0, local_allocations = 0, sids = 0;
  size_t driver_pool = 0;  // outstanding allocations tagged "VSbp"
  size_t all_pool = 0;

  static LeakCounters Now(kern::System& system, const std::vector<bus1394::HostController*>& controllers);
  // One line per counter that grew since `before`.
  void Compare(const LeakCounters& before, RunReport& report) const;
};

// Discovery, LOGIN and TEST UNIT READY until the drive is ready (riding through becoming
// ready and the unit attentions of a load or a reset). Empty, or what failed.
std::string Connect(sim::Initiator& initiator, const sim::LoginOptions& login = {});

// The driver announces a newly published unit with a bus reset of its own, a second or two
// after the publish; an initiator that attached in between (its attach resets the bus too)
// has already logged in by then and recovers from it. Runs that inject faults wait that
// reset out first, so that it cannot land inside a fault window by chance: a RECONNECT
// lost to an injected fault is a different run's subject. `requests_before` is the
// controller's count of reset requests from before the unit was published. Empty, or what
// did not happen in time.
std::string AwaitPublishReset(bus1394::HostController& hc, sim::Initiator& initiator, int requests_before);

// The transport, or the status and sense, of a result, for a person.
std::string Describe(const sim::Result& r);

// Reads the disc front to back with 64 KiB READ(10)s, several in flight, starting over
// at the end, until `stop` is set; then waits for what it sent. Every answer is checked.
class DiscReader {
 public:
  DiscReader(sim::Initiator& initiator, const DiscData& disc, size_t depth = 8, uint16_t per_command = 32)
      : ini_(initiator), disc_(disc), depth_(depth), per_(per_command) {}

  void Run(const std::atomic<bool>& stop);

  uint64_t commands = 0, good = 0, sectors = 0, wrong_data = 0, failed = 0, passes = 0;
  std::vector<std::string> failures;  // the first few, described

 private:
  sim::Initiator& ini_;
  const DiscData& disc_;
  size_t depth_;
  uint16_t per_;
};

}  // namespace reliability
