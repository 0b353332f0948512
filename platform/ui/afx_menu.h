// The framework's menu class: a menu handle with a permanent handle map from handles to
// objects, the resource module the framework loads from, and the two owner-draw hooks a
// derived menu overrides. (The rest of the framework layer builds on this.)
#pragma once

#include "platform/ui/menu.h"
#include "platform/ui/resource.h"

namespace win32 {

HINSTANCE AfxGetResourceHandle();  // the program's module unless set
void AfxSetResourceHandle(HINSTANCE module);

class CMenu {
 public:
  CMenu() = default;
  CMenu(const CMenu&) = delete;
  CMenu& operator=(const CMenu&) = delete;
  virtual ~CMenu();  // destroys an attached menu, as the framework does

  HMENU m_hMenu = nullptr;
  operator HMENU() const { return m_hMenu; }

  // The object attached to a handle, or null (no temporary objects are made here).
  static CMenu* FromHandlePermanent(HMENU menu);
  BOOL Attach(HMENU menu);
  HMENU Detach();

  BOOL CreateMenu();
  BOOL CreatePopupMenu();
  BOOL LoadMenuW(LPCWSTR name);
  BOOL DestroyMenu();

  BOOL AppendMenuW(UINT flags, UINT_PTR id = 0, LPCWSTR item = nullptr);
  BOOL InsertMenuW(UINT position, UINT flags, UINT_PTR id = 0, LPCWSTR item = nullptr);
  BOOL ModifyMenuW(UINT position, UINT flags, UINT_PTR id = 0, LPCWSTR item = nullptr);
  BOOL DeleteMenu(UINT position, UINT flags);
  BOOL RemoveMenu(UINT position, UINT flags);
  UINT GetMenuItemCount() const;
  UINT GetMenuItemID(int position) const;
  UINT GetMenuState(UINT id, UINT flags) const;
  HMENU GetSubMenuHandle(int position) const;
  BOOL TrackPopupMenu(UINT flags, int x, int y, HWND owner, const RECT* rect = nullptr);

  virtual void DrawItem(DRAWITEMSTRUCT* dis);
  virtual void MeasureItem(MEASUREITEMSTRUCT* mis);
};

}  // namespace win32
