// Media descriptor images: a binary descriptor (.mds, version 1.x) and the data file it
// names (.mdf). The descriptor holds a header, one block per session, and per session one
// block per TOC point (A0-A2 and the tracks); a track block says where its sectors lie in
// the data file, how large each stored sector is and whether 96 bytes of interleaved P-W
// sub-channel follow each one. Pregaps are declared, not stored. DVD descriptors have one
// track of 2,048-byte sectors whose length sits where CD tracks point at their extra block.
#include <algorithm>
#include <bit>
#include <cstring>

#include "ravelkit/source.h"

namespace ravelkit {

namespace {

static_assert(std::endian::native == std::endian::little,
              "descriptor records are read in place as little-endian");

#pragma pack(push, 1)
struct MdsHeader {
  char signature[16];  // "MEDIA DESCRIPTOR"
  uint8_t version[2];
  uint16_t mediumType;
  uint16_t sessionCount;
  uint16_t unknown1[2];
  uint16_t bcaLength;
  uint32_t unknown2[2];
  uint32_t bcaOffset;
  uint32_t unknown3[6];
  uint32_t discStructuresOffset;
  uint32_t unknown4[3];
  uint32_t sessionsOffset;
  uint32_t dpmOffset;
};
struct MdsSession {
  int32_t start;
  int32_t end;  // the session's lead-out
  uint16_t number;
  uint8_t blockCount;    // TOC points, tracks included
  uint8_t leadInBlocks;  // points that are not tracks (A0-A2)
  uint16_t firstTrack;
  uint16_t lastTrack;
  uint32_t unknown;
  uint32_t blocksOffset;
};
struct MdsTrack {
  uint8_t mode;
  uint8_t subchannel;
  uint8_t adrControl;
  uint8_t tno;
  uint8_t point;
  uint8_t min, sec, frame;
  uint8_t zero;
  uint8_t pmin, psec, pframe;
  uint32_t extraOffset;  // CD: offset of the MdsExtra block; DVD: the track's length
  uint16_t sectorSize;   // stored bytes per sector, sub-channel included
  uint8_t unknown1[18];
  uint32_t startLba;
  uint64_t startOffset;
  uint32_t fileCount;
  uint32_t footerOffset;
  uint8_t unknown2[24];
};
struct MdsExtra {
  uint32_t pregap;
  uint32_t length;
};
struct MdsFooter {
  uint32_t nameOffset;
  uint32_t wideName;  // 1: the name is UTF-16
  uint32_t unknown[2];
};
#pragma pack(pop)
static_assert(sizeof(MdsHeader) == 88 && offsetof(MdsHeader, sessionsOffset) == 80);
static_assert(sizeof(MdsSession) == 24 && offsetof(MdsSession, blocksOffset) == 20);
static_assert(sizeof(MdsTrack) == 80 && offsetof(MdsTrack, startLba) == 36 &&
              offsetof(MdsTrack, footerOffset) == 52);
static_assert(sizeof(MdsExtra) == 8 && sizeof(MdsFooter) == 16);

// Track modes by the mode byte's low nibble, from 0x9.
constexpr TrackMode kTrackModes[] = {TrackMode::kAudio, TrackMode::kMode1,
                                     TrackMode::kMode2Formless, TrackMode::kMode2Form1,
                                     TrackMode::kMode2Form2};
constexpr uint8_t kSubchannelNone = 0x00;
constexpr uint8_t kSubchannelPwInterleaved = 0x08;

class Parser {
 public:
  Parser(std::span<const uint8_t> mds, const std::string& path, const FileSizeLookup& sizeOf,
         ImageLayout& out)
      : mds_(mds), path_(path), sizeOf_(sizeOf), out_(out) {}

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

  // Copies a record at `offset` out of the descriptor, refusing one that runs past its end.
  template <typename T>
  bool At(uint64_t offset, T& v, const char* what) {
    if (offset > mds_.size() || mds_.size() - offset < sizeof(T))
      return Fail(std::string(what) + " lies past the end of the descriptor");
    std::memcpy(&v, mds_.data() + offset, sizeof(T));
    return true;
  }

