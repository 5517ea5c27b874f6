// The remote control: its initial look with no port selected, and with
// "Com 2" chosen (as after a click that found no COM2).
#include <QRadioButton>
#include <memory>

#include "base/app_config.h"
#include "remote/ui/remote_control_dialog.h"
#include "render_registry.h"

namespace {

std::unique_ptr<QWidget> makeRemote(int checkedCom) {
  // No stored port: nothing is opened, so no message box comes up.
  auto& config = quorvane::AppConfig::instance();
  const auto stored = config.portIndex;
  config.portIndex = -1;
  auto dialog = std::make_unique<quorvane::ui::RemoteControlDialog>();
  config.portIndex = stored;  // other scenes see the record unchanged
  if (checkedCom >= 0) dialog->comButton(checkedCom)->setChecked(true);
  return dialog;
}

}  // namespace

QUORVANE_RENDER_SCENE("remote_control", [] { return makeRemote(-1); });
QUORVANE_RENDER_SCENE("remote_control_com2", [] { return makeRemote(1); });
