// Device enumeration over the kernel's device interfaces and device tree.
#include "platform/win32/win32_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace win32 {

namespace impl {

// ---------------------------------------------------------------------------------------
// Device sets and device instances.
struct DeviceInfoSet : Object {
  DeviceInfoSet() : Object(Kind::DeviceInfoSet) {}
  GUID interface_class{};
  std::vector<kern::DeviceInterfaceEntry> interfaces;
};

std::string DeviceObjectName(const kern::DeviceObject* pdo) {
  std::string name = pdo->name;
  if (name.empty()) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(pdo));
    name = buf;
  }
  std::replace(name.begin(), name.end(), '\\', '#');
  return name;
}

// A device a bus reported has no unique ID of its own, so its instance path carries its
// parent's identity in front of the bus's instance ID: the same device on two controllers
// gets two device instances.
std::string NodeInstancePath(const kern::pnp::DeviceNode& n) {
  // FNV-1a of the parent's device name: stable for a parent, short like a real prefix.
  uint32_t h = 2166136261u;
  for (char c : n.parent_pdo != nullptr ? DeviceObjectName(n.parent_pdo) : std::string()) {
    h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
  }
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%08X&", h);
  return n.hardware_id + "\\" + prefix + n.instance_id;
}

std::string InstanceIdOf(const kern::DeviceObject* pdo,
                         const std::vector<kern::pnp::DeviceNode>& tree) {
  for (const auto& n : tree) {
    if (n.pdo == pdo) return NodeInstancePath(n);
  }
  // Not reported by a bus: a device of the root, named after its device object.
  return "ROOT\\" + DeviceObjectName(pdo);
}

DEVINST DevInstOf(const std::string& instance_id) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  auto [it, inserted] = s.devinst_by_id.emplace(instance_id, 0);
  if (inserted) {
    s.id_by_devinst.push_back(instance_id);
    it->second = static_cast<DEVINST>(s.id_by_devinst.size());
  }
  return it->second;
}

bool InstanceIdOfDevInst(DEVINST devinst, std::string* id) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.misc);
  if (devinst == 0 || devinst > s.id_by_devinst.size()) return false;
  *id = s.id_by_devinst[devinst - 1];
  return true;
}

}  // namespace impl

using namespace impl;

// =======================================================================================
// Device enumeration.
HDEVINFO SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR enumerator, HWND, DWORD flags) {
  if ((flags & DIGCF_DEVICEINTERFACE) == 0 || (flags & DIGCF_ALLCLASSES) != 0) {
    t_last_error = ERROR_INVALID_FLAGS;
    return INVALID_HANDLE_VALUE;
  }
  if (class_guid == nullptr || enumerator != nullptr) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  if (ShouldFail(testing::Call::SetupDiGetClassDevs, ERROR_NOT_ENOUGH_MEMORY)) {
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<DeviceInfoSet>();
  set->interface_class = *class_guid;
  if (kern::System::Exists()) {
    set->interfaces = kern::ListDeviceInterfaces(*class_guid, (flags & DIGCF_PRESENT) == 0);
  }
  t_last_error = ERROR_SUCCESS;
  return Insert(std::move(set));
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* device_info,
                                 const GUID* interface_class, DWORD member_index,
                                 SP_DEVICE_INTERFACE_DATA* interface_data) {
  std::shared_ptr<DeviceInfoSet> s = LookupAs<DeviceInfoSet>(set, Kind::DeviceInfoSet);
  if (!s) return FALSE;
  if (interface_class == nullptr || device_info != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (interface_data == nullptr || interface_data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (ShouldFail(testing::Call::SetupDiEnumDeviceInterfaces, ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
  if (!(*interface_class == s->interface_class) || member_index >= s->interfaces.size()) {
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  const kern::DeviceInterfaceEntry& e = s->interfaces[member_index];
  interface_data->InterfaceClassGuid = e.interface_class;
  interface_data->Flags = e.enabled ? SPINT_ACTIVE : 0;
  interface_data->Reserved = member_index + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detail_size,
                                      DWORD* required_size, SP_DEVINFO_DATA* device_info) {
  std::shared_ptr<DeviceInfoSet> s = LookupAs<DeviceInfoSet>(set, Kind::DeviceInfoSet);
  if (!s) return FALSE;
  if (interface_data == nullptr || interface_data->Reserved == 0 ||
      interface_data->Reserved > s->interfaces.size()) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (ShouldFail(testing::Call::SetupDiGetDeviceInterfaceDetail, ERROR_NOT_ENOUGH_MEMORY)) {
    return FALSE;
  }
  const kern::DeviceInterfaceEntry& e = s->interfaces[interface_data->Reserved - 1];
  const std::u16string path = testing::DevicePathOf(e.symbolic_link);
  const DWORD needed = DeviceInterfaceDetailSize(path.size());
  if (required_size != nullptr) *required_size = needed;
  if (detail == nullptr) {
    return Fail(detail_size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
  }
  // The size of the structure as this (64-bit) build lays it out, and nothing else: the
  // packed size of 32-bit builds is refused, as the real 64-bit system refuses it.
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (detail_size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (device_info != nullptr && device_info->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  std::memcpy(reinterpret_cast<char*>(detail) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath),
              path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  if (device_info != nullptr) {
    device_info->ClassGuid = GUID{};
    device_info->DevInst = DevInstOf(InstanceIdOf(e.pdo, kern::pnp::DeviceTree()));
    device_info->Reserved = 0;
  }
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) { return CloseToken(set, true); }

CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST device, ULONG) {
  if (parent == nullptr) return CR_INVALID_POINTER;
  *parent = 0;
  std::string id;
  if (!InstanceIdOfDevInst(device, &id)) return CR_INVALID_DEVNODE;
  if (!kern::System::Exists()) return CR_NO_SUCH_DEVNODE;
  const std::vector<kern::pnp::DeviceNode> tree = kern::pnp::DeviceTree();
  for (const auto& n : tree) {
    if (NodeInstancePath(n) != id) continue;
    if (n.parent_pdo == nullptr) return CR_NO_SUCH_DEVNODE;
    *parent = DevInstOf(InstanceIdOf(n.parent_pdo, tree));
    return CR_SUCCESS;
  }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET CM_Get_Device_IDW(DEVINST device, PWSTR buffer, ULONG length, ULONG) {
  if (buffer == nullptr) return CR_INVALID_POINTER;
  std::string id;
  if (!InstanceIdOfDevInst(device, &id)) return CR_INVALID_DEVNODE;
  if (id.size() + 1 > length) return CR_BUFFER_SMALL;
  for (size_t i = 0; i < id.size(); ++i) buffer[i] = static_cast<unsigned char>(id[i]);
  buffer[id.size()] = 0;
  return CR_SUCCESS;
}

DWORD CMP_WaitNoPendingInstallEvents(DWORD) {
  if (kern::System::Exists()) kern::pnp::DevicesSettled();
  return WAIT_OBJECT_0;
}

}  // namespace win32
