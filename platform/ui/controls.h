// Controls of the window-framework stand-in: the system's Static, Edit and Button classes and
// the common controls SysLink, msctls_progress32 and SysAnimate32. Each is a window class
// registered with the system classes (they exist before the first window is created, as the
// platform's do), drawn in the classic look onto the surface, and driven by mouse and keys.
//
// What is real here: the styles and messages listed below, the notifications to the parent
// (WM_COMMAND with BN_CLICKED / EN_CHANGE / STN_CLICKED, WM_NOTIFY with NM_CLICK for links,
// WM_CTLCOLORSTATIC asked before a static paints), dialog codes for the dialog manager, the
// edit limit applied to typed and pasted text alike, and the clipboard for Ctrl+C/X/V.
// What is not: multi-line edits, undo, IME, owner-drawn buttons, list and combo boxes,
// animation clips other than uncompressed and RLE8 DIB frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/ui/menu.h"  // DRAWITEMSTRUCT and the ODT_/ODS_ values
#include "platform/ui/ui_types.h"

namespace win32 {

inline constexpr WCHAR WC_BUTTONW[] = u"Button";
inline constexpr WCHAR WC_EDITW[] = u"Edit";
inline constexpr WCHAR WC_STATICW[] = u"Static";
inline constexpr WCHAR WC_LINK[] = u"SysLink";
inline constexpr WCHAR PROGRESS_CLASSW[] = u"msctls_progress32";
inline constexpr WCHAR ANIMATE_CLASSW[] = u"SysAnimate32";

struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};
constexpr DWORD ICC_PROGRESS_CLASS = 0x0020;
constexpr DWORD ICC_ANIMATE_CLASS = 0x0080;
constexpr DWORD ICC_LINK_CLASS = 0x8000;
constexpr DWORD ICC_STANDARD_CLASSES = 0x4000;
// The classes are always registered here; the call checks its record as the platform does.
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* icc);

// Messages every control answers.
constexpr UINT WM_GETDLGCODE = 0x0087;
constexpr UINT WM_CTLCOLOREDIT = 0x0133;
constexpr UINT WM_CTLCOLORBTN = 0x0135;
constexpr UINT WM_CTLCOLORDLG = 0x0136;
constexpr LRESULT DLGC_WANTARROWS = 0x0001;
constexpr LRESULT DLGC_WANTTAB = 0x0002;
constexpr LRESULT DLGC_WANTALLKEYS = 0x0004;
constexpr LRESULT DLGC_HASSETSEL = 0x0008;
constexpr LRESULT DLGC_DEFPUSHBUTTON = 0x0010;
constexpr LRESULT DLGC_UNDEFPUSHBUTTON = 0x0020;
constexpr LRESULT DLGC_RADIOBUTTON = 0x0040;
constexpr LRESULT DLGC_WANTCHARS = 0x0080;
constexpr LRESULT DLGC_STATIC = 0x0100;
constexpr LRESULT DLGC_BUTTON = 0x2000;

// Notification header and the codes of the common controls (64-bit layout).
struct NMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
};
static_assert(sizeof(NMHDR) == 24 && offsetof(NMHDR, idFrom) == 8 && offsetof(NMHDR, code) == 16);
constexpr UINT NM_CLICK = static_cast<UINT>(-2);
constexpr UINT NM_RETURN = static_cast<UINT>(-4);

// ---------------------------------------------------------------------------------------
// Static.
constexpr DWORD SS_LEFT = 0x00;
constexpr DWORD SS_CENTER = 0x01;
constexpr DWORD SS_RIGHT = 0x02;
constexpr DWORD SS_ICON = 0x03;
constexpr DWORD SS_BLACKRECT = 0x04;
constexpr DWORD SS_GRAYRECT = 0x05;
constexpr DWORD SS_WHITERECT = 0x06;
constexpr DWORD SS_BLACKFRAME = 0x07;
constexpr DWORD SS_GRAYFRAME = 0x08;
constexpr DWORD SS_WHITEFRAME = 0x09;
constexpr DWORD SS_SIMPLE = 0x0B;
constexpr DWORD SS_LEFTNOWORDWRAP = 0x0C;
constexpr DWORD SS_OWNERDRAW = 0x0D;
constexpr DWORD SS_ETCHEDHORZ = 0x10;
constexpr DWORD SS_ETCHEDVERT = 0x11;
constexpr DWORD SS_ETCHEDFRAME = 0x12;
constexpr DWORD SS_TYPEMASK = 0x1F;
constexpr DWORD SS_NOPREFIX = 0x80;
constexpr DWORD SS_NOTIFY = 0x100;
constexpr DWORD SS_CENTERIMAGE = 0x200;
constexpr DWORD SS_SUNKEN = 0x1000;
constexpr DWORD SS_ENDELLIPSIS = 0x4000;
constexpr UINT STM_SETICON = 0x0170;
constexpr UINT STM_GETICON = 0x0171;
constexpr UINT STN_CLICKED = 0;

