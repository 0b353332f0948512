// tray_snapshots DIR: shows the tray program's dialogs on the headless screen (device
// settings, password, the progress box, a message box, the open-file dialog) and writes what a person would see as
// PNG files into DIR, with the focus and text put in through the automation interface.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/ui/automation.h"
#include "platform/ui/commdlg.h"
#include "platform/ui/dialog.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"
#include "tray/device_dialogs.h"
#include "tray/wait_dialog.h"
#include "platform/win32/hive.h"

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

  // The open-file dialog as the tray program asks for it, over a folder of sample images.
  {
    char tmpl[] = "/tmp/skm-images-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::filesystem::path images = tmpl;
    std::filesystem::create_directories(images / "Archive");
    std::filesystem::create_directories(images / "Games");
    for (const char* f : {"Install disc.iso", "Music 1998.cue", "Music 1998.bin", "Backup.mds", "Backup.mdf",
                          "notes.txt", "Photos 2003.nrg"})
      std::ofstream(images / f) << "x";
    const std::u16string folder = hive::Utf16FromUtf8(images.string());
    WCHAR file[260] = u" ";
    OPENFILENAMEW o{};
    o.lStructSize = sizeof o;
    o.lpstrFilter = u"Image files\0*.mds;*.mdx;*.iso;*.isz;*.pdi;*.cdi;*.cue;*.ccd;*.nrg;*.b5t;*.b6t;*.bwt\0All files\0*.*\0";
    o.nFilterIndex = 1;
    o.lpstrFile = file;
    o.nMaxFile = 260;
    o.lpstrInitialDir = folder.c_str();
    o.lpstrTitle = u"Select image file";
    o.lpstrDefExt = u"mds";
    o.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR;
    ok &= Shoot(gui, [&] { GetOpenFileNameW(&o); }, u"Select image file", dir + "/dialog-open-image.png",
                [](HWND dlg) {
                  // The pointer picks the first file, below the way up and the two folders, as a hand would.
                  au::MoveMouseTo(au::FindControlById(dlg, ui::kOpenFileListId), POINT{60, 2 + 3 * 18 + 9});
                  au::ButtonDown();
                  au::ButtonUp();
                },
                VK_ESCAPE);
    std::filesystem::remove_all(images);
  }

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
