// Every fault the emulator injects against each job it touches (connect, read, upgrade, keys), on
// both flash sizes (CI 256 blocks: model 5; Fta 512: model 2; other-model claims 6, 1). A row names
// the message, blocks moved, a vanish; its runner checks frames, view calls, files. Ticks under a
// message or after the end do nothing; then COM6 opens again and a clean handshake succeeds. Lock
// step, slow-line rows in real time. After the matrix: pieces, wait limits, cancels, progress.
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
#include "support/recording_view.h"
#include "support/test_support.h"
#include "transfer/read_transfer.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"
#include "transfer/type_query.h"
#include "transfer/upgrade_transfer.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<FrameBytes>;
using test::Log;
using test::RecordingView;
using Clock = std::chrono::steady_clock;
using emu::FaultPoint;

constexpr int kCom = 6;  // the receiver answers as COM6 (through a symlink)
constexpr int kMaxTicks = 5000;

enum class Job { Connect, Read, Upgrade, Keys };

struct Row {
  Job job;
  std::string fault;
  int model;  // the receiver's ModelNumber
  emu::FaultPlan faults = {};
  std::optional<MessageId> told{};  // the one message; none: the job ends well
  unsigned blocks = 0;              // read: blocks taken; upgrade: blocks the receiver took
  bool fullWait = false;            // connect: all 200 polls before giving up
  bool gone = false;                // keys: the device vanishes mid-session
  bool realTime = false;            // a slow line: ticks every 50 ms
  int baud = 0, turnaroundMs = 0;   // the emulator paced at this rate, or this long per block
};

using enum Job;
using enum MessageId;
constexpr auto kNoAck = ConnectNotAcknowledged;
constexpr auto kGroupC = UpgradeAnswerUnexpectedGroupC, kGroupF = UpgradeAnswerUnexpectedGroupF;

const auto blocksOf = [](int model) { return blockCountOfIndex(model - 1); };

