// The read transfer against the receiver emulator over a pseudo-terminal,
// with every tick driven directly on a settled line.
#include "transfer/read_transfer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "receiver_emulator.h"
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
constexpr int kTicksToGiveUp = static_cast<int>(kWaitLimitMs / kWaitStepMs);  // 60

struct Progress {
  unsigned percent;
  long long done, count;
  bool operator==(const Progress&) const = default;
};

// What the transfer asks of its front end, logged together with the frames
// it sends so that orderings can be checked.
class RecordingView final : public TransferView {
 public:
  void startTimer(int id, int) override { running.insert(id); }
  void stopTimer(int id) override {
    running.erase(id);
    log.push_back("stop timer " + std::to_string(id));
  }
  void showBlockProgress(unsigned percent, long long done, long long count) override {
    progress.push_back({percent, done, count});
  }
  void cancel() override {
    running.clear();
    log.push_back("cancel");
  }
  void showMessage(const Notice& notice) override {
    messages.push_back(notice);
    log.push_back("message " + noticeText(notice));
  }
  Log tail(std::size_t n) const { return Log(log.end() - static_cast<long>(n), log.end()); }

  std::set<int> running;
  std::vector<Progress> progress;
  std::vector<Notice> messages;
  Log log;
};

Bytes bytesOf(const FrameBytes& f) {
  return Bytes(f.begin(), f.end());
}

Bytes imageOf(int tagIndex, const Bytes& flash) {
  const auto tag = romType(tagIndex).tagText;
  Bytes image(tag.begin(), tag.end());
  image.insert(image.end(), flash.begin(), flash.end());
  return image;
}

const std::string kStopLine = "frame " + describeFrame(kStopFrame);

class ReadTransferTest : public ::testing::Test {
 protected:
  void begin(int modelNumber, emu::FaultPlan faults = {}) {
    emu::EmulatorOptions options;
    options.modelNumber = modelNumber;
    options.faults = faults;
    emulator.emplace(options);
    ASSERT_TRUE(emulator->start());
    transfer.emplace(port, view, PortTarget::device(emulator->devicePath()), target);
    transfer->setObserver([this](const ReadEvent& e) {
      if (e.kind != ReadEvent::Kind::FrameSent) return;
      sent.push_back(e.frame);
      view.log.push_back("frame " + describeFrame(e.frame));
      if (e.frame == kReadCompleteFrame) fileAtReadComplete = std::filesystem::exists(target);
    });
    ASSERT_TRUE(transfer->startRead());
  }
  // One tick of whichever timer runs.
  void tick() {
    ASSERT_TRUE(test::settle(*emulator, port));
    ASSERT_EQ(view.running.size(), 1u);
    transfer->onReadTick(*view.running.begin());
  }
  void tickUntilBlocks(unsigned blocks) {
    while (!transfer->finished() && transfer->fields().blocksReceived < blocks) tick();
  }
  void expectWholeRead(int modelNumber);

  test::TempDir dir;
  const std::string target = dir.file("rom.bin");
  std::optional<emu::ReceiverEmulator> emulator;
  CommandPort port;
  RecordingView view;
  std::optional<ReadTransfer> transfer;
  std::vector<FrameBytes> sent;
  std::optional<bool> fileAtReadComplete;
};

void ReadTransferTest::expectWholeRead(int modelNumber) {
  begin(modelNumber);
  tickUntilBlocks(1000);
  const int index = modelNumber - 1;
  const unsigned blocks = romType(index).blockCount;
  ASSERT_TRUE(transfer->succeeded());
  EXPECT_TRUE(view.messages.empty());
  EXPECT_TRUE(view.running.empty());
  EXPECT_EQ(transfer->fields().blockCount, blocks);
  EXPECT_TRUE(test::readFileBytes(target) == imageOf(index, emulator->flash()));

  // Start, the receiver's own IdentFrame after every block, read complete;
  // the file appears only after that, then the dialog ends.
  std::vector<FrameBytes> expected{kStartReadFrame};
  expected.insert(expected.end(), blocks, identFrame(modelNumber));
  expected.push_back(kReadCompleteFrame);
  EXPECT_EQ(sent, expected);
  ASSERT_TRUE(emulator->waitIdle());
  EXPECT_EQ(emulator->framesReceived(), expected);
  EXPECT_EQ(fileAtReadComplete, false);
  EXPECT_EQ(view.tail(3),
            (Log{"frame " + describeFrame(kReadCompleteFrame), "stop timer 2", "cancel"}));

  ASSERT_EQ(view.progress.size(), blocks);
  EXPECT_EQ(view.progress[0], (Progress{0, 1, blocks}));
  EXPECT_EQ(view.progress[2], (Progress{blocks == 256 ? 1u : 0u, 3, blocks}));
  EXPECT_EQ(view.progress.back(), (Progress{100, blocks, blocks}));

  const std::size_t frames = sent.size();  // ticks after the end do nothing
  transfer->onReadTick(kBlockTimerId);
  EXPECT_EQ(sent.size(), frames);
}

