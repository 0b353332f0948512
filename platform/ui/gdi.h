// GDI of the window-framework stand-in: device contexts on 32-bit pixel surfaces, pens,
// brushes, bitmaps, the drawing primitives and raster operations, system colours, icons and
// image lists. Fonts and text are in text.h.
//
// What is real here: pixels. A window's DC draws into its top-level window's surface
// (clipped to the window and its parents), a memory DC into the bitmap selected into it.
// Coordinates follow GDI: right and bottom edges are excluded, LineTo leaves out its end
// point, the window and viewport origins shift logical coordinates. Monochrome bitmaps
// convert as GDI converts them (colour to mono: the source's background colour becomes 1;
// mono to colour: 0 takes the destination's text colour, 1 its background colour). BitBlt
// takes any ternary raster operation. 32-bit images with alpha (from PNG resources and in
// ILC_COLOR32 image lists) blend with straight alpha; GDI's own drawing leaves alpha 0, as on
// the platform, so an image list tells drawn images (mask used) from alpha images.
// What is not: regions beyond the clip box, world transforms, palettes (RC_PALETTE can be
// reported for tests; the colours stay true colours), printing, metafiles.
#pragma once

#include "platform/ui/ui_types.h"

namespace win32 {

// ---------------------------------------------------------------------------------------
// Rectangles.
BOOL SetRect(RECT* r, int left, int top, int right, int bottom);
BOOL SetRectEmpty(RECT* r);
BOOL CopyRect(RECT* dst, const RECT* src);
BOOL OffsetRect(RECT* r, int dx, int dy);
BOOL InflateRect(RECT* r, int dx, int dy);
BOOL IntersectRect(RECT* dst, const RECT* a, const RECT* b);  // FALSE and empty when apart
BOOL UnionRect(RECT* dst, const RECT* a, const RECT* b);
BOOL IsRectEmpty(const RECT* r);
BOOL PtInRect(const RECT* r, POINT p);
BOOL EqualRect(const RECT* a, const RECT* b);

// ---------------------------------------------------------------------------------------
// System colours: the classic scheme unless changed (testing::SetSysColor).
constexpr int COLOR_SCROLLBAR = 0;
constexpr int COLOR_BACKGROUND = 1;
constexpr int COLOR_DESKTOP = 1;
constexpr int COLOR_ACTIVECAPTION = 2;
constexpr int COLOR_INACTIVECAPTION = 3;
constexpr int COLOR_MENU = 4;
constexpr int COLOR_WINDOW = 5;
constexpr int COLOR_WINDOWFRAME = 6;
constexpr int COLOR_MENUTEXT = 7;
constexpr int COLOR_WINDOWTEXT = 8;
constexpr int COLOR_CAPTIONTEXT = 9;
constexpr int COLOR_ACTIVEBORDER = 10;
constexpr int COLOR_INACTIVEBORDER = 11;
constexpr int COLOR_APPWORKSPACE = 12;
constexpr int COLOR_HIGHLIGHT = 13;
constexpr int COLOR_HIGHLIGHTTEXT = 14;
constexpr int COLOR_BTNFACE = 15;
constexpr int COLOR_3DFACE = 15;
constexpr int COLOR_BTNSHADOW = 16;
constexpr int COLOR_3DSHADOW = 16;
constexpr int COLOR_GRAYTEXT = 17;
constexpr int COLOR_BTNTEXT = 18;
constexpr int COLOR_INACTIVECAPTIONTEXT = 19;
constexpr int COLOR_BTNHIGHLIGHT = 20;
constexpr int COLOR_3DHIGHLIGHT = 20;
constexpr int COLOR_3DHILIGHT = 20;
constexpr int COLOR_3DDKSHADOW = 21;
constexpr int COLOR_3DLIGHT = 22;
constexpr int COLOR_INFOTEXT = 23;
constexpr int COLOR_INFOBK = 24;
constexpr int COLOR_HOTLIGHT = 26;
constexpr int COLOR_GRADIENTACTIVECAPTION = 27;
constexpr int COLOR_GRADIENTINACTIVECAPTION = 28;
constexpr int COLOR_MENUHILIGHT = 29;
constexpr int COLOR_MENUBAR = 30;
constexpr int kSysColorCount = 31;
COLORREF GetSysColor(int index);
HBRUSH GetSysColorBrush(int index);  // a stock brush that follows the colour's changes
COLORREF GetNearestColor(HDC dc, COLORREF color);

// ---------------------------------------------------------------------------------------
// Device contexts.
HDC GetDC(HWND hwnd);        // the client area; null: a screen DC for measuring and reading caps
HDC GetWindowDC(HWND hwnd);  // the whole window, frame included
int ReleaseDC(HWND hwnd, HDC dc);
HDC CreateCompatibleDC(HDC dc);  // a 1 x 1 monochrome bitmap selected, as on the platform
BOOL DeleteDC(HDC dc);
HDC CreateDCW(LPCWSTR driver, LPCWSTR device, LPCWSTR, const void*);  // "DISPLAY" only

struct PAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
};
static_assert(sizeof(PAINTSTRUCT) == 72);
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps);  // sends WM_NCPAINT and WM_ERASEBKGND when due
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps);

