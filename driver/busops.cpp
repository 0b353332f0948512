// Bus operations over the bus driver's request interface (IOCTL_1394_CLASS with a request
// block in the stack location's first argument).
#include "driver/busops.h"

#include <cstring>

namespace ostrane::bus {
namespace {

using namespace bus1394;

void Prepare(kern::Irp* irp, Irb* irb, uint32_t function, bool internal) {
  kern::ReuseIrp(irp, kern::STATUS_UNSUCCESSFUL);
  std::memset(irb, 0, sizeof(*irb));
  irb->function = function;
  kern::IoStackLocation* next = kern::NextStackLocation(irp);
  next->major = internal ? kern::IRP_MJ_INTERNAL_DEVICE_CONTROL : kern::IRP_MJ_DEVICE_CONTROL;
  next->minor = 0;
  next->device_io_control.io_control_code = IOCTL_1394_CLASS;
  next->device_io_control.input_buffer_length = 0;
  next->device_io_control.output_buffer_length = 0;
  next->others.argument1 = irb;
}

// Synchronous sends stop completion in this routine and wake the sender.
kern::NTSTATUS SignalAndStop(kern::DeviceObject*, kern::Irp*, void* context) {
  static_cast<kern::Event*>(context)->Set();
  return kern::STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendSync(ControllerDevice* d, kern::Irp* irp) {
  kern::Event done(kern::EventType::Notification, false);
  kern::SetCompletionRoutine(irp, SignalAndStop, &done, true, true, true);
  if (kern::CallDriver(d->lower, irp) == kern::STATUS_PENDING) done.Wait();
  return irp->io_status.status;
}

// The configuration context belongs to whoever holds the configuration mutex.
template <typename Fill>
NTSTATUS ConfigRequest(ControllerDevice* d, uint32_t function, Fill fill) {
  BusRequestContext* c = d->config_context;
  Prepare(c->bus_request, &c->irb, function, true);
  fill(c->irb);
  return SendSync(d, c->bus_request);
}

kern::NTSTATUS AsyncCompletion(kern::DeviceObject*, kern::Irp* irp, void* context) {
  auto* call = static_cast<BusCall*>(context);
  call->done(irp->io_status.status, call->context);
  return kern::STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendAsyncRequest(kern::DeviceObject* target, kern::Irp* irp, BusCall* call) {
  kern::SetCompletionRoutine(irp, AsyncCompletion, call, true, true, true);
  return kern::CallDriver(target, irp);
}

}  // namespace

NTSTATUS GetBusInterfaceVersion(ControllerDevice* d, uint16_t* major, uint16_t* minor) {
  HostDdiVersion version = {};
  NTSTATUS s = ConfigRequest(d, REQUEST_GET_LOCAL_HOST_INFO, [&](Irb& irb) {
    irb.u.get_host_info.level = GET_HOST_DDI_VERSION;
    irb.u.get_host_info.info = &version;
  });
  if (s == kern::STATUS_INVALID_PARAMETER || s == kern::STATUS_NOT_SUPPORTED) {
    // Stacks that predate the query answer it this way: they are version 0.0.
    *major = 0;
    *minor = 0;
    return kern::STATUS_SUCCESS;
  }
  if (kern::NtSuccess(s)) {
    *major = version.major;
    *minor = version.minor;
  }
  return s;
}

NTSTATUS GetHostLimits(ControllerDevice* d, uint32_t* max_read, uint32_t* max_write) {
  HostCapabilities caps = {};
  NTSTATUS s = ConfigRequest(d, REQUEST_GET_LOCAL_HOST_INFO, [&](Irb& irb) {
    irb.u.get_host_info.level = GET_HOST_CAPABILITIES;
    irb.u.get_host_info.info = &caps;
  });
  if (kern::NtSuccess(s)) {
    *max_read = caps.max_async_read_request;
    *max_write = caps.max_async_write_request;
  }
  return s;
}

NTSTATUS GetGeneration(ControllerDevice* d, uint32_t* generation) {
  NTSTATUS s = ConfigRequest(d, REQUEST_GET_GENERATION_COUNT, [](Irb&) {});
  if (kern::NtSuccess(s)) *generation = GenerationOf(d->config_context->irb);
  return s;
}

NTSTATUS GetLocalNodeId(ControllerDevice* d, uint16_t* node_id) {
  NTSTATUS s = ConfigRequest(d, REQUEST_GET_ADDR_FROM_DEVICE_OBJECT,
                             [](Irb& irb) { irb.u.get_addr.flags = USE_LOCAL_NODE; });
  if (kern::NtSuccess(s)) *node_id = NodeIdOf(d->config_context->irb);
  return s;
}

NTSTATUS AllocateRegisterRange(ControllerDevice* d, uint32_t offset, uint32_t length,
                               RangeHandler handler, void* context, AddressRange* range,
                               void** handle) {
  NTSTATUS s = ConfigRequest(d, REQUEST_ALLOCATE_ADDRESS_RANGE, [&](Irb& irb) {
    auto& a = irb.u.allocate_range;
    a.access_type = ACCESS_FLAGS_TYPE_READ | ACCESS_FLAGS_TYPE_WRITE | ACCESS_FLAGS_TYPE_LOCK |
                    ACCESS_FLAGS_TYPE_BROADCAST;
    a.notification_options = 0;
    a.required_offset = {0, kCsrOffsetHi, kCsrBase + offset};
    a.length = length;
    a.handler = handler;
    a.context = context;
    a.ranges = range;
  });
  if (kern::NtSuccess(s)) *handle = d->config_context->irb.u.allocate_range.handle;
  return s;
}

NTSTATUS FreeRegisterRange(ControllerDevice* d, AddressRange* range, void* handle) {
  return ConfigRequest(d, REQUEST_FREE_ADDRESS_RANGE, [&](Irb& irb) {
    irb.u.free_range.count = 1;
    irb.u.free_range.ranges = range;
    irb.u.free_range.handle = handle;
  });
}

NTSTATUS SetResetNotification(ControllerDevice* d, bool enable, ResetNotificationRoutine routine) {
  return ConfigRequest(d, REQUEST_BUS_RESET_NOTIFICATION, [&](Irb& irb) {
    irb.u.notification.flags = enable ? REGISTER_NOTIFICATION_ROUTINE : DEREGISTER_NOTIFICATION_ROUTINE;
    irb.u.notification.routine = routine;
    irb.u.notification.context = d;
  });
}

NTSTATUS AddUnitDirectory(ControllerDevice* d, kern::Mdl* data, uint32_t length, void** handle) {
  ModifyCromInfo info = {SLHP_FLAG_ADD_CROM_DATA, nullptr, data, length};
  NTSTATUS s = ConfigRequest(d, REQUEST_SET_LOCAL_HOST_PROPERTIES, [&](Irb& irb) {
    irb.u.set_host_properties.level = SET_LOCAL_HOST_PROPERTIES_MODIFY_CROM;
    irb.u.set_host_properties.info = &info;
  });
  if (kern::NtSuccess(s)) *handle = info.handle;
  return s;
}

NTSTATUS RemoveUnitDirectory(ControllerDevice* d, void* handle, kern::Mdl* data, uint32_t length) {
  ModifyCromInfo info = {SLHP_FLAG_REMOVE_CROM_DATA, handle, data, length};
  return ConfigRequest(d, REQUEST_SET_LOCAL_HOST_PROPERTIES, [&](Irb& irb) {
    irb.u.set_host_properties.level = SET_LOCAL_HOST_PROPERTIES_MODIFY_CROM;
    irb.u.set_host_properties.info = &info;
  });
}

NTSTATUS ReadHostConfigRom(ControllerDevice* d, void* buffer, uint32_t length) {
  BusRequestContext* c = d->pool.Get();
  if (c == nullptr) return kern::STATUS_INSUFFICIENT_RESOURCES;
  HostConfigRomInfo info = {buffer, length, 0};
  Prepare(c->bus_request, &c->irb, REQUEST_GET_LOCAL_HOST_INFO, true);
  c->irb.u.get_host_info.level = GET_HOST_CONFIG_ROM;
  c->irb.u.get_host_info.info = &info;
  NTSTATUS s = SendSync(d, c->bus_request);
  d->pool.Put(c);
  return s == kern::STATUS_INVALID_BUFFER_SIZE ? kern::STATUS_BUFFER_TOO_SMALL : s;
}

NTSTATUS SendGetGeneration(ControllerDevice* d, kern::Irp* irp, Irb* irb, BusCall* call) {
  Prepare(irp, irb, REQUEST_GET_GENERATION_COUNT, true);
  return SendAsyncRequest(d->lower, irp, call);
}

NTSTATUS SendGetLocalNodeId(ControllerDevice* d, kern::Irp* irp, Irb* irb, BusCall* call) {
  Prepare(irp, irb, REQUEST_GET_ADDR_FROM_DEVICE_OBJECT, true);
  irb->u.get_addr.flags = USE_LOCAL_NODE;
  return SendAsyncRequest(d->lower, irp, call);
}

NTSTATUS SendBusReset(ControllerDevice* d, kern::Irp* irp, Irb* irb, BusCall* call) {
  Prepare(irp, irb, REQUEST_BUS_RESET, true);
  irb->u.bus_reset.flags = 0;
  return SendAsyncRequest(d->lower, irp, call);
}

void SendAsync(ControllerDevice* d, kern::Irp* irp, Irb* irb, const AsyncTransfer& t,
               BusCall* call) {
  // Old bus interfaces take asynchronous requests as device control requests.
  bool internal = d->ddi_major >= 3;
  Prepare(irp, irb, t.read ? REQUEST_ASYNC_READ : REQUEST_ASYNC_WRITE, internal);
  Irb::AsyncTransfer& a = t.read ? irb->u.async_read : irb->u.async_write;
  a.destination = {t.node_id, t.offset_hi, t.offset_lo};
  a.bytes = t.bytes;
  a.block_size = t.block_size;
  a.mdl = t.mdl;
  a.generation = t.generation;
  a.speed = t.speed;
  a.tcode = t.tcode;
  SendAsyncRequest(d->transfer, irp, call);
}

}  // namespace ostrane::bus
