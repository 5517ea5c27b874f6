#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include "base/app_config.h"
#include "base/atomic_file.h"
#include "base/notice.h"
#include "cli_options.h"
#include "cli_platform.h"
#include "console.h"
#include "diagnosis.h"
#include "doctor.h"
#include "event_loop.h"
#include "jobs.h"
#include "port_commands.h"
#include "quorvane/version.h"
#include "report.h"
#include "serial/port_map.h"
#include "serial/protocol.h"
#include "serial/serial_port.h"
#include "station_command.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace quorvane::cli {

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report Ctrl-C

int usageError(const std::string& what) {
  std::fprintf(stderr, "quorvane-cli: %s\n%s", what.c_str(), usageText(commandTable()).c_str());
  return kExitUsage;
}

std::string baseName(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  return name.empty() ? path : name;
}

void replaceAll(std::string& s, const std::string& what, const std::string& with) {
  for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + with.size()))
    s.replace(at, what.size(), with);
}

// Quorvane.cfg, read only: this tool never saves it.
void readConfig(AppConfig& config) {
  config.locateConfig();
  config.loadConfig();
}

// ---- receivers -----------------------------------------------------------------

// The receiver of --port, or of portIndex in Quorvane.cfg.
JobTarget comTarget(const Options& o) {
  long long number = 0;
  if (o.port) {
    number = *o.port;
  } else {
    AppConfig config;
    readConfig(config);
    number = portNumberFromIndex(config.portIndex);
  }
  const std::string label = "COM" + std::to_string(number);
  return {PortTarget::comPort(number), label, devicePathForPort(number).value_or(label), number,
          ""};
}

// The receivers of a run.
std::vector<JobTarget> receiversOf(const Options& o) {
  std::vector<JobTarget> targets;
  const bool several = o.devices.size() > 1;
  for (const std::string& d : o.devices)
    targets.push_back({PortTarget::device(d), d, d, std::nullopt, several ? d + ": " : ""});
  if (targets.empty()) targets.push_back(comTarget(o));
  return targets;
}

// A report file that can't be written fails the run before anything is
// sent, with the reason.
bool reportReady(const Options& o, Console& console) {
  if (o.reportPath.empty()) return true;
  const SystemError why = reportWritable(o.reportPath);
  if (!why.failed()) return true;
  console.failure("", "quorvane-cli: cannot write the report file " + o.reportPath);
  console.explain("", explainFileFailure(o.reportPath, why).line());
  return false;
}

// Each receiver's file for `read`; none after a usage error.
std::optional<std::vector<std::string>> readPathsOf(const std::string& file,
                                                    const std::vector<JobTarget>& targets) {
  std::vector<std::string> paths;
  std::set<std::string> seen;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    paths.push_back(readTargetPath(file, i + 1, targets[i].label, targets.size() > 1));
    if (!seen.insert(paths.back()).second) {
      usageError("two receivers would be read into " + paths.back());
      return std::nullopt;
    }
  }
  return paths;
}

// The report record of a job that failed before its port was opened.
void reportEarlyFailure(const Options& o, const JobTarget& t, const std::string& image,
                        const std::string& message, const std::string& reason = {}) {
  if (o.reportPath.empty()) return;
  JobRecord r;
  r.device = t.device;
  r.port = t.portNumber;
  r.command = o.command->name;
  r.imagePath = image;
  r.result = "failed";
  r.message = message;
  r.reason = reason;
  r.start = std::chrono::system_clock::now();
  appendRecord(o.reportPath, r);
}

// The image of upgrade and verify, checked once before any port is opened:
// a refused image is one message (and a failed record per receiver).
std::optional<LoadedImage> imageForAll(const Options& o, Console& console,
                                       const std::vector<JobTarget>& targets) {
  ImageLoadResult loaded = loadImage(o.args[0]);
  if (loaded.ok()) return std::move(loaded.image);
  const std::string message = loaded.failure ? noticeText(*loaded.failure) : "";
  std::string reason;
  if (loaded.failure) {
    console.failure("", message);
    reason = explainImageFailure(o.args[0], loaded.failure->id, loaded.openErrno).line();
    console.explain("", reason);
  }
  for (const JobTarget& t : targets) reportEarlyFailure(o, t, o.args[0], message, reason);
  return std::nullopt;
}

