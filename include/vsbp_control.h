// The control interface between the SBP-2 target driver and user mode: device interface
// class, control codes and the records that cross it.
//
// Byte order: inside these records the quadlets of SBP-2 structures are in host order
// (this layout assumes a little-endian host, as every supported one is), so the field in
// bits 16-31 of a quadlet is the 16-bit word at byte +2 of that quadlet. Command-block
// bytes stay in bus order. Every input starts with a 32-byte header whose first byte is
// the version.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vsbp {

// {E90951AD-F9CA-44F9-ADAA-0DB8406495AE}
struct InterfaceGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
inline constexpr InterfaceGuid kDeviceInterfaceClass = {
    0xE90951AD, 0xF9CA, 0x44F9, {0xAD, 0xAA, 0x0D, 0xB8, 0x40, 0x64, 0x95, 0xAE}};

inline constexpr uint8_t kControlVersion = 1;
inline constexpr uint32_t kHeaderBytes = 32;
inline constexpr int kUnitsPerController = 8;
inline constexpr int kLoginSlotsPerUnit = 64;
inline constexpr uint16_t kManagementTag = 64;  // TransferRequest tag of management traffic
inline constexpr uint16_t kReleaseSlotNodeId = 0xFFFF;
inline constexpr uint32_t kMaxPageTableElements = 512;
inline constexpr uint32_t kMaxUnitDirectoryBytes = 988;

// Unit handles are opened with the name "\unit" and two uppercase hexadecimal digits.
inline constexpr char16_t kUnitNamePrefix[] = u"\\unit";

constexpr uint32_t VsbpCtlCode(uint32_t function, uint32_t method) {
  return (0x22u << 16) | (function << 2) | method;  // FILE_DEVICE_UNKNOWN, FILE_ANY_ACCESS
}
inline constexpr uint32_t IOCTL_VSBP_GET_REQUEST = VsbpCtlCode(0xA00, 0);          // buffered
inline constexpr uint32_t IOCTL_VSBP_FETCH_COMMAND = VsbpCtlCode(0xA01, 0);        // buffered
inline constexpr uint32_t IOCTL_VSBP_READ_INITIATOR = VsbpCtlCode(0xA02, 2);       // out direct
inline constexpr uint32_t IOCTL_VSBP_WRITE_INITIATOR = VsbpCtlCode(0xA03, 1);      // in direct
inline constexpr uint32_t IOCTL_VSBP_GET_HOST_CONFIG_ROM = VsbpCtlCode(0xA04, 2);  // out direct
inline constexpr uint32_t IOCTL_VSBP_SET_HOST_CONFIG_ROM = VsbpCtlCode(0xA05, 1);  // in direct
static_assert(IOCTL_VSBP_GET_REQUEST == 0x222800);
static_assert(IOCTL_VSBP_FETCH_COMMAND == 0x222804);
static_assert(IOCTL_VSBP_READ_INITIATOR == 0x22280A);
static_assert(IOCTL_VSBP_WRITE_INITIATOR == 0x22280D);
static_assert(IOCTL_VSBP_GET_HOST_CONFIG_ROM == 0x222812);
static_assert(IOCTL_VSBP_SET_HOST_CONFIG_ROM == 0x222815);

// The 32-byte head of every input. Only the version is read by every request; the records
// below overlay it with their own fields.
struct RequestHeader {
  uint8_t version;
  uint8_t reserved[31];
};
static_assert(sizeof(RequestHeader) == kHeaderBytes);

// A page table element in host order: q0 = segment_length << 16 | segment_base_hi,
// q1 = segment_base_lo.
struct PageTableElement {
  uint32_t q0;
  uint32_t q1;

  constexpr uint16_t segment_length() const { return static_cast<uint16_t>(q0 >> 16); }
  constexpr uint16_t base_hi() const { return static_cast<uint16_t>(q0 & 0xFFFF); }
  constexpr uint32_t base_lo() const { return q1; }
  static constexpr PageTableElement Make(uint16_t length, uint16_t base_hi, uint32_t base_lo) {
    return {static_cast<uint32_t>(length) << 16 | base_hi, base_lo};
  }
};
static_assert(sizeof(PageTableElement) == 8);

