#include <bzlib.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

#include "ravelkit/isz.h"
#include "ravelkit/ravelkit.h"
#include "ravelkit/test_support.h"

namespace ravelkit {
namespace {

using test_support::TempDir;

// --- A small writer, built from the format description rather than from the reader -------

struct IszOptions {
  uint32_t chunkSize = 64 * 1024;
  uint8_t pointerLength = 3;
  // Kind wanted for chunk i; a chunk that does not shrink is stored, a zero kind is used
  // only for chunks that are all zeros.
  std::function<IszChunk(uint32_t)> kind = [](uint32_t) { return IszChunk::kZlib; };
  IszProtection protection = IszProtection::kNone;
  std::string password;
  // Bytes of chunk data in every segment file but the last; 0: a single file.
  uint64_t segmentData = 0;
  bool chunkTable = true;
  uint32_t volumeSerial = 0x1234ABCD;
};

std::vector<uint8_t> Compress(IszChunk kind, const std::vector<uint8_t>& plain) {
  std::vector<uint8_t> out(plain.size() * 2 + 1024);
  if (kind == IszChunk::kZlib) {
    uLongf n = out.size();
    EXPECT_EQ(compress2(out.data(), &n, plain.data(), plain.size(), 9), Z_OK);
    out.resize(n);
  } else {
    unsigned n = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &n,
                                       reinterpret_cast<char*>(const_cast<uint8_t*>(plain.data())),
                                       static_cast<unsigned>(plain.size()), 9, 0, 0),
              BZ_OK);
    out.resize(n);
    std::memset(out.data(), 0, 3);  // written without its stream signature
  }
  return out;
}

void Encrypt(IszProtection p, const uint8_t* key, uint32_t chunk, std::vector<uint8_t>& data) {
  const EVP_CIPHER* c = p == IszProtection::kAes128   ? EVP_aes_128_ctr()
                        : p == IszProtection::kAes192 ? EVP_aes_192_ctr()
                                                      : EVP_aes_256_ctr();
  uint8_t iv[16] = {};
  for (int b = 0; b < 8; ++b) iv[b] = static_cast<uint8_t>(uint64_t{chunk} >> (56 - 8 * b));
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, c, nullptr, key, iv), 1);
  ASSERT_EQ(EVP_EncryptUpdate(ctx, data.data(), &n, data.data(), static_cast<int>(data.size())), 1);
  EVP_CIPHER_CTX_free(ctx);
}

void Mask(std::vector<uint8_t>& table) {
  for (size_t i = 0; i < table.size(); ++i) table[i] ^= kIszTableKey[i % 4];
}

template <typename T>
void Put(std::vector<uint8_t>& out, size_t at, T v) {
  std::memcpy(out.data() + at, &v, sizeof(v));
}

