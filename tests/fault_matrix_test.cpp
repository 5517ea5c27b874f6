// Every fault the receiver emulator can inject, against every job it touches
// (connect, read, upgrade, remote keys) and both flash sizes. Each row states
// what the tool must end with: the message, the frames the receiver heard,
// the blocks that crossed the line and the files on disk. After every row the
// job's port is gone, the same COM port opens again and a clean connect
// handshake succeeds.
//
// Ticks are driven directly. Most rows run in lock step (the line settles
// before each tick, so a tick sees everything the receiver has answered).
// The slow-line rows run in real time instead: a tick every 50 ms, skipped
// ahead only while the line is quiet (the emulator idle and everything it
// sent taken), when waiting could change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connection/connect_handshake.h"
#include "receiver_emulator.h"
#include "remote/remote_session.h"
#include "serial/command_port.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/read_transfer.h"
#include "transfer/rom_type.h"
#include "transfer/transfer_view.h"
#include "transfer/upgrade_transfer.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Frames = std::vector<FrameBytes>;
using Clock = std::chrono::steady_clock;

constexpr int kCom = 6;  // the receiver answers as COM6 (through a symlink)
constexpr int kMaxTicks = 5000;

enum class Job { Connect, Read, Upgrade, Keys };

// The two receivers: a 256-block CI receiver (acknowledgement group C) and a
// 512-block Fta receiver (group F).
struct Receiver {
  int model;
  int otherModel;  // the type it claims under the other-model fault
};
constexpr Receiver kSmall{5, 6};  // "CI 29 1", claims "CI 29 2"
constexpr Receiver kLarge{2, 1};  // "Fta 29 2", claims "Fta 29 1"

int indexOf(int model) {
  return model - 1;
}
unsigned blocksOf(int model) {
  return blockCountOfIndex(indexOf(model));
}

enum class Drive { LockStep, RealTime };

enum class FileEffect {
  Untouched,  // an earlier file at the target stays byte-identical, alone
  Image,      // the image of what the receiver served (tag of its answer)
};

struct Expect {
  std::optional<Notice> notice;  // the one message shown; none: no message
  ConnectResult connect = ConnectResult::Connected;
  bool fullAckWait = false;  // connect: all 200 polls before giving up
  unsigned blocks = 0;       // read: blocks taken; upgrade: blocks the receiver took
  unsigned acksHeard = 0;    // read: block acknowledgements the receiver heard
  bool stopHeard = false;    // the receiver heard the stop frame last
  FileEffect file = FileEffect::Untouched;
  bool succeeded = false;  // read/upgrade: the job ended well
  bool vanished = false;   // the device is gone afterwards
};

struct Row {
  std::string name;
  Job job;
  Receiver receiver;
  emu::EmulatorOptions options;  // model, faults, pacing
  Drive drive = Drive::LockStep;
  Expect expect;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

// ---- the front ends ------------------------------------------------------

class RecordingTransferView final : public TransferView {
 public:
  void startTimer(int id, int) override { timer = id; }
  void stopTimer(int id) override {
    if (timer == id) timer.reset();
  }
  void showBlockProgress(unsigned, long long, long long) override {}
  void cancel() override {
    timer.reset();
    log.push_back("cancel");
  }
  void showMessage(const Notice& notice) override {
    messages.push_back(notice);
    log.push_back("message");
  }
  void showUpgradeComplete() override { log.push_back("complete"); }

  std::optional<int> timer;
  std::vector<Notice> messages;
  std::vector<std::string> log;  // cancel, message, stop frame, in order
};

struct RecordingConnectView final : ConnectView {
  void startTimer(int, int) override {}
  void stopTimer(int) override {}
  void showProgress(int) override {}
  void showMessage(const Notice& n) override { messages.push_back(n); }
  void finish(bool ok) override { finished = ok; }
  std::vector<Notice> messages;
  std::optional<bool> finished;
};

// ---- the line ------------------------------------------------------------

// True when nothing can arrive before the tool sends again: the emulator has
// handled all it was sent, has nothing under way, and the port holds every
// byte it sent.
bool lineQuiet(emu::ReceiverEmulator& emulator, SerialPort& port) {
  port.bytesInQueue();
  if (!emulator.waitIdle(2) || !emulator.outputDelivered()) return false;
  port.bytesInQueue();
  return true;
}

// Runs before every tick or poll.
class Pacer {
 public:
  Pacer(Drive drive, int periodMs) : drive_(drive), period_(periodMs) {}
  void beforeStep(emu::ReceiverEmulator& emulator, SerialPort& port) {
    if (drive_ == Drive::LockStep) {
      ASSERT_TRUE(test::settle(emulator, port));
      return;
    }
    next_ += period_;
    if (lineQuiet(emulator, port)) {
      next_ = Clock::now();
      return;
    }
    std::this_thread::sleep_until(next_);
    port.bytesInQueue();
  }

