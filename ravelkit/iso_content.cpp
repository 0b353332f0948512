// The medium an ISO image was made for, from what it holds: the volume size an ISO 9660
// primary descriptor states, and the top directories of a UDF file system (VIDEO_TS for
// DVD-Video, BDMV for a Blu-ray movie). Layouts are those of ECMA-119 and ECMA-167 with the
// UDF profile (OSTA UDF 1.02 to 2.60, including the metadata partition of 2.50). Every
// location comes from the image, so each read is bounded and a wrong structure only
// means "no evidence".
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "ravelkit/disc.h"
#include "ravelkit/source.h"

namespace ravelkit {
namespace {

constexpr uint32_t kSector = 2048;
constexpr uint32_t kVolumeDescriptorsStart = 16;
constexpr uint32_t kVolumeDescriptorsMax = 64;  // how far the recognition sequences are looked for
constexpr uint32_t kAnchorSector = 256;
constexpr uint32_t kSequenceSectorsMax = 64;
constexpr uint32_t kDirectoryBytesMax = 1u << 20;
constexpr uint32_t kExtentsMax = 64;

// ECMA-167 descriptor tags.
constexpr uint16_t kTagAnchor = 2;
constexpr uint16_t kTagPartition = 5;
constexpr uint16_t kTagLogicalVolume = 6;
constexpr uint16_t kTagTerminating = 8;
constexpr uint16_t kTagFileSet = 256;
constexpr uint16_t kTagFileIdentifier = 257;
constexpr uint16_t kTagFileEntry = 261;
constexpr uint16_t kTagExtendedFileEntry = 266;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A descriptor tag is trusted when its checksum (the sum of bytes 0-3 and 5-15) holds.
bool TagIs(const uint8_t* d, uint16_t id) {
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
  return sum == d[4] && Le16(d) == id;
}

struct Extent {
  uint32_t partition;  // index into the volume's partition maps
  uint32_t block;
  uint32_t bytes;
};

class Udf {
 public:
  Udf(const IsoSectorReader& read, uint64_t sectors) : read_(read), sectors_(sectors) {}

  // The names in the root directory, upper-cased; empty when there is no readable UDF.
  std::vector<std::string> RootNames() {
    uint8_t s[kSector];
    if (!Read(kAnchorSector, s) || !TagIs(s, kTagAnchor)) return {};
    const uint32_t length = Le32(s + 16), location = Le32(s + 20);
    uint8_t lvd[kSector] = {};
    bool have_lvd = false;
    for (uint32_t i = 0; i < std::min(length / kSector, kSequenceSectorsMax); ++i) {
      if (!Read(uint64_t{location} + i, s)) break;
      if (TagIs(s, kTagTerminating)) break;
      if (TagIs(s, kTagPartition)) {
        starts_.push_back({Le16(s + 22), Le32(s + 188)});
      } else if (TagIs(s, kTagLogicalVolume) && !have_lvd) {
        std::memcpy(lvd, s, kSector);
        have_lvd = true;
      }
    }
    if (!have_lvd || Le32(lvd + 212) != kSector) return {};
    if (!Maps(lvd)) return {};
    // The file set descriptor, then the root directory's file entry.
    const Extent fsd{Le16(lvd + 248 + 8), Le32(lvd + 248 + 4), Le32(lvd + 248) & 0x3FFFFFFF};
    if (!ReadBlock(fsd.partition, fsd.block, s) || !TagIs(s, kTagFileSet)) return {};
    const uint8_t* root = s + 400;
    std::vector<uint8_t> dir;
    if (!FileData(Le16(root + 8), Le32(root + 4), kDirectoryBytesMax, dir)) return {};
    return Names(dir);
  }

 private:
  struct PartitionStart {
    uint16_t number;
    uint32_t start;
  };
  struct Map {
    bool metadata = false;
    uint32_t start = 0;            // first sector of the physical partition
    std::vector<Extent> extents;   // a metadata partition: where its blocks lie
  };

  bool Read(uint64_t lba, uint8_t* out) { return lba < sectors_ && read_(lba, out); }

