// CloneCD images: an INI-style descriptor (.ccd) holding the lead-in TOC entries, a data
// file (.img) of raw 2,352-byte sectors and an optional sub-channel file (.sub) of 96 bytes
// per sector, each channel's 12 bytes after the other.
//
// The data file holds every sector from LBA 0 (the 150 sectors before it are never kept),
// track after track with their pregaps; what lies between two sessions (lead-out, lead-in
// and the next session's first pregap up to where the TOC puts it) is not kept, so the file
// offset of a sector is the number of kept sectors before it.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

#include "ravelkit/answers_cdtext.h"
#include "ravelkit/source.h"

namespace ravelkit {

namespace {

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxSections = 1000;
constexpr int kMaxEntries = 500;  // 99 tracks plus A0-A2, B0, C0 per session, generously

using Section = std::map<std::string, std::string>;  // keys in lower case

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Decimal, or hexadecimal with a 0x prefix; negative decimals are allowed (PLBA of the
// lead-in entries).
bool ParseInt(std::string_view s, int64_t& v) {
  bool neg = false;
  if (!s.empty() && s.front() == '-') neg = true, s.remove_prefix(1);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) base = 16, s.remove_prefix(2);
  if (s.empty() || s.size() > 12) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || p != s.data() + s.size()) return false;
  if (neg) v = -v;
  return true;
}

class Parser {
 public:
  Parser(const std::string& img, const std::string& sub, const FileSizeLookup& sizeOf,
         ImageLayout& out)
      : img_(img), sub_(sub), sizeOf_(sizeOf), out_(out) {}

  bool Run(std::string_view text, std::string& error) {
    if (!Read(text) || !Build()) {
      error = error_;
      return false;
    }
    return true;
  }

 private:
  bool Fail(const std::string& msg) {
    if (error_.empty()) error_ = msg;
    return false;
  }

  bool Read(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    Section* current = nullptr;
    int lineNo = 0;
    while (!text.empty()) {
      size_t nl = text.find('\n');
      std::string_view line = text.substr(0, nl);
      text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
      ++lineNo;
      std::string where = "line " + std::to_string(lineNo) + ": ";
      if (line.size() > kMaxLine) return Fail(where + "line is too long");
      line = Trim(line);
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        if (line.back() != ']') return Fail(where + "unterminated section name");
        std::string name = Lower(Trim(line.substr(1, line.size() - 2)));
        if (sections_.count(name)) return Fail(where + "section [" + name + "] appears twice");
        if (sections_.size() >= kMaxSections) return Fail(where + "too many sections");
        current = &sections_[name];
        continue;
      }
      size_t eq = line.find('=');
      if (eq == std::string_view::npos) return Fail(where + "expected key=value");
      if (current == nullptr) return Fail(where + "value outside any section");
      (*current)[Lower(Trim(line.substr(0, eq)))] = std::string(Trim(line.substr(eq + 1)));
    }
    return true;
  }

  const Section* Find(const std::string& name) const {
    auto it = sections_.find(name);
    return it == sections_.end() ? nullptr : &it->second;
  }

  // A numeric value of a section; `required` makes its absence an error.
  bool Get(const Section& s, const std::string& section, const std::string& key, int64_t lo,
           int64_t hi, int64_t& v, bool required = true) {
    auto it = s.find(key);
    if (it == s.end()) {
      if (required) return Fail("[" + section + "] has no " + key);
      return true;
    }
    if (!ParseInt(it->second, v) || v < lo || v > hi)
      return Fail("[" + section + "] " + key + "=" + it->second + " is out of range");
    return true;
  }

  struct Entry {
    int64_t session = 0, point = 0, adr = 0, control = 0, plba = 0, pmin = 0, psec = 0;
  };

