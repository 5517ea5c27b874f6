// The frame both transfer dialogs share (templates 171 and 172, 301 x 65
// dialog units): a group box with the block counter on its top edge, the
// progress bar inside it, and the Cancel button below. It is the transfers'
// view: their timers, the bar and counter repainted at once, the Cancel
// command and the messages.
//
// A Cancel command run inside a tick ends the dialog only when the tick has
// returned, so a message shown after it still appears over the dialog, and
// the dialog disappears once the message has been dismissed. Enter does
// nothing; Cancel and Escape end the dialog at any time and send nothing.
#pragma once

#include <QDialog>
#include <QString>

#include "widgets/dialog_timers.h"
#include "widgets/file_chooser.h"
#include "serial/command_port.h"
#include "transfer/transfer_view.h"

class QLineEdit;
class QProgressBar;
class QPushButton;

namespace quorvane::ui {

// The file request both transfers make: a ROM image, proposed as "rom.bin".
FileRequest romImageRequest(const QString& title);

class BlockTransferDialog : public QDialog, public TransferView {
  Q_OBJECT

 public:
  ~BlockTransferDialog() override;

  // The dialog's port, closed when the dialog object goes (tests wait on it
  // for the line to settle).
  CommandPort& port() { return port_; }

  QProgressBar* progressBar() const { return progressBar_; }
  QLineEdit* blockCounter() const { return blockCounter_; }
  // "Cancel", or "Close" once an upgrade is complete.
  QPushButton* cancelButton() const { return cancelButton_; }

  // TransferView
  void startTimer(int timerId, int periodMs) override;
  void stopTimer(int timerId) override;
  void showBlockProgress(unsigned percent, long long done, long long count) override;
  void cancel() override;
  void showMessage(const Notice& notice) override;

 public slots:
  void accept() override {}  // Enter, OK: nothing
  void reject() override;    // the Cancel button, Escape

 protected:
  // `groupWidthDlu` is the group box's width on the template.
  BlockTransferDialog(const QString& title, int groupWidthDlu, QWidget* parent);

  // Runs one timer tick of the transfer through `step`.
  void tick(int timerId);
  virtual void step(int timerId) = 0;
  // The user ended the dialog: the transfer must send nothing more.
  virtual void abandonTransfer() = 0;

  bool ended() const { return ended_; }

 private:
  void end();

  CommandPort port_;
  DialogTimers timers_;
  bool inTick_ = false;
  bool endRequested_ = false;
  bool ended_ = false;

  QLineEdit* blockCounter_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};

}  // namespace quorvane::ui