// Returns the files of the image: [0] is the .isz, [i] the .i0i.
std::vector<std::vector<uint8_t>> WriteIsz(const std::vector<uint8_t>& image, const IszOptions& o) {
  uint8_t material[32] = {};
  if (o.protection != IszProtection::kNone) IszKeyMaterial(o.volumeSerial, o.password, material);
  bool encrypted = o.protection >= IszProtection::kAes128;

  std::vector<uint8_t> data, table;
  uint32_t chunks = static_cast<uint32_t>((image.size() + o.chunkSize - 1) / o.chunkSize);
  std::vector<uint32_t> chunkEnds;  // end of each chunk in `data`
  for (uint32_t i = 0; i < chunks; ++i) {
    size_t from = size_t{i} * o.chunkSize;
    std::vector<uint8_t> plain(image.begin() + static_cast<ptrdiff_t>(from),
                               image.begin() + static_cast<ptrdiff_t>(std::min(image.size(), from + o.chunkSize)));
    IszChunk kind = o.kind(i);
    std::vector<uint8_t> stored;
    if (kind == IszChunk::kZero && std::all_of(plain.begin(), plain.end(), [](uint8_t b) { return b == 0; })) {
      // nothing stored; the pointer carries the uncompressed size
    } else {
      if (kind == IszChunk::kZero) kind = IszChunk::kStored;
      stored = kind == IszChunk::kStored ? plain : Compress(kind, plain);
      if (stored.size() >= plain.size()) kind = IszChunk::kStored, stored = plain;
    }
    if (encrypted && !stored.empty()) Encrypt(o.protection, material, i, stored);
    uint64_t length = kind == IszChunk::kZero ? plain.size() : stored.size();
    uint64_t entry = uint64_t{static_cast<uint8_t>(kind)} << (8 * o.pointerLength - 2) | length;
    for (int b = 0; b < o.pointerLength; ++b) table.push_back(static_cast<uint8_t>(entry >> (8 * b)));
    data.insert(data.end(), stored.begin(), stored.end());
    chunkEnds.push_back(static_cast<uint32_t>(data.size()));
  }
  if (!o.chunkTable) data = image, table.clear();
  Mask(table);

  auto header = [&](uint8_t segment, uint32_t tableAt, uint32_t segmentsAt, uint32_t dataAt) {
    std::vector<uint8_t> h(sizeof(IszHeader), 0);
    std::memcpy(h.data(), "IsZ!", 4);
    h[offsetof(IszHeader, headerSize)] = sizeof(IszHeader);
    h[offsetof(IszHeader, version)] = 1;
    Put(h, offsetof(IszHeader, volumeSerial), o.volumeSerial);
    Put(h, offsetof(IszHeader, sectorSize), uint16_t{2048});
    Put(h, offsetof(IszHeader, totalSectors), static_cast<uint32_t>(image.size() / 2048));
    h[offsetof(IszHeader, protection)] = static_cast<uint8_t>(o.protection);
    Put(h, offsetof(IszHeader, segmentSize), static_cast<int64_t>(o.segmentData));
    Put(h, offsetof(IszHeader, chunkCount), o.chunkTable ? chunks : 0u);
    Put(h, offsetof(IszHeader, chunkSize), o.chunkSize);
    h[offsetof(IszHeader, pointerLength)] = o.pointerLength;
    h[offsetof(IszHeader, segmentNumber)] = segment;
    Put(h, offsetof(IszHeader, chunkTableOffset), tableAt);
    Put(h, offsetof(IszHeader, segmentTableOffset), segmentsAt);
    Put(h, offsetof(IszHeader, dataOffset), dataAt);
    Put(h, offsetof(IszHeader, storedBytes), static_cast<uint32_t>(data.size()));
    if (o.protection != IszProtection::kNone)
      Put(h, offsetof(IszHeader, passwordCheck), IszPasswordCheck(material));
    return h;
  };

  std::vector<std::vector<uint8_t>> parts;  // chunk data per file
  if (o.segmentData == 0) {
    parts.push_back(data);
  } else {
    for (size_t at = 0; at < data.size(); at += o.segmentData)
      parts.emplace_back(data.begin() + static_cast<ptrdiff_t>(at),
                         data.begin() + static_cast<ptrdiff_t>(std::min(data.size(), at + o.segmentData)));
  }
  uint32_t segmentTable = o.segmentData == 0 ? 0 : static_cast<uint32_t>(sizeof(IszHeader));
  uint32_t segmentTableBytes =
      o.segmentData == 0 ? 0 : static_cast<uint32_t>((parts.size() + 1) * kIszSegmentEntrySize);
  uint32_t tableAt = o.chunkTable ? static_cast<uint32_t>(sizeof(IszHeader)) + segmentTableBytes : 0;
  uint32_t dataAt = static_cast<uint32_t>(sizeof(IszHeader)) + segmentTableBytes +
                    static_cast<uint32_t>(table.size());

  std::vector<std::vector<uint8_t>> files;
  for (size_t s = 0; s < parts.size(); ++s) {
    std::vector<uint8_t> f = s == 0 ? header(0, tableAt, segmentTable, dataAt)
                                    : header(static_cast<uint8_t>(s), 0, 0, sizeof(IszHeader));
    if (s == 0) {
      f.resize(dataAt);
      std::copy(table.begin(), table.end(), f.begin() + (dataAt - table.size()));
    }
    f.insert(f.end(), parts[s].begin(), parts[s].end());
    files.push_back(std::move(f));
  }
  if (o.segmentData != 0) {
    // Segment entries: size, chunks starting in the file, the first one's number, its
    // offset, and how much of the file's last chunk runs on into the next file.
    std::vector<uint8_t> st(segmentTableBytes, 0);
    uint32_t chunk = 0;
    for (size_t s = 0; s < parts.size(); ++s) {
      uint64_t begin = s * o.segmentData, end = begin + parts[s].size();
      uint32_t first = chunk;
      while (chunk < chunks && (chunk == 0 ? 0 : chunkEnds[chunk - 1]) < end) ++chunk;
      uint32_t left = chunk > 0 && chunkEnds[chunk - 1] > end ? chunkEnds[chunk - 1] - static_cast<uint32_t>(end) : 0;
      size_t e = s * kIszSegmentEntrySize;
      Put(st, e, static_cast<int64_t>(files[s].size()));
      Put(st, e + 8, chunk - first);
      Put(st, e + 12, first);
      Put(st, e + 16, s == 0 ? dataAt : static_cast<uint32_t>(sizeof(IszHeader)));
      Put(st, e + 20, left);
    }
    Mask(st);
    std::copy(st.begin(), st.end(), files[0].begin() + segmentTable);
  }
  return files;
}

