// What the command-line benchmarks share: quorvane-cli run as a child
// process (its exit status and CPU time from wait4, its peak memory), its report
// and trace read back, receiver emulators paced at the line rate, and the
// bound the line sets.
//
// A run goes whole (the report's duration_s is the figure), or, for a quick
// smoke run, is stopped with Ctrl-C once every receiver has moved a number
// of blocks; the figure then comes from the trace's time of each block.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "receiver_emulator.h"

namespace quorvane::bench {

// One block and its 12-byte answer on the line (stop and wait), in seconds:
// (4096 + 12) * 10 / 115200 = 0.3566 s.
double blockLineSeconds();
// The least a transfer of `blocks` blocks can take against a receiver that
// needs `turnaroundMs` of its own per block.
double lineBound(unsigned blocks, int turnaroundMs = 0);
// One block in whole 50 ms ticks, the dialogs' pace: 0.400 s.
double blockTickSeconds(int turnaroundMs = 0);

struct CliRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  double wallSeconds = 0;
  double cpuSeconds = 0;                // user + system of the tool
  long peakKiB = 0;                     // its largest resident set
  std::vector<nlohmann::json> records;  // one per receiver (--report)
  // Stopped runs: per device, the trace time of each block taken or sent.
  std::map<std::string, std::vector<double>> blockTimes;
};

// Runs quorvane-cli with `args` (the command last) and a report file in
// `dir`. With stopAfter > 0 the run is traced and stopped with SIGINT once
// each of `devices` has moved stopAfter + 1 blocks.
CliRun runCli(const std::vector<std::string>& args, const std::string& dir, std::size_t devices = 1,
              unsigned stopAfter = 0);

// A stopped run's block times of `device` (none when it moved no block).
const std::vector<double>& blockTimesOf(const CliRun& run, const std::string& device);
// The seconds per block of a stopped run's device: from its first block to
// its last, over the blocks between.
double secondsPerBlock(const std::vector<double>& times);

// What the benches of many receivers at once share: the model they use
// (256 blocks), no receiver's time beyond this many times its bound, and
// the tool's CPU time at most this share of the wall time.
inline constexpr int kManyModel = 1;
inline constexpr double kManyTolerance = 1.01;
inline constexpr double kManyCpuShare = 0.02;

// The tool's CPU time over the run's wall time, checked against
// kManyCpuShare (printed in % of one core).
bool checkToolCpu(const std::string& name, const CliRun& run);

// `count` emulators of kManyModel paced at the line rate, started; empty
// (and a line on stderr) when one can't be started.
std::vector<std::unique_ptr<emu::ReceiverEmulator>> pacedEmulators(int count, bool blank = false);

// An emulator of `model` paced at the line rate, started; null on failure.
// `blank`: its flash starts erased (0xFF), so that an upgrade shows.
std::unique_ptr<emu::ReceiverEmulator> pacedEmulator(int model, int turnaroundMs = 0,
                                                     bool blank = false);

// A ROM image of `model` with the emulator's pattern flash, in `dir`.
std::string writePatternImage(int model, const std::string& dir);

// A fresh directory under the system's temporary directory.
std::string makeTempDir(const std::string& name);

// "--quick" among the arguments.
bool quickMode(int argc, char** argv);
// The last positive number among the arguments (a count of receivers or
// slots), else `otherwise`.
int countArgument(int argc, char** argv, int otherwise);

// The end of a bench: `dir` removed, "PASS" or "FAIL" printed; the exit status.
int finish(bool ok, const std::string& dir);

// One figure against its target: printed as "name: value (target) PASS|FAIL".
bool check(const std::string& name, double value, double low, double high, const char* unit = "");

}  // namespace quorvane::bench
