// Inside GDI: the records behind the handles, shared by the drawing and text code.
#pragma once

#include <memory>
#include <vector>

#include "platform/ui/gdi.h"
#include "platform/ui/text.h"
#include "platform/ui/ui_internal.h"

namespace win32 {

struct GdiObject {
  enum class Kind { Pen, Brush, Font, Bitmap } kind;
  bool stock = false;
  int selected = 0;  // DCs it is selected into
  COLORREF color = 0;
  int style = 0;  // pen or brush style
  int width = 1;
  int sys_color = -1;  // a system-colour brush follows its colour
  LOGFONTW font{};
  std::shared_ptr<ui::Surface> bits;  // bitmaps and pattern brushes
  bool mono = false;
  COLORREF Color() const;
};

struct DcState {
  HGDIOBJ pen;
  HGDIOBJ brush;
  HGDIOBJ font;
  HGDIOBJ bitmap;
  COLORREF text = 0;
  COLORREF bk = 0xFFFFFF;
  int bk_mode = 2;  // OPAQUE
  POINT pos{0, 0};
  POINT viewport{0, 0};
  POINT window_org{0, 0};
  RECT clip_extra{-0x40000000, -0x40000000, 0x40000000, 0x40000000};  // IntersectClipRect, device
};

struct DcObject {
  enum class Kind { Window, Memory, Screen } kind;
  HWND hwnd = nullptr;
  std::shared_ptr<ui::Surface> surface;
  POINT origin{0, 0};  // of the DC's area in the surface
  RECT clip{0, 0, 0, 0};  // surface coordinates
  DcState state;
  std::vector<DcState> saved;
  bool Mono() const;
  // Logical to surface coordinates.
  POINT ToSurface(int x, int y) const {
    return POINT{x - state.window_org.x + state.viewport.x + origin.x,
                 y - state.window_org.y + state.viewport.y + origin.y};
  }
  RECT ClipRect() const;  // surface coordinates, with IntersectClipRect applied
};

namespace ui {
bool ValidDc(HDC dc);
// Blends `color` with coverage 0..255 onto the pixel at surface (x, y) if inside the clip.
void BlendPixel(DcObject* dc, const RECT& clip, int x, int y, COLORREF color, int coverage);
void FillSurfaceRect(DcObject* dc, RECT surface_rect, COLORREF color);  // clipped
bool TakePaint(HWND hwnd, RECT* update, bool* erase, bool* nc);  // window.cpp
void CountObject(int delta);
}  // namespace ui
}  // namespace win32
