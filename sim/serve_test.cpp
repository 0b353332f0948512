// `skellmere-sim serve` as other tools meet it: the request framing and its refusals on
// their own, then the server process on a generated disc image, driven through a raw
// socket and through `skellmere-scsi`. Every server test ends the server with SIGTERM and
// checks that it ended cleanly and removed its socket file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/serve_protocol.h"

extern char** environ;

namespace sim::serve {
namespace {

namespace fs = std::filesystem;

// ---- Framing and checks -------------------------------------------------------------------

TEST(ServeProtocol, HeadersAreLittleEndianAtTheirOffsets) {
  const uint8_t cdb[10] = {0x28, 0, 0, 0, 0x12, 0x34, 0, 0, 2, 0};
  const std::vector<uint8_t> bytes = EncodeRequest(cdb, Direction::kIn, 4096, 1500);
  const std::vector<uint8_t> golden = {
      'V', 'S', 'P', '1', 10, 1, 0, 0, 0x00, 0x10, 0, 0, 0xDC, 0x05, 0, 0,  // header
      0x28, 0, 0, 0, 0x12, 0x34, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};             // cdb, padded
  EXPECT_EQ(bytes, golden);

  Response r;
  r.scsi_status = 2;
  r.transport = TransportCode::kOk;
  r.duration_us = 0x01020304;
  r.sense = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> answer = EncodeResponse(r);
  ASSERT_EQ(answer.size(), 16u + 18u);
  const std::vector<uint8_t> head(answer.begin(), answer.begin() + 16);
  EXPECT_EQ(head, (std::vector<uint8_t>{'V', 'S', 'R', '1', 2, 18, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1}));
  const std::optional<ResponseHeader> h = DecodeResponseHeader(std::span<const uint8_t, 16>(answer.data(), 16));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->duration_us.get(), 0x01020304u);
  EXPECT_EQ(h->sense_len, 18);
  EXPECT_EQ(answer[16 + 12], 0x21);
}

RequestHeader Header(uint8_t cdb_len, uint8_t direction, uint32_t transfer_len,
                     std::initializer_list<uint8_t> cdb = {0x12}) {
  RequestHeader h{};
  h.magic.set(kRequestMagic);
  h.cdb_len = cdb_len;
  h.direction = direction;
  h.transfer_len.set(transfer_len);
  std::copy(cdb.begin(), cdb.end(), h.cdb);
  return h;
}

TEST(ServeProtocol, HeaderChecks) {
  using Kind = Parsed::Kind;
  struct Row {
    const char* name;
    RequestHeader header;
    Kind kind;
    uint32_t payload;  // bytes the stream skips or takes after the header
  };
  RequestHeader bad_magic = Header(6, 0, 0);
  bad_magic.magic.set(0x31505357);
  RequestHeader flags = Header(6, 2, 8);
  flags.flags.set(1);
  const Row rows[] = {
      {"inquiry", Header(6, 1, 36), Kind::kRequest, 0},
      {"write of 8 bytes", Header(10, 2, 8, {0x2A}), Kind::kRequest, 8},
      {"largest mapped transfer", Header(10, 1, kMaxTransfer, {0x28}), Kind::kRequest, 0},
      {"direction 1 of nothing", Header(6, 1, 0, {0x00}), Kind::kRequest, 0},
      {"bad magic", bad_magic, Kind::kRefusedAndClose, 0},
      {"direction 3", Header(6, 3, 0), Kind::kRefusedAndClose, 0},
      {"write beyond the mapping", Header(10, 2, kMaxTransfer + 1), Kind::kRefusedAndClose, 0},
      {"cdb_len 5", Header(5, 0, 0), Kind::kRefused, 0},
      {"cdb_len 17 with data out", Header(17, 2, 4), Kind::kRefused, 4},
      {"flags", flags, Kind::kRefused, 8},
      {"length without direction", Header(6, 0, 4), Kind::kRefused, 0},
      {"read beyond the mapping", Header(10, 1, kMaxTransfer + 1), Kind::kRefused, 0},
      {"16-byte opcode", Header(16, 1, 2048, {0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), Kind::kRefused, 0},
      {"16-byte opcode, zero tail", Header(16, 0, 0, {0x88}), Kind::kRefused, 0},
      {"bytes past the twelfth", Header(13, 0, 0, {0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}), Kind::kRefused, 0},
      {"12-byte command padded to 16", Header(16, 1, 2048, {0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1}), Kind::kRequest, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Request request;
    uint32_t payload = 99;
    std::string why;
    EXPECT_EQ(CheckHeader(row.header, kMaxTransfer, &request, &payload, &why), row.kind);
    EXPECT_EQ(payload, row.payload);
    EXPECT_EQ(why.empty(), row.kind == Kind::kRequest);
    if (row.kind == Kind::kRequest) {
      EXPECT_EQ(request.cdb[0], row.header.cdb[0]);
    }
  }
}

// Requests that come in pipelined, a byte at a time: each is cut out whole, a refusal in the
// middle skips just its own data, and after a bad magic nothing more is read.
TEST(ServeProtocol, StreamCutsPipelinedRequestsWhateverTheChunks) {
  const uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
  const uint8_t write[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  std::vector<uint8_t> stream = EncodeRequest(inquiry, Direction::kIn, 36, 0);
  const std::vector<uint8_t> out = {1, 2, 3, 4, 5};
  for (const std::vector<uint8_t>& part :
       {EncodeRequest(write, Direction::kOut, 5, 0, out),
        EncodeRequest(std::span<const uint8_t>(write, 5), Direction::kOut, 5, 0, out),  // cdb_len 5
        EncodeRequest(inquiry, Direction::kNone, 0, 0)}) {
    stream.insert(stream.end(), part.begin(), part.end());
  }
  std::vector<uint8_t> garbage(40, 0xEE);
  stream.insert(stream.end(), garbage.begin(), garbage.end());

  for (size_t chunk : {size_t{1}, size_t{7}, stream.size()}) {
    SCOPED_TRACE(chunk);
    RequestStream s;
    std::vector<Parsed> got;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      s.Append(std::span<const uint8_t>(stream).subspan(at, std::min(chunk, stream.size() - at)));
      while (std::optional<Parsed> p = s.Next()) got.push_back(std::move(*p));
    }
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].kind, Parsed::Kind::kRequest);
    EXPECT_EQ(got[0].request.transfer_len, 36u);
    EXPECT_EQ(got[1].kind, Parsed::Kind::kRequest);
    EXPECT_EQ(got[1].request.data_out, out);
    EXPECT_EQ(got[2].kind, Parsed::Kind::kRefused);
    EXPECT_EQ(got[3].kind, Parsed::Kind::kRequest);
    EXPECT_EQ(got[3].request.direction, Direction::kNone);
    EXPECT_EQ(got[4].kind, Parsed::Kind::kRefusedAndClose);
    EXPECT_TRUE(s.closed());
    EXPECT_EQ(s.buffered(), 0u);
  }
}

// ---- The server -----------------------------------------------------------------------------

constexpr uint32_t kSector = 2048;
constexpr uint32_t kSectors = 600;

uint8_t PatternByte(size_t i) { return static_cast<uint8_t>(i * 31 + (i >> 11) * 7 + 1); }

std::vector<uint8_t> Read10(uint32_t lba, uint16_t count) {
  return {0x28, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
          static_cast<uint8_t>(lba), 0, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0};
}

struct Answer {
  bool ok = false;  // a whole answer came back
  bool closed_after = false;
  uint8_t status = 0xFF;
  TransportCode transport = TransportCode::kMalformed;
  uint32_t data_len = 0;
  std::vector<uint8_t> sense;
  std::vector<uint8_t> data;

