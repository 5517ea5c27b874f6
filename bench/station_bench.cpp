// quorvane-cli station with 8 slots against receiver emulators paced at
// 115200 bit/s: the time of each unit (its report's duration, from the
// loader's answer to the unit's end) against the line bound, for a read and
// for an upgrade with the type question, one unit per slot (--units 8).
//
//   station_bench [--quick] [slots]   (default 8; --quick: 2 slots, the read only)
//
// Targets: every unit within 1.01 times the line bound of its transfer (the
// upgrade's type question adds its answer and a 300 ms quiet line: allowed
// for), and the tool's CPU time at most 2 % of the wall time.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli_bench_support.h"

using namespace quorvane;
using namespace quorvane::bench;

namespace {

constexpr double kTolerance = 1.01;
constexpr double kCpuShare = 0.02;
constexpr int kModel = 1;  // 256 blocks
// The type question before an upgrade: its start-read frame, the answer and
// block 0 on its way, the stop frame, 300 ms of quiet line.
constexpr double kTypeQuestionSeconds = 0.75;

// One station run; false when a figure misses its target.
bool runStation(const std::string& job, int slots, const std::string& dir) {
  std::vector<std::unique_ptr<emu::ReceiverEmulator>> emus;
  for (int i = 0; i < slots; ++i) {
    emus.push_back(pacedEmulator(kModel, 0, job == "upgrade"));
    if (!emus.back()) {
      std::fprintf(stderr, "cannot start emulator %d\n", i);
      return false;
    }
  }
  std::vector<std::string> args{"--units", std::to_string(slots)};
  for (const auto& e : emus) args.insert(args.end(), {"--device", e->devicePath()});
  args.insert(args.end(), {"station", job});
  args.push_back(job == "read" ? dir + "/units" : writePatternImage(kModel, dir));
  const CliRun run = runCli(args, dir, std::size_t(slots));
  const double bound = lineBound(256) + (job == "upgrade" ? kTypeQuestionSeconds : 0.0);
  bool ok = run.status == 0 && int(run.records.size()) == slots;
  double worst = 0, sum = 0;
  for (const auto& r : run.records) {
    const double t = r["duration_s"].get<double>();
    sum += t;
    worst = std::max(worst, r["result"] == "ok" ? t / bound : 99.0);
    std::printf("  slot %d unit %d %-14s %.3f s  %.4f x the bound\n", r["slot"].get<int>(),
                r["unit"].get<int>(), r["device"].get<std::string>().c_str(), t, t / bound);
  }
  std::printf("%s, %d slots: %.3f s per unit on average, bound %.3f s; wall %.3f s\n", job.c_str(),
              slots, run.records.empty() ? 0.0 : sum / double(run.records.size()), bound,
              run.wallSeconds);
  ok = check(job + ": slowest unit x the line bound", worst, 0.0, kTolerance) && ok;
  ok = check(job + ": tool CPU, share of one core", run.cpuSeconds / run.wallSeconds * 100, 0.0,
             kCpuShare * 100, " %") &&
       ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = quickMode(argc, argv);
  int slots = quick ? 2 : 8;
  for (int i = 1; i < argc; ++i)
    if (std::atoi(argv[i]) > 0) slots = std::atoi(argv[i]);
  const std::string dir = makeTempDir("quorvane-station-bench");
  if (dir.empty()) return 2;
  bool ok = runStation("read", slots, dir);
  if (!quick) ok = runStation("upgrade", slots, dir) && ok;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