 private:
  Drive drive_;
  std::chrono::milliseconds period_;
  Clock::time_point next_ = Clock::now();
};

Bytes randomFlash(unsigned blocks, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes flash(std::size_t{blocks} * kBlockSize);
  for (auto& b : flash) b = static_cast<std::uint8_t>(rng());
  return flash;
}

Bytes withTag(int tagIndex, const Bytes& flash, std::size_t flashBytes) {
  const auto tag = romType(tagIndex).tagText;
  Bytes image(tag.begin(), tag.end());
  image.insert(image.end(), flash.begin(), flash.begin() + static_cast<long>(flashBytes));
  return image;
}

// The bytes a read receiver puts on the line after its type answer, as the
// emulator serves them (surplus after the answer and after every block, a
// flipped byte), for the blocks of the type it claims.
Bytes servedStream(const emu::EmulatorOptions& o, const Bytes& flash, unsigned blocks) {
  const emu::FaultPlan& f = o.faults;
  Bytes s(f.surplusBytes, emu::kSurplusByte);
  for (unsigned k = 0; k < blocks; ++k) {
    const std::size_t at = std::size_t{k} * kBlockSize;
    Bytes block(kBlockSize, 0xFF);  // beyond its own flash: erased
    if (at + kBlockSize <= flash.size())
      block.assign(flash.begin() + static_cast<long>(at),
                   flash.begin() + static_cast<long>(at + kBlockSize));
    if (static_cast<int>(k) == f.corruptBlock)
      block[f.corruptOffset % kBlockSize] ^= emu::kCorruptMask;
    s.insert(s.end(), block.begin(), block.end());
    s.insert(s.end(), f.surplusBytes, emu::kSurplusByte);
  }
  return s;
}

// Files in `dir` other than the image and the port's link: a temporary
// file left behind would show here.
std::vector<std::string> strayFiles(const std::filesystem::path& dir) {
  std::vector<std::string> stray;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name != "rom.bin" && name != "com6") stray.push_back(name);
  }
  return stray;
}

// ---- the test --------------------------------------------------------------

class FaultMatrix : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    const Row& row = GetParam();
    options_ = row.options;
    options_.linkPath = link_;
    if (row.job == Job::Upgrade)  // an erased receiver, so that what arrives shows
      options_.flash.assign(std::size_t{blocksOf(options_.modelNumber)} * kBlockSize, 0xFF);
    emulator_ = std::make_unique<emu::ReceiverEmulator>(options_);
    ASSERT_TRUE(emulator_->start());
  }

  void runConnect(const Row& row);
  void runRead(const Row& row);
  void runUpgrade(const Row& row);
  void runKeys(const Row& row);
  void expectAlive(const Row& row);

  ConnectResult handshake(CommandPort& port, RecordingConnectView& view, Drive drive,
                          int* polls = nullptr) {
    Pacer pacer(drive, kAckPollIntervalMs);
    ConnectHandshake h(port, view, [&](int ms) {
      if (ms != kAckPollIntervalMs) return;  // the pause after success
      if (polls) ++*polls;
      pacer.beforeStep(*emulator_, port);
    });
    h.start();
    return h.tick(PortTarget::comPort(kCom));
  }

  Frames heard() {
    emulator_->waitIdle();
    return emulator_->framesReceived();
  }

  test::TempDir dir_;
  const std::string link_ = dir_.file("com6");
  test::ScopedEnv com_{portOverrideVariable(kCom), link_};
  emu::EmulatorOptions options_;
  std::unique_ptr<emu::ReceiverEmulator> emulator_;
};

