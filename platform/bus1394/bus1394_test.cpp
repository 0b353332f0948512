#include "platform/bus1394/bus1394.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace bus1394 {
namespace {

using kern::NTSTATUS;

constexpr uint64_t kNodeEui = 0x0800460102030405ULL;

// A remote node whose memory is a flat array at kBase. It records every packet it gets.
class MemoryNode : public RemoteNode {
 public:
  static constexpr uint64_t kBase = 0x0001'0000'0000ULL;

  Response HandleRequest(const Request& r) override {
    std::function<void(const Request&)> hook;
    Response resp;
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(r);
      hook = on_request_;
      const bool quadlet = r.tcode == TCODE_READ_QUADLET || r.tcode == TCODE_WRITE_QUADLET;
      const uint32_t n = quadlet ? 4 : r.data_length;
      if (rcode_ != RCODE_RESPONSE_COMPLETE) {
        resp.rcode = rcode_;
      } else if (r.offset < kBase || r.offset + n > kBase + memory_.size()) {
        resp.rcode = RCODE_ADDRESS_ERROR;
      } else if (r.tcode == TCODE_READ_QUADLET || r.tcode == TCODE_READ_BLOCK) {
        const uint8_t* at = &memory_[r.offset - kBase];
        resp.data.assign(at, at + n - short_by_);
      } else {
        std::memcpy(&memory_[r.offset - kBase], r.data.data(), r.data.size());
      }
    }
    if (hook) hook(r);
    return resp;
  }
  void OnBusReset(uint32_t generation, uint16_t own_node_id) override {
    std::lock_guard<std::mutex> lock(mu_);
    resets_.push_back({generation, own_node_id, kern::CurrentIrql()});
  }

  struct Reset {
    uint32_t generation;
    uint16_t node_id;
    kern::Irql irql;
  };
  std::vector<Request> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }
  std::vector<Reset> resets() {
    std::lock_guard<std::mutex> lock(mu_);
    return resets_;
  }
  uint8_t* at(uint64_t offset) { return &memory_[offset - kBase]; }
  void Answer(uint8_t rcode, uint32_t short_by = 0) {
    std::lock_guard<std::mutex> lock(mu_);
    rcode_ = rcode;
    short_by_ = short_by;
  }
  void OnRequest(std::function<void(const Request&)> hook) {
    std::lock_guard<std::mutex> lock(mu_);
    on_request_ = std::move(hook);
  }
  void Forget() {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.clear();
  }

 private:
  std::mutex mu_;
  std::vector<uint8_t> memory_ = std::vector<uint8_t>(0x20000);
  std::vector<Request> requests_;
  std::vector<Reset> resets_;
  uint8_t rcode_ = RCODE_RESPONSE_COMPLETE;
  uint32_t short_by_ = 0;
  std::function<void(const Request&)> on_request_;
};

// One class request sent as a function driver sends it. The issuer's completion hook
// records where and how the request completed.
struct Call {
  Irb irb{};
  kern::Irp* irp = nullptr;
  NTSTATUS dispatch_status = 0;
  bool done_in_dispatch = false;
  kern::Event done;
  NTSTATUS status = 0;
  uintptr_t information = 0;
  kern::Irql irql = kern::Irql::Passive;
  std::thread::id thread;

  ~Call() {
    if (irp) kern::FreeIrp(irp);
  }
  NTSTATUS Wait() {
    done.Wait();
    return status;
  }
  void OnDone(kern::Irp* completed) {
    status = completed->io_status.status;
    information = completed->io_status.information;
    irql = kern::CurrentIrql();
    thread = std::this_thread::get_id();
    done.Set();
  }
};

std::unique_ptr<Call> Submit(kern::DeviceObject* device, const Irb& irb,
                             uint8_t major = kern::IRP_MJ_INTERNAL_DEVICE_CONTROL) {
  auto c = std::make_unique<Call>();
  c->irb = irb;
  c->irp = kern::AllocateIrp(device->stack_size);
  kern::IoStackLocation* next = kern::NextStackLocation(c->irp);
  next->major = major;
  next->device_io_control.io_control_code = IOCTL_1394_CLASS;
  next->others.argument1 = &c->irb;
  Call* raw = c.get();
  c->irp->on_done = [raw](kern::Irp* completed) { raw->OnDone(completed); };
  c->dispatch_status = kern::CallDriver(device, c->irp);
  c->done_in_dispatch = c->done.IsSignaled();
  return c;
}

NTSTATUS SubmitSync(kern::DeviceObject* device, Irb& irb) {
  auto c = Submit(device, irb);
  const NTSTATUS s = c->Wait();
  irb = c->irb;
  return s;
}

// A nonpaged buffer with its descriptor.
struct Buffer {
  explicit Buffer(size_t n) : Buffer(std::vector<uint8_t>(n)) {}
  explicit Buffer(std::vector<uint8_t> b) : bytes(std::move(b)) {
    mdl = kern::AllocateMdl(bytes.data(), static_cast<uint32_t>(bytes.size()));
    kern::BuildMdlForNonPagedPool(mdl);
  }
  ~Buffer() { kern::FreeMdl(mdl); }
  std::vector<uint8_t> bytes;
  kern::Mdl* mdl;
};

struct Transfer {
  bool write = false;
  uint64_t offset = MemoryNode::kBase;
  uint32_t bytes = 8;
  uint32_t block_size = 2048;
  uint8_t speed = SPEED_S400;
  int tcode = -1;  // -1: the one that fits the length

  uint8_t Tcode() const {
    if (tcode >= 0) return static_cast<uint8_t>(tcode);
    if (write) return bytes == 4 ? TCODE_WRITE_QUADLET : TCODE_WRITE_BLOCK;
    return bytes == 4 ? TCODE_READ_QUADLET : TCODE_READ_BLOCK;
  }
};

// Handler side of an address range: records each call and answers through `answer`, by
// default with a well-formed response carrying `data`.
struct RangeProbe {
  std::mutex mu;
  int calls = 0;
  std::vector<uint32_t> packet;
  uint32_t offset = 0;
  void* context_seen = nullptr;
  kern::Irql irql = kern::Irql::Passive;
  std::vector<uint8_t> data = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
  uint32_t response[16] = {};
  kern::Mdl response_mdl;
  kern::Event sent_event;
  std::function<void(NotificationInfo*, RangeProbe*)> answer;
};

// A response packet as a register handler builds it, for the request in `req`.
uint32_t BuildResponse(const uint32_t* req, const std::vector<uint8_t>& data, uint32_t* out) {
  const uint8_t tcode = (req[0] >> 4) & 0xF;
  const uint8_t tl = (req[0] >> 10) & 0x3F;
  const uint8_t rtcode = tcode == TCODE_READ_QUADLET ? TCODE_READ_QUADLET_RESPONSE
                         : tcode == TCODE_READ_BLOCK ? TCODE_READ_BLOCK_RESPONSE
                                                     : TCODE_WRITE_RESPONSE;
  out[0] = static_cast<uint32_t>(tl) << 10 | 1u << 8 | static_cast<uint32_t>(rtcode) << 4;
  out[1] = req[1] & 0xFFFF0000;
  out[2] = 0;
  out[3] = 0;
  uint32_t n = 0;
  if (tcode == TCODE_READ_QUADLET) n = 4;
  if (tcode == TCODE_READ_BLOCK) {
    n = req[3] >> 16;
    out[3] = n << 16;
  }
  std::memcpy(&out[4], data.data(), std::min<size_t>(n, data.size()));
  return 16 + n;
}

void ProbeHandler(NotificationInfo* info) {
  auto* p = static_cast<RangeProbe*>(info->context);
  {
    std::lock_guard<std::mutex> lock(p->mu);
    ++p->calls;
    p->packet.assign(info->request_packet, info->request_packet + info->request_packet_length / 4);
    p->offset = info->offset;
    p->context_seen = info->context;
    p->irql = kern::CurrentIrql();
  }
  if (p->answer) {
    p->answer(info, p);
    return;
  }
  *info->response_length = BuildResponse(info->request_packet, p->data, p->response);
  *info->response_packet = p->response;
  *info->response_code = RCODE_RESPONSE_COMPLETE;
}

