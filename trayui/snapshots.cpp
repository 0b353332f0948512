// trayui_snapshots DIR: opens a BCMenu popup on the headless screen in the classic and the
// flat look and writes what a person would see as PNG files into DIR, driving the menu
// through the automation interface as a hand would (pointer over an item, a submenu open).

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ui/automation.h"
#include "platform/ui/gdi.h"
#include "platform/ui/resource.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"
#include "platform/ui/shell.h"
#include "trayui/bcmenu.h"
#include "trayui/skm_system_tray.h"

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

// The tray menus as the program shows them: its main window forwards the icon's callback and
// the owner-draw messages to the tray object, as the program's main window does.
class TrayOwner : public CWnd {
 public:
  CSKMSystemTray* tray = nullptr;
  LRESULT WindowProc(UINT message, WPARAM w, LPARAM l) override {
    if (message == TrayCallbackMessage()) return tray != nullptr ? tray->HandleIconEvent(w, l) : 0;
    return CWnd::WindowProc(message, w, l);
  }
  void OnMeasureItem(int, MEASUREITEMSTRUCT* mis) { CSKMSystemTray::MeasureMenuItem(tray, mis); }
  void OnDrawItem(int, DRAWITEMSTRUCT* dis) { CSKMSystemTray::DrawMenuItem(tray, dis); }
  DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(TrayOwner, CWnd)
  ON_WM_MEASUREITEM()
  ON_WM_DRAWITEM()
END_MESSAGE_MAP()

std::u16string g_image;
std::u16string ImagePath(void*, int) { return g_image; }

// Where the pointer rests on an item of an open popup.
POINT Middle(size_t level, size_t item) {
  RECT r = automation::OpenMenus().at(level).items.at(item).rect;
  return POINT{(r.left + r.right) / 2 + 10, (r.top + r.bottom) / 2};
}

struct TrayState {
  const char* name;
  int devices;
  const char16_t* image;
  bool autostart;
  bool automount;
};

bool ShootTray(win32::uitest::GuiThread& gui, const std::string& dir, const TrayState& state,
               std::vector<std::string>* written) {
  CWinApp* app = nullptr;
  TrayOwner* owner = nullptr;
  CSKMSystemTray* tray = nullptr;
  HICON icon = nullptr;
  bool ok = gui.Run([&] {
    app = new CWinApp(u"Quorvane FireWire");
    owner = new TrayOwner;
    if (!owner->CreateEx(0, AfxRegisterWndClass(CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_SAVEBITS),
                         u"DA VovaZezu Agent", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr))
      return false;
    app->m_pMainWnd = owner;
    tray = new CSKMSystemTray(owner);
    owner->tray = tray;
    g_image = state.image;
    tray->SetImagePathSource(&ImagePath, nullptr);
    tray->m_deviceCount = static_cast<uint8_t>(state.devices);
    tray->m_autoStart = state.autostart;
    tray->m_autoMount = state.automount;
    icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(105), IMAGE_ICON, 16, 16, 0));
    return tray->Create(owner, u"DA VovaZezu", icon) != 0;
  });
  auto close = [] {
    while (!automation::OpenMenus().empty()) automation::PressKey(VK_ESCAPE);
    automation::WaitForIdle();
  };
  const std::string base = dir + "/tray-" + state.name;
  // The full menu, with the pointer resting in the sidebar column, then with the device
  // submenus (or Preferences) open.
  ok = ok && automation::ClickNotifyIcon(owner->m_hWnd, 103, automation::IconGesture::kRightPress) &&
       automation::WaitForMenu();
  if (ok) {
    ok = automation::SnapshotMenus(base + "-full.png");
    written->push_back(base + "-full.png");
    POINT p = Middle(0, 3);  // "Virtual Devices"
    automation::MoveMouse(p.x, p.y);
    if (state.devices > 0) {
      p = Middle(1, 0);  // the device entry
      automation::MoveMouse(p.x, p.y);
    }
    automation::WaitForIdle();
    ok = automation::SnapshotMenus(base + "-full-devices.png") && ok;
    written->push_back(base + "-full-devices.png");
    p = Middle(0, 1);  // "Preferences"
    automation::MoveMouse(p.x, p.y);
    automation::WaitForIdle();
    ok = automation::SnapshotMenus(base + "-full-preferences.png") && ok;
    written->push_back(base + "-full-preferences.png");
    close();
  }
  // The short menu, after the click timer.
  ok = ok && automation::ClickNotifyIcon(owner->m_hWnd, 103, automation::IconGesture::kLeftClick) &&
       automation::WaitForMenu();
  if (ok) {
    const size_t count = automation::OpenMenus().at(0).items.size();
    POINT p = Middle(0, count - 1);
    automation::MoveMouse(p.x, p.y);
    automation::WaitForIdle();
    ok = automation::SnapshotMenus(base + "-short.png");
    written->push_back(base + "-short.png");
    close();
  }
  gui.Run([&] {
    delete tray;
    CSKMSystemTray::ClearLastMenu();
    app->m_pMainWnd = nullptr;
    owner->DestroyWindow();
    delete owner;
    delete app;
    if (icon != nullptr) DestroyIcon(icon);
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

  // The tray menus in the program's states, in the classic look. The tray reads its
  // start-up state from a registry of its own here, never the user's.
  win32::testing::ResetSysColors();
  const std::string registry = dir + "/.snapshot-registry";
  setenv("SKELLMERE_REGISTRY", registry.c_str(), 1);
  win32::testing::SetShellLaunching(false);
  SetDoubleClickTime(100);
  const TrayState states[] = {
      {"no-device", 0, u"", false, false},
      {"device-no-image", 1, u"", true, false},
      {"device-image", 1, u"/home/user/discs/Quarterly Backup 2026.iso", true, true},
  };
  std::vector<std::string> written;
  for (const TrayState& state : states) ok = ShootTray(gui, dir, state, &written) && ok;
  std::remove(registry.c_str());
  for (const auto& w : written) std::printf("wrote %s\n", w.c_str());
  return ok ? 0 : 1;
}
