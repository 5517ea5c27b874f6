// The read transfer against the receiver emulator over a pseudo-terminal,
// with every tick driven directly: before each tick the emulator is allowed
// to finish what it sends, so each tick sees a settled line.
#include "transfer/read_transfer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "receiver_emulator.h"
#include "serial/command_port.h"
#include "serial/protocol.h"
#include "support/pty_pair.h"
#include "support/test_support.h"
#include "transfer/rom_type.h"
#include "transfer/transfer_view.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kTicksToGiveUp = static_cast<int>(kWaitLimitMs / kWaitStepMs);  // 60

struct Progress {
  unsigned percent;
  long long done;
  long long count;
  bool operator==(const Progress&) const = default;
};

// Records what the transfer asks of its front end, in one log together with
// the frames it sends, so orderings can be checked.
class RecordingView final : public TransferView {
 public:
  void startTimer(int id, int periodMs) override {
    EXPECT_EQ(periodMs, kTickMs);
    running.insert(id);
    log.push_back("start timer " + std::to_string(id));
  }
  void stopTimer(int id) override {
    running.erase(id);
    log.push_back("stop timer " + std::to_string(id));
  }
  void showBlockProgress(unsigned percent, long long done, long long count) override {
    progress.push_back({percent, done, count});
  }
  void cancel() override {
    running.clear();
    ++cancels;
    log.push_back("cancel");
  }
  void showMessage(const Notice& notice) override {
    messages.push_back(notice);
    log.push_back("message " + noticeText(notice));
    if (onMessage) onMessage();
  }

  std::set<int> running;
  std::vector<Progress> progress;
  std::vector<Notice> messages;
  std::vector<std::string> log;
  int cancels = 0;
  std::function<void()> onMessage;
};

// Lets the emulator send everything it means to send in answer to what it
// has received, while the port takes it in (a 4096-byte block does not fit
// the pty at once, so both sides must move).
void settle(emu::ReceiverEmulator& emulator, SerialPort& port) {
  for (int i = 0; i < 20000; ++i) {
    port.bytesInQueue();  // drains the device into the port's own queue
    if (emulator.waitIdle(1) && port.bytesArrived() == emulator.bytesSent()) return;
  }
  ADD_FAILURE() << "the line did not settle";
}

emu::EmulatorOptions model(int modelNumber) {
  emu::EmulatorOptions options;
  options.modelNumber = modelNumber;
  return options;
}

Bytes bytesOf(const FrameBytes& f) {
  return Bytes(f.begin(), f.end());
}

Bytes imageOf(int tagIndex, const Bytes& flash) {
  const auto tag = romType(tagIndex).tagText;
  Bytes image(tag.begin(), tag.end());
  image.insert(image.end(), flash.begin(), flash.end());
  return image;
}

class ReadTransferTest : public ::testing::Test {
 protected:
  // Starts an emulator of `options` and a transfer to dir/rom.bin over it.
  void begin(emu::EmulatorOptions options) {
    emulator.emplace(std::move(options));
    ASSERT_TRUE(emulator->start());
    transfer.emplace(port, view, PortTarget::device(emulator->devicePath()), target);
    transfer->setObserver([this](const ReadEvent& e) {
      if (e.kind == ReadEvent::Kind::FrameSent) {
        sent.push_back(e.frame);
        view.log.push_back("frame " + describeFrame(e.frame));
        if (e.frame == kReadCompleteFrame) fileAtReadComplete = std::filesystem::exists(target);
      }
    });
    ASSERT_TRUE(transfer->startRead());
  }

  // One tick of whichever timer runs, on a settled line.
  void tick() {
    settle(*emulator, port);
    ASSERT_EQ(view.running.size(), 1u);
    transfer->onReadTick(*view.running.begin());
  }
  void tickUntilBlocks(unsigned blocks) {
    while (!transfer->finished() && transfer->fields().blocksReceived < blocks) tick();
  }
  void runToEnd() {
    for (int i = 0; i < 2000 && !transfer->finished(); ++i) tick();
  }
  // Checks a whole read of a receiver of ModelNumber `model`.
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
  begin(model(modelNumber));
  runToEnd();
  const int index = modelNumber - 1;
  const unsigned blocks = romType(index).blockCount;

