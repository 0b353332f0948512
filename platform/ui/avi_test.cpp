// The clip reader: the program's own clip decodes; damaged clips are refused, never read
// past their end; the encodings the control plays (RGB 8/24/32 bits, RLE8 deltas).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/ui/controls.h"

namespace win32::ui {
namespace {

std::vector<uint8_t> WaitClip() {
  std::ifstream f(SKM_WAIT_CLIP, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
size_t Find(const std::vector<uint8_t>& b, const char* fourcc, size_t from = 0) {
  for (size_t i = from; i + 4 <= b.size(); ++i)
    if (std::memcmp(b.data() + i, fourcc, 4) == 0) return i;
  return std::string::npos;
}

TEST(Avi, TheProgressBoxClipDecodesToItsFrames) {
  auto bytes = WaitClip();
  ASSERT_FALSE(bytes.empty());
  AviClip clip;
  ASSERT_TRUE(ParseAvi(bytes.data(), bytes.size(), &clip));
  EXPECT_EQ(clip.width, 32);
  EXPECT_EQ(clip.height, 32);
  EXPECT_EQ(clip.frames.size(), 12u);
  EXPECT_EQ(clip.frame_us, 100000u);
  EXPECT_EQ(clip.frames[0][0], 0xFF00FFu);               // the transparent key, top left
  EXPECT_NE(clip.frames[0][16 * 32 + 24], 0xFF00FFu);    // the disc
  EXPECT_NE(clip.frames[0], clip.frames[3]);             // it turns
}

TEST(Avi, DamagedClipsAreRefused) {
  const auto good = WaitClip();
  AviClip clip;
  struct Damage {
    const char* name;
    void (*apply)(std::vector<uint8_t>&);
  } cases[] = {
      {"not RIFF", [](std::vector<uint8_t>& b) { b[0] = 'X'; }},
      {"RIFF longer than the file", [](std::vector<uint8_t>& b) { Put32(b, 4, static_cast<uint32_t>(b.size())); }},
      {"hdrl list past its parent", [](std::vector<uint8_t>& b) { Put32(b, Find(b, "LIST") + 4, 0x7FFFFFF0); }},
      {"frame wider than possible", [](std::vector<uint8_t>& b) { Put32(b, Find(b, "strf") + 12, 100000); }},
      {"compressed frames", [](std::vector<uint8_t>& b) { Put32(b, Find(b, "strf") + 8 + 16, 0x64697678); }},
      {"a frame shorter than its rows", [](std::vector<uint8_t>& b) {
         size_t f = Find(b, "00db", Find(b, "movi"));
         Put32(b, f + 4, 100);
       }},
      {"index pointing outside the movie", [](std::vector<uint8_t>& b) { Put32(b, Find(b, "idx1") + 8 + 8, 0x100000); }},
      {"index naming another size", [](std::vector<uint8_t>& b) { Put32(b, Find(b, "idx1") + 8 + 12, 12); }},
      {"no video stream", [](std::vector<uint8_t>& b) { std::memcpy(b.data() + Find(b, "vids"), "auds", 4); }},
  };
  for (const Damage& d : cases) {
    auto b = good;
    d.apply(b);
    EXPECT_FALSE(ParseAvi(b.data(), b.size(), &clip)) << d.name;
  }
  // Every truncation is refused (and, under the sanitizers, read within its bounds).
  for (size_t n = 0; n < good.size(); n += 97) EXPECT_FALSE(ParseAvi(good.data(), n, &clip)) << n;
}

// A 4 x 2 clip of two RLE8 frames: the second is a delta that changes one pixel.
TEST(Avi, Rle8FramesDecodeOnTopOfThePreviousFrame) {
  std::vector<uint8_t> b;
  auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i))); };
  auto tag = [&](const char* t) { b.insert(b.end(), t, t + 4); };
  std::vector<uint8_t> f1 = {4, 1, 0, 0, 4, 2, 0, 1};          // bottom row colour 1, top row 2
  std::vector<uint8_t> f2 = {0, 2, 1, 1, 1, 3, 0, 1};          // move to (1,1), one pixel of 3
  tag("RIFF"); u32(0); tag("AVI ");
  size_t list = b.size();
  tag("LIST"); u32(0); tag("hdrl");
  tag("avih"); u32(56); u32(50000); for (int i = 0; i < 13; ++i) u32(0);
  size_t strl = b.size();
  tag("LIST"); u32(0); tag("strl");
  tag("strh"); u32(56); tag("vids"); tag("RLE "); for (int i = 0; i < 12; ++i) u32(0);
  tag("strf"); u32(40 + 16); u32(40); u32(4); u32(2); b.push_back(1), b.push_back(0), b.push_back(8), b.push_back(0);
  u32(1); u32(0); u32(0); u32(0); u32(4); u32(0);
  u32(0x000000); u32(0x0000FF); u32(0x00FF00); u32(0xFF0000);  // palette: black, blue, green, red (BGR0)
  Put32(b, strl + 4, static_cast<uint32_t>(b.size() - strl - 8));
  Put32(b, list + 4, static_cast<uint32_t>(b.size() - list - 8));
  size_t movi = b.size();
  tag("LIST"); u32(0); tag("movi");
  tag("00dc"); u32(static_cast<uint32_t>(f1.size())); b.insert(b.end(), f1.begin(), f1.end());
  tag("00dc"); u32(static_cast<uint32_t>(f2.size())); b.insert(b.end(), f2.begin(), f2.end());
  Put32(b, movi + 4, static_cast<uint32_t>(b.size() - movi - 8));
  Put32(b, 4, static_cast<uint32_t>(b.size() - 8));
  AviClip clip;
  ASSERT_TRUE(ParseAvi(b.data(), b.size(), &clip));
  ASSERT_EQ(clip.frames.size(), 2u);
  EXPECT_EQ(clip.frame_us, 50000u);
  // Top-down pixels: top row green, bottom row blue; the delta turned (1, top) red.
  EXPECT_EQ(clip.frames[0], (std::vector<uint32_t>{0x00FF00, 0x00FF00, 0x00FF00, 0x00FF00, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(clip.frames[1], (std::vector<uint32_t>{0x00FF00, 0xFF0000, 0x00FF00, 0x00FF00, 0xFF, 0xFF, 0xFF, 0xFF}));
  // A run past the row's end is refused.
  b[b.size() - f2.size() + 4] = 9;
  EXPECT_FALSE(ParseAvi(b.data(), b.size(), &clip));
}

}  // namespace
}  // namespace win32::ui
