// GDI: device contexts, objects and drawing on 32-bit surfaces.

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/ui/gdi_internal.h"
#include "platform/ui/window.h"

namespace win32 {
namespace {

constexpr std::array<COLORREF, kSysColorCount> kClassicColors = {
    RGB(212, 208, 200),  // scroll bar
    RGB(58, 110, 165),   // desktop
    RGB(10, 36, 106),    // active caption
    RGB(128, 128, 128),  // inactive caption
    RGB(212, 208, 200),  // menu
    RGB(255, 255, 255),  // window
    RGB(0, 0, 0),        // window frame
    RGB(0, 0, 0),        // menu text
    RGB(0, 0, 0),        // window text
    RGB(255, 255, 255),  // caption text
    RGB(212, 208, 200),  // active border
    RGB(212, 208, 200),  // inactive border
    RGB(128, 128, 128),  // app workspace
    RGB(10, 36, 106),    // highlight
    RGB(255, 255, 255),  // highlight text
    RGB(212, 208, 200),  // 3-D face
    RGB(128, 128, 128),  // 3-D shadow
    RGB(128, 128, 128),  // gray text
    RGB(0, 0, 0),        // button text
    RGB(212, 208, 200),  // inactive caption text
    RGB(255, 255, 255),  // 3-D highlight
    RGB(64, 64, 64),     // 3-D dark shadow
    RGB(212, 208, 200),  // 3-D light
    RGB(0, 0, 0),        // info text
    RGB(255, 255, 225),  // info background
    RGB(181, 181, 181),  // (unused slot 25)
    RGB(0, 0, 128),      // hot light
    RGB(166, 202, 240),  // gradient active caption
    RGB(192, 192, 192),  // gradient inactive caption
    RGB(10, 36, 106),    // menu highlight
    RGB(212, 208, 200),  // menu bar
};

std::array<std::atomic<COLORREF>, kSysColorCount>& Colors() {
  static std::array<std::atomic<COLORREF>, kSysColorCount> colors;
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < kSysColorCount; ++i) colors[i] = kClassicColors[i];
  });
  return colors;
}

std::atomic<bool> g_palette{false};
std::atomic<int> g_live{0};

GdiObject* MakeStock(GdiObject::Kind kind, COLORREF color, int style) {
  auto* o = new GdiObject{kind};
  o->stock = true;
  o->color = color;
  o->style = style;
  return o;
}

GdiObject* StockFont(LONG height, LONG weight) {
  auto* o = new GdiObject{GdiObject::Kind::Font};
  o->stock = true;
  o->font.lfHeight = height;
  o->font.lfWeight = weight;
  const char16_t face[] = u"MS Shell Dlg";
  std::copy(std::begin(face), std::end(face), o->font.lfFaceName);
  return o;
}

struct Stock {
  GdiObject* objects[18] = {};
  GdiObject* sys_brushes[kSysColorCount] = {};
  GdiObject* default_bitmap;
  Stock() {
    objects[WHITE_BRUSH] = MakeStock(GdiObject::Kind::Brush, RGB(255, 255, 255), BS_SOLID);
    objects[LTGRAY_BRUSH] = MakeStock(GdiObject::Kind::Brush, RGB(192, 192, 192), BS_SOLID);
    objects[GRAY_BRUSH] = MakeStock(GdiObject::Kind::Brush, RGB(128, 128, 128), BS_SOLID);
    objects[3] = MakeStock(GdiObject::Kind::Brush, RGB(64, 64, 64), BS_SOLID);
    objects[BLACK_BRUSH] = MakeStock(GdiObject::Kind::Brush, RGB(0, 0, 0), BS_SOLID);
    objects[NULL_BRUSH] = MakeStock(GdiObject::Kind::Brush, 0, BS_NULL);
    objects[WHITE_PEN] = MakeStock(GdiObject::Kind::Pen, RGB(255, 255, 255), PS_SOLID);
    objects[BLACK_PEN] = MakeStock(GdiObject::Kind::Pen, RGB(0, 0, 0), PS_SOLID);
    objects[NULL_PEN] = MakeStock(GdiObject::Kind::Pen, 0, PS_NULL);
    objects[SYSTEM_FONT] = StockFont(-13, FW_BOLD);
    objects[DEFAULT_GUI_FONT] = StockFont(-11, FW_NORMAL);
    for (int i = 0; i < kSysColorCount; ++i) {
      sys_brushes[i] = MakeStock(GdiObject::Kind::Brush, 0, BS_SOLID);
      sys_brushes[i]->sys_color = i;
    }
    default_bitmap = new GdiObject{GdiObject::Kind::Bitmap};
    default_bitmap->stock = true;
    default_bitmap->mono = true;
    default_bitmap->bits = std::make_shared<ui::Surface>(1, 1, 0);
  }
};

Stock& TheStock() {
  static Stock* s = new Stock;  // lives for the process: stock objects are never freed
  return *s;
}

DcState DefaultState() {
  DcState s;
  s.pen = TheStock().objects[BLACK_PEN];
  s.brush = TheStock().objects[WHITE_BRUSH];
  s.font = TheStock().objects[SYSTEM_FONT];
  s.bitmap = nullptr;
  return s;
}

void Select(DcState& s, bool on) {
  for (HGDIOBJ o : {s.pen, s.brush, s.font, s.bitmap})
    if (o != nullptr) o->selected += on ? 1 : -1;
}

std::mutex g_dcs_mu;
std::vector<DcObject*>& AllDcs() {
  static std::vector<DcObject*> v;
  return v;
}

HDC NewDc(DcObject::Kind kind) {
  auto* dc = new DcObject{kind};
  dc->state = DefaultState();
  Select(dc->state, true);
  std::lock_guard lk(g_dcs_mu);
  AllDcs().push_back(dc);
  ui::CountObject(1);
  return dc;
}

void FreeDc(HDC dc) {
  Select(dc->state, false);
  for (auto& s : dc->saved) Select(s, false);
  {
    std::lock_guard lk(g_dcs_mu);
    std::erase(AllDcs(), dc);
  }
  ui::CountObject(-1);
  delete dc;
}

uint32_t Rgb(COLORREF c) { return ui::ToPixel(c) & 0xFFFFFF; }

// The colour a monochrome surface stores for a colour: white when it is bright.
uint32_t MonoOf(uint32_t rgb) {
  int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  return (r * 30 + g * 59 + b * 11) >= 12800 ? 0xFFFFFF : 0;
}

uint32_t DeviceColor(const DcObject* dc, COLORREF c) {
  uint32_t p = Rgb(c);
  return dc->Mono() ? MonoOf(p) : p;
}

struct BrushPaint {
  bool none = false;
  uint32_t color = 0;
  std::shared_ptr<ui::Surface> pattern;
  bool pattern_mono = false;
};

