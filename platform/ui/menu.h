// Menus of the window-framework stand-in: menu handles and items, owner-draw, templates,
// and TrackPopupMenu as a modal loop.
//
// What is real here: items with the MF_ flags and MENUITEMINFOW, owner-drawn items measured
// (WM_MEASUREITEM) and drawn (WM_DRAWITEM) by the owner window with their item data,
// columns from MF_MENUBREAK / MF_MENUBARBREAK, popup windows (class "#32768", a 3-pixel
// frame) that WindowFromPoint and ScreenToClient see, submenus that open when the pointer
// rests on their item or on Right / Enter, highlight by pointer and arrow keys, mnemonics
// (WM_MENUCHAR for owner-drawn items), dismissal by Esc, a click outside or WM_CANCELMODE,
// and the chosen command posted to the owner as WM_COMMAND (or returned with
// TPM_RETURNCMD). The loop offers every message to the thread's message-filter hooks with
// MSGF_MENU first; a hook that returns non-zero keeps the menu from seeing it. Mouse
// messages of the loop carry screen coordinates in lParam, and the popup under the pointer
// as their window.
// What is not: menu bars drawn in windows (a window's menu is kept, not drawn), animation,
// scrolling of menus taller than the screen, the submenu-open delay (submenus open at once,
// so tests need no timing).
#pragma once

#include "platform/ui/ui_types.h"

