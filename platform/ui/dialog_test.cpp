// Dialog manager, controls and message box, driven through the automation interface from the
// test thread while a GUI thread runs the modal loop (as a person would drive them).
#include "platform/ui/dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/automation.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/controls.h"
#include "platform/ui/gdi.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"

namespace win32 {
namespace {

namespace au = automation;

// Builds a dialog template in memory, in either form.
class Template {
 public:
  Template(bool ex, DWORD style, short cx, short cy, const std::u16string& caption) : ex_(ex) {
    if (ex) {
      W(1), W(0xFFFF), D(0), D(0), D(style | DS_SETFONT);
    } else {
      D(style | DS_SETFONT), D(0);
    }
    count_at_ = w_.size();
    W(0), W(0), W(0), W(static_cast<uint16_t>(cx)), W(static_cast<uint16_t>(cy)), W(0), W(0);
    Text(caption);
    W(8);
    if (ex) W(400), W(0x0100);
    Text(u"MS Shell Dlg");
  }
  Template& Item(const std::u16string& cls, const std::u16string& text, int id, DWORD style, short x, short y, short cx,
                 short cy, DWORD ex_style = 0) {
    while (w_.size() % 2) W(0);
    if (ex_) {
      D(0), D(ex_style), D(style | WS_CHILD | WS_VISIBLE);
    } else {
      D(style | WS_CHILD | WS_VISIBLE), D(ex_style);
    }
    W(x), W(y), W(cx), W(cy);
    if (ex_) D(static_cast<DWORD>(id)); else W(static_cast<uint16_t>(id));
    Text(cls);
    Text(text);
    W(0);
    w_[count_at_]++;
    return *this;
  }
  const DLGTEMPLATE* get() {
    data_.assign((w_.size() + 1) / 2, 0);
    std::copy(w_.begin(), w_.end(), reinterpret_cast<uint16_t*>(data_.data()));
    return reinterpret_cast<const DLGTEMPLATE*>(data_.data());
  }
  size_t bytes() const { return w_.size() * 2; }