// Transfers on both flash sizes; a late fault strikes 56 blocks before the end.
std::vector<Row> makeRows() {
  // clang-format off
  std::vector<Row> rows = {
    // Connect and keys are the same for every type.
    {.job = Connect, .fault = "NoFault", .model = 5},
    {.job = Connect, .fault = "SilentAfterStart", .model = 5, .faults = {.silence = FaultPoint::afterStart()}, .told = kNoAck, .fullWait = true},
    // Twelve bytes that are not the acknowledgement: the stop at once.
    {.job = Connect, .fault = "WrongAnswer", .model = 5, .faults = {.wrongAnswer = true}, .told = kNoAck},
    {.job = Connect, .fault = "OtherModel", .model = 5, .faults = {.otherModel = 6}, .told = kNoAck},
    {.job = Connect, .fault = "SplitAnswer", .model = 5, .faults = {.splitPieces = 3, .splitDelayMs = 2}},
    // Thirteen or more bytes are never exactly twelve: the wait runs out.
    {.job = Connect, .fault = "SurplusBytes", .model = 5, .faults = {.surplusBytes = 5}, .told = kNoAck, .fullWait = true},
    {.job = Connect, .fault = "VanishAfterStart", .model = 5, .faults = {.vanish = FaultPoint::afterStart()}, .told = kNoAck, .fullWait = true},
    // The answer well inside the 2 s of polls; or still arriving when the 200 polls are up.
    {.job = Connect, .fault = "SlowLine1200Baud", .model = 5, .realTime = true, .baud = 1200},
    {.job = Connect, .fault = "AnswerBeyondTheWait", .model = 5, .faults = {.splitPieces = 2, .splitDelayMs = 8000}, .told = kNoAck, .fullWait = true, .realTime = true},
    // Two blocks, then silence, none given up early (a block in 1.07 s: 21 ticks of 60; 1.5 s: 30).
    {.job = Read, .fault = "SlowLine38400BaudThenSilent", .model = 5, .faults = {.silence = FaultPoint::afterBlock(1)}, .told = ReadBlockTimedOut, .blocks = 2, .realTime = true, .baud = 38400},
    {.job = Read, .fault = "Turnaround1500msThenSilent", .model = 5, .faults = {.silence = FaultPoint::afterBlock(1)}, .told = ReadBlockTimedOut, .blocks = 2, .realTime = true, .turnaroundMs = 1500},
    {.job = Read, .fault = "TurnaroundBeyondTheWait", .model = 5, .told = ReadBlockTimedOut, .realTime = true, .turnaroundMs = 60'000},
    {.job = Upgrade, .fault = "SlowLine38400BaudThenSilent", .model = 5, .faults = {.silence = FaultPoint::afterBlock(1)}, .told = UpgradeAnswerTimedOut, .blocks = 2, .realTime = true, .baud = 38400},
    {.job = Upgrade, .fault = "Turnaround1500msThenSilent", .model = 5, .faults = {.silence = FaultPoint::afterBlock(1)}, .told = UpgradeAnswerTimedOut, .blocks = 2, .realTime = true, .turnaroundMs = 1500},
    {.job = Upgrade, .fault = "TurnaroundBeyondTheWait", .model = 5, .told = UpgradeAnswerTimedOut, .blocks = 1, .realTime = true, .turnaroundMs = 60'000},
    {.job = Keys, .fault = "NoFault", .model = 5},
    {.job = Keys, .fault = "VanishMidSession", .model = 5, .gone = true},
    {.job = Keys, .fault = "SlowLine1200Baud", .model = 5, .realTime = true, .baud = 1200},
  };
  for (const int m : {5, 2}) {
    const unsigned n = blocksOf(m), late = n - 56;  // block 200 of 256, 456 of 512
    const std::string at = std::to_string(late);
    const int other = m == 5 ? 6 : 1;  // the neighbouring type, of the other flash size
    const MessageId group = m == 5 ? kGroupC : kGroupF;
    rows.insert(rows.end(), {
      {.job = Read, .fault = "NoFault", .model = m, .blocks = n},
      {.job = Read, .fault = "SilentAfterStart", .model = m, .faults = {.silence = FaultPoint::afterStart()}, .told = ReadTypeAnswerTimedOut},
      {.job = Read, .fault = "SilentAfterBlock" + at, .model = m, .faults = {.silence = FaultPoint::afterBlock(late)}, .told = ReadBlockTimedOut, .blocks = late + 1},
      {.job = Read, .fault = "WrongAnswer", .model = m, .faults = {.wrongAnswer = true}, .told = ReadTypeAnswerWrong},
      // Trusts the type answer: the claimed type's blocks (erased past its flash), under its tag.
      {.job = Read, .fault = "OtherModel", .model = m, .faults = {.otherModel = other}, .blocks = blocksOf(other)},
      {.job = Read, .fault = "SplitAnswer", .model = m, .faults = {.splitPieces = 4, .splitDelayMs = 2}, .blocks = n},
      // No framing, no checksum: surplus shifts the data, a flipped byte passes; saved as it came.
      {.job = Read, .fault = "SurplusBytes", .model = m, .faults = {.surplusBytes = 5}, .blocks = n},
      {.job = Read, .fault = "CorruptLastByte", .model = m, .faults = {.corruptBlock = n - 1, .corruptOffset = kBlockSize - 1}, .blocks = n},
      {.job = Read, .fault = "ShortLastBlock", .model = m, .faults = {.shortBlock = n - 1, .shortBy = 1}, .told = ReadBlockTimedOut, .blocks = n - 1},
      {.job = Read, .fault = "VanishAfterStart", .model = m, .faults = {.vanish = FaultPoint::afterStart()}, .told = ReadTypeAnswerTimedOut},
      // Gone once the late block is taken: its acknowledgement reaches no one.
      {.job = Read, .fault = "VanishAfterBlock" + at, .model = m, .faults = {.vanish = FaultPoint::afterBlock(late)}, .told = ReadBlockTimedOut, .blocks = late + 1},
      // A receiver of another type never gets another block.
      {.job = Upgrade, .fault = "NoFault", .model = m, .blocks = n},
      {.job = Upgrade, .fault = "SilentAfterStart", .model = m, .faults = {.silence = FaultPoint::afterStart()}, .told = UpgradeAnswerTimedOut},
      {.job = Upgrade, .fault = "SilentAfterBlock" + at, .model = m, .faults = {.silence = FaultPoint::afterBlock(late)}, .told = UpgradeAnswerTimedOut, .blocks = late + 1},
      {.job = Upgrade, .fault = "WrongAnswer", .model = m, .faults = {.wrongAnswer = true}, .told = group},
      {.job = Upgrade, .fault = "WrongAnswerAfterBlock" + at, .model = m, .faults = {.wrongAnswer = true, .answerFaultAfterBlock = late}, .told = group, .blocks = late + 1},
      {.job = Upgrade, .fault = "OtherModel", .model = m, .faults = {.otherModel = other}, .told = ReceiverModelMismatch},
      {.job = Upgrade, .fault = "OtherModelAfterBlock" + at, .model = m, .faults = {.otherModel = other, .answerFaultAfterBlock = late}, .told = ReceiverModelMismatch, .blocks = late + 1},
      {.job = Upgrade, .fault = "OtherGroup", .model = m, .faults = {.otherGroup = true}, .told = group},
      {.job = Upgrade, .fault = "SplitAnswer", .model = m, .faults = {.splitPieces = 3, .splitDelayMs = 1}, .blocks = n},
      // One 12-byte answer read a tick: the surplus then leads the next one, which no longer fits.
      {.job = Upgrade, .fault = "SurplusBytes", .model = m, .faults = {.surplusBytes = 5}, .told = group, .blocks = 1},
      {.job = Upgrade, .fault = "VanishAfterStart", .model = m, .faults = {.vanish = FaultPoint::afterStart()}, .told = UpgradeAnswerTimedOut},
      {.job = Upgrade, .fault = "VanishAfterBlock" + at, .model = m, .faults = {.vanish = FaultPoint::afterBlock(late)}, .told = UpgradeAnswerTimedOut, .blocks = late + 1},
    });
  }
  return rows;
  // clang-format on
}

const auto vanishes = [](const Row& row) { return row.gone || row.faults.vanish.has_value(); };
std::optional<Notice> noticeOf(const Row& row) {
  if (!row.told) return std::nullopt;
  if (*row.told == ReceiverModelMismatch)
    return mismatchNotice(row.model - 1, row.faults.otherModel.value_or(0) - 1);
  return Notice::of(*row.told);
}
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.fault;
}

Bytes withTag(int tagIndex, const Bytes& flash, std::size_t flashBytes) {
  const auto tag = romType(tagIndex).tagText;
  Bytes image(tag.begin(), tag.end());
  image.insert(image.end(), flash.begin(), flash.begin() + static_cast<long>(flashBytes));
  return image;
}

// A read receiver's stream after its type answer, as served (surplus, flipped byte, erased blocks).
Bytes servedStream(const emu::FaultPlan& f, const Bytes& flash, unsigned blocks) {
  Bytes s(f.surplusBytes, emu::kSurplusByte);
  for (unsigned k = 0; k < blocks; ++k) {
    const std::size_t at = std::size_t{k} * kBlockSize;
    Bytes block(kBlockSize, 0xFF);
    if (at + kBlockSize <= flash.size())
      block.assign(flash.begin() + long(at), flash.begin() + long(at + kBlockSize));
    if (static_cast<int>(k) == f.corruptBlock) block[f.corruptOffset] ^= emu::kCorruptMask;
    s.insert(s.end(), block.begin(), block.end());
    s.insert(s.end(), f.surplusBytes, emu::kSurplusByte);
  }
  return s;
}

// The receiver emulator behind COM6 and the ways to drive a machine against it.
struct Receiver : ::testing::Test {
  void startReceiver() {
    options_.linkPath = link_;
    emulator_ = std::make_unique<emu::ReceiverEmulator>(options_);
    ASSERT_TRUE(emulator_->start());
  }
  // Runs before every tick or poll; `next` paces the real-time rows.
  void pace(bool realTime, SerialPort& port, Clock::time_point& next, int periodMs) {
    ASSERT_TRUE(realTime || test::settle(*emulator_, port));
    if (!realTime) return;
    next += std::chrono::milliseconds(periodMs);
    port.bytesInQueue();
    if (emulator_->waitIdle(2) && emulator_->outputDelivered())
      next = Clock::now();  // nothing can arrive: no need to wait
    else
      std::this_thread::sleep_until(next);
    port.bytesInQueue();
  }
  // The handshake whole in one tick, as the dialog runs it.
  Outcome connectWhole(CommandPort& port, RecordingView& view) {
    Clock::time_point next;
    ConnectHandshake handshake(port, view, kTarget, [&](int ms) {
      if (ms == kAckPollIntervalMs) pace(false, port, next, ms);
    });
    view.watch(handshake);
    handshake.start();
    handshake.tick(kConnectTimerId);
    return handshake.outcome();
  }
  // Ticks (lock step or real time) until the end; ticks under a message or after it do nothing.
  void tickUntilFinished(SerialPort& port, TickMachine& machine, RecordingView& view,
                         bool realTime = false) {
    const auto lateTicks = [&machine] {
      for (int i = 0; i < 70; ++i)
        for (int id : {kAnswerTimerId, kBlockTimerId}) machine.tick(id);
    };
    view.onLine = [before = view.onLine, lateTicks](const std::string& line) {
      const bool message = line.starts_with("message");
      if (before) before(line);
      if (message) lateTicks();
    };
    Clock::time_point next = Clock::now();
    for (int i = 0; i < kMaxTicks && !machine.finished(); ++i) {
      pace(realTime, port, next, kTickMs);
      machine.tick(view.timer());
    }
    ASSERT_TRUE(machine.finished());
    const Log logged = view.log;
    lateTicks();
    EXPECT_EQ(view.log, logged);
  }
  // `times` ticks of timer `timerId`, each once the line has settled.
  void tick(TickMachine& machine, SerialPort& port, int timerId, int times = 1) {
    for (int i = 0; i < times; ++i) {
      ASSERT_TRUE(test::settle(*emulator_, port));
      machine.tick(timerId);
    }
  }
  Frames heard() {
    emulator_->waitIdle();
    return emulator_->framesReceived();
  }
  void expectOnlyTarget() {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "rom.bin" || name == "com6" || name == "saved.bin") << name;
    }
  }

  static inline const PortTarget kTarget = PortTarget::comPort(kCom);
  test::TempDir dir_;
  const std::string link_ = dir_.file("com6");
  const std::string target_ = dir_.file("rom.bin");
  const std::string saved_ = dir_.file("saved.bin");  // the receiver's flash once upgraded
  test::ScopedEnv com_{portOverrideVariable(kCom), link_};
  emu::EmulatorOptions options_;
  std::unique_ptr<emu::ReceiverEmulator> emulator_;
};

