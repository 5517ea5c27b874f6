// The upgrade against the receiver emulator on a settled line.
#include "transfer/upgrade_transfer.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/emulator_driver.h"
#include "support/recording_view.h"
#include "support/test_support.h"
#include "transfer/rom_image.h"

namespace quorvane {
namespace {

using test::Log;

class UpgradeTransferTest : public ::testing::Test {
 protected:
  // An image of type `model` and a receiver of that type, its flash erased.
  void begin(int model, emu::UpgradeAnswer answer, emu::FaultPlan faults = {}) {
    flash = emu::patternFlash(model);
    ASSERT_FALSE(writeImage(image, model - 1, unsigned(flash.size() / kBlockSize), flash.data()));
    emu::EmulatorOptions options;
    options.modelNumber = model;
    options.flash.assign(flash.size(), 0xFF);
    options.upgradeAnswer = answer;
    options.faults = faults;
    emulator = std::make_unique<emu::ReceiverEmulator>(options);
    ASSERT_TRUE(emulator->start());
    view.log.clear();
    transfer = std::make_unique<UpgradeTransfer>(port, view,
                                                 PortTarget::device(emulator->devicePath()), image);
    view.watch(*transfer);
    transfer->start();
    ASSERT_FALSE(transfer->finished());
  }
  void tick(int times = 1) {
    for (int i = 0; i < times; ++i) {
      ASSERT_TRUE(test::settle(*emulator, port));
      transfer->tick(kUpgradeTimerId);
    }
  }
  // The view's calls and the stop frame, the blocks and the answers left out.
  Log calls() const {
    return view.only({"start", "stop", "cancel", "message", "complete", "sent stop"});
  }
  void expectWholeUpload() {
    tick(2000);
    EXPECT_TRUE(emulator->waitUntil([&] { return emulator->upgradeComplete(); }));
    EXPECT_TRUE(emulator->flash() == flash);
    EXPECT_EQ(calls(), (Log{"start timer 1 50ms", "complete", "sent stop", "stop timer 1"}));
  }

  test::TempDir dir;
  const std::string image = dir.file("rom.bin");
  std::vector<std::uint8_t> flash;
  std::unique_ptr<emu::ReceiverEmulator> emulator;
  CommandPort port;
  std::unique_ptr<UpgradeTransfer> transfer;
  test::RecordingView view;
};

TEST_F(UpgradeTransferTest, WholeUploadsCountFrom0Of0ToAllAndThenLeaveTheLineAlone) {
  begin(1, emu::UpgradeAnswer::Rotate);  // all three acknowledgements of group F
  expectWholeUpload();
  Log progress = view.only({"progress"});
  ASSERT_EQ(progress.size(), 1u + 256 + 1);  // "0/0 blocks" at the start, then as blocks go out
  EXPECT_EQ((Log{progress[0], progress[1], progress[256], progress[257]}),
            (Log{"progress 0% 0/0 blocks", "progress 0% 0/256 blocks",
                 "progress 99% 255/256 blocks", "progress 100% 256/256 blocks"}));
  emulator->sendRaw({kAckFrame.begin(), kAckFrame.end()});  // afterwards: not read
  tick();
  EXPECT_EQ(port.bytesInQueue(), kFrameSize);

  begin(2, emu::UpgradeAnswer::Ident);  // answered with its own type answer
  expectWholeUpload();
  progress = view.only({"progress"});
  ASSERT_EQ(progress.size(), 1u + 512 + 1);
  EXPECT_EQ(progress[1 + 5], "progress 0% 5/512 blocks");
  EXPECT_EQ(progress[1 + 6], "progress 1% 6/512 blocks");  // 600 / 512
}

TEST_F(UpgradeTransferTest, SplitAnswerIsTakenWhenWholeAndEveryBlockGetsItsOwn60Ticks) {
  begin(1, emu::UpgradeAnswer::Ack0, {.silence = emu::FaultPoint::afterStart()});
  emulator->sendRaw({kAckFrame.begin(), kAckFrame.begin() + 5});
  tick(58);  // the last with 5 bytes waiting
  EXPECT_EQ(transfer->blocksSent(), 0);
  emulator->sendRaw({kAckFrame.begin() + 5, kAckFrame.end()});
  tick();  // the 59th
  EXPECT_EQ(transfer->blocksSent(), 1);
  tick(59);  // after block 0 the receiver stays silent: 59 ticks pass, the 60th gives up
  EXPECT_FALSE(transfer->finished());
  tick();
  EXPECT_EQ(calls(),
            (Log{"start timer 1 50ms", "sent stop", "cancel", "message no answer1\xEF\xBC\x81"}));
}

TEST_F(UpgradeTransferTest, ModelMismatchIsShownBeforeStopAndNoTickActsBehindTheMessage) {
  begin(1, emu::UpgradeAnswer::Ack0, {.silence = emu::FaultPoint::afterBlock(2)});
  tick(3);
  // A "CI 29 1" receiver, and an acceptable answer behind it for ticks under the message.
  const FrameBytes ci291 = identFrame(5);
  emulator->sendRaw({ci291.begin(), ci291.end()});
  emulator->sendRaw({kAckFrame.begin(), kAckFrame.end()});
  view.onLine = [&](const std::string& line) {
    if (line.starts_with("message")) tick(70);  // what the dialog's timer delivers under the box
  };
  tick();
  EXPECT_EQ(calls(), (Log{"start timer 1 50ms", "message " + noticeText(mismatchNotice(0, 4)),
                          "sent stop", "cancel"}));
  EXPECT_EQ(emulator->blocksReceived(), 3u);
  EXPECT_EQ(port.bytesInQueue(), kFrameSize);  // the queued answer was never read
}

}  // namespace
}  // namespace quorvane