// A management ORB as the driver hands it to user mode, followed by the head of its
// status block. Answer to IOCTL_VSBP_GET_REQUEST.
struct ManagementRecord {
  uint32_t orb_q0;                // ORB quadlets 0-1 as fetched (LOGIN: password)
  uint32_t orb_q1;
  uint16_t response_offset_hi;    // ORB q2 bits 15-0
  uint16_t lengths;               // LOGIN: response length << 5 | password length;
                                  // QUERY LOGINS: query response length; else ORB q2 31-16
  uint32_t response_offset_lo;    // ORB q3
  uint16_t lun_or_login_id;       // ORB q4 bits 15-0
  uint16_t options;               // ORB q4 bits 31-16, speed of the register write in 8-10
  uint32_t generation;            // bus generation of the fetch (replaces ORB q5)
  uint16_t status_fifo_hi;        // ORB q6 bits 15-0
  uint16_t initiator_node_id;     // writer of the MANAGEMENT_AGENT register
  uint32_t status_fifo_lo;        // ORB q7
  uint16_t orb_offset_hi;         // status head: the management ORB's address
  uint16_t local_node_id;
  uint32_t orb_offset_lo;

  constexpr uint8_t function() const { return options & 0xF; }
  constexpr uint8_t reconnect_exponent() const { return (options >> 4) & 0xF; }
  constexpr uint8_t speed() const { return (options >> 8) & 0x7; }
  constexpr bool exclusive() const { return (options >> 12) & 1; }
  constexpr uint16_t login_response_length() const { return lengths >> 5; }
  constexpr uint8_t password_length() const { return lengths & 0x1F; }
};
static_assert(sizeof(ManagementRecord) == 40);
static_assert(offsetof(ManagementRecord, response_offset_hi) == 0x08);
static_assert(offsetof(ManagementRecord, lengths) == 0x0A);
static_assert(offsetof(ManagementRecord, response_offset_lo) == 0x0C);
static_assert(offsetof(ManagementRecord, lun_or_login_id) == 0x10);
static_assert(offsetof(ManagementRecord, options) == 0x12);
static_assert(offsetof(ManagementRecord, generation) == 0x14);
static_assert(offsetof(ManagementRecord, status_fifo_hi) == 0x18);
static_assert(offsetof(ManagementRecord, initiator_node_id) == 0x1A);
static_assert(offsetof(ManagementRecord, status_fifo_lo) == 0x1C);
static_assert(offsetof(ManagementRecord, orb_offset_hi) == 0x20);
static_assert(offsetof(ManagementRecord, local_node_id) == 0x22);
static_assert(offsetof(ManagementRecord, orb_offset_lo) == 0x24);

// Management ORB function codes.
enum ManagementFunction : uint8_t {
  kLogin = 0x0,
  kQueryLogins = 0x1,
  kReconnect = 0x3,
  kSetPassword = 0x4,
  kLogout = 0x7,
  kAbortTask = 0xB,
  kAbortTaskSet = 0xC,
  kLogicalUnitReset = 0xE,
  kTargetReset = 0xF,
};

// Input of IOCTL_VSBP_FETCH_COMMAND.
struct FetchRequest {
  uint8_t version;
  uint8_t reserved0;
  uint16_t login_id;        // slot number, below 64
  uint8_t reserved1[15];
  uint8_t speed;            // bits 0-2: speed code for transfers with the initiator
  uint32_t generation;      // bus generation of the login
  uint16_t status_fifo_hi;
  uint16_t node_id;         // initiator node ID; kReleaseSlotNodeId releases the slot
  uint32_t status_fifo_lo;  // bits 0-1 ignored
};
static_assert(sizeof(FetchRequest) == 32);
static_assert(offsetof(FetchRequest, login_id) == 0x02);
static_assert(offsetof(FetchRequest, speed) == 0x13);
static_assert(offsetof(FetchRequest, generation) == 0x14);
static_assert(offsetof(FetchRequest, status_fifo_hi) == 0x18);
static_assert(offsetof(FetchRequest, node_id) == 0x1A);
static_assert(offsetof(FetchRequest, status_fifo_lo) == 0x1C);

