// The read dispatcher against a spy engine that records every call and answers from a
// synthetic medium: which requests the ring serves, what the engine is asked to read, and
// what every answer carries.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "imagepath/target.h"

namespace imagepath {
namespace {

using namespace std::chrono_literals;

uint8_t SectorByte(uint64_t lba, uint32_t i) { return static_cast<uint8_t>(lba * 131 + i * 7 + (i >> 8)); }

std::vector<uint8_t> Sectors(uint64_t lba, uint32_t count) {
  std::vector<uint8_t> v(size_t{count} * kSectorSize);
  for (uint32_t s = 0; s < count; ++s)
    for (uint32_t i = 0; i < kSectorSize; ++i) v[size_t{s} * kSectorSize + i] = SectorByte(lba + s, i);
  return v;
}

uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// Rotation the spy reports per sector read, in 2^-24 revolution.
constexpr uint32_t kRotationPerSector = 0x100;

// The engine: a medium of `capacity` sectors whose bytes are SectorByte. READ(10)/(12) move
// the data, leave the head after the last sector and take kRotationPerSector per sector;
// anything else answers four bytes of 0xEE without moving the head.
class SpyEngine {
 public:
  struct Call {
    std::array<uint8_t, 16> cdb;
    uint32_t flags;
    uint32_t count;
    bool background() const { return (flags & kRequestBackground) != 0; }
    uint32_t lba() const { return Be32(&cdb[2]); }
    uint32_t sectors() const { return cdb[0] == 0x28 ? uint32_t{cdb[7]} << 8 | cdb[8] : Be32(&cdb[6]); }
  };
  enum class Fault { kNone, kStatusFailed, kCallFails, kCheckCondition };

  explicit SpyEngine(uint64_t capacity) : capacity_(capacity) {
    self_ = this;
    SetEngineForTesting(&kOps);
  }
  ~SpyEngine() {
    SetEngineForTesting(nullptr);
    self_ = nullptr;
  }

  ImageHandle handle() { return reinterpret_cast<ImageHandle>(this); }

  // The next foreground (or background) call fails this way.
  void FailNext(Fault f, bool background = false) {
    std::lock_guard<std::mutex> lock(mu_);
    (background ? background_fault_ : fault_) = f;
  }
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  std::vector<Call> foreground() {
    std::vector<Call> out;
    for (const Call& c : calls())
      if (!c.background()) out.push_back(c);
    return out;
  }
  std::vector<Call> background() {
    std::vector<Call> out;
    for (const Call& c : calls())
      if (c.background()) out.push_back(c);
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.clear();
  }

 private:
  static uint32_t Execute(ImageHandle, MediaRequest* r, uint32_t* status) { return self_->Run(r, status); }
  static uint32_t Open(uint32_t, const char16_t*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, void*,
                       ImageHandle*, uint32_t) {
    return 87;
  }
  static uint32_t Query(ImageHandle, uint32_t*, uint32_t*, uint64_t*) { return 87; }
  static void Close(ImageHandle, uint32_t) {}
  static constexpr EngineOps kOps = {&Open, &Query, &Execute, &Close};

  uint32_t Run(MediaRequest* r, uint32_t* status) {
    Call call{};
    std::memcpy(call.cdb.data(), r->cdb, 16);
    call.flags = r->flags;
    call.count = r->byteCount;
    Fault fault;
    {
      std::lock_guard<std::mutex> lock(mu_);
      calls_.push_back(call);
      Fault& f = call.background() ? background_fault_ : fault_;
      fault = f;
      f = Fault::kNone;
    }
    if (fault == Fault::kCallFails) return 1;
    uint8_t* res = r->cdb;
    const uint8_t op = call.cdb[0];
    uint32_t rotation = 0;
    const bool read = op == 0x28 || op == 0xA8;
    std::memset(res, 0, 16);
    if (read && call.lba() + uint64_t{call.sectors()} > capacity_) fault = Fault::kCheckCondition;
    if (fault == Fault::kCheckCondition) {
      std::memset(r->sense, 0, 18);
      r->sense[0] = 0x70;
      r->sense[2] = 0x03;
      r->sense[7] = 10;
      r->sense[12] = 0x11;
      res[kResultSenseLength] = 18;
      res[kResultFlags] = kResultCheckCondition;
    } else if (read) {
      for (uint32_t s = 0; s < call.sectors(); ++s) {
        std::vector<uint8_t> data = Sectors(call.lba() + s, 1);
        r->copy(r->copyContext, data.data(), kSectorSize, s * kSectorSize, kCopyToRequest);
      }
      head_ = call.lba() + call.sectors();
      rotation = rotation_per_sector.load() * call.sectors();
    } else if (r->copy != nullptr) {
      uint8_t ee[4] = {0xEE, 0xEE, 0xEE, 0xEE};
      r->copy(r->copyContext, ee, 4, 0, kCopyToRequest);
    }
    std::memcpy(res + kResultHeadLba, &head_, 8);
    std::memcpy(res + kResultRotation, &rotation, 4);
    *status = fault == Fault::kStatusFailed ? kStatusFailed : kStatusDone;
    return 0;
  }

