#include "platform/bus1394/wire_time.h"

#include <gtest/gtest.h>

#include "platform/bus1394/bus1394.h"

namespace bus1394::wire {
namespace {

// Hand-computed figures, in picoseconds, rounded to the nearest: bits / rate, plus framing.
TEST(WireTime, PacketTimesMatchTheStandardsFigures) {
  struct Case {
    const char* what;
    uint8_t speed;
    uint32_t quadlets;
    Picoseconds expected;
  };
  const Case cases[] = {
      // 4 quadlets = 128 bits / 98.304 Mbit/s = 1.302083 µs, + 0.14 prefix + 0.24 end.
      {"S100 quadlet read request", SPEED_S100, RequestQuadlets(TCODE_READ_QUADLET, 4), 1'682'083},
      // 5 + 512 + 1 quadlets = 16,576 bits / 393.216 Mbit/s = 42.154948 µs, + 0.38.
      {"S400 2 KiB block write", SPEED_S400, RequestQuadlets(TCODE_WRITE_BLOCK, 2048), 42'534'948},
      // 5 + 8 + 1 quadlets (a 32-byte ORB) = 448 bits / 196.608 Mbit/s = 2.278646 µs, + 0.38.
      {"S200 32-byte read response", SPEED_S200, ResponseQuadlets(TCODE_READ_BLOCK, 32), 2'658'646},
      // 4 quadlets = 128 bits / 393.216 Mbit/s = 0.325521 µs, + 0.38.
      {"S400 write response", SPEED_S400, ResponseQuadlets(TCODE_WRITE_BLOCK, 8), 705'521},
      // Beta: 5 + 1024 + 1 quadlets = 32,960 bits, + 4 symbols of 8 data bits = 32,992 bits
      // / 786.432 Mbit/s = 41.951497 µs, no gaps or prefix.
      {"S800 4 KiB block write", SPEED_S800, RequestQuadlets(TCODE_WRITE_BLOCK, 4096), 41'951'497},
  };
  for (const Case& c : cases) EXPECT_EQ(PacketPs(c.speed, c.quadlets), c.expected) << c.what;
  // 0.05 gap + 0.14 + 8 bits / 393.216 Mbit/s (0.020345 µs) + 0.24.
  EXPECT_EQ(AckPs(SPEED_S400), 450'345);
  // A block of 6 bytes still goes as two whole data quadlets.
  EXPECT_EQ(RequestQuadlets(TCODE_WRITE_BLOCK, 6), 5u + 2 + 1);
  EXPECT_EQ(RequestQuadlets(TCODE_WRITE_QUADLET, 4), 5u);
  EXPECT_EQ(ResponseQuadlets(TCODE_READ_QUADLET, 4), 5u);
}

TEST(WireTime, GapsFollowGapCount) {
  // 107 and 211 periods of 98.304 MHz at gap_count 5; 1,035 and 2,067 at 63.
  EXPECT_EQ(SubactionGapPs(5), 1'088'460);
  EXPECT_EQ(ArbitrationResetGapPs(5), 2'146'403);
  EXPECT_EQ(SubactionGapPs(63), 10'528'564);
  EXPECT_EQ(ArbitrationResetGapPs(63), 21'026'611);
}

TEST(WireTime, FairnessCycleStartsAndIdleTime) {
  Bus bus(SPEED_S400);
  const Subaction write{SPEED_S400, RequestQuadlets(TCODE_WRITE_BLOCK, 2048)};
  const Picoseconds subaction = kArbitrationPs + PacketPs(SPEED_S400, write.quadlets) + AckPs(SPEED_S400);
  // On an idle bus a subaction gap has long passed: arbitration starts at once.
  const Picoseconds first = bus.Place(1, 0, write);
  EXPECT_EQ(first, subaction);
  // The other node only waits for a subaction gap; the same node again for an arbitration
  // reset gap (its turn in the fairness interval is used).
  const Picoseconds other = bus.Place(0, 0, write);
  EXPECT_EQ(other, first + SubactionGapPs(kTwoNodeGapCount) + subaction);
  const Picoseconds again = bus.Place(0, 0, write);
  EXPECT_EQ(again, other + ArbitrationResetGapPs(kTwoNodeGapCount) + subaction);
  EXPECT_EQ(bus.cycle_starts(), 0u);
  // The next packet would start after 125 µs: the cycle start goes first, after a
  // subaction gap, and the packet after another (the fairness interval goes on).
  const Picoseconds cycle_start = kArbitrationPs + PacketPs(SPEED_S100, kCycleStartQuadlets);
  const Picoseconds after = bus.Place(1, 0, write);
  EXPECT_EQ(bus.cycle_starts(), 1u);
  EXPECT_EQ(after, again + SubactionGapPs(kTwoNodeGapCount) + cycle_start + SubactionGapPs(kTwoNodeGapCount) + subaction);
  // A packet that is ready only later starts when it is ready; cycle starts of the idle
  // time cost it nothing.
  const Picoseconds late = 10 * kCyclePeriodPs + 20 * kPsPerUs;
  EXPECT_EQ(bus.Place(0, late, write), late + subaction);
}

// The ceiling of a stream of 64 KiB READ(10)s against what real drives and buses reach
// (what real SBP-2 initiators and drives do: S400 drives deliver 31 to 40 MB/s on a bus of
// about 45 MiB/s; S800 drives 42 to 54 MB/s on one of about 85 MiB/s).
TEST(WireTime, CeilingLiesBetweenRealDrivesAndTheBusFigure) {
  constexpr double kMiB = 1024.0 * 1024.0;
  CommandShape s400{SPEED_S400, 65536, MaxPayloadForSpeed(SPEED_S400)};
  s400.extra_read_bytes = 16 * 8;  // a page table of 4 KiB pages
  const double c400 = CeilingBytesPerSecond(s400);
  EXPECT_GE(c400, 40e6);
  EXPECT_LE(c400, 45 * kMiB * 1.05);
  CommandShape s800 = s400;
  s800.speed = SPEED_S800;
  s800.payload = MaxPayloadForSpeed(SPEED_S800);
  const double c800 = CeilingBytesPerSecond(s800);
  EXPECT_GE(c800, 54e6);
  EXPECT_LE(c800, 85 * kMiB * 1.10);
  // Split data writes (a response packet each) and smaller commands cost more of the bus.
  CommandShape split = s400;
  split.data_posted = false;
  EXPECT_LT(CeilingBytesPerSecond(split), c400);
  CommandShape small = s400;
  small.data_bytes = 2048;
  EXPECT_LT(CeilingBytesPerSecond(small), CeilingBytesPerSecond(split));
}

}  // namespace
}  // namespace bus1394::wire
