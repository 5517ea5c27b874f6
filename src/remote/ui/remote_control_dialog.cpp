// Placeholder until the dialog is built.
#include "app/ui/panel_actions.h"

namespace quorvane::ui {

void runKeyboardControl(QDialog*) {}

}  // namespace quorvane::ui