// Why an image file can't be created at `path`, found out before anything
// is sent: the writer's temporary file is created beside it and removed
// again, so nothing is left behind and an existing file is not touched.
std::optional<SystemError> uncreatable(const std::string& path) {
  AtomicFileWriter probe;
  if (!probe.open(path)) return probe.lastError();
  probe.abandon();
  return std::nullopt;
}

using JobMaker =
    std::function<std::unique_ptr<ReceiverJob>(RunContext&, const JobTarget&, std::size_t)>;

// How the jobs of a run ended.
struct RunOutcome {
  std::vector<bool> ok;  // per target
  bool interrupted = false;
  int status() const {
    if (interrupted) return kExitInterrupted;
    return std::find(ok.begin(), ok.end(), false) == ok.end() ? kExitOk : kExitFailed;
  }
};

// One job per receiver, all in one event loop until every one has ended;
// then their report records.
RunOutcome runJobs(const Options& o, Console& console, const std::vector<JobTarget>& targets,
                   const JobMaker& make) {
  RunContext run{console, o.trace, Clock::now()};
  std::vector<std::unique_ptr<ReceiverJob>> jobs;
  std::vector<Job*> loopJobs;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    jobs.push_back(make(run, targets[i], i));
    loopJobs.push_back(jobs.back().get());
  }
  RunOutcome outcome;
  {
    std::atomic<bool> interrupted{false};
    const InterruptCatcher catcher(interrupted);
    EventLoop loop(o.dialogTiming ? Pace::Ticks : Pace::Arrival);
    loop.run(loopJobs, &interrupted);
    outcome.interrupted = interrupted;
  }
  for (const auto& j : jobs) {
    outcome.ok.push_back(j->succeeded());
    if (!o.reportPath.empty() && !appendRecord(o.reportPath, j->record()))
      console.failure("", "quorvane-cli: cannot write the report file " + o.reportPath);
  }
  return outcome;
}

// The targets whose job succeeded.
std::vector<JobTarget> succeeded(const std::vector<JobTarget>& targets, const RunOutcome& run) {
  std::vector<JobTarget> left;
  for (std::size_t i = 0; i < targets.size(); ++i)
    if (run.ok[i]) left.push_back(targets[i]);
  return left;
}

// ---- commands on receivers -------------------------------------------------------

int runConnect(const Options& o, Console& console) {
  const auto targets = receiversOf(o);
  if (!reportReady(o, console)) return kExitFailed;
  return runJobs(o, console, targets,
                 [](RunContext& run, const JobTarget& t, std::size_t) {
                   return makeConnectJob(run, t);
                 })
      .status();
}

// A receiver whose file can't be created fails at once, before its port is
// opened ("create file error!" and the reason); the others are read.
// Each receiver's flash read into its file (`read`, and `upgrade --backup`).
// A receiver whose file can't be created fails at once, before its port is
// opened ("create file error!" and the reason); the others are read.
// Nothing after a usage error (two receivers, one file).
std::optional<RunOutcome> readInto(const Options& o, Console& console,
                                   const std::vector<JobTarget>& targets, const std::string& file) {
  const auto paths = readPathsOf(file, targets);
  if (!paths) return std::nullopt;
  std::vector<JobTarget> ready;
  std::vector<std::string> readyPaths;
  std::vector<bool> early;  // per target: failed before its port was opened
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const std::string& path = (*paths)[i];
    early.push_back(false);
    if (const std::optional<SystemError> why = uncreatable(path)) {
      const std::string message = noticeText(Notice::of(MessageId::ImageCreateFailed));
      const Explanation explanation = explainFileFailure(path, *why);
      printFailure(console, targets[i], message, explanation);
      reportEarlyFailure(o, targets[i], path, message, explanation.line());
      early.back() = true;
      continue;
    }
    ready.push_back(targets[i]);
    readyPaths.push_back(path);
  }
  RunOutcome run;
  if (!ready.empty())
    run = runJobs(o, console, ready, [&](RunContext& c, const JobTarget& t, std::size_t i) {
      return makeReadJob(c, t, readyPaths[i]);
    });
  RunOutcome all{{}, run.interrupted};
  for (std::size_t i = 0, r = 0; i < targets.size(); ++i)
    all.ok.push_back(!early[i] && run.ok[r++]);
  return all;
}

