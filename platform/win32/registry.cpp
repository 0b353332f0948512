// The registry: HKEY_CURRENT_USER kept in one file.
//
// Where: $SKELLMERE_REGISTRY when set (tests), else $XDG_CONFIG_HOME/skellmere/registry (an
// absolute XDG_CONFIG_HOME only, as the base directory rules say), else
// ~/.config/skellmere/registry.
//
// Every call reads the file as it stands: a change another process made shows at once, and
// a handle is only the path of its key. A change takes the lock (flock on "<file>.lock",
// shared by every process of the user), reads the file again under it, applies itself and
// writes the whole tree to "<file>.tmp", which is synced and renamed over the file, and the
// folder synced: a crash at any moment leaves the old file or the new one, and two
// processes changing the registry at once lose neither change. Readers take no lock: the
// rename replaces the file in one step.
//
// A damaged file (see hive.h) is never overwritten: under the lock it is renamed to
// "<file>.damaged-<UTC time>", a message on standard error says so and where, and the
// registry starts again from a fresh user's keys. A missing file is a fresh user's registry
// and is only created by the first change.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/win32/hive.h"
#include "platform/win32/win32_internal.h"

namespace win32 {

namespace impl {

namespace {

struct KeyObject : Object {
  KeyObject(std::vector<std::u16string> p, REGSAM a) : Object(Kind::Key), path(std::move(p)), access(a) {}
  const std::vector<std::u16string> path;  // the key's names from the root, as stored
  const REGSAM access;                     // granted when opened, generic rights mapped
};

// Larger values would not be settings; the file's lengths are 32-bit.
constexpr DWORD kMaxValueBytes = 64u << 20;

// The registry calls report through their result, not the thread's last error; a handle
// lookup must not change it.
class KeepLastError {
 public:
  KeepLastError() : saved_(t_last_error) {}
  ~KeepLastError() { t_last_error = saved_; }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD saved_;
};

REGSAM MapAccess(REGSAM desired) {
  REGSAM a = desired & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY | GENERIC_READ | GENERIC_WRITE |
                         GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & (GENERIC_READ | GENERIC_EXECUTE)) a |= KEY_READ;
  if (desired & GENERIC_WRITE) a |= KEY_WRITE;
  // The user owns every key of HKEY_CURRENT_USER: the most allowed is everything.
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) a |= KEY_ALL_ACCESS;
  return a;
}

// The path and rights of an open key; HKEY_CURRENT_USER is the root with every right.
LSTATUS Resolve(HKEY key, std::vector<std::u16string>* path, REGSAM* access) {
  const auto token = reinterpret_cast<uintptr_t>(key);
  if (key == HKEY_CURRENT_USER) {
    path->clear();
    *access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  // The other predefined keys (classes, local machine, users...) are not kept here.
  if (token >= 0x80000000u && token < 0x80000100u) return ERROR_INVALID_HANDLE;
  KeepLastError keep;
  std::shared_ptr<KeyObject> k = LookupAs<KeyObject>(reinterpret_cast<HANDLE>(key), Kind::Key);
  if (!k) return ERROR_INVALID_HANDLE;
  *path = k->path;
  *access = k->access;
  return ERROR_SUCCESS;
}

// The names of a subkey path: none for null or "", ERROR_BAD_PATHNAME for a leading or
// doubled backslash (a single trailing one is allowed).
LSTATUS SplitPath(LPCWSTR sub_key, std::vector<std::u16string>* names) {
  names->clear();
  if (sub_key == nullptr || sub_key[0] == 0) return ERROR_SUCCESS;
  if (sub_key[0] == u'\\') return ERROR_BAD_PATHNAME;
  std::u16string name;
  for (const WCHAR* p = sub_key;; ++p) {
    if (*p == u'\\' || *p == 0) {
      if (name.empty()) {
        if (*p == 0) break;  // after a trailing backslash
        return ERROR_BAD_PATHNAME;
      }
      if (name.size() > hive::kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
      names->push_back(std::move(name));
      name.clear();
      if (*p == 0) break;
    } else {
      name.push_back(*p);
    }
  }
  return ERROR_SUCCESS;
}

std::u16string ValueName(LPCWSTR name) { return name != nullptr ? std::u16string(name) : std::u16string(); }

// ---------------------------------------------------------------------------------------
// The file.
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  const passwd* pw = getpwuid(getuid());
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/";
}

std::string FolderOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

bool MakeFolders(const std::string& folder) {
  if (folder.empty() || folder == "/" || folder == ".") return true;
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (!MakeFolders(FolderOf(folder))) return false;
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

enum class Load { Ok, Missing, Damaged, Failed };

Load ReadHive(const std::string& file, hive::Key* root, std::string* why) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Load::Missing;
    *why = std::strerror(errno);
    return Load::Failed;
  }
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::strerror(errno);
      close(fd);
      return Load::Failed;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buf, buf + n);
  }
  close(fd);
  return hive::Parse(bytes.data(), bytes.size(), root, why) ? Load::Ok : Load::Damaged;
}

