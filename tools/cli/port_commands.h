// The commands about ports rather than receivers: `ports` (the COM map and
// the serial devices present, each named by what it is) and `map` (shows or
// changes the user's COM map file).
#pragma once

#include "cli_options.h"
#include "console.h"

namespace quorvane::cli {

inline constexpr const char* kPortsHelp =
    "the COM1..COM4 map and the serial devices present (ttyUSB*,\n"
    "ttyACM*, ttyS* and what /dev/serial/by-id leads to), each with what\n"
    "it is (a USB adapter's maker, product, ids and serial number, and its\n"
    "stable /dev/serial/by-id link), whether this user can open it now and\n"
    "its hardware flow control (each is opened for a moment, its settings\n"
    "left as they are)";

inline constexpr const char* kMapHelp =
    "which device each of COM1..COM4 opens and why (the default, the map\n"
    "file, or QUORVANE_COM<n>, which wins over the file), and the lines of\n"
    "the map file that are ignored. \"map N DEVICE\" makes COM N open\n"
    "DEVICE for every dialog and this tool (best a /dev/serial/by-id link);\n"
    "\"map N --clear\" gives COM N its default again";

int runPorts(const Options& o, Console& console);
int runMap(const Options& o, Console& console);

}  // namespace quorvane::cli
