#include "reliability/runs.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <thread>

#include "devaccess/vsbp2api.h"
#include "imagepath/targets.h"
#include "platform/win32/win32.h"
#include "ravelkit/ravelkit.h"
#include "reliability/hostile.h"
#include "sim/machine.h"
#include "sim/rom.h"

namespace reliability {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint64_t kEui64 = 0x0800460300000300ULL;

Clock::time_point Deadline(const RunOptions& o) {
  return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(o.seconds * 1000));
}

std::vector<bus1394::HostController*> Controllers(sim::Machine& m) {
  std::vector<bus1394::HostController*> out;
  for (size_t i = 0; i < m.controller_count(); ++i) out.push_back(&m.controller(i));
  return out;
}

void ReportReader(const std::string& who, const DiscReader& r, RunReport& report) {
  report.Count(who + ": READ(10) commands", r.commands);
  report.Count(who + ": sectors read and compared", r.sectors);
  report.Count(who + ": whole-disc passes", r.passes);
  for (const std::string& f : r.failures) report.Lose(who + ": " + f);
  if (r.failed + r.wrong_data > r.failures.size()) {
    report.Lose(who + ": " + std::to_string(r.failed + r.wrong_data - r.failures.size()) + " more failed reads");
  }
  if (r.good == 0) report.Lose(who + ": no read succeeded");
}

// ---- Engine faults -------------------------------------------------------------------------
// The engine seam: reads that touch a marked sector fail, either as a call that could not
// move the data or as the engine's own CHECK CONDITION with MEDIUM ERROR sense; every call
// may also be slowed down, so that commands are still in flight when the tests act.
constexpr uint32_t kNoSector = 0xFFFFFFFF;
struct EngineFaults {
  std::atomic<uint32_t> failed_sector{kNoSector};   // ImageExecute status kStatusFailed
  std::atomic<uint32_t> medium_sector{kNoSector};   // CHECK CONDITION 3/11/00
  std::atomic<uint32_t> delay_us{0};
  std::atomic<uint64_t> hits{0};
};
EngineFaults g_engine;

// The sectors a read request covers: READ(10), READ(12) and READ CD.
bool ReadRange(const MediaRequest& r, uint32_t* lba, uint32_t* count) {
  switch (r.cdb[0]) {
    case 0x28:
      *count = uint32_t{r.cdb[7]} << 8 | r.cdb[8];
      break;
    case 0xA8:
      *count = sim::LoadBe32(&r.cdb[6]);
      break;
    case 0xBE:
      *count = uint32_t{r.cdb[6]} << 16 | uint32_t{r.cdb[7]} << 8 | r.cdb[8];
      break;
    default:
      return false;
  }
  *lba = sim::LoadBe32(&r.cdb[2]);
  return true;
}

bool Covers(uint32_t lba, uint32_t count, uint32_t sector) {
  return sector != kNoSector && sector >= lba && sector - lba < count;
}

uint32_t FaultyExecute(ImageHandle image, MediaRequest* request, uint32_t* status) {
  if (const uint32_t us = g_engine.delay_us.load(); us != 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
  uint32_t lba = 0, count = 0;
  if (request != nullptr && ReadRange(*request, &lba, &count)) {
    if (Covers(lba, count, g_engine.failed_sector.load())) {
      ++g_engine.hits;
      *status = kStatusFailed;
      return 0;
    }
    if (Covers(lba, count, g_engine.medium_sector.load()) && request->sense != nullptr) {
      ++g_engine.hits;
      std::memset(request->cdb, 0, sizeof(request->cdb));
      std::memset(request->sense, 0, 18);
      request->sense[0] = 0x70;
      request->sense[2] = 0x3;  // MEDIUM ERROR
      request->sense[7] = 10;
      request->sense[12] = 0x11;  // unrecovered read error
      request->cdb[kResultSenseLength] = 18;
      request->cdb[kResultFlags] = kResultCheckCondition;
      *status = kStatusDone;
      return 0;
    }
  }
  return ::ImageExecute(image, request, status);
}

const imagepath::EngineOps kFaultyEngine = {&::ImageOpen, &::ImageQueryMedium, &FaultyExecute, &::ImageClose};

// Installs the seam for the life of a run (only while no target runs) and clears it after.
class EngineSeam {
 public:
  EngineSeam() { imagepath::SetEngineForTesting(&kFaultyEngine); }
  ~EngineSeam() {
    imagepath::SetEngineForTesting(nullptr);
    g_engine.failed_sector = kNoSector;
    g_engine.medium_sector = kNoSector;
    g_engine.delay_us = 0;
  }
};

// The runs' usual initiator: one that links its ORBs, under the runs' first EUI-64.
sim::InitiatorOptions ChainedInitiator() {
  sim::InitiatorOptions o;
  o.profile = sim::Profile::kChained;
  o.eui64 = kEui64;
  return o;
}

}  // namespace

