// The control interface: handle rules, the checks of each control code in their order,
// and the pending and cancellation rules.
#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "driver/records.h"
#include "driver/tests/driver_fixture.h"

namespace ostrane::testing {
namespace {

using namespace kern;

class DriverControlTest : public DriverTest {};

TEST_F(DriverControlTest, UnitNamesAndHandleKinds) {
  struct Case {
    const char16_t* name;
    NTSTATUS status;
  } cases[] = {
      {u"", STATUS_SUCCESS},           {u"\\unit07", STATUS_SUCCESS},  {u"\\unit08", STATUS_ACCESS_DENIED},
      {u"\\unit0a", STATUS_ACCESS_DENIED}, {u"\\unit1", STATUS_ACCESS_DENIED}, {u"\\unit000", STATUS_ACCESS_DENIED},
      {u"\\Unit00", STATUS_ACCESS_DENIED}, {u"\\unitFF", STATUS_ACCESS_DENIED}, {u"\\unit0G", STATUS_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    NTSTATUS s;
    kern::FileObject* f = Open(c.name, &s);
    EXPECT_EQ(s, c.status) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    if (f != nullptr) Close(f);
  }
}

TEST_F(DriverControlTest, SecondOpenOfAUnitCollidesUntilCleanup) {
  kern::FileObject* first = Open(u"\\unit03");
  ASSERT_NE(first, nullptr);
  NTSTATUS s;
  EXPECT_EQ(Open(u"\\unit03", &s), nullptr);
  EXPECT_EQ(s, STATUS_OBJECT_NAME_COLLISION);
  Close(first);
  EXPECT_NE(Open(u"\\unit03", &s), nullptr);
}

TEST_F(DriverControlTest, KernelModeOpenIsRefused) {
  kern::FileObject* f = nullptr;
  EXPECT_EQ(kern::OpenFile(device_, u"\\unit00", &f, Mode::Kernel), STATUS_ACCESS_DENIED);
  if (f != nullptr) kern::CloseFile(f);
}

// Checks common to every control code, in their order: each row breaks one rule while
// keeping the ones before it.
TEST_F(DriverControlTest, CommonChecksInOrder) {
  kern::FileObject* unit = Open(u"\\unit00");
  kern::FileObject* control = Open(u"");
  ASSERT_NE(unit, nullptr);
  ASSERT_NE(control, nullptr);
  std::vector<uint8_t> good = GetInput(UnitDirectory(0));
  std::vector<uint8_t> v2 = good;
  v2[0] = 2;
  std::vector<uint8_t> out(64);
  struct Case {
    const char* what;
    kern::FileObject* file;
    uint32_t code;
    std::vector<uint8_t> in;
    Mode mode;
    NTSTATUS status;
  } cases[] = {
      {"kernel-mode requestor", unit, vsbp::IOCTL_VSBP_GET_REQUEST, good, Mode::Kernel, STATUS_ACCESS_DENIED},
      {"empty input", unit, vsbp::IOCTL_VSBP_GET_REQUEST, {}, Mode::User, STATUS_BUFFER_TOO_SMALL},
      {"version 2 with a good request", unit, vsbp::IOCTL_VSBP_GET_REQUEST, v2, Mode::User, STATUS_REVISION_MISMATCH},
      {"31-byte input", unit, vsbp::IOCTL_VSBP_GET_REQUEST, std::vector<uint8_t>(good.begin(), good.begin() + 31),
       Mode::User, STATUS_BUFFER_TOO_SMALL},
      {"host ROM code on a unit handle", unit, vsbp::IOCTL_VSBP_GET_HOST_CONFIG_ROM, GetInput(), Mode::User,
       STATUS_INVALID_DEVICE_REQUEST},
      {"unit code on the control handle", control, vsbp::IOCTL_VSBP_GET_REQUEST, GetInput(), Mode::User,
       STATUS_INVALID_DEVICE_REQUEST},
      {"unknown code", unit, 0x222900, GetInput(), Mode::User, STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const Case& c : cases) {
    Pending p = Send(c.file, c.code, c.in.data(), static_cast<uint32_t>(c.in.size()), out.data(),
                     static_cast<uint32_t>(out.size()), c.mode);
    ASSERT_TRUE(p.Done(5000)) << c.what;
    EXPECT_EQ(p.Status(), c.status) << c.what;
    EXPECT_EQ(p.Information(), 0u) << c.what;
  }
}

TEST_F(DriverControlTest, UnitHandleServesOnlyItsOwnerProcess) {
  kern::FileObject* unit = Open(u"\\unit00");
  ASSERT_NE(unit, nullptr);
  std::vector<uint8_t> in = GetInput(UnitDirectory(0));
  vsbp::ManagementRecord record{};
  {
    kern::ProcessScope other(CurrentProcessId() + 1);
    EXPECT_EQ(SendSync(unit, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), static_cast<uint32_t>(in.size()), &record,
                       sizeof(record)),
              STATUS_ACCESS_DENIED);
  }
  // The owner is still served: the directory is accepted and the GET pends.
  Pending p = Send(unit, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), static_cast<uint32_t>(in.size()), &record,
                   sizeof(record));
  EXPECT_EQ(p.dispatch, STATUS_PENDING);
}

TEST_F(DriverControlTest, GetRequestRules) {
  kern::FileObject* unit = Open(u"\\unit00");
  ASSERT_NE(unit, nullptr);
  vsbp::ManagementRecord record{};
  std::vector<uint8_t> head = GetInput();
  std::vector<uint8_t> with_directory = GetInput(UnitDirectory(0));
  // No directory yet: the unit is empty.
  EXPECT_EQ(SendSync(unit, vsbp::IOCTL_VSBP_GET_REQUEST, head.data(), 32, &record, sizeof(record)),
            STATUS_ACCESS_DENIED);
  // A 39-byte out buffer is refused before the directory is looked at.
  EXPECT_EQ(SendSync(unit, vsbp::IOCTL_VSBP_GET_REQUEST, with_directory.data(),
                     static_cast<uint32_t>(with_directory.size()), &record, 39),
            STATUS_BUFFER_TOO_SMALL);
  Pending first = Send(unit, vsbp::IOCTL_VSBP_GET_REQUEST, with_directory.data(),
                       static_cast<uint32_t>(with_directory.size()), &record, sizeof(record));
  EXPECT_EQ(first.dispatch, STATUS_PENDING);
  // A second directory on the same handle, and a second GET while one pends.
  vsbp::ManagementRecord other{};
  EXPECT_EQ(SendSync(unit, vsbp::IOCTL_VSBP_GET_REQUEST, with_directory.data(),
                     static_cast<uint32_t>(with_directory.size()), &other, sizeof(other)),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(SendSync(unit, vsbp::IOCTL_VSBP_GET_REQUEST, head.data(), 32, &other, sizeof(other)),
            STATUS_ACCESS_DENIED);
  EXPECT_FALSE(first.Done());
  // Cancelled: completes exactly once with STATUS_CANCELLED, and a new GET can pend.
  EXPECT_EQ(kern::CancelRequests(unit, first.irp), 1);
  ASSERT_TRUE(first.Done(5000));
  EXPECT_EQ(first.Status(), STATUS_CANCELLED);
  Pending second = Send(unit, vsbp::IOCTL_VSBP_GET_REQUEST, head.data(), 32, &record, sizeof(record));
  EXPECT_EQ(second.dispatch, STATUS_PENDING);
}

TEST_F(DriverControlTest, DirectoryChecks) {
  struct Case {
    const char* what;
    std::vector<uint8_t> directory;
    int unit;
    NTSTATUS status;
  };
  std::vector<uint8_t> good = UnitDirectory(1);
  std::vector<uint8_t> short28(good.begin(), good.begin() + 28);
  std::vector<uint8_t> big(988, 0);
  std::copy(good.begin(), good.end(), big.begin());
  std::vector<uint8_t> too_big(992, 0);
  std::copy(good.begin(), good.end(), too_big.begin());
  std::vector<uint8_t> no_entries = good;
  no_entries[1] = 0;
  std::vector<uint8_t> first_byte = good;
  first_byte[0] = 1;
  std::vector<uint8_t> overlong = good;
  overlong[1] = 9;  // nine entries need 40 bytes; the directory has 36
  std::vector<uint8_t> odd = good;
  odd.push_back(0);
  Case cases[] = {
      {"28-byte directory", short28, 1, STATUS_INVALID_PARAMETER},
      {"988-byte directory", big, 1, STATUS_SUCCESS},
      {"992-byte directory", too_big, 1, STATUS_INVALID_PARAMETER},
      {"length field 0", no_entries, 1, STATUS_INVALID_PARAMETER},
      {"first byte not 0", first_byte, 1, STATUS_INVALID_PARAMETER},
      {"entries beyond the end", overlong, 1, STATUS_INVALID_PARAMETER},
      {"not a multiple of 4", odd, 1, STATUS_INVALID_PARAMETER},
      {"offset 0x1_0000 for unit 0", UnitDirectory(0, 0x4000), 0, STATUS_SUCCESS},
      {"offset 0x1_0000 for unit 1", UnitDirectory(1, 0x4000), 1, STATUS_INVALID_PARAMETER},
      {"offset inside the default block", UnitDirectory(1, 0x4008), 1, STATUS_INVALID_PARAMETER},
      {"offset not a multiple of 8", UnitDirectory(1, 0x8001), 1, STATUS_INVALID_PARAMETER},
      {"offset above 0xF_FFF8", UnitDirectory(1, 0x40000), 1, STATUS_INVALID_PARAMETER},
      {"custom offset 0x2_0000", UnitDirectory(1, 0x8000), 1, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    std::u16string name = u"\\unit0";
    name += static_cast<char16_t>(u'0' + c.unit);
    kern::FileObject* unit = Open(name);
    ASSERT_NE(unit, nullptr);
    std::vector<uint8_t> in = GetInput(c.directory);
    vsbp::ManagementRecord record{};
    Pending p = Send(unit, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), static_cast<uint32_t>(in.size()), &record,
                     sizeof(record));
    NTSTATUS status = p.dispatch == STATUS_PENDING ? STATUS_SUCCESS : p.Status();
    EXPECT_EQ(status, c.status) << c.what;
    Close(unit);
  }
}

TEST_F(DriverControlTest, CustomAgentOffsetsConflict) {
  kern::FileObject* a = Open(u"\\unit01");
  kern::FileObject* b = Open(u"\\unit02");
  vsbp::ManagementRecord record{};
  std::vector<uint8_t> in = GetInput(UnitDirectory(1, 0x8000));
  EXPECT_EQ(Send(a, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), static_cast<uint32_t>(in.size()), &record, 40).dispatch,
            STATUS_PENDING);
  vsbp::ManagementRecord record2{};
  EXPECT_EQ(SendSync(b, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), static_cast<uint32_t>(in.size()), &record2, 40),
            STATUS_CONFLICTING_ADDRESSES);
  // Once the first unit is closed its offset is free again.
  Close(a);
  Close(b);
  b = Open(u"\\unit02");
  EXPECT_EQ(Send(b, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), static_cast<uint32_t>(in.size()), &record2, 40).dispatch,
            STATUS_PENDING);
}

