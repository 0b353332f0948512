// skellmere-regedit: shows people what the program keeps in its registry file.
//
//   skellmere-regedit export FILE   HKEY_CURRENT_USER as a .reg text (UTF-16LE, as the
//                                   registry editor writes it); FILE "-" is standard output
//   skellmere-regedit path          the registry file's path
//
// The file is only read: a damaged one is reported and left where it is.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/hive.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: skellmere-regedit export FILE   write HKEY_CURRENT_USER as a .reg file (- for standard output)\n"
               "       skellmere-regedit path          print where the registry file is\n");
  return 2;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes, bool* missing) {
  *missing = false;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *missing = errno == ENOENT;
    return false;
  }
  uint8_t buf[65536];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (f == stdout ? std::fflush(f) : std::fclose(f)) == 0 && ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  const std::string registry = win32::hive::RegistryFilePath();
  if (command == "path" && argc == 2) {
    std::printf("%s\n", registry.c_str());
    return 0;
  }
  if (command != "export" || argc != 3) return Usage();

  win32::hive::Key root;
  std::vector<uint8_t> bytes;
  bool missing = false;
  if (ReadFile(registry, &bytes, &missing)) {
    std::string why;
    if (!win32::hive::Parse(bytes.data(), bytes.size(), &root, &why)) {
      std::fprintf(stderr, "skellmere-regedit: %s is damaged (%s); nothing exported\n",
                   registry.c_str(), why.c_str());
      return 1;
    }
  } else if (missing) {
    root = win32::hive::DefaultRoot();  // what the program sees before its first change
  } else {
    std::fprintf(stderr, "skellmere-regedit: cannot read %s: %s\n", registry.c_str(), std::strerror(errno));
    return 1;
  }
  const std::string out = argv[2];
  if (!WriteFile(out, win32::hive::ExportRegFile(root, u"HKEY_CURRENT_USER"))) {
    std::fprintf(stderr, "skellmere-regedit: cannot write %s: %s\n", out.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}
