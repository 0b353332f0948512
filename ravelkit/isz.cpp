#include "ravelkit/isz.h"

#include <bzlib.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <limits>
#include <vector>

#include "ravelkit/image_files.h"

namespace ravelkit {

static_assert(std::endian::native == std::endian::little, "IszHeader is read in place");

namespace {

// A chunk larger than this is taken for a damaged header rather than allocated.
constexpr uint32_t kMaxChunkSize = 16u << 20;
// Segment numbers run .i01 to .i99.
constexpr unsigned kMaxSegments = 100;

class FileBytes final : public ByteSource {
 public:
  FileBytes(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileBytes() override { ::close(fd_); }
  static std::unique_ptr<ByteSource> Open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<FileBytes>(fd, static_cast<uint64_t>(st.st_size));
  }
  uint64_t size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* out, size_t n) override {
    return ReadFully(fd_, offset, out, n);
  }

 private:
  int fd_;
  uint64_t size_;
};

void Unmask(uint8_t* table, size_t n) {
  for (size_t i = 0; i < n; ++i) table[i] ^= kIszTableKey[i % 4];
}

uint64_t LoadLe(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = v << 8 | p[i];
  return v;
}

// Reads the header at the start of a file; the extended fields read as 0 in a 48-byte one.
bool ReadHeader(ByteSource& file, IszHeader& h, std::string& error) {
  std::memset(&h, 0, sizeof(h));
  if (file.size() < kIszShortHeader || !file.ReadAt(0, &h, kIszShortHeader) ||
      std::memcmp(h.signature, "IsZ!", 4) != 0) {
    error = "no IsZ! header";
    return false;
  }
  if (h.headerSize < kIszShortHeader || h.headerSize > file.size()) {
    error = "header size " + std::to_string(h.headerSize) + " is not valid";
    return false;
  }
  if (h.headerSize >= sizeof(IszHeader) &&
      !file.ReadAt(kIszShortHeader, reinterpret_cast<uint8_t*>(&h) + kIszShortHeader,
                   sizeof(IszHeader) - kIszShortHeader)) {
    error = "header cut short";
    return false;
  }
  return true;
}

struct Segment {
  std::unique_ptr<ByteSource> file;
  uint64_t dataStart = 0;   // where this file's part of the chunk data begins
  uint64_t streamStart = 0;  // offset of that byte in the chunk data of the whole image
};

struct ChunkEntry {
  IszChunk kind = IszChunk::kZero;
  uint32_t stored = 0;  // bytes in the chunk data
  uint64_t at = 0;      // offset in the chunk data of the whole image
};

class IszSource final : public Source {
 public:
  const ImageLayout& layout() const override { return layout_; }

  int ReadStored(int32_t lba, uint8_t* out, std::string& error) override {
    if (lba < 0 || static_cast<uint64_t>(lba) >= totalSectors_) {
      error = "sector " + std::to_string(lba) + " is outside the image";
      return -1;
    }
    uint64_t byte = static_cast<uint64_t>(lba) * kUserSize;
    uint32_t chunk = static_cast<uint32_t>(byte / chunkSize_);
    if (!LoadChunk(chunk, error)) return -1;
    std::memcpy(out, cache_.data() + (byte - uint64_t{chunk} * chunkSize_), kUserSize);
    return static_cast<int>(kUserSize);
  }

  // IsZ! images keep user data only.
  int ReadSubchannel(int32_t, uint8_t*, std::string&) override { return 0; }

