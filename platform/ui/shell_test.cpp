#include "platform/ui/shell.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "platform/ui/automation.h"
#include "platform/ui/gdi.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"

namespace win32 {
namespace {

using uitest::GuiThread;

constexpr UINT kCallback = WM_APP + 7;

struct Event {
  WPARAM w;
  LPARAM l;
  POINT cursor;
};
std::mutex g_mu;
std::vector<Event> g_events;

LRESULT IconProc(HWND hwnd, UINT m, WPARAM w, LPARAM l) {
  if (m == kCallback) {
    POINT p{};
    GetCursorPos(&p);
    std::lock_guard lock(g_mu);
    g_events.push_back({w, l, p});
    return 0;
  }
  return DefWindowProcW(hwnd, m, w, l);
}

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::SetShellLaunching(false);
    testing::ResetShell();
    {
      std::lock_guard lock(g_mu);
      g_events.clear();
    }
    hwnd_ = gui_.Run([] {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = IconProc;
      wc.lpszClassName = u"ShellTestIcon";
      RegisterClassExW(&wc);
      return CreateWindowExW(0, u"ShellTestIcon", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    });
    icon_ = gui_.Run([] {
      std::vector<uint32_t> pixels(16 * 16, 0xFF2050A0);
      return CreateIconFromPixels(16, 16, pixels.data());
    });
  }
  void TearDown() override {
    testing::ResetShell();
    gui_.Run([this] {
      DestroyIcon(icon_);
      DestroyWindow(hwnd_);
    });
  }
  NOTIFYICONDATAW Record(UINT id, const std::u16string& tip = u"tip") {
    NOTIFYICONDATAW d{};
    d.cbSize = sizeof d;
    d.hWnd = hwnd_;
    d.uID = id;
    d.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    d.uCallbackMessage = kCallback;
    d.hIcon = icon_;
    std::copy(tip.begin(), tip.end(), d.szTip);
    return d;
  }
  std::vector<Event> Events() {
    std::lock_guard lock(g_mu);
    return g_events;
  }

  GuiThread gui_;
  HWND hwnd_ = nullptr;
  HICON icon_ = nullptr;
};

// The shell's refusals, each with the error it leaves.
TEST_F(ShellTest, RefusesWhatTheShellRefuses) {
  NOTIFYICONDATAW d = Record(103);
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));

  struct Case {
    const char* name;
    DWORD message;
    DWORD size;
    UINT id;
    bool dead_window;
    UINT flags;
    DWORD error;
  } cases[] = {
      {"second add", NIM_ADD, sizeof d, 103, false, NIF_TIP, ERROR_ALREADY_EXISTS},
      {"modify unknown id", NIM_MODIFY, sizeof d, 104, false, NIF_TIP, ERROR_FILE_NOT_FOUND},
      {"delete unknown id", NIM_DELETE, sizeof d, 104, false, 0, ERROR_FILE_NOT_FOUND},
      {"set version unknown", NIM_SETVERSION, sizeof d, 104, false, 0, ERROR_FILE_NOT_FOUND},
      {"size 956 on 64-bit", NIM_MODIFY, sizeof(void*) == 8 ? 956u : 976u, 103, false, NIF_TIP, ERROR_INVALID_PARAMETER},
      {"size zero", NIM_ADD, 0, 105, false, NIF_TIP, ERROR_INVALID_PARAMETER},
      {"size one too large", NIM_ADD, sizeof d + 1, 105, false, NIF_TIP, ERROR_INVALID_PARAMETER},
      {"window gone", NIM_ADD, sizeof d, 105, true, NIF_TIP, ERROR_INVALID_WINDOW_HANDLE},
      {"guid", NIM_ADD, sizeof d, 105, false, NIF_TIP | NIF_GUID, ERROR_NOT_SUPPORTED},
      {"unknown message", 9, sizeof d, 103, false, NIF_TIP, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NOTIFYICONDATAW r = Record(c.id);
    r.cbSize = c.size;
    r.uFlags = c.flags;
    if (c.dead_window) r.hWnd = reinterpret_cast<HWND>(uintptr_t{0x7777});
    SetLastError(0);
    EXPECT_FALSE(Shell_NotifyIconW(c.message, &r));
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, nullptr));
  // The icon the refusals named stays as it was.
  auto icons = automation::NotifyIcons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].tip, u"tip");
  EXPECT_TRUE(Shell_NotifyIconW(NIM_DELETE, &d));
  EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &d));
  EXPECT_TRUE(automation::NotifyIcons().empty());
}

