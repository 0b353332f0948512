// CDI, .b5t/.b6t and .bwt images: each test writes a small image of a known disc, opens it through the
// engine's entry points and checks what the engine serves against the sectors it was made
// from and, where Debian has one, against an independent reader; damaged and hostile
// images are refused with their reason.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
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
using test_support::Tool;

class Engine : public test_support::OpenImage {
 public:
  using OpenImage::OpenImage;

  Bytes Read(uint8_t op, int32_t lba, uint32_t count, uint8_t sub = 0) {
    Bytes c(16, 0);
    c[0] = op;
    for (int i = 0; i < 4; ++i)
      c[2 + i] = static_cast<uint8_t>(static_cast<uint32_t>(lba) >> (24 - 8 * i));
    if (op == 0x28) {
      c[7] = static_cast<uint8_t>(count >> 8), c[8] = static_cast<uint8_t>(count);
    } else {
      c[6] = static_cast<uint8_t>(count >> 16), c[7] = static_cast<uint8_t>(count >> 8);
      c[8] = static_cast<uint8_t>(count), c[9] = 0xF8, c[10] = sub;
    }
    auto o = test_support::Execute(image(), c, 1u << 22);
    EXPECT_EQ(o.status, kStatusDone);
    EXPECT_FALSE(o.check) << "read " << lba << "+" << count << ": asc " << int(o.asc);
    return o.data;
  }
  Bytes Read10(int32_t lba, uint32_t count) { return Read(0x28, lba, count); }
  Bytes ReadCd(int32_t lba, uint32_t count, uint8_t sub = 0) { return Read(0xBE, lba, count, sub); }

  // READ TOC format 0 as (track, start LBA) pairs, the lead-out as track 0xAA.
  std::vector<std::pair<int, int32_t>> Toc() {
    Bytes c(16, 0);
    c[0] = 0x43, c[7] = 0x03, c[8] = 0x24;
    auto o = test_support::Execute(image(), c, 1u << 16);
    std::vector<std::pair<int, int32_t>> out;
    for (size_t i = 4; i + 8 <= o.data.size(); i += 8)
      out.push_back({o.data[i + 2], static_cast<int32_t>(o.data[i + 4] << 24 | o.data[i + 5] << 16 |
                                                         o.data[i + 6] << 8 | o.data[i + 7])});
    return out;
  }
};

void Append(Bytes& out, const Bytes& v) { out.insert(out.end(), v.begin(), v.end()); }
void Put16(Bytes& b, uint16_t v) { b.push_back(static_cast<uint8_t>(v)), b.push_back(static_cast<uint8_t>(v >> 8)); }
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Zeros(Bytes& b, size_t n) { b.insert(b.end(), n, 0); }

// --- The disc every fixture holds ---------------------------------------------------------

// Session 1: a mode 1 track whose 150-sector pregap lies before LBA 0, body 0-39; an audio
// track with a 10-sector pregap (40-49), body 50-79; lead-out 80. Session 2 after the
// lead-out and lead-in (11,250 sectors): a mode 1 track with a 150-sector pregap from
// 11330, body 11480-11499.
struct FxTrack {
  uint8_t session;
  bool audio;
  int32_t pregap;
  int32_t start;
  int32_t end;
};
const FxTrack kTracks[] = {{1, false, 150, 0, 40}, {1, true, 10, 50, 80}, {2, false, 150, 11480, 11500}};

Bytes UserData(int32_t lba) {
  Bytes v = Pattern(kUserSize, static_cast<uint32_t>(lba + 7));
  if (lba == 16) std::memcpy(v.data(), "\x01" "CD001\x01", 7);  // what converters look for
  return v;
}

Bytes RawSector(const FxTrack& t, int32_t lba) {
  if (t.audio) return Pattern(kRawSize, static_cast<uint32_t>(1000000 + lba));
  Bytes s(kRawSize);
  Bytes u = UserData(lba);
  SynthesizeMode1(lba, std::span<const uint8_t, kUserSize>(u.data(), kUserSize), s.data());
  return s;
}

Bytes WantRaw(const FxTrack& t, int32_t lba, int32_t count) {
  Bytes out;
  for (int32_t i = 0; i < count; ++i) Append(out, RawSector(t, lba + i));
  return out;
}
Bytes WantUser(int32_t lba, int32_t count) {
  Bytes out;
  for (int32_t i = 0; i < count; ++i) Append(out, UserData(lba + i));
  return out;
}

// A stored sector's 96 sub-channel bytes, interleaved; a pattern unlike any generated one.
Bytes StoredSub(int32_t lba) { return Pattern(kSubchannelSize, static_cast<uint32_t>(77000 + lba)); }

// --- CDI ----------------------------------------------------------------------------------

