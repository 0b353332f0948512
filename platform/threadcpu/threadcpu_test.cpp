#include "platform/threadcpu/threadcpu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace threadcpu {
namespace {

constexpr uint64_t kBurnNs = 20'000'000;

// Spins until the calling thread has used `ns` more of its own CPU time.
void Burn(uint64_t ns) {
  const uint64_t until = ThisThreadNs() + ns;
  std::atomic<uint64_t> sink{0};
  while (ThisThreadNs() < until) sink.fetch_add(1, std::memory_order_relaxed);
}

// One test, since the counts are process-wide: what counts and what does not.
TEST(ThreadCpu, CountsServingThreadsAndCallsOnly) {
  const uint64_t before = ServingNs();
  // A counted thread: its time stays counted after it has ended.
  std::thread([] {
    CountThisThread();
    CountThisThread();  // once is enough
    Burn(kBurnNs);
  }).join();
  const uint64_t after_thread = ServingNs();
  EXPECT_GE(after_thread - before, kBurnNs);

  // Work of a thread that is not counted adds nothing.
  std::thread([] { Burn(kBurnNs); }).join();
  Burn(kBurnNs);
  EXPECT_EQ(ServingNs(), after_thread);

  // A call into serving code on such a thread counts (timed on the steady clock, so at
  // least the CPU time it took), nested calls inside it too.
  std::thread([] {
    ServingCall call;
    Burn(kBurnNs / 2);
    {
      ServingCall nested;
      Burn(kBurnNs / 2);
    }
  }).join();
  const uint64_t after_call = ServingNs();
  EXPECT_GE(after_call - after_thread, kBurnNs);

  // A running counted thread is read from its clock while it runs.
  std::atomic<bool> burnt{false}, stop{false};
  std::thread live([&] {
    CountThisThread();
    Burn(kBurnNs);
    burnt = true;
    while (!stop) std::this_thread::yield();
  });
  while (!burnt) std::this_thread::yield();
  EXPECT_GE(ServingNs() - after_call, kBurnNs);
  stop = true;
  live.join();
}

}  // namespace
}  // namespace threadcpu
