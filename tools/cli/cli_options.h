// The command line of quorvane-cli:
//   quorvane-cli [--port N | --device PATH ...] [--trace] [--report FILE]
//                [--quiet] COMMAND [ARGS]
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::cli {

enum class Command { Connect, Read, Upgrade, Verify, Key, Info, Ports };

struct Options {
  std::optional<long long> port;     // --port N
  std::vector<std::string> devices;  // --device PATH, in the order given
  bool trace = false;
  bool quiet = false;
  std::string reportPath;  // --report FILE; empty: none
  bool help = false;
  bool version = false;  // --version
  Command command = Command::Connect;
  std::vector<std::string> args;   // the command's arguments
  std::vector<std::uint8_t> keys;  // key: the codes, in order
};

struct ParseResult {
  std::optional<Options> options;
  std::string error;  // set when the command line is not usable
};

ParseResult parseCommandLine(const std::vector<std::string>& argv);

// The key code a command-line key names: a caption ("CH▲", "MENU"), an ASCII
// alias ("CH+", "POWER"), or a code "0x00".."0x1F".
std::optional<std::uint8_t> parseKeyName(const std::string& name);

const char* commandName(Command command);

// The short usage printed with a usage error, and the whole --help text.
const char* usageText();
std::string helpText();

}  // namespace quorvane::cli