  static inline SpyEngine* self_ = nullptr;

 public:
  // The rotation each sector read takes (2^-24 revolution).
  std::atomic<uint32_t> rotation_per_sector{kRotationPerSector};

 private:
  const uint64_t capacity_;
  uint64_t head_ = 0;  // the dispatcher calls one at a time
  std::mutex mu_;
  std::vector<Call> calls_;
  Fault fault_ = Fault::kNone;
  Fault background_fault_ = Fault::kNone;
};

// One command's request to the medium, with its own data buffer and sense.
struct Request {
  MediaRequest r{};
  std::vector<uint8_t> data;
  uint8_t sense[18] = {};
  // Completion (on the dispatcher thread).
  std::mutex mu;
  std::condition_variable cv;
  bool completed = false;
  uint32_t status = 0;

  Request(std::initializer_list<uint8_t> cdb, uint32_t bytes) : data(bytes) {
    r.flags = kRequestCdb;
    r.byteCount = bytes;
    r.copyContext = this;
    r.sense = sense;
    r.copy = &Copy;
    std::copy(cdb.begin(), cdb.end(), r.cdb);
  }
  static Request Read10(uint32_t lba, uint16_t count, uint8_t byte1 = 0) {
    return Request({0x28, byte1, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
                    uint8_t(count >> 8), uint8_t(count), 0},
                   uint32_t{count} * kSectorSize);
  }
  static Request Read12(uint32_t lba, uint32_t count) {
    return Request({0xA8, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
                    uint8_t(count >> 24), uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count), 0, 0},
                   count * kSectorSize);
  }

  static void Copy(void* context, void* buffer, uint32_t length, uint32_t offset, uint32_t direction) {
    auto* self = static_cast<Request*>(context);
    if (direction != kCopyToRequest || offset >= self->data.size()) return;
    std::memcpy(self->data.data() + offset, buffer, std::min<size_t>(length, self->data.size() - offset));
  }
  static void Completed(void* user, MediaRequest*, uint32_t status) {
    auto* self = static_cast<Request*>(user);
    std::lock_guard<std::mutex> lock(self->mu);
    self->completed = true;
    self->status = status;
    self->cv.notify_all();
  }
  bool WaitCompleted() {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, 10s, [this] { return completed; });
  }

  uint64_t position() const { return ResultPosition(r); }
  uint32_t rotation() const { return ResultRotation(r); }
  uint8_t sense_length() const { return r.cdb[kResultSenseLength]; }
  uint8_t status_byte() const { return r.cdb[kResultFlags]; }
};

// A target with only its dispatcher running, over the spy engine. Checks at the end that
// the dispatcher left no handle or thread behind.
class Dispatcher : public ::testing::Test {
 protected:
  void Start(uint32_t medium_class, uint64_t capacity) {
    engine_ = std::make_unique<SpyEngine>(capacity);
    target_ = std::make_unique<Target>();
    InitDispatcher(&t());
    ASSERT_TRUE(StartDispatcher(&t()));
    SetDispatcherMedium(&t(), engine_->handle(), capacity, medium_class | kMediumCdbForm);
  }
  void TearDown() override {
    if (target_ != nullptr) {
      t().stopping = 1;
      StopDispatcher(&t());
      DestroyDispatcher(&t());
    }
    target_.reset();
    engine_.reset();
    EXPECT_EQ(win32::testing::OpenHandles(), handles_);
    EXPECT_EQ(win32::testing::LiveThreads(), 0u);
  }

