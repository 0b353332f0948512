#include "trayui/skm_system_tray.h"

#include <string>

#include "imagepath/targets.h"
#include "platform/ui/gdi.h"
#include "platform/ui/resource.h"
#include "tray/settings_store.h"

namespace trayui {

namespace {

// Both touched only on the GUI thread (the menu, its owner-draw handlers and the hook run there).
BCMenu* g_last_menu = nullptr;
HWND g_hook_window = nullptr;  // the menu window the hook remembered
// Installed once per thread and kept while the thread lives; the platform drops a thread's
// hooks when the thread ends, which the holder does here.
struct MenuHook {
  HHOOK hook = nullptr;
  ~MenuHook() {
    if (hook != nullptr) UnhookWindowsHookEx(hook);
  }
};
thread_local MenuHook t_menu_hook;

constexpr int kMenuIcons[] = {110, 111, 112, 113, 114, 115, 116, 131, 134, 135, 137};
enum Picture { kExitPic, kPreferencesPic, kDevicesPic, kDevicePic, kUnmountPic, kMountPic, kUnmountImagePic,
               kAboutPic, kCreatePic, kRemovePic, kParametersPic };

BCMenu* PopupObject(BCMenu* menu, int position) {
  return dynamic_cast<BCMenu*>(CMenu::FromHandlePermanent(menu->GetSubMenuHandle(position)));
}

}  // namespace

CSKMSystemTray::CSKMSystemTray(CWnd* owner)
    : m_vendor(u"KORVEN"), m_product(u"RIRazuVezi VOVUV"), m_revision(u"1.0b"), m_owner(owner) {
  m_images = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 5);
  m_autoStart = tray::IsAutoStartEnabled();
  m_autoMount = m_autoStart && tray::LoadAutoMount();
  if (m_autoMount) tray::LoadDeviceIdentity(&m_vendor, &m_product, &m_revision, reinterpret_cast<BOOL*>(&m_macClient));
  if (t_menu_hook.hook == nullptr)
    t_menu_hook.hook = SetWindowsHookExW(WH_MSGFILTER, &MenuHookProc, nullptr, GetCurrentThreadId());
  HINSTANCE resources = AfxGetResourceHandle();
  for (int id : kMenuIcons) {
    auto icon = static_cast<HICON>(LoadImageW(resources, MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0));
    ImageList_AddIcon(m_images, icon);  // a missing icon leaves its place empty, as on the platform
    if (icon != nullptr) DestroyIcon(icon);
  }
  try {
    m_sidebar = LoadBitmapW(resources, MAKEINTRESOURCEW(kSidebarBitmap));
    BITMAP bm{};
    if (m_sidebar == nullptr || GetObjectW(m_sidebar, sizeof bm, &bm) == 0) AfxThrowResourceException();
    m_sidebarWidth = bm.bmWidth;
    m_sidebarHeight = bm.bmHeight;
  } catch (CException* e) {
    e->ReportError();
    e->Delete();
  }
}

CSKMSystemTray::~CSKMSystemTray() {
  if (g_last_menu == m_pMenu) g_last_menu = nullptr;  // the base deletes it below
  if (m_sidebar != nullptr) DeleteObject(m_sidebar);
  if (m_images != nullptr) ImageList_Destroy(m_images);
}

BCMenu* CSKMSystemTray::LastMenu() { return g_last_menu; }
void CSKMSystemTray::ClearLastMenu() { g_last_menu = nullptr; }

std::u16string CSKMSystemTray::TargetImagePath(void*, int device) {
  return device < 0 ? std::u16string() : imagepath::MountedImagePath(static_cast<uint32_t>(device));
}

std::u16string CSKMSystemTray::DeviceText(int device) const {
  const std::string number = std::to_string(device);
  std::u16string path = image_path_of_ != nullptr ? image_path_of_(image_path_context_, device) : std::u16string();
  return u"Target" + std::u16string(number.begin(), number.end()) + u": " + (path.empty() ? u"No media" : path);
}

void CSKMSystemTray::AddDeviceEntries(BCMenu* into, bool full) {
  for (int i = 0; i < m_deviceCount; ++i) {
    const UINT mount = kMountBase + 10 * static_cast<UINT>(i);
    const bool has_image =
        image_path_of_ != nullptr && !image_path_of_(image_path_context_, i).empty();
    if (full) {
      BCMenu* device = into->InsertODPopup(-1, DeviceText(i), m_images, kDevicePic);
      device->AppendODMenu(u"Mount image", MF_OWNERDRAW, mount, m_images, kMountPic);
      if (has_image) device->AppendODMenu(u"Unmount image", MF_OWNERDRAW, mount + 1, m_images, kUnmountImagePic);
      device->AppendODMenu(u"Device Parameters", MF_OWNERDRAW, kDeviceParameters, m_images, kParametersPic);
    } else {
      into->AppendODMenu(DeviceText(i), MF_OWNERDRAW, mount, m_images, kMountPic);
    }
  }
  if (!full) return;
  if (m_deviceCount != 0) {
    into->AppendODMenu(u"", MF_OWNERDRAW | MF_SEPARATOR, kSeparator);
    into->AppendODMenu(u"Unmount", MF_OWNERDRAW, kUnmountAll, m_images, kUnmountPic);
    into->AppendODMenu(u"", MF_OWNERDRAW | MF_SEPARATOR, kSeparator);
    into->AppendODMenu(u"Remove virtual device", MF_OWNERDRAW, kRemoveDevice, m_images, kRemovePic);
  } else {
    into->AppendODMenu(u"Create virtual device", MF_OWNERDRAW, kCreateDevice, m_images, kCreatePic);
  }
}