  // Type 1 maps name a partition descriptor; a type 2 map whose identifier says metadata
  // partition keeps its blocks in a metadata file inside the physical partition it names.
  bool Maps(const uint8_t* lvd) {
    const uint32_t count = std::min<uint32_t>(Le32(lvd + 268), 8);
    uint32_t at = 440;
    for (uint32_t i = 0; i < count; ++i) {
      if (at + 2 > kSector) return false;
      const uint8_t type = lvd[at], len = lvd[at + 1];
      if (len < 6 || at + len > kSector) return false;
      Map m;
      if (type == 1) {
        if (!StartOf(Le16(lvd + at + 4), &m.start)) return false;
      } else if (type == 2 && len >= 44 &&
                 std::memcmp(lvd + at + 5, "*UDF Metadata Partition", 23) == 0) {
        if (!StartOf(Le16(lvd + at + 38), &m.start)) return false;
        m.metadata = true;
        metadata_file_ = Le32(lvd + at + 40);
      } else {
        return false;  // sparing and virtual partitions: not for pressed media
      }
      maps_.push_back(std::move(m));
      at += len;
    }
    for (size_t i = 0; i < maps_.size(); ++i) {
      if (!maps_[i].metadata) continue;
      // The metadata file is found through its entry in the physical partition.
      Map physical;
      physical.start = maps_[i].start;
      maps_.push_back(physical);
      std::vector<Extent> extents;
      if (!Allocation(static_cast<uint32_t>(maps_.size() - 1), metadata_file_, &extents)) return false;
      maps_.pop_back();
      maps_[i].extents = std::move(extents);
    }
    return !maps_.empty();
  }

  bool StartOf(uint16_t number, uint32_t* start) {
    for (const PartitionStart& p : starts_)
      if (p.number == number) return *start = p.start, true;
    return false;
  }

  bool ReadBlock(uint32_t partition, uint32_t block, uint8_t* out) {
    if (partition >= maps_.size()) return false;
    const Map& m = maps_[partition];
    if (!m.metadata) return Read(uint64_t{m.start} + block, out);
    uint64_t skip = block;
    for (const Extent& e : m.extents) {
      const uint32_t blocks = e.bytes / kSector;
      if (skip < blocks) return Read(uint64_t{m.start} + e.block + skip, out);
      skip -= blocks;
    }
    return false;
  }

  // The extents a file entry allocates, in the entry's own partition for short forms.
  bool Allocation(uint32_t partition, uint32_t block, std::vector<Extent>* out,
                  std::vector<uint8_t>* embedded = nullptr) {
    uint8_t s[kSector];
    if (!ReadBlock(partition, block, s)) return false;
    uint32_t ea = 0, ad = 0, base = 0;
    if (TagIs(s, kTagFileEntry)) {
      ea = Le32(s + 168), ad = Le32(s + 172), base = 176;
    } else if (TagIs(s, kTagExtendedFileEntry)) {
      ea = Le32(s + 208), ad = Le32(s + 212), base = 216;
    } else {
      return false;
    }
    if (ea > kSector || ad > kSector || base + ea + ad > kSector) return false;
    const uint8_t* p = s + base + ea;
    const uint64_t length = uint64_t{Le32(s + 56)} | uint64_t{Le32(s + 60)} << 32;
    switch (Le16(s + 34) & 7) {
      case 0:  // short_ad
        for (uint32_t i = 0; i + 8 <= ad && out->size() < kExtentsMax; i += 8) {
          const uint32_t bytes = Le32(p + i) & 0x3FFFFFFF;
          if (bytes == 0) break;
          if ((Le32(p + i) >> 30) == 0) out->push_back({partition, Le32(p + i + 4), bytes});
        }
        return true;
      case 1:  // long_ad
        for (uint32_t i = 0; i + 16 <= ad && out->size() < kExtentsMax; i += 16) {
          const uint32_t bytes = Le32(p + i) & 0x3FFFFFFF;
          if (bytes == 0) break;
          if ((Le32(p + i) >> 30) == 0) out->push_back({Le16(p + i + 8), Le32(p + i + 4), bytes});
        }
        return true;
      case 3:  // the data inside the entry
        if (embedded == nullptr) return false;
        embedded->assign(p, p + std::min<uint64_t>(ad, length));
        return true;
      default:
        return false;
    }
  }

