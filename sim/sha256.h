// SHA-256 for the read job's digest of the data it read, by the crypto library the build
// already uses for the engine. Streaming: feed any number of spans, then take the digest
// once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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
  struct Free {
    void operator()(void* context) const;
  };
  void* context() const { return context_.get(); }
  std::unique_ptr<void, Free> context_;
};

}  // namespace sim
