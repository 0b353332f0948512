// The registry file parser on hostile bytes: once as a whole file, and once as the payload
// behind a valid header and checksum, so that the key and value reader is reached. What
// parses must serialise back to the same bytes and export as text.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/hive.h"

namespace {

void Check(const std::vector<uint8_t>& file) {
  win32::hive::Key root;
  std::string why;
  if (!win32::hive::Parse(file.data(), file.size(), &root, &why)) {
    if (why.empty()) __builtin_trap();
    return;
  }
  if (win32::hive::Serialize(root) != file) __builtin_trap();
  (void)win32::hive::ExportRegFile(root, u"HKEY_CURRENT_USER");
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(std::vector<uint8_t>(data, data + size));
  std::vector<uint8_t> file = {'S', 'K', 'M', 'H', 'I', 'V', 'E', 0x1A};
  PutU32(file, win32::hive::kHiveVersion);
  PutU32(file, static_cast<uint32_t>(size));
  PutU32(file, win32::hive::Crc32(data, size));
  file.insert(file.end(), data, data + size);
  Check(file);
  return 0;
}
