// The system's Edit class, single line: text, caret and selection, horizontal scrolling, the
// text limit, password masking and the clipboard.
#include <algorithm>
#include <cstring>

#include "platform/ui/clipboard.h"
#include "platform/ui/controls_internal.h"
#include "platform/ui/ui_internal.h"

namespace win32::ui {
namespace {

constexpr UINT kInitialLimit = 30000;  // the platform's limit before EM_LIMITTEXT
constexpr int kMargin = 1;             // pixels between the border and the text

struct EditState {
  HFONT font = nullptr;
  std::u16string text;
  size_t anchor = 0;  // the fixed end of the selection
  size_t caret = 0;   // the moving end, where the caret is
  int scroll = 0;     // pixels of text scrolled out at the left
  UINT limit = kInitialLimit;
  WCHAR password = 0;
  bool selecting = false;
  size_t lo() const { return std::min(anchor, caret); }
  size_t hi() const { return std::max(anchor, caret); }
};

std::u16string Shown(const EditState* st) {
  return st->password != 0 ? std::u16string(st->text.size(), st->password) : st->text;
}

int Width(HWND hwnd, EditState* st, const std::u16string& s, size_t n) {
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, st->font != nullptr ? st->font : GetStockObject(DEFAULT_GUI_FONT));
  SIZE sz{};
  GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(n), &sz);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  return sz.cx;
}

int ClientWidth(HWND hwnd) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  return rc.right;
}

// Keeps the caret inside the visible part.
void ScrollToCaret(HWND hwnd, EditState* st) {
  std::u16string s = Shown(st);
  int x = Width(hwnd, st, s, st->caret);
  int visible = std::max(1, ClientWidth(hwnd) - 2 * kMargin - 1);
  if (x - st->scroll > visible) st->scroll = x - visible;
  if (x < st->scroll) st->scroll = std::max(0, x - visible / 3);
  int total = Width(hwnd, st, s, s.size());
  if (total - st->scroll < visible) st->scroll = std::max(0, total - visible);
}

size_t HitIndex(HWND hwnd, EditState* st, int x) {
  std::u16string s = Shown(st);
  int target = x - kMargin + st->scroll;
  size_t best = 0;
  int best_d = std::abs(target);
  for (size_t i = 1; i <= s.size(); ++i) {
    int d = std::abs(Width(hwnd, st, s, i) - target);
    if (d < best_d) best = i, best_d = d;
  }
  return best;
}

void Changed(HWND hwnd, EditState* st) {
  StoreWindowText(hwnd, st->text.c_str());
  ScrollToCaret(hwnd, st);
  InvalidateRect(hwnd, nullptr, TRUE);
  NotifyParent(hwnd, EN_CHANGE);
}

// Replaces the selection with `in`: the characters beyond the limit are refused (EN_MAXTEXT),
// whether they were typed or pasted; without ES_AUTOHSCROLL, so are those that would not fit
// the visible width.
void ReplaceSelection(HWND hwnd, EditState* st, std::u16string in, bool notify) {
  size_t lo = st->lo(), hi = st->hi();
  size_t kept = st->text.size() - (hi - lo);
  size_t room = st->limit > kept ? st->limit - kept : 0;
  bool refused = false;
  if (in.size() > room) {
    in.resize(room);
    refused = true;
  }
  if ((StyleBits(hwnd) & ES_AUTOHSCROLL) == 0) {
    int visible = ClientWidth(hwnd) - 2 * kMargin - 1;
    while (!in.empty()) {
      std::u16string t = st->text.substr(0, lo) + in + st->text.substr(hi);
      if (st->password != 0) t.assign(t.size(), st->password);
      if (Width(hwnd, st, t, t.size()) <= visible) break;
      in.pop_back();
      refused = true;
    }
  }
  if (refused) NotifyParent(hwnd, EN_MAXTEXT);
  if (in.empty() && lo == hi) return;
  st->text = st->text.substr(0, lo) + in + st->text.substr(hi);
  st->anchor = st->caret = lo + in.size();
  if (notify) Changed(hwnd, st);
}

void Copy(HWND hwnd, EditState* st) {
  if (st->password != 0 || st->lo() == st->hi()) return;  // masked text never leaves the field
  if (!OpenClipboard(hwnd)) return;
  EmptyClipboard();
  std::u16string sel = st->text.substr(st->lo(), st->hi() - st->lo());
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, (sel.size() + 1) * sizeof(char16_t));
  auto* p = static_cast<char16_t*>(GlobalLock(h));
  std::copy(sel.begin(), sel.end(), p);
  p[sel.size()] = 0;
  GlobalUnlock(h);
  SetClipboardData(CF_UNICODETEXT, h);
  CloseClipboard();
}

void Paste(HWND hwnd, EditState* st) {
  if (!OpenClipboard(hwnd)) return;
  std::u16string in;
  if (HGLOBAL h = GetClipboardData(CF_UNICODETEXT)) {
    const auto* p = static_cast<const char16_t*>(GlobalLock(h));
    size_t n = GlobalSize(h) / sizeof(char16_t);
    for (size_t i = 0; i < n && p[i] != 0; ++i) in.push_back(p[i]);
    GlobalUnlock(h);
  }
  CloseClipboard();
  // A single-line field takes the first line.
  size_t nl = in.find_first_of(u"\r\n");
  if (nl != std::u16string::npos) in.resize(nl);
  if (!in.empty()) ReplaceSelection(hwnd, st, in, true);
}

