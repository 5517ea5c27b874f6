#include "base/system_error.h"

namespace quorvane {

SystemError SystemError::fromCode(const char* call, int code) {
  return {call, code, systemErrorKind(code)};
}

SystemError SystemError::fromLast(const char* call) {
  return fromCode(call, lastSystemErrorCode());
}

std::string SystemError::message() const {
  switch (kind) {
    case ErrorKind::None:
      return {};
    case ErrorKind::NoSuchPort:
      return "no device for this port number";
    case ErrorKind::TimedOut:
      return std::string(call ? call : "operation") + ": timed out";
    case ErrorKind::Disconnected:
      if (code == 0) return std::string(call ? call : "device") + ": hung up";
      break;
    default:
      break;
  }
  std::string text = call ? std::string(call) + ": " : std::string();
  return text + (code != 0 ? systemErrorText(code) : std::string("failed"));
}

}  // namespace quorvane
