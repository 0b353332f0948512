#include <atomic>
#include <cstring>
#include <vector>
#include <memory>
#include <string>

#include "ravelkit/geometry.h"
#include "ravelkit/ravelkit.h"
#include "ravelkit/source.h"

struct RavelImage {
  std::unique_ptr<ravelkit::Source> source;
  uint64_t head = 0;  // where the last read left the head; requests run one at a time
};

namespace ravelkit {
namespace {

thread_local std::string g_lastError;
std::atomic<bool> g_rotationTiming{true};

struct Sense {
  uint8_t key = 0, asc = 0, ascq = 0;
};
constexpr Sense kIllegalOpcode{0x05, 0x20, 0x00};
constexpr Sense kInvalidField{0x05, 0x24, 0x00};
constexpr Sense kLbaOutOfRange{0x05, 0x21, 0x00};
constexpr Sense kIllegalModeForTrack{0x05, 0x64, 0x00};
constexpr Sense kIncompatibleMedium{0x05, 0x30, 0x02};
constexpr Sense kWriteProtected{0x07, 0x27, 0x00};
constexpr Sense kUnrecoveredRead{0x03, 0x11, 0x00};

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void PutBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

std::string Utf16ToUtf8(const char16_t* s) {
  std::string out;
  for (size_t i = 0; s[i] != 0; ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// One request in flight: collects the data moved and the outcome.
class Exec {
 public:
  Exec(Source& src, MediaRequest& req, uint64_t head) : src_(src), req_(req), head_(head) {}

  uint64_t head() const { return head_; }

  uint32_t Run() {
    const uint8_t* cdb = req_.cdb;
    switch (cdb[0]) {
      case 0x00:  // TEST UNIT READY
        break;
      case 0x25:
        ReadCapacity();
        break;
      case 0x28:
        Read(Be32(cdb + 2), static_cast<uint32_t>(cdb[7]) << 8 | cdb[8]);
        break;
      case 0xA8:
        Read(Be32(cdb + 2), Be32(cdb + 6));
        break;
      case 0xBE:
        ReadCd();
        break;
      case 0x43:
        ReadToc();
        break;
      case 0x2A:
      case 0xAA:
        Check(kWriteProtected);
        break;
      default:
        Check(kIllegalOpcode);
        break;
    }
    std::memset(req_.cdb, 0, sizeof(req_.cdb));
    std::memcpy(req_.cdb + kResultHeadLba, &head_, sizeof(head_));
    if (firstRead_ >= 0 && g_rotationTiming.load(std::memory_order_relaxed)) {
      const ImageLayout& l = src_.layout();
      uint32_t rotation =
          RotationUnits(GeometryFor(l.medium, l.layers, std::max<int32_t>(l.disc.LeadOut(), 0)),
                        firstRead_, static_cast<int64_t>(head_) - firstRead_);
      std::memcpy(req_.cdb + kResultRotation, &rotation, sizeof(rotation));
    }
    if (check_) {
      if (req_.sense != nullptr) {
        std::memset(req_.sense, 0, 18);
        req_.sense[0] = 0x70;
        req_.sense[2] = sense_.key;
        req_.sense[7] = 10;
        req_.sense[12] = sense_.asc;
        req_.sense[13] = sense_.ascq;
        req_.cdb[kResultSenseLength] = 18;
      }
      req_.cdb[kResultFlags] = kResultCheckCondition;
    }
    return failed_ ? kStatusFailed : kStatusDone;
  }

 private:
  // A sector has been read: the head continues after it.
  void Touched(int32_t lba) {
    if (firstRead_ < 0) firstRead_ = lba;
    head_ = static_cast<uint64_t>(lba) + 1;
  }

  void Check(Sense s) {
    check_ = true;
    sense_ = s;
  }

  // Data beyond the initiator's allocation is dropped, as a drive's transfer would be cut.
  bool Put(const uint8_t* data, uint32_t len) {
    if (offset_ >= req_.byteCount) return true;
    uint32_t n = std::min(len, req_.byteCount - offset_);
    if (req_.copy == nullptr) {
      failed_ = true;
      return false;
    }
    req_.copy(req_.copyContext, const_cast<uint8_t*>(data), n, offset_, kCopyToRequest);
    offset_ += n;
    return true;
  }

  uint64_t Capacity() const {
    return static_cast<uint64_t>(std::max<int32_t>(src_.disc().LeadOut(), 0));
  }

  void ReadCapacity() {
    uint8_t d[8];
    uint64_t cap = Capacity();
    PutBe32(d, cap == 0 ? 0 : static_cast<uint32_t>(cap - 1));
    PutBe32(d + 4, kUserSize);
    Put(d, sizeof(d));
  }

  // Checks a run of sectors lies inside tracks before any data moves.
  bool InRange(uint32_t lba, uint32_t count) {
    if (static_cast<uint64_t>(lba) + count > Capacity()) {
      Check(kLbaOutOfRange);
      return false;
    }
    return true;
  }

  void Read(uint32_t lba, uint32_t count) {
    if (!InRange(lba, count)) return;
    uint8_t buf[kRawSize];
    for (uint32_t i = 0; i < count; ++i) {
      int32_t at = static_cast<int32_t>(lba + i);
      const Track* t = src_.disc().TrackAt(at);
      if (t == nullptr) return Check(kLbaOutOfRange);
      if (t->mode == TrackMode::kAudio) return Check(kIllegalModeForTrack);
      std::string err;
      int n = src_.ReadStored(at, buf, err);
      if (n < 0) return Check(kUnrecoveredRead);
      const uint8_t* user = buf;
      if (n == static_cast<int>(kUserSize)) {
        user = buf;
      } else {
        if (!src_.ReadRaw(at, buf, err)) return Check(kUnrecoveredRead);
        if (buf[15] == 1) {
          user = buf + 16;
        } else if (buf[15] == 2 && t->mode != TrackMode::kMode2Formless && !(buf[18] & 0x20)) {
          user = buf + 24;
        } else {
          return Check(kIllegalModeForTrack);
        }
      }
      if (!Put(user, kUserSize)) return;
      Touched(at);
    }
  }

  void ReadToc() {
    const uint8_t* cdb = req_.cdb;
    bool msf = cdb[1] & 0x02;
    uint8_t format = cdb[2] & 0x0F;
    if (format == 0 && (cdb[9] >> 6) != 0) format = cdb[9] >> 6;  // the older field
    uint8_t from = cdb[6];
    uint32_t alloc = static_cast<uint32_t>(cdb[7]) << 8 | cdb[8];
    const Disc& d = src_.disc();
    std::vector<uint8_t> out(4, 0);
    auto address = [&](int32_t lba) {
      uint8_t a[4];
      if (msf) {
        Msf m = LbaToMsf(lba);
        a[0] = 0, a[1] = m.m, a[2] = m.s, a[3] = m.f;
      } else {
        PutBe32(a, static_cast<uint32_t>(lba));
      }
      out.insert(out.end(), a, a + 4);
    };
    auto trackDescriptor = [&](const TocEntry& e) {
      out.insert(out.end(), {0, e.adrControl, e.point, 0});
      address(e.lba);
    };
    if (format == 0) {
      out[2] = d.tracks.front().number, out[3] = d.tracks.back().number;
      if (from > d.tracks.back().number && from != kLeadOutTrack) return Check(kInvalidField);
      for (const TocEntry& e : d.Toc())
        if (e.point >= from || from == 0) trackDescriptor(e);
    } else if (format == 1) {
      const Session& last = d.sessions.back();
      out[2] = 1, out[3] = last.number;
      trackDescriptor(d.Toc()[last.firstTrack]);
    } else if (format == 2) {
      out[2] = 1, out[3] = d.sessions.back().number;
      for (const Session& s : d.sessions) {
        if (s.number < from) continue;
        for (const TocEntry& e : d.FullToc(s.number))
          out.insert(out.end(), {e.session, e.adrControl, 0, e.point, 0, 0, 0, 0, e.pmin,
                                 e.psec, e.pframe});
      }
    } else {
      return Check(kInvalidField);
    }
    uint16_t len = static_cast<uint16_t>(out.size() - 2);
    out[0] = static_cast<uint8_t>(len >> 8), out[1] = static_cast<uint8_t>(len);
    Put(out.data(), std::min<uint32_t>(alloc, static_cast<uint32_t>(out.size())));
  }

  enum SectorType : uint8_t { kAny = 0, kCdda, kMode1, kMode2, kForm1, kForm2 };

  static SectorType TypeOf(const Track& t, const uint8_t* raw) {
    switch (t.mode) {
      case TrackMode::kAudio: return kCdda;
      case TrackMode::kMode1: return kMode1;
      case TrackMode::kMode2Formless: return kMode2;
      default: return (raw[18] & 0x20) ? kForm2 : kForm1;
    }
  }

  void ReadCd() {
    const uint8_t* cdb = req_.cdb;
    if (src_.layout().medium != MediumClass::kCd) return Check(kIncompatibleMedium);
    auto want = static_cast<SectorType>((cdb[1] >> 2) & 7);
    uint32_t lba = Be32(cdb + 2);
    uint32_t count = static_cast<uint32_t>(cdb[6]) << 16 | static_cast<uint32_t>(cdb[7]) << 8 | cdb[8];
    uint8_t fields = cdb[9];
    uint8_t c2 = (fields >> 1) & 3;
    uint8_t sub = cdb[10] & 7;
    if (want > kForm2 || c2 == 3 || (sub != 0 && sub != 1 && sub != 2 && sub != 4))
      return Check(kInvalidField);
    if (!InRange(lba, count)) return;
    uint8_t raw[kRawSize];
    for (uint32_t i = 0; i < count; ++i) {
      int32_t at = static_cast<int32_t>(lba + i);
      const Track* t = src_.disc().TrackAt(at);
      if (t == nullptr) return Check(kLbaOutOfRange);
      std::string err;
      if (!src_.ReadRaw(at, raw, err)) return Check(kUnrecoveredRead);
      SectorType type = TypeOf(*t, raw);
      if (want != kAny && want != type) return Check(kIllegalModeForTrack);
      if (!PutFields(type, fields, raw)) return;
      if (c2 != 0) {
        static const uint8_t kZero[296] = {};
        if (!Put(kZero, c2 == 1 ? 294 : 296)) return;
      }
      if (sub != 0 && !PutSubchannel(*t, at, sub)) return;
      Touched(at);
    }
  }

  // The selected fields of the sector, in the order they are recorded.
  bool PutFields(SectorType type, uint8_t fields, const uint8_t* raw) {
    bool sync = fields & 0x80, header = fields & 0x20, subheader = fields & 0x40;
    bool user = fields & 0x10, edc = fields & 0x08;
    if (type == kCdda) return !(sync || header || subheader || user || edc) || Put(raw, kRawSize);
    struct Range {
      bool on;
      uint32_t from, to;
    };
    uint32_t userFrom = 16, userTo = 2064, edcTo = 2352, subTo = 16;
    if (type == kMode2) userTo = 2352;
    if (type == kForm1) subTo = 24, userFrom = 24, userTo = 2072;
    if (type == kForm2) subTo = 24, userFrom = 24, userTo = 2348;
    const Range ranges[] = {{sync, 0, 12},          {header, 12, 16},    {subheader, 16, subTo},
                            {user, userFrom, userTo}, {edc, userTo, edcTo}};
    for (const Range& r : ranges)
      if (r.on && r.to > r.from && !Put(raw + r.from, r.to - r.from)) return false;
    return true;
  }

  bool PutSubchannel(const Track& t, int32_t lba, uint8_t sub) {
    // Sub-channel the image recorded wins over a generated one: it is the disc's own, with
    // its ISRC and catalogue frames and whatever a protection put there.
    uint8_t stored[kSubchannelSize];
    std::string err;
    int kept = src_.ReadSubchannel(lba, stored, err);
    if (kept < 0) {
      Check(kUnrecoveredRead);
      return false;
    }
    if (kept > 0) return PutStoredSubchannel(stored, sub);
    QBlock q = src_.disc().QAt(lba);
    if (sub == 2) {
      uint8_t d[16] = {};
      std::memcpy(d, q.data(), q.size());
      return Put(d, sizeof(d));
    }
    uint8_t d[96] = {};
    if (sub == 1) {
      // P flags the pause in a pregap; Q is spread one bit per byte, most significant first.
      bool pause = t.IndexAt(lba) == 0;
      for (int i = 0; i < 96; ++i) {
        uint8_t qbit = (q[static_cast<size_t>(i / 8)] >> (7 - i % 8)) & 1;
        d[i] = static_cast<uint8_t>((pause ? 0x80 : 0) | (qbit << 6));
      }
    }
    return Put(d, sizeof(d));  // R-W: the images carry no R-W data, so it reads as zeros
  }

  bool PutStoredSubchannel(const uint8_t* raw, uint8_t sub) {
    if (sub == 1) return Put(raw, kSubchannelSize);
    uint8_t d[kSubchannelSize] = {};
    if (sub == 2) {  // Q's 12 bytes, CRC included, padded to 16
      uint8_t linear[kSubchannelSize];
      DeinterleaveSubchannel(raw, linear);
      std::memcpy(d, linear + 12, 12);
      return Put(d, 16);
    }
    for (size_t i = 0; i < kSubchannelSize; ++i) d[i] = raw[i] & 0x3F;  // R-W symbols
    return Put(d, kSubchannelSize);
  }

  Source& src_;
  MediaRequest& req_;
  uint32_t offset_ = 0;
  uint64_t head_;
  int64_t firstRead_ = -1;
  bool check_ = false;
  bool failed_ = false;
  Sense sense_;
};

}  // namespace
}  // namespace ravelkit

extern "C" {

uint32_t ImageOpen(uint32_t, const char16_t* names, uint32_t mask, uint32_t, uint32_t,
                   uint32_t, uint32_t, void*, ImageHandle* out, uint32_t) {
  using namespace ravelkit;
  if (names == nullptr || out == nullptr || (mask != 1 && mask != 3)) {
    g_lastError = "invalid parameter";
    return kImageInvalidParameter;
  }
  *out = nullptr;
  std::string path = Utf16ToUtf8(names);
  std::string password;
  if (mask == 3) {
    size_t n = 0;
    while (names[n] != 0) ++n;
    password = Utf16ToUtf8(names + n + 1);
  }
  std::string error;
  auto src = OpenImage(path, error, mask == 3 ? &password : nullptr);
  if (!src) {
    g_lastError = error;
    if (error == kErrorPasswordNeeded) return kImagePasswordNeeded;
    if (error == kErrorWrongPassword) return kImageWrongPassword;
    if (error.rfind("unsupported image format", 0) == 0) return kImageNotSupported;
    if (error.rfind("cannot open", 0) == 0) return kImageNotFound;
    return kImageBadFormat;
  }
  g_lastError.clear();
  *out = new RavelImage{std::move(src)};
  return kImageOk;
}

uint32_t ImageQueryMedium(ImageHandle image, uint32_t* descriptor, uint32_t* rotationUs,
                          uint64_t* capacity) {
  using namespace ravelkit;
  if (image == nullptr) return kImageInvalidParameter;
  const ImageLayout& l = image->source->layout();
  int32_t sectors = std::max<int32_t>(l.disc.LeadOut(), 0);
  if (descriptor) *descriptor = MediumDescriptor(l);
  if (rotationUs)
    *rotationUs = g_rotationTiming.load(std::memory_order_relaxed)
                      ? RotationPeriodUs(GeometryFor(l.medium, l.layers, sectors))
                      : 0;
  if (capacity) *capacity = static_cast<uint64_t>(sectors);
  return kImageOk;
}

uint32_t ImageExecute(ImageHandle image, MediaRequest* request, uint32_t* status) {
  if (image == nullptr || request == nullptr || status == nullptr ||
      !(request->flags & kRequestCdb))
    return kImageInvalidParameter;
  ravelkit::Exec exec(*image->source, *request, image->head);
  *status = exec.Run();
  image->head = exec.head();
  return 0;
}

void ImageClose(ImageHandle image, uint32_t) { delete image; }

const char* ImageLastError() { return ravelkit::g_lastError.c_str(); }

void ImageSetRotationTiming(int enabled) {
  ravelkit::g_rotationTiming.store(enabled != 0, std::memory_order_relaxed);
}

}  // extern "C"
