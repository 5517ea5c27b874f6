// Every fault the receiver emulator can inject, against every job it touches
// (connect, read, upgrade, remote keys) and both flash sizes. Each row names
// the message, the blocks that crossed the line and whether the device
// vanished; its job's runner checks from that the frames the receiver heard
// and the files on disk. After every row the same COM port opens again and a
// clean connect handshake succeeds. Rows run in lock step (the line settles
// before each tick), slow-line rows in real time: a tick every 50 ms, skipped
// ahead only while the line is quiet.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connection/connect_handshake.h"
#include "receiver_emulator.h"
#include "remote/remote_session.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/read_transfer.h"
#include "transfer/rom_type.h"
#include "transfer/upgrade_transfer.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<FrameBytes>;
using Log = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using F = emu::FaultPlan;
using emu::FaultPoint;

constexpr int kCom = 6;  // the receiver answers as COM6 (through a symlink)
constexpr int kMaxTicks = 5000;

enum class Job { Connect, Read, Upgrade, Keys };
enum class Drive { LockStep, RealTime };

// A 256-block CI receiver (group C) and a 512-block Fta receiver (group F),
// each with the type it claims under the other-model fault.
struct Receiver {
  int model, otherModel;
};
const auto indexOf = [](int model) { return model - 1; };
const auto blocksOf = [](int model) { return blockCountOfIndex(model - 1); };
constexpr Receiver kSmall{5, 6};  // "CI 29 1", claims "CI 29 2"
constexpr Receiver kLarge{2, 1};  // "Fta 29 2", claims "Fta 29 1"

struct Row {
  std::string name;
  Job job;
  Receiver receiver;
  emu::EmulatorOptions options;
  std::optional<Notice> notice;  // the one message; none: the job ends well
  unsigned blocks = 0;           // read: blocks taken; upgrade: blocks the receiver took
  bool vanished = false;         // the device is gone afterwards
  bool fullAckWait = false;      // connect: all 200 polls before giving up
  Drive drive = Drive::LockStep;
};

bool told(const Row& row, MessageId id) {
  return row.notice && row.notice->id == id;
}
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

// Both front ends in one: timers, messages and the order of what happened.
struct RecordingView final : TransferView, ConnectView {
  void startTimer(int id, int) override { timer = id; }
  void stopTimer(int) override { timer.reset(); }
  void showBlockProgress(unsigned, long long, long long) override {}
  void showProgress(int) override {}
  void cancel() override { log.push_back("cancel"); }
  void showMessage(const Notice& notice) override {
    messages.push_back(notice);
    log.push_back("message");
  }
  void finish(bool ok) override { finished = ok; }
  Log tail() const { return Log(log.end() - std::min<long>(3, long(log.size())), log.end()); }

  std::optional<int> timer;
  std::vector<Notice> messages;
  Log log;  // cancel, message, stop frame
  std::optional<bool> finished;
};

Bytes withTag(int tagIndex, const Bytes& flash, std::size_t flashBytes) {
  const auto tag = romType(tagIndex).tagText;
  Bytes image(tag.begin(), tag.end());
  image.insert(image.end(), flash.begin(), flash.begin() + static_cast<long>(flashBytes));
  return image;
}