// CRC-16 of IEEE 1212 computed bitwise over the bus-order bytes, independently of the
// bus's nibble-wise version.
uint16_t Crc16(const uint32_t* q, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    for (int b = 3; b >= 0; --b) {
      crc ^= static_cast<uint16_t>(((q[i] >> (8 * b)) & 0xFF) << 8);
      for (int k = 0; k < 8; ++k) crc = (crc & 0x8000) ? static_cast<uint16_t>(crc << 1 ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

TEST(RomCrcTest, MatchesTheKnownCheckValue) {
  const uint32_t digits[] = {0x31323334, 0x35363738};  // "12345678"; "9" is added below
  uint16_t crc = Crc16(digits, 2);
  crc ^= static_cast<uint16_t>('9' << 8);
  for (int k = 0; k < 8; ++k) crc = (crc & 0x8000) ? static_cast<uint16_t>(crc << 1 ^ 0x1021) : static_cast<uint16_t>(crc << 1);
  EXPECT_EQ(crc, 0x31C3);
}

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hc_.Attach(&node_, kNodeEui, {}, SPEED_S400);
    hc_.Attach(&slow_, kNodeEui + 1, {}, SPEED_S100);
    hc_.Drain();
    hc_.ClearLog();
  }

  kern::DeviceObject* bus() { return hc_.controller_device(); }

  std::unique_ptr<Call> Start(const Transfer& t, Buffer& buf, MemoryNode* to = nullptr,
                              int64_t generation = -1) {
    Irb irb{};
    irb.function = t.write ? REQUEST_ASYNC_WRITE : REQUEST_ASYNC_READ;
    Irb::AsyncTransfer& a = t.write ? irb.u.async_write : irb.u.async_read;
    a.destination = {hc_.node_id(to ? to : &node_), static_cast<uint16_t>(t.offset >> 32),
                     static_cast<uint32_t>(t.offset)};
    a.bytes = t.bytes;
    a.block_size = t.block_size;
    a.mdl = buf.mdl;
    a.generation = generation < 0 ? hc_.generation() : static_cast<uint32_t>(generation);
    a.speed = t.speed;
    a.tcode = t.Tcode();
    // Stacks before version 3 take transfers only as device control requests.
    return Submit(bus(), irb,
                  hc_.config().ddi_major < 3 ? kern::IRP_MJ_DEVICE_CONTROL : kern::IRP_MJ_INTERNAL_DEVICE_CONTROL);
  }
  NTSTATUS Run(const Transfer& t, Buffer& buf, MemoryNode* to = nullptr) {
    return Start(t, buf, to)->Wait();
  }

  void* Allocate(uint64_t offset, uint32_t length, RangeProbe* probe, NTSTATUS* status,
                 uint32_t access = 0xF, AddressRange* descriptor = nullptr) {
    AddressRange range{};
    Irb irb{};
    irb.function = REQUEST_ALLOCATE_ADDRESS_RANGE;
    irb.u.allocate_range.access_type = access;
    irb.u.allocate_range.required_offset = {0, static_cast<uint16_t>(offset >> 32),
                                            static_cast<uint32_t>(offset)};
    irb.u.allocate_range.length = length;
    irb.u.allocate_range.handler = &ProbeHandler;
    irb.u.allocate_range.context = probe;
    irb.u.allocate_range.ranges = &range;
    *status = SubmitSync(bus(), irb);
    if (descriptor) *descriptor = range;
    return irb.u.allocate_range.handle;
  }
  NTSTATUS Free(void* handle) {
    Irb irb{};
    irb.function = REQUEST_FREE_ADDRESS_RANGE;
    irb.u.free_range.count = 1;
    irb.u.free_range.handle = handle;
    return SubmitSync(bus(), irb);
  }

  // A remote request from node_ as the bus is now.
  Request ToLocal(uint8_t tcode, uint64_t offset, std::vector<uint8_t> data = {},
                  uint32_t data_length = 0) {
    Request r;
    r.destination_id = hc_.local_node_id();
    r.tcode = tcode;
    r.tlabel = 0x2A;
    r.speed = SPEED_S400;
    r.offset = offset;
    r.data_length = data_length;
    r.data = std::move(data);
    r.generation = hc_.generation();
    return r;
  }

  NTSTATUS ModifyRom(ModifyCromInfo* info) {
    Irb irb{};
    irb.function = REQUEST_SET_LOCAL_HOST_PROPERTIES;
    irb.u.set_host_properties.level = SET_LOCAL_HOST_PROPERTIES_MODIFY_CROM;
    irb.u.set_host_properties.info = info;
    return SubmitSync(bus(), irb);
  }

  kern::System system_;
  MemoryNode node_;
  MemoryNode slow_;
  HostController hc_;
};

std::vector<LogEntry> OfKind(const std::vector<LogEntry>& log, LogEntry::Kind kind) {
  std::vector<LogEntry> out;
  for (const auto& e : log) {
    if (e.kind == kind) out.push_back(e);
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Driver transfers.

TEST_F(BusTest, TransfersMoveBytesInBusOrderAndCompleteOnTheBusThread) {
  for (int i = 0; i < 256; ++i) node_.at(MemoryNode::kBase + 0x100)[i] = static_cast<uint8_t>(i);
  Buffer block(256);
  auto read = Start({.offset = MemoryNode::kBase + 0x100, .bytes = 256}, block);
  EXPECT_EQ(read->dispatch_status, kern::STATUS_PENDING);
  ASSERT_EQ(read->Wait(), kern::STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(block.bytes.data(), node_.at(MemoryNode::kBase + 0x100), 256), 0);
  EXPECT_EQ(read->irql, kern::Irql::Dispatch);
  EXPECT_NE(read->thread, std::this_thread::get_id());
  EXPECT_EQ(read->information, 256u);

  Buffer quad(4);
  quad.bytes = {0xDE, 0xAD, 0xBE, 0xEF};
  ASSERT_EQ(Run({.write = true, .offset = MemoryNode::kBase + 0x200, .bytes = 4}, quad), kern::STATUS_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(node_.at(MemoryNode::kBase + 0x200), node_.at(MemoryNode::kBase + 0x204)),
            (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
  Buffer back(4);
  ASSERT_EQ(Run({.offset = MemoryNode::kBase + 0x200, .bytes = 4}, back), kern::STATUS_SUCCESS);
  EXPECT_EQ(back.bytes, quad.bytes);

  const auto wire = node_.requests();
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(wire[1].tcode, TCODE_WRITE_QUADLET);
  EXPECT_EQ(wire[1].source_id, hc_.local_node_id());
  EXPECT_EQ(wire[1].destination_id, hc_.node_id(&node_));
  EXPECT_EQ(wire[2].tcode, TCODE_READ_QUADLET);

  const auto log = hc_.Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].kind, LogEntry::Kind::AsyncRead);
  EXPECT_EQ(log[0].node_id, hc_.node_id(&node_));
  EXPECT_EQ(log[0].offset, MemoryNode::kBase + 0x100);
  EXPECT_EQ(log[0].length, 256u);
  EXPECT_EQ(log[0].tcode, TCODE_READ_BLOCK);
  EXPECT_EQ(log[0].speed, SPEED_S400);
  EXPECT_EQ(log[0].block_size, 2048u);
  EXPECT_EQ(log[0].generation, hc_.generation());
  EXPECT_EQ(log[0].status, kern::STATUS_SUCCESS);
  EXPECT_EQ(log[0].packets, 1u);
  EXPECT_EQ(log[1].kind, LogEntry::Kind::AsyncWrite);
}

std::vector<uint32_t> Cut(uint32_t total, uint32_t piece) {
  std::vector<uint32_t> out;
  for (; total > piece; total -= piece) out.push_back(piece);
  out.push_back(total);
  return out;
}

// A request for a past generation is failed in the dispatch, so its completion runs inside
// the sender's call; a current one is carried out by the bus thread.
TEST_F(BusTest, StaleTransfersFailInTheDispatch) {
  Buffer buf(64);
  Transfer t{.bytes = 64};
  auto stale = Start(t, buf, nullptr, hc_.generation() - 1);
  EXPECT_TRUE(stale->done_in_dispatch);
  EXPECT_EQ(stale->dispatch_status, STATUS_FIREWIRE_GENERATION);
  EXPECT_EQ(stale->Wait(), STATUS_FIREWIRE_GENERATION);
  auto current = Start(t, buf);
  EXPECT_EQ(current->dispatch_status, kern::STATUS_PENDING);
  EXPECT_EQ(current->Wait(), kern::STATUS_SUCCESS);
}

TEST_F(BusTest, TransferRulesAndPacketCutting) {
  const NTSTATUS kBad = kern::STATUS_INVALID_PARAMETER;
  struct Case {
    const char* name;
    uint16_t version;
    uint32_t max_read, max_write;
    bool to_slow;
    Transfer t;
    NTSTATUS status;
    std::vector<uint32_t> packets;  // wire packet lengths the node sees
  };
  const Case cases[] = {
      {"quadlet read", 3, 2048, 2048, false, {.bytes = 4}, 0, {4}},
      {"4 bytes as a block read", 3, 2048, 2048, false, {.bytes = 4, .tcode = TCODE_READ_BLOCK}, 0, {4}},
      {"8 bytes as quadlet read", 3, 2048, 2048, false, {.bytes = 8, .tcode = TCODE_READ_QUADLET}, kBad, {}},
      {"write tcode on a read", 3, 2048, 2048, false, {.bytes = 8, .tcode = TCODE_WRITE_BLOCK}, kBad, {}},
      {"zero bytes", 3, 2048, 2048, false, {.bytes = 0, .tcode = TCODE_READ_BLOCK}, kBad, {}},
      {"zero block size", 3, 2048, 2048, false, {.bytes = 8, .block_size = 0}, kBad, {}},
      {"old stack: one block", 2, 2048, 2048, false, {.bytes = 2048}, 0, {2048}},
      {"old stack: above the block size", 2, 2048, 2048, false, {.bytes = 3000}, kBad, {}},
      {"old stack: above the read limit", 2, 1024, 2048, false, {.bytes = 2048}, kBad, {}},
      {"old stack: write limit applies to writes", 2, 1024, 2048, false,
       {.write = true, .bytes = 2048}, 0, {2048}},
      {"old stack: above the write limit", 2, 2048, 512, false,
       {.write = true, .bytes = 1024, .block_size = 1024}, kBad, {}},
      {"old stack: packet above the slow node", 2, 2048, 2048, true,
       {.bytes = 1024, .block_size = 1024}, kBad, {}},
      {"cut by block size", 3, 2048, 2048, false,
       {.bytes = 3000, .block_size = 512, .speed = SPEED_S100}, 0, Cut(3000, 512)},
      {"cut by host limit", 3, 1024, 2048, false, {.bytes = 5000}, 0, Cut(5000, 1024)},
      {"cut by speed", 3, 2048, 2048, false,
       {.bytes = 3000, .block_size = 4096, .speed = SPEED_S200}, 0, Cut(3000, 1024)},
      {"largest request", 3, 2048, 2048, false, {.write = true, .bytes = 65535}, 0, Cut(65535, 2048)},
      {"above the largest request", 3, 2048, 2048, false, {.bytes = 65536}, kBad, {}},
      {"packet above the slow node", 3, 2048, 2048, true, {.bytes = 1024, .block_size = 1024}, kBad, {}},
      {"small packets to the slow node", 3, 2048, 2048, true,
       {.bytes = 1024, .block_size = 512}, 0, {512, 512}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hc_.SetBusInterfaceVersion(c.version, 0);
    hc_.SetHostLimits(c.max_read, c.max_write);
    MemoryNode& target = c.to_slow ? slow_ : node_;
    target.Forget();
    hc_.ClearLog();
    Buffer buf(std::max<uint32_t>(c.t.bytes, 4));
    for (size_t i = 0; i < buf.bytes.size(); ++i) buf.bytes[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(Run(c.t, buf, &target), c.status);

    const auto wire = target.requests();
    std::vector<uint32_t> lengths;
    uint64_t expected_offset = c.t.offset;
    for (const Request& r : wire) {
      EXPECT_EQ(r.offset, expected_offset);
      EXPECT_EQ(r.tcode, c.t.Tcode());
      const uint32_t n = r.data_length ? r.data_length : 4;
      lengths.push_back(n);
      expected_offset += n;
      EXPECT_LE(r.speed, c.to_slow ? SPEED_S100 : SPEED_S400);
    }
    EXPECT_EQ(lengths, c.packets);
    if (c.t.write && c.status == 0) {
      EXPECT_EQ(std::memcmp(target.at(c.t.offset), buf.bytes.data(), c.t.bytes), 0);
    }
    const auto log = hc_.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].status, c.status);
    EXPECT_EQ(log[0].packets, c.packets.size());
  }
}

TEST_F(BusTest, StaleGenerationAndUnknownNodeFailWithoutTraffic) {
  const uint32_t old = hc_.generation();
  hc_.BusReset();
  Buffer buf(8);
  EXPECT_EQ(Start({}, buf, &node_, old)->Wait(), STATUS_FIREWIRE_GENERATION);
  EXPECT_TRUE(node_.requests().empty());
  EXPECT_EQ(hc_.Log().back().status, STATUS_FIREWIRE_GENERATION);

  Irb irb{};
  irb.function = REQUEST_ASYNC_READ;
  irb.u.async_read = {{MakeNodeId(40), 1, 0}, 8, 2048, buf.mdl, hc_.generation(), SPEED_S400, TCODE_READ_BLOCK};
  EXPECT_EQ(Submit(bus(), irb)->Wait(), kern::STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(BusTest, BusResetBetweenPacketsFailsTheRestOfTheRequest) {
  int seen = 0;
  node_.OnRequest([&](const Request&) {
    if (++seen == 1) hc_.BusReset();
  });
  Buffer buf(3000);
  EXPECT_EQ(Run({.bytes = 3000, .block_size = 512}, buf), STATUS_FIREWIRE_GENERATION);
  EXPECT_EQ(node_.requests().size(), 1u);
  const auto reads = OfKind(hc_.Log(), LogEntry::Kind::AsyncRead);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].packets, 1u);
}

TEST_F(BusTest, ErrorResponsesFailTheRequest) {
  struct Case {
    uint8_t rcode;
    uint32_t short_by;
    NTSTATUS status;
  } cases[] = {
      {RCODE_ADDRESS_ERROR, 0, STATUS_INVALID_ADDRESS},
      {RCODE_TYPE_ERROR, 0, STATUS_DEVICE_PROTOCOL_ERROR},
      {RCODE_CONFLICT_ERROR, 0, STATUS_DEVICE_BUSY},
      {RCODE_DATA_ERROR, 0, STATUS_DEVICE_DATA_ERROR},
      {RCODE_TIMED_OUT, 0, kern::STATUS_IO_TIMEOUT},
      {RCODE_RESPONSE_COMPLETE, 4, STATUS_DEVICE_DATA_ERROR},  // short read response
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.rcode));
    node_.Answer(c.rcode, c.short_by);
    Buffer buf(16);
    EXPECT_EQ(Run({.bytes = 16}, buf), c.status);
  }
}

TEST_F(BusTest, RemoteRomReadsAreAnsweredByTheBus) {
  MemoryNode other;
  const std::vector<uint32_t> rom = {0x04040000, 0x31333934, 0xE0646000, 0x00112233, 0x44556677};
  hc_.Attach(&other, 0x0011223344556677ULL, rom, SPEED_S400);
  Buffer hi(4), lo(4);
  ASSERT_EQ(Run({.offset = 0xFFFFF000040CULL, .bytes = 4}, hi, &other), kern::STATUS_SUCCESS);
  ASSERT_EQ(Run({.offset = 0xFFFFF0000410ULL, .bytes = 4}, lo, &other), kern::STATUS_SUCCESS);
  EXPECT_EQ(hi.bytes, (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33}));
  EXPECT_EQ(lo.bytes, (std::vector<uint8_t>{0x44, 0x55, 0x66, 0x77}));
  // Without a given ROM the bus information block still carries the node's EUI-64.
  ASSERT_EQ(Run({.offset = 0xFFFFF0000410ULL, .bytes = 4}, lo, &node_), kern::STATUS_SUCCESS);
  EXPECT_EQ(lo.bytes, (std::vector<uint8_t>{0x02, 0x03, 0x04, 0x05}));
  EXPECT_TRUE(other.requests().empty());
  hc_.Detach(&other);
}

