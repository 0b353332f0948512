// Golden answers of the engine to the MMC commands the command layer passes on, on images the
// tests write: a mixed-mode CD (CUE/BIN), a two-session CD (CloneCD), and sparse DVD and BD
// ISOs. Expected bytes are written out from MMC's layouts, not from the engine's records.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "ravelkit/disc.h"
#include "ravelkit/ravelkit.h"
#include "ravelkit/source.h"
#include "ravelkit/test_support.h"

namespace ravelkit {
namespace {

using test_support::Bytes;
using test_support::Pattern;
using test_support::TempDir;

// "00 22 01 03": bytes written as MMC's tables list them.
Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string tok;
  while (in >> tok) out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Zeros(size_t n) { return Bytes(n, 0); }

using test_support::Outcome;

class Engine : public test_support::OpenImage {
 public:
  using OpenImage::OpenImage;

  Outcome Run(const Bytes& cdb, uint32_t byteCount = 1u << 20, uint32_t flags = kRequestCdb) {
    return test_support::Execute(image(), cdb, byteCount, flags);
  }

  Bytes Data(const Bytes& cdb) {
    Outcome o = Run(cdb);
    EXPECT_FALSE(o.check) << std::hex << int(o.key) << "/" << int(o.asc) << "/" << int(o.ascq);
    return o.data;
  }
};

// --- CDBs ---------------------------------------------------------------------------------

void PutBe(Bytes& c, size_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) c[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}

Bytes ReadToc(uint8_t format, bool msf, uint8_t from, uint16_t alloc = 0xFFFF) {
  Bytes c(10, 0);
  c[0] = 0x43, c[1] = msf ? 0x02 : 0, c[2] = format, c[6] = from;
  PutBe(c, 7, alloc, 2);
  return c;
}
Bytes ReadDiscInfo(uint16_t alloc = 0xFFFF) {
  Bytes c(10, 0);
  c[0] = 0x51;
  PutBe(c, 7, alloc, 2);
  return c;
}
Bytes ReadTrackInfo(uint8_t type, uint32_t value, uint16_t alloc = 0xFFFF) {
  Bytes c(10, 0);
  c[0] = 0x52, c[1] = type;
  PutBe(c, 2, value, 4);
  PutBe(c, 7, alloc, 2);
  return c;
}
Bytes ReadCd(uint32_t lba, uint32_t count, uint8_t type, uint8_t fields, uint8_t sub = 0) {
  Bytes c(12, 0);
  c[0] = 0xBE, c[1] = static_cast<uint8_t>(type << 2);
  PutBe(c, 2, lba, 4);
  PutBe(c, 6, count, 3);
  c[9] = fields, c[10] = sub;
  return c;
}
Bytes ReadCdMsf(Msf from, Msf to, uint8_t fields) {
  return {0xB9, 0, 0, from.m, from.s, from.f, to.m, to.s, to.f, fields, 0, 0};
}
Bytes Read10(uint32_t lba, uint16_t count) {
  Bytes c(10, 0);
  c[0] = 0x28;
  PutBe(c, 2, lba, 4);
  PutBe(c, 7, count, 2);
  return c;
}
Bytes ReadHeader(uint32_t lba, bool msf, uint16_t alloc = 8) {
  Bytes c(10, 0);
  c[0] = 0x44, c[1] = msf ? 0x02 : 0;
  PutBe(c, 2, lba, 4);
  PutBe(c, 7, alloc, 2);
  return c;
}
Bytes ReadStructure(uint8_t mediaType, uint8_t format, uint8_t layer = 0, uint32_t lba = 0,
                    uint16_t alloc = 0xFFFF) {
  Bytes c(12, 0);
  c[0] = 0xAD, c[1] = mediaType, c[6] = layer, c[7] = format;
  PutBe(c, 2, lba, 4);
  PutBe(c, 8, alloc, 2);
  return c;
}
Bytes ReportKey(uint8_t format, uint8_t agid = 0, uint32_t lba = 0, uint16_t alloc = 0xFFFF) {
  Bytes c(12, 0);
  c[0] = 0xA4, c[10] = static_cast<uint8_t>(agid << 6 | format);
  PutBe(c, 2, lba, 4);
  PutBe(c, 8, alloc, 2);
  return c;
}
Bytes SendKey(uint8_t format, uint8_t agid = 0) {
  Bytes c(12, 0);
  c[0] = 0xA3, c[10] = static_cast<uint8_t>(agid << 6 | format);
  return c;
}

// --- Fixtures -----------------------------------------------------------------------------

// Mixed-mode CD: track 1 cooked mode 1 at 0-299; track 2 audio, pregap 300-449, body
// 450-599; track 3 audio 600-749; lead-out 750. Disc and track 2 carry CD-TEXT.
constexpr int32_t kDataSectors = 300;
constexpr int32_t kAudioSectors = 450;

struct MixedCd {
  TempDir dir;
  Bytes data = Pattern(kDataSectors * kUserSize, 1);
  Bytes audio = Pattern(kAudioSectors * kRawSize, 2);
  std::string cue;
  explicit MixedCd(bool cdText = true) {
    dir.Write("data.bin", data);
    dir.Write("audio.bin", audio);
    std::string text = cdText ? "TITLE \"Disc\"\nPERFORMER \"Band\"\n" : "";
    text +=
        "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
        "FILE \"audio.bin\" BINARY\n  TRACK 02 AUDIO\n";
    if (cdText) text += "    TITLE \"Song\"\n";
    text +=
        "    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
        "  TRACK 03 AUDIO\n    INDEX 01 00:04:00\n";
    cue = dir.Write("mixed.cue", text);
  }
  Bytes AudioSector(int32_t lba) const {
    auto at = audio.begin() + static_cast<std::ptrdiff_t>((lba - kDataSectors) * kRawSize);
    return Bytes(at, at + kRawSize);
  }
};

// Two-session CD (CloneCD): session 1 track 1 mode 1 at 0-39, lead-out 40; session 2 after
// the lead-out (6,750) and the next lead-in (4,500): track 2 mode 1, pregap from 11290,
// body 11440-11459, lead-out 11460.
struct TwoSessionCd {
  TempDir dir;
  std::string ccd;
  explicit TwoSessionCd(const std::string& extra = "") {
    Bytes img;
    auto sector = [&](int32_t lba) {
      Bytes user = Pattern(kUserSize, static_cast<uint32_t>(lba + 10));
      Bytes raw(kRawSize);
      SynthesizeMode1(lba, std::span<const uint8_t, kUserSize>(user.data(), kUserSize), raw.data());
      img.insert(img.end(), raw.begin(), raw.end());
    };
    for (int32_t lba = 0; lba < 40; ++lba) sector(lba);
    for (int32_t lba = 11290; lba < 11460; ++lba) sector(lba);
    dir.Write("disc.img", img);
    std::ostringstream s;
    int n = 0;
    auto entry = [&](int session, int point, int adr, int32_t plba, int pmin, int psec, int pframe) {
      s << "[Entry " << n++ << "]\r\nSession=" << session << "\r\nPoint=0x" << std::hex << point
        << std::dec << "\r\nADR=0x0" << adr << "\r\nControl=0x04\r\nTrackNo=0\r\nAMin=0\r\n"
        << "ASec=0\r\nAFrame=0\r\nALBA=-150\r\nZero=0\r\nPMin=" << pmin << "\r\nPSec=" << psec
        << "\r\nPFrame=" << pframe << "\r\nPLBA=" << plba << "\r\n";
    };
    std::ostringstream head;
    entry(1, 0xA0, 1, 0, 1, 0, 0);
    entry(1, 0xA1, 1, 0, 1, 0, 0);
    entry(1, 0xA2, 1, 40, 0, 2, 40);
    entry(1, 0xB0, 5, 0, 2, 30, 0);
    entry(1, 0x01, 1, 0, 0, 2, 0);
    entry(2, 0xA0, 1, 0, 2, 0, 0);
    entry(2, 0xA1, 1, 0, 2, 0, 0);
    entry(2, 0xA2, 1, 11460, 2, 34, 60);
    entry(2, 0x02, 1, 11440, 2, 34, 40);
    head << "[CloneCD]\r\nVersion=3\r\n[Disc]\r\nTocEntries=" << n
         << "\r\nSessions=2\r\nDataTracksScrambled=0\r\nCDTextLength=0\r\n"
         << "[Session 1]\r\nPreGapMode=1\r\nPreGapSubC=0\r\n"
         << "[Session 2]\r\nPreGapMode=1\r\nPreGapSubC=0\r\n";
    std::string tracks = "[TRACK 1]\r\nMODE=1\r\nINDEX 1=0\r\n[TRACK 2]\r\nMODE=1\r\nINDEX 1=150\r\n";
    ccd = dir.Write("disc.ccd", head.str() + s.str() + tracks + extra);
  }
};

constexpr uint32_t kDvdSingle = 2000000;   // 0x1E8480 sectors
constexpr uint32_t kDvdDual = 3000000;     // 1,500,000 per layer
constexpr uint32_t kBdSingle = 12000000;

// --- TOC ----------------------------------------------------------------------------------

TEST(ReadToc, Format0ListsTracksFromTheStartingTrackInLbaAndMsf) {
  MixedCd cd;
  Engine e(cd.cue);
  ASSERT_EQ(e.error(), kImageOk) << ImageLastError();
  Bytes t1 = Hex("00 14 01 00 00 00 00 00"), t2 = Hex("00 10 02 00 00 00 01 C2"),
        t3 = Hex("00 10 03 00 00 00 02 58"), lo = Hex("00 10 AA 00 00 00 02 EE");
  EXPECT_EQ(e.Data(ReadToc(0, false, 0)), Concat({Hex("00 22 01 03"), t1, t2, t3, lo}));
  EXPECT_EQ(e.Data(ReadToc(0, false, 2)), Concat({Hex("00 1A 01 03"), t2, t3, lo}));
  EXPECT_EQ(e.Data(ReadToc(0, false, 0xAA)), Concat({Hex("00 0A 01 03"), lo}));
  // MSF: LBA + 150 frames, 0:M:S:F in binary.
  EXPECT_EQ(e.Data(ReadToc(0, true, 1)),
            Concat({Hex("00 22 01 03"), Hex("00 14 01 00 00 00 02 00"),
                    Hex("00 10 02 00 00 00 08 00"), Hex("00 10 03 00 00 00 0A 00"),
                    Hex("00 10 AA 00 00 00 0C 00")}));
  Outcome past = e.Run(ReadToc(0, false, 4));
  EXPECT_TRUE(past.check);
  EXPECT_EQ(past.asc, 0x24);
}

TEST(ReadToc, Format1NamesTheLastSessionsFirstTrack) {
  MixedCd cd;
  Engine mixed(cd.cue);
  EXPECT_EQ(mixed.Data(ReadToc(1, false, 0)), Hex("00 0A 01 01 00 14 01 00 00 00 00 00"));
  TwoSessionCd two;
  Engine e(two.ccd);
  ASSERT_EQ(e.error(), kImageOk) << ImageLastError();
  EXPECT_EQ(e.Data(ReadToc(1, false, 0)), Hex("00 0A 01 02 00 14 02 00 00 00 2C B0"));
  EXPECT_EQ(e.Data(ReadToc(1, true, 0)), Hex("00 0A 01 02 00 14 02 00 00 02 22 28"));
}

TEST(ReadToc, Format2GivesEachSessionsLeadInWithB0BeforeTheNext) {
  TwoSessionCd two;
  Engine e(two.ccd);
  ASSERT_EQ(e.error(), kImageOk) << ImageLastError();
  // Session, ADR/control, TNO, POINT, ATIME (0), zero, PMIN PSEC PFRAME in binary.
  Bytes session1 = Concat({Hex("01 14 00 A0 00 00 00 00 01 00 00"),
                           Hex("01 14 00 A1 00 00 00 00 01 00 00"),
                           Hex("01 14 00 A2 00 00 00 00 00 02 28"),
                           Hex("01 14 00 01 00 00 00 00 00 02 00"),
                           // next program area at 11290 = 02:32:40; outermost lead-out 79:59:74
                           Hex("01 54 00 B0 02 20 28 01 4F 3B 4A")});
  Bytes session2 = Concat({Hex("02 14 00 A0 00 00 00 00 02 00 00"),
                           Hex("02 14 00 A1 00 00 00 00 02 00 00"),
                           Hex("02 14 00 A2 00 00 00 00 02 22 3C"),
                           Hex("02 14 00 02 00 00 00 00 02 22 28")});
  EXPECT_EQ(e.Data(ReadToc(2, true, 1)), Concat({Hex("00 65 01 02"), session1, session2}));
  EXPECT_EQ(e.Data(ReadToc(2, true, 2)), Concat({Hex("00 2E 01 02"), session2}));
  EXPECT_TRUE(e.Run(ReadToc(2, true, 3)).check);
}

TEST(ReadToc, CdTextFromTheCueSheetOrAnEmptyAnswer) {
  MixedCd plain(false);
  Engine none(plain.cue);
  EXPECT_EQ(none.Data(ReadToc(5, false, 0)), Hex("00 02 00 00"));

  MixedCd cd;
  Engine e(cd.cue);
  Bytes a = e.Data(ReadToc(5, false, 0));
  ASSERT_GE(a.size(), 4u);
  ASSERT_EQ((a.size() - 4) % 18, 0u);
  EXPECT_EQ(a[0] << 8 | a[1], static_cast<int>(a.size() - 2));
  // Every pack's CRC holds; titles and performers carry the sheet's strings, NUL after each,
  // one per track from the disc's (track 0) to the last, empty where the sheet has none.
  std::string titles, performers;
  bool sizeInfo = false;
  for (size_t at = 4; at < a.size(); at += 18) {
    uint16_t crc = QCrc(std::span<const uint8_t>(a.data() + at, 16));
    EXPECT_EQ(a[at + 16] << 8 | a[at + 17], crc) << at;
    EXPECT_EQ(a[at + 2], (at - 4) / 18) << "sequence number";
    std::string text(reinterpret_cast<const char*>(a.data() + at + 4), 12);
    if (a[at] == 0x80) titles += text;
    if (a[at] == 0x81) performers += text;
    if (a[at] == 0x8F && a[at + 1] == 0) {  // size information: character code, tracks 1-3
      sizeInfo = true;
      EXPECT_EQ(Bytes(a.begin() + static_cast<long>(at) + 4, a.begin() + static_cast<long>(at) + 7),
                Hex("00 01 03"));
    }
  }
  EXPECT_EQ(titles, std::string("Disc\0\0Song\0\0", 12));
  EXPECT_EQ(performers, std::string("Band\0\0\0\0\0\0\0\0", 12));
  EXPECT_TRUE(sizeInfo);
}

TEST(ReadToc, CdTextSheetsThatDoNotFitABlockGiveNone) {
  TempDir dir;
  dir.Write("a.bin", Zeros(300 * kRawSize));
  // An unquoted title runs to the end of its line.
  Engine words(dir.Write("w.cue", "TITLE Two Words\nFILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"));
  ASSERT_EQ(words.error(), kImageOk) << ImageLastError();
  Bytes a = words.Data(ReadToc(5, false, 0));
  ASSERT_GE(a.size(), 4u + 18);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.data() + 8), 10), std::string("Two Words", 10));
  // 99 tracks of 160-character titles need far more than a block's 256 packs.
  std::string cue = "FILE a.bin BINARY\n";
  for (int t = 1; t <= 99; ++t) {
    char line[64];
    std::snprintf(line, sizeof(line), "TRACK %02d AUDIO\nINDEX 01 00:%02d:%02d\n", t, t * 3 / 75, t * 3 % 75);
    cue += line;
    cue += "TITLE \"" + std::string(200, 'x') + "\"\n";
  }
  Engine many(dir.Write("many.cue", cue));
  ASSERT_EQ(many.error(), kImageOk) << ImageLastError();
  EXPECT_EQ(many.Data(ReadToc(5, false, 0)), Hex("00 02 00 00"));
}

