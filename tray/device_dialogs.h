// The device settings and password dialogs of the main window (templates 136 and 138).
//
// Written on the plain dialog procedure: each class keeps the framework's shape (members
// exchanged with the controls in one DoDataExchange, OnInitDialog, OnOK), so that it moves onto
// the framework layer's dialog class and DDX unchanged in meaning.
#pragma once

#include <string>

#include "platform/ui/ui_types.h"

namespace tray {

class CDeviceSettingsDialog {
 public:
  static constexpr int kTemplateId = 136;
  static constexpr int kVendorId = 1001;
  static constexpr int kMacId = 1002;
  static constexpr int kProductId = 1003;
  static constexpr int kRevisionId = 1004;
  // The widths of the INQUIRY fields the texts go into.
  static constexpr int kVendorLimit = 8;
  static constexpr int kProductLimit = 16;
  static constexpr int kRevisionLimit = 4;

  CDeviceSettingsDialog(const std::u16string& vendor, const std::u16string& product, const std::u16string& revision,
                        int mac_client);
  // IDOK or IDCANCEL (-1 when the dialog could not be created). No owner is named.
  win32::INT_PTR DoModal();

  // Read by the caller after OK; after Cancel they keep the constructed values.
  int mac_client;
  std::u16string vendor;
  std::u16string product;
  std::u16string revision;

 private:
  static win32::INT_PTR Proc(win32::HWND dlg, win32::UINT message, win32::WPARAM wparam, win32::LPARAM lparam);
  void DoDataExchange(bool save);
  win32::HWND dlg_ = nullptr;
};

class CPasswordDialog {
 public:
  static constexpr int kTemplateId = 138;
  static constexpr int kPasswordId = 1003;
  static constexpr int kPromptId = 1004;
  static constexpr int kFirstLineId = 1006;

  // `password_place` may be null; after OK it receives a new string (new[]; the caller
  // delete[]s it) holding the entered text, the empty text included.
  CPasswordDialog(char16_t** password_place, const char16_t* image_path);
  win32::INT_PTR DoModal();

 private:
  static win32::INT_PTR Proc(win32::HWND dlg, win32::UINT message, win32::WPARAM wparam, win32::LPARAM lparam);
  char16_t** password_place_;
  const char16_t* image_path_;
  win32::HWND dlg_ = nullptr;
};

}  // namespace tray
