#include "sim/image_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "ravelkit/source.h"

namespace sim {
namespace {

constexpr uint32_t kSector = kUserSectorSize;

// An ISO image: sector n is bytes n × 2,048 of the file. A last partial sector does not
// count (the engine does not present it either).
class PlainFile : public ImageUserData {
 public:
  PlainFile(int fd, uint64_t size) : fd_(fd), sectors_(size / kSector) {}
  ~PlainFile() override { ::close(fd_); }

  uint64_t sectors() const override { return sectors_; }

  bool Read(uint64_t lba, uint32_t count, uint8_t* out, std::string& error) override {
    if (lba + count > sectors_) {
      error = "sectors " + std::to_string(lba) + "+" + std::to_string(count) + " lie outside the image";
      return false;
    }
    const size_t total = static_cast<size_t>(count) * kSector;
    size_t done = 0;
    while (done < total) {
      const ssize_t n = ::pread(fd_, out + done, total - done, static_cast<off_t>(lba * kSector + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = "read error at sector " + std::to_string(lba);
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  bool ReadAudio(uint64_t lba, uint32_t, uint8_t*, std::string& error) override {
    error = "sector " + std::to_string(lba) + " is not audio: an ISO image holds one data track";
    return false;
  }

  std::vector<ImageTrack> tracks() const override { return {{1, false, 0, sectors_}}; }

 private:
  int fd_;
  uint64_t sectors_;
};

// Any other format: the raw sector as the format layer synthesizes it, user data cut out.
class FromSource : public ImageUserData {
 public:
  explicit FromSource(std::unique_ptr<ravelkit::Source> source) : source_(std::move(source)) {}

  uint64_t sectors() const override {
    return static_cast<uint64_t>(std::max<int32_t>(source_->disc().LeadOut(), 0));
  }

  bool Read(uint64_t lba, uint32_t count, uint8_t* out, std::string& error) override {
    uint8_t raw[ravelkit::kRawSize];
    for (uint32_t i = 0; i < count; ++i) {
      const int32_t at = static_cast<int32_t>(lba + i);
      const ravelkit::Track* track = source_->disc().TrackAt(at);
      if (track == nullptr || lba + i >= sectors()) {
        error = "sector " + std::to_string(at) + " lies in no track";
        return false;
      }
      if (!source_->ReadRaw(at, raw, error)) return false;
      // Mode 1: sync 12, header 4, then the user data. Mode 2 form 1 has the 8-byte
      // sub-header between the header and the data.
      size_t offset = 0;
      switch (track->mode) {
        case ravelkit::TrackMode::kMode1:
          offset = 16;
          break;
        case ravelkit::TrackMode::kMode2Form1:
        case ravelkit::TrackMode::kMode2Mixed:
          offset = 24;
          break;
        default:
          error = "sector " + std::to_string(at) + " carries no 2,048-byte user data";
          return false;
      }
      std::memcpy(out + static_cast<size_t>(i) * kSector, raw + offset, kSector);
    }
    return true;
  }

  bool ReadAudio(uint64_t lba, uint32_t count, uint8_t* out, std::string& error) override {
    for (uint32_t i = 0; i < count; ++i) {
      const int32_t at = static_cast<int32_t>(lba + i);
      const ravelkit::Track* track = source_->disc().TrackAt(at);
      if (track == nullptr || lba + i >= sectors() || track->mode != ravelkit::TrackMode::kAudio) {
        error = "sector " + std::to_string(at) + " lies in no audio track";
        return false;
      }
      if (!source_->ReadRaw(at, out + static_cast<size_t>(i) * kAudioSectorSize, error)) return false;
    }
    return true;
  }

  std::vector<ImageTrack> tracks() const override {
    std::vector<ImageTrack> out;
    for (const ravelkit::Track& t : source_->disc().tracks) {
      out.push_back({t.number, t.mode == ravelkit::TrackMode::kAudio, static_cast<uint64_t>(std::max(t.start(), 0)),
                     static_cast<uint64_t>(std::max(t.length(), 0))});
    }
    return out;
  }

 private:
  std::unique_ptr<ravelkit::Source> source_;
};

bool EndsWithIso(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".iso";
}

}  // namespace

std::unique_ptr<ImageUserData> ImageUserData::Open(const std::string& path, std::string& error) {
  if (EndsWithIso(path)) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      error = "cannot open '" + path + "': " + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return nullptr;
    }
    return std::make_unique<PlainFile>(fd, static_cast<uint64_t>(st.st_size));
  }
  std::unique_ptr<ravelkit::Source> source = ravelkit::OpenImage(path, error);
  if (!source) return nullptr;
  return std::make_unique<FromSource>(std::move(source));
}

}  // namespace sim
