// The common controls: SysLink, msctls_progress32 and SysAnimate32 with its clip reader.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/ui/controls_internal.h"
#include "platform/ui/resource.h"
#include "platform/ui/ui_internal.h"

namespace win32::ui {
namespace {

std::u16string Lower(std::u16string s) {
  for (auto& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return s;
}

// ---------------------------------------------------------------------------------------
// SysLink.
struct Link {
  std::u16string id;
  std::u16string url;
  std::vector<RECT> rects;  // client coordinates of its words, from the last layout
};
struct Run {
  std::u16string text;
  int link;  // -1: plain text
};
struct LinkState {
  HFONT font = nullptr;
  std::vector<Run> runs;
  std::vector<Link> links;
  int focused = 0;
  int pressed = -1;
};

// The markup: <A HREF="..." ID="...">text</A>, names without regard to case; anything else
// is text. An unterminated tag is text too.
void ParseMarkup(const std::u16string& in, LinkState* st) {
  st->runs.clear();
  st->links.clear();
  std::u16string low = Lower(in);
  size_t i = 0;
  std::u16string plain;
  auto flush = [&] {
    if (!plain.empty()) st->runs.push_back({plain, -1});
    plain.clear();
  };
  while (i < in.size()) {
    bool tag = low.compare(i, 2, u"<a") == 0 && i + 2 < in.size() && (in[i + 2] == u'>' || in[i + 2] == u' ');
    size_t close_tag = tag ? in.find(u'>', i) : std::u16string::npos;
    size_t end = close_tag != std::u16string::npos ? low.find(u"</a>", close_tag) : std::u16string::npos;
    if (!tag || end == std::u16string::npos) {
      plain.push_back(in[i++]);
      continue;
    }
    flush();
    Link link;
    std::u16string attrs = in.substr(i + 2, close_tag - i - 2);
    std::u16string lattrs = Lower(attrs);
    auto attr = [&](const std::u16string& name) -> std::u16string {
      size_t p = lattrs.find(name + u"=");
      if (p == std::u16string::npos) return {};
      p += name.size() + 1;
      if (p < attrs.size() && (attrs[p] == u'"' || attrs[p] == u'\'')) {
        char16_t q = attrs[p];
        size_t e = attrs.find(q, p + 1);
        return attrs.substr(p + 1, e == std::u16string::npos ? std::u16string::npos : e - p - 1);
      }
      size_t e = attrs.find(u' ', p);
      return attrs.substr(p, e == std::u16string::npos ? std::u16string::npos : e - p);
    };
    link.url = attr(u"href");
    link.id = attr(u"id");
    st->runs.push_back({in.substr(close_tag + 1, end - close_tag - 1), static_cast<int>(st->links.size())});
    st->links.push_back(link);
    i = end + 4;
  }
  flush();
}

HFONT UnderlinedCopy(HFONT f) {
  LOGFONTW lf{};
  GetObjectW(f, sizeof lf, &lf);
  lf.lfUnderline = 1;
  return CreateFontIndirectW(&lf);
}

// Lays the runs out word by word within the client width; draws when `draw`.
void LayoutLinks(HWND hwnd, HDC dc, LinkState* st, bool draw) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  HFONT base = st->font != nullptr ? st->font : reinterpret_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HFONT under = UnderlinedCopy(base);
  HGDIOBJ old = SelectObject(dc, base);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  for (auto& l : st->links) l.rects.clear();
  int x = 0, y = 0;
  bool enabled = IsWindowEnabled(hwnd) != 0;
  COLORREF text = GetTextColor(dc);
  for (const Run& r : st->runs) {
    SelectObject(dc, r.link >= 0 ? under : base);
    size_t i = 0;
    while (i < r.text.size()) {
      size_t j = i;
      if (r.text[j] == u'\n') {
        x = 0;
        y += tm.tmHeight;
        i = j + 1;
        continue;
      }
      while (j < r.text.size() && r.text[j] != u' ' && r.text[j] != u'\n') ++j;
      while (j < r.text.size() && r.text[j] == u' ') ++j;
      SIZE sz{};
      GetTextExtentPoint32W(dc, r.text.c_str() + i, static_cast<int>(j - i), &sz);
      if (x > 0 && x + sz.cx > rc.right) {
        x = 0;
        y += tm.tmHeight;
      }
      if (draw) {
        SetTextColor(dc, !enabled ? GetSysColor(COLOR_GRAYTEXT) : r.link >= 0 ? GetSysColor(COLOR_HOTLIGHT) : text);
        TextOutW(dc, x, y, r.text.c_str() + i, static_cast<int>(j - i));
      }
      if (r.link >= 0) st->links[r.link].rects.push_back(RECT{x, y, x + sz.cx, y + tm.tmHeight});
      x += sz.cx;
      i = j;
    }
  }
  SelectObject(dc, old);
  DeleteObject(under);
}

int LinkAt(HWND hwnd, LinkState* st, POINT p) {
  HDC dc = GetDC(hwnd);
  LayoutLinks(hwnd, dc, st, false);
  ReleaseDC(hwnd, dc);
  for (size_t i = 0; i < st->links.size(); ++i)
    for (const RECT& r : st->links[i].rects)
      if (PtInRect(&r, p)) return static_cast<int>(i);
  return -1;
}

void NotifyLink(HWND hwnd, LinkState* st, int index, UINT code) {
  if (index < 0 || static_cast<size_t>(index) >= st->links.size()) return;
  auto nm = std::make_unique<NMLINK>();
  *nm = NMLINK{};
  nm->hdr.hwndFrom = hwnd;
  nm->hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(hwnd));
  nm->hdr.code = code;
  nm->item.mask = LIF_ITEMINDEX | LIF_STATE | LIF_ITEMID | LIF_URL;
  nm->item.iLink = index;
  nm->item.state = LIS_ENABLED | (GetFocus() == hwnd && index == st->focused ? LIS_FOCUSED : 0);
  const Link& l = st->links[index];
  std::copy_n(l.id.data(), std::min<size_t>(l.id.size(), MAX_LINKID_TEXT - 1), nm->item.szID);
  std::copy_n(l.url.data(), std::min<size_t>(l.url.size(), L_MAX_URL_LENGTH - 1), nm->item.szUrl);
  SendMessageW(GetParent(hwnd), WM_NOTIFY, nm->hdr.idFrom, reinterpret_cast<LPARAM>(nm.get()));
}

}  // namespace

