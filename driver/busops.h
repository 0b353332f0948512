// Bus operations: every 1394 request of the driver goes through these functions, and
// nothing else in the driver knows how the bus driver is reached. Putting the driver on
// another 1394 stack means another implementation of this header.
#pragma once

#include <cstdint>

#include "driver/records.h"

namespace ostrane::bus {

// Synchronous configuration requests: passive level, configuration mutex held (except
// ReadHostConfigRom), sent to the lower device on the configuration context.
NTSTATUS GetBusInterfaceVersion(ControllerDevice* d, uint16_t* major, uint16_t* minor);
NTSTATUS GetHostLimits(ControllerDevice* d, uint32_t* max_read, uint32_t* max_write);
NTSTATUS GetGeneration(ControllerDevice* d, uint32_t* generation);
NTSTATUS GetLocalNodeId(ControllerDevice* d, uint16_t* node_id);
NTSTATUS AllocateRegisterRange(ControllerDevice* d, uint32_t offset, uint32_t length,
                               bus1394::RangeHandler handler, void* context,
                               bus1394::AddressRange* range, void** handle);
NTSTATUS FreeRegisterRange(ControllerDevice* d, bus1394::AddressRange* range, void* handle);
NTSTATUS SetResetNotification(ControllerDevice* d, bool enable,
                              bus1394::ResetNotificationRoutine routine);
NTSTATUS AddUnitDirectory(ControllerDevice* d, kern::Mdl* data, uint32_t length, void** handle);
NTSTATUS RemoveUnitDirectory(ControllerDevice* d, void* handle, kern::Mdl* data, uint32_t length);
// Uses a context of the device pool (STATUS_INSUFFICIENT_RESOURCES when none is free).
NTSTATUS ReadHostConfigRom(ControllerDevice* d, void* buffer, uint32_t length);

// Asynchronous requests. `call->done` runs once, at dispatch level, with the request's
// status; `call` is owned by the sender's context and must stay valid until then. The
// result fields are read from the request block with the accessors below.

// Return what the bus driver's dispatch returned: anything but STATUS_PENDING means the
// continuation has already run.
NTSTATUS SendGetGeneration(ControllerDevice* d, kern::Irp* irp, bus1394::Irb* irb, BusCall* call);
NTSTATUS SendGetLocalNodeId(ControllerDevice* d, kern::Irp* irp, bus1394::Irb* irb, BusCall* call);
NTSTATUS SendBusReset(ControllerDevice* d, kern::Irp* irp, bus1394::Irb* irb, BusCall* call);
inline uint32_t GenerationOf(const bus1394::Irb& irb) { return irb.u.get_generation.generation; }
inline uint16_t NodeIdOf(const bus1394::Irb& irb) { return irb.u.get_addr.address.node_id; }

struct AsyncTransfer {
  bool read;
  uint16_t node_id;
  uint16_t offset_hi;
  uint32_t offset_lo;
  uint32_t bytes;
  uint32_t block_size;
  kern::Mdl* mdl;
  uint32_t generation;
  uint8_t speed;
  uint8_t tcode;
};
// AsyncRead / AsyncWrite to the transfer device.
void SendAsync(ControllerDevice* d, kern::Irp* irp, bus1394::Irb* irb, const AsyncTransfer& t,
               BusCall* call);

}  // namespace ostrane::bus
