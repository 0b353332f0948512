#include "platform/ui/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/ui/automation.h"
#include "platform/ui/gdi.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/ui_test_support.h"

namespace win32 {
namespace {

using uitest::GuiThread;

// A window class whose procedure records what it receives and answers WM_USER + n with n.
std::atomic<int> g_seen_user{0};
std::atomic<HWND> g_other{nullptr};
constexpr UINT kAskBack = WM_USER + 100;  // the receiver sends back to the sender's window
constexpr UINT kModal = WM_USER + 101;    // the receiver runs a modal loop before answering
constexpr UINT kEndModal = WM_USER + 102;
std::atomic<bool> g_modal_done{false};

LRESULT RecorderProc(HWND hwnd, UINT m, WPARAM w, LPARAM l) {
  if (m == kAskBack) return SendMessageW(g_other, WM_USER + 7, 0, 0) + 1;
  if (m == kModal) {
    g_modal_done = false;
    bool ok = ui::RunModalLoop(hwnd, MSGF_DIALOGBOX, [](MSG&) { return false; }, [] { return g_modal_done.load(); });
    return ok ? 42 : -1;
  }
  if (m == kEndModal) {
    g_modal_done = true;
    return 1;
  }
  if (m >= WM_USER && m < WM_USER + 100) {
    g_seen_user++;
    return static_cast<LRESULT>(m - WM_USER);
  }
  return DefWindowProcW(hwnd, m, w, l);
}

void RegisterRecorder() {
  static bool once = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = RecorderProc;
    wc.lpszClassName = u"Recorder";
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_3DFACE + 1));
    return RegisterClassExW(&wc) != 0;
  }();
  ASSERT_TRUE(once);
}

HWND MakeWindow(DWORD style = WS_POPUP) {
  return CreateWindowExW(0, u"Recorder", u"rec", style, 10, 10, 100, 80, nullptr, nullptr, nullptr, nullptr);
}

