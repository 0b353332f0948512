#include "ravelkit/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <utility>

#include "ravelkit/image_files.h"

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
    const Extent* found = Find(lba);
    if (found == nullptr) {
      error = "sector " + std::to_string(lba) + " is outside the image";
      return -1;
    }
    const Extent& e = *found;
    if (e.file < 0) return 0;
    uint64_t at = e.offset + static_cast<uint64_t>(lba - e.lba) * e.Stride();
    if (!ReadAt(e.file, at, out, e.sectorSize, error)) return -1;
    if (layout_.files[static_cast<size_t>(e.file)].swapBytes)
      for (size_t i = 0; i + 1 < e.sectorSize; i += 2) std::swap(out[i], out[i + 1]);
    return static_cast<int>(e.sectorSize);
  }

  int ReadSubchannel(int32_t lba, uint8_t* out, std::string& error) override {
    const Extent* e = Find(lba);
    if (e == nullptr || e->subForm == SubchannelForm::kNone || e->subFile < 0) return 0;
    uint64_t at = e->subOffset + static_cast<uint64_t>(lba - e->lba) * e->subStride;
    uint8_t stored[kSubchannelSize];
    if (!ReadAt(e->subFile, at, stored, kSubchannelSize, error)) return -1;
    if (e->subForm == SubchannelForm::kLinear)
      InterleaveSubchannel(stored, out);
    else
      std::memcpy(out, stored, kSubchannelSize);
    return static_cast<int>(kSubchannelSize);
  }

 private:
  const Extent* Find(int32_t lba) const {
    const auto& ex = layout_.extents;
    auto it = std::upper_bound(ex.begin(), ex.end(), lba,
                               [](int32_t v, const Extent& e) { return v < e.lba; });
    if (it == ex.begin() || lba >= (it - 1)->lba + (it - 1)->count) return nullptr;
    return &*(it - 1);
  }

  // Initiators read a disc in runs of 16 to 32 sectors, and every sector is asked for on
  // its own: without a window each one is a system call. A read that continues where the
  // last one of the same file ended fills a window of what follows; a seek reads just the
  // sector, so random access costs no more than before.
  bool ReadAt(int file, uint64_t at, uint8_t* out, size_t length, std::string& error) {
    const size_t index = static_cast<size_t>(file);
    std::lock_guard<std::mutex> lock(window_mu_);
    if (windows_.size() != fds_.size()) windows_.resize(fds_.size());
    Window& w = windows_[index];
    if (at >= w.start && at + length <= w.start + w.filled) {
      std::memcpy(out, w.bytes.data() + (at - w.start), length);
      w.next = at + length;
      return true;
    }
    const uint64_t fileSize = layout_.files[index].size;
    const bool sequential = at == w.next && at < fileSize && length <= kWindowBytes;
    w.next = at + length;
    if (sequential) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kWindowBytes, fileSize - at));
      if (want >= length) {
        w.bytes.resize(kWindowBytes);
        w.filled = 0;
        if (ReadFully(fds_[index], at, w.bytes.data(), want)) {
          w.start = at;
          w.filled = want;
          std::memcpy(out, w.bytes.data(), length);
          return true;
        }
      }
    }
    if (ReadFully(fds_[index], at, out, length)) return true;
    error = "read error in '" + layout_.files[index].path + "'";
    return false;
  }

  static constexpr size_t kWindowBytes = 64 * 1024;
  struct Window {
    uint64_t start = 0;
    size_t filled = 0;
    uint64_t next = UINT64_MAX;  // where a sequential read would continue
    std::vector<uint8_t> bytes;
  };

  ImageLayout layout_;
  std::vector<int> fds_;
  std::mutex window_mu_;  // one image may be read by more than one thread
  std::vector<Window> windows_;
};