void MoveCaret(HWND hwnd, EditState* st, size_t to, bool extend) {
  st->caret = std::min(to, st->text.size());
  if (!extend) st->anchor = st->caret;
  ScrollToCaret(hwnd, st);
  InvalidateRect(hwnd, nullptr, TRUE);
}

void PaintEdit(HWND hwnd, HDC dc, EditState* st) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  bool enabled = IsWindowEnabled(hwnd) != 0;
  bool read_only = (StyleBits(hwnd) & ES_READONLY) != 0;
  HBRUSH brush = ParentBrush(hwnd, dc, enabled && !read_only ? WM_CTLCOLOREDIT : WM_CTLCOLORSTATIC);
  COLORREF text_color = enabled ? GetTextColor(dc) : GetSysColor(COLOR_GRAYTEXT);
  FillRect(dc, &rc, brush);
  HGDIOBJ old = SelectObject(dc, st->font != nullptr ? st->font : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  int y = std::max(0, (rc.bottom - tm.tmHeight) / 2);
  int x0 = kMargin - st->scroll;
  std::u16string s = Shown(st);
  bool focused = GetFocus() == hwnd;
  size_t lo = st->lo(), hi = st->hi();
  SetBkMode(dc, TRANSPARENT);
  auto run = [&](size_t from, size_t to, bool selected) {
    if (from >= to) return;
    SIZE a{}, b{};
    GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(from), &a);
    GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(to), &b);
    if (selected) {
      RECT sel{x0 + a.cx, y, x0 + b.cx, y + tm.tmHeight};
      FillRect(dc, &sel, GetSysColorBrush(COLOR_HIGHLIGHT));
      SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));
    } else {
      SetTextColor(dc, text_color);
    }
    TextOutW(dc, x0 + a.cx, y, s.c_str() + from, static_cast<int>(to - from));
  };
  if (focused && lo != hi) {
    run(0, lo, false);
    run(lo, hi, true);
    run(hi, s.size(), false);
  } else {
    run(0, s.size(), false);
  }
  if (focused && enabled) {
    SIZE c{};
    GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(st->caret), &c);
    RECT caret{x0 + c.cx, y, x0 + c.cx + 1, y + tm.tmHeight};
    FillRect(dc, &caret, GetSysColorBrush(COLOR_WINDOWTEXT));
  }
  SelectObject(dc, old);
}

}  // namespace

