// Feeds arbitrary descriptor text to the CloneCD parser. The first five bytes choose the
// sizes of the data and sub-channel files (in sectors, the data file sometimes one byte off),
// so layouts get past the file checks and into the placement arithmetic.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ravelkit/source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  uint64_t imgSectors = static_cast<uint64_t>(data[0]) << 8 | data[1];
  uint64_t subSectors = static_cast<uint64_t>(data[3]) << 8 | data[4];
  uint64_t imgSize = imgSectors * 2352 + (data[2] & 1);
  std::string_view text(reinterpret_cast<const char*>(data + 5), size - 5);
  auto sizeOf = [&](const std::string& path) -> std::optional<uint64_t> {
    if (path == "d/a.img") return imgSize;
    if (path == "d/a.sub" && !(data[2] & 2)) return subSectors * 96;
    return std::nullopt;
  };
  ravelkit::ImageLayout layout;
  std::string error;
  ravelkit::ParseCcd(text, "d/a.img", "d/a.sub", sizeOf, layout, error);
  return 0;
}
