#include "ravelkit/disc.h"

#include <algorithm>
#include <cstring>

namespace ravelkit {

namespace {

constexpr int32_t kFramesPerMinute = 60 * kFramesPerSecond;
constexpr int32_t kFramesPer100Min = 100 * kFramesPerMinute;

// GF(2^8) with the field polynomial x^8 + x^4 + x^3 + x^2 + 1, primitive element alpha = 2.
struct Gf {
  uint8_t exp[512];
  uint8_t log[256];
  constexpr Gf() : exp(), log() {
    unsigned v = 1;
    for (int i = 0; i < 255; ++i) {
      exp[i] = static_cast<uint8_t>(v);
      log[v] = static_cast<uint8_t>(i);
      v <<= 1;
      if (v & 0x100) v ^= 0x11D;
    }
    for (int i = 255; i < 512; ++i) exp[i] = exp[i - 255];
  }
  constexpr uint8_t Mul(uint8_t a, uint8_t b) const {
    return (a == 0 || b == 0) ? 0 : exp[log[a] + log[b]];
  }
  constexpr uint8_t Div(uint8_t a, uint8_t b) const {
    return a == 0 ? 0 : exp[log[a] + 255 - log[b]];
  }
};
constexpr Gf kGf;
constexpr uint8_t kAlphaPlusOne = 0x03;  // alpha + 1 in GF(2^8)

constexpr std::array<uint32_t, 256> MakeEdcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? 0xD8018001u : 0u);
    t[i] = c;
  }
  return t;
}
constexpr auto kEdcTable = MakeEdcTable();

// The 2,340 bytes from the header on are 1,170 16-bit words; the high and low bytes of the
// words form two independent planes coded alike. Within a plane, V(n) is the n-th byte.
constexpr int kQData = 1118;  // bytes covered by Q: user area plus P parity

inline uint8_t& V(uint8_t* sector, int plane, int n) { return sector[12 + 2 * n + plane]; }

// P codeword `col` (0..42): 26 symbols V(43*m + col), the last two the parity.
inline int PIndex(int col, int m) { return 43 * m + col; }
// Q codeword `diag` (0..25): 45 symbols, a diagonal through data and P, then two parity.
inline int QIndex(int diag, int m) {
  return m < 43 ? (44 * m + 43 * diag) % kQData : kQData + (m - 43) * 26 + diag;
}

// With H = [1 ... 1; a^(n-1) ... a 1], the two parity symbols p (weight a) and q (weight 1)
// solve S0 + p + q = 0 and S1 + a*p + q = 0.
template <typename Index>
void Encode(uint8_t* sector, int codewords, int n, Index index) {
  for (int plane = 0; plane < 2; ++plane) {
    for (int c = 0; c < codewords; ++c) {
      uint8_t s0 = 0, s1 = 0;
      for (int m = 0; m < n - 2; ++m) {
        uint8_t v = V(sector, plane, index(c, m));
        s0 ^= v;
        s1 ^= kGf.Mul(v, kGf.exp[n - 1 - m]);
      }
      uint8_t p = kGf.Div(static_cast<uint8_t>(s0 ^ s1), kAlphaPlusOne);
      V(sector, plane, index(c, n - 2)) = p;
      V(sector, plane, index(c, n - 1)) = static_cast<uint8_t>(s0 ^ p);
    }
  }
}

template <typename Index>
bool SyndromesZero(uint8_t* sector, int codewords, int n, Index index) {
  for (int plane = 0; plane < 2; ++plane) {
    for (int c = 0; c < codewords; ++c) {
      uint8_t s0 = 0, s1 = 0;
      for (int m = 0; m < n; ++m) {
        uint8_t v = V(sector, plane, index(c, m));
        s0 ^= v;
        s1 ^= kGf.Mul(v, kGf.exp[n - 1 - m]);
      }
      if (s0 != 0 || s1 != 0) return false;
    }
  }
  return true;
}

void PutEdc(uint8_t* at, uint32_t edc) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(edc >> (8 * i));
}

Msf PlainMsf(int32_t frames) {
  return {static_cast<uint8_t>(frames / kFramesPerMinute),
          static_cast<uint8_t>(frames / kFramesPerSecond % 60),
          static_cast<uint8_t>(frames % kFramesPerSecond)};
}

}  // namespace

Msf LbaToMsf(int32_t lba) {
  int32_t v = lba + kLbaOffset;
  if (v < 0) v += kFramesPer100Min;
  v %= kFramesPer100Min;
  return PlainMsf(v);
}

