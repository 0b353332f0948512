// Menus: records, templates, popup windows and the tracking loop.

#include "platform/ui/menu.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/ui/gdi.h"
#include "platform/ui/resource.h"
#include "platform/ui/text.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/window.h"

namespace win32 {

struct MenuItem {
  UINT type = 0;   // MFT_ bits
  UINT state = 0;  // MF_GRAYED, MF_DISABLED, MF_CHECKED, MF_HILITE, MF_DEFAULT
  UINT id = 0;
  HMENU sub = nullptr;
  std::u16string text;
  ULONG_PTR data = 0;
  HBITMAP bitmap = nullptr;
  HBITMAP checked = nullptr;
  HBITMAP unchecked = nullptr;
};

struct MenuObject {
  bool popup = false;
  std::vector<MenuItem> items;
};

namespace {

// Menus may be read by the automation interface from another thread; every record access
// takes this lock, never held across a message send.
std::recursive_mutex g_menu_mu;
std::set<HMENU> g_menus;

bool Valid(HMENU m) { return m != nullptr && g_menus.count(m) != 0; }

BOOL Fail(DWORD e) {
  SetLastError(e);
  return FALSE;
}

// The position of an item by command (searching submenus depth first) or by position.
bool Locate(HMENU menu, UINT item, UINT flags, HMENU* where, int* pos) {
  if (!Valid(menu)) return false;
  if (flags & MF_BYPOSITION) {
    if (item >= menu->items.size()) return false;
    *where = menu;
    *pos = static_cast<int>(item);
    return true;
  }
  for (size_t i = 0; i < menu->items.size(); ++i) {
    const MenuItem& it = menu->items[i];
    if (it.sub == nullptr && it.id == item && (it.type & MFT_SEPARATOR) == 0) {
      *where = menu;
      *pos = static_cast<int>(i);
      return true;
    }
    if (it.sub != nullptr && Locate(it.sub, item, flags, where, pos)) return true;
  }
  // A popup can be addressed by its handle as a command.
  for (size_t i = 0; i < menu->items.size(); ++i)
    if (menu->items[i].sub != nullptr && reinterpret_cast<UINT_PTR>(menu->items[i].sub) == item) {
      *where = menu;
      *pos = static_cast<int>(i);
      return true;
    }
  return false;
}

bool MakeItem(UINT flags, UINT_PTR id_or_menu, LPCWSTR item, MenuItem* out) {
  MenuItem m;
  m.type = flags & (MF_BITMAP | MF_OWNERDRAW | MF_SEPARATOR | MF_MENUBREAK | MF_MENUBARBREAK | MF_RIGHTJUSTIFY);
  m.state = flags & (MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_HILITE | MF_DEFAULT);
  if (flags & MF_POPUP) {
    m.sub = reinterpret_cast<HMENU>(id_or_menu);
    if (!Valid(m.sub)) return false;
    m.id = static_cast<UINT>(id_or_menu);
  } else {
    m.id = static_cast<UINT>(id_or_menu);
  }
  if (flags & MF_OWNERDRAW)
    m.data = reinterpret_cast<ULONG_PTR>(item);
  else if (flags & MF_BITMAP)
    m.bitmap = reinterpret_cast<HBITMAP>(const_cast<WCHAR*>(item));
  else if ((flags & MF_SEPARATOR) == 0 && item != nullptr)
    m.text = item;
  *out = m;
  return true;
}

void DestroyTree(HMENU m) {
  for (auto& it : m->items)
    if (it.sub != nullptr && Valid(it.sub)) DestroyTree(it.sub);
  g_menus.erase(m);
  delete m;
}

}  // namespace

HMENU CreateMenu() {
  std::lock_guard lk(g_menu_mu);
  auto* m = new MenuObject;
  g_menus.insert(m);
  return m;
}

HMENU CreatePopupMenu() {
  HMENU m = CreateMenu();
  m->popup = true;
  return m;
}

BOOL DestroyMenu(HMENU menu) {
  std::lock_guard lk(g_menu_mu);
  if (!Valid(menu)) return Fail(ERROR_INVALID_MENU_HANDLE);
  DestroyTree(menu);
  return TRUE;
}

BOOL IsMenu(HMENU menu) {
  std::lock_guard lk(g_menu_mu);
  return Valid(menu);
}

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id_or_menu, LPCWSTR item) {
  std::lock_guard lk(g_menu_mu);
  if (!Valid(menu)) return Fail(ERROR_INVALID_MENU_HANDLE);
  MenuItem m;
  if (!MakeItem(flags, id_or_menu, item, &m)) return Fail(ERROR_INVALID_MENU_HANDLE);
  menu->items.push_back(m);
  return TRUE;
}

BOOL InsertMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id_or_menu, LPCWSTR item) {
  std::lock_guard lk(g_menu_mu);
  if (!Valid(menu)) return Fail(ERROR_INVALID_MENU_HANDLE);
  MenuItem m;
  if (!MakeItem(flags, id_or_menu, item, &m)) return Fail(ERROR_INVALID_MENU_HANDLE);
  HMENU where = menu;
  int pos;
  if (flags & MF_BYPOSITION) {
    pos = position >= menu->items.size() ? static_cast<int>(menu->items.size()) : static_cast<int>(position);
  } else if (!Locate(menu, position, flags, &where, &pos)) {
    // By command with no such command: appended to the menu given, as the platform does.
    where = menu;
    pos = static_cast<int>(menu->items.size());
  }
  where->items.insert(where->items.begin() + pos, m);
  return TRUE;
}

