// The tooltip of a Com button: the device the port stands for and, when it
// cannot be opened, why, in plain words.
#pragma once

#include <QString>
#include <string>

#include "base/system_error.h"

namespace quorvane::ui {

// `devicePath` empty: the port number maps to no device. `openError` is the
// reason a look at the device gave (ErrorKind::None: it can be opened).
QString portToolTip(const std::string& devicePath, const SystemError& openError);

}  // namespace quorvane::ui
