// .b5t and .b6t images: a binary descriptor between the signature "BWT5 STREAM SIGN" and
// the footer "BWT5 STREAM FOOT", and data files it names. The descriptor is a chain of
// blocks whose lengths two fixed blocks near its start declare:
//
//   signature (16); disc block 1 (112: medium type, session count, the lengths of the PMA,
//   ATIP, CD-TEXT, BCA, DVD structure and disc information blocks); 32 bytes; the drive's
//   inquiry identity (48); the volume name (32); disc block 2 (20: the lengths of mode
//   page 2Ah, an unknown block, the data block list, the session list and the DPM block);
//   then mode page 2Ah, the unknown block, PMA, ATIP, CD-TEXT, BCA, DVD structures and the
//   disc information block, in that order; the data block list; the session list; the DPM
//   block; the descriptor's length (4) and the footer.
//
// A data block is a run of sectors in one file: its type (bit 15: audio), byte and sector
// lengths (whose quotient is the stored sector size, sub-channel included), file offset,
// first sector and UTF-16 file name. A session lists TOC entries of 64 bytes; those of
// tracks (type 1 audio, 2 mode 1, 3 mode 2, 4 form 1, 5 form 2, 6 DVD) give the first
// sector of the pregap, the pregap length and the length with the pregap, and all but DVD
// ones carry 8 more bytes. The layout followed is the one the format's public
// descriptions give.
#include <algorithm>
#include <cstring>

#include "ravelkit/ravelkit.h"
#include "ravelkit/source.h"

namespace ravelkit {

namespace {

constexpr char kSignature[] = "BWT5 STREAM SIGN";
constexpr char kFooter[] = "BWT5 STREAM FOOT";
constexpr size_t kDiscBlock1Size = 112;
constexpr size_t kDataBlockFixed = 52;
constexpr size_t kTrackEntrySize = 64;
constexpr size_t kMaxDataBlocks = 4096;

struct DataBlock {
  bool audio = false;
  uint32_t lengthBytes = 0;
  uint64_t offset = 0;
  int32_t start = 0;
  int32_t sectors = 0;
  int file = -1;
};

class Parser {
 public:
  Parser(std::span<const uint8_t> d, const std::string& path, const FileSizeLookup& sizeOf,
         ImageLayout& out)
      : d_(d), path_(path), sizeOf_(sizeOf), out_(out) {}

  bool Run(std::string& error) {
    bool ok = Parse();
    if (!ok) error = error_;
    return ok;
  }

 private:
  bool Fail(const std::string& msg) {
    if (error_.empty()) error_ = msg;
    return false;
  }
  bool Truncated() { return Fail("descriptor ends inside its " + where_); }
  bool Skip(uint64_t n) {
    if (d_.size() - at_ < n) return Truncated();
    at_ += static_cast<size_t>(n);
    return true;
  }
  uint32_t U32(size_t p) const {
    return d_[p] | static_cast<uint32_t>(d_[p + 1]) << 8 | static_cast<uint32_t>(d_[p + 2]) << 16 |
           static_cast<uint32_t>(d_[p + 3]) << 24;
  }
  uint16_t U16(size_t p) const { return static_cast<uint16_t>(d_[p] | d_[p + 1] << 8); }
  bool Need(size_t n) { return d_.size() - at_ >= n || Truncated(); }