constexpr int HORZRES = 8;
constexpr int VERTRES = 10;
constexpr int BITSPIXEL = 12;
constexpr int PLANES = 14;
constexpr int NUMCOLORS = 24;
constexpr int RASTERCAPS = 38;
constexpr int LOGPIXELSX = 88;
constexpr int LOGPIXELSY = 90;
constexpr int SIZEPALETTE = 104;
constexpr int RC_BITBLT = 0x0001;
constexpr int RC_BITMAP64 = 0x0008;
constexpr int RC_DI_BITMAP = 0x0080;
constexpr int RC_PALETTE = 0x0100;
constexpr int RC_DIBTODEV = 0x0200;
constexpr int RC_STRETCHBLT = 0x0800;
int GetDeviceCaps(HDC dc, int index);

constexpr int NULLREGION = 1;
constexpr int SIMPLEREGION = 2;
constexpr int RGN_ERROR = 0;
int GetClipBox(HDC dc, RECT* rect);  // logical coordinates
int IntersectClipRect(HDC dc, int left, int top, int right, int bottom);
int SaveDC(HDC dc);
BOOL RestoreDC(HDC dc, int saved);  // -1: the last one saved
BOOL SetViewportOrgEx(HDC dc, int x, int y, POINT* old);
BOOL SetWindowOrgEx(HDC dc, int x, int y, POINT* old);
BOOL GetViewportOrgEx(HDC dc, POINT* p);
BOOL GetWindowOrgEx(HDC dc, POINT* p);

// ---------------------------------------------------------------------------------------
// Objects.
constexpr int PS_SOLID = 0;
constexpr int PS_NULL = 5;
constexpr int BS_SOLID = 0;
constexpr int BS_NULL = 1;
constexpr int BS_HOLLOW = 1;
constexpr int BS_PATTERN = 3;

HPEN CreatePen(int style, int width, COLORREF color);
HBRUSH CreateSolidBrush(COLORREF color);
HBRUSH CreatePatternBrush(HBITMAP bitmap);  // the bitmap is copied; tiles from the DC origin
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);  // of a memory DC: its bitmap's depth
HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bits_per_pixel, const void* bits);

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
};
static_assert(sizeof(BITMAP) == 32);
struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;  // positive: bottom-up rows
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);
constexpr DWORD BI_RGB = 0;
// Bitmaps keep their bits as 32-bit pixels; GetDIBits hands out 32-bit or 24-bit rows.
int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFOHEADER* info, UINT usage);
int SetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, const void* bits, const BITMAPINFOHEADER* info, UINT usage);
HBITMAP CreateDIBitmap32(int width, int height, const uint32_t* top_down_argb);  // the stand-in's own

