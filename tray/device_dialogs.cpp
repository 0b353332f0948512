// The device settings and password dialogs.
#include "tray/device_dialogs.h"

#include <algorithm>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"
#include "platform/ui/resource.h"
#include "platform/ui/window.h"

namespace tray {

using namespace win32;

namespace {

// Text exchange with a control, as the framework's DDX_Text does it.
void ExchangeText(HWND dlg, int id, std::u16string* value, bool save) {
  HWND c = GetDlgItem(dlg, id);
  if (c == nullptr) return;
  if (save) {
    int n = GetWindowTextLengthW(c);
    std::u16string s(static_cast<size_t>(n) + 1, u'\0');
    GetWindowTextW(c, s.data(), n + 1);
    s.resize(static_cast<size_t>(n));
    *value = s;
  } else {
    SetWindowTextW(c, value->c_str());
  }
}

void ExchangeCheck(HWND dlg, int id, int* value, bool save) {
  if (save)
    *value = IsDlgButtonChecked(dlg, id) == BST_CHECKED ? 1 : 0;
  else
    CheckDlgButton(dlg, id, *value != 0 ? BST_CHECKED : BST_UNCHECKED);
}

template <typename T>
T* Self(HWND dlg, UINT message, LPARAM lparam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrW(dlg, DWLP_USER, lparam);
  return reinterpret_cast<T*>(GetWindowLongPtrW(dlg, DWLP_USER));
}

}  // namespace

CDeviceSettingsDialog::CDeviceSettingsDialog(const std::u16string& v, const std::u16string& p,
                                             const std::u16string& r, int mac)
    : mac_client(mac), vendor(v), product(p), revision(r) {}

void CDeviceSettingsDialog::DoDataExchange(bool save) {
  ExchangeCheck(dlg_, kMacId, &mac_client, save);
  ExchangeText(dlg_, kVendorId, &vendor, save);
  ExchangeText(dlg_, kProductId, &product, save);
  ExchangeText(dlg_, kRevisionId, &revision, save);
}

INT_PTR CDeviceSettingsDialog::DoModal() {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), nullptr, Proc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CDeviceSettingsDialog::Proc(HWND dlg, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = Self<CDeviceSettingsDialog>(dlg, message, lparam);
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      self->dlg_ = dlg;
      self->DoDataExchange(false);
      SendDlgItemMessageW(dlg, kVendorId, EM_LIMITTEXT, kVendorLimit, 0);
      SendDlgItemMessageW(dlg, kProductId, EM_LIMITTEXT, kProductLimit, 0);
      SendDlgItemMessageW(dlg, kRevisionId, EM_LIMITTEXT, kRevisionLimit, 0);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        self->DoDataExchange(true);  // no validation: empty texts are accepted
        EndDialog(dlg, IDOK);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

CPasswordDialog::CPasswordDialog(char16_t** password_place, const char16_t* image_path)
    : password_place_(password_place), image_path_(image_path) {}

INT_PTR CPasswordDialog::DoModal() {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), nullptr, Proc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CPasswordDialog::Proc(HWND dlg, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = Self<CPasswordDialog>(dlg, message, lparam);
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      self->dlg_ = dlg;
      SetDlgItemTextW(dlg, kFirstLineId, self->image_path_ != nullptr ? self->image_path_ : u"");
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        if (self->password_place_ != nullptr) {
          std::u16string text;
          ExchangeText(dlg, kPasswordId, &text, true);
          auto* copy = new char16_t[text.size() + 1];
          std::copy(text.begin(), text.end(), copy);
          copy[text.size()] = 0;
          *self->password_place_ = copy;
        }
        EndDialog(dlg, IDOK);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace tray
