#include "sim/serving.h"

#include "devaccess/vsbp2api.h"
#include "ravelkit/ravelkit.h"
#include "sim/image_data.h"

namespace sim {

ServingSide::ServingSide(bool paced, imagepath::PacingObserver observer, void* user_data) {
  if (observer != nullptr) imagepath::SetPacingObserver(observer, user_data);
  ImageSetRotationTiming(paced ? 1 : 0);
}

ServingSide::~ServingSide() {
  Stop();
  imagepath::SetPacingObserver(nullptr, nullptr);
  ImageSetRotationTiming(1);
}

void ServingSide::Stop() {
  if (targets_) imagepath::ReleaseTargets();
  if (library_) devaccess::VSbp2ApiUninitialize();
  targets_ = library_ = false;
}

std::string ServingSide::Start(bool mac, const std::string& image) {
  if (imagepath::InitTargets() == 0) return "InitTargets failed";
  targets_ = true;
  if (const uint32_t r = devaccess::VSbp2ApiInitialize(); r != 0) {
    return "VSbp2ApiInitialize: error " + std::to_string(r);
  }
  library_ = true;
  uint32_t count = 0;
  if (devaccess::EnumerateHostControllers(&count) == 0) return "EnumerateHostControllers failed";
  if (count == 0) return "no host controller";
  const auto* identity = reinterpret_cast<const uint8_t*>(imagepath::kDefaultIdentity);
  if (const uint32_t r = imagepath::AddTarget(0, mac, identity); r != 0) {
    return "Unable to add target 0: error " + std::to_string(r);
  }
  if (image.empty()) return {};
  const std::u16string path = Utf16(image);
  if (const uint32_t r = imagepath::MountImage(path.c_str(), 0, nullptr, false); r != 0) {
    return MountFailureText(image, r);
  }
  return {};
}

namespace {

constexpr uint32_t kMountRefused = 1200;  // MountImage: no usable medium, or the drive refused it

}  // namespace

std::string ImageMountProblem(const std::string& image) {
  const std::u16string path = Utf16(image);
  ImageHandle handle = nullptr;
  const uint32_t opened = ImageOpen(0, path.c_str(), 1, 0, 0, 0, 0, nullptr, &handle, 0);
  if (opened != kImageOk) return MountFailureText(image, opened);
  uint32_t descriptor = 0, period = 0;
  uint64_t capacity = 0;
  const uint32_t queried = ImageQueryMedium(handle, &descriptor, &period, &capacity);
  ImageClose(handle, 0);
  // The targets' own conditions for a medium (MountImage's 1200).
  if (queried != kImageOk) return "'" + image + "': the image engine cannot describe its medium";
  if ((descriptor & kMediumClassMask) == kMediumNone) return "'" + image + "' holds no medium";
  if (capacity == 0) return "'" + image + "' holds no sectors";
  if (capacity >= uint64_t{1} << 32) {
    return "'" + image + "' holds " + std::to_string(capacity) +
           " sectors, more than the drive can address (4294967295)";
  }
  return {};
}

std::string MountFailureText(const std::string& image, uint32_t r) {
  switch (r) {
    case kImagePasswordNeeded: return "'" + image + "' is protected: it needs a password";
    case kImageWrongPassword: return "wrong password for '" + image + "'";
    case kMountRefused:
      return "'" + image + "' was not mounted: the drive found no medium it can serve in it";
    default: break;
  }
  const std::string why = ImageLastError();
  if (!why.empty()) return why;
  return "cannot mount '" + image + "': error " + std::to_string(r);
}

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    char32_t c = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
    bool ok = extra >= 0 && i + static_cast<size_t>(extra) < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      const auto t = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      ok = (t >> 6) == 2;
      c = c << 6 | (t & 0x3F);
    }
    i += ok ? static_cast<size_t>(extra) + 1 : 1;
    if (!ok || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

SenseCode SenseOf(const Result& r) {
  if (r.sense.size() < 14) return {};
  return {static_cast<uint8_t>(r.sense[2] & 0x0F), r.sense[12], r.sense[13]};
}

Command Read10(uint32_t lba, uint16_t count, std::chrono::milliseconds timeout) {
  Command c = Command::Make({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, uint32_t{count} * kUserSectorSize);
  StoreBe32(&c.cdb[2], lba);
  c.cdb[7] = static_cast<uint8_t>(count >> 8);
  c.cdb[8] = static_cast<uint8_t>(count);
  c.timeout = timeout;
  return c;
}

std::string Trimmed(const std::vector<uint8_t>& bytes, size_t from, size_t length) {
  std::string s;
  for (size_t i = from; i < from + length && i < bytes.size(); ++i) s += static_cast<char>(bytes[i]);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

}  // namespace sim
