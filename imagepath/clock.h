// The time base and the random numbers of the drive timing model.
#pragma once

#include <cstdint>

namespace imagepath {

// Reads the performance-counter frequency and seeds the random numbers (GetTickCount).
// false when the frequency cannot be had.
bool InitClock();

// Microseconds of the performance counter; never overflows 64 bits.
uint64_t MicrosecondClock();
// The conversion MicrosecondClock makes of a counter value at `frequency` counts per
// second: floor(counter × 10^6 / frequency) without a 128-bit product. 0 for a frequency
// of 0 or above floor(2^64 / 10^6), where no span of whole seconds fits.
uint64_t CounterMicroseconds(uint64_t counter, uint64_t frequency);
// 0 for n = 0, else a number below n (the process-wide linear congruential generator).
uint32_t RandomBelow(uint32_t n);

namespace testing {
// Replaces the clock (null restores the performance counter) and sets the random seed.
// Tests that check timing rules drive a clock they advance by hand.
void SetClock(uint64_t (*now)());
void SetRandomSeed(uint32_t seed);
}  // namespace testing

}  // namespace imagepath
