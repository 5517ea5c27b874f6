// quorvane-cli, the real executable, against receiver emulators over ptys, on a shortened tick
// (QUORVANE_CLI_TEST_TICK_MS; waits are counted in ticks): what it prints, exits with, reports.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "base/notice.h"
#include "serial/protocol.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/model_check.h"
#include "transfer/rom_type.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // designated initializers

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::StartedEmulator;
using test::TempDir;

struct CliRun {
  int status = -1;
  std::string out, err;
};

std::string contents(const std::string& path) {
  const Bytes b = test::readFileBytes(path);
  return std::string(b.begin(), b.end());
}

std::vector<std::string> split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, by);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

// Runs the executable on the words of `commandLine` (no path here holds a space) after env(1)
// arguments `env` (-C DIR, NAME=VALUE); stdout and stderr go to files, neither a terminal.
CliRun runCli(const std::string& commandLine, const std::string& env = {}) {
  TempDir io;
  const std::string out = io.file("out"), err = io.file("err");
  std::string command = "env " + env + " QUORVANE_CLI_TEST_TICK_MS=10 " + QUORVANE_CLI_PATH;
  for (const std::string& word : split(commandLine, ' ')) command += " '" + word + "'";
  const int status = std::system((command + " >" + out + " 2>" + err).c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(out), contents(err)};
}

std::string text(MessageId id) {
  return noticeText(Notice::of(id));
}

Bytes imageOf(int modelNumber, Bytes flash) {
  const auto tag = romType(modelNumber - 1).tagText;
  flash.insert(flash.begin(), tag.begin(), tag.end());
  return flash;
}

std::vector<nlohmann::json> reportOf(const std::string& path) {
  std::vector<nlohmann::json> records;
  for (const std::string& line : split(contents(path), '\n'))
    records.push_back(nlohmann::json::parse(line));
  return records;
}

TEST(CliWithoutReceiver, UsageErrorsExitTwoAndPortsListsTheComMap) {
  for (const char* args :
       {"", "frobnicate", "read", "connect extra", "--port two connect",
        "--port 1 --device /dev/null connect", "--device /dev/a --device /dev/a connect",
        "--bogus connect", "key MENU NOSUCHKEY", "key 0x20"}) {
    const CliRun r = runCli(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("usage: quorvane-cli"), std::string::npos) << args;
    EXPECT_EQ(r.out, "") << args;
  }
  const CliRun r = runCli("ports", "QUORVANE_COM4=/dev/null");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("COM4  /dev/null  (QUORVANE_COM4, present)"), std::string::npos) << r.out;
}

// Each failure: its message alone on stderr, exit status 1, no image left.
TEST(CliFailures, EachFailureKeepsItsMessageAndExitsOne) {
  const emu::EmulatorOptions fine, mute{.faults = {.silence = emu::FaultPoint::afterStart()}},
      confused{.faults = {.wrongAnswer = true}}, fta39{.modelNumber = 3},
      asCi{.upgradeAnswer = emu::UpgradeAnswer::Ident, .faults = {.otherModel = 5}};
  // @img: a model 1 image, @broken: one byte short, @rom: never written; null: no device.
  using Case = std::tuple<const char*, const emu::EmulatorOptions*, std::string>;
  for (const auto& [command, receiver, err] : std::vector<Case>{
           {"connect", nullptr, noticeText(Notice::openPort(3))},
           {"key OK", nullptr, noticeText(Notice::openPort(3))},
           {"connect", &mute, text(MessageId::ConnectNotAcknowledged)},
           {"read @rom", &mute, text(MessageId::ReadTypeAnswerTimedOut)},
           {"read @rom", &confused, text(MessageId::ReadTypeAnswerWrong)},
           {"upgrade @img", &confused, text(MessageId::UpgradeAnswerUnexpectedGroupF)},
           {"verify @img", &fta39, noticeText(mismatchNotice(0, 2))},
           {"upgrade @img", &asCi, noticeText(mismatchNotice(0, 4))},  // answers as "CI 29 1"
           {"verify @broken", &fine, text(MessageId::ImageSizeWrong)},
           {"info @broken", &fine, text(MessageId::ImageSizeWrong)},
       }) {
    StartedEmulator emu(receiver ? *receiver : fine);
    TempDir dir;
    const Bytes image = imageOf(1, emu::patternFlash(1));
    test::writeFileBytes(dir.file("img"), image);
    test::writeFileBytes(dir.file("broken"), Bytes(image.begin(), image.end() - 1));
    std::string args = receiver ? "--quiet --device " + emu.path() : "--quiet --port 3";
    for (const std::string& word : split(command, ' '))
      args += " " + (word[0] == '@' ? dir.file(word.substr(1)) : word);
    const CliRun r = runCli(args, "QUORVANE_COM3=" + dir.file("absent"));
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.err, err + "\n") << args;
    EXPECT_FALSE(std::filesystem::exists(dir.file("rom"))) << args;
  }
}

