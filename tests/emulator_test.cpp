// The receiver emulator seen from the tool's side of a real pseudo-terminal:
// every exchange byte for byte, every fault, pacing, the command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "emulator_options.h"
#include "receiver_emulator.h"
#include "serial/command_port.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/model_check.h"

namespace quorvane {
namespace {

using emu::EmulatorOptions;
using emu::FaultPlan;
using emu::ReceiverEmulator;
using Bytes = std::vector<std::uint8_t>;

Bytes frameBytes(const FrameBytes& f) {
  return Bytes(f.begin(), f.end());
}
Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes blockOf(const Bytes& flash, unsigned k) {
  return Bytes(flash.begin() + long(k * kBlockSize), flash.begin() + long((k + 1) * kBlockSize));
}

// One emulator and the tool's port on it.
struct Line {
  explicit Line(EmulatorOptions o = {}) : emu(std::move(o)) {
    EXPECT_TRUE(emu.emulator.start());
    EXPECT_EQ(port.openDevice(emu.path(), kLineSpeed), 1);
  }
  Bytes send(const FrameBytes& f) {
    EXPECT_EQ(port.sendFrame(f), kFrameSize);
    return test::settleAndTake(emu.emulator, port);
  }
  Bytes sendBlock(const Bytes& b) {
    EXPECT_EQ(port.write(b.data(), unsigned(b.size())), b.size());
    return test::settleAndTake(emu.emulator, port);
  }
  test::StartedEmulator emu;
  CommandPort port;
};

EmulatorOptions model(int n) {
  EmulatorOptions o;
  o.modelNumber = n;
  return o;
}

TEST(EmulatorSession, ConnectReadUpgradeKeysAcrossReopenedPorts) {
  test::TempDir dir;
  EmulatorOptions o = model(5);  // "CI 29 1": 256 blocks, group C
  o.upgradeAnswer = emu::UpgradeAnswer::Rotate;
  o.saveFlashTo = dir.file("saved.bin");
  Line line(o);
  ReceiverEmulator& e = line.emu.emulator;
  const Bytes flash = e.flash();
  ASSERT_EQ(flash, emu::patternFlash(5));

  EXPECT_EQ(line.send(kConnectFrame), frameBytes(kAckFrame));
  ASSERT_EQ(line.port.sendFrame(kConnectFrame), kFrameSize);
  EXPECT_TRUE(line.port.waitAck());

  // Read: IdentFrame and block 0 at once, then one block per acknowledgement.
  EXPECT_EQ(line.send(kStartReadFrame), cat(frameBytes(identFrame(5)), blockOf(flash, 0)));
  for (unsigned k = 1; k < 256; ++k) ASSERT_EQ(line.send(identFrame(5)), blockOf(flash, k)) << k;
  EXPECT_TRUE(line.send(identFrame(5)).empty());  // the last block's acknowledgement
  EXPECT_TRUE(line.send(kReadCompleteFrame).empty());
  EXPECT_EQ(e.blocksSent(), 256u);

  // The tool closes and reopens the device: the emulator keeps serving.
  line.port.close();
  ASSERT_EQ(line.port.openDevice(e.devicePath(), kLineSpeed), 1);
  const auto& acks = ackFramesOf(AckGroup::C);
  EXPECT_EQ(line.send(kStartUpgradeFrame), frameBytes(acks[0]));
  Bytes image(256 * kBlockSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::uint8_t(i * 7 + i / 4096);
  for (unsigned k = 0; k < 256; ++k) {
    ASSERT_FALSE(e.upgradeComplete());
    ASSERT_EQ(line.sendBlock(blockOf(image, k)), frameBytes(acks[(k + 1) % 3])) << k;
  }
  EXPECT_TRUE(e.upgradeComplete());
  EXPECT_EQ(e.blocksReceived(), 256u);
  EXPECT_TRUE(line.send(kStopFrame).empty());
  EXPECT_EQ(e.flash(), image);
  EXPECT_EQ(test::readFileBytes(dir.file("saved.bin")), image);

  EXPECT_TRUE(line.send(keyFrame(0x1D)).empty());
  EXPECT_TRUE(line.send(keyFrame(0x00)).empty());
  EXPECT_EQ(e.keyCodesReceived(), (Bytes{0x1D, 0x00}));
  const auto frames = e.framesReceived();
  ASSERT_EQ(frames.size(), 2 + 1 + 256 + 1 + 1 + 1 + 2u);
  EXPECT_EQ(frames[2], kStartReadFrame);
  EXPECT_EQ(frames[260], kStartUpgradeFrame);
  EXPECT_EQ(frames[261], kStopFrame);
  EXPECT_EQ(e.bytesReceived(), (2 + 1 + 256 + 1 + 1 + 1 + 2u) * kFrameSize + image.size());
}

TEST(EmulatorSession, LogsEveryFrameInHexWithItsMeaning) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* log = open_memstream(&text, &size);
  EmulatorOptions o;
  o.log = log;
  {
    Line line(o);
    line.send(kConnectFrame);
    line.send(keyFrame(0x1D));
    line.send(keyFrame(0x20));
    line.emu.emulator.stop();
  }
  std::fclose(log);
  const std::string out(text, size);
  std::free(text);
  EXPECT_NE(out.find("<- 48 61 6C 76 6F 72 6E 65 00 10 00 00  connect request"), std::string::npos)
      << out;
  EXPECT_NE(out.find("-> 48 61 6C 76 6F 72 6E 65 00 00 00 00  ack"), std::string::npos) << out;
  EXPECT_NE(out.find("4A 1D 4F 56  key 0x1D \"MENU\""), std::string::npos) << out;
  EXPECT_NE(out.find("4A 20 4F 56  key 0x20 (no such key)"), std::string::npos) << out;
}

TEST(EmulatorSession, StopEndsAnyExchange) {
  Line line(model(2));
  const Bytes flash = line.emu.emulator.flash();
  EXPECT_EQ(line.send(kStartReadFrame).size(), kFrameSize + kBlockSize);
  EXPECT_TRUE(line.send(kStopFrame).empty());
  EXPECT_TRUE(line.send(identFrame(2)).empty());  // no read runs any more

  // Where an upgrade block is due, the stop frame is a frame, not data.
  EXPECT_EQ(line.send(kStartUpgradeFrame), frameBytes(kAckFrame));
  EXPECT_TRUE(line.send(kStopFrame).empty());
  EXPECT_EQ(line.send(kConnectFrame), frameBytes(kAckFrame));
  EXPECT_EQ(line.emu.emulator.blocksReceived(), 0u);
  EXPECT_EQ(line.emu.emulator.flash(), flash);
}

TEST(EmulatorSession, UpgradeAnswerKinds) {
  const std::pair<emu::UpgradeAnswer, FrameBytes> cases[] = {
      {emu::UpgradeAnswer::Ack1, makeFrame(0x11, 0x11)},
      {emu::UpgradeAnswer::Ack2, makeFrame(0xAA)},
      {emu::UpgradeAnswer::Ident, identFrame(13)},
  };
  for (const auto& [kind, frame] : cases) {
    EmulatorOptions o = model(13);  // family T: group F
    o.upgradeAnswer = kind;
    Line line(o);
    EXPECT_EQ(line.send(kStartUpgradeFrame), frameBytes(frame));
    EXPECT_EQ(line.sendBlock(Bytes(kBlockSize, 1)), frameBytes(frame));
  }
}

TEST(EmulatorFaults, SilenceAfterStartOrBlock) {
  FaultPlan silentStart;
  silentStart.silentAfterStart = true;
  EmulatorOptions o;
  o.faults = silentStart;
  Line quiet(o);
  EXPECT_TRUE(quiet.send(kConnectFrame).empty());
  EXPECT_TRUE(quiet.send(kStartReadFrame).empty());
  EXPECT_TRUE(quiet.send(kStopFrame).empty());
  EXPECT_TRUE(quiet.send(kStartUpgradeFrame).empty());

  o.faults = {};
  o.faults.silentAfterBlock = 1;
  Line line(o);
  EXPECT_EQ(line.send(kStartReadFrame).size(), kFrameSize + kBlockSize);
  EXPECT_EQ(line.send(identFrame(1)).size(), kBlockSize);  // block 1
  EXPECT_TRUE(line.send(identFrame(1)).empty());
  EXPECT_TRUE(line.send(kStopFrame).empty());
  EXPECT_EQ(line.send(kStartUpgradeFrame), frameBytes(kAckFrame));
  EXPECT_EQ(line.sendBlock(Bytes(kBlockSize, 0)), frameBytes(kAckFrame));
  EXPECT_TRUE(line.sendBlock(Bytes(kBlockSize, 0)).empty());  // after block 1
}

TEST(EmulatorFaults, AnswersThatDoNotFit) {
  EmulatorOptions o;  // model 1, group F
  o.faults.wrongAnswer = true;
  Line wrong(o);
  EXPECT_EQ(wrong.send(kConnectFrame), frameBytes(emu::kWrongAnswerFrame));
  EXPECT_EQ(wrong.send(kStartReadFrame).size(), kFrameSize + kBlockSize);
  EXPECT_EQ(wrong.send(kStopFrame).size(), 0u);
  EXPECT_EQ(wrong.send(kStartUpgradeFrame), frameBytes(emu::kWrongAnswerFrame));
  EXPECT_FALSE(identifyModel(emu::kWrongAnswerFrame.data()));
  for (const AckGroup g : {AckGroup::C, AckGroup::F})
    for (const auto& ack : ackFramesOf(g)) EXPECT_NE(ack, emu::kWrongAnswerFrame);

  // Another model: its IdentFrame, its block count, its acknowledgement.
  o.faults = {};
  o.faults.otherModel = 6;
  Line other(o);
  EXPECT_EQ(other.send(kConnectFrame), frameBytes(identFrame(6)));
  const Bytes start = other.send(kStartReadFrame);
  ASSERT_EQ(start.size(), kFrameSize + kBlockSize);
  EXPECT_EQ(Bytes(start.begin(), start.begin() + kFrameSize), frameBytes(identFrame(6)));
  EXPECT_TRUE(other.send(identFrame(1)).empty());
  for (unsigned k = 1; k < 512; ++k) ASSERT_EQ(other.send(identFrame(6)).size(), kBlockSize) << k;
  EXPECT_TRUE(other.send(identFrame(6)).empty());

  o.faults = {};
  o.faults.otherGroup = true;
  o.faults.answerFaultAfterBlock = 0;
  Line group(o);
  EXPECT_EQ(group.send(kStartUpgradeFrame), frameBytes(kAckFrame));
  EXPECT_EQ(group.sendBlock(Bytes(kBlockSize, 0)), frameBytes(ackFramesOf(AckGroup::C)[0]));
}

TEST(EmulatorFaults, SplitAndSurplusAnswers) {
  EmulatorOptions o;
  o.faults.splitPieces = 3;
  o.faults.splitDelayMs = 5;
  o.faults.surplusBytes = 3;
  Line line(o);
  const Bytes surplus(3, emu::kSurplusByte);
  EXPECT_EQ(line.send(kConnectFrame), cat(frameBytes(kAckFrame), surplus));
  const Bytes read = line.send(kStartReadFrame);
  EXPECT_EQ(
      read,
      cat(cat(cat(frameBytes(identFrame(1)), surplus), blockOf(emu::patternFlash(1), 0)), surplus));

  // A pause that outlasts the test: the first piece has arrived, the
  // emulator is not idle, and nothing more comes.
  o.faults = {};
  o.faults.splitPieces = 3;
  o.faults.splitDelayMs = 600000;
  Line slow(o);
  ASSERT_EQ(slow.port.sendFrame(kConnectFrame), kFrameSize);
  EXPECT_TRUE(slow.emu.emulator.waitUntil([&] { return slow.port.bytesInQueue() >= 4; }));
  EXPECT_FALSE(slow.emu.emulator.waitIdle(50));
  EXPECT_EQ(slow.port.bytesInQueue(), 4u);
}

TEST(EmulatorFaults, DamagedBlocks) {
  const Bytes flash = emu::patternFlash(1);
  EmulatorOptions o;
  o.faults.corruptBlock = 1;
  o.faults.corruptOffset = 100;
  o.faults.shortBlock = 2;
  o.faults.shortBy = 10;
  Line line(o);
  EXPECT_EQ(line.send(kStartReadFrame).size(), kFrameSize + kBlockSize);
  Bytes corrupt = blockOf(flash, 1);
  corrupt[100] ^= 0xFF;
  EXPECT_EQ(line.send(identFrame(1)), corrupt);
  const Bytes cut = line.send(identFrame(1));
  EXPECT_EQ(cut, Bytes(flash.begin() + 2 * kBlockSize, flash.begin() + 3 * kBlockSize - 10));
  EXPECT_TRUE(line.send(identFrame(1)).empty());
}

TEST(EmulatorFaults, DeviceVanishes) {
  test::TempDir dir;
  EmulatorOptions o;
  o.linkPath = dir.file("COM1");
  o.faults.vanishAfterBlock = 1;
  Line line(o);
  const std::string device = line.emu.path();
  EXPECT_EQ(std::filesystem::read_symlink(o.linkPath).string(), device);
  EXPECT_EQ(line.send(kStartReadFrame).size(), kFrameSize + kBlockSize);
  EXPECT_EQ(line.send(identFrame(1)).size(), kBlockSize);
  struct stat st {};
  EXPECT_NE(::lstat(o.linkPath.c_str(), &st), 0);
  EXPECT_FALSE(std::filesystem::exists(device));
  EXPECT_EQ(line.port.sendFrame(kConnectFrame), 0u);

  o.linkPath.clear();
  o.faults.vanishAfterBlock = -2;
  Line early(o);
  EXPECT_TRUE(early.send(kStartUpgradeFrame).empty());
  EXPECT_FALSE(std::filesystem::exists(early.emu.path()));

  o.faults.vanishAfterBlock = 0;
  Line upgrade(o);
  EXPECT_EQ(upgrade.send(kStartUpgradeFrame), frameBytes(kAckFrame));
  EXPECT_TRUE(upgrade.sendBlock(Bytes(kBlockSize, 0)).empty());
  EXPECT_EQ(upgrade.emu.emulator.blocksReceived(), 1u);
  EXPECT_FALSE(std::filesystem::exists(upgrade.emu.path()));

  Line onRequest;
  onRequest.emu.emulator.vanish();
  ASSERT_EQ(onRequest.port.sendFrame(kConnectFrame), 0u);
  EXPECT_FALSE(onRequest.port.waitAck([](int) {}));
}

TEST(EmulatorLink, ReplacesOnlySymlinksAndFollowsTheLatest) {
  test::TempDir dir;
  EmulatorOptions o;
  o.linkPath = dir.file("COM1");
  test::writeFileBytes(o.linkPath, {1, 2, 3});
  ReceiverEmulator refused(o);
  EXPECT_FALSE(refused.start());
  EXPECT_EQ(test::readFileBytes(o.linkPath), (Bytes{1, 2, 3}));

  std::filesystem::remove(o.linkPath);
  std::filesystem::create_symlink("/nonexistent", o.linkPath);
  ReceiverEmulator e(o);
  ASSERT_TRUE(e.start());
  EXPECT_EQ(std::filesystem::read_symlink(o.linkPath).string(), e.devicePath());
  e.stop();
  EXPECT_FALSE(std::filesystem::is_symlink(o.linkPath));
}

// Speed targets live in bench/emulator_pacing_bench.cpp; here only bounds
// that load cannot break: never faster than the line, and not absurdly slow.
TEST(EmulatorPacing, NeverFasterThanTheLine) {
  EmulatorOptions o;
  o.pace = true;
  o.blockTurnaroundMs = 100;
  Line line(o);
  using Clock = std::chrono::steady_clock;
  const double byteSeconds = double(kLineBitsPerByte) / kLineSpeed;
  const auto t0 = Clock::now();
  ASSERT_EQ(line.port.sendFrame(kStartReadFrame), kFrameSize);
  std::size_t got = 0;
  auto takeAll = [&] {
    Bytes b(line.port.bytesInQueue());
    got += line.port.read(b.data(), unsigned(b.size()));
  };
  for (unsigned k = 0; k < 3; ++k) {
    const std::size_t target = kFrameSize + (k + 1) * kBlockSize;
    ASSERT_TRUE(line.emu.emulator.waitUntil(
        [&] {
          takeAll();
          return got >= target;
        },
        10000));
    if (k < 2) {
      ASSERT_EQ(line.port.sendFrame(identFrame(1)), kFrameSize);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_EQ(got, kFrameSize + 3 * kBlockSize);
  // On the line: the start frame in, then ident and three blocks out, two
  // acknowledgements in, and a turnaround before each block.
  const double lineSeconds = double(kFrameSize * 4 + 3 * kBlockSize) * byteSeconds + 0.3;
  EXPECT_GE(seconds, lineSeconds * 0.99);
  EXPECT_LE(seconds, lineSeconds / 0.8 + 0.5);
}

TEST(EmulatorCommandLine, EveryOptionParsesAndIsDocumented) {
  const std::vector<std::vector<std::string>> options = {{"--model", "6"},
                                                         {"--flash", "f.bin"},
                                                         {"--pattern"},
                                                         {"--save", "s.bin"},
                                                         {"--answer", "rotate"},
                                                         {"--link", "/tmp/x"},
                                                         {"--pace"},
                                                         {"--baud", "9600"},
                                                         {"--turnaround", "20"},
                                                         {"--log", "-"},
                                                         {"--silent-after-start"},
                                                         {"--silent-after-block", "3"},
                                                         {"--wrong-answer"},
                                                         {"--other-model", "9"},
                                                         {"--other-group"},
                                                         {"--answer-fault-after-block", "2"},
                                                         {"--split", "4"},
                                                         {"--split-delay", "7"},
                                                         {"--surplus", "5"},
                                                         {"--short-block", "8"},
                                                         {"--short-by", "11"},
                                                         {"--corrupt-block", "12"},
                                                         {"--corrupt-offset", "13"},
                                                         {"--vanish-after-block", "start"},
                                                         {"--parent-pid", "42"},
                                                         {"--help"}};
  std::vector<const char*> argv = {"quorvane-emu"};
  for (const auto& opt : options) {
    EXPECT_NE(emu::usageText().find(opt[0] + (opt.size() > 1 ? " " : "")), std::string::npos)
        << opt[0];
    for (const auto& word : opt) argv.push_back(word.c_str());
  }
  emu::CommandLine cmd;
  std::string error;
  ASSERT_TRUE(emu::parseCommandLine(int(argv.size()), argv.data(), cmd, error)) << error;
  const EmulatorOptions& o = cmd.options;
  EXPECT_EQ(o.modelNumber, 6);
  EXPECT_TRUE(cmd.flashPath.empty());  // --pattern came later
  EXPECT_EQ(o.upgradeAnswer, emu::UpgradeAnswer::Rotate);
  EXPECT_TRUE(o.pace && cmd.help && o.faults.silentAfterStart && o.faults.wrongAnswer &&
              o.faults.otherGroup);
  EXPECT_EQ(o.baud, 9600);
  EXPECT_EQ(o.blockTurnaroundMs, 20);
  EXPECT_EQ(cmd.logPath, "-");
  EXPECT_EQ(o.faults.silentAfterBlock, 3);
  EXPECT_EQ(o.faults.otherModel, 9);
  EXPECT_EQ(o.faults.answerFaultAfterBlock, 2);
  EXPECT_EQ(o.faults.splitPieces, 4);
  EXPECT_EQ(o.faults.splitDelayMs, 7);
  EXPECT_EQ(o.faults.surplusBytes, 5u);
  EXPECT_EQ(o.faults.shortBlock, 8);
  EXPECT_EQ(o.faults.shortBy, 11u);
  EXPECT_EQ(o.faults.corruptBlock, 12);
  EXPECT_EQ(o.faults.corruptOffset, 13u);
  EXPECT_EQ(o.faults.vanishAfterBlock, -2);
  EXPECT_EQ(cmd.parentPid, 42);

  for (const std::vector<const char*>& bad :
       std::vector<std::vector<const char*>>{{"x", "--model", "17"},
                                             {"x", "--model", "0"},
                                             {"x", "--answer", "ack3"},
                                             {"x", "--split"},
                                             {"x", "--surplus", "-1"},
                                             {"x", "--bogus"},
                                             {"x", "--turnaround", "5ms"}}) {
    emu::CommandLine c;
    EXPECT_FALSE(emu::parseCommandLine(int(bad.size()), bad.data(), c, error)) << bad[1];
  }
}

TEST(EmulatorCommandLine, FlashFileRawOrImage) {
  test::TempDir dir;
  Bytes image(kTagSize);
  std::copy_n("QX_Rom_T_AMD2", kTagSize, image.begin());
  image.resize(kImageFileSizeLarge, 0x42);
  test::writeFileBytes(dir.file("rom.bin"), image);
  emu::CommandLine cmd;
  std::string error;
  ASSERT_TRUE(emu::loadFlashFile(dir.file("rom.bin"), cmd, error)) << error;
  EXPECT_EQ(cmd.options.modelNumber, 14);
  EXPECT_EQ(cmd.options.flash, Bytes(512 * kBlockSize, 0x42));

  emu::CommandLine given;
  given.options.modelNumber = 1;
  given.modelGiven = true;
  EXPECT_FALSE(
      emu::loadFlashFile(dir.file("rom.bin"), given, error));  // 512 blocks for a 256-block model
  test::writeFileBytes(dir.file("raw.bin"), Bytes(256 * kBlockSize, 7));
  EXPECT_TRUE(emu::loadFlashFile(dir.file("raw.bin"), given, error)) << error;
  EXPECT_FALSE(emu::loadFlashFile(dir.file("missing.bin"), given, error));

  EmulatorOptions wrongSize;
  wrongSize.flash = Bytes(100);
  EXPECT_FALSE(ReceiverEmulator(wrongSize).start());
}

}  // namespace
}  // namespace quorvane