// ---- Bus reset storm -----------------------------------------------------------------------

RunReport RunStorm(const RunOptions& options) {
  RunReport report{"storm"};
  DiscData disc;
  if (std::string e = disc.Load(options.image); !e.empty()) {
    report.Lose(e);
    return report;
  }
  kern::ProcessScope process(kTrayProcess);
  sim::MachineOptions machine_options = sim::MachineOptions::WithControllers(2);
  machine_options.controllers[1].local_speed = bus1394::SPEED_S800;
  sim::Machine machine(machine_options);
  const LeakCounters before = LeakCounters::Now(machine.system(), Controllers(machine));
  {
    sim::ServingSide serving(false);
    if (std::string e = serving.Start(false, options.image); !e.empty()) {
      report.Lose(e);
      return report;
    }
    // One linking eight ORBs at S400, one sending one at a time at S800.
    sim::InitiatorOptions a = ChainedInitiator();
    sim::InitiatorOptions b;
    b.profile = sim::Profile::kLinux;
    b.eui64 = kEui64 + 1;
    b.speed = bus1394::SPEED_S800;
    // Under the sanitizers on a shared machine the serving side runs several times slower
    // than the product, and a RECONNECT now and then takes longer than the 2 s a Linux
    // host gives it; these hosts wait as a Mac does, up to just inside the reconnect hold.
    a.management_timeout_ms = b.management_timeout_ms = 3500;
    sim::Initiator ia(machine.controller(0), a);
    sim::Initiator ib(machine.controller(1), b);
    for (sim::Initiator* ini : {&ia, &ib}) {
      if (std::string e = Connect(*ini); !e.empty()) {
        report.Lose(e);
        return report;
      }
    }
    std::atomic<bool> stop{false};
    DiscReader ra(ia, disc), rb(ib, disc);
    std::thread ta([&] { ra.Run(stop); });
    std::thread tb([&] { rb.Run(stop); });

    std::mt19937 rng(options.seed);
    uint64_t resets[2] = {0, 0}, bursts = 0, quiet_gaps = 0;
    const auto end = Deadline(options);
    // A login waits for its RECONNECT for the reconnect hold counted from the reset that
    // interrupted it; resets that keep interrupting the recovery for longer than that end
    // it by design. So the storm rests now and then, long enough for a recovery: a login
    // made afresh after that is one that should have survived.
    constexpr auto kStormFor = 1200ms, kRestFor = 800ms;
    auto rest_at = Clock::now() + kStormFor;
    while (Clock::now() < end) {
      if (Clock::now() >= rest_at) {
        std::this_thread::sleep_for(kRestFor);
        ++quiet_gaps;
        rest_at = Clock::now() + kStormFor;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng() % 250));
      const size_t which = rng() % 2;
      switch (rng() % 6) {
        case 0:  // both buses at once
          machine.controller(0).BusReset();
          machine.controller(1).BusReset();
          ++resets[0];
          ++resets[1];
          break;
        case 1:  // a burst: the next reset lands during the recovery from the first
          for (int i = 0; i < 3; ++i) {
            machine.controller(which).BusReset();
            ++resets[which];
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
          }
          ++bursts;
          break;
        default:
          machine.controller(which).BusReset();
          ++resets[which];
          break;
      }
      // The bus log is instrumentation only; it would otherwise keep every transaction.
      machine.controller(which).ClearLog();
    }
    stop = true;
    ta.join();
    tb.join();
    report.Count("bus resets on hc0", resets[0]);
    report.Count("bus resets on hc1", resets[1]);
    report.Count("reset bursts", bursts);
    report.Count("quiet gaps of 800 ms", quiet_gaps);
    ReportReader("hc0 chained initiator", ra, report);
    ReportReader("hc1 one-at-a-time initiator", rb, report);
    for (auto [ini, name] : {std::pair{&ia, "hc0"}, std::pair{&ib, "hc1"}}) {
      const sim::InitiatorCounters c = ini->counters();
      report.Count(std::string(name) + ": reconnects", static_cast<uint64_t>(c.reconnects));
      if (c.relogins != 0) {
        report.Lose(std::string(name) + ": " + std::to_string(c.relogins) + " login(s) lost and made afresh");
      }
      for (const std::string& why : ini->losses()) report.Lose(std::string(name) + ": " + why);
      // A management ORB written just before a reset can be fetched and answered just after
      // it, when the initiator has moved on to the next RECONNECT; its status then matches
      // nothing. Those, and the blocks written before a reset that the initiator handled only
      // after it, are counted, not lost: no command or data depends on them.
      report.Count(std::string(name) + ": status blocks that matched no ORB", static_cast<uint64_t>(c.stray_status));
      report.Count(std::string(name) + ": status blocks written before a reset, handled after it",
                   static_cast<uint64_t>(c.late_status));
      if (!ini->WaitIdle(20000)) report.Lose(std::string(name) + ": the initiator did not settle");
      if (!ini->Logout().ok()) report.Lose(std::string(name) + ": LOGOUT failed after the storm");
    }
  }
  LeakCounters::Now(machine.system(), Controllers(machine)).Compare(before, report);
  return report;
}