BOOL ModifyMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id_or_menu, LPCWSTR item) {
  std::lock_guard lk(g_menu_mu);
  HMENU where;
  int pos;
  if (!Locate(menu, position, flags, &where, &pos)) return Fail(ERROR_MENU_ITEM_NOT_FOUND);
  MenuItem m;
  if (!MakeItem(flags, id_or_menu, item, &m)) return Fail(ERROR_INVALID_MENU_HANDLE);
  MenuItem& old = where->items[pos];
  if (old.sub != nullptr && old.sub != m.sub && Valid(old.sub)) DestroyTree(old.sub);
  old = m;
  return TRUE;
}

BOOL RemoveMenu(HMENU menu, UINT position, UINT flags) {
  std::lock_guard lk(g_menu_mu);
  HMENU where;
  int pos;
  if (!Locate(menu, position, flags, &where, &pos)) return Fail(ERROR_MENU_ITEM_NOT_FOUND);
  where->items.erase(where->items.begin() + pos);
  return TRUE;
}

BOOL DeleteMenu(HMENU menu, UINT position, UINT flags) {
  std::lock_guard lk(g_menu_mu);
  HMENU where;
  int pos;
  if (!Locate(menu, position, flags, &where, &pos)) return Fail(ERROR_MENU_ITEM_NOT_FOUND);
  HMENU sub = where->items[pos].sub;
  where->items.erase(where->items.begin() + pos);
  if (sub != nullptr && Valid(sub)) DestroyTree(sub);
  return TRUE;
}

namespace {
bool ApplyInfo(MenuItem& it, const MENUITEMINFOW* info) {
  if (info->fMask & (MIIM_TYPE | MIIM_FTYPE)) {
    it.type = info->fType & ~MFT_RADIOCHECK & (MFT_BITMAP | MFT_OWNERDRAW | MFT_SEPARATOR | MFT_MENUBREAK | MFT_MENUBARBREAK | MFT_RIGHTJUSTIFY);
    it.type |= info->fType & MFT_RADIOCHECK;
  }
  if ((info->fMask & MIIM_TYPE) && (info->fType & (MFT_BITMAP | MFT_SEPARATOR | MFT_OWNERDRAW)) == 0)
    it.text = info->dwTypeData ? info->dwTypeData : u"";
  if (info->fMask & MIIM_STRING) it.text = info->dwTypeData ? info->dwTypeData : u"";
  if (info->fMask & MIIM_STATE) it.state = info->fState & (MFS_GRAYED | MFS_CHECKED | MFS_HILITE | MFS_DEFAULT);
  if (info->fMask & MIIM_ID) it.id = info->wID;
  if (info->fMask & MIIM_SUBMENU) {
    if (info->hSubMenu != nullptr && !Valid(info->hSubMenu)) return false;
    it.sub = info->hSubMenu;
  }
  if (info->fMask & MIIM_DATA) it.data = info->dwItemData;
  if (info->fMask & MIIM_BITMAP) it.bitmap = info->hbmpItem;
  if (info->fMask & MIIM_CHECKMARKS) {
    it.checked = info->hbmpChecked;
    it.unchecked = info->hbmpUnchecked;
  }
  return true;
}
bool SizeOk(const MENUITEMINFOW* info) {
  // The platform takes the record of every version; the last member came with the newest.
  return info != nullptr && (info->cbSize == sizeof(MENUITEMINFOW) || info->cbSize == offsetof(MENUITEMINFOW, hbmpItem));
}
}  // namespace

BOOL InsertMenuItemW(HMENU menu, UINT item, BOOL by_position, const MENUITEMINFOW* info) {
  std::lock_guard lk(g_menu_mu);
  if (!Valid(menu)) return Fail(ERROR_INVALID_MENU_HANDLE);
  if (!SizeOk(info)) return Fail(ERROR_INVALID_PARAMETER);
  MenuItem it;
  if (!ApplyInfo(it, info)) return Fail(ERROR_INVALID_MENU_HANDLE);
  HMENU where = menu;
  int pos = static_cast<int>(menu->items.size());
  if (by_position) {
    if (item < menu->items.size()) pos = static_cast<int>(item);
  } else if (!Locate(menu, item, MF_BYCOMMAND, &where, &pos)) {
    where = menu;
    pos = static_cast<int>(menu->items.size());
  }
  where->items.insert(where->items.begin() + pos, it);
  return TRUE;
}

BOOL GetMenuItemInfoW(HMENU menu, UINT item, BOOL by_position, MENUITEMINFOW* info) {
  std::lock_guard lk(g_menu_mu);
  if (!SizeOk(info)) return Fail(ERROR_INVALID_PARAMETER);
  HMENU where;
  int pos;
  if (!Locate(menu, item, by_position ? MF_BYPOSITION : MF_BYCOMMAND, &where, &pos)) return Fail(ERROR_MENU_ITEM_NOT_FOUND);
  const MenuItem& it = where->items[pos];
  if (info->fMask & (MIIM_TYPE | MIIM_FTYPE)) info->fType = it.type;
  if (info->fMask & MIIM_STATE) info->fState = it.state;
  if (info->fMask & MIIM_ID) info->wID = it.id;
  if (info->fMask & MIIM_SUBMENU) info->hSubMenu = it.sub;
  if (info->fMask & MIIM_DATA) info->dwItemData = it.data;
  if (info->fMask & MIIM_BITMAP) info->hbmpItem = it.bitmap;
  if (info->fMask & MIIM_CHECKMARKS) {
    info->hbmpChecked = it.checked;
    info->hbmpUnchecked = it.unchecked;
  }
  if (info->fMask & (MIIM_STRING | MIIM_TYPE)) {
    if (info->dwTypeData != nullptr && info->cch > 0) {
      size_t n = std::min<size_t>(info->cch - 1, it.text.size());
      std::copy_n(it.text.data(), n, info->dwTypeData);
      info->dwTypeData[n] = 0;
    }
    info->cch = static_cast<UINT>(it.text.size());
  }
  return TRUE;
}