TEST_F(DriverControlTest, FetchRules) {
  Pending get;
  vsbp::ManagementRecord record{};
  kern::FileObject* unit = OpenPublished(0, &get, &record);
  ASSERT_NE(unit, nullptr);
  uint32_t gen = hc_->generation();
  std::vector<uint8_t> out(sizeof(vsbp::CommandRecord));
  auto fetch = [&](vsbp::FetchRequest f, uint32_t out_length) {
    return Send(unit, vsbp::IOCTL_VSBP_FETCH_COMMAND, &f, sizeof(f), out.data(), out_length);
  };
  vsbp::FetchRequest bad_login = FetchInput(64, NodeId(), gen);
  Pending p = fetch(bad_login, 4136);
  ASSERT_TRUE(p.Done(5000));
  EXPECT_EQ(p.Status(), STATUS_INVALID_PARAMETER);
  p = fetch(FetchInput(1, NodeId(), gen), 4135);
  ASSERT_TRUE(p.Done(5000));
  EXPECT_EQ(p.Status(), STATUS_BUFFER_TOO_SMALL);
  // Releasing a free slot needs no out buffer.
  p = fetch(FetchInput(1, 0xFFFF, gen), 0);
  ASSERT_TRUE(p.Done(5000));
  EXPECT_EQ(p.Status(), STATUS_CANCELLED);
  // An old generation leaves the slot as it was: a FETCH with the right one then claims it.
  p = fetch(FetchInput(1, NodeId(), gen - 1), 4136);
  ASSERT_TRUE(p.Done(5000));
  EXPECT_EQ(p.Status(), STATUS_BUS_RESET);
  Pending claim = fetch(FetchInput(1, NodeId(), gen), 4136);
  EXPECT_EQ(claim.dispatch, STATUS_PENDING);
  // While one pends, a second FETCH on the slot is refused.
  std::vector<uint8_t> out2(sizeof(vsbp::CommandRecord));
  vsbp::FetchRequest again = FetchInput(1, NodeId(), gen);
  p = Send(unit, vsbp::IOCTL_VSBP_FETCH_COMMAND, &again, sizeof(again), out2.data(), 4136);
  ASSERT_TRUE(p.Done(5000));
  EXPECT_EQ(p.Status(), STATUS_ACCESS_DENIED);
  // Cancelling the pending FETCH releases the slot, so another node can claim it.
  EXPECT_EQ(kern::CancelRequests(unit, claim.irp), 1);
  ASSERT_TRUE(claim.Done(5000));
  EXPECT_EQ(claim.Status(), STATUS_CANCELLED);
  Pending other = fetch(FetchInput(1, 0xFFC5, gen), 4136);
  EXPECT_EQ(other.dispatch, STATUS_PENDING);
  kern::CancelRequests(unit, other.irp);
  ASSERT_TRUE(other.Done(5000));
}

