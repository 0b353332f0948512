// The transfer engine as the bus sees it: how READ_INITIATOR and WRITE_INITIATOR are cut
// into bus requests, what arrives in initiator memory, and the status block that follows.
#include <numeric>

#include "driver/tests/driver_fixture.h"

namespace ostrane::testing {
namespace {

using namespace kern;
using vsbp::PageTableElement;

struct Request {
  bool read = true;
  uint32_t length = 0;
  uint32_t offset_lo = 0x1000;  // direct buffer address
  uint8_t speed = bus1394::SPEED_S400;
  uint8_t max_payload = 15;
  uint8_t page_size = 0;
  std::vector<PageTableElement> table;  // p set when not empty
  bool status = false;
  uint32_t status_block[2] = {0x41000000, 0x100};
  int generation_offset = 0;
};

class TransferTestBase : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    unit_ = Open(u"\\unit00");
    ASSERT_NE(unit_, nullptr);
  }

  std::vector<uint8_t> Input(const Request& r) {
    uint16_t opts = vsbp::options::Make(r.page_size, !r.table.empty(), r.max_payload, r.speed, r.status,
                                        bus1394::SPEED_S400);
    vsbp::TransferRequestWithStatus head{};
    head.head.version = vsbp::kControlVersion;
    head.head.tag = 0;
    head.head.transfer_length = r.length;
    head.head.node_id = NodeId();
    head.head.data_offset_hi = 0;
    head.head.data_offset_lo = r.offset_lo;
    head.head.data_size = r.table.empty() ? static_cast<uint16_t>(r.length) : static_cast<uint16_t>(r.table.size());
    head.head.options = opts;
    head.head.generation = hc_->generation() + r.generation_offset;
    head.head.status_fifo_hi = 0;
    head.head.status_node_id = NodeId();
    head.head.status_fifo_lo = 0x8000;
    head.status_block[0] = r.status_block[0];
    head.status_block[1] = r.status_block[1];
    std::vector<uint8_t> in(vsbp::TransferHeadBytes(opts));
    std::memcpy(in.data(), &head, in.size());
    for (const PageTableElement& e : r.table) {
      const auto* b = reinterpret_cast<const uint8_t*>(&e);
      in.insert(in.end(), b, b + sizeof(e));
    }
    return in;
  }

  NTSTATUS Run(const Request& r, std::vector<uint8_t>& buffer, uintptr_t* information = nullptr) {
    std::vector<uint8_t> in = Input(r);
    hc_->ClearLog();
    NTSTATUS s = SendSync(unit_, r.read ? vsbp::IOCTL_VSBP_READ_INITIATOR : vsbp::IOCTL_VSBP_WRITE_INITIATOR,
                          in.data(), static_cast<uint32_t>(in.size()), buffer.data(),
                          static_cast<uint32_t>(buffer.size()), information);
    hc_->Drain();
    return s;
  }

  std::vector<bus1394::LogEntry> Requests() {
    std::vector<bus1394::LogEntry> out;
    for (const auto& e : hc_->Log()) {
      if (e.kind == bus1394::LogEntry::Kind::AsyncRead || e.kind == bus1394::LogEntry::Kind::AsyncWrite) {
        out.push_back(e);
      }
    }
    return out;
  }

  static std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
  }

  kern::FileObject* unit_ = nullptr;
};

struct SplitCase {
  const char* name;
  Request request;
  std::vector<uint32_t> lengths;  // of the bus requests, in order
  uint8_t tcode;
  uint32_t block_size;
};

// A host with a 2048-byte read limit, a 1024-byte write limit and the given bus interface
// version: below 3 every request carries one block at most, from 3 on the bus driver cuts
// blocks itself. The write limit lies under the 2048 bytes an S400 block may carry, so a
// write that ignored it would go out in blocks of the wrong size.
template <uint16_t Version>
class TransferTest : public TransferTestBase {
 protected:
  bus1394::HostControllerConfig ControllerConfig() override {
    bus1394::HostControllerConfig c;
    c.ddi_major = Version;
    c.max_async_read_request = 2048;
    c.max_async_write_request = 1024;
    return c;
  }
};
using TransferV2Test = TransferTest<2>;
using TransferV3Test = TransferTest<3>;