BrushPaint PaintOf(const DcObject* dc, HGDIOBJ brush) {
  BrushPaint p;
  if (brush == nullptr || brush->style == BS_NULL) {
    p.none = true;
  } else if (brush->style == BS_PATTERN && brush->bits) {
    p.pattern = brush->bits;
    p.pattern_mono = brush->mono;
  } else {
    p.color = DeviceColor(dc, brush->Color());
  }
  return p;
}

uint32_t PatternAt(const DcObject* dc, const BrushPaint& p, int x, int y) {
  if (!p.pattern) return p.color;
  const ui::Surface& s = *p.pattern;
  uint32_t v = s.pixels[static_cast<size_t>(((y % s.height) + s.height) % s.height) * s.width +
                        ((x % s.width) + s.width) % s.width] & 0xFFFFFF;
  if (p.pattern_mono && !dc->Mono()) return v != 0 ? Rgb(dc->state.bk) : Rgb(dc->state.text);
  return dc->Mono() ? MonoOf(v) : v;
}

void Put(DcObject* dc, const RECT& clip, int x, int y, uint32_t rgb) {
  if (x < clip.left || x >= clip.right || y < clip.top || y >= clip.bottom) return;
  dc->surface->pixels[static_cast<size_t>(y) * dc->surface->width + x] = rgb & 0xFFFFFF;
}

uint32_t Rop3(uint8_t rop, uint32_t p, uint32_t s, uint32_t d) {
  uint32_t r = 0;
  for (int i = 0; i < 8; ++i) {
    if (((rop >> i) & 1) == 0) continue;
    uint32_t term = ((i & 4) ? p : ~p) & ((i & 2) ? s : ~s) & ((i & 1) ? d : ~d);
    r |= term;
  }
  return r & 0xFFFFFF;
}

void PixelLine(DcObject* dc, const RECT& clip, POINT a, POINT b, uint32_t color, int width) {
  int dx = std::abs(b.x - a.x), sx = a.x < b.x ? 1 : -1;
  int dy = -std::abs(b.y - a.y), sy = a.y < b.y ? 1 : -1;
  int err = dx + dy;
  int x = a.x, y = a.y;
  while (!(x == b.x && y == b.y)) {  // the end point is left out, as GDI does
    for (int i = 0; i < width; ++i)
      for (int j = 0; j < width; ++j) Put(dc, clip, x - width / 2 + i, y - width / 2 + j, color);
    int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
}

RECT SurfaceRect(const DcObject* dc, const RECT& r) {
  POINT a = dc->ToSurface(r.left, r.top), b = dc->ToSurface(r.right, r.bottom);
  return RECT{a.x, a.y, b.x, b.y};
}

void FillWithPaint(DcObject* dc, RECT r, const BrushPaint& paint) {
  if (paint.none) return;
  RECT clip = dc->ClipRect();
  IntersectRect(&r, &r, &clip);
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x)
      dc->surface->pixels[static_cast<size_t>(y) * dc->surface->width + x] = PatternAt(dc, paint, x, y);
}

}  // namespace

COLORREF GdiObject::Color() const { return sys_color >= 0 ? GetSysColor(sys_color) : color; }

bool DcObject::Mono() const { return kind == Kind::Memory && state.bitmap != nullptr && state.bitmap->mono; }

RECT DcObject::ClipRect() const {
  RECT r;
  IntersectRect(&r, &clip, &state.clip_extra);
  RECT bounds{0, 0, surface ? surface->width : 0, surface ? surface->height : 0};
  IntersectRect(&r, &r, &bounds);
  return r;
}

namespace ui {
Surface::Surface(int w, int h, uint32_t fill)
    : width(std::max(0, w)), height(std::max(0, h)), pixels(static_cast<size_t>(width) * height, fill) {}

void Surface::Resize(int w, int h, uint32_t fill) {
  std::lock_guard lk(mutex);
  std::vector<uint32_t> next(static_cast<size_t>(std::max(0, w)) * std::max(0, h), fill);
  for (int y = 0; y < std::min(h, height); ++y)
    for (int x = 0; x < std::min(w, width); ++x) next[static_cast<size_t>(y) * w + x] = pixels[static_cast<size_t>(y) * width + x];
  pixels.swap(next);
  width = std::max(0, w);
  height = std::max(0, h);
}

bool ValidDc(HDC dc) {
  std::lock_guard lk(g_dcs_mu);
  return std::find(AllDcs().begin(), AllDcs().end(), dc) != AllDcs().end();
}

void BlendPixel(DcObject* dc, const RECT& clip, int x, int y, COLORREF color, int coverage) {
  if (coverage <= 0 || x < clip.left || x >= clip.right || y < clip.top || y >= clip.bottom) return;
  uint32_t& d = dc->surface->pixels[static_cast<size_t>(y) * dc->surface->width + x];
  uint32_t c = DeviceColor(dc, color);
  if (coverage >= 255 || dc->Mono()) {
    if (coverage >= 128 || dc->Mono()) d = c;
    if (coverage >= 255) return;
    if (dc->Mono()) return;
  }
  auto mix = [&](int shift) {
    int dv = (d >> shift) & 0xFF, cv = (c >> shift) & 0xFF;
    return static_cast<uint32_t>(dv + (cv - dv) * coverage / 255) << shift;
  };
  d = mix(16) | mix(8) | mix(0);
}

void FillSurfaceRect(DcObject* dc, RECT r, COLORREF color) {
  BrushPaint p;
  p.color = DeviceColor(dc, color);
  FillWithPaint(dc, r, p);
}

void CountObject(int delta) { g_live += delta; }

HBRUSH BrushFromClassBackground(HBRUSH b) {
  auto v = reinterpret_cast<uintptr_t>(b);
  if (v != 0 && v <= static_cast<uintptr_t>(kSysColorCount)) return GetSysColorBrush(static_cast<int>(v - 1));
  return b;
}
}  // namespace ui

