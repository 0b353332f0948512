// Window manager: classes, windows, queues, sends, timers, hooks, input.
//
// One lock (g_mu) guards every window, class, queue, timer and hook record. It is never held
// while a window procedure, hook or timer procedure runs: those are called with copies of
// what they need, and a window may be gone by the time its call starts (the call then does
// nothing, as a send to a destroyed window returns 0 on the platform).

#include "platform/ui/window.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <unordered_map>

#include "platform/ui/gdi.h"
#include "platform/ui/text.h"
#include "platform/ui/ui_internal.h"

namespace win32 {
namespace {

using Clock = std::chrono::steady_clock;

struct ClassRecord {
  WNDCLASSEXW wc;
  std::u16string name;
  int windows = 0;
};

struct Window {
  uintptr_t handle = 0;
  std::shared_ptr<ClassRecord> cls;
  WNDPROC proc = nullptr;
  HWND parent = nullptr;  // children only
  HWND owner = nullptr;   // top-level windows only
  DWORD style = 0;
  DWORD ex_style = 0;
  std::u16string text;
  RECT rect{};  // screen coordinates
  LONG_PTR id = 0;
  LONG_PTR user_data = 0;
  HINSTANCE instance = nullptr;
  DWORD thread = 0;
  std::vector<LONG_PTR> extra;
  std::vector<HWND> children;  // top of the z-order first
  bool destroying = false;
  bool nc_dirty = true;
  bool update_pending = false;
  bool erase_pending = false;
  RECT update{};  // client coordinates
  std::shared_ptr<ui::Surface> surface;  // top-level windows
};

struct SentMessage {
  HWND hwnd;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  LRESULT result = 0;
  bool done = false;
  bool notify_only = false;  // SendNotifyMessage: nobody waits
  std::shared_ptr<struct ThreadQueue> sender;
};

struct Hook {
  int id;
  HOOKPROC proc;
  DWORD thread;
  bool alive = true;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT elapse;
  TIMERPROC proc;
  Clock::time_point due;
};

// A posted message; input messages carry the key state of the moment they were made, which
// GetKeyState answers once the thread has retrieved them (the platform's synchronous state).
struct Posted : MSG {
  Posted(const MSG& m) : MSG(m) {}  // NOLINT: a MSG is posted as it is
  bool input = false;
  uint8_t shift = 0, ctrl = 0, alt = 0;
};

struct ThreadQueue {
  DWORD thread = 0;
  std::condition_variable cv;
  std::deque<std::shared_ptr<SentMessage>> incoming;
  std::deque<Posted> posted;
  bool have_keys = false;  // a retrieved input message set the three below
  uint8_t shift = 0, ctrl = 0, alt = 0;
  std::vector<Timer> timers;
  std::vector<std::shared_ptr<Hook>> hooks;  // most recently installed first
  std::vector<std::shared_ptr<SentMessage>> running;  // sends being run, innermost last
  bool quit = false;
  int quit_code = 0;
  bool idle = false;  // waiting with nothing to do
  bool gone = false;
  MSG last{};
};

std::mutex g_mu;
std::condition_variable g_idle_cv;
std::unordered_map<uintptr_t, std::unique_ptr<Window>> g_windows;
std::vector<HWND> g_top;  // top-level windows, top of the z-order first
std::map<std::u16string, std::shared_ptr<ClassRecord>> g_classes;
std::map<std::u16string, UINT> g_registered_messages;
std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> g_queues;
uintptr_t g_next_handle = 0x10010;
HWND g_focus = nullptr;
HWND g_capture = nullptr;
HWND g_active = nullptr;
HWND g_foreground = nullptr;
POINT g_cursor{512, 384};
uint8_t g_keys[256] = {};  // bit 0x80 down, 0x01 toggled
UINT g_double_click_ms = 500;
int g_screen_w = 1024, g_screen_h = 768, g_taskbar_h = 30;
bool g_client_animation = true;
struct LastClick {
  HWND hwnd = nullptr;
  UINT message = 0;
  POINT pt{};
  Clock::time_point when{};
} g_last_click;

HWND ToHwnd(uintptr_t h) { return reinterpret_cast<HWND>(h); }

Window* Find(HWND hwnd) {  // g_mu held
  auto it = g_windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == g_windows.end() ? nullptr : it->second.get();
}

std::u16string Lower(std::u16string s) {
  for (auto& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return s;
}

std::u16string ClassKey(LPCWSTR name) {
  if (name == nullptr) return u"";
  if (IS_INTRESOURCE(name)) return u"#" + std::u16string(1, static_cast<char16_t>(LOWORD(reinterpret_cast<uintptr_t>(name))));
  return Lower(name);
}

std::shared_ptr<ThreadQueue> QueueOf(DWORD tid) {  // g_mu held
  auto it = g_queues.find(tid);
  return it == g_queues.end() ? nullptr : it->second;
}

void DestroyThreadWindows(DWORD tid);

// Each thread that uses the window manager gets its queue on first use; the queue goes
// with the thread, and so do its windows and hooks, as on the platform.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    std::lock_guard lk(g_mu);
    DestroyThreadWindows(queue->thread);
    queue->gone = true;
    for (auto& sm : queue->incoming) {
      sm->done = true;
      if (sm->sender) sm->sender->cv.notify_all();
    }
    queue->incoming.clear();
    g_queues.erase(queue->thread);
    g_idle_cv.notify_all();
  }
};
thread_local QueueHolder t_queue;

ThreadQueue& Self() {  // g_mu held
  if (!t_queue.queue) {
    t_queue.queue = std::make_shared<ThreadQueue>();
    t_queue.queue->thread = GetCurrentThreadId();
    g_queues[t_queue.queue->thread] = t_queue.queue;
  }
  return *t_queue.queue;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

void Wake(ThreadQueue& q) {
  q.idle = false;
  q.cv.notify_all();
}

HWND TopLevelOf(HWND hwnd) {  // g_mu held
  Window* w = Find(hwnd);
  while (w != nullptr && w->parent != nullptr) w = Find(w->parent);
  return w == nullptr ? nullptr : ToHwnd(w->handle);
}

void RemoveFromList(std::vector<HWND>& list, HWND h) {
  list.erase(std::remove(list.begin(), list.end(), h), list.end());
}

void RemoveWindowRecords(Window* w) {  // g_mu held; children first
  for (HWND c : std::vector<HWND>(w->children))
    if (Window* cw = Find(c)) RemoveWindowRecords(cw);
  HWND h = ToHwnd(w->handle);
  if (w->parent != nullptr) {
    if (Window* p = Find(w->parent)) RemoveFromList(p->children, h);
  } else {
    RemoveFromList(g_top, h);
  }
  for (auto& [tid, q] : g_queues) {
    std::erase_if(q->timers, [&](const Timer& t) { return t.hwnd == h; });
    std::erase_if(q->posted, [&](const MSG& m) { return m.hwnd == h; });
  }
  if (g_focus == h) g_focus = nullptr;
  if (g_capture == h) g_capture = nullptr;
  if (g_active == h) g_active = nullptr;
  if (g_foreground == h) g_foreground = nullptr;
  w->cls->windows--;
  g_windows.erase(w->handle);
}

void DestroyThreadWindows(DWORD tid) {  // g_mu held
  std::vector<uintptr_t> mine;
  for (auto& [h, w] : g_windows)
    if (w->thread == tid && w->parent == nullptr) mine.push_back(h);
  for (uintptr_t h : mine)
    if (Window* w = Find(ToHwnd(h))) RemoveWindowRecords(w);
}

// Calls a window's procedure on the calling thread without the lock.
LRESULT CallProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  WNDPROC proc;
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(hwnd);
    if (w == nullptr) return 0;
    proc = w->proc;
  }
  return proc(hwnd, message, wparam, lparam);
}

// Runs one send queued to this thread. g_mu held through `lk` on entry and exit.
void RunOneSend(ThreadQueue& q, std::unique_lock<std::mutex>& lk) {
  auto sm = q.incoming.front();
  q.incoming.pop_front();
  q.running.push_back(sm);
  lk.unlock();
  LRESULT r = CallProc(sm->hwnd, sm->message, sm->wparam, sm->lparam);
  lk.lock();
  q.running.pop_back();
  if (!sm->done) {
    sm->result = r;
    sm->done = true;
    if (sm->sender) sm->sender->cv.notify_all();
  }
}

void RunSends(ThreadQueue& q, std::unique_lock<std::mutex>& lk) {
  while (!q.incoming.empty()) RunOneSend(q, lk);
}