BOOL SetMenuItemInfoW(HMENU menu, UINT item, BOOL by_position, const MENUITEMINFOW* info) {
  std::lock_guard lk(g_menu_mu);
  if (!SizeOk(info)) return Fail(ERROR_INVALID_PARAMETER);
  HMENU where;
  int pos;
  if (!Locate(menu, item, by_position ? MF_BYPOSITION : MF_BYCOMMAND, &where, &pos)) return Fail(ERROR_MENU_ITEM_NOT_FOUND);
  MenuItem copy = where->items[pos];
  if (!ApplyInfo(copy, info)) return Fail(ERROR_INVALID_MENU_HANDLE);
  where->items[pos] = copy;
  return TRUE;
}

int GetMenuItemCount(HMENU menu) {
  std::lock_guard lk(g_menu_mu);
  if (!Valid(menu)) return Fail(ERROR_INVALID_MENU_HANDLE), -1;
  return static_cast<int>(menu->items.size());
}

UINT GetMenuItemID(HMENU menu, int position) {
  std::lock_guard lk(g_menu_mu);
  if (!Valid(menu) || position < 0 || static_cast<size_t>(position) >= menu->items.size()) return static_cast<UINT>(-1);
  const MenuItem& it = menu->items[position];
  return it.sub != nullptr ? static_cast<UINT>(-1) : it.id;
}

HMENU GetSubMenu(HMENU menu, int position) {
  std::lock_guard lk(g_menu_mu);
  if (!Valid(menu) || position < 0 || static_cast<size_t>(position) >= menu->items.size()) return nullptr;
  return menu->items[position].sub;
}

UINT GetMenuState(HMENU menu, UINT id, UINT flags) {
  std::lock_guard lk(g_menu_mu);
  HMENU where;
  int pos;
  if (!Locate(menu, id, flags, &where, &pos)) return static_cast<UINT>(-1);
  const MenuItem& it = where->items[pos];
  UINT s = it.state | it.type;
  if (it.sub != nullptr) s = (s & 0xFF) | (static_cast<UINT>(GetMenuItemCount(it.sub)) << 8) | MF_POPUP;
  return s;
}

int GetMenuStringW(HMENU menu, UINT id, LPWSTR buffer, int count, UINT flags) {
  std::lock_guard lk(g_menu_mu);
  HMENU where;
  int pos;
  if (!Locate(menu, id, flags, &where, &pos)) return 0;
  const std::u16string& t = where->items[pos].text;
  if (buffer == nullptr || count <= 0) return static_cast<int>(t.size());
  int n = std::min<int>(count - 1, static_cast<int>(t.size()));
  std::copy_n(t.data(), n, buffer);
  buffer[n] = 0;
  return n;
}

DWORD CheckMenuItem(HMENU menu, UINT id, UINT check) {
  std::lock_guard lk(g_menu_mu);
  HMENU where;
  int pos;
  if (!Locate(menu, id, check, &where, &pos)) return static_cast<DWORD>(-1);
  MenuItem& it = where->items[pos];
  DWORD old = it.state & MF_CHECKED;
  it.state = (it.state & ~MF_CHECKED) | (check & MF_CHECKED);
  return old;
}

BOOL EnableMenuItem(HMENU menu, UINT id, UINT enable) {
  std::lock_guard lk(g_menu_mu);
  HMENU where;
  int pos;
  if (!Locate(menu, id, enable, &where, &pos)) return -1;
  MenuItem& it = where->items[pos];
  UINT old = it.state & (MF_GRAYED | MF_DISABLED);
  it.state = (it.state & ~(MF_GRAYED | MF_DISABLED)) | (enable & (MF_GRAYED | MF_DISABLED));
  return static_cast<BOOL>(old);
}

BOOL SetMenuDefaultItem(HMENU menu, UINT item, UINT by_position) {
  std::lock_guard lk(g_menu_mu);
  if (!Valid(menu)) return Fail(ERROR_INVALID_MENU_HANDLE);
  for (auto& it : menu->items) it.state &= ~MF_DEFAULT;
  if (item == static_cast<UINT>(-1)) return TRUE;
  HMENU where;
  int pos;
  if (!Locate(menu, item, by_position ? MF_BYPOSITION : MF_BYCOMMAND, &where, &pos) || where != menu)
    return Fail(ERROR_MENU_ITEM_NOT_FOUND);
  menu->items[pos].state |= MF_DEFAULT;
  return TRUE;
}

UINT GetMenuDefaultItem(HMENU menu, UINT by_position, UINT) {
  std::lock_guard lk(g_menu_mu);
  if (!Valid(menu)) return static_cast<UINT>(-1);
  for (size_t i = 0; i < menu->items.size(); ++i)
    if (menu->items[i].state & MF_DEFAULT) return by_position ? static_cast<UINT>(i) : menu->items[i].id;
  return static_cast<UINT>(-1);
}

namespace {
std::mutex g_window_menus_mu;
std::vector<std::pair<HWND, HMENU>> g_window_menus;
}  // namespace

HMENU GetMenu(HWND hwnd) {
  std::lock_guard lk(g_window_menus_mu);
  for (auto& [w, m] : g_window_menus)
    if (w == hwnd) return m;
  return nullptr;
}

BOOL SetMenu(HWND hwnd, HMENU menu) {
  if (!IsWindow(hwnd)) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  std::lock_guard lk(g_window_menus_mu);
  std::erase_if(g_window_menus, [&](auto& p) { return p.first == hwnd; });
  if (menu != nullptr) g_window_menus.emplace_back(hwnd, menu);
  return TRUE;
}

