// "Upgrade Receiver Software" (template 171): writes a ROM image file into
// the receiver, one block per answer, from a 50 ms timer.
//
// initialize() loads the image, opens the port and starts the upload; when
// it returns false the failure has been reported and the dialog must not be
// shown. OK and Enter do nothing; Cancel, Close and Escape end the dialog at
// any time and send nothing to the receiver.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

#include "app/ui/dialog_timers.h"
#include "serial/command_port.h"
#include "transfer/transfer_view.h"
#include "transfer/upgrade_transfer.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace quorvane::ui {

class UpgradeSoftwareDialog : public QDialog, public TransferView {
  Q_OBJECT

 public:
  explicit UpgradeSoftwareDialog(const QString& imagePath, QWidget* parent = nullptr);
  ~UpgradeSoftwareDialog() override;

  // Counter "0/0 blocks", the image loaded, the port opened on
  // COM(portIndex + 1), start-upgrade sent and the timer started.
  bool initialize();
  // The timer handler (kUpgradeTimerId); tests call it directly.
  void onUpgradeTick(int timerId);

  const UpgradeTransfer* transfer() const { return transfer_.get(); }
  CommandPort& port() { return port_; }
  const QString& imagePath() const { return imagePath_; }

  QPushButton* closeButton() const { return closeButton_; }
  QLabel* warningText() const { return warningText_; }
  QProgressBar* progressBar() const { return progressBar_; }
  QLineEdit* blockCounter() const { return blockCounter_; }
  bool timerRunning() const { return timers_.isActive(kUpgradeTimerId); }

  // TransferView
  void startTimer(int timerId, int periodMs) override;
  void stopTimer(int timerId) override;
  void showBlockProgress(unsigned percent, long long done, long long count) override;
  void cancel() override;
  void showMessage(const Notice& notice) override;
  void showUpgradeComplete() override;

 public slots:
  void accept() override;  // OK: nothing
  void reject() override;  // Cancel / Close / Escape

 private:
  CommandPort port_;  // closed when the dialog object goes
  DialogTimers timers_;
  QString imagePath_;
  std::unique_ptr<UpgradeTransfer> transfer_;

  QPushButton* closeButton_ = nullptr;   // id 2
  QLabel* warningText_ = nullptr;        // id 1093
  QProgressBar* progressBar_ = nullptr;  // id 1057
  QLineEdit* blockCounter_ = nullptr;    // id 1087
};

}  // namespace quorvane::ui