bool Matches(HWND filter, UINT first, UINT last, const MSG& m) {
  if (filter == reinterpret_cast<HWND>(intptr_t{-1})) {
    if (m.hwnd != nullptr) return false;
  } else if (filter != nullptr) {
    if (m.hwnd != filter) {
      // a filter window takes its children's messages too
      Window* w = Find(m.hwnd);
      while (w != nullptr && ToHwnd(w->handle) != filter) w = Find(w->parent);
      if (w == nullptr) return false;
    }
  }
  if (first == 0 && last == 0) return true;
  return m.message >= first && m.message <= last;
}

DWORD NowMs() { return GetTickCount(); }

// Finds the next message for this thread (sends already run). g_mu held.
bool VisibleChain(const Window* w);

bool TakeMessage(ThreadQueue& q, MSG* out, HWND filter, UINT first, UINT last, bool remove) {
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (!Matches(filter, first, last, *it)) continue;
    *out = *it;
    if (remove && it->input) {
      q.have_keys = true;
      q.shift = it->shift, q.ctrl = it->ctrl, q.alt = it->alt;
    }
    if (remove) q.posted.erase(it);
    return true;
  }
  if (q.quit) {
    *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quit_code), 0, NowMs(), g_cursor};
    if (remove) q.quit = false;
    return true;
  }
  if ((first == 0 && last == 0) || (WM_PAINT >= first && WM_PAINT <= last)) {
    for (auto& [h, w] : g_windows) {
      // A hidden window paints when it is shown, not before (its update stays due).
      if (w->thread != q.thread || !w->update_pending || w->destroying || !VisibleChain(w.get())) continue;
      // Parents paint before their children, so that a child is not painted over.
      bool parent_pending = false;
      for (Window* p = Find(w->parent); p != nullptr; p = Find(p->parent)) parent_pending = parent_pending || p->update_pending;
      if (parent_pending) continue;
      MSG m{ToHwnd(h), WM_PAINT, 0, 0, NowMs(), g_cursor};
      if (!Matches(filter, 0, 0, m)) continue;
      *out = m;
      return true;
    }
  }
  if ((first == 0 && last == 0) || (WM_TIMER >= first && WM_TIMER <= last)) {
    auto now = Clock::now();
    for (auto& t : q.timers) {
      if (t.due > now) continue;
      MSG m{t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc), NowMs(), g_cursor};
      if (!Matches(filter, 0, 0, m)) continue;
      if (remove) t.due = now + std::chrono::milliseconds(t.elapse);
      *out = m;
      return true;
    }
  }
  return false;
}

Clock::time_point NextTimer(const ThreadQueue& q) {
  auto next = Clock::time_point::max();
  for (auto& t : q.timers) next = std::min(next, t.due);
  return next;
}

void WaitForWork(ThreadQueue& q, std::unique_lock<std::mutex>& lk) {
  q.idle = true;
  g_idle_cv.notify_all();
  auto next = NextTimer(q);
  if (next == Clock::time_point::max())
    q.cv.wait(lk);
  else
    q.cv.wait_until(lk, next);
  q.idle = false;
}

LRESULT CallHookChain(ThreadQueue& q, int id, std::shared_ptr<Hook> after, int code, WPARAM w,
                      LPARAM l, std::unique_lock<std::mutex>& lk) {
  bool passed = after == nullptr;
  for (auto& h : std::vector<std::shared_ptr<Hook>>(q.hooks)) {
    if (!passed) {
      passed = h == after;
      continue;
    }
    if (h->id != id || !h->alive) continue;
    HOOKPROC proc = h->proc;
    lk.unlock();
    LRESULT r = proc(code, w, l);
    lk.lock();
    return r;
  }
  return 0;
}

// A frame that needs painting while the client area does not is painted at once (the
// client's WM_PAINT paints both).
void RunFramePaints(ThreadQueue& q, std::unique_lock<std::mutex>& lk) {
  for (;;) {
    HWND h = nullptr;
    for (auto& [handle, w] : g_windows)
      if (w->thread == q.thread && w->nc_dirty && !w->update_pending && !w->destroying) {
        w->nc_dirty = false;
        h = ToHwnd(handle);
        break;
      }
    if (h == nullptr) return;
    lk.unlock();
    CallProc(h, WM_NCPAINT, 1, 0);
    lk.lock();
  }
}

bool IsKeyMessage(UINT m) { return m >= WM_KEYFIRST && m <= WM_KEYLAST; }

// The common body of GetMessage and PeekMessage.
bool Retrieve(MSG* msg, HWND filter, UINT first, UINT last, UINT remove_flags, bool wait) {
  bool remove = (remove_flags & PM_REMOVE) != 0;
  std::unique_lock lk(g_mu);
  ThreadQueue& q = Self();
  for (;;) {
    RunSends(q, lk);
    RunFramePaints(q, lk);
    MSG m;
    if (TakeMessage(q, &m, filter, first, last, remove)) {
      if (remove && IsKeyMessage(m.message)) {
        LRESULT r = CallHookChain(q, WH_KEYBOARD, nullptr, HC_ACTION, m.wParam, m.lParam, lk);
        if (r != 0) continue;
      }
      if (remove) {
        CallHookChain(q, WH_GETMESSAGE, nullptr, HC_ACTION, PM_REMOVE, reinterpret_cast<LPARAM>(&m), lk);
        q.last = m;
      }
      *msg = m;
      return true;
    }
    if (!wait) return false;
    WaitForWork(q, lk);
  }
}

LRESULT SendTo(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, bool notify_only,
               Clock::time_point deadline, bool* timed_out) {
  std::unique_lock lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  ThreadQueue& self = Self();
  if (w->thread == self.thread) {
    lk.unlock();
    return CallProc(hwnd, message, wparam, lparam);
  }
  auto target = QueueOf(w->thread);
  if (target == nullptr) return 0;
  auto sm = std::make_shared<SentMessage>(SentMessage{hwnd, message, wparam, lparam});
  sm->notify_only = notify_only;
  if (!notify_only) sm->sender = t_queue.queue;
  target->incoming.push_back(sm);
  Wake(*target);
  g_idle_cv.notify_all();
  if (notify_only) return 0;
  // Blocked, but still answering sends made to this thread: the receiver may send back.
  while (!sm->done) {
    if (!self.incoming.empty()) {
      RunOneSend(self, lk);
      continue;
    }
    if (deadline == Clock::time_point::max()) {
      self.cv.wait(lk);
    } else if (self.cv.wait_until(lk, deadline) == std::cv_status::timeout && !sm->done) {
      // The receiver may still run it later; nobody waits for the answer any more.
      sm->sender = nullptr;
      if (timed_out) *timed_out = true;
      return 0;
    }
  }
  return sm->result;
}

constexpr int kCaptionHeight = 19;  // SM_CYCAPTION

RECT FrameInsets(DWORD style, DWORD ex) {
  int t = 0;
  if ((style & WS_THICKFRAME) != 0)
    t = 4;
  else if ((style & WS_DLGFRAME) != 0 || (ex & WS_EX_DLGMODALFRAME) != 0)
    t = 3;
  else if ((style & WS_BORDER) != 0)
    t = 1;
  if ((ex & WS_EX_CLIENTEDGE) != 0) t += 2;
  if ((ex & WS_EX_STATICEDGE) != 0) t += 1;
  RECT r{t, t, t, t};
  // Called with g_mu held: the caption height is the constant GetSystemMetrics answers.
  if ((style & WS_CAPTION) == WS_CAPTION) r.top += kCaptionHeight;
  return r;
}

RECT ClientScreenRect(const Window* w) {
  RECT in = FrameInsets(w->style, w->ex_style);
  return RECT{w->rect.left + in.left, w->rect.top + in.top,
              std::max(w->rect.left + in.left, w->rect.right - in.right),
              std::max(w->rect.top + in.top, w->rect.bottom - in.bottom)};
}

bool VisibleChain(const Window* w) {
  while (w != nullptr) {
    if ((w->style & WS_VISIBLE) == 0) return false;
    w = Find(w->parent);
  }
  return true;
}

void InsertTop(HWND h, bool topmost) {  // g_mu held
  RemoveFromList(g_top, h);
  auto it = g_top.begin();
  if (!topmost) {
    while (it != g_top.end()) {
      Window* w = Find(*it);
      if (w == nullptr || (w->ex_style & WS_EX_TOPMOST) == 0) break;
      ++it;
    }
  }
  g_top.insert(it, h);
}

void Invalidate(Window* w, bool erase) {  // g_mu held
  RECT c = ClientScreenRect(w);
  w->update = RECT{0, 0, c.right - c.left, c.bottom - c.top};
  w->update_pending = true;
  w->erase_pending = w->erase_pending || erase;
  w->nc_dirty = true;
  if (auto q = QueueOf(w->thread)) Wake(*q);
  for (HWND c2 : w->children)
    if (Window* cw = Find(c2)) Invalidate(cw, erase);
}