namespace win32 {

constexpr UINT MF_INSERT = 0x0000;
constexpr UINT MF_CHANGE = 0x0080;
constexpr UINT MF_APPEND = 0x0100;
constexpr UINT MF_DELETE = 0x0200;
constexpr UINT MF_REMOVE = 0x1000;
constexpr UINT MF_BYCOMMAND = 0x0000;
constexpr UINT MF_BYPOSITION = 0x0400;
constexpr UINT MF_SEPARATOR = 0x0800;
constexpr UINT MF_ENABLED = 0x0000;
constexpr UINT MF_GRAYED = 0x0001;
constexpr UINT MF_DISABLED = 0x0002;
constexpr UINT MF_UNCHECKED = 0x0000;
constexpr UINT MF_CHECKED = 0x0008;
constexpr UINT MF_USECHECKBITMAPS = 0x0200;
constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_BITMAP = 0x0004;
constexpr UINT MF_OWNERDRAW = 0x0100;
constexpr UINT MF_POPUP = 0x0010;
constexpr UINT MF_MENUBARBREAK = 0x0020;
constexpr UINT MF_MENUBREAK = 0x0040;
constexpr UINT MF_UNHILITE = 0x0000;
constexpr UINT MF_HILITE = 0x0080;
constexpr UINT MF_DEFAULT = 0x1000;
constexpr UINT MF_RIGHTJUSTIFY = 0x4000;
constexpr UINT MF_MOUSESELECT = 0x8000;
constexpr UINT MF_END = 0x0080;  // in templates: the last item of a level

constexpr UINT MFT_STRING = MF_STRING;
constexpr UINT MFT_BITMAP = MF_BITMAP;
constexpr UINT MFT_MENUBARBREAK = MF_MENUBARBREAK;
constexpr UINT MFT_MENUBREAK = MF_MENUBREAK;
constexpr UINT MFT_OWNERDRAW = MF_OWNERDRAW;
constexpr UINT MFT_RADIOCHECK = 0x0200;
constexpr UINT MFT_SEPARATOR = MF_SEPARATOR;
constexpr UINT MFT_RIGHTJUSTIFY = MF_RIGHTJUSTIFY;
constexpr UINT MFS_GRAYED = 0x0003;
constexpr UINT MFS_DISABLED = MFS_GRAYED;
constexpr UINT MFS_CHECKED = MF_CHECKED;
constexpr UINT MFS_HILITE = MF_HILITE;
constexpr UINT MFS_ENABLED = MF_ENABLED;
constexpr UINT MFS_UNCHECKED = MF_UNCHECKED;
constexpr UINT MFS_DEFAULT = MF_DEFAULT;

constexpr UINT MIIM_STATE = 0x0001;
constexpr UINT MIIM_ID = 0x0002;
constexpr UINT MIIM_SUBMENU = 0x0004;
constexpr UINT MIIM_CHECKMARKS = 0x0008;
constexpr UINT MIIM_TYPE = 0x0010;
constexpr UINT MIIM_DATA = 0x0020;
constexpr UINT MIIM_STRING = 0x0040;
constexpr UINT MIIM_BITMAP = 0x0080;
constexpr UINT MIIM_FTYPE = 0x0100;

struct MENUITEMINFOW {
  UINT cbSize;
  UINT fMask;
  UINT fType;
  UINT fState;
  UINT wID;
  HMENU hSubMenu;
  HBITMAP hbmpChecked;
  HBITMAP hbmpUnchecked;
  ULONG_PTR dwItemData;
  LPWSTR dwTypeData;
  UINT cch;
  HBITMAP hbmpItem;
};
static_assert(sizeof(MENUITEMINFOW) == 80 && offsetof(MENUITEMINFOW, dwItemData) == 48 &&
              offsetof(MENUITEMINFOW, cch) == 64);

// Owner-draw records, as the owner receives them.
constexpr UINT ODT_MENU = 1;
constexpr UINT ODT_STATIC = 5;
constexpr UINT ODT_BUTTON = 4;
constexpr UINT ODA_DRAWENTIRE = 0x0001;
constexpr UINT ODA_SELECT = 0x0002;
constexpr UINT ODA_FOCUS = 0x0004;
constexpr UINT ODS_SELECTED = 0x0001;
constexpr UINT ODS_GRAYED = 0x0002;
constexpr UINT ODS_DISABLED = 0x0004;
constexpr UINT ODS_CHECKED = 0x0008;
constexpr UINT ODS_FOCUS = 0x0010;
constexpr UINT ODS_DEFAULT = 0x0020;
constexpr UINT ODS_NOACCEL = 0x0100;

struct MEASUREITEMSTRUCT {
  UINT CtlType;
  UINT CtlID;
  UINT itemID;
  UINT itemWidth;
  UINT itemHeight;
  ULONG_PTR itemData;
};
static_assert(sizeof(MEASUREITEMSTRUCT) == 32 && offsetof(MEASUREITEMSTRUCT, itemData) == 24);

struct DRAWITEMSTRUCT {
  UINT CtlType;
  UINT CtlID;
  UINT itemID;
  UINT itemAction;
  UINT itemState;
  HWND hwndItem;  // for menus: the menu handle
  HDC hDC;
  RECT rcItem;
  ULONG_PTR itemData;
};
static_assert(sizeof(DRAWITEMSTRUCT) == 64 && offsetof(DRAWITEMSTRUCT, hwndItem) == 24 &&
              offsetof(DRAWITEMSTRUCT, rcItem) == 40 && offsetof(DRAWITEMSTRUCT, itemData) == 56);

constexpr UINT WM_MENUCHAR = 0x0120;
constexpr LRESULT MNC_IGNORE = 0;
constexpr LRESULT MNC_CLOSE = 1;
constexpr LRESULT MNC_EXECUTE = 2;
constexpr LRESULT MNC_SELECT = 3;

HMENU CreateMenu();
HMENU CreatePopupMenu();
BOOL DestroyMenu(HMENU menu);  // its submenus too
BOOL IsMenu(HMENU menu);
// `id_or_menu` is the command, or the submenu handle with MF_POPUP; `item` is the text
// (MF_STRING), the item data (MF_OWNERDRAW) or a bitmap (MF_BITMAP).
BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id_or_menu, LPCWSTR item);
BOOL InsertMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id_or_menu, LPCWSTR item);
BOOL ModifyMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id_or_menu, LPCWSTR item);
BOOL DeleteMenu(HMENU menu, UINT position, UINT flags);  // destroys a submenu
BOOL RemoveMenu(HMENU menu, UINT position, UINT flags);  // keeps a submenu
BOOL InsertMenuItemW(HMENU menu, UINT item, BOOL by_position, const MENUITEMINFOW* info);
BOOL GetMenuItemInfoW(HMENU menu, UINT item, BOOL by_position, MENUITEMINFOW* info);
BOOL SetMenuItemInfoW(HMENU menu, UINT item, BOOL by_position, const MENUITEMINFOW* info);
int GetMenuItemCount(HMENU menu);  // -1 for an invalid handle
UINT GetMenuItemID(HMENU menu, int position);  // -1 for a popup or no item
HMENU GetSubMenu(HMENU menu, int position);
UINT GetMenuState(HMENU menu, UINT id, UINT flags);  // -1 when there is no such item
int GetMenuStringW(HMENU menu, UINT id, LPWSTR buffer, int count, UINT flags);
DWORD CheckMenuItem(HMENU menu, UINT id, UINT check);  // the previous state, or -1
BOOL EnableMenuItem(HMENU menu, UINT id, UINT enable);  // the previous state, or -1
BOOL SetMenuDefaultItem(HMENU menu, UINT item, UINT by_position);  // -1 clears
UINT GetMenuDefaultItem(HMENU menu, UINT by_position, UINT flags);
BOOL GetMenuItemRect(HWND hwnd, HMENU menu, UINT position, RECT* rect);  // only while shown
HMENU GetMenu(HWND hwnd);
BOOL SetMenu(HWND hwnd, HMENU menu);

HMENU LoadMenuIndirectW(const void* menu_template);

constexpr UINT TPM_LEFTBUTTON = 0x0000;
constexpr UINT TPM_RIGHTBUTTON = 0x0002;
constexpr UINT TPM_LEFTALIGN = 0x0000;
constexpr UINT TPM_CENTERALIGN = 0x0004;
constexpr UINT TPM_RIGHTALIGN = 0x0008;
constexpr UINT TPM_TOPALIGN = 0x0000;
constexpr UINT TPM_VCENTERALIGN = 0x0010;
constexpr UINT TPM_BOTTOMALIGN = 0x0020;
constexpr UINT TPM_NONOTIFY = 0x0080;
constexpr UINT TPM_RETURNCMD = 0x0100;
// Runs the menu on the calling thread until it is dismissed or an item is chosen.
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner, const RECT* rect);
BOOL EndMenu();

}  // namespace win32