std::string Extension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Reads a small descriptor whole; refuses anything larger than `limit`, with `tooLarge` as
// the error when given.
bool Slurp(const std::string& path, uint64_t limit, std::vector<uint8_t>& out,
           std::string& error, std::string_view tooLarge = {}) {
  auto size = StatSize(path);
  if (!size) {
    error = "cannot open '" + path + "'";
    return false;
  }
  if (*size > limit) {
    error = tooLarge.empty()
                ? "'" + path + "' is larger than " + std::to_string(limit >> 10) + " KiB"
                : std::string(tooLarge);
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  out.resize(static_cast<size_t>(*size));
  if (!in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()))) {
    error = "cannot read '" + path + "'";
    return false;
  }
  return true;
}

// Whether a sector of the mode can be rebuilt from what is stored: user data alone leaves
// nothing to rebuild audio, a formless mode 2 sector or a form 2 one from.
bool SizeFitsMode(TrackMode mode, uint32_t size) {
  switch (mode) {
    case TrackMode::kAudio: return size == kRawSize;
    case TrackMode::kMode1: return size == kUserSize || size == kRawSize;
    case TrackMode::kMode2Form1: return true;
    default: return size == kMode2Size || size == kRawSize;
  }
}

// Opens the files of a layout its parser has already checked.
std::unique_ptr<Source> Finish(ImageLayout layout, std::string& error) {
  auto src = std::make_unique<FileSource>(std::move(layout));
  if (!src->Open(error)) return nullptr;
  return src;
}

}  // namespace

std::string Sibling(const std::string& path, const std::string& ext) {
  size_t dot = path.find_last_of('.');
  size_t slash = path.find_last_of('/');
  std::string stem = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                         ? path
                         : path.substr(0, dot);
  std::string lower = stem + "." + ext, upper = stem + ".";
  for (char c : ext) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  bool wasUpper = dot != std::string::npos && dot + 1 < path.size() &&
                  std::isupper(static_cast<unsigned char>(path[dot + 1]));
  for (const std::string& p : wasUpper ? std::vector{upper, lower} : std::vector{lower, upper})
    if (StatSize(p)) return p;
  return "";
}

bool ImageLayout::Check(std::string& error) const {
  std::string bad = Validate();
  if (bad.empty()) return true;
  error = std::move(bad);
  return false;
}

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
    if (const Track* t = disc.TrackAt(e.lba); t != nullptr && !SizeFitsMode(t->mode, e.sectorSize))
      return "stored sector size " + std::to_string(e.sectorSize) + " does not fit the mode of track " +
             std::to_string(t->number);
    if (e.Stride() < e.sectorSize) return "sectors overlap in their file";
    // Both terms stay far below 2^64: count < 2^31 and strides are a few KiB.
    uint64_t endByte = e.offset + static_cast<uint64_t>(e.count - 1) * e.Stride() + e.sectorSize;
    if (e.offset > files[static_cast<size_t>(e.file)].size ||
        endByte > files[static_cast<size_t>(e.file)].size)
      return "track data runs past the end of '" + files[static_cast<size_t>(e.file)].path + "'";
    if (e.subForm == SubchannelForm::kNone) continue;
    if (e.subFile < 0 || static_cast<size_t>(e.subFile) >= files.size())
      return "sub-channel names no file";
    if (e.subStride < kSubchannelSize) return "sub-channel records overlap";
    uint64_t subEnd = e.subOffset + static_cast<uint64_t>(e.count - 1) * e.subStride + kSubchannelSize;
    if (e.subOffset > files[static_cast<size_t>(e.subFile)].size ||
        subEnd > files[static_cast<size_t>(e.subFile)].size)
      return "sub-channel data runs past the end of '" +
             files[static_cast<size_t>(e.subFile)].path + "'";
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
      } else if (n == static_cast<int>(kUserSize)) {
        // Form 1 user data alone: the sub-header is not kept, so it gets the plain data
        // form 1 one (submode 0x08) that such tracks are written with.
        uint8_t xa[kMode2Size] = {0, 0, 0x08, 0, 0, 0, 0x08, 0};
        std::memcpy(xa + 8, stored, kUserSize);
        SynthesizeMode2Xa(lba, std::span<const uint8_t, kMode2Size>(xa, kMode2Size), out);
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
  MediumClass content = MediumClass::kCd;
  if (int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    content = IsoContentClass(
        [fd](uint64_t lba, uint8_t* out) {
          return ReadFully(fd, lba * kUserSize, out, kUserSize);
        },
        *size / kUserSize);
    ::close(fd);
  }
  ImageLayout layout;
  if (!LayoutIso(path, *size, layout, error, content)) return nullptr;
  return Finish(std::move(layout), error);
}

