// BCMenu: a menu that draws every item itself (a picture column, the text with an optional
// right-aligned part after a tab, check marks, separators, the selection), in a classic or a
// flat look chosen from the system colours. The tray menu builds all its menus from these.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/afx_menu.h"
#include "platform/ui/gdi.h"

namespace trayui {

// The tray program is written against the platform's names, as it would be on the platform.
using namespace win32;

// One item added through a BCMenu; the item's owner-draw data.
class BCMenuData {
 public:
  BCMenuData() = default;
  BCMenuData(const BCMenuData&) = delete;
  BCMenuData& operator=(const BCMenuData&) = delete;
  ~BCMenuData();

  std::u16string text;       // empty for a separator
  int picture_index = -1;    // -1: no picture; else 0, in own_images
  UINT flags = 0;            // as added, after the fix-ups
  UINT_PTR command = 0;      // the command, or the submenu handle of a popup
  HIMAGELIST own_images = nullptr;
};

class BCMenu : public CMenu {
 public:
  BCMenu();
  ~BCMenu() override;

  // Builds the menu tree from a menu template resource; false when it does not exist.
  virtual BOOL LoadMenu(UINT id);
  virtual BOOL LoadMenu(LPCWSTR name);
  virtual BOOL DestroyMenu();

  BOOL AppendODMenu(const std::u16string& text, UINT flags = MF_OWNERDRAW, UINT_PTR command = 0,
                    HIMAGELIST images = nullptr, int index = -1);
  // position_or_command with MF_BYPOSITION in flags is a position (-1: the end).
  BOOL InsertODMenu(UINT position_or_command, const std::u16string& text, UINT flags = MF_OWNERDRAW,
                    UINT_PTR command = 0, HIMAGELIST images = nullptr, int index = -1);
  BCMenu* InsertODPopup(int position, const std::u16string& text, HIMAGELIST images = nullptr, int index = -1,
                        UINT extra_flags = 0);
  BOOL DeleteMenu(UINT position_or_command, UINT flags);

  void MeasureItem(MEASUREITEMSTRUCT* mis) override;
  void DrawItem(DRAWITEMSTRUCT* dis) override;

  const std::vector<BCMenuData*>& Items() const { return items_; }
  const std::vector<HMENU>& Submenus() const { return submenus_; }
  static const std::vector<HMENU>& AllSubmenus();
  static int SystemKind();  // 3 on every current system
  static bool IsNewShell();
  static std::u16string LabelOf(ULONG_PTR item_data);  // for the automation interface

  // Lighten a colour by f: v + f * (255 - v), truncated, per channel.
  static COLORREF Lighten(COLORREF color, double f);

  static constexpr int kPictureWidth = 16;
  static constexpr int kPictureHeight = 15;

 private:
  BOOL AddItem(int position, const std::u16string& text, UINT flags, UINT_PTR command, HIMAGELIST images, int index,
               bool append);
  // The menu object (this or a submenu's, depth first) holding the command, and its position.
  BCMenu* FindCommand(UINT command, int* position);
  bool LoadLevel(void* reader, int depth);
  void PadTabs();
  BCMenu* NewChild();
  void DrawClassic(DRAWITEMSTRUCT* dis, BCMenuData* data);
  void DrawFlat(DRAWITEMSTRUCT* dis, BCMenuData* data);
  void DrawGrayedPicture(HDC dc, BCMenuData* data, int x, int y, bool classic, COLORREF background);

  std::vector<BCMenuData*> items_;  // owned, in the order of the items
  std::vector<HMENU> submenus_;
  int picture_width_ = kPictureWidth;
  int picture_height_ = kPictureHeight;
  HIMAGELIST check_pictures_ = nullptr;
  bool check_pictures_shared_ = false;
  int selected_check_ = -1;
  int unselected_check_ = -1;
};

}  // namespace trayui
