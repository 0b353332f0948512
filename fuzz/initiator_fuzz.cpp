// A hostile initiator: arbitrary register accesses, management and command ORBs, page
// tables and bus resets in any order, while user mode keeps its GET and FETCH requests
// pending as a real device access library would. After each input the unit is closed and
// the driver must be back where it started: every request ended exactly once, every
// context back in its pool, and the unit usable again.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/ostrane.h"
#include "fuzz/fuzz_machine.h"
#include "include/vsbp_control.h"
#include "platform/bus1394/bus1394.h"
#include "platform/kernel/kernel.h"

namespace {

// One request user mode keeps outstanding; re-sent whenever it ends, like a request loop.
struct Outstanding {
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  std::atomic<int> sent{0};
  std::atomic<int> ended{0};
};

void Send(kern::FileObject* file, uint32_t code, Outstanding* o) {
  o->sent.fetch_add(1);
  kern::ControlRequest request{code, o->in.data(), static_cast<uint32_t>(o->in.size()), o->out.data(),
                               static_cast<uint32_t>(o->out.size()), false, kern::Mode::User};
  kern::SendControl(file, request, [o](kern::NTSTATUS, uintptr_t) { o->ended.fetch_add(1); });
}

std::vector<uint8_t> Directory() {
  const uint32_t q[] = {0x00080000, 0x1200609E, 0x13010483, 0x3800609E, 0x390104D8,
                        0x54004000, 0x3A002808, 0x3D000003, 0x14050000};
  std::vector<uint8_t> in(32, 0);
  in[0] = vsbp::kControlVersion;
  for (uint32_t v : q) {
    for (int s = 24; s >= 0; s -= 8) in.push_back(static_cast<uint8_t>(v >> s));
  }
  return in;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzing::FuzzMachine* m = new fuzzing::FuzzMachine();
  // Driver allocations while no unit is open: the device's own pool.
  static const size_t baseline = m->system->OutstandingAllocations(kern::MakeTag('V', 'S', 'b', 'p'));
  m->node.Clear();
  kern::FileObject* unit = nullptr;
  if (!kern::NtSuccess(kern::OpenFile(m->device, u"\\unit00", &unit))) __builtin_trap();
  std::vector<std::unique_ptr<Outstanding>> requests;
  auto get = std::make_unique<Outstanding>();
  get->in = Directory();
  get->out.resize(40);
  Send(unit, vsbp::IOCTL_VSBP_GET_REQUEST, get.get());
  requests.push_back(std::move(get));
  uint16_t node_id = m->hc->node_id(&m->node);
  for (uint16_t slot = 0; slot < 2; ++slot) {
    auto f = std::make_unique<Outstanding>();
    vsbp::FetchRequest fr{};
    fr.version = vsbp::kControlVersion;
    fr.login_id = slot;
    fr.node_id = node_id;
    fr.generation = m->hc->generation();
    fr.status_fifo_lo = 0xF000;
    fr.speed = 2;
    f->in.assign(reinterpret_cast<uint8_t*>(&fr), reinterpret_cast<uint8_t*>(&fr) + sizeof(fr));
    f->out.resize(sizeof(vsbp::CommandRecord));
    Send(unit, vsbp::IOCTL_VSBP_FETCH_COMMAND, f.get());
    requests.push_back(std::move(f));
  }

  size_t pos = 0;
  int ops = 0;
  while (pos + 4 <= size && ops++ < 64) {
    uint8_t op = data[pos] % 5;
    uint8_t a = data[pos + 1], b = data[pos + 2], c = data[pos + 3];
    pos += 4;
    bus1394::Request r;
    r.destination_id = m->hc->local_node_id();
    r.generation = m->hc->generation();
    r.speed = 2;
    switch (op) {
      case 0: {  // write an ORB address into a register: management agent or ORB_POINTER
        uint64_t reg = (a & 1) ? 0xFFFFF0010000ULL + (b & 0x38) : 0xFFFFF0100000ULL + 0x20 * (b & 1) + 8;
        uint32_t orb = static_cast<uint32_t>(c) << 8;
        uint8_t bytes[8] = {static_cast<uint8_t>(node_id >> 8), static_cast<uint8_t>(node_id), 0, 0,
                            static_cast<uint8_t>(orb >> 24), static_cast<uint8_t>(orb >> 16),
                            static_cast<uint8_t>(orb >> 8), static_cast<uint8_t>(orb)};
        r.tcode = bus1394::TCODE_WRITE_BLOCK;
        r.offset = reg;
        r.data_length = 8;
        r.data.assign(bytes, bytes + 8);
        m->hc->Send(&m->node, r, [](const bus1394::Response&) {});
        break;
      }
      case 1: {  // any quadlet or block access in the agents' ranges
        r.offset = ((a & 1) ? 0xFFFFF0010000ULL : 0xFFFFF0100000ULL) + (static_cast<uint32_t>(b) << 2) % 0x4000;
        static const uint8_t kTcodes[] = {bus1394::TCODE_WRITE_QUADLET, bus1394::TCODE_WRITE_BLOCK,
                                          bus1394::TCODE_READ_QUADLET, bus1394::TCODE_READ_BLOCK};
        r.tcode = kTcodes[c & 3];
        if (r.tcode == bus1394::TCODE_WRITE_BLOCK || r.tcode == bus1394::TCODE_READ_BLOCK) r.data_length = (c >> 2) & 0x1C;
        if (r.tcode == bus1394::TCODE_WRITE_QUADLET) r.data.assign(4, a);
        if (r.tcode == bus1394::TCODE_WRITE_BLOCK) r.data.assign(r.data_length, b);
        m->hc->Send(&m->node, r, [](const bus1394::Response&) {});
        break;
      }
      case 2: {  // initiator memory: ORBs, page tables, data
        size_t n = std::min<size_t>(static_cast<size_t>(c) + 1, size - pos);
        m->node.Write(static_cast<uint32_t>(a) << 8 | b, data + pos, n);
        pos += n;
        break;
      }
      case 3:
        m->hc->BusReset();
        break;
      case 4:  // user mode sends again whatever has ended
        for (size_t i = 0; i < requests.size(); ++i) {
          Outstanding* o = requests[i].get();
          if (o->ended.load() == o->sent.load()) {
            if (i == 0) o->in.resize(32);  // the directory goes with the first GET only
            if (i > 0) reinterpret_cast<vsbp::FetchRequest*>(o->in.data())->generation = m->hc->generation();
            Send(unit, i == 0 ? vsbp::IOCTL_VSBP_GET_REQUEST : vsbp::IOCTL_VSBP_FETCH_COMMAND, o);
          }
        }
        break;
    }
  }
  m->hc->Drain();
  kern::CleanupFile(unit);
  kern::CloseFile(unit);
  m->hc->Drain();
  m->system->Quiesce();
  for (const auto& o : requests) {
    if (o->ended.load() != o->sent.load()) __builtin_trap();  // a request was lost or ended twice
  }
  // Property: the unit is gone entirely, every context with it, and it can be opened again.
  if (m->system->OutstandingAllocations(kern::MakeTag('V', 'S', 'b', 'p')) != baseline) __builtin_trap();
  kern::FileObject* again = nullptr;
  if (!kern::NtSuccess(kern::OpenFile(m->device, u"\\unit00", &again))) __builtin_trap();
  kern::CleanupFile(again);
  kern::CloseFile(again);
  return 0;
}
