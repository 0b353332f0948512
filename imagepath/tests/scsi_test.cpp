// The command layer against a fake medium (a table of canned engine answers, answering at
// once or later from another thread) and a clock advanced by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "imagepath/tests/fake_medium.h"

namespace imagepath {
namespace {

// ---------------------------------------------------------------------------------------
// The frame.

TEST_F(ScsiTest, SecondCommandWhileOneExecutesIsRefusedAndChangesNothing) {
  AttachReady();
  medium_.answer_later = true;
  Command read({0x28, 0, 0, 0, 0, 5, 0, 0, 1, 0}, kBlockSize);
  ASSERT_EQ(Run(read), kResultPending);

  uint8_t sense_before[18];
  std::memcpy(sense_before, device_->sense, sizeof(sense_before));
  const uint8_t mechanism_before = device_->mechanism;
  Command second({0x03, 0, 0, 0, 18, 0}, 18);
  EXPECT_EQ(Run(second), kResultBusy);
  EXPECT_EQ(device_->current, &read.request);
  EXPECT_EQ(device_->mechanism, mechanism_before);
  EXPECT_EQ(std::memcmp(device_->sense, sense_before, sizeof(sense_before)), 0);
  EXPECT_EQ(second.data[0], 0xEE) << "no data moved";

  medium_.AnswerOnThread();
  EXPECT_EQ(WaitCompletion(), kResultGood);
  EXPECT_EQ(read.request.data_length, kBlockSize);
  EXPECT_EQ(read.data[0], 5);
  EXPECT_EQ(read.data[kBlockSize - 1], 5);
  medium_.answer_later = false;
  EXPECT_EQ(Run({0x00}), kResultGood);
}

TEST_F(ScsiTest, ReloadedMediumBecomesReadyThenReportsTheChangeOnce) {
  AttachReady();
  ASSERT_EQ(DetachMedium(device_, nullptr, nullptr, false), 0u);  // the tray moves out
  Advance(1'100'000);
  ASSERT_EQ(Attach(), 0u);  // closing the tray on a disc: 1.4-1.5 s to ready

  for (uint64_t step : {0, 700'000, 650'000}) {
    Advance(step);
    EXPECT_EQ(Run({0x00}), kResultNoMedium) << "at +" << step;
    EXPECT_EQ(Sense(), sense::kBecomingReady);
    EXPECT_EQ(Run({0x12, 0, 0, 0, 36, 0}, 36), kResultGood);
    const uint32_t config = Run({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8);
    EXPECT_NE(config, kResultNoMedium);
    EXPECT_NE(config, kResultMediumChanged);
  }
  Advance(200'000);  // past 1.5 s
  EXPECT_EQ(Run({0x12, 0, 0, 0, 36, 0}, 36), kResultGood);
  EXPECT_NE(Run({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8), kResultMediumChanged);
  EXPECT_EQ(Run({0x00}), kResultMediumChanged);
  EXPECT_EQ(Sense(), sense::kMediumChanged);
  EXPECT_EQ(Run({0x00}), kResultGood);
  EXPECT_EQ(device_->mechanism, mechanism::kIdle);
}

struct RefusalCase {
  const char* name;
  std::vector<uint8_t> cdb;
  uint32_t result;
  SenseCode sense;
};

class FrameRefusals : public ScsiTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(FrameRefusals, AnswerWithTheirSense) {
  AttachReady(kDvd, 0, 100'000);
  EXPECT_EQ(Run(GetParam().cdb, 4096), GetParam().result);
  EXPECT_EQ(Sense(), GetParam().sense);
  EXPECT_TRUE(medium_.Requests().empty()) << "refused before the engine";
}

const SenseCode kInvalidField = sense::kInvalidFieldInCdb;
INSTANTIATE_TEST_SUITE_P(
    Table, FrameRefusals,
    ::testing::Values(
        RefusalCase{"Write10", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 22, sense::kInvalidOpcode},
        RefusalCase{"Write12", {0xAA}, 22, sense::kInvalidOpcode},
        RefusalCase{"FormatUnit", {0x04}, 22, sense::kInvalidOpcode},
        RefusalCase{"UnlistedOpcode", {0xFF}, 22, sense::kInvalidOpcode},
        RefusalCase{"TestUnitReadyReservedByte", {0x00, 0, 0, 0, 1, 0}, 1, kInvalidField},
        RefusalCase{"InquiryVitalProductData", {0x12, 1, 0x80, 0, 36, 0}, 1, kInvalidField},
        RefusalCase{"PreventUnknownValue", {0x1E, 0, 0, 0, 4, 0}, 1, kInvalidField},
        RefusalCase{"StartStopReservedBits", {0x1B, 0, 0, 0, 0x0C, 0}, 1, kInvalidField},
        RefusalCase{"Read10ReservedBit", {0x28, 0x02, 0, 0, 0, 0, 0, 0, 1, 0}, 1, kInvalidField},
        RefusalCase{"Read12FuaWithStreaming", {0xA8, 0x08, 0, 0, 0, 0, 0, 0, 0, 1, 0x80, 0}, 1,
                    kInvalidField},
        RefusalCase{"ReadCdLeadInRaw", {0xBE, 0, 0xF0, 0, 0, 0, 0, 0, 1, 0, 1, 0}, 25,
                    sense::kIllegalModeForTrack},
        RefusalCase{"ReadCdAudioPositionWhileIdle", {0xBE, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0, 2, 0},
                    1, sense::kCommandSequenceError},
        RefusalCase{"ReadCdBadSubchannel", {0xBE, 0, 0, 0, 0, 0, 0, 0, 1, 0x10, 3, 0}, 1,
                    kInvalidField},
        RefusalCase{"ReadCdMsfInsidePregap", {0xB9, 0, 0, 0, 1, 74, 0, 2, 10, 0x10, 0, 0}, 1,
                    kInvalidField},
        RefusalCase{"ReadCdMsfEndBeforeStart", {0xB9, 0, 0, 0, 3, 0, 0, 2, 10, 0x10, 0, 0}, 1,
                    kInvalidField},
        RefusalCase{"SeekPastCapacity", {0x2B, 0, 0, 1, 0x86, 0xA0, 0, 0, 0, 0}, 9,
                    sense::kLbaOutOfRange},
        RefusalCase{"SetCdSpeedRotationControl", {0xBB, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0},
                    1, kInvalidField},
        RefusalCase{"GetPerformanceDataType", {0xAC, 0x20, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, 1,
                    kInvalidField},
        RefusalCase{"ReadCapacityPmi", {0x25, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 1, kInvalidField}),
    CaseName<RefusalCase>);

TEST_F(ScsiTest, Inquiry36BytesCarriesTheIdentity) {
  Command c({0x12, 0, 0, 0, 36, 0}, 96);
  ASSERT_EQ(Run(c), kResultGood);
  EXPECT_EQ(c.request.data_length, 36u);
  EXPECT_EQ(c.data[0], 5);
  EXPECT_EQ(c.data[1], 0x80);
  EXPECT_EQ(c.data[3], 0x32);
  EXPECT_EQ(c.data[4], 91);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(c.data.data()) + 8, 28),
            "KORVEN  RIRazuVezi VOVUV1.0b");
  EXPECT_EQ(c.data[36], 0xEE) << "nothing beyond the allocation length";

  Command full({0x12, 0, 0, 0, 96, 0}, 96);
  ASSERT_EQ(Run(full), kResultGood);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(full.data.data()) + 36, 20),
            " 10/08/14           ");
}

TEST_F(ScsiTest, RequestSenseHandsOutPendingSenseOnceThenTheAudioStatus) {
  Command idle({0x03, 0, 0, 0, 18, 0}, 18);
  ASSERT_EQ(Run(idle), kResultGood);
  EXPECT_EQ(idle.request.data_length, 18u);
  EXPECT_EQ(idle.data[0], 0x70);
  EXPECT_EQ(idle.data[2], 0);
  EXPECT_EQ(idle.data[12], 0);
  EXPECT_EQ(idle.data[13], 0x15);

  EXPECT_EQ(Run({0x2A}), kResultInvalidOpcode);
  EXPECT_EQ(Sense(), sense::kInvalidOpcode);
  EXPECT_EQ(Sense(), (SenseCode{0, 0, 0x15}));
}

TEST_F(ScsiTest, PreventedRemovalRefusesEjectAndDetach) {
  AttachReady();
  ASSERT_EQ(Run({0x1E, 0, 0, 0, 1, 0}), kResultGood);
  EXPECT_EQ(Run({0x1B, 0, 0, 0, 0x02, 0}), kResultInvalidField);
  EXPECT_EQ(Sense(), sense::kRemovalPrevented);
  EXPECT_EQ(DetachMedium(device_, nullptr, nullptr, false), 1109u);

  ASSERT_EQ(Run({0x1E, 0, 0, 0, 0, 0}), kResultGood);
  ASSERT_EQ(Run({0x1E, 0, 0, 0, 3, 0}), kResultGood);  // persistent prevent
  EXPECT_EQ(DetachMedium(device_, nullptr, nullptr, false), 1109u);
  EXPECT_EQ(DetachMedium(device_, nullptr, nullptr, true), 0u);
  EXPECT_EQ(DetachMedium(device_, nullptr, nullptr, true), 2250u);
  EXPECT_EQ(Run({0x00}), kResultNoMedium);
}

TEST_F(ScsiTest, EjectOpensTheTrayAndLoadClosesIt) {
  AttachReady();
  ASSERT_EQ(Run({0x1B, 0, 0, 0, 0x02, 0}), kResultGood);  // eject, waits for the tray
  EXPECT_EQ(device_->mechanism, mechanism::kTrayOpen);
  EXPECT_EQ(Run({0x00}), kResultNoMedium);
  EXPECT_EQ(Sense(), sense::kNotPresentTrayOpen);

  Command load({0x1B, 0, 0, 0, 0x03, 0}, 0);
  ASSERT_EQ(Run(load), kResultGood);
  // The tray travels 1 s, then the disc spins up in 400-499 ms.
  EXPECT_GE(load.request.deadline, kStart + 2'000'000 + 1'400'000);
  EXPECT_LT(load.request.deadline, kStart + 2'000'000 + 1'500'000);
  EXPECT_EQ(Run({0x00}), kResultMediumChanged);
  EXPECT_EQ(Run({0x00}), kResultGood);
}

TEST_F(ScsiTest, StoppedDriveSpinsUpOnTheNextMediumAccess) {
  AttachReady();
  Command stop({0x1B, 0, 0, 0, 0x00, 0}, 0);
  ASSERT_EQ(Run(stop), kResultGood);
  EXPECT_GE(stop.request.deadline, kStart + 2'000'000 + 400'000);
  EXPECT_LT(stop.request.deadline, kStart + 2'000'000 + 500'000);
  Advance(1'000'000);
  Command capacity({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
  ASSERT_EQ(Run(capacity), kResultGood);
  EXPECT_GE(capacity.request.deadline, kStart + 3'000'000 + 400'000);
  EXPECT_LT(capacity.request.deadline, kStart + 3'000'000 + 500'000);
  EXPECT_EQ(device_->power_condition, kPowerActive);
}

// Power conditions by START STOP UNIT: idle and standby are taken, 5 puts the drive to
// sleep, and asleep it refuses every command, REQUEST SENSE included, with 4/05/00.
TEST_F(ScsiTest, StartStopPowerConditionsAndSleep) {
  AttachReady();
  ASSERT_EQ(Run({0x1B, 0, 0, 0, 0x20, 0}), kResultGood);
  EXPECT_EQ(device_->power_condition, kPowerIdle);
  ASSERT_EQ(Run({0x1B, 0, 0, 0, 0x30, 0}), kResultGood);
  EXPECT_EQ(device_->power_condition, kPowerStandby);
  for (uint8_t ignored : {0x10, 0x40, 0x70, 0xA0}) {
    ASSERT_EQ(Run({0x1B, 0, 0, 0, ignored, 0}), kResultGood) << int{ignored};
    EXPECT_EQ(device_->power_condition, kPowerStandby) << int{ignored};
  }
  ASSERT_EQ(Run({0x1B, 0, 0, 0, 0x50, 0}), kResultGood);
  EXPECT_EQ(device_->power_condition, kPowerSleep);
  const std::vector<std::vector<uint8_t>> commands = {
      {0x00, 0, 0, 0, 0, 0},                 // TEST UNIT READY
      {0x12, 0, 0, 0, 36, 0},                // INQUIRY
      {0x03, 0, 0, 0, 18, 0},                // REQUEST SENSE
      {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},     // READ(10)
      {0x1B, 0, 0, 0, 0x01, 0},              // START
      {0x1B, 0, 0, 0, 0x30, 0},              // back to standby
  };
  for (const std::vector<uint8_t>& cdb : commands) {
    Command c(cdb, 2048);
    EXPECT_EQ(Run(c), kResultAsleep) << std::hex << int{cdb[0]};
    EXPECT_EQ(c.request.data_length, 0u) << "no data";
    EXPECT_EQ(device_->sense[2] & 0x0F, 4);
    EXPECT_EQ(device_->sense[12], 0x05);
    EXPECT_EQ(device_->sense[13], 0x00);
  }
  EXPECT_TRUE(medium_.Requests().empty()) << "nothing reached the medium";
}

// START and STOP while the disc is still becoming ready after a load (ready deadline R):
// START ends the wait at R, with Immed at once with R kept as the ready deadline; STOP
// spins down in what is left of a spin-up past R - t0, plus up to 99 ms.
TEST_F(ScsiTest, StartAndStopWhileBecomingReady) {
  AttachReady();
  ASSERT_EQ(DetachMedium(device_, nullptr, nullptr, true), 0u);  // the tray moves out
  Advance(1'100'000);
  const uint64_t loaded = g_now;
  ASSERT_EQ(Attach(), 0u);
  ASSERT_TRUE(device_->becoming_ready);
  const uint64_t ready = device_->ready_deadline;
  ASSERT_GE(ready, loaded + 1'400'000);
  ASSERT_LT(ready, loaded + 1'500'000);

  // START without Immed: answered at R, and the drive is no longer becoming ready.
  Command start({0x1B, 0, 0, 0, 0x01, 0}, 0);
  ASSERT_EQ(Run(start), kResultGood);
  EXPECT_EQ(start.request.deadline, ready);
  EXPECT_FALSE(device_->becoming_ready);
  EXPECT_EQ(Run({0x00}), kResultMediumChanged);
  EXPECT_EQ(Run({0x00}), kResultGood);

  // Reloaded, START with Immed: answered at once, and the drive stays becoming ready
  // until the same R.
  ASSERT_EQ(DetachMedium(device_, nullptr, nullptr, true), 0u);
  Advance(1'100'000);
  ASSERT_EQ(Attach(), 0u);
  const uint64_t ready2 = device_->ready_deadline;
  Command immed({0x1B, 1, 0, 0, 0x01, 0}, 0);
  ASSERT_EQ(Run(immed), kResultGood);
  EXPECT_EQ(immed.request.deadline, 0u);
  EXPECT_TRUE(device_->becoming_ready);
  EXPECT_EQ(device_->ready_deadline, ready2);
  EXPECT_EQ(Run({0x00}), kResultNoMedium);
  EXPECT_EQ(Sense(), sense::kBecomingReady);
  Advance(ready2 - g_now + 1);
  EXPECT_EQ(Run({0x00}), kResultMediumChanged);

  // STOP 0.1 s before R: the spin-down takes what is left of 400 ms, 300 ms, plus r.
  ASSERT_EQ(DetachMedium(device_, nullptr, nullptr, true), 0u);
  Advance(1'100'000);
  ASSERT_EQ(Attach(), 0u);
  const uint64_t ready3 = device_->ready_deadline;
  Advance(ready3 - g_now - 100'000);
  const uint64_t t0 = g_now;
  Command stop({0x1B, 0, 0, 0, 0x00, 0}, 0);
  ASSERT_EQ(Run(stop), kResultGood);
  EXPECT_GE(stop.request.deadline, t0 + 300'000);
  EXPECT_LT(stop.request.deadline, t0 + 400'000);
  EXPECT_TRUE(device_->spun_down);
  EXPECT_FALSE(device_->becoming_ready);
  EXPECT_EQ(Run({0x00}), kResultMediumChanged) << "the load's attention, once";
  EXPECT_TRUE(device_->spun_down);
  // START on the spun-down drive: a whole spin-up, 400-499 ms.
  const uint64_t t1 = g_now;
  Command again({0x1B, 0, 0, 0, 0x01, 0}, 0);
  ASSERT_EQ(Run(again), kResultGood);
  EXPECT_GE(again.request.deadline, t1 + 400'000);
  EXPECT_LT(again.request.deadline, t1 + 500'000);
  EXPECT_FALSE(device_->spun_down);

  // STOP right after a load, with R - t0 above 400 ms: only r is left.
  ASSERT_EQ(DetachMedium(device_, nullptr, nullptr, true), 0u);
  Advance(1'100'000);
  ASSERT_EQ(Attach(), 0u);
  const uint64_t t2 = g_now;
  Command early_stop({0x1B, 0, 0, 0, 0x00, 0}, 0);
  ASSERT_EQ(Run(early_stop), kResultGood);
  EXPECT_GE(early_stop.request.deadline, t2);
  EXPECT_LT(early_stop.request.deadline, t2 + 100'000);
}

// REZERO UNIT seeks to LBA 0 and puts the drive in standby; reserved bytes are refused.
TEST_F(ScsiTest, RezeroSeeksToTheStartAndStandsBy) {
  AttachReady();
  ASSERT_EQ(Run({0x28, 0, 0, 0, 0x13, 0x88, 0, 0, 4, 0}, 4 * kBlockSize), kResultGood);
  EXPECT_EQ(device_->timing.head, 5004u);
  EXPECT_EQ(device_->power_condition, kPowerActive);
  ASSERT_EQ(Run({0x01, 0, 0, 0, 0, 0}), kResultGood);
  EXPECT_EQ(device_->timing.head, 1u) << "rests after sector 0";
  EXPECT_EQ(device_->power_condition, kPowerStandby);
  for (size_t byte = 1; byte <= 5; ++byte) {
    std::vector<uint8_t> cdb = {0x01, 0, 0, 0, 0, 0};
    cdb[byte] = 1;
    EXPECT_EQ(Run(cdb), kResultInvalidField) << "byte " << byte;
    EXPECT_EQ(Sense(), sense::kInvalidFieldInCdb);
  }
  EXPECT_TRUE(medium_.Requests().size() == 1) << "only the read reached the medium";
}

TEST_F(ScsiTest, DetachDuringACommandFollowsItsEnd) {
  AttachReady();
  medium_.answer_later = true;
  Command read({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, kBlockSize);
  ASSERT_EQ(Run(read), kResultPending);
  static std::atomic<int> detached{0};
  detached = 0;
  auto done = [](void*, uint32_t result) { detached = result == 0 ? 1 : 2; };
  EXPECT_EQ(DetachMedium(device_, done, nullptr, false), kResultPending);
  EXPECT_EQ(DetachMedium(device_, done, nullptr, false), 183u);
  EXPECT_EQ(detached.load(), 0);
  medium_.AnswerOnThread();
  EXPECT_EQ(WaitCompletion(), kResultGood);
  EXPECT_EQ(detached.load(), 1);
  medium_.answer_later = false;
  EXPECT_EQ(Run({0x00}), kResultNoMedium);
}

TEST_F(ScsiTest, MediumInformationCommandsReachTheEngineAsTheyAre) {
  AttachReady();
  const std::vector<std::vector<uint8_t>> cdbs = {
      {0x43, 0x02, 0, 0, 0, 0, 1, 0, 12, 0},           // READ TOC, MSF
      {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0},              // READ DISC INFORMATION
      {0x52, 1, 0, 0, 0, 1, 0, 0, 28, 0},              // READ TRACK INFORMATION
      {0xAD, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0},         // READ DISC STRUCTURE
      {0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x00, 0}};     // REPORT KEY, AGID
  for (const std::vector<uint8_t>& cdb : cdbs) {
    medium_.ClearRequests();
    Canned answer;
    answer.data = {0x11, 0x22, 0x33, 0x44};
    medium_.canned[cdb[0]] = answer;
    Command c(cdb, 64);
    EXPECT_EQ(Run(c), kResultGood) << std::hex << int{cdb[0]};
    const std::vector<Recorded> sent = medium_.Requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::memcmp(sent[0].cdb, cdb.data(), cdb.size()), 0);
    EXPECT_EQ(c.data[3], 0x44);
  }
}

// ---------------------------------------------------------------------------------------
// Attach.

struct AttachCase {
  const char* name;
  bool null_context, null_medium, null_audio;
  uint32_t descriptor, period, capacity_low, capacity_high, max_transfer;
  uint32_t result;
};

class AttachArguments : public ScsiTest, public ::testing::WithParamInterface<AttachCase> {};

TEST_P(AttachArguments, AreRefusedBeforeTheEngine) {
  const AttachCase& c = GetParam();
  EXPECT_EQ(AttachMedium(device_, c.null_context ? nullptr : &medium_,
                         c.null_medium ? nullptr : FakeMedium::Callback,
                         c.null_audio ? nullptr : FakeMedium::Audio, c.descriptor, c.period,
                         c.capacity_low, c.capacity_high, c.max_transfer, nullptr, nullptr),
            c.result);
  EXPECT_TRUE(medium_.Requests().empty());
  EXPECT_EQ(Run({0x00}), kResultNoMedium);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AttachArguments,
    ::testing::Values(
        AttachCase{"NoContext", true, false, false, kDvd, 0, 1000, 0, 0, 87},
        AttachCase{"NoMediumCallback", false, true, false, kDvd, 0, 1000, 0, 0, 87},
        AttachCase{"NoAudioCallback", false, false, true, kDvd, 0, 1000, 0, 0, 87},
        AttachCase{"NoCapacity", false, false, false, kDvd, 0, 0, 0, 0, 87},
        AttachCase{"TinyMaximumTransfer", false, false, false, kDvd, 0, 1000, 0, 4095, 87},
        AttachCase{"PeriodTooShort", false, false, false, kDvd, 6302, 1000, 0, 0, 87},
        AttachCase{"PeriodTooLong", false, false, false, kDvd, 65537, 1000, 0, 0, 87},
        AttachCase{"CapacityBeyond32Bits", false, false, false, kDvd, 0, 1000, 1, 0, 1785},
        AttachCase{"NoCdbForm", false, false, false, kMediumDvdRom, 0, 1000, 0, 0, 1785},
        AttachCase{"ClassNine", false, false, false, kMediumCdbForm | 9, 0, 1000, 0, 0, 1785},
        AttachCase{"NoMediumClass", false, false, false, kMediumCdbForm | kMediumNone, 0, 1000,
                   0, 0, 1785}),
    CaseName<AttachCase>);

struct TocCase {
  const char* name;
  std::vector<uint8_t> toc;
};

class UnusableToc : public ScsiTest, public ::testing::WithParamInterface<TocCase> {};

TEST_P(UnusableToc, FailsTheAttachAsNotReady) {
  Canned answer;
  answer.data = GetParam().toc;
  medium_.canned[0x43] = answer;
  EXPECT_EQ(Attach(), kResultNotReady);
  EXPECT_EQ(Sense(), sense::kUnknownFormat);
  EXPECT_EQ(Run({0x00}), kResultNoMedium);
  medium_.canned.clear();
  EXPECT_EQ(Attach(), kResultGood) << "a later attach is not blocked";
}

std::vector<uint8_t> Truncated(std::vector<uint8_t> v, size_t n) {
  v.resize(n);
  return v;
}
std::vector<uint8_t> WithLength(std::vector<uint8_t> v, uint32_t length) {
  PutBe16(v.data(), length);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnusableToc,
    ::testing::Values(TocCase{"NothingReturned", {}},
                      TocCase{"HeaderOnly", Truncated(FakeMedium::Toc(1, 100'000), 3)},
                      TocCase{"NoLeadOut", FakeMedium::Toc(1, 100'000, 0x02)},
                      TocCase{"OnlyTheLeadOut", FakeMedium::Toc(0, 100'000)},
                      TocCase{"LengthNotWholeDescriptors", WithLength(FakeMedium::Toc(1, 100'000), 17)},
                      TocCase{"DescriptorsCutShort", Truncated(FakeMedium::Toc(2, 100'000), 20)},
                      TocCase{"MoreThan100Descriptors", FakeMedium::Toc(100, 100'000)}),
    CaseName<TocCase>);

TEST_F(ScsiTest, AttachAnsweredLaterReportsThroughItsCallback) {
  medium_.answer_later = true;
  static std::atomic<uint32_t> attach_result{0xFFFFFFFF};
  attach_result = 0xFFFFFFFF;
  auto done = [](void*, uint32_t r) { attach_result = r; };
  ASSERT_EQ(AttachMedium(device_, &medium_, FakeMedium::Callback, FakeMedium::Audio, kDvd, 0,
                         1000, 0, 0, done, nullptr),
            kResultPending);
  EXPECT_EQ(Attach(), 183u) << "an attach is running";
  medium_.AnswerOnThread();
  EXPECT_EQ(attach_result.load(), 0u);
  EXPECT_EQ(Attach(), 183u) << "a medium is attached";
  medium_.answer_later = false;
  EXPECT_EQ(Run({0x00}), kResultMediumChanged);
}

// ---------------------------------------------------------------------------------------
// Engine answers.

struct MappingCase {
  const char* name;
  Canned answer;
  bool later;
  uint32_t result;
  SenseCode sense;
};

Canned Check(SenseCode s, uint8_t length = 18) {
  Canned c;
  c.check = true;
  c.sense = s;
  c.sense_length = length;
  return c;
}
Canned CallbackFails(uint32_t r) {
  Canned c;
  c.callback_result = r;
  return c;
}
Canned StatusFails(uint32_t status) {
  Canned c;
  c.status = status;
  return c;
}

class EngineAnswerMapping : public ScsiTest, public ::testing::WithParamInterface<MappingCase> {};

TEST_P(EngineAnswerMapping, GivesTheResultAndSense) {
  const MappingCase& c = GetParam();
  AttachReady();
  medium_.canned[0x28] = c.answer;
  medium_.answer_later = c.later;
  Command read({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, kBlockSize);
  uint32_t r = Run(read);
  if (c.later) {
    ASSERT_EQ(r, kResultPending);
    medium_.AnswerOnThread();
    r = WaitCompletion();
  }
  medium_.answer_later = false;
  EXPECT_EQ(r, c.result);
  EXPECT_EQ(Sense(), c.sense);
  // NOT READY from the engine means the medium went away.
  EXPECT_EQ(Run({0x00}), c.result == kResultNotReady ? kResultNoMedium : kResultGood);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EngineAnswerMapping,
    ::testing::Values(
        MappingCase{"NotPresent", Check({2, 0x3A, 0}), false, 1112, {2, 0x3A, 0}},
        MappingCase{"NotPresentShortSense", Check({2, 0x3A, 1}, 13), false, 1112, {2, 0x3A, 0}},
        MappingCase{"NotReady", Check({2, 0x04, 0}), false, 21, {2, 0x04, 0}},
        MappingCase{"LbaOutOfRange", Check({5, 0x21, 0}), false, 9, {5, 0x21, 0}},
        MappingCase{"IllegalModeForTrack", Check({5, 0x64, 0}), false, 25, {5, 0x64, 0}},
        MappingCase{"OtherIllegalRequest", Check({5, 0x24, 0}), false, 1, {5, 0x24, 0}},
        MappingCase{"UnrecoveredRead", Check({3, 0x11, 5}), false, 23, {3, 0x11, 5}},
        MappingCase{"SeekError", Check({3, 0x02, 0}), false, 27, {3, 0x02, 0}},
        MappingCase{"OtherMediumError", Check({3, 0x31, 0}), false, 1117, {3, 0x31, 0}},
        MappingCase{"HardwareError", Check({4, 0x08, 0}), false, 1117, {4, 0x08, 0}},
        MappingCase{"SenseTooShortToRead", Check({5, 0x21, 0}, 2), false, 1117, {4, 0x4B, 0}},
        MappingCase{"ShortSenseRebuiltFromResult", Check({5, 0x21, 7}, 13), false, 9,
                    {5, 0x21, 0}},
        MappingCase{"DispatcherStopping", CallbackFails(995), false, 1117, {4, 0x4B, 0}},
        MappingCase{"DispatcherBusy", CallbackFails(5), false, 1117, {4, 0x4B, 0}},
        MappingCase{"LaterEngineFailure", StatusFails(87), true, 1117, {4, 0x4B, 0}},
        MappingCase{"LaterCheckCondition", Check({3, 0x11, 0}), true, 23, {3, 0x11, 0}}),
    CaseName<MappingCase>);

TEST_F(ScsiTest, NotReadyTocReadFailsOnlyThatAttach) {
  medium_.canned[0x43] = Check({2, 0x04, 0x00});
  EXPECT_EQ(Attach(), kResultNotReady);
  medium_.canned.clear();
  AttachReady();
  // A detach queued by the failed attach would drop this medium when a command ends.
  EXPECT_EQ(Run({0x00}), kResultGood);
  EXPECT_EQ(Run({0x00}), kResultGood);
}

// ---------------------------------------------------------------------------------------
// Reading commands.

TEST_F(ScsiTest, ReadCapacityOfA100000SectorMedium) {
  AttachReady(kDvd, 0, 100'000);
  Command c({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
  ASSERT_EQ(Run(c), kResultGood);
  EXPECT_EQ(Be32(c.data.data()), 99'999u);
  EXPECT_EQ(Be32(c.data.data() + 4), 2048u);
}

TEST_F(ScsiTest, ReadsPassTheirCdbAndDataThrough) {
  AttachReady();
  Command read({0xA8, 0, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0}, 3 * kBlockSize);
  ASSERT_EQ(Run(read), kResultGood);
  const std::vector<Recorded> sent = medium_.Requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::memcmp(sent[0].cdb, read.request.cdb, 12), 0);
  EXPECT_EQ(sent[0].flags, (0xFEu << 24) | kRequestCdb) << "region 1 mask, CDB form";
  EXPECT_EQ(sent[0].byte_count, 3 * kBlockSize);
  EXPECT_EQ(read.data[0], 7);
  EXPECT_EQ(read.data[2 * kBlockSize - 1], 8);
  EXPECT_EQ(device_->mechanism, mechanism::kIdle);
  EXPECT_EQ(device_->timing.head, 9u);
}

TEST_F(ScsiTest, VerifyReadsEverySectorWithFuaUntilTheFirstFailure) {
  AttachReady();
  ASSERT_EQ(Run({0x2F, 0, 0, 0, 0, 10, 0, 0, 3, 0}), kResultGood);
  std::vector<Recorded> sent = medium_.Requests();
  ASSERT_EQ(sent.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sent[i].cdb[0], 0x28);
    EXPECT_EQ(sent[i].cdb[1], 0x08);
    EXPECT_EQ(Be32(sent[i].cdb + 2), 10 + i);
    EXPECT_EQ(Be16(sent[i].cdb + 7), 1u);
    EXPECT_EQ(sent[i].byte_count, 2048u);
  }
  EXPECT_EQ(device_->mechanism, mechanism::kIdle);

  medium_.ClearRequests();
  medium_.canned[0x28] = Check(sense::kUnrecoveredRead);
  EXPECT_EQ(Run({0x2F, 0, 0, 0, 0, 10, 0, 0, 3, 0}), kResultUnrecoveredRead);
  EXPECT_EQ(medium_.Requests().size(), 1u);
  EXPECT_EQ(device_->mechanism, mechanism::kIdle);
}

TEST_F(ScsiTest, VerifyAnsweredLaterGoesOnFromTheCompletion) {
  AttachReady();
  medium_.answer_later = true;
  Command verify({0x2F, 0, 0, 0, 0, 10, 0, 0, 2, 0}, 0);
  ASSERT_EQ(Run(verify), kResultPending);
  medium_.AnswerOnThread();
  medium_.AnswerOnThread();
  EXPECT_EQ(WaitCompletion(), kResultGood);
  EXPECT_EQ(medium_.Requests().size(), 2u);
}

struct StreamingCase {
  const char* name;
  uint16_t list_length;
  uint8_t flags;
  uint32_t read_size, read_time;
  uint32_t result;
  SenseCode sense;
};

class SetStreamingDescriptor : public ScsiTest,
                               public ::testing::WithParamInterface<StreamingCase> {};

TEST_P(SetStreamingDescriptor, IsCheckedAndNothingChanges) {
  const StreamingCase& c = GetParam();
  AttachReady(kDvd);
  Command cmd({0xB6, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(c.list_length >> 8),
               static_cast<uint8_t>(c.list_length), 0},
              28);
  std::fill(cmd.data.begin(), cmd.data.end(), 0);
  cmd.data[0] = c.flags;
  PutBe32(cmd.data.data() + 12, c.read_size);
  PutBe32(cmd.data.data() + 16, c.read_time);
  EXPECT_EQ(Run(cmd), c.result);
  EXPECT_EQ(Sense(), c.sense);
}

const SenseCode kNoSenseIdle{0, 0, 0x15};
INSTANTIATE_TEST_SUITE_P(
    Table, SetStreamingDescriptor,
    ::testing::Values(
        StreamingCase{"NotExact", 20, 0, 1000, 1000, 0, kNoSenseIdle},
        StreamingCase{"ExactAtTheDrivesSpeed", 20, 0x02, 22160, 1000, 0, kNoSenseIdle},
        StreamingCase{"ExactAtAnotherSpeed", 20, 0x02, 22000, 1000, 1,
                      sense::kInvalidFieldInParameters},
        StreamingCase{"NoReadTime", 20, 0, 1000, 0, 1, sense::kInvalidFieldInParameters},
        StreamingCase{"WriteFields", 20, 0x08, 1000, 1000, 1, sense::kInvalidFieldInParameters},
        StreamingCase{"RestoreDefaultsWithShortList", 1, 0x04, 0, 0, 0, kNoSenseIdle},
        StreamingCase{"ShortList", 19, 0, 1000, 1000, 1, sense::kParameterListLength}),
    CaseName<StreamingCase>);

TEST_F(ScsiTest, GetPerformanceAndFormatCapacitiesDescribeTheMedium) {
  AttachReady(kCd, 0, 300'000);
  Command perf({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, 64);
  ASSERT_EQ(Run(perf), kResultGood);
  EXPECT_EQ(perf.request.data_length, 24u);
  EXPECT_EQ(Be32(perf.data.data()), 20u);
  EXPECT_EQ(Be32(perf.data.data() + 12), 8467u * 240 / 585);
  EXPECT_EQ(Be32(perf.data.data() + 16), 299'999u);
  EXPECT_EQ(Be32(perf.data.data() + 20), 8467u);

  Command except({0xAC, 0x01, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, 64);
  ASSERT_EQ(Run(except), kResultGood);
  EXPECT_EQ(except.request.data_length, 8u);
  EXPECT_EQ(except.data[4], 1);

  Command formats({0x23, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 64);
  ASSERT_EQ(Run(formats), kResultGood);
  EXPECT_EQ(formats.request.data_length, 12u);
  EXPECT_EQ(formats.data[3], 8);
  EXPECT_EQ(Be32(formats.data.data() + 4), 300'000u);
  EXPECT_EQ(formats.data[8], 2);
  EXPECT_EQ(Be24(formats.data.data() + 9), 2048u);
}

// ---------------------------------------------------------------------------------------
// Timing.

constexpr uint32_t kPeriod = 20'000;  // µs a revolution takes at random access

struct PeriodCase {
  const char* name;
  uint32_t first_lba;
  uint16_t first_count;
  uint32_t lba;
  uint16_t count;
  bool fua;
  uint32_t expected_period;
};

class ReadPeriod : public ScsiTest, public ::testing::WithParamInterface<PeriodCase> {};

TEST_P(ReadPeriod, FollowsHowTheReadContinues) {
  const PeriodCase& c = GetParam();
  AttachReady(kDvd, kPeriod);
  ASSERT_EQ(Run(Read10Cdb(c.first_lba, c.first_count), c.first_count * kBlockSize), 0u);
  ASSERT_EQ(Run(Read10Cdb(c.lba, c.count, c.fua), c.count * kBlockSize), 0u);
  EXPECT_EQ(device_->timing.period, c.expected_period);
}

constexpr uint32_t kDvdMinimum = 6303;
INSTANTIATE_TEST_SUITE_P(
    Table, ReadPeriod,
    ::testing::Values(PeriodCase{"Consecutive32", 1024, 32, 1056, 32, false, kDvdMinimum},
                      PeriodCase{"Consecutive8", 1024, 8, 1032, 8, false, kPeriod},
                      PeriodCase{"ConsecutiveWithFua", 1024, 32, 1056, 32, true, kPeriod},
                      PeriodCase{"Elsewhere", 1024, 32, 4096, 32, false, kPeriod},
                      PeriodCase{"UnalignedStart", 1024, 32, 1057, 32, false, kPeriod}),
    CaseName<PeriodCase>);

struct SeekCase {
  const char* name;
  uint32_t descriptor;
  uint32_t lba;
  uint64_t duration;
};

class SeekCost : public ScsiTest, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(SeekCost, DependsOnDistanceAndMedium) {
  const SeekCase& c = GetParam();
  AttachReady(c.descriptor, kPeriod, 400'000);
  ASSERT_EQ(device_->timing.head, 0u);
  Command seek({0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0);
  PutBe32(seek.request.cdb + 2, c.lba);
  ASSERT_EQ(Run(seek), kResultGood);
  EXPECT_EQ(device_->timing.seek_duration, c.duration);
  EXPECT_EQ(seek.request.deadline, 0u) << "a seek is paid by the next access";
  if (c.duration != 0) {
    EXPECT_EQ(device_->timing.seek_arrival, g_now.load() + c.duration);
    // Halfway through, the head is halfway there.
    Advance(c.duration / 2);
    ASSERT_EQ(Run({0x00}), kResultGood);
    EXPECT_NEAR(device_->timing.head, (c.lba + 1) / 2.0, 1.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SeekCost,
    ::testing::Values(SeekCase{"DvdJustAfterTheHead", kDvd, 0, 0},
                      SeekCase{"CdJustAfterTheHead", kCd, 0, kPeriod / 9},
                      SeekCase{"CdFourSectors", kCd, 3, kPeriod * 4 / 9},
                      SeekCase{"Cd90000Sectors", kCd, 89'999, 50'005},
                      SeekCase{"DvdShortHopIsTheMinimum", kDvd, 1000, 10'000},
                      SeekCase{"Dvd300000Sectors", kDvd, 299'999, (300'000 / 32 + 1) * 2}),
    CaseName<SeekCase>);

TEST_F(ScsiTest, WithoutARotationPeriodNoCommandGetsADeadline) {
  AttachReady(kDvd, 0);
  medium_.read_rotation = 0x400000;
  for (uint32_t lba : {0u, 32u, 5000u}) {
    Command read(Read10Cdb(lba, 32), 32 * kBlockSize);
    ASSERT_EQ(Run(read), 0u);
    EXPECT_EQ(read.request.deadline, 0u);
  }
  medium_.read_rotation = kRingHit | 0x400000;
  Command hit(Read10Cdb(5032, 32), 32 * kBlockSize);
  ASSERT_EQ(Run(hit), 0u);
  EXPECT_EQ(hit.request.deadline, 0u);
  Command seek({0x2B, 0, 0, 0, 0x10, 0, 0, 0, 0, 0}, 0);
  ASSERT_EQ(Run(seek), 0u);
  EXPECT_EQ(seek.request.deadline, 0u);
  EXPECT_EQ(device_->timing.head, 0x1001u) << "without timing the head jumps at once";
}

TEST_F(ScsiTest, RandomReadWaitsForTheSeekThenTheNextTurnOfTheGrid) {
  AttachReady(kDvd, kPeriod);
  const uint64_t start = g_now.load();
  medium_.read_rotation = 0x200000;  // an eighth of a revolution
  Command read(Read10Cdb(1024, 32), 32 * kBlockSize);
  ASSERT_EQ(Run(read), 0u);
  // Seek: 10,000 µs at least. Then the grid (phase 0, 20,000 µs periods) and 2,500 µs of
  // rotation: start + 10,000 = 1,000,010,000 rounds up to 1,000,020,000.
  ASSERT_EQ(start % kPeriod, 0u);
  EXPECT_EQ(read.request.deadline, start + 20'000 + 2'500);
  EXPECT_EQ(device_->timing.phase, read.request.deadline);
}

struct RingHitCase {
  const char* name;
  int64_t phase_ahead;  // the rotation phase before the command, relative to its start
  uint16_t count;
  uint64_t deadline;    // relative to the start; 0 = none
  int64_t phase_after;  // relative to the start
};

class RingHitDeadline : public ScsiTest, public ::testing::WithParamInterface<RingHitCase> {};

TEST_P(RingHitDeadline, KeepsThePhaseOfAContinuousRead) {
  const RingHitCase& c = GetParam();
  AttachReady(kDvd, kPeriod);
  ASSERT_EQ(Run(Read10Cdb(1024, 32), 32 * kBlockSize), 0u);  // head at 1056
  const uint64_t start = g_now.load();
  device_->timing.phase = static_cast<uint64_t>(static_cast<int64_t>(start) + c.phase_ahead);
  // Consumed from the ring: an eighth of a revolution at the minimum period, 787 µs.
  medium_.read_rotation = kRingHit | 0x200000;
  Command hit(Read10Cdb(1056, c.count), c.count * kBlockSize);
  ASSERT_EQ(Run(hit), 0u);
  EXPECT_TRUE(device_->timing.ring_hit);
  EXPECT_EQ(hit.request.deadline, c.deadline == 0 ? 0 : start + c.deadline);
  EXPECT_EQ(static_cast<int64_t>(device_->timing.phase - start), c.phase_after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RingHitDeadline,
    ::testing::Values(
        // Behind the clock: no wait; the phase catches up by whole periods (6,303 µs).
        RingHitCase{"PhaseBehind", -1'000'000, 32, 0, -1'000'000 + 787 + 158 * 6303},
        // Ahead by the read itself: answer when the read would have ended.
        RingHitCase{"PhaseAheadByTheRead", 0, 32, 787, 787},
        // Far ahead: whole periods are given back down to the read's own share.
        RingHitCase{"PhaseFarAhead", 100'000, 32, 100'787 - 15 * 6303, 100'787 - 15 * 6303},
        // More than 128 sectors moved: one period less is given back.
        RingHitCase{"LongMoveFarAhead", 100'000, 160, 100'787 - 14 * 6303,
                    100'787 - 14 * 6303},
        // More than 4 s ahead: the phase is pulled back and nothing waits.
        RingHitCase{"PhaseBeyondFourSeconds", 5'000'000, 32, 0, 5'000'787 - 793 * 6303}),
    CaseName<RingHitCase>);

}  // namespace
}  // namespace imagepath
