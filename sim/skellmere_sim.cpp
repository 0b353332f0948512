// skellmere-sim: runs the simulated machine.
//
//   skellmere-sim read IMAGE [--client windows|mac] [--speed S100|S200|S400|S800] [--unpaced]
//                            [--wire] [--json] [--expect FILE]
//   skellmere-sim info IMAGE [--client windows|mac] [--json]
//   skellmere-sim serve IMAGE --socket PATH [--client windows|mac] [--unpaced] [--wire]
//   skellmere-sim demo [--controllers N] [--client windows|mac] [--profile linux|mac|chained]
//                      [--mib N] [--json]
//
// The read job (sim/read_job.h) serves IMAGE from target 0 as the tray program does and
// reads the whole disc through a simulated initiator, comparing it with the image. `info`
// serves IMAGE the same way and prints what the initiator sees of the drive and the medium.
// `serve` (sim/serve.h) passes SCSI commands from a Unix-domain socket to the drive.
//
// The demo brings up a simulated PC with N host controllers, the SBP-2 target driver
// started on each, publishes unit 0 on every controller from a user-mode stand-in, and on
// each bus lets a simulated initiator discover the unit, log in, write a pattern through
// SBP-2 command ORBs with page tables into a memory-backed block store on the serving side,
// read it back and compare. It exits 0 when every byte came back as written.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/info_command.h"
#include "sim/initiator.h"
#include "sim/machine.h"
#include "sim/read_command.h"
#include "sim/responder.h"
#include "sim/rom.h"
#include "sim/serve.h"

namespace {

constexpr uint32_t kBlock = 2048;

struct Args {
  size_t controllers = 1;
  bool mac = false;
  sim::Profile profile = sim::Profile::kLinux;
  uint32_t mib = 8;
  bool json = false;
};

void Usage() {
  sim::ReadUsage();
  sim::InfoUsage();
  sim::ServeUsage();
  std::fprintf(stderr,
               "       skellmere-sim demo [--controllers N] [--client windows|mac]\n"
               "                          [--profile linux|mac|chained] [--mib N] [--json]\n");
}

bool Parse(int argc, char** argv, Args* a) {
  if (argc < 2 || std::strcmp(argv[1], "demo") != 0) return false;
  for (int i = 2; i < argc; ++i) {
    std::string k = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (k == "--controllers") {
      a->controllers = std::stoul(value());
      if (a->controllers < 1 || a->controllers > 4) return false;
    } else if (k == "--client") {
      std::string v = value();
      if (v != "windows" && v != "mac") return false;
      a->mac = v == "mac";
    } else if (k == "--profile") {
      std::string v = value();
      if (v == "linux") a->profile = sim::Profile::kLinux;
      else if (v == "mac") a->profile = sim::Profile::kMac;
      else if (v == "chained") a->profile = sim::Profile::kChained;
      else return false;
    } else if (k == "--mib") {
      a->mib = static_cast<uint32_t>(std::stoul(value()));
      if (a->mib < 1 || a->mib > 256) return false;
    } else if (k == "--json") {
      a->json = true;
    } else {
      return false;
    }
  }
  return true;
}

// The serving side's answers: a block store in memory with READ(10), WRITE(10), INQUIRY,
// TEST UNIT READY and READ CAPACITY; anything else is an invalid command.
class BlockStore {
 public:
  BlockStore(uint32_t blocks, std::array<uint8_t, 36> inquiry)
      : data_(static_cast<size_t>(blocks) * kBlock), blocks_(blocks), inquiry_(inquiry) {}

