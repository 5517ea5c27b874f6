// The control panel and the About box.

#include "app/ui/about_dialog.h"
#include "app/ui/application.h"
#include "app/ui/control_panel_dialog.h"
#include "render_registry.h"

namespace {

template <typename Dialog>
std::unique_ptr<QWidget> makeDialog() {
  quorvane::ui::initToolkit();  // as start-up would have it
  return std::make_unique<Dialog>();
}

}  // namespace

QUORVANE_RENDER_SCENE("control_panel", makeDialog<quorvane::ui::ControlPanelDialog>);
QUORVANE_RENDER_SCENE("about", makeDialog<quorvane::ui::AboutDialog>);
