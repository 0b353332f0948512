// The agents as an initiator meets them on the bus: register answers, management ORB
// checks, task management, and the fetch agent walking a list of command ORBs. The test
// plays both sides: the initiator through bus transactions and user mode through the
// control interface.
#include <atomic>
#include <chrono>
#include <thread>

#include "driver/records.h"
#include "driver/tests/driver_fixture.h"

namespace ostrane::testing {
namespace {

using namespace kern;
using bus1394::RCODE_ADDRESS_ERROR;
using bus1394::RCODE_CONFLICT_ERROR;
using bus1394::RCODE_RESPONSE_COMPLETE;
using bus1394::RCODE_TYPE_ERROR;

constexpr uint64_t kCsr = 0xFFFFF0000000ULL;
constexpr uint64_t kAgent0 = kCsr + 0x10000;
constexpr uint64_t kFifo = 0x8000;      // management status FIFO in initiator memory
constexpr uint64_t kCmdFifo = 0x9000;   // command status FIFO
constexpr uint64_t kResponse = 0xA000;  // login response buffer

uint64_t CommandAgent(int unit, int slot, uint32_t reg) {
  return kCsr + 0x100000 + 0x800 * unit + 0x20 * slot + reg;
}

std::vector<uint8_t> Be(std::initializer_list<uint32_t> quadlets) {
  std::vector<uint8_t> b;
  for (uint32_t q : quadlets) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(q >> s));
  }
  return b;
}

class AgentTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    unit_ = OpenPublished(0, &get_, &record_);
    ASSERT_NE(unit_, nullptr);
  }

  bus1394::Response Access(uint64_t offset, uint8_t tcode, std::vector<uint8_t> data = {},
                           uint16_t data_length = 8, uint16_t source = 0, bus1394::RemoteNode* from = nullptr) {
    bus1394::Request r;
    r.destination_id = hc_->local_node_id();
    r.tcode = tcode;
    r.offset = offset;
    r.data_length = (tcode == bus1394::TCODE_WRITE_QUADLET || tcode == bus1394::TCODE_READ_QUADLET) ? 0 : data_length;
    r.data = std::move(data);
    r.generation = hc_->generation();
    r.speed = bus1394::SPEED_S400;
    if (source != 0) {
      r.source_id = source;
      return hc_->SendSync(nullptr, r);
    }
    return hc_->SendSync(from != nullptr ? from : &node_, r);
  }
  uint8_t WriteAddress(uint64_t reg, uint32_t orb, uint16_t source = 0) {
    return Access(reg, bus1394::TCODE_WRITE_BLOCK, Be({static_cast<uint32_t>(NodeId()) << 16, orb}), 8, source).rcode;
  }
  // The same write from another node on the bus, whose memory holds the ORB.
  uint8_t WriteAddressFrom(MemoryNode* from, uint64_t reg, uint32_t orb) {
    return Access(reg, bus1394::TCODE_WRITE_BLOCK, Be({static_cast<uint32_t>(hc_->node_id(from)) << 16, orb}), 8, 0,
                  from)
        .rcode;
  }

  // Lets the driver's deferred calls, work items and bus traffic run to the end.
  void Settle() {
    for (int i = 0; i < 3; ++i) {
      hc_->Drain();
      system_->Quiesce();
    }
  }
  template <typename Pred>
  bool WaitFor(Pred pred) {
    for (int i = 0; i < 500; ++i) {
      Settle();
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  // A management ORB at `at` in initiator memory.
  void PlaceManagementOrb(uint32_t at, uint8_t function, uint32_t q4_low = 0, uint32_t q5 = 0,
                          uint8_t rq_fmt = 0, bool exclusive = false, uint8_t reconnect = 0,
                          MemoryNode* into = nullptr) {
    MemoryNode& node = into != nullptr ? *into : node_;
    uint32_t q4 = 1u << 31 | static_cast<uint32_t>(rq_fmt) << 29 | (exclusive ? 1u << 28 : 0) |
                  static_cast<uint32_t>(reconnect) << 20 | static_cast<uint32_t>(function) << 16 | q4_low;
    node.WriteQuadlets(at, {0, 0, 0, static_cast<uint32_t>(kResponse), q4, q5, 0, static_cast<uint32_t>(kFifo)});
    node.WriteQuadlets(kFifo, {0, 0});
  }
  uint32_t FifoQuadlet(uint64_t fifo = kFifo) { return node_.ReadQuadlet(fifo); }

  // Claims login slot `slot` for the memory node; the FETCH pends.
  Pending Fetch(uint16_t slot, std::vector<uint8_t>* out) {
    out->assign(sizeof(vsbp::CommandRecord), 0);
    vsbp::FetchRequest f = FetchInput(slot, NodeId(), hc_->generation());
    f.status_fifo_lo = static_cast<uint32_t>(kCmdFifo);
    return Send(unit_, vsbp::IOCTL_VSBP_FETCH_COMMAND, &f, sizeof(f), out->data(),
                static_cast<uint32_t>(out->size()));
  }

  // A command ORB: next (0 = null), a direct buffer or page table, options, CDB byte 0.
  void PlaceCommandOrb(uint32_t at, uint32_t next, uint16_t options, uint16_t data_size, uint32_t data_at,
                       uint8_t opcode) {
    uint32_t q0 = next == 0 ? 1u << 31 : 0;
    node_.WriteQuadlets(at, {q0, next, static_cast<uint32_t>(NodeId()) << 16, data_at,
                             static_cast<uint32_t>(options) << 16 | data_size,
                             static_cast<uint32_t>(opcode) << 24, 0, 0});
  }

  kern::FileObject* unit_ = nullptr;
  Pending get_;
  vsbp::ManagementRecord record_{};
  MemoryNode foreign_{1 << 16};  // a second initiator for the tests that attach one; outlives the bus
};

TEST_F(AgentTest, ManagementRegisterAnswers) {
  struct Case {
    const char* what;
    uint64_t offset;
    uint8_t tcode;
    uint16_t data_length;
    uint8_t rcode;
  } cases[] = {
      {"quadlet write", kAgent0, bus1394::TCODE_WRITE_QUADLET, 0, RCODE_TYPE_ERROR},
      {"block write at offset 4", kAgent0 + 4, bus1394::TCODE_WRITE_BLOCK, 8, RCODE_TYPE_ERROR},
      {"block write at offset 2", kAgent0 + 2, bus1394::TCODE_WRITE_BLOCK, 8, RCODE_ADDRESS_ERROR},
      {"4-byte block write", kAgent0, bus1394::TCODE_WRITE_BLOCK, 4, RCODE_TYPE_ERROR},
      {"register of a unit that is not open", kAgent0 + 8 * 5, bus1394::TCODE_WRITE_BLOCK, 8, RCODE_ADDRESS_ERROR},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> data(c.tcode == bus1394::TCODE_WRITE_QUADLET ? 4 : c.data_length, 0);
    EXPECT_EQ(Access(c.offset, c.tcode, data, c.data_length).rcode, c.rcode) << c.what;
  }
  kern::FileObject* unit1 = Open(u"\\unit01");
  ASSERT_NE(unit1, nullptr);
  EXPECT_EQ(WriteAddress(kAgent0 + 8, 0x100), RCODE_ADDRESS_ERROR) << "open but empty unit";

  // Accepted, and read back with the node_ID half zero.
  PlaceManagementOrb(0x100, vsbp::kQueryLogins, 0, 16);
  EXPECT_EQ(WriteAddress(kAgent0, 0x100), RCODE_RESPONSE_COMPLETE);
  bus1394::Response r = Access(kAgent0, bus1394::TCODE_READ_BLOCK, {}, 8);
  ASSERT_EQ(r.rcode, RCODE_RESPONSE_COMPLETE);
  EXPECT_EQ(r.data, Be({0, 0x100}));
}

TEST_F(AgentTest, OneManagementRequestPerInitiator) {
  // With no GET pending the first ORB waits in the queue and stays in progress.
  kern::CancelRequests(unit_, get_.irp);
  ASSERT_TRUE(get_.Done(5000));
  PlaceManagementOrb(0x100, vsbp::kQueryLogins, 0, 16);
  ASSERT_EQ(WriteAddress(kAgent0, 0x100), RCODE_RESPONSE_COMPLETE);
  Settle();
  EXPECT_EQ(WriteAddress(kAgent0, 0x100), RCODE_CONFLICT_ERROR);
  EXPECT_EQ(WriteAddress(kAgent0, 0x100, 0xFFC7), RCODE_RESPONSE_COMPLETE) << "another initiator";
  // The GET takes the queued ORB; then the initiator may write again.
  std::vector<uint8_t> in = GetInput();
  vsbp::ManagementRecord rec{};
  ASSERT_EQ(SendSync(unit_, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), 32, &rec, sizeof(rec)), STATUS_SUCCESS);
  EXPECT_EQ(rec.function(), vsbp::kQueryLogins);
  EXPECT_EQ(WriteAddress(kAgent0, 0x100), RCODE_RESPONSE_COMPLETE);
}

