#include "cli.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "app/app_config.h"
#include "app/notice.h"
#include "cli_options.h"
#include "cli_platform.h"
#include "console.h"
#include "event_loop.h"
#include "jobs.h"
#include "report.h"
#include "serial/port_map.h"
#include "serial/protocol.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace quorvane::cli {

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int usageError(const std::string& what) {
  std::fprintf(stderr, "quorvane-cli: %s\n%s", what.c_str(), usageText());
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

// The receivers of a run, from --device, --port or Quorvane.cfg.
std::vector<JobTarget> targetsOf(const Options& o) {
  std::vector<JobTarget> targets;
  const bool several = o.devices.size() > 1;
  for (const std::string& d : o.devices) {
    JobTarget t{PortTarget::device(d), d, d, std::nullopt, several ? d + ": " : ""};
    targets.push_back(std::move(t));
  }
  if (targets.empty()) {
    long long number = 0;
    if (o.port) {
      number = *o.port;
    } else {
      AppConfig config;  // read only: this tool never saves it
      config.locateConfig();
      config.loadConfig();
      number = portNumberFromIndex(config.portIndex);
    }
    const std::string label = "COM" + std::to_string(number);
    targets.push_back({PortTarget::comPort(number), label,
                       devicePathForPort(number).value_or(label), number, ""});
  }
  return targets;
}

// ---- info --------------------------------------------------------------------

int runInfo(const Options& o, Console& console) {
  bool allLoad = true;
  const bool several = o.args.size() > 1;
  for (const std::string& path : o.args) {
    std::vector<std::uint8_t> bytes;
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (!ec && size <= kImageFileSizeLarge) {
      std::ifstream in(path, std::ios::binary);
      bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string out = "file: " + path + "\n";
    const std::optional<int> tag =
        bytes.size() >= kTagSize ? findTag(bytes.data()) : std::optional<int>();
    if (tag) {
      const RomImageTag& t = romType(*tag);
      out += "  tag: " + std::string(t.tagText) + "\n";
      out += "  model: " + std::string(t.modelName) + "\n";
      out += "  family: " + std::string(familyName(t.family)) + "\n";
      out += "  flash type: " + std::string(flashTypeName(t.flash)) +
             (t.flash == FlashType::AMD ? " (29-series)" : " (39-series)") + "\n";
      out += "  flash size: " + std::to_string(t.sizeDigit) + " MiB\n";
      out += "  blocks: " + std::to_string(t.blockCount) + "\n";
    } else {
      out += "  tag: none\n";
    }
    out += "  file size: " + (ec ? std::string("-") : std::to_string(size) + " bytes") + "\n";
    out += "  sha256: " +
           (bytes.size() > kTagSize ? sha256Hex(bytes.data() + kTagSize, bytes.size() - kTagSize)
                                    : std::string("-")) +
           " (flash data, without the tag)\n";
    const ImageLoadResult loaded = loadImage(path);
    const std::string message = loaded.failure ? noticeText(*loaded.failure) : "";
    out += "  loads: " + std::string(loaded.ok() ? "yes" : "no") +
           (message.empty() ? "" : " (" + message + ")");
    console.result("", out);
    if (!loaded.ok()) {
      allLoad = false;
      if (!message.empty()) console.failure(several ? path + ": " : "", message);
    }
  }
  return allLoad ? kExitOk : kExitFailed;
}

// ---- ports -------------------------------------------------------------------

int runPorts(Console& console) {
  std::string out = "COM ports:\n";
  for (long long n = 1; n <= 4; ++n) {
    const std::string path = devicePathForPort(n).value_or("-");
    const char* set = std::getenv(portOverrideVariable(n).c_str());
    const bool present = serialDevicePresent(path);
    out += "  COM" + std::to_string(n) + "  " + path + "  (" +
           (set && *set ? portOverrideVariable(n) : std::string("default")) + ", " +
           (present ? "present" : "absent") + ")\n";
  }
  {
    AppConfig config;
    config.locateConfig();
    config.loadConfig();
    out += "selected: COM" + std::to_string(portNumberFromIndex(config.portIndex)) +
           " (portIndex " + std::to_string(config.portIndex) + ", " + config.configPath + ")\n";
  }
  out += "serial devices:\n";
  const std::vector<std::string> found = serialDevicesPresent();
  for (const std::string& f : found) out += "  " + f + "\n";
  if (found.empty()) out += "  none\n";
  out.pop_back();
  console.result("", out);
  return kExitOk;
}

}  // namespace

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
  const ParseResult parsed = parseCommandLine(args);
  if (!parsed.options) return usageError(parsed.error);
  const Options& o = *parsed.options;
  if (o.help) {
    std::fputs(helpText().c_str(), stdout);
    return kExitOk;
  }

  ConsoleSettings settings;
  settings.quiet = o.quiet;
  settings.live = stderrIsTerminal() && !o.trace;
  settings.columns = terminalColumns();
  Console console(settings);
  if (o.command == Command::Info) return runInfo(o, console);
  if (o.command == Command::Ports) return runPorts(console);

  std::vector<JobTarget> targets = targetsOf(o);
  if (!o.reportPath.empty() && !reportWritable(o.reportPath))
    return usageError("cannot write the report file " + o.reportPath);

  std::vector<std::string> readPaths;
  if (o.command == Command::Read) {
    std::set<std::string> seen;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      readPaths.push_back(readTargetPath(o.args[0], i + 1, targets[i].label, targets.size() > 1));
      if (!seen.insert(readPaths.back()).second)
        return usageError("two receivers would be read into " + readPaths.back());
    }
  }

  RunContext run{console, Timing::fromEnvironment(), o.trace, Clock::now()};

  // An image is checked once, before any port is opened: a refused image
  // is one message, not one per receiver.
  std::optional<LoadedImage> image;
  if (o.command == Command::Upgrade || o.command == Command::Verify) {
    ImageLoadResult loaded = loadImage(o.args[0]);
    if (!loaded.ok()) {
      const std::string message = loaded.failure ? noticeText(*loaded.failure) : "";
      if (!message.empty()) console.failure("", message);
      for (const JobTarget& t : targets) {
        JobRecord r;
        r.device = t.device;
        r.port = t.portNumber;
        r.command = commandName(o.command);
        r.imagePath = o.args[0];
        r.result = "failed";
        r.message = message;
        r.start = std::chrono::system_clock::now();
        if (!o.reportPath.empty()) appendRecord(o.reportPath, r);
      }
      return kExitFailed;
    }
    image = std::move(loaded.image);
  }

  std::vector<std::unique_ptr<ReceiverJob>> jobs;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    JobTarget& t = targets[i];
    switch (o.command) {
      case Command::Connect:
        jobs.push_back(makeConnectJob(run, t));
        break;
      case Command::Read:
        jobs.push_back(makeReadJob(run, t, readPaths[i]));
        break;
      case Command::Verify:
        jobs.push_back(makeVerifyJob(run, t, o.args[0], *image));
        break;
      case Command::Upgrade:
        jobs.push_back(makeUpgradeJob(run, t, o.args[0]));
        break;
      case Command::Key:
        jobs.push_back(makeKeyJob(run, t, o.keys, o.args));
        break;
      case Command::Info:
      case Command::Ports:
        break;
    }
  }

  std::vector<Job*> loopJobs;
  for (auto& j : jobs) loopJobs.push_back(j.get());
  {
    std::atomic<bool> interrupted{false};
    InterruptCatcher catcher(interrupted);
    EventLoop loop;
    loop.run(loopJobs, &interrupted);
  }

  bool allOk = true;
  for (const auto& j : jobs) {
    allOk = allOk && j->succeeded();
    if (!o.reportPath.empty() && !appendRecord(o.reportPath, j->record()))
      console.failure("", "quorvane-cli: cannot write the report file " + o.reportPath);
  }
  return allOk ? kExitOk : kExitFailed;
}

}  // namespace quorvane::cli
