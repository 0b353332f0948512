#include "trayui/bcmenu.h"

#include <algorithm>
#include <cstring>

#include "platform/ui/text.h"
#include "platform/ui/window.h"

namespace trayui {
namespace {

// Every submenu handle created by any menu object.
std::vector<HMENU>& ProcessSubmenus() {
  static std::vector<HMENU> v;
  return v;
}

void Erase(std::vector<HMENU>& v, HMENU h) { v.erase(std::remove(v.begin(), v.end(), h), v.end()); }

NONCLIENTMETRICSW Metrics() {
  NONCLIENTMETRICSW ncm{};
  ncm.cbSize = sizeof ncm;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
  return ncm;
}

HFONT MenuFont(bool default_item) {
  NONCLIENTMETRICSW ncm = Metrics();
  if (default_item) ncm.lfMenuFont.lfWeight = FW_SEMIBOLD;
  return CreateFontIndirectW(&ncm.lfMenuFont);
}

int TextWidth(HDC dc, const std::u16string& s) {
  SIZE size{};
  GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(s.size()), &size);
  return size.cx;
}

void Fill(HDC dc, const RECT& r, COLORREF c) {
  HBRUSH b = CreateSolidBrush(c);
  FillRect(dc, &r, b);
  DeleteObject(b);
}

void Frame(HDC dc, const RECT& r, COLORREF c) {
  HBRUSH b = CreateSolidBrush(c);
  FrameRect(dc, &r, b);
  DeleteObject(b);
}

// The check mark: seven 3-pixel strokes, s = 2, 3, 4, 3, 2, 1, 0.
void DrawCheckMark(HDC dc, int x0, int y0, COLORREF color) {
  static const int s[7] = {2, 3, 4, 3, 2, 1, 0};
  HPEN pen = CreatePen(PS_SOLID, 1, color);
  HGDIOBJ old = SelectObject(dc, pen);
  for (int k = 0; k < 7; ++k) {
    MoveToEx(dc, x0 + k, y0 + s[k], nullptr);
    LineTo(dc, x0 + k, y0 + s[k] + 3);
  }
  SelectObject(dc, old);
  DeleteObject(pen);
}

void DrawDot(HDC dc, int x0, int y0, COLORREF color) {
  HPEN pen = CreatePen(PS_SOLID, 1, color);
  HBRUSH brush = CreateSolidBrush(color);
  HGDIOBJ op = SelectObject(dc, pen), ob = SelectObject(dc, brush);
  Ellipse(dc, x0, y0, x0 + 6, y0 + 6);
  SelectObject(dc, op);
  SelectObject(dc, ob);
  DeleteObject(pen);
  DeleteObject(brush);
}

// An off-screen copy of an item's rectangle, drawn in the item's coordinates and copied to
// the target when it goes.
class BCMenuMemDC {
 public:
  BCMenuMemDC(HDC target, const RECT& r) : target_(target), r_(r) {
    dc_ = CreateCompatibleDC(target);
    bitmap_ = CreateCompatibleBitmap(target, r.right - r.left, r.bottom - r.top);
    old_ = SelectObject(dc_, bitmap_);
    SetWindowOrgEx(dc_, r.left, r.top, nullptr);
  }
  ~BCMenuMemDC() {
    BitBlt(target_, r_.left, r_.top, r_.right - r_.left, r_.bottom - r_.top, dc_, r_.left, r_.top, SRCCOPY);
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  BCMenuMemDC(const BCMenuMemDC&) = delete;
  BCMenuMemDC& operator=(const BCMenuMemDC&) = delete;
  HDC dc() const { return dc_; }

 private:
  HDC target_;
  RECT r_;
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
};

struct TextParts {
  std::u16string left, right;
  bool tab;
};
TextParts Split(const std::u16string& t) {
  size_t first = t.find(u'\t');
  if (first == std::u16string::npos) return {t, u"", false};
  return {t.substr(0, first), t.substr(t.rfind(u'\t') + 1), true};
}

}  // namespace

BCMenuData::~BCMenuData() {
  if (own_images != nullptr) ImageList_Destroy(own_images);
}

BCMenu::BCMenu() = default;

BCMenu::~BCMenu() { DestroyMenu(); }

const std::vector<HMENU>& BCMenu::AllSubmenus() { return ProcessSubmenus(); }

int BCMenu::SystemKind() {
  // Fixed once, from the version information: NT family 3 (major >= 4) else 2; the other
  // family 1 (major >= 4) else 0. The platform here is an NT-family system of version 6.
  static const int kind = [] {
    const int major = 6;
    const bool nt = true;
    return nt ? (major >= 4 ? 3 : 2) : (major >= 4 ? 1 : 0);
  }();
  return kind;
}

bool BCMenu::IsNewShell() { return SystemKind() == 1 || SystemKind() == 3; }

std::u16string BCMenu::LabelOf(ULONG_PTR item_data) {
  auto* d = reinterpret_cast<BCMenuData*>(item_data);
  return d == nullptr ? u"" : d->text;
}

COLORREF BCMenu::Lighten(COLORREF c, double f) {
  auto up = [f](int v) { return static_cast<int>(v + f * (255 - v)); };
  return RGB(up(GetRValue(c)), up(GetGValue(c)), up(GetBValue(c)));
}

BCMenu* BCMenu::NewChild() {
  auto* child = new BCMenu;
  child->check_pictures_ = check_pictures_;
  child->check_pictures_shared_ = true;
  child->selected_check_ = selected_check_;
  child->unselected_check_ = unselected_check_;
  return child;
}

BOOL BCMenu::AddItem(int position, const std::u16string& text, UINT flags, UINT_PTR command, HIMAGELIST images,
                     int index, bool append) {
  if (m_hMenu == nullptr) return FALSE;
  if (command == 0) {
    flags = (flags & MF_BYPOSITION) | MF_SEPARATOR | MF_OWNERDRAW;
  } else {
    flags |= MF_OWNERDRAW;
  }
  if (flags & MF_POPUP) {
    ProcessSubmenus().push_back(reinterpret_cast<HMENU>(command));
    submenus_.push_back(reinterpret_cast<HMENU>(command));
  }
  auto* data = new BCMenuData;
  data->text = text;
  if (images != nullptr) {
    HICON icon = ImageList_GetIcon(images, index, ILD_NORMAL);
    if (icon != nullptr) {
      ICONINFO info{};
      GetIconInfo(icon, &info);
      BITMAP bm{};
      GetObjectW(info.hbmColor, sizeof bm, &bm);
      DeleteObject(info.hbmColor);
      DeleteObject(info.hbmMask);
      data->own_images = ImageList_Create(bm.bmWidth, bm.bmHeight, ILC_COLOR32 | ILC_MASK, 1, 1);
      ImageList_AddIcon(data->own_images, icon);
      DestroyIcon(icon);
      data->picture_index = 0;
    }
  }
  data->flags = flags;
  data->command = command;
  int count = static_cast<int>(items_.size());
  BOOL ok;
  if (append || position < 0 || position >= count) {
    items_.push_back(data);
    ok = ::win32::AppendMenuW(m_hMenu, flags & ~MF_BYPOSITION, command, reinterpret_cast<LPCWSTR>(data));
  } else {
    items_.insert(items_.begin() + position, data);
    ok = ::win32::InsertMenuW(m_hMenu, static_cast<UINT>(position), flags | MF_BYPOSITION, command,
                              reinterpret_cast<LPCWSTR>(data));
  }
  return ok;
}

BOOL BCMenu::AppendODMenu(const std::u16string& text, UINT flags, UINT_PTR command, HIMAGELIST images, int index) {
  return AddItem(-1, text, flags, command, images, index, true);
}

BCMenu* BCMenu::FindCommand(UINT command, int* position) {
  for (int i = 0; i < static_cast<int>(items_.size()); ++i) {
    const BCMenuData* d = items_[i];
    if ((d->flags & (MF_POPUP | MF_SEPARATOR)) == 0 && d->command == command) {
      *position = i;
      return this;
    }
    if (d->flags & MF_POPUP) {
      auto* child = dynamic_cast<BCMenu*>(CMenu::FromHandlePermanent(reinterpret_cast<HMENU>(d->command)));
      if (child != nullptr)
        if (BCMenu* found = child->FindCommand(command, position)) return found;
    }
  }
  return nullptr;
}

BOOL BCMenu::InsertODMenu(UINT position_or_command, const std::u16string& text, UINT flags, UINT_PTR command,
                          HIMAGELIST images, int index) {
  if (flags & MF_BYPOSITION) {
    int pos = static_cast<int>(position_or_command);  // -1 and beyond the end: the end
    return AddItem(pos, text, flags, command, images, index, false);
  }
  int pos;
  BCMenu* where = FindCommand(position_or_command, &pos);
  if (where == nullptr) return FALSE;  // no such command: nothing is inserted
  return where->AddItem(pos, text, flags | MF_BYPOSITION, command, images, index, false);
}

BCMenu* BCMenu::InsertODPopup(int position, const std::u16string& text, HIMAGELIST images, int index, UINT extra_flags) {
  BCMenu* child = NewChild();
  child->CreatePopupMenu();
  if (!AddItem(position, text, extra_flags | MF_POPUP | MF_BYPOSITION, reinterpret_cast<UINT_PTR>(child->m_hMenu),
               images, index, false)) {
    delete child;
    return nullptr;
  }
  return child;
}

BOOL BCMenu::DeleteMenu(UINT position_or_command, UINT flags) {
  if (m_hMenu == nullptr) return FALSE;
  if ((flags & MF_BYPOSITION) == 0) {
    int pos;
    BCMenu* where = FindCommand(position_or_command, &pos);
    if (where == nullptr) return FALSE;
    return where->DeleteMenu(static_cast<UINT>(pos), MF_BYPOSITION);
  }
  int pos = static_cast<int>(position_or_command);
  UINT state = ::win32::GetMenuState(m_hMenu, position_or_command, MF_BYPOSITION);
  if (state == static_cast<UINT>(-1)) return FALSE;
  if (state & MF_POPUP) {
    HMENU sub = ::win32::GetSubMenu(m_hMenu, pos);
    Erase(ProcessSubmenus(), sub);
    Erase(submenus_, sub);
    if (auto* child = dynamic_cast<BCMenu*>(CMenu::FromHandlePermanent(sub))) {
      for (int i = static_cast<int>(child->items_.size()) - 1; i >= 0; --i) child->DeleteMenu(static_cast<UINT>(i), MF_BYPOSITION);
      auto it = std::find_if(items_.begin(), items_.end(), [&](BCMenuData* d) { return d->command == reinterpret_cast<UINT_PTR>(sub); });
      if (it != items_.end()) {
        delete *it;
        items_.erase(it);
      }
      // The item goes first, so that destroying the child's menu does not leave it dangling.
      ::win32::RemoveMenu(m_hMenu, position_or_command, MF_BYPOSITION);
      delete child;
      return TRUE;
    }
  } else if (state & MF_SEPARATOR) {
    if (pos < static_cast<int>(items_.size())) {
      delete items_[pos];
      items_.erase(items_.begin() + pos);
    }
  } else {
    UINT id = ::win32::GetMenuItemID(m_hMenu, pos);
    auto it = std::find_if(items_.begin(), items_.end(), [&](BCMenuData* d) {
      return (d->flags & (MF_POPUP | MF_SEPARATOR)) == 0 && d->command == id;
    });
    if (it != items_.end()) {
      delete *it;
      items_.erase(it);
    }
  }
  return ::win32::DeleteMenu(m_hMenu, position_or_command, MF_BYPOSITION);
}

BOOL BCMenu::LoadMenu(UINT id) { return LoadMenu(MAKEINTRESOURCEW(static_cast<int>(id))); }

namespace {
struct TemplateReader {
  const uint8_t* p;
  const uint8_t* end;
  bool Word(WORD* w) {
    if (end - p < 2) return false;
    std::memcpy(w, p, 2);
    p += 2;
    return true;
  }
};
}  // namespace

// One level of a standard menu template: items until the one flagged MF_END.
bool BCMenu::LoadLevel(void* reader, int depth) {
  auto& r = *static_cast<TemplateReader*>(reader);
  if (depth > 16) return false;
  for (;;) {
    WORD option, id = 0, c;
    if (!r.Word(&option)) return false;
    if ((option & MF_POPUP) == 0 && !r.Word(&id)) return false;
    std::u16string text;
    for (;;) {
      if (!r.Word(&c)) return false;
      if (c == 0) break;
      text.push_back(static_cast<char16_t>(c));
    }
    UINT flags = option & (MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_MENUBREAK | MF_MENUBARBREAK);
    if (option & MF_POPUP) {
      BCMenu* child = NewChild();
      child->CreatePopupMenu();
      AppendODMenu(text, flags | MF_POPUP | MF_OWNERDRAW, reinterpret_cast<UINT_PTR>(child->m_hMenu));
      if (!child->LoadLevel(reader, depth + 1)) return false;
    } else {
      AppendODMenu(text, flags | MF_OWNERDRAW, id);
    }
    if (option & MF_END) {
      PadTabs();
      return true;
    }
  }
}

BOOL BCMenu::LoadMenu(LPCWSTR name) {
  HINSTANCE module = AfxGetResourceHandle();
  HRSRC res = FindResourceW(module, name, RT_MENU);
  if (res == nullptr) return FALSE;
  const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, res)));
  if (data == nullptr) return FALSE;
  TemplateReader r{data, data + SizeofResource(module, res)};
  WORD version, offset;
  if (!r.Word(&version) || !r.Word(&offset) || version != 0 || r.end - r.p < offset) return FALSE;
  r.p += offset;
  DestroyMenu();
  if (!CreateMenu()) return FALSE;
  if (!LoadLevel(&r, 0)) {  // a damaged template leaves no menu behind
    DestroyMenu();
    return FALSE;
  }
  // The top-level entries become plain text entries again, so that a menu bar draws them.
  for (int i = 0; i < static_cast<int>(items_.size()); ++i) {
    BCMenuData* d = items_[i];
    UINT flags = MF_BYPOSITION | MF_STRING | (d->flags & (MF_POPUP | MF_GRAYED | MF_DISABLED | MF_CHECKED));
    if (d->flags & MF_SEPARATOR) flags = MF_BYPOSITION | MF_SEPARATOR;
    ::win32::ModifyMenuW(m_hMenu, static_cast<UINT>(i), flags, d->command, d->text.c_str());
  }
  return TRUE;
}

