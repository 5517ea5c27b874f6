// The upgrade against the receiver emulator on a settled line.
#include "transfer/upgrade_transfer.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/rom_image.h"

namespace quorvane {
namespace {

using Log = std::vector<std::string>;
using Progress = std::array<long long, 3>;  // percent, done, count

class UpgradeTransferTest : public ::testing::Test, public TransferView {
 protected:
  // The front end: its calls and the stop frame go into one log.
  void startTimer(int id, int) override { log.push_back("start timer " + std::to_string(id)); }
  void stopTimer(int id) override { log.push_back("stop timer " + std::to_string(id)); }
  void showBlockProgress(unsigned percent, long long done, long long count) override {
    progress.push_back({percent, done, count});
  }
  void cancel() override { log.push_back("cancel"); }
  void showMessage(const Notice& notice) override {
    log.push_back("message " + noticeText(notice));
    tick(ticksInMessage);  // what the dialog's timer would deliver under the box
  }
  void showUpgradeComplete() override { log.push_back("complete"); }

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
    transfer = std::make_unique<UpgradeTransfer>(port, *this,
                                                 PortTarget::device(emulator->devicePath()), image);
    transfer->setObserver([this](const UpgradeEvent& e) {  // only a sent frame can be a stop
      if (e.frame == kStopFrame) log.push_back("stop frame");
    });
    ASSERT_TRUE(transfer->begin());
  }
  void tick(int times = 1) {
    for (int i = 0; i < times; ++i) {
      ASSERT_TRUE(test::settle(*emulator, port));
      transfer->onUpgradeTick(kUpgradeTimerId);
    }
  }
  void expectWholeUpload() {
    tick(2000);
    EXPECT_TRUE(emulator->waitUntil([&] { return emulator->upgradeComplete(); }));
    EXPECT_TRUE(emulator->flash() == flash);
    EXPECT_EQ(log, (Log{"start timer 1", "complete", "stop frame", "stop timer 1"}));
  }

  test::TempDir dir;
  const std::string image = dir.file("rom.bin");
  std::vector<std::uint8_t> flash;
  std::unique_ptr<emu::ReceiverEmulator> emulator;
  CommandPort port;
  std::unique_ptr<UpgradeTransfer> transfer;
  Log log;
  std::vector<Progress> progress;
  int ticksInMessage = 0;
};

TEST_F(UpgradeTransferTest, WholeUploadsCountFrom0Of0ToAllAndThenLeaveTheLineAlone) {
  begin(1, emu::UpgradeAnswer::Rotate);  // all three acknowledgements of group F
  expectWholeUpload();
  ASSERT_EQ(progress.size(), 1u + 256 + 1);  // "0/0 blocks" at the start, then as blocks go out
  EXPECT_EQ((std::vector{progress[0], progress[1], progress[256], progress[257]}),
            (std::vector<Progress>{{0, 0, 0}, {0, 0, 256}, {99, 255, 256}, {100, 256, 256}}));
  emulator->sendRaw({kAckFrame.begin(), kAckFrame.end()});  // afterwards: not read
  tick();
  EXPECT_EQ(port.bytesInQueue(), kFrameSize);

  log.clear(), progress.clear();
  begin(2, emu::UpgradeAnswer::Ident);  // answered with its own type answer
  expectWholeUpload();
  ASSERT_EQ(progress.size(), 1u + 512 + 1);
  for (int block = 0; block <= 5; ++block) EXPECT_EQ(progress[1 + block][0], 0) << block;
  EXPECT_EQ(progress[1 + 6][0], 1);  // 600 / 512
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
  EXPECT_TRUE(transfer->running());
  tick();
  EXPECT_EQ(log, (Log{"start timer 1", "stop frame", "cancel", "message no answer1\xEF\xBC\x81"}));
}

TEST_F(UpgradeTransferTest, ModelMismatchIsShownBeforeStopAndNoTickActsBehindTheMessage) {
  begin(1, emu::UpgradeAnswer::Ack0, {.silence = emu::FaultPoint::afterBlock(2)});
  tick(3);
  // A "CI 29 1" receiver, and an acceptable answer behind it for ticks under the message.
  const FrameBytes ci291 = identFrame(5);
  emulator->sendRaw({ci291.begin(), ci291.end()});
  emulator->sendRaw({kAckFrame.begin(), kAckFrame.end()});
  ticksInMessage = 70;
  tick();
  EXPECT_EQ(log, (Log{"start timer 1", "message " + noticeText(mismatchNotice(0, 4)), "stop frame",
                      "cancel"}));
  EXPECT_EQ(emulator->blocksReceived(), 3u);
  EXPECT_EQ(port.bytesInQueue(), kFrameSize);  // the queued answer was never read
}

}  // namespace
}  // namespace quorvane
