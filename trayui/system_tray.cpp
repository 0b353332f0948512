#include "trayui/system_tray.h"

#include <algorithm>

namespace trayui {

UINT TrayCallbackMessage() {
  static const UINT message = RegisterWindowMessageW(u"{4EA84FBF-A61C-4D14-9682-6B68ACC34A69}");
  return message;
}

BEGIN_MESSAGE_MAP(CSystemTray, CWnd)
  ON_WM_TIMER()
END_MESSAGE_MAP()

CSystemTray::~CSystemTray() {
  delete m_pMenu;
  m_pMenu = nullptr;
  if (m_bIconAdded) {
    m_nid.uFlags = 0;
    Shell_NotifyIconW(NIM_DELETE, &m_nid);
    m_bIconAdded = FALSE;
  }
  if (m_hWnd != nullptr) DestroyWindow();
}

BOOL CSystemTray::Create(CWnd* owner, LPCWSTR tip, HICON icon) {
  if ((GetVersion() & 0xFF) < 4) {
    m_bIconAdded = FALSE;
    return FALSE;
  }
  if (!CreateEx(0, AfxRegisterWndClass(0), u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr)) return FALSE;
  m_nid = NOTIFYICONDATAW{};
  m_nid.cbSize = sizeof(NOTIFYICONDATAW);
  m_nid.hWnd = owner != nullptr && owner->m_hWnd != nullptr ? owner->m_hWnd : m_hWnd;
  m_nid.uID = kIconId;
  m_nid.uCallbackMessage = TrayCallbackMessage();
  m_nid.hIcon = icon;
  m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  if (tip != nullptr) {
    // Callers give at most 127 characters; a longer text is cut rather than overrun the field.
    const size_t n = std::min(std::char_traits<char16_t>::length(tip), kTipCapacity - 1);
    std::copy_n(tip, n, m_nid.szTip);
  }
  m_bIconAdded = Shell_NotifyIconW(NIM_ADD, &m_nid);
  return m_bIconAdded;
}

LRESULT CSystemTray::HandleIconEvent(WPARAM id, LPARAM event) {
  if (id != kIconId) return 0;
  CWnd* main = AfxGetMainWnd();
  switch (LOWORD(static_cast<uintptr_t>(event))) {
    case WM_LBUTTONDOWN:
      GetCursorPos(&m_clickPoint);
      SetTimer(kClickTimer, GetDoubleClickTime() + kClickTimerSlackMs);
      break;
    case WM_RBUTTONDOWN: {
      POINT p{};
      GetCursorPos(&p);
      return PopupMenu(WM_RBUTTONDOWN, p.x, p.y);
    }
    case WM_LBUTTONDBLCLK:
      // The pending short menu is cancelled; the command has no handler, so nothing shows.
      KillTimer(kClickTimer);
      if (main != nullptr) main->SendMessage(WM_COMMAND, 515, 0);
      break;
    default:
      break;
  }
  return 1;
}

void CSystemTray::OnTimer(UINT_PTR id) {
  if (id != kClickTimer) return;
  KillTimer(kClickTimer);
  PopupMenu(WM_LBUTTONDOWN, m_clickPoint.x, m_clickPoint.y);
}

BOOL CSystemTray::PopupMenu(UINT event, int x, int y) {
  if (m_bInMenu) return 0;
  delete m_pMenu;
  m_pMenu = nullptr;
  CWnd* main = AfxGetMainWnd();
  if (!BuildMenu(&m_pMenu, LOWORD(event) == WM_RBUTTONDOWN)) return 0;
  HMENU popup = m_pMenu != nullptr ? m_pMenu->GetSubMenuHandle(0) : nullptr;
  if (popup == nullptr) return 0;
  // Without a main window (before start-up finished) the menu belongs to the icon's window.
  HWND owner = main != nullptr ? main->m_hWnd : m_nid.hWnd;
  m_bInMenu = 1;
  ::win32::SetForegroundWindow(owner);
  ::win32::TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, x, y, 0, owner, nullptr);
  m_bInMenu = 0;
  return 1;
}

BOOL CSystemTray::BuildMenu(BCMenu** slot, BOOL) {
  try {
    BCMenu* menu = AfxNew<BCMenu>();
    if (!menu->LoadMenu(kIconId)) {
      delete menu;
      AfxThrowResourceException();
    }
    *slot = menu;
    return TRUE;
  } catch (CException* e) {
    e->ReportError();
    e->Delete();
    return FALSE;
  }
}

LRESULT CSystemTray::WindowProc(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == TrayCallbackMessage()) return HandleIconEvent(wparam, lparam);
  return CWnd::WindowProc(message, wparam, lparam);
}

}  // namespace trayui
