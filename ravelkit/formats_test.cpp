// CloneCD, media descriptor, Nero, CUE/BIN and ISO images: each test writes a small image
// of a known disc, opens it through the engine's entry points and compares what the engine
// serves with what an independent reader of that format (the Debian tools scripts/setup.sh
// installs) makes of the same files, then checks the sub-channel an image stores against
// the generated one and that damaged or hostile images are refused with their reason.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "ravelkit/disc.h"
#include "ravelkit/ravelkit.h"
#include "ravelkit/source.h"
#include "ravelkit/test_support.h"

namespace ravelkit {
namespace {

namespace fs = std::filesystem;
using test_support::Bytes;
using test_support::Pattern;
using test_support::TempDir;
using test_support::HaveTool;
using test_support::Tool;

// --- The engine ---------------------------------------------------------------------------

using test_support::Outcome;

class Engine : public test_support::OpenImage {
 public:
  using OpenImage::OpenImage;

  Outcome Run(const Bytes& cdb, uint32_t byteCount = 1u << 22) {
    Outcome o = test_support::Execute(image(), cdb, byteCount);
    EXPECT_EQ(o.status, kStatusDone);
    return o;
  }

  Bytes Read10(int32_t lba, uint32_t count) {
    Bytes c(16, 0);
    c[0] = 0x28;
    PutLba(c, lba);
    c[7] = static_cast<uint8_t>(count >> 8), c[8] = static_cast<uint8_t>(count);
    Outcome o = Run(c);
    EXPECT_FALSE(o.check) << "READ(10) " << lba << "+" << count << ": asc " << int(o.asc);
    return o.data;
  }

  // READ CD of whole sectors (sync to EDC/ECC, or all 2,352 audio bytes) plus the selected
  // sub-channel (0 none, 1 raw P-W, 2 Q, 4 R-W).
  Bytes ReadCd(int32_t lba, uint32_t count, uint8_t sub = 0) {
    Bytes c(16, 0);
    c[0] = 0xBE;
    PutLba(c, lba);
    c[6] = static_cast<uint8_t>(count >> 16), c[7] = static_cast<uint8_t>(count >> 8);
    c[8] = static_cast<uint8_t>(count), c[9] = 0xF8, c[10] = sub;
    Outcome o = Run(c);
    EXPECT_FALSE(o.check) << "READ CD " << lba << "+" << count << ": asc " << int(o.asc);
    return o.data;
  }

  // READ TOC format 0 as (track, start LBA) pairs, the lead-out as track 0xAA.
  std::vector<std::pair<int, int32_t>> Toc() {
    Bytes c(16, 0);
    c[0] = 0x43, c[7] = 0x03, c[8] = 0x24;
    Outcome o = Run(c);
    std::vector<std::pair<int, int32_t>> out;
    for (size_t i = 4; i + 8 <= o.data.size(); i += 8)
      out.push_back({o.data[i + 2], static_cast<int32_t>(o.data[i + 4] << 24 | o.data[i + 5] << 16 |
                                                         o.data[i + 6] << 8 | o.data[i + 7])});
    return out;
  }

  uint64_t Capacity() {
    uint64_t cap = 0;
    EXPECT_EQ(ImageQueryMedium(image(), nullptr, nullptr, &cap), kImageOk);
    return cap;
  }
  uint32_t Medium() {
    uint32_t d = 0;
    EXPECT_EQ(ImageQueryMedium(image(), &d, nullptr, nullptr), kImageOk);
    return d & 0xFF;
  }

