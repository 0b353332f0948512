// Wire time of the simulated bus: how long each asynchronous packet occupies a real cable,
// so that a read through the simulated bus cannot go faster than a 1394 bus carries data.
//
// Every figure the model uses is here, with where it comes from:
//  * IEEE 1394-1995: the base bit rate, the primary packet formats (header quadlets, header
//    CRC, data CRC), the 8-bit acknowledge packet, the cycle start every 125 µs, the data
//    prefix and data end that frame every packet on the cable, the acknowledge gap, fair
//    arbitration (a node sends one packet per fairness interval; an interval ends with an
//    arbitration reset gap).
//  * IEEE 1394a-2000: the gap lengths as functions of gap_count, and the gap_count a bus
//    manager sets for a bus of two nodes (one hop).
//  * IEEE 1394b-2002: S800 runs in beta mode, where arbitration overlaps the packet before
//    (BOSS arbitration), fairness is signalled by tokens instead of gaps, and 8B10B symbols
//    frame the packet.
// The cable's PHY delays are the standards' worst case for a single 4.5 m hop.
//
// Time is kept in picoseconds on a clock of the model's own; the bus stand-in maps it onto
// the steady clock.
#pragma once

#include <cstdint>

namespace bus1394::wire {

using Picoseconds = int64_t;
constexpr Picoseconds kPsPerUs = 1'000'000;

// ---- Bit rates: S100 is 98.304 Mbit/s (IEEE 1394-1995); S200, S400 (1394-1995) and S800
// (1394b) double it each. These are data bits: 1394b's 8B10B line code runs its symbols
// 10/8 faster, which the beta framing below accounts for.
constexpr double kS100BitsPerSecond = 98.304e6;
constexpr double BitsPerSecond(uint8_t speed) { return kS100BitsPerSecond * static_cast<double>(1u << (speed > 3 ? 3 : speed)); }

// ---- Primary packets (IEEE 1394-1995, asynchronous packet formats). Quadlets on the
// cable, header CRC and data CRC included.
constexpr uint32_t kQuadletReadRequestQuadlets = 3 + 1;   // 3 header quadlets, header CRC
constexpr uint32_t kBlockReadRequestQuadlets = 4 + 1;     // 4 with data_length, header CRC
constexpr uint32_t kQuadletWriteRequestQuadlets = 4 + 1;  // the data quadlet is in the header
constexpr uint32_t kWriteResponseQuadlets = 3 + 1;
constexpr uint32_t kQuadletReadResponseQuadlets = 4 + 1;
constexpr uint32_t kBlockHeaderQuadlets = 4 + 1;  // block write request, block read response
constexpr uint32_t kDataCrcQuadlets = 1;
constexpr uint32_t kAckBits = 8;  // acknowledge packet: ack_code and its parity
// Cycle start: a quadlet write of the CYCLE_TIME register, broadcast by the cycle master
// every 125 µs at S100 on a legacy bus (so every node hears it).
constexpr Picoseconds kCyclePeriodPs = 125 * kPsPerUs;
constexpr uint32_t kCycleStartQuadlets = kQuadletWriteRequestQuadlets;

// ---- Legacy (data-strobe) cable PHY: S100 to S400.
// Every packet, the acknowledge included, is framed by a data prefix before it and a data
// end after it (IEEE 1394-1995 cable PHY timing: DATA_PREFIX at least 0.14 µs, DATA_END
// 0.24 µs).
constexpr Picoseconds kDataPrefixPs = 140'000;
constexpr Picoseconds kDataEndPs = 240'000;
// The receiver acknowledges after the acknowledge gap (IEEE 1394-1995: 0.04 to 0.05 µs).
constexpr Picoseconds kAckGapPs = 50'000;
// Arbitration on one hop: the request travels to the root and the grant back, each through
// a PHY (1394a PHY_DELAY, at most 144 ns) and 4.5 m of cable (about 5.05 ns/m).
constexpr Picoseconds kHopDelayPs = 144'000 + 4'500 * 505 / 100;
constexpr Picoseconds kArbitrationPs = 2 * kHopDelayPs;
// Gaps, in periods of the 98.304 MHz base clock (IEEE 1394a-2000): a subaction gap of
// 27 + 16 gap_count, an arbitration reset gap of 51 + 32 gap_count. A bus manager sets
// gap_count 5 for a bus of two nodes (the 1394a table of gap counts by hops; 63, the value
// after a reset, gives 10.5 and 21 µs).
constexpr uint32_t kTwoNodeGapCount = 5;
constexpr Picoseconds BaseClockPs(uint32_t periods) {
  return static_cast<Picoseconds>(static_cast<double>(periods) * 1e12 / kS100BitsPerSecond + 0.5);
}
constexpr Picoseconds SubactionGapPs(uint32_t gap_count) { return BaseClockPs(27 + 16 * gap_count); }
constexpr Picoseconds ArbitrationResetGapPs(uint32_t gap_count) { return BaseClockPs(51 + 32 * gap_count); }

// ---- Beta cable PHY (IEEE 1394b-2002): S800. No gaps: the next node's request rides on
// the packet before, so the grant follows one hop after the packet ends; the packet is
// framed by two DATA_PREFIX and two DATA_END symbols of 10 line bits (at the line rate,
// 10/8 of the data rate).
constexpr uint32_t kBetaFramingSymbols = 4;
constexpr uint32_t kBetaSymbolLineBits = 10;
constexpr Picoseconds kBetaArbitrationPs = kHopDelayPs;
constexpr bool IsBeta(uint8_t speed) { return speed >= 3; }

// ---- Packets and subactions.

// Quadlets of a request with `tcode` carrying (or asking for) `data_length` bytes, and of
// its response.
uint32_t RequestQuadlets(uint8_t tcode, uint32_t data_length);
uint32_t ResponseQuadlets(uint8_t request_tcode, uint32_t data_length);

// One packet on the cable at `speed`, its framing included.
Picoseconds PacketPs(uint8_t speed, uint32_t quadlets);
// The acknowledge after a packet: the acknowledge gap, then the framed 8-bit packet.
Picoseconds AckPs(uint8_t speed);

struct Subaction {
  uint8_t speed = 0;
  uint32_t quadlets = 0;  // the primary packet, CRCs included
  bool acknowledged = true;  // broadcast packets (the cycle start) have no acknowledge
};

// The bus as one shared medium. Each subaction is placed after whatever is on the bus:
// the gap the sender must see first (a subaction gap, or an arbitration reset gap when the
// sender has had its turn in this fairness interval), arbitration, the packet, its
// acknowledge. A cycle start that falls due goes first (the cycle master is the root and
// wins arbitration). Not thread-safe; the bus stand-in calls it on its bus thread.
class Bus {
 public:
  // `speed`: the bus's, which decides legacy or beta signalling for gaps and the cycle
  // start. `gap_count` as the bus manager set it.
  explicit Bus(uint8_t speed, uint32_t gap_count = kTwoNodeGapCount);