  bool Parse() {
    MdsHeader h;
    if (!At(0, h, "header") || std::memcmp(h.signature, "MEDIA DESCRIPTOR", 16) != 0)
      return Fail("not a media descriptor: signature missing");
    if (h.version[0] != 1)
      return Fail("descriptor version " + std::to_string(h.version[0]) + " is not supported");
    bool dvd = h.mediumType == 0x10 || h.mediumType == 0x12;
    if (!dvd && h.mediumType > 0x02)
      return Fail("medium type " + std::to_string(h.mediumType) + " is not supported");
    out_.medium = dvd ? MediumClass::kDvd : MediumClass::kCd;
    if (h.sessionCount < 1 || h.sessionCount > 99 || (dvd && h.sessionCount != 1))
      return Fail("session count " + std::to_string(h.sessionCount) + " is out of range");

    for (uint32_t i = 0; i < h.sessionCount; ++i) {
      MdsSession s;
      if (!At(uint64_t{h.sessionsOffset} + i * sizeof(MdsSession), s, "session block"))
        return false;
      if (!SessionBlock(s, i + 1, dvd)) return false;
    }
    if (dvd) {
      uint64_t sectors = static_cast<uint64_t>(out_.disc.LeadOut());
      out_.layers = sectors > kDvdLayer1Sectors ? 2 : 1;
    }
    FillExtentGaps(out_.extents);
    return true;
  }

  bool SessionBlock(const MdsSession& s, uint32_t number, bool dvd) {
    std::string name = "session " + std::to_string(number);
    if (s.number != number) return Fail(name + " is numbered " + std::to_string(s.number));
    Disc& d = out_.disc;
    Session session;
    session.number = static_cast<uint8_t>(number);
    session.firstTrack = d.tracks.size();
    for (uint32_t i = 0; i < s.blockCount; ++i) {
      MdsTrack t;
      if (!At(uint64_t{s.blocksOffset} + i * sizeof(MdsTrack), t, "track block")) return false;
      if (t.point == 0xA0 && (t.adrControl & 0xF0) == 0x10) session.discType = t.psec;
      if (t.point < 1 || t.point > 99) continue;  // A0-A2 and other lead-in points
      if (!TrackBlock(t, number, dvd)) return false;
    }
    if (d.tracks.size() == session.firstTrack) return Fail(name + " has no track");
    session.lastTrack = d.tracks.size() - 1;
    if (!dvd && (s.end < d.tracks.back().end || s.end > kCdMaxLba))
      return Fail(name + " ends at " + std::to_string(s.end) + ", outside its tracks or the disc");
    session.leadOut = dvd ? d.tracks.back().end : s.end;
    d.sessions.push_back(session);
    return true;
  }

  bool TrackBlock(const MdsTrack& b, uint32_t session, bool dvd) {
    Disc& d = out_.disc;
    std::string name = "track " + std::to_string(b.point);
    Track t;
    t.number = b.point;
    t.session = static_cast<uint8_t>(session);
    t.control = b.adrControl & 0x0F;
    uint32_t pregap = 0;
    int64_t length = 0;
    if (dvd) {
      t.mode = TrackMode::kMode1;
      t.control = kCtrlData;
      length = b.extraOffset;
    } else {
      // The low nibble of the mode byte names the sector type; the high one varies.
      uint8_t type = b.mode & 0x0F;
      if (type < 0x9 || type > 0xD) return Fail(name + " has unknown mode 0x" + Hex(b.mode));
      t.mode = kTrackModes[type - 0x9];
      MdsExtra extra;
      if (b.extraOffset == 0) return Fail(name + " has no extra block");
      if (!At(b.extraOffset, extra, "extra block")) return false;
      pregap = extra.pregap;
      length = extra.length;
    }
    uint32_t sub = 0;
    if (b.subchannel == kSubchannelPwInterleaved) {
      if (dvd) return Fail(name + ": a DVD has no sub-channel");
      sub = kSubchannelSize;
    } else if (b.subchannel != kSubchannelNone) {
      return Fail(name + " has unknown sub-channel mode 0x" + Hex(b.subchannel));
    }
    uint32_t mainSize = b.sectorSize >= sub ? b.sectorSize - sub : 0;
    if (mainSize != kUserSize && mainSize != kMode2Size && mainSize != kRawSize)
      return Fail(name + " has unsupported sector size " + std::to_string(b.sectorSize));
    if (dvd && mainSize != kUserSize) return Fail(name + ": DVD sectors must be 2048 bytes");
    if (t.mode == TrackMode::kAudio && mainSize != kRawSize)
      return Fail(name + ": audio sectors must be 2352 bytes");
    if (b.fileCount != 1)
      return Fail(name + " is split over " + std::to_string(b.fileCount) +
                  " files; only one data file is supported");
    int file;
    if (!DataFile(b, name, file)) return false;
    // A DVD descriptor may leave the length out: the data file then holds the whole track.
    uint64_t fileSize = out_.files[static_cast<size_t>(file)].size;
    if (dvd && length == 0 && fileSize > b.startOffset)
      length = static_cast<int64_t>(
          std::min<uint64_t>((fileSize - b.startOffset) / kUserSize, kDvdLayer2Sectors + 1));
    int64_t limit = dvd ? kDvdLayer2Sectors : kCdMaxLba;
    if (length < 1 || length > limit || b.startLba > static_cast<uint64_t>(limit) - length)
      return Fail(name + " lies outside the disc");
    if (pregap > b.startLba && d.tracks.empty()) pregap = b.startLba;  // before LBA 0
    if (pregap > b.startLba) return Fail(name + " pregap reaches before the disc");
    t.indexes = {static_cast<int32_t>(b.startLba)};
    t.pregapStart = static_cast<int32_t>(b.startLba - pregap);
    t.end = static_cast<int32_t>(b.startLba + length);
    if (!d.tracks.empty() &&
        (b.point != d.tracks.back().number + 1 || t.pregapStart < d.tracks.back().end))
      return Fail(name + " does not follow the track before it");

    Extent e;
    e.lba = t.start();
    e.count = static_cast<int32_t>(length);
    e.file = file;
    e.offset = b.startOffset;
    e.sectorSize = mainSize;
    e.stride = b.sectorSize;
    if (sub != 0) {
      e.subForm = SubchannelForm::kInterleaved;
      e.subFile = file;
      e.subOffset = b.startOffset + mainSize;
      e.subStride = b.sectorSize;
    }
    if (pregap > 0) out_.extents.push_back({t.pregapStart, static_cast<int32_t>(pregap)});
    out_.extents.push_back(e);
    d.tracks.push_back(std::move(t));
    return true;
  }