LRESULT LinkProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* st = ControlState<LinkState>(hwnd);
  if (st == nullptr && message != WM_NCCREATE) return DefWindowProcW(hwnd, message, wparam, lparam);
  switch (message) {
    case WM_NCCREATE: {
      auto* s = new LinkState;
      const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      if (cs->lpszName != nullptr) ParseMarkup(cs->lpszName, s);
      AttachState(hwnd, s);
      return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    case WM_NCDESTROY:
      delete st;
      AttachState<LinkState>(hwnd, nullptr);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      HBRUSH brush = ParentBrush(hwnd, dc);
      if ((StyleBits(hwnd) & LWS_TRANSPARENT) == 0) FillRect(dc, &rc, brush);
      SetBkMode(dc, TRANSPARENT);
      LayoutLinks(hwnd, dc, st, true);
      if (GetFocus() == hwnd && st->focused >= 0 && static_cast<size_t>(st->focused) < st->links.size()) {
        RECT f{};
        for (const RECT& r : st->links[st->focused].rects) UnionRect(&f, &f, &r);
        DrawFocusRectangle(dc, f);
      }
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SETTEXT: {
      LRESULT r = DefWindowProcW(hwnd, message, wparam, lparam);
      ParseMarkup(lparam != 0 ? reinterpret_cast<LPCWSTR>(lparam) : u"", st);
      st->focused = 0;
      InvalidateRect(hwnd, nullptr, TRUE);
      return r;
    }
    case WM_SETFONT:
      st->font = reinterpret_cast<HFONT>(wparam);
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(st->font);
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_LBUTTONDOWN: {
      int at = LinkAt(hwnd, st, POINT{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)});
      st->pressed = at;
      if (at >= 0) {
        st->focused = at;
        SetFocus(hwnd);
        InvalidateRect(hwnd, nullptr, TRUE);
      }
      return 0;
    }
    case WM_LBUTTONUP: {
      int at = LinkAt(hwnd, st, POINT{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)});
      int pressed = st->pressed;
      st->pressed = -1;
      if (at >= 0 && at == pressed) NotifyLink(hwnd, st, at, NM_CLICK);
      return 0;
    }
    case WM_KEYDOWN:
      if (wparam == VK_RETURN || wparam == VK_SPACE) NotifyLink(hwnd, st, st->focused, wparam == VK_RETURN ? NM_RETURN : NM_CLICK);
      return 0;
    case WM_GETDLGCODE: {
      // Enter belongs to the link while it has the focus; Tab and the rest to the dialog.
      const MSG* m = reinterpret_cast<const MSG*>(lparam);
      if (m != nullptr && m->message == WM_KEYDOWN && m->wParam == VK_RETURN && !st->links.empty()) return DLGC_WANTALLKEYS;
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

// ---------------------------------------------------------------------------------------
// Progress bar.
namespace {
struct ProgressState {
  int lo = 0;
  int hi = 100;
  int pos = 0;
  int step = 10;
  WPARAM state = PBST_NORMAL;
  bool marquee = false;
  int marquee_x = 0;
};
constexpr UINT_PTR kMarqueeTimer = 1;

int Clamp(const ProgressState* st, long long v) {
  return static_cast<int>(std::max<long long>(st->lo, std::min<long long>(st->hi, v)));
}

void PaintProgress(HWND hwnd, HDC dc, ProgressState* st) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  FillRect(dc, &rc, GetSysColorBrush(COLOR_3DFACE));
  RECT in = rc;
  DrawEdge(dc, &in, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
  InflateRect(&in, -1, -1);
  int w = in.right - in.left, h = in.bottom - in.top;
  if (w <= 0 || h <= 0) return;
  COLORREF c = st->state == PBST_ERROR ? RGB(0xD0, 0x20, 0x20)
             : st->state == PBST_PAUSED ? RGB(0xD0, 0xB0, 0x00)
                                        : GetSysColor(COLOR_HIGHLIGHT);
  HBRUSH b = CreateSolidBrush(c);
  bool smooth = (StyleBits(hwnd) & PBS_SMOOTH) != 0;
  int chunk = std::max(2, h * 2 / 3), gap = 2;
  if (st->marquee) {
    for (int k = 0; k < 5; ++k) {
      int x = in.left + st->marquee_x + k * (chunk + gap);
      RECT r{std::max<LONG>(x, in.left), in.top, std::min<LONG>(x + chunk, in.right), in.bottom};
      if (r.right > r.left) FillRect(dc, &r, b);
    }
  } else if (st->hi > st->lo) {
    int filled = static_cast<int>(static_cast<long long>(st->pos - st->lo) * w / (st->hi - st->lo));
    if (smooth) {
      RECT r{in.left, in.top, in.left + filled, in.bottom};
      FillRect(dc, &r, b);
    } else {
      for (int x = 0; x < filled; x += chunk + gap) {
        RECT r{in.left + x, in.top, std::min<LONG>(in.left + x + chunk, in.right), in.bottom};
        FillRect(dc, &r, b);
      }
    }
  }
  DeleteObject(b);
}
}  // namespace

LRESULT ProgressProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* st = ControlState<ProgressState>(hwnd);
  if (st == nullptr && message != WM_NCCREATE) return DefWindowProcW(hwnd, message, wparam, lparam);
  auto changed = [hwnd] { InvalidateRect(hwnd, nullptr, TRUE); };
  switch (message) {
    case WM_NCCREATE:
      AttachState(hwnd, new ProgressState);
      return DefWindowProcW(hwnd, message, wparam, lparam);
    case WM_NCDESTROY:
      KillTimer(hwnd, kMarqueeTimer);
      delete st;
      AttachState<ProgressState>(hwnd, nullptr);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      PaintProgress(hwnd, dc, st);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_TIMER: {
      RECT rc;
      GetClientRect(hwnd, &rc);
      int chunk = std::max(2, (rc.bottom - 4) * 2 / 3);
      st->marquee_x += chunk + 2;
      if (st->marquee_x > rc.right) st->marquee_x = -5 * (chunk + 2);
      changed();
      return 0;
    }
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
      LRESULT old = MAKELPARAM(st->lo, st->hi);
      if (message == PBM_SETRANGE) {
        st->lo = static_cast<int16_t>(LOWORD(static_cast<uintptr_t>(lparam)));
        st->hi = static_cast<int16_t>(HIWORD(static_cast<uintptr_t>(lparam)));
      } else {
        st->lo = static_cast<int>(wparam);
        st->hi = static_cast<int>(lparam);
      }
      st->pos = Clamp(st, st->pos);
      changed();
      return old;
    }
    case PBM_GETRANGE: {
      struct PBRANGE {
        int iLow;
        int iHigh;
      };
      if (lparam != 0) *reinterpret_cast<PBRANGE*>(lparam) = PBRANGE{st->lo, st->hi};
      return wparam != 0 ? st->lo : st->hi;
    }
    case PBM_SETPOS: {
      int old = st->pos;
      st->pos = Clamp(st, static_cast<int>(wparam));
      changed();
      return old;
    }
    case PBM_DELTAPOS: {
      int old = st->pos;
      st->pos = Clamp(st, static_cast<long long>(st->pos) + static_cast<int>(wparam));
      changed();
      return old;
    }
    case PBM_SETSTEP: {
      int old = st->step;
      st->step = static_cast<int>(wparam);
      return old;
    }
    case PBM_STEPIT: {
      int old = st->pos;
      long long next = static_cast<long long>(st->pos) + st->step;
      st->pos = next > st->hi ? st->lo + static_cast<int>((next - st->hi) % std::max(1, st->hi - st->lo))
                              : Clamp(st, next);  // the platform wraps around at the end
      changed();
      return old;
    }
    case PBM_GETPOS:
      return st->pos;
    case PBM_SETSTATE: {
      WPARAM old = st->state;
      if (wparam < PBST_NORMAL || wparam > PBST_PAUSED) return 0;
      st->state = wparam;
      changed();
      return static_cast<LRESULT>(old);
    }
    case PBM_GETSTATE:
      return static_cast<LRESULT>(st->state);
    case PBM_SETMARQUEE:
      if ((StyleBits(hwnd) & PBS_MARQUEE) == 0) return FALSE;
      st->marquee = wparam != 0;
      if (st->marquee)
        SetTimer(hwnd, kMarqueeTimer, lparam > 0 ? static_cast<UINT>(lparam) : 30, nullptr);
      else
        KillTimer(hwnd, kMarqueeTimer);
      changed();
      return TRUE;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

// ---------------------------------------------------------------------------------------
// Clips.
namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
bool Is(const uint8_t* p, const char* fourcc) { return std::memcmp(p, fourcc, 4) == 0; }

struct Chunk {
  const uint8_t* id;
  const uint8_t* data;
  size_t size;
  size_t offset;  // of the chunk header, from the start of the file
};

// The chunks of [begin, end): each must fit, padded to an even size (the pad may be missing
// after the last one).
bool Chunks(const uint8_t* file, size_t begin, size_t end, std::vector<Chunk>* out) {
  size_t p = begin;
  while (p < end) {
    if (end - p < 8) return false;
    uint32_t n = Le32(file + p + 4);
    if (n > end - p - 8) return false;
    out->push_back(Chunk{file + p, file + p + 8, n, p});
    p += 8 + static_cast<size_t>(n);
    if (n % 2 != 0 && p < end) ++p;
    if (out->size() > 100000) return false;
  }
  return true;
}

constexpr size_t kMaxPixels = size_t{1} << 24;  // across all frames: 64 MiB of pixels

struct Format {
  int width = 0, height = 0;
  bool top_down = false;
  int bits = 0;
  uint32_t compression = 0;
  uint32_t palette[256] = {};
  int colors = 0;
};

bool DecodeRgb(const Format& f, const uint8_t* d, size_t n, std::vector<uint32_t>* px) {
  size_t stride = (static_cast<size_t>(f.width) * f.bits + 31) / 32 * 4;
  if (n < stride * f.height) return false;
  for (int y = 0; y < f.height; ++y) {
    const uint8_t* row = d + stride * static_cast<size_t>(f.top_down ? y : f.height - 1 - y);
    uint32_t* out = px->data() + static_cast<size_t>(y) * f.width;
    for (int x = 0; x < f.width; ++x) {
      if (f.bits == 8) {
        if (row[x] >= f.colors) return false;
        out[x] = f.palette[row[x]];
      } else {
        const uint8_t* q = row + x * (f.bits / 8);
        out[x] = (static_cast<uint32_t>(q[2]) << 16) | (q[1] << 8) | q[0];
      }
    }
  }
  return true;
}

// RLE8 on top of the previous frame (deltas leave pixels as they were).
bool DecodeRle8(const Format& f, const uint8_t* d, size_t n, std::vector<uint32_t>* px) {
  int x = 0, y = 0;  // y counts rows from the bottom
  size_t i = 0;
  auto put = [&](uint8_t index) {
    if (x >= f.width || y >= f.height || index >= f.colors) return false;
    int row = f.top_down ? y : f.height - 1 - y;
    (*px)[static_cast<size_t>(row) * f.width + x++] = f.palette[index];
    return true;
  };
  while (i + 1 < n) {
    uint8_t a = d[i], b = d[i + 1];
    i += 2;
    if (a > 0) {
      for (int k = 0; k < a; ++k)
        if (!put(b)) return false;
    } else if (b == 0) {
      x = 0;
      ++y;
    } else if (b == 1) {
      return true;
    } else if (b == 2) {
      if (i + 1 >= n) return false;
      x += d[i];
      y += d[i + 1];
      i += 2;
      if (x > f.width || y > f.height) return false;
    } else {
      if (n - i < b) return false;
      for (int k = 0; k < b; ++k)
        if (!put(d[i + k])) return false;
      i += b + (b % 2);
    }
  }
  return i <= n;
}

}  // namespace