// ---------------------------------------------------------------------------------------
// Rectangles.
BOOL SetRect(RECT* r, int left, int top, int right, int bottom) {
  if (r == nullptr) return FALSE;
  *r = RECT{left, top, right, bottom};
  return TRUE;
}
BOOL SetRectEmpty(RECT* r) { return SetRect(r, 0, 0, 0, 0); }
BOOL CopyRect(RECT* dst, const RECT* src) {
  if (dst == nullptr || src == nullptr) return FALSE;
  *dst = *src;
  return TRUE;
}
BOOL OffsetRect(RECT* r, int dx, int dy) {
  if (r == nullptr) return FALSE;
  r->left += dx;
  r->right += dx;
  r->top += dy;
  r->bottom += dy;
  return TRUE;
}
BOOL InflateRect(RECT* r, int dx, int dy) {
  if (r == nullptr) return FALSE;
  r->left -= dx;
  r->right += dx;
  r->top -= dy;
  r->bottom += dy;
  return TRUE;
}
BOOL IsRectEmpty(const RECT* r) { return r == nullptr || r->right <= r->left || r->bottom <= r->top; }
BOOL IntersectRect(RECT* dst, const RECT* a, const RECT* b) {
  RECT r{std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
         std::min(a->bottom, b->bottom)};
  if (IsRectEmpty(&r)) {
    *dst = RECT{};
    return FALSE;
  }
  *dst = r;
  return TRUE;
}
BOOL UnionRect(RECT* dst, const RECT* a, const RECT* b) {
  if (IsRectEmpty(a)) return CopyRect(dst, b) && !IsRectEmpty(b);
  if (IsRectEmpty(b)) return CopyRect(dst, a);
  *dst = RECT{std::min(a->left, b->left), std::min(a->top, b->top), std::max(a->right, b->right),
              std::max(a->bottom, b->bottom)};
  return TRUE;
}
BOOL PtInRect(const RECT* r, POINT p) {
  return r != nullptr && p.x >= r->left && p.x < r->right && p.y >= r->top && p.y < r->bottom;
}
BOOL EqualRect(const RECT* a, const RECT* b) {
  return a->left == b->left && a->top == b->top && a->right == b->right && a->bottom == b->bottom;
}

// ---------------------------------------------------------------------------------------
// Colours.
COLORREF GetSysColor(int index) {
  if (index < 0 || index >= kSysColorCount) return 0;
  return Colors()[index].load();
}

HBRUSH GetSysColorBrush(int index) {
  if (index < 0 || index >= kSysColorCount) return nullptr;
  return TheStock().sys_brushes[index];
}

COLORREF GetNearestColor(HDC, COLORREF color) { return color & 0xFFFFFF; }

namespace testing {
void SetSysColor(int index, COLORREF color) {
  if (index >= 0 && index < kSysColorCount) Colors()[index] = color;
}
void ResetSysColors() {
  for (int i = 0; i < kSysColorCount; ++i) Colors()[i] = kClassicColors[i];
}
void SetPaletteDevice(bool palette) { g_palette = palette; }
int LiveGdiObjects() { return g_live.load(); }
}  // namespace testing

// ---------------------------------------------------------------------------------------
// Device contexts.
namespace {
HDC WindowDc(HWND hwnd, bool whole) {
  if (hwnd == nullptr) {
    HDC dc = NewDc(DcObject::Kind::Screen);
    dc->surface = std::make_shared<ui::Surface>(1, 1, 0);
    dc->clip = RECT{0, 0, 0, 0};
    return dc;
  }
  ui::DrawTarget t;
  if (!ui::GetDrawTarget(hwnd, whole, &t)) return SetLastError(ERROR_INVALID_WINDOW_HANDLE), nullptr;
  HDC dc = NewDc(DcObject::Kind::Window);
  dc->hwnd = hwnd;
  dc->surface = t.surface;
  dc->origin = t.origin;
  dc->clip = t.clip;
  return dc;
}
}  // namespace

HDC GetDC(HWND hwnd) { return WindowDc(hwnd, false); }
HDC GetWindowDC(HWND hwnd) { return WindowDc(hwnd, true); }

int ReleaseDC(HWND, HDC dc) {
  if (!ui::ValidDc(dc) || dc->kind == DcObject::Kind::Memory) return 0;
  FreeDc(dc);
  return 1;
}

HDC CreateCompatibleDC(HDC) {
  HDC dc = NewDc(DcObject::Kind::Memory);
  dc->state.bitmap = TheStock().default_bitmap;
  dc->state.bitmap->selected++;
  dc->surface = dc->state.bitmap->bits;
  dc->clip = RECT{0, 0, 1, 1};
  return dc;
}

HDC CreateDCW(LPCWSTR driver, LPCWSTR, LPCWSTR, const void*) {
  if (driver == nullptr || std::u16string(driver) != u"DISPLAY") return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  return WindowDc(nullptr, false);
}

BOOL DeleteDC(HDC dc) {
  if (!ui::ValidDc(dc)) return FALSE;
  FreeDc(dc);
  return TRUE;
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps) {
  if (ps == nullptr) return nullptr;
  RECT update;
  bool erase, nc;
  if (!ui::TakePaint(hwnd, &update, &erase, &nc)) return SetLastError(ERROR_INVALID_WINDOW_HANDLE), nullptr;
  if (nc) SendMessageW(hwnd, WM_NCPAINT, 1, 0);
  HDC dc = GetDC(hwnd);
  *ps = PAINTSTRUCT{};
  ps->hdc = dc;
  ps->rcPaint = update;
  if (IsRectEmpty(&ps->rcPaint)) GetClientRect(hwnd, &ps->rcPaint);
  ps->fErase = TRUE;
  if (erase) ps->fErase = SendMessageW(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) == 0;
  return dc;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps) {
  if (ps == nullptr) return FALSE;
  return ReleaseDC(hwnd, ps->hdc);
}

int GetDeviceCaps(HDC dc, int index) {
  if (!ui::ValidDc(dc)) return 0;
  bool palette = g_palette.load() && !dc->Mono();
  switch (index) {
    case HORZRES: return GetSystemMetrics(SM_CXSCREEN);
    case VERTRES: return GetSystemMetrics(SM_CYSCREEN);
    case BITSPIXEL: return dc->Mono() ? 1 : palette ? 8 : 32;
    case PLANES: return 1;
    case NUMCOLORS: return palette ? 20 : -1;
    case RASTERCAPS:
      return RC_BITBLT | RC_BITMAP64 | RC_DI_BITMAP | RC_DIBTODEV | RC_STRETCHBLT | (palette ? RC_PALETTE : 0);
    case LOGPIXELSX: case LOGPIXELSY: return 96;
    case SIZEPALETTE: return palette ? 256 : 0;
    default: return 0;
  }
}

int GetClipBox(HDC dc, RECT* rect) {
  if (!ui::ValidDc(dc) || rect == nullptr) return RGN_ERROR;
  RECT c = dc->ClipRect();
  POINT shift = dc->ToSurface(0, 0);
  OffsetRect(&c, -shift.x, -shift.y);
  *rect = c;
  return IsRectEmpty(&c) ? NULLREGION : SIMPLEREGION;
}

int IntersectClipRect(HDC dc, int left, int top, int right, int bottom) {
  if (!ui::ValidDc(dc)) return RGN_ERROR;
  RECT r = SurfaceRect(dc, RECT{left, top, right, bottom});
  IntersectRect(&dc->state.clip_extra, &dc->state.clip_extra, &r);
  return IsRectEmpty(&dc->state.clip_extra) ? NULLREGION : SIMPLEREGION;
}

int SaveDC(HDC dc) {
  if (!ui::ValidDc(dc)) return 0;
  dc->saved.push_back(dc->state);
  Select(dc->state, true);
  return static_cast<int>(dc->saved.size());
}

