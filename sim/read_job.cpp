#include "sim/read_job.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "devaccess/vsbp2api.h"
#include "imagepath/targets.h"
#include "imagepath/timing.h"
#include "platform/bus1394/wire_time.h"
#include "platform/kernel/kernel.h"
#include "platform/threadcpu/threadcpu.h"
#include "ravelkit/geometry.h"
#include "ravelkit/ravelkit.h"
#include "sim/image_data.h"
#include "sim/initiator.h"
#include "sim/machine.h"
#include "sim/rom.h"
#include "sim/serving.h"
#include "sim/sha256.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSector = kUserSectorSize;
constexpr uint64_t kInitiatorEui64 = 0x0800460300000200ULL;
// An operating system gives a drive a few seconds to spin up before it gives up on it.
constexpr auto kReadyLimit = std::chrono::seconds(10);
constexpr auto kNotReadyPoll = std::chrono::milliseconds(10);

// Sense the job tells apart.
constexpr SenseCode kBecomingReady{0x2, 0x04, 0x01};
constexpr SenseCode kMediumChanged{0x6, 0x28, 0x00};

std::string Describe(const char* what, const Result& r) {
  if (r.transport != Transport::kOk) return std::string(what) + ": " + ToString(r.transport);
  const SenseCode s = SenseOf(r);
  char text[96];
  std::snprintf(text, sizeof(text), "%s: status %u, sense %X/%02X/%02X", what, r.scsi_status, s.key, s.asc, s.ascq);
  return text;
}

// READ CD fields of byte 1 (expected sector type) and bytes 9-10 (what each sector returns).
constexpr uint8_t kSectorTypeCdda = 1 << 2;
constexpr uint8_t kFieldUserData = 0x10;  // for CD-DA: the whole 2,352 bytes
constexpr uint8_t kSubchannelQ = 2;       // 16 bytes: Q with its CRC, padded
constexpr uint32_t kQSize = 16;

Command ReadCd(uint32_t lba, uint32_t count, uint8_t type, uint8_t fields, uint8_t subchannel, uint32_t length) {
  Command c = Command::Make({0xBE, type, 0, 0, 0, 0, 0, 0, 0, fields, subchannel, 0}, length);
  StoreBe32(&c.cdb[2], lba);
  c.cdb[6] = static_cast<uint8_t>(count >> 16);
  c.cdb[7] = static_cast<uint8_t>(count >> 8);
  c.cdb[8] = static_cast<uint8_t>(count);
  return c;
}

// CD-DA sectors, 2,352 bytes each, no sub-channel.
Command ReadAudio(uint32_t lba, uint16_t count) {
  return ReadCd(lba, count, kSectorTypeCdda, kFieldUserData, 0, uint32_t{count} * kAudioSectorSize);
}

// READ TOC/PMA/ATIP in LBA form: format 0 from track 1, format 2 (full TOC) from session 1.
constexpr uint16_t kTocAllocation = 2048;
Command ReadToc(uint8_t format) {
  return Command::Make({0x43, 0, format, 0, 0, 0, 1, kTocAllocation >> 8, kTocAllocation & 0xFF, 0},
                       kTocAllocation);
}

constexpr uint8_t kTocLeadOut = 0xAA;
constexpr uint8_t kFullTocLeadOut = 0xA2;
constexpr uint8_t kControlData = 0x4;

uint8_t FromBcd(uint8_t v) { return static_cast<uint8_t>((v >> 4) * 10 + (v & 0x0F)); }

