// quorvane-cli: see `quorvane-cli --help` and docs/cli.md.
#include <string>
#include <vector>

#include "cli.h"
#include "cli_platform.h"

int main(int argc, char** argv) {
  quorvane::cli::prepareConsole();
  return quorvane::cli::runCli(std::vector<std::string>(argv + 1, argv + argc));
}
