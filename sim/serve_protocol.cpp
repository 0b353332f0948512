#include "sim/serve_protocol.h"

#include <sys/socket.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace sim::serve {

Parsed::Kind CheckHeader(const RequestHeader& h, uint32_t max_transfer, Request* out, uint32_t* payload,
                         std::string* why) {
  *payload = 0;
  // Without the magic nothing says where the next header starts.
  if (h.magic.get() != kRequestMagic) {
    *why = "bad magic";
    return Parsed::Kind::kRefusedAndClose;
  }
  if (h.direction > static_cast<uint8_t>(Direction::kOut)) {
    *why = "bad direction";  // whether data follows is unknown
    return Parsed::Kind::kRefusedAndClose;
  }
  const auto direction = static_cast<Direction>(h.direction);
  const uint32_t length = static_cast<uint32_t>(h.transfer_len.get());
  if (direction == Direction::kOut) {
    // Data this long is not read only to be thrown away.
    if (length > max_transfer) {
      *why = "transfer longer than the initiator maps";
      return Parsed::Kind::kRefusedAndClose;
    }
    *payload = length;
  }
  if (h.cdb_len < kMinCdbLength || h.cdb_len > kMaxCdbLength) {
    *why = "cdb_len out of range";
    return Parsed::Kind::kRefused;
  }
  if (h.flags.get() != 0) {
    *why = "flags not 0";
    return Parsed::Kind::kRefused;
  }
  if (direction == Direction::kNone && length != 0) {
    *why = "transfer length without a direction";
    return Parsed::Kind::kRefused;
  }
  if (length > max_transfer) {
    *why = "transfer longer than the initiator maps";
    return Parsed::Kind::kRefused;
  }
  const std::optional<std::array<uint8_t, kOrbCdbLength>> cdb = OrbCdb({h.cdb, h.cdb_len});
  if (!cdb) {
    *why = "command block longer than an ORB carries";
    return Parsed::Kind::kRefused;
  }
  out->cdb = *cdb;
  out->direction = length == 0 ? Direction::kNone : direction;
  out->transfer_len = length;
  out->timeout_ms = static_cast<uint32_t>(h.timeout_ms.get());
  return Parsed::Kind::kRequest;
}

std::optional<std::array<uint8_t, kOrbCdbLength>> OrbCdb(std::span<const uint8_t> cdb) {
  if (cdb.empty() || cdb.size() > kMaxCdbLength) return std::nullopt;
  if (cdb.size() > kOrbCdbLength) {
    constexpr uint8_t kGroupOf16ByteCommands = 4;  // opcodes 0x80..0x9F
    if (cdb[0] >> 5 == kGroupOf16ByteCommands) return std::nullopt;
    if (std::any_of(cdb.begin() + kOrbCdbLength, cdb.end(), [](uint8_t b) { return b != 0; })) return std::nullopt;
  }
  std::array<uint8_t, kOrbCdbLength> out{};
  std::copy_n(cdb.begin(), std::min<size_t>(cdb.size(), kOrbCdbLength), out.begin());
  return out;
}

void RequestStream::Append(std::span<const uint8_t> bytes) {
  if (closed_) return;
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Parsed> RequestStream::Next() {
  if (closed_ || buffered() < sizeof(RequestHeader)) return std::nullopt;
  RequestHeader h;
  std::memcpy(&h, buffer_.data() + start_, sizeof h);
  Parsed parsed;
  uint32_t payload = 0;
  parsed.kind = CheckHeader(h, max_transfer_, &parsed.request, &payload, &parsed.why);
  if (parsed.kind == Parsed::Kind::kRefusedAndClose) {
    closed_ = true;
    buffer_.clear();
    start_ = 0;
    return parsed;
  }
  if (buffered() - sizeof(RequestHeader) < payload) return std::nullopt;
  const auto data = buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + sizeof(RequestHeader));
  if (parsed.kind == Parsed::Kind::kRequest && parsed.request.direction == Direction::kOut) {
    parsed.request.data_out.assign(data, data + payload);
  }
  start_ += sizeof(RequestHeader) + payload;
  // Keep what is buffered small: drop the consumed front once it dominates.
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > buffer_.size() / 2) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  return parsed;
}