 private:
  void W(uint16_t v) { w_.push_back(v); }
  void D(DWORD v) { W(static_cast<uint16_t>(v)), W(static_cast<uint16_t>(v >> 16)); }
  void Text(const std::u16string& s) {
    w_.insert(w_.end(), s.begin(), s.end());
    W(0);
  }
  bool ex_;
  size_t count_at_;
  std::vector<uint16_t> w_;
  std::vector<uint32_t> data_;
};

// What the dialog procedure saw.
struct Seen {
  std::mutex mu;
  std::vector<int> commands;
  std::vector<std::u16string> links;
  bool end_on_cancel = true;
  HWND dialog = nullptr;
  std::vector<int> Commands() {
    std::lock_guard lk(mu);
    return commands;
  }
};
Seen* g_seen = nullptr;

INT_PTR RecordingProc(HWND dlg, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      std::lock_guard lk(g_seen->mu);
      g_seen->dialog = dlg;
      return TRUE;
    }
    case WM_COMMAND: {
      int id = LOWORD(wparam), code = HIWORD(wparam);
      if (code != BN_CLICKED) return FALSE;
      {
        std::lock_guard lk(g_seen->mu);
        g_seen->commands.push_back(id);
      }
      if (id == IDOK || (id == IDCANCEL && g_seen->end_on_cancel)) EndDialog(dlg, id);
      return TRUE;
    }
    case WM_NOTIFY: {
      auto* nm = reinterpret_cast<NMLINK*>(lparam);
      if (nm->hdr.code == NM_CLICK) {
        std::lock_guard lk(g_seen->mu);
        g_seen->links.emplace_back(nm->item.szUrl);
      }
      return TRUE;
    }
    default:
      return FALSE;
  }
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override { g_seen = &seen_; }
  void TearDown() override {
    // Nothing of a test stays on screen for the next.
    for (const auto& w : au::TopLevelWindows())
      if (w.class_name == WC_DIALOG) SendMessageW(w.hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    g_seen = nullptr;
  }
  // Runs the template modally on the GUI thread; returns the future result.
  std::future<void> Start(Template& t, INT_PTR* result) {
    const DLGTEMPLATE* p = t.get();
    return gui_.Start([p, result] { *result = DialogBoxIndirectParamW(nullptr, p, nullptr, RecordingProc, 0); });
  }
  HWND WaitDialog(const std::u16string& caption) { return au::WaitForWindow(WC_DIALOG, caption); }
  // The focus is the system's: readable from any thread. While a modal loop runs, the GUI
  // thread takes sends (not the thread messages of GuiThread::Run), so tests send.
  HWND Focus() { return GetFocus(); }
  uitest::GuiThread gui_;
  Seen seen_;
};

Template Navigation(bool ex) {
  Template t(ex, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER, 200, 100, u"Navigation");
  t.Item(u"Static", u"Name", -1, SS_LEFT, 7, 7, 40, 8)
      .Item(u"Edit", u"", 101, WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 50, 6, 100, 12)
      .Item(u"Button", u"Check", 102, WS_TABSTOP | BS_AUTOCHECKBOX, 7, 24, 80, 10)
      .Item(u"Button", u"One", 103, WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON, 7, 38, 60, 10)
      .Item(u"Button", u"Two", 104, BS_AUTORADIOBUTTON, 7, 50, 60, 10)
      .Item(u"Button", u"Three", 105, BS_AUTORADIOBUTTON, 7, 62, 60, 10)
      .Item(u"Button", u"OK", IDOK, WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON, 90, 80, 50, 14)
      .Item(u"Button", u"Cancel", IDCANCEL, WS_TABSTOP | BS_PUSHBUTTON, 144, 80, 50, 14);
  return t;
}

TEST_F(DialogTest, TabAndShiftTabFollowTheTabStopsInTemplateOrderInBothTemplateForms) {
  for (bool ex : {false, true}) {
    SCOPED_TRACE(ex ? "DLGTEMPLATEEX" : "DLGTEMPLATE");
    Template t = Navigation(ex);
    INT_PTR result = 0;
    auto done = Start(t, &result);
    HWND dlg = WaitDialog(u"Navigation");
    ASSERT_NE(dlg, nullptr);
    auto id = [&] { return GetDlgCtrlID(Focus()); };
    EXPECT_EQ(id(), 101);  // WM_INITDIALOG returned TRUE: the first tab stop
    std::vector<int> forward;
    for (int i = 0; i < 4; ++i) {
      au::PressKey(VK_TAB);
      forward.push_back(id());
    }
    // The radio group is one stop; the static is none; the order wraps around.
    EXPECT_EQ(forward, (std::vector<int>{102, 103, IDOK, IDCANCEL}));
    au::PressKey(VK_TAB);
    EXPECT_EQ(id(), 101);
    au::PressKey(VK_TAB, au::kShift);
    EXPECT_EQ(id(), IDCANCEL);
    au::PressKey(VK_TAB, au::kShift);
    EXPECT_EQ(id(), IDOK);
    au::PressKey(VK_ESCAPE);
    done.get();
    EXPECT_EQ(result, IDCANCEL);
  }
}

TEST_F(DialogTest, EnterGoesToTheDefaultButtonOrTheFocusedPushButton) {
  {
    Template t = Navigation(false);
    INT_PTR result = 0;
    auto done = Start(t, &result);
    ASSERT_NE(WaitDialog(u"Navigation"), nullptr);
    au::PressKey(VK_RETURN);  // focus in the edit field: the default button, OK
    done.get();
    EXPECT_EQ(result, IDOK);
  }
  {
    Template t = Navigation(false);
    INT_PTR result = 0;
    auto done = Start(t, &result);
    HWND dlg = WaitDialog(u"Navigation");
    ASSERT_NE(dlg, nullptr);
    SendMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dlg, IDCANCEL)), TRUE);
    au::WaitForIdle();
    au::PressKey(VK_RETURN);
    done.get();
    EXPECT_EQ(result, IDCANCEL);
  }
}

