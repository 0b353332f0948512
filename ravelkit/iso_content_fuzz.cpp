// Feeds arbitrary sectors to the content check of ISO images. The input starts with 16
// little-endian u32 sector numbers; the 2,048-byte sectors after them are, in order, the
// image's sectors at those numbers, and every other sector reads as zeros. Every structure
// location inside them may point anywhere.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ravelkit/source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kTable = 16;
  constexpr size_t kSector = 2048;
  if (size < kTable * 4) return 0;
  const size_t stored = (size - kTable * 4) / kSector;
  auto read = [&](uint64_t lba, uint8_t* out) {
    for (size_t i = 0; i < kTable && i < stored; ++i) {
      const uint8_t* p = data + 4 * i;
      const uint32_t at = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                          static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
      if (at == lba) {
        std::memcpy(out, data + kTable * 4 + i * kSector, kSector);
        return true;
      }
    }
    std::memset(out, 0, kSector);
    return true;
  };
  ravelkit::IsoContentClass(read, 1u << 22);
  return 0;
}
