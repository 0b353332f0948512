// The open-file common dialog of the window-framework stand-in: GetOpenFileNameW with the
// OPENFILENAMEW record and CommDlgExtendedError.
//
// What is real here: the record checked as the platform checks it (the two record sizes it
// accepts, a file buffer), the filter pairs, the initial folder (lpstrInitialDir, else the
// folder of a path already in lpstrFile, else the current folder), the default extension
// added to a name without one, OFN_PATHMUSTEXIST / OFN_FILEMUSTEXIST refusing a name and
// keeping the dialog open, OFN_NOCHANGEDIR (without it the current folder follows the
// choice), the chosen path with nFileOffset / nFileExtension, and a short buffer failing with
// FNERR_BUFFERTOOSMALL and the needed size, in characters, in its first two bytes.
// Paths are this system's: '/' separates folders ('\\' is accepted as well).
// The answer comes from a provider: a script set by a test, or else a dialog of our own
// controls (the folder's entries filtered by the current filter, a name field, a button that
// steps through the filters, Open and Cancel) that a person or the automation interface
// drives. Clicking an entry puts its name in the name field; Open on a folder's name (or
// "..") goes into it, and Open on a pattern ("*.cue") lists what matches it.
// What is not: hooks and custom templates (OFN_ENABLEHOOK / OFN_ENABLETEMPLATE* fail with
// CDERR_DIALOGFAILURE), multiple selection, the read-only box (always hidden), scrolling the
// list past what fits (type the name), the save dialog.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/ui_types.h"

namespace win32 {

using LPOFNHOOKPROC = UINT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

struct OPENFILENAMEW {
  DWORD lStructSize;
  HWND hwndOwner;
  HINSTANCE hInstance;
  LPCWSTR lpstrFilter;  // pairs of description and ';'-separated patterns, ending in an empty string
  LPWSTR lpstrCustomFilter;
  DWORD nMaxCustFilter;
  DWORD nFilterIndex;  // 1-based; 0 (no custom filter here) means the first
  LPWSTR lpstrFile;    // in: the name the field starts with; out: the chosen path
  DWORD nMaxFile;      // characters, terminator included
  LPWSTR lpstrFileTitle;
  DWORD nMaxFileTitle;
  LPCWSTR lpstrInitialDir;
  LPCWSTR lpstrTitle;
  DWORD Flags;
  WORD nFileOffset;
  WORD nFileExtension;
  LPCWSTR lpstrDefExt;
  LPARAM lCustData;
  LPOFNHOOKPROC lpfnHook;
  LPCWSTR lpTemplateName;
  void* pvReserved;
  DWORD dwReserved;
  DWORD FlagsEx;
};
static_assert(sizeof(void*) != 8 ||
              (sizeof(OPENFILENAMEW) == 152 && offsetof(OPENFILENAMEW, hwndOwner) == 8 &&
               offsetof(OPENFILENAMEW, lpstrFilter) == 24 && offsetof(OPENFILENAMEW, nFilterIndex) == 44 &&
               offsetof(OPENFILENAMEW, lpstrFile) == 48 && offsetof(OPENFILENAMEW, nMaxFile) == 56 &&
               offsetof(OPENFILENAMEW, lpstrInitialDir) == 80 && offsetof(OPENFILENAMEW, lpstrTitle) == 88 &&
               offsetof(OPENFILENAMEW, Flags) == 96 && offsetof(OPENFILENAMEW, nFileOffset) == 100 &&
               offsetof(OPENFILENAMEW, nFileExtension) == 102 && offsetof(OPENFILENAMEW, lpstrDefExt) == 104 &&
               offsetof(OPENFILENAMEW, pvReserved) == 136));
// The record before the three trailing fields, which the platform still accepts.
constexpr DWORD OPENFILENAME_SIZE_VERSION_400W = offsetof(OPENFILENAMEW, pvReserved);

constexpr DWORD OFN_READONLY = 0x00000001;
constexpr DWORD OFN_OVERWRITEPROMPT = 0x00000002;
constexpr DWORD OFN_HIDEREADONLY = 0x00000004;
constexpr DWORD OFN_NOCHANGEDIR = 0x00000008;
constexpr DWORD OFN_ENABLEHOOK = 0x00000020;
constexpr DWORD OFN_ENABLETEMPLATE = 0x00000040;
constexpr DWORD OFN_ENABLETEMPLATEHANDLE = 0x00000080;
constexpr DWORD OFN_NOVALIDATE = 0x00000100;
constexpr DWORD OFN_ALLOWMULTISELECT = 0x00000200;
constexpr DWORD OFN_EXTENSIONDIFFERENT = 0x00000400;
constexpr DWORD OFN_PATHMUSTEXIST = 0x00000800;
constexpr DWORD OFN_FILEMUSTEXIST = 0x00001000;
constexpr DWORD OFN_EXPLORER = 0x00080000;
constexpr DWORD OFN_ENABLESIZING = 0x00800000;
constexpr DWORD OFN_FORCESHOWHIDDEN = 0x10000000;

constexpr DWORD CDERR_DIALOGFAILURE = 0xFFFF;
constexpr DWORD CDERR_STRUCTSIZE = 0x0001;
constexpr DWORD CDERR_INITIALIZATION = 0x0002;
constexpr DWORD FNERR_INVALIDFILENAME = 0x3002;
constexpr DWORD FNERR_BUFFERTOOSMALL = 0x3003;

// TRUE with the path in lpstrFile; FALSE on cancel (CommDlgExtendedError 0) or on an error
// (CommDlgExtendedError says which). OFN_EXTENSIONDIFFERENT is set in Flags when the chosen
// name's extension is not lpstrDefExt.
BOOL GetOpenFileNameW(OPENFILENAMEW* ofn);
DWORD CommDlgExtendedError();  // of the calling thread's last common-dialog call

namespace ui {
// Control IDs inside the open-file dialog.
inline constexpr int kOpenFileNameId = 0x480;    // the name field
inline constexpr int kOpenFileListId = 0x460;    // the entries; its text is them, one a line
inline constexpr int kOpenFileFolderId = 0x443;  // the folder shown
inline constexpr int kOpenFileTypeId = 0x470;    // steps through the filters
}  // namespace ui

namespace testing {
// What a call asked for, as the provider saw it.
struct OpenFileAsked {
  HWND owner;
  std::u16string title;
  std::vector<std::pair<std::u16string, std::u16string>> filters;  // description, patterns
  DWORD filter_index;
  std::u16string folder;     // where the dialog opened
  std::u16string file_name;  // what the name field started with
  std::u16string def_ext;
  DWORD flags;
  std::vector<std::u16string> refused;  // answers the checks turned down, in order
};
// A scripted answer: a path (absolute, or a name in the folder asked) or a cancel.
struct OpenFileAnswer {
  bool cancel = false;
  std::u16string path;
};
// From here on GetOpenFileNameW takes its answers from the script, in order, without showing
// a dialog; an answer the checks refuse is recorded and the next one is taken, as a person
// tries again; once the script is used up every call is a cancel.
void SetOpenFileAnswers(std::vector<OpenFileAnswer> answers);
std::vector<OpenFileAsked> OpenFileRequests();
void ResetOpenFile();  // clears the records and shows the dialog again
}  // namespace testing

}  // namespace win32
