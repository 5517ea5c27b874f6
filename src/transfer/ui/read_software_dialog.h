// "Read Receiver Software" (template 172): asks for the target file, then
// downloads the receiver's flash through a ReadTransfer, one block per tick
// of its 50 ms block timer, showing "%d/%d blocks" and a progress bar.
//
// Enter does nothing; Cancel and Escape end it without a word to the
// receiver. The dialog always ends with the cancel result.
#pragma once

#include <QDialog>
#include <memory>
#include <optional>

#include "app/ui/dialog_timers.h"
#include "serial/command_port.h"
#include "transfer/read_transfer.h"
#include "transfer/transfer_view.h"

class QGroupBox;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace quorvane::ui {

inline constexpr int kReadSoftwareTemplateId = 172;
inline constexpr int kReadProgressBarId = 1057;
inline constexpr int kReadBlockCounterId = 1087;

class ReadSoftwareDialog : public QDialog, private TransferView {
  Q_OBJECT

 public:
  explicit ReadSoftwareDialog(QWidget* parent = nullptr);
  ~ReadSoftwareDialog() override;

  // Runs once before the dialog is shown: the save-file dialog, the counter
  // at "0/0 blocks", then the start of the transfer. True when the transfer
  // runs; false when the dialog has already ended (file dialog cancelled,
  // port not opened).
  bool initialize();

  // One timer tick, as the dialog's timers deliver it; tests call it
  // directly. Ends the dialog once the transfer has run its Cancel command.
  void onReadTick(int timerId);

  // Cancel button, Escape: stops the timers and ends the dialog; nothing is
  // sent and nothing written.
  void reject() override;
  // Enter: nothing.
  void accept() override {}

  // The transfer, once the file has been chosen (tests, renderer).
  const ReadTransfer* transfer() const { return transfer_ ? &*transfer_ : nullptr; }
  bool timerActive(int timerId) const { return timers_.isActive(timerId); }
  // The dialog's port (tests wait on it for the line to settle).
  CommandPort& port() { return port_; }

  QProgressBar* progressBar() const { return progressBar_; }
  QLineEdit* blockCounter() const { return blockCounter_; }
  QPushButton* cancelButton() const { return cancelButton_; }

  // The bar and counter as the transfer shows them (also used by the
  // renderer to picture a transfer under way).
  void showProgress(unsigned percent, long long done, long long count) {
    showBlockProgress(percent, done, count);
  }

 private:
  // TransferView
  void startTimer(int timerId, int periodMs) override;
  void stopTimer(int timerId) override;
  void showBlockProgress(unsigned percent, long long done, long long count) override;
  void cancel() override;
  void showMessage(const Notice& notice) override;

  void end();

  CommandPort port_;
  std::optional<ReadTransfer> transfer_;
  DialogTimers timers_;
  bool inTick_ = false;
  bool endRequested_ = false;
  bool ended_ = false;

  QGroupBox* groupBox_ = nullptr;
  QLineEdit* blockCounter_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};

}  // namespace quorvane::ui