void BCMenu::PadTabs() {
  HDC dc = GetDC(nullptr);
  HFONT font = MenuFont(false);
  HGDIOBJ old = SelectObject(dc, font);
  int widest = 0;
  for (BCMenuData* d : items_) {
    size_t tab = d->text.find(u'\t');
    if (tab != std::u16string::npos) widest = std::max(widest, TextWidth(dc, d->text.substr(0, tab) + u" "));
  }
  for (BCMenuData* d : items_) {
    size_t tab = d->text.find(u'\t');
    if (tab == std::u16string::npos) continue;
    while (TextWidth(dc, d->text.substr(0, tab)) < widest) {
      d->text.insert(tab, 1, u' ');
      ++tab;
    }
  }
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(nullptr, dc);
}

BOOL BCMenu::DestroyMenu() {
  if (m_hMenu == nullptr && items_.empty() && submenus_.empty()) return FALSE;
  Erase(ProcessSubmenus(), m_hMenu);
  for (HMENU sub : std::vector<HMENU>(submenus_)) {
    Erase(ProcessSubmenus(), sub);
    delete CMenu::FromHandlePermanent(sub);
  }
  submenus_.clear();
  for (BCMenuData* d : items_) delete d;
  items_.clear();
  if (check_pictures_ != nullptr && !check_pictures_shared_) ImageList_Destroy(check_pictures_);
  check_pictures_ = nullptr;
  return m_hMenu != nullptr ? CMenu::DestroyMenu() : TRUE;
}

