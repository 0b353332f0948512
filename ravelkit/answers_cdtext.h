// CD-TEXT in the form the lead-in carries it and READ TOC format 5 returns it: 18-byte packs
// of one text block, each with its CRC.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ravelkit {

// The pack types 0x80-0x85, in order.
enum class CdTextField : uint8_t { kTitle, kPerformer, kSongwriter, kComposer, kArranger, kMessage };
inline constexpr size_t kCdTextFields = 6;

struct CdTextStrings {
  uint8_t firstTrack = 1, lastTrack = 1;
  // text[field][n]: n = 0 for the disc, else the track number. Missing entries are empty.
  std::array<std::vector<std::string>, kCdTextFields> text;

  void Set(CdTextField field, uint8_t track, std::string value);
};

// One block of packs in ISO 8859-1, English, with the size information packs at its end.
// Empty when no string is set, or when the text does not fit the 256 packs of a block.
std::vector<uint8_t> EncodeCdText(const CdTextStrings& strings);

// Packs kept without their CRC (16 bytes each, as CloneCD descriptors list them), sealed
// with it. Empty when the count is not whole or exceeds a block.
std::vector<uint8_t> SealCdTextPacks(const std::vector<uint8_t>& packsWithoutCrc);

}  // namespace ravelkit
