#include "ravelkit/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ravelkit {

namespace {

std::optional<uint64_t> StatSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

class FileSource final : public Source {
 public:
  explicit FileSource(ImageLayout layout) : layout_(std::move(layout)) {}
  ~FileSource() override {
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }

  // Opens every file and makes sure it still has the size the layout was built from.
  bool Open(std::string& error) {
    for (const ImageFile& f : layout_.files) {
      int fd = ::open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        error = "cannot open '" + f.path + "': " + std::strerror(errno);
        return false;
      }
      fds_.push_back(fd);
      struct stat st;
      if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != f.size) {
        error = "'" + f.path + "' changed size while being opened";
        return false;
      }
    }
    return true;
  }

  const ImageLayout& layout() const override { return layout_; }

  int ReadStored(int32_t lba, uint8_t* out, std::string& error) override {
    const auto& ex = layout_.extents;
    auto it = std::upper_bound(ex.begin(), ex.end(), lba,
                               [](int32_t v, const Extent& e) { return v < e.lba; });
    if (it == ex.begin() || lba >= (it - 1)->lba + (it - 1)->count) {
      error = "sector " + std::to_string(lba) + " is outside the image";
      return -1;
    }
    const Extent& e = *(it - 1);
    if (e.file < 0) return 0;
    uint64_t at = e.offset + static_cast<uint64_t>(lba - e.lba) * e.sectorSize;
    size_t done = 0;
    while (done < e.sectorSize) {
      ssize_t n = ::pread(fds_[static_cast<size_t>(e.file)], out + done, e.sectorSize - done,
                          static_cast<off_t>(at + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = "read error in '" + layout_.files[static_cast<size_t>(e.file)].path + "'";
        return -1;
      }
      done += static_cast<size_t>(n);
    }
    if (layout_.files[static_cast<size_t>(e.file)].swapBytes)
      for (size_t i = 0; i + 1 < e.sectorSize; i += 2) std::swap(out[i], out[i + 1]);
    return static_cast<int>(e.sectorSize);
  }

 private:
  ImageLayout layout_;
  std::vector<int> fds_;
};

std::string Extension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

std::unique_ptr<Source> Finish(ImageLayout layout, std::string& error) {
  std::string bad = layout.Validate();
  if (!bad.empty()) {
    error = bad;
    return nullptr;
  }
  auto src = std::make_unique<FileSource>(std::move(layout));
  if (!src->Open(error)) return nullptr;
  return src;
}

}  // namespace

std::string ImageLayout::Validate() const {
  std::string bad = disc.Validate();
  if (!bad.empty()) return bad;
  int32_t next = INT32_MIN;
  for (const Extent& e : extents) {
    if (e.count <= 0 || e.lba < next) return "sector extents overlap or are empty";
    next = e.lba + e.count;
    if (e.file < 0) continue;
    if (static_cast<size_t>(e.file) >= files.size()) return "extent names no file";
    if (e.sectorSize != kUserSize && e.sectorSize != kMode2Size && e.sectorSize != kRawSize)
      return "unsupported stored sector size";
    uint64_t endByte = e.offset + static_cast<uint64_t>(e.count) * e.sectorSize;
    if (endByte > files[static_cast<size_t>(e.file)].size)
      return "track data runs past the end of '" + files[static_cast<size_t>(e.file)].path + "'";
  }
  // Every sector of every track must be served by some extent.
  int32_t covered = extents.empty() ? 0 : extents.front().lba;
  for (const Extent& e : extents) {
    if (e.lba != covered) return "image leaves a hole between tracks";
    covered = e.lba + e.count;
  }
  if (extents.empty() || extents.front().lba > disc.tracks.front().pregapStart ||
      covered < disc.tracks.back().end)
    return "image does not cover all its tracks";
  return "";
}

bool Source::ReadRaw(int32_t lba, uint8_t* out, std::string& error) {
  const Track* t = disc().TrackAt(lba);
  if (t == nullptr) {
    error = "sector " + std::to_string(lba) + " is not in a track";
    return false;
  }
  uint8_t stored[kRawSize];
  int n = ReadStored(lba, stored, error);
  if (n < 0) return false;
  if (n == static_cast<int>(kRawSize)) {
    std::memcpy(out, stored, kRawSize);
    return true;
  }
  if (n == 0) {  // an unstored gap: silence, or an empty sector of the track's mode
    std::memset(stored, 0, kRawSize);
    if (t->mode == TrackMode::kMode2Mixed || t->mode == TrackMode::kMode2Form2)
      stored[2] = stored[6] = 0x20;  // form 2 sub-header, as gaps of XA tracks are written
  }
  switch (t->mode) {
    case TrackMode::kAudio:
      std::memcpy(out, stored, kRawSize);
      return true;
    case TrackMode::kMode1:
      if (n != 0 && n != static_cast<int>(kUserSize)) break;
      SynthesizeMode1(lba, std::span<const uint8_t, kUserSize>(stored, kUserSize), out);
      return true;
    case TrackMode::kMode2Formless:
      SynthesizeMode2Formless(lba, std::span<const uint8_t, kMode2Size>(stored, kMode2Size),
                              out);
      return true;
    case TrackMode::kMode2Form1:
    case TrackMode::kMode2Form2:
    case TrackMode::kMode2Mixed:
      if (n == 0) {
        SynthesizeMode2Xa(lba, std::span<const uint8_t, kMode2Size>(stored, kMode2Size), out);
      } else {
        // Stored without sync and header: the rest, parity included, is as recorded.
        SynthesizeMode2Formless(lba, std::span<const uint8_t, kMode2Size>(stored, kMode2Size),
                                out);
      }
      return true;
  }
  error = "stored sector size does not fit the track mode";
  return false;
}

std::unique_ptr<Source> OpenIso(const std::string& path, std::string& error) {
  auto size = StatSize(path);
  if (!size) {
    error = "cannot open '" + path + "'";
    return nullptr;
  }
  ImageLayout layout;
  if (!LayoutIso(path, *size, layout, error)) return nullptr;
  return Finish(std::move(layout), error);
}

std::unique_ptr<Source> OpenCue(const std::string& path, std::string& error) {
  auto size = StatSize(path);
  if (!size) {
    error = "cannot open '" + path + "'";
    return nullptr;
  }
  if (*size > (1u << 20)) {
    error = "cue sheet is larger than 1 MiB";
    return nullptr;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    error = "cannot read '" + path + "'";
    return nullptr;
  }
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  ImageLayout layout;
  if (!ParseCue(text.str(), dir, StatSize, layout, error)) return nullptr;
  return Finish(std::move(layout), error);
}

std::unique_ptr<Source> OpenImage(const std::string& path, std::string& error,
                                  const std::string* password) {
  std::string ext = Extension(path);
  if (ext == "isz") return OpenIsz(path, password, error);
  if (ext == "iso") return OpenIso(path, error);
  if (ext == "cue") return OpenCue(path, error);
  error = "unsupported image format '" + ext + "'";
  return nullptr;
}

}  // namespace ravelkit
