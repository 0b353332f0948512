#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/win32/hive.h"
#include "platform/win32/win32.h"

namespace {

using namespace win32;
namespace wt = win32::testing;

std::vector<uint8_t> Bytes(std::u16string_view text) {
  std::vector<uint8_t> out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Each test gets a registry file of its own in a fresh folder.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/skm-registry-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    file_ = folder_ + "/registry";
    setenv("SKELLMERE_REGISTRY", file_.c_str(), 1);
  }
  void TearDown() override {
    EXPECT_EQ(wt::OpenKeys(), 0u);
    unsetenv("SKELLMERE_REGISTRY");
    std::string command = "rm -rf '" + folder_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  HKEY Create(const char16_t* path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, access, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
  HKEY Open(const char16_t* path, REGSAM access) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, access, &key), ERROR_SUCCESS);
    return key;
  }
  static LSTATUS Set(HKEY key, const char16_t* name, DWORD type, const std::vector<uint8_t>& data) {
    return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
  }
  hive::Key FileTree() {
    const std::vector<uint8_t> bytes = ReadAll(file_);
    hive::Key root;
    std::string why;
    EXPECT_TRUE(hive::Parse(bytes.data(), bytes.size(), &root, &why)) << why;
    return root;
  }
  std::vector<std::string> FolderEntries() {
    std::vector<std::string> names;
    std::string command = "ls -1 '" + folder_ + "'";
    FILE* p = popen(command.c_str(), "r");
    char line[512];
    while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) {
      names.emplace_back(line, std::strcspn(line, "\n"));
    }
    if (p != nullptr) pclose(p);
    return names;
  }

  std::string folder_;
  std::string file_;
};