inline constexpr uint32_t kCommandRecordMarker = 0x80000000;

// Output of IOCTL_VSBP_FETCH_COMMAND: one command ORB with its page table.
struct CommandRecord {
  uint32_t marker;             // kCommandRecordMarker
  uint32_t total_length;       // data_size, or the byte total of the page table
  uint32_t orb_q2;             // data_descriptor node_ID << 16 | offset_hi
  uint32_t orb_q3;             // data_descriptor offset_lo
  uint32_t orb_q4;             // options << 16 | data_size
  uint8_t cdb[12];             // bus byte order
  uint32_t status_template[2];  // host order
  PageTableElement page_table[kMaxPageTableElements];  // present when p is set

  constexpr uint16_t options() const { return static_cast<uint16_t>(orb_q4 >> 16); }
  constexpr uint16_t data_size() const { return static_cast<uint16_t>(orb_q4 & 0xFFFF); }
};
inline constexpr uint32_t kCommandRecordHeadBytes = 40;
static_assert(offsetof(CommandRecord, orb_q2) == 0x08);
static_assert(offsetof(CommandRecord, cdb) == 0x14);
static_assert(offsetof(CommandRecord, status_template) == 0x20);
static_assert(offsetof(CommandRecord, page_table) == kCommandRecordHeadBytes);
static_assert(sizeof(CommandRecord) == 4136);

// The options word of an ORB (q4 bits 31-16) and of a TransferRequest.
namespace options {
constexpr uint16_t page_size(uint16_t o) { return o & 0x7; }
constexpr bool page_table_present(uint16_t o) { return (o >> 3) & 1; }
constexpr uint8_t max_payload(uint16_t o) { return (o >> 4) & 0xF; }
constexpr uint8_t speed(uint16_t o) { return (o >> 8) & 0x7; }
// Bit 11: the ORB's direction bit (1 = the target writes initiator memory); in a
// TransferRequest it is the status flag.
constexpr bool direction_or_status(uint16_t o) { return (o >> 11) & 1; }
constexpr uint8_t status_speed(uint16_t o) { return (o >> 13) & 0x7; }
constexpr uint8_t rq_fmt(uint16_t o) { return (o >> 13) & 0x3; }
constexpr bool notify(uint16_t o) { return (o >> 15) & 1; }
constexpr uint16_t Make(uint8_t page_size_code, bool p, uint8_t max_payload_code, uint8_t spd,
                        bool status, uint8_t status_spd) {
  return static_cast<uint16_t>((page_size_code & 7) | (p ? 1 << 3 : 0) |
                               (max_payload_code & 0xF) << 4 | (spd & 7) << 8 |
                               (status ? 1 << 11 : 0) | (status_spd & 7) << 13);
}
}  // namespace options

