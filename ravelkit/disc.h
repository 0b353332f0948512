// The disc model every image format is translated into: sessions, tracks, the TOC, the Q
// sub-channel and raw sector synthesis for images that store only user data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ravelkit {

inline constexpr uint32_t kUserSize = 2048;
inline constexpr uint32_t kRawSize = 2352;
inline constexpr uint32_t kMode2Size = 2336;
inline constexpr int32_t kFramesPerSecond = 75;
inline constexpr int32_t kLbaOffset = 150;  // LBA 0 is MSF 00:02:00
inline constexpr uint8_t kLeadOutTrack = 0xAA;

// The last address a CD can carry, 99:59:74. A lead-out starts no later, so a CD also
// holds at most this many sectors from LBA 0.
inline constexpr int32_t kCdMaxLba = 449849;
// The first address of the longest lead-in, 90:00:00; descriptors that place points in
// the lead-in go no lower.
inline constexpr int32_t kLeadInMinLba = -45150;
// Capacities in 2,048-byte sectors of single- and dual-layer recordable DVDs, the largest
// written in practice.
inline constexpr int32_t kDvdLayer1Sectors = 2295104;
inline constexpr int32_t kDvdLayer2Sectors = 4173824;

struct Msf {
  uint8_t m = 0, s = 0, f = 0;
  bool operator==(const Msf&) const = default;
};

// Plain (binary) MSF; LBAs below -150 wrap the way the lead-in addresses do (to 9x:xx:xx).
Msf LbaToMsf(int32_t lba);
int32_t MsfToLba(Msf msf);
uint8_t ToBcd(uint8_t v);
uint8_t FromBcd(uint8_t v);

enum class TrackMode : uint8_t {
  kAudio,
  kMode1,
  kMode2Formless,
  kMode2Form1,
  kMode2Form2,
  kMode2Mixed,  // XA: form 1 or form 2 decided per sector by its sub-header
};

inline bool IsData(TrackMode m) { return m != TrackMode::kAudio; }

// Control nibble bits of the Q sub-channel and the TOC.
inline constexpr uint8_t kCtrlPreEmphasis = 0x1;
inline constexpr uint8_t kCtrlCopyPermitted = 0x2;
inline constexpr uint8_t kCtrlData = 0x4;
inline constexpr uint8_t kCtrlFourChannel = 0x8;

struct Track {
  uint8_t number = 1;
  uint8_t session = 1;
  TrackMode mode = TrackMode::kMode1;
  uint8_t control = kCtrlData;
  int32_t pregapStart = 0;  // first sector of index 0; equals start() when there is no pregap
  // indexes[0] is index 1 (the track start), indexes[k] is index k+1.
  std::vector<int32_t> indexes{0};
  int32_t end = 0;  // one past the last sector, i.e. where the next track's pregap begins

  int32_t start() const { return indexes.front(); }
  int32_t length() const { return end - start(); }
  // 0 in the pregap, else 1..99.
  uint8_t IndexAt(int32_t lba) const;
};

struct Session {
  uint8_t number = 1;
  size_t firstTrack = 0;  // indexes into Disc::tracks
  size_t lastTrack = 0;
  int32_t leadOut = 0;
  uint8_t discType = 0x00;  // A0 PSEC: 0x00 CD-DA / CD-ROM, 0x10 CD-I, 0x20 XA
};

struct TocEntry {
  uint8_t session = 1;
  uint8_t adrControl = 0;  // ADR in the high nibble, control in the low, as READ TOC reports it
  uint8_t point = 0;       // track number, 0xA0-0xA2 or 0xAA for the lead-out
  int32_t lba = 0;         // start address; for A0/A1 see pmin/psec
  uint8_t pmin = 0, psec = 0, pframe = 0;  // binary values of the full-TOC point data
};

// A 12-byte mode-1 Q sub-channel block with its CRC.
using QBlock = std::array<uint8_t, 12>;

class Disc {
 public:
  std::vector<Session> sessions;
  std::vector<Track> tracks;

  // Checks ordering, numbering and ranges; returns an empty string when consistent.
  const char* Validate() const;

  int32_t LeadOut() const { return sessions.empty() ? 0 : sessions.back().leadOut; }
  // The track whose pregap or body holds lba, or nullptr (lead-in, lead-out, gaps).
  const Track* TrackAt(int32_t lba) const;
  const Track* TrackByNumber(uint8_t number) const;

  // READ TOC format 0 entries: each track of every session, then the lead-out (0xAA).
  std::vector<TocEntry> Toc() const;
  // Full TOC of one session: A0, A1, A2, then the tracks.
  std::vector<TocEntry> FullToc(uint8_t session) const;

  // Q of a sector in the program area, lead-out included (mode 1 Q, ADR 1).
  QBlock QAt(int32_t lba) const;
};

uint16_t QCrc(std::span<const uint8_t> data);  // CRC-16 CCITT, stored inverted
// Fills the CRC (bytes 10-11) of a Q block.
void SealQ(QBlock& q);
bool QCrcOk(const QBlock& q);

// EDC: the 32-bit CRC of ECMA-130 (P(x) = (x^16+x^15+x^2+1)(x^16+x^2+x+1), LSB first).
uint32_t Edc(std::span<const uint8_t> data);

// Raw sector synthesis. lba addresses the header; `out` receives 2,352 bytes.
void SynthesizeMode1(int32_t lba, std::span<const uint8_t, kUserSize> user, uint8_t* out);
void SynthesizeMode2Formless(int32_t lba, std::span<const uint8_t, kMode2Size> data,
                             uint8_t* out);
// `data` holds the 8-byte sub-header followed by the form's user data (2,048 or 2,324) and
// the form-2 EDC room; the form comes from sub-header byte 2 bit 5.
void SynthesizeMode2Xa(int32_t lba, std::span<const uint8_t, kMode2Size> data, uint8_t* out);
// Header only (sync + address + mode), used by the above and for stored 2,336-byte sectors.
void WriteSyncHeader(int32_t lba, uint8_t mode, uint8_t* out);
// P and Q parity over bytes 12-2075 into 2076-2351; the header must be in place (zeroed by
// the caller for mode 2 form 1).
void ComputeEcc(uint8_t* sector);
// True when every P and Q codeword of the sector has a zero syndrome.
bool EccSyndromesZero(const uint8_t* sector);

}  // namespace ravelkit
