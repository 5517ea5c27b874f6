// The read transfer against the receiver emulator, and against a raw pty.
#include "transfer/read_transfer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

#include "serial/command_port.h"
#include "support/emulator_driver.h"
#include "support/pty_pair.h"
#include "support/recording_view.h"
#include "support/test_support.h"
#include "transfer/rom_type.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::Log;

class ReadTransferTest : public ::testing::Test {
 protected:
  void begin(int modelNumber, std::string device = {}) {
    if (device.empty()) {
      emu::EmulatorOptions options;
      options.modelNumber = modelNumber;
      emulator.emplace(options);
      ASSERT_TRUE(emulator->start());
      device = emulator->devicePath();
    }
    view.log.clear();
    transfer.emplace(port, view, PortTarget::device(device), target);
    view.watch(*transfer);
    transfer->start();
    ASSERT_FALSE(transfer->finished());
  }
  void tickUntilBlocks(unsigned blocks) {
    while (!transfer->finished() && transfer->fields().blocksReceived < blocks) {
      ASSERT_TRUE(test::settle(*emulator, port));
      transfer->tick(view.timer());
    }
  }
  Log tail(long n) const { return Log(view.log.end() - n, view.log.end()); }

  test::TempDir dir;
  const std::string target = dir.file("rom.bin");
  std::optional<emu::ReceiverEmulator> emulator;
  CommandPort port;
  std::optional<ReadTransfer> transfer;
  test::RecordingView view;
};

TEST_F(ReadTransferTest, WholeFlashOfEitherSizeIsSavedByteExactAndACancelWritesNothing) {
  for (int model : {1, 2}) {
    std::filesystem::remove(target);
    std::optional<bool> fileAtReadComplete;
    view.onLine = [&](const std::string& line) {
      if (line == "sent read complete") fileAtReadComplete = std::filesystem::exists(target);
    };
    begin(model);
    tickUntilBlocks(1000);
    const unsigned n = romType(model - 1).blockCount;
    const Bytes file = test::readFileBytes(target);
    EXPECT_TRUE(Bytes(file.begin() + kTagSize, file.end()) == emulator->flash());
    // The last acknowledgement, read complete, only then the file, and the end.
    EXPECT_EQ(tail(7),
              (Log{"block " + std::to_string(n - 1), "sent " + describeFrame(identFrame(model)),
                   "progress 100% " + blockCounterText(n, n), "sent read complete", "stop timer 2",
                   "cancel", "finished succeeded"}));
    EXPECT_EQ(fileAtReadComplete, false);
    // The counter from "0/0 blocks" on, after blocks 1, 3 and all.
    const Log progress = view.only({"progress"});
    ASSERT_EQ(progress.size(), n + 1);
    EXPECT_EQ((Log{progress[0], progress[1], progress[3]}),
              (Log{"progress 0% 0/0 blocks", "progress 0% " + blockCounterText(1, n),
                   "progress " + std::to_string(n == 256) + "% " + blockCounterText(3, n)}));
  }

  // A cancel mid-download: not a word to the receiver, the earlier file kept.
  const Bytes earlier = test::readFileBytes(target);
  begin(3);
  tickUntilBlocks(10);
  transfer->abandon();
  const std::size_t logged = view.log.size();
  transfer->tick(kBlockTimerId);
  EXPECT_EQ(view.log.back(), "finished cancelled");
  EXPECT_EQ(view.log.size(), logged);  // no frame, no message
  EXPECT_EQ(test::readFileBytes(target), earlier);
}

// The answer's tail arrives with block 0's start; a block in pieces is taken,
// and acknowledged, in the tick completing it; 60 ticks without one give up.
TEST_F(ReadTransferTest, AnswerAndBlockInPiecesAreTakenWhenCompleteThen60TicksGiveUp) {
  test::PtyPair pty;
  pty.makeRaw();
  begin(2, pty.devicePath());
  const FrameBytes answer = identFrame(2);
  Bytes line(answer.begin(), answer.end());  // the answer, block 0, half of block 1
  for (std::size_t i = 0; i < kBlockSize + 2048; ++i) line.push_back(std::uint8_t(i * 7));
  // Puts the line up to `to` on the line, lets the port drain it (bytesInQueue), and ticks.
  auto putAndTick = [&, put = std::size_t{0}](std::size_t to) mutable {
    ASSERT_TRUE(pty.send(Bytes(line.data() + std::exchange(put, to), line.data() + to)));
    for (int i = 0; i < 5000 && (port.bytesInQueue(), port.bytesArrived() < to); ++i) usleep(1000);
    ASSERT_EQ(port.bytesArrived(), to);
    transfer->tick(view.timer());
  };
  putAndTick(kFrameSize - 1);               // 11 bytes: still waiting
  putAndTick(kFrameSize + 1000);            // the last byte and 1000 of block 0
  putAndTick(kFrameSize + kBlockSize - 1);  // one byte short
  EXPECT_EQ(transfer->fields().blocksReceived, 0u);
  putAndTick(line.size());  // the last byte, and half of block 1
  EXPECT_EQ(tail(3), (Log{"block 0", "sent " + describeFrame(answer),  // in the same tick
                          "progress 0% " + blockCounterText(1, 512)}));
  EXPECT_TRUE(Bytes(transfer->fields().flashData.begin(),
                    transfer->fields().flashData.begin() + kBlockSize) ==
              Bytes(line.begin() + kFrameSize, line.end() - 2048));

  for (int i = 1; i < int(kWaitLimitMs / kWaitStepMs); ++i) transfer->tick(kBlockTimerId);
  EXPECT_FALSE(transfer->finished());
  transfer->tick(kBlockTimerId);
  EXPECT_EQ(tail(4),
            (Log{"sent stop", "cancel", "message no answer\xEF\xBC\x81", "finished failed"}));
}

}  // namespace
}  // namespace quorvane
