#include "trayui/skm_system_tray.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/ui/automation.h"
#include "platform/ui/gdi.h"
#include "platform/ui/resource.h"
#include "platform/ui/ui_test_support.h"
#include "tray/settings_store.h"

namespace trayui {
namespace {

using Clock = std::chrono::steady_clock;
namespace automation = win32::automation;

// What the GUI thread saw; read by the test thread while a menu may be open.
struct Seen {
  std::mutex mu;
  std::vector<UINT> commands;
  struct Build {
    bool full;
    Clock::duration since_press;  // from the handling of the last button press
    bool inside_press;            // built while the press was being handled
  };
  std::vector<Build> builds;
  Clock::time_point press{};
  bool in_press = false;
};
Seen g_seen;

class CountingTray : public CSKMSystemTray {
 public:
  using CSKMSystemTray::CSKMSystemTray;
  LRESULT HandleIconEvent(WPARAM id, LPARAM event) override {
    const UINT e = LOWORD(static_cast<uintptr_t>(event));
    const bool press = e == WM_LBUTTONDOWN || e == WM_RBUTTONDOWN;
    if (press) {
      std::lock_guard lock(g_seen.mu);
      g_seen.press = Clock::now();
      g_seen.in_press = true;
    }
    const LRESULT r = CSKMSystemTray::HandleIconEvent(id, event);
    std::lock_guard lock(g_seen.mu);
    if (press) g_seen.in_press = false;
    return r;
  }
  BOOL BuildMenu(BCMenu** slot, BOOL full) override {
    {
      std::lock_guard lock(g_seen.mu);
      g_seen.builds.push_back({full != 0, Clock::now() - g_seen.press, g_seen.in_press});
    }
    return CSKMSystemTray::BuildMenu(slot, full);
  }
};

// The main window as the program's does it for the tray: the callback message and the
// owner-draw messages to the tray, commands recorded.
class OwnerWnd : public CWnd {
 public:
  CountingTray* tray = nullptr;
  LRESULT WindowProc(UINT message, WPARAM w, LPARAM l) override {
    if (message == TrayCallbackMessage()) return tray != nullptr ? tray->HandleIconEvent(w, l) : 0;
    return CWnd::WindowProc(message, w, l);
  }
  BOOL OnCommand(WPARAM w, LPARAM l) override {
    {
      std::lock_guard lock(g_seen.mu);
      g_seen.commands.push_back(LOWORD(w));
    }
    return CWnd::OnCommand(w, l);
  }
  void OnMeasureItem(int, MEASUREITEMSTRUCT* mis) { CSKMSystemTray::MeasureMenuItem(tray, mis); }
  void OnDrawItem(int, DRAWITEMSTRUCT* dis) { CSKMSystemTray::DrawMenuItem(tray, dis); }
  DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(OwnerWnd, CWnd)
  ON_WM_MEASUREITEM()
  ON_WM_DRAWITEM()
END_MESSAGE_MAP()

std::u16string ImagePath(void* context, int) { return *static_cast<std::u16string*>(context); }

class TrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/skm-tray-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    setenv("SKELLMERE_REGISTRY", (folder_ + "/registry").c_str(), 1);
    win32::testing::ResetMessageBoxes();
    win32::testing::SetMessageBoxAnswer(win32::IDOK);  // boxes answered by script, not shown
    win32::testing::ResetShell();
    {
      std::lock_guard lock(g_seen.mu);
      g_seen.commands.clear();
      g_seen.builds.clear();
    }
    SetDoubleClickTime(150);
  }
  void TearDown() override {
    if (tray_ != nullptr) Destroy();
    SetDoubleClickTime(500);
    win32::testing::Reset();
    unsetenv("SKELLMERE_REGISTRY");
    EXPECT_EQ(std::system(("rm -rf '" + folder_ + "'").c_str()), 0);
  }
  void Make() {
    gui_.Run([this] {
      app_ = new CWinApp(u"Quorvane FireWire");
      owner_ = new OwnerWnd;
      ASSERT_TRUE(owner_->CreateEx(0, AfxRegisterWndClass(CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_SAVEBITS),
                                   u"DA VovaZezu Agent", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
      app_->m_pMainWnd = owner_;
      tray_ = new CountingTray(owner_);
      owner_->tray = tray_;
      tray_->SetImagePathSource(&ImagePath, &image_path_);
      icon_ = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(105), IMAGE_ICON, 16, 16, 0));
      created_ = tray_->Create(owner_, u"DA VovaZezu", icon_);
    });
  }
  void Destroy() {
    gui_.Run([this] {
      delete tray_;
      tray_ = nullptr;
      owner_->tray = nullptr;
      CSKMSystemTray::ClearLastMenu();
      app_->m_pMainWnd = nullptr;  // this loop is the test's, not to be ended by the main window
      owner_->DestroyWindow();
      delete owner_;
      delete app_;
      if (icon_ != nullptr) DestroyIcon(icon_);
    });
  }
  size_t Builds() {
    std::lock_guard lock(g_seen.mu);
    return g_seen.builds.size();
  }
  Seen::Build LastBuild() {
    std::lock_guard lock(g_seen.mu);
    return g_seen.builds.back();
  }
  void CloseMenus() {
    while (!automation::OpenMenus().empty()) automation::PressKey(VK_ESCAPE);
    automation::WaitForIdle();
  }
  // Longer than the click timer, so a pending short menu would have shown.
  void OutwaitClickTimer() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + 25 + 300));
    automation::WaitForIdle();
  }

  win32::uitest::GuiThread gui_;
  std::string folder_;
  CWinApp* app_ = nullptr;
  OwnerWnd* owner_ = nullptr;
  CountingTray* tray_ = nullptr;
  HICON icon_ = nullptr;
  BOOL created_ = FALSE;
  std::u16string image_path_;
};

