// tray_snapshots DIR: shows the tray program's dialogs on the headless screen (device
// settings, password, the progress box, a message box) and writes what a person would see as
// PNG files into DIR, with the focus and text put in through the automation interface.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/ui/automation.h"
#include "platform/ui/dialog.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"
#include "tray/device_dialogs.h"
#include "tray/wait_dialog.h"

using namespace win32;
namespace au = win32::automation;

namespace {

// Shows a dialog on the GUI thread, lets `drive` act on it, snapshots it, then presses `close`.
bool Shoot(win32::uitest::GuiThread& gui, const std::function<void()>& show, const std::u16string& caption,
           const std::string& path, const std::function<void(HWND)>& drive, int close_key) {
  auto done = gui.Start(show);
  HWND dlg = au::WaitForWindow(WC_DIALOG, caption);
  if (dlg == nullptr) return false;
  if (drive) drive(dlg);
  au::WaitForIdle();
  bool ok = au::SnapshotWindow(dlg, path);
  au::PressKey(close_key);
  done.get();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tray_snapshots DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  win32::uitest::GuiThread gui;
  bool ok = true;

  tray::CDeviceSettingsDialog settings(u"KORVEN", u"RIRazuVezi VOVUV", u"1.0b", 1);
  ok &= Shoot(gui, [&] { settings.DoModal(); }, u"Device settings", dir + "/dialog-device-settings.png", nullptr, VK_ESCAPE);

  char16_t* password = nullptr;
  tray::CPasswordDialog pw(&password, u"/home/user/images/protected-disc.iso");
  ok &= Shoot(gui, [&] { pw.DoModal(); }, u"Password", dir + "/dialog-password.png",
              [](HWND) { au::TypeText(u"secret"); }, VK_ESCAPE);

  ok &= Shoot(gui, [] { MessageBoxW(nullptr, u"The image file could not be opened. Check that it exists and that no other program holds it open.", u"Quorvane FireWire", MB_RETRYCANCEL | MB_ICONERROR); },
              u"Quorvane FireWire", dir + "/messagebox-error.png", nullptr, VK_ESCAPE);
  ok &= Shoot(gui, [] { MessageBoxW(nullptr, u"Remove the virtual device?", u"Question", MB_YESNO | MB_ICONQUESTION); },
              u"Question", dir + "/messagebox-question.png", nullptr, VK_RETURN);

  // The progress box: shown after its half second, photographed twice as the clip turns.
  std::atomic<bool> release{false};
  auto done = gui.Start([&] {
    tray::CWaitDialog wait(nullptr, u"Mount image", [&] {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    wait.DoModal();
  });
  HWND box = au::WaitForWindow(WC_DIALOG, tray::CWaitDialog::kTitle, 3000);
  ok &= box != nullptr && au::SnapshotWindow(box, dir + "/progress-box.png");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  au::WaitForIdle();
  ok &= box != nullptr && au::SnapshotWindow(box, dir + "/progress-box-later.png");
  release = true;
  done.get();
  delete[] password;
  if (!ok) std::fprintf(stderr, "tray_snapshots: a picture could not be taken\n");
  return ok ? 0 : 1;
}