// ---------------------------------------------------------------------------------------
// Templates: a 4-byte header (version 0, offset 0), then per item a 16-bit option word, a
// 16-bit command unless MF_POPUP, and the terminated UTF-16 text.
namespace {
struct TemplateReader {
  const uint8_t* p;
  const uint8_t* end;  // null: trust the caller (LoadMenuIndirectW has no length)
  bool ok = true;
  bool Has(size_t n) const { return end == nullptr || static_cast<size_t>(end - p) >= n; }
  WORD Word() {
    if (!Has(2)) {
      ok = false;
      return 0;
    }
    WORD w;
    std::memcpy(&w, p, 2);
    p += 2;
    return w;
  }
  std::u16string Text() {
    std::u16string s;
    for (;;) {
      WORD c = Word();
      if (!ok || c == 0) return s;
      s.push_back(static_cast<char16_t>(c));
    }
  }
};

bool ReadLevel(TemplateReader& r, HMENU menu, int depth) {
  if (depth > 16) return false;
  for (;;) {
    WORD option = r.Word();
    WORD id = (option & MF_POPUP) ? 0 : r.Word();
    std::u16string text = r.Text();
    if (!r.ok) return false;
    UINT flags = option & ~(MF_END | MF_POPUP) & (MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_MENUBREAK | MF_MENUBARBREAK | MF_OWNERDRAW | MF_SEPARATOR);
    if (option & MF_POPUP) {
      HMENU sub = CreatePopupMenu();
      if (!ReadLevel(r, sub, depth + 1)) {
        DestroyMenu(sub);
        return false;
      }
      AppendMenuW(menu, flags | MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(sub), text.c_str());
    } else if (id == 0 && text.empty()) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    } else {
      AppendMenuW(menu, flags | MF_STRING, id, text.c_str());
    }
    if (option & MF_END) return true;
  }
}
}  // namespace

namespace ui {
HMENU LoadMenuTemplate(const void* data, size_t size) {
  // Only LoadMenuIndirectW, which is given no length, reads without a bound; an empty
  // resource is an empty template, not an unbounded one.
  TemplateReader r{static_cast<const uint8_t*>(data),
                   size == kUnboundedTemplate ? nullptr : static_cast<const uint8_t*>(data) + size};
  WORD version = r.Word();
  WORD offset = r.Word();
  if (!r.ok || version != 0 || !r.Has(offset)) return SetLastError(ERROR_INVALID_DATA), nullptr;
  r.p += offset;
  HMENU m = CreateMenu();
  if (!ReadLevel(r, m, 0)) {
    DestroyMenu(m);
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  return m;
}
}  // namespace ui

HMENU LoadMenuIndirectW(const void* menu_template) {
  if (menu_template == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  return ui::LoadMenuTemplate(menu_template, ui::kUnboundedTemplate);
}

// ---------------------------------------------------------------------------------------
// Tracking.
namespace {

constexpr int kFrame = 3;         // the popup's frame
constexpr int kCheckColumn = 17;  // standard items: check mark column and arrow column
constexpr int kSeparatorHeight = 9;

struct Level {
  HMENU menu;
  HWND window = nullptr;
  int selected = -1;
  std::vector<RECT> rects;  // client coordinates, one per item
  SIZE client{};
  int parent_item = -1;  // the item of the level above that opened this one
};

struct Tracker {
  HWND owner;
  UINT flags;
  DWORD thread;
  std::vector<Level> levels;
  bool done = false;
  UINT chosen = 0;
  bool button_seen_down = false;
};

std::mutex g_track_mu;
Tracker* g_tracker = nullptr;  // the one menu on screen (one at a time, as on the platform)

MenuItem ItemCopy(HMENU m, int i) {
  std::lock_guard lk(g_menu_mu);
  return Valid(m) && i >= 0 && static_cast<size_t>(i) < m->items.size() ? m->items[i] : MenuItem{};
}

int ItemCount(HMENU m) {
  std::lock_guard lk(g_menu_mu);
  return Valid(m) ? static_cast<int>(m->items.size()) : 0;
}

HFONT MenuFont(bool bold) {
  NONCLIENTMETRICSW ncm{};
  ncm.cbSize = sizeof ncm;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
  if (bold) ncm.lfMenuFont.lfWeight = FW_BOLD;
  return CreateFontIndirectW(&ncm.lfMenuFont);
}

bool Selectable(const MenuItem& it) { return (it.type & MFT_SEPARATOR) == 0; }
bool Enabled(const MenuItem& it) { return (it.state & (MF_GRAYED | MF_DISABLED)) == 0; }

std::pair<std::u16string, std::u16string> SplitTab(const std::u16string& t) {
  size_t tab = t.find(u'\t');
  if (tab == std::u16string::npos) return {t, u""};
  return {t.substr(0, tab), t.substr(t.rfind(u'\t') + 1)};
}

void Layout(Tracker& t, Level& lv) {
  int n = ItemCount(lv.menu);
  lv.rects.assign(n, RECT{});
  HDC dc = GetDC(nullptr);
  HFONT font = MenuFont(false);
  HGDIOBJ old = SelectObject(dc, font);
  struct Size2 {
    int w, h;
  };
  std::vector<Size2> sizes(n);
  for (int i = 0; i < n; ++i) {
    MenuItem it = ItemCopy(lv.menu, i);
    if (it.type & MFT_OWNERDRAW) {
      MEASUREITEMSTRUCT mis{ODT_MENU, 0, it.id, 0, 0, it.data};
      SendMessageW(t.owner, WM_MEASUREITEM, 0, reinterpret_cast<LPARAM>(&mis));
      // The platform adds the check-mark column to what the owner measured.
      sizes[i] = Size2{static_cast<int>(mis.itemWidth) + GetSystemMetrics(SM_CXMENUCHECK) - 1, static_cast<int>(mis.itemHeight)};
    } else if (it.type & MFT_SEPARATOR) {
      sizes[i] = Size2{0, kSeparatorHeight};
    } else {
      auto [left, right] = SplitTab(it.text);
      RECT a{0, 0, 0, 0}, b{0, 0, 0, 0};
      DrawTextW(dc, left.c_str(), -1, &a, DT_SINGLELINE | DT_CALCRECT);
      int w = a.right;
      if (!right.empty()) {
        DrawTextW(dc, right.c_str(), -1, &b, DT_SINGLELINE | DT_CALCRECT);
        w += 24 + b.right;
      }
      sizes[i] = Size2{kCheckColumn + w + kCheckColumn + 4, std::max(GetSystemMetrics(SM_CYMENU), static_cast<int>(a.bottom) + 4)};
    }
  }
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(nullptr, dc);
  // Columns: a break item starts a new one; every item of a column is as wide as its widest.
  int x = 0, col_start = 0, height = 0;
  auto close_column = [&](int end) {
    int w = 0, y = 0;
    for (int i = col_start; i < end; ++i) w = std::max(w, sizes[i].w);
    for (int i = col_start; i < end; ++i) {
      lv.rects[i] = RECT{x, y, x + w, y + sizes[i].h};
      y += sizes[i].h;
    }
    height = std::max(height, y);
    x += w;
  };
  for (int i = 0; i < n; ++i) {
    MenuItem it = ItemCopy(lv.menu, i);
    if (i > col_start && (it.type & (MFT_MENUBREAK | MFT_MENUBARBREAK))) {
      close_column(i);
      if (it.type & MFT_MENUBARBREAK) x += 2;  // room for the bar between the columns
      col_start = i;
    }
  }
  close_column(n);
  lv.client = SIZE{x, height};
}

LRESULT CALLBACK_MenuProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

void EnsureClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_SAVEBITS | CS_DROPSHADOW;
    wc.lpfnWndProc = CALLBACK_MenuProc;
    wc.lpszClassName = ui::kMenuClass;
    RegisterClassExW(&wc);
  });
}

