// The compiled resource file: every layout decoded field by field, and the Load* functions.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ui/gdi.h"
#include "platform/ui/menu.h"
#include "platform/ui/resource.h"
#include "platform/ui/window.h"

namespace win32 {
namespace {

class Layouts : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(SKM_RC_TEST_RES, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override { FreeLibrary(module_); }
  std::vector<uint8_t> Bytes(int id, LPCWSTR type) {
    HRSRC r = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
    if (r == nullptr) return {};
    auto* p = static_cast<const uint8_t*>(LockResource(LoadResource(module_, r)));
    return std::vector<uint8_t>(p, p + SizeofResource(module_, r));
  }
  HMODULE module_ = nullptr;
};

struct Reader {
  const std::vector<uint8_t>& b;
  size_t at = 0;
  uint16_t W() {
    uint16_t v;
    std::memcpy(&v, b.data() + at, 2);
    at += 2;
    return v;
  }
  uint32_t D() {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    at += 4;
    return v;
  }
  std::u16string S() {
    std::u16string s;
    for (uint16_t c; (c = W()) != 0;) s.push_back(static_cast<char16_t>(c));
    return s;
  }
  void Align() { at = (at + 3) & ~size_t{3}; }
};

TEST_F(Layouts, MenuTemplateIsTheStandardOne) {
  auto b = Bytes(1, RT_MENU);
  std::vector<uint16_t> want = {0, 0, MF_CHECKED, 5, u'&', u'O', u'p', u'e', u'n', u'\t', u'C', u't', u'r', u'l', u'+', u'O', 0,
                                MF_POPUP | MF_GRAYED | MF_END, u'P', 0, MF_END, 6, u'C', 0};
  ASSERT_EQ(b.size(), want.size() * 2);
  EXPECT_EQ(std::memcmp(b.data(), want.data(), b.size()), 0);
  HMENU m = LoadMenuW(module_, MAKEINTRESOURCEW(1));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(GetMenuItemCount(GetSubMenu(m, 1)), 1);
  DestroyMenu(m);
}

TEST_F(Layouts, StringTableBlocksAndLoadString) {
  auto b = Bytes(1, RT_STRING);  // strings 0..15
  Reader r{b};
  EXPECT_EQ(r.W(), 0);  // string 0 is empty
  EXPECT_EQ(r.W(), 3);
  WCHAR buf[32];
  EXPECT_EQ(LoadStringW(module_, 1, buf, 32), 3);
  EXPECT_EQ(std::u16string(buf), u"one");
  EXPECT_EQ(LoadStringW(module_, 17, buf, 5), 4);  // cut to the buffer
  EXPECT_EQ(std::u16string(buf), u"seve");
  const WCHAR* stored = nullptr;
  EXPECT_EQ(LoadStringW(module_, 17, reinterpret_cast<LPWSTR>(&stored), 0), 9);
  EXPECT_EQ(std::u16string(stored, 9), u"seventeen");
  EXPECT_EQ(LoadStringW(module_, 2, buf, 32), 0);
}

TEST_F(Layouts, DialogTemplatesInBothForms) {
  auto b = Bytes(136, RT_DIALOG);
  ASSERT_FALSE(b.empty());
  Reader r{b};
  EXPECT_EQ(r.W(), 1);  // DLGTEMPLATEEX
  EXPECT_EQ(r.W(), 0xFFFF);
  EXPECT_EQ(r.D(), 0u);
  EXPECT_EQ(r.D(), 0u);
  EXPECT_EQ(r.D(), 0x80C80000u | 0x80u | 0x40u);  // popup, caption, system menu, modal frame, set font
  EXPECT_EQ(r.W(), 3);
  EXPECT_EQ(r.W(), 0);
  EXPECT_EQ(r.W(), 0);
  EXPECT_EQ(r.W(), 186);
  EXPECT_EQ(r.W(), 95);
  EXPECT_EQ(r.W(), 0);  // menu
  EXPECT_EQ(r.W(), 0);  // class
  EXPECT_EQ(r.S(), u"Device settings");
  EXPECT_EQ(r.W(), 8);
  EXPECT_EQ(r.W(), 400);
  r.at += 2;  // italic, charset
  EXPECT_EQ(r.S(), u"MS Shell Dlg");
  r.Align();
  EXPECT_EQ(r.D(), 0u);
  EXPECT_EQ(r.D(), 0u);
  EXPECT_EQ(r.D(), 0x50000000u);
  r.at += 8;
  EXPECT_EQ(r.D(), 0xFFFFFFFFu);  // identifier -1
  EXPECT_EQ(r.W(), 0xFFFF);
  EXPECT_EQ(r.W(), 0x82);  // Static
  EXPECT_EQ(r.S(), u"&Vendor:");
  EXPECT_EQ(r.W(), 0);
  r.Align();
  r.at += 4;
  EXPECT_EQ(r.D(), 0x200u);  // client edge
  EXPECT_EQ(r.D(), 0x50010080u);

  auto c = Bytes(30, RT_DIALOG);
  Reader q{c};
  EXPECT_EQ(q.D(), 0x80800000u);  // DLGTEMPLATE: style first
  EXPECT_EQ(q.D(), 0u);
  EXPECT_EQ(q.W(), 1);
  q.at += 8 + 4;
  EXPECT_EQ(q.S(), u"Wait");
  q.Align();
  EXPECT_EQ(q.D(), 0x50000001u);
  q.at += 4 + 8;
  EXPECT_EQ(q.W(), 1200);
  EXPECT_EQ(q.S(), u"SysAnimate32");
  EXPECT_EQ(q.W(), 0xFFFF);  // the icon ordinal as the text
  EXPECT_EQ(q.W(), 128);
}

TEST_F(Layouts, IconsAndBitmapsKeepTheirPixels) {
  HICON small = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(2), IMAGE_ICON, 16, 16, 0));
  HICON big = LoadIconW(module_, MAKEINTRESOURCEW(2));  // the 32 x 32 image
  ASSERT_NE(small, nullptr);
  ASSERT_NE(big, nullptr);
  ICONINFO info;
  GetIconInfo(big, &info);
  BITMAP bm;
  GetObjectW(info.hbmColor, sizeof bm, &bm);
  EXPECT_EQ(bm.bmWidth, 32);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  DestroyIcon(small);
  DestroyIcon(big);
  HBITMAP side = LoadBitmapW(module_, MAKEINTRESOURCEW(3));
  ASSERT_NE(side, nullptr);
  GetObjectW(side, sizeof bm, &bm);
  EXPECT_EQ(bm.bmWidth, 20);
  EXPECT_EQ(bm.bmHeight, 300);
  DeleteObject(side);
  EXPECT_EQ(LoadBitmapW(module_, MAKEINTRESOURCEW(99)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST_F(Layouts, ClipsAreStoredAsTheyAreUnderTheNamedTypeAvi) {
  std::ifstream f(SKM_RC_TEST_CLIP, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(Bytes(7, u"AVI"), file);
  EXPECT_EQ(Bytes(7, u"avi"), file);  // type names compare without regard to case
  EXPECT_TRUE(Bytes(7, RT_RCDATA).empty());
}

TEST(ResourceFiles, DamagedFilesAndCodeLibrariesAreRefused) {
  std::vector<uint8_t> b = {'S', 'K', 'M', 'R', 'E', 'S', '0', '1', 1, 0, 0, 0};
  b.resize(12 + 20, 0);
  uint32_t offset = 1000, size = 4;  // beyond the end
  std::memcpy(b.data() + 12 + 12, &offset, 4);
  std::memcpy(b.data() + 12 + 16, &size, 4);
  EXPECT_FALSE(ui::ValidateResourceFile(b.data(), b.size()));
  offset = 12 + 20 - 4;
  std::memcpy(b.data() + 12 + 12, &offset, 4);
  EXPECT_TRUE(ui::ValidateResourceFile(b.data(), b.size()));
  EXPECT_EQ(LoadLibraryExW(SKM_RC_TEST_RES, nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(LoadLibraryExW(u"no-such-file.res", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
}

}  // namespace
}  // namespace win32
