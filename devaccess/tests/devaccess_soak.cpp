// Soak run, not part of the test suite: initiators keep reading and writing through the
// library while the bus resets at random. Every answer must carry the right data, every
// status must match an ORB, and nothing may be left behind at the end.
//
// DEVACCESS_SOAK_SECONDS sets the length of the run (default 20).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "devaccess/tests/test_rig.h"

namespace devaccess {
namespace {

using namespace std::chrono_literals;
using namespace devaccess::test_rig;

int SoakSeconds() {
  const char* s = std::getenv("DEVACCESS_SOAK_SECONDS");
  int v = s != nullptr ? std::atoi(s) : 0;
  return v > 0 ? v : 20;
}

TEST(Soak, CommandsSurviveRandomBusResets) {
  kern::ProcessScope process(kProcess);
  Rig rig(1, 0);
  FakeTarget target(kProcess);
  std::atomic<int> bad_writes{0};
  target.SetHandler([&bad_writes](const Seen& s) {
    const uint32_t lba = sim::LoadBe32(&s.cdb[2]);
    if (s.cdb[0] == 0x2A && s.data_out != Pattern(s.data_length, lba)) ++bad_writes;
    return Reads(s);
  });
  const size_t handles = win32::testing::OpenHandles();
  ASSERT_EQ(VSbp2ApiInitialize(), 0u);
  uint32_t count = 0;
  ASSERT_EQ(EnumerateHostControllers(&count), 1);
  const std::u16string path = rig.Path();
  const UnitCallbacks callbacks = FakeTarget::Callbacks();
  ASSERT_EQ(VSbp2ApiOpenUnit(path.c_str(), 0, 0, &callbacks, &target), 0u);

  std::vector<std::unique_ptr<sim::Initiator>> initiators;
  for (uint64_t i = 0; i < 2; ++i) {
    sim::InitiatorOptions options;
    options.profile = sim::Profile::kMac;
    options.eui64 = 0x0800460300000100ULL + i;
    initiators.push_back(std::make_unique<sim::Initiator>(rig.hc(), options));
    ASSERT_TRUE(initiators.back()->Discover().ok);
    sim::LoginOptions login;
    login.reconnect = 2;
    ASSERT_TRUE(initiators.back()->Login(login).ok());
  }

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(SoakSeconds());
  std::atomic<int> good{0}, failed{0}, bad_reads{0};
  std::vector<std::thread> workers;
  for (size_t i = 0; i < initiators.size(); ++i) {
    workers.emplace_back([&, i] {
      std::mt19937 rng(static_cast<uint32_t>(i) + 1);
      while (std::chrono::steady_clock::now() < end) {
        const uint32_t lba = rng() % 100000;
        const uint32_t bytes = 4 * (1 + rng() % 16384);
        sim::Command c = rng() % 2 ? Read10(lba, bytes)
                                   : sim::Command::Make({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0, Pattern(bytes, lba));
        sim::StoreBe32(&c.cdb[2], lba);
        const bool read = c.cdb[0] == 0x28;
        sim::Result r = initiators[i]->Execute(c);
        if (!r.good()) {
          ++failed;
        } else if (read && r.data != Pattern(bytes, lba)) {
          ++bad_reads;
        } else {
          ++good;
        }
      }
    });
  }
  std::mt19937 rng(99);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 400));
    rig.hc().BusReset();
  }
  for (auto& w : workers) w.join();
  std::printf("good %d, failed %d\n", good.load(), failed.load());
  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_EQ(bad_writes.load(), 0);
  EXPECT_GT(good.load(), 0);
  for (auto& ini : initiators) EXPECT_EQ(ini->counters().stray_status, 0);

  initiators.clear();
  EXPECT_EQ(VSbp2ApiCloseUnit(path.c_str(), 0), 0u);
  VSbp2ApiUninitialize();
  EXPECT_EQ(win32::testing::OpenHandles(), handles);
  EXPECT_EQ(win32::testing::LiveThreads(), 0u);
}

}  // namespace
}  // namespace devaccess