  ASSERT_TRUE(transfer->succeeded());
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(view.cancels, 1);
  EXPECT_TRUE(view.running.empty());
  EXPECT_EQ(transfer->fields().tagIndex, index);
  EXPECT_EQ(transfer->fields().blockCount, blocks);

  const Bytes file = test::readFileBytes(target);
  EXPECT_EQ(file.size(), kTagSize + std::size_t{blocks} * kBlockSize);
  EXPECT_TRUE(file == imageOf(index, emulator->flash())) << "image differs from the flash";

  // Start, one acknowledgement per block (the receiver's own IdentFrame),
  // read complete: on the line and as the receiver logged it.
  std::vector<FrameBytes> expected{kStartReadFrame};
  expected.insert(expected.end(), blocks, identFrame(modelNumber));
  expected.push_back(kReadCompleteFrame);
  EXPECT_EQ(sent, expected);
  ASSERT_TRUE(emulator->waitIdle());
  EXPECT_EQ(emulator->framesReceived(), expected);

  ASSERT_EQ(view.progress.size(), blocks);
  EXPECT_EQ(view.progress[0], (Progress{0, 1, blocks}));  // 100 / 256 and / 512 round down
  EXPECT_EQ(view.progress[2], (Progress{blocks == 256 ? 1u : 0u, 3, blocks}));
  EXPECT_EQ(view.progress.back(), (Progress{100, blocks, blocks}));
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

TEST_F(ReadTransferTest, LastAckThenReadCompleteThenFileThenCancel) {
  begin(model(15));
  runToEnd();
  ASSERT_TRUE(transfer->succeeded());
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2], identFrame(15));
  EXPECT_EQ(sent.back(), kReadCompleteFrame);
  EXPECT_EQ(fileAtReadComplete, false);
  EXPECT_TRUE(std::filesystem::exists(target));
  // The block timer stops before the file is written; the dialog ends last.
  const std::vector<std::string> tail(view.log.end() - 3, view.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"frame " + describeFrame(kReadCompleteFrame),
                                            "stop timer 2", "cancel"}));
  // Ticks after the end do nothing.
  const std::size_t frames = sent.size();
  transfer->onReadTick(kBlockTimerId);
  transfer->onReadTick(kAnswerTimerId);
  EXPECT_EQ(sent.size(), frames);
}

TEST_F(ReadTransferTest, SilenceAfterBlock100GivesNoAnswerOnThe60thTickAndNoFile) {
  const Bytes earlier{1, 2, 3};
  test::writeFileBytes(target, earlier);
  emu::EmulatorOptions options;
  options.faults.silentAfterBlock = 100;
  begin(options);
  tickUntilBlocks(101);
  ASSERT_EQ(transfer->fields().blocksReceived, 101u);

  for (int i = 1; i < kTicksToGiveUp; ++i) tick();
  EXPECT_FALSE(transfer->finished());
  EXPECT_EQ(transfer->fields().blockWaitMs, (kTicksToGiveUp - 1) * kWaitStepMs);
  const std::size_t before = view.log.size();
  tick();

  ASSERT_TRUE(transfer->finished());
  EXPECT_EQ(transfer->outcome(), ReadOutcome::Failed);
  EXPECT_EQ(transfer->failure(), Notice::of(MessageId::NoAnswer));
  const std::vector<std::string> tail(view.log.begin() + static_cast<long>(before), view.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"frame " + describeFrame(kStopFrame), "cancel",
                                            "message no answer\xEF\xBC\x81"}));
  ASSERT_TRUE(emulator->waitIdle());
  EXPECT_EQ(emulator->framesReceived().back(), kStopFrame);
  EXPECT_EQ(test::readFileBytes(target), earlier);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1)
      << "only the earlier file is in the directory";
}

