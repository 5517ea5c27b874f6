#include "transfer/ui/upgrade_software_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/app_config.h"
#include "app/ui/dialog_units.h"
#include "app/ui/file_chooser.h"
#include "app/ui/panel_actions.h"
#include "serial/port_target.h"

namespace quorvane::ui {

namespace {

constexpr int kGroupBoxWidthDlu = 287;

const FileRequest kOpenImageRequest = romImageRequest(QStringLiteral("open rom(*.bin) file"));

}  // namespace

UpgradeSoftwareDialog::UpgradeSoftwareDialog(const QString& imagePath, QWidget* parent)
    : BlockTransferDialog(QStringLiteral("Upgrade Receiver Software"), kGroupBoxWidthDlu, parent),
      imagePath_(imagePath) {
  // Hidden until the upload is complete; then it covers the bar.
  warningText_ = new QLabel(QString::fromUtf8(kUpgradeCompleteWarning), this);
  warningText_->setObjectName(QStringLiteral("warningText%1").arg(kUpgradeWarningTextId));
  warningText_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  warningText_->setAutoFillBackground(true);
  placeControl(warningText_, 10, 20, 282, 15);
  warningText_->hide();
}

UpgradeSoftwareDialog::~UpgradeSoftwareDialog() = default;

bool UpgradeSoftwareDialog::initialize() {
  if (transfer_) return false;  // one upload per dialog object
  transfer_ = std::make_unique<UpgradeTransfer>(
      port(), *this, PortTarget::fromIndex(AppConfig::instance().portIndex),
      imagePath_.toStdString());
  return transfer_->begin();
}

void UpgradeSoftwareDialog::step(int timerId) {
  if (transfer_) transfer_->onUpgradeTick(timerId);
}

void UpgradeSoftwareDialog::abandonTransfer() {
  if (transfer_) transfer_->abandon();
}

void UpgradeSoftwareDialog::showUpgradeComplete() {
  closeButton()->setText(QStringLiteral("Close"));
  closeButton()->repaint();
  warningText_->show();
  warningText_->raise();
  warningText_->repaint();
  update();
}

void runUpgradeSoftware(QWidget* panel) {
  const std::optional<QString> path = fileChooser().chooseOpenFile(panel, kOpenImageRequest);
  if (!path) return;
  UpgradeSoftwareDialog dialog(*path);
  if (!dialog.initialize()) return;
  dialog.exec();
}

}  // namespace quorvane::ui