// ---- Hostile initiator ---------------------------------------------------------------------

RunReport RunHostile(const RunOptions& options) {
  RunReport report{"hostile"};
  DiscData disc;
  if (std::string e = disc.Load(options.image); !e.empty()) {
    report.Lose(e);
    return report;
  }
  kern::ProcessScope process(kTrayProcess);
  sim::Machine machine(sim::MachineOptions::WithControllers(1));
  bus1394::HostController& hc = machine.controller(0);
  const LeakCounters before = LeakCounters::Now(machine.system(), Controllers(machine));
  {
    sim::ServingSide serving(false);
    if (std::string e = serving.Start(false, options.image); !e.empty()) {
      report.Lose(e);
      return report;
    }
    sim::Initiator good(hc, ChainedInitiator());
    // Not exclusive, so that the hostile node can log in too and send command ORBs.
    sim::LoginOptions login;
    login.exclusive = false;
    if (std::string e = Connect(good, login); !e.empty()) {
      report.Lose(e);
      return report;
    }
    const uint32_t management_agent = good.unit()->management_agent;
    std::unique_ptr<HostileNode> hostile;
    {
      // Attaching resets the bus; the reader starts after the good initiator reconnected.
      hostile = std::make_unique<HostileNode>(hc, kEui64 + 0x66, options.seed, management_agent,
                                              good.login()->command_agent);
      if (!good.WaitIdle(10000) ||
          good.Execute(sim::Command::Make({0x00, 0, 0, 0, 0, 0})).transport != sim::Transport::kOk) {
        report.Lose("the well-behaved initiator did not come back after the hostile node attached");
      }
    }
    std::atomic<bool> stop{false};
    DiscReader reader(good, disc);
    std::thread reading([&] { reader.Run(stop); });
    uint64_t steps = 0;
    const auto end = Deadline(options);
    while (Clock::now() < end) {
      hostile->Step();
      ++steps;
      if (steps % 256 == 0) hc.ClearLog();
    }
    stop = true;
    reading.join();
    report.Count("hostile actions", steps);
    for (const auto& [kind, n] : hostile->tried()) report.Count(kind, n);
    report.Count("hostile status blocks received", hostile->status_blocks());
    ReportReader("well-behaved initiator", reader, report);
    const sim::InitiatorCounters c = good.counters();
    if (c.stray_status != 0) report.Lose(std::to_string(c.stray_status) + " status block(s) matched no ORB");
    for (const std::string& why : good.strays()) report.Lose("  " + why);
    if (c.relogins != 0) report.Lose("the well-behaved initiator lost its login");

    // The driver is still consistent: the unit answers management and commands as before.
    hostile.reset();  // detaching resets the bus; the good login reconnects
    if (!good.WaitIdle(10000)) report.Lose("the well-behaved initiator did not settle after the hostile node left");
    const sim::Result after = good.Execute(Read10(0, 16));
    if (!after.good() || !disc.Same(0, after.data)) report.Lose("READ(10) after the hostile run: " + Describe(after));
    const sim::ManagementResult q = good.QueryLogins();
    if (!q.ok()) {
      report.Lose("QUERY LOGINS after the hostile run failed");
    } else {
      const sim::QueryLoginsInfo info = sim::QueryLoginsInfo::Parse(q.response);
      report.Count("logins left after the hostile node left (its own wait for a reconnect)", info.entries.size());
    }
    if (!good.Logout().ok()) report.Lose("LOGOUT after the hostile run failed");
  }
  LeakCounters::Now(machine.system(), Controllers(machine)).Compare(before, report);
  return report;
}

