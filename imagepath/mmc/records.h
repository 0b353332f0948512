// The wire layouts of the information, configuration and key commands: CDB-independent
// answer and parameter records, byte for byte as the initiator sees them. Multi-byte fields
// are big-endian and reached only through their accessors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace imagepath::mmc {

// A big-endian unsigned field of N bytes (N <= 4) inside a packed record.
template <size_t N>
struct BigEndian {
  static_assert(N >= 1 && N <= 4);
  uint8_t bytes[N];

  constexpr uint32_t Get() const {
    uint32_t v = 0;
    for (size_t i = 0; i < N; ++i) v = v << 8 | bytes[i];
    return v;
  }
  constexpr void Set(uint32_t v) {
    for (size_t i = N; i-- > 0;) {
      bytes[i] = static_cast<uint8_t>(v);
      v >>= 8;
    }
  }
};
using Be16Field = BigEndian<2>;
using Be24Field = BigEndian<3>;
using Be32Field = BigEndian<4>;
static_assert(sizeof(Be16Field) == 2 && alignof(Be16Field) == 1);
static_assert(sizeof(Be24Field) == 3 && alignof(Be24Field) == 1);
static_assert(sizeof(Be32Field) == 4 && alignof(Be32Field) == 1);

// Records are read from and written to byte streams by copying, never by casting a pointer.
template <class Record>
Record LoadRecord(const uint8_t* bytes) {
  Record r;
  std::memcpy(&r, bytes, sizeof(r));
  return r;
}
template <class Record>
void StoreRecord(uint8_t* bytes, const Record& r) {
  std::memcpy(bytes, &r, sizeof(r));
}

// ---------------------------------------------------------------------------------------
// GET CONFIGURATION.

struct FeatureHeader {
  Be32Field data_length;  // bytes that follow this field
  uint8_t reserved[2];
  Be16Field current_profile;
};
static_assert(sizeof(FeatureHeader) == 8);
static_assert(offsetof(FeatureHeader, current_profile) == 6);

// The first four bytes of every feature descriptor.
struct FeatureDescriptorHeader {
  Be16Field feature_code;
  uint8_t flags;              // version in bits 2-5, persistent bit 1, current bit 0
  uint8_t additional_length;  // bytes after these four
};
static_assert(sizeof(FeatureDescriptorHeader) == 4);
inline constexpr uint8_t kFeatureCurrent = 0x01;

// ---------------------------------------------------------------------------------------
// MODE SENSE(10) / MODE SELECT(10).

struct ModeParameterHeader10 {
  Be16Field mode_data_length;  // bytes that follow this field
  uint8_t medium_type;
  uint8_t device_specific;
  uint8_t reserved[2];
  Be16Field block_descriptor_length;
};
static_assert(sizeof(ModeParameterHeader10) == 8);
static_assert(offsetof(ModeParameterHeader10, medium_type) == 2);
static_assert(offsetof(ModeParameterHeader10, block_descriptor_length) == 6);

struct BlockDescriptor {
  uint8_t density_code;
  Be24Field block_count;
  uint8_t reserved;
  Be24Field block_length;
};
static_assert(sizeof(BlockDescriptor) == 8);
static_assert(offsetof(BlockDescriptor, block_length) == 5);

struct ModePageHeader {
  uint8_t page_code;  // bits 0-5; PS bit 7, SPF bit 6
  uint8_t page_length;  // bytes after these two
};
static_assert(sizeof(ModePageHeader) == 2);
inline constexpr uint8_t kPageCodeMask = 0x3F;

// Page 0x08.
struct CachingPage {
  ModePageHeader header;
  uint8_t flags;  // RCD bit 0, WCE bit 2
  uint8_t rest[9];
};
static_assert(sizeof(CachingPage) == 12);
static_assert(offsetof(CachingPage, flags) == 2);
inline constexpr uint8_t kCachingRcd = 0x01;
inline constexpr uint8_t kCachingWce = 0x04;

// Page 0x0E.
struct AudioPort {
  uint8_t channel;  // output channel selection, bits 0-3
  uint8_t volume;
};
struct AudioControlPage {
  ModePageHeader header;
  uint8_t flags;
  uint8_t reserved[5];
  AudioPort ports[4];
};
static_assert(sizeof(AudioControlPage) == 16);
static_assert(offsetof(AudioControlPage, ports) == 8);
inline constexpr uint8_t kMaxAudioChannel = 15;