TEST_F(DialogTest, EscAndAltF4AreCancelWhichAProcedureMayIgnore) {
  seen_.end_on_cancel = false;
  Template t = Navigation(false);
  INT_PTR result = 0;
  auto done = Start(t, &result);
  HWND dlg = WaitDialog(u"Navigation");
  ASSERT_NE(dlg, nullptr);
  au::PressKey(VK_ESCAPE);
  au::PressKey(VK_F4, au::kAlt);
  au::WaitForIdle();
  EXPECT_EQ(seen_.Commands(), (std::vector<int>{IDCANCEL, IDCANCEL}));
  EXPECT_TRUE(IsWindowVisible(dlg));
  au::ClickWindow(au::FindControlById(dlg, IDOK));
  done.get();
  EXPECT_EQ(result, IDOK);
}

TEST_F(DialogTest, RadioButtonsOfAGroupExcludeEachOtherByClickAndArrows) {
  Template t = Navigation(false);
  INT_PTR result = 0;
  auto done = Start(t, &result);
  HWND dlg = WaitDialog(u"Navigation");
  ASSERT_NE(dlg, nullptr);
  auto checked = [&] {
    std::vector<UINT> v;
    for (int id = 103; id <= 105; ++id) v.push_back(IsDlgButtonChecked(dlg, id));
    return v;
  };
  au::ClickWindow(au::FindControlById(dlg, 104));
  EXPECT_EQ(checked(), (std::vector<UINT>{0, 1, 0}));
  au::PressKey(VK_DOWN);  // the next in the group is focused and checked
  EXPECT_EQ(checked(), (std::vector<UINT>{0, 0, 1}));
  EXPECT_EQ(GetDlgCtrlID(Focus()), 105);
  au::PressKey(VK_DOWN);  // wraps within the group, not into OK
  EXPECT_EQ(checked(), (std::vector<UINT>{1, 0, 0}));
  // The check box is not in the group.
  au::ClickWindow(au::FindControlById(dlg, 102));
  EXPECT_EQ(IsDlgButtonChecked(dlg, 102), BST_CHECKED);
  EXPECT_EQ(checked(), (std::vector<UINT>{1, 0, 0}));
  // Tabbing back into the group lands on its checked button.
  SendMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dlg, 102)), TRUE);
  au::PressKey(VK_TAB);
  EXPECT_EQ(GetDlgCtrlID(Focus()), 103);
  au::PressKey(VK_ESCAPE);
  done.get();
}

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

std::u16string ClipboardText() {
  std::u16string s;
  if (!OpenClipboard(nullptr)) return s;
  if (HGLOBAL h = GetClipboardData(CF_UNICODETEXT)) {
    s = static_cast<const char16_t*>(GlobalLock(h));
    GlobalUnlock(h);
  }
  CloseClipboard();
  return s;
}

TEST_F(DialogTest, EditLimitRefusesExtraCharactersTypedOrPastedAndChangesAreNotified) {
  Template t = Navigation(false);
  INT_PTR result = 0;
  auto done = Start(t, &result);
  HWND dlg = WaitDialog(u"Navigation");
  ASSERT_NE(dlg, nullptr);
  HWND edit = au::FindControlById(dlg, 101);
  SendMessageW(edit, EM_LIMITTEXT, 8, 0);
  auto text = [&] { return au::Describe(edit)->text; };
  au::TypeText(u"KORVEN12X");
  EXPECT_EQ(text(), u"KORVEN12");
  // Pasting over a selection counts what stays: 2 selected of 8, so 2 more fit.
  PutClipboard(u"abcdef");
  SendMessageW(edit, EM_SETSEL, 1, 3);
  au::PressKey('V', au::kCtrl);
  EXPECT_EQ(text(), u"KabVEN12");
  // A full field takes nothing more from the clipboard either.
  SendMessageW(edit, EM_SETSEL, 8, 8);
  au::PressKey('V', au::kCtrl);
  EXPECT_EQ(text(), u"KabVEN12");
  // Copy and cut go to the clipboard; Backspace and the arrows edit at the caret.
  SendMessageW(edit, EM_SETSEL, 0, 3);
  au::PressKey('X', au::kCtrl);
  EXPECT_EQ(ClipboardText(), u"Kab");
  EXPECT_EQ(text(), u"VEN12");
  au::PressKey(VK_END);
  au::PressKey(VK_BACK);
  au::PressKey(VK_LEFT, au::kShift);
  au::PressKey('C', au::kCtrl);
  EXPECT_EQ(ClipboardText(), u"1");
  EXPECT_EQ(text(), u"VEN1");
  DWORD lo = 0, hi = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&lo), reinterpret_cast<LPARAM>(&hi));
  EXPECT_EQ(lo, 3u);
  EXPECT_EQ(hi, 4u);
  // Text set by the program is not limited.
  SetDlgItemTextW(dlg, 101, u"RIRazuVezi VOVUV");
  EXPECT_EQ(text(), u"RIRazuVezi VOVUV");
  au::PressKey(VK_ESCAPE);
  done.get();
}

