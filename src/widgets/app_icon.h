// The program icon (icon resource 128).
#pragma once

#include <QIcon>

namespace quorvane::ui {

QIcon appIcon();

}  // namespace quorvane::ui
