#include "platform/afx/afx.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <unordered_map>

#include "platform/ui/resource.h"

namespace win32 {

namespace {

// The permanent handle map: one per process, since a window's object must be found from
// whichever thread's loop dispatches to it (always the window's own thread, which alone
// changes its entry).
std::mutex g_map_mu;
std::unordered_map<HWND, CWnd*>& Permanent() {
  static std::unordered_map<HWND, CWnd*> m;
  return m;
}
// Temporary objects are per thread and live until the thread's loop is idle.
thread_local std::unordered_map<HWND, std::unique_ptr<CWnd>> t_temporary;
// The object whose window CreateEx is making: the first message to the new window binds it.
thread_local CWnd* t_creating = nullptr;
// The message being handled on this thread, for Default().
struct Current {
  HWND hwnd;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
};
thread_local Current t_current{};

CWinApp* g_app = nullptr;
std::atomic<int> g_fail_allocations{0};

// Edit and button messages the data exchange sends.
constexpr UINT kEmLimitText = 0x00C5;
constexpr UINT kBmGetCheck = 0x00F0;
constexpr UINT kBmSetCheck = 0x00F1;

std::u16string LoadString(UINT id) {
  const WCHAR* text = nullptr;
  const int n = LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 && text != nullptr ? std::u16string(text, static_cast<size_t>(n)) : std::u16string();
}

}  // namespace

// =======================================================================================
// Exceptions.
BOOL CException::GetErrorMessage(LPWSTR buffer, UINT max, UINT* help_context) const {
  if (help_context != nullptr) *help_context = 0;
  const std::u16string text = ErrorMessage();
  if (buffer == nullptr || max == 0) return FALSE;
  const size_t n = std::min<size_t>(text.size(), max - 1);
  std::copy_n(text.begin(), n, buffer);
  buffer[n] = 0;
  return !text.empty();
}

std::u16string CException::ErrorMessage() const { return u""; }

int CException::ReportError(UINT type, UINT message_id) const {
  std::u16string text = ErrorMessage();
  if (text.empty()) text = message_id != 0 ? LoadString(message_id) : u"";
  if (text.empty()) text = u"An unsupported operation was attempted.";
  return AfxMessageBox(text.c_str(), type);
}

void CException::Delete() {
  if (m_bAutoDelete) delete this;
}

void AfxThrowMemoryException() {
  static CMemoryException memory(false);
  throw static_cast<CException*>(&memory);
}
void AfxThrowResourceException() { throw static_cast<CException*>(new CResourceException); }
void AfxThrowUserException() { throw static_cast<CException*>(new CUserException); }

namespace afx_detail {
bool TakeAllocationFailure() {
  int n = g_fail_allocations.load();
  while (n > 0)
    if (g_fail_allocations.compare_exchange_weak(n, n - 1)) return true;
  return false;
}
}  // namespace afx_detail

namespace testing {
void FailNextAfxAllocations(int count) { g_fail_allocations.store(count); }
}  // namespace testing

// =======================================================================================
// Command targets.
const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
  static const AFX_MSGMAP_ENTRY entries[] = {{AfxEntryKind::kEnd, 0, nullptr, 0, 0, 0, nullptr}};
  static const AFX_MSGMAP map = {nullptr, entries};
  return &map;
}
const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CCmdTarget::OnCmdMsg(UINT id, int code, void* extra) {
  const bool notify = HIWORD(static_cast<uint32_t>(code)) == WM_NOTIFY;
  const UINT notify_code = LOWORD(static_cast<uint32_t>(code));
  for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr; map = map->base ? map->base() : nullptr) {
    for (const AFX_MSGMAP_ENTRY* e = map->entries; e->kind != AfxEntryKind::kEnd; ++e) {
      if (id < e->first_id || id > e->last_id) continue;
      AfxCall call{WM_COMMAND, 0, 0, id, nullptr, nullptr, nullptr};
      if (code == CN_UPDATE_COMMAND_UI) {
        if (e->kind != AfxEntryKind::kUpdateCommandUI) continue;
        call.cmd_ui = static_cast<CCmdUI*>(extra);
      } else if (notify) {
        if (e->kind != AfxEntryKind::kNotify || LOWORD(e->code) != notify_code) continue;
        call = *static_cast<AfxCall*>(extra);
        call.id = id;
      } else {
        if (e->kind != AfxEntryKind::kCommand || e->code != static_cast<UINT>(code)) continue;
      }
      e->thunk(this, call);
      return TRUE;
    }
  }
  return FALSE;
}