TEST_F(DialogTest, PasswordFieldShowsMasksKeepsTheTextAndRefusesCopy) {
  Template t(false, WS_POPUP | WS_CAPTION | DS_MODALFRAME, 120, 50, u"Password");
  t.Item(u"Edit", u"", 201, WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL | ES_PASSWORD, 7, 7, 100, 14)
      .Item(u"Edit", u"", 202, WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL | ES_PASSWORD, 7, 25, 100, 14)
      .Item(u"Button", u"OK", IDOK, WS_TABSTOP | BS_DEFPUSHBUTTON, 60, 34, 50, 14);
  INT_PTR result = 0;
  auto done = Start(t, &result);
  HWND dlg = WaitDialog(u"Password");
  ASSERT_NE(dlg, nullptr);
  HWND a = au::FindControlById(dlg, 201), b = au::FindControlById(dlg, 202);
  au::TypeText(u"secret");
  au::PressKey(VK_TAB);
  au::TypeText(u"wwwwww");
  au::PressKey(VK_TAB);  // the focus (and its caret) leave both fields
  // Same length, different characters: the same pixels.
  RECT ra, rb;
  GetClientRect(a, &ra);
  auto pixels = [&](HWND h) {
    std::vector<COLORREF> v;
    for (int y = 2; y < ra.bottom - 2; ++y)
      for (int x = 2; x < ra.right - 2; ++x) v.push_back(au::WindowPixel(h, x, y));
    return v;
  };
  GetClientRect(b, &rb);
  EXPECT_EQ(pixels(a), pixels(b));
  EXPECT_NE(pixels(a), std::vector<COLORREF>(pixels(a).size(), GetSysColor(COLOR_WINDOW)));  // masks drawn
  std::u16string got(16, 0);
  GetDlgItemTextW(dlg, 201, got.data(), 16);
  EXPECT_EQ(std::u16string(got.c_str()), u"secret");
  PutClipboard(u"before");
  SendMessageW(a, EM_SETSEL, 0, -1);
  SendMessageW(a, WM_COPY, 0, 0);
  EXPECT_EQ(ClipboardText(), u"before");
  au::PressKey(VK_RETURN);
  done.get();
  EXPECT_EQ(result, IDOK);
}

