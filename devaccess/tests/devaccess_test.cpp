// The device access library against the real driver on the simulated machine, with the
// simulated initiator as the client and a fake target behind the callbacks.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devaccess/tests/test_rig.h"

namespace devaccess {
namespace {

using namespace std::chrono_literals;
using namespace devaccess::test_rig;
using sim::Command;
using sim::Initiator;
using sim::InitiatorOptions;
using sim::Profile;
using sim::Transport;

// ---- Fixture ---------------------------------------------------------------------------

// One controller with the virtual device present and the library initialised, all as the
// test's process. Checks at the end that the library left no handle, thread or lock behind.
class Library : public ::testing::Test {
 protected:
  explicit Library(size_t controllers = 1, size_t bare = 0) : rig_(controllers, bare) {}

  void SetUp() override {
    handles_ = win32::testing::OpenHandles();
    sections_ = win32::testing::LiveCriticalSections();
    ASSERT_EQ(VSbp2ApiInitialize(), 0u);
  }
  void TearDown() override {
    initiators_.clear();
    for (auto& [path, unit] : open_) VSbp2ApiCloseUnit(path.c_str(), unit);
    open_.clear();
    VSbp2ApiUninitialize();
    EXPECT_EQ(win32::testing::OpenHandles(), handles_);
    EXPECT_EQ(win32::testing::LiveThreads(), 0u);
    EXPECT_EQ(win32::testing::LiveCriticalSections(), sections_);
    EXPECT_EQ(win32::testing::LocalAllocations(), 0u);
    EXPECT_EQ(win32::testing::LiveSids(), 0u);
  }

  uint32_t Enumerate() {
    uint32_t count = 0;
    EXPECT_EQ(EnumerateHostControllers(&count), 1);
    return count;
  }

  DWORD Open(size_t controller = 0, uint32_t unit = 0, uint32_t flags = 0) {
    const UnitCallbacks callbacks = FakeTarget::Callbacks();
    std::u16string path = rig_.Path(controller);
    DWORD r = VSbp2ApiOpenUnit(path.c_str(), unit, flags, &callbacks, &target_);
    if (r == 0) open_.push_back({path, unit});
    return r;
  }

  // Attaching resets the bus, which makes the published directories visible.
  Initiator& AddInitiator(InitiatorOptions options = {}, size_t controller = 0) {
    initiators_.push_back(std::make_unique<Initiator>(rig_.hc(controller), options));
    return *initiators_.back();
  }
  Initiator& LoggedIn(InitiatorOptions options = {}, sim::LoginOptions login = {}, size_t controller = 0) {
    Initiator& ini = AddInitiator(options, controller);
    EXPECT_TRUE(ini.Discover().ok);
    EXPECT_TRUE(ini.Login(login).ok());
    return ini;
  }