BOOL CCmdTarget::HasCommandHandler(UINT id) const {
  for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr; map = map->base ? map->base() : nullptr)
    for (const AFX_MSGMAP_ENTRY* e = map->entries; e->kind != AfxEntryKind::kEnd; ++e)
      if (e->kind == AfxEntryKind::kCommand && e->code == CN_COMMAND && id >= e->first_id && id <= e->last_id)
        return TRUE;
  return FALSE;
}

const AFX_MSGMAP_ENTRY* CCmdTarget::FindMessageEntry(UINT message) const {
  for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr; map = map->base ? map->base() : nullptr)
    for (const AFX_MSGMAP_ENTRY* e = map->entries; e->kind != AfxEntryKind::kEnd; ++e)
      if ((e->kind == AfxEntryKind::kMessage && e->message == message) ||
          (e->kind == AfxEntryKind::kRegisteredMessage && e->registered != nullptr && *e->registered != 0 &&
           *e->registered == message))
        return e;
  return nullptr;
}

// =======================================================================================
// Command enabling.
HMENU CCmdUI::MenuHandle() const { return m_pMenu != nullptr ? m_pMenu->m_hMenu : m_hMenu; }

void CCmdUI::Enable(BOOL on) {
  if (HMENU menu = MenuHandle())
    EnableMenuItem(menu, m_nIndex, MF_BYPOSITION | (on ? MF_ENABLED : (MF_DISABLED | MF_GRAYED)));
  else if (m_pOther != nullptr)
    m_pOther->EnableWindow(on);
  m_bEnableChanged = TRUE;
}

void CCmdUI::SetCheck(int check) {
  if (HMENU menu = MenuHandle())
    CheckMenuItem(menu, m_nIndex, MF_BYPOSITION | (check != 0 ? MF_CHECKED : MF_UNCHECKED));
  else if (m_pOther != nullptr)
    m_pOther->SendMessage(kBmSetCheck, static_cast<WPARAM>(check));
}

void CCmdUI::SetText(LPCWSTR text) {
  if (HMENU menu = MenuHandle()) {
    const UINT state = GetMenuState(menu, m_nIndex, MF_BYPOSITION);
    ModifyMenuW(menu, m_nIndex, MF_BYPOSITION | MF_STRING | (state & (MF_CHECKED | MF_GRAYED | MF_DISABLED)), m_nID,
                text);
  } else if (m_pOther != nullptr) {
    m_pOther->SetWindowText(text != nullptr ? text : u"");
  }
}

BOOL CCmdUI::DoUpdate(CCmdTarget* target, BOOL disable_if_no_handler) {
  m_bEnableChanged = FALSE;
  const BOOL handled = target->OnCmdMsg(m_nID, CN_UPDATE_COMMAND_UI, this);
  // An item with a command handler but no enabling handler stays as it is.
  if (disable_if_no_handler && !m_bEnableChanged && !target->HasCommandHandler(m_nID)) Enable(FALSE);
  return handled;
}

namespace {
// What OnCommand asks before a menu command: does anybody disable it?
class CTestCmdUI : public CCmdUI {
 public:
  void Enable(BOOL on) override {
    enabled = on;
    m_bEnableChanged = TRUE;
  }
  void SetCheck(int) override {}
  void SetText(LPCWSTR) override {}
  BOOL enabled = TRUE;
};
}  // namespace

