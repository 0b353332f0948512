// Inside the engine: one medium request in flight and the answer families that serve it. The
// answer records are byte arrays with big-endian field types, so their layout is the wire
// layout and the static_asserts below pin it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ravelkit/ravelkit.h"
#include "ravelkit/source.h"

namespace ravelkit {

// Big-endian fields of answers; CDB fields are read with the GetBe functions below.
struct Be16 {
  uint8_t b[2];
  void Set(uint32_t v) {
    b[0] = static_cast<uint8_t>(v >> 8);
    b[1] = static_cast<uint8_t>(v);
  }
};
struct Be32 {
  uint8_t b[4];
  void Set(uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  }
};
static_assert(sizeof(Be16) == 2 && sizeof(Be32) == 4 && alignof(Be32) == 1);

inline uint32_t GetBe16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
inline uint32_t GetBe24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
inline uint32_t GetBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

struct Sense {
  uint8_t key = 0, asc = 0, ascq = 0;
};
inline constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
inline constexpr Sense kLbaOutOfRange{0x05, 0x21, 0x00};
inline constexpr Sense kInvalidField{0x05, 0x24, 0x00};
inline constexpr Sense kCommandSequenceError{0x05, 0x2C, 0x00};
inline constexpr Sense kIncompatibleMedium{0x05, 0x30, 0x02};  // cannot read: incompatible format
inline constexpr Sense kNoAgidAvailable{0x05, 0x55, 0x00};     // system resource failure
inline constexpr Sense kIllegalModeForTrack{0x05, 0x64, 0x00};
inline constexpr Sense kKeyExchangeAuthFailure{0x05, 0x6F, 0x00};
inline constexpr Sense kWriteProtected{0x07, 0x27, 0x00};
inline constexpr Sense kUnrecoveredRead{0x03, 0x11, 0x00};

// What the engine remembers about an image between requests besides the head.
struct DriveState {
  uint8_t grantedAgids = 0;  // bit n: authentication grant ID n is in use (n < 4)
};

// One request in flight: the CDB, where the data goes, the head, and the outcome.
class Request {
 public:
  Request(Source& src, MediaRequest& req, uint64_t head, DriveState& state)
      : src_(src), req_(req), state_(state), head_(head) {
    std::memcpy(cdb_, req.cdb, sizeof(cdb_));
  }

  const uint8_t* cdb() const { return cdb_; }
  Source& source() const { return src_; }
  const ImageLayout& layout() const { return src_.layout(); }
  const Disc& disc() const { return src_.disc(); }
  MediumClass medium() const { return src_.layout().medium; }
  DriveState& state() const { return state_; }
  uint32_t flags() const { return req_.flags; }
  uint64_t head() const { return head_; }
  int64_t firstRead() const { return firstRead_; }
  bool checked() const { return check_; }
  bool failed() const { return failed_; }
  const Sense& sense() const { return sense_; }

  // Sectors on the medium: the lead-out of the last session.
  uint64_t Capacity() const {
    return static_cast<uint64_t>(std::max<int32_t>(src_.disc().LeadOut(), 0));
  }

  void Check(Sense s) {
    if (check_) return;  // the first error is the one reported
    check_ = true;
    sense_ = s;
  }

  // Moves data towards the initiator. What lies beyond the request's byte count is dropped,
  // as a drive's transfer would be cut at the initiator's buffer. False when the data
  // cannot be moved at all (the request then fails).
  bool Put(const void* data, uint32_t len) {
    if (offset_ >= req_.byteCount || len == 0) return true;
    uint32_t n = std::min(len, req_.byteCount - offset_);
    if (req_.copy == nullptr) {
      failed_ = true;
      return false;
    }
    req_.copy(req_.copyContext, const_cast<void*>(data), n, offset_, kCopyToRequest);
    offset_ += n;
    return true;
  }

  // A whole answer limited by the CDB's allocation length.
  void Answer(const void* data, size_t size, uint32_t allocation) {
    Put(data, static_cast<uint32_t>(std::min<size_t>(size, allocation)));
  }
  template <typename T>
  void Answer(const T& record, uint32_t allocation) {
    Answer(&record, sizeof(record), allocation);
  }

  // A sector has been read: the head continues after it.
  void Touched(int32_t lba) {
    if (firstRead_ < 0) firstRead_ = lba;
    head_ = static_cast<uint64_t>(lba) + 1;
  }

 private:
  Source& src_;
  MediaRequest& req_;
  DriveState& state_;
  uint8_t cdb_[16];
  uint32_t offset_ = 0;
  uint64_t head_;
  int64_t firstRead_ = -1;
  bool check_ = false;
  bool failed_ = false;
  Sense sense_;
};

// The header of an answer whose length varies: the length counts the bytes after its own
// field; the two bytes after it are the first and last track or session of a TOC and
// reserved (zero) in a disc structure.
struct ListHeader {
  Be16 length;
  uint8_t first, last;
};
static_assert(sizeof(ListHeader) == 4);

// Builds an answer of a ListHeader and the records after it.
class ListAnswer {
 public:
  ListAnswer() : bytes_(sizeof(ListHeader), 0) {}
  template <typename T>
  void Add(const T& record) {
    auto p = reinterpret_cast<const uint8_t*>(&record);
    bytes_.insert(bytes_.end(), p, p + sizeof(T));
  }
  void Add(const uint8_t* p, size_t n) { bytes_.insert(bytes_.end(), p, p + n); }
  // Seals the header and sends at most `allocation` bytes.
  void Send(Request& r, uint32_t allocation, uint8_t first = 0, uint8_t last = 0) {
    size_t len = bytes_.size() - 2;
    bytes_[0] = static_cast<uint8_t>(len >> 8);
    bytes_[1] = static_cast<uint8_t>(len);
    bytes_[2] = first;
    bytes_[3] = last;
    r.Answer(bytes_.data(), bytes_.size(), allocation);
  }

 private:
  std::vector<uint8_t> bytes_;
};

// Reading: answers_read.cpp.
void AnswerRead10(Request& r);
void AnswerRead12(Request& r);
void AnswerReadCd(Request& r);
void AnswerReadCdMsf(Request& r);
void AnswerReadHeader(Request& r);
// Medium information: answers_info.cpp.
void AnswerReadCapacity(Request& r);
void AnswerReadToc(Request& r);
void AnswerReadDiscInformation(Request& r);
void AnswerReadTrackInformation(Request& r);
// DVD and BD structures and keys: answers_dvd.cpp.
void AnswerReadDiscStructure(Request& r);
void AnswerReportKey(Request& r);
void AnswerSendKey(Request& r);

}  // namespace ravelkit
