// Resources: the compiled resource file, lookup, and the Load* functions.
//
// File layout (little-endian): "SKMRES01", u32 entry count, then 20-byte entries
// {u32 type, u32 name, u16 language, u16 reserved, u32 offset, u32 size}; a type or name
// below 0x10000 is an integer identifier, else 0x10000 + the offset of a NUL-terminated
// UTF-16 string in the file. Resource data are in the platform's layouts.

#include "platform/ui/resource.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/ui/gdi.h"
#include "platform/ui/menu.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/window.h"

namespace win32 {

struct ResourceEntry {
  uint32_t type;
  uint32_t name;
  uint16_t language;
  uint16_t reserved;
  uint32_t offset;
  uint32_t size;
};
static_assert(sizeof(ResourceEntry) == 20);

struct ModuleObject {
  std::vector<uint8_t> data;
  std::vector<ResourceEntry> entries;
};

namespace {

constexpr char kMagic[8] = {'S', 'K', 'M', 'R', 'E', 'S', '0', '1'};

std::mutex g_mod_mu;
std::set<HMODULE> g_modules;
ModuleObject* g_program = nullptr;

bool Parse(const uint8_t* d, size_t n, std::vector<ResourceEntry>* out) {
  if (n < 12 || std::memcmp(d, kMagic, 8) != 0) return false;
  uint32_t count;
  std::memcpy(&count, d + 8, 4);
  if (count > (n - 12) / sizeof(ResourceEntry)) return false;
  std::vector<ResourceEntry> entries(count);
  if (count) std::memcpy(entries.data(), d + 12, count * sizeof(ResourceEntry));
  auto string_ok = [&](uint32_t v) {
    if (v < 0x10000) return true;
    size_t off = v - 0x10000;
    if (off % 2 != 0) return false;
    for (size_t i = off; i + 1 < n; i += 2)
      if (d[i] == 0 && d[i + 1] == 0) return true;
    return false;
  };
  for (const auto& e : entries)
    if (e.offset > n || e.size > n - e.offset || !string_ok(e.type) || !string_ok(e.name)) return false;
  *out = std::move(entries);
  return true;
}

std::u16string StoredString(const ModuleObject* m, uint32_t v) {
  std::u16string s;
  for (size_t i = v - 0x10000; i + 1 < m->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(m->data[i] | (m->data[i + 1] << 8));
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

bool NameMatches(const ModuleObject* m, uint32_t stored, LPCWSTR want) {
  if (IS_INTRESOURCE(want)) return stored == reinterpret_cast<uintptr_t>(want);
  if (stored < 0x10000) {
    // "#123" names an integer identifier.
    if (want[0] == u'#') {
      uint32_t v = 0;
      for (const char16_t* p = want + 1; *p; ++p) v = v * 10 + static_cast<uint32_t>(*p - u'0');
      return v == stored;
    }
    return false;
  }
  std::u16string a = StoredString(m, stored), b = want;
  auto up = [](std::u16string s) {
    for (auto& c : s)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return s;
  };
  return up(a) == up(b);
}

ModuleObject* Resolve(HMODULE module) {  // g_mod_mu held
  if (module == nullptr || module == g_program) return g_program;
  return g_modules.count(module) ? module : nullptr;
}

const ResourceEntry* Find(HMODULE module, LPCWSTR name, LPCWSTR type, ModuleObject** owner) {
  std::lock_guard lk(g_mod_mu);
  ModuleObject* m = Resolve(module);
  if (m == nullptr) return SetLastError(ERROR_MOD_NOT_FOUND), nullptr;
  bool type_seen = false;
  for (const auto& e : m->entries) {
    if (!NameMatches(m, e.type, type)) continue;
    type_seen = true;
    if (NameMatches(m, e.name, name)) {
      *owner = m;
      return &e;
    }
  }
  SetLastError(type_seen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

bool Data(HMODULE module, LPCWSTR name, LPCWSTR type, const uint8_t** data, size_t* size) {
  ModuleObject* m;
  const ResourceEntry* e = Find(module, name, type, &m);
  if (e == nullptr) return false;
  *data = m->data.data() + e->offset;
  *size = e->size;
  return true;
}

template <typename T>
bool ReadAt(const uint8_t* d, size_t n, size_t off, T* out) {
  if (off > n || sizeof(T) > n - off) return false;
  std::memcpy(out, d + off, sizeof(T));
  return true;
}

// A device-independent bitmap: header, then bottom-up rows of 32 or 24 bits.
HBITMAP BitmapFromDib(const uint8_t* d, size_t n) {
  BITMAPINFOHEADER h;
  if (!ReadAt(d, n, 0, &h) || h.biSize < 40 || h.biPlanes != 1 || (h.biBitCount != 32 && h.biBitCount != 24) ||
      h.biCompression != BI_RGB || h.biWidth <= 0 || h.biWidth > 4096 || h.biHeight == 0 || h.biHeight < -4096 ||
      h.biHeight > 4096)
    return nullptr;
  int w = h.biWidth, rows = std::abs(h.biHeight), bpp = h.biBitCount / 8;
  size_t stride = ((static_cast<size_t>(w) * bpp + 3) / 4) * 4;
  if (h.biSize > n || stride * rows > n - h.biSize) return nullptr;
  std::vector<uint32_t> px(static_cast<size_t>(w) * rows);
  for (int r = 0; r < rows; ++r) {
    int y = h.biHeight > 0 ? rows - 1 - r : r;
    const uint8_t* row = d + h.biSize + stride * r;
    for (int x = 0; x < w; ++x)
      px[static_cast<size_t>(y) * w + x] = (bpp == 4 ? static_cast<uint32_t>(row[x * 4 + 3]) << 24 : 0) |
                                           (row[x * bpp + 2] << 16) | (row[x * bpp + 1] << 8) | row[x * bpp];
  }
  return CreateDIBitmap32(w, rows, px.data());
}

// An icon image: a header of twice the height, 32-bit bottom-up colour rows, then the 1-bit
// AND mask (rows padded to 32 bits).
HICON IconFromImage(const uint8_t* d, size_t n) {
  BITMAPINFOHEADER h;
  if (!ReadAt(d, n, 0, &h) || h.biSize < 40 || h.biBitCount != 32 || h.biWidth <= 0 || h.biWidth > 256 ||
      h.biHeight <= 0 || h.biHeight % 2 != 0 || h.biHeight / 2 > 256)
    return nullptr;
  int w = h.biWidth, ih = h.biHeight / 2;
  size_t color = static_cast<size_t>(w) * 4 * ih, mask_stride = ((static_cast<size_t>(w) + 31) / 32) * 4;
  if (h.biSize > n || color + mask_stride * ih > n - h.biSize) return nullptr;
  const uint8_t* c = d + h.biSize;
  const uint8_t* m = c + color;
  std::vector<uint32_t> px(static_cast<size_t>(w) * ih);
  bool any_alpha = false;
  for (size_t i = 0; i < px.size(); ++i) any_alpha = any_alpha || c[i * 4 + 3] != 0;
  for (int r = 0; r < ih; ++r)
    for (int x = 0; x < w; ++x) {
      const uint8_t* p = c + (static_cast<size_t>(r) * w + x) * 4;
      bool transparent = (m[r * mask_stride + x / 8] >> (7 - x % 8)) & 1;
      uint32_t a = any_alpha ? p[3] : (transparent ? 0 : 0xFF);
      px[static_cast<size_t>(ih - 1 - r) * w + x] = (a << 24) | (p[2] << 16) | (p[1] << 8) | p[0];
    }
  return CreateIconFromPixels(w, ih, px.data());
}

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width;
  BYTE height;
  BYTE colors;
  BYTE reserved;
  WORD planes;
  WORD bit_count;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14);

HICON LoadIconSized(HINSTANCE instance, LPCWSTR name, int cx, int cy) {
  const uint8_t* d;
  size_t n;
  if (!Data(instance, name, RT_GROUP_ICON, &d, &n)) return nullptr;
  WORD reserved, type, count;
  if (!ReadAt(d, n, 0, &reserved) || !ReadAt(d, n, 2, &type) || !ReadAt(d, n, 4, &count) || type != 1 || count == 0)
    return SetLastError(ERROR_INVALID_DATA), nullptr;
  int best = -1, best_score = 1 << 30;
  GroupIconEntry chosen{};
  for (int i = 0; i < count; ++i) {
    GroupIconEntry e;
    if (!ReadAt(d, n, 6 + static_cast<size_t>(i) * sizeof e, &e)) return SetLastError(ERROR_INVALID_DATA), nullptr;
    int w = e.width == 0 ? 256 : e.width, h = e.height == 0 ? 256 : e.height;
    int score = cx == 0 ? -w : std::abs(w - cx) + std::abs(h - cy);
    if (score < best_score) {
      best_score = score;
      best = i;
      chosen = e;
    }
  }
  if (best < 0) return nullptr;
  const uint8_t* img;
  size_t size;
  if (!Data(instance, MAKEINTRESOURCEW(chosen.id), RT_ICON, &img, &size)) return nullptr;
  HICON icon = IconFromImage(img, size);
  if (icon == nullptr || cx == 0) return icon;
  // Scaled to the size asked for when no stored image has it.
  ICONINFO info;
  GetIconInfo(icon, &info);
  HDC screen = GetDC(nullptr);
  HDC a = CreateCompatibleDC(screen), b = CreateCompatibleDC(screen);
  HBITMAP scaled = CreateBitmap(cx, cy, 1, 32, nullptr);
  HGDIOBJ oa = SelectObject(a, info.hbmColor), ob = SelectObject(b, scaled);
  BITMAP bm;
  GetObjectW(info.hbmColor, sizeof bm, &bm);
  StretchBlt(b, 0, 0, cx, cy, a, 0, 0, bm.bmWidth, bm.bmHeight, SRCCOPY);
  SelectObject(a, oa);
  SelectObject(b, ob);
  DeleteDC(a);
  DeleteDC(b);
  ReleaseDC(nullptr, screen);
  ICONINFO si{TRUE, 0, 0, nullptr, scaled};
  HICON result = bm.bmWidth == cx && bm.bmHeight == cy ? CopyIcon(icon) : CreateIconIndirect(&si);
  DeleteObject(scaled);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  DestroyIcon(icon);
  return result;
}

}  // namespace

namespace ui {
bool ValidateResourceFile(const uint8_t* data, size_t size) {
  std::vector<ResourceEntry> e;
  return Parse(data, size, &e);
}

void RegisterProgramResources(const uint8_t* data, size_t size) {
  auto m = std::make_unique<ModuleObject>();
  m->data.assign(data, data + size);
  if (!Parse(m->data.data(), m->data.size(), &m->entries)) return;
  std::lock_guard lk(g_mod_mu);
  delete g_program;
  g_program = m.release();
}
}  // namespace ui

HMODULE GetModuleHandleW(LPCWSTR name) {
  if (name != nullptr) return SetLastError(ERROR_MOD_NOT_FOUND), nullptr;
  std::lock_guard lk(g_mod_mu);
  return g_program;
}

HMODULE LoadLibraryExW(LPCWSTR path, HANDLE, DWORD flags) {
  if (path == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  // Code cannot be loaded here: only the data-file forms are supported.
  if ((flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) == 0)
    return SetLastError(ERROR_BAD_EXE_FORMAT), nullptr;
  std::string utf8;
  for (const char16_t* p = path; *p; ++p) {
    char32_t c = *p;
    if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) c = 0x10000 + ((c - 0xD800) << 10) + (*++p - 0xDC00);
    if (c < 0x80) utf8 += static_cast<char>(c);
    else if (c < 0x800) utf8 += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    else if (c < 0x10000) utf8 += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    else utf8 += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
  }
  std::ifstream f(utf8, std::ios::binary);
  if (!f) return SetLastError(ERROR_MOD_NOT_FOUND), nullptr;
  auto m = std::make_unique<ModuleObject>();
  m->data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  if (!Parse(m->data.data(), m->data.size(), &m->entries)) return SetLastError(ERROR_BAD_EXE_FORMAT), nullptr;
  std::lock_guard lk(g_mod_mu);
  g_modules.insert(m.get());
  return m.release();
}

BOOL FreeLibrary(HMODULE module) {
  std::lock_guard lk(g_mod_mu);
  if (g_modules.erase(module) == 0) return SetLastError(ERROR_MOD_NOT_FOUND), FALSE;
  delete module;
  return TRUE;
}

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  ModuleObject* m;
  return Find(module, name, type, &m);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  if (resource == nullptr) return nullptr;
  std::lock_guard lk(g_mod_mu);
  ModuleObject* m = Resolve(module);
  if (m == nullptr) return nullptr;
  auto* e = static_cast<const ResourceEntry*>(resource);
  return m->data.data() + e->offset;
}

const void* LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE, HRSRC resource) {
  return resource == nullptr ? 0 : static_cast<const ResourceEntry*>(resource)->size;
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int max) {
  if (buffer == nullptr) return 0;
  const uint8_t* d;
  size_t n;
  if (!Data(instance, MAKEINTRESOURCEW(static_cast<int>(id / 16 + 1)), RT_STRING, &d, &n)) {
    if (max > 0) buffer[0] = 0;
    return 0;
  }
  // A block holds 16 strings, each a 16-bit length and that many UTF-16 units.
  size_t off = 0;
  for (UINT i = 0; i < id % 16; ++i) {
    WORD len;
    if (!ReadAt(d, n, off, &len)) return 0;
    off += 2 + 2 * static_cast<size_t>(len);
  }
  WORD len;
  if (!ReadAt(d, n, off, &len) || 2 + 2 * static_cast<size_t>(len) > n - off) return 0;
  const auto* text = reinterpret_cast<const WCHAR*>(d + off + 2);
  if (max == 0) {
    *reinterpret_cast<const WCHAR**>(buffer) = text;
    return len;
  }
  int copy = std::min<int>(len, max - 1);
  std::memcpy(buffer, text, static_cast<size_t>(copy) * 2);
  buffer[copy] = 0;
  return copy;
}

HMENU LoadMenuW(HINSTANCE instance, LPCWSTR name) {
  const uint8_t* d;
  size_t n;
  if (!Data(instance, name, RT_MENU, &d, &n)) return nullptr;
  return ui::LoadMenuTemplate(d, n);
}

HBITMAP LoadBitmapW(HINSTANCE instance, LPCWSTR name) {
  const uint8_t* d;
  size_t n;
  if (!Data(instance, name, RT_BITMAP, &d, &n)) return nullptr;
  HBITMAP b = BitmapFromDib(d, n);
  if (b == nullptr) SetLastError(ERROR_INVALID_DATA);
  return b;
}

HICON LoadIconW(HINSTANCE instance, LPCWSTR name) {
  int s = GetSystemMetrics(SM_CXICON);
  return LoadIconSized(instance, name, s, s);
}

void* LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
  if (type == IMAGE_BITMAP) return LoadBitmapW(instance, name);
  if (type != IMAGE_ICON) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  if (cx == 0 && (flags & LR_DEFAULTSIZE)) cx = GetSystemMetrics(SM_CXICON);
  if (cy == 0 && (flags & LR_DEFAULTSIZE)) cy = GetSystemMetrics(SM_CYICON);
  if (cy == 0) cy = cx;
  return LoadIconSized(instance, name, cx, cy);
}

}  // namespace win32
