// The unit directory a unit publishes in the configuration ROM, and the IEEE 1212 CRC that
// seals its blocks. Pure functions: no handles, no threads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace devaccess {

inline constexpr uint32_t kWindowsDirectoryBytes = 100;
inline constexpr uint32_t kMacDirectoryBytes = 80;
inline constexpr uint32_t kInquiryBytes = 36;

// CRC-16 of IEEE 1212 over `count` quadlets, each in host order (its first bus byte the
// most significant).
uint16_t ConfigRomCrc16(const uint32_t* quadlets, size_t count);

struct UnitDirectoryParams {
  bool mac = false;                // Mac initiators want Model_ID and one combined leaf
  uint32_t management_agent = 0;   // byte offset in CSR space
  uint16_t reconnect_timeout = 0;  // seconds
};

// Writes the directory in bus order. `*size` is the room offered (at least 100 bytes) and
// becomes the bytes written, 100 or 80; false when the room is too small.
bool BuildUnitDirectory(uint32_t* size, uint8_t* out, const uint8_t (&inquiry)[kInquiryBytes],
                        const UnitDirectoryParams& params);

}  // namespace devaccess