TEST_F(ShellTest, KeepsTipIconAndMessageAndTakesChanges) {
  const int gdi_before = testing::LiveGdiObjects();
  std::u16string tip127(127, u'x');
  NOTIFYICONDATAW d = Record(103, tip127);
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  auto icons = automation::NotifyIcons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].tip, tip127);  // the longest tip fits whole
  EXPECT_EQ(icons[0].callback_message, kCallback);
  EXPECT_NE(icons[0].icon, nullptr);
  EXPECT_NE(icons[0].icon, icon_);  // the area's own copy
  EXPECT_EQ(testing::LiveGdiObjects(), gdi_before + 1);

  // A tip without its terminator is cut at the field's last character.
  NOTIFYICONDATAW m{};
  m.cbSize = sizeof m;
  m.hWnd = hwnd_;
  m.uID = 103;
  m.uFlags = NIF_TIP;
  std::fill(std::begin(m.szTip), std::end(m.szTip), u'y');
  ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &m));
  icons = automation::NotifyIcons();
  EXPECT_EQ(icons[0].tip, std::u16string(127, u'y'));
  EXPECT_EQ(icons[0].callback_message, kCallback);  // untouched without NIF_MESSAGE

  // The first record form carries a 64-character tip.
  NOTIFYICONDATAW v1 = Record(104, std::u16string(100, u'z'));
  v1.cbSize = NOTIFYICONDATAW_V1_SIZE;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &v1));
  EXPECT_EQ(automation::NotifyIcons()[1].tip, std::u16string(63, u'z'));

  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &d));
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &v1));
  EXPECT_EQ(testing::LiveGdiObjects(), gdi_before);
}

// Each gesture's callback messages, in the shell's order, with the icon's identifier, and the
// pointer on the icon when the program reads it.
TEST_F(ShellTest, GesturesArriveAsTheShellPostsThem) {
  NOTIFYICONDATAW d = Record(103);
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  const RECT r = automation::NotifyIcons()[0].rect;
  EXPECT_GT(r.top, 700);  // in the task bar
  struct Case {
    automation::IconGesture gesture;
    std::vector<UINT> events;
  } cases[] = {
      {automation::IconGesture::kLeftClick, {WM_LBUTTONDOWN, WM_LBUTTONUP}},
      {automation::IconGesture::kLeftDouble, {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}},
      {automation::IconGesture::kRightClick, {WM_RBUTTONDOWN, WM_RBUTTONUP}},
      {automation::IconGesture::kRightPress, {WM_RBUTTONDOWN}},
  };
  for (const Case& c : cases) {
    {
      std::lock_guard lock(g_mu);
      g_events.clear();
    }
    SetCursorPos(5, 5);
    ASSERT_TRUE(automation::ClickNotifyIcon(hwnd_, 103, c.gesture));
    auto events = Events();
    ASSERT_EQ(events.size(), c.events.size());
    for (size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ(events[i].w, 103u);
      EXPECT_EQ(static_cast<UINT>(events[i].l), c.events[i]);
      EXPECT_EQ(events[i].cursor.x, (r.left + r.right) / 2);
      EXPECT_EQ(events[i].cursor.y, (r.top + r.bottom) / 2);
    }
  }
  EXPECT_FALSE(automation::ClickNotifyIcon(hwnd_, 104, automation::IconGesture::kLeftClick));

  // Version 4: the event and identifier in lParam, the point in wParam.
  d.uVersion = NOTIFYICON_VERSION_4;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_SETVERSION, &d));
  {
    std::lock_guard lock(g_mu);
    g_events.clear();
  }
  ASSERT_TRUE(automation::ClickNotifyIcon(hwnd_, 103, automation::IconGesture::kRightPress));
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(LOWORD(static_cast<uintptr_t>(events[0].l)), WM_RBUTTONDOWN);
  EXPECT_EQ(HIWORD(static_cast<uintptr_t>(events[0].l)), 103);
  EXPECT_EQ(GET_X_LPARAM(static_cast<LPARAM>(events[0].w)), (r.left + r.right) / 2);
}

TEST_F(ShellTest, AnIconWhoseWindowWentIsRemovedWhenClicked) {
  NOTIFYICONDATAW d = Record(103);
  ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
  gui_.Run([this] { DestroyWindow(hwnd_); });
  EXPECT_FALSE(automation::ClickNotifyIcon(hwnd_, 103, automation::IconGesture::kLeftClick));
  EXPECT_TRUE(automation::NotifyIcons().empty());
}