// Sectors of text, noise and zeros, so every chunk kind gets used.
std::vector<uint8_t> SourceImage(size_t sectors) {
  std::vector<uint8_t> v(sectors * kUserSize);
  std::mt19937 rng(7);
  for (size_t s = 0; s < sectors; ++s) {
    uint8_t* p = v.data() + s * kUserSize;
    switch ((s / 32) % 3) {
      case 0:
        for (size_t i = 0; i < kUserSize; ++i) p[i] = static_cast<uint8_t>("sector text "[i % 12] + s % 7);
        break;
      case 1:
        for (size_t i = 0; i < kUserSize; ++i) p[i] = static_cast<uint8_t>(rng());
        break;
      default:
        break;  // zeros
    }
  }
  return v;
}

// Writes disc.isz, disc.i01, ... in `dir` and returns the first path.
std::string WriteAll(const test_support::TempDir& dir, const std::vector<std::vector<uint8_t>>& files,
                     const std::string& stem = "disc") {
  for (size_t i = 0; i < files.size(); ++i) {
    std::string ext = i == 0 ? ".isz" : (i < 10 ? ".i0" : ".i") + std::to_string(i);
    dir.Write(stem + ext, files[i]);
  }
  return dir.Path(stem + ".isz");
}

// Enough UTF-8 decoding for the test's passwords (up to three-byte sequences).
std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    auto b = static_cast<unsigned char>(utf8[i]);
    int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : 2;
    char16_t c = static_cast<char16_t>(extra == 0 ? b : extra == 1 ? b & 0x1F : b & 0x0F);
    for (int k = 1; k <= extra; ++k)
      c = static_cast<char16_t>(c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F));
    out.push_back(c);
    i += 1 + extra;
  }
  return out;
}

uint32_t Open(const std::string& path, const char16_t* password, ImageHandle* out) {
  std::u16string names(path.begin(), path.end());
  names.push_back(0);
  if (password != nullptr) names += password, names.push_back(0);
  return ImageOpen(0, names.c_str(), password ? 3 : 1, 0, 0, 0, 0, nullptr, out, 0);
}

struct Read {
  std::vector<uint8_t> data;
  bool check = false;
  uint8_t key = 0, asc = 0;
};

Read ReadAll(ImageHandle image, uint32_t lba, uint32_t count) {
  const test_support::Bytes cdb = {0xA8, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
                              static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba),
                              static_cast<uint8_t>(count >> 24), static_cast<uint8_t>(count >> 16),
                              static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0, 0};
  test_support::Outcome o = test_support::Execute(image, cdb, count * kUserSize);
  Read r;
  r.data = std::move(o.data);
  r.data.resize(size_t{count} * kUserSize);
  r.check = o.check;
  r.key = o.key, r.asc = o.asc;
  return r;
}

// --- Round trips ------------------------------------------------------------------------