std::unique_ptr<Source> OpenCue(const std::string& path, std::string& error) {
  std::vector<uint8_t> text;
  if (!Slurp(path, 1u << 20, text, error, "cue sheet is larger than 1 MiB")) return nullptr;
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  ImageLayout layout;
  if (!ParseCue(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), dir,
                StatSize, layout, error)) {
    // The sheet's own faults come with a line number, which means little without the name.
    error = "'" + path + "'" + (error.rfind("line ", 0) == 0 ? " " : ": ") + error;
    return nullptr;
  }
  return Finish(std::move(layout), error);
}

std::unique_ptr<Source> OpenCcd(const std::string& path, std::string& error) {
  std::vector<uint8_t> text;
  if (!Slurp(path, 1u << 20, text, error)) return nullptr;
  std::string img = Sibling(path, "img");
  if (img.empty()) {
    error = "cannot open the .img beside '" + path + "'";
    return nullptr;
  }
  ImageLayout layout;
  if (!ParseCcd(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), img,
                Sibling(path, "sub"), StatSize, layout, error))
    return nullptr;
  return Finish(std::move(layout), error);
}

std::unique_ptr<Source> OpenMds(const std::string& path, std::string& error) {
  std::vector<uint8_t> mds;
  if (!Slurp(path, 16u << 20, mds, error)) return nullptr;
  ImageLayout layout;
  if (!ParseMds(mds, path, StatSize, layout, error)) return nullptr;
  return Finish(std::move(layout), error);
}

namespace {

// Formats that keep their descriptor at the end of the file: only that tail is parsed.
using TailParser = bool (*)(std::span<const uint8_t> tail, const std::string& path,
                            uint64_t fileSize, ImageLayout& out, std::string& error);

std::unique_ptr<Source> OpenByTail(const std::string& path, uint64_t tailMax, TailParser parse,
                                   std::string& error) {
  auto size = StatSize(path);
  if (!size) {
    error = "cannot open '" + path + "'";
    return nullptr;
  }
  uint64_t tailSize = std::min<uint64_t>(*size, tailMax);
  std::vector<uint8_t> tail(static_cast<size_t>(tailSize));
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(*size - tailSize));
  if (!in.read(reinterpret_cast<char*>(tail.data()), static_cast<std::streamsize>(tail.size()))) {
    error = "cannot read '" + path + "'";
    return nullptr;
  }
  ImageLayout layout;
  if (!parse(tail, path, *size, layout, error)) return nullptr;
  return Finish(std::move(layout), error);
}

}  // namespace

std::unique_ptr<Source> OpenNrg(const std::string& path, std::string& error) {
  return OpenByTail(path, kNrgTailMax, ParseNrg, error);
}

std::unique_ptr<Source> OpenCdi(const std::string& path, std::string& error) {
  return OpenByTail(path, kCdiTailMax, ParseCdi, error);
}

std::unique_ptr<Source> OpenB6t(const std::string& path, std::string& error) {
  std::vector<uint8_t> descriptor;
  if (!Slurp(path, 16u << 20, descriptor, error)) return nullptr;
  ImageLayout layout;
  if (!ParseB6t(descriptor, path, StatSize, layout, error)) return nullptr;
  return Finish(std::move(layout), error);
}

std::unique_ptr<Source> OpenBwt(const std::string& path, std::string& error) {
  std::vector<uint8_t> descriptor;
  if (!Slurp(path, 16u << 20, descriptor, error)) return nullptr;
  ImageLayout layout;
  if (!ParseBwt(descriptor, path, StatSize, layout, error)) return nullptr;
  return Finish(std::move(layout), error);
}

