#include "reliability/hostile.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "sim/rom.h"

namespace reliability {
namespace {

using bus1394::TCODE_LOCK;
using bus1394::TCODE_READ_BLOCK;
using bus1394::TCODE_READ_QUADLET;
using bus1394::TCODE_WRITE_BLOCK;
using bus1394::TCODE_WRITE_QUADLET;

// Command block agent registers.
constexpr uint32_t kOrbPointer = 0x08, kDoorbell = 0x10;
// Management functions the node sends: everything but the two resets that end every
// initiator's tasks.
constexpr uint8_t kHostileFunctions[] = {0x0, 0x1, 0x2, 0x3, 0x4, 0x5, 0x6, 0x7, 0x8, 0x9, 0xA, 0xB, 0xC, 0xD};
// Opcodes that change the drive for every initiator: START STOP UNIT, PREVENT ALLOW MEDIUM
// REMOVAL, MODE SELECT (6/10), the audio play and scan commands, LOAD/UNLOAD, SET CD SPEED.
constexpr uint8_t kSharedStateOpcodes[] = {0x1B, 0x1E, 0x15, 0x55, 0x45, 0x47, 0x48, 0x49,
                                           0x4B, 0x4E, 0xA5, 0xB9, 0xBA, 0xBC, 0xA6, 0xBB, 0xB6};
// Commands the node sends well-formed CDBs of, among the random ones.
constexpr uint8_t kCommonOpcodes[] = {0x00, 0x03, 0x12, 0x25, 0x28, 0x43, 0x46, 0x4A, 0x5A, 0x51, 0xA8, 0xBE, 0x2A};

std::vector<uint8_t> Quadlets(std::initializer_list<uint32_t> q) {
  std::vector<uint8_t> out(4 * q.size());
  size_t i = 0;
  for (uint32_t v : q) sim::StoreBe32(&out[4 * i++], v);
  return out;
}

const char* RcodeName(uint8_t rcode) {
  switch (rcode) {
    case bus1394::RCODE_RESPONSE_COMPLETE: return "complete";
    case bus1394::RCODE_CONFLICT_ERROR: return "conflict";
    case bus1394::RCODE_DATA_ERROR: return "data error";
    case bus1394::RCODE_TYPE_ERROR: return "type error";
    case bus1394::RCODE_ADDRESS_ERROR: return "address error";
    case bus1394::RCODE_TIMED_OUT: return "timed out";
  }
  return "other";
}

}  // namespace

HostileNode::HostileNode(bus1394::HostController& hc, uint64_t eui64, uint32_t seed, uint32_t management_agent,
                         uint64_t victim_agent)
    : hc_(hc), rng_(seed), management_agent_(management_agent), victim_agent_(victim_agent), memory_(kMemoryBytes) {
  hc_.Attach(this, eui64, {});
}

HostileNode::~HostileNode() { hc_.Detach(this); }

uint64_t HostileNode::status_blocks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return status_blocks_;
}

uint16_t HostileNode::me() const { return hc_.node_id(this); }

bus1394::Response HostileNode::HandleRequest(const bus1394::Request& r) {
  bus1394::Response response;
  const bool quadlet = r.tcode == TCODE_READ_QUADLET || r.tcode == TCODE_WRITE_QUADLET;
  const uint64_t length = quadlet ? 4 : r.data_length;
  std::lock_guard<std::mutex> lock(mu_);
  if (length == 0 || r.offset + length > kMemoryBytes) {
    response.rcode = bus1394::RCODE_ADDRESS_ERROR;
    return response;
  }
  const auto from = memory_.begin() + static_cast<ptrdiff_t>(r.offset);
  if (r.tcode == TCODE_READ_QUADLET || r.tcode == TCODE_READ_BLOCK) {
    response.data.assign(from, from + static_cast<ptrdiff_t>(length));
  } else if (r.tcode == TCODE_WRITE_QUADLET || r.tcode == TCODE_WRITE_BLOCK) {
    std::copy_n(r.data.begin(), std::min<size_t>(length, r.data.size()), from);
    if (r.offset == kStatusFifo) ++status_blocks_;
  } else {
    response.rcode = bus1394::RCODE_TYPE_ERROR;
  }
  return response;
}

