// The timing model's time base and random numbers against values worked out by hand and
// against the exact 128-bit result.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "imagepath/clock.h"
#include "platform/win32/win32.h"

namespace imagepath {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

uint64_t Exact(uint64_t counter, uint64_t frequency) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(counter) * 1'000'000 / frequency);
}

TEST(MicrosecondClock, CounterConversionIsExactWhereTheNaiveProductOverflows) {
  struct Row {
    uint64_t counter, frequency, microseconds;
  };
  const Row known[] = {
      {0, 10'000'000, 0},
      {12'345'678, 10'000'000, 1'234'567},                     // rounds down
      {kMax, 10'000'000, 1'844'674'407'370'955'161},           // c × 10^6 would need 84 bits
      {(uint64_t{1} << 63) - 1, 3'579'545, 2'576'688'388'288'113'658},  // the ACPI timer's rate
      {kMax, 2'533'200'000, 7'281'992'765'557'220},            // a fast invariant TSC
      {1'000'000, 1, 1'000'000'000'000},                       // one count a second
  };
  for (const Row& r : known) {
    EXPECT_EQ(CounterMicroseconds(r.counter, r.frequency), r.microseconds) << r.counter << " at " << r.frequency;
  }
  // Around each span boundary (q × F counts) and at the largest frequency a span fits.
  const uint64_t frequencies[] = {1, 1'000, 3'579'545, 10'000'000, 1'000'000'007, 2'533'200'000,
                                  kMax / 1'000'000};
  for (uint64_t f : frequencies) {
    const uint64_t span = (kMax / 1'000'000) / f * f;
    for (uint64_t c : {span - 1, span, span + 1, 2 * span - 1, kMax - 1, kMax}) {
      EXPECT_EQ(CounterMicroseconds(c, f), Exact(c, f)) << c << " at " << f;
    }
  }
  EXPECT_EQ(CounterMicroseconds(kMax, 0), 0u);
  EXPECT_EQ(CounterMicroseconds(kMax, kMax / 1'000'000 + 1), 0u) << "no whole-second span fits";
}

TEST(MicrosecondClock, FollowsThePerformanceCounterAtItsFrequency) {
  win32::testing::SetPerformanceFrequency(3'579'545);
  ASSERT_TRUE(InitClock());
  win32::LARGE_INTEGER before{};
  win32::QueryPerformanceCounter(&before);
  const uint64_t us = MicrosecondClock();
  win32::LARGE_INTEGER after{};
  win32::QueryPerformanceCounter(&after);
  EXPECT_GE(us, CounterMicroseconds(static_cast<uint64_t>(before.QuadPart), 3'579'545));
  EXPECT_LE(us, CounterMicroseconds(static_cast<uint64_t>(after.QuadPart), 3'579'545));

  win32::testing::FailNext(win32::testing::Call::QueryPerformanceFrequency);
  EXPECT_FALSE(InitClock());
  win32::testing::Reset();
  ASSERT_TRUE(InitClock());
}

TEST(RandomBelow, IsTheLinearCongruentialSequence) {
  // seed × 214013 + 2531011, bits 16-30: from seed 1 the well-known 41, 18467, 6334, ...
  testing::SetRandomSeed(1);
  for (uint32_t v : {41u, 18467u, 6334u, 26500u, 19169u}) EXPECT_EQ(RandomBelow(32768), v);
  // Reduced modulo n; n = 0 answers 0 and leaves the sequence where it was.
  testing::SetRandomSeed(7);
  EXPECT_EQ(RandomBelow(0), 0u);
  EXPECT_EQ(RandomBelow(100), 61u);
  EXPECT_EQ(RandomBelow(6), 4u);
  EXPECT_EQ(RandomBelow(1), 0u);
  EXPECT_EQ(RandomBelow(0), 0u);
  EXPECT_EQ(RandomBelow(1000), 40u);
  EXPECT_EQ(RandomBelow(32768), 15521u);
  // Never more than 15 bits, whatever n.
  for (int i = 0; i < 1000; ++i) EXPECT_LT(RandomBelow(kMax >> 32), 32768u);
}

}  // namespace
}  // namespace imagepath
