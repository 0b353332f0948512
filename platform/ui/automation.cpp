// Automation: looking at windows and menus, input as a device gives it, pixels, snapshots.

#include "platform/ui/automation.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "platform/ui/gdi.h"
#include "platform/ui/menu.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/window.h"

namespace win32 {
namespace ui {
std::vector<std::pair<std::u16string, UINT>> MenuItems(HMENU menu);  // menu.cpp
}

namespace automation {
namespace {

std::atomic<OwnerDrawLabeler> g_labeler{nullptr};
std::mutex g_presenter_mu;
Presenter* g_presenter = nullptr;

WindowInfo Info(HWND h) {
  RECT r{};
  GetWindowRect(h, &r);
  return WindowInfo{h, ui::WindowClassName(h), ui::WindowText(h), r, IsWindowVisible(h) != 0,
                    IsWindowEnabled(h) != 0, static_cast<int>(GetWindowLongPtrW(h, GWLP_ID))};
}

std::u16string WithoutPrefix(const std::u16string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == u'&' && i + 1 < s.size()) ++i;
    else if (s[i] == u'&') continue;
    out.push_back(s[i]);
  }
  return out;
}

// The windows' threads: what WaitForIdle waits for.
std::vector<DWORD> GuiThreads() {
  std::vector<DWORD> out;
  for (HWND h : ui::TopLevelWindows()) {
    DWORD t = GetWindowThreadProcessId(h, nullptr);
    if (t != 0 && std::find(out.begin(), out.end(), t) == out.end()) out.push_back(t);
  }
  return out;
}

std::vector<uint32_t> Compose(const RECT& area) {
  int w = std::max<LONG>(0, area.right - area.left), h = std::max<LONG>(0, area.bottom - area.top);
  std::vector<uint32_t> px(static_cast<size_t>(w) * h, ui::ToPixel(GetSysColor(COLOR_DESKTOP)));
  auto top = ui::TopLevelWindows();
  for (auto it = top.rbegin(); it != top.rend(); ++it) {
    if (!IsWindowVisible(*it)) continue;
    RECT r;
    GetWindowRect(*it, &r);
    auto s = ui::ScreenSurfaceFor(*it);
    if (!s) continue;
    std::lock_guard lk(s->mutex);
    for (int y = std::max(r.top, area.top); y < std::min(r.bottom, area.bottom); ++y)
      for (int x = std::max(r.left, area.left); x < std::min(r.right, area.right); ++x) {
        int sx = x - r.left, sy = y - r.top;
        if (sx >= s->width || sy >= s->height) continue;
        px[static_cast<size_t>(y - area.top) * w + (x - area.left)] = s->pixels[static_cast<size_t>(sy) * s->width + sx] & 0xFFFFFF;
      }
  }
  return px;
}

}  // namespace

std::vector<WindowInfo> TopLevelWindows() {
  std::vector<WindowInfo> out;
  for (HWND h : ui::TopLevelWindows())
    if (IsWindow(h)) out.push_back(Info(h));
  return out;
}

std::vector<WindowInfo> Children(HWND parent) {
  std::vector<WindowInfo> out;
  ui::FindChild(parent, [&](HWND c) {
    out.push_back(Info(c));
    return false;
  });
  return out;
}

std::optional<WindowInfo> Describe(HWND hwnd) {
  if (!IsWindow(hwnd)) return std::nullopt;
  return Info(hwnd);
}

HWND FindControlById(HWND parent, int id) {
  return ui::FindChild(parent, [&](HWND c) { return GetWindowLongPtrW(c, GWLP_ID) == id; });
}

HWND FindControlByText(HWND parent, const std::u16string& text) {
  std::u16string want = WithoutPrefix(text);
  return ui::FindChild(parent, [&](HWND c) { return WithoutPrefix(ui::WindowText(c)) == want; });
}

void SetOwnerDrawLabeler(OwnerDrawLabeler labeler) { g_labeler = labeler; }

std::vector<OpenMenu> OpenMenus() {
  std::vector<OpenMenu> out;
  for (const auto& m : ui::OpenMenus()) {
    OpenMenu om{m.window, m.menu, m.selected, {}};
    auto items = ui::MenuItems(m.menu);
    for (size_t i = 0; i < items.size(); ++i) {
      HWND w;
      MenuItemInfo mi{items[i].first, items[i].second, ui::MenuItemRect(m.menu, static_cast<int>(i), &w)};
      if ((mi.state & MF_OWNERDRAW) && g_labeler.load() != nullptr) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_DATA;
        if (GetMenuItemInfoW(m.menu, static_cast<UINT>(i), TRUE, &info)) mi.text = g_labeler.load()(info.dwItemData);
      }
      om.items.push_back(mi);
    }
    out.push_back(std::move(om));
  }
  return out;
}

bool WaitForIdle(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  // Twice round: handling one thread's messages can queue work for another.
  for (int round = 0; round < 2; ++round)
    for (DWORD t : GuiThreads()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !ui::WaitForThreadIdle(t, static_cast<int>(left))) return false;
    }
  return true;
}

bool WaitForMenu(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (ui::OpenMenus().empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // nothing to wait on before the menu exists
  }
  return WaitForIdle(timeout_ms);
}

