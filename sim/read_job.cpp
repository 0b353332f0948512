#include "sim/read_job.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "devaccess/vsbp2api.h"
#include "imagepath/targets.h"
#include "platform/kernel/kernel.h"
#include "ravelkit/ravelkit.h"
#include "sim/image_data.h"
#include "sim/initiator.h"
#include "sim/machine.h"
#include "sim/rom.h"
#include "sim/sha256.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSector = 2048;
// The logical process the serving side runs as (the tray program's).
constexpr uint32_t kTrayProcess = 0x534B;
constexpr uint64_t kInitiatorEui64 = 0x0800460300000200ULL;
// An operating system gives a drive a few seconds to spin up before it gives up on it.
constexpr auto kReadyLimit = std::chrono::seconds(10);
constexpr auto kNotReadyPoll = std::chrono::milliseconds(10);

// Sense key, ASC and ASCQ the job tells apart.
struct SenseCode {
  uint8_t key, asc, ascq;
  bool operator==(const SenseCode&) const = default;
};
constexpr SenseCode kBecomingReady{0x2, 0x04, 0x01};
constexpr SenseCode kMediumChanged{0x6, 0x28, 0x00};

SenseCode SenseOf(const Result& r) {
  if (r.sense.size() < 14) return {};
  return {static_cast<uint8_t>(r.sense[2] & 0x0F), r.sense[12], r.sense[13]};
}

std::string Describe(const char* what, const Result& r) {
  if (r.transport != Transport::kOk) return std::string(what) + ": " + ToString(r.transport);
  const SenseCode s = SenseOf(r);
  char text[96];
  std::snprintf(text, sizeof(text), "%s: status %u, sense %X/%02X/%02X", what, r.scsi_status, s.key, s.asc, s.ascq);
  return text;
}

// The engine's process-wide switch for rotation timing: off, it reports no rotation and
// the command layer computes no deadlines for the data it reads.
void SetRotationTiming(bool enabled) { ImageSetRotationTiming(enabled ? 1 : 0); }

