#include "ravelkit/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "ravelkit/ravelkit.h"
#include "ravelkit/test_support.h"

namespace ravelkit {
namespace {

// --- Geometry: hand-computed figures ----------------------------------------------------
//
// CD: 16 mm of track per sector (1.2 m/s / 75 per s), 1.6 µm pitch, LBA 0 at 150 sectors
// from 25 mm. r(u) = sqrt(r0^2 + u * 16e-3 * 1.6e-6 / pi).

TEST(Geometry, CdFiguresByHand) {
  DiscGeometry g = GeometryFor(MediumClass::kCd, 1, 333000);
  // 2 pi 25 mm / 16 mm.
  EXPECT_NEAR(SectorsPerRevolution(g, -150), 9.8175, 1e-4);
  EXPECT_NEAR(RadiusAt(g, -150), 25.0e-3, 1e-12);
  // r(150) = 25.0048883 mm, r(225) = 25.0073291 mm: 2.44082 µm of radius, 7.63012 turns.
  EXPECT_NEAR(Revolutions(g, 0, 75), 7.63012, 1e-4);
  EXPECT_EQ(RotationUnits(g, 0, 75), 128012118u);  // 7.630117 * 2^24
  // A 74-minute disc ends 57.78 mm out, inside the 58 mm the program area may reach.
  EXPECT_NEAR(RadiusAt(g, 333000 - 150), 57.78e-3, 0.01e-3);
  // Further out a turn holds more sectors, so the same run takes less of a revolution.
  EXPECT_LT(Revolutions(g, 300000, 75), Revolutions(g, 0, 75) / 2);
  // For a short run the integral is the count over the sectors per turn at its radius.
  EXPECT_NEAR(Revolutions(g, 200000, 4), 4 / SectorsPerRevolution(g, 200001), 1e-5);
  // 12x at 25 mm: 2 pi 25 mm / 14.4 m/s.
  EXPECT_EQ(RotationPeriodUs(g), 10908u);
}

TEST(Geometry, FullDiscsOfEveryClassEndNear58Mm) {
  struct Case {
    const char* name;
    MediumClass medium;
    uint32_t layers;
    int64_t sectors;
    uint32_t periodUs;  // 2 pi 24 mm / (rated speed x velocity)
  } cases[] = {
      {"DVD-5", MediumClass::kDvd, 1, 2295104, 10802},     // 4 x 3.49 m/s
      {"DVD-9", MediumClass::kDvd, 2, 4173824, 9817},      // 4 x 3.84 m/s
      {"BD-25", MediumClass::kBd, 1, 12219392, 15334},     // 2 x 4.917 m/s
      {"BD-50", MediumClass::kBd, 2, 24438784, 15334},     //
      {"BD-100", MediumClass::kBd, 3, 48878592, 20486},    // 2 x 3.68 m/s
  };
  for (const Case& c : cases) {
    DiscGeometry g = GeometryFor(c.medium, c.layers, c.sectors);
    EXPECT_NEAR(RadiusAt(g, 0), 24.0e-3, 1e-12) << c.name;
    // The last sector of the first layer sits at the outer edge of the data zone.
    int64_t lastOfLayer0 = std::min(g.layerSectors, c.sectors) - 1;
    EXPECT_NEAR(RadiusAt(g, lastOfLayer0), 58.0e-3, 0.35e-3) << c.name;
    EXPECT_EQ(RotationPeriodUs(g), c.periodUs) << c.name;
    EXPECT_GE(RotationPeriodUs(g), 6303u);
    EXPECT_LE(RotationPeriodUs(g), 65536u);
  }
}

TEST(Geometry, SecondLayerRunsBackInwards) {
  // 4,000,000 sectors on two layers of 2,000,000 (a multiple of 16).
  DiscGeometry g = GeometryFor(MediumClass::kDvd, 2, 4000000);
  ASSERT_EQ(g.layerSectors, 2000000);
  // Layer 1 starts where layer 0 ends and mirrors it.
  EXPECT_NEAR(RadiusAt(g, 2000000 + 1000), RadiusAt(g, 2000000 - 1000), 1e-9);
  EXPECT_NEAR(RadiusAt(g, 3999999), RadiusAt(g, 1), 1e-6);
  // Crossing the boundary: 16 sectors out to the edge, 16 back in; no jump to the centre.
  double half = Revolutions(g, 2000000 - 16, 16);
  EXPECT_NEAR(half, 0.253638, 1e-5);  // (r(2e6) - r(2e6 - 16)) / 0.74 µm with 5.68 mm sectors
  EXPECT_NEAR(Revolutions(g, 2000000 - 16, 32), 2 * half, 1e-9);
  EXPECT_EQ(RotationUnits(g, 2000000 - 16, 32), 8510692u);
}

TEST(Geometry, RotationStaysBelowTheDispatcherFlagBit) {
  DiscGeometry g = GeometryFor(MediumClass::kCd, 1, 449849);
  EXPECT_EQ(RotationUnits(g, 0, 0), 0u);
  EXPECT_EQ(RotationUnits(g, 0, 449849), kMaxRotationUnits);
  // The largest transfer a request can carry (2 MiB of user data) stays unclamped.
  EXPECT_LT(RotationUnits(g, 0, 1024), kMaxRotationUnits);
}

// --- Medium descriptor ------------------------------------------------------------------

ImageLayout CdWithTracks(std::initializer_list<TrackMode> modes, uint8_t discType = 0) {
  ImageLayout l;
  int32_t at = 0;
  uint8_t n = 1;
  for (TrackMode m : modes) {
    Track t;
    t.number = n++;
    t.mode = m;
    t.pregapStart = at;
    t.indexes = {at};
    t.end = at += 100;
    l.disc.tracks.push_back(t);
  }
  l.disc.sessions.push_back({1, 0, l.disc.tracks.size() - 1, at, discType});
  return l;
}

TEST(MediumDescriptor, FlagsAsTheCommandLayerReadsThem) {
  auto iso = [](uint64_t sectors) {
    ImageLayout l;
    std::string err;
    EXPECT_TRUE(LayoutIso("a.iso", sectors * kUserSize, l, err)) << err;
    return l;
  };
  ImageLayout css = iso(2295104);
  css.copyProtection = 1;
  css.regionByte = 0xFE;  // region 1 only
  ImageLayout dvdPlusR = iso(449850);
  dvdPlusR.statedClass = kMediumDvdPlusR;
  struct Case {
    const char* name;
    ImageLayout layout;
    uint32_t want;
  } cases[] = {
      {"CD data", iso(1000), 0x00008000},
      {"DVD single layer", iso(449850), 0x00008003},
      {"DVD dual layer", iso(2295105), 0x00008403},
      {"BD triple layer", iso(24438785), 0x0000880C},
      {"CSS DVD of region 1", css, 0xFE008103},
      {"stated DVD+R", dvdPlusR, 0x00008007},
      {"audio CD", CdWithTracks({TrackMode::kAudio, TrackMode::kAudio}), 0x00009000},
      {"mixed CD", CdWithTracks({TrackMode::kMode1, TrackMode::kAudio}), 0x0000B000},
      {"CD-I", CdWithTracks({TrackMode::kMode2Mixed}, 0x10), 0x0000C000},
      {"XA data CD", CdWithTracks({TrackMode::kMode2Mixed}, 0x20), 0x00008000},
  };
  for (const Case& c : cases) {
    uint32_t d = MediumDescriptor(c.layout);
    EXPECT_EQ(d, c.want) << c.name << std::hex << " got 0x" << d;
    EXPECT_TRUE(d & kMediumCdbForm) << c.name;
  }
  // CSS is a DVD scheme: a CD never reports it.
  ImageLayout cd = iso(1000);
  cd.copyProtection = 1;
  EXPECT_EQ(MediumDescriptor(cd) & kMediumCopyProtectionMask, 0u);
}

// --- Engine: what a read reports --------------------------------------------------------

using test_support::Execute;
using ReadResult = test_support::Outcome;

TEST(EngineTiming, ReadsReportWhereASequentialReaderContinuesAndTheTurnItTook) {
  test_support::TempDir dir;
  test_support::OpenImage opened(dir.Sparse("disc.iso", 3000 * kUserSize));
  ASSERT_EQ(opened.error(), kImageOk) << opened.message();
  ImageHandle image = opened.image();
  uint32_t desc = 0, period = 0;
  uint64_t cap = 0;
  ASSERT_EQ(ImageQueryMedium(image, &desc, &period, &cap), kImageOk);
  EXPECT_EQ(period, 10908u);
  DiscGeometry g = GeometryFor(MediumClass::kCd, 1, 3000);

  ReadResult a = Execute(image, {0x28, 0, 0, 0, 0x03, 0xE8, 0, 0, 32, 0});  // 32 at 1000
  EXPECT_FALSE(a.check);
  EXPECT_EQ(a.head, 1032u);
  EXPECT_EQ(a.rotation, RotationUnits(g, 1000, 32));
  EXPECT_NEAR(a.rotation / 16777216.0, 32 / SectorsPerRevolution(g, 1016), 1e-3);
  // A request that reads nothing leaves the head where the read left it and takes no turn.
  ReadResult toc = Execute(image, {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0});
  EXPECT_EQ(toc.head, 1032u);
  EXPECT_EQ(toc.rotation, 0u);
  // A read refused before any sector moves leaves the head and takes no turn.
  ReadResult past = Execute(image, {0xA8, 0, 0, 0, 0x0B, 0xB0, 0, 0, 0, 10, 0, 0});  // 3000
  EXPECT_TRUE(past.check);
  EXPECT_EQ(past.head, 1032u);
  EXPECT_EQ(past.rotation, 0u);

  // Unpaced runs: no period and no rotation, the head still moves.
  ImageSetRotationTiming(0);
  ASSERT_EQ(ImageQueryMedium(image, &desc, &period, &cap), kImageOk);
  EXPECT_EQ(period, 0u);
  ReadResult b = Execute(image, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0});
  EXPECT_EQ(b.head, 1u);
  EXPECT_EQ(b.rotation, 0u);
  ImageSetRotationTiming(1);
  EXPECT_EQ(Execute(image, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}).rotation, RotationUnits(g, 0, 1));
}

}  // namespace
}  // namespace ravelkit