TEST(CliConnectAndKey, PortFromTheConfigFileTracedAndEveryKindOfKeyName) {
  StartedEmulator emu;
  TempDir dir;
  const Bytes config = {1, 0, 0, 0};  // portIndex 1: COM2
  test::writeFileBytes(dir.file("Quorvane.cfg"), config);
  const std::string env = "-C " + dir.file("") + " QUORVANE_COM2=" + emu.path();
  CliRun r = runCli("--trace connect", env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with("COM2 <- 48 61 6C 76 6F 72 6E 65 00 00 00 00  ack\n" +
                              text(MessageId::Connected) + "\n"))
      << r.out;
  EXPECT_EQ(test::readFileBytes(dir.file("Quorvane.cfg")), config);

  r = runCli("--trace key MENU OK CH\xE2\x96\xB2 ch- FAV- P/N/S 7 0x00 <--VOL", env);
  EXPECT_EQ(r.status, 0) << r.err;
  const Bytes codes = {0x1D, 0x06, 0x02, 0x0A, 0x0C, 0x1F, 0x11, 0x00, 0x07};
  ASSERT_TRUE(emu.emulator.waitUntil(
      [&] { return emu.emulator.keyCodesReceived().size() == codes.size(); }));
  EXPECT_EQ(emu.emulator.keyCodesReceived(), codes);
  EXPECT_EQ(split(r.out, '\n').size(), codes.size()) << r.out;
  EXPECT_NE(r.out.find(" COM2 -> 48 61 6C 76 6F 72 6E 65 4A 1D 4F 56  key 0x1D (MENU)\n"),
            std::string::npos)
      << r.out;
}

// A read, its verify, and a verify against a receiver whose block 17 is corrupted: one report.
TEST(CliRead, ReadsVerifiesFindsExactlyTheCorruptedBlockAndReports) {
  StartedEmulator emu({.modelNumber = 5}),
      corrupt({.modelNumber = 5, .faults = {.corruptBlock = 17, .corruptOffset = 100}});
  TempDir dir;
  const std::string rom = dir.file("rom.bin"), report = " --report " + dir.file("r.jsonl");
  CliRun r = runCli("--device " + emu.path() + report + " read " + rom);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::readFileBytes(rom), imageOf(5, emu.emulator.flash()));
  EXPECT_EQ(r.err.find(emu.path() + ": 256/256 blocks"), 0u) << r.err;  // not a terminal:
  EXPECT_EQ(split(r.err, '\n').size(), 1u) << r.err;                    // one final line
  r = runCli("--device " + emu.path() + report + " --quiet verify " + rom);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  r = runCli("--device " + corrupt.path() + report + " --quiet verify " + rom);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "blocks 17-17 differ\n");

  const auto records = reportOf(dir.file("r.jsonl"));
  ASSERT_EQ(records.size(), 3u);
  const std::string sha = records[0]["sha256"];
  const nlohmann::json expected = {
      {"device", emu.path()}, {"image", rom},   {"tag", "QX_Rom_CIAMD1"}, {"model", "CI 29 1"},
      {"blocks_done", 256},   {"result", "ok"}, {"message", ""},          {"sha256", sha}};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(records[i]["command"], i == 0 ? "read" : "verify");
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(records[i][key], value) << key;
  }
  EXPECT_EQ(records[2]["message"], "blocks 17-17 differ");

  r = runCli("info " + rom);  // agrees with the report on the data's digest
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("sha256: " + sha), std::string::npos) << r.out;
}

TEST(CliUpgrade, ParallelReceiversEachGetTheImageAndOneFailureStaysItsOwn) {
  constexpr std::size_t kBad = 2;  // stalls after block 20
  std::deque<StartedEmulator> emus;
  for (std::size_t i = 0; i < 5; ++i)
    emus.emplace_back(emu::EmulatorOptions{
        .modelNumber = 9,
        .faults = {.silence =
                       i == kBad ? std::optional(emu::FaultPoint::afterBlock(20)) : std::nullopt}});
  TempDir dir;
  Bytes flash(std::size_t{kBlocksSmallFlash} * kBlockSize);
  for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = std::uint8_t(i * 7 + i / 4096);
  test::writeFileBytes(dir.file("rom.bin"), imageOf(9, flash));
  std::string args = "--report " + dir.file("r.jsonl");
  for (const auto& e : emus) args += " --device " + e.path();
  const CliRun r = runCli(args + " upgrade " + dir.file("rom.bin"));
  EXPECT_EQ(r.status, 1);

  const auto records = reportOf(dir.file("r.jsonl"));
  ASSERT_EQ(records.size(), emus.size());
  const std::string failure = text(MessageId::UpgradeAnswerTimedOut);
  for (std::size_t i = 0; i < emus.size(); ++i) {
    auto& e = emus[i].emulator;
    const bool bad = i == kBad;
    if (!bad) {
      ASSERT_TRUE(e.waitUntil([&] { return e.upgradeComplete(); })) << i;
      EXPECT_EQ(e.flash(), flash) << i;
      EXPECT_NE(r.out.find(e.devicePath() + ": " + kUpgradeCompleteWarning), std::string::npos);
    }
    EXPECT_EQ(records[i]["device"], e.devicePath());
    EXPECT_EQ(records[i]["result"], bad ? "failed" : "ok") << i;
    EXPECT_EQ(records[i]["message"], bad ? failure : "") << i;
    EXPECT_EQ(records[i]["blocks_done"], bad ? 21 : 256) << i;
  }
  EXPECT_EQ(split(r.out, '\n').size(), emus.size() - 1) << r.out;
  const auto errLines = split(r.err, '\n');
  EXPECT_EQ(std::count(errLines.begin(), errLines.end(), emus[kBad].path() + ": " + failure), 1);
}

}  // namespace
}  // namespace quorvane
