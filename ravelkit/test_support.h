// What the engine's tests share: a scratch directory, the independent tools some compare
// against, and one request through the engine's entry points with the sense read back.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "ravelkit/ravelkit.h"

namespace ravelkit::test_support {

using Bytes = std::vector<uint8_t>;

// `n` bytes that repeat nowhere, the same for the same seed.
inline Bytes Pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// A directory of its own under the system's temporary one, removed with what it holds.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "ravelkit_test_") {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / (prefix + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Path(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const Bytes& data) const {
    std::ofstream(path_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    return Path(name);
  }
  std::string Write(const std::string& name, const std::string& text) const {
    return Write(name, Bytes(text.begin(), text.end()));
  }
  Bytes Read(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  // A file of `size` bytes that occupies no disk.
  std::string Sparse(const std::string& name, uint64_t size) const {
    std::ofstream(path_ / name, std::ios::binary).put('\0');
    std::filesystem::resize_file(path_ / name, size);
    return Path(name);
  }

 private:
  std::filesystem::path path_;
};

// --- Independent readers ------------------------------------------------------------------

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a tool in `dir`, its output discarded; returns its exit status.
inline int Tool(const TempDir& dir, const std::string& command) {
  std::string full = "cd '" + dir.Path("") + "' && " + command + " >tool.log 2>&1";
  int rc = std::system(full.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

#define REQUIRE_TOOL(name) \
  if (!::ravelkit::test_support::HaveTool(name)) GTEST_SKIP() << name << " is not installed; scripts/setup.sh installs it"

// --- One request through the engine -------------------------------------------------------

struct Outcome {
  uint32_t status = 0;
  bool check = false;
  // Read back only with CHECK CONDITION.
  uint8_t key = 0, asc = 0, ascq = 0;
  uint8_t sense_length = 0, response_code = 0;
  uint64_t head = 0;
  uint32_t rotation = 0;
  Bytes data;  // up to the furthest byte the engine wrote
};

// Runs `cdb` with a data buffer of `byteCount` bytes; the copy function fails the test if
// the engine moves data the wrong way or past the request's end.
inline Outcome Execute(ImageHandle image, const Bytes& cdb, uint32_t byteCount = 1u << 20,
                       uint32_t flags = kRequestCdb) {
  struct Sink {
    Bytes buffer;
    uint32_t end = 0;
  } sink{Bytes(byteCount)};
  MediaRequest req{};
  req.flags = flags;
  req.byteCount = byteCount;
  req.copyContext = &sink;
  uint8_t sense[18] = {};
  req.sense = sense;
  req.copy = [](void* ctx, void* buf, uint32_t len, uint32_t off, uint32_t dir) {
    auto& k = *static_cast<Sink*>(ctx);
    ASSERT_EQ(dir, kCopyToRequest);
    ASSERT_LE(static_cast<uint64_t>(off) + len, k.buffer.size());
    std::memcpy(k.buffer.data() + off, buf, len);
    k.end = std::max(k.end, off + len);
  };
  std::memcpy(req.cdb, cdb.data(), std::min<size_t>(cdb.size(), 16));
  Outcome o;
  EXPECT_EQ(ImageExecute(image, &req, &o.status), 0u);
  o.check = req.cdb[kResultFlags] & kResultCheckCondition;
  std::memcpy(&o.head, req.cdb + kResultHeadLba, sizeof(o.head));
  std::memcpy(&o.rotation, req.cdb + kResultRotation, sizeof(o.rotation));
  if (o.check) {
    o.sense_length = req.cdb[kResultSenseLength];
    o.response_code = sense[0];
    o.key = sense[2], o.asc = sense[12], o.ascq = sense[13];
  }
  sink.buffer.resize(sink.end);
  o.data = std::move(sink.buffer);
  return o;
}

// An image opened by its path, closed with the object.
class OpenImage {
 public:
  explicit OpenImage(const std::string& path) {
    std::u16string wide(path.begin(), path.end());
    error_ = ImageOpen(0, wide.c_str(), 1, 0, 0, 0, 0, nullptr, &image_, 0);
    if (error_ != kImageOk) {
      if (const char* m = ImageLastError()) message_ = m;
    }
  }
  ~OpenImage() {
    if (image_) ImageClose(image_, 0);
  }
  OpenImage(const OpenImage&) = delete;
  OpenImage& operator=(const OpenImage&) = delete;

  uint32_t error() const { return error_; }
  // ImageLastError() right after a failed open.
  const std::string& message() const { return message_; }
  ImageHandle image() const { return image_; }

 private:
  ImageHandle image_ = nullptr;
  uint32_t error_ = 0;
  std::string message_;
};

}  // namespace ravelkit::test_support