Level* LevelOf(HWND hwnd, Tracker** tracker) {
  std::lock_guard lk(g_track_mu);
  if (g_tracker == nullptr) return nullptr;
  for (auto& lv : g_tracker->levels)
    if (lv.window == hwnd) {
      *tracker = g_tracker;
      return &lv;
    }
  return nullptr;
}

UINT DrawState(const MenuItem& it, bool selected) {
  UINT s = 0;
  if (selected) s |= ODS_SELECTED;
  if (it.state & MF_GRAYED) s |= ODS_GRAYED;
  if (it.state & MF_DISABLED) s |= ODS_DISABLED;
  if (it.state & MF_CHECKED) s |= ODS_CHECKED;
  if (it.state & MF_DEFAULT) s |= ODS_DEFAULT;
  return s;
}

void DrawArrow(HDC dc, const RECT& r, COLORREF color) {
  HPEN pen = CreatePen(PS_SOLID, 1, color);
  HGDIOBJ old = SelectObject(dc, pen);
  int ax = r.right - 12, ay = (r.top + r.bottom) / 2 - 3;
  for (int k = 0; k < 4; ++k) {
    MoveToEx(dc, ax + k, ay + k, nullptr);
    LineTo(dc, ax + k, ay + 7 - k);
  }
  SelectObject(dc, old);
  DeleteObject(pen);
}

void DrawStandard(HDC dc, const MenuItem& it, RECT r, bool selected) {
  if (it.type & MFT_SEPARATOR) {
    FillRect(dc, &r, GetSysColorBrush(COLOR_MENU));
    RECT line{r.left + 1, r.top + (r.bottom - r.top) / 2 - 1, r.right - 1, r.bottom};
    DrawEdge(dc, &line, EDGE_ETCHED, BF_TOP);
    return;
  }
  bool enabled = Enabled(it);
  FillRect(dc, &r, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_MENU));
  HFONT font = MenuFont((it.state & MF_DEFAULT) != 0);
  HGDIOBJ old = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  COLORREF text = selected ? GetSysColor(COLOR_HIGHLIGHTTEXT) : GetSysColor(COLOR_MENUTEXT);
  const auto parts = SplitTab(it.text);  // named, not bound: the lambda below captures them
  const std::u16string& left = parts.first;
  const std::u16string& right = parts.second;
  RECT tr{r.left + kCheckColumn, r.top, r.right - kCheckColumn, r.bottom};
  auto draw_texts = [&](RECT box, COLORREF c) {
    SetTextColor(dc, c);
    DrawTextW(dc, left.c_str(), -1, &box, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    if (!right.empty()) DrawTextW(dc, right.c_str(), -1, &box, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
  };
  if (!enabled && !selected) {
    RECT shifted = tr;
    OffsetRect(&shifted, 1, 1);
    draw_texts(shifted, GetSysColor(COLOR_3DHIGHLIGHT));
    draw_texts(tr, GetSysColor(COLOR_GRAYTEXT));
  } else {
    draw_texts(tr, enabled ? text : GetSysColor(COLOR_GRAYTEXT));
  }
  COLORREF mark = enabled ? text : GetSysColor(COLOR_GRAYTEXT);
  HPEN pen = CreatePen(PS_SOLID, 1, mark);
  HGDIOBJ old_pen = SelectObject(dc, pen);
  int cy = (r.top + r.bottom) / 2;
  if (it.state & MF_CHECKED) {
    static const int s[7] = {2, 3, 4, 3, 2, 1, 0};
    int x0 = r.left + 4, y0 = cy - 4;
    for (int k = 0; k < 7; ++k) {
      MoveToEx(dc, x0 + k, y0 + s[k], nullptr);
      LineTo(dc, x0 + k, y0 + s[k] + 3);
    }
  }
  SelectObject(dc, old_pen);
  if (it.sub != nullptr) DrawArrow(dc, r, mark);
  DeleteObject(pen);
  SelectObject(dc, old);
  DeleteObject(font);
}

void DrawItem(Tracker& t, Level& lv, HDC dc, int i, UINT action) {
  MenuItem it = ItemCopy(lv.menu, i);
  RECT r = lv.rects[i];
  bool selected = lv.selected == i;
  if (it.type & MFT_OWNERDRAW) {
    DRAWITEMSTRUCT dis{ODT_MENU, 0, it.id, action, DrawState(it, selected), reinterpret_cast<HWND>(lv.menu), dc, r, it.data};
    SendMessageW(t.owner, WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&dis));
    // The platform adds the submenu arrow over an owner-drawn popup item, in the colour the
    // owner left as the DC's text colour.
    if (it.sub != nullptr) DrawArrow(dc, r, GetTextColor(dc));
  } else {
    DrawStandard(dc, it, r, selected);
  }
}