// ---------------------------------------------------------------------------------------
// Edit (single line).
constexpr DWORD ES_LEFT = 0x0000;
constexpr DWORD ES_CENTER = 0x0001;
constexpr DWORD ES_RIGHT = 0x0002;
constexpr DWORD ES_PASSWORD = 0x0020;
constexpr DWORD ES_AUTOHSCROLL = 0x0080;
constexpr DWORD ES_READONLY = 0x0800;
constexpr DWORD ES_NUMBER = 0x2000;
constexpr UINT EM_GETSEL = 0x00B0;
constexpr UINT EM_SETSEL = 0x00B1;
constexpr UINT EM_REPLACESEL = 0x00C2;
constexpr UINT EM_LIMITTEXT = 0x00C5;
constexpr UINT EM_SETLIMITTEXT = 0x00C5;
constexpr UINT EM_SETPASSWORDCHAR = 0x00CC;
constexpr UINT EM_SETREADONLY = 0x00CF;
constexpr UINT EM_GETPASSWORDCHAR = 0x00D2;
constexpr UINT EM_GETLIMITTEXT = 0x00D5;
constexpr UINT WM_CUT = 0x0300;
constexpr UINT WM_COPY = 0x0301;
constexpr UINT WM_PASTE = 0x0302;
constexpr UINT WM_CLEAR = 0x0303;
constexpr UINT EN_SETFOCUS = 0x0100;
constexpr UINT EN_KILLFOCUS = 0x0200;
constexpr UINT EN_CHANGE = 0x0300;
constexpr UINT EN_MAXTEXT = 0x0501;
// EM_LIMITTEXT 0 means the largest single-line text, as on the platform.
constexpr UINT kEditMaxLimit = 0x7FFFFFFE;

// ---------------------------------------------------------------------------------------
// Button.
constexpr DWORD BS_PUSHBUTTON = 0x0;
constexpr DWORD BS_DEFPUSHBUTTON = 0x1;
constexpr DWORD BS_CHECKBOX = 0x2;
constexpr DWORD BS_AUTOCHECKBOX = 0x3;
constexpr DWORD BS_RADIOBUTTON = 0x4;
constexpr DWORD BS_GROUPBOX = 0x7;
constexpr DWORD BS_AUTORADIOBUTTON = 0x9;
constexpr DWORD BS_COMMANDLINK = 0xE;
constexpr DWORD BS_DEFCOMMANDLINK = 0xF;
constexpr DWORD BS_TYPEMASK = 0xF;
constexpr UINT BM_GETCHECK = 0x00F0;
constexpr UINT BM_SETCHECK = 0x00F1;
constexpr UINT BM_GETSTATE = 0x00F2;
constexpr UINT BM_SETSTATE = 0x00F3;
constexpr UINT BM_SETSTYLE = 0x00F4;
constexpr UINT BM_CLICK = 0x00F5;
constexpr UINT BCM_SETNOTE = 0x1609;
constexpr WPARAM BST_UNCHECKED = 0;
constexpr WPARAM BST_CHECKED = 1;
constexpr WPARAM BST_PUSHED = 4;
constexpr WPARAM BST_FOCUS = 8;
constexpr UINT BN_CLICKED = 0;

// ---------------------------------------------------------------------------------------
// SysLink: the text's <A HREF="..."> ... </A> parts are links; a click or Enter on one sends
// WM_NOTIFY NM_CLICK with an NMLINK record.
constexpr DWORD LWS_TRANSPARENT = 0x0001;
constexpr int MAX_LINKID_TEXT = 48;
constexpr int L_MAX_URL_LENGTH = 2048 + 32 + 3;
constexpr UINT LIF_ITEMINDEX = 0x1;
constexpr UINT LIF_STATE = 0x2;
constexpr UINT LIF_ITEMID = 0x4;
constexpr UINT LIF_URL = 0x8;
constexpr UINT LIS_FOCUSED = 0x1;
constexpr UINT LIS_ENABLED = 0x2;
struct LITEM {
  UINT mask;
  int iLink;
  UINT state;
  UINT stateMask;
  WCHAR szID[MAX_LINKID_TEXT];
  WCHAR szUrl[L_MAX_URL_LENGTH];
};
struct NMLINK {
  NMHDR hdr;
  LITEM item;
};
static_assert(sizeof(LITEM) == 4280 && offsetof(LITEM, szID) == 16 && offsetof(LITEM, szUrl) == 112);
static_assert(sizeof(NMLINK) == 4304 && offsetof(NMLINK, item) == 24);

