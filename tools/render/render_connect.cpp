// The Communication Setup dialog and the connect dialog as they first
// appear.
#include <memory>

#include "base/app_config.h"
#include "connection/ui/comm_setup_dialog.h"
#include "connection/ui/connect_dialog.h"
#include "render_registry.h"

namespace {

using quorvane::AppConfig;
using quorvane::ui::CommSetupDialog;
using quorvane::ui::ConnectDialog;
using quorvane::ui::ConnectDialogOptions;

// COM2 stored: "Com 2" preselected.
QUORVANE_RENDER_SCENE("comm_setup", [] {
  auto& config = AppConfig::instance();
  const auto stored = config.portIndex;
  config.portIndex = 1;
  auto dialog = std::make_unique<CommSetupDialog>();
  config.portIndex = stored;  // other scenes see the record unchanged
  return dialog;
});

// Waiting for its tick, with the timer held so that no port is opened.
QUORVANE_RENDER_SCENE("connect", [] {
  ConnectDialogOptions options;
  options.runTimer = false;
  return std::make_unique<ConnectDialog>(nullptr, options);
});

}  // namespace
