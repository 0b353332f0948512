#include "trayui/bcmenu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/ui/resource.h"
#include "platform/ui/text.h"
#include "platform/ui/window.h"

namespace trayui {
namespace {

constexpr int W = BCMenu::kPictureWidth, H = BCMenu::kPictureHeight;
constexpr COLORREF kPaper = RGB(255, 0, 255);  // what no look draws

// The two looks: classic when COLOR_3DFACE equals COLOR_MENU, flat when they differ.
void ClassicColors() {
  win32::testing::ResetSysColors();
  win32::testing::SetSysColor(COLOR_3DLIGHT, RGB(230, 230, 230));  // told apart from the face
}
void FlatColors() {
  win32::testing::ResetSysColors();
  win32::testing::SetSysColor(COLOR_MENU, RGB(255, 255, 255));
  win32::testing::SetSysColor(COLOR_3DFACE, RGB(236, 233, 216));
  win32::testing::SetSysColor(COLOR_HIGHLIGHT, RGB(49, 106, 197));
}

// A memory DC to draw single items into.
class Canvas {
 public:
  Canvas(int w, int h) {
    HDC screen = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    bitmap_ = CreateBitmap(w, h, 1, 32, nullptr);
    old_ = SelectObject(dc_, bitmap_);
    RECT all{0, 0, w, h};
    HBRUSH b = CreateSolidBrush(kPaper);
    FillRect(dc_, &all, b);
    DeleteObject(b);
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  HDC dc() const { return dc_; }
  COLORREF At(int x, int y) const { return GetPixel(dc_, x, y); }
  // Columns in [x0, x1) of rows [y0, y1) that hold a pixel of `color` (text: within the
  // blending of an antialiased glyph's edge, 40 per channel).
  std::vector<int> ColumnsWith(COLORREF color, int x0, int x1, int y0, int y1) const {
    auto near = [&](COLORREF p) {
      return std::abs(GetRValue(p) - GetRValue(color)) <= 40 && std::abs(GetGValue(p) - GetGValue(color)) <= 40 &&
             std::abs(GetBValue(p) - GetBValue(color)) <= 40;
    };
    std::vector<int> cols;
    for (int x = x0; x < x1; ++x)
      for (int y = y0; y < y1; ++y)
        if (near(At(x, y))) {
          cols.push_back(x);
          break;
        }
    return cols;
  }
  // Darkest channel sum at a column range: text is dark on the light looks.
  bool HasInk(int x0, int x1, int y0, int y1, COLORREF background) const {
    for (int x = x0; x < x1; ++x)
      for (int y = y0; y < y1; ++y)
        if (At(x, y) != background) return true;
    return false;
  }

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
};

// The item rectangle of the pixel tests: 23 high, so the picture box sits d = 2 down.
constexpr RECT kR{10, 5, 210, 28};
constexpr int kD = 2;

// The menu's picture list: a 16 x 16 opaque dark-blue square with a transparent 2-pixel rim.
HIMAGELIST TestPictures() {
  std::vector<uint32_t> px(256, 0);
  for (int y = 2; y < 14; ++y)
    for (int x = 2; x < 14; ++x) px[y * 16 + x] = 0xFF203080;
  HICON icon = CreateIconFromPixels(16, 16, px.data());
  HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 5);
  ImageList_AddIcon(list, icon);
  DestroyIcon(icon);
  return list;
}

struct Item {
  std::u16string text;
  UINT flags = 0;
  bool picture = false;
  UINT state = 0;  // ODS_
};

// Draws one item of a fresh menu into the canvas at kR.
void Draw(Canvas& c, const Item& item) {
  BCMenu menu;
  ASSERT_TRUE(menu.CreatePopupMenu());
  HIMAGELIST pics = item.picture ? TestPictures() : nullptr;
  UINT command = (item.flags & MF_SEPARATOR) ? 0 : 100;
  ASSERT_TRUE(menu.AppendODMenu(item.text, item.flags, command, pics, 0));
  if (pics) ImageList_Destroy(pics);
  DRAWITEMSTRUCT dis{ODT_MENU, 0, command, ODA_DRAWENTIRE, item.state, reinterpret_cast<HWND>(menu.m_hMenu), c.dc(), kR,
                     reinterpret_cast<ULONG_PTR>(menu.Items().back())};
  menu.DrawItem(&dis);
}

void ExpectCheckMark(const Canvas& c, int x0, int y0) {
  static const int s[7] = {2, 3, 4, 3, 2, 1, 0};
  COLORREF ink = GetSysColor(COLOR_MENUTEXT);
  for (int k = 0; k < 7; ++k) {
    for (int y = 0; y < 3; ++y) EXPECT_EQ(c.At(x0 + k, y0 + s[k] + y), ink) << "stroke " << k << " row " << y;
    EXPECT_NE(c.At(x0 + k, y0 + s[k] - 1), ink) << "above stroke " << k;
    EXPECT_NE(c.At(x0 + k, y0 + s[k] + 3), ink) << "below stroke " << k;
  }
  EXPECT_NE(c.At(x0 - 1, y0 + 3), ink);
  EXPECT_NE(c.At(x0 + 7, y0 + 1), ink);
}

class BCMenuLook : public ::testing::Test {
 protected:
  void TearDown() override {
    win32::testing::ResetSysColors();
    win32::testing::SetPaletteDevice(false);
  }
};

TEST_F(BCMenuLook, ClassicPlainSelectedAndSeparator) {
  ClassicColors();
  COLORREF b = GetSysColor(COLOR_3DFACE);
  {
    Canvas c(220, 40);
    Draw(c, {u"Plain"});
    EXPECT_EQ(c.At(kR.left, kR.top), b);
    EXPECT_EQ(c.At(kR.right - 1, kR.bottom - 1), b);
    EXPECT_EQ(c.At(kR.right, kR.top), kPaper);  // nothing outside R
    // Text starts in the text rectangle (R.left + W + 9) and is vertically centred.
    EXPECT_FALSE(c.HasInk(kR.left, kR.left + W + 9, kR.top, kR.bottom, b));
    EXPECT_TRUE(c.HasInk(kR.left + W + 9, kR.left + W + 20, kR.top, kR.bottom, b));
  }
  {
    Canvas c(220, 40);
    Draw(c, {u"Selected", 0, false, ODS_SELECTED});
    EXPECT_EQ(c.At(kR.left, kR.top), GetSysColor(COLOR_HIGHLIGHT));  // all of R without a picture
    EXPECT_FALSE(c.ColumnsWith(GetSysColor(COLOR_HIGHLIGHTTEXT), kR.left + W + 9, kR.right, kR.top, kR.bottom).empty());
  }
  {
    Canvas c(220, 40);
    Draw(c, {u"", MF_SEPARATOR});
    int mid = kR.top + (kR.bottom - kR.top) / 2;
    EXPECT_EQ(c.At(kR.left + 5, mid), GetSysColor(COLOR_3DSHADOW));
    EXPECT_EQ(c.At(kR.left + 5, mid + 1), GetSysColor(COLOR_3DHIGHLIGHT));
    EXPECT_EQ(c.At(kR.left + 5, mid - 1), b);
    EXPECT_EQ(c.At(kR.left + 5, mid + 2), b);
  }
}

TEST_F(BCMenuLook, ClassicPictureBoxFramesAndTheSelectionBesideIt) {
  ClassicColors();
  COLORREF hi = GetSysColor(COLOR_BTNHIGHLIGHT), sh = GetSysColor(COLOR_BTNSHADOW);
  int bx = kR.left, by = kR.top + kD, bx2 = kR.left + W + 3, by2 = kR.top + kD + H + 3;  // last pixels of the box
  {
    Canvas c(220, 40);
    Draw(c, {u"Picture", 0, true, ODS_SELECTED});  // raised
    EXPECT_EQ(c.At(bx, by), hi);
    EXPECT_EQ(c.At(bx2, by2), sh);
    EXPECT_EQ(c.At(bx2, by), sh);
    EXPECT_NE(c.At(kR.left + W + 4, kR.top), GetSysColor(COLOR_HIGHLIGHT));  // the column is not highlighted
    EXPECT_EQ(c.At(kR.left + W + 5, kR.top), GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(c.At(kR.left + 2 + 5, kR.top + kD + 2 + 5), RGB(0x20, 0x30, 0x80));  // the picture at (left + 2, top + d + 2)
    EXPECT_EQ(c.At(kR.left + 2 + 1, kR.top + kD + 2 + 1), GetSysColor(COLOR_3DFACE));  // its transparent rim
  }
  {
    Canvas c(220, 40);
    Draw(c, {u"Picture", 0, true, ODS_SELECTED | ODS_CHECKED});  // sunken
    EXPECT_EQ(c.At(bx, by), sh);
    EXPECT_EQ(c.At(bx2, by2), hi);
  }
  {
    Canvas c(220, 40);
    Draw(c, {u"Picture", 0, true, ODS_CHECKED});  // light fill, sunken, no check mark
    EXPECT_EQ(c.At(bx, by), sh);
    EXPECT_EQ(c.At(bx + 1, by + 1), GetSysColor(COLOR_3DLIGHT));
    EXPECT_TRUE(c.ColumnsWith(GetSysColor(COLOR_MENUTEXT), kR.left, kR.left + W + 4, kR.top, kR.bottom).empty());
  }
}

TEST_F(BCMenuLook, ClassicCheckBoxWithTheSevenStrokeMark) {
  ClassicColors();
  Canvas c(220, 40);
  Draw(c, {u"Checked", 0, false, ODS_CHECKED});
  RECT cb{kR.left + 1, kR.top + kD + 2, kR.left + W + 1, kR.top + kD + H + 2};
  EXPECT_EQ(c.At(cb.left, cb.top), GetSysColor(COLOR_3DSHADOW));          // sunken outer edge
  EXPECT_EQ(c.At(cb.right - 1, cb.bottom - 1), GetSysColor(COLOR_3DHIGHLIGHT));
  EXPECT_EQ(c.At(cb.left + 2, cb.top + 2), GetSysColor(COLOR_3DLIGHT));    // not selected: light fill
  ExpectCheckMark(c, cb.left + 4, cb.top + 4);
  Canvas s(220, 40);
  Draw(s, {u"Checked", 0, false, ODS_CHECKED | ODS_SELECTED});
  EXPECT_EQ(s.At(cb.left + 2, cb.top + 2), GetSysColor(COLOR_MENU));  // selected: menu fill
  EXPECT_EQ(s.At(kR.left + W + 5, kR.top), GetSysColor(COLOR_HIGHLIGHT));
  ExpectCheckMark(s, cb.left + 4, cb.top + 4);
}

TEST_F(BCMenuLook, ClassicGrayedTextIsEmbossedAndGrayedPicturesStamped) {
  ClassicColors();
  Canvas c(220, 40);
  Draw(c, {u"Grayed", 0, true, ODS_GRAYED});
  int x0 = kR.left + W + 9, x1 = kR.left + W + 60;
  EXPECT_FALSE(c.ColumnsWith(GetSysColor(COLOR_GRAYTEXT), x0, x1, kR.top, kR.bottom).empty());
  EXPECT_FALSE(c.ColumnsWith(GetSysColor(COLOR_BTNHIGHLIGHT), x0, x1, kR.top, kR.bottom).empty());
  EXPECT_TRUE(c.ColumnsWith(GetSysColor(COLOR_MENUTEXT), x0, x1, kR.top, kR.bottom).empty());
  // The picture's shape in the shadow colour on a whole box of the background; the
  // highlight copy one pixel down-right shows only beyond that box.
  int px = kR.left + 2, py = kR.top + kD + 2;
  EXPECT_EQ(c.At(px + 5, py + 5), GetSysColor(COLOR_BTNSHADOW));
  EXPECT_EQ(c.At(px + 13, py + 13), GetSysColor(COLOR_BTNSHADOW));
  EXPECT_EQ(c.At(px + 14, py + 14), GetSysColor(COLOR_3DFACE));
  EXPECT_EQ(c.At(px + 1, py + 1), GetSysColor(COLOR_3DFACE));
}

TEST_F(BCMenuLook, FlatColumnSelectionAndSeparator) {
  FlatColors();
  COLORREF k = GetSysColor(COLOR_3DFACE), m = GetSysColor(COLOR_MENU), x = GetSysColor(COLOR_HIGHLIGHT);
  EXPECT_EQ(BCMenu::Lighten(x, 0.7), RGB(193, 210, 237));
  EXPECT_EQ(BCMenu::Lighten(x, 0.85), RGB(224, 232, 246));
  {
    Canvas c(220, 40);
    Draw(c, {u"Plain"});
    EXPECT_EQ(c.At(kR.left, kR.top + 3), k);
    EXPECT_EQ(c.At(kR.left + W + 4, kR.top + 3), k);
    EXPECT_EQ(c.At(kR.left + W + 5, kR.top + 3), m);
    EXPECT_EQ(c.At(kR.right - 1, kR.top + 3), m);
  }
  {
    Canvas c(220, 40);
    Draw(c, {u"Selected", 0, false, ODS_SELECTED});
    EXPECT_EQ(c.At(kR.left, kR.top), x);  // framed in the highlight
    EXPECT_EQ(c.At(kR.right - 1, kR.bottom - 1), x);
    EXPECT_EQ(c.At(kR.left + 1, kR.top + 1), BCMenu::Lighten(x, 0.7));
    EXPECT_EQ(c.At(kR.right - 2, kR.bottom - 2), BCMenu::Lighten(x, 0.7));
    // The text stays in the menu text colour.
    EXPECT_FALSE(c.ColumnsWith(GetSysColor(COLOR_MENUTEXT), kR.left + W + 9, kR.right, kR.top, kR.bottom).empty());
  }
  {
    Canvas c(220, 40);
    Draw(c, {u"", MF_SEPARATOR});
    int mid = kR.top + (kR.bottom - kR.top) / 2;
    EXPECT_EQ(c.At(kR.left + 3, mid), k);
    EXPECT_EQ(c.At(kR.left + W + 5 + 3, mid), m);  // the line starts 4 right of the column
    EXPECT_EQ(c.At(kR.left + W + 5 + 4, mid), GetSysColor(COLOR_3DSHADOW));
    EXPECT_EQ(c.At(kR.right - 1, mid + 1), GetSysColor(COLOR_3DHIGHLIGHT));
  }
}

TEST_F(BCMenuLook, FlatCheckBoxAndCheckedPictureStrip) {
  FlatColors();
  COLORREF x = GetSysColor(COLOR_HIGHLIGHT), light = BCMenu::Lighten(x, 0.85);
  {
    Canvas c(220, 40);
    Draw(c, {u"Checked", 0, false, ODS_CHECKED});
    RECT cb{kR.left + 2, kR.top + kD + 2, kR.left + W + 2, kR.top + kD + H + 3};
    EXPECT_EQ(c.At(cb.left, cb.top), x);
    EXPECT_EQ(c.At(cb.right - 1, cb.bottom - 1), x);
    EXPECT_EQ(c.At(cb.left + 1, cb.top + 1), light);
    EXPECT_EQ(c.At(cb.right - 2, cb.bottom - 2), light);
    ExpectCheckMark(c, cb.left + 5, cb.top + 4);
  }
  {
    Canvas c(220, 40);
    Draw(c, {u"Picture", 0, true, ODS_CHECKED});
    RECT strip{kR.left + 1, kR.top, kR.left + W + 4, kR.bottom - 1};
    EXPECT_EQ(c.At(strip.left, strip.top), x);
    EXPECT_EQ(c.At(strip.right - 1, strip.bottom - 1), x);
    EXPECT_EQ(c.At(strip.left + 1, strip.top + 1), light);
    EXPECT_EQ(c.At(kR.left + 3 + 5, kR.top + kD + 2 + 5), RGB(0x20, 0x30, 0x80));  // the picture at left + 3
  }
  {
    Canvas c(220, 40);
    Draw(c, {u"Picture", 0, true, ODS_CHECKED | ODS_SELECTED});
    EXPECT_EQ(c.At(kR.left, kR.top + 5), x);  // the column strip framed
    EXPECT_EQ(c.At(kR.left + W + 3, kR.top + 5), x);
  }
}

TEST_F(BCMenuLook, FlatGrayedItemsAreNeverShownSelected) {
  FlatColors();
  Canvas c(220, 40);
  Draw(c, {u"Grayed", 0, true, ODS_GRAYED | ODS_SELECTED});
  EXPECT_EQ(c.At(kR.left + 1, kR.top + 1), GetSysColor(COLOR_3DFACE));
  EXPECT_EQ(c.At(kR.right - 2, kR.top + 1), GetSysColor(COLOR_MENU));
  EXPECT_FALSE(c.ColumnsWith(GetSysColor(COLOR_GRAYTEXT), kR.left + W + 9, kR.right, kR.top, kR.bottom).empty());
  // The grayed picture is the shadow colour lightened by each pixel's brightness, ANDed in.
  COLORREF p = c.At(kR.left + 3 + 5, kR.top + kD + 2 + 5);
  EXPECT_NE(p, RGB(0x20, 0x30, 0x80));
  EXPECT_LE(GetRValue(p), 160);
}

TEST_F(BCMenuLook, TheLookFollowsTheColoursAndPaletteDevicesGetTheClassicOne) {
  FlatColors();
  Canvas flat(220, 40);
  Draw(flat, {u"Plain"});
  EXPECT_EQ(flat.At(kR.right - 1, kR.top + 3), GetSysColor(COLOR_MENU));
  win32::testing::SetPaletteDevice(true);
  Canvas palette(220, 40);
  Draw(palette, {u"Plain"});
  EXPECT_EQ(palette.At(kR.right - 1, kR.top + 3), GetSysColor(COLOR_3DFACE));  // classic B
  EXPECT_EQ(palette.At(kR.left, kR.top + 3), GetSysColor(COLOR_3DFACE));
}

TEST_F(BCMenuLook, TheRightPartAfterATabEndsSixteenPixelsIn) {
  for (bool flat : {false, true}) {
    flat ? FlatColors() : ClassicColors();
    Canvas c(220, 40);
    Draw(c, {u"Open\tCtrl+O"});
    COLORREF bg = GetSysColor(COLOR_MENU);
    auto ink = [&](int x0, int x1) {
      for (int x = x0; x < x1; ++x)
        for (int y = kR.top; y < kR.bottom; ++y) {
          COLORREF p = c.At(x, y);
          if (p != bg && GetRValue(p) < 160) return true;
        }
      return false;
    };
    EXPECT_FALSE(ink(kR.right - W, kR.right)) << flat;  // the last 16 pixels stay empty
    EXPECT_TRUE(ink(kR.right - W - 3, kR.right - W)) << flat;  // the right part ends right there
    EXPECT_TRUE(ink(kR.left + W + 9, kR.left + W + 20)) << flat;  // the left part starts at the text rectangle
  }
}

// ---------------------------------------------------------------------------------------
// Building menus.

class BCMenuBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    baseline_ = win32::testing::LiveGdiObjects();
    submenus_ = BCMenu::AllSubmenus().size();
  }
  void TearDown() override {
    EXPECT_EQ(win32::testing::LiveGdiObjects(), baseline_) << "image lists, icons or DCs left behind";
    EXPECT_EQ(BCMenu::AllSubmenus().size(), submenus_);
  }
  int baseline_ = 0;
  size_t submenus_ = 0;
};

TEST_F(BCMenuBuild, MeasureSeparatorsAndTextItems) {
  BCMenu menu;
  menu.CreatePopupMenu();
  menu.AppendODMenu(u"", 0, 0);
  menu.AppendODMenu(u"About", 0, 132);
  MEASUREITEMSTRUCT sep{ODT_MENU, 0, 0, 77, 77, reinterpret_cast<ULONG_PTR>(menu.Items()[0])};
  menu.MeasureItem(&sep);
  EXPECT_EQ(sep.itemWidth, 0u);
  EXPECT_EQ(sep.itemHeight, static_cast<UINT>(GetSystemMetrics(SM_CYMENU) / 2));
  MEASUREITEMSTRUCT item{ODT_MENU, 0, 132, 0, 0, reinterpret_cast<ULONG_PTR>(menu.Items()[1])};
  menu.MeasureItem(&item);
  NONCLIENTMETRICSW ncm{};
  ncm.cbSize = sizeof ncm;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
  HDC dc = GetDC(nullptr);
  HFONT f = CreateFontIndirectW(&ncm.lfMenuFont);
  HGDIOBJ old = SelectObject(dc, f);
  SIZE s;
  GetTextExtentPoint32W(dc, u"About", 5, &s);
  SelectObject(dc, old);
  DeleteObject(f);
  ReleaseDC(nullptr, dc);
  EXPECT_EQ(item.itemWidth, static_cast<UINT>(s.cx + 2 * W + 1));
  EXPECT_EQ(item.itemHeight, static_cast<UINT>(std::max(GetSystemMetrics(SM_CYMENU), H + 4)));
}

TEST_F(BCMenuBuild, AddingFixesFlagsAndCopiesThePicture) {
  HIMAGELIST pics = TestPictures();
  BCMenu menu;
  menu.CreatePopupMenu();
  ASSERT_TRUE(menu.AppendODMenu(u"Exit", MF_STRING, 57665, pics, 0));
  ASSERT_TRUE(menu.AppendODMenu(u"ignored", MF_STRING, 0));  // command 0: a separator
  ASSERT_TRUE(menu.InsertODMenu(0, u"First", MF_BYPOSITION, 5));
  ASSERT_TRUE(menu.InsertODMenu(static_cast<UINT>(-1), u"Last", MF_BYPOSITION, 6));
  ImageList_Destroy(pics);  // the item keeps its own copy
  ASSERT_EQ(menu.Items().size(), 4u);
  EXPECT_EQ(menu.Items()[0]->text, u"First");
  EXPECT_EQ(menu.Items()[3]->text, u"Last");
  EXPECT_EQ(GetMenuItemID(menu.m_hMenu, 3), 6u);
  const BCMenuData* exit = menu.Items()[1];
  EXPECT_EQ(exit->flags & MF_OWNERDRAW, MF_OWNERDRAW);
  EXPECT_EQ(exit->picture_index, 0);
  EXPECT_EQ(ImageList_GetImageCount(exit->own_images), 1);
  const BCMenuData* sep = menu.Items()[2];
  EXPECT_EQ(sep->flags, static_cast<UINT>(MF_SEPARATOR | MF_OWNERDRAW));
  EXPECT_EQ(sep->picture_index, -1);
  EXPECT_EQ(GetMenuState(menu.m_hMenu, 2, MF_BYPOSITION) & (MF_SEPARATOR | MF_OWNERDRAW), MF_SEPARATOR | MF_OWNERDRAW);
  // The owner-draw data of each real item is its record.
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_DATA;
  GetMenuItemInfoW(menu.m_hMenu, 1, TRUE, &info);
  EXPECT_EQ(info.dwItemData, reinterpret_cast<ULONG_PTR>(exit));
}

TEST_F(BCMenuBuild, InsertByCommandFindsItInASubmenuAndDeleteRemovesPopups) {
  BCMenu menu;
  menu.CreatePopupMenu();
  menu.AppendODMenu(u"About", 0, 132);
  BCMenu* devices = menu.InsertODPopup(-1, u"Virtual Devices");
  ASSERT_NE(devices, nullptr);
  devices->AppendODMenu(u"Mount image", 0, 1300);
  devices->AppendODMenu(u"Device Parameters", 0, 1402);
  EXPECT_EQ(BCMenu::AllSubmenus().size(), submenus_ + 1);
  ASSERT_EQ(menu.Submenus().size(), 1u);
  EXPECT_EQ(CMenu::FromHandlePermanent(menu.Submenus()[0]), devices);

  ASSERT_TRUE(menu.InsertODMenu(1402, u"Unmount image", MF_BYCOMMAND, 1301));
  ASSERT_EQ(devices->Items().size(), 3u);
  EXPECT_EQ(devices->Items()[1]->text, u"Unmount image");
  EXPECT_EQ(GetMenuItemID(devices->m_hMenu, 1), 1301u);
  EXPECT_FALSE(menu.InsertODMenu(9999, u"Nowhere", MF_BYCOMMAND, 1));
  EXPECT_EQ(devices->Items().size(), 3u);
  EXPECT_EQ(menu.Items().size(), 2u);

  EXPECT_TRUE(menu.DeleteMenu(1300, MF_BYCOMMAND));
  EXPECT_EQ(devices->Items().size(), 2u);
  EXPECT_FALSE(menu.DeleteMenu(1300, MF_BYCOMMAND));

  HMENU sub = devices->m_hMenu;
  EXPECT_TRUE(menu.DeleteMenu(1, MF_BYPOSITION));  // the popup, its items and its object go
  EXPECT_FALSE(IsMenu(sub));
  EXPECT_TRUE(menu.Submenus().empty());
  EXPECT_EQ(menu.Items().size(), 1u);
  EXPECT_EQ(GetMenuItemCount(menu.m_hMenu), 1);
}

TEST_F(BCMenuBuild, ChildPopupsShareTheCheckPicturesAndDestroyTakesTheTree) {
  auto* menu = new BCMenu;
  menu->CreatePopupMenu();
  BCMenu* prefs = menu->InsertODPopup(-1, u"Preferences", nullptr, -1, MF_MENUBREAK);
  prefs->AppendODMenu(u"AutoStart", MF_CHECKED, 1400);
  BCMenu* deeper = prefs->InsertODPopup(-1, u"More");
  deeper->AppendODMenu(u"Inner", 0, 1);
  HMENU a = prefs->m_hMenu, b = deeper->m_hMenu;
  EXPECT_EQ(GetMenuState(menu->m_hMenu, 0, MF_BYPOSITION) & MF_MENUBREAK, MF_MENUBREAK);
  EXPECT_EQ(BCMenu::AllSubmenus().size(), submenus_ + 2);
  delete menu;
  EXPECT_FALSE(IsMenu(a));
  EXPECT_FALSE(IsMenu(b));
}

TEST_F(BCMenuBuild, TemplatesLoadWithPaddedTabsAndPlainTopLevelEntries) {
  HMODULE lib = LoadLibraryExW(SKM_TEST_RESOURCES_U, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(lib, nullptr);
  AfxSetResourceHandle(lib);
  {
    BCMenu menu;
    ASSERT_TRUE(menu.LoadMenu(200));
    ASSERT_EQ(GetMenuItemCount(menu.m_hMenu), 2);
    auto type_of = [](HMENU m, UINT pos) {
      MENUITEMINFOW info{};
      info.cbSize = sizeof info;
      info.fMask = MIIM_FTYPE;
      GetMenuItemInfoW(m, pos, TRUE, &info);
      return info.fType;
    };
    EXPECT_EQ(type_of(menu.m_hMenu, 0) & MFT_OWNERDRAW, 0u);  // plain text entries again
    EXPECT_EQ(type_of(menu.m_hMenu, 1) & MFT_OWNERDRAW, 0u);
    EXPECT_NE(GetSubMenu(menu.m_hMenu, 0), nullptr);
    WCHAR text[32];
    GetMenuStringW(menu.m_hMenu, 0, text, 32, MF_BYPOSITION);
    EXPECT_EQ(std::u16string(text), u"&File");
    auto* file = dynamic_cast<BCMenu*>(CMenu::FromHandlePermanent(GetSubMenu(menu.m_hMenu, 0)));
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Items().size(), 5u);
    EXPECT_EQ(file->Items()[2]->flags & MF_SEPARATOR, MF_SEPARATOR);
    EXPECT_EQ(file->Items()[4]->flags & MF_GRAYED, MF_GRAYED);
    EXPECT_EQ(type_of(file->m_hMenu, 0) & MFT_OWNERDRAW, MFT_OWNERDRAW);

    // Padding: each part before a tab is at least as wide as the widest one plus a space.
    NONCLIENTMETRICSW ncm{};
    ncm.cbSize = sizeof ncm;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
    HDC dc = GetDC(nullptr);
    HFONT f = CreateFontIndirectW(&ncm.lfMenuFont);
    HGDIOBJ old = SelectObject(dc, f);
    auto width = [&](const std::u16string& s) {
      SIZE sz;
      GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(s.size()), &sz);
      return static_cast<int>(sz.cx);
    };
    int target = width(u"Save &As... ");
    for (int i : {0, 1}) {
      const std::u16string& t = file->Items()[i]->text;
      size_t tab = t.find(u'\t');
      ASSERT_NE(tab, std::u16string::npos);
      EXPECT_GE(width(t.substr(0, tab)), target) << i;
      EXPECT_LT(width(t.substr(0, tab - 1)), target) << i;  // no more spaces than needed
    }
    EXPECT_EQ(file->Items()[0]->text.substr(file->Items()[0]->text.find(u'\t')), u"\tCtrl+O");
    auto* recent = dynamic_cast<BCMenu*>(CMenu::FromHandlePermanent(GetSubMenu(file->m_hMenu, 3)));
    ASSERT_NE(recent, nullptr);
    const std::u16string& one = recent->Items()[0]->text;  // padded within its own level
    EXPECT_GE(width(one.substr(0, one.find(u'\t'))), width(u"A much longer entry "));
    SelectObject(dc, old);
    DeleteObject(f);
    ReleaseDC(nullptr, dc);

    BCMenu missing;
    EXPECT_FALSE(missing.LoadMenu(999));
    EXPECT_EQ(missing.m_hMenu, nullptr);
  }
  AfxSetResourceHandle(GetModuleHandleW(nullptr));
  EXPECT_TRUE(FreeLibrary(lib));
}

TEST_F(BCMenuBuild, TheProgramsTrayTemplateLoads) {
  BCMenu menu;
  ASSERT_TRUE(menu.LoadMenu(103));
  HMENU p = GetSubMenu(menu.m_hMenu, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(GetMenuItemID(p, 0), 107u);
  auto* popup = dynamic_cast<BCMenu*>(CMenu::FromHandlePermanent(p));
  ASSERT_NE(popup, nullptr);
  EXPECT_EQ(popup->Items()[0]->text, u".");
}

}  // namespace
}  // namespace trayui
