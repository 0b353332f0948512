// What the framework layer needs from the dialog manager and message boxes of the
// window-framework stand-in, declared here in one place. Until that work lands, the message
// box is served by message_box_fallback.cpp (recorded, answered by script); when it lands,
// this file includes its headers instead and the fallback file goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/ui_types.h"

namespace win32 {

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x00000040;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_TYPEMASK = 0x0000000F;
constexpr UINT MB_ICONMASK = 0x000000F0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// The header of every WM_NOTIFY.
struct NMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
};
static_assert(sizeof(NMHDR) == 24 && offsetof(NMHDR, code) == 16);

// The dialog manager. Declared weak until it lands, so that the framework links without it;
// CDialog then fails its creation (DialogManagerPresent() is false). Drop the weak attribute
// with this file.
#pragma pack(push, 2)
struct DLGTEMPLATE {
  DWORD style;
  DWORD dwExtendedStyle;
  uint16_t cdit;
  int16_t x;
  int16_t y;
  int16_t cx;
  int16_t cy;
};
#pragma pack(pop)
static_assert(sizeof(DLGTEMPLATE) == 18 && offsetof(DLGTEMPLATE, cdit) == 8 && offsetof(DLGTEMPLATE, cy) == 16);
using DLGPROC = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);
[[gnu::weak]] INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, const DLGTEMPLATE* dialog_template, HWND owner,
                                              DLGPROC proc, LPARAM param);
[[gnu::weak]] HWND CreateDialogIndirectParamW(HINSTANCE instance, const DLGTEMPLATE* dialog_template, HWND owner,
                                              DLGPROC proc, LPARAM param);
[[gnu::weak]] BOOL EndDialog(HWND dialog, INT_PTR result);
[[gnu::weak]] BOOL IsDialogMessageW(HWND dialog, MSG* msg);
inline bool DialogManagerPresent() {
  return &DialogBoxIndirectParamW != nullptr && &CreateDialogIndirectParamW != nullptr && &EndDialog != nullptr &&
         &IsDialogMessageW != nullptr;
}

namespace testing {
// The fallback's record of the boxes shown, and the answer it gives (IDOK unless set; a
// button the box does not have is answered with its first).
struct MessageBoxShown {
  HWND owner;
  std::u16string text;
  std::u16string caption;
  UINT type;
};
std::vector<MessageBoxShown> MessageBoxesShown();
void SetMessageBoxAnswer(int answer);
void ResetMessageBoxes();
}  // namespace testing

}  // namespace win32
