#include "cli_options.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "remote/remote_keys.h"
#include "serial/protocol.h"
#include "text_layout.h"

namespace quorvane::cli {

namespace {

using tools::kHelpWidth;
using tools::OptionDoc;
using tools::wrapText;

std::optional<long long> parseInteger(const std::string& text) {
  long long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

// One option: what every document says about it, what its missing value is
// called in the usage error, and how it is applied (returns the usage
// error, or "").
struct OptionSpec {
  OptionDoc doc;
  const char* needs;  // "a COM number": "--port needs a COM number"
  std::string (*apply)(Options& o, const std::string& value);
};

// Every option of quorvane-cli, in the order --help lists them. Adding one
// is a row here (and its field in Options): the parser, --help, the manual
// page, the completion and the reference in docs/cli.md follow.
const OptionSpec kOptions[] = {
    {{.name = "port",
      .value = "N",
      .brief = "COM port N through the program's map: QUORVANE_COM<N> if set, else the map "
               "file's COM<N>= line (see map), else /dev/ttyS<N-1>. Default: portIndex + 1 from "
               "\"Quorvane.cfg\" in the current directory (read, never written; COM1 without it)",
      .detail = "COM port N through the program's map: $QUORVANE_COM<N> if set, else the map "
                "file's COM<N>= line (see map), else /dev/ttyS<N-1> (Windows: COM<N>). May be "
                "given once (station: once per slot); excludes --device. Without --port and "
                "--device the port is portIndex "
                "+ 1 from Quorvane.cfg in the current directory (COM1 when there is none); the "
                "file is read, never written.",
      .complete = "1 2 3 4"},
     "a COM number",
     [](Options& o, const std::string& value) -> std::string {
       const auto n = parseInteger(value);
       if (!n) return "--port needs a COM number, not \"" + value + "\"";
       if (std::find(o.ports.begin(), o.ports.end(), *n) != o.ports.end())
         return "--port " + value + " given twice";
       if (!o.port) o.port = *n;
       o.ports.push_back(*n);
       return {};
     }},
    {{.name = "device",
      .value = "PATH",
      .brief = "a serial device by path; repeat it to run the job on several receivers at once, "
               "each on its own port (station: each a slot; --port may be repeated there too)",
      .detail = "A serial device by its path (Windows: by its name, such as COM7). Repeat it to "
                "run the job on several receivers at once: one event loop, one state machine and "
                "one port per receiver; the same device must not be given twice. Excludes --port.",
      .complete = "@device"},
     "a device path",
     [](Options& o, const std::string& value) -> std::string {
       if (std::find(o.devices.begin(), o.devices.end(), value) != o.devices.end())
         return "device " + value + " given twice";
       o.devices.push_back(value);
       return {};
     }},
    {{.name = "trace",
      .brief = "print every frame sent and received on stdout: time, device, direction, hex and "
               "meaning; a flash block as one line",
      .detail = "Prints every frame sent and received on standard output: the time since the "
                "start, the device, the direction (-> sent, <- received), the bytes in hex and "
                "their meaning, with model and key names. A flash block is one line. For connect "
                "the handshake reports only its outcome, so its lines read \"ack\" or \"no "
                "acknowledgement\"."},
     nullptr,
     [](Options& o, const std::string&) -> std::string {
       o.trace = true;
       return {};
     }},
    {{.name = "report",
      .value = "FILE",
      .brief = "append one JSON object per receiver and job to FILE (JSON Lines): device, port, "
               "command, image, tag, model, sha256 (flash data without the tag), blocks_done, "
               "block_count, result, message, reason (the line under the message), "
               "model_checked and type_query (upgrade), keys (key), start_time (UTC), "
               "duration_s. A FILE that can't be written fails the run before anything is sent",
      .detail = "Appends one JSON object per receiver and job to FILE (JSON Lines), with the "
                "fields device, port, command, image, tag, model, sha256 (the flash data without "
                "the tag), blocks_done, block_count, result (ok, failed or cancelled), message, "
                "reason (the line under the message), model_checked and type_query (upgrade: "
                "whether the receiver's type was checked, and what it answered when asked), keys "
                "(key), start_time (UTC) and duration_s. With --backup or --verify the backup and "
                "the check have records of their own (read, verify). A FILE that cannot be "
                "written fails the run, with the reason, before anything is sent.",
      .complete = "@file"},
     "a file name",
     [](Options& o, const std::string& value) -> std::string {
       o.reportPath = value;
       return {};
     }},
    {{.name = "quiet",
      .brief = "print nothing but failures, the trace if asked for, and the notes of an upgrade "
               "whose receiver named no type"},
     nullptr,
     [](Options& o, const std::string&) -> std::string {
       o.quiet = true;
       return {};
     }},
    {{.name = "dialog-timing",
      .brief = "one step per 50 ms tick, as the desktop program's dialogs, for comparison and for "
               "receivers that need that pace. Without it a step comes the moment the block or "
               "answer it waits for is complete. Either way a wait counts 50 ms per tick without "
               "the bytes and gives up at the 60th, and the frames are the same"},
     nullptr,
     [](Options& o, const std::string&) -> std::string {
       o.dialogTiming = true;
       return {};
     }},
    {{.name = "help", .shortName = 'h', .brief = "this text, with every key name"},
     nullptr,
     [](Options& o, const std::string&) -> std::string {
       o.help = true;
       return {};
     }},
    {{.name = "version", .brief = "the program's name and version"},
     nullptr,
     [](Options& o, const std::string&) -> std::string {
       o.version = true;
       return {};
     }},
    {{.name = "no-type-query",
      .command = "upgrade station",
      .brief = "don't ask the receiver's type first (for a loader that can't answer a read)"},
     nullptr,
     [](Options& o, const std::string&) -> std::string {
       o.typeQuery = false;
       return {};
     }},
    {{.name = "backup",
      .value = "FILE",
      .command = "upgrade station",
      .brief = "read the receiver's flash into FILE first, as read does, and write nothing to a "
               "receiver whose backup failed; costs one more read (about 91 s for 1 MiB, 183 s "
               "for 2 MiB at the line rate)",
      .detail = "First read the receiver's flash into the ROM image FILE, as read FILE does (with "
                "several devices FILE takes {n} and {device} the same way); a receiver whose "
                "backup failed gets nothing written. Costs one more read: about 91 s for 1 MiB, "
                "183 s for 2 MiB at 115200 bit/s.",
      .complete = "@file"},
     "a file name",
     [](Options& o, const std::string& value) -> std::string {
       o.backupPath = value;
       return {};
     }},
    {{.name = "verify",
      .command = "upgrade station",
      .brief = "read the flash back afterwards and compare it with the image, as verify does; "
               "costs one more read as long. First it waits for the receiver to come back: a "
               "receiver saves after an upgrade, then reboots, and its loader answers only for a "
               "moment after the reboot. See --reboot-wait"},
     nullptr,
     [](Options& o, const std::string&) -> std::string {
       o.verifyAfter = true;
       return {};
     }},
    {{.name = "reboot-wait",
      .value = "SECONDS",
      .command = "upgrade station",
      .brief = "with --verify: how long to wait for the receiver's loader after the upgrade, "
               "asking with the connection request every 100 ms (default 30: up to 10 s of "
               "saving, then the reboot, with room to spare). If it never answers the verify is "
               "not done: exit status 1 and a line that says to power it on and run verify IMAGE",
      .detail = "With --verify: how long to wait for the receiver's loader after the upgrade (1 "
                "to 3600 s, default 30), asking with the connection request every 100 ms. If it "
                "never answers, the verify is not done: exit status 1 and a line that says to "
                "power the receiver on and run verify IMAGE."},
     "a number of seconds",
     [](Options& o, const std::string& value) -> std::string {
       const auto n = parseInteger(value);
       if (!n || *n < 1 || *n > kRebootWaitLimitSeconds)
         return "--reboot-wait needs a number of seconds from 1 to " +
                std::to_string(kRebootWaitLimitSeconds) + ", not \"" + value + "\"";
       o.rebootWaitSeconds = static_cast<int>(*n);
       o.rebootWaitGiven = true;
       return {};
     }},
    {{.name = "max-failures",
      .value = "N",
      .command = "station",
      .brief = "a slot stops after N units in a row failed (default 3; 0: never), since that "
               "points at its cable or port rather than at N bad receivers"},
     "a number",
     [](Options& o, const std::string& value) -> std::string {
       const auto n = parseInteger(value);
       if (!n || *n < 0 || *n > 1000000)
         return "--max-failures needs a number from 0 on, not \"" + value + "\"";
       o.maxFailures = static_cast<int>(*n);
       return {};
     }},
    {{.name = "units",
      .value = "N",
      .command = "station",
      .brief = "end after N units in all slots together, passed or failed (default 0: run "
               "until every slot has stopped or Ctrl-C)"},
     "a number",
     [](Options& o, const std::string& value) -> std::string {
       const auto n = parseInteger(value);
       if (!n || *n < 0 || *n > 1000000)
         return "--units needs a number from 0 on, not \"" + value + "\"";
       o.units = *n;
       return {};
     }},
    {{.name = "confirm",
      .command = "station",
      .brief = "a slot takes its next receiver only after Enter (an empty line: every slot "
               "waiting; a slot number: that slot), instead of waiting for the last one to be "
               "silent for 15 s"},
     nullptr,
     [](Options& o, const std::string&) -> std::string {
       o.confirm = true;
       return {};
     }},
    {{.name = "connect",
      .command = "doctor",
      .brief = "after the checks, send the connection request and report the answer, as connect "
               "does"},
     nullptr,
     [](Options& o, const std::string&) -> std::string {
       o.connectAfterChecks = true;
       return {};
     }},
    {{.name = "clear", .command = "map", .argument = true}, nullptr, nullptr},
};

// Option ids for getopt_long: a row's index from here on, past every short
// option character.
constexpr int kFirstId = 256;

// "-": the command and its arguments come back in order as code 1, wherever
// they stand among the options (also under POSIXLY_CORRECT); ":": a missing
// value comes back as ':'.
std::string shortOptions() {
  std::string text = "-:";
  for (const OptionSpec& o : kOptions)
    if (o.doc.shortName) text += std::string(1, o.doc.shortName) + (o.doc.value.empty() ? "" : ":");
  return text;
}

// The row of a getopt_long answer, or null.
const OptionSpec* rowOf(int id) {
  for (const OptionSpec& o : kOptions)
    if (id == o.doc.shortName || id == kFirstId + int(&o - kOptions)) return &o;
  return nullptr;
}

// Takes the options from anywhere in `argv` and the command with its
// arguments, in order, into `operands`; returns the usage error, or "".
std::string readOptions(const std::vector<std::string>& argv, Options& o,
                        std::vector<std::string>& operands, std::vector<const OptionSpec*>& given) {
  std::vector<std::string> words{"quorvane-cli"};
  words.insert(words.end(), argv.begin(), argv.end());
  std::vector<char*> pointers;
  for (std::string& w : words) pointers.push_back(w.data());
  pointers.push_back(nullptr);
  std::vector<option> longOptions;
  for (const OptionSpec& o : kOptions)
    longOptions.push_back({o.doc.name.data(), o.doc.value.empty() ? no_argument : required_argument,
                           nullptr, kFirstId + int(&o - kOptions)});
  longOptions.push_back({});
  const std::string shorts = shortOptions();
  const int argc = static_cast<int>(words.size());
  optind = 0;  // start a fresh scan
  opterr = 0;  // the messages are ours
  for (;;) {
    const std::size_t at = static_cast<std::size_t>(std::max(optind, 1));  // the word looked at
    const int id = getopt_long(argc, pointers.data(), shorts.c_str(), longOptions.data(), nullptr);
    if (id == -1) break;
    if (id == 1) {
      operands.emplace_back(optarg);
      continue;
    }
    const OptionSpec* row = rowOf(id == ':' ? optopt : id);
    if (id == '?' || !row) return "unknown option " + words[at];
    const std::string name = "--" + std::string(row->doc.name);
    if (row->doc.argument) {
      operands.push_back(name);
      continue;
    }
    given.push_back(row);
    const std::string value = optarg ? optarg : "";
    if (!row->doc.value.empty() && value.empty()) return name + " needs " + row->needs;
    if (std::string error = row->apply(o, value); !error.empty()) return error;
    if (o.help || o.version) return {};
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

// An option given with a command it does not go with: "--backup and
// --verify go with upgrade only"; "" when there is none.
std::string checkScope(const std::vector<const OptionSpec*>& given, const CommandSpec& command) {
  for (const OptionSpec* g : given) {
    if (g->doc.command.empty() || tools::goesWith(g->doc, command.name)) continue;
    std::vector<std::string> names;
    for (const OptionSpec& o : kOptions)
      if (o.doc.command == g->doc.command && !o.doc.argument)
        names.push_back("--" + std::string(o.doc.name));
    std::string list = names.front();
    for (std::size_t i = 1; i < names.size(); ++i)
      list += (i + 1 < names.size() ? ", " : " and ") + names[i];
    return list + (names.size() > 1 ? " go" : " goes") + " with " +
           tools::commandsText(g->doc.command) + " only";
  }
  return {};
}

// "commands: connect | read FILE | ...", wrapped.
std::string commandList(std::span<const CommandSpec> commands) {
  std::string list;
  for (const CommandSpec& c : commands) list += std::string(list.empty() ? "" : " | ") + c.synopsis;
  return wrapText("commands:", list, 10, kHelpWidth);
}

// The option table as the documents' model.
std::vector<OptionDoc> optionDocs() {
  std::vector<OptionDoc> docs;
  for (const OptionSpec& o : kOptions) docs.push_back(o.doc);
  return docs;
}

// "[--port N] [--trace] ... COMMAND [ARGS]", then one line per command that
// has options of its own.
std::vector<std::string> usageLines(std::span<const CommandSpec> commands) {
  auto brackets = [](const OptionDoc& o) {
    return " [" + tools::optionTerm({.name = o.name, .value = o.value}) + "]";
  };
  std::string common;
  for (const OptionSpec& o : kOptions)
    if (o.doc.command.empty() && !o.doc.shortName && o.apply && o.doc.name != "version")
      common += brackets(o.doc);
  std::vector<std::string> lines{common.substr(1) + " COMMAND [ARGS]"};
  for (const CommandSpec& c : commands) {
    std::string own;
    for (const OptionSpec& o : kOptions)
      if (!o.doc.command.empty() && tools::goesWith(o.doc, c.name) && !o.doc.argument)
        own += brackets(o.doc);
    if (!own.empty())
      lines.push_back("[options] " + std::string(c.name) + own +
                      std::string(c.synopsis).substr(std::string_view(c.name).size()));
  }
  lines.push_back("--help | --version");
  return lines;
}

}  // namespace

tools::ToolDoc cliDoc(std::span<const CommandSpec> commands) {
  tools::ToolDoc doc{
      .program = "quorvane-cli", .usage = usageLines(commands), .options = optionDocs()};
  for (const CommandSpec& c : commands)
    doc.commands.push_back({c.name, c.synopsis, c.help, c.detail ? c.detail : "", c.complete});
  doc.exitStatus = {
      {"0", "every job succeeded"},
      {"1",
       "a job failed (a verify that found differences, an info file that would not load and a "
       "--report file that can't be written too)"},
      {"2", "usage error; a short usage text is printed"},
      {"130", "cancelled with Ctrl-C (128 + SIGINT, as shells report it)"}};
  doc.environment = {
      {"QUORVANE_COM<n>",
       "The device that COM<n> opens, such as /dev/ttyUSB0 or a link made by quorvane-emu "
       "--link; wins over the map file. When unset or empty, COM<n> is what map set, else "
       "/dev/ttyS<n-1>."},
      {"XDG_CONFIG_HOME",
       "Where the port map lives: $XDG_CONFIG_HOME/quorvane/ports.conf, else "
       "~/.config/quorvane/ports.conf."}};
  doc.files = {
      {"Quorvane.cfg",
       "In the current directory: the port selected in the desktop program (4 bytes). Read, "
       "never written."},
      {"$XDG_CONFIG_HOME/quorvane/ports.conf",
       "The port map: COM<n>=device lines, written by map (on Windows "
       "%APPDATA%\\Quorvane\\ports.conf). Other lines are ignored, and map names them."}};
  doc.examples = {
      {"Is the receiver on COM2 there?", "quorvane-cli --port 2 connect"},
      {"Back up the receiver on a USB adapter, then check the backup against it.",
       "quorvane-cli --device /dev/ttyUSB0 read backup.bin && quorvane-cli --device /dev/ttyUSB0 "
       "verify backup.bin"},
      {"Upgrade with a backup first and a check afterwards.",
       "quorvane-cli --device /dev/ttyUSB0 upgrade --backup old.bin --verify new.bin"},
      {"Flash two receivers at once and keep a log.",
       "quorvane-cli --report flash.jsonl --device /dev/ttyUSB0 --device /dev/ttyUSB1 upgrade "
       "new.bin"},
      {"Read three receivers into rom-1.bin .. rom-3.bin.",
       "quorvane-cli --device /dev/ttyUSB0 --device /dev/ttyUSB1 --device /dev/ttyUSB2 read "
       "'rom-{n}.bin'"},
      {"Open the menu, move down twice and confirm, showing the frames.",
       "quorvane-cli --trace key MENU CH- CH- OK"}};
  for (const remote::RemoteKey& key : remote::remoteKeys()) {
    std::string aliases;
    for (const remote::KeyAlias& alias : remote::keyAliases())
      if (alias.code == key.code) aliases += std::string(aliases.empty() ? "" : ", ") + alias.name;
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X ", key.code);
    doc.keys.push_back({code + remote::displayCaption(key), aliases});
  }
  return doc;
}

namespace {

// "  0x1D  MENU       MENU", one key a line, padded by columns, not bytes:
// captions such as "CH▲" are UTF-8.
std::string keyTable(const tools::ToolDoc& doc) {
  std::string text;
  for (const tools::Entry& key : doc.keys) {
    const std::string code = key.term.substr(0, 4), caption = key.term.substr(5);
    const std::size_t width = tools::columnsOf(caption);
    text += "  " + code + "  " + caption + std::string(width < 11 ? 11 - width : 1, ' ') +
            key.text + "\n";
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
  std::vector<const OptionSpec*> given;
  std::string error = readOptions(argv, o, operands, given);
  if (error.empty() && !o.help && !o.version) {
    if (o.port && !o.devices.empty())
      error = "--port and --device exclude each other";
    else if (operands.empty())
      error = "no command";
    else
      error = takeCommand(operands, commands, o);
    if (error.empty()) error = checkScope(given, *o.command);
    if (error.empty() && o.rebootWaitGiven && !o.verifyAfter)
      error = "--reboot-wait goes with --verify";
    if (error.empty() && o.ports.size() > 1 && std::string(o.command->name) != "station")
      error = "--port given twice";
  }
  if (!error.empty()) return ParseResult{std::nullopt, std::move(error)};
  return ParseResult{std::move(o), {}};
}

std::string usageText(std::span<const CommandSpec> commands) {
  return tools::usageHelp(cliDoc(commands)) + commandList(commands) +
         "quorvane-cli --help tells more.\n";
}

std::string helpText(std::span<const CommandSpec> commands) {
  const tools::ToolDoc doc = cliDoc(commands);
  auto paragraph = [](std::string_view text) { return wrapText("", text, 0, kHelpWidth); };
  return paragraph(
             "quorvane-cli: the Quorvane service tool for digital satellite receivers, from the "
             "command line. Same line protocol, 50 ms tick, counted waits and messages as the "
             "desktop program; it takes each block and answer the moment it is complete.") +
         "\n" + tools::usageHelp(doc) + "\nCommands:\n" + tools::commandsHelp(doc, 18) +
         "\nOptions:\n" + tools::optionsHelp(doc, 18) + "\n" +
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
         tools::exitStatusHelp(doc) + "\nKey names (code  caption  alias):\n" + keyTable(doc);
}

}  // namespace quorvane::cli