  // Everything the open checks, in the order a reader needs it.
  bool Open(const std::string& path, std::unique_ptr<ByteSource> first,
            const IszSegmentOpener& openSegment, const std::string* password,
            std::string& error) {
    IszHeader h;
    if (!ReadHeader(*first, h, error)) return false;
    if (h.segmentNumber != 0) {
      error = "this is segment " + std::to_string(h.segmentNumber) + ", not the first file";
      return false;
    }
    if (h.sectorSize != kUserSize) {
      error = "sector size " + std::to_string(h.sectorSize) + " is not supported";
      return false;
    }
    if (h.totalSectors == 0) {
      error = "the image holds no sectors";
      return false;
    }
    totalSectors_ = h.totalSectors;
    uint64_t imageBytes = totalSectors_ * kUserSize;
    if (!Protection(h, password, error)) return false;

    // Segments: the first file, then every file the segment table names.
    Segment s0;
    s0.file = std::move(first);
    s0.dataStart = h.dataOffset;
    segments_.push_back(std::move(s0));
    if (h.segmentTableOffset != 0 && !ReadSegments(h, openSegment, error)) return false;
    if (segments_[0].dataStart < h.headerSize ||
        segments_[0].dataStart > segments_[0].file->size()) {
      error = "data offset " + std::to_string(h.dataOffset) + " lies outside the file";
      return false;
    }
    uint64_t streamBytes = 0;
    for (Segment& s : segments_) {
      s.streamStart = streamBytes;
      streamBytes += s.file->size() - s.dataStart;
    }

    if (h.chunkTableOffset == 0) {
      // No table: the image is stored whole, as if in stored chunks.
      chunkSize_ = kMaxChunkSize / 16;
      uint64_t n = (imageBytes + chunkSize_ - 1) / chunkSize_;
      for (uint64_t i = 0; i < n; ++i)
        chunks_.push_back({IszChunk::kStored, ChunkBytes(static_cast<uint32_t>(i)), i * chunkSize_});
      if (streamBytes < imageBytes) {
        error = "image data is cut short";
        return false;
      }
    } else if (!ReadChunkTable(h, imageBytes, streamBytes, error)) {
      return false;
    }

    // The chunks can be read from here on: the file system says which medium it is for.
    const MediumClass content = IsoContentClass(
        [this](uint64_t lba, uint8_t* out) {
          std::string ignored;
          return lba <= static_cast<uint64_t>(INT32_MAX) &&
                 ReadStored(static_cast<int32_t>(lba), out, ignored) == static_cast<int>(kUserSize);
        },
        totalSectors_);
    return LayoutIso(path, imageBytes, layout_, error, content);
  }

 private:
  bool Protection(const IszHeader& h, const std::string* password, std::string& error) {
    auto kind = static_cast<IszProtection>(h.protection);
    if (kind == IszProtection::kNone) return true;
    if (h.protection > static_cast<uint8_t>(IszProtection::kAes256)) {
      error = "unknown protection " + std::to_string(h.protection);
      return false;
    }
    if (h.headerSize < sizeof(IszHeader)) {
      error = "protected image without a password check";
      return false;
    }
    if (password == nullptr) {
      error = kErrorPasswordNeeded;
      return false;
    }
    uint8_t material[32];
    IszKeyMaterial(h.volumeSerial, *password, material);
    if (IszPasswordCheck(material) != h.passwordCheck) {
      error = kErrorWrongPassword;
      return false;
    }
    switch (kind) {
      // The cipher takes as many leading bytes of the key material as its key is long.
      case IszProtection::kAes128: cipher_ = EVP_aes_128_ctr(); break;
      case IszProtection::kAes192: cipher_ = EVP_aes_192_ctr(); break;
      case IszProtection::kAes256: cipher_ = EVP_aes_256_ctr(); break;
      default: break;  // password only: chunks are in clear
    }
    std::memcpy(key_, material, sizeof(key_));
    return true;
  }

  bool ReadSegments(const IszHeader& h, const IszSegmentOpener& openSegment,
                    std::string& error) {
    ByteSource& f0 = *segments_[0].file;
    for (unsigned i = 0;; ++i) {
      uint64_t at = uint64_t{h.segmentTableOffset} + uint64_t{i} * kIszSegmentEntrySize;
      uint8_t raw[kIszSegmentEntrySize];
      if (at + sizeof(raw) > f0.size() || !f0.ReadAt(at, raw, sizeof(raw))) {
        error = "segment table runs past the end of the file";
        return false;
      }
      // The key runs on from the table's start; an entry's size is a multiple of its length.
      Unmask(raw, sizeof(raw));
      IszSegmentEntry e;
      std::memcpy(&e, raw, sizeof(e));
      if (e.size == 0) return true;
      uint64_t size = static_cast<uint64_t>(e.size);
      if (i >= kMaxSegments) {
        error = "segment table has no end";
        return false;
      }
      if (i > 0) {
        auto file = openSegment(i);
        if (!file) {
          error = "segment " + std::to_string(i) + " (.i" + (i < 10 ? "0" : "") +
                  std::to_string(i) + ") is missing";
          return false;
        }
        IszHeader sh;
        std::string why;
        if (!ReadHeader(*file, sh, why) || sh.volumeSerial != h.volumeSerial ||
            sh.segmentNumber != i) {
          error = "segment " + std::to_string(i) + " does not belong to this image" +
                  (why.empty() ? "" : ": " + why);
          return false;
        }
        // A later segment holds nothing but data after its header; writers that leave its
        // data offset 0 mean just that.
        uint64_t dataStart = sh.dataOffset == 0 ? sh.headerSize : sh.dataOffset;
        if (dataStart < sh.headerSize || dataStart > file->size()) {
          error = "segment " + std::to_string(i) + " has its data outside the file";
          return false;
        }
        Segment s;
        s.file = std::move(file);
        s.dataStart = dataStart;
        segments_.push_back(std::move(s));
      }
      if (segments_[i].file->size() != size) {
        error = "segment " + std::to_string(i) + " is " +
                std::to_string(segments_[i].file->size()) + " bytes, the table says " +
                std::to_string(size);
        return false;
      }
    }
  }