// =======================================================================================
// Windows.
CWnd::~CWnd() {
  if (m_hWnd != nullptr && IsWindow(m_hWnd) && FromHandlePermanent(m_hWnd) == this) {
    ::win32::DestroyWindow(m_hWnd);
  }
  if (m_hWnd != nullptr) Detach();
}

CWnd* CWnd::FromHandlePermanent(HWND hwnd) {
  std::lock_guard lock(g_map_mu);
  auto it = Permanent().find(hwnd);
  return it == Permanent().end() ? nullptr : it->second;
}

CWnd* CWnd::FromHandle(HWND hwnd) {
  if (hwnd == nullptr) return nullptr;
  if (CWnd* w = FromHandlePermanent(hwnd)) return w;
  auto& temp = t_temporary[hwnd];
  if (!temp) {
    temp = std::make_unique<CWnd>();
    temp->m_hWnd = hwnd;
  }
  return temp.get();
}

void AfxDeleteTempMaps() {
  for (auto& [hwnd, w] : t_temporary) w->m_hWnd = nullptr;  // not ours to destroy
  t_temporary.clear();
}

BOOL CWnd::Attach(HWND hwnd) {
  if (hwnd == nullptr || m_hWnd != nullptr) return FALSE;
  std::lock_guard lock(g_map_mu);
  if (!Permanent().emplace(hwnd, this).second) return FALSE;
  m_hWnd = hwnd;
  return TRUE;
}

HWND CWnd::Detach() {
  HWND h = m_hWnd;
  if (h != nullptr) {
    std::lock_guard lock(g_map_mu);
    auto it = Permanent().find(h);
    if (it != Permanent().end() && it->second == this) Permanent().erase(it);
  }
  m_hWnd = nullptr;
  return h;
}

BOOL CWnd::SubclassWindow(HWND hwnd) {
  if (!IsWindow(hwnd) || !Attach(hwnd)) return FALSE;
  auto old = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc)));
  if (old != &AfxWndProc) m_pfnSuper = old;
  return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
  HWND control = ::win32::GetDlgItem(parent->m_hWnd, static_cast<int>(id));
  return control != nullptr && SubclassWindow(control);
}

HWND CWnd::UnsubclassWindow() {
  if (m_pfnSuper != nullptr) SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
  m_pfnSuper = nullptr;
  return Detach();
}

BOOL CWnd::CreateEx(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x, int y, int width,
                    int height, HWND parent, HMENU menu_or_id, LPVOID param) {
  if (m_hWnd != nullptr) return FALSE;
  CWnd* outer = t_creating;
  t_creating = this;
  HWND h = CreateWindowExW(ex_style, class_name, window_name, style, x, y, width, height, parent, menu_or_id,
                           AfxGetResourceHandle(), param);
  t_creating = outer;
  if (h == nullptr) return FALSE;
  // A class of another procedure never saw the object: bind it now, as a subclass.
  if (m_hWnd == nullptr && !SubclassWindow(h)) {
    ::win32::DestroyWindow(h);
    return FALSE;
  }
  return TRUE;
}

BOOL CWnd::DestroyWindow() {
  if (m_hWnd == nullptr) return FALSE;
  return ::win32::DestroyWindow(m_hWnd);
}

LRESULT CWnd::AfxWndProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  CWnd* wnd = FromHandlePermanent(hwnd);
  if (wnd == nullptr && t_creating != nullptr && t_creating->m_hWnd == nullptr) {
    wnd = t_creating;
    wnd->Attach(hwnd);
  }
  if (wnd == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
  const Current outer = t_current;
  t_current = Current{hwnd, message, wparam, lparam};
  LRESULT result;
  if (message == WM_NCDESTROY) {
    result = wnd->WindowProc(message, wparam, lparam);
    wnd->OnNcDestroy();
  } else {
    result = wnd->WindowProc(message, wparam, lparam);
  }
  t_current = outer;
  return result;
}