TEST_F(TrayTest, CreateAddsTheIconAndDestructionRemovesIt) {
  Make();
  ASSERT_TRUE(created_);
  auto icons = automation::NotifyIcons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].hwnd, owner_->m_hWnd);  // the callback goes to the owner
  EXPECT_EQ(icons[0].id, 103u);
  EXPECT_EQ(icons[0].tip, u"DA VovaZezu");
  EXPECT_EQ(icons[0].callback_message, TrayCallbackMessage());
  EXPECT_EQ(tray_->NotifyRecord().cbSize, sizeof(NOTIFYICONDATAW));
  EXPECT_EQ(tray_->NotifyRecord().uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
  // Another icon's notification is not this object's.
  EXPECT_EQ(gui_.Run([this] { return tray_->HandleIconEvent(104, WM_RBUTTONDOWN); }), 0);
  EXPECT_EQ(Builds(), 0u);
  Destroy();
  EXPECT_TRUE(automation::NotifyIcons().empty());
}

TEST_F(TrayTest, AnOldSystemGetsNoIcon) {
  win32::testing::SetVersion(3, 51, 1057, VER_PLATFORM_WIN32_NT);
  Make();
  EXPECT_FALSE(created_);
  EXPECT_FALSE(tray_->IconAdded());
  EXPECT_TRUE(automation::NotifyIcons().empty());
}

