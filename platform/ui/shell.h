// The shell's pieces of the window-framework stand-in: the notification area and its icons
// (Shell_NotifyIconW), ShellExecuteW, CommandLineToArgvW.
//
// What is real here: the notification area keeps each icon by its window and identifier,
// with a copy of its icon, its tip and its callback message, and refuses what the shell
// refuses (an unknown record size, adding an icon twice, changing or deleting one it does
// not hold, a window that does not exist). Mouse activity on an icon comes from the
// automation interface below, which moves the pointer onto the icon and posts the callback
// messages the shell posts for that gesture, in the shell's order. ShellExecuteW records
// every call and, unless a test turned that off, hands web addresses and existing files to
// xdg-open and starts programs with their parameters.
// What is not: balloons (kept in the record, never shown), the overflow area, focus and
// keyboard selection of icons, identifying icons by GUID (NIF_GUID fails), a shell that
// restarts (there is no TaskbarCreated broadcast).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/ui/ui_types.h"

namespace win32 {

constexpr DWORD NIM_ADD = 0x00000000;
constexpr DWORD NIM_MODIFY = 0x00000001;
constexpr DWORD NIM_DELETE = 0x00000002;
constexpr DWORD NIM_SETFOCUS = 0x00000003;
constexpr DWORD NIM_SETVERSION = 0x00000004;

constexpr UINT NIF_MESSAGE = 0x00000001;
constexpr UINT NIF_ICON = 0x00000002;
constexpr UINT NIF_TIP = 0x00000004;
constexpr UINT NIF_STATE = 0x00000008;
constexpr UINT NIF_INFO = 0x00000010;
constexpr UINT NIF_GUID = 0x00000020;
constexpr UINT NIF_REALTIME = 0x00000040;
constexpr UINT NIF_SHOWTIP = 0x00000080;

constexpr DWORD NIS_HIDDEN = 0x00000001;
constexpr DWORD NIS_SHAREDICON = 0x00000002;

constexpr UINT NOTIFYICON_VERSION = 3;
constexpr UINT NOTIFYICON_VERSION_4 = 4;

static_assert(sizeof(GUID) == 16);

// The full record. With 32-bit handles it is 956 bytes; with this build's 64-bit handles the
// same fields in the same order take 976, as the platform's own 64-bit headers give it.
struct NOTIFYICONDATAW {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  WCHAR szTip[128];
  DWORD dwState;
  DWORD dwStateMask;
  WCHAR szInfo[256];
  union {
    UINT uTimeout;
    UINT uVersion;
  };
  WCHAR szInfoTitle[64];
  DWORD dwInfoFlags;
  GUID guidItem;
  HICON hBalloonIcon;
};
static_assert(sizeof(void*) == 8 ? sizeof(NOTIFYICONDATAW) == 976 : sizeof(NOTIFYICONDATAW) == 956);
static_assert(offsetof(NOTIFYICONDATAW, hWnd) == sizeof(void*) &&
              offsetof(NOTIFYICONDATAW, uID) == 2 * sizeof(void*) &&
              offsetof(NOTIFYICONDATAW, uCallbackMessage) == 2 * sizeof(void*) + 8 &&
              offsetof(NOTIFYICONDATAW, hIcon) == (sizeof(void*) == 8 ? 32 : 20) &&
              offsetof(NOTIFYICONDATAW, szTip) == (sizeof(void*) == 8 ? 40 : 24) &&
              offsetof(NOTIFYICONDATAW, uVersion) == (sizeof(void*) == 8 ? 816 : 800));

// The record sizes the shell accepts: the first form (a 64-character tip), the forms before
// the GUID and before the balloon icon, and the full one.
constexpr DWORD NOTIFYICONDATAW_V1_SIZE = offsetof(NOTIFYICONDATAW, szTip) + 64 * sizeof(WCHAR);
constexpr DWORD NOTIFYICONDATAW_V2_SIZE = offsetof(NOTIFYICONDATAW, guidItem);
constexpr DWORD NOTIFYICONDATAW_V3_SIZE = offsetof(NOTIFYICONDATAW, hBalloonIcon);
static_assert(sizeof(void*) != 8 || (NOTIFYICONDATAW_V1_SIZE == 168 && NOTIFYICONDATAW_V2_SIZE == 952 &&
                                     NOTIFYICONDATAW_V3_SIZE == 968));

// FALSE with ERROR_INVALID_PARAMETER for a bad record or message, ERROR_INVALID_WINDOW_HANDLE
// for a window that does not exist, ERROR_ALREADY_EXISTS for a second NIM_ADD,
// ERROR_FILE_NOT_FOUND for a change to an icon the area does not hold, ERROR_NOT_SUPPORTED
// for NIF_GUID.
BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data);

// ShellExecuteW: a value above 32 on success, else an error value (and the last error).
constexpr int SE_ERR_FNF = 2;
constexpr int SE_ERR_PNF = 3;
constexpr int SE_ERR_ACCESSDENIED = 5;
constexpr int SE_ERR_NOASSOC = 31;
constexpr DWORD ERROR_NO_ASSOCIATION = 1155;
HINSTANCE ShellExecuteW(HWND hwnd, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                        int show);

// Splits a command line as the shell does: argument 0 is the program (up to the closing quote
// when it starts with one, no backslash rules, else up to the first blank); after it, blanks
// separate arguments outside quotes, 2n backslashes and a quote give n backslashes and open
// or close quoting, 2n + 1 backslashes and a quote give n backslashes and a quote, other
// backslashes stand for themselves, and two quotes inside quoting give one quote. An empty
// line gives the program's own path. One LocalAlloc block; the caller frees it with LocalFree.
LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count);

namespace automation {

struct NotifyIconInfo {
  HWND hwnd;
  UINT id;
  UINT flags;             // the NIF_ flags given so far
  UINT callback_message;  // 0 without NIF_MESSAGE
  HICON icon;             // the area's own copy
  std::u16string tip;
  UINT version;           // 0, or what NIM_SETVERSION set
  bool hidden;
  RECT rect;              // where it shows in the task bar, screen coordinates
};
std::vector<NotifyIconInfo> NotifyIcons();  // in the order they were added

enum class IconGesture {
  kLeftClick,    // WM_LBUTTONDOWN, WM_LBUTTONUP
  kLeftDouble,   // WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP
  kRightClick,   // WM_RBUTTONDOWN, WM_RBUTTONUP
  kLeftPress,    // WM_LBUTTONDOWN alone
  kRightPress,   // WM_RBUTTONDOWN alone
};
// Moves the pointer onto the icon and posts its callback messages for the gesture (wParam the
// identifier and lParam the event, or in version 4 the event and identifier in lParam and the
// point in wParam), then waits until the program is idle (a menu the program opens counts as
// idle). False when the area holds no such icon, it has no callback message, or its window
// has gone (the icon is then removed, as the shell removes it when the pointer passes).
bool ClickNotifyIcon(HWND hwnd, UINT id, IconGesture gesture);

}  // namespace automation

namespace testing {

struct ShellExecuteCall {
  HWND hwnd;
  std::u16string verb;  // empty for a null verb
  std::u16string file;
  std::u16string parameters;
  std::u16string directory;
  int show;
};
std::vector<ShellExecuteCall> ShellExecuteCalls();
// false: ShellExecuteW records and launches nothing (what tests want); true, the default,
// launches as well.
void SetShellLaunching(bool launch);
// Clears the recorded calls and removes every notification icon; launching is left as set.
void ResetShell();

}  // namespace testing

}  // namespace win32
