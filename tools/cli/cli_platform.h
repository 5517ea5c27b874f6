// What quorvane-cli needs of the operating system. posix/ and win32/ each
// implement all of it; the build picks one folder.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "base/system_error.h"

namespace quorvane::cli {

// Makes the standard streams byte-exact before anything is printed: no
// line-end translation, and UTF-8 text shown as such on a console.
void prepareConsole();

// stderr shows on an interactive terminal that understands the cursor
// movements of the live progress lines.
bool stderrIsTerminal();

// The width of that terminal in columns; 0 when unknown.
int terminalColumns();

// The terminal's type as TERM names it ("dumb" draws no live lines); null
// when unset. A Windows console, which sets no TERM, answers "console".
const char* terminalType();

// While the object lives, Ctrl-C (and on POSIX a termination request) sets
// `flag` instead of ending the process. The earlier handling comes back
// when it goes. One at a time.
class InterruptCatcher {
 public:
  explicit InterruptCatcher(std::atomic<bool>& flag);
  ~InterruptCatcher();
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;
};

// Whether a serial device of this name or path is present.
bool serialDevicePresent(const std::string& device);

// A serial device present: its name or path as it is opened, and, where the
// platform tells, what it stands for ("-> /dev/ttyUSB0").
struct SerialDeviceFound {
  std::string device;
  std::string detail;
};

// The serial devices present, sorted.
std::vector<SerialDeviceFound> serialDevicesPresent();

// The next steps of the failure explanations, in the platform's terms
// (posix/ and win32/ diagnosis_*.cpp):
// how this user gets the right to open `device`;
std::string permissionStep(const std::string& device);
// how to free `device` from the program that holds it;
std::string holderStep(const std::string& device);
// the command that turns hardware flow control off on `device`;
std::string flowControlOffStep(const std::string& device);
// the command that sets `device` to no parity, one stop bit and no
// hardware flow control;
std::string plainLineStep(const std::string& device);
// whether a file could not be written because its file system is read-only;
bool readOnlyFileSystem(const SystemError& error);
// how COM n maps to a device;
std::string comMapRule();
// the setting that maps COM<comNumber> to another device.
std::string comOverrideExample(long long comNumber);

}  // namespace quorvane::cli
