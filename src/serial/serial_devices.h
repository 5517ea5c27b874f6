// The serial devices present on this machine, for lists a person chooses
// from (`quorvane-cli ports`, the station window's slots).
#pragma once

#include <string>
#include <vector>

namespace quorvane {

// Whether a serial device of this name or path is present.
bool serialDevicePresent(const std::string& device);

// A serial device present: its name or path as it is opened, and, where the
// platform tells, what it stands for ("-> /dev/ttyUSB0").
struct SerialDeviceFound {
  std::string device;
  std::string detail;
};

// The serial devices present, sorted: on POSIX the ttyUSB*, ttyACM* and
// ttyS* nodes and what the links under /dev/serial/by-id lead to; on
// Windows the COM<n> names of the DOS device namespace.
std::vector<SerialDeviceFound> serialDevicesPresent();

}  // namespace quorvane
