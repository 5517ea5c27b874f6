// Placeholder until the dialog is built.
#include "app/ui/panel_actions.h"

namespace quorvane::ui {

void runReadSoftware() {}

}  // namespace quorvane::ui