TEST_F(ReadTransferTest, SilenceAfterStartGivesNoAnswer2After60Ticks) {
  emu::EmulatorOptions options;
  options.faults.silentAfterStart = true;
  begin(options);
  for (int i = 1; i < kTicksToGiveUp; ++i) tick();
  EXPECT_FALSE(transfer->finished());
  tick();
  ASSERT_TRUE(transfer->finished());
  EXPECT_EQ(transfer->failure(), Notice::of(MessageId::NoAnswer2));
  EXPECT_EQ(sent, (std::vector<FrameBytes>{kStartReadFrame, kStopFrame}));
  EXPECT_EQ(view.log.back(), "message no answer2\xEF\xBC\x81");
  EXPECT_EQ(view.log[view.log.size() - 2], "cancel");
  EXPECT_TRUE(transfer->fields().flashData.empty());
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(ReadTransferTest, AnswerThatIsNoIdentFrameGivesNoAnswer1AtOnce) {
  emu::EmulatorOptions options;
  options.faults.wrongAnswer = true;
  begin(options);
  tick();
  ASSERT_TRUE(transfer->finished());
  EXPECT_EQ(transfer->failure(), Notice::of(MessageId::NoAnswer1));
  EXPECT_EQ(sent, (std::vector<FrameBytes>{kStartReadFrame, kStopFrame}));
  EXPECT_EQ(view.log.back(), "message no answer1\xEF\xBC\x81");
  EXPECT_EQ(view.log[view.log.size() - 2], "cancel");
  EXPECT_TRUE(transfer->fields().flashData.empty());
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(ReadTransferTest, CancelMidDownloadSendsNothingAndKeepsAnEarlierFile) {
  const Bytes earlier{9, 8, 7};
  test::writeFileBytes(target, earlier);
  begin(model(3));
  tickUntilBlocks(10);
  ASSERT_TRUE(emulator->waitIdle());
  const std::size_t framesBefore = emulator->framesReceived().size();

  transfer->abandon();
  for (int i = 0; i < 5; ++i) {
    transfer->onReadTick(kBlockTimerId);
    transfer->onReadTick(kAnswerTimerId);
  }
  EXPECT_EQ(transfer->outcome(), ReadOutcome::Cancelled);
  EXPECT_TRUE(view.messages.empty());
  ASSERT_TRUE(emulator->waitIdle());
  EXPECT_EQ(emulator->framesReceived().size(), framesBefore);
  EXPECT_EQ(test::readFileBytes(target), earlier);
}

TEST_F(ReadTransferTest, PortThatCannotBeOpenedIsReportedWithItsNumber) {
  test::ScopedEnv com7(portOverrideVariable(7), dir.file("no-such-device"));
  transfer.emplace(port, view, PortTarget::comPort(7), target);
  EXPECT_FALSE(transfer->startRead());
  EXPECT_EQ(transfer->outcome(), ReadOutcome::Failed);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(noticeText(view.messages[0]), "open port7 error!");
  EXPECT_TRUE(view.running.empty());
  EXPECT_EQ(view.cancels, 0);  // the dialog runs its own Cancel command
}

TEST_F(ReadTransferTest, ComNumberThroughThePortMapReadsToo) {
  emulator.emplace(model(5));
  ASSERT_TRUE(emulator->start());
  test::ScopedEnv com3(portOverrideVariable(3), emulator->devicePath());
  transfer.emplace(port, view, PortTarget::fromIndex(2), target);
  ASSERT_TRUE(transfer->startRead());
  runToEnd();
  EXPECT_TRUE(transfer->succeeded());
  EXPECT_EQ(test::readFileBytes(target), imageOf(4, emulator->flash()));
}

TEST_F(ReadTransferTest, WriteFailureIsShownAfterTheBlockTimerStopped) {
  // A directory where the file should go: it can't be replaced.
  std::filesystem::create_directory(target);
  begin(model(1));
  runToEnd();
  ASSERT_TRUE(transfer->finished());
  EXPECT_EQ(transfer->outcome(), ReadOutcome::Failed);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(sent.back(), kReadCompleteFrame);  // no stop frame: the receiver is done
  const std::vector<std::string> tail(view.log.end() - 3, view.log.end());
  EXPECT_EQ(tail[0], "stop timer 2");
  EXPECT_EQ(tail[1], "message " + noticeText(view.messages[0]));
  EXPECT_EQ(tail[2], "cancel");
}

// The test plays the receiver itself on a raw pty, to put bytes on the line
// exactly when it wants them.
TEST(ReadTransferPieces, AnswerTailStartsBlock0AndBlocksInPiecesAreTakenWhenComplete) {
  test::PtyPair pty;
  pty.makeRaw();
  test::TempDir dir;
  CommandPort port;
  RecordingView view;
  ReadTransfer transfer(port, view, PortTarget::device(pty.devicePath()), dir.file("rom.bin"));
  std::vector<FrameBytes> sent;
  transfer.setObserver([&](const ReadEvent& e) {
    if (e.kind == ReadEvent::Kind::FrameSent) sent.push_back(e.frame);
  });
  ASSERT_TRUE(transfer.startRead());
  ASSERT_EQ(pty.receive(kFrameSize), bytesOf(kStartReadFrame));

  std::uint64_t delivered = 0;
  auto put = [&](const Bytes& bytes) {
    ASSERT_TRUE(pty.send(bytes));
    delivered += bytes.size();
    // Wait until the port has everything (bytesInQueue drains the device).
    for (int i = 0; i < 5000 && port.bytesArrived() < delivered; ++i) {
      port.bytesInQueue();
      if (port.bytesArrived() < delivered) ::usleep(1000);
    }
    ASSERT_EQ(port.bytesArrived(), delivered);
  };
  Bytes block0(kBlockSize), block1(kBlockSize);
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    block0[i] = static_cast<std::uint8_t>(i * 7);
    block1[i] = static_cast<std::uint8_t>(255 - i);
  }

  // Eleven bytes of the answer: still waiting.
  Bytes answer = bytesOf(identFrame(2));
  put(Bytes(answer.begin(), answer.begin() + 11));
  transfer.onReadTick(kAnswerTimerId);
  EXPECT_EQ(transfer.phase(), ReadPhase::AwaitingType);
  EXPECT_EQ(transfer.fields().answerWaitMs, kWaitStepMs);

  // The last answer byte with the first 1000 bytes of block 0 behind it.
  Bytes rest{answer.back()};
  rest.insert(rest.end(), block0.begin(), block0.begin() + 1000);
  put(rest);
  transfer.onReadTick(kAnswerTimerId);
  ASSERT_EQ(transfer.phase(), ReadPhase::Receiving);
  EXPECT_EQ(transfer.fields().blockCount, 512u);
  EXPECT_EQ(port.bytesInQueue(), 1000u);
  EXPECT_EQ(view.running, (std::set<int>{kBlockTimerId}));

  transfer.onReadTick(kBlockTimerId);  // 1000 bytes: not a block
  put(Bytes(block0.begin() + 1000, block0.end() - 1));
  transfer.onReadTick(kBlockTimerId);  // one byte short
  EXPECT_EQ(transfer.fields().blocksReceived, 0u);
  EXPECT_EQ(transfer.fields().blockWaitMs, 2 * kWaitStepMs);
  EXPECT_EQ(sent.size(), 1u);

  // The last byte, and half of block 1 already behind it.
  Bytes tail{block0.back()};
  tail.insert(tail.end(), block1.begin(), block1.begin() + 2048);
  put(tail);
  transfer.onReadTick(kBlockTimerId);
  EXPECT_EQ(transfer.fields().blocksReceived, 1u);
  EXPECT_EQ(transfer.fields().blockWaitMs, 0u);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], identFrame(2));  // acknowledged in the same tick
  EXPECT_EQ(pty.receive(kFrameSize), bytesOf(identFrame(2)));
  EXPECT_EQ(port.bytesInQueue(), 2048u);
  EXPECT_TRUE(std::equal(block0.begin(), block0.end(), transfer.fields().flashData.begin()));

  put(Bytes(block1.begin() + 2048, block1.end()));
  transfer.onReadTick(kAnswerTimerId);  // not the running timer: ignored
  EXPECT_EQ(transfer.fields().blocksReceived, 1u);
  transfer.onReadTick(kBlockTimerId);
  EXPECT_EQ(transfer.fields().blocksReceived, 2u);
  EXPECT_TRUE(
      std::equal(block1.begin(), block1.end(), transfer.fields().flashData.begin() + kBlockSize));
  EXPECT_EQ(view.progress.back(), (Progress{0, 2, 512}));
}

}  // namespace
}  // namespace quorvane
