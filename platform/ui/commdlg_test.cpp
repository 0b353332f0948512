// GetOpenFileNameW: the record's checks, the buffer rules, the scripted provider and the
// dialog driven through the automation interface.
#include "platform/ui/commdlg.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/ui/automation.h"
#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"
#include "platform/win32/hive.h"

using namespace win32;
namespace au = win32::automation;
namespace fs = std::filesystem;
namespace wt = win32::testing;

namespace {

constexpr WCHAR kFilter[] =
    u"Image files\0*.mds;*.mdx;*.iso;*.isz;*.pdi;*.cdi;*.cue;*.ccd;*.nrg;*.b5t;*.b6t;*.bwt\0All files\0*.*\0";

class OpenFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skm-openfile-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    for (const char* f : {"a.iso", "b.mds", "c.txt", "README", "sub/d.cue", "Disc.ISO"}) {
      fs::create_directories((dir_ / f).parent_path());
      std::ofstream(dir_ / f) << "x";
    }
    cwd_ = fs::current_path();
    wt::SetMessageBoxAnswer(IDOK);
  }
  void TearDown() override {
    wt::ResetOpenFile();
    wt::ResetMessageBoxes();
    fs::current_path(cwd_);
    fs::remove_all(dir_);
  }
  std::u16string Dir() const { return hive::Utf16FromUtf8(dir_.string()); }
  std::u16string In(const char* name) const { return hive::Utf16FromUtf8((dir_ / name).string()); }

  // The record the tray program fills in to mount an image.
  OPENFILENAMEW Record(WCHAR* file, DWORD size) {
    dir16_ = Dir();
    OPENFILENAMEW o{};
    o.lStructSize = sizeof o;
    o.lpstrFilter = kFilter;
    o.nFilterIndex = 1;
    o.lpstrFile = file;
    o.nMaxFile = size;
    o.lpstrInitialDir = dir16_.c_str();
    o.lpstrTitle = u"Select image file";
    o.lpstrDefExt = u"mds";
    o.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR;
    return o;
  }

  fs::path dir_, cwd_;
  std::u16string dir16_;
};

