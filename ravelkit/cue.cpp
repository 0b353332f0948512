#include <cctype>
#include <charconv>

#include "ravelkit/answers_cdtext.h"
#include "ravelkit/source.h"

namespace ravelkit {

namespace {

constexpr size_t kMaxFiles = 99;
constexpr size_t kMaxLine = 4096;

struct Point {  // one INDEX line
  uint8_t number = 0;
  int file = 0;
  int32_t frame = 0;
  int line = 0;
};

struct CueTrack {
  uint8_t number = 0;
  TrackMode mode = TrackMode::kMode1;
  uint32_t sectorSize = 0;
  uint8_t control = 0;
  int32_t pregap = 0, postgap = 0;
  bool hasPregap = false, hasPostgap = false;
  std::vector<Point> points;
  int line = 0;
};

class Parser {
 public:
  Parser(const std::string& dir, const FileSizeLookup& sizeOf, ImageLayout& out)
      : dir_(dir), sizeOf_(sizeOf), out_(out) {}

  bool Run(std::string_view text, std::string& error) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    size_t pos = 0;
    while (pos <= text.size() && ok_) {
      size_t nl = text.find('\n', pos);
      std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
      ++lineNo_;
      if (line.size() > kMaxLine) {
        Fail("line is too long");
        break;
      }
      Line(line);
      if (nl == std::string_view::npos) break;
      pos = nl + 1;
    }
    if (ok_) Finish();
    if (!ok_) error = error_;
    return ok_;
  }

 private:
  bool Fail(const std::string& msg) {
    if (ok_) error_ = "line " + std::to_string(lineNo_) + ": " + msg;
    ok_ = false;
    return false;
  }
  bool FailAt(int line, const std::string& msg) {
    lineNo_ = line;
    return Fail(msg);
  }

  static bool Tokenize(std::string_view line, std::vector<std::string>& tokens) {
    size_t i = 0;
    while (i < line.size()) {
      unsigned char c = static_cast<unsigned char>(line[i]);
      if (std::isspace(c)) {
        ++i;
        continue;
      }
      std::string tok;
      if (c == '"') {
        size_t close = line.find('"', i + 1);
        if (close == std::string_view::npos) return false;
        tok = std::string(line.substr(i + 1, close - i - 1));
        i = close + 1;
      } else {
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
          tok += line[i++];
      }
      tokens.push_back(std::move(tok));
    }
    return true;
  }

  static std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }

  static bool Number(std::string_view s, int maxDigits, int& v) {
    if (s.empty() || static_cast<int>(s.size()) > maxDigits) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
  }

  bool Time(const std::string& s, int32_t& frames) {
    size_t a = s.find(':'), b = s.find(':', a == std::string::npos ? a : a + 1);
    int m, sec, f;
    if (a == std::string::npos || b == std::string::npos ||
        !Number(std::string_view(s).substr(0, a), 2, m) ||
        !Number(std::string_view(s).substr(a + 1, b - a - 1), 2, sec) ||
        !Number(std::string_view(s).substr(b + 1), 2, f))
      return Fail("malformed time '" + s + "' (want mm:ss:ff)");
    if (sec >= 60 || f >= kFramesPerSecond) return Fail("time '" + s + "' out of range");
    frames = (m * 60 + sec) * kFramesPerSecond + f;
    return true;
  }

  CueTrack* Current(const char* what) {
    if (tracks_.empty()) {
      Fail(std::string(what) + " before any TRACK");
      return nullptr;
    }
    return &tracks_.back();
  }

  void Line(std::string_view line) {
    std::vector<std::string> tok;
    if (!Tokenize(line, tok)) {
      Fail("unterminated quote");
      return;
    }
    if (tok.empty()) return;
    std::string cmd = Upper(tok[0]);
    if (cmd == "REM" || cmd == "CATALOG" || cmd == "CDTEXTFILE" || cmd == "ISRC") return;
    static constexpr std::pair<const char*, CdTextField> kTextCommands[] = {
        {"TITLE", CdTextField::kTitle},         {"PERFORMER", CdTextField::kPerformer},
        {"SONGWRITER", CdTextField::kSongwriter}, {"COMPOSER", CdTextField::kComposer},
        {"ARRANGER", CdTextField::kArranger},   {"MESSAGE", CdTextField::kMessage}};
    for (const auto& [name, field] : kTextCommands)
      if (cmd == name) return Text(field, tok);
    if (cmd == "FILE") return File(tok);
    if (cmd == "TRACK") return TrackLine(tok);
    if (cmd == "INDEX") return Index(tok);
    if (cmd == "PREGAP" || cmd == "POSTGAP") return Gap(tok, cmd == "PREGAP");
    if (cmd == "FLAGS") return Flags(tok);
    Fail("unknown command '" + tok[0] + "'");
  }

  // CD-TEXT: before the first TRACK the disc's, after it the current track's. A word left
  // unquoted runs to the end of the line.
  void Text(CdTextField field, const std::vector<std::string>& tok) {
    if (tok.size() < 2) return;
    std::string value = tok[1];
    for (size_t i = 2; i < tok.size(); ++i) value += " " + tok[i];
    text_.Set(field, tracks_.empty() ? 0 : tracks_.back().number, std::move(value));
  }

