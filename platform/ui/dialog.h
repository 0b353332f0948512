// Dialog manager of the window-framework stand-in: dialogs from templates (compiled resources
// or records built in memory, in both the DLGTEMPLATE and the DLGTEMPLATEEX form), modeless
// and modal, the dialog procedure's protocol, keyboard navigation, and the message box.
//
// What is real here: dialog units from the dialog font's average character width and height
// (MapDialogRect), DS_SETFONT / DS_SHELLFONT fonts, DS_CENTER centring in the work area,
// DS_MODALFRAME frames, WM_INITDIALOG with the first tab stop as the proposed focus, the
// default button (DM_GETDEFID / DM_SETDEFID) whose frame moves with the focus among push
// buttons, IsDialogMessageW with Tab / Shift+Tab over WS_TABSTOP controls, arrows within a
// WS_GROUP group, Enter to the focused or the default push button, Esc as IDCANCEL, and
// WM_CLOSE (Alt+F4 turns into it) as IDCANCEL, which a dialog procedure that does not handle
// IDCANCEL ignores, as on the platform. DialogBox* runs a modal loop (the menus' machinery)
// that disables the owner, offers its messages to the WH_MSGFILTER hooks with MSGF_DIALOGBOX
// and returns when EndDialog was called, even from WM_INITDIALOG (the box is then never shown).
// Templates are read with bounds: a template that runs past its resource is refused.
// What is not: dialog classes other than the system's, DS_CONTROL child dialogs, help.
#pragma once

#include <vector>

#include <string>

#include <cstddef>
#include <cstdint>

#include "platform/ui/ui_types.h"

namespace win32 {

using DLGPROC = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

inline constexpr WCHAR WC_DIALOG[] = u"#32770";

constexpr DWORD DS_ABSALIGN = 0x01;
constexpr DWORD DS_3DLOOK = 0x04;
constexpr DWORD DS_FIXEDSYS = 0x08;
constexpr DWORD DS_SETFONT = 0x40;
constexpr DWORD DS_MODALFRAME = 0x80;
constexpr DWORD DS_SETFOREGROUND = 0x200;
constexpr DWORD DS_CONTROL = 0x400;
constexpr DWORD DS_CENTER = 0x800;
constexpr DWORD DS_SHELLFONT = DS_SETFONT | DS_FIXEDSYS;

// The fixed part of a DLGTEMPLATE and of each item; the variable parts follow as the
// platform lays them out (menu, class, caption, font; class, text, creation data).
#pragma pack(push, 2)
struct DLGTEMPLATE {
  DWORD style;
  DWORD dwExtendedStyle;
  WORD cdit;
  short x;
  short y;
  short cx;
  short cy;
};
struct DLGITEMTEMPLATE {
  DWORD style;
  DWORD dwExtendedStyle;
  short x;
  short y;
  short cx;
  short cy;
  WORD id;
};
#pragma pack(pop)
static_assert(sizeof(DLGTEMPLATE) == 18 && offsetof(DLGTEMPLATE, cdit) == 8 && offsetof(DLGTEMPLATE, cy) == 16);
static_assert(sizeof(DLGITEMTEMPLATE) == 18 && offsetof(DLGITEMTEMPLATE, id) == 16);
// The DLGTEMPLATEEX form starts with version 1 and signature 0xFFFF; its fixed part.
#pragma pack(push, 2)
struct DLGTEMPLATEEX_HEADER {
  WORD dlgVer;
  WORD signature;
  DWORD helpID;
  DWORD exStyle;
  DWORD style;
  WORD cDlgItems;
  short x;
  short y;
  short cx;
  short cy;
};
#pragma pack(pop)
static_assert(sizeof(DLGTEMPLATEEX_HEADER) == 26 && offsetof(DLGTEMPLATEEX_HEADER, style) == 12);

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDCLOSE = 8;
constexpr int IDTRYAGAIN = 10;
constexpr int IDCONTINUE = 11;
constexpr int IDC_STATIC = -1;

constexpr UINT DM_GETDEFID = WM_USER + 0;
constexpr UINT DM_SETDEFID = WM_USER + 1;
constexpr WORD DC_HASDEFID = 0x534B;
constexpr UINT WM_NEXTDLGCTL = 0x0028;
constexpr int DWLP_MSGRESULT = 0;
constexpr int DWLP_DLGPROC = 8;
constexpr int DWLP_USER = 16;
constexpr int DLGWINDOWEXTRA = 30;

// Templates given by address are trusted to be whole, as on the platform; resources are read
// within their size.
HWND CreateDialogIndirectParamW(HINSTANCE instance, const DLGTEMPLATE* tmpl, HWND owner, DLGPROC proc, LPARAM param);
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, const DLGTEMPLATE* tmpl, HWND owner, DLGPROC proc, LPARAM param);
HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC proc, LPARAM param);
// -1 (ERROR_RESOURCE_NAME_NOT_FOUND and the like) when the dialog could not be created.
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC proc, LPARAM param);
BOOL EndDialog(HWND dialog, INT_PTR result);
LRESULT DefDlgProcW(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
BOOL IsDialogMessageW(HWND dialog, MSG* msg);
BOOL MapDialogRect(HWND dialog, RECT* rect);
LONG GetDialogBaseUnits();  // of the system font: LOWORD width, HIWORD height
HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous);
HWND GetNextDlgGroupItem(HWND dialog, HWND control, BOOL previous);

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int count);
BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed);
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam);
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
BOOL CheckRadioButton(HWND dialog, int first, int last, int check);

