#include "platform/threadcpu/threadcpu.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>

namespace threadcpu {
namespace {

uint64_t ClockNs(clockid_t clock) {
  timespec t{};
  if (clock_gettime(clock, &t) != 0) return 0;
  return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(t.tv_nsec);
}

uint64_t SteadyNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

struct Registry {
  std::mutex mu;
  std::set<clockid_t> live;  // clocks of counted threads that run
  uint64_t ended_ns = 0;     // guarded by mu
  std::atomic<uint64_t> calls_ns{0};
};

Registry& R() {
  // Never destroyed: counted threads may end after static destruction began.
  static Registry* r = new Registry;
  return *r;
}

// Removes the thread's clock, keeping its last reading, when the thread ends.
struct Counted {
  clockid_t clock{};
  bool on = false;
  ~Counted() {
    if (!on) return;
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    r.ended_ns += ClockNs(CLOCK_THREAD_CPUTIME_ID);
    r.live.erase(clock);
  }
};
thread_local Counted t_counted;
thread_local int t_call_depth = 0;  // calls nest when serving code calls back into the bus

}  // namespace

uint64_t ThisThreadNs() { return ClockNs(CLOCK_THREAD_CPUTIME_ID); }

void CountThisThread() {
  if (t_counted.on) return;
  clockid_t clock{};
  if (pthread_getcpuclockid(pthread_self(), &clock) != 0) return;
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mu);
  t_counted.clock = clock;
  t_counted.on = true;
  r.live.insert(clock);
}

ServingCall::ServingCall() : active_(!t_counted.on && t_call_depth++ == 0) {
  if (active_) start_ = SteadyNs();
}

ServingCall::~ServingCall() {
  if (t_counted.on) return;
  --t_call_depth;
  if (active_) R().calls_ns.fetch_add(SteadyNs() - start_, std::memory_order_relaxed);
}

uint64_t ServingNs() {
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mu);
  uint64_t total = r.ended_ns + r.calls_ns.load(std::memory_order_relaxed);
  // A clock stays valid while its thread is in the set: the thread leaves it under the
  // lock before it ends.
  for (clockid_t c : r.live) total += ClockNs(c);
  return total;
}

}  // namespace threadcpu