  // Submits and, when handed over, waits for the completion. The result of the submit.
  uint32_t Run(Request& req) {
    const uint32_t result = SubmitMediaRequest(&t(), &req.r, &Request::Completed, &req);
    if (result == win32::ERROR_IO_PENDING) {
      EXPECT_TRUE(req.WaitCompleted());
    }
    return result;
  }

  // Waits until no request is pending and the prefetch has nothing left to do.
  bool WaitIdle() {
    for (int i = 0; i < 5000; ++i) {
      win32::EnterCriticalSection(&t().dispatcher_lock);
      const bool idle = t().pending == nullptr && t().engine_busy == 0 &&
                        !(t().read_ahead_active != 0 && (t().fill_entry != t().current_entry || t().prefetch_continue != 0));
      win32::LeaveCriticalSection(&t().dispatcher_lock);
      if (idle) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  Target& t() { return *target_; }
  void SetLastPosition(uint64_t position) {
    win32::EnterCriticalSection(&t().dispatcher_lock);
    t().last_position = position;
    win32::LeaveCriticalSection(&t().dispatcher_lock);
  }

  size_t handles_ = win32::testing::OpenHandles();
  std::unique_ptr<SpyEngine> engine_;
  std::unique_ptr<Target> target_;

};

constexpr uint32_t kDvd = kMediumDvdRom;
constexpr uint32_t kCd = kMediumCdRom;

TEST_F(Dispatcher, DvdMissReadsWholeBlocksIntoEntryZeroThenPrefetchesBlockByBlock) {
  Start(kDvd, 100000);
  Request req = Request::Read10(100, 16);
  EXPECT_EQ(Run(req), win32::ERROR_IO_PENDING);
  EXPECT_EQ(req.status, kStatusDone);
  EXPECT_EQ(req.data, Sectors(100, 16));
  EXPECT_EQ(req.r.byteCount, 16u * kSectorSize);
  EXPECT_EQ(req.sense_length(), 0);
  EXPECT_EQ(req.status_byte(), kDispatcherStatusByte);
  EXPECT_EQ(req.position(), 128u);  // where the engine's head stopped
  EXPECT_EQ(req.rotation(), 32 * kRotationPerSector);

  ASSERT_TRUE(WaitIdle());
  const auto fg = engine_->foreground();
  ASSERT_EQ(fg.size(), 1u);
  EXPECT_EQ(fg[0].cdb[0], 0x28);
  EXPECT_EQ(fg[0].lba(), 96u);
  EXPECT_EQ(fg[0].sectors(), 32u);
  EXPECT_EQ(fg[0].count, 32u * kSectorSize);
  EXPECT_EQ(t().ring[0].start, 96u);
  EXPECT_EQ(t().ring[0].end, 128u);

  // The ring fills up to the entry being read: 31 entries of two 16-sector blocks.
  const auto bg = engine_->background();
  ASSERT_EQ(bg.size(), 62u);
  for (size_t i = 0; i < bg.size(); ++i) {
    EXPECT_EQ(bg[i].lba(), 128u + 16 * i) << i;
    EXPECT_EQ(bg[i].sectors(), 16u);
  }
  EXPECT_EQ(t().fill_entry, t().current_entry);
  EXPECT_EQ(t().ring[31].end, 128u + 62 * 16);
}

TEST_F(Dispatcher, CdPrefetchReadsOneSectorPerCallAndFillsAnEntryIn32Calls) {
  Start(kCd, 5000);
  Request req = Request::Read10(10, 4);
  EXPECT_EQ(Run(req), win32::ERROR_IO_PENDING);
  EXPECT_EQ(req.data, Sectors(10, 4));
  ASSERT_TRUE(WaitIdle());
  const auto fg = engine_->foreground();
  ASSERT_EQ(fg.size(), 1u);
  EXPECT_EQ(fg[0].lba(), 10u);  // a CD block is one sector: nothing to widen
  EXPECT_EQ(fg[0].sectors(), 4u);
  const auto bg = engine_->background();
  ASSERT_EQ(bg.size(), 31u * 32);
  for (size_t i = 0; i < bg.size(); ++i) ASSERT_EQ(bg[i].sectors(), 1u) << i;
  EXPECT_EQ(bg.front().lba(), 14u);
  // Entry 1 took the first 32 calls.
  EXPECT_EQ(t().ring[1].start, 14u);
  EXPECT_EQ(t().ring[1].end, 46u);
  EXPECT_EQ(t().ring[2].start, 46u);
}

TEST_F(Dispatcher, HitsAreAnsweredAtOnceWithTheCreditsOfTheBlocksTheyConsume) {
  Start(kDvd, 100000);
  Request miss = Request::Read10(100, 16);
  ASSERT_EQ(Run(miss), win32::ERROR_IO_PENDING);
  ASSERT_TRUE(WaitIdle());
  engine_->Clear();

  // 116-127 from entry 0 (read by the miss: no cost), 128-131 from entry 1's first block.
  Request hit = Request::Read10(116, 16);
  EXPECT_EQ(Run(hit), 0u);
  EXPECT_FALSE(hit.completed);
  EXPECT_EQ(hit.data, Sectors(116, 16));
  EXPECT_EQ(hit.r.byteCount, 16u * kSectorSize);
  EXPECT_EQ(hit.rotation(), kRotationFromRing | 16 * kRotationPerSector);
  EXPECT_EQ(hit.position(), 144u);  // rounded up to the block
  EXPECT_EQ(hit.sense_length(), 0);
  EXPECT_EQ(hit.status_byte(), kDispatcherStatusByte);

  // A block is credited once: the rest of entry 1's first block comes free.
  Request again = Request::Read12(132, 12);
  EXPECT_EQ(Run(again), 0u);
  EXPECT_EQ(again.data, Sectors(132, 12));
  EXPECT_EQ(again.rotation(), kRotationFromRing);

  // Skipping the rest of entry 1 and reading on into entry 3 pays for four blocks.
  Request wide = Request::Read10(160, 40);
  EXPECT_EQ(Run(wide), 0u);
  EXPECT_EQ(wide.data, Sectors(160, 40));
  EXPECT_EQ(wide.rotation(), kRotationFromRing | 64 * kRotationPerSector);

  // The current entry moved on: the prefetch refills the entries behind it.
  ASSERT_TRUE(WaitIdle());
  const auto bg = engine_->background();
  ASSERT_FALSE(bg.empty());
  EXPECT_EQ(bg.front().lba(), 128u + 62 * 16);
  EXPECT_TRUE(engine_->foreground().empty());
}

TEST_F(Dispatcher, SequentialReadsThroughTheRingAreByteExact) {
  for (uint32_t medium : {kDvd, kCd}) {
    SCOPED_TRACE(medium == kCd ? "CD" : "DVD");
    Start(medium, 4000);
    // Odd sizes and offsets, across entries and past the ring's first lap, racing the
    // prefetch.
    uint32_t lba = 7;
    for (int i = 0; i < 60; ++i) {
      const uint16_t count = static_cast<uint16_t>(1 + (i * 37) % 70);
      Request req = Request::Read10(lba, count);
      Run(req);
      ASSERT_EQ(req.data, Sectors(lba, count)) << "read " << i << " at " << lba;
      ASSERT_EQ(req.r.byteCount, uint32_t{count} * kSectorSize);
      lba += count;
      if (i % 7 == 0) WaitIdle();
    }
    TearDown();
  }
}

// A prefetch that brought part of a handed-over READ before the dispatcher took it: that
// part comes from the ring and only the rest from the engine, each at its own offset.
TEST_F(Dispatcher, ReadServedPartlyByALatePrefetchReadsOnlyTheRest) {
  Start(kCd, 5000);
  Request req = Request::Read10(100, 20);
  win32::EnterCriticalSection(&t().dispatcher_lock);
  ASSERT_EQ(SubmitMediaRequest(&t(), &req.r, &Request::Completed, &req), win32::ERROR_IO_PENDING);
  RingEntry& e = t().ring[5];
  e.valid = 1;
  e.start = 100;
  e.end = 108;
  const std::vector<uint8_t> held = Sectors(100, 8);
  std::memcpy(t().read_ahead_buffer + 5 * kEntryBytes, held.data(), held.size());
  win32::LeaveCriticalSection(&t().dispatcher_lock);

  ASSERT_TRUE(req.WaitCompleted());
  EXPECT_EQ(req.status, kStatusDone);
  EXPECT_EQ(req.data, Sectors(100, 20));
  EXPECT_EQ(req.r.byteCount, 20u * kSectorSize);
  const auto fg = engine_->foreground();
  ASSERT_EQ(fg.size(), 1u);
  EXPECT_EQ(fg[0].lba(), 108u);
  EXPECT_EQ(fg[0].sectors(), 12u);
}

// Requests the ring does not serve go to the engine as they are.
TEST_F(Dispatcher, RequestsOutsideTheRingGoToTheEngineDirectly) {
  struct Row {
    const char* name;
    Request (*make)();
    bool empties_ring;
  };
  const Row rows[] = {
      {"READ(10) with FUA", [] { return Request::Read10(100, 8, 0x08); }, true},
      {"READ CD", [] { return Request({0xBE, 0, 0, 0, 0, 100, 0, 0, 1, 0x10, 0, 0}, kSectorSize); }, true},
      {"READ TOC", [] { return Request({0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0}, 804); }, false},
      // The commands that move the head to a sector of their own empty the ring too.
      {"READ HEADER", [] { return Request({0x44, 0, 0, 0, 0x01, 0xF4, 0, 0, 8, 0}, 8); }, true},
      {"REPORT KEY title key (format 4)",
       [] { return Request({0xA4, 0, 0, 0, 0x01, 0xF4, 0, 0, 0, 12, 0x04, 0}, 12); }, true},
      {"REPORT KEY AGID (format 0)", [] { return Request({0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x00, 0}, 8); },
       false},
      {"READ DISC STRUCTURE copyright of a sector (format 5)",
       [] { return Request({0xAD, 0, 0, 0, 0x01, 0xF4, 0, 0x05, 0, 8, 0, 0}, 8); }, true},
      {"READ DISC STRUCTURE physical (format 0)",
       [] { return Request({0xAD, 0, 0, 0, 0, 0, 0, 0x00, 0x08, 0x04, 0, 0}, 2052); }, false},
      {"READ DISC STRUCTURE format 5 of a BD (media type 1)",
       [] { return Request({0xAD, 1, 0, 0, 0x01, 0xF4, 0, 0x05, 0, 8, 0, 0}, 8); }, false},
      {"end rounded up to the block passes the capacity", [] { return Request::Read10(990, 4); }, true},
      {"range wider than the ring", [] { return Request::Read12(0, kRingSectors + 1); }, true},
      {"no sectors", [] { return Request::Read10(100, 0); }, true},
  };
  Start(kDvd, 1000);  // not a whole number of 16-sector blocks
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Request fill = Request::Read10(100, 16);
    Run(fill);
    ASSERT_TRUE(WaitIdle());
    engine_->Clear();

    Request req = row.make();
    const std::array<uint8_t, 16> cdb = [&] {
      std::array<uint8_t, 16> c;
      std::memcpy(c.data(), req.r.cdb, 16);
      return c;
    }();
    EXPECT_EQ(Run(req), win32::ERROR_IO_PENDING);
    EXPECT_EQ(req.status, kStatusDone);
    auto calls = engine_->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].cdb, cdb);
    EXPECT_EQ(calls[0].count, req.data.size());
    EXPECT_FALSE(calls[0].background());

