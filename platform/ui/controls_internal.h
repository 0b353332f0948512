// Inside the controls: what the control files share.
#pragma once

#include <string>

#include "platform/ui/controls.h"
#include "platform/ui/gdi.h"
#include "platform/ui/text.h"
#include "platform/ui/window.h"

namespace win32::ui {

// Every control keeps its state object in the first 8 bytes of its window extra.
template <typename T>
T* ControlState(HWND hwnd) {
  return reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, 0));
}
template <typename T>
void AttachState(HWND hwnd, T* state) {
  SetWindowLongPtrW(hwnd, 0, reinterpret_cast<LONG_PTR>(state));
}

// Asks the parent for the colours of a static-like control (WM_CTLCOLORSTATIC and kin);
// without an answer the 3D face and the window text, as DefWindowProc gives them.
HBRUSH ParentBrush(HWND hwnd, HDC dc, UINT message = WM_CTLCOLORSTATIC);
// Sends WM_COMMAND with a notification code to the parent.
void NotifyParent(HWND hwnd, UINT code);
std::u16string TextOf(HWND hwnd);
DWORD StyleBits(HWND hwnd);
void RegisterClass(LPCWSTR name, WNDPROC proc, UINT style = CS_DBLCLKS);

LRESULT LinkProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT ProgressProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT AnimateProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT EditProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
void RegisterDialogClass();

}  // namespace win32::ui
