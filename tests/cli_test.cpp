// quorvane-cli, the real executable, against receiver emulators over
// pseudo-terminals. The tool runs with a shortened tick
// (QUORVANE_CLI_TEST_TICK_MS); every wait is counted in ticks, so the
// exchange is the one of the 50 ms tick, only faster. Nothing here measures
// time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/notice.h"
#include "receiver_emulator.h"
#include "serial/protocol.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/rom_type.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::StartedEmulator;
using test::TempDir;

constexpr const char* kTestTickMs = "10";

// The executable: named by the build, else beside this test's build folder.
std::string cliPath() {
#ifdef QUORVANE_CLI_PATH
  return QUORVANE_CLI_PATH;
#else
  char self[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "quorvane-cli";
  return (fs::path(std::string(self, std::size_t(n))).parent_path().parent_path() / "tools" /
          "cli" / "quorvane-cli")
      .string();
#endif
}

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the executable with `args`, in `cwd` when given, with extra
// environment variables; collects stdout and stderr.
CliRun runCli(const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {}, const std::string& cwd = {}) {
  const std::string exe = cliPath();
  std::vector<std::string> argStore{exe};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    const auto eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  vars["QUORVANE_CLI_TEST_TICK_MS"] = kTestTickMs;
  for (const auto& [k, v] : env) vars[k] = v;
  std::vector<std::string> envStore;
  for (const auto& [k, v] : vars) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  CliRun run;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, std::size_t(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string text(MessageId id) {
  return noticeText(Notice::of(id));
}

Bytes imageOf(int modelNumber, const Bytes& flash) {
  const auto tag = romType(modelNumber - 1).tagText;
  Bytes image(tag.begin(), tag.end());
  image.insert(image.end(), flash.begin(), flash.end());
  return image;
}

emu::EmulatorOptions model(int modelNumber, emu::FaultPlan faults = {}) {
  emu::EmulatorOptions o;
  o.modelNumber = modelNumber;
  o.faults = faults;
  return o;
}

std::vector<nlohmann::json> reportOf(const std::string& path) {
  const Bytes bytes = test::readFileBytes(path);
  std::vector<nlohmann::json> records;
  for (const std::string& line : linesOf(std::string(bytes.begin(), bytes.end())))
    records.push_back(nlohmann::json::parse(line));
  return records;
}

// ---- command line --------------------------------------------------------------

TEST(CliUsage, UsageErrorsExitTwoWithShortUsage) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"read"},
           {"connect", "extra"},
           {"--port", "two", "connect"},
           {"--port", "1", "--device", "/dev/null", "connect"},
           {"--device", "/dev/a", "--device", "/dev/a", "connect"},
           {"--bogus", "connect"},
           {"key", "MENU", "NOSUCHKEY"},
           {"key", "0x20"},
       }) {
    const CliRun r = runCli(args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(r.err.find("usage: quorvane-cli"), std::string::npos);
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(CliUsage, HelpNamesEveryCommandAndOption) {
  const CliRun r = runCli({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* word : {"connect", "read FILE", "upgrade FILE", "verify FILE", "key KEY",
                           "info FILE", "ports", "--port N", "--device PATH", "--trace",
                           "--report FILE", "--quiet", "Quorvane.cfg", "P/N/S"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

// ---- connect and the port choice -------------------------------------------------

TEST(CliConnect, SuccessSilenceAndMissingPort) {
  StartedEmulator good(model(1));
  emu::FaultPlan silent;
  silent.silentAfterStart = true;
  StartedEmulator mute(model(1, silent));

  CliRun r = runCli({"--device", good.path(), "connect"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, text(MessageId::ConnectOk) + "\n");
  EXPECT_EQ(r.err, "");

  r = runCli({"--device", mute.path(), "connect"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, text(MessageId::NoAnswer) + "\n");
  ASSERT_TRUE(mute.emulator.waitUntil([&] { return mute.emulator.framesReceived().size() == 2; }));
  EXPECT_EQ(mute.emulator.framesReceived()[1], kStopFrame);

  TempDir dir;
  r = runCli({"--port", "3", "connect"}, {{"QUORVANE_COM3", dir.file("absent")}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, noticeText(Notice::openPort(3)) + "\n");
}

TEST(CliConnect, PortComesFromTheConfigFileWhichStaysUntouched) {
  StartedEmulator emu(model(1));
  TempDir dir;
  const Bytes config = {1, 0, 0, 0};  // portIndex 1: COM2
  test::writeFileBytes(dir.file("Quorvane.cfg"), config);
  CliRun r = runCli({"--trace", "connect"}, {{"QUORVANE_COM2", emu.path()}}, dir.path().string());
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = linesOf(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_NE(lines[0].find("COM2 -> 48 61 6C 76 6F 72 6E 65 00 10 00 00  connect request"),
            std::string::npos);
  EXPECT_NE(lines[1].find("COM2 <- 48 61 6C 76 6F 72 6E 65 00 00 00 00  ack"), std::string::npos);
  EXPECT_EQ(lines[2], text(MessageId::ConnectOk));
  EXPECT_EQ(test::readFileBytes(dir.file("Quorvane.cfg")), config);

  // No file: COM1.
  TempDir empty;
  r = runCli({"connect"}, {{"QUORVANE_COM1", emu.path()}}, empty.path().string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(empty.file("Quorvane.cfg")));
}

// ---- read and verify ---------------------------------------------------------------

TEST(CliRead, ReadsTheFlashThenVerifiesItAndReports) {
  StartedEmulator emu(model(5));
  TempDir dir;
  const std::string rom = dir.file("rom.bin"), report = dir.file("report.jsonl");
  CliRun r = runCli({"--device", emu.path(), "--report", report, "read", rom});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::readFileBytes(rom), imageOf(5, emu.emulator.flash()));
  // Not a terminal: one final progress line.
  EXPECT_EQ(linesOf(r.err).size(), 1u);
  EXPECT_NE(r.err.find(emu.path() + ": 256/256 blocks"), std::string::npos) << r.err;

  r = runCli({"--device", emu.path(), "--report", report, "--quiet", "verify", rom});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");

  const auto records = reportOf(report);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["command"], "read");
  EXPECT_EQ(records[1]["command"], "verify");
  for (const auto& rec : records) {
    EXPECT_EQ(rec["device"], emu.path());
    EXPECT_EQ(rec["image"], rom);
    EXPECT_EQ(rec["tag"], "QX_Rom_CIAMD1");
    EXPECT_EQ(rec["model"], "CI 29 1");
    EXPECT_EQ(rec["blocks_done"], 256);
    EXPECT_EQ(rec["block_count"], 256);
    EXPECT_EQ(rec["result"], "ok");
    EXPECT_EQ(rec["message"], "");
    EXPECT_EQ(rec["sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(rec["start_time"].get<std::string>().back(), 'Z');
    EXPECT_GT(rec["duration_s"].get<double>(), 0.0);
  }
  EXPECT_EQ(records[0]["sha256"], records[1]["sha256"]);

  // info agrees with the report on the data's digest.
  r = runCli({"info", rom});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("sha256: " + records[0]["sha256"].get<std::string>()), std::string::npos);
  for (const char* field : {"tag: QX_Rom_CIAMD1", "model: CI 29 1", "family: CI", "flash type: AMD",
                            "flash size: 1 MiB", "blocks: 256", "loads: yes"})
    EXPECT_NE(r.out.find(field), std::string::npos) << field;
}

TEST(CliRead, FailuresKeepTheirMessagesAndWriteNothing) {
  struct Case {
    emu::FaultPlan faults;
    MessageId message;
  };
  emu::FaultPlan silent, wrong, stalls;
  silent.silentAfterStart = true;
  wrong.wrongAnswer = true;
  stalls.silentAfterBlock = 3;
  for (const Case& c : {Case{silent, MessageId::NoAnswer2}, Case{wrong, MessageId::NoAnswer1},
                        Case{stalls, MessageId::NoAnswer}}) {
    StartedEmulator emu(model(1, c.faults));
    TempDir dir;
    const CliRun r = runCli({"--device", emu.path(), "--quiet", "read", dir.file("rom.bin")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, text(c.message) + "\n");
    EXPECT_FALSE(fs::exists(dir.file("rom.bin")));
  }
}

TEST(CliVerify, FindsExactlyTheCorruptedBlock) {
  emu::FaultPlan corrupt;
  corrupt.corruptBlock = 17;
  corrupt.corruptOffset = 100;
  StartedEmulator emu(model(3, corrupt));
  TempDir dir;
  const std::string rom = dir.file("rom.bin");
  test::writeFileBytes(rom, imageOf(3, emu::patternFlash(3)));
  const CliRun r = runCli({"--device", emu.path(), "--quiet", "verify", rom});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "blocks 17-17 differ\n");
  EXPECT_EQ(test::readFileBytes(rom), imageOf(3, emu::patternFlash(3)));  // untouched
}

TEST(CliVerify, RefusesAnotherModelAndABrokenImage) {
  StartedEmulator emu(model(3));  // "Fta 39 1"
  TempDir dir;
  const std::string rom = dir.file("rom.bin");
  test::writeFileBytes(rom, imageOf(1, emu::patternFlash(1)));  // "Fta 29 1"
  CliRun r = runCli({"--device", emu.path(), "--quiet", "verify", rom});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, noticeText(Notice::mismatch(0, 2)) + "\n");
  ASSERT_TRUE(emu.emulator.waitUntil([&] { return emu.emulator.framesReceived().size() == 2; }));
  // The type answer is refused: no block is acknowledged, stop follows.
  EXPECT_EQ(emu.emulator.framesReceived()[0], kStartReadFrame);
  EXPECT_EQ(emu.emulator.framesReceived()[1], kStopFrame);

  Bytes broken = imageOf(3, emu::patternFlash(3));
  broken.pop_back();
  test::writeFileBytes(rom, broken);
  r = runCli({"--device", emu.path(), "verify", rom});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, text(MessageId::FileSizeError) + "\n");
  r = runCli({"info", rom, dir.file("none.bin")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("loads: no (" + text(MessageId::FileSizeError) + ")"), std::string::npos);
  EXPECT_EQ(r.err, rom + ": " + text(MessageId::FileSizeError) + "\n" + dir.file("none.bin") +
                       ": " + noticeText(Notice::openFile(dir.file("none.bin"))) + "\n");
}

// ---- upgrade -------------------------------------------------------------------------

TEST(CliUpgrade, WritesTheImageAndWarns) {
  StartedEmulator emu(model(7));
  TempDir dir;
  Bytes flash = emu::patternFlash(7);
  for (std::size_t i = 0; i < flash.size(); i += 97) flash[i] ^= 0x5A;  // not its own
  const std::string rom = dir.file("new.bin");
  test::writeFileBytes(rom, imageOf(7, flash));
  const CliRun r = runCli({"--device", emu.path(), "upgrade", rom});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kUpgradeCompleteWarning) + "\n");
  ASSERT_TRUE(emu.emulator.waitUntil([&] { return emu.emulator.upgradeComplete(); }));
  EXPECT_EQ(emu.emulator.flash(), flash);
}

TEST(CliUpgrade, ModelMismatchAndUnexpectedAnswer) {
  emu::EmulatorOptions other = model(1);
  other.upgradeAnswer = emu::UpgradeAnswer::Ident;
  other.faults.otherModel = 5;  // answers as "CI 29 1"
  StartedEmulator mismatched(other);
  emu::FaultPlan wrong;
  wrong.wrongAnswer = true;
  StartedEmulator confused(model(1, wrong));
  TempDir dir;
  const std::string rom = dir.file("rom.bin");
  test::writeFileBytes(rom, imageOf(1, emu::patternFlash(1)));

  CliRun r = runCli({"--device", mismatched.path(), "--quiet", "upgrade", rom});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, noticeText(Notice::mismatch(0, 4)) + "\n");
  EXPECT_EQ(mismatched.emulator.blocksReceived(), 0u);

  r = runCli({"--device", confused.path(), "--quiet", "upgrade", rom});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, text(MessageId::NoAnswerF) + "\n");
}

TEST(CliUpgrade, ParallelReceiversDoNotDisturbEachOther) {
  constexpr int kGood = 4;
  std::vector<std::unique_ptr<StartedEmulator>> emus;
  for (int i = 0; i < kGood; ++i) emus.push_back(std::make_unique<StartedEmulator>(model(9)));
  emu::FaultPlan stalls;
  stalls.silentAfterBlock = 20;
  emus.push_back(std::make_unique<StartedEmulator>(model(9, stalls)));

  TempDir dir;
  Bytes flash(std::size_t{kBlocksSmallFlash} * kBlockSize);
  for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = std::uint8_t(i * 7 + i / 4096);
  const std::string rom = dir.file("rom.bin"), report = dir.file("r.jsonl");
  test::writeFileBytes(rom, imageOf(9, flash));
  std::vector<std::string> args = {"--report", report};
  for (const auto& e : emus) args.insert(args.end(), {"--device", e->path()});
  args.insert(args.end(), {"upgrade", rom});

  const CliRun r = runCli(args);
  EXPECT_EQ(r.status, 1);
  for (int i = 0; i < kGood; ++i) {
    ASSERT_TRUE(emus[std::size_t(i)]->emulator.waitUntil(
        [&] { return emus[std::size_t(i)]->emulator.upgradeComplete(); }));
    EXPECT_EQ(emus[std::size_t(i)]->emulator.flash(), flash) << i;
  }
  const std::string failing = emus.back()->path();
  // stderr: the failure of the stalled one, then a final line per receiver.
  const auto errLines = linesOf(r.err);
  int failureLines = 0;
  for (const std::string& line : errLines)
    if (line == failing + ": " + text(MessageId::NoAnswer1)) ++failureLines;
  EXPECT_EQ(failureLines, 1) << r.err;
  EXPECT_EQ(errLines.size(), emus.size() + 1) << r.err;
  EXPECT_EQ(linesOf(r.out).size(), std::size_t{kGood});
  for (const auto& e : emus) {
    if (e->path() == failing) continue;
    EXPECT_NE(r.out.find(e->path() + ": " + kUpgradeCompleteWarning), std::string::npos);
  }

  const auto records = reportOf(report);
  ASSERT_EQ(records.size(), emus.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i]["device"], emus[i]->path());
    EXPECT_EQ(records[i]["tag"], "QX_RomHCIAMD1");
    EXPECT_EQ(records[i]["model"], "HCI 29 1");
    const bool bad = emus[i]->path() == failing;
    EXPECT_EQ(records[i]["result"], bad ? "failed" : "ok");
    EXPECT_EQ(records[i]["message"], bad ? text(MessageId::NoAnswer1) : "");
    EXPECT_EQ(records[i]["blocks_done"], bad ? 21 : 256);
  }
}

// ---- keys ------------------------------------------------------------------------------

TEST(CliKey, CaptionsAliasesAndCodes) {
  StartedEmulator emu(model(1));
  const std::vector<std::string> names = {"MENU", "OK",   "CH\xE2\x96\xB2", "ch-",
                                          "VOL+", "FAV-", "POWER",          "P/N/S",
                                          "7",    "0x1F", "0x00",           "<--VOL"};
  const std::vector<std::uint8_t> codes = {0x1D, 0x06, 0x02, 0x0A, 0x05, 0x0C,
                                           0x18, 0x1F, 0x11, 0x1F, 0x00, 0x07};
  std::vector<std::string> args = {"--device", emu.path(), "--trace", "key"};
  args.insert(args.end(), names.begin(), names.end());
  const CliRun r = runCli(args);
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(emu.emulator.waitUntil(
      [&] { return emu.emulator.keyCodesReceived().size() == codes.size(); }));
  EXPECT_EQ(emu.emulator.keyCodesReceived(), codes);
  const auto lines = linesOf(r.out);
  ASSERT_EQ(lines.size(), codes.size());
  EXPECT_NE(lines[0].find("4A 1D 4F 56  key 0x1D (MENU)"), std::string::npos) << lines[0];

  TempDir dir;
  const CliRun missing = runCli({"--port", "2", "key", "OK"}, {{"QUORVANE_COM2", dir.file("x")}});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, noticeText(Notice::openPort(2)) + "\n");
}

TEST(CliPorts, ListsTheComMap) {
  const CliRun r = runCli({"ports"}, {{"QUORVANE_COM4", "/dev/null"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("COM1  /dev/ttyS0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("COM4  /dev/null  (QUORVANE_COM4, present)"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace quorvane
