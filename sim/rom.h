// Configuration ROM pieces shared by the simulated initiator and the user-mode responder:
// the IEEE 1212 CRC, the unit directory user mode publishes for a unit, and a parser that
// walks a node's ROM the way an initiator does after a bus reset.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline uint32_t LoadBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// CRC-16 of IEEE 1212 over quadlets whose first bus byte is the most significant.
uint16_t ConfigRomCrc16(std::span<const uint32_t> quadlets);

// A 36-byte standard INQUIRY answer: peripheral type, removable medium, and the
// identification fields space padded.
std::array<uint8_t, 36> MakeInquiry(uint8_t device_type, std::string_view vendor,
                                    std::string_view product, std::string_view revision);

// The two unit directory layouts: the one for Windows initiators (a logical unit directory
// with vendor and product leaves, 100 bytes) and the one for Macs (Model_ID and one
// vendor-and-product leaf, 80 bytes). Bytes in bus order.
enum class DirectoryVariant { kWindows, kMac };
std::vector<uint8_t> BuildUnitDirectory(std::span<const uint8_t, 36> inquiry, int unit,
                                        DirectoryVariant variant, uint16_t reconnect_timeout = 3);

struct TextLeaf {
  uint8_t key = 0;  // the directory entry's key byte (0x81, 0x82, ...)
  std::string text;  // trailing NULs removed
};

// One unit directory as an initiator reads it.
// Registered values of an SBP-2 unit directory: the NCITS registration ID, SBP-2's software
// version and the SCSI primary and multimedia command set.
inline constexpr uint32_t kNcitsId = 0x00609E;
inline constexpr uint32_t kSbp2SwVersion = 0x010483;
inline constexpr uint32_t kScsiMmcCommandSet = 0x0104D8;

struct UnitInfo {
  uint32_t directory_index = 0;  // quadlet index of its header in the ROM
  uint32_t unit_spec_id = 0;
  uint32_t unit_sw_version = 0;
  uint32_t command_set_spec_id = 0;
  uint32_t command_set = 0;
  uint32_t management_agent = 0;  // bytes from 0xFFFF_F000_0000; 0 = no entry
  uint32_t unit_characteristics = 0;
  uint16_t reconnect_timeout = 0;
  std::optional<uint32_t> logical_unit_number;  // the entry's 24-bit value
  std::optional<uint32_t> model_id;
  bool has_logical_unit_directory = false;
  std::vector<TextLeaf> texts;  // of the unit directory and its logical unit directory

  bool IsSbp2() const { return unit_spec_id == kNcitsId && unit_sw_version == kSbp2SwVersion; }
  uint32_t mgt_orb_timeout_ms() const { return ((unit_characteristics >> 8) & 0xFF) * 500; }
  uint32_t orb_size_bytes() const { return (unit_characteristics & 0xFF) * 4; }
  uint8_t device_type() const { return logical_unit_number ? (*logical_unit_number >> 16) & 0x1F : 0; }
  uint16_t lun() const { return logical_unit_number ? *logical_unit_number & 0xFFFF : 0; }
};

struct RomInfo {
  bool ok = false;
  std::string error;  // why not ok: a read that failed, a CRC that does not match, ...
  uint32_t bus_options = 0;
  uint64_t eui64 = 0;
  std::vector<UnitInfo> units;  // every unit directory of the root directory, in order
};

// Walks a ROM through `read`, which returns the quadlet at an index from the start of the
// ROM window (host order) or nothing when the read failed. Every block's CRC is checked.
RomInfo ParseConfigRom(const std::function<std::optional<uint32_t>(uint32_t index)>& read);

}  // namespace sim
