// quorvane-cli at the line rate: a read, an upgrade and a verify of a 1 MiB
// (256 blocks) and a 2 MiB (512 blocks) receiver, each against the receiver
// emulator paced at 115200 bit/s, one after the other. The receiver sends
// (or takes) the next block only after the answer to the last, so the line
// bounds a transfer at blocks * (4096 + 12) * 10 / 115200 s (91.29 s for
// 256 blocks). quorvane-cli steps the moment a block or answer is complete;
// each transfer must stay within 1.005 times that bound.
//
//   cli_line_rate_bench [--quick]
//
// --quick: every case stops after 32 blocks (Ctrl-C), and the figure is the
// time per block from the trace.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli_bench_support.h"
#include "loader_model.h"
#include "serial/protocol.h"
#include "transfer/rom_type.h"

using namespace quorvane;
using namespace quorvane::bench;

namespace {

constexpr double kTarget = 1.005;
constexpr unsigned kQuickBlocks = 32;

std::vector<std::uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One transfer; true when it went right and met the target.
bool runCase(const std::string& command, int model, bool quick, const std::string& dir) {
  const unsigned blocks = romType(model - 1).blockCount;
  const bool upgrade = command == "upgrade";
  auto emulator = pacedEmulator(model, 0, upgrade);
  const std::string image = writePatternImage(model, dir);
  if (!emulator || image.empty()) {
    std::printf("  %s %u blocks: cannot set up the emulator or the image  FAIL\n", command.c_str(),
                blocks);
    return false;
  }
  const std::string target = command == "read" ? dir + "/read.bin" : image;
  const CliRun run = runCli({"--device", emulator->devicePath(), command, target}, dir, 1,
                            quick ? kQuickBlocks : 0);

  const std::string name = command + " " + std::to_string(blocks) + " blocks";
  double ratio = 0;
  bool right = false;
  if (quick) {
    const auto& times = blockTimesOf(run, emulator->devicePath());
    ratio = secondsPerBlock(times) / blockLineSeconds();
    right = times.size() > kQuickBlocks;
    std::printf("%s: %.1f ms per block over %u blocks (line %.1f ms)\n", name.c_str(),
                1000 * secondsPerBlock(times), kQuickBlocks, 1000 * blockLineSeconds());
  } else {
    const double seconds =
        run.records.size() == 1 ? run.records[0]["duration_s"].get<double>() : 0.0;
    ratio = seconds / lineBound(blocks);
    right = run.status == 0;
    if (right && command == "read") {
      std::vector<std::uint8_t> expected(romType(model - 1).tagText.begin(),
                                         romType(model - 1).tagText.end());
      const std::vector<std::uint8_t> flash = emulator->flash();
      expected.insert(expected.end(), flash.begin(), flash.end());
      right = fileBytes(target) == expected;
    }
    if (right && upgrade) {
      emulator->waitUntil([&] { return emulator->upgradeComplete(); });
      right = emulator->flash() == emu::patternFlash(model);
    }
    std::printf("%s: %.2f s, bound %.2f s, tool CPU %.2f s\n", name.c_str(), seconds,
                lineBound(blocks), run.cpuSeconds);
  }
  if (!right)
    std::printf("  %s did not complete correctly (exit %d)  FAIL\n", name.c_str(), run.status);
  std::filesystem::remove(dir + "/read.bin");
  return check(name + ": x line bound", ratio, 1.0 - 0.01, kTarget) && right;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = quickMode(argc, argv);
  const std::string dir = makeTempDir("quorvane-line-rate-bench");
  if (dir.empty()) return 2;
  std::printf("quorvane-cli against the paced emulator; target <= %.3f x the line bound%s\n",
              kTarget, quick ? " (quick: 32 blocks each)" : "");
  bool ok = true;
  for (const int model : {1, 2})  // 256 and 512 blocks
    for (const char* command : {"read", "upgrade", "verify"})
      ok = runCase(command, model, quick, dir) && ok;
  return finish(ok, dir);
}