  bool Parse() {
    where_ = "header";
    if (d_.size() < 16 || std::memcmp(d_.data(), kSignature, 16) != 0)
      return Fail("not a .b5t/.b6t descriptor: signature missing");
    at_ = 16;
    if (!Need(kDiscBlock1Size)) return false;
    size_t b1 = at_;
    uint16_t discType = U16(b1 + 32);
    uint16_t sessions = U16(b1 + 34);
    uint16_t pma = U16(b1 + 80), atip = U16(b1 + 82), cdText = U16(b1 + 84),
             cdInfo = U16(b1 + 86);
    uint32_t bca = U32(b1 + 88), dvdStructures = U32(b1 + 104), dvdInfo = U32(b1 + 108);
    bool cd = discType >= 0x08 && discType <= 0x0A;
    bool dvd = discType >= 0x10 && discType <= 0x14;
    if (!cd && !dvd) return Fail("medium type 0x" + Hex(discType) + " is not supported");
    out_.medium = dvd ? MediumClass::kDvd : MediumClass::kCd;
    constexpr int16_t kStated[] = {kMediumCdRom, kMediumCdR, kMediumCdRw};
    if (cd) out_.statedClass = kStated[discType - 0x08];
    else if (discType == 0x10) out_.statedClass = kMediumDvdRom;
    if (sessions < 1 || sessions > 99 || (dvd && sessions != 1))
      return Fail("session count " + std::to_string(sessions) + " is out of range");
    if (!Skip(kDiscBlock1Size + 32 + 48 + 32) || !Need(20)) return false;
    uint32_t modePage = U32(at_), unknown = U32(at_ + 4), dpm = U32(at_ + 16);
    at_ += 20;

    where_ = "drive and disc blocks";
    if (!Skip(modePage) || !Skip(unknown) || !Skip(pma) || !Skip(atip)) return false;
    if (cdText > 0) {
      if (!Need(cdText)) return false;
      // CD-TEXT as READ TOC format 5 returns it: a 4-byte header, then the packs.
      if (cdText > 4 && (cdText - 4) % 18 == 0)
        out_.cdText.assign(d_.begin() + static_cast<std::ptrdiff_t>(at_ + 4),
                           d_.begin() + static_cast<std::ptrdiff_t>(at_ + cdText));
      at_ += cdText;
    }
    if (!Skip(bca)) return false;
    if (dvdStructures > 0 && !DvdStructures(dvdStructures)) return false;
    if (!Skip(cd ? cdInfo : dvdInfo)) return false;

    if (!DataBlocks()) return false;
    for (uint32_t s = 0; s < sessions; ++s)
      if (!SessionBlock(s + 1, dvd)) return false;
    where_ = "DPM block";
    if (!Skip(dpm) || !Skip(4)) return false;
    where_ = "footer";
    if (!Need(16) || std::memcmp(d_.data() + at_, kFooter, 16) != 0)
      return Fail("descriptor footer missing");
    if (dvd) out_.layers = std::max<uint8_t>(out_.layers, out_.disc.LeadOut() > kDvdLayer1Sectors ? 2 : 1);
    FillExtentGaps(out_.extents);
    return true;
  }

  // Two zero bytes, then per structure its format number (little-endian) and the header
  // READ DISC STRUCTURE answers with (a big-endian length that counts the two reserved
  // bytes after it), then its data.
  bool DvdStructures(uint32_t length) {
    where_ = "DVD structures";
    if (!Need(length)) return false;
    size_t end = at_ + length, p = at_ + 2;
    while (p + 6 <= end) {
      uint16_t format = U16(p);
      uint16_t len = static_cast<uint16_t>(d_[p + 2] << 8 | d_[p + 3]);
      if (len < 2 || end - (p + 6) < static_cast<size_t>(len - 2))
        return Fail("DVD structure 0x" + Hex(format) + " runs past its block");
      const uint8_t* body = d_.data() + p + 6;
      size_t bodyLen = len - 2u;
      if (format == 0x00 && bodyLen >= 3) {
        // Physical format: bits 5-6 of byte 2 are the layers less one.
        out_.layers = static_cast<uint8_t>(((body[2] >> 5) & 3) + 1);
      } else if (format == 0x01 && bodyLen >= 2) {
        out_.copyProtection = body[0] == 1 ? 1 : 0;
        out_.regionByte = body[1];
      }
      p += 6 + bodyLen;
    }
    at_ = end;
    return true;
  }

  bool DataBlocks() {
    where_ = "data block list";
    if (!Need(8)) return false;
    uint32_t count = U32(at_), pathLength = U32(at_ + 4);
    at_ += 8;
    if (count < 1 || count > kMaxDataBlocks)
      return Fail("data block count " + std::to_string(count) + " is out of range");
    if (!Skip(pathLength)) return false;
    for (uint32_t i = 0; i < count; ++i) {
      if (!Need(kDataBlockFixed)) return false;
      DataBlock b;
      uint32_t type = U32(at_);
      b.audio = (type & 0x8000) != 0;
      b.lengthBytes = U32(at_ + 4);
      b.offset = U32(at_ + 24);
      b.start = static_cast<int32_t>(U32(at_ + 40));
      b.sectors = static_cast<int32_t>(U32(at_ + 44));
      uint32_t nameLength = U32(at_ + 48);
      at_ += kDataBlockFixed;
      if (!Need(nameLength) || nameLength % 2 != 0) return Truncated();
      std::string name;
      if (!FileName(at_, nameLength, name)) return false;
      at_ += nameLength;
      if (!Skip(4)) return false;
      if (b.sectors < 1 || b.sectors > kDvdLayer2Sectors + 1 || b.start < kLeadInMinLba ||
          b.start > kDvdLayer2Sectors)
        return Fail("data block " + std::to_string(i + 1) + " of '" + name + "' lies outside the disc");
      if (!DataFile(name, b.file)) return false;
      blocks_.push_back(b);
    }
    std::sort(blocks_.begin(), blocks_.end(),
              [](const DataBlock& a, const DataBlock& b) { return a.start < b.start; });
    return true;
  }

