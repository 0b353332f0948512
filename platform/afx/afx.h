// The application framework the tray program is written in, in the manner of the platform's
// class framework: command targets with message maps, windows bound to handles through a
// handle map, command enabling before dispatch, data exchange with controls, the
// application object and its message loop, the framework's exceptions and message box.
//
// Message maps are tables built by the macros below, one per class, chained to the base's;
// each entry carries a typed thunk, so a handler is called with exactly its own signature.
// Dispatch order of a menu command (WM_COMMAND with no control and code 0): the item's
// update-command-UI handler is called once with a test object; when it leaves the item
// disabled the command is dropped, otherwise the command handler runs. A program may rely on
// that order (the tray program toggles its two switches in the enabling handler).
#pragma once

#include <map>
#include <memory>
#include <new>
#include <string>

#include "platform/afx/dialog_seam.h"
#include "platform/ui/afx_menu.h"
#include "platform/ui/window.h"

namespace win32 {

class CCmdTarget;
class CCmdUI;
class CWnd;
class CDataExchange;

// ---------------------------------------------------------------------------------------
// Message maps.
constexpr int CN_COMMAND = 0;
constexpr int CN_UPDATE_COMMAND_UI = -1;

struct AfxCall {
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  UINT id;             // commands and notifications
  CCmdUI* cmd_ui;      // update-command-UI
  NMHDR* nmhdr;        // notifications
  LRESULT* result;     // notifications
};
using AfxThunk = LRESULT (*)(CCmdTarget* self, const AfxCall& call);

enum class AfxEntryKind : uint8_t { kEnd, kCommand, kUpdateCommandUI, kNotify, kMessage, kRegisteredMessage };

struct AFX_MSGMAP_ENTRY {
  AfxEntryKind kind;
  UINT message;           // kMessage
  const UINT* registered; // kRegisteredMessage: where the registered number is kept
  UINT code;              // kCommand: notification code (0 for menus); kNotify: the NMHDR code
  UINT first_id;
  UINT last_id;
  AfxThunk thunk;
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* (*base)();  // null at the root
  const AFX_MSGMAP_ENTRY* entries;  // ends with a kEnd entry
};

namespace afx_thunk {
template <class T, void (T::*F)()>
LRESULT Void(CCmdTarget* s, const AfxCall&) {
  (static_cast<T*>(s)->*F)();
  return 0;
}
template <class T, void (T::*F)(UINT)>
LRESULT Range(CCmdTarget* s, const AfxCall& c) {
  (static_cast<T*>(s)->*F)(c.id);
  return 0;
}
template <class T, void (T::*F)(CCmdUI*)>
LRESULT Update(CCmdTarget* s, const AfxCall& c) {
  (static_cast<T*>(s)->*F)(c.cmd_ui);
  return 0;
}
template <class T, void (T::*F)(NMHDR*, LRESULT*)>
LRESULT Notify(CCmdTarget* s, const AfxCall& c) {
  (static_cast<T*>(s)->*F)(c.nmhdr, c.result);
  return 0;
}
template <class T, LRESULT (T::*F)(WPARAM, LPARAM)>
LRESULT Message(CCmdTarget* s, const AfxCall& c) {
  return (static_cast<T*>(s)->*F)(c.wparam, c.lparam);
}
template <class T, void (T::*F)(UINT_PTR)>
LRESULT Timer(CCmdTarget* s, const AfxCall& c) {
  (static_cast<T*>(s)->*F)(c.wparam);
  return 0;
}
template <class T, int (T::*F)(CREATESTRUCTW*)>
LRESULT Create(CCmdTarget* s, const AfxCall& c) {
  return (static_cast<T*>(s)->*F)(reinterpret_cast<CREATESTRUCTW*>(c.lparam));
}
template <class T, void (T::*F)(int, MEASUREITEMSTRUCT*)>
LRESULT Measure(CCmdTarget* s, const AfxCall& c) {
  (static_cast<T*>(s)->*F)(static_cast<int>(c.wparam), reinterpret_cast<MEASUREITEMSTRUCT*>(c.lparam));
  return TRUE;
}
template <class T, void (T::*F)(int, DRAWITEMSTRUCT*)>
LRESULT Draw(CCmdTarget* s, const AfxCall& c) {
  (static_cast<T*>(s)->*F)(static_cast<int>(c.wparam), reinterpret_cast<DRAWITEMSTRUCT*>(c.lparam));
  return TRUE;
}
}  // namespace afx_thunk

#define DECLARE_MESSAGE_MAP()                                    \
 protected:                                                      \
  static const ::win32::AFX_MSGMAP* GetThisMessageMap();         \
  const ::win32::AFX_MSGMAP* GetMessageMap() const override;     \
                                                                 \
 private:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                              \
  const ::win32::AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
  const ::win32::AFX_MSGMAP* theClass::GetThisMessageMap() {                                 \
    using ThisClass = theClass;                                                              \
    using TheBaseClass = baseClass;                                                          \
    static const ::win32::AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP()                                                                 \
  {::win32::AfxEntryKind::kEnd, 0, nullptr, 0, 0, 0, nullptr}};                           \
  static const ::win32::AFX_MSGMAP map = {&TheBaseClass::GetThisMessageMap, entries};     \
  return &map;                                                                            \
  }

