// MessageBoxW: a dialog built in memory, laid out from its text in WM_INITDIALOG.
#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"
#include "platform/ui/gdi.h"
#include "platform/ui/text.h"
#include "platform/ui/window.h"

namespace win32 {
namespace {

struct Params {
  std::u16string text;
  UINT type;
  HWND owner;
  std::vector<int> buttons;
  HICON icon = nullptr;  // destroyed when the box has gone
};

std::vector<int> ButtonSet(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO: return {IDYES, IDNO};
    case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
    case MB_CANCELTRYCONTINUE: return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
    default: return {IDOK};
  }
}

const char16_t* ButtonText(int id) {
  switch (id) {
    case IDOK: return u"OK";
    case IDCANCEL: return u"Cancel";
    case IDABORT: return u"&Abort";
    case IDRETRY: return u"&Retry";
    case IDIGNORE: return u"&Ignore";
    case IDYES: return u"&Yes";
    case IDNO: return u"&No";
    case IDTRYAGAIN: return u"&Try Again";
    case IDCONTINUE: return u"&Continue";
    default: return u"";
  }
}

// Pixels of the layout (96 dpi).
constexpr int kMargin = 12;
constexpr int kIcon = 32;
constexpr int kButtonW = 75;
constexpr int kButtonH = 23;
constexpr int kButtonGap = 6;
constexpr int kMaxTextWidth = 420;

void Layout(HWND dlg, Params* p) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0));
  HICON icon = p->icon = ui::MessageBoxIcon(p->type & MB_ICONMASK);
  HDC dc = GetDC(dlg);
  HGDIOBJ old = SelectObject(dc, font);
  RECT tr{0, 0, kMaxTextWidth, 0};
  DrawTextW(dc, p->text.c_str(), -1, &tr, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(dlg, dc);
  int tw = tr.right, th = tr.bottom;
  int tx = icon != nullptr ? kMargin + kIcon + 12 : kMargin;
  int content = std::max(icon != nullptr ? kIcon : 0, th);
  int ty = kMargin + (icon != nullptr && th < kIcon ? (kIcon - th) / 2 : 0);
  int n = static_cast<int>(p->buttons.size());
  int bw = n * kButtonW + (n - 1) * kButtonGap;
  int cw = std::max(tx + tw + kMargin, bw + 2 * kMargin);
  int by = kMargin + content + 16;
  int ch = by + kButtonH + kMargin;

  HINSTANCE inst = nullptr;
  if (icon != nullptr) {
    HWND s = CreateWindowExW(0, WC_STATICW, nullptr, WS_CHILD | WS_VISIBLE | SS_ICON, kMargin, kMargin, kIcon, kIcon,
                             dlg, reinterpret_cast<HMENU>(static_cast<uintptr_t>(ui::kMessageBoxIconId)), inst, nullptr);
    SendMessageW(s, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  }
  HWND t = CreateWindowExW(0, WC_STATICW, p->text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, tx, ty, tw,
                           th, dlg, reinterpret_cast<HMENU>(static_cast<uintptr_t>(ui::kMessageBoxTextId)), inst, nullptr);
  SendMessageW(t, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  size_t def = std::min<size_t>(((p->type & MB_DEFMASK) >> 8), p->buttons.size() - 1);
  int x = (cw - bw) / 2;
  HWND focus = nullptr;
  for (size_t i = 0; i < p->buttons.size(); ++i) {
    DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | (i == 0 ? WS_GROUP : 0) | (i == def ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
    HWND b = CreateWindowExW(0, WC_BUTTONW, ButtonText(p->buttons[i]), style, x, by, kButtonW, kButtonH, dlg,
                             reinterpret_cast<HMENU>(static_cast<uintptr_t>(p->buttons[i])), inst, nullptr);
    SendMessageW(b, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (i == def) focus = b;
    x += kButtonW + kButtonGap;
  }
  SendMessageW(dlg, DM_SETDEFID, static_cast<WPARAM>(p->buttons[def]), 0);

  // Sized to the content and centred on the owner, or on the work area without one.
  RECT in{0, 0, cw, ch}, wr;
  GetWindowRect(dlg, &wr);
  RECT cl;
  GetClientRect(dlg, &cl);
  int w = cw + (wr.right - wr.left - cl.right), h = ch + (wr.bottom - wr.top - cl.bottom);
  RECT around{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &around, 0);
  RECT work = around;
  if (p->owner != nullptr && IsWindowVisible(p->owner)) GetWindowRect(p->owner, &around);
  int px = around.left + (around.right - around.left - w) / 2;
  int py = around.top + (around.bottom - around.top - h) / 2;
  px = std::max<int>(work.left, std::min<int>(px, work.right - w));
  py = std::max<int>(work.top, std::min<int>(py, work.bottom - h));
  (void)in;
  SetWindowPos(dlg, nullptr, px, py, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  SendMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
}

INT_PTR MessageBoxProc(HWND dlg, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* p = reinterpret_cast<Params*>(GetWindowLongPtrW(dlg, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dlg, DWLP_USER, lparam);
      Layout(dlg, reinterpret_cast<Params*>(lparam));
      return FALSE;  // the focus is on the default button
    case WM_COMMAND: {
      int id = LOWORD(wparam);
      if (p == nullptr) return FALSE;
      bool has = std::find(p->buttons.begin(), p->buttons.end(), id) != p->buttons.end();
      // Esc and closing answer Cancel only when the set has it; a lone OK takes them too.
      if (id == IDCANCEL && !has && p->buttons.size() == 1 && p->buttons[0] == IDOK) id = IDOK, has = true;
      if (has) EndDialog(dlg, id);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

// A template in memory: no controls, caption, the message font.
std::vector<uint16_t> BuildTemplate(const std::u16string& caption, UINT type) {
  std::vector<uint16_t> t;
  auto put32 = [&](DWORD v) {
    t.push_back(static_cast<uint16_t>(v & 0xFFFF));
    t.push_back(static_cast<uint16_t>(v >> 16));
  };
  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
  put32(style);
  put32((type & MB_TOPMOST) != 0 ? WS_EX_TOPMOST : 0);
  t.push_back(0);                  // no controls: WM_INITDIALOG makes them
  for (int i = 0; i < 4; ++i) t.push_back(i < 2 ? 0 : 10);  // x, y, cx, cy (sized later)
  t.push_back(0);                  // menu
  t.push_back(0);                  // class
  t.insert(t.end(), caption.begin(), caption.end());
  t.push_back(0);
  t.push_back(9);  // points: the message font
  for (char16_t c : std::u16string(u"Segoe UI")) t.push_back(c);
  t.push_back(0);
  return t;
}

}  // namespace

namespace ui {
HICON MessageBoxIcon(UINT icon_flag) {
  UINT kind = icon_flag & MB_ICONMASK;
  if (kind != MB_ICONERROR && kind != MB_ICONWARNING && kind != MB_ICONINFORMATION && kind != MB_ICONQUESTION)
    return nullptr;
  constexpr COLORREF kKey = RGB(255, 0, 255);
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bm = CreateCompatibleBitmap(screen, 32, 32);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old_bm = SelectObject(dc, bm);
  RECT all{0, 0, 32, 32};
  HBRUSH key = CreateSolidBrush(kKey);
  FillRect(dc, &all, key);
  DeleteObject(key);
  COLORREF fill = kind == MB_ICONERROR ? RGB(0xD8, 0x1E, 0x1E) : kind == MB_ICONWARNING ? RGB(0xF5, 0xC8, 0x1E) : RGB(0x1E, 0x5A, 0xC8);
  COLORREF edge = kind == MB_ICONERROR ? RGB(0x80, 0x00, 0x00) : kind == MB_ICONWARNING ? RGB(0x60, 0x48, 0x00) : RGB(0x0A, 0x28, 0x64);
  HBRUSH b = CreateSolidBrush(fill);
  HPEN pen = CreatePen(PS_SOLID, 1, edge);
  HGDIOBJ ob = SelectObject(dc, b), op = SelectObject(dc, pen);
  if (kind == MB_ICONWARNING) {
    // A triangle, filled row by row, with its outline.
    for (int y = 2; y < 30; ++y) {
      int half = (y - 2) * 14 / 27;
      for (int x = 16 - half - 1; x <= 15 + half + 1; ++x)
        SetPixel(dc, x, y, (x <= 16 - half - 1 || x >= 15 + half + 1 || y == 29) ? edge : fill);
    }
  } else {
    Ellipse(dc, 1, 1, 31, 31);
  }
  SelectObject(dc, ob);
  SelectObject(dc, op);
  DeleteObject(b);
  DeleteObject(pen);
  if (kind == MB_ICONERROR) {
    HPEN white = CreatePen(PS_SOLID, 1, RGB(255, 255, 255));
    HGDIOBJ o = SelectObject(dc, white);
    for (int d = -1; d <= 1; ++d) {
      MoveToEx(dc, 10 + d, 10, nullptr), LineTo(dc, 22 + d, 22);
      MoveToEx(dc, 21 + d, 10, nullptr), LineTo(dc, 9 + d, 22);
    }
    SelectObject(dc, o);
    DeleteObject(white);
  } else {
    LOGFONTW lf{};
    lf.lfHeight = kind == MB_ICONWARNING ? -18 : -22;
    lf.lfWeight = FW_BOLD;
    HFONT f = CreateFontIndirectW(&lf);
    HGDIOBJ of = SelectObject(dc, f);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kind == MB_ICONWARNING ? RGB(0, 0, 0) : RGB(255, 255, 255));
    RECT r{0, kind == MB_ICONWARNING ? 8 : 1, 32, 32};
    const char16_t* glyph = kind == MB_ICONWARNING ? u"!" : kind == MB_ICONQUESTION ? u"?" : u"i";
    DrawTextW(dc, glyph, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, of);
    DeleteObject(f);
  }
  std::vector<uint32_t> px(32 * 32);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      COLORREF c = GetPixel(dc, x, y);
      px[y * 32 + x] = c == kKey ? 0 : 0xFF000000u | (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
    }
  SelectObject(dc, old_bm);
  DeleteObject(bm);
  DeleteDC(dc);
  return CreateIconFromPixels(32, 32, px.data());
}
}  // namespace ui

namespace {
std::mutex g_script_mu;
std::vector<testing::MessageBoxShown> g_shown;
int g_answer = 0;
}  // namespace

namespace testing {
std::vector<MessageBoxShown> MessageBoxesShown() {
  std::lock_guard lock(g_script_mu);
  return g_shown;
}
void SetMessageBoxAnswer(int answer) {
  std::lock_guard lock(g_script_mu);
  g_answer = answer;
}
void ResetMessageBoxes() {
  std::lock_guard lock(g_script_mu);
  g_shown.clear();
  g_answer = 0;
}
}  // namespace testing

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  {
    std::lock_guard lock(g_script_mu);
    g_shown.push_back({owner, text != nullptr ? text : u"", caption != nullptr ? caption : u"Error", type});
    if (g_answer != 0) {
      const std::vector<int> buttons = ButtonSet(type);
      for (int b : buttons)
        if (b == g_answer) return b;
      return buttons.front();
    }
  }
  Params p{text != nullptr ? text : u"", type, owner != nullptr ? GetAncestor(owner, GA_ROOT) : nullptr, ButtonSet(type)};
  std::vector<uint16_t> t = BuildTemplate(caption != nullptr ? caption : u"Error", type);
  // DLGTEMPLATE wants DWORD alignment.
  std::vector<uint32_t> aligned((t.size() + 1) / 2);
  std::copy(t.begin(), t.end(), reinterpret_cast<uint16_t*>(aligned.data()));
  HWND prev_focus = GetFocus();
  INT_PTR r = DialogBoxIndirectParamW(nullptr, reinterpret_cast<const DLGTEMPLATE*>(aligned.data()), p.owner,
                                      MessageBoxProc, reinterpret_cast<LPARAM>(&p));
  if (prev_focus != nullptr && IsWindow(prev_focus) && GetWindowThreadProcessId(prev_focus, nullptr) == GetCurrentThreadId())
    SetFocus(prev_focus);
  if (p.icon != nullptr) DestroyIcon(p.icon);
  return r < 0 ? 0 : static_cast<int>(r);
}

}  // namespace win32
