// The read transfer against the receiver emulator, and against a raw pty.
#include "transfer/read_transfer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

#include "serial/command_port.h"
#include "support/emulator_driver.h"
#include "support/pty_pair.h"
#include "support/test_support.h"
#include "transfer/rom_type.h"
#include "transfer/transfer_view.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Log = std::vector<std::string>;

class ReadTransferTest : public ::testing::Test, public TransferView {
 protected:
  // The front end: its calls and the frames sent go into one log.
  void startTimer(int id, int) override { timer = id; }
  void stopTimer(int id) override { log.push_back("stop timer " + std::to_string(id)); }
  void showBlockProgress(unsigned percent, long long done, long long count) override {
    progress.push_back({percent, unsigned(done), unsigned(count)});
  }
  void cancel() override { log.push_back("cancel"); }
  void showMessage(const Notice& n) override { log.push_back("message " + noticeText(n)); }

  void begin(int modelNumber, std::string device = {}) {
    if (device.empty()) {
      emu::EmulatorOptions options;
      options.modelNumber = modelNumber;
      emulator.emplace(options);
      ASSERT_TRUE(emulator->start());
      device = emulator->devicePath();
    }
    log.clear(), progress.clear();
    transfer.emplace(port, *this, PortTarget::device(device), target);
    transfer->setObserver([this](const ReadEvent& e) {
      if (e.kind != ReadEvent::Kind::FrameSent) return;
      log.push_back("frame " + describeFrame(e.frame));
      if (e.frame == kReadCompleteFrame) fileAtReadComplete = std::filesystem::exists(target);
    });
    ASSERT_TRUE(transfer->startRead());
  }
  void tickUntilBlocks(unsigned blocks) {
    while (!transfer->finished() && transfer->fields().blocksReceived < blocks) {
      ASSERT_TRUE(test::settle(*emulator, port));
      transfer->onReadTick(timer);
    }
  }
  Log tail(long n = 3) const { return Log(log.end() - n, log.end()); }

  test::TempDir dir;
  const std::string target = dir.file("rom.bin");
  std::optional<emu::ReceiverEmulator> emulator;
  CommandPort port;
  std::optional<ReadTransfer> transfer;
  int timer = 0;
  std::vector<std::array<unsigned, 3>> progress;  // percent, done, count
  Log log;
  std::optional<bool> fileAtReadComplete;
};

TEST_F(ReadTransferTest, WholeFlashOfEitherSizeIsSavedByteExactAndACancelWritesNothing) {
  for (int model : {1, 2}) {
    std::filesystem::remove(target);
    begin(model);
    tickUntilBlocks(1000);
    const unsigned n = romType(model - 1).blockCount;
    const Bytes file = test::readFileBytes(target);
    EXPECT_TRUE(Bytes(file.begin() + kTagSize, file.end()) == emulator->flash());
    // The last acknowledgement, read complete, only then the file, and the end.
    EXPECT_EQ(fileAtReadComplete, false);
    EXPECT_EQ(tail(4),
              (Log{"frame " + describeFrame(identFrame(model)),
                   "frame " + describeFrame(kReadCompleteFrame), "stop timer 2", "cancel"}));
    ASSERT_EQ(progress.size(), n);  // bar and counter after blocks 1, 3 and all
    EXPECT_EQ((std::vector{progress[0], progress[2], progress.back()}),
              (std::vector<std::array<unsigned, 3>>{{0, 1, n}, {n == 256, 3, n}, {100, n, n}}));
  }

  // A cancel mid-download: not a word to the receiver, the earlier file kept.
  const Bytes earlier = test::readFileBytes(target);
  begin(3);
  tickUntilBlocks(10);
  const std::size_t logged = log.size();
  transfer->abandon();
  transfer->onReadTick(kBlockTimerId);
  EXPECT_EQ(log.size(), logged);  // no frame, no message
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
    transfer->onReadTick(timer);
  };
  putAndTick(kFrameSize - 1);               // 11 bytes: still waiting
  putAndTick(kFrameSize + 1000);            // the last byte and 1000 of block 0
  putAndTick(kFrameSize + kBlockSize - 1);  // one byte short
  EXPECT_EQ(transfer->fields().blocksReceived, 0u);
  putAndTick(line.size());  // the last byte, and half of block 1
  EXPECT_EQ(transfer->fields().blocksReceived, 1u);
  EXPECT_EQ(tail().back(), "frame " + describeFrame(answer));  // in the same tick
  EXPECT_TRUE(Bytes(transfer->fields().flashData.begin(),
                    transfer->fields().flashData.begin() + kBlockSize) ==
              Bytes(line.begin() + kFrameSize, line.end() - 2048));

  for (int i = 1; i < int(kWaitLimitMs / kWaitStepMs); ++i) transfer->onReadTick(kBlockTimerId);
  EXPECT_FALSE(transfer->finished());
  transfer->onReadTick(kBlockTimerId);
  EXPECT_EQ(tail(),
            (Log{"frame " + describeFrame(kStopFrame), "cancel", "message no answer\xEF\xBC\x81"}));
}

}  // namespace
}  // namespace quorvane