  void File(const std::vector<std::string>& tok) {
    if (tok.size() != 3) return void(Fail("FILE needs a name and a type"));
    std::string type = Upper(tok[2]);
    if (type != "BINARY" && type != "MOTOROLA")
      return void(Fail("file type " + tok[2] + " is not supported (BINARY or MOTOROLA)"));
    if (tok[1].empty()) return void(Fail("FILE has an empty name"));
    if (out_.files.size() >= kMaxFiles) return void(Fail("too many FILE lines"));
    if (!out_.files.empty() && !fileUsed_)
      return void(Fail("previous FILE holds no INDEX"));
    std::string path = tok[1].front() == '/' ? tok[1] : dir_ + tok[1];
    auto size = sizeOf_(path);
    if (!size) return void(Fail("cannot open file '" + tok[1] + "'"));
    out_.files.push_back({path, *size, type == "MOTOROLA"});
    fileUsed_ = false;
  }

  void TrackLine(const std::vector<std::string>& tok) {
    if (out_.files.empty()) return void(Fail("TRACK before any FILE"));
    int n;
    if (tok.size() != 3 || !Number(tok[1], 2, n) || n < 1 || n > 99)
      return void(Fail("TRACK needs a number 1-99 and a type"));
    if (!tracks_.empty()) {
      if (n != tracks_.back().number + 1) return void(Fail("track numbers must increase by 1"));
      if (!HasIndex1(tracks_.back()))
        return void(Fail("track " + std::to_string(tracks_.back().number) + " has no INDEX 01"));
    }
    CueTrack t;
    t.number = static_cast<uint8_t>(n);
    t.line = lineNo_;
    std::string type = Upper(tok[2]);
    if (type == "AUDIO") {
      t.mode = TrackMode::kAudio, t.sectorSize = kRawSize, t.control = 0;
    } else if (type == "MODE1/2048") {
      t.mode = TrackMode::kMode1, t.sectorSize = kUserSize, t.control = kCtrlData;
    } else if (type == "MODE1/2352") {
      t.mode = TrackMode::kMode1, t.sectorSize = kRawSize, t.control = kCtrlData;
    } else if (type == "MODE2/2352") {
      t.mode = TrackMode::kMode2Mixed, t.sectorSize = kRawSize, t.control = kCtrlData;
    } else if (type == "MODE2/2336") {
      t.mode = TrackMode::kMode2Mixed, t.sectorSize = kMode2Size, t.control = kCtrlData;
    } else {
      return void(Fail("track type " + tok[2] + " is not supported"));
    }
    if (t.mode != TrackMode::kAudio && out_.files.back().swapBytes)
      return void(Fail("a data track cannot be in a MOTOROLA file"));
    tracks_.push_back(std::move(t));
  }

  static bool HasIndex1(const CueTrack& t) {
    for (const Point& p : t.points)
      if (p.number == 1) return true;
    return false;
  }

  void Index(const std::vector<std::string>& tok) {
    CueTrack* t = Current("INDEX");
    if (t == nullptr) return;
    int n;
    int32_t frame;
    if (tok.size() != 3 || !Number(tok[1], 2, n) || n > 99)
      return void(Fail("INDEX needs a number 0-99 and a time"));
    if (!Time(tok[2], frame)) return;
    if (t->hasPostgap) return void(Fail("INDEX after POSTGAP"));
    int want = t->points.empty() ? (n == 0 ? 0 : 1) : t->points.back().number + 1;
    if (n != want) return void(Fail("INDEX " + tok[1] + " out of order"));
    int file = static_cast<int>(out_.files.size()) - 1;
    if (fileUsed_ && frame <= lastFrame_) return void(Fail("INDEX times must increase"));
    t->points.push_back({static_cast<uint8_t>(n), file, frame, lineNo_});
    fileUsed_ = true;
    lastFrame_ = frame;
  }

  void Gap(const std::vector<std::string>& tok, bool pre) {
    CueTrack* t = Current(pre ? "PREGAP" : "POSTGAP");
    if (t == nullptr) return;
    int32_t frames;
    if (tok.size() != 2) return void(Fail("gap needs a time"));
    if (!Time(tok[1], frames)) return;
    if (pre) {
      if (t->hasPregap || !t->points.empty()) return void(Fail("PREGAP must precede INDEX"));
      t->hasPregap = true, t->pregap = frames;
    } else {
      if (t->hasPostgap || !HasIndex1(*t)) return void(Fail("POSTGAP must follow INDEX 01"));
      t->hasPostgap = true, t->postgap = frames;
    }
  }

  void Flags(const std::vector<std::string>& tok) {
    CueTrack* t = Current("FLAGS");
    if (t == nullptr) return;
    if (!t->points.empty()) return void(Fail("FLAGS must precede INDEX"));
    for (size_t i = 1; i < tok.size(); ++i) {
      std::string f = Upper(tok[i]);
      if (f == "DCP") t->control |= kCtrlCopyPermitted;
      else if (f == "4CH") t->control |= kCtrlFourChannel;
      else if (f == "PRE") t->control |= kCtrlPreEmphasis;
      else if (f != "SCMS") return void(Fail("unknown flag '" + tok[i] + "'"));
    }
  }

