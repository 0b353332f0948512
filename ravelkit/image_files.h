// Inside the engine: finding the files of an image and reading them.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ravelkit {

// Reads exactly `n` bytes at `offset`, going on after short reads and interrupted calls.
// False on an I/O error or when the file ends first.
inline bool ReadFully(int fd, uint64_t offset, void* out, size_t n) {
  auto* p = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pread(fd, p + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

// `path` with its extension replaced by `ext` (given in lower case): the variant with the
// extension in the same case as the one being replaced, else the other, else "" when
// neither exists.
std::string Sibling(const std::string& path, const std::string& ext);

}  // namespace ravelkit
