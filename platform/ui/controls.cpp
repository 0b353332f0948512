// The system's Static and Button classes, the helpers every control shares, and the
// registration of all control classes.
#include "platform/ui/controls.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "platform/ui/controls_internal.h"
#include "platform/ui/dialog.h"
#include "platform/ui/ui_internal.h"

namespace win32 {
namespace ui {

HBRUSH ParentBrush(HWND hwnd, HDC dc, UINT message) {
  HWND parent = GetParent(hwnd);
  LRESULT r = parent != nullptr ? SendMessageW(parent, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(hwnd)) : 0;
  if (r == 0) {
    SetBkColor(dc, GetSysColor(message == WM_CTLCOLOREDIT ? COLOR_WINDOW : COLOR_3DFACE));
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    return GetSysColorBrush(message == WM_CTLCOLOREDIT ? COLOR_WINDOW : COLOR_3DFACE);
  }
  return reinterpret_cast<HBRUSH>(r);
}

void NotifyParent(HWND hwnd, UINT code) {
  HWND parent = GetParent(hwnd);
  if (parent != nullptr)
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), static_cast<int>(code)), reinterpret_cast<LPARAM>(hwnd));
}

std::u16string TextOf(HWND hwnd) { return WindowText(hwnd); }
DWORD StyleBits(HWND hwnd) { return static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE)); }

void RegisterClass(LPCWSTR name, WNDPROC proc, UINT style) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.cbWndExtra = 8;
  wc.lpszClassName = name;
  RegisterClassExW(&wc);
}

