// What the parts of the driver call in each other. Not for use outside driver/.
#pragma once

#include "driver/records.h"

namespace ostrane {

// ---- Transfer engine (transfer.cpp) --------------------------------------------------
// Starts a transfer on `c`: node, speed, generation, page size, segment list, local buffer
// descriptor, bytes remaining and completion have been set. Ends exactly once.
void StartTransfer(RequestContext* c, bool read, uint32_t payload_limit);
// Writes two host-order quadlets as a status block to the built-in element's address.
void WriteStatusBlock(RequestContext* c, uint32_t q0, uint32_t q1, CompletionAction action);
// Byte total an ORB or transfer request describes; 0 = the page table is not acceptable.
uint32_t PageTableTotal(uint16_t options, uint16_t data_size,
                        const vsbp::PageTableElement* elements);
// Completion action of READ_INITIATOR and WRITE_INITIATOR.
bool EndUserDataRequest(NTSTATUS status, RequestContext* c);
// Points the segment list of `c` at its built-in element.
void UseBuiltinSegment(RequestContext* c, uint16_t hi, uint32_t lo, uint16_t length);
// Points the segment list of `c` at a host-order page table.
void UsePageTable(RequestContext* c, const vsbp::PageTableElement* table, uint32_t count);
// Uses the context's own 4096-byte buffer as the local buffer of the next transfer.
void UseOwnBuffer(RequestContext* c);
// Returns a context to its pool (dropping its unit guard reference).
void ReleaseContext(RequestContext* c);

// ---- Control interface (control.cpp) -------------------------------------------------
NTSTATUS DispatchCreate(kern::DeviceObject* device, kern::Irp* irp);
NTSTATUS DispatchClose(kern::DeviceObject* device, kern::Irp* irp);
NTSTATUS DispatchCleanup(kern::DeviceObject* device, kern::Irp* irp);
NTSTATUS DispatchDeviceControl(kern::DeviceObject* device, kern::Irp* irp);
NTSTATUS DispatchSystemControl(kern::DeviceObject* device, kern::Irp* irp);
// Completes the unit's pending GET with `record` if its cancel routine can still be
// cleared (unit lock held by the caller). Returns the request to complete after the lock
// is released, or null.
kern::Irp* TakePendingGet(UnitRecord* u);
// Completes a request taken from a slot or unit (no lock may be held).
void CompleteTaken(kern::Irp* irp, NTSTATUS status, uintptr_t information);

// ---- Management agent (management.cpp) -----------------------------------------------
void DefaultAgentHandler(bus1394::NotificationInfo* info);
void CustomAgentHandler(bus1394::NotificationInfo* info);
// The deferred call of every RequestContext (register access continuation).
void ContextDeferredCall(kern::Dpc* dpc, void* context, void* arg1, void* arg2);
// Writes the status block of a task management ORB that was parked on a slot. No lock
// may be held; the context returns to its pool when the write ends.
void SendParkedStatus(RequestContext* parked);

// Register access answers shared by the management and command block agents.
// Builds the response header of `c` from the request packet; `data_quadlets` is 0 for a
// write response, 1 or 2 for a read response.
void BuildResponseHeader(RequestContext* c, const bus1394::NotificationInfo* info, uint32_t data_quadlets);
// Hands the answer places the response of `c` and queues its deferred call.
void AnswerAccess(RequestContext* c, bus1394::NotificationInfo* info);
// Speed of a register access: the request trailer's on interfaces below version 3.
uint8_t AccessSpeed(const ControllerDevice* d, const bus1394::NotificationInfo* info);

// ---- Command block agents (cmdagent.cpp) ---------------------------------------------
void CommandAgentHandler(bus1394::NotificationInfo* info);
bool CommandOrbFetched(NTSTATUS status, RequestContext* c);
// Slot lock held. Releases the slot; returns a parked context to its pool.
void ReleaseSlot(LoginSlot* slot);
// Slot lock held, after a stored ORB was returned to a FETCH: moves the agent on. A fetch
// to start is returned (start it with StartOrbFetch after the lock is released).
RequestContext* HandOverReadySlot(UnitRecord* u, LoginSlot* slot, uint16_t slot_index);
void StartOrbFetch(RequestContext* c);
enum class GenerationMode { kNone, kFromDevice, kBump };
// Requests taken off their slots under a lock, completed once every lock is released.
struct TakenRequests {
  kern::Irp* irps[kSlots] = {};
  int count = 0;
  NTSTATUS status = 0;
  void CompleteAll();
};
// Resets every login slot of the unit. With `deferred` the caller holds the unit lock and
// completes the taken requests itself after releasing it; otherwise the unit lock is
// taken here and the requests complete before the call returns.
void ResetLoginSlots(UnitRecord* u, NTSTATUS reason, GenerationMode mode,
                     TakenRequests* deferred = nullptr);
// Writes the CommandRecord of a ready slot into `out`; returns the Information.
uint32_t WriteCommandRecord(const LoginSlot* slot, void* out);

// ---- Configuration ROM, ranges and bus resets (unitconfig.cpp) -----------------------
NTSTATUS ConfigureUnit(UnitRecord* u, const uint8_t* directory, uint32_t length);
NTSTATUS PublishUnit(UnitRecord* u);
void StopUnit(UnitRecord* u, NTSTATUS reason);
NTSTATUS StartController(ControllerDevice* d);
void StopController(ControllerDevice* d, bool final_stop);
void BusResetNotification(void* context);
void ScheduleBusReset(ControllerDevice* d, bool minimum);
void ResetTimerDeferredCall(kern::Dpc* dpc, void* context, void* arg1, void* arg2);

// ---- Plug and Play and power (pnp.cpp) -----------------------------------------------
NTSTATUS DispatchPnp(kern::DeviceObject* device, kern::Irp* irp);
NTSTATUS DispatchPower(kern::DeviceObject* device, kern::Irp* irp);
NTSTATUS AddDevice(kern::DriverObject* driver, kern::DeviceObject* pdo);

}  // namespace ostrane