// ---------------------------------------------------------------------------------------
// Message box: a dialog of our own controls (icon, wrapped text, the buttons of the set),
// modal to its owner or, without one, to the thread.
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
constexpr UINT MB_YESNOCANCEL = 0x3;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_RETRYCANCEL = 0x5;
constexpr UINT MB_CANCELTRYCONTINUE = 0x6;
constexpr UINT MB_TYPEMASK = 0xF;
constexpr UINT MB_ICONHAND = 0x10;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONSTOP = 0x10;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONASTERISK = 0x40;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_ICONMASK = 0xF0;
constexpr UINT MB_DEFBUTTON1 = 0x000;
constexpr UINT MB_DEFBUTTON2 = 0x100;
constexpr UINT MB_DEFBUTTON3 = 0x200;
constexpr UINT MB_DEFMASK = 0xF00;
constexpr UINT MB_APPLMODAL = 0x0000;
constexpr UINT MB_SYSTEMMODAL = 0x1000;
constexpr UINT MB_TASKMODAL = 0x2000;
constexpr UINT MB_SETFOREGROUND = 0x10000;
constexpr UINT MB_TOPMOST = 0x40000;
// The result is the chosen button's ID; Esc and closing the box count as Cancel only when
// the set has one (MB_OK: as OK). 0 when the box could not be created.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

namespace testing {
// Every box asked for is recorded. With an answer set, MessageBoxW gives it at once without
// showing a box (a button the box does not have is answered with its first), so start-up and
// error paths can be driven by script; with none (the default, and after a reset) the box is
// shown and waits for its answer like the real one.
struct MessageBoxShown {
  HWND owner;
  std::u16string text;
  std::u16string caption;
  UINT type;
};
std::vector<MessageBoxShown> MessageBoxesShown();
void SetMessageBoxAnswer(int answer);  // 0: show the box
void ResetMessageBoxes();
}  // namespace testing

namespace ui {
// Control IDs inside a message box: its text and its icon.
inline constexpr int kMessageBoxTextId = 0xFFFF;
inline constexpr int kMessageBoxIconId = 20;
// The pictures of the MB_ICON kinds (32 x 32), drawn by the stand-in; null for none. The
// caller destroys the icon.
HICON MessageBoxIcon(UINT icon_flag);
}  // namespace ui

}  // namespace win32