    // What the ring held before is still served from it, or no longer.
    engine_->Clear();
    Request probe = Request::Read10(100, 16);
    EXPECT_EQ(Run(probe), row.empties_ring ? win32::ERROR_IO_PENDING : 0u);
    EXPECT_EQ(probe.data, Sectors(100, 16));
  }
}

// Credits add up to more than bit 31 can carry when prefetched blocks took long: the sum
// saturates (top byte 0x7F, the low 24 bits kept) instead of wrapping to a short rotation,
// both for a ring hit (with the ring bit on top) and for a direct request after a flush.
TEST_F(Dispatcher, RotationCreditsSaturateInsteadOfWrapping) {
  Start(kDvd, 100000);
  engine_->rotation_per_sector = 0x00800000;  // half a revolution a sector: 8 a block
  Request miss = Request::Read10(0, 16);
  ASSERT_EQ(Run(miss), win32::ERROR_IO_PENDING);
  ASSERT_TRUE(WaitIdle());

  // 512 prefetched sectors at once: 32 blocks of 0x08000000 would wrap to 0.
  Request hit = Request::Read12(32, 512);
  ASSERT_EQ(Run(hit), 0u);
  EXPECT_EQ(hit.data, Sectors(32, 512));
  EXPECT_EQ(hit.rotation() & 0xFF000000u, kRotationFromRing | kRotationSaturated);
  ASSERT_TRUE(WaitIdle());

  // A READ CD empties the refilled ring: its own sector plus every block's credit.
  engine_->Clear();
  Request direct({0xBE, 0, 0, 0, 0x10, 0, 0, 0, 1, 0x10, 0, 0}, kSectorSize);
  ASSERT_EQ(Run(direct), win32::ERROR_IO_PENDING);
  EXPECT_EQ(direct.rotation() & 0xFF000000u, kRotationSaturated);
  EXPECT_EQ(engine_->background().size(), 0u);
}