 private:
  static void PutLba(Bytes& c, int32_t lba) {
    for (int i = 0; i < 4; ++i)
      c[2 + i] = static_cast<uint8_t>(static_cast<uint32_t>(lba) >> (24 - 8 * i));
  }
};

Bytes Slice(const Bytes& v, size_t from, size_t n) {
  if (from > v.size()) return {};
  return Bytes(v.begin() + static_cast<std::ptrdiff_t>(from),
               v.begin() + static_cast<std::ptrdiff_t>(std::min(v.size(), from + n)));
}

// --- The disc every fixture holds ---------------------------------------------------------

struct FxTrack {
  uint8_t number;
  uint8_t session;
  bool audio;
  int32_t pregapStart;  // index 0
  int32_t start;        // index 1
  int32_t end;
};

// Session 1: a mode 1 track at 0-39, an audio track with a 10-sector pregap (40-49) and
// its body at 50-79, lead-out 80. Session 2 starts after the first lead-out (6,750 sectors)
// and the second lead-in (4,500): a mode 1 track whose 150-sector pregap begins at 11330,
// body 11480-11499, lead-out 11500.
const FxTrack kTracks[] = {
    {1, 1, false, 0, 0, 40}, {2, 1, true, 40, 50, 80}, {3, 2, false, 11330, 11480, 11500}};
constexpr int32_t kLeadOut[] = {80, 11500};
constexpr int32_t kIsrcLba = 60;  // where the stored Q carries an ISRC frame, not a position

std::vector<FxTrack> Tracks(int sessions) {
  std::vector<FxTrack> t(std::begin(kTracks), std::end(kTracks));
  if (sessions == 1) t.pop_back();
  return t;
}

Disc FixtureDisc(int sessions) {
  Disc d;
  for (const FxTrack& f : Tracks(sessions)) {
    Track t;
    t.number = f.number;
    t.session = f.session;
    t.mode = f.audio ? TrackMode::kAudio : TrackMode::kMode1;
    t.control = f.audio ? 0 : kCtrlData;
    t.pregapStart = f.pregapStart;
    t.indexes = {f.start};
    t.end = f.end;
    d.tracks.push_back(t);
  }
  d.sessions.push_back({1, 0, 1, kLeadOut[0], 0});
  if (sessions == 2) d.sessions.push_back({2, 2, 2, kLeadOut[1], 0});
  return d;
}

Bytes UserData(int32_t lba) {
  Bytes v = Pattern(kUserSize, static_cast<uint32_t>(lba + 7));
  if (lba == 16)
    std::memcpy(v.data(),
                "\x01"
                "CD001\x01",
                7);  // what converters look for
  return v;
}

Bytes RawSector(const FxTrack& t, int32_t lba) {
  if (t.audio) return Pattern(kRawSize, static_cast<uint32_t>(1000000 + lba));
  Bytes s(kRawSize);
  Bytes u = UserData(lba);
  SynthesizeMode1(lba, std::span<const uint8_t, kUserSize>(u.data(), kUserSize), s.data());
  return s;
}

// The sector's sub-channel in linear form: P set in pregaps and the first two seconds, the
// disc's Q (an ISRC frame at kIsrcLba), R-W a pattern.
std::array<uint8_t, 96> LinearSub(const Disc& d, int32_t lba) {
  std::array<uint8_t, 96> a{};
  const Track* t = d.TrackAt(lba);
  if (lba < 150 || (t != nullptr && t->IndexAt(lba) == 0)) std::memset(a.data(), 0xFF, 12);
  QBlock q = d.QAt(lba);
  if (lba == kIsrcLba) {
    q = {0x03, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x10};
    SealQ(q);
  }
  std::memcpy(a.data() + 12, q.data(), 12);
  // R-W stays empty at the start, where converters recognise the data file by its first
  // sector's sub-channel.
  if (lba >= 16) {
    Bytes rw = Pattern(72, static_cast<uint32_t>(5000 + lba));
    std::memcpy(a.data() + 24, rw.data(), 72);
  }
  return a;
}

std::array<uint8_t, 96> RawSub(const Disc& d, int32_t lba) {
  auto linear = LinearSub(d, lba);
  std::array<uint8_t, 96> raw{};
  InterleaveSubchannel(linear.data(), raw.data());
  return raw;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void Append(Bytes& out, const Bytes& v) { out.insert(out.end(), v.begin(), v.end()); }
template <size_t N>
void Append(Bytes& out, const std::array<uint8_t, N>& v) {
  out.insert(out.end(), v.begin(), v.end());
}

// What the engine must serve: user data of a run of data sectors, raw sectors of any run.
Bytes WantUser(int32_t lba, int32_t count) {
  Bytes out;
  for (int32_t i = 0; i < count; ++i) Append(out, UserData(lba + i));
  return out;
}
Bytes WantRaw(const FxTrack& t, int32_t lba, int32_t count) {
  Bytes out;
  for (int32_t i = 0; i < count; ++i) Append(out, RawSector(t, lba + i));
  return out;
}

// --- CloneCD ------------------------------------------------------------------------------

// Index positions as CloneCD writes them: counted from the start of the track's session,
// where a session's first track needs no INDEX 0. With `absolute` they count from LBA 0.
std::string CcdText(int sessions, const std::function<void(std::string&)>& edit = nullptr,
                    bool absolute = false) {
  std::ostringstream s;
  std::vector<std::string> entries;
  auto entry = [&](int session, int point, int adr, int control, int32_t plba, int pmin = -1,
                   int psec = 0, int pframe = 0) {
    Msf m = LbaToMsf(plba);
    std::ostringstream e;
    e << "Session=" << session << "\nPoint=0x" << std::hex << point << std::dec << "\nADR=0x0"
      << adr << "\nControl=0x0" << control << "\nTrackNo=0\nAMin=0\nASec=0\n"
      << "AFrame=0\nALBA=-150\nZero=0\n";
    if (pmin >= 0)
      e << "PMin=" << pmin << "\nPSec=" << psec << "\nPFrame=" << pframe << "\nPLBA=" << plba
        << "\n";
    else
      e << "PMin=" << int(m.m) << "\nPSec=" << int(m.s) << "\nPFrame=" << int(m.f)
        << "\nPLBA=" << plba << "\n";
    entries.push_back(e.str());
  };
  auto tracks = Tracks(sessions);
  for (int sn = 1; sn <= sessions; ++sn) {
    std::vector<FxTrack> in;
    for (const FxTrack& t : tracks)
      if (t.session == sn) in.push_back(t);
    int ctlFirst = in.front().audio ? 0 : 4, ctlLast = in.back().audio ? 0 : 4;
    entry(sn, 0xA0, 1, ctlFirst, 0, in.front().number, 0, 0);
    entry(sn, 0xA1, 1, ctlLast, 0, in.back().number, 0, 0);
    entry(sn, 0xA2, 1, ctlLast, kLeadOut[sn - 1]);
    if (sessions > 1 && sn == 1) entry(sn, 0xB0, 5, ctlLast, 0, 2, 30, 0);  // next session
    for (const FxTrack& t : in) entry(sn, t.number, 1, t.audio ? 0 : 4, t.start);
  }
  s << "[CloneCD]\r\nVersion=3\r\n[Disc]\r\nTocEntries=" << entries.size()
    << "\r\nSessions=" << sessions << "\r\nDataTracksScrambled=0\r\nCDTextLength=0\r\n";
  for (int sn = 1; sn <= sessions; ++sn)
    s << "[Session " << sn << "]\r\nPreGapMode=1\r\nPreGapSubC=0\r\n";
  for (size_t i = 0; i < entries.size(); ++i) s << "[Entry " << i << "]\r\n" << entries[i];
  for (const FxTrack& t : tracks) {
    int32_t base = absolute || t.session == 1 ? 0 : tracks[2].pregapStart;
    s << "[TRACK " << int(t.number) << "]\r\nMODE=" << (t.audio ? 0 : 1) << "\r\n";
    if (t.pregapStart != t.start && (absolute || t.pregapStart != base))
      s << "INDEX 0=" << t.pregapStart - base << "\r\n";
    s << "INDEX 1=" << t.start - base << "\r\n";
  }
  std::string text = s.str();
  if (edit) edit(text);
  return text;
}

// Writes disc.ccd, disc.img and (unless `withSub` is false) disc.sub.
std::string WriteCcd(const TempDir& dir, int sessions, bool withSub = true) {
  Disc d = FixtureDisc(sessions);
  Bytes img, sub;
  for (const FxTrack& t : Tracks(sessions))
    for (int32_t lba = t.pregapStart; lba < t.end; ++lba) {
      Append(img, RawSector(t, lba));
      Append(sub, LinearSub(d, lba));
    }
  dir.Write("disc.img", img);
  if (withSub) dir.Write("disc.sub", sub);
  return dir.Write("disc.ccd", CcdText(sessions));
}

TEST(CloneCd, TwoSessionsMatchCcd2isoAndBchunk) {
  REQUIRE_TOOL("ccd2iso");
  REQUIRE_TOOL("bchunk");
  TempDir dir;
  Engine e(WriteCcd(dir, 2));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  EXPECT_EQ(e.Capacity(), 11500u);
  EXPECT_EQ(e.Toc(),
            (std::vector<std::pair<int, int32_t>>{{1, 0}, {2, 50}, {3, 11480}, {0xAA, 11500}}));

  // ccd2iso converts the data sectors at the start of the .img, up to the first audio one.
  Tool(dir, "ccd2iso disc.img ccd2iso.iso");
  Bytes iso = dir.Read("ccd2iso.iso");
  ASSERT_EQ(iso.size(), 40 * kUserSize);
  EXPECT_EQ(e.Read10(0, 40), iso);

  // bchunk splits the .img along a cue sheet of its own sector positions: track 3 lies at
  // sector 80 of the file although the disc puts it 11,250 sectors further on.
  dir.Write("img.cue",
            "FILE \"disc.img\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n"
            " TRACK 02 AUDIO\n  INDEX 00 00:00:40\n  INDEX 01 00:00:50\n"
            " TRACK 03 MODE1/2352\n  INDEX 00 00:01:05\n  INDEX 01 00:03:05\n");
  ASSERT_EQ(Tool(dir, "bchunk disc.img img.cue part"), 0);
  EXPECT_EQ(e.ReadCd(50, 30), Slice(dir.Read("part02.cdr"), 0, 30 * kRawSize));
  EXPECT_EQ(e.Read10(11480, 20), dir.Read("part03.iso"));
  // Raw sectors, pregaps included, are the file's own.
  Bytes img = dir.Read("disc.img");
  EXPECT_EQ(e.ReadCd(0, 80), Slice(img, 0, 80 * kRawSize));
  EXPECT_EQ(e.ReadCd(11330, 170), Slice(img, 80 * kRawSize, 170 * kRawSize));
  // Between the sessions there is no track to read.
  EXPECT_TRUE(e.Run({0x28, 0, 0, 0, 0x01, 0x00, 0, 0, 1}).check);  // LBA 256
}

TEST(CloneCd, IndexesCountedFromTheDiscOrTheSessionGiveOneLayout) {
  auto sizes = [](const std::string& p) -> std::optional<uint64_t> {
    if (p == "d/a.img") return 250 * kRawSize;
    return std::nullopt;
  };
  ImageLayout relative, absolute;
  std::string error;
  ASSERT_TRUE(ParseCcd(CcdText(2), "d/a.img", "", sizes, relative, error)) << error;
  ASSERT_TRUE(ParseCcd(CcdText(2, nullptr, true), "d/a.img", "", sizes, absolute, error)) << error;
  for (const ImageLayout* l : {&relative, &absolute}) {
    ASSERT_EQ(l->disc.tracks.size(), 3u);
    EXPECT_EQ(l->disc.tracks[1].pregapStart, 40);
    EXPECT_EQ(l->disc.tracks[2].pregapStart, 11330);
    EXPECT_EQ(l->disc.tracks[2].session, 2);
    ASSERT_EQ(l->extents.size(), 4u);  // three tracks and the gap between the sessions
    EXPECT_EQ(l->extents[3].lba, 11330);
    EXPECT_EQ(l->extents[3].offset, 80 * kRawSize);
    EXPECT_EQ(l->extents[2].file, -1);
  }
}

TEST(CloneCd, OpensThroughTheImgAndWithoutSubchannel) {
  TempDir dir;
  WriteCcd(dir, 1, false);
  Engine e(dir.Path("disc.img"));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  EXPECT_EQ(e.Capacity(), 80u);
  // No .sub: the Q comes from the disc model.
  Bytes q = e.ReadCd(kIsrcLba, 1, 2);
  QBlock want = FixtureDisc(1).QAt(kIsrcLba);
  EXPECT_EQ(Slice(q, kRawSize, 12), Bytes(want.begin(), want.end()));

  dir.Write("lonely.img", Bytes(kRawSize));
  Engine lonely(dir.Path("lonely.img"));
  EXPECT_EQ(lonely.error(), kImageNotSupported);
  EXPECT_NE(lonely.message().find("no .ccd beside it"), std::string::npos) << lonely.message();
}

// --- Media descriptor ---------------------------------------------------------------------

struct MdsOptions {
  uint32_t dataSize = kRawSize;  // main bytes of data sectors: 2048 or 2352
  bool sub = true;               // 96 bytes of interleaved P-W after every sector
  int sessions = 2;
};

void Put16(Bytes& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }
void Put32(Bytes& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void Put64(Bytes& b, size_t at, uint64_t v) { std::memcpy(b.data() + at, &v, 8); }

// Offsets of the records the descriptor builder lays out, for damage tests.
struct MdsLayout {
  size_t sessions = 88;
  size_t firstTrackBlock = 0;  // the first track block of session 1 (after A0-A2)
  size_t footer = 0, name = 0;
};

Bytes MdsDescriptor(const MdsOptions& o, const std::vector<uint64_t>& offsets, MdsLayout& at) {
  auto tracks = Tracks(o.sessions);
  size_t blocksPerSession[2] = {0, 0};
  for (const FxTrack& t : tracks) ++blocksPerSession[t.session - 1];
  size_t blocks = 0;
  for (int s = 0; s < o.sessions; ++s) blocks += 3 + blocksPerSession[s];
  size_t blockBase = at.sessions + 24 * static_cast<size_t>(o.sessions);
  size_t extraBase = blockBase + 80 * blocks;
  at.footer = extraBase + 8 * tracks.size();
  at.name = at.footer + 16;
  Bytes m(at.name + 6, 0);
  std::memcpy(m.data(), "MEDIA DESCRIPTOR", 16);
  m[16] = 1, m[17] = 5;
  Put16(m, 18, 0x00);  // CD-ROM
  Put16(m, 20, static_cast<uint16_t>(o.sessions));
  Put32(m, 80, static_cast<uint32_t>(at.sessions));
  std::memcpy(m.data() + at.name, "*.mdf", 6);
  Put32(m, at.footer, static_cast<uint32_t>(at.name));

  size_t block = blockBase, track = 0;
  for (int sn = 1; sn <= o.sessions; ++sn) {
    size_t sb = at.sessions + 24 * static_cast<size_t>(sn - 1);
    std::vector<FxTrack> in;
    for (const FxTrack& t : tracks)
      if (t.session == sn) in.push_back(t);
    Put32(m, sb, static_cast<uint32_t>(sn == 1 ? -150 : in.front().pregapStart));
    Put32(m, sb + 4, static_cast<uint32_t>(kLeadOut[sn - 1]));
    Put16(m, sb + 8, static_cast<uint16_t>(sn));
    m[sb + 10] = static_cast<uint8_t>(3 + in.size());
    m[sb + 11] = 3;
    Put16(m, sb + 12, in.front().number);
    Put16(m, sb + 14, in.back().number);
    Put32(m, sb + 20, static_cast<uint32_t>(block));
    for (uint8_t point : {0xA0, 0xA1, 0xA2}) {
      m[block + 2] = 0x14, m[block + 4] = point;
      if (point == 0xA0) m[block + 9] = in.front().number;
      if (point == 0xA1) m[block + 9] = in.back().number;
      block += 80;
    }
    if (sn == 1) at.firstTrackBlock = block;
    for (const FxTrack& t : in) {
      Msf msf = LbaToMsf(t.start);
      m[block] = t.audio ? 0xA9 : 0xAA;
      m[block + 1] = o.sub ? 0x08 : 0x00;
      m[block + 2] = t.audio ? 0x10 : 0x14;
      m[block + 4] = t.number;
      m[block + 9] = msf.m, m[block + 10] = msf.s, m[block + 11] = msf.f;
      size_t extra = extraBase + 8 * track;
      Put32(m, block + 12, static_cast<uint32_t>(extra));
      Put16(m, block + 16,
            static_cast<uint16_t>((t.audio ? kRawSize : o.dataSize) + (o.sub ? 96 : 0)));
      Put32(m, block + 36, static_cast<uint32_t>(t.start));
      Put64(m, block + 40, offsets[track]);
      Put32(m, block + 48, 1);
      Put32(m, block + 52, static_cast<uint32_t>(at.footer));
      Put32(m, extra, static_cast<uint32_t>(t.number == 1 ? 150 : t.start - t.pregapStart));
      Put32(m, extra + 4, static_cast<uint32_t>(t.end - t.start));
      block += 80, ++track;
    }
  }
  return m;
}

// Writes disc.mds and disc.mdf; the data file holds each track's body, not its pregap.
std::string WriteMds(const TempDir& dir, const MdsOptions& o, MdsLayout* layout = nullptr) {
  Disc d = FixtureDisc(o.sessions);
  Bytes mdf;
  std::vector<uint64_t> offsets;
  for (const FxTrack& t : Tracks(o.sessions)) {
    offsets.push_back(mdf.size());
    for (int32_t lba = t.start; lba < t.end; ++lba) {
      Bytes s = RawSector(t, lba);
      if (!t.audio && o.dataSize == kUserSize) s = UserData(lba);
      Append(mdf, s);
      if (o.sub) Append(mdf, RawSub(d, lba));
    }
  }
  dir.Write("disc.mdf", mdf);
  MdsLayout at;
  std::string path = dir.Write("disc.mds", MdsDescriptor(o, offsets, at));
  if (layout) *layout = at;
  return path;
}

TEST(MediaDescriptor, RawWithSubchannelMatchesMdf2iso) {
  REQUIRE_TOOL("mdf2iso");
  TempDir dir;
  Engine e(WriteMds(dir, {}));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  EXPECT_EQ(e.Capacity(), 11500u);
  EXPECT_EQ(e.Toc(),
            (std::vector<std::pair<int, int32_t>>{{1, 0}, {2, 50}, {3, 11480}, {0xAA, 11500}}));

  // mdf2iso recognises the interleaved sub-channel after the first sector and converts
  // every stored sector in file order: track 1, track 2's body, track 3's body.
  ASSERT_EQ(Tool(dir, "mdf2iso --cue disc.mdf out.bin"), 0);
  Bytes bin = dir.Read("out.bin");
  ASSERT_EQ(bin.size(), 90 * kRawSize);
  Bytes served = e.ReadCd(0, 40);
  Append(served, e.ReadCd(50, 30));
  Append(served, e.ReadCd(11480, 20));
  EXPECT_EQ(served, bin);
  ASSERT_EQ(Tool(dir, "mdf2iso disc.mdf user.iso"), 0);
  Bytes iso = dir.Read("user.iso");
  ASSERT_EQ(iso.size(), 90 * kUserSize);
  EXPECT_EQ(e.Read10(0, 40), Slice(iso, 0, 40 * kUserSize));
  EXPECT_EQ(e.Read10(11480, 20), Slice(iso, 70 * kUserSize, 20 * kUserSize));
  // The pregaps are declared, not stored: track 2's reads as silence.
  EXPECT_EQ(e.ReadCd(40, 10), Bytes(10 * kRawSize, 0));
}

TEST(MediaDescriptor, RawWithoutSubchannelMatchesMdf2isoAndBchunk) {
  REQUIRE_TOOL("mdf2iso");
  REQUIRE_TOOL("bchunk");
  TempDir dir;
  Engine e(WriteMds(dir, {kRawSize, false, 1}));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  // Plain raw sectors: mdf2iso takes the user data of every one of them.
  ASSERT_EQ(Tool(dir, "mdf2iso disc.mdf user.iso"), 0);
  EXPECT_EQ(e.Read10(0, 40), Slice(dir.Read("user.iso"), 0, 40 * kUserSize));
  // The data file holds track 2's body right after track 1.
  dir.Write("mdf.cue",
            "FILE \"disc.mdf\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n"
            " TRACK 02 AUDIO\n  INDEX 01 00:00:40\n");
  ASSERT_EQ(Tool(dir, "bchunk disc.mdf mdf.cue part"), 0);
  EXPECT_EQ(e.ReadCd(50, 30), dir.Read("part02.cdr"));
  EXPECT_EQ(e.ReadCd(0, 40), WantRaw(kTracks[0], 0, 40));
  // Without stored sub-channel the Q is generated, the ISRC frame is not there.
  QBlock want = FixtureDisc(1).QAt(kIsrcLba);
  EXPECT_EQ(Slice(e.ReadCd(kIsrcLba, 1, 2), kRawSize, 12), Bytes(want.begin(), want.end()));
}

TEST(MediaDescriptor, UserDataTracksServeTheSameSectorsAsRawOnes) {
  // Data tracks of 2,048-byte sectors beside a raw audio track: the synthesized sync,
  // header, EDC and ECC must equal the recorded ones of the raw image.
  TempDir rawDir, userDir;
  Engine raw(WriteMds(rawDir, {kRawSize, false, 2}));
  Engine user(WriteMds(userDir, {kUserSize, true, 2}));
  ASSERT_EQ(raw.error(), kImageOk) << raw.message();
  ASSERT_EQ(user.error(), kImageOk) << user.message();
  for (const FxTrack& t : kTracks) {
    EXPECT_EQ(user.ReadCd(t.start, static_cast<uint32_t>(t.end - t.start)),
              WantRaw(t, t.start, t.end - t.start))
        << int(t.number);
    EXPECT_EQ(raw.ReadCd(t.start, static_cast<uint32_t>(t.end - t.start)),
              user.ReadCd(t.start, static_cast<uint32_t>(t.end - t.start)));
  }
  EXPECT_EQ(user.Read10(11480, 20), WantUser(11480, 20));
}

TEST(MediaDescriptor, DvdImageIsServedAsDvd) {
  REQUIRE_TOOL("xorriso");
  REQUIRE_TOOL("iso-info");
  TempDir dir;
  dir.Write("hello.txt", std::string("a file on a DVD\n"));
  ASSERT_EQ(Tool(dir, "xorriso -as mkisofs -V RAVELDVD -o dvd.mdf hello.txt"), 0);
  Bytes mdf = dir.Read("dvd.mdf");
  ASSERT_EQ(mdf.size() % kUserSize, 0u);
  uint32_t sectors = static_cast<uint32_t>(mdf.size() / kUserSize);
  // One session, one track: no extra block, the length where CD tracks point at it.
  Bytes m(88 + 24 + 80 + 16 + 6, 0);
  std::memcpy(m.data(), "MEDIA DESCRIPTOR", 16);
  m[16] = 1, m[17] = 5;
  Put16(m, 18, 0x10);
  Put16(m, 20, 1);
  Put32(m, 80, 88);
  Put32(m, 88 + 4, sectors);
  Put16(m, 88 + 8, 1);
  m[88 + 10] = 1;
  Put16(m, 88 + 12, 1), Put16(m, 88 + 14, 1);
  Put32(m, 88 + 20, 112);
  m[112] = 0x02, m[112 + 2] = 0x14, m[112 + 4] = 1;
  Put32(m, 112 + 12, sectors);
  Put16(m, 112 + 16, 2048);
  Put32(m, 112 + 48, 1);
  Put32(m, 112 + 52, 192);
  Put32(m, 192, 208);
  std::memcpy(m.data() + 208, "*.mdf", 6);
  // A descriptor that leaves the length out gets the whole data file.
  Bytes noLength = m;
  Put32(noLength, 112 + 12, 0);
  Engine whole(dir.Write("dvd.mds", noLength));
  ASSERT_EQ(whole.error(), kImageOk) << whole.message();
  EXPECT_EQ(whole.Capacity(), sectors);
  Engine e(dir.Write("dvd.mds", m));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  EXPECT_EQ(e.Medium(), kMediumDvdRom);
  EXPECT_EQ(e.Capacity(), sectors);
  EXPECT_EQ(e.Read10(0, sectors), mdf);
  // The volume libcdio finds in the data file is the one the engine serves.
  ASSERT_EQ(Tool(dir, "iso-info --no-header -i dvd.mdf"), 0);
  Bytes log = dir.Read("tool.log");
  EXPECT_NE(std::string(log.begin(), log.end()).find("RAVELDVD"), std::string::npos);
  Bytes pvd = e.Read10(16, 1);
  EXPECT_EQ(std::string(pvd.begin() + 40, pvd.begin() + 48), "RAVELDVD");
}

// --- Nero ---------------------------------------------------------------------------------

struct NrgOptions {
  bool v2 = true;   // NER5 footer and 64-bit chunks
  bool dao = true;  // cue sheet and DAO chunks, else ETN (track-at-once)
  int sessions = 2;
  bool audioSub = true;  // audio stored as 2,448-byte sectors with interleaved P-W
  bool rawData = false;  // data stored as 2,352-byte sectors, else user data alone
};

struct NrgDisc {
  std::vector<FxTrack> tracks;
  int32_t leadOut;
};

NrgDisc NrgLayout(const NrgOptions& o) {
  if (o.dao) return {Tracks(o.sessions), kLeadOut[o.sessions - 1]};
  // Track-at-once keeps no gap, and every track after the first follows 150 sectors of it.
  return {{{1, 1, false, 0, 0, 40}, {2, 1, true, 40, 190, 220}}, 220};
}

void PutBe(Bytes& b, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * (n - 1 - i))));
}

void Chunk(Bytes& out, const char* id, const Bytes& body) {
  out.insert(out.end(), id, id + 4);
  PutBe(out, body.size(), 4);
  Append(out, body);
}

Bytes Nrg(const NrgOptions& o) {
  Disc d = FixtureDisc(o.sessions);
  NrgDisc layout = NrgLayout(o);
  Bytes data, chain;
  size_t off = o.v2 ? 8 : 4;
  int sessions = o.dao ? o.sessions : 1;
  for (int sn = 1; sn <= sessions; ++sn) {
    Bytes cue, dao, etn;
    std::vector<FxTrack> in;
    for (const FxTrack& t : layout.tracks)
      if (t.session == sn) in.push_back(t);
    auto cuePoint = [&](uint8_t adrCtl, uint8_t track, uint8_t index, int32_t lba) {
      cue.insert(cue.end(), {adrCtl, track, index, 0});
      if (o.v2) {
        PutBe(cue, static_cast<uint32_t>(lba), 4);
      } else {
        Msf m = LbaToMsf(lba);
        cue.insert(cue.end(), {0, m.m, m.s, m.f});
      }
    };
    cuePoint(0x41, 0, 0, in.front().pregapStart - 150);
    PutBe(dao, 0, 4);
    dao.insert(dao.end(), 14, 0);  // catalogue number and a byte nobody knows
    dao.insert(dao.end(), {0, 0, in.front().number, in.back().number});
    uint64_t written = 0;  // sectors before the track, as track-at-once counts them
    for (const FxTrack& t : in) {
      uint8_t ctl = t.audio ? 0x01 : 0x41;
      bool sub = t.audio && o.audioSub;
      uint8_t mode = t.audio ? (sub ? 0x10 : 0x07) : o.rawData ? 0x05 : 0x00;
      uint32_t size = t.audio || o.rawData ? kRawSize + (sub ? 96 : 0) : kUserSize;
      // Disc-at-once keeps every pregap, the first track's 150 sectors before LBA 0 too;
      // track-at-once keeps only the bodies, each at its count of sectors written before
      // times its own sector size.
      int32_t from = !o.dao ? t.start : t.number == 1 ? -150 : t.pregapStart;
      if (!o.dao) data.resize(std::max<size_t>(data.size(), written * size));
      uint64_t pregapOff = data.size();
      uint64_t startOff = pregapOff + static_cast<uint64_t>(t.start - from) * size;
      for (int32_t lba = from; lba < t.end; ++lba) {
        Append(data, t.audio || o.rawData ? RawSector(t, lba) : UserData(lba));
        if (sub) Append(data, RawSub(d, lba));
      }
      cuePoint(ctl, ToBcd(t.number), 0, t.number == 1 ? -150 : t.pregapStart);
      cuePoint(ctl, ToBcd(t.number), 1, t.start);
      dao.insert(dao.end(), 12, 0);  // ISRC
      PutBe(dao, size, 2);
      dao.insert(dao.end(), {mode, 0, 0, 0});
      PutBe(dao, pregapOff, off), PutBe(dao, startOff, off), PutBe(dao, data.size(), off);
      PutBe(etn, startOff, off), PutBe(etn, data.size() - startOff, off);
      PutBe(etn, mode, 4), PutBe(etn, written, 4);
      PutBe(etn, 0, o.v2 ? 8 : 4);
      written += static_cast<uint64_t>(t.end - t.start);
    }
    cuePoint(in.back().audio ? 0x01 : 0x41, 0xAA, 1, o.dao ? kLeadOut[sn - 1] : layout.leadOut);
    if (o.dao) {
      Chunk(chain, o.v2 ? "CUEX" : "CUES", cue);
      Chunk(chain, o.v2 ? "DAOX" : "DAOI", dao);
    } else {
      Chunk(chain, o.v2 ? "ETN2" : "ETNF", etn);
    }
    Bytes sinf;
    PutBe(sinf, in.size(), 4);
    Chunk(chain, "SINF", sinf);
  }
  Bytes mtyp;
  PutBe(mtyp, 1, 4);
  Chunk(chain, "MTYP", mtyp);
  Chunk(chain, "END!", {});
  Bytes out = data;
  Append(out, chain);
  out.insert(out.end(), {'N', 'E', 'R', o.v2 ? uint8_t('5') : uint8_t('O')});
  PutBe(out, data.size(), o.v2 ? 8 : 4);
  return out;
}

// libcdio reads Nero images itself: user data of mode 1 sectors and raw audio sectors.
Bytes CdRead(const TempDir& dir, const char* mode, int32_t lba, int32_t count) {
  std::string cmd = "cd-read --no-header --nrg-file=disc.nrg -m " + std::string(mode) + " -s " +
                    std::to_string(lba) + " -n " + std::to_string(count) + " -o cdread.out";
  EXPECT_EQ(Tool(dir, cmd), 0) << cmd;
  return dir.Read("cdread.out");
}

struct NrgCase {
  const char* name;
  NrgOptions options;
};

class NeroImage : public testing::TestWithParam<NrgCase> {};

TEST_P(NeroImage, ServesTheTracksItsChunksDescribe) {
  const NrgOptions& o = GetParam().options;
  TempDir dir;
  Engine e(dir.Write("disc.nrg", Nrg(o)));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  NrgDisc layout = NrgLayout(o);
  std::vector<std::pair<int, int32_t>> toc;
  for (const FxTrack& t : layout.tracks) toc.push_back({t.number, t.start});
  toc.push_back({0xAA, layout.leadOut});
  EXPECT_EQ(e.Toc(), toc);
  EXPECT_EQ(e.Capacity(), static_cast<uint64_t>(layout.leadOut));
  // libcdio's own Nero reader follows the track-at-once layout, but reads 2,048-byte data
  // sectors 16 bytes late (it takes them for raw ones) and maps disc-at-once images as if
  // every sector were 2,336 bytes; so it vouches for the audio of track-at-once images, and
  // the rest is checked against the sectors written and, for the first data track of
  // disc-at-once images, nrg2iso (below).
  bool libcdio = !o.dao && HaveTool("cd-read");
  for (const FxTrack& t : layout.tracks) {
    int32_t n = t.end - t.start;
    std::string what = "track " + std::to_string(t.number);
    if (t.audio) {
      Bytes served = e.ReadCd(t.start, static_cast<uint32_t>(n));
      EXPECT_EQ(served, WantRaw(t, t.start, n)) << what;
      if (libcdio) {
        EXPECT_EQ(served, CdRead(dir, "audio", t.start, n)) << what;
      }
    } else {
      Bytes served = e.Read10(t.start, static_cast<uint32_t>(n));
      EXPECT_EQ(served, WantUser(t.start, n)) << what;
      EXPECT_EQ(e.ReadCd(t.start, static_cast<uint32_t>(n)), WantRaw(t, t.start, n)) << what;
    }
    if (t.pregapStart < t.start && t.audio) {
      Bytes gap = e.ReadCd(t.pregapStart, static_cast<uint32_t>(t.start - t.pregapStart));
      EXPECT_EQ(gap,
                o.dao ? WantRaw(t, t.pregapStart, t.start - t.pregapStart) : Bytes(gap.size(), 0))
          << what << " pregap";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, NeroImage,
    testing::Values(NrgCase{"Ner5DaoOneSession", {true, true, 1, false}},
                    NrgCase{"NeroDaoOneSession", {false, true, 1, false}},
                    NrgCase{"Ner5DaoTwoSessionsWithSubchannel", {true, true, 2, true}},
                    NrgCase{"NeroDaoRawTwoSessions", {false, true, 2, false, true}},
                    NrgCase{"Ner5TrackAtOnce", {true, false, 1, false}},
                    NrgCase{"NeroTrackAtOnce", {false, false, 1, false}}),
    [](const testing::TestParamInfo<NrgCase>& i) { return std::string(i.param.name); });

TEST(Nero, FirstDataTrackMatchesNrg2iso) {
  REQUIRE_TOOL("nrg2iso");
  for (bool v2 : {false, true}) {
    TempDir dir;
    Engine e(dir.Write("disc.nrg", Nrg({v2, true, 1, false})));
    ASSERT_EQ(e.error(), kImageOk) << e.message();
    // nrg2iso skips the 150 pregap sectors a disc-at-once image keeps before LBA 0.
    Tool(dir, "nrg2iso disc.nrg out.iso");
    EXPECT_EQ(e.Read10(0, 40), Slice(dir.Read("out.iso"), 0, 40 * kUserSize)) << v2;
  }
}

TEST(Nero, Mode2Form1UserDataIsRebuiltAsXaSectors) {
  // One disc-at-once track of mode 2 form 1 sectors kept as their 2,048 user bytes.
  Bytes data, cue, dao, chain;
  for (int32_t lba = 0; lba < 20; ++lba) Append(data, UserData(lba));
  for (auto [track, lba] : {std::pair<uint8_t, int32_t>{0x01, 0}, {0xAA, 20}}) {
    cue.insert(cue.end(), {0x41, track, 0x01, 0});
    PutBe(cue, static_cast<uint32_t>(lba), 4);
  }
  PutBe(dao, 0, 4);
  dao.insert(dao.end(), 14, 0);
  dao.insert(dao.end(), {0, 0, 1, 1});
  dao.insert(dao.end(), 12, 0);
  PutBe(dao, kUserSize, 2);
  dao.insert(dao.end(), {0x02, 0, 0, 0});
  PutBe(dao, 0, 8), PutBe(dao, 0, 8), PutBe(dao, data.size(), 8);
  Chunk(chain, "CUEX", cue);
  Chunk(chain, "DAOX", dao);
  Chunk(chain, "END!", {});
  Bytes image = data;
  Append(image, chain);
  image.insert(image.end(), {'N', 'E', 'R', '5'});
  PutBe(image, data.size(), 8);
  TempDir dir;
  Engine e(dir.Write("xa.nrg", image));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  EXPECT_EQ(e.Read10(0, 20), WantUser(0, 20));
  Bytes raw = e.ReadCd(7, 1);
  ASSERT_EQ(raw.size(), kRawSize);
  EXPECT_EQ(raw[15], 2);         // mode 2
  EXPECT_EQ(raw[16 + 2], 0x08);  // form 1 data sub-header
  EXPECT_EQ(Slice(raw, 24, kUserSize), UserData(7));
  EXPECT_EQ(Edc(std::span<const uint8_t>(raw.data() + 16, 2060)), 0u);
  EXPECT_TRUE(EccSyndromesZero(raw.data()));
}

// --- Sub-channel --------------------------------------------------------------------------

TEST(StoredSubchannel, ServedInsteadOfTheGeneratedOne) {
  // The same disc in the three formats that keep sub-channel (CloneCD's linear .sub, the
  // interleaved P-W after each MDF sector, Nero's 2,448-byte audio sectors), each once with
  // and once without it. Where the recorded Q carries a position it must be the one the
  // engine generates from the image's TOC without it: layout and sub-channel agree.
  TempDir a1, a2, b1, b2, c1, c2;
  Disc d = FixtureDisc(2);
  WriteCcd(a2, 2, false);
  struct Pair {
    const char* name;
    std::string stored, plain;
    std::vector<int32_t> lbas;  // sectors whose sub-channel the image keeps
  } pairs[] = {
      {"ccd", WriteCcd(a1, 2), a2.Path("disc.ccd"), {0, 39, 45, 50, kIsrcLba, 79, 11330, 11499}},
      {"mds",
       WriteMds(b1, {kRawSize, true, 2}),
       WriteMds(b2, {kRawSize, false, 2}),
       {0, 39, 50, kIsrcLba, 79, 11480, 11499}},
      {"nrg",
       c1.Write("disc.nrg", Nrg({true, true, 2, true})),
       c2.Write("disc.nrg", Nrg({true, true, 2, false})),
       {45, 50, kIsrcLba, 79}},
  };
  for (const Pair& p : pairs) {
    Engine stored(p.stored), plain(p.plain);
    ASSERT_EQ(stored.error(), kImageOk) << p.name << ": " << stored.message();
    ASSERT_EQ(plain.error(), kImageOk) << p.name << ": " << plain.message();
    for (int32_t lba : p.lbas) {
      auto raw = RawSub(d, lba);
      auto linear = LinearSub(d, lba);
      std::string at = std::string(p.name) + " " + std::to_string(lba);
      EXPECT_EQ(Slice(stored.ReadCd(lba, 1, 1), kRawSize, 96), Bytes(raw.begin(), raw.end())) << at;
      Bytes q = Slice(stored.ReadCd(lba, 1, 2), kRawSize, 16);
      Bytes wantQ(linear.begin() + 12, linear.begin() + 24);
      EXPECT_EQ(q, wantQ + Bytes(4, 0)) << at;  // the recorded Q, padded to 16 bytes
      Bytes generated = Slice(plain.ReadCd(lba, 1, 2), kRawSize, 16);
      if (lba == kIsrcLba) {
        EXPECT_EQ(q[0] & 0x0F, 3) << at;  // the ISRC frame the disc recorded
        EXPECT_EQ(generated[0] & 0x0F, 1) << at;
      } else {
        EXPECT_EQ(q, generated) << at;
      }
      Bytes rw = Slice(stored.ReadCd(lba, 1, 4), kRawSize, 96);
      ASSERT_EQ(rw.size(), 96u);
      for (size_t i = 0; i < 96; ++i) ASSERT_EQ(rw[i], raw[i] & 0x3F) << at << " byte " << i;
    }
  }
  // Sectors a Nero image keeps without sub-channel get the generated Q.
  Engine nrg(pairs[2].stored);
  QBlock generated = d.QAt(10);
  EXPECT_EQ(Slice(nrg.ReadCd(10, 1, 2), kRawSize, 12), Bytes(generated.begin(), generated.end()));
}

TEST(StoredSubchannel, InterleavingRoundTrips) {
  Bytes linear = Pattern(96, 9);
  uint8_t raw[96], back[96];
  InterleaveSubchannel(linear.data(), raw);
  DeinterleaveSubchannel(raw, back);
  EXPECT_EQ(Bytes(back, back + 96), linear);
  // Bit 7 of raw byte i is bit i of P: the first P byte's top bit lands in raw byte 0.
  uint8_t p[96] = {0x80}, r[96];
  InterleaveSubchannel(p, r);
  EXPECT_EQ(r[0], 0x80);
  EXPECT_EQ(r[1], 0x00);
  uint8_t w[96] = {};
  w[84 + 11] = 0x01;  // the last bit of W
  InterleaveSubchannel(w, r);
  EXPECT_EQ(r[95], 0x01);
}

// --- Damaged and hostile images -----------------------------------------------------------

struct Refusal {
  const char* name;
  std::function<std::string(const TempDir&)> make;  // writes the image, returns its path
  const char* error;
};

void ExpectRefused(const std::vector<Refusal>& cases) {
  for (const Refusal& c : cases) {
    TempDir dir;
    std::string path = c.make(dir);
    Engine e(path);
    EXPECT_NE(e.error(), kImageOk) << c.name;
    EXPECT_EQ(e.image(), nullptr) << c.name;
    EXPECT_NE(e.message().find(c.error), std::string::npos) << c.name << " -> " << e.message();
  }
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(Refused, CloneCdWithTheReason) {
  auto withText = [](std::function<void(std::string&)> edit) {
    return [edit](const TempDir& dir) {
      WriteCcd(dir, 2);
      return dir.Write("disc.ccd", CcdText(2, edit));
    };
  };
  auto withImg = [](int64_t delta, bool sub) {
    return [delta, sub](const TempDir& dir) {
      std::string path = WriteCcd(dir, 2);
      std::string f = dir.Path(sub ? "disc.sub" : "disc.img");
      fs::resize_file(f, static_cast<uint64_t>(static_cast<int64_t>(fs::file_size(f)) + delta));
      return path;
    };
  };
  ExpectRefused({
      {"no CloneCD section",
       withText([](std::string& s) { s = Replace(s, "[CloneCD]", "[Clone]"); }),
       "no [CloneCD] section"},
      {"absurd entry count",
       withText([](std::string& s) { s = Replace(s, "TocEntries=", "TocEntries=99999"); }),
       "tocentries=99999"},
      {"entry missing", withText([](std::string& s) { s = Replace(s, "[Entry 4]", "[Entry 44]"); }),
       "no [entry 4]"},
      {"no lead-out", withText([](std::string& s) { s = Replace(s, "Point=0xa2", "Point=0xa3"); }),
       "session 1 has no lead-out"},
      {"track 2 before track 1",
       withText([](std::string& s) { s = Replace(s, "PLBA=50", "PLBA=0"); }),
       "does not start after"},
      {"mode against control", withText([](std::string& s) {
         s = Replace(s, "[TRACK 2]\r\nMODE=0", "[TRACK 2]\r\nMODE=1");
       }),
       "MODE disagrees"},
      {"lead-out past a CD",
       withText([](std::string& s) { s = Replace(s, "PLBA=11500", "PLBA=999999"); }),
       "out of range"},
      {"hex garbage", withText([](std::string& s) { s = Replace(s, "Point=0xa0", "Point=0xzz"); }),
       "out of range"},
      {"not key=value", withText([](std::string& s) { s += "garbage\r\n"; }), "expected key=value"},
      {"img one sector short", withImg(-static_cast<int64_t>(kRawSize), false),
       "runs past the end"},
      {"img with a stray byte", withImg(1, false), "not a multiple of 2352"},
      {"sub one sector short", withImg(-96, true), "sub-channel data runs past the end"},
      {"no img",
       [](const TempDir& dir) {
         WriteCcd(dir, 1);
         fs::remove(dir.Path("disc.img"));
         return dir.Path("disc.ccd");
       },
       "cannot open the .img"},
  });
}

TEST(Refused, MediaDescriptorWithTheReason) {
  auto patch = [](std::function<void(Bytes&, const MdsLayout&)> edit) {
    return [edit](const TempDir& dir) {
      MdsLayout at;
      std::string path = WriteMds(dir, {}, &at);
      Bytes m = dir.Read("disc.mds");
      edit(m, at);
      return dir.Write("disc.mds", m);
    };
  };
  ExpectRefused({
      {"signature", patch([](Bytes& m, const MdsLayout&) { m[0] = 'X'; }), "signature missing"},
      {"version 2", patch([](Bytes& m, const MdsLayout&) { m[16] = 2; }),
       "version 2 is not supported"},
      {"truncated header", patch([](Bytes& m, const MdsLayout&) { m.resize(40); }),
       "header lies past the end"},
      {"medium type", patch([](Bytes& m, const MdsLayout&) { m[18] = 0x70; }), "medium type 112"},
      {"session count", patch([](Bytes& m, const MdsLayout&) { Put16(m, 20, 0); }),
       "session count 0"},
      {"sessions past the end", patch([](Bytes& m, const MdsLayout&) { Put32(m, 80, 0xFFFFFFF0); }),
       "session block lies past the end"},
      {"absurd block count",
       patch([](Bytes& m, const MdsLayout& at) { m[at.sessions + 10] = 255; }),
       "track block lies past the end"},
      {"extra block past the end",
       patch([](Bytes& m, const MdsLayout& at) { Put32(m, at.firstTrackBlock + 12, 0x7FFFFFFF); }),
       "extra block lies past the end"},
      {"sector size",
       patch([](Bytes& m, const MdsLayout& at) { Put16(m, at.firstTrackBlock + 16, 1234); }),
       "unsupported sector size 1234"},
      {"unknown mode", patch([](Bytes& m, const MdsLayout& at) { m[at.firstTrackBlock] = 0xA3; }),
       "unknown mode 0xA3"},
      {"formless mode 2 kept as user data", patch([](Bytes& m, const MdsLayout& at) {
         m[at.firstTrackBlock] = 0xAB;
         Put16(m, at.firstTrackBlock + 16, 2048 + 96);
       }),
       "stored sector size 2048 does not fit the mode of track 1"},
      {"sub-channel mode",
       patch([](Bytes& m, const MdsLayout& at) { m[at.firstTrackBlock + 1] = 3; }),
       "unknown sub-channel mode"},
      {"unterminated name", patch([](Bytes& m, const MdsLayout&) { m.resize(m.size() - 1); }),
       "runs past the end of the descriptor"},
      {"name with a path", patch([](Bytes& m, const MdsLayout& at) { m[at.name + 1] = '/'; }),
       "unsupported character"},
      {"name leaving the directory",
       patch([](Bytes& m, const MdsLayout& at) { std::memcpy(m.data() + at.name, "..\\x", 5); }),
       "unsupported character"},
      {"track far out",
       patch([](Bytes& m, const MdsLayout& at) { Put32(m, at.firstTrackBlock + 36, 0xFFFFFFF0); }),
       "lies outside the disc"},
      {"offset past the data file",
       patch([](Bytes& m, const MdsLayout& at) { Put64(m, at.firstTrackBlock + 40, 1ull << 62); }),
       "runs past the end of"},
      {"split data file",
       patch([](Bytes& m, const MdsLayout& at) { Put32(m, at.firstTrackBlock + 48, 7); }),
       "split over 7 files"},
      {"data file short",
       [](const TempDir& dir) {
         std::string path = WriteMds(dir, {});
         fs::resize_file(dir.Path("disc.mdf"), fs::file_size(dir.Path("disc.mdf")) - 1);
         return path;
       },
       "runs past the end of"},
      {"no data file",
       [](const TempDir& dir) {
         std::string path = WriteMds(dir, {});
         fs::remove(dir.Path("disc.mdf"));
         return path;
       },
       "cannot open data file 'disc.mdf'"},
  });
}

TEST(Refused, NeroWithTheReason) {
  // The chunk chain of a one-session NER5 image starts right after the data; offsets into
  // it follow from the chunk sizes: CUEX (8 + 8 * 6), DAOX (8 + 22 + 2 * 42), SINF, MTYP,
  // END!.
  auto patch = [](std::function<void(Bytes&, size_t chain)> edit,
                  NrgOptions o = {true, true, 1, false}) {
    return [edit, o](const TempDir& dir) {
      Bytes b = Nrg(o);
      size_t chain = 0;
      for (int i = 0; i < 8; ++i) chain = chain << 8 | b[b.size() - 8 + static_cast<size_t>(i)];
      if (!o.v2) {
        chain = 0;
        for (int i = 0; i < 4; ++i) chain = chain << 8 | b[b.size() - 4 + static_cast<size_t>(i)];
      }
      edit(b, chain);
      return dir.Write("disc.nrg", b);
    };
  };
  constexpr size_t kDao = 8 + 8 * 6;           // DAOX chunk header
  constexpr size_t kDaoEntry = kDao + 8 + 22;  // first track entry
  ExpectRefused({
      {"no footer", patch([](Bytes& b, size_t) { b[b.size() - 12] = 'X'; }), "no footer"},
      {"tiny file",
       [](const TempDir& dir) {
         return dir.Write("disc.nrg", Bytes{'N', 'E'});
       },
       "no footer"},
      {"chain past the end",
       patch([](Bytes& b, size_t) { std::memset(b.data() + b.size() - 8, 0x7F, 8); }),
       "lies past the end"},
      {"chunk longer than the chain",
       patch([](Bytes& b, size_t c) { std::memset(b.data() + c + 4, 0xFF, 4); }),
       "runs past the footer"},
      {"no END!", patch([](Bytes& b, size_t) { std::memcpy(b.data() + b.size() - 20, "ENDX", 4); }),
       "without END!"},
      {"track range", patch([](Bytes& b, size_t c) { b[c + kDao + 8 + 21] = 5; }),
       "disagrees with its entries"},
      {"sector size against mode", patch([](Bytes& b, size_t c) { b[c + kDaoEntry + 13] = 0x30; }),
       "does not fit its mode"},
      {"unknown mode", patch([](Bytes& b, size_t c) { b[c + kDaoEntry + 14] = 0x42; }),
       "unknown mode code 66"},
      {"track past the data area",
       patch([](Bytes& b, size_t c) { b[c + kDaoEntry + 18 + 16] = 0x7F; }),
       "outside the image's data area"},
      {"offsets not in sectors", patch([](Bytes& b, size_t c) { b[c + kDaoEntry + 18 + 23] += 1; }),
       "not in whole sectors"},
      {"cue not BCD", patch([](Bytes& b, size_t c) { b[c + 8 + 8 + 1] = 0x1A; }), "not BCD"},
      {"index 1 missing", patch([](Bytes& b, size_t c) { b[c + 8 + 16 + 2] = 0x05; }),
       "track 1 has no index 1"},
      {"pregap disagrees", patch([](Bytes& b, size_t c) { b[c + 8 + 8 + 7] = 0x10; }),
       "stored pregap disagrees"},
      {"SINF count", patch([](Bytes& b, size_t c) { b[c + kDao + 8 + 22 + 2 * 42 + 8 + 3] = 7; }),
       "SINF says 7"},
      {"foreign chunk", patch([](Bytes& b, size_t c) { std::memcpy(b.data() + c, "CUES", 4); }),
       "does not belong in a NER5 image"},
      {"ETN length",
       patch([](Bytes& b, size_t c) { b[c + 8 + 15] = 0x01; }, {true, false, 1, false}),
       "not in whole sectors"},
  });
}

// --- CUE/BIN and ISO against independent readers --------------------------------------------

// bchunk cuts a BIN along its cue sheet: the mode 1 track's user data into an .iso, the audio
// track's samples (from INDEX 01, as stored) into a .cdr. Both must equal what the engine
// serves for the same sectors.
TEST(CueBin, MatchesBchunk) {
  REQUIRE_TOOL("bchunk");
  TempDir dir;
  Bytes bin;
  const std::vector<FxTrack> tracks = Tracks(1);
  for (const FxTrack& t : tracks)
    for (int32_t lba = t.pregapStart; lba < t.end; ++lba) Append(bin, RawSector(t, lba));
  dir.Write("disc.bin", bin);
  const std::string cue = dir.Write("disc.cue",
                                    "FILE \"disc.bin\" BINARY\n"
                                    "  TRACK 01 MODE1/2352\n"
                                    "    INDEX 01 00:00:00\n"
                                    "  TRACK 02 AUDIO\n"
                                    "    INDEX 00 00:00:40\n"
                                    "    INDEX 01 00:00:50\n");
  ASSERT_EQ(Tool(dir, "bchunk disc.bin disc.cue part"), 0);
  Engine e(cue);
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  const Bytes iso = dir.Read("part01.iso");
  ASSERT_EQ(iso.size(), 40u * kUserSize);
  EXPECT_TRUE(e.Read10(0, 40) == iso);
  const Bytes cdr = dir.Read("part02.cdr");
  ASSERT_EQ(cdr.size(), 30u * kRawSize);
  EXPECT_TRUE(e.ReadCd(50, 30) == cdr);
  // The raw data track is the BIN itself, sync to ECC.
  EXPECT_TRUE(e.ReadCd(0, 40) == Slice(bin, 0, 40 * kRawSize));
}

// The data an ISO serves is a file system an independent reader walks to the same files.
TEST(Iso, ServedDataIsTheFileSystemIsoReadSees) {
  REQUIRE_TOOL("xorriso");
  REQUIRE_TOOL("iso-read");
  REQUIRE_TOOL("iso-info");
  TempDir dir;
  fs::create_directories(dir.Path("tree/sub"));
  const Bytes big = Pattern(300 * 1024 + 17, 11), small = Pattern(5000, 12);
  dir.Write("tree/sub/big.bin", big);
  dir.Write("tree/small.bin", small);
  ASSERT_EQ(Tool(dir, "xorriso -as mkisofs -quiet -o made.iso tree"), 0);
  Engine e(dir.Path("made.iso"));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  const uint64_t sectors = e.Capacity();
  ASSERT_EQ(sectors * kUserSize, fs::file_size(dir.Path("made.iso")));
  Bytes served;
  for (uint64_t lba = 0; lba < sectors; lba += 64)
    Append(served, e.Read10(static_cast<int32_t>(lba),
                            static_cast<uint32_t>(std::min<uint64_t>(64, sectors - lba))));
  dir.Write("served.iso", served);
  ASSERT_EQ(Tool(dir, "iso-read -i served.iso -e /sub/big.bin -o big.out"), 0);
  ASSERT_EQ(Tool(dir, "iso-read -i served.iso -e /small.bin -o small.out"), 0);
  EXPECT_TRUE(dir.Read("big.out") == big);
  EXPECT_TRUE(dir.Read("small.out") == small);
  // The listing with every file's size and first sector.
  ASSERT_EQ(Tool(dir, "sh -c 'iso-info --no-header -l -i made.iso | grep -v made.iso > made.txt'"), 0);
  ASSERT_EQ(Tool(dir, "sh -c 'iso-info --no-header -l -i served.iso | grep -v served.iso > served.txt'"), 0);
  const Bytes listing = dir.Read("made.txt");
  EXPECT_NE(std::string(listing.begin(), listing.end()).find("big.bin"), std::string::npos);
  EXPECT_TRUE(listing == dir.Read("served.txt"));
}

}  // namespace
}  // namespace ravelkit
