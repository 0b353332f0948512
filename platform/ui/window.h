// Window manager of the window-framework stand-in: window classes and windows, per-thread
// message queues, cross-thread sends, timers, hooks, input state, system metrics.
//
// What is real here: every thread that touches a window or calls a queue function gets its
// own queue. PostMessage and PostThreadMessage queue; SendMessage calls the procedure at
// once on the window's own thread and otherwise queues the send to that thread and blocks
// until that thread runs it inside GetMessage, PeekMessage, WaitMessage or a modal loop,
// while the blocked sender still runs sends made to it (so two threads sending to each other
// do not deadlock). Retrieval order is the platform's: sent messages, posted and input
// messages, WM_QUIT, WM_PAINT, WM_TIMER. Windows belong to the thread that created them and
// only that thread can destroy them. Hooks are per thread: WH_GETMESSAGE sees every message
// GetMessage or PeekMessage (with PM_REMOVE) returns, WH_KEYBOARD every key message before it
// is returned (non-zero consumes it), WH_MSGFILTER the messages of the modal loops (menus,
// later dialogs) through CallMsgFilter (non-zero consumes it).
// Input enters through the automation interface (automation.h) as a device's would: the
// cursor moves, and the mouse message goes to the thread of the capture window or of the
// window under the cursor; keys go to the focus window.
// What is not: non-client hit testing beyond frames, window animation, activation history,
// DPI other than 96, Unicode/ANSI pairs (only the W forms exist).
#pragma once

#include "platform/ui/ui_types.h"

namespace win32 {

// ---------------------------------------------------------------------------------------
// Classes.
constexpr UINT CS_VREDRAW = 0x0001;
constexpr UINT CS_HREDRAW = 0x0002;
constexpr UINT CS_DBLCLKS = 0x0008;
constexpr UINT CS_SAVEBITS = 0x0800;
constexpr UINT CS_DROPSHADOW = 0x00020000;

struct WNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;  // a brush, or a system colour index + 1
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
  HICON hIconSm;
};
static_assert(sizeof(WNDCLASSEXW) == 80);

ATOM RegisterClassExW(const WNDCLASSEXW* wc);  // 0 with ERROR_CLASS_ALREADY_EXISTS
BOOL UnregisterClassW(LPCWSTR class_name, HINSTANCE instance);
BOOL GetClassInfoExW(HINSTANCE instance, LPCWSTR class_name, WNDCLASSEXW* wc);
int GetClassNameW(HWND hwnd, LPWSTR buffer, int count);

constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_INVALID_MENU_HANDLE = 1401;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_HOOK_HANDLE = 1404;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_HOOK_NEEDS_HMOD = 1428;
constexpr DWORD ERROR_INVALID_HOOK_FILTER = 1426;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_MENU_ITEM_NOT_FOUND = 1456;
constexpr DWORD ERROR_POPUP_ALREADY_ACTIVE = 1446;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;

// ---------------------------------------------------------------------------------------
// Windows.
constexpr DWORD WS_OVERLAPPED = 0x00000000;
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CLIPSIBLINGS = 0x04000000;
constexpr DWORD WS_CLIPCHILDREN = 0x02000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_DLGFRAME = 0x00400000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_THICKFRAME = 0x00040000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_OVERLAPPEDWINDOW = 0x00CF0000;
constexpr DWORD WS_EX_DLGMODALFRAME = 0x00000001;
constexpr DWORD WS_EX_TOPMOST = 0x00000008;
constexpr DWORD WS_EX_TRANSPARENT = 0x00000020;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080;
constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200;
constexpr DWORD WS_EX_STATICEDGE = 0x00020000;
constexpr DWORD WS_EX_CONTROLPARENT = 0x00010000;

constexpr WPARAM SC_CLOSE = 0xF060;  // WM_SYSCOMMAND: close (Alt+F4)

constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);
inline HWND const HWND_MESSAGE = reinterpret_cast<HWND>(~uintptr_t{2});  // -3
inline HWND const HWND_TOP = nullptr;
inline HWND const HWND_BOTTOM = reinterpret_cast<HWND>(uintptr_t{1});
inline HWND const HWND_TOPMOST = reinterpret_cast<HWND>(~uintptr_t{0});     // -1
inline HWND const HWND_NOTOPMOST = reinterpret_cast<HWND>(~uintptr_t{1});   // -2

struct CREATESTRUCTW {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
};
static_assert(sizeof(CREATESTRUCTW) == 80);

