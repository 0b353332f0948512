#include "platform/bus1394/wire_time.h"

#include <algorithm>

#include "platform/bus1394/bus1394.h"

namespace bus1394::wire {
namespace {

uint32_t DataQuadlets(uint32_t bytes) { return (bytes + 3) / 4; }

Picoseconds BitsPs(uint8_t speed, uint64_t bits) {
  return static_cast<Picoseconds>(static_cast<double>(bits) * 1e12 / BitsPerSecond(speed) + 0.5);
}

}  // namespace

uint32_t RequestQuadlets(uint8_t tcode, uint32_t data_length) {
  switch (tcode) {
    case TCODE_READ_QUADLET: return kQuadletReadRequestQuadlets;
    case TCODE_READ_BLOCK: return kBlockReadRequestQuadlets;
    case TCODE_WRITE_QUADLET: return kQuadletWriteRequestQuadlets;
    default:  // block write and lock carry their data
      return kBlockHeaderQuadlets + DataQuadlets(data_length) + kDataCrcQuadlets;
  }
}

uint32_t ResponseQuadlets(uint8_t request_tcode, uint32_t data_length) {
  switch (request_tcode) {
    case TCODE_WRITE_QUADLET:
    case TCODE_WRITE_BLOCK: return kWriteResponseQuadlets;
    case TCODE_READ_QUADLET: return kQuadletReadResponseQuadlets;
    default:  // read block and lock answer with data
      return kBlockHeaderQuadlets + DataQuadlets(data_length) + kDataCrcQuadlets;
  }
}

Picoseconds PacketPs(uint8_t speed, uint32_t quadlets) {
  const uint64_t bits = uint64_t{quadlets} * 32;
  if (IsBeta(speed)) return BitsPs(speed, bits + kBetaFramingSymbols * kBetaSymbolLineBits * 8 / 10);
  return kDataPrefixPs + BitsPs(speed, bits) + kDataEndPs;
}

Picoseconds AckPs(uint8_t speed) {
  if (IsBeta(speed)) return kHopDelayPs + BitsPs(speed, kAckBits + kBetaFramingSymbols * kBetaSymbolLineBits * 8 / 10);
  return kAckGapPs + kDataPrefixPs + BitsPs(speed, kAckBits) + kDataEndPs;
}

Bus::Bus(uint8_t speed, uint32_t gap_count)
    : beta_(IsBeta(speed)),
      subaction_gap_(beta_ ? 0 : SubactionGapPs(gap_count)),
      reset_gap_(beta_ ? 0 : ArbitrationResetGapPs(gap_count)),
      arbitration_(beta_ ? kBetaArbitrationPs : kArbitrationPs),
      // A beta bus of S800 nodes broadcasts at S800; a legacy one at S100.
      cycle_start_(arbitration_ + PacketPs(beta_ ? speed : SPEED_S100, kCycleStartQuadlets)) {}

void Bus::CycleStartsBefore(Picoseconds when) {
  // Cycle starts due while the bus was idle long enough went out then and cost nothing now;
  // only the last one due can still be in the way.
  if (next_cycle_ + kCyclePeriodPs <= when) {
    next_cycle_ += (when - next_cycle_) / kCyclePeriodPs * kCyclePeriodPs;
  }
  while (next_cycle_ <= when) {
    // The cycle master waits for the bus to be idle for a subaction gap, then sends.
    const Picoseconds begin = std::max(next_cycle_, free_at_ + subaction_gap_);
    free_at_ = std::max(free_at_, begin + cycle_start_);
    next_cycle_ += kCyclePeriodPs;
    ++cycle_starts_;
  }
}

Picoseconds Bus::Place(uint8_t sender, Picoseconds ready, const Subaction& s) {
  const uint64_t bit = uint64_t{1} << (sender & 63);
  Picoseconds arbitrate;
  for (;;) {
    // An idle bus ends the fairness interval by itself once the arbitration reset gap has
    // passed.
    if (ready >= free_at_ + reset_gap_) sent_ = 0;
    const Picoseconds gap = (sent_ & bit) ? reset_gap_ : subaction_gap_;
    arbitrate = std::max(ready, free_at_ + gap);
    if (next_cycle_ > arbitrate) break;
    CycleStartsBefore(arbitrate);
  }
  if (sent_ & bit) sent_ = 0;  // the reset gap passed: a new fairness interval
  const Picoseconds end = arbitrate + arbitration_ + PacketPs(s.speed, s.quadlets) + (s.acknowledged ? AckPs(s.speed) : 0);
  free_at_ = end;
  sent_ |= bit;
  return end;
}

double CeilingBytesPerSecond(const CommandShape& shape) {
  if (shape.data_bytes == 0 || shape.payload == 0) return 0;
  constexpr uint8_t kInitiator = 0, kTarget = 1;
  constexpr int kCommands = 64;
  Bus bus(shape.speed);
  const uint8_t v = shape.speed;
  auto split = [&](uint8_t requester, uint8_t tcode, uint32_t length, Picoseconds at) {
    const uint8_t responder = requester == kInitiator ? kTarget : kInitiator;
    at = bus.Place(requester, at, {v, RequestQuadlets(tcode, length)});
    return bus.Place(responder, at, {v, ResponseQuadlets(tcode, length)});
  };
  Picoseconds t = 0, first = 0;
  for (int c = 0; c < kCommands; ++c) {
    const uint8_t agent_tcode = shape.agent_write_bytes == 4 ? TCODE_WRITE_QUADLET : TCODE_WRITE_BLOCK;
    for (uint32_t i = 0; i < shape.agent_writes; ++i) t = split(kInitiator, agent_tcode, shape.agent_write_bytes, t);
    t = split(kTarget, TCODE_READ_BLOCK, shape.orb_bytes, t);
    if (shape.extra_read_bytes > 0) t = split(kTarget, TCODE_READ_BLOCK, shape.extra_read_bytes, t);
    for (uint32_t done = 0; done < shape.data_bytes; done += shape.payload) {
      const uint32_t n = std::min(shape.payload, shape.data_bytes - done);
      if (shape.data_posted) {
        t = bus.Place(kTarget, t, {v, RequestQuadlets(TCODE_WRITE_BLOCK, n)});
      } else {
        t = split(kTarget, TCODE_WRITE_BLOCK, n, t);
      }
    }
    t = split(kTarget, TCODE_WRITE_BLOCK, shape.status_bytes, t);
    if (c == 0) first = t;  // the first command pays for starting on an idle bus
  }
  const double seconds = static_cast<double>(t - first) / 1e12;
  return static_cast<double>(shape.data_bytes) * (kCommands - 1) / seconds;
}

}  // namespace bus1394::wire
