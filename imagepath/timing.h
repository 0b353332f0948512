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
