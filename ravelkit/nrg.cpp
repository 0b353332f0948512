// Nero images: the sector data first, then a chain of chunks (a 4-byte id, a big-endian
// 32-bit length, the body), then a footer that points at the first chunk: "NERO" with a
// 32-bit offset in the old form, "NER5" with a 64-bit offset in the new one, whose chunks
// carry 64-bit file offsets as well (CUEX, DAOX, ETN2 instead of CUES, DAOI, ETNF).
//
// Disc-at-once sessions have a cue sheet chunk (track and index positions on the disc) and
// a DAO chunk (per track its mode, stored sector size and the file offsets of index 0,
// index 1 and its end). Track-at-once sessions have an ETN chunk instead (per track its
// file offset, byte length, mode and the number of sectors written before it; on the disc
// each of those tracks but the first follows a 150-sector gap). SINF gives each session's track
// count, MTYP the medium, END! closes the chain.
#include <algorithm>
#include <cstring>

#include "ravelkit/source.h"

namespace ravelkit {

namespace {

constexpr size_t kMaxChunks = 4096;
constexpr uint32_t kNeroDvdMedia = 0x0004 | 0x0008 | 0x0010 | 0x0200 | 0x40000 | 0x80000;

uint64_t Be(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

bool Bcd(uint8_t v, uint8_t& out) {
  if ((v >> 4) > 9 || (v & 0xF) > 9) return false;
  out = FromBcd(v);
  return true;
}

struct ModeInfo {
  TrackMode mode;
  uint32_t mainSize;
  uint32_t subSize;
};

// Nero's track mode codes.
struct ModeCode {
  uint8_t code;
  ModeInfo info;
};
constexpr ModeCode kModeCodes[] = {
    {0x00, {TrackMode::kMode1, kUserSize, 0}},
    {0x02, {TrackMode::kMode2Form1, kUserSize, 0}},
    {0x03, {TrackMode::kMode2Mixed, kMode2Size, 0}},
    {0x05, {TrackMode::kMode1, kRawSize, 0}},
    {0x06, {TrackMode::kMode2Mixed, kRawSize, 0}},
    {0x07, {TrackMode::kAudio, kRawSize, 0}},
    {0x0F, {TrackMode::kMode1, kRawSize, kSubchannelSize}},
    {0x10, {TrackMode::kAudio, kRawSize, kSubchannelSize}},
    {0x11, {TrackMode::kMode2Mixed, kRawSize, kSubchannelSize}},
};

bool DecodeMode(uint8_t code, ModeInfo& m) {
  for (const ModeCode& c : kModeCodes)
    if (c.code == code) return (m = c.info), true;
  return false;
}

struct Chunk {
  char id[5] = {};
  std::span<const uint8_t> body;
};

struct CuePoint {
  uint8_t adrControl = 0, track = 0, index = 0;
  int32_t lba = 0;
};

class Parser {
 public:
  Parser(std::span<const uint8_t> tail, const std::string& path, uint64_t fileSize,
         ImageLayout& out)
      : tail_(tail), path_(path), fileSize_(fileSize), out_(out) {}

  bool Run(std::string& error) {
    bool ok = Chain() && Build();
    if (!ok) error = error_;
    return ok;
  }

 private:
  bool Fail(const std::string& msg) {
    if (error_.empty()) error_ = msg;
    return false;
  }

  bool Chain() {
    uint64_t base = fileSize_ - tail_.size();
    const uint8_t* end = tail_.data() + tail_.size();
    uint64_t first = 0, footerStart = 0;
    if (tail_.size() >= 12 && std::memcmp(end - 12, "NER5", 4) == 0) {
      wide_ = true;
      first = Be(end - 8, 8);
      footerStart = fileSize_ - 12;
    } else if (tail_.size() >= 8 && std::memcmp(end - 8, "NERO", 4) == 0) {
      first = Be(end - 4, 4);
      footerStart = fileSize_ - 8;
    } else {
      return Fail("not a Nero image: no footer");
    }
    if (first >= footerStart) return Fail("first chunk offset lies past the end of the image");
    if (first < base) return Fail("chunk chain is larger than 1 MiB");
    dataEnd_ = first;
    uint64_t pos = first;
    for (;;) {
      if (chunks_.size() >= kMaxChunks) return Fail("too many chunks");
      if (footerStart - pos < 8) return Fail("chunk chain ends without END!");
      const uint8_t* p = tail_.data() + (pos - base);
      Chunk c;
      std::memcpy(c.id, p, 4);
      uint64_t len = Be(p + 4, 4);
      if (len > footerStart - pos - 8)
        return Fail(std::string("chunk ") + c.id + " runs past the footer");
      c.body = std::span<const uint8_t>(p + 8, static_cast<size_t>(len));
      pos += 8 + len;
      if (std::strcmp(c.id, "END!") == 0) return true;
      chunks_.push_back(c);
    }
  }

  bool Build() {
    std::vector<const Chunk*> cues, daos, etns;
    std::vector<uint32_t> sinf;
    for (const Chunk& c : chunks_) {
      std::string id = c.id;
      if (id == (wide_ ? "CUEX" : "CUES"))
        cues.push_back(&c);
      else if (id == (wide_ ? "DAOX" : "DAOI"))
        daos.push_back(&c);
      else if (id == (wide_ ? "ETN2" : "ETNF"))
        etns.push_back(&c);
      else if (id == "CUES" || id == "CUEX" || id == "DAOI" || id == "DAOX" || id == "ETNF" ||
               id == "ETN2")
        return Fail("chunk " + id + " does not belong in a " + (wide_ ? "NER5" : "NERO") +
                    " image");
      else if (id == "SINF" || id == "MTYP") {
        if (c.body.size() < 4) return Fail("chunk " + id + " is too short");
        uint32_t v = static_cast<uint32_t>(Be(c.body.data(), 4));
        if (id == "SINF")
          sinf.push_back(v);
        else if (v & kNeroDvdMedia)
          out_.medium = MediumClass::kDvd;
      }
    }
    if (!daos.empty() && !etns.empty())
      return Fail("image mixes disc-at-once and track-at-once sessions");
    size_t sessions = daos.empty() ? etns.size() : daos.size();
    if (sessions == 0) return Fail("image describes no track (no DAO or ETN chunk)");
    if (sessions > 99) return Fail("too many sessions");
    if (!daos.empty() && cues.size() != daos.size())
      return Fail("every disc-at-once session needs one cue sheet chunk");
    if (!sinf.empty() && sinf.size() != sessions)
      return Fail("SINF chunks disagree with the number of sessions");
    for (size_t s = 0; s < sessions; ++s) {
      size_t before = out_.disc.tracks.size();
      bool ok = daos.empty() ? Etn(*etns[s], s + 1) : Dao(*cues[s], *daos[s], s + 1);
      if (!ok) return false;
      if (!sinf.empty() && out_.disc.tracks.size() - before != sinf[s])
        return Fail("session " + std::to_string(s + 1) + " has " +
                    std::to_string(out_.disc.tracks.size() - before) + " tracks but SINF says " +
                    std::to_string(sinf[s]));
    }
    if (out_.medium == MediumClass::kDvd &&
        (out_.disc.tracks.size() != 1 || out_.disc.tracks[0].mode == TrackMode::kAudio))
      return Fail("a DVD image must hold one data track");
    out_.files.push_back({path_, fileSize_, false});
    FillExtentGaps(out_.extents);
    return true;
  }

  bool ReadCue(const Chunk& c, std::vector<CuePoint>& points) {
    if (c.body.size() % 8 != 0) return Fail(std::string("chunk ") + c.id + " has a partial entry");
    for (size_t i = 0; i < c.body.size(); i += 8) {
      const uint8_t* p = c.body.data() + i;
      CuePoint pt;
      pt.adrControl = p[0];
      if (!Bcd(p[1], pt.track) && p[1] != kLeadOutTrack)
        return Fail("cue sheet track number is not BCD");
      if (p[1] == kLeadOutTrack) pt.track = kLeadOutTrack;
      if (!Bcd(p[2], pt.index)) return Fail("cue sheet index number is not BCD");
      if (wide_) {
        pt.lba = static_cast<int32_t>(static_cast<uint32_t>(Be(p + 4, 4)));
      } else {
        if (p[5] > 99 || p[6] >= 60 || p[7] >= kFramesPerSecond)
          return Fail("cue sheet address is not a valid MSF");
        pt.lba = MsfToLba({p[5], p[6], p[7]});
      }
      if (pt.lba < kLeadInMinLba || pt.lba > kCdMaxLba)
        return Fail("cue sheet address lies outside the disc");
      points.push_back(pt);
    }
    return true;
  }

  // Checks a stored run lies in the data area before the chunk chain.
  bool InData(uint64_t offset, uint64_t bytes, const std::string& what) {
    if (offset > dataEnd_ || bytes > dataEnd_ - offset)
      return Fail(what + " lies outside the image's data area");
    return true;
  }

  // One extent of stored sectors; those before LBA 0 (the first pregap) are dropped.
  void AddStored(int32_t lba, int64_t count, uint64_t offset, const ModeInfo& m) {
    uint32_t stride = m.mainSize + m.subSize;
    if (lba < 0) {
      int64_t skip = std::min<int64_t>(count, -static_cast<int64_t>(lba));
      count -= skip;
      offset += static_cast<uint64_t>(skip) * stride;
      lba = 0;
    }
    if (count <= 0) return;
    Extent e;
    e.lba = lba;
    e.count = static_cast<int32_t>(count);
    e.file = 0;
    e.offset = offset;
    e.sectorSize = m.mainSize;
    e.stride = stride;
    if (m.subSize != 0) {
      e.subForm = SubchannelForm::kInterleaved;
      e.subFile = 0;
      e.subOffset = offset + m.mainSize;
      e.subStride = stride;
    }
    out_.extents.push_back(e);
  }

  bool Dao(const Chunk& cueChunk, const Chunk& dao, size_t sessionNo) {
    std::vector<CuePoint> cue;
    if (!ReadCue(cueChunk, cue)) return false;
    const size_t kHeader = 22, kEntry = wide_ ? 42 : 30, kOffset = wide_ ? 8 : 4;
    if (dao.body.size() < kHeader || (dao.body.size() - kHeader) % kEntry != 0)
      return Fail(std::string("chunk ") + dao.id + " has a partial entry");
    uint8_t first = dao.body[20], last = dao.body[21];
    size_t count = (dao.body.size() - kHeader) / kEntry;
    if (first < 1 || last > 99 || first > last || count != static_cast<size_t>(last - first + 1))
      return Fail(std::string("chunk ") + dao.id + " track range disagrees with its entries");

    Disc& d = out_.disc;
    Session session;
    session.number = static_cast<uint8_t>(sessionNo);
    session.firstTrack = d.tracks.size();
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* p = dao.body.data() + kHeader + i * kEntry;
      uint8_t number = static_cast<uint8_t>(first + i);
      std::string name = "track " + std::to_string(number);
      uint32_t sectorSize = static_cast<uint32_t>(Be(p + 12, 2));
      ModeInfo m;
      if (!DecodeMode(p[14], m))
        return Fail(name + " has unknown mode code " + std::to_string(p[14]));
      if (sectorSize != m.mainSize + m.subSize)
        return Fail(name + " sector size " + std::to_string(sectorSize) + " does not fit its mode");
      uint64_t pregapOff = Be(p + 18, kOffset), startOff = Be(p + 18 + kOffset, kOffset),
               endOff = Be(p + 18 + 2 * kOffset, kOffset);
      if (pregapOff > startOff || startOff > endOff || (startOff - pregapOff) % sectorSize != 0 ||
          (endOff - startOff) % sectorSize != 0)
        return Fail(name + " file offsets are not in whole sectors");
      if (!InData(pregapOff, endOff - pregapOff, name)) return false;
      int64_t pregapCount = static_cast<int64_t>((startOff - pregapOff) / sectorSize);
      int64_t bodyCount = static_cast<int64_t>((endOff - startOff) / sectorSize);
      if (bodyCount < 1) return Fail(name + " holds no sectors");

      Track t;
      t.number = number;
      t.session = static_cast<uint8_t>(sessionNo);
      t.mode = m.mode;
      bool haveIndex0 = false, haveIndex1 = false;
      int32_t index0 = 0;
      t.indexes.clear();
      for (const CuePoint& pt : cue) {
        if (pt.track != number) continue;
        if (pt.index == 0) {
          haveIndex0 = true, index0 = pt.lba;
        } else if (pt.index == 1) {
          haveIndex1 = true;
          t.control = pt.adrControl >> 4;
          t.indexes.insert(t.indexes.begin(), pt.lba);
        } else {
          t.indexes.push_back(pt.lba);
        }
      }
      if (!haveIndex1) return Fail(name + " has no index 1 in the cue sheet");
      std::sort(t.indexes.begin() + 1, t.indexes.end());
      if (t.start() < 0) return Fail(name + " starts before the disc");
      if (static_cast<int64_t>(t.start()) + bodyCount > kCdMaxLba)
        return Fail(name + " runs past the end of a CD");
      if (IsData(t.mode) != ((t.control & kCtrlData) != 0))
        return Fail(name + " mode disagrees with the cue sheet's control field");
      int64_t declaredPregap = haveIndex0 ? static_cast<int64_t>(t.start()) - index0 : 0;
      if (declaredPregap < 0) return Fail(name + " index 0 lies after index 1");
      if (pregapCount != 0 && pregapCount != declaredPregap)
        return Fail(name + " stored pregap disagrees with the cue sheet");
      t.pregapStart = static_cast<int32_t>(std::max<int64_t>(t.start() - declaredPregap, 0));
      t.end = static_cast<int32_t>(t.start() + bodyCount);
      if (pregapCount != 0)
        AddStored(t.start() - static_cast<int32_t>(pregapCount), pregapCount, pregapOff, m);
      else if (t.start() > t.pregapStart)
        out_.extents.push_back({t.pregapStart, t.start() - t.pregapStart});
      AddStored(t.start(), bodyCount, startOff, m);
      d.tracks.push_back(std::move(t));
    }
    session.lastTrack = d.tracks.size() - 1;
    session.leadOut = d.tracks.back().end;
    for (const CuePoint& pt : cue)
      if (pt.track == kLeadOutTrack) {
        if (pt.lba < session.leadOut) return Fail("lead-out lies inside the last track");
        session.leadOut = pt.lba;
      }
    for (size_t i = session.firstTrack; i <= session.lastTrack; ++i)
      if (d.tracks[i].mode == TrackMode::kMode2Mixed || d.tracks[i].mode == TrackMode::kMode2Form1)
        session.discType = 0x20;
    d.sessions.push_back(session);
    return true;
  }

  bool Etn(const Chunk& etn, size_t sessionNo) {
    const size_t kEntry = wide_ ? 32 : 20;
    if (etn.body.empty() || etn.body.size() % kEntry != 0)
      return Fail(std::string("chunk ") + etn.id + " has a partial entry");
    Disc& d = out_.disc;
    Session session;
    session.number = static_cast<uint8_t>(sessionNo);
    session.firstTrack = d.tracks.size();
    for (size_t i = 0; i < etn.body.size(); i += kEntry) {
      const uint8_t* p = etn.body.data() + i;
      if (d.tracks.size() >= 99) return Fail("more than 99 tracks");
      uint8_t number = static_cast<uint8_t>(d.tracks.size() + 1);
      std::string name = "track " + std::to_string(number);
      uint64_t offset = wide_ ? Be(p, 8) : Be(p, 4);
      uint64_t bytes = wide_ ? Be(p + 8, 8) : Be(p + 4, 4);
      uint8_t code = wide_ ? p[19] : p[11];
      uint32_t lba = static_cast<uint32_t>(wide_ ? Be(p + 20, 4) : Be(p + 12, 4));
      ModeInfo m;
      if (!DecodeMode(code, m))
        return Fail(name + " has unknown mode code " + std::to_string(code));
      uint32_t stride = m.mainSize + m.subSize;
      if (bytes == 0 || bytes % stride != 0) return Fail(name + " length is not in whole sectors");
      if (!InData(offset, bytes, name)) return false;
      uint64_t count = bytes / stride;
      // The start counts the sectors written before the track; on the disc every track
      // after the first of the session follows a 150-sector gap the image does not keep.
      size_t k = (i / kEntry);
      uint64_t at = uint64_t{lba} + k * 150;
      if (at > static_cast<uint64_t>(kCdMaxLba) || count > static_cast<uint64_t>(kCdMaxLba) - at)
        return Fail(name + " lies outside the disc");
      lba = static_cast<uint32_t>(at);
      Track t;
      t.number = number;
      t.session = static_cast<uint8_t>(sessionNo);
      t.mode = m.mode;
      t.control = IsData(m.mode) ? kCtrlData : 0;
      t.indexes = {static_cast<int32_t>(lba)};
      // That gap is the track's pregap.
      t.pregapStart = k == 0 ? t.start() : t.start() - 150;
      if (k > 0 && t.pregapStart < d.tracks.back().end)
        return Fail(name + " overlaps the track before it");
      t.end = static_cast<int32_t>(lba + count);
      AddStored(t.start(), static_cast<int64_t>(count), offset, m);
      d.tracks.push_back(std::move(t));
    }
    session.lastTrack = d.tracks.size() - 1;
    session.leadOut = d.tracks.back().end;
    d.sessions.push_back(session);
    return true;
  }

  std::span<const uint8_t> tail_;
  const std::string& path_;
  uint64_t fileSize_;
  ImageLayout& out_;
  bool wide_ = false;
  uint64_t dataEnd_ = 0;
  std::vector<Chunk> chunks_;
  std::string error_;
};

}  // namespace

bool ParseNrg(std::span<const uint8_t> tail, const std::string& path, uint64_t fileSize,
              ImageLayout& out, std::string& error) {
  out = ImageLayout{};
  if (tail.size() > fileSize) {
    error = "image tail is larger than the image";
    return false;
  }
  Parser parser(tail, path, fileSize, out);
  if (!parser.Run(error)) return false;
  return out.Check(error);
}

}  // namespace ravelkit
