// "Read Receiver Software" (template 172): asks for the target file, then
// downloads the receiver's flash through a ReadTransfer, one block per tick
// of its 50 ms block timer, showing "%d/%d blocks" and a progress bar.
//
// Enter does nothing; Cancel and Escape end it without a word to the
// receiver. The dialog always ends with the cancel result.
#pragma once

#include <optional>

#include "transfer/read_transfer.h"
#include "transfer/ui/block_transfer_dialog.h"

namespace quorvane::ui {

class ReadSoftwareDialog : public BlockTransferDialog {
  Q_OBJECT

 public:
  explicit ReadSoftwareDialog(QWidget* parent = nullptr);

  // The save-file dialog, then the transfer started: true while it
  // runs; false when the dialog has already ended (file dialog cancelled,
  // port not opened).
  bool initialize();

  // One timer tick, as the dialog's timers deliver it; tests call it
  // directly instead of waiting for the real 50 ms timers.
  void onReadTick(int timerId) { tick(timerId); }

  const ReadTransfer* transfer() const { return transfer_ ? &*transfer_ : nullptr; }

  // The bar and counter as the transfer shows them (also used by the
  // renderer to picture a transfer under way).
  void showProgress(unsigned percent, long long done, long long count) {
    showBlockProgress(percent, done, count);
  }

 private:
  void step(int timerId) override;
  void abandonTransfer() override;

  std::optional<ReadTransfer> transfer_;
};

}  // namespace quorvane::ui
