// CWaitDialog: the grace period, the race closure at the end of the box's initialisation,
// the box the keyboard cannot close, and the wrapping of its message. Timing is measured with
// real sleeps and loose bounds (the box's rules are about 500 and 100 ms, far from the slack).
#include "tray/wait_dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/ui/automation.h"
#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"
#include "platform/ui/gdi.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"

namespace tray {
namespace {

using namespace win32;
using Clock = std::chrono::steady_clock;
namespace au = win32::automation;

int Ms(Clock::duration d) { return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); }

HWND FindBox() {
  for (const auto& w : au::TopLevelWindows())
    if (w.class_name == WC_DIALOG && w.text == CWaitDialog::kTitle) return w.hwnd;
  return nullptr;
}

// Watches the screen from another thread: when the box was first seen visible.
class BoxWatcher {
 public:
  explicit BoxWatcher(Clock::time_point start) : start_(start) {
    thread_ = std::thread([this] {
      while (!stop_) {
        for (const auto& w : au::TopLevelWindows())
          if (w.class_name == WC_DIALOG && w.text == CWaitDialog::kTitle && w.visible && first_ms_ < 0)
            first_ms_ = Ms(Clock::now() - start_);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  ~BoxWatcher() {
    stop_ = true;
    thread_.join();
  }
  int first_seen_ms() const { return first_ms_; }

 private:
  Clock::time_point start_;
  std::atomic<bool> stop_{false};
  std::atomic<int> first_ms_{-1};
  std::thread thread_;
};

struct Outcome {
  int result = 0;
  int took_ms = 0;
  int seen_ms = -1;
};

Outcome RunFor(uitest::GuiThread& gui, boost::function<void()> op, const char16_t* text = u"Mount image") {
  Outcome r;
  auto start = Clock::now();
  BoxWatcher watch(start);
  gui.Run([&] {
    CWaitDialog d(nullptr, text, op);
    r.result = d.DoModal();
    return 0;
  });
  r.took_ms = Ms(Clock::now() - start);
  r.seen_ms = watch.first_seen_ms();
  return r;
}

boost::function<void()> Sleeper(int ms) {
  return [ms] { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
}

TEST(CWaitDialog, AShortOperationShowsNoBox) {
  uitest::GuiThread gui;
  Outcome r = RunFor(gui, Sleeper(100));
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.seen_ms, -1);
  EXPECT_GE(r.took_ms, 100);
  EXPECT_LT(r.took_ms, 450);
}

TEST(CWaitDialog, AnOperationEndingJustAfterTheGraceLeavesNoBoxBehind) {
  uitest::GuiThread gui;
  for (int ms : {520, 560, 590}) {
    Outcome r = RunFor(gui, Sleeper(ms));
    EXPECT_EQ(r.result, 1) << ms;
    EXPECT_EQ(FindBox(), nullptr) << ms;
    EXPECT_LT(r.took_ms, ms + 400) << ms;  // not kept waiting for a post that went nowhere
  }
}

TEST(CWaitDialog, ALongOperationShowsTheBoxAfterTheGraceAndTheKeysDoNotCloseIt) {
  uitest::GuiThread gui;
  std::atomic<bool> release{false};
  auto start = Clock::now();
  int result = 0;
  auto done = gui.Start([&] {
    CWaitDialog d(nullptr, u"Creating device", [&] {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    result = d.DoModal();
  });
  HWND box = au::WaitForWindow(WC_DIALOG, CWaitDialog::kTitle, 3000);
  int seen = Ms(Clock::now() - start);
  ASSERT_NE(box, nullptr);
  EXPECT_GE(seen, 480);
  // Centred on the screen's work area, with the message and the playing clip.
  RECT wr, work;
  GetWindowRect(box, &wr);
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_LE(std::abs((wr.left + wr.right) - (work.left + work.right)), 1);
  HWND text = au::FindControlById(box, CWaitDialog::kTextId);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(au::Describe(text)->text, u"Creating device");
  HWND anim = au::FindControlById(box, CWaitDialog::kAnimationId);
  ASSERT_NE(anim, nullptr);
  RECT ar;
  GetWindowRect(anim, &ar);
  POINT o{0, 0};
  ClientToScreen(box, &o);
  EXPECT_EQ(ar.left - o.x, 25);
  EXPECT_EQ(ar.right - ar.left, 33);
  EXPECT_EQ(ar.bottom - ar.top, 33);
  EXPECT_EQ(SendMessageW(anim, ACM_ISPLAYING, 0, 0), TRUE);
  EXPECT_FALSE(IsWindowVisible(au::FindControlById(box, CWaitDialog::kCancelId)));
  // The one-pixel frame in the active border colour.
  EXPECT_EQ(au::ScreenPixel(o.x, o.y + 10), GetSysColor(COLOR_ACTIVEBORDER));
  au::PressKey(VK_ESCAPE);
  au::PressKey(VK_RETURN);
  au::PressKey(VK_F4, au::kAlt);
  au::WaitForIdle();
  EXPECT_TRUE(IsWindowVisible(box));
  release = true;
  done.get();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(FindBox(), nullptr);
}

TEST(CWaitDialog, AThrowingOrEmptyOperationEndsNormally) {
  uitest::GuiThread gui;
  Outcome thrown = RunFor(gui, [] { throw std::runtime_error("device gone"); });
  EXPECT_EQ(thrown.result, 1);
  Outcome empty = RunFor(gui, boost::function<void()>());
  EXPECT_EQ(empty.result, 1);
  Outcome late = RunFor(gui, [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    throw 42;
  });
  EXPECT_EQ(late.result, 1);
  EXPECT_GE(late.seen_ms, 450);
  EXPECT_EQ(FindBox(), nullptr);
}

TEST(CWaitDialog, TheOperationRunsOnAnotherThread) {
  uitest::GuiThread gui;
  std::atomic<DWORD> ran_on{0};
  RunFor(gui, [&] { ran_on = GetCurrentThreadId(); });
  EXPECT_NE(ran_on.load(), 0u);
  EXPECT_NE(ran_on.load(), gui.id());
}

// Every character 10 pixels wide; the available width 100: a line is cut once it reaches 95.
int Tens(const std::u16string& s) { return static_cast<int>(s.size()) * 10; }

TEST(CWaitDialog, WrappingCutsAfterTheLastSpaceOrInsideALongWord) {
  struct Case {
    const char* name;
    std::u16string text;
    std::vector<std::u16string> lines;
  } cases[] = {
      {"fits", u"short", {u"short"}},
      {"at a space", u"aaaa bbbb cccc", {u"aaaa bbbb ", u"cccc"}},
      {"back to the last space", u"aaa bbbbbbbbb", {u"aaa ", u"bbbbbbbbb"}},
      {"space kept at the end", u"aaaaaaaa bb", {u"aaaaaaaa ", u"bb"}},
      {"long word cut inside", u"abcdefghijklmnop", {u"abcdefghij", u"klmnop"}},
      {"a space at the cut counts", u"aaaaaaaaa bbbb", {u"aaaaaaaaa ", u"bbbb"}},
  };
  for (const Case& c : cases) EXPECT_EQ(WrapWaitText(c.text, 100, Tens), c.lines) << c.name;
}

TEST(CWaitDialog, AWideMessageIsWrappedAndCentredVertically) {
  uitest::GuiThread gui;
  std::atomic<bool> release{false};
  std::u16string msg = u"Unmount image from the virtual device while the client still reads from it";
  auto done = gui.Start([&] {
    CWaitDialog d(nullptr, msg.c_str(), [&] {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    d.DoModal();
  });
  HWND box = au::WaitForWindow(WC_DIALOG, CWaitDialog::kTitle, 3000);
  ASSERT_NE(box, nullptr);
  HWND text = au::FindControlById(box, CWaitDialog::kTextId);
  std::u16string shown = au::Describe(text)->text;
  size_t lines = 0;
  for (size_t p = shown.find(u"\r\n"); p != std::u16string::npos; p = shown.find(u"\r\n", p + 2)) ++lines;
  EXPECT_GE(lines, 2u);
  EXPECT_EQ(shown.substr(shown.size() - 2), u"\r\n");
  RECT tr, br;
  GetWindowRect(text, &tr);
  GetClientRect(box, &br);
  POINT o{0, 0};
  ClientToScreen(box, &o);
  EXPECT_LE(std::abs((tr.top - o.y) + (tr.bottom - o.y) - br.bottom), 1);
  release = true;
  done.get();
}

}  // namespace
}  // namespace tray