// A child's hMenu is its control identifier. WM_NCCREATE, WM_CREATE (-1 fails the creation),
// WM_SIZE and WM_SHOWWINDOW are sent as the platform sends them.
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
BOOL DestroyWindow(HWND hwnd);  // only on the window's thread, else ERROR_ACCESS_DENIED
BOOL IsWindow(HWND hwnd);
LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
constexpr int GWLP_WNDPROC = -4;
constexpr int GWLP_HINSTANCE = -6;
constexpr int GWLP_HWNDPARENT = -8;
constexpr int GWLP_ID = -12;
constexpr int GWLP_USERDATA = -21;
// Non-negative indices address the class's cbWndExtra bytes (8 at a time).
LONG_PTR GetWindowLongPtrW(HWND hwnd, int index);
LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value);

constexpr UINT GW_HWNDFIRST = 0;
constexpr UINT GW_HWNDLAST = 1;
constexpr UINT GW_HWNDNEXT = 2;
constexpr UINT GW_HWNDPREV = 3;
constexpr UINT GW_OWNER = 4;
constexpr UINT GW_CHILD = 5;
HWND GetWindow(HWND hwnd, UINT relation);
HWND GetParent(HWND hwnd);  // the parent of a child, else the owner
constexpr UINT GA_PARENT = 1;
constexpr UINT GA_ROOT = 2;
HWND GetAncestor(HWND hwnd, UINT flags);
HWND GetDesktopWindow();
BOOL IsChild(HWND parent, HWND hwnd);
int GetDlgCtrlID(HWND hwnd);
HWND GetDlgItem(HWND parent, int id);
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* process_id);
using WNDENUMPROC = BOOL (*)(HWND, LPARAM);
BOOL EnumWindows(WNDENUMPROC proc, LPARAM param);  // top-level windows, top of the z-order first
BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM param);
HWND FindWindowW(LPCWSTR class_name, LPCWSTR window_name);

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;
constexpr int SW_SHOWNA = 8;
constexpr int SW_SHOWNOACTIVATE = 4;
BOOL ShowWindow(HWND hwnd, int command);  // the previous visibility
BOOL IsWindowVisible(HWND hwnd);          // the window and all its parents
BOOL EnableWindow(HWND hwnd, BOOL enable);  // the previous disabled state
BOOL IsWindowEnabled(HWND hwnd);

constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOREDRAW = 0x0008;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;
BOOL SetWindowPos(HWND hwnd, HWND insert_after, int x, int y, int cx, int cy, UINT flags);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
BOOL GetWindowRect(HWND hwnd, RECT* rect);  // screen coordinates
BOOL GetClientRect(HWND hwnd, RECT* rect);  // (0, 0, width, height) of the client area
BOOL SetWindowTextW(HWND hwnd, LPCWSTR text);
int GetWindowTextW(HWND hwnd, LPWSTR buffer, int count);
int GetWindowTextLengthW(HWND hwnd);

HWND SetFocus(HWND hwnd);  // the previous focus; a window of another thread fails
HWND GetFocus();
HWND SetCapture(HWND hwnd);
BOOL ReleaseCapture();
HWND GetCapture();
HWND SetActiveWindow(HWND hwnd);
HWND GetActiveWindow();
BOOL SetForegroundWindow(HWND hwnd);
HWND GetForegroundWindow();

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL ValidateRect(HWND hwnd, const RECT* rect);
BOOL UpdateWindow(HWND hwnd);  // sends WM_PAINT now when the window needs painting
BOOL GetUpdateRect(HWND hwnd, RECT* rect, BOOL erase);

// ---------------------------------------------------------------------------------------
// Messages.
BOOL GetMessageW(MSG* msg, HWND hwnd, UINT first, UINT last);  // 0 on WM_QUIT, -1 on error
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_NOYIELD = 0x0002;
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT first, UINT last, UINT remove);
BOOL WaitMessage();  // returns when the queue has something new, or after running sends
BOOL TranslateMessage(const MSG* msg);  // posts WM_CHAR / WM_SYSCHAR for character keys
LRESULT DispatchMessageW(const MSG* msg);
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
constexpr UINT SMTO_NORMAL = 0x0000;
constexpr UINT SMTO_BLOCK = 0x0001;
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;
LRESULT SendMessageTimeoutW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT flags,
                            UINT timeout_ms, DWORD_PTR* result);
BOOL SendNotifyMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
BOOL InSendMessage();
BOOL ReplyMessage(LRESULT result);
void PostQuitMessage(int exit_code);
UINT RegisterWindowMessageW(LPCWSTR name);  // 0xC000..0xFFFF, the same number for the same name
DWORD GetMessagePos();   // the cursor position of the last message retrieved
LONG GetMessageTime();
constexpr DWORD QS_ALLINPUT = 0x04FF;
DWORD GetQueueStatus(UINT flags);