void FaultMatrix::runConnect(const Row& row) {
  const Expect& e = row.expect;
  {
    CommandPort port;
    RecordingConnectView view;
    int polls = 0;
    EXPECT_EQ(handshake(port, view, row.drive, &polls), e.connect);
    if (e.notice) {
      EXPECT_EQ(view.messages, std::vector<Notice>{*e.notice});
    } else {
      EXPECT_TRUE(view.messages.empty());
    }
    EXPECT_EQ(view.finished, e.connect == ConnectResult::Connected);
    const int allPolls = kAckWaitLimitMs / kAckPollIntervalMs;
    if (e.fullAckWait) {
      EXPECT_EQ(polls, allPolls) << "the counted wait runs out";
    } else {
      EXPECT_LT(polls, allPolls) << "no waiting for the rest of the limit";
    }
    Frames expected{kConnectFrame};
    if (e.stopHeard) expected.push_back(kStopFrame);
    EXPECT_EQ(heard(), expected);
  }
  expectAlive(row);
}

void FaultMatrix::runRead(const Row& row) {
  const Expect& e = row.expect;
  const std::string target = dir_.file("rom.bin");
  const Bytes earlier{'e', 'a', 'r', 'l', 'i', 'e', 'r'};
  test::writeFileBytes(target, earlier);
  const Bytes flash = emulator_->flash();
  {
    CommandPort port;
    RecordingTransferView view;
    ReadTransfer read(port, view, PortTarget::comPort(kCom), target);
    read.setObserver([&](const ReadEvent& ev) {
      if (ev.kind == ReadEvent::Kind::FrameSent && ev.frame == kStopFrame)
        view.log.push_back("stop frame");
    });
    ASSERT_TRUE(read.startRead());
    Pacer pacer(row.drive, kTickMs);
    for (int i = 0; i < kMaxTicks && !read.finished(); ++i) {
      pacer.beforeStep(*emulator_, port);
      ASSERT_TRUE(view.timer);
      read.onReadTick(*view.timer);
    }
    ASSERT_TRUE(read.finished());
    EXPECT_EQ(read.succeeded(), e.succeeded);
    EXPECT_EQ(read.failure(), e.notice);
    EXPECT_EQ(read.fields().blocksReceived, e.blocks);
    if (e.notice) {
      EXPECT_EQ(view.messages, std::vector<Notice>{*e.notice});
      const std::vector<std::string> tail(view.log.end() - 3, view.log.end());
      EXPECT_EQ(tail, (std::vector<std::string>{"stop frame", "cancel", "message"}));
      // A time-out gives up at exactly the limit.
      if (e.notice->id == MessageId::NoAnswer2) {
        EXPECT_EQ(read.fields().answerWaitMs, kWaitLimitMs);
      }
      if (e.notice->id == MessageId::NoAnswer) {
        EXPECT_EQ(read.fields().blockWaitMs, kWaitLimitMs);
      }
    } else {
      EXPECT_TRUE(view.messages.empty());
    }

    // What the receiver heard: the start, its own type answer back after
    // every block, then read complete or the stop frame.
    const int claimed = read.fields().blockCount ? read.fields().tagIndex + 1 : row.receiver.model;
    Frames expected{kStartReadFrame};
    expected.insert(expected.end(), e.acksHeard, identFrame(claimed));
    if (e.succeeded) expected.push_back(kReadCompleteFrame);
    if (e.stopHeard) expected.push_back(kStopFrame);
    EXPECT_EQ(heard(), expected);

    if (e.file == FileEffect::Untouched) {
      EXPECT_EQ(test::readFileBytes(target), earlier) << "an earlier file stays as it was";
    } else {
      const unsigned blocks = blocksOf(claimed);
      const Bytes stream = servedStream(options_, flash, blocks);
      ASSERT_GE(stream.size(), std::size_t{blocks} * kBlockSize);
      EXPECT_TRUE(test::readFileBytes(target) ==
                  withTag(indexOf(claimed), stream, std::size_t{blocks} * kBlockSize));
    }
    EXPECT_TRUE(strayFiles(dir_.path()).empty());
  }
  expectAlive(row);
}

