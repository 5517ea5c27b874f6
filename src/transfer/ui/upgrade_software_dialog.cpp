#include "transfer/ui/upgrade_software_dialog.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "app/app_config.h"
#include "app/ui/dialog_units.h"
#include "app/ui/file_chooser.h"
#include "app/ui/message_box.h"
#include "app/ui/panel_actions.h"
#include "serial/port_target.h"

namespace quorvane::ui {

namespace {

// Template 171, dialog units.
constexpr int kDialogWidth = 301, kDialogHeight = 65;

const QString kTitle = QStringLiteral("Upgrade Receiver Software");
const QString kCancelCaption = QStringLiteral("Cancel");
const QString kCloseCaption = QStringLiteral("Close");

const FileRequest kOpenImageRequest{QStringLiteral("open rom(*.bin) file"),
                                    QStringLiteral("rom.bin"),
                                    QStringLiteral("rom image file(*.bin)")};

}  // namespace

UpgradeSoftwareDialog::UpgradeSoftwareDialog(const QString& imagePath, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      timers_(this, [this](int id) { onUpgradeTick(id); }),
      imagePath_(imagePath) {
  setWindowTitle(kTitle);
  setupDialog(this, kDialogWidth, kDialogHeight);

  // Created in this order so that the counter lies over the group box's
  // edge and the warning, once shown, over the bar.
  auto* group = new QGroupBox(this);
  placeControl(group, 6, 5, 287, 34);

  blockCounter_ = new QLineEdit(this);
  blockCounter_->setObjectName(QStringLiteral("blockCounter1087"));
  blockCounter_->setReadOnly(true);
  blockCounter_->setEnabled(false);
  blockCounter_->setAlignment(Qt::AlignCenter);
  // A thin border, no inner margin and the platform's grey text of a
  // disabled edit box, so that "511/512 blocks" fits the template's 57 units
  // and stays legible.
  blockCounter_->setStyleSheet(
      QStringLiteral("QLineEdit { border: 1px solid palette(mid); padding: 0px;"
                     " background: palette(window); color: #6d6d6d; }"));
  blockCounter_->setTextMargins(-2, 0, -2, 0);
  placeControl(blockCounter_, 15, 5, 57, 12);

  progressBar_ = new QProgressBar(this);
  progressBar_->setObjectName(QStringLiteral("progressBar1057"));
  progressBar_->setRange(0, static_cast<int>(kProgressMax));
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);
  placeControl(progressBar_, 11, 20, 274, 11);

  warningText_ = new QLabel(QString::fromUtf8(kUpgradeCompleteWarning), this);
  warningText_->setObjectName(QStringLiteral("warningText1093"));
  warningText_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  warningText_->setAutoFillBackground(true);  // covers the bar when shown
  placeControl(warningText_, 10, 20, 282, 15);
  warningText_->hide();

  closeButton_ = new QPushButton(kCancelCaption, this);
  closeButton_->setObjectName(QStringLiteral("closeButton2"));
  closeButton_->setAutoDefault(false);
  closeButton_->setDefault(false);
  placeControl(closeButton_, 122, 44, 50, 14);
  connect(closeButton_, &QPushButton::clicked, this, &UpgradeSoftwareDialog::reject);
}

UpgradeSoftwareDialog::~UpgradeSoftwareDialog() {
  timers_.stopAll();
  transfer_.reset();
}

bool UpgradeSoftwareDialog::initialize() {
  if (transfer_) return false;  // one upload per dialog object
  transfer_ = std::make_unique<UpgradeTransfer>(
      port_, *this, PortTarget::fromIndex(AppConfig::instance().portIndex),
      imagePath_.toStdString());
  return transfer_->begin();
}

void UpgradeSoftwareDialog::onUpgradeTick(int timerId) {
  if (transfer_) transfer_->onUpgradeTick(timerId);
}

void UpgradeSoftwareDialog::startTimer(int timerId, int periodMs) {
  timers_.start(timerId, periodMs);
}

void UpgradeSoftwareDialog::stopTimer(int timerId) {
  timers_.stop(timerId);
}

void UpgradeSoftwareDialog::showBlockProgress(unsigned percent, long long done, long long count) {
  progressBar_->setValue(static_cast<int>(percent));
  blockCounter_->setText(QString::fromStdString(blockCounterText(done, count)));
  progressBar_->repaint();
  blockCounter_->repaint();
}

void UpgradeSoftwareDialog::cancel() {
  reject();
}

void UpgradeSoftwareDialog::showMessage(const Notice& notice) {
  showNotice(notice, this);
}

void UpgradeSoftwareDialog::showUpgradeComplete() {
  closeButton_->setText(kCloseCaption);
  closeButton_->repaint();
  warningText_->show();
  warningText_->raise();
  warningText_->repaint();
  update();
}

void UpgradeSoftwareDialog::accept() {}

void UpgradeSoftwareDialog::reject() {
  timers_.stopAll();
  if (transfer_) transfer_->abandon();
  QDialog::reject();
}

void runUpgradeSoftware(QWidget* panel) {
  const std::optional<QString> path = fileChooser().chooseOpenFile(panel, kOpenImageRequest);
  if (!path) return;
  UpgradeSoftwareDialog dialog(*path);
  if (!dialog.initialize()) return;
  dialog.exec();
}

}  // namespace quorvane::ui