HWND WaitForWindow(const std::u16string& class_name, const std::u16string& text, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    for (const WindowInfo& w : TopLevelWindows())
      if (w.visible && (class_name.empty() || w.class_name == class_name) && (text.empty() || w.text == text)) {
        WaitForIdle(timeout_ms);
        return w.hwnd;
      }
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ClickWindow(HWND hwnd) {
  RECT r;
  if (!GetWindowRect(hwnd, &r)) return false;
  Click((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  return true;
}

void MoveMouse(int x, int y) {
  POINT p;
  GetCursorPos(&p);
  int steps = std::max(1, static_cast<int>(std::ceil(std::max(std::abs(x - p.x), std::abs(y - p.y)) / 8.0)));
  for (int i = 1; i <= steps; ++i) {
    ui::InjectMouse(WM_MOUSEMOVE, POINT{p.x + (x - p.x) * i / steps, p.y + (y - p.y) * i / steps});
    WaitForIdle();
  }
}

void MoveMouseTo(HWND hwnd, POINT client) {
  ClientToScreen(hwnd, &client);
  MoveMouse(client.x, client.y);
}

void ButtonDown(bool right) {
  POINT p;
  GetCursorPos(&p);
  ui::InjectMouse(right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN, p);
  WaitForIdle();
}

void ButtonUp(bool right) {
  POINT p;
  GetCursorPos(&p);
  ui::InjectMouse(right ? WM_RBUTTONUP : WM_LBUTTONUP, p);
  WaitForIdle();
}

void Click(int x, int y, bool right) {
  MoveMouse(x, y);
  ButtonDown(right);
  ButtonUp(right);
}

void PressKey(int vk, unsigned modifiers) {
  if (modifiers & kCtrl) ui::InjectKey(VK_CONTROL, true);
  if (modifiers & kShift) ui::InjectKey(VK_SHIFT, true);
  if (modifiers & kAlt) ui::InjectKey(VK_MENU, true);
  ui::InjectKey(vk, true);
  ui::InjectKey(vk, false);
  if (modifiers & kAlt) ui::InjectKey(VK_MENU, false);
  if (modifiers & kShift) ui::InjectKey(VK_SHIFT, false);
  if (modifiers & kCtrl) ui::InjectKey(VK_CONTROL, false);
  WaitForIdle();
}

void TypeText(const std::u16string& text) {
  for (char16_t c : text) ui::InjectChar(c);
  WaitForIdle();
}

namespace {
bool ChooseAt(size_t level, int position, bool last) {
  auto menus = OpenMenus();
  if (level >= menus.size() || position < 0 || static_cast<size_t>(position) >= menus[level].items.size()) return false;
  RECT r = menus[level].items[position].rect;
  MoveMouse((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  if (last) {
    ButtonDown();
    ButtonUp();
  }
  return true;
}
}  // namespace

bool ChooseMenuItem(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  for (;;) {
    size_t slash = path.find(u'/', start);
    parts.push_back(path.substr(start, slash == std::u16string::npos ? std::u16string::npos : slash - start));
    if (slash == std::u16string::npos) break;
    start = slash + 1;
  }
  for (size_t level = 0; level < parts.size(); ++level) {
    auto menus = OpenMenus();
    if (level >= menus.size()) return false;
    int found = -1;
    for (size_t i = 0; i < menus[level].items.size(); ++i) {
      std::u16string t = WithoutPrefix(menus[level].items[i].text);
      size_t tab = t.find(u'\t');
      if (tab != std::u16string::npos) t = t.substr(0, tab);
      while (!t.empty() && t.back() == u' ') t.pop_back();
      if (t == parts[level]) found = static_cast<int>(i);
    }
    if (found < 0 || !ChooseAt(level, found, level + 1 == parts.size())) return false;
  }
  return true;
}

bool ChooseMenuItem(const std::vector<int>& positions) {
  for (size_t level = 0; level < positions.size(); ++level)
    if (!ChooseAt(level, positions[level], level + 1 == positions.size())) return false;
  return true;
}

COLORREF ScreenPixel(int x, int y) {
  auto px = Compose(RECT{x, y, x + 1, y + 1});
  return ui::ToColor(px[0]);
}

COLORREF WindowPixel(HWND hwnd, int x, int y) {
  auto s = ui::ScreenSurfaceFor(hwnd);
  if (!s) return CLR_INVALID;
  RECT wr, tr;
  GetWindowRect(hwnd, &wr);
  GetWindowRect(GetAncestor(hwnd, GA_ROOT), &tr);
  int sx = x + wr.left - tr.left, sy = y + wr.top - tr.top;
  std::lock_guard lk(s->mutex);
  if (sx < 0 || sy < 0 || sx >= s->width || sy >= s->height) return CLR_INVALID;
  return ui::ToColor(s->pixels[static_cast<size_t>(sy) * s->width + sx]);
}

std::vector<uint32_t> ScreenPixels(const RECT& rect) { return Compose(rect); }

bool SnapshotRect(const RECT& r, const std::string& png_path) {
  return ui::WritePngPixels(png_path, r.right - r.left, r.bottom - r.top, Compose(r));
}

bool SnapshotWindow(HWND hwnd, const std::string& png_path) {
  RECT r;
  if (!GetWindowRect(hwnd, &r)) return false;
  return SnapshotRect(r, png_path);
}

bool SnapshotScreen(const std::string& png_path) {
  return SnapshotRect(RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}, png_path);
}

bool SnapshotMenus(const std::string& png_path, int margin) {
  RECT all{};
  for (const auto& m : ui::OpenMenus()) {
    RECT r;
    GetWindowRect(m.window, &r);
    UnionRect(&all, &all, &r);
  }
  if (IsRectEmpty(&all)) return false;
  InflateRect(&all, margin, margin);
  return SnapshotRect(all, png_path);
}

void SetPresenter(Presenter* presenter) {
  std::lock_guard lk(g_presenter_mu);
  g_presenter = presenter;
}

void Present() {
  std::lock_guard lk(g_presenter_mu);
  if (g_presenter == nullptr) return;
  int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  g_presenter->Present(Compose(RECT{0, 0, w, h}), w, h);
}

}  // namespace automation
}  // namespace win32