  bool ReadChunkTable(const IszHeader& h, uint64_t imageBytes, uint64_t streamBytes,
                      std::string& error) {
    if (h.chunkSize == 0 || h.chunkSize % kUserSize != 0 || h.chunkSize > kMaxChunkSize) {
      error = "chunk size " + std::to_string(h.chunkSize) + " is not valid";
      return false;
    }
    chunkSize_ = h.chunkSize;
    if (h.chunkCount != (imageBytes + chunkSize_ - 1) / chunkSize_) {
      error = std::to_string(h.chunkCount) + " chunks do not hold " +
              std::to_string(totalSectors_) + " sectors";
      return false;
    }
    if (h.pointerLength < 1 || h.pointerLength > 8) {
      error = "chunk pointers of " + std::to_string(h.pointerLength) + " bytes";
      return false;
    }
    ByteSource& f0 = *segments_[0].file;
    uint64_t tableBytes = uint64_t{h.chunkCount} * h.pointerLength;
    if (h.chunkTableOffset < h.headerSize || h.chunkTableOffset + tableBytes > f0.size()) {
      error = "chunk table runs past the end of the file";
      return false;
    }
    std::vector<uint8_t> table(static_cast<size_t>(tableBytes));
    if (!f0.ReadAt(h.chunkTableOffset, table.data(), table.size())) {
      error = "cannot read the chunk table";
      return false;
    }
    Unmask(table.data(), table.size());
    unsigned lengthBits = 8u * h.pointerLength - 2;
    uint64_t next = 0;
    chunks_.resize(h.chunkCount);
    for (uint32_t i = 0; i < h.chunkCount; ++i) {
      uint64_t v = LoadLe(table.data() + size_t{i} * h.pointerLength, h.pointerLength);
      ChunkEntry& c = chunks_[i];
      c.kind = static_cast<IszChunk>(v >> lengthBits);
      uint64_t length = v & ((uint64_t{1} << lengthBits) - 1);
      c.at = next;
      // A zero chunk stores nothing; writers put its uncompressed size in the pointer.
      if (c.kind == IszChunk::kZero) continue;
      uint32_t want = ChunkBytes(i);
      if (length == 0 || length > chunkSize_ ||
          (c.kind == IszChunk::kStored && length != want)) {
        error = "chunk " + std::to_string(i) + " has a stored length of " +
                std::to_string(length) + " bytes";
        return false;
      }
      c.stored = static_cast<uint32_t>(length);
      next += length;
    }
    if (next > streamBytes) {
      error = "chunk data runs past the end of the image (" + std::to_string(next) +
              " bytes needed, " + std::to_string(streamBytes) + " present)";
      return false;
    }
    return true;
  }

  // Uncompressed size of chunk i: the last one holds what is left.
  uint32_t ChunkBytes(uint32_t i) const {
    uint64_t imageBytes = totalSectors_ * kUserSize;
    uint64_t from = uint64_t{i} * chunkSize_;
    return static_cast<uint32_t>(std::min<uint64_t>(chunkSize_, imageBytes - from));
  }

  // Reads `n` bytes of chunk data starting at `at`, across segment files.
  bool ReadStream(uint64_t at, uint8_t* out, size_t n) {
    size_t k = 0;
    while (k + 1 < segments_.size() && segments_[k + 1].streamStart <= at) ++k;
    for (; k < segments_.size() && n > 0; ++k) {
      Segment& cur = segments_[k];
      uint64_t inFile = cur.dataStart + (at - cur.streamStart);
      size_t take = static_cast<size_t>(std::min<uint64_t>(cur.file->size() - inFile, n));
      if (take > 0 && !cur.file->ReadAt(inFile, out, take)) return false;
      out += take, at += take, n -= take;
    }
    return n == 0;
  }

