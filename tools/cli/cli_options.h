// The command line of quorvane-cli: the options (a table in
// cli_options.cpp) and the commands (a table in cli.cpp), parsed with
// getopt_long. Options may also follow the command and its arguments; "--"
// ends them. The same tables make --help and, through cliDoc, the manual
// page, the bash completion and docs/cli.md's reference (tools/docgen).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tool_doc.h"

namespace quorvane::cli {

class Console;
struct Options;

inline constexpr int kRebootWaitDefaultSeconds = 30;
inline constexpr int kRebootWaitLimitSeconds = 3600;

// One command: its name, the arguments it takes, what --help and the
// documents say about it, how its arguments complete and the function that
// runs it (returns the exit status).
struct CommandSpec {
  const char* name;
  int minArgs;
  int maxArgs;           // -1: any number
  bool keyArgs;          // the arguments are key names, parsed into Options::keys
  const char* synopsis;  // "read FILE"
  const char* help;      // the --help text, wrapped when printed
  int (*run)(const Options&, Console&);
  const char* detail = nullptr;  // the manual page and docs/cli.md; null: help
  const char* complete = "";     // tools::CompletionRule of the arguments
};

struct Options {
  std::optional<long long> port;     // --port N (the first one)
  std::vector<long long> ports;      // station: every --port N, in the order given
  std::vector<std::string> devices;  // --device PATH, in the order given
  bool trace = false;
  bool quiet = false;
  bool dialogTiming = false;  // --dialog-timing: one step per tick, as the dialogs
  std::string reportPath;     // --report FILE; empty: none
  bool typeQuery = true;      // upgrade: ask the receiver's type first (--no-type-query: not)
  std::string backupPath;     // upgrade --backup FILE: the flash read into FILE first
  bool verifyAfter = false;   // upgrade --verify: the flash read back and compared after
  int maxFailures = 3;        // station --max-failures N: failures in a row that stop a slot
  long long units = 0;        // station --units N: units in all slots that end it; 0: no limit
  bool confirm = false;       // station --confirm: Enter confirms each next unit
  // upgrade --verify: the wait for the receiver's loader after the upgrade
  // (--reboot-wait): it saves for up to 10 s, then reboots.
  int rebootWaitSeconds = kRebootWaitDefaultSeconds;
  bool rebootWaitGiven = false;
  bool connectAfterChecks = false;  // doctor --connect: the connection request after the checks
  bool help = false;
  bool version = false;                  // --version
  const CommandSpec* command = nullptr;  // an entry of the table parsed with
  std::vector<std::string> args;         // the command's arguments
  std::vector<std::uint8_t> keys;        // keyArgs: the codes, in order
};

struct ParseResult {
  std::optional<Options> options;
  std::string error;  // set when the command line is not usable
};

// Parses the arguments (without the program name) against `commands`.
// Uses getopt_long, so it is not reentrant.
ParseResult parseCommandLine(const std::vector<std::string>& argv,
                             std::span<const CommandSpec> commands);

// The key code a command-line key names: a caption ("CH▲", "MENU"), an ASCII
// alias ("CH+", "POWER"), or a code "0x00".."0x1F".
std::optional<std::uint8_t> parseKeyName(const std::string& name);

// The short usage printed with a usage error, and the whole --help text.
std::string usageText(std::span<const CommandSpec> commands);
std::string helpText(std::span<const CommandSpec> commands);

// Everything the documents say about the command line.
tools::ToolDoc cliDoc(std::span<const CommandSpec> commands);

}  // namespace quorvane::cli
