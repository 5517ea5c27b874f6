#include "connection/ui/connect_dialog.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>

#include "base/app_config.h"
#include "widgets/dialog_units.h"
#include "widgets/message_box.h"

namespace quorvane::ui {

namespace {

// Template 176, dialog units.
constexpr int kWidth = 180;
constexpr int kHeight = 44;
constexpr const char* kTitle = "Connect to the receiver";
constexpr DialogControl kStatusText = {
    "statusText", kNoControlId, "Connecting .....", 10, 8, 100, 8};
constexpr DialogControl kProgressBar = {"progressBar", 1057, nullptr, 10, 22, 160, 12};

// Shows the wait cursor for as long as the object lives.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

ConnectDialog::ConnectDialog(QWidget* owner, ConnectDialogOptions options)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      runTimer_(options.runTimer),
      timers_(this, [this](int) { tick(); }),
      handshake_(port_, *this, PortTarget::fromIndex(AppConfig::instance().portIndex),
                 std::move(options.sleep)) {
  setWindowTitle(QString::fromUtf8(kTitle));
  setupDialog(this, kWidth, kHeight);

  text_ = new QLabel(controlText(kStatusText), this);
  placeControl(text_, kStatusText);

  progress_ = new QProgressBar(this);
  progress_->setTextVisible(false);  // range stays at its default 0..100
  placeControl(progress_, kProgressBar);

  handshake_.start();
}

ConnectDialog::~ConnectDialog() = default;

void ConnectDialog::tick() {
  const WaitCursor busy;
  handshake_.tick(kConnectTimerId);
}

void ConnectDialog::reject() {
  handshake_.abandon();
}

void ConnectDialog::startTimer(int timerId, int periodMs) {
  if (runTimer_) timers_.start(timerId, periodMs);
}

void ConnectDialog::stopTimer(int timerId) {
  timers_.stop(timerId);
}

void ConnectDialog::showProgress(int percent) {
  progress_->setValue(percent);
  progress_->repaint();
}

void ConnectDialog::showMessage(const Notice& notice) {
  showNotice(notice, this);
}

void ConnectDialog::finish(bool connected) {
  done(connected ? Accepted : Rejected);
}

}  // namespace quorvane::ui