bool ParseAvi(const uint8_t* data, size_t size, AviClip* clip) {
  *clip = AviClip{};
  if (size < 12 || !Is(data, "RIFF") || !Is(data + 8, "AVI ")) return false;
  size_t riff_end = 8 + static_cast<size_t>(Le32(data + 4));
  if (riff_end > size || riff_end < 12) return false;
  std::vector<Chunk> top;
  if (!Chunks(data, 12, riff_end, &top)) return false;
  const Chunk* movi = nullptr;
  const Chunk* idx1 = nullptr;
  Format f;
  uint32_t us_per_frame = 0, scale = 0, rate = 0;
  int stream = -1;
  for (const Chunk& c : top) {
    if (Is(c.id, "LIST") && c.size >= 4 && Is(c.data, "hdrl")) {
      std::vector<Chunk> hdrl;
      if (!Chunks(data, c.offset + 12, c.offset + 8 + c.size, &hdrl)) return false;
      int index = 0;
      for (const Chunk& h : hdrl) {
        if (Is(h.id, "avih")) {
          if (h.size < 56) return false;
          us_per_frame = Le32(h.data);
        } else if (Is(h.id, "LIST") && h.size >= 4 && Is(h.data, "strl")) {
          std::vector<Chunk> strl;
          if (!Chunks(data, h.offset + 12, h.offset + 8 + h.size, &strl)) return false;
          const Chunk* strh = nullptr;
          const Chunk* strf = nullptr;
          for (const Chunk& s : strl) {
            if (Is(s.id, "strh")) strh = &s;
            if (Is(s.id, "strf")) strf = &s;
          }
          if (strh != nullptr && strh->size >= 36 && Is(strh->data, "vids") && stream < 0) {
            if (strf == nullptr || strf->size < 40) return false;
            const uint8_t* bi = strf->data;
            uint32_t bi_size = Le32(bi);
            if (bi_size < 40 || bi_size > strf->size) return false;
            int32_t w = static_cast<int32_t>(Le32(bi + 4)), hh = static_cast<int32_t>(Le32(bi + 8));
            f.bits = Le16(bi + 14);
            f.compression = Le32(bi + 16);
            uint32_t used = Le32(bi + 32);
            if (w <= 0 || w > 4096 || hh == 0 || hh < -4096 || hh > 4096) return false;
            f.width = w;
            f.height = hh < 0 ? -hh : hh;
            f.top_down = hh < 0;
            bool rgb = f.compression == 0 && (f.bits == 8 || f.bits == 24 || f.bits == 32);
            bool rle = f.compression == 1 && f.bits == 8 && !f.top_down;
            if (!rgb && !rle) return false;
            if (f.bits == 8) {
              f.colors = used == 0 ? 256 : static_cast<int>(std::min<uint32_t>(used, 256));
              if (used > 256 || strf->size - bi_size < static_cast<size_t>(f.colors) * 4) return false;
              for (int k = 0; k < f.colors; ++k) {
                const uint8_t* q = bi + bi_size + 4 * k;
                f.palette[k] = (static_cast<uint32_t>(q[2]) << 16) | (q[1] << 8) | q[0];
              }
            }
            scale = Le32(strh->data + 20);
            rate = Le32(strh->data + 24);
            stream = index;
          }
          ++index;
        }
      }
    } else if (Is(c.id, "LIST") && c.size >= 4 && Is(c.data, "movi")) {
      movi = &c;
    } else if (Is(c.id, "idx1")) {
      idx1 = &c;
    }
  }
  if (stream < 0 || stream > 99 || movi == nullptr) return false;
  char want[2] = {static_cast<char>('0' + stream / 10), static_cast<char>('0' + stream % 10)};
  auto is_frame = [&](const uint8_t* id) {
    return id[0] == want[0] && id[1] == want[1] && id[2] == 'd' && (id[3] == 'b' || id[3] == 'c');
  };
  // The frames in order: from the index when there is one (each entry checked against the
  // chunk it names), else as they stand in the movie list.
  std::vector<Chunk> frames;
  size_t movi_begin = movi->offset + 12, movi_end = movi->offset + 8 + movi->size;
  if (idx1 != nullptr) {
    if (idx1->size % 16 != 0) return false;
    size_t entries = idx1->size / 16;
    // Offsets count from the 'movi' identifier, or (some writers) from the file's start.
    size_t base = movi->offset + 8;
    if (entries > 0) {
      uint32_t first = Le32(idx1->data + 8);
      if (first >= movi_begin) base = 0;
    }
    for (size_t k = 0; k < entries; ++k) {
      const uint8_t* e = idx1->data + 16 * k;
      if (!is_frame(e)) continue;
      size_t at = base + Le32(e + 8);
      uint32_t n = Le32(e + 12);
      if (at < movi_begin || at > movi_end || movi_end - at < 8) return false;
      if (std::memcmp(data + at, e, 4) != 0 || Le32(data + at + 4) != n || n > movi_end - at - 8) return false;
      frames.push_back(Chunk{data + at, data + at + 8, n, at});
    }
  } else {
    std::vector<Chunk> list;
    if (!Chunks(data, movi_begin, movi_end, &list)) return false;
    for (const Chunk& c : list) {
      if (Is(c.id, "LIST") && c.size >= 4 && Is(c.data, "rec ")) {
        std::vector<Chunk> rec;
        if (!Chunks(data, c.offset + 12, c.offset + 8 + c.size, &rec)) return false;
        for (const Chunk& r : rec)
          if (is_frame(r.id)) frames.push_back(r);
      } else if (is_frame(c.id)) {
        frames.push_back(c);
      }
    }
  }
  if (frames.empty()) return false;
  size_t per = static_cast<size_t>(f.width) * f.height;
  if (per * frames.size() > kMaxPixels) return false;
  std::vector<uint32_t> current(per, 0);
  for (const Chunk& c : frames) {
    if (c.size == 0) {
      if (clip->frames.empty()) return false;  // a dropped frame repeats the one before
    } else if (f.compression == 1) {
      if (!DecodeRle8(f, c.data, c.size, &current)) return false;
    } else if (!DecodeRgb(f, c.data, c.size, &current)) {
      return false;
    }
    clip->frames.push_back(current);
  }
  clip->width = f.width;
  clip->height = f.height;
  clip->frame_us = rate > 0 && scale > 0 ? static_cast<uint32_t>(uint64_t{scale} * 1000000 / rate) : us_per_frame;
  if (clip->frame_us == 0) clip->frame_us = 100000;
  return true;
}