TEST_F(DialogTest, SysLinkClickNotifiesTheAddressOfTheLinkUnderThePointer) {
  Template t(false, WS_POPUP | WS_CAPTION | DS_MODALFRAME, 200, 40, u"Links");
  t.Item(u"SysLink", u"See <a href=\"https://example.org/first\">the first</a> or <A HREF=\"https://example.org/second\">the second</A>.", 301, WS_TABSTOP, 7, 7, 190, 10)
      .Item(u"Button", u"OK", IDOK, WS_TABSTOP | BS_DEFPUSHBUTTON, 140, 22, 50, 14);
  INT_PTR result = 0;
  auto done = Start(t, &result);
  HWND dlg = WaitDialog(u"Links");
  ASSERT_NE(dlg, nullptr);
  HWND link = au::FindControlById(dlg, 301);
  EXPECT_EQ(au::Describe(link)->text.find(u"<a href"), 4u);
  // Find the link words by their colour, then click the second link and plain text.
  RECT r;
  GetWindowRect(link, &r);
  std::vector<int> link_columns;
  for (int x = 0; x < r.right - r.left; ++x)
    for (int y = 0; y < r.bottom - r.top; ++y)
      if (au::WindowPixel(link, x, y) == GetSysColor(COLOR_HOTLIGHT)) {
        link_columns.push_back(x);
        break;
      }
  ASSERT_FALSE(link_columns.empty());
  int last = link_columns.back();
  au::Click(r.left + last - 2, r.top + (r.bottom - r.top) / 2);
  au::Click(r.left + 3, r.top + (r.bottom - r.top) / 2);  // "See": no link
  au::Click(r.left + link_columns.front() + 2, r.top + (r.bottom - r.top) / 2);
  {
    std::lock_guard lk(seen_.mu);
    EXPECT_EQ(seen_.links, (std::vector<std::u16string>{u"https://example.org/second", u"https://example.org/first"}));
  }
  au::ClickWindow(au::FindControlById(dlg, IDOK));
  done.get();
}

TEST_F(DialogTest, DialogUnitsFollowTheFontAndTheClassicLookIsDrawn) {
  Template t = Navigation(true);
  INT_PTR result = 0;
  auto done = Start(t, &result);
  HWND dlg = WaitDialog(u"Navigation");
  ASSERT_NE(dlg, nullptr);
  RECT du{50, 6, 100, 12};  // position and size, each mapped as the dialog manager maps them
  MapDialogRect(dlg, &du);
  HWND edit = au::FindControlById(dlg, 101);
  RECT er, cr;
  GetWindowRect(edit, &er);
  POINT o{0, 0};
  ClientToScreen(dlg, &o);
  EXPECT_EQ(er.left - o.x, du.left);
  EXPECT_EQ(er.top - o.y, du.top);
  EXPECT_EQ(er.right - er.left, du.right);
  EXPECT_EQ(er.bottom - er.top, du.bottom);
  // Centred in the work area (DS_CENTER).
  RECT wr, work;
  GetWindowRect(dlg, &wr);
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_LE(std::abs((wr.left + wr.right) - (work.left + work.right)), 1);
  EXPECT_LE(std::abs((wr.top + wr.bottom) - (work.top + work.bottom)), 1);
  // Face background; the bordered edit field sunken and white; OK with the dark default frame.
  GetClientRect(dlg, &cr);
  EXPECT_EQ(au::ScreenPixel(o.x + 2, o.y + cr.bottom - 2), GetSysColor(COLOR_3DFACE));
  EXPECT_EQ(au::WindowPixel(edit, 0, 5), GetSysColor(COLOR_3DSHADOW));
  EXPECT_EQ(au::WindowPixel(edit, (er.right - er.left) - 1, 5), GetSysColor(COLOR_3DHIGHLIGHT));
  EXPECT_EQ(au::WindowPixel(edit, (er.right - er.left) / 2, (er.bottom - er.top) / 2 - 6), GetSysColor(COLOR_WINDOW));
  HWND ok = au::FindControlById(dlg, IDOK), cancel = au::FindControlById(dlg, IDCANCEL);
  EXPECT_EQ(au::WindowPixel(ok, 0, 5), GetSysColor(COLOR_WINDOWFRAME));
  EXPECT_EQ(au::WindowPixel(cancel, 0, 5), GetSysColor(COLOR_3DHIGHLIGHT));
  // The default frame follows the focus to another push button and back.
  au::PressKey(VK_TAB, au::kShift);  // from the edit field back to Cancel
  EXPECT_EQ(GetDlgCtrlID(Focus()), IDCANCEL);
  EXPECT_EQ(au::WindowPixel(cancel, 0, 5), GetSysColor(COLOR_WINDOWFRAME));
  EXPECT_EQ(au::WindowPixel(ok, 0, 5), GetSysColor(COLOR_3DHIGHLIGHT));
  LRESULT def = SendMessageW(dlg, DM_GETDEFID, 0, 0);
  EXPECT_EQ(HIWORD(static_cast<uintptr_t>(def)), DC_HASDEFID);
  EXPECT_EQ(LOWORD(static_cast<uintptr_t>(def)), IDOK);
  au::PressKey(VK_ESCAPE);
  done.get();
}

