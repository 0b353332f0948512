// Clipboard of the window-framework stand-in: CF_UNICODETEXT between the program's windows,
// with the platform's protocol (open, empty to own it, set or get, close) and movable memory
// blocks (GlobalAlloc) to carry the data. The block handed to SetClipboardData belongs to the
// clipboard from then on; GetClipboardData's block stays the clipboard's.
//
// What is not: other formats, delayed rendering, the desktop's own clipboard (a presenter
// for a real display will connect it here).
#pragma once

#include <cstddef>

#include "platform/ui/ui_types.h"

namespace win32 {

constexpr UINT CF_TEXT = 1;
constexpr UINT CF_UNICODETEXT = 13;
constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr DWORD ERROR_CLIPBOARD_NOT_OPEN = 1418;

HGLOBAL GlobalAlloc(UINT flags, size_t bytes);
void* GlobalLock(HGLOBAL block);
BOOL GlobalUnlock(HGLOBAL block);
size_t GlobalSize(HGLOBAL block);
HGLOBAL GlobalFree(HGLOBAL block);  // null on success

// Fails while another thread has it open (ERROR_ACCESS_DENIED).
BOOL OpenClipboard(HWND owner);
BOOL CloseClipboard();
BOOL EmptyClipboard();  // only while open
// The data travel as memory blocks (the platform's HANDLE is the kernel objects' type here).
HGLOBAL SetClipboardData(UINT format, HGLOBAL data);
HGLOBAL GetClipboardData(UINT format);
BOOL IsClipboardFormatAvailable(UINT format);

}  // namespace win32