  // Lays the index points out on the disc: each runs to the next point in the same file, or
  // to the end of its file.
  void Finish() {
    if (tracks_.empty()) return void(Fail("no TRACK"));
    if (!HasIndex1(tracks_.back()))
      return void(FailAt(tracks_.back().line, "track has no INDEX 01"));
    if (!fileUsed_) return void(Fail("last FILE holds no INDEX"));

    struct Placed {
      const Point* p;
      uint32_t size;
      uint8_t track;
      uint64_t offset = 0;
      int64_t count = 0;
    };
    std::vector<Placed> placed;
    for (const CueTrack& t : tracks_)
      for (const Point& p : t.points) placed.push_back({&p, t.sectorSize, t.number});
    for (size_t i = 0; i < placed.size(); ++i) {
      Placed& cur = placed[i];
      const ImageFile& file = out_.files[static_cast<size_t>(cur.p->file)];
      if (i > 0 && placed[i - 1].p->file == cur.p->file) {
        const Placed& prev = placed[i - 1];
        cur.offset = prev.offset + static_cast<uint64_t>(prev.count) * prev.size;
      } else {
        cur.offset = static_cast<uint64_t>(cur.p->frame) * cur.size;
      }
      bool last = i + 1 == placed.size() || placed[i + 1].p->file != cur.p->file;
      const std::string holds = "'" + file.path + "' holds " + std::to_string(file.size / cur.size);
      if (cur.offset >= file.size)
        return void(FailAt(cur.p->line, "track " + std::to_string(cur.track) + " starts at sector " +
                                            std::to_string(cur.offset / cur.size) + " but " +
                                            holds));
      if (last) {
        uint64_t rest = file.size - cur.offset;
        if (rest % cur.size != 0)
          return void(FailAt(cur.p->line, "size of '" + file.path +
                                              "' is not a multiple of the sector size"));
        cur.count = static_cast<int64_t>(std::min<uint64_t>(rest / cur.size, 1u << 30));
      } else {
        cur.count = placed[i + 1].p->frame - cur.p->frame;
        if (cur.offset + static_cast<uint64_t>(cur.count) * cur.size > file.size)
          return void(FailAt(cur.p->line, "track " + std::to_string(cur.track) + " needs " +
                                              std::to_string(cur.offset / cur.size + cur.count) +
                                              " sectors but " + holds));
      }
    }

    Disc& disc = out_.disc;
    int64_t lba = 0;
    size_t next = 0;
    bool xa = false;
    auto gap = [&](int32_t frames) {
      if (frames > 0) out_.extents.push_back({static_cast<int32_t>(lba), frames, -1, 0, 0});
      lba += frames;
    };
    for (const CueTrack& ct : tracks_) {
      Track t;
      t.number = ct.number;
      t.mode = ct.mode;
      t.control = ct.control;
      t.indexes.clear();
      t.pregapStart = static_cast<int32_t>(lba);
      xa = xa || ct.mode == TrackMode::kMode2Mixed;
      gap(ct.pregap);
      for (size_t k = 0; k < ct.points.size(); ++k, ++next) {
        const Placed& pl = placed[next];
        if (lba + pl.count > kCdMaxLba)
          return void(FailAt(pl.p->line, "image is longer than a CD can be"));
        if (pl.p->number > 0) t.indexes.push_back(static_cast<int32_t>(lba));
        out_.extents.push_back({static_cast<int32_t>(lba), static_cast<int32_t>(pl.count),
                                pl.p->file, pl.offset, pl.size});
        lba += pl.count;
      }
      gap(ct.postgap);
      if (lba > kCdMaxLba) return void(FailAt(ct.line, "image is longer than a CD can be"));
      t.end = static_cast<int32_t>(lba);
      disc.tracks.push_back(std::move(t));
    }
    disc.sessions.push_back({1, 0, disc.tracks.size() - 1, static_cast<int32_t>(lba),
                             static_cast<uint8_t>(xa ? 0x20 : 0x00)});
    text_.firstTrack = disc.tracks.front().number;
    text_.lastTrack = disc.tracks.back().number;
    out_.cdText = EncodeCdText(text_);
  }

  const std::string& dir_;
  const FileSizeLookup& sizeOf_;
  ImageLayout& out_;
  std::vector<CueTrack> tracks_;
  CdTextStrings text_;
  int lineNo_ = 0;
  bool ok_ = true;
  bool fileUsed_ = false;
  int32_t lastFrame_ = 0;
  std::string error_;
};

}  // namespace

bool ParseCue(std::string_view text, const std::string& dir, const FileSizeLookup& sizeOf,
              ImageLayout& out, std::string& error) {
  out = ImageLayout{};
  Parser parser(dir, sizeOf, out);
  if (!parser.Run(text, error)) return false;
  return out.Check(error);
}

}  // namespace ravelkit