void FaultMatrix::runUpgrade(const Row& row) {
  const Expect& e = row.expect;
  const int tagIndex = indexOf(row.receiver.model);
  const Bytes flash = randomFlash(blocksOf(row.receiver.model), static_cast<unsigned>(tagIndex));
  const std::string imagePath = dir_.file("rom.bin");
  const Bytes image = withTag(tagIndex, flash, flash.size());
  test::writeFileBytes(imagePath, image);
  {
    CommandPort port;
    RecordingTransferView view;
    UpgradeTransfer upgrade(port, view, PortTarget::comPort(kCom), imagePath);
    upgrade.setObserver([&](const UpgradeEvent& ev) {
      if (ev.kind == UpgradeEvent::Kind::FrameSent && ev.frame == kStopFrame)
        view.log.push_back("stop frame");
    });
    ASSERT_TRUE(upgrade.begin());
    Pacer pacer(row.drive, kTickMs);
    for (int i = 0; i < kMaxTicks && !upgrade.finished(); ++i) {
      pacer.beforeStep(*emulator_, port);
      upgrade.onUpgradeTick(kUpgradeTimerId);
    }
    ASSERT_TRUE(upgrade.finished());
    EXPECT_EQ(upgrade.succeeded(), e.succeeded);
    EXPECT_EQ(upgrade.failure(), e.notice);
    if (e.notice) {
      EXPECT_EQ(view.messages, std::vector<Notice>{*e.notice});
      const std::vector<std::string> tail(view.log.end() - 3, view.log.end());
      // A model mismatch is the one failure told before the stop frame.
      if (e.notice->id == MessageId::ModelMismatch) {
        EXPECT_EQ(tail, (std::vector<std::string>{"message", "stop frame", "cancel"}));
      } else {
        EXPECT_EQ(tail, (std::vector<std::string>{"stop frame", "cancel", "message"}));
      }
      if (e.notice->id == MessageId::NoAnswer1) {
        EXPECT_EQ(upgrade.waitMs(), kWaitLimitMs);
      }
    } else {
      EXPECT_TRUE(view.messages.empty());
    }
    EXPECT_EQ(upgrade.blocksSent(), static_cast<std::int32_t>(e.blocks));

    Frames expected{kStartUpgradeFrame};
    if (e.stopHeard) expected.push_back(kStopFrame);
    EXPECT_EQ(heard(), expected);
    EXPECT_EQ(emulator_->blocksReceived(), e.blocks);
    if (e.succeeded) {
      EXPECT_TRUE(emulator_->upgradeComplete());
      EXPECT_TRUE(emulator_->flash() == flash);
    } else {
      // What it took is exactly the blocks sent, the rest still erased.
      const Bytes now = emulator_->flash();
      const std::size_t took = std::size_t{e.blocks} * kBlockSize;
      EXPECT_TRUE(std::equal(now.begin(), now.begin() + static_cast<long>(took), flash.begin()));
      EXPECT_TRUE(std::all_of(now.begin() + static_cast<long>(took), now.end(),
                              [](std::uint8_t b) { return b == 0xFF; }));
    }
    EXPECT_TRUE(test::readFileBytes(imagePath) == image) << "the image is only read";
    EXPECT_TRUE(strayFiles(dir_.path()).empty());
  }
  expectAlive(row);
}

void FaultMatrix::runKeys(const Row& row) {
  const Expect& e = row.expect;
  const std::vector<std::uint8_t> codes{0x00, 0x1F, 0x06};
  {
    remote::RemoteSession session;
    std::int32_t portIndex = 0;
    ASSERT_FALSE(session.selectPort(kCom, portIndex));
    EXPECT_EQ(portIndex, kCom - 1);
    EXPECT_EQ(session.sendKey(codes[0]), kFrameSize);
    if (e.vanished) {
      ASSERT_TRUE(test::settle(*emulator_, session.port()));
      emulator_->vanish();
      // Written into a device that is gone: nothing arrives and nothing
      // blocks. (Right after the hang-up the driver may still take a frame
      // and drop it, so the count written is not asserted.)
      session.sendKey(codes[1]);
      session.sendKey(codes[2]);
      EXPECT_EQ(emulator_->keyCodesReceived(), std::vector<std::uint8_t>{codes[0]});
    } else {
      EXPECT_EQ(session.sendKey(codes[1]), kFrameSize);
      EXPECT_EQ(session.sendKey(codes[2]), kFrameSize);
      ASSERT_TRUE(test::settle(*emulator_, session.port()));
      EXPECT_EQ(emulator_->keyCodesReceived(), codes);
      Frames expected;
      for (auto c : codes) expected.push_back(keyFrame(c));
      EXPECT_EQ(heard(), expected);
    }
  }
  expectAlive(row);
}

