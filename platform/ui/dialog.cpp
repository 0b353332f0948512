// Dialog manager: templates, the dialog window class and procedure, navigation, modal loops.
#include "platform/ui/dialog.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/controls_internal.h"
#include "platform/ui/gdi.h"
#include "platform/ui/resource.h"
#include "platform/ui/text.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/window.h"

namespace win32 {
namespace {

// ---------------------------------------------------------------------------------------
// Templates.
struct ItemTemplate {
  DWORD style = 0;
  DWORD ex_style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  DWORD id = 0;
  std::u16string cls;
  std::u16string text;
  int text_ordinal = -1;  // an ordinal in place of the text: an icon or a clip
  std::vector<uint8_t> data;
};
struct DialogTemplate {
  DWORD style = 0;
  DWORD ex_style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::u16string caption;
  WORD points = 0;
  WORD weight = FW_NORMAL;
  std::u16string face;
  std::vector<ItemTemplate> items;
};

// Reads within [0, size); any read past it fails the whole template.
class Reader {
 public:
  Reader(const uint8_t* p, size_t size) : p_(p), size_(size) {}
  bool ok() const { return ok_; }
  WORD U16() {
    if (!Need(2)) return 0;
    WORD v = static_cast<WORD>(p_[pos_] | (p_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  DWORD U32() {
    DWORD lo = U16();
    return lo | (static_cast<DWORD>(U16()) << 16);
  }
  std::u16string Text() {
    std::u16string s;
    for (;;) {
      WORD c = U16();
      if (!ok_ || c == 0) return s;
      s.push_back(static_cast<char16_t>(c));
    }
  }
  // A name or an ordinal (0xFFFF and the number); the ordinal goes to *ordinal.
  std::u16string NameOrOrdinal(int* ordinal) {
    *ordinal = -1;
    if (!Need(2)) return {};
    WORD first = static_cast<WORD>(p_[pos_] | (p_[pos_ + 1] << 8));
    if (first == 0xFFFF) {
      pos_ += 2;
      *ordinal = U16();
      return {};
    }
    return Text();
  }
  void Bytes(size_t n, std::vector<uint8_t>* out) {
    if (!Need(n)) return;
    out->assign(p_ + pos_, p_ + pos_ + n);
    pos_ += n;
  }
  void Align4() { pos_ = (pos_ + 3) & ~size_t{3}; }

 private:
  bool Need(size_t n) {
    if (!ok_ || pos_ > size_ || size_ - pos_ < n) ok_ = false;
    return ok_;
  }
  const uint8_t* p_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

std::u16string AtomClass(int atom) {
  switch (atom) {
    case 0x80: return u"Button";
    case 0x81: return u"Edit";
    case 0x82: return u"Static";
    case 0x83: return u"ListBox";
    case 0x84: return u"ScrollBar";
    case 0x85: return u"ComboBox";
    default: return {};
  }
}

bool ParseTemplate(const uint8_t* p, size_t size, DialogTemplate* t) {
  Reader r(p, size);
  bool ex = size >= 4 && p[0] == 1 && p[1] == 0 && p[2] == 0xFF && p[3] == 0xFF;
  if (ex) {
    r.U32();  // version and signature
    r.U32();  // help ID
    t->ex_style = r.U32();
    t->style = r.U32();
  } else {
    t->style = r.U32();
    t->ex_style = r.U32();
  }
  WORD count = r.U16();
  t->x = static_cast<short>(r.U16());
  t->y = static_cast<short>(r.U16());
  t->cx = static_cast<short>(r.U16());
  t->cy = static_cast<short>(r.U16());
  int ordinal;
  r.NameOrOrdinal(&ordinal);  // menu: dialogs of this program have none
  std::u16string cls = r.NameOrOrdinal(&ordinal);
  if (!cls.empty() || ordinal > 0) return false;  // only the system's dialog class
  t->caption = r.Text();
  if ((t->style & DS_SETFONT) != 0) {
    t->points = r.U16();
    if (ex) {
      t->weight = r.U16();
      r.U16();  // italic, charset
    }
    t->face = r.Text();
  }
  for (WORD i = 0; i < count && r.ok(); ++i) {
    ItemTemplate it;
    r.Align4();
    if (ex) {
      r.U32();  // help ID
      it.ex_style = r.U32();
      it.style = r.U32();
    } else {
      it.style = r.U32();
      it.ex_style = r.U32();
    }
    it.x = static_cast<short>(r.U16());
    it.y = static_cast<short>(r.U16());
    it.cx = static_cast<short>(r.U16());
    it.cy = static_cast<short>(r.U16());
    it.id = ex ? r.U32() : r.U16();
    int atom;
    it.cls = r.NameOrOrdinal(&atom);
    if (atom >= 0) it.cls = AtomClass(atom);
    if (it.cls.empty()) return false;
    it.text = r.NameOrOrdinal(&it.text_ordinal);
    WORD extra = r.U16();
    if (extra > 0) r.Bytes(extra, &it.data);
    t->items.push_back(std::move(it));
  }
  return r.ok();
}

// ---------------------------------------------------------------------------------------
// Dialog state, kept beside the window record.
struct DialogState {
  DLGPROC proc = nullptr;
  HFONT font = nullptr;
  bool own_font = false;
  int base_x = 0;  // average character width of the font (dialog units: x / 4)
  int base_y = 0;  // its height (dialog units: y / 8)
  bool modal = false;
  bool ended = false;
  INT_PTR result = 0;
  int def_id = 0;
  HWND saved_focus = nullptr;
};

std::mutex g_dialogs_mu;
std::map<HWND, std::shared_ptr<DialogState>> g_dialogs;  // guarded by g_dialogs_mu
thread_local std::shared_ptr<DialogState> t_creating;     // handed to WM_NCCREATE

std::shared_ptr<DialogState> StateOf(HWND hwnd) {
  std::lock_guard lk(g_dialogs_mu);
  auto it = g_dialogs.find(hwnd);
  return it == g_dialogs.end() ? nullptr : it->second;
}

bool SameClass(const std::u16string& a, const char16_t* b) {
  std::u16string bb(b);
  if (a.size() != bb.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? a[i] + 32 : a[i];
    char16_t y = bb[i] >= u'A' && bb[i] <= u'Z' ? bb[i] + 32 : bb[i];
    if (x != y) return false;
  }
  return true;
}

int MulDivRound(int a, int b, int c) {
  long long v = static_cast<long long>(a) * b;
  return static_cast<int>(v >= 0 ? (v + c / 2) / c : (v - c / 2) / c);
}

void BaseUnits(HFONT font, int* bx, int* by) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  static const char16_t kAlphabet[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  SIZE s{};
  GetTextExtentPoint32W(dc, kAlphabet, 52, &s);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  *bx = (s.cx / 26 + 1) / 2;
  *by = tm.tmHeight;
}

LRESULT DlgCode(HWND hwnd, const MSG* msg = nullptr) {
  return SendMessageW(hwnd, WM_GETDLGCODE, msg ? msg->wParam : 0, reinterpret_cast<LPARAM>(msg));
}

// The dialog's direct children in creation order (the tab order).
std::vector<HWND> Controls(HWND dialog) {
  std::vector<HWND> out;
  for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
  std::reverse(out.begin(), out.end());  // the newest child is on top of the z-order
  return out;
}

DWORD StyleOf(HWND c) { return static_cast<DWORD>(GetWindowLongPtrW(c, GWL_STYLE)); }
// The control's own styles: the dialog itself may not be shown yet (WM_INITDIALOG).
bool Usable(HWND c) { return (StyleOf(c) & (WS_VISIBLE | WS_DISABLED)) == WS_VISIBLE; }
bool IsRadio(HWND c) { return (DlgCode(c) & DLGC_RADIOBUTTON) != 0; }

// Focus moved by the dialog manager: an edit control's text is selected, as when tabbing.
void FocusControl(HWND dialog, HWND c) {
  if (c == nullptr) return;
  SetFocus(c);
  if ((DlgCode(c) & DLGC_HASSETSEL) != 0) SendMessageW(c, EM_SETSEL, 0, -1);
  if (auto st = StateOf(dialog)) st->saved_focus = c;
}

LRESULT DefaultHandling(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, DialogState* st) {
  switch (message) {
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wparam);
      SetBkColor(dc, GetSysColor(COLOR_3DFACE));
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_3DFACE));
    }
    case WM_CTLCOLOREDIT: {
      HDC dc = reinterpret_cast<HDC>(wparam);
      SetBkColor(dc, GetSysColor(COLOR_WINDOW));
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_CLOSE: {
      // Closing is Cancel; a procedure that does not handle IDCANCEL keeps the dialog.
      HWND cancel = GetDlgItem(hwnd, IDCANCEL);
      if (cancel == nullptr || IsWindowEnabled(cancel))
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
      return 0;
    }
    case DM_GETDEFID:
      if (st != nullptr && st->def_id != 0) return MAKELPARAM(st->def_id, DC_HASDEFID);
      return 0;
    case DM_SETDEFID: {
      if (st == nullptr) return FALSE;
      int old = st->def_id;
      st->def_id = static_cast<int>(wparam);
      for (int id : {old, st->def_id}) {
        HWND b = id != 0 ? GetDlgItem(hwnd, id) : nullptr;
        if (b != nullptr && (DlgCode(b) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0)
          SendMessageW(b, BM_SETSTYLE, id == st->def_id ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
      }
      return TRUE;
    }
    case WM_NEXTDLGCTL: {
      HWND target = lparam != 0 ? reinterpret_cast<HWND>(wparam) : GetNextDlgTabItem(hwnd, GetFocus(), wparam != 0);
      FocusControl(hwnd, target);
      return 0;
    }
    case WM_SETFONT:
      if (st != nullptr) st->font = reinterpret_cast<HFONT>(wparam);
      return 0;
    case WM_GETFONT:
      return st != nullptr ? reinterpret_cast<LRESULT>(st->font) : 0;
    case WM_ACTIVATE:
      if (st != nullptr) {
        if (LOWORD(wparam) != 0 && st->saved_focus != nullptr && IsChild(hwnd, st->saved_focus))
          SetFocus(st->saved_focus);
        else if (LOWORD(wparam) == 0 && IsChild(hwnd, GetFocus()))
          st->saved_focus = GetFocus();
      }
      return 0;
    case WM_SETFOCUS:
      if (st != nullptr && st->saved_focus != nullptr && IsChild(hwnd, st->saved_focus)) SetFocus(st->saved_focus);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

LRESULT DialogWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE && t_creating) {
    std::lock_guard lk(g_dialogs_mu);
    g_dialogs[hwnd] = std::move(t_creating);
    t_creating.reset();
  }
  LRESULT r = DefDlgProcW(hwnd, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    std::shared_ptr<DialogState> st;
    {
      std::lock_guard lk(g_dialogs_mu);
      auto it = g_dialogs.find(hwnd);
      if (it != g_dialogs.end()) {
        st = it->second;
        g_dialogs.erase(it);
      }
    }
    if (st && st->own_font) DeleteObject(st->font);
  }
  return r;
}

// Dialog font from the template: DS_SETFONT's points and face (every face maps to the
// stand-in's sans), else the default GUI font.
HFONT TemplateFont(const DialogTemplate& t, bool* own) {
  if ((t.style & DS_SETFONT) == 0 || t.points == 0) {
    *own = false;
    return reinterpret_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }
  LOGFONTW lf{};
  lf.lfHeight = -MulDivRound(t.points, 96, 72);
  lf.lfWeight = t.weight != 0 ? t.weight : FW_NORMAL;
  size_t n = std::min<size_t>(t.face.size(), LF_FACESIZE - 1);
  std::copy_n(t.face.data(), n, lf.lfFaceName);
  *own = true;
  return CreateFontIndirectW(&lf);
}

HWND CreateFromTemplate(HINSTANCE instance, const DialogTemplate& t, HWND owner, DLGPROC proc, LPARAM param,
                        bool modal) {
  auto st = std::make_shared<DialogState>();
  st->proc = proc;
  st->modal = modal;
  st->font = TemplateFont(t, &st->own_font);
  BaseUnits(st->font, &st->base_x, &st->base_y);
  auto du_x = [&](int v) { return MulDivRound(v, st->base_x, 4); };
  auto du_y = [&](int v) { return MulDivRound(v, st->base_y, 8); };

  DWORD style = t.style & ~WS_VISIBLE;
  DWORD ex_style = t.ex_style;
  if ((style & DS_MODALFRAME) != 0) ex_style |= WS_EX_DLGMODALFRAME;
  if ((style & WS_CHILD) == 0) style |= WS_CLIPSIBLINGS;
  RECT in = ui::NonClientInsets(style, ex_style);
  int w = du_x(t.cx) + in.left + in.right;
  int h = du_y(t.cy) + in.top + in.bottom;
  int x = du_x(t.x), y = du_y(t.y);
  if (owner != nullptr && (style & DS_ABSALIGN) == 0) {
    POINT o{0, 0};
    ClientToScreen(owner, &o);
    x += o.x;
    y += o.y;
  }
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  if ((style & DS_CENTER) != 0) {
    x = work.left + (work.right - work.left - w) / 2;
    y = work.top + (work.bottom - work.top - h) / 2;
  }
  // Kept on the work area, as the platform moves a dialog that would stick out.
  x = std::max<int>(work.left, std::min<int>(x, work.right - w));
  y = std::max<int>(work.top, std::min<int>(y, work.bottom - h));

  HFONT font = st->font;
  std::shared_ptr<DialogState> keep = st;
  t_creating = st;
  HWND dlg = CreateWindowExW(ex_style, WC_DIALOG, t.caption.c_str(), style, x, y, w, h, owner, nullptr, instance,
                             nullptr);
  t_creating.reset();
  if (dlg == nullptr) {
    if (st->own_font) DeleteObject(st->font);
    return nullptr;
  }
  for (const ItemTemplate& it : t.items) {
    DWORD cs = (it.style | WS_CHILD) & ~WS_VISIBLE;
    DWORD cex = it.ex_style;
    // Dialogs draw bordered edit fields sunken, as the platform's 3D look does.
    if (SameClass(it.cls, u"Edit") && (cs & WS_BORDER) != 0) {
      cs &= ~WS_BORDER;
      cex |= WS_EX_CLIENTEDGE;
    }
    LPVOID create_data = it.data.empty() ? nullptr : const_cast<uint8_t*>(it.data.data());
    HWND c = CreateWindowExW(cex, it.cls.c_str(), it.text_ordinal >= 0 ? nullptr : it.text.c_str(), cs,
                             du_x(it.x), du_y(it.y), du_x(it.cx), du_y(it.cy), dlg,
                             reinterpret_cast<HMENU>(static_cast<uintptr_t>(it.id & 0xFFFF)), instance, create_data);
    if (c == nullptr) {
      DestroyWindow(dlg);
      return nullptr;
    }
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (it.text_ordinal >= 0) {
      if (SameClass(it.cls, u"Static") && (it.style & SS_TYPEMASK) == SS_ICON) {
        HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(it.text_ordinal));
        if (icon != nullptr) SendMessageW(c, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
      } else if (SameClass(it.cls, ANIMATE_CLASSW)) {
        SendMessageW(c, ACM_OPENW, reinterpret_cast<WPARAM>(instance), reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(it.text_ordinal)));
      }
    }
    if ((it.style & WS_VISIBLE) != 0) ShowWindow(c, SW_SHOWNA);
    if ((it.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON && SameClass(it.cls, u"Button") && st->def_id == 0)
      st->def_id = static_cast<int>(it.id & 0xFFFF);
  }
  HWND first = GetNextDlgTabItem(dlg, nullptr, FALSE);
  LRESULT init = SendMessageW(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param);
  if (!IsWindow(dlg)) return nullptr;
  if (init != 0 && first != nullptr && !st->ended) FocusControl(dlg, first);
  if ((t.style & WS_VISIBLE) != 0 && !st->ended) {
    ShowWindow(dlg, SW_SHOW);
    if ((t.style & DS_SETFOREGROUND) != 0) SetForegroundWindow(dlg);
  }
  return dlg;
}

INT_PTR RunModal(HINSTANCE instance, const DialogTemplate& t, HWND owner, DLGPROC proc, LPARAM param) {
  if (owner != nullptr) owner = GetAncestor(owner, GA_ROOT);
  HWND dlg = CreateFromTemplate(instance, t, owner, proc, param, true);
  if (dlg == nullptr) return -1;
  auto st = StateOf(dlg);
  if (!st->ended) {
    ShowWindow(dlg, SW_SHOW);
    if ((t.style & DS_SETFOREGROUND) != 0) SetForegroundWindow(dlg);
    if (st->saved_focus != nullptr && IsWindow(st->saved_focus)) SetFocus(st->saved_focus);
  }
  ui::RunModalLoop(
      owner, MSGF_DIALOGBOX, [dlg](MSG& m) { return IsWindow(dlg) && IsDialogMessageW(dlg, &m) != 0; },
      [dlg, st] { return st->ended || !IsWindow(dlg); });
  INT_PTR result = st->result;
  if (IsWindow(dlg)) DestroyWindow(dlg);
  if (owner != nullptr && IsWindow(owner) && IsWindowVisible(owner)) SetActiveWindow(owner);
  return result;
}

bool TemplateFromResource(HINSTANCE instance, LPCWSTR name, DialogTemplate* t) {
  HRSRC r = FindResourceW(instance, name, RT_DIALOG);
  if (r == nullptr) return false;
  const void* data = LockResource(LoadResource(instance, r));
  if (data == nullptr || !ParseTemplate(static_cast<const uint8_t*>(data), SizeofResource(instance, r), t)) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  return true;
}

// Templates by address carry no size: trusted to be whole, as on the platform.
constexpr size_t kUnbounded = static_cast<size_t>(PTRDIFF_MAX);

}  // namespace

// ---------------------------------------------------------------------------------------
namespace ui {
void RegisterDialogClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS | CS_SAVEBITS;
  wc.lpfnWndProc = DialogWindowProc;
  wc.cbWndExtra = DLGWINDOWEXTRA;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_3DFACE + 1));
  wc.lpszClassName = WC_DIALOG;
  RegisterClassExW(&wc);
}
bool ValidateDialogTemplate(const uint8_t* data, size_t size) {
  DialogTemplate t;
  return ParseTemplate(data, size, &t);
}
}  // namespace ui

HWND CreateDialogIndirectParamW(HINSTANCE instance, const DLGTEMPLATE* tmpl, HWND owner, DLGPROC proc, LPARAM param) {
  DialogTemplate t;
  if (tmpl == nullptr || !ParseTemplate(reinterpret_cast<const uint8_t*>(tmpl), kUnbounded, &t))
    return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  return CreateFromTemplate(instance, t, owner, proc, param, false);
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, const DLGTEMPLATE* tmpl, HWND owner, DLGPROC proc, LPARAM param) {
  DialogTemplate t;
  if (tmpl == nullptr || !ParseTemplate(reinterpret_cast<const uint8_t*>(tmpl), kUnbounded, &t))
    return SetLastError(ERROR_INVALID_PARAMETER), -1;
  return RunModal(instance, t, owner, proc, param);
}

HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC proc, LPARAM param) {
  DialogTemplate t;
  if (!TemplateFromResource(instance, name, &t)) return nullptr;
  return CreateFromTemplate(instance, t, owner, proc, param, false);
}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC proc, LPARAM param) {
  DialogTemplate t;
  if (!TemplateFromResource(instance, name, &t)) return -1;
  return RunModal(instance, t, owner, proc, param);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  auto st = StateOf(dialog);
  if (st == nullptr) return SetLastError(ERROR_INVALID_WINDOW_HANDLE), FALSE;
  st->ended = true;
  st->result = result;
  if (st->modal) ShowWindow(dialog, SW_HIDE);
  PostMessageW(dialog, WM_NULL, 0, 0);  // wakes the modal loop
  return TRUE;
}