// Holds the registry's lock file, shared by every process of the user.
class FileLock {
 public:
  explicit FileLock(const std::string& file) {
    if (!MakeFolders(FolderOf(file))) return;
    fd_ = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);  // closing the last descriptor releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Under the lock: renames the damaged file out of the way and says so.
bool SetAside(const std::string& file, const std::string& why) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm tm {};
  gmtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
  std::string aside = file + ".damaged-" + stamp;
  struct stat st {};
  for (int n = 2; lstat(aside.c_str(), &st) == 0; ++n) {
    aside = file + ".damaged-" + stamp + "-" + std::to_string(n);
  }
  if (rename(file.c_str(), aside.c_str()) != 0) {
    std::fprintf(stderr,
                 "skellmere: the registry file %s is damaged (%s) and could not be moved aside "
                 "(%s); it is left as it is and no setting can be changed\n",
                 file.c_str(), why.c_str(), std::strerror(errno));
    return false;
  }
  std::fprintf(stderr,
               "skellmere: the registry file %s is damaged (%s); it was moved to %s and the "
               "registry starts again from a new user's keys\n",
               file.c_str(), why.c_str(), aside.c_str());
  return true;
}

std::atomic<size_t> g_write_chunk{0};
std::atomic<unsigned> g_write_pause_us{0};

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  const size_t chunk = g_write_chunk.load();
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t want = chunk != 0 ? std::min(chunk, bytes.size() - done) : bytes.size() - done;
    const ssize_t n = write(fd, bytes.data() + done, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
    if (chunk != 0) usleep(g_write_pause_us.load());
  }
  return true;
}