struct CdiOptions {
  uint32_t version = 0x80000006;
  bool laterForms = false;  // the optional runs the later writers insert
  uint32_t dataSizeCode = 2;  // data tracks: 0 user data, 2 raw, 4 raw with sub-channel
  int sessions = 2;
};

// The track block as the format lays it out; `edit` may change any field before it is
// written.
struct CdiTrackFields {
  uint32_t pregap, length, mode, startLba, totalLength, sizeCode;
};

Bytes CdiTrackBlock(const CdiOptions& o, const CdiTrackFields& f) {
  Bytes b;
  Put32(b, o.laterForms ? 1 : 0);
  if (o.laterForms) Zeros(b, 8);
  for (int k = 0; k < 2; ++k) {
    const uint8_t mark[10] = {0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    b.insert(b.end(), mark, mark + 10);
  }
  Zeros(b, 4);
  std::string name = "C:\\disc.cdi";
  b.push_back(static_cast<uint8_t>(name.size()));
  b.insert(b.end(), name.begin(), name.end());
  Zeros(b, 19);
  Put32(b, o.laterForms ? 0x80000000 : 0);
  if (o.laterForms) Zeros(b, 8);
  Zeros(b, 2);
  Put32(b, f.pregap);
  Put32(b, f.length);
  Zeros(b, 6);
  Put32(b, f.mode);
  Zeros(b, 12);
  Put32(b, f.startLba);
  Put32(b, f.totalLength);
  Zeros(b, 16);
  Put32(b, f.sizeCode);
  Zeros(b, 29);
  if (o.version != 0x80000004) {
    Zeros(b, 5);
    Put32(b, o.laterForms ? 0xFFFFFFFF : 0);
    if (o.laterForms) Zeros(b, 78);
  }
  return b;
}

using CdiEdit = std::function<void(size_t track, CdiTrackFields&)>;

Bytes MakeCdi(const CdiOptions& o, const CdiEdit& edit = nullptr, bool openSession = false) {
  Bytes data, header;
  Put16(header, static_cast<uint16_t>(o.sessions + (openSession ? 1 : 0)));
  size_t index = 0;
  for (int s = 1; s <= o.sessions; ++s) {
    std::vector<const FxTrack*> in;
    for (const FxTrack& t : kTracks)
      if (t.session == s) in.push_back(&t);
    Put16(header, static_cast<uint16_t>(in.size()));
    for (const FxTrack* t : in) {
      uint32_t code = t->audio ? 2 : o.dataSizeCode;
      for (int32_t lba = t->start - t->pregap; lba < t->end; ++lba) {
        Bytes sector = lba < 0 ? Bytes(kRawSize, 0) : RawSector(*t, lba);
        if (code == 0) sector = lba < 0 ? Bytes(kUserSize, 0) : UserData(lba);
        Append(data, sector);
        if (code == 4) Append(data, StoredSub(lba));
      }
      CdiTrackFields f{static_cast<uint32_t>(t->pregap), static_cast<uint32_t>(t->end - t->start),
                       t->audio ? 0u : 1u, static_cast<uint32_t>(t->start),
                       static_cast<uint32_t>(t->end - t->start + t->pregap), code};
      if (edit) edit(index, f);
      ++index;
      Append(header, CdiTrackBlock(o, f));
    }
    Zeros(header, o.version == 0x80000004 ? 12 : 13);
  }
  if (openSession) {
    Put16(header, 0);
    Zeros(header, o.version == 0x80000004 ? 12 : 13);
  }
  Zeros(header, 64);  // the disc information block that follows; not read
  uint64_t headerAt = data.size();
  Append(data, header);
  Put32(data, o.version);
  Put32(data, o.version == 0x80000006 ? static_cast<uint32_t>(data.size() + 4 - headerAt)
                                      : static_cast<uint32_t>(headerAt));
  return data;
}

struct CdiVersion {
  const char* name;
  CdiOptions options;
};

class CdiImage : public testing::TestWithParam<CdiVersion> {};

TEST_P(CdiImage, ServesTheTracksItsDescriptorDescribes) {
  TempDir dir;
  const CdiOptions& o = GetParam().options;
  Engine e(dir.Write("disc.cdi", MakeCdi(o, nullptr, true)));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  EXPECT_EQ(e.Toc(),
            (std::vector<std::pair<int, int32_t>>{{1, 0}, {2, 50}, {3, 11480}, {0xAA, 11500}}));
  uint64_t cap = 0;
  ASSERT_EQ(ImageQueryMedium(e.image(), nullptr, nullptr, &cap), kImageOk);
  EXPECT_EQ(cap, 11500u);
  EXPECT_EQ(e.Read10(0, 40), WantUser(0, 40));
  EXPECT_EQ(e.Read10(11480, 20), WantUser(11480, 20));
  EXPECT_EQ(e.ReadCd(0, 40), WantRaw(kTracks[0], 0, 40));
  EXPECT_EQ(e.ReadCd(50, 30), WantRaw(kTracks[1], 50, 30));
  // The stored pregap of the audio track is served, not silence.
  EXPECT_EQ(e.ReadCd(40, 10), WantRaw(kTracks[1], 40, 10));
  if (o.dataSizeCode == 4) {
    Bytes withSub = e.ReadCd(11480, 1, 1);
    ASSERT_EQ(withSub.size(), kRawSize + kSubchannelSize);
    EXPECT_EQ(Bytes(withSub.begin() + kRawSize, withSub.end()), StoredSub(11480));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, CdiImage,
    testing::Values(CdiVersion{"v2", {0x80000004, false, 2, 2}},
                    CdiVersion{"v3", {0x80000005, false, 2, 2}},
                    CdiVersion{"v35", {0x80000006, false, 2, 2}},
                    CdiVersion{"later", {0x80000006, true, 2, 2}},
                    CdiVersion{"user_data", {0x80000006, false, 0, 2}},
                    CdiVersion{"subchannel", {0x80000005, true, 4, 2}}),
    [](const testing::TestParamInfo<CdiVersion>& i) { return std::string(i.param.name); });

// A real ISO 9660 volume, which is what iat looks for; its sectors as mode 1 raw ones.
Bytes MakeIso(const TempDir& dir) {
  dir.Write("hello.txt", std::string("a file on a CD\n"));
  EXPECT_EQ(Tool(dir, "xorriso -as mkisofs -V RAVELCD -o volume.iso hello.txt"), 0);
  return dir.Read("volume.iso");
}
Bytes RawOfIso(const Bytes& iso) {
  Bytes raw;
  for (size_t lba = 0; lba * kUserSize < iso.size(); ++lba) {
    Bytes s(kRawSize);
    SynthesizeMode1(static_cast<int32_t>(lba),
                    std::span<const uint8_t, kUserSize>(iso.data() + lba * kUserSize, kUserSize), s.data());
    Append(raw, s);
  }
  return raw;
}

TEST(Cdi, DataTrackMatchesIat) {
  REQUIRE_TOOL("iat");
  REQUIRE_TOOL("xorriso");
  for (uint32_t code : {0u, 2u}) {
    SCOPED_TRACE(code);
    TempDir dir;
    Bytes iso = MakeIso(dir);
    uint32_t sectors = static_cast<uint32_t>(iso.size() / kUserSize);
    CdiOptions o;
    // One track of the volume, its 150-sector pregap stored before it.
    Bytes image(150 * (code == 0 ? kUserSize : kRawSize), 0);
    Append(image, code == 0 ? iso : RawOfIso(iso));
    size_t headerAt = image.size();
    Put16(image, 1);
    Put16(image, 1);
    Append(image, CdiTrackBlock(o, {150, sectors, 1, 0, sectors + 150, code}));
    Zeros(image, 13 + 64);
    Put32(image, o.version);
    Put32(image, static_cast<uint32_t>(image.size() + 4 - headerAt));
    Engine e(dir.Write("disc.cdi", image));
    ASSERT_EQ(e.error(), kImageOk) << e.message();
    ASSERT_EQ(Tool(dir, "iat disc.cdi out.iso"), 0);
    Bytes converted = dir.Read("out.iso");
    EXPECT_EQ(converted, iso);
    EXPECT_EQ(e.Read10(0, sectors), converted);
  }
}

// --- .b5t / .b6t --------------------------------------------------------------------------

void PutAt16(Bytes& b, size_t at, uint16_t v) { b[at] = static_cast<uint8_t>(v), b[at + 1] = static_cast<uint8_t>(v >> 8); }
void PutAt32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}
void PutName(Bytes& b, const std::string& name) {
  for (char c : name) b.push_back(static_cast<uint8_t>(c)), b.push_back(0);
}

struct B6tOptions {
  bool subchannel = false;  // raw sectors followed by 96 bytes of linear P-W
  bool dvd = false;         // one DVD track with a physical format and copyright structure
};

// A data block: `sectors` sectors from `start` in `file` at `offset`.
struct B6tBlock {
  bool audio;
  std::string file;
  uint32_t stride;
  uint64_t offset;
  int32_t start;
  int32_t sectors;
};
// A track entry: its type, the first sector of its pregap, the pregap and the whole length.
struct B6tTrack {
  uint8_t session, type, point;
  int32_t first;
  uint32_t pregap;
  int32_t length;
};

struct B6tImage {
  std::vector<B6tBlock> blocks;
  std::vector<B6tTrack> tracks;
  uint16_t discType = 0x08;
  Bytes dvdStructures;
};

Bytes B6tDescriptor(const B6tImage& img) {
  Bytes d(16);
  std::memcpy(d.data(), "BWT5 STREAM SIGN", 16);
  Bytes b1(112, 0);
  PutAt32(b1, 0, 2), PutAt32(b1, 4, 2), PutAt32(b1, 8, 6);
  int sessions = img.tracks.back().session;
  PutAt16(b1, 32, img.discType);
  PutAt16(b1, 34, static_cast<uint16_t>(sessions));
  bool dvd = img.discType >= 0x10;
  if (!dvd) PutAt16(b1, 86, 56);
  PutAt32(b1, 104, static_cast<uint32_t>(img.dvdStructures.size()));
  if (dvd) PutAt32(b1, 108, 56);
  Append(d, b1);
  Zeros(d, 32 + 48);
  std::string volume = "RAVELKIT";
  volume.resize(32, ' ');
  d.insert(d.end(), volume.begin(), volume.end());
  Bytes list, sess;
  Put32(list, static_cast<uint32_t>(img.blocks.size()));
  std::string drive = "E:\\";
  Put32(list, static_cast<uint32_t>(drive.size() * 2));
  PutName(list, drive);
  for (const B6tBlock& b : img.blocks) {
    Put32(list, b.audio ? 0x8000 : 0x0002);
    Put32(list, b.stride * static_cast<uint32_t>(b.sectors));
    Zeros(list, 16);
    Put32(list, static_cast<uint32_t>(b.offset));
    Zeros(list, 12);
    Put32(list, static_cast<uint32_t>(b.start));
    Put32(list, static_cast<uint32_t>(b.sectors));
    std::string name = "C:\\images\\" + b.file;
    Put32(list, static_cast<uint32_t>(name.size() * 2));
    PutName(list, name);
    Zeros(list, 4);
  }
  for (int s = 1; s <= sessions; ++s) {
    std::vector<B6tTrack> in;
    for (const B6tTrack& t : img.tracks)
      if (t.session == s) in.push_back(t);
    Put16(sess, static_cast<uint16_t>(s));
    sess.push_back(static_cast<uint8_t>(in.size() + 3));
    sess.push_back(3);
    Put32(sess, static_cast<uint32_t>(in.front().first));
    Put32(sess, static_cast<uint32_t>(in.back().first) + static_cast<uint32_t>(in.back().length));
    Put16(sess, in.front().point);
    Put16(sess, in.back().point);
    for (int k = 0; k < 3; ++k) {  // A0-A2
      Bytes e(64, 0);
      e[12] = static_cast<uint8_t>(0xA0 + k);
      Append(sess, e);
    }
    for (const B6tTrack& t : in) {
      Bytes e(64, 0);
      e[0] = t.type;
      e[10] = t.type == 1 ? 0 : 4;
      e[11] = 1;
      e[12] = t.point;
      PutAt32(e, 22, t.pregap);
      PutAt32(e, 42, static_cast<uint32_t>(t.first));
      PutAt32(e, 46, static_cast<uint32_t>(t.length));
      PutAt32(e, 58, static_cast<uint32_t>(s - 1));
      Append(sess, e);
      if (t.type != 6) Zeros(sess, 8);
    }
  }
  const uint32_t modePage = 28;
  Put32(d, modePage);
  Put32(d, 4);
  Put32(d, static_cast<uint32_t>(list.size()));
  Put32(d, static_cast<uint32_t>(sess.size()));
  Put32(d, 0);
  Zeros(d, modePage + 4);
  Append(d, img.dvdStructures);
  Zeros(d, 56);
  Append(d, list);
  Append(d, sess);
  Put32(d, static_cast<uint32_t>(d.size() + 20));
  d.insert(d.end(), {'B', 'W', 'T', '5', ' ', 'S', 'T', 'R', 'E', 'A', 'M', ' ', 'F', 'O', 'O', 'T'});
  return d;
}

// The fixture disc: tracks 1 and 2 in disc.b00 (track 1 from LBA 0, its pregap before the
// disc only declared; track 2 with its stored pregap), track 3 with its pregap in disc.b01.
B6tImage FixtureB6t(const TempDir& dir, const B6tOptions& o) {
  B6tImage img;
  uint32_t stride = o.subchannel ? kRawSize + kSubchannelSize : kRawSize;
  Bytes b00, b01;
  auto store = [&](Bytes& file, const FxTrack& t, int32_t from) {
    for (int32_t lba = from; lba < t.end; ++lba) {
      Append(file, RawSector(t, lba));
      if (o.subchannel) Append(file, StoredSub(lba));
    }
  };
  store(b00, kTracks[0], 0);
  store(b00, kTracks[1], 40);
  store(b01, kTracks[2], 11330);
  dir.Write("disc.b00", b00);
  dir.Write("disc.b01", b01);
  img.blocks = {{false, "disc.b00", stride, 0, 0, 40},
                {true, "disc.b00", stride, 40ull * stride, 40, 40},
                {false, "disc.b01", stride, 0, 11330, 170}};
  img.tracks = {{1, 2, 1, -150, 150, 190}, {1, 1, 2, 40, 10, 40}, {2, 2, 3, 11330, 150, 170}};
  return img;
}

std::string WriteB6t(const TempDir& dir, const B6tOptions& o, const char* name = "disc.b6t") {
  return dir.Write(name, B6tDescriptor(FixtureB6t(dir, o)));
}

TEST(B6t, ServesTheTracksOfItsDataFiles) {
  for (bool sub : {false, true}) {
    for (const char* name : {"disc.b6t", "disc.b5t"}) {
      SCOPED_TRACE(std::string(name) + (sub ? " with sub-channel" : ""));
      TempDir dir;
      Engine e(WriteB6t(dir, {sub, false}, name));
      ASSERT_EQ(e.error(), kImageOk) << e.message();
      EXPECT_EQ(e.Toc(),
                (std::vector<std::pair<int, int32_t>>{{1, 0}, {2, 50}, {3, 11480}, {0xAA, 11500}}));
      EXPECT_EQ(e.Read10(0, 40), WantUser(0, 40));
      EXPECT_EQ(e.ReadCd(40, 40), WantRaw(kTracks[1], 40, 40));
      EXPECT_EQ(e.ReadCd(11330, 170), WantRaw(kTracks[2], 11330, 170));
      EXPECT_EQ(e.Read10(11480, 20), WantUser(11480, 20));
      if (sub) {
        // Stored linear P-W, served interleaved.
        Bytes got = e.ReadCd(11480, 1, 1);
        ASSERT_EQ(got.size(), kRawSize + kSubchannelSize);
        Bytes raw(kSubchannelSize);
        InterleaveSubchannel(StoredSub(11480).data(), raw.data());
        EXPECT_EQ(Bytes(got.begin() + kRawSize, got.end()), raw);
      }
    }
  }
}

TEST(B6t, DvdKeepsItsLayersProtectionAndRegions) {
  TempDir dir;
  B6tImage img;
  img.discType = 0x10;
  Bytes iso;
  for (int32_t lba = 0; lba < 64; ++lba) Append(iso, UserData(lba));
  dir.Write("dvd.b00", iso);
  img.blocks = {{false, "dvd.b00", kUserSize, 0, 0, 64}};
  img.tracks = {{1, 6, 1, 0, 0, 64}};
  // Physical format (book type DVD-ROM, two layers) and copyright (CSS, regions 2-8 barred).
  Bytes& s = img.dvdStructures;
  Zeros(s, 2);
  Put16(s, 0x00);
  s.push_back(0x08), s.push_back(0x02), Zeros(s, 2);
  Bytes physical(2048, 0);
  physical[0] = 0x01, physical[2] = 0x20;
  Append(s, physical);
  Put16(s, 0x01);
  s.push_back(0x00), s.push_back(0x06), Zeros(s, 2);
  s.push_back(0x01), s.push_back(0xFE), Zeros(s, 2);
  Engine e(dir.Write("dvd.b6t", B6tDescriptor(img)));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  uint32_t d = 0;
  uint64_t cap = 0;
  ASSERT_EQ(ImageQueryMedium(e.image(), &d, nullptr, &cap), kImageOk);
  EXPECT_EQ(d & kMediumClassMask, kMediumDvdRom);
  EXPECT_EQ(cap, 64u);
  EXPECT_EQ((d & kMediumLayersMask) >> kMediumLayersShift, 1u);
  EXPECT_EQ(d & kMediumCopyProtectionMask, kMediumCss);
  EXPECT_EQ(d >> kMediumRegionShift, 0xFEu);
  EXPECT_EQ(e.Read10(0, 64), iso);
}

TEST(B6t, DataFileMatchesIat) {
  REQUIRE_TOOL("iat");
  REQUIRE_TOOL("xorriso");
  TempDir dir;
  Bytes iso = MakeIso(dir);
  int32_t sectors = static_cast<int32_t>(iso.size() / kUserSize);
  dir.Write("disc.b00", RawOfIso(iso));
  B6tImage img;
  img.blocks = {{false, "disc.b00", kRawSize, 0, 0, sectors}};
  img.tracks = {{1, 2, 1, -150, 150, sectors + 150}};
  Engine e(dir.Write("disc.b6t", B6tDescriptor(img)));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  ASSERT_EQ(Tool(dir, "iat disc.b00 out.iso"), 0);
  Bytes converted = dir.Read("out.iso");
  EXPECT_EQ(converted, iso);
  EXPECT_EQ(e.Read10(0, static_cast<uint32_t>(sectors)), converted);
}

// --- .bwt ---------------------------------------------------------------------------------

void PutString(Bytes& b, const std::string& s) {
  Put32(b, static_cast<uint32_t>(s.size()));
  b.insert(b.end(), s.begin(), s.end());
}

// A TOC entry: the file offset of its first stored sector (the pregap's), session, mode,
// point, last sector, pregap start (0: none) and start.
struct BwtEntry {
  uint32_t offset;
  uint8_t session, mode, point;
  uint32_t lastSector;
  int32_t pregapStart, start;
  std::string file;
};

Bytes BwtDescriptor(const std::vector<BwtEntry>& entries, const std::string& dataFile = "C:\\images\\disc.bwi") {
  Bytes d;
  const std::string sig = "BLINDWRITE TOC FILE";
  d.insert(d.end(), sig.begin(), sig.end());
  Put32(d, 2);
  Zeros(d, 8);
  PutString(d, "RAVELKIT");
  PutString(d, "");
  PutString(d, "a comment");
  Put32(d, static_cast<uint32_t>(entries.size() + 1));
  PutString(d, dataFile);
  PutString(d, "C:\\images\\disc.bws");
  Put32(d, 0);
  d.push_back(3), Zeros(d, 3);
  auto entry = [&](const BwtEntry& e) {
    PutString(d, e.file);
    Put32(d, e.offset);
    Zeros(d, 1 + 3 + 4 + 1);
    d.push_back(e.session);
    Zeros(d, 1);
    d.push_back(static_cast<uint8_t>(0x10 | (e.mode == 0 ? 0 : 4)));
    Zeros(d, 1);
    d.push_back(e.mode);
    Zeros(d, 1);
    d.push_back(e.point);
    Zeros(d, 18);
    Put32(d, e.lastSector);
    Zeros(d, 1);
    Put32(d, static_cast<uint32_t>(e.pregapStart));
    Put32(d, static_cast<uint32_t>(e.start));
    Zeros(d, 8);
    for (int k = 0; k < 15; ++k) PutString(d, k == 0 ? "a title" : "");
  };
  entry({0, 1, 0, 0xA0, 0, 0, 0, ""});  // a lead-in point, which carries no track
  for (const BwtEntry& e : entries) entry(e);
  return d;
}

// The fixture disc in disc.bwi: track 1 from LBA 0, track 2 with its stored pregap, then
// track 3 with its pregap.
std::vector<BwtEntry> FixtureBwt(const TempDir& dir) {
  Bytes bwi;
  for (const FxTrack& t : kTracks)
    for (int32_t lba = std::max(0, t.start - t.pregap); lba < t.end; ++lba) Append(bwi, RawSector(t, lba));
  dir.Write("disc.bwi", bwi);
  return {{0, 1, 1, 1, 39, 0, 0, ""},
          {40 * kRawSize, 1, 0, 2, 79, 40, 50, ""},
          {80 * kRawSize, 2, 1, 3, 11499, 11330, 11480, ""}};
}

TEST(Bwt, ServesTheTracksOfItsDataFile) {
  TempDir dir;
  Engine e(dir.Write("disc.bwt", BwtDescriptor(FixtureBwt(dir))));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  EXPECT_EQ(e.Toc(),
            (std::vector<std::pair<int, int32_t>>{{1, 0}, {2, 50}, {3, 11480}, {0xAA, 11500}}));
  EXPECT_EQ(e.Read10(0, 40), WantUser(0, 40));
  EXPECT_EQ(e.ReadCd(40, 40), WantRaw(kTracks[1], 40, 40));
  EXPECT_EQ(e.ReadCd(11330, 170), WantRaw(kTracks[2], 11330, 170));
}

TEST(Bwt, DataFileMatchesIat) {
  REQUIRE_TOOL("iat");
  REQUIRE_TOOL("xorriso");
  TempDir dir;
  Bytes iso = MakeIso(dir);
  uint32_t sectors = static_cast<uint32_t>(iso.size() / kUserSize);
  dir.Write("disc.bwi", RawOfIso(iso));
  Engine e(dir.Write("disc.bwt", BwtDescriptor({{0, 1, 1, 1, sectors - 1, 0, 0, ""}})));
  ASSERT_EQ(e.error(), kImageOk) << e.message();
  ASSERT_EQ(Tool(dir, "iat disc.bwi out.iso"), 0);
  Bytes converted = dir.Read("out.iso");
  EXPECT_EQ(converted, iso);
  EXPECT_EQ(e.Read10(0, sectors), converted);
}

// --- Damaged and hostile images -----------------------------------------------------------

struct Refusal {
  const char* name;
  std::function<Bytes(const TempDir&)> make;
  const char* error;
};

void ExpectRefused(const char* file, const std::vector<Refusal>& cases) {
  for (const Refusal& c : cases) {
    TempDir dir;
    Engine e(dir.Write(file, c.make(dir)));
    EXPECT_NE(e.error(), kImageOk) << c.name;
    EXPECT_EQ(e.image(), nullptr) << c.name;
    EXPECT_NE(e.message().find(c.error), std::string::npos) << c.name << " -> " << e.message();
  }
}

TEST(Refused, CdiWithTheReason) {
  auto field = [](size_t track, std::function<void(CdiTrackFields&)> f) {
    return [=](const TempDir&) {
      return MakeCdi({}, [=](size_t i, CdiTrackFields& fields) {
        if (i == track) f(fields);
      });
    };
  };
  auto patched = [](std::function<void(Bytes&)> f) {
    return [=](const TempDir&) {
      Bytes b = MakeCdi({});
      f(b);
      return b;
    };
  };
  auto footer = [](uint32_t version, uint32_t offset) {
    return [=](const TempDir&) {
      Bytes b = MakeCdi({});
      std::memcpy(b.data() + b.size() - 8, &version, 4);
      std::memcpy(b.data() + b.size() - 4, &offset, 4);
      return b;
    };
  };
  ExpectRefused(
      "disc.cdi",
      {
          {"an ISO named .cdi", [](const TempDir&) { return Bytes(40 * kUserSize, 0); }, "not a CDI image"},
          {"shorter than the footer", [](const TempDir&) { return Bytes(5, 1); }, "not a CDI image"},
          {"offset past the end", footer(0x80000005, 0xFFFFFF00), "lies outside the image"},
          {"offset from the end past the start", footer(0x80000006, 0xFFFFFF00),
           "lies outside the image"},
          {"offset into the footer", footer(0x80000006, 4), "lies outside the image"},
          {"no session", patched([](Bytes& b) {
             uint32_t off;
             std::memcpy(&off, b.data() + b.size() - 4, 4);
             b[b.size() - off] = 0, b[b.size() - off + 1] = 0;
           }),
           "session count 0"},
          {"truncated descriptor", patched([](Bytes& b) {
             uint32_t off;
             std::memcpy(&off, b.data() + b.size() - 4, 4);
             Bytes tail(b.end() - 8, b.end());
             b.resize(b.size() - off + 60);  // the descriptor cut inside track 1's block
             uint32_t newOff = 60 + 8;
             std::memcpy(tail.data() + 4, &newOff, 4);
             Append(b, tail);
           }),
           "descriptor ends inside a track or session block"},
          {"start mark missing", patched([](Bytes& b) {
             uint32_t off;
             std::memcpy(&off, b.data() + b.size() - 4, 4);
             b[b.size() - off + 4 + 4 + 2] = 7;
           }),
           "track 1: the track block's start mark is missing"},
          {"unknown mode", field(0, [](CdiTrackFields& f) { f.mode = 5; }), "track 1 has unknown mode 5"},
          {"unknown sector size", field(1, [](CdiTrackFields& f) { f.sizeCode = 9; }),
           "track 2 has unknown sector size code 9"},
          {"audio as user data", field(1, [](CdiTrackFields& f) { f.sizeCode = 0; }),
           "track 2: audio sectors must be 2352 bytes"},
          {"absurd length", field(2, [](CdiTrackFields& f) { f.length = 0xFFFFFFF0; }),
           "track 3 lies outside the disc"},
          {"stored length disagrees", field(0, [](CdiTrackFields& f) { f.totalLength += 5; }),
           "track 1: stored length 195 is not the pregap and body (150 + 40)"},
          {"more sectors than the file holds",
           field(2, [](CdiTrackFields& f) {
             f.length = 120000;
             f.totalLength = 120150;
           }),
           "track 3 needs 120150 sectors but 'disc.cdi' holds 170"},
          {"tracks overlap", field(1, [](CdiTrackFields& f) { f.startLba = 30; }),
           "track 2 overlaps the track before it"},
          {"later pregap before the disc", field(1, [](CdiTrackFields& f) {
             f.startLba = 5;
             f.pregap = 10;
           }),
           "pregap reaches before the disc"},
      });
}

TEST(Refused, B6tWithTheReason) {
  auto edited = [](std::function<void(const TempDir&, B6tImage&)> f) {
    return [=](const TempDir& dir) {
      B6tImage img = FixtureB6t(dir, {});
      f(dir, img);
      return B6tDescriptor(img);
    };
  };
  auto bytes = [](std::function<void(Bytes&)> f) {
    return [=](const TempDir& dir) {
      Bytes b = B6tDescriptor(FixtureB6t(dir, {}));
      f(b);
      return b;
    };
  };
  ExpectRefused(
      "disc.b6t",
      {
          {"an ISO named .b6t", [](const TempDir&) { return Bytes(40 * kUserSize, 0); },
           "not a .b5t/.b6t descriptor: signature missing"},
          {"medium type", edited([](const TempDir&, B6tImage& i) { i.discType = 0x40; }),
           "medium type 0x40 is not supported"},
          {"session count", bytes([](Bytes& b) { PutAt16(b, 16 + 34, 0); }), "session count 0"},
          {"cut in the data block list", bytes([](Bytes& b) { b.resize(16 + 112 + 112 + 20 + 32 + 56 + 30); }),
           "descriptor ends inside its data block list"},
          {"absurd mode page length", bytes([](Bytes& b) { PutAt32(b, 16 + 112 + 112, 0xFFFFFFF0); }),
           "descriptor ends inside its drive and disc blocks"},
          {"footer missing", bytes([](Bytes& b) { b.back() = 'X'; }), "descriptor footer missing"},
          {"missing data file", [](const TempDir& dir) {
             Bytes b = B6tDescriptor(FixtureB6t(dir, {}));
             std::filesystem::remove(dir.Path("disc.b01"));
             return b;
           },
           "cannot open data file 'disc.b01'"},
          {"data file too short", [](const TempDir& dir) {
             Bytes b = B6tDescriptor(FixtureB6t(dir, {}));
             std::filesystem::resize_file(dir.Path("disc.b01"), 100 * kRawSize + 7);
             return b;
           },
           "track 3 needs 170 sectors but 'disc.b01' holds 100"},
          {"absurd block length", edited([](const TempDir&, B6tImage& i) { i.blocks[2].sectors = 0x7FFFFFFF; }),
           "data block 3 of 'disc.b01' lies outside the disc"},
          {"odd sector size", edited([](const TempDir&, B6tImage& i) { i.blocks[0].stride = 2000; }),
           "track 1 has unsupported sector size 2000"},
          {"audio block for a data track", edited([](const TempDir&, B6tImage& i) { i.blocks[0].audio = true; }),
           "track 1: its data block holds audio sectors"},
          {"absurd track length", edited([](const TempDir&, B6tImage& i) { i.tracks[2].length = 0x7FFFFFF0; }),
           "track 3 lies outside the disc"},
          {"unknown track type", edited([](const TempDir&, B6tImage& i) { i.tracks[1].type = 9; }),
           "track 2 has unknown type 9"},
          {"tracks out of order", edited([](const TempDir&, B6tImage& i) { i.tracks[1].point = 5; }),
           "track 5 does not follow the track before it"},
          {"tracks overlap", edited([](const TempDir&, B6tImage& i) { i.tracks[1].first = 20; }),
           "track 2 overlaps the track before it"},
      });
}

TEST(Refused, BwtWithTheReason) {
  auto edited = [](std::function<void(std::vector<BwtEntry>&)> f) {
    return [=](const TempDir& dir) {
      auto entries = FixtureBwt(dir);
      f(entries);
      return BwtDescriptor(entries);
    };
  };
  auto bytes = [](std::function<void(Bytes&)> f) {
    return [=](const TempDir& dir) {
      Bytes b = BwtDescriptor(FixtureBwt(dir));
      f(b);
      return b;
    };
  };
  ExpectRefused(
      "disc.bwt",
      {
          {"an ISO named .bwt", [](const TempDir&) { return Bytes(40 * kUserSize, 0); },
           "not a .bwt descriptor: signature missing"},
          {"entry count", bytes([](Bytes& b) { PutAt32(b, 19 + 12 + 12 + 4 + 13, 0); }),
           "TOC entry count 0 is out of range"},
          {"absurd string length", bytes([](Bytes& b) { PutAt32(b, 19 + 12, 0x7FFFFFFF); }),
           "header holds a string of 2147483647 bytes"},
          {"cut inside an entry", bytes([](Bytes& b) { b.resize(b.size() - 100); }),
           "descriptor ends inside its TOC entry 4"},
          {"missing data file", [](const TempDir& dir) {
             return BwtDescriptor(FixtureBwt(dir), "disc.xyz");
           },
           "cannot open data file 'disc.xyz'"},
          {"data file too short", [](const TempDir& dir) {
             Bytes b = BwtDescriptor(FixtureBwt(dir));
             std::filesystem::resize_file(dir.Path("disc.bwi"), 150 * kRawSize);
             return b;
           },
           "track 3 needs 170 sectors but 'disc.bwi' holds 70"},
          {"unknown mode", edited([](auto& e) { e[1].mode = 7; }), "track 2 has unknown mode 7"},
          {"absurd last sector", edited([](auto& e) { e[2].lastSector = 0xFFFFFFF0; }),
           "track 3 lies outside the disc"},
          {"pregap after the start", edited([](auto& e) { e[1].pregapStart = 60; }),
           "track 2 lies outside the disc"},
          {"tracks overlap", edited([](auto& e) { e[1].pregapStart = 30; }),
           "track 2 overlaps the track before it"},
          {"tracks out of order", edited([](auto& e) { e[1].point = 7; }),
           "track 7 does not follow the track before it"},
      });
}

}  // namespace
}  // namespace ravelkit