TEST_F(DriverControlTest, CleanupEndsEveryPendingRequest) {
  size_t before = system_->OutstandingAllocations(kPoolTag);
  Pending get;
  vsbp::ManagementRecord record{};
  kern::FileObject* unit = OpenPublished(0, &get, &record);
  ASSERT_NE(unit, nullptr);
  uint32_t gen = hc_->generation();
  std::vector<std::vector<uint8_t>> outs(8, std::vector<uint8_t>(4136));
  std::vector<Pending> fetches;
  for (int s = 0; s < 8; ++s) {
    vsbp::FetchRequest f = FetchInput(static_cast<uint16_t>(s), NodeId(), gen);
    fetches.push_back(Send(unit, vsbp::IOCTL_VSBP_FETCH_COMMAND, &f, sizeof(f), outs[s].data(), 4136));
  }
  EXPECT_EQ(get.dispatch, STATUS_PENDING);
  Close(unit);
  ASSERT_TRUE(get.Done(5000));
  EXPECT_EQ(get.Status(), STATUS_CANCELLED);
  for (Pending& f : fetches) {
    ASSERT_TRUE(f.Done(5000));
    EXPECT_EQ(f.Status(), STATUS_CANCELLED);
  }
  // Nothing of the unit is left behind.
  EXPECT_EQ(system_->OutstandingAllocations(kPoolTag), before);
}

