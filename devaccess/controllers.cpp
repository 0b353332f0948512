// Host controllers and unit devices: the library mutex, the controller list, adding the
// virtual device through the bus driver, and opening and closing units.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "devaccess/internal.h"

namespace devaccess {
namespace {

using namespace win32;

// {6BDD1FC1-810F-11D0-BEC7-08002BE2092F}: the interface of every IEEE 1394 host controller.
constexpr GUID kHostControllerClass = {0x6BDD1FC1, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

GUID DriverInterfaceClass() {
  const vsbp::InterfaceGuid& g = vsbp::kDeviceInterfaceClass;
  GUID out{g.data1, g.data2, g.data3, {}};
  std::memcpy(out.data4, g.data4, sizeof(out.data4));
  return out;
}

constexpr WCHAR kDeviceIdBase[] = u"KORVEN_1394_VSBP2_DEVICE_REV_";
constexpr int kDeviceRevision = 1;
constexpr size_t kMaxMutexName = 45;

// The bus driver's request that adds or removes a virtual device on a controller.
constexpr DWORD IOCTL_IEEE1394_API_REQUEST = 0x220400;
constexpr uint32_t kAddVirtualDevice = 1;
constexpr uint32_t kRemoveVirtualDevice = 2;
constexpr uint32_t kVirtualDeviceFlags = 5;
struct Ieee1394ApiRequest {
  uint32_t request_number;
  uint32_t flags;
  uint32_t ful_flags;
  uint32_t reserved;
  uint64_t instance_id;
  WCHAR device_id[32];
};
static_assert(sizeof(Ieee1394ApiRequest) == 88);
static_assert(offsetof(Ieee1394ApiRequest, instance_id) == 16);
static_assert(offsetof(Ieee1394ApiRequest, device_id) == 24);

constexpr DWORD kDeviceSettleMs = 2000;  // for Plug and Play to load the driver on a new device

// "%ws%02d": base, then the revision in two digits.
void AppendTwoDigits(WCHAR* at, int value) {
  at[0] = static_cast<WCHAR>(u'0' + value / 10 % 10);
  at[1] = static_cast<WCHAR>(u'0' + value % 10);
}

size_t Length(const WCHAR* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

bool SamePath(const WCHAR* a, const WCHAR* b) {
  if (a == nullptr || b == nullptr) return false;
  size_t i = 0;
  for (; a[i] != 0 && a[i] == b[i]; ++i) {
  }
  return a[i] == b[i];
}

void DeviceId(WCHAR (&out)[32]) {
  std::memset(out, 0, sizeof(out));
  const size_t n = Length(kDeviceIdBase);
  std::memcpy(out, kDeviceIdBase, n * sizeof(WCHAR));
  AppendTwoDigits(out + n, kDeviceRevision);
}

// What one process of the library holds. The machine's processes are logical ones inside
// this program, so the process-wide state is kept per process ID.
struct Library {
  HANDLE mutex = nullptr;
  ListLinks controllers{&controllers, &controllers};
  HostControllerNode nodes{&nodes, &nodes, 0, {}};
};

Library& State() {
  static std::mutex mu;
  static std::map<DWORD, std::unique_ptr<Library>> libraries;
  std::lock_guard<std::mutex> lock(mu);
  std::unique_ptr<Library>& library = libraries[GetCurrentProcessId()];
  if (!library) library = std::make_unique<Library>();
  return *library;
}

ControllerEntry* EntryOf(ListLinks* l) { return reinterpret_cast<ControllerEntry*>(l); }
ListLinks* ListLinksOf(ControllerEntry* e) { return &e->links; }
static_assert(offsetof(ControllerEntry, links) == 0);

class MutexHold {
 public:
  explicit MutexHold(Library& library) : library_(library) {
    held_ = library.mutex != nullptr && WaitForSingleObject(library.mutex, INFINITE) != WAIT_FAILED;
  }
  ~MutexHold() {
    if (held_) ReleaseMutex(library_.mutex);
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  bool held() const { return held_; }

 private:
  Library& library_;
  bool held_;
};

ControllerEntry* FindEntry(Library& library, const WCHAR* path) {
  for (ListLinks* l = library.controllers.next; l != &library.controllers; l = l->next) {
    ControllerEntry* e = EntryOf(l);
    if (e->bus_detail != nullptr && SamePath(e->bus_detail->DevicePath, path)) return e;
  }
  return nullptr;
}

void FreeEntry(ControllerEntry* entry) {
  std::free(entry->bus_detail);
  std::free(entry->driver_detail);
  delete entry;
}

// Stops the unit's management thread and closes its handles.
void StopUnit(UnitContext* unit) {
  SetEvent(unit->stop_event);
  WaitForSingleObject(unit->management_thread, INFINITE);
  CloseHandle(unit->management_thread);
  CloseHandle(unit->stop_event);
  CloseHandle(unit->handle);
  unit->management_thread = nullptr;
  unit->stop_event = nullptr;
  unit->handle = nullptr;
}

void CloseEntry(ControllerEntry* entry) {
  for (UnitContext& unit : entry->units) {
    if (unit.handle != nullptr) StopUnit(&unit);
  }
  entry->open_units = 0;
  if (entry->driver_handle != nullptr) CloseHandle(entry->driver_handle);
  entry->driver_handle = nullptr;
  ListLinks* l = ListLinksOf(entry);
  if (l->next != nullptr) {
    l->prev->next = l->next;
    l->next->prev = l->prev;
  }
  FreeEntry(entry);
}

HANDLE OpenController(const WCHAR* path) {
  HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// Sends the request on an open controller handle and closes it.
void SendApiRequest(HANDLE h, uint32_t request_number) {
  Ieee1394ApiRequest request{};
  request.request_number = request_number;
  request.flags = kVirtualDeviceFlags;
  request.ful_flags = kVirtualDeviceFlags;
  DeviceId(request.device_id);
  DWORD n = 0;
  // Whether it worked shows only in the driver's interface appearing or going.
  DeviceIoControl(h, IOCTL_IEEE1394_API_REQUEST, &request, sizeof(request), nullptr, 0, &n, nullptr);
  CloseHandle(h);
}

void RemoveVirtualDevice(const WCHAR* path) {
  if (HANDLE h = OpenController(path)) SendApiRequest(h, kRemoveVirtualDevice);
}

struct ControllerMatch {
  const WCHAR* path;
  DEVINST device;
};

int MatchControllerPath(const SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, const SP_DEVINFO_DATA* device,
                        void* context) {
  auto* m = static_cast<ControllerMatch*>(context);
  if (!SamePath(detail->DevicePath, m->path)) return 0;
  m->device = device->DevInst;
  return 1;
}

int MatchChildOf(const SP_DEVICE_INTERFACE_DETAIL_DATA_W*, const SP_DEVINFO_DATA* device, void* context) {
  DEVINST parent = 0;
  return CM_Get_Parent(&parent, device->DevInst, 0) == CR_SUCCESS && parent == *static_cast<DEVINST*>(context);
}

DWORD StartManagementThread(UnitContext* unit) {
  unit->start_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (unit->start_event == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  unit->stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD result = ERROR_NOT_ENOUGH_MEMORY;
  if (unit->stop_event != nullptr) {
    unit->start_result = ERROR_NOT_ENOUGH_MEMORY;
    unit->management_thread = CreateThread(nullptr, 0, &ManagementThread, unit, 0, nullptr);
    if (unit->management_thread == nullptr) {
      CloseHandle(unit->stop_event);
      unit->stop_event = nullptr;
    } else {
      WaitForSingleObject(unit->start_event, INFINITE);
      result = unit->start_result;
      if (result != 0) {
        SetEvent(unit->stop_event);
        WaitForSingleObject(unit->management_thread, INFINITE);
        CloseHandle(unit->management_thread);
        CloseHandle(unit->stop_event);
        unit->management_thread = nullptr;
        unit->stop_event = nullptr;
      }
    }
  }
  CloseHandle(unit->start_event);
  unit->start_event = nullptr;
  return result;
}

// The match of ReleaseHostControllers: the controller is still there.
struct ReleaseMatch {
  Library* library;
  const WCHAR* path;
  bool removed;
};

int MatchAndRelease(const SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, const SP_DEVINFO_DATA*, void* context) {
  auto* m = static_cast<ReleaseMatch*>(context);
  if (!SamePath(detail->DevicePath, m->path)) return 0;
  while (ControllerEntry* e = FindEntry(*m->library, m->path)) CloseEntry(e);
  RemoveVirtualDevice(m->path);
  m->removed = true;
  return 1;
}

void FreeNodes(Library& library) {
  HostControllerNode& head = library.nodes;
  while (head.next != &head) {
    HostControllerNode* node = head.next;
    head.next = node->next;
    std::free(node);
  }
  head.prev = &head;
}

}  // namespace

DWORD FindDeviceInterface(const GUID& interface_class, InterfaceMatch match, void* context,
                          SP_DEVICE_INTERFACE_DETAIL_DATA_W** detail_out) {
  HDEVINFO set = SetupDiGetClassDevsW(&interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == nullptr || set == INVALID_HANDLE_VALUE) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD result = ERROR_DEV_NOT_EXIST;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, index, &data)) {
      if (GetLastError() != ERROR_NO_MORE_ITEMS) result = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    DWORD size = 0;
    if (SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
      continue;
    }
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, size));
    if (detail == nullptr) {
      result = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);  // 8: a 64-bit system accepts no other
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &device)) {
      std::free(detail);
      continue;
    }
    if (match(detail, &device, context)) {
      if (detail_out != nullptr) {
        *detail_out = detail;
      } else {
        std::free(detail);
      }
      result = 0;
      break;
    }
    std::free(detail);
  }
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

DWORD VSbp2ApiInitialize() {
  Library& library = State();
  WCHAR name[kMaxMutexName + 1] = u"Global\\";
  size_t at = Length(name);
  const size_t base = Length(kDeviceIdBase);
  std::memcpy(name + at, kDeviceIdBase, base * sizeof(WCHAR));
  at += base;
  AppendTwoDigits(name + at, kDeviceRevision);
  at += 2;
  std::memcpy(name + at, u"_MUTEX", 7 * sizeof(WCHAR));

  // Everyone may take the mutex, so that the library's users in every session serialise.
  PSID everyone = nullptr;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  HANDLE mutex = nullptr;
  if (AllocateAndInitializeSid(&SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                               &everyone)) {
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = MUTEX_ALL_ACCESS;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    if (SetEntriesInAclW(1, &access, nullptr, &acl) == ERROR_SUCCESS) {
      descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
      if (descriptor != nullptr && InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE)) {
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
        mutex = CreateMutexW(&attributes, FALSE, name);
      }
    }
  }
  if (everyone != nullptr) FreeSid(everyone);
  if (acl != nullptr) LocalFree(acl);
  if (descriptor != nullptr) LocalFree(descriptor);
  if (mutex == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  library.mutex = mutex;
  return 0;
}

DWORD VSbp2ApiUninitialize() {
  Library& library = State();
  // What the library still holds goes with it; the virtual devices stay on their
  // controllers for the next start.
  while (library.controllers.next != &library.controllers) CloseEntry(EntryOf(library.controllers.next));
  FreeNodes(library);
  if (library.mutex != nullptr) CloseHandle(library.mutex);
  library.mutex = nullptr;
  return 0;
}

DWORD VSbp2ApiAttachController(const WCHAR* controller_path) {
  CMP_WaitNoPendingInstallEvents(INFINITE);
  Library& library = State();
  auto* entry = new (std::nothrow) ControllerEntry{};
  if (entry == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  MutexHold hold(library);
  if (!hold.held()) {
    delete entry;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  bool added = false;
  for (;;) {
    if (FindEntry(library, controller_path) != nullptr) {
      FreeEntry(entry);
      return added ? 0 : ERROR_ALREADY_EXISTS;
    }
    ControllerMatch controller{controller_path, 0};
    DWORD r = FindDeviceInterface(kHostControllerClass, &MatchControllerPath, &controller, &entry->bus_detail);
    if (r != 0) {
      FreeEntry(entry);
      return r == ERROR_DEV_NOT_EXIST ? ERROR_PATH_NOT_FOUND : r;
    }
    r = FindDeviceInterface(DriverInterfaceClass(), &MatchChildOf, &controller.device, &entry->driver_detail);
    if (r == 0) {
      for (uint16_t u = 0; u < kUnitsPerController; ++u) {
        UnitContext& unit = entry->units[u];
        unit.controller = entry;
        unit.index = u;
        for (uint16_t l = 0; l < kLoginsPerUnit; ++l) {
          unit.logins[l].unit = &unit;
          unit.logins[l].index = l;
        }
      }
      ListLinks* tail = library.controllers.prev;
      ListLinksOf(entry)->next = &library.controllers;
      ListLinksOf(entry)->prev = tail;
      tail->next = ListLinksOf(entry);
      library.controllers.prev = ListLinksOf(entry);
      return added ? 0 : ERROR_ALREADY_EXISTS;
    }
    std::free(entry->bus_detail);
    entry->bus_detail = nullptr;
    if (r != ERROR_DEV_NOT_EXIST || added) {
      FreeEntry(entry);
      return r;
    }
    // No driver below the controller yet: add the virtual device and give Plug and Play
    // time to load the driver on it. The mutex stays held, so no other process adds it too.
    HANDLE h = OpenController(controller_path);
    if (h == nullptr) {
      FreeEntry(entry);
      return ERROR_PATH_NOT_FOUND;
    }
    SendApiRequest(h, kAddVirtualDevice);
    Sleep(kDeviceSettleMs);
    CMP_WaitNoPendingInstallEvents(INFINITE);
    added = true;
  }
}

DWORD VSbp2ApiOpenUnit(const WCHAR* controller_path, uint32_t unit_index, uint32_t flags,
                       const UnitCallbacks* callbacks, void* user_data) {
  if (unit_index >= kUnitsPerController || callbacks == nullptr || callbacks->attach == nullptr ||
      callbacks->release == nullptr || callbacks->submit == nullptr || callbacks->unit_end == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  Library& library = State();
  MutexHold hold(library);
  if (!hold.held()) return ERROR_NOT_ENOUGH_MEMORY;
  ControllerEntry* entry = FindEntry(library, controller_path);
  if (entry == nullptr) return ERROR_PATH_NOT_FOUND;
  UnitContext* unit = &entry->units[unit_index];
  if (unit->handle != nullptr) return ERROR_ALREADY_EXISTS;

  if (entry->open_units == 0) {
    entry->driver_handle = CreateFileW(entry->driver_detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (entry->driver_handle == INVALID_HANDLE_VALUE || entry->driver_handle == nullptr) {
      entry->driver_handle = nullptr;
      CloseEntry(entry);
      return ERROR_PATH_NOT_FOUND;
    }
  }

  DWORD result = ERROR_NOT_ENOUGH_MEMORY;
  const size_t path_length = Length(entry->driver_detail->DevicePath);
  auto* name = new (std::nothrow) WCHAR[path_length + 8];
  if (name != nullptr) {
    std::memcpy(name, entry->driver_detail->DevicePath, path_length * sizeof(WCHAR));
    std::memcpy(name + path_length, u"\\unit", 5 * sizeof(WCHAR));
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    name[path_length + 5] = kHex[(unit_index >> 4) & 0xF];
    name[path_length + 6] = kHex[unit_index & 0xF];
    name[path_length + 7] = 0;
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    delete[] name;
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
      result = GetLastError();
    } else {
      unit->handle = h;
      unit->management_agent = kManagementAgentBase + 8 * unit_index;
      unit->flags = flags;
      unit->max_logins = kMaxLogins;
      unit->max_reconnect_hold = kMaxReconnectHold;
      unit->callbacks = *callbacks;
      unit->user_data = user_data;
      result = StartManagementThread(unit);
      if (result == 0) {
        ++entry->open_units;
      } else {
        CloseHandle(unit->handle);
        unit->handle = nullptr;
      }
    }
  }
  if (result != 0 && entry->open_units == 0 && entry->driver_handle != nullptr) {
    CloseHandle(entry->driver_handle);
    entry->driver_handle = nullptr;
  }
  return result;
}

DWORD VSbp2ApiCloseUnit(const WCHAR* controller_path, uint32_t unit_index) {
  if (unit_index >= kUnitsPerController) return ERROR_INVALID_PARAMETER;
  Library& library = State();
  MutexHold hold(library);
  if (!hold.held()) return ERROR_NOT_ENOUGH_MEMORY;
  ControllerEntry* entry = FindEntry(library, controller_path);
  if (entry == nullptr) return ERROR_PATH_NOT_FOUND;
  UnitContext* unit = &entry->units[unit_index];
  if (unit->handle == nullptr) return ERROR_DEV_NOT_EXIST;
  StopUnit(unit);
  if (--entry->open_units == 0) {
    CloseHandle(entry->driver_handle);
    entry->driver_handle = nullptr;
  }
  return 0;
}

const HostControllerNode* HostControllers() { return &State().nodes; }

HANDLE UnitHandle(const WCHAR* controller_path, uint32_t unit_index) {
  Library& library = State();
  MutexHold hold(library);
  ControllerEntry* entry = hold.held() ? FindEntry(library, controller_path) : nullptr;
  return entry != nullptr && unit_index < kUnitsPerController ? entry->units[unit_index].handle : nullptr;
}

void ReleaseHostControllers() {
  Library& library = State();
  HostControllerNode& head = library.nodes;
  while (head.next != &head) {
    HostControllerNode* node = head.next;
    {
      MutexHold hold(library);
      if (hold.held()) {
        ReleaseMatch match{&library, node->detail.DevicePath, false};
        if (FindDeviceInterface(kHostControllerClass, &MatchAndRelease, &match, nullptr) == ERROR_DEV_NOT_EXIST) {
          // The controller is gone; its entry goes, and the request is sent to the path it had.
          if (ControllerEntry* e = FindEntry(library, node->detail.DevicePath)) {
            const size_t n = Length(e->bus_detail->DevicePath);
            std::unique_ptr<WCHAR[]> path(new WCHAR[n + 1]);
            std::memcpy(path.get(), e->bus_detail->DevicePath, (n + 1) * sizeof(WCHAR));
            CloseEntry(e);
            RemoveVirtualDevice(path.get());
            match.removed = true;
          }
        }
        if (match.removed) Sleep(kDeviceSettleMs);
      }
    }
    node->prev->next = node->next;
    node->next->prev = node->prev;
    std::free(node);
  }
}

int EnumerateHostControllers(uint32_t* count) {
  Library& library = State();
  HostControllerNode& head = library.nodes;
  FreeNodes(library);  // a list left by an earlier enumeration
  *count = 0;
  HDEVINFO set = SetupDiGetClassDevsW(&kHostControllerClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == nullptr || set == INVALID_HANDLE_VALUE) return 0;
  uint32_t kept = 0;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kHostControllerClass, index, &data)) {
      const bool failed = GetLastError() != ERROR_NO_MORE_ITEMS;
      if (failed) ReleaseHostControllers();
      SetupDiDestroyDeviceInfoList(set);
      if (failed) return 0;
      *count = kept;
      return 1;
    }
    DWORD size = 0;
    if (SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
      continue;
    }
    auto* node = static_cast<HostControllerNode*>(std::calloc(1, offsetof(HostControllerNode, detail) + size));
    if (node == nullptr) {
      ReleaseHostControllers();
      SetupDiDestroyDeviceInfoList(set);
      return 0;
    }
    node->detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, &node->detail, size, nullptr, nullptr)) {
      std::free(node);
      continue;
    }
    const DWORD r = VSbp2ApiAttachController(node->detail.DevicePath);
    if (r != 0 && r != ERROR_ALREADY_EXISTS) {
      std::free(node);  // that controller is left out
      continue;
    }
    node->sequence = kept++;
    node->next = &head;
    node->prev = head.prev;
    head.prev->next = node;
    head.prev = node;
  }
}

}  // namespace devaccess
