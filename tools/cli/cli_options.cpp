#include "cli_options.h"

#include <charconv>
#include <cstdio>

#include "remote/remote_keys.h"
#include "serial/protocol.h"

namespace quorvane::cli {

namespace {

struct CommandInfo {
  const char* name;
  Command command;
  int minArgs;
  int maxArgs;  // -1: any
};

constexpr CommandInfo kCommands[] = {
    {"connect", Command::Connect, 0, 0}, {"read", Command::Read, 1, 1},
    {"upgrade", Command::Upgrade, 1, 1}, {"verify", Command::Verify, 1, 1},
    {"key", Command::Key, 1, -1},        {"info", Command::Info, 1, -1},
    {"ports", Command::Ports, 0, 0},
};

std::optional<long long> parseInteger(const std::string& text) {
  long long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

const char* commandName(Command command) {
  for (const CommandInfo& info : kCommands)
    if (info.command == command) return info.name;
  return "?";
}

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

ParseResult parseCommandLine(const std::vector<std::string>& argv) {
  Options o;
  std::size_t i = 0;
  auto fail = [](std::string error) { return ParseResult{std::nullopt, std::move(error)}; };
  // Options come before the command; "--" ends them.
  for (; i < argv.size(); ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    std::optional<std::string> inlineValue;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = arg.substr(eq + 1);
      arg.resize(eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < argv.size()) return argv[++i];
      return std::nullopt;
    };
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      return ParseResult{o, {}};
    } else if (arg == "--trace" && !inlineValue) {
      o.trace = true;
    } else if (arg == "--quiet" && !inlineValue) {
      o.quiet = true;
    } else if (arg == "--port") {
      const auto v = value();
      if (!v) return fail("--port needs a COM number");
      const auto n = parseInteger(*v);
      if (!n) return fail("--port needs a COM number, not \"" + *v + "\"");
      if (o.port) return fail("--port given twice");
      o.port = *n;
    } else if (arg == "--device") {
      const auto v = value();
      if (!v || v->empty()) return fail("--device needs a device path");
      for (const std::string& d : o.devices)
        if (d == *v) return fail("device " + *v + " given twice");
      o.devices.push_back(*v);
    } else if (arg == "--report") {
      const auto v = value();
      if (!v || v->empty()) return fail("--report needs a file name");
      o.reportPath = *v;
    } else {
      return fail("unknown option " + argv[i]);
    }
  }
  if (o.port && !o.devices.empty()) return fail("--port and --device exclude each other");
  if (i >= argv.size()) return fail("no command");

  const std::string name = argv[i++];
  const CommandInfo* info = nullptr;
  for (const CommandInfo& s : kCommands)
    if (name == s.name) info = &s;
  if (!info) return fail("unknown command " + name);
  o.command = info->command;
  o.args.assign(argv.begin() + static_cast<long>(i), argv.end());
  const int n = static_cast<int>(o.args.size());
  if (n < info->minArgs) return fail(name + ": missing argument");
  if (info->maxArgs >= 0 && n > info->maxArgs) return fail(name + ": too many arguments");
  for (const std::string& a : o.args)
    if (a.empty()) return fail(name + ": empty argument");

  if (o.command == Command::Key) {
    for (const std::string& a : o.args) {
      const auto code = parseKeyName(a);
      if (!code) return fail("unknown key " + a);
      o.keys.push_back(*code);
    }
  }
  return ParseResult{o, {}};
}

const char* usageText() {
  return "usage: quorvane-cli [--port N | --device PATH ...] [--trace] [--report FILE] [--quiet]\n"
         "                    COMMAND [ARGS]\n"
         "commands: connect | read FILE | upgrade FILE | verify FILE | key KEY... |\n"
         "          info FILE... | ports\n"
         "quorvane-cli --help tells more.\n";
}

std::string helpText() {
  std::string text =
      "quorvane-cli: the Quorvane service tool for digital satellite receivers, from the\n"
      "command line. Same line protocol, 50 ms tick, counted waits and messages as the\n"
      "desktop program.\n"
      "\n"
      "usage: quorvane-cli [--port N | --device PATH ...] [--trace] [--report FILE] [--quiet]\n"
      "                    COMMAND [ARGS]\n"
      "\n"
      "Commands:\n"
      "  connect         the connection handshake; prints \"connect ok!\" on success\n"
      "  read FILE       Read Software: the receiver's whole flash into the ROM image FILE\n"
      "                  (written completely or not at all). With several devices FILE may\n"
      "                  hold {n} (1, 2, ... in --device order) or {device} (the device's\n"
      "                  file name); without either, \"-<device>\" is put before the\n"
      "                  extension: rom.bin -> rom-ttyUSB0.bin\n"
      "  upgrade FILE    Upgrade Software: write the ROM image FILE into the receiver,\n"
      "                  refusing a receiver of another type; prints the completion warning\n"
      "  verify FILE     read the receiver's flash and compare it with FILE: first the\n"
      "                  receiver's type against the file's tag, then every block; prints\n"
      "                  the differing block ranges (\"blocks 17-17 differ\"); writes nothing\n"
      "  key KEY...      send remote keys, one per 50 ms tick. KEY is a button caption\n"
      "                  (MENU, OK, \"CH\xE2\x96\xB2\"), an ASCII alias or a code 0x00..0x1F\n"
      "  info FILE...    tag, model name, family, flash type, size, block count and SHA-256\n"
      "                  of each image, and whether it would load (with the loader's message\n"
      "                  when not); opens no port\n"
      "  ports           the COM1..COM4 map and the serial devices present\n"
      "                  (/dev/serial/by-id, ttyUSB*, ttyACM*, ttyS*; Windows: every COM<n>);\n"
      "                  opens no port\n"
      "\n"
      "Options:\n"
      "  --port N        COM port N through the program's map: QUORVANE_COM<N> if set,\n"
      "                  else /dev/ttyS<N-1> (Windows: COM<N>). Default: portIndex + 1 from\n"
      "                  \"Quorvane.cfg\" in the current directory (read, never written; COM1\n"
      "                  without it)\n"
      "  --device PATH   a serial device by path (Windows: by name, such as COM7); repeat\n"
      "                  it to run the job on several receivers at once, each on its own port\n"
      "  --trace         print every frame sent and received on stdout: time, device,\n"
      "                  direction, hex and meaning; a flash block as one line\n"
      "  --report FILE   append one JSON object per receiver and job to FILE (JSON Lines):\n"
      "                  device, command, image, tag, model, sha256 (flash data without the\n"
      "                  tag), blocks_done, block_count, result, message, start_time (UTC),\n"
      "                  duration_s\n"
      "  --quiet         print nothing but failures\n"
      "  --help, -h      this text\n"
      "\n"
      "Output: results on stdout; failures on stderr, one per receiver, in the program's own\n"
      "words, after \"<device>: \" when there are several devices; progress on stderr, a live\n"
      "line per receiver on a terminal, else one final line per receiver.\n"
      "Exit status: 0 every job succeeded, 1 a job failed, 2 usage error.\n"
      "\n"
      "Key names (code  caption  alias):\n";
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

}  // namespace quorvane::cli