// ---------------------------------------------------------------------------------------
// Animation.
namespace {
struct AnimateState {
  std::shared_ptr<AviClip> clip;
  size_t frame = 0;
  bool playing = false;
  size_t from = 0, to = 0;
  UINT repeat = 0;  // remaining plays; UINT(-1): for ever
};
constexpr UINT_PTR kFrameTimer = 1;

void Stop(HWND hwnd, AnimateState* st) {
  if (!st->playing) return;
  st->playing = false;
  KillTimer(hwnd, kFrameTimer);
  NotifyParent(hwnd, ACN_STOP);
}

bool Play(HWND hwnd, AnimateState* st, UINT repeat, UINT from, UINT to) {
  if (!st->clip || repeat == 0) return false;
  size_t last = st->clip->frames.size() - 1;
  size_t t = to == 0xFFFF ? last : to;
  if (from > last || t > last || from > t) return false;
  Stop(hwnd, st);
  st->from = from;
  st->to = t;
  st->frame = from;
  st->repeat = repeat;
  st->playing = true;
  SetTimer(hwnd, kFrameTimer, std::max<UINT>(10, st->clip->frame_us / 1000), nullptr);
  NotifyParent(hwnd, ACN_START);
  InvalidateRect(hwnd, nullptr, TRUE);
  return true;
}

bool LoadClip(HWND hwnd, HINSTANCE module, LPCWSTR name, AviClip* clip) {
  if (module == nullptr) module = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd, GWLP_HINSTANCE));
  if (module == nullptr) module = GetModuleHandleW(nullptr);
  if (HRSRC r = FindResourceW(module, name, u"AVI")) {
    const void* p = LockResource(LoadResource(module, r));
    return p != nullptr && ParseAvi(static_cast<const uint8_t*>(p), SizeofResource(module, r), clip);
  }
  if (IS_INTRESOURCE(name)) return false;
  std::string path;
  for (const char16_t* c = name; *c != 0; ++c) {
    char16_t u = *c;
    if (u < 0x80) {
      path.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      path.push_back(static_cast<char>(0xC0 | (u >> 6)));
      path.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      path.push_back(static_cast<char>(0xE0 | (u >> 12)));
      path.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      path.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseAvi(bytes.data(), bytes.size(), clip);
}

void PaintAnimate(HWND hwnd, HDC dc, AnimateState* st) {
  RECT rc;
  GetClientRect(hwnd, &rc);
  FillRect(dc, &rc, ParentBrush(hwnd, dc));
  if (!st->clip) return;
  const AviClip& c = *st->clip;
  int x0 = 0, y0 = 0;
  if ((StyleBits(hwnd) & ACS_CENTER) != 0) {
    x0 = (rc.right - c.width) / 2;
    y0 = (rc.bottom - c.height) / 2;
  }
  // Transparent: the colour of the first frame's top-left pixel shows the background.
  bool transparent = (StyleBits(hwnd) & ACS_TRANSPARENT) != 0;
  uint32_t key = c.frames[0][0];
  const std::vector<uint32_t>& px = c.frames[std::min(st->frame, c.frames.size() - 1)];
  for (int y = 0; y < c.height; ++y)
    for (int x = 0; x < c.width; ++x) {
      uint32_t p = px[static_cast<size_t>(y) * c.width + x];
      if (transparent && p == key) continue;
      SetPixel(dc, x0 + x, y0 + y, ToColor(p));
    }
}
}  // namespace

