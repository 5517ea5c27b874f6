// The receiver emulator from the tool's side of a pty: a session across a
// reopened port, the link, pacing, and the command line. The loader and its faults byte for byte:
// loader_model_test.cpp; the tool against every fault: fault_matrix_test.cpp.
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

// The exchanges byte for byte: loader_model_test.cpp. Here: the device
// serves on across a reopened port, and a complete upgrade is saved.
TEST(EmulatorSession, ServesAcrossAReopenedPortAndSavesACompleteUpgrade) {
  test::TempDir dir;
  EmulatorOptions o;
  o.modelNumber = 5;  // "CI 29 1": 256 blocks, group C
  o.upgradeAnswer = emu::UpgradeAnswer::Rotate;
  o.saveFlashTo = dir.file("saved.bin");
  Line line(o);
  ReceiverEmulator& e = line.emu.emulator;
  const Bytes flash = e.flash();
  EXPECT_EQ(line.send(B(kStartReadFrame)), cat(B(identFrame(5)), blockOf(flash, 0)));
  EXPECT_EQ(line.send(B(kStopFrame)), Bytes{});

  // The tool closes and reopens the device: the emulator keeps serving.
  line.port.close();
  ASSERT_EQ(line.port.openDevice(e.devicePath(), kLineSpeed), 1);
  const auto& acks = ackFramesOf(AckGroup::C);
  EXPECT_EQ(line.send(B(kStartUpgradeFrame)), B(acks[0]));
  const Bytes image(flash.rbegin(), flash.rend());
  for (unsigned k = 0; k < 256; ++k) {
    EXPECT_FALSE(e.upgradeComplete());
    ASSERT_EQ(line.send(blockOf(image, k)), B(acks[(k + 1) % 3])) << k;
  }
  EXPECT_TRUE(e.upgradeComplete());
  EXPECT_EQ(e.flash(), image);
  EXPECT_EQ(test::readFileBytes(dir.file("saved.bin")), image);
  EXPECT_EQ(e.blocksSent(), 1u);
  EXPECT_EQ(e.blocksReceived(), 256u);
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
      "9600 --turnaround 20 --log - --silent-after-block 3 --wrong-answer "
      "--other-model 9 --other-group --answer-fault-after-block 2 --split 4 --split-delay 7 "
      "--surplus 5 --short-block 8 --short-by 11 --corrupt-block 12 --corrupt-offset 13 "
      "--vanish-after-block start --parent-pid 42 --help");
  ASSERT_TRUE(cmd);
  const EmulatorOptions& o = cmd->options;
  const emu::FaultPlan& f = o.faults;
  EXPECT_TRUE(cmd->flashPath.empty());  // --pattern came later
  EXPECT_TRUE(o.pace && cmd->help && f.wrongAnswer && f.otherGroup);
  EXPECT_EQ(o.saveFlashTo + " " + o.linkPath + " " + cmd->logPath, "s.bin /tmp/x -");
  EXPECT_EQ(o.upgradeAnswer, emu::UpgradeAnswer::Rotate);
  EXPECT_EQ(f.silence, emu::FaultPoint::afterBlock(3));
  EXPECT_EQ(f.vanish, emu::FaultPoint::afterStart());
  EXPECT_EQ(
      std::vector<long>({o.modelNumber, o.baud, o.blockTurnaroundMs, f.otherModel.value_or(0),
                         long(f.answerFaultAfterBlock.value_or(0)), long(f.splitPieces),
                         long(f.splitDelayMs), long(f.surplusBytes), long(f.shortBlock.value_or(0)),
                         long(f.shortBy), long(f.corruptBlock.value_or(0)), long(f.corruptOffset),
                         cmd->parentPid}),
      std::vector<long>({6, 9600, 20, 9, 2, 4, 7, 5, 8, 11, 12, 13, 42}));
  // A value after "=", an option after -h; silence from the start wins.
  const auto more = parse("--vanish-after-block=7 -h --silent-after-start --silent-after-block 3");
  ASSERT_TRUE(more);
  EXPECT_TRUE(more->help);
  EXPECT_EQ(more->options.faults.vanish, emu::FaultPoint::afterBlock(7));
  EXPECT_EQ(more->options.faults.silence, emu::FaultPoint::afterStart());
  for (const char* bad : {"--model 17", "--model 0", "--answer ack3", "--split", "--surplus -1",
                          "--bogus", "--turnaround 5ms", "--pace=1", "stray --pace", "-x"})
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
