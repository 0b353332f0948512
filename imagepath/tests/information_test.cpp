// The information, configuration and key commands against golden answers in the commands'
// wire layouts, on the shared fake medium and manual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "imagepath/tests/fake_medium.h"

namespace imagepath {
namespace {

// "00 1E 09 04" and "001E0904" alike: hex digit pairs, blanks ignored.
std::vector<uint8_t> Hex(std::string_view text) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char ch : text) {
    if (ch == ' ') continue;
    const int v = ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

std::vector<uint8_t> Cat(const std::vector<std::string_view>& parts) {
  std::vector<uint8_t> out;
  for (std::string_view p : parts) {
    const std::vector<uint8_t> bytes = Hex(p);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

std::string HexOf(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof(b), "%02X ", v);
    s += b;
  }
  return s;
}

constexpr uint32_t kNoMedium = 0;  // a case that attaches nothing
constexpr uint32_t kCssDvd = kDvd | kMediumCss;
constexpr uint32_t kDvdPlusRDualLayer = kMediumCdbForm | kMediumDvdPlusR | 1u << kMediumLayersShift;
constexpr uint32_t kBd = kMediumCdbForm | kMediumBdRom;

struct Reply {
  uint32_t result;
  std::vector<uint8_t> data;  // what the command moved
};

class InformationTest : public ScsiTest {
 protected:
  void Mount(uint32_t descriptor) {
    if (descriptor != kNoMedium) AttachReady(descriptor);
  }

  Reply Ask(const std::vector<uint8_t>& cdb, uint32_t buffer = 512) {
    Command c(cdb, buffer);
    const uint32_t r = Run(c);
    c.data.resize(c.request.data_length);
    return {r, c.data};
  }

  // A data-out command whose parameter data is `parameters`.
  uint32_t Send(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& parameters) {
    Command c(cdb, static_cast<uint32_t>(parameters.size()));
    c.data = parameters;
    return Run(c);
  }
};

// ---------------------------------------------------------------------------------------
// GET CONFIGURATION. Feature descriptors in MMC's layout: code, version/persistent/current,
// additional length, feature data.

constexpr std::string_view kProfilesNone = "0000 030C 0040 0000 0010 0000 0008 0000";
constexpr std::string_view kProfilesCd = "0000 030C 0040 0000 0010 0000 0008 0100";
constexpr std::string_view kProfilesDvd = "0000 030C 0040 0000 0010 0100 0008 0000";
constexpr std::string_view kProfilesBd = "0000 030C 0040 0100 0010 0000 0008 0000";
constexpr std::string_view kCore = "0001 0B08 00000002 01 000000";
constexpr std::string_view kMorphing = "0002 0704 02 000000";
constexpr std::string_view kRemovable = "0003 0704 39 000000";
constexpr std::string_view kRandomNone = "0010 0008 00000800 0001 00 00";
constexpr std::string_view kRandomCd = "0010 0108 00000800 0001 00 00";
constexpr std::string_view kRandomDvd = "0010 0108 00000800 0010 00 00";
constexpr std::string_view kRandomBd = "0010 0108 00000800 0020 00 00";
constexpr std::string_view kMultiRead = "001D 0000";
constexpr std::string_view kMultiReadNow = "001D 0100";
constexpr std::string_view kCdRead = "001E 0804 03 000000";
constexpr std::string_view kCdReadNow = "001E 0904 03 000000";
constexpr std::string_view kDvdRead = "001F 0804 01 00 03 00";
constexpr std::string_view kDvdReadNow = "001F 0904 01 00 03 00";
constexpr std::string_view kPlusRw = "002A 0004 00000000";
constexpr std::string_view kPlusR = "002B 0004 00000000";
constexpr std::string_view kPlusRwDl = "003A 0004 00000000";
constexpr std::string_view kPlusRDl = "003B 0004 00000000";
constexpr std::string_view kPlusRDlNow = "003B 0104 00000000";
constexpr std::string_view kBdRead =
    "0040 001C 00000000 0004 000000000000 0002 000000000000 0002 000000000000";
constexpr std::string_view kBdReadNow =
    "0040 011C 00000000 0004 000000000000 0002 000000000000 0002 000000000000";
constexpr std::string_view kPowerManagement = "0100 0300";
constexpr std::string_view kCdAudio = "0103 0004 04 00 0100";
constexpr std::string_view kCdAudioNow = "0103 0104 04 00 0100";
constexpr std::string_view kTimeout = "0105 0404 00000000";
constexpr std::string_view kCss = "0106 0004 000000 01";
constexpr std::string_view kCssNow = "0106 0104 000000 01";
constexpr std::string_view kStreaming = "0107 0C04 08 000000";
constexpr std::string_view kStreamingNow = "0107 0D04 08 000000";
constexpr std::string_view kCprm = "010B 0004 000000 01";

// The answer: header with the data length (4 + descriptors) and the current profile.
std::vector<uint8_t> FeatureAnswer(uint16_t profile, const std::vector<std::string_view>& list) {
  const std::vector<uint8_t> descriptors = Cat(list);
  std::vector<uint8_t> out(8, 0);
  PutBe32(out.data(), static_cast<uint32_t>(descriptors.size() + 4));
  PutBe16(out.data() + 6, profile);
  out.insert(out.end(), descriptors.begin(), descriptors.end());
  return out;
}

std::vector<uint8_t> GetConfigurationCdb(uint8_t rt, uint16_t start, uint16_t allocation) {
  return {0x46, rt, static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start), 0, 0, 0,
          static_cast<uint8_t>(allocation >> 8), static_cast<uint8_t>(allocation), 0};
}

struct FeatureCase {
  const char* name;
  uint32_t descriptor;
  uint8_t rt;
  uint16_t start;
  uint16_t profile;
  std::vector<std::string_view> features;
};

class GetConfiguration : public InformationTest,
                         public ::testing::WithParamInterface<FeatureCase> {};

TEST_P(GetConfiguration, ListsTheFeaturesOfTheMedium) {
  const FeatureCase& c = GetParam();
  Mount(c.descriptor);
  const Reply reply = Ask(GetConfigurationCdb(c.rt, c.start, 512));
  ASSERT_EQ(reply.result, kResultGood);
  const std::vector<uint8_t> expected = FeatureAnswer(c.profile, c.features);
  EXPECT_EQ(HexOf(reply.data), HexOf(expected));
  EXPECT_TRUE(medium_.Requests().empty()) << "the drive's own answer";
}

INSTANTIATE_TEST_SUITE_P(
    Table, GetConfiguration,
    ::testing::Values(
        FeatureCase{"NoMediumAll", kNoMedium, 0, 0, 0x0000,
                    {kProfilesNone, kCore, kMorphing, kRemovable, kRandomNone, kMultiRead, kCdRead,
                     kDvdRead, kPlusRw, kPlusR, kPlusRwDl, kPlusRDl, kBdRead, kPowerManagement,
                     kCdAudio, kTimeout, kCss, kStreaming, kCprm}},
        FeatureCase{"NoMediumCurrent", kNoMedium, 1, 0, 0x0000,
                    {kProfilesNone, kCore, kMorphing, kRemovable, kPowerManagement}},
        FeatureCase{"NoMediumOne", kNoMedium, 2, 0x0010, 0x0000, {kRandomNone}},
        FeatureCase{"CdFromPowerManagement", kCd, 0, 0x0100, 0x0008,
                    {kPowerManagement, kCdAudioNow, kTimeout, kCss, kStreaming, kCprm}},
        FeatureCase{"CdCurrent", kCd, 1, 0, 0x0008,
                    {kProfilesCd, kCore, kMorphing, kRemovable, kRandomCd, kMultiReadNow,
                     kCdReadNow, kPowerManagement, kCdAudioNow}},
        FeatureCase{"CdReadOnCd", kCd, 2, 0x001E, 0x0008, {kCdReadNow}},
        FeatureCase{"DvdFromPowerManagement", kDvd, 0, 0x0100, 0x0010,
                    {kPowerManagement, kCdAudio, kTimeout, kStreamingNow}},
        FeatureCase{"DvdCurrent", kDvd, 1, 0, 0x0010,
                    {kProfilesDvd, kCore, kMorphing, kRemovable, kRandomDvd, kDvdReadNow,
                     kPowerManagement, kStreamingNow}},
        FeatureCase{"CssDvdCurrent", kCssDvd, 1, 0x0100, 0x0010,
                    {kPowerManagement, kCssNow, kStreamingNow}},
        FeatureCase{"CdReadOnDvd", kDvd, 2, 0x001E, 0x0010, {kCdRead}},
        FeatureCase{"DualLayerPlusRFromPlusRw", kDvdPlusRDualLayer, 0, 0x002A, 0x0010,
                    {kPlusRw, kPlusR, kPlusRwDl, kPlusRDlNow, kBdRead, kPowerManagement, kCdAudio,
                     kTimeout, kStreamingNow}},
        FeatureCase{"DualLayerPlusRCurrent", kDvdPlusRDualLayer, 1, 0, 0x0010,
                    {kProfilesDvd, kCore, kMorphing, kRemovable, kRandomDvd, kDvdReadNow,
                     kPlusRDlNow, kPowerManagement, kStreamingNow}},
        FeatureCase{"PlusROnDualLayer", kDvdPlusRDualLayer, 2, 0x002B, 0x0010, {kPlusR}},
        FeatureCase{"BdAll", kBd, 0, 0, 0x0040,
                    {kProfilesBd, kCore, kMorphing, kRemovable, kRandomBd, kMultiRead, kCdRead,
                     kDvdRead, kPlusRw, kPlusR, kPlusRwDl, kPlusRDl, kBdReadNow, kPowerManagement,
                     kCdAudio, kTimeout, kCss, kStreaming, kCprm}},
        FeatureCase{"BdCurrent", kBd, 1, 0, 0x0040,
                    {kProfilesBd, kCore, kMorphing, kRemovable, kRandomBd, kBdReadNow,
                     kPowerManagement}},
        FeatureCase{"BdUnknownFeature", kBd, 2, 0x0050, 0x0040, {}}),
    CaseName<FeatureCase>);

TEST_F(InformationTest, GetConfigurationStopsAtTheAllocationLength) {
  AttachReady(kCd);
  const std::vector<uint8_t> full = Ask(GetConfigurationCdb(0, 0, 512)).data;
  ASSERT_GT(full.size(), 40u);
  for (uint16_t allocation : {0, 6, 8, 30}) {
    Command c(GetConfigurationCdb(0, 0, allocation), 512);
    ASSERT_EQ(Run(c), kResultGood);
    EXPECT_EQ(c.request.data_length, allocation);
    EXPECT_EQ(std::memcmp(c.data.data(), full.data(), allocation), 0) << allocation;
    EXPECT_EQ(c.data[allocation], 0xEE) << "nothing past the allocation length";
  }
}

// ---------------------------------------------------------------------------------------
// MODE SENSE(10) / MODE SELECT(10).

struct PageCase {
  const char* name;
  uint8_t code;
  std::string_view current;  // with the device state the test sets
  std::string_view changeable;
  std::string_view defaults;
};

const PageCase kPages[] = {
    {"ReadErrorRecovery", 0x01, "010A 0001 00000000 00000000", "010A 00000000 00000000 0000",
     "010A 0001 00000000 00000000"},
    {"Caching", 0x08, "080A 04 00000000 00000000 00", "080A 05 00000000 00000000 00",
     "080A 00 00000000 00000000 00"},
    {"CdParameters", 0x0D, "0D06 0000 003C 004B", "0D06 0000 0000 0000", "0D06 0000 003C 004B"},
    {"AudioControl", 0x0E, "0E0E 04 00000000 00 01FF 02FF 00FF 0380",
     "0E0E 00 00000000 00 FFFF FFFF FFFF FFFF", "0E0E 04 00000000 00 01FF 02FF 00FF 00FF"},
    {"PowerCondition", 0x1A, "1A0A 00 02 00001234 00000000", "1A0A 00 03 FFFFFFFF FFFFFFFF",
     "1A0A 00 00 00000000 00000000"},
    {"TimeoutProtect", 0x1D, "1D0A 0000 0000 0005 001E 0000", "1D0A 0000 0000 0000 0000 0000",
     "1D0A 0000 0000 0005 001E 0000"},
    // A DVD: 22,160 kB/s maximum and current speed; the device's 2,048 KB buffer.
    {"Capabilities", 0x2A,
     "2A1C 1F00 717F 2923 5690 0100 0800 5690 0000 0000 0000 0001 0000 0001 0000",
     "2A1C 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000",
     "2A1C 1F00 717F 2923 2113 0100 0080 2113 0000 0000 0000 0001 0000 0001 0000"},
};

std::vector<uint8_t> ModeSenseCdb(uint8_t pc, uint8_t code, uint16_t allocation = 512) {
  return {0x5A, 0, static_cast<uint8_t>(pc << 6 | code), 0, 0, 0, 0,
          static_cast<uint8_t>(allocation >> 8), static_cast<uint8_t>(allocation), 0};
}

// Header: mode data length, medium type, no block descriptors.
std::vector<uint8_t> ModeAnswer(uint8_t medium_type, const std::vector<uint8_t>& pages) {
  // Sized once: gcc 12 misreads a vector grown past its 8 bytes by insert as out of bounds.
  std::vector<uint8_t> out(8 + pages.size(), 0);
  PutBe16(out.data(), static_cast<uint32_t>(pages.size() + 6));
  out[2] = medium_type;
  std::copy(pages.begin(), pages.end(), out.begin() + 8);
  return out;
}

class ModeSense : public InformationTest, public ::testing::WithParamInterface<PageCase> {
 protected:
  // Device state that shows in the current values of the pages that carry any.
  void SetDeviceState() {
    device_->write_cache_enabled = 1;
    device_->audio_control[6] = 0x03;  // port 3 on channel 3 at half volume
    device_->audio_control[7] = 0x80;
    device_->idle_enabled = 1;
    device_->idle_timer = 0x1234;
  }
};

constexpr uint8_t kDvdRomType = 0x41;

TEST_P(ModeSense, AnswersEachPageControl) {
  AttachReady(kDvd);
  SetDeviceState();
  const PageCase& c = GetParam();
  struct {
    uint8_t pc;
    std::string_view page;
  } const controls[] = {{0, c.current}, {1, c.changeable}, {2, c.defaults}};
  for (const auto& control : controls) {
    const Reply reply = Ask(ModeSenseCdb(control.pc, c.code));
    ASSERT_EQ(reply.result, kResultGood) << "page control " << int{control.pc};
    EXPECT_EQ(HexOf(reply.data), HexOf(ModeAnswer(kDvdRomType, Hex(control.page))))
        << "page control " << int{control.pc};
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ModeSense, ::testing::ValuesIn(kPages), CaseName<PageCase>);

TEST_F(InformationTest, ModeSenseAllPagesInTableOrderAndStopsAtTheAllocationLength) {
  AttachReady(kDvd);
  std::vector<uint8_t> defaults;
  for (const PageCase& p : kPages) {
    const std::vector<uint8_t> page = Hex(p.defaults);
    defaults.insert(defaults.end(), page.begin(), page.end());
  }
  const std::vector<uint8_t> expected = ModeAnswer(kDvdRomType, defaults);
  ASSERT_EQ(expected.size(), 8u + 102u);
  EXPECT_EQ(HexOf(Ask(ModeSenseCdb(2, 0x3F)).data), HexOf(expected));
  for (uint16_t allocation : {4, 8, 50}) {
    const Reply reply = Ask(ModeSenseCdb(2, 0x3F, allocation));
    ASSERT_EQ(reply.result, kResultGood);
    EXPECT_EQ(HexOf(reply.data),
              HexOf(std::vector<uint8_t>(expected.begin(), expected.begin() + allocation)));
  }
}

TEST_F(InformationTest, ModeSenseRefusesSavedValuesAndUnknownPages) {
  EXPECT_EQ(Ask(ModeSenseCdb(3, 0x2A)).result, kResultInvalidField);
  EXPECT_EQ(Sense(), sense::kSavingNotSupported);
  EXPECT_EQ(Ask(ModeSenseCdb(0, 0x05)).result, kResultInvalidField);
  EXPECT_EQ(Sense(), sense::kInvalidFieldInCdb);
}

TEST_F(InformationTest, CapabilitiesPageOfABdAndWithoutAMediumReportsTheBdSpeed) {
  for (uint32_t descriptor : {kNoMedium, kBd}) {
    Mount(descriptor);
    const Reply reply = Ask(ModeSenseCdb(0, 0x2A));
    ASSERT_EQ(reply.result, kResultGood);
    ASSERT_EQ(reply.data.size(), 8u + 30u);
    EXPECT_EQ(Be16(reply.data.data() + 8 + 8), 53940u);
    EXPECT_EQ(Be16(reply.data.data() + 8 + 14), 53940u);
  }
}

struct MediumTypeCase {
  const char* name;
  uint32_t descriptor;
  bool eject;
  uint8_t type;
};

class ModeMediumType : public InformationTest,
                       public ::testing::WithParamInterface<MediumTypeCase> {};

TEST_P(ModeMediumType, FollowsTheMediumAndTheTray) {
  Mount(GetParam().descriptor);
  if (GetParam().eject) {
    ASSERT_EQ(Run({0x1B, 0, 0, 0, 0x02, 0}), kResultGood);
  }
  const Reply reply = Ask(ModeSenseCdb(0, 0x01));
  ASSERT_EQ(reply.result, kResultGood);
  EXPECT_EQ(reply.data[2], GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModeMediumType,
    ::testing::Values(
        MediumTypeCase{"NoMediumTrayClosed", kNoMedium, false, 0x70},
        MediumTypeCase{"TrayOpen", kCd, true, 0x71},
        MediumTypeCase{"CdRomData", kCd, false, 0x01},
        MediumTypeCase{"CdRomAudio", kCd | kMediumCdAudio, false, 0x02},
        MediumTypeCase{"CdRMixed", kMediumCdbForm | kMediumCdR | kMediumCdAudioAndData, false,
                       0x13},
        MediumTypeCase{"CdRwInteractive", kMediumCdbForm | kMediumCdRw | kMediumCdInteractive,
                       false, 0x24},
        MediumTypeCase{"DvdRom", kDvd, false, 0x41},
        MediumTypeCase{"DvdPlusRw", kMediumCdbForm | kMediumDvdPlusRw, false, 0x41},
        MediumTypeCase{"Bd", kBd, false, 0x00}),
    CaseName<MediumTypeCase>);

constexpr std::string_view kNoBlockDescriptors = "0000 00 00 0000 0000";

std::vector<uint8_t> ModeSelectCdb(uint16_t list_length, uint8_t byte1 = 0x10) {
  return {0x55, byte1, 0, 0, 0, 0, 0, static_cast<uint8_t>(list_length >> 8),
          static_cast<uint8_t>(list_length), 0};
}

struct SelectCase {
  const char* name;
  std::vector<std::string_view> parameters;
  uint32_t list_length;  // 0: the parameters' size
  SenseCode refusal;     // key 0: accepted
  uint8_t page;          // read back with MODE SENSE (current values) when accepted
  std::string_view after;
};

class ModeSelect : public InformationTest, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(ModeSelect, ChangesOnlyChangeableFields) {
  AttachReady(kDvd);
  const SelectCase& c = GetParam();
  const std::vector<uint8_t> parameters = Cat(c.parameters);
  const uint32_t length =
      c.list_length != 0 ? c.list_length : static_cast<uint32_t>(parameters.size());
  const std::vector<uint8_t> before = Ask(ModeSenseCdb(0, 0x3F)).data;

  const uint32_t r = Send(ModeSelectCdb(static_cast<uint16_t>(length)), parameters);
  if (c.refusal.key != 0) {
    EXPECT_EQ(r, kResultInvalidField);
    EXPECT_EQ(Sense(), c.refusal);
    EXPECT_EQ(HexOf(Ask(ModeSenseCdb(0, 0x3F)).data), HexOf(before)) << "nothing changed";
    return;
  }
  ASSERT_EQ(r, kResultGood);
  EXPECT_EQ(HexOf(Ask(ModeSenseCdb(0, c.page)).data),
            HexOf(ModeAnswer(kDvdRomType, Hex(c.after))));
}

const SenseCode kListError = sense::kParameterListLength;
const SenseCode kBadParameter = sense::kInvalidFieldInParameters;

INSTANTIATE_TEST_SUITE_P(
    Table, ModeSelect,
    ::testing::Values(
        SelectCase{"CachingWriteCache",
                   {kNoBlockDescriptors, "080A 04 00000000 00000000 00"}, 0, {}, 0x08,
                   "080A 04 00000000 00000000 00"},
        SelectCase{"PowerTimers", {kNoBlockDescriptors, "1A0A 00 03 00000064 000000C8"}, 0, {},
                   0x1A, "1A0A 00 03 00000064 000000C8"},
        SelectCase{"AudioVolumes",
                   {kNoBlockDescriptors, "0E0E 04 00000000 00 0280 01FF 00FF 0F10"}, 0, {}, 0x0E,
                   "0E0E 04 00000000 00 0280 01FF 00FF 0F10"},
        SelectCase{"WithBlockDescriptorAndTwoPages",
                   {"0000 00 00 0000 0008", "00 000000 00 000800",
                    "080A 01 00000000 00000000 00", "1A0A 00 01 00000000 00000005"},
                   0, {}, 0x08, "080A 01 00000000 00000000 00"},
        SelectCase{"CdParametersHaveNothingChangeable",
                   {kNoBlockDescriptors, "0D06 0000 003C 0096"}, 0, kListError},
        SelectCase{"CachingNonChangeableBit",
                   {kNoBlockDescriptors, "080A 04 01000000 00000000 000000"}, 0, kListError},
        SelectCase{"CapabilitiesSpeed",
                   {kNoBlockDescriptors,
                    "2A1C 1F00 717F 2923 5690 0100 0800 2113 0000 0000 0000 0001 0000 0001 0000"},
                   0, kListError},
        SelectCase{"AudioChannelAbove15",
                   {kNoBlockDescriptors, "0E0E 04 00000000 00 10FF 02FF 00FF 00FF"}, 0,
                   kBadParameter},
        SelectCase{"BlockLengthOtherThan2048",
                   {"0000 00 00 0000 0008", "00 000000 00 000200"}, 0, kBadParameter},
        SelectCase{"HeaderByte6", {"0000 00 00 0000 0100"}, 0, kBadParameter},
        SelectCase{"UnknownPage", {kNoBlockDescriptors, "050A 00000000 00000000 0000"}, 0,
                   kListError},
        SelectCase{"PageLengthOtherThanTheTables",
                   {kNoBlockDescriptors, "080B 04 00000000 00000000 00000000"}, 0, kListError},
        SelectCase{"PageCutByTheListLength",
                   {kNoBlockDescriptors, "080A 04 00000000 00000000 00"}, 16, kListError},
        SelectCase{"ListShorterThanTheHeader", {kNoBlockDescriptors}, 4, kListError},
        SelectCase{"ListLongerThanTheData", {kNoBlockDescriptors}, 20, kListError}),
    CaseName<SelectCase>);

// ---------------------------------------------------------------------------------------
// GET EVENT STATUS NOTIFICATION and MECHANISM STATUS.

std::vector<uint8_t> EventCdb(uint8_t classes, uint16_t allocation = 8) {
  return {0x4A, 1, 0, 0, classes, 0, 0, static_cast<uint8_t>(allocation >> 8),
          static_cast<uint8_t>(allocation), 0};
}

constexpr uint8_t kOperational = 0x02;
constexpr uint8_t kPower = 0x04;
constexpr uint8_t kMedia = 0x10;
constexpr uint8_t kBusy = 0x40;

TEST_F(InformationTest, EventsFollowAMountAndAnUnmountAndAreReportedOnce) {
  struct Step {
    const char* what;
    std::vector<uint8_t> cdb;
    std::string_view answer;
  };
  const auto poll = [&](const Step& s) {
    const Reply reply = Ask(s.cdb);
    EXPECT_EQ(reply.result, kResultGood) << s.what;
    EXPECT_EQ(HexOf(reply.data), HexOf(Hex(s.answer))) << s.what;
  };
  poll({"no supported class", EventCdb(0x01 | 0x08), "0002 80 56"});
  poll({"empty closed drive", EventCdb(kMedia), "0006 04 56 00 00 0000"});
  poll({"busy event of a new device", EventCdb(kBusy), "0006 06 56 01 00 0000"});
  poll({"busy event reported", EventCdb(kBusy), "0006 06 56 00 00 0000"});

  ASSERT_EQ(Attach(kDvd), 0u);
  poll({"header only keeps the event", EventCdb(kMedia, 4), "0006 0456"});
  poll({"new media", EventCdb(kMedia), "0006 04 56 02 02 0000"});
  poll({"new media reported", EventCdb(kMedia), "0006 04 56 00 02 0000"});
  ASSERT_EQ(Run({0x00}), kResultMediumChanged);
  ASSERT_EQ(Run({0x1E, 0, 0, 0, 3, 0}), kResultGood);  // persistent prevent
  poll({"operational change first", EventCdb(kOperational | kPower | kMedia),
        "0006 01 56 02 80 0001"});
  poll({"nothing pending: first class asked", EventCdb(kMedia | kOperational),
        "0006 01 56 00 80 0000"});
  ASSERT_EQ(Run({0x1E, 0, 0, 0, 2, 0}), kResultGood);
  ASSERT_EQ(Run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8), kResultGood);  // spins the drive up
  poll({"power change", EventCdb(kPower | kMedia), "0006 02 56 01 01 0000"});

  ASSERT_EQ(DetachMedium(device_, nullptr, nullptr, false), 0u);
  poll({"removal with the tray out", EventCdb(kMedia | kBusy), "0006 04 56 03 01 0000"});
  poll({"removal reported", EventCdb(kMedia), "0006 04 56 00 01 0000"});
}

std::vector<uint8_t> MechanismCdb(uint16_t allocation = 8) {
  return {0xBD, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(allocation >> 8),
          static_cast<uint8_t>(allocation), 0, 0};
}

TEST_F(InformationTest, MechanismStatusFollowsTheTrayAndTheHead) {
  // Changer state, mechanism state with door bit, head LBA, no slots.
  EXPECT_EQ(HexOf(Ask(MechanismCdb()).data), HexOf(Hex("60 E0 000000 00 0000")));
  AttachReady(kDvd);
  ASSERT_EQ(Run(Read10Cdb(0x1234, 2), 2 * kBlockSize), kResultGood);
  EXPECT_EQ(HexOf(Ask(MechanismCdb()).data), HexOf(Hex("00 00 001236 00 0000")));
  EXPECT_EQ(HexOf(Ask(MechanismCdb(4)).data), HexOf(Hex("00 00 0012")));

  ASSERT_EQ(Run({0x1B, 1, 0, 0, 0x02, 0}), kResultGood);  // eject, Immed: the tray moves
  EXPECT_EQ(HexOf(Ask(MechanismCdb()).data), HexOf(Hex("40 10 001236 00 0000")));
  Advance(1'100'000);
  ASSERT_EQ(Run({0x1B, 0, 0, 0, 0x02, 0}), kResultGood);
  EXPECT_EQ(HexOf(Ask(MechanismCdb()).data), HexOf(Hex("60 F0 001236 00 0000")));
}

// ---------------------------------------------------------------------------------------
// REPORT LUNS, SEND DIAGNOSTIC, READ TOC.

TEST_F(InformationTest, ReportLunsListsLunZero) {
  const Reply all = Ask({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0});
  EXPECT_EQ(HexOf(all.data), HexOf(Hex("00000008 00000000 0000000000000000")));
  const Reply well_known = Ask({0xA0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0});
  EXPECT_EQ(HexOf(well_known.data), HexOf(Hex("00000000 00000000")));
  EXPECT_EQ(Ask({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 15, 0, 0}).result, kResultInvalidField);
  EXPECT_EQ(Sense(), sense::kInvalidFieldInCdb);
}

TEST_F(InformationTest, SendDiagnosticStopsPlayOnlyForItsOwnParameters) {
  AttachReady(kCd);  // 100,000 sectors
  const std::vector<uint8_t> cdb = {0x1D, 0x17, 0, 0, 0, 0};
  EXPECT_EQ(Send(cdb, Hex("00 A0 0008 000186A0 0000 02 00")), kResultGood);
  EXPECT_EQ(Send(cdb, Hex("00 A0 0008 000186A1 0000 02 00")), kResultInvalidField);
  EXPECT_EQ(Sense(), sense::kInvalidFieldInParameters);
  EXPECT_EQ(Send(cdb, Hex("00 40 0008 000186A0 0000 02 00")), kResultInvalidField);
  EXPECT_EQ(Sense(), sense::kInvalidFieldInParameters);
  EXPECT_EQ(Send(cdb, Hex("00 A0 0008 000186A0")), kResultFailure);
  EXPECT_EQ(Sense(), sense::kDataPhaseError);
}

TEST_F(InformationTest, ReadTocInLbaFormIsTheTocReadAtAttach) {
  AttachReady(kCd);
  const std::vector<uint8_t> toc = FakeMedium::Toc(1, 100'000);
  const Reply from_track_0 = Ask({0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0});
  ASSERT_EQ(from_track_0.result, kResultGood);
  EXPECT_EQ(HexOf(from_track_0.data), HexOf(toc));
  const Reply short_allocation = Ask({0x43, 0, 0, 0, 0, 0, 1, 0, 12, 0});
  EXPECT_EQ(HexOf(short_allocation.data),
            HexOf(std::vector<uint8_t>(toc.begin(), toc.begin() + 12)));
  EXPECT_TRUE(medium_.Requests().empty());

  // The old format field in the control byte: format 2 (full TOC) is the medium's.
  const std::vector<uint8_t> full_toc = {0x43, 0, 0, 0, 0, 0, 1, 0, 12, 0x80};
  EXPECT_EQ(Ask(full_toc).result, kResultGood);
  ASSERT_EQ(medium_.Requests().size(), 1u);
  EXPECT_EQ(std::memcmp(medium_.Requests()[0].cdb, full_toc.data(), full_toc.size()), 0);
  EXPECT_EQ(medium_.Requests()[0].byte_count, 12u) << "cut to the allocation length";
}

// A mixed-mode disc (a data track, then three audio tracks) asked one track at a time in LBA
// form: each answer starts at its starting track, as the medium's MSF answer does.
TEST_F(InformationTest, ReadTocInLbaFormStartsAtTheStartingTrack) {
  const std::vector<uint8_t> toc = Hex(
      "002A 01 04  00 14 01 00 00000000  00 10 02 00 00001F40  00 10 03 00 00002EE0"
      "  00 10 04 00 00003A98  00 10 AA 00 00004650");
  Canned answer;
  answer.data = toc;
  medium_.canned[0x43] = answer;
  AttachReady(kCd, 0, 18'000);
  medium_.canned.clear();

  struct Case {
    uint8_t from;
    uint16_t allocation;
    const char* answer;
  };
  const Case cases[] = {
      // 0 and 1 give the whole TOC, as before.
      {0, 804, "002A 01 04  00 14 01 00 00000000  00 10 02 00 00001F40  00 10 03 00 00002EE0"
               "  00 10 04 00 00003A98  00 10 AA 00 00004650"},
      {1, 804, "002A 01 04  00 14 01 00 00000000  00 10 02 00 00001F40  00 10 03 00 00002EE0"
               "  00 10 04 00 00003A98  00 10 AA 00 00004650"},
      {1, 12, "002A 01 04  00 14 01 00 00000000"},
      {2, 804, "0022 01 04  00 10 02 00 00001F40  00 10 03 00 00002EE0"
               "  00 10 04 00 00003A98  00 10 AA 00 00004650"},
      // How a CD driver reads one entry per track.
      {2, 12, "0022 01 04  00 10 02 00 00001F40"},
      {3, 12, "001A 01 04  00 10 03 00 00002EE0"},
      {4, 804, "0012 01 04  00 10 04 00 00003A98  00 10 AA 00 00004650"},
      {0xAA, 804, "000A 01 04  00 10 AA 00 00004650"},
      {0xAA, 2, "000A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "starting track " << int{c.from} << ", allocation "
                                    << c.allocation);
    const Reply reply = Ask({0x43, 0, 0, 0, 0, 0, c.from, static_cast<uint8_t>(c.allocation >> 8),
                             static_cast<uint8_t>(c.allocation), 0});
    ASSERT_EQ(reply.result, kResultGood);
    EXPECT_EQ(HexOf(reply.data), HexOf(Hex(c.answer)));
  }
  EXPECT_TRUE(medium_.Requests().empty()) << "all from the TOC read at attach";

  for (uint8_t past : {uint8_t{5}, uint8_t{0x63}, uint8_t{0xA9}, uint8_t{0xFF}}) {
    EXPECT_EQ(Ask({0x43, 0, 0, 0, 0, 0, past, 0, 12, 0}).result, kResultInvalidField)
        << int{past};
    EXPECT_EQ(Sense(), sense::kInvalidFieldInCdb);
  }
}

// ---------------------------------------------------------------------------------------
// REPORT KEY and SEND KEY.

std::vector<uint8_t> ReportKeyCdb(uint8_t format, uint16_t allocation = 8) {
  return {0xA4, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(allocation >> 8),
          static_cast<uint8_t>(allocation), format, 0};
}

TEST_F(InformationTest, ReportKeyRpcStateIsTheDrivesOwnWithoutAMedium) {
  // A target's drive is set to region 1: RPC state 0x64, mask 0xFE, RPC scheme 1.
  EXPECT_EQ(HexOf(Ask(ReportKeyCdb(0x08)).data), HexOf(Hex("0006 0000 64 FE 01 00")));
  EXPECT_EQ(HexOf(Ask(ReportKeyCdb(0x08, 5)).data), HexOf(Hex("0006 0000 64")));
  ASSERT_EQ(SetRegion(device_, 0), 0u);
  EXPECT_EQ(HexOf(Ask(ReportKeyCdb(0x08)).data), HexOf(Hex("0006 0000 25 FF 01 00")));

  EXPECT_EQ(Ask(ReportKeyCdb(0x00)).result, kResultNoMedium);
  EXPECT_EQ(Sense(), sense::kNotPresentTrayClosed);
  EXPECT_TRUE(medium_.Requests().empty());
}

TEST_F(InformationTest, ReportKeyOtherFormatsNeedADvdAndGoToTheMedium) {
  AttachReady(kCd);
  EXPECT_EQ(Ask(ReportKeyCdb(0x04)).result, kResultInvalidField);
  EXPECT_EQ(Sense(), sense::kIncompatibleMedium);
  EXPECT_TRUE(medium_.Requests().empty());
  ASSERT_EQ(DetachMedium(device_, nullptr, nullptr, true), 0u);
  AttachReady(kCssDvd);
  std::vector<uint8_t> title_key = ReportKeyCdb(0x04, 12);
  PutBe32(title_key.data() + 2, 500);
  EXPECT_EQ(Ask(title_key).result, kResultGood);
  ASSERT_EQ(medium_.Requests().size(), 1u);
  EXPECT_EQ(std::memcmp(medium_.Requests()[0].cdb, title_key.data(), title_key.size()), 0);
  EXPECT_EQ(device_->mechanism, mechanism::kIdle) << "the access begun for the key ended";
}

struct RegionCase {
  const char* name;
  uint32_t descriptor;
  uint8_t rpc_state, region_mask;  // before
  std::string_view parameters;
  SenseCode refusal;               // key 0: accepted
  uint8_t rpc_after, mask_after;
};

class SendKeyRegion : public InformationTest, public ::testing::WithParamInterface<RegionCase> {
 protected:
  static void OnRegion(void* user_data, uint8_t mask) {
    static_cast<SendKeyRegion*>(static_cast<ScsiTest*>(user_data))->notified_.push_back(mask);
  }
  std::vector<uint8_t> notified_;
};

constexpr uint32_t Region(uint8_t disc_region_byte) {
  return static_cast<uint32_t>(disc_region_byte) << kMediumRegionShift;
}

TEST_P(SendKeyRegion, FollowsTheRegionRules) {
  const RegionCase& c = GetParam();
  device_->region_callback = OnRegion;
  AttachReady(c.descriptor);
  device_->rpc_state = c.rpc_state;
  device_->region_mask = c.region_mask;
  const uint32_t r = Send({0xA3, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x06, 0}, Hex(c.parameters));
  if (c.refusal.key != 0) {
    EXPECT_EQ(r, kResultInvalidField);
    EXPECT_EQ(Sense(), c.refusal);
  } else {
    EXPECT_EQ(r, kResultGood);
  }
  EXPECT_EQ(HexOf({device_->rpc_state, device_->region_mask}),
            HexOf({c.rpc_after, c.mask_after}));
  const bool changed = c.rpc_after != c.rpc_state || c.mask_after != c.region_mask;
  EXPECT_EQ(notified_, changed ? std::vector<uint8_t>{c.mask_after} : std::vector<uint8_t>{});
  EXPECT_TRUE(medium_.Requests().empty()) << "the drive's own setting";
}

constexpr uint32_t kCssRegion2 = kCssDvd | Region(0xFD);
INSTANTIATE_TEST_SUITE_P(
    Table, SendKeyRegion,
    ::testing::Values(
        // Never set: any DVD, no disc check, five changes become four.
        RegionCase{"FirstSetting", kDvd, 0x25, 0xFF, "0006 0000 F7 000000", {}, 0x64, 0xF7},
        RegionCase{"SameRegion", kDvd, 0x64, 0xFE, "0006 0000 FE 000000", {}, 0x64, 0xFE},
        RegionCase{"ChangeOnACssDisc", kCssRegion2, 0x64, 0xFE, "0006 0000 FD 000000", {}, 0x63,
                   0xFD},
        RegionCase{"SecondToLastChange", kCssRegion2, 0x62, 0xFE, "0006 0000 FD 000000", {}, 0xA1,
                   0xFD},
        RegionCase{"LastChangeToTheDiscsRegion", kCssRegion2, 0xA1, 0xFE, "0006 0000 FD 000000",
                   {}, 0xE0, 0xFD},
        RegionCase{"LastChangeToAnotherRegionOfTheDisc", kCssDvd | Region(0xFC), 0xA1, 0xFE,
                   "0006 0000 FD 000000", {sense::kKeyIllegalRequest, 0x6F, 0x04}, 0xA1, 0xFE},
        RegionCase{"DiscNotPlayableThere", kCssRegion2, 0x64, 0xFD, "0006 0000 FE 000000",
                   {sense::kKeyIllegalRequest, 0x6F, 0x04}, 0x64, 0xFD},
        RegionCase{"NoChangesLeft", kCssRegion2, 0xE0, 0xFE, "0006 0000 FD 000000",
                   {sense::kKeyIllegalRequest, 0x6F, 0x05}, 0xE0, 0xFE},
        RegionCase{"NotACssDisc", kDvd | Region(0xFD), 0x64, 0xFE, "0006 0000 FD 000000",
                   sense::kIncompatibleMedium, 0x64, 0xFE},
        RegionCase{"TwoRegions", kCssRegion2, 0x25, 0xFF, "0006 0000 FC 000000",
                   sense::kInvalidFieldInParameters, 0x25, 0xFF},
        RegionCase{"NoRegion", kCssRegion2, 0x25, 0xFF, "0006 0000 FF 000000",
                   sense::kInvalidFieldInParameters, 0x25, 0xFF},
        RegionCase{"ShortDataLength", kCssRegion2, 0x25, 0xFF, "0002 0000 FD 000000",
                   sense::kInvalidFieldInParameters, 0x25, 0xFF},
        RegionCase{"CdMedium", kCd, 0x25, 0xFF, "0006 0000 FD 000000", sense::kIncompatibleMedium,
                   0x25, 0xFF}),
    CaseName<RegionCase>);

TEST_F(InformationTest, SendKeyOtherFormatsCarryTheirDataToTheMedium) {
  AttachReady(kCssDvd);
  const std::vector<uint8_t> cdb = {0xA3, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0x01, 0};
  EXPECT_EQ(Send(cdb, std::vector<uint8_t>(16, 0x5A)), kResultGood);
  ASSERT_EQ(medium_.Requests().size(), 1u);
  const Recorded sent = medium_.Requests()[0];
  EXPECT_EQ(std::memcmp(sent.cdb, cdb.data(), cdb.size()), 0);
  EXPECT_EQ(sent.byte_count, 16u);
  EXPECT_TRUE(sent.flags & kRequestToMedium);
}

// ---------------------------------------------------------------------------------------
// Refusals.

struct RefusalCase {
  const char* name;
  std::vector<uint8_t> cdb;
  uint32_t result;
  SenseCode sense;
};

class Refusals : public InformationTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, AnswerWithTheirSenseBeforeTheMedium) {
  AttachReady(kDvd);
  EXPECT_EQ(Ask(GetParam().cdb, 64).result, GetParam().result);
  EXPECT_EQ(Sense(), GetParam().sense);
  EXPECT_TRUE(medium_.Requests().empty());
}

const SenseCode kInvalid = sense::kInvalidFieldInCdb;
INSTANTIATE_TEST_SUITE_P(
    Table, Refusals,
    ::testing::Values(
        RefusalCase{"GetConfigurationRt3", {0x46, 3, 0, 0, 0, 0, 0, 0, 64, 0}, 1, kInvalid},
        RefusalCase{"GetConfigurationReservedByte", {0x46, 0, 0, 0, 1, 0, 0, 0, 64, 0}, 1, kInvalid},
        RefusalCase{"ModeSenseLlbaa", {0x5A, 0x10, 0x3F, 0, 0, 0, 0, 0, 64, 0}, 1, kInvalid},
        RefusalCase{"ModeSenseSubpage", {0x5A, 0, 0x2A, 1, 0, 0, 0, 0, 64, 0}, 1, kInvalid},
        RefusalCase{"ModeSelectSavePages", {0x55, 0x11, 0, 0, 0, 0, 0, 0, 8, 0}, 1, kInvalid},
        RefusalCase{"ModeSelectListBelowTheHeader", {0x55, 0x10, 0, 0, 0, 0, 0, 0, 7, 0}, 1,
                    kListError},
        RefusalCase{"EventStatusAsynchronous", {0x4A, 0, 0, 0, 0x10, 0, 0, 0, 8, 0}, 1, kInvalid},
        RefusalCase{"MechanismStatusReserved", {0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 8, 1, 0}, 1,
                    kInvalid},
        RefusalCase{"ReportLunsSelectReport3", {0xA0, 0, 3, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 1,
                    kInvalid},
        RefusalCase{"SendDiagnosticDefaultSelfTest", {0x1D, 0x04, 0, 0, 0, 0}, 1, kInvalid},
        RefusalCase{"ReadTocPma", {0x43, 0, 3, 0, 0, 0, 0, 0, 64, 0}, 1, kInvalid},
        RefusalCase{"ReadTocTwoFormatFields", {0x43, 0, 1, 0, 0, 0, 0, 0, 64, 0x40}, 1, kInvalid},
        RefusalCase{"ReadTocTimeFlagOtherBit", {0x43, 0x01, 0, 0, 0, 0, 0, 0, 64, 0}, 1, kInvalid},
        RefusalCase{"ReadDiscInformationDataType", {0x51, 1, 0, 0, 0, 0, 0, 0, 64, 0}, 1, kInvalid},
        RefusalCase{"ReadTrackInformationOpenBit", {0x52, 4, 0, 0, 0, 1, 0, 0, 64, 0}, 1, kInvalid},
        RefusalCase{"ReadDiscStructureMediaType", {0xAD, 2, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0}, 1,
                    kInvalid},
        RefusalCase{"ReportKeyUnknownFormat", {0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x03, 0}, 1,
                    kInvalid},
        RefusalCase{"ReportKeyKeyClass", {0xA4, 0, 0, 0, 0, 0, 0, 1, 0, 8, 0x08, 0}, 1, kInvalid},
        RefusalCase{"SendKeyUnknownFormat", {0xA3, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x02, 0}, 1,
                    kInvalid}),
    CaseName<RefusalCase>);

TEST_F(InformationTest, DiscStructureAndKeysWithoutAMediumSayWhereTheTrayIs) {
  AttachReady(kDvd);
  ASSERT_EQ(Run({0x1B, 0, 0, 0, 0x02, 0}), kResultGood);  // eject
  EXPECT_EQ(Ask({0xAD, 0, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0}).result, kResultNoMedium);
  EXPECT_EQ(Sense(), sense::kNotPresentTrayOpen);
  EXPECT_EQ(Ask(ReportKeyCdb(0x01)).result, kResultNoMedium);
  EXPECT_EQ(Sense(), sense::kNotPresentTrayOpen);
  EXPECT_EQ(Ask(ReportKeyCdb(0x08)).result, kResultGood);
  EXPECT_TRUE(medium_.Requests().empty());
}

}  // namespace
}  // namespace imagepath