int runRead(const Options& o, Console& console) {
  const auto targets = receiversOf(o);
  if (!reportReady(o, console)) return kExitFailed;
  const std::optional<RunOutcome> run = readInto(o, console, targets, o.args[0]);
  return run ? run->status() : kExitUsage;
}

// upgrade [--backup FILE] [--verify]: the backup read first (a receiver
// whose backup failed is not written), then the upgrade, then, once the
// receiver's loader answers again after its save and reboot, the flash read
// back and compared with the image. Each step has its own report record.
int runUpgrade(const Options& o, Console& console) {
  auto targets = receiversOf(o);
  if (!reportReady(o, console)) return kExitFailed;
  const std::optional<LoadedImage> image = imageForAll(o, console, targets);
  if (!image) return kExitFailed;
  bool allOk = true;
  auto step = [&](const RunOutcome& run) {
    allOk = allOk && run.status() == kExitOk;
    targets = succeeded(targets, run);
    return !run.interrupted;
  };
  if (!o.backupPath.empty()) {
    const std::optional<RunOutcome> backup = readInto(o, console, targets, o.backupPath);
    if (!backup) return kExitUsage;
    if (!step(*backup)) return kExitInterrupted;
    if (targets.empty()) return kExitFailed;
  }
  const RunOutcome upgrade =
      runJobs(o, console, targets, [&](RunContext& run, const JobTarget& t, std::size_t) {
        return makeUpgradeJob(run, t, o.args[0], *image, o.typeQuery);
      });
  if (!step(upgrade)) return kExitInterrupted;
  if (o.verifyAfter && !targets.empty()) {
    const RunOutcome check =
        runJobs(o, console, targets, [&](RunContext& run, const JobTarget& t, std::size_t) {
          return makeVerifyAfterUpgradeJob(run, t, o.args[0], *image,
                                           unsigned(o.rebootWaitSeconds) * 1000u);
        });
    if (!step(check)) return kExitInterrupted;
  }
  return allOk ? kExitOk : kExitFailed;
}

int runVerify(const Options& o, Console& console) {
  const auto targets = receiversOf(o);
  if (!reportReady(o, console)) return kExitFailed;
  const std::optional<LoadedImage> image = imageForAll(o, console, targets);
  if (!image) return kExitFailed;
  return runJobs(o, console, targets,
                 [&](RunContext& run, const JobTarget& t, std::size_t) {
                   return makeVerifyJob(run, t, o.args[0], *image);
                 })
      .status();
}

int runKey(const Options& o, Console& console) {
  const auto targets = receiversOf(o);
  if (!reportReady(o, console)) return kExitFailed;
  return runJobs(o, console, targets,
                 [&](RunContext& run, const JobTarget& t, std::size_t) {
                   return makeKeyJob(run, t, o.keys, o.args);
                 })
      .status();
}

int runDoctorChecks(const Options& o, Console& console) {
  return runDoctor(o, console, runConnect);
}

// ---- info --------------------------------------------------------------------

// Tag, model, family, flash and block count from the file's first bytes.
std::string tagFacts(const std::vector<std::uint8_t>& bytes) {
  const std::optional<int> tag =
      bytes.size() >= kTagSize ? findTag(bytes.data()) : std::optional<int>();
  if (!tag) return "  tag: none\n";
  const RomImageTag& t = romType(*tag);
  return "  tag: " + std::string(t.tagText) + "\n" +                      //
         "  model: " + std::string(t.modelName) + "\n" +                  //
         "  family: " + std::string(familyName(t.family)) + "\n" +        //
         "  flash type: " + std::string(flashTypeName(t.flash)) +         //
         (t.flash == FlashType::AMD ? " (29-series)" : " (39-series)") +  //
         "\n  flash size: " + std::to_string(t.sizeDigit) + " MiB\n" +    //
         "  blocks: " + std::to_string(t.blockCount) + "\n";
}