TEST(CommandLineToArgvW, SplitsAsTheShellDoes) {
  struct Case {
    std::u16string line;
    std::vector<std::u16string> args;
  } cases[] = {
      {u"prog", {u"prog"}},
      {u"prog -autorun", {u"prog", u"-autorun"}},
      {u"\"C:\\Program Files\\Q\\q.exe\" -autorun", {u"C:\\Program Files\\Q\\q.exe", u"-autorun"}},
      {u"prog   a\tb  ", {u"prog", u"a", u"b"}},
      {u"prog \"a b\" c", {u"prog", u"a b", u"c"}},
      {u"prog a\\\\b", {u"prog", u"a\\\\b"}},              // backslashes without a quote stay
      {u"prog a\\\"b", {u"prog", u"a\"b"}},                // 2n+1 and a quote: n and a quote
      {u"prog a\\\\\\\"b", {u"prog", u"a\\\"b"}},          // 3 and a quote: 1 and a quote
      {u"prog \"a\\\\\" b", {u"prog", u"a\\", u"b"}},      // 2n and a quote: n, quote closes
      {u"prog \"\"", {u"prog", u""}},                      // an empty quoted argument
      {u"prog \"a\"\"b\"", {u"prog", u"a\"b"}},            // two quotes inside quoting
      {u"prog a\"b c\"d", {u"prog", u"ab cd"}},            // quoting in the middle
      {u"C:\\a\\\"b c", {u"C:\\a\\\"b", u"c"}},            // argument 0 has no backslash rules
      {u"\"C:\\a b\\\"x y", {u"C:\\a b\\", u"x", u"y"}},   // ends at its first closing quote
      {u"prog \"unterminated arg", {u"prog", u"unterminated arg"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.line.begin(), c.line.end()));
    int n = -1;
    LPWSTR* argv = CommandLineToArgvW(c.line.c_str(), &n);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(n, static_cast<int>(c.args.size()));
    for (int i = 0; i < n; ++i) EXPECT_EQ(std::u16string(argv[i]), c.args[i]) << i;
    EXPECT_EQ(argv[n], nullptr);
    EXPECT_EQ(LocalFree(argv), nullptr);
  }
  // An empty line gives the program's own path.
  testing::SetModuleFileName(u"/opt/q/skellmere");
  int n = 0;
  LPWSTR* argv = CommandLineToArgvW(u"", &n);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(std::u16string(argv[0]), u"/opt/q/skellmere");
  LocalFree(argv);
  testing::Reset();
  EXPECT_EQ(CommandLineToArgvW(u"x", nullptr), nullptr);
}

TEST(ShellExecuteW, RecordsEveryCallAndAnswersAsTheShell) {
  testing::SetShellLaunching(false);
  testing::ResetShell();
  auto result = [](HINSTANCE h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); };
  EXPECT_GT(result(ShellExecuteW(nullptr, u"open", u"https://example.invalid/sendmsg/bugreport", nullptr, nullptr,
                                 SW_SHOWNORMAL)),
            32);
  EXPECT_GT(result(ShellExecuteW(nullptr, nullptr, u"/bin/true", u"/S /update /showgui", nullptr, SW_SHOW)), 32);
  EXPECT_EQ(result(ShellExecuteW(nullptr, u"open", u"/no/such/file", nullptr, nullptr, SW_SHOW)), SE_ERR_FNF);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(result(ShellExecuteW(nullptr, u"print", u"http://example.invalid/", nullptr, nullptr, SW_SHOW)),
            SE_ERR_NOASSOC);
  auto calls = testing::ShellExecuteCalls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].verb, u"open");
  EXPECT_EQ(calls[0].file, u"https://example.invalid/sendmsg/bugreport");
  EXPECT_EQ(calls[0].show, SW_SHOWNORMAL);
  EXPECT_EQ(calls[1].verb, u"");
  EXPECT_EQ(calls[1].parameters, u"/S /update /showgui");
  EXPECT_EQ(calls[3].verb, u"print");
}

TEST(SystemVersion, AnswersAsSetForTheOldSystemBranches) {
  OSVERSIONINFOEXW ex{};
  ex.dwOSVersionInfoSize = sizeof ex;
  ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&ex)));
  EXPECT_EQ(ex.dwMajorVersion, 6u);
  EXPECT_EQ(ex.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(ex.wServicePackMajor, 1);
  EXPECT_EQ(GetVersion() & 0xFF, 6u);
  EXPECT_EQ(GetVersion() & 0x80000000u, 0u);

  testing::SetVersion(3, 51, 1057, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(GetVersion() & 0xFF, 3u);
  EXPECT_EQ((GetVersion() >> 8) & 0xFF, 51u);
  EXPECT_EQ(GetVersion() >> 16, 1057u);
  testing::SetVersion(4, 10, 2222, VER_PLATFORM_WIN32_WINDOWS);
  EXPECT_NE(GetVersion() & 0x80000000u, 0u);
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(GetVersionExW(&v));
  EXPECT_EQ(v.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
  v.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(GetVersionExW(&v));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  testing::SetCommandLine(u"\"C:\\q\\q.exe\" -autorun");
  int n = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &n);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(std::u16string(argv[1]), u"-autorun");
  LocalFree(argv);
  testing::Reset();
  EXPECT_EQ(GetVersion() & 0xFF, 6u);
  EXPECT_NE(std::u16string(GetCommandLineW()).find(u"ui_shell_test"), std::u16string::npos);
}

}  // namespace
}  // namespace win32