// Prefetching stops at the last whole ECC block before the end: nothing is asked of the
// engine past the capacity, and read-ahead goes inactive there.
TEST_F(Dispatcher, ReadAheadStopsAtTheEndOfTheMedium) {
  Start(kDvd, 300);  // 18 whole blocks and 12 sectors
  Request req = Request::Read10(0, 16);
  ASSERT_EQ(Run(req), win32::ERROR_IO_PENDING);
  ASSERT_TRUE(WaitIdle());
  const auto bg = engine_->background();
  ASSERT_FALSE(bg.empty());
  for (const auto& c : bg) EXPECT_LE(c.lba() + c.sectors(), 300u) << c.lba();
  EXPECT_EQ(bg.back().lba() + bg.back().sectors(), 288u) << "the last whole block";
  EXPECT_EQ(t().read_ahead_active, 0);
  // The tail past the last whole block is read by the engine when asked, as the READ it is.
  engine_->Clear();
  Request tail = Request::Read10(288, 12);
  EXPECT_EQ(Run(tail), win32::ERROR_IO_PENDING);
  EXPECT_EQ(tail.data, Sectors(288, 12));
  ASSERT_EQ(engine_->foreground().size(), 1u);
}

TEST_F(Dispatcher, SecondRequestWhilePendingAnswers5AndLeavesTheFirstAlone) {
  Start(kDvd, 100000);
  Request first = Request::Read10(100, 16);
  Request second = Request::Read10(500, 16);
  // Holding the lock keeps the dispatcher thread from taking the first request.
  win32::EnterCriticalSection(&t().dispatcher_lock);
  EXPECT_EQ(SubmitMediaRequest(&t(), &first.r, &Request::Completed, &first), win32::ERROR_IO_PENDING);
  t().last_position = 4242;
  EXPECT_EQ(SubmitMediaRequest(&t(), &second.r, &Request::Completed, &second), win32::ERROR_ACCESS_DENIED);
  win32::LeaveCriticalSection(&t().dispatcher_lock);
  EXPECT_EQ(second.position(), 4242u);
  EXPECT_EQ(second.rotation(), 0u);
  EXPECT_EQ(second.sense_length(), 0);
  EXPECT_EQ(second.status_byte(), kDispatcherStatusByte);

  ASSERT_TRUE(first.WaitCompleted());
  EXPECT_EQ(first.status, kStatusDone);
  EXPECT_EQ(first.data, Sectors(100, 16));
  EXPECT_FALSE(second.completed);
  const auto fg = engine_->foreground();
  ASSERT_EQ(fg.size(), 1u);
  EXPECT_EQ(fg[0].lba(), 96u);
}