  sim::CommandAnswer Answer(const vsbp::CommandRecord& r, std::span<const uint8_t> out) {
    const uint8_t* cdb = r.cdb;
    auto be32 = [&](int at) {
      return uint32_t{cdb[at]} << 24 | uint32_t{cdb[at + 1]} << 16 | uint32_t{cdb[at + 2]} << 8 | cdb[at + 3];
    };
    switch (cdb[0]) {
      case 0x00:
        return sim::CommandAnswer::Good();
      case 0x12:
        return sim::CommandAnswer::Good({inquiry_.begin(), inquiry_.end()});
      case 0x25: {
        uint32_t last = blocks_ - 1;
        return sim::CommandAnswer::Good({static_cast<uint8_t>(last >> 24), static_cast<uint8_t>(last >> 16),
                                         static_cast<uint8_t>(last >> 8), static_cast<uint8_t>(last), 0, 0,
                                         kBlock >> 8, 0});
      }
      case 0x28:
      case 0x2A: {
        uint32_t lba = be32(2);
        uint32_t count = uint32_t{cdb[7]} << 8 | cdb[8];
        if (static_cast<uint64_t>(lba) + count > blocks_) return sim::CommandAnswer::CheckCondition(5, 0x21, 0);
        size_t at = static_cast<size_t>(lba) * kBlock, n = static_cast<size_t>(count) * kBlock;
        std::lock_guard<std::mutex> lock(mu_);
        if (cdb[0] == 0x28) return sim::CommandAnswer::Good({data_.begin() + at, data_.begin() + at + n});
        if (out.size() != n) return sim::CommandAnswer::CheckCondition(5, 0x24, 0);
        std::memcpy(data_.data() + at, out.data(), n);
        return sim::CommandAnswer::Good();
      }
      default:
        return sim::CommandAnswer::CheckCondition(5, 0x20, 0);
    }
  }