BOOL CSKMSystemTray::BuildMenu(BCMenu** slot, BOOL full) {
  if (m_bInMenu) return FALSE;
  g_last_menu = nullptr;  // the base has deleted the one built before
  if (m_deviceCount > m_maxDeviceCount) m_deviceCount = m_maxDeviceCount;
  BCMenu* menu = nullptr;
  try {
    menu = AfxNew<BCMenu>();
    if (!menu->LoadMenu(kIconId)) AfxThrowResourceException();
  } catch (CException* e) {
    delete menu;
    e->ReportError();
    e->Delete();
    return FALSE;
  }
  BCMenu* p = PopupObject(menu, 0);  // holds only the sidebar item
  if (p == nullptr) {
    delete menu;
    return FALSE;
  }
  if (full) {
    BCMenu* prefs = p->InsertODPopup(-1, u"Preferences", m_images, kPreferencesPic, MF_MENUBREAK);
    prefs->AppendODMenu(u"AutoStart", MF_OWNERDRAW | (m_autoStart ? MF_CHECKED : 0), kAutoStart);
    prefs->AppendODMenu(u"AutoMount", MF_OWNERDRAW | (m_autoStart && m_autoMount ? MF_CHECKED : 0), kAutoMount);
    p->AppendODMenu(u"", MF_OWNERDRAW | MF_SEPARATOR, kSeparator);
    BCMenu* devices = p->InsertODPopup(-1, u"Virtual Devices", m_images, kDevicesPic);
    AddDeviceEntries(devices, true);
    p->AppendODMenu(u"About", MF_OWNERDRAW, kAbout, m_images, kAboutPic);
    p->AppendODMenu(u"", MF_OWNERDRAW | MF_SEPARATOR, kSeparator);
    p->AppendODMenu(u"Exit", MF_OWNERDRAW, kExit, m_images, kExitPic);
  } else {
    p->DeleteMenu(kSidebar, MF_BYCOMMAND);
    p->AppendODMenu(u"Unmount", MF_OWNERDRAW, kUnmountAll, m_images, kUnmountPic);
    p->AppendODMenu(u"", MF_OWNERDRAW | MF_SEPARATOR, kSeparator);
    AddDeviceEntries(p, false);
  }
  *slot = menu;
  g_last_menu = menu;
  return TRUE;
}

BOOL CSKMSystemTray::ToggleAutoStart() {
  m_autoStart = !m_autoStart;
  if (m_autoStart)
    tray::EnableAutoStart();
  else
    tray::DisableAutoStart();  // a key or value that cannot be opened or deleted is ignored
  m_autoMount = m_autoMount && m_autoStart;
  return m_autoStart;
}

void CSKMSystemTray::MeasureMenuItem(const CSKMSystemTray* tray, MEASUREITEMSTRUCT* mis) {
  if (g_last_menu != nullptr) g_last_menu->MeasureItem(mis);
  if (mis->itemID == kSidebar) {
    // Without the bitmap the strip keeps the width it was drawn for.
    const int width = tray != nullptr && tray->m_sidebar != nullptr ? tray->m_sidebarWidth : 20;
    mis->itemWidth = static_cast<UINT>(std::max(width - 10, 0));
    mis->itemHeight = 10;
    return;
  }
  mis->itemWidth += 20;
  mis->itemHeight = mis->itemID == kSeparator ? 10 : 20;
}

void CSKMSystemTray::DrawMenuItem(const CSKMSystemTray* tray, DRAWITEMSTRUCT* dis) {
  if (dis->CtlType != ODT_MENU) return;
  if (dis->itemID == kSidebar) {
    g_hook_window = nullptr;
    if (tray == nullptr || tray->m_sidebar == nullptr) return;
    RECT clip{};
    GetClipBox(dis->hDC, &clip);
    HDC source = CreateCompatibleDC(dis->hDC);
    HGDIOBJ old = SelectObject(source, tray->m_sidebar);
    // Standing on the bottom edge: a menu shorter than the picture shows its lower part.
    BitBlt(dis->hDC, 0, (clip.bottom - clip.top) - tray->m_sidebarHeight, tray->m_sidebarWidth,
           tray->m_sidebarHeight, source, 0, 0, SRCCOPY);
    SelectObject(source, old);
    DeleteDC(source);
    return;
  }
  if (CMenu* menu = CMenu::FromHandlePermanent(reinterpret_cast<HMENU>(dis->hwndItem))) menu->DrawItem(dis);
}

LRESULT CSKMSystemTray::MenuHookProc(int code, WPARAM wparam, LPARAM lparam) {
  auto* msg = reinterpret_cast<MSG*>(lparam);
  if (code < 0 || msg == nullptr || msg->hwnd == nullptr || msg->message != WM_MOUSEMOVE)
    return CallNextHookEx(t_menu_hook.hook, code, wparam, lparam);
  HWND under = WindowFromPoint(msg->pt);
  if (g_hook_window == nullptr) g_hook_window = under;
  POINT client{GET_X_LPARAM(msg->lParam), GET_Y_LPARAM(msg->lParam)};
  if (under != nullptr) ScreenToClient(under, &client);
  if (under != nullptr && under == g_hook_window && client.x < kSidebarColumn) return 1;
  return CallNextHookEx(t_menu_hook.hook, code, wparam, lparam);
}

}  // namespace trayui