// The bytes a read receiver puts on the line after its type answer, as the
// emulator serves them (surplus after the answer and after every block, a
// flipped byte, erased blocks beyond its own flash).
Bytes servedStream(const F& f, const Bytes& flash, unsigned blocks) {
  Bytes s(f.surplusBytes, emu::kSurplusByte);
  for (unsigned k = 0; k < blocks; ++k) {
    const std::size_t at = std::size_t{k} * kBlockSize;
    Bytes block(kBlockSize, 0xFF);
    if (at + kBlockSize <= flash.size())
      block.assign(flash.begin() + long(at), flash.begin() + long(at + kBlockSize));
    if (f.corruptBlock == k) block[f.corruptOffset] ^= emu::kCorruptMask;
    s.insert(s.end(), block.begin(), block.end());
    s.insert(s.end(), f.surplusBytes, emu::kSurplusByte);
  }
  return s;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    options_ = GetParam().options;
    options_.linkPath = link_;
    if (GetParam().job == Job::Upgrade)  // an erased receiver, so that what arrives shows
      options_.flash.assign(std::size_t{blocksOf(options_.modelNumber)} * kBlockSize, 0xFF);
    emulator_ = std::make_unique<emu::ReceiverEmulator>(options_);
    ASSERT_TRUE(emulator_->start());
  }
  void runConnect(const Row& row);
  void runRead(const Row& row);
  void runUpgrade(const Row& row);
  void runKeys(const Row& row);
  void expectAlive(const Row& row);

  // Runs before every tick or poll; `next` paces the real-time rows.
  void step(Drive drive, SerialPort& port, Clock::time_point& next, int periodMs) {
    ASSERT_TRUE(drive == Drive::RealTime || test::settle(*emulator_, port));
    if (drive == Drive::LockStep) return;
    next += std::chrono::milliseconds(periodMs);
    port.bytesInQueue();
    if (emulator_->waitIdle(2) && emulator_->outputDelivered()) {
      next = Clock::now();  // nothing can arrive: no need to wait
    } else {
      std::this_thread::sleep_until(next);
    }
    port.bytesInQueue();
  }
  ConnectResult handshake(CommandPort& port, RecordingView& view, Drive drive, int* polls) {
    Clock::time_point next = Clock::now();
    ConnectHandshake h(port, view, [&](int ms) {
      if (ms != kAckPollIntervalMs) return;  // the pause after success
      ++*polls;
      step(drive, port, next, ms);
    });
    h.start();
    return h.tick(PortTarget::comPort(kCom));
  }
  template <class Done, class Tick>
  void tickUntil(const Row& row, SerialPort& port, Done done, Tick tick) {
    Clock::time_point next = Clock::now();
    for (int i = 0; i < kMaxTicks && !done(); ++i) {
      step(row.drive, port, next, kTickMs);
      tick();
    }
    ASSERT_TRUE(done());
  }
  // The one message, told after the stop frame and the cancel (or before).
  static void expectTold(const Row& row, const RecordingView& view, bool messageFirst = false) {
    EXPECT_EQ(view.messages, row.notice ? std::vector{*row.notice} : std::vector<Notice>{});
    if (!row.notice) return;
    Log want{"stop frame", "cancel"};  // the stop goes out even into a vanished device
    want.insert(messageFirst ? want.begin() : want.end(), "message");
    EXPECT_EQ(view.tail(), want);
  }
  Frames heard() {
    emulator_->waitIdle();
    return emulator_->framesReceived();
  }
  void expectOnlyTarget() {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "rom.bin" || name == "com6") << "left behind: " << name;
    }
  }

  test::TempDir dir_;
  const std::string link_ = dir_.file("com6");
  const std::string target_ = dir_.file("rom.bin");
  test::ScopedEnv com_{portOverrideVariable(kCom), link_};
  emu::EmulatorOptions options_;
  std::unique_ptr<emu::ReceiverEmulator> emulator_;
};

void FaultMatrix::runConnect(const Row& row) {
  CommandPort port;
  RecordingView view;
  int polls = 0;
  EXPECT_EQ(handshake(port, view, row.drive, &polls),
            row.notice ? ConnectResult::NoAnswer : ConnectResult::Connected);
  EXPECT_EQ(view.messages, row.notice ? std::vector{*row.notice} : std::vector<Notice>{});
  EXPECT_EQ(view.finished, !row.notice);
  // Either the counted wait runs out, or there is no waiting for the rest of it.
  EXPECT_EQ(polls == kAckWaitLimitMs / kAckPollIntervalMs, row.fullAckWait) << polls << " polls";
  Frames expected{kConnectFrame};
  if (row.notice && !row.vanished) expected.push_back(kStopFrame);
  EXPECT_EQ(heard(), expected);
}

