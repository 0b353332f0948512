#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ravelkit/disc.h"
#include "ravelkit/ravelkit.h"
#include "ravelkit/source.h"
#include "ravelkit/test_support.h"

namespace ravelkit {
namespace {

using test_support::Pattern;
using test_support::TempDir;

// --- Disc model -------------------------------------------------------------------------

TEST(Msf, ConvertsBothWaysAroundTheLeadIn) {
  struct Case {
    int32_t lba;
    Msf msf;
  } cases[] = {
      {0, {0, 2, 0}},     {-150, {0, 0, 0}},     {-1, {0, 1, 74}},   {44850, {10, 0, 0}},
      {16, {0, 2, 16}},   {449849, {99, 59, 74}}, {-151, {99, 59, 74}}, {-45150, {90, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LbaToMsf(c.lba), c.msf) << c.lba;
    if (c.lba != 449849) {
      EXPECT_EQ(MsfToLba(c.msf), c.lba) << c.lba;
    }
  }
  EXPECT_EQ(ToBcd(59), 0x59);
  EXPECT_EQ(FromBcd(0x74), 74);
}

TEST(Edc, Mode1SectorCarriesValidEdcAndParity) {
  auto user = Pattern(kUserSize, 1);
  uint8_t s[kRawSize];
  SynthesizeMode1(12345, std::span<const uint8_t, kUserSize>(user.data(), kUserSize), s);
  const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  EXPECT_EQ(std::memcmp(s, sync, 12), 0);
  Msf m = LbaToMsf(12345);
  EXPECT_EQ(s[12], ToBcd(m.m));
  EXPECT_EQ(s[13], ToBcd(m.s));
  EXPECT_EQ(s[14], ToBcd(m.f));
  EXPECT_EQ(s[15], 1);
  EXPECT_EQ(std::memcmp(s + 16, user.data(), kUserSize), 0);
  // A CRC with no final inversion leaves a zero remainder over data plus stored EDC.
  EXPECT_EQ(Edc(std::span<const uint8_t>(s, 2068)), 0u);
  for (int i = 2068; i < 2076; ++i) EXPECT_EQ(s[i], 0) << i;
  EXPECT_TRUE(EccSyndromesZero(s));

  // The check is sharp: any corrupted byte, in data, P or Q, shows up.
  for (int at : {0x10, 2000, 2076, 2247, 2248, 2351}) {
    uint8_t bad[kRawSize];
    std::memcpy(bad, s, kRawSize);
    bad[at] ^= 0x01;
    EXPECT_FALSE(EccSyndromesZero(bad)) << at;
  }
}

TEST(Edc, Mode2FormsProtectTheRightRanges) {
  auto data = Pattern(kMode2Size, 2);
  const uint8_t form1Sub[8] = {1, 2, 0x08, 0, 1, 2, 0x08, 0};
  std::memcpy(data.data(), form1Sub, 8);
  uint8_t a[kRawSize], b[kRawSize];
  SynthesizeMode2Xa(100, std::span<const uint8_t, kMode2Size>(data.data(), kMode2Size), a);
  SynthesizeMode2Xa(200, std::span<const uint8_t, kMode2Size>(data.data(), kMode2Size), b);
  EXPECT_EQ(a[15], 2);
  EXPECT_EQ(Edc(std::span<const uint8_t>(a + 16, 2060)), 0u);
  EXPECT_TRUE(EccSyndromesZero(a));
  // Form 1 parity leaves the header out, so it does not depend on the address.
  EXPECT_EQ(std::memcmp(a + 2072, b + 2072, kRawSize - 2072), 0);

  data[2] = data[6] = 0x20;  // form 2
  SynthesizeMode2Xa(100, std::span<const uint8_t, kMode2Size>(data.data(), kMode2Size), a);
  EXPECT_EQ(Edc(std::span<const uint8_t>(a + 16, 2336)), 0u);
  EXPECT_EQ(std::memcmp(a + 24, data.data() + 8, 2324), 0);
}

TEST(QSubchannel, CrcMatchesTheCcittCheckValueInverted) {
  const char* check = "123456789";
  // CRC-16 with polynomial 0x1021 and zero start has the published check value 0x31C3.
  EXPECT_EQ(QCrc(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(check), 9)),
            static_cast<uint16_t>(~0x31C3));
}

// Two tracks: data 0-299, audio with a 150-sector pregap at 300, index 2 at 600, lead-out 900.
Disc TwoTrackDisc() {
  Disc d;
  Track t1;
  t1.end = 300;
  Track t2;
  t2.number = 2;
  t2.mode = TrackMode::kAudio;
  t2.control = kCtrlCopyPermitted;
  t2.pregapStart = 300;
  t2.indexes = {450, 600};
  t2.end = 900;
  d.tracks = {t1, t2};
  d.sessions.push_back({1, 0, 1, 900, 0});
  return d;
}

TEST(QSubchannel, PositionsThroughPregapIndexAndLeadOut) {
  Disc d = TwoTrackDisc();
  ASSERT_STREQ(d.Validate(), "");
  struct Case {
    int32_t lba;
    uint8_t ctrlAdr, track, index, rm, rs, rf;
  } cases[] = {
      {0, 0x41, 0x01, 0x01, 0, 0, 0},      {299, 0x41, 0x01, 0x01, 0, 0x03, 0x74},
      {300, 0x21, 0x02, 0x00, 0, 0x02, 0}, {449, 0x21, 0x02, 0x00, 0, 0, 0x01},
      {450, 0x21, 0x02, 0x01, 0, 0, 0},    {600, 0x21, 0x02, 0x02, 0, 0x02, 0},
      {905, 0x21, 0xAA, 0x01, 0, 0, 0x05},
  };
  for (const Case& c : cases) {
    QBlock q = d.QAt(c.lba);
    Msf abs = LbaToMsf(c.lba);
    const uint8_t want[10] = {c.ctrlAdr, c.track, c.index, c.rm, c.rs, c.rf, 0,
                              ToBcd(abs.m), ToBcd(abs.s), ToBcd(abs.f)};
    EXPECT_EQ(std::memcmp(q.data(), want, 10), 0) << c.lba;
    EXPECT_TRUE(QCrcOk(q)) << c.lba;
  }
}

TEST(Toc, ListsTracksLeadOutAndPointsA0ToA2) {
  Disc d = TwoTrackDisc();
  auto toc = d.Toc();
  ASSERT_EQ(toc.size(), 3u);
  EXPECT_EQ(toc[0].point, 1);
  EXPECT_EQ(toc[0].adrControl, 0x14);
  EXPECT_EQ(toc[1].point, 2);
  EXPECT_EQ(toc[1].lba, 450);  // index 1, not the pregap
  EXPECT_EQ(toc[1].adrControl, 0x12);
  EXPECT_EQ(toc[2].point, 0xAA);
  EXPECT_EQ(toc[2].lba, 900);

  auto full = d.FullToc(1);
  ASSERT_EQ(full.size(), 5u);
  EXPECT_EQ(full[0].point, 0xA0);
  EXPECT_EQ(full[0].pmin, 1);
  EXPECT_EQ(full[1].point, 0xA1);
  EXPECT_EQ(full[1].pmin, 2);
  EXPECT_EQ(full[2].point, 0xA2);
  EXPECT_EQ(LbaToMsf(900), (Msf{full[2].pmin, full[2].psec, full[2].pframe}));
  EXPECT_TRUE(d.FullToc(2).empty());
}

TEST(Disc, ValidateRefusesInconsistentModels) {
  auto broken = [](auto change) {
    Disc d = TwoTrackDisc();
    change(d);
    return std::string(d.Validate());
  };
  EXPECT_NE(broken([](Disc& d) { d.tracks[1].number = 3; }), "");
  EXPECT_NE(broken([](Disc& d) { d.tracks[1].pregapStart = 299; }), "");
  EXPECT_NE(broken([](Disc& d) { d.tracks[1].indexes = {450, 450}; }), "");
  EXPECT_NE(broken([](Disc& d) { d.sessions[0].leadOut = 899; }), "");
  EXPECT_NE(broken([](Disc& d) { d.tracks[1].pregapStart = 451; }), "");
}

// --- Formats ----------------------------------------------------------------------------

TEST(Iso, MediumClassFollowsSize) {
  struct Case {
    uint64_t sectors;
    bool ok;
    MediumClass medium;
    uint8_t layers;
  } cases[] = {
      {1, true, MediumClass::kCd, 1},         {449849, true, MediumClass::kCd, 1},
      {449850, true, MediumClass::kDvd, 1},   {2295105, true, MediumClass::kDvd, 2},
      {4173825, true, MediumClass::kBd, 1},   {24438785, true, MediumClass::kBd, 3},
      {62500865, false, MediumClass::kCd, 0},
  };
  for (const Case& c : cases) {
    ImageLayout l;
    std::string err;
    ASSERT_EQ(LayoutIso("a.iso", c.sectors * kUserSize, l, err), c.ok) << c.sectors;
    if (!c.ok) continue;
    EXPECT_EQ(l.medium, c.medium) << c.sectors;
    EXPECT_EQ(l.layers, c.layers) << c.sectors;
    EXPECT_EQ(l.disc.LeadOut(), static_cast<int32_t>(c.sectors));
    EXPECT_EQ(l.Validate(), "");
  }
  ImageLayout l;
  std::string err;
  EXPECT_FALSE(LayoutIso("a.iso", 0, l, err));
  EXPECT_FALSE(LayoutIso("a.iso", 4095, l, err));
  EXPECT_NE(err.find("2048"), std::string::npos);
}

struct CueResult {
  bool ok;
  std::string error;
  ImageLayout layout;
};

CueResult Cue(const std::string& text) {
  auto sizes = [](const std::string& p) -> std::optional<uint64_t> {
    if (p == "d/a.bin") return 1000 * 2352;
    if (p == "d/b.bin") return 500 * 2352;
    if (p == "d/c.iso") return 100 * 2048;
    if (p == "d/odd.bin") return 100 * 2352 + 1;
    return std::nullopt;
  };
  CueResult r;
  r.ok = ParseCue(text, "d/", sizes, r.layout, r.error);
  return r;
}

TEST(CueParse, LaysOutTracksGapsAndFiles) {
  auto r = Cue(
      "\xEF\xBB\xBFREM comment\r\n"
      "FILE \"a.bin\" BINARY\r\n"
      "  TRACK 01 MODE1/2352\r\n"
      "    INDEX 01 00:00:00\r\n"
      "  TRACK 02 AUDIO\r\n"
      "    FLAGS DCP PRE\r\n"
      "    INDEX 00 00:04:00\r\n"      // 300
      "    INDEX 01 00:06:00\r\n"      // 450
      "    INDEX 02 00:08:00\r\n"      // 600
      "FILE b.bin MOTOROLA\n"
      "  TRACK 03 AUDIO\n"
      "    PREGAP 00:01:00\n"
      "    INDEX 01 00:00:00\n"
      "    POSTGAP 00:00:10\n");
  ASSERT_TRUE(r.ok) << r.error;
  const Disc& d = r.layout.disc;
  ASSERT_EQ(d.tracks.size(), 3u);
  EXPECT_EQ(d.tracks[0].mode, TrackMode::kMode1);
  EXPECT_EQ(d.tracks[0].end, 300);
  EXPECT_EQ(d.tracks[1].pregapStart, 300);
  EXPECT_EQ(d.tracks[1].indexes, (std::vector<int32_t>{450, 600}));
  EXPECT_EQ(d.tracks[1].control, kCtrlCopyPermitted | kCtrlPreEmphasis);
  EXPECT_EQ(d.tracks[1].end, 1000);
  EXPECT_EQ(d.tracks[2].pregapStart, 1000);
  EXPECT_EQ(d.tracks[2].start(), 1075);
  EXPECT_EQ(d.tracks[2].end, 1075 + 500 + 10);
  EXPECT_EQ(d.LeadOut(), 1585);
  EXPECT_TRUE(r.layout.files[1].swapBytes);
  EXPECT_EQ(r.layout.files[0].path, "d/a.bin");

  // A pregap at the end of one file whose track starts in the next.
  auto split = Cue(
      "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
      "INDEX 00 00:10:00\nFILE b.bin BINARY\nINDEX 01 00:00:00\n");
  ASSERT_TRUE(split.ok) << split.error;
  EXPECT_EQ(split.layout.disc.tracks[1].pregapStart, 750);
  EXPECT_EQ(split.layout.disc.tracks[1].start(), 1000);
  EXPECT_EQ(split.layout.disc.LeadOut(), 1500);

  auto iso = Cue("FILE c.iso BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n");
  ASSERT_TRUE(iso.ok) << iso.error;
  EXPECT_EQ(iso.layout.disc.LeadOut(), 100);
}

TEST(CueParse, RefusesBadSheetsWithTheReason) {
  const char* kHead = "FILE a.bin BINARY\nTRACK 01 AUDIO\n";
  struct Case {
    std::string text;
    const char* error;
  } cases[] = {
      {"", "no TRACK"},
      {"TRACK 01 AUDIO\nINDEX 01 00:00:00\n", "line 1: TRACK before any FILE"},
      {"FILE missing.bin BINARY\n", "cannot open file 'missing.bin'"},
      {"FILE a.wav WAVE\n", "WAVE is not supported"},
      {"FILE \"a.bin BINARY\n", "unterminated quote"},
      {std::string(kHead) + "INDEX 01 00:00:00\nTRACK 03 AUDIO\n", "line 4: track numbers"},
      {std::string(kHead) + "INDEX 01 00:00:00\nTRACK 00 AUDIO\n", "TRACK needs a number"},
      {std::string(kHead) + "INDEX 00 00:00:00\nTRACK 02 AUDIO\n", "track 1 has no INDEX 01"},
      {std::string(kHead) + "INDEX 02 00:00:00\n", "INDEX 02 out of order"},
      {std::string(kHead) + "INDEX 01 00:60:00\n", "out of range"},
      {std::string(kHead) + "INDEX 01 00:00:75\n", "out of range"},
      {std::string(kHead) + "INDEX 01 0:0\n", "malformed time"},
      {std::string(kHead) + "INDEX 01 00:02:00\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n",
       "INDEX times must increase"},
      {std::string(kHead) + "INDEX 01 00:00:00\nPREGAP 00:02:00\n", "PREGAP must precede"},
      {std::string(kHead) + "POSTGAP 00:02:00\n", "POSTGAP must follow"},
      {std::string(kHead) + "FLAGS XYZ\n", "unknown flag"},
      {std::string(kHead) + "BOGUS\n", "unknown command 'BOGUS'"},
      {"FILE a.bin BINARY\nTRACK 01 CDG\n", "track type CDG"},
      {"FILE b.bin MOTOROLA\nTRACK 01 MODE1/2352\n", "MOTOROLA"},
      {"FILE odd.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", "not a multiple"},
      {"FILE c.iso BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n", "not a multiple"},
      {std::string(kHead) + "INDEX 01 00:14:00\n", "track 1 starts at sector 1050 but 'd/a.bin' holds 1000"},
      {"FILE a.bin BINARY\nFILE b.bin BINARY\n", "previous FILE holds no INDEX"},
      {std::string(kHead) + "INDEX 01 00:00:00\nFILE b.bin BINARY\n", "last FILE holds no"},
      {std::string(kHead) + "PREGAP 99:59:00\nINDEX 01 00:00:00\n", "longer than a CD"},
      {std::string(kHead) + "INDEX 01 00:00:00\n" + std::string(5000, 'x') + "\n", "too long"},
  };
  for (const Case& c : cases) {
    auto r = Cue(c.text);
    EXPECT_FALSE(r.ok) << c.text;
    EXPECT_NE(r.error.find(c.error), std::string::npos) << c.text << " -> " << r.error;
  }
}

// --- Engine -----------------------------------------------------------------------------

using test_support::Outcome;

class Engine : public test_support::OpenImage {
 public:
  using OpenImage::OpenImage;

