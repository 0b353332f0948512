// The data of an image's sectors, read without the serving side: what a read of the whole
// disc must produce. An ISO image is its own user data and is read as a plain file; other
// formats go through the image engine's format layer, sector by sector: the 2,048 user
// bytes are cut out of the raw sector of a data track's mode, and an audio sector is the
// raw 2,352 bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ravelkit/disc.h"

namespace sim {

inline constexpr uint32_t kUserSectorSize = ravelkit::kUserSize;
inline constexpr uint32_t kAudioSectorSize = ravelkit::kRawSize;

// A track as the image lays it out: from its index 1 to where the next track's pregap (or
// its session's lead-out) begins.
struct ImageTrack {
  uint8_t number = 1;
  bool audio = false;
  uint64_t start = 0;
  uint64_t sectors = 0;
  bool operator==(const ImageTrack&) const = default;
};

class ImageUserData {
 public:
  virtual ~ImageUserData() = default;

  // Chooses by file extension (".iso" is a plain file); null with `error` set.
  static std::unique_ptr<ImageUserData> Open(const std::string& path, std::string& error);

  // Sectors of 2,048 user bytes the image holds.
  virtual uint64_t sectors() const = 0;
  // `count` sectors from `lba` into `out` (count × 2,048 bytes). false with `error` set when
  // a sector lies outside the image, cannot be read or carries no user data (audio).
  virtual bool Read(uint64_t lba, uint32_t count, uint8_t* out, std::string& error) = 0;
  // `count` audio sectors from `lba` into `out` (count × 2,352 bytes, samples as the image
  // engine serves them). false with `error` set outside the image or outside audio tracks.
  virtual bool ReadAudio(uint64_t lba, uint32_t count, uint8_t* out, std::string& error) = 0;
  // Every track of every session, in order.
  virtual std::vector<ImageTrack> tracks() const = 0;
};

}  // namespace sim