// ---- Injected faults -----------------------------------------------------------------------

namespace {

// A driver request the fault hook picks, once.
struct BusFault {
  std::atomic<int> armed{0};       // how many more to act on
  std::atomic<int> kind{0};        // 0 fail data write, 1 fail ORB fetch, 2 delay any
  std::atomic<uint64_t> acted{0};
  uint16_t initiator = 0xFFFF;
  std::mt19937 rng{7};
  std::mutex rng_mu;
};

bus1394::FaultAction Decide(BusFault& f, const bus1394::LogEntry& e) {
  using Kind = bus1394::LogEntry::Kind;
  bus1394::FaultAction a;
  if (f.armed.load() <= 0 || e.node_id != f.initiator) return a;
  switch (f.kind.load()) {
    case 0:  // a data write: longer than the 8-byte status block
      if (e.kind != Kind::AsyncWrite || e.length <= 8) return a;
      a.kind = bus1394::FaultAction::Kind::Fail;
      a.status = bus1394::STATUS_DEVICE_DATA_ERROR;
      break;
    case 1:  // a command ORB fetch
      if (e.kind != Kind::AsyncRead || e.length != 32) return a;
      a.kind = bus1394::FaultAction::Kind::Fail;
      a.status = kern::STATUS_IO_TIMEOUT;
      break;
    default: {
      if (e.kind != Kind::AsyncRead && e.kind != Kind::AsyncWrite) return a;
      std::lock_guard<std::mutex> lock(f.rng_mu);
      if (f.rng() % 3 != 0) return a;
      a.kind = bus1394::FaultAction::Kind::Delay;
      a.delay_us = f.rng() % 3000;
      ++f.acted;
      return a;  // delays stay armed for the whole phase
    }
  }
  if (f.armed.fetch_sub(1) <= 0) return {};
  ++f.acted;
  return a;
}

}  // namespace

