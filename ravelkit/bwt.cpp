// .bwt images: a binary descriptor beginning "BLINDWRITE TOC FILE" and the data file it
// names (.bwi), raw 2,352-byte sectors back to back. After the signature come a 4-byte and
// an 8-byte field, three length-prefixed strings (volume, system, comment), the count of
// TOC entries, the names of the data file and of the sub-channel file, a 4-byte field and a
// byte-counted run. Each TOC entry then holds a length-prefixed file name (empty: the
// descriptor's data file), the file offset of the track's first stored sector, the session,
// the control nibble, the mode (0 audio, 1 mode 1, 2 mode 2) and the point, the last
// sector, the first sector of the pregap (0 when there is none) and the track's start,
// followed by fifteen length-prefixed strings (titles, performer, ISRC and others). Entries
// for the lead-in points (A0 and up) carry no track. The layout followed is the one the
// format's public descriptions give; the stored sub-channel file's arrangement is not
// described well enough to serve it, so the Q is generated.
#include <algorithm>
#include <cstring>

#include "ravelkit/source.h"

namespace ravelkit {

namespace {

constexpr char kSignature[] = "BLINDWRITE TOC FILE";
constexpr size_t kSignatureSize = sizeof(kSignature) - 1;
constexpr uint32_t kMaxEntries = 1024;
constexpr uint32_t kMaxString = 65536;

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
  bool Need(size_t n) {
    if (d_.size() - at_ >= n) return true;
    return Fail("descriptor ends inside its " + where_);
  }
  bool Skip(size_t n) {
    if (!Need(n)) return false;
    at_ += n;
    return true;
  }
  bool U8(uint8_t& v) {
    if (!Need(1)) return false;
    v = d_[at_++];
    return true;
  }
  bool U32(uint32_t& v) {
    if (!Need(4)) return false;
    v = d_[at_] | static_cast<uint32_t>(d_[at_ + 1]) << 8 |
        static_cast<uint32_t>(d_[at_ + 2]) << 16 | static_cast<uint32_t>(d_[at_ + 3]) << 24;
    at_ += 4;
    return true;
  }
  bool String(std::string* out) {
    uint32_t n;
    if (!U32(n)) return false;
    if (n > kMaxString) return Fail(where_ + " holds a string of " + std::to_string(n) + " bytes");
    if (!Need(n)) return false;
    if (out) out->assign(reinterpret_cast<const char*>(d_.data() + at_), n);
    at_ += n;
    return true;
  }

  bool Parse() {
    where_ = "header";
    if (d_.size() < kSignatureSize || std::memcmp(d_.data(), kSignature, kSignatureSize) != 0)
      return Fail("not a .bwt descriptor: signature missing");
    at_ = kSignatureSize;
    uint32_t entries;
    std::string dataName, subName;
    uint8_t runLength;
    if (!Skip(12) || !String(nullptr) || !String(nullptr) || !String(nullptr) || !U32(entries) ||
        !String(&dataName) || !String(&subName) || !Skip(4) || !U8(runLength) || !Skip(runLength))
      return false;
    if (entries < 1 || entries > kMaxEntries)
      return Fail("TOC entry count " + std::to_string(entries) + " is out of range");
    if (!DataFile(dataName, dataFile_)) return false;
    for (uint32_t i = 0; i < entries; ++i)
      if (!Entry(i + 1)) return false;
    Disc& d = out_.disc;
    if (d.tracks.empty()) return Fail("descriptor has no track");
    for (size_t i = 0; i < d.tracks.size(); ++i) {
      const Track& t = d.tracks[i];
      if (d.sessions.empty() || d.sessions.back().number != t.session) {
        if (t.session != d.sessions.size() + 1)
          return Fail("track " + std::to_string(t.number) + " lies in session " +
                      std::to_string(t.session) + " out of order");
        Session s;
        s.number = t.session;
        s.firstTrack = i;
        d.sessions.push_back(s);
      }
      Session& s = d.sessions.back();
      s.lastTrack = i;
      s.leadOut = t.end;
      if (t.mode != TrackMode::kAudio && t.mode != TrackMode::kMode1) s.discType = 0x20;
    }
    FillExtentGaps(out_.extents);
    return true;
  }

