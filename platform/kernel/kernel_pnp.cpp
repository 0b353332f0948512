// The Plug and Play manager: drivers by hardware ID, the device tree, start and removal.
// All its work runs on the system's PnP thread, one piece at a time, as the real manager
// serialises device tree changes.
#include <algorithm>

#include "platform/kernel/kernel_internal.h"

namespace kern {

namespace {

System::Impl& Sys() { return System::Current().impl(); }

// Runs `fn` on the PnP thread and waits for it (inline when already there).
void RunOnPnpThread(const std::function<void()>& fn) {
  System::Impl& impl = Sys();
  if (impl.pnp.OnPoolThread()) {
    fn();
    return;
  }
  KERN_CHECK(CurrentIrql() == Irql::Passive, "waiting for PnP work above passive level");
  Event done;
  impl.pnp.Queue([&] {
    fn();
    done.Set();
  });
  done.Wait();
}

// With io_mutex held.
System::Impl::Node* FindNode(System::Impl& impl, DeviceObject* pdo) {
  for (auto& n : impl.nodes) {
    if (n.node.pdo == pdo) return &n;
  }
  return nullptr;
}

// With io_mutex held. A stack being removed takes no new opens and no new attachments.
void SetRemovingLocked(System::Impl& impl, DeviceObject* pdo, bool removing) {
  auto it = impl.devices.find(pdo);
  if (it != impl.devices.end()) it->second.removing = removing;
}

NTSTATUS SendPnpNow(DeviceObject* pdo, uint8_t minor, uintptr_t* information = nullptr,
                    DeviceCapabilities* capabilities = nullptr) {
  DeviceObject* top = AttachedDeviceTop(pdo);
  Irp* irp = AllocateReservedIrp(top->stack_size);
  irp->io_status.status = STATUS_NOT_SUPPORTED;
  IoStackLocation* s = NextStackLocation(irp);
  s->major = IRP_MJ_PNP;
  s->minor = minor;
  s->capabilities = capabilities;
  return SendAndWait(top, irp, nullptr, information);
}

void RemoveNow(DeviceObject* pdo) {  // on the PnP thread, with the stack marked removing
  SendPnpNow(pdo, IRP_MN_REMOVE_DEVICE);
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  std::erase_if(impl.nodes, [pdo](const System::Impl::Node& n) { return n.node.pdo == pdo; });
  // A bus driver that keeps the PDO (its device is still there) may report it again.
  SetRemovingLocked(impl, pdo, false);
}

void StartDevice(DeviceObject* pdo, const std::string& hardware_id) {  // on the PnP thread
  System::Impl& impl = Sys();
  DriverObject* driver = nullptr;
  System::Impl::Driver* record = nullptr;
  {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    auto id = impl.hardware_ids.find(hardware_id);
    if (id != impl.hardware_ids.end()) {
      record = &impl.drivers.at(id->second);
      driver = record->object.get();
    }
  }
  auto finish = [&](bool started, NTSTATUS status) {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    if (System::Impl::Node* n = FindNode(impl, pdo)) {
      n->node.started = started;
      n->node.start_status = status;
    }
  };
  if (record == nullptr) return finish(false, STATUS_NO_SUCH_DEVICE);
  if (driver == nullptr) {
    // First device of the driver: load it.
    auto object = std::make_unique<DriverObject>();
    object->name = record->name;
    const NTSTATUS status = record->entry(object.get());
    if (!NtSuccess(status)) return finish(false, status);
    driver = object.get();
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    record->object = std::move(object);
  }
  if (driver->add_device == nullptr) return finish(false, STATUS_NOT_SUPPORTED);
  NTSTATUS status = driver->add_device(driver, pdo);
  if (!NtSuccess(status)) return finish(false, status);
  status = SendPnpNow(pdo, IRP_MN_START_DEVICE);
  if (!NtSuccess(status)) {
    // A stack that fails to start is torn down again.
    SendPnpNow(pdo, IRP_MN_REMOVE_DEVICE);
    return finish(false, status);
  }
  finish(true, status);
}

}  // namespace

// Called by CloseFile when the last file on a stack has closed.
void OnStackFilesClosed(DeviceObject* pdo) {
  System::Impl& impl = Sys();
  {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    System::Impl::Node* n = FindNode(impl, pdo);
    if (n == nullptr || !n->remove_on_close) return;
    n->remove_on_close = false;
  }
  impl.pnp.Queue([pdo] { RemoveNow(pdo); });
}

namespace pnp {

NTSTATUS RegisterDriver(const std::string& hardware_id, const std::string& driver_name,
                        DriverEntryRoutine entry) {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  if (impl.hardware_ids.count(hardware_id) != 0) return STATUS_OBJECT_NAME_COLLISION;
  System::Impl::Driver& d = impl.drivers[driver_name];
  KERN_CHECK(d.entry == nullptr || d.entry == entry,
             "driver %s registered with two entry routines", driver_name.c_str());
  d.name = driver_name;
  d.entry = entry;
  impl.hardware_ids[hardware_id] = driver_name;
  return STATUS_SUCCESS;
}

void UnregisterDrivers() {
  RunOnPnpThread([] {
    System::Impl& impl = Sys();
    std::map<std::string, System::Impl::Driver> drivers;
    {
      std::lock_guard<std::mutex> lock(impl.io_mutex);
      for (auto& [device, info] : impl.devices) {
        for (auto& [name, d] : impl.drivers) {
          KERN_CHECK(info.deleted || d.object == nullptr || device->driver != d.object.get(),
                     "driver %s unloaded while it has devices", name.c_str());
        }
      }
      drivers.swap(impl.drivers);
      impl.hardware_ids.clear();
    }
    for (auto& [name, d] : drivers) {
      if (d.object != nullptr && d.object->unload != nullptr) d.object->unload(d.object.get());
    }
  });
}

void ReportDevice(DeviceObject* pdo, const std::string& hardware_id,
                  const std::string& instance_id, DeviceObject* parent) {
  System::Impl& impl = Sys();
  {
    std::lock_guard<std::mutex> lock(impl.io_mutex);
    if (FindNode(impl, pdo) != nullptr) return;  // known already
    System::Impl::Node n;
    n.node.pdo = pdo;
    n.node.hardware_id = hardware_id;
    n.node.instance_id = instance_id;
    n.node.parent_pdo = parent;
    impl.nodes.push_back(n);
  }
  impl.pnp.Queue([pdo, hardware_id] { StartDevice(pdo, hardware_id); });
}

void ReportDeviceGone(DeviceObject* pdo) {
  System::Impl& impl = Sys();
  impl.pnp.Queue([pdo] {
    System::Impl& s = Sys();
    bool started;
    {
      std::lock_guard<std::mutex> lock(s.io_mutex);
      System::Impl::Node* n = FindNode(s, pdo);
      if (n == nullptr || n->gone) return;
      n->gone = true;
      started = n->node.started;
      SetRemovingLocked(s, pdo, true);
    }
    if (started) SendPnpNow(pdo, IRP_MN_SURPRISE_REMOVAL);
    {
      std::lock_guard<std::mutex> lock(s.io_mutex);
      if (OpenFilesOnStackLocked(s, pdo) > 0) {
        // The handles still open keep the stack; the last close sends the removal.
        FindNode(s, pdo)->remove_on_close = true;
        return;
      }
    }
    RemoveNow(pdo);
  });
}

bool RequestRemoval(DeviceObject* pdo) {
  bool removed = false;
  RunOnPnpThread([&] {
    System::Impl& impl = Sys();
    {
      std::lock_guard<std::mutex> lock(impl.io_mutex);
      System::Impl::Node* n = FindNode(impl, pdo);
      if (n == nullptr || n->gone) return;
    }
    NTSTATUS status = SendPnpNow(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    bool vetoed = !NtSuccess(status);
    if (!vetoed) {
      std::lock_guard<std::mutex> lock(impl.io_mutex);
      vetoed = OpenFilesOnStackLocked(impl, pdo) > 0;  // handles still open veto it too
      if (!vetoed) SetRemovingLocked(impl, pdo, true);
    }
    if (vetoed) {
      SendPnpNow(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
      return;
    }
    RemoveNow(pdo);
    removed = true;
  });
  return removed;
}

void DevicesSettled() {
  KERN_CHECK(!Sys().pnp.OnPoolThread(), "DevicesSettled on the PnP thread");
  Sys().pnp.Flush();
}

NTSTATUS SendPnp(DeviceObject* pdo, uint8_t minor, uintptr_t* information,
                 DeviceCapabilities* capabilities) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  RunOnPnpThread([&] { status = SendPnpNow(pdo, minor, information, capabilities); });
  return status;
}

NTSTATUS SendPower(DeviceObject* pdo, uint8_t minor, PowerType type, uint32_t state) {
  KERN_CHECK(CurrentIrql() == Irql::Passive, "SendPower above passive level");
  DeviceObject* top = AttachedDeviceTop(pdo);
  Irp* irp = AllocateIrp(top->stack_size);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->io_status.status = STATUS_NOT_SUPPORTED;
  IoStackLocation* s = NextStackLocation(irp);
  s->major = IRP_MJ_POWER;
  s->minor = minor;
  s->power.type = type;
  s->power.state = state;
  return SendAndWait(top, irp, nullptr, nullptr);
}

std::vector<DeviceNode> DeviceTree() {
  System::Impl& impl = Sys();
  std::lock_guard<std::mutex> lock(impl.io_mutex);
  std::vector<DeviceNode> result;
  for (auto& n : impl.nodes) result.push_back(n.node);
  return result;
}

}  // namespace pnp

}  // namespace kern