void BCMenu::MeasureItem(MEASUREITEMSTRUCT* mis) {
  auto* data = reinterpret_cast<BCMenuData*>(mis->itemData);
  if (data == nullptr) return;
  if (data->flags & MF_SEPARATOR) {
    mis->itemWidth = 0;
    mis->itemHeight = static_cast<UINT>(GetSystemMetrics(SM_CYMENU) / 2);
    return;
  }
  HDC dc = GetDC(nullptr);
  HFONT font = MenuFont(false);
  HGDIOBJ old = SelectObject(dc, font);
  mis->itemWidth = static_cast<UINT>(TextWidth(dc, data->text) + 2 * picture_width_ + 1);
  mis->itemHeight = static_cast<UINT>(std::max(GetSystemMetrics(SM_CYMENU), picture_height_ + 4));
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(nullptr, dc);
}

void BCMenu::DrawItem(DRAWITEMSTRUCT* dis) {
  auto* data = reinterpret_cast<BCMenuData*>(dis->itemData);
  if (data == nullptr) return;
  bool palette = (GetDeviceCaps(dis->hDC, RASTERCAPS) & RC_PALETTE) != 0;
  COLORREF column = IsNewShell() ? GetSysColor(COLOR_3DFACE) : GetSysColor(COLOR_MENU);
  if (palette || column == GetSysColor(COLOR_MENU))
    DrawClassic(dis, data);
  else
    DrawFlat(dis, data);
}