BOOL RestoreDC(HDC dc, int saved) {
  if (!ui::ValidDc(dc)) return FALSE;
  int n = static_cast<int>(dc->saved.size());
  int index = saved < 0 ? n + saved : saved - 1;
  if (index < 0 || index >= n) return FALSE;
  Select(dc->state, false);
  dc->state = dc->saved[index];
  for (int i = n - 1; i > index; --i) Select(dc->saved[i], false);
  dc->saved.resize(index);
  if (dc->kind == DcObject::Kind::Memory && dc->state.bitmap) {
    dc->surface = dc->state.bitmap->bits;
    dc->clip = RECT{0, 0, dc->surface->width, dc->surface->height};
  }
  return TRUE;
}

BOOL SetViewportOrgEx(HDC dc, int x, int y, POINT* old) {
  if (!ui::ValidDc(dc)) return FALSE;
  if (old) *old = dc->state.viewport;
  dc->state.viewport = POINT{x, y};
  return TRUE;
}
BOOL SetWindowOrgEx(HDC dc, int x, int y, POINT* old) {
  if (!ui::ValidDc(dc)) return FALSE;
  if (old) *old = dc->state.window_org;
  dc->state.window_org = POINT{x, y};
  return TRUE;
}
BOOL GetViewportOrgEx(HDC dc, POINT* p) {
  if (!ui::ValidDc(dc) || p == nullptr) return FALSE;
  *p = dc->state.viewport;
  return TRUE;
}
BOOL GetWindowOrgEx(HDC dc, POINT* p) {
  if (!ui::ValidDc(dc) || p == nullptr) return FALSE;
  *p = dc->state.window_org;
  return TRUE;
}

// ---------------------------------------------------------------------------------------
// Objects.
namespace {
HGDIOBJ NewObject(GdiObject::Kind kind) {
  ui::CountObject(1);
  return new GdiObject{kind};
}
}  // namespace

HPEN CreatePen(int style, int width, COLORREF color) {
  HGDIOBJ o = NewObject(GdiObject::Kind::Pen);
  o->style = style;
  o->width = std::max(1, width);
  o->color = color & 0xFFFFFF;
  return o;
}

HBRUSH CreateSolidBrush(COLORREF color) {
  HGDIOBJ o = NewObject(GdiObject::Kind::Brush);
  o->style = BS_SOLID;
  o->color = color & 0xFFFFFF;
  return o;
}

HBRUSH CreatePatternBrush(HBITMAP bitmap) {
  if (bitmap == nullptr || bitmap->kind != GdiObject::Kind::Bitmap) return nullptr;
  HGDIOBJ o = NewObject(GdiObject::Kind::Brush);
  o->style = BS_PATTERN;
  std::lock_guard lk(bitmap->bits->mutex);
  o->bits = std::make_shared<ui::Surface>(bitmap->bits->width, bitmap->bits->height);
  o->bits->pixels = bitmap->bits->pixels;
  o->mono = bitmap->mono;
  return o;
}

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bpp, const void* bits) {
  if (width < 0 || height < 0 || planes != 1 || (bpp != 1 && bpp != 32) || width > 16384 || height > 16384)
    return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  HGDIOBJ o = NewObject(GdiObject::Kind::Bitmap);
  o->mono = bpp == 1;
  o->bits = std::make_shared<ui::Surface>(std::max(1, width), std::max(1, height), 0);
  if (bits != nullptr) {
    if (o->mono) {  // rows padded to 16 bits, as the platform's device-dependent layout
      int stride = ((width + 15) / 16) * 2;
      auto* b = static_cast<const uint8_t*>(bits);
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
          o->bits->pixels[static_cast<size_t>(y) * width + x] = (b[y * stride + x / 8] >> (7 - x % 8)) & 1 ? 0xFFFFFF : 0;
    } else {
      std::memcpy(o->bits->pixels.data(), bits, static_cast<size_t>(width) * height * 4);
    }
  }
  return o;
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) {
  if (!ui::ValidDc(dc)) return nullptr;
  return CreateBitmap(width, height, 1, dc->Mono() ? 1 : 32, nullptr);
}

HBITMAP CreateDIBitmap32(int width, int height, const uint32_t* argb) {
  HBITMAP b = CreateBitmap(width, height, 1, 32, nullptr);
  if (b != nullptr && argb != nullptr) std::copy_n(argb, static_cast<size_t>(width) * height, b->bits->pixels.data());
  return b;
}

int GetDIBits(HDC, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFOHEADER* info, UINT) {
  if (bitmap == nullptr || bitmap->kind != GdiObject::Kind::Bitmap || info == nullptr || info->biSize < 40) return 0;
  const ui::Surface& s = *bitmap->bits;
  std::lock_guard lk(s.mutex);
  if (bits == nullptr) {
    info->biWidth = s.width;
    info->biHeight = s.height;
    info->biPlanes = 1;
    info->biBitCount = bitmap->mono ? 1 : 32;
    info->biCompression = BI_RGB;
    info->biSizeImage = static_cast<DWORD>(s.width * 4 * s.height);
    return s.height;
  }
  if (info->biBitCount != 32 && info->biBitCount != 24) return 0;
  int bpp = info->biBitCount / 8;
  int stride = ((s.width * bpp + 3) / 4) * 4;
  bool bottom_up = info->biHeight > 0;
  auto* out = static_cast<uint8_t*>(bits);
  int done = 0;
  for (UINT i = 0; i < lines && start + i < static_cast<UINT>(s.height); ++i, ++done) {
    int row = static_cast<int>(start + i);  // scan line counted from the DIB's first row
    int src_y = bottom_up ? s.height - 1 - row : row;
    uint8_t* o = out + static_cast<size_t>(i) * stride;
    for (int x = 0; x < s.width; ++x) {
      uint32_t p = s.pixels[static_cast<size_t>(src_y) * s.width + x];
      o[x * bpp] = p & 0xFF;
      o[x * bpp + 1] = (p >> 8) & 0xFF;
      o[x * bpp + 2] = (p >> 16) & 0xFF;
      if (bpp == 4) o[x * bpp + 3] = (p >> 24) & 0xFF;
    }
  }
  return done;
}