#define ON_COMMAND(id, fn) \
  {::win32::AfxEntryKind::kCommand, WM_COMMAND, nullptr, 0, (id), (id), &::win32::afx_thunk::Void<ThisClass, &ThisClass::fn>},
#define ON_COMMAND_RANGE(first, last, fn)                                     \
  {::win32::AfxEntryKind::kCommand, WM_COMMAND, nullptr, 0, (first), (last), \
   &::win32::afx_thunk::Range<ThisClass, &ThisClass::fn>},
#define ON_CONTROL(code, id, fn)                                                     \
  {::win32::AfxEntryKind::kCommand, WM_COMMAND, nullptr, static_cast<UINT>(code), (id), (id), \
   &::win32::afx_thunk::Void<ThisClass, &ThisClass::fn>},
#define ON_BN_CLICKED(id, fn) ON_CONTROL(::win32::BN_CLICKED, id, fn)
#define ON_UPDATE_COMMAND_UI(id, fn)                                    \
  {::win32::AfxEntryKind::kUpdateCommandUI, WM_COMMAND, nullptr, 0, (id), (id), \
   &::win32::afx_thunk::Update<ThisClass, &ThisClass::fn>},
#define ON_UPDATE_COMMAND_UI_RANGE(first, last, fn)                              \
  {::win32::AfxEntryKind::kUpdateCommandUI, WM_COMMAND, nullptr, 0, (first), (last), \
   &::win32::afx_thunk::Update<ThisClass, &ThisClass::fn>},
#define ON_NOTIFY(code, id, fn)                                                        \
  {::win32::AfxEntryKind::kNotify, WM_NOTIFY, nullptr, static_cast<UINT>(code), (id), (id), \
   &::win32::afx_thunk::Notify<ThisClass, &ThisClass::fn>},
#define ON_MESSAGE(message, fn) \
  {::win32::AfxEntryKind::kMessage, (message), nullptr, 0, 0, 0, &::win32::afx_thunk::Message<ThisClass, &ThisClass::fn>},
#define ON_REGISTERED_MESSAGE(number_variable, fn)                         \
  {::win32::AfxEntryKind::kRegisteredMessage, 0, &(number_variable), 0, 0, 0, \
   &::win32::afx_thunk::Message<ThisClass, &ThisClass::fn>},
#define ON_WM_TIMER() \
  {::win32::AfxEntryKind::kMessage, WM_TIMER, nullptr, 0, 0, 0, &::win32::afx_thunk::Timer<ThisClass, &ThisClass::OnTimer>},
#define ON_WM_CREATE() \
  {::win32::AfxEntryKind::kMessage, WM_CREATE, nullptr, 0, 0, 0, &::win32::afx_thunk::Create<ThisClass, &ThisClass::OnCreate>},
