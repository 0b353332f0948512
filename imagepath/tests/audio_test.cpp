// Audio play and READ SUB-CHANNEL against a synthetic CD (a data track, two audio tracks, a
// catalogue number and an ISRC) on the shared fake medium and manual clock: golden answers
// in the commands' layouts, the audio state as every command reports it, the position block
// and its timing, and the refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "imagepath/tests/fake_medium.h"

namespace imagepath {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kCapacity = 200'000;
constexpr uint8_t kRegionFlags = 0xFE;  // region mask of region 1, in request flags bits 24-31

// Track 1 data 0-999; track 2 audio from 1,000 with a 150-sector pregap; track 3 audio with
// copy permitted from 100,000; lead-out at 200,000. The catalogue number is in the frame of
// sector 1,010, track 2's ISRC in that of 1,020.
SyntheticDisc TestDisc() {
  SyntheticDisc disc;
  disc.tracks = {{1, 0x4, 0, 0}, {2, 0x0, 1000, 150}, {3, 0x2, 100'000, 0}};
  disc.lead_out = kCapacity;
  disc.catalogue = "1234567890123";
  disc.isrc[2] = "USXYZ9912345";
  disc.frame_adr = {{1010, 2}, {1020, 3}};
  return disc;
}

std::vector<uint8_t> Seek(uint32_t lba) {
  std::vector<uint8_t> cdb = {0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  PutBe32(cdb.data() + 2, lba);
  return cdb;
}
std::vector<uint8_t> SubChannel(uint8_t format, bool msf = false, bool subq = true,
                                uint8_t track = 0, uint16_t allocation = 48) {
  return {0x42, static_cast<uint8_t>(msf ? 2 : 0), static_cast<uint8_t>(subq ? 0x40 : 0),
          format, 0, 0, track, static_cast<uint8_t>(allocation >> 8),
          static_cast<uint8_t>(allocation), 0};
}
std::vector<uint8_t> PlayAudio10(uint32_t lba, uint16_t count) {
  std::vector<uint8_t> cdb = {0x45, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  PutBe32(cdb.data() + 2, lba);
  PutBe16(cdb.data() + 7, count);
  return cdb;
}
const std::vector<uint8_t> kPause = {0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kResume = {0x4B, 0, 0, 0, 0, 0, 0, 0, 1, 0};
const std::vector<uint8_t> kStop = {0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kMechanismStatus = {0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0};

// The 16-byte current-position answer in LBA form.
Bytes PositionLba(uint8_t status, uint8_t adr_control, uint8_t track, uint8_t index,
                  uint32_t absolute, uint32_t relative) {
  Bytes b = {0, status, 0, 12, 1, adr_control, track, index, 0, 0, 0, 0, 0, 0, 0, 0};
  PutBe32(b.data() + 8, absolute);
  PutBe32(b.data() + 12, relative);
  return b;
}

struct Reply {
  uint32_t result;
  Bytes data;  // what the command moved
};

class AudioTest : public ScsiTest {
 protected:
  void Mount(uint32_t descriptor = kCd) {
    medium_.disc = TestDisc();
    AttachReady(descriptor, 0, kCapacity);
  }

  Reply Ask(const std::vector<uint8_t>& cdb, uint32_t buffer = 64) {
    Command c(cdb, buffer);
    const uint32_t r = Run(c);
    c.data.resize(c.request.data_length);
    return {r, c.data};
  }

  // The audio status as READ SUB-CHANNEL, REQUEST SENSE and MECHANISM STATUS report it; all
  // three must agree with `status`, and MECHANISM STATUS show `activity`.
  void ExpectReported(uint8_t status, uint8_t activity) {
    const Reply header = Ask(SubChannel(1, false, false));
    ASSERT_EQ(header.result, kResultGood);
    EXPECT_EQ(header.data, (Bytes{0, status, 0, 0})) << "READ SUB-CHANNEL without SubQ";
    const Reply sense = Ask({0x03, 0, 0, 0, 18, 0}, 18);
    ASSERT_EQ(sense.data.size(), 18u);
    EXPECT_EQ(sense.data[2], 0);
    EXPECT_EQ(sense.data[12], 0);
    EXPECT_EQ(sense.data[13], status) << "REQUEST SENSE with nothing pending";
    const Reply mechanism = Ask(kMechanismStatus, 8);
    ASSERT_EQ(mechanism.data.size(), 8u);
    EXPECT_EQ(mechanism.data[1] & 0xE0, activity) << "MECHANISM STATUS";
  }

  size_t BlockReads() {
    size_t n = 0;
    for (const Recorded& r : medium_.Requests()) n += r.cdb[0] == 0xBE && r.cdb[10] == 2;
    return n;
  }
};

// ---------------------------------------------------------------------------------------
// READ SUB-CHANNEL golden answers.

struct SubChannelCase {
  const char* name;
  uint32_t seek;  // the head rests after this sector
  std::vector<uint8_t> cdb;
  Bytes answer;
};

class SubChannelAnswers : public AudioTest, public ::testing::WithParamInterface<SubChannelCase> {};

TEST_P(SubChannelAnswers, MatchTheLayouts) {
  Mount();
  ASSERT_EQ(Run(Seek(GetParam().seek)), kResultGood);
  const Reply reply = Ask(GetParam().cdb);
  ASSERT_EQ(reply.result, kResultGood);
  EXPECT_EQ(reply.data, GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SubChannelAnswers,
    ::testing::Values(
        SubChannelCase{"PositionLba", 1500, SubChannel(1),
                       {0, 0x15, 0, 12, 1, 0x10, 2, 1, 0, 0, 0x05, 0xDC, 0, 0, 0x01, 0xF4}},
        SubChannelCase{"PositionMsf", 1500, SubChannel(1, true),
                       {0, 0x15, 0, 12, 1, 0x10, 2, 1, 0, 0, 22, 0, 0, 0, 6, 50}},
        // In a pregap the relative address counts down: negative in LBA form.
        SubChannelCase{"PregapLba", 900, SubChannel(1),
                       {0, 0x15, 0, 12, 1, 0x10, 2, 0, 0, 0, 0x03, 0x84, 0xFF, 0xFF, 0xFF, 0x9C}},
        SubChannelCase{"PregapMsf", 900, SubChannel(1, true),
                       {0, 0x15, 0, 12, 1, 0x10, 2, 0, 0, 0, 14, 0, 0, 0, 1, 25}},
        SubChannelCase{"DataTrack", 500, SubChannel(1),
                       PositionLba(0x15, 0x14, 1, 1, 500, 500)},
        SubChannelCase{"CopyPermittedTrack", 100'010, SubChannel(1),
                       PositionLba(0x15, 0x12, 3, 1, 100'010, 10)},
        SubChannelCase{"PositionBelowAllocation", 1500, SubChannel(1, false, true, 0, 8),
                       {0, 0x15, 0, 12, 1, 0x10, 2, 1}},
        SubChannelCase{"HeaderOnlyWithoutSubQ", 1500, SubChannel(1, false, false, 0, 48),
                       {0, 0x15, 0, 0}},
        SubChannelCase{"HeaderBelowAllocation", 1500, SubChannel(2, false, false, 0, 2),
                       {0, 0x15}},
        SubChannelCase{"CatalogueNumber", 1500, SubChannel(2),
                       {0, 0, 0, 20, 2, 0, 0, 0, 0x80, '1', '2', '3', '4', '5', '6', '7', '8',
                        '9', '0', '1', '2', '3', 0, 35}},
        SubChannelCase{"NoCatalogueNumberOnTrack1", 500, SubChannel(2),
                       {0, 0, 0, 20, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                        0, 0, 0, 0, 0, 0, 0}},
        SubChannelCase{"CatalogueBelowAllocation", 1500, SubChannel(2, false, true, 0, 10),
                       {0, 0, 0, 20, 2, 0, 0, 0, 0x80, '1'}},
        SubChannelCase{"Isrc", 0, SubChannel(3, false, true, 2),
                       {0, 0, 0, 20, 3, 0x30, 2, 0, 0x80, 'U', 'S', 'X', 'Y', 'Z', '9', '9',
                        '1', '2', '3', '4', '5', 0, 45, 0}},
        // Without an ISRC frame the CONTROL comes from the track's TOC entry.
        SubChannelCase{"NoIsrcOnTrack3", 0, SubChannel(3, true, true, 3),
                       {0, 0, 0, 20, 3, 0x32, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                        0, 0, 0, 0, 0, 0, 0}}),
    CaseName<SubChannelCase>);

TEST_F(AudioTest, CatalogueAndIsrcReadTheFirstHundredFramesOfTheTrackApartFromTiming) {
  Mount();
  ASSERT_EQ(Run(Seek(50'000)), kResultGood);
  ASSERT_EQ(Ask(SubChannel(3, false, true, 3)).result, kResultGood);
  ASSERT_EQ(Ask(SubChannel(2)).result, kResultGood);
  const std::vector<Recorded> requests = medium_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const uint8_t isrc_cdb[16] = {0xBE, 0, 0, 0x01, 0x86, 0xA0, 0, 0, 100, 0, 2, 0};
  const uint8_t catalogue_cdb[16] = {0xBE, 0, 0, 0, 0x03, 0xE8, 0, 0, 100, 0, 2, 0};
  for (const auto& [request, cdb] : {std::pair{requests[0], isrc_cdb},
                                     std::pair{requests[1], catalogue_cdb}}) {
    EXPECT_EQ(Bytes(request.cdb, request.cdb + 16), Bytes(cdb, cdb + 16));
    EXPECT_EQ(request.flags, static_cast<uint32_t>(kRegionFlags) << 24 | 0x300);
    EXPECT_EQ(request.byte_count, 1600u);
  }
}

TEST_F(AudioTest, IsrcCodesOutsideDigitsAndLettersAreSentAsZero) {
  Mount();
  // Letters are codes 17-42; ':' (code 10) and the code 40 stand either side of the rule.
  medium_.disc.isrc[2] = "A:W0Z9912345";
  Reply reply = Ask(SubChannel(3, false, true, 2));
  ASSERT_EQ(reply.result, kResultGood);
  EXPECT_EQ(Bytes(reply.data.begin() + 9, reply.data.begin() + 14),
            (Bytes{'A', 0, 'W', '0', 'Z'}));
  medium_.disc.isrc[2] = "X[0009912345";  // 'X' is code 40, '[' code 43
  reply = Ask(SubChannel(3, false, true, 2));
  EXPECT_EQ(reply.data[9], 'X');
  EXPECT_EQ(reply.data[10], 0);
}

struct SubChannelRefusal {
  const char* name;
  uint32_t descriptor;
  std::vector<uint8_t> cdb;
  SenseCode sense;
};

class SubChannelRefusals : public AudioTest,
                           public ::testing::WithParamInterface<SubChannelRefusal> {};

TEST_P(SubChannelRefusals, AnswerWithTheirSense) {
  Mount(GetParam().descriptor);
  EXPECT_EQ(Run(GetParam().cdb, 48), kResultInvalidField);
  EXPECT_EQ(Sense(), GetParam().sense);
  EXPECT_EQ(BlockReads(), 0u);
}

std::vector<uint8_t> With(std::vector<uint8_t> cdb, size_t at, uint8_t value) {
  cdb[at] = value;
  return cdb;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SubChannelRefusals,
    ::testing::Values(
        SubChannelRefusal{"FormatZero", kCd, SubChannel(0), sense::kInvalidFieldInCdb},
        SubChannelRefusal{"FormatFour", kCd, SubChannel(4), sense::kInvalidFieldInCdb},
        SubChannelRefusal{"Byte1ReservedBit", kCd, With(SubChannel(1), 1, 0x01),
                          sense::kInvalidFieldInCdb},
        SubChannelRefusal{"Byte2ReservedBit", kCd, With(SubChannel(1), 2, 0x41),
                          sense::kInvalidFieldInCdb},
        SubChannelRefusal{"Byte9", kCd, With(SubChannel(1), 9, 1), sense::kInvalidFieldInCdb},
        SubChannelRefusal{"IsrcOfTrackNotInToc", kCd, SubChannel(3, false, true, 9),
                          sense::kInvalidFieldInCdb},
        SubChannelRefusal{"Dvd", kDvd, SubChannel(1), sense::kIncompatibleMedium}),
    CaseName<SubChannelRefusal>);

// ---------------------------------------------------------------------------------------
// The position block.

struct PlacementCase {
  const char* name;
  uint32_t seek;  // head = seek + 1
  uint32_t first;
  uint32_t count;
};

class BlockPlacement : public AudioTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(BlockPlacement, ReadsTheFramesAroundTheHeadWithinItsTrack) {
  Mount();
  ASSERT_EQ(Run(Seek(GetParam().seek)), kResultGood);
  ASSERT_EQ(Ask(SubChannel(1)).result, kResultGood);
  const std::vector<Recorded> requests = medium_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  uint8_t cdb[16] = {0xBE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0};
  PutBe32(cdb + 2, GetParam().first);
  cdb[8] = static_cast<uint8_t>(GetParam().count);
  EXPECT_EQ(Bytes(requests[0].cdb, requests[0].cdb + 16), Bytes(cdb, cdb + 16));
  EXPECT_EQ(requests[0].flags, static_cast<uint32_t>(kRegionFlags) << 24 | 0x300)
      << "the answer stays out of the timing";
  EXPECT_EQ(requests[0].byte_count, GetParam().count * 16);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BlockPlacement,
    ::testing::Values(PlacementCase{"MidTrack", 1999, 1994, 11},
                      PlacementCase{"NearDiscStart", 2, 0, 6},
                      PlacementCase{"NearTrackStart", 1002, 1000, 6},
                      PlacementCase{"NearTrackEnd", 997, 989, 11},
                      PlacementCase{"FarIntoTheDiscNearItsEnd", 199'998, 199'983, 17}),
    CaseName<PlacementCase>);

TEST_F(AudioTest, PositionWalksTheBlockOncePerRotationPeriodFromOneRead) {
  Mount();  // no rotation period from the engine: the block turns in 6,303 µs
  ASSERT_EQ(Run(Seek(1500)), kResultGood);  // block 1,495-1,505, the head's frame sixth
  struct Step {
    uint64_t at;  // µs since the seek
    uint32_t lba;
  };
  uint64_t now = 0;
  for (const Step& step : {Step{0, 1500}, Step{573, 1501}, Step{2865, 1505}, Step{3438, 1495},
                           Step{6302, 1499}, Step{6303, 1500}, Step{6303 + 573, 1501}}) {
    Advance(step.at - now);
    now = step.at;
    const Reply reply = Ask(SubChannel(1));
    ASSERT_EQ(reply.result, kResultGood);
    EXPECT_EQ(reply.data, PositionLba(0x15, 0x10, 2, 1, step.lba, step.lba - 1000))
        << "at +" << step.at << " µs";
  }
  EXPECT_EQ(BlockReads(), 1u) << "polling the same head reads the block once";
}

TEST_F(AudioTest, FirstPositionAfterCreationReadsABlockEvenAtHeadZero) {
  Mount();
  ASSERT_EQ(device_->timing.head, 0u);
  ASSERT_EQ(Ask(SubChannel(1)).result, kResultGood);
  ASSERT_EQ(Ask(SubChannel(1)).result, kResultGood);
  EXPECT_EQ(BlockReads(), 1u);
}

struct FillCase {
  const char* name;
  std::vector<uint32_t> catalogue_frames;  // sectors of the block whose frame is not ADR 1
  uint32_t seek;
  uint64_t at;  // µs after the seek
  Bytes answer;
};

class EmptyRecords : public AudioTest, public ::testing::WithParamInterface<FillCase> {};

// Frames of another ADR in the block are stood in for by their neighbours, stepped one frame
// at a time, so the position reported there is the sector's own.
TEST_P(EmptyRecords, AreFilledFromTheirNeighbours) {
  medium_.disc = TestDisc();
  for (uint32_t lba : GetParam().catalogue_frames) medium_.disc.frame_adr[lba] = 2;
  const SyntheticDisc disc = medium_.disc;
  AttachReady(kCd, 0, kCapacity);
  ASSERT_EQ(Run(Seek(GetParam().seek)), kResultGood);
  Advance(GetParam().at);
  const Reply reply = Ask(SubChannel(1, true));
  ASSERT_EQ(reply.result, kResultGood);
  EXPECT_EQ(reply.data, GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EmptyRecords,
    ::testing::Values(
        // 1,499 is 00:21:74 absolute and 00:06:49 relative: filling forwards carries into
        // the second.
        FillCase{"ForwardAcrossASecond", {1500, 1501}, 1500, 0,
                 {0, 0x15, 0, 12, 1, 0x10, 2, 1, 0, 0, 22, 0, 0, 0, 6, 50}},
        FillCase{"ForwardTwice", {1500, 1501}, 1500, 573,
                 {0, 0x15, 0, 12, 1, 0x10, 2, 1, 0, 0, 22, 1, 0, 0, 6, 51}},
        // The first two records are filled backwards from the third, over two passes.
        FillCase{"Backward", {1495, 1496}, 1500, 3438,
                 {0, 0x15, 0, 12, 1, 0x10, 2, 1, 0, 0, 21, 70, 0, 0, 6, 45}},
        // In a pregap (00:01:25 before track 2 at sector 900) the relative time runs down.
        FillCase{"InAPregap", {900, 901}, 900, 0,
                 {0, 0x15, 0, 12, 1, 0x10, 2, 0, 0, 0, 14, 0, 0, 0, 1, 25}}),
    CaseName<FillCase>);

TEST_F(AudioTest, ABlockWithoutAnyPositionFailsAndIsNotKept) {
  medium_.disc = TestDisc();
  for (uint32_t lba = 1495; lba <= 1505; ++lba) medium_.disc.frame_adr[lba] = 2;
  AttachReady(kCd, 0, kCapacity);
  ASSERT_EQ(Run(Seek(1500)), kResultGood);
  EXPECT_EQ(Run(SubChannel(1), 48), kResultSeekError);
  EXPECT_EQ(Sense(), sense::kPositioningError);
  EXPECT_EQ(Run(SubChannel(1), 48), kResultSeekError);
  EXPECT_EQ(BlockReads(), 2u) << "a failed block is read again";
}

TEST_F(AudioTest, ABlockRunningPastTheCapacityIsAcceptedWithWhatCameBack) {
  Mount();
  medium_.capacity = 199'990;  // the engine ends before the device's capacity
  ASSERT_EQ(Run(Seek(199'985)), kResultGood);
  const Reply reply = Ask(SubChannel(1));
  ASSERT_EQ(reply.result, kResultGood);
  EXPECT_EQ(reply.data, PositionLba(0x15, 0x12, 3, 1, 199'985, 99'985));
  const Reply sense = Ask({0x03, 0, 0, 0, 18, 0}, 18);
  EXPECT_EQ(sense.data[12], 0) << "nothing pending from the short read";
}

TEST_F(AudioTest, ANewMediumIsNeverAnsweredFromTheOldOnesBlock) {
  Mount();
  ASSERT_EQ(Ask(SubChannel(1)).result, kResultGood);
  ASSERT_EQ(DetachMedium(device_, nullptr, nullptr, false), 0u);
  Advance(1'100'000);
  medium_.ClearRequests();
  medium_.disc.tracks[0].control = 0x0;  // a different disc: track 1 is audio
  ASSERT_EQ(Attach(kCd, 0, kCapacity), 0u);
  Advance(2'000'000);
  ASSERT_EQ(Run({0x00}), kResultMediumChanged);
  ASSERT_EQ(Sense(), sense::kMediumChanged);
  const Reply reply = Ask(SubChannel(1));
  ASSERT_EQ(reply.result, kResultGood);
  EXPECT_EQ(reply.data[5], 0x10) << "the new disc's track 1";
  EXPECT_EQ(BlockReads(), 1u);
}

// ---------------------------------------------------------------------------------------
// Audio play state.

struct StateStep {
  const char* name;
  std::vector<uint8_t> cdb;
  uint32_t result;
  uint8_t status;    // audio status afterwards
  uint8_t activity;  // MECHANISM STATUS mechanism bits
  std::vector<AudioCall> calls;
};

AudioCall Start(uint32_t kind, uint32_t start, uint32_t length) {
  return {kAudioStart, kind, start, length};
}
const AudioCall kStopCall{kAudioStop, 0, 0, 0};
const AudioCall kPositionCall{kAudioPosition, 0, 0, 0};  // the fake answers 1: not filled

TEST_F(AudioTest, PlayPauseResumeScanAndStopAsEveryCommandReportsThem) {
  Mount();
  const std::vector<StateStep> steps = {
      {"Idle", {0x00, 0, 0, 0, 0, 0}, kResultGood, 0x15, 0x00, {}},
      {"PlayAudio10", PlayAudio10(1000, 500), kResultGood, 0x11, 0x20, {Start(1, 1000, 500)}},
      // The head rests after the start sector: 1,001; the last LBA is 1,499.
      {"Pause", kPause, kResultGood, 0x12, 0x20, {kPositionCall, kStopCall}},
      {"PauseAgain", kPause, kResultGood, 0x12, 0x20, {}},
      {"Resume", kResume, kResultGood, 0x11, 0x20, {Start(1, 1001, 499)}},
      {"ResumeWhilePlaying", kResume, kResultGood, 0x11, 0x20, {}},
      {"Stop", kStop, kResultGood, 0x13, 0x00, {kStopCall}},
      {"ScanForwardFromLba", {0xBA, 0, 0, 0, 0x07, 0xD0, 0, 0, 0, 0, 0, 0}, kResultGood, 0x11,
       0x40, {Start(2, 2000, 198'000)}},
      // A paused scan: what is left of it counts from the head, 2,001.
      {"PauseScan", kPause, kResultGood, 0x12, 0x20, {kPositionCall, kStopCall}},
      {"ResumeAsPlay", kResume, kResultGood, 0x11, 0x20, {Start(1, 2001, 197'999)}},
      {"ScanReverseFromTrack3", {0xBA, 0x10, 0, 0, 0, 3, 0, 0, 0, 0x80, 0, 0}, kResultGood,
       0x11, 0x40, {kStopCall, Start(3, 100'000, 100'000)}},
      // The head (100,001) is past the last LBA of the play (1,499): the scan has ended.
      {"ResumeScanPastItsEnd", kResume, kResultGood, 0x13, 0x00, {kPositionCall, kStopCall}},
      {"PauseWhenStopped", kPause, kResultGood, 0x13, 0x00, {}},
      {"StopWhenStopped", kStop, kResultGood, 0x13, 0x00, {}},
      {"PlayAudioMsf", {0x47, 0, 0, 0, 22, 0, 0, 23, 0, 0}, kResultGood, 0x11, 0x20,
       {Start(1, 1500, 75)}},
      {"PlayCdLba", {0xBC, 0x04, 0, 0, 0x07, 0xD0, 0, 0, 0, 10, 0, 0}, kResultGood, 0x11, 0x20,
       {kStopCall, Start(1, 2000, 10)}},
      {"PlayAudio12", {0xA5, 0, 0, 0, 0x0B, 0xB8, 0, 0, 0, 5, 0, 0}, kResultGood, 0x11, 0x20,
       {kStopCall, Start(1, 3000, 5)}},
      // A medium access ends the play.
      {"Read10", Read10Cdb(500, 1), kResultGood, 0x15, 0x00, {kStopCall}},
      {"ResumeWhenIdle", kResume, kResultInvalidField, 0x15, 0x00, {}},
  };
  for (const StateStep& step : steps) {
    SCOPED_TRACE(step.name);
    medium_.ClearAudioCalls();
    const uint32_t r = Run(step.cdb, 4096);
    EXPECT_EQ(r, step.result);
    if (r != kResultGood) {
      EXPECT_EQ(Sense(), sense::kCommandSequenceError);
    }
    EXPECT_EQ(medium_.AudioCalls(), step.calls);
    ExpectReported(step.status, step.activity);
  }
}

TEST_F(AudioTest, PlayReportsTheStartSectorAndPauseKeepsWhatIsLeft) {
  Mount();
  ASSERT_EQ(Run(PlayAudio10(1000, 500)), kResultGood);
  EXPECT_EQ(device_->mechanism, mechanism::kPlaying);
  EXPECT_EQ(device_->last_lba, 1499u);
  // Read with the start sector: no block read, and the position does not move with time.
  Advance(3000);
  EXPECT_EQ(Ask(SubChannel(1)).data, PositionLba(0x11, 0x10, 2, 1, 1000, 0));
  EXPECT_EQ(BlockReads(), 1u) << "only the start sector";
  const std::vector<Recorded> requests = medium_.Requests();
  const uint8_t start_cdb[16] = {0xBE, 0x04, 0, 0, 0x03, 0xE8, 0, 0, 1, 0xF8, 2, 0};
  EXPECT_EQ(Bytes(requests[0].cdb, requests[0].cdb + 16), Bytes(start_cdb, start_cdb + 16));
  EXPECT_EQ(requests[0].flags, static_cast<uint32_t>(kRegionFlags) << 24 | 0x100);
  EXPECT_EQ(requests[0].byte_count, 2368u);

  ASSERT_EQ(Run(kPause), kResultGood);
  EXPECT_EQ(device_->audio_start, 1001u) << "the engine's position after the start sector";
  EXPECT_EQ(device_->audio_length, 499u);
}

TEST_F(AudioTest, ReadCdAtTheAudioPositionReadsTheSectorUnderTheHeadAndPlayGoesOn) {
  Mount();
  ASSERT_EQ(Run(PlayAudio10(1000, 500)), kResultGood);  // the head rests at 1,001
  medium_.ClearRequests();
  const Reply reply = Ask({0xBE, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0, 2, 0}, 16);
  ASSERT_EQ(reply.result, kResultGood);
  EXPECT_EQ(reply.data, medium_.disc.Q(1001));
  ASSERT_EQ(medium_.Requests().size(), 1u);
  EXPECT_EQ(Be32(medium_.Requests()[0].cdb + 2), 1001u);
  EXPECT_EQ(device_->mechanism, mechanism::kPlaying);
}

TEST_F(AudioTest, PlayFromTheCurrentPositionStartsAtTheHead) {
  Mount();
  ASSERT_EQ(Run(Seek(1999)), kResultGood);  // head 2,000
  medium_.ClearAudioCalls();
  ASSERT_EQ(Run({0x47, 0, 0, 0xFF, 0xFF, 0xFF, 0, 30, 0, 0}), kResultGood);
  // 00:30:00 is sector 2,100.
  EXPECT_EQ(medium_.AudioCalls(), (std::vector<AudioCall>{Start(1, 2000, 100)}));
}

struct PlayRefusal {
  const char* name;
  uint32_t descriptor;
  std::vector<uint8_t> cdb;
  uint32_t result;
  SenseCode sense;
};

class PlayRefusals : public AudioTest, public ::testing::WithParamInterface<PlayRefusal> {};

// Refused plays change nothing: no start call, the state as it was.
TEST_P(PlayRefusals, LeaveTheDriveAsItWas) {
  Mount(GetParam().descriptor);
  const uint8_t before = device_->mechanism;
  EXPECT_EQ(Run(GetParam().cdb, 48), GetParam().result);
  if (GetParam().result != kResultGood) {
    EXPECT_EQ(Sense(), GetParam().sense);
  }
  EXPECT_TRUE(medium_.AudioCalls().empty());
  EXPECT_EQ(device_->mechanism, before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlayRefusals,
    ::testing::Values(
        PlayRefusal{"CountZero", kCd, PlayAudio10(1000, 0), kResultGood, {}},
        PlayRefusal{"AtTheCapacity", kCd, PlayAudio10(kCapacity, 1), kResultInvalidField,
                    sense::kLbaOutOfRange},
        PlayRefusal{"OnTheDataTrack", kCd, PlayAudio10(500, 10), kResultInvalidField,
                    sense::kInvalidFieldInCdb},
        PlayRefusal{"PlayAudio10ReservedByte", kCd, With(PlayAudio10(1000, 1), 6, 1),
                    kResultInvalidField, sense::kInvalidFieldInCdb},
        PlayRefusal{"PlayAudioMsfEndBeforeStart", kCd, {0x47, 0, 0, 0, 22, 0, 0, 21, 0, 0},
                    kResultInvalidField, sense::kInvalidFieldInCdb},
        PlayRefusal{"PlayCdDataSectorType", kCd, {0xBC, 0x08, 0, 0, 0x03, 0xE8, 0, 0, 0, 1, 0, 0},
                    kResultInvalidField, sense::kInvalidFieldInCdb},
        PlayRefusal{"PlayCdMsfByte6", kCd, {0xBC, 0x02, 0, 0, 22, 0, 1, 0, 23, 0, 0, 0},
                    kResultInvalidField, sense::kInvalidFieldInCdb},
        PlayRefusal{"ScanAddressType", kCd, {0xBA, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0},
                    kResultInvalidField, sense::kInvalidFieldInCdb},
        PlayRefusal{"ScanUnknownTrack", kCd, {0xBA, 0, 0, 0, 0, 9, 0, 0, 0, 0x80, 0, 0},
                    kResultInvalidField, sense::kInvalidFieldInCdb},
        PlayRefusal{"StopReservedByte", kCd, With(kStop, 9, 1), kResultInvalidField,
                    sense::kInvalidFieldInCdb},
        PlayRefusal{"PauseReservedBit", kCd, With(kPause, 8, 2), kResultInvalidField,
                    sense::kInvalidFieldInCdb},
        PlayRefusal{"PlayAudio10OnDvd", kDvd, PlayAudio10(1000, 10), kResultInvalidField,
                    sense::kIncompatibleMedium},
        PlayRefusal{"PlayCdOnDvd", kDvd, {0xBC, 0, 0, 0, 0x03, 0xE8, 0, 0, 0, 1, 0, 0},
                    kResultInvalidField, sense::kIncompatibleMedium},
        PlayRefusal{"ScanOnDvd", kDvd, {0xBA, 0, 0, 0, 0x03, 0xE8, 0, 0, 0, 0, 0, 0},
                    kResultInvalidField, sense::kIncompatibleMedium},
        PlayRefusal{"StopOnDvd", kDvd, kStop, kResultInvalidField, sense::kIncompatibleMedium},
        PlayRefusal{"PauseOnDvd", kDvd, kPause, kResultGood, {}},
        PlayRefusal{"ResumeOnDvd", kDvd, kResume, kResultInvalidField,
                    sense::kCommandSequenceError}),
    CaseName<PlayRefusal>);

TEST_F(AudioTest, AFailedPlayStartLeavesPlayingIdleAndPausedPaused) {
  Mount();
  ASSERT_EQ(Run(PlayAudio10(1000, 500)), kResultGood);
  medium_.ClearAudioCalls();
  EXPECT_EQ(Run(PlayAudio10(500, 10)), kResultInvalidField);  // the data track
  EXPECT_EQ(Sense(), sense::kInvalidFieldInCdb);
  EXPECT_EQ(medium_.AudioCalls(), (std::vector<AudioCall>{kStopCall}));
  ExpectReported(0x15, 0x00);

  ASSERT_EQ(Run(PlayAudio10(1000, 500)), kResultGood);
  ASSERT_EQ(Run(kPause), kResultGood);
  medium_.ClearAudioCalls();
  EXPECT_EQ(Run(PlayAudio10(500, 10)), kResultInvalidField);
  EXPECT_EQ(Sense(), sense::kInvalidFieldInCdb);
  EXPECT_TRUE(medium_.AudioCalls().empty());
  ExpectReported(0x12, 0x20);
}

// ---------------------------------------------------------------------------------------
// Answers that come later, on the dispatcher's thread.

TEST_F(AudioTest, PlayFromASectorWithoutPositionTakesItFromTheBlockAnsweredLater) {
  Mount();
  medium_.answer_later = true;
  Command play(PlayAudio10(1010, 20), 0);  // 1,010 carries the catalogue number
  ASSERT_EQ(Run(play), kResultPending);
  medium_.AnswerOnThread();  // the start sector: no position in its Q
  medium_.AnswerOnThread();  // the block around it
  EXPECT_EQ(WaitCompletion(), kResultGood);
  EXPECT_EQ(medium_.AudioCalls(), (std::vector<AudioCall>{Start(1, 1010, 20)}));
  const std::vector<Recorded> requests = medium_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  // Ten sectors into the track the block is short: 1,007-1,013.
  EXPECT_EQ(Be32(requests[1].cdb + 2), 1007u);
  EXPECT_EQ(requests[1].cdb[8], 7);
  EXPECT_EQ(device_->timing.head, 1014u) << "where the block read left the head";

  medium_.answer_later = false;
  EXPECT_EQ(Ask(SubChannel(1, true)).data,
            (Bytes{0, 0x11, 0, 12, 1, 0x10, 2, 1, 0, 0, 15, 35, 0, 0, 0, 10}));
}

// A detach from the mount thread while PAUSE or STOP PLAY/SCAN is in the audio callback is
// deferred to the command's end. The detach reads the mechanism under the device lock, so the
// handler must change it under the lock too: the detach's thread is ordered before the
// handler's write only through the lock (the relaxed flag orders them in time alone), and
// ThreadSanitizer reports the write otherwise.
TEST_F(AudioTest, DetachDuringTheStopCallbackIsDeferredToTheCommandsEnd) {
  for (const std::vector<uint8_t>& cdb : {kPause, kStop}) {
    SCOPED_TRACE(cdb[0] == 0x4B ? "PAUSE" : "STOP PLAY/SCAN");
    Mount();
    ASSERT_EQ(Run(PlayAudio10(1000, 500)), kResultGood);
    std::atomic<bool> detach_asked{false};
    std::atomic<uint32_t> detach_result{0};
    std::thread mount_thread;
    medium_.on_audio = [&](uint32_t call) {
      if (call != kAudioStop) return;
      mount_thread = std::thread([&] {
        detach_result.store(DetachMedium(device_, nullptr, nullptr, false),
                            std::memory_order_relaxed);
        detach_asked.store(true, std::memory_order_relaxed);
      });
      while (!detach_asked.load(std::memory_order_relaxed)) std::this_thread::yield();
    };
    EXPECT_EQ(Run(cdb), kResultGood);
    mount_thread.join();
    medium_.on_audio = nullptr;
    EXPECT_EQ(detach_result.load(), kResultPending);
    EXPECT_NE(device_->mechanism & mechanism::kNoMedium, 0) << "detached at the command's end";
    EXPECT_EQ(device_->medium, nullptr);
  }
}

TEST_F(AudioTest, PositionAnsweredLaterEndsTheCommandWithTheAnswer) {
  Mount();
  ASSERT_EQ(Run(Seek(1500)), kResultGood);
  medium_.answer_later = true;
  Command c(SubChannel(1), 48);
  ASSERT_EQ(Run(c), kResultPending);
  medium_.AnswerOnThread();
  EXPECT_EQ(WaitCompletion(), kResultGood);
  c.data.resize(c.request.data_length);
  EXPECT_EQ(c.data, PositionLba(0x15, 0x10, 2, 1, 1500, 500));
}

}  // namespace
}  // namespace imagepath
