#include "transfer/ui/read_software_dialog.h"

#include <QGroupBox>
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

// Template 172, dialog units.
constexpr int kDialogWidth = 301, kDialogHeight = 65;
constexpr QRect kGroupBoxRect(6, 5, 288, 34);
constexpr QRect kCounterRect(15, 5, 57, 12);
constexpr QRect kBarRect(11, 20, 274, 11);
constexpr QRect kCancelRect(122, 44, 50, 14);

void place(QWidget* control, const QRect& r) {
  placeControl(control, r.x(), r.y(), r.width(), r.height());
}

}  // namespace

ReadSoftwareDialog::ReadSoftwareDialog(QWidget* parent)
    : QDialog(parent), timers_(this, [this](int id) { onReadTick(id); }) {
  // Caption and modal frame, no system menu and so no close box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setWindowTitle(QStringLiteral("Read Receiver Software"));
  setupDialog(this, kDialogWidth, kDialogHeight);

  groupBox_ = new QGroupBox(this);
  place(groupBox_, kGroupBoxRect);

  // Sits on the group box's top edge where a caption would be; no border of
  // its own, so "512/512 blocks" fits its 57 units.
  blockCounter_ = new QLineEdit(this);
  blockCounter_->setObjectName(QStringLiteral("blockCounter%1").arg(kReadBlockCounterId));
  blockCounter_->setReadOnly(true);
  blockCounter_->setEnabled(false);
  blockCounter_->setAlignment(Qt::AlignCenter);
  blockCounter_->setFrame(false);
  blockCounter_->setTextMargins(0, 0, 0, 0);
  place(blockCounter_, kCounterRect);
  blockCounter_->raise();

  progressBar_ = new QProgressBar(this);
  progressBar_->setObjectName(QStringLiteral("progressBar%1").arg(kReadProgressBarId));
  progressBar_->setRange(0, static_cast<int>(kProgressMax));
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);
  place(progressBar_, kBarRect);

  cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancelButton_->setObjectName(QStringLiteral("button2"));
  cancelButton_->setAutoDefault(false);
  cancelButton_->setDefault(false);
  place(cancelButton_, kCancelRect);
  connect(cancelButton_, &QPushButton::clicked, this, &ReadSoftwareDialog::reject);
}

ReadSoftwareDialog::~ReadSoftwareDialog() {
  timers_.stopAll();
}

bool ReadSoftwareDialog::initialize() {
  const FileRequest request{QStringLiteral("save as rom(*.bin) file"), QStringLiteral("rom.bin"),
                            QStringLiteral("rom image file(*.bin)")};
  const std::optional<QString> path = fileChooser().chooseSaveFile(this, request);
  if (!path) {
    end();
    return false;
  }

  transfer_.emplace(port_, static_cast<TransferView&>(*this),
                    PortTarget::fromIndex(AppConfig::instance().portIndex), path->toStdString());
  transfer_->showBlockProgress(0);  // "0/0 blocks" until the first block
  if (!transfer_->startRead()) {
    end();
    return false;
  }
  return true;
}

void ReadSoftwareDialog::onReadTick(int timerId) {
  if (ended_ || !transfer_) return;
  inTick_ = true;
  transfer_->onReadTick(timerId);
  inTick_ = false;
  // The Cancel command of a tick ends the dialog once its message (if any)
  // has been dismissed, so the message still shows over the dialog.
  if (endRequested_) end();
}

void ReadSoftwareDialog::reject() {
  if (ended_) return;
  timers_.stopAll();
  if (transfer_) transfer_->abandon();
  end();
}

void ReadSoftwareDialog::startTimer(int timerId, int periodMs) {
  timers_.start(timerId, periodMs);
}

void ReadSoftwareDialog::stopTimer(int timerId) {
  timers_.stop(timerId);
}

void ReadSoftwareDialog::showBlockProgress(unsigned percent, long long done, long long count) {
  progressBar_->setValue(static_cast<int>(percent));
  blockCounter_->setText(QString::fromStdString(blockCounterText(done, count)));
  blockCounter_->setCursorPosition(0);  // a text too wide shows its start
  progressBar_->repaint();
  blockCounter_->repaint();
}

void ReadSoftwareDialog::cancel() {
  timers_.stopAll();
  if (inTick_)
    endRequested_ = true;
  else
    end();
}

void ReadSoftwareDialog::showMessage(const Notice& notice) {
  showNotice(notice, this);
}

void ReadSoftwareDialog::end() {
  if (ended_) return;
  ended_ = true;
  timers_.stopAll();
  QDialog::reject();
}

void runReadSoftware() {
  ReadSoftwareDialog dialog;
  if (dialog.initialize()) dialog.exec();
}

}  // namespace quorvane::ui
