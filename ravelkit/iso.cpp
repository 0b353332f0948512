#include "ravelkit/source.h"

namespace ravelkit {

namespace {

// Capacities in 2,048-byte sectors of single- to quadruple-layer recordable BDs; the CD and
// DVD ones are in disc.h.
constexpr uint64_t kBdMax[] = {12219392, 24438784, 48878592, 62500864};

}  // namespace

bool LayoutIso(const std::string& path, uint64_t size, ImageLayout& out, std::string& error,
               MediumClass content) {
  if (size == 0 || size % kUserSize != 0) {
    error = "'" + path + "' is " + std::to_string(size) +
            " bytes long, which is not a multiple of the 2048-byte sector";
    return false;
  }
  uint64_t sectors = size / kUserSize;
  out = ImageLayout{};
  if (sectors <= kCdMaxLba && content == MediumClass::kCd) {
    out.medium = MediumClass::kCd;
  } else if (sectors <= kDvdLayer2Sectors && content != MediumClass::kBd) {
    out.medium = MediumClass::kDvd;
    out.layers = sectors <= kDvdLayer1Sectors ? 1 : 2;
  } else {
    out.medium = MediumClass::kBd;
    out.layers = 0;
    for (uint8_t i = 0; i < 4 && out.layers == 0; ++i)
      if (sectors <= kBdMax[i]) out.layers = static_cast<uint8_t>(i + 1);
    if (out.layers == 0) {
      error = "ISO image is larger than any supported medium";
      return false;
    }
  }
  int32_t count = static_cast<int32_t>(sectors);
  Track t;
  t.mode = TrackMode::kMode1;
  t.control = kCtrlData;
  t.end = count;
  out.disc.tracks.push_back(t);
  out.disc.sessions.push_back({1, 0, 0, count, 0x00});
  out.files.push_back({path, size, false});
  out.extents.push_back({0, count, 0, 0, kUserSize});
  return out.Check(error);
}

}  // namespace ravelkit
