// The Upgrade Receiver Software dialog mid-upload and after the last block.
#include <QString>

#include "render_registry.h"
#include "transfer/transfer_view.h"
#include "transfer/ui/upgrade_software_dialog.h"

namespace {

std::unique_ptr<QWidget> upgradeAt(long long done, long long count, bool complete) {
  auto dialog = std::make_unique<quorvane::ui::UpgradeSoftwareDialog>(QStringLiteral("rom.bin"));
  dialog->showBlockProgress(
      quorvane::progressPercent(static_cast<unsigned>(done), static_cast<unsigned>(count)), done,
      count);
  if (complete) dialog->showUpgradeComplete();
  return dialog;
}

}  // namespace

QUORVANE_RENDER_SCENE("upgrade_start", [] { return upgradeAt(0, 0, false); });
QUORVANE_RENDER_SCENE("upgrade_mid", [] { return upgradeAt(137, 256, false); });
QUORVANE_RENDER_SCENE("upgrade_complete", [] { return upgradeAt(256, 256, true); });
