// What a program's command line is, as data its parser and every document
// about it are made from: --help, the manual page's reference sections, the
// bash completion and the reference tables of docs/*.md. A program fills a
// ToolDoc from its own option and command tables; tools/docgen writes the
// files from it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvane::tools {

// How a value or an argument is completed: "" nothing; "@file" any path;
// "@image" ROM images (*.bin); "@device" the serial devices present;
// "@keys" the remote keys' ASCII aliases; anything else the words listed.
// One argument of a command completes by one such rule; "a;b" gives the
// first argument a, the second b; a rule ending in "..." repeats.
using CompletionRule = std::string_view;

struct OptionDoc {
  std::string_view name{};     // without the leading "--"
  char shortName = 0;          // 'h' for -h; 0: none
  std::string_view value{};    // its value's name ("N", "FILE"); empty: a flag
  std::string_view command{};  // the commands it goes with ("upgrade station"); empty: any
  std::string_view group{};    // the heading it is listed under; empty: none
  std::string_view brief{};    // one line of --help (wrapped)
  std::string_view detail{};   // the manual page and the reference; empty: brief
  CompletionRule complete{};   // its value's completion
  bool argument = false;       // kept as an argument of its command (map N --clear)
};

struct CommandDoc {
  std::string_view name{};
  std::string_view synopsis{};  // "read FILE"
  std::string_view brief{};     // --help
  std::string_view detail{};    // the manual page and the reference; empty: brief
  CompletionRule complete{};    // its arguments' completion
};

// A term and what it means: an exit status, a variable, a file, a key.
struct Entry {
  std::string term;
  std::string text;
};

struct ToolDoc {
  std::string_view program{};        // "quorvane-cli"
  std::vector<std::string> usage{};  // the synopsis lines, after the program's name
  std::vector<OptionDoc> options{};  // in the order --help lists them
  std::vector<CommandDoc> commands{};
  std::vector<Entry> exitStatus{}, environment{}, files{};
  std::vector<Entry> examples{};  // what it does, then the command line
  std::vector<Entry> keys{};      // "0x1D MENU", then its aliases
};

constexpr std::size_t kHelpWidth = 79;  // --help fits 80 columns

// "  --port N        COM port ..." per option, wrapped at kHelpWidth under
// their group headings; `termWidth` is the column the texts start in.
std::string optionsHelp(const ToolDoc& doc, std::size_t termWidth);
// "  read FILE       Read Software ..." per command.
std::string commandsHelp(const ToolDoc& doc, std::size_t termWidth);
// "usage: quorvane-cli ..." lines.
std::string usageHelp(const ToolDoc& doc);
// Exit statuses as one paragraph, wrapped.
std::string exitStatusHelp(const ToolDoc& doc);

// "--port N", "--help, -h".
std::string optionTerm(const OptionDoc& o);
// Whether the option goes with `command` (any, or one it names).
bool goesWith(const OptionDoc& o, std::string_view command);
// "upgrade and station" for "upgrade station".
std::string commandsText(std::string_view commands);

// The manual page: `page` with "@PROJECT_VERSION@" replaced and every line
// ".\" @@SECTION" (synopsis, commands, options, keys, exit-status,
// environment, files, examples) replaced by that section in troff.
std::string manPage(const ToolDoc& doc, const std::string& page);
// The bash completion file of the program (function _<program>).
std::string bashCompletion(const ToolDoc& doc);
// `markdown` with the part between "<!-- BEGIN generated reference -->"
// and "<!-- END generated reference -->" replaced by the reference tables;
// "" when it has no such part.
std::string markdownPage(const ToolDoc& doc, const std::string& markdown);

}  // namespace quorvane::tools
