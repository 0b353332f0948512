// Soak run, not part of the test suite: initiators keep reading and writing through the
// library while the bus resets at random. Every command must end good with the right data,
// every status must match an ORB, every login must survive by RECONNECT, and nothing may be
// left behind at the end. Two loads:
//  * OneAtATime: two initiators, one command each at a time.
//  * FullSlotSet: a linked-list initiator that keeps more commands outstanding than a login
//    has request slots, with a target slow enough that all four slots are busy at most
//    resets, and ABORT TASK SET now and then; commands it aborts are the only ones allowed
//    to end without an answer.
//
// DEVACCESS_SOAK_SECONDS sets the length of each load's run (default 20).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <future>
#include <mutex>
#include <random>
#include <string>
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

sim::Command RandomCommand(std::mt19937& rng, uint32_t max_quadlets) {
  const uint32_t lba = rng() % 100000;
  const uint32_t bytes = 4 * (1 + rng() % max_quadlets);
  sim::Command c = rng() % 2 ? Read10(lba, bytes)
                             : sim::Command::Make({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0, Pattern(bytes, lba));
  sim::StoreBe32(&c.cdb[2], lba);
  return c;
}

// What came back, counted; the first failures are kept for the report.
class Tally {
 public:
  void Check(const sim::Command& c, const sim::Result& r, bool abort_allowed, const char* who) {
    const uint32_t lba = sim::LoadBe32(&c.cdb[2]);
    const bool read = c.cdb[0] == 0x28;
    if (r.transport == sim::Transport::kAborted && abort_allowed) {
      ++aborted_;
    } else if (!r.good()) {
      Fail(who, read, lba, c, r);
    } else if (read && r.data != Pattern(c.data_in_length, lba)) {
      ++bad_reads_;
    } else {
      ++good_;
    }
  }
  void Report() {
    std::printf("good %d, aborted by task management %d, failed %d, wrong data %d\n", good_.load(), aborted_.load(),
                failed_.load(), bad_reads_.load());
    std::lock_guard<std::mutex> lock(mu_);
    for (const std::string& f : first_failures_) std::printf("  %s\n", f.c_str());
  }
  int good() const { return good_.load(); }
  int failed() const { return failed_.load(); }
  int bad_reads() const { return bad_reads_.load(); }

 private:
  void Fail(const char* who, bool read, uint32_t lba, const sim::Command& c, const sim::Result& r) {
    ++failed_;
    std::lock_guard<std::mutex> lock(mu_);
    if (first_failures_.size() >= 10) return;
    char line[200];
    std::snprintf(line, sizeof(line), "%s: %s at %u+%zu: %s (resp %u, sbp_status 0x%02X, scsi %u) after %d ORB(s)",
                  who, read ? "READ(10)" : "WRITE(10)", lba,
                  (read ? c.data_in_length : c.data_out.size()) / 2048u, sim::ToString(r.transport), r.resp,
                  r.sbp_status, r.scsi_status, r.attempts);
    first_failures_.push_back(line);
  }

  std::atomic<int> good_{0}, aborted_{0}, failed_{0}, bad_reads_{0};
  std::mutex mu_;
  std::vector<std::string> first_failures_;
};

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    target_.SetHandler([this](const Seen& s) {
      const uint32_t lba = sim::LoadBe32(&s.cdb[2]);
      if (s.cdb[0] == 0x2A && s.data_out != Pattern(s.data_length, lba)) ++bad_writes_;
      if (slow_target_) {
        thread_local std::mt19937 rng(7);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
      }
      return Reads(s);
    });
    handles_ = win32::testing::OpenHandles();
    ASSERT_EQ(VSbp2ApiInitialize(), 0u);
    uint32_t count = 0;
    ASSERT_EQ(EnumerateHostControllers(&count), 1);
    path_ = rig_.Path();
    const UnitCallbacks callbacks = FakeTarget::Callbacks();
    ASSERT_EQ(VSbp2ApiOpenUnit(path_.c_str(), 0, 0, &callbacks, &target_), 0u);
  }

  sim::Initiator& LoggedIn(sim::InitiatorOptions options) {
    initiators_.push_back(std::make_unique<sim::Initiator>(rig_.hc(), options));
    EXPECT_TRUE(initiators_.back()->Discover().ok);
    sim::LoginOptions login;
    login.reconnect = 2;  // a hold of 3 s
    EXPECT_TRUE(initiators_.back()->Login(login).ok());
    return *initiators_.back();
  }

  // Resets the bus at random moments until `end`.
  void ResetUntil(std::chrono::steady_clock::time_point end) {
    std::mt19937 rng(99);
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 400));
      rig_.hc().BusReset();
      ++resets_;
    }
  }

  void Finish() {
    tally_.Report();
    std::printf("bus resets %d\n", resets_);
    EXPECT_EQ(tally_.failed(), 0) << "commands lost or failed";
    EXPECT_EQ(tally_.bad_reads(), 0);
    EXPECT_EQ(bad_writes_.load(), 0);
    EXPECT_GT(tally_.good(), 0);
    for (size_t i = 0; i < initiators_.size(); ++i) {
      const sim::InitiatorCounters c = initiators_[i]->counters();
      std::printf("initiator %zu: %d resets seen, %d reconnects, %d relogins, %d status blocks from before a reset\n",
                  i, c.bus_resets, c.reconnects, c.relogins, c.late_status);
      for (const std::string& why : initiators_[i]->losses()) std::printf("  %s\n", why.c_str());
      for (const std::string& why : initiators_[i]->strays()) std::printf("  %s\n", why.c_str());
      EXPECT_EQ(c.stray_status, 0) << "initiator " << i;
      // Every reset comes well inside the login's hold: a login made afresh is one lost.
      EXPECT_EQ(c.relogins, 0) << "initiator " << i << ": login(s) lost and made afresh";
    }
    // A login the library ended while its initiator still used it tells how it was lost.
    const std::vector<DWORD> ended = target_.releases();
    if (!ended.empty()) {
      std::printf("logins the library ended before the unit closed, with codes:");
      for (DWORD code : ended) std::printf(" %u", static_cast<unsigned>(code));
      std::printf("\n");
    }
    initiators_.clear();
    EXPECT_EQ(VSbp2ApiCloseUnit(path_.c_str(), 0), 0u);
    VSbp2ApiUninitialize();
    EXPECT_EQ(win32::testing::OpenHandles(), handles_);
    EXPECT_EQ(win32::testing::LiveThreads(), 0u);
  }

  kern::ProcessScope process_{kProcess};
  Rig rig_{1, 0};
  FakeTarget target_{kProcess};
  std::atomic<bool> slow_target_{false};
  std::atomic<int> bad_writes_{0};
  std::vector<std::unique_ptr<sim::Initiator>> initiators_;
  std::u16string path_;
  size_t handles_ = 0;
  int resets_ = 0;
  Tally tally_;
};