TEST_F(DialogTest, EndDialogInsideInitDialogNeverShowsTheBox) {
  static std::atomic<int> shown{0};
  struct Proc {
    static INT_PTR Run(HWND dlg, UINT message, WPARAM, LPARAM) {
      if (message == WM_INITDIALOG) EndDialog(dlg, 42);
      if (message == WM_SHOWWINDOW) shown++;
      return FALSE;
    }
  };
  Template t(false, WS_POPUP | WS_VISIBLE, 50, 20, u"Gone");
  INT_PTR r = gui_.Run([&] { return DialogBoxIndirectParamW(nullptr, t.get(), nullptr, Proc::Run, 0); });
  EXPECT_EQ(r, 42);
  EXPECT_EQ(shown.load(), 0);
}

TEST_F(DialogTest, DamagedTemplatesAreRefused) {
  Template t = Navigation(false);
  t.get();
  std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(t.get()), reinterpret_cast<const uint8_t*>(t.get()) + t.bytes());
  EXPECT_TRUE(ui::ValidateDialogTemplate(bytes.data(), bytes.size()));
  for (size_t cut : {size_t{0}, size_t{10}, size_t{30}, bytes.size() / 2, bytes.size() - 1})
    EXPECT_FALSE(ui::ValidateDialogTemplate(bytes.data(), cut)) << cut;
  EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(64999), nullptr, RecordingProc, 0), -1);
}

TEST_F(DialogTest, OwnerIsDisabledWhileTheModalDialogRunsAndEnabledAfter) {
  HWND owner = gui_.Run([] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"DialogTestOwner";
    RegisterClassExW(&wc);
    return CreateWindowExW(0, u"DialogTestOwner", u"Owner", WS_POPUP | WS_VISIBLE, 10, 10, 200, 100, nullptr, nullptr,
                           nullptr, nullptr);
  });
  Template t = Navigation(false);
  INT_PTR result = 0;
  const DLGTEMPLATE* p = t.get();
  auto done = gui_.Start([&] { result = DialogBoxIndirectParamW(nullptr, p, owner, RecordingProc, 0); });
  ASSERT_NE(WaitDialog(u"Navigation"), nullptr);
  EXPECT_FALSE(IsWindowEnabled(owner));
  au::PressKey(VK_RETURN);
  done.get();
  EXPECT_TRUE(IsWindowEnabled(owner));
  gui_.Run([&] { return DestroyWindow(owner); });
}

// ---------------------------------------------------------------------------------------
// Message box.
struct BoxCase {
  const char* name;
  UINT type;
  std::vector<std::u16string> buttons;  // left to right
  int default_id;
  int on_escape;  // 0: Esc leaves it open
};

