// DVD and BD disc structures and the DVD key commands. The structures are those of a pressed
// (read-only) disc, derived from the image's size and layers; the keys are those of a drive
// that grants authentication IDs but holds no CSS keys, which is what a decrypted image
// needs: every title key reads as absent and every sector as unscrambled.
#include "ravelkit/answers.h"
#include "ravelkit/geometry.h"

namespace ravelkit {
namespace {

// DVD format 0: the control data zone's physical format information.
struct DvdPhysicalFormat {
  uint8_t bookType;     // book type (7-4), part version (3-0)
  uint8_t sizeRate;     // disc size (7-4), maximum rate (3-0)
  uint8_t layerLayout;  // layers - 1 (6-5), track path (4), layer type (3-0)
  uint8_t density;      // linear density (7-4), track density (3-0)
  Be32 dataStart;       // physical sector numbers: bit 23 and up are 0
  Be32 dataEnd;
  Be32 layer0End;       // opposite track path only
  uint8_t bca;          // bit 7: a burst cutting area is present
  uint8_t mediaSpecific[2031];
};
static_assert(sizeof(DvdPhysicalFormat) == 2048 && offsetof(DvdPhysicalFormat, dataStart) == 4 &&
              offsetof(DvdPhysicalFormat, layer0End) == 12 &&
              offsetof(DvdPhysicalFormat, bca) == 16);

inline constexpr uint8_t kBookDvdRom = 0x00;
inline constexpr uint8_t kPartVersion1 = 0x01;
inline constexpr uint8_t kDisc120mm = 0x00;
inline constexpr uint8_t kRate10Mbps = 0x02;  // 10.08 Mbit/s, DVD-ROM's rate
inline constexpr uint8_t kLayerEmbossed = 0x01;
inline constexpr uint8_t kTrackPathOpposite = 0x10;
inline constexpr uint8_t kLinearDensitySingle = 0x00;  // 0.267 µm/bit
inline constexpr uint8_t kLinearDensityDual = 0x10;    // 0.293 µm/bit; track density 0.74 µm
// The data area of a DVD begins at physical sector 0x30000, after the lead-in.
inline constexpr uint32_t kDvdDataStartPsn = 0x30000;
inline constexpr uint32_t kPsnMask = 0xFFFFFF;

// DVD format 1.
struct DvdCopyright {
  uint8_t protectionSystem;  // 0 none, 1 CSS/CPPM
  uint8_t regionManagement;  // a set bit: the disc may not play in that region
  uint8_t reserved[2];
};
static_assert(sizeof(DvdCopyright) == 4);

// DVD format 5 and REPORT KEY format 4: copyright management of one sector.
inline constexpr uint8_t kCpmProtected = 0x80;

struct DvdCopyrightManagement {
  uint8_t cpm;  // CPM (7), CP_SEC (6), CGMS (5-4)
  uint8_t reserved[3];
};
static_assert(sizeof(DvdCopyrightManagement) == 4);

// DVD format 4: disc manufacturing information, all zeros on a disc that carries none.
struct DvdManufacturing {
  uint8_t data[2048];
};

// BD format 0: the PIC zone's disc information, 4,096 bytes of which the first DI unit
// describes a read-only disc.
struct BdDiscInformation {
  char id[2];              // "DI"
  uint8_t format;          // 1
  uint8_t unitsPerBlock;   // DI units in this block
  uint8_t reserved4;
  uint8_t sequence;        // of this unit
  uint8_t bytesInUse;      // of this unit
  uint8_t reserved7;
  char discType[3];        // "BDO": read-only
  uint8_t sizeClassVersion;  // disc size (7-6, 0 = 120 mm), class (5-4), version (3-0)
  uint8_t layers;          // number of layers (7-4), layer type (3-0)
  uint8_t rest[4096 - 13];
};
static_assert(sizeof(BdDiscInformation) == 4096 && offsetof(BdDiscInformation, discType) == 8);

struct StructureListEntry {
  uint8_t format;
  uint8_t access;  // SDS (7): can be sent, RDS (6): can be read
  Be16 length;
};
static_assert(sizeof(StructureListEntry) == 4);
inline constexpr uint8_t kReadable = 0x40;

// An entry of the list of readable structures; the length is that of the structure's data.
StructureListEntry Readable(uint8_t format, uint32_t length) {
  StructureListEntry e{format, kReadable, {}};
  e.length.Set(length);
  return e;
}

struct KeyAgid {
  uint8_t reserved[3];
  uint8_t agid;  // bits 7-6
};
struct KeyTitle {
  uint8_t cpm;  // as DvdCopyrightManagement
  uint8_t key[5];
  uint8_t reserved[2];
};
struct KeyAsf {
  uint8_t reserved[3];
  uint8_t asf;  // bit 0: authentication succeeded
};
struct KeyRpcState {
  uint8_t state;  // type code (7-6), vendor resets left (5-3), user changes left (2-0)
  uint8_t regionMask;
  uint8_t scheme;  // 1: RPC phase II
  uint8_t reserved;
};
static_assert(sizeof(KeyAgid) == 4 && sizeof(KeyTitle) == 8 && sizeof(KeyAsf) == 4 &&
              sizeof(KeyRpcState) == 4);

inline constexpr int kAgidCount = 4;

// Sends header + record, with the header's length counting what follows its length field.
template <typename T>
void SendWithHeader(Request& r, const T& record, uint32_t allocation) {
  struct {
    ListHeader header;
    T body;
  } a{};
  static_assert(sizeof(a) == sizeof(ListHeader) + sizeof(T));
  a.header.length.Set(sizeof(a) - 2);
  a.body = record;
  r.Answer(a, allocation);
}

void SendList(Request& r, const std::vector<StructureListEntry>& entries, uint32_t allocation) {
  ListAnswer a;
  for (const StructureListEntry& e : entries) a.Add(e);
  a.Send(r, allocation);
}

DvdPhysicalFormat PhysicalFormat(const Request& r) {
  const ImageLayout& l = r.layout();
  uint32_t layers = std::clamp<uint32_t>(l.layers, 1, 2);
  uint32_t capacity = static_cast<uint32_t>(r.Capacity());
  DvdPhysicalFormat p{};
  p.bookType = kBookDvdRom << 4 | kPartVersion1;
  p.sizeRate = kDisc120mm << 4 | kRate10Mbps;
  p.dataStart.Set(kDvdDataStartPsn);
  if (layers == 1) {
    p.layerLayout = kLayerEmbossed;
    p.density = kLinearDensitySingle;
    p.dataEnd.Set(kDvdDataStartPsn + capacity - 1);
  } else {
    // Two layers on the opposite track path: layer 1 runs outside in, and its physical
    // sector numbers are the complements of layer 0's at the same radius.
    auto layer0 = static_cast<uint32_t>(
        GeometryFor(MediumClass::kDvd, layers, static_cast<int64_t>(capacity)).layerSectors);
    uint32_t layer0End = kDvdDataStartPsn + layer0 - 1;
    p.layerLayout = static_cast<uint8_t>((layers - 1) << 5 | kTrackPathOpposite | kLayerEmbossed);
    p.density = kLinearDensityDual;
    p.dataEnd.Set(((~layer0End & kPsnMask) + (capacity - layer0) - 1) & kPsnMask);
    p.layer0End.Set(layer0End);
  }
  return p;
}

void DvdStructure(Request& r, uint8_t format, uint32_t alloc) {
  const uint8_t* cdb = r.cdb();
  const ImageLayout& l = r.layout();
  uint8_t layer = cdb[6];
  switch (format) {
    case 0x00:
    case 0x01:
      if (layer >= std::max<uint8_t>(l.layers, 1)) return r.Check(kInvalidField);
      if (format == 0) return SendWithHeader(r, PhysicalFormat(r), alloc);
      return SendWithHeader(r, DvdCopyright{l.copyProtection != 0 ? uint8_t{1} : uint8_t{0},
                                            l.regionByte, {}},
                            alloc);
    case 0x04: {
      static const DvdManufacturing kNone{};
      return SendWithHeader(r, kNone, alloc);
    }
    case 0x05: {
      uint32_t lba = GetBe32(cdb + 2);
      if (lba >= r.Capacity()) return r.Check(kLbaOutOfRange);
      // The image holds the sectors descrambled, so none is marked as scrambled.
      SendWithHeader(r, DvdCopyrightManagement{}, alloc);
      return r.Touched(static_cast<int32_t>(lba));
    }
    case 0xFF:
      return SendList(r,
                      {Readable(0x00, sizeof(DvdPhysicalFormat)),
                       Readable(0x01, sizeof(DvdCopyright)),
                       Readable(0x04, sizeof(DvdManufacturing)),
                       Readable(0x05, sizeof(DvdCopyrightManagement)),
                       Readable(0xFF, 5 * sizeof(StructureListEntry))},
                      alloc);
    default:  // 0x03: a pressed image keeps no burst cutting area; the rest are not DVD-ROM's
      return r.Check(kInvalidField);
  }
}

void BdStructure(Request& r, uint8_t format, uint32_t alloc) {
  switch (format) {
    case 0x00: {
      BdDiscInformation di{};
      di.id[0] = 'D', di.id[1] = 'I';
      di.format = 1;
      di.unitsPerBlock = 1;
      di.bytesInUse = 64;
      di.discType[0] = 'B', di.discType[1] = 'D', di.discType[2] = 'O';
      di.sizeClassVersion = 0x01;
      di.layers = static_cast<uint8_t>((std::clamp<uint8_t>(r.layout().layers, 1, 4) << 4) |
                                       kLayerEmbossed);
      return SendWithHeader(r, di, alloc);
    }
    case 0xFF:
      return SendList(
          r, {Readable(0x00, sizeof(BdDiscInformation)), Readable(0xFF, 2 * sizeof(StructureListEntry))},
          alloc);
    default:
      return r.Check(kInvalidField);
  }
}

bool IsDvd(const Request& r) { return r.medium() == MediumClass::kDvd; }

}  // namespace

void AnswerReadDiscStructure(Request& r) {
  const uint8_t* cdb = r.cdb();
  uint8_t mediaType = cdb[1] & 0x0F;
  uint8_t format = cdb[7];
  uint32_t alloc = GetBe16(cdb + 8);
  // Structures belong to the medium they describe: DVD ones (type 0) to a DVD, BD ones
  // (type 1) to a BD, none to a CD.
  if (mediaType > 1) return r.Check(kInvalidField);
  if (mediaType == 0 && r.medium() == MediumClass::kDvd) return DvdStructure(r, format, alloc);
  if (mediaType == 1 && r.medium() == MediumClass::kBd) return BdStructure(r, format, alloc);
  r.Check(kIncompatibleMedium);
}

void AnswerReportKey(Request& r) {
  const uint8_t* cdb = r.cdb();
  uint8_t format = cdb[10] & 0x3F;
  uint8_t agid = cdb[10] >> 6;
  uint32_t alloc = GetBe16(cdb + 8);
  DriveState& st = r.state();
  if (cdb[7] != 0) return r.Check(kInvalidField);  // key class 0: CSS/CPPM only
  if (format == 0x08) {  // RPC state belongs to the drive, not the disc
    uint8_t mask = static_cast<uint8_t>(r.flags() >> 24);
    KeyRpcState a{};
    a.state = static_cast<uint8_t>((mask == 0xFF ? 0 : 1) << 6 | 4 << 3 | 5);
    a.regionMask = mask;
    a.scheme = 1;
    return SendWithHeader(r, a, alloc);
  }
  if (!IsDvd(r)) return r.Check(kIncompatibleMedium);
  switch (format) {
    case 0x00:    // AGID for CSS/CPPM
    case 0x11: {  // AGID for CPRM: the same pool of grants
      for (int i = 0; i < kAgidCount; ++i) {
        if (st.grantedAgids & (1u << i)) continue;
        st.grantedAgids = static_cast<uint8_t>(st.grantedAgids | (1u << i));
        return SendWithHeader(r, KeyAgid{{}, static_cast<uint8_t>(i << 6)}, alloc);
      }
      return r.Check(kNoAgidAvailable);
    }
    case 0x01:
    case 0x02:
      // Authentication needs the drive's CSS keys, which this drive does not hold: without
      // a grant it is out of sequence, with one it fails as a failed key exchange would.
      if (!(st.grantedAgids & (1u << agid))) return r.Check(kCommandSequenceError);
      return r.Check(kKeyExchangeAuthFailure);
    case 0x04: {
      uint32_t lba = GetBe32(cdb + 2);
      if (lba >= r.Capacity()) return r.Check(kLbaOutOfRange);
      KeyTitle a{};
      // A CSS disc says so; the sector itself is not scrambled and its key is zero.
      if (r.layout().copyProtection != 0) a.cpm = kCpmProtected;
      SendWithHeader(r, a, alloc);
      return r.Touched(static_cast<int32_t>(lba));
    }
    case 0x05:
      return SendWithHeader(r, KeyAsf{}, alloc);
    case 0x3F:
      st.grantedAgids = static_cast<uint8_t>(st.grantedAgids & ~(1u << agid));
      return;
    default:
      return r.Check(kInvalidField);
  }
}

void AnswerSendKey(Request& r) {
  const uint8_t* cdb = r.cdb();
  uint8_t format = cdb[10] & 0x3F;
  uint8_t agid = cdb[10] >> 6;
  DriveState& st = r.state();
  if (!IsDvd(r)) return r.Check(kIncompatibleMedium);
  switch (format) {
    case 0x01:  // host challenge: taken under a granted AGID
      if (!(st.grantedAgids & (1u << agid))) return r.Check(kCommandSequenceError);
      return;
    case 0x03:  // host key: no drive key was ever sent to answer
      if (!(st.grantedAgids & (1u << agid))) return r.Check(kCommandSequenceError);
      return r.Check(kKeyExchangeAuthFailure);
    case 0x06:  // drive region: kept by the command layer
      return;
    case 0x3F:
      st.grantedAgids = static_cast<uint8_t>(st.grantedAgids & ~(1u << agid));
      return;
    default:
      return r.Check(kInvalidField);
  }
}

}  // namespace ravelkit