void PaintLevel(Tracker& t, Level& lv, HDC dc) {
  RECT all{0, 0, lv.client.cx, lv.client.cy};
  FillRect(dc, &all, GetSysColorBrush(COLOR_MENU));
  for (int i = 0; i < static_cast<int>(lv.rects.size()); ++i) {
    MenuItem it = ItemCopy(lv.menu, i);
    if ((it.type & MFT_MENUBARBREAK) && i > 0) {
      RECT bar{lv.rects[i].left - 2, 0, lv.rects[i].left, lv.client.cy};
      DrawEdge(dc, &bar, EDGE_ETCHED, BF_LEFT);
    }
    DrawItem(t, lv, dc, i, ODA_DRAWENTIRE);
  }
}

LRESULT CALLBACK_MenuProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  Tracker* t = nullptr;
  switch (message) {
    case WM_NCPAINT: {
      HDC dc = GetWindowDC(hwnd);
      RECT r;
      GetWindowRect(hwnd, &r);
      OffsetRect(&r, -r.left, -r.top);
      DrawEdge(dc, &r, EDGE_RAISED, BF_RECT | BF_ADJUST);
      FrameRect(dc, &r, GetSysColorBrush(COLOR_MENU));
      ReleaseDC(hwnd, dc);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (Level* lv = LevelOf(hwnd, &t)) PaintLevel(*t, *lv, dc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

void Notify(Tracker& t, UINT message, WPARAM w, LPARAM l) {
  if ((t.flags & TPM_NONOTIFY) == 0) SendMessageW(t.owner, message, w, l);
}

void Select(Tracker& t, size_t level, int item) {
  Level& lv = t.levels[level];
  if (lv.selected == item) return;
  int old = lv.selected;
  {
    std::lock_guard lk(g_track_mu);
    lv.selected = item;
  }
  HDC dc = GetDC(lv.window);
  if (old >= 0) DrawItem(t, lv, dc, old, ODA_SELECT);
  if (item >= 0) DrawItem(t, lv, dc, item, ODA_SELECT);
  ReleaseDC(lv.window, dc);
  if (item >= 0) {
    MenuItem it = ItemCopy(lv.menu, item);
    UINT flags = (it.state & (MF_GRAYED | MF_DISABLED | MF_CHECKED)) | MF_HILITE | (it.sub ? MF_POPUP : 0) |
                 (it.type & MFT_OWNERDRAW);
    Notify(t, WM_MENUSELECT, MAKEWPARAM(it.sub ? item : static_cast<int>(it.id), static_cast<int>(flags)),
           reinterpret_cast<LPARAM>(lv.menu));
  }
}

void CloseLevelsFrom(Tracker& t, size_t from) {
  while (t.levels.size() > from) {
    Level lv;
    {
      std::lock_guard lk(g_track_mu);
      lv = t.levels.back();
      t.levels.pop_back();
    }
    DestroyWindow(lv.window);
    Notify(t, WM_UNINITMENUPOPUP, reinterpret_cast<WPARAM>(lv.menu), 0);
  }
  if (!t.levels.empty()) SetCapture(t.levels.front().window);
}

bool OpenLevel(Tracker& t, HMENU menu, POINT at, UINT align, const RECT* avoid, int parent_item) {
  Notify(t, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), MAKELPARAM(std::max(parent_item, 0), 0));
  Level lv;
  lv.menu = menu;
  lv.parent_item = parent_item;
  Layout(t, lv);
  int w = lv.client.cx + 2 * kFrame, h = lv.client.cy + 2 * kFrame;
  int x = at.x, y = at.y;
  if (align & TPM_RIGHTALIGN) x -= w;
  else if (align & TPM_CENTERALIGN) x -= w / 2;
  if (align & TPM_BOTTOMALIGN) y -= h;
  else if (align & TPM_VCENTERALIGN) y -= h / 2;
  int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
  if (x + w > sw) x = avoid != nullptr ? avoid->left - w + kFrame : (align & (TPM_RIGHTALIGN | TPM_CENTERALIGN)) ? sw - w : x - w;
  if (y + h > sh) y = avoid != nullptr ? sh - h : y - h;
  x = std::clamp(x, 0, std::max(0, sw - w));
  y = std::clamp(y, 0, std::max(0, sh - h));
  EnsureClass();
  HWND wnd = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, ui::kMenuClass, nullptr, WS_POPUP | WS_DLGFRAME, x, y,
                             w, h, t.owner, nullptr, nullptr, nullptr);
  if (wnd == nullptr) return false;
  lv.window = wnd;
  {
    std::lock_guard lk(g_track_mu);
    t.levels.push_back(lv);
  }
  ShowWindow(wnd, SW_SHOWNA);
  UpdateWindow(wnd);
  SetCapture(t.levels.front().window);
  return true;
}

void OpenSubmenu(Tracker& t, size_t level, int item) {
  MenuItem it = ItemCopy(t.levels[level].menu, item);
  if (it.sub == nullptr || !Enabled(it)) return;
  if (t.levels.size() > level + 1 && t.levels[level + 1].parent_item == item) return;
  CloseLevelsFrom(t, level + 1);
  RECT r = t.levels[level].rects[item];
  POINT tl{r.left, r.top}, br{r.right, r.bottom};
  ClientToScreen(t.levels[level].window, &tl);
  ClientToScreen(t.levels[level].window, &br);
  RECT item_screen{tl.x, tl.y, br.x, br.y};
  OpenLevel(t, it.sub, POINT{br.x - kFrame, tl.y - kFrame}, 0, &item_screen, item);
}

void Choose(Tracker& t, size_t level, int item) {
  MenuItem it = ItemCopy(t.levels[level].menu, item);
  if (!Selectable(it) || !Enabled(it)) return;
  if (it.sub != nullptr) {
    OpenSubmenu(t, level, item);
    return;
  }
  t.chosen = it.id;
  t.done = true;
}

int ItemAt(const Level& lv, POINT client) {
  for (int i = 0; i < static_cast<int>(lv.rects.size()); ++i)
    if (PtInRect(&lv.rects[i], client)) return i;
  return -1;
}

int NextSelectable(const Level& lv, int from, int step) {
  int n = static_cast<int>(lv.rects.size());
  for (int k = 1; k <= n; ++k) {
    int i = ((from + step * k) % n + n) % n;
    if (from < 0 && step < 0 && k == 1) i = n - 1;
    if (Selectable(ItemCopy(lv.menu, i))) return i;
  }
  return -1;
}

bool HandleMouse(Tracker& t, const MSG& msg) {
  POINT pt{GET_X_LPARAM(msg.lParam), GET_Y_LPARAM(msg.lParam)};
  if (!ui::IsMenuWindow(msg.hwnd)) ClientToScreen(msg.hwnd, &pt);
  // The deepest popup under the pointer.
  int level = -1, item = -1;
  for (int l = static_cast<int>(t.levels.size()) - 1; l >= 0; --l) {
    RECT wr;
    GetWindowRect(t.levels[l].window, &wr);
    if (!PtInRect(&wr, pt)) continue;
    POINT c = pt;
    ScreenToClient(t.levels[l].window, &c);
    level = l;
    item = ItemAt(t.levels[l], c);
    break;
  }
  switch (msg.message) {
    case WM_MOUSEMOVE:
      if (level < 0) {
        Level& deepest = t.levels.back();
        if (deepest.selected >= 0) Select(t, t.levels.size() - 1, -1);
        return true;
      }
      if (item < 0) return true;
      if (!Selectable(ItemCopy(t.levels[level].menu, item))) {
        CloseLevelsFrom(t, level + 1);
        Select(t, level, -1);
        return true;
      }
      Select(t, level, item);
      if (ItemCopy(t.levels[level].menu, item).sub != nullptr)
        OpenSubmenu(t, level, item);
      else
        CloseLevelsFrom(t, level + 1);
      return true;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
      if (level < 0) {
        t.done = true;  // a click outside every popup dismisses the menu
        t.chosen = 0;
        return true;
      }
      t.button_seen_down = true;
      if (item >= 0 && Selectable(ItemCopy(t.levels[level].menu, item))) Select(t, level, item);
      return true;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
      if (msg.message == WM_RBUTTONUP && (t.flags & TPM_RIGHTBUTTON) == 0 && !t.button_seen_down) return true;
      if (level >= 0 && item >= 0) Choose(t, static_cast<size_t>(level), item);
      return true;
    default:
      return true;
  }
}

WCHAR Mnemonic(const std::u16string& text) {
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == u'&') {
      if (text[i + 1] == u'&') {
        ++i;
        continue;
      }
      WCHAR c = text[i + 1];
      return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c;
    }
  return 0;
}