// The drive's timing model applied to the job's own reads, to say how long a paced read
// should take. The command layer holds each answer until the moment a spinning drive would
// have delivered it:
//  * the engine reports how much of a revolution the sectors took to pass under the head
//    (ravelkit/geometry.h: the radius they span on the spiral over the track pitch), and
//    the layer turns it into time with the period that applies: the minimum period (the
//    drive at full speed) for a read of 16 sectors or more that continues where the head
//    is, the nominal period (the engine's, never below the minimum) for anything else;
//  * a READ(10) served from the read-ahead ring costs only that rotation, counted on from
//    the previous answer's moment;
//  * any other read first seeks (never under 10 ms, even to the sector under the head) and
//    then waits for the rotation grid: the answer is due on the first whole period after
//    the seek, plus its rotation. Right after the previous answer that is two periods at
//    the CD's 6,303 µs; the first read of the job starts at an arbitrary point of the
//    grid, half a period on average.
// A paced whole-disc read of a data disc is therefore the sum of its reads' rotations plus
// the first read's seek and half a period: that fixed offset is part of the figure.
class PacedReadModel {
 public:
  explicit PacedReadModel(const ravelkit::ImageLayout& layout) {
    const int64_t capacity = std::max<int32_t>(layout.disc.LeadOut(), 0);
    geometry_ = ravelkit::GeometryFor(layout.medium, layout.layers, capacity);
    const uint32_t descriptor = ravelkit::MediumDescriptor(layout);
    switch (layout.medium) {
      case ravelkit::MediumClass::kCd:
        ecc_ = 1;
        break;
      case ravelkit::MediumClass::kDvd:
        ecc_ = 16;
        step_ = imagepath::timing::kDvdSeekSteps;
        break;
      case ravelkit::MediumClass::kBd:
        ecc_ = 32;
        step_ = imagepath::timing::kBdSeekSteps;
        break;
    }
    minimum_us_ =
        imagepath::timing::MinimumPeriodUs(layout.medium == ravelkit::MediumClass::kDvd, descriptor);
    nominal_us_ = std::max<uint64_t>(ravelkit::RotationPeriodUs(geometry_), minimum_us_);
  }

  // A read the reader does not time (finding the tracks): only the head moves.
  void MoveHead(uint64_t head) { head_ = head; }

  // `ring`: a plain READ(10), which the read-ahead ring may serve.
  void Read(uint64_t lba, uint32_t count, bool ring) {
    const uint64_t aligned = (lba + ecc_ - 1) / ecc_ * ecc_;
    const bool sequential = aligned == head_ && count >= 16;
    const uint64_t period = sequential ? minimum_us_ : nominal_us_;
    const uint64_t units = ravelkit::RotationUnits(geometry_, static_cast<int64_t>(lba), count);
    const uint64_t rotation = (period * units) >> 24;
    const uint64_t end = lba + count;
    if (ring && sequential && streaming_) {
      us_ += rotation;
    } else {
      const uint64_t distance = end > head_ ? end - head_ : head_ - end;
      const uint64_t seek = imagepath::timing::SeekUs(step_, distance);
      us_ += first_ ? seek + period / 2 : (seek + period - 1) / period * period;
      us_ += rotation;
    }
    if (first_) first_us_ = us_;
    first_ = false;
    streaming_ = ring;
    head_ = end;
  }

  double seconds() const { return static_cast<double>(us_) / 1e6; }
  // The first read alone, with the mean wait for the rotation grid.
  double first_read_seconds() const { return static_cast<double>(first_us_) / 1e6; }

 private:
  ravelkit::DiscGeometry geometry_;
  uint64_t ecc_ = 1;  // sectors per ECC block
  imagepath::timing::SeekSteps step_ = imagepath::timing::kCdSeekSteps;  // the sled's steps
  uint64_t minimum_us_ = imagepath::timing::kMinimumPeriodUs;
  uint64_t nominal_us_ = imagepath::timing::kMinimumPeriodUs;
  uint64_t head_ = 0;  // where the head rests after the last read; the medium loads at 0
  bool first_ = true;
  bool streaming_ = false;  // the last read was one the ring follows
  uint64_t us_ = 0;
  uint64_t first_us_ = 0;
};

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

// TEST UNIT READY until the drive is ready, riding through becoming ready and the one
// medium-changed attention of the load. Empty, or why the drive never became ready.
std::string WaitUntilReady(Initiator& initiator, int& not_ready, int& attentions, uint64_t& commands) {
  const auto limit = Clock::now() + kReadyLimit;
  for (;;) {
    ++commands;
    const Result r = initiator.Execute(Command::Make({0x00, 0, 0, 0, 0, 0}));
    if (r.good()) return {};
    const SenseCode s = SenseOf(r);
    if (r.transport == Transport::kOk && s == kBecomingReady) {
      ++not_ready;
      std::this_thread::sleep_for(kNotReadyPoll);
    } else if (r.transport == Transport::kOk && s == kMediumChanged && attentions == 0) {
      ++attentions;
    } else {
      return Describe("TEST UNIT READY", r);
    }
    if (Clock::now() > limit) return "the drive did not become ready within 10 s";
  }
}

// The operating system's side, from discovery to the last sector.
class Reader {
 public:
  Reader(Initiator& initiator, const ReadJobOptions& options, ImageUserData& expected, ReadJobReport& report,
         PacedReadModel* model)
      : ini_(initiator), options_(options), expected_(expected), report_(report), model_(model) {}

