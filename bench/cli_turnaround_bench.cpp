// How the gain of stepping on arrival shrinks with a slower receiver: a
// receiver that needs T ms of its own before each block (the emulator's
// --turnaround; a USB adapter that holds the last bytes behaves alike)
// makes a block cost 356.6 + T ms on the line. quorvane-cli takes the block
// as soon as it is complete; the dialogs' pace (--dialog-timing) takes it at
// the next whole 50 ms tick. For each T both read the same receiver type,
// at once on two emulators, and the table shows ms per block and the time
// the arrival pace saves.
//
//   cli_turnaround_bench [--quick] [T...]   (default T: 0 5 16 40 50;
//                         48 blocks each, --quick: 12)
//
// Targets: on arrival a block within 1.005 times 356.6 + T ms; the dialogs'
// pace at its whole ticks (within 1 %).
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "cli_bench_support.h"

using namespace quorvane;
using namespace quorvane::bench;

namespace {

constexpr double kTarget = 1.005;

// Ms per block of a stopped read of one receiver, or 0.
double msPerBlock(const std::vector<std::string>& options, int turnaroundMs, unsigned blocks,
                  const std::string& dir) {
  auto emulator = pacedEmulator(1, turnaroundMs);
  if (!emulator) return 0;
  std::vector<std::string> args = options;
  args.insert(args.end(), {"--device", emulator->devicePath(), "read",
                           dir + "/rom" + std::to_string(options.size()) + ".bin"});
  const CliRun run = runCli(args, dir, 1, blocks);
  const auto& times = blockTimesOf(run, emulator->devicePath());
  return times.size() > blocks ? 1000 * secondsPerBlock(times) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = quickMode(argc, argv);
  std::vector<int> turnarounds;
  for (int i = 1; i < argc; ++i)
    if (argv[i][0] != '-') turnarounds.push_back(std::atoi(argv[i]));
  if (turnarounds.empty()) turnarounds = {0, 5, 16, 40, 50};
  const unsigned blocks = quick ? 12 : 48;
  const std::string dir = makeTempDir("quorvane-turnaround-bench");
  if (dir.empty()) return 2;

  std::printf("ms per block over %u blocks of a read; line = 356.6 ms + turnaround\n", blocks);
  std::printf("  %10s  %8s  %8s  %8s  %8s  %s\n", "turnaround", "line", "arrival", "dialogs",
              "saved", "");
  bool ok = true;
  for (const int t : turnarounds) {
    auto ticks = std::async(std::launch::async,
                            [&, t] { return msPerBlock({"--dialog-timing"}, t, blocks, dir); });
    const double arrival = msPerBlock({}, t, blocks, dir);
    const double dialogs = ticks.get();
    const double line = 1000 * blockLineSeconds() + t;
    const double tick = 1000 * blockTickSeconds(t);
    const bool met = arrival > 0 && arrival <= kTarget * line && dialogs >= 0.99 * tick &&
                     dialogs <= 1.01 * tick;
    ok = ok && met;
    std::printf("  %7d ms  %8.1f  %8.1f  %8.1f  %7.1f%%  %s\n", t, line, arrival, dialogs,
                dialogs > 0 ? 100 * (1 - arrival / dialogs) : 0.0, met ? "PASS" : "FAIL");
    std::fflush(stdout);
  }
  return finish(ok, dir);
}