namespace {

// A data file opened by the descriptor beside it.
std::unique_ptr<Source> OpenByDescriptor(const std::string& path, const char* descriptorExt,
                                         std::unique_ptr<Source> (*open)(const std::string&,
                                                                         std::string&),
                                         std::string& error) {
  std::string descriptor = Sibling(path, descriptorExt);
  if (descriptor.empty()) {
    error = "unsupported image format '" + Extension(path) + "' (no ." + descriptorExt +
            " beside it)";
    return nullptr;
  }
  return open(descriptor, error);
}

std::unique_ptr<Source> OpenImgOfCcd(const std::string& path, std::string& error) {
  return OpenByDescriptor(path, "ccd", OpenCcd, error);
}

std::unique_ptr<Source> OpenMdfOfMds(const std::string& path, std::string& error) {
  return OpenByDescriptor(path, "mds", OpenMds, error);
}

// An opener for a format that is never protected: any password is ignored.
template <std::unique_ptr<Source> (*Open)(const std::string&, std::string&)>
std::unique_ptr<Source> Unprotected(const std::string& path, const std::string*,
                                    std::string& error) {
  return Open(path, error);
}

}  // namespace

std::unique_ptr<Source> OpenImage(const std::string& path, std::string& error,
                                  const std::string* password) {
  // Every format by the extension the user picks; a data file that only makes sense with
  // its descriptor opens through the descriptor.
  struct Opener {
    const char* ext;
    std::unique_ptr<Source> (*open)(const std::string& path, const std::string* password,
                                    std::string& error);
  };
  static constexpr Opener kOpeners[] = {
      {"iso", Unprotected<OpenIso>},      {"cue", Unprotected<OpenCue>},
      {"ccd", Unprotected<OpenCcd>},      {"img", Unprotected<OpenImgOfCcd>},
      {"mds", Unprotected<OpenMds>},      {"mdf", Unprotected<OpenMdfOfMds>},
      {"nrg", Unprotected<OpenNrg>},      {"isz", OpenIsz},
      {"cdi", Unprotected<OpenCdi>},      {"b5t", Unprotected<OpenB6t>},
      {"b6t", Unprotected<OpenB6t>},      {"bwt", Unprotected<OpenBwt>},
  };
  // What is wrong with the file itself is said before any format is tried, in the
  // system's words where it has them.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = "cannot open '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    error = "cannot open '" + path + "': it is a directory";
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "cannot open '" + path + "': not a regular file";
    return nullptr;
  }
  if (st.st_size == 0) {
    error = "'" + path + "' is empty";
    return nullptr;
  }
  if (int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd < 0) {
    error = "cannot open '" + path + "': " + std::strerror(errno);
    return nullptr;
  } else {
    ::close(fd);
  }
  std::string ext = Extension(path);
  for (const Opener& o : kOpeners)
    if (ext == o.ext) return o.open(path, password, error);
  error = "unsupported image format '" + ext + "'";
  return nullptr;
}

void FillExtentGaps(std::vector<Extent>& extents) {
  std::vector<Extent> out;
  out.reserve(extents.size() * 2);
  for (const Extent& e : extents) {
    if (!out.empty()) {
      int64_t end = static_cast<int64_t>(out.back().lba) + out.back().count;
      if (e.lba > end) {
        Extent gap;
        gap.lba = static_cast<int32_t>(end);
        gap.count = static_cast<int32_t>(e.lba - end);
        out.push_back(gap);
      }
    }
    out.push_back(e);
  }
  extents = std::move(out);
}

void InterleaveSubchannel(const uint8_t* linear, uint8_t* raw) {
  for (size_t i = 0; i < kSubchannelSize; ++i) {
    uint8_t b = 0;
    for (size_t ch = 0; ch < 8; ++ch) {
      uint8_t bit = (linear[ch * 12 + i / 8] >> (7 - i % 8)) & 1;
      b = static_cast<uint8_t>(b | bit << (7 - ch));
    }
    raw[i] = b;
  }
}

void DeinterleaveSubchannel(const uint8_t* raw, uint8_t* linear) {
  std::memset(linear, 0, kSubchannelSize);
  for (size_t i = 0; i < kSubchannelSize; ++i)
    for (size_t ch = 0; ch < 8; ++ch)
      if (raw[i] & (0x80 >> ch)) linear[ch * 12 + i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
}

}  // namespace ravelkit