TEST(ReadToc, CdTextOfACloneCdDescriptorGetsItsCrc) {
  TwoSessionCd two(
      "[CDText]\r\nEntries=2\r\n"
      "Entry 0=80 00 00 00 44 69 73 63 00 00 00 00 00 00 00 00\r\n"
      "Entry 1=8f 00 01 00 00 01 02 00 01 00 00 00 00 00 00 00\r\n");
  Engine e(two.ccd);
  ASSERT_EQ(e.error(), kImageOk) << ImageLastError();
  Bytes a = e.Data(ReadToc(5, false, 0));
  ASSERT_EQ(a.size(), 4u + 2 * 18);
  EXPECT_EQ(Bytes(a.begin(), a.begin() + 4), Hex("00 26 00 00"));
  EXPECT_EQ(Bytes(a.begin() + 4, a.begin() + 20), Hex("80 00 00 00 44 69 73 63 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(Bytes(a.begin() + 22, a.begin() + 38), Hex("8F 00 01 00 00 01 02 00 01 00 00 00 00 00 00 00"));
  for (size_t at : {size_t{4}, size_t{22}}) {
    uint16_t crc = QCrc(std::span<const uint8_t>(a.data() + at, 16));
    EXPECT_EQ(a[at + 16] << 8 | a[at + 17], crc);
  }
  // A pack that does not read as 16 bytes leaves the disc without text, not unreadable.
  TwoSessionCd broken("[CDText]\r\nEntries=1\r\nEntry 0=80 00 zz\r\n");
  Engine b(broken.ccd);
  ASSERT_EQ(b.error(), kImageOk);
  EXPECT_EQ(b.Data(ReadToc(5, false, 0)), Hex("00 02 00 00"));
}

TEST(ReadToc, PmaAtipAndCdOnlyFormatsAreRefused) {
  MixedCd cd;
  Engine e(cd.cue);
  TempDir dir;
  Engine dvd(dir.Sparse("dvd.iso", uint64_t{kDvdSingle} * kUserSize));
  struct Row {
    const char* name;
    Engine& engine;
    uint8_t format;
  } rows[] = {{"cd pma", e, 3}, {"cd atip", e, 4}, {"cd reserved", e, 6},
              {"dvd full toc", dvd, 2}, {"dvd cd-text", dvd, 5}};
  for (const Row& r : rows) {
    Outcome o = r.engine.Run(ReadToc(r.format, false, 0));
    EXPECT_TRUE(o.check) << r.name;
    EXPECT_EQ(o.key, 0x05) << r.name;
    EXPECT_EQ(o.asc, 0x24) << r.name;
  }
}

TEST(ReadToc, DvdAndBdShowOneTrackWithMinutesPastNinetyNine) {
  TempDir dir;
  Engine dvd(dir.Sparse("dvd.iso", uint64_t{kDvdSingle} * kUserSize));
  ASSERT_EQ(dvd.error(), kImageOk);
  EXPECT_EQ(dvd.Data(ReadToc(0, false, 0)),
            Hex("00 12 01 01 00 14 01 00 00 00 00 00 00 14 AA 00 00 1E 84 80"));
  // 2,000,150 frames: 444 minutes (kept at 255), 28 s, 50 frames.
  EXPECT_EQ(dvd.Data(ReadToc(0, true, 0)),
            Hex("00 12 01 01 00 14 01 00 00 00 02 00 00 14 AA 00 00 FF 1C 32"));
  EXPECT_EQ(dvd.Data(ReadToc(1, false, 0)), Hex("00 0A 01 01 00 14 01 00 00 00 00 00"));
  Engine bd(dir.Sparse("bd.iso", uint64_t{kBdSingle} * kUserSize));
  EXPECT_EQ(bd.Data(ReadToc(0, false, 0)),
            Hex("00 12 01 01 00 14 01 00 00 00 00 00 00 14 AA 00 00 B7 1B 00"));
}

// --- Disc and track information -------------------------------------------------------------

TEST(ReadDiscInformation, ClosedDiscWithItsSessionsAndTracks) {
  MixedCd cd;
  Engine mixed(cd.cue);
  Bytes tail = Concat({Hex("00 00 00 00 FF FF FF FF FF FF FF FF"), Zeros(8), Hex("00 00")});
  EXPECT_EQ(mixed.Data(ReadDiscInfo()),
            Concat({Hex("00 20 0E 01 01 01 03 00 00 00 00 00"), tail}));
  TwoSessionCd two;
  Engine e(two.ccd);
  EXPECT_EQ(e.Data(ReadDiscInfo()), Concat({Hex("00 20 0E 01 02 02 02 00 00 00 00 00"), tail}));
  TempDir dir;
  Engine dvd(dir.Sparse("dvd.iso", uint64_t{kDvdSingle} * kUserSize));
  EXPECT_EQ(dvd.Data(ReadDiscInfo()), Concat({Hex("00 20 0E 01 01 01 01 00 00 00 00 00"), tail}));
  // Only data type 0 (standard disc information) exists on a pressed disc.
  Bytes track = ReadDiscInfo();
  track[1] = 1;
  EXPECT_EQ(mixed.Run(track).asc, 0x24);
}

Bytes TrackInfo(uint8_t track, uint8_t session, uint8_t mode, uint8_t dataMode, uint32_t start,
                uint32_t blocking, uint32_t size) {
  Bytes a = Hex("00 2E");
  a.push_back(track), a.push_back(session), a.push_back(0), a.push_back(mode);
  a.push_back(dataMode), a.push_back(0);
  Bytes tail(40, 0);
  PutBe(tail, 0, start, 4);
  PutBe(tail, 12, blocking, 4);
  PutBe(tail, 16, size, 4);
  return Concat({a, tail});
}

TEST(ReadTrackInformation, ByLbaTrackAndSession) {
  MixedCd cd;
  Engine e(cd.cue);
  Bytes track1 = TrackInfo(1, 1, 0x04, 0x01, 0, 0, 450);  // runs to track 2's start
  Bytes track2 = TrackInfo(2, 1, 0x00, 0x0F, 450, 0, 150);
  EXPECT_EQ(e.Data(ReadTrackInfo(1, 1)), track1);
  EXPECT_EQ(e.Data(ReadTrackInfo(1, 2)), track2);
  EXPECT_EQ(e.Data(ReadTrackInfo(0, 310)), track2);  // in track 2's pregap
  EXPECT_EQ(e.Data(ReadTrackInfo(1, 3)), TrackInfo(3, 1, 0x00, 0x0F, 600, 0, 150));
  EXPECT_EQ(e.Data(ReadTrackInfo(2, 1)), track1);

  TwoSessionCd two;
  Engine t(two.ccd);
  EXPECT_EQ(t.Data(ReadTrackInfo(2, 2)), TrackInfo(2, 2, 0x04, 0x01, 11440, 0, 20));
  EXPECT_EQ(t.Data(ReadTrackInfo(1, 1)), TrackInfo(1, 1, 0x04, 0x01, 0, 0, 40));

  TempDir dir;
  Engine dvd(dir.Sparse("dvd.iso", uint64_t{kDvdSingle} * kUserSize));
  EXPECT_EQ(dvd.Data(ReadTrackInfo(1, 1)), TrackInfo(1, 1, 0x04, 0x01, 0, 16, kDvdSingle));
  Engine bd(dir.Sparse("bd.iso", uint64_t{kBdSingle} * kUserSize));
  EXPECT_EQ(bd.Data(ReadTrackInfo(0, 5)), TrackInfo(1, 1, 0x04, 0x01, 0, 32, kBdSingle));

  struct Bad {
    const char* name;
    Bytes cdb;
    uint8_t asc;
  } bad[] = {{"track 0", ReadTrackInfo(1, 0), 0x24},   {"track 4", ReadTrackInfo(1, 4), 0x24},
             {"invisible", ReadTrackInfo(1, 0xFF), 0x24}, {"session 2", ReadTrackInfo(2, 2), 0x24},
             {"type 3", ReadTrackInfo(3, 1), 0x24},     {"past the end", ReadTrackInfo(0, 750), 0x21}};
  for (const Bad& b : bad) {
    Outcome o = e.Run(b.cdb);
    EXPECT_TRUE(o.check) << b.name;
    EXPECT_EQ(o.asc, b.asc) << b.name;
  }
}

// --- Sector reads ---------------------------------------------------------------------------

// ECMA-130's EDC, computed bit by bit from its polynomial
// P(x) = (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1), least significant bit of each byte first.
uint32_t EdcBitwise(const uint8_t* data, size_t n) {
  uint32_t poly = 0;
  for (int term : {31, 16, 15, 4, 3, 1, 0}) poly |= 1u << (31 - term);  // reflected, x^32 implied
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i)
    for (int bit = 0; bit < 8; ++bit) {
      uint32_t in = (data[i] >> bit) & 1;
      bool feedback = ((crc ^ in) & 1) != 0;
      crc >>= 1;
      if (feedback) crc ^= poly;
    }
  return crc;
}

// GF(2^8) with P(x) = x^8 + x^4 + x^3 + x^2 + 1, multiplied by shifting.
uint8_t GfMulAlpha(uint8_t v) {
  return static_cast<uint8_t>((v << 1) ^ ((v & 0x80) ? 0x1D : 0));
}

// ECMA-130 annex A: the 2,340 bytes from the header on are 1,170 words S(n), each an MSB and
// an LSB byte; each byte plane is checked on its own. A codeword V of N symbols is valid when
// H V = 0 with H = [1 ... 1; a^(N-1) ... a 1]: the plain sum and the Horner sum are zero.
bool SyndromesZero(const std::vector<int>& words, const uint8_t* sector, int plane) {
  uint8_t s0 = 0, s1 = 0;
  for (int n : words) {
    uint8_t v = sector[12 + 2 * n + plane];
    s0 ^= v;
    s1 = static_cast<uint8_t>(GfMulAlpha(s1) ^ v);
  }
  return s0 == 0 && s1 == 0;
}

bool EccValid(const uint8_t* sector) {
  for (int plane = 0; plane < 2; ++plane) {
    for (int np = 0; np < 43; ++np) {  // P: columns of 24 data words and 2 parity words
      std::vector<int> w;
      for (int mp = 0; mp < 26; ++mp) w.push_back(43 * mp + np);
      if (!SyndromesZero(w, sector, plane)) return false;
    }
    for (int nq = 0; nq < 26; ++nq) {  // Q: diagonals of 43 words, then the 2 Q parity words
      std::vector<int> w;
      for (int mq = 0; mq < 43; ++mq) w.push_back((44 * mq + 43 * nq) % 1118);
      w.push_back(1118 + nq);
      w.push_back(1144 + nq);
      if (!SyndromesZero(w, sector, plane)) return false;
    }
  }
  return true;
}

TEST(ReadCd, CookedDataSectorsCarryValidEdcAndEcc) {
  MixedCd cd;
  Engine e(cd.cue);
  Bytes raw = e.Data(ReadCd(14, 4, 0, 0xF8));
  ASSERT_EQ(raw.size(), 4 * kRawSize);
  for (int i = 0; i < 4; ++i) {
    const uint8_t* s = raw.data() + i * kRawSize;
    SCOPED_TRACE(i);
    EXPECT_EQ(Bytes(s, s + 12), Hex("00 FF FF FF FF FF FF FF FF FF FF 00"));
    EXPECT_EQ(Bytes(s + 12, s + 16), (Bytes{0x00, 0x02, static_cast<uint8_t>(0x14 + i), 0x01}));
    EXPECT_EQ(Bytes(s + 16, s + 2064),
              Bytes(cd.data.begin() + (14 + i) * kUserSize, cd.data.begin() + (15 + i) * kUserSize));
    uint32_t edc = EdcBitwise(s, 2064);
    EXPECT_EQ(Bytes(s + 2064, s + 2068), (Bytes{static_cast<uint8_t>(edc), static_cast<uint8_t>(edc >> 8),
                                                 static_cast<uint8_t>(edc >> 16),
                                                 static_cast<uint8_t>(edc >> 24)}));
    EXPECT_EQ(Bytes(s + 2068, s + 2076), Zeros(8));
    EXPECT_TRUE(EccValid(s));
  }
  // The decoder is sharp: one flipped bit in data, P or Q parity fails it.
  for (size_t at : {size_t{100}, size_t{2100}, size_t{2300}}) {
    Bytes bad(raw.begin(), raw.begin() + kRawSize);
    bad[at] ^= 0x10;
    EXPECT_FALSE(EccValid(bad.data())) << at;
  }
  // A plain ISO's sectors are built the same way.
  TempDir dir;
  Bytes iso = Pattern(20 * kUserSize, 9);
  Engine isoEngine(dir.Write("disc.iso", iso));
  Bytes s = isoEngine.Data(ReadCd(19, 1, 2, 0xF8));
  ASSERT_EQ(s.size(), kRawSize);
  EXPECT_EQ(EdcBitwise(s.data(), 2068), 0u);  // data and EDC leave no remainder
  EXPECT_TRUE(EccValid(s.data()));
}

// Raw P-W of a sector without R-W data: byte i carries bit i of P in bit 7 and of Q in
// bit 6.
Bytes RawPw(const Bytes& q, bool pause) {
  Bytes pw(96);
  for (size_t i = 0; i < pw.size(); ++i)
    pw[i] = static_cast<uint8_t>((pause ? 0x80 : 0) | ((q[i / 8] >> (7 - i % 8)) & 1) << 6);
  return pw;
}

TEST(ReadCd, FieldSelectionsOnDataAndAudioTracks) {
  MixedCd cd;
  Engine e(cd.cue);
  Bytes raw = e.Data(ReadCd(20, 1, 0, 0xF8));
  ASSERT_EQ(raw.size(), kRawSize);
  auto slice = [&](size_t from, size_t to) { return Bytes(raw.begin() + from, raw.begin() + to); };
  Bytes q = e.Data(ReadCd(20, 1, 0, 0x00, 2));
  ASSERT_EQ(q.size(), 16u);
  struct Row {
    const char* name;
    uint8_t type, fields, sub;
    Bytes want;
  } rows[] = {
      {"user data", 2, 0x10, 0, slice(16, 2064)},
      {"header only", 0, 0x20, 0, slice(12, 16)},
      {"sync and header", 0, 0xA0, 0, slice(0, 16)},
      {"header and user", 2, 0x30, 0, slice(12, 2064)},
      {"user and edc/ecc", 0, 0x18, 0, slice(16, kRawSize)},
      {"subheader only: empty in mode 1", 0, 0x40, 0, {}},
      {"all with C2 bits", 0, 0xFA, 0, Concat({raw, Zeros(294)})},
      {"all with C2 and block byte, Q", 0, 0xFC, 2, Concat({raw, Zeros(296), q})},
      {"user with raw P-W", 0, 0x10, 1, Concat({slice(16, 2064), RawPw(q, false)})},
  };
  for (const Row& r : rows) {
    Outcome o = e.Run(ReadCd(20, 1, r.type, r.fields, r.sub));
    EXPECT_FALSE(o.check) << r.name;
    EXPECT_EQ(o.data, r.want) << r.name;
  }
  // The first sector of track 2's pregap: P is set throughout the pause.
  Bytes pregapQ = e.Data(ReadCd(kDataSectors, 1, 0, 0x00, 2));
  ASSERT_EQ(pregapQ.size(), 16u);
  EXPECT_EQ(pregapQ[2], 0x00);  // index 0
  EXPECT_EQ(e.Data(ReadCd(kDataSectors, 1, 0, 0x00, 1)), RawPw(pregapQ, true));
  // The Q of sector 20: data track 1, index 1, relative and absolute time in BCD.
  EXPECT_EQ(Bytes(q.begin(), q.begin() + 10), Hex("41 01 01 00 00 20 00 00 02 20"));

  // Audio: 2,352 bytes as the file holds them (little-endian samples), whatever the header
  // bits ask for; no header, no sync.
  Bytes audio = cd.AudioSector(500);
  EXPECT_EQ(e.Data(ReadCd(500, 1, 0, 0x10)), audio);
  EXPECT_EQ(e.Data(ReadCd(500, 1, 1, 0xF8)), audio);
  EXPECT_EQ(e.Data(ReadCd(500, 2, 1, 0x10)), Concat({audio, cd.AudioSector(501)}));
  // READ CD MSF of 00:08:50-00:08:52 is LBA 500-501.
  EXPECT_EQ(e.Data(ReadCdMsf({0, 8, 50}, {0, 8, 52}, 0x10)), Concat({audio, cd.AudioSector(501)}));
  EXPECT_EQ(e.Data(ReadCdMsf({0, 2, 20}, {0, 2, 21}, 0xF8)), raw);

  struct Bad {
    const char* name;
    Bytes cdb;
    uint8_t asc;
  } bad[] = {
      {"edc/ecc alone", ReadCd(20, 1, 0, 0x08), 0x24},
      {"sync alone", ReadCd(20, 1, 0, 0x80), 0x24},
      {"sync and subheader", ReadCd(20, 1, 0, 0xC0), 0x24},
      {"sync and user", ReadCd(20, 1, 0, 0x90), 0x24},
      {"header and edc/ecc", ReadCd(20, 1, 0, 0x28), 0x24},
      {"reserved C2 code", ReadCd(20, 1, 0, 0x16), 0x24},
      {"sub-channel 3", ReadCd(20, 1, 0, 0x10, 3), 0x24},
      {"sector type 6", ReadCd(20, 1, 6, 0x10), 0x24},
      {"mode 1 expected on audio", ReadCd(500, 1, 2, 0x10), 0x64},
      {"CD-DA expected on data", ReadCd(20, 1, 1, 0x10), 0x64},
      {"form 1 expected on mode 1", ReadCd(20, 1, 4, 0x10), 0x64},
      {"MSF end before start", ReadCdMsf({0, 3, 0}, {0, 2, 0}, 0x10), 0x24},
      {"past the lead-out", ReadCd(750, 1, 0, 0x10), 0x21},
  };
  for (const Bad& b : bad) {
    Outcome o = e.Run(b.cdb);
    EXPECT_TRUE(o.check) << b.name;
    EXPECT_EQ(o.key, 0x05) << b.name;
    EXPECT_EQ(o.asc, b.asc) << b.name;
  }
}

TEST(ReadCd, RunPastTheLeadOutDeliversTheSectorsBeforeIt) {
  MixedCd cd;
  Engine e(cd.cue);
  Outcome o = e.Run(ReadCd(748, 5, 0, 0x00, 2));
  EXPECT_TRUE(o.check);
  EXPECT_EQ(o.asc, 0x21);
  ASSERT_EQ(o.data.size(), 2 * 16u);
  // Sectors 748 and 749: absolute 00:11:73 and 00:11:74, the last of track 3.
  EXPECT_EQ(Bytes(o.data.begin() + 7, o.data.begin() + 10), Hex("00 11 73"));
  EXPECT_EQ(Bytes(o.data.begin() + 23, o.data.begin() + 26), Hex("00 11 74"));
  EXPECT_EQ(o.head, 750u);
}

TEST(ReadCd, AudioTrackRefusesUserDataReads) {
  MixedCd cd;
  Engine e(cd.cue);
  Outcome o = e.Run(Read10(500, 1));
  EXPECT_TRUE(o.check);
  EXPECT_EQ(o.key, 0x05);
  EXPECT_EQ(o.asc, 0x64);
  EXPECT_EQ(o.ascq, 0x00);
  EXPECT_TRUE(o.data.empty());
  // A run from data into the pregap delivers the data sectors before it stops.
  Outcome run = e.Run(Read10(298, 3));
  EXPECT_TRUE(run.check);
  EXPECT_EQ(run.asc, 0x64);
  EXPECT_EQ(run.data.size(), 2 * kUserSize);
}

TEST(ReadCd, DvdHasNoCdSectors) {
  TempDir dir;
  Engine dvd(dir.Sparse("dvd.iso", uint64_t{kDvdSingle} * kUserSize));
  for (const Bytes& cdb : {ReadCd(0, 1, 0, 0x10), ReadCdMsf({0, 2, 0}, {0, 2, 1}, 0x10),
                           ReadHeader(0, false)}) {
    Outcome o = dvd.Run(cdb);
    EXPECT_TRUE(o.check) << int(cdb[0]);
    EXPECT_EQ(o.key, 0x05);
    EXPECT_EQ(o.asc, 0x30);
    EXPECT_EQ(o.ascq, 0x02);
  }
}

TEST(ReadHeader, GivesTheDataModeAndAddressInEitherForm) {
  MixedCd cd;
  Engine e(cd.cue);
  Outcome lba = e.Run(ReadHeader(16, false));
  EXPECT_EQ(lba.data, Hex("01 00 00 00 00 00 00 10"));
  EXPECT_EQ(lba.head, 17u);
  EXPECT_EQ(e.Data(ReadHeader(16, true)), Hex("01 00 00 00 00 00 02 10"));
  EXPECT_EQ(e.Data(ReadHeader(299, true)), Hex("01 00 00 00 00 00 05 4A"));
  Outcome audio = e.Run(ReadHeader(500, false));
  EXPECT_TRUE(audio.check);
  EXPECT_EQ(audio.asc, 0x64);
  EXPECT_EQ(e.Run(ReadHeader(750, false)).asc, 0x21);
}

// --- DVD and BD structures and keys ---------------------------------------------------------

TEST(ReadDiscStructure, DvdPhysicalFormatFollowsSizeAndLayers) {
  TempDir dir;
  Engine single(dir.Sparse("single.iso", uint64_t{kDvdSingle} * kUserSize));
  // DVD-ROM book, part 1; 120 mm at 10.08 Mbit/s; one embossed layer; 0.267 µm/bit, 0.74 µm
  // tracks; data from 0x30000 to 0x30000 + capacity - 1.
  Bytes sl = Concat({Hex("08 02 00 00 01 02 01 00 00 03 00 00 00 21 84 7F 00 00 00 00 00"),
                     Zeros(2031)});
  EXPECT_EQ(single.Data(ReadStructure(0, 0)), sl);
  // Two layers on the opposite track path, 0.293 µm/bit: layer 0 ends at 0x30000 + 1,500,000
  // - 1 = 0x19E35F; layer 1's last sector is the complement of the data start, 0xFCFFFF.
  Engine dual(dir.Sparse("dual.iso", uint64_t{kDvdDual} * kUserSize));
  Bytes dl = Concat({Hex("08 02 00 00 01 02 31 10 00 03 00 00 00 FC FF FF 00 19 E3 5F 00"),
                     Zeros(2031)});
  EXPECT_EQ(dual.Data(ReadStructure(0, 0)), dl);
  EXPECT_EQ(dual.Data(ReadStructure(0, 0, 1)), dl);
  EXPECT_EQ(single.Run(ReadStructure(0, 0, 1)).asc, 0x24);  // no layer 1
}

TEST(ReadDiscStructure, DvdCopyrightManufacturingAndList) {
  TempDir dir;
  Engine dvd(dir.Sparse("dvd.iso", uint64_t{kDvdSingle} * kUserSize));
  EXPECT_EQ(dvd.Data(ReadStructure(0, 1)), Hex("00 06 00 00 00 00 00 00"));
  EXPECT_EQ(dvd.Data(ReadStructure(0, 4)), Concat({Hex("08 02 00 00"), Zeros(2048)}));
  Outcome cmi = dvd.Run(ReadStructure(0, 5, 0, 1000));
  EXPECT_EQ(cmi.data, Hex("00 06 00 00 00 00 00 00"));
  EXPECT_EQ(cmi.head, 1001u);
  EXPECT_EQ(dvd.Data(ReadStructure(0, 0xFF)),
            Hex("00 16 00 00 00 40 08 00 01 40 00 04 04 40 08 00 05 40 00 04 FF 40 00 14"));
  struct Bad {
    const char* name;
    Bytes cdb;
    uint8_t asc, ascq;
  } bad[] = {{"no BCA", ReadStructure(0, 3), 0x24, 0},
             {"unknown format", ReadStructure(0, 0x30), 0x24, 0},
             {"BD structure of a DVD", ReadStructure(1, 0), 0x30, 2},
             {"CMI past the end", ReadStructure(0, 5, 0, kDvdSingle), 0x21, 0}};
  for (const Bad& b : bad) {
    Outcome o = dvd.Run(b.cdb);
    EXPECT_TRUE(o.check) << b.name;
    EXPECT_EQ(o.asc, b.asc) << b.name;
    EXPECT_EQ(o.ascq, b.ascq) << b.name;
  }
  MixedCd cd;
  EXPECT_EQ(Engine(cd.cue).Run(ReadStructure(0, 0)).asc, 0x30);
}

TEST(ReadDiscStructure, BdDiscInformation) {
  TempDir dir;
  Engine bd(dir.Sparse("bd.iso", uint64_t{kBdSingle} * kUserSize));
  ASSERT_EQ(bd.error(), kImageOk);
  // "DI", format 1, one unit per block, unit 0 with 64 bytes in use; "BDO" read-only, 120 mm
  // version 1; one embossed layer.
  Bytes want = Concat({Hex("10 02 00 00 44 49 01 01 00 00 40 00 42 44 4F 01 11"), Zeros(4096 - 13)});
  EXPECT_EQ(bd.Data(ReadStructure(1, 0)), want);
  EXPECT_EQ(bd.Data(ReadStructure(1, 0xFF)), Hex("00 0A 00 00 00 40 10 00 FF 40 00 08"));
  EXPECT_EQ(bd.Run(ReadStructure(0, 0)).asc, 0x30);
}

TEST(ReportKey, AgidsAreGrantedUntilExhaustedAndFreedByInvalidate) {
  TempDir dir;
  Engine dvd(dir.Sparse("dvd.iso", uint64_t{kDvdSingle} * kUserSize));
  for (uint8_t agid = 0; agid < 4; ++agid) {
    Bytes want = Hex("00 06 00 00 00 00 00 00");
    want[7] = static_cast<uint8_t>(agid << 6);
    EXPECT_EQ(dvd.Data(ReportKey(0)), want) << int(agid);
  }
  EXPECT_EQ(dvd.Run(ReportKey(0)).asc, 0x55);
  EXPECT_EQ(dvd.Run(ReportKey(0x11)).asc, 0x55);  // CPRM draws on the same grants
  EXPECT_TRUE(dvd.Data(ReportKey(0x3F, 2)).empty());
  EXPECT_EQ(dvd.Data(ReportKey(0x11)), Hex("00 06 00 00 00 00 00 80"));
  // SEND KEY invalidates as well; a challenge needs a granted AGID.
  EXPECT_FALSE(dvd.Run(SendKey(0x3F, 1)).check);
  EXPECT_EQ(dvd.Run(SendKey(1, 1)).asc, 0x2C);
  EXPECT_FALSE(dvd.Run(SendKey(1, 0)).check);
}

TEST(ReportKey, UnprotectedDvdHasNoTitleKeyAndNoAuthentication) {
  TempDir dir;
  Engine dvd(dir.Sparse("dvd.iso", uint64_t{kDvdSingle} * kUserSize));
  Outcome title = dvd.Run(ReportKey(4, 0, 5000));
  EXPECT_EQ(title.data, Hex("00 0A 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(title.head, 5001u);
  EXPECT_EQ(dvd.Data(ReportKey(5)), Hex("00 06 00 00 00 00 00 00"));
  // RPC state from the region mask the command layer passes in flags bits 24-31.
  Outcome rpc = dvd.Run(ReportKey(8), 1u << 20, kRequestCdb | 0xFEu << 24);
  EXPECT_EQ(rpc.data, Hex("00 06 00 00 65 FE 01 00"));
  EXPECT_EQ(dvd.Run(ReportKey(4, 0, kDvdSingle)).asc, 0x21);
  EXPECT_EQ(dvd.Run(ReportKey(2, 3)).asc, 0x2C);  // no AGID granted yet

  MixedCd cd;
  Engine e(cd.cue);
  for (const Bytes& cdb : {ReportKey(0), ReportKey(4), SendKey(0x3F)}) {
    Outcome o = e.Run(cdb);
    EXPECT_EQ(o.asc, 0x30) << int(cdb[0]);
    EXPECT_EQ(o.ascq, 0x02) << int(cdb[0]);
  }
}

TEST(Answers, CacheAndReadAheadCommandsSucceed) {
  MixedCd cd;
  Engine e(cd.cue);
  for (uint8_t op : {0x35, 0xA7, 0x00}) {
    Outcome o = e.Run({op, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(o.check) << int(op);
    EXPECT_TRUE(o.data.empty());
  }
}

// Every answer stops at its CDB's allocation length, and at the request's byte count when
// that is smaller, without moving a byte past either.
TEST(Answers, AllocationLengthBelowTheAnswerCutsIt) {
  MixedCd cd;
  Engine e(cd.cue);
  TempDir dir;
  Engine dvd(dir.Sparse("dvd.iso", uint64_t{kDvdSingle} * kUserSize));
  struct Row {
    const char* name;
    Engine& engine;
    Bytes full;
    Bytes cut;  // the same command with allocation length 5
  } rows[] = {
      {"toc 0", e, ReadToc(0, false, 0), ReadToc(0, false, 0, 5)},
      {"toc 2", e, ReadToc(2, true, 1), ReadToc(2, true, 1, 5)},
      {"toc 5", e, ReadToc(5, false, 0), ReadToc(5, false, 0, 5)},
      {"disc info", e, ReadDiscInfo(), ReadDiscInfo(5)},
      {"track info", e, ReadTrackInfo(1, 2), ReadTrackInfo(1, 2, 5)},
      {"header", e, ReadHeader(16, false), ReadHeader(16, false, 5)},
      {"structure 0", dvd, ReadStructure(0, 0), ReadStructure(0, 0, 0, 0, 5)},
      {"structure list", dvd, ReadStructure(0, 0xFF), ReadStructure(0, 0xFF, 0, 0, 5)},
      {"agid", dvd, ReportKey(0), ReportKey(0, 0, 0, 5)},
  };
  for (const Row& r : rows) {
    Bytes full = r.engine.Data(r.full);
    ASSERT_GT(full.size(), 5u) << r.name;
    EXPECT_EQ(r.engine.Data(r.cut), Bytes(full.begin(), full.begin() + 5)) << r.name;
    if (r.full[0] == 0xA4) r.engine.Run(ReportKey(0x3F, 1));  // give the AGID back
    Outcome small = r.engine.Run(r.full, 3);
    EXPECT_EQ(small.data, Bytes(full.begin(), full.begin() + 3)) << r.name;
    if (r.full[0] == 0xA4) r.engine.Run(ReportKey(0x3F, 2));
  }
  EXPECT_TRUE(e.Data(ReadToc(0, false, 0, 0)).empty());
}

}  // namespace
}  // namespace ravelkit