  bool FileData(uint32_t partition, uint32_t block, uint32_t limit, std::vector<uint8_t>& out) {
    std::vector<Extent> extents;
    std::vector<uint8_t> embedded;
    if (!Allocation(partition, block, &extents, &embedded)) return false;
    if (!embedded.empty()) return out = std::move(embedded), true;
    uint8_t s[kSector];
    for (const Extent& e : extents) {
      for (uint32_t done = 0; done < e.bytes && out.size() < limit; done += kSector) {
        if (!ReadBlock(e.partition, e.block + done / kSector, s)) return false;
        out.insert(out.end(), s, s + std::min(kSector, e.bytes - done));
      }
    }
    return true;
  }

  static std::vector<std::string> Names(const std::vector<uint8_t>& dir) {
    std::vector<std::string> names;
    for (size_t at = 0; at + 38 <= dir.size();) {
      const uint8_t* f = dir.data() + at;
      if (!TagIs(f, kTagFileIdentifier)) break;
      const uint32_t name_bytes = f[19], use = Le16(f + 36);
      const size_t size = (38 + use + name_bytes + 3) & ~size_t{3};
      if (at + 38 + use + name_bytes > dir.size()) break;
      const uint8_t* id = f + 38 + use;
      if (name_bytes > 1 && !(f[18] & 0x08)) {  // not the parent entry
        std::string name;
        const bool wide = id[0] == 16;
        for (uint32_t i = 1; i + (wide ? 1 : 0) < name_bytes; i += wide ? 2 : 1) {
          const uint32_t c = wide ? (uint32_t{id[i]} << 8 | id[i + 1]) : id[i];
          name += c < 0x80 ? static_cast<char>(std::toupper(static_cast<int>(c))) : '?';
        }
        names.push_back(name);
      }
      at += size;
    }
    return names;
  }

  const IsoSectorReader& read_;
  uint64_t sectors_;
  std::vector<PartitionStart> starts_;
  std::vector<Map> maps_;
  uint32_t metadata_file_ = 0;
};

bool HasUdfRecognition(const IsoSectorReader& read, uint64_t sectors) {
  uint8_t s[kSector];
  for (uint32_t lba = kVolumeDescriptorsStart;
       lba < kVolumeDescriptorsStart + kVolumeDescriptorsMax && lba < sectors; ++lba) {
    if (!read(lba, s)) return false;
    if (std::memcmp(s + 1, "NSR02", 5) == 0 || std::memcmp(s + 1, "NSR03", 5) == 0) return true;
    if (std::memcmp(s + 1, "TEA01", 5) == 0) return false;
    const bool known = std::memcmp(s + 1, "CD001", 5) == 0 || std::memcmp(s + 1, "BEA01", 5) == 0;
    if (!known) return false;
  }
  return false;
}

}  // namespace

MediumClass IsoContentClass(const IsoSectorReader& read, uint64_t sectors) {
  MediumClass found = MediumClass::kCd;
  uint8_t s[kSector];
  // The ISO 9660 primary volume descriptor states the volume's size in sectors.
  if (sectors > kVolumeDescriptorsStart && read(kVolumeDescriptorsStart, s) && s[0] == 1 &&
      std::memcmp(s + 1, "CD001", 5) == 0) {
    const uint32_t volume = Le32(s + 80);
    if (volume > static_cast<uint32_t>(kDvdLayer2Sectors)) found = MediumClass::kBd;
    else if (volume > static_cast<uint32_t>(kCdMaxLba)) found = MediumClass::kDvd;
  }
  if (HasUdfRecognition(read, sectors)) {
    Udf udf(read, sectors);
    for (const std::string& name : udf.RootNames()) {
      if (name == "BDMV") found = MediumClass::kBd;
      if (name == "VIDEO_TS" && found == MediumClass::kCd) found = MediumClass::kDvd;
    }
  }
  return found;
}

}  // namespace ravelkit
