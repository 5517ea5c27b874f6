// Many receivers read at once through quorvane-cli, against receiver
// emulators paced at 115200 bit/s, compared with one receiver read alone.
// Each receiver is one job of the tool's single event loop; no job may be
// slowed by the others, and the tool must stay light.
//
//   cli_parallel_bench [--quick] [receivers]   (default 64; --quick: 8
//                       receivers, 32 blocks each, from the trace)
//
// Targets: every parallel job within 1.01 times the single job's time, and
// the tool's CPU time (user + system, wait4 of the child) at most 2 % of
// the run's wall time. Prints each job's deviation, the CPU seconds of the
// tool and of the emulators (this process), and the tool's peak memory.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_bench_support.h"

using namespace quorvane;
using namespace quorvane::bench;

namespace {

constexpr unsigned kQuickBlocks = 32;

double cpuSeconds(const rusage& u) {
  return double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6 + double(u.ru_stime.tv_sec) +
         double(u.ru_stime.tv_usec) / 1e6;
}

// A job's time: its report's duration, or its time per block in the trace.
double jobSeconds(const CliRun& run, const std::string& device, bool quick) {
  if (quick) {
    const auto& times = blockTimesOf(run, device);
    return times.size() <= kQuickBlocks ? 0.0 : secondsPerBlock(times);
  }
  for (const auto& r : run.records)
    if (r["device"] == device && r["result"] == "ok") return r["duration_s"].get<double>();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = quickMode(argc, argv);
  const int receivers = countArgument(argc, argv, quick ? 8 : 64);
  const std::string dir = makeTempDir("quorvane-parallel-bench");
  if (dir.empty()) return 2;
  const unsigned stop = quick ? kQuickBlocks : 0;

  // The single job has a receiver of its own: a stopped read leaves its
  // receiver in the middle of the flash.
  auto emus = pacedEmulators(receivers + 1);
  if (emus.empty()) return 1;
  std::printf("%d receivers read at once against one alone%s\n", receivers,
              quick ? " (quick: 32 blocks each)" : "");

  // One receiver alone.
  const std::string first = emus.back()->devicePath();
  const CliRun single = runCli({"--device", first, "read", dir + "/single.bin"}, dir, 1, stop);
  const double t1 = jobSeconds(single, first, quick);
  if (t1 <= 0) {
    std::printf("single read failed (exit %d)\nFAIL\n", single.status);
    return 1;
  }
  std::printf("single job: %.3f s%s, %.4f x the line bound; tool CPU %.3f s, peak %ld KiB\n", t1,
              quick ? " per block" : "", quick ? t1 / blockLineSeconds() : t1 / lineBound(256),
              single.cpuSeconds, single.peakKiB);

  emus.pop_back();
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  std::vector<std::string> args;
  for (const auto& e : emus) args.insert(args.end(), {"--device", e->devicePath()});
  args.insert(args.end(), {"read", dir + "/rom-{n}.bin"});
  const CliRun parallel = runCli(args, dir, std::size_t(receivers), stop);
  rusage after{};
  getrusage(RUSAGE_SELF, &after);

  bool ok = quick || parallel.status == 0;
  double worst = 0;
  for (const auto& e : emus) {
    const double t = jobSeconds(parallel, e->devicePath(), quick);
    const double ratio = t / t1;
    ok = ok && t > 0;
    worst = std::max(worst, t > 0 ? ratio : 99.0);
    std::printf("  %-14s %.3f s  %.4f x single\n", e->devicePath().c_str(), t, ratio);
  }
  bool met =
      check(std::to_string(receivers) + " jobs: slowest x single job", worst, 0.0, kManyTolerance);
  met = checkToolCpu("tool CPU, share of one core", parallel) && met;
  std::printf(
      "  wall %.3f s; tool CPU %.3f s (user + system), peak memory %.1f MiB; "
      "emulators' CPU %.3f s\n",
      parallel.wallSeconds, parallel.cpuSeconds, parallel.peakKiB / 1024.0,
      cpuSeconds(after) - cpuSeconds(before));
  ok = ok && met;
  return finish(ok, dir);
}