void HostileNode::WriteMemory(uint32_t at, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (at >= kMemoryBytes) return;
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), kMemoryBytes - at), memory_.begin() + at);
}

std::vector<uint8_t> HostileNode::ReadMemory(uint32_t at, uint32_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  return std::vector<uint8_t>(memory_.begin() + at, memory_.begin() + at + n);
}

bus1394::Response HostileNode::Send(uint8_t tcode, uint64_t offset, std::vector<uint8_t> data, uint32_t length) {
  bus1394::Request r;
  r.tcode = tcode;
  r.offset = offset & 0xFFFF'FFFF'FFFFULL;
  r.speed = bus1394::SPEED_S400;
  r.destination_id = hc_.local_node_id();
  r.generation = hc_.generation();
  r.data_length = tcode == TCODE_WRITE_BLOCK ? static_cast<uint32_t>(data.size()) : length;
  r.data = std::move(data);
  return hc_.SendSync(this, std::move(r));
}

void HostileNode::Note(const std::string& kind, const bus1394::Response* r) {
  ++tried_[kind];
  if (r != nullptr) ++tried_[std::string("  answered ") + RcodeName(r->rcode)];
}

std::optional<std::vector<uint8_t>> HostileNode::Manage(const std::vector<uint8_t>& orb, int wait_ms) {
  WriteMemory(kManagementOrb, orb);
  uint64_t before;
  {
    std::lock_guard<std::mutex> lock(mu_);
    before = status_blocks_;
  }
  const bus1394::Response w =
      Send(TCODE_WRITE_BLOCK, bus1394::kCsrRegisterBase + management_agent_, Quadlets({uint32_t{me()} << 16, kManagementOrb}));
  if (w.rcode != bus1394::RCODE_RESPONSE_COMPLETE) return std::nullopt;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (std::chrono::steady_clock::now() < until) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (status_blocks_ != before) return std::vector<uint8_t>(memory_.begin() + kStatusFifo, memory_.begin() + kStatusFifo + 8);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return std::nullopt;
}

void HostileNode::Login() {
  Note("LOGIN (non-exclusive)");
  const uint32_t node = uint32_t{me()} << 16;
  const auto status = Manage(Quadlets({0, 0, node, kLoginResponse, 0x80000000u, 16, node, kStatusFifo}), 3000);
  if (!status) {
    Note("  no status");
    return;
  }
  const uint32_t q0 = sim::LoadBe32(status->data());
  const uint8_t sbp_status = static_cast<uint8_t>(q0 >> 16);
  if (((q0 >> 28) & 3) == 0 && (sbp_status == 4 || sbp_status == 8)) {
    // It holds a login it lost track of (one node, one login), or its garbage LOGINs took
    // every login: log out whatever is its own (the target refuses the others' with
    // "function rejected").
    Note("  refused (" + std::to_string(sbp_status) + "); LOGOUT of every login ID");
    for (uint32_t id = 0; id < 8; ++id) {
      Manage(Quadlets({0, 0, 0, 0, 0x80070000u | id, 0, node, kStatusFifo}), 500);
    }
    return;
  }
  if (((q0 >> 28) & 3) != 0 || sbp_status != 0) {
    Note("  refused: resp " + std::to_string((q0 >> 28) & 3) + ", sbp_status " + std::to_string(sbp_status));
    return;
  }
  const std::vector<uint8_t> response = ReadMemory(kLoginResponse, 16);
  login_id_ = static_cast<uint16_t>(sim::LoadBe32(response.data()));
  command_agent_ = uint64_t{sim::LoadBe32(&response[4]) & 0xFFFF} << 32 | sim::LoadBe32(&response[8]);
  Note("  logged in");
}