#define ON_WM_DESTROY() \
  {::win32::AfxEntryKind::kMessage, WM_DESTROY, nullptr, 0, 0, 0, &::win32::afx_thunk::Void<ThisClass, &ThisClass::OnDestroy>},
#define ON_WM_CLOSE() \
  {::win32::AfxEntryKind::kMessage, WM_CLOSE, nullptr, 0, 0, 0, &::win32::afx_thunk::Void<ThisClass, &ThisClass::OnClose>},
#define ON_WM_MEASUREITEM()                                   \
  {::win32::AfxEntryKind::kMessage, WM_MEASUREITEM, nullptr, 0, 0, 0, \
   &::win32::afx_thunk::Measure<ThisClass, &ThisClass::OnMeasureItem>},
#define ON_WM_DRAWITEM() \
  {::win32::AfxEntryKind::kMessage, WM_DRAWITEM, nullptr, 0, 0, 0, &::win32::afx_thunk::Draw<ThisClass, &ThisClass::OnDrawItem>},

// ---------------------------------------------------------------------------------------
// Exceptions. Thrown as pointers, caught as CException*, ended with Delete(), as the
// framework's are. The memory exception is one static object (there may be no memory left
// to make another).
class CException {
 public:
  explicit CException(bool auto_delete = true) : m_bAutoDelete(auto_delete) {}
  virtual ~CException() = default;
  virtual BOOL GetErrorMessage(LPWSTR buffer, UINT max, UINT* help_context = nullptr) const;
  virtual std::u16string ErrorMessage() const;
  // Shows the error message in the framework's message box; `message_id` is a string shown
  // instead when the exception has no text of its own.
  virtual int ReportError(UINT type = MB_OK, UINT message_id = 0) const;
  void Delete();
  bool m_bAutoDelete;
};
class CMemoryException : public CException {
 public:
  using CException::CException;
  std::u16string ErrorMessage() const override { return u"Out of memory."; }
};
class CResourceException : public CException {
 public:
  using CException::CException;
  std::u16string ErrorMessage() const override { return u"A required resource was unavailable."; }
};
// Ends a data exchange quietly: the message was shown before it was thrown.
class CUserException : public CException {
 public:
  using CException::CException;
};
[[noreturn]] void AfxThrowMemoryException();
[[noreturn]] void AfxThrowResourceException();
[[noreturn]] void AfxThrowUserException();

// `new T(args...)` that fails as the framework's allocator does, with a CMemoryException.
template <class T, class... Args>
T* AfxNew(Args&&... args);

// ---------------------------------------------------------------------------------------
// Command targets and command enabling.
class CCmdTarget {
 public:
  CCmdTarget() = default;
  CCmdTarget(const CCmdTarget&) = delete;
  CCmdTarget& operator=(const CCmdTarget&) = delete;
  virtual ~CCmdTarget() = default;

  // Routes a command (code CN_COMMAND or a control's notification code), an enabling request
  // (CN_UPDATE_COMMAND_UI, extra = the CCmdUI) or a notification (code MAKELONG(NMHDR code,
  // WM_NOTIFY), extra = the AfxCall) through this object's message map. TRUE when handled.
  virtual BOOL OnCmdMsg(UINT id, int code, void* extra);
  // Whether the map chain has a command handler for `id` (none is called).
  BOOL HasCommandHandler(UINT id) const;

 protected:
  static const AFX_MSGMAP* GetThisMessageMap();
  virtual const AFX_MSGMAP* GetMessageMap() const;
  // The entry of the map chain that takes `message` (not commands), or null.
  const AFX_MSGMAP_ENTRY* FindMessageEntry(UINT message) const;
};

class CCmdUI {
 public:
  virtual ~CCmdUI() = default;
  UINT m_nID = 0;
  UINT m_nIndex = 0;       // position in m_pMenu
  CMenu* m_pMenu = nullptr;
  HMENU m_hMenu = nullptr; // the menu the item is in when there is no CMenu for it
  CWnd* m_pOther = nullptr;
  BOOL m_bEnableChanged = FALSE;