void CheckSplits(TransferTestBase* t, const std::vector<SplitCase>& cases,
                 std::function<NTSTATUS(const Request&, std::vector<uint8_t>&)> run,
                 std::function<std::vector<bus1394::LogEntry>()> requests) {
  for (const SplitCase& c : cases) {
    std::vector<uint8_t> buffer(c.request.length);
    ASSERT_EQ(run(c.request, buffer), STATUS_SUCCESS) << c.name;
    std::vector<bus1394::LogEntry> log = requests();
    std::vector<uint32_t> lengths;
    for (const auto& e : log) {
      lengths.push_back(e.length);
      EXPECT_EQ(e.tcode, c.tcode) << c.name;
      EXPECT_EQ(e.block_size, c.block_size) << c.name;
      EXPECT_EQ(e.speed, c.request.speed) << c.name;
    }
    EXPECT_EQ(lengths, c.lengths) << c.name;
  }
  (void)t;
}

TEST_F(TransferV2Test, SplitsByBlockSizeBelowVersion3) {
  Request quadlet;
  quadlet.length = 4;
  Request orb;
  orb.length = 32;
  Request s400_mp8;
  s400_mp8.length = 3000;
  s400_mp8.max_payload = 8;
  Request mp0;
  mp0.length = 12;
  mp0.max_payload = 0;
  Request s100;
  s100.length = 3000;
  s100.speed = bus1394::SPEED_S100;
  Request write;
  write.read = false;
  write.length = 5000;
  Request page_end;
  page_end.length = 100 + 4096 + 50;
  page_end.page_size = 4;  // 4096-byte pages
  page_end.table = {PageTableElement::Make(100, 0, 0x10000 - 100), PageTableElement::Make(4096, 0, 0x20000),
                    PageTableElement::Make(50, 0, 0x30000)};
  CheckSplits(this,
              {
                  {"4-byte read is one quadlet read", quadlet, {4}, bus1394::TCODE_READ_QUADLET, 2048},
                  {"32-byte read is one block read", orb, {32}, bus1394::TCODE_READ_BLOCK, 2048},
                  {"S400 with max_payload 8 uses 1024-byte blocks", s400_mp8, {1024, 1024, 952},
                   bus1394::TCODE_READ_BLOCK, 1024},
                  {"max_payload 0 uses 4-byte blocks", mp0, {4, 4, 4}, bus1394::TCODE_READ_BLOCK, 4},
                  {"S100 under a 2048 host limit: five of 512 and one of 440", s100, {512, 512, 512, 512, 512, 440},
                   bus1394::TCODE_READ_BLOCK, 512},
                  {"writes are capped by the host write limit", write, {1024, 1024, 1024, 1024, 904},
                   bus1394::TCODE_WRITE_BLOCK, 1024},
                  {"a segment 100 bytes before a page end is read with 100 bytes first", page_end,
                   {100, 2048, 2048, 50}, bus1394::TCODE_READ_BLOCK, 2048},
              },
              [this](const Request& r, std::vector<uint8_t>& b) { return Run(r, b); },
              [this] { return Requests(); });
}

TEST_F(TransferV3Test, BusDriverCutsBlocksFromVersion3) {
  Request one;
  one.length = 3000;
  Request pages;
  pages.length = 100 + 4096 + 4096 + 10;
  pages.page_size = 4;
  pages.table = {PageTableElement::Make(100, 0, 0x1F9C), PageTableElement::Make(4096, 0, 0x4000),
                 PageTableElement::Make(4096, 0, 0x9000), PageTableElement::Make(10, 0, 0xC000)};
  Request unrestricted;
  unrestricted.length = 70000;
  unrestricted.table = {PageTableElement::Make(0xFFFC, 0, 0x10000), PageTableElement::Make(70000 - 0xFFFC, 0, 0x30000)};
  CheckSplits(this,
              {
                  {"one request for a whole segment", one, {3000}, bus1394::TCODE_READ_BLOCK, 2048},
                  {"page boundaries still cut requests", pages, {100, 4096, 4096, 10}, bus1394::TCODE_READ_BLOCK,
                   2048},
                  {"segment boundaries cut requests", unrestricted, {0xFFFC, 70000 - 0xFFFC}, bus1394::TCODE_READ_BLOCK,
                   2048},
              },
              [this](const Request& r, std::vector<uint8_t>& b) { return Run(r, b); },
              [this] { return Requests(); });
}

