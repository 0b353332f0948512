// skellmere-reliability: the reliability runs of the whole stack, each bounded in time.
//
//   skellmere-reliability storm|hostile|faults|teardown|all [--seconds N] [--image PATH] [--seed N]
//
// Prints what each run tried and what it lost; exits 0 only when nothing was lost.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reliability/runs.h"

namespace {

struct Run {
  const char* name;
  reliability::RunReport (*run)(const reliability::RunOptions&);
};
constexpr Run kRuns[] = {
    {"storm", &reliability::RunStorm},
    {"hostile", &reliability::RunHostile},
    {"faults", &reliability::RunFaults},
    {"teardown", &reliability::RunTeardown},
};

int Usage() {
  std::fprintf(stderr,
               "usage: skellmere-reliability storm|hostile|faults|teardown|all [--seconds N] [--image PATH] "
               "[--seed N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string which = argv[1];
  reliability::RunOptions options;
#ifdef SKM_DEFAULT_IMAGE
  options.image = SKM_DEFAULT_IMAGE;
#endif
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    if (arg == "--seconds") {
      options.seconds = std::atof(value);
      if (options.seconds <= 0) return Usage();
    } else if (arg == "--image") {
      options.image = value;
    } else if (arg == "--seed") {
      options.seed = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    } else {
      return Usage();
    }
  }
  std::vector<const Run*> chosen;
  for (const Run& r : kRuns) {
    if (which == "all" || which == r.name) chosen.push_back(&r);
  }
  if (chosen.empty()) return Usage();

  size_t lost = 0;
  for (const Run* r : chosen) {
    std::printf("== %s: %.0f s on %s, seed %u\n", r->name, options.seconds, options.image.c_str(), options.seed);
    std::fflush(stdout);
    const reliability::RunReport report = r->run(options);
    for (const auto& [what, n] : report.tried) std::printf("  %-70s %llu\n", what.c_str(), static_cast<unsigned long long>(n));
    if (report.ok()) {
      std::printf("  lost: nothing\n");
    } else {
      std::printf("  lost: %zu\n", report.lost.size());
      for (const std::string& l : report.lost) std::printf("    %s\n", l.c_str());
    }
    std::fflush(stdout);
    lost += report.lost.size();
  }
  return lost == 0 ? 0 : 1;
}