// ---------------------------------------------------------------------------------------
// Timers. WM_TIMER is synthesised when the queue is otherwise empty, at most one pending per
// timer, as on the platform; a timer proc is called by DispatchMessage.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// ---------------------------------------------------------------------------------------
// Hooks (thread hooks only: thread_id 0 means the calling thread's here, since global hooks
// would need a module the stand-in does not load).
constexpr int WH_MSGFILTER = -1;
constexpr int WH_KEYBOARD = 2;
constexpr int WH_GETMESSAGE = 3;
constexpr int HC_ACTION = 0;
constexpr int MSGF_DIALOGBOX = 0;
constexpr int MSGF_MENU = 2;
HHOOK SetWindowsHookExW(int id, HOOKPROC proc, HINSTANCE module, DWORD thread_id);
BOOL UnhookWindowsHookEx(HHOOK hook);
LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wparam, LPARAM lparam);
BOOL CallMsgFilterW(MSG* msg, int code);  // TRUE when a hook consumed the message

// ---------------------------------------------------------------------------------------
// Cursor, coordinates, keyboard.
BOOL GetCursorPos(POINT* point);
BOOL SetCursorPos(int x, int y);  // moves the pointer as the hardware would (a WM_MOUSEMOVE)
HWND WindowFromPoint(POINT point);  // the deepest visible, enabled-or-not window there
BOOL ScreenToClient(HWND hwnd, POINT* point);
BOOL ClientToScreen(HWND hwnd, POINT* point);
int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count);
// The thread's key state: Shift, Ctrl and Alt as they were when its last retrieved input
// message was made (so a handler sees the modifiers of its own key); other keys as they are.
int16_t GetKeyState(int vk);       // high bit: down; low bit: toggled
int16_t GetAsyncKeyState(int vk);  // the keyboard's state now
UINT GetDoubleClickTime();
BOOL SetDoubleClickTime(UINT ms);
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name);
HCURSOR SetCursor(HCURSOR cursor);
inline LPCWSTR const IDC_ARROW = MAKEINTRESOURCEW(32512);
inline LPCWSTR const IDC_HAND = MAKEINTRESOURCEW(32649);
inline LPCWSTR const IDC_WAIT = MAKEINTRESOURCEW(32514);

// ---------------------------------------------------------------------------------------
// System metrics and parameters (96 dpi, the classic look's defaults).
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;
constexpr int SM_CXBORDER = 5;
constexpr int SM_CYBORDER = 6;
constexpr int SM_CXDLGFRAME = 7;
constexpr int SM_CYDLGFRAME = 8;
constexpr int SM_CXICON = 11;
constexpr int SM_CYICON = 12;
constexpr int SM_CYCAPTION = 4;
constexpr int SM_CYMENU = 15;
constexpr int SM_CXEDGE = 45;
constexpr int SM_CYEDGE = 46;
constexpr int SM_CXSMICON = 49;
constexpr int SM_CYSMICON = 50;
constexpr int SM_CXMENUCHECK = 71;
constexpr int SM_CYMENUCHECK = 72;
constexpr int SM_CXFULLSCREEN = 16;
constexpr int SM_CYFULLSCREEN = 17;
constexpr int SM_CXDOUBLECLK = 36;
constexpr int SM_CYDOUBLECLK = 37;
int GetSystemMetrics(int index);

struct NONCLIENTMETRICSW {
  UINT cbSize;
  int iBorderWidth;
  int iScrollWidth;
  int iScrollHeight;
  int iCaptionWidth;
  int iCaptionHeight;
  LOGFONTW lfCaptionFont;
  int iSmCaptionWidth;
  int iSmCaptionHeight;
  LOGFONTW lfSmCaptionFont;
  int iMenuWidth;
  int iMenuHeight;
  LOGFONTW lfMenuFont;
  LOGFONTW lfStatusFont;
  LOGFONTW lfMessageFont;
  int iPaddedBorderWidth;
};
static_assert(sizeof(NONCLIENTMETRICSW) == 504 && offsetof(NONCLIENTMETRICSW, lfMenuFont) == 224);

constexpr UINT SPI_GETNONCLIENTMETRICS = 0x0029;
constexpr UINT SPI_GETWORKAREA = 0x0030;
constexpr UINT SPI_GETMENUSHOWDELAY = 0x006A;
constexpr UINT SPI_GETCLIENTAREAANIMATION = 0x1042;
// The non-client metrics take cbSize 504, or 500 (the older record without the padded border).
BOOL SystemParametersInfoW(UINT action, UINT uparam, void* pvparam, UINT winini);

namespace testing {
// The screen is 1024 x 768 with a 30-pixel task bar at the bottom unless set here.
void SetScreenSize(int width, int height, int taskbar_height);
void SetClientAreaAnimation(bool on);
}  // namespace testing

}  // namespace win32
