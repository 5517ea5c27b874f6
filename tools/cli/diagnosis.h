// The line quorvane-cli adds under a failure's own message: the device or
// file it concerns, the operating system's reason and what to do next. The
// message itself stays the program's own, byte for byte; this line only
// explains it.
#pragma once

#include <optional>
#include <string>

#include "base/system_error.h"
#include "serial/serial_port.h"

namespace quorvane::cli {

// An explanation: what it is about ("COM3 (/dev/ttyS2)", "/dev/ttyUSB0",
// "/srv/rom.bin") and the rest of the line.
struct Explanation {
  std::string subject;
  std::string text;
  // "<subject>: <text>"
  std::string line() const { return subject + ": " + text; }
};

// A serial port as the user named it: a device path (--device), or a COM
// number and the device the map gives it.
struct PortNaming {
  std::optional<long long> comNumber;  // --port N or Quorvane.cfg
  std::string device;                  // the path opened; empty when the map gives none
};

// Why a port could not be opened. An error without a kind for a COM number
// is a number the map does not serve (COM0).
Explanation explainOpenFailure(const PortNaming& port, const SystemError& error);

// The port's device went away during the job (an adapter unplugged).
Explanation explainDisconnect(const PortNaming& port, const SystemError& error);

// Why an image file could not be created or written.
Explanation explainFileFailure(const std::string& path, const SystemError& error);

// Why the receiver may never have heard the PC: hardware flow control on the
// port (told with its CTS line when known), or a write that timed out.
// Nothing when neither is the case.
std::optional<Explanation> explainSilence(const std::string& device, LineState flowControl,
                                          LineState clearToSend, bool writeTimedOut);

// `ports`: whether this user can open `device` now, and its flow control.
std::string describeProbe(const std::string& device, const DeviceProbe& probe);

}  // namespace quorvane::cli