  virtual void Enable(BOOL on = TRUE);
  virtual void SetCheck(int check = 1);
  virtual void SetText(LPCWSTR text);
  // Asks `target` for the item's state; with disable_if_no_handler an item nobody handles
  // is disabled. TRUE when a handler answered.
  BOOL DoUpdate(CCmdTarget* target, BOOL disable_if_no_handler);

 private:
  HMENU MenuHandle() const;
};

// ---------------------------------------------------------------------------------------
// Windows.
class CWnd : public CCmdTarget {
 public:
  CWnd() = default;
  ~CWnd() override;  // destroys a window still attached

  HWND m_hWnd = nullptr;
  operator HWND() const { return m_hWnd; }
  HWND GetSafeHwnd() const { return m_hWnd; }

  // The permanent object of a window, else one made for the moment (deleted when the
  // thread's loop is next idle, as the framework's temporary objects are); null for null.
  static CWnd* FromHandle(HWND hwnd);
  static CWnd* FromHandlePermanent(HWND hwnd);
  BOOL Attach(HWND hwnd);
  HWND Detach();
  // Routes a window of another class (a control) through this object's message map.
  BOOL SubclassWindow(HWND hwnd);
  BOOL SubclassDlgItem(UINT id, CWnd* parent);
  HWND UnsubclassWindow();

  virtual BOOL CreateEx(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x, int y,
                        int width, int height, HWND parent, HMENU menu_or_id, LPVOID param = nullptr);
  virtual BOOL DestroyWindow();

  virtual LRESULT WindowProc(UINT message, WPARAM wparam, LPARAM lparam);
  virtual BOOL OnWndMsg(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result);
  virtual BOOL OnCommand(WPARAM wparam, LPARAM lparam);
  virtual BOOL OnNotify(WPARAM wparam, LPARAM lparam, LRESULT* result);
  virtual LRESULT DefWindowProc(UINT message, WPARAM wparam, LPARAM lparam);
  virtual BOOL PreTranslateMessage(MSG* msg);
  virtual void PostNcDestroy() {}
  virtual void DoDataExchange(CDataExchange*) {}
  BOOL UpdateData(BOOL save_and_validate = TRUE);
  LRESULT Default();  // the message being handled, to the default procedure

  LRESULT SendMessage(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const;
  BOOL PostMessage(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const;
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse_ms, TIMERPROC proc = nullptr);
  BOOL KillTimer(UINT_PTR id);
  BOOL ShowWindow(int command);
  BOOL SetForegroundWindow();
  BOOL EnableWindow(BOOL enable = TRUE);
  BOOL IsWindowEnabled() const;
  BOOL IsWindowVisible() const;
  void SetWindowText(const std::u16string& text);
  std::u16string GetWindowText() const;
  int GetDlgCtrlID() const;
  CWnd* GetDlgItem(int id) const;
  CWnd* GetParent() const;
  void SetDlgItemText(int id, const std::u16string& text);
  std::u16string GetDlgItemText(int id) const;
  void CheckDlgButton(int id, UINT check);
  UINT IsDlgButtonChecked(int id) const;
  // The window a message box of this window belongs to: its top-level window.
  HWND GetSafeOwner() const;
  int MessageBox(LPCWSTR text, LPCWSTR caption = nullptr, UINT type = MB_OK);

  // Default handlers the ON_WM_ entries of derived maps name; each passes its message on.
  void OnTimer(UINT_PTR id);
  int OnCreate(CREATESTRUCTW* cs);
  void OnDestroy();
  void OnClose();
  void OnMeasureItem(int id, MEASUREITEMSTRUCT* mis);
  void OnDrawItem(int id, DRAWITEMSTRUCT* dis);

  static LRESULT AfxWndProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

 protected:
  WNDPROC m_pfnSuper = nullptr;  // the procedure of a subclassed window

 private:
  void OnNcDestroy();
};

// Registers (once) a window class of the framework's procedure with these styles, cursor,
// background and icon, and gives its name, valid for the life of the process.
LPCWSTR AfxRegisterWndClass(UINT class_style, HCURSOR cursor = nullptr, HBRUSH background = nullptr,
                            HICON icon = nullptr);

// ---------------------------------------------------------------------------------------
// Dialogs: a dialog template resource run by the dialog manager, its window routed through
// the message map like any other (the dialog manager's procedure behind it), data exchanged
// at WM_INITDIALOG and on OK.
class CDialog : public CWnd {
 public:
  explicit CDialog(UINT template_id, CWnd* parent = nullptr) : m_nIDTemplate(template_id), m_pParentWnd(parent) {}

