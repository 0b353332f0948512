// CSKMSystemTray: the program's tray object. It keeps what the menu shows (the device count,
// the inquiry identity a new device gets, AutoStart and AutoMount), builds the full and the
// short menu on every click, and draws the full menu's sidebar, a picture strip that a
// message-filter hook keeps inert. Commands go to the owner (the main window), which passes
// the owner-draw messages back to MeasureMenuItem and DrawMenuItem.
#pragma once

#include <string>

#include "trayui/system_tray.h"

namespace trayui {

class CSKMSystemTray : public CSystemTray {
 public:
  // Menu commands.
  static constexpr UINT kSidebar = 107;
  static constexpr UINT kSeparator = 1007;
  static constexpr UINT kUnmountAll = 109;
  static constexpr UINT kAbout = 132;
  static constexpr UINT kMountBase = 1300;    // + 10 * device
  static constexpr UINT kUnmountBase = 1301;  // + 10 * device
  static constexpr UINT kRemoveDevice = 1304;
  static constexpr UINT kCreateDevice = 1314;
  static constexpr UINT kAutoStart = 1400;
  static constexpr UINT kAutoMount = 1401;
  static constexpr UINT kDeviceParameters = 1402;
  static constexpr UINT kExit = 57665;
  static constexpr UINT kSidebarBitmap = 108;
  // Pointer moves left of this client x over the remembered menu window never reach the menu.
  static constexpr int kSidebarColumn = 28;

  explicit CSKMSystemTray(CWnd* owner);
  ~CSKMSystemTray() override;

  BOOL BuildMenu(BCMenu** slot, BOOL full) override;
  BOOL ToggleAutoStart();

  // The owner's owner-draw handlers apply these to the popup's items.
  static void MeasureMenuItem(const CSKMSystemTray* tray, MEASUREITEMSTRUCT* mis);
  static void DrawMenuItem(const CSKMSystemTray* tray, DRAWITEMSTRUCT* dis);
  // The menu built last (the measure rule needs it); the owner clears it when it goes.
  static BCMenu* LastMenu();
  static void ClearLastMenu();

  // The path of the image mounted on a device, as the device's image session keeps it;
  // empty for none. The targets' own record by default (imagepath::MountedImagePath); tests
  // set their own.
  using ImagePathOf = std::u16string (*)(void* context, int device);
  void SetImagePathSource(ImagePathOf source, void* context) {
    image_path_of_ = source;
    image_path_context_ = context;
  }

  HIMAGELIST m_images = nullptr;
  uint8_t m_deviceCount = 0;
  uint8_t m_maxDeviceCount = 1;
  std::u16string m_vendor;
  std::u16string m_product;
  std::u16string m_revision;
  DWORD m_macClient = 0;
  CWnd* m_owner = nullptr;
  HBITMAP m_sidebar = nullptr;
  int m_sidebarWidth = 0;
  int m_sidebarHeight = 0;
  BOOL m_autoStart = FALSE;
  BOOL m_autoMount = FALSE;

 private:
  void AddDeviceEntries(BCMenu* into, bool full);
  std::u16string DeviceText(int device) const;
  static LRESULT MenuHookProc(int code, WPARAM wparam, LPARAM lparam);

  static std::u16string TargetImagePath(void* context, int device);
  ImagePathOf image_path_of_ = &TargetImagePath;
  void* image_path_context_ = nullptr;
};

}  // namespace trayui