RunReport RunFaults(const RunOptions& options) {
  RunReport report{"faults"};
  DiscData disc;
  if (std::string e = disc.Load(options.image); !e.empty()) {
    report.Lose(e);
    return report;
  }
  if (disc.sectors < 64) {
    report.Lose("the image is too small for the fault run (64 sectors at least)");
    return report;
  }
  kern::ProcessScope process(kTrayProcess);
  EngineSeam seam;
  sim::Machine machine(sim::MachineOptions::WithControllers(1));
  bus1394::HostController& hc = machine.controller(0);
  kern::System& system = machine.system();
  const LeakCounters before = LeakCounters::Now(system, Controllers(machine));
  BusFault bus;
  hc.SetFaultHook([&bus](const bus1394::LogEntry& e) { return Decide(bus, e); });
  {
    sim::ServingSide serving(false);
    const int requests_before = hc.bus_reset_requests();
    if (std::string e = serving.Start(false, options.image); !e.empty()) {
      report.Lose(e);
      return report;
    }
    sim::Initiator ini(hc, ChainedInitiator());
    if (std::string e = Connect(ini); !e.empty()) {
      report.Lose(e);
      return report;
    }
    if (std::string e = AwaitPublishReset(hc, ini, requests_before); !e.empty()) {
      report.Lose(e);
      return report;
    }
    bus.initiator = ini.node_id();
    std::mt19937 rng(options.seed);
    const auto random_read = [&](uint16_t count = 16) {
      const uint32_t lba = rng() % (disc.sectors - count);
      return std::pair{lba, count};
    };
    // After every fault the session must go on: the next read is good.
    const auto goes_on = [&](const std::string& after) {
      const auto [lba, count] = random_read();
      const sim::Result r = ini.Execute(Read10(lba, count));
      if (!r.good() || !disc.Same(lba, r.data)) report.Lose("the session did not go on after " + after + ": " + Describe(r));
    };
    std::map<std::string, uint64_t> counts;
    const auto end = Deadline(options);
    int round = 0;
    do {
      ++round;
      // Engine: a sector the engine cannot move, and one it answers with MEDIUM ERROR.
      {
        const uint32_t failed = 20 + rng() % (disc.sectors - 40);
        uint32_t medium = 20 + rng() % (disc.sectors - 40);
        if (medium / 32 == failed / 32) medium = failed >= disc.sectors / 2 ? 5 : disc.sectors - 5;
        g_engine.failed_sector = failed;
        g_engine.medium_sector = medium;
        for (uint32_t lba = 0; lba < disc.sectors; lba += 32) {
          const auto count = static_cast<uint16_t>(std::min<uint32_t>(32, disc.sectors - lba));
          const sim::Result r = ini.Execute(Read10(lba, count));
          const Sense s = SenseOf(r);
          const bool hits_failed = Covers(lba, count, failed), hits_medium = Covers(lba, count, medium);
          std::string expected;
          bool as_named;
          if (hits_failed) {
            expected = "CHECK CONDITION, HARDWARE ERROR 4/4B/00";
            as_named = r.transport == sim::Transport::kOk && r.scsi_status == 2 && s.key == 0x4 && s.asc == 0x4B;
            ++counts["engine: read of a sector the engine could not move"];
          } else if (hits_medium) {
            expected = "CHECK CONDITION, MEDIUM ERROR 3/11/00";
            as_named = r.transport == sim::Transport::kOk && r.scsi_status == 2 && s.key == 0x3 && s.asc == 0x11;
            ++counts["engine: read of a sector the engine answered MEDIUM ERROR"];
          } else {
            expected = "GOOD with the image's data";
            as_named = r.good() && disc.Same(lba, r.data);
            ++counts["engine: reads around the bad sectors"];
          }
          if (!as_named) {
            report.Lose("engine fault, READ(10) at " + std::to_string(lba) + ": " + Describe(r) + ", expected " +
                        expected);
          }
        }
        g_engine.failed_sector = kNoSector;
        g_engine.medium_sector = kNoSector;
        goes_on("engine read errors");
      }
      // Bus: a data write to the initiator fails.
      {
        bus.kind = 0;
        bus.armed = 1;
        const auto [lba, count] = random_read();
        const sim::Result r = ini.Execute(Read10(lba, count));
        bus.armed = 0;
        ++counts["bus: failed data write"];
        if (r.transport != sim::Transport::kTransportFailure || r.resp != 1 || r.sbp_status != 0x4D) {
          report.Lose("failed data write: " + Describe(r) + ", expected TRANSPORT FAILURE, sbp_status 0x4D");
        }
        goes_on("a failed data write");
      }
      // Bus: a command ORB fetch fails. The command never reaches the target; the
      // initiator times it out, resets the agent and goes on.
      {
        bus.kind = 1;
        bus.armed = 1;
        const auto [lba, count] = random_read();
        const sim::Result r = ini.Execute(Read10(lba, count, 1500ms));
        bus.armed = 0;
        ++counts["bus: failed ORB fetch"];
        const bool named = r.transport == sim::Transport::kTimeout ||
                           (r.good() && disc.Same(lba, r.data));  // the fault may have hit a refetch
        if (!named) report.Lose("failed ORB fetch: " + Describe(r) + ", expected a time-out");
        goes_on("a failed ORB fetch");
      }
      // Bus: a third of the driver's requests delayed by up to 3 ms for a pass.
      {
        bus.kind = 2;
        bus.armed = 1;
        std::atomic<bool> stop{false};
        DiscReader reader(ini, disc);
        std::thread t([&] { reader.Run(stop); });
        std::this_thread::sleep_for(300ms);
        stop = true;
        t.join();
        bus.armed = 0;
        counts["bus: reads while transactions were delayed"] += reader.commands;
        for (const std::string& f : reader.failures) report.Lose("delayed transactions: " + f);
      }
      // Pools: the driver's allocations fail for a moment while reads are in flight.
      {
        std::vector<std::pair<std::pair<uint32_t, uint16_t>, std::future<sim::Result>>> in_flight;
        for (int i = 0; i < 6; ++i) {
          const auto read = random_read();
          in_flight.emplace_back(read, ini.Submit(Read10(read.first, read.second, 1500ms)));
        }
        system.FailAllocationsAfter(static_cast<int>(rng() % 16),
                                    [](uint32_t tag) { return tag == kern::MakeTag('V', 'S', 'b', 'p') || tag == kern::kMdlTag; });
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng() % 20));
        system.StopFailingAllocations();
        for (auto& [read, answer] : in_flight) {
          const sim::Result r = answer.get();
          if (r.good()) {
            ++counts["pool: reads good despite the failing pool"];
            if (!disc.Same(read.first, r.data)) report.Lose("pool failure: a GOOD read with wrong data");
          } else if (r.transport == sim::Transport::kTimeout || r.transport == sim::Transport::kTransportFailure) {
            ++counts["pool: reads ended " + Describe(r)];
          } else {
            report.Lose("pool failure, READ(10) at " + std::to_string(read.first) + ": " + Describe(r));
          }
        }
        goes_on("pool allocation failures");
      }
    } while (Clock::now() < end);
    report.Count("rounds", static_cast<uint64_t>(round));
    for (const auto& [what, n] : counts) report.Count(what, n);
    report.Count("bus requests the fault hook acted on", bus.acted.load());
    if (!ini.Logout().ok()) report.Lose("LOGOUT after the faults failed");
  }
  hc.SetFaultHook({});
  LeakCounters::Now(system, Controllers(machine)).Compare(before, report);
  return report;
}

