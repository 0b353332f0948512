#include "ravelkit/answers_cdtext.h"

#include <algorithm>
#include <span>

#include "ravelkit/disc.h"

namespace ravelkit {
namespace {

inline constexpr size_t kPackSize = 18;
inline constexpr size_t kPackText = 12;
inline constexpr size_t kMaxPacks = 256;  // sequence numbers are one byte
inline constexpr uint8_t kFirstTextPack = 0x80;
inline constexpr uint8_t kSizeInfoPack = 0x8F;
inline constexpr uint8_t kCharsetIso8859_1 = 0x00;
inline constexpr uint8_t kLanguageEnglish = 0x09;
// A longer string fills most of a block on its own; lead-in text is kept short.
inline constexpr size_t kMaxString = 160;

struct Pack {
  uint8_t type, track, sequence, position;  // position: block (6-4), characters before (3-0)
  uint8_t text[kPackText];
};

void Seal(const Pack& p, std::vector<uint8_t>& out) {
  size_t at = out.size();
  out.resize(at + kPackSize);
  out[at] = p.type, out[at + 1] = p.track, out[at + 2] = p.sequence, out[at + 3] = p.position;
  std::copy(std::begin(p.text), std::end(p.text), out.begin() + static_cast<long>(at) + 4);
  // The same CRC as the Q sub-channel's: CCITT, stored inverted.
  uint16_t crc = QCrc(std::span<const uint8_t>(out.data() + at, 16));
  out[at + 16] = static_cast<uint8_t>(crc >> 8);
  out[at + 17] = static_cast<uint8_t>(crc);
}

}  // namespace

void CdTextStrings::Set(CdTextField field, uint8_t track, std::string value) {
  auto& v = text[static_cast<size_t>(field)];
  if (v.size() <= track) v.resize(track + 1u);
  if (value.size() > kMaxString) value.resize(kMaxString);
  v[track] = std::move(value);
}

std::vector<uint8_t> EncodeCdText(const CdTextStrings& s) {
  std::vector<Pack> packs;
  uint8_t counts[16] = {};
  for (size_t field = 0; field < kCdTextFields; ++field) {
    const auto& v = s.text[field];
    if (std::none_of(v.begin(), v.end(), [](const std::string& t) { return !t.empty(); }))
      continue;
    // The disc's string, then one per track, each ended by a NUL; a pack names the string
    // its first character belongs to and how many of that string's characters came before.
    struct Char {
      char c;
      uint8_t track;
      uint8_t before;
    };
    std::vector<Char> stream;
    auto add = [&](uint8_t track) {
      std::string t = track < v.size() ? v[track] : std::string();
      for (size_t i = 0; i <= t.size(); ++i)
        stream.push_back({i < t.size() ? t[i] : '\0', track,
                          static_cast<uint8_t>(std::min<size_t>(i, 15))});
    };
    add(0);
    for (unsigned t = s.firstTrack; t <= s.lastTrack; ++t) add(static_cast<uint8_t>(t));
    for (size_t at = 0; at < stream.size(); at += kPackText) {
      Pack p{};
      p.type = static_cast<uint8_t>(kFirstTextPack + field);
      p.track = stream[at].track;
      p.position = stream[at].before;
      for (size_t i = 0; i < kPackText && at + i < stream.size(); ++i)
        p.text[i] = static_cast<uint8_t>(stream[at + i].c);
      packs.push_back(p);
      ++counts[field];
    }
  }
  if (packs.empty() || packs.size() + 3 > kMaxPacks) return {};

  // Size information: character code, track range, pack counts per type, the block's last
  // sequence number and its language, spread over three packs.
  counts[kSizeInfoPack - kFirstTextPack] = 3;
  uint8_t info[3 * kPackText] = {};
  info[0] = kCharsetIso8859_1;
  info[1] = s.firstTrack;
  info[2] = s.lastTrack;
  std::copy(std::begin(counts), std::end(counts), info + 4);
  info[20] = static_cast<uint8_t>(packs.size() + 3 - 1);
  info[28] = kLanguageEnglish;
  for (uint8_t k = 0; k < 3; ++k) {
    Pack p{};
    p.type = kSizeInfoPack;
    p.track = k;
    std::copy(info + k * kPackText, info + (k + 1) * kPackText, p.text);
    packs.push_back(p);
  }
  std::vector<uint8_t> out;
  out.reserve(packs.size() * kPackSize);
  for (size_t i = 0; i < packs.size(); ++i) {
    packs[i].sequence = static_cast<uint8_t>(i);
    Seal(packs[i], out);
  }
  return out;
}

std::vector<uint8_t> SealCdTextPacks(const std::vector<uint8_t>& in) {
  constexpr size_t kBody = kPackSize - 2;
  if (in.empty() || in.size() % kBody != 0 || in.size() / kBody > kMaxPacks) return {};
  std::vector<uint8_t> out;
  for (size_t at = 0; at < in.size(); at += kBody) {
    Pack p{};
    p.type = in[at], p.track = in[at + 1], p.sequence = in[at + 2], p.position = in[at + 3];
    std::copy(in.begin() + static_cast<long>(at) + 4, in.begin() + static_cast<long>(at + kBody),
              p.text);
    Seal(p, out);
  }
  return out;
}

}  // namespace ravelkit
