#include <cerrno>
#include <cstring>
#include <string>

#include "base/system_error.h"

namespace quorvane {

namespace {

// strerror_r comes in two kinds: the XSI one fills the buffer and returns
// an int, the GNU one returns the text (which may not be the buffer).
[[maybe_unused]] const char* errorText(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* errorText(const char* result, const char*) {
  return result;
}

}  // namespace

ErrorKind systemErrorKind(int code) {
  switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorKind::PermissionDenied;
    case EBUSY:
    case EWOULDBLOCK:  // a lock held elsewhere (EAGAIN on Linux)
      return ErrorKind::Busy;
    case ENOTTY:
      return ErrorKind::NotATerminal;
    case ETIMEDOUT:
      return ErrorKind::TimedOut;
    default:
      return ErrorKind::Other;  // 0 too: something failed without saying why
  }
}

int lastSystemErrorCode() {
  return errno;
}

std::string systemErrorText(int code) {
  char buffer[256] = "";
  const char* text = errorText(::strerror_r(code, buffer, sizeof buffer), buffer);
  return text && *text ? std::string(text) : "error " + std::to_string(code);
}

}  // namespace quorvane
