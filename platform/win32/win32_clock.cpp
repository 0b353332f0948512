// Clocks, the system timer's tick and its period requests.
#include "platform/win32/win32_internal.h"

#include <algorithm>

namespace win32 {

namespace impl {

std::chrono::microseconds CurrentTick() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  if (s.periods.empty()) return kDefaultTick;
  return std::min<std::chrono::microseconds>(kDefaultTick, std::chrono::milliseconds(*s.periods.begin()));
}

// The first tick at or after `t`.
SteadyClock::time_point OnTick(SteadyClock::time_point t) {
  const auto tick = std::chrono::duration_cast<SteadyClock::duration>(CurrentTick());
  const auto since = t.time_since_epoch();
  const auto rounded = (since + tick - SteadyClock::duration(1)) / tick * tick;
  return SteadyClock::time_point(rounded);
}

// ---------------------------------------------------------------------------------------
// Time.
int64_t PerformanceFrequency() {
  const int64_t f = S().performance_frequency.load();
  return f != 0 ? f : 10'000'000;
}


int64_t SystemTimeOf(SteadyClock::time_point t) {
  constexpr int64_t kUnixEpochIn1601 = 116'444'736'000'000'000LL;
  const auto system_now = std::chrono::system_clock::now();
  const auto steady_now = SteadyClock::now();
  const auto at = system_now + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                   t - steady_now);
  const int64_t units =
      std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count() / 100;
  return units + kUnixEpochIn1601;
}


SteadyClock::time_point SteadyAfter(int64_t units_100ns) {
  const int64_t units = std::clamp<int64_t>(units_100ns, 0, kMaxDueUnits);
  return SteadyClock::now() + std::chrono::nanoseconds(units * 100);
}

SteadyClock::time_point SteadyOfSystemTime(int64_t units_1601) {
  const int64_t now = SystemTimeOf(SteadyClock::now());
  return SteadyAfter(units_1601 > now ? units_1601 - now : 0);
}

}  // namespace impl

using namespace impl;

// =======================================================================================
// Clocks.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (count == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto ns = static_cast<unsigned __int128>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch())
          .count());
  count->QuadPart = static_cast<int64_t>(ns * static_cast<uint64_t>(PerformanceFrequency()) /
                                         1'000'000'000u);
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (frequency == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (ShouldFail(testing::Call::QueryPerformanceFrequency, ERROR_NOT_SUPPORTED)) return FALSE;
  frequency->QuadPart = PerformanceFrequency();
  return TRUE;
}

uint64_t GetTickCount64() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   SteadyClock::now().time_since_epoch())
                                   .count());
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

MMRESULT timeBeginPeriod(UINT period_ms) {
  if (period_ms == 0) return TIMERR_NOCANDO;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  s.periods.insert(period_ms);
  return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT period_ms) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  auto it = s.periods.find(period_ms);
  if (it == s.periods.end()) return TIMERR_NOCANDO;
  s.periods.erase(it);
  return TIMERR_NOERROR;
}

}  // namespace win32
