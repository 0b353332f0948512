// CSystemTray: the program's one notification-area icon and what its clicks mean. A right
// press shows the full menu at once; a left press shows the short menu once the
// double-click time (+ 25 ms) has passed without a double click; a double click shows
// nothing. What the menus hold is the derived class's (BuildMenu).
#pragma once

#include "platform/afx/afx.h"
#include "platform/ui/shell.h"
#include "trayui/bcmenu.h"

namespace trayui {

// The shell's callback message for the icon, registered on first use under the program's
// own name, so every window that forwards it sees the same number.
UINT TrayCallbackMessage();

class CSystemTray : public CWnd {
 public:
  static constexpr UINT kIconId = 103;  // also the default menu template
  static constexpr UINT_PTR kClickTimer = 4564;
  static constexpr UINT kClickTimerSlackMs = 25;
  static constexpr size_t kTipCapacity = 128;  // characters with the terminator

  CSystemTray() = default;
  ~CSystemTray() override;  // removes the icon

  // Creates the hidden window and adds the icon; the shell's answer. Fails at once on a
  // system older than version 4. The callback goes to `owner`'s window when it has one.
  BOOL Create(CWnd* owner, LPCWSTR tip, HICON icon);

  // The shell's notification for an icon: 1 when it was this icon's, else 0.
  virtual LRESULT HandleIconEvent(WPARAM id, LPARAM event);
  // 1 when a menu was shown (after it closed), 0 otherwise.
  virtual BOOL PopupMenu(UINT event, int x, int y);
  // Builds the menu to show into *slot (full for a right-button press).
  virtual BOOL BuildMenu(BCMenu** slot, BOOL full);

  BOOL InMenu() const { return m_bInMenu != 0; }
  void SetInMenu(bool on) { m_bInMenu = on ? 1 : 0; }
  BOOL IconAdded() const { return m_bIconAdded; }
  const NOTIFYICONDATAW& NotifyRecord() const { return m_nid; }
  BCMenu* CurrentMenu() const { return m_pMenu; }

  LRESULT WindowProc(UINT message, WPARAM wparam, LPARAM lparam) override;
  void OnTimer(UINT_PTR id);

 protected:
  uint8_t m_bInMenu = 0;
  BOOL m_bIconAdded = FALSE;
  NOTIFYICONDATAW m_nid{};
  BCMenu* m_pMenu = nullptr;  // owned
  POINT m_clickPoint{};

  DECLARE_MESSAGE_MAP()
};

}  // namespace trayui
