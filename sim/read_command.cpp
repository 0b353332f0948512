#include "sim/read_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/command_line.h"
#include "sim/read_job.h"

namespace sim {
namespace {

struct ReadArgs {
  ReadJobOptions job;
  bool json = false;
};

// Indexed by the bus's speed codes.
constexpr const char* kSpeedNames[] = {"S100", "S200", "S400", "S800"};
static_assert(bus1394::SPEED_S800 == 3);

bool ParseSpeed(const std::string& v, uint8_t* speed) {
  for (uint8_t i = 0; i < 4; ++i) {
    if (v == kSpeedNames[i]) {
      *speed = i;
      return true;
    }
  }
  return false;
}

bool Parse(int argc, char** argv, ReadArgs* a) {
  for (int i = 2; i < argc; ++i) {
    const std::string k = argv[i];
    auto value = [&](std::string* out) { return TakeValue(argc, argv, &i, out); };
    std::string v;
    if (k == "--client") {
      if (!value(&v) || !ParseClient(v, &a->job.client)) return false;
    } else if (k == "--speed") {
      if (!value(&v) || !ParseSpeed(v, &a->job.speed)) return false;
    } else if (k == "--unpaced") {
      a->job.paced = false;
    } else if (k == "--wire") {
      a->job.wire = true;
    } else if (k == "--json") {
      a->json = true;
    } else if (k == "--expect") {
      if (!value(&a->job.expect)) return false;
    } else if (!k.starts_with("--") && a->job.image.empty()) {
      a->job.image = k;
    } else {
      return false;
    }
  }
  return !a->job.image.empty();
}

// A one-line bar redrawn in place, only on a terminal and only when it changes.
class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : enabled_(enabled) {}
  void Show(uint64_t done, uint64_t total) {
    if (!enabled_ || total == 0) return;
    constexpr int kWidth = 40;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == last_) return;
    last_ = percent;
    const int filled = percent * kWidth / 100;
    std::printf("\r  [%s%s] %3d%%  %llu / %llu sectors", std::string(static_cast<size_t>(filled), '#').c_str(),
                std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), percent,
                static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    std::fflush(stdout);
  }
  void Clear() {
    if (enabled_ && last_ >= 0) std::printf("\r%80s\r", "");
  }

 private:
  bool enabled_;
  int last_ = -1;
};

const char* SpeedName(uint8_t speed) { return kSpeedNames[speed & 3]; }

void PrintText(const ReadJobReport& r) {
  std::printf("ready after:   %d not-ready answer(s), %d unit attention(s)\n", r.not_ready_answers,
              r.unit_attentions);
  std::printf("sectors:       %llu of %llu (%llu bytes)\n", static_cast<unsigned long long>(r.sectors),
              static_cast<unsigned long long>(r.capacity), static_cast<unsigned long long>(r.bytes));
  std::printf("time:          %.3f s, %.2f MB/s", r.seconds, r.mb_per_s);
  if (r.model_seconds > 0) std::printf(" (the drive's timing model: %.3f s)", r.model_seconds);
  std::printf("\n");
  if (r.wire_ceiling_mb_per_s > 0) {
    std::printf("wire:          ceiling %.2f MB/s, %.3f of it reached\n", r.wire_ceiling_mb_per_s,
                r.mb_per_s / r.wire_ceiling_mb_per_s);
  }
  std::printf("serving CPU:   %.3f s, %.3f ms per MiB\n", r.serving_cpu_seconds, r.serving_cpu_ms_per_mib);
  std::printf("commands:      %llu, bus requests %llu (%llu packets)\n", static_cast<unsigned long long>(r.commands),
              static_cast<unsigned long long>(r.bus_requests), static_cast<unsigned long long>(r.bus_packets));
  std::printf("sha256:        %s\n", r.sha256.empty() ? "-" : r.sha256.c_str());
  if (r.pacing.answers > 0) {
    std::printf("pacing error:  median %lld us, 99th percentile %lld us (%llu answers held back)\n",
                static_cast<long long>(r.pacing.p50_us), static_cast<long long>(r.pacing.p99_us),
                static_cast<unsigned long long>(r.pacing.answers));
  } else {
    std::printf("pacing error:  no answer was held back\n");
  }
  for (const TrackReport& t : r.tracks) {
    std::printf("track %2u:      %s, LBA %llu, %llu sectors, sha256 %s, match %s\n", t.number,
                t.audio ? "audio" : "data ", static_cast<unsigned long long>(t.start),
                static_cast<unsigned long long>(t.sectors), t.sha256.empty() ? "-" : t.sha256.c_str(),
                t.match ? "yes" : "NO");
  }
  std::printf("match:         %s\n", r.match ? "yes" : "NO");
  if (!r.error.empty()) std::printf("error:         %s\n", r.error.c_str());
}

