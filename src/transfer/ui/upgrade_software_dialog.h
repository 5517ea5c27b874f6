// "Upgrade Receiver Software" (template 171): writes a ROM image file into
// the receiver, one block per answer, from a 50 ms timer.
//
// initialize() loads the image, opens the port and starts the upload; when
// it returns false the failure has been reported and the dialog must not be
// shown. OK and Enter do nothing; Cancel, Close and Escape end the dialog at
// any time and send nothing to the receiver.
#pragma once

#include <QString>
#include <memory>
#include <optional>

#include "transfer/ui/block_transfer_dialog.h"
#include "transfer/upgrade_transfer.h"

class QLabel;

namespace quorvane::ui {

class UpgradeSoftwareDialog : public BlockTransferDialog {
  Q_OBJECT

 public:
  explicit UpgradeSoftwareDialog(const QString& imagePath, QWidget* parent = nullptr);
  ~UpgradeSoftwareDialog() override;

  // The open-file dialog that comes before this one: an existing image, or
  // nothing when the user cancelled.
  static std::optional<QString> chooseImage(QWidget* parent);

  // Counter "0/0 blocks", the image loaded, the port opened on
  // COM(portIndex + 1), start-upgrade sent and the timer started.
  bool initialize();
  // The timer handler (kUpgradeTimerId); tests call it directly.
  void onUpgradeTick(int timerId) { tick(timerId); }

  const UpgradeTransfer* transfer() const { return transfer_.get(); }
  const QString& imagePath() const { return imagePath_; }
  QLabel* warningText() const { return warningText_; }

  // The Cancel button becomes "Close", the warning covers the bar, all
  // repainted.
  void showUpgradeComplete() override;

 private:
  void step(int timerId) override;
  void abandonTransfer() override;

  QString imagePath_;
  std::unique_ptr<UpgradeTransfer> transfer_;
  QLabel* warningText_ = nullptr;
};

}  // namespace quorvane::ui
