// quorvane-docgen: writes the documents made from a program's option and
// command tables.
//   quorvane-docgen man PROGRAM TEMPLATE OUT     the manual page
//   quorvane-docgen completion PROGRAM OUT       the bash completion
//   quorvane-docgen markdown PROGRAM FILE --check|--write
//                                                FILE's reference part: fails
//                                                when it differs, or rewrites it
// A program is a row of kPrograms.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "cli.h"
#include "cli_options.h"
#include "emulator_options.h"
#include "tool_doc.h"

namespace {

using quorvane::tools::ToolDoc;

struct Program {
  const char* name;
  ToolDoc (*doc)();
};

const Program kPrograms[] = {
    {"quorvane-cli", [] { return quorvane::cli::cliDoc(quorvane::cli::commandTable()); }},
    {"quorvane-emu", quorvane::emu::emulatorDoc},
};

bool readFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return bool(in);
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return bool(out.flush());
}

int usage() {
  std::fputs(
      "usage: quorvane-docgen man PROGRAM TEMPLATE OUT\n"
      "       quorvane-docgen completion PROGRAM OUT\n"
      "       quorvane-docgen markdown PROGRAM FILE --check|--write\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const std::string what = argv[1];
  const Program* program = nullptr;
  for (const Program& p : kPrograms)
    if (std::strcmp(p.name, argv[2]) == 0) program = &p;
  if (!program) {
    std::fprintf(stderr, "quorvane-docgen: no program %s\n", argv[2]);
    return 2;
  }
  const ToolDoc doc = program->doc();
  std::string text;
  if (what == "completion" && argc == 4)
    return writeFile(argv[3], quorvane::tools::bashCompletion(doc)) ? 0 : 1;
  if (!readFile(argv[3], text)) {
    std::fprintf(stderr, "quorvane-docgen: cannot read %s\n", argv[3]);
    return 1;
  }
  if (what == "man" && argc == 5)
    return writeFile(argv[4], quorvane::tools::manPage(doc, text)) ? 0 : 1;
  if (what != "markdown" || argc != 5) return usage();
  const std::string made = quorvane::tools::markdownPage(doc, text);
  if (made.empty()) {
    std::fprintf(stderr, "quorvane-docgen: %s has no generated reference part\n", argv[3]);
    return 1;
  }
  if (std::strcmp(argv[4], "--write") == 0) return writeFile(argv[3], made) ? 0 : 1;
  if (made == text) return 0;
  std::fprintf(stderr,
               "%s: its reference differs from %s's option and command tables; run\n"
               "  quorvane-docgen markdown %s %s --write\n",
               argv[3], argv[2], argv[2], argv[3]);
  return 1;
}