void ResizeSurface(Window* w) {
  if (w->parent != nullptr) return;
  int cx = std::max<LONG>(0, w->rect.right - w->rect.left);
  int cy = std::max<LONG>(0, w->rect.bottom - w->rect.top);
  if (!w->surface)
    w->surface = std::make_shared<ui::Surface>(cx, cy, ui::ToPixel(GetSysColor(COLOR_3DFACE)));
  else if (w->surface->width != cx || w->surface->height != cy)
    w->surface->Resize(cx, cy, ui::ToPixel(GetSysColor(COLOR_3DFACE)));
}

HWND DeepestAt(HWND hwnd, POINT p) {  // g_mu held
  Window* w = Find(hwnd);
  for (HWND c : w->children) {
    Window* cw = Find(c);
    if (cw == nullptr || (cw->style & WS_VISIBLE) == 0) continue;
    if (p.x >= cw->rect.left && p.x < cw->rect.right && p.y >= cw->rect.top && p.y < cw->rect.bottom)
      return DeepestAt(c, p);
  }
  return hwnd;
}

HWND WindowAt(POINT p) {  // g_mu held
  for (HWND h : g_top) {
    Window* w = Find(h);
    if (w == nullptr || (w->style & WS_VISIBLE) == 0) continue;
    if (p.x >= w->rect.left && p.x < w->rect.right && p.y >= w->rect.top && p.y < w->rect.bottom)
      return DeepestAt(h, p);
  }
  return nullptr;
}

void PostInput(HWND target, UINT message, WPARAM wparam, LPARAM lparam) {  // g_mu held
  Window* w = Find(target);
  if (w == nullptr) return;
  auto q = QueueOf(w->thread);
  if (!q) return;
  Posted p(MSG{target, message, wparam, lparam, NowMs(), g_cursor});
  p.input = true;
  p.shift = g_keys[VK_SHIFT], p.ctrl = g_keys[VK_CONTROL], p.alt = g_keys[VK_MENU];
  q->posted.push_back(p);
  Wake(*q);
  g_idle_cv.notify_all();
}

WPARAM MouseKeys() {
  WPARAM k = 0;
  if (g_keys[VK_LBUTTON] & 0x80) k |= MK_LBUTTON;
  if (g_keys[VK_RBUTTON] & 0x80) k |= MK_RBUTTON;
  if (g_keys[VK_SHIFT] & 0x80) k |= MK_SHIFT;
  if (g_keys[VK_CONTROL] & 0x80) k |= MK_CONTROL;
  return k;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Classes.
ATOM RegisterClassExW(const WNDCLASSEXW* wc) {
  if (wc == nullptr || wc->cbSize != sizeof(WNDCLASSEXW) || wc->lpfnWndProc == nullptr ||
      wc->lpszClassName == nullptr || wc->cbWndExtra < 0 || wc->cbClsExtra < 0)
    return static_cast<ATOM>(Fail(ERROR_INVALID_PARAMETER));
  std::lock_guard lk(g_mu);
  auto key = ClassKey(wc->lpszClassName);
  if (g_classes.count(key)) return static_cast<ATOM>(Fail(ERROR_CLASS_ALREADY_EXISTS));
  auto rec = std::make_shared<ClassRecord>();
  rec->wc = *wc;
  rec->name = IS_INTRESOURCE(wc->lpszClassName) ? key : std::u16string(wc->lpszClassName);
  rec->wc.lpszClassName = nullptr;  // the caller's string need not outlive the call
  g_classes[key] = rec;
  static ATOM next_atom = 0xC000;
  return next_atom++;
}

BOOL UnregisterClassW(LPCWSTR class_name, HINSTANCE) {
  std::lock_guard lk(g_mu);
  auto it = g_classes.find(ClassKey(class_name));
  if (it == g_classes.end()) return Fail(ERROR_CANNOT_FIND_WND_CLASS);
  if (it->second->windows > 0) return Fail(ERROR_CLASS_HAS_WINDOWS);
  g_classes.erase(it);
  return TRUE;
}

BOOL GetClassInfoExW(HINSTANCE, LPCWSTR class_name, WNDCLASSEXW* wc) {
  std::lock_guard lk(g_mu);
  auto it = g_classes.find(ClassKey(class_name));
  if (it == g_classes.end() || wc == nullptr) return Fail(ERROR_CANNOT_FIND_WND_CLASS);
  *wc = it->second->wc;
  wc->lpszClassName = class_name;
  return TRUE;
}

int GetClassNameW(HWND hwnd, LPWSTR buffer, int count) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr || buffer == nullptr || count <= 0) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  int n = std::min<int>(count - 1, static_cast<int>(w->cls->name.size()));
  std::copy_n(w->cls->name.data(), n, buffer);
  buffer[n] = 0;
  return n;
}

// ---------------------------------------------------------------------------------------
// Windows.
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  static std::once_flag system_classes;
  std::call_once(system_classes, ui::RegisterControlClasses);
  HWND hwnd;
  CREATESTRUCTW cs{};
  {
    std::lock_guard lk(g_mu);
    auto it = g_classes.find(ClassKey(class_name));
    if (it == g_classes.end()) return SetLastError(ERROR_CANNOT_FIND_WND_CLASS), nullptr;
    bool message_only = parent == HWND_MESSAGE;
    if (message_only) parent = nullptr;
    Window* p = parent != nullptr ? Find(parent) : nullptr;
    if (parent != nullptr && p == nullptr) return SetLastError(ERROR_INVALID_WINDOW_HANDLE), nullptr;
    if ((style & WS_CHILD) != 0 && p == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
    auto w = std::make_unique<Window>();
    w->handle = g_next_handle;
    g_next_handle += 0x10;
    w->cls = it->second;
    w->proc = it->second->wc.lpfnWndProc;
    w->style = style;
    w->ex_style = ex_style;
    w->text = window_name ? window_name : u"";
    w->instance = instance;
    w->thread = Self().thread;
    w->extra.assign((it->second->wc.cbWndExtra + 7) / 8, 0);
    if (x == CW_USEDEFAULT) x = y = 0;
    if (width == CW_USEDEFAULT) width = height = 0;
    RECT origin{0, 0, 0, 0};
    if ((style & WS_CHILD) != 0) {
      w->parent = parent;
      w->id = reinterpret_cast<LONG_PTR>(menu);
      origin = ClientScreenRect(p);
    } else {
      w->owner = p != nullptr ? TopLevelOf(parent) : nullptr;
    }
    w->rect = RECT{origin.left + x, origin.top + y, origin.left + x + width, origin.top + y + height};
    w->style &= ~WS_VISIBLE;  // shown below, after WM_CREATE, as the platform does
    hwnd = ToHwnd(w->handle);
    it->second->windows++;
    Window* raw = w.get();
    g_windows[w->handle] = std::move(w);
    if (raw->parent != nullptr) {
      p->children.insert(p->children.begin(), hwnd);
    } else if (!message_only) {
      InsertTop(hwnd, (ex_style & WS_EX_TOPMOST) != 0);
    }
    ResizeSurface(raw);
    cs = CREATESTRUCTW{param, instance, menu, parent, height, width, y, x,
                       static_cast<LONG>(style), window_name, class_name, ex_style};
  }
  if (CallProc(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs)) == 0 ||
      CallProc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(hwnd);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!IsWindow(hwnd)) return nullptr;
  RECT rc;
  GetClientRect(hwnd, &rc);
  CallProc(hwnd, WM_SIZE, 0, MAKELPARAM(rc.right, rc.bottom));
  if ((style & WS_VISIBLE) != 0) ShowWindow(hwnd, SW_SHOW);
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  std::vector<HWND> children;
  std::vector<HWND> owned;
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(hwnd);
    if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    if (w->thread != Self().thread) return Fail(ERROR_ACCESS_DENIED);
    if (w->destroying) return TRUE;
    w->destroying = true;
    children = w->children;
    for (auto& [h, o] : g_windows)
      if (o->owner == hwnd && !o->destroying) owned.push_back(ToHwnd(h));
  }
  for (HWND o : owned) DestroyWindow(o);  // owned windows go first, as on the platform
  bool was_visible = IsWindowVisible(hwnd);
  if (was_visible) ShowWindow(hwnd, SW_HIDE);
  CallProc(hwnd, WM_DESTROY, 0, 0);
  for (HWND c : children) DestroyWindow(c);
  CallProc(hwnd, WM_NCDESTROY, 0, 0);
  std::lock_guard lk(g_mu);
  if (Window* w = Find(hwnd)) RemoveWindowRecords(w);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  std::lock_guard lk(g_mu);
  return Find(hwnd) != nullptr;
}