// What `info` says about one file, but for whether it loads.
std::string fileFacts(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (!ec && size <= kImageFileSizeLarge) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return "file: " + path + "\n" + tagFacts(bytes) +
         "  file size: " + (ec ? std::string("-") : std::to_string(size) + " bytes") + "\n" +
         "  sha256: " +  // of the flash data, without the tag, as the report's
         (bytes.size() > kTagSize ? sha256Hex(bytes.data() + kTagSize, bytes.size() - kTagSize)
                                  : std::string("-")) +
         "\n";
}

int runInfo(const Options& o, Console& console) {
  bool allLoad = true;
  const bool several = o.args.size() > 1;
  for (const std::string& path : o.args) {
    const std::string facts = fileFacts(path);
    const ImageLoadResult loaded = loadImage(path);
    const std::string message = loaded.failure ? noticeText(*loaded.failure) : "";
    console.result("", facts + "  loads: " + (loaded.ok() ? "yes" : "no") +
                           (message.empty() ? "" : " (" + message + ")"));
    if (loaded.ok()) continue;
    allLoad = false;
    if (message.empty()) continue;
    console.failure(several ? path + ": " : "", message);
    const Explanation why = explainImageFailure(path, loaded.failure->id, loaded.openErrno);
    console.explain(several ? path + ": " : "", several ? why.text : why.line());
  }
  return allLoad ? kExitOk : kExitFailed;
}

// ---- the table -----------------------------------------------------------------