// An initiator whose management ORB was caught by a bus reset does not wait for its status:
// it sends its RECONNECT at once. The earlier request, still queued for user mode, must not
// make that one a conflict, and handing the earlier one over must not free the entry the
// later one holds.
TEST_F(AgentTest, RequestFromBeforeABusResetDoesNotBlockTheNextOne) {
  kern::CancelRequests(unit_, get_.irp);
  ASSERT_TRUE(get_.Done(5000));
  PlaceManagementOrb(0x100, vsbp::kQueryLogins, 0, 16);
  ASSERT_EQ(WriteAddress(kAgent0, 0x100), RCODE_RESPONSE_COMPLETE);
  Settle();
  const uint32_t before = hc_->generation();
  hc_->BusReset();
  Settle();
  PlaceManagementOrb(0x200, vsbp::kReconnect, 0);
  EXPECT_EQ(WriteAddress(kAgent0, 0x200), RCODE_RESPONSE_COMPLETE);
  Settle();
  EXPECT_EQ(WriteAddress(kAgent0, 0x200), RCODE_CONFLICT_ERROR) << "a second request in the same generation";

  std::vector<uint8_t> in = GetInput();
  vsbp::ManagementRecord rec{};
  ASSERT_EQ(SendSync(unit_, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), 32, &rec, sizeof(rec)), STATUS_SUCCESS);
  EXPECT_EQ(rec.function(), vsbp::kQueryLogins);
  EXPECT_EQ(rec.generation, before) << "the earlier request keeps the generation that voids it";
  EXPECT_EQ(WriteAddress(kAgent0, 0x200), RCODE_CONFLICT_ERROR) << "the later request lost its entry";
  ASSERT_EQ(SendSync(unit_, vsbp::IOCTL_VSBP_GET_REQUEST, in.data(), 32, &rec, sizeof(rec)), STATUS_SUCCESS);
  EXPECT_EQ(rec.function(), vsbp::kReconnect);
  EXPECT_EQ(rec.generation, hc_->generation());
  EXPECT_EQ(WriteAddress(kAgent0, 0x100), RCODE_RESPONSE_COMPLETE);
}

