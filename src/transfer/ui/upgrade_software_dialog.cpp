#include "transfer/ui/upgrade_software_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "base/app_config.h"
#include "widgets/dialog_units.h"
#include "widgets/file_chooser.h"
#include "serial/port_target.h"

namespace quorvane::ui {

namespace {

// Template 171, dialog units (the rest as BlockTransferDialog lays it out).
constexpr int kGroupBoxWidthDlu = 287;
constexpr const char* kTitle = "Upgrade Receiver Software";
// The completion warning (its text is the transfer's), over the bar.
constexpr DialogControl kWarningText = {"warningText", 1093, nullptr, 10, 20, 282, 15};
constexpr const char* kCloseText = "Close";

const FileRequest kOpenImageRequest = romImageRequest(QStringLiteral("open rom(*.bin) file"));

}  // namespace

UpgradeSoftwareDialog::UpgradeSoftwareDialog(const QString& imagePath, QWidget* parent)
    : BlockTransferDialog(QString::fromUtf8(kTitle), kGroupBoxWidthDlu, parent),
      imagePath_(imagePath) {
  // Hidden until the upload is complete; then it covers the bar.
  warningText_ = new QLabel(QString::fromUtf8(kUpgradeCompleteWarning), this);
  warningText_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  warningText_->setAutoFillBackground(true);
  placeControl(warningText_, kWarningText);
  warningText_->hide();
}

UpgradeSoftwareDialog::~UpgradeSoftwareDialog() = default;

std::optional<QString> UpgradeSoftwareDialog::chooseImage(QWidget* parent) {
  return fileChooser().chooseOpenFile(parent, kOpenImageRequest);
}

bool UpgradeSoftwareDialog::initialize() {
  if (transfer_) return false;  // one upload per dialog object
  transfer_ = std::make_unique<UpgradeTransfer>(
      port(), *this, PortTarget::fromIndex(AppConfig::instance().portIndex),
      imagePath_.toStdString());
  transfer_->start();  // on failure it has run the Cancel command
  return !transfer_->finished();
}

void UpgradeSoftwareDialog::step(int timerId) {
  if (transfer_) transfer_->tick(timerId);
}

void UpgradeSoftwareDialog::abandonTransfer() {
  if (transfer_) transfer_->abandon();
}

void UpgradeSoftwareDialog::showUpgradeComplete() {
  cancelButton()->setText(QString::fromUtf8(kCloseText));
  cancelButton()->repaint();
  warningText_->show();
  warningText_->raise();
  warningText_->repaint();
  update();
}

}  // namespace quorvane::ui