// ---------------------------------------------------------------------------------------
// Address ranges and remote requests.

constexpr uint64_t kAgent = kCsrRegisterBase + 0x10000;

TEST_F(BusTest, HandlerGetsTheRequestAsOnTheWire) {
  struct Case {
    const char* name;
    uint16_t version;
    uint8_t tcode;
    std::vector<uint8_t> data;
    uint32_t data_length;
    uint32_t q3;                    // header quadlet 3
    std::vector<uint8_t> payload;  // data quadlets after the header, bus order
    uint32_t trailer;
  } cases[] = {
      {"write block, old stack", 2, TCODE_WRITE_BLOCK, {1, 2, 3, 4, 5, 6, 7, 8}, 8, 8u << 16,
       {1, 2, 3, 4, 5, 6, 7, 8}, uint32_t{SPEED_S400} << 21},
      {"write block, unaligned tail", 3, TCODE_WRITE_BLOCK, {1, 2, 3, 4, 5, 6}, 6, 6u << 16,
       {1, 2, 3, 4, 5, 6, 0, 0}, 0},
      {"write quadlet", 3, TCODE_WRITE_QUADLET, {0x11, 0x22, 0x33, 0x44}, 0, 0x11223344, {}, 0},
      {"read block, old stack", 2, TCODE_READ_BLOCK, {}, 8, 8u << 16, {}, uint32_t{SPEED_S400} << 21},
      {"read quadlet", 3, TCODE_READ_QUADLET, {}, 0, 0, {}, 0},
  };
  RangeProbe probe;
  NTSTATUS s;
  void* handle = Allocate(kAgent, 0x40, &probe, &s);
  ASSERT_EQ(s, kern::STATUS_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hc_.SetBusInterfaceVersion(c.version, 0);
    const Response resp = hc_.SendSync(&node_, ToLocal(c.tcode, kAgent + 8, c.data, c.data_length));
    EXPECT_EQ(resp.rcode, RCODE_RESPONSE_COMPLETE);
    std::lock_guard<std::mutex> lock(probe.mu);
    EXPECT_EQ(probe.irql, kern::Irql::Dispatch);
    EXPECT_EQ(probe.offset, 8u);
    EXPECT_EQ(probe.context_seen, &probe);
    const auto& p = probe.packet;
    ASSERT_EQ(p.size(), 4 + c.payload.size() / 4 + 1);
    EXPECT_EQ(p[0] >> 16, hc_.local_node_id());  // destination
    EXPECT_EQ((p[0] >> 10) & 0x3F, 0x2Au);        // tl
    EXPECT_EQ((p[0] >> 8) & 3, 1u);               // rt
    EXPECT_EQ((p[0] >> 4) & 0xF, c.tcode);
    EXPECT_EQ(p[0] & 0xF, 0u);
    EXPECT_EQ(p[1] >> 16, hc_.node_id(&node_));  // source: the sender's node ID
    EXPECT_EQ(p[1] & 0xFFFF, 0xFFFFu);           // offset_hi
    EXPECT_EQ(p[2], 0xF0010008u);                // offset_lo
    EXPECT_EQ(p[3], c.q3);
    const auto* data = reinterpret_cast<const uint8_t*>(&p[4]);
    EXPECT_EQ(std::vector<uint8_t>(data, data + c.payload.size()), c.payload);
    EXPECT_EQ(p.back(), c.trailer);
  }
  EXPECT_EQ(Free(handle), kern::STATUS_SUCCESS);
}

