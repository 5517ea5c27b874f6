// Why an operation on a device or a file failed, as the operating system
// said it: the call that failed and its error number (errno on POSIX,
// GetLastError() on Windows), sorted into the few reasons a front end tells
// apart. The serial port and the atomic file writer keep the last one they
// met (lastError()).
#pragma once

#include <string>

namespace quorvane {

enum class ErrorKind {
  None,              // no failure recorded
  NotFound,          // no such device or file (ENOENT, ERROR_FILE_NOT_FOUND, ...)
  PermissionDenied,  // this user may not open it (EACCES, ERROR_ACCESS_DENIED)
  Busy,              // held by another program (lock taken, EBUSY, sharing refused)
  NotATerminal,      // opened, but not a serial device (ENOTTY, no comm state)
  NoSuchPort,        // the port number maps to no device; no system call made
  TimedOut,          // the operation's time bound ran out; no system error
  Disconnected,      // an open device went away (unplugged, hung up); lasting
  Other,             // any other error of the system
};

struct SystemError {
  const char* call = nullptr;  // the failed call ("open", "flock", "CreateFileA"), or null
  int code = 0;                // errno / GetLastError(); 0 where the system said nothing
  ErrorKind kind = ErrorKind::None;

  // `code` of `call`, sorted into its kind by the platform's error numbers.
  static SystemError fromCode(const char* call, int code);
  // The calling thread's last error (errno / GetLastError()) for `call`.
  static SystemError fromLast(const char* call);
  // A failure of `kind` that the system did not report itself.
  static SystemError of(const char* call, ErrorKind kind) { return {call, 0, kind}; }
  // An open device that has gone, with the system's error number when it
  // gave one (0 for a hang-up seen without an error).
  static SystemError disconnected(const char* call, int code = 0) {
    return {call, code, ErrorKind::Disconnected};
  }

  bool failed() const { return kind != ErrorKind::None; }
  bool isNoSuchPort() const { return kind == ErrorKind::NoSuchPort; }
  bool isTimedOut() const { return kind == ErrorKind::TimedOut; }
  bool isDisconnected() const { return kind == ErrorKind::Disconnected; }

  // "<call>: <the system's text for code>" (strerror / FormatMessage), e.g.
  // "open: Permission denied"; "<call>: timed out", "<call>: hung up" and
  // "no device for this port number" for the failures without a system
  // error; empty when nothing failed.
  std::string message() const;
};

// The platform's part (posix/ or win32/system_error_*.cpp).
ErrorKind systemErrorKind(int code);    // the kind of an error number
int lastSystemErrorCode();              // errno / GetLastError()
std::string systemErrorText(int code);  // strerror / FormatMessage, no trailing newline

}  // namespace quorvane
