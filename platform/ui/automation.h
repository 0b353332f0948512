// Automation interface of the window-framework stand-in: what a test (or a scripted run)
// uses to look at the screen and to drive the program as a person would.
//
// Everything here may be called from any thread. Input goes in where a device's would
// (automation moves the pointer in steps, so hover and highlight happen as they do for a
// hand), and the calls that act wait until the program's GUI thread has handled what they
// caused and is waiting for messages again, instead of sleeping.
//
// The headless screen is the default presenter: every top-level window draws into its own
// surface and the screen is their composition in z-order. A presenter that shows the
// surfaces on a real display attaches through Presenter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/ui_types.h"

namespace win32::automation {

struct WindowInfo {
  HWND hwnd;
  std::u16string class_name;
  std::u16string text;
  RECT rect;  // screen coordinates
  bool visible;
  bool enabled;
  int id;  // control identifier (children)
};
std::vector<WindowInfo> TopLevelWindows();  // top of the z-order first
std::vector<WindowInfo> Children(HWND parent);  // depth first
std::optional<WindowInfo> Describe(HWND hwnd);
HWND FindControlById(HWND parent, int id);
HWND FindControlByText(HWND parent, const std::u16string& text);  // '&' prefixes ignored

// Waits (up to timeout) for a visible top-level window of that class (empty: any) and text
// (empty: any) and for its thread to be idle; null when none came.
HWND WaitForWindow(const std::u16string& class_name, const std::u16string& text, int timeout_ms = 5000);
// Moves the pointer to the middle of a window (a control) and clicks it, as a hand would.
bool ClickWindow(HWND hwnd);

struct MenuItemInfo {
  std::u16string text;  // as given to the menu; empty for owner-drawn and separators
  UINT state;           // MF_ flags: grayed, checked, popup, separator, owner-draw, default
  RECT rect;            // screen coordinates while the popup is open, else empty
};
struct OpenMenu {
  HWND window;
  HMENU menu;
  int selected;  // -1 when nothing is highlighted
  std::vector<MenuItemInfo> items;
};
std::vector<OpenMenu> OpenMenus();  // the popups on screen, outermost first
// Waits (up to timeout) until a popup menu is on screen and the GUI thread is idle.
bool WaitForMenu(int timeout_ms = 5000);

// Input. Mouse moves travel from the current position in steps of at most 8 pixels.
void MoveMouse(int x, int y);
void MoveMouseTo(HWND hwnd, POINT client);  // a point in a window's client area
void Click(int x, int y, bool right = false);
void ButtonDown(bool right = false);
void ButtonUp(bool right = false);
enum Modifiers : unsigned { kNone = 0, kShift = 1, kCtrl = 2, kAlt = 4 };
void PressKey(int vk, unsigned modifiers = kNone);
void TypeText(const std::u16string& text);
// Chooses a menu item of the open popup by its text path ("Virtual Devices/Mount image"),
// moving the pointer over each level as a person would, and clicking the last. Owner-drawn
// items are named by the labeler, which maps an item's data to its text.
bool ChooseMenuItem(const std::u16string& path);
using OwnerDrawLabeler = std::u16string (*)(ULONG_PTR item_data);
void SetOwnerDrawLabeler(OwnerDrawLabeler labeler);
bool ChooseMenuItem(const std::vector<int>& positions);  // by positions, for owner-drawn menus

// Waits until every thread that owns a window is waiting for messages with nothing queued.
bool WaitForIdle(int timeout_ms = 5000);

// Pixels and pictures.
COLORREF ScreenPixel(int x, int y);          // of the composed screen
COLORREF WindowPixel(HWND hwnd, int x, int y);  // window coordinates (frame included)
std::vector<uint32_t> ScreenPixels(const RECT& rect);  // 0x00RRGGBB, row by row
bool SnapshotWindow(HWND hwnd, const std::string& png_path);
bool SnapshotScreen(const std::string& png_path);
bool SnapshotRect(const RECT& screen_rect, const std::string& png_path);
bool SnapshotMenus(const std::string& png_path, int margin = 8);  // every open popup together

// Where surfaces go besides the headless screen (a display presenter registers here).
class Presenter {
 public:
  virtual ~Presenter() = default;
  virtual void Present(const std::vector<uint32_t>& screen, int width, int height) = 0;
};
void SetPresenter(Presenter* presenter);  // null: headless only
void Present();                           // composes the screen and hands it to the presenter

}  // namespace win32::automation
