// Feeds arbitrary bytes to the CDI parser as the tail of an image. The first four bytes
// choose how much sector data lies before the tail, so the descriptor's offsets and the
// tracks' stored lengths can point into the data area as well as past it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ravelkit/source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint64_t before = (static_cast<uint64_t>(data[0]) << 24 | static_cast<uint64_t>(data[1]) << 16 |
                     static_cast<uint64_t>(data[2]) << 8 | data[3]);
  std::span<const uint8_t> tail(data + 4, size - 4);
  ravelkit::ImageLayout layout;
  std::string error;
  ravelkit::ParseCdi(tail, "d/a.cdi", before + tail.size(), layout, error);
  return 0;
}
