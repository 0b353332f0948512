// A connection's byte stream through the request framing and checks of `serve`: whatever a
// client sends, the stream hands out requests that satisfy the checks, refuses the rest,
// stops after a refusal that loses the framing, and never holds more than one request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "sim/serve_protocol.h"

namespace {

// Small, so that inputs of a few kilobytes reach the length checks.
constexpr uint32_t kMaxTransfer = 4096;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using sim::serve::Direction;
  using sim::serve::Parsed;
  if (size == 0) return 0;
  // The first byte says how the stream arrives: in pieces of 1 to 256 bytes.
  const size_t piece = static_cast<size_t>(data[0]) + 1;
  std::span<const uint8_t> rest(data + 1, size - 1);
  sim::serve::RequestStream stream(kMaxTransfer);
  bool closed = false;
  while (!rest.empty()) {
    const size_t n = std::min(piece, rest.size());
    stream.Append(rest.first(n));
    rest = rest.subspan(n);
    while (std::optional<Parsed> p = stream.Next()) {
      Check(!closed);
      if (p->kind == Parsed::Kind::kRefusedAndClose) {
        closed = true;
        Check(stream.closed());
        continue;
      }
      if (p->kind != Parsed::Kind::kRequest) continue;
      const sim::serve::Request& r = p->request;
      Check(r.transfer_len <= kMaxTransfer);
      Check((r.direction == Direction::kNone) == (r.transfer_len == 0));
      Check(r.direction == Direction::kOut ? r.data_out.size() == r.transfer_len : r.data_out.empty());
      // What was accepted encodes back into a request that is accepted the same.
      const std::vector<uint8_t> again =
          sim::serve::EncodeRequest(r.cdb, r.direction, r.transfer_len, r.timeout_ms, r.data_out);
      sim::serve::RequestStream second(kMaxTransfer);
      second.Append(again);
      std::optional<Parsed> q = second.Next();
      Check(q && q->kind == Parsed::Kind::kRequest && q->request.cdb == r.cdb &&
            q->request.data_out == r.data_out && q->request.timeout_ms == r.timeout_ms);
      Check(second.buffered() == 0);
    }
    // Whatever is held belongs to one header and its data.
    Check(stream.buffered() < sizeof(sim::serve::RequestHeader) + kMaxTransfer + piece);
  }
  return 0;
}
