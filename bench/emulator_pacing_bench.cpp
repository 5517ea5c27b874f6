// The emulator's paced line: a read of a few seconds, measured from the
// tool's side. Target: the rate the receiver sends at lies within 1% of
// 11520 bytes/s (115200 baud, 10 bits per byte), and the bytes it takes in
// are paced alike (an upgrade block answered no sooner than the line allows).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "receiver_emulator.h"
#include "serial/command_port.h"

using namespace quorvane;
using Clock = std::chrono::steady_clock;

namespace {

bool waitFor(emu::ReceiverEmulator& e, CommandPort& port, std::size_t& got, std::size_t target) {
  std::vector<std::uint8_t> sink(kDriverQueueSize);
  return e.waitUntil(
      [&] {
        while (port.bytesInQueue() > 0) got += port.read(sink.data(), unsigned(sink.size()));
        return got >= target;
      },
      20000);
}

}  // namespace

int main() {
  const double nominal = 1 / std::chrono::duration<double>(lineByteTime()).count();  // 11520 B/s
  emu::EmulatorOptions o;
  o.pace = true;
  if (std::getenv("EMU_LOG")) o.log = stderr;
  emu::ReceiverEmulator e(o);
  CommandPort port;
  if (!e.start() || port.openDevice(e.devicePath(), kLineSpeed) != 1) {
    std::fprintf(stderr, "cannot start the emulator\n");
    return 1;
  }

  // Out: the IdentFrame and 10 blocks (about 3.6 s), timed from the first
  // complete block to the last, so that only the emulator's output is on
  // the clock (the acknowledgements overlap nothing: the receiver waits).
  constexpr unsigned kBlocks = 10;
  std::size_t got = 0;
  port.sendCommand(kCmdStartRead);
  if (!waitFor(e, port, got, kFrameSize + kBlockSize)) return 1;
  const auto t0 = Clock::now();
  double ackSeconds = 0;
  for (unsigned k = 1; k <= kBlocks; ++k) {
    port.sendCommand(1, kIdentParam1);           // model 1's IdentFrame
    ackSeconds += double(kFrameSize) / nominal;  // the acknowledgement's own line time
    if (!waitFor(e, port, got, kFrameSize + (k + 1) * kBlockSize)) return 1;
  }
  const double outSeconds = std::chrono::duration<double>(Clock::now() - t0).count() - ackSeconds;
  const double outRate = double(kBlocks * kBlockSize) / outSeconds;

  // In: one upgrade block; its answer can come no sooner than the block's
  // line time plus the answer's.
  port.sendCommand(kCmdStop);
  port.sendCommand(kCmdStartUpgrade);
  got = 0;
  if (!waitFor(e, port, got, kFrameSize)) return 1;
  std::vector<std::uint8_t> block(kBlockSize, 0x3C);
  const auto t1 = Clock::now();
  port.write(block.data(), unsigned(block.size()));
  got = 0;
  if (!waitFor(e, port, got, kFrameSize)) return 1;
  const double inSeconds = std::chrono::duration<double>(Clock::now() - t1).count();
  const double inRate = double(kBlockSize + kFrameSize) / inSeconds;

  const double outDev = (outRate / nominal - 1) * 100;
  const double inDev = (inRate / nominal - 1) * 100;
  std::printf("paced output: %u bytes in %.3f s = %.1f bytes/s (%+.2f%% of %.0f)\n",
              kBlocks * unsigned(kBlockSize), outSeconds, outRate, outDev, nominal);
  std::printf("paced input:  %zu bytes in %.3f s = %.1f bytes/s (%+.2f%%)\n",
              kBlockSize + kFrameSize, inSeconds, inRate, inDev);
  const bool ok = outDev <= 1.0 && outDev >= -1.0 && inDev <= 1.0 && inDev >= -1.0;
  std::printf("%s: within 1%%\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