namespace {
void PaintFrame(HWND hwnd) {
  DWORD style, ex;
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(hwnd);
    if (w == nullptr) return;
    style = w->style;
    ex = w->ex_style;
  }
  RECT in = FrameInsets(style, ex);
  if (in.left == 0 && in.top == 0) return;
  HDC dc = GetWindowDC(hwnd);
  RECT r;
  GetWindowRect(hwnd, &r);
  OffsetRect(&r, -r.left, -r.top);
  if ((style & WS_THICKFRAME) != 0 || (style & WS_DLGFRAME) != 0 || (ex & WS_EX_DLGMODALFRAME) != 0) {
    DrawEdge(dc, &r, EDGE_RAISED, BF_RECT | BF_ADJUST);
    HBRUSH face = GetSysColorBrush(COLOR_3DFACE);
    for (int i = 2; i < ((style & WS_THICKFRAME) ? 4 : 3); ++i) {
      FrameRect(dc, &r, face);
      InflateRect(&r, -1, -1);
    }
  } else if ((style & WS_BORDER) != 0) {
    FrameRect(dc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
    InflateRect(&r, -1, -1);
  }
  if ((style & WS_CAPTION) == WS_CAPTION) {
    RECT cap{r.left, r.top, r.right, r.top + GetSystemMetrics(SM_CYCAPTION) - 1};
    bool active = GetActiveWindow() == hwnd || GetForegroundWindow() == hwnd;
    FillRect(dc, &cap, GetSysColorBrush(active ? COLOR_ACTIVECAPTION : COLOR_INACTIVECAPTION));
    RECT line{cap.left, cap.bottom, cap.right, cap.bottom + 1};
    FillRect(dc, &line, GetSysColorBrush(COLOR_3DFACE));
    NONCLIENTMETRICSW ncm{};
    ncm.cbSize = sizeof ncm;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
    HFONT f = CreateFontIndirectW(&ncm.lfCaptionFont);
    HGDIOBJ old = SelectObject(dc, f);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(active ? COLOR_CAPTIONTEXT : COLOR_INACTIVECAPTIONTEXT));
    std::u16string text = ui::WindowText(hwnd);
    RECT tr{cap.left + 4, cap.top, cap.right - 4, cap.bottom};
    DrawTextW(dc, text.c_str(), -1, &tr, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    SelectObject(dc, old);
    DeleteObject(f);
  }
  if ((ex & WS_EX_CLIENTEDGE) != 0) DrawEdge(dc, &r, EDGE_SUNKEN, BF_RECT);
  ReleaseDC(hwnd, dc);
}
}  // namespace

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE:
      return TRUE;
    case WM_NCPAINT:
      PaintFrame(hwnd);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hwnd, &ps);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND: {
      HBRUSH b;
      {
        std::lock_guard lk(g_mu);
        Window* w = Find(hwnd);
        if (w == nullptr) return 0;
        b = w->cls->wc.hbrBackground;
      }
      b = ui::BrushFromClassBackground(b);
      if (b == nullptr) return 0;
      RECT rc;
      GetClientRect(hwnd, &rc);
      FillRect(reinterpret_cast<HDC>(wparam), &rc, b);
      return 1;
    }
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_SETTEXT:
      return ui::StoreWindowText(hwnd, reinterpret_cast<LPCWSTR>(lparam));
    case WM_SYSKEYDOWN:
      // Alt+F4 closes the top-level window, through its system command.
      if (wparam == static_cast<WPARAM>(VK_F4) && (lparam & (1 << 29)) != 0)
        SendMessageW(GetAncestor(hwnd, GA_ROOT), WM_SYSCOMMAND, SC_CLOSE, 0);
      return 0;
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == SC_CLOSE) SendMessageW(hwnd, WM_CLOSE, 0, 0);
      return 0;
    case WM_GETTEXT: {
      std::u16string t = ui::WindowText(hwnd);
      auto* buf = reinterpret_cast<WCHAR*>(lparam);
      if (buf == nullptr || wparam == 0) return 0;
      size_t n = std::min<size_t>(wparam - 1, t.size());
      std::copy_n(t.data(), n, buf);
      buf[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(ui::WindowText(hwnd).size());
    case WM_SETCURSOR:
      return FALSE;
    default:
      return 0;
  }
}

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return proc == nullptr ? 0 : proc(hwnd, message, wparam, lparam);
}

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  switch (index) {
    case GWL_STYLE: return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(w->ex_style);
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>(w->parent ? w->parent : w->owner);
    case GWLP_ID: return w->id;
    case GWLP_USERDATA: return w->user_data;
    default:
      if (index < 0 || index % 8 != 0 || static_cast<size_t>(index / 8) >= w->extra.size())
        return Fail(ERROR_INVALID_INDEX);
      return w->extra[index / 8];
  }
}

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  LONG_PTR old;
  switch (index) {
    case GWL_STYLE: old = w->style; w->style = static_cast<DWORD>(value); return old;
    case GWL_EXSTYLE: old = w->ex_style; w->ex_style = static_cast<DWORD>(value); return old;
    case GWLP_WNDPROC:
      if (w->thread != Self().thread) return Fail(ERROR_ACCESS_DENIED);
      old = reinterpret_cast<LONG_PTR>(w->proc);
      w->proc = reinterpret_cast<WNDPROC>(value);
      return old;
    case GWLP_ID: old = w->id; w->id = value; return old;
    case GWLP_USERDATA: old = w->user_data; w->user_data = value; return old;
    case GWLP_HWNDPARENT:
      if (w->parent != nullptr) return Fail(ERROR_INVALID_PARAMETER);
      old = reinterpret_cast<LONG_PTR>(w->owner);
      w->owner = reinterpret_cast<HWND>(value);
      return old;
    default:
      if (index < 0 || index % 8 != 0 || static_cast<size_t>(index / 8) >= w->extra.size())
        return Fail(ERROR_INVALID_INDEX);
      old = w->extra[index / 8];
      w->extra[index / 8] = value;
      return old;
  }
}

HWND GetWindow(HWND hwnd, UINT relation) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return SetLastError(ERROR_INVALID_WINDOW_HANDLE), nullptr;
  if (relation == GW_OWNER) return w->owner;
  if (relation == GW_CHILD) return w->children.empty() ? nullptr : w->children.front();
  std::vector<HWND>* list = &g_top;
  if (w->parent != nullptr) list = &Find(w->parent)->children;
  auto it = std::find(list->begin(), list->end(), hwnd);
  switch (relation) {
    case GW_HWNDFIRST: return list->front();
    case GW_HWNDLAST: return list->back();
    case GW_HWNDNEXT: return it + 1 == list->end() ? nullptr : *(it + 1);
    case GW_HWNDPREV: return it == list->begin() ? nullptr : *(it - 1);
    default: return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  }
}

HWND GetParent(HWND hwnd) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return nullptr;
  return w->parent != nullptr ? w->parent : w->owner;
}

HWND GetAncestor(HWND hwnd, UINT flags) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return nullptr;
  if (flags == GA_PARENT) return w->parent;
  return TopLevelOf(hwnd);
}

HWND GetDesktopWindow() { return nullptr; }

BOOL IsChild(HWND parent, HWND hwnd) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  while (w != nullptr && w->parent != nullptr) {
    if (w->parent == parent) return TRUE;
    w = Find(w->parent);
  }
  return FALSE;
}

int GetDlgCtrlID(HWND hwnd) { return static_cast<int>(GetWindowLongPtrW(hwnd, GWLP_ID)); }

HWND GetDlgItem(HWND parent, int id) {
  std::lock_guard lk(g_mu);
  Window* p = Find(parent);
  if (p == nullptr) return SetLastError(ERROR_INVALID_WINDOW_HANDLE), nullptr;
  for (auto it = p->children.rbegin(); it != p->children.rend(); ++it)
    if (Window* c = Find(*it); c != nullptr && c->id == id) return *it;
  return SetLastError(ERROR_CONTROL_ID_NOT_FOUND), nullptr;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* process_id) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return 0;
  if (process_id) *process_id = GetCurrentProcessId();
  return w->thread;
}