void BCMenu::DrawGrayedPicture(HDC dc, BCMenuData* data, int x, int y, bool classic, COLORREF background) {
  int cx = 0, cy = 0;
  ImageList_GetIconSize(data->own_images, &cx, &cy);
  HDC pic = CreateCompatibleDC(dc);
  HBITMAP pic_bmp = CreateCompatibleBitmap(dc, cx, cy);
  HGDIOBJ old_pic = SelectObject(pic, pic_bmp);
  RECT all{0, 0, cx, cy};
  Fill(pic, all, GetSysColor(COLOR_MENU));
  ImageList_Draw(data->own_images, data->picture_index, pic, 0, 0, ILD_TRANSPARENT);
  if (classic) {
    // The mask is blank (1) where the picture shows the button face or highlight colour.
    HDC mask = CreateCompatibleDC(dc);
    HBITMAP mask_bmp = CreateBitmap(cx, cy, 1, 1, nullptr);
    HGDIOBJ old_mask = SelectObject(mask, mask_bmp);
    SetBkColor(pic, GetSysColor(COLOR_BTNFACE));
    BitBlt(mask, 0, 0, cx, cy, pic, 0, 0, SRCCOPY);
    SetBkColor(pic, GetSysColor(COLOR_BTNHIGHLIGHT));
    BitBlt(mask, 0, 0, cx, cy, pic, 0, 0, SRCPAINT);
    HDC box = CreateCompatibleDC(dc);
    HBITMAP box_bmp = CreateCompatibleBitmap(dc, cx, cy);
    HGDIOBJ old_box = SelectObject(box, box_bmp);
    SetTextColor(box, RGB(0, 0, 0));
    SetBkColor(box, RGB(255, 255, 255));
    auto stamp = [&](int color, int dx, int dy) {
      Fill(box, all, background);
      HBRUSH brush = CreateSolidBrush(GetSysColor(color));
      HGDIOBJ old_brush = SelectObject(box, brush);
      BitBlt(box, 0, 0, cx, cy, mask, 0, 0, 0x00B8074A);  // the brush where the mask is 0
      SelectObject(box, old_brush);
      DeleteObject(brush);
      BitBlt(dc, x + dx, y + dy, cx, cy, box, 0, 0, SRCCOPY);
    };
    stamp(COLOR_BTNHIGHLIGHT, 1, 1);
    stamp(COLOR_BTNSHADOW, 0, 0);
    SelectObject(box, old_box);
    DeleteObject(box_bmp);
    DeleteDC(box);
    SelectObject(mask, old_mask);
    DeleteObject(mask_bmp);
    DeleteDC(mask);
  } else {
    COLORREF face = GetNearestColor(pic, GetSysColor(COLOR_3DFACE));
    COLORREF shadow = GetSysColor(COLOR_BTNSHADOW);
    for (int j = 0; j < cy; ++j)
      for (int i = 0; i < cx; ++i) {
        COLORREF p = GetPixel(pic, i, j);
        if (p == face) {
          SetPixel(pic, i, j, background);
        } else {
          double brightness = (0.30 * GetRValue(p) + 0.59 * GetGValue(p) + 0.11 * GetBValue(p)) / 255.0;
          SetPixel(pic, i, j, Lighten(shadow, brightness));
        }
      }
    BitBlt(dc, x, y, cx, cy, pic, 0, 0, SRCAND);
  }
  SelectObject(pic, old_pic);
  DeleteObject(pic_bmp);
  DeleteDC(pic);
}