TEST_F(OpenFileTest, RecordsThePlatformRefusesFailWithTheirErrors) {
  struct Case {
    const char* name;
    void (*change)(OPENFILENAMEW&);
    BOOL result;
    DWORD error;
  };
  static WCHAR unterminated[4] = {u'a', u'b', u'c', u'd'};
  const Case cases[] = {
      {"full size", [](OPENFILENAMEW&) {}, TRUE, 0},
      {"size before the trailing fields", [](OPENFILENAMEW& o) { o.lStructSize = OPENFILENAME_SIZE_VERSION_400W; }, TRUE, 0},
      {"size zero", [](OPENFILENAMEW& o) { o.lStructSize = 0; }, FALSE, CDERR_STRUCTSIZE},
      {"size one short", [](OPENFILENAMEW& o) { o.lStructSize = sizeof o - 1; }, FALSE, CDERR_STRUCTSIZE},
      {"32-bit size", [](OPENFILENAMEW& o) { o.lStructSize = 88; }, FALSE, CDERR_STRUCTSIZE},
      {"no file buffer", [](OPENFILENAMEW& o) { o.lpstrFile = nullptr; }, FALSE, CDERR_INITIALIZATION},
      {"empty file buffer", [](OPENFILENAMEW& o) { o.nMaxFile = 0; }, FALSE, CDERR_INITIALIZATION},
      {"hook asked for", [](OPENFILENAMEW& o) { o.Flags |= OFN_ENABLEHOOK; }, FALSE, CDERR_DIALOGFAILURE},
      {"owner not a window", [](OPENFILENAMEW& o) { o.hwndOwner = reinterpret_cast<HWND>(0x7777); }, FALSE, CDERR_DIALOGFAILURE},
      {"name not ended in its buffer", [](OPENFILENAMEW& o) { o.lpstrFile = unterminated, o.nMaxFile = 4; }, FALSE,
       FNERR_INVALIDFILENAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wt::SetOpenFileAnswers({{false, In("a.iso")}});
    WCHAR file[260] = u" ";
    OPENFILENAMEW o = Record(file, 260);
    c.change(o);
    EXPECT_EQ(GetOpenFileNameW(&o), c.result);
    EXPECT_EQ(CommDlgExtendedError(), c.error);
    // A refused record never reaches the provider.
    EXPECT_EQ(wt::OpenFileRequests().size(), c.result ? 1u : 0u);
    wt::ResetOpenFile();
  }
}

TEST_F(OpenFileTest, ChosenPathFitsExactlyOrFailsWithTheNeededSizeInItsFirstCharacter) {
  const std::u16string path = In("a.iso");
  const DWORD need = static_cast<DWORD>(path.size() + 1);
  struct Case {
    const char* name;
    DWORD size;
    BOOL result;
  };
  const Case cases[] = {{"room to spare", 260, TRUE}, {"exactly the path and its end", need, TRUE},
                        {"one short", need - 1, FALSE}, {"one character", 1, FALSE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wt::SetOpenFileAnswers({{false, path}});
    std::vector<WCHAR> file(300, u'#');
    file[0] = 0;
    OPENFILENAMEW o = Record(file.data(), c.size);
    ASSERT_EQ(GetOpenFileNameW(&o), c.result);
    if (c.result) {
      EXPECT_EQ(std::u16string(file.data()), path);
      EXPECT_EQ(o.nFileOffset, path.size() - 5);
      EXPECT_EQ(o.nFileExtension, path.size() - 3);
      EXPECT_NE(o.Flags & OFN_EXTENSIONDIFFERENT, 0u);  // iso, not the default mds
      EXPECT_EQ(CommDlgExtendedError(), 0u);
    } else {
      EXPECT_EQ(CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
      EXPECT_EQ(file[0], need);
      EXPECT_EQ(file[c.size], u'#');  // nothing written past the declared buffer
    }
  }
}

TEST_F(OpenFileTest, ScriptedProviderSeesTheRequestAndAnswersAreCheckedAsTyped) {
  // Missing file, missing folder and a folder are refused as the dialog refuses them; the
  // bare name then gets the default extension.
  wt::SetOpenFileAnswers({{false, u"missing.iso"}, {false, u"nowhere/a.iso"}, {false, u"sub"}, {false, u"b"}});
  WCHAR file[260] = u" ";
  OPENFILENAMEW o = Record(file, 260);
  ASSERT_TRUE(GetOpenFileNameW(&o));
  EXPECT_EQ(std::u16string(file), In("b.mds"));
  EXPECT_EQ(o.Flags & OFN_EXTENSIONDIFFERENT, 0u);
  auto asked = wt::OpenFileRequests();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].title, u"Select image file");
  ASSERT_EQ(asked[0].filters.size(), 2u);
  EXPECT_EQ(asked[0].filters[0].first, u"Image files");
  EXPECT_EQ(asked[0].filters[0].second, u"*.mds;*.mdx;*.iso;*.isz;*.pdi;*.cdi;*.cue;*.ccd;*.nrg;*.b5t;*.b6t;*.bwt");
  EXPECT_EQ(asked[0].filters[1], std::make_pair(std::u16string(u"All files"), std::u16string(u"*.*")));
  EXPECT_EQ(asked[0].filter_index, 1u);
  EXPECT_EQ(asked[0].folder, Dir());
  EXPECT_EQ(asked[0].file_name, u" ");
  EXPECT_EQ(asked[0].def_ext, u"mds");
  EXPECT_EQ(asked[0].refused, (std::vector<std::u16string>{u"missing.iso", u"nowhere/a.iso", u"sub"}));

  // A cancel, and a used-up script, leave the buffer alone and report no error.
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    wt::SetOpenFileAnswers(i == 0 ? std::vector<wt::OpenFileAnswer>{{true, {}}} : std::vector<wt::OpenFileAnswer>{});
    WCHAR keep[260] = u" ";
    OPENFILENAMEW c = Record(keep, 260);
    EXPECT_FALSE(GetOpenFileNameW(&c));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
    EXPECT_EQ(std::u16string(keep), u" ");
  }
}

TEST_F(OpenFileTest, FolderComesFromTheBufferWithoutAnInitialOneAndTheCurrentFolderFollowsUnlessTold) {
  wt::SetOpenFileAnswers({{false, u"d.cue"}});
  std::u16string start = In("sub/old.iso");
  WCHAR file[260] = {};
  std::copy(start.begin(), start.end(), file);
  OPENFILENAMEW o = Record(file, 260);
  o.lpstrInitialDir = nullptr;
  o.Flags &= ~OFN_NOCHANGEDIR;
  ASSERT_TRUE(GetOpenFileNameW(&o));
  auto asked = wt::OpenFileRequests();
  EXPECT_EQ(asked[0].folder, In("sub"));
  EXPECT_EQ(asked[0].file_name, u"old.iso");
  EXPECT_EQ(std::u16string(file), In("sub/d.cue"));
  EXPECT_EQ(fs::current_path(), dir_ / "sub");
}

