// CDI images: one file, the sectors of every track back to back (each track's pregap
// stored before its body) and a descriptor at the end. The last 8 bytes are the version
// (0x80000004 for version 2, ..05 for 3, ..06 for 3.5 and the later writers) and the
// descriptor's position: from the start of the file, or for version 3.5 counted back
// from the end. The descriptor is a session count, then per session a track count, the
// track blocks and a short trailer.
//
// A track block has no fixed size: a file name of its own length sits early in it, and the
// later writers insert optional runs that an in-band marker announces (an 8-byte run after
// a leading non-zero word, another before the pregap length, and 78 bytes after a word of
// 0xFFFFFFFF at the end). The layout followed here is the one the format's public
// descriptions give: the fields this reader needs are the pregap length, the body length,
// the mode (0 audio, 1 mode 1, 2 mode 2), the LBA of index 1, the stored length (pregap
// and body) and the stored sector size (0: 2,048, 1: 2,336, 2: 2,352, 3: 2,352 with a
// 16-byte Q, 4: 2,352 with 96 bytes of interleaved P-W).
#include <algorithm>
#include <cstring>

#include "ravelkit/source.h"

namespace ravelkit {

namespace {

constexpr uint32_t kVersion2 = 0x80000004;
constexpr uint32_t kVersion3 = 0x80000005;
constexpr uint32_t kVersion35 = 0x80000006;
constexpr uint8_t kTrackStartMark[10] = {0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};

struct StoredSize {
  uint32_t main;  // bytes of main data at the start of each stored sector
  uint32_t sub;   // interleaved P-W after it (0: none kept, or a form this reader ignores)
  uint32_t stride;
};
constexpr StoredSize kStoredSizes[] = {
    {kUserSize, 0, kUserSize},
    {kMode2Size, 0, kMode2Size},
    {kRawSize, 0, kRawSize},
    {kRawSize, 0, kRawSize + 16},  // Q alone: the generated Q serves instead
    {kRawSize, kSubchannelSize, kRawSize + kSubchannelSize},
};

class Parser {
 public:
  Parser(std::span<const uint8_t> tail, const std::string& path, uint64_t fileSize,
         ImageLayout& out)
      : tail_(tail), path_(path), fileSize_(fileSize), out_(out) {
    size_t slash = path.find_last_of('/');
    name_ = slash == std::string::npos ? path : path.substr(slash + 1);
  }

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

  // The descriptor is read through a cursor that refuses to run past its end.
  bool Skip(uint64_t n) {
    if (end_ - at_ < n) return Fail("descriptor ends inside a track or session block");
    at_ += n;
    return true;
  }
  template <typename T>
  bool Get(T& v) {
    if (end_ - at_ < sizeof(T)) return Fail("descriptor ends inside a track or session block");
    std::memcpy(&v, tail_.data() + (at_ - base_), sizeof(T));
    at_ += sizeof(T);
    return true;
  }
  // A little-endian word read in place regardless of the host.
  static uint32_t Le32(const uint8_t* p) {
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
  }
  bool Get32(uint32_t& v) {
    uint8_t b[4];
    if (!Get(b)) return false;
    v = Le32(b);
    return true;
  }
  bool Get16(uint16_t& v) {
    uint8_t b[2];
    if (!Get(b)) return false;
    v = static_cast<uint16_t>(b[0] | b[1] << 8);
    return true;
  }

  bool Parse() {
    if (fileSize_ < 8 || tail_.size() < 8) return Fail("not a CDI image: too short for its footer");
    base_ = fileSize_ - tail_.size();
    version_ = Le32(tail_.data() + tail_.size() - 8);
    uint32_t offset = Le32(tail_.data() + tail_.size() - 4);
    if (version_ != kVersion2 && version_ != kVersion3 && version_ != kVersion35)
      return Fail("not a CDI image: no version in its footer");
    uint64_t header = version_ == kVersion35 ? fileSize_ - offset : offset;
    if (offset == 0 || offset > fileSize_ || header >= fileSize_ - 8)
      return Fail("descriptor offset " + std::to_string(offset) + " lies outside the image");
    if (header < base_) return Fail("descriptor is larger than 1 MiB");
    at_ = header;
    end_ = fileSize_ - 8;
    dataEnd_ = header;

    uint16_t sessions;
    if (!Get16(sessions)) return false;
    if (sessions < 1 || sessions > 99)
      return Fail("session count " + std::to_string(sessions) + " is out of range");
    for (uint32_t s = 0; s < sessions; ++s) {
      uint16_t tracks;
      if (!Get16(tracks)) return false;
      if (tracks > 99 || out_.disc.tracks.size() + tracks > 99)
        return Fail("track count " + std::to_string(tracks) + " of session " +
                    std::to_string(s + 1) + " is out of range");
      // The last session of a disc left open is written with no track.
      if (tracks > 0 && !SessionTracks(tracks)) return false;
      if (!Skip(version_ == kVersion2 ? 12 : 13)) return false;
    }
    if (out_.disc.tracks.empty()) return Fail("image has no track");
    FillExtentGaps(out_.extents);
    return true;
  }

  bool SessionTracks(uint16_t count) {
    Disc& d = out_.disc;
    Session session;
    session.number = static_cast<uint8_t>(d.sessions.size() + 1);
    session.firstTrack = d.tracks.size();
    for (uint16_t i = 0; i < count; ++i)
      if (!TrackBlock(session)) return false;
    session.lastTrack = d.tracks.size() - 1;
    session.leadOut = d.tracks.back().end;
    d.sessions.push_back(session);
    return true;
  }

