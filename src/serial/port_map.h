// How a COM port number maps to a device of the platform.
//
// POSIX: COM n is /dev/ttyS<n-1> unless the environment variable
// QUORVANE_COM<n> names another device path (a USB adapter, a symlink under
// /dev/serial/by-id, the emulator's pseudo-terminal). Windows: "COM<n>"
// unless QUORVANE_COM<n> names another device ("COM7").
// Numbers below 1 map to no device. The same map serves every dialog and the
// command-line tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvane {

// The program offers COM1 to COM4.
inline constexpr int kComPortCount = 4;

// The device path of COM<portNumber>, or nothing for numbers below 1 or out
// of range. Implemented by the platform backend.
std::optional<std::string> devicePathForPort(long long portNumber);

// The name of the environment variable that overrides COM<portNumber>.
std::string portOverrideVariable(long long portNumber);

// The 1-based port number of a stored 0-based port index, computed without
// overflow for any stored value.
constexpr long long portNumberFromIndex(std::int32_t portIndex) {
  return static_cast<long long>(portIndex) + 1;
}

}  // namespace quorvane