TEST_F(RegistryTest, ValuesComeBackAsTheBytesStoredWithNoTerminatorAdded) {
  HKEY key = Create(u"Software\\Test");
  ASSERT_EQ(Set(key, u"NoNul", REG_SZ, Bytes(u"abc")), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, u"WithNul", REG_SZ, Bytes(std::u16string(u"abc", 4))), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, u"Empty", REG_SZ, {}), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, u"Odd", REG_BINARY, {1, 2, 3}), ERROR_SUCCESS);

  struct Row {
    const char16_t* name;
    std::vector<uint8_t> stored;
    DWORD type;
  } rows[] = {
      {u"NoNul", Bytes(u"abc"), REG_SZ},
      {u"WithNul", Bytes(std::u16string(u"abc", 4)), REG_SZ},
      {u"Empty", {}, REG_SZ},
      {u"Odd", {1, 2, 3}, REG_BINARY},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(hive::Utf8(r.name));
    std::vector<uint8_t> buffer(32, 0xCC);
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD type = 99;
    ASSERT_EQ(RegQueryValueExW(key, r.name, nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, r.type);
    ASSERT_EQ(size, r.stored.size());
    EXPECT_TRUE(std::equal(r.stored.begin(), r.stored.end(), buffer.begin()));
    EXPECT_EQ(buffer[size], 0xCC) << "a byte past the value was written";
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, QueryArgumentsAndBufferSizes) {
  HKEY key = Create(u"Software\\Test");
  ASSERT_EQ(Set(key, u"Name", REG_SZ, Bytes(u"1234")), ERROR_SUCCESS);  // 8 bytes
  struct Row {
    const char* what;
    const char16_t* name;
    bool reserved;
    bool with_data;
    DWORD offered;  // ~0: no size pointer
    LSTATUS expected;
    DWORD size_after;
  } rows[] = {
      {"exact fit", u"Name", false, true, 8, ERROR_SUCCESS, 8},
      {"room to spare", u"Name", false, true, 20, ERROR_SUCCESS, 8},
      {"one byte short", u"Name", false, true, 7, ERROR_MORE_DATA, 8},
      {"no room", u"Name", false, true, 0, ERROR_MORE_DATA, 8},
      {"size only", u"Name", false, false, 0, ERROR_SUCCESS, 8},
      {"missing value", u"Other", false, true, 20, ERROR_FILE_NOT_FOUND, 20},
      {"reserved given", u"Name", true, true, 20, ERROR_INVALID_PARAMETER, 20},
      {"data without a size", u"Name", false, true, ~0u, ERROR_INVALID_PARAMETER, 0},
      {"existence only", u"Name", false, false, ~0u, ERROR_SUCCESS, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<uint8_t> buffer(32, 0xCC);
    DWORD size = r.offered;
    DWORD reserved = 0;
    DWORD type = 99;
    const LSTATUS st = RegQueryValueExW(key, r.name, r.reserved ? &reserved : nullptr, &type,
                                        r.with_data ? buffer.data() : nullptr,
                                        r.offered == ~0u ? nullptr : &size);
    EXPECT_EQ(st, r.expected);
    if (r.offered != ~0u) {
      EXPECT_EQ(size, r.size_after);
    }
    if (st == ERROR_MORE_DATA) {
      EXPECT_EQ(type, REG_SZ);
      EXPECT_EQ(buffer[0], 0xCC) << "a short buffer must stay untouched";
    }
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirStoredCase) {
  HKEY key = Create(u"Software\\Corvenna\\Quorvane FireWire");
  ASSERT_EQ(Set(key, u"Automount", REG_SZ, Bytes(u"1")), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, u"AUTOMOUNT", REG_SZ, Bytes(u"0")), ERROR_SUCCESS);  // the same value
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  key = Open(u"SOFTWARE\\corvenna\\QUORVANE firewire", KEY_READ);
  std::vector<uint8_t> buffer(2);
  DWORD size = 2;
  ASSERT_EQ(RegQueryValueExW(key, u"automount", nullptr, nullptr, buffer.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(buffer, Bytes(u"0"));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  hive::Key root = FileTree();
  hive::Key* k = hive::FindPath(root, {u"software", u"CORVENNA", u"quorvane firewire"});
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->name, u"Quorvane FireWire");
  ASSERT_EQ(k->values.size(), 1u);
  EXPECT_EQ(k->values[0].name, u"Automount");
}

TEST_F(RegistryTest, AHandleGrantsOnlyTheRightsItWasOpenedWith) {
  HKEY setup = Create(u"Software\\Test");
  ASSERT_EQ(Set(setup, u"V", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(setup), ERROR_SUCCESS);
  struct Row {
    const char* what;
    REGSAM access;
    bool query, set, create;
  } rows[] = {
      {"KEY_READ", KEY_READ, true, false, false},
      {"KEY_WRITE", KEY_WRITE, false, true, true},
      {"KEY_ALL_ACCESS", KEY_ALL_ACCESS, true, true, true},
      {"no rights", 0, false, false, false},
      {"GENERIC_READ", GENERIC_READ, true, false, false},
      {"GENERIC_WRITE", GENERIC_WRITE, false, true, true},
      {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, true, false, false},
      {"KEY_SET_VALUE", KEY_SET_VALUE, false, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    HKEY key = Open(u"Software\\Test", r.access);
    DWORD size = 4;
    BYTE data[4];
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, data, &size),
              r.query ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    EXPECT_EQ(Set(key, u"V", REG_DWORD, {2, 0, 0, 0}), r.set ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(key, u"Missing"), r.set ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, u"Sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
              r.create ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    if (sub != nullptr) {
      EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
}

TEST_F(RegistryTest, KeyPaths) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\A\\B\\C\\", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"software\\a\\b\\c", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  // A relative open from a handle, and an empty path as a second handle to the same key.
  HKEY same = nullptr;
  ASSERT_EQ(RegOpenKeyExW(key, nullptr, 0, KEY_ALL_ACCESS, &same), ERROR_SUCCESS);
  ASSERT_EQ(Set(same, nullptr, REG_SZ, Bytes(u"default")), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(RegCloseKey(same), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  HKEY b = Open(u"Software\\A\\B", KEY_READ);
  ASSERT_EQ(RegOpenKeyExW(b, u"C", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  struct Row {
    const char16_t* path;
    LSTATUS open;
  } rows[] = {
      {u"Software\\A\\Missing", ERROR_FILE_NOT_FOUND},
      {u"\\Software\\A", ERROR_BAD_PATHNAME},
      {u"Software\\\\A", ERROR_BAD_PATHNAME},
      {u"Software\\A\\B\\C\\D", ERROR_FILE_NOT_FOUND},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(hive::Utf8(r.path));
    key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, r.path, 0, KEY_READ, &key), r.open);
    EXPECT_EQ(key, nullptr);
  }
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\V", 0, nullptr, REG_OPTION_VOLATILE, KEY_READ,
                            nullptr, &key, nullptr),
            ERROR_NOT_SUPPORTED);
  EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(b), ERROR_INVALID_HANDLE);
  // An event handle is no key.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(CloseHandle(event), TRUE);
}

TEST_F(RegistryTest, AFreshUserHasTheStartUpKeyAndReadsCreateNoFile) {
  HKEY run = Open(u"Software\\Microsoft\\Windows\\CurrentVersion\\Run", KEY_ALL_ACCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(run, u"Anything", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(access(file_.c_str(), F_OK), -1) << "a read created the registry file";
  EXPECT_EQ(Set(run, u"Anything", REG_SZ, Bytes(u"x")), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(run), ERROR_SUCCESS);
  EXPECT_EQ(access(file_.c_str(), F_OK), 0);
  // The change was written whole: no temporary file is left behind.
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"registry", "registry.lock"}));
}

TEST_F(RegistryTest, AChangeAnotherProcessWroteShowsAtOnce) {
  HKEY key = Create(u"Software\\Test");
  ASSERT_EQ(Set(key, u"V", REG_SZ, Bytes(u"old")), ERROR_SUCCESS);
  hive::Key root = FileTree();
  hive::FindValue(*hive::FindPath(root, {u"Software", u"Test"}), u"V")->data = Bytes(u"new!");
  WriteAll(file_, hive::Serialize(root));
  std::vector<uint8_t> buffer(16);
  DWORD size = 16;
  ASSERT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, buffer.data(), &size), ERROR_SUCCESS);
  buffer.resize(size);
  EXPECT_EQ(buffer, Bytes(u"new!"));
  // The key gone from the file: the handle says so.
  WriteAll(file_, hive::Serialize(hive::DefaultRoot()));
  EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, buffer.data(), &size), ERROR_KEY_DELETED);
  EXPECT_EQ(Set(key, u"V", REG_SZ, Bytes(u"x")), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, DeleteValue) {
  HKEY key = Create(u"Software\\Test");
  ASSERT_EQ(Set(key, u"V", REG_SZ, Bytes(u"x")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"v"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"V"), ERROR_FILE_NOT_FOUND);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(key, u"V", 0, REG_SZ, nullptr, 2), ERROR_NOACCESS);
  EXPECT_EQ(RegSetValueExW(key, u"V", 1, REG_SZ, nullptr, 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AHandleBelongsToItsProcess) {
  HKEY key = Create(u"Software\\Test");
  {
    kern::ProcessScope other(4242);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// Damage of every kind is set aside, with a message that says where, and never emptied.
TEST_F(RegistryTest, ADamagedFileIsMovedAsideWithAMessage) {
  hive::Key good = hive::DefaultRoot();
  good.subkeys[0].values.push_back(hive::Value{u"Kept", REG_SZ, Bytes(u"yes")});
  const std::vector<uint8_t> whole = hive::Serialize(good);
  std::vector<uint8_t> flipped = whole;
  flipped.back() ^= 0x40;
  std::vector<uint8_t> cut(whole.begin(), whole.end() - 3);
  std::vector<uint8_t> version = whole;
  version[8] = 9;
  struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* reason;
  } rows[] = {
      {"a flipped bit", flipped, "checksum"},
      {"cut short", cut, "cut short"},
      {"empty", {}, "empty"},
      {"another program's file", Bytes(u"hello world, not a registry"), "not a registry file"},
      {"an unknown version", version, "version 9"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    WriteAll(file_, r.bytes);
    ::testing::internal::CaptureStderr();
    HKEY key = Open(u"Software", KEY_READ);
    const std::string message = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("is damaged"), std::string::npos) << message;
    EXPECT_NE(message.find(r.reason), std::string::npos) << message;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Kept", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    std::string aside;
    for (const std::string& name : FolderEntries()) {
      if (name.rfind("registry.damaged-", 0) == 0) aside = folder_ + "/" + name;
    }
    ASSERT_FALSE(aside.empty());
    EXPECT_NE(message.find(aside), std::string::npos) << message;
    EXPECT_EQ(ReadAll(aside), r.bytes);
    ASSERT_EQ(unlink(aside.c_str()), 0);
  }
  // After damage the registry works on: the next change writes a whole file.
  HKEY key = Create(u"Software\\Test");
  ASSERT_EQ(Set(key, u"V", REG_SZ, Bytes(u"x")), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  FileTree();
}

TEST(HiveTest, FileLayout) {
  hive::Key root;
  root.subkeys.push_back(hive::Key{u"K", {hive::Value{u"v", 4, {1, 2, 3, 4}}}, {}});
  const std::vector<uint8_t> bytes = hive::Serialize(root);
  const std::vector<uint8_t> payload = {
      0, 0, 0, 0, 0, 0,                    // root: no name, no values
      1, 0, 0, 0,                          // one subkey
      1, 0, 'K', 0, 1, 0, 0, 0,            // "K", one value
      1, 0, 'v', 0, 4, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4,  // "v", REG_DWORD, 4 bytes
      0, 0, 0, 0,                          // no subkeys
  };
  ASSERT_EQ(bytes.size(), hive::kHeaderSize + payload.size());
  EXPECT_EQ(std::memcmp(bytes.data(), "SKMHIVE\x1A", 8), 0);
  EXPECT_EQ(bytes[8], hive::kHiveVersion);
  EXPECT_EQ(bytes[12], payload.size());
  const uint32_t crc = hive::Crc32(payload.data(), payload.size());
  EXPECT_EQ(std::memcmp(bytes.data() + 16, &crc, 4), 0);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), bytes.begin() + hive::kHeaderSize));
  EXPECT_EQ(hive::Crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);

  hive::Key back;
  std::string why;
  ASSERT_TRUE(hive::Parse(bytes.data(), bytes.size(), &back, &why)) << why;
  EXPECT_EQ(hive::Serialize(back), bytes);
}

TEST(HiveTest, ParseRefusesTreesTheRegistryCannotHold) {
  auto with = [](auto edit) {
    hive::Key root = hive::DefaultRoot();
    edit(root);
    return hive::Serialize(root);
  };
  struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
  } rows[] = {
      {"a key twice", with([](hive::Key& r) { r.subkeys.push_back(hive::Key{u"SOFTWARE", {}, {}}); })},
      {"a value twice", with([](hive::Key& r) {
         r.values.push_back(hive::Value{u"a", 1, {}});
         r.values.push_back(hive::Value{u"A", 1, {}});
       })},
      {"a key without a name", with([](hive::Key& r) { r.subkeys.push_back(hive::Key{u"", {}, {}}); })},
      {"a backslash in a name", with([](hive::Key& r) { r.subkeys.push_back(hive::Key{u"a\\b", {}, {}}); })},
      {"a named root", with([](hive::Key& r) { r.name = u"root"; })},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    hive::Key root;
    std::string why;
    EXPECT_FALSE(hive::Parse(r.bytes.data(), r.bytes.size(), &root, &why));
    EXPECT_FALSE(why.empty());
  }
}