namespace {

// A message: its header, then `parts` in order. Sized once and copied into rather than
// grown by insert, which gcc 12 misreads in release builds (a false -Warray-bounds and
// -Wstringop-overflow on the growth past a vector that holds just the header).
template <typename Header>
std::vector<uint8_t> Message(const Header& h, std::initializer_list<std::span<const uint8_t>> parts) {
  size_t size = sizeof h;
  for (const auto& p : parts) size += p.size();
  std::vector<uint8_t> out(size);
  std::memcpy(out.data(), &h, sizeof h);
  size_t at = sizeof h;
  for (const auto& p : parts) {
    std::copy(p.begin(), p.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    at += p.size();
  }
  return out;
}

}  // namespace

std::vector<uint8_t> EncodeResponse(const Response& r) {
  const size_t sense = std::min<size_t>(r.sense.size(), kMaxSenseLength);
  ResponseHeader h{};
  h.magic.set(kResponseMagic);
  h.scsi_status = r.scsi_status;
  h.sense_len = static_cast<uint8_t>(sense);
  h.transport.set(static_cast<uint16_t>(r.transport));
  h.data_len.set(r.data.empty() ? r.data_len : static_cast<uint32_t>(r.data.size()));
  h.duration_us.set(r.duration_us);
  return Message(h, {std::span<const uint8_t>(r.sense).first(sense), r.data});
}

std::vector<uint8_t> EncodeRequest(std::span<const uint8_t> cdb, Direction direction, uint32_t transfer_len,
                                   uint32_t timeout_ms, std::span<const uint8_t> data_out) {
  RequestHeader h{};
  h.magic.set(kRequestMagic);
  h.cdb_len = static_cast<uint8_t>(cdb.size());
  h.direction = static_cast<uint8_t>(direction);
  h.transfer_len.set(transfer_len);
  h.timeout_ms.set(timeout_ms);
  std::copy_n(cdb.begin(), std::min<size_t>(cdb.size(), sizeof h.cdb), h.cdb);
  return Message(h, {data_out});
}

std::optional<ResponseHeader> DecodeResponseHeader(std::span<const uint8_t, sizeof(ResponseHeader)> bytes) {
  ResponseHeader h;
  std::memcpy(&h, bytes.data(), sizeof h);
  if (h.magic.get() != kResponseMagic) return std::nullopt;
  return h;
}

const char* ToString(TransportCode code) {
  switch (code) {
    case TransportCode::kOk: return "ok";
    case TransportCode::kAborted: return "aborted";
    case TransportCode::kTimeout: return "timeout";
    case TransportCode::kNoDevice: return "no device";
    case TransportCode::kFailure: return "transport failure";
    case TransportCode::kMalformed: return "malformed request";
  }
  return "unknown";
}

const char* SenseKeyName(uint8_t key) {
  static constexpr const char* kNames[16] = {
      "NO SENSE",        "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",
      "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION",  "DATA PROTECT",
      "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",    "ABORTED COMMAND",
      "EQUAL",           "VOLUME OVERFLOW", "MISCOMPARE",      "COMPLETED"};
  return kNames[key & 0xF];
}

const char* AscName(uint8_t asc, uint8_t ascq) {
  struct Entry {
    uint8_t asc, ascq;
    const char* name;
  };
  static constexpr Entry kTable[] = {
      {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
      {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
      {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
      {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING COMMAND REQUIRED"},
      {0x11, 0x00, "UNRECOVERED READ ERROR"},
      {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
      {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
      {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
      {0x24, 0x00, "INVALID FIELD IN CDB"},
      {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
      {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
      {0x27, 0x00, "WRITE PROTECTED"},
      {0x28, 0x00, "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
      {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
      {0x2A, 0x01, "MODE PARAMETERS CHANGED"},
      {0x30, 0x02, "CANNOT READ MEDIUM - INCOMPATIBLE FORMAT"},
      {0x3A, 0x00, "MEDIUM NOT PRESENT"},
      {0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
      {0x3A, 0x02, "MEDIUM NOT PRESENT - TRAY OPEN"},
      {0x53, 0x02, "MEDIUM REMOVAL PREVENTED"},
      {0x64, 0x00, "ILLEGAL MODE FOR THIS TRACK"},
      {0x6F, 0x00, "COPY PROTECTION KEY EXCHANGE FAILURE - AUTHENTICATION FAILURE"},
  };
  for (const Entry& e : kTable) {
    if (e.asc == asc && e.ascq == ascq) return e.name;
  }
  return nullptr;
}

bool SendAll(int fd, std::span<const uint8_t> bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, uint8_t* out, size_t length) {
  size_t at = 0;
  while (at < length) {
    const ssize_t n = ::recv(fd, out + at, length - at, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace sim::serve