namespace {
struct Geometry {
  RECT r;
  int d;
  RECT box;
  RECT text;
};
Geometry GeometryOf(const RECT& r) {
  constexpr int W = BCMenu::kPictureWidth, H = BCMenu::kPictureHeight;
  Geometry g{r, std::max(0, static_cast<int>((r.bottom - r.top - H - 4) / 2)), {}, {}};
  g.box = RECT{r.left, r.top + g.d, r.left + W + 4, r.top + g.d + H + 4};
  g.text = RECT{r.left + W + 9, r.top - 1, r.right, r.bottom - 1};
  return g;
}

void DrawTexts(HDC dc, const std::u16string& text, RECT rect, COLORREF color, bool default_item) {
  HFONT font = MenuFont(default_item);
  HGDIOBJ old = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, color);
  TextParts parts = Split(text);
  if (parts.tab) {
    rect.right -= BCMenu::kPictureWidth;
    DrawTextW(dc, parts.left.c_str(), -1, &rect, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    DrawTextW(dc, parts.right.c_str(), -1, &rect, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
  } else {
    DrawTextW(dc, text.c_str(), -1, &rect, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
  }
  SelectObject(dc, old);
  DeleteObject(font);
}
}  // namespace

void BCMenu::DrawClassic(DRAWITEMSTRUCT* dis, BCMenuData* data) {
  HDC dc = dis->hDC;
  Geometry g = GeometryOf(dis->rcItem);
  const RECT& r = g.r;
  constexpr int W = kPictureWidth, H = kPictureHeight;
  bool new_shell = IsNewShell();
  COLORREF b = new_shell ? GetSysColor(COLOR_3DFACE) : GetSysColor(COLOR_MENU);
  if (data->flags & MF_SEPARATOR) {
    Fill(dc, r, b);
    RECT lower{r.left, r.top + (r.bottom - r.top) / 2, r.right, r.bottom};
    DrawEdge(dc, &lower, EDGE_ETCHED, BF_TOP);
    return;
  }
  bool selected = (dis->itemState & ODS_SELECTED) != 0;
  bool grayed = (dis->itemState & ODS_GRAYED) != 0;
  bool checked = (dis->itemState & ODS_CHECKED) != 0;
  bool has_picture = data->picture_index != -1;
  bool checked_plain = checked && data->picture_index < 0;
  COLORREF text_color = GetSysColor(COLOR_MENUTEXT);
  if (!selected) {
    Fill(dc, r, b);
  } else {
    RECT sel = r;
    if (has_picture || checked) sel.left = r.left + W + 5;
    Fill(dc, sel, GetSysColor(COLOR_HIGHLIGHT));
    text_color = GetSysColor(COLOR_HIGHLIGHTTEXT);
  }
  if (has_picture) {
    Fill(dc, g.box, b);
    int bx = g.box.left, by = g.box.top, bw = g.box.right - g.box.left, bh = g.box.bottom - g.box.top;
    if (selected && !grayed) {
      if (new_shell) {
        if (checked)
          Draw3dRect(dc, bx, by, bw, bh, GetSysColor(COLOR_BTNSHADOW), GetSysColor(COLOR_BTNHIGHLIGHT));
        else
          Draw3dRect(dc, bx, by, bw, bh, GetSysColor(COLOR_BTNHIGHLIGHT), GetSysColor(COLOR_BTNSHADOW));
      }
    } else if (!selected && checked) {
      Fill(dc, g.box, GetSysColor(COLOR_3DLIGHT));
      if (new_shell) Draw3dRect(dc, bx, by, bw, bh, GetSysColor(COLOR_BTNSHADOW), GetSysColor(COLOR_BTNHIGHLIGHT));
    }
    if (grayed)
      DrawGrayedPicture(dc, data, r.left + 2, r.top + g.d + 2, true, b);
    else
      ImageList_Draw(data->own_images, data->picture_index, dc, r.left + 2, r.top + g.d + 2, ILD_TRANSPARENT);
  }
  if (checked_plain) {
    RECT cb{r.left + 1, r.top + g.d + 2, r.left + W + 1, r.top + g.d + H + 2};
    Fill(dc, cb, (selected || !new_shell) ? GetSysColor(COLOR_MENU) : GetSysColor(COLOR_3DLIGHT));
    if (new_shell) DrawEdge(dc, &cb, BDR_SUNKENOUTER, BF_RECT);
    if (check_pictures_ != nullptr && selected_check_ >= 0)
      DrawDot(dc, cb.left + 5, cb.top + 4, GetSysColor(COLOR_MENUTEXT));
    else
      DrawCheckMark(dc, cb.left + 4, cb.top + 4, GetSysColor(COLOR_MENUTEXT));
  }
  bool bold = (dis->itemState & ODS_DEFAULT) != 0;
  if (grayed && !selected) {
    RECT shifted = g.text;
    OffsetRect(&shifted, 1, 1);
    DrawTexts(dc, data->text, shifted, GetSysColor(COLOR_BTNHIGHLIGHT), bold);
    DrawTexts(dc, data->text, g.text, GetSysColor(COLOR_GRAYTEXT), bold);
  } else if (grayed) {
    DrawTexts(dc, data->text, g.text, b, bold);
  } else {
    DrawTexts(dc, data->text, g.text, text_color, bold);
  }
}

void BCMenu::DrawFlat(DRAWITEMSTRUCT* dis, BCMenuData* data) {
  const RECT r = dis->rcItem;
  constexpr int W = kPictureWidth, H = kPictureHeight;
  COLORREF k = GetSysColor(COLOR_3DFACE), m = GetSysColor(COLOR_MENU), x = GetSysColor(COLOR_HIGHLIGHT);
  bool grayed = (dis->itemState & ODS_GRAYED) != 0;
  // A grayed item is drawn off screen and copied at the end; it is never shown selected.
  std::unique_ptr<BCMenuMemDC> mem;
  if (grayed && (data->flags & MF_SEPARATOR) == 0) mem = std::make_unique<BCMenuMemDC>(dis->hDC, r);
  HDC dc = mem ? mem->dc() : dis->hDC;
  Geometry g = GeometryOf(r);
  RECT column{r.left, r.top, r.left + W + 5, r.bottom};
  if (data->flags & MF_SEPARATOR) {
    Fill(dc, r, m);
    Fill(dc, column, k);
    RECT line{column.right + 4, r.top + (r.bottom - r.top) / 2, r.right, r.bottom};
    DrawEdge(dc, &line, EDGE_ETCHED, BF_TOP);
    return;
  }
  bool selected = (dis->itemState & ODS_SELECTED) != 0 && !grayed;
  bool checked = (dis->itemState & ODS_CHECKED) != 0;
  bool has_picture = data->picture_index != -1;
  bool checked_plain = checked && data->picture_index < 0;
  COLORREF selection = Lighten(x, 0.7);
  if (!selected) {
    Fill(dc, r, m);
    Fill(dc, column, k);
  } else {
    Fill(dc, r, selection);
    Frame(dc, r, x);
  }
  if (has_picture) {
    RECT inner = g.box;
    InflateRect(&inner, -1, -1);
    Fill(dc, inner, k);
    if (selected) {
      Fill(dc, inner, selection);
      if (checked && IsNewShell()) Frame(dc, RECT{r.left, r.top, r.left + W + 4, r.bottom}, x);
    } else if (checked) {
      RECT strip{r.left + 1, r.top, r.left + W + 4, r.bottom - 1};
      Fill(dc, strip, Lighten(x, 0.85));
      Frame(dc, strip, x);
    } else {
      Fill(dc, inner, k);
    }
    if (grayed)
      DrawGrayedPicture(dc, data, r.left + 3, r.top + g.d + 2, false, k);
    else
      ImageList_Draw(data->own_images, data->picture_index, dc, r.left + 3, r.top + g.d + 2, ILD_TRANSPARENT);
  }
  if (checked_plain) {
    RECT cb{r.left + 2, r.top + g.d + 2, r.left + W + 2, r.top + g.d + H + 3};
    Fill(dc, cb, Lighten(x, 0.85));
    Frame(dc, cb, x);
    if (check_pictures_ != nullptr && selected_check_ >= 0)
      DrawDot(dc, cb.left + 5, cb.top + 4, GetSysColor(COLOR_MENUTEXT));
    else
      DrawCheckMark(dc, cb.left + 5, cb.top + 4, GetSysColor(COLOR_MENUTEXT));
  }
  DrawTexts(dc, data->text, g.text, grayed ? GetSysColor(COLOR_GRAYTEXT) : GetSysColor(COLOR_MENUTEXT),
            (dis->itemState & ODS_DEFAULT) != 0);
}

}  // namespace trayui