// Every command, in the order --help lists them. Adding one is a row here
// and its run function: the parser, --help, the manual page, the completion
// and the reference in docs/cli.md follow.
constexpr CommandSpec kCommands[] = {
    {"connect", 0, 0, false, "connect",
     "the connection handshake; prints \"connect ok!\" on success", runConnect,
     "The connection handshake of the Communication Setup dialog. Prints \"connect ok!\" on "
     "success."},
    {"read", 1, 1, false, "read FILE",
     "Read Software: the receiver's whole flash into the ROM image FILE (written completely "
     "or not at all; before anything is sent, the tool makes sure FILE can be created). With "
     "several devices FILE may hold {n} (1, 2, ... in --device order) or {device} (the "
     "device's file name); without either, \"-<device>\" is put before the extension: "
     "rom.bin -> rom-ttyUSB0.bin",
     runRead,
     "Read Software: reads the receiver's whole flash (1 MiB or 2 MiB) into the ROM image FILE, "
     "written completely or not at all. Before the port is opened the tool makes sure FILE can "
     "be created (it creates the temporary file the write would use beside FILE and removes it "
     "again); if it can't, \"create file error!\" and the reason come at once and nothing is "
     "sent. With several devices FILE may hold {n} (1, 2, ... in the order of the --device "
     "options) or {device} (the device's file name); without either, \"-<device>\" is put "
     "before the extension: rom.bin becomes rom-ttyUSB0.bin.",
     "@image"},
    {"upgrade", 1, 1, false, "upgrade FILE",
     "Upgrade Software: write the ROM image FILE into the receiver; prints the completion "
     "warning. First the receiver is asked its type as a read starts (then told to stop): "
     "a receiver of another type (family, flash or size) gets nothing written. One that names "
     "no type is upgraded after a line that says so, and its answers are checked as the "
     "desktop program checks them. See --no-type-query, --backup, --verify",
     runUpgrade,
     "Upgrade Software: writes the ROM image FILE into the receiver and prints the completion "
     "warning. The image is loaded and checked once, before any port is opened. Before the "
     "start-upgrade frame the receiver is asked its type: a read is started, its type answer "
     "taken within the read's own wait (60 ticks), the stop frame sent, and what it had already "
     "sent of its first block dropped once the line has been quiet for 300 ms. A receiver of "
     "another type (family, flash type or size) gets nothing written: the mismatch message, then "
     "a line naming the device, both types, that nothing was written and the tag of the image "
     "that fits; exit status 1. A receiver that names no type is told so on standard error "
     "before any block is written and is upgraded as the desktop program does it. Every answer "
     "during the upgrade is checked as the dialog checks it: one that names the receiver's type "
     "must name the image's type. The desktop program itself does not ask first.",
     "@image"},
    {"verify", 1, 1, false, "verify FILE",
     "read the receiver's flash and compare it with FILE: first the receiver's type against "
     "the file's tag, then every block; prints the differing block ranges (\"blocks 17-17 "
     "differ\"); writes nothing",
     runVerify,
     "Reads the receiver's flash and compares it with FILE: first the receiver's type against "
     "the file's tag (the mismatch message when they differ), then every block. Prints the "
     "differing block ranges (\"blocks 3-5, 17-17 differ\") or \"256/256 blocks identical\". "
     "Writes nothing.",
     "@image"},
    {"key", 1, -1, true, "key KEY...",
     "send remote keys, one per 50 ms tick. KEY is a button caption (MENU, OK, "
     "\"CH\xE2\x96\xB2\"), an ASCII alias or a code 0x00..0x1F",
     runKey,
     "Sends remote-control keys, one key frame per 50 ms tick. A KEY is a button caption (MENU, "
     "OK, CH\xE2\x96\xB2), an ASCII alias (CH+, VOL-, POWER; case does not matter) or a key "
     "code 0x00 to 0x1F; see the key names. An unknown key is a usage error, and then nothing "
     "is sent.",
     "@keys..."},
    {"info", 1, -1, false, "info FILE...",
     "tag, model name, family, flash type, size, block count and SHA-256 (of the flash data, "
     "without the tag, as in the report) of each image, and whether it would load (with the "
     "loader's message when not); opens no port",
     runInfo, nullptr, "@image..."},
    {"station", 2, 2, false, "station JOB", kStationHelp, runStation, nullptr,
     "upgrade read;@file"},
    {"ports", 0, 0, false, "ports", kPortsHelp, runPorts},
    {"map", 0, 2, false, "map [N DEVICE|N --clear]", kMapHelp, runMap, nullptr,
     "1 2 3 4;--clear @file"},
    {"doctor", 0, 0, false, "doctor", kDoctorHelp, runDoctorChecks},
};

}  // namespace

std::span<const CommandSpec> commandTable() {
  return kCommands;
}

std::string readTargetPath(const std::string& file, std::size_t n, const std::string& device,
                           bool several) {
  std::string path = file;
  const bool placeholder =
      path.find("{n}") != std::string::npos || path.find("{device}") != std::string::npos;
  replaceAll(path, "{n}", std::to_string(n));
  replaceAll(path, "{device}", baseName(device));
  if (several && !placeholder) {
    const fs::path p(file);
    const fs::path named =
        p.parent_path() / (p.stem().string() + "-" + baseName(device) + p.extension().string());
    path = named.string();
  }
  return path;
}

int runCli(const std::vector<std::string>& args) {
  const ParseResult parsed = parseCommandLine(args, commandTable());
  if (!parsed.options) return usageError(parsed.error);
  const Options& o = *parsed.options;
  if (o.help) {
    std::fputs(helpText(commandTable()).c_str(), stdout);
    return kExitOk;
  }
  if (o.version) {
    std::printf("quorvane-cli %s\n", kVersion);
    return kExitOk;
  }

  ConsoleSettings settings;
  settings.quiet = o.quiet;
  // Trace lines go to stdout, which may be the same terminal: no redrawing then.
  settings.live = !o.trace && redrawable(stderrIsTerminal(), terminalType());
  settings.terminal = stderrIsTerminal();
  Console console(settings);
  return o.command->run(o, console);
}

}  // namespace quorvane::cli
