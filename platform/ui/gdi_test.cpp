#include "platform/ui/gdi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/ui/automation.h"
#include "platform/ui/text.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/window.h"

namespace win32 {
namespace {

constexpr COLORREF kRed = RGB(255, 0, 0), kBlue = RGB(0, 0, 255), kWhite = RGB(255, 255, 255), kBlack = 0;

class Mem {
 public:
  Mem(int w, int h, int bpp = 32) {
    dc_ = CreateCompatibleDC(nullptr);
    bmp_ = CreateBitmap(w, h, 1, bpp, nullptr);
    old_ = SelectObject(dc_, bmp_);
    RECT r{0, 0, w, h};
    FillRect(dc_, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  ~Mem() {
    SelectObject(dc_, old_);
    DeleteObject(bmp_);
    DeleteDC(dc_);
  }
  HDC dc() const { return dc_; }
  HBITMAP bitmap() const { return bmp_; }
  COLORREF At(int x, int y) const { return GetPixel(dc_, x, y); }
  int Count(COLORREF c, RECT r) const {
    int n = 0;
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) n += At(x, y) == c;
    return n;
  }
  bool InkOutside(RECT r, COLORREF bg, int w, int h) const {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (!PtInRect(&r, POINT{x, y}) && At(x, y) != bg) return true;
    return false;
  }

 private:
  HDC dc_;
  HBITMAP bmp_;
  HGDIOBJ old_;
};

TEST(Gdi, RectanglesExcludeTheirRightAndBottomEdgesAndFollowTheOrigins) {
  Mem m(20, 20);
  HBRUSH red = CreateSolidBrush(kRed);
  RECT r{2, 3, 6, 8};
  FillRect(m.dc(), &r, red);
  EXPECT_EQ(m.Count(kRed, RECT{0, 0, 20, 20}), 4 * 5);
  EXPECT_EQ(m.At(5, 7), kRed);
  EXPECT_EQ(m.At(6, 7), kWhite);
  EXPECT_EQ(m.At(5, 8), kWhite);
  SetWindowOrgEx(m.dc(), 10, 0, nullptr);  // logical 10 is device 0
  SetViewportOrgEx(m.dc(), 1, 1, nullptr);
  RECT s{10, 0, 11, 1};
  FillRect(m.dc(), &s, red);
  SetWindowOrgEx(m.dc(), 0, 0, nullptr);
  SetViewportOrgEx(m.dc(), 0, 0, nullptr);
  EXPECT_EQ(m.At(1, 1), kRed);
  RECT clip;
  EXPECT_EQ(GetClipBox(m.dc(), &clip), SIMPLEREGION);
  EXPECT_EQ(clip.right, 20);
  DeleteObject(red);
}

TEST(Gdi, LinesLeaveOutTheirEndPointAndRectanglesUsePenAndBrush) {
  Mem m(20, 20);
  HPEN pen = CreatePen(PS_SOLID, 1, kRed);
  HBRUSH blue = CreateSolidBrush(kBlue);
  HGDIOBJ op = SelectObject(m.dc(), pen), ob = SelectObject(m.dc(), blue);
  MoveToEx(m.dc(), 1, 1, nullptr);
  LineTo(m.dc(), 1, 5);
  EXPECT_EQ(m.Count(kRed, RECT{1, 0, 2, 20}), 4);
  EXPECT_EQ(m.At(1, 5), kWhite);
  Rectangle(m.dc(), 5, 5, 10, 9);
  EXPECT_EQ(m.At(5, 5), kRed);
  EXPECT_EQ(m.At(9, 8), kRed);
  EXPECT_EQ(m.At(6, 6), kBlue);
  EXPECT_EQ(m.At(10, 9), kWhite);
  EXPECT_FALSE(DeleteObject(pen));  // still selected
  SelectObject(m.dc(), op);
  SelectObject(m.dc(), ob);
  EXPECT_TRUE(DeleteObject(pen));
  EXPECT_TRUE(DeleteObject(blue));
}

TEST(Gdi, EdgesUseTheThreeDColours) {
  Mem m(20, 20);
  RECT r{0, 0, 10, 10};
  DrawEdge(m.dc(), &r, EDGE_RAISED, BF_RECT | BF_ADJUST);
  EXPECT_EQ(r.left, 2);
  EXPECT_EQ(r.right, 8);
  EXPECT_EQ(m.At(0, 0), GetSysColor(COLOR_3DLIGHT));
  EXPECT_EQ(m.At(1, 1), GetSysColor(COLOR_3DHIGHLIGHT));
  EXPECT_EQ(m.At(9, 9), GetSysColor(COLOR_3DDKSHADOW));
  EXPECT_EQ(m.At(8, 8), GetSysColor(COLOR_3DSHADOW));
  EXPECT_EQ(m.At(9, 0), GetSysColor(COLOR_3DDKSHADOW));  // the right edge takes its corner
  RECT line{0, 12, 20, 20};
  DrawEdge(m.dc(), &line, EDGE_ETCHED, BF_TOP);
  EXPECT_EQ(m.At(5, 12), GetSysColor(COLOR_3DSHADOW));
  EXPECT_EQ(m.At(5, 13), GetSysColor(COLOR_3DHIGHLIGHT));
  EXPECT_EQ(m.At(5, 14), kWhite);
}

TEST(Gdi, BlitsConvertMonochromeAndApplyTernaryOperations) {
  Mem color(4, 1), mono(4, 1, 1), out(4, 1);
  SetPixel(color.dc(), 0, 0, kRed);
  SetPixel(color.dc(), 1, 0, kBlue);
  // Colour to mono: the source's background colour becomes 1 (white), the rest 0.
  SetBkColor(color.dc(), kRed);
  BitBlt(mono.dc(), 0, 0, 4, 1, color.dc(), 0, 0, SRCCOPY);
  EXPECT_EQ(mono.At(0, 0), kWhite);
  EXPECT_EQ(mono.At(1, 0), kBlack);
  EXPECT_EQ(mono.At(2, 0), kBlack);  // white is not the background colour here
  // Mono to colour: 0 takes the text colour, 1 the background colour.
  SetTextColor(out.dc(), kBlue);
  SetBkColor(out.dc(), kRed);
  BitBlt(out.dc(), 0, 0, 4, 1, mono.dc(), 0, 0, SRCCOPY);
  EXPECT_EQ(out.At(0, 0), kRed);
  EXPECT_EQ(out.At(1, 0), kBlue);
  // Pattern where the mask is 0, destination where it is 1 (the masked copy of grayed pictures).
  Mem dst(4, 1);
  HBRUSH green = CreateSolidBrush(RGB(0, 255, 0));
  HGDIOBJ ob = SelectObject(dst.dc(), green);
  SetTextColor(dst.dc(), kBlack);
  SetBkColor(dst.dc(), kWhite);
  BitBlt(dst.dc(), 0, 0, 4, 1, mono.dc(), 0, 0, 0x00B8074A);
  EXPECT_EQ(dst.At(0, 0), kWhite);
  EXPECT_EQ(dst.At(1, 0), RGB(0, 255, 0));
  SelectObject(dst.dc(), ob);
  DeleteObject(green);
  BitBlt(out.dc(), 0, 0, 4, 1, color.dc(), 0, 0, SRCINVERT);  // red ^ red = black
  EXPECT_EQ(out.At(0, 0), kBlack);
  BitBlt(out.dc(), 0, 0, 4, 1, color.dc(), 0, 0, SRCPAINT);
  EXPECT_EQ(out.At(0, 0), kRed);
  PatBlt(out.dc(), 0, 0, 4, 1, BLACKNESS);
  EXPECT_EQ(out.At(3, 0), kBlack);
}

TEST(Gdi, ImageListsUseAMaskOrTheAlphaAndDrawTransparently) {
  HIMAGELIST list = ImageList_Create(2, 1, ILC_COLOR32 | ILC_MASK, 0, 1);
  Mem image(4, 1), mask(4, 1, 1);
  for (int x = 0; x < 4; ++x) SetPixel(image.dc(), x, 0, kRed);
  SetPixel(mask.dc(), 1, 0, kWhite);  // transparent
  SetPixel(mask.dc(), 0, 0, kBlack);
  EXPECT_EQ(ImageList_Add(list, image.bitmap(), mask.bitmap()), 0);
  EXPECT_EQ(ImageList_GetImageCount(list), 2);
  Mem out(4, 1);
  SetPixel(out.dc(), 1, 0, kBlue);
  ImageList_Draw(list, 0, out.dc(), 0, 0, ILD_TRANSPARENT);
  EXPECT_EQ(out.At(0, 0), kRed);
  EXPECT_EQ(out.At(1, 0), kBlue);
  const uint32_t half[2] = {0x80FF0000u, 0x00000000u};  // half-transparent red, then nothing
  HICON icon = CreateIconFromPixels(2, 1, half);
  EXPECT_EQ(ImageList_AddIcon(list, icon), 2);
  DestroyIcon(icon);
  SetPixel(out.dc(), 2, 0, kBlue);
  ImageList_Draw(list, 2, out.dc(), 2, 0, ILD_TRANSPARENT);
  COLORREF mixed = out.At(2, 0);
  EXPECT_NEAR(GetRValue(mixed), 128, 2);
  EXPECT_NEAR(GetBValue(mixed), 127, 2);
  HICON back = ImageList_GetIcon(list, 0, ILD_NORMAL);
  ASSERT_NE(back, nullptr);
  DestroyIcon(back);
  ImageList_Destroy(list);
}

class Text : public ::testing::Test {
 protected:
  void SetUp() override {
    LOGFONTW lf{};
    lf.lfHeight = -12;
    font_ = CreateFontIndirectW(&lf);
    lf.lfWeight = FW_BOLD;
    bold_ = CreateFontIndirectW(&lf);
  }
  void TearDown() override {
    DeleteObject(font_);
    DeleteObject(bold_);
  }
  int Width(HDC dc, const std::u16string& s) {
    SIZE sz;
    GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(s.size()), &sz);
    return sz.cx;
  }
  HFONT font_, bold_;
};

TEST_F(Text, MetricsAndExtentsOfTheMenuFont) {
  Mem m(200, 40);
  HGDIOBJ old = SelectObject(m.dc(), font_);
  TEXTMETRICW tm;
  ASSERT_TRUE(GetTextMetricsW(m.dc(), &tm));
  EXPECT_GE(tm.tmHeight, 13);  // a 9-point face at 96 dpi
  EXPECT_LE(tm.tmHeight, 16);
  EXPECT_EQ(tm.tmHeight, tm.tmAscent + tm.tmDescent);
  SIZE sz;
  GetTextExtentPoint32W(m.dc(), u"Mount image", 11, &sz);
  EXPECT_EQ(sz.cy, tm.tmHeight);
  EXPECT_GT(sz.cx, 50);
  EXPECT_LT(sz.cx, 80);
  EXPECT_EQ(Width(m.dc(), u"ab"), Width(m.dc(), u"a") + Width(m.dc(), u"b"));  // no kerning
  int regular = Width(m.dc(), u"Device Parameters");
  SelectObject(m.dc(), bold_);
  EXPECT_GT(Width(m.dc(), u"Device Parameters"), regular);
  SelectObject(m.dc(), old);
}

TEST_F(Text, DrawTextAlignsClipsBreaksAndEllipsises) {
  Mem m(200, 60);
  HGDIOBJ old = SelectObject(m.dc(), font_);
  SetBkMode(m.dc(), TRANSPARENT);
  int w = Width(m.dc(), u"Exit");
  RECT calc{10, 10, 10, 10};
  int h = DrawTextW(m.dc(), u"Exit", -1, &calc, DT_SINGLELINE | DT_CALCRECT);
  EXPECT_EQ(calc.right - calc.left, w);
  EXPECT_EQ(calc.bottom - calc.top, h);
  EXPECT_EQ(m.Count(kWhite, RECT{0, 0, 200, 60}), 200 * 60);  // measuring draws nothing

  RECT box{20, 5, 120, 25};
  DrawTextW(m.dc(), u"Exit", -1, &box, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
  EXPECT_FALSE(m.InkOutside(RECT{120 - w - 1, 5, 120, 25}, kWhite, 200, 60));
  EXPECT_GT(m.Count(kBlack, RECT{120 - w, 5, 120, 25}), 0);
  RECT line{0, 30, 200, 60};
  FillRect(m.dc(), &line, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  RECT narrow{10, 30, 60, 60};
  int lines = DrawTextW(m.dc(), u"one two three four", -1, &narrow, DT_WORDBREAK) / h;
  EXPECT_GE(lines, 2);
  for (int y = 30; y < 60; ++y)
    for (int x = 60; x < 200; ++x) ASSERT_EQ(m.At(x, y), kWhite) << "wrapped text beyond its box at " << x;
  RECT cut{0, 0, 40, 20};
  RECT measured = cut;
  std::u16string long_text = u"A very long item text";
  DrawTextW(m.dc(), long_text.c_str(), -1, &measured, DT_SINGLELINE | DT_END_ELLIPSIS | DT_CALCRECT);
  EXPECT_LE(measured.right, 40);
  SelectObject(m.dc(), old);
}

TEST_F(Text, PrefixesUnderlineAndTabsExpand) {
  Mem a(100, 20), b(100, 20);
  SelectObject(a.dc(), font_);
  SelectObject(b.dc(), font_);
  RECT r{0, 0, 100, 20};
  DrawTextW(a.dc(), u"&File", -1, &r, DT_SINGLELINE);
  DrawTextW(b.dc(), u"File", -1, &r, DT_SINGLELINE | DT_NOPREFIX);
  // The same glyphs, plus an underline below the F.
  int diff = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 100; ++x) diff += a.At(x, y) != b.At(x, y);
  EXPECT_GT(diff, 3);
  EXPECT_LT(diff, 12);
  RECT calc{0, 0, 0, 0};
  DrawTextW(a.dc(), u"a\tb", -1, &calc, DT_SINGLELINE | DT_EXPANDTABS | DT_CALCRECT);
  TEXTMETRICW tm;
  GetTextMetricsW(a.dc(), &tm);
  EXPECT_EQ(calc.right, 8 * tm.tmAveCharWidth + Width(a.dc(), u"b"));
  SelectObject(a.dc(), GetStockObject(SYSTEM_FONT));
  SelectObject(b.dc(), GetStockObject(SYSTEM_FONT));
}

LRESULT Painter(HWND hwnd, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT big{-50, -50, 500, 500};  // clipped to the window's client area
    HBRUSH red = CreateSolidBrush(kRed);
    FillRect(dc, &big, red);
    DeleteObject(red);
    EndPaint(hwnd, &ps);
    return 0;
  }
  return DefWindowProcW(hwnd, m, w, l);
}

TEST(WindowSurfaces, ChildDcsAreClippedAndSnapshotsAreRealPngFiles) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = Painter;
  wc.lpszClassName = u"Painter";
  ASSERT_NE(RegisterClassExW(&wc), 0);
  wc.lpfnWndProc = DefWindowProcW;
  wc.lpszClassName = u"Plain";
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(COLOR_WINDOW + 1));
  ASSERT_NE(RegisterClassExW(&wc), 0);
  HWND top = CreateWindowExW(0, u"Plain", u"top", WS_POPUP | WS_VISIBLE | WS_BORDER, 600, 400, 60, 40, nullptr, nullptr,
                             nullptr, nullptr);
  HWND child = CreateWindowExW(0, u"Painter", nullptr, WS_CHILD | WS_VISIBLE, 10, 10, 20, 10, top, nullptr, nullptr, nullptr);
  ASSERT_NE(child, nullptr);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  EXPECT_EQ(automation::ScreenPixel(600, 400), GetSysColor(COLOR_WINDOWFRAME));  // the border
  EXPECT_EQ(automation::ScreenPixel(605, 405), GetSysColor(COLOR_WINDOW));
  EXPECT_EQ(automation::ScreenPixel(611, 411), kRed);
  EXPECT_EQ(automation::ScreenPixel(630, 420), kRed);
  EXPECT_EQ(automation::ScreenPixel(631, 411), GetSysColor(COLOR_WINDOW));
  EXPECT_EQ(automation::ScreenPixel(611, 421), GetSysColor(COLOR_WINDOW));
  EXPECT_EQ(automation::ScreenPixel(599, 400), GetSysColor(COLOR_DESKTOP));

  std::string path = ::testing::TempDir() + "/ui_window.png";
  ASSERT_TRUE(automation::SnapshotWindow(top, path));
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  int w, h;
  std::vector<uint32_t> px;
  ASSERT_TRUE(ui::ReadPngMemory(bytes.data(), bytes.size(), &w, &h, &px));
  EXPECT_EQ(w, 60);
  EXPECT_EQ(h, 40);
  EXPECT_EQ(px[11 * 60 + 11] & 0xFFFFFF, 0xFF0000u);
  std::remove(path.c_str());
  EXPECT_FALSE(ui::ReadPngMemory(bytes.data(), bytes.size() / 2, &w, &h, &px));  // a cut file is refused
  DestroyWindow(top);
}

TEST(Gdi, NothingIsLeftBehind) {
  int before = testing::LiveGdiObjects();
  {
    Mem m(4, 4);
    HICON i = CreateIconFromPixels(1, 1, std::vector<uint32_t>{0xFF000000u}.data());
    DestroyIcon(i);
  }
  EXPECT_EQ(testing::LiveGdiObjects(), before);
}

}  // namespace
}  // namespace win32