// The job's port is gone; the same COM port opens again and a clean
// handshake succeeds. A device that vanished is reported as a port that
// can't be opened, and a receiver plugged in again at the same place works.
void FaultMatrix::expectAlive(const Row& row) {
  if (row.expect.vanished) {
    CommandPort port;
    RecordingConnectView view;
    EXPECT_EQ(handshake(port, view, Drive::LockStep), ConnectResult::OpenPortError);
    EXPECT_EQ(view.messages, std::vector<Notice>{Notice::openPort(kCom)});
    emu::EmulatorOptions again = options_;
    again.faults = {};
    emulator_ = std::make_unique<emu::ReceiverEmulator>(again);
    ASSERT_TRUE(emulator_->start());
  }
  emulator_->setFaults({});
  const std::size_t before = heard().size();
  CommandPort port;
  RecordingConnectView view;
  EXPECT_EQ(handshake(port, view, Drive::LockStep), ConnectResult::Connected)
      << "the port was not released, or the receiver was left out of step";
  EXPECT_TRUE(view.messages.empty());
  const Frames after = heard();
  ASSERT_EQ(after.size(), before + 1);
  EXPECT_EQ(after.back(), kConnectFrame);
}

TEST_P(FaultMatrix, EndsAsTheTextSaysAndStaysResponsive) {
  const Row& row = GetParam();
  switch (row.job) {
    case Job::Connect:
      return runConnect(row);
    case Job::Read:
      return runRead(row);
    case Job::Upgrade:
      return runUpgrade(row);
    case Job::Keys:
      return runKeys(row);
  }
}

// ---- the rows --------------------------------------------------------------

const char* jobName(Job job) {
  switch (job) {
    case Job::Connect:
      return "Connect";
    case Job::Read:
      return "Read";
    case Job::Upgrade:
      return "Upgrade";
    case Job::Keys:
      return "Keys";
  }
  return "";
}

Notice msg(MessageId id) {
  return Notice::of(id);
}

// The message of an unexpected upgrade answer for the receiver's group.
Notice noAnswerGroup(Receiver r) {
  return msg(ackGroupOfIndex(indexOf(r.model)) == AckGroup::C ? MessageId::NoAnswerC
                                                              : MessageId::NoAnswerF);
}

struct RowBuilder {
  std::vector<Row> rows;

  Row& add(Job job, Receiver r, const std::string& fault, emu::FaultPlan faults, Expect expect) {
    Row row;
    row.job = job;
    row.receiver = r;
    row.name = std::string(jobName(job)) + "_" + fault + "_Model" + std::to_string(r.model) + "_" +
               std::to_string(blocksOf(r.model)) + "Blocks";
    row.options.modelNumber = r.model;
    row.options.upgradeAnswer = emu::UpgradeAnswer::Rotate;
    row.options.faults = faults;
    row.expect = expect;
    rows.push_back(row);
    return rows.back();
  }
};

emu::FaultPlan plan(const std::function<void(emu::FaultPlan&)>& set) {
  emu::FaultPlan f;
  set(f);
  return f;
}

std::vector<Row> connectRows() {
  RowBuilder b;
  for (Receiver r : {kSmall, kLarge}) {
    const Expect noAnswer{
        .notice = msg(MessageId::NoAnswer), .connect = ConnectResult::NoAnswer, .stopHeard = true};
    Expect timedOut = noAnswer;
    timedOut.fullAckWait = true;
    b.add(Job::Connect, r, "NoFault", {}, {});
    b.add(Job::Connect, r, "SilentAfterStart", plan([](auto& f) { f.silentAfterStart = true; }),
          timedOut);
    // Twelve bytes that are not the acknowledgement: the stop at once.
    b.add(Job::Connect, r, "WrongAnswer", plan([](auto& f) { f.wrongAnswer = true; }), noAnswer);
    b.add(Job::Connect, r, "OtherModel", plan([r](auto& f) { f.otherModel = r.otherModel; }),
          noAnswer);
    b.add(Job::Connect, r, "SplitAnswer", plan([](auto& f) {
            f.splitPieces = 3;
            f.splitDelayMs = 2;
          }),
          {});
    // Thirteen or more bytes are never exactly twelve: the wait runs out.
    b.add(Job::Connect, r, "SurplusBytes", plan([](auto& f) { f.surplusBytes = 5; }), timedOut);
    Expect gone = timedOut;
    gone.stopHeard = false;  // written into a device that is no more
    gone.vanished = true;
    b.add(Job::Connect, r, "VanishAfterStart", plan([](auto& f) { f.vanishAfterBlock = -2; }),
          gone);
  }
  // A slow line whose answer is in well inside the 2 s of polls.
  Row& slow = b.add(Job::Connect, kSmall, "SlowLine1200Baud", {}, {});
  slow.options.pace = true;
  slow.options.baud = 1200;
  slow.drive = Drive::RealTime;
  // An answer that is still arriving when the 200 polls are up.
  Row& late = b.add(Job::Connect, kSmall, "AnswerBeyondTheWait", plan([](auto& f) {
                      f.splitPieces = 2;
                      f.splitDelayMs = 8000;
                    }),
                    {.notice = msg(MessageId::NoAnswer),
                     .connect = ConnectResult::NoAnswer,
                     .fullAckWait = true,
                     .stopHeard = true});
  late.drive = Drive::RealTime;
  return b.rows;
}