TEST_F(Dispatcher, EngineFailuresAnswer87WithoutSenseAndKeepNothing) {
  for (SpyEngine::Fault fault : {SpyEngine::Fault::kStatusFailed, SpyEngine::Fault::kCallFails}) {
    SCOPED_TRACE(fault == SpyEngine::Fault::kCallFails ? "call fails" : "status 87");
    Start(kDvd, 100000);
    SetLastPosition(77);
    engine_->FailNext(fault);
    Request miss = Request::Read10(100, 16);
    EXPECT_EQ(Run(miss), win32::ERROR_IO_PENDING);
    EXPECT_EQ(miss.status, kStatusFailed);
    EXPECT_EQ(miss.sense_length(), 0);
    EXPECT_EQ(miss.status_byte(), kDispatcherStatusByte);
    EXPECT_EQ(miss.r.byteCount, 0u);
    EXPECT_EQ(miss.rotation(), 0u);
    EXPECT_EQ(miss.position(), 77u);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(engine_->background().empty());

    engine_->FailNext(fault);
    Request direct = Request({0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0}, 804);
    EXPECT_EQ(Run(direct), win32::ERROR_IO_PENDING);
    EXPECT_EQ(direct.status, kStatusFailed);
    EXPECT_EQ(direct.sense_length(), 0);
    EXPECT_EQ(direct.status_byte(), kDispatcherStatusByte);
    EXPECT_EQ(direct.position(), 77u);
    TearDown();
  }
}

