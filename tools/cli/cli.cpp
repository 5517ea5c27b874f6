#include "cli.h"

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
#include "event_loop.h"
#include "jobs.h"
#include "port_commands.h"
#include "quorvane/version.h"
#include "report.h"
#include "serial/port_map.h"
#include "serial/protocol.h"
#include "serial/serial_port.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace quorvane::cli {

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

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

// The receivers of a run, once the report file is known to be writable;
// none after a usage error.
std::optional<std::vector<JobTarget>> receiversOf(const Options& o) {
  std::vector<JobTarget> targets;
  const bool several = o.devices.size() > 1;
  for (const std::string& d : o.devices)
    targets.push_back({PortTarget::device(d), d, d, std::nullopt, several ? d + ": " : ""});
  if (targets.empty()) targets.push_back(comTarget(o));
  if (!o.reportPath.empty() && !reportWritable(o.reportPath)) {
    usageError("cannot write the report file " + o.reportPath);
    return std::nullopt;
  }
  return targets;
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
  if (!message.empty()) console.failure("", message);
  for (const JobTarget& t : targets) reportEarlyFailure(o, t, o.args[0], message);
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

// The report records and the exit status of the ended jobs.
int concludeJobs(const Options& o, Console& console,
                 const std::vector<std::unique_ptr<ReceiverJob>>& jobs) {
  bool allOk = true;
  for (const auto& j : jobs) {
    allOk = allOk && j->succeeded();
    if (!o.reportPath.empty() && !appendRecord(o.reportPath, j->record()))
      console.failure("", "quorvane-cli: cannot write the report file " + o.reportPath);
  }
  return allOk ? kExitOk : kExitFailed;
}

// One job per receiver, all in one event loop until every one has ended.
int runJobs(const Options& o, Console& console, const std::vector<JobTarget>& targets,
            const JobMaker& make) {
  RunContext run{console, o.trace, Clock::now()};
  std::vector<std::unique_ptr<ReceiverJob>> jobs;
  std::vector<Job*> loopJobs;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    jobs.push_back(make(run, targets[i], i));
    loopJobs.push_back(jobs.back().get());
  }
  {
    std::atomic<bool> interrupted{false};
    const InterruptCatcher catcher(interrupted);
    EventLoop loop(o.dialogTiming ? Pace::Ticks : Pace::Arrival);
    loop.run(loopJobs, &interrupted);
  }
  return concludeJobs(o, console, jobs);
}

// ---- commands on receivers -------------------------------------------------------

int runConnect(const Options& o, Console& console) {
  const auto targets = receiversOf(o);
  if (!targets) return kExitUsage;
  return runJobs(o, console, *targets, [](RunContext& run, const JobTarget& t, std::size_t) {
    return makeConnectJob(run, t);
  });
}

// A receiver whose file can't be created fails at once, before its port is
// opened ("create file error!" and the reason); the others are read.
int runRead(const Options& o, Console& console) {
  const auto targets = receiversOf(o);
  if (!targets) return kExitUsage;
  const auto paths = readPathsOf(o.args[0], *targets);
  if (!paths) return kExitUsage;
  std::vector<JobTarget> ready;
  std::vector<std::string> readyPaths;
  for (std::size_t i = 0; i < targets->size(); ++i) {
    const std::string& path = (*paths)[i];
    if (const std::optional<SystemError> why = uncreatable(path)) {
      const std::string message = noticeText(Notice::of(MessageId::ImageCreateFailed));
      const Explanation explanation = explainFileFailure(path, *why);
      printFailure(console, (*targets)[i], message, explanation);
      reportEarlyFailure(o, (*targets)[i], path, message, explanation.line());
      continue;
    }
    ready.push_back((*targets)[i]);
    readyPaths.push_back(path);
  }
  if (ready.empty()) return kExitFailed;
  const int status =
      runJobs(o, console, ready, [&](RunContext& run, const JobTarget& t, std::size_t i) {
        return makeReadJob(run, t, readyPaths[i]);
      });
  return ready.size() == targets->size() ? status : kExitFailed;
}

int runUpgrade(const Options& o, Console& console) {
  const auto targets = receiversOf(o);
  if (!targets) return kExitUsage;
  if (!imageForAll(o, console, *targets)) return kExitFailed;
  return runJobs(o, console, *targets, [&](RunContext& run, const JobTarget& t, std::size_t) {
    return makeUpgradeJob(run, t, o.args[0]);
  });
}

int runVerify(const Options& o, Console& console) {
  const auto targets = receiversOf(o);
  if (!targets) return kExitUsage;
  const std::optional<LoadedImage> image = imageForAll(o, console, *targets);
  if (!image) return kExitFailed;
  return runJobs(o, console, *targets, [&](RunContext& run, const JobTarget& t, std::size_t) {
    return makeVerifyJob(run, t, o.args[0], *image);
  });
}

int runKey(const Options& o, Console& console) {
  const auto targets = receiversOf(o);
  if (!targets) return kExitUsage;
  return runJobs(o, console, *targets, [&](RunContext& run, const JobTarget& t, std::size_t) {
    return makeKeyJob(run, t, o.keys, o.args);
  });
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
         "  sha256: " +
         (bytes.size() > kTagSize ? sha256Hex(bytes.data() + kTagSize, bytes.size() - kTagSize)
                                  : std::string("-")) +
         " (flash data, without the tag)\n";
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
    if (!message.empty()) console.failure(several ? path + ": " : "", message);
  }
  return allLoad ? kExitOk : kExitFailed;
}

// ---- the table -----------------------------------------------------------------

constexpr CommandSpec kCommands[] = {
    {"connect", 0, 0, false, "connect",
     "the connection handshake; prints \"connect ok!\" on success", runConnect},
    {"read", 1, 1, false, "read FILE",
     "Read Software: the receiver's whole flash into the ROM image FILE\n"
     "(written completely or not at all; before anything is sent, the\n"
     "tool makes sure FILE can be created). With several devices FILE may\n"
     "hold {n} (1, 2, ... in --device order) or {device} (the device's\n"
     "file name); without either, \"-<device>\" is put before the\n"
     "extension: rom.bin -> rom-ttyUSB0.bin",
     runRead},
    {"upgrade", 1, 1, false, "upgrade FILE",
     "Upgrade Software: write the ROM image FILE into the receiver;\n"
     "prints the completion warning. The image's type is checked only\n"
     "against a receiver that names its type in an answer (a receiver of\n"
     "another type is refused then); one that only acknowledges is\n"
     "upgraded unchecked, and a note on stderr says so",
     runUpgrade},
    {"verify", 1, 1, false, "verify FILE",
     "read the receiver's flash and compare it with FILE: first the\n"
     "receiver's type against the file's tag, then every block; prints\n"
     "the differing block ranges (\"blocks 17-17 differ\"); writes nothing",
     runVerify},
    {"key", 1, -1, true, "key KEY...",
     "send remote keys, one per 50 ms tick. KEY is a button caption\n"
     "(MENU, OK, \"CH\xE2\x96\xB2\"), an ASCII alias or a code 0x00..0x1F",
     runKey},
    {"info", 1, -1, false, "info FILE...",
     "tag, model name, family, flash type, size, block count and SHA-256\n"
     "of each image, and whether it would load (with the loader's message\n"
     "when not); opens no port",
     runInfo},
    {"ports", 0, 0, false, "ports", kPortsHelp, runPorts},
    {"map", 0, 2, false, "map [N DEVICE|N --clear]", kMapHelp, runMap},
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
  Console console(settings);
  return o.command->run(o, console);
}

}  // namespace quorvane::cli
