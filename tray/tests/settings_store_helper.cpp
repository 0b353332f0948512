// A second program for the settings store's tests: it writes settings as the tray program
// would, in a process of its own, so that the tests can kill it mid-write or run two at once.
//
//   settings_store_helper stream          writes round after round until it is killed, each
//                                         file slowly; says "ready" on standard output
//                                         after the first round
//   settings_store_helper values NAME N   waits for its standard input to close, then writes
//                                         N values "<NAME><i>" into the settings key, and
//                                         round after round of the AutoMount values (NAME
//                                         "A") or the device identity (any other NAME)
// The registry file is the one SKELLMERE_REGISTRY names. Exit status 0 when every write
// succeeded.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32/win32.h"
#include "tray/settings_store.h"

namespace {

std::u16string Text(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

int Stream() {
  // Slow writes, so that the kills land inside them and not only between them.
  win32::testing::SlowRegistryWrites(64, 300);
  for (unsigned i = 0;; ++i) {
    const std::u16string n = Text(std::to_string(i));
    tray::SaveAutoMount(i % 2, u"image-" + n);
    tray::SaveDeviceIdentity(u"V" + n, u"Product " + n, u"R" + n.substr(0, 3), i % 2);
    if (i == 0) {
      std::printf("ready\n");
      std::fflush(stdout);
    }
  }
}

int Values(const std::string& name, int count) {
  char c;
  while (read(0, &c, 1) > 0) {
  }
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    const std::u16string n = Text(std::to_string(i));
    win32::HKEY key = nullptr;
    if (tray::OpenSettingsKey(win32::KEY_ALL_ACCESS, &key) != win32::ERROR_SUCCESS) {
      ++failures;
      continue;
    }
    const std::u16string value_name = Text(name) + n;
    const std::u16string data = u"v" + n;
    if (win32::RegSetValueExW(key, value_name.c_str(), 0, win32::REG_SZ,
                              reinterpret_cast<const win32::BYTE*>(data.data()),
                              static_cast<win32::DWORD>(data.size() * 2)) != win32::ERROR_SUCCESS) {
      ++failures;
    }
    win32::RegCloseKey(key);
    if (name == "A") {
      tray::SaveAutoMount(1, u"image-A-" + n);
    } else {
      tray::SaveDeviceIdentity(Text(name) + n, u"Model " + n, u"1.0", 1);
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "stream" && argc == 2) return Stream();
  if (mode == "values" && argc == 4) return Values(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: settings_store_helper stream | values NAME COUNT\n");
  return 2;
}