// The engine answered with a check condition: the data never came, so the ring must not
// hold the range and the request carries the engine's sense.
TEST_F(Dispatcher, CheckConditionOfAMissPassesTheSenseAndLeavesTheRingEmpty) {
  Start(kDvd, 100000);
  engine_->FailNext(SpyEngine::Fault::kCheckCondition);
  Request miss = Request::Read10(100, 16);
  EXPECT_EQ(Run(miss), win32::ERROR_IO_PENDING);
  EXPECT_EQ(miss.status, kStatusDone);
  EXPECT_EQ(miss.r.byteCount, 0u);
  EXPECT_EQ(miss.sense_length(), 18);
  EXPECT_EQ(miss.status_byte() & kResultCheckCondition, kResultCheckCondition);
  EXPECT_EQ(miss.sense[2], 0x03);
  EXPECT_EQ(miss.sense[12], 0x11);
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(engine_->background().empty());

  Request again = Request::Read10(100, 16);
  EXPECT_EQ(Run(again), win32::ERROR_IO_PENDING);
  EXPECT_EQ(again.data, Sectors(100, 16));
}

TEST_F(Dispatcher, FailedPrefetchEndsReadAheadButKeepsWhatWasRead) {
  Start(kDvd, 100000);
  engine_->FailNext(SpyEngine::Fault::kCheckCondition, /*background=*/true);
  Request miss = Request::Read10(100, 16);
  ASSERT_EQ(Run(miss), win32::ERROR_IO_PENDING);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(engine_->background().size(), 1u);
  EXPECT_EQ(t().read_ahead_active, 0);
  EXPECT_EQ(t().ring[1].end, 0u);  // the failed block is not held
  Request hit = Request::Read10(96, 32);
  EXPECT_EQ(Run(hit), 0u);
  EXPECT_EQ(hit.data, Sectors(96, 32));
  Request past = Request::Read10(128, 1);
  EXPECT_EQ(Run(past), win32::ERROR_IO_PENDING);
  EXPECT_EQ(past.data, Sectors(128, 1));
}

TEST_F(Dispatcher, StoppingAnswers995AndStillAnswersWhatWasHandedOver) {
  Start(kDvd, 100000);
  Request handed = Request::Read10(100, 16);
  win32::EnterCriticalSection(&t().dispatcher_lock);
  ASSERT_EQ(SubmitMediaRequest(&t(), &handed.r, &Request::Completed, &handed), win32::ERROR_IO_PENDING);
  t().stopping = 1;
  win32::LeaveCriticalSection(&t().dispatcher_lock);
  // Its command waits for the answer; the thread must not end without giving it.
  ASSERT_TRUE(handed.WaitCompleted());
  EXPECT_EQ(handed.status, kStatusDone);
  EXPECT_EQ(handed.data, Sectors(100, 16));

  SetLastPosition(9);
  Request late = Request::Read10(100, 16);
  EXPECT_EQ(SubmitMediaRequest(&t(), &late.r, &Request::Completed, &late), win32::ERROR_OPERATION_ABORTED);
  EXPECT_EQ(late.position(), 9u);
  EXPECT_EQ(late.rotation(), 0u);
  EXPECT_EQ(late.status_byte(), kDispatcherStatusByte);
  EXPECT_FALSE(late.completed);
  EXPECT_TRUE(engine_->background().empty());
}

}  // namespace
}  // namespace imagepath
