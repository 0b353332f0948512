// Sector reads: user data (READ 10/12), whole or partial CD sectors with C2 and sub-channel
// (READ CD, READ CD MSF), and the header of a data sector (READ HEADER).
#include "ravelkit/answers.h"

namespace ravelkit {
namespace {

// READ CD's expected sector type (byte 1 bits 2-4).
enum SectorType : uint8_t { kAnyType = 0, kCdda, kMode1, kMode2, kForm1, kForm2 };

// READ CD's main-channel selection (byte 9).
struct MainChannel {
  uint8_t bits;
  bool sync() const { return bits & 0x80; }
  bool subheader() const { return bits & 0x40; }  // header code bit 1
  bool header() const { return bits & 0x20; }     // header code bit 0
  bool user() const { return bits & 0x10; }
  bool edcEcc() const { return bits & 0x08; }
  uint8_t c2() const { return (bits >> 1) & 3; }  // 0 none, 1 error bits, 2 bits + block byte
  // The selected fields must be a run the sector has: sync goes with the header, EDC/ECC
  // with the user data. Every other pick of fields is a valid one.
  bool Valid() const {
    return (bits & 0x01) == 0 && c2() != 3 && (!sync() || header()) && (!edcEcc() || user());
  }
};

inline constexpr uint32_t kC2ErrorBitsSize = 294;  // one bit per byte of the sector
inline constexpr uint32_t kC2WithBlockErrorSize = 296;  // plus the block's OR byte and a pad

SectorType TypeOf(const Track& t, const uint8_t* raw) {
  switch (t.mode) {
    case TrackMode::kAudio: return kCdda;
    case TrackMode::kMode1: return kMode1;
    case TrackMode::kMode2Formless: return kMode2;
    default: return (raw[18] & 0x20) ? kForm2 : kForm1;
  }
}

// The selected fields of the sector, in the order they are recorded.
bool PutFields(Request& r, SectorType type, MainChannel m, const uint8_t* raw) {
  if (type == kCdda) return !m.user() || r.Put(raw, kRawSize);
  struct Range {
    bool on;
    uint32_t from, to;
  };
  uint32_t subTo = 16, userFrom = 16, userTo = 2064;
  if (type == kMode2) userTo = kRawSize;
  if (type == kForm1) subTo = 24, userFrom = 24, userTo = 2072;
  if (type == kForm2) subTo = 24, userFrom = 24, userTo = 2348;
  const Range ranges[] = {{m.sync(), 0, 12},
                          {m.header(), 12, 16},
                          {m.subheader(), 16, subTo},
                          {m.user(), userFrom, userTo},
                          {m.edcEcc(), userTo, kRawSize}};
  for (const Range& range : ranges)
    if (range.on && range.to > range.from && !r.Put(raw + range.from, range.to - range.from))
      return false;
  return true;
}

bool PutStoredSubchannel(Request& r, const uint8_t* raw, uint8_t sub) {
  if (sub == 1) return r.Put(raw, kSubchannelSize);
  uint8_t d[kSubchannelSize] = {};
  if (sub == 2) {  // Q's 12 bytes, CRC included, padded to 16
    uint8_t linear[kSubchannelSize];
    DeinterleaveSubchannel(raw, linear);
    std::memcpy(d, linear + 12, 12);
    return r.Put(d, 16);
  }
  for (size_t i = 0; i < kSubchannelSize; ++i) d[i] = raw[i] & 0x3F;  // R-W symbols
  return r.Put(d, kSubchannelSize);
}

bool PutSubchannel(Request& r, const Track& t, int32_t lba, uint8_t sub) {
  // Sub-channel the image recorded wins over a generated one: it is the disc's own, with
  // its ISRC and catalogue frames and whatever a protection put there.
  uint8_t stored[kSubchannelSize];
  std::string err;
  int kept = r.source().ReadSubchannel(lba, stored, err);
  if (kept < 0) {
    r.Check(kUnrecoveredRead);
    return false;
  }
  if (kept > 0) return PutStoredSubchannel(r, stored, sub);
  QBlock q = r.disc().QAt(lba);
  if (sub == 2) {
    uint8_t d[16] = {};
    std::memcpy(d, q.data(), q.size());
    return r.Put(d, sizeof(d));
  }
  uint8_t d[kSubchannelSize] = {};
  if (sub == 1) {
    // P flags the pause in a pregap; R-W stay zero, as the images carry no R-W data.
    uint8_t linear[kSubchannelSize] = {};
    if (t.IndexAt(lba) == 0) std::memset(linear, 0xFF, 12);
    std::memcpy(linear + 12, q.data(), q.size());
    InterleaveSubchannel(linear, d);
  }
  return r.Put(d, sizeof(d));  // R-W alone: zeros
}

bool InRange(Request& r, uint32_t lba, uint32_t count) {
  if (static_cast<uint64_t>(lba) + count > r.Capacity()) {
    r.Check(kLbaOutOfRange);
    return false;
  }
  return true;
}

// READ CD and READ CD MSF after their addresses are decoded.
void ReadCdSectors(Request& r, uint32_t lba, uint32_t count) {
  const uint8_t* cdb = r.cdb();
  auto want = static_cast<SectorType>((cdb[1] >> 2) & 7);
  MainChannel main{cdb[9]};
  uint8_t sub = cdb[10] & 7;
  // A DVD or BD has no CD sectors to give; drives refuse the command for the medium.
  if (r.medium() != MediumClass::kCd) return r.Check(kIncompatibleMedium);
  if (want > kForm2 || !main.Valid() || (sub != 0 && sub != 1 && sub != 2 && sub != 4))
    return r.Check(kInvalidField);
  // A run past the end delivers the sectors before it, then fails where the medium ends:
  // sub-channel blocks near the lead-out are read this way.
  if (lba >= r.Capacity()) return r.Check(kLbaOutOfRange);
  uint8_t raw[kRawSize];
  for (uint32_t i = 0; i < count; ++i) {
    int32_t at = static_cast<int32_t>(lba + i);
    const Track* t = r.disc().TrackAt(at);
    if (t == nullptr) return r.Check(kLbaOutOfRange);
    std::string err;
    if (!r.source().ReadRaw(at, raw, err)) return r.Check(kUnrecoveredRead);
    SectorType type = TypeOf(*t, raw);
    if (want != kAnyType && want != type) return r.Check(kIllegalModeForTrack);
    if (!PutFields(r, type, main, raw)) return;
    // The image's sectors read back without error: no C2 bit is set, nor the block's.
    static const uint8_t kNoErrors[kC2WithBlockErrorSize] = {};
    if (main.c2() == 1 && !r.Put(kNoErrors, kC2ErrorBitsSize)) return;
    if (main.c2() == 2 && !r.Put(kNoErrors, kC2WithBlockErrorSize)) return;
    if (sub != 0 && !PutSubchannel(r, *t, at, sub)) return;
    r.Touched(at);
  }
}

void ReadUser(Request& r, uint32_t lba, uint32_t count) {
  if (!InRange(r, lba, count)) return;
  uint8_t buf[kRawSize];
  for (uint32_t i = 0; i < count; ++i) {
    int32_t at = static_cast<int32_t>(lba + i);
    const Track* t = r.disc().TrackAt(at);
    if (t == nullptr) return r.Check(kLbaOutOfRange);
    if (t->mode == TrackMode::kAudio) return r.Check(kIllegalModeForTrack);
    std::string err;
    int n = r.source().ReadStored(at, buf, err);
    if (n < 0) return r.Check(kUnrecoveredRead);
    const uint8_t* user = buf;
    if (n != static_cast<int>(kUserSize)) {
      if (!r.source().ReadRaw(at, buf, err)) return r.Check(kUnrecoveredRead);
      if (buf[15] == 1) {
        user = buf + 16;
      } else if (buf[15] == 2 && t->mode != TrackMode::kMode2Formless && !(buf[18] & 0x20)) {
        user = buf + 24;
      } else {
        return r.Check(kIllegalModeForTrack);
      }
    }
    if (!r.Put(user, kUserSize)) return;
    r.Touched(at);
  }
}

struct HeaderAnswer {
  uint8_t dataMode;  // 1 or 2, from the sector's header
  uint8_t reserved[3];
  Be32 address;  // LBA, or 0, M, S, F
};
static_assert(sizeof(HeaderAnswer) == 8 && offsetof(HeaderAnswer, address) == 4);

}  // namespace

void AnswerRead10(Request& r) {
  ReadUser(r, GetBe32(r.cdb() + 2), GetBe16(r.cdb() + 7));
}

void AnswerRead12(Request& r) {
  ReadUser(r, GetBe32(r.cdb() + 2), GetBe32(r.cdb() + 6));
}

void AnswerReadCd(Request& r) {
  ReadCdSectors(r, GetBe32(r.cdb() + 2), GetBe24(r.cdb() + 6));
}

void AnswerReadCdMsf(Request& r) {
  const uint8_t* cdb = r.cdb();
  Msf from{cdb[3], cdb[4], cdb[5]}, to{cdb[6], cdb[7], cdb[8]};
  if (from.s >= 60 || from.f >= kFramesPerSecond || to.s >= 60 || to.f >= kFramesPerSecond)
    return r.Check(kInvalidField);
  // Plain arithmetic: a READ CD MSF never reaches into the lead-in.
  auto frames = [](Msf m) { return (m.m * 60 + m.s) * kFramesPerSecond + m.f; };
  int32_t start = frames(from) - kLbaOffset, end = frames(to) - kLbaOffset;
  if (start < 0 || end < start) return r.Check(kInvalidField);
  ReadCdSectors(r, static_cast<uint32_t>(start), static_cast<uint32_t>(end - start));
}

void AnswerReadHeader(Request& r) {
  const uint8_t* cdb = r.cdb();
  bool msf = cdb[1] & 0x02;
  uint32_t lba = GetBe32(cdb + 2);
  if (r.medium() != MediumClass::kCd) return r.Check(kIncompatibleMedium);
  if (!InRange(r, lba, 1)) return;
  const Track* t = r.disc().TrackAt(static_cast<int32_t>(lba));
  if (t == nullptr) return r.Check(kLbaOutOfRange);
  // Audio sectors have no header to report.
  if (t->mode == TrackMode::kAudio) return r.Check(kIllegalModeForTrack);
  uint8_t raw[kRawSize];
  std::string err;
  if (!r.source().ReadRaw(static_cast<int32_t>(lba), raw, err)) return r.Check(kUnrecoveredRead);
  HeaderAnswer a{};
  a.dataMode = raw[15];
  Msf m{FromBcd(raw[12]), FromBcd(raw[13]), FromBcd(raw[14])};
  a.address.Set(msf ? static_cast<uint32_t>(m.m) << 16 | static_cast<uint32_t>(m.s) << 8 | m.f
                    : static_cast<uint32_t>(MsfToLba(m)));
  r.Answer(a, GetBe16(cdb + 7));
  r.Touched(static_cast<int32_t>(lba));
}

}  // namespace ravelkit