 private:
  std::mutex mu_;
  std::vector<uint8_t> data_;
  uint32_t blocks_;
  std::array<uint8_t, 36> inquiry_;
};

sim::Command Rw(bool write, uint32_t lba, uint16_t count, std::vector<uint8_t> data = {}) {
  return sim::Command::Make({static_cast<uint8_t>(write ? 0x2A : 0x28), 0, static_cast<uint8_t>(lba >> 24),
                             static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
                             static_cast<uint8_t>(lba), 0, static_cast<uint8_t>(count >> 8),
                             static_cast<uint8_t>(count), 0},
                            write ? 0 : static_cast<uint32_t>(count) * kBlock, std::move(data));
}

struct BusReport {
  bool ok = false;
  std::string error;
  uint64_t eui64 = 0;
  uint32_t management_agent = 0;
  uint16_t login_id = 0;
  uint64_t command_agent = 0;
  std::string text;  // the unit's textual leaves
  uint64_t bytes = 0;
  double write_ms = 0, read_ms = 0;
};

BusReport RunBus(sim::Machine& machine, size_t index, const Args& args, uint32_t blocks) {
  BusReport report;
  sim::InitiatorOptions options;
  options.profile = args.profile;
  options.eui64 = 0x0800460300000100ULL + index;
  sim::Initiator initiator(machine.controller(index), options);
  sim::RomInfo rom = initiator.Discover();
  if (!rom.ok || rom.units.empty()) {
    report.error = "configuration ROM: " + (rom.ok ? std::string("no SBP-2 unit") : rom.error);
    return report;
  }
  report.eui64 = rom.eui64;
  report.management_agent = rom.units[0].management_agent;
  for (const sim::TextLeaf& t : rom.units[0].texts) {
    std::string text = t.text;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    report.text += (report.text.empty() ? "" : " / ") + text;
  }
  sim::ManagementResult login = initiator.Login();
  if (!login.ok() || !initiator.login()) {
    report.error = std::string("LOGIN failed: ") + sim::ToString(login.transport);
    return report;
  }
  report.login_id = initiator.login()->login_id;
  report.command_agent = initiator.login()->command_agent;

  // 32 blocks (64 KiB) per command, as page tables of 4 KiB segments.
  constexpr uint16_t kPer = 32;
  sim::TransferOptions transfer;
  transfer.layout = sim::TransferOptions::Layout::kPageTable;
  transfer.page_size = 4;
  initiator.SetTransfer(transfer);
  std::vector<uint8_t> pattern(static_cast<size_t>(kPer) * kBlock);
  auto start = std::chrono::steady_clock::now();
  for (uint32_t lba = 0; lba < blocks; lba += kPer) {
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>((lba * 131 + i * 7 + index) >> 1);
    sim::Result r = initiator.Execute(Rw(true, lba, kPer, pattern));
    if (!r.good()) {
      report.error = "WRITE(10) at " + std::to_string(lba) + ": " + sim::ToString(r.transport);
      return report;
    }
  }
  auto mid = std::chrono::steady_clock::now();
  for (uint32_t lba = 0; lba < blocks; lba += kPer) {
    sim::Result r = initiator.Execute(Rw(false, lba, kPer));
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>((lba * 131 + i * 7 + index) >> 1);
    if (!r.good() || r.data != pattern) {
      report.error = "READ(10) at " + std::to_string(lba) + (r.good() ? ": data differ" : ": failed");
      return report;
    }
    report.bytes += r.data.size();
  }
  auto end = std::chrono::steady_clock::now();
  report.write_ms = std::chrono::duration<double, std::milli>(mid - start).count();
  report.read_ms = std::chrono::duration<double, std::milli>(end - mid).count();
  initiator.Logout();
  report.ok = true;
  return report;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "read") == 0) return sim::ReadCommand(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "info") == 0) return sim::InfoCommand(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) return sim::ServeCommand(argc, argv);
  Args args;
  if (!Parse(argc, argv, &args)) {
    Usage();
    return 2;
  }
  const uint32_t blocks = args.mib * (1 << 20) / kBlock;
  sim::Machine machine(sim::MachineOptions::WithControllers(args.controllers));
  if (!args.json) {
    std::printf("machine: %zu host controller(s), driver started on each\n", machine.controller_count());
  }
  auto inquiry = sim::MakeInquiry(5, "KORVEN", "RIRazuVezi VOVUV", "1.0b");
  std::vector<std::unique_ptr<BlockStore>> stores;
  std::vector<std::unique_ptr<sim::Responder>> responders;
  for (size_t i = 0; i < machine.controller_count(); ++i) {
    stores.push_back(std::make_unique<BlockStore>(blocks, inquiry));
    sim::ResponderOptions options;
    options.controller = i;
    options.mac = args.mac;
    options.inquiry = inquiry;
    BlockStore* store = stores.back().get();
    responders.push_back(std::make_unique<sim::Responder>(
        machine, options, [store](const vsbp::CommandRecord& r, std::span<const uint8_t> out) {
          return store->Answer(r, out);
        }));
    kern::NTSTATUS s = responders.back()->Start();
    if (!kern::NtSuccess(s)) {
      std::fprintf(stderr, "unit 0 on controller %zu was not published: status %08X\n", i, static_cast<uint32_t>(s));
      return 1;
    }
  }
  bool ok = true;
  if (args.json) std::printf("{\"controllers\": [");
  for (size_t i = 0; i < machine.controller_count(); ++i) {
    BusReport r = RunBus(machine, i, args, blocks);
    ok = ok && r.ok;
    double mb = static_cast<double>(r.bytes) / (1 << 20);
    if (args.json) {
      std::printf("%s{\"ok\": %s, \"error\": \"%s\", \"eui64\": \"%016llx\", \"management_agent\": %u, "
                  "\"login_id\": %u, \"text\": \"%s\", \"bytes\": %llu, "
                  "\"write_ms\": %.1f, \"read_ms\": %.1f}",
                  i ? ", " : "", r.ok ? "true" : "false", r.error.c_str(), static_cast<unsigned long long>(r.eui64),
                  r.management_agent, r.login_id, r.text.c_str(),
                  static_cast<unsigned long long>(r.bytes), r.write_ms, r.read_ms);
      continue;
    }
    std::printf("controller %zu: target EUI-64 %016llx, unit 0 management agent at 0xFFFF%08X, \"%s\"\n", i,
                static_cast<unsigned long long>(r.eui64), 0xF0000000u + r.management_agent, r.text.c_str());
    if (!r.ok) {
      std::printf("controller %zu: FAILED: %s\n", i, r.error.c_str());
      continue;
    }
    std::printf("controller %zu: logged in as login %u, command agent at 0x%012llX\n", i, r.login_id,
                static_cast<unsigned long long>(r.command_agent));
    std::printf("controller %zu: wrote and read back %.0f MiB: write %.1f MiB/s, read %.1f MiB/s, data identical\n",
                i, mb, mb / (r.write_ms / 1000), mb / (r.read_ms / 1000));
  }
  if (args.json) std::printf("], \"ok\": %s}\n", ok ? "true" : "false");
  for (auto& r : responders) r->Stop();
  if (!args.json) std::printf("%s\n", ok ? "demo: ok" : "demo: FAILED");
  return ok ? 0 : 1;
}
