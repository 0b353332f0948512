#include "platform/ui/afx_menu.h"

#include <map>
#include <mutex>

namespace win32 {
namespace {
std::mutex g_map_mu;
std::map<HMENU, CMenu*>& Map() {
  static std::map<HMENU, CMenu*> m;
  return m;
}
std::mutex g_res_mu;
HINSTANCE g_resources = nullptr;
bool g_resources_set = false;
}  // namespace

HINSTANCE AfxGetResourceHandle() {
  std::lock_guard lk(g_res_mu);
  return g_resources_set ? g_resources : GetModuleHandleW(nullptr);
}

void AfxSetResourceHandle(HINSTANCE module) {
  std::lock_guard lk(g_res_mu);
  g_resources = module;
  g_resources_set = true;
}

CMenu::~CMenu() {
  if (m_hMenu != nullptr) DestroyMenu();
}

CMenu* CMenu::FromHandlePermanent(HMENU menu) {
  std::lock_guard lk(g_map_mu);
  auto it = Map().find(menu);
  return it == Map().end() ? nullptr : it->second;
}

BOOL CMenu::Attach(HMENU menu) {
  if (menu == nullptr || m_hMenu != nullptr) return FALSE;
  std::lock_guard lk(g_map_mu);
  m_hMenu = menu;
  Map()[menu] = this;
  return TRUE;
}

HMENU CMenu::Detach() {
  HMENU h = m_hMenu;
  if (h != nullptr) {
    std::lock_guard lk(g_map_mu);
    Map().erase(h);
  }
  m_hMenu = nullptr;
  return h;
}

BOOL CMenu::CreateMenu() { return Attach(::win32::CreateMenu()); }
BOOL CMenu::CreatePopupMenu() { return Attach(::win32::CreatePopupMenu()); }
BOOL CMenu::LoadMenuW(LPCWSTR name) { return Attach(::win32::LoadMenuW(AfxGetResourceHandle(), name)); }

BOOL CMenu::DestroyMenu() {
  if (m_hMenu == nullptr) return FALSE;
  return ::win32::DestroyMenu(Detach());
}

BOOL CMenu::AppendMenuW(UINT flags, UINT_PTR id, LPCWSTR item) { return ::win32::AppendMenuW(m_hMenu, flags, id, item); }
BOOL CMenu::InsertMenuW(UINT position, UINT flags, UINT_PTR id, LPCWSTR item) {
  return ::win32::InsertMenuW(m_hMenu, position, flags, id, item);
}
BOOL CMenu::ModifyMenuW(UINT position, UINT flags, UINT_PTR id, LPCWSTR item) {
  return ::win32::ModifyMenuW(m_hMenu, position, flags, id, item);
}
BOOL CMenu::DeleteMenu(UINT position, UINT flags) { return ::win32::DeleteMenu(m_hMenu, position, flags); }
BOOL CMenu::RemoveMenu(UINT position, UINT flags) { return ::win32::RemoveMenu(m_hMenu, position, flags); }
UINT CMenu::GetMenuItemCount() const { return static_cast<UINT>(::win32::GetMenuItemCount(m_hMenu)); }
UINT CMenu::GetMenuItemID(int position) const { return ::win32::GetMenuItemID(m_hMenu, position); }
UINT CMenu::GetMenuState(UINT id, UINT flags) const { return ::win32::GetMenuState(m_hMenu, id, flags); }
HMENU CMenu::GetSubMenuHandle(int position) const { return ::win32::GetSubMenu(m_hMenu, position); }
BOOL CMenu::TrackPopupMenu(UINT flags, int x, int y, HWND owner, const RECT* rect) {
  return ::win32::TrackPopupMenu(m_hMenu, flags, x, y, 0, owner, rect);
}

void CMenu::DrawItem(DRAWITEMSTRUCT*) {}
void CMenu::MeasureItem(MEASUREITEMSTRUCT*) {}

}  // namespace win32
