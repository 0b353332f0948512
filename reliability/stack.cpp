#include "reliability/stack.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <thread>

#include "devaccess/vsbp2api.h"
#include "imagepath/targets.h"
#include "platform/bus1394/bus1394.h"
#include "platform/win32/win32.h"
#include "ravelkit/ravelkit.h"
#include "sim/image_data.h"
#include "sim/rom.h"

namespace reliability {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kSector = sim::kUserSectorSize;
// Larger images are not held in memory; the runs read a disc many times over, so a small
// one does more for them than a big one.
constexpr uint64_t kMaxImageBytes = 512ull << 20;

std::string DiscData::Load(const std::string& path) {
  std::string error;
  std::unique_ptr<sim::ImageUserData> image = sim::ImageUserData::Open(path, error);
  if (!image) return "image '" + path + "': " + error;
  if (image->sectors() == 0 || image->sectors() * kSector > kMaxImageBytes) {
    return "image '" + path + "': " + std::to_string(image->sectors()) + " sectors (1 to " +
           std::to_string(kMaxImageBytes / kSector) + " expected)";
  }
  sectors = static_cast<uint32_t>(image->sectors());
  bytes.resize(uint64_t{sectors} * kSector);
  if (!image->Read(0, sectors, bytes.data(), error)) return "image '" + path + "': " + error;
  return {};
}

bool DiscData::Same(uint32_t lba, const std::vector<uint8_t>& got) const {
  const uint64_t at = uint64_t{lba} * kSector;
  return at + got.size() <= bytes.size() && std::memcmp(bytes.data() + at, got.data(), got.size()) == 0;
}

// ---- Leak counters -----------------------------------------------------------------------

LeakCounters LeakCounters::Now(kern::System& system, const std::vector<bus1394::HostController*>& controllers) {
  for (bus1394::HostController* hc : controllers) hc->Drain();
  system.Quiesce();
  LeakCounters c;
  c.handles = win32::testing::OpenHandles();
  c.threads = win32::testing::LiveThreads();
  c.critical_sections = win32::testing::LiveCriticalSections();
  c.local_allocations = win32::testing::LocalAllocations();
  c.sids = win32::testing::LiveSids();
  c.driver_pool = system.OutstandingAllocations(kern::MakeTag('V', 'S', 'b', 'p'));
  c.all_pool = system.OutstandingAllocations();
  return c;
}

void LeakCounters::Compare(const LeakCounters& before, RunReport& report) const {
  const std::pair<const char*, std::pair<size_t, size_t>> rows[] = {
      {"open handles", {before.handles, handles}},
      {"live threads", {before.threads, threads}},
      {"critical sections", {before.critical_sections, critical_sections}},
      {"LocalAlloc blocks", {before.local_allocations, local_allocations}},
      {"SIDs", {before.sids, sids}},
      {"driver pool allocations", {before.driver_pool, driver_pool}},
      {"kernel allocations", {before.all_pool, all_pool}},
  };
  for (const auto& [what, counts] : rows) {
    if (counts.second != counts.first) {
      report.Lose(std::string(what) + ": " + std::to_string(counts.first) + " before, " +
                  std::to_string(counts.second) + " after");
    }
  }
}

// ---- Initiator helpers -------------------------------------------------------------------

std::string Describe(const sim::Result& r) {
  char text[120];
  if (r.transport != sim::Transport::kOk) {
    std::snprintf(text, sizeof(text), "%s (resp %u, sbp_status 0x%02X)", sim::ToString(r.transport), r.resp,
                  r.sbp_status);
  } else {
    const Sense s = SenseOf(r);
    std::snprintf(text, sizeof(text), "status %u, sense %X/%02X/%02X", r.scsi_status, s.key, s.asc, s.ascq);
  }
  return text;
}

std::string Connect(sim::Initiator& initiator, const sim::LoginOptions& login) {
  const sim::RomInfo rom = initiator.Discover();
  if (!rom.ok) return "configuration ROM: " + rom.error;
  if (!initiator.unit()) return "configuration ROM: no SBP-2 unit";
  const sim::ManagementResult m = initiator.Login(login);
  if (!m.ok()) return std::string("LOGIN: ") + sim::ToString(m.transport) + ", sbp_status " + std::to_string(m.sbp_status);
  const auto limit = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    const sim::Result r = initiator.Execute(sim::Command::Make({0x00, 0, 0, 0, 0, 0}));
    if (r.good()) return {};
    const Sense s = SenseOf(r);
    const bool settling = r.transport == sim::Transport::kOk && (s.key == 0x6 || (s.key == 0x2 && s.asc == 0x04));
    if (!settling) return "TEST UNIT READY: " + Describe(r);
    if (Clock::now() > limit) return "the drive did not become ready within 10 s";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string AwaitPublishReset(bus1394::HostController& hc, sim::Initiator& initiator, int requests_before) {
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (hc.bus_reset_requests() == requests_before) {
    if (Clock::now() > limit) return "the driver requested no bus reset after publishing the unit";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  hc.Drain();  // the requested reset has happened and its callouts have run
  for (;;) {
    const std::optional<sim::LoginInfo> login = initiator.login();
    if (!login) return "the login was lost to the driver's bus reset";
    if (login->generation == hc.generation() && initiator.WaitIdle(1000)) return {};
    if (Clock::now() > limit) return "the login did not recover from the driver's bus reset within 10 s";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// ---- Whole-disc reader -------------------------------------------------------------------

void DiscReader::Run(const std::atomic<bool>& stop) {
  struct InFlight {
    uint32_t lba;
    uint16_t count;
    std::future<sim::Result> answer;
  };
  std::deque<InFlight> queue;
  uint32_t next = 0;
  bool lost_login = false;  // nothing more is sent once the initiator could not restore it
  for (;;) {
    while (!stop.load() && !lost_login && queue.size() < depth_) {
      const auto count = static_cast<uint16_t>(std::min<uint32_t>(per_, disc_.sectors - next));
      queue.push_back({next, count, ini_.Submit(Read10(next, count))});
      ++commands;
      next += count;
      if (next >= disc_.sectors) {
        next = 0;
        ++passes;
      }
    }
    if (queue.empty()) return;
    InFlight f = std::move(queue.front());
    queue.pop_front();
    const sim::Result r = f.answer.get();
    const bool complete = r.good() && r.data.size() == size_t{f.count} * kSector;
    if (complete && disc_.Same(f.lba, r.data)) {
      ++good;
      sectors += f.count;
      continue;
    }
    std::string what = "READ(10) at " + std::to_string(f.lba) + "+" + std::to_string(f.count) + ": ";
    if (complete) {
      ++wrong_data;
      what += "data differ from the image";
    } else {
      ++failed;
      what += Describe(r) + " after " + std::to_string(r.attempts) + " ORB(s)";
      if (!ini_.login()) {
        lost_login = true;
        what += "; the login is gone";
      }
    }
    if (failures.size() < 8) failures.push_back(std::move(what));
  }
}

}  // namespace reliability
