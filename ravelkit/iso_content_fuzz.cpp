// Feeds arbitrary bytes to the content check of ISO images as the image's sectors: the
// input is the sectors from 16 on, and every structure location in it may point anywhere.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ravelkit/source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint64_t kFirst = 16;
  // The anchor at sector 256 is read from the input's sector 16 onwards too, so short inputs
  // still reach the UDF walk.
  const uint64_t stored = size / 2048;
  auto read = [&](uint64_t lba, uint8_t* out) {
    if (lba < kFirst || stored == 0) return false;
    const uint64_t at = lba == 256 ? stored - 1 : (lba - kFirst) % stored;
    std::memcpy(out, data + at * 2048, 2048);
    return true;
  };
  ravelkit::IsoContentClass(read, 1u << 22);
  return 0;
}
