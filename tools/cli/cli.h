// quorvane-cli as a function: runs one command line and returns the exit
// status (0 every job succeeded, 1 a job failed, 2 usage error).
#pragma once

#include <span>
#include <string>
#include <vector>

#include "cli_options.h"

namespace quorvane::cli {

int runCli(const std::vector<std::string>& args);

// Every command of the tool, with the function that runs it.
std::span<const CommandSpec> commandTable();

// The file each receiver's `read` writes: FILE with "{n}" (1-based) and
// "{device}" (the device's file name) replaced; with several receivers and
// neither in FILE, "-<device>" goes before the extension.
std::string readTargetPath(const std::string& file, std::size_t n, const std::string& device,
                           bool several);

}  // namespace quorvane::cli
