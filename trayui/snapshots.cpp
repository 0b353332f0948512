// trayui_snapshots DIR: opens a BCMenu popup on the headless screen in the classic and the
// flat look and writes what a person would see as PNG files into DIR, driving the menu
// through the automation interface as a hand would (pointer over an item, a submenu open).

#include <cstdio>
#include <string>

#include "platform/ui/automation.h"
#include "platform/ui/gdi.h"
#include "platform/ui/resource.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"
#include "trayui/bcmenu.h"

using namespace trayui;
namespace automation = win32::automation;

namespace {

// The owner window forwards the owner-draw messages to the menu objects, with the tray
// window's size adjustments (20 pixels wider, 20 high, separators 10), as the program shows them.
LRESULT OwnerProc(HWND hwnd, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_MEASUREITEM) {
    auto* mis = reinterpret_cast<MEASUREITEMSTRUCT*>(l);
    BCMenu measurer;
    measurer.MeasureItem(mis);
    auto* data = reinterpret_cast<BCMenuData*>(mis->itemData);
    mis->itemWidth += 20;
    mis->itemHeight = (data->flags & MF_SEPARATOR) ? 10 : 20;
    return TRUE;
  }
  if (m == WM_DRAWITEM) {
    auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(l);
    if (auto* menu = CMenu::FromHandlePermanent(reinterpret_cast<HMENU>(dis->hwndItem))) menu->DrawItem(dis);
    return TRUE;
  }
  return DefWindowProcW(hwnd, m, w, l);
}

struct Scene {
  HWND owner = nullptr;
  BCMenu* menu = nullptr;
  HIMAGELIST pictures = nullptr;
};

Scene Build() {
  Scene s;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = OwnerProc;
  wc.lpszClassName = u"SnapshotOwner";
  RegisterClassExW(&wc);
  s.owner = CreateWindowExW(0, u"SnapshotOwner", u"owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  SetForegroundWindow(s.owner);
  // The tray menu's pictures, from the program's icon resources.
  s.pictures = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 5);
  for (int id : {110, 111, 112, 113, 114, 115, 116, 131, 134, 135, 137}) {
    HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0));
    ImageList_AddIcon(s.pictures, icon);
    DestroyIcon(icon);
  }
  s.menu = new BCMenu;
  s.menu->CreatePopupMenu();
  BCMenu* prefs = s.menu->InsertODPopup(-1, u"Preferences", s.pictures, 1);
  prefs->AppendODMenu(u"AutoStart", MF_CHECKED, 1400);
  prefs->AppendODMenu(u"AutoMount", 0, 1401);
  s.menu->AppendODMenu(u"", 0, 0);
  BCMenu* devices = s.menu->InsertODPopup(-1, u"Virtual Devices", s.pictures, 2);
  BCMenu* device = devices->InsertODPopup(-1, u"Target0: disc.iso", s.pictures, 3);
  device->AppendODMenu(u"Mount image", 0, 1300, s.pictures, 5);
  device->AppendODMenu(u"Unmount image", MF_GRAYED, 1301, s.pictures, 6);
  device->AppendODMenu(u"Device Parameters", 0, 1402, s.pictures, 10);
  devices->AppendODMenu(u"", 0, 0);
  devices->AppendODMenu(u"Unmount", MF_CHECKED, 109, s.pictures, 4);
  devices->AppendODMenu(u"", 0, 0);
  devices->AppendODMenu(u"Remove virtual device", 0, 1304, s.pictures, 9);
  s.menu->AppendODMenu(u"Mount image...\tCtrl+M", 0, 1300, s.pictures, 5);
  s.menu->AppendODMenu(u"Show progress\tF9", MF_CHECKED, 1500);
  s.menu->AppendODMenu(u"Create virtual device", MF_GRAYED, 1314, s.pictures, 8);
  s.menu->AppendODMenu(u"Check for updates", MF_GRAYED, 1501);
  s.menu->AppendODMenu(u"About", 0, 132, s.pictures, 7);
  s.menu->AppendODMenu(u"", 0, 0);
  s.menu->AppendODMenu(u"Exit", 0, 57665, s.pictures, 0);
  return s;
}

bool Shoot(win32::uitest::GuiThread& gui, const std::string& dir, const std::string& look) {
  Scene s = gui.Run([] { return Build(); });
  auto done = gui.Start([&s] { TrackPopupMenu(s.menu->m_hMenu, TPM_RETURNCMD, 60, 40, 0, s.owner, nullptr); });
  bool ok = automation::WaitForMenu();
  auto item = [](size_t level, size_t i) {
    RECT r = automation::OpenMenus().at(level).items.at(i).rect;
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  };
  // A picture item selected.
  SetCursorPos(20, 20);
  POINT p = item(0, 3);
  automation::MoveMouse(p.x, p.y);
  ok = ok && automation::SnapshotMenus(dir + "/bcmenu-" + look + ".png");
  // The submenus open, with a checked picture item selected, the grayed item beside it.
  p = item(0, 2);
  automation::MoveMouse(p.x, p.y);
  p = item(1, 0);
  automation::MoveMouse(p.x, p.y);
  p = item(2, 0);
  automation::MoveMouse(p.x, p.y);
  ok = ok && automation::SnapshotMenus(dir + "/bcmenu-" + look + "-submenus.png");
  automation::PressKey(VK_ESCAPE);
  automation::PressKey(VK_ESCAPE);
  automation::PressKey(VK_ESCAPE);
  done.get();
  gui.Run([&s] {
    delete s.menu;
    ImageList_Destroy(s.pictures);
    DestroyWindow(s.owner);
  });
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trayui_snapshots DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  win32::uitest::GuiThread gui;
  bool ok = true;
  win32::testing::ResetSysColors();  // classic: the menu colour is the 3-D face colour
  ok = Shoot(gui, dir, "classic") && ok;
  // The flat look: a white menu beside a face-coloured picture column.
  win32::testing::SetSysColor(COLOR_MENU, RGB(255, 255, 255));
  win32::testing::SetSysColor(COLOR_3DFACE, RGB(236, 233, 216));
  win32::testing::SetSysColor(COLOR_BTNFACE, RGB(236, 233, 216));
  win32::testing::SetSysColor(COLOR_3DLIGHT, RGB(241, 239, 226));
  win32::testing::SetSysColor(COLOR_HIGHLIGHT, RGB(49, 106, 197));
  win32::testing::SetSysColor(COLOR_3DSHADOW, RGB(172, 168, 153));
  ok = Shoot(gui, dir, "flat") && ok;
  std::printf("%s\n", ok ? "wrote bcmenu-classic.png, bcmenu-classic-submenus.png, bcmenu-flat.png, bcmenu-flat-submenus.png"
                         : "a snapshot failed");
  return ok ? 0 : 1;
}