TEST_F(AgentTest, LoginIsForwardedWithItsFields) {
  PlaceManagementOrb(0x200, vsbp::kLogin, 0, 16, 0, true, 2);
  ASSERT_EQ(WriteAddress(kAgent0, 0x200), RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(get_.Done(5000));
  ASSERT_EQ(get_.Status(), STATUS_SUCCESS);
  EXPECT_EQ(get_.Information(), 40u);
  EXPECT_EQ(record_.function(), vsbp::kLogin);
  EXPECT_TRUE(record_.exclusive());
  EXPECT_EQ(record_.reconnect_exponent(), 2);
  EXPECT_EQ(record_.login_response_length(), 16);
  EXPECT_EQ(record_.password_length(), 0);
  EXPECT_EQ(record_.response_offset_lo, kResponse);
  EXPECT_EQ(record_.generation, hc_->generation());
  EXPECT_EQ(record_.initiator_node_id, NodeId());
  EXPECT_EQ(record_.local_node_id, hc_->local_node_id());
  EXPECT_EQ(record_.status_fifo_lo, kFifo);
  EXPECT_EQ(record_.orb_offset_lo, 0x200u);
  EXPECT_EQ(FifoQuadlet(), 0u) << "the driver writes no status for a forwarded ORB";
}

TEST_F(AgentTest, ManagementOrbsTheDriverAnswersItself) {
  struct Case {
    const char* what;
    uint8_t function;
    uint32_t q4_low;
    uint32_t q5;
    uint8_t rq_fmt;
    uint8_t resp;
    uint8_t sbp_status;
  } cases[] = {
      {"LOGIN with a response length of 8", vsbp::kLogin, 0, 8, 0, vsbp::kRespIllegalRequest, 0xFF},
      {"LOGIN with a password length of 29", vsbp::kLogin, 0, 29u << 16 | 16, 0, vsbp::kRespRequestComplete, 4},
      {"ABORT TASK", vsbp::kAbortTask, 0, 0, 0, vsbp::kRespIllegalRequest, 0xFF},
      {"LOGICAL UNIT RESET of login 70", vsbp::kLogicalUnitReset, 70, 0, 0, vsbp::kRespRequestComplete, 0x0A},
      {"TARGET RESET of a free login", vsbp::kTargetReset, 3, 0, 0, vsbp::kRespRequestComplete, 0x0A},
      {"rq_fmt 1", vsbp::kLogin, 0, 16, 1, vsbp::kRespIllegalRequest, 0xFF},
      {"unknown function 2", 2, 0, 0, 0, vsbp::kRespIllegalRequest, 0xFF},
  };
  for (const Case& c : cases) {
    PlaceManagementOrb(0x300, c.function, c.q4_low, c.q5, c.rq_fmt);
    ASSERT_EQ(WriteAddress(kAgent0, 0x300), RCODE_RESPONSE_COMPLETE) << c.what;
    ASSERT_TRUE(WaitFor([&] { return FifoQuadlet() != 0; })) << c.what;
    uint32_t q0 = FifoQuadlet();
    EXPECT_EQ(vsbp::status_block::src(q0), 1) << c.what;
    EXPECT_EQ(vsbp::status_block::resp(q0), c.resp) << c.what;
    EXPECT_EQ(vsbp::status_block::sbp_status(q0), c.sbp_status) << c.what;
    EXPECT_EQ(node_.ReadQuadlet(kFifo + 4), 0x300u) << c.what;
    EXPECT_FALSE(get_.Done()) << c.what << " must not reach user mode";
  }
}

TEST_F(AgentTest, AbortTaskSetReportsThroughFetch) {
  // Another initiator on the bus, there before the login (attaching resets the bus).
  MemoryNode& other = foreign_;
  hc_->Attach(&other, 0x0001020304050608ULL, {}, bus1394::SPEED_S400);
  Settle();
  ASSERT_NE(hc_->node_id(&other), NodeId());
  std::vector<uint8_t> out;
  Pending fetch = Fetch(0, &out);
  ASSERT_EQ(fetch.dispatch, STATUS_PENDING);
  PlaceManagementOrb(0x400, vsbp::kAbortTaskSet, 0);
  ASSERT_EQ(WriteAddress(kAgent0, 0x400), RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(fetch.Done(5000));
  EXPECT_EQ(fetch.Status(), STATUS_REQUEST_ABORTED);
  Settle();
  EXPECT_EQ(FifoQuadlet(), 0u) << "no status until user mode has seen the abort";
  // The agent is DEAD now.
  bus1394::Response state = Access(CommandAgent(0, 0, kAgentState), bus1394::TCODE_READ_QUADLET);
  EXPECT_EQ(state.data, Be({kStateDead}));
  // The next FETCH pends and the ABORT TASK SET gets its status.
  Pending next = Fetch(0, &out);
  EXPECT_EQ(next.dispatch, STATUS_PENDING);
  ASSERT_TRUE(WaitFor([&] { return FifoQuadlet() != 0; }));
  EXPECT_EQ(vsbp::status_block::resp(FifoQuadlet()), vsbp::kRespRequestComplete);
  EXPECT_EQ(vsbp::status_block::sbp_status(FifoQuadlet()), 0);
  // A task management ORB for the login from the other node is refused as another node's:
  // its status goes to that node's FIFO, and the login goes on as it was.
  node_.WriteQuadlets(kFifo, {0, 0});
  PlaceManagementOrb(0x500, vsbp::kAbortTaskSet, 0, 0, 0, false, 0, &other);
  ASSERT_EQ(WriteAddressFrom(&other, kAgent0, 0x500), RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(WaitFor([&] { return other.ReadQuadlet(kFifo) != 0; })) << "no status for the other node";
  uint32_t q0 = other.ReadQuadlet(kFifo);
  EXPECT_EQ(vsbp::status_block::src(q0), 1);
  EXPECT_EQ(vsbp::status_block::resp(q0), vsbp::kRespRequestComplete);
  EXPECT_EQ(vsbp::status_block::sbp_status(q0), vsbp::kSbpFunctionRejected);
  EXPECT_EQ(other.ReadQuadlet(kFifo + 4), 0x500u);
  EXPECT_EQ(FifoQuadlet(), 0u) << "nothing for the login's own initiator";
  EXPECT_FALSE(next.Done()) << "the login's FETCH stays pending";
  kern::CancelRequests(unit_, next.irp);
  ASSERT_TRUE(next.Done(5000));
}

TEST_F(AgentTest, CommandAgentRegisterAnswers) {
  // A free slot answers nothing.
  EXPECT_EQ(Access(CommandAgent(0, 0, kAgentState), bus1394::TCODE_READ_QUADLET).rcode, RCODE_ADDRESS_ERROR);
  std::vector<uint8_t> out;
  Pending fetch = Fetch(0, &out);
  ASSERT_EQ(fetch.dispatch, STATUS_PENDING);
  struct Case {
    const char* what;
    uint32_t reg;
    uint8_t tcode;
    uint16_t source;
    uint8_t rcode;
    std::vector<uint8_t> data;
  } cases[] = {
      {"AGENT_STATE read: RESET", kAgentState, bus1394::TCODE_READ_QUADLET, 0, RCODE_RESPONSE_COMPLETE, Be({0})},
      {"AGENT_RESET read", kAgentReset, bus1394::TCODE_READ_QUADLET, 0, RCODE_RESPONSE_COMPLETE, Be({0})},
      {"DOORBELL read", kDoorbell, bus1394::TCODE_READ_QUADLET, 0, RCODE_RESPONSE_COMPLETE, Be({0})},
      {"UNSOLICITED_STATUS_ENABLE read", kUnsolicitedStatusEnable, bus1394::TCODE_READ_QUADLET, 0,
       RCODE_RESPONSE_COMPLETE, Be({0})},
      {"ORB_POINTER block read", kOrbPointer, bus1394::TCODE_READ_BLOCK, 0, RCODE_RESPONSE_COMPLETE, Be({0, 0})},
      {"ORB_POINTER quadlet read", kOrbPointer, bus1394::TCODE_READ_QUADLET, 0, RCODE_TYPE_ERROR, {}},
      {"offset 0x0C", kOrbPointerLo, bus1394::TCODE_READ_QUADLET, 0, RCODE_TYPE_ERROR, {}},
      {"offset 0x18", 0x18, bus1394::TCODE_READ_QUADLET, 0, RCODE_ADDRESS_ERROR, {}},
      {"AGENT_STATE block read", kAgentState, bus1394::TCODE_READ_BLOCK, 0, RCODE_TYPE_ERROR, {}},
      {"another node", kAgentState, bus1394::TCODE_READ_QUADLET, 0xFFC7, RCODE_TYPE_ERROR, {}},
  };
  for (const Case& c : cases) {
    bus1394::Response r = Access(CommandAgent(0, 0, c.reg), c.tcode, {}, 8, c.source);
    EXPECT_EQ(r.rcode, c.rcode) << c.what;
    if (c.rcode == RCODE_RESPONSE_COMPLETE) {
      EXPECT_EQ(r.data, c.data) << c.what;
    }
  }
}

TEST_F(AgentTest, FetchAgentWalksTheList) {
  std::vector<uint8_t> out;
  Pending fetch = Fetch(0, &out);
  // ORB A links to B; A is a dummy, B a command with a direct buffer.
  uint16_t dummy = 3 << 13 | 1 << 15;
  PlaceCommandOrb(0x1000, 0x1100, dummy, 0, 0, 0);
  PlaceCommandOrb(0x1100, 0, vsbp::options::Make(0, false, 8, 2, true, 0), 2048, 0x20000, 0x28);
  node_.WriteQuadlets(kCmdFifo, {0, 0});
  ASSERT_EQ(WriteAddress(CommandAgent(0, 0, kOrbPointer), 0x1000), RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(fetch.Done(5000));
  ASSERT_EQ(fetch.Status(), STATUS_SUCCESS);
  EXPECT_EQ(fetch.Information(), 40u);
  auto* record = reinterpret_cast<const vsbp::CommandRecord*>(out.data());
  EXPECT_EQ(record->marker, vsbp::kCommandRecordMarker);
  EXPECT_EQ(record->total_length, 2048u);
  EXPECT_EQ(record->cdb[0], 0x28);
  EXPECT_EQ(record->orb_q3, 0x20000u);
  EXPECT_EQ(vsbp::status_block::src(record->status_template[0]), 1);
  EXPECT_EQ(record->status_template[1], 0x1100u);
  // The dummy ORB got its own status without user mode.
  uint32_t q0 = FifoQuadlet(kCmdFifo);
  EXPECT_EQ(vsbp::status_block::sbp_status(q0), vsbp::kSbpDummyOrbCompleted);
  EXPECT_EQ(vsbp::status_block::src(q0), 0);
  EXPECT_EQ(node_.ReadQuadlet(kCmdFifo + 4), 0x1000u);
  // B had a null next_ORB: the agent is SUSPENDED.
  ASSERT_TRUE(WaitFor([&] {
    return Access(CommandAgent(0, 0, kAgentState), bus1394::TCODE_READ_QUADLET).data == Be({kStateSuspended});
  }));
  // The initiator links C behind B and rings: the agent re-reads B and fetches C.
  PlaceCommandOrb(0x1200, 0, vsbp::options::Make(0, false, 8, 2, false, 0), 16, 0x30000, 0x12);
  node_.WriteQuadlets(0x1100, {0, 0x1200});
  Pending second = Fetch(0, &out);
  ASSERT_EQ(Access(CommandAgent(0, 0, kDoorbell), bus1394::TCODE_WRITE_QUADLET, Be({0})).rcode,
            RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(second.Done(5000));
  EXPECT_EQ(second.Status(), STATUS_SUCCESS);
  EXPECT_EQ(record->cdb[0], 0x12);
}

TEST_F(AgentTest, DoorbellWhileTheLastOrbWaitsIsNotLost) {
  std::vector<uint8_t> out;
  Pending first = Fetch(0, &out);
  PlaceCommandOrb(0x1000, 0, vsbp::options::Make(0, false, 8, 2, false, 0), 0, 0, 0x00);
  ASSERT_EQ(WriteAddress(CommandAgent(0, 0, kOrbPointer), 0x1000), RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(first.Done(5000));
  // Now no FETCH is pending. ORB D is fetched and waits in the slot (ORB-ready, ACTIVE).
  PlaceCommandOrb(0x2000, 0, vsbp::options::Make(0, false, 8, 2, false, 0), 0, 0, 0x01);
  node_.WriteQuadlets(0x1000, {0, 0x2000});
  ASSERT_EQ(Access(CommandAgent(0, 0, kDoorbell), bus1394::TCODE_WRITE_QUADLET, Be({0})).rcode,
            RCODE_RESPONSE_COMPLETE);
  Settle();
  // While D waits, E is linked behind it and the initiator rings again: latched.
  PlaceCommandOrb(0x3000, 0, vsbp::options::Make(0, false, 8, 2, false, 0), 0, 0, 0x02);
  node_.WriteQuadlets(0x2000, {0, 0x3000});
  ASSERT_EQ(Access(CommandAgent(0, 0, kDoorbell), bus1394::TCODE_WRITE_QUADLET, Be({0})).rcode,
            RCODE_RESPONSE_COMPLETE);
  Settle();
  Pending d = Fetch(0, &out);
  ASSERT_TRUE(d.Done(5000));
  auto* record = reinterpret_cast<const vsbp::CommandRecord*>(out.data());
  EXPECT_EQ(record->cdb[0], 0x01);
  std::vector<uint8_t> out2;
  Pending e = Fetch(0, &out2);
  ASSERT_TRUE(e.Done(5000)) << "the latched doorbell made the agent read D again and find E";
  EXPECT_EQ(reinterpret_cast<const vsbp::CommandRecord*>(out2.data())->cdb[0], 0x02);
}

TEST_F(AgentTest, DoorbellWhileTheLastOrbIsBeingReadIsNotLost) {
  std::vector<uint8_t> out;
  Pending first = Fetch(0, &out);
  PlaceCommandOrb(0x1000, 0, vsbp::options::Make(0, false, 8, 2, false, 0), 0, 0, 0x00);
  // The bus holds every read of that ORB until released, so the agent is ACTIVE with the
  // fetch in flight when the doorbell comes.
  std::atomic<int> reads{0};
  hc_->SetFaultHook([&reads](const bus1394::LogEntry& e) {
    bus1394::FaultAction a;
    if (e.kind == bus1394::LogEntry::Kind::AsyncRead && e.offset == 0x1000) {
      reads.fetch_add(1);
      a.kind = bus1394::FaultAction::Kind::Pend;
    }
    return a;
  });
  // The hook sees this test's counter: it goes before the counter does, however the test ends.
  struct Unhook {
    bus1394::HostController* hc;
    ~Unhook() { hc->SetFaultHook({}); }
  } unhook{hc_.get()};
  ASSERT_EQ(WriteAddress(CommandAgent(0, 0, kOrbPointer), 0x1000), RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(WaitFor([&] { return reads.load() == 1; }));
  ASSERT_EQ(Access(CommandAgent(0, 0, kDoorbell), bus1394::TCODE_WRITE_QUADLET, Be({0})).rcode,
            RCODE_RESPONSE_COMPLETE);
  hc_->ReleasePendedQueries();
  ASSERT_TRUE(first.Done(5000));
  // Handed over with a null next_ORB, the latched doorbell makes the agent read it again.
  ASSERT_TRUE(WaitFor([&] { return reads.load() == 2; })) << "the doorbell was lost";
  PlaceCommandOrb(0x2000, 0, vsbp::options::Make(0, false, 8, 2, false, 0), 0, 0, 0x07);
  node_.WriteQuadlets(0x1000, {0, 0x2000});
  hc_->ReleasePendedQueries();
  std::vector<uint8_t> out2;
  Pending second = Fetch(0, &out2);
  ASSERT_TRUE(second.Done(5000));
  EXPECT_EQ(reinterpret_cast<const vsbp::CommandRecord*>(out2.data())->cdb[0], 0x07);
}

TEST_F(AgentTest, MalformedOrbsKillTheAgent) {
  struct Case {
    const char* what;
    uint16_t options;
    uint16_t data_size;
    std::vector<vsbp::PageTableElement> table;
    uint8_t resp;
    uint8_t sbp_status;
  };
  std::vector<vsbp::PageTableElement> big;
  for (int i = 0; i < 33; ++i) big.push_back(vsbp::PageTableElement::Make(0xFFFC, 0, 0x40000));
  Case cases[] = {
      {"rq_fmt 1", static_cast<uint16_t>(1 << 13), 0, {}, vsbp::kRespIllegalRequest, 0xFF},
      {"513 page table elements", vsbp::options::Make(0, true, 8, 2, false, 0), 513, {}, vsbp::kRespIllegalRequest,
       0xFF},
      {"a page table over 2 MiB", vsbp::options::Make(0, true, 8, 2, false, 0), 33, big,
       vsbp::kRespTransportFailure, 0x8D},
      {"a page table with a zero-length element", vsbp::options::Make(0, true, 8, 2, false, 0), 1,
       {vsbp::PageTableElement::Make(0, 0, 0x40000)}, vsbp::kRespTransportFailure, 0x8D},
  };
  std::vector<uint8_t> out;
  Pending fetch = Fetch(0, &out);
  for (const Case& c : cases) {
    std::vector<uint32_t> table;
    for (const auto& e : c.table) {
      table.push_back(e.q0);
      table.push_back(e.q1);
    }
    if (!table.empty()) node_.WriteQuadlets(0x50000, table);
    PlaceCommandOrb(0x1000, 0, c.options, c.data_size, 0x50000, 0x28);
    node_.WriteQuadlets(kCmdFifo, {0, 0});
    ASSERT_EQ(WriteAddress(CommandAgent(0, 0, kOrbPointer), 0x1000), RCODE_RESPONSE_COMPLETE) << c.what;
    ASSERT_TRUE(WaitFor([&] { return FifoQuadlet(kCmdFifo) != 0; })) << c.what;
    uint32_t q0 = FifoQuadlet(kCmdFifo);
    EXPECT_EQ(vsbp::status_block::resp(q0), c.resp) << c.what;
    EXPECT_EQ(vsbp::status_block::sbp_status(q0), c.sbp_status) << c.what;
    EXPECT_TRUE(vsbp::status_block::dead(q0)) << c.what;
    ASSERT_TRUE(WaitFor([&] {
      return Access(CommandAgent(0, 0, kAgentState), bus1394::TCODE_READ_QUADLET).data == Be({kStateDead});
    })) << c.what;
    EXPECT_FALSE(fetch.Done()) << c.what << " must not reach user mode";
    // An ORB_POINTER write while DEAD is ignored; AGENT_RESET brings the agent back.
    node_.WriteQuadlets(kCmdFifo, {0, 0});
    ASSERT_EQ(WriteAddress(CommandAgent(0, 0, kOrbPointer), 0x1000), RCODE_RESPONSE_COMPLETE);
    Settle();
    EXPECT_EQ(FifoQuadlet(kCmdFifo), 0u) << c.what;
    ASSERT_EQ(Access(CommandAgent(0, 0, kAgentReset), bus1394::TCODE_WRITE_QUADLET, Be({0})).rcode,
              RCODE_RESPONSE_COMPLETE);
    ASSERT_TRUE(WaitFor([&] {
      return Access(CommandAgent(0, 0, kAgentState), bus1394::TCODE_READ_QUADLET).data == Be({kStateReset});
    })) << c.what;
  }
}

// ---- Bus resets ------------------------------------------------------------------------

// What the reset notification does to the driver, seen without any register access of the
// initiator (which would refresh the generation on its own).
TEST_F(AgentTest, BusResetEndsFetchesClearsTheAgentAndAdoptsTheGeneration) {
  std::vector<uint8_t> out0, out1;
  Pending f0 = Fetch(0, &out0);
  Pending f1 = Fetch(1, &out1);
  ASSERT_EQ(f0.dispatch, STATUS_PENDING);
  ASSERT_EQ(f1.dispatch, STATUS_PENDING);
  // A management ORB address in the register, taken by the pending GET.
  PlaceManagementOrb(0x100, vsbp::kQueryLogins, 0, 16);
  ASSERT_EQ(WriteAddress(kAgent0, 0x100), RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(get_.Done(5000));
  ASSERT_EQ(Access(kAgent0, bus1394::TCODE_READ_BLOCK, {}, 8).data, Be({0, 0x100}));
  const uint32_t old_generation = hc_->generation();

  hc_->BusReset();
  ASSERT_TRUE(f0.Done(5000));
  ASSERT_TRUE(f1.Done(5000));
  EXPECT_EQ(f0.Status(), STATUS_BUS_RESET);
  EXPECT_EQ(f1.Status(), STATUS_BUS_RESET);
  ASSERT_NE(hc_->generation(), old_generation);
  // The unit now takes FETCHes of the new generation only.
  std::vector<uint8_t> out;
  vsbp::FetchRequest stale = FetchInput(0, NodeId(), old_generation);
  Pending p = Send(unit_, vsbp::IOCTL_VSBP_FETCH_COMMAND, &stale, sizeof(stale), out0.data(),
                   static_cast<uint32_t>(out0.size()));
  ASSERT_TRUE(p.Done(5000));
  EXPECT_EQ(p.Status(), STATUS_BUS_RESET);
  Pending renewed = Fetch(0, &out);
  EXPECT_EQ(renewed.dispatch, STATUS_PENDING) << "the new generation was not adopted";
  // The MANAGEMENT_AGENT register forgot the ORB address.
  EXPECT_EQ(Access(kAgent0, bus1394::TCODE_READ_BLOCK, {}, 8).data, Be({0, 0}));
  kern::CancelRequests(unit_, renewed.irp);
  ASSERT_TRUE(renewed.Done(5000));
}

// Resets that come while the notification chain still asks for the new bus are covered by
// that chain: it runs once, and its answers are the bus as it is by then.
TEST_F(AgentTest, ResetsWhileTheNotificationChainRunsAreCoalesced) {
  // Shared with the hook, which stays installed through the fixture's own resets at the end.
  auto queries = std::make_shared<std::atomic<int>>(0);
  std::atomic<int>& generation_queries = *queries;
  hc_->SetFaultHook([queries](const bus1394::LogEntry& e) {
    if (e.kind == bus1394::LogEntry::Kind::GenerationQuery) ++*queries;
    return bus1394::FaultAction{};
  });
  std::vector<uint8_t> out;
  Pending fetch = Fetch(0, &out);
  ASSERT_EQ(fetch.dispatch, STATUS_PENDING);
  hc_->PendQueries(true);
  hc_->BusReset();
  hc_->BusReset();
  hc_->BusReset();
  Settle();
  EXPECT_EQ(generation_queries.load(), 1) << "a reset during the chain started a second one";
  EXPECT_FALSE(fetch.Done()) << "nothing is reset before the chain knows the new bus";
  hc_->PendQueries(false);
  hc_->ReleasePendedQueries();
  ASSERT_TRUE(fetch.Done(5000));
  EXPECT_EQ(fetch.Status(), STATUS_BUS_RESET);
  Settle();
  EXPECT_EQ(generation_queries.load(), 1);
  // The chain adopted the latest generation, not the one of the reset that started it.
  Pending latest = Fetch(0, &out);
  ASSERT_EQ(latest.dispatch, STATUS_PENDING) << "the generation of the last reset was not adopted";
  // And it is free again: the next reset is handled on its own.
  hc_->BusReset();
  ASSERT_TRUE(latest.Done(5000)) << "the chain stayed busy after it ended";
  EXPECT_EQ(latest.Status(), STATUS_BUS_RESET);
  EXPECT_EQ(generation_queries.load(), 2);
}

TEST_F(AgentTest, PublishedDirectoryIsInTheRom) {
  std::vector<uint32_t> rom = hc_->HostConfigRom();
  std::vector<uint8_t> dir = UnitDirectory(0);
  std::vector<uint32_t> want;
  for (size_t i = 0; i < dir.size(); i += 4) {
    want.push_back(uint32_t{dir[i]} << 24 | uint32_t{dir[i + 1]} << 16 | uint32_t{dir[i + 2]} << 8 | dir[i + 3]);
  }
  EXPECT_NE(std::search(rom.begin(), rom.end(), want.begin(), want.end()), rom.end());
  Close(unit_);
  rom = hc_->HostConfigRom();
  EXPECT_EQ(std::search(rom.begin(), rom.end(), want.begin(), want.end()), rom.end()) << "withdrawn at cleanup";
}

class ResetScheduleTest : public DriverTest {};

TEST_F(ResetScheduleTest, PublishesWithinASecondGiveOneResetLaterThanTheMinimum) {
  constexpr uint64_t kMs = 10'000;
  Pending g0, g1, g2;
  vsbp::ManagementRecord r0{}, r1{}, r2{};
  ASSERT_NE(OpenPublished(0, &g0, &r0), nullptr);
  clock_.Advance(500 * kMs);
  ASSERT_NE(OpenPublished(1, &g1, &r1), nullptr);
  clock_.Advance(990 * kMs);
  hc_->Drain();
  system_->Quiesce();
  EXPECT_EQ(hc_->bus_reset_requests(), 0) << "not before one second after the second publish";
  clock_.Advance(20 * kMs);
  for (int i = 0; i < 100 && hc_->bus_reset_requests() == 0; ++i) {
    hc_->Drain();
    system_->Quiesce();
  }
  EXPECT_EQ(hc_->bus_reset_requests(), 1);
  // Half a second later another unit appears: its reset comes two seconds after the last.
  clock_.Advance(500 * kMs);
  ASSERT_NE(OpenPublished(2, &g2, &r2), nullptr);
  clock_.Advance(1490 * kMs);
  hc_->Drain();
  system_->Quiesce();
  EXPECT_EQ(hc_->bus_reset_requests(), 1);
  clock_.Advance(20 * kMs);
  for (int i = 0; i < 100 && hc_->bus_reset_requests() == 1; ++i) {
    hc_->Drain();
    system_->Quiesce();
  }
  EXPECT_EQ(hc_->bus_reset_requests(), 2);
}

class DriverPnpTest : public AgentTest {
 protected:
  // A stop waits for the bus reset it scheduled, so time has to run meanwhile.
  NTSTATUS WhileTimeRuns(std::function<NTSTATUS()> request) {
    auto done = std::async(std::launch::async, request);
    while (done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) clock_.Advance(1'000'000);
    return done.get();
  }
  NTSTATUS Pnp(uint8_t minor) {
    kern::DeviceObject* pdo = hc_->virtual_device();
    return WhileTimeRuns([pdo, minor] { return kern::pnp::SendPnp(pdo, minor); });
  }
  NTSTATUS DevicePower(uint32_t state) {
    kern::DeviceObject* pdo = hc_->virtual_device();
    return WhileTimeRuns(
        [pdo, state] { return kern::pnp::SendPower(pdo, IRP_MN_SET_POWER, PowerType::Device, state); });
  }
};

TEST_F(DriverPnpTest, StopThenStartKeepsUnitsAndRepublishes) {
  std::vector<uint8_t> out;
  Pending fetch = Fetch(0, &out);
  ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_TRUE(fetch.Done(5000));
  EXPECT_EQ(fetch.Status(), STATUS_BUS_RESET);
  EXPECT_FALSE(get_.Done()) << "a stop keeps the unit";
  EXPECT_EQ(WriteAddress(kAgent0, 0x100), RCODE_ADDRESS_ERROR) << "no register range while stopped";
  int resets = hc_->bus_reset_requests();
  ASSERT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
  clock_.Advance(30'000'000);
  ASSERT_TRUE(WaitFor([&] { return hc_->bus_reset_requests() > resets; }));
  PlaceManagementOrb(0x100, vsbp::kQueryLogins, 0, 16);
  EXPECT_EQ(WriteAddress(kAgent0, 0x100), RCODE_RESPONSE_COMPLETE) << "published again";
  ASSERT_TRUE(get_.Done(5000));
  EXPECT_EQ(get_.Status(), STATUS_SUCCESS);
}

TEST_F(DriverPnpTest, QueryRemoveRefusedWhileAUnitIsOpen) {
  EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  Close(unit_);
  EXPECT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_NE(Open(u"\\unit00"), nullptr) << "started again after the cancel";
}

TEST_F(DriverPnpTest, SurpriseRemovalEndsPendingRequests) {
  // The bus reset the publish scheduled comes first: time runs during the removal, and that
  // reset would end the FETCH with STATUS_BUS_RESET before the removal cancels it.
  clock_.Advance(30'000'000);
  ASSERT_TRUE(WaitFor([&] { return hc_->bus_reset_requests() > 0; }));
  std::vector<uint8_t> out;
  Pending fetch = Fetch(0, &out);
  ASSERT_EQ(fetch.dispatch, STATUS_PENDING);
  ASSERT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  ASSERT_TRUE(get_.Done(5000));
  EXPECT_EQ(get_.Status(), STATUS_CANCELLED);
  ASSERT_TRUE(fetch.Done(5000));
  EXPECT_EQ(fetch.Status(), STATUS_CANCELLED);
  kern::Guid guid = DeviceInterfaceGuid();
  EXPECT_TRUE(kern::ListDeviceInterfaces(guid, false).empty()) << "the interface is disabled";
}

// The bus driver below finishes power requests later. A query is passed down with the
// driver's dispatch returning what the bus driver returned, so the pending flag has to
// travel up with the completion.
TEST_F(DriverPnpTest, QueryPowerPassesThroughABusDriverThatPends) {
  kern::DeviceObject* pdo = hc_->virtual_device();
  for (PowerType type : {PowerType::Device, PowerType::System}) {
    const uint32_t state = type == PowerType::Device ? kPowerD3 : 4;
    EXPECT_EQ(WhileTimeRuns([pdo, type, state] { return kern::pnp::SendPower(pdo, IRP_MN_QUERY_POWER, type, state); }),
              STATUS_SUCCESS);
  }
  // A query changes nothing: the unit still serves.
  PlaceManagementOrb(0x100, vsbp::kQueryLogins, 0, 16);
  EXPECT_EQ(WriteAddress(kAgent0, 0x100), RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(get_.Done(5000));
  EXPECT_EQ(get_.Status(), STATUS_SUCCESS);
}

TEST_F(DriverPnpTest, PowerDownAndUpActsLikeStopAndStart) {
  std::vector<uint8_t> out;
  Pending fetch = Fetch(0, &out);
  ASSERT_EQ(DevicePower(kPowerD3), STATUS_SUCCESS);
  ASSERT_TRUE(fetch.Done(5000));
  EXPECT_EQ(fetch.Status(), STATUS_BUS_RESET);
  EXPECT_EQ(WriteAddress(kAgent0, 0x100), RCODE_ADDRESS_ERROR);
  ASSERT_EQ(DevicePower(kPowerD0), STATUS_SUCCESS);
  PlaceManagementOrb(0x100, vsbp::kQueryLogins, 0, 16);
  EXPECT_EQ(WriteAddress(kAgent0, 0x100), RCODE_RESPONSE_COMPLETE);
  ASSERT_TRUE(get_.Done(5000));
  EXPECT_EQ(get_.Status(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace ostrane::testing
