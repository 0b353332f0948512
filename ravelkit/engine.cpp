// The engine's entry points: images are opened through the format layer, and each request
// is dispatched by opcode to the answer families (answers_*.cpp), whose outcome is written
// back over the CDB.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <vector>
#include <memory>
#include <string>

#include "ravelkit/answers.h"
#include "ravelkit/geometry.h"
#include "ravelkit/ravelkit.h"
#include "ravelkit/source.h"

struct RavelImage {
  std::unique_ptr<ravelkit::Source> source;
  uint64_t head = 0;  // where the last read left the head; requests run one at a time
  ravelkit::DriveState state;
};

namespace ravelkit {
namespace {

thread_local std::string g_lastError;
std::atomic<bool> g_rotationTiming{true};

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

// Sense data in fixed format, as the request's 18-byte buffer takes it.
struct FixedSense {
  uint8_t responseCode;
  uint8_t obsolete;
  uint8_t key;
  uint8_t information[4];
  uint8_t additionalLength;
  uint8_t commandSpecific[4];
  uint8_t asc, ascq;
  uint8_t fru;
  uint8_t keySpecific[3];
};
static_assert(sizeof(FixedSense) == 18 && offsetof(FixedSense, additionalLength) == 7 &&
              offsetof(FixedSense, asc) == 12);
inline constexpr uint8_t kSenseCurrentFixed = 0x70;

using Handler = void (*)(Request&);

void Good(Request&) {}
void RefuseWrite(Request& r) { r.Check(kWriteProtected); }
void RefuseOpcode(Request& r) { r.Check(kInvalidOpcode); }

// Every opcode the command layer passes on, by its first CDB byte; the rest are refused.
constexpr std::array<Handler, 256> MakeDispatch() {
  std::array<Handler, 256> t{};
  for (Handler& h : t) h = RefuseOpcode;
  t[0x00] = Good;  // TEST UNIT READY
  t[0x25] = AnswerReadCapacity;
  t[0x28] = AnswerRead10;
  t[0xA8] = AnswerRead12;
  t[0xBE] = AnswerReadCd;
  t[0xB9] = AnswerReadCdMsf;
  t[0x44] = AnswerReadHeader;
  t[0x43] = AnswerReadToc;
  t[0x51] = AnswerReadDiscInformation;
  t[0x52] = AnswerReadTrackInformation;
  t[0xAD] = AnswerReadDiscStructure;
  t[0xA4] = AnswerReportKey;
  t[0xA3] = AnswerSendKey;
  // Nothing is cached for writing and the image is read on demand: both are done at once.
  t[0x35] = Good;  // SYNCHRONIZE CACHE
  t[0xA7] = Good;  // SET READ AHEAD
  t[0x2A] = RefuseWrite;  // WRITE(10)
  t[0xAA] = RefuseWrite;  // WRITE(12)
  return t;
}
constexpr std::array<Handler, 256> kDispatch = MakeDispatch();

// Runs one request and writes its results over the CDB.
uint32_t Execute(RavelImage& image, MediaRequest& req) {
  Request r(*image.source, req, image.head, image.state);
  kDispatch[r.cdb()[0]](r);
  std::memset(req.cdb, 0, sizeof(req.cdb));
  uint64_t head = r.head();
  std::memcpy(req.cdb + kResultHeadLba, &head, sizeof(head));
  if (r.firstRead() >= 0 && g_rotationTiming.load(std::memory_order_relaxed)) {
    const ImageLayout& l = image.source->layout();
    uint32_t rotation =
        RotationUnits(GeometryFor(l.medium, l.layers, std::max<int32_t>(l.disc.LeadOut(), 0)),
                      r.firstRead(), static_cast<int64_t>(head) - r.firstRead());
    std::memcpy(req.cdb + kResultRotation, &rotation, sizeof(rotation));
  }
  if (r.checked()) {
    if (req.sense != nullptr) {
      FixedSense f{};
      f.responseCode = kSenseCurrentFixed;
      f.key = r.sense().key;
      f.additionalLength = sizeof(FixedSense) - offsetof(FixedSense, commandSpecific);
      f.asc = r.sense().asc;
      f.ascq = r.sense().ascq;
      std::memcpy(req.sense, &f, sizeof(f));
      req.cdb[kResultSenseLength] = sizeof(f);
    }
    req.cdb[kResultFlags] = kResultCheckCondition;
  }
  image.head = head;
  return r.failed() ? kStatusFailed : kStatusDone;
}

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
    uint32_t code = kImageBadFormat;
    if (error == kErrorPasswordNeeded) code = kImagePasswordNeeded;
    else if (error == kErrorWrongPassword) code = kImageWrongPassword;
    else if (error.rfind("unsupported image format", 0) == 0) code = kImageNotSupported;
    else if (error.rfind("cannot open", 0) == 0) code = kImageNotFound;
    // A reason that does not name a file is about the one the user picked.
    const std::string quoted = "'" + path + "'";
    g_lastError = error.find(quoted) == std::string::npos ? quoted + ": " + error : error;
    return code;
  }
  g_lastError.clear();
  *out = new RavelImage{std::move(src), 0, {}};
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
  *status = ravelkit::Execute(*image, *request);
  return 0;
}

void ImageClose(ImageHandle image, uint32_t) { delete image; }

const char* ImageLastError() { return ravelkit::g_lastError.c_str(); }

void ImageSetRotationTiming(int enabled) {
  ravelkit::g_rotationTiming.store(enabled != 0, std::memory_order_relaxed);
}

}  // extern "C"