void CWnd::OnNcDestroy() {
  if (g_app != nullptr && g_app->m_pMainWnd == this) {
    g_app->m_pMainWnd = nullptr;
    PostQuitMessage(0);
  }
  WNDPROC super = m_pfnSuper;
  m_pfnSuper = nullptr;
  if (super != nullptr) SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(super));
  Detach();
  PostNcDestroy();  // may delete this
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = 0;
  if (!OnWndMsg(message, wparam, lparam, &result)) result = DefWindowProc(message, wparam, lparam);
  return result;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  if (message == WM_COMMAND) {
    if (!OnCommand(wparam, lparam)) return FALSE;
    *result = 1;
    return TRUE;
  }
  if (message == WM_NOTIFY) {
    LRESULT r = 0;
    if (!OnNotify(wparam, lparam, &r)) return FALSE;
    *result = r;
    return TRUE;
  }
  const AFX_MSGMAP_ENTRY* e = FindMessageEntry(message);
  if (e == nullptr) return FALSE;
  *result = e->thunk(this, AfxCall{message, wparam, lparam, 0, nullptr, nullptr, nullptr});
  return TRUE;
}

BOOL CWnd::OnCommand(WPARAM wparam, LPARAM lparam) {
  const UINT id = LOWORD(wparam);
  int code = HIWORD(wparam);
  HWND control = reinterpret_cast<HWND>(lparam);
  if (control == nullptr) {
    if (id == 0) return FALSE;
    // A menu command or accelerator: its enabling handler first, exactly once; a command the
    // handler disabled is not carried out.
    CTestCmdUI state;
    state.m_nID = id;
    OnCmdMsg(id, CN_UPDATE_COMMAND_UI, &state);
    if (!state.enabled) return TRUE;
    code = CN_COMMAND;
  } else if (!::win32::IsWindow(control)) {
    return FALSE;
  }
  return OnCmdMsg(id, code, nullptr);
}

BOOL CWnd::OnNotify(WPARAM, LPARAM lparam, LRESULT* result) {
  auto* header = reinterpret_cast<NMHDR*>(lparam);
  if (header == nullptr || header->hwndFrom == nullptr) return FALSE;
  AfxCall call{WM_NOTIFY, 0, lparam, static_cast<UINT>(header->idFrom), nullptr, header, result};
  const int code = static_cast<int>(MAKELPARAM(LOWORD(header->code), WM_NOTIFY));
  return OnCmdMsg(static_cast<UINT>(header->idFrom), code, &call);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wparam, LPARAM lparam) {
  if (m_pfnSuper != nullptr) return CallWindowProcW(m_pfnSuper, m_hWnd, message, wparam, lparam);
  return DefWindowProcW(m_hWnd, message, wparam, lparam);
}

BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

LRESULT CWnd::Default() {
  if (t_current.hwnd != m_hWnd) return 0;
  return DefWindowProc(t_current.message, t_current.wparam, t_current.lparam);
}