TEST_F(DialogTest, MessageBoxButtonSetsDefaultsAndEscape) {
  const BoxCase cases[] = {
      {"ok", MB_OK | MB_ICONINFORMATION, {u"OK"}, IDOK, IDOK},
      {"okcancel", MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2, {u"OK", u"Cancel"}, IDCANCEL, IDCANCEL},
      {"yesno", MB_YESNO | MB_ICONWARNING, {u"&Yes", u"&No"}, IDYES, 0},
      {"yesnocancel", MB_YESNOCANCEL | MB_DEFBUTTON3, {u"&Yes", u"&No", u"Cancel"}, IDCANCEL, IDCANCEL},
      {"retrycancel", MB_RETRYCANCEL | MB_ICONERROR, {u"&Retry", u"Cancel"}, IDRETRY, IDCANCEL},
      {"abortretryignore", MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, {u"&Abort", u"&Retry", u"&Ignore"}, IDRETRY, 0},
  };
  for (const BoxCase& c : cases) {
    SCOPED_TRACE(c.name);
    int result = -1;
    auto done = gui_.Start([&] { result = MessageBoxW(nullptr, u"Something happened.", u"Quorvane FireWire", c.type); });
    HWND box = au::WaitForWindow(WC_DIALOG, u"Quorvane FireWire");
    ASSERT_NE(box, nullptr);
    std::vector<std::u16string> buttons;
    std::vector<LONG> lefts;
    bool text_found = false;
    for (const auto& w : au::Children(box)) {
      if (w.class_name == WC_BUTTONW) buttons.push_back(w.text), lefts.push_back(w.rect.left);
      if (w.class_name == WC_STATICW && w.text == u"Something happened.") text_found = true;
    }
    EXPECT_TRUE(text_found);
    // Children come in creation order, which is left to right.
    EXPECT_EQ(buttons, c.buttons);
    EXPECT_TRUE(std::is_sorted(lefts.begin(), lefts.end()));
    EXPECT_EQ(GetDlgCtrlID(Focus()), c.default_id);
    EXPECT_EQ(au::FindControlById(box, ui::kMessageBoxIconId) != nullptr, (c.type & MB_ICONMASK) != 0);
    au::PressKey(VK_ESCAPE);
    if (c.on_escape == 0) {
      EXPECT_TRUE(IsWindowVisible(box));
      au::PressKey(VK_RETURN);
      done.get();
      EXPECT_EQ(result, c.default_id);
    } else {
      done.get();
      EXPECT_EQ(result, c.on_escape);
    }
  }
}

TEST_F(DialogTest, MessageBoxWrapsLongTextAndAnswersTheButtonClicked) {
  std::u16string text;
  for (int i = 0; i < 40; ++i) text += u"word ";
  int result = -1;
  auto done = gui_.Start([&] { result = MessageBoxW(nullptr, text.c_str(), u"Long", MB_YESNO | MB_ICONQUESTION); });
  HWND box = au::WaitForWindow(WC_DIALOG, u"Long");
  ASSERT_NE(box, nullptr);
  HWND label = au::FindControlById(box, ui::kMessageBoxTextId);
  RECT lr, br;
  GetWindowRect(label, &lr);
  GetWindowRect(box, &br);
  EXPECT_LE(lr.right - lr.left, 420);
  EXPECT_GT(lr.bottom - lr.top, 30);  // more than one line
  EXPECT_LE(br.right - br.left, 520);
  ASSERT_TRUE(au::ClickWindow(au::FindControlByText(box, u"No")));
  done.get();
  EXPECT_EQ(result, IDNO);
}