TEST_F(BusTest, HandlerAnswerBecomesTheResponse) {
  struct Case {
    const char* name;
    uint8_t tcode;
    uint32_t data_length;
    std::function<void(NotificationInfo*, RangeProbe*)> answer;
    uint8_t rcode;
    std::vector<uint8_t> data;
  };
  auto reply = [](auto tweak) {
    return [tweak](NotificationInfo* info, RangeProbe* p) {
      *info->response_length = BuildResponse(info->request_packet, p->data, p->response);
      *info->response_packet = p->response;
      *info->response_code = RCODE_RESPONSE_COMPLETE;
      tweak(info, p);
    };
  };
  auto none = [](NotificationInfo*, RangeProbe*) {};
  const Case cases[] = {
      {"read quadlet: quadlet 4 of the packet", TCODE_READ_QUADLET, 0, nullptr, RCODE_RESPONSE_COMPLETE,
       {0xA1, 0xB2, 0xC3, 0xD4}},
      {"read block: data_length bytes after the header", TCODE_READ_BLOCK, 8, nullptr, RCODE_RESPONSE_COMPLETE,
       {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18}},
      {"write", TCODE_WRITE_BLOCK, 8, nullptr, RCODE_RESPONSE_COMPLETE, {}},
      {"error code", TCODE_READ_BLOCK, 8,
       [](NotificationInfo* info, RangeProbe*) { *info->response_code = RCODE_CONFLICT_ERROR; },
       RCODE_CONFLICT_ERROR, {}},
      {"only a descriptor", TCODE_READ_QUADLET, 0,
       reply([](NotificationInfo* info, RangeProbe* p) {
         *info->response_packet = nullptr;
         kern::InitializeMdl(&p->response_mdl, p->response, sizeof p->response, 1);
         kern::BuildMdlForNonPagedPool(&p->response_mdl);
         *info->response_mdl = &p->response_mdl;
       }),
       RCODE_RESPONSE_COMPLETE, {0xA1, 0xB2, 0xC3, 0xD4}},
      {"wrong tl", TCODE_READ_QUADLET, 0,
       reply([](NotificationInfo*, RangeProbe* p) { p->response[0] ^= 1u << 10; }), RCODE_TIMED_OUT, {}},
      {"wrong destination", TCODE_READ_QUADLET, 0,
       reply([](NotificationInfo*, RangeProbe* p) { p->response[1] ^= 1u << 16; }), RCODE_TIMED_OUT, {}},
      {"read tcode answered as a write", TCODE_READ_BLOCK, 8,
       reply([](NotificationInfo*, RangeProbe* p) { p->response[0] = (p->response[0] & ~0xF0u) | 0x20; }),
       RCODE_TIMED_OUT, {}},
      {"data_length not the request's", TCODE_READ_BLOCK, 8,
       reply([](NotificationInfo*, RangeProbe* p) { p->response[3] = 4u << 16; }), RCODE_TIMED_OUT, {}},
      {"packet shorter than its data", TCODE_READ_BLOCK, 8,
       reply([](NotificationInfo* info, RangeProbe*) { *info->response_length = 20; }), RCODE_TIMED_OUT, {}},
      {"rcode field of the packet", TCODE_READ_BLOCK, 8,
       reply([](NotificationInfo*, RangeProbe* p) { p->response[1] |= uint32_t{RCODE_DATA_ERROR} << 12; }),
       RCODE_DATA_ERROR, {}},
      {"no answer at all", TCODE_READ_BLOCK, 8, none, RCODE_TIMED_OUT, {}},
  };
  RangeProbe probe;
  NTSTATUS s;
  Allocate(kAgent, 0x40, &probe, &s);
  ASSERT_EQ(s, kern::STATUS_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    probe.answer = c.answer;
    std::vector<uint8_t> data;
    if (c.tcode == TCODE_WRITE_BLOCK) data.assign(c.data_length, 0x5A);
    const Response resp = hc_.SendSync(&node_, ToLocal(c.tcode, kAgent, data, c.data_length));
    EXPECT_EQ(resp.rcode, c.rcode);
    EXPECT_EQ(resp.data, c.data);
  }
  // Each request is logged with the code its sender got.
  const auto remote = OfKind(hc_.Log(), LogEntry::Kind::RemoteRequest);
  ASSERT_EQ(remote.size(), std::size(cases));
  EXPECT_EQ(remote[0].node_id, hc_.node_id(&node_));
  EXPECT_EQ(remote[0].offset, kAgent);
  EXPECT_EQ(remote[0].length, 4u);
  EXPECT_EQ(remote[0].tcode, TCODE_READ_QUADLET);
  EXPECT_EQ(remote[0].speed, SPEED_S400);
  EXPECT_EQ(remote[3].rcode, RCODE_CONFLICT_ERROR);
}

// With a response event the handler's packet is read only when the response goes out, so
// a change made after the handler returned (here by a write that the handler itself caused
// to be queued ahead of the response) is what the requester gets. Without an event the
// packet is copied before the handler's call returns.
TEST_F(BusTest, ResponseEventMeansThePacketIsReadWhenSent) {
  for (bool with_event : {false, true}) {
    SCOPED_TRACE(with_event ? "with event" : "without event");
    RangeProbe probe;
    NTSTATUS s;
    void* handle = Allocate(kAgent, 0x40, &probe, &s);
    ASSERT_EQ(s, kern::STATUS_SUCCESS);
    std::atomic<bool> signalled_in_handler{true};
    uint32_t write_response[4];
    probe.answer = [&](NotificationInfo* info, RangeProbe* p) {
      const bool first = info->request_packet[2] == static_cast<uint32_t>(kAgent);
      uint32_t* packet = first ? p->response : write_response;
      *info->response_length = BuildResponse(info->request_packet, p->data, packet);
      *info->response_packet = packet;
      *info->response_code = RCODE_RESPONSE_COMPLETE;
      if (first) {
        if (with_event) {
          p->sent_event.Reset();
          *info->response_event = &p->sent_event;
        }
        signalled_in_handler = p->sent_event.IsSignaled();
        hc_.Send(&node_, ToLocal(TCODE_WRITE_QUADLET, kAgent + 4, {1, 2, 3, 4}), nullptr);
      } else {
        std::memcpy(&p->response[4], "late", 4);  // overwrites the first answer's data
      }
    };
    bool event_set_when_answered = false;
    std::vector<uint8_t> got;
    kern::Event answered;
    hc_.Send(&node_, ToLocal(TCODE_READ_QUADLET, kAgent), [&](const Response& r) {
      got = r.data;
      event_set_when_answered = probe.sent_event.IsSignaled();
      answered.Set();
    });
    answered.Wait();
    hc_.Drain();
    EXPECT_FALSE(signalled_in_handler);
    if (with_event) {
      EXPECT_EQ(got, (std::vector<uint8_t>{'l', 'a', 't', 'e'}));
      EXPECT_TRUE(event_set_when_answered);
    } else {
      EXPECT_EQ(got, (std::vector<uint8_t>{0xA1, 0xB2, 0xC3, 0xD4}));
    }
    EXPECT_EQ(Free(handle), kern::STATUS_SUCCESS);
  }
}

TEST_F(BusTest, RangeAllocationRules) {
  RangeProbe probe;
  NTSTATUS s;
  AddressRange descriptor{};
  void* read_only = Allocate(kAgent, 0x40, &probe, &s, ACCESS_FLAGS_TYPE_READ, &descriptor);
  ASSERT_EQ(s, kern::STATUS_SUCCESS);
  EXPECT_NE(read_only, nullptr);
  EXPECT_EQ(descriptor.offset_hi, 0xFFFF);
  EXPECT_EQ(descriptor.offset_lo, 0xF0010000u);
  EXPECT_EQ(descriptor.length, 0x40u);

  Allocate(kAgent + 0x3C, 8, &probe, &s);
  EXPECT_EQ(s, kern::STATUS_CONFLICTING_ADDRESSES);
  Allocate(kConfigRomBase + 0x100, 4, &probe, &s);
  EXPECT_EQ(s, kern::STATUS_CONFLICTING_ADDRESSES);
  void* next = Allocate(kAgent + 0x40, 8, &probe, &s);  // adjacent is fine
  EXPECT_EQ(s, kern::STATUS_SUCCESS);

  // An access the range was not allocated for.
  EXPECT_EQ(hc_.SendSync(&node_, ToLocal(TCODE_WRITE_QUADLET, kAgent, {0, 0, 0, 1})).rcode, RCODE_TYPE_ERROR);
  // An access that runs past the end of the range.
  EXPECT_EQ(hc_.SendSync(&node_, ToLocal(TCODE_READ_BLOCK, kAgent + 0x38, {}, 16)).rcode,
            RCODE_ADDRESS_ERROR);
  EXPECT_EQ(probe.calls, 0);

  EXPECT_EQ(Free(read_only), kern::STATUS_SUCCESS);
  EXPECT_EQ(Free(read_only), kern::STATUS_INVALID_PARAMETER);
  EXPECT_EQ(hc_.SendSync(&node_, ToLocal(TCODE_READ_QUADLET, kAgent)).rcode, RCODE_ADDRESS_ERROR);
  EXPECT_EQ(Free(next), kern::STATUS_SUCCESS);
  EXPECT_EQ(probe.calls, 0);
}

