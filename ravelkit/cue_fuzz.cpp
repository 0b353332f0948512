// Feeds arbitrary text to the cue parser; every FILE exists with a size derived from its name,
// so layouts get past the file checks and into the placement arithmetic. Sheets that parse
// must give well-formed CD-TEXT packs.
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
  if (ravelkit::ParseCue(text, "d/", sizeOf, layout, error)) {
    // CD-TEXT from TITLE, PERFORMER and the like: whole 18-byte packs, at most one block.
    const auto& packs = layout.cdText;
    if (packs.size() % 18 != 0 || packs.size() > 256 * 18) __builtin_trap();
    for (size_t at = 0; at < packs.size(); at += 18)
      if (packs[at + 2] != at / 18 || packs[at] < 0x80 || packs[at] > 0x8F) __builtin_trap();
  }
  return 0;
}
