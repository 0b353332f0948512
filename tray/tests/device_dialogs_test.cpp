// The device settings and password dialogs, driven as a person would from the test thread
// while the GUI thread runs them modally.
#include "tray/device_dialogs.h"

#include <gtest/gtest.h>

#include "platform/ui/automation.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"

namespace tray {
namespace {

using namespace win32;
namespace au = win32::automation;

std::u16string TextOf(HWND dlg, int id) { return au::Describe(au::FindControlById(dlg, id))->text; }

void PutClipboard(const std::u16string& s) {
  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, (s.size() + 1) * 2);
  auto* p = static_cast<char16_t*>(GlobalLock(h));
  std::copy(s.begin(), s.end(), p);
  p[s.size()] = 0;
  GlobalUnlock(h);
  SetClipboardData(CF_UNICODETEXT, h);
  CloseClipboard();
}

TEST(CDeviceSettingsDialog, TheFieldsTakeAtMostTheirInquiryWidthTypedOrPasted) {
  uitest::GuiThread gui;
  CDeviceSettingsDialog d(u"KORVEN", u"RIRazuVezi VOVUV", u"1.0b", 0);
  INT_PTR result = 0;
  auto done = gui.Start([&] { result = d.DoModal(); });
  HWND dlg = au::WaitForWindow(WC_DIALOG, u"Device settings");
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(TextOf(dlg, 1001), u"KORVEN");
  EXPECT_EQ(TextOf(dlg, 1003), u"RIRazuVezi VOVUV");
  EXPECT_EQ(IsDlgButtonChecked(dlg, 1002), BST_UNCHECKED);
  // The vendor field has the focus with its text selected: typing replaces it.
  au::TypeText(u"ABCDEFGHI");
  EXPECT_EQ(TextOf(dlg, 1001), u"ABCDEFGH");
  // The product is full: a pasted character is refused; after Home+Delete one fits.
  au::PressKey(VK_TAB);
  PutClipboard(u"XY");
  SendMessageW(au::FindControlById(dlg, 1003), EM_SETSEL, 16, 16);
  au::PressKey('V', au::kCtrl);
  EXPECT_EQ(TextOf(dlg, 1003), u"RIRazuVezi VOVUV");
  au::PressKey(VK_HOME);
  au::PressKey(VK_DELETE);
  au::PressKey('V', au::kCtrl);
  EXPECT_EQ(TextOf(dlg, 1003), u"XIRazuVezi VOVUV");
  au::PressKey(VK_TAB);
  au::TypeText(u"2.0.1");
  EXPECT_EQ(TextOf(dlg, 1004), u"2.0.");
  au::PressKey(VK_TAB);
  au::PressKey(VK_SPACE);  // the check box
  au::PressKey(VK_RETURN);
  done.get();
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(d.vendor, u"ABCDEFGH");
  EXPECT_EQ(d.product, u"XIRazuVezi VOVUV");
  EXPECT_EQ(d.revision, u"2.0.");
  EXPECT_EQ(d.mac_client, 1);
}

TEST(CDeviceSettingsDialog, EmptyTextsAreAcceptedAndCancelKeepsTheMembers) {
  uitest::GuiThread gui;
  {
    CDeviceSettingsDialog d(u"KORVEN", u"P", u"1", 1);
    INT_PTR result = 0;
    auto done = gui.Start([&] { result = d.DoModal(); });
    HWND dlg = au::WaitForWindow(WC_DIALOG, u"Device settings");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(IsDlgButtonChecked(dlg, 1002), BST_CHECKED);
    for (int id : {1001, 1003, 1004}) SetDlgItemTextW(dlg, id, u"");
    au::ClickWindow(au::FindControlByText(dlg, u"OK"));
    done.get();
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(d.vendor, u"");
    EXPECT_EQ(d.product, u"");
    EXPECT_EQ(d.revision, u"");
  }
  {
    CDeviceSettingsDialog d(u"KORVEN", u"P", u"1", 0);
    INT_PTR result = 0;
    auto done = gui.Start([&] { result = d.DoModal(); });
    HWND dlg = au::WaitForWindow(WC_DIALOG, u"Device settings");
    ASSERT_NE(dlg, nullptr);
    au::TypeText(u"OTHER");
    au::PressKey(VK_ESCAPE);
    done.get();
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(d.vendor, u"KORVEN");
  }
}

TEST(CPasswordDialog, ShowsTheImagePathAndReturnsANewStringEvenWhenEmpty) {
  uitest::GuiThread gui;
  char16_t* password = nullptr;
  {
    CPasswordDialog d(&password, u"/images/protected.iso");
    INT_PTR result = 0;
    auto done = gui.Start([&] { result = d.DoModal(); });
    HWND dlg = au::WaitForWindow(WC_DIALOG, u"Password");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(TextOf(dlg, 1006), u"/images/protected.iso");
    EXPECT_EQ(TextOf(dlg, 1004), u"Please, enter password for this image:");
    EXPECT_EQ(SendMessageW(au::FindControlById(dlg, 1003), EM_GETPASSWORDCHAR, 0, 0), u'*');
    au::PressKey(VK_RETURN);
    done.get();
    EXPECT_EQ(result, IDOK);
    ASSERT_NE(password, nullptr);
    EXPECT_EQ(std::u16string(password), u"");
  }
  char16_t* first = password;
  {
    CPasswordDialog d(&password, u"/images/protected.iso");
    auto done = gui.Start([&] { d.DoModal(); });
    ASSERT_NE(au::WaitForWindow(WC_DIALOG, u"Password"), nullptr);
    au::TypeText(u"s3cret word");
    au::PressKey(VK_RETURN);
    done.get();
    EXPECT_NE(password, first);  // each OK a new string
    EXPECT_EQ(std::u16string(password), u"s3cret word");
  }
  delete[] first;
  char16_t* kept = password;
  {
    CPasswordDialog d(&password, u"x");
    auto done = gui.Start([&] { d.DoModal(); });
    ASSERT_NE(au::WaitForWindow(WC_DIALOG, u"Password"), nullptr);
    au::TypeText(u"ignored");
    au::PressKey(VK_ESCAPE);
    done.get();
    EXPECT_EQ(password, kept);  // Cancel leaves the place alone
  }
  delete[] password;
}

}  // namespace
}  // namespace tray