struct FaultMatrix : Receiver, ::testing::WithParamInterface<Row> {
  void SetUp() override {
    const Row& row = GetParam();
    options_.modelNumber = row.model;
    options_.upgradeAnswer = emu::UpgradeAnswer::Rotate;
    options_.faults = row.faults;
    options_.pace = row.baud != 0;
    if (row.baud) options_.baud = row.baud;
    options_.blockTurnaroundMs = row.turnaroundMs;
    if (row.job == Job::Upgrade) {  // an erased receiver, so that what arrives shows
      options_.flash.assign(std::size_t{blocksOf(row.model)} * kBlockSize, 0xFF);
      options_.saveFlashTo = saved_;
    }
    startReceiver();
  }
  // Stepped as an event loop runs it: 10 ms polls (all 200 if the wait runs out), or one pause.
  void runConnect(const Row& row) {
    CommandPort port;
    RecordingView view;
    ConnectHandshake handshake(port, view, kTarget);
    view.watch(handshake);
    handshake.start();
    std::vector<int> waits;
    Clock::time_point next = Clock::now();
    for (std::optional<int> wait = handshake.step(); wait; wait = handshake.step()) {
      waits.push_back(*wait);
      if (*wait == kAckPollIntervalMs) pace(row.realTime, port, next, *wait);
    }
    const long polls = std::count(waits.begin(), waits.end(), kAckPollIntervalMs);
    EXPECT_EQ(polls == kAckPollLimit, row.fullWait) << polls << " polls";
    EXPECT_EQ(std::vector<int>(waits.begin() + polls, waits.end()),
              row.told ? std::vector<int>{} : std::vector<int>{kConnectSuccessPauseMs});
    // The timer is stopped before anything else: no tick arrives under a message.
    Log want{"bar 60", "start timer 1 200ms", "stop timer 1", "sent connect request"};
    if (row.told)
      want.insert(want.end(), {"sent stop", "message " + noticeText(*noticeOf(row)),
                               "finish cancel", "finished failed"});
    else
      want.insert(want.end(), {"bar 100", "finish ok", "finished succeeded"});
    EXPECT_EQ(view.only({"bar", "start", "stop", "sent", "message", "finish"}), want);
    Frames expected{kConnectFrame};
    if (row.told && !vanishes(row)) expected.push_back(kStopFrame);
    EXPECT_EQ(heard(), expected);
  }
  void runRead(const Row& row) {
    const Bytes earlier(3'000'000, 'e');  // longer than any image: replaced whole
    test::writeFileBytes(target_, earlier);
    const Bytes flash = emulator_->flash();
    CommandPort port;
    RecordingView view;
    ReadTransfer read(port, view, kTarget, target_);
    view.watch(read);
    // The image is written after read complete, with no timer left to tick.
    view.onLine = [&](const std::string& line) {
      const bool early = line == "sent read complete" || line == "stop timer 2";
      EXPECT_TRUE(!early || test::readFileBytes(target_) == earlier) << line;
    };
    read.start();
    ASSERT_FALSE(read.finished());
    tickUntilFinished(port, read, view, row.realTime);
    EXPECT_EQ(read.succeeded(), !row.told);
    EXPECT_EQ(read.failure(), noticeOf(row));
    EXPECT_EQ(read.fields().blocksReceived, row.blocks);
    expectTold(row, view);
    // A time-out gives up exactly at the limit, a vanished device too (the dialogs' counted waits).
    EXPECT_EQ(read.fields().answerWait.expired(), row.told == ReadTypeAnswerTimedOut);
    EXPECT_EQ(read.fields().blockWait.expired(), row.told == ReadBlockTimedOut);

    // The start, the claimed type's answer per block (not into a vanished device), complete or
    // stop.
    const int claimed = read.fields().blockCount ? read.fields().tagIndex + 1 : row.model;
    const unsigned acks = vanishes(row) && row.blocks ? row.blocks - 1 : row.blocks;
    Frames expected{kStartReadFrame};
    expected.insert(expected.end(), acks, identFrame(claimed));
    if (!row.told) expected.push_back(kReadCompleteFrame);
    if (row.told && !vanishes(row)) expected.push_back(kStopFrame);
    EXPECT_EQ(heard(), expected);

    if (row.told) {
      EXPECT_EQ(test::readFileBytes(target_), earlier) << "an earlier file stays as it was";
    } else {  // the image of what came, under the claimed tag
      const std::size_t bytes = std::size_t{blocksOf(claimed)} * kBlockSize;
      const Bytes stream = servedStream(options_.faults, flash, blocksOf(claimed));
      EXPECT_TRUE(test::readFileBytes(target_) == withTag(claimed - 1, stream, bytes));
      EXPECT_EQ(view.only({"sent read complete", "stop timer", "cancel", "finished"}),
                (Log{"stop timer 1", "sent read complete", "stop timer 2", "cancel",
                     "finished succeeded"}));
      EXPECT_EQ(view.only({"progress"}).back(),
                "progress 100% " + blockCounterText(row.blocks, row.blocks));
    }
    expectOnlyTarget();
  }
  void runUpgrade(const Row& row) {
    const int tagIndex = row.model - 1;
    Bytes flash(std::size_t{blocksOf(row.model)} * kBlockSize);
    std::mt19937 rng(static_cast<unsigned>(tagIndex));
    for (auto& b : flash) b = static_cast<std::uint8_t>(rng());
    const Bytes image = withTag(tagIndex, flash, flash.size());
    test::writeFileBytes(target_, image);
    CommandPort port;
    RecordingView view;
    UpgradeTransfer upgrade(port, view, kTarget, target_);
    view.watch(upgrade);
    upgrade.start();
    ASSERT_FALSE(upgrade.finished());
    tickUntilFinished(port, upgrade, view, row.realTime);
    EXPECT_EQ(upgrade.succeeded(), !row.told);
    EXPECT_EQ(upgrade.failure(), noticeOf(row));
    // A model mismatch is the one failure told before the stop frame.
    expectTold(row, view, row.told == ReceiverModelMismatch);
    EXPECT_EQ(upgrade.answerWait().expired(), row.told == UpgradeAnswerTimedOut);
    EXPECT_EQ(upgrade.blocksSent(), static_cast<std::int32_t>(row.blocks));
    if (!row.told) {
      EXPECT_EQ(view.only({"complete", "sent stop", "stop timer"}),
                (Log{"complete", "sent stop", "stop timer 1"}));
      EXPECT_EQ(view.only({"progress"}).back(),
                "progress 100% " + blockCounterText(row.blocks, row.blocks));
    }

    Frames expected{kStartUpgradeFrame};
    if (!vanishes(row)) expected.push_back(kStopFrame);
    EXPECT_EQ(heard(), expected);
    EXPECT_EQ(emulator_->blocksReceived(), row.blocks);
    EXPECT_EQ(emulator_->upgradeComplete(), !row.told);
    // It took exactly the blocks sent, the rest still erased.
    const Bytes now = emulator_->flash();
    const long took = long(row.blocks * kBlockSize);
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + took, flash.begin()));
    EXPECT_TRUE(std::all_of(now.begin() + took, now.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_TRUE(test::readFileBytes(saved_) == (row.told ? Bytes{} : flash))
        << "saved once complete";
    EXPECT_TRUE(test::readFileBytes(target_) == image) << "the image is only read";
    expectOnlyTarget();
  }
  void runKeys(const Row& row) {
    const Bytes codes{0x00, 0x1F, 0x06};
    remote::RemoteSession session;
    std::int32_t portIndex = 0;
    ASSERT_FALSE(session.selectPort(kCom, portIndex));
    EXPECT_EQ(portIndex, kCom - 1);
    EXPECT_EQ(session.sendKey(codes[0]), kFrameSize);
    if (vanishes(row)) {
      ASSERT_TRUE(test::settle(*emulator_, session.port()));
      emulator_->vanish();
      // Nothing arrives or blocks (the driver may still take a frame right after the hang-up).
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
  // Then the COM port opens again for a clean handshake; after a vanish once plugged in again.
  void expectAlive(const Row& row) {
    if (vanishes(row)) {
      CommandPort port;
      RecordingView view;
      EXPECT_EQ(connectWhole(port, view), Outcome::Failed);
      EXPECT_EQ(view.only({"sent", "message", "finish"}),
                (Log{"message open port6 error!", "finish cancel", "finished failed"}));
      EXPECT_FALSE(port.isOpen());
      options_.faults = {};
      startReceiver();
    }
    emulator_->setFaults({});
    Frames expected = heard();
    expected.push_back(kConnectFrame);
    CommandPort port;
    RecordingView view;
    EXPECT_EQ(connectWhole(port, view), Outcome::Succeeded)
        << "the port was not released, or the receiver was left out of step";
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(heard(), expected);
  }

  // The one message, told after the stop frame and the cancel (or before).
  static void expectTold(const Row& row, const RecordingView& view, bool messageFirst = false) {
    const std::optional<Notice> notice = noticeOf(row);
    EXPECT_EQ(view.messages, notice ? std::vector{*notice} : std::vector<Notice>{});
    if (!notice) return;
    Log want{"sent stop", "cancel"};  // the stop goes out even into a vanished device
    want.insert(messageFirst ? want.begin() : want.end(), "message " + noticeText(*notice));
    const Log told = view.only({"sent stop", "cancel", "message"});
    EXPECT_EQ(Log(told.end() - std::min<long>(3, long(told.size())), told.end()), want);
  }
};

TEST_P(FaultMatrix, EndsAsTheTextSaysAndStaysResponsive) {
  const Row& row = GetParam();
  if (row.job == Job::Connect) runConnect(row);
  if (row.job == Job::Read) runRead(row);
  if (row.job == Job::Upgrade) runUpgrade(row);
  if (row.job == Job::Keys) runKeys(row);
  if (!HasFatalFailure()) expectAlive(row);  // with the job's port gone
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
  static const char* const kJobs[] = {"Connect", "Read", "Upgrade", "Keys"};
  const Row& r = info.param;
  return std::string(kJobs[int(r.job)]) + "_" + r.fault + "_Model" + std::to_string(r.model) + "_" +
         std::to_string(blocksOf(r.model)) + "Blocks";
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(makeRows()), rowName);

using Machines = Receiver;

// The counter from "0/0 blocks" on; a cancel tells the receiver nothing and keeps the earlier file.
TEST_F(Machines, ReadCountsItsBlocksAndACancelSendsAndWritesNothing) {
  options_.modelNumber = 1;
  startReceiver();
  test::writeFileBytes(target_, {1, 2, 3});
  CommandPort port;
  RecordingView view;
  ReadTransfer read(port, view, kTarget, target_);
  view.watch(read);
  read.start();
  while (read.fields().blocksReceived < 3) tick(read, port, view.timer());
  EXPECT_EQ(view.only({"progress"}), (Log{"progress 0% 0/0 blocks", "progress 0% 1/256 blocks",
                                          "progress 0% 2/256 blocks", "progress 1% 3/256 blocks"}));
  read.abandon();
  const Log logged = view.log;
  tick(read, port, kBlockTimerId);
  EXPECT_EQ(logged.back(), "finished cancelled");
  EXPECT_EQ(view.log, logged);
  EXPECT_EQ(heard(), (Frames{kStartReadFrame, identFrame(1), identFrame(1), identFrame(1)}));
  EXPECT_EQ(test::readFileBytes(target_), (Bytes{1, 2, 3}));
}

// The type asked as a read starts: a verdict for every answer, the stop frame once and nothing else
// sent, what the receiver had sent of block 0 dropped while the line falls quiet.
TEST_F(Machines, TypeQueryStopsTheReadAndGivesAVerdictForEveryAnswer) {
  using enum TypeVerdict;
  struct Case {
    emu::FaultPlan faults;
    TypeVerdict verdict;
    std::vector<Notice> told = {};
    bool chatter = false;  // a byte before every tick while the line should fall quiet
  };
  const Case cases[] = {{{}, Fits},
                        {{.silence = FaultPoint::afterStart()}, NoAnswer},
                        {{.wrongAnswer = true}, NoType},
                        {{.otherModel = 6}, OtherType, {mismatchNotice(4, 5)}},
                        {{}, KeptSending, {}, true}};
  for (const Case& c : cases) {
    const std::string what = std::to_string(int(c.verdict));
    options_.modelNumber = 5;
    options_.faults = c.faults;
    startReceiver();
    CommandPort port;
    RecordingView view;
    TypeQuery query(port, static_cast<TransferView&>(view), kTarget, 4);
    view.watch(query);
    query.start();
    for (int i = 0; i < kMaxTicks && !query.finished(); ++i) {
      if (c.chatter && query.settling()) emulator_->sendRaw({0x55});
      tick(query, port, view.timer());
    }
    EXPECT_EQ(query.verdict(), c.verdict) << what;
    EXPECT_EQ(query.succeeded(), c.verdict <= NoType) << what;
    EXPECT_EQ(view.messages, c.told) << what;
    EXPECT_EQ(query.receiverTag(), c.verdict == Fits || c.chatter ? std::optional(4)
                                   : c.verdict == OtherType       ? std::optional(5)
                                                                  : std::nullopt);
    EXPECT_TRUE(view.timers.empty()) << what;
    EXPECT_EQ(heard(), (Frames{kStartReadFrame, kStopFrame})) << what;
    if (c.verdict == Fits) {
      EXPECT_EQ(query.bytesDropped(), kBlockSize);
    }
  }
}

// Pieces are taken in the tick that completes them; each wait gives up on its 60th empty tick.
struct InPieces : Receiver {
  void SetUp() override {
    options_.modelNumber = 2;
    options_.faults = {.silence = emu::FaultPoint::afterStart()};
    startReceiver();
  }
  void put(const Bytes& bytes, std::size_t from, std::size_t to) {
    emulator_->sendRaw({bytes.begin() + long(from), bytes.begin() + long(to)});
  }
  CommandPort port;
  RecordingView view;
};

// The answer's tail arrives with block 0's start.
TEST_F(InPieces, ReadTakesTheAnswerAndABlockWhenWholeAndAcknowledgesInTheSameTick) {
  ReadTransfer read(port, view, kTarget, target_);
  view.watch(read);
  read.start();
  const FrameBytes answer = identFrame(2);
  Bytes line(answer.begin(), answer.end());  // the answer, block 0, half of block 1
  for (std::size_t i = 0; i < kBlockSize + 2048; ++i) line.push_back(std::uint8_t(i * 7));
  // 11 bytes; the last byte and 1000 of block 0; one byte short: still waiting.
  const std::size_t ends[] = {kFrameSize - 1, kFrameSize + 1000, kFrameSize + kBlockSize - 1};
  for (std::size_t k = 0; k < 3; ++k) {
    put(line, k ? ends[k - 1] : 0, ends[k]);
    tick(read, port, view.timer());
  }
  EXPECT_EQ(read.fields().blocksReceived, 0u);
  put(line, ends[2], line.size());  // the last byte, and half of block 1
  tick(read, port, view.timer());
  EXPECT_EQ(Log(view.log.end() - 3, view.log.end()),
            (Log{"block 0", "sent " + describeFrame(answer), "progress 0% 1/512 blocks"}));
  EXPECT_TRUE(
      Bytes(read.fields().flashData.begin(), read.fields().flashData.begin() + kBlockSize) ==
      Bytes(line.begin() + kFrameSize, line.end() - 2048));
  tick(read, port, kBlockTimerId, 59);
  EXPECT_FALSE(read.finished());
  tick(read, port, kBlockTimerId);
  EXPECT_EQ(Log(view.log.end() - 4, view.log.end()),
            (Log{"sent stop", "cancel", "message no answer\xEF\xBC\x81", "finished failed"}));
}

// Each block gets its own 60 ticks.
TEST_F(InPieces, UpgradeTakesTheAnswerWhenWholeAndWaits60TicksForEachBlock) {
  ASSERT_FALSE(writeImage(target_, 1, 512, emu::patternFlash(2).data()));
  UpgradeTransfer upgrade(port, view, kTarget, target_);
  view.watch(upgrade);
  upgrade.start();
  const Bytes ack(kAckFrame.begin(), kAckFrame.end());
  put(ack, 0, 5);
  tick(upgrade, port, kUpgradeTimerId, 58);  // the last with 5 bytes waiting
  EXPECT_EQ(upgrade.blocksSent(), 0);
  put(ack, 5, kFrameSize);
  tick(upgrade, port, kUpgradeTimerId);  // the 59th
  EXPECT_EQ(upgrade.blocksSent(), 1);
  tick(upgrade, port, kUpgradeTimerId, 59);  // then silence: 59 ticks pass, the 60th gives up
  EXPECT_FALSE(upgrade.finished());
  tick(upgrade, port, kUpgradeTimerId);
  EXPECT_EQ(view.only({"start", "progress", "sent stop", "cancel", "message"}),
            (Log{"progress 0% 0/0 blocks", "start timer 1 50ms", "progress 0% 0/512 blocks",
                 "sent stop", "cancel", "message no answer1\xEF\xBC\x81"}));
}

}  // namespace
}  // namespace quorvane
