// Whole flash reads (1 MiB and 2 MiB) against the receiver emulator paced
// at 115200 baud, driven the way the dialog drives them: a periodic 50 ms
// tick per running timer, on a steady clock.
//
//   read_bench [1|2]...   (default: both sizes)
//
// Prints the time of each read against the line-rate bound
// blocks * (4096 + 12) * 10 / 115200 s and exits non-zero when a read fails
// or takes more than 1.08 times the bound.
//
// Why the tick costs time: the receiver sends block k+1 only once the
// acknowledgement of block k has arrived, and the acknowledgement goes out
// only in the tick that finds block k complete. A block needs about 356.6 ms
// on the line, so it completes some way into the 8th tick period after the
// acknowledgement, and the next tick, 400 ms after the acknowledgement,
// takes it. Each block therefore costs a whole number of tick periods.
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "receiver_emulator.h"
#include "serial/command_port.h"
#include "serial/protocol.h"
#include "transfer/read_transfer.h"
#include "transfer/rom_type.h"
#include "support/recording_view.h"

namespace {

using namespace quorvane;
using Clock = std::chrono::steady_clock;

constexpr double kTarget = 1.08;

struct Result {
  bool ok = false;
  double seconds = 0;
  double bound = 0;
  long long ticks = 0;
};

Result runRead(int modelNumber, const std::string& dir) {
  Result r;
  emu::EmulatorOptions options;
  options.modelNumber = modelNumber;
  options.pace = true;
  emu::ReceiverEmulator emulator(options);
  if (!emulator.start()) {
    std::fprintf(stderr, "  emulator did not start\n");
    return r;
  }
  const unsigned blocks = romType(modelNumber - 1).blockCount;
  const std::string target = dir + "/rom" + std::to_string(modelNumber) + ".bin";

  CommandPort port;
  test::RecordingView view;  // its timers fire as a dialog's window timers do
  ReadTransfer transfer(port, view, PortTarget::device(emulator.devicePath()), target);
  const auto start = Clock::now();
  transfer.start();
  while (!transfer.finished()) {
    const int id = view.sleepUntilTick();
    if (id == 0) break;
    ++r.ticks;
    transfer.tick(id);
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.bound = double(blocks) * double(kBlockSize + kFrameSize) * kLineBitsPerByte / kLineSpeed;

  // The file must be the emulator's flash under its tag.
  std::vector<std::uint8_t> file(kTagSize + std::size_t{blocks} * kBlockSize + 1);
  if (std::FILE* f = std::fopen(target.c_str(), "rb")) {
    file.resize(std::fread(file.data(), 1, file.size(), f));
    std::fclose(f);
  } else {
    file.clear();
  }
  const std::vector<std::uint8_t> flash = emulator.flash();
  const auto tag = romType(modelNumber - 1).tagText;
  r.ok = transfer.succeeded() && file.size() == kTagSize + flash.size() &&
         std::memcmp(file.data(), tag.data(), kTagSize) == 0 &&
         std::memcmp(file.data() + kTagSize, flash.data(), flash.size()) == 0;
  if (!r.ok) std::fprintf(stderr, "  read failed or the file differs from the flash\n");
  for (const Notice& notice : view.messages)
    std::fprintf(stderr, "  message: %s\n", noticeText(notice).c_str());
  std::filesystem::remove(target);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1, 2};

  char dirTemplate[] = "/tmp/quorvane-read-bench-XXXXXX";
  if (!mkdtemp(dirTemplate)) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string dir = dirTemplate;

  const double blockLine = double(kBlockSize + kFrameSize) * kLineBitsPerByte / kLineSpeed;
  const double blockTicks = std::ceil(blockLine * 1000.0 / kTickMs) * kTickMs / 1000.0;
  std::printf("per block: %.1f ms on the line, %.0f ms in whole %d ms ticks (%.3f x)\n",
              blockLine * 1000, blockTicks * 1000, kTickMs, blockTicks / blockLine);

  int failures = 0;
  for (int size : sizes) {
    if (size != 1 && size != 2) {
      std::fprintf(stderr, "size %d: 1 or 2 (MiB)\n", size);
      return 2;
    }
    const int model = size;  // ModelNumber 1: 256 blocks, 2: 512 blocks
    const Result r = runRead(model, dir);
    const double ratio = r.bound > 0 ? r.seconds / r.bound : 0;
    const bool met = r.ok && ratio <= kTarget;
    std::printf("%d MiB read: %.2f s, bound %.2f s, %.3f x bound (target %.2f), %lld ticks: %s\n",
                size, r.seconds, r.bound, ratio, kTarget, r.ticks,
                !r.ok ? "FAILED"
                : met ? "met"
                      : "missed");
    if (!met) ++failures;
  }
  std::filesystem::remove_all(dir);
  return failures ? 1 : 0;
}