// Page 0x1A.
struct PowerConditionPage {
  ModePageHeader header;
  uint8_t reserved;
  uint8_t flags;  // standby bit 0, idle bit 1
  Be32Field idle_timer;
  Be32Field standby_timer;
};
static_assert(sizeof(PowerConditionPage) == 12);
static_assert(offsetof(PowerConditionPage, flags) == 3);
static_assert(offsetof(PowerConditionPage, idle_timer) == 4);
static_assert(offsetof(PowerConditionPage, standby_timer) == 8);
inline constexpr uint8_t kPowerStandbyEnabled = 0x01;
inline constexpr uint8_t kPowerIdleEnabled = 0x02;

// Page 0x2A, the fields the drive fills in.
struct CapabilitiesPage {
  ModePageHeader header;
  uint8_t capabilities[6];
  Be16Field maximum_speed;  // kB/s
  Be16Field volume_levels;
  Be16Field buffer_size;    // KB
  Be16Field current_speed;  // kB/s
  uint8_t rest[14];
};
static_assert(sizeof(CapabilitiesPage) == 30);
static_assert(offsetof(CapabilitiesPage, maximum_speed) == 8);
static_assert(offsetof(CapabilitiesPage, buffer_size) == 12);
static_assert(offsetof(CapabilitiesPage, current_speed) == 14);

// ---------------------------------------------------------------------------------------
// GET EVENT STATUS NOTIFICATION.

struct EventStatusHeader {
  Be16Field event_data_length;  // bytes that follow this field
  uint8_t notification_class;   // class code in bits 0-2, NEA bit 7
  uint8_t supported_classes;
};
static_assert(sizeof(EventStatusHeader) == 4);
inline constexpr uint8_t kNoEventAvailable = 0x80;

struct EventDescriptor {
  uint8_t event;
  uint8_t status;
  uint8_t data[2];
};
static_assert(sizeof(EventDescriptor) == 4);

struct EventStatus {
  EventStatusHeader header;
  EventDescriptor descriptor;
};
static_assert(sizeof(EventStatus) == 8);

// ---------------------------------------------------------------------------------------
// MECHANISM STATUS.

struct MechanismStatusHeader {
  uint8_t changer_state;    // fault bit 7, changer state bits 5-6, slot bits 0-4
  uint8_t mechanism_state;  // mechanism bits 5-7, door open bit 4
  Be24Field current_lba;
  uint8_t slots;
  Be16Field slot_table_length;
};
static_assert(sizeof(MechanismStatusHeader) == 8);
static_assert(offsetof(MechanismStatusHeader, current_lba) == 2);
inline constexpr uint8_t kDoorOpen = 0x10;

// ---------------------------------------------------------------------------------------
// REPORT LUNS.

struct LunListHeader {
  Be32Field list_length;  // bytes of LUN entries
  uint8_t reserved[4];
};
struct LunEntry {
  uint8_t lun[8];
};
static_assert(sizeof(LunListHeader) == 8 && sizeof(LunEntry) == 8);

// ---------------------------------------------------------------------------------------
// SEND DIAGNOSTIC parameter data that stops audio play.

struct StopPlayDiagnostic {
  uint8_t page_code;
  uint8_t kind;  // 0x00, 0x80 or 0xA0
  Be16Field page_length;
  Be32Field capacity;  // the medium's sectors
  uint8_t reserved[2];
  uint8_t action;
  uint8_t reserved2;
};
static_assert(sizeof(StopPlayDiagnostic) == 12);
static_assert(offsetof(StopPlayDiagnostic, capacity) == 4);
static_assert(offsetof(StopPlayDiagnostic, action) == 10);

// ---------------------------------------------------------------------------------------
// REPORT KEY / SEND KEY.

struct RpcState {
  Be16Field data_length;
  uint8_t reserved[2];
  uint8_t rpc_state;  // type code bits 6-7, vendor resets 3-5, user changes 0-2
  uint8_t region_mask;
  uint8_t rpc_scheme;
  uint8_t reserved2;
};
static_assert(sizeof(RpcState) == 8);
static_assert(offsetof(RpcState, rpc_state) == 4);

struct RegionParameter {
  Be16Field data_length;
  uint8_t reserved[2];
  uint8_t preferred_region;
};
static_assert(sizeof(RegionParameter) == 5);
static_assert(offsetof(RegionParameter, preferred_region) == 4);

}  // namespace imagepath::mmc