void HostileNode::CommandOrb(bool page_table) {
  const uint32_t node = uint32_t{me()} << 16;
  const uint32_t orb = kOrbArea + (R() % 0x3F00 & ~3u);
  // next_ORB: mostly none, sometimes another ORB of the area (maybe itself), sometimes
  // memory that does not exist.
  const uint32_t pick = R() % 8;
  const uint32_t next_hi = pick < 5 ? 0x80000000u : pick < 7 ? node : R();
  const uint32_t next_lo = pick < 5 ? 0 : pick < 7 ? kOrbArea + (R() % 0x3F00 & ~3u) : R();
  uint32_t descriptor_hi = R() % 4 == 0 ? R() : node;
  uint32_t descriptor_lo = R() % 4 == 0 ? R() : kDataArea + R() % 0x6000;
  uint32_t options = R() & 0x7FFF0000u;  // rq_fmt, d, spd, max_payload, p, page_size
  options |= R() % 2 ? 0x80000000u : 0;    // notify
  uint32_t data_size = R() % 3 == 0 ? R() & 0xFFFF : R() % 0x2000;
  if (page_table) {
    Note("command ORB with a page table");
    options |= 1u << 19;
    const uint32_t elements = R() % 3 == 0 ? R() % 700 : 1 + R() % 32;
    data_size = elements;
    descriptor_hi = R() % 6 == 0 ? R() : node;
    descriptor_lo = R() % 6 == 0 ? R() : kPageTableArea + (R() % 0x200) * 8;
    std::vector<uint8_t> table(8 * std::min<uint32_t>(elements, 0x3FFF / 8));
    for (size_t i = 0; i + 8 <= table.size(); i += 8) {
      const uint32_t segment = R() % 4 == 0 ? R() & 0xFFFF : R() % 0x1000;
      const uint32_t base_lo = R() % 5 == 0 ? R() : kDataArea + R() % 0x7000;
      sim::StoreBe32(&table[i], segment << 16 | (R() % 7 == 0 ? R() & 0xFFFF : 0));
      sim::StoreBe32(&table[i + 4], base_lo);
    }
    if (descriptor_hi == node && descriptor_lo >= kPageTableArea && descriptor_lo < kDataArea) {
      table.resize(std::min<size_t>(table.size(), kDataArea - descriptor_lo));
      WriteMemory(descriptor_lo, table);
    }
  } else {
    Note("command ORB");
    options &= ~(1u << 19);
  }
  std::vector<uint8_t> bytes = Quadlets({next_hi, next_lo, descriptor_hi, descriptor_lo, options | data_size});
  std::vector<uint8_t> cdb(12);
  for (auto& b : cdb) b = static_cast<uint8_t>(R());
  cdb[0] = R() % 2 ? kCommonOpcodes[R() % std::size(kCommonOpcodes)] : static_cast<uint8_t>(R());
  if (std::find(std::begin(kSharedStateOpcodes), std::end(kSharedStateOpcodes), cdb[0]) != std::end(kSharedStateOpcodes)) {
    cdb[0] = 0x00;
  }
  bytes.insert(bytes.end(), cdb.begin(), cdb.end());
  WriteMemory(orb, bytes);
  if (command_agent_ == 0) return;
  const bool doorbell = R() % 4 == 0;
  const bus1394::Response r = doorbell ? Send(TCODE_WRITE_QUADLET, command_agent_ + kDoorbell, Quadlets({0}))
                                       : Send(TCODE_WRITE_BLOCK, command_agent_ + kOrbPointer, Quadlets({node, orb}));
  Note(doorbell ? "  announced by DOORBELL" : "  announced by ORB_POINTER", &r);
}