TEST_F(TrayTest, ClickRulesThroughTheNotificationArea) {
  Make();
  ASSERT_TRUE(created_);
  HWND target = owner_->m_hWnd;
  const RECT icon = automation::NotifyIcons()[0].rect;
  const POINT at{(icon.left + icon.right) / 2, (icon.top + icon.bottom) / 2};

  // A left click: the short menu, no sooner than the double-click time + 25 ms after the press.
  ASSERT_TRUE(automation::ClickNotifyIcon(target, 103, automation::IconGesture::kLeftClick));
  ASSERT_TRUE(automation::WaitForMenu());
  ASSERT_EQ(Builds(), 1u);
  EXPECT_FALSE(LastBuild().full);
  EXPECT_GE(LastBuild().since_press, std::chrono::milliseconds(175));
  EXPECT_FALSE(LastBuild().inside_press);
  CloseMenus();

  // A double click: nothing, only the command 515 that nobody handles.
  ASSERT_TRUE(automation::ClickNotifyIcon(target, 103, automation::IconGesture::kLeftDouble));
  OutwaitClickTimer();
  EXPECT_EQ(Builds(), 1u);
  EXPECT_TRUE(automation::OpenMenus().empty());
  {
    std::lock_guard lock(g_seen.mu);
    EXPECT_EQ(g_seen.commands, std::vector<UINT>{515});
  }

  // A right press: the full menu at once, while the press is being handled, at the pointer.
  ASSERT_TRUE(automation::ClickNotifyIcon(target, 103, automation::IconGesture::kRightPress));
  ASSERT_TRUE(automation::WaitForMenu());
  ASSERT_EQ(Builds(), 2u);
  EXPECT_TRUE(LastBuild().full);
  EXPECT_TRUE(LastBuild().inside_press);
  auto menus = automation::OpenMenus();
  ASSERT_EQ(menus.size(), 1u);
  RECT r{};
  GetWindowRect(menus[0].window, &r);
  EXPECT_TRUE(r.left == at.x || r.right == at.x) << r.left << " " << r.right << " " << at.x;
  EXPECT_TRUE(r.top == at.y || r.bottom == at.y) << r.top << " " << r.bottom << " " << at.y;

  // Clicks while it is open build nothing and open nothing more.
  ASSERT_TRUE(automation::ClickNotifyIcon(target, 103, automation::IconGesture::kRightPress));
  ASSERT_TRUE(automation::ClickNotifyIcon(target, 103, automation::IconGesture::kLeftClick));
  OutwaitClickTimer();
  EXPECT_EQ(Builds(), 2u);
  EXPECT_EQ(automation::OpenMenus().size(), 1u);
  EXPECT_TRUE(tray_->InMenu());
  CloseMenus();
  EXPECT_FALSE(tray_->InMenu());

  // The main window's busy flag keeps the menu away too.
  gui_.Run([this] { tray_->SetInMenu(true); });
  ASSERT_TRUE(automation::ClickNotifyIcon(target, 103, automation::IconGesture::kRightPress));
  EXPECT_EQ(Builds(), 2u);
  gui_.Run([this] { tray_->SetInMenu(false); });

  // A chosen item arrives at the main window as its command.
  ASSERT_TRUE(automation::ClickNotifyIcon(target, 103, automation::IconGesture::kRightPress));
  ASSERT_TRUE(automation::WaitForMenu());
  automation::SetOwnerDrawLabeler(&BCMenu::LabelOf);
  ASSERT_TRUE(automation::ChooseMenuItem(u"About"));
  automation::WaitForIdle();
  std::lock_guard lock(g_seen.mu);
  EXPECT_EQ(g_seen.commands.back(), CSKMSystemTray::kAbout);
}

// The menu tree as text: "-" a separator, "*" checked, "|" a column break, [..] a submenu.
std::string Tree(BCMenu* menu) {
  std::string out;
  const int n = GetMenuItemCount(menu->m_hMenu);
  for (int i = 0; i < n; ++i) {
    if (!out.empty()) out += ", ";
    BCMenuData* d = menu->Items().at(static_cast<size_t>(i));
    const UINT state = GetMenuState(menu->m_hMenu, static_cast<UINT>(i), MF_BYPOSITION);
    EXPECT_EQ(state & (MF_GRAYED | MF_DISABLED), 0u);
    EXPECT_NE(d->flags & MF_OWNERDRAW, 0u);
    if (d->flags & MF_MENUBREAK) out += "|";
    if (d->flags & MF_SEPARATOR) {
      out += "-" + std::to_string(d->command);
      continue;
    }
    out += std::string(d->text.begin(), d->text.end());
    if (state & MF_CHECKED) out += "*";
    if (d->flags & MF_POPUP) {
      auto* sub = dynamic_cast<BCMenu*>(CMenu::FromHandlePermanent(reinterpret_cast<HMENU>(d->command)));
      out += " [" + (sub != nullptr ? Tree(sub) : std::string("?")) + "]";
    } else {
      out += " " + std::to_string(d->command);
    }
  }
  return out;
}