void FaultMatrix::runRead(const Row& row) {
  const Bytes earlier{'e', 'a', 'r', 'l', 'y'};
  test::writeFileBytes(target_, earlier);
  const Bytes flash = emulator_->flash();
  CommandPort port;
  RecordingView view;
  ReadTransfer read(port, view, PortTarget::comPort(kCom), target_);
  read.setObserver([&](const ReadEvent& ev) {
    if (ev.kind == ReadEvent::Kind::FrameSent && ev.frame == kStopFrame)
      view.log.push_back("stop frame");
  });
  ASSERT_TRUE(read.startRead());
  tickUntil(
      row, port, [&] { return read.finished(); }, [&] { read.onReadTick(*view.timer); });
  EXPECT_EQ(read.succeeded(), !row.notice);
  EXPECT_EQ(read.failure(), row.notice);
  EXPECT_EQ(read.fields().blocksReceived, row.blocks);
  expectTold(row, view);
  // A time-out gives up at exactly the limit.
  EXPECT_EQ(read.fields().answerWaitMs == kWaitLimitMs, told(row, MessageId::NoAnswer2));
  EXPECT_EQ(read.fields().blockWaitMs == kWaitLimitMs, told(row, MessageId::NoAnswer));

  // The start, the claimed type's answer back after every block taken
  // (but into a vanished device), then read complete or the stop frame.
  const int claimed = read.fields().blockCount ? read.fields().tagIndex + 1 : row.receiver.model;
  const unsigned acks = row.vanished && row.blocks ? row.blocks - 1 : row.blocks;
  Frames expected{kStartReadFrame};
  expected.insert(expected.end(), acks, identFrame(claimed));
  if (!row.notice) expected.push_back(kReadCompleteFrame);
  if (row.notice && !row.vanished) expected.push_back(kStopFrame);
  EXPECT_EQ(heard(), expected);

  if (row.notice) {
    EXPECT_EQ(test::readFileBytes(target_), earlier) << "an earlier file stays as it was";
  } else {  // the image of what came, under the claimed tag
    const std::size_t bytes = std::size_t{blocksOf(claimed)} * kBlockSize;
    const Bytes stream = servedStream(options_.faults, flash, blocksOf(claimed));
    EXPECT_TRUE(test::readFileBytes(target_) == withTag(indexOf(claimed), stream, bytes));
  }
  expectOnlyTarget();
}

void FaultMatrix::runUpgrade(const Row& row) {
  const int tagIndex = indexOf(row.receiver.model);
  Bytes flash(std::size_t{blocksOf(row.receiver.model)} * kBlockSize);
  std::mt19937 rng(static_cast<unsigned>(tagIndex));
  for (auto& b : flash) b = static_cast<std::uint8_t>(rng());
  const Bytes image = withTag(tagIndex, flash, flash.size());
  test::writeFileBytes(target_, image);
  CommandPort port;
  RecordingView view;
  UpgradeTransfer upgrade(port, view, PortTarget::comPort(kCom), target_);
  upgrade.setObserver([&](const UpgradeEvent& ev) {
    if (ev.kind == UpgradeEvent::Kind::FrameSent && ev.frame == kStopFrame)
      view.log.push_back("stop frame");
  });
  ASSERT_TRUE(upgrade.begin());
  tickUntil(
      row, port, [&] { return upgrade.finished(); },
      [&] { upgrade.onUpgradeTick(kUpgradeTimerId); });
  EXPECT_EQ(upgrade.succeeded(), !row.notice);
  EXPECT_EQ(upgrade.failure(), row.notice);
  // A model mismatch is the one failure told before the stop frame.
  expectTold(row, view, told(row, MessageId::ModelMismatch));
  EXPECT_EQ(upgrade.waitMs() == kWaitLimitMs, told(row, MessageId::NoAnswer1));
  EXPECT_EQ(upgrade.blocksSent(), static_cast<std::int32_t>(row.blocks));

  Frames expected{kStartUpgradeFrame};
  if (!row.vanished) expected.push_back(kStopFrame);
  EXPECT_EQ(heard(), expected);
  EXPECT_EQ(emulator_->blocksReceived(), row.blocks);
  EXPECT_EQ(emulator_->upgradeComplete(), !row.notice);
  // It took exactly the blocks sent, the rest still erased.
  const Bytes now = emulator_->flash();
  const long took = long(row.blocks * kBlockSize);
  EXPECT_TRUE(std::equal(now.begin(), now.begin() + took, flash.begin()));
  EXPECT_TRUE(std::all_of(now.begin() + took, now.end(), [](auto b) { return b == 0xFF; }));
  EXPECT_TRUE(test::readFileBytes(target_) == image) << "the image is only read";
  expectOnlyTarget();
}

void FaultMatrix::runKeys(const Row& row) {
  const Bytes codes{0x00, 0x1F, 0x06};
  remote::RemoteSession session;
  std::int32_t portIndex = 0;
  ASSERT_FALSE(session.selectPort(kCom, portIndex));
  EXPECT_EQ(portIndex, kCom - 1);
  EXPECT_EQ(session.sendKey(codes[0]), kFrameSize);
  if (row.vanished) {
    ASSERT_TRUE(test::settle(*emulator_, session.port()));
    emulator_->vanish();
    // Nothing arrives and nothing blocks. (Right after the hang-up the
    // driver may still take a frame and drop it: the count isn't asserted.)
    session.sendKey(codes[1]);
    session.sendKey(codes[2]);
    EXPECT_EQ(emulator_->keyCodesReceived(), Bytes{codes[0]});
  } else {
    EXPECT_EQ(session.sendKey(codes[1]), kFrameSize);
    EXPECT_EQ(session.sendKey(codes[2]), kFrameSize);
    ASSERT_TRUE(test::settle(*emulator_, session.port()));
    EXPECT_EQ(heard(), (Frames{keyFrame(codes[0]), keyFrame(codes[1]), keyFrame(codes[2])}));
  }
}

