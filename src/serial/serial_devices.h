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

// One entry of the serial device map, where every serial driver registers
// its ports on Windows (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM): the kernel
// device ("\Device\Serial0") and the port name it registered ("COM1").
struct SerialMapEntry {
  std::string kernelDevice;
  std::string port;
};

// The serial device map's entries; POSIX keeps no such map (empty there).
std::vector<SerialMapEntry> serialDeviceMap();

}  // namespace quorvane
