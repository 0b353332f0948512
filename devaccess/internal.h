// The library's own records and the routines its parts share. Tests include it to reach a
// unit's handle and to drive single routines.
#pragma once

#include <cstdint>

#include "devaccess/unit_directory.h"
#include "devaccess/vsbp2api.h"
#include "platform/win32/win32.h"

namespace devaccess {

using win32::HANDLE;

inline constexpr int kUnitsPerController = 8;
inline constexpr int kLoginsPerUnit = 64;
inline constexpr uint16_t kMaxLogins = 4;
inline constexpr uint16_t kMaxReconnectHold = 3;  // seconds
inline constexpr uint32_t kManagementAgentBase = 0x10000;  // CSR offset of unit 0's agent register

// Control codes a login's thread is told through its control event.
inline constexpr DWORD kControlLogout = 0;
inline constexpr DWORD kControlResume = win32::ERROR_BUS_RESET;  // a RECONNECT was accepted
inline constexpr DWORD kControlUnitClosing = win32::ERROR_OPERATION_ABORTED;
inline constexpr DWORD kControlAbandon = win32::ERROR_IO_DEVICE;

// Index of the events of a login in LoginContext::events: one completion event per slot,
// then the fetch and control events, in the order the login's thread waits on them.
inline constexpr int kFetchEvent = kSlotsPerLogin;
inline constexpr int kControlEvent = kSlotsPerLogin + 1;
inline constexpr int kLoginEvents = kSlotsPerLogin + 2;

struct LoginContext {
  UnitContext* unit;  // owner; set with the index when the controller entry is made
  uint16_t index;     // login slot, equal to the login ID the initiator was given
  uint16_t reconnect_hold;
  uint32_t eui64_lo;
  uint32_t eui64_hi;
  uint16_t status_fifo_hi;
  uint32_t status_fifo_lo;  // low two bits clear
  uint8_t exclusive;
  void* target_context;  // from the AttachCallback
  HANDLE thread;         // null: the login is free
  HANDLE started_event;
  HANDLE events[kLoginEvents];
  RequestSlot* slots;  // kSlotsPerLogin slots of kSlotStride bytes each
  // Changed only by the login's thread.
  uint32_t busy[kSlotsPerLogin];
  uint8_t in_flight;
  win32::OVERLAPPED status_overlapped;  // status blocks the thread writes itself

  // Guarded by `lock`.
  win32::CRITICAL_SECTION lock;
  uint16_t reconnect_countdown;
  uint16_t node_id;  // 0xFFFF while waiting for a reconnect
  uint8_t speed;
  uint32_t generation;  // the bus generation node_id is valid in
  uint8_t ended;        // the thread is finished or has given up
  // A FETCH issued in `armed_generation` has been taken by the driver, so the driver's login
  // slot is claimed and takes agent register writes in that generation; cleared by a bus
  // reset.
  uint8_t fetch_armed;
  uint32_t armed_generation;
  DWORD control_code;   // what the control event means; also the start result
};

struct UnitContext {
  struct ControllerEntry* controller;
  uint16_t index;
  uint16_t max_logins;
  uint16_t max_reconnect_hold;
  uint32_t management_agent;  // byte offset in CSR space
  uint32_t flags;             // kUnitFlagMac
  HANDLE handle;              // the unit handle, overlapped; null while closed
  HANDLE management_thread;
  HANDLE start_event;
  DWORD start_result;
  HANDLE stop_event;
  UnitCallbacks callbacks;
  void* user_data;
  // The management thread's own.
  HANDLE management_event;
  win32::OVERLAPPED management_overlapped;
  LoginContext logins[kLoginsPerUnit];
};

struct ListLinks {
  ListLinks* next;
  ListLinks* prev;
};

struct ControllerEntry {
  ListLinks links;  // first: the list holds entries by their links
  HANDLE driver_handle;  // open while open_units > 0
  uint16_t open_units;
  UnitContext units[kUnitsPerController];
  win32::SP_DEVICE_INTERFACE_DETAIL_DATA_W* bus_detail;     // the host controller's interface
  win32::SP_DEVICE_INTERFACE_DETAIL_DATA_W* driver_detail;  // the driver's, below it
};

// Accepts an interface: (detail, device information, context) -> non-zero.
using InterfaceMatch = int (*)(const win32::SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail,
                               const win32::SP_DEVINFO_DATA* device, void* context);
// 0 when `match` accepted an interface (its detail in *detail when given, which the caller
// frees with std::free), 55 when none did, 8 on an enumeration or memory failure.
DWORD FindDeviceInterface(const win32::GUID& interface_class, InterfaceMatch match, void* context,
                          win32::SP_DEVICE_INTERFACE_DETAIL_DATA_W** detail);

// Reads (write 0) or writes (write 1) initiator memory through the unit handle and waits.
DWORD TransferInitiatorMemory(HANDLE unit, win32::OVERLAPPED* overlapped, uint16_t node_id,
                              uint16_t offset_hi, uint32_t offset_lo, uint32_t generation, void* buffer,
                              uint32_t length, int write, uint8_t speed, uint16_t login_index);

// Builds the 24-byte status block of a failed command into `out` (bus order) from the
// ORB's status template (host order) and fixed-format sense; false when the sense is not
// fixed-format, in which case nothing is written.
bool SenseToStatusBlock(const uint32_t (&status_template)[2], const uint8_t (&sense)[18], uint8_t (&out)[24]);

win32::DWORD LoginRequestThread(void* login_context);
win32::DWORD ManagementThread(void* unit_context);

// The management thread's routines, here so that the thread's parts can be read apart.
void ProcessManagementRequest(const vsbp::ManagementRecord& record, UnitContext* unit);
void ReleaseLogin(uint16_t login_index, UnitContext* unit);
void SignalLogin(uint16_t login_index, UnitContext* unit, DWORD code);

// The unit handle of an open unit of the calling process, else null.
HANDLE UnitHandle(const win32::WCHAR* controller_path, uint32_t unit_index);

// Bus-order quadlets.
inline uint32_t ToBus32(uint32_t v) { return __builtin_bswap32(v); }
inline uint32_t FromBus32(uint32_t v) { return __builtin_bswap32(v); }

}  // namespace devaccess