TEST_F(BusTest, RequestsTheBusAnswersOrDrops) {
  RangeProbe probe;
  NTSTATUS s;
  Allocate(kAgent, 0x40, &probe, &s);
  ASSERT_EQ(s, kern::STATUS_SUCCESS);
  struct Case {
    const char* name;
    Request request;
    uint8_t rcode;
  };
  Request stale = ToLocal(TCODE_READ_QUADLET, kAgent);
  stale.generation -= 1;
  Request elsewhere = ToLocal(TCODE_READ_QUADLET, kAgent);
  elsewhere.destination_id = hc_.node_id(&slow_);
  Request ragged = ToLocal(TCODE_WRITE_BLOCK, kAgent, {1, 2, 3}, 8);
  Request too_big = ToLocal(TCODE_READ_BLOCK, kAgent, {}, 1024);
  too_big.speed = SPEED_S100;
  const Case cases[] = {
      {"stale generation", stale, RCODE_TIMED_OUT},
      {"another destination", elsewhere, RCODE_TIMED_OUT},
      {"data shorter than data_length", ragged, RCODE_TYPE_ERROR},
      {"block above its speed's payload", too_big, RCODE_TYPE_ERROR},
      {"unknown tcode", ToLocal(0xE, kAgent), RCODE_TYPE_ERROR},
      {"nothing there", ToLocal(TCODE_READ_QUADLET, kCsrRegisterBase + 0x20000), RCODE_ADDRESS_ERROR},
      {"ROM is read-only", ToLocal(TCODE_WRITE_QUADLET, kConfigRomBase, {0, 0, 0, 0}), RCODE_TYPE_ERROR},
      {"BUSY_TIMEOUT write", ToLocal(TCODE_WRITE_QUADLET, kBusyTimeout, {0, 0, 0, 0x0F}), RCODE_RESPONSE_COMPLETE},
      {"BUSY_TIMEOUT block read", ToLocal(TCODE_READ_BLOCK, kBusyTimeout, {}, 4), RCODE_TYPE_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hc_.SendSync(&node_, c.request).rcode, c.rcode);
  }
  EXPECT_EQ(probe.calls, 0);
  const Response busy = hc_.SendSync(&node_, ToLocal(TCODE_READ_QUADLET, kBusyTimeout));
  EXPECT_EQ(busy.rcode, RCODE_RESPONSE_COMPLETE);
  EXPECT_EQ(busy.data, (std::vector<uint8_t>{0, 0, 0, 0x0F}));

  MemoryNode stranger;  // never attached
  EXPECT_EQ(hc_.SendSync(&stranger, ToLocal(TCODE_READ_QUADLET, kAgent)).rcode, RCODE_TIMED_OUT);
  EXPECT_EQ(probe.calls, 0);
}

// FREE_ADDRESS_RANGE must not return while the handler runs: the driver frees the memory
// behind the handler context right after.
TEST_F(BusTest, FreeWaitsForTheRunningHandler) {
  RangeProbe probe;
  NTSTATUS s;
  void* handle = Allocate(kAgent, 0x40, &probe, &s);
  ASSERT_EQ(s, kern::STATUS_SUCCESS);
  // The handler runs at dispatch level, where kernel waits are not allowed.
  std::mutex mu;
  std::condition_variable cv;
  bool go = false;
  kern::Event entered;
  std::atomic<bool> handler_done{false};
  probe.answer = [&](NotificationInfo* info, RangeProbe*) {
    entered.Set();
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return go; });
    *info->response_code = RCODE_ADDRESS_ERROR;
    handler_done = true;
  };
  hc_.Send(&node_, ToLocal(TCODE_READ_QUADLET, kAgent), nullptr);
  entered.Wait();
  std::atomic<bool> done_at_return{false};
  std::thread freer([&] {
    EXPECT_EQ(Free(handle), kern::STATUS_SUCCESS);
    done_at_return = handler_done.load();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a free that does not wait
  {
    std::lock_guard<std::mutex> lock(mu);
    go = true;
  }
  cv.notify_all();
  freer.join();
  EXPECT_TRUE(done_at_return);
}

// ---------------------------------------------------------------------------------------
// Configuration ROM.

// A unit directory block as the driver adds it: the directory, then a leaf that its last
// entry points at (relative to that entry), all in bus order.
std::vector<uint8_t> UnitDirectoryBlock() {
  std::vector<uint32_t> q = {0, 0x1200609E, 0x13010483, 0x54004000, 0x81000001,
                             0, 0, 0, 0x534B4D00};
  q[0] = 4u << 16 | Crc16(&q[1], 4);
  q[5] = 3u << 16 | Crc16(&q[6], 3);
  std::vector<uint8_t> bytes;
  for (uint32_t v : q) {
    for (int b = 3; b >= 0; --b) bytes.push_back(static_cast<uint8_t>(v >> (8 * b)));
  }
  return bytes;
}

void CheckRomFrame(const std::vector<uint32_t>& rom, uint64_t eui64, size_t units) {
  ASSERT_GE(rom.size(), 8u + units);
  EXPECT_EQ(rom[0] >> 24, 4u);                                // bus_info_length
  EXPECT_EQ((rom[0] >> 16) & 0xFF, rom.size() - 1);           // crc_length: the whole ROM
  EXPECT_EQ(rom[0] & 0xFFFF, Crc16(&rom[1], rom.size() - 1));
  EXPECT_EQ(rom[1], 0x31333934u);
  EXPECT_EQ((rom[2] >> 12) & 0xF, 10u);  // max_rec of S400: 2048-byte payloads
  EXPECT_EQ(rom[2] & 7, SPEED_S400);
  EXPECT_EQ(rom[3], static_cast<uint32_t>(eui64 >> 32));
  EXPECT_EQ(rom[4], static_cast<uint32_t>(eui64));
  EXPECT_EQ(rom[5] >> 16, 2 + units);
  EXPECT_EQ(rom[5] & 0xFFFF, Crc16(&rom[6], 2 + units));
  EXPECT_EQ(rom[6], 0x03000000u | static_cast<uint32_t>(eui64 >> 40));
  EXPECT_EQ(rom[7], 0x0C0083C0u);
}

TEST_F(BusTest, UnitDirectoryEntersTheRomAndLeavesIt) {
  const std::vector<uint32_t> before = hc_.HostConfigRom();
  CheckRomFrame(before, hc_.config().eui64, 0);
  ASSERT_EQ(before.size(), 8u);

  Buffer block(UnitDirectoryBlock());
  ModifyCromInfo add{SLHP_FLAG_ADD_CROM_DATA, nullptr, block.mdl, static_cast<uint32_t>(block.bytes.size())};
  ASSERT_EQ(ModifyRom(&add), kern::STATUS_SUCCESS);
  ASSERT_NE(add.handle, nullptr);

  const std::vector<uint32_t> rom = hc_.HostConfigRom();
  CheckRomFrame(rom, hc_.config().eui64, 1);
  ASSERT_EQ(rom[8] >> 24, 0xD1u);  // Unit_Directory, offset from the entry itself
  const size_t start = 8 + (rom[8] & 0xFFFFFF);
  ASSERT_EQ(rom.size(), start + block.bytes.size() / 4);
  for (size_t i = 0; i < block.bytes.size() / 4; ++i) {
    const uint8_t* b = &block.bytes[4 * i];
    EXPECT_EQ(rom[start + i], uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3]);
  }

  // The change is the driver's until a reset makes it visible; it does not reset by itself.
  EXPECT_EQ(hc_.LocalConfigRom(), before);
  const auto changes = OfKind(hc_.Log(), LogEntry::Kind::ConfigRomChange);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].offset, kConfigRomBase + start * 4);
  EXPECT_EQ(changes[0].length, block.bytes.size());
  EXPECT_TRUE(OfKind(hc_.Log(), LogEntry::Kind::BusReset).empty());

  hc_.BusReset();
  EXPECT_EQ(hc_.LocalConfigRom(), rom);
  const Response eui_hi = hc_.SendSync(&node_, ToLocal(TCODE_READ_QUADLET, kConfigRomBase + 0x0C));
  const Response eui_lo = hc_.SendSync(&node_, ToLocal(TCODE_READ_QUADLET, kConfigRomBase + 0x10));
  EXPECT_EQ(eui_hi.data, (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33}));
  EXPECT_EQ(eui_lo.data, (std::vector<uint8_t>{0x44, 0x55, 0x66, 0x77}));
  const Response whole = hc_.SendSync(&node_, ToLocal(TCODE_READ_BLOCK, kConfigRomBase, {}, 4 * rom.size()));
  ASSERT_EQ(whole.data.size(), 4 * rom.size());
  EXPECT_EQ(std::memcmp(whole.data.data() + 4 * start, block.bytes.data(), block.bytes.size()), 0);

  // GET_HOST_CONFIG_ROM gives the same bytes, and the size when the buffer is short.
  std::vector<uint8_t> copy(4 * rom.size());
  HostConfigRomInfo info{copy.data(), static_cast<uint32_t>(copy.size() - 1), 0};
  Irb irb{};
  irb.function = REQUEST_GET_LOCAL_HOST_INFO;
  irb.u.get_host_info = {GET_HOST_CONFIG_ROM, &info};
  EXPECT_EQ(SubmitSync(bus(), irb), kern::STATUS_INVALID_BUFFER_SIZE);
  EXPECT_EQ(info.returned_length, copy.size());
  info.length = static_cast<uint32_t>(copy.size());
  EXPECT_EQ(SubmitSync(bus(), irb), kern::STATUS_SUCCESS);
  EXPECT_EQ(copy, whole.data);

  ModifyCromInfo remove{SLHP_FLAG_REMOVE_CROM_DATA, add.handle, block.mdl, add.length};
  ASSERT_EQ(ModifyRom(&remove), kern::STATUS_SUCCESS);
  const std::vector<uint32_t> after = hc_.HostConfigRom();
  CheckRomFrame(after, hc_.config().eui64, 0);
  EXPECT_EQ(after.size(), 8u);
  EXPECT_EQ(ModifyRom(&remove), kern::STATUS_INVALID_PARAMETER);
}