BOOL CWnd::UpdateData(BOOL save_and_validate) {
  CDataExchange dx(this, save_and_validate);
  try {
    DoDataExchange(&dx);
    return TRUE;
  } catch (CException* e) {
    // A user exception was reported when it was thrown; the others are reported here.
    if (dynamic_cast<CUserException*>(e) == nullptr) e->ReportError(MB_OK | MB_ICONERROR);
    e->Delete();
    return FALSE;
  }
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wparam, LPARAM lparam) const {
  return ::win32::SendMessageW(m_hWnd, message, wparam, lparam);
}
BOOL CWnd::PostMessage(UINT message, WPARAM wparam, LPARAM lparam) const {
  return ::win32::PostMessageW(m_hWnd, message, wparam, lparam);
}
UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapse_ms, TIMERPROC proc) { return ::win32::SetTimer(m_hWnd, id, elapse_ms, proc); }
BOOL CWnd::KillTimer(UINT_PTR id) { return ::win32::KillTimer(m_hWnd, id); }
BOOL CWnd::ShowWindow(int command) { return ::win32::ShowWindow(m_hWnd, command); }
BOOL CWnd::SetForegroundWindow() { return ::win32::SetForegroundWindow(m_hWnd); }
BOOL CWnd::EnableWindow(BOOL enable) { return ::win32::EnableWindow(m_hWnd, enable); }
BOOL CWnd::IsWindowEnabled() const { return ::win32::IsWindowEnabled(m_hWnd); }
BOOL CWnd::IsWindowVisible() const { return ::win32::IsWindowVisible(m_hWnd); }
void CWnd::SetWindowText(const std::u16string& text) { ::win32::SetWindowTextW(m_hWnd, text.c_str()); }
std::u16string CWnd::GetWindowText() const {
  const int n = ::win32::GetWindowTextLengthW(m_hWnd);
  std::u16string text(static_cast<size_t>(std::max(n, 0)) + 1, u'\0');
  const int got = ::win32::GetWindowTextW(m_hWnd, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(std::max(got, 0)));
  return text;
}
int CWnd::GetDlgCtrlID() const { return ::win32::GetDlgCtrlID(m_hWnd); }
CWnd* CWnd::GetDlgItem(int id) const { return FromHandle(::win32::GetDlgItem(m_hWnd, id)); }
CWnd* CWnd::GetParent() const { return FromHandle(::win32::GetParent(m_hWnd)); }
void CWnd::SetDlgItemText(int id, const std::u16string& text) {
  if (CWnd* c = GetDlgItem(id)) c->SetWindowText(text);
}
std::u16string CWnd::GetDlgItemText(int id) const {
  CWnd* c = GetDlgItem(id);
  return c != nullptr ? c->GetWindowText() : std::u16string();
}
void CWnd::CheckDlgButton(int id, UINT check) {
  if (CWnd* c = GetDlgItem(id)) c->SendMessage(kBmSetCheck, check);
}
UINT CWnd::IsDlgButtonChecked(int id) const {
  CWnd* c = GetDlgItem(id);
  return c != nullptr ? static_cast<UINT>(c->SendMessage(kBmGetCheck)) : 0;
}
HWND CWnd::GetSafeOwner() const {
  HWND top = m_hWnd != nullptr ? GetAncestor(m_hWnd, GA_ROOT) : nullptr;
  return top != nullptr ? top : m_hWnd;
}
int CWnd::MessageBox(LPCWSTR text, LPCWSTR caption, UINT type) {
  std::u16string title = caption != nullptr ? caption : (g_app != nullptr ? g_app->m_strAppName : u"");
  return MessageBoxW(GetSafeOwner(), text, title.c_str(), type);
}

void CWnd::OnTimer(UINT_PTR) { Default(); }
int CWnd::OnCreate(CREATESTRUCTW*) { return static_cast<int>(Default()); }
void CWnd::OnDestroy() { Default(); }
void CWnd::OnClose() { Default(); }
void CWnd::OnMeasureItem(int, MEASUREITEMSTRUCT*) {
  // A measure request does not name its menu; owners of owner-drawn menus handle it.
  Default();
}
void CWnd::OnDrawItem(int, DRAWITEMSTRUCT* dis) {
  if (dis->CtlType == ODT_MENU) {
    if (CMenu* menu = CMenu::FromHandlePermanent(reinterpret_cast<HMENU>(dis->hwndItem))) {
      menu->DrawItem(dis);
      return;
    }
  }
  Default();
}

LPCWSTR AfxRegisterWndClass(UINT class_style, HCURSOR cursor, HBRUSH background, HICON icon) {
  static std::mutex mu;
  static std::set<std::u16string> names;  // node-based: the pointers handed out stay valid
  char buf[96];
  std::snprintf(buf, sizeof buf, "Afx:%x:%zx:%zx:%zx", class_style, reinterpret_cast<size_t>(cursor),
                reinterpret_cast<size_t>(background), reinterpret_cast<size_t>(icon));
  std::u16string name(buf, buf + std::strlen(buf));
  std::lock_guard lock(mu);
  auto [it, fresh] = names.insert(name);
  if (fresh) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = class_style;
    wc.lpfnWndProc = &CWnd::AfxWndProc;
    wc.hInstance = AfxGetResourceHandle();
    wc.hIcon = icon;
    wc.hCursor = cursor;
    wc.hbrBackground = background;
    wc.lpszClassName = it->c_str();
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      names.erase(it);
      AfxThrowResourceException();
    }
  }
  return it->c_str();
}