// Cleanup waits for the unit's last contexts with no mutex held: a transfer the bus holds
// keeps the teardown waiting, and meanwhile other handles open and the device's own work
// goes on.
TEST_F(DriverControlTest, CleanupWaitsForItsContextsOutsideTheOpenMutex) {
  kern::FileObject* unit = Open(u"\\unit00");
  ASSERT_NE(unit, nullptr);
  std::atomic<bool> held{false};
  hc_->SetFaultHook([&held](const bus1394::LogEntry& e) {
    bus1394::FaultAction a;
    if (e.kind == bus1394::LogEntry::Kind::AsyncRead && !held.exchange(true)) a.kind = bus1394::FaultAction::Kind::Pend;
    return a;
  });
  vsbp::TransferRequest t{};
  t.version = vsbp::kControlVersion;
  t.transfer_length = 512;
  t.data_size = 512;
  t.node_id = NodeId();
  t.data_offset_lo = 0x1000;
  t.options = vsbp::options::Make(0, false, 8, bus1394::SPEED_S400, false, bus1394::SPEED_S400);
  t.generation = hc_->generation();
  std::vector<uint8_t> data(512);
  Pending read = Send(unit, vsbp::IOCTL_VSBP_READ_INITIATOR, &t, sizeof(t), data.data(), 512);
  for (int i = 0; i < 5000 && !held.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(held.load());

  files_.erase(std::remove(files_.begin(), files_.end(), unit), files_.end());
  std::thread closer([unit] {
    kern::CleanupFile(unit);
    kern::CloseFile(unit);
  });
  // Long enough for the cleanup to be in its wait; were it holding the open mutex there,
  // the open below could not finish before the transfer is let go.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto control = std::async(std::launch::async, [this] {
    kern::FileObject* file = nullptr;
    NTSTATUS s = kern::OpenFile(device_, u"", &file);
    if (NtSuccess(s)) {
      kern::CleanupFile(file);
      kern::CloseFile(file);
    }
    return s;
  });
  const bool opened = control.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(opened);
  hc_->ReleasePendedQueries();
  hc_->SetFaultHook({});
  closer.join();
  EXPECT_EQ(control.get(), STATUS_SUCCESS);
  ASSERT_TRUE(read.Done(5000));
  // The unit is free again once its teardown is over.
  EXPECT_NE(Open(u"\\unit00"), nullptr);
}