TEST_F(ReadTransferTest, WholeSmallFlashIsSavedByteExact) {
  expectWholeRead(1);
}

TEST_F(ReadTransferTest, ModelTwoIsRead512BlocksUnderItsOwnTag) {
  expectWholeRead(2);
  const Bytes file = test::readFileBytes(target);
  ASSERT_EQ(file.size(), 2'097'165u);
  EXPECT_EQ(std::string(file.begin(), file.begin() + kTagSize), "QX_RomFtaAMD2");
}

TEST_F(ReadTransferTest, SilenceAfterBlock100GivesNoAnswerOnThe60thTickAndNoFile) {
  const Bytes earlier{1, 2, 3};
  test::writeFileBytes(target, earlier);
  emu::FaultPlan faults;
  faults.silentAfterBlock = 100;
  begin(1, faults);
  tickUntilBlocks(101);
  for (int i = 1; i < kTicksToGiveUp; ++i) tick();
  EXPECT_FALSE(transfer->finished());
  tick();

  EXPECT_EQ(transfer->outcome(), ReadOutcome::Failed);
  EXPECT_EQ(transfer->fields().blocksReceived, 101u);
  EXPECT_EQ(view.tail(3), (Log{kStopLine, "cancel", "message no answer\xEF\xBC\x81"}));
  ASSERT_TRUE(emulator->waitIdle());
  EXPECT_EQ(emulator->framesReceived().back(), kStopFrame);
  // The earlier file is untouched and nothing else was left beside it.
  EXPECT_EQ(test::readFileBytes(target), earlier);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(ReadTransferTest, AnswerFailures) {
  // Silence: the 60th tick without 12 bytes gives up.
  emu::FaultPlan silent;
  silent.silentAfterStart = true;
  begin(1, silent);
  for (int i = 1; i < kTicksToGiveUp; ++i) tick();
  EXPECT_FALSE(transfer->finished());
  tick();
  EXPECT_EQ(view.tail(3), (Log{kStopLine, "cancel", "message no answer2\xEF\xBC\x81"}));

  // Twelve bytes that are no IdentFrame: the first tick that has them.
  view = {};
  sent.clear();
  emu::FaultPlan wrong;
  wrong.wrongAnswer = true;
  begin(1, wrong);
  tick();
  EXPECT_EQ(view.tail(3), (Log{kStopLine, "cancel", "message no answer1\xEF\xBC\x81"}));
  EXPECT_EQ(sent, (std::vector<FrameBytes>{kStartReadFrame, kStopFrame}));
  EXPECT_TRUE(transfer->fields().flashData.empty());
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(ReadTransferTest, CancelMidDownloadSendsNothingAndKeepsAnEarlierFile) {
  const Bytes earlier{9, 8, 7};
  test::writeFileBytes(target, earlier);
  begin(3);
  tickUntilBlocks(10);
  ASSERT_TRUE(emulator->waitIdle());
  const std::size_t heard = emulator->framesReceived().size();

  transfer->abandon();
  transfer->onReadTick(kBlockTimerId);
  EXPECT_EQ(transfer->outcome(), ReadOutcome::Cancelled);
  EXPECT_TRUE(view.messages.empty());
  ASSERT_TRUE(emulator->waitIdle());
  EXPECT_EQ(emulator->framesReceived().size(), heard);
  EXPECT_EQ(test::readFileBytes(target), earlier);
}

TEST_F(ReadTransferTest, PortThatCannotBeOpenedIsReportedWithItsNumber) {
  test::ScopedEnv com7(portOverrideVariable(7), dir.file("no-such-device"));
  transfer.emplace(port, view, PortTarget::comPort(7), target);
  EXPECT_FALSE(transfer->startRead());
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(noticeText(view.messages[0]), "open port7 error!");
  EXPECT_TRUE(view.running.empty());
}

TEST_F(ReadTransferTest, WriteFailureIsShownAfterTheBlockTimerStopped) {
  std::filesystem::create_directory(target);  // can't be replaced by a file
  begin(1);
  tickUntilBlocks(1000);
  EXPECT_EQ(transfer->outcome(), ReadOutcome::Failed);
  EXPECT_EQ(sent.back(), kReadCompleteFrame);  // no stop: the receiver is done
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.tail(3),
            (Log{"stop timer 2", "message " + noticeText(view.messages[0]), "cancel"}));
}

// The test plays the receiver on a raw pty, to put bytes on the line exactly
// when it wants them.
TEST(ReadTransferPieces, AnswerTailStartsBlock0AndBlocksInPiecesAreTakenWhenComplete) {
  test::PtyPair pty;
  pty.makeRaw();
  test::TempDir dir;
  CommandPort port;
  RecordingView view;
  ReadTransfer transfer(port, view, PortTarget::device(pty.devicePath()), dir.file("rom.bin"));
  int acks = 0;
  transfer.setObserver([&](const ReadEvent& e) {
    acks += e.kind == ReadEvent::Kind::FrameSent && e.frame == identFrame(2);
  });
  ASSERT_TRUE(transfer.startRead());
  ASSERT_EQ(pty.receive(kFrameSize), bytesOf(kStartReadFrame));

  std::uint64_t delivered = 0;
  auto put = [&](const Bytes& bytes) {
    ASSERT_TRUE(pty.send(bytes));
    delivered += bytes.size();
    for (int i = 0; i < 5000 && port.bytesArrived() < delivered; ++i) {
      port.bytesInQueue();  // drains the device
      if (port.bytesArrived() < delivered) ::usleep(1000);
    }
    ASSERT_EQ(port.bytesArrived(), delivered);
  };
  Bytes block0(kBlockSize), block1(kBlockSize);
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    block0[i] = static_cast<std::uint8_t>(i * 7);
    block1[i] = static_cast<std::uint8_t>(255 - i);
  }
  auto concat = [](Bytes a, Bytes::const_iterator from, Bytes::const_iterator to) {
    a.insert(a.end(), from, to);
    return a;
  };

  const Bytes answer = bytesOf(identFrame(2));
  put(Bytes(answer.begin(), answer.end() - 1));
  transfer.onReadTick(kAnswerTimerId);  // 11 bytes: still waiting
  EXPECT_EQ(transfer.phase(), ReadPhase::AwaitingType);

  // The last answer byte with the first 1000 bytes of block 0 behind it.
  put(concat({answer.back()}, block0.begin(), block0.begin() + 1000));
  transfer.onReadTick(kAnswerTimerId);
  ASSERT_EQ(transfer.phase(), ReadPhase::Receiving);
  EXPECT_EQ(transfer.fields().blockCount, 512u);
  EXPECT_EQ(port.bytesInQueue(), 1000u);

  put(Bytes(block0.begin() + 1000, block0.end() - 1));
  transfer.onReadTick(kBlockTimerId);  // one byte short
  EXPECT_EQ(transfer.fields().blocksReceived, 0u);
  EXPECT_EQ(acks, 0);

  // The last byte, and half of block 1 already behind it.
  put(concat({block0.back()}, block1.begin(), block1.begin() + 2048));
  transfer.onReadTick(kBlockTimerId);
  EXPECT_EQ(transfer.fields().blocksReceived, 1u);
  EXPECT_EQ(acks, 1);  // in the same tick
  EXPECT_EQ(pty.receive(kFrameSize), bytesOf(identFrame(2)));
  EXPECT_EQ(port.bytesInQueue(), 2048u);

  put(Bytes(block1.begin() + 2048, block1.end()));
  transfer.onReadTick(kAnswerTimerId);  // not the running timer: ignored
  EXPECT_EQ(transfer.fields().blocksReceived, 1u);
  transfer.onReadTick(kBlockTimerId);
  EXPECT_EQ(transfer.fields().blocksReceived, 2u);
  const Bytes got(transfer.fields().flashData.begin(),
                  transfer.fields().flashData.begin() + 2 * kBlockSize);
  EXPECT_TRUE(got == concat(block0, block1.begin(), block1.end()));
}

}  // namespace
}  // namespace quorvane
