// The serving side as the tray program brings it up, and the small initiator-side helpers
// that the programs reading through it (the read job, info, serve, the reliability runs,
// the benchmarks) share.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "imagepath/targets.h"
#include "sim/initiator.h"

namespace sim {

// The logical process the serving side runs as (the tray program's).
inline constexpr uint32_t kTrayProcess = 0x534B;

// Targets, the device access library on every host controller, target 0 with the default
// identity and, when given, an image mounted; undone in reverse order however far it got.
// The end is a normal exit of the program: the targets stop and the library lets go of its
// handles, but the virtual devices stay on their controllers (the machine removes them).
class ServingSide {
 public:
  // Paced: the engine reports rotation timing, so answers leave at the drive's pace.
  // `observer`, when given, is told of every answer the targets hold back for its deadline.
  explicit ServingSide(bool paced, imagepath::PacingObserver observer = nullptr, void* user_data = nullptr);
  ~ServingSide();  // Stop(); rotation timing back on, the observer removed
  ServingSide(const ServingSide&) = delete;
  ServingSide& operator=(const ServingSide&) = delete;

  // Start-up, the device created as a Mac or Windows unit, `image` mounted unless empty.
  // Empty, or what failed.
  std::string Start(bool mac, const std::string& image);
  void Stop();

 private:
  bool targets_ = false;
  bool library_ = false;
};

// Why `image` would not mount, as one line a person can act on ("cannot open 'x.iso': No
// such file or directory", "'empty.iso' is empty"); empty when the engine opens it and
// describes a medium the targets take. The commands say this before anything else.
std::string ImageMountProblem(const std::string& image);

// MountImage's result `r` for `image` in words; right after the failed MountImage on the
// same thread, it carries the engine's own reason.
std::string MountFailureText(const std::string& image, uint32_t r);

// UTF-8 to UTF-16, as the tray program hands paths to the targets. Invalid bytes become
// U+FFFD, which no file name matches.
std::u16string Utf16(const std::string& s);

// Sense key, ASC and ASCQ of a result; zeros without sense.
struct SenseCode {
  uint8_t key = 0, asc = 0, ascq = 0;
  bool operator==(const SenseCode&) const = default;
};
SenseCode SenseOf(const Result& r);

// READ(10) of `count` 2,048-byte sectors.
Command Read10(uint32_t lba, uint16_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// An INQUIRY text field: `length` bytes from `from`, trailing spaces and NULs removed.
std::string Trimmed(const std::vector<uint8_t>& bytes, size_t from, size_t length);

}  // namespace sim
