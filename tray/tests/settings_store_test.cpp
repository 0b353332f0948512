#include "tray/settings_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/hive.h"

namespace {

using namespace win32;
namespace wt = win32::testing;

constexpr const char16_t* kRun = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char16_t* kSettings = u"Software\\Corvenna\\Quorvane FireWire";

std::vector<uint8_t> Bytes(std::u16string_view text) {
  std::vector<uint8_t> out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

std::u16string WithNul(std::u16string_view text) {
  std::u16string s(text);
  s.push_back(0);
  return s;
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/skm-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    file_ = folder_ + "/registry";
    setenv("SKELLMERE_REGISTRY", file_.c_str(), 1);
  }
  void TearDown() override {
    EXPECT_EQ(wt::OpenKeys(), 0u);
    wt::Reset();
    unsetenv("SKELLMERE_REGISTRY");
    std::string command = "rm -rf '" + folder_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  // Writes a value as some other program might have: any type, any bytes.
  void Store(const char16_t* path, const char16_t* name, DWORD type, const std::vector<uint8_t>& data) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  // The stored bytes of a value, or nothing.
  std::optional<std::vector<uint8_t>> Stored(const char16_t* path, const char16_t* name, DWORD* type = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    std::vector<uint8_t> data(4096);
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS st = RegQueryValueExW(key, name, nullptr, type, data.data(), &size);
    RegCloseKey(key);
    if (st != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    return data;
  }
  bool KeyExists(const char16_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  // The registry file exactly as a process starting now would find it.
  bool FileIsWhole(hive::Key* root, std::string* why) {
    std::ifstream f(file_, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    return hive::Parse(bytes.data(), bytes.size(), root, why);
  }
  bool AnythingSetAside() {
    std::string command = "ls '" + folder_ + "' | grep -q damaged";
    return std::system(command.c_str()) == 0;
  }

  std::string folder_;
  std::string file_;
};

TEST_F(SettingsStoreTest, WithNoSettingsKeyReadsAreOffAndCreateNothingUntilTheFirstSave) {
  EXPECT_FALSE(tray::LoadAutoMount());
  EXPECT_EQ(tray::LoadImagePath(), u"");
  EXPECT_FALSE(tray::IsAutoStartEnabled());
  EXPECT_FALSE(KeyExists(u"Software\\Corvenna"));
  EXPECT_NE(access(file_.c_str(), F_OK), 0) << "a read wrote the registry";

  tray::SaveDeviceIdentity(u"KORVEN", u"RIRazuVezi VOVUV", u"1.0b", 0);
  ASSERT_TRUE(KeyExists(kSettings));
  // Every value as its characters and no NUL.
  struct Row {
    const char16_t* name;
    std::u16string text;
  } rows[] = {{u"Vendor", u"KORVEN"}, {u"Model", u"RIRazuVezi VOVUV"}, {u"Revision", u"1.0b"}, {u"Client is Mac", u"0"}};
  for (const Row& r : rows) {
    DWORD type = 0;
    EXPECT_EQ(Stored(kSettings, r.name, &type), Bytes(r.text)) << hive::Utf8(r.name);
    EXPECT_EQ(type, REG_SZ);
  }
}

TEST_F(SettingsStoreTest, AutomountIsOnOnlyForExactlyTheCharacterOne) {
  struct Row {
    const char* what;
    DWORD type;
    std::vector<uint8_t> stored;  // empty optional: no value
    bool present;
    bool on;
  } rows[] = {
      {"\"1\" as the program writes it", REG_SZ, Bytes(u"1"), true, true},
      {"\"0\"", REG_SZ, Bytes(u"0"), true, false},
      {"\"1\" with a NUL: does not fit 2 bytes", REG_SZ, Bytes(WithNul(u"1")), true, false},
      {"\"11\"", REG_SZ, Bytes(u"11"), true, false},
      {"empty", REG_SZ, {}, true, false},
      {"a 32-bit 1", REG_DWORD, {1, 0, 0, 0}, true, false},
      {"\"1\" as binary", REG_BINARY, Bytes(u"1"), true, true},
      {"missing", REG_SZ, {}, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    tray::SaveAutoMount(0, u"");
    HKEY key = nullptr;
    ASSERT_EQ(tray::OpenSettingsKey(KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    if (r.present) {
      ASSERT_EQ(RegSetValueExW(key, u"Automount", 0, r.type, r.stored.data(), static_cast<DWORD>(r.stored.size())),
                ERROR_SUCCESS);
    } else {
      ASSERT_EQ(RegDeleteValueW(key, u"Automount"), ERROR_SUCCESS);
    }
    RegCloseKey(key);
    EXPECT_EQ(tray::LoadAutoMount(), r.on);
  }
}

TEST_F(SettingsStoreTest, SaveAutoMountStoresOneCharacterAndThePathWithoutNul) {
  tray::SaveAutoMount(7, u"C:\\Images\\disc.iso");
  EXPECT_EQ(Stored(kSettings, u"Automount"), Bytes(u"1"));
  EXPECT_EQ(Stored(kSettings, u"Image"), Bytes(u"C:\\Images\\disc.iso"));
  EXPECT_TRUE(tray::LoadAutoMount());
  EXPECT_EQ(tray::LoadImagePath(), u"C:\\Images\\disc.iso");
  tray::SaveAutoMount(0, u"");
  EXPECT_EQ(Stored(kSettings, u"Automount"), Bytes(u"0"));
  EXPECT_EQ(Stored(kSettings, u"Image"), std::vector<uint8_t>{});
  EXPECT_FALSE(tray::LoadAutoMount());
  EXPECT_EQ(tray::LoadImagePath(), u"");
}

TEST_F(SettingsStoreTest, ImagePathReadsUpTo260Characters) {
  const std::u16string longest(260, u'x');
  struct Row {
    const char* what;
    std::vector<uint8_t> stored;
    std::u16string read;
  } rows[] = {
      {"260 characters", Bytes(longest), longest},
      {"260 characters and a NUL: does not fit", Bytes(WithNul(longest)), u""},
      {"259 characters and a NUL", Bytes(WithNul(longest.substr(1))), longest.substr(1)},
      {"a NUL inside", Bytes(std::u16string(u"a.iso\0junk", 10)), u"a.iso"},
      {"empty", {}, u""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Store(kSettings, u"Image", REG_SZ, r.stored);
    EXPECT_EQ(tray::LoadImagePath(), r.read);
  }
}

TEST_F(SettingsStoreTest, ClientIsMacIsSetForOneWithOrWithoutNulAndOtherwiseClearOrKept) {
  struct Row {
    const char* what;
    std::optional<std::vector<uint8_t>> stored;
    BOOL before;
    BOOL after;
  } rows[] = {
      {"\"1\"", Bytes(u"1"), 0, 1},
      {"\"1\" and a NUL", Bytes(WithNul(u"1")), 0, 1},
      {"\"0\"", Bytes(u"0"), 1, 0},
      {"\"01\"", Bytes(u"01"), 1, 0},
      {"empty", std::vector<uint8_t>{}, 1, 0},
      // Too long for the 4-byte read: the query fails and the flag keeps what it held.
      {"\"true\", flag clear", Bytes(u"true"), 0, 0},
      {"\"true\", flag set", Bytes(u"true"), 1, 1},
      {"missing", std::nullopt, 1, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    tray::SaveDeviceIdentity(u"V", u"P", u"R", 0);
    if (r.stored) {
      Store(kSettings, u"Client is Mac", REG_SZ, *r.stored);
    } else {
      HKEY key = nullptr;
      ASSERT_EQ(tray::OpenSettingsKey(KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
      ASSERT_EQ(RegDeleteValueW(key, u"Client is Mac"), ERROR_SUCCESS);
      RegCloseKey(key);
    }
    std::u16string vendor, product, revision;
    BOOL mac = r.before;
    tray::LoadDeviceIdentity(&vendor, &product, &revision, &mac);
    EXPECT_EQ(mac, r.after);
    EXPECT_EQ(vendor, u"V");
  }
}

TEST_F(SettingsStoreTest, LoadDeviceIdentityOverwritesOnlyWhatItCanRead) {
  tray::SaveDeviceIdentity(u"ACME", u"Drive", u"2.0", 1);
  HKEY key = nullptr;
  ASSERT_EQ(tray::OpenSettingsKey(KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(key, u"Vendor"), ERROR_SUCCESS);
  const std::vector<uint8_t> too_long = Bytes(std::u16string(261, u'm'));
  ASSERT_EQ(RegSetValueExW(key, u"Model", 0, REG_SZ, too_long.data(), static_cast<DWORD>(too_long.size())),
            ERROR_SUCCESS);
  std::u16string place = u"kept";
  EXPECT_FALSE(tray::ReadStringSetting(key, u"Model", &place));
  EXPECT_FALSE(tray::ReadStringSetting(key, u"Missing", &place));
  EXPECT_EQ(place, u"kept");
  EXPECT_TRUE(tray::ReadStringSetting(key, u"Revision", &place));
  EXPECT_EQ(place, u"2.0");
  RegCloseKey(key);

  std::u16string vendor = u"KORVEN", product = u"RIRazuVezi VOVUV", revision = u"1.0b";
  BOOL mac = 0;
  tray::LoadDeviceIdentity(&vendor, &product, &revision, &mac);
  EXPECT_EQ(vendor, u"KORVEN");
  EXPECT_EQ(product, u"RIRazuVezi VOVUV");
  EXPECT_EQ(revision, u"2.0");
  EXPECT_EQ(mac, 1);
}

// The read opens the company key for reading, and a handle opened for reading may not
// create the settings key in it: the read changes nothing and leaves only the empty company
// key behind.
TEST_F(SettingsStoreTest, LoadDeviceIdentityWithoutTheSettingsKeyChangesNothing) {
  std::u16string vendor = u"KORVEN", product = u"RIRazuVezi VOVUV", revision = u"1.0b";
  BOOL mac = 0;
  tray::LoadDeviceIdentity(&vendor, &product, &revision, &mac);
  EXPECT_EQ(vendor, u"KORVEN");
  EXPECT_EQ(mac, 0);
  EXPECT_TRUE(KeyExists(u"Software\\Corvenna"));
  EXPECT_FALSE(KeyExists(kSettings));
  HKEY key = nullptr;
  EXPECT_EQ(tray::OpenSettingsKey(KEY_READ, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, nullptr);
  // Write access creates it.
  ASSERT_EQ(tray::OpenSettingsKey(KEY_WRITE, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(tray::OpenSettingsKey(KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(SettingsStoreTest, AutoStartEntry) {
  wt::SetModuleFileName(u"C:\\Program Files\\Skellmere\\Skellmere.exe");
  tray::EnableAutoStart();
  DWORD type = 0;
  EXPECT_EQ(Stored(kRun, u"Quorvane FireWire", &type),
            Bytes(u"\"C:\\Program Files\\Skellmere\\Skellmere.exe\" -autorun"));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_TRUE(tray::IsAutoStartEnabled());

  // Switching it off deletes only the entry: the AutoMount values stay.
  tray::SaveAutoMount(1, u"C:\\a.iso");
  tray::DisableAutoStart();
  EXPECT_FALSE(tray::IsAutoStartEnabled());
  EXPECT_EQ(Stored(kRun, u"Quorvane FireWire"), std::nullopt);
  EXPECT_TRUE(tray::LoadAutoMount());
  EXPECT_EQ(tray::LoadImagePath(), u"C:\\a.iso");
  tray::DisableAutoStart();  // nothing to delete: ignored

  struct Row {
    const char* what;
    DWORD type;
    std::vector<uint8_t> data;
    bool on;
  } rows[] = {
      {"a 32-bit value", REG_DWORD, {1, 0, 0, 0}, true},
      {"an empty string", REG_SZ, {}, true},
      {"520 bytes", REG_BINARY, std::vector<uint8_t>(520, 1), true},
      {"521 bytes: reads as absent", REG_BINARY, std::vector<uint8_t>(521, 1), false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Store(kRun, u"Quorvane FireWire", r.type, r.data);
    EXPECT_EQ(tray::IsAutoStartEnabled(), r.on);
  }
}

TEST_F(SettingsStoreTest, AutoStartIsWrittenOnlyWithTheWholeProgramPath) {
  const std::u16string prefix = u"C:\\";
  struct Row {
    const char* what;
    size_t path_chars;
    bool fail;
    bool written;
  } rows[] = {
      {"259 characters: fits with its NUL", 259, false, true},
      {"260 characters: cut", 260, false, false},
      {"300 characters: cut", 300, false, false},
      {"the call fails", 20, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    tray::DisableAutoStart();
    const std::u16string path = prefix + std::u16string(r.path_chars - prefix.size() - 4, u'p') + u".exe";
    wt::SetModuleFileName(path);
    if (r.fail) wt::FailNext(wt::Call::GetModuleFileName);
    tray::EnableAutoStart();
    if (r.written) {
      EXPECT_EQ(Stored(kRun, u"Quorvane FireWire"), Bytes(u"\"" + path + u"\" -autorun"));
    } else {
      EXPECT_FALSE(tray::IsAutoStartEnabled());
    }
  }
}

TEST_F(SettingsStoreTest, WithoutTheRunKeyAutoStartCanBeNeitherSetNorRead) {
  hive::Key root = hive::DefaultRoot();
  hive::FindPath(root, {u"Software", u"Microsoft", u"Windows", u"CurrentVersion"})->subkeys.clear();
  std::ofstream(file_, std::ios::binary).write(
      reinterpret_cast<const char*>(hive::Serialize(root).data()), static_cast<std::streamsize>(hive::Serialize(root).size()));
  tray::EnableAutoStart();
  EXPECT_FALSE(tray::IsAutoStartEnabled());
  EXPECT_FALSE(KeyExists(kRun));
  tray::DisableAutoStart();
}

// ---------------------------------------------------------------------------------------
// Other processes.
struct Child {
  pid_t pid = -1;
  int to_child = -1;    // its standard input
  int from_child = -1;  // its standard output
};

Child Spawn(const std::vector<std::string>& args) {
  // Close-on-exec: a second child must not hold the first one's standard input open.
  int in[2], out[2];
  EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(SKM_SETTINGS_HELPER));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    execv(SKM_SETTINGS_HELPER, argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  c.to_child = in[1];
  c.from_child = out[0];
  return c;
}

int Wait(Child& c) {
  int status = 0;
  EXPECT_EQ(waitpid(c.pid, &status, 0), c.pid);
  if (c.to_child >= 0) close(c.to_child);
  close(c.from_child);
  return status;
}

// Kills come at every moment of a write: inside the temporary file, at its sync, between
// the sync and the rename. Whatever the moment, the file a new process finds is whole.
TEST_F(SettingsStoreTest, AWriterKilledAtAnyMomentLeavesAWholeFile) {
  for (int round = 0; round < 16; ++round) {
    SCOPED_TRACE(round);
    Child c = Spawn({"stream"});
    char line[8] = {};
    ASSERT_EQ(read(c.from_child, line, 6), 6);
    ASSERT_STREQ(line, "ready\n");
    std::this_thread::sleep_for(std::chrono::microseconds(1500 * round + 300 * (round % 5)));
    ASSERT_EQ(kill(c.pid, SIGKILL), 0);
    const int status = Wait(c);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer ended before its kill";

    hive::Key root;
    std::string why;
    ASSERT_TRUE(FileIsWhole(&root, &why)) << why;
    EXPECT_FALSE(AnythingSetAside());
    EXPECT_EQ(tray::LoadImagePath().rfind(u"image-", 0), 0u);
    std::u16string vendor = u"none", product, revision;
    BOOL mac = 0;
    tray::LoadDeviceIdentity(&vendor, &product, &revision, &mac);
    EXPECT_EQ(vendor.rfind(u"V", 0), 0u);
  }
  // The registry goes on working after the kills.
  tray::SaveAutoMount(1, u"after");
  EXPECT_EQ(tray::LoadImagePath(), u"after");
}

TEST_F(SettingsStoreTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kCount = 60;
  Child a = Spawn({"values", "A", std::to_string(kCount)});
  Child b = Spawn({"values", "B", std::to_string(kCount)});
  // Both start together: their standard input closes at the same moment.
  close(a.to_child);
  close(b.to_child);
  a.to_child = b.to_child = -1;
  const int status_a = Wait(a);
  const int status_b = Wait(b);
  ASSERT_TRUE(WIFEXITED(status_a) && WEXITSTATUS(status_a) == 0);
  ASSERT_TRUE(WIFEXITED(status_b) && WEXITSTATUS(status_b) == 0);

  int missing = 0;
  for (const char* name : {"A", "B"}) {
    for (int i = 0; i < kCount; ++i) {
      const std::string n = std::to_string(i);
      const std::u16string value = hive::Utf16FromUtf8(name + n);
      if (Stored(kSettings, value.c_str()) != Bytes(hive::Utf16FromUtf8("v" + n))) ++missing;
    }
  }
  EXPECT_EQ(missing, 0);
  EXPECT_TRUE(tray::LoadAutoMount());
  EXPECT_EQ(tray::LoadImagePath(), hive::Utf16FromUtf8("image-A-" + std::to_string(kCount - 1)));
  std::u16string vendor, product, revision;
  BOOL mac = 0;
  tray::LoadDeviceIdentity(&vendor, &product, &revision, &mac);
  EXPECT_EQ(vendor, hive::Utf16FromUtf8("B" + std::to_string(kCount - 1)));
  EXPECT_EQ(mac, 1);
}

}  // namespace
