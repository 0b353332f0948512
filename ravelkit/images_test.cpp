// CDI images: each test writes a small image of a known disc, opens it through the
// engine's entry points and checks what the engine serves against the sectors it was made
// from and, where Debian has one, against an independent reader; damaged and hostile
// images are refused with their reason.
#include <gtest/gtest.h>

#include <cstring>
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

}  // namespace
}  // namespace ravelkit
