// The program icon (icon resource 128).
#pragma once

#include <QIcon>

class QLabel;
class QWidget;

namespace quorvane::ui {

struct DialogControl;

QIcon appIcon();

// The icon as a dialog's icon control: a label at the control's place in
// the icon's own size, 32 by 32 pixels (the control's size is not used).
QLabel* addIconControl(QWidget* dialog, const DialogControl& control);

}  // namespace quorvane::ui