TEST_F(BusTest, RomAdditionsMustFitTheRom) {
  // 8 quadlets of frame + one entry + 247 quadlets of block fill the 1 KiB exactly.
  Buffer largest(988), more(4), ragged(6);
  ModifyCromInfo big{SLHP_FLAG_ADD_CROM_DATA, nullptr, largest.mdl, 988};
  ASSERT_EQ(ModifyRom(&big), kern::STATUS_SUCCESS);
  EXPECT_EQ(hc_.HostConfigRom().size(), kConfigRomBytes / 4);
  ModifyCromInfo one_more{SLHP_FLAG_ADD_CROM_DATA, nullptr, more.mdl, 4};
  EXPECT_EQ(ModifyRom(&one_more), kern::STATUS_INSUFFICIENT_RESOURCES);
  ModifyCromInfo odd{SLHP_FLAG_ADD_CROM_DATA, nullptr, ragged.mdl, 6};
  EXPECT_EQ(ModifyRom(&odd), kern::STATUS_INVALID_PARAMETER);
  ModifyCromInfo unknown{SLHP_FLAG_REMOVE_CROM_DATA, reinterpret_cast<void*>(uintptr_t{0x5555}), nullptr, 0};
  EXPECT_EQ(ModifyRom(&unknown), kern::STATUS_INVALID_PARAMETER);
  EXPECT_EQ(hc_.HostConfigRom().size(), kConfigRomBytes / 4);
}

// ---------------------------------------------------------------------------------------
// Bus resets and queries.

struct ResetWatch {
  explicit ResetWatch(HostController* h) : hc(h) {}
  HostController* hc;
  std::mutex mu;
  int calls = 0;
  kern::Irql irql = kern::Irql::Passive;
  uint32_t generation = 0;         // as a GET_GENERATION_COUNT from the routine reports it
  bool answered_in_line = false;
  kern::Event called;
};

void OnReset(void* context) {
  auto* w = static_cast<ResetWatch*>(context);
  // The routine asks the bus for the new generation, as the driver's reset chain does.
  Irb irb{};
  irb.function = REQUEST_GET_GENERATION_COUNT;
  auto c = Submit(w->hc->controller_device(), irb);
  {
    std::lock_guard<std::mutex> lock(w->mu);
    ++w->calls;
    w->irql = kern::CurrentIrql();
    w->answered_in_line = c->done_in_dispatch;
    w->generation = c->irb.u.get_generation.generation;
  }
  w->called.Set();
}

NTSTATUS Notification(kern::DeviceObject* bus, uint32_t flags, ResetWatch* watch) {
  Irb irb{};
  irb.function = REQUEST_BUS_RESET_NOTIFICATION;
  irb.u.notification = {flags, &OnReset, watch};
  return SubmitSync(bus, irb);
}

TEST_F(BusTest, ResetAssignsNodeIdsAndNotifiesAfterwards) {
  EXPECT_EQ(hc_.node_id(&node_), 0xFFC0);
  EXPECT_EQ(hc_.node_id(&slow_), 0xFFC1);
  EXPECT_EQ(hc_.local_node_id(), 0xFFC2);

  ResetWatch watch(&hc_);
  ASSERT_EQ(Notification(bus(), REGISTER_NOTIFICATION_ROUTINE, &watch), kern::STATUS_SUCCESS);
  const uint32_t before = hc_.generation();
  hc_.SetPhysicalIds({5, 9, 3});
  hc_.BusReset();
  hc_.Drain();
  EXPECT_EQ(hc_.generation(), before + 1);
  EXPECT_EQ(hc_.local_node_id(), 0xFFC5);
  EXPECT_EQ(hc_.node_id(&node_), 0xFFC9);
  EXPECT_EQ(hc_.node_id(&slow_), 0xFFC3);
  {
    std::lock_guard<std::mutex> lock(watch.mu);
    EXPECT_EQ(watch.calls, 1);
    EXPECT_EQ(watch.irql, kern::Irql::Dispatch);
    EXPECT_TRUE(watch.answered_in_line);
    EXPECT_EQ(watch.generation, before + 1);
  }
  const auto resets = node_.resets();
  ASSERT_FALSE(resets.empty());
  EXPECT_EQ(resets.back().generation, before + 1);
  EXPECT_EQ(resets.back().node_id, 0xFFC9);
  EXPECT_EQ(resets.back().irql, kern::Irql::Dispatch);

  Irb addr{};
  addr.function = REQUEST_GET_ADDR_FROM_DEVICE_OBJECT;
  addr.u.get_addr.flags = USE_LOCAL_NODE;
  ASSERT_EQ(SubmitSync(bus(), addr), kern::STATUS_SUCCESS);
  EXPECT_EQ(addr.u.get_addr.address.node_id, 0xFFC5);

  // A driver-requested reset completes after the reset, and the routine runs after it.
  Irb reset{};
  reset.function = REQUEST_BUS_RESET;
  auto call = Submit(bus(), reset);
  EXPECT_EQ(call->dispatch_status, kern::STATUS_PENDING);
  EXPECT_EQ(call->Wait(), kern::STATUS_SUCCESS);
  EXPECT_EQ(hc_.generation(), before + 2);
  EXPECT_EQ(hc_.bus_reset_requests(), 1);
  hc_.Drain();
  {
    std::lock_guard<std::mutex> lock(watch.mu);
    EXPECT_EQ(watch.calls, 2);
    EXPECT_EQ(watch.generation, before + 2);
  }
  EXPECT_EQ(OfKind(hc_.Log(), LogEntry::Kind::BusReset).size(), 2u);

  ASSERT_EQ(Notification(bus(), DEREGISTER_NOTIFICATION_ROUTINE, &watch), kern::STATUS_SUCCESS);
  EXPECT_EQ(Notification(bus(), DEREGISTER_NOTIFICATION_ROUTINE, &watch), kern::STATUS_INVALID_PARAMETER);
  hc_.BusReset();
  hc_.Drain();
  std::lock_guard<std::mutex> lock(watch.mu);
  EXPECT_EQ(watch.calls, 2);
}

TEST_F(BusTest, QueriesAnswerInLineUnlessHeld) {
  Irb gen{};
  gen.function = REQUEST_GET_GENERATION_COUNT;
  Irb addr{};
  addr.function = REQUEST_GET_ADDR_FROM_DEVICE_OBJECT;
  addr.u.get_addr.flags = USE_LOCAL_NODE;

  // Old stacks take class requests as device control requests.
  auto inline_call = Submit(bus(), gen, kern::IRP_MJ_DEVICE_CONTROL);
  EXPECT_TRUE(inline_call->done_in_dispatch);
  EXPECT_EQ(inline_call->dispatch_status, kern::STATUS_SUCCESS);
  EXPECT_EQ(inline_call->irb.u.get_generation.generation, hc_.generation());

  hc_.PendQueries(true);
  auto g = Submit(bus(), gen);
  auto a = Submit(bus(), addr);
  EXPECT_EQ(g->dispatch_status, kern::STATUS_PENDING);
  EXPECT_EQ(a->dispatch_status, kern::STATUS_PENDING);
  hc_.SetPhysicalIds({7});
  hc_.BusReset();
  hc_.Drain();
  EXPECT_FALSE(g->done.IsSignaled());
  EXPECT_FALSE(a->done.IsSignaled());
  hc_.ReleasePendedQueries();
  EXPECT_EQ(g->Wait(), kern::STATUS_SUCCESS);
  EXPECT_EQ(a->Wait(), kern::STATUS_SUCCESS);
  EXPECT_EQ(g->irql, kern::Irql::Dispatch);
  EXPECT_NE(g->thread, std::this_thread::get_id());
  EXPECT_EQ(g->irb.u.get_generation.generation, hc_.generation());  // the bus as at release
  EXPECT_EQ(a->irb.u.get_addr.address.node_id, 0xFFC7);
  hc_.PendQueries(false);

  // The fault hook can hold or fail one kind of query only.
  hc_.SetFaultHook([](const LogEntry& e) {
    FaultAction f;
    if (e.kind == LogEntry::Kind::NodeAddressQuery) f.kind = FaultAction::Kind::Pend;
    if (e.kind == LogEntry::Kind::GenerationQuery) {
      f.kind = FaultAction::Kind::Fail;
      f.status = kern::STATUS_INSUFFICIENT_RESOURCES;
    }
    return f;
  });
  auto failed = Submit(bus(), gen);
  EXPECT_TRUE(failed->done_in_dispatch);
  EXPECT_EQ(failed->status, kern::STATUS_INSUFFICIENT_RESOURCES);
  auto held = Submit(bus(), addr);
  EXPECT_EQ(held->dispatch_status, kern::STATUS_PENDING);
  hc_.ReleasePendedQueries();
  EXPECT_EQ(held->Wait(), kern::STATUS_SUCCESS);
  EXPECT_TRUE(OfKind(hc_.Log(), LogEntry::Kind::GenerationQuery).empty());
}

