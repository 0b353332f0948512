// CWaitDialog: the worker, the grace period and the waiting box.
#include "tray/wait_dialog.h"

#include <algorithm>

#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"
#include "platform/ui/gdi.h"
#include "platform/ui/resource.h"
#include "platform/ui/text.h"
#include "platform/ui/window.h"

namespace tray {

using namespace win32;

std::vector<std::u16string> WrapWaitText(const std::u16string& text, int available,
                                         const std::function<int(const std::u16string&)>& width) {
  std::vector<std::u16string> lines;
  std::u16string rest = text;
  while (!rest.empty()) {
    size_t last_space = std::u16string::npos;
    size_t cut = std::u16string::npos;
    for (size_t l = 1; l <= rest.size(); ++l) {
      if (rest[l - 1] == u' ') last_space = l;  // counts before this step's measurement
      if (width(rest.substr(0, l)) >= available - 5) {
        cut = last_space != std::u16string::npos ? last_space : l;
        break;
      }
    }
    if (cut == std::u16string::npos) {
      lines.push_back(rest);
      break;
    }
    lines.push_back(rest.substr(0, cut));
    rest = rest.substr(cut);
  }
  return lines;
}

CWaitDialog::CWaitDialog(HWND parent, const char16_t* text, boost::function<void()> operation)
    : operation_(std::move(operation)), text_(text != nullptr ? text : u""), parent_(parent) {}

CWaitDialog::~CWaitDialog() {
  if (worker_ != nullptr) CloseHandle(worker_);
  if (module_loaded_) FreeLibrary(resources_);
}

DWORD CWaitDialog::Worker(void* param) {
  auto* self = static_cast<CWaitDialog*>(param);
  try {
    if (self->operation_) self->operation_();  // an empty operation fails at once, silently
  } catch (...) {
    // The operation reports its own failures; nothing reaches the caller.
  }
  // To the box as known now: before the box exists the post goes nowhere, and the box's own
  // initialisation (the 100 ms wait) makes up for it.
  PostMessageW(self->box_.load(), kEndMessage, 0, 0);
  return 0;
}

int CWaitDialog::DoModal() {
  if (resources_ == nullptr) {
    resources_ = GetModuleHandleW(nullptr);
    if (resources_ == nullptr || FindResourceW(resources_, MAKEINTRESOURCEW(kTemplateId), RT_DIALOG) == nullptr) {
      resources_ = LoadLibraryExW(u"QXCommonRes.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
      module_loaded_ = resources_ != nullptr;
    }
  }
  if (worker_ != nullptr) CloseHandle(worker_);
  box_.store(nullptr);
  worker_ = CreateThread(nullptr, 0, Worker, this, 0, nullptr);
  if (worker_ == nullptr) return 1;
  int result = 1;
  if (WaitForSingleObject(worker_, kGraceMs) == WAIT_TIMEOUT) {
    INT_PTR r = DialogBoxParamW(resources_, MAKEINTRESOURCEW(kTemplateId), parent_, BoxProc, reinterpret_cast<LPARAM>(this));
    result = r < 0 ? 1 : static_cast<int>(r);
  }
  // The operation has ended (or, when the box could not be made, ends now); its thread is
  // not left running past the object.
  WaitForSingleObject(worker_, INFINITE);
  box_.store(nullptr);
  return result;
}

void CWaitDialog::LayOutText() {
  HWND box = box_.load();
  HWND label = GetDlgItem(box, kTextId);
  if (label == nullptr) return;
  RECT d, s;
  GetWindowRect(box, &d);
  GetWindowRect(label, &s);
  MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&d), 2);
  MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&s), 2);
  HDC dc = GetDC(label);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
  auto measure = [dc](const std::u16string& t) {
    SIZE sz{};
    GetTextExtentPoint32W(dc, t.c_str(), static_cast<int>(t.size()), &sz);
    return static_cast<int>(sz.cx);
  };
  SIZE whole{};
  GetTextExtentPoint32W(dc, text_.c_str(), static_cast<int>(text_.size()), &whole);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  int w = whole.cx, h = whole.cy > 0 ? whole.cy : tm.tmHeight;
  int available = d.right - s.left - 20;
  if (w <= available) {
    int x = std::max<int>(d.right / 2 - w / 2, s.left);
    int y = (d.top + d.bottom) / 2 - h / 2;
    MoveWindow(label, x, y, w, h, TRUE);
    SetWindowTextW(label, text_.c_str());
  } else {
    std::vector<std::u16string> lines = WrapWaitText(text_, available, measure);
    std::u16string joined;
    for (const auto& l : lines) joined += l + u"\r\n";
    int n = static_cast<int>(lines.size());
    MoveWindow(label, s.left, (d.top + d.bottom) / 2 - (n * h) / 2, available, n * h, TRUE);
    SetWindowTextW(label, joined.c_str());
  }
  SelectObject(dc, old);
  ReleaseDC(label, dc);
}

INT_PTR CWaitDialog::BoxProc(HWND box, UINT message, WPARAM, LPARAM lparam) {
  auto* self = reinterpret_cast<CWaitDialog*>(GetWindowLongPtrW(box, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      self = reinterpret_cast<CWaitDialog*>(lparam);
      SetWindowLongPtrW(box, DWLP_USER, lparam);
      self->box_.store(box);
      self->LayOutText();
      SetWindowTextW(box, kTitle);
      self->animation_ = CreateWindowExW(0, ANIMATE_CLASSW, nullptr,
                                         WS_CHILD | WS_VISIBLE | ACS_CENTER | ACS_TRANSPARENT | ACS_AUTOPLAY, 0, 0, 0, 0,
                                         box, reinterpret_cast<HMENU>(static_cast<uintptr_t>(kAnimationId)),
                                         self->resources_, nullptr);
      Animate_OpenEx(self->animation_, self->resources_, MAKEINTRESOURCEW(kClipId));
      RECT r;
      GetWindowRect(box, &r);
      MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&r), 2);
      MoveWindow(self->animation_, 25, (r.top + r.bottom) / 2 - 16, 33, 33, TRUE);
      // An operation that ended just after the grace period posted to no box: close now.
      if (WaitForSingleObject(self->worker_, kInitWaitMs) != WAIT_TIMEOUT) EndDialog(box, 1);
      return TRUE;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(box, &ps);
      RECT rc;
      GetClientRect(box, &rc);
      FrameRect(dc, &rc, GetSysColorBrush(COLOR_ACTIVEBORDER));
      EndPaint(box, &ps);
      return TRUE;
    }
    case kEndMessage:
      if (self != nullptr) Animate_Close(self->animation_);
      EndDialog(box, 1);
      return TRUE;
    default:
      // OK and Cancel (Enter, Esc, Alt+F4) are not handled: the user cannot close the box.
      return FALSE;
  }
}

}  // namespace tray