// Under the lock: the new file complete and on disk before it takes the old one's name.
bool ReplaceFile(const std::string& file, const hive::Key& root) {
  const std::string temporary = file + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, hive::Serialize(root)) && fsync(fd) == 0;
  if (close(fd) != 0 || !written || rename(temporary.c_str(), file.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  // The rename itself must reach the disk before the change counts as made.
  const int folder = open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return true;
}

// The registry as it stands.
LSTATUS Current(hive::Key* root) {
  const std::string file = hive::RegistryFilePath();
  std::string why;
  switch (ReadHive(file, root, &why)) {
    case Load::Ok: return ERROR_SUCCESS;
    case Load::Missing: *root = hive::DefaultRoot(); return ERROR_SUCCESS;
    case Load::Failed: return ERROR_REGISTRY_IO_FAILED;
    case Load::Damaged: break;
  }
  // Set it aside under the lock, unless a writer has replaced it meanwhile.
  FileLock lock(file);
  if (!lock.held()) return ERROR_REGISTRY_IO_FAILED;
  switch (ReadHive(file, root, &why)) {
    case Load::Ok: return ERROR_SUCCESS;
    case Load::Missing: *root = hive::DefaultRoot(); return ERROR_SUCCESS;
    case Load::Failed: return ERROR_REGISTRY_IO_FAILED;
    case Load::Damaged: break;
  }
  if (!SetAside(file, why)) return ERROR_REGISTRY_IO_FAILED;
  *root = hive::DefaultRoot();
  return ERROR_SUCCESS;
}

// Applies `change` to the registry as it stands under the lock and writes the result when
// `change` succeeds and says it changed something.
template <typename F>
LSTATUS Change(F&& change) {
  const std::string file = hive::RegistryFilePath();
  FileLock lock(file);
  if (!lock.held()) return ERROR_REGISTRY_IO_FAILED;
  hive::Key root;
  std::string why;
  switch (ReadHive(file, &root, &why)) {
    case Load::Ok: break;
    case Load::Missing: root = hive::DefaultRoot(); break;
    case Load::Failed: return ERROR_REGISTRY_IO_FAILED;
    case Load::Damaged:
      if (!SetAside(file, why)) return ERROR_REGISTRY_IO_FAILED;
      root = hive::DefaultRoot();
      break;
  }
  bool changed = false;
  const LSTATUS status = change(root, &changed);
  if (status != ERROR_SUCCESS || !changed) return status;
  return ReplaceFile(file, root) ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

HKEY NewHandle(std::vector<std::u16string> path, REGSAM access) {
  return reinterpret_cast<HKEY>(Insert(std::make_shared<KeyObject>(std::move(path), access)));
}

// Walks `names` below `base`; the stored names of the keys found in *path. False when a key
// is missing, *found then telling how many were found.
bool Walk(hive::Key* base, const std::vector<std::u16string>& names, std::vector<std::u16string>* path,
          size_t* found) {
  *found = 0;
  hive::Key* k = base;
  for (const auto& name : names) {
    k = hive::FindSubkey(*k, name);
    if (k == nullptr) return false;
    path->push_back(k->name);
    ++*found;
  }
  return true;
}

}  // namespace

}  // namespace impl