bool HandleKey(Tracker& t, const MSG& msg) {
  size_t level = t.levels.size() - 1;
  Level& lv = t.levels[level];
  if (msg.message == WM_CHAR || msg.message == WM_SYSCHAR) {
    WCHAR c = static_cast<WCHAR>(msg.wParam);
    if (c >= u'a' && c <= u'z') c = static_cast<WCHAR>(c - u'a' + u'A');
    if (c == 0x1B || c == u'\r') return true;  // handled as keys
    std::vector<int> hits;
    bool owner_drawn = false;
    for (int i = 0; i < static_cast<int>(lv.rects.size()); ++i) {
      MenuItem it = ItemCopy(lv.menu, i);
      if (it.type & MFT_OWNERDRAW) owner_drawn = true;
      if (Mnemonic(it.text) == c) hits.push_back(i);
    }
    if (hits.empty() && owner_drawn) {
      LRESULT r = SendMessageW(t.owner, WM_MENUCHAR, MAKEWPARAM(static_cast<int>(msg.wParam), MF_POPUP),
                               reinterpret_cast<LPARAM>(lv.menu));
      int action = HIWORD(static_cast<uintptr_t>(r)), index = LOWORD(static_cast<uintptr_t>(r));
      if (action == MNC_CLOSE) t.done = true;
      if ((action == MNC_EXECUTE || action == MNC_SELECT) && index < static_cast<int>(lv.rects.size())) {
        Select(t, level, index);
        if (action == MNC_EXECUTE) Choose(t, level, index);
      }
      return true;
    }
    if (hits.size() == 1) {
      Select(t, level, hits[0]);
      Choose(t, level, hits[0]);
    } else if (!hits.empty()) {
      auto next = std::find_if(hits.begin(), hits.end(), [&](int i) { return i > lv.selected; });
      Select(t, level, next == hits.end() ? hits[0] : *next);
    }
    return true;
  }
  if (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) return true;
  switch (static_cast<int>(msg.wParam)) {
    case VK_ESCAPE:
      if (t.levels.size() > 1)
        CloseLevelsFrom(t, level);
      else
        t.done = true;
      return true;
    case VK_UP:
    case VK_DOWN: {
      int next = NextSelectable(lv, lv.selected, msg.wParam == VK_DOWN ? 1 : -1);
      if (next >= 0) Select(t, level, next);
      return true;
    }
    case VK_RIGHT:
      if (lv.selected >= 0 && ItemCopy(lv.menu, lv.selected).sub != nullptr) {
        OpenSubmenu(t, level, lv.selected);
        if (t.levels.size() > level + 1) Select(t, level + 1, NextSelectable(t.levels[level + 1], -1, 1));
      }
      return true;
    case VK_LEFT:
      if (t.levels.size() > 1) CloseLevelsFrom(t, level);
      return true;
    case VK_RETURN:
      if (lv.selected >= 0) {
        bool popup = ItemCopy(lv.menu, lv.selected).sub != nullptr;
        Choose(t, level, lv.selected);
        if (popup && t.levels.size() > level + 1) Select(t, level + 1, NextSelectable(t.levels[level + 1], -1, 1));
      } else {
        t.done = true;
      }
      return true;
    case VK_MENU:
      t.done = true;
      return true;
    default:
      return true;
  }
}

}  // namespace

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT*) {
  if (!IsMenu(menu)) return Fail(ERROR_INVALID_MENU_HANDLE);
  if (!IsWindow(owner)) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  Tracker t{owner, flags, GetCurrentThreadId()};
  {
    std::lock_guard lk(g_track_mu);
    if (g_tracker != nullptr) return Fail(ERROR_POPUP_ALREADY_ACTIVE);
    g_tracker = &t;
  }
  Notify(t, WM_ENTERMENULOOP, TRUE, 0);
  bool opened = OpenLevel(t, menu, POINT{x, y}, flags, nullptr, -1);
  if (opened) {
    ui::RunModalLoop(
        nullptr, MSGF_MENU,
        [&](MSG& msg) {
          if (msg.message == WM_CANCELMODE) {
            t.done = true;
            return true;
          }
          if (msg.message >= WM_MOUSEFIRST && msg.message <= WM_MOUSELAST) return HandleMouse(t, msg);
          if (msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST) {
            // Characters come from the keys through TranslateMessage, as in any loop.
            if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) TranslateMessage(&msg);
            return HandleKey(t, msg);
          }
          return false;
        },
        [&] {
          std::lock_guard lk(g_track_mu);
          return t.done || !IsWindow(t.owner);
        });
  }
  ReleaseCapture();
  CloseLevelsFrom(t, 0);
  {
    std::lock_guard lk(g_track_mu);
    g_tracker = nullptr;
  }
  if (!IsWindow(owner)) return FALSE;
  Notify(t, WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
  Notify(t, WM_EXITMENULOOP, TRUE, 0);
  if (!opened) return FALSE;
  if (flags & TPM_RETURNCMD) return static_cast<BOOL>(t.chosen);
  if (t.chosen != 0) PostMessageW(owner, WM_COMMAND, MAKEWPARAM(static_cast<int>(t.chosen), 0), 0);
  return TRUE;
}