  bool TrackBlock(Session& session) {
    Disc& d = out_.disc;
    std::string name = "track " + std::to_string(d.tracks.size() + 1);
    uint32_t word;
    if (!Get32(word)) return false;
    if (word != 0 && !Skip(8)) return false;
    for (int k = 0; k < 2; ++k) {
      uint8_t mark[10];
      if (!Get(mark)) return false;
      if (std::memcmp(mark, kTrackStartMark, sizeof(mark)) != 0)
        return Fail(name + ": the track block's start mark is missing");
    }
    uint8_t nameLength;
    if (!Skip(4) || !Get(nameLength) || !Skip(nameLength) || !Skip(19) || !Get32(word))
      return false;
    if (word == 0x80000000 && !Skip(8)) return false;
    uint32_t pregap, length, mode, startLba, totalLength, sizeCode;
    if (!Skip(2) || !Get32(pregap) || !Get32(length) || !Skip(6) || !Get32(mode) || !Skip(12) ||
        !Get32(startLba) || !Get32(totalLength) || !Skip(16) || !Get32(sizeCode) || !Skip(29))
      return false;
    if (version_ != kVersion2) {
      if (!Skip(5) || !Get32(word)) return false;
      if (word == 0xFFFFFFFF && !Skip(78)) return false;
    }

    if (mode > 2) return Fail(name + " has unknown mode " + std::to_string(mode));
    if (sizeCode >= std::size(kStoredSizes))
      return Fail(name + " has unknown sector size code " + std::to_string(sizeCode));
    const StoredSize& size = kStoredSizes[sizeCode];
    Track t;
    t.number = static_cast<uint8_t>(d.tracks.size() + 1);
    t.session = session.number;
    if (mode == 0) {
      t.mode = TrackMode::kAudio;
      t.control = 0;
      if (size.main != kRawSize) return Fail(name + ": audio sectors must be 2352 bytes");
    } else {
      t.mode = mode == 1 ? TrackMode::kMode1
               : size.main == kUserSize ? TrackMode::kMode2Form1
                                        : TrackMode::kMode2Mixed;
      if (mode == 1 && size.main == kMode2Size)
        return Fail(name + ": mode 1 sectors cannot be stored as 2336 bytes");
      if (mode == 2) session.discType = 0x20;
    }
    if (length < 1 || length > static_cast<uint32_t>(kCdMaxLba) || pregap > 45000 ||
        startLba > static_cast<uint32_t>(kCdMaxLba) - length)
      return Fail(name + " lies outside the disc");
    if (totalLength < length || totalLength - length != pregap)
      return Fail(name + ": stored length " + std::to_string(totalLength) +
                  " is not the pregap and body (" + std::to_string(pregap) + " + " +
                  std::to_string(length) + ")");

    // The sectors of the track lie right after those of the track before it.
    uint64_t trackOffset = next_;
    uint64_t room = dataEnd_ > trackOffset ? (dataEnd_ - trackOffset) / size.stride : 0;
    if (room < totalLength)
      return Fail(name + " needs " + std::to_string(totalLength) + " sectors but '" + name_ +
                  "' holds " + std::to_string(room));
    next_ = trackOffset + uint64_t{totalLength} * size.stride;

    int32_t start = static_cast<int32_t>(startLba);
    int32_t pregapStart = start - static_cast<int32_t>(pregap);
    uint64_t storedFrom = trackOffset;  // the file offset of the sector at pregapStart
    if (pregapStart < 0) {
      // The first track's pregap reaches into the lead-in; those sectors are stored but
      // no address reaches them.
      if (!d.tracks.empty()) return Fail(name + " pregap reaches before the disc");
      storedFrom += static_cast<uint64_t>(-pregapStart) * size.stride;
      pregapStart = 0;
    }
    if (!d.tracks.empty()) {
      Track& prev = d.tracks.back();
      if (pregapStart < prev.end) return Fail(name + " overlaps the track before it");
      // A gap the image does not store inside a session belongs to the track before it.
      if (prev.session == t.session) prev.end = pregapStart;
    }
    t.pregapStart = pregapStart;
    t.indexes = {start};
    t.end = start + static_cast<int32_t>(length);

    if (files_ < 0) {
      out_.files.push_back({path_, fileSize_, false});
      files_ = 0;
    }
    Extent e;
    e.lba = pregapStart;
    e.count = t.end - pregapStart;
    e.file = files_;
    e.offset = storedFrom;
    e.sectorSize = size.main;
    e.stride = size.stride;
    if (size.sub != 0) {
      e.subForm = SubchannelForm::kInterleaved;
      e.subFile = files_;
      e.subOffset = storedFrom + size.main;
      e.subStride = size.stride;
    }
    out_.extents.push_back(e);
    d.tracks.push_back(std::move(t));
    return true;
  }

  std::span<const uint8_t> tail_;
  const std::string& path_;
  uint64_t fileSize_;
  ImageLayout& out_;
  std::string name_;
  std::string error_;
  uint32_t version_ = 0;
  uint64_t base_ = 0;      // file offset of tail_[0]
  uint64_t at_ = 0;        // the cursor, as a file offset
  uint64_t end_ = 0;       // where the descriptor ends (the footer)
  uint64_t dataEnd_ = 0;   // where the sector data ends (the descriptor)
  uint64_t next_ = 0;      // file offset of the next track's first stored sector
  int files_ = -1;
};

}  // namespace

bool ParseCdi(std::span<const uint8_t> tail, const std::string& path, uint64_t fileSize,
              ImageLayout& out, std::string& error) {
  out = ImageLayout{};
  Parser parser(tail, path, fileSize, out);
  if (!parser.Run(error)) return false;
  return out.Check(error);
}

}  // namespace ravelkit
