// What the medium says about itself: capacity, the TOC in its forms, disc and track
// information. A DVD or BD is described as the single closed session of one track that a
// drive reports for a read-only disc.
#include "ravelkit/answers.h"
#include "ravelkit/geometry.h"

namespace ravelkit {
namespace {

struct CapacityAnswer {
  Be32 lastLba;
  Be32 blockSize;
};
static_assert(sizeof(CapacityAnswer) == 8);

// READ TOC formats 0, 1 and 5 and READ DISC STRUCTURE start with the same header.
struct TocTrackDescriptor {
  uint8_t reserved0;
  uint8_t adrControl;
  uint8_t track;
  uint8_t reserved3;
  Be32 address;  // LBA, or 0, M, S, F
};
static_assert(sizeof(TocTrackDescriptor) == 8 && offsetof(TocTrackDescriptor, address) == 4);

// Format 2: one decoded lead-in Q frame. Times are binary.
struct FullTocDescriptor {
  uint8_t session;
  uint8_t adrControl;
  uint8_t tno;  // always 0 in the lead-in
  uint8_t point;
  uint8_t min, sec, frame;
  uint8_t zero;
  uint8_t pmin, psec, pframe;
};
static_assert(sizeof(FullTocDescriptor) == 11 && offsetof(FullTocDescriptor, pmin) == 8);

struct DiscInformation {
  Be16 length;       // 32: the bytes after this field, without OPC tables
  uint8_t status;    // data type (7-5), erasable (4), last session state (3-2), disc status
  uint8_t firstTrack;
  uint8_t sessionsLsb;
  uint8_t firstTrackLastSessionLsb;
  uint8_t lastTrackLastSessionLsb;
  uint8_t validity;  // DID_V, DBC_V, URU, DAC_V, BG format status
  uint8_t discType;  // CD: 0x00 CD-DA or CD-ROM, 0x10 CD-I, 0x20 CD-ROM XA
  uint8_t sessionsMsb;
  uint8_t firstTrackLastSessionMsb;
  uint8_t lastTrackLastSessionMsb;
  Be32 discId;
  Be32 lastLeadInStart;
  Be32 lastLeadOutStart;
  uint8_t barCode[8];
  uint8_t applicationCode;
  uint8_t opcTables;
};
static_assert(sizeof(DiscInformation) == 34 && offsetof(DiscInformation, discType) == 8 &&
              offsetof(DiscInformation, lastLeadInStart) == 16 &&
              offsetof(DiscInformation, barCode) == 24);

inline constexpr uint8_t kDiscComplete = 0x02;
inline constexpr uint8_t kLastSessionComplete = 0x03 << 2;

struct TrackInformation {
  Be16 length;  // 46
  uint8_t trackLsb;
  uint8_t sessionLsb;
  uint8_t reserved4;
  uint8_t trackMode;  // damage (5), copy (4), the TOC's control nibble
  uint8_t dataMode;   // RT, blank, packet, FP (7-4), data mode
  uint8_t addressValidity;  // LRA_V, NWA_V
  Be32 start;
  Be32 nextWritable;
  Be32 freeBlocks;
  Be32 blockingFactor;
  Be32 size;
  Be32 lastRecorded;
  uint8_t trackMsb;
  uint8_t sessionMsb;
  uint8_t reserved34[2];
  Be32 readCompatibility;
  Be32 nextLayerJump;
  Be32 lastLayerJump;
};
static_assert(sizeof(TrackInformation) == 48 && offsetof(TrackInformation, start) == 8 &&
              offsetof(TrackInformation, size) == 24 &&
              offsetof(TrackInformation, trackMsb) == 32 &&
              offsetof(TrackInformation, lastLayerJump) == 44);

inline constexpr uint8_t kDataModeUnknown = 0x0F;

// An address as READ TOC gives it. A DVD or BD runs past 99 minutes: its minutes go on
// counting up to 255 rather than wrapping like a CD's lead-in addresses.
uint32_t TocAddress(int32_t lba, bool msf) {
  if (!msf) return static_cast<uint32_t>(lba);
  Msf m;
  if (lba < 0) {
    m = LbaToMsf(lba);
  } else {
    int64_t frames = static_cast<int64_t>(lba) + kLbaOffset;
    m.m = static_cast<uint8_t>(std::min<int64_t>(frames / (60 * kFramesPerSecond), 255));
    m.s = static_cast<uint8_t>(frames / kFramesPerSecond % 60);
    m.f = static_cast<uint8_t>(frames % kFramesPerSecond);
  }
  return static_cast<uint32_t>(m.m) << 16 | static_cast<uint32_t>(m.s) << 8 | m.f;
}

void TocFormat0(Request& r, bool msf, uint8_t from, uint32_t alloc) {
  const Disc& d = r.disc();
  uint8_t last = d.tracks.back().number;
  if (from > last && from != kLeadOutTrack) return r.Check(kInvalidField);
  ListAnswer a;
  for (const TocEntry& e : d.Toc()) {
    if (e.point < from) continue;
    TocTrackDescriptor t{};
    t.adrControl = e.adrControl;
    t.track = e.point;
    t.address.Set(TocAddress(e.lba, msf));
    a.Add(t);
  }
  a.Send(r, alloc, d.tracks.front().number, last);
}

void TocFormat1(Request& r, bool msf, uint32_t alloc) {
  const Disc& d = r.disc();
  const Session& s = d.sessions.back();
  const Track& first = d.tracks[s.firstTrack];
  ListAnswer a;
  TocTrackDescriptor t{};
  t.adrControl = static_cast<uint8_t>(0x10 | first.control);
  t.track = first.number;
  t.address.Set(TocAddress(first.start(), msf));
  a.Add(t);
  a.Send(r, alloc, 1, s.number);
}

// The longest program area a disc may have: the outermost lead-out start B0 names.
inline constexpr Msf kMaxLeadOut{79, 59, 74};

void TocFormat2(Request& r, uint8_t from, uint32_t alloc) {
  const Disc& d = r.disc();
  uint8_t lastSession = d.sessions.back().number;
  if (from > lastSession) return r.Check(kInvalidField);
  ListAnswer a;
  for (const Session& s : d.sessions) {
    if (s.number < from) continue;
    for (const TocEntry& e : d.FullToc(s.number)) {
      FullTocDescriptor f{};
      f.session = e.session;
      f.adrControl = e.adrControl;
      f.point = e.point;
      f.pmin = e.pmin, f.psec = e.psec, f.pframe = e.pframe;
      a.Add(f);
    }
    // A session followed by another points at where the next program area starts.
    if (s.number < lastSession) {
      const Track& next = d.tracks[d.sessions[s.number].firstTrack];
      Msf at = LbaToMsf(next.pregapStart);
      FullTocDescriptor b0{};
      b0.session = s.number;
      b0.adrControl = static_cast<uint8_t>(0x50 | d.tracks[s.lastTrack].control);
      b0.point = 0xB0;
      b0.min = at.m, b0.sec = at.s, b0.frame = at.f;
      b0.zero = 1;  // mode-5 pointers in this lead-in: B0 alone
      b0.pmin = kMaxLeadOut.m, b0.psec = kMaxLeadOut.s, b0.pframe = kMaxLeadOut.f;
      a.Add(b0);
    }
  }
  a.Send(r, alloc, 1, lastSession);
}

void TocFormat5(Request& r, uint32_t alloc) {
  // Without CD-TEXT the answer is the bare header: nothing follows its length field but
  // the two reserved bytes.
  const std::vector<uint8_t>& packs = r.layout().cdText;
  ListAnswer a;
  if (!packs.empty()) a.Add(packs.data(), packs.size());
  a.Send(r, alloc, 0, 0);
}

const Session& SessionOf(const Disc& d, const Track& t) { return d.sessions[t.session - 1]; }

void SendTrackInformation(Request& r, const Track& t, uint32_t alloc) {
  const Disc& d = r.disc();
  const Session& s = SessionOf(d, t);
  size_t index = static_cast<size_t>(&t - d.tracks.data());
  int32_t end = index < s.lastTrack ? d.tracks[index + 1].start() : s.leadOut;
  TrackInformation a{};
  a.length.Set(sizeof(a) - 2);
  a.trackLsb = t.number;
  a.sessionLsb = s.number;
  a.trackMode = t.control & 0x0F;
  switch (t.mode) {
    case TrackMode::kAudio: a.dataMode = kDataModeUnknown; break;
    case TrackMode::kMode1: a.dataMode = 1; break;
    default: a.dataMode = 2; break;
  }
  a.start.Set(static_cast<uint32_t>(t.start()));
  // A DVD or BD is read in whole ECC blocks: the blocking factor names their sectors.
  a.blockingFactor.Set(EccBlockSectors(r.medium()));
  a.size.Set(static_cast<uint32_t>(end - t.start()));
  r.Answer(a, alloc);
}

}  // namespace

void AnswerReadCapacity(Request& r) {
  CapacityAnswer a{};
  uint64_t cap = r.Capacity();
  a.lastLba.Set(cap == 0 ? 0 : static_cast<uint32_t>(cap - 1));
  a.blockSize.Set(kUserSize);
  r.Put(&a, sizeof(a));
}

void AnswerReadToc(Request& r) {
  const uint8_t* cdb = r.cdb();
  bool msf = cdb[1] & 0x02;
  uint8_t format = cdb[2] & 0x0F;
  if (format == 0 && (cdb[9] >> 6) != 0) format = cdb[9] >> 6;  // the older field
  uint8_t from = cdb[6];
  uint32_t alloc = GetBe16(cdb + 7);
  bool cd = r.medium() == MediumClass::kCd;
  switch (format) {
    case 0: return TocFormat0(r, msf, from, alloc);
    case 1: return TocFormat1(r, msf, alloc);
    // The lead-in's Q frames and CD-TEXT exist only on a CD; a pressed disc has no PMA and
    // no ATIP (formats 3 and 4).
    case 2: return cd ? TocFormat2(r, from, alloc) : r.Check(kInvalidField);
    case 5: return cd ? TocFormat5(r, alloc) : r.Check(kInvalidField);
    default: return r.Check(kInvalidField);
  }
}

void AnswerReadDiscInformation(Request& r) {
  const uint8_t* cdb = r.cdb();
  if ((cdb[1] & 0x07) != 0) return r.Check(kInvalidField);  // only the standard information
  const Disc& d = r.disc();
  const Session& last = d.sessions.back();
  DiscInformation a{};
  a.length.Set(sizeof(a) - 2);
  a.status = kLastSessionComplete | kDiscComplete;
  a.firstTrack = d.tracks.front().number;
  a.sessionsLsb = static_cast<uint8_t>(d.sessions.size());
  a.firstTrackLastSessionLsb = d.tracks[last.firstTrack].number;
  a.lastTrackLastSessionLsb = d.tracks[last.lastTrack].number;
  if (r.medium() == MediumClass::kCd) a.discType = d.sessions.front().discType;
  // A closed disc has no room for another session: both addresses are all ones.
  a.lastLeadInStart.Set(0xFFFFFFFF);
  a.lastLeadOutStart.Set(0xFFFFFFFF);
  r.Answer(a, GetBe16(cdb + 7));
}

void AnswerReadTrackInformation(Request& r) {
  const uint8_t* cdb = r.cdb();
  uint32_t value = GetBe32(cdb + 2);
  uint32_t alloc = GetBe16(cdb + 7);
  const Disc& d = r.disc();
  const Track* t = nullptr;
  switch (cdb[1] & 0x03) {
    case 0:  // by LBA: the track whose pregap or body holds it
      if (value >= r.Capacity()) return r.Check(kLbaOutOfRange);
      t = d.TrackAt(static_cast<int32_t>(value));
      break;
    case 1:  // by number; 0 (lead-in) and 0xFF (invisible track) do not exist on a ROM
      if (value >= 1 && value <= 99) t = d.TrackByNumber(static_cast<uint8_t>(value));
      break;
    case 2:  // by session: its first track
      if (value >= 1 && value <= d.sessions.size()) t = &d.tracks[d.sessions[value - 1].firstTrack];
      break;
    default:
      break;
  }
  if (t == nullptr) return r.Check(kInvalidField);
  SendTrackInformation(r, *t, alloc);
}

}  // namespace ravelkit
