#include "platform/afx/afx.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ui/ui_test_support.h"

namespace win32 {
namespace {

using uitest::GuiThread;

UINT g_registered = 0;

// A window that logs which handler ran, in order.
class LogWnd : public CWnd {
 public:
  std::vector<std::string> log;
  bool enable_200 = true;

  void OnOne() { log.push_back("command 100"); }
  void OnRange(UINT id) { log.push_back("range " + std::to_string(id)); }
  void OnUpdateOne(CCmdUI* ui) {
    log.push_back("update " + std::to_string(ui->m_nID));
  }
  void OnUpdate200(CCmdUI* ui) {
    log.push_back("update 200");
    ui->Enable(enable_200);
  }
  void On200() { log.push_back("command 200"); }
  void OnClicked() { log.push_back("clicked 300"); }
  void OnNotifyClick(NMHDR* h, LRESULT* r) {
    log.push_back("notify " + std::to_string(h->idFrom));
    *r = 77;
  }
  LRESULT OnUser(WPARAM w, LPARAM) {
    log.push_back("user " + std::to_string(w));
    return 5;
  }
  LRESULT OnRegistered(WPARAM, LPARAM l) {
    log.push_back("registered " + std::to_string(l));
    return 6;
  }
  void OnTimer(UINT_PTR id) { log.push_back("timer " + std::to_string(id)); }

  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(LogWnd, CWnd)
  ON_COMMAND(100, OnOne)
  ON_UPDATE_COMMAND_UI(100, OnUpdateOne)
  ON_COMMAND_RANGE(1300, 1320, OnRange)
  ON_UPDATE_COMMAND_UI(200, OnUpdate200)
  ON_COMMAND(200, On200)
  ON_BN_CLICKED(300, OnClicked)
  ON_NOTIFY(static_cast<UINT>(-2), 400, OnNotifyClick)
  ON_MESSAGE(WM_USER + 2, OnUser)
  ON_REGISTERED_MESSAGE(g_registered, OnRegistered)
  ON_WM_TIMER()
END_MESSAGE_MAP()

// A derived window: its own entry wins over the base's, and the base's others still apply.
class DerivedWnd : public LogWnd {
 public:
  void OnOneAgain() { log.push_back("derived 100"); }
  DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(DerivedWnd, LogWnd)
  ON_COMMAND(100, OnOneAgain)
END_MESSAGE_MAP()

class AfxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ResetMessageBoxes();
    testing::SetMessageBoxAnswer(IDOK);  // boxes answered by script, not shown
  }
  GuiThread gui_;
};

template <class W>
W* MakeWindow(GuiThread& gui) {
  return gui.Run([] {
    auto* w = new W;
    EXPECT_TRUE(w->CreateEx(0, AfxRegisterWndClass(CS_DBLCLKS), u"log", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    return w;
  });
}

TEST_F(AfxTest, MessageMapDispatch) {
  g_registered = RegisterWindowMessageW(u"{4EA84FBF-A61C-4D14-9682-6B68ACC34A69}");
  LogWnd* w = MakeWindow<LogWnd>(gui_);
  HWND button = gui_.Run([w] {
    return CreateWindowExW(0, AfxRegisterWndClass(0), u"b", WS_CHILD, 0, 0, 5, 5, w->m_hWnd,
                           reinterpret_cast<HMENU>(uintptr_t{300}), nullptr, nullptr);
  });
  NMHDR nm{button, 400, static_cast<UINT>(-2)};
  NMHDR nm_other{button, 401, static_cast<UINT>(-2)};
  struct Case {
    const char* name;
    UINT message;
    WPARAM w;
    LPARAM l;
    std::vector<std::string> log;
    LRESULT result;
  } cases[] = {
      {"menu command with enabling handler", WM_COMMAND, 100, 0, {"update 100", "command 100"}, 1},
      {"range first", WM_COMMAND, 1300, 0, {"range 1300"}, 1},
      {"range last", WM_COMMAND, 1320, 0, {"range 1320"}, 1},
      {"past the range", WM_COMMAND, 1321, 0, {}, 0},
      {"control notification", WM_COMMAND, MAKELPARAM(300, BN_CLICKED), reinterpret_cast<LPARAM>(button),
       {"clicked 300"}, 1},
      {"other control code", WM_COMMAND, MAKELPARAM(300, 5), reinterpret_cast<LPARAM>(button), {}, 0},
      {"notify", WM_NOTIFY, 400, reinterpret_cast<LPARAM>(&nm), {"notify 400"}, 77},
      {"notify of another control", WM_NOTIFY, 401, reinterpret_cast<LPARAM>(&nm_other), {}, 0},
      {"message", WM_USER + 2, 1, 0, {"user 1"}, 5},
      {"registered message", 0, 0, 9, {"registered 9"}, 6},
      {"timer", WM_TIMER, 4564, 0, {"timer 4564"}, 0},
      {"unhandled command 515", WM_COMMAND, 515, 0, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const UINT message = c.message == 0 ? g_registered : c.message;
    LRESULT r = gui_.Run([&] {
      w->log.clear();
      return SendMessageW(w->m_hWnd, message, c.w, c.l);
    });
    EXPECT_EQ(w->log, c.log);
    EXPECT_EQ(r, c.result);
  }
  gui_.Run([w] { delete w; });
}

// The enabling handler runs once, before the command, and a command it disables is dropped.
TEST_F(AfxTest, EnablingHandlerOnceBeforeTheCommand) {
  LogWnd* w = MakeWindow<LogWnd>(gui_);
  auto send = [&](bool enable) {
    return gui_.Run([&] {
      w->log.clear();
      w->enable_200 = enable;
      SendMessageW(w->m_hWnd, WM_COMMAND, 200, 0);
      return w->log;
    });
  };
  EXPECT_EQ(send(true), (std::vector<std::string>{"update 200", "command 200"}));
  EXPECT_EQ(send(false), (std::vector<std::string>{"update 200"}));
  // A posted menu command takes the same path through the loop.
  gui_.Run([&] {
    w->log.clear();
    w->enable_200 = true;
    PostMessageW(w->m_hWnd, WM_COMMAND, 200, 0);
  });
  gui_.Run([] {});
  EXPECT_EQ(gui_.Run([&] { return w->log; }), (std::vector<std::string>{"update 200", "command 200"}));
  gui_.Run([w] { delete w; });
}

TEST_F(AfxTest, DerivedEntriesComeFirstAndBaseEntriesStillApply) {
  DerivedWnd* w = MakeWindow<DerivedWnd>(gui_);
  auto log = gui_.Run([w] {
    SendMessageW(w->m_hWnd, WM_COMMAND, 100, 0);
    SendMessageW(w->m_hWnd, WM_COMMAND, 1305, 0);
    return w->log;
  });
  EXPECT_EQ(log, (std::vector<std::string>{"update 100", "derived 100", "range 1305"}));
  gui_.Run([w] { delete w; });
}

TEST_F(AfxTest, HandleMapsPermanentAndTemporary) {
  gui_.Run([] {
    LogWnd w;
    ASSERT_TRUE(w.CreateEx(0, AfxRegisterWndClass(0), u"x", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr));
    EXPECT_EQ(CWnd::FromHandlePermanent(w.m_hWnd), &w);
    EXPECT_EQ(CWnd::FromHandle(w.m_hWnd), &w);
    // A window of a plain class gets a temporary object, the same one until the maps are cleared.
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"AfxTestPlain";
    RegisterClassExW(&wc);
    HWND plain = CreateWindowExW(0, u"AfxTestPlain", u"p", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    CWnd* temp = CWnd::FromHandle(plain);
    EXPECT_EQ(CWnd::FromHandlePermanent(plain), nullptr);
    EXPECT_EQ(CWnd::FromHandle(plain), temp);
    EXPECT_EQ(temp->GetWindowText(), u"p");
    AfxDeleteTempMaps();
    EXPECT_TRUE(IsWindow(plain));  // a temporary object never destroys its window
    // Subclassing routes the plain window through a map.
    LogWnd sub;
    ASSERT_TRUE(sub.SubclassWindow(plain));
    SendMessageW(plain, WM_COMMAND, 1310, 0);
    EXPECT_EQ(sub.log, (std::vector<std::string>{"range 1310"}));
    EXPECT_EQ(sub.UnsubclassWindow(), plain);
    DestroyWindow(plain);
    HWND h = w.m_hWnd;
    w.DestroyWindow();
    EXPECT_EQ(w.m_hWnd, nullptr);
    EXPECT_EQ(CWnd::FromHandlePermanent(h), nullptr);
  });
}

// The application: InitInstance, the loop, and its end when the main window goes.
class LoopApp : public CWinApp {
 public:
  LoopApp() : CWinApp(nullptr) {}
  BOOL InitInstance() override {
    auto* w = new SelfDeleting;
    if (!w->CreateEx(0, AfxRegisterWndClass(0), u"main", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr)) return FALSE;
    m_pMainWnd = w;
    // "Exit" as the program does it: the main window destroyed from a command.
    w->PostMessage(WM_COMMAND, ID_APP_EXIT);
    return init_result;
  }
  int ExitInstance() override {
    exited = true;
    return CWinApp::ExitInstance() + 40;
  }
  class SelfDeleting : public CWnd {
   public:
    void OnExit() { DestroyWindow(); }
    void PostNcDestroy() override { delete this; }
    DECLARE_MESSAGE_MAP()
  };
  BOOL init_result = TRUE;
  bool exited = false;
};
BEGIN_MESSAGE_MAP(LoopApp::SelfDeleting, CWnd)
  ON_COMMAND(ID_APP_EXIT, OnExit)
END_MESSAGE_MAP()

TEST_F(AfxTest, TheLoopEndsWhenTheMainWindowIsDestroyed) {
  auto result = gui_.Run([] {
    LoopApp app;
    testing::SetModuleFileName(u"/opt/q/Skellmere.exe");
    const int code = AfxWinMain();
    testing::SetModuleFileName(u"");
    return std::make_tuple(code, app.exited, app.m_pMainWnd == nullptr, app.m_strAppName);
  });
  EXPECT_EQ(std::get<0>(result), 40);
  EXPECT_TRUE(std::get<1>(result));
  EXPECT_TRUE(std::get<2>(result));
  EXPECT_EQ(std::get<3>(result), u"Skellmere");  // no title string: the program file's name
}

TEST_F(AfxTest, AFailedStartRunsNoLoop) {
  auto exited = gui_.Run([] {
    LoopApp app;
    app.init_result = FALSE;
    const int code = AfxWinMain();
    EXPECT_EQ(code, 40);
    EXPECT_EQ(app.m_pMainWnd, nullptr);  // destroyed by the framework
    return app.exited;
  });
  EXPECT_TRUE(exited);
}

TEST_F(AfxTest, ExceptionsReportTheirStandardTexts) {
  gui_.Run([] {
    CWinApp app(u"Quorvane FireWire");
    struct Case {
      void (*thrower)();
      const char16_t* text;
    } cases[] = {
        {[] { AfxThrowMemoryException(); }, u"Out of memory."},
        {[] { AfxThrowResourceException(); }, u"A required resource was unavailable."},
        {[] {
           testing::FailNextAfxAllocations(1);
           delete AfxNew<CWnd>();
         },
         u"Out of memory."},
    };
    for (const Case& c : cases) {
      try {
        c.thrower();
        ADD_FAILURE() << "nothing thrown";
      } catch (CException* e) {
        WCHAR buffer[8];
        e->GetErrorMessage(buffer, 8);
        EXPECT_EQ(std::u16string(buffer), std::u16string(c.text).substr(0, 7));  // cut to the buffer
        e->ReportError();
        e->Delete();
      }
    }
    auto boxes = testing::MessageBoxesShown();
    ASSERT_EQ(boxes.size(), 3u);
    for (size_t i = 0; i < boxes.size(); ++i) {
      EXPECT_EQ(boxes[i].text, cases[i].text);
      EXPECT_EQ(boxes[i].caption, u"Quorvane FireWire");
    }
    delete AfxNew<CWnd>();  // the failure was used up
  });
}

// A control for the exchange tests: text kept by the window, a check state of its own, and
// the limit it was given.
LRESULT ControlProc(HWND hwnd, UINT m, WPARAM w, LPARAM l) {
  if (m == 0x00F0) return GetWindowLongPtrW(hwnd, GWLP_USERDATA);  // BM_GETCHECK
  if (m == 0x00F1) {                                                 // BM_SETCHECK
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(w));
    return 0;
  }
  if (m == 0x00C5) {  // EM_LIMITTEXT
    SetWindowLongPtrW(hwnd, 0, static_cast<LONG_PTR>(w));
    return 0;
  }
  return DefWindowProcW(hwnd, m, w, l);
}

class ExchangeWnd : public CWnd {
 public:
  std::u16string vendor = u"KORVEN";
  int mac = 1;
  CWnd bound;
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Text(dx, 10, vendor);
    DDV_MaxChars(dx, vendor, 8);
    DDX_Check(dx, 11, mac);
    DDX_Control(dx, 12, bound);
  }
};

TEST_F(AfxTest, DataExchangeBothWays) {
  gui_.Run([] {
    CWinApp app(u"Quorvane FireWire");
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ControlProc;
    wc.cbWndExtra = 8;
    wc.lpszClassName = u"AfxTestControl";
    RegisterClassExW(&wc);
    ExchangeWnd w;
    ASSERT_TRUE(w.CreateEx(0, AfxRegisterWndClass(0), u"d", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr));
    HWND controls[3];
    for (int i = 0; i < 3; ++i)
      controls[i] = CreateWindowExW(0, u"AfxTestControl", u"", WS_CHILD, 0, 0, 5, 5, w.m_hWnd,
                                    reinterpret_cast<HMENU>(uintptr_t(10 + i)), nullptr, nullptr);
    ASSERT_TRUE(w.UpdateData(FALSE));
    EXPECT_EQ(w.GetDlgItemText(10), u"KORVEN");
    EXPECT_EQ(GetWindowLongPtrW(controls[0], 0), 8);  // the limit given to the control
    EXPECT_EQ(w.IsDlgButtonChecked(11), 1u);
    EXPECT_EQ(w.bound.m_hWnd, controls[2]);

    w.SetDlgItemText(10, u"ACME");
    w.CheckDlgButton(11, 0);
    ASSERT_TRUE(w.UpdateData(TRUE));
    EXPECT_EQ(w.vendor, u"ACME");
    EXPECT_EQ(w.mac, 0);

    // Too long: refused with the framework's message, the value kept.
    w.SetDlgItemText(10, u"TOO LONG NAME");
    EXPECT_FALSE(w.UpdateData(TRUE));
    EXPECT_EQ(w.vendor, u"TOO LONG NAME");  // the text was read before the check, as the framework does
    auto boxes = testing::MessageBoxesShown();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, u"Please enter no more than 8 characters.");
    EXPECT_EQ(boxes[0].caption, u"Quorvane FireWire");
    EXPECT_EQ(GetFocus(), controls[0]);

    // A missing control is a resource failure, reported.
    DestroyWindow(controls[1]);
    testing::ResetMessageBoxes();
    testing::SetMessageBoxAnswer(IDOK);
    w.SetDlgItemText(10, u"OK");
    EXPECT_FALSE(w.UpdateData(TRUE));
    ASSERT_EQ(testing::MessageBoxesShown().size(), 1u);
    EXPECT_EQ(testing::MessageBoxesShown()[0].text, u"A required resource was unavailable.");
    w.bound.UnsubclassWindow();
  });
}

// A dialog as the dialog manager runs it: the class procedure hands WM_INITDIALOG to the
// dialog procedure (here directly), and the framework routes everything else.
class DeviceDialog : public CDialog {
 public:
  DeviceDialog() : CDialog(136) {}
  std::u16string vendor = u"KORVEN";
  bool init_seen = false;
  BOOL OnInitDialog() override {
    init_seen = true;
    return CDialog::OnInitDialog();
  }
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Text(dx, 10, vendor);
    DDV_MaxChars(dx, vendor, 8);
  }
};

TEST_F(AfxTest, DialogRoutesThroughItsMapAndExchangesOnOk) {
  gui_.Run([] {
    CWinApp app(u"Quorvane FireWire");
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ControlProc;
    wc.cbWndExtra = 8;
    wc.lpszClassName = u"AfxTestDialogish";
    RegisterClassExW(&wc);
    DeviceDialog dlg;
    HWND hwnd = CreateWindowExW(0, u"AfxTestDialogish", u"Device settings", WS_POPUP, 0, 0, 100, 100, nullptr,
                                nullptr, nullptr, nullptr);
    HWND edit = CreateWindowExW(0, u"AfxTestDialogish", u"", WS_CHILD, 0, 0, 5, 5, hwnd,
                                reinterpret_cast<HMENU>(uintptr_t{10}), nullptr, nullptr);
    EXPECT_TRUE(CDialog::AfxDlgProc(hwnd, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&dlg)));
    EXPECT_TRUE(dlg.init_seen);
    EXPECT_EQ(CWnd::FromHandlePermanent(hwnd), &dlg);
    EXPECT_EQ(dlg.GetDlgItemText(10), u"KORVEN");
    EXPECT_EQ(GetWindowLongPtrW(edit, 0), 8);

    // OK with a text too long: the dialog stays; Cancel ends it; OK with a fitting text ends it.
    SetWindowTextW(edit, u"NINE CHARS");
    SendMessageW(hwnd, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(dlg.m_nModalResult, -1);
    SendMessageW(hwnd, WM_COMMAND, MAKELPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(edit));
    EXPECT_EQ(dlg.m_nModalResult, IDCANCEL);
    SetWindowTextW(edit, u"ACME");
    SendMessageW(hwnd, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(dlg.m_nModalResult, IDOK);
    EXPECT_EQ(dlg.vendor, u"ACME");
    DestroyWindow(hwnd);
    EXPECT_EQ(dlg.m_hWnd, nullptr);

    // A template the resources do not hold makes no dialog.
    CDialog missing(4242);
    EXPECT_EQ(missing.DoModal(), -1);
    EXPECT_FALSE(missing.Create(4242));
  });
}

}  // namespace
}  // namespace win32
