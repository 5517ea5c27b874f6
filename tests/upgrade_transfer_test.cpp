// The upgrade state machine against the receiver emulator over a pty, with
// every tick called directly once the line has settled.
#include "transfer/upgrade_transfer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "receiver_emulator.h"
#include "serial/port_map.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/rom_type.h"

namespace quorvane {
namespace {

using Kind = UpgradeEvent::Kind;

// Records what the transfer asks of its front end, in one ordered log.
class RecordingView final : public TransferView {
 public:
  void startTimer(int id, int) override { log.push_back("start timer " + std::to_string(id)); }
  void stopTimer(int id) override { log.push_back("stop timer " + std::to_string(id)); }
  void showBlockProgress(unsigned percent, long long done, long long count) override {
    progress.push_back({percent, done, count});
  }
  void cancel() override { log.push_back("cancel"); }
  void showMessage(const Notice& notice) override {
    log.push_back("message " + noticeText(notice));
    messages.push_back(notice);
    if (onMessage) onMessage();
  }
  void showUpgradeComplete() override { log.push_back("complete"); }

  struct Progress {
    unsigned percent;
    long long done, count;
    bool operator==(const Progress&) const = default;
  };
  std::vector<std::string> log;
  std::vector<Progress> progress;
  std::vector<Notice> messages;
  std::function<void()> onMessage;
};

std::vector<std::uint8_t> randomFlash(unsigned blocks) {
  std::mt19937 rng(blocks);
  std::vector<std::uint8_t> flash(std::size_t{blocks} * kBlockSize);
  for (auto& b : flash) b = static_cast<std::uint8_t>(rng());
  return flash;
}

std::vector<std::uint8_t> bytesOf(const FrameBytes& f) {
  return {f.begin(), f.end()};
}

class UpgradeTransferTest : public ::testing::Test {
 protected:
  // An image of `tagIndex` and an emulator of `model` answering as told.
  void setUp(int tagIndex, int model, emu::FaultPlan faults = {},
             emu::UpgradeAnswer answer = emu::UpgradeAnswer::Ack0) {
    flash = randomFlash(romType(tagIndex).blockCount);
    std::vector<std::uint8_t> file(romType(tagIndex).tagText.begin(),
                                   romType(tagIndex).tagText.end());
    file.insert(file.end(), flash.begin(), flash.end());
    imagePath = dir.file("rom.bin");
    test::writeFileBytes(imagePath, file);

    emu::EmulatorOptions options;
    options.modelNumber = model;
    options.flash.assign(std::size_t{romType(model - 1).blockCount} * kBlockSize, 0xFF);
    options.upgradeAnswer = answer;
    options.faults = faults;
    emulator = std::make_unique<emu::ReceiverEmulator>(options);
    ASSERT_TRUE(emulator->start());
    makeTransfer(PortTarget::device(emulator->devicePath()));
  }

  void makeTransfer(PortTarget target) {
    transfer = std::make_unique<UpgradeTransfer>(port, view, std::move(target), imagePath);
    transfer->setObserver([this](const UpgradeEvent& e) {
      events.push_back(e);
      if (e.kind == Kind::FrameSent) {
        written += kFrameSize;
        if (e.frame == kStopFrame) view.log.push_back("stop frame");
      }
      if (e.kind == Kind::BlockSent) written += e.written;
    });
  }

  void settle() { ASSERT_TRUE(test::settle(*emulator, port)); }
  void tick() {
    settle();
    transfer->onUpgradeTick(kUpgradeTimerId);
  }
  void inject(const FrameBytes& frame) { emulator->sendRaw(bytesOf(frame)); }
  void runToEnd() {
    for (int i = 0; i < 2000 && !transfer->finished(); ++i) tick();
    ASSERT_TRUE(transfer->finished());
  }
  std::vector<std::uint8_t> receivedFlash() {
    EXPECT_TRUE(emulator->waitUntil([&] { return emulator->upgradeComplete(); }));
    return emulator->flash();
  }
  std::vector<FrameBytes> framesAtEmulator() {
    settle();
    return emulator->framesReceived();
  }

