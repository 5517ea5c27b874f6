// The Read Receiver Software dialog as the file has been chosen, mid-download
// and with the last block in.
#include "render_registry.h"
#include "transfer/transfer_view.h"
#include "transfer/ui/read_software_dialog.h"

namespace {

std::unique_ptr<QWidget> readAt(unsigned done, unsigned count) {
  auto dialog = std::make_unique<quorvane::ui::ReadSoftwareDialog>();
  dialog->showProgress(quorvane::progressPercent(done, count), done, count);
  return dialog;
}

}  // namespace

QUORVANE_RENDER_SCENE("read_start", [] { return readAt(0, 0); });
QUORVANE_RENDER_SCENE("read_mid", [] { return readAt(173, 512); });
QUORVANE_RENDER_SCENE("read_done", [] { return readAt(256, 256); });