LRESULT DefDlgProcW(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto st = StateOf(dialog);
  if (st != nullptr && st->proc != nullptr) {
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 0);
    INT_PTR handled = st->proc(dialog, message, wparam, lparam);
    if (handled != 0) {
      switch (message) {
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_INITDIALOG:
          return handled;
        default:
          return GetWindowLongPtrW(dialog, DWLP_MSGRESULT);
      }
    }
    if (!IsWindow(dialog)) return 0;
  }
  if (message == WM_INITDIALOG) return 0;
  return DefaultHandling(dialog, message, wparam, lparam, st.get());
}

HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous) {
  std::vector<HWND> cs = Controls(dialog);
  if (cs.empty()) return nullptr;
  auto at = std::find(cs.begin(), cs.end(), control);
  size_t n = cs.size();
  size_t start = at == cs.end() ? (previous ? 0 : n - 1) : static_cast<size_t>(at - cs.begin());
  for (size_t step = 1; step <= n; ++step) {
    size_t i = previous ? (start + n - step % n) % n : (start + step) % n;
    HWND c = cs[i];
    if ((StyleOf(c) & WS_TABSTOP) == 0 || !Usable(c)) continue;
    // Tabbing into a group of radio buttons lands on its checked one.
    if (IsRadio(c) && SendMessageW(c, BM_GETCHECK, 0, 0) != BST_CHECKED) {
      HWND g = c;
      for (HWND o = GetNextDlgGroupItem(dialog, c, FALSE); o != nullptr && o != c; o = GetNextDlgGroupItem(dialog, o, FALSE))
        if (IsRadio(o) && SendMessageW(o, BM_GETCHECK, 0, 0) == BST_CHECKED) g = o;
      c = g;
    }
    return c;
  }
  return control;
}