LRESULT EditProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* st = ControlState<EditState>(hwnd);
  if (st == nullptr && message != WM_NCCREATE) return DefWindowProcW(hwnd, message, wparam, lparam);
  bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
  bool read_only = (StyleBits(hwnd) & ES_READONLY) != 0;
  switch (message) {
    case WM_NCCREATE: {
      auto* s = new EditState;
      const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      if (cs->lpszName != nullptr) s->text = cs->lpszName;
      if ((cs->style & ES_PASSWORD) != 0) s->password = u'*';
      AttachState(hwnd, s);
      return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    case WM_NCDESTROY:
      delete st;
      AttachState<EditState>(hwnd, nullptr);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      PaintEdit(hwnd, dc, st);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SETFONT:
      st->font = reinterpret_cast<HFONT>(wparam);
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(st->font);
    case WM_SETTEXT:
      // The limit does not apply to text set by the program, as on the platform.
      st->text = lparam != 0 ? std::u16string(reinterpret_cast<LPCWSTR>(lparam)) : std::u16string();
      st->anchor = st->caret = 0;
      st->scroll = 0;
      Changed(hwnd, st);
      return TRUE;
    case WM_SETFOCUS:
      InvalidateRect(hwnd, nullptr, TRUE);
      NotifyParent(hwnd, EN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      InvalidateRect(hwnd, nullptr, TRUE);
      NotifyParent(hwnd, EN_KILLFOCUS);
      return 0;
    case WM_ENABLE:
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
    case WM_LBUTTONDOWN:
      SetFocus(hwnd);
      SetCapture(hwnd);
      st->selecting = true;
      MoveCaret(hwnd, st, HitIndex(hwnd, st, GET_X_LPARAM(lparam)), (wparam & MK_SHIFT) != 0);
      return 0;
    case WM_MOUSEMOVE:
      if (st->selecting) MoveCaret(hwnd, st, HitIndex(hwnd, st, GET_X_LPARAM(lparam)), true);
      return 0;
    case WM_LBUTTONUP:
      if (st->selecting) {
        st->selecting = false;
        ReleaseCapture();
      }
      return 0;
    case WM_LBUTTONDBLCLK:
      st->anchor = 0;
      MoveCaret(hwnd, st, st->text.size(), true);
      return 0;
    case WM_KEYDOWN:
      switch (static_cast<int>(wparam)) {
        case VK_LEFT: {
          size_t to = !shift && st->lo() != st->hi() ? st->lo() : (st->caret > 0 ? st->caret - 1 : 0);
          MoveCaret(hwnd, st, to, shift);
          return 0;
        }
        case VK_RIGHT: {
          size_t to = !shift && st->lo() != st->hi() ? st->hi() : st->caret + 1;
          MoveCaret(hwnd, st, to, shift);
          return 0;
        }
        case VK_HOME:
          MoveCaret(hwnd, st, 0, shift);
          return 0;
        case VK_END:
          MoveCaret(hwnd, st, st->text.size(), shift);
          return 0;
        case VK_DELETE:
          if (read_only) return 0;
          if (shift) {
            Copy(hwnd, st);
            ReplaceSelection(hwnd, st, u"", true);
          } else {
            if (st->lo() == st->hi() && st->caret < st->text.size()) st->caret++;
            ReplaceSelection(hwnd, st, u"", true);
          }
          return 0;
        case VK_INSERT:
          if ((GetKeyState(VK_CONTROL) & 0x8000) != 0) Copy(hwnd, st);
          else if (shift && !read_only) Paste(hwnd, st);
          return 0;
        default:
          return 0;
      }
    case WM_CHAR: {
      WCHAR c = static_cast<WCHAR>(wparam);
      switch (c) {
        case 0x01:  // Ctrl+A
          st->anchor = 0;
          MoveCaret(hwnd, st, st->text.size(), true);
          return 0;
        case 0x03:  // Ctrl+C
          Copy(hwnd, st);
          return 0;
        case 0x16:  // Ctrl+V
          if (!read_only) Paste(hwnd, st);
          return 0;
        case 0x18:  // Ctrl+X
          if (!read_only && st->password == 0) {
            Copy(hwnd, st);
            ReplaceSelection(hwnd, st, u"", true);
          }
          return 0;
        case 0x08:  // Backspace
          if (read_only) return 0;
          if (st->lo() == st->hi() && st->caret > 0) st->anchor = st->caret - 1;
          ReplaceSelection(hwnd, st, u"", true);
          return 0;
        default:
          if (c < 0x20 || read_only) return 0;
          if ((StyleBits(hwnd) & ES_NUMBER) != 0 && (c < u'0' || c > u'9')) return 0;
          ReplaceSelection(hwnd, st, std::u16string(1, c), true);
          return 0;
      }
    }
    case WM_COPY:
      Copy(hwnd, st);
      return 0;
    case WM_CUT:
      if (st->password == 0) {
        Copy(hwnd, st);
        ReplaceSelection(hwnd, st, u"", true);
      }
      return 0;
    case WM_PASTE:
      Paste(hwnd, st);
      return 0;
    case WM_CLEAR:
      ReplaceSelection(hwnd, st, u"", true);
      return 0;
    case EM_GETSEL: {
      auto lo = static_cast<DWORD>(st->lo()), hi = static_cast<DWORD>(st->hi());
      if (wparam != 0) *reinterpret_cast<DWORD*>(wparam) = lo;
      if (lparam != 0) *reinterpret_cast<DWORD*>(lparam) = hi;
      return MAKELPARAM(static_cast<int>(std::min<DWORD>(lo, 0xFFFF)), static_cast<int>(std::min<DWORD>(hi, 0xFFFF)));
    }
    case EM_SETSEL: {
      auto start = static_cast<intptr_t>(static_cast<int>(wparam));
      auto end = static_cast<intptr_t>(static_cast<int>(lparam));
      size_t n = st->text.size();
      if (start < 0) {
        st->anchor = st->caret;  // -1: no selection, the caret stays
      } else {
        st->anchor = std::min<size_t>(static_cast<size_t>(start), n);
        st->caret = end < 0 ? n : std::min<size_t>(static_cast<size_t>(end), n);
      }
      ScrollToCaret(hwnd, st);
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    }
    case EM_REPLACESEL:
      ReplaceSelection(hwnd, st, lparam != 0 ? std::u16string(reinterpret_cast<LPCWSTR>(lparam)) : u"", true);
      return 0;
    case EM_LIMITTEXT:
      st->limit = wparam == 0 ? kEditMaxLimit : static_cast<UINT>(std::min<WPARAM>(wparam, kEditMaxLimit));
      return 0;
    case EM_GETLIMITTEXT:
      return st->limit;
    case EM_SETPASSWORDCHAR: {
      st->password = static_cast<WCHAR>(wparam);
      DWORD s = StyleBits(hwnd);
      SetWindowLongPtrW(hwnd, GWL_STYLE, static_cast<LONG_PTR>(st->password != 0 ? s | ES_PASSWORD : s & ~ES_PASSWORD));
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    }
    case EM_GETPASSWORDCHAR:
      return st->password;
    case EM_SETREADONLY: {
      DWORD s = StyleBits(hwnd);
      SetWindowLongPtrW(hwnd, GWL_STYLE, static_cast<LONG_PTR>(wparam != 0 ? s | ES_READONLY : s & ~ES_READONLY));
      InvalidateRect(hwnd, nullptr, TRUE);
      return TRUE;
    }
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

}  // namespace win32::ui