BOOL EnumWindows(WNDENUMPROC proc, LPARAM param) {
  for (HWND h : ui::TopLevelWindows())
    if (IsWindow(h) && !proc(h, param)) return FALSE;
  return TRUE;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM param) {
  std::vector<HWND> all;
  {
    std::lock_guard lk(g_mu);
    std::function<void(HWND)> walk = [&](HWND h) {
      Window* w = Find(h);
      if (w == nullptr) return;
      for (auto it = w->children.rbegin(); it != w->children.rend(); ++it) {
        all.push_back(*it);
        walk(*it);
      }
    };
    walk(parent);
  }
  for (HWND h : all)
    if (IsWindow(h) && !proc(h, param)) return FALSE;
  return TRUE;
}

HWND FindWindowW(LPCWSTR class_name, LPCWSTR window_name) {
  std::lock_guard lk(g_mu);
  for (HWND h : g_top) {
    Window* w = Find(h);
    if (class_name != nullptr && Lower(w->cls->name) != ClassKey(class_name)) continue;
    if (window_name != nullptr && w->text != window_name) continue;
    return h;
  }
  return nullptr;
}

BOOL ShowWindow(HWND hwnd, int command) {
  bool was, now, changed;
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(hwnd);
    if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    was = (w->style & WS_VISIBLE) != 0;
    now = command != SW_HIDE;
    changed = was != now;
    if (now) {
      w->style |= WS_VISIBLE;
      if (w->parent == nullptr && changed) InsertTop(hwnd, (w->ex_style & WS_EX_TOPMOST) != 0);
      if (changed) Invalidate(w, true);
    } else {
      w->style &= ~WS_VISIBLE;
      if (g_capture == hwnd) g_capture = nullptr;
    }
  }
  if (changed) CallProc(hwnd, WM_SHOWWINDOW, now, 0);
  if (now && changed && (command == SW_SHOW || command == SW_SHOWNORMAL) && GetParent(hwnd) == nullptr) {
    LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
    if ((style & WS_CHILD) == 0 && !ui::IsMenuWindow(hwnd)) SetActiveWindow(hwnd);
  }
  return was;
}

BOOL IsWindowVisible(HWND hwnd) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  return w != nullptr && VisibleChain(w);
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
  bool was_disabled, changed;
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(hwnd);
    if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    was_disabled = (w->style & WS_DISABLED) != 0;
    changed = was_disabled == (enable != 0);
    if (enable)
      w->style &= ~WS_DISABLED;
    else
      w->style |= WS_DISABLED;
    if (!enable && g_focus == hwnd) g_focus = nullptr;
    if (changed) Invalidate(w, true);
  }
  if (changed) SendMessageW(hwnd, WM_ENABLE, enable, 0);
  return was_disabled;
}

BOOL IsWindowEnabled(HWND hwnd) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  return w != nullptr && (w->style & WS_DISABLED) == 0;
}

BOOL SetWindowPos(HWND hwnd, HWND insert_after, int x, int y, int cx, int cy, UINT flags) {
  bool moved = false, sized = false;
  RECT client{};
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(hwnd);
    if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    RECT origin{0, 0, 0, 0};
    if (w->parent != nullptr) origin = ClientScreenRect(Find(w->parent));
    RECT old = w->rect;
    RECT r = old;
    if ((flags & SWP_NOMOVE) == 0) {
      r.right = origin.left + x + (old.right - old.left);
      r.bottom = origin.top + y + (old.bottom - old.top);
      r.left = origin.left + x;
      r.top = origin.top + y;
    }
    if ((flags & SWP_NOSIZE) == 0) {
      r.right = r.left + std::max(0, cx);
      r.bottom = r.top + std::max(0, cy);
    }
    moved = r.left != old.left || r.top != old.top;
    sized = (r.right - r.left) != (old.right - old.left) || (r.bottom - r.top) != (old.bottom - old.top);
    int dx = r.left - old.left, dy = r.top - old.top;
    w->rect = r;
    if (moved) {  // children move with their parent
      std::function<void(Window*)> shift = [&](Window* p) {
        for (HWND c : p->children)
          if (Window* cw = Find(c)) {
            OffsetRect(&cw->rect, dx, dy);
            shift(cw);
          }
      };
      shift(w);
    }
    ResizeSurface(w);
    if ((flags & SWP_NOZORDER) == 0 && w->parent == nullptr) {
      if (insert_after == HWND_TOPMOST) w->ex_style |= WS_EX_TOPMOST;
      if (insert_after == HWND_NOTOPMOST) w->ex_style &= ~WS_EX_TOPMOST;
      if (insert_after == HWND_BOTTOM) {
        RemoveFromList(g_top, hwnd);
        g_top.push_back(hwnd);
      } else {
        InsertTop(hwnd, (w->ex_style & WS_EX_TOPMOST) != 0);
      }
    }
    if (sized || moved) Invalidate(w, true);
    RECT c = ClientScreenRect(w);
    client = RECT{0, 0, c.right - c.left, c.bottom - c.top};
  }
  if (flags & SWP_SHOWWINDOW) ShowWindow(hwnd, (flags & SWP_NOACTIVATE) ? SW_SHOWNA : SW_SHOW);
  if (flags & SWP_HIDEWINDOW) ShowWindow(hwnd, SW_HIDE);
  if (moved) CallProc(hwnd, WM_MOVE, 0, 0);
  if (sized) CallProc(hwnd, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));
  return TRUE;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
  return SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr || rect == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  *rect = w->rect;
  return TRUE;
}

BOOL GetClientRect(HWND hwnd, RECT* rect) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr || rect == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  RECT c = ClientScreenRect(w);
  *rect = RECT{0, 0, c.right - c.left, c.bottom - c.top};
  return TRUE;
}

// The window procedure sees the change (controls keep their own text), as on the platform.
BOOL SetWindowTextW(HWND hwnd, LPCWSTR text) {
  if (!IsWindow(hwnd)) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  return SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

namespace ui {
BOOL StoreWindowText(HWND hwnd, LPCWSTR text) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  w->text = text ? text : u"";
  w->nc_dirty = true;
  if (auto q = QueueOf(w->thread)) Wake(*q);
  return TRUE;
}
}  // namespace ui

int GetWindowTextW(HWND hwnd, LPWSTR buffer, int count) {
  return static_cast<int>(SendMessageW(hwnd, WM_GETTEXT, static_cast<WPARAM>(count), reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthW(HWND hwnd) { return static_cast<int>(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0)); }

HWND SetFocus(HWND hwnd) {
  HWND old;
  {
    std::lock_guard lk(g_mu);
    old = g_focus;
    if (hwnd != nullptr) {
      Window* w = Find(hwnd);
      if (w == nullptr) return SetLastError(ERROR_INVALID_WINDOW_HANDLE), nullptr;
      if (w->thread != Self().thread) return SetLastError(ERROR_ACCESS_DENIED), nullptr;
      if ((w->style & WS_DISABLED) != 0) return nullptr;
    }
    if (old == hwnd) return old;
    g_focus = hwnd;
  }
  if (old != nullptr) SendMessageW(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
  if (hwnd != nullptr) SendMessageW(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
  return old;
}

HWND GetFocus() {
  std::lock_guard lk(g_mu);
  return g_focus;
}

HWND SetCapture(HWND hwnd) {
  HWND old;
  {
    std::lock_guard lk(g_mu);
    if (Find(hwnd) == nullptr) return nullptr;
    old = g_capture;
    g_capture = hwnd;
  }
  if (old != nullptr && old != hwnd) SendMessageW(old, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hwnd));
  return old;
}

BOOL ReleaseCapture() {
  HWND old;
  {
    std::lock_guard lk(g_mu);
    old = g_capture;
    g_capture = nullptr;
  }
  if (old != nullptr) SendMessageW(old, WM_CAPTURECHANGED, 0, 0);
  return TRUE;
}

HWND GetCapture() {
  std::lock_guard lk(g_mu);
  return g_capture;
}

HWND SetActiveWindow(HWND hwnd) {
  HWND old;
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(hwnd);
    if (w == nullptr) return nullptr;
    old = g_active;
    g_active = TopLevelOf(hwnd);
    g_foreground = g_active;
    InsertTop(g_active, (Find(g_active)->ex_style & WS_EX_TOPMOST) != 0);
    if (old == g_active) return old;
    if (old) if (Window* o = Find(old)) o->nc_dirty = true;
    w->nc_dirty = true;
  }
  if (old != nullptr) SendMessageW(old, WM_ACTIVATE, 0, reinterpret_cast<LPARAM>(hwnd));
  SendMessageW(hwnd, WM_ACTIVATE, 1, reinterpret_cast<LPARAM>(old));
  bool focus_inside;
  {
    std::lock_guard lk(g_mu);
    focus_inside = g_focus != nullptr && TopLevelOf(g_focus) == hwnd;
  }
  if (!focus_inside && GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId()) SetFocus(hwnd);
  return old;
}

HWND GetActiveWindow() {
  std::lock_guard lk(g_mu);
  return g_active;
}

BOOL SetForegroundWindow(HWND hwnd) {
  if (!IsWindow(hwnd)) return FALSE;
  if (GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId()) {
    SetActiveWindow(hwnd);
  } else {
    std::lock_guard lk(g_mu);
    g_foreground = g_active = TopLevelOf(hwnd);
  }
  return TRUE;
}

HWND GetForegroundWindow() {
  std::lock_guard lk(g_mu);
  return g_foreground;
}

BOOL InvalidateRect(HWND hwnd, const RECT*, BOOL erase) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  // The whole client area: painting is cheap at these sizes and the rule stays simple.
  Invalidate(w, erase != 0);
  w->nc_dirty = false;
  return TRUE;
}

BOOL ValidateRect(HWND hwnd, const RECT*) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  w->update_pending = false;
  w->erase_pending = false;
  return TRUE;
}

