// The command line of quorvane-emu, parsed into EmulatorOptions.
#pragma once

#include <string>
#include <vector>

#include "receiver_emulator.h"
#include "tool_doc.h"

namespace quorvane::emu {

struct CommandLine {
  // Unlike a bare EmulatorOptions, quorvane-emu names its type in its upgrade
  // answers unless --answer says otherwise, as receivers that can be asked do.
  EmulatorOptions options = [] {
    EmulatorOptions o;
    o.upgradeAnswer = UpgradeAnswer::Ident;
    return o;
  }();
  std::string flashPath;    // --flash
  std::string logPath;      // --log: a file, "-" for stderr, empty for none
  std::string controlPath;  // --control: the FIFO made there, empty for none
  bool saveMsGiven = false;
  long parentPid = 0;  // --parent-pid: exit once this process is gone
  bool modelGiven = false;
  bool help = false;
  bool version = false;  // --version
};

// The save time after an upgrade of a receiver with a boot window when
// --save-ms is not given: a receiver saves for up to 10 s; 5 s is midway,
// long enough that a tool which reads back at once fails visibly.
inline constexpr int kDefaultSaveMs = 5000;

// Parses argv[1..]; false with `error` set on an unknown option or a bad
// value. A --flash file is not read here (see loadFlashFile).
bool parseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& error);

// Reads a flash file: either the raw flash of a model (256 or 512 blocks)
// or a ROM image file (13-byte tag, then the blocks). An image's tag names
// the model when none was given; a given model must fit the file's size.
bool loadFlashFile(const std::string& path, CommandLine& cmd, std::string& error);

// The --help text, every option documented.
std::string usageText();

// Everything the documents say about the command line (tools/docgen).
tools::ToolDoc emulatorDoc();

}  // namespace quorvane::emu