std::vector<Row> readRows() {
  RowBuilder b;
  for (Receiver r : {kSmall, kLarge}) {
    const unsigned n = blocksOf(r.model);
    const unsigned other = blocksOf(r.otherModel);
    const Expect whole{
        .notice = {}, .blocks = n, .acksHeard = n, .file = FileEffect::Image, .succeeded = true};
    auto failed = [](MessageId id, unsigned blocks) {
      return Expect{
          .notice = Notice::of(id), .blocks = blocks, .acksHeard = blocks, .stopHeard = true};
    };
    // Block numbers near the end of each flash: a 512-block read goes past
    // the 256 of the small one.
    const int late = static_cast<int>(n) - 56;  // 200 / 456

    b.add(Job::Read, r, "NoFault", {}, whole);
    b.add(Job::Read, r, "SilentAfterStart", plan([](auto& f) { f.silentAfterStart = true; }),
          failed(MessageId::NoAnswer2, 0));
    b.add(Job::Read, r, "SilentAfterBlock" + std::to_string(late),
          plan([late](auto& f) { f.silentAfterBlock = late; }),
          failed(MessageId::NoAnswer, unsigned(late) + 1));
    b.add(Job::Read, r, "WrongAnswer", plan([](auto& f) { f.wrongAnswer = true; }),
          failed(MessageId::NoAnswer1, 0));
    // The read trusts the type answer: it takes the claimed type's block
    // count (beyond its own flash the receiver serves erased blocks) and
    // saves the image under the claimed tag.
    b.add(Job::Read, r, "OtherModel", plan([r](auto& f) { f.otherModel = r.otherModel; }),
          {.notice = {},
           .blocks = other,
           .acksHeard = other,
           .file = FileEffect::Image,
           .succeeded = true});
    b.add(Job::Read, r, "SplitAnswer", plan([](auto& f) {
            f.splitPieces = 4;
            f.splitDelayMs = 2;
          }),
          whole);
    // There is no framing around a block: surplus bytes after the answer
    // and after every block stay queued and shift the data, and the read
    // "succeeds" with an image that is not the flash (see the dedicated test
    // below). The expected image is the stream as it came.
    b.add(Job::Read, r, "SurplusBytes", plan([](auto& f) { f.surplusBytes = 5; }), whole);
    b.add(Job::Read, r, "ShortLastBlock", plan([n](auto& f) {
            f.shortBlock = int(n) - 1;
            f.shortBy = 1;
          }),
          failed(MessageId::NoAnswer, n - 1));
    // No checksum: a flipped byte is not detectable, the image differs from
    // the flash at exactly that byte (see the dedicated test below).
    b.add(Job::Read, r, "CorruptLastByte", plan([n](auto& f) {
            f.corruptBlock = int(n) - 1;
            f.corruptOffset = kBlockSize - 1;
          }),
          whole);
    Expect goneAtStart = failed(MessageId::NoAnswer2, 0);
    goneAtStart.stopHeard = false;
    goneAtStart.vanished = true;
    b.add(Job::Read, r, "VanishAfterStart", plan([](auto& f) { f.vanishAfterBlock = -2; }),
          goneAtStart);
    // The device goes once the tool has taken block `late`: its
    // acknowledgement and the stop frame reach no one.
    Expect gone = failed(MessageId::NoAnswer, unsigned(late) + 1);
    gone.acksHeard = unsigned(late);
    gone.stopHeard = false;
    gone.vanished = true;
    b.add(Job::Read, r, "VanishAfterBlock" + std::to_string(late),
          plan([late](auto& f) { f.vanishAfterBlock = late; }), gone);
  }
  // Slow lines on the small receiver, two blocks each; then it falls silent
  // and the read ends as a silence does. No block is given up too early.
  const Expect slowThenSilent{
      .notice = msg(MessageId::NoAnswer), .blocks = 2, .acksHeard = 2, .stopHeard = true};
  Row& paced = b.add(Job::Read, kSmall, "SlowLine38400BaudThenSilent",
                     plan([](auto& f) { f.silentAfterBlock = 1; }), slowThenSilent);
  paced.options.pace = true;
  paced.options.baud = 38400;  // 1.07 s a block: 21 ticks of the 60
  paced.drive = Drive::RealTime;
  Row& turn = b.add(Job::Read, kSmall, "Turnaround1500msThenSilent",
                    plan([](auto& f) { f.silentAfterBlock = 1; }), slowThenSilent);
  turn.options.blockTurnaroundMs = 1500;  // 30 ticks of the 60
  turn.drive = Drive::RealTime;
  Row& beyond = b.add(Job::Read, kSmall, "TurnaroundBeyondTheWait", {},
                      {.notice = msg(MessageId::NoAnswer), .stopHeard = true});
  beyond.options.blockTurnaroundMs = 60'000;
  beyond.drive = Drive::RealTime;
  return b.rows;
}

