// The dialogs' pace, kept by quorvane-cli --dialog-timing: one step per
// 50 ms tick. A block and its answer need 356.6 ms on the line, so the
// answer (read: the block) is complete some way into the 8th tick period
// after the step that sent the last one, and the tick at 400 ms takes it:
// every block costs exactly 8 ticks, 1.122 times the line bound.
//
// Read and upgrade of a 1 MiB and a 2 MiB receiver run at once, each on its
// own paced emulator: the tick grid absorbs the others' load. Each must
// take 8 ticks a block (target 7.96..8.04 on average).
//
//   dialog_pace_bench [--quick]   (--quick: 32 blocks each, from the trace)
#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "cli_bench_support.h"
#include "machine/tick_machine.h"
#include "serial/protocol.h"
#include "transfer/rom_type.h"

using namespace quorvane;
using namespace quorvane::bench;

namespace {

constexpr unsigned kQuickBlocks = 32;

struct Case {
  std::string command;
  int model = 1;
  std::unique_ptr<emu::ReceiverEmulator> emulator;
  std::future<CliRun> run;
};

}  // namespace

int main(int argc, char** argv) {
  const bool quick = quickMode(argc, argv);
  const std::string dir = makeTempDir("quorvane-dialog-pace-bench");
  if (dir.empty()) return 2;
  std::printf("quorvane-cli --dialog-timing against paced emulators, all at once%s\n",
              quick ? " (quick: 32 blocks each)" : "");
  std::vector<Case> cases;
  for (const int model : {1, 2})
    for (const char* command : {"read", "upgrade"}) cases.push_back({command, model, nullptr, {}});
  for (Case& c : cases) {
    c.emulator = pacedEmulator(c.model, 0, c.command == "upgrade");
    const std::string image = writePatternImage(c.model, dir);
    if (!c.emulator || image.empty()) {
      std::printf("cannot set up the emulators\nFAIL\n");
      return 1;
    }
    const std::string target =
        c.command == "read" ? dir + "/read-" + std::to_string(c.model) + ".bin" : image;
    const std::vector<std::string> args = {"--dialog-timing", "--device", c.emulator->devicePath(),
                                           c.command, target};
    c.run = std::async(std::launch::async, [args, dir, quick] {
      return runCli(args, dir, 1, quick ? kQuickBlocks : 0);
    });
  }

  bool ok = true;
  const double tick = kTickMs / 1000.0;
  for (Case& c : cases) {
    CliRun run = c.run.get();
    const unsigned blocks = romType(c.model - 1).blockCount;
    const std::string name = c.command + " " + std::to_string(blocks) + " blocks";
    double perBlock = 0;
    if (quick) {
      const auto& times = blockTimesOf(run, c.emulator->devicePath());
      perBlock = times.size() > kQuickBlocks ? secondsPerBlock(times) : 0;
    } else if (run.status == 0 && run.records.size() == 1) {
      perBlock = run.records[0]["duration_s"].get<double>() / blocks;
    }
    std::printf("%s: %.1f ms per block = %.4f x the line bound (%.2f s for %u blocks)\n",
                name.c_str(), 1000 * perBlock, perBlock / blockLineSeconds(), perBlock * blocks,
                blocks);
    ok = check(name + ": ticks per block", perBlock / tick, 7.96, 8.04) && ok;
  }
  return finish(ok, dir);
}
