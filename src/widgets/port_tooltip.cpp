#include "widgets/port_tooltip.h"

namespace quorvane::ui {

namespace {

std::string reason(const SystemError& error) {
  switch (error.kind) {
    case ErrorKind::None:
      return {};
    case ErrorKind::NotFound:
      return "not present";
    case ErrorKind::PermissionDenied:
      return "permission denied: add the user to the dialout group";
    case ErrorKind::Busy:
      return "busy: another program has it open";
    case ErrorKind::NotATerminal:
      return "not a serial port";
    case ErrorKind::NoSuchPort:
      return "no device for this port number";
    case ErrorKind::Disconnected:
      return "disconnected";
    case ErrorKind::TimedOut:
    case ErrorKind::Other:
      break;
  }
  return "cannot be opened (" + error.message() + ")";
}

}  // namespace

QString portToolTip(const std::string& devicePath, const SystemError& openError,
                    const std::string& adapter) {
  const std::string why = reason(openError);
  std::string text = devicePath;
  if (!adapter.empty()) text += (text.empty() ? "" : "\n") + adapter;
  if (!why.empty()) text += (text.empty() ? "" : "\n") + why;
  return QString::fromStdString(text);
}

}  // namespace quorvane::ui