constexpr int WHITE_BRUSH = 0;
constexpr int LTGRAY_BRUSH = 1;
constexpr int GRAY_BRUSH = 2;
constexpr int BLACK_BRUSH = 4;
constexpr int NULL_BRUSH = 5;
constexpr int HOLLOW_BRUSH = 5;
constexpr int WHITE_PEN = 6;
constexpr int BLACK_PEN = 7;
constexpr int NULL_PEN = 8;
constexpr int SYSTEM_FONT = 13;
constexpr int DEFAULT_GUI_FONT = 17;
HGDIOBJ GetStockObject(int index);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);  // the previous object of that kind
BOOL DeleteObject(HGDIOBJ object);  // FALSE while selected into a DC; stock objects stay
int GetObjectW(HGDIOBJ object, int size, void* out);  // BITMAP, LOGFONTW, or LOGPEN-like colour
HGDIOBJ GetCurrentObject(HDC dc, UINT type);
constexpr UINT OBJ_PEN = 1;
constexpr UINT OBJ_BRUSH = 2;
constexpr UINT OBJ_FONT = 6;
constexpr UINT OBJ_BITMAP = 7;

COLORREF SetTextColor(HDC dc, COLORREF color);
COLORREF GetTextColor(HDC dc);
COLORREF SetBkColor(HDC dc, COLORREF color);
COLORREF GetBkColor(HDC dc);
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;
int SetBkMode(HDC dc, int mode);
int GetBkMode(HDC dc);
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;

// ---------------------------------------------------------------------------------------
// Drawing.
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
int FrameRect(HDC dc, const RECT* rect, HBRUSH brush);
BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);
BOOL Ellipse(HDC dc, int left, int top, int right, int bottom);
BOOL MoveToEx(HDC dc, int x, int y, POINT* old);
BOOL LineTo(HDC dc, int x, int y);
COLORREF SetPixel(HDC dc, int x, int y, COLORREF color);  // the colour set, or -1 outside the clip
COLORREF GetPixel(HDC dc, int x, int y);                  // CLR_INVALID outside the clip

constexpr UINT BDR_RAISEDOUTER = 0x0001;
constexpr UINT BDR_SUNKENOUTER = 0x0002;
constexpr UINT BDR_RAISEDINNER = 0x0004;
constexpr UINT BDR_SUNKENINNER = 0x0008;
constexpr UINT EDGE_RAISED = BDR_RAISEDOUTER | BDR_RAISEDINNER;
constexpr UINT EDGE_SUNKEN = BDR_SUNKENOUTER | BDR_SUNKENINNER;
constexpr UINT EDGE_ETCHED = BDR_SUNKENOUTER | BDR_RAISEDINNER;
constexpr UINT EDGE_BUMP = BDR_RAISEDOUTER | BDR_SUNKENINNER;
constexpr UINT BF_LEFT = 0x0001;
constexpr UINT BF_TOP = 0x0002;
constexpr UINT BF_RIGHT = 0x0004;
constexpr UINT BF_BOTTOM = 0x0008;
constexpr UINT BF_RECT = 0x000F;
constexpr UINT BF_MIDDLE = 0x0800;
constexpr UINT BF_ADJUST = 0x2000;
constexpr UINT BF_FLAT = 0x4000;
constexpr UINT BF_MONO = 0x8000;
BOOL DrawEdge(HDC dc, RECT* rect, UINT edge, UINT flags);
// The framework's Draw3dRect: top and left in one colour, bottom and right in the other.
void Draw3dRect(HDC dc, int x, int y, int cx, int cy, COLORREF top_left, COLORREF bottom_right);
void FillSolidRect(HDC dc, const RECT* rect, COLORREF color);  // the framework's; sets the bk colour