int32_t MsfToLba(Msf msf) {
  int32_t v = msf.m * kFramesPerMinute + msf.s * kFramesPerSecond + msf.f - kLbaOffset;
  if (msf.m >= 90) v -= kFramesPer100Min;  // lead-in addresses
  return v;
}

uint8_t ToBcd(uint8_t v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }
uint8_t FromBcd(uint8_t v) { return static_cast<uint8_t>((v >> 4) * 10 + (v & 0xF)); }

uint8_t Track::IndexAt(int32_t lba) const {
  if (lba < start()) return 0;
  auto it = std::upper_bound(indexes.begin(), indexes.end(), lba);
  return static_cast<uint8_t>(it - indexes.begin());
}

const char* Disc::Validate() const {
  if (tracks.empty() || tracks.size() > 99) return "disc needs 1 to 99 tracks";
  if (sessions.empty()) return "disc has no session";
  size_t expectFirst = 0;
  for (size_t si = 0; si < sessions.size(); ++si) {
    const Session& s = sessions[si];
    if (s.number != si + 1) return "session numbers are not consecutive";
    if (s.firstTrack != expectFirst || s.lastTrack < s.firstTrack ||
        s.lastTrack >= tracks.size())
      return "session track range is inconsistent";
    if (s.leadOut < tracks[s.lastTrack].end) return "lead-out lies inside the last track";
    expectFirst = s.lastTrack + 1;
  }
  if (expectFirst != tracks.size()) return "tracks lie outside every session";
  for (size_t i = 0; i < tracks.size(); ++i) {
    const Track& t = tracks[i];
    if (t.number < 1 || t.number > 99) return "track number out of range";
    if (i > 0 && t.number != tracks[i - 1].number + 1) return "track numbers not consecutive";
    if (t.indexes.empty() || t.indexes.size() > 99) return "track needs 1 to 99 indexes";
    if (t.pregapStart > t.start()) return "pregap starts after the track";
    for (size_t k = 1; k < t.indexes.size(); ++k)
      if (t.indexes[k] <= t.indexes[k - 1]) return "indexes are not increasing";
    if (t.end <= t.indexes.back()) return "track ends before its last index";
    if (i > 0 && t.pregapStart < tracks[i - 1].end) return "tracks overlap";
  }
  return "";
}

const Track* Disc::TrackAt(int32_t lba) const {
  for (const Track& t : tracks)
    if (lba >= t.pregapStart && lba < t.end) return &t;
  return nullptr;
}

const Track* Disc::TrackByNumber(uint8_t number) const {
  for (const Track& t : tracks)
    if (t.number == number) return &t;
  return nullptr;
}

std::vector<TocEntry> Disc::Toc() const {
  std::vector<TocEntry> out;
  for (const Track& t : tracks)
    out.push_back({t.session, static_cast<uint8_t>(0x10 | t.control), t.number, t.start()});
  if (!tracks.empty()) {
    out.push_back({sessions.back().number,
                   static_cast<uint8_t>(0x10 | tracks.back().control), kLeadOutTrack,
                   LeadOut()});
  }
  for (TocEntry& e : out) {
    Msf m = LbaToMsf(e.lba);
    e.pmin = m.m, e.psec = m.s, e.pframe = m.f;
  }
  return out;
}

std::vector<TocEntry> Disc::FullToc(uint8_t session) const {
  std::vector<TocEntry> out;
  if (session < 1 || session > sessions.size()) return out;
  const Session& s = sessions[session - 1];
  const Track& first = tracks[s.firstTrack];
  const Track& last = tracks[s.lastTrack];
  auto adr = [](const Track& t) { return static_cast<uint8_t>(0x10 | t.control); };
  out.push_back({s.number, adr(first), 0xA0, 0, first.number, s.discType, 0});
  out.push_back({s.number, adr(last), 0xA1, 0, last.number, 0, 0});
  Msf lo = LbaToMsf(s.leadOut);
  out.push_back({s.number, adr(last), 0xA2, s.leadOut, lo.m, lo.s, lo.f});
  for (size_t i = s.firstTrack; i <= s.lastTrack; ++i) {
    const Track& t = tracks[i];
    Msf m = LbaToMsf(t.start());
    out.push_back({s.number, adr(t), t.number, t.start(), m.m, m.s, m.f});
  }
  return out;
}

