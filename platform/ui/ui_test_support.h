// Test helpers for the window-framework stand-in: a GUI thread that runs a message loop
// and executes closures on itself, as a program's GUI thread would.
#pragma once

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "platform/ui/window.h"

namespace win32::uitest {

// A thread with a message loop. Run() executes a closure on it (through a posted thread
// message) and returns its result; the closure may itself run modal loops.
class GuiThread {
 public:
  GuiThread() {
    std::promise<DWORD> id;
    auto f = id.get_future();
    thread_ = std::thread([this, &id] {
      MSG m;
      PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
      id.set_value(GetCurrentThreadId());
      while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        if (m.hwnd == nullptr && m.message == kRun) {
          (*reinterpret_cast<std::function<void()>*>(m.lParam))();
          continue;
        }
        TranslateMessage(&m);
        DispatchMessageW(&m);
      }
    });
    tid_ = f.get();
  }
  ~GuiThread() {
    PostThreadMessageW(tid_, WM_QUIT, 0, 0);
    thread_.join();
  }
  DWORD id() const { return tid_; }

  // Runs `f` on the thread and waits for it.
  template <typename F>
  auto Run(F f) -> decltype(f()) {
    using R = decltype(f());
    std::packaged_task<R()> task(std::move(f));
    auto result = task.get_future();
    Post([&task] { task(); });
    return result.get();
  }
  // Starts `f` on the thread without waiting (for closures that run a modal loop).
  std::future<void> Start(std::function<void()> f) {
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(f));
    auto result = task->get_future();
    Post([task] { (*task)(); });
    return result;
  }

 private:
  static constexpr UINT kRun = WM_APP + 0x3FF0;
  void Post(std::function<void()> f) {
    // Owned by the loop: it deletes itself after running. A modal loop on the thread would
    // drop thread messages, as the platform's do: tests do not Run() into a modal loop.
    auto* self_deleting = new std::function<void()>();
    *self_deleting = [f = std::move(f), self_deleting] {
      f();
      delete self_deleting;
    };
    PostThreadMessageW(tid_, kRun, 0, reinterpret_cast<LPARAM>(self_deleting));
  }
  std::thread thread_;
  DWORD tid_ = 0;
};

}  // namespace win32::uitest