  test::TempDir dir;
  std::string imagePath;
  std::vector<std::uint8_t> flash;
  std::unique_ptr<emu::ReceiverEmulator> emulator;
  CommandPort port;
  RecordingView view;
  std::unique_ptr<UpgradeTransfer> transfer;
  std::vector<UpgradeEvent> events;
  std::uint64_t written = 0;
};

TEST_F(UpgradeTransferTest, Whole256BlockUploadCountsEveryBlockAndEndsWithStop) {
  setUp(0, 1, {}, emu::UpgradeAnswer::Rotate);  // all three acknowledgements of group F
  ASSERT_TRUE(transfer->begin());
  ASSERT_EQ(view.progress.size(), 1u);
  EXPECT_EQ(view.progress[0], (RecordingView::Progress{0, 0, 0}));  // "0/0 blocks"
  runToEnd();

  EXPECT_TRUE(transfer->succeeded());
  EXPECT_EQ(receivedFlash(), flash);
  ASSERT_EQ(view.progress.size(), 1u + 256 + 1);
  EXPECT_EQ(view.progress[1], (RecordingView::Progress{0, 0, 256}));
  EXPECT_EQ(view.progress[256], (RecordingView::Progress{99, 255, 256}));
  EXPECT_EQ(view.progress[257], (RecordingView::Progress{100, 256, 256}));
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(view.log,
            (std::vector<std::string>{"start timer 1", "complete", "stop frame", "stop timer 1"}));
  EXPECT_EQ(framesAtEmulator(), (std::vector<FrameBytes>{kStartUpgradeFrame, kStopFrame}));

  // Afterwards the receiver's bytes are left alone.
  inject(kAckFrame);
  tick();
  tick();
  EXPECT_EQ(port.bytesInQueue(), kFrameSize);
  EXPECT_EQ(view.progress.size(), 1u + 256 + 1);
  EXPECT_EQ(transfer->blocksSent(), 256);
}

TEST_F(UpgradeTransferTest, Whole512BlockUploadAnsweredWithItsOwnTypeAnswer) {
  setUp(1, 2, {}, emu::UpgradeAnswer::Ident);
  ASSERT_TRUE(transfer->begin());
  runToEnd();

  EXPECT_TRUE(transfer->succeeded());
  EXPECT_EQ(receivedFlash(), flash);
  ASSERT_EQ(view.progress.size(), 1u + 512 + 1);
  for (int block = 0; block <= 5; ++block) EXPECT_EQ(view.progress[1 + block].percent, 0u);
  EXPECT_EQ(view.progress[1 + 6].percent, 1u);  // 600 / 512
  EXPECT_EQ(view.progress.back(), (RecordingView::Progress{100, 512, 512}));
}

TEST_F(UpgradeTransferTest, SplitAnswerIsTakenWhenCompleteAndEveryBlockGetsSixtyTicks) {
  emu::FaultPlan faults;
  faults.silentAfterStart = true;
  faults.silentAfterBlock = 0;
  setUp(0, 1, faults);
  ASSERT_TRUE(transfer->begin());

  const FrameBytes ack = kAckFrame;
  emulator->sendRaw({ack.begin(), ack.begin() + 5});
  for (int i = 0; i < 58; ++i) tick();  // 58 empty ticks, the last with 5 bytes waiting
  EXPECT_EQ(transfer->waitMs(), 58u * kWaitStepMs);
  EXPECT_EQ(port.bytesInQueue(), 5u);
  EXPECT_EQ(view.progress.size(), 1u);  // still "0/0 blocks"
  emulator->sendRaw({ack.begin() + 5, ack.end()});
  tick();
  EXPECT_EQ(transfer->blocksSent(), 1);
  EXPECT_EQ(transfer->waitMs(), 0u);

  // After block 0 the receiver stays silent: 59 ticks pass, the 60th gives up.
  for (int i = 0; i < 59; ++i) tick();
  EXPECT_TRUE(transfer->running());
  tick();
  EXPECT_EQ(transfer->state(), UpgradeState::TimedOut);
  EXPECT_EQ(view.log, (std::vector<std::string>{"start timer 1", "stop frame", "cancel",
                                                "message no answer1\xEF\xBC\x81"}));
  EXPECT_EQ(written, 2 * kFrameSize + kBlockSize);  // start, block 0, stop
  tick();                                           // a late tick does nothing
  EXPECT_EQ(view.messages.size(), 1u);
}

TEST_F(UpgradeTransferTest, AnswerOutsideTheImagesGroupEndsWithItsGroupsMessage) {
  struct Case {
    int tagIndex;
    FrameBytes answer;
    MessageId message;
  };
  for (const Case& c :
       {Case{0, makeFrame(0xF0), MessageId::NoAnswerF}, Case{4, kAckFrame, MessageId::NoAnswerC}}) {
    SCOPED_TRACE(c.tagIndex);
    view = {};
    written = 0;
    emu::FaultPlan faults;
    faults.silentAfterStart = true;
    setUp(c.tagIndex, c.tagIndex + 1, faults);
    ASSERT_TRUE(transfer->begin());
    inject(c.answer);
    tick();
    EXPECT_EQ(transfer->state(), UpgradeState::UnexpectedAnswer);
    EXPECT_EQ(view.log, (std::vector<std::string>{"start timer 1", "stop frame", "cancel",
                                                  "message " + noticeText(Notice::of(c.message))}));
    EXPECT_EQ(emulator->blocksReceived(), 0u);
  }
}

TEST_F(UpgradeTransferTest, ModelMismatchIsShownBeforeStopAndNoTickActsBehindTheMessage) {
  emu::FaultPlan faults;
  faults.silentAfterBlock = 2;
  setUp(0, 1, faults);
  ASSERT_TRUE(transfer->begin());
  for (int i = 0; i < 3; ++i) tick();
  ASSERT_EQ(transfer->blocksSent(), 3);

  // A "CI 29 1" receiver, with an acceptable answer queued behind it that
  // ticks delivered while the message is open must not take.
  inject(identFrame(5));
  inject(kAckFrame);
  view.onMessage = [&] {
    for (int i = 0; i < 70; ++i) tick();
  };
  tick();

  EXPECT_EQ(transfer->state(), UpgradeState::ModelMismatch);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0], Notice::mismatch(0, 4));
  EXPECT_NE(noticeText(view.messages[0]).find("<Fta 29 1> to <CI 29 1>"), std::string::npos);
  EXPECT_EQ(view.log,
            (std::vector<std::string>{"start timer 1", "message " + noticeText(view.messages[0]),
                                      "stop frame", "cancel"}));
  EXPECT_EQ(transfer->blocksSent(), 3);
  EXPECT_EQ(emulator->blocksReceived(), 3u);
  EXPECT_EQ(port.bytesInQueue(), kFrameSize);  // the queued answer was never read
  EXPECT_EQ(framesAtEmulator(), (std::vector<FrameBytes>{kStartUpgradeFrame, kStopFrame}));
}