HWND GetNextDlgGroupItem(HWND dialog, HWND control, BOOL previous) {
  std::vector<HWND> cs = Controls(dialog);
  auto at = std::find(cs.begin(), cs.end(), control);
  if (at == cs.end()) return nullptr;
  size_t i = static_cast<size_t>(at - cs.begin());
  size_t first = i;
  while (first > 0 && (StyleOf(cs[first]) & WS_GROUP) == 0) --first;
  size_t last = i;
  while (last + 1 < cs.size() && (StyleOf(cs[last + 1]) & WS_GROUP) == 0) ++last;
  size_t n = last - first + 1;
  for (size_t step = 1; step < n; ++step) {
    size_t k = previous ? first + (i - first + n - step) % n : first + (i - first + step) % n;
    if (Usable(cs[k])) return cs[k];
  }
  return control;
}

BOOL IsDialogMessageW(HWND dialog, MSG* msg) {
  if (dialog == nullptr || msg == nullptr) return FALSE;
  if (msg->hwnd != dialog && !IsChild(dialog, msg->hwnd)) return FALSE;
  if (msg->message == WM_KEYDOWN) {
    LRESULT code = DlgCode(msg->hwnd, msg);
    HWND focus = GetFocus();
    bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
    if ((code & DLGC_WANTALLKEYS) == 0) {
      switch (static_cast<int>(msg->wParam)) {
        case VK_TAB:
          if ((code & DLGC_WANTTAB) != 0) break;
          FocusControl(dialog, GetNextDlgTabItem(dialog, IsChild(dialog, focus) ? focus : nullptr, shift));
          return TRUE;
        case VK_LEFT:
        case VK_UP:
        case VK_RIGHT:
        case VK_DOWN: {
          if ((code & DLGC_WANTARROWS) != 0) break;
          bool back = msg->wParam == VK_LEFT || msg->wParam == VK_UP;
          HWND next = IsChild(dialog, focus) ? GetNextDlgGroupItem(dialog, focus, back) : nullptr;
          if (next != nullptr && next != focus) {
            FocusControl(dialog, next);
            if (IsRadio(next)) SendMessageW(next, BM_CLICK, 0, 0);
          }
          return TRUE;
        }
        case VK_RETURN: {
          int id;
          LRESULT fcode = focus != nullptr && IsChild(dialog, focus) ? DlgCode(focus) : 0;
          if ((fcode & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0) {
            id = GetDlgCtrlID(focus);
          } else {
            LRESULT d = SendMessageW(dialog, DM_GETDEFID, 0, 0);
            id = HIWORD(static_cast<uintptr_t>(d)) == DC_HASDEFID ? LOWORD(static_cast<uintptr_t>(d)) : IDOK;
          }
          HWND b = GetDlgItem(dialog, id);
          if (b != nullptr && !IsWindowEnabled(b)) return TRUE;
          SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b));
          return TRUE;
        }
        case VK_ESCAPE: {
          HWND b = GetDlgItem(dialog, IDCANCEL);
          if (b != nullptr && !IsWindowEnabled(b)) return TRUE;
          SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(b));
          return TRUE;
        }
        default:
          break;
      }
    }
  }
  TranslateMessage(msg);
  DispatchMessageW(msg);
  return TRUE;
}