// A parent that colours its statics and draws the owner-drawn one itself.
INT_PTR PaintingProc(HWND, UINT message, WPARAM wparam, LPARAM lparam) {
  static HBRUSH yellow = CreateSolidBrush(RGB(255, 255, 0));
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_CTLCOLORSTATIC:
      if (GetDlgCtrlID(reinterpret_cast<HWND>(lparam)) == 501) {
        SetTextColor(reinterpret_cast<HDC>(wparam), RGB(0, 0, 255));
        return reinterpret_cast<INT_PTR>(yellow);
      }
      return FALSE;
    case WM_DRAWITEM: {
      auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lparam);
      if (dis->CtlType != ODT_STATIC || dis->CtlID != 502) return FALSE;
      HBRUSH green = CreateSolidBrush(RGB(0, 160, 0));
      RECT r = dis->rcItem;
      r.right /= 2;  // the left half only: the rest stays as the dialog drew it
      FillRect(dis->hDC, &r, green);
      DeleteObject(green);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

TEST_F(DialogTest, StaticsTakeTheParentsColoursAndOwnerDrawnOnesAreDrawnByIt) {
  Template t(false, WS_POPUP | WS_VISIBLE, 120, 60, u"Statics");
  t.Item(u"Static", u"Coloured", 501, SS_LEFT, 5, 5, 100, 10)
      .Item(u"Static", u"", 502, SS_OWNERDRAW, 5, 20, 100, 10)
      .Item(u"Static", u"", 503, SS_ETCHEDHORZ, 5, 40, 100, 2);
  HWND dlg = gui_.Run([&] { return CreateDialogIndirectParamW(nullptr, t.get(), nullptr, PaintingProc, 0); });
  ASSERT_NE(dlg, nullptr);
  au::WaitForIdle();
  HWND coloured = au::FindControlById(dlg, 501), owner = au::FindControlById(dlg, 502), line = au::FindControlById(dlg, 503);
  RECT r;
  GetClientRect(coloured, &r);
  EXPECT_EQ(au::WindowPixel(coloured, r.right - 2, r.bottom - 1), RGB(255, 255, 0));
  bool blue_text = false;
  for (int x = 0; x < r.right / 2 && !blue_text; ++x)
    for (int y = 0; y < r.bottom; ++y) {
      COLORREF c = au::WindowPixel(coloured, x, y);
      if (GetBValue(c) > 150 && GetRValue(c) < 100) blue_text = true;
    }
  EXPECT_TRUE(blue_text);
  GetClientRect(owner, &r);
  EXPECT_EQ(au::WindowPixel(owner, 2, 2), RGB(0, 160, 0));
  EXPECT_EQ(au::WindowPixel(owner, r.right - 2, 2), GetSysColor(COLOR_3DFACE));
  EXPECT_EQ(au::WindowPixel(line, 10, 0), GetSysColor(COLOR_3DSHADOW));
  EXPECT_EQ(au::WindowPixel(line, 10, 1), GetSysColor(COLOR_3DHIGHLIGHT));
  gui_.Run([&] { return DestroyWindow(dlg); });
}

// ---------------------------------------------------------------------------------------
// Progress bar.
TEST_F(DialogTest, ProgressBarFillsItsRangeAndShowsItsState) {
  Template t(false, WS_POPUP | WS_VISIBLE, 140, 30, u"Progress");
  t.Item(PROGRESS_CLASSW, u"", 401, PBS_SMOOTH, 10, 10, 100, 10);
  HWND dlg = gui_.Run([&] { return CreateDialogIndirectParamW(nullptr, t.get(), nullptr, RecordingProc, 0); });
  ASSERT_NE(dlg, nullptr);
  HWND bar = au::FindControlById(dlg, 401);
  RECT r;
  GetClientRect(bar, &r);
  gui_.Run([&] {
    SendMessageW(bar, PBM_SETRANGE32, 100, 300);
    return SendMessageW(bar, PBM_SETPOS, 200, 0);
  });
  au::WaitForIdle();
  int mid = r.bottom / 2, inner = r.right - 4;
  EXPECT_EQ(au::WindowPixel(bar, 2 + inner / 2 - 2, mid), GetSysColor(COLOR_HIGHLIGHT));
  EXPECT_EQ(au::WindowPixel(bar, 2 + inner / 2 + 2, mid), GetSysColor(COLOR_3DFACE));
  EXPECT_EQ(gui_.Run([&] { return SendMessageW(bar, PBM_SETPOS, 1000, 0); }), 200);
  EXPECT_EQ(gui_.Run([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0); }), 300);  // clamped
  EXPECT_EQ(gui_.Run([&] { return SendMessageW(bar, PBM_SETSTATE, PBST_ERROR, 0); }), static_cast<LRESULT>(PBST_NORMAL));
  au::WaitForIdle();
  COLORREF err = au::WindowPixel(bar, r.right - 4, mid);
  EXPECT_GT(GetRValue(err), 150);
  EXPECT_LT(GetGValue(err), 80);
  // Marquee only with its style.
  EXPECT_EQ(gui_.Run([&] { return SendMessageW(bar, PBM_SETMARQUEE, TRUE, 10); }), FALSE);
  gui_.Run([&] { return DestroyWindow(dlg); });
}

}  // namespace
}  // namespace win32
