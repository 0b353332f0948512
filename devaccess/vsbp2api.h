// The device access library: the user-mode side of the SBP-2 target driver's control
// interface. It attaches the virtual SBP-2 device to the host controllers, opens the
// driver's units, runs each unit's management agent and, per login, keeps a command fetch
// pending and hands every command to the unit's opener as a RequestSlot.
//
// Results are Win32 error codes (0 = success). Every operation that walks controllers or
// opens and closes units takes the library's named mutex, which serialises it with every
// other process that uses the library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/vsbp_control.h"
#include "platform/win32/win32.h"

namespace devaccess {

using win32::DWORD;

struct UnitContext;  // the library's, opaque to callers

inline constexpr uint32_t kMaxCommandData = 0x200000;  // data buffer of one slot
inline constexpr uint16_t kManagementLoginIndex = 64;  // marks the management agent's own requests
inline constexpr int kSlotsPerLogin = 4;

// Moves bytes between a request's data and a caller's buffer. Direction 0 copies from
// `buffer` into the request (data for the initiator), 1 from the request into `buffer`.
// Moves at most what lies between `offset` and the end of the request's data.
using CopyFunction = void (*)(void* context, void* buffer, uint32_t length, uint32_t offset,
                              uint32_t direction);
inline constexpr uint32_t kCopyIntoRequest = 0;
inline constexpr uint32_t kCopyOutOfRequest = 1;

inline constexpr uint16_t kSlotDataFetched = 1;  // RequestSlot::flags: initiator data is in the buffer

// One fetched command: the unit of work between the library and a target. The data buffer
// (kMaxCommandData bytes) follows the record in memory; SlotData() finds it. The target
// may read every field, fill `sense`, lower `data_length` to what it produced and use the
// queue links; everything from `owner` on belongs to the library.
struct RequestSlot {
  void* data_context;    // the slot itself when the command has data, else null
  CopyFunction copy;     // null when the command has no data
  uint32_t data_length;  // bytes of the command's data, at most kMaxCommandData
  uint16_t flags;        // kSlotDataFetched
  uint8_t sense[18];     // fixed-format sense; zero on arrival, filled by a failing target
  uint8_t cdb[12];       // bus byte order
  uint32_t reserved;
  void* queue_links[2];  // free for the target's queue
  UnitContext* owner;
  uint16_t login_index;  // kManagementLoginIndex for the management agent's own requests
  uint16_t slot_index;
  uint16_t node_id;      // of the initiator when the command arrived
  // 1 when the answer must not be sent (bus reset, abort, the login ending). Written by the
  // login's thread while the target holds the slot: access it through std::atomic_ref.
  uint32_t cancelled;
  uint8_t speed;         // for the answer
  uint32_t generation;   // bus generation the answer is valid in
  win32::OVERLAPPED completion;  // of the answering request; its event is the slot's completion event
  uint8_t sense_status[24];      // status block with sense data, bus order
  uint32_t fetched_length;       // bytes of `record` the driver returned
  uint8_t reserved2[84];
  // The command as fetched; rewritten in place into the answering TransferRequest.
  vsbp::CommandRecord record;
};
static_assert(offsetof(RequestSlot, data_length) == 16);
static_assert(offsetof(RequestSlot, sense) == 22);
static_assert(offsetof(RequestSlot, cdb) == 40);
static_assert(offsetof(RequestSlot, queue_links) == 56);
static_assert(offsetof(RequestSlot, login_index) == 80);
static_assert(offsetof(RequestSlot, cancelled) == 88);
static_assert(offsetof(RequestSlot, completion) == 104);
static_assert(offsetof(RequestSlot, sense_status) == 136);
static_assert(offsetof(RequestSlot, record) == 248);
static_assert(sizeof(RequestSlot) == 4384);
inline constexpr size_t kSlotStride = sizeof(RequestSlot) + kMaxCommandData;
static_assert(kSlotStride == 2'101'536);

inline uint8_t* SlotData(RequestSlot* slot) { return reinterpret_cast<uint8_t*>(slot) + sizeof(RequestSlot); }

// Callbacks of a unit's opener. `user_data` is the pointer given to VSbp2ApiOpenUnit.
// Attach: a login (or, with EUI-64 0 and exclusive 0, the unit's own start) asks for a
// target context; 0 accepts, 8 means no resources, anything else refuses.
using AttachCallback = DWORD (*)(void* user_data, uint16_t unit_index, uint32_t eui64_lo,
                                 uint32_t eui64_hi, uint8_t exclusive, void** target_context);
// Called once when what Attach accepted ends, with the final code.
using ReleaseCallback = void (*)(void* user_data, uint16_t unit_index, void* target_context,
                                 DWORD code);
// ERROR_IO_PENDING: the target keeps the slot and calls VSbp2ApiCompleteRequest exactly
// once; any other value is the command's completion status.
using SubmitCallback = DWORD (*)(void* user_data, uint16_t unit_index, void* target_context,
                                 RequestSlot* slot);
// The unit stopped serving (closed, or the driver ended it).
using UnitEndCallback = void (*)(void* user_data, uint16_t unit_index, DWORD code);

struct UnitCallbacks {
  AttachCallback attach;
  ReleaseCallback release;
  SubmitCallback submit;
  UnitEndCallback unit_end;
};

inline constexpr uint32_t kUnitFlagMac = 1;  // publish the directory Mac initiators expect

// Library lifetime: the named mutex and the empty controller list.
DWORD VSbp2ApiInitialize();
DWORD VSbp2ApiUninitialize();

// Makes sure the controller at `controller_path` (a host controller interface path)
// carries the virtual device and that the driver came up on it. 0 when the device was
// added now, ERROR_ALREADY_EXISTS when it was there already.
DWORD VSbp2ApiAttachController(const win32::WCHAR* controller_path);

// Opens unit `unit_index` (0-7) of an attached controller and returns once its unit
// directory has been handed to the driver.
DWORD VSbp2ApiOpenUnit(const win32::WCHAR* controller_path, uint32_t unit_index, uint32_t flags,
                       const UnitCallbacks* callbacks, void* user_data);
DWORD VSbp2ApiCloseUnit(const win32::WCHAR* controller_path, uint32_t unit_index);

// Finishes a slot the target kept: status 0 is good; any other value failed, with the
// slot's sense telling how (fixed-format sense becomes CHECK CONDITION, anything else a
// transport failure). Callable from any thread of the process.
void VSbp2ApiCompleteRequest(RequestSlot* slot, DWORD status);

// The program's list of host controllers, kept by EnumerateHostControllers: a circular
// list with a sentinel head, in the order kept.
struct HostControllerNode {
  HostControllerNode* next;
  HostControllerNode* prev;
  uint32_t sequence;
  win32::SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;  // runs on to the path's terminator
};

// Attaches every present host controller; 1 with the number kept in *count, 0 on failure.
int EnumerateHostControllers(uint32_t* count);
// Closes and detaches every controller of the list (the virtual devices are removed).
void ReleaseHostControllers();
// The sentinel of the list (next == itself when empty). Read it only while no enumeration
// or release runs.
const HostControllerNode* HostControllers();

}  // namespace devaccess
