// The read job's whole-disc read (sim/read_job.h): unpaced, next to a plain sequential read
// of the same image file, the ratio telling how much the simulated serving side and bus
// cost; paced, how far the answers left from their deadlines and how the emulated speed
// compares with the drive timing model's figure for the same reads.
//
// SKM_READ_BENCH_IMAGE names another image; the default disc image otherwise.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/plain_read.h"
#include "sim/read_job.h"

namespace {

std::string ImagePath() {
  const char* p = std::getenv("SKM_READ_BENCH_IMAGE");
  return p != nullptr && *p != '\0' ? p : SKM_DEFAULT_IMAGE;
}

// One iteration is one whole-disc read; its time is the READ(10) phase only (bring-up and
// becoming ready are not part of a read's throughput).
void BM_WholeDiscReadUnpaced(benchmark::State& state) {
  sim::ReadJobOptions options;
  options.image = ImagePath();
  options.paced = false;
  options.client = state.range(0) == 0 ? sim::Client::kWindows : sim::Client::kMac;
  double job_seconds = 0, serving_cpu = 0;
  uint64_t bytes = 0;
  for (auto _ : state) {
    const sim::ReadJobReport r = sim::RunReadJob(options);
    if (!r.match) {
      state.SkipWithError(r.error.c_str());
      return;
    }
    state.SetIterationTime(r.seconds);
    job_seconds += r.seconds;
    bytes += r.bytes;
    serving_cpu += r.serving_cpu_seconds;
  }
  // Best of a few: the file is in the page cache after the first.
  double plain = 0;
  for (int i = 0; i < 5; ++i) plain = std::max(plain, bench::PlainReadBytesPerSecond(options.image));
  const double job = job_seconds > 0 ? static_cast<double>(bytes) / job_seconds : 0;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["job_MB_per_s"] = job / 1e6;
  state.counters["plain_MB_per_s"] = plain / 1e6;
  // How many times slower the whole-disc read is than reading the file.
  state.counters["plain_to_job_ratio"] = job > 0 ? plain / job : 0;
  state.counters["mb_per_s"] = job / 1e6;
  state.counters["serving_cpu_ms_per_mib"] =
      bytes > 0 ? serving_cpu * 1e3 / (static_cast<double>(bytes) / (1024.0 * 1024.0)) : 0;
}

// The pacing error of a paced whole-disc read: answered − deadline, in microseconds.
void BM_WholeDiscReadPaced(benchmark::State& state) {
  sim::ReadJobOptions options;
  options.image = ImagePath();
  options.paced = true;
  sim::ReadJobReport last;
  for (auto _ : state) {
    last = sim::RunReadJob(options);
    if (!last.match) {
      state.SkipWithError(last.error.c_str());
      return;
    }
    state.SetIterationTime(last.seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(last.bytes * state.iterations()));
  state.counters["job_MB_per_s"] = last.mb_per_s;
  state.counters["pacing_p50_us"] = static_cast<double>(last.pacing.p50_us);
  state.counters["pacing_p99_us"] = static_cast<double>(last.pacing.p99_us);
  state.counters["paced_answers"] = static_cast<double>(last.pacing.answers);
  // The emulated drive against the timing model's own figure for the same reads.
  if (last.model_seconds > 0) {
    state.counters["model_MB_per_s"] = static_cast<double>(last.bytes) / 1e6 / last.model_seconds;
    state.counters["speed_to_model_ratio"] = last.seconds > 0 ? last.model_seconds / last.seconds : 0;
  }
}

BENCHMARK(BM_WholeDiscReadUnpaced)->Arg(0)->Arg(1)->ArgName("mac")->UseManualTime()->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeDiscReadPaced)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
