// The user data of an image's sectors, read without the serving side: what a read of the
// whole disc must produce. An ISO image is its own user data and is read as a plain file;
// other formats go through the image engine's format layer, sector by sector, and the
// 2,048 user bytes are cut out of the raw sector of the track's mode.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

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
};

}  // namespace sim
