// How the tools (the command-line tool's trace, the emulator's log) name a
// frame: its meaning, and for an IdentFrame the receiver type, for a key
// frame the key: "ident model 5 (CI 29 1)", "key 0x1D (MENU)",
// "key 0x20 (no such key)".
#pragma once

#include <string>

#include "serial/command_frame.h"

namespace quorvane {

std::string describeFrameWithNames(const FrameBytes& frame);

}  // namespace quorvane
