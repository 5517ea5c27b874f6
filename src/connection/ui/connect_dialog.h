// Template 176: "Connect to the receiver". A static "Connecting ....." and
// a progress bar, no buttons, no system menu. Its timer's one tick runs
// the connect handshake; the dialog ends with Accepted when the receiver
// answered and Rejected otherwise (or on Esc before the tick).
#pragma once

#include <QDialog>

#include "widgets/dialog_timers.h"
#include "connection/connect_handshake.h"
#include "serial/command_port.h"

class QLabel;
class QProgressBar;

namespace quorvane::ui {

struct ConnectDialogOptions {
  SleepFn sleep = sleepMilliseconds;  // the handshake's waits
  bool runTimer = true;               // false: ticks come only from tick()
};

class ConnectDialog : public QDialog, private ConnectView {
  Q_OBJECT

 public:
  explicit ConnectDialog(QWidget* owner = nullptr, ConnectDialogOptions options = {});
  ~ConnectDialog() override;

  // The timer's tick (the timer id is not looked at): the handshake on
  // COM(portIndex + 1) as it was when the dialog was made, with the wait
  // cursor shown until it returns.
  void tick();

  // Esc: ends with Rejected before the first tick, ignored after it.
  void reject() override;

  QProgressBar* progressBar() const { return progress_; }
  QLabel* statusText() const { return text_; }
  const ConnectHandshake& handshake() const { return handshake_; }

 private:
  void startTimer(int timerId, int periodMs) override;
  void stopTimer(int timerId) override;
  void showProgress(int percent) override;
  void showMessage(const Notice& notice) override;
  void finish(bool connected) override;

  bool runTimer_;
  CommandPort port_;  // opened by the handshake, closed with the dialog
  DialogTimers timers_;
  QLabel* text_ = nullptr;
  QProgressBar* progress_ = nullptr;
  ConnectHandshake handshake_;
};

}  // namespace quorvane::ui
