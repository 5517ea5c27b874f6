// What a timer-driven transfer (read or upgrade) needs of its front end.
// A Qt dialog implements it with QTimers, a progress bar, a counter and
// message boxes; the command-line tool with its event loop and stderr; a test
// with a recorder. The state machine never sleeps and never owns a timer: the
// front end calls its tick when a timer it started fires.
#pragma once

#include "machine/tick_machine.h"
#include "transfer/transfer_timing.h"

namespace quorvane {

class TransferView : public MachineView {
 public:
  // The progress bar at `percent` (0..100) and the counter "%d/%d blocks"
  // with `done` and `count`, both repainted at once.
  virtual void showBlockProgress(unsigned percent, long long done, long long count) = 0;

  // The Cancel command: stop every timer of the transfer and end the
  // dialog with the cancel result. The dialog stays on screen until the
  // current tick returns, so a message shown after this still has it as its
  // owner.
  virtual void cancel() = 0;

  // Upgrade only: the upload is complete. Rename button 2 to "Close", show
  // the warning text, and repaint the whole dialog.
  virtual void showUpgradeComplete() {}
};

// The bar position for `done` of `count` blocks: unsigned integer division.
constexpr unsigned progressPercent(unsigned done, unsigned count) {
  return count == 0 ? 0u : done * kProgressMax / count;
}

}  // namespace quorvane
