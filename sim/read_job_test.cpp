// The read job end to end on the default disc image, and the pieces it judges the read by:
// the digest, the percentiles and the image's user data read without the serving side.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "platform/bus1394/bus1394.h"
#include "ravelkit/disc.h"
#include "sim/image_data.h"
#include "sim/read_job.h"
#include "sim/sha256.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string HexOf(std::span<const uint8_t> bytes) {
  Sha256 h;
  h.Update(bytes);
  return h.FinishHex();
}

// A directory of its own per test, removed at the end.
class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() /
            ("read_job_test_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" + info->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string p = (path_ / name).string();
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  fs::path path_;
};

// ---- Digest and percentiles ---------------------------------------------------------------

TEST(Sha256, KnownDigestsWhateverTheChunking) {
  struct Row {
    std::string message;
    const char* digest;
  };
  const Row rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits the first block's padding.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message.substr(0, 16));
    const auto* bytes = reinterpret_cast<const uint8_t*>(row.message.data());
    for (size_t chunk : {size_t{1}, size_t{63}, size_t{64}, size_t{997}, row.message.size() + 1}) {
      if (chunk == 1 && row.message.size() > 1000) continue;
      Sha256 h;
      for (size_t at = 0; at < row.message.size(); at += chunk) {
        h.Update(std::span<const uint8_t>(bytes + at, std::min(chunk, row.message.size() - at)));
      }
      EXPECT_EQ(h.FinishHex(), row.digest) << "chunks of " << chunk;
    }
  }
}

TEST(Percentile, NearestRank) {
  EXPECT_EQ(Percentile({}, 50), 0);
  EXPECT_EQ(Percentile({7}, 99), 7);
  EXPECT_EQ(Percentile({40, 10, 30, 20}, 50), 20);
  EXPECT_EQ(Percentile({40, 10, 30, 20}, 99), 40);
  std::vector<int64_t> hundred;
  for (int64_t i = 100; i >= 1; --i) hundred.push_back(i - 50);  // negatives: answers early
  EXPECT_EQ(Percentile(hundred, 50), 0);
  EXPECT_EQ(Percentile(hundred, 99), 49);
}

// ---- Expected data ------------------------------------------------------------------------

TEST(ImageUserData, IsoIsTheFileItself) {
  TempDir dir;
  std::vector<uint8_t> bytes(5 * 2048 + 100);  // a partial last sector does not count
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 2048);
  std::string error;
  auto data = ImageUserData::Open(dir.Write("a.ISO", bytes), error);
  ASSERT_NE(data, nullptr) << error;
  EXPECT_EQ(data->sectors(), 5u);
  std::vector<uint8_t> out(2 * 2048);
  ASSERT_TRUE(data->Read(3, 2, out.data(), error)) << error;
  EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 3 * 2048));
  EXPECT_FALSE(data->Read(4, 2, out.data(), error));
  EXPECT_FALSE(ImageUserData::Open(dir.Write("x", {}) + "-missing.iso", error));
}