TEST_F(Soak, OneAtATime) {
  for (uint64_t i = 0; i < 2; ++i) {
    sim::InitiatorOptions options;
    options.profile = sim::Profile::kMac;
    options.eui64 = 0x0800460300000100ULL + i;
    LoggedIn(options);
  }
  ASSERT_FALSE(HasFailure());
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(SoakSeconds());
  std::vector<std::thread> workers;
  for (size_t i = 0; i < initiators_.size(); ++i) {
    workers.emplace_back([&, i] {
      std::mt19937 rng(static_cast<uint32_t>(i) + 1);
      while (std::chrono::steady_clock::now() < end) {
        sim::Command c = RandomCommand(rng, 16384);
        tally_.Check(c, initiators_[i]->Execute(c), false, "one-at-a-time initiator");
      }
    });
  }
  ResetUntil(end);
  for (auto& w : workers) w.join();
  Finish();
}

TEST_F(Soak, FullSlotSet) {
  slow_target_ = true;
  sim::InitiatorOptions options;
  options.profile = sim::Profile::kChained;
  options.eui64 = 0x0800460300000200ULL;
  sim::Initiator& ini = LoggedIn(options);
  ASSERT_FALSE(HasFailure());
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(SoakSeconds());

  // A command may end aborted only if an ABORT TASK SET was sent while it was open.
  std::atomic<int> aborts_begun{0}, aborts_done{0}, aborts_ok{0};
  struct Open {
    sim::Command command;
    std::future<sim::Result> result;
    int begun_before;  // ABORT TASK SETs sent and answered when the command went out
    int done_before;
  };
  std::thread worker([&] {
    std::mt19937 rng(5);
    std::deque<Open> open;
    auto finish_oldest = [&] {
      Open o = std::move(open.front());
      open.pop_front();
      sim::Result r = o.result.get();
      const bool abort_while_open = o.done_before != o.begun_before || aborts_begun.load() != o.begun_before;
      tally_.Check(o.command, r, abort_while_open, "chained initiator");
    };
    while (std::chrono::steady_clock::now() < end) {
      while (open.size() < 6) {
        sim::Command c = RandomCommand(rng, 4096);
        const int done = aborts_done.load();
        const int begun = aborts_begun.load();
        std::future<sim::Result> f = ini.Submit(c);
        open.push_back({std::move(c), std::move(f), begun, done});
      }
      finish_oldest();
    }
    while (!open.empty()) finish_oldest();
  });
  std::thread aborter([&] {
    std::mt19937 rng(11);
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(700 + rng() % 1300));
      ++aborts_begun;
      if (ini.AbortTaskSet().ok()) ++aborts_ok;
      aborts_done = aborts_begun.load();
    }
  });
  ResetUntil(end);
  aborter.join();
  worker.join();
  std::printf("ABORT TASK SET: %d sent, %d answered good\n", aborts_begun.load(), aborts_ok.load());
  Finish();
}

}  // namespace
}  // namespace devaccess
