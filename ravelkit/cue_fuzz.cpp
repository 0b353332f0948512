// Feeds arbitrary text to the cue parser; every FILE exists with a size derived from its name,
// so layouts get past the file checks and into the placement arithmetic.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ravelkit/source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto sizeOf = [](const std::string& path) -> std::optional<uint64_t> {
    if (path.find('x') != std::string::npos) return std::nullopt;
    uint64_t h = 0;
    for (char c : path) h = h * 31 + static_cast<unsigned char>(c);
    return (h % 4000) * (h % 3 == 0 ? 2048u : 2352u) + (h % 7 == 0 ? 1 : 0);
  };
  ravelkit::ImageLayout layout;
  std::string error;
  ravelkit::ParseCue(text, "d/", sizeOf, layout, error);
  return 0;
}