std::string TracksJson(const std::vector<TrackReport>& tracks) {
  std::string out = "[";
  for (const TrackReport& t : tracks) {
    char line[256];
    std::snprintf(line, sizeof(line),
                  "%s{\"number\": %u, \"type\": \"%s\", \"start\": %llu, \"sectors\": %llu, \"sha256\": %s, "
                  "\"match\": %s}",
                  out.size() > 1 ? ", " : "", t.number, t.audio ? "audio" : "data",
                  static_cast<unsigned long long>(t.start), static_cast<unsigned long long>(t.sectors),
                  JsonString(t.sha256).c_str(), t.match ? "true" : "false");
    out += line;
  }
  return out + "]";
}

// A figure, or null where there is none.
std::string JsonNumber(double v, bool present) {
  if (!present) return "null";
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", v);
  return text;
}

void PrintJson(const ReadArgs& a, const ReadJobReport& r) {
  const bool wire = r.wire_ceiling_mb_per_s > 0;
  std::printf(
      "{\"image\": %s, \"client\": \"%s\", \"speed\": \"%s\", \"paced\": %s, \"wire\": %s, \"sectors\": %llu, \"bytes\": %llu, "
      "\"seconds\": %.6f, \"model_seconds\": %.6f, \"mb_per_s\": %.3f, \"wire_ceiling_mb_per_s\": %s, "
      "\"wire_ratio\": %s, \"serving_cpu_ms_per_mib\": %.3f, \"commands\": %llu, \"bus_requests\": %llu, \"bus_packets\": %llu, \"sha256\": %s, "
      "\"match\": %s, \"pacing_error_us\": {\"p50\": %lld, \"p99\": %lld, \"answers\": %llu}, \"tracks\": %s, "
      "\"error\": %s}\n",
      JsonString(a.job.image).c_str(), a.job.client == Client::kMac ? "mac" : "windows", SpeedName(a.job.speed),
      a.job.paced ? "true" : "false", a.job.wire ? "true" : "false", static_cast<unsigned long long>(r.sectors),
      static_cast<unsigned long long>(r.bytes), r.seconds, r.model_seconds, r.mb_per_s,
      JsonNumber(r.wire_ceiling_mb_per_s, wire).c_str(), JsonNumber(r.mb_per_s / r.wire_ceiling_mb_per_s, wire).c_str(),
      r.serving_cpu_ms_per_mib, static_cast<unsigned long long>(r.commands),
      static_cast<unsigned long long>(r.bus_requests), static_cast<unsigned long long>(r.bus_packets),
      JsonString(r.sha256).c_str(), r.match ? "true" : "false",
      static_cast<long long>(r.pacing.p50_us), static_cast<long long>(r.pacing.p99_us),
      static_cast<unsigned long long>(r.pacing.answers), TracksJson(r.tracks).c_str(), JsonString(r.error).c_str());
}

}  // namespace

void ReadUsage() {
  std::fprintf(stderr,
               "usage: skellmere-sim read IMAGE [--client windows|mac] [--speed S100|S200|S400|S800]\n"
               "                          [--unpaced] [--wire] [--json] [--expect FILE]\n");
}

int ReadCommand(int argc, char** argv) {
  ReadArgs args;
  if (!Parse(argc, argv, &args)) {
    ReadUsage();
    return 2;
  }
  if (const std::string problem = ImageMountProblem(args.job.image); !problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return kExitNotMounted;
  }
  if (!args.json) {
    std::printf("reading %s as a %s initiator at %s, %s\n", args.job.image.c_str(),
                args.job.client == Client::kMac ? "Mac" : "Windows", SpeedName(args.job.speed),
                args.job.paced ? "paced like a drive" : "unpaced");
    std::fflush(stdout);
  }
  ProgressBar bar(!args.json && ::isatty(STDOUT_FILENO) != 0);
  args.job.progress = [&bar](uint64_t done, uint64_t total) { bar.Show(done, total); };
  const ReadJobReport report = RunReadJob(args.job);
  bar.Clear();
  if (args.json) {
    PrintJson(args, report);
  } else {
    if (!report.vendor.empty()) {
      std::printf("drive:         \"%s\" \"%s\" \"%s\"\n", report.vendor.c_str(), report.product.c_str(),
                  report.revision.c_str());
    }
    PrintText(report);
  }
  return report.match ? 0 : 1;
}

}  // namespace sim