int SetDIBits(HDC, HBITMAP bitmap, UINT start, UINT lines, const void* bits, const BITMAPINFOHEADER* info, UINT) {
  if (bitmap == nullptr || bitmap->kind != GdiObject::Kind::Bitmap || info == nullptr || bits == nullptr ||
      (info->biBitCount != 32 && info->biBitCount != 24) || info->biWidth != bitmap->bits->width)
    return 0;
  ui::Surface& s = *bitmap->bits;
  std::lock_guard lk(s.mutex);
  int bpp = info->biBitCount / 8;
  int stride = ((s.width * bpp + 3) / 4) * 4;
  bool bottom_up = info->biHeight > 0;
  auto* in = static_cast<const uint8_t*>(bits);
  int done = 0;
  for (UINT i = 0; i < lines && start + i < static_cast<UINT>(s.height); ++i, ++done) {
    int row = static_cast<int>(start + i);
    int y = bottom_up ? s.height - 1 - row : row;
    const uint8_t* r = in + static_cast<size_t>(i) * stride;
    for (int x = 0; x < s.width; ++x)
      s.pixels[static_cast<size_t>(y) * s.width + x] =
          (bpp == 4 ? static_cast<uint32_t>(r[x * 4 + 3]) << 24 : 0) | (r[x * bpp + 2] << 16) | (r[x * bpp + 1] << 8) | r[x * bpp];
  }
  return done;
}

HGDIOBJ GetStockObject(int index) {
  if (index < 0 || index >= 18) return nullptr;
  return TheStock().objects[index];
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  if (!ui::ValidDc(dc) || object == nullptr) return nullptr;
  HGDIOBJ* slot = nullptr;
  switch (object->kind) {
    case GdiObject::Kind::Pen: slot = &dc->state.pen; break;
    case GdiObject::Kind::Brush: slot = &dc->state.brush; break;
    case GdiObject::Kind::Font: slot = &dc->state.font; break;
    case GdiObject::Kind::Bitmap:
      // Only memory DCs take bitmaps, and a bitmap is in one DC at a time.
      if (dc->kind != DcObject::Kind::Memory) return nullptr;
      if (object->selected > 0 && dc->state.bitmap != object) return nullptr;
      slot = &dc->state.bitmap;
      break;
  }
  HGDIOBJ old = *slot;
  if (old == object) return old;
  if (old) old->selected--;
  object->selected++;
  *slot = object;
  if (object->kind == GdiObject::Kind::Bitmap) {
    dc->surface = object->bits;
    dc->clip = RECT{0, 0, object->bits->width, object->bits->height};
  }
  return old;
}

BOOL DeleteObject(HGDIOBJ object) {
  if (object == nullptr) return FALSE;
  if (object->stock) return TRUE;
  if (object->selected > 0) return FALSE;
  ui::CountObject(-1);
  delete object;
  return TRUE;
}

int GetObjectW(HGDIOBJ object, int size, void* out) {
  if (object == nullptr) return 0;
  switch (object->kind) {
    case GdiObject::Kind::Bitmap: {
      if (out == nullptr) return sizeof(BITMAP);
      if (size < static_cast<int>(sizeof(BITMAP))) return 0;
      BITMAP b{0, object->bits->width, object->bits->height,
               object->mono ? ((object->bits->width + 15) / 16) * 2 : object->bits->width * 4, 1,
               static_cast<WORD>(object->mono ? 1 : 32), nullptr};
      std::memcpy(out, &b, sizeof b);
      return sizeof(BITMAP);
    }
    case GdiObject::Kind::Font:
      if (out == nullptr) return sizeof(LOGFONTW);
      if (size < static_cast<int>(sizeof(LOGFONTW))) return 0;
      std::memcpy(out, &object->font, sizeof(LOGFONTW));
      return sizeof(LOGFONTW);
    default:
      return 0;
  }
}

HGDIOBJ GetCurrentObject(HDC dc, UINT type) {
  if (!ui::ValidDc(dc)) return nullptr;
  switch (type) {
    case OBJ_PEN: return dc->state.pen;
    case OBJ_BRUSH: return dc->state.brush;
    case OBJ_FONT: return dc->state.font;
    case OBJ_BITMAP: return dc->state.bitmap;
    default: return nullptr;
  }
}

COLORREF SetTextColor(HDC dc, COLORREF color) {
  if (!ui::ValidDc(dc)) return CLR_INVALID;
  return std::exchange(dc->state.text, color & 0xFFFFFF);
}
COLORREF GetTextColor(HDC dc) { return ui::ValidDc(dc) ? dc->state.text : CLR_INVALID; }
COLORREF SetBkColor(HDC dc, COLORREF color) {
  if (!ui::ValidDc(dc)) return CLR_INVALID;
  return std::exchange(dc->state.bk, color & 0xFFFFFF);
}
COLORREF GetBkColor(HDC dc) { return ui::ValidDc(dc) ? dc->state.bk : CLR_INVALID; }
int SetBkMode(HDC dc, int mode) {
  if (!ui::ValidDc(dc) || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
  return std::exchange(dc->state.bk_mode, mode);
}
int GetBkMode(HDC dc) { return ui::ValidDc(dc) ? dc->state.bk_mode : 0; }

// ---------------------------------------------------------------------------------------
// Drawing.
int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
  if (!ui::ValidDc(dc) || rect == nullptr) return 0;
  brush = ui::BrushFromClassBackground(brush);
  if (brush == nullptr || brush->kind != GdiObject::Kind::Brush) return 0;
  std::lock_guard lk(dc->surface->mutex);
  FillWithPaint(dc, SurfaceRect(dc, *rect), PaintOf(dc, brush));
  return 1;
}

int FrameRect(HDC dc, const RECT* rect, HBRUSH brush) {
  if (!ui::ValidDc(dc) || rect == nullptr || brush == nullptr) return 0;
  if (IsRectEmpty(rect)) return 1;
  RECT r = SurfaceRect(dc, *rect);
  BrushPaint p = PaintOf(dc, brush);
  std::lock_guard lk(dc->surface->mutex);
  FillWithPaint(dc, RECT{r.left, r.top, r.right, r.top + 1}, p);
  FillWithPaint(dc, RECT{r.left, r.bottom - 1, r.right, r.bottom}, p);
  FillWithPaint(dc, RECT{r.left, r.top, r.left + 1, r.bottom}, p);
  FillWithPaint(dc, RECT{r.right - 1, r.top, r.right, r.bottom}, p);
  return 1;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
  if (!ui::ValidDc(dc)) return FALSE;
  RECT r = SurfaceRect(dc, RECT{left, top, right, bottom});
  std::lock_guard lk(dc->surface->mutex);
  HGDIOBJ pen = dc->state.pen;
  bool has_pen = pen != nullptr && pen->style != PS_NULL;
  RECT inner = r;
  if (has_pen) InflateRect(&inner, -1, -1);
  FillWithPaint(dc, inner, PaintOf(dc, dc->state.brush));
  if (has_pen) {
    BrushPaint p;
    p.color = DeviceColor(dc, pen->Color());
    FillWithPaint(dc, RECT{r.left, r.top, r.right, r.top + 1}, p);
    FillWithPaint(dc, RECT{r.left, r.bottom - 1, r.right, r.bottom}, p);
    FillWithPaint(dc, RECT{r.left, r.top, r.left + 1, r.bottom}, p);
    FillWithPaint(dc, RECT{r.right - 1, r.top, r.right, r.bottom}, p);
  }
  return TRUE;
}

