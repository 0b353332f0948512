// Inside the window-framework stand-in: what its areas share and callers never see.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/ui_types.h"

namespace win32::ui {

// A 32-bit pixel surface, 0xAARRGGBB. Windows and memory bitmaps draw into one; its mutex is
// held by each drawing primitive, so that the automation interface can read pixels from
// another thread while the owner draws.
struct Surface {
  Surface(int w, int h, uint32_t fill = 0);
  int width;
  int height;
  std::vector<uint32_t> pixels;
  mutable std::mutex mutex;
  void Resize(int w, int h, uint32_t fill);  // keeps the top-left part; takes the mutex
};

// 0x00BBGGRR <-> 0x00RRGGBB (GDI leaves alpha 0)
inline uint32_t ToPixel(COLORREF c) {
  return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
}
inline COLORREF ToColor(uint32_t p) {
  return ((p >> 16) & 0xFF) | (p & 0xFF00) | ((p & 0xFF) << 16);
}

// Writes rows [rect] of a surface as an RGB PNG. False with errno-style failure on I/O errors.
bool WritePng(const std::string& path, const Surface& s, const RECT& rect);
bool WritePngPixels(const std::string& path, int w, int h, const std::vector<uint32_t>& pixels);
// Reads a PNG into 0xAARRGGBB pixels (alpha kept).
bool ReadPngMemory(const uint8_t* data, size_t size, int* w, int* h, std::vector<uint32_t>* pixels);

// Where a window's DC draws: the top-level window's surface, the origin of the window's client
// (or whole window) area in that surface, and the visible part in surface coordinates.
struct DrawTarget {
  std::shared_ptr<Surface> surface;
  POINT origin;
  RECT clip;
};
bool GetDrawTarget(HWND hwnd, bool whole_window, DrawTarget* target);
std::shared_ptr<Surface> ScreenSurfaceFor(HWND hwnd);  // the top-level window's surface

// The frame thickness of a window's non-client area, from its styles.
RECT NonClientInsets(DWORD style, DWORD ex_style);

// Modal loops (menus now, dialogs later): runs the calling thread's messages until `done`
// says so, offering each to the message-filter hooks with `filter_code` first and to
// `handle` next (true: handled, not dispatched); disables `owner` (and its owner chain top)
// for the duration when given, and enables it again after. Returns false when WM_QUIT
// arrived, which is posted again for the outer loop as the platform does.
bool RunModalLoop(HWND owner, int filter_code, const std::function<bool(MSG&)>& handle,
                  const std::function<bool()>& done);

// Input as a device produces it (the automation interface calls these).
void InjectMouse(UINT message, POINT screen);  // WM_MOUSEMOVE or a button message
void InjectKey(int vk, bool down);
void InjectChar(WCHAR c);

// Windows of class kMenuClass take mouse input in screen coordinates, as a menu loop reads it.
inline constexpr char16_t kMenuClass[] = u"#32768";
bool IsMenuWindow(HWND hwnd);

// Idle: true once the thread waits for messages with none pending.
bool WaitForThreadIdle(DWORD thread_id, int timeout_ms);
std::vector<HWND> TopLevelWindows();  // top of the z-order first, visible or not
std::u16string WindowClassName(HWND hwnd);
std::u16string WindowText(HWND hwnd);
HWND FindChild(HWND parent, const std::function<bool(HWND)>& match);  // depth first

// Sets the text of the window record without a message (DefWindowProc's WM_SETTEXT).
BOOL StoreWindowText(HWND hwnd, LPCWSTR text);
// The system's control and dialog classes (controls.cpp), registered before the first window.
void RegisterControlClasses();
// Reads a dialog template within `size` (the resource fuzzer runs it).
bool ValidateDialogTemplate(const uint8_t* data, size_t size);

// The stand-in's own brushes for class backgrounds given as COLOR_x + 1.
HBRUSH BrushFromClassBackground(HBRUSH b);

// Menus: a popup window's menu and the window of an open popup (menu.cpp).
struct OpenMenuInfo {
  HWND window;
  HMENU menu;
  int selected;
};
std::vector<OpenMenuInfo> OpenMenus();  // outermost first
RECT MenuItemRect(HMENU menu, int position, HWND* window);  // screen coordinates

}  // namespace win32::ui