TEST_F(BusTest, HostInfoFollowsTheConfiguration) {
  HostDdiVersion version{};
  HostCapabilities caps{};
  Irb irb{};
  irb.function = REQUEST_GET_LOCAL_HOST_INFO;
  irb.u.get_host_info = {GET_HOST_DDI_VERSION, &version};
  ASSERT_EQ(SubmitSync(bus(), irb), kern::STATUS_SUCCESS);
  EXPECT_EQ(version.major, 3);
  hc_.SetBusInterfaceVersion(2, 1);
  ASSERT_EQ(SubmitSync(bus(), irb), kern::STATUS_SUCCESS);
  EXPECT_EQ(version.major, 2);
  EXPECT_EQ(version.minor, 1);

  hc_.SetHostLimits(1024, 512);
  irb.u.get_host_info = {GET_HOST_CAPABILITIES, &caps};
  ASSERT_EQ(SubmitSync(bus(), irb), kern::STATUS_SUCCESS);
  EXPECT_EQ(caps.max_async_read_request, 1024u);
  EXPECT_EQ(caps.max_async_write_request, 512u);

  irb.u.get_host_info = {99, &caps};
  EXPECT_EQ(SubmitSync(bus(), irb), kern::STATUS_INVALID_PARAMETER);

  HostControllerConfig old;
  old.name = "old";
  old.ddi_version_supported = false;
  HostController old_stack(old);
  irb.u.get_host_info = {GET_HOST_DDI_VERSION, &version};
  EXPECT_EQ(SubmitSync(old_stack.controller_device(), irb), kern::STATUS_NOT_SUPPORTED);
}

// ---------------------------------------------------------------------------------------
// Faults.

TEST_F(BusTest, FaultHookFailsDelaysAndHoldsTransfers) {
  constexpr uint64_t kFail = MemoryNode::kBase + 0x1000;
  constexpr uint64_t kDelay = MemoryNode::kBase + 0x2000;
  constexpr uint64_t kHold = MemoryNode::kBase + 0x3000;
  std::vector<LogEntry> consulted;
  std::mutex mu;
  hc_.SetFaultHook([&](const LogEntry& e) {
    std::lock_guard<std::mutex> lock(mu);
    consulted.push_back(e);
    FaultAction f;
    if (e.offset == kFail) {
      f.kind = FaultAction::Kind::Fail;
      f.status = kern::STATUS_IO_TIMEOUT;
    } else if (e.offset == kDelay) {
      f.kind = FaultAction::Kind::Delay;
      f.delay_us = 1'000'000;
    } else if (e.offset == kHold) {
      f.kind = FaultAction::Kind::Pend;
    }
    return f;
  });
  Buffer a(8), b(8), c(8), d(8);
  EXPECT_EQ(Run({.offset = kFail}, a), kern::STATUS_IO_TIMEOUT);
  EXPECT_TRUE(node_.requests().empty());
  EXPECT_EQ(hc_.Log().back().status, kern::STATUS_IO_TIMEOUT);
  {
    std::lock_guard<std::mutex> lock(mu);
    ASSERT_EQ(consulted.size(), 1u);
    EXPECT_EQ(consulted[0].kind, LogEntry::Kind::AsyncRead);
    EXPECT_EQ(consulted[0].length, 8u);
    EXPECT_EQ(consulted[0].generation, hc_.generation());
  }

  // A delayed request lets later traffic go ahead.
  auto delayed = Start({.offset = kDelay}, b);
  auto later = Start({.write = true}, c);
  EXPECT_EQ(later->Wait(), kern::STATUS_SUCCESS);
  EXPECT_FALSE(delayed->done.IsSignaled());
  EXPECT_EQ(delayed->Wait(), kern::STATUS_SUCCESS);

  auto held = Start({.offset = kHold}, d);
  hc_.Drain();
  EXPECT_FALSE(held->done.IsSignaled());
  hc_.ReleasePendedQueries();
  EXPECT_EQ(held->Wait(), kern::STATUS_SUCCESS);
  EXPECT_EQ(node_.requests().size(), 3u);
}

