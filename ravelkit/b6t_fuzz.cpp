// Feeds arbitrary bytes to the .b5t/.b6t descriptor parser; every data file exists with a
// size derived from its name, so layouts get past the file checks and into the placement
// arithmetic.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ravelkit/source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto sizeOf = [](const std::string& path) -> std::optional<uint64_t> {
    if (path.find('x') != std::string::npos) return std::nullopt;
    uint64_t h = 0;
    for (char c : path) h = h * 31 + static_cast<unsigned char>(c);
    return (h % 4000) * (h % 3 == 0 ? 2048u : h % 3 == 1 ? 2352u : 2448u) + (h % 7 == 0 ? 1 : 0);
  };
  ravelkit::ImageLayout layout;
  std::string error;
  ravelkit::ParseB6t(std::span<const uint8_t>(data, size), "d/a.b6t", sizeOf, layout, error);
  return 0;
}