// ---- Teardown with commands in flight ------------------------------------------------------

RunReport RunTeardown(const RunOptions& options) {
  RunReport report{"teardown"};
  DiscData disc;
  if (std::string e = disc.Load(options.image); !e.empty()) {
    report.Lose(e);
    return report;
  }
  kern::ProcessScope process(kTrayProcess);
  EngineSeam seam;
  static const char* const kActions[] = {"unit closed", "target removed", "image unmounted"};
  std::map<std::string, uint64_t> counts;
  std::mt19937 rng(options.seed);
  const auto end = Deadline(options);
  int round = 0;
  do {
    const int action = round++ % 3;
    sim::Machine machine(sim::MachineOptions::WithControllers(1));
    bus1394::HostController& hc = machine.controller(0);
    const LeakCounters before = LeakCounters::Now(machine.system(), Controllers(machine));
    {
      // Paced, and every engine call slowed, so that reads are still being answered when
      // the unit, the target or the image goes away.
      sim::ServingSide serving(true);
      g_engine.delay_us = 2000 + rng() % 8000;
      if (std::string e = serving.Start(false, options.image); !e.empty()) {
        report.Lose(e);
        return report;
      }
      sim::Initiator ini(hc, ChainedInitiator());
      if (std::string e = Connect(ini); !e.empty()) {
        report.Lose(std::string(kActions[action]) + ": " + e);
        return report;
      }
      std::vector<std::pair<uint32_t, std::future<sim::Result>>> in_flight;
      for (int i = 0; i < 12; ++i) {
        const uint32_t lba = rng() % (disc.sectors - 32);
        in_flight.emplace_back(lba, ini.Submit(Read10(lba, 32, 3000ms)));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
      uint32_t result = 0;
      switch (action) {
        case 0: {
          const std::u16string path = win32::testing::DevicePathOf(hc.interface_link());
          result = devaccess::VSbp2ApiCloseUnit(path.c_str(), 0);
          break;
        }
        case 1:
          result = imagepath::RemoveTarget(0);
          break;
        default:
          result = imagepath::UnmountImage(imagepath::TargetAt(0), true) == 1 ? 0 : 1;
          break;
      }
      if (result != 0) report.Lose(std::string(kActions[action]) + ": the call failed with " + std::to_string(result));
      ++counts[std::string(kActions[action]) + " with reads in flight"];
      for (auto& [lba, answer] : in_flight) {
        if (answer.wait_for(20s) != std::future_status::ready) {
          report.Lose(std::string(kActions[action]) + ": a READ(10) never ended");
          continue;
        }
        const sim::Result r = answer.get();
        if (r.good() && !disc.Same(lba, r.data)) report.Lose(std::string(kActions[action]) + ": a GOOD read with wrong data");
        ++counts[std::string(kActions[action]) + ": reads ended " + (r.good() ? "GOOD" : Describe(r))];
      }
      if (action == 2) {
        // The drive stays: it answers that no medium is present.
        const sim::Result r = ini.Execute(sim::Command::Make({0x00, 0, 0, 0, 0, 0}));
        const Sense s = SenseOf(r);
        if (r.scsi_status != 2 || s.key != 0x2 || s.asc != 0x3A) {
          report.Lose("image unmounted: TEST UNIT READY answered " + Describe(r) + ", expected NOT READY 2/3A");
        }
      }
      g_engine.delay_us = 0;
    }
    LeakCounters::Now(machine.system(), Controllers(machine)).Compare(before, report);
  } while (Clock::now() < end || round < 3);
  report.Count("rounds", static_cast<uint64_t>(round));
  for (const auto& [what, n] : counts) report.Count(what, n);
  return report;
}

}  // namespace reliability
