#include "devaccess/unit_directory.h"

#include <cstring>

namespace devaccess {
namespace {

// Directory entry keys (IEEE 1212 / SBP-2 unit directory).
constexpr uint8_t kKeyUnitSpecId = 0x12;
constexpr uint8_t kKeyUnitSwVersion = 0x13;
constexpr uint8_t kKeyModelId = 0x17;
constexpr uint8_t kKeyLogicalUnitNumber = 0x14;
constexpr uint8_t kKeyCommandSetSpecId = 0x38;
constexpr uint8_t kKeyCommandSet = 0x39;
constexpr uint8_t kKeyUnitCharacteristics = 0x3A;
constexpr uint8_t kKeyReconnectTimeout = 0x3D;
constexpr uint8_t kKeyManagementAgent = 0x54;
constexpr uint8_t kKeyTextualLeaf = 0x81;
constexpr uint8_t kKeyTextualLeaf2 = 0x82;
constexpr uint8_t kKeyLogicalUnitDirectory = 0xD4;

constexpr uint32_t kSbp2SpecId = 0x00609E;
constexpr uint32_t kSbp2SwVersion = 0x010483;
constexpr uint32_t kCommandSet = 0x0104D8;
// mgt_ORB_timeout 0x28 (20 s in 500 ms units), ORB_size 8 quadlets.
constexpr uint32_t kUnitCharacteristics = 0x002808;

class Writer {
 public:
  explicit Writer(uint8_t* out) : out_(out) {}

  void Quadlet(uint32_t q) {
    out_[at_] = static_cast<uint8_t>(q >> 24);
    out_[at_ + 1] = static_cast<uint8_t>(q >> 16);
    out_[at_ + 2] = static_cast<uint8_t>(q >> 8);
    out_[at_ + 3] = static_cast<uint8_t>(q);
    at_ += 4;
  }
  void Entry(uint8_t key, uint32_t value) { Quadlet(static_cast<uint32_t>(key) << 24 | (value & 0xFFFFFF)); }
  void Bytes(const uint8_t* p, size_t n) {
    std::memcpy(out_ + at_, p, n);
    at_ += n;
  }
  // A block header now, sealed later once its body is written.
  size_t Header() {
    size_t header = at_;
    Quadlet(0);
    return header;
  }
  void Seal(size_t header) {
    const size_t quadlets = (at_ - header - 4) / 4;
    uint32_t body[32];
    for (size_t i = 0; i < quadlets; ++i) body[i] = Load(header + 4 + 4 * i);
    const uint32_t value = static_cast<uint32_t>(quadlets) << 16 | ConfigRomCrc16(body, quadlets);
    size_t saved = at_;
    at_ = header;
    Quadlet(value);
    at_ = saved;
  }
  size_t size() const { return at_; }

 private:
  uint32_t Load(size_t at) const {
    return static_cast<uint32_t>(out_[at]) << 24 | static_cast<uint32_t>(out_[at + 1]) << 16 |
           static_cast<uint32_t>(out_[at + 2]) << 8 | out_[at + 3];
  }

  uint8_t* out_;
  size_t at_ = 0;
};

// A minimal ASCII textual descriptor leaf: descriptor type, specifier ID, width, character
// set and language all 0, then the text.
void TextLeaf(Writer& w, const uint8_t* text, size_t n) {
  size_t header = w.Header();
  w.Quadlet(0);
  w.Quadlet(0);
  w.Bytes(text, n);
  w.Seal(header);
}

}  // namespace

uint16_t ConfigRomCrc16(const uint32_t* quadlets, size_t count) {
  uint32_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    for (int shift = 28; shift >= 0; shift -= 4) {
      uint32_t sum = ((crc >> 12) ^ (quadlets[i] >> shift)) & 0xF;
      crc = ((crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum) & 0xFFFF;
    }
  }
  return static_cast<uint16_t>(crc);
}

bool BuildUnitDirectory(uint32_t* size, uint8_t* out, const uint8_t (&inquiry)[kInquiryBytes],
                        const UnitDirectoryParams& params) {
  if (*size < kWindowsDirectoryBytes) return false;
  Writer w(out);
  size_t unit = w.Header();
  w.Entry(kKeyUnitSpecId, kSbp2SpecId);
  w.Entry(kKeyUnitSwVersion, kSbp2SwVersion);
  w.Entry(kKeyCommandSetSpecId, kSbp2SpecId);
  w.Entry(kKeyCommandSet, kCommandSet);
  w.Entry(kKeyManagementAgent, params.management_agent / 4);
  w.Entry(kKeyUnitCharacteristics, kUnitCharacteristics);
  w.Entry(kKeyReconnectTimeout, params.reconnect_timeout);
  // Peripheral device type from the INQUIRY answer; ordered bit and LUN 0.
  w.Entry(kKeyLogicalUnitNumber, static_cast<uint32_t>(inquiry[0] & 0x1F) << 16);
  if (params.mac) {
    w.Entry(kKeyModelId, 0);
    w.Entry(kKeyTextualLeaf, 1);
    w.Seal(unit);
    TextLeaf(w, &inquiry[8], 24);  // vendor and product together
  } else {
    w.Entry(kKeyLogicalUnitDirectory, 1);
    w.Seal(unit);
    size_t logical_unit = w.Header();
    w.Entry(kKeyTextualLeaf, 2);   // vendor leaf, right after this directory
    w.Entry(kKeyTextualLeaf2, 6);  // product leaf, after the vendor leaf
    w.Seal(logical_unit);
    TextLeaf(w, &inquiry[8], 8);
    TextLeaf(w, &inquiry[16], 16);
  }
  *size = static_cast<uint32_t>(w.size());
  return true;
}

}  // namespace devaccess