  uint8_t key() const { return sense.size() >= 14 ? sense[2] & 0xF : 0xFF; }
  uint8_t asc() const { return sense.size() >= 14 ? sense[12] : 0xFF; }
  uint8_t ascq() const { return sense.size() >= 14 ? sense[13] : 0xFF; }
};

bool ReceiveAll(int fd, uint8_t* out, size_t n) {
  for (size_t at = 0; at < n;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20'000) != 1) return false;
    const ssize_t got = ::recv(fd, out + at, n - at, 0);
    if (got <= 0) return false;
    at += static_cast<size_t>(got);
  }
  return true;
}

// A connection to the server.
class Client {
 public:
  explicit Client(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return fd_ >= 0; }

  bool Send(const std::vector<uint8_t>& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  Answer Receive(Direction direction) {
    Answer a;
    uint8_t raw[sizeof(ResponseHeader)];
    if (!ReceiveAll(fd_, raw, sizeof raw)) return a;
    const std::optional<ResponseHeader> h = DecodeResponseHeader(raw);
    if (!h) return a;
    a.status = h->scsi_status;
    a.transport = static_cast<TransportCode>(h->transport.get());
    a.data_len = static_cast<uint32_t>(h->data_len.get());
    a.sense.resize(h->sense_len);
    a.data.resize(direction == Direction::kIn ? a.data_len : 0);
    a.ok = ReceiveAll(fd_, a.sense.data(), a.sense.size()) && ReceiveAll(fd_, a.data.data(), a.data.size());
    return a;
  }
  Answer Exchange(const std::vector<uint8_t>& cdb, Direction direction, uint32_t length = 0) {
    if (!Send(EncodeRequest(cdb, direction, length, 0))) return {};
    return Receive(direction);
  }
  // True when the server has closed its end: a read finds the end of the stream.
  bool ClosedByServer() {
    pollfd p{fd_, POLLIN, 0};
    uint8_t b;
    return ::poll(&p, 1, 5'000) == 1 && ::recv(fd_, &b, 1, 0) == 0;
  }

 private:
  int fd_ = -1;
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02x ", v);
    out += b;
  }
  return out;
}

// A server process on a generated image in a directory of the test's own.
class Serve : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("serve_test_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    image_.resize(size_t{kSectors} * kSector);
    for (size_t i = 0; i < image_.size(); ++i) image_[i] = PatternByte(i);
    const std::string iso = (dir_ / "disc.iso").string();
    std::ofstream(iso, std::ios::binary)
        .write(reinterpret_cast<const char*>(image_.data()), static_cast<std::streamsize>(image_.size()));
    socket_ = (dir_ / "drive.sock").string();
    Start(iso);
  }