TEST_F(UpgradeTransferTest, PortIsOpenedOnlyAfterTheImageIsValid) {
  setUp(0, 1);
  // A valid image and a port that can't be opened.
  const test::ScopedEnv missing(portOverrideVariable(7), dir.file("no-such-tty"));
  makeTransfer(PortTarget::comPort(7));
  EXPECT_FALSE(transfer->begin());
  EXPECT_EQ(transfer->state(), UpgradeState::OpenPortFailed);
  EXPECT_EQ(transfer->imageData().size(), kImageFileSizeSmall);
  EXPECT_EQ(view.log, (std::vector<std::string>{"message open port7 error!", "cancel"}));

  // A refused image never touches the (working) port.
  view = {};
  test::writeFileBytes(imagePath, std::vector<std::uint8_t>(kImageFileSizeSmall - 1, 0));
  makeTransfer(PortTarget::device(emulator->devicePath()));
  EXPECT_FALSE(transfer->begin());
  EXPECT_EQ(transfer->state(), UpgradeState::LoadFailed);
  EXPECT_EQ(view.messages, (std::vector<Notice>{Notice::of(MessageId::FileSizeError)}));
  EXPECT_FALSE(port.isOpen());
  transfer->onUpgradeTick(kUpgradeTimerId);
  EXPECT_TRUE(emulator->framesReceived().empty());
}

}  // namespace
}  // namespace quorvane