// =======================================================================================
// Dialogs.
BEGIN_MESSAGE_MAP(CDialog, CWnd)
  ON_COMMAND(IDOK, OnOK)
  ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

const DLGTEMPLATE* CDialog::LoadTemplate(UINT id) const {
  HINSTANCE module = AfxGetResourceHandle();
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG);
  if (found == nullptr) return nullptr;
  return static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(module, found)));
}

HWND CDialog::OwnerWindow() const {
  if (m_pParentWnd != nullptr) return m_pParentWnd->GetSafeOwner();
  CWnd* main = AfxGetMainWnd();
  return main != nullptr ? main->GetSafeOwner() : nullptr;
}

INT_PTR CDialog::DoModal() {
  const DLGTEMPLATE* dialog_template = LoadTemplate(m_nIDTemplate);
  if (dialog_template == nullptr) return -1;
  m_nModalResult = -1;
  const INT_PTR result = DialogBoxIndirectParamW(AfxGetResourceHandle(), dialog_template, OwnerWindow(), &AfxDlgProc,
                                                 reinterpret_cast<LPARAM>(this));
  return result;
}

BOOL CDialog::Create(UINT template_id, CWnd* parent) {
  m_nIDTemplate = template_id;
  m_pParentWnd = parent;
  const DLGTEMPLATE* dialog_template = LoadTemplate(template_id);
  if (dialog_template == nullptr) return FALSE;
  return CreateDialogIndirectParamW(AfxGetResourceHandle(), dialog_template, OwnerWindow(), &AfxDlgProc,
                                    reinterpret_cast<LPARAM>(this)) != nullptr;
}