// ---------------------------------------------------------------------------------------
// Progress bar.
constexpr DWORD PBS_SMOOTH = 0x01;
constexpr DWORD PBS_MARQUEE = 0x08;
constexpr UINT PBM_SETRANGE = WM_USER + 1;
constexpr UINT PBM_SETPOS = WM_USER + 2;
constexpr UINT PBM_DELTAPOS = WM_USER + 3;
constexpr UINT PBM_SETSTEP = WM_USER + 4;
constexpr UINT PBM_STEPIT = WM_USER + 5;
constexpr UINT PBM_SETRANGE32 = WM_USER + 6;
constexpr UINT PBM_GETRANGE = WM_USER + 7;
constexpr UINT PBM_GETPOS = WM_USER + 8;
constexpr UINT PBM_SETMARQUEE = WM_USER + 10;
constexpr UINT PBM_SETSTATE = WM_USER + 16;
constexpr UINT PBM_GETSTATE = WM_USER + 17;
constexpr WPARAM PBST_NORMAL = 1;
constexpr WPARAM PBST_ERROR = 2;
constexpr WPARAM PBST_PAUSED = 3;

// ---------------------------------------------------------------------------------------
// Animation: plays a clip of an "AVI" resource (or file) frame by frame on a timer.
constexpr DWORD ACS_CENTER = 0x1;
constexpr DWORD ACS_TRANSPARENT = 0x2;
constexpr DWORD ACS_AUTOPLAY = 0x4;
constexpr DWORD ACS_TIMER = 0x8;
constexpr UINT ACM_OPENW = WM_USER + 103;
constexpr UINT ACM_PLAY = WM_USER + 101;
constexpr UINT ACM_STOP = WM_USER + 102;
constexpr UINT ACM_ISPLAYING = WM_USER + 104;
constexpr UINT ACN_START = 1;
constexpr UINT ACN_STOP = 2;
// ACM_OPENW: wParam the module (0: the control's), lParam the resource (an ordinal or a name
// under type "AVI") or, when it is not an ordinal and no such resource exists, a file path;
// lParam 0 closes the clip. FALSE when the clip cannot be read.
inline BOOL Animate_OpenEx(HWND hwnd, HINSTANCE module, LPCWSTR name);
inline BOOL Animate_Play(HWND hwnd, UINT from, UINT to, UINT repeat);
inline BOOL Animate_Stop(HWND hwnd);
inline BOOL Animate_Close(HWND hwnd);

namespace ui {
// A decoded clip: frames as top-down 0x00RRGGBB pixels. Parse is strict: any chunk that does
// not fit its parent, a frame that does not decode to exactly the header's size, an encoding
// other than BI_RGB (8, 24, 32 bits) or BI_RLE8, or a clip without frames is refused.
struct AviClip {
  int width = 0;
  int height = 0;
  uint32_t frame_us = 0;  // time per frame
  std::vector<std::vector<uint32_t>> frames;
};
bool ParseAvi(const uint8_t* data, size_t size, AviClip* clip);

// The dialog font a control was given (WM_SETFONT), or the default GUI font.
HFONT ControlFont(HWND hwnd);
// The classic focus rectangle: dotted, drawn by inverting every other pixel.
void DrawFocusRectangle(HDC dc, const RECT& r);
}  // namespace ui

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
inline BOOL Animate_OpenEx(HWND hwnd, HINSTANCE module, LPCWSTR name) {
  return static_cast<BOOL>(SendMessageW(hwnd, ACM_OPENW, reinterpret_cast<WPARAM>(module), reinterpret_cast<LPARAM>(name)));
}
inline BOOL Animate_Play(HWND hwnd, UINT from, UINT to, UINT repeat) {
  return static_cast<BOOL>(SendMessageW(hwnd, ACM_PLAY, repeat, MAKELPARAM(static_cast<int>(from), static_cast<int>(to))));
}
inline BOOL Animate_Stop(HWND hwnd) { return static_cast<BOOL>(SendMessageW(hwnd, ACM_STOP, 0, 0)); }
inline BOOL Animate_Close(HWND hwnd) { return Animate_OpenEx(hwnd, nullptr, nullptr); }

}  // namespace win32
