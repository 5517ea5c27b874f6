// What a station is set up to do, where it comes from and where it is kept:
// the slots (COM numbers or device paths), the profile (the job and its
// files, verify, backup, the log folder, the lock) and the window's size.
//
// The command line of quorvane-station and the settings file station.conf
// (in the user's configuration folder, beside ports.conf) both read into a
// StationSetup. Neither needs the toolkit, so --help and --version answer
// without a display.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/system_error.h"
#include "station/station.h"

namespace quorvane::station {

// A slot's port: COM<port> through the port map, or a device path.
struct SlotChoice {
  long long port = 0;  // 1-based COM number; 0 when `device` names it
  std::string device;

  // "COM3", or the device path.
  std::string label() const;
  bool operator==(const SlotChoice&) const = default;
};

struct StationSetup {
  std::vector<SlotChoice> slotList;
  StationJob job = StationJob::Upgrade;
  std::string image;             // upgrade: the image written into every unit
  std::string readFolder;        // read: each unit's image goes here
  bool verify = true;            // upgrade: read each unit back and compare
  std::string backupFolder;      // upgrade: each unit read into here first (empty: none)
  std::string logFolder;         // each unit's record appended here as JSON Lines (empty: none)
  bool confirmEachUnit = false;  // a slot takes its next unit once the operator says so
  int maxFailures = 3;           // failures in a row that stop a slot; 0: never
  bool locked = false;           // the profile can't be changed until unlocked
  int width = 0;                 // the window's size; 0: its own choice
  int height = 0;
  bool operator==(const StationSetup&) const = default;
};

// The command line: quorvane-station [--port N | --device PATH]...
// [upgrade IMAGE [--verify | --no-verify] [--backup DIR] | read DIR]
// [--confirm] [--max-failures N] [--log-dir DIR] [--start] [--lock]
// | --help | --version.
struct LaunchOptions {
  StationSetup setup;  // what the command line gives, over the stored set-up
  bool slotsGiven = false;
  bool jobGiven = false;
  bool start = false;
  bool help = false;
  bool version = false;
  std::string error;  // set when the command line is not understood
};

// Reads `args` (without the program's name) over `stored`: slots given
// replace the stored slots, a job given replaces the stored job.
LaunchOptions parseLaunchOptions(const std::vector<std::string>& args,
                                 const StationSetup& stored = {});

// The --help text.
std::string launchHelp();

// ---- station.conf ----

// "key=value" lines; unknown keys and broken lines are skipped, so a damaged
// file never stops the program.
std::string setupText(const StationSetup& setup);
StationSetup parseSetupText(std::string_view text);

// The settings file's path; empty when the platform names no folder.
std::string stationSettingsPath();
// The stored set-up; the defaults when the file is missing or unreadable.
StationSetup loadStationSetup();
// Writes the set-up completely or not at all, creating its folder.
bool saveStationSetup(const StationSetup& setup, SystemError& why);

}  // namespace quorvane::station