void CDialog::EndDialog(int result) {
  m_nModalResult = result;
  if (m_hWnd != nullptr) ::win32::EndDialog(m_hWnd, result);
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;  // the dialog manager focuses the first tab stop
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;  // the dialog stays, the failing control focused
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::PreTranslateMessage(MSG* msg) {
  // Tab, Enter and Esc of a modeless dialog; a modal one's loop does this itself.
  return m_hWnd != nullptr && IsDialogMessageW(m_hWnd, msg);
}

INT_PTR CDialog::AfxDlgProc(HWND hwnd, UINT message, WPARAM, LPARAM lparam) {
  if (message != WM_INITDIALOG) return FALSE;
  auto* dialog = reinterpret_cast<CDialog*>(lparam);
  if (dialog == nullptr || (dialog->m_hWnd == nullptr && !dialog->SubclassWindow(hwnd))) return FALSE;
  return dialog->OnInitDialog();
}

// =======================================================================================
// Data exchange.
HWND CDataExchange::PrepareCtrl(int id) {
  HWND control = ::win32::GetDlgItem(m_pDlgWnd->m_hWnd, id);
  if (control == nullptr) AfxThrowResourceException();
  last_control_ = control;
  return control;
}

void CDataExchange::Fail() {
  if (last_control_ != nullptr) SetFocus(last_control_);
  AfxThrowUserException();
}

void DDX_Text(CDataExchange* dx, int id, std::u16string& value) {
  CWnd* control = CWnd::FromHandle(dx->PrepareCtrl(id));
  if (dx->m_bSaveAndValidate)
    value = control->GetWindowText();
  else
    control->SetWindowText(value);
}

void DDX_Check(CDataExchange* dx, int id, int& value) {
  HWND control = dx->PrepareCtrl(id);
  if (dx->m_bSaveAndValidate)
    value = static_cast<int>(SendMessageW(control, kBmGetCheck, 0, 0));
  else
    SendMessageW(control, kBmSetCheck, static_cast<WPARAM>(value), 0);
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (control.m_hWnd != nullptr) return;  // bound once, on the first exchange
  if (!control.SubclassWindow(dx->PrepareCtrl(id))) AfxThrowResourceException();
}

void DDV_MaxChars(CDataExchange* dx, const std::u16string& value, int count) {
  if (!dx->m_bSaveAndValidate) {
    // The control exchanged last is the one the limit is for.
    if (HWND control = dx->LastControl()) SendMessageW(control, kEmLimitText, static_cast<WPARAM>(count), 0);
    return;
  }
  if (static_cast<int>(value.size()) > count) {
    std::string n = std::to_string(count);
    std::u16string text = u"Please enter no more than " + std::u16string(n.begin(), n.end()) + u" characters.";
    AfxMessageBox(text.c_str(), MB_ICONEXCLAMATION);
    dx->Fail();
  }
}

// =======================================================================================
// The application.
CWinApp::CWinApp(LPCWSTR app_name) {
  g_app = this;
  m_hInstance = GetModuleHandleW(nullptr);
  if (app_name != nullptr) m_strAppName = app_name;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

int CWinApp::ExitInstance() { return m_exitCode; }

BOOL CWinApp::PreTranslateMessage(MSG* msg) {
  // The window and its parents, innermost first, each may take the message.
  for (HWND h = msg->hwnd; h != nullptr; h = ::win32::GetParent(h)) {
    if (CWnd* w = CWnd::FromHandlePermanent(h); w != nullptr && w->PreTranslateMessage(msg)) return TRUE;
    if (!(GetWindowLongPtrW(h, GWL_STYLE) & WS_CHILD)) break;
  }
  return FALSE;
}

BOOL CWinApp::OnIdle(LONG) {
  AfxDeleteTempMaps();
  return FALSE;
}

int CWinApp::Run() {
  MSG msg{};
  LONG idle = 0;
  while (true) {
    while (!PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE))
      if (!OnIdle(idle++)) break;
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    if (!PreTranslateMessage(&msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    idle = 0;
  }
  m_exitCode = static_cast<int>(msg.message == WM_QUIT ? msg.wParam : 0);
  AfxDeleteTempMaps();
  return ExitInstance();
}

CWinApp* AfxGetApp() { return g_app; }
CWnd* AfxGetMainWnd() { return g_app != nullptr ? g_app->m_pMainWnd : nullptr; }

int AfxWinMain() {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return -1;
  if (app->m_strAppName.empty()) {
    app->m_strAppName = LoadString(AFX_IDS_APP_TITLE);
    if (app->m_strAppName.empty()) {
      WCHAR path[MAX_PATH + 1] = {};
      GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
      std::u16string p(path);
      const size_t slash = p.find_last_of(u"/\\");
      if (slash != std::u16string::npos) p.erase(0, slash + 1);
      const size_t dot = p.rfind(u'.');
      if (dot != std::u16string::npos && dot > 0) p.erase(dot);
      app->m_strAppName = p;
    }
  }
  if (!app->InitInstance()) {
    if (app->m_pMainWnd != nullptr) app->m_pMainWnd->DestroyWindow();
    return app->ExitInstance();
  }
  return app->Run();
}

int AfxMessageBox(LPCWSTR text, UINT type, UINT) {
  CWnd* main = AfxGetMainWnd();
  HWND owner = main != nullptr ? main->GetSafeOwner() : nullptr;
  const std::u16string caption = g_app != nullptr ? g_app->m_strAppName : u"";
  return MessageBoxW(owner, text, caption.c_str(), type);
}

int AfxMessageBox(UINT string_id, UINT type, UINT) {
  const std::u16string text = LoadString(string_id);
  return AfxMessageBox(text.c_str(), type);
}

}  // namespace win32