  bool LoadChunk(uint32_t i, std::string& error) {
    if (cachedChunk_ == i) return true;
    cachedChunk_ = UINT32_MAX;
    const ChunkEntry& c = chunks_[i];
    uint32_t want = ChunkBytes(i);
    cache_.resize(chunkSize_);
    std::string where = "chunk " + std::to_string(i);
    if (c.kind == IszChunk::kZero) {
      std::memset(cache_.data(), 0, want);
      cachedChunk_ = i;
      return true;
    }
    stored_.resize(c.stored);
    if (!ReadStream(c.at, stored_.data(), c.stored)) {
      error = "cannot read " + where;
      return false;
    }
    if (cipher_ != nullptr && !Decrypt(i)) {
      error = "cannot decrypt " + where;
      return false;
    }
    switch (c.kind) {
      case IszChunk::kStored:
        std::memcpy(cache_.data(), stored_.data(), want);
        break;
      case IszChunk::kZlib: {
        uLongf got = want;
        if (::uncompress(cache_.data(), &got, stored_.data(), c.stored) != Z_OK || got != want) {
          error = where + " does not inflate to " + std::to_string(want) + " bytes";
          return false;
        }
        break;
      }
      case IszChunk::kBzip2: {
        if (c.stored < 4) {
          error = where + " is too short for bzip2";
          return false;
        }
        std::memcpy(stored_.data(), "BZh", 3);
        unsigned got = want;
        if (BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(cache_.data()), &got,
                                       reinterpret_cast<char*>(stored_.data()), c.stored, 0,
                                       0) != BZ_OK ||
            got != want) {
          error = where + " does not decompress to " + std::to_string(want) + " bytes";
          return false;
        }
        break;
      }
      case IszChunk::kZero:
        break;
    }
    cachedChunk_ = i;
    return true;
  }

  bool Decrypt(uint32_t chunk) {
    uint8_t iv[16] = {};
    for (int b = 0; b < 8; ++b) iv[b] = static_cast<uint8_t>(uint64_t{chunk} >> (56 - 8 * b));
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr) return false;
    int n = 0, tail = 0;
    bool ok = EVP_DecryptInit_ex(ctx, cipher_, nullptr, key_, iv) == 1 &&
              EVP_DecryptUpdate(ctx, stored_.data(), &n, stored_.data(),
                                static_cast<int>(stored_.size())) == 1 &&
              EVP_DecryptFinal_ex(ctx, stored_.data() + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
  }

  ImageLayout layout_;
  uint64_t totalSectors_ = 0;
  uint32_t chunkSize_ = 0;
  std::vector<Segment> segments_;
  std::vector<ChunkEntry> chunks_;
  const EVP_CIPHER* cipher_ = nullptr;  // null: chunks are stored in clear
  uint8_t key_[32] = {};
  // One decoded chunk: reads run sequentially, so the next sector is usually in it.
  uint32_t cachedChunk_ = UINT32_MAX;
  std::vector<uint8_t> cache_;
  std::vector<uint8_t> stored_;
};

// "disc.isz" -> "disc.i03", in the case of the extension where that file exists; "" when
// the segment is not there, which opens nothing.
std::string SegmentPath(const std::string& path, unsigned index) {
  return Sibling(path, (index < 10 ? "i0" : "i") + std::to_string(index));
}

}  // namespace

void IszKeyMaterial(uint32_t volumeSerial, const std::string& password, uint8_t out[32]) {
  std::vector<uint8_t> in(4 + password.size());
  for (int i = 0; i < 4; ++i) in[static_cast<size_t>(i)] = static_cast<uint8_t>(volumeSerial >> (8 * i));
  std::memcpy(in.data() + 4, password.data(), password.size());
  SHA256(in.data(), in.size(), out);
}

uint32_t IszPasswordCheck(const uint8_t keyMaterial[32]) {
  uint8_t digest[32];
  SHA256(keyMaterial, 32, digest);
  return static_cast<uint32_t>(LoadLe(digest, 4));
}

std::unique_ptr<Source> OpenIszFrom(const std::string& path, std::unique_ptr<ByteSource> first,
                                    const IszSegmentOpener& openSegment,
                                    const std::string* password, std::string& error) {
  auto src = std::make_unique<IszSource>();
  if (!src->Open(path, std::move(first), openSegment, password, error)) {
    // The password errors must keep their leading text; the others name the file.
    if (error != kErrorPasswordNeeded && error != kErrorWrongPassword)
      error = "'" + path + "': " + error;
    return nullptr;
  }
  return src;
}

std::unique_ptr<Source> OpenIsz(const std::string& path, const std::string* password,
                                std::string& error) {
  auto first = FileBytes::Open(path);
  if (!first) {
    error = "cannot open '" + path + "'";
    return nullptr;
  }
  auto opener = [&path](unsigned index) { return FileBytes::Open(SegmentPath(path, index)); };
  return OpenIszFrom(path, std::move(first), opener, password, error);
}

}  // namespace ravelkit