  void TearDown() override {
    if (pid_ > 0) {
      EXPECT_EQ(Stop(SIGTERM), 0) << "the server did not end cleanly on SIGTERM";
      EXPECT_FALSE(fs::exists(socket_)) << "socket file left behind";
    }
    fs::remove_all(dir_);
  }

  void Start(const std::string& iso) {
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args = {SKM_SIM_BINARY, "serve", iso, "--socket", socket_, "--unpaced"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, SKM_SIM_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ASSERT_EQ(spawned, 0);
    stdout_ = out[0];
    // The server says "ready" once its socket listens.
    std::string seen;
    while (seen.find('\n') == std::string::npos) {
      pollfd p{stdout_, POLLIN, 0};
      char buffer[256];
      ssize_t n = 0;
      if (::poll(&p, 1, 60'000) != 1 || (n = ::read(stdout_, buffer, sizeof buffer)) <= 0) break;
      seen.append(buffer, static_cast<size_t>(n));
    }
    ASSERT_NE(seen.find("ready"), std::string::npos) << "server output: " << seen;
  }

  // Sends `signal` and returns the exit status (-1 when the server did not exit normally).
  int Stop(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    const pid_t waited = ::waitpid(pid_, &status, 0);
    pid_ = -1;
    ::close(stdout_);
    return waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::vector<uint8_t> Sectors(uint32_t lba, uint32_t count) const {
    return {image_.begin() + static_cast<std::ptrdiff_t>(lba) * kSector,
            image_.begin() + static_cast<std::ptrdiff_t>(lba + count) * kSector};
  }

  // Runs skellmere-scsi with `args`; its output, and the exit status in `status`.
  std::string Tool(const std::string& args, int* status) {
    const std::string command = std::string(SKM_SCSI_BINARY) + " --socket " + socket_ + " " + args;
    FILE* p = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    const int s = ::pclose(p);
    *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return out;
  }

  fs::path dir_;
  std::vector<uint8_t> image_;
  std::string socket_;
  pid_t pid_ = -1;
  int stdout_ = -1;
};

TEST_F(Serve, AnswersAsTheDriveAnswersTheInitiator) {
  Client c(socket_);
  ASSERT_TRUE(c.connected());

  const Answer inquiry = c.Exchange({0x12, 0, 0, 0, 36, 0}, Direction::kIn, 36);
  ASSERT_TRUE(inquiry.ok);
  EXPECT_EQ(inquiry.transport, TransportCode::kOk);
  EXPECT_EQ(inquiry.status, 0);
  ASSERT_EQ(inquiry.data.size(), 36u);
  EXPECT_EQ(inquiry.data[0] & 0x1F, 5) << "peripheral device type: an MMC drive";

  const Answer capacity = c.Exchange({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Direction::kIn, 8);
  ASSERT_TRUE(capacity.ok);
  ASSERT_EQ(capacity.data.size(), 8u) << Hex(capacity.sense);
  EXPECT_EQ(capacity.data, (std::vector<uint8_t>{0, 0, (kSectors - 1) >> 8, (kSectors - 1) & 0xFF, 0, 0, 8, 0}));

  // Short reads go direct or in one page; 64 KiB and more need a page table.
  for (const auto& [lba, count] : {std::pair<uint32_t, uint16_t>{0, 1}, {17, 3}, {100, 32}, {kSectors - 300, 300}}) {
    SCOPED_TRACE(lba);
    const Answer read = c.Exchange(Read10(lba, count), Direction::kIn, count * kSector);
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(read.status, 0) << Hex(read.sense);
    EXPECT_TRUE(read.data == Sectors(lba, count)) << "data differ from the image";
  }

  const Answer config = c.Exchange({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, Direction::kIn, 8);
  ASSERT_TRUE(config.ok);
  EXPECT_EQ(config.status, 0) << Hex(config.sense);
  ASSERT_EQ(config.data.size(), 8u);
  EXPECT_NE(config.data[6] << 8 | config.data[7], 0) << "a current profile for a mounted disc";

  const Answer past = c.Exchange(Read10(kSectors, 1), Direction::kIn, kSector);
  ASSERT_TRUE(past.ok);
  EXPECT_EQ(past.transport, TransportCode::kOk);
  EXPECT_EQ(past.status, 2);
  EXPECT_EQ(past.data_len, 0u);
  EXPECT_EQ(std::vector<uint8_t>({past.key(), past.asc(), past.ascq()}), (std::vector<uint8_t>{5, 0x21, 0}));

  // Data out reaches the drive: MODE SELECT(10) takes a parameter list of the length its
  // CDB announces and refuses a shorter one (5/1A/00), and the stream stays in step.
  const std::vector<uint8_t> mode_select = {0x55, 0x10, 0, 0, 0, 0, 0, 0, 8, 0};
  const std::vector<uint8_t> header_only = {0, 6, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(c.Send(EncodeRequest(mode_select, Direction::kOut, 8, 0, header_only)));
  const Answer selected = c.Receive(Direction::kOut);
  EXPECT_EQ(selected.status, 0) << Hex(selected.sense);
  EXPECT_EQ(selected.data_len, 8u);
  ASSERT_TRUE(c.Send(EncodeRequest(mode_select, Direction::kOut, 4, 0, std::span(header_only).first(4))));
  const Answer short_list = c.Receive(Direction::kOut);
  EXPECT_EQ(short_list.status, 2);
  EXPECT_EQ(std::vector<uint8_t>({short_list.key(), short_list.asc()}), (std::vector<uint8_t>{5, 0x1A}));
  EXPECT_EQ(short_list.data_len, 0u);

  // Refusals that keep the framing leave the connection usable.
  EXPECT_EQ(c.Exchange({0x12, 0, 0, 0, 36}, Direction::kIn, 36).transport, TransportCode::kMalformed);
  EXPECT_EQ(c.Exchange({0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, Direction::kIn, kSector).transport,
            TransportCode::kMalformed);
  EXPECT_EQ(c.Exchange(Read10(0, 1), Direction::kIn, kMaxTransfer + 1).transport, TransportCode::kMalformed);
  const Answer again = c.Exchange(Read10(5, 1), Direction::kIn, kSector);
  EXPECT_TRUE(again.ok && again.status == 0 && again.data == Sectors(5, 1));

  // A bad magic loses the framing: answered, then closed.
  std::vector<uint8_t> bad = EncodeRequest(std::vector<uint8_t>{0x00, 0, 0, 0, 0, 0}, Direction::kNone, 0, 0);
  bad[0] = 'X';
  ASSERT_TRUE(c.Send(bad));
  const Answer refused = c.Receive(Direction::kNone);
  EXPECT_TRUE(refused.ok);
  EXPECT_EQ(refused.transport, TransportCode::kMalformed);
  EXPECT_TRUE(c.ClosedByServer());

  // And the server goes on with the next connection.
  Client next(socket_);
  EXPECT_EQ(next.Exchange({0x00, 0, 0, 0, 0, 0}, Direction::kNone).status, 0);
}

TEST_F(Serve, ClientToolPrintsStatusSenseAndData) {
  int status = -1;
  std::string out = Tool("--read 36 12 00 00 00 24 00", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("status: GOOD"), std::string::npos) << out;
  EXPECT_NE(out.find("data in: 36 bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("00000000  05"), std::string::npos) << out;

  static_assert(kSectors == 0x258);
  out = Tool("--read 2048 2800000002580000 0100", &status);  // one sector past the end
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("CHECK CONDITION"), std::string::npos) << out;
  EXPECT_NE(out.find("key 5 ILLEGAL REQUEST, ASC/ASCQ 21/00 LOGICAL BLOCK ADDRESS OUT OF RANGE"), std::string::npos)
      << out;

  const std::string file = (dir_ / "sectors.bin").string();
  out = Tool("--read 4096 --outfile " + file + " 28 00 00 00 00 07 00 00 02 00", &status);
  EXPECT_EQ(status, 0) << out;
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> got{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_TRUE(got == Sectors(7, 2)) << "the file holds " << got.size() << " bytes, not sectors 7 and 8";

  // A 16-byte command never reaches the drive: the ORB carries 12 bytes.
  out = Tool("--read 2048 88 00 00 00 00 00 00 00 00 01 00 00 00 01 00 00", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("status: none, transport: malformed request (5)"), std::string::npos) << out;

  out = Tool("--read 36 zz", &status);
  EXPECT_EQ(status, 2) << out;
}

// The mixed-mode CUE/BIN (a data track from 0, audio track 2 from 450 after its stored
// pregap, audio track 3 from 750, the lead-out at 950) asked for its TOC in LBA form one
// starting track at a time, as CD drivers and rippers ask for it.
TEST_F(Serve, ReadTocStartsAtTheStartingTrack) {
  ASSERT_EQ(Stop(SIGTERM), 0);
  Start(SKM_MIXED_IMAGE);
  Client c(socket_);
  ASSERT_TRUE(c.connected());
  auto toc = [&c](uint8_t from, uint16_t allocation) {
    return c.Exchange({0x43, 0, 0, 0, 0, 0, from, static_cast<uint8_t>(allocation >> 8),
                       static_cast<uint8_t>(allocation), 0},
                      Direction::kIn, allocation);
  };
  const std::vector<uint8_t> track1 = {0, 0x14, 1, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> track2 = {0, 0x10, 2, 0, 0, 0, 0x01, 0xC2};
  const std::vector<uint8_t> track3 = {0, 0x10, 3, 0, 0, 0, 0x02, 0xEE};
  const std::vector<uint8_t> lead_out = {0, 0x10, 0xAA, 0, 0, 0, 0x03, 0xB6};
  auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  struct Row {
    uint8_t from;
    uint16_t allocation;
    std::vector<uint8_t> answer;
  };
  const Row rows[] = {
      {0, 804, join({{0, 0x22, 1, 3}, track1, track2, track3, lead_out})},
      {1, 804, join({{0, 0x22, 1, 3}, track1, track2, track3, lead_out})},
      {1, 12, join({{0, 0x22, 1, 3}, track1})},
      {2, 12, join({{0, 0x1A, 1, 3}, track2})},
      {2, 804, join({{0, 0x1A, 1, 3}, track2, track3, lead_out})},
      {3, 12, join({{0, 0x12, 1, 3}, track3})},
      {3, 804, join({{0, 0x12, 1, 3}, track3, lead_out})},
      {0xAA, 12, join({{0, 0x0A, 1, 3}, lead_out})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "starting track " << int{row.from} << ", allocation "
                                      << row.allocation);
    const Answer a = toc(row.from, row.allocation);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.status, 0) << Hex(a.sense);
    // SBP-2 reports no residue: the rest of the allocation comes back as it was sent, zero.
    ASSERT_EQ(a.data.size(), row.allocation);
    std::vector<uint8_t> expected = row.answer;
    expected.resize(row.allocation, 0);
    EXPECT_EQ(Hex(a.data), Hex(expected));
  }
  const Answer past = toc(4, 12);
  ASSERT_TRUE(past.ok);
  EXPECT_EQ(past.status, 2);
  EXPECT_EQ(std::vector<uint8_t>({past.key(), past.asc(), past.ascq()}), (std::vector<uint8_t>{5, 0x24, 0}));
}

// Two clients with commands on the login at the same time, each getting its own answers;
// a third connection is left open and idle when the server is told to end.
TEST_F(Serve, ConnectionsAtOnceAreEachServed) {
  Client idle(socket_);
  ASSERT_TRUE(idle.connected());
  auto reader = [this](uint32_t first, bool* ok) {
    Client c(socket_);
    *ok = c.connected();
    for (uint32_t lba = first; *ok && lba < first + 256; lba += 32) {
      const Answer a = c.Exchange(Read10(lba, 32), Direction::kIn, 32 * kSector);
      *ok = a.ok && a.status == 0 && a.data == Sectors(lba, 32);
    }
  };
  bool ok_a = false, ok_b = false;
  std::thread a(reader, 0, &ok_a);
  std::thread b(reader, 300, &ok_b);
  a.join();
  b.join();
  EXPECT_TRUE(ok_a);
  EXPECT_TRUE(ok_b);
}

// A bus reset forced while a long read is under way: the read either completes with the
// right data or is reported aborted, and the command after it succeeds.
TEST_F(Serve, CommandDuringABusResetCompletesOrIsAbortedAndTheNextSucceeds) {
  Client c(socket_);
  ASSERT_TRUE(c.connected());
  int completed = 0, aborted = 0;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    // The reset just before the command (it is sent while the initiator reconnects) or
    // just after it (it is on the bus or in the drive).
    const bool reset_first = round % 2 == 0;
    if (reset_first) ::kill(pid_, SIGUSR1);
    ASSERT_TRUE(c.Send(EncodeRequest(Read10(0, 512), Direction::kIn, 512 * kSector, 0)));
    if (!reset_first) ::kill(pid_, SIGUSR1);
    const Answer during = c.Receive(Direction::kIn);
    ASSERT_TRUE(during.ok);
    if (during.transport == TransportCode::kOk) {
      EXPECT_EQ(during.status, 0) << Hex(during.sense);
      EXPECT_TRUE(during.data == Sectors(0, 512));
      ++completed;
    } else {
      EXPECT_EQ(during.transport, TransportCode::kAborted);
      EXPECT_TRUE(during.data.empty());
      ++aborted;
    }
    const Answer next = c.Exchange(Read10(200, 4), Direction::kIn, 4 * kSector);
    ASSERT_TRUE(next.ok);
    EXPECT_EQ(next.transport, TransportCode::kOk);
    EXPECT_EQ(next.status, 0) << Hex(next.sense);
    EXPECT_TRUE(next.data == Sectors(200, 4));
  }
  std::printf("in flight at the reset: %d completed, %d aborted\n", completed, aborted);
}

}  // namespace
}  // namespace sim::serve