  // The name a data block gives, reduced to the file's own name: a path would let a hostile
  // descriptor serve any file the program can read to the initiator, and the folder it was
  // written in is not where the image lies now.
  bool FileName(size_t p, uint32_t length, std::string& name) {
    for (uint32_t i = 0; i < length; i += 2) {
      uint32_t c = U16(p + i);
      if (c == 0) break;
      if (c == '\\' || c == '/' || c == ':') {
        name.clear();
        continue;
      }
      if (c < 0x20 || c >= 0x80) return Fail("data file name holds an unsupported character");
      name += static_cast<char>(c);
    }
    if (name.empty() || name == "." || name == "..") return Fail("data file name is empty");
    return true;
  }

  bool DataFile(const std::string& name, int& file) {
    size_t slash = path_.find_last_of('/');
    std::string dir = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    std::string full = dir + name;
    for (size_t i = 0; i < out_.files.size(); ++i)
      if (out_.files[i].path == full) return (file = static_cast<int>(i)), true;
    auto size = sizeOf_(full);
    if (!size) return Fail("cannot open data file '" + name + "'");
    out_.files.push_back({full, *size, false});
    file = static_cast<int>(out_.files.size() - 1);
    return true;
  }

  bool SessionBlock(uint32_t number, bool dvd) {
    where_ = "session list";
    if (!Need(16)) return false;
    std::string name = "session " + std::to_string(number);
    uint16_t n = U16(at_);
    uint8_t entries = d_[at_ + 2];
    int32_t end = static_cast<int32_t>(U32(at_ + 8));
    at_ += 16;
    if (n != number) return Fail(name + " is numbered " + std::to_string(n));
    Disc& d = out_.disc;
    Session session;
    session.number = static_cast<uint8_t>(number);
    session.firstTrack = d.tracks.size();
    for (uint32_t i = 0; i < entries; ++i) {
      if (!Need(kTrackEntrySize)) return false;
      size_t e = at_;
      uint8_t type = d_[e];
      at_ += kTrackEntrySize;
      if (type == 0) continue;  // A0-A2 and other lead-in points
      if (type != 6 && !Skip(8)) return false;
      if (!TrackEntry(e, type, number, dvd, session)) return false;
    }
    if (d.tracks.size() == session.firstTrack) return Fail(name + " has no track");
    session.lastTrack = d.tracks.size() - 1;
    int32_t limit = dvd ? kDvdLayer2Sectors : kCdMaxLba;
    if (end < d.tracks.back().end || end > limit) end = d.tracks.back().end;
    session.leadOut = end;
    d.sessions.push_back(session);
    return true;
  }

  bool TrackEntry(size_t e, uint8_t type, uint32_t session, bool dvd, Session& s) {
    Disc& d = out_.disc;
    uint8_t point = d_[e + 12];
    std::string name = "track " + std::to_string(point);
    if (type > 6) return Fail(name + " has unknown type " + std::to_string(type));
    if ((type == 6) != dvd) return Fail(name + ": a DVD track on a CD, or a CD track on a DVD");
    constexpr TrackMode kModes[] = {TrackMode::kAudio, TrackMode::kMode1, TrackMode::kMode2Mixed,
                                    TrackMode::kMode2Form1, TrackMode::kMode2Form2,
                                    TrackMode::kMode1};
    Track t;
    t.number = point;
    t.session = static_cast<uint8_t>(session);
    t.mode = kModes[type - 1];
    t.control = dvd ? kCtrlData : d_[e + 10] & 0x0F;
    if (type >= 3 && type <= 5) s.discType = 0x20;
    uint32_t pregap = U32(e + 22);
    int64_t first = static_cast<int32_t>(U32(e + 42));
    int64_t length = static_cast<int32_t>(U32(e + 46));
    int64_t limit = dvd ? kDvdLayer2Sectors : kCdMaxLba;
    if (point < 1 || point > 99) return Fail("track number " + std::to_string(point) + " is out of range");
    if (length < 1 || length > limit || first < kLeadInMinLba || first + length > limit ||
        pregap >= length)
      return Fail(name + " lies outside the disc");
    int64_t start = first + pregap;
    int64_t pregapStart = std::max<int64_t>(first, 0);
    if (start < 0) return Fail(name + " starts before the disc");
    if (!d.tracks.empty()) {
      Track& prev = d.tracks.back();
      if (point != prev.number + 1) return Fail(name + " does not follow the track before it");
      if (pregapStart < prev.end) return Fail(name + " overlaps the track before it");
      if (prev.session == t.session) prev.end = static_cast<int32_t>(pregapStart);
    }
    t.pregapStart = static_cast<int32_t>(pregapStart);
    t.indexes = {static_cast<int32_t>(start)};
    t.end = static_cast<int32_t>(first + length);
    if (!Extents(t, name)) return false;
    d.tracks.push_back(std::move(t));
    return true;
  }