BOOL Ellipse(HDC dc, int left, int top, int right, int bottom) {
  if (!ui::ValidDc(dc)) return FALSE;
  RECT r = SurfaceRect(dc, RECT{left, top, right, bottom});
  if (IsRectEmpty(&r)) return TRUE;
  double cx = (r.left + r.right) / 2.0, cy = (r.top + r.bottom) / 2.0;
  double rx = (r.right - r.left) / 2.0, ry = (r.bottom - r.top) / 2.0;
  auto inside = [&](int x, int y) {
    double dx = (x + 0.5 - cx) / rx, dy = (y + 0.5 - cy) / ry;
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom && dx * dx + dy * dy <= 1.0;
  };
  std::lock_guard lk(dc->surface->mutex);
  RECT clip = dc->ClipRect();
  BrushPaint fill = PaintOf(dc, dc->state.brush);
  HGDIOBJ pen = dc->state.pen;
  bool has_pen = pen != nullptr && pen->style != PS_NULL;
  uint32_t pen_color = has_pen ? DeviceColor(dc, pen->Color()) : 0;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      if (!inside(x, y)) continue;
      bool edge = !inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) || !inside(x, y + 1);
      if (edge && has_pen)
        Put(dc, clip, x, y, pen_color);
      else if (!fill.none)
        Put(dc, clip, x, y, PatternAt(dc, fill, x, y));
    }
  return TRUE;
}

BOOL MoveToEx(HDC dc, int x, int y, POINT* old) {
  if (!ui::ValidDc(dc)) return FALSE;
  if (old) *old = dc->state.pos;
  dc->state.pos = POINT{x, y};
  return TRUE;
}

BOOL LineTo(HDC dc, int x, int y) {
  if (!ui::ValidDc(dc)) return FALSE;
  HGDIOBJ pen = dc->state.pen;
  POINT a = dc->ToSurface(dc->state.pos.x, dc->state.pos.y), b = dc->ToSurface(x, y);
  dc->state.pos = POINT{x, y};
  if (pen == nullptr || pen->style == PS_NULL) return TRUE;
  std::lock_guard lk(dc->surface->mutex);
  PixelLine(dc, dc->ClipRect(), a, b, DeviceColor(dc, pen->Color()), pen->width);
  return TRUE;
}

COLORREF SetPixel(HDC dc, int x, int y, COLORREF color) {
  if (!ui::ValidDc(dc)) return CLR_INVALID;
  POINT p = dc->ToSurface(x, y);
  RECT clip = dc->ClipRect();
  if (!PtInRect(&clip, p)) return CLR_INVALID;
  std::lock_guard lk(dc->surface->mutex);
  uint32_t v = DeviceColor(dc, color);
  dc->surface->pixels[static_cast<size_t>(p.y) * dc->surface->width + p.x] = v;
  return ui::ToColor(v);
}

COLORREF GetPixel(HDC dc, int x, int y) {
  if (!ui::ValidDc(dc)) return CLR_INVALID;
  POINT p = dc->ToSurface(x, y);
  RECT clip = dc->ClipRect();
  if (!PtInRect(&clip, p)) return CLR_INVALID;
  std::lock_guard lk(dc->surface->mutex);
  return ui::ToColor(dc->surface->pixels[static_cast<size_t>(p.y) * dc->surface->width + p.x]);
}

BOOL DrawEdge(HDC dc, RECT* rect, UINT edge, UINT flags) {
  if (!ui::ValidDc(dc) || rect == nullptr) return FALSE;
  RECT r = *rect;
  auto fill = [&](const RECT& part, int color) {
    COLORREF c = (flags & BF_MONO) ? GetSysColor(COLOR_WINDOWFRAME) : GetSysColor(color);
    FillSolidRect(dc, &part, c);
  };
  // Outer then inner ring; each: top and left first, bottom and right over their corners.
  struct Ring {
    UINT raised, sunken;
    int raised_tl, raised_br, sunken_tl, sunken_br;
  };
  const Ring rings[2] = {
      {BDR_RAISEDOUTER, BDR_SUNKENOUTER, COLOR_3DLIGHT, COLOR_3DDKSHADOW, COLOR_3DSHADOW, COLOR_3DHIGHLIGHT},
      {BDR_RAISEDINNER, BDR_SUNKENINNER, COLOR_3DHIGHLIGHT, COLOR_3DSHADOW, COLOR_3DDKSHADOW, COLOR_3DLIGHT},
  };
  COLORREF saved_bk = GetBkColor(dc);
  for (const Ring& ring : rings) {
    int tl, br;
    if (edge & ring.raised) {
      tl = ring.raised_tl;
      br = ring.raised_br;
    } else if (edge & ring.sunken) {
      tl = ring.sunken_tl;
      br = ring.sunken_br;
    } else {
      continue;
    }
    if (flags & BF_FLAT) tl = br = (flags & BF_MONO) ? COLOR_WINDOWFRAME : COLOR_3DSHADOW;
    if (flags & BF_TOP) fill(RECT{r.left, r.top, r.right, r.top + 1}, tl);
    if (flags & BF_LEFT) fill(RECT{r.left, r.top, r.left + 1, r.bottom}, tl);
    if (flags & BF_BOTTOM) fill(RECT{r.left, r.bottom - 1, r.right, r.bottom}, br);
    if (flags & BF_RIGHT) fill(RECT{r.right - 1, r.top, r.right, r.bottom}, br);
    if (flags & BF_LEFT) r.left++;
    if (flags & BF_TOP) r.top++;
    if (flags & BF_RIGHT) r.right--;
    if (flags & BF_BOTTOM) r.bottom--;
  }
  if (flags & BF_MIDDLE) FillSolidRect(dc, &r, GetSysColor(COLOR_3DFACE));
  SetBkColor(dc, saved_bk);
  if (flags & BF_ADJUST) *rect = r;
  return TRUE;
}

void FillSolidRect(HDC dc, const RECT* rect, COLORREF color) {
  if (!ui::ValidDc(dc) || rect == nullptr) return;
  SetBkColor(dc, color);
  std::lock_guard lk(dc->surface->mutex);
  ui::FillSurfaceRect(dc, SurfaceRect(dc, *rect), color);
}

void Draw3dRect(HDC dc, int x, int y, int cx, int cy, COLORREF top_left, COLORREF bottom_right) {
  RECT top{x, y, x + cx - 1, y + 1}, left{x, y, x + 1, y + cy - 1};
  RECT right{x + cx - 1, y, x + cx, y + cy}, bottom{x, y + cy - 1, x + cx, y + cy};
  FillSolidRect(dc, &top, top_left);
  FillSolidRect(dc, &left, top_left);
  FillSolidRect(dc, &right, bottom_right);
  FillSolidRect(dc, &bottom, bottom_right);
}

