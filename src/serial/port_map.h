// How a COM port number maps to a device of the platform.
//
// COM n opens, in this order of precedence:
//   1. the device the environment variable QUORVANE_COM<n> names;
//   2. the device the user's port map file names on a line "COM<n>=device"
//      (portMapPath(): $XDG_CONFIG_HOME/quorvane/ports.conf, falling back
//      to ~/.config, on POSIX; %APPDATA%\Quorvane\ports.conf on Windows),
//      which `quorvane-cli map` writes;
//   3. the platform's default: /dev/ttyS<n-1> on POSIX, COM<n> on Windows.
// Numbers below 1 map to no device. The same map serves every dialog and the
// command-line tool. A broken map file never stops anything: lines that are
// not "COM<n>=device" are ignored (and `quorvane-cli map` names them).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/system_error.h"

namespace quorvane {

// The program offers COM1 to COM4.
inline constexpr int kComPortCount = 4;

// Where a COM port's device comes from.
enum class PortSource { None, Default, MapFile, Environment };

struct PortMapping {
  std::optional<std::string> device;  // nothing for numbers below 1
  PortSource source = PortSource::None;
};

// The device path of COM<portNumber>, or nothing for numbers below 1.
std::optional<std::string> devicePathForPort(long long portNumber);
// The same with where it comes from.
PortMapping mapPort(long long portNumber);

// The name of the environment variable that overrides COM<portNumber>.
std::string portOverrideVariable(long long portNumber);

// The 1-based port number of a stored 0-based port index, computed without
// overflow for any stored value.
constexpr long long portNumberFromIndex(std::int32_t portIndex) {
  return static_cast<long long>(portIndex) + 1;
}

// ---- the map file ----

inline constexpr long long kMaxMappedPort = 255;  // COM1..COM255 may be mapped

// The number n of a name "COM<n>" with n in 1..limit, no sign or leading
// zero; nothing for any other name.
std::optional<long long> comNameNumber(std::string_view name, long long limit = kMaxMappedPort);

// A Windows device name without the device namespace's "\\.\" before it
// ("\\.\COM12" -> "COM12"); any other name as it is.
std::string_view withoutDeviceNamespace(std::string_view name);

// The map file's contents: the device of each COM number it names (a later
// line wins over an earlier one), and each line it ignored (with its
// 1-based line number, spaces around it dropped).
struct PortMapFile {
  std::map<long long, std::string> devices;
  std::vector<std::pair<int, std::string>> ignoredLines;
};

// Parses the text of a map file: "COM<n>=device" lines, n from 1 to
// kMaxMappedPort without leading zeros, the device not empty; spaces around
// the name, the '=' and the device are dropped, "\r\n" ends a line too.
// Blank lines and lines starting with '#' are comments. Anything else is
// ignored and listed.
PortMapFile parsePortMap(std::string_view text);
// The text of a map file naming `devices`, one "COM<n>=device" line each.
std::string portMapText(const std::map<long long, std::string>& devices);

// The map file's path; empty when the platform names no folder for it
// (neither XDG_CONFIG_HOME nor HOME set; no APPDATA).
std::string portMapPath();
// The map file as it is now; empty when missing or unreadable.
PortMapFile loadPortMap();
// Writes `devices` as the map file, completely or not at all, creating its
// folder. False, with `why`, on failure.
bool savePortMap(const std::map<long long, std::string>& devices, SystemError& why);

// The platform's part (posix/ and win32/port_map_*.cpp): the default device
// of COM<n> (n >= 1) and the folder of the user's configuration files.
std::string defaultDeviceForPort(long long portNumber);
std::string userConfigFolder();

}  // namespace quorvane