  bool Build() {
    if (!Find("clonecd")) return Fail("not a CloneCD descriptor: no [CloneCD] section");
    const Section* disc = Find("disc");
    if (!disc) return Fail("no [Disc] section");
    int64_t entries = 0, sessions = 0;
    if (!Get(*disc, "disc", "tocentries", 1, kMaxEntries, entries) ||
        !Get(*disc, "disc", "sessions", 1, 99, sessions))
      return false;

    std::vector<Entry> toc;
    for (int64_t i = 0; i < entries; ++i) {
      std::string name = "entry " + std::to_string(i);
      const Section* s = Find(name);
      if (!s) return Fail("no [" + name + "] although TocEntries=" + std::to_string(entries));
      Entry e;
      if (!Get(*s, name, "session", 1, sessions, e.session) ||
          !Get(*s, name, "point", 0, 0xFF, e.point) || !Get(*s, name, "adr", 0, 0xF, e.adr) ||
          !Get(*s, name, "control", 0, 0xF, e.control) || !Get(*s, name, "pmin", 0, 0xFF, e.pmin) ||
          !Get(*s, name, "psec", 0, 0xFF, e.psec))
        return false;
      int64_t pframe = 0;
      if (!Get(*s, name, "pframe", 0, 0xFF, pframe)) return false;
      e.plba = MsfToLba({static_cast<uint8_t>(std::min<int64_t>(e.pmin, 99)),
                         static_cast<uint8_t>(e.psec), static_cast<uint8_t>(pframe)});
      if (!Get(*s, name, "plba", kLeadInMinLba, kCdMaxLba, e.plba, false)) return false;
      toc.push_back(e);
    }

    Disc& d = out_.disc;
    for (int64_t sn = 1; sn <= sessions; ++sn) {
      Session session;
      session.number = static_cast<uint8_t>(sn);
      session.firstTrack = d.tracks.size();
      bool haveLeadOut = false;
      std::vector<const Entry*> points;
      for (const Entry& e : toc) {
        if (e.session != sn || e.adr != 1) continue;  // ADR 5 (B0, C0) and others describe no track
        if (e.point == 0xA0) session.discType = static_cast<uint8_t>(e.psec);
        if (e.point == 0xA2) {
          if (e.plba < 0 || e.plba > kCdMaxLba)
            return Fail("session " + std::to_string(sn) + " lead-out lies outside the disc");
          session.leadOut = static_cast<int32_t>(e.plba);
          haveLeadOut = true;
        }
        if (e.point >= 1 && e.point <= 99) points.push_back(&e);
      }
      if (!haveLeadOut)
        return Fail("session " + std::to_string(sn) + " has no lead-out entry (A2)");
      if (points.empty()) return Fail("session " + std::to_string(sn) + " has no track");
      std::sort(points.begin(), points.end(),
                [](const Entry* a, const Entry* b) { return a->point < b->point; });
      for (const Entry* e : points)
        if (!AddTrack(*e, e == points.front())) return false;
      session.lastTrack = d.tracks.size() - 1;
      // A track runs to the next one's pregap, the last to the session's lead-out.
      for (size_t i = session.firstTrack; i <= session.lastTrack; ++i) {
        Track& t = d.tracks[i];
        t.end = i < session.lastTrack ? d.tracks[i + 1].pregapStart : session.leadOut;
        if (t.end <= t.indexes.back())
          return Fail("track " + std::to_string(t.number) + " ends before it starts");
      }
      d.sessions.push_back(session);
    }

    // Pregaps may not reach back before LBA 0 or into the previous session.
    int32_t floor = 0;
    for (const Session& s : d.sessions) {
      Track& first = d.tracks[s.firstTrack];
      first.pregapStart = std::max(first.pregapStart, std::min(floor, first.start()));
      floor = s.leadOut;
    }

    auto imgSize = sizeOf_(img_);
    if (!imgSize) return Fail("cannot open file '" + img_ + "'");
    if (*imgSize % kRawSize != 0)
      return Fail("size of '" + img_ + "' is not a multiple of 2352 bytes");
    out_.files.push_back({img_, *imgSize, false});
    int subFile = -1;
    if (!sub_.empty()) {
      auto subSize = sizeOf_(sub_);
      if (subSize && *subSize > 0) {  // an empty .sub is written when nothing was captured
        if (*subSize % kSubchannelSize != 0)
          return Fail("size of '" + sub_ + "' is not a multiple of 96 bytes");
        subFile = 1;
        out_.files.push_back({sub_, *subSize, false});
      }
    }
    uint64_t kept = 0;
    for (const Track& t : d.tracks) {
      Extent e;
      e.lba = t.pregapStart;
      e.count = t.end - t.pregapStart;
      e.file = 0;
      e.offset = kept * kRawSize;
      e.sectorSize = kRawSize;
      if (subFile >= 0) {
        e.subForm = SubchannelForm::kLinear;
        e.subFile = subFile;
        e.subOffset = kept * kSubchannelSize;
        e.subStride = kSubchannelSize;
      }
      kept += static_cast<uint64_t>(e.count);
      out_.extents.push_back(e);
    }
    FillExtentGaps(out_.extents);
    if (const Section* text = Find("cdtext")) CdText(*text);
    return true;
  }