TEST(HiveTest, ExportIsARegistryEditorFile) {
  hive::Key root;
  hive::Key software{u"Software", {}, {}};
  hive::Key key{u"Corvenna", {}, {}};
  key.values = {
      {u"Terminated", REG_SZ, Bytes(std::u16string(u"C:\\Images\\\"a\".iso", 18))},
      {u"Automount", REG_SZ, Bytes(u"1")},
      {u"", REG_SZ, Bytes(std::u16string(u"d", 2))},
      {u"Count", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
      {u"Short", REG_DWORD, {1, 2}},
      {u"Blob", REG_BINARY, std::vector<uint8_t>(30, 0xAB)},
      {u"None", REG_NONE, {}},
  };
  software.subkeys.push_back(key);
  root.subkeys.push_back(software);
  const std::u16string text = hive::ExportReg(root, u"HKEY_CURRENT_USER");
  const std::u16string expected =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_CURRENT_USER]\r\n\r\n"
      u"[HKEY_CURRENT_USER\\Software]\r\n\r\n"
      u"[HKEY_CURRENT_USER\\Software\\Corvenna]\r\n"
      u"\"Terminated\"=\"C:\\\\Images\\\\\\\"a\\\".iso\"\r\n"
      u"\"Automount\"=hex(1):31,00\r\n"
      u"@=\"d\"\r\n"
      u"\"Count\"=dword:12345678\r\n"
      u"\"Short\"=hex(4):01,02\r\n"
      // Lines of at most 80 columns with the backslash: 22 bytes after the name, then 25.
      u"\"Blob\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\r\n"
      u"  ab,ab,ab,ab,ab,ab,ab,ab\r\n"
      u"\"None\"=hex(0):\r\n"
      u"\r\n";
  EXPECT_EQ(hive::Utf8(text), hive::Utf8(expected));
  const std::vector<uint8_t> file = hive::ExportRegFile(root, u"HKEY_CURRENT_USER");
  ASSERT_GE(file.size(), 4u);
  EXPECT_EQ(file[0], 0xFF);
  EXPECT_EQ(file[1], 0xFE);
  EXPECT_EQ(file[2], 'W');
  EXPECT_EQ(file[3], 0);
}

TEST(ModuleFileNameTest, ShortBuffersAreCutAndTerminated) {
  WCHAR real[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, real, MAX_PATH);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, MAX_PATH);
  EXPECT_NE(hive::Utf8(real).find("registry_test"), std::string::npos);

  wt::SetModuleFileName(u"C:\\Program\\skm.exe");  // 18 characters
  struct Row {
    DWORD size;
    DWORD result;
    DWORD error;
    std::u16string text;
  } rows[] = {
      {19, 18, ERROR_SUCCESS, u"C:\\Program\\skm.exe"},
      {18, 18, ERROR_INSUFFICIENT_BUFFER, u"C:\\Program\\skm.ex"},
      {1, 1, ERROR_INSUFFICIENT_BUFFER, u""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.size);
    WCHAR buffer[32];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, r.size), r.result);
    EXPECT_EQ(GetLastError(), r.error);
    EXPECT_EQ(std::u16string(buffer), r.text);
  }
  WCHAR buffer[8];
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), buffer, 8), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  wt::Reset();
}

}  // namespace
