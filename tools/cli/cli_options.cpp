#include "cli_options.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "remote/remote_keys.h"
#include "serial/protocol.h"

namespace quorvane::cli {

namespace {

enum OptionId : int {
  kPort = 256,
  kDevice,
  kReport,
  kTrace,
  kQuiet,
  kDialogTiming,
  kVersion,
  kNoTypeQuery,
  kBackup,
  kVerify,
  kMaxFailures,
  kUnits,
  kConfirm,
  kRebootWait,
  kConnect,
  kClear,  // `map N --clear`: kept as an argument of the command
  kHelp = 'h'
};

const option kLongOptions[] = {
    {"port", required_argument, nullptr, kPort},
    {"device", required_argument, nullptr, kDevice},
    {"report", required_argument, nullptr, kReport},
    {"trace", no_argument, nullptr, kTrace},
    {"quiet", no_argument, nullptr, kQuiet},
    {"dialog-timing", no_argument, nullptr, kDialogTiming},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"no-type-query", no_argument, nullptr, kNoTypeQuery},
    {"backup", required_argument, nullptr, kBackup},
    {"verify", no_argument, nullptr, kVerify},
    {"max-failures", required_argument, nullptr, kMaxFailures},
    {"units", required_argument, nullptr, kUnits},
    {"confirm", no_argument, nullptr, kConfirm},
    {"reboot-wait", required_argument, nullptr, kRebootWait},
    {"connect", no_argument, nullptr, kConnect},
    {"clear", no_argument, nullptr, kClear},
    {nullptr, 0, nullptr, 0},
};
// "-": the command and its arguments come back in order as code 1, wherever
// they stand among the options (also under POSIXLY_CORRECT); ":": a missing
// value comes back as ':'.
constexpr char kShortOptions[] = "-:h";

constexpr const char* kUsageLine =
    "usage: quorvane-cli [--port N | --device PATH ...] [--trace] [--report FILE]\n"
    "                    [--quiet] [--dialog-timing] COMMAND [ARGS]\n"
    "       quorvane-cli [options] upgrade [--no-type-query] [--backup FILE]\n"
    "                    [--verify [--reboot-wait SECONDS]] FILE\n"
    "       quorvane-cli [options] station [--max-failures N] [--units N] [--confirm]\n"
    "                    (upgrade [--no-type-query] [--backup DIR] [--verify\n"
    "                    [--reboot-wait SECONDS]] FILE | read DIR)\n"
    "       quorvane-cli [--port N | --device PATH] doctor [--connect]\n";
constexpr std::size_t kTextWidth = 79;
constexpr std::size_t kSynopsisWidth = 16;

std::optional<long long> parseInteger(const std::string& text) {
  long long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

std::string missingValue(int id) {
  switch (id) {
    case kPort:
      return "--port needs a COM number";
    case kDevice:
      return "--device needs a device path";
    case kBackup:
      return "--backup needs a file name";
    case kMaxFailures:
      return "--max-failures needs a number";
    case kUnits:
      return "--units needs a number";
    case kRebootWait:
      return "--reboot-wait needs a number of seconds";
    default:
      return "--report needs a file name";
  }
}

// Applies one option; returns the usage error, or "".
std::string setOption(Options& o, int id, const std::string& value) {
  switch (id) {
    case kPort: {
      const auto n = parseInteger(value);
      if (!n) return "--port needs a COM number, not \"" + value + "\"";
      if (std::find(o.ports.begin(), o.ports.end(), *n) != o.ports.end())
        return "--port " + value + " given twice";
      if (!o.port) o.port = *n;
      o.ports.push_back(*n);
      break;
    }
    case kDevice:
      if (value.empty()) return missingValue(kDevice);
      if (std::find(o.devices.begin(), o.devices.end(), value) != o.devices.end())
        return "device " + value + " given twice";
      o.devices.push_back(value);
      break;
    case kReport:
      if (value.empty()) return missingValue(kReport);
      o.reportPath = value;
      break;
    case kTrace:
      o.trace = true;
      break;
    case kQuiet:
      o.quiet = true;
      break;
    case kDialogTiming:
      o.dialogTiming = true;
      break;
    case kNoTypeQuery:
      o.typeQuery = false;
      break;
    case kBackup:
      if (value.empty()) return missingValue(kBackup);
      o.backupPath = value;
      break;
    case kVerify:
      o.verifyAfter = true;
      break;
    case kMaxFailures:
    case kUnits: {
      const auto n = parseInteger(value);
      if (!n || *n < 0 || *n > 1000000)
        return std::string(id == kUnits ? "--units" : "--max-failures") +
               " needs a number from 0 on, not \"" + value + "\"";
      if (id == kUnits)
        o.units = *n;
      else
        o.maxFailures = static_cast<int>(*n);
      break;
    }
    case kConfirm:
      o.confirm = true;
      break;
    case kRebootWait: {
      const auto n = parseInteger(value);
      if (!n || *n < 1 || *n > kRebootWaitLimitSeconds)
        return "--reboot-wait needs a number of seconds from 1 to " +
               std::to_string(kRebootWaitLimitSeconds) + ", not \"" + value + "\"";
      o.rebootWaitSeconds = static_cast<int>(*n);
      o.rebootWaitGiven = true;
      break;
    }
    case kConnect:
      o.connectAfterChecks = true;
      break;
    default:
      break;
  }
  return {};
}

// Takes the options from anywhere in `argv` and the command with its
// arguments, in order, into `operands`; returns the usage error, or "".
std::string readOptions(const std::vector<std::string>& argv, Options& o,
                        std::vector<std::string>& operands) {
  std::vector<std::string> words{"quorvane-cli"};
  words.insert(words.end(), argv.begin(), argv.end());
  std::vector<char*> pointers;
  for (std::string& w : words) pointers.push_back(w.data());
  pointers.push_back(nullptr);
  const int argc = static_cast<int>(words.size());
  optind = 0;  // start a fresh scan
  opterr = 0;  // the messages are ours
  for (;;) {
    const std::size_t at = static_cast<std::size_t>(std::max(optind, 1));  // the word looked at
    const int id = getopt_long(argc, pointers.data(), kShortOptions, kLongOptions, nullptr);
    if (id == -1) break;
    if (id == 1) {
      operands.emplace_back(optarg);
    } else if (id == kClear) {
      operands.emplace_back("--clear");
    } else if (id == kHelp) {
      o.help = true;
      return {};
    } else if (id == kVersion) {
      o.version = true;
      return {};
    } else if (id == ':') {
      return missingValue(optopt);
    } else if (id == '?') {
      return "unknown option " + words[at];
    } else if (std::string error = setOption(o, id, optarg ? optarg : ""); !error.empty()) {
      return error;
    }
  }
  // After "--": all operands.
  for (int i = optind; i < argc; ++i) operands.push_back(words[static_cast<std::size_t>(i)]);
  return {};
}

// The command and its arguments; returns the usage error, or "".
std::string takeCommand(const std::vector<std::string>& operands,
                        std::span<const CommandSpec> commands, Options& o) {
  const std::string& name = operands.front();
  for (const CommandSpec& c : commands)
    if (name == c.name) o.command = &c;
  if (!o.command) return "unknown command " + name;
  o.args.assign(operands.begin() + 1, operands.end());
  const int n = static_cast<int>(o.args.size());
  if (n < o.command->minArgs) return name + ": missing argument";
  if (o.command->maxArgs >= 0 && n > o.command->maxArgs) return name + ": too many arguments";
  for (const std::string& a : o.args)
    if (a.empty()) return name + ": empty argument";
  if (!o.command->keyArgs) return {};
  for (const std::string& a : o.args) {
    const auto code = parseKeyName(a);
    if (!code) return "unknown key " + a;
    o.keys.push_back(*code);
  }
  return {};
}

// "commands: connect | read FILE | ...", wrapped.
std::string commandList(std::span<const CommandSpec> commands) {
  const std::string head = "commands:";
  std::string text, line = head;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    const std::string piece =
        std::string(commands[i].synopsis) + (i + 1 < commands.size() ? " |" : "");
    if (line != head && line.size() + 1 + piece.size() > kTextWidth) {
      text += line + "\n";
      line = std::string(head.size(), ' ');
    }
    line += " " + piece;
  }
  return text + line + "\n";
}

// `text` wrapped at spaces (a line end in it counts as one) into lines of at
// most kTextWidth columns, the first after `first` (padded to `indent`
// columns), the others indented by `indent` spaces.
std::string wrapped(const std::string& first, const std::string& text, std::size_t indent) {
  std::string out = first + std::string(indent > first.size() ? indent - first.size() : 1, ' ');
  std::size_t column = std::max(indent, first.size() + 1);
  bool lineEmpty = true;
  for (std::size_t from = 0; from < text.size();) {
    const std::size_t end = std::min(text.find_first_of(" \n", from), text.size());
    const std::string word = text.substr(from, end - from);
    from = end + 1;
    if (word.empty()) continue;
    if (!lineEmpty && column + 1 + word.size() > kTextWidth) {
      out.append(1, '\n').append(indent, ' ');
      column = indent;
      lineEmpty = true;
    }
    if (!lineEmpty) out.append(1, ' ');
    out.append(word);
    column += (lineEmpty ? 0 : 1) + word.size();
    lineEmpty = false;
  }
  return out + "\n";
}

// "  read FILE       Read Software: ..." with the further lines indented.
std::string commandHelp(std::span<const CommandSpec> commands) {
  std::string text;
  for (const CommandSpec& c : commands)
    text += wrapped("  " + std::string(c.synopsis), c.help, kSynopsisWidth + 2);
  return text;
}

// A paragraph wrapped at kTextWidth.
std::string paragraph(const std::string& text) {
  return wrapped("", text, 0).substr(1);
}

// "  0x1D  MENU       " and the key's aliases, one key a line.
std::string keyTable() {
  std::string text;
  for (const remote::RemoteKey& key : remote::remoteKeys()) {
    std::string aliases;
    for (const remote::KeyAlias& alias : remote::keyAliases())
      if (alias.code == key.code) aliases += std::string(aliases.empty() ? "" : ", ") + alias.name;
    // Pad by characters, not bytes: captions such as "CH▲" are UTF-8.
    const std::string caption = remote::displayCaption(key);
    std::size_t width = 0;
    for (const unsigned char c : caption) width += (c & 0xC0) != 0x80;
    char code[16];
    std::snprintf(code, sizeof code, "  0x%02X  ", key.code);
    text += code + caption + std::string(width < 11 ? 11 - width : 1, ' ') + aliases + "\n";
  }
  return text;
}

}  // namespace

