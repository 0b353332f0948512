#include "imagepath/clock.h"

#include <atomic>
#include <cstdint>
#include <limits>

#include "platform/win32/win32.h"

namespace imagepath {
namespace {

constexpr uint64_t kMicrosecondsPerSecond = 1'000'000;

// The counter is split into spans of q × F counts (q × 10^6 µs each) so that the
// conversion of the remainder, (c mod span) × 10^6, stays below 2^64 whatever F is:
// q = floor(floor(2^64 / 10^6) / F).
struct CounterScale {
  uint64_t frequency;  // F, counts per second
  uint64_t span;       // q × F, counts
  uint64_t span_us;    // q × 10^6, microseconds
};

std::atomic<uint64_t> g_frequency{0};
std::atomic<uint64_t> g_span{0};
std::atomic<uint64_t> g_span_us{0};
std::atomic<uint32_t> g_seed{0};
std::atomic<uint64_t (*)()> g_test_clock{nullptr};

bool ScaleFor(uint64_t frequency, CounterScale& scale) {
  if (frequency == 0) return false;
  // floor(2^64 / 10^6) equals floor((2^64 - 1) / 10^6): 10^6 does not divide 2^64.
  const uint64_t q = (std::numeric_limits<uint64_t>::max() / kMicrosecondsPerSecond) / frequency;
  if (q == 0) return false;  // a counter above 1.8e13 Hz: no span fits
  scale = {frequency, q * frequency, q * kMicrosecondsPerSecond};
  return true;
}

bool LoadScale(CounterScale& scale) {
  win32::LARGE_INTEGER f{};
  if (!win32::QueryPerformanceFrequency(&f) || f.QuadPart <= 0) return false;
  return ScaleFor(static_cast<uint64_t>(f.QuadPart), scale);
}

// A span is a whole number of seconds, so its counts convert exactly and only the
// remainder's product with 10^6 is formed, which stays below q × F × 10^6 <= 2^64.
uint64_t Convert(uint64_t c, uint64_t frequency, uint64_t span, uint64_t span_us) {
  return (c % span) * kMicrosecondsPerSecond / frequency + (c / span) * span_us;
}

void StoreScale(const CounterScale& scale) {
  g_span.store(scale.span, std::memory_order_relaxed);
  g_span_us.store(scale.span_us, std::memory_order_relaxed);
  g_frequency.store(scale.frequency, std::memory_order_release);
}

}  // namespace

bool InitClock() {
  CounterScale scale{};
  if (!LoadScale(scale)) return false;
  StoreScale(scale);
  g_seed.store(win32::GetTickCount(), std::memory_order_relaxed);
  return true;
}

uint64_t MicrosecondClock() {
  if (uint64_t (*now)() = g_test_clock.load(std::memory_order_acquire)) return now();
  uint64_t frequency = g_frequency.load(std::memory_order_acquire);
  if (frequency == 0) {
    // Used before InitClock: take the scale now rather than divide by zero.
    CounterScale scale{};
    if (!LoadScale(scale)) return 0;
    StoreScale(scale);
    frequency = scale.frequency;
  }
  const uint64_t span = g_span.load(std::memory_order_relaxed);
  const uint64_t span_us = g_span_us.load(std::memory_order_relaxed);
  win32::LARGE_INTEGER counter{};
  win32::QueryPerformanceCounter(&counter);
  return Convert(static_cast<uint64_t>(counter.QuadPart), frequency, span, span_us);
}

uint64_t CounterMicroseconds(uint64_t counter, uint64_t frequency) {
  CounterScale scale{};
  if (!ScaleFor(frequency, scale)) return 0;
  return Convert(counter, scale.frequency, scale.span, scale.span_us);
}

uint32_t RandomBelow(uint32_t n) {
  if (n == 0) return 0;
  uint32_t seed = g_seed.load(std::memory_order_relaxed);
  uint32_t next = 0;
  do {
    next = seed * 214013u + 2531011u;
  } while (!g_seed.compare_exchange_weak(seed, next, std::memory_order_relaxed));
  return ((next >> 16) & 0x7FFF) % n;
}

namespace testing {

void SetClock(uint64_t (*now)()) { g_test_clock.store(now, std::memory_order_release); }

void SetRandomSeed(uint32_t seed) { g_seed.store(seed, std::memory_order_relaxed); }

}  // namespace testing

}  // namespace imagepath
