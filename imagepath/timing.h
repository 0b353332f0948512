// The drive timing model's constants, for the command layer and for anything that predicts
// what it will do (a paced read's expected time). Kept in one place so the two cannot drift.
//
// All times are microseconds.
#pragma once

#include <algorithm>
#include <cstdint>

#include "ravelkit/ravelkit.h"

namespace imagepath::timing {

// Full-speed rotation periods. 6,303 µs is a CD or BD at its top speed; DVDs with CSS
// or two layers spin slower.
inline constexpr uint32_t kMinimumPeriodUs = 6303;
inline constexpr uint32_t kCssDvdPeriodUs = 16808;
inline constexpr uint32_t kDualLayerDvdPeriodUs = 8404;

// No seek takes less, even to the sector under the head.
inline constexpr uint64_t kMinimumSeekUs = 10'000;

// The sled moves in steps of some sectors, each taking some microseconds.
struct SeekSteps {
  uint32_t sectors;
  uint32_t us;
};
inline constexpr SeekSteps kCdSeekSteps{9, 5};
inline constexpr SeekSteps kDvdSeekSteps{32, 2};
inline constexpr SeekSteps kBdSeekSteps{64, 1};

// What the drive's mechanics make of a medium class (the descriptor's low byte): CD 0-2,
// DVD 3-8, BD 12-14. A CD/DVD drive refuses classes 9-11 and from 15 on; a direct-access
// device takes them, with 16-sector ECC blocks, and BD seek steps for 15-18.
constexpr uint32_t SectorsPerEcc(uint32_t medium_class) {
  if (medium_class <= 2 || medium_class == ::kMediumNone) return 1;
  if (medium_class >= 12 && medium_class <= 14) return 32;
  return 16;
}
constexpr SeekSteps SeekStepsFor(uint32_t medium_class) {
  if (medium_class >= 12 && medium_class <= 18) return kBdSeekSteps;
  if (medium_class >= 3 && medium_class <= 8) return kDvdSeekSteps;
  return kCdSeekSteps;
}

// The full-speed period of a medium; `descriptor` is the engine's medium descriptor, read
// only for a DVD.
constexpr uint32_t MinimumPeriodUs(bool dvd, uint32_t descriptor) {
  if (!dvd) return kMinimumPeriodUs;
  if ((descriptor & ::kMediumCopyProtectionMask) == ::kMediumCss) {
    return kCssDvdPeriodUs;
  }
  if ((descriptor & ::kMediumLayersMask) != 0) return kDualLayerDvdPeriodUs;
  return kMinimumPeriodUs;
}

// A seek over `distance` sectors.
constexpr uint64_t SeekUs(SeekSteps steps, uint64_t distance) {
  return std::max<uint64_t>((distance / steps.sectors + 1) * steps.us, kMinimumSeekUs);
}

}  // namespace imagepath::timing
