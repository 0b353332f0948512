// Throughput of the transfer engine: user-mode data requests moved into and out of
// initiator memory over the simulated bus, by request size and bus interface version.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "include/vsbp_control.h"
#include "platform/bus1394/bus1394.h"
#include "sim/machine.h"

namespace {

class Memory : public bus1394::RemoteNode {
 public:
  bus1394::Response HandleRequest(const bus1394::Request& r) override {
    bus1394::Response response;
    uint32_t length = r.tcode == bus1394::TCODE_READ_QUADLET || r.tcode == bus1394::TCODE_WRITE_QUADLET ? 4 : r.data_length;
    if (r.offset + length > bytes_.size()) {
      response.rcode = bus1394::RCODE_ADDRESS_ERROR;
    } else if (r.tcode == bus1394::TCODE_READ_QUADLET || r.tcode == bus1394::TCODE_READ_BLOCK) {
      response.data.assign(bytes_.begin() + r.offset, bytes_.begin() + r.offset + length);
    } else {
      std::memcpy(bytes_.data() + r.offset, r.data.data(), length);
    }
    return response;
  }

 private:
  std::vector<uint8_t> bytes_ = std::vector<uint8_t>(4 << 20);
};

// Moves `range(0)` bytes per request, as a 4 KiB-page page table, on a bus interface of
// version `range(1)`.
void BM_Transfer(benchmark::State& state, bool read) {
  const uint32_t length = static_cast<uint32_t>(state.range(0));
  bus1394::HostControllerConfig config;
  config.ddi_major = static_cast<uint16_t>(state.range(1));
  config.max_async_read_request = 2048;
  config.max_async_write_request = 2048;
  sim::MachineOptions options;
  options.controllers = {config};
  auto machine = std::make_unique<sim::Machine>(options);
  Memory memory;
  machine->controller().Attach(&memory, 0x10, {});
  kern::FileObject* unit = nullptr;
  if (!kern::NtSuccess(machine->Open(0, u"\\unit00", &unit))) {
    state.SkipWithError("open failed");
    return;
  }
  uint32_t pages = (length + 4095) / 4096;
  std::vector<uint8_t> in(32 + 8 * pages);
  vsbp::TransferRequest head{};
  head.version = vsbp::kControlVersion;
  head.transfer_length = length;
  head.node_id = machine->controller().node_id(&memory);
  head.data_size = static_cast<uint16_t>(pages);
  head.options = vsbp::options::Make(4, true, 10, bus1394::SPEED_S400, false, 0);
  head.generation = machine->controller().generation();
  std::memcpy(in.data(), &head, sizeof(head));
  for (uint32_t p = 0; p < pages; ++p) {
    uint16_t n = static_cast<uint16_t>(p + 1 == pages ? length - 4096 * p : 4096);
    auto e = vsbp::PageTableElement::Make(n, 0, 0x10000 + 4096 * p);
    std::memcpy(in.data() + 32 + 8 * p, &e, sizeof(e));
  }
  std::vector<uint8_t> buffer(length);
  kern::ControlRequest request{read ? vsbp::IOCTL_VSBP_READ_INITIATOR : vsbp::IOCTL_VSBP_WRITE_INITIATOR,
                               in.data(), static_cast<uint32_t>(in.size()), buffer.data(), length, false,
                               kern::Mode::User};
  for (auto _ : state) {
    if (kern::SendControlSync(unit, request) != kern::STATUS_SUCCESS) {
      state.SkipWithError("transfer failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
  machine->Close(unit);
  machine->controller().Detach(&memory);
}

void BM_ReadInitiator(benchmark::State& state) { BM_Transfer(state, true); }
void BM_WriteInitiator(benchmark::State& state) { BM_Transfer(state, false); }

BENCHMARK(BM_ReadInitiator)->ArgsProduct({{2048, 65536, 2 << 20}, {2, 3}})->UseRealTime();
BENCHMARK(BM_WriteInitiator)->ArgsProduct({{2048, 65536, 2 << 20}, {2, 3}})->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
