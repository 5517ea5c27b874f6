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
    {"clear", no_argument, nullptr, kClear},
    {nullptr, 0, nullptr, 0},
};
// "-": the command and its arguments come back in order as code 1, wherever
// they stand among the options (also under POSIXLY_CORRECT); ":": a missing
// value comes back as ':'.
constexpr char kShortOptions[] = "-:h";

constexpr const char* kUsageLine =
    "usage: quorvane-cli [--port N | --device PATH ...] [--trace] [--report FILE] [--quiet]\n"
    "                    [--dialog-timing] COMMAND [ARGS]\n";
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
      if (o.port) return "--port given twice";
      o.port = *n;
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

// "  read FILE       Read Software: ..." with the further lines indented.
std::string commandHelp(std::span<const CommandSpec> commands) {
  std::string text;
  for (const CommandSpec& c : commands) {
    const std::string synopsis = c.synopsis;
    text += "  " + synopsis +
            std::string(kSynopsisWidth - std::min(kSynopsisWidth - 1, synopsis.size()), ' ');
    const std::string help = c.help;
    for (std::size_t from = 0;;) {
      const std::size_t end = help.find('\n', from);
      text += help.substr(from, end - from) + "\n";
      if (end == std::string::npos) break;
      from = end + 1;
      text += std::string(kSynopsisWidth + 2, ' ');
    }
  }
  return text;
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
  }
  if (!error.empty()) return ParseResult{std::nullopt, std::move(error)};
  return ParseResult{std::move(o), {}};
}

std::string usageText(std::span<const CommandSpec> commands) {
  return kUsageLine + commandList(commands) + "quorvane-cli --help tells more.\n";
}

std::string helpText(std::span<const CommandSpec> commands) {
  return "quorvane-cli: the Quorvane service tool for digital satellite receivers, from the\n"
         "command line. Same line protocol, 50 ms tick, counted waits and messages as the\n"
         "desktop program; it takes each block and answer the moment it is complete.\n"
         "\n" +
         std::string(kUsageLine) +
         "\n"
         "Commands:\n" +
         commandHelp(commands) +
         "\n"
         "Options:\n"
         "  --port N        COM port N through the program's map: QUORVANE_COM<N> if set,\n"
         "                  else /dev/ttyS<N-1>. Default: portIndex + 1 from \"Quorvane.cfg\" in\n"
         "                  the current directory (read, never written; COM1 without it)\n"
         "  --device PATH   a serial device by path; repeat it to run the job on several\n"
         "                  receivers at once, each on its own port\n"
         "  --trace         print every frame sent and received on stdout: time, device,\n"
         "                  direction, hex and meaning; a flash block as one line\n"
         "  --report FILE   append one JSON object per receiver and job to FILE (JSON Lines):\n"
         "                  device, command, image, tag, model, sha256 (flash data without the\n"
         "                  tag), blocks_done, block_count, result, message, reason (the line\n"
         "                  under the message), model_checked (upgrade), start_time (UTC),\n"
         "                  duration_s\n"
         "  --quiet         print nothing but failures (and the note of an upgrade whose\n"
         "                  receiver never named its type)\n"
         "  --dialog-timing one step per 50 ms tick, as the desktop program's dialogs, for\n"
         "                  comparison and for receivers that need that pace. Without it a\n"
         "                  step comes the moment the block or answer it waits for is\n"
         "                  complete, and the receiver is read or written at the line rate;\n"
         "                  either way a wait counts 50 ms per tick without the bytes and\n"
         "                  gives up at the 60th, and the frames are the same\n"
         "  --help, -h      this text\n"
         "  --version       the program's name and version\n"
         "Options may come before or after the command and its arguments; \"--\" ends the\n"
         "options, so that an argument after it may begin with \"-\".\n"
         "\n"
         "Output: results on stdout; failures on stderr, one per receiver, in the program's own\n"
         "words, and under a failure a line naming the device or file, the system's reason and\n"
         "what to do (a missing adapter, the dialout group, a port held by another program,\n"
         "hardware flow control on a 3-wire cable, a folder that does not exist); each after\n"
         "\"<device>: \" when there are several devices; progress on stderr, a live line per\n"
         "receiver on a terminal (fitted to its width; none when TERM is dumb), else one final\n"
         "line per receiver. The final line counts the blocks taken or sent, as the report's\n"
         "blocks_done and block_count do.\n"
         "Ctrl-C cancels the jobs; a read, verify or upgrade under way sends the receiver the\n"
         "stop frame, so that it is ready for the next job, and writes no file.\n"
         "Exit status: 0 every job succeeded, 1 a job failed, 2 usage error.\n"
         "\n"
         "Key names (code  caption  alias):\n" +
         keyTable();
}

}  // namespace quorvane::cli