std::vector<Row> upgradeRows() {
  RowBuilder b;
  for (Receiver r : {kSmall, kLarge}) {
    const unsigned n = blocksOf(r.model);
    const int late = static_cast<int>(n) - 56;
    auto failed = [](Notice notice, unsigned blocks) {
      return Expect{.notice = notice, .blocks = blocks, .stopHeard = true};
    };
    b.add(Job::Upgrade, r, "NoFault", {},
          {.notice = {}, .blocks = n, .stopHeard = true, .succeeded = true});
    b.add(Job::Upgrade, r, "SilentAfterStart", plan([](auto& f) { f.silentAfterStart = true; }),
          failed(msg(MessageId::NoAnswer1), 0));
    b.add(Job::Upgrade, r, "SilentAfterBlock" + std::to_string(late),
          plan([late](auto& f) { f.silentAfterBlock = late; }),
          failed(msg(MessageId::NoAnswer1), unsigned(late) + 1));
    b.add(Job::Upgrade, r, "WrongAnswer", plan([](auto& f) { f.wrongAnswer = true; }),
          failed(noAnswerGroup(r), 0));
    b.add(Job::Upgrade, r, "WrongAnswerAfterBlock" + std::to_string(late), plan([late](auto& f) {
            f.wrongAnswer = true;
            f.answerFaultAfterBlock = late;
          }),
          failed(noAnswerGroup(r), unsigned(late) + 1));
    // A receiver of another type never gets a block.
    const Notice mismatch = Notice::mismatch(indexOf(r.model), indexOf(r.otherModel));
    b.add(Job::Upgrade, r, "OtherModel", plan([r](auto& f) { f.otherModel = r.otherModel; }),
          failed(mismatch, 0));
    b.add(Job::Upgrade, r, "OtherModelAfterBlock" + std::to_string(late), plan([r, late](auto& f) {
            f.otherModel = r.otherModel;
            f.answerFaultAfterBlock = late;
          }),
          failed(mismatch, unsigned(late) + 1));
    b.add(Job::Upgrade, r, "OtherGroup", plan([](auto& f) { f.otherGroup = true; }),
          failed(noAnswerGroup(r), 0));
    b.add(Job::Upgrade, r, "SplitAnswer", plan([](auto& f) {
            f.splitPieces = 3;
            f.splitDelayMs = 1;
          }),
          {.notice = {}, .blocks = n, .stopHeard = true, .succeeded = true});
    // One answer is read per tick, at most 12 bytes: the first answer is
    // taken, the surplus then leads the next answer, which no longer matches.
    b.add(Job::Upgrade, r, "SurplusBytes", plan([](auto& f) { f.surplusBytes = 5; }),
          failed(noAnswerGroup(r), 1));
    Expect goneAtStart = failed(msg(MessageId::NoAnswer1), 0);
    goneAtStart.stopHeard = false;
    goneAtStart.vanished = true;
    b.add(Job::Upgrade, r, "VanishAfterStart", plan([](auto& f) { f.vanishAfterBlock = -2; }),
          goneAtStart);
    Expect gone = failed(msg(MessageId::NoAnswer1), unsigned(late) + 1);
    gone.stopHeard = false;
    gone.vanished = true;
    b.add(Job::Upgrade, r, "VanishAfterBlock" + std::to_string(late),
          plan([late](auto& f) { f.vanishAfterBlock = late; }), gone);
  }
  const Expect slowThenSilent{.notice = msg(MessageId::NoAnswer1), .blocks = 2, .stopHeard = true};
  Row& paced = b.add(Job::Upgrade, kSmall, "SlowLine38400BaudThenSilent",
                     plan([](auto& f) { f.silentAfterBlock = 1; }), slowThenSilent);
  paced.options.pace = true;
  paced.options.baud = 38400;
  paced.drive = Drive::RealTime;
  Row& turn = b.add(Job::Upgrade, kSmall, "Turnaround1500msThenSilent",
                    plan([](auto& f) { f.silentAfterBlock = 1; }), slowThenSilent);
  turn.options.blockTurnaroundMs = 1500;
  turn.drive = Drive::RealTime;
  Row& beyond = b.add(Job::Upgrade, kSmall, "TurnaroundBeyondTheWait", {},
                      {.notice = msg(MessageId::NoAnswer1), .blocks = 1, .stopHeard = true});
  beyond.options.blockTurnaroundMs = 60'000;
  beyond.drive = Drive::RealTime;
  return b.rows;
}

