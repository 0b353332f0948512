#include "ravelkit/geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "ravelkit/ravelkit.h"

namespace ravelkit {

namespace {

// CD (ECMA-130): the program area begins at 25 mm radius; track pitch 1.6 µm; scanning
// velocity 1.2 to 1.4 m/s, of which the low end is taken because it is what long (74- and
// 80-minute) discs are cut at, and it keeps a full disc inside the 58 mm the program area may
// reach. kFramesPerSecond sectors pass per second at 1x; LBA 0 lies kLbaOffset sectors (2 s)
// into the program area.
constexpr double kCdInnerRadiusM = 25.0e-3;
constexpr double kCdTrackPitchM = 1.6e-6;
constexpr double kCdVelocityMps = 1.2;

// DVD (ECMA-267): the data zone begins at 24 mm radius; track pitch 0.74 µm; scanning
// velocity 3.49 m/s on single-layer and 3.84 m/s on dual-layer discs. A physical sector is
// 26 sync frames of 1,488 channel bits, at 26.15625 Mbit/s at 1x: 676.08 sectors per second.
constexpr double kDvdInnerRadiusM = 24.0e-3;
constexpr double kDvdTrackPitchM = 0.74e-6;
constexpr double kDvdVelocitySingleMps = 3.49;
constexpr double kDvdVelocityDualMps = 3.84;
constexpr double kDvdSectorsPerSecond = 26.15625e6 / (26.0 * 1488.0);

// BD-ROM: the data zone begins at 24 mm radius; track pitch 0.32 µm; 1x carries 36 Mbit/s of
// user data (2,197.27 sectors of 2,048 bytes per second) at 4.917 m/s on 25 GB layers. The
// three- and four-layer discs pack 33.4 GB into a layer by shortening the channel bit, so at
// the same 1x data rate the track moves 25 / 33.4 as fast: 3.68 m/s.
constexpr double kBdInnerRadiusM = 24.0e-3;
constexpr double kBdTrackPitchM = 0.32e-6;
constexpr double kBdVelocityMps = 4.917;
constexpr double kBdXlVelocityMps = 4.917 * 25.0 / 33.4;
constexpr double kBdSectorsPerSecond = 36.0e6 / 8.0 / 2048.0;

// The speeds at which drives read each medium at constant linear velocity, before they turn
// to constant angular velocity further out: 12x CD, 4x DVD, 2x BD. At the inner radius these
// give periods of 9.8 to 20.5 ms, all inside what the command layer accepts.
constexpr double kCdRatedSpeed = 12.0;
constexpr double kDvdRatedSpeed = 4.0;
constexpr double kBdRatedSpeed = 2.0;

int64_t RoundUp(int64_t v, int64_t to) { return (v + to - 1) / to * to; }

// Radius after `u` sectors of spiral: the track consumed up to radius r covers the annulus
// pi (r^2 - r0^2), which equals the track length u * sectorLength times the pitch.
double RadiusOfSpiral(const DiscGeometry& g, double u) {
  return std::sqrt(g.innerRadiusM * g.innerRadiusM +
                   u * g.sectorLengthM * g.trackPitchM / std::numbers::pi);
}

struct SpiralPosition {
  uint32_t layer;
  int64_t offset;  // sectors from the start of the layer
};

SpiralPosition Locate(const DiscGeometry& g, int64_t lba) {
  int64_t p = std::max<int64_t>(lba + g.firstLba, 0);
  int64_t layer = std::min<int64_t>(p / g.layerSectors, g.layers - 1);
  return {static_cast<uint32_t>(layer), p - layer * g.layerSectors};
}

// Distance along the spiral from the inner radius: odd layers run back inwards.
double SpiralU(const DiscGeometry& g, uint32_t layer, int64_t offset) {
  double o = static_cast<double>(offset);
  return layer % 2 == 0 ? o : static_cast<double>(g.layerSectors) - o;
}

}  // namespace

DiscGeometry GeometryFor(MediumClass medium, uint32_t layers, int64_t capacity) {
  DiscGeometry g;
  layers = std::max<uint32_t>(layers, 1);
  double rate = 1;
  // A CD has one layer, so its ECC block size never comes into play.
  int64_t ecc = std::max<int64_t>(EccBlockSectors(medium), 1);
  switch (medium) {
    case MediumClass::kCd:
      g.innerRadiusM = kCdInnerRadiusM;
      g.trackPitchM = kCdTrackPitchM;
      g.velocityMps = kCdVelocityMps;
      g.firstLba = kLbaOffset;
      g.ratedSpeed = kCdRatedSpeed;
      rate = kFramesPerSecond;
      layers = 1;
      break;
    case MediumClass::kDvd:
      g.innerRadiusM = kDvdInnerRadiusM;
      g.trackPitchM = kDvdTrackPitchM;
      g.velocityMps = layers > 1 ? kDvdVelocityDualMps : kDvdVelocitySingleMps;
      g.ratedSpeed = kDvdRatedSpeed;
      rate = kDvdSectorsPerSecond;
      layers = std::min<uint32_t>(layers, 2);
      break;
    case MediumClass::kBd:
      g.innerRadiusM = kBdInnerRadiusM;
      g.trackPitchM = kBdTrackPitchM;
      g.velocityMps = layers > 2 ? kBdXlVelocityMps : kBdVelocityMps;
      g.ratedSpeed = kBdRatedSpeed;
      rate = kBdSectorsPerSecond;
      layers = std::min<uint32_t>(layers, 4);
      break;
  }
  g.sectorLengthM = g.velocityMps / rate;
  g.layers = layers;
  int64_t total = std::max<int64_t>(capacity, 1) + g.firstLba;
  // Mastering splits the data evenly, each layer but the last ending on an ECC block.
  g.layerSectors = layers == 1 ? total : RoundUp((total + layers - 1) / layers, ecc);
  return g;
}

double RadiusAt(const DiscGeometry& g, int64_t lba) {
  SpiralPosition at = Locate(g, lba);
  return RadiusOfSpiral(g, SpiralU(g, at.layer, at.offset));
}

double SectorsPerRevolution(const DiscGeometry& g, int64_t lba) {
  return 2 * std::numbers::pi * RadiusAt(g, lba) / g.sectorLengthM;
}

double Revolutions(const DiscGeometry& g, int64_t lba, int64_t count) {
  double revolutions = 0;
  while (count > 0) {
    SpiralPosition at = Locate(g, lba);
    int64_t n = count;
    if (at.layer + 1 < g.layers) n = std::min(n, g.layerSectors - at.offset);
    double from = RadiusOfSpiral(g, SpiralU(g, at.layer, at.offset));
    double to = RadiusOfSpiral(g, SpiralU(g, at.layer, at.offset + n));
    revolutions += std::fabs(to - from) / g.trackPitchM;
    lba += n;
    count -= n;
  }
  return revolutions;
}

uint32_t RotationUnits(const DiscGeometry& g, int64_t lba, int64_t count) {
  double units = std::round(Revolutions(g, lba, count) * kRotationUnitsPerRevolution);
  return units >= kMaxRotationUnits ? kMaxRotationUnits : static_cast<uint32_t>(units);
}

uint32_t RotationPeriodUs(const DiscGeometry& g) {
  double circumference = 2 * std::numbers::pi * g.innerRadiusM;
  return static_cast<uint32_t>(std::lround(circumference / (g.velocityMps * g.ratedSpeed) * 1e6));
}

uint32_t MediumDescriptor(const ImageLayout& layout) {
  uint32_t cls = layout.medium == MediumClass::kCd    ? kMediumCdRom
                 : layout.medium == MediumClass::kDvd ? kMediumDvdRom
                                                      : kMediumBdRom;
  if (layout.statedClass >= 0) cls = static_cast<uint32_t>(layout.statedClass);
  uint32_t d = cls | kMediumCdbForm;
  if (layout.medium == MediumClass::kDvd)
    d |= (static_cast<uint32_t>(layout.copyProtection) << kMediumCopyProtectionShift) &
         kMediumCopyProtectionMask;
  uint32_t layers = std::clamp<uint32_t>(layout.layers, 1, 4);
  d |= ((layers - 1) << kMediumLayersShift) & kMediumLayersMask;
  if (layout.medium == MediumClass::kCd) {
    bool audio = false, data = false, cdi = false;
    for (const Track& t : layout.disc.tracks) (IsData(t.mode) ? data : audio) = true;
    for (const Session& s : layout.disc.sessions) cdi |= s.discType == 0x10;
    if (cdi) {
      d |= kMediumCdInteractive;
    } else if (audio) {
      d |= data ? kMediumCdAudioAndData : kMediumCdAudio;
    }
  }
  d |= static_cast<uint32_t>(layout.regionByte) << kMediumRegionShift;
  return d;
}

}  // namespace ravelkit
