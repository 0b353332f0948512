// Targets on the simulated machine: the driver and the device access library below, the
// real command layer and image engine above, a simulated initiator as the client, and a
// small ISO image made by the test. A clock the test moves by hand stands in for the
// performance counter, and a thin engine wrapper sets the rotation the drive timing sees.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "devaccess/tests/test_rig.h"
#include "imagepath/clock.h"
#include "imagepath/target.h"
#include "imagepath/targets.h"

namespace imagepath {
namespace {

using namespace std::chrono_literals;
using devaccess::RequestSlot;
using win32::DWORD;
using win32::FALSE;
using win32::TRUE;
using devaccess::test_rig::kProcess;
using devaccess::test_rig::Rig;
using sim::Command;
using sim::Initiator;

constexpr uint32_t kImageSectors = 600;

uint8_t ImageByte(uint32_t lba, uint32_t i) { return static_cast<uint8_t>(lba * 29 + i * 3 + (i >> 9)); }

std::vector<uint8_t> ImageSectors(uint32_t lba, uint32_t count) {
  std::vector<uint8_t> v(size_t{count} * kSectorSize);
  for (uint32_t s = 0; s < count; ++s)
    for (uint32_t i = 0; i < kSectorSize; ++i) v[size_t{s} * kSectorSize + i] = ImageByte(lba + s, i);
  return v;
}

// A data-only image: plain 2,048-byte sectors, as the engine serves any .iso.
std::filesystem::path WriteIso(const std::string& name) {
  // Tests run as processes of their own, side by side: the name is the process's.
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("skm-" + name + "-" + std::to_string(::getpid()) + ".iso");
  std::ofstream out(path, std::ios::binary);
  const std::vector<uint8_t> data = ImageSectors(0, kImageSectors);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return path;
}

std::u16string Wide(const std::filesystem::path& p) {
  const std::string s = p.string();
  return std::u16string(s.begin(), s.end());
}

// ---- Clock ------------------------------------------------------------------------------

// Moves only when the test says so; with `jump_when_paced` it leaps 2 s the first time it is
// read while a target holds the 1 ms timer resolution, which happens only inside the
// executor's wait for a deadline: a paced answer then goes out without a real wait.
std::atomic<uint64_t> g_now{1'000'000'000};
std::atomic<bool> g_jump_when_paced{false};
std::atomic<bool> g_jumped{false};
uint64_t FakeNow() {
  if (g_jump_when_paced && win32::testing::TimerResolution() == 1 && !g_jumped.exchange(true)) g_now += 2'000'000;
  return g_now;
}

// ---- Engine -----------------------------------------------------------------------------

// Ravelkit's engine with the rotation the timing model sees set by the test: the period it
// reports, and the rotation of the command's own reads (prefetches take none). Reads can be
// held at a gate.
struct EngineWrapper {
  static inline std::atomic<uint32_t> period{0};
  static inline std::atomic<uint32_t> read_rotation{0};
  static inline std::atomic<bool> gate_closed{false};
  static inline std::atomic<int> waiting_at_gate{0};

  // What the open and the query answer instead of the image's own, when set.
  static inline std::atomic<uint32_t> open_result{0};
  static inline std::atomic<uint32_t> query_result{0};
  static inline std::atomic<uint32_t> descriptor_override{0};
  static inline std::atomic<uint64_t> capacity_override{0};
  static inline std::atomic<bool> fail_toc{false};
  static inline std::atomic<int> opened{0};
  static inline std::atomic<int> closed{0};

  static uint32_t Open(uint32_t zero0, const char16_t* names, uint32_t mask, uint32_t zero1, uint32_t zero2,
                       uint32_t zero3, uint32_t zero4, void* context, ImageHandle* out, uint32_t zero5) {
    if (open_result != 0) return open_result;
    const uint32_t r = ::ImageOpen(zero0, names, mask, zero1, zero2, zero3, zero4, context, out, zero5);
    if (r == 0) ++opened;
    return r;
  }
  static void Close(ImageHandle image, uint32_t zero) {
    ++closed;
    ::ImageClose(image, zero);
  }
  static uint32_t Query(ImageHandle image, uint32_t* descriptor, uint32_t* rotation_us, uint64_t* capacity) {
    const uint32_t r = RavelkitEngine().query(image, descriptor, rotation_us, capacity);
    if (rotation_us != nullptr) *rotation_us = period;
    if (descriptor_override != 0) *descriptor = descriptor_override;
    if (capacity_override != 0) *capacity = capacity_override;
    return query_result != 0 ? query_result.load() : r;
  }
  static uint32_t Execute(ImageHandle image, MediaRequest* request, uint32_t* status) {
    if (fail_toc && request->cdb[0] == 0x43) {
      *status = kStatusFailed;
      return 0;
    }
    const bool read = request->cdb[0] == 0x28 || request->cdb[0] == 0xA8;
    const bool background = (request->flags & kRequestBackground) != 0;
    if (read && !background) {
      ++waiting_at_gate;
      while (gate_closed) std::this_thread::sleep_for(1ms);
      --waiting_at_gate;
    }
    const uint32_t r = RavelkitEngine().execute(image, request, status);
    const uint32_t rotation = read && !background ? read_rotation.load() : 0;
    std::memcpy(request->cdb + kResultRotation, &rotation, sizeof(rotation));
    return r;
  }
  static void Reset() {
    period = 0;
    read_rotation = 0;
    gate_closed = false;
    open_result = 0;
    query_result = 0;
    descriptor_override = 0;
    capacity_override = 0;
    fail_toc = false;
    opened = 0;
    closed = 0;
  }
  static constexpr EngineOps kOps = {&Open, &Query, &Execute, &Close};
};

// ---- Slots of the target's own, as the management agent uses them ----------------------

// A command handed to the unit callbacks directly, as the management agent's own requests
// are: the completion stores the status in the slot and signals the unit's event.
class InternalSlot {
 public:
  InternalSlot(std::initializer_list<uint8_t> cdb, uint32_t data_length)
      : unit_(std::make_unique<devaccess::UnitContext>()), memory_(new uint8_t[devaccess::kSlotStride]()) {
    unit_->management_event = win32::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    slot_ = new (memory_.get()) RequestSlot{};
    std::copy(cdb.begin(), cdb.end(), slot_->cdb);
    slot_->owner = unit_.get();
    slot_->login_index = devaccess::kManagementLoginIndex;
    if (data_length != 0) {
      slot_->data_context = slot_;
      slot_->copy = &Copy;
      slot_->data_length = data_length;
      slot_->record.total_length = data_length;
    }
  }
  ~InternalSlot() { win32::CloseHandle(unit_->management_event); }

  DWORD Submit(uint32_t target = 0) {
    return TargetUnitCallbacks().submit(nullptr, static_cast<uint16_t>(target), TargetAt(target), slot_);
  }
  // The completion status, or -1 when none came in time.
  int64_t Wait(DWORD ms = 10000) {
    if (win32::WaitForSingleObject(unit_->management_event, ms) != win32::WAIT_OBJECT_0) return -1;
    return slot_->login_index;
  }
  std::vector<uint8_t> data() const {
    return std::vector<uint8_t>(devaccess::SlotData(slot_), devaccess::SlotData(slot_) + slot_->data_length);
  }
  const uint8_t* sense() const { return slot_->sense; }

 private:
  static void Copy(void* context, void* buffer, uint32_t length, uint32_t offset, uint32_t direction) {
    auto* slot = static_cast<RequestSlot*>(context);
    const uint32_t total = slot->record.total_length;
    if (offset >= total) return;
    const uint32_t n = std::min(length, total - offset);
    uint8_t* at = devaccess::SlotData(slot) + offset;
    if (direction == devaccess::kCopyIntoRequest) {
      std::memcpy(at, buffer, n);
    } else {
      std::memcpy(buffer, at, n);
    }
  }

  std::unique_ptr<devaccess::UnitContext> unit_;
  std::unique_ptr<uint8_t[]> memory_;
  RequestSlot* slot_;
};

Command Read10(uint32_t lba, uint16_t count) {
  Command c = Command::Make({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, uint32_t{count} * kSectorSize);
  sim::StoreBe32(&c.cdb[2], lba);
  c.cdb[7] = static_cast<uint8_t>(count >> 8);
  c.cdb[8] = static_cast<uint8_t>(count);
  return c;
}
const Command kTestUnitReady = Command::Make({0x00});
Command PreventRemoval(bool prevent) { return Command::Make({0x1E, 0, 0, 0, static_cast<uint8_t>(prevent), 0}); }

// ---- Fixture ----------------------------------------------------------------------------

// The machine with `controllers` host controllers carrying the virtual device, the library
// and the targets initialised, all as the test's process. Checks at the end that removing
// the targets left no handle, thread, lock or timer resolution behind.
class Targets : public ::testing::Test {
 protected:
  explicit Targets(size_t controllers = 1) : rig_(controllers, 0) {}

  void SetUp() override {
    handles_ = win32::testing::OpenHandles();
    sections_ = win32::testing::LiveCriticalSections();
    g_now = 1'000'000'000;
    g_jump_when_paced = false;
    g_jumped = false;
    imagepath::testing::SetClock(&FakeNow);
    EngineWrapper::Reset();
    SetEngineForTesting(&EngineWrapper::kOps);
    ASSERT_EQ(devaccess::VSbp2ApiInitialize(), 0u);
    uint32_t count = 0;
    ASSERT_EQ(devaccess::EnumerateHostControllers(&count), 1);
    ASSERT_EQ(count, rig_controllers());
    ASSERT_EQ(InitTargets(), 1);
    imagepath::testing::SetRandomSeed(7);
    iso_ = WriteIso("target");
    other_iso_ = WriteIso("other");
  }
  void TearDown() override {
    initiators_.clear();
    for (uint32_t i = 0; i < kTargetCount; ++i) EXPECT_EQ(RemoveTarget(i), 0u);
    ReleaseTargets();
    devaccess::VSbp2ApiUninitialize();
    SetEngineForTesting(nullptr);
    imagepath::testing::SetClock(nullptr);
    std::filesystem::remove(iso_);
    std::filesystem::remove(other_iso_);
    EXPECT_EQ(win32::testing::OpenHandles(), handles_);
    EXPECT_EQ(win32::testing::LiveThreads(), 0u);
    EXPECT_EQ(win32::testing::LiveCriticalSections(), sections_);
    EXPECT_EQ(win32::testing::TimerPeriodRequests(), 0u);
  }

  virtual uint32_t rig_controllers() const { return 1; }

  uint32_t Add(uint32_t index = 0) {
    return AddTarget(index, false, reinterpret_cast<const uint8_t*>(kDefaultIdentity));
  }
  uint32_t Mount(const std::filesystem::path& p, bool force = false, const char16_t* password = nullptr) {
    return MountImage(Wide(p).c_str(), 0, password, force);
  }
  // Past the drive's becoming-ready time after a load.
  void LetTheMediumSettle() { g_now += 2'000'000; }

  ImageHandle MountedImage() {
    Target* t = TargetAt(0);
    win32::EnterCriticalSection(&t->dispatcher_lock);
    ImageHandle h = t->image;
    win32::LeaveCriticalSection(&t->dispatcher_lock);
    return h;
  }

  Initiator& LoggedIn(size_t controller = 0) {
    initiators_.push_back(std::make_unique<Initiator>(rig_.hc(controller)));
    Initiator& ini = *initiators_.back();
    EXPECT_TRUE(ini.Discover().ok);
    EXPECT_TRUE(ini.Login().ok());
    return ini;
  }
  // Runs `c` until it gets past the unit attention a load leaves.
  sim::Result Settled(Initiator& ini, const Command& c) {
    sim::Result r;
    for (int i = 0; i < 3; ++i) {
      r = ini.Execute(c);
      if (r.good()) break;
    }
    return r;
  }

  kern::ProcessScope process_{kProcess};
  Rig rig_;
  std::vector<std::unique_ptr<Initiator>> initiators_;
  std::filesystem::path iso_;
  std::filesystem::path other_iso_;
  size_t handles_ = 0;
  size_t sections_ = 0;
};

// ---- Mounting ---------------------------------------------------------------------------

TEST_F(Targets, MountRefusalsReleaseThePreviousImageFirst) {
  ASSERT_EQ(Add(), 0u);
  const std::u16string long_path(261, u'a');
  const std::u16string long_password(65, u'p');
  struct Row {
    const char* name;
    const char16_t* path;
    const char16_t* password;
    uint32_t result;
  };
  const Row rows[] = {
      {"1-character path", u"a", nullptr, 1200},
      {"261-character path", long_path.c_str(), nullptr, 1200},
      {"65-character password", nullptr, long_password.c_str(), 1515},
      {"empty password", nullptr, u"", 1515},
      {"no such file", u"no-such-image.iso", nullptr, 2},
      {"empty path only releases", u"", nullptr, 0},
  };
  const std::u16string iso = Wide(iso_);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(Mount(iso_), 0u);
    ASSERT_NE(MountedImage(), nullptr);
    EXPECT_EQ(MountedImagePath(0), iso);
    EXPECT_EQ(MountImage(row.path != nullptr ? row.path : iso.c_str(), 0, row.password, false), row.result);
    EXPECT_EQ(MountedImage(), nullptr);
    EXPECT_EQ(MountedImagePath(0), u"") << "the released image's path is kept";
  }
  // A password on an image that needs none is ignored.
  EXPECT_EQ(Mount(iso_, false, u"secret"), 0u);
  EXPECT_NE(MountedImage(), nullptr);
  EXPECT_EQ(MountedImagePath(0), iso);
  EXPECT_EQ(MountImage(nullptr, 0, nullptr, false), 0u);
  EXPECT_EQ(MountedImage(), nullptr);
  EXPECT_EQ(MountedImagePath(0), u"");
  EXPECT_EQ(MountedImagePath(8), u"");
}

// An image the engine opens but whose medium the target cannot use is closed again and
// reported as 1200; the engine's password answers reach the caller unchanged.
TEST_F(Targets, MountRefusesUnusableMediaAndPassesThePasswordAnswersOn) {
  ASSERT_EQ(Add(), 0u);
  struct Row {
    const char* name;
    std::function<void()> arrange;
    uint32_t result;
    bool opened;  // the engine opened the image, so the target must close it
  };
  const Row rows[] = {
      {"query fails", [] { EngineWrapper::query_result = 87; }, 1200, true},
      {"no medium (class 0x80)", [] { EngineWrapper::descriptor_override = kMediumCdbForm | kMediumNone; }, 1200,
       true},
      {"capacity of 2^32 sectors", [] { EngineWrapper::capacity_override = uint64_t{1} << 32; }, 1200, true},
      {"capacity above 2^32", [] { EngineWrapper::capacity_override = (uint64_t{1} << 32) + 600; }, 1200, true},
      {"the command layer refuses the attach", [] { EngineWrapper::fail_toc = true; }, 1200, true},
      {"password needed", [] { EngineWrapper::open_result = 1514; }, 1514, false},
      {"wrong password", [] { EngineWrapper::open_result = 1515; }, 1515, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(Mount(iso_), 0u);
    EngineWrapper::Reset();
    row.arrange();
    EXPECT_EQ(Mount(other_iso_, false, row.result == 1515 ? u"guess" : nullptr), row.result);
    EXPECT_EQ(MountedImage(), nullptr) << "the target is left empty";
    win32::EnterCriticalSection(&TargetAt(0)->dispatcher_lock);
    EXPECT_EQ(TargetAt(0)->capacity, 0u);
    win32::LeaveCriticalSection(&TargetAt(0)->dispatcher_lock);
    // The old image was closed first, then the refused one when it had been opened.
    EXPECT_EQ(EngineWrapper::opened.load(), row.opened ? 1 : 0);
    EXPECT_EQ(EngineWrapper::closed.load(), row.opened ? 2 : 1);
    EngineWrapper::Reset();
  }
  // And the target still mounts a good image afterwards.
  EXPECT_EQ(Mount(iso_), 0u);
  EXPECT_NE(MountedImage(), nullptr);
}

TEST_F(Targets, ImageReadsThroughTheTargetAreByteExact) {
  ASSERT_EQ(Add(), 0u);
  ASSERT_EQ(Mount(iso_), 0u);
  LetTheMediumSettle();
  Initiator& ini = LoggedIn();
  ASSERT_TRUE(Settled(ini, kTestUnitReady).good());
  for (uint32_t lba : {0u, 16u, 32u, 33u, 590u}) {
    const uint16_t count = static_cast<uint16_t>(std::min(10u, kImageSectors - lba));
    sim::Result r = ini.Execute(Read10(lba, count));
    ASSERT_TRUE(r.good()) << lba << " " << sim::ToString(r.transport);
    EXPECT_EQ(r.data, ImageSectors(lba, count)) << lba;
  }
}

TEST_F(Targets, LockedMediumIsReleasedOnlyByForce) {
  ASSERT_EQ(Add(), 0u);
  ASSERT_EQ(Mount(iso_), 0u);
  LetTheMediumSettle();
  Initiator& ini = LoggedIn();
  ASSERT_TRUE(Settled(ini, PreventRemoval(true)).good());
  const ImageHandle locked = MountedImage();

  EXPECT_EQ(Mount(other_iso_), 1u);
  EXPECT_EQ(MountedImage(), locked);
  EXPECT_EQ(UnmountImage(TargetAt(0), false), 0u);
  EXPECT_EQ(MountedImage(), locked);

  EXPECT_EQ(Mount(other_iso_, /*force=*/true), 0u);
  EXPECT_NE(MountedImage(), nullptr);
  EXPECT_NE(MountedImage(), locked);
  // The initiator's lock is on the drive, not on the medium that was taken away.
  EXPECT_EQ(UnmountImage(TargetAt(0), false), 0u);
  LetTheMediumSettle();
  ASSERT_TRUE(Settled(ini, PreventRemoval(false)).good());
  EXPECT_EQ(UnmountImage(TargetAt(0), false), 1u);
  EXPECT_EQ(MountedImage(), nullptr);
  EXPECT_EQ(UnmountImage(TargetAt(0), false), 1u) << "nothing mounted";
}

// The image goes only when the command that is using it has ended, and the new one is
// attached after that.
TEST_F(Targets, MountDuringACommandWaitsForItsEnd) {
  ASSERT_EQ(Add(), 0u);
  ASSERT_EQ(Mount(iso_), 0u);
  LetTheMediumSettle();
  {
    InternalSlot settle({0x00}, 0);
    ASSERT_EQ(settle.Submit(), win32::ERROR_IO_PENDING);
    settle.Wait();
  }
  EngineWrapper::gate_closed = true;
  InternalSlot reading({0x28, 0, 0, 0, 0, 20, 0, 0, 8, 0}, 8 * kSectorSize);
  ASSERT_EQ(reading.Submit(), win32::ERROR_IO_PENDING);
  while (EngineWrapper::waiting_at_gate == 0) std::this_thread::sleep_for(1ms);
  std::atomic<uint32_t> mounted{~0u};
  std::thread mounter([&] {
    kern::ProcessScope process(kProcess);
    mounted = Mount(other_iso_);
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(mounted, ~0u) << "the mount did not wait for the command";
  EngineWrapper::gate_closed = false;
  mounter.join();
  EXPECT_EQ(mounted, 0u);
  EXPECT_EQ(reading.Wait(), 0);
  EXPECT_EQ(reading.data(), ImageSectors(20, 8));
  EXPECT_NE(MountedImage(), nullptr);
}

// ---- Commands ---------------------------------------------------------------------------

TEST_F(Targets, FailingCommandIsAnsweredWithTheSensePendingInTheCommandLayer) {
  ASSERT_EQ(Add(), 0u);
  Initiator& ini = LoggedIn();
  struct Row {
    const char* name;
    Command command;
    uint8_t key, asc, ascq;
  };
  const Row rows[] = {
      {"INQUIRY asking for a vital product data page", Command::Make({0x12, 1, 0x80, 0, 36, 0}, 36), 0x05, 0x24, 0},
      {"WRITE(10)", Command::Make({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0, std::vector<uint8_t>(2048)), 0x05, 0x20, 0},
      {"READ(10) without a medium", Read10(0, 1), 0x02, 0x3A, 0x01},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::Result r = ini.Execute(row.command);
    ASSERT_EQ(r.transport, sim::Transport::kOk) << sim::ToString(r.transport);
    EXPECT_EQ(r.scsi_status, 2);
    ASSERT_EQ(r.sense.size(), 18u);
    EXPECT_EQ(r.sense[2] & 0x0F, row.key);
    EXPECT_EQ(r.sense[12], row.asc);
    EXPECT_EQ(r.sense[13], row.ascq);
  }
  // The sense went out with the failure: nothing is left pending for the initiator's own
  // REQUEST SENSE.
  sim::Result sense = ini.Execute(Command::Make({0x03, 0, 0, 0, 18, 0}, 18));
  ASSERT_TRUE(sense.good());
  ASSERT_GE(sense.data.size(), 14u);
  EXPECT_EQ(sense.data[2] & 0x0F, 0);
  EXPECT_EQ(sense.data[12], 0);
  sim::Result inquiry = ini.Execute(Command::Make({0x12, 0, 0, 0, 36, 0}, 36));
  ASSERT_TRUE(inquiry.good());
  EXPECT_EQ(std::string(inquiry.data.begin() + 8, inquiry.data.begin() + 36), kDefaultIdentity);
}

// The drive timing sets a deadline of R = (period x rotation) >> 24 after the rotation grid
// point at or after the command's start; with a 65,536 us period a rotation of 256 units per
// microsecond gives R in microseconds.
TEST_F(Targets, AnswersArePacedOnlyForDeadlinesWithinTwoSeconds) {
  struct Paced {
    std::atomic<int> calls{0};
    std::atomic<uint64_t> deadline{0}, answered{0};
    static void Observe(void* user, uint32_t target, uint64_t deadline_us, uint64_t answered_us) {
      auto* self = static_cast<Paced*>(user);
      EXPECT_EQ(target, 0u);
      self->deadline = deadline_us;
      self->answered = answered_us;
      ++self->calls;
    }
  } paced;
  SetPacingObserver(&Paced::Observe, &paced);
  EngineWrapper::period = 65'536;
  ASSERT_EQ(Add(), 0u);
  ASSERT_EQ(Mount(iso_), 0u);
  LetTheMediumSettle();
  Initiator& ini = LoggedIn();
  ASSERT_TRUE(Settled(ini, kTestUnitReady).good());

  // 3 s away: answered at once, with the clock standing still.
  EngineWrapper::read_rotation = 3'000'000 * 256;
  const uint64_t before = g_now;
  sim::Result far = ini.Execute(Read10(300, 16));
  ASSERT_TRUE(far.good());
  EXPECT_EQ(far.data, ImageSectors(300, 16));
  EXPECT_EQ(paced.calls, 0);
  EXPECT_EQ(win32::testing::TimerPeriodRequests(), 0u);
  EXPECT_EQ(g_now, before);

  // 1.5 s away (behind what the ring holds, so the engine reads it): held back until the
  // clock has passed the deadline, under the 1 ms timer resolution.
  g_now += 5'000'000;
  g_jump_when_paced = true;
  EngineWrapper::read_rotation = 1'500'000 * 256;
  const uint64_t start = g_now;
  sim::Result near = ini.Execute(Read10(10, 16));
  ASSERT_TRUE(near.good());
  EXPECT_EQ(near.data, ImageSectors(10, 16));
  ASSERT_EQ(paced.calls, 1);
  EXPECT_GE(paced.deadline - start, 1'500'000u);
  EXPECT_LT(paced.deadline - start, 1'500'000u + 65'536 + 100'000);
  EXPECT_GE(paced.answered, paced.deadline);
  EXPECT_EQ(win32::testing::TimerResolution(), 1u);
  SetPacingObserver(nullptr, nullptr);

  // The release timer runs in real time: 3 s after that answer the resolution goes back,
  // not before. The watch starts after the timer was set, so it can only read less.
  const auto answered = std::chrono::steady_clock::now();
  EXPECT_EQ(win32::testing::TimerPeriodRequests(), 1u);
  while (win32::testing::TimerPeriodRequests() != 0 && std::chrono::steady_clock::now() - answered < 10s) {
    std::this_thread::sleep_for(10ms);
  }
  const auto held = std::chrono::steady_clock::now() - answered;
  EXPECT_EQ(win32::testing::TimerPeriodRequests(), 0u) << "not released within 10 s";
  EXPECT_GE(held, 2s) << "released early";
  EXPECT_EQ(win32::testing::TimerResolution(), 0u);
}

TEST_F(Targets, RemovingATargetAnswersEveryQueuedRequestAborted) {
  ASSERT_EQ(Add(), 0u);
  ASSERT_EQ(Mount(iso_), 0u);
  LetTheMediumSettle();
  {
    InternalSlot settle({0x00}, 0);  // takes the unit attention of the load
    ASSERT_EQ(settle.Submit(), win32::ERROR_IO_PENDING);
    settle.Wait();
  }
  // The first command waits in the engine while three more queue behind it.
  EngineWrapper::gate_closed = true;
  InternalSlot executing({0x28, 0, 0, 0, 0, 8, 0, 0, 4, 0}, 4 * kSectorSize);
  ASSERT_EQ(executing.Submit(), win32::ERROR_IO_PENDING);
  while (EngineWrapper::waiting_at_gate == 0) std::this_thread::sleep_for(1ms);
  InternalSlot queued[3] = {{{0x00}, 0}, {{0x12, 0, 0, 0, 36, 0}, 36}, {{0x00}, 0}};
  for (InternalSlot& s : queued) ASSERT_EQ(s.Submit(), win32::ERROR_IO_PENDING);

  std::thread remover([] {
    kern::ProcessScope process(kProcess);
    EXPECT_EQ(RemoveTarget(0), 0u);
  });
  while (TargetAt(0)->stopping == 0) std::this_thread::sleep_for(1ms);
  EngineWrapper::gate_closed = false;
  remover.join();

  EXPECT_EQ(executing.Wait(0), 0);
  EXPECT_EQ(executing.data(), ImageSectors(8, 4));
  for (InternalSlot& s : queued) EXPECT_EQ(s.Wait(0), int64_t{win32::ERROR_OPERATION_ABORTED});
  // Late submits are refused.
  InternalSlot late({0x00}, 0);
  EXPECT_EQ(late.Submit(), win32::ERROR_OPERATION_ABORTED);
}

// ---- Creation ---------------------------------------------------------------------------

TEST_F(Targets, FailedCreationUndoesEverything) {
  using win32::testing::Call;
  struct Row {
    Call call;
    int skip;
  };
  // Four events, the dispatcher's event and thread, the timer, the executor thread.
  const Row rows[] = {{Call::CreateEvent, 0}, {Call::CreateEvent, 3}, {Call::CreateEvent, 4},
                      {Call::CreateThread, 0}, {Call::CreateWaitableTimer, 0}, {Call::CreateThread, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.call) * 10 + row.skip);
    const size_t handles = win32::testing::OpenHandles();
    win32::testing::FailNext(row.call, 1, row.skip);
    EXPECT_EQ(Add(), win32::ERROR_NOT_ENOUGH_MEMORY);
    win32::testing::StopFailing();
    EXPECT_EQ(win32::testing::OpenHandles(), handles);
    EXPECT_EQ(win32::testing::LiveThreads(), 0u);
  }
  ASSERT_EQ(Add(), 0u);
  EXPECT_EQ(Add(), win32::ERROR_ALREADY_EXISTS);
}

// With a counter above 500 MHz each target keeps to one processor of the process, the
// targets taking them in turn; slower counters leave the threads unbound.
TEST_F(Targets, FastCountersBindEachTargetToAProcessorInTurn) {
  ReleaseTargets();
  win32::testing::SetPerformanceFrequency(1'000'000'000);
  win32::testing::SetProcessAffinityMask(0b1010'0100);
  ASSERT_EQ(InitTargets(), 1);
  const uint32_t expected[kTargetCount] = {0x04, 0x20, 0x80, 0x04, 0x20, 0x80, 0x04, 0x20};
  for (uint32_t i = 0; i < kTargetCount; ++i) EXPECT_EQ(TargetAt(i)->cpu_affinity, expected[i]) << i;
  ASSERT_EQ(Add(1), 0u);
  // Each thread binds itself when it starts, which may be after Add returns: give them a
  // second before reading the binding.
  const auto bound = [](win32::HANDLE thread) {
    for (int i = 0; i < 1000 && win32::testing::ThreadAffinity(thread) != 0x20u; ++i) {
      std::this_thread::sleep_for(1ms);
    }
    return win32::testing::ThreadAffinity(thread);
  };
  EXPECT_EQ(bound(TargetAt(1)->executor_thread), 0x20u);
  EXPECT_EQ(bound(TargetAt(1)->dispatcher_thread), 0x20u);
  EXPECT_EQ(RemoveTarget(1), 0u);

  ReleaseTargets();
  win32::testing::SetPerformanceFrequency(0);
  win32::testing::SetProcessAffinityMask(0);
  ASSERT_EQ(InitTargets(), 1);
  for (uint32_t i = 0; i < kTargetCount; ++i) EXPECT_EQ(TargetAt(i)->cpu_affinity, 0u) << i;
  ReleaseTargets();
  win32::testing::FailNext(win32::testing::Call::GetProcessAffinityMask);
  EXPECT_EQ(InitTargets(), 0);
  win32::testing::StopFailing();
  ReleaseTargets();  // after a failed start: nothing to release
  ASSERT_EQ(InitTargets(), 1);
}

class TwoControllers : public Targets {
 protected:
  TwoControllers() : Targets(2) {}
  uint32_t rig_controllers() const override { return 2; }

  // Someone else holds unit 0 of controller `i`.
  void Occupy(size_t i) {
    const devaccess::UnitCallbacks callbacks = devaccess::test_rig::FakeTarget::Callbacks();
    const std::u16string path = rig_.Path(i);
    ASSERT_EQ(devaccess::VSbp2ApiOpenUnit(path.c_str(), 0, 0, &callbacks, &other_), 0u);
    occupied_.push_back(path);
  }
  void Vacate() {
    for (const auto& p : occupied_) devaccess::VSbp2ApiCloseUnit(p.c_str(), 0);
    occupied_.clear();
  }
  void TearDown() override {
    Vacate();
    Targets::TearDown();
  }

  devaccess::test_rig::FakeTarget other_{kProcess};
  std::vector<std::u16string> occupied_;
};

TEST_F(TwoControllers, TargetStartsWhenEitherControllerOpensItsUnit) {
  Occupy(0);
  ASSERT_EQ(Add(), 0u);
  Initiator& ini = LoggedIn(1);
  EXPECT_TRUE(ini.Execute(Command::Make({0x12, 0, 0, 0, 36, 0}, 36)).good());
  initiators_.clear();
  // Units are closed by controller and index: the other opener's unit 0 goes as well.
  EXPECT_EQ(RemoveTarget(0), 0u);
  occupied_.clear();

  Occupy(0);
  Occupy(1);
  const size_t handles = win32::testing::OpenHandles();
  const size_t threads = win32::testing::LiveThreads();  // the other opener's units
  EXPECT_EQ(Add(), win32::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(win32::testing::OpenHandles(), handles);
  EXPECT_EQ(win32::testing::LiveThreads(), threads);
  Vacate();
  EXPECT_EQ(Add(), 0u);
}

}  // namespace
}  // namespace imagepath
