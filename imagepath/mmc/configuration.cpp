// The drive's own description: GET CONFIGURATION from a fixed feature table filtered by what
// the medium is, and MODE SENSE(10) / MODE SELECT(10) over a fixed set of mode pages of
// which a few fields are the device's state.
#include <algorithm>
#include <array>
#include <cstring>

#include "imagepath/mmc/handlers.h"
#include "imagepath/mmc/records.h"
#include "imagepath/scsi_device.h"

namespace imagepath::mmc {
namespace {

// ---------------------------------------------------------------------------------------
// Medium mask: one bit per property of the medium that selects features and profiles.

constexpr uint16_t kMaskNoMedium = 0x001;
constexpr uint16_t kMaskCd = 0x002;
constexpr uint16_t kMaskDvd = 0x004;
constexpr uint16_t kMaskCss = 0x008;          // copy protection scheme 1
constexpr uint16_t kMaskCprm = 0x010;         // scheme 2
constexpr uint16_t kMaskProtection3 = 0x020;  // scheme 3
constexpr uint16_t kMaskDvdPlusR = 0x040;
constexpr uint16_t kMaskDvdPlusRw = 0x080;
constexpr uint16_t kMaskDvdPlusRDl = 0x100;
constexpr uint16_t kMaskDvdPlusRwDl = 0x200;
constexpr uint16_t kMaskBd = 0x400;

constexpr uint16_t kProfileNone = 0x0000;
constexpr uint16_t kProfileCdRom = 0x0008;
constexpr uint16_t kProfileDvdRom = 0x0010;
constexpr uint16_t kProfileBdRom = 0x0040;

uint16_t MediumMask(const ScsiDevice* d) {
  if (!MediumAvailable(d)) return kMaskNoMedium;
  const uint8_t c = MediumClass(d);
  uint16_t mask;
  if (IsCdClass(c)) {
    mask = kMaskCd;
  } else if (IsBdClass(c)) {
    mask = kMaskBd;
  } else {
    const bool layered = (d->descriptor & kMediumLayersMask) != 0;
    mask = kMaskDvd;
    if (c == kMediumDvdPlusR) mask |= layered ? kMaskDvdPlusRDl : kMaskDvdPlusR;
    if (c == kMediumDvdPlusRw) mask |= layered ? kMaskDvdPlusRwDl : kMaskDvdPlusRw;
  }
  switch ((d->descriptor & kMediumCopyProtectionMask) >> kMediumCopyProtectionShift) {
    case 1: mask |= kMaskCss; break;
    case 2: mask |= kMaskCprm; break;
    case 3: mask |= kMaskProtection3; break;
    default: break;
  }
  return mask;
}

uint16_t CurrentProfile(const ScsiDevice* d) {
  if (!MediumAvailable(d)) return kProfileNone;
  const uint8_t c = MediumClass(d);
  if (IsCdClass(c)) return kProfileCdRom;
  if (IsBdClass(c)) return kProfileBdRom;
  return kProfileDvdRom;
}

// ---------------------------------------------------------------------------------------
// Feature table. Most features come twice: a variant that is current and one that is not;
// the medium mask picks one of them (or none).

// Profile List: BD-ROM, DVD-ROM, CD-ROM, with the current one flagged.
constexpr uint8_t kProfileListNone[] = {0x00, 0x00, 0x03, 0x0C, 0x00, 0x40, 0x00, 0x00,
                                        0x00, 0x10, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00};
constexpr uint8_t kProfileListCd[] = {0x00, 0x00, 0x03, 0x0C, 0x00, 0x40, 0x00, 0x00,
                                      0x00, 0x10, 0x00, 0x00, 0x00, 0x08, 0x01, 0x00};
constexpr uint8_t kProfileListDvd[] = {0x00, 0x00, 0x03, 0x0C, 0x00, 0x40, 0x00, 0x00,
                                       0x00, 0x10, 0x01, 0x00, 0x00, 0x08, 0x00, 0x00};
constexpr uint8_t kProfileListBd[] = {0x00, 0x00, 0x03, 0x0C, 0x00, 0x40, 0x01, 0x00,
                                      0x00, 0x10, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00};
constexpr uint8_t kCore[] = {0x00, 0x01, 0x0B, 0x08, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00};
constexpr uint8_t kMorphing[] = {0x00, 0x02, 0x07, 0x04, 0x02, 0x00, 0x00, 0x00};
constexpr uint8_t kRemovableMedium[] = {0x00, 0x03, 0x07, 0x04, 0x39, 0x00, 0x00, 0x00};
// Random Readable with the blocking factor of the medium's ECC block.
constexpr uint8_t kRandomReadableNone[] = {0x00, 0x10, 0x00, 0x08, 0x00, 0x00,
                                           0x08, 0x00, 0x00, 0x01, 0x00, 0x00};
constexpr uint8_t kRandomReadableCd[] = {0x00, 0x10, 0x01, 0x08, 0x00, 0x00,
                                         0x08, 0x00, 0x00, 0x01, 0x00, 0x00};
constexpr uint8_t kRandomReadableDvd[] = {0x00, 0x10, 0x01, 0x08, 0x00, 0x00,
                                          0x08, 0x00, 0x00, 0x10, 0x00, 0x00};
constexpr uint8_t kRandomReadableBd[] = {0x00, 0x10, 0x01, 0x08, 0x00, 0x00,
                                         0x08, 0x00, 0x00, 0x20, 0x00, 0x00};
constexpr uint8_t kMultiRead[] = {0x00, 0x1D, 0x00, 0x00};
constexpr uint8_t kMultiReadCurrent[] = {0x00, 0x1D, 0x01, 0x00};
constexpr uint8_t kCdRead[] = {0x00, 0x1E, 0x08, 0x04, 0x03, 0x00, 0x00, 0x00};
constexpr uint8_t kCdReadCurrent[] = {0x00, 0x1E, 0x09, 0x04, 0x03, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdRead[] = {0x00, 0x1F, 0x08, 0x04, 0x01, 0x00, 0x03, 0x00};
constexpr uint8_t kDvdReadCurrent[] = {0x00, 0x1F, 0x09, 0x04, 0x01, 0x00, 0x03, 0x00};
constexpr uint8_t kDvdPlusRw[] = {0x00, 0x2A, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdPlusRwCurrent[] = {0x00, 0x2A, 0x01, 0x04, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdPlusR[] = {0x00, 0x2B, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdPlusRCurrent[] = {0x00, 0x2B, 0x01, 0x04, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdPlusRwDl[] = {0x00, 0x3A, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdPlusRwDlCurrent[] = {0x00, 0x3A, 0x01, 0x04, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdPlusRDl[] = {0x00, 0x3B, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdPlusRDlCurrent[] = {0x00, 0x3B, 0x01, 0x04, 0x00, 0x00, 0x00, 0x00};
// BD Read: the read-class bitmaps of BD-RE, BD-R and BD-ROM.
constexpr uint8_t kBdRead[] = {0x00, 0x40, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kBdReadCurrent[] = {0x00, 0x40, 0x01, 0x1C, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kPowerManagement[] = {0x01, 0x00, 0x03, 0x00};
constexpr uint8_t kCdAudioPlay[] = {0x01, 0x03, 0x00, 0x04, 0x04, 0x00, 0x01, 0x00};
constexpr uint8_t kCdAudioPlayCurrent[] = {0x01, 0x03, 0x01, 0x04, 0x04, 0x00, 0x01, 0x00};
constexpr uint8_t kTimeout[] = {0x01, 0x05, 0x04, 0x04, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdCss[] = {0x01, 0x06, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kDvdCssCurrent[] = {0x01, 0x06, 0x01, 0x04, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kRealTimeStreaming[] = {0x01, 0x07, 0x0C, 0x04, 0x08, 0x00, 0x00, 0x00};
constexpr uint8_t kRealTimeStreamingCurrent[] = {0x01, 0x07, 0x0D, 0x04, 0x08, 0x00, 0x00, 0x00};
constexpr uint8_t kDvdCprm[] = {0x01, 0x0B, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kDvdCprmCurrent[] = {0x01, 0x0B, 0x01, 0x04, 0x00, 0x00, 0x00, 0x01};

struct FeatureRow {
  const uint8_t* bytes;
  uint8_t size;
  uint16_t needs;     // all of these mask bits
  uint16_t excludes;  // none of these

  constexpr uint16_t Code() const { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }
  constexpr bool Current() const { return bytes[2] & kFeatureCurrent; }
  constexpr bool Applies(uint16_t mask) const {
    return (mask & needs) == needs && (mask & excludes) == 0;
  }
};

template <size_t N>
constexpr FeatureRow Feature(const uint8_t (&bytes)[N], uint16_t needs = 0,
                             uint16_t excludes = 0) {
  static_assert(N >= sizeof(FeatureDescriptorHeader) && N <= 0xFF);
  return {bytes, static_cast<uint8_t>(N), needs, excludes};
}

constexpr uint16_t kNotNone = kMaskCd | kMaskDvd | kMaskBd;

constexpr FeatureRow kFeatures[] = {
    Feature(kProfileListNone, kMaskNoMedium, kNotNone),
    Feature(kProfileListCd, kMaskCd, kMaskNoMedium | kMaskDvd | kMaskBd),
    Feature(kProfileListDvd, kMaskDvd, kMaskNoMedium | kMaskCd | kMaskBd),
    Feature(kProfileListBd, kMaskBd, kMaskNoMedium | kMaskCd | kMaskDvd),
    Feature(kCore),
    Feature(kMorphing),
    Feature(kRemovableMedium),
    Feature(kRandomReadableNone, kMaskNoMedium, kNotNone),
    Feature(kRandomReadableCd, kMaskCd, kMaskNoMedium | kMaskDvd | kMaskBd),
    Feature(kRandomReadableDvd, kMaskDvd, kMaskNoMedium | kMaskCd | kMaskBd),
    Feature(kRandomReadableBd, kMaskBd, kMaskNoMedium | kMaskCd | kMaskDvd),
    Feature(kMultiRead, 0, kMaskCd),
    Feature(kMultiReadCurrent, kMaskCd),
    Feature(kCdRead, 0, kMaskCd),
    Feature(kCdReadCurrent, kMaskCd),
    Feature(kDvdRead, 0, kMaskDvd),
    Feature(kDvdReadCurrent, kMaskDvd),
    Feature(kDvdPlusRw, 0, kMaskDvdPlusRw),
    Feature(kDvdPlusRwCurrent, kMaskDvdPlusRw),
    Feature(kDvdPlusR, 0, kMaskDvdPlusR),
    Feature(kDvdPlusRCurrent, kMaskDvdPlusR),
    Feature(kDvdPlusRwDl, 0, kMaskDvdPlusRwDl),
    Feature(kDvdPlusRwDlCurrent, kMaskDvdPlusRwDl),
    Feature(kDvdPlusRDl, 0, kMaskDvdPlusRDl),
    Feature(kDvdPlusRDlCurrent, kMaskDvdPlusRDl),
    Feature(kBdRead, 0, kMaskBd),
    Feature(kBdReadCurrent, kMaskBd),
    Feature(kPowerManagement),
    Feature(kCdAudioPlay, 0, kMaskCd),
    Feature(kCdAudioPlayCurrent, kMaskCd),
    Feature(kTimeout),
    Feature(kDvdCss, 0, kMaskDvd | kMaskCss),
    Feature(kDvdCssCurrent, kMaskDvd | kMaskCss),
    Feature(kRealTimeStreaming, 0, kMaskDvd),
    Feature(kRealTimeStreamingCurrent, kMaskDvd),
    Feature(kDvdCprm, 0, kMaskDvd | kMaskCprm),
    Feature(kDvdCprmCurrent, kMaskDvd | kMaskCprm),
};
constexpr size_t kFeatureCount = 37;
static_assert(std::size(kFeatures) == kFeatureCount, "one row per feature descriptor");

constexpr bool FeatureTableConsistent() {
  uint16_t previous = 0;
  for (const FeatureRow& row : kFeatures) {
    // The additional length covers the rest of the descriptor, and the table is in feature
    // order, which RT 0 and 1 rely on to list from a starting feature.
    if (row.size != sizeof(FeatureDescriptorHeader) + row.bytes[3]) return false;
    if (row.Code() < previous) return false;
    previous = row.Code();
  }
  return true;
}
static_assert(FeatureTableConsistent(), "feature descriptors sized and ordered");

constexpr uint8_t kRtAll = 0;
constexpr uint8_t kRtCurrent = 1;
constexpr uint8_t kRtOne = 2;
constexpr uint8_t kRtMask = 0x03;

bool Chosen(const FeatureRow& row, uint16_t mask, uint8_t rt, uint16_t start) {
  if (!row.Applies(mask)) return false;
  switch (rt) {
    case kRtAll: return row.Code() >= start;
    case kRtCurrent: return row.Code() >= start && row.Current();
    case kRtOne: return row.Code() == start;
    default: return false;
  }
}

// ---------------------------------------------------------------------------------------
// Mode pages.

constexpr uint8_t kPageReadErrorRecovery[] = {0x01, 0x0A, 0x00, 0x01, 0x00, 0x00,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kPageCaching[] = {0x08, 0x0A, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kPageCdParameters[] = {0x0D, 0x06, 0x00, 0x00, 0x00, 0x3C, 0x00, 0x4B};
constexpr uint8_t kPageAudioControl[] = {0x0E, 0x0E, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x01, 0xFF, 0x02, 0xFF, 0x00, 0xFF, 0x00, 0xFF};
constexpr uint8_t kPagePowerCondition[] = {0x1A, 0x0A, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kPageTimeoutProtect[] = {0x1D, 0x0A, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x05, 0x00, 0x1E, 0x00, 0x00};
constexpr uint8_t kPageCapabilities[] = {
    0x2A, 0x1C, 0x1F, 0x00, 0x71, 0x7F, 0x29, 0x23, 0x21, 0x13, 0x01, 0x00, 0x00, 0x80, 0x21,
    0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};

// Changeable masks: page code and length as the page, then the bits MODE SELECT may change.
constexpr uint8_t kChangeableNone[30] = {};
constexpr uint8_t kChangeableCaching[] = {0x08, 0x0A, kCachingRcd | kCachingWce, 0x00,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kChangeableAudioControl[] = {0x0E, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint8_t kChangeablePowerCondition[] = {
    0x1A, 0x0A, 0x00, kPowerIdleEnabled | kPowerStandbyEnabled, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF};
static_assert(sizeof(kChangeableCaching) == sizeof(kPageCaching) &&
              sizeof(CachingPage) == sizeof(kPageCaching));
static_assert(sizeof(kChangeableAudioControl) == sizeof(kPageAudioControl) &&
              sizeof(AudioControlPage) == sizeof(kPageAudioControl));
static_assert(sizeof(kChangeablePowerCondition) == sizeof(kPagePowerCondition) &&
              sizeof(PowerConditionPage) == sizeof(kPagePowerCondition));
static_assert(sizeof(CapabilitiesPage) == sizeof(kPageCapabilities));

// The device's buffer size in KB, as CreateScsiDevice put it in the INQUIRY image.
constexpr size_t kInquiryBufferSizeOffset = 2;

void CurrentCaching(const ScsiDevice* d, uint8_t* bytes) {
  auto page = LoadRecord<CachingPage>(bytes);
  page.flags = static_cast<uint8_t>((d->read_cache_disabled ? kCachingRcd : 0) |
                                    (d->write_cache_enabled ? kCachingWce : 0));
  StoreRecord(bytes, page);
}

void CurrentAudioControl(const ScsiDevice* d, uint8_t* bytes) {
  auto page = LoadRecord<AudioControlPage>(bytes);
  static_assert(sizeof(page.ports) == sizeof(d->audio_control));
  std::memcpy(page.ports, d->audio_control, sizeof(page.ports));
  StoreRecord(bytes, page);
}

void CurrentPowerCondition(const ScsiDevice* d, uint8_t* bytes) {
  auto page = LoadRecord<PowerConditionPage>(bytes);
  page.flags = static_cast<uint8_t>((d->idle_enabled ? kPowerIdleEnabled : 0) |
                                    (d->standby_enabled ? kPowerStandbyEnabled : 0));
  page.idle_timer.Set(d->idle_timer);
  page.standby_timer.Set(d->standby_timer);
  StoreRecord(bytes, page);
}

void CurrentCapabilities(const ScsiDevice* d, uint8_t* bytes) {
  auto page = LoadRecord<CapabilitiesPage>(bytes);
  const uint32_t speed = MaximumSpeed(d);
  page.maximum_speed.Set(speed);
  page.current_speed.Set(speed);
  page.buffer_size.Set(Be16(d->inquiry + kInquiryBufferSizeOffset));
  StoreRecord(bytes, page);
}

// MODE SELECT's effect of a checked page; 0 or a refusal with its sense.
uint32_t SelectCaching(ScsiDevice* d, const uint8_t* bytes) {
  const auto page = LoadRecord<CachingPage>(bytes);
  d->read_cache_disabled = (page.flags & kCachingRcd) ? 1 : 0;
  d->write_cache_enabled = (page.flags & kCachingWce) ? 1 : 0;
  return kResultGood;
}

uint32_t SelectAudioControl(ScsiDevice* d, const uint8_t* bytes) {
  const auto page = LoadRecord<AudioControlPage>(bytes);
  for (const AudioPort& port : page.ports) {
    if (port.channel > kMaxAudioChannel) {
      return Fail(d, sense::kInvalidFieldInParameters, kResultInvalidField);
    }
  }
  std::memcpy(d->audio_control, page.ports, sizeof(d->audio_control));
  return kResultGood;
}

uint32_t SelectPowerCondition(ScsiDevice* d, const uint8_t* bytes) {
  const auto page = LoadRecord<PowerConditionPage>(bytes);
  d->standby_enabled = (page.flags & kPowerStandbyEnabled) ? 1 : 0;
  d->idle_enabled = (page.flags & kPowerIdleEnabled) ? 1 : 0;
  d->idle_timer = page.idle_timer.Get();
  d->standby_timer = page.standby_timer.Get();
  return kResultGood;
}

struct ModePageRow {
  const uint8_t* defaults;    // page code, page length, the page's bytes
  const uint8_t* changeable;  // same size; zero where nothing may change
  uint8_t size;
  void (*current)(const ScsiDevice* d, uint8_t* bytes);      // null: the defaults
  uint32_t (*select)(ScsiDevice* d, const uint8_t* bytes);  // null: nothing to change

  constexpr uint8_t Code() const { return defaults[0]; }
};

template <size_t N, size_t M>
constexpr ModePageRow Page(const uint8_t (&defaults)[N], const uint8_t (&changeable)[M],
                           void (*current)(const ScsiDevice*, uint8_t*) = nullptr,
                           uint32_t (*select)(ScsiDevice*, const uint8_t*) = nullptr) {
  static_assert(N >= sizeof(ModePageHeader) && N <= M, "changeable mask covers the page");
  return {defaults, changeable, static_cast<uint8_t>(N), current, select};
}

constexpr ModePageRow kModePages[] = {
    Page(kPageReadErrorRecovery, kChangeableNone),
    Page(kPageCaching, kChangeableCaching, CurrentCaching, SelectCaching),
    Page(kPageCdParameters, kChangeableNone),
    Page(kPageAudioControl, kChangeableAudioControl, CurrentAudioControl, SelectAudioControl),
    Page(kPagePowerCondition, kChangeablePowerCondition, CurrentPowerCondition,
         SelectPowerCondition),
    Page(kPageTimeoutProtect, kChangeableNone),
    Page(kPageCapabilities, kChangeableNone, CurrentCapabilities),
};
constexpr size_t kModePageCount = 7;
static_assert(std::size(kModePages) == kModePageCount, "one row per mode page");
constexpr size_t kMaxModePageSize = sizeof(kPageCapabilities);
static_assert(sizeof(kChangeableNone) == kMaxModePageSize);

constexpr bool ModePagesConsistent() {
  for (const ModePageRow& row : kModePages) {
    if (row.size != sizeof(ModePageHeader) + row.defaults[1]) return false;
    if (row.size > kMaxModePageSize) return false;
    // A mask that names a page names this one.
    if (row.changeable != kChangeableNone &&
        (row.changeable[0] != row.Code() || row.changeable[1] != row.defaults[1])) {
      return false;
    }
    // Nothing to change without a way to change it.
    bool any = false;
    for (size_t i = sizeof(ModePageHeader); i < row.size; ++i) any = any || row.changeable[i];
    if (any != (row.select != nullptr)) return false;
  }
  return true;
}
static_assert(ModePagesConsistent(), "mode pages sized from their lengths");

const ModePageRow* FindModePage(uint8_t code) {
  for (const ModePageRow& row : kModePages) {
    if (row.Code() == code) return &row;
  }
  return nullptr;
}

// Page controls of MODE SENSE byte 2 bits 6-7.
constexpr uint8_t kPcCurrent = 0;
constexpr uint8_t kPcChangeable = 1;
constexpr uint8_t kPcDefault = 2;
constexpr uint8_t kPcSaved = 3;
constexpr uint8_t kAllPages = 0x3F;

// One page as MODE SENSE sends it.
void BuildModePage(const ScsiDevice* d, const ModePageRow& row, uint8_t pc, uint8_t* out) {
  if (pc == kPcChangeable) {
    std::memcpy(out, row.defaults, sizeof(ModePageHeader));
    std::memcpy(out + sizeof(ModePageHeader), row.changeable + sizeof(ModePageHeader),
                row.size - sizeof(ModePageHeader));
    return;
  }
  std::memcpy(out, row.defaults, row.size);
  if (pc == kPcDefault || row.current == nullptr) return;
  row.current(d, out);
}

// MODE SENSE's medium type byte.
constexpr uint8_t kMediumTypeDoorClosed = 0x70;
constexpr uint8_t kMediumTypeDoorOpen = 0x71;

uint8_t ModeMediumType(const ScsiDevice* d) {
  if (!MediumAvailable(d)) return TrayOpen(d) ? kMediumTypeDoorOpen : kMediumTypeDoorClosed;
  const uint8_t c = MediumClass(d);
  if (c > kMediumDvdPlusRw) return 0;
  const uint32_t content = d->descriptor & kMediumCdContentMask;
  uint8_t base;
  if (content & kMediumCdInteractive) {
    base = 4;
  } else if ((content & kMediumCdAudioAndData) == kMediumCdAudioAndData) {
    base = 3;
  } else if (content == kMediumCdAudio) {
    base = 2;
  } else {
    base = 1;
  }
  if (c == kMediumCdR) return base | 0x10;
  if (c == kMediumCdRw) return base | 0x20;
  if (c == kMediumCdRom) return base;
  return base | 0x40;
}

// MODE SELECT(10) parameter data.
constexpr uint8_t kNoBlockDescriptor = 0;
constexpr uint8_t kOneBlockDescriptor = sizeof(BlockDescriptor);
constexpr uint32_t kMinParameterList = sizeof(ModeParameterHeader10);

uint32_t ListError(ScsiDevice* d) {
  return Fail(d, sense::kParameterListLength, kResultInvalidField);
}

uint32_t ModeSelectData(ScsiDevice* d, ScsiRequest* request, bool*) {
  // The initiator sent less than the list it announced: nothing of it is taken.
  if (d->data_limit < Be16(request->cdb + 7)) return ListError(d);
  uint8_t header_bytes[sizeof(ModeParameterHeader10)];
  if (!GetData(d, header_bytes, sizeof(header_bytes))) return ListError(d);
  const auto header = LoadRecord<ModeParameterHeader10>(header_bytes);
  const uint32_t descriptor_length = header.block_descriptor_length.Get();
  if (descriptor_length != kNoBlockDescriptor && descriptor_length != kOneBlockDescriptor) {
    return Fail(d, sense::kInvalidFieldInParameters, kResultInvalidField);
  }
  if (descriptor_length == kOneBlockDescriptor) {
    uint8_t block_bytes[sizeof(BlockDescriptor)];
    if (!GetData(d, block_bytes, sizeof(block_bytes))) return ListError(d);
    if (LoadRecord<BlockDescriptor>(block_bytes).block_length.Get() != d->block_size) {
      return Fail(d, sense::kInvalidFieldInParameters, kResultInvalidField);
    }
  }
  while (d->data_limit > 0) {
    uint8_t page[kMaxModePageSize] = {};
    if (!GetData(d, page, sizeof(ModePageHeader))) return ListError(d);
    const auto page_header = LoadRecord<ModePageHeader>(page);
    const uint32_t size = sizeof(ModePageHeader) + page_header.page_length;
    if (size > kMaxModePageSize || page_header.page_length > d->data_limit) return ListError(d);
    GetData(d, page + sizeof(ModePageHeader), page_header.page_length);
    const ModePageRow* row = FindModePage(page_header.page_code & kPageCodeMask);
    if (row == nullptr || row->size != size) return ListError(d);
    uint8_t current[kMaxModePageSize];
    BuildModePage(d, *row, kPcCurrent, current);
    for (size_t i = sizeof(ModePageHeader); i < size; ++i) {
      if ((page[i] ^ current[i]) & ~row->changeable[i]) return ListError(d);
    }
    if (row->select != nullptr) {
      const uint32_t r = row->select(d, page);
      if (r != kResultGood) return r;
    }
  }
  return kResultGood;
}

}  // namespace

uint32_t GetConfiguration(ScsiDevice* d, ScsiRequest* request, bool*) {
  const uint8_t* cdb = request->cdb;
  const uint8_t rt = cdb[1] & kRtMask;
  if (cdb[1] > kRtMask || rt == kRtMask || !ZeroBytes(cdb, {4, 5, 6, 9})) {
    return InvalidField(d);
  }
  const uint16_t start = static_cast<uint16_t>(Be16(cdb + 2));
  LimitData(d, Be16(cdb + 7));
  const uint16_t mask = MediumMask(d);

  uint32_t total = sizeof(FeatureHeader) - sizeof(FeatureHeader::data_length);
  for (const FeatureRow& row : kFeatures) {
    if (Chosen(row, mask, rt, start)) total += row.size;
  }
  FeatureHeader header{};
  header.data_length.Set(total);
  header.current_profile.Set(CurrentProfile(d));
  if (!PutData(d, &header, sizeof(header)) ||
      total == sizeof(FeatureHeader) - sizeof(FeatureHeader::data_length)) {
    return kResultGood;
  }
  for (const FeatureRow& row : kFeatures) {
    if (Chosen(row, mask, rt, start) && !PutData(d, row.bytes, row.size)) break;
  }
  return kResultGood;
}

uint32_t ModeSense10(ScsiDevice* d, ScsiRequest* request, bool*) {
  constexpr uint8_t kDbd = 0x08;
  const uint8_t* cdb = request->cdb;
  if (!OnlyBits(cdb[1], kDbd) || !ZeroBytes(cdb, {3, 4, 5, 6, 9})) return InvalidField(d);
  const uint8_t pc = cdb[2] >> 6;
  const uint8_t code = cdb[2] & kPageCodeMask;
  if (pc == kPcSaved) return Fail(d, sense::kSavingNotSupported, kResultInvalidField);

  uint32_t total = 0;
  for (const ModePageRow& row : kModePages) {
    if (code == kAllPages || row.Code() == code) total += row.size;
  }
  if (total == 0) return InvalidField(d);
  LimitData(d, Be16(cdb + 7));

  ModeParameterHeader10 header{};
  header.mode_data_length.Set(total + sizeof(header) - sizeof(header.mode_data_length));
  header.medium_type = ModeMediumType(d);
  header.block_descriptor_length.Set(0);
  if (!PutData(d, &header, sizeof(header))) return kResultGood;
  for (const ModePageRow& row : kModePages) {
    if (code != kAllPages && row.Code() != code) continue;
    uint8_t page[kMaxModePageSize];
    BuildModePage(d, row, pc, page);
    if (!PutData(d, page, row.size)) break;
  }
  return kResultGood;
}

uint32_t ModeSelect10(ScsiDevice* d, ScsiRequest* request, bool*) {
  constexpr uint8_t kPageFormat = 0x10;  // PF set, SP (save pages) clear
  const uint8_t* cdb = request->cdb;
  if (cdb[1] != kPageFormat || !ZeroBytes(cdb, {2, 3, 4, 5, 6, 9})) return InvalidField(d);
  const uint32_t list_length = Be16(cdb + 7);
  if (list_length == 0) return kResultGood;
  if (list_length < kMinParameterList) return ListError(d);
  LimitData(d, list_length);
  d->data_out_continuation = ModeSelectData;
  return kResultPending;
}

}  // namespace imagepath::mmc