  // `sender` (a physical ID) wants the bus from `ready` on for `s`; returns when the
  // subaction ends (the acknowledge has been received).
  Picoseconds Place(uint8_t sender, Picoseconds ready, const Subaction& s);
  Picoseconds free_at() const { return free_at_; }
  uint64_t cycle_starts() const { return cycle_starts_; }

 private:
  void CycleStartsBefore(Picoseconds when);

  bool beta_;
  Picoseconds subaction_gap_;
  Picoseconds reset_gap_;
  Picoseconds arbitration_;
  Picoseconds cycle_start_;  // its arbitration and packet
  Picoseconds free_at_ = -kCyclePeriodPs;  // end of the last subaction (idle for long at first)
  Picoseconds next_cycle_ = kCyclePeriodPs;
  uint64_t sent_ = 0;  // physical IDs that have sent in this fairness interval
  uint64_t cycle_starts_ = 0;
};

// What one command of a client costs on the bus, for the ceiling below: the transactions
// around its data in the order they happen, then the data itself.
struct CommandShape {
  uint8_t speed = 0;             // of the path between the nodes
  uint32_t data_bytes = 0;       // the command's transfer length
  uint32_t payload = 0;          // bytes per data packet
  bool data_posted = true;       // data writes acknowledged complete (no response packet)
  uint32_t agent_writes = 1;     // initiator's writes to ORB_POINTER / DOORBELL
  uint32_t agent_write_bytes = 4;  // 4: a DOORBELL quadlet write; 8: an ORB_POINTER block write
  uint32_t orb_bytes = 32;       // the ORB as the target reads it
  uint32_t extra_read_bytes = 0;  // a further read block per command (a page table), 0: none
  uint32_t status_bytes = 8;     // the status block, a split block write
};

// Bytes per second a stream of back-to-back commands of `shape` reaches on an otherwise
// idle two-node bus: the best a target can do on that bus for that client.
double CeilingBytesPerSecond(const CommandShape& shape);

}  // namespace bus1394::wire