namespace {
bool NeedsSource(uint8_t rop) { return (((rop >> 2) ^ rop) & 0x33) != 0; }

BOOL Blit(HDC dst, int x, int y, int cx, int cy, HDC src, int sx, int sy, int scx, int scy, DWORD rop) {
  if (!ui::ValidDc(dst)) return FALSE;
  uint8_t code = static_cast<uint8_t>(rop >> 16);
  bool use_src = NeedsSource(code);
  if (use_src && !ui::ValidDc(src)) return FALSE;
  if (cx <= 0 || cy <= 0) return TRUE;
  POINT d0 = dst->ToSurface(x, y);
  POINT s0 = use_src ? src->ToSurface(sx, sy) : POINT{};
  ui::Surface& ds = *dst->surface;
  std::unique_lock<std::mutex> l1(ds.mutex, std::defer_lock), l2;
  std::vector<uint32_t> source;
  int sw = 0, sh = 0;
  bool src_mono = false;
  COLORREF src_bk = 0;
  if (use_src) {
    ui::Surface& ss = *src->surface;
    if (&ss == &ds) {
      l1.lock();
    } else {
      std::lock(ds.mutex, ss.mutex);
      l1 = std::unique_lock<std::mutex>(ds.mutex, std::adopt_lock);
      l2 = std::unique_lock<std::mutex>(ss.mutex, std::adopt_lock);
    }
    source = ss.pixels;  // a copy, so that overlapping blits read what was there before
    sw = ss.width;
    sh = ss.height;
    src_mono = src->Mono();
    src_bk = src->state.bk;
  } else {
    l1.lock();
  }
  RECT clip = dst->ClipRect();
  BrushPaint paint = PaintOf(dst, dst->state.brush);
  bool dst_mono = dst->Mono();
  uint32_t bk_rgb = Rgb(src_bk);
  for (int j = 0; j < cy; ++j)
    for (int i = 0; i < cx; ++i) {
      int dx = d0.x + i, dy = d0.y + j;
      if (dx < clip.left || dx >= clip.right || dy < clip.top || dy >= clip.bottom) continue;
      uint32_t& d = ds.pixels[static_cast<size_t>(dy) * ds.width + dx];
      uint32_t s = 0, alpha = 0;
      if (use_src) {
        int px = s0.x + i * scx / cx, py = s0.y + j * scy / cy;
        if (px < 0 || py < 0 || px >= sw || py >= sh) continue;
        uint32_t raw = source[static_cast<size_t>(py) * sw + px];
        alpha = raw & 0xFF000000u;
        s = raw & 0xFFFFFF;
        if (src_mono && !dst_mono)
          s = s != 0 ? Rgb(dst->state.bk) : Rgb(dst->state.text);
        else if (!src_mono && dst_mono)
          s = s == bk_rgb ? 0xFFFFFF : 0;
      }
      uint32_t p = paint.none ? 0 : PatternAt(dst, paint, dx, dy);
      uint32_t v = Rop3(code, p, s, d & 0xFFFFFF);
      // A plain copy keeps the source's alpha, so that alpha images survive being copied.
      d = v | (rop == SRCCOPY && !dst_mono ? alpha : 0);
    }
  return TRUE;
}
}  // namespace

BOOL BitBlt(HDC dst, int x, int y, int cx, int cy, HDC src, int sx, int sy, DWORD rop) {
  return Blit(dst, x, y, cx, cy, src, sx, sy, cx, cy, rop);
}

BOOL StretchBlt(HDC dst, int x, int y, int cx, int cy, HDC src, int sx, int sy, int scx, int scy, DWORD rop) {
  if (scx <= 0 || scy <= 0) return FALSE;
  return Blit(dst, x, y, cx, cy, src, sx, sy, scx, scy, rop);
}

BOOL PatBlt(HDC dc, int x, int y, int cx, int cy, DWORD rop) {
  if (NeedsSource(static_cast<uint8_t>(rop >> 16))) return FALSE;
  return Blit(dc, x, y, cx, cy, nullptr, 0, 0, cx, cy, rop);
}

// ---------------------------------------------------------------------------------------
// Icons and image lists: straight-alpha 0xAARRGGBB pixels.
struct IconObject {
  int width;
  int height;
  std::vector<uint32_t> argb;
};

struct ImageListObject {
  int cx;
  int cy;
  UINT flags;
  int grow;
  COLORREF bk = CLR_NONE;
  std::vector<std::vector<uint32_t>> images;
};

namespace {
void DrawArgb(HDC dc, int x, int y, int w, int h, const uint32_t* argb, int cx, int cy) {
  std::lock_guard lk(dc->surface->mutex);
  RECT clip = dc->ClipRect();
  POINT o = dc->ToSurface(x, y);
  for (int j = 0; j < cy; ++j)
    for (int i = 0; i < cx; ++i) {
      uint32_t p = argb[static_cast<size_t>(j * h / cy) * w + i * w / cx];
      int a = static_cast<int>(p >> 24);
      if (a == 0) continue;
      ui::BlendPixel(dc, clip, o.x + i, o.y + j, ui::ToColor(p), a);
    }
}

std::vector<uint32_t> Slice(const ui::Surface& s, int x0, int cx, int cy) {
  std::vector<uint32_t> out(static_cast<size_t>(cx) * cy, 0);
  for (int y = 0; y < cy && y < s.height; ++y)
    for (int x = 0; x < cx && x0 + x < s.width; ++x) out[static_cast<size_t>(y) * cx + x] = s.pixels[static_cast<size_t>(y) * s.width + x0 + x];
  return out;
}

bool HasAlpha(const std::vector<uint32_t>& v) {
  return std::any_of(v.begin(), v.end(), [](uint32_t p) { return (p >> 24) != 0; });
}
}  // namespace

HICON CreateIconFromPixels(int width, int height, const uint32_t* argb) {
  if (width <= 0 || height <= 0 || argb == nullptr) return nullptr;
  ui::CountObject(1);
  return new IconObject{width, height, std::vector<uint32_t>(argb, argb + static_cast<size_t>(width) * height)};
}

HICON CreateIconIndirect(const ICONINFO* info) {
  if (info == nullptr || info->hbmColor == nullptr || info->hbmColor->kind != GdiObject::Kind::Bitmap)
    return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  const ui::Surface& c = *info->hbmColor->bits;
  std::vector<uint32_t> px;
  {
    std::lock_guard lk(c.mutex);
    px = c.pixels;
  }
  if (!HasAlpha(px)) {
    const ui::Surface* m = info->hbmMask ? info->hbmMask->bits.get() : nullptr;
    for (size_t i = 0; i < px.size(); ++i) {
      bool transparent = m != nullptr && i < m->pixels.size() && (m->pixels[i] & 0xFFFFFF) != 0;
      px[i] = transparent ? 0 : (px[i] | 0xFF000000u);
    }
  }
  return CreateIconFromPixels(c.width, c.height, px.data());
}