  kern::ProcessScope process_{kProcess};
  Rig rig_;
  FakeTarget target_{kProcess};
  std::vector<std::pair<std::u16string, uint32_t>> open_;
  std::vector<std::unique_ptr<Initiator>> initiators_;
  size_t handles_ = 0;
  size_t sections_ = 0;
};

// ---- Pure pieces -----------------------------------------------------------------------

TEST(UnitDirectory, BothVariantsMatchTheLayoutInitiatorsParse) {
  const auto inquiry = sim::MakeInquiry(5, "VENDORAA", "PRODUCT-NAME-001", "0001");
  uint8_t raw[36];
  std::memcpy(raw, inquiry.data(), 36);
  for (bool mac : {false, true}) {
    SCOPED_TRACE(mac ? "mac" : "windows");
    for (int unit : {0, 5}) {
      uint8_t out[100];
      uint32_t size = sizeof(out);
      UnitDirectoryParams params{mac, kManagementAgentBase + 8 * static_cast<uint32_t>(unit), 3};
      ASSERT_TRUE(BuildUnitDirectory(&size, out, raw, params));
      const auto expected = sim::BuildUnitDirectory(
          inquiry, unit, mac ? sim::DirectoryVariant::kMac : sim::DirectoryVariant::kWindows, 3);
      ASSERT_EQ(size, expected.size());
      EXPECT_EQ(std::vector<uint8_t>(out, out + size), expected);
    }
  }
  uint8_t small[80];
  uint32_t size = sizeof(small);
  EXPECT_FALSE(BuildUnitDirectory(&size, small, raw, {true, kManagementAgentBase, 3}));
}

TEST(SenseToStatus, FixedFormatSenseBecomesCheckCondition) {
  struct Row {
    const char* name;
    uint8_t byte0;
    uint8_t byte2;  // filemark, EOM, ILI and the key
    uint8_t status_byte8;
    uint8_t status_byte9;
    bool info_copied;
  };
  const Row rows[] = {
      {"current", 0x70, 0x05, 0x02, 0x05, false},
      {"current, valid", 0xF0, 0x03, 0x02, 0x83, true},
      {"deferred", 0x71, 0x06, 0x42, 0x06, false},
      {"filemark, end of medium, incorrect length", 0x70, 0xE2, 0x02, 0x72, false},
  };
  const uint32_t status_template[2] = {0x81000012, 0xABCDEF00};  // src 2, len 1, ORB hi 0x12
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    uint8_t sense[18] = {row.byte0, 0, row.byte2, 1, 2, 3, 4, 10, 5, 6, 7, 8, 0x24, 0x01, 9, 10, 11, 12};
    uint8_t out[24];
    ASSERT_TRUE(SenseToStatusBlock(status_template, sense, out));
    // Head in bus order, len raised to 5 for the six quadlets.
    const uint8_t head[8] = {0x85, 0x00, 0x00, 0x12, 0xAB, 0xCD, 0xEF, 0x00};
    EXPECT_EQ(0, std::memcmp(out, head, 8));
    EXPECT_EQ(out[8], row.status_byte8);
    EXPECT_EQ(out[9], row.status_byte9);
    EXPECT_EQ(out[10], 0x24);
    EXPECT_EQ(out[11], 0x01);
    const uint8_t info[4] = {1, 2, 3, 4};
    const uint8_t zero[4] = {};
    EXPECT_EQ(0, std::memcmp(&out[12], row.info_copied ? info : zero, 4));
    const uint8_t csi[4] = {5, 6, 7, 8};
    EXPECT_EQ(0, std::memcmp(&out[16], csi, 4));
    const uint8_t tail[4] = {9, 10, 11, 12};
    EXPECT_EQ(0, std::memcmp(&out[20], tail, 4));
  }
  uint8_t not_fixed[18] = {0x72};  // descriptor format
  uint8_t out[24];
  EXPECT_FALSE(SenseToStatusBlock(status_template, not_fixed, out));
}

TEST(LibraryStart, SecurityFailuresLeaveNothingBehind) {
  kern::ProcessScope process(kProcess);
  using win32::testing::Call;
  for (Call call : {Call::AllocateAndInitializeSid, Call::SetEntriesInAcl, Call::LocalAlloc,
                    Call::InitializeSecurityDescriptor, Call::CreateMutex}) {
    win32::testing::FailNext(call);
    EXPECT_EQ(VSbp2ApiInitialize(), win32::ERROR_NOT_ENOUGH_MEMORY) << static_cast<int>(call);
    win32::testing::StopFailing();
    EXPECT_EQ(win32::testing::LocalAllocations(), 0u);
    EXPECT_EQ(win32::testing::LiveSids(), 0u);
  }
  EXPECT_EQ(VSbp2ApiInitialize(), 0u);
  EXPECT_EQ(VSbp2ApiUninitialize(), 0u);
  EXPECT_EQ(win32::testing::OpenHandles(), 0u);
}

// ---- Controllers and units -------------------------------------------------------------

class LibraryAddsDevices : public Library {
 protected:
  LibraryAddsDevices() : Library(2, 2) {}
};

TEST_F(LibraryAddsDevices, EnumerationAddsTheDeviceAndBothControllersServe) {
  ASSERT_EQ(rig_.hc(0).virtual_device(), nullptr);
  ASSERT_EQ(rig_.hc(1).virtual_device(), nullptr);
  EXPECT_EQ(Enumerate(), 2u);
  ASSERT_NE(rig_.hc(0).virtual_device(), nullptr);
  ASSERT_NE(rig_.hc(1).virtual_device(), nullptr);
  const HostControllerNode* head = HostControllers();
  uint32_t expected_sequence = 0;
  for (const HostControllerNode* n = head->next; n != head; n = n->next) {
    EXPECT_EQ(n->sequence, expected_sequence++);
  }
  EXPECT_EQ(expected_sequence, 2u);
  EXPECT_EQ(VSbp2ApiAttachController(rig_.Path(0).c_str()), win32::ERROR_ALREADY_EXISTS);

  target_.SetHandler(&Reads);
  ASSERT_EQ(Open(0, 0), 0u);
  ASSERT_EQ(Open(1, 3, kUnitFlagMac), 0u);
  Initiator& windows = AddInitiator({}, 0);
  sim::RomInfo rom = windows.Discover();
  ASSERT_TRUE(rom.ok) << rom.error;
  ASSERT_EQ(rom.units.size(), 1u);
  EXPECT_TRUE(rom.units[0].has_logical_unit_directory);
  EXPECT_EQ(rom.units[0].management_agent, 0x10000u);
  EXPECT_EQ(rom.units[0].device_type(), 5);
  EXPECT_EQ(rom.units[0].reconnect_timeout, 3);

  InitiatorOptions mac_options;
  mac_options.profile = Profile::kMac;
  Initiator& mac = AddInitiator(mac_options, 1);
  rom = mac.Discover();
  ASSERT_TRUE(rom.ok) << rom.error;
  ASSERT_EQ(rom.units.size(), 1u);
  EXPECT_FALSE(rom.units[0].has_logical_unit_directory);
  EXPECT_EQ(rom.units[0].model_id, 0u);
  EXPECT_EQ(rom.units[0].management_agent, 0x10000u + 8 * 3);
  ASSERT_EQ(rom.units[0].texts.size(), 1u);
  EXPECT_EQ(rom.units[0].texts[0].text, "KORVEN  RIRazuVezi VOVUV");

  for (Initiator* ini : {&windows, &mac}) {
    ASSERT_TRUE(ini->Login().ok());
    sim::Result r = ini->Execute(Read10(7, 2048));
    ASSERT_TRUE(r.good()) << sim::ToString(r.transport);
    EXPECT_EQ(r.data, Pattern(2048, 7));
  }
  EXPECT_EQ(mac.login()->command_agent, 0xFFFFF0100000ULL + 32 * 64 * 3);

  initiators_.clear();
  rig_.StartClock();
  ReleaseHostControllers();
  open_.clear();  // closed with their controllers
  EXPECT_EQ(rig_.hc(0).virtual_device(), nullptr);
  EXPECT_EQ(rig_.hc(1).virtual_device(), nullptr);
  EXPECT_EQ(HostControllers()->next, HostControllers());
}

TEST(LibraryWithoutDriver, ControllerWhoseDriverNeverComesIsSkipped) {
  kern::ProcessScope process(kProcess);
  Rig rig(1, 1, /*register_driver=*/false);
  ASSERT_EQ(VSbp2ApiInitialize(), 0u);
  EXPECT_EQ(VSbp2ApiAttachController(rig.Path().c_str()), win32::ERROR_DEV_NOT_EXIST);
  // The one add request did create the device; only the driver is missing.
  EXPECT_NE(rig.hc().virtual_device(), nullptr);
  EXPECT_EQ(VSbp2ApiAttachController(u"\\\\?\\no#such#controller"), win32::ERROR_PATH_NOT_FOUND);
  VSbp2ApiUninitialize();
}

TEST_F(Library, UnitOpenAndCloseRules) {
  ASSERT_EQ(Enumerate(), 1u);
  const std::u16string path = rig_.Path();
  const UnitCallbacks callbacks = FakeTarget::Callbacks();
  UnitCallbacks missing = callbacks;
  missing.unit_end = nullptr;
  EXPECT_EQ(VSbp2ApiOpenUnit(path.c_str(), 8, 0, &callbacks, &target_), win32::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(VSbp2ApiOpenUnit(path.c_str(), 0, 0, &missing, &target_), win32::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(VSbp2ApiOpenUnit(u"\\\\?\\not#attached", 0, 0, &callbacks, &target_), win32::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(VSbp2ApiCloseUnit(path.c_str(), 8), win32::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(VSbp2ApiCloseUnit(path.c_str(), 2), win32::ERROR_DEV_NOT_EXIST);

  const size_t before = win32::testing::OpenHandles();
  ASSERT_EQ(VSbp2ApiOpenUnit(path.c_str(), 2, 0, &callbacks, &target_), 0u);
  EXPECT_EQ(VSbp2ApiOpenUnit(path.c_str(), 2, 0, &callbacks, &target_), win32::ERROR_ALREADY_EXISTS);
  ASSERT_EQ(VSbp2ApiOpenUnit(path.c_str(), 7, 0, &callbacks, &target_), 0u);
  EXPECT_EQ(VSbp2ApiCloseUnit(path.c_str(), 2), 0u);
  EXPECT_EQ(VSbp2ApiCloseUnit(path.c_str(), 7), 0u);
  // The last close also closed the controller's driver handle.
  EXPECT_EQ(win32::testing::OpenHandles(), before);
  EXPECT_EQ(target_.unit_ends(), (std::vector<DWORD>{995, 995}));
  // And it opens again afterwards.
  ASSERT_EQ(VSbp2ApiOpenUnit(path.c_str(), 2, 0, &callbacks, &target_), 0u);
  EXPECT_EQ(VSbp2ApiCloseUnit(path.c_str(), 2), 0u);
}

TEST_F(Library, RefusedStartFailsTheOpenWithoutPublishing) {
  ASSERT_EQ(Enumerate(), 1u);
  struct Refusing {
    static DWORD Attach(void*, uint16_t, uint32_t, uint32_t, uint8_t, void**) { return 1168; }
  };
  UnitCallbacks callbacks = FakeTarget::Callbacks();
  callbacks.attach = &Refusing::Attach;
  const std::u16string path = rig_.Path();
  EXPECT_EQ(VSbp2ApiOpenUnit(path.c_str(), 0, 0, &callbacks, &target_), 1168u);
  EXPECT_EQ(VSbp2ApiCloseUnit(path.c_str(), 0), win32::ERROR_DEV_NOT_EXIST);
  Initiator& ini = AddInitiator();
  EXPECT_TRUE(ini.Discover().units.empty());
  EXPECT_TRUE(target_.unit_ends().empty());
}

TEST_F(Library, SecondProcessIsRefusedTheUnit) {
  ASSERT_EQ(Enumerate(), 1u);
  target_.SetHandler(&Reads);
  ASSERT_EQ(Open(), 0u);
  const std::u16string path = rig_.Path();
  HANDLE unit = UnitHandle(path.c_str(), 0);
  ASSERT_NE(unit, nullptr);
  HANDLE borrowed = win32::testing::DuplicateHandleToProcess(unit, kOtherProcess);
  ASSERT_NE(borrowed, nullptr);
  {
    kern::ProcessScope other(kOtherProcess);
    ASSERT_EQ(VSbp2ApiInitialize(), 0u);
    uint32_t count = 0;
    ASSERT_EQ(EnumerateHostControllers(&count), 1);
    EXPECT_EQ(count, 1u);
    const UnitCallbacks callbacks = FakeTarget::Callbacks();
    FakeTarget other_target(kOtherProcess);
    // The driver keeps one unit handle per unit.
    EXPECT_EQ(VSbp2ApiOpenUnit(path.c_str(), 0, 0, &callbacks, &other_target), win32::ERROR_ALREADY_EXISTS);
    EXPECT_EQ(VSbp2ApiCloseUnit(path.c_str(), 0), win32::ERROR_DEV_NOT_EXIST);
    // A handle of the owner's file, used from this process, is refused by the driver.
    vsbp::FetchRequest release{};
    release.version = vsbp::kControlVersion;
    release.node_id = vsbp::kReleaseSlotNodeId;
    DWORD n = 0;
    EXPECT_FALSE(win32::DeviceIoControl(borrowed, vsbp::IOCTL_VSBP_FETCH_COMMAND, &release, sizeof(release), nullptr,
                                        0, &n, nullptr));
    EXPECT_EQ(win32::GetLastError(), win32::ERROR_ACCESS_DENIED);
    win32::CloseHandle(borrowed);
    // This process ends as the program does: without releasing its controllers, which
    // would remove the virtual device under the owner.
    VSbp2ApiUninitialize();
  }
  // The owner's unit still serves.
  Initiator& ini = LoggedIn();
  EXPECT_TRUE(ini.Execute(Read10(1, 512)).good());
}

// The driver's answer to a bus reset as user mode meets it: a FETCH left pending fails with
// ERROR_BUS_RESET, the code the request loop waits for a RECONNECT on.
TEST_F(Library, PendingFetchFailsWithBusResetInUserMode) {
  ASSERT_EQ(Enumerate(), 1u);
  Initiator& ini = AddInitiator();  // the node the FETCH claims a login slot for
  rig_.hc().Drain();  // the driver has taken the generation of the reset the attach made
  const auto interfaces = kern::ListDeviceInterfaces(ostrane::DeviceInterfaceGuid(), false);
  ASSERT_EQ(interfaces.size(), 1u);
  const std::u16string name = win32::testing::DevicePathOf(interfaces[0].symbolic_link) + u"\\unit03";
  HANDLE unit = win32::CreateFileW(name.c_str(), win32::GENERIC_READ | win32::GENERIC_WRITE,
                                   win32::FILE_SHARE_READ | win32::FILE_SHARE_WRITE, nullptr, win32::OPEN_EXISTING,
                                   win32::FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(unit, win32::INVALID_HANDLE_VALUE);
  HANDLE get_event = win32::CreateEventW(nullptr, win32::TRUE, win32::FALSE, nullptr);
  HANDLE fetch_event = win32::CreateEventW(nullptr, win32::TRUE, win32::FALSE, nullptr);

  // Published with a unit directory of its own (management agent 0x4006: unit 3).
  std::vector<uint8_t> get(vsbp::kHeaderBytes, 0);
  get[0] = vsbp::kControlVersion;
  for (uint32_t q : {0x00080000u, 0x1200609Eu, 0x13010483u, 0x3800609Eu, 0x390104D8u, 0x54004006u, 0x3A002808u,
                     0x3D000003u, 0x14050000u}) {
    for (int shift = 24; shift >= 0; shift -= 8) get.push_back(static_cast<uint8_t>(q >> shift));
  }
  vsbp::ManagementRecord record{};
  win32::OVERLAPPED get_overlapped{};
  get_overlapped.hEvent = get_event;
  DWORD n = 0;
  EXPECT_FALSE(win32::DeviceIoControl(unit, vsbp::IOCTL_VSBP_GET_REQUEST, get.data(), static_cast<DWORD>(get.size()),
                                      &record, sizeof(record), &n, &get_overlapped));
  const bool get_pending = win32::GetLastError() == win32::ERROR_IO_PENDING;
  EXPECT_TRUE(get_pending);

  vsbp::FetchRequest fetch{};
  fetch.version = vsbp::kControlVersion;
  fetch.node_id = ini.node_id();
  fetch.generation = rig_.hc().generation();
  fetch.status_fifo_lo = 0x1000;
  fetch.speed = bus1394::SPEED_S400;
  std::vector<uint8_t> command(sizeof(vsbp::CommandRecord));
  win32::OVERLAPPED fetch_overlapped{};
  fetch_overlapped.hEvent = fetch_event;
  EXPECT_FALSE(win32::DeviceIoControl(unit, vsbp::IOCTL_VSBP_FETCH_COMMAND, &fetch, sizeof(fetch), command.data(),
                                      static_cast<DWORD>(command.size()), &n, &fetch_overlapped));
  const bool fetch_pending = win32::GetLastError() == win32::ERROR_IO_PENDING;
  EXPECT_TRUE(fetch_pending) << win32::GetLastError();
  if (fetch_pending) {
    EXPECT_EQ(win32::WaitForSingleObject(fetch_event, 0), win32::WAIT_TIMEOUT);
    rig_.hc().BusReset();
    EXPECT_EQ(win32::WaitForSingleObject(fetch_event, 10000), win32::WAIT_OBJECT_0);
    EXPECT_FALSE(win32::GetOverlappedResult(unit, &fetch_overlapped, &n, win32::TRUE));
    EXPECT_EQ(win32::GetLastError(), win32::ERROR_BUS_RESET);
    EXPECT_EQ(win32::WaitForSingleObject(get_event, 0), win32::WAIT_TIMEOUT) << "the unit stays published";
  }

  win32::CancelIo(unit);
  if (get_pending) {
    EXPECT_FALSE(win32::GetOverlappedResult(unit, &get_overlapped, &n, win32::TRUE));
    EXPECT_EQ(win32::GetLastError(), win32::ERROR_OPERATION_ABORTED);
  }
  win32::CloseHandle(fetch_event);
  win32::CloseHandle(get_event);
  win32::CloseHandle(unit);
}

// ---- Commands --------------------------------------------------------------------------

class OpenUnit : public Library {
 protected:
  void SetUp() override {
    Library::SetUp();
    ASSERT_EQ(Enumerate(), 1u);
    ASSERT_EQ(Open(), 0u);
  }
};

TEST_F(OpenUnit, AnswersReachTheInitiator) {
  struct Row {
    const char* name;
    Command command;
    Answer answer;
    Transport transport;
    uint8_t scsi_status;
    size_t status_bytes;
  };
  Answer short_read = Good(Pattern(1000, 3));
  Answer check;
  check.status = 2;
  check.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  Answer no_sense;
  no_sense.status = win32::ERROR_IO_DEVICE;
  const Row rows[] = {
      {"short data is zero-filled", Read10(3, 4096), short_read, Transport::kOk, 0, 8},
      {"sense gives CHECK CONDITION", Read10(4, 2048), check, Transport::kOk, 2, 24},
      {"no sense gives a transport failure", Read10(5, 2048), no_sense, Transport::kTransportFailure, 0, 8},
      {"no data", Command::Make({0x00}), Good(), Transport::kOk, 0, 8},
  };
  Initiator& ini = LoggedIn();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Answer answer = row.answer;
    target_.SetHandler([answer](const Seen&) { return answer; });
    sim::Result r = ini.Execute(row.command);
    EXPECT_EQ(r.transport, row.transport) << sim::ToString(r.transport);
    EXPECT_EQ(r.scsi_status, row.scsi_status);
    EXPECT_EQ(r.status.size(), row.status_bytes);
    if (row.transport == Transport::kTransportFailure) {
      EXPECT_EQ(r.resp, vsbp::kRespTransportFailure);
      EXPECT_EQ(r.sbp_status, 0xFF);
    }
    if (row.scsi_status == 2) {
      ASSERT_EQ(r.sense.size(), 18u);
      EXPECT_EQ(r.sense[2] & 0x0F, 0x05);
      EXPECT_EQ(r.sense[12], 0x24);
    }
    if (row.command.data_in_length > 0 && r.good()) {
      std::vector<uint8_t> expected = answer.data;
      expected.resize(row.command.data_in_length, 0);
      EXPECT_EQ(r.data, expected);
    }
  }
  const std::vector<Seen> seen = target_.seen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].data_length, 4096u);
  EXPECT_FALSE(seen[3].has_copy);
  EXPECT_EQ(seen[3].data_length, 0u);
}

TEST_F(OpenUnit, DataOutArrivesFetchedBeforeSubmission) {
  Initiator& ini = LoggedIn();
  for (auto layout : {sim::TransferOptions::Layout::kDirect, sim::TransferOptions::Layout::kPageTable}) {
    sim::TransferOptions transfer;
    transfer.layout = layout;
    transfer.page_size = layout == sim::TransferOptions::Layout::kPageTable ? 4 : 0;
    ini.SetTransfer(transfer);
    const std::vector<uint8_t> data = Pattern(10000, static_cast<uint32_t>(layout));
    Command write = Command::Make({0x2A, 0, 0, 0, 0, 9, 0, 0, 5, 0}, 0, data);
    ASSERT_TRUE(ini.Execute(write).good());
    const Seen s = target_.seen().back();
    EXPECT_EQ(s.flags & kSlotDataFetched, kSlotDataFetched);
    EXPECT_EQ(s.data_out, data);
  }
}

TEST_F(OpenUnit, DataOutThatCannotBeReadIsRefusedWithoutExecution) {
  Initiator& ini = LoggedIn();
  // The first read of command data fails on the bus; ORB and register traffic is smaller.
  std::atomic<bool> failed{false};
  rig_.hc().SetFaultHook([&failed](const bus1394::LogEntry& e) {
    bus1394::FaultAction a;
    if (e.kind == bus1394::LogEntry::Kind::AsyncRead && e.length >= 512 && !failed.exchange(true)) {
      a.kind = bus1394::FaultAction::Kind::Fail;
      a.status = kern::STATUS_IO_TIMEOUT;
    }
    return a;
  });
  sim::Result r = ini.Execute(Command::Make({0x2A, 0, 0, 0, 0, 1, 0, 0, 2, 0}, 0, Pattern(4096, 1)));
  rig_.hc().SetFaultHook({});
  EXPECT_EQ(r.transport, Transport::kTransportFailure);
  EXPECT_EQ(r.resp, vsbp::kRespTransportFailure);
  EXPECT_EQ(r.sbp_status, vsbp::kSbpDataBufferDataError);
  EXPECT_TRUE(target_.seen().empty());
  // The slot was not kept: the login goes on.
  EXPECT_TRUE(ini.Execute(Command::Make({0x2A, 0, 0, 0, 0, 1, 0, 0, 2, 0}, 0, Pattern(4096, 2))).good());
  ASSERT_EQ(target_.seen().size(), 1u);
  EXPECT_EQ(target_.seen()[0].data_out, Pattern(4096, 2));
}

// ---- Management ------------------------------------------------------------------------

TEST_F(OpenUnit, LoginResponseAndQueryLogins) {
  InitiatorOptions first;
  first.profile = Profile::kMac;
  first.eui64 = 0x0800460300000001ULL;
  sim::LoginOptions short_response;
  short_response.response_length = 12;
  short_response.reconnect = 2;  // outlives the reset the second initiator's arrival makes
  Initiator& a = AddInitiator(first);
  ASSERT_TRUE(a.Discover().ok);
  sim::ManagementResult login = a.Login(short_response);
  ASSERT_TRUE(login.ok());
  ASSERT_GE(login.response.size(), 4u);
  EXPECT_EQ(sim::LoadBe32(login.response.data()) >> 16, 12u);

  InitiatorOptions second = first;
  second.eui64 = 0x0800460300000002ULL;
  Initiator& b = LoggedIn(second);
  EXPECT_EQ(b.login()->login_id, 1);

  ASSERT_TRUE(a.WaitIdle());  // reconnected after that reset
  sim::ManagementResult query = a.QueryLogins();
  ASSERT_TRUE(query.ok());
  sim::QueryLoginsInfo info = sim::QueryLoginsInfo::Parse(query.response);
  EXPECT_EQ(info.length, 28);
  EXPECT_EQ(info.max_logins, 4);
  ASSERT_EQ(info.entries.size(), 2u);
  EXPECT_EQ(info.entries[0].node_id, a.node_id());
  EXPECT_EQ(info.entries[0].eui64, first.eui64);
  EXPECT_EQ(info.entries[1].login_id, 1);
  EXPECT_EQ(info.entries[1].eui64, second.eui64);
}

TEST_F(OpenUnit, LoginLimits) {
  sim::LoginOptions once;
  once.tries = 1;
  once.reconnect = 2;  // each new initiator resets the bus: give the others time to reconnect
  InitiatorOptions mac;
  mac.profile = Profile::kMac;
  for (uint64_t i = 0; i < 4; ++i) {
    mac.eui64 = 0x0800460300000010ULL + i;
    LoggedIn(mac, once);
  }
  mac.eui64 = 0x0800460300000020ULL;
  Initiator& fifth = AddInitiator(mac);
  ASSERT_TRUE(fifth.Discover().ok);
  sim::ManagementResult r = fifth.Login(once);
  EXPECT_EQ(r.sbp_status, 8);

  // An exclusive login is refused while others exist.
  sim::LoginOptions exclusive = once;
  exclusive.exclusive = true;
  initiators_.front()->Logout();
  mac.eui64 = 0x0800460300000030ULL;
  Initiator& sixth = AddInitiator(mac);
  ASSERT_TRUE(sixth.Discover().ok);
  EXPECT_EQ(sixth.Login(exclusive).sbp_status, 4);
  EXPECT_EQ(target_.login_attaches(), 4);
}

TEST_F(OpenUnit, ExclusiveLoginKeepsOthersOut) {
  sim::LoginOptions once;
  once.tries = 1;
  Initiator& linux_initiator = LoggedIn({}, once);  // exclusive
  EXPECT_EQ(linux_initiator.login()->reconnect_hold, 3);  // 4 s asked, capped
  InitiatorOptions other;
  other.profile = Profile::kMac;
  other.eui64 = 0x0800460300000099ULL;
  Initiator& mac = AddInitiator(other);
  ASSERT_TRUE(mac.Discover().ok);
  EXPECT_EQ(mac.Login(once).sbp_status, 4);
}

// The management agent's answers to ORBs it must refuse, each sent as such an ORB goes on
// the bus, with the status block read back by the initiator that sent it.
TEST_F(OpenUnit, ManagementStatusRules) {
  InitiatorOptions mac;
  mac.profile = Profile::kMac;
  mac.eui64 = 0x0800460300000041ULL;
  sim::LoginOptions hold;
  hold.reconnect = 2;  // outlives the reset the second initiator's arrival makes
  Initiator& owner = LoggedIn(mac, hold);
  const uint16_t id = owner.login()->login_id;
  InitiatorOptions other_options = mac;
  other_options.eui64 = 0x0800460300000042ULL;
  Initiator& other = AddInitiator(other_options);
  ASSERT_TRUE(other.Discover().ok);
  ASSERT_TRUE(owner.WaitIdle());  // reconnected after that reset
  ASSERT_EQ(owner.counters().reconnects, 1);

  using sim::RawManagementOrb;
  auto with_response = [](RawManagementOrb o, uint16_t length) {
    o.response_length = length;
    return o;
  };
  struct Row {
    std::string name;
    Initiator* from;
    RawManagementOrb orb;
    uint8_t resp;
    uint8_t sbp_status;
  };
  std::vector<Row> rows = {
      {"RECONNECT of the login from another EUI-64", &other, RawManagementOrb::Make(vsbp::kReconnect, id), 0, 9},
      {"LOGOUT of the login from another node", &other, RawManagementOrb::Make(vsbp::kLogout, id), 0, 9},
      {"RECONNECT of a login ID no login has", &owner, RawManagementOrb::Make(vsbp::kReconnect, id + 1), 0, 0x0A},
      {"RECONNECT of login ID 64", &owner, RawManagementOrb::Make(vsbp::kReconnect, 64), 0, 0x0A},
      {"LOGOUT of a login ID no login has", &owner, RawManagementOrb::Make(vsbp::kLogout, id + 3), 0, 0x0A},
      {"LOGIN to LUN 1", &other, with_response(RawManagementOrb::Make(vsbp::kLogin, 1, 16), 16), 0, 5},
      {"QUERY LOGINS of LUN 1", &other, with_response(RawManagementOrb::Make(vsbp::kQueryLogins, 1, 52), 52), 0, 5},
      {"a second LOGIN from the same EUI-64", &owner, with_response(RawManagementOrb::Make(vsbp::kLogin, 0, 16), 16),
       0, 4},
      {"SET PASSWORD", &owner, RawManagementOrb::Make(vsbp::kSetPassword, id), 2, 0xFF},
  };
  for (uint8_t f : {2, 5, 6, 8, 9, 10, 13}) {
    rows.push_back({"function " + std::to_string(f), &owner, RawManagementOrb::Make(f, id), 2, 0xFF});
  }
  for (const Row& row : rows) {
    sim::ManagementResult r = row.from->SendManagementOrb(row.orb);
    ASSERT_EQ(r.status.size(), 8u) << row.name << ": " << sim::ToString(r.transport);
    EXPECT_EQ(r.status[0] >> 6, 1) << row.name << ": src";
    EXPECT_EQ(r.status[0] & 7, 1) << row.name << ": len";
    EXPECT_EQ(r.resp, row.resp) << row.name;
    EXPECT_EQ(r.sbp_status, row.sbp_status) << row.name;
  }
  // None of them touched the login or made one.
  target_.SetHandler(&Reads);
  sim::Result read = owner.Execute(Read10(7, 512));
  ASSERT_TRUE(read.good()) << sim::ToString(read.transport);
  EXPECT_EQ(read.data, Pattern(512, 7));
  EXPECT_EQ(owner.counters().relogins, 0);
  EXPECT_EQ(target_.login_attaches(), 1);
  EXPECT_TRUE(target_.releases().empty());
  sim::ManagementResult query = other.QueryLogins();
  ASSERT_TRUE(query.ok());
  EXPECT_EQ(sim::QueryLoginsInfo::Parse(query.response).entries.size(), 1u);

  // Once logged out, the login ID is unknown to a RECONNECT of its own initiator.
  ASSERT_TRUE(owner.Logout().ok());
  sim::ManagementResult late = owner.SendManagementOrb(RawManagementOrb::Make(vsbp::kReconnect, id));
  EXPECT_EQ(late.resp, 0);
  EXPECT_EQ(late.sbp_status, 0x0A);
}

TEST_F(OpenUnit, AttachRefusalsBecomeLoginStatus) {
  sim::LoginOptions once;
  once.tries = 1;
  target_.RefuseAttach(win32::ERROR_NOT_ENOUGH_MEMORY);
  Initiator& ini = AddInitiator();
  ASSERT_TRUE(ini.Discover().ok);
  EXPECT_EQ(ini.Login(once).sbp_status, 8);
  target_.RefuseAttach(win32::ERROR_ACCESS_DENIED);
  EXPECT_EQ(ini.Login(once).sbp_status, 4);
}

TEST_F(OpenUnit, LoginWithoutResourcesIsRefusedAndReleased) {
  using win32::testing::Call;
  struct Row {
    const char* name;
    Call call;
    int skip;
    uint8_t resp;
    uint8_t sbp_status;
    DWORD release_code;
  };
  const Row rows[] = {
      {"no events", Call::CreateEvent, 0, vsbp::kRespRequestComplete, 8, win32::ERROR_NOT_ENOUGH_MEMORY},
      {"no thread", Call::CreateThread, 0, vsbp::kRespRequestComplete, 8, win32::ERROR_NOT_ENOUGH_MEMORY},
  };
  sim::LoginOptions once;
  once.tries = 1;
  Initiator& ini = AddInitiator();
  ASSERT_TRUE(ini.Discover().ok);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    win32::testing::FailNext(row.call, 1, row.skip);
    sim::ManagementResult r = ini.Login(once);
    win32::testing::StopFailing();
    EXPECT_EQ(r.resp, row.resp);
    EXPECT_EQ(r.sbp_status, row.sbp_status);
    ASSERT_TRUE(target_.WaitFor([t = &target_] { return !t->releases_.empty(); }));
    EXPECT_EQ(target_.releases(), std::vector<DWORD>{row.release_code});
    std::lock_guard<std::mutex> lock(target_.mu_);
    target_.releases_.clear();
  }
  // Nothing of the failed logins is left: the next one gets the first login ID.
  ASSERT_TRUE(ini.Login(once).ok());
  EXPECT_EQ(ini.login()->login_id, 0);
}

TEST_F(OpenUnit, LogoutWithFetchPendingFreesTheLogin) {
  Initiator& first = LoggedIn();
  ASSERT_TRUE(first.Logout().ok());
  ASSERT_TRUE(target_.WaitFor([t = &target_] { return t->releases_.size() == 1; }));
  EXPECT_EQ(target_.releases(), std::vector<DWORD>{0});
  // The cancelled fetch gave the driver's slot back: another node gets login 0 and works.
  InitiatorOptions other;
  other.eui64 = 0x08004603000000AAULL;
  Initiator& second = LoggedIn(other);
  EXPECT_EQ(second.login()->login_id, 0);
  target_.SetHandler(&Reads);
  EXPECT_TRUE(second.Execute(Read10(2, 512)).good());
}

// ---- Bus resets ------------------------------------------------------------------------

TEST_F(OpenUnit, ReconnectAfterBusResetResendsCancelledCommands) {
  InitiatorOptions chained;
  chained.profile = Profile::kChained;
  Initiator& ini = LoggedIn(chained);
  target_.SetHandler(&Reads);
  target_.Hold(2);
  auto a = ini.Submit(Read10(10, 1024));
  auto b = ini.Submit(Read10(11, 1024));
  ASSERT_TRUE(target_.WaitFor([t = &target_] { return t->held_.size() == 2; }));
  rig_.hc().BusReset();
  // Once the initiator has sent them again, the lost ones come back from the target: they
  // must go nowhere.
  ASSERT_TRUE(target_.WaitFor([t = &target_] { return t->seen_.size() >= 4; }));
  target_.ReleaseHeld();
  sim::Result ra = a.get();
  sim::Result rb = b.get();
  ASSERT_TRUE(ra.good()) << sim::ToString(ra.transport);
  ASSERT_TRUE(rb.good()) << sim::ToString(rb.transport);
  EXPECT_EQ(ra.data, Pattern(1024, 10));
  EXPECT_EQ(rb.data, Pattern(1024, 11));
  EXPECT_EQ(ra.attempts, 2);
  EXPECT_EQ(ini.counters().reconnects, 1);
  EXPECT_EQ(ini.counters().stray_status, 0);
  EXPECT_TRUE(target_.WaitFor([t = &target_] { return t->cancelled_answers_ == 2; }));
  EXPECT_TRUE(target_.releases().empty());  // the login lives on
}

TEST_F(OpenUnit, ReconnectIsAnsweredOnceTheLoginFetchesAgain) {
  InitiatorOptions chained;
  chained.profile = Profile::kChained;
  Initiator& ini = LoggedIn(chained);
  target_.SetHandler(&Reads);
  // Every slot is with the target when the bus resets, so the login cannot fetch again
  // until one comes back. An initiator that sent its ORBs on the RECONNECT's answer before
  // then would find the driver's login slot unclaimed.
  target_.Hold(4);
  std::vector<std::future<sim::Result>> reads;
  for (uint32_t i = 0; i < 4; ++i) reads.push_back(ini.Submit(Read10(30 + i, 512)));
  ASSERT_TRUE(target_.WaitFor([t = &target_] { return t->held_.size() == 4; }));
  rig_.hc().BusReset();
  std::this_thread::sleep_for(400ms);  // longer than the initiator's agent register retries
  target_.ReleaseHeld();
  for (uint32_t i = 0; i < 4; ++i) {
    sim::Result r = reads[i].get();
    ASSERT_TRUE(r.good()) << i << ": " << sim::ToString(r.transport);
    EXPECT_EQ(r.data, Pattern(512, 30 + i));
  }
  EXPECT_EQ(ini.counters().reconnects, 1);
  EXPECT_EQ(ini.counters().relogins, 0);
}

// The login's thread is inside a data-out read when the bus resets, and the RECONNECT is
// accepted before the thread learns of the reset from its next FETCH. The reset it then
// sees has already been answered: the login must keep the address the RECONNECT gave it.
TEST_F(OpenUnit, ReconnectAcceptedBeforeTheThreadSeesTheResetKeepsTheLogin) {
  Initiator& ini = LoggedIn();
  target_.SetHandler(&Reads);
  std::atomic<bool> pended{false};
  rig_.hc().SetFaultHook([&pended](const bus1394::LogEntry& e) {
    bus1394::FaultAction a;
    if (e.kind == bus1394::LogEntry::Kind::AsyncRead && e.length >= 512 && !pended.exchange(true)) {
      a.kind = bus1394::FaultAction::Kind::Pend;
    }
    return a;
  });
  auto write = ini.Submit(Command::Make({0x2A, 0, 0, 0, 0, 1, 0, 0, 2, 0}, 0, Pattern(1024, 3)));
  for (int i = 0; i < 10000 && !pended.load(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(pended.load());
  rig_.hc().BusReset();
  for (int i = 0; i < 10000 && ini.counters().reconnects == 0; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(ini.counters().reconnects, 1);
  // The data read fails with the old generation; the thread's next FETCH carries it too.
  rig_.hc().ReleasePendedQueries();
  rig_.hc().SetFaultHook({});
  sim::Result w = write.get();
  EXPECT_TRUE(w.good()) << sim::ToString(w.transport);
  sim::Result r = ini.Execute(Read10(7, 512));
  ASSERT_TRUE(r.good()) << sim::ToString(r.transport);
  EXPECT_EQ(r.data, Pattern(512, 7));
  EXPECT_EQ(ini.counters().relogins, 0);
  EXPECT_TRUE(target_.releases().empty());  // the login lives on
}

// A RECONNECT in a generation whose FETCH is armed already (a repeated one, after the
// initiator lost the first answer) has nothing to wait for: it is answered at once, well
// inside the initiator's management time-out, whatever the system timer's granularity.
TEST_F(OpenUnit, RepeatedReconnectIsAnsweredWithoutWaiting) {
  Initiator& ini = LoggedIn();
  target_.SetHandler(&Reads);
  rig_.hc().BusReset();
  for (int i = 0; i < 10000 && ini.counters().reconnects == 0; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(ini.WaitIdle());
  for (int i = 0; i < 2; ++i) {
    sim::ManagementResult again = ini.Reconnect();
    EXPECT_TRUE(again.ok()) << i;
  }
  sim::Result r = ini.Execute(Read10(8, 512));
  ASSERT_TRUE(r.good()) << sim::ToString(r.transport);
  EXPECT_EQ(r.data, Pattern(512, 8));
  EXPECT_EQ(ini.counters().relogins, 0);
}

TEST_F(OpenUnit, AbortedCommandsAreNotAnsweredAndFetchingResumes) {
  InitiatorOptions chained;
  chained.profile = Profile::kChained;
  Initiator& ini = LoggedIn(chained);
  target_.SetHandler(&Reads);
  target_.Hold(2);
  auto a = ini.Submit(Read10(20, 512));
  auto b = ini.Submit(Read10(21, 512));
  ASSERT_TRUE(target_.WaitFor([t = &target_] { return t->held_.size() == 2; }));
  // The driver answers the abort with the next fetch, which waits until the target has
  // given the aborted commands back.
  auto abort = std::async(std::launch::async, [&ini] { return ini.AbortTaskSet(); });
  RequestSlot* held = target_.held_slot(1);
  for (int i = 0; i < 10000 && std::atomic_ref<uint32_t>(held->cancelled).load() == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(std::atomic_ref<uint32_t>(held->cancelled).load(), 1u);
  target_.ReleaseHeld();
  EXPECT_TRUE(abort.get().ok());
  EXPECT_EQ(a.get().transport, Transport::kAborted);
  EXPECT_EQ(b.get().transport, Transport::kAborted);
  sim::Result rc = ini.Execute(Read10(22, 512));
  ASSERT_TRUE(rc.good()) << sim::ToString(rc.transport);
  EXPECT_EQ(rc.data, Pattern(512, 22));
  EXPECT_TRUE(target_.WaitFor([t = &target_] { return t->cancelled_answers_ == 2; }));
  EXPECT_EQ(ini.counters().stray_status, 0);
}

TEST_F(OpenUnit, LoginExpiresWithoutReconnect) {
  InitiatorOptions slow;
  slow.reconnect_delay_ms = 2500;
  sim::LoginOptions no_hold;
  no_hold.reconnect = 0;  // a hold of 0 s: one tick and the login is gone
  Initiator& ini = LoggedIn(slow, no_hold);
  EXPECT_EQ(ini.login()->reconnect_hold, 0);
  rig_.hc().BusReset();
  ASSERT_TRUE(target_.WaitFor([t = &target_] { return t->releases_.size() == 1; }));
  // The late RECONNECT is refused; the initiator logs in afresh and goes on.
  target_.SetHandler(&Reads);
  sim::Result r = ini.Execute(Read10(6, 512));
  EXPECT_TRUE(r.good()) << sim::ToString(r.transport);
  EXPECT_EQ(ini.counters().relogins, 1);
  EXPECT_EQ(ini.counters().reconnects, 0);
}

TEST_F(OpenUnit, QueryLoginsShowsALoginWaitingForItsReconnect) {
  InitiatorOptions slow;
  slow.profile = Profile::kMac;
  slow.reconnect_delay_ms = 5000;  // later than the query
  sim::LoginOptions hold;
  hold.reconnect = 2;
  Initiator& waiting = LoggedIn(slow, hold);
  InitiatorOptions asker;
  asker.profile = Profile::kMac;
  asker.eui64 = 0x08004603000000BBULL;
  Initiator& other = AddInitiator(asker);  // attaching resets the bus
  ASSERT_TRUE(other.Discover().ok);
  sim::ManagementResult q = other.QueryLogins();
  ASSERT_TRUE(q.ok());
  sim::QueryLoginsInfo info = sim::QueryLoginsInfo::Parse(q.response);
  ASSERT_EQ(info.entries.size(), 1u);
  EXPECT_EQ(info.entries[0].node_id, 0xFFFF);
  EXPECT_LE(info.entries[0].login_id, waiting.login()->reconnect_hold);
}

TEST_F(OpenUnit, UnitCloseWaitsForCommandsInFlight) {
  Initiator& ini = LoggedIn();
  target_.Hold(1);
  auto pending = ini.Submit(Read10(1, 512));
  ASSERT_TRUE(target_.WaitFor([t = &target_] { return t->held_.size() == 1; }));
  const std::u16string path = rig_.Path();
  std::thread closer([&] {
    kern::ProcessScope process(kProcess);
    EXPECT_EQ(VSbp2ApiCloseUnit(path.c_str(), 0), 0u);
  });
  // The unit has ended and its login given the command up, but the login cannot go while
  // the target holds the command.
  ASSERT_TRUE(target_.WaitFor([t = &target_] { return !t->unit_ends_.empty(); }));
  RequestSlot* held = target_.held_slot(0);
  for (int i = 0; i < 10000 && std::atomic_ref<uint32_t>(held->cancelled).load() == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(target_.releases().empty());
  target_.ReleaseHeld();
  closer.join();
  open_.clear();
  EXPECT_EQ(target_.unit_ends(), std::vector<DWORD>{995});
  EXPECT_EQ(target_.releases(), std::vector<DWORD>{995});
  EXPECT_EQ(target_.cancelled_answers(), 1u);
  initiators_.clear();  // the command was never answered: it ends with the initiator
  EXPECT_NE(pending.get().transport, Transport::kOk);
}

}  // namespace
}  // namespace devaccess
