#include <windows.h>

#include <string>

#include "base/system_error.h"

namespace quorvane {

int lastSystemErrorCode() {
  return static_cast<int>(::GetLastError());
}

ErrorKind systemErrorKind(int code) {
  switch (static_cast<DWORD>(code)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return ErrorKind::NotFound;
    case ERROR_ACCESS_DENIED:  // a COM port held elsewhere says so too; see the port
    case ERROR_WRITE_PROTECT:
      return ErrorKind::PermissionDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      return ErrorKind::Busy;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return ErrorKind::NotATerminal;
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
      return ErrorKind::TimedOut;
    default:
      return ErrorKind::Other;  // 0 too: something failed without saying why
  }
}

std::string systemErrorText(int code) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length && text ? std::string(text, length) : std::string();
  if (text) ::LocalFree(text);
  // The system's texts end in ".\r\n".
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.'))
    result.pop_back();
  return result.empty() ? "error " + std::to_string(code) : result;
}

}  // namespace quorvane
