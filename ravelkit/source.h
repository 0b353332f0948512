// The format layer: each image format is parsed into an ImageLayout (the disc model plus
// where every stored sector lives); one reader then serves sectors from any layout, so a
// parser never touches file data and can be exercised on text alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ravelkit/disc.h"

namespace ravelkit {

enum class MediumClass : uint8_t { kCd, kDvd, kBd };

struct ImageFile {
  std::string path;
  uint64_t size = 0;
  bool swapBytes = false;  // big-endian 16-bit samples, swapped to little-endian when read
};

// How an image stores the 96 sub-channel bytes of a sector.
enum class SubchannelForm : uint8_t {
  kNone,
  // Raw P-W as READ CD returns it: byte i carries bit i of channels P..W in bits 7..0.
  kInterleaved,
  // One channel after the other, 12 bytes each, P first.
  kLinear,
};

// A run of consecutive sectors stored back to back in one file, or (file < 0) sectors the
// image does not store at all (pregaps and postgaps the descriptor only declares, the gap
// between two sessions).
struct Extent {
  int32_t lba = 0;
  int32_t count = 0;
  int file = -1;
  uint64_t offset = 0;
  uint32_t sectorSize = 0;  // 2048 (user data), 2336 (mode 2 without sync/header) or 2352
  uint32_t stride = 0;      // bytes from one sector to the next; 0 means sectorSize
  // Sub-channel of these sectors, if the image keeps it: in the same file after each
  // sector's main data, or in a file of its own.
  SubchannelForm subForm = SubchannelForm::kNone;
  int subFile = -1;
  uint64_t subOffset = 0;
  uint32_t subStride = 0;

  uint32_t Stride() const { return stride == 0 ? sectorSize : stride; }
};

inline constexpr uint32_t kSubchannelSize = 96;

struct ImageLayout {
  Disc disc;
  MediumClass medium = MediumClass::kCd;
  uint8_t layers = 1;
  int16_t statedClass = -1;     // medium class the image names (CD-R, DVD+R...); -1: from medium
  uint8_t copyProtection = 0;   // DVD: 1 = CSS
  uint8_t regionByte = 0;       // DVD: regions the disc may not play in, one bit each
  std::vector<ImageFile> files;
  std::vector<Extent> extents;  // sorted by lba, not overlapping
  // CD-TEXT as the lead-in carries it: 18-byte packs, CRC included; empty when the disc has
  // none.
  std::vector<uint8_t> cdText;