std::optional<std::uint8_t> parseKeyName(const std::string& name) {
  if (name.size() > 2 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X')) {
    unsigned value = 0;
    const char* end = name.data() + name.size();
    auto [ptr, ec] = std::from_chars(name.data() + 2, end, value, 16);
    if (ec != std::errc() || ptr != end || value >= unsigned(kKeyCodeCount)) return std::nullopt;
    return static_cast<std::uint8_t>(value);
  }
  if (const remote::RemoteKey* key = remote::findKeyByCaption(name)) return key->code;
  if (const remote::RemoteKey* key = remote::findKeyByName(name)) return key->code;
  return std::nullopt;
}

ParseResult parseCommandLine(const std::vector<std::string>& argv,
                             std::span<const CommandSpec> commands) {
  Options o;
  std::vector<std::string> operands;
  std::string error = readOptions(argv, o, operands);
  if (error.empty() && !o.help && !o.version) {
    if (o.port && !o.devices.empty())
      error = "--port and --device exclude each other";
    else if (operands.empty())
      error = "no command";
    else
      error = takeCommand(operands, commands, o);
    const bool upgradeOptions =
        !o.typeQuery || !o.backupPath.empty() || o.verifyAfter || o.rebootWaitGiven;
    const bool stationOptions = o.maxFailures != 3 || o.units != 0 || o.confirm;
    const std::string name = error.empty() ? o.command->name : "";
    if (error.empty() && upgradeOptions && name != "upgrade" && name != "station")
      error = "--no-type-query, --backup, --verify and --reboot-wait go with upgrade only";
    else if (error.empty() && o.rebootWaitGiven && !o.verifyAfter)
      error = "--reboot-wait goes with --verify";
    else if (error.empty() && name != "station" && (stationOptions || o.ports.size() > 1))
      error = o.ports.size() > 1 ? "--port given twice"
                                 : "--max-failures, --units and --confirm go with station only";
    if (error.empty() && o.connectAfterChecks && std::string(o.command->name) != "doctor")
      error = "--connect goes with doctor only";
  }
  if (!error.empty()) return ParseResult{std::nullopt, std::move(error)};
  return ParseResult{std::move(o), {}};
}