BOOL UpdateWindow(HWND hwnd) {
  bool paint;
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(hwnd);
    if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    paint = w->update_pending || w->nc_dirty;
  }
  if (paint) CallProc(hwnd, WM_PAINT, 0, 0);
  return TRUE;
}

BOOL GetUpdateRect(HWND hwnd, RECT* rect, BOOL) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return FALSE;
  if (rect) *rect = w->update_pending ? w->update : RECT{};
  return w->update_pending;
}

// Paint bookkeeping for gdi.cpp's BeginPaint.
namespace ui {
bool TakePaint(HWND hwnd, RECT* update, bool* erase, bool* nc) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return false;
  *update = w->update_pending ? w->update : RECT{};
  *erase = w->erase_pending;
  *nc = w->nc_dirty;
  w->update_pending = w->erase_pending = w->nc_dirty = false;
  return true;
}
}  // namespace ui

// ---------------------------------------------------------------------------------------
// Messages.
BOOL GetMessageW(MSG* msg, HWND hwnd, UINT first, UINT last) {
  if (msg == nullptr) return -1;
  if (hwnd != nullptr && hwnd != reinterpret_cast<HWND>(intptr_t{-1}) && !IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  Retrieve(msg, hwnd, first, last, PM_REMOVE, true);
  return msg->message != WM_QUIT;
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT first, UINT last, UINT remove) {
  return msg != nullptr && Retrieve(msg, hwnd, first, last, remove, false);
}

BOOL WaitMessage() {
  std::unique_lock lk(g_mu);
  ThreadQueue& q = Self();
  MSG m;
  for (;;) {
    // A send run here counts as news: a modal loop's end condition may have changed.
    if (!q.incoming.empty()) {
      RunSends(q, lk);
      return TRUE;
    }
    if (TakeMessage(q, &m, nullptr, 0, 0, false)) return TRUE;
    WaitForWork(q, lk);
  }
}

BOOL TranslateMessage(const MSG* msg) {
  if (msg == nullptr || (msg->message != WM_KEYDOWN && msg->message != WM_SYSKEYDOWN)) return FALSE;
  int vk = static_cast<int>(msg->wParam);
  bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
  bool ctrl = (GetKeyState(VK_CONTROL) & 0x8000) != 0;
  WCHAR c = 0;
  if (vk == VK_PACKET)
    c = HIWORD(static_cast<uintptr_t>(msg->lParam));
  else if (vk >= 'A' && vk <= 'Z')
    c = ctrl ? static_cast<WCHAR>(vk - 'A' + 1) : static_cast<WCHAR>(shift ? vk : vk - 'A' + 'a');
  else if (vk >= '0' && vk <= '9' && !shift)
    c = static_cast<WCHAR>(vk);
  else if (vk == VK_SPACE || vk == VK_RETURN || vk == VK_ESCAPE || vk == VK_BACK || vk == VK_TAB)
    c = static_cast<WCHAR>(vk);
  if (c == 0) return FALSE;
  LPARAM l = vk == VK_PACKET ? (msg->lParam & 0xFFFF) : msg->lParam;
  PostMessageW(msg->hwnd, msg->message == WM_SYSKEYDOWN ? WM_SYSCHAR : WM_CHAR, c, l);
  return TRUE;
}

LRESULT DispatchMessageW(const MSG* msg) {
  if (msg == nullptr) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
    return 0;
  }
  if (msg->hwnd == nullptr) return 0;
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(msg->hwnd);
    if (w == nullptr) return SetLastError(ERROR_INVALID_WINDOW_HANDLE), 0;
    if (w->thread != Self().thread) return SetLastError(ERROR_ACCESS_DENIED), 0;
  }
  return CallProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  std::lock_guard lk(g_mu);
  std::shared_ptr<ThreadQueue> q;
  if (hwnd == nullptr) {
    q = t_queue.queue ? t_queue.queue : QueueOf(Self().thread);
  } else {
    Window* w = Find(hwnd);
    if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    q = QueueOf(w->thread);
  }
  if (!q) return Fail(ERROR_INVALID_THREAD_ID);
  if (q->posted.size() >= 10000) return Fail(ERROR_NOT_ENOUGH_QUOTA);
  q->posted.push_back(MSG{hwnd, message, wparam, lparam, NowMs(), g_cursor});
  Wake(*q);
  g_idle_cv.notify_all();
  return TRUE;
}

BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  std::lock_guard lk(g_mu);
  auto q = QueueOf(thread_id);
  if (!q) return Fail(ERROR_INVALID_THREAD_ID);
  if (q->posted.size() >= 10000) return Fail(ERROR_NOT_ENOUGH_QUOTA);
  q->posted.push_back(MSG{nullptr, message, wparam, lparam, NowMs(), g_cursor});
  Wake(*q);
  g_idle_cv.notify_all();
  return TRUE;
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return SendTo(hwnd, message, wparam, lparam, false, Clock::time_point::max(), nullptr);
}

LRESULT SendMessageTimeoutW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT, UINT timeout_ms,
                            DWORD_PTR* result) {
  bool timed_out = false;
  LRESULT r = SendTo(hwnd, message, wparam, lparam, false,
                     Clock::now() + std::chrono::milliseconds(timeout_ms), &timed_out);
  if (timed_out) {
    SetLastError(ERROR_TIMEOUT);
    return 0;
  }
  if (result) *result = static_cast<DWORD_PTR>(r);
  return IsWindow(hwnd) ? 1 : 0;
}

BOOL SendNotifyMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!IsWindow(hwnd)) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  SendTo(hwnd, message, wparam, lparam, true, Clock::time_point::max(), nullptr);
  return TRUE;
}

BOOL InSendMessage() {
  std::lock_guard lk(g_mu);
  ThreadQueue& q = Self();
  return !q.running.empty() && q.running.back()->sender != nullptr;
}

BOOL ReplyMessage(LRESULT result) {
  std::lock_guard lk(g_mu);
  ThreadQueue& q = Self();
  if (q.running.empty()) return FALSE;
  auto& sm = q.running.back();
  if (sm->done) return FALSE;
  sm->result = result;
  sm->done = true;
  if (sm->sender) sm->sender->cv.notify_all();
  return TRUE;
}

void PostQuitMessage(int exit_code) {
  std::lock_guard lk(g_mu);
  ThreadQueue& q = Self();
  q.quit = true;
  q.quit_code = exit_code;
}

UINT RegisterWindowMessageW(LPCWSTR name) {
  if (name == nullptr || *name == 0) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lk(g_mu);
  auto key = Lower(name);
  auto it = g_registered_messages.find(key);
  if (it != g_registered_messages.end()) return it->second;
  UINT id = 0xC000 + static_cast<UINT>(g_registered_messages.size());
  if (id > 0xFFFF) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  g_registered_messages[key] = id;
  return id;
}

DWORD GetMessagePos() {
  std::lock_guard lk(g_mu);
  POINT p = Self().last.pt;
  return static_cast<DWORD>(MAKELPARAM(p.x, p.y));
}

LONG GetMessageTime() {
  std::lock_guard lk(g_mu);
  return static_cast<LONG>(Self().last.time);
}

DWORD GetQueueStatus(UINT) {
  std::lock_guard lk(g_mu);
  ThreadQueue& q = Self();
  return static_cast<DWORD>(q.posted.size() + q.incoming.size());
}