// A raw image's user data is cut out of its 2,352-byte sectors; an audio track has none,
// and gives its whole sectors instead.
TEST(ImageUserData, RawSectorsGiveTheirUserDataOrAudio) {
  TempDir dir;
  constexpr int kData = 4;
  std::vector<uint8_t> bin(static_cast<size_t>(kData + 2) * ravelkit::kRawSize);
  std::vector<uint8_t> user(static_cast<size_t>(kData) * 2048);
  for (size_t i = 0; i < user.size(); ++i) user[i] = static_cast<uint8_t>(i ^ (i >> 11));
  for (int lba = 0; lba < kData; ++lba) {
    ravelkit::SynthesizeMode1(lba, std::span<const uint8_t, 2048>(&user[static_cast<size_t>(lba) * 2048], 2048),
                              &bin[static_cast<size_t>(lba) * ravelkit::kRawSize]);
  }
  dir.Write("d.bin", bin);
  std::string error;
  auto data = ImageUserData::Open(
      dir.Write("d.cue", [] {
        const std::string cue =
            "FILE d.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
            "TRACK 02 AUDIO\nINDEX 01 00:00:04\n";
        return std::vector<uint8_t>(cue.begin(), cue.end());
      }()),
      error);
  ASSERT_NE(data, nullptr) << error;
  EXPECT_EQ(data->sectors(), static_cast<uint64_t>(kData + 2));
  std::vector<uint8_t> out(user.size());
  ASSERT_TRUE(data->Read(0, kData, out.data(), error)) << error;
  EXPECT_EQ(out, user);
  EXPECT_FALSE(data->Read(kData - 1, 2, out.data(), error));
  EXPECT_NE(error.find("no 2,048-byte user data"), std::string::npos) << error;

  const std::vector<ImageTrack> tracks = {{1, false, 0, kData}, {2, true, kData, 2}};
  EXPECT_EQ(data->tracks(), tracks);
  std::vector<uint8_t> audio(2 * ravelkit::kRawSize);
  ASSERT_TRUE(data->ReadAudio(kData, 2, audio.data(), error)) << error;
  EXPECT_TRUE(std::equal(audio.begin(), audio.end(), bin.begin() + kData * ravelkit::kRawSize));
  EXPECT_FALSE(data->ReadAudio(kData - 1, 1, audio.data(), error));
  EXPECT_NE(error.find("no audio track"), std::string::npos) << error;
}

// ---- The whole job ------------------------------------------------------------------------

struct JobRow {
  const char* name;
  Client client;
  bool paced;
  uint32_t sectors_per_command = 32;
  uint8_t speed = bus1394::SPEED_S400;
  bool wire = false;
};
void PrintTo(const JobRow& row, std::ostream* out) { *out << row.name; }

class ReadJob : public ::testing::TestWithParam<JobRow> {};