TEST(WindowClasses, RegisteringTwiceFailsAndUnknownClassesCannotBeCreated) {
  RegisterRecorder();
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = RecorderProc;
  wc.lpszClassName = u"RECORDER";  // class names ignore case
  EXPECT_EQ(RegisterClassExW(&wc), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
  EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", nullptr, 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
}

TEST(Windows, ChildGeometryTextAndDestroyWithChildren) {
  RegisterRecorder();
  HWND top = CreateWindowExW(0, u"Recorder", u"top", WS_POPUP | WS_DLGFRAME, 100, 50, 200, 150, nullptr, nullptr, nullptr, nullptr);
  HWND child = CreateWindowExW(0, u"Recorder", u"child", WS_CHILD | WS_VISIBLE, 10, 20, 30, 40, top,
                               reinterpret_cast<HMENU>(uintptr_t{77}), nullptr, nullptr);
  ASSERT_NE(child, nullptr);
  RECT r;
  GetWindowRect(child, &r);  // a child's position is in its parent's client area (frame 3)
  EXPECT_EQ(r.left, 113);
  EXPECT_EQ(r.top, 73);
  GetClientRect(top, &r);
  EXPECT_EQ(r.right, 194);
  EXPECT_EQ(r.bottom, 144);
  POINT p{0, 0};
  ClientToScreen(child, &p);
  EXPECT_EQ(p.x, 113);
  EXPECT_EQ(GetDlgItem(top, 77), child);
  EXPECT_EQ(GetDlgCtrlID(child), 77);
  EXPECT_EQ(GetParent(child), top);
  WCHAR buf[16];
  EXPECT_EQ(GetWindowTextW(child, buf, 16), 5);
  EXPECT_EQ(std::u16string(buf), u"child");
  EXPECT_FALSE(IsWindowVisible(child));  // its parent is hidden
  ShowWindow(top, SW_SHOW);
  EXPECT_TRUE(IsWindowVisible(child));
  EXPECT_EQ(WindowFromPoint(POINT{115, 75}), child);
  EXPECT_EQ(WindowFromPoint(POINT{105, 55}), top);
  EXPECT_TRUE(DestroyWindow(top));
  EXPECT_FALSE(IsWindow(child));
}

TEST(Windows, OnlyTheOwningThreadDestroysAWindow) {
  RegisterRecorder();
  GuiThread gui;
  HWND w = gui.Run([] { return MakeWindow(); });
  EXPECT_FALSE(DestroyWindow(w));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(gui.Run([w] { return DestroyWindow(w); }));
}

TEST(Messages, PostedMessagesArriveInOrderAndTimersAfterThem) {
  RegisterRecorder();
  HWND w = MakeWindow();
  PostMessageW(w, WM_USER + 1, 0, 0);
  PostMessageW(w, WM_USER + 2, 0, 0);
  PostThreadMessageW(GetCurrentThreadId(), WM_USER + 3, 0, 0);
  SetTimer(w, 9, 10, nullptr);
  std::vector<UINT> got;
  MSG m;
  while (got.size() < 4 && GetMessageW(&m, nullptr, 0, 0)) {
    if (m.message == WM_PAINT) {
      ValidateRect(m.hwnd, nullptr);
      continue;
    }
    got.push_back(m.message);
    if (m.message == WM_TIMER) {
      EXPECT_EQ(m.wParam, 9u);
    }
  }
  EXPECT_EQ(got, (std::vector<UINT>{WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_TIMER}));
  EXPECT_TRUE(KillTimer(w, 9));
  EXPECT_FALSE(KillTimer(w, 9));
  DestroyWindow(w);
}

TEST(Messages, QuitEndsGetMessageAfterThePostedOnes) {
  RegisterRecorder();
  HWND w = MakeWindow();
  PostQuitMessage(3);
  PostMessageW(w, WM_USER + 1, 0, 0);
  MSG m;
  EXPECT_TRUE(GetMessageW(&m, nullptr, 0, 0));
  EXPECT_EQ(m.message, WM_USER + 1u);
  EXPECT_FALSE(GetMessageW(&m, nullptr, 0, 0));
  EXPECT_EQ(m.wParam, 3u);
  DestroyWindow(w);
}

TEST(Messages, RegisteredMessagesAreStablePerName) {
  UINT a = RegisterWindowMessageW(u"{4EA84FBF-A61C-4D14-9682-6B68ACC34A69}");
  EXPECT_GE(a, 0xC000u);
  EXPECT_EQ(RegisterWindowMessageW(u"{4ea84fbf-a61c-4d14-9682-6b68acc34a69}"), a);
  EXPECT_NE(RegisterWindowMessageW(u"other"), a);
}

TEST(CrossThreadSend, TheReceiverRunsItInItsOwnLoopAndTheSenderGetsTheResult) {
  RegisterRecorder();
  GuiThread gui;
  HWND w = gui.Run([] { return MakeWindow(); });
  EXPECT_EQ(SendMessageW(w, WM_USER + 5, 0, 0), 5);
  EXPECT_EQ(GetWindowThreadProcessId(w, nullptr), gui.id());
  gui.Run([w] { DestroyWindow(w); });
}

TEST(CrossThreadSend, ASenderWaitingStillAnswersSendsToItself) {
  RegisterRecorder();
  GuiThread gui;
  HWND mine = MakeWindow();  // on this thread
  g_other = mine;
  HWND theirs = gui.Run([] { return MakeWindow(); });
  // The GUI thread sends back to this thread while this thread waits in its send.
  EXPECT_EQ(SendMessageW(theirs, kAskBack, 0, 0), 8);
  gui.Run([theirs] { DestroyWindow(theirs); });
  DestroyWindow(mine);
}

TEST(CrossThreadSend, AModalLoopOnTheReceiverRunsFurtherSends) {
  RegisterRecorder();
  GuiThread gui;
  HWND owner = gui.Run([] { return MakeWindow(); });
  HWND w = gui.Run([] { return MakeWindow(); });
  std::atomic<LRESULT> modal_result{0};
  std::thread worker([&] { modal_result = SendMessageW(w, kModal, 0, 0); });
  // While the worker's send runs a modal loop on the GUI thread, sends from here still run.
  while (IsWindowEnabled(w)) std::this_thread::yield();  // the loop disables its owner
  EXPECT_EQ(SendMessageW(owner, WM_USER + 9, 0, 0), 9);
  EXPECT_EQ(SendMessageW(w, kEndModal, 0, 0), 1);
  worker.join();
  EXPECT_EQ(modal_result.load(), 42);
  EXPECT_TRUE(IsWindowEnabled(w));
  gui.Run([&] {
    DestroyWindow(w);
    DestroyWindow(owner);
  });
}

TEST(CrossThreadSend, ManySendersFromWorkersAllGetAnswers) {
  RegisterRecorder();
  GuiThread gui;
  HWND w = gui.Run([] { return MakeWindow(); });
  std::vector<std::thread> workers;
  std::atomic<int> right{0};
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if (SendMessageW(w, WM_USER + 10 + t, 0, 0) == 10 + t) right++;
        PostMessageW(w, WM_USER + 20, 0, 0);
      }
    });
  for (auto& t : workers) t.join();
  EXPECT_EQ(right.load(), 200);
  gui.Run([w] { DestroyWindow(w); });
}