// ---------------------------------------------------------------------------------------
// The dialog, as a person drives it.

class OpenFileDialogTest : public OpenFileTest {
 protected:
  win32::uitest::GuiThread gui_;
};

std::u16string ListText(HWND dlg) {
  auto info = au::Describe(au::FindControlById(dlg, ui::kOpenFileListId));
  return info ? info->text : u"?";
}

TEST_F(OpenFileDialogTest, ListsTheFilteredFolderAndOpensATypedNameWithTheDefaultExtension) {
  WCHAR file[260] = u" ";
  OPENFILENAMEW o = Record(file, 260);
  BOOL result = -1;
  auto done = gui_.Start([&] { result = GetOpenFileNameW(&o); });
  HWND dlg = au::WaitForWindow(WC_DIALOG, u"Select image file");
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(ListText(dlg), u"../\nsub/\na.iso\nb.mds\nDisc.ISO");
  // The type button steps to "All files".
  ASSERT_TRUE(au::ClickWindow(au::FindControlById(dlg, ui::kOpenFileTypeId)));
  au::WaitForIdle();
  EXPECT_EQ(au::Describe(au::FindControlById(dlg, ui::kOpenFileTypeId))->text, u"All files");
  EXPECT_EQ(ListText(dlg), u"../\nsub/\na.iso\nb.mds\nc.txt\nDisc.ISO\nREADME");
  // A typed pattern lists what matches it.
  au::ClickWindow(au::FindControlById(dlg, ui::kOpenFileNameId));
  au::TypeText(u"*.TXT");
  au::PressKey(VK_RETURN);
  au::WaitForIdle();
  EXPECT_EQ(ListText(dlg), u"../\nsub/\nc.txt");
  // Stepping the type again drops the pattern: back to the images.
  ASSERT_TRUE(au::ClickWindow(au::FindControlById(dlg, ui::kOpenFileTypeId)));
  au::WaitForIdle();
  EXPECT_EQ(ListText(dlg), u"../\nsub/\na.iso\nb.mds\nDisc.ISO");
  // Open on a folder's name goes into it; on a missing file it warns and stays.
  au::ClickWindow(au::FindControlById(dlg, ui::kOpenFileNameId));
  au::PressKey(VK_END);
  au::PressKey(VK_HOME, au::kShift);  // the pattern selected, so typing replaces it
  au::TypeText(u"sub");
  au::PressKey(VK_RETURN);
  au::WaitForIdle();
  EXPECT_EQ(ListText(dlg), u"../\nd.cue");
  EXPECT_EQ(au::Describe(au::FindControlById(dlg, ui::kOpenFileFolderId))->text, In("sub"));
  au::TypeText(u"../nothing.iso");
  au::PressKey(VK_RETURN);
  au::WaitForIdle();
  EXPECT_TRUE(IsWindowVisible(dlg));
  ASSERT_EQ(wt::MessageBoxesShown().size(), 1u);
  EXPECT_NE(wt::MessageBoxesShown()[0].text.find(u"File not found."), std::u16string::npos);
  au::TypeText(u"../b");
  au::PressKey(VK_RETURN);
  done.get();
  EXPECT_TRUE(result);
  EXPECT_EQ(std::u16string(file), In("b.mds"));
  EXPECT_EQ(o.nFilterIndex, 1u);
}

TEST_F(OpenFileDialogTest, ClickingAnEntryNamesItAndEscapeCancels) {
  WCHAR file[260] = u" ";
  OPENFILENAMEW o = Record(file, 260);
  BOOL result = -1;
  DWORD error = 99;
  auto done = gui_.Start([&] {
    result = GetOpenFileNameW(&o);
    error = CommDlgExtendedError();
  });
  HWND dlg = au::WaitForWindow(WC_DIALOG, u"Select image file");
  ASSERT_NE(dlg, nullptr);
  // The fourth row of the list is b.mds.
  au::MoveMouseTo(au::FindControlById(dlg, ui::kOpenFileListId), POINT{40, 2 + 3 * 18 + 9});
  au::ButtonDown();
  au::ButtonUp();
  au::WaitForIdle();
  WCHAR name[64] = {};
  GetWindowTextW(au::FindControlById(dlg, ui::kOpenFileNameId), name, 64);
  EXPECT_EQ(std::u16string(name), u"b.mds");
  au::PressKey(VK_ESCAPE);
  done.get();
  EXPECT_FALSE(result);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(std::u16string(file), u" ");
}

}  // namespace