LRESULT AnimateProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* st = ControlState<AnimateState>(hwnd);
  if (st == nullptr && message != WM_NCCREATE) return DefWindowProcW(hwnd, message, wparam, lparam);
  switch (message) {
    case WM_NCCREATE:
      AttachState(hwnd, new AnimateState);
      return DefWindowProcW(hwnd, message, wparam, lparam);
    case WM_NCDESTROY:
      KillTimer(hwnd, kFrameTimer);
      delete st;
      AttachState<AnimateState>(hwnd, nullptr);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      PaintAnimate(hwnd, dc, st);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_TIMER:
      if (st->playing && wparam == kFrameTimer) {
        if (st->frame < st->to) {
          ++st->frame;
        } else if (st->repeat == static_cast<UINT>(-1) || --st->repeat > 0) {
          st->frame = st->from;
        } else {
          Stop(hwnd, st);
        }
        InvalidateRect(hwnd, nullptr, TRUE);
      }
      return 0;
    case ACM_OPENW: {
      Stop(hwnd, st);
      st->clip.reset();
      st->frame = 0;
      InvalidateRect(hwnd, nullptr, TRUE);
      if (lparam == 0) return TRUE;  // closes the clip
      auto clip = std::make_shared<AviClip>();
      if (!LoadClip(hwnd, reinterpret_cast<HINSTANCE>(wparam), reinterpret_cast<LPCWSTR>(lparam), clip.get()))
        return FALSE;
      st->clip = clip;
      if ((StyleBits(hwnd) & ACS_CENTER) == 0)
        SetWindowPos(hwnd, nullptr, 0, 0, clip->width, clip->height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      if ((StyleBits(hwnd) & ACS_AUTOPLAY) != 0) Play(hwnd, st, static_cast<UINT>(-1), 0, 0xFFFF);
      return TRUE;
    }
    case ACM_PLAY:
      return Play(hwnd, st, static_cast<UINT>(wparam), LOWORD(static_cast<uintptr_t>(lparam)),
                  HIWORD(static_cast<uintptr_t>(lparam)));
    case ACM_STOP:
      Stop(hwnd, st);
      return TRUE;
    case ACM_ISPLAYING:
      return st->playing;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

}  // namespace win32::ui