BOOL GetIconInfo(HICON icon, ICONINFO* info) {
  if (icon == nullptr || info == nullptr) return FALSE;
  info->fIcon = TRUE;
  info->xHotspot = icon->width / 2;
  info->yHotspot = icon->height / 2;
  info->hbmColor = CreateDIBitmap32(icon->width, icon->height, icon->argb.data());
  info->hbmMask = CreateBitmap(icon->width, icon->height, 1, 1, nullptr);
  for (size_t i = 0; i < icon->argb.size(); ++i)
    info->hbmMask->bits->pixels[i] = (icon->argb[i] >> 24) == 0 ? 0xFFFFFF : 0;
  return TRUE;
}

HICON CopyIcon(HICON icon) {
  return icon == nullptr ? nullptr : CreateIconFromPixels(icon->width, icon->height, icon->argb.data());
}

BOOL DestroyIcon(HICON icon) {
  if (icon == nullptr) return FALSE;
  ui::CountObject(-1);
  delete icon;
  return TRUE;
}

BOOL DrawIconEx(HDC dc, int x, int y, HICON icon, int cx, int cy, UINT, HBRUSH, UINT) {
  if (!ui::ValidDc(dc) || icon == nullptr) return FALSE;
  if (cx == 0) cx = icon->width;
  if (cy == 0) cy = icon->height;
  DrawArgb(dc, x, y, icon->width, icon->height, icon->argb.data(), cx, cy);
  return TRUE;
}

BOOL DrawIcon(HDC dc, int x, int y, HICON icon) { return DrawIconEx(dc, x, y, icon, 0, 0, 0, nullptr, DI_NORMAL); }

HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int initial, int grow) {
  if (cx <= 0 || cy <= 0 || initial < 0 || grow < 0) return nullptr;
  ui::CountObject(1);
  auto* l = new ImageListObject{cx, cy, flags, grow};
  l->images.reserve(static_cast<size_t>(initial));
  return l;
}

BOOL ImageList_Destroy(HIMAGELIST list) {
  if (list == nullptr) return FALSE;
  ui::CountObject(-1);
  delete list;
  return TRUE;
}

int ImageList_Add(HIMAGELIST list, HBITMAP image, HBITMAP mask) {
  if (list == nullptr || image == nullptr || image->kind != GdiObject::Kind::Bitmap) return -1;
  const ui::Surface& s = *image->bits;
  std::lock_guard lk(s.mutex);
  int first = static_cast<int>(list->images.size());
  for (int x0 = 0; x0 + list->cx <= s.width; x0 += list->cx) {
    auto px = Slice(s, x0, list->cx, list->cy);
    bool alpha = (list->flags & 0xFE) == ILC_COLOR32 && HasAlpha(px);
    if (!alpha) {
      std::vector<uint32_t> m;
      if ((list->flags & ILC_MASK) && mask != nullptr) m = Slice(*mask->bits, x0, list->cx, list->cy);
      for (size_t i = 0; i < px.size(); ++i)
        px[i] = (!m.empty() && (m[i] & 0xFFFFFF) != 0) ? 0 : (px[i] | 0xFF000000u);
    }
    list->images.push_back(std::move(px));
  }
  return static_cast<int>(list->images.size()) > first ? first : -1;
}

int ImageList_AddMasked(HIMAGELIST list, HBITMAP image, COLORREF mask_color) {
  if (list == nullptr || image == nullptr) return -1;
  const ui::Surface& s = *image->bits;
  std::lock_guard lk(s.mutex);
  int first = static_cast<int>(list->images.size());
  uint32_t key = Rgb(mask_color);
  for (int x0 = 0; x0 + list->cx <= s.width; x0 += list->cx) {
    auto px = Slice(s, x0, list->cx, list->cy);
    for (auto& p : px) p = (p & 0xFFFFFF) == key ? 0 : ((p & 0xFFFFFF) | 0xFF000000u);
    list->images.push_back(std::move(px));
  }
  return static_cast<int>(list->images.size()) > first ? first : -1;
}

int ImageList_ReplaceIcon(HIMAGELIST list, int index, HICON icon) {
  if (list == nullptr || icon == nullptr || index < -1 || index >= static_cast<int>(list->images.size())) return -1;
  std::vector<uint32_t> px(static_cast<size_t>(list->cx) * list->cy);
  for (int y = 0; y < list->cy; ++y)
    for (int x = 0; x < list->cx; ++x)
      px[static_cast<size_t>(y) * list->cx + x] = icon->argb[static_cast<size_t>(y * icon->height / list->cy) * icon->width + x * icon->width / list->cx];
  if (index == -1) {
    list->images.push_back(std::move(px));
    return static_cast<int>(list->images.size()) - 1;
  }
  list->images[index] = std::move(px);
  return index;
}

HICON ImageList_GetIcon(HIMAGELIST list, int index, UINT) {
  if (list == nullptr || index < 0 || index >= static_cast<int>(list->images.size())) return nullptr;
  return CreateIconFromPixels(list->cx, list->cy, list->images[index].data());
}

BOOL ImageList_Draw(HIMAGELIST list, int index, HDC dc, int x, int y, UINT style) {
  if (list == nullptr || !ui::ValidDc(dc) || index < 0 || index >= static_cast<int>(list->images.size())) return FALSE;
  if ((style & ILD_TRANSPARENT) == 0 && list->bk != CLR_NONE) {
    RECT r{x, y, x + list->cx, y + list->cy};
    COLORREF bk = GetBkColor(dc);
    FillSolidRect(dc, &r, list->bk);
    SetBkColor(dc, bk);
  }
  DrawArgb(dc, x, y, list->cx, list->cy, list->images[index].data(), list->cx, list->cy);
  return TRUE;
}

int ImageList_GetImageCount(HIMAGELIST list) { return list == nullptr ? 0 : static_cast<int>(list->images.size()); }

BOOL ImageList_GetIconSize(HIMAGELIST list, int* cx, int* cy) {
  if (list == nullptr || cx == nullptr || cy == nullptr) return FALSE;
  *cx = list->cx;
  *cy = list->cy;
  return TRUE;
}

BOOL ImageList_Remove(HIMAGELIST list, int index) {
  if (list == nullptr) return FALSE;
  if (index == -1) {
    list->images.clear();
    return TRUE;
  }
  if (index < 0 || index >= static_cast<int>(list->images.size())) return FALSE;
  list->images.erase(list->images.begin() + index);
  return TRUE;
}

COLORREF ImageList_SetBkColor(HIMAGELIST list, COLORREF color) {
  if (list == nullptr) return CLR_NONE;
  return std::exchange(list->bk, color);
}

}  // namespace win32