std::vector<Row> keyRows() {
  RowBuilder b;
  for (Receiver r : {kSmall, kLarge}) {
    b.add(Job::Keys, r, "NoFault", {}, {});
    b.add(Job::Keys, r, "VanishMidSession", {}, {.notice = {}, .vanished = true});
  }
  Row& slow = b.add(Job::Keys, kSmall, "SlowLine1200Baud", {}, {});
  slow.options.pace = true;
  slow.options.baud = 1200;
  return b.rows;
}

std::vector<Row> allRows() {
  std::vector<Row> rows;
  for (auto part : {connectRows(), readRows(), upgradeRows(), keyRows()})
    rows.insert(rows.end(), part.begin(), part.end());
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(allRows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

// ---- what a raw line cannot tell -----------------------------------------

// A read block has no checksum: a byte flipped on the line goes into the
// image unnoticed, and the image differs from the flash at exactly that byte.
TEST(FaultMatrixDetail, CorruptedReadByteIsSavedUnnoticedAtExactlyItsOffset) {
  test::TempDir dir;
  emu::EmulatorOptions options;
  options.modelNumber = kSmall.model;
  options.faults.corruptBlock = 7;
  options.faults.corruptOffset = 123;
  test::StartedEmulator emu(options);
  CommandPort port;
  RecordingTransferView view;
  const std::string target = dir.file("rom.bin");
  ReadTransfer read(port, view, PortTarget::device(emu.path()), target);
  ASSERT_TRUE(read.startRead());
  while (!read.finished()) {
    ASSERT_TRUE(test::settle(emu.emulator, port));
    read.onReadTick(*view.timer);
  }
  EXPECT_TRUE(read.succeeded());
  EXPECT_TRUE(view.messages.empty());
  const Bytes file = test::readFileBytes(target);
  const Bytes clean = withTag(indexOf(kSmall.model), emu.emulator.flash(),
                              std::size_t{blocksOf(kSmall.model)} * kBlockSize);
  ASSERT_EQ(file.size(), clean.size());
  std::vector<std::size_t> differ;
  for (std::size_t i = 0; i < file.size(); ++i)
    if (file[i] != clean[i]) differ.push_back(i);
  EXPECT_EQ(differ, std::vector<std::size_t>{kTagSize + 7 * kBlockSize + 123});
  EXPECT_EQ(file[differ.at(0)], clean[differ.at(0)] ^ emu::kCorruptMask);
}

// Surplus bytes leave together with the answer they follow: a port polled
// as fast as it can be never finds the bare 12-byte answer in between, so a
// connect against such a receiver times out every time rather than by luck.
TEST(FaultMatrixDetail, SurplusBytesNeverArriveApartFromTheirAnswer) {
  emu::EmulatorOptions options;
  options.faults.surplusBytes = 5;
  test::StartedEmulator emu(options);
  CommandPort port;
  ASSERT_TRUE(port.openDevice(emu.path(), kLineSpeed));
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(port.sendFrame(kConnectFrame), kFrameSize);
    unsigned first = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(5); first == 0 && Clock::now() < end;)
      first = port.bytesInQueue();
    ASSERT_EQ(first, kFrameSize + 5) << "connect " << i;
    ASSERT_EQ(test::settleAndTake(emu.emulator, port).size(), kFrameSize + 5);
  }
}

}  // namespace
}  // namespace quorvane
