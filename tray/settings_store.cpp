#include "tray/settings_store.h"

namespace tray {

using namespace win32;

namespace {

constexpr const WCHAR* kRunKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const WCHAR* kStartUpValue = u"Quorvane FireWire";

// String values are read into 261 characters with 520 bytes offered: the last character
// stays the NUL that ends a value stored without one.
constexpr DWORD kStringChars = 261;
constexpr DWORD kStringBytes = 520;

// Built on first use and kept for the life of the process.
const std::u16string& CompanyKeyPath() {
  static const std::u16string path = u"Software\\Corvenna";
  return path;
}

const std::u16string& SettingsKeyPath() {
  static const std::u16string path = CompanyKeyPath() + u"\\Quorvane FireWire";
  return path;
}

// Every value here is written without its terminating NUL.
LSTATUS WriteString(HKEY key, const WCHAR* name, const std::u16string& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                        static_cast<DWORD>(text.size() * sizeof(WCHAR)));
}

std::u16string UpToNul(const WCHAR* chars, size_t count) {
  size_t n = 0;
  while (n < count && chars[n] != 0) ++n;
  return std::u16string(chars, n);
}

}  // namespace

bool IsAutoStartEnabled() {
  HKEY run = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, &run) != ERROR_SUCCESS) return false;
  BYTE data[kStringBytes];
  DWORD size = sizeof data;
  const bool present = RegQueryValueExW(run, kStartUpValue, nullptr, nullptr, data, &size) == ERROR_SUCCESS;
  RegCloseKey(run);
  return present;
}

void EnableAutoStart() {
  HKEY run = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_ALL_ACCESS, &run) != ERROR_SUCCESS) return;
  WCHAR path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  // MAX_PATH back means the path was cut: a start-up entry must name the whole program.
  if (length != 0 && length < MAX_PATH) {
    std::u16string command;
    command.reserve(length + 11);
    command.push_back(u'"');
    command.append(path, length);
    command.append(u"\" -autorun");
    WriteString(run, kStartUpValue, command);
  }
  RegCloseKey(run);
}

void DisableAutoStart() {
  HKEY run = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_ALL_ACCESS, &run) != ERROR_SUCCESS) return;
  RegDeleteValueW(run, kStartUpValue);
  RegCloseKey(run);
}

LSTATUS OpenSettingsKey(REGSAM access, HKEY* key) {
  *key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, SettingsKeyPath().c_str(), 0, access, key) == ERROR_SUCCESS) {
    return ERROR_SUCCESS;
  }
  HKEY company = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, CompanyKeyPath().c_str(), 0, access, &company);
  if (status != ERROR_SUCCESS) {
    HKEY software = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_ALL_ACCESS, &software) == ERROR_SUCCESS) {
      HKEY created = nullptr;
      if (RegCreateKeyExW(software, u"Corvenna", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, &created, nullptr) == ERROR_SUCCESS) {
        RegCloseKey(created);
        status = RegOpenKeyExW(HKEY_CURRENT_USER, CompanyKeyPath().c_str(), 0, access, &company);
      }
      RegCloseKey(software);
    }
  }
  if (status != ERROR_SUCCESS) return status;
  // Created through the company key as opened with `access`: the registry asks that handle
  // for the right to create subkeys.
  HKEY settings = nullptr;
  status = RegCreateKeyExW(company, u"Quorvane FireWire", 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                           nullptr, &settings, nullptr);
  RegCloseKey(company);
  if (status != ERROR_SUCCESS) return status;
  RegCloseKey(settings);
  return RegOpenKeyExW(HKEY_CURRENT_USER, SettingsKeyPath().c_str(), 0, access, key);
}

void SaveAutoMount(BOOL flag, const std::u16string& image_path) {
  HKEY key = nullptr;
  if (OpenSettingsKey(KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  WriteString(key, u"Automount", flag != 0 ? u"1" : u"0");
  WriteString(key, u"Image", image_path);
  RegCloseKey(key);
}

bool LoadAutoMount() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, SettingsKeyPath().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  // Exactly one character: a value stored with a terminator does not fit and reads as off.
  WCHAR flag[1] = {0};
  DWORD size = sizeof flag;
  const bool on = RegQueryValueExW(key, u"Automount", nullptr, nullptr, reinterpret_cast<BYTE*>(flag),
                                   &size) == ERROR_SUCCESS &&
                  flag[0] == u'1';
  RegCloseKey(key);
  return on;
}

std::u16string LoadImagePath() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, SettingsKeyPath().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return std::u16string();
  }
  std::u16string path;
  ReadStringSetting(key, u"Image", &path);
  RegCloseKey(key);
  return path;
}

void SaveDeviceIdentity(const std::u16string& vendor, const std::u16string& product,
                        const std::u16string& revision, BOOL mac) {
  HKEY key = nullptr;
  if (OpenSettingsKey(KEY_WRITE, &key) != ERROR_SUCCESS) return;
  WriteString(key, u"Vendor", vendor);
  WriteString(key, u"Model", product);
  WriteString(key, u"Revision", revision);
  WriteString(key, u"Client is Mac", mac != 0 ? u"1" : u"0");
  RegCloseKey(key);
}

void LoadDeviceIdentity(std::u16string* vendor, std::u16string* product, std::u16string* revision,
                        BOOL* mac) {
  HKEY key = nullptr;
  if (OpenSettingsKey(KEY_READ, &key) != ERROR_SUCCESS) return;
  ReadStringSetting(key, u"Vendor", vendor);
  ReadStringSetting(key, u"Model", product);
  ReadStringSetting(key, u"Revision", revision);
  // Two characters: "1" with or without its terminator.
  WCHAR text[2] = {0, 0};
  DWORD size = sizeof text;
  if (RegQueryValueExW(key, u"Client is Mac", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) ==
      ERROR_SUCCESS) {
    *mac = UpToNul(text, 2) == u"1" ? 1 : 0;
  }
  RegCloseKey(key);
}

bool ReadStringSetting(HKEY key, const WCHAR* name, std::u16string* place) {
  WCHAR text[kStringChars] = {};
  DWORD size = kStringBytes;
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS) {
    return false;
  }
  *place = UpToNul(text, kStringChars);
  return true;
}

}  // namespace tray
