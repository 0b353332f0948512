// The registry's data and its file: the tree of keys and values that HKEY_CURRENT_USER
// holds, how it is written to and read from disk, and its export as a .reg text for people.
// No I/O here: the registry calls (registry.cpp) own the file, its lock and its atomic
// replacement; RegistryFilePath, defined with them, says where the file is.
//
// File layout, every integer little-endian:
//   0   8 bytes  magic "SKMHIVE" and a 0x1A (a text tool that types the file stops there)
//   8   u32      format version, kHiveVersion
//   12  u32      payload length in bytes
//   16  u32      CRC-32 (IEEE 802.3, as zlib computes it) of the payload
//   20  payload  the root key, then nothing
// A key is: u16 name length in UTF-16 units, the name; u32 value count, the values; u32
// subkey count, the subkeys. A value is: u16 name length, the name; u32 type; u32 data
// length, the data. The root's name is empty; every other key has a name of 1 to 255 units
// without '\\' or NUL, unique among its siblings without regard to case, as value names
// are within their key. Anything else, a short or long file, or a checksum that does not
// match, makes the file damaged: Parse says why and keeps nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace win32::hive {

constexpr uint32_t kHiveVersion = 1;
constexpr size_t kHeaderSize = 20;
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxDepth = 512;  // levels below the root, as the real registry allows

struct Value {
  std::u16string name;  // empty: the key's default value
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;  // as created; compared without regard to case
  std::vector<Value> values;  // in the order they were first set
  std::vector<Key> subkeys;   // in the order they were created
};

// Names compare as the registry compares them: without regard to case (ASCII, Latin-1,
// Greek and Cyrillic letters fold to upper case; other characters compare as they are).
bool SameName(std::u16string_view a, std::u16string_view b);

Key* FindSubkey(Key& key, std::u16string_view name);
const Key* FindSubkey(const Key& key, std::u16string_view name);
Value* FindValue(Key& key, std::u16string_view name);
// The key at `path` (names from the root), or null.
Key* FindPath(Key& root, const std::vector<std::u16string>& path);

// What a user's registry holds before anything has been written: HKEY_CURRENT_USER\Software
// and the start-up key Software\Microsoft\Windows\CurrentVersion\Run, which every user's
// registry has.
Key DefaultRoot();

std::vector<uint8_t> Serialize(const Key& root);
// False with a reason in *error when the bytes are not a whole, valid file.
bool Parse(const uint8_t* data, size_t size, Key* root, std::string* error);

uint32_t Crc32(const uint8_t* data, size_t size);

// The tree as a "Windows Registry Editor Version 5.00" text, keys under `root_name`
// ("HKEY_CURRENT_USER"), lines ended by CR LF. A REG_SZ that is not exactly its text and one
// terminating NUL (written without it, with a NUL inside, or of odd length), and a REG_DWORD
// of other than 4 bytes, are given as hex(1): and hex(4): so that nothing is lost. The .reg
// file itself is UTF-16LE with a byte-order mark: see ExportRegFile.
std::u16string ExportReg(const Key& root, std::u16string_view root_name);
std::vector<uint8_t> ExportRegFile(const Key& root, std::u16string_view root_name);

// The file the registry calls keep HKEY_CURRENT_USER in: $SKELLMERE_REGISTRY when set,
// else "skellmere/registry" in the user's configuration folder ($XDG_CONFIG_HOME, or
// ~/.config).
std::string RegistryFilePath();

std::string Utf8(std::u16string_view text);
std::u16string Utf16FromUtf8(std::string_view text);

}  // namespace win32::hive