  bool Run(bus1394::HostController& hc) {
    hc.ClearLog();
    const bool ok = Connect() && WaitReady() && Identify() && ReadCapacity() && FindTracks() && ReadAll(hc);
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

  bool WaitReady() {
    std::string failure = WaitUntilReady(ini_, report_.not_ready_answers, report_.unit_attentions, report_.commands);
    return failure.empty() || Fail(std::move(failure));
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

  // ---- Where the tracks are ----

  struct TocTrack {
    uint8_t number;
    uint8_t session;
    bool audio;
    uint32_t start;
  };

  // READ TOC format 0 for the tracks and the disc's lead-out, format 2 (when the drive
  // answers it) for the sessions and their lead-outs; then each track's end: the next
  // track's pregap, found in the Q sub-channel, or the lead-out of its session.
  bool FindTracks() {
    const Result r = Execute(ReadToc(0));
    if (!r.good() || r.data.size() < 4) return Fail(Describe("READ TOC", r));
    const size_t length = std::min<size_t>(r.data.size(), (size_t{r.data[0]} << 8 | r.data[1]) + 2);
    std::vector<TocTrack> toc;
    std::optional<uint32_t> disc_lead_out;
    for (size_t at = 4; at + 8 <= length; at += 8) {
      const uint8_t point = r.data[at + 2];
      const uint32_t lba = LoadBe32(&r.data[at + 4]);
      if (point == kTocLeadOut) {
        disc_lead_out = lba;
      } else if (point >= 1 && point <= 99) {
        toc.push_back({point, 1, (r.data[at + 1] & kControlData) == 0, lba});
      }
    }
    if (toc.empty() || !disc_lead_out) return Fail("READ TOC: no tracks or no lead-out");

    std::map<uint8_t, uint32_t> session_lead_outs;
    const Result full = Execute(ReadToc(2));
    if (full.good() && full.data.size() >= 4) {
      const size_t full_length = std::min<size_t>(full.data.size(), (size_t{full.data[0]} << 8 | full.data[1]) + 2);
      for (size_t at = 4; at + 11 <= full_length; at += 11) {
        const uint8_t session = full.data[at];
        const uint8_t point = full.data[at + 3];
        const auto lba = static_cast<uint32_t>(
            ravelkit::MsfToLba({full.data[at + 8], full.data[at + 9], full.data[at + 10]}));
        if (point == kFullTocLeadOut) session_lead_outs[session] = lba;
        for (TocTrack& t : toc) {
          if (t.number == point) t.session = session;
        }
      }
    }

    for (size_t i = 0; i < toc.size(); ++i) {
      const TocTrack& t = toc[i];
      uint64_t end = *disc_lead_out;
      if (auto s = session_lead_outs.find(t.session); s != session_lead_outs.end()) end = s->second;
      if (i + 1 < toc.size() && toc[i + 1].session == t.session) {
        std::optional<uint32_t> pregap = PregapStart(t, toc[i + 1]);
        if (!pregap) return false;
        end = *pregap;
      }
      if (end < t.start) return Fail("READ TOC: track " + std::to_string(t.number) + " ends before it starts");
      TrackReport track;
      track.number = t.number;
      track.audio = t.audio;
      track.start = t.start;
      track.sectors = end - t.start;
      report_.tracks.push_back(track);
    }
    return true;
  }

  // Tracks are numbered from 1, so 0 can stand for a Q that carries no position.
  static constexpr uint8_t kNoPosition = 0;

  // The track number a sector's Q sub-channel names, kNoPosition when Q carries none (ADR
  // other than 1: a catalogue number or ISRC frame), nothing when the read failed. One
  // level of optional: a nested one copied its empty inner value's unset byte.
  std::optional<uint8_t> QTrack(uint32_t lba) {
    const Result r = Execute(ReadCd(lba, 1, 0, 0, kSubchannelQ, kQSize));
    if (!r.good() || r.data.size() < 3) {
      Fail(Describe(("READ CD sub-channel Q at " + std::to_string(lba)).c_str(), r));
      return std::nullopt;
    }
    if (model_) model_->MoveHead(uint64_t{lba} + 1);
    if ((r.data[0] & 0x0F) != 1) return kNoPosition;
    return FromBcd(r.data[1]);
  }

  // The first sector of `next`'s pregap (its index 0, whose Q already names `next`), or
  // `next`'s start when it has none. Back from that start in growing steps first (one probe
  // when there is no pregap, two to bracket the usual two seconds), then by halving the
  // interval. A Q without a position counts as the earlier track's.
  std::optional<uint32_t> PregapStart(const TocTrack& track, const TocTrack& next) {
    constexpr uint32_t kUsualPregap = 150;
    uint32_t known_track = track.start;  // Q names `track` here
    uint32_t known_next = next.start;    // and `next` here
    uint32_t back = 1;
    bool galloping = true;
    while (known_next - known_track > 1) {
      uint32_t probe = known_track + (known_next - known_track) / 2;
      if (galloping && back < next.start - known_track) probe = next.start - back;
      const std::optional<uint8_t> q = QTrack(probe);
      if (!q) return std::nullopt;
      if (*q != kNoPosition && *q == next.number) {
        known_next = probe;
        back = back == 1 ? kUsualPregap + 1 : back * 2;
      } else {
        known_track = probe;
        galloping = false;
      }
    }
    return known_next;
  }

  // ---- Reading ----

  struct InFlight {
    size_t track;  // index into report_.tracks
    uint32_t lba;
    uint16_t count;
    std::future<Result> answer;
  };

  bool ReadAll(bus1394::HostController& hc) {
    const uint32_t per = std::clamp<uint32_t>(options_.sectors_per_command, 1, 0xFFFF);
    const size_t depth = static_cast<size_t>(std::max(options_.in_flight, 1));
    uint64_t total = 0;
    for (const TrackReport& t : report_.tracks) total += t.sectors;
    Sha256 digest;
    std::vector<Sha256> track_digests(report_.tracks.size());
    std::vector<uint8_t> expected;
    std::deque<InFlight> queue;
    size_t next_track = 0;
    uint64_t next = report_.tracks.empty() ? 0 : report_.tracks[0].start;
    std::string failure;
    // Every so many commands the queue runs dry once, so the bus log can be emptied.
    constexpr uint64_t kCommandsPerLogDrain = 256;
    uint64_t since_drain = 0;
    const auto start = Clock::now();
    const uint64_t cpu_start = threadcpu::ServingNs();
    // The time of the last answer, before the job's own checking of it (hashing and
    // comparing take a while in an instrumented build).
    auto last_answer = start;
    auto top_up = [&] {
      if (since_drain >= kCommandsPerLogDrain) {
        if (!queue.empty()) return;
        bus_ += DrainBusLog(hc);
        since_drain = 0;
      }
      while (queue.size() < depth && since_drain < kCommandsPerLogDrain && next_track < report_.tracks.size()) {
        const TrackReport& t = report_.tracks[next_track];
        const uint64_t end = t.start + t.sectors;
        if (next >= end) {
          if (++next_track < report_.tracks.size()) next = report_.tracks[next_track].start;
          continue;
        }
        ++since_drain;
        const auto count = static_cast<uint16_t>(std::min<uint64_t>(per, end - next));
        const auto lba = static_cast<uint32_t>(next);
        ++report_.commands;
        if (model_) model_->Read(lba, count, !t.audio);
        queue.push_back({next_track, lba, count, ini_.Submit(t.audio ? ReadAudio(lba, count) : Read10(lba, count))});
        next += count;
      }
    };
    top_up();
    while (!queue.empty()) {
      InFlight f = std::move(queue.front());
      queue.pop_front();
      const Result r = f.answer.get();
      last_answer = Clock::now();
      if (report_.first_answer_seconds == 0) {
        report_.first_answer_seconds = std::chrono::duration<double>(last_answer - start).count();
      }
      if (!failure.empty()) continue;  // what was already sent is only waited for
      TrackReport& track = report_.tracks[f.track];
      const uint32_t size = track.audio ? kAudioSectorSize : kSector;
      if (!r.good() || r.data.size() != size_t{f.count} * size) {
        failure = Describe(((track.audio ? "READ CD at " : "READ(10) at ") + std::to_string(f.lba)).c_str(), r);
        continue;
      }
      digest.Update(r.data);
      track_digests[f.track].Update(r.data);
      report_.sectors += f.count;
      report_.bytes += r.data.size();
      track.read += f.count;
      Compare(track, f.lba, f.count, r.data, expected);
      if (options_.progress) options_.progress(report_.sectors, total);
      top_up();
    }
    report_.seconds = std::chrono::duration<double>(last_answer - start).count();
    if (report_.seconds > 0) report_.mb_per_s = static_cast<double>(report_.bytes) / 1e6 / report_.seconds;
    // Read once at the end, not per answer: each reading is a system call per thread. The
    // serving side is idle after the last answer, so the span is the same.
    report_.serving_cpu_seconds = static_cast<double>(threadcpu::ServingNs() - cpu_start) / 1e9;
    if (report_.bytes > 0) {
      report_.serving_cpu_ms_per_mib =
          report_.serving_cpu_seconds * 1e3 / (static_cast<double>(report_.bytes) / (1024.0 * 1024.0));
    }
    if (model_) {
      report_.model_seconds = model_->seconds();
      report_.model_first_answer_seconds = model_->first_read_seconds();
    }
    report_.sha256 = digest.FinishHex();
    for (size_t i = 0; i < report_.tracks.size(); ++i) report_.tracks[i].sha256 = track_digests[i].FinishHex();
    if (!failure.empty()) return Fail(failure);
    return true;
  }

  // Counts the sectors of a read that differ from the image's data for the same track type.
  void Compare(TrackReport& track, uint32_t lba, uint16_t count, const std::vector<uint8_t>& got,
               std::vector<uint8_t>& expected) {
    const uint32_t size = track.audio ? kAudioSectorSize : kSector;
    // Sectors the expected image does not have differ by definition.
    const uint64_t have = expected_.sectors() > lba ? std::min<uint64_t>(count, expected_.sectors() - lba) : 0;
    expected.resize(size_t{count} * size);
    std::string error;
    const bool read =
        have > 0 && (track.audio ? expected_.ReadAudio(lba, static_cast<uint32_t>(have), expected.data(), error)
                                 : expected_.Read(lba, static_cast<uint32_t>(have), expected.data(), error));
    for (uint32_t i = 0; i < count; ++i) {
      const bool same =
          read && i < have && std::memcmp(&got[size_t{i} * size], &expected[size_t{i} * size], size) == 0;
      if (same) continue;
      ++track.mismatched;
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
  PacedReadModel* model_;  // null: unpaced
  BusCounts bus_;
};

}  // namespace

int64_t Percentile(std::vector<int64_t> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

namespace {

// Tracks as number, type, start + sectors, for an error text.
std::string TrackList(const std::vector<ImageTrack>& tracks) {
  std::string out;
  for (const ImageTrack& t : tracks) {
    out += (out.empty() ? "" : ", ") + std::to_string(t.number) + (t.audio ? " audio " : " data ") +
           std::to_string(t.start) + "+" + std::to_string(t.sectors);
  }
  return out;
}

// The bus's ceiling for the job's READ(10)s: the transactions each command of the client
// costs around its data (the Windows client rings DOORBELL and hands page tables of 4 KiB
// pages; the Mac client writes ORB_POINTER and hands a page table of 0xFFFC-byte segments),
// data packets as large as the driver cuts them.
double WireCeiling(const ReadJobOptions& options, const bus1394::HostControllerConfig& controller) {
  bus1394::wire::CommandShape shape;
  shape.speed = options.speed;
  shape.data_bytes = std::clamp<uint32_t>(options.sectors_per_command, 1, 0xFFFF) * kSector;
  shape.payload = std::min(bus1394::MaxPayloadForSpeed(options.speed), controller.max_async_write_request);
  if (options.client == Client::kMac) {
    shape.agent_write_bytes = 8;
    constexpr uint32_t kMacSegment = 0xFFFC;
    const uint32_t segments = (shape.data_bytes + kMacSegment - 1) / kMacSegment;
    shape.extra_read_bytes = segments > 1 ? segments * 8 : 0;
  } else {
    shape.extra_read_bytes = (shape.data_bytes + 4095) / 4096 * 8;
  }
  return bus1394::wire::CeilingBytesPerSecond(shape) / 1e6;
}

}  // namespace

ReadJobReport RunReadJob(const ReadJobOptions& options) {
  ReadJobReport report;
  const std::string expect_path = options.expect.empty() ? options.image : options.expect;
  std::string error;
  std::unique_ptr<ImageUserData> expected = ImageUserData::Open(expect_path, error);
  if (!expected) {
    report.error = "expected data: " + error;
    return report;
  }
  // The model needs the served medium's layout; an image the engine cannot open fails the
  // mount below with the engine's own words.
  std::optional<PacedReadModel> model;
  if (options.paced) {
    if (std::unique_ptr<ravelkit::Source> served = ravelkit::OpenImage(options.image, error)) {
      model.emplace(served->layout());
    }
  }

  kern::ProcessScope process(kTrayProcess);
  MachineOptions machine_options = MachineOptions::WithControllers(1);
  machine_options.controllers[0].local_speed = options.speed;
  machine_options.controllers[0].wire_time = options.wire;
  if (options.wire) report.wire_ceiling_mb_per_s = WireCeiling(options, machine_options.controllers[0]);
  Machine machine(machine_options);
  PacingRecorder pacing;
  bool read_ok = false;
  {
    ServingSide serving(options.paced, &PacingRecorder::Observe, &pacing);
    report.error = serving.Start(options.client == Client::kMac, options.image);
    if (!report.error.empty()) return report;

    InitiatorOptions initiator_options;
    initiator_options.profile = options.client == Client::kMac ? Profile::kMac : Profile::kChained;
    initiator_options.eui64 = kInitiatorEui64;
    initiator_options.speed = options.speed;
    Initiator initiator(machine.controller(0), initiator_options);
    Reader reader(initiator, options, *expected, report, model ? &*model : nullptr);
    read_ok = reader.Run(machine.controller(0));
    if (read_ok) initiator.Logout();
  }
  report.pacing = pacing.Summary();
  if (!read_ok) return report;

  // Each track must sit where the image has it and hold the image's data.
  const std::vector<ImageTrack> image_tracks = expected->tracks();
  bool same_tracks = image_tracks.size() == report.tracks.size();
  for (size_t i = 0; i < report.tracks.size(); ++i) {
    TrackReport& t = report.tracks[i];
    const bool placed = i < image_tracks.size() && image_tracks[i] == ImageTrack{t.number, t.audio, t.start, t.sectors};
    same_tracks = same_tracks && placed;
    t.match = placed && t.mismatched == 0 && t.read == t.sectors;
  }
  report.match = report.mismatched_sectors == 0 && same_tracks && report.capacity == expected->sectors();
  if (report.mismatched_sectors > 0) {
    const std::string why = report.error;  // the expected data's own failure, if any
    report.error = std::to_string(report.mismatched_sectors) + " sector(s) differ from '" + expect_path +
                   "', the first at LBA " + std::to_string(report.first_mismatch);
    if (!why.empty()) report.error += " (" + why + ")";
  } else if (report.capacity != expected->sectors()) {
    report.error = "the disc has " + std::to_string(report.capacity) + " sectors, '" + expect_path + "' " +
                   std::to_string(expected->sectors());
  } else if (!same_tracks) {
    std::vector<ImageTrack> read;
    for (const TrackReport& t : report.tracks) read.push_back({t.number, t.audio, t.start, t.sectors});
    report.error = "the disc's tracks (" + TrackList(read) + ") are not those of '" + expect_path + "' (" +
                   TrackList(image_tracks) + ")";
  }
  return report;
}

std::string WithReadyDrive(const ReadJobOptions& options,
                           const std::function<std::string(Initiator&)>& use) {
  kern::ProcessScope process(kTrayProcess);
  MachineOptions machine_options = MachineOptions::WithControllers(1);
  machine_options.controllers[0].local_speed = options.speed;
  machine_options.controllers[0].wire_time = options.wire;
  Machine machine(machine_options);
  ServingSide serving(options.paced);
  if (std::string failure = serving.Start(options.client == Client::kMac, options.image); !failure.empty()) {
    return failure;
  }
  InitiatorOptions initiator_options;
  initiator_options.profile = options.client == Client::kMac ? Profile::kMac : Profile::kChained;
  initiator_options.eui64 = kInitiatorEui64;
  initiator_options.speed = options.speed;
  Initiator initiator(machine.controller(0), initiator_options);
  const RomInfo rom = initiator.Discover();
  if (!rom.ok) return "configuration ROM: " + rom.error;
  if (!initiator.unit()) return "configuration ROM: no SBP-2 unit";
  const ManagementResult login = initiator.Login();
  if (!login.ok()) return std::string("LOGIN failed: ") + ToString(login.transport);
  int not_ready = 0, attentions = 0;
  uint64_t commands = 0;
  std::string result = WaitUntilReady(initiator, not_ready, attentions, commands);
  if (result.empty()) result = use(initiator);
  initiator.Logout();
  return result;
}

}  // namespace sim