HFONT ControlFont(HWND hwnd) {
  LRESULT f = SendMessageW(hwnd, WM_GETFONT, 0, 0);
  return f != 0 ? reinterpret_cast<HFONT>(f) : reinterpret_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

void DrawFocusRectangle(HDC dc, const RECT& r) {
  if (r.right <= r.left || r.bottom <= r.top) return;
  auto invert = [dc](int x, int y) {
    COLORREF c = GetPixel(dc, x, y);
    if (c != CLR_INVALID) SetPixel(dc, x, y, RGB(255 - GetRValue(c), 255 - GetGValue(c), 255 - GetBValue(c)));
  };
  for (int x = r.left; x < r.right; x += 2) {
    invert(x, r.top);
    if ((x - r.left + r.bottom - 1 - r.top) % 2 == 0) invert(x, r.bottom - 1);
  }
  for (int y = r.top + 1; y < r.bottom - 1; ++y) {
    if ((y - r.top) % 2 == 0) invert(r.left, y);
    if ((y - r.top + r.right - 1 - r.left) % 2 == 0) invert(r.right - 1, y);
  }
}

namespace {

// Common state: the font given by WM_SETFONT.
struct FontState {
  HFONT font = nullptr;
};

// ---------------------------------------------------------------------------------------
// Static.
struct StaticState : FontState {
  HICON icon = nullptr;
};

void PaintStatic(HWND hwnd, HDC dc, StaticState* st) {
  DWORD style = StyleBits(hwnd);
  DWORD type = style & SS_TYPEMASK;
  RECT rc;
  GetClientRect(hwnd, &rc);
  if (type == SS_OWNERDRAW) {
    DRAWITEMSTRUCT dis{ODT_STATIC, static_cast<UINT>(GetDlgCtrlID(hwnd)), 0, ODA_DRAWENTIRE,
                       IsWindowEnabled(hwnd) ? 0u : ODS_DISABLED, hwnd, dc, rc, 0};
    SendMessageW(GetParent(hwnd), WM_DRAWITEM, static_cast<WPARAM>(dis.CtlID), reinterpret_cast<LPARAM>(&dis));
    return;
  }
  HBRUSH brush = ParentBrush(hwnd, dc);
  auto solid = [&](int color) { FillRect(dc, &rc, GetSysColorBrush(color)); };
  auto frame = [&](int color) { FrameRect(dc, &rc, GetSysColorBrush(color)); };
  switch (type) {
    case SS_BLACKRECT: solid(COLOR_3DDKSHADOW); break;
    case SS_GRAYRECT: solid(COLOR_3DSHADOW); break;
    case SS_WHITERECT: solid(COLOR_3DHIGHLIGHT); break;
    case SS_BLACKFRAME: frame(COLOR_3DDKSHADOW); break;
    case SS_GRAYFRAME: frame(COLOR_3DSHADOW); break;
    case SS_WHITEFRAME: frame(COLOR_3DHIGHLIGHT); break;
    case SS_ETCHEDHORZ: DrawEdge(dc, &rc, EDGE_ETCHED, BF_TOP); break;
    case SS_ETCHEDVERT: DrawEdge(dc, &rc, EDGE_ETCHED, BF_LEFT); break;
    case SS_ETCHEDFRAME: DrawEdge(dc, &rc, EDGE_ETCHED, BF_RECT); break;
    case SS_ICON: {
      FillRect(dc, &rc, brush);
      if (st->icon != nullptr) {
        ICONINFO ii{};
        BITMAP bm{};
        if (GetIconInfo(st->icon, &ii)) {
          GetObjectW(ii.hbmColor != nullptr ? ii.hbmColor : ii.hbmMask, sizeof bm, &bm);
          DeleteObject(ii.hbmColor);
          DeleteObject(ii.hbmMask);
        }
        int x = 0, y = 0;
        if ((style & SS_CENTERIMAGE) != 0) {
          x = (rc.right - bm.bmWidth) / 2;
          y = (rc.bottom - bm.bmHeight) / 2;
        }
        DrawIconEx(dc, x, y, st->icon, 0, 0, 0, nullptr, DI_NORMAL);
      }
      break;
    }
    default: {
      FillRect(dc, &rc, brush);
      std::u16string text = TextOf(hwnd);
      UINT fmt = DT_EXPANDTABS;
      if (type == SS_CENTER) fmt |= DT_CENTER | DT_WORDBREAK;
      else if (type == SS_RIGHT) fmt |= DT_RIGHT | DT_WORDBREAK;
      else if (type == SS_LEFT) fmt |= DT_LEFT | DT_WORDBREAK;
      else fmt |= DT_LEFT | DT_SINGLELINE;
      if ((style & SS_CENTERIMAGE) != 0) fmt = (fmt & ~DT_WORDBREAK) | DT_SINGLELINE | DT_VCENTER;
      if ((style & SS_NOPREFIX) != 0) fmt |= DT_NOPREFIX;
      if ((style & SS_ENDELLIPSIS) != 0) fmt |= DT_END_ELLIPSIS;
      HGDIOBJ old = SelectObject(dc, st->font != nullptr ? st->font : GetStockObject(DEFAULT_GUI_FONT));
      SetBkMode(dc, TRANSPARENT);
      if (!IsWindowEnabled(hwnd)) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
      DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc, fmt);
      SelectObject(dc, old);
      break;
    }
  }
  if ((style & SS_SUNKEN) != 0) {
    GetClientRect(hwnd, &rc);
    DrawEdge(dc, &rc, BDR_SUNKENOUTER, BF_RECT);
  }
}

LRESULT StaticProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* st = ControlState<StaticState>(hwnd);
  switch (message) {
    case WM_NCCREATE:
      AttachState(hwnd, new StaticState);
      return DefWindowProcW(hwnd, message, wparam, lparam);
    case WM_NCDESTROY:
      delete st;
      AttachState<StaticState>(hwnd, nullptr);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (st != nullptr) PaintStatic(hwnd, dc, st);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SETTEXT: {
      LRESULT r = DefWindowProcW(hwnd, message, wparam, lparam);
      InvalidateRect(hwnd, nullptr, TRUE);
      return r;
    }
    case WM_SETFONT:
      if (st != nullptr) st->font = reinterpret_cast<HFONT>(wparam);
      if (LOWORD(static_cast<uintptr_t>(lparam)) != 0) InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return st != nullptr ? reinterpret_cast<LRESULT>(st->font) : 0;
    case STM_SETICON: {
      if (st == nullptr) return 0;
      HICON old = st->icon;
      st->icon = reinterpret_cast<HICON>(wparam);
      if (st->icon != nullptr && (StyleBits(hwnd) & SS_CENTERIMAGE) == 0) {
        ICONINFO ii{};
        if (GetIconInfo(st->icon, &ii)) {
          BITMAP bm{};
          GetObjectW(ii.hbmColor != nullptr ? ii.hbmColor : ii.hbmMask, sizeof bm, &bm);
          DeleteObject(ii.hbmColor);
          DeleteObject(ii.hbmMask);
          SetWindowPos(hwnd, nullptr, 0, 0, bm.bmWidth, bm.bmHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
      }
      InvalidateRect(hwnd, nullptr, TRUE);
      return reinterpret_cast<LRESULT>(old);
    }
    case STM_GETICON:
      return st != nullptr ? reinterpret_cast<LRESULT>(st->icon) : 0;
    case WM_LBUTTONDOWN:
      if ((StyleBits(hwnd) & SS_NOTIFY) != 0) NotifyParent(hwnd, STN_CLICKED);
      return 0;
    case WM_ENABLE:
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETDLGCODE:
      return DLGC_STATIC;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

// ---------------------------------------------------------------------------------------
// Button.
struct ButtonState : FontState {
  WPARAM check = BST_UNCHECKED;
  bool pushed = false;    // drawn pressed: mouse held inside, or space held
  bool tracking = false;  // the mouse went down on it
  bool space = false;
  std::u16string note;    // a command link's second line
};

DWORD ButtonType(HWND hwnd) { return StyleBits(hwnd) & BS_TYPEMASK; }
bool IsPushLike(DWORD type) {
  return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_COMMANDLINK || type == BS_DEFCOMMANDLINK;
}

// The frame of the default button follows the focus among push buttons, as on the platform:
// a focused push button draws as the default; otherwise the dialog's default ID does.
bool DrawsAsDefault(HWND hwnd) {
  DWORD type = ButtonType(hwnd);
  if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) return false;
  HWND focus = GetFocus();
  HWND parent = GetParent(hwnd);
  if (focus != nullptr && GetParent(focus) == parent && IsPushLike(ButtonType(focus)) &&
      WindowClassName(focus) == u"Button")
    return focus == hwnd;
  if (parent != nullptr) {
    LRESULT d = SendMessageW(parent, DM_GETDEFID, 0, 0);
    if (HIWORD(static_cast<uintptr_t>(d)) == DC_HASDEFID) return LOWORD(static_cast<uintptr_t>(d)) == GetDlgCtrlID(hwnd);
  }
  return type == BS_DEFPUSHBUTTON;
}

void InvalidatePushSiblings(HWND hwnd) {
  HWND parent = GetParent(hwnd);
  if (parent == nullptr) return;
  for (HWND c = GetWindow(parent, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
    if (WindowClassName(c) == u"Button" && IsPushLike(ButtonType(c))) InvalidateRect(c, nullptr, TRUE);
}

void ButtonText(HDC dc, HWND hwnd, RECT r, UINT fmt) {
  std::u16string text = TextOf(hwnd);
  SetBkMode(dc, TRANSPARENT);
  if (!IsWindowEnabled(hwnd)) {
    // The classic engraved look of disabled text.
    RECT s = r;
    OffsetRect(&s, 1, 1);
    SetTextColor(dc, GetSysColor(COLOR_3DHIGHLIGHT));
    DrawTextW(dc, text.c_str(), -1, &s, fmt);
    SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
  } else {
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  }
  DrawTextW(dc, text.c_str(), -1, &r, fmt);
}

void DrawCheckMark(HDC dc, int x, int y, COLORREF c) {
  // Seven columns, three pixels tall each: the classic check.
  static const int kTop[7] = {2, 3, 4, 3, 2, 1, 0};
  for (int i = 0; i < 7; ++i)
    for (int k = 0; k < 3; ++k) SetPixel(dc, x + i, y + kTop[i] + k, c);
}

void DrawRadio(HDC dc, int x, int y, bool checked, bool pressed, bool enabled) {
  // 12 x 12: an outer ring shadow/highlight and an inner ring dark shadow/light, split along the
  // diagonal from the top right to the bottom left, as the classic radio button is drawn.
  for (int py = 0; py < 12; ++py)
    for (int px = 0; px < 12; ++px) {
      double dx = px + 0.5 - 6, dy = py + 0.5 - 6;
      double d = std::sqrt(dx * dx + dy * dy);
      bool upper_left = px + py < 11;
      COLORREF c;
      if (d > 6.0) continue;
      if (d > 5.0) c = GetSysColor(upper_left ? COLOR_3DSHADOW : COLOR_3DHIGHLIGHT);
      else if (d > 4.0) c = GetSysColor(upper_left ? COLOR_3DDKSHADOW : COLOR_3DLIGHT);
      else if (checked && d <= 2.0) c = GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT);
      else c = GetSysColor(pressed || !enabled ? COLOR_3DFACE : COLOR_WINDOW);
      SetPixel(dc, x + px, y + py, c);
    }
}

void PaintButton(HWND hwnd, HDC dc, ButtonState* st) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  DWORD type = ButtonType(hwnd);
  bool focused = GetFocus() == hwnd;
  bool enabled = IsWindowEnabled(hwnd) != 0;
  HGDIOBJ old_font = SelectObject(dc, st->font != nullptr ? st->font : GetStockObject(DEFAULT_GUI_FONT));
  if (type == BS_GROUPBOX) {
    // No fill inside: the controls in the group stay as they are drawn.
    std::u16string text = TextOf(hwnd);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    RECT frame{rc.left, rc.top + tm.tmHeight / 2, rc.right, rc.bottom};
    DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
    if (!text.empty()) {
      RECT tr{8, 0, rc.right - 8, tm.tmHeight};
      DrawTextW(dc, text.c_str(), -1, &tr, DT_SINGLELINE | DT_LEFT | DT_CALCRECT);
      RECT back{tr.left - 2, tr.top, tr.right + 2, tr.bottom};
      FillRect(dc, &back, ParentBrush(hwnd, dc));
      ButtonText(dc, hwnd, tr, DT_SINGLELINE | DT_LEFT);
    }
  } else if (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX || type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON) {
    FillRect(dc, &rc, ParentBrush(hwnd, dc));
    bool radio = type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON;
    int box = radio ? 12 : 13;
    int by = (rc.bottom - box) / 2;
    if (radio) {
      DrawRadio(dc, 0, by, st->check == BST_CHECKED, st->pushed, enabled);
    } else {
      RECT b{0, by, 13, by + 13};
      DrawEdge(dc, &b, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
      FillRect(dc, &b, GetSysColorBrush(st->pushed || !enabled ? COLOR_3DFACE : COLOR_WINDOW));
      if (st->check == BST_CHECKED) DrawCheckMark(dc, 3, by + 3, GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
    }
    RECT tr{box + 4, rc.top, rc.right, rc.bottom};
    ButtonText(dc, hwnd, tr, DT_SINGLELINE | DT_LEFT | DT_VCENTER);
    if (focused) {
      std::u16string text = TextOf(hwnd);
      RECT m = tr;
      DrawTextW(dc, text.c_str(), -1, &m, DT_SINGLELINE | DT_LEFT | DT_CALCRECT);
      int h = m.bottom - m.top;
      RECT f{m.left - 1, (rc.bottom - h) / 2 - 1, std::min<LONG>(m.right + 1, rc.right), (rc.bottom - h) / 2 + h + 1};
      DrawFocusRectangle(dc, f);
    }
  } else if (type == BS_COMMANDLINK || type == BS_DEFCOMMANDLINK) {
    FillRect(dc, &rc, ParentBrush(hwnd, dc));
    if (st->pushed || focused) {
      RECT f = rc;
      DrawEdge(dc, &f, st->pushed ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
    }
    // The green arrow of a command link.
    COLORREF green = enabled ? RGB(0x2E, 0x8B, 0x2E) : GetSysColor(COLOR_GRAYTEXT);
    int ax = 8, ay = 10;
    for (int i = 0; i < 9; ++i) SetPixel(dc, ax + i, ay + 4, green), SetPixel(dc, ax + i, ay + 5, green);
    for (int i = 0; i < 5; ++i) {
      SetPixel(dc, ax + 8 - i, ay + 4 - i, green), SetPixel(dc, ax + 8 - i, ay + 5 + i, green);
      SetPixel(dc, ax + 7 - i, ay + 4 - i, green), SetPixel(dc, ax + 7 - i, ay + 5 + i, green);
    }
    LOGFONTW lf{};
    GetObjectW(st->font != nullptr ? st->font : GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    lf.lfHeight = lf.lfHeight < 0 ? lf.lfHeight * 4 / 3 : lf.lfHeight;
    HFONT big = CreateFontIndirectW(&lf);
    HGDIOBJ prev = SelectObject(dc, big);
    RECT tr{26, 6, rc.right - 6, rc.bottom};
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, enabled ? RGB(0x00, 0x33, 0x99) : GetSysColor(COLOR_GRAYTEXT));
    std::u16string text = TextOf(hwnd);
    int h = DrawTextW(dc, text.c_str(), -1, &tr, DT_LEFT | DT_WORDBREAK);
    SelectObject(dc, prev);
    DeleteObject(big);
    if (!st->note.empty()) {
      RECT nr{26, 6 + h + 2, rc.right - 6, rc.bottom};
      SetTextColor(dc, GetSysColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
      DrawTextW(dc, st->note.c_str(), -1, &nr, DT_LEFT | DT_WORDBREAK);
    }
  } else {
    FillRect(dc, &rc, GetSysColorBrush(COLOR_3DFACE));
    RECT r = rc;
    if (DrawsAsDefault(hwnd)) {
      FrameRect(dc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
      InflateRect(&r, -1, -1);
    }
    RECT tr = r;
    if (st->pushed) {
      FrameRect(dc, &r, GetSysColorBrush(COLOR_3DSHADOW));
      OffsetRect(&tr, 1, 1);
    } else {
      // The button's soft raised edge: highlight and dark shadow outside, light and shadow inside.
      Draw3dRect(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, GetSysColor(COLOR_3DHIGHLIGHT),
                 GetSysColor(COLOR_3DDKSHADOW));
      Draw3dRect(dc, r.left + 1, r.top + 1, r.right - r.left - 2, r.bottom - r.top - 2, GetSysColor(COLOR_3DLIGHT),
                 GetSysColor(COLOR_3DSHADOW));
    }
    ButtonText(dc, hwnd, tr, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    if (focused) {
      RECT f = rc;
      InflateRect(&f, -4, -4);
      DrawFocusRectangle(dc, f);
    }
  }
  SelectObject(dc, old_font);
}

void SetCheck(HWND hwnd, ButtonState* st, WPARAM check) {
  if (st->check == check) return;
  st->check = check;
  InvalidateRect(hwnd, nullptr, TRUE);
}

void ClickButton(HWND hwnd, ButtonState* st) {
  DWORD type = ButtonType(hwnd);
  if (type == BS_AUTOCHECKBOX) {
    SetCheck(hwnd, st, st->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);
  } else if (type == BS_AUTORADIOBUTTON) {
    // The others of the group (up to the next WS_GROUP) lose their check.
    HWND parent = GetParent(hwnd);
    for (HWND o = GetNextDlgGroupItem(parent, hwnd, FALSE); o != nullptr && o != hwnd;
         o = GetNextDlgGroupItem(parent, o, FALSE))
      if (WindowClassName(o) == u"Button" && ButtonType(o) == BS_AUTORADIOBUTTON)
        SendMessageW(o, BM_SETCHECK, BST_UNCHECKED, 0);
    SetCheck(hwnd, st, BST_CHECKED);
  }
  NotifyParent(hwnd, BN_CLICKED);
}

LRESULT ButtonProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* st = ControlState<ButtonState>(hwnd);
  if (st == nullptr && message != WM_NCCREATE) return DefWindowProcW(hwnd, message, wparam, lparam);
  switch (message) {
    case WM_NCCREATE:
      AttachState(hwnd, new ButtonState);
      return DefWindowProcW(hwnd, message, wparam, lparam);
    case WM_NCDESTROY:
      delete st;
      AttachState<ButtonState>(hwnd, nullptr);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      PaintButton(hwnd, dc, st);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SETTEXT: {
      LRESULT r = DefWindowProcW(hwnd, message, wparam, lparam);
      InvalidateRect(hwnd, nullptr, TRUE);
      return r;
    }
    case WM_SETFONT:
      st->font = reinterpret_cast<HFONT>(wparam);
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(st->font);
    case WM_ENABLE:
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      if (message == WM_KILLFOCUS && st->space) st->space = st->pushed = false;
      InvalidateRect(hwnd, nullptr, TRUE);
      if (IsPushLike(ButtonType(hwnd))) InvalidatePushSiblings(hwnd);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      if (ButtonType(hwnd) == BS_GROUPBOX) return 0;
      SetFocus(hwnd);
      SetCapture(hwnd);
      st->tracking = st->pushed = true;
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_MOUSEMOVE:
      if (st->tracking) {
        RECT rc;
        GetClientRect(hwnd, &rc);
        bool inside = PtInRect(&rc, POINT{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)}) != 0;
        if (inside != st->pushed) {
          st->pushed = inside;
          InvalidateRect(hwnd, nullptr, TRUE);
        }
      }
      return 0;
    case WM_LBUTTONUP:
      if (st->tracking) {
        bool click = st->pushed;
        st->tracking = st->pushed = false;
        ReleaseCapture();
        InvalidateRect(hwnd, nullptr, TRUE);
        if (click) ClickButton(hwnd, st);
      }
      return 0;
    case WM_CAPTURECHANGED:
      if (st->tracking && reinterpret_cast<HWND>(lparam) != hwnd) {
        st->tracking = st->pushed = false;
        InvalidateRect(hwnd, nullptr, TRUE);
      }
      return 0;
    case WM_KEYDOWN:
      if (wparam == VK_SPACE && ButtonType(hwnd) != BS_GROUPBOX) {
        st->space = st->pushed = true;
        InvalidateRect(hwnd, nullptr, TRUE);
      }
      return 0;
    case WM_KEYUP:
      if (wparam == VK_SPACE && st->space) {
        st->space = st->pushed = false;
        InvalidateRect(hwnd, nullptr, TRUE);
        ClickButton(hwnd, st);
      }
      return 0;
    case WM_CHAR:
      return 0;
    case BM_CLICK:
      ClickButton(hwnd, st);
      return 0;
    case BM_GETCHECK:
      return static_cast<LRESULT>(st->check);
    case BM_SETCHECK:
      SetCheck(hwnd, st, wparam == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED);
      return 0;
    case BM_GETSTATE:
      return static_cast<LRESULT>(st->check | (st->pushed ? BST_PUSHED : 0) | (GetFocus() == hwnd ? BST_FOCUS : 0));
    case BM_SETSTATE:
      st->pushed = wparam != 0;
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case BM_SETSTYLE: {
      DWORD s = (StyleBits(hwnd) & ~BS_TYPEMASK) | (static_cast<DWORD>(wparam) & BS_TYPEMASK);
      SetWindowLongPtrW(hwnd, GWL_STYLE, static_cast<LONG_PTR>(s));
      if (LOWORD(static_cast<uintptr_t>(lparam)) != 0) InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    }
    case BCM_SETNOTE:
      st->note = lparam != 0 ? std::u16string(reinterpret_cast<LPCWSTR>(lparam)) : std::u16string();
      InvalidateRect(hwnd, nullptr, TRUE);
      return TRUE;
    case WM_GETDLGCODE: {
      DWORD type = ButtonType(hwnd);
      if (type == BS_GROUPBOX) return DLGC_STATIC;
      if (type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON) return DLGC_RADIOBUTTON | DLGC_BUTTON;
      if (type == BS_DEFPUSHBUTTON || type == BS_DEFCOMMANDLINK) return DLGC_DEFPUSHBUTTON | DLGC_BUTTON;
      if (type == BS_PUSHBUTTON || type == BS_COMMANDLINK) return DLGC_UNDEFPUSHBUTTON | DLGC_BUTTON;
      return DLGC_BUTTON;
    }
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

}  // namespace

void RegisterControlClasses() {
  RegisterClass(WC_STATICW, StaticProc, 0);
  RegisterClass(WC_BUTTONW, ButtonProc);
  RegisterClass(WC_EDITW, EditProc);
  RegisterClass(WC_LINK, LinkProc);
  RegisterClass(PROGRESS_CLASSW, ProgressProc, 0);
  RegisterClass(ANIMATE_CLASSW, AnimateProc, 0);
  RegisterDialogClass();
}

}  // namespace ui

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* icc) {
  if (icc == nullptr || icc->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
  return TRUE;
}

}  // namespace win32