  // The button that ended it, or -1 when the dialog could not be made.
  virtual INT_PTR DoModal();
  // Modeless.
  BOOL Create(UINT template_id, CWnd* parent = nullptr);
  void EndDialog(int result);

  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  BOOL PreTranslateMessage(MSG* msg) override;

  UINT m_nIDTemplate;
  CWnd* m_pParentWnd;
  INT_PTR m_nModalResult = -1;

  // The dialog procedure the framework gives the dialog manager: it binds the object at
  // WM_INITDIALOG (lParam) and leaves every other message to the message map.
  static INT_PTR AfxDlgProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

 private:
  const DLGTEMPLATE* LoadTemplate(UINT id) const;
  HWND OwnerWindow() const;

  DECLARE_MESSAGE_MAP()
};

// ---------------------------------------------------------------------------------------
// Data exchange.
class CDataExchange {
 public:
  CDataExchange(CWnd* dialog, BOOL save_and_validate) : m_bSaveAndValidate(save_and_validate), m_pDlgWnd(dialog) {}
  BOOL m_bSaveAndValidate;
  CWnd* m_pDlgWnd;
  HWND PrepareCtrl(int id);  // the control, remembered for Fail; throws when it is missing
  [[noreturn]] void Fail();  // focuses the last control and ends the exchange
  HWND LastControl() const { return last_control_; }

 private:
  HWND last_control_ = nullptr;
};
void DDX_Text(CDataExchange* dx, int id, std::u16string& value);
void DDX_Check(CDataExchange* dx, int id, int& value);
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
// Loading limits the edit control; saving refuses a longer text with the framework's message.
void DDV_MaxChars(CDataExchange* dx, const std::u16string& value, int count);

// ---------------------------------------------------------------------------------------
// The application.
class CWinApp : public CCmdTarget {
 public:
  // The program's title: `app_name`, else string AFX_IDS_APP_TITLE of the resources, else the
  // program file's name without its folder and extension.
  explicit CWinApp(LPCWSTR app_name = nullptr);
  ~CWinApp() override;

  CWnd* m_pMainWnd = nullptr;
  std::u16string m_strAppName;
  HINSTANCE m_hInstance = nullptr;

  virtual BOOL InitInstance() { return TRUE; }
  virtual int ExitInstance();
  // The message loop; it ends when the main window is destroyed (which posts WM_QUIT).
  virtual int Run();
  virtual BOOL PreTranslateMessage(MSG* msg);
  virtual BOOL OnIdle(LONG count);
  int m_exitCode = 0;  // WM_QUIT's code once the loop ended
};
constexpr UINT AFX_IDS_APP_TITLE = 0xE000;
constexpr UINT ID_APP_EXIT = 0xE141;  // 57665

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
// Runs the application object: InitInstance, then the message loop when it succeeded, then
// ExitInstance; the process's exit code.
int AfxWinMain();
void AfxDeleteTempMaps();  // the calling thread's temporary window objects

// The framework's message box: caption the program's title, owner the main window.
int AfxMessageBox(LPCWSTR text, UINT type = MB_OK, UINT help_id = 0);
int AfxMessageBox(UINT string_id, UINT type = MB_OK, UINT help_id = UINT(-1));

namespace testing {
// The next `count` AfxNew calls fail as an exhausted heap would.
void FailNextAfxAllocations(int count);
}  // namespace testing

namespace afx_detail {
bool TakeAllocationFailure();
}

template <class T, class... Args>
T* AfxNew(Args&&... args) {
  if (afx_detail::TakeAllocationFailure()) AfxThrowMemoryException();
  try {
    return new T(std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    AfxThrowMemoryException();
  }
}

}  // namespace win32