// Cancellation racing the end of the unit: every request completes exactly once (the
// kernel stand-in aborts on a second completion) and none is lost.
TEST_F(DriverControlTest, CancelRacingCleanupCompletesOnce) {
  for (int round = 0; round < 30; ++round) {
    Pending get;
    vsbp::ManagementRecord record{};
    kern::FileObject* unit = OpenPublished(0, &get, &record);
    ASSERT_NE(unit, nullptr);
    uint32_t gen = hc_->generation();
    std::vector<std::vector<uint8_t>> outs(4, std::vector<uint8_t>(4136));
    std::vector<Pending> fetches;
    for (int s = 0; s < 4; ++s) {
      vsbp::FetchRequest f = FetchInput(static_cast<uint16_t>(s), NodeId(), gen);
      fetches.push_back(Send(unit, vsbp::IOCTL_VSBP_FETCH_COMMAND, &f, sizeof(f), outs[s].data(), 4136));
    }
    std::thread canceller([&] { kern::CancelRequests(unit); });
    Close(unit);
    canceller.join();
    for (Pending& f : fetches) {
      ASSERT_TRUE(f.Done(5000));
      EXPECT_EQ(f.Status(), STATUS_CANCELLED);
    }
  }
}

TEST_F(DriverControlTest, HostConfigRomRequests) {
  kern::FileObject* control = Open(u"");
  ASSERT_NE(control, nullptr);
  std::vector<uint8_t> in = GetInput();
  std::vector<uint32_t> expected = hc_->HostConfigRom();
  std::vector<uint8_t> rom(expected.size() * 4);
  uintptr_t info = 0;
  EXPECT_EQ(SendSync(control, vsbp::IOCTL_VSBP_GET_HOST_CONFIG_ROM, in.data(), 32, rom.data(),
                     static_cast<uint32_t>(rom.size()), &info),
            STATUS_SUCCESS);
  EXPECT_EQ(info, rom.size());
  // Bus order: the "1394" signature is quadlet 1.
  EXPECT_EQ(rom[4], '1');
  EXPECT_EQ(rom[7], '4');
  EXPECT_EQ(SendSync(control, vsbp::IOCTL_VSBP_GET_HOST_CONFIG_ROM, in.data(), 32, rom.data(), 6),
            STATUS_INVALID_PARAMETER);
  std::vector<uint8_t> image(64, 0);
  image[0] = 4;  // declares 16 bytes of 64
  EXPECT_EQ(SendSync(control, vsbp::IOCTL_VSBP_SET_HOST_CONFIG_ROM, in.data(), 32, image.data(), 64),
            STATUS_INVALID_PARAMETER);
  image[0] = 16;
  EXPECT_EQ(SendSync(control, vsbp::IOCTL_VSBP_SET_HOST_CONFIG_ROM, in.data(), 32, image.data(), 64),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SendSync(control, vsbp::IOCTL_VSBP_SET_HOST_CONFIG_ROM, in.data(), 32, image.data(), 32),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(hc_->HostConfigRom(), expected) << "the ROM is never written";
}

}  // namespace
}  // namespace ostrane::testing
