// Where a job opens its serial port: COM<number> through the port map, or a
// device path named directly (the command-line tool's --device).
#pragma once

#include <cstdint>
#include <string>

#include "serial/port_map.h"

namespace quorvane {

class SerialPort;

struct PortTarget {
  long long number = 0;    // 1-based COM number; also the number shown in
                           // "open port%d error!"
  std::string devicePath;  // when set, opened directly instead

  static PortTarget fromIndex(std::int32_t portIndex) {
    return PortTarget{portNumberFromIndex(portIndex), {}};
  }
  static PortTarget comPort(long long portNumber) { return PortTarget{portNumber, {}}; }
  static PortTarget device(std::string path) { return PortTarget{0, std::move(path)}; }
};

// Opens the target at `speed`. Any earlier device of `port` is closed first;
// false (and the port closed) when it can't be opened, including COM
// numbers that map to no device.
bool openTarget(SerialPort& port, const PortTarget& target, int speed);

}  // namespace quorvane
