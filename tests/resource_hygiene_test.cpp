// A thousand jobs in a row against the emulator, ending every way (success, failure at once or
// later, cancel, no port, vanish): descriptors and heap stay as before, every port is released.
#include <gtest/gtest.h>
#include <malloc.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "connection/connect_handshake.h"
#include "support/emulator_driver.h"
#include "support/recording_view.h"
#include "support/test_support.h"
#include "transfer/read_transfer.h"
#include "transfer/rom_image.h"
#include "transfer/upgrade_transfer.h"

namespace quorvane {
namespace {

constexpr int kJobs = 1000;
constexpr int kModel = 1;  // the emulator's own "Fta 29 1", 256 blocks: enough for every exit

long openDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// Heap in use, mmapped chunks included; 0 under ASan, whose leak checker covers the heap.
const auto heapInUse = []() { return mallinfo2().uordblks + mallinfo2().hblkhd; };

enum class Ending { Complete, Fails, FailsAfterBlocks, Cancel, NoPort, Vanish };
constexpr Outcome kOutcomes[] = {  // by Ending
    Outcome::Succeeded, Outcome::Failed, Outcome::Failed,
    Outcome::Cancelled, Outcome::Failed, Outcome::Failed};

// Mostly early ends, where leaks hide; one read and one upgrade in fifty run to the end.
Ending endingOf(int job) {
  if (job % 100 == 99) return Ending::Vanish;
  if (job % 50 < 3) return Ending::Complete;
  const int k = job / 3 % 4;  // Fails, FailsAfterBlocks, Cancel, then NoPort or Fails
  return k < 3 ? Ending(k + 1) : job % 2 ? Ending::NoPort : Ending::Fails;
}

struct ResourceHygiene : ::testing::Test {
  void startReceiver() {
    emulator_ = std::make_unique<emu::ReceiverEmulator>();
    ASSERT_TRUE(emulator_->start());
  }
  void settle(SerialPort& port) { ASSERT_TRUE(test::settle(*emulator_, port)); }

  void runJob(int job, Ending ending) {
    const bool fails = ending == Ending::Fails, later = ending == Ending::FailsAfterBlocks;
    const int kind = job % 3;  // connect, read, upgrade
    using emu::FaultPoint;
    const auto when = [](bool on, auto value) { return on ? std::optional(value) : std::nullopt; };
    emulator_->setFaults({.silence = when(later && kind == 1, FaultPoint::afterBlock(0)),
                          .wrongAnswer = (fails && kind != 2) || (later && kind != 1),
                          .otherModel = when(fails && kind == 2, kModel + 1),
                          .answerFaultAfterBlock = when(later && kind == 2, 1u),
                          .vanish = when(ending == Ending::Vanish, FaultPoint::afterStart())});
    const PortTarget target = PortTarget::device(
        ending == Ending::NoPort ? dir_.file("no-such-device") : emulator_->devicePath());
    CommandPort port;
    test::RecordingView view;
    std::unique_ptr<TickMachine> machine;
    if (kind == 0)
      machine = std::make_unique<ConnectHandshake>(port, view, target, [&](int ms) {
        if (ms == kAckPollIntervalMs) settle(port);
      });
    if (kind == 1)
      machine = std::make_unique<ReadTransfer>(port, view, target, dir_.file("rom.bin"));
    if (kind == 2) machine = std::make_unique<UpgradeTransfer>(port, view, target, imagePath_);
    // A cancel: Esc before the connect tick, after a read's block 0, an upgrade's block 1.
    machine->start();
    for (int i = 0; i < 5000 && !machine->finished(); ++i) {
      settle(port);
      if (ending == Ending::Cancel && i == (kind == 0 ? 0 : 2)) machine->abandon();
      if (!machine->finished()) machine->tick(view.timer());
    }
    ASSERT_TRUE(machine->finished());
    ASSERT_EQ(machine->outcome(), kOutcomes[int(ending)]);
  }

  void run(int jobs) {
    startReceiver();
    for (int job = 0; job < jobs; ++job) {
      const Ending ending = endingOf(job);
      ASSERT_NO_FATAL_FAILURE(runJob(job, ending)) << "job " << job;
      // A fresh port opens the device; a stop frame resyncs after a cancel; a vanish, a new one.
      CommandPort fresh;
      ASSERT_EQ(fresh.openDevice(emulator_->devicePath(), kLineSpeed), ending != Ending::Vanish)
          << "job " << job << ": the port was kept, or the device stayed";
      if (ending == Ending::Cancel) fresh.sendCommand(kCmdStop);
      ASSERT_NO_FATAL_FAILURE(ending == Ending::Vanish ? startReceiver() : settle(fresh));
    }
    emulator_.reset();
    malloc_trim(0);
  }

  test::TempDir dir_;
  const std::string imagePath_ = dir_.file("image.bin");
  std::unique_ptr<emu::ReceiverEmulator> emulator_;
};

TEST_F(ResourceHygiene, ThousandJobsLeaveNoDescriptorMemoryOrPortBehind) {
  ASSERT_FALSE(writeImage(imagePath_, kModel - 1, 256, emu::patternFlash(kModel).data()));
  run(30);  // settles what the library sets up once (threads, locale, stream buffers)
  const long fdsBefore = openDescriptors();
  const std::size_t heapBefore = heapInUse();
  run(kJobs);
  EXPECT_EQ(openDescriptors(), fdsBefore);
  EXPECT_LE(heapInUse(), heapBefore + 64 * 1024);  // the jobs run on this thread's arena
}

}  // namespace
}  // namespace quorvane
