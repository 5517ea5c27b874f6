#include "transfer/ui/block_transfer_dialog.h"

#include <QColor>
#include <QGroupBox>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>

#include "widgets/dialog_units.h"
#include "widgets/message_box.h"

namespace quorvane::ui {

namespace {

// Templates 171 and 172 alike, dialog units; only the group box's width
// differs (the subclass gives it).
constexpr int kWidth = 301;
constexpr int kHeight = 65;
constexpr DialogControl kProgressGroup = {"progressGroup", kNoControlId, nullptr, 6, 5, 0, 34};
constexpr DialogControl kBlockCounter = {"blockCounter", 1087, nullptr, 15, 5, 57, 12};
constexpr DialogControl kProgressBar = {"progressBar", 1057, nullptr, 11, 20, 274, 11};
constexpr DialogControl kCancelButton = {"cancelButton", kCancelId, "Cancel", 122, 44, 50, 14};

}  // namespace

FileRequest romImageRequest(const QString& title) {
  return FileRequest{title, QStringLiteral("rom.bin"), QStringLiteral("rom image file(*.bin)")};
}

BlockTransferDialog::BlockTransferDialog(const QString& title, int groupWidthDlu, QWidget* parent)
    // Caption and modal frame, no system menu and so no close box.
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      timers_(this, [this](int id) { tick(id); }) {
  setWindowTitle(title);
  setupDialog(this, kWidth, kHeight);

  // Created in this order so that the counter lies over the group box's
  // top edge, where a caption would be.
  auto* group = new QGroupBox(this);
  DialogControl groupControl = kProgressGroup;
  groupControl.width = groupWidthDlu;
  placeControl(group, groupControl);

  // Disabled, read-only, centred, without a border of its own, so that
  // "512/512 blocks" fits its 57 units.
  blockCounter_ = new QLineEdit(this);
  blockCounter_->setReadOnly(true);
  blockCounter_->setEnabled(false);
  blockCounter_->setAlignment(Qt::AlignCenter);
  blockCounter_->setFrame(false);
  blockCounter_->setTextMargins(0, 0, 0, 0);
  // The grey of a disabled edit box, dark enough to read, on the dialog's
  // background so that it interrupts the group box's edge.
  QPalette counterPalette = blockCounter_->palette();
  counterPalette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6d, 0x6d, 0x6d));
  counterPalette.setColor(QPalette::Disabled, QPalette::Base,
                          counterPalette.color(QPalette::Window));
  blockCounter_->setPalette(counterPalette);
  placeControl(blockCounter_, kBlockCounter);

  progressBar_ = new QProgressBar(this);
  progressBar_->setRange(0, static_cast<int>(kProgressMax));
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);
  placeControl(progressBar_, kProgressBar);

  cancelButton_ = new QPushButton(controlText(kCancelButton), this);
  cancelButton_->setAutoDefault(false);
  cancelButton_->setDefault(false);
  placeControl(cancelButton_, kCancelButton);
  connect(cancelButton_, &QPushButton::clicked, this, &BlockTransferDialog::reject);
}

BlockTransferDialog::~BlockTransferDialog() {
  timers_.stopAll();
}

void BlockTransferDialog::tick(int timerId) {
  if (ended_) return;
  const bool outer = !inTick_;
  inTick_ = true;
  step(timerId);
  if (!outer) return;  // a tick delivered by a message box's own loop
  inTick_ = false;
  if (endRequested_) end();
}

void BlockTransferDialog::reject() {
  if (ended_) return;
  timers_.stopAll();
  abandonTransfer();
  end();
}

void BlockTransferDialog::startTimer(int timerId, int periodMs) {
  timers_.start(timerId, periodMs);
}

void BlockTransferDialog::stopTimer(int timerId) {
  timers_.stop(timerId);
}

void BlockTransferDialog::showBlockProgress(unsigned percent, long long done, long long count) {
  progressBar_->setValue(static_cast<int>(percent));
  blockCounter_->setText(QString::fromStdString(blockCounterText(done, count)));
  blockCounter_->setCursorPosition(0);  // a text too wide shows its start
  progressBar_->repaint();
  blockCounter_->repaint();
}

void BlockTransferDialog::cancel() {
  timers_.stopAll();
  if (inTick_)
    endRequested_ = true;
  else
    end();
}

void BlockTransferDialog::showMessage(const Notice& notice) {
  showNotice(notice, this);
}

void BlockTransferDialog::end() {
  if (ended_) return;
  ended_ = true;
  timers_.stopAll();
  QDialog::reject();
}

}  // namespace quorvane::ui
