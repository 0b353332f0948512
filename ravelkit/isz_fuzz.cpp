// Hostile IsZ! files: the input is split at every "SEG|" into the .isz file and its
// segments. Opening must refuse or accept without reading out of range, and every sector of
// an accepted image must read or fail cleanly.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ravelkit/isz.h"

namespace {

class MemoryBytes final : public ravelkit::ByteSource {
 public:
  explicit MemoryBytes(std::string_view data) : data_(data) {}
  uint64_t size() const override { return data_.size(); }
  bool ReadAt(uint64_t offset, void* out, size_t n) override {
    if (offset > data_.size() || n > data_.size() - offset) __builtin_trap();  // never asked
    std::memcpy(out, data_.data() + offset, n);
    return true;
  }

 private:
  std::string data_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> parts;
  for (size_t at = 0;;) {
    size_t cut = in.find("SEG|", at);
    parts.push_back(in.substr(at, cut == std::string_view::npos ? std::string_view::npos : cut - at));
    if (cut == std::string_view::npos) break;
    at = cut + 4;
  }
  auto opener = [&](unsigned i) -> std::unique_ptr<ravelkit::ByteSource> {
    if (i >= parts.size()) return nullptr;
    return std::make_unique<MemoryBytes>(parts[i]);
  };
  std::string error, password = "pw";
  auto src = ravelkit::OpenIszFrom("fuzz.isz", std::make_unique<MemoryBytes>(parts[0]), opener,
                                   &password, error);
  if (!src) return 0;
  uint8_t sector[ravelkit::kRawSize];
  int32_t end = src->disc().LeadOut();
  // Sectors from the start and the end: every chunk kind and the last, short chunk.
  for (int32_t lba = 0; lba < end && lba < 64; ++lba) src->ReadStored(lba, sector, error);
  for (int32_t lba = std::max(end - 64, 0); lba < end; ++lba) src->ReadStored(lba, sector, error);
  return 0;
}