// Input of IOCTL_VSBP_READ_INITIATOR and IOCTL_VSBP_WRITE_INITIATOR. 32 bytes, 40 with the
// status flag (then the status block follows), then the page table when p is set.
struct TransferRequest {
  uint8_t version;
  uint8_t reserved0;
  uint16_t tag;              // login ID, or kManagementTag; not interpreted
  uint32_t transfer_length;  // must equal the out buffer length
  uint16_t data_offset_hi;   // p clear
  uint16_t node_id;          // node of the initiator memory
  uint32_t data_offset_lo;   // p clear; bits 0-1 ignored
  uint16_t data_size;        // bytes (p clear) or page table elements (p set)
  uint16_t options;          // see `options`
  uint32_t generation;
  uint16_t status_fifo_hi;   // status flag set
  uint16_t status_node_id;
  uint32_t status_fifo_lo;   // bits 0-1 ignored
};
static_assert(sizeof(TransferRequest) == 32);
static_assert(offsetof(TransferRequest, tag) == 0x02);
static_assert(offsetof(TransferRequest, transfer_length) == 0x04);
static_assert(offsetof(TransferRequest, data_offset_hi) == 0x08);
static_assert(offsetof(TransferRequest, node_id) == 0x0A);
static_assert(offsetof(TransferRequest, data_offset_lo) == 0x0C);
static_assert(offsetof(TransferRequest, data_size) == 0x10);
static_assert(offsetof(TransferRequest, options) == 0x12);
static_assert(offsetof(TransferRequest, generation) == 0x14);
static_assert(offsetof(TransferRequest, status_fifo_hi) == 0x18);
static_assert(offsetof(TransferRequest, status_node_id) == 0x1A);
static_assert(offsetof(TransferRequest, status_fifo_lo) == 0x1C);

// With the status flag the 8-byte status block (host order) follows the head.
struct TransferRequestWithStatus {
  TransferRequest head;
  uint32_t status_block[2];
};
static_assert(sizeof(TransferRequestWithStatus) == 40);
static_assert(offsetof(TransferRequestWithStatus, status_block) == 0x20);

inline constexpr uint32_t TransferHeadBytes(uint16_t opts) {
  return options::direction_or_status(opts) ? 40 : 32;
}

// Status block quadlet 0 (host order) fields.
namespace status_block {
constexpr uint32_t Make(uint8_t src, uint8_t resp, bool dead, uint8_t sbp_status,
                        uint16_t orb_offset_hi) {
  return static_cast<uint32_t>(src & 3) << 30 | static_cast<uint32_t>(resp & 3) << 28 |
         (dead ? 1u << 27 : 0u) | 1u << 24 | static_cast<uint32_t>(sbp_status) << 16 |
         orb_offset_hi;
}
constexpr uint8_t src(uint32_t q0) { return q0 >> 30; }
constexpr uint8_t resp(uint32_t q0) { return (q0 >> 28) & 3; }
constexpr bool dead(uint32_t q0) { return (q0 >> 27) & 1; }
constexpr uint8_t len(uint32_t q0) { return (q0 >> 24) & 7; }
constexpr uint8_t sbp_status(uint32_t q0) { return (q0 >> 16) & 0xFF; }
constexpr uint16_t orb_offset_hi(uint32_t q0) { return q0 & 0xFFFF; }
constexpr uint32_t WithResp(uint32_t q0, uint8_t resp) {
  return (q0 & ~(3u << 28)) | static_cast<uint32_t>(resp & 3) << 28;
}
constexpr uint32_t WithSbpStatus(uint32_t q0, uint8_t s) {
  return (q0 & ~(0xFFu << 16)) | static_cast<uint32_t>(s) << 16;
}
constexpr uint32_t WithDead(uint32_t q0, bool d) { return (q0 & ~(1u << 27)) | (d ? 1u << 27 : 0); }
}  // namespace status_block

enum StatusResp : uint8_t {
  kRespRequestComplete = 0,
  kRespTransportFailure = 1,
  kRespIllegalRequest = 2,
  kRespVendorDependent = 3,
};

// sbp_status values the driver itself writes.
enum SbpStatus : uint8_t {
  kSbpNoAdditionalInformation = 0x00,
  kSbpAccessDenied = 0x04,
  kSbpFunctionRejected = 0x09,
  kSbpLoginIdNotRecognized = 0x0A,
  kSbpDummyOrbCompleted = 0x0B,
  kSbpUnspecifiedError = 0xFF,
  // With resp TRANSPORT FAILURE: object in bits 7-6, serial bus error in bits 3-0.
  kSbpDataBufferDataError = 0x4D,
  kSbpPageTableDataError = 0x8D,
  kSbpOrbConflictError = 0x0C,
};

}  // namespace vsbp
