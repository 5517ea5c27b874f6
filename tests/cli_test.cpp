// quorvane-cli run against emulators over ptys: output, status, reports; parsing, progress lines.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/notice.h"
#include "cli.h"
#include "console.h"
#include "diagnosis.h"
#include "doctor.h"
#include "serial/protocol.h"
#include "serial/serial_port.h"
#include "support/emulator_driver.h"
#include "support/pty_pair.h"
#include "support/test_support.h"
#include "transfer/model_check.h"
#include "transfer/rom_type.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // designated initializers

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
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

// One run: the words of `line` (no path holds a space) after env(1) arguments `env` and shell
// commands `shell` ("ulimit -f 64;"), as root or nobody; stdout and stderr to files, no terminal.
struct CliCall {
  std::string line, env;
  bool asNobody = false;
  std::string shell;
};

constexpr int kCannotDropRoot = 99;

struct CliProcess {
  explicit CliProcess(const CliCall& call) {
    std::string command = call.shell + " exec env " + call.env + " " + QUORVANE_CLI_PATH;
    for (const std::string& word : split(call.line, ' ')) command += " '" + word + "'";
    const int out = ::open(io_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(io_.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      if (call.asNobody &&
          (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
        ::_exit(kCannotDropRoot);
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (const int fd : {out, err}) ::close(fd);
  }
  void interrupt() const { ::kill(pid_, SIGINT); }
  std::string err() const { return contents(io_.file("err")); }
  CliRun finish() const {
    int status = -1;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(io_.file("out")),
            contents(io_.file("err"))};
  }
  TempDir io_;
  pid_t pid_ = -1;
};

CliRun runCli(const CliCall& call) {
  return CliProcess(call).finish();
}
CliRun runCli(const std::string& line, const std::string& env = {}) {
  return runCli(CliCall{.line = line, .env = env});
}

const auto text = [](MessageId id) { return noticeText(Notice::of(id)); };

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

// A receiver's final progress line on stderr (not a terminal: one line per receiver).
std::string progressLineOf(const std::string& err, const std::string& device) {
  std::string found;
  for (const std::string& line : split(err, '\n'))
    if (line.starts_with(device + ": ") && line.find(" blocks ") != std::string::npos) found = line;
  return found;
}

// "21/256 blocks " as the report record counts.
std::string countsOf(const nlohmann::json& record) {
  return std::to_string(record["blocks_done"].get<long long>()) + "/" +
         std::to_string(record["block_count"].get<long long>()) + " blocks ";
}

TEST(CliOptions, OptionsStandBeforeOrAfterTheCommandAndDoubleDashEndsThem) {
  // Each line parsed: "command|args|port|devices|quiet trace|keys" or "error: ...".
  for (const auto& [line, expected] : std::vector<std::pair<const char*, std::string>>{
           {"--port 1 connect", "connect||1||00|"},
           {"connect --port 1", "connect||1||00|"},
           {"read --device /dev/a rom.bin --quiet", "read|rom.bin|-|/dev/a|10|"},
           {"--device=/dev/a verify --device /dev/b x.bin", "verify|x.bin|-|/dev/a /dev/b|00|"},
           {"key MENU --trace OK", "key|MENU OK|-||01|29 6"},
           {"info a -- -b --quiet", "info|a -b --quiet|-||00|"},
           {"connect --bogus", "error: unknown option --bogus"},
           {"info -b", "error: unknown option -b"},
           {"connect --trace=1", "error: unknown option --trace=1"},
           {"connect --port", "error: --port needs a COM number"},
           {"-- --port 1 connect", "error: unknown command --port"},
           {"connect -- extra", "error: connect: too many arguments"},
           {"ports --port 1 --device /dev/a", "error: --port and --device exclude each other"},
           {"upgrade x --reboot-wait 5", "error: --reboot-wait goes with --verify"},
           {"upgrade x --verify --reboot-wait 0",
            "error: --reboot-wait needs a number of seconds from 1 to 3600, not \"0\""},
       }) {
    const cli::ParseResult parsed = cli::parseCommandLine(split(line, ' '), cli::commandTable());
    std::string got = "error: " + parsed.error;
    if (const auto& o = parsed.options) {
      auto join = [](const auto& items) {
        std::string text;
        for (const auto& item : items) text += (text.empty() ? "" : " ") + std::string(item);
        return text;
      };
      std::vector<std::string> keys;
      for (const std::uint8_t k : o->keys) keys.push_back(std::to_string(k));
      got = std::string(o->command->name) + "|" + join(o->args) + "|" +
            (o->port ? std::to_string(*o->port) : "-") + "|" + join(o->devices) + "|" +
            char('0' + o->quiet) + char('0' + o->trace) + "|" + join(keys);
    }
    EXPECT_EQ(got, expected) << line;
  }
}

TEST(CliProgressLine, FitsTheTerminalShorteningTheDeviceNameInTheMiddle) {
  const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  const cli::ProgressState p{.done = 120,
                             .count = 256,
                             .ended = cli::Clock::time_point{} + 102400ms,
                             .bytesPerSecond = 10240,
                             .secondsLeft = 54};
  EXPECT_EQ(cli::liveProgressLine("/dev/ttyUSB0", p, false, "", 80),
            "/dev/ttyUSB0: 120/256 blocks [###########.............] 10240 B/s left 0:54");
  EXPECT_EQ(cli::liveProgressLine(byId, p, false, "", 200).find(byId + ": 120/256 blocks [#"), 0u);
  auto width = [](const std::string& s) {
    return std::count_if(s.begin(), s.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; });
  };
  // Narrower: the bar goes, then rate and time left, then the name's middle; count, outcome stay.
  using Fit = std::tuple<std::string, std::size_t, std::string>;
  for (const auto& [label, columns, expected] :
       std::vector<Fit>{{"/dev/ttyUSB0", 60, "/dev/ttyUSB0: 120/256 blocks 10240 B/s left 0:54"},
                        {"/dev/ttyUSB0", 40, "/dev/ttyUSB0: 120/256 blocks"},
                        {byId, 40, "/dev/s...5BI-if00-port0: 120/256 blocks"},
                        {"/dev/ttyUSB0", 12, "120/256 blocks"}})
    EXPECT_EQ(cli::liveProgressLine(label, p, false, "", columns), expected);
  for (const std::size_t columns : {80u, 40u, 30u}) {
    const std::string line = cli::liveProgressLine(byId, p, true, "cancelled", columns);
    EXPECT_LT(width(line), std::ptrdiff_t(columns)) << line;
    EXPECT_TRUE(line.ends_with("120/256 blocks cancelled")) << line;
  }
  // A station's row keeps its slot and the slot's label: the rest gives way first.
  const std::string unit = "slot 2 /dev/ttyUSB0 unit 0007";
  EXPECT_EQ(cli::liveProgressLine(unit, p, false, "", 40, 19),
            "slot 2 /dev/ttyUSB0...7: 120/256 blocks");
  EXPECT_EQ(cli::liveProgressLine(unit, p, false, "", 24, 19), "slot 2 /dev/ttyUSB0");
  // The console redraws its rows with these lines.
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* drawn = open_memstream(&buffer, &size);
  {
    cli::Console console({.live = true, .columns = 40, .err = drawn});
    const int row = console.addProgress(byId);
    console.updateProgress(row, 256, 256, cli::Clock::now());
    console.finishProgress(row, "ok", cli::Clock::now(), 256, 256);
  }
  std::fclose(drawn);
  const auto rows = split(std::string(buffer, size), '\n');
  std::free(buffer);
  ASSERT_EQ(rows.size(), 3u);  // drawn, cleared, drawn again
  EXPECT_NE(rows.back().find("-port0: 256/256 blocks "), std::string::npos) << rows.back();
  for (const std::string& row : rows) EXPECT_LT(width(row.substr(row.rfind("\033[K") + 3)), 40);

  const std::string umlauts = "\xC3\x84\xC3\x96";  // two characters, four bytes
  const std::vector<Fit> cuts = {{"abcdefghij", 10, "abcdefghij"},
                                 {"abcdefghij", 7, "a...hij"},
                                 {umlauts + "bcdefgh", 8, umlauts.substr(0, 2) + "...efgh"},
                                 {"abcdef", 2, "ab"}};
  for (const auto& [label, columns, expected] : cuts)
    EXPECT_EQ(cli::shortenMiddle(label, columns), expected) << label << " " << columns;

  // Redrawn in place only on a terminal that can: not on a dumb one, nor into a file.
  EXPECT_TRUE(cli::redrawable(true, "xterm-256color"));
  for (const auto& [terminal, term] : std::vector<std::pair<bool, const char*>>{
           {true, "dumb"}, {true, ""}, {true, nullptr}, {false, "xterm"}})
    EXPECT_FALSE(cli::redrawable(terminal, term)) << (term ? term : "(unset)");
}

TEST(CliWithoutReceiver, UsageErrorsExitTwoAndPortsListsTheComMap) {
  for (const char* args :
       {"", "frobnicate", "read", "connect extra", "--port two connect",
        "--port 1 --device /dev/null connect", "--device /dev/a --device /dev/a connect",
        "--bogus connect", "connect --bogus", "info -x.bin", "key MENU NOSUCHKEY", "key 0x20",
        "connect --connect"}) {
    const CliRun r = runCli(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("usage: quorvane-cli"), std::string::npos) << args;
    EXPECT_EQ(r.out, "") << args;
  }
  StartedEmulator emu;
  const CliRun r = runCli("ports", "QUORVANE_COM4=/dev/null QUORVANE_COM2=" + emu.path());
  EXPECT_EQ(r.status, 0);
  for (const std::string& line : std::vector<std::string>{
           "COM4  /dev/null  (QUORVANE_COM4, present)  can't open: not a serial device "
           "(tcgetattr: Inappropriate ioctl for device); quorvane-cli doctor --device /dev/null "
           "checks this port and the PC\n",
           "COM2  " + emu.path() +
               "  (QUORVANE_COM2, present)  can open, hardware flow control unknown (no modem "
               "lines)\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
}

// The map file: set, shown (sources, ignored lines; the environment wins), cleared, rewritten.
TEST(CliWithoutReceiver, MapSetsShowsAndClearsTheComMapFile) {
  TempDir dir;
  const std::string env = "XDG_CONFIG_HOME=" + dir.path().string();
  ASSERT_EQ(runCli("map 3 /dev/ttyUSB7", env).status, 0);
  std::ofstream(dir.file("quorvane/ports.conf"), std::ios::app)
      << "COM0=/x\r\n#\n COM4 = /dev/ttyACM1 \n";
  std::string out = runCli("map", env + " QUORVANE_COM4=/dev/ttyS9").out;
  for (const char* line :
       {"COM1  /dev/ttyS0  (default, ", "COM3  /dev/ttyUSB7  (map file, ",
        "COM4  /dev/ttyS9  (QUORVANE_COM4, ", "line 2 ignored (not COM<n>=device): COM0=/x\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  EXPECT_EQ(runCli("map 3 --clear", env).status + runCli("map 0 /dev/ttyS0", env).status, 2);
  out = runCli("map", env).out;
  EXPECT_NE(out.find("COM3  /dev/ttyS2  (default, "), std::string::npos) << out;
  EXPECT_EQ(contents(dir.file("quorvane/ports.conf")), "COM4=/dev/ttyACM1\n");
}

// Each failure: its message as a line of its own, the next naming the device or file; status 1, no
// image or block written. A receiver that only acks is asked its type first; another is refused.
TEST(CliFailures, EachFailureKeepsItsMessageAndExitsOne) {
  const emu::EmulatorOptions fine, mute{.faults = {.silence = emu::FaultPoint::afterStart()}},
      confused{.faults = {.wrongAnswer = true}}, fta39{.modelNumber = 3}, fta292{.modelNumber = 2},
      asCi{.upgradeAnswer = emu::UpgradeAnswer::Ident, .faults = {.otherModel = 5}};
  // @img: a model 1 image, @broken: one byte short, @rom: never written; null: no device.
  using Case = std::tuple<const char*, const emu::EmulatorOptions*, std::string>;
  for (const auto& [command, receiver, err] : std::vector<Case>{
           {"connect", nullptr, noticeText(Notice::openPort(3))},
           {"connect", &mute, text(MessageId::ConnectNotAcknowledged)},
           {"read @rom", &mute, text(MessageId::ReadTypeAnswerTimedOut)},
           {"read @rom", &confused, text(MessageId::ReadTypeAnswerWrong)},
           {"upgrade @img", &confused, text(MessageId::UpgradeAnswerUnexpectedGroupF)},
           {"verify @img", &fta39, noticeText(mismatchNotice(0, 2))},
           {"upgrade @img", &asCi, noticeText(mismatchNotice(0, 4))},   // answers as "CI 29 1"
           {"upgrade @img", &fta39, noticeText(mismatchNotice(0, 2))},  // acknowledges only
           {"upgrade @img", &fta292, noticeText(mismatchNotice(0, 1))},
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
    const std::size_t at = r.err.find(err + "\n");
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_TRUE(at == 0 || r.err[at - 1] == '\n') << r.err;
    const std::string subject = std::string(command).ends_with("broken") ? dir.file("broken")
                                : receiver                               ? emu.path()
                                                                         : "COM3 (";
    EXPECT_EQ(r.err.find(subject, at + err.size() + 1), at + err.size() + 1) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("rom"))) << args;
    EXPECT_EQ(emu.emulator.blocksReceived(), 0u) << args;
  }
}

// Under the message, one line: the device, the system's reason, the next step; in the report too.
TEST(CliExplains, EachOpenFailureNamesTheDeviceTheReasonAndTheNextStep) {
  test::PtyPair denied, held;
  ASSERT_EQ(::chmod(denied.devicePath().c_str(), 0600), 0);
  SerialPort holder;
  ASSERT_EQ(holder.openDevice(held.devicePath(), kLineSpeed), 1);
  TempDir dir;
  test::writeFileBytes(dir.file("img"), imageOf(1, emu::patternFlash(1)));
  const std::string absent = dir.file("ttyUSB9"), d = denied.devicePath(), h = held.devicePath();
  struct Case {
    std::string command, message, because, step;  // the second line begins with because, holds step
    bool asNobody = false;
  };
  for (const Case& c : std::vector<Case>{
           {"--device " + absent + " connect", "open port0 error!",
            absent + ": not present (open: No such file or directory); is the adapter plugged in?",
            "quorvane-cli ports"},
           {"--device " + h + " key OK", "open port0 error!",
            h + ": busy, held by another program (flock: ", "fuser -v " + h},
           {"--device /dev/null read " + dir.file("rom"), "open port0 error!",
            "/dev/null: not a serial device (tcgetattr: ", "quorvane-cli ports"},
           {"--port 0 connect", "open port0 error!", "COM0: no device for this port number; ",
            "QUORVANE_COM<n>"},
           {"--port 3 upgrade " + dir.file("img"), "open port3 error!",
            "COM3 (" + absent + "): not present (open: ", "QUORVANE_COM3=/dev/ttyUSB0"},
           {"--device /dev/null --device " + absent + " verify " + dir.file("img"),
            "/dev/null: open port0 error!", "/dev/null: not a serial device (", "ports"},
           {"--device " + d + " connect", "open port0 error!",
            d + ": permission denied (open: Permission denied); ",
            "mode 0600, so no group may use it: an administrator", true},
       }) {
    // nobody may not write the report in this folder
    const std::string report = c.asNobody ? "" : " --report " + dir.file("r.jsonl");
    const CliRun r = runCli({.line = "--quiet" + report + " " + c.command,
                             .env = "QUORVANE_COM3=" + absent,
                             .asNobody = c.asNobody});
    if (r.status == kCannotDropRoot) GTEST_SKIP() << "cannot run as another user here";
    EXPECT_EQ(r.status, 1) << c.command;
    const auto lines = split(r.err, '\n');
    ASSERT_GE(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[0], c.message);
    EXPECT_EQ(lines[1].find(c.because), 0u) << lines[1];
    EXPECT_NE(lines[1].find(c.step), std::string::npos) << lines[1];
    EXPECT_TRUE(lines[1].ends_with(" checks this port and the PC")) << lines[1];
    EXPECT_EQ(lines[1].find("dialout"), std::string::npos) << lines[1];  // the pty's group is tty
    if (report.empty()) continue;
    const nlohmann::json record = reportOf(dir.file("r.jsonl")).back();
    EXPECT_EQ(record["reason"], lines.size() == 2 ? lines[1] : lines[3]) << c.command;
    std::filesystem::remove(dir.file("r.jsonl"));
  }
}

// read makes sure of its file before opening the port, names a failed final write, leaves nothing.
TEST(CliExplains, ReadNamesTheFileItCannotWriteAndSendsNothingBeforeItIsSure) {
  TempDir dir;
  const std::string rom = dir.file("rom.bin"), missing = dir.file("no/such/rom.bin");
  struct Case {
    bool receiver;                              // an emulator, else a device that does not exist
    std::string shell, path, message, because;  // shell: run before the tool
    std::size_t frames;                         // the receiver heard
  };
  for (const Case& c : std::vector<Case>{
           {true, "", missing, "create file error!",
            missing + ": the folder " + dir.file("no/such") +
                " does not exist (mkstemp: No such file or directory); ",
            0},
           {false, "", missing, "create file error!", missing + ": the folder ", 0},
           // 64 KiB at most: the data's first write fails, after every block was taken
           {true, "trap '' XFSZ; ulimit -f 128;", rom, "write file error!",
            rom + ": cannot be written (write: File too large); ", 1 + 256 + 1},
       }) {
    StartedEmulator emu;
    const std::string device = c.receiver ? emu.path() : dir.file("ttyUSB9");
    const CliRun r =
        runCli({.line = "--quiet --device " + device + " read " + c.path, .shell = c.shell});
    EXPECT_EQ(r.status, 1) << c.message;
    const auto lines = split(r.err, '\n');
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[0], c.message);
    EXPECT_EQ(lines[1].find(c.because), 0u) << lines[1];
    auto& e = emu.emulator;
    EXPECT_TRUE(e.waitUntil([&] { return e.framesReceived().size() == c.frames; })) << c.message;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << c.message;
  }
}

// A device vanishing mid-read ends the job as disconnected (not by the counted wait, whose line
// would say "no answer within 3000 ms"), no file.
TEST(CliExplains, AVanishedDeviceIsNamedAsDisconnectedAtOnce) {
  StartedEmulator emu({.modelNumber = 5, .faults = {.vanish = emu::FaultPoint::afterBlock(20)}});
  TempDir dir;
  const CliRun r = runCli("--quiet --device " + emu.path() + " read " + dir.file("rom.bin"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find(text(MessageId::ReadBlockTimedOut) + "\n" + emu.path() +
                       ": disconnected during the job (read: "),
            0u)
      << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// Ctrl-C in the middle of a read: the receiver is told to stop, so the next read works.
TEST(CliInterrupt, CtrlCInAReadSendsTheStopFrameAndTheNextReadSucceeds) {
  StartedEmulator emu({.modelNumber = 5, .faults = {.silence = emu::FaultPoint::afterBlock(5)}});
  TempDir dir;
  const std::string rom = dir.file("rom.bin");
  const std::string args =
      "--device " + emu.path() + " --report " + dir.file("r.jsonl") + " read " + rom;
  auto& e = emu.emulator;
  {
    // The longest tick: the tool waits 60 of them for block 6 before it gives up.
    const CliProcess tool({.line = args});
    ASSERT_TRUE(e.waitUntil([&] { return e.framesReceived().size() == 1 + 6; }));  // 6 acks
    tool.interrupt();
    const CliRun r = tool.finish();
    EXPECT_EQ(r.status, 130);
    EXPECT_NE(r.err.find(" cancelled\n"), std::string::npos) << r.err;
  }
  ASSERT_TRUE(e.waitUntil([&] { return e.framesReceived().size() == 1 + 6 + 1; }));
  EXPECT_EQ(e.framesReceived().back(), kStopFrame);
  EXPECT_FALSE(std::filesystem::exists(rom));
  e.setFaults({});
  const CliRun r = runCli(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::readFileBytes(rom), imageOf(5, e.flash()));
  const auto records = reportOf(dir.file("r.jsonl"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["result"], "cancelled");
  EXPECT_EQ(records[1]["result"], "ok");
}

// A silent line on a port with hardware flow control, parity or two stop bits says so, and how
// to set it right.
TEST(CliExplains, KeptLineSettingsAreNamedWithTheCommandThatSetsThemRight) {
  using cli::explainSilence;
  const std::string doctor =
      "; quorvane-cli doctor --device /dev/ttyS0 checks this port and the PC";
  auto line = [](LineState flow, Parity parity = Parity::None, int stopBitsTimesTwo = 2) {
    return LineSettings{.known = true,
                        .speed = 9600,
                        .parity = parity,
                        .stopBitsTimesTwo = stopBitsTimesTwo,
                        .hardwareFlowControl = flow};
  };
  using Case = std::tuple<LineSettings, LineState, bool, std::string>;
  for (const auto& [settings, cts, timedOut, expected] : std::vector<Case>{
           {line(LineState::On), LineState::Off, false,
            "/dev/ttyS0: hardware flow control (RTS/CTS) is on for this port and CTS is off, so "
            "the PC sends nothing; a 3-wire cable has no CTS line: turn it off with stty -F "
            "/dev/ttyS0 -crtscts"},
           {line(LineState::Off, Parity::Even, 4), LineState::On, true,
            "/dev/ttyS0: the port is set to parity even, 2 stop bits (9600 8E2), the receiver "
            "talks 8N1 without flow control: set it with stty -F /dev/ttyS0 -parenb -cstopb "
            "-crtscts"},
           {line(LineState::Off), LineState::Off, true,
            "/dev/ttyS0: a write did not finish within 5000 ms: the port does not send"},
       }) {
    const auto told =
        explainSilence({std::nullopt, "/dev/ttyS0"}, "/dev/ttyS0", 3000, settings, cts, timedOut);
    EXPECT_EQ(told.line(), expected + doctor);
  }
  DeviceProbe probe{.openable = true,
                    .hardwareFlowControl = LineState::On,
                    .clearToSend = LineState::Off,
                    .line = line(LineState::On, Parity::Odd)};
  EXPECT_EQ(cli::describeProbe("/dev/ttyS0", probe),
            "can open, hardware flow control ON, CTS off (for a 3-wire cable: stty -F /dev/ttyS0 "
            "-crtscts), parity odd (the receiver talks 8N1: stty -F /dev/ttyS0 -parenb -cstopb "
            "-crtscts)");
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
  r = runCli("connect --port 2", env);  // an option after the command
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, text(MessageId::Connected) + "\n");

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
  EXPECT_EQ(records[1]["verify"], "identical");
  EXPECT_EQ(records[2]["verify"], "differ");

  r = runCli("info " + rom);  // agrees with the report on the data's digest
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("sha256: " + sha), std::string::npos) << r.out;
}

// --backup first, --verify after: three records. An unwritable report fails the run, nothing sent.
TEST(CliUpgrade, BackupFirstVerifyAfterAndAReportThatCannotBeWrittenSendsNothing) {
  StartedEmulator emu({.modelNumber = 5});
  TempDir dir;
  Bytes flash(std::size_t{kBlocksSmallFlash} * kBlockSize, 0x5A);
  test::writeFileBytes(dir.file("new.bin"), imageOf(5, flash));
  const Bytes old = imageOf(5, emu.emulator.flash());
  const std::string device = "--device " + emu.path();
  CliRun r = runCli(device + " --report /proc/r.jsonl connect");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write the report file /proc/r.jsonl\n/proc/r.jsonl: "),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(emu.emulator.framesReceived().empty());
  r = runCli(device + " --report " + dir.file("r.jsonl") + " upgrade --backup " +
             dir.file("old.bin") + " --verify " + dir.file("new.bin"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::readFileBytes(dir.file("old.bin")), old);
  EXPECT_EQ(emu.emulator.flash(), flash);
  EXPECT_NE(r.out.find("256/256 blocks identical"), std::string::npos) << r.out;
  std::string commands;
  for (const auto& record : reportOf(dir.file("r.jsonl")))
    commands += record["command"].get<std::string>() + record["result"].get<std::string>() + " ";
  EXPECT_EQ(commands, "readok upgradeok verifyok ");
}

// --verify waits out the save and the reboot: verified against a receiver that saves for 1.5 s and
// reboots into a 500 ms boot window; one that is still saving when the wait is up is written, the
// verify not done, and the line says what to do.
TEST(CliUpgrade, VerifyWaitsForTheReceiverToComeBackAfterItsSave) {
  StartedEmulator reboots({.modelNumber = 5, .bootWindowMs = 500, .saveMs = 1500}),
      saving({.modelNumber = 5, .bootWindowMs = 500, .saveMs = 600'000});
  TempDir dir;
  const Bytes flash(std::size_t{kBlocksSmallFlash} * kBlockSize, 0x6B);
  const std::string image = dir.file("new.bin"), report = " --report " + dir.file("r.jsonl");
  test::writeFileBytes(image, imageOf(5, flash));
  CliRun r = runCli("--device " + reboots.path() + report + " upgrade --verify " + image);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("256/256 blocks identical"), std::string::npos) << r.out;
  r = runCli("--device " + saving.path() + report + " upgrade --reboot-wait 1 --verify " + image);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(saving.emulator.flash(), flash);
  const std::string reason = saving.path() +
                             ": the receiver was written but could not be read back: its loader "
                             "did not answer within 1 s after the upgrade (verify not done); "
                             "power it on and run quorvane-cli verify " +
                             image + "\n";
  EXPECT_NE(r.err.find(text(MessageId::LoaderNotAnswering) + "\n" + reason), std::string::npos)
      << r.err;
  std::string steps;
  for (const auto& record : reportOf(dir.file("r.jsonl")))
    steps += record["command"].get<std::string>() + " " + record["result"].get<std::string>() +
             " " + record.value("verify", "") + ", ";
  EXPECT_EQ(steps, "upgrade ok , verify ok identical, upgrade ok , verify failed not done, ");
}

TEST(CliUpgrade, ParallelReceiversEachGetTheImageAndOneFailureStaysItsOwn) {
  constexpr std::size_t kBad = 2;    // stalls after block 20
  constexpr std::size_t kNamed = 4;  // answers with its IdentFrame, the others acknowledge
  std::deque<StartedEmulator> emus;
  for (std::size_t i = 0; i < 5; ++i)
    emus.emplace_back(emu::EmulatorOptions{
        .modelNumber = 9,
        .upgradeAnswer = i == kNamed ? emu::UpgradeAnswer::Ident : emu::UpgradeAnswer::Ack0,
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
    // Each was asked its type before anything was written.
    EXPECT_EQ(records[i]["model_checked"], true) << i;
    EXPECT_EQ(records[i]["type_query"], "HCI 29 1") << i;
    EXPECT_EQ(e.framesReceived().front(), kStartReadFrame) << i;
    EXPECT_EQ(
        progressLineOf(r.err, e.devicePath()).find(e.devicePath() + ": " + countsOf(records[i])),
        0u)
        << r.err;
  }
  EXPECT_EQ(split(r.out, '\n').size(), emus.size() - 1) << r.out;
  const auto errLines = split(r.err, '\n');
  EXPECT_EQ(std::count(errLines.begin(), errLines.end(), emus[kBad].path() + ": " + failure), 1);
}

// The final progress line counts the blocks taken or sent of the known total, as the report does.
TEST(CliFailures, TheFinalLineCountsWhatTheReportCounts) {
  const emu::EmulatorOptions confused{.faults = {.wrongAnswer = true}},
      stalls{.faults = {.silence = emu::FaultPoint::afterBlock(5)}};
  using Case = std::tuple<const char*, const emu::EmulatorOptions*, const char*>;
  for (const auto& [command, receiver, counts] : std::vector<Case>{
           {"upgrade", &confused, "0/256 blocks "}, {"read", &stalls, "6/256 blocks "}}) {
    StartedEmulator emu(*receiver);
    TempDir dir;
    test::writeFileBytes(dir.file("rom.bin"), imageOf(1, emu::patternFlash(1)));
    const CliRun r = runCli("--device " + emu.path() + " --report " + dir.file("r.jsonl") + " " +
                            command + " " + dir.file(*command == 'r' ? "new.bin" : "rom.bin"));
    EXPECT_EQ(r.status, 1) << command;
    const auto records = reportOf(dir.file("r.jsonl"));
    ASSERT_EQ(records.size(), 1u) << command;
    EXPECT_EQ(countsOf(records[0]), counts) << command;
    EXPECT_EQ(progressLineOf(r.err, emu.path()).find(emu.path() + ": " + counts), 0u) << r.err;
  }
}

// Counted waits on both paces at once: a step when the block or answer is whole (default), one per
// tick (--dialog-timing). Silence gives up after 60 empty ticks, stop frame last; three answers 25
// ticks late are taken (each block restarts the wait); answers in pieces once whole.
TEST(CliPaces, CountedWaitsGiveUpAndRestartAlikeOnArrivalAndAtTheDialogsPace) {
  struct Case {
    const char* command;
    emu::FaultPlan faults;
    MessageId told;
    long long blocks;     // blocks_done
    int lateAnswers = 0;  // sent by hand after block 2, 3, ..., each 25 ticks after it
  };
  using emu::FaultPoint;
  const auto run = [](const Case& c, const std::string& pace) {
    const std::string what = pace + c.command + " " + std::to_string(c.blocks);
    StartedEmulator emu({.faults = c.faults});
    TempDir dir;
    test::writeFileBytes(dir.file("rom.bin"), imageOf(1, emu::patternFlash(1)));
    std::thread late([&] {
      const FrameBytes ack = ackFramesOf(AckGroup::F)[0];  // model 1 is an Fta receiver
      for (unsigned k = 0; k < unsigned(c.lateAnswers); ++k) {
        if (!emu.emulator.waitUntil([&] { return emu.emulator.blocksReceived() >= 3 + k; })) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));  // 25 test ticks
        emu.emulator.sendRaw(Bytes(ack.begin(), ack.end()));
      }
    });
    const CliRun r = runCli(pace + "--quiet --device " + emu.path() + " --report " +
                            dir.file("r.jsonl") + " " + c.command + " " + dir.file("rom.bin") +
                            (*c.command == 'u' ? " --no-type-query" : ""));
    late.join();
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(r.err, text(c.told) + "\n" + emu.path() + ": no answer within 3000 ms; is the " +
                         "receiver on and in its loader, the cable on this port and crossed (TX " +
                         "to RX)? quorvane-cli doctor --device " + emu.path() +
                         " checks this port and the PC\n")
        << what;
    const auto records = reportOf(dir.file("r.jsonl"));
    ASSERT_EQ(records.size(), 1u) << what;
    EXPECT_EQ(records[0]["blocks_done"], c.blocks) << what;
    // The start frame first, the stop frame once and last; the read acknowledged each block.
    std::vector<FrameBytes> frames;
    EXPECT_TRUE(emu.emulator.waitUntil([&] {
      frames = emu.emulator.framesReceived();
      return !frames.empty() && frames.back() == kStopFrame;
    })) << what;
    ASSERT_FALSE(frames.empty()) << what;
    EXPECT_EQ(frames.front(), *c.command == 'r' ? kStartReadFrame : kStartUpgradeFrame) << what;
    EXPECT_EQ(std::count(frames.begin(), frames.end(), kStopFrame), 1) << what;
    EXPECT_EQ(std::count(frames.begin(), frames.end(), identFrame(1)),
              *c.command == 'r' ? c.blocks : 0)
        << what;
  };
  for (const Case& c : std::vector<Case>{
           {"read", {.silence = FaultPoint::afterStart()}, MessageId::ReadTypeAnswerTimedOut, 0},
           {"upgrade", {.silence = FaultPoint::afterStart()}, MessageId::UpgradeAnswerTimedOut, 0},
           {"read", {.silence = FaultPoint::afterBlock(5)}, MessageId::ReadBlockTimedOut, 6},
           {"upgrade",
            {.silence = FaultPoint::afterBlock(2)},
            MessageId::UpgradeAnswerTimedOut,
            6,
            3},
           {"upgrade",
            {.silence = FaultPoint::afterBlock(1), .splitPieces = 3, .splitDelayMs = 5},
            MessageId::UpgradeAnswerTimedOut,
            2},
       }) {
    auto dialogPace = std::async(std::launch::async, run, std::cref(c), "--dialog-timing ");
    run(c, "");
    dialogPace.get();
  }
}

// station: --units counts the units of every slot; a receiver of another type fails alone with
// nothing written; one report object per unit with its slot and number.
TEST(CliStation, UnitsOfAllSlotsCountAndAnotherTypeFailsAloneWithNothingWritten) {
  StartedEmulator fits({.modelNumber = 1}), other({.modelNumber = 3});
  TempDir dir;
  const Bytes flash(std::size_t{kBlocksSmallFlash} * kBlockSize, 0x3C);
  test::writeFileBytes(dir.file("rom.bin"), imageOf(1, flash));
  const CliRun r = runCli("--report " + dir.file("r.jsonl") + " --units 2 --device " + fits.path() +
                          " --device " + other.path() + " station upgrade " + dir.file("rom.bin"));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(fits.emulator.flash(), flash);
  EXPECT_EQ(other.emulator.blocksReceived(), 0u);
  const auto records = reportOf(dir.file("r.jsonl"));
  ASSERT_EQ(records.size(), 2u);
  std::set<long long> units;
  for (const auto& record : records) {
    const bool first = record["slot"] == 1;
    EXPECT_EQ(record["device"], first ? fits.path() : other.path());
    EXPECT_EQ(record["result"], first ? "ok" : "failed");
    EXPECT_EQ(record["blocks_done"], first ? 256 : 0);
    units.insert(record["unit"].get<long long>());
  }
  EXPECT_EQ(units, (std::set<long long>{1, 2}));
  EXPECT_NE(r.out.find("slot 1 " + fits.path() + " unit 000"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" passed 256/256 blocks "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" failed 0/256 blocks "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("total: 2 units, 1 passed, 1 failed"), std::string::npos) << r.out;
  // A slot stopped by its failures in a row ends a station that has no other.
  const CliRun alone = runCli("--max-failures 1 --device " + other.path() + " station upgrade " +
                              dir.file("rom.bin"));
  EXPECT_EQ(alone.status, 1);
  EXPECT_NE(alone.err.find("stopped after 1 failure in a row"), std::string::npos) << alone.err;
}

// station read: each unit into its own numbered file, a number in use skipped; Ctrl-C in a read
// sends the stop frame, exits 130 and leaves no file.
TEST(CliStation, ReadNeverOverwritesAUnitFileAndCtrlCLeavesNoPartialOne) {
  StartedEmulator receiver({.modelNumber = 5});
  auto& e = receiver.emulator;
  TempDir dir;
  const std::string units = dir.file("units");
  std::filesystem::create_directory(units);
  test::writeFileBytes(units + "/unit-0001.bin", {1, 2, 3});
  const std::string args = "--device " + receiver.path() + " station read " + units;
  CliRun r = runCli("--units 1 " + args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::readFileBytes(units + "/unit-0001.bin"), (Bytes{1, 2, 3}));
  EXPECT_EQ(test::readFileBytes(units + "/unit-0002.bin"), imageOf(5, e.flash()));

  e.setFaults({.silence = emu::FaultPoint::afterBlock(5)});
  const unsigned served = e.blocksSent();
  const CliProcess tool({.line = args});
  ASSERT_TRUE(e.waitUntil([&] { return e.blocksSent() >= served + 6; }));
  tool.interrupt();
  r = tool.finish();
  EXPECT_EQ(r.status, 130);
  EXPECT_NE(r.out.find(" cancelled "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("total: 0 units, 0 passed, 0 failed, 1 cancelled"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find(": \n"), std::string::npos) << r.out;  // no message, no colon
  ASSERT_TRUE(e.waitUntil([&] { return e.framesReceived().back() == kStopFrame; }));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(units), {}), 2);
}

// station upgrade --verify on receivers that save and reboot into a boot window: each verified
// after its reboot; with --confirm, Enter takes the next units, swapped in under the running
// station: one of another type fails alone with nothing written.
TEST(CliStation, VerifyWaitsOutTheRebootAndSwappedUnitsAreTakenAfterEnter) {
  std::deque<StartedEmulator> emus;
  for (int i = 0; i < 2; ++i)
    emus.emplace_back(emu::EmulatorOptions{.bootWindowMs = 3000, .saveMs = 1000});
  TempDir dir;
  const Bytes flash(std::size_t{kBlocksSmallFlash} * kBlockSize, 0xA5);
  test::writeFileBytes(dir.file("rom.bin"), imageOf(1, flash));
  const std::string enter = dir.file("enter");
  ASSERT_EQ(::mkfifo(enter.c_str(), 0600), 0);
  const CliProcess tool({.line = "--confirm --units 4 --report " + dir.file("r.jsonl") +
                                 " --device " + emus[0].path() + " --device " + emus[1].path() +
                                 " station upgrade --verify " + dir.file("rom.bin"),
                         .shell = "exec <" + enter + ";"});
  const int keys = ::open(enter.c_str(), O_WRONLY);
  ASSERT_GE(keys, 0);
  const auto recordsWritten = [&](std::size_t n) {
    return emus[0].emulator.waitUntil(
        [&] { return split(contents(dir.file("r.jsonl")), '\n').size() >= n; }, 60000);
  };
  ASSERT_TRUE(recordsWritten(2));
  for (auto& e : emus) {
    EXPECT_EQ(e.emulator.flash(), flash);
    e.emulator.switchOff();
  }
  emus[0].emulator.swapUnit(std::nullopt, false);
  emus[1].emulator.swapUnit(3, false);
  ASSERT_EQ(::write(keys, "\n", 1), 1);
  std::this_thread::sleep_for(1s);  // Enter taken; the slots ask again
  for (auto& e : emus) e.emulator.switchOn();
  ASSERT_TRUE(recordsWritten(4));
  ::close(keys);
  const CliRun r = tool.finish();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(emus[0].emulator.flash(), flash);
  EXPECT_EQ(emus[1].emulator.blocksReceived(), 0u);
  const auto records = reportOf(dir.file("r.jsonl"));
  ASSERT_EQ(records.size(), 4u);
  for (const auto& record : records) {
    const bool other = record["slot"] == 2 && record["unit"].get<long long>() > 2;
    EXPECT_EQ(record["result"], other ? "failed" : "ok") << record.dump();
    EXPECT_EQ(record["blocks_done"], other ? 0 : 256) << record.dump();
    EXPECT_EQ(record["verify"], other ? "not done" : "identical") << record.dump();
  }
}

// station --confirm: an empty line or a slot's number confirms, anything else is refused aloud, and
// stdin's end is said once; without --confirm a done receiver that answers again is to be removed.
TEST(CliStation, OnlyEnterOrASlotNumberConfirmsAndWhatASlotWaitsForIsSaid) {
  StartedEmulator receiver;
  auto& e = receiver.emulator;
  TempDir dir;
  test::writeFileBytes(dir.file("typed"), {'3', 'x', '\n', '9', '\n'});
  const auto run = [&](const std::string& options, const std::string& awaited) {
    const CliProcess tool(
        {.line = options + " --device " + receiver.path() + " station read " + dir.file("units"),
         .shell = "exec <" + dir.file("typed") + ";"});
    EXPECT_TRUE(e.waitUntil([&] { return tool.err().find(awaited) != std::string::npos; }, 60000))
        << tool.err();
    tool.interrupt();
    return tool.finish();
  };
  const CliRun confirm = run("--confirm", "stdin has ended");
  EXPECT_EQ(confirm.status, 130);
  EXPECT_NE(confirm.err.find("\"3x\" confirms nothing: an empty line (Enter) confirms every slot"),
            std::string::npos)
      << confirm.err;
  EXPECT_NE(confirm.err.find("\"9\" confirms nothing"), std::string::npos) << confirm.err;
  const CliRun swap = run("", "remove the receiver (it still answers)");
  EXPECT_NE(swap.out.find(" passed "), std::string::npos) << swap.out;
}

}  // namespace
// A port left with XON/XOFF and CR/LF mapping reads a flash full of 0x11, 0x13, CR and LF byte for
// byte, and keeps those settings afterwards.
TEST(CliDoctor, APortLeftWithSoftwareFlowControlStillReadsEveryByte) {
  Bytes flash(256 * kBlockSize);
  for (std::size_t i = 0; i < flash.size(); ++i)
    flash[i] = std::array<std::uint8_t, 6>{0x11, 0x13, 0x11, 0x0D, 0x0A, 0x00}[i % 6];
  StartedEmulator emu(emu::EmulatorOptions{.flash = flash});
  TempDir dir;
  const std::string settings = "stty -F " + emu.path() + " ixon ixoff ixany icrnl opost onlcr";
  ASSERT_EQ(std::system(settings.c_str()), 0);
  auto flags = [&] {
    termios t{};
    const int fd = ::open(emu.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ::tcgetattr(fd, &t);
    ::close(fd);
    return std::pair(t.c_iflag, t.c_oflag);
  };
  const auto before = flags();
  EXPECT_NE(before.first & IXON, 0u);
  const CliRun r = runCli("--device " + emu.path() + " read " + dir.file("rom.bin"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::readFileBytes(dir.file("rom.bin")) == imageOf(1, flash));
  EXPECT_EQ(flags(), before);
}

// doctor judges the facts: each fault with its fix, the right fix for each kind of refusal, a
// setting the session turns off only noted; 0 faults only when nothing stands in the way.
TEST(CliDoctor, JudgesFaultsWithTheirFixesAndNotesWhatTheSessionTurnsOff) {
  using cli::Verdict;
  cli::DoctorSubject base{.naming = {std::nullopt, "/dev/ttyUSB0"}, .present = true};
  base.probe.openable = true;
  base.probe.line = {.known = true, .speed = 9600, .hardwareFlowControl = LineState::Off};
  base.identity = DeviceIdentity{.vendorId = "0403", .productId = "6001"};
  cli::DoctorFacts clean{.udevRule = "/usr/lib/udev/rules.d/70-quorvane-serial.rules",
                         .udevRuleCovers = true};
  auto verdicts = [](const cli::DoctorReport& r, const std::string& topic) {
    std::string marks;
    for (const auto& c : r.checks)
      if (c.topic == topic) marks += "ONF"[static_cast<int>(c.verdict)];
    return marks;
  };
  auto fixOf = [](const cli::DoctorReport& r, const std::string& topic) {
    for (const auto& c : r.checks)
      if (c.topic == topic && c.verdict == Verdict::Fault) return c.fix;
    return std::string("-");
  };
  EXPECT_EQ(cli::judgeDevice(base, clean).faults(), 0) << cli::judgeDevice(base, clean).render();

  cli::DoctorSubject s = base;  // XON/XOFF and mapping: noted, no fault
  s.probe.line.softwareFlowControl = true;
  s.probe.line.transparencyChanges = {"ixon", "ixoff"};
  EXPECT_EQ(verdicts(cli::judgeDevice(s, clean), "line"), "ON");
  s.probe.line.parity = Parity::Even;  // kept by the session: a fault
  EXPECT_EQ(verdicts(cli::judgeDevice(s, clean), "line"), "FN");
  EXPECT_EQ(fixOf(cli::judgeDevice(s, clean), "line"),
            "stty -F /dev/ttyUSB0 -parenb -cstopb -crtscts");

  s = base;  // refused: the fix depends on the group and the login
  s.probe = {.openable = false, .error = SystemError::fromCode("open", EACCES)};
  cli::DoctorFacts f = clean;
  f.access = {.known = true,
              .user = "tech",
              .owner = "root",
              .group = "dialout",
              .mode = 0660,
              .groupInDatabase = true};
  EXPECT_NE(fixOf(cli::judgeDevice(s, f), "access").find("log out and in again"),
            std::string::npos);
  f.access.groupInDatabase = false;
  EXPECT_EQ(fixOf(cli::judgeDevice(s, f), "access").find("sudo usermod -aG dialout tech"), 0u);
  f.access.mode = 0600;
  EXPECT_NE(cli::judgeDevice(s, f).render().find("so no group may use it"), std::string::npos);

  f = clean;  // programs in the way, and the rule missing (a note)
  f.holders = {{812, "ModemManager", "has it open"}};
  f.modemManagerRunning = true;
  f.brlttyInstalled = f.brlttyClaims = true;
  f.udevRule.clear();
  const cli::DoctorReport r = cli::judgeDevice(base, f);
  EXPECT_EQ(verdicts(r, "holders") + verdicts(r, "ModemManager") + verdicts(r, "brltty") +
                verdicts(r, "udev rule"),
            "FFFN")
      << r.render();
  f = clean;  // Windows: a driver's problem code, a slow latency timer, a COM name claimed twice
  f.problemCode = 10;
  f.latencyTimerMs = 16;
  f.sameComNumber = {"USB Serial Port (COM3)", "Prolific USB-to-Serial (COM3)"};
  s = base;
  s.posix = false;
  const cli::DoctorReport w = cli::judgeDevice(s, f);
  EXPECT_EQ(verdicts(w, "driver") + verdicts(w, "latency") + verdicts(w, "COM number"), "FNF");
  EXPECT_NE(w.render().find("a 1 MiB job (256 blocks, 91 s at 115200 bit/s) takes up to 4.1 s "
                            "longer"),
            std::string::npos);
}

// doctor on real devices: a pty left with XON/XOFF passes (noted) and then connects; two stop
// bits, a device that is not there and one held by another quorvane fail, each named.
TEST(CliDoctor, NamesWhatStandsInTheWayOnAPseudoTerminal) {
  StartedEmulator emu;
  test::PtyPair held;
  const std::string d = emu.path();
  ASSERT_EQ(std::system(("stty -F " + d + " ixon ixoff").c_str()), 0);
  CliRun r = runCli("--device " + d + " doctor --connect");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[note] line: software flow control (XON/XOFF) and byte-changing settings "
                       "the tool turns off while it runs and puts back at close: ixon ixoff"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.ends_with("nothing stands in the way\nconnect ok!\n")) << r.out;
  ASSERT_EQ(std::system(("stty -F " + d + " cstopb").c_str()), 0);
  r = runCli("--device " + d + " doctor --connect");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("[FAIL] line: 115200 8N2"), std::string::npos) << r.out;
  EXPECT_TRUE(r.out.ends_with("connect: not tried while a fault stands in the way\n")) << r.out;
  r = runCli("--port 3 doctor", "QUORVANE_COM3=/dev/ttyUSB77");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("[FAIL] device: COM3 (/dev/ttyUSB77) is not present; present now: "),
            std::string::npos)
      << r.out;
  SerialPort holder;
  ASSERT_EQ(holder.openDevice(held.devicePath(), kLineSpeed), 1);
  r = runCli("--device " + held.devicePath() + " doctor");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("[FAIL] access: another program holds it (flock: "), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(") holds its lock (it uses the port)\n       fix: "), std::string::npos)
      << r.out;
}

}  // namespace quorvane
