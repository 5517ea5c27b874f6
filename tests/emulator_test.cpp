// The receiver emulator: its loader byte for byte, then over a pty link, pacing and command line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "control_fifo.h"
#include "emulator_options.h"
#include "fault_plan.h"
#include "loader_model.h"
#include "power_model.h"
#include "receiver_emulator.h"
#include "serial/command_port.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/model_check.h"
#include "transfer/rom_type.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // designated initializers

namespace quorvane::emu {
namespace {

using Bytes = std::vector<std::uint8_t>;

const auto B = [](const FrameBytes& f) { return Bytes(f.begin(), f.end()); };
Bytes cat(Bytes a, const Bytes& b, int times = 1) {
  for (int i = 0; i < times; ++i) a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes blockOf(const Bytes& flash, unsigned k) {
  return Bytes(flash.begin() + long(k * kBlockSize), flash.begin() + long((k + 1) * kBlockSize));
}

const Bytes kFlash1 = patternFlash(1), kImage(kFlash1.rbegin(), kFlash1.rend());
const Bytes kConnect = B(kConnectFrame), kRead = B(kStartReadFrame),
            kUpgrade = B(kStartUpgradeFrame), kStop = B(kStopFrame), kAck = B(kAckFrame),
            kOwn = B(identFrame(1)), kNone, kData(kBlockSize, 0x3C);

struct Exchange {
  std::string name;
  int model;
  UpgradeAnswer answer;
  std::vector<std::pair<Bytes, Bytes>> steps;  // what the PC sends, the whole answer
};

TEST(LoaderModel, AnswersEachFrameAsItsExchangeStands) {
  const auto c = ackFramesOf(AckGroup::C);
  const Bytes ident2 = B(identFrame(2)), done = B(kReadCompleteFrame);
  const auto part = [](const Bytes& b, long from, long to) {
    return Bytes(b.begin() + from, b.begin() + to);
  };
  const auto block = [](unsigned k) { return blockOf(kFlash1, k); };
  // clang-format off
  const Exchange rows[] = {
      {"connect, after stray bytes and in two pieces", 1, UpgradeAnswer::Ack0,
       {{{'x', 'H', 'y'}, kNone}, {part(kConnect, 0, 6), kNone}, {part(kConnect, 6, 12), kAck}}},
      {"read: a block per acknowledgement, other frames ignored", 1, UpgradeAnswer::Ack0,
       {{kRead, cat(kOwn, block(0))}, {ident2, kNone}, {kConnect, kNone}, {kOwn, block(1)},
        {kOwn, block(2)}, {done, kNone}, {kOwn, kNone}, {kConnect, kAck}}},
      {"upgrade: rotating answers of group C, the stop frame where a block would begin", 5,
       UpgradeAnswer::Rotate,
       {{kUpgrade, B(c[0])}, {kData, B(c[1])}, {kData, B(c[2])}, {kData, B(c[0])},
        {part(kStop, 0, 5), kNone}, {part(kStop, 5, 12), kNone}, {kConnect, kAck}}},
      {"upgrade: its own type answer; data that only begins like the stop frame is a block", 2,
       UpgradeAnswer::Ident,
       {{kUpgrade, ident2}, {cat(part(kStop, 0, 5), Bytes(kBlockSize - 5, 0)), ident2},
        {kStop, kNone}}},
      {"a whole upgrade in one write, then nothing but the stop frame; a read serves it", 1,
       UpgradeAnswer::Ack0,
       {{kUpgrade, kAck}, {kImage, cat({}, kAck, 256)}, {kRead, kNone}, {kStop, kNone},
        {kRead, cat(kOwn, blockOf(kImage, 0))}}},
      {"key frames between and during exchanges; the stop frame ends a read", 1,
       UpgradeAnswer::Ack0,
       {{B(keyFrame(0x1D)), kNone}, {kRead, cat(kOwn, block(0))}, {B(keyFrame(0x06)), kNone},
        {kStop, kNone}, {kOwn, kNone}, {kConnect, kAck}}},
  };
  // clang-format on
  for (const Exchange& row : rows) {
    SCOPED_TRACE(row.name);
    LoaderModel model(row.model, patternFlash(row.model), row.answer);
    for (std::size_t i = 0; i < row.steps.size(); ++i) {
      const auto& [in, out] = row.steps[i];
      Bytes sent;
      for (const LoaderEvent& e : model.receive(in.data(), in.size()))
        if (e.kind == LoaderEvent::Kind::Send) sent = cat(sent, e.bytes);
      EXPECT_EQ(sent, out) << "step " << i;
    }
    if (row.name.starts_with("key")) {
      EXPECT_EQ(model.keyCodes(), (Bytes{0x1D, 0x06}));
    }
  }
}

// A silence lasts until the stop frame and strikes again next exchange (the matrix sees the first).
TEST(FaultyLoader, SilenceLastsUntilTheStopFrameAndStrikesAgain) {
  // clang-format off
  const std::pair<FaultPlan, std::vector<std::pair<Bytes, Bytes>>> rows[] = {
      {{.silence = FaultPoint::afterStart()},
       {{kConnect, kNone}, {kConnect, kNone}, {kRead, kNone}, {kOwn, kNone}, {kStop, kNone},
        {kUpgrade, kNone}, {kData, kNone}, {kStop, kNone}}},
      {{.silence = FaultPoint::afterBlock(1)},
       {{kRead, cat(kOwn, blockOf(kFlash1, 0))}, {kOwn, blockOf(kFlash1, 1)}, {kOwn, kNone},
        {kStop, kNone}, {kUpgrade, kAck}, {kData, kAck}, {kData, kNone}, {kData, kNone},
        {kStop, kNone}, {kConnect, kAck}}},
  };
  // clang-format on
  for (const auto& [plan, steps] : rows) {
    FaultyLoader loader(LoaderModel(1, kFlash1, UpgradeAnswer::Ack0), plan);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      Bytes sent;
      for (const Action& a : loader.receive(steps[i].first.data(), steps[i].first.size()))
        if (a.kind == Action::Kind::Send) sent = cat(sent, a.run.bytes);
      EXPECT_EQ(sent, steps[i].second) << "step " << i;
    }
  }
}

TEST(EmulatorLink, ReplacesOnlySymlinksAndRemovesItsOwn) {
  test::TempDir dir;
  EmulatorOptions o{.linkPath = dir.file("COM1")};
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

// Only the bound that load cannot break; speed targets: bench/emulator_pacing_bench.cpp.
TEST(EmulatorPacing, NeverFasterThanTheLine) {
  test::StartedEmulator emu({.pace = true, .blockTurnaroundMs = 100});
  CommandPort port;
  ASSERT_EQ(port.openDevice(emu.path(), kLineSpeed), 1);
  const auto t0 = std::chrono::steady_clock::now();
  for (const auto& [command, param1, arrived] :
       {std::tuple{kCmdStartRead, std::uint8_t{0}, kFrameSize + kBlockSize},
        std::tuple{std::uint8_t{1}, kIdentParam1, kFrameSize + 2 * kBlockSize}}) {
    ASSERT_EQ(port.sendCommand(command, param1), kFrameSize);
    ASSERT_TRUE(test::settle(emu.emulator, port));
    EXPECT_EQ(port.bytesArrived(), arrived);
  }
  const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - t0;
  // Two frames in, the answer and two blocks out, a turnaround before each block.
  EXPECT_GE(taken.count(), 0.99 * (double(3 * kFrameSize + 2 * kBlockSize) *
                                       std::chrono::duration<double>(lineByteTime()).count() +
                                   0.2));
}

// Off, the boot window caught or missed, the save and the reboot, on a clock of the test's own.
TEST(PowerModel, BootsSavesAndRebootsAsSwitched) {
  using State = PowerModel::State;
  using std::chrono::milliseconds;
  const PowerModel::Clock::time_point t0{};
  PowerModel boot({.on = false, .bootWindowMs = 500, .saveMs = 300});
  EXPECT_EQ(boot.state(), State::Off);
  EXPECT_FALSE(boot.listening());
  boot.switchOn(t0);
  EXPECT_TRUE(boot.takeRestarted());
  EXPECT_EQ(boot.nextChange(), t0 + milliseconds(500));
  boot.advance(t0 + milliseconds(499));
  EXPECT_EQ(boot.state(), State::Booting);
  boot.connectTaken();  // in time: held in the loader for good
  boot.advance(t0 + milliseconds(60'000));
  EXPECT_EQ(boot.state(), State::Loader);
  const auto t1 = t0 + milliseconds(60'000);
  boot.upgradeComplete(t1);
  EXPECT_FALSE(boot.listening());
  boot.advance(t1 + milliseconds(299));
  EXPECT_EQ(boot.state(), State::Saving);
  boot.advance(t1 + milliseconds(300));  // saved: the reboot opens a new window
  EXPECT_EQ(boot.state(), State::Booting);
  EXPECT_TRUE(boot.takeRestarted());
  boot.advance(t1 + milliseconds(800));  // missed: firmware until switched off and on
  boot.connectTaken();
  EXPECT_EQ(boot.state(), State::Firmware);
  EXPECT_FALSE(boot.listening());
  boot.switchOff();
  boot.switchOn(t1 + milliseconds(900));
  EXPECT_EQ(boot.state(), State::Booting);

  // Always in the loader: found on, and after a save; no save time and no window: no change.
  PowerModel loader({.on = true, .bootWindowMs = 0, .saveMs = 200});
  EXPECT_EQ(loader.state(), State::Loader);
  loader.upgradeComplete(t0);
  loader.advance(t0 + milliseconds(200));
  EXPECT_EQ(loader.state(), State::Loader);
  EXPECT_TRUE(loader.takeRestarted());
  PowerModel asEver({});
  EXPECT_TRUE(asEver.upgradeComplete(t0).empty());
  EXPECT_EQ(asEver.state(), State::Loader);
}

// Switched by the control FIFO over a real pty: off takes nothing; the next unit is numbered in
// every block, has the model asked for, and its complete read leaves its flash in the units
// directory; a silent unit never answers; unknown lines change nothing.
TEST(EmulatorPower, TheControlFifoSwitchesAndSwapsUnits) {
  test::TempDir dir;
  std::FILE* log = std::fopen(dir.file("log").c_str(), "w");
  ASSERT_TRUE(log);
  test::StartedEmulator emu({.log = log, .poweredOn = false, .unitsDir = dir.path().string()});
  std::atomic<bool> quit = false;
  std::optional<ControlFifo> control;
  control.emplace(emu.emulator, [&quit] { quit = true; });
  std::string error;
  ASSERT_TRUE(control->open(dir.file("ctl"), error)) << error;
  const auto say = [&](const std::string& line, const std::function<bool()>& done) {
    std::ofstream(dir.file("ctl")) << line << "\n";
    EXPECT_TRUE(emu.emulator.waitUntil(done)) << line;
  };
  CommandPort port;
  ASSERT_EQ(port.openDevice(emu.path(), kLineSpeed), 1);
  const auto answered = [&](const FrameBytes& frame) {
    port.write(frame.data(), unsigned(frame.size()));
    EXPECT_TRUE(test::settle(emu.emulator, port));
    Bytes got(port.bytesInQueue());
    port.read(got.data(), unsigned(got.size()));
    return got;
  };
  EXPECT_EQ(answered(kConnectFrame), kNone);
  say("on", [&] { return emu.emulator.powerState() == PowerModel::State::Loader; });
  EXPECT_EQ(answered(kConnectFrame), kAck);

  say("swap what", [] { return true; });
  say("swap 6", [&] { return emu.emulator.unit() == 2; });
  EXPECT_EQ(emu.emulator.powerState(), PowerModel::State::Off);
  say("on", [&] { return emu.emulator.powerState() == PowerModel::State::Loader; });
  const Bytes flash = emu.emulator.flash();
  ASSERT_EQ(flash.size(), flashSizeOf(6));
  Bytes read = answered(kStartReadFrame);
  EXPECT_EQ(Bytes(read.begin(), read.begin() + long(kFrameSize)), B(identFrame(6)));
  read.erase(read.begin(), read.begin() + long(kFrameSize));
  for (unsigned k = 1; k < flash.size() / kBlockSize; ++k)
    read = cat(read, answered(identFrame(6)));
  EXPECT_EQ(answered(identFrame(6)), kNone);
  answered(kReadCompleteFrame);
  EXPECT_TRUE(read == flash);
  for (std::size_t at = 0; at < flash.size(); at += kBlockSize)
    ASSERT_EQ(std::string(flash.begin() + long(at), flash.begin() + long(at + kUnitTextSize)),
              "UNIT 0002");
  EXPECT_TRUE(test::readFileBytes(dir.file(unitFileName(2))) == flash);

  say("swap silent", [&] { return emu.emulator.unit() == 3; });
  say("on", [&] { return emu.emulator.powerState() == PowerModel::State::Loader; });
  EXPECT_EQ(answered(kConnectFrame), kNone);
  EXPECT_NE(emu.emulator.flash(), flash);
  say("quit", [&] { return quit.load(); });
  control.reset();
  EXPECT_FALSE(std::filesystem::exists(dir.file("ctl")));
  emu.emulator.stop();
  std::fclose(log);
  std::ifstream in(dir.file("log"));
  const std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const char* line : {"control: \"swap what\" not understood", "unit 2 read"})
    EXPECT_NE(logged.find(line), std::string::npos) << line;
}

std::optional<CommandLine> parse(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words{"quorvane-emu"};
  for (std::string w; in >> w;) words.push_back(w);
  std::vector<const char*> argv;
  for (const auto& w : words) argv.push_back(w.c_str());
  CommandLine cmd;
  std::string error;
  if (!parseCommandLine(int(argv.size()), argv.data(), cmd, error)) return std::nullopt;
  return cmd;
}

TEST(EmulatorCommandLine, ValuesAfterEqualsLaterOptionsWinAndBadValuesAreRefused) {
  // A value after "=", an option after -h; silence from the start wins.
  const auto more = parse("--vanish-after-block=7 -h --silent-after-start --silent-after-block 3");
  ASSERT_TRUE(more);
  EXPECT_TRUE(more->help);
  EXPECT_EQ(more->options.faults.vanish, FaultPoint::afterBlock(7));
  EXPECT_EQ(more->options.faults.silence, FaultPoint::afterStart());
  for (const char* bad : {"--model 17", "--model 0", "--answer ack3", "--split", "--surplus -1",
                          "--bogus", "--turnaround 5ms", "--pace=1", "stray --pace", "-x"})
    EXPECT_FALSE(parse(bad)) << bad;
}

TEST(EmulatorCommandLine, ABootWindowBringsASaveTimeUnlessOneIsGiven) {
  EXPECT_EQ(parse("")->options.saveMs, 0);
  EXPECT_EQ(parse("--boot-window 500")->options.saveMs, kDefaultSaveMs);
  EXPECT_EQ(parse("--save-ms 0 --boot-window 500")->options.saveMs, 0);
  EXPECT_FALSE(parse("--power-off")->options.poweredOn);
  EXPECT_FALSE(parse("--boot-window -1"));
}

TEST(EmulatorCommandLine, AnImageFileAsFlashNamesTheModelUnlessOneWasGiven) {
  test::TempDir dir;
  Bytes image(kImageFileSizeLarge, 0x42);
  std::copy_n("QX_Rom_T_AMD2", kTagSize, image.begin());
  test::writeFileBytes(dir.file("rom.bin"), image);
  auto cmd = parse(""), given = parse("--model 1");
  std::string error;
  ASSERT_TRUE(loadFlashFile(dir.file("rom.bin"), *cmd, error)) << error;
  EXPECT_EQ(cmd->options.modelNumber, 14);
  EXPECT_EQ(cmd->options.flash, Bytes(512 * kBlockSize, 0x42));
  EXPECT_FALSE(loadFlashFile(dir.file("rom.bin"), *given, error));  // 512 blocks for 256
}

}  // namespace
}  // namespace quorvane::emu