// UTF-8 to UTF-16, as the tray program hands paths to the targets. Invalid bytes become
// U+FFFD, which no file name matches.
std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    char32_t c = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
    bool ok = extra >= 0 && i + static_cast<size_t>(extra) < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      const auto t = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      ok = (t >> 6) == 2;
      c = c << 6 | (t & 0x3F);
    }
    i += ok ? static_cast<size_t>(extra) + 1 : 1;
    if (!ok || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::string Trimmed(const std::vector<uint8_t>& bytes, size_t from, size_t length) {
  std::string s(bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(from + length));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

Command Read10(uint32_t lba, uint16_t count) {
  Command c = Command::Make({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, uint32_t{count} * kSector);
  StoreBe32(&c.cdb[2], lba);
  c.cdb[7] = static_cast<uint8_t>(count >> 8);
  c.cdb[8] = static_cast<uint8_t>(count);
  return c;
}

// Collects answered − deadline of target 0's held-back answers. Called on the target's
// executor thread.
class PacingRecorder {
 public:
  static void Observe(void* self, uint32_t target, uint64_t deadline_us, uint64_t answered_us) {
    if (target != 0) return;
    auto* r = static_cast<PacingRecorder*>(self);
    std::lock_guard<std::mutex> lock(r->mu_);
    r->errors_.push_back(static_cast<int64_t>(answered_us - deadline_us));
  }

  PacingSummary Summary() {
    std::lock_guard<std::mutex> lock(mu_);
    return {errors_.size(), Percentile(errors_, 50), Percentile(errors_, 99)};
  }

 private:
  std::mutex mu_;
  std::vector<int64_t> errors_;  // guarded by mu_
};

struct BusCounts {
  uint64_t requests = 0;
  uint64_t packets = 0;
  BusCounts& operator+=(const BusCounts& o) {
    requests += o.requests;
    packets += o.packets;
    return *this;
  }
};

// Counts the asynchronous requests of the bus log (and the packets they went out as: a
// remote node's request is one packet, the driver's are cut by payload size) and empties
// the log, so that a long read does not keep every entry. Only while no command is in
// flight: an entry logged between the copy and the clear would be lost, so the bus must
// be idle.
BusCounts DrainBusLog(bus1394::HostController& hc) {
  hc.Drain();
  BusCounts n;
  for (const bus1394::LogEntry& e : hc.Log()) {
    using Kind = bus1394::LogEntry::Kind;
    if (e.kind == Kind::RemoteRequest) {
      ++n.requests;
      ++n.packets;
    } else if (e.kind == Kind::AsyncRead || e.kind == Kind::AsyncWrite) {
      ++n.requests;
      n.packets += e.packets;
    }
  }
  hc.ClearLog();
  return n;
}

// What the tray program sets up, undone in reverse order however far it got. The end is a
// normal exit of the program: the targets stop and the library lets go of its handles, but
// the virtual devices stay on their controllers (the machine removes them as it goes).
class ServingSide {
 public:
  ServingSide(PacingRecorder& pacing, bool paced) {
    imagepath::SetPacingObserver(&PacingRecorder::Observe, &pacing);
    SetRotationTiming(paced);
  }
  ~ServingSide() {
    if (targets_) imagepath::ReleaseTargets();
    if (library_) devaccess::VSbp2ApiUninitialize();
    imagepath::SetPacingObserver(nullptr, nullptr);
    SetRotationTiming(true);
  }
  ServingSide(const ServingSide&) = delete;
  ServingSide& operator=(const ServingSide&) = delete;

  // Start-up, create the device, mount: empty, or what failed.
  std::string Start(bool mac, const std::string& image) {
    if (imagepath::InitTargets() == 0) return "InitTargets failed";
    targets_ = true;
    if (const DWORD r = devaccess::VSbp2ApiInitialize(); r != 0) return "VSbp2ApiInitialize: error " + std::to_string(r);
    library_ = true;
    uint32_t count = 0;
    if (devaccess::EnumerateHostControllers(&count) == 0) return "EnumerateHostControllers failed";
    if (count == 0) return "no host controller";
    const auto* identity = reinterpret_cast<const uint8_t*>(imagepath::kDefaultIdentity);
    if (const uint32_t r = imagepath::AddTarget(0, mac, identity); r != 0) {
      return "Unable to add target 0: error " + std::to_string(r);
    }
    const std::u16string path = Utf16(image);
    if (const uint32_t r = imagepath::MountImage(path.c_str(), 0, nullptr, false); r != 0) {
      return "MountImage '" + image + "': error " + std::to_string(r);
    }
    return {};
  }

 private:
  using DWORD = devaccess::DWORD;
  bool library_ = false;
  bool targets_ = false;
};

// The operating system's side, from discovery to the last sector.
class Reader {
 public:
  Reader(Initiator& initiator, const ReadJobOptions& options, ImageUserData& expected, ReadJobReport& report)
      : ini_(initiator), options_(options), expected_(expected), report_(report) {}

  bool Run(bus1394::HostController& hc) {
    hc.ClearLog();
    const bool ok = Connect() && WaitReady() && Identify() && ReadCapacity() && ReadAll(hc);
    bus_ += DrainBusLog(hc);
    report_.bus_requests = bus_.requests;
    report_.bus_packets = bus_.packets;
    return ok;
  }

 private:
  bool Fail(std::string why) {
    report_.error = std::move(why);
    return false;
  }

  Result Execute(Command c) {
    ++report_.commands;
    return ini_.Execute(std::move(c));
  }

  bool Connect() {
    const RomInfo rom = ini_.Discover();
    if (!rom.ok) return Fail("configuration ROM: " + rom.error);
    if (!ini_.unit()) return Fail("configuration ROM: no SBP-2 unit");
    const ManagementResult login = ini_.Login();
    if (!login.ok()) return Fail(std::string("LOGIN failed: ") + ToString(login.transport));
    return true;
  }

  // TEST UNIT READY until the drive is ready, riding through becoming ready and the one
  // medium-changed attention of the load.
  bool WaitReady() {
    const auto limit = Clock::now() + kReadyLimit;
    for (;;) {
      const Result r = Execute(Command::Make({0x00, 0, 0, 0, 0, 0}));
      if (r.good()) return true;
      const SenseCode s = SenseOf(r);
      if (r.transport == Transport::kOk && s == kBecomingReady) {
        ++report_.not_ready_answers;
        std::this_thread::sleep_for(kNotReadyPoll);
      } else if (r.transport == Transport::kOk && s == kMediumChanged && report_.unit_attentions == 0) {
        ++report_.unit_attentions;
      } else {
        return Fail(Describe("TEST UNIT READY", r));
      }
      if (Clock::now() > limit) return Fail("the drive did not become ready within 10 s");
    }
  }

  bool Identify() {
    const Result r = Execute(Command::Make({0x12, 0, 0, 0, 36, 0}, 36));
    if (!r.good() || r.data.size() < 36) return Fail(Describe("INQUIRY", r));
    if ((r.data[0] & 0x1F) != 5) return Fail("INQUIRY: not a CD/DVD device");
    report_.vendor = Trimmed(r.data, 8, 8);
    report_.product = Trimmed(r.data, 16, 16);
    report_.revision = Trimmed(r.data, 32, 4);
    return true;
  }

  bool ReadCapacity() {
    const Result r = Execute(Command::Make({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8));
    if (!r.good() || r.data.size() < 8) return Fail(Describe("READ CAPACITY", r));
    const uint32_t block = LoadBe32(&r.data[4]);
    if (block != kSector) return Fail("READ CAPACITY: block length " + std::to_string(block));
    report_.capacity = uint64_t{LoadBe32(r.data.data())} + 1;
    return true;
  }

  struct InFlight {
    uint32_t lba;
    uint16_t count;
    std::future<Result> answer;
  };

  bool ReadAll(bus1394::HostController& hc) {
    const uint64_t total = report_.capacity;
    const uint32_t per = std::clamp<uint32_t>(options_.sectors_per_command, 1, 0xFFFF);
    const size_t depth = static_cast<size_t>(std::max(options_.in_flight, 1));
    Sha256 digest;
    std::vector<uint8_t> expected;
    std::deque<InFlight> queue;
    uint64_t next = 0;
    std::string failure;
    // Every so many commands the queue runs dry once, so the bus log can be emptied.
    constexpr uint64_t kCommandsPerLogDrain = 256;
    uint64_t since_drain = 0;
    const auto start = Clock::now();
    auto top_up = [&] {
      if (since_drain >= kCommandsPerLogDrain) {
        if (!queue.empty()) return;
        bus_ += DrainBusLog(hc);
        since_drain = 0;
      }
      while (queue.size() < depth && next < total && since_drain < kCommandsPerLogDrain) {
        ++since_drain;
        const auto count = static_cast<uint16_t>(std::min<uint64_t>(per, total - next));
        ++report_.commands;
        queue.push_back({static_cast<uint32_t>(next), count, ini_.Submit(Read10(static_cast<uint32_t>(next), count))});
        next += count;
      }
    };
    top_up();
    while (!queue.empty()) {
      InFlight f = std::move(queue.front());
      queue.pop_front();
      const Result r = f.answer.get();
      if (!failure.empty()) continue;  // what was already sent is only waited for
      if (!r.good() || r.data.size() != size_t{f.count} * kSector) {
        failure = Describe(("READ(10) at " + std::to_string(f.lba)).c_str(), r);
        continue;
      }
      digest.Update(r.data);
      report_.sectors += f.count;
      report_.bytes += r.data.size();
      Compare(f.lba, f.count, r.data, expected);
      if (options_.progress) options_.progress(report_.sectors, total);
      top_up();
    }
    report_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (report_.seconds > 0) report_.mb_per_s = static_cast<double>(report_.bytes) / 1e6 / report_.seconds;
    report_.sha256 = digest.FinishHex();
    if (!failure.empty()) return Fail(failure);
    return true;
  }

  void Compare(uint32_t lba, uint16_t count, const std::vector<uint8_t>& got, std::vector<uint8_t>& expected) {
    // Sectors the expected image does not have differ by definition.
    const uint64_t have = expected_.sectors() > lba ? std::min<uint64_t>(count, expected_.sectors() - lba) : 0;
    expected.resize(size_t{count} * kSector);
    std::string error;
    const bool read = have > 0 && expected_.Read(lba, static_cast<uint32_t>(have), expected.data(), error);
    for (uint32_t i = 0; i < count; ++i) {
      const bool same = read && i < have &&
                        std::memcmp(&got[size_t{i} * kSector], &expected[size_t{i} * kSector], kSector) == 0;
      if (same) continue;
      if (report_.mismatched_sectors++ == 0) {
        report_.first_mismatch = lba + i;
        if (!error.empty()) report_.error = "expected data: " + error;
      }
    }
  }

  Initiator& ini_;
  const ReadJobOptions& options_;
  ImageUserData& expected_;
  ReadJobReport& report_;
  BusCounts bus_;
};

}  // namespace

int64_t Percentile(std::vector<int64_t> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

ReadJobReport RunReadJob(const ReadJobOptions& options) {
  ReadJobReport report;
  const std::string expect_path = options.expect.empty() ? options.image : options.expect;
  std::string error;
  std::unique_ptr<ImageUserData> expected = ImageUserData::Open(expect_path, error);
  if (!expected) {
    report.error = "expected data: " + error;
    return report;
  }

  kern::ProcessScope process(kTrayProcess);
  MachineOptions machine_options = MachineOptions::WithControllers(1);
  machine_options.controllers[0].local_speed = options.speed;
  Machine machine(machine_options);
  PacingRecorder pacing;
  bool read_ok = false;
  {
    ServingSide serving(pacing, options.paced);
    report.error = serving.Start(options.client == Client::kMac, options.image);
    if (!report.error.empty()) return report;

    InitiatorOptions initiator_options;
    initiator_options.profile = options.client == Client::kMac ? Profile::kMac : Profile::kChained;
    initiator_options.eui64 = kInitiatorEui64;
    initiator_options.speed = options.speed;
    Initiator initiator(machine.controller(0), initiator_options);
    Reader reader(initiator, options, *expected, report);
    read_ok = reader.Run(machine.controller(0));
    if (read_ok) initiator.Logout();
    report.bus_resets = initiator.counters().bus_resets;
  }
  report.pacing = pacing.Summary();
  if (!read_ok) return report;

  report.match = report.mismatched_sectors == 0 && report.sectors == report.capacity &&
                 report.capacity == expected->sectors();
  if (report.mismatched_sectors > 0) {
    const std::string why = report.error;  // the expected data's own failure, if any
    report.error = std::to_string(report.mismatched_sectors) + " sector(s) differ from '" + expect_path +
                   "', the first at LBA " + std::to_string(report.first_mismatch);
    if (!why.empty()) report.error += " (" + why + ")";
  } else if (!report.match) {
    report.error = "the disc has " + std::to_string(report.capacity) + " sectors, '" + expect_path + "' " +
                   std::to_string(expected->sectors());
  }
  return report;
}

}  // namespace sim