  // The data file a track names through its footer; "*.mdf" stands for the descriptor's own
  // name with the extension .mdf.
  bool DataFile(const MdsTrack& b, const std::string& track, int& file) {
    MdsFooter f;
    if (b.footerOffset == 0) return Fail(track + " names no data file");
    if (!At(b.footerOffset, f, "file name block")) return false;
    std::string name;
    size_t step = f.wideName ? 2 : 1;
    for (uint64_t at = f.nameOffset;; at += step) {
      if (at > mds_.size() || mds_.size() - at < step)
        return Fail("data file name runs past the end of the descriptor");
      uint32_t c = mds_[at];
      if (step == 2) c |= static_cast<uint32_t>(mds_[at + 1]) << 8;
      if (c == 0) break;
      // A bare name beside the descriptor: a path could make a hostile descriptor serve any
      // file the program can read to the initiator.
      if (c < 0x20 || c >= 0x80 || c == '/' || c == '\\' || c == ':')
        return Fail("data file name holds an unsupported character");
      if (name.size() >= 1024) return Fail("data file name is too long");
      name += static_cast<char>(c);
    }
    if (name.empty() || name == "." || name == "..") return Fail("data file name is empty");
    size_t slash = path_.find_last_of('/');
    std::string dir = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    std::string stem = path_.substr(dir.size());
    size_t dot = stem.find_last_of('.');
    if (dot != std::string::npos) stem.resize(dot);
    if (name[0] == '*') name = stem + name.substr(1);
    std::string full = dir + name;
    for (size_t i = 0; i < out_.files.size(); ++i)
      if (out_.files[i].path == full) return (file = static_cast<int>(i)), true;
    auto size = sizeOf_(full);
    if (!size) return Fail("cannot open data file '" + name + "'");
    out_.files.push_back({full, *size, false});
    file = static_cast<int>(out_.files.size() - 1);
    return true;
  }

  static std::string Hex(unsigned v) {
    const char* digits = "0123456789ABCDEF";
    return {digits[(v >> 4) & 0xF], digits[v & 0xF]};
  }

  std::span<const uint8_t> mds_;
  const std::string& path_;
  const FileSizeLookup& sizeOf_;
  ImageLayout& out_;
  std::string error_;
};

}  // namespace

bool ParseMds(std::span<const uint8_t> mds, const std::string& mdsPath,
              const FileSizeLookup& sizeOf, ImageLayout& out, std::string& error) {
  out = ImageLayout{};
  Parser parser(mds, mdsPath, sizeOf, out);
  if (!parser.Run(error)) return false;
  return out.Check(error);
}

}  // namespace ravelkit
