// The baseline the whole-disc reads are held against: the image file read front to back
// with plain read(2) calls of the read job's transfer size.
#pragma once

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Bytes per second, 0 when the file cannot be opened.
inline double PlainReadBytesPerSecond(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::vector<char> buffer(64 << 10);
  uint64_t total = 0;
  const auto start = std::chrono::steady_clock::now();
  for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
    benchmark::DoNotOptimize(buffer.data());
    total += static_cast<uint64_t>(n);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fd);
  return seconds > 0 ? static_cast<double>(total) / seconds : 0;
}

}  // namespace bench