BOOL MapDialogRect(HWND dialog, RECT* rect) {
  auto st = StateOf(dialog);
  if (st == nullptr || rect == nullptr) return SetLastError(ERROR_INVALID_WINDOW_HANDLE), FALSE;
  rect->left = MulDivRound(rect->left, st->base_x, 4);
  rect->right = MulDivRound(rect->right, st->base_x, 4);
  rect->top = MulDivRound(rect->top, st->base_y, 8);
  rect->bottom = MulDivRound(rect->bottom, st->base_y, 8);
  return TRUE;
}

LONG GetDialogBaseUnits() {
  int bx, by;
  BaseUnits(reinterpret_cast<HFONT>(GetStockObject(SYSTEM_FONT)), &bx, &by);
  return static_cast<LONG>(MAKELPARAM(bx, by));
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  HWND c = GetDlgItem(dialog, id);
  return c != nullptr && SetWindowTextW(c, text);
}

UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int count) {
  HWND c = GetDlgItem(dialog, id);
  if (c == nullptr) {
    if (buffer != nullptr && count > 0) buffer[0] = 0;
    return 0;
  }
  return static_cast<UINT>(GetWindowTextW(c, buffer, count));
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed) {
  std::string s = is_signed ? std::to_string(static_cast<int>(value)) : std::to_string(value);
  std::u16string w(s.begin(), s.end());
  return SetDlgItemTextW(dialog, id, w.c_str());
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam) {
  HWND c = GetDlgItem(dialog, id);
  return c == nullptr ? 0 : SendMessageW(c, message, wparam, lparam);
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND c = GetDlgItem(dialog, id);
  if (c == nullptr) return FALSE;
  SendMessageW(c, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  HWND c = GetDlgItem(dialog, id);
  return c == nullptr ? 0 : static_cast<UINT>(SendMessageW(c, BM_GETCHECK, 0, 0));
}

BOOL CheckRadioButton(HWND dialog, int first, int last, int check) {
  for (int id = first; id <= last; ++id)
    if (HWND c = GetDlgItem(dialog, id)) SendMessageW(c, BM_SETCHECK, id == check ? BST_CHECKED : BST_UNCHECKED, 0);
  return TRUE;
}

}  // namespace win32