TEST(Isz, EveryStorageFormReadsBackBitExact) {
  const std::vector<uint8_t> image = SourceImage(300);  // 9 full chunks and one of 12 sectors
  struct Case {
    const char* name;
    IszOptions options;
  } cases[] = {
      {"stored", {.kind = [](uint32_t) { return IszChunk::kStored; }}},
      {"zlib", {}},
      {"bzip2", {.kind = [](uint32_t) { return IszChunk::kBzip2; }}},
      {"mixed with zero chunks, 4-byte pointers",
       {.pointerLength = 4,
        .kind = [](uint32_t i) { return i % 3 == 2 ? IszChunk::kZero : i % 2 ? IszChunk::kBzip2 : IszChunk::kZlib; }}},
      {"no chunk table", {.chunkTable = false}},
      // 70,000 bytes of chunk data per file: chunks straddle the cuts.
      {"three segments", {.segmentData = 70000}},
      {"password only", {.protection = IszProtection::kPassword, .password = "open sesame"}},
      {"AES-128", {.protection = IszProtection::kAes128, .password = "open sesame"}},
      {"AES-192 bzip2",
       {.kind = [](uint32_t) { return IszChunk::kBzip2; }, .protection = IszProtection::kAes192, .password = "x"}},
      {"AES-256 segmented", {.protection = IszProtection::kAes256, .password = "pässwörd", .segmentData = 70000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto files = WriteIsz(image, c.options);
    if (c.options.segmentData != 0) {
      ASSERT_GE(files.size(), 3u);
    }
    std::string path = WriteAll(dir, files);
    std::u16string pw = Utf16(c.options.password);
    ImageHandle image0 = nullptr;
    ASSERT_EQ(Open(path, c.options.password.empty() ? nullptr : pw.c_str(), &image0), kImageOk)
        << ImageLastError();
    uint32_t desc = 0;
    uint64_t cap = 0;
    ASSERT_EQ(ImageQueryMedium(image0, &desc, nullptr, &cap), kImageOk);
    EXPECT_EQ(cap, 300u);
    EXPECT_EQ(desc, kMediumCdRom | kMediumCdbForm);
    Read all = ReadAll(image0, 0, 300);
    EXPECT_FALSE(all.check);
    EXPECT_TRUE(all.data == image);
    // Backwards, one sector at a time: every chunk is decoded again from scratch.
    for (uint32_t lba = 299; lba < 300; lba -= 37) {
      Read one = ReadAll(image0, lba, 1);
      ASSERT_FALSE(one.check) << lba;
      EXPECT_EQ(std::memcmp(one.data.data(), image.data() + size_t{lba} * kUserSize, kUserSize), 0) << lba;
    }
    ImageClose(image0, 0);
  }
}

TEST(Isz, ProtectedImageAsksForThePasswordAndTellsAWrongOne) {
  TempDir dir;
  IszOptions o{.protection = IszProtection::kAes256, .password = "right"};
  std::string path = WriteAll(dir, WriteIsz(SourceImage(40), o));
  ImageHandle image = nullptr;
  EXPECT_EQ(Open(path, nullptr, &image), kImagePasswordNeeded);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(Open(path, u"wrong", &image), kImageWrongPassword);
  EXPECT_EQ(Open(path, u"", &image), kImageWrongPassword);
  EXPECT_EQ(Open(path, u"Right", &image), kImageWrongPassword);
  ASSERT_EQ(Open(path, u"right", &image), kImageOk) << ImageLastError();
  EXPECT_EQ(ReadAll(image, 0, 40).data, SourceImage(40));
  ImageClose(image, 0);
  // An unprotected image ignores a password.
  std::string plain = WriteAll(dir, WriteIsz(SourceImage(40), {}), "plain");
  ASSERT_EQ(Open(plain, u"anything", &image), kImageOk);
  ImageClose(image, 0);
}

// --- Hostile files ----------------------------------------------------------------------

TEST(Isz, SegmentsAreFoundInTheCaseOfTheFirstFilesExtension) {
  const std::vector<uint8_t> image = SourceImage(100);
  auto files = WriteIsz(image, {.segmentData = 40000});
  ASSERT_GE(files.size(), 2u);
  TempDir dir;
  dir.Write("DISC.ISZ", files[0]);
  for (size_t i = 1; i < files.size(); ++i) dir.Write("DISC.I0" + std::to_string(i), files[i]);
  ImageHandle h = nullptr;
  ASSERT_EQ(Open(dir.Path("DISC.ISZ"), nullptr, &h), kImageOk) << ImageLastError();
  Read all = ReadAll(h, 0, 100);
  EXPECT_FALSE(all.check);
  EXPECT_TRUE(all.data == image);
  ImageClose(h, 0);
}

TEST(Isz, DamagedHeadersAndTablesAreRefusedAtOpenWithTheReason) {
  const std::vector<uint8_t> image = SourceImage(100);
  auto edit = [&](std::function<void(std::vector<std::vector<uint8_t>>&)> change, IszOptions o = {}) {
    auto files = WriteIsz(image, o);
    change(files);
    return files;
  };
  auto header = [](std::vector<uint8_t>& f, size_t at, auto v) { Put(f, at, v); };
  auto pointer = [](std::vector<uint8_t>& f, uint32_t chunk, uint32_t value) {
    // Rewrites one 3-byte chunk pointer of a single-file image, masked.
    size_t at = sizeof(IszHeader) + size_t{chunk} * 3;
    for (int b = 0; b < 3; ++b) f[at + b] = static_cast<uint8_t>(value >> (8 * b)) ^ kIszTableKey[(chunk * 3 + b) % 4];
  };
  IszOptions split{.segmentData = 40000};
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> files;
    const char* error;
  } cases[] = {
      {"cut inside the header", edit([](auto& f) { f[0].resize(30); }), "no IsZ! header"},
      {"wrong signature", edit([](auto& f) { f[0][3] = '?'; }), "no IsZ! header"},
      {"header size past the end", edit([](auto& f) { f[0].resize(60); }), "header size"},
      {"raw sectors", edit([&](auto& f) { header(f[0], 10, uint16_t{2352}); }), "sector size 2352"},
      {"no sectors", edit([&](auto& f) { header(f[0], 12, uint32_t{0}); }), "no sectors"},
      {"chunk count off by one", edit([&](auto& f) { header(f[0], 25, uint32_t{3}); }), "chunks do not hold"},
      {"huge chunk size", edit([&](auto& f) { header(f[0], 29, uint32_t{1u << 30}); }), "chunk size"},
      {"pointer width 0", edit([](auto& f) { f[0][33] = 0; }), "chunk pointers of 0"},
      {"table past the end", edit([&](auto& f) { header(f[0], 35, uint32_t{0xFFFFFF00}); }), "chunk table runs past"},
      {"chunk longer than a chunk", edit([&](auto& f) { pointer(f[0], 0, 2u << 22 | 70000); }), "stored length of 70000"},
      {"stored chunk of the wrong size", edit([&](auto& f) { pointer(f[0], 1, 1u << 22 | 100); }), "stored length of 100"},
      {"data cut short", edit([](auto& f) { f[0].resize(f[0].size() - 1); }), "chunk data runs past"},
      {"data offset past the end", edit([&](auto& f) { header(f[0], 43, uint32_t{0x7FFFFFFF}); }), "data offset"},
      {"a later segment given first", edit([](auto& f) { f[0][34] = 2; }), "not the first file"},
      {"unknown protection", edit([](auto& f) { f[0][16] = 9; }), "unknown protection 9"},
      {"segment missing", edit([](auto& f) { f.pop_back(); }, split), "is missing"},
      {"segment of another image", edit([&](auto& f) { header(f[1], 6, uint32_t{1}); }, split), "does not belong"},
      {"segment shorter than listed", edit([](auto& f) { f[1].pop_back(); }, split), "the table says"},
      {"segment table of garbage",
       edit([](auto& f) {
         for (size_t i = sizeof(IszHeader); i < f[0].size(); ++i) f[0][i] = 0x11;
       }, split),
       "segment 0 is"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = WriteAll(dir, c.files);
    ImageHandle h = nullptr;
    EXPECT_EQ(Open(path, nullptr, &h), kImageBadFormat) << c.name;
    EXPECT_EQ(h, nullptr) << c.name;
    EXPECT_NE(std::string(ImageLastError()).find(c.error), std::string::npos)
        << c.name << ": " << ImageLastError();
    if (h) ImageClose(h, 0);
  }
}

TEST(Isz, CorruptChunkDataIsAMediumErrorOfThatReadOnly) {
  TempDir dir;
  const std::vector<uint8_t> image = SourceImage(100);
  auto files = WriteIsz(image, {});
  // Chunk 0 (text) is zlib; spoil the middle of its deflate stream.
  size_t data = sizeof(IszHeader) + 4 * 3;
  for (size_t i = data + 10; i < data + 40; ++i) files[0][i] ^= 0x5A;
  std::string path = WriteAll(dir, files);
  ImageHandle h = nullptr;
  ASSERT_EQ(Open(path, nullptr, &h), kImageOk) << ImageLastError();
  Read bad = ReadAll(h, 5, 1);
  EXPECT_TRUE(bad.check);
  EXPECT_EQ(bad.key, 0x03);
  EXPECT_EQ(bad.asc, 0x11);
  // Chunk 1 still reads.
  Read good = ReadAll(h, 40, 2);
  EXPECT_FALSE(good.check);
  EXPECT_EQ(std::memcmp(good.data.data(), image.data() + 40 * kUserSize, 2 * kUserSize), 0);
  ImageClose(h, 0);
}

}  // namespace
}  // namespace ravelkit
