#include "sim/rom.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kRomQuadlets = 256;

void PutText(std::array<uint8_t, 36>& out, size_t at, size_t width, std::string_view text) {
  for (size_t i = 0; i < width; ++i) out[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

// Block header in bus order: length in quadlets, CRC over them.
void SealBlock(std::vector<uint8_t>& bytes, size_t header, size_t quadlets) {
  std::vector<uint32_t> q(quadlets);
  for (size_t i = 0; i < quadlets; ++i) q[i] = LoadBe32(&bytes[header + 4 + 4 * i]);
  StoreBe32(&bytes[header], static_cast<uint32_t>(quadlets) << 16 | ConfigRomCrc16(q));
}

class Walker {
 public:
  explicit Walker(const std::function<std::optional<uint32_t>(uint32_t)>& read) : read_(read) {}

  std::optional<uint32_t> At(uint32_t index) {
    if (index >= kRomQuadlets) return std::nullopt;
    return read_(index);
  }

  // Reads a block (directory or leaf) with its header at `index`; checks the CRC.
  bool Block(uint32_t index, std::vector<uint32_t>* body, std::string* error, const char* what) {
    std::optional<uint32_t> header = At(index);
    if (!header) return Fail(error, "read failed", what);
    uint32_t length = *header >> 16;
    body->clear();
    for (uint32_t i = 1; i <= length; ++i) {
      std::optional<uint32_t> q = At(index + i);
      if (!q) return Fail(error, "read failed", what);
      body->push_back(*q);
    }
    if (ConfigRomCrc16(*body) != (*header & 0xFFFF)) return Fail(error, "CRC mismatch", what);
    return true;
  }

  static bool Fail(std::string* error, const char* why, const char* what) {
    *error = std::string(why) + " in " + what;
    return false;
  }

 private:
  const std::function<std::optional<uint32_t>(uint32_t)>& read_;
};

bool ReadTextLeaf(Walker& w, uint32_t index, uint8_t key, std::vector<TextLeaf>* texts, std::string* error) {
  std::vector<uint32_t> body;
  if (!w.Block(index, &body, error, "textual leaf")) return false;
  if (body.size() < 2) return Walker::Fail(error, "short leaf", "textual leaf");
  TextLeaf leaf{key, {}};
  for (size_t i = 2; i < body.size(); ++i) {
    for (int shift = 24; shift >= 0; shift -= 8) leaf.text.push_back(static_cast<char>(body[i] >> shift));
  }
  while (!leaf.text.empty() && leaf.text.back() == '\0') leaf.text.pop_back();
  texts->push_back(std::move(leaf));
  return true;
}

bool ReadUnitDirectory(Walker& w, uint32_t index, UnitInfo* unit, std::string* error, bool logical_unit) {
  std::vector<uint32_t> entries;
  if (!w.Block(index, &entries, error, logical_unit ? "logical unit directory" : "unit directory")) return false;
  for (uint32_t i = 0; i < entries.size(); ++i) {
    const uint32_t entry = entries[i];
    const uint8_t key = static_cast<uint8_t>(entry >> 24);
    const uint32_t value = entry & 0xFFFFFF;
    const uint32_t target = index + 1 + i + value;  // leaves and directories: relative to the entry
    switch (key) {
      case 0x12: unit->unit_spec_id = value; break;
      case 0x13: unit->unit_sw_version = value; break;
      case 0x38: unit->command_set_spec_id = value; break;
      case 0x39: unit->command_set = value; break;
      case 0x54: unit->management_agent = value * 4; break;
      case 0x3A: unit->unit_characteristics = value; break;
      case 0x3D: unit->reconnect_timeout = static_cast<uint16_t>(value); break;
      case 0x14: unit->logical_unit_number = value; break;
      case 0x17: unit->model_id = value; break;
      case 0xD4:
        if (logical_unit) break;  // no nesting
        unit->has_logical_unit_directory = true;
        if (!ReadUnitDirectory(w, target, unit, error, true)) return false;
        break;
      default:
        // Key type 2 is a leaf; the textual descriptors are the only leaves a unit here has.
        if ((key >> 6) == 2 && !ReadTextLeaf(w, target, key, &unit->texts, error)) return false;
        break;
    }
  }
  return true;
}

}  // namespace

uint16_t ConfigRomCrc16(std::span<const uint32_t> quadlets) {
  uint32_t crc = 0;
  for (uint32_t q : quadlets) {
    for (int shift = 28; shift >= 0; shift -= 4) {
      uint32_t sum = ((crc >> 12) ^ (q >> shift)) & 0xF;
      crc = ((crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum) & 0xFFFF;
    }
  }
  return static_cast<uint16_t>(crc);
}

std::array<uint8_t, 36> MakeInquiry(uint8_t device_type, std::string_view vendor, std::string_view product,
                                    std::string_view revision) {
  std::array<uint8_t, 36> inquiry{};
  inquiry[0] = device_type & 0x1F;
  inquiry[1] = 0x80;  // removable medium
  inquiry[2] = 0x05;
  inquiry[3] = 0x02;
  inquiry[4] = 31;  // additional length
  PutText(inquiry, 8, 8, vendor);
  PutText(inquiry, 16, 16, product);
  PutText(inquiry, 32, 4, revision);
  return inquiry;
}

std::vector<uint8_t> BuildUnitDirectory(std::span<const uint8_t, 36> inquiry, int unit, DirectoryVariant variant,
                                        uint16_t reconnect_timeout) {
  const bool mac = variant == DirectoryVariant::kMac;
  std::vector<uint8_t> d(mac ? 80 : 100, 0);
  auto put = [&](size_t at, uint32_t v) { StoreBe32(&d[at], v); };
  put(4, 0x1200609E);
  put(8, 0x13010483);
  put(12, 0x3800609E);
  put(16, 0x390104D8);
  put(20, 0x54000000u | static_cast<uint32_t>(0x4000 + 2 * unit));
  put(24, 0x3A002808);
  put(28, 0x3D000000u | reconnect_timeout);
  put(32, 0x14000000u | static_cast<uint32_t>(inquiry[0] & 0x1F) << 16);
  if (mac) {
    put(36, 0x17000000);
    put(40, 0x81000001);
    std::memcpy(&d[56], &inquiry[8], 24);
    SealBlock(d, 44, 8);
    SealBlock(d, 0, 10);
  } else {
    put(36, 0xD4000001);
    put(44, 0x81000002);
    put(48, 0x82000006);
    std::memcpy(&d[64], &inquiry[8], 8);
    std::memcpy(&d[84], &inquiry[16], 16);
    SealBlock(d, 52, 4);
    SealBlock(d, 72, 6);
    SealBlock(d, 40, 2);
    SealBlock(d, 0, 9);
  }
  return d;
}

RomInfo ParseConfigRom(const std::function<std::optional<uint32_t>(uint32_t index)>& read) {
  RomInfo info;
  Walker w(read);
  std::optional<uint32_t> q0 = w.At(0);
  if (!q0) {
    info.error = "read failed in bus information block";
    return info;
  }
  const uint32_t info_length = *q0 >> 24;
  const uint32_t crc_length = (*q0 >> 16) & 0xFF;
  if (info_length < 4) {
    info.error = "minimal ROM: no root directory";
    return info;
  }
  // The first quadlet's CRC covers crc_length quadlets; they are read as a real initiator
  // reads the whole ROM once.
  std::vector<uint32_t> covered;
  for (uint32_t i = 1; i <= std::max(crc_length, info_length); ++i) {
    std::optional<uint32_t> q = w.At(i);
    if (!q) {
      info.error = "read failed in bus information block";
      return info;
    }
    covered.push_back(*q);
  }
  if (ConfigRomCrc16(std::span<const uint32_t>(covered).first(crc_length)) != (*q0 & 0xFFFF)) {
    info.error = "CRC mismatch in bus information block";
    return info;
  }
  info.bus_options = covered[1];
  info.eui64 = static_cast<uint64_t>(covered[2]) << 32 | covered[3];

  const uint32_t root = 1 + info_length;
  std::vector<uint32_t> entries;
  if (!w.Block(root, &entries, &info.error, "root directory")) return info;
  for (uint32_t i = 0; i < entries.size(); ++i) {
    if (entries[i] >> 24 != 0xD1) continue;  // Unit_Directory
    UnitInfo unit;
    unit.directory_index = root + 1 + i + (entries[i] & 0xFFFFFF);
    if (!ReadUnitDirectory(w, unit.directory_index, &unit, &info.error, false)) return info;
    info.units.push_back(std::move(unit));
  }
  info.ok = true;
  return info;
}

}  // namespace sim
