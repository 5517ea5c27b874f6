// quorvane-cli: see `quorvane-cli --help` and docs/cli.md.
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
  return quorvane::cli::runCli(std::vector<std::string>(argv + 1, argv + argc));
}
