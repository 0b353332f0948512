// CWaitDialog: runs an operation on a worker thread while the caller waits, and shows a small
// waiting box (template 30100 with the clip 30103) only when the operation takes longer than
// half a second. The user cannot close the box; it goes when the operation ends.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include <boost/function.hpp>

#include "platform/ui/ui_types.h"

namespace tray {

class CWaitDialog {
 public:
  // A null text counts as empty. Nothing runs yet.
  CWaitDialog(win32::HWND parent, const char16_t* text, boost::function<void()> operation);
  ~CWaitDialog();
  CWaitDialog(const CWaitDialog&) = delete;
  CWaitDialog& operator=(const CWaitDialog&) = delete;

  // Runs the operation once more on a new worker thread and returns 1 when it has ended,
  // whether or not the box was shown.
  int DoModal();

  static constexpr int kTemplateId = 30100;
  static constexpr int kTextId = 30101;
  static constexpr int kCancelId = 30102;
  static constexpr int kClipId = 30103;
  static constexpr int kAnimationId = 30104;
  static constexpr win32::UINT kEndMessage = win32::WM_USER + 1000;  // 2024
  static constexpr win32::DWORD kGraceMs = 500;
  static constexpr win32::DWORD kInitWaitMs = 100;
  static constexpr char16_t kTitle[] = u"Quorvane FireWire";

 private:
  static win32::DWORD Worker(void* self);
  static win32::INT_PTR BoxProc(win32::HWND box, win32::UINT message, win32::WPARAM wparam, win32::LPARAM lparam);
  void LayOutText();

  boost::function<void()> operation_;
  std::u16string text_;
  win32::HWND parent_;
  // Written by the calling thread at WM_INITDIALOG, read by the worker after the operation:
  // atomic, so that the read is of the handle as it is at that moment.
  std::atomic<win32::HWND> box_{nullptr};
  win32::HWND animation_ = nullptr;
  win32::HMODULE resources_ = nullptr;
  bool module_loaded_ = false;
  win32::HANDLE worker_ = nullptr;
};

// The message's lines when it is wider than `available` pixels: scanned character by character,
// cut once the first l characters measure at least available - 5, after the last space seen on
// the line (the space stays on the line) or, without one, after character l.
std::vector<std::u16string> WrapWaitText(const std::u16string& text, int available,
                                         const std::function<int(const std::u16string&)>& width);

}  // namespace tray