std::string usageText(std::span<const CommandSpec> commands) {
  return kUsageLine + commandList(commands) + "quorvane-cli --help tells more.\n";
}

std::string helpText(std::span<const CommandSpec> commands) {
  struct OptionHelp {
    const char* name;
    const char* help;
  };
  static const OptionHelp kOptions[] = {
      {"--port N",
       "COM port N through the program's map: QUORVANE_COM<N> if set, else /dev/ttyS<N-1>. "
       "Default: portIndex + 1 from \"Quorvane.cfg\" in the current directory (read, never "
       "written; COM1 without it)"},
      {"--device PATH",
       "a serial device by path; repeat it to run the job on several receivers at once, each "
       "on its own port (station: each a slot; --port may be repeated there too)"},
      {"--trace",
       "print every frame sent and received on stdout: time, device, direction, hex and "
       "meaning; a flash block as one line"},
      {"--report FILE",
       "append one JSON object per receiver and job to FILE (JSON Lines): device, port, "
       "command, image, tag, model, sha256 (flash data without the tag), blocks_done, "
       "block_count, result, message, reason (the line under the message), model_checked and "
       "type_query (upgrade), keys (key), start_time (UTC), duration_s. A FILE that can't be "
       "written fails the run before anything is sent"},
      {"--quiet",
       "print nothing but failures (and the notes of an upgrade whose receiver named no type)"},
      {"--dialog-timing",
       "one step per 50 ms tick, as the desktop program's dialogs, for comparison and for "
       "receivers that need that pace. Without it a step comes the moment the block or answer "
       "it waits for is complete. Either way a wait counts 50 ms per tick without the bytes "
       "and gives up at the 60th, and the frames are the same"},
      {"--no-type-query",
       "upgrade: don't ask the receiver's type first (for a loader that can't answer a read)"},
      {"--backup FILE",
       "upgrade: read the receiver's flash into FILE first, as read does, and write nothing to "
       "a receiver whose backup failed; costs one more 1 or 2 MiB read (about 90 or 180 s at "
       "the line rate)"},
      {"--verify",
       "upgrade: read the flash back afterwards and compare it with the image, as verify "
       "does; costs one more read as long. First it waits for the receiver to come back: a "
       "receiver saves after an upgrade, then reboots, and its loader answers only for a "
       "moment after the reboot. See --reboot-wait"},
      {"--reboot-wait SECONDS",
       "upgrade --verify (and station upgrade --verify): how long to wait for the receiver's "
       "loader after the upgrade, asking "
       "with the connection request every 100 ms (default 30: up to 10 s of saving, then the "
       "reboot, with room to spare). If it never answers the verify is not done: exit status 1 "
       "and a line that says to power it on and run verify IMAGE"},
      {"--max-failures N",
       "station: a slot stops after N units in a row failed (default 3; 0: never), since that "
       "points at its cable or port rather than at N bad receivers"},
      {"--units N",
       "station: end after N units in all slots together, passed or failed (default 0: run "
       "until every slot has stopped or Ctrl-C)"},
      {"--confirm",
       "station: a slot takes its next receiver only after Enter (an empty line: every slot "
       "waiting; a slot number: that slot), instead of waiting for the last one to be silent "
       "for 15 s"},
      {"--connect",
       "doctor: after the checks, send the connection request and report the answer, as "
       "connect does"},
      {"--help, -h", "this text"},
      {"--version", "the program's name and version"},
  };
  std::string options;
  for (const OptionHelp& o : kOptions)
    options += wrapped("  " + std::string(o.name), o.help, kSynopsisWidth + 2);
  return paragraph(
             "quorvane-cli: the Quorvane service tool for digital satellite receivers, from the "
             "command line. Same line protocol, 50 ms tick, counted waits and messages as the "
             "desktop program; it takes each block and answer the moment it is complete.") +
         "\n" + kUsageLine + "\nCommands:\n" + commandHelp(commands) + "\nOptions:\n" + options +
         paragraph(
             "Options may come before or after the command and its arguments; \"--\" ends the "
             "options, so that an argument after it may begin with \"-\".") +
         "\n" +
         paragraph(
             "Output: results on stdout; failures on stderr, in the program's own words, and "
             "under each a line naming the device or file, the reason and what to do next; "
             "each after \"<device>: \" when there are several devices. Progress on stderr: a "
             "live line per receiver on a terminal (fitted to its width; none when TERM is "
             "dumb), else one final line per receiver, counting the blocks taken or sent as "
             "the report's blocks_done and block_count do.") +
         paragraph(
             "Ctrl-C cancels the jobs; a read, verify or upgrade under way sends the receiver "
             "the stop frame, so that it is ready for the next job, and writes no file.") +
         paragraph(
             "Exit status: 0 every job succeeded, 1 a job failed, 2 usage error, 130 cancelled "
             "with Ctrl-C.") +
         "\nKey names (code  caption  alias):\n" + keyTable();
}

}  // namespace quorvane::cli