  bool Entry(uint32_t index) {
    where_ = "TOC entry " + std::to_string(index);
    std::string fileName;
    uint32_t offset, lastSector, pregapField, startField;
    uint8_t session, adrControl, mode, point;
    if (!String(&fileName) || !U32(offset) || !Skip(1 + 3 + 4 + 1) || !U8(session) || !Skip(1) ||
        !U8(adrControl) || !Skip(1) || !U8(mode) || !Skip(1) || !U8(point) || !Skip(16 + 2) ||
        !U32(lastSector) || !Skip(1) || !U32(pregapField) || !U32(startField) || !Skip(8))
      return false;
    for (int k = 0; k < 15; ++k)
      if (!String(nullptr)) return false;
    if (point >= 0xA0) return true;  // lead-in points

    Disc& d = out_.disc;
    std::string name = "track " + std::to_string(point);
    if (point < 1 || point > 99) return Fail("track number " + std::to_string(point) + " is out of range");
    if (mode > 2) return Fail(name + " has unknown mode " + std::to_string(mode));
    if (session < 1 || session > 99) return Fail(name + " lies in session " + std::to_string(session));
    int64_t start = static_cast<int32_t>(startField);
    int64_t pregapStart = pregapField == 0 ? start : static_cast<int32_t>(pregapField);
    int64_t end = int64_t{lastSector} + 1;
    if (start < 0 || pregapStart < 0 || pregapStart > start || end <= start || end > kCdMaxLba)
      return Fail(name + " lies outside the disc");
    Track t;
    t.number = point;
    t.session = session;
    t.mode = mode == 0 ? TrackMode::kAudio : mode == 1 ? TrackMode::kMode1 : TrackMode::kMode2Mixed;
    t.control = static_cast<uint8_t>(mode == 0 ? adrControl & 0x0F & ~kCtrlData
                                             : (adrControl & 0x0F) | kCtrlData);
    if (!d.tracks.empty()) {
      Track& prev = d.tracks.back();
      if (point != prev.number + 1) return Fail(name + " does not follow the track before it");
      if (pregapStart < prev.end) return Fail(name + " overlaps the track before it");
      if (prev.session == t.session) prev.end = static_cast<int32_t>(pregapStart);
    }
    t.pregapStart = static_cast<int32_t>(pregapStart);
    t.indexes = {static_cast<int32_t>(start)};
    t.end = static_cast<int32_t>(end);

    int file = dataFile_;
    if (!fileName.empty() && !DataFile(fileName, file)) return false;
    // The pregap is stored before the track's start, from the entry's offset on.
    const ImageFile& f = out_.files[static_cast<size_t>(file)];
    uint64_t sectors = static_cast<uint64_t>(end - pregapStart);
    uint64_t holds = f.size > offset ? (f.size - offset) / kRawSize : 0;
    if (holds < sectors)
      return Fail(name + " needs " + std::to_string(sectors) + " sectors but '" + Base(f.path) +
                  "' holds " + std::to_string(holds));
    Extent e;
    e.lba = t.pregapStart;
    e.count = static_cast<int32_t>(sectors);
    e.file = file;
    e.offset = offset;
    e.sectorSize = kRawSize;
    out_.extents.push_back(e);
    d.tracks.push_back(std::move(t));
    return true;
  }

  static std::string Base(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }

  // A name the descriptor gives, reduced to the file's own name (the folder it was written
  // in is not where the image lies now, and a path would let a hostile descriptor serve any
  // file the program can read) and found beside the descriptor.
  bool DataFile(std::string name, int& file) {
    size_t cut = name.find_last_of("\\/:");
    if (cut != std::string::npos) name = name.substr(cut + 1);
    while (!name.empty() && name.back() == '\0') name.pop_back();
    if (name.empty() || name == "." || name == "..") return Fail("data file name is empty");
    for (unsigned char c : name)
      if (c < 0x20 || c >= 0x80) return Fail("data file name holds an unsupported character");
    size_t slash = path_.find_last_of('/');
    std::string full = (slash == std::string::npos ? "" : path_.substr(0, slash + 1)) + name;
    for (size_t i = 0; i < out_.files.size(); ++i)
      if (out_.files[i].path == full) return (file = static_cast<int>(i)), true;
    auto size = sizeOf_(full);
    if (!size) return Fail("cannot open data file '" + name + "'");
    out_.files.push_back({full, *size, false});
    file = static_cast<int>(out_.files.size() - 1);
    return true;
  }

  std::span<const uint8_t> d_;
  const std::string& path_;
  const FileSizeLookup& sizeOf_;
  ImageLayout& out_;
  std::string error_;
  std::string where_;
  size_t at_ = 0;
  int dataFile_ = -1;
};

}  // namespace

bool ParseBwt(std::span<const uint8_t> descriptor, const std::string& path,
              const FileSizeLookup& sizeOf, ImageLayout& out, std::string& error) {
  out = ImageLayout{};
  Parser parser(descriptor, path, sizeOf, out);
  if (!parser.Run(error)) return false;
  return out.Check(error);
}

}  // namespace ravelkit