constexpr DWORD SRCCOPY = 0x00CC0020;
constexpr DWORD SRCPAINT = 0x00EE0086;
constexpr DWORD SRCAND = 0x008800C6;
constexpr DWORD SRCINVERT = 0x00660046;
constexpr DWORD SRCERASE = 0x00440328;
constexpr DWORD NOTSRCCOPY = 0x00330008;
constexpr DWORD NOTSRCERASE = 0x001100A6;
constexpr DWORD MERGEPAINT = 0x00BB0226;
constexpr DWORD PATCOPY = 0x00F00021;
constexpr DWORD PATPAINT = 0x00FB0A09;
constexpr DWORD PATINVERT = 0x005A0049;
constexpr DWORD DSTINVERT = 0x00550009;
constexpr DWORD BLACKNESS = 0x00000042;
constexpr DWORD WHITENESS = 0x00FF0062;
// Any ternary raster operation: the third byte of the code is the truth table over the
// pattern (0xF0), source (0xCC) and destination (0xAA); the masked copies of grayed pictures
// use such codes (0x00B8074A: pattern where the mask is 0, destination where it is 1).
BOOL BitBlt(HDC dst, int x, int y, int cx, int cy, HDC src, int sx, int sy, DWORD rop);
BOOL PatBlt(HDC dc, int x, int y, int cx, int cy, DWORD rop);
BOOL StretchBlt(HDC dst, int x, int y, int cx, int cy, HDC src, int sx, int sy, int scx, int scy, DWORD rop);

// ---------------------------------------------------------------------------------------
// Icons.
struct ICONINFO {
  BOOL fIcon;
  DWORD xHotspot;
  DWORD yHotspot;
  HBITMAP hbmMask;
  HBITMAP hbmColor;
};
HICON CreateIconIndirect(const ICONINFO* info);  // the bitmaps are copied
BOOL GetIconInfo(HICON icon, ICONINFO* info);    // new bitmaps the caller deletes
HICON CopyIcon(HICON icon);
BOOL DestroyIcon(HICON icon);
constexpr UINT DI_MASK = 1;
constexpr UINT DI_IMAGE = 2;
constexpr UINT DI_NORMAL = 3;
BOOL DrawIconEx(HDC dc, int x, int y, HICON icon, int cx, int cy, UINT step, HBRUSH flicker, UINT flags);
BOOL DrawIcon(HDC dc, int x, int y, HICON icon);
HICON CreateIconFromPixels(int width, int height, const uint32_t* argb);  // the stand-in's own

// ---------------------------------------------------------------------------------------
// Image lists.
constexpr UINT ILC_MASK = 0x0001;
constexpr UINT ILC_COLOR = 0x0000;
constexpr UINT ILC_COLOR4 = 0x0004;
constexpr UINT ILC_COLOR8 = 0x0008;
constexpr UINT ILC_COLOR16 = 0x0010;
constexpr UINT ILC_COLOR24 = 0x0018;
constexpr UINT ILC_COLOR32 = 0x0020;
constexpr UINT ILD_NORMAL = 0x0000;
constexpr UINT ILD_TRANSPARENT = 0x0001;
constexpr COLORREF CLR_NONE = 0xFFFFFFFF;
constexpr COLORREF CLR_DEFAULT = 0xFF000000;
HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int initial, int grow);
BOOL ImageList_Destroy(HIMAGELIST list);
int ImageList_Add(HIMAGELIST list, HBITMAP image, HBITMAP mask);  // index of the first, or -1
int ImageList_AddMasked(HIMAGELIST list, HBITMAP image, COLORREF mask_color);
int ImageList_ReplaceIcon(HIMAGELIST list, int index, HICON icon);  // -1 appends
inline int ImageList_AddIcon(HIMAGELIST list, HICON icon) { return ImageList_ReplaceIcon(list, -1, icon); }
HICON ImageList_GetIcon(HIMAGELIST list, int index, UINT flags);
BOOL ImageList_Draw(HIMAGELIST list, int index, HDC dc, int x, int y, UINT style);
int ImageList_GetImageCount(HIMAGELIST list);
BOOL ImageList_GetIconSize(HIMAGELIST list, int* cx, int* cy);
BOOL ImageList_Remove(HIMAGELIST list, int index);  // -1 removes all
COLORREF ImageList_SetBkColor(HIMAGELIST list, COLORREF color);

namespace testing {
void SetSysColor(int index, COLORREF color);
void ResetSysColors();
void SetPaletteDevice(bool palette);  // RC_PALETTE and 8 bits per pixel in the caps
int LiveGdiObjects();                 // pens, brushes, fonts, bitmaps, DCs, icons, image lists
}  // namespace testing

}  // namespace win32
