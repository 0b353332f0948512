// The IsZ! compressed image format: a header, an optional segment table, a chunk pointer
// table and the chunks, each all zeros, stored, zlib or bzip2 compressed, and AES-encrypted
// when the image is protected; large images are split into segment files .isz, .i01, .i02...
//
// Layout (all little-endian). The segment and chunk tables are stored XORed with the
// repeating key B6 8C A5 DE (the complement of "IsZ!"), counted from each table's start.
//   header     see IszHeader
//   segments   IszSegmentEntry per file, ended by an entry of size 0; a reader needs only
//              the sizes, as the chunk data runs on from file to file
//   chunks     pointerLength bytes per chunk, a little-endian value whose top two bits are
//              the chunk's kind (IszChunk) and the rest its stored length
// A chunk's data follows the previous chunk's; a chunk may continue from the end of one
// segment into the next, right after that file's header.
//
// What no published description fixes, and this engine chooses:
// - Password check and key: the key material is SHA-256 over the volume serial (4 bytes,
//   little-endian) followed by the password in UTF-8; the key is its first 16, 24 or 32
//   bytes; the 64-byte header's u32 at offset 56 holds the first 4 bytes (little-endian) of
//   SHA-256 over the key material, so a wrong password is told apart before any chunk is
//   read. Protection 1 (password only) checks the password and stores chunks in clear.
// - Chunk encryption: AES in counter mode over the chunk's stored bytes (length-preserving,
//   so the pointer table's lengths are those of the stored data), the initial counter block
//   holding the chunk's index as a big-endian u64 followed by 8 zero bytes.
// - bzip2 chunks are stored with their "BZh" stream signature blanked; it is put back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ravelkit/source.h"

namespace ravelkit {

#pragma pack(push, 1)
struct IszHeader {
  char signature[4];  // "IsZ!"
  uint8_t headerSize;
  uint8_t version;
  uint32_t volumeSerial;  // the same in every segment of one image
  uint16_t sectorSize;
  uint32_t totalSectors;
  uint8_t protection;    // IszProtection
  int64_t segmentSize;   // bytes per segment file, 0 when not split
  uint32_t chunkCount;
  uint32_t chunkSize;    // uncompressed bytes per chunk, a multiple of the sector size
  uint8_t pointerLength;  // bytes per chunk pointer
  uint8_t segmentNumber;  // 0 for the .isz file, n for .i0n
  uint32_t chunkTableOffset;    // 0: no table, the image is stored whole after the header
  uint32_t segmentTableOffset;  // 0: a single file
  uint32_t dataOffset;
  uint8_t reserved;
  // The 64-byte header of newer writers adds these.
  uint32_t imageCrc;       // complemented CRC-32 of the image (not checked: it would need all)
  uint32_t storedBytes;    // size of the stored chunk data
  uint32_t passwordCheck;  // see above
  uint32_t storedCrc;      // complemented CRC-32 of the stored chunk data
};
#pragma pack(pop)
static_assert(sizeof(IszHeader) == 64);
static_assert(offsetof(IszHeader, volumeSerial) == 6);
static_assert(offsetof(IszHeader, protection) == 16);
static_assert(offsetof(IszHeader, chunkCount) == 25);
static_assert(offsetof(IszHeader, pointerLength) == 33);
static_assert(offsetof(IszHeader, dataOffset) == 43);
static_assert(offsetof(IszHeader, imageCrc) == 48);
static_assert(offsetof(IszHeader, passwordCheck) == 56);

#pragma pack(push, 1)
struct IszSegmentEntry {
  int64_t size;             // of the segment file; 0 ends the table
  uint32_t chunks;          // chunks that start in the file
  uint32_t firstChunk;
  uint32_t firstChunkOffset;
  uint32_t bytesInNext;     // of the file's last chunk, continued in the next file
};
#pragma pack(pop)
static_assert(sizeof(IszSegmentEntry) == 24);
static_assert(offsetof(IszSegmentEntry, firstChunkOffset) == 16);

inline constexpr size_t kIszShortHeader = 48;
inline constexpr size_t kIszSegmentEntrySize = sizeof(IszSegmentEntry);
inline constexpr uint8_t kIszTableKey[4] = {0xB6, 0x8C, 0xA5, 0xDE};

enum class IszProtection : uint8_t { kNone = 0, kPassword = 1, kAes128 = 2, kAes192 = 3, kAes256 = 4 };
enum class IszChunk : uint8_t { kZero = 0, kStored = 1, kZlib = 2, kBzip2 = 3 };

// Random access to one file of an image.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Reads exactly `n` bytes at `offset`; false on a short read or an I/O error.
  virtual bool ReadAt(uint64_t offset, void* out, size_t n) = 0;
};

// Opens segment file `index` (1 for .i01); nullptr when it does not exist.
using IszSegmentOpener = std::function<std::unique_ptr<ByteSource>(unsigned index)>;

// `first` is the .isz file; `path` names it in the layout and in errors.
std::unique_ptr<Source> OpenIszFrom(const std::string& path, std::unique_ptr<ByteSource> first,
                                    const IszSegmentOpener& openSegment,
                                    const std::string* password, std::string& error);

// The key material and password check of a protected image (exposed for the test's writer).
void IszKeyMaterial(uint32_t volumeSerial, const std::string& password, uint8_t out[32]);
uint32_t IszPasswordCheck(const uint8_t keyMaterial[32]);

}  // namespace ravelkit