// The job's port is gone; the same COM port opens again and a clean
// handshake succeeds. A vanished device is a port that can't be opened, and
// a receiver plugged in again at the same place works.
void FaultMatrix::expectAlive(const Row& row) {
  int polls = 0;
  if (row.vanished) {
    CommandPort port;
    RecordingView view;
    EXPECT_EQ(handshake(port, view, Drive::LockStep, &polls), ConnectResult::OpenPortError);
    EXPECT_EQ(view.messages, std::vector<Notice>{Notice::openPort(kCom)});
    options_.faults = {};
    emulator_ = std::make_unique<emu::ReceiverEmulator>(options_);
    ASSERT_TRUE(emulator_->start());
  }
  emulator_->setFaults({});
  Frames expected = heard();
  expected.push_back(kConnectFrame);
  CommandPort port;
  RecordingView view;
  EXPECT_EQ(handshake(port, view, Drive::LockStep, &polls), ConnectResult::Connected)
      << "the port was not released, or the receiver was left out of step";
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(heard(), expected);
}

TEST_P(FaultMatrix, EndsAsTheTextSaysAndStaysResponsive) {
  const Row& row = GetParam();
  if (row.job == Job::Connect) runConnect(row);
  if (row.job == Job::Read) runRead(row);
  if (row.job == Job::Upgrade) runUpgrade(row);
  if (row.job == Job::Keys) runKeys(row);
  if (!HasFatalFailure()) expectAlive(row);  // with the job's port gone
}

// ---- the rows --------------------------------------------------------------

std::vector<Row> rows;

Row& add(Job job, Receiver r, const std::string& fault, F faults, std::optional<Notice> notice = {},
         unsigned blocks = 0) {
  static const char* const kJobNames[] = {"Connect", "Read", "Upgrade", "Keys"};
  Row& row = rows.emplace_back();
  row.name = std::string(kJobNames[int(job)]) + "_" + fault + "_Model" + std::to_string(r.model) +
             "_" + std::to_string(blocksOf(r.model)) + "Blocks";
  row.job = job;
  row.receiver = r;
  row.options.modelNumber = r.model;
  row.options.upgradeAnswer = emu::UpgradeAnswer::Rotate;
  row.options.faults = faults;
  row.notice = notice;
  row.blocks = blocks;
  row.vanished = faults.vanish.has_value();
  return row;
}
// A slow line: the emulator paced at `baud`, or taking `turnaroundMs` a block.
void slow(Row& row, int baud, int turnaroundMs = 0) {
  row.options.pace = baud != 0;
  if (baud) row.options.baud = baud;
  row.options.blockTurnaroundMs = turnaroundMs;
  row.drive = Drive::RealTime;
}

