// The tooltip of a Com button: the device the port stands for, the adapter
// it is (a USB adapter's maker, product, ids and serial number) and, when it
// cannot be opened, why, in plain words.
#pragma once

#include <QString>
#include <string>

#include "base/system_error.h"

namespace quorvane::ui {

// `devicePath` empty: the port number maps to no device. `openError` is the
// reason a look at the device gave (ErrorKind::None: it can be opened);
// `adapter` what the device is, empty when unknown.
QString portToolTip(const std::string& devicePath, const SystemError& openError,
                    const std::string& adapter = {});

}  // namespace quorvane::ui