void HostileNode::RegisterAccess() {
  static const uint8_t kTcodes[] = {TCODE_WRITE_QUADLET, TCODE_WRITE_BLOCK, TCODE_READ_QUADLET, TCODE_READ_BLOCK,
                                    TCODE_LOCK};
  uint64_t offset;
  const char* where;
  switch (R() % 5) {
    case 0:
      offset = victim_agent_ + (R() % 0x20 & ~3u);
      where = "register access to the other login's agent";
      break;
    case 1:
      offset = bus1394::kCsrRegisterBase + management_agent_ + (R() % 16) * 4;
      where = "register access at the management agent";
      break;
    case 2:
      offset = 0xFFFFF0100000ULL + (R() % 0x4000 & ~3u);
      where = "register access in the command agents' range";
      break;
    case 3:
      offset = 0xFFFFF0010000ULL + (R() % 0x100);  // unaligned too
      where = "register access in the management range";
      break;
    default:
      offset = command_agent_ != 0 ? command_agent_ + R() % 0x24 : 0xFFFFF0100000ULL;
      where = "register access to its own agent";
      break;
  }
  const uint8_t tcode = kTcodes[R() % std::size(kTcodes)];
  std::vector<uint8_t> data;
  uint32_t length = 0;
  if (tcode == TCODE_WRITE_QUADLET) data = Quadlets({R() % 3 == 0 ? 0u : static_cast<uint32_t>(R())});
  if (tcode == TCODE_WRITE_BLOCK || tcode == TCODE_LOCK) {
    data.resize(R() % 3 == 0 ? 8 : 4 * (1 + R() % 8));
    for (auto& b : data) b = static_cast<uint8_t>(R());
    // An ORB_POINTER-shaped value at times, naming this node's memory.
    if (data.size() == 8 && R() % 2) data = Quadlets({uint32_t{me()} << 16, kOrbArea + (R() % 0x3F00 & ~3u)});
  }
  if (tcode == TCODE_READ_BLOCK) length = R() % 3 == 0 ? 8 : 4 * (R() % 10);
  if (tcode == TCODE_LOCK) length = static_cast<uint32_t>(data.size());
  const bus1394::Response r = Send(tcode, offset, std::move(data), length);
  Note(where, &r);
}

void HostileNode::ManagementGarbage() {
  const uint32_t node = uint32_t{me()} << 16;
  const uint8_t function = kHostileFunctions[R() % std::size(kHostileFunctions)];
  uint32_t q[8] = {};
  for (uint32_t& v : q) v = static_cast<uint32_t>(R());
  // Response and status addresses: this node's memory mostly, anywhere at times.
  if (R() % 4 != 0) {
    q[2] = node;
    q[3] = kLoginResponse + (R() % 0x40) * 4;
  }
  if (R() % 5 != 0) {
    q[6] = node;
    q[7] = kStatusFifo;
  }
  uint16_t login = static_cast<uint16_t>(R());
  switch (R() % 3) {
    case 0: login = login_id_.value_or(0); break;
    case 1: login = static_cast<uint16_t>(R() % 4); break;  // the other login's, likely
    default: break;
  }
  // Exclusive logins are left out: one that succeeds would lock the other initiator out
  // after its next reset, which the target must allow.
  q[4] = (R() % 2 ? 0x80000000u : 0) | (R() % 8 == 0 ? R() & 0x60000000u : 0) | uint32_t{function} << 16 |
         login | (R() & 0x00F00000u);
  q[4] &= ~(1u << 28);
  if (function == 0) q[5] = (R() % 4 == 0 ? R() & 0xFFFF0000u : 0) | (R() % 0x200);
  Note("management ORB function " + std::to_string(function));
  const std::vector<uint8_t> orb = Quadlets({q[0], q[1], q[2], q[3], q[4], q[5], q[6], q[7]});
  const auto status = Manage(orb, 200);
  Note(status ? "  management status came" : "  management status did not come");
  // A LOGOUT or a login it did not see may have taken its own login.
  if (function == 0x7 || function == 0x0) {
    login_id_.reset();
    command_agent_ = 0;
  }
}

void HostileNode::Step() {
  if (!login_id_ && R() % 4 == 0) Login();
  switch (R() % 8) {
    case 0:
    case 1: CommandOrb(false); break;
    case 2:
    case 3: CommandOrb(true); break;
    case 4:
    case 5: RegisterAccess(); break;
    case 6: ManagementGarbage(); break;
    default: {
      // Scribble over the ORBs and page tables it already sent.
      std::vector<uint8_t> junk(4 + R() % 64);
      for (auto& b : junk) b = static_cast<uint8_t>(R());
      WriteMemory(R() % kDataArea, junk);
      Note("memory scribbled under the target");
      break;
    }
  }
}

}  // namespace reliability