TEST_F(TrayTest, MenusForEveryDeviceState) {
  Make();
  struct Case {
    const char* name;
    int devices;
    std::u16string image;
    bool autostart, automount;
    std::string full, shortmenu;
  } cases[] = {
      {"no device", 0, u"", false, false,
       ". 107, |Preferences [AutoStart 1400, AutoMount 1401], -1007, Virtual Devices [Create virtual device 1314], "
       "About 132, -1007, Exit 57665",
       "Unmount 109, -1007"},
      {"one device without an image", 1, u"", true, false,
       ". 107, |Preferences [AutoStart* 1400, AutoMount 1401], -1007, Virtual Devices [Target0: No media "
       "[Mount image 1300, Device Parameters 1402], -1007, Unmount 109, -1007, Remove virtual device 1304], About 132, "
       "-1007, Exit 57665",
       "Unmount 109, -1007, Target0: No media 1300"},
      {"one device with an image", 1, u"/srv/discs/disc.iso", true, true,
       ". 107, |Preferences [AutoStart* 1400, AutoMount* 1401], -1007, Virtual Devices [Target0: /srv/discs/disc.iso "
       "[Mount image 1300, Unmount image 1301, Device Parameters 1402], -1007, Unmount 109, -1007, Remove virtual "
       "device 1304], About 132, -1007, Exit 57665",
       "Unmount 109, -1007, Target0: /srv/discs/disc.iso 1300"},
      {"AutoMount set without AutoStart shows unchecked", 0, u"", false, true,
       ". 107, |Preferences [AutoStart 1400, AutoMount 1401], -1007, Virtual Devices [Create virtual device 1314], "
       "About 132, -1007, Exit 57665",
       "Unmount 109, -1007"},
      {"a device count above the maximum is lowered", 5, u"", false, false,
       ". 107, |Preferences [AutoStart 1400, AutoMount 1401], -1007, Virtual Devices [Target0: No media "
       "[Mount image 1300, Device Parameters 1402], -1007, Unmount 109, -1007, Remove virtual device 1304], About 132, "
       "-1007, Exit 57665",
       "Unmount 109, -1007, Target0: No media 1300"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto trees = gui_.Run([&] {
      image_path_ = c.image;
      tray_->m_deviceCount = static_cast<uint8_t>(c.devices);
      tray_->m_autoStart = c.autostart;
      tray_->m_autoMount = c.automount;
      std::pair<std::string, std::string> out;
      for (bool full : {true, false}) {
        BCMenu* menu = nullptr;
        EXPECT_TRUE(tray_->BuildMenu(&menu, full));
        EXPECT_EQ(CSKMSystemTray::LastMenu(), menu);
        BCMenu* popup = dynamic_cast<BCMenu*>(CMenu::FromHandlePermanent(menu->GetSubMenuHandle(0)));
        (full ? out.first : out.second) = Tree(popup);
        CSKMSystemTray::ClearLastMenu();
        delete menu;
      }
      EXPECT_LE(tray_->m_deviceCount, 1);
      return out;
    });
    EXPECT_EQ(trees.first, c.full);
    EXPECT_EQ(trees.second, c.shortmenu);
  }
}

TEST_F(TrayTest, AFailedBuildReportsTheFrameworkMessageAndShowsNothing) {
  Make();
  win32::testing::FailNextAfxAllocations(1);
  ASSERT_TRUE(automation::ClickNotifyIcon(owner_->m_hWnd, 103, automation::IconGesture::kRightPress));
  EXPECT_TRUE(automation::OpenMenus().empty());
  auto boxes = win32::testing::MessageBoxesShown();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, u"Out of memory.");
  EXPECT_EQ(boxes[0].caption, u"Quorvane FireWire");
  // The icon stays responsive.
  ASSERT_TRUE(automation::ClickNotifyIcon(owner_->m_hWnd, 103, automation::IconGesture::kRightPress));
  ASSERT_TRUE(automation::WaitForMenu());
  CloseMenus();
}

