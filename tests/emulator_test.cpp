// The receiver emulator from the tool's side of a pty: each exchange and fault
// byte for byte (the tool against them: fault_matrix_test.cpp), pacing, options.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>

#include "emulator_options.h"
#include "receiver_emulator.h"
#include "serial/command_port.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/model_check.h"
#include "transfer/rom_type.h"

namespace quorvane {
namespace {

using emu::EmulatorOptions;
using emu::ReceiverEmulator;
using Bytes = std::vector<std::uint8_t>;

Bytes B(const FrameBytes& f) {
  return Bytes(f.begin(), f.end());
}
Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes blockOf(const Bytes& f, unsigned k, std::size_t cut = 0) {
  return Bytes(f.begin() + long(k * kBlockSize), f.begin() + long((k + 1) * kBlockSize - cut));
}

// One emulator and the tool's port on it; send() returns the whole answer.
struct Line {
  explicit Line(EmulatorOptions o = {}) : emu(std::move(o)) {
    EXPECT_EQ(port.openDevice(emu.path(), kLineSpeed), 1);
  }
  Bytes send(const Bytes& b) {
    EXPECT_EQ(port.write(b.data(), unsigned(b.size())), b.size());
    return test::settleAndTake(emu.emulator, port);
  }
  test::StartedEmulator emu;
  CommandPort port;
};

TEST(EmulatorSession, EveryExchangeByteForByteAcrossAReopenedPort) {
  test::TempDir dir;
  EmulatorOptions o;
  o.modelNumber = 5;  // "CI 29 1": 256 blocks, group C
  o.upgradeAnswer = emu::UpgradeAnswer::Rotate;
  o.saveFlashTo = dir.file("saved.bin");
  Line line(o);
  ReceiverEmulator& e = line.emu.emulator;
  const Bytes flash = e.flash();
  EXPECT_EQ(line.send(B(kConnectFrame)), B(kAckFrame));

  // Read: IdentFrame and block 0 at once, then one block per acknowledgement.
  EXPECT_EQ(line.send(B(kStartReadFrame)), cat(B(identFrame(5)), blockOf(flash, 0)));
  for (unsigned k = 1; k < 256; ++k) ASSERT_EQ(line.send(B(identFrame(5))), blockOf(flash, k)) << k;
  EXPECT_TRUE(line.send(B(identFrame(5))).empty());  // the last block's acknowledgement
  EXPECT_TRUE(line.send(B(kReadCompleteFrame)).empty());

  // The tool closes and reopens the device: the emulator keeps serving.
  line.port.close();
  ASSERT_EQ(line.port.openDevice(e.devicePath(), kLineSpeed), 1);
  const auto& acks = ackFramesOf(AckGroup::C);
  EXPECT_EQ(line.send(B(kStartUpgradeFrame)), B(acks[0]));
  const Bytes image(flash.rbegin(), flash.rend());
  for (unsigned k = 0; k < 256; ++k)
    ASSERT_EQ(line.send(blockOf(image, k)), B(acks[(k + 1) % 3])) << k;
  EXPECT_EQ(e.flash(), image);
  EXPECT_EQ(test::readFileBytes(dir.file("saved.bin")), image);  // saved once complete
  EXPECT_TRUE(line.send(B(keyFrame(0x1D))).empty());
}

TEST(EmulatorFaults, EachFaultAsItShowsOnTheLine) {
  const Bytes flash = emu::patternFlash(1), b0 = blockOf(flash, 0), b1 = blockOf(flash, 1);
  const Bytes block(kBlockSize, 0), none, extra(3, emu::kSurplusByte);
  const Bytes ack = B(kAckFrame), connect = B(kConnectFrame), read = B(kStartReadFrame),
              upgrade = B(kStartUpgradeFrame), stop = B(kStopFrame), own = B(identFrame(1)),
              other = B(identFrame(6)), wrong = B(emu::kWrongAnswerFrame);
  Bytes corrupt = b1;
  corrupt[100] ^= emu::kCorruptMask;
  // Each fault, then in pairs: what the tool sends, the whole answer. Split
  // pieces come 5 ms apart: settling must wait for the last one.
  const std::pair<emu::FaultPlan, std::vector<Bytes>> rows[] = {
      {{.silentAfterStart = true}, {connect, none, read, none, stop, none, upgrade, none}},
      {{.silentAfterBlock = 1},
       {read, cat(own, b0), own, b1, own, none, stop, none, upgrade, ack, block, ack, block, none}},
      {{.wrongAnswer = true}, {connect, wrong, read, cat(wrong, b0), stop, none, upgrade, wrong}},
      {{.otherModel = 6}, {connect, other, read, cat(other, b0), own, none, other, b1}},
      {{.otherGroup = true, .answerFaultAfterBlock = 0},
       {upgrade, ack, block, B(ackFramesOf(AckGroup::C)[0])}},
      {{.splitPieces = 3, .splitDelayMs = 5, .surplusBytes = 3},
       {connect, cat(ack, extra), read, cat(cat(cat(own, extra), b0), extra)}},
      {{.shortBlock = 2, .shortBy = 10, .corruptBlock = 1, .corruptOffset = 100},
       {read, cat(own, b0), own, corrupt, own, blockOf(flash, 2, 10), own, none}},
      {{.vanishAfterBlock = 1}, {read, cat(own, b0), own, b1}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("row " + std::to_string(&row - rows));
    const auto& [faults, steps] = row;
    EmulatorOptions o;
    o.faults = faults;
    Line line(o);
    for (std::size_t i = 0; i < steps.size(); i += 2)
      ASSERT_EQ(line.send(steps[i]), steps[i + 1]) << "step " << i / 2;
    EXPECT_EQ(line.port.sendFrame(kConnectFrame), faults.vanishAfterBlock < 0 ? kFrameSize : 0u);
  }
}

TEST(EmulatorLink, ReplacesOnlySymlinksAndRemovesItsOwn) {
  test::TempDir dir;
  EmulatorOptions o;
  o.linkPath = dir.file("COM1");
  test::writeFileBytes(o.linkPath, {1, 2, 3});
  EXPECT_FALSE(ReceiverEmulator(o).start());
  EXPECT_EQ(test::readFileBytes(o.linkPath), (Bytes{1, 2, 3}));

  std::filesystem::remove(o.linkPath);
  std::filesystem::create_symlink("/nonexistent", o.linkPath);
  ReceiverEmulator e(o);
  ASSERT_TRUE(e.start());
  EXPECT_EQ(std::filesystem::read_symlink(o.linkPath).string(), e.devicePath());
  e.stop();
  EXPECT_FALSE(std::filesystem::is_symlink(o.linkPath));
}

// Only bounds that load cannot break; speed targets: bench/emulator_pacing_bench.cpp.
TEST(EmulatorPacing, NeverFasterThanTheLine) {
  EmulatorOptions o;
  o.pace = true;
  o.blockTurnaroundMs = 100;
  Line line(o);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(line.send(B(kStartReadFrame)).size(), kFrameSize + kBlockSize);
  EXPECT_EQ(line.send(B(identFrame(1))).size(), kBlockSize);
  const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - t0;
  // Two frames in, the answer and two blocks out, a turnaround before each block.
  const double s = double(3 * kFrameSize + 2 * kBlockSize) * kLineBitsPerByte / kLineSpeed + 0.2;
  EXPECT_GE(taken.count(), s * 0.99);
  EXPECT_LE(taken.count(), s / 0.8 + 0.5);
}

std::optional<emu::CommandLine> parse(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words{"quorvane-emu"};
  for (std::string w; in >> w;) words.push_back(w);
  std::vector<const char*> argv;
  for (const auto& w : words) argv.push_back(w.c_str());
  emu::CommandLine cmd;
  std::string error;
  if (!emu::parseCommandLine(int(argv.size()), argv.data(), cmd, error)) return std::nullopt;
  return cmd;
}

TEST(EmulatorCommandLine, EveryOptionReachesItsSettingAndBadValuesAreRefused) {
  const auto cmd = parse(
      "--model 6 --flash f.bin --pattern --save s.bin --answer rotate --link /tmp/x --pace --baud "
      "9600 --turnaround 20 --log - --silent-after-start --silent-after-block 3 --wrong-answer "
      "--other-model 9 --other-group --answer-fault-after-block 2 --split 4 --split-delay 7 "
      "--surplus 5 --short-block 8 --short-by 11 --corrupt-block 12 --corrupt-offset 13 "
      "--vanish-after-block start --parent-pid 42 --help");
  ASSERT_TRUE(cmd);
  const EmulatorOptions& o = cmd->options;
  const emu::FaultPlan& f = o.faults;
  EXPECT_TRUE(cmd->flashPath.empty());  // --pattern came later
  EXPECT_TRUE(o.pace && cmd->help && f.silentAfterStart && f.wrongAnswer && f.otherGroup);
  EXPECT_EQ(o.saveFlashTo + " " + o.linkPath + " " + cmd->logPath, "s.bin /tmp/x -");
  EXPECT_EQ(o.upgradeAnswer, emu::UpgradeAnswer::Rotate);
  EXPECT_EQ(std::vector<long>({o.modelNumber, o.baud, o.blockTurnaroundMs, f.silentAfterBlock,
                               f.otherModel, f.answerFaultAfterBlock, f.splitPieces, f.splitDelayMs,
                               long(f.surplusBytes), f.shortBlock, long(f.shortBy), f.corruptBlock,
                               long(f.corruptOffset), f.vanishAfterBlock, cmd->parentPid}),
            std::vector<long>({6, 9600, 20, 3, 9, 2, 4, 7, 5, 8, 11, 12, 13, -2, 42}));
  for (const char* bad : {"--model 17", "--model 0", "--answer ack3", "--split", "--surplus -1",
                          "--bogus", "--turnaround 5ms"})
    EXPECT_FALSE(parse(bad)) << bad;
}

TEST(EmulatorCommandLine, AnImageFileAsFlashNamesTheModelUnlessOneWasGiven) {
  test::TempDir dir;
  Bytes image(kImageFileSizeLarge, 0x42);
  std::copy_n("QX_Rom_T_AMD2", kTagSize, image.begin());
  test::writeFileBytes(dir.file("rom.bin"), image);
  auto cmd = parse(""), given = parse("--model 1");
  std::string error;
  ASSERT_TRUE(emu::loadFlashFile(dir.file("rom.bin"), *cmd, error)) << error;
  EXPECT_EQ(cmd->options.modelNumber, 14);
  EXPECT_EQ(cmd->options.flash, Bytes(512 * kBlockSize, 0x42));
  EXPECT_FALSE(emu::loadFlashFile(dir.file("rom.bin"), *given, error));  // 512 blocks for 256
}

}  // namespace
}  // namespace quorvane