  // The sectors of a track from the data blocks that hold them; what no block holds (a
  // pregap the descriptor only declares) is served empty.
  bool Extents(const Track& t, const std::string& name) {
    for (const DataBlock& b : blocks_) {
      int64_t from = std::max<int64_t>(t.pregapStart, b.start);
      int64_t to = std::min<int64_t>(t.end, int64_t{b.start} + b.sectors);
      if (from >= to) continue;
      if (b.lengthBytes % static_cast<uint32_t>(b.sectors) != 0)
        return Fail(name + ": data block length " + std::to_string(b.lengthBytes) +
                    " is not a whole number of its " + std::to_string(b.sectors) + " sectors");
      uint32_t stride = b.lengthBytes / static_cast<uint32_t>(b.sectors);
      uint32_t main = stride, sub = 0;
      if (stride == kRawSize + kSubchannelSize) main = kRawSize, sub = kSubchannelSize;
      else if (stride == kRawSize + 16) main = kRawSize;  // Q alone: the generated one serves
      if (main != kUserSize && main != kMode2Size && main != kRawSize)
        return Fail(name + " has unsupported sector size " + std::to_string(stride));
      if (b.audio != (t.mode == TrackMode::kAudio))
        return Fail(name + ": its data block holds " + (b.audio ? "audio" : "data") +
                    " sectors");
      const ImageFile& f = out_.files[static_cast<size_t>(b.file)];
      uint64_t need = static_cast<uint64_t>(to - b.start) * stride + b.offset;
      if (need > f.size) {
        uint64_t holds = f.size > b.offset ? (f.size - b.offset) / stride : 0;
        std::string base = f.path.substr(f.path.find_last_of('/') + 1);
        return Fail(name + " needs " + std::to_string(to - b.start) + " sectors but '" + base +
                    "' holds " + std::to_string(holds));
      }
      Extent e;
      e.lba = static_cast<int32_t>(from);
      e.count = static_cast<int32_t>(to - from);
      e.file = b.file;
      e.offset = b.offset + static_cast<uint64_t>(from - b.start) * stride;
      e.sectorSize = main;
      e.stride = stride;
      if (sub != 0) {
        e.subForm = SubchannelForm::kLinear;
        e.subFile = b.file;
        e.subOffset = e.offset + main;
        e.subStride = stride;
      }
      if (!out_.extents.empty() && out_.extents.back().lba + out_.extents.back().count > e.lba)
        return Fail(name + ": data blocks overlap");
      out_.extents.push_back(e);
    }
    return true;
  }

  static std::string Hex(unsigned v) {
    const char* digits = "0123456789ABCDEF";
    return {digits[(v >> 4) & 0xF], digits[v & 0xF]};
  }

  std::span<const uint8_t> d_;
  const std::string& path_;
  const FileSizeLookup& sizeOf_;
  ImageLayout& out_;
  std::string error_;
  std::string where_;
  size_t at_ = 0;
  std::vector<DataBlock> blocks_;
};

}  // namespace

bool ParseB6t(std::span<const uint8_t> descriptor, const std::string& path,
              const FileSizeLookup& sizeOf, ImageLayout& out, std::string& error) {
  out = ImageLayout{};
  Parser parser(descriptor, path, sizeOf, out);
  if (!parser.Run(error)) return false;
  return out.Check(error);
}

}  // namespace ravelkit