  Outcome Run(const std::vector<uint8_t>& cdb, uint32_t byteCount = 1u << 20) {
    Outcome o = test_support::Execute(image(), cdb, byteCount);
    if (o.check) {
      EXPECT_EQ(o.sense_length, 18);
      EXPECT_EQ(o.response_code, 0x70);
    }
    return o;
  }
};

std::vector<uint8_t> Cdb(uint8_t op, uint32_t lba, uint32_t count, uint8_t b1 = 0,
                         uint8_t fields = 0, uint8_t sub = 0) {
  std::vector<uint8_t> c(16, 0);
  c[0] = op;
  c[1] = b1;
  for (int i = 0; i < 4; ++i) c[2 + i] = static_cast<uint8_t>(lba >> (24 - 8 * i));
  if (op == 0x28) c[7] = static_cast<uint8_t>(count >> 8), c[8] = static_cast<uint8_t>(count);
  if (op == 0xA8)
    for (int i = 0; i < 4; ++i) c[6 + i] = static_cast<uint8_t>(count >> (24 - 8 * i));
  if (op == 0xBE) {
    c[6] = static_cast<uint8_t>(count >> 16), c[7] = static_cast<uint8_t>(count >> 8);
    c[8] = static_cast<uint8_t>(count), c[9] = fields, c[10] = sub;
  }
  return c;
}


TEST(Engine, ServesAnIsoBitExact) {
  TempDir dir;
  auto data = Pattern(40 * kUserSize, 3);
  Engine e(dir.Write("disc.iso", data));
  ASSERT_EQ(e.error(), kImageOk) << ImageLastError();
  uint32_t desc = 0, rot = 1;
  uint64_t cap = 0;
  ASSERT_EQ(ImageQueryMedium(e.image(), &desc, &rot, &cap), kImageOk);
  EXPECT_EQ(desc, kMediumCdRom | kMediumCdbForm);
  EXPECT_EQ(rot, 10908u);  // 12x at the inner radius
  EXPECT_EQ(cap, 40u);

  Outcome all = e.Run(Cdb(0x28, 0, 40));
  EXPECT_FALSE(all.check);
  EXPECT_EQ(all.data, data);
  Outcome part = e.Run(Cdb(0xA8, 38, 2));
  EXPECT_EQ(part.data, std::vector<uint8_t>(data.end() - 2 * kUserSize, data.end()));

  Outcome capOut = e.Run(Cdb(0x25, 0, 0));
  EXPECT_EQ(capOut.data, (std::vector<uint8_t>{0, 0, 0, 39, 0, 0, 8, 0}));

  struct Bad {
    std::vector<uint8_t> cdb;
    uint8_t key, asc;
  } bad[] = {
      {Cdb(0x28, 39, 2), 0x05, 0x21},
      {Cdb(0xA8, 0xFFFFFFFF, 1), 0x05, 0x21},
      {Cdb(0xFF, 0, 0), 0x05, 0x20},
      {Cdb(0x2A, 0, 1), 0x07, 0x27},
      {Cdb(0xBE, 0, 1, 1 << 2, 0x10), 0x05, 0x64},  // expects CD-DA, finds mode 1
      {Cdb(0xBE, 0, 1, 0, 0x06), 0x05, 0x24},       // reserved C2 code
  };
  for (const Bad& b : bad) {
    Outcome o = e.Run(b.cdb);
    EXPECT_EQ(o.status, kStatusDone);
    EXPECT_TRUE(o.check);
    EXPECT_EQ(o.key, b.key) << int(b.cdb[0]);
    EXPECT_EQ(o.asc, b.asc) << int(b.cdb[0]);
  }
  // Data past the initiator's allocation is cut, not overrun.
  EXPECT_EQ(e.Run(Cdb(0x28, 0, 2), 100).data.size(), 100u);
}

TEST(Engine, IsoTooLargeForACdIsServedAsDvd) {
  TempDir dir;
  const std::string path = dir.Sparse("big.iso", uint64_t{449850} * kUserSize);  // one sector past a CD
  Engine e(path);
  ASSERT_EQ(e.error(), kImageOk) << ImageLastError();
  uint32_t desc = 0;
  uint64_t cap = 0;
  ASSERT_EQ(ImageQueryMedium(e.image(), &desc, nullptr, &cap), kImageOk);
  EXPECT_EQ(desc, kMediumDvdRom | kMediumCdbForm);
  EXPECT_EQ(cap, 449850u);
  EXPECT_EQ(e.Run(Cdb(0x28, 449849, 1)).data, std::vector<uint8_t>(kUserSize, 0));
  Outcome cd = e.Run(Cdb(0xBE, 0, 1, 0, 0x10));
  EXPECT_TRUE(cd.check);
  EXPECT_EQ(cd.asc, 0x30);
}

// The medium class from what the image holds, on images genisoimage makes: UDF with a
// DVD-Video or Blu-ray movie folder, and an ISO 9660 volume that says it is larger than a CD
// (its tail cut off, as an image of a DVD copied short would be).
TEST(Engine, IsoContentChoosesTheMediumClass) {
  REQUIRE_TOOL("genisoimage");
  TempDir dir;
  auto make = [&dir](const std::string& name, const std::string& folder, const char* options) {
    std::filesystem::create_directories(dir.Path(name + "/" + folder));
    dir.Write(name + "/" + folder + "/" + "DATA.BIN", Pattern(5000, 3));
    EXPECT_EQ(test_support::Tool(dir, std::string("genisoimage -quiet ") + options + " -o " +
                                          name + ".iso " + name),
              0);
    return dir.Path(name + ".iso");
  };
  const std::string dvd = make("dvd", "VIDEO_TS", "-udf");
  const std::string bd = make("bd", "BDMV", "-udf");
  const std::string data = make("data", "FILES", "-udf");
  const std::string plain = make("plain", "VIDEO_TS", "");  // no UDF: an ISO 9660 CD
  // A volume of 500,000 sectors whose image holds only the first ones.
  test_support::Bytes big = dir.Read("data.iso");
  const uint32_t volume = 500'000;
  for (int i = 0; i < 4; ++i) {
    big[16 * kUserSize + 80 + i] = static_cast<uint8_t>(volume >> (8 * i));
    big[16 * kUserSize + 87 - i] = static_cast<uint8_t>(volume >> (8 * i));
  }
  const std::string large = dir.Write("large.iso", big);
  const struct {
    std::string path;
    uint32_t descriptor;
  } cases[] = {
      {dvd, kMediumDvdRom | kMediumCdbForm},
      {bd, kMediumBdRom | kMediumCdbForm},
      {data, kMediumCdRom | kMediumCdbForm},
      {plain, kMediumCdRom | kMediumCdbForm},
      {large, kMediumDvdRom | kMediumCdbForm},
  };
  for (const auto& c : cases) {
    Engine e(c.path);
    ASSERT_EQ(e.error(), kImageOk) << ImageLastError();
    uint32_t descriptor = 0;
    uint64_t capacity = 0;
    ASSERT_EQ(ImageQueryMedium(e.image(), &descriptor, nullptr, &capacity), kImageOk);
    EXPECT_EQ(descriptor, c.descriptor) << c.path;
    EXPECT_EQ(capacity * kUserSize, std::filesystem::file_size(c.path)) << c.path;
    // The data is the image's whatever the class.
    const test_support::Bytes image = dir.Read(std::filesystem::path(c.path).filename().string());
    EXPECT_EQ(e.Run(Cdb(0x28, 16, 1)).data,
              test_support::Bytes(image.begin() + 16 * kUserSize, image.begin() + 17 * kUserSize));
  }
}

TEST(Engine, ReadCdOfCookedSectorMatchesRawImage) {
  TempDir dir;
  auto user = Pattern(4 * kUserSize, 4);
  std::vector<uint8_t> raw(4 * kRawSize);
  for (int i = 0; i < 4; ++i)
    SynthesizeMode1(i, std::span<const uint8_t, kUserSize>(user.data() + i * kUserSize, kUserSize),
                    raw.data() + i * kRawSize);
  dir.Write("raw.bin", raw);
  Engine cooked(dir.Write("cooked.iso", user));
  Engine rawImg(dir.Write("raw.cue", "FILE raw.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"));
  ASSERT_EQ(cooked.error(), kImageOk);
  ASSERT_EQ(rawImg.error(), kImageOk) << ImageLastError();

  for (uint8_t fields : {0xF8, 0x10, 0x18, 0xB0, 0x20, 0x58, 0xA0, 0xF8 | 0x02, 0xF8 | 0x04}) {
    for (uint8_t sub : {0, 1, 2}) {
      Outcome a = cooked.Run(Cdb(0xBE, 1, 3, 2 << 2, fields, sub));
      Outcome b = rawImg.Run(Cdb(0xBE, 1, 3, 0, fields, sub));
      EXPECT_FALSE(a.check);
      EXPECT_EQ(a.data, b.data) << int(fields) << "/" << int(sub);
    }
  }
  Outcome full = cooked.Run(Cdb(0xBE, 0, 4, 0, 0xF8));
  EXPECT_EQ(full.data, raw);
  Outcome withQ = cooked.Run(Cdb(0xBE, 2, 1, 0, 0x10, 2));
  ASSERT_EQ(withQ.data.size(), kUserSize + 16);
  QBlock q;
  std::memcpy(q.data(), withQ.data.data() + kUserSize, 12);
  EXPECT_TRUE(QCrcOk(q));
  EXPECT_EQ(q[9], ToBcd(LbaToMsf(2).f));
}

TEST(Engine, ServesMultiTrackCueAcrossFiles) {
  TempDir dir;
  // Track 1: mode 1 raw, 20 sectors. Track 2: audio with an index 0 of 5 sectors, 15 sectors
  // after it, in the same file. Track 3: byte-swapped audio in its own file behind a
  // generated 10-sector pregap. Track 4: 8 XA sectors, 2336 bytes each, form 1 then form 2.
  std::vector<uint8_t> a;
  auto user = Pattern(20 * kUserSize, 5);
  for (int i = 0; i < 20; ++i) {
    uint8_t s[kRawSize];
    SynthesizeMode1(i, std::span<const uint8_t, kUserSize>(user.data() + i * kUserSize, kUserSize), s);
    a.insert(a.end(), s, s + kRawSize);
  }
  auto audio2 = Pattern(20 * kRawSize, 6);
  a.insert(a.end(), audio2.begin(), audio2.end());
  auto audio3 = Pattern(7 * kRawSize, 7);
  std::vector<uint8_t> swapped(audio3);
  for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  auto xaUser = Pattern(8 * kMode2Size, 8);
  for (int i = 0; i < 8; ++i) {
    uint8_t form = i < 4 ? 0x08 : 0x20;
    const uint8_t h[8] = {0, 0, form, 0, 0, 0, form, 0};
    std::memcpy(xaUser.data() + i * kMode2Size, h, 8);
  }
  dir.Write("a.bin", a);
  dir.Write("b 3.bin", swapped);
  dir.Write("c.bin", xaUser);
  Engine e(dir.Write("disc.cue",
                     "FILE \"a.bin\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n"
                     " TRACK 02 AUDIO\n  INDEX 00 00:00:20\n  INDEX 01 00:00:25\n"
                     "FILE \"b 3.bin\" MOTOROLA\n TRACK 03 AUDIO\n  PREGAP 00:00:10\n"
                     "  INDEX 01 00:00:00\n"
                     "FILE c.bin BINARY\n TRACK 04 MODE2/2336\n  INDEX 01 00:00:00\n"));
  ASSERT_EQ(e.error(), kImageOk) << ImageLastError();
  uint64_t cap = 0;
  ImageQueryMedium(e.image(), nullptr, nullptr, &cap);
  EXPECT_EQ(cap, 20u + 20 + 10 + 7 + 8);

  EXPECT_EQ(e.Run(Cdb(0x28, 0, 20)).data, user);
  Outcome onAudio = e.Run(Cdb(0x28, 19, 2));
  EXPECT_TRUE(onAudio.check);
  EXPECT_EQ(onAudio.asc, 0x64);

  EXPECT_EQ(e.Run(Cdb(0xBE, 20, 20, 1 << 2, 0x10)).data, audio2);
  Outcome gap = e.Run(Cdb(0xBE, 40, 10, 0, 0xF8));
  EXPECT_EQ(gap.data, std::vector<uint8_t>(10 * kRawSize, 0));
  EXPECT_EQ(e.Run(Cdb(0xBE, 50, 7, 0, 0x10)).data, audio3);

  // XA: form 1 sectors read as 2048 bytes of user data, form 2 ones are refused.
  Outcome f1 = e.Run(Cdb(0x28, 57, 4));
  ASSERT_EQ(f1.data.size(), 4 * kUserSize);
  EXPECT_EQ(std::memcmp(f1.data.data(), xaUser.data() + 8, kUserSize), 0);
  EXPECT_TRUE(e.Run(Cdb(0x28, 61, 1)).check);
  Outcome typed = e.Run(Cdb(0xBE, 61, 1, 5 << 2, 0x10));
  EXPECT_FALSE(typed.check);
  EXPECT_EQ(typed.data.size(), 2324u);
  EXPECT_TRUE(e.Run(Cdb(0xBE, 61, 1, 4 << 2, 0x10)).check);
  Outcome raw = e.Run(Cdb(0xBE, 57, 1, 0, 0xF8));
  ASSERT_EQ(raw.data.size(), kRawSize);
  EXPECT_EQ(raw.data[15], 2);
  EXPECT_EQ(std::memcmp(raw.data.data() + 16, xaUser.data(), kMode2Size), 0);

  // READ TOC format 0 in LBA and MSF form, from track 2 on, and the full TOC's points.
  auto toc = [](uint8_t msf, uint8_t format, uint8_t from) {
    std::vector<uint8_t> c(16, 0);
    c[0] = 0x43, c[1] = msf, c[2] = format, c[6] = from, c[7] = 0x10;
    return c;
  };
  EXPECT_EQ(e.Run(toc(0, 0, 2)).data,
            (std::vector<uint8_t>{0, 34, 1, 4,                      // length, tracks 1-4
                                  0, 0x10, 2, 0, 0, 0, 0, 25,       // track 2 at index 1
                                  0, 0x10, 3, 0, 0, 0, 0, 50,       // after the pregap
                                  0, 0x14, 4, 0, 0, 0, 0, 57,       //
                                  0, 0x14, 0xAA, 0, 0, 0, 0, 65}));
  Outcome msf = e.Run(toc(2, 0, 0xAA));
  EXPECT_EQ(msf.data, (std::vector<uint8_t>{0, 10, 1, 4, 0, 0x14, 0xAA, 0, 0, 0, 2, 65}));
  EXPECT_EQ(e.Run(toc(0, 0, 5)).asc, 0x24);
  Outcome full = e.Run(toc(0, 2, 1));
  ASSERT_EQ(full.data.size(), 4u + 7 * 11);
  EXPECT_EQ(full.data[4 + 3], 0xA0);
  EXPECT_EQ(full.data[4 + 8], 1);      // first track
  EXPECT_EQ(full.data[4 + 9], 0x20);   // disc type: the XA track makes it CD-ROM XA
  EXPECT_EQ(full.data[4 + 11 + 8], 4);  // A1: last track

  // Q in the pregap of track 2 (index 0) through the sub-channel read.
  Outcome q = e.Run(Cdb(0xBE, 21, 1, 0, 0x00, 2));
  ASSERT_EQ(q.data.size(), 16u);
  EXPECT_EQ(q.data[1], 0x02);
  EXPECT_EQ(q.data[2], 0x00);
  EXPECT_EQ(q.data[5], 0x04);  // four frames before index 1
}

// Reads that follow on from the last one are served from a window of the file read ahead;
// whatever the order, every sector must come back as stored, including the one that spans
// the window's end (raw sectors do not divide the window) and with two files read in turn.
TEST(Engine, ReadsInAnyOrderServeTheStoredBytes) {
  TempDir dir;
  constexpr int kData = 150, kAudio = 90;
  std::vector<uint8_t> a;
  auto user = Pattern(kData * kUserSize, 11);
  for (int i = 0; i < kData; ++i) {
    uint8_t s[kRawSize];
    SynthesizeMode1(i, std::span<const uint8_t, kUserSize>(user.data() + i * kUserSize, kUserSize), s);
    a.insert(a.end(), s, s + kRawSize);
  }
  auto audio = Pattern(kAudio * kRawSize, 12);
  dir.Write("a.bin", a);
  dir.Write("b.bin", audio);
  Engine e(dir.Write("disc.cue",
                     "FILE \"a.bin\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n"
                     "FILE \"b.bin\" BINARY\n TRACK 02 AUDIO\n  INDEX 01 00:00:00\n"));
  ASSERT_EQ(e.error(), kImageOk) << ImageLastError();
  auto rawAt = [&](int lba) {
    const uint8_t* from = lba < kData ? a.data() + size_t(lba) * kRawSize
                                      : audio.data() + size_t(lba - kData) * kRawSize;
    return std::vector<uint8_t>(from, from + kRawSize);
  };
  auto readRaw = [&](int lba, int n) { return e.Run(Cdb(0xBE, uint32_t(lba), uint32_t(n), 0, 0xF8)).data; };

  EXPECT_EQ(e.Run(Cdb(0x28, 0, kData)).data, user);
  EXPECT_EQ(readRaw(0, kData), a);
  EXPECT_EQ(readRaw(kData, kAudio), audio);
  // Backwards, then the two files in turn, then scattered.
  for (int lba = kData + kAudio - 1; lba >= 0; lba -= 7) EXPECT_EQ(readRaw(lba, 1), rawAt(lba)) << lba;
  for (int i = 0; i < kAudio; ++i) {
    ASSERT_EQ(readRaw(i, 1), rawAt(i)) << i;
    ASSERT_EQ(readRaw(kData + i, 1), rawAt(kData + i)) << kData + i;
  }
  std::mt19937 rng(3);
  for (int i = 0; i < 200; ++i) {
    const int lba = int(rng() % (kData + kAudio - 4));
    const auto got = readRaw(lba, 4);
    ASSERT_EQ(got.size(), 4 * kRawSize);
    for (int k = 0; k < 4; ++k)
      ASSERT_TRUE(std::equal(got.begin() + k * kRawSize, got.begin() + (k + 1) * kRawSize, rawAt(lba + k).begin()))
          << lba + k;
  }
}

TEST(Engine, OpenRefusesBadImagesWithAReason) {
  TempDir dir;
  dir.Write("short.bin", std::vector<uint8_t>(kRawSize * 3 - 1));
  struct Case {
    std::string path;
    uint32_t code;
    const char* error;
  } cases[] = {
      {dir.Write("odd.iso", std::vector<uint8_t>(3000)), kImageBadFormat, "is 3000 bytes long, which is not a multiple of the 2048-byte sector"},
      {dir.Write("x.cue", "FILE short.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"),
       kImageBadFormat, "not a multiple"},
      {dir.Write("y.cue", "FILE nothere.bin BINARY\n"), kImageBadFormat, "nothere.bin"},
      {dir.Write("z.xyz", std::vector<uint8_t>(10)), kImageNotSupported, "unsupported"},
      {dir.Path("missing.iso"), kImageNotFound, "cannot open"},
  };
  for (const Case& c : cases) {
    Engine e(c.path);
    EXPECT_EQ(e.error(), c.code) << c.path;
    EXPECT_EQ(e.image(), nullptr);
    EXPECT_NE(std::string(ImageLastError()).find(c.error), std::string::npos)
        << c.path << ": " << ImageLastError();
  }
}

// What a person is told, whole: the file named as given, the system's reason where it has one.
TEST(Engine, OpenSaysWhyInOneLine) {
  TempDir dir;
  dir.Write("empty.iso", std::vector<uint8_t>());
  dir.Write("disc.cue", "FILE \"x.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
  std::filesystem::create_directories(dir.Path("folder.iso"));
  const std::pair<std::string, std::string> cases[] = {
      {dir.Path("x.iso"), "cannot open '" + dir.Path("x.iso") + "': No such file or directory"},
      {dir.Path("empty.iso"), "'" + dir.Path("empty.iso") + "' is empty"},
      {dir.Path("disc.cue"), "'" + dir.Path("disc.cue") + "' line 1: cannot open file 'x.bin'"},
      {dir.Path("folder.iso"), "cannot open '" + dir.Path("folder.iso") + "': it is a directory"},
  };
  for (const auto& [path, message] : cases) {
    Engine e(path);
    EXPECT_NE(e.error(), kImageOk) << path;
    EXPECT_EQ(std::string(ImageLastError()), message);
  }
}

}  // namespace
}  // namespace ravelkit
