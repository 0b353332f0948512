// The physical medium behind an image: where each sector lies on the spinning disc, how much
// of a revolution a run of sectors takes to pass under the head, how fast the drive turns the
// disc, and the descriptor the engine reports for it. Everything here is a pure function of
// the layout and the position, so the timing the command layer derives is reproducible.
#pragma once

#include <cstdint>

#include "ravelkit/source.h"

namespace ravelkit {

// A constant-linear-velocity spiral: the track starts at `innerRadiusM` and moves outwards by
// `trackPitchM` per revolution; every sector occupies `sectorLengthM` of track.
struct DiscGeometry {
  double innerRadiusM = 0;   // m, radius of the first sector of the data (program) area
  double trackPitchM = 0;    // m per revolution
  double sectorLengthM = 0;  // m of track per 2,048-byte (CD: 2,352-byte) sector
  double velocityMps = 0;    // m/s at 1x: sectorLengthM times the 1x sector rate
  int64_t firstLba = 0;      // sector offset of LBA 0 from the start of the spiral
  uint32_t layers = 1;
  // Sectors per layer (every layer but possibly the last is full). Odd layers run from the
  // outside in (opposite track path), so a read crossing a layer boundary does not jump
  // back to the inner radius.
  int64_t layerSectors = 0;
  double ratedSpeed = 1;  // multiple of 1x at which the drive spins this medium (CLV)
};

// Sectors per ECC block: a DVD (16) or BD (32) is read and mastered in whole blocks; 0 for
// a CD, which has none.
constexpr uint32_t EccBlockSectors(MediumClass medium) {
  return medium == MediumClass::kDvd ? 16 : medium == MediumClass::kBd ? 32 : 0;
}

// The geometry of a medium class with `layers` layers holding `capacity` sectors.
DiscGeometry GeometryFor(MediumClass medium, uint32_t layers, int64_t capacity);

// Radius of the sector at `lba`, in metres (LBAs outside the disc are clamped to it).
double RadiusAt(const DiscGeometry& g, int64_t lba);
// Sectors that pass under the head in one revolution at `lba`'s radius.
double SectorsPerRevolution(const DiscGeometry& g, int64_t lba);
// Revolutions it takes `count` sectors from `lba` on to pass under the head: the track turns
// once per pitch of radius, so this is the radius travelled divided by the pitch, summed over
// the layers the run touches.
double Revolutions(const DiscGeometry& g, int64_t lba, int64_t count);

// Revolutions in units of 2^-24 revolution, rounded to nearest and kept below 2^31: the
// read dispatcher uses bit 31 as a flag of its own.
inline constexpr double kRotationUnitsPerRevolution = 16777216.0;  // 2^24
inline constexpr uint32_t kMaxRotationUnits = 0x7FFFFFFF;
uint32_t RotationUnits(const DiscGeometry& g, int64_t lba, int64_t count);

// The rotation period, in microseconds, at the first sector of the data area at the rated
// speed: the shortest period of a constant-linear-velocity read, which the command layer
// uses for random access. Within the 6,303..65,536 µs the command layer accepts.
uint32_t RotationPeriodUs(const DiscGeometry& g);

// The medium descriptor: class, CDB form, flags and region byte (see ravelkit.h).
uint32_t MediumDescriptor(const ImageLayout& layout);

}  // namespace ravelkit