TEST_F(TransferV3Test, ScatteredDataArrivesIntact) {
  // Three 4 KiB pages, the first entered 1000 bytes from its end, the last partly used.
  std::vector<PageTableElement> table = {PageTableElement::Make(1000, 0, 0x13000 - 1000),
                                         PageTableElement::Make(4096, 0, 0x20000),
                                         PageTableElement::Make(904, 0, 0x40000)};
  std::vector<uint8_t> source = Pattern(6000, 3);
  node_.Write(0x13000 - 1000, source.data(), 1000);
  node_.Write(0x20000, source.data() + 1000, 4096);
  node_.Write(0x40000, source.data() + 5096, 904);
  Request read;
  read.length = 6000;
  read.page_size = 4;
  read.table = table;
  std::vector<uint8_t> buffer(6000);
  uintptr_t info = 0;
  ASSERT_EQ(Run(read, buffer, &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 6000u);
  EXPECT_EQ(buffer, source);

  // And back the other way, to other places.
  std::vector<uint8_t> out = Pattern(6000, 91);
  Request write = read;
  write.read = false;
  write.table = {PageTableElement::Make(1000, 0, 0x53000 - 1000), PageTableElement::Make(4096, 0, 0x60000),
                 PageTableElement::Make(904, 0, 0x70000)};
  ASSERT_EQ(Run(write, out, &info), STATUS_SUCCESS);
  std::vector<uint8_t> back = node_.Read(0x53000 - 1000, 1000);
  auto mid = node_.Read(0x60000, 4096);
  auto last = node_.Read(0x70000, 904);
  back.insert(back.end(), mid.begin(), mid.end());
  back.insert(back.end(), last.begin(), last.end());
  EXPECT_EQ(back, out);
}

TEST_F(TransferV3Test, RefusedRequests) {
  std::vector<uint8_t> buffer(4096);
  struct Case {
    const char* name;
    Request request;
    uint32_t buffer_length;
    NTSTATUS status;
  };
  Request ok;
  ok.length = 4096;
  Request middle_short = ok;
  middle_short.length = 4096;
  middle_short.page_size = 4;
  middle_short.table = {PageTableElement::Make(4096, 0, 0x10000), PageTableElement::Make(2048, 0, 0x20000),
                        PageTableElement::Make(4096, 0, 0x30000)};
  Request zero_length_element = ok;
  zero_length_element.table = {PageTableElement::Make(0, 0, 0x10000), PageTableElement::Make(4096, 0, 0x20000)};
  Request too_many = ok;
  too_many.length = 513;
  too_many.table.assign(513, PageTableElement::Make(1, 0, 0x10000));
  Request short_table = ok;
  short_table.length = 4096;
  short_table.table = {PageTableElement::Make(2048, 0, 0x10000)};
  Case cases[] = {
      {"out buffer one byte longer than the transfer", ok, 4097, STATUS_INVALID_PARAMETER},
      {"page table whose middle element is short", middle_short, 4096, STATUS_INVALID_PARAMETER},
      {"page table element of length 0", zero_length_element, 4096, STATUS_INVALID_PARAMETER},
      {"513 page table elements", too_many, 513, STATUS_INVALID_PARAMETER},
      {"page table shorter than the transfer", short_table, 4096, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> in = Input(c.request);
    std::vector<uint8_t> out(c.buffer_length);
    hc_->ClearLog();
    EXPECT_EQ(SendSync(unit_, vsbp::IOCTL_VSBP_READ_INITIATOR, in.data(), static_cast<uint32_t>(in.size()),
                       out.data(), c.buffer_length),
              c.status)
        << c.name;
    EXPECT_TRUE(Requests().empty()) << c.name;
  }
  // An input that ends inside its page table.
  Request two = ok;
  two.page_size = 4;
  two.table = {PageTableElement::Make(2048, 0, 0x10800), PageTableElement::Make(2048, 0, 0x20000)};
  std::vector<uint8_t> in = Input(two);
  in.resize(in.size() - 1);
  EXPECT_EQ(SendSync(unit_, vsbp::IOCTL_VSBP_READ_INITIATOR, in.data(), static_cast<uint32_t>(in.size()),
                     buffer.data(), 4096),
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(TransferV3Test, StatusBlockFollowsTheData) {
  std::vector<uint8_t> data = Pattern(3000, 5);
  Request write;
  write.read = false;
  write.length = 3000;
  write.status = true;
  write.status_block[0] = vsbp::status_block::Make(1, vsbp::kRespRequestComplete, false, 0, 0);
  write.status_block[1] = 0x200;
  ASSERT_EQ(Run(write, data), STATUS_SUCCESS);
  auto accesses = node_.accesses();
  ASSERT_FALSE(accesses.empty());
  EXPECT_EQ(accesses.back().offset, 0x8000u);
  EXPECT_EQ(accesses.back().length, 8u);
  EXPECT_EQ(node_.ReadQuadlet(0x8000), write.status_block[0]);
  EXPECT_EQ(node_.ReadQuadlet(0x8004), 0x200u);
  EXPECT_EQ(node_.Read(0x1000, 3000), data);
}

TEST_F(TransferV3Test, FailedDataPhaseReportsTransportFailure) {
  // The bus fails every write to the data buffer; the status write still gets through.
  hc_->SetFaultHook([](const bus1394::LogEntry& e) {
    bus1394::FaultAction a;
    if (e.kind == bus1394::LogEntry::Kind::AsyncWrite && e.offset < 0x8000) {
      a.kind = bus1394::FaultAction::Kind::Fail;
      a.status = STATUS_IO_TIMEOUT;
    }
    return a;
  });
  std::vector<uint8_t> data = Pattern(512, 1);
  Request write;
  write.read = false;
  write.length = 512;
  write.status = true;
  write.status_block[0] = vsbp::status_block::Make(1, vsbp::kRespRequestComplete, false, 0, 0);
  EXPECT_EQ(Run(write, data), STATUS_IO_TIMEOUT);
  uint32_t q0 = node_.ReadQuadlet(0x8000);
  EXPECT_EQ(vsbp::status_block::resp(q0), vsbp::kRespTransportFailure);
  EXPECT_EQ(vsbp::status_block::sbp_status(q0), vsbp::kSbpDataBufferDataError);
  EXPECT_EQ(vsbp::status_block::src(q0), 1);
  EXPECT_EQ(vsbp::status_block::len(q0), 1);
}

TEST_F(TransferV3Test, StaleGenerationEndsWithBusReset) {
  std::vector<uint8_t> buffer(64);
  Request read;
  read.length = 64;
  read.generation_offset = -1;
  EXPECT_EQ(Run(read, buffer), STATUS_BUS_RESET);
  Request write = read;
  write.read = false;
  EXPECT_EQ(Run(write, buffer), STATUS_BUS_RESET);
  // A reset in the middle of a transfer: the next request fails with the bus driver's
  // generation status, which reaches user mode as a bus reset.
  hc_->SetFaultHook([](const bus1394::LogEntry& e) {
    bus1394::FaultAction a;
    if (e.kind == bus1394::LogEntry::Kind::AsyncRead && e.offset >= 0x2000) {
      a.kind = bus1394::FaultAction::Kind::Fail;
      a.status = bus1394::STATUS_FIREWIRE_GENERATION;
    }
    return a;
  });
  std::vector<uint8_t> big(3 * 4096);
  Request pages;
  pages.length = 3 * 4096;
  pages.page_size = 4;
  pages.table = {PageTableElement::Make(4096, 0, 0x1000), PageTableElement::Make(4096, 0, 0x2000),
                 PageTableElement::Make(4096, 0, 0x3000)};
  uintptr_t info = 0;
  EXPECT_EQ(Run(pages, big, &info), STATUS_BUS_RESET);
  EXPECT_EQ(info, 4096u) << "the bytes moved before the reset stay moved";
}

}  // namespace
}  // namespace ostrane::testing