  bool AddTrack(const Entry& e, bool firstInSession) {
    Disc& d = out_.disc;
    std::string name = "track " + std::to_string(e.point);
    if (e.plba < 0 || e.plba >= kCdMaxLba) return Fail(name + " starts outside the disc");
    if (!d.tracks.empty() && e.plba <= d.tracks.back().start())
      return Fail(name + " does not start after the track before it");
    Track t;
    t.number = static_cast<uint8_t>(e.point);
    t.session = static_cast<uint8_t>(e.session);
    t.control = static_cast<uint8_t>(e.control);
    t.mode = (e.control & kCtrlData) ? TrackMode::kMode1 : TrackMode::kAudio;
    t.indexes = {static_cast<int32_t>(e.plba)};
    t.pregapStart = t.start();
    if (const Section* s = Find(name)) {
      int64_t mode = -1;
      if (!Get(*s, name, "mode", 0, 2, mode, false)) return false;
      if (mode == 0) t.mode = TrackMode::kAudio;
      if (mode == 1) t.mode = TrackMode::kMode1;
      if (mode == 2) t.mode = TrackMode::kMode2Mixed;
      if (mode >= 0 && (mode != 0) != ((e.control & kCtrlData) != 0))
        return Fail("[" + name + "] MODE disagrees with the TOC's control field");
      // Index positions are taken relative to index 1, so descriptors that count them from
      // the disc and those that count from the session's start both land where the TOC says.
      int64_t i0 = -1, i1 = -1;
      if (!Get(*s, name, "index 0", kLeadInMinLba, kCdMaxLba, i0, false) ||
          !Get(*s, name, "index 1", kLeadInMinLba, kCdMaxLba, i1, false))
        return false;
      if (i0 != -1 && i1 != -1) {
        if (i0 > i1) return Fail("[" + name + "] INDEX 0 lies after INDEX 1");
        t.pregapStart = static_cast<int32_t>(std::max<int64_t>(e.plba - (i1 - i0), 0));
      } else if (firstInSession && i1 > 0 && i1 < e.plba) {
        // Counted from the session's start, a session's first track needs no INDEX 0: its
        // pregap runs from that start, which INDEX 1 is the distance from.
        t.pregapStart = static_cast<int32_t>(e.plba - i1);
      }
      for (int k = 2; k <= 99 && i1 != -1; ++k) {
        int64_t ik = -1;
        std::string key = "index " + std::to_string(k);
        if (!s->count(key)) break;
        if (!Get(*s, name, key, kLeadInMinLba, kCdMaxLba, ik)) return false;
        int64_t at = e.plba + (ik - i1);
        if (at <= t.indexes.back() || at >= kCdMaxLba)
          return Fail("[" + name + "] " + key + " is out of order");
        t.indexes.push_back(static_cast<int32_t>(at));
      }
    }
    if (!d.tracks.empty() && t.pregapStart < d.tracks.back().start() + 1)
      return Fail(name + " pregap reaches into the track before it");
    d.tracks.push_back(std::move(t));
    return true;
  }

  // [CDText]: Entries=n and "Entry k" lines of 16 hexadecimal bytes, a pack without its CRC.
  // Text that does not read whole is left out rather than failing the image.
  void CdText(const Section& s) {
    int64_t entries = 0;
    auto count = s.find("entries");
    if (count == s.end() || !ParseInt(count->second, entries) || entries < 1 || entries > 256)
      return;
    std::vector<uint8_t> packs;
    for (int64_t k = 0; k < entries; ++k) {
      auto it = s.find("entry " + std::to_string(k));
      if (it == s.end()) return;
      std::string_view hex = it->second;
      for (int b = 0; b < 16; ++b) {
        hex = Trim(hex);
        uint8_t v = 0;
        auto [p, ec] = std::from_chars(hex.data(), hex.data() + std::min<size_t>(hex.size(), 2), v, 16);
        if (ec != std::errc() || p == hex.data()) return;
        packs.push_back(v);
        hex.remove_prefix(static_cast<size_t>(p - hex.data()));
      }
    }
    out_.cdText = SealCdTextPacks(packs);
  }

  const std::string& img_;
  const std::string& sub_;
  const FileSizeLookup& sizeOf_;
  ImageLayout& out_;
  std::map<std::string, Section> sections_;
  std::string error_;
};

}  // namespace

bool ParseCcd(std::string_view text, const std::string& imgPath, const std::string& subPath,
              const FileSizeLookup& sizeOf, ImageLayout& out, std::string& error) {
  out = ImageLayout{};
  Parser parser(imgPath, subPath, sizeOf, out);
  if (!parser.Run(text, error)) return false;
  return out.Check(error);
}

}  // namespace ravelkit