using namespace impl;

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (options != 0) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string> path;
  REGSAM parent_access = 0;
  if (LSTATUS st = Resolve(key, &path, &parent_access); st != ERROR_SUCCESS) return st;
  std::vector<std::u16string> names;
  if (LSTATUS st = SplitPath(sub_key, &names); st != ERROR_SUCCESS) return st;
  hive::Key root;
  if (LSTATUS st = Current(&root); st != ERROR_SUCCESS) return st;
  hive::Key* base = hive::FindPath(root, path);
  if (base == nullptr) return ERROR_KEY_DELETED;
  size_t found = 0;
  if (!Walk(base, names, &path, &found)) return ERROR_FILE_NOT_FOUND;
  *result = NewHandle(std::move(path), MapAccess(desired));
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR, DWORD options,
                        REGSAM desired, const SECURITY_ATTRIBUTES*, PHKEY result,
                        DWORD* disposition) {
  if (result == nullptr || sub_key == nullptr || reserved != 0) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (options & REG_OPTION_VOLATILE) return ERROR_NOT_SUPPORTED;
  if (options != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string> path;
  REGSAM parent_access = 0;
  if (LSTATUS st = Resolve(key, &path, &parent_access); st != ERROR_SUCCESS) return st;
  if ((parent_access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
  std::vector<std::u16string> names;
  if (LSTATUS st = SplitPath(sub_key, &names); st != ERROR_SUCCESS) return st;
  if (path.size() + names.size() > hive::kMaxDepth) return ERROR_INVALID_PARAMETER;

  // Most calls find the key there: only a missing one costs a write.
  hive::Key root;
  if (LSTATUS st = Current(&root); st != ERROR_SUCCESS) return st;
  hive::Key* base = hive::FindPath(root, path);
  if (base == nullptr) return ERROR_KEY_DELETED;
  std::vector<std::u16string> full = path;
  size_t found = 0;
  bool created = false;
  if (!Walk(base, names, &full, &found)) {
    const LSTATUS st = Change([&](hive::Key& now, bool* changed) -> LSTATUS {
      hive::Key* k = hive::FindPath(now, path);
      if (k == nullptr) return ERROR_KEY_DELETED;
      full = path;
      for (const auto& name : names) {
        hive::Key* next = hive::FindSubkey(*k, name);
        if (next == nullptr) {
          k->subkeys.push_back(hive::Key{name, {}, {}});
          next = &k->subkeys.back();
          *changed = true;
        }
        full.push_back(next->name);
        k = next;
      }
      created = *changed;
      return ERROR_SUCCESS;
    });
    if (st != ERROR_SUCCESS) return st;
  }
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewHandle(std::move(full), MapAccess(desired));
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* data_size) {
  if (reserved != nullptr || (data != nullptr && data_size == nullptr)) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string> path;
  REGSAM access = 0;
  if (LSTATUS st = Resolve(key, &path, &access); st != ERROR_SUCCESS) return st;
  if ((access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  hive::Key root;
  if (LSTATUS st = Current(&root); st != ERROR_SUCCESS) return st;
  hive::Key* k = hive::FindPath(root, path);
  if (k == nullptr) return ERROR_KEY_DELETED;
  const hive::Value* v = hive::FindValue(*k, ValueName(value_name));
  if (v == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = v->type;
  if (data_size == nullptr) return ERROR_SUCCESS;
  const auto size = static_cast<DWORD>(v->data.size());
  if (data != nullptr && *data_size < size) {
    *data_size = size;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && size > 0) std::memcpy(data, v->data.data(), size);
  *data_size = size;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD data_size) {
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  if (data == nullptr && data_size > 0) return ERROR_NOACCESS;
  const std::u16string name = ValueName(value_name);
  if (name.size() > hive::kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
  if (data_size > kMaxValueBytes) return ERROR_NOT_ENOUGH_MEMORY;
  std::vector<std::u16string> path;
  REGSAM access = 0;
  if (LSTATUS st = Resolve(key, &path, &access); st != ERROR_SUCCESS) return st;
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  std::vector<uint8_t> bytes(data, data + data_size);
  return Change([&](hive::Key& root, bool* changed) -> LSTATUS {
    hive::Key* k = hive::FindPath(root, path);
    if (k == nullptr) return ERROR_KEY_DELETED;
    hive::Value* v = hive::FindValue(*k, name);
    if (v == nullptr) {
      k->values.push_back(hive::Value{name, type, std::move(bytes)});
    } else {
      v->type = type;
      v->data = std::move(bytes);
    }
    *changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name) {
  std::vector<std::u16string> path;
  REGSAM access = 0;
  if (LSTATUS st = Resolve(key, &path, &access); st != ERROR_SUCCESS) return st;
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  const std::u16string name = ValueName(value_name);
  return Change([&](hive::Key& root, bool* changed) -> LSTATUS {
    hive::Key* k = hive::FindPath(root, path);
    if (k == nullptr) return ERROR_KEY_DELETED;
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
      if (hive::SameName(it->name, name)) {
        k->values.erase(it);
        *changed = true;
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

LSTATUS RegCloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  KeepLastError keep;
  if (!LookupAs<KeyObject>(reinterpret_cast<HANDLE>(key), Kind::Key)) return ERROR_INVALID_HANDLE;
  return CloseToken(reinterpret_cast<HANDLE>(key), false) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::string hive::RegistryFilePath() {
  const char* named = std::getenv("SKELLMERE_REGISTRY");
  if (named != nullptr && named[0] != 0) return named;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::string folder = config != nullptr && config[0] == '/' ? std::string(config)
                                                                   : HomeFolder() + "/.config";
  return folder + "/skellmere/registry";
}

namespace testing {

void SlowRegistryWrites(size_t chunk_bytes, unsigned pause_us) {
  g_write_chunk.store(chunk_bytes);
  g_write_pause_us.store(pause_us);
}

size_t OpenKeys() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.handles_mutex);
  size_t n = 0;
  for (const auto& [token, entry] : s.handles) n += entry.object->kind == Kind::Key ? 1 : 0;
  return n;
}

}  // namespace testing

}  // namespace win32
