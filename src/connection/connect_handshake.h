// The connect handshake: open the selected port, send one connection
// request and wait for the receiver's acknowledgement.
//
// start() when the window comes up puts the bar at 60 and starts the 200 ms
// connect timer. From its first tick on the handshake runs in steps, one
// acknowledgement poll per step() (the first step opens the port and sends
// the request, then polls): each step returns the wait before the next one,
// 10 ms between polls (200 of them, counted) and the 300 ms pause after the
// acknowledgement, until the handshake has finished. A front end with an
// event loop schedules those waits; tick() runs them all at once through the
// injected sleep, as the connect dialog's one tick does.
#pragma once

#include <optional>

#include "machine/tick_machine.h"
#include "serial/command_port.h"
#include "serial/port_target.h"

namespace quorvane {

inline constexpr int kConnectTimerMs = 200;
inline constexpr int kConnectProgressStart = 60;
inline constexpr int kConnectProgressDone = 100;
inline constexpr int kConnectSuccessPauseMs = 300;

class ConnectView : public MachineView {
 public:
  // The progress bar at `percent` (0..100), repainted at once.
  virtual void showProgress(int percent) = 0;
  // End the window: with OK when the receiver answered, else with Cancel.
  virtual void finish(bool connected) = 0;
};

class ConnectHandshake final : public TickMachine {
 public:
  ConnectHandshake(CommandPort& port, ConnectView& view, PortTarget target,
                   SleepFn sleep = sleepMilliseconds);

  // Progress at its start position and the connect timer started.
  void start() override;

  // The connect timer's tick (its id is not looked at): the whole handshake
  // at once, its waits slept through the injected sleep. Only the first
  // tick acts.
  void tick(int timerId) override;

  // One step; returns the milliseconds to wait before the next, or nothing
  // once the handshake has finished (failure shown, view finished).
  std::optional<int> step();

  // Esc before the first tick: stops the timer and finishes the view with
  // Cancel, no message. Ignored once the handshake has begun.
  void abandon() override;

 private:
  std::optional<int> openAndRequest();
  std::optional<int> pollAck();
  std::optional<int> unanswered();  // stop frame, "no answer！"
  void fail(const Notice& notice);

  CommandPort& port_;
  ConnectView& view_;
  PortTarget target_;
  SleepFn sleep_;
  AckWait ackWait_;
};

}  // namespace quorvane