QBlock Disc::QAt(int32_t lba) const {
  QBlock q{};
  uint8_t control = tracks.empty() ? 0 : tracks.back().control;
  uint8_t number = kLeadOutTrack, index = 1;
  int32_t relative = 0;
  if (const Track* t = TrackAt(lba)) {
    control = t->control;
    number = ToBcd(t->number);
    index = t->IndexAt(lba);
    // Relative time counts down through the pregap towards index 1.
    relative = index == 0 ? t->start() - lba : lba - t->start();
  } else {
    // Past a track: the lead-out of the session that ends before lba.
    int32_t leadOut = LeadOut();
    for (const Session& s : sessions)
      if (lba >= tracks[s.lastTrack].end) leadOut = s.leadOut, control = tracks[s.lastTrack].control;
    relative = lba >= leadOut ? lba - leadOut : 0;
  }
  Msf rel = PlainMsf(relative < 0 ? 0 : relative % kFramesPer100Min);
  Msf abs = LbaToMsf(lba);
  q[0] = static_cast<uint8_t>((control << 4) | 0x1);
  q[1] = number;
  q[2] = ToBcd(index);
  q[3] = ToBcd(rel.m), q[4] = ToBcd(rel.s), q[5] = ToBcd(rel.f);
  q[6] = 0;
  q[7] = ToBcd(abs.m), q[8] = ToBcd(abs.s), q[9] = ToBcd(abs.f);
  SealQ(q);
  return q;
}

uint16_t QCrc(std::span<const uint8_t> data) {
  uint16_t crc = 0;
  for (uint8_t b : data) {
    crc ^= static_cast<uint16_t>(b << 8);
    for (int k = 0; k < 8; ++k)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return static_cast<uint16_t>(~crc);
}

void SealQ(QBlock& q) {
  uint16_t crc = QCrc(std::span<const uint8_t>(q.data(), 10));
  q[10] = static_cast<uint8_t>(crc >> 8);
  q[11] = static_cast<uint8_t>(crc);
}

bool QCrcOk(const QBlock& q) {
  uint16_t crc = QCrc(std::span<const uint8_t>(q.data(), 10));
  return q[10] == static_cast<uint8_t>(crc >> 8) && q[11] == static_cast<uint8_t>(crc);
}

uint32_t Edc(std::span<const uint8_t> data) {
  uint32_t crc = 0;
  for (uint8_t b : data) crc = (crc >> 8) ^ kEdcTable[(crc ^ b) & 0xFF];
  return crc;
}

void WriteSyncHeader(int32_t lba, uint8_t mode, uint8_t* out) {
  out[0] = 0;
  std::memset(out + 1, 0xFF, 10);
  out[11] = 0;
  Msf m = LbaToMsf(lba);
  out[12] = ToBcd(m.m), out[13] = ToBcd(m.s), out[14] = ToBcd(m.f);
  out[15] = mode;
}

void ComputeEcc(uint8_t* sector) {
  Encode(sector, 43, 26, PIndex);
  Encode(sector, 26, 45, QIndex);
}

bool EccSyndromesZero(const uint8_t* sector) {
  uint8_t copy[kRawSize];
  std::memcpy(copy, sector, kRawSize);
  if (copy[15] == 2) std::memset(copy + 12, 0, 4);  // form 1 parity excludes the header
  return SyndromesZero(copy, 43, 26, PIndex) && SyndromesZero(copy, 26, 45, QIndex);
}

void SynthesizeMode1(int32_t lba, std::span<const uint8_t, kUserSize> user, uint8_t* out) {
  WriteSyncHeader(lba, 1, out);
  std::memcpy(out + 16, user.data(), kUserSize);
  PutEdc(out + 2064, Edc(std::span<const uint8_t>(out, 2064)));
  std::memset(out + 2068, 0, 8);
  ComputeEcc(out);
}

void SynthesizeMode2Formless(int32_t lba, std::span<const uint8_t, kMode2Size> data,
                             uint8_t* out) {
  WriteSyncHeader(lba, 2, out);
  std::memcpy(out + 16, data.data(), kMode2Size);
}

void SynthesizeMode2Xa(int32_t lba, std::span<const uint8_t, kMode2Size> data, uint8_t* out) {
  WriteSyncHeader(lba, 2, out);
  std::memcpy(out + 16, data.data(), kMode2Size);
  if (data[2] & 0x20) {  // form 2: EDC over sub-header and 2,324 bytes, no ECC
    PutEdc(out + 2348, Edc(std::span<const uint8_t>(out + 16, 2332)));
    return;
  }
  PutEdc(out + 2072, Edc(std::span<const uint8_t>(out + 16, 2056)));
  uint8_t header[4];
  std::memcpy(header, out + 12, 4);
  std::memset(out + 12, 0, 4);
  ComputeEcc(out);
  std::memcpy(out + 12, header, 4);
}

}  // namespace ravelkit
