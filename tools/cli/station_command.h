// quorvane-cli station upgrade IMAGE | station read DIR: one job on
// receiver after receiver, each --device or --port a slot (station/).
#pragma once

namespace quorvane::cli {

class Console;
struct Options;

// Runs the station until --units are served, every slot has stopped, or
// Ctrl-C; the exit status.
int runStation(const Options& o, Console& console);

// What `quorvane-cli --help` says about the command.
inline constexpr const char* kStationHelp =
    "JOB is \"upgrade IMAGE\" (with --verify, --backup DIR and the type question "
    "as upgrade has them) or \"read DIR\" (each unit into DIR/unit-NNNN.bin, never over a "
    "file there). Every --device and --port is a slot: it asks for a receiver's loader with "
    "the connection request every 100 ms, runs the job the moment one answers, prints one "
    "line per unit (slot, unit, passed or failed, blocks, time, the reason under a failure) "
    "and then waits for the next receiver. A slot takes a new receiver only after the last "
    "one has not answered for 15 s without a break: switch a done receiver off or unplug it, "
    "wait, then connect the next (or use --confirm). A failing unit ends only its own job. "
    "Ends after --units, when every slot has stopped (--max-failures), or with Ctrl-C; then "
    "a summary per slot and in total. Exit status 0 when every unit passed";

}  // namespace quorvane::cli