TEST(CrossThreadSend, SendToAThreadThatEndsReturnsZero) {
  RegisterRecorder();
  HWND w;
  {
    GuiThread gui;
    w = gui.Run([] { return MakeWindow(); });
  }
  EXPECT_FALSE(IsWindow(w));  // the thread's windows go with it
  EXPECT_EQ(SendMessageW(w, WM_USER + 5, 0, 0), 0);
}

std::vector<UINT> g_keyboard_hook_seen;
LRESULT KeyboardHook(int code, WPARAM w, LPARAM l) {
  g_keyboard_hook_seen.push_back(static_cast<UINT>(w));
  if (w == 'X') return 1;  // consumed
  return CallNextHookEx(nullptr, code, w, l);
}
int g_filter_calls = 0;
LRESULT FilterHook(int code, WPARAM, LPARAM l) {
  auto* m = reinterpret_cast<MSG*>(l);
  g_filter_calls++;
  return code == MSGF_DIALOGBOX && m->message == WM_USER + 50 ? 1 : 0;
}

TEST(Hooks, AKeyboardHookConsumesKeysAndAFilterHookSeesModalMessages) {
  RegisterRecorder();
  HWND w = MakeWindow(WS_POPUP | WS_VISIBLE);
  SetForegroundWindow(w);
  ASSERT_EQ(GetFocus(), w);
  HHOOK kb = SetWindowsHookExW(WH_KEYBOARD, KeyboardHook, nullptr, GetCurrentThreadId());
  HHOOK mf = SetWindowsHookExW(WH_MSGFILTER, FilterHook, nullptr, GetCurrentThreadId());
  ASSERT_NE(kb, nullptr);
  ui::InjectKey('X', true);
  ui::InjectKey('Y', true);
  MSG m;
  std::vector<WPARAM> keys;
  while (PeekMessageW(&m, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) keys.push_back(m.wParam);
  EXPECT_EQ(keys, std::vector<WPARAM>{'Y'});
  EXPECT_EQ(g_keyboard_hook_seen, (std::vector<UINT>{'X', 'Y'}));
  ui::InjectKey('X', false);
  ui::InjectKey('Y', false);
  while (PeekMessageW(&m, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
  }

  // A modal loop offers its messages to the filter; a consumed one is never dispatched.
  g_seen_user = 0;
  PostMessageW(w, WM_USER + 50, 0, 0);
  PostMessageW(w, WM_USER + 51, 0, 0);
  PostMessageW(w, kEndModal, 0, 0);
  g_modal_done = false;
  ui::RunModalLoop(nullptr, MSGF_DIALOGBOX, [](MSG&) { return false; }, [] { return g_modal_done.load(); });
  EXPECT_EQ(g_seen_user.load(), 1);
  EXPECT_GE(g_filter_calls, 3);
  EXPECT_TRUE(UnhookWindowsHookEx(kb));
  EXPECT_TRUE(UnhookWindowsHookEx(mf));
  DestroyWindow(w);
}

TEST(Input, MouseGoesToTheWindowUnderThePointerOrTheCaptureInClientCoordinates) {
  RegisterRecorder();
  HWND a = CreateWindowExW(0, u"Recorder", nullptr, WS_POPUP | WS_VISIBLE | WS_BORDER, 200, 200, 50, 50, nullptr, nullptr, nullptr, nullptr);
  HWND b = CreateWindowExW(0, u"Recorder", nullptr, WS_POPUP | WS_VISIBLE, 300, 200, 50, 50, nullptr, nullptr, nullptr, nullptr);
  auto next_mouse = [](MSG* m) { return PeekMessageW(m, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE); };
  MSG m;
  ui::InjectMouse(WM_MOUSEMOVE, POINT{211, 215});
  ASSERT_TRUE(next_mouse(&m));
  EXPECT_EQ(m.hwnd, a);
  EXPECT_EQ(GET_X_LPARAM(m.lParam), 10);  // the 1-pixel border
  EXPECT_EQ(GET_Y_LPARAM(m.lParam), 14);
  SetCapture(a);
  ui::InjectMouse(WM_LBUTTONDOWN, POINT{310, 210});
  ASSERT_TRUE(next_mouse(&m));
  EXPECT_EQ(m.hwnd, a);
  EXPECT_EQ(GET_X_LPARAM(m.lParam), 109);
  EXPECT_EQ(m.wParam & MK_LBUTTON, MK_LBUTTON);
  ReleaseCapture();
  ui::InjectMouse(WM_LBUTTONUP, POINT{310, 210});
  ASSERT_TRUE(next_mouse(&m));
  EXPECT_EQ(m.hwnd, b);
  POINT p;
  GetCursorPos(&p);
  EXPECT_EQ(p.x, 310);
  EXPECT_EQ(GetMessagePos(), static_cast<DWORD>(MAKELPARAM(310, 210)));
  DestroyWindow(a);
  DestroyWindow(b);
}

TEST(Input, ModifierStateAndTranslatedCharacters) {
  RegisterRecorder();
  HWND w = MakeWindow(WS_POPUP | WS_VISIBLE);
  SetForegroundWindow(w);
  ui::InjectKey(VK_SHIFT, true);
  ui::InjectKey('A', true);
  // The keyboard has it at once; the thread's state follows the messages it retrieves.
  EXPECT_LT(GetAsyncKeyState(VK_SHIFT), 0);
  MSG m;
  std::u16string typed;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&m);
    if (m.message == WM_CHAR) typed.push_back(static_cast<char16_t>(m.wParam));
    DispatchMessageW(&m);
  }
  ui::InjectKey('A', false);
  ui::InjectKey(VK_SHIFT, false);
  ui::InjectKey('B', true);
  ui::InjectKey('B', false);
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&m);
    if (m.message == WM_CHAR) typed.push_back(static_cast<char16_t>(m.wParam));
    DispatchMessageW(&m);
  }
  EXPECT_EQ(typed, u"Ab");
  EXPECT_GE(GetKeyState(VK_SHIFT), 0);
  DestroyWindow(w);
}

TEST(Metrics, ClassicDefaultsAndTheNonClientFonts) {
  EXPECT_EQ(GetSystemMetrics(SM_CXSMICON), 16);
  EXPECT_EQ(GetSystemMetrics(SM_CYMENU), 19);
  NONCLIENTMETRICSW ncm{};
  ncm.cbSize = sizeof ncm;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0));
  EXPECT_EQ(ncm.lfMenuFont.lfHeight, -12);
  ncm.cbSize = 12;
  EXPECT_FALSE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, 12, &ncm, 0));
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_EQ(work.bottom, GetSystemMetrics(SM_CYSCREEN) - 30);
  BOOL anim = FALSE;
  testing::SetClientAreaAnimation(false);
  SystemParametersInfoW(SPI_GETCLIENTAREAANIMATION, 0, &anim, 0);
  EXPECT_FALSE(anim);
  testing::SetClientAreaAnimation(true);
}

}  // namespace
}  // namespace win32