TEST_P(ReadJob, ReadsTheWholeDiscAsTheImageHoldsIt) {
  const std::vector<uint8_t> iso = FileBytes(SKM_DEFAULT_IMAGE);
  ASSERT_GT(iso.size(), 0u);
  ReadJobOptions options;
  options.image = SKM_DEFAULT_IMAGE;
  options.client = GetParam().client;
  options.paced = GetParam().paced;
  options.sectors_per_command = GetParam().sectors_per_command;
  options.speed = GetParam().speed;
  options.wire = GetParam().wire;
  uint64_t last_progress = 0;
  options.progress = [&](uint64_t done, uint64_t total) {
    EXPECT_GT(done, last_progress);
    EXPECT_LE(done, total);
    last_progress = done;
  };
  const ReadJobReport r = RunReadJob(options);
  EXPECT_TRUE(r.match) << r.error;
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.vendor, "KORVEN");
  EXPECT_EQ(r.product, "RIRazuVezi VOVUV");
  EXPECT_EQ(r.revision, "1.0b");
  EXPECT_EQ(r.capacity, iso.size() / 2048);
  EXPECT_EQ(r.sectors, r.capacity);
  EXPECT_EQ(last_progress, r.capacity);
  EXPECT_EQ(r.bytes, iso.size());
  EXPECT_EQ(r.sha256, HexOf(iso));
  EXPECT_EQ(r.mismatched_sectors, 0u);
  // The load raises the medium-changed attention exactly once.
  EXPECT_EQ(r.unit_attentions, 1);
  // TEST UNIT READY, INQUIRY, READ CAPACITY and the READ(10)s.
  const uint32_t per = GetParam().sectors_per_command;
  EXPECT_GE(r.commands, 3 + (r.capacity + per - 1) / per);
  // Every command costs an ORB fetch and a status write at least.
  EXPECT_GE(r.bus_requests, 2 * r.commands);
  // No packet carries more than the speed allows.
  EXPECT_GE(r.bus_packets, r.bytes / bus1394::MaxPayloadForSpeed(GetParam().speed));
  EXPECT_GT(r.seconds, 0);
  // The serving side worked for every answer; the ceiling is there with wire time only.
  EXPECT_GT(r.serving_cpu_seconds, 0);
  EXPECT_GT(r.serving_cpu_ms_per_mib, 0);
  if (GetParam().wire) {
    EXPECT_GT(r.wire_ceiling_mb_per_s, 0);
  } else {
    EXPECT_EQ(r.wire_ceiling_mb_per_s, 0);
  }
  // Paced, the READ(10) answers wait for the drive's timing; unpaced, nothing but becoming
  // ready may hold an answer back.
  if (GetParam().paced) {
    EXPECT_GT(r.pacing.answers, 0u);
  } else {
    EXPECT_LE(r.pacing.answers, 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(ClientsAndPacing, ReadJob,
                         ::testing::Values(JobRow{"WindowsPaced", Client::kWindows, true},
                                           // Short reads: hundreds of commands, the last one shorter than the others.
                                           JobRow{"WindowsUnpacedShortReads", Client::kWindows, false, 4},
                                           JobRow{"MacPaced", Client::kMac, true},
                                           JobRow{"MacUnpacedS100", Client::kMac, false, 32, bus1394::SPEED_S100},
                                           JobRow{"WindowsUnpacedWireS800", Client::kWindows, false, 32,
                                                  bus1394::SPEED_S800, true},
                                           JobRow{"MacPacedWire", Client::kMac, true, 32, bus1394::SPEED_S400, true}),
                         [](const ::testing::TestParamInfo<JobRow>& row) { return row.param.name; });

// Reading one image while comparing with another must not pass.
class ReadJobComparison : public ::testing::Test {
 protected:
  ReadJobReport ReadComparedWith(const std::vector<uint8_t>& other, Client client) {
    ReadJobOptions options;
    options.image = SKM_DEFAULT_IMAGE;
    options.paced = false;
    options.client = client;
    options.expect = dir_.Write("other.iso", other);
    return RunReadJob(options);
  }

  TempDir dir_;
  const std::vector<uint8_t> iso_ = FileBytes(SKM_DEFAULT_IMAGE);
};

TEST_F(ReadJobComparison, OneChangedByteIsFoundInItsSector) {
  ASSERT_GT(iso_.size(), 40u * 2048);
  std::vector<uint8_t> changed = iso_;
  changed[20 * 2048 + 1000] ^= 0x01;
  const ReadJobReport r = ReadComparedWith(changed, Client::kWindows);
  EXPECT_FALSE(r.match);
  EXPECT_EQ(r.mismatched_sectors, 1u);
  EXPECT_EQ(r.first_mismatch, 20);
  EXPECT_EQ(r.sectors, iso_.size() / 2048);  // the read itself went through
  EXPECT_EQ(r.sha256, HexOf(iso_));          // and the digest is of what was read
  EXPECT_NE(r.error.find("LBA 20"), std::string::npos) << r.error;
}

TEST_F(ReadJobComparison, SectorsTheOtherImageLacksDiffer) {
  const std::vector<uint8_t> shorter(iso_.begin(), iso_.end() - 3 * 2048);
  const ReadJobReport r = ReadComparedWith(shorter, Client::kMac);
  EXPECT_FALSE(r.match);
  EXPECT_EQ(r.mismatched_sectors, 3u);
  EXPECT_EQ(r.first_mismatch, static_cast<int64_t>(shorter.size() / 2048));
}

TEST_F(ReadJobComparison, AnImageThatCannotBeMountedFailsTheJob) {
  const std::string empty = dir_.Write("empty.iso", {});
  ReadJobOptions options;
  options.image = empty;
  options.expect = SKM_DEFAULT_IMAGE;
  options.paced = false;
  const ReadJobReport r = RunReadJob(options);
  EXPECT_FALSE(r.match);
  EXPECT_EQ(r.error, "'" + empty + "' is empty") << "the mount's reason, in words";
  EXPECT_EQ(r.sectors, 0u);
}

// ---- Tracks ---------------------------------------------------------------------------------

// SKM_MIXED_IMAGE (sim/make-mixed-image.py): track 1 data, 300 sectors; a pregap of 150
// stored in the file; track 2 audio, 300; track 3 audio, 200, right behind it.
const std::vector<ImageTrack> kMixedTracks = {{1, false, 0, 300}, {2, true, 450, 300}, {3, true, 750, 200}};

class MixedModeRead : public ::testing::Test {
 protected:
  static ReadJobReport Read(const std::string& expect = {}) {
    ReadJobOptions options;
    options.image = SKM_MIXED_IMAGE;
    options.expect = expect;
    options.paced = false;
    return RunReadJob(options);
  }
  static std::vector<ImageTrack> Places(const ReadJobReport& r) {
    std::vector<ImageTrack> out;
    for (const TrackReport& t : r.tracks) out.push_back({t.number, t.audio, t.start, t.sectors});
    return out;
  }
};

TEST_F(MixedModeRead, EveryTrackIsReadAsItsTypeAndThePregapIsSkipped) {
  const ReadJobReport r = Read();
  EXPECT_TRUE(r.match) << r.error;
  EXPECT_EQ(Places(r), kMixedTracks);
  EXPECT_EQ(r.capacity, 950u);
  EXPECT_EQ(r.sectors, 800u);
  EXPECT_EQ(r.bytes, 300u * 2048 + 500u * 2352);
  // Each track's digest is of its own data as the image holds it.
  std::string error;
  auto image = ImageUserData::Open(SKM_MIXED_IMAGE, error);
  ASSERT_NE(image, nullptr) << error;
  for (const TrackReport& t : r.tracks) {
    SCOPED_TRACE(static_cast<int>(t.number));
    EXPECT_TRUE(t.match);
    std::vector<uint8_t> data(t.sectors * (t.audio ? kAudioSectorSize : kUserSectorSize));
    const auto lba = t.start;
    const auto count = static_cast<uint32_t>(t.sectors);
    ASSERT_TRUE(t.audio ? image->ReadAudio(lba, count, data.data(), error) : image->Read(lba, count, data.data(), error))
        << error;
    EXPECT_EQ(t.sha256, HexOf(data));
  }
}

TEST_F(MixedModeRead, AChangedSampleIsFoundInItsTrackOnly) {
  TempDir dir;
  std::vector<uint8_t> bin = FileBytes(fs::path(SKM_MIXED_IMAGE).replace_extension(".bin").string());
  ASSERT_EQ(bin.size(), 950u * 2352);
  bin[820 * 2352 + 1001] ^= 0x10;  // track 3
  dir.Write("mixed.bin", bin);
  const std::vector<uint8_t> cue = FileBytes(SKM_MIXED_IMAGE);
  const ReadJobReport r = Read(dir.Write("mixed.cue", cue));
  EXPECT_FALSE(r.match);
  EXPECT_EQ(r.mismatched_sectors, 1u);
  EXPECT_EQ(r.first_mismatch, 820);
  ASSERT_EQ(r.tracks.size(), 3u);
  EXPECT_TRUE(r.tracks[0].match);
  EXPECT_TRUE(r.tracks[1].match);
  EXPECT_FALSE(r.tracks[2].match);
  EXPECT_EQ(r.tracks[2].mismatched, 1u);
}

// The disc read as one data track against an image whose tracks lie elsewhere must not
// pass even where the bytes agree.
TEST_F(MixedModeRead, TracksThatLieElsewhereInTheImageDoNotMatch) {
  TempDir dir;
  std::vector<uint8_t> bin = FileBytes(fs::path(SKM_MIXED_IMAGE).replace_extension(".bin").string());
  dir.Write("mixed.bin", bin);
  const std::string cue =
      "FILE \"mixed.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
      "  TRACK 02 AUDIO\n    INDEX 01 00:06:00\n  TRACK 03 AUDIO\n    INDEX 01 00:10:00\n";
  const ReadJobReport r = Read(dir.Write("nogap.cue", std::vector<uint8_t>(cue.begin(), cue.end())));
  EXPECT_FALSE(r.match);
  EXPECT_EQ(r.mismatched_sectors, 0u) << r.error;
  EXPECT_NE(r.error.find("are not those of"), std::string::npos) << r.error;
}

// ---- Pacing ---------------------------------------------------------------------------------

// A paced read of a data CD takes what the drive's timing model says: the answers are held
// back far longer than the stack needs, so the time is the model's, not the machine's. The
// model's figure includes the first read's fixed offset: its seek and the mean wait for the
// rotation grid (half a period of the up to one it can add). The machine shows in two
// places only. The first command's way to the drive adds to the whole read; a first answer
// more than half a period and 10 ms after the model's figure for it means the machine was
// slow there. And a stall longer than one read's rotation (about 20 ms) makes a later
// answer late: it leaves without being held back and the rest of the read shifts by the
// stall. Such runs say nothing about the model, so the read is repeated, up to three
// times; when every run was disturbed (a machine loaded far beyond its cores) the test is
// skipped rather than judged. A stall only ever makes a read slower, so a read faster than
// the model, or one in which no answer at all was held back, is a pacing fault whatever the
// load. The Windows initiator keeps eight commands queued, so only a stall of the executor
// itself counts; a Mac one waits for each answer before it sends the next command, which
// on a loaded machine stalls too often to judge.
TEST(PacedRead, TakesTheTimingModelsFigure) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer slows every step of the stack several times over, evenly enough that no
  // single stall shows, so the read lags the model by the instrumentation alone. The
  // AddressSanitizer run judges the pacing; this one only looks for races.
  GTEST_SKIP() << "the pacing is judged in builds without ThreadSanitizer";
#endif
  TempDir dir;
  std::vector<uint8_t> iso(size_t{3} << 20);  // 1,536 sectors: a CD
  for (size_t i = 0; i < iso.size(); ++i) iso[i] = static_cast<uint8_t>(i * 31 + (i >> 11));
  ReadJobOptions options;
  options.image = dir.Write("paced.iso", iso);
  options.client = Client::kWindows;
  const uint64_t reads = iso.size() / 2048 / options.sectors_per_command;
  ReadJobReport r;
  bool steady = false;
  for (int attempt = 1; attempt <= 3 && !steady; ++attempt) {
    r = RunReadJob(options);
    ASSERT_TRUE(r.match) << r.error;
    ASSERT_GT(r.pacing.answers, 0u) << "no answer was held back";
    ASSERT_GT(r.seconds, r.model_seconds * 0.98) << "faster than the drive: " << r.seconds << " s against "
                                                  << r.model_seconds << " s";
    constexpr double kHalfPeriod = 0.0032;  // of the CD's 6,303 µs
    constexpr double kSlowStart = 0.010;
    const bool first_on_time = r.first_answer_seconds <= r.model_first_answer_seconds + kHalfPeriod + kSlowStart;
    steady = r.pacing.answers == reads && first_on_time;
    if (!steady) {
      std::printf("run %d: %llu of %llu answers held back, the first after %.4f s against %.4f s: the machine "
                  "stalled; %.3f s against %.3f s\n",
                  attempt, static_cast<unsigned long long>(r.pacing.answers), static_cast<unsigned long long>(reads),
                  r.first_answer_seconds, r.model_first_answer_seconds, r.seconds, r.model_seconds);
    }
  }
  if (!steady) GTEST_SKIP() << "every paced read stalled: the machine is too loaded to judge the pacing";
  ASSERT_GT(r.model_seconds, 0.5);
  EXPECT_LT(std::abs(r.seconds - r.model_seconds) / r.model_seconds, 0.02)
      << "read " << r.seconds << " s, the model " << r.model_seconds << " s";
}

}  // namespace
}  // namespace sim
