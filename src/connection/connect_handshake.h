// The connect handshake: open the selected port, send one connection
// request and wait for the receiver's acknowledgement.
//
// The machine is driven from outside: start() when its window comes up, one
// tick() from the timer it asked for, cancel() for Esc before that tick. It
// talks to its front end only through ConnectView; the waits (the
// acknowledgement polls and the pause after success) go through the injected
// sleep, so a test can count them instead of sleeping.
#pragma once

#include "base/notice.h"
#include "serial/command_port.h"
#include "serial/port_target.h"

namespace quorvane {

// The connect dialog's one timer tick runs the whole handshake.
inline constexpr int kConnectTimerId = 1;
inline constexpr int kConnectTimerMs = 200;
inline constexpr int kConnectProgressStart = 60;
inline constexpr int kConnectProgressDone = 100;
inline constexpr int kConnectSuccessPauseMs = 300;

class ConnectView {
 public:
  virtual ~ConnectView() = default;
  // Start or stop the window timer `timerId` with period `periodMs`.
  virtual void startTimer(int timerId, int periodMs) = 0;
  virtual void stopTimer(int timerId) = 0;
  // The progress bar at `percent` (0..100), repainted at once.
  virtual void showProgress(int percent) = 0;
  // A modal message with an OK button; returns once the user has closed it.
  virtual void showMessage(const Notice& notice) = 0;
  // End the window: with OK when the receiver answered, else with Cancel.
  virtual void finish(bool connected) = 0;
};

enum class ConnectState {
  Created,      // start() not called yet
  Waiting,      // timer running, no handshake yet
  Handshaking,  // inside tick()
  Ended,        // result() tells how
};

enum class ConnectResult {
  None,           // not ended yet
  Connected,      // acknowledged
  OpenPortError,  // the port could not be opened; nothing was sent
  NoAnswer,       // no or wrong answer; the stop frame was sent
  Cancelled,      // ended before the first tick; nothing was opened
};

class ConnectHandshake {
 public:
  ConnectHandshake(CommandPort& port, ConnectView& view, SleepFn sleep = sleepMilliseconds);

  // Progress to its start position and the connect timer started.
  void start();

  // The timer tick: stops the timer and runs the whole handshake on `target`
  // once, showing its failure message, then finishes the view. A tick after
  // the handshake has run (or been cancelled) does nothing and returns
  // None; otherwise returns the result.
  ConnectResult tick(const PortTarget& target);

  // Esc before the first tick: stops the timer and finishes the view with
  // Cancel, no message. True if it did so; false once the handshake has
  // begun or ended.
  bool cancel();

  ConnectState state() const { return state_; }
  ConnectResult result() const { return result_; }

 private:
  ConnectResult run(const PortTarget& target);

  CommandPort& port_;
  ConnectView& view_;
  SleepFn sleep_;
  ConnectState state_ = ConnectState::Created;
  ConnectResult result_ = ConnectResult::None;
};

}  // namespace quorvane