BOOL EndMenu() {
  std::lock_guard lk(g_track_mu);
  if (g_tracker == nullptr) return FALSE;
  HWND w = g_tracker->levels.empty() ? nullptr : g_tracker->levels.front().window;
  if (w != nullptr) PostMessageW(w, WM_CANCELMODE, 0, 0);
  return TRUE;
}

BOOL GetMenuItemRect(HWND, HMENU menu, UINT position, RECT* rect) {
  if (rect == nullptr) return FALSE;
  HWND w = nullptr;
  RECT r = ui::MenuItemRect(menu, static_cast<int>(position), &w);
  if (w == nullptr) return FALSE;
  *rect = r;
  return TRUE;
}

namespace ui {
std::vector<OpenMenuInfo> OpenMenus() {
  std::lock_guard lk(g_track_mu);
  std::vector<OpenMenuInfo> out;
  if (g_tracker != nullptr)
    for (auto& lv : g_tracker->levels) out.push_back(OpenMenuInfo{lv.window, lv.menu, lv.selected});
  return out;
}

RECT MenuItemRect(HMENU menu, int position, HWND* window) {
  std::lock_guard lk(g_track_mu);
  *window = nullptr;
  if (g_tracker == nullptr) return RECT{};
  for (auto& lv : g_tracker->levels) {
    if (lv.menu != menu || position < 0 || static_cast<size_t>(position) >= lv.rects.size()) continue;
    RECT r = lv.rects[position];
    POINT tl{r.left, r.top};
    ClientToScreen(lv.window, &tl);
    *window = lv.window;
    return RECT{tl.x, tl.y, tl.x + r.right - r.left, tl.y + r.bottom - r.top};
  }
  return RECT{};
}

// Automation reads item texts and states through these.
std::vector<std::pair<std::u16string, UINT>> MenuItems(HMENU menu) {
  std::lock_guard lk(g_menu_mu);
  std::vector<std::pair<std::u16string, UINT>> out;
  if (!Valid(menu)) return out;
  for (auto& it : menu->items) out.emplace_back(it.text, it.state | it.type | (it.sub ? MF_POPUP : 0));
  return out;
}
}  // namespace ui

}  // namespace win32