std::vector<Row> allRows() {
  const Notice noAnswer = Notice::of(MessageId::NoAnswer);
  const Notice noAnswer1 = Notice::of(MessageId::NoAnswer1);
  const Notice noAnswer2 = Notice::of(MessageId::NoAnswer2);
  for (Receiver r : {kSmall, kLarge}) {
    const Job c = Job::Connect;
    add(c, r, "NoFault", {});
    add(c, r, "SilentAfterStart", {.silence = FaultPoint::afterStart()}, noAnswer).fullAckWait =
        true;
    // Twelve bytes that are not the acknowledgement: the stop at once.
    add(c, r, "WrongAnswer", {.wrongAnswer = true}, noAnswer);
    add(c, r, "OtherModel", {.otherModel = r.otherModel}, noAnswer);
    add(c, r, "SplitAnswer", {.splitPieces = 3, .splitDelayMs = 2});
    // Thirteen or more bytes are never exactly twelve: the wait runs out.
    add(c, r, "SurplusBytes", {.surplusBytes = 5}, noAnswer).fullAckWait = true;
    add(c, r, "VanishAfterStart", {.vanish = FaultPoint::afterStart()}, noAnswer).fullAckWait =
        true;

    // Block numbers near the end: a 512-block transfer goes past 256.
    const unsigned n = blocksOf(r.model), late = n - 56;
    const FaultPoint at = FaultPoint::afterBlock(late);
    const std::string after = "AfterBlock" + std::to_string(late);
    const Job j = Job::Read;
    add(j, r, "NoFault", {}, {}, n);
    add(j, r, "SilentAfterStart", {.silence = FaultPoint::afterStart()}, noAnswer2);
    add(j, r, "Silent" + after, {.silence = at}, noAnswer, late + 1);
    add(j, r, "WrongAnswer", {.wrongAnswer = true}, noAnswer1);
    // The read trusts the type answer: the claimed type's block count
    // (erased beyond its own flash), saved under the claimed tag.
    add(j, r, "OtherModel", {.otherModel = r.otherModel}, {}, blocksOf(r.otherModel));
    add(j, r, "SplitAnswer", {.splitPieces = 4, .splitDelayMs = 2}, {}, n);
    // No framing around a block and no checksum: surplus bytes shift the
    // data, a flipped byte goes unnoticed; the image is the stream as it came.
    add(j, r, "SurplusBytes", {.surplusBytes = 5}, {}, n);
    add(j, r, "CorruptLastByte", {.corruptBlock = n - 1, .corruptOffset = kBlockSize - 1}, {}, n);
    add(j, r, "ShortLastBlock", {.shortBlock = n - 1, .shortBy = 1}, noAnswer, n - 1);
    add(j, r, "VanishAfterStart", {.vanish = FaultPoint::afterStart()}, noAnswer2);
    // Gone once block `late` is taken: its acknowledgement reaches no one.
    add(j, r, "Vanish" + after, {.vanish = at}, noAnswer, late + 1);

    const Job u = Job::Upgrade;
    const Notice group =
        Notice::of(ackGroupOfIndex(indexOf(r.model)) == AckGroup::C ? MessageId::NoAnswerC
                                                                    : MessageId::NoAnswerF);
    // A receiver of another type never gets another block.
    const Notice mismatch = mismatchNotice(indexOf(r.model), indexOf(r.otherModel));
    add(u, r, "NoFault", {}, {}, n);
    add(u, r, "SilentAfterStart", {.silence = FaultPoint::afterStart()}, noAnswer1);
    add(u, r, "Silent" + after, {.silence = at}, noAnswer1, late + 1);
    add(u, r, "WrongAnswer", {.wrongAnswer = true}, group);
    add(u, r, "WrongAnswer" + after, {.wrongAnswer = true, .answerFaultAfterBlock = late}, group,
        late + 1);
    add(u, r, "OtherModel", {.otherModel = r.otherModel}, mismatch);
    add(u, r, "OtherModel" + after, {.otherModel = r.otherModel, .answerFaultAfterBlock = late},
        mismatch, late + 1);
    add(u, r, "OtherGroup", {.otherGroup = true}, group);
    add(u, r, "SplitAnswer", {.splitPieces = 3, .splitDelayMs = 1}, {}, n);
    // One answer (12 bytes) is read a tick: the surplus then leads the next
    // answer, which no longer matches.
    add(u, r, "SurplusBytes", {.surplusBytes = 5}, group, 1);
    add(u, r, "VanishAfterStart", {.vanish = FaultPoint::afterStart()}, noAnswer1);
    add(u, r, "Vanish" + after, {.vanish = at}, noAnswer1, late + 1);

    add(Job::Keys, r, "NoFault", {});
    add(Job::Keys, r, "VanishMidSession", {}).vanished = true;
  }
  // Slow lines on the small receiver: the answer well inside the 2 s of
  // polls; or still arriving when the 200 polls are up.
  slow(add(Job::Connect, kSmall, "SlowLine1200Baud", {}), 1200);
  slow(add(Job::Connect, kSmall, "AnswerBeyondTheWait", {.splitPieces = 2, .splitDelayMs = 8000},
           noAnswer),
       0);
  rows.back().fullAckWait = true;
  slow(add(Job::Keys, kSmall, "SlowLine1200Baud", {}), 1200);
  // Two blocks each, then silence: no block is given up too early.
  for (Job j : {Job::Read, Job::Upgrade}) {
    const Notice silent = j == Job::Read ? noAnswer : noAnswer1;
    slow(add(j, kSmall, "SlowLine38400BaudThenSilent", {.silence = FaultPoint::afterBlock(1)},
             silent, 2),
         38400);  // 1.07 s a block: 21 ticks of the 60
    slow(add(j, kSmall, "Turnaround1500msThenSilent", {.silence = FaultPoint::afterBlock(1)},
             silent, 2),
         0,
         1500);  // 30 ticks of the 60
    slow(add(j, kSmall, "TurnaroundBeyondTheWait", {}, silent, j == Job::Upgrade), 0, 60'000);
  }
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(allRows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
}  // namespace quorvane