TEST(BusTeardownTest, DestroyingTheControllerFinishesEveryRequest) {
  kern::System system;
  MemoryNode node;
  auto hc = std::make_unique<HostController>();
  hc->Attach(&node, kNodeEui, {});
  std::atomic<int> consulted{0};
  hc->SetFaultHook([&](const LogEntry& e) {
    ++consulted;
    FaultAction f;
    f.kind = e.kind == LogEntry::Kind::AsyncRead ? FaultAction::Kind::Delay : FaultAction::Kind::Pend;
    f.delay_us = 60'000'000;
    return f;
  });
  Buffer read_buf(8), write_buf(8);
  Irb irb{};
  irb.function = REQUEST_ASYNC_READ;
  irb.u.async_read = {{hc->node_id(&node), 1, 0}, 8, 2048, read_buf.mdl, hc->generation(), SPEED_S400, TCODE_READ_BLOCK};
  auto delayed = Submit(hc->controller_device(), irb);
  irb.function = REQUEST_ASYNC_WRITE;
  irb.u.async_write = irb.u.async_read;
  irb.u.async_write.mdl = write_buf.mdl;
  irb.u.async_write.tcode = TCODE_WRITE_BLOCK;
  auto held = Submit(hc->controller_device(), irb);
  Irb gen{};
  gen.function = REQUEST_GET_GENERATION_COUNT;
  auto query = Submit(hc->controller_device(), gen);
  while (consulted < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_FALSE(query->done.IsSignaled());

  hc.reset();
  EXPECT_EQ(delayed->Wait(), kern::STATUS_CANCELLED);
  EXPECT_EQ(held->Wait(), kern::STATUS_CANCELLED);
  EXPECT_EQ(query->Wait(), kern::STATUS_CANCELLED);
  EXPECT_TRUE(node.requests().empty());
}

// ---------------------------------------------------------------------------------------
// The virtual device and Plug and Play.

// A function driver that only records what Plug and Play does with it.
struct FakeDriver {
  std::mutex mu;
  kern::DeviceObject* pdo = nullptr;
  kern::DeviceObject* fdo = nullptr;
  kern::DeviceObject* lower = nullptr;
  std::vector<uint8_t> pnp_minors;
  NTSTATUS start_status = kern::STATUS_PENDING;
};
FakeDriver* g_fake = nullptr;

NTSTATUS FakePnp(kern::DeviceObject*, kern::Irp* irp) {
  const uint8_t minor = kern::CurrentStackLocation(irp)->minor;
  kern::DeviceObject* lower;
  {
    std::lock_guard<std::mutex> lock(g_fake->mu);
    g_fake->pnp_minors.push_back(minor);
    lower = g_fake->lower;
  }
  kern::SkipCurrentStackLocation(irp);
  const NTSTATUS s = kern::CallDriver(lower, irp);
  std::lock_guard<std::mutex> lock(g_fake->mu);
  if (minor == kern::IRP_MN_START_DEVICE) g_fake->start_status = s;
  if (minor == kern::IRP_MN_REMOVE_DEVICE) {
    kern::DetachDevice(g_fake->lower);
    kern::DeleteDevice(g_fake->fdo);
    g_fake->fdo = g_fake->lower = nullptr;
  }
  return s;
}

NTSTATUS FakePass(kern::DeviceObject*, kern::Irp* irp) {
  kern::SkipCurrentStackLocation(irp);
  return kern::CallDriver(g_fake->lower, irp);
}

NTSTATUS FakeAddDevice(kern::DriverObject* driver, kern::DeviceObject* pdo) {
  kern::DeviceObject* fdo = nullptr;
  NTSTATUS s = kern::CreateDevice(driver, 0, "", kern::FILE_DEVICE_UNKNOWN, false, &fdo);
  if (!kern::NtSuccess(s)) return s;
  std::lock_guard<std::mutex> lock(g_fake->mu);
  g_fake->pdo = pdo;
  g_fake->fdo = fdo;
  g_fake->lower = kern::AttachDeviceToDeviceStack(fdo, pdo);
  fdo->flags &= ~kern::DO_DEVICE_INITIALIZING;
  return kern::STATUS_SUCCESS;
}

NTSTATUS FakeEntry(kern::DriverObject* driver) {
  for (auto& f : driver->major_function) f = &FakePass;
  driver->major_function[kern::IRP_MJ_PNP] = &FakePnp;
  driver->add_device = &FakeAddDevice;
  return kern::STATUS_SUCCESS;
}

TEST(BusPnpTest, ApiRequestAddsTheVirtualDeviceThatPnpStarts) {
  kern::System system;
  FakeDriver fake;
  g_fake = &fake;
  const std::string hardware_id = "1394\\KORVEN_1394_VSBP2_DEVICE_REV_01";
  ASSERT_EQ(kern::pnp::RegisterDriver(hardware_id, "fake", &FakeEntry), kern::STATUS_SUCCESS);
  auto owned = std::make_unique<HostController>();
  HostController& hc = *owned;

  // User mode finds the controller through its interface.
  bool listed = false;
  for (const auto& e : kern::ListDeviceInterfaces(kHostControllerInterface, false))
    listed |= e.symbolic_link == hc.interface_link();
  EXPECT_TRUE(listed);
  kern::DeviceObject* target = kern::ResolveDeviceInterface(hc.interface_link());
  ASSERT_EQ(target, hc.controller_device());
  kern::FileObject* file = nullptr;
  ASSERT_EQ(kern::OpenFile(target, u"", &file), kern::STATUS_SUCCESS);

  ApiRequest req{};
  req.request_number = kApiAddVirtualDevice;
  req.instance_id = 0x2A;
  const std::u16string id = u"KORVEN_1394_VSBP2_DEVICE_REV_01";
  std::copy(id.begin(), id.end(), req.device_id);
  kern::ControlRequest control;
  control.code = IOCTL_IEEE1394_API_REQUEST;
  control.input = &req;
  control.input_length = sizeof req;
  ASSERT_EQ(kern::SendControlSync(file, control), kern::STATUS_SUCCESS);
  kern::pnp::DevicesSettled();

  kern::DeviceObject* pdo = hc.virtual_device();
  ASSERT_NE(pdo, nullptr);
  {
    std::lock_guard<std::mutex> lock(fake.mu);
    EXPECT_EQ(fake.pdo, pdo);
    EXPECT_EQ(fake.start_status, kern::STATUS_SUCCESS);
  }
  EXPECT_EQ(pdo->bus_context, hc.controller_device());  // where transfers go
  bool found = false;
  for (const auto& n : kern::pnp::DeviceTree()) {
    if (n.pdo != pdo) continue;
    found = true;
    EXPECT_EQ(n.hardware_id, hardware_id);
    EXPECT_EQ(n.instance_id, "000000000000002A");
    EXPECT_EQ(n.parent_pdo, hc.controller_device());
    EXPECT_TRUE(n.started);
  }
  EXPECT_TRUE(found);

  // Class requests sent down the function driver's stack reach the bus.
  Irb gen{};
  gen.function = REQUEST_GET_GENERATION_COUNT;
  auto call = Submit(kern::AttachedDeviceTop(pdo), gen);
  EXPECT_EQ(call->Wait(), kern::STATUS_SUCCESS);
  EXPECT_EQ(call->irb.u.get_generation.generation, hc.generation());

  // Power requests to the virtual device are finished later, not in the dispatch.
  {
    kern::Irp* irp = kern::AllocateIrp(pdo->stack_size);
    kern::IoStackLocation* next = kern::NextStackLocation(irp);
    next->major = kern::IRP_MJ_POWER;
    next->minor = kern::IRP_MN_QUERY_POWER;
    kern::Event done;
    irp->on_done = [&done](kern::Irp*) { done.Set(); };
    EXPECT_EQ(kern::CallDriver(pdo, irp), kern::STATUS_PENDING);
    done.Wait();
    EXPECT_EQ(irp->io_status.status, kern::STATUS_SUCCESS);
    kern::FreeIrp(irp);
  }

  // Before version 3 a transfer is taken only by the transfer device, as a device control
  // request: not by the virtual device's stack, not as an internal request.
  hc.SetBusInterfaceVersion(2, 0);
  Irb read{};
  read.function = REQUEST_ASYNC_READ;
  read.u.async_read.generation = hc.generation();
  for (auto [device, major] : {std::pair{pdo, kern::IRP_MJ_INTERNAL_DEVICE_CONTROL},
                               std::pair{pdo, kern::IRP_MJ_DEVICE_CONTROL},
                               std::pair{hc.controller_device(), kern::IRP_MJ_INTERNAL_DEVICE_CONTROL}}) {
    EXPECT_EQ(Submit(device, read, major)->Wait(), kern::STATUS_INVALID_DEVICE_REQUEST);
  }
  EXPECT_EQ(Submit(pdo, gen)->Wait(), kern::STATUS_SUCCESS) << "other class requests go anywhere";
  hc.SetBusInterfaceVersion(3, 0);

  EXPECT_EQ(kern::SendControlSync(file, control), kern::STATUS_OBJECT_NAME_COLLISION);
  req.request_number = 3;
  EXPECT_EQ(kern::SendControlSync(file, control), kern::STATUS_INVALID_PARAMETER);
  req.request_number = kApiRemoveVirtualDevice;
  control.input_length = sizeof req - 1;
  EXPECT_EQ(kern::SendControlSync(file, control), kern::STATUS_INVALID_PARAMETER);

  control.input_length = sizeof req;
  ASSERT_EQ(kern::SendControlSync(file, control), kern::STATUS_SUCCESS);
  kern::pnp::DevicesSettled();
  EXPECT_EQ(hc.virtual_device(), nullptr);
  {
    std::lock_guard<std::mutex> lock(fake.mu);
    EXPECT_EQ(fake.fdo, nullptr);  // removed
    EXPECT_NE(std::find(fake.pnp_minors.begin(), fake.pnp_minors.end(), kern::IRP_MN_REMOVE_DEVICE),
              fake.pnp_minors.end());
  }
  for (const auto& n : kern::pnp::DeviceTree()) EXPECT_NE(n.hardware_id, hardware_id);
  EXPECT_EQ(kern::SendControlSync(file, control), kern::STATUS_NO_SUCH_DEVICE);

  // A device removed while a file is open on its stack is deleted only after the close
  // has let its removal run.
  EXPECT_TRUE(hc.AddVirtualDevice(id));
  EXPECT_FALSE(hc.AddVirtualDevice(id));
  kern::pnp::DevicesSettled();
  ASSERT_NE(hc.virtual_device(), nullptr);
  kern::FileObject* on_driver = nullptr;
  ASSERT_EQ(kern::OpenFile(kern::AttachedDeviceTop(hc.virtual_device()), u"", &on_driver),
            kern::STATUS_SUCCESS);
  EXPECT_TRUE(hc.RemoveVirtualDevice());
  EXPECT_EQ(hc.virtual_device(), nullptr);
  {
    std::lock_guard<std::mutex> lock(fake.mu);
    EXPECT_NE(fake.fdo, nullptr);  // surprise-removed only
  }
  kern::CloseFile(on_driver);
  kern::pnp::DevicesSettled();
  {
    std::lock_guard<std::mutex> lock(fake.mu);
    EXPECT_EQ(fake.fdo, nullptr);
  }

  kern::CloseFile(file);
  owned.reset();
  EXPECT_EQ(system.OutstandingAllocations(kern::kDeviceTag), 0u);
  kern::pnp::UnregisterDrivers();
  g_fake = nullptr;
}

// With wire time the bus carries the same traffic with the same results; only the time it
// takes changes (the benchmarks measure that). Several requests queued at once, cut into
// packets, both directions, the bus's own ROM answers and a node's error response.
TEST(BusWireTimeTest, CarriesTheSameTrafficWithTheSameResults) {
  kern::System system;
  MemoryNode node;
  HostControllerConfig config;
  config.wire_time = true;
  config.local_speed = SPEED_S800;
  HostController hc(config);
  hc.Attach(&node, kNodeEui, {}, SPEED_S800);
  hc.Drain();
  auto start = [&](bool write, uint64_t offset, Buffer& buf) {
    Irb irb{};
    irb.function = write ? REQUEST_ASYNC_WRITE : REQUEST_ASYNC_READ;
    Irb::AsyncTransfer& a = write ? irb.u.async_write : irb.u.async_read;
    a.destination = {hc.node_id(&node), static_cast<uint16_t>(offset >> 32), static_cast<uint32_t>(offset)};
    a.bytes = static_cast<uint32_t>(buf.bytes.size());
    a.block_size = 4096;
    a.mdl = buf.mdl;
    a.generation = hc.generation();
    a.speed = SPEED_S800;
    a.tcode = write ? TCODE_WRITE_BLOCK : TCODE_READ_BLOCK;
    return Submit(hc.controller_device(), irb);
  };
  std::vector<uint8_t> pattern(8192 + 100);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7);
  Buffer out(pattern), back(pattern.size()), rom(4);
  auto write = start(true, MemoryNode::kBase, out);
  auto read = start(false, MemoryNode::kBase, back);
  EXPECT_EQ(write->Wait(), kern::STATUS_SUCCESS);
  EXPECT_EQ(read->Wait(), kern::STATUS_SUCCESS);
  EXPECT_EQ(back.bytes, pattern);
  EXPECT_EQ(start(false, 0xFFFFF0000410ULL, rom)->Wait(), kern::STATUS_SUCCESS);
  EXPECT_EQ(rom.bytes, (std::vector<uint8_t>{0x02, 0x03, 0x04, 0x05}));
  node.Answer(RCODE_ADDRESS_ERROR);
  EXPECT_EQ(start(false, MemoryNode::kBase, back)->Wait(), STATUS_INVALID_ADDRESS);

  // A remote request to the local node: the bus answers BUSY_TIMEOUT itself.
  Request r;
  r.destination_id = hc.local_node_id();
  r.tcode = TCODE_READ_QUADLET;
  r.speed = SPEED_S800;
  r.offset = kBusyTimeout;
  r.generation = hc.generation();
  const Response answer = hc.SendSync(&node, r);
  EXPECT_EQ(answer.rcode, RCODE_RESPONSE_COMPLETE);
  EXPECT_EQ(answer.data.size(), 4u);

  uint32_t packets = 0;
  for (const LogEntry& e : hc.Log()) packets += e.packets;
  EXPECT_EQ(packets, 5u + 5u + 1u + 1u);  // 8,292 bytes as four of the host's 2,048 and 100, twice
}

}  // namespace
}  // namespace bus1394
