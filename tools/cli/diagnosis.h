// The line quorvane-cli adds under a failure's own message: the device or
// file it concerns, the operating system's reason and what to do next. The
// message itself stays the program's own, byte for byte; this line only
// explains it.
#pragma once

#include <optional>
#include <string>

#include "base/notice.h"
#include "base/system_error.h"
#include "serial/command_frame.h"
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

// The port as the explanations name it: "COM3 (/dev/ttyS2)", "/dev/ttyUSB0".
std::string portSubject(const PortNaming& port);

// Why the receiver gave no answer within `waitedMs`: hardware flow control
// on the port (told with its CTS line when known), parity or stop bits
// other than 8N1's, a write that timed out,
// or else the usual causes on the receiver's side. `device` is the path
// opened, for the command that turns flow control off.
Explanation explainSilence(const PortNaming& port, const std::string& device, unsigned waitedMs,
                           const LineSettings& line, LineState clearToSend, bool writeTimedOut);

// Why an image file was refused before anything was sent: what was found
// in it against what an image must be; `openErrno` is the loader's reason
// when it could not open the file (ImageLoadResult::openErrno).
Explanation explainImageFailure(const std::string& path, MessageId id, int openErrno = 0);

// The receiver named type `receiverTag`, the image at `imagePath` is of type
// `imageTag`: both types, the blocks written (nothing, mostly; -1: none
// compared, for verify), and which image fits.
Explanation explainTypeMismatch(const std::string& subject, int receiverTag,
                                const std::string& imagePath, int imageTag,
                                long long blocksWritten = 0);

// An answer the job could not take: for an upgrade of an image of type
// `imageTag`, an acknowledgement of the other family's receivers is named
// as such; anything else is a garbled line or another device.
Explanation explainStrangeAnswer(const std::string& subject, const FrameBytes& answer,
                                 std::optional<int> imageTag);

// The pointer every reason line about a port ends with:
// "quorvane-cli doctor --port 2 checks this port and the PC".
std::string doctorStep(const PortNaming& port);

// "parity even, 2 stop bits, hardware flow control": what of `line` a
// session keeps that a receiver's 8N1 line without flow control lacks; ""
// when nothing (or unknown).
std::string lineSettingsFault(const LineSettings& line);

// `ports`: whether this user can open `device` now, its flow control and
// any parity or stop bits other than 8N1's.
std::string describeProbe(const std::string& device, const DeviceProbe& probe);

}  // namespace quorvane::cli
