#include "platform/ui/menu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/ui/automation.h"
#include "platform/ui/gdi.h"
#include "platform/ui/resource.h"
#include "platform/ui/text.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"

namespace win32 {
namespace {

using uitest::GuiThread;

// The owner: measures owner-drawn items 100 x 20 and draws them in the highlight colour
// when selected, and records the commands and draw requests it gets.
std::mutex g_mu;
std::vector<UINT> g_commands;
std::vector<ULONG_PTR> g_drawn_selected;

LRESULT OwnerProc(HWND hwnd, UINT m, WPARAM w, LPARAM l) {
  switch (m) {
    case WM_MEASUREITEM: {
      auto* mis = reinterpret_cast<MEASUREITEMSTRUCT*>(l);
      EXPECT_EQ(mis->CtlType, ODT_MENU);
      mis->itemWidth = 100;
      mis->itemHeight = 20;
      return TRUE;
    }
    case WM_DRAWITEM: {
      auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(l);
      bool sel = (dis->itemState & ODS_SELECTED) != 0;
      FillRect(dis->hDC, &dis->rcItem, GetSysColorBrush(sel ? COLOR_HIGHLIGHT : COLOR_MENU));
      if (sel) {
        std::lock_guard lk(g_mu);
        g_drawn_selected.push_back(dis->itemData);
      }
      return TRUE;
    }
    case WM_COMMAND: {
      std::lock_guard lk(g_mu);
      g_commands.push_back(LOWORD(w));
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, m, w, l);
  }
}

HWND MakeOwner() {
  static bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = OwnerProc;
    wc.lpszClassName = u"MenuOwner";
    return RegisterClassExW(&wc) != 0;
  }();
  EXPECT_TRUE(registered);
  HWND w = CreateWindowExW(0, u"MenuOwner", u"owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  SetForegroundWindow(w);
  return w;
}

// Item data 1..3 in the main popup, 11..12 in the submenu (item 2 opens it).
HMENU MakeMenu() {
  HMENU sub = CreatePopupMenu();
  AppendMenuW(sub, MF_OWNERDRAW, 201, reinterpret_cast<LPCWSTR>(uintptr_t{11}));
  AppendMenuW(sub, MF_OWNERDRAW, 202, reinterpret_cast<LPCWSTR>(uintptr_t{12}));
  HMENU m = CreatePopupMenu();
  AppendMenuW(m, MF_OWNERDRAW, 101, reinterpret_cast<LPCWSTR>(uintptr_t{1}));
  AppendMenuW(m, MF_OWNERDRAW | MF_POPUP, reinterpret_cast<UINT_PTR>(sub), reinterpret_cast<LPCWSTR>(uintptr_t{2}));
  AppendMenuW(m, MF_OWNERDRAW | MF_GRAYED, 103, reinterpret_cast<LPCWSTR>(uintptr_t{3}));
  return m;
}

struct Tracked {
  GuiThread gui;
  HWND owner = nullptr;
  HMENU menu = nullptr;
  std::future<void> done;
  BOOL result = FALSE;
  void Open(int x, int y, UINT flags = 0) {
    {
      std::lock_guard lk(g_mu);
      g_commands.clear();
      g_drawn_selected.clear();
    }
    owner = gui.Run([] { return MakeOwner(); });
    menu = gui.Run([] { return MakeMenu(); });
    done = gui.Start([this, x, y, flags] { result = TrackPopupMenu(menu, flags, x, y, 0, owner, nullptr); });
    ASSERT_TRUE(automation::WaitForMenu());
  }
  void Close() {
    done.get();
    gui.Run([this] {
      DestroyMenu(menu);
      DestroyWindow(owner);
    });
  }
  RECT ItemRect(size_t level, size_t item) { return automation::OpenMenus().at(level).items.at(item).rect; }
};

POINT Center(const RECT& r) { return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

TEST(TrackPopupMenu, ChoosingAnOwnerDrawnSubmenuItemSendsItsCommandToTheOwner) {
  Tracked t;
  t.Open(200, 150);
  auto menus = automation::OpenMenus();
  ASSERT_EQ(menus.size(), 1u);
  // 3-pixel frame, items measured 100 x 20 plus the check-mark column the platform adds.
  RECT first = t.ItemRect(0, 0);
  EXPECT_EQ(first.left, 203);
  EXPECT_EQ(first.top, 153);
  EXPECT_EQ(first.right - first.left, 100 + GetSystemMetrics(SM_CXMENUCHECK) - 1);
  EXPECT_EQ(first.bottom - first.top, 20);
  EXPECT_EQ(WindowFromPoint(Center(first)), menus[0].window);

  POINT p = Center(t.ItemRect(0, 0));
  automation::MoveMouse(p.x, p.y);
  EXPECT_EQ(automation::OpenMenus()[0].selected, 0);
  EXPECT_EQ(automation::ScreenPixel(p.x, p.y), GetSysColor(COLOR_HIGHLIGHT));
  p = Center(t.ItemRect(0, 1));
  automation::MoveMouse(p.x, p.y);  // the submenu opens on hover
  ASSERT_EQ(automation::OpenMenus().size(), 2u);
  RECT sub_first = t.ItemRect(1, 0);
  EXPECT_GE(sub_first.left, t.ItemRect(0, 1).right - 3);
  p = Center(t.ItemRect(1, 1));
  automation::MoveMouse(p.x, p.y);
  automation::ButtonDown();
  automation::ButtonUp();
  t.Close();
  EXPECT_TRUE(t.result);
  t.gui.Run([] {});  // the posted WM_COMMAND has been dispatched by now
  std::lock_guard lk(g_mu);
  EXPECT_EQ(g_commands, std::vector<UINT>{202});
  EXPECT_NE(std::find(g_drawn_selected.begin(), g_drawn_selected.end(), 12u), g_drawn_selected.end());
}

TEST(TrackPopupMenu, EscapeAndAClickOutsideDismissWithoutACommand) {
  for (bool escape : {true, false}) {
    Tracked t;
    t.Open(100, 100, TPM_RETURNCMD);
    if (escape) {
      automation::PressKey(VK_ESCAPE);
    } else {
      automation::Click(700, 600);
    }
    t.Close();
    EXPECT_EQ(t.result, 0) << escape;
    EXPECT_TRUE(automation::OpenMenus().empty());
    std::lock_guard lk(g_mu);
    EXPECT_TRUE(g_commands.empty());
  }
}

TEST(TrackPopupMenu, KeysMoveTheHighlightOpenTheSubmenuAndChoose) {
  Tracked t;
  t.Open(100, 100, TPM_RETURNCMD);
  automation::PressKey(VK_DOWN);
  EXPECT_EQ(automation::OpenMenus()[0].selected, 0);
  automation::PressKey(VK_DOWN);
  automation::PressKey(VK_RIGHT);
  ASSERT_EQ(automation::OpenMenus().size(), 2u);
  EXPECT_EQ(automation::OpenMenus()[1].selected, 0);
  automation::PressKey(VK_LEFT);
  EXPECT_EQ(automation::OpenMenus().size(), 1u);
  automation::PressKey(VK_DOWN);  // the grayed item can be highlighted but not chosen
  automation::PressKey(VK_RETURN);
  EXPECT_EQ(automation::OpenMenus().size(), 1u);
  automation::PressKey(VK_DOWN);  // wraps to the first
  automation::PressKey(VK_RETURN);
  t.Close();
  EXPECT_EQ(t.result, 101);
}

// The hook of the tray menu: mouse moves over the left 28 pixels of the popup are consumed.
std::atomic<int> g_consumed{0};
LRESULT LeftColumnHook(int code, WPARAM w, LPARAM l) {
  auto* msg = reinterpret_cast<MSG*>(l);
  if (code == MSGF_MENU && msg->hwnd != nullptr && msg->message == WM_MOUSEMOVE) {
    POINT p{GET_X_LPARAM(msg->lParam), GET_Y_LPARAM(msg->lParam)};  // screen coordinates
    HWND under = WindowFromPoint(p);
    ScreenToClient(under, &p);
    if (under == msg->hwnd && p.x < 28) {
      g_consumed++;
      return 1;
    }
  }
  return CallNextHookEx(nullptr, code, w, l);
}

TEST(TrackPopupMenu, AMessageFilterHookConsumingMovesKeepsTheLeftColumnFromHighlighting) {
  Tracked t;
  HHOOK hook = t.gui.Run([&] { return SetWindowsHookExW(WH_MSGFILTER, LeftColumnHook, nullptr, GetCurrentThreadId()); });
  ASSERT_NE(hook, nullptr);
  t.Open(300, 300, TPM_RETURNCMD);
  RECT r = t.ItemRect(0, 0);
  SetCursorPos(r.left - 30, (r.top + r.bottom) / 2);  // a jump, beside the menu
  automation::MoveMouse(r.left + 10, (r.top + r.bottom) / 2);
  automation::MoveMouse(r.left + 20, (r.top + r.bottom) / 2);
  EXPECT_EQ(automation::OpenMenus()[0].selected, -1);
  EXPECT_GT(g_consumed.load(), 0);
  automation::MoveMouse(r.left + 40, (r.top + r.bottom) / 2);
  EXPECT_EQ(automation::OpenMenus()[0].selected, 0);
  automation::PressKey(VK_ESCAPE);
  t.Close();
  t.gui.Run([hook] { return UnhookWindowsHookEx(hook); });
}

TEST(TrackPopupMenu, AutomationChoosesStandardItemsByTheirTextPath) {
  GuiThread gui;
  HWND owner = gui.Run([] { return MakeOwner(); });
  HMENU menu = gui.Run([] {
    HMENU sub = CreatePopupMenu();
    AppendMenuW(sub, MF_STRING, 20, u"&Inner\tCtrl+I");
    HMENU m = CreatePopupMenu();
    AppendMenuW(m, MF_STRING | MF_CHECKED, 10, u"&Open");
    AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(m, MF_POPUP, reinterpret_cast<UINT_PTR>(sub), u"&More");
    return m;
  });
  {
    std::lock_guard lk(g_mu);
    g_commands.clear();
  }
  auto done = gui.Start([&] { TrackPopupMenu(menu, 0, 400, 200, 0, owner, nullptr); });
  ASSERT_TRUE(automation::WaitForMenu());
  auto open = automation::OpenMenus();
  ASSERT_EQ(open[0].items.size(), 3u);
  EXPECT_EQ(open[0].items[0].text, u"&Open");
  EXPECT_EQ(open[0].items[0].state & MF_CHECKED, MF_CHECKED);
  EXPECT_EQ(open[0].items[1].rect.bottom - open[0].items[1].rect.top, 9);  // a separator
  EXPECT_TRUE(automation::ChooseMenuItem(u"More/Inner"));
  done.get();
  gui.Run([] {});
  {
    std::lock_guard lk(g_mu);
    EXPECT_EQ(g_commands, std::vector<UINT>{20});
  }
  gui.Run([&] {
    DestroyMenu(menu);
    DestroyWindow(owner);
  });
}

TEST(Menus, ItemsByCommandAndPositionWithInfoAndStates) {
  HMENU sub = CreatePopupMenu();
  AppendMenuW(sub, MF_STRING, 20, u"Inner");
  HMENU m = CreatePopupMenu();
  AppendMenuW(m, MF_STRING, 10, u"&Open\tCtrl+O");
  AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(m, MF_POPUP, reinterpret_cast<UINT_PTR>(sub), u"More");
  InsertMenuW(m, 0, MF_BYPOSITION | MF_STRING | MF_CHECKED, 5, u"First");
  EXPECT_EQ(GetMenuItemCount(m), 4);
  EXPECT_EQ(GetMenuItemID(m, 0), 5u);
  EXPECT_EQ(GetMenuItemID(m, 3), static_cast<UINT>(-1));
  EXPECT_EQ(GetSubMenu(m, 3), sub);
  EXPECT_EQ(GetMenuState(m, 5, MF_BYCOMMAND) & MF_CHECKED, MF_CHECKED);
  EXPECT_EQ(GetMenuState(m, 20, MF_BYCOMMAND), 0u);  // found in the submenu
  EnableMenuItem(m, 20, MF_GRAYED);
  EXPECT_EQ(GetMenuState(sub, 0, MF_BYPOSITION) & MF_GRAYED, MF_GRAYED);
  WCHAR buf[32];
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_STRING | MIIM_ID | MIIM_FTYPE;
  info.dwTypeData = buf;
  info.cch = 32;
  ASSERT_TRUE(GetMenuItemInfoW(m, 10, FALSE, &info));
  EXPECT_EQ(std::u16string(buf), u"&Open\tCtrl+O");
  EXPECT_EQ(info.cch, 12u);
  info.fMask = MIIM_DATA | MIIM_FTYPE;
  info.fType = MFT_OWNERDRAW;
  info.dwItemData = 77;
  ASSERT_TRUE(SetMenuItemInfoW(m, 1, TRUE, &info));
  EXPECT_EQ(GetMenuState(m, 1, MF_BYPOSITION) & MF_OWNERDRAW, MF_OWNERDRAW);
  info.cbSize = 12;
  EXPECT_FALSE(GetMenuItemInfoW(m, 1, TRUE, &info));
  EXPECT_FALSE(DeleteMenu(m, 999, MF_BYCOMMAND));
  EXPECT_TRUE(DeleteMenu(m, 3, MF_BYPOSITION));  // the popup goes with its item
  EXPECT_FALSE(IsMenu(sub));
  EXPECT_TRUE(DestroyMenu(m));
  EXPECT_FALSE(IsMenu(m));
}

TEST(Menus, TemplatesBuildTheTreeAndDamagedOnesFail) {
  // header, "&File" popup { 101 "&Open", separator, 102 "E&xit" (end) } (end)
  std::vector<uint16_t> t = {0, 0, MF_POPUP | MF_END, u'&', u'F', u'i', u'l', u'e', 0,
                             0, 101, u'&', u'O', u'p', u'e', u'n', 0,
                             0, 0, 0,
                             MF_END | MF_GRAYED, 102, u'E', u'&', u'x', u'i', u't', 0};
  HMENU m = ui::LoadMenuTemplate(t.data(), t.size() * 2);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(GetMenuItemCount(m), 1);
  HMENU file = GetSubMenu(m, 0);
  ASSERT_EQ(GetMenuItemCount(file), 3);
  EXPECT_EQ(GetMenuItemID(file, 2), 102u);
  EXPECT_EQ(GetMenuState(file, 1, MF_BYPOSITION) & MF_SEPARATOR, MF_SEPARATOR);
  EXPECT_EQ(GetMenuState(file, 102, MF_BYCOMMAND) & MF_GRAYED, MF_GRAYED);
  DestroyMenu(m);
  for (size_t cut = 1; cut < t.size(); cut += 3)
    EXPECT_EQ(ui::LoadMenuTemplate(t.data(), (t.size() - cut) * 2), nullptr) << cut;
  // An empty resource is refused, not read without a bound (the fuzzer found it).
  EXPECT_EQ(ui::LoadMenuTemplate(t.data(), 0), nullptr);
}

}  // namespace
}  // namespace win32