// ---------------------------------------------------------------------------------------
// Timers.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms, TIMERPROC proc) {
  std::lock_guard lk(g_mu);
  ThreadQueue& self = Self();
  ThreadQueue* q = &self;
  if (hwnd != nullptr) {
    Window* w = Find(hwnd);
    if (w == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    if (w->thread != self.thread) return Fail(ERROR_ACCESS_DENIED);
  } else {
    static UINT_PTR next_thread_timer = 0x7FF0;
    id = ++next_thread_timer;
  }
  elapse_ms = std::clamp<UINT>(elapse_ms, 10, 0x7FFFFFFF);  // USER_TIMER_MINIMUM
  auto due = Clock::now() + std::chrono::milliseconds(elapse_ms);
  for (auto& t : q->timers)
    if (t.hwnd == hwnd && t.id == id) {
      t = Timer{hwnd, id, elapse_ms, proc, due};
      Wake(*q);
      return hwnd ? 1 : id;
    }
  q->timers.push_back(Timer{hwnd, id, elapse_ms, proc, due});
  std::erase_if(q->posted, [&](const MSG& m) { return m.message == WM_TIMER && m.hwnd == hwnd && m.wParam == id; });
  Wake(*q);
  return hwnd ? (id == 0 ? 1 : id) : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  std::lock_guard lk(g_mu);
  ThreadQueue& q = Self();
  size_t before = q.timers.size();
  std::erase_if(q.timers, [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  return before != q.timers.size() ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------
// Hooks.
struct HookObject {
  std::shared_ptr<Hook> hook;
};

HHOOK SetWindowsHookExW(int id, HOOKPROC proc, HINSTANCE, DWORD thread_id) {
  if (id != WH_MSGFILTER && id != WH_KEYBOARD && id != WH_GETMESSAGE)
    return SetLastError(ERROR_INVALID_HOOK_FILTER), nullptr;
  if (proc == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  std::lock_guard lk(g_mu);
  if (thread_id == 0) return SetLastError(ERROR_HOOK_NEEDS_HMOD), nullptr;
  auto q = QueueOf(thread_id);
  if (thread_id == GetCurrentThreadId()) q = t_queue.queue ? t_queue.queue : QueueOf(Self().thread);
  if (!q) return SetLastError(ERROR_INVALID_THREAD_ID), nullptr;
  auto h = std::make_shared<Hook>(Hook{id, proc, thread_id});
  q->hooks.insert(q->hooks.begin(), h);
  return new HookObject{h};
}

BOOL UnhookWindowsHookEx(HHOOK hook) {
  if (hook == nullptr) return Fail(ERROR_INVALID_HOOK_HANDLE);
  std::lock_guard lk(g_mu);
  if (auto q = QueueOf(hook->hook->thread)) std::erase(q->hooks, hook->hook);
  hook->hook->alive = false;
  delete hook;
  return TRUE;
}

LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wparam, LPARAM lparam) {
  std::unique_lock lk(g_mu);
  ThreadQueue& q = Self();
  if (hook == nullptr) return 0;
  return CallHookChain(q, hook->hook->id, hook->hook, code, wparam, lparam, lk);
}

BOOL CallMsgFilterW(MSG* msg, int code) {
  std::unique_lock lk(g_mu);
  ThreadQueue& q = Self();
  return CallHookChain(q, WH_MSGFILTER, nullptr, code, 0, reinterpret_cast<LPARAM>(msg), lk) != 0;
}

// ---------------------------------------------------------------------------------------
// Cursor, coordinates, keys.
BOOL GetCursorPos(POINT* point) {
  if (point == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lk(g_mu);
  *point = g_cursor;
  return TRUE;
}

BOOL SetCursorPos(int x, int y) {
  ui::InjectMouse(WM_MOUSEMOVE, POINT{x, y});
  return TRUE;
}

HWND WindowFromPoint(POINT point) {
  std::lock_guard lk(g_mu);
  return WindowAt(point);
}

BOOL ScreenToClient(HWND hwnd, POINT* point) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr || point == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  RECT c = ClientScreenRect(w);
  point->x -= c.left;
  point->y -= c.top;
  return TRUE;
}

BOOL ClientToScreen(HWND hwnd, POINT* point) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr || point == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  RECT c = ClientScreenRect(w);
  point->x += c.left;
  point->y += c.top;
  return TRUE;
}

int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) {
  POINT a{0, 0}, b{0, 0};
  if (from != nullptr && !ClientToScreen(from, &a)) return 0;
  if (to != nullptr && !ClientToScreen(to, &b)) return 0;
  for (UINT i = 0; i < count; ++i) {
    points[i].x += a.x - b.x;
    points[i].y += a.y - b.y;
  }
  return MAKELPARAM(a.x - b.x, a.y - b.y);
}

int16_t GetKeyState(int vk) {
  std::lock_guard lk(g_mu);
  uint8_t k = g_keys[vk & 0xFF];
  // The modifiers as they were when the thread's last input message was made.
  if (auto q = QueueOf(GetCurrentThreadId()); q && q->have_keys) {
    if (vk == VK_SHIFT) k = q->shift;
    if (vk == VK_CONTROL) k = q->ctrl;
    if (vk == VK_MENU) k = q->alt;
  }
  return static_cast<int16_t>(((k & 0x80) ? 0x8000 : 0) | (k & 1));
}

int16_t GetAsyncKeyState(int vk) {
  std::lock_guard lk(g_mu);
  return static_cast<int16_t>((g_keys[vk & 0xFF] & 0x80) ? 0x8000 : 0);
}

UINT GetDoubleClickTime() {
  std::lock_guard lk(g_mu);
  return g_double_click_ms;
}

BOOL SetDoubleClickTime(UINT ms) {
  std::lock_guard lk(g_mu);
  g_double_click_ms = ms == 0 ? 500 : std::min<UINT>(ms, 5000);
  return TRUE;
}

struct CursorObject {
  int id;
};

HCURSOR LoadCursorW(HINSTANCE, LPCWSTR name) {
  static CursorObject arrow{32512}, hand{32649}, wait{32514};
  if (name == IDC_HAND) return &hand;
  if (name == IDC_WAIT) return &wait;
  return &arrow;
}

HCURSOR SetCursor(HCURSOR cursor) {
  static std::atomic<HCURSOR> current{nullptr};
  return current.exchange(cursor);
}

// ---------------------------------------------------------------------------------------
// Metrics.
int GetSystemMetrics(int index) {
  std::lock_guard lk(g_mu);
  switch (index) {
    case SM_CXSCREEN: case SM_CXFULLSCREEN: return g_screen_w;
    case SM_CYSCREEN: return g_screen_h;
    case SM_CYFULLSCREEN: return g_screen_h - g_taskbar_h - 19;
    case SM_CXBORDER: case SM_CYBORDER: return 1;
    case SM_CXDLGFRAME: case SM_CYDLGFRAME: return 3;
    case SM_CXEDGE: case SM_CYEDGE: return 2;
    case SM_CXICON: case SM_CYICON: return 32;
    case SM_CXSMICON: case SM_CYSMICON: return 16;
    case SM_CYCAPTION: return kCaptionHeight;
    case SM_CYMENU: return 19;
    case SM_CXMENUCHECK: case SM_CYMENUCHECK: return 13;
    case SM_CXDOUBLECLK: case SM_CYDOUBLECLK: return 4;
    default: return 0;
  }
}

namespace {
LOGFONTW UiFont(LONG height, LONG weight) {
  LOGFONTW lf{};
  lf.lfHeight = height;
  lf.lfWeight = weight;
  lf.lfCharSet = 1;  // DEFAULT_CHARSET
  std::u16string face = u"Segoe UI";
  std::copy(face.begin(), face.end(), lf.lfFaceName);
  return lf;
}
}  // namespace

BOOL SystemParametersInfoW(UINT action, UINT, void* pvparam, UINT) {
  if (pvparam == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  switch (action) {
    case SPI_GETNONCLIENTMETRICS: {
      auto* m = static_cast<NONCLIENTMETRICSW*>(pvparam);
      UINT size = m->cbSize;
      if (size != sizeof(NONCLIENTMETRICSW) && size != sizeof(NONCLIENTMETRICSW) - sizeof(int))
        return Fail(ERROR_INVALID_PARAMETER);
      NONCLIENTMETRICSW n{};
      n.cbSize = size;
      n.iBorderWidth = 1;
      n.iScrollWidth = n.iScrollHeight = 17;
      n.iCaptionWidth = n.iCaptionHeight = 18;
      n.lfCaptionFont = UiFont(-12, FW_BOLD);
      n.iSmCaptionWidth = n.iSmCaptionHeight = 17;
      n.lfSmCaptionFont = UiFont(-12, FW_BOLD);
      n.iMenuWidth = n.iMenuHeight = 18;
      n.lfMenuFont = UiFont(-12, FW_NORMAL);
      n.lfStatusFont = UiFont(-12, FW_NORMAL);
      n.lfMessageFont = UiFont(-12, FW_NORMAL);
      std::memcpy(m, &n, size);
      return TRUE;
    }
    case SPI_GETWORKAREA: {
      std::lock_guard lk(g_mu);
      *static_cast<RECT*>(pvparam) = RECT{0, 0, g_screen_w, g_screen_h - g_taskbar_h};
      return TRUE;
    }
    case SPI_GETMENUSHOWDELAY:
      *static_cast<DWORD*>(pvparam) = 400;
      return TRUE;
    case SPI_GETCLIENTAREAANIMATION: {
      std::lock_guard lk(g_mu);
      *static_cast<BOOL*>(pvparam) = g_client_animation;
      return TRUE;
    }
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

namespace testing {
void SetScreenSize(int width, int height, int taskbar_height) {
  std::lock_guard lk(g_mu);
  g_screen_w = width;
  g_screen_h = height;
  g_taskbar_h = taskbar_height;
}
void SetClientAreaAnimation(bool on) {
  std::lock_guard lk(g_mu);
  g_client_animation = on;
}
}  // namespace testing

// ---------------------------------------------------------------------------------------
// Inside the stand-in.
namespace ui {

bool GetDrawTarget(HWND hwnd, bool whole_window, DrawTarget* target) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  if (w == nullptr) return false;
  HWND top = TopLevelOf(hwnd);
  Window* t = Find(top);
  if (!t->surface) return false;
  RECT area = whole_window ? w->rect : ClientScreenRect(w);
  // Visible part: the area clipped by every parent's client area.
  RECT clip = area;
  for (Window* p = Find(w->parent); p != nullptr; p = Find(p->parent)) {
    RECT pc = ClientScreenRect(p);
    IntersectRect(&clip, &clip, &pc);
  }
  IntersectRect(&clip, &clip, &t->rect);
  target->surface = t->surface;
  target->origin = POINT{area.left - t->rect.left, area.top - t->rect.top};
  OffsetRect(&clip, -t->rect.left, -t->rect.top);
  target->clip = clip;
  return true;
}

std::shared_ptr<Surface> ScreenSurfaceFor(HWND hwnd) {
  std::lock_guard lk(g_mu);
  Window* w = Find(TopLevelOf(hwnd));
  return w == nullptr ? nullptr : w->surface;
}

RECT NonClientInsets(DWORD style, DWORD ex_style) { return FrameInsets(style, ex_style); }

bool IsMenuWindow(HWND hwnd) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  return w != nullptr && w->cls->name == kMenuClass;
}

std::vector<HWND> TopLevelWindows() {
  std::lock_guard lk(g_mu);
  return g_top;
}

std::u16string WindowClassName(HWND hwnd) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  return w == nullptr ? u"" : w->cls->name;
}

std::u16string WindowText(HWND hwnd) {
  std::lock_guard lk(g_mu);
  Window* w = Find(hwnd);
  return w == nullptr ? u"" : w->text;
}

HWND FindChild(HWND parent, const std::function<bool(HWND)>& match) {
  std::vector<HWND> kids;
  {
    std::lock_guard lk(g_mu);
    Window* w = Find(parent);
    if (w == nullptr) return nullptr;
    kids.assign(w->children.rbegin(), w->children.rend());
  }
  for (HWND c : kids) {
    if (match(c)) return c;
    if (HWND d = FindChild(c, match)) return d;
  }
  return nullptr;
}

bool RunModalLoop(HWND owner, int filter_code, const std::function<bool(MSG&)>& handle,
                  const std::function<bool()>& done) {
  bool reenable = owner != nullptr && IsWindowEnabled(owner) && !IsMenuWindow(owner);
  if (reenable) EnableWindow(owner, FALSE);
  bool quit = false;
  int quit_code = 0;
  MSG msg;
  while (!done()) {
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (done()) break;  // a send that PeekMessage ran may have ended the loop
      WaitMessage();
      continue;
    }
    if (msg.message == WM_QUIT) {
      quit = true;
      quit_code = static_cast<int>(msg.wParam);
      break;
    }
    if (CallMsgFilterW(&msg, filter_code)) continue;
    if (handle(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (reenable && IsWindow(owner)) EnableWindow(owner, TRUE);
  if (quit) PostQuitMessage(quit_code);
  return !quit;
}

void InjectMouse(UINT message, POINT screen) {
  std::lock_guard lk(g_mu);
  if (message == WM_MOUSEMOVE && screen.x == g_cursor.x && screen.y == g_cursor.y) return;
  g_cursor = screen;
  if (message == WM_LBUTTONDOWN) g_keys[VK_LBUTTON] |= 0x80;
  if (message == WM_LBUTTONUP) g_keys[VK_LBUTTON] &= ~0x80;
  if (message == WM_RBUTTONDOWN) g_keys[VK_RBUTTON] |= 0x80;
  if (message == WM_RBUTTONUP) g_keys[VK_RBUTTON] &= ~0x80;
  HWND under = WindowAt(screen);
  HWND target = g_capture != nullptr ? g_capture : under;
  if (target == nullptr) return;
  Window* t = Find(target);
  if (t->cls->name == kMenuClass) {
    // The menu loop reads screen coordinates and the window under the pointer when that is
    // one of its own popups.
    Window* u = Find(under);
    if (u != nullptr && u->cls->name == kMenuClass && u->thread == t->thread) target = under;
    PostInput(target, message, MouseKeys(), MAKELPARAM(screen.x, screen.y));
    return;
  }
  if (g_capture == nullptr && (t->style & WS_DISABLED) != 0) return;  // disabled windows get no input
  if (message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN) {
    auto now = Clock::now();
    bool dbl = (t->cls->wc.style & CS_DBLCLKS) != 0 && g_last_click.hwnd == target &&
               g_last_click.message == message &&
               now - g_last_click.when <= std::chrono::milliseconds(g_double_click_ms) &&
               std::abs(screen.x - g_last_click.pt.x) <= 2 && std::abs(screen.y - g_last_click.pt.y) <= 2;
    if (dbl) {
      message = message == WM_LBUTTONDOWN ? WM_LBUTTONDBLCLK : WM_RBUTTONDBLCLK;
      g_last_click = LastClick{};
    } else {
      g_last_click = LastClick{target, message, screen, now};
    }
  }
  RECT c = ClientScreenRect(t);
  PostInput(target, message, MouseKeys(), MAKELPARAM(screen.x - c.left, screen.y - c.top));
}

void InjectKey(int vk, bool down) {
  std::lock_guard lk(g_mu);
  uint8_t& k = g_keys[vk & 0xFF];
  bool repeat = down && (k & 0x80);
  if (down) {
    if (!repeat) k ^= 1;
    k |= 0x80;
  } else {
    k &= ~0x80;
  }
  if (vk == VK_SHIFT || vk == VK_CONTROL || vk == VK_MENU) {
    // The modifier keys are state; their own messages go out too, as the platform sends them.
  }
  bool alt = (g_keys[VK_MENU] & 0x80) != 0 || vk == VK_MENU;
  HWND target = g_focus != nullptr ? g_focus : g_active;
  if (target == nullptr) return;
  UINT message = alt && (g_keys[VK_CONTROL] & 0x80) == 0 ? (down ? WM_SYSKEYDOWN : WM_SYSKEYUP)
                                                          : (down ? WM_KEYDOWN : WM_KEYUP);
  LPARAM l = 1 | (alt ? (1 << 29) : 0) | (repeat ? (1 << 30) : 0);
  if (!down) l |= static_cast<LPARAM>(0xC0000000u);
  PostInput(target, message, static_cast<WPARAM>(vk), l);
}

void InjectChar(WCHAR c) {
  std::lock_guard lk(g_mu);
  HWND target = g_focus != nullptr ? g_focus : g_active;
  if (target == nullptr) return;
  PostInput(target, WM_KEYDOWN, VK_PACKET, 1 | (static_cast<LPARAM>(c) << 16));
  PostInput(target, WM_KEYUP, VK_PACKET, static_cast<LPARAM>(0xC0000001u) | (static_cast<LPARAM>(c) << 16));
}

bool WaitForThreadIdle(DWORD thread_id, int timeout_ms) {
  std::unique_lock lk(g_mu);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto q = QueueOf(thread_id);
    if (!q) return true;
    bool paint = false;
    for (auto& [h, w] : g_windows)
      if (w->thread == thread_id && (w->update_pending || w->nc_dirty) && VisibleChain(w.get())) paint = true;
    if (q->idle && q->incoming.empty() && q->posted.empty() && !q->quit && !paint) return true;
    if (g_idle_cv.wait_until(lk, deadline) == std::cv_status::timeout) return false;
  }
}

}  // namespace ui
}  // namespace win32