  // Checks the disc model and that every extent lies inside its file.
  std::string Validate() const;
  // Validate for the parsers: false with the fault in `error`.
  bool Check(std::string& error) const;
};

// Fills every hole between consecutive extents (sorted by lba) with an unstored extent, so
// the layout covers the gaps between sessions and pregaps that an image does not keep.
void FillExtentGaps(std::vector<Extent>& extents);

// Converts 96 sub-channel bytes between the linear form (12 bytes per channel, P first)
// and the interleaved raw P-W form.
void InterleaveSubchannel(const uint8_t* linear, uint8_t* raw);
void DeinterleaveSubchannel(const uint8_t* raw, uint8_t* linear);

using FileSizeLookup = std::function<std::optional<uint64_t>(const std::string& path)>;

// Parsers: fill `out` or return false with `error` set. They read no file data and end
// on ImageLayout::Check, so a layout they return is valid.
// `content` is the medium the image's file system says it was made for (IsoContentClass);
// the class is the larger of that and the one the size needs.
bool LayoutIso(const std::string& path, uint64_t size, ImageLayout& out, std::string& error,
               MediumClass content = MediumClass::kCd);
// Reads 2,048-byte user sector `lba` of an ISO image; false when it cannot.
using IsoSectorReader = std::function<bool(uint64_t lba, uint8_t* out)>;
// The medium an image of `sectors` user sectors holds by its content: a DVD for a UDF file
// system with VIDEO_TS at its root or an ISO 9660 volume larger than a CD, a BD for one
// with BDMV or a volume larger than a DVD, else a CD (no evidence either way).
MediumClass IsoContentClass(const IsoSectorReader& read, uint64_t sectors);
// `dir` is the directory relative FILE names are resolved against (may be empty).
bool ParseCue(std::string_view text, const std::string& dir, const FileSizeLookup& sizeOf,
              ImageLayout& out, std::string& error);
// CloneCD descriptor text; the .img and .sub beside it are named from `imgPath` (the
// descriptor's path with its extension replaced) and looked up through `sizeOf`.
bool ParseCcd(std::string_view text, const std::string& imgPath, const std::string& subPath,
              const FileSizeLookup& sizeOf, ImageLayout& out, std::string& error);
// Binary media descriptor; `mdsPath` names the descriptor, the data file is resolved
// against its directory.
bool ParseMds(std::span<const uint8_t> mds, const std::string& mdsPath,
              const FileSizeLookup& sizeOf, ImageLayout& out, std::string& error);
// Nero image: `tail` holds the last bytes of the file (at least the footer and the whole
// chunk chain; see kNrgTailMax), `fileSize` the size of the whole file.
inline constexpr uint64_t kNrgTailMax = 1u << 20;
bool ParseNrg(std::span<const uint8_t> tail, const std::string& path, uint64_t fileSize,
              ImageLayout& out, std::string& error);

// CDI image: `tail` holds the last bytes of the file (the footer and the whole descriptor;
// see kCdiTailMax), `fileSize` the size of the whole file.
inline constexpr uint64_t kCdiTailMax = 1u << 20;
bool ParseCdi(std::span<const uint8_t> tail, const std::string& path, uint64_t fileSize,
              ImageLayout& out, std::string& error);

// .b5t/.b6t descriptor, read whole; `path` names it, the data files it names are looked
// up beside it through `sizeOf`.
bool ParseB6t(std::span<const uint8_t> descriptor, const std::string& path,
              const FileSizeLookup& sizeOf, ImageLayout& out, std::string& error);

// .bwt descriptor, read whole; the data file it names is looked up beside it.
bool ParseBwt(std::span<const uint8_t> descriptor, const std::string& path,
              const FileSizeLookup& sizeOf, ImageLayout& out, std::string& error);

// Serves sectors of an opened image.
class Source {
 public:
  virtual ~Source() = default;
  virtual const ImageLayout& layout() const = 0;
  const Disc& disc() const { return layout().disc; }

  // Reads one sector as stored into `out` (room for kRawSize). Returns the stored size, 0
  // for a sector the image does not store, or -1 with `error` set (outside the image, I/O).
  virtual int ReadStored(int32_t lba, uint8_t* out, std::string& error) = 0;
  // The sector's 96 sub-channel bytes as the image stores them, converted to raw
  // interleaved P-W. Returns kSubchannelSize, 0 when the image keeps no sub-channel for the
  // sector, or -1 with `error` set.
  virtual int ReadSubchannel(int32_t lba, uint8_t* out, std::string& error) = 0;
  // The full 2,352-byte sector, synthesized where the image stores less.
  bool ReadRaw(int32_t lba, uint8_t* out, std::string& error);
};

std::unique_ptr<Source> OpenIso(const std::string& path, std::string& error);
std::unique_ptr<Source> OpenCue(const std::string& path, std::string& error);
std::unique_ptr<Source> OpenCcd(const std::string& path, std::string& error);
std::unique_ptr<Source> OpenMds(const std::string& path, std::string& error);
std::unique_ptr<Source> OpenNrg(const std::string& path, std::string& error);
std::unique_ptr<Source> OpenCdi(const std::string& path, std::string& error);
std::unique_ptr<Source> OpenB6t(const std::string& path, std::string& error);
std::unique_ptr<Source> OpenBwt(const std::string& path, std::string& error);
// Compressed image in the segmented IsZ! format; `password` (UTF-8, nullptr: none given)
// opens a protected one.
std::unique_ptr<Source> OpenIsz(const std::string& path, const std::string* password,
                                std::string& error);
// Errors of a protected image start with these texts.
inline constexpr std::string_view kErrorPasswordNeeded = "a password is needed";
inline constexpr std::string_view kErrorWrongPassword = "the password is wrong";
// Chooses the format by file extension.
std::unique_ptr<Source> OpenImage(const std::string& path, std::string& error,
                                  const std::string* password = nullptr);

}  // namespace ravelkit
