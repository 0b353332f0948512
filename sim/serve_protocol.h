// The SCSI pass-through protocol of `skellmere-sim serve`: one SCSI command per request on
// a Unix-domain stream socket, answered with what the simulated initiator got back. Other
// tools connect through it, so the two headers are fixed records, little-endian, with
// their sizes and offsets asserted. Nothing here needs the machine: the framing and the
// checks of a request are the part a client controls, and the fuzz target drives them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::serve {

// A little-endian integer as it lies in a header; no alignment needed.
template <size_t N>
struct LeInt {
  uint8_t bytes[N];

  uint64_t get() const {
    uint64_t v = 0;
    for (size_t i = N; i-- > 0;) v = v << 8 | bytes[i];
    return v;
  }
  void set(uint64_t v) {
    for (size_t i = 0; i < N; ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));
  }
};
using Le16 = LeInt<2>;
using Le32 = LeInt<4>;

constexpr uint32_t kRequestMagic = 0x31505356;   // "VSP1" as it lies on the wire
constexpr uint32_t kResponseMagic = 0x31525356;  // "VSR1"
constexpr uint8_t kMinCdbLength = 6;
constexpr uint8_t kMaxCdbLength = 16;
// An SBP-2 command ORB of this system carries 12 bytes of command block.
constexpr uint8_t kOrbCdbLength = 12;
constexpr uint8_t kMaxSenseLength = 252;
// What the simulated initiator maps for one command: a page table of at most 512 elements
// of 4 KiB pages, the layout of the linked-ORB initiator (the other maps more).
constexpr uint32_t kMaxTransfer = 512 * 4096;

enum class Direction : uint8_t { kNone = 0, kIn = 1, kOut = 2 };  // In: device to host

enum class TransportCode : uint16_t {
  kOk = 0,
  kAborted = 1,    // a bus reset or task management ended the command
  kTimeout = 2,
  kNoDevice = 3,   // no device, or not logged in
  kFailure = 4,    // the transport failed
  kMalformed = 5,  // the request itself was refused
};

struct RequestHeader {
  Le32 magic;
  uint8_t cdb_len;
  uint8_t direction;
  Le16 flags;  // none defined: must be 0
  Le32 transfer_len;
  Le32 timeout_ms;  // 0: the server's default
  uint8_t cdb[16];  // zero-padded
};
static_assert(sizeof(RequestHeader) == 32);
static_assert(offsetof(RequestHeader, cdb_len) == 4);
static_assert(offsetof(RequestHeader, direction) == 5);
static_assert(offsetof(RequestHeader, flags) == 6);
static_assert(offsetof(RequestHeader, transfer_len) == 8);
static_assert(offsetof(RequestHeader, timeout_ms) == 12);
static_assert(offsetof(RequestHeader, cdb) == 16);

struct ResponseHeader {
  Le32 magic;
  uint8_t scsi_status;
  uint8_t sense_len;  // fixed-format sense bytes that follow
  Le16 transport;     // TransportCode
  Le32 data_len;      // direction 1: bytes that follow the sense; direction 2: bytes accepted
  Le32 duration_us;   // from submission to status, as the initiator saw it
};
static_assert(sizeof(ResponseHeader) == 16);
static_assert(offsetof(ResponseHeader, scsi_status) == 4);
static_assert(offsetof(ResponseHeader, sense_len) == 5);
static_assert(offsetof(ResponseHeader, transport) == 6);
static_assert(offsetof(ResponseHeader, data_len) == 8);
static_assert(offsetof(ResponseHeader, duration_us) == 12);

// A request that passed the checks, ready to go to the drive.
struct Request {
  std::array<uint8_t, kOrbCdbLength> cdb{};  // as the ORB carries it
  Direction direction = Direction::kNone;
  uint32_t transfer_len = 0;
  uint32_t timeout_ms = 0;
  std::vector<uint8_t> data_out;  // direction 2
};

// What a connection's next bytes amount to.
struct Parsed {
  enum class Kind {
    kRequest,         // `request` is valid
    kRefused,         // answer transport 5; the connection goes on with the next header
    kRefusedAndClose  // answer transport 5 and close: the stream's framing is lost
  };
  Kind kind = Kind::kRequest;
  Request request;
  std::string why;  // of a refusal, for the server's log
};

// Checks a header on its own; `payload` gets the bytes that follow it on the stream. Only
// for kRequest is `out` filled in (without its data).
Parsed::Kind CheckHeader(const RequestHeader& header, uint32_t max_transfer, Request* out, uint32_t* payload,
                         std::string* why);

// The command block a CDB of `length` bytes becomes in an ORB, or nothing when it cannot be
// carried: up to 12 bytes as they are; 13 to 16 only when every byte past the twelfth is
// zero padding and the opcode is not of the 16-byte group, so the drive sees the same
// command it was sent.
std::optional<std::array<uint8_t, kOrbCdbLength>> OrbCdb(std::span<const uint8_t> cdb);

// The byte stream of one connection, cut into requests.
class RequestStream {
 public:
  explicit RequestStream(uint32_t max_transfer = kMaxTransfer) : max_transfer_(max_transfer) {}

  void Append(std::span<const uint8_t> bytes);
  // The next complete request or refusal, or nothing until more bytes come. After a
  // kRefusedAndClose nothing more comes.
  std::optional<Parsed> Next();
  bool closed() const { return closed_; }
  // Bytes held for a request not yet complete.
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  uint32_t max_transfer_;
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;  // first byte not yet consumed
  bool closed_ = false;
};

struct Response {
  uint8_t scsi_status = 0;
  TransportCode transport = TransportCode::kOk;
  uint32_t data_len = 0;  // for direction 2; for direction 1 the size of `data`
  uint32_t duration_us = 0;
  std::vector<uint8_t> sense;  // truncated to kMaxSenseLength
  std::vector<uint8_t> data;   // direction 1
};

std::vector<uint8_t> EncodeResponse(const Response& response);
std::vector<uint8_t> EncodeRequest(std::span<const uint8_t> cdb, Direction direction, uint32_t transfer_len,
                                   uint32_t timeout_ms, std::span<const uint8_t> data_out = {});
// A response header from the wire, or nothing when its magic is wrong.
std::optional<ResponseHeader> DecodeResponseHeader(std::span<const uint8_t, sizeof(ResponseHeader)> bytes);

const char* ToString(TransportCode code);
// Names of sense keys and of the common additional sense codes (null when not in the table).
const char* SenseKeyName(uint8_t key);
const char* AscName(uint8_t asc, uint8_t ascq);

// The two ends' socket I/O. SendAll sends every byte, without SIGPIPE when the peer has
// gone; ReceiveAll waits for exactly `length` bytes. Both carry on after a signal and
// return false when the connection ended or failed first.
bool SendAll(int fd, std::span<const uint8_t> bytes);
bool ReceiveAll(int fd, uint8_t* out, size_t length);

}  // namespace sim::serve