// The sidebar column: its pixels come from bitmap 108 standing on the bottom edge, and the
// pointer over it highlights nothing.
TEST_F(TrayTest, SidebarStandsOnTheBottomEdgeAndIsNeverHighlighted) {
  Make();
  ASSERT_TRUE(automation::ClickNotifyIcon(owner_->m_hWnd, 103, automation::IconGesture::kRightPress));
  ASSERT_TRUE(automation::WaitForMenu());
  auto menus = automation::OpenMenus();
  ASSERT_EQ(menus.size(), 1u);
  const RECT sidebar = menus[0].items.at(0).rect;
  const RECT second = menus[0].items.at(1).rect;  // "Preferences", the second column's first item
  EXPECT_GT(second.left, sidebar.left);
  // The bitmap's bottom row, at the popup's bottom client row.
  RECT client{};
  GetClientRect(menus[0].window, &client);
  POINT bottom_left{0, client.bottom - 1};
  ClientToScreen(menus[0].window, &bottom_left);
  HBITMAP bitmap = tray_->m_sidebar;
  ASSERT_NE(bitmap, nullptr);
  COLORREF expected = 0;
  {
    // The picture's bottom-left pixel, read through a memory DC as the drawing copies it.
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    expected = GetPixel(dc, 2, tray_->m_sidebarHeight - 1);
    SelectObject(dc, old);
    DeleteDC(dc);
  }
  EXPECT_EQ(automation::ScreenPixel(bottom_left.x + 2, bottom_left.y), expected);

  // The pointer comes in from the icon along the bottom row, over "Exit", into the sidebar and
  // up it: "Exit" stays highlighted, the sidebar item never is.
  const auto& items = menus[0].items;
  const int exit_index = static_cast<int>(items.size()) - 1;
  const RECT exit = items.back().rect;
  const int row = (exit.top + exit.bottom) / 2;
  automation::MoveMouse(exit.right - 4, row);
  automation::MoveMouse((sidebar.left + sidebar.right) / 2, row);
  automation::WaitForIdle();
  EXPECT_EQ(automation::OpenMenus().at(0).selected, exit_index);
  for (int y = row; y > sidebar.top + 4; y -= 40) {
    automation::MoveMouse((sidebar.left + sidebar.right) / 2, y);
    automation::WaitForIdle();
    EXPECT_EQ(automation::OpenMenus().at(0).selected, exit_index) << y;
  }
  automation::MoveMouse((second.left + second.right) / 2 + 20, (second.top + second.bottom) / 2);
  automation::WaitForIdle();
  EXPECT_EQ(automation::OpenMenus().at(0).selected, 1);
  CloseMenus();
}

TEST_F(TrayTest, StartUpStateAndTheAutoStartToggle) {
  // Stored: the start-up entry, AutoMount on, and an identity that only AutoMount loads.
  win32::testing::SetModuleFileName(u"/opt/q/Skellmere.exe");
  tray::EnableAutoStart();
  tray::SaveAutoMount(TRUE, u"/srv/discs/disc.iso");
  tray::SaveDeviceIdentity(u"ACME", u"Drive", u"2.0", TRUE);
  Make();
  EXPECT_TRUE(tray_->m_autoStart);
  EXPECT_TRUE(tray_->m_autoMount);
  EXPECT_EQ(tray_->m_vendor, u"ACME");
  EXPECT_EQ(tray_->m_macClient, 1u);
  EXPECT_EQ(tray_->m_sidebarWidth, 20);
  EXPECT_EQ(tray_->m_sidebarHeight, 300);

  // Off: the entry goes and AutoMount with it (in memory; the stored value stays).
  EXPECT_FALSE(gui_.Run([this] { return tray_->ToggleAutoStart(); }));
  EXPECT_FALSE(tray::IsAutoStartEnabled());
  EXPECT_FALSE(tray_->m_autoMount);
  EXPECT_TRUE(tray::LoadAutoMount());
  // On again: the entry is back, AutoMount stays off.
  EXPECT_TRUE(gui_.Run([this] { return tray_->ToggleAutoStart(); }));
  EXPECT_TRUE(tray::IsAutoStartEnabled());
  EXPECT_FALSE(tray_->m_autoMount);
  Destroy();

  // AutoMount stored but AutoStart off: the defaults stand.
  tray::DisableAutoStart();
  Make();
  EXPECT_FALSE(tray_->m_autoStart);
  EXPECT_FALSE(tray_->m_autoMount);
  EXPECT_EQ(tray_->m_vendor, u"KORVEN");
  EXPECT_EQ(tray_->m_product, u"RIRazuVezi VOVUV");
  EXPECT_EQ(tray_->m_revision, u"1.0b");
  EXPECT_EQ(tray_->m_macClient, 0u);
}

}  // namespace
}  // namespace trayui
