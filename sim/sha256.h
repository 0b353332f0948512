// SHA-256 (FIPS 180-4) for the read job's digest of the data it read. Streaming: feed any
// number of spans, then take the digest once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace sim {

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const uint8_t> bytes);
  // Pads and returns the digest; the object must not be updated afterwards.
  std::array<uint8_t, 32> Finish();
  // Finish() as 64 lowercase hex digits.
  std::string FinishHex();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> h_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t total_bytes_ = 0;
};

}  // namespace sim
