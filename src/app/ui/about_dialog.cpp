// Placeholder until the dialog is built.
#include "app/ui/panel_actions.h"

namespace quorvane::ui {

void runAbout() {}

}  // namespace quorvane::ui
