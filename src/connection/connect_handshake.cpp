#include "connection/connect_handshake.h"

#include <utility>

#include "serial/protocol.h"

namespace quorvane {

ConnectHandshake::ConnectHandshake(CommandPort& port, ConnectView& view, SleepFn sleep)
    : port_(port), view_(view), sleep_(std::move(sleep)) {}

void ConnectHandshake::start() {
  if (state_ != ConnectState::Created) return;
  state_ = ConnectState::Waiting;
  view_.showProgress(kConnectProgressStart);
  view_.startTimer(kConnectTimerId, kConnectTimerMs);
}

ConnectResult ConnectHandshake::tick(const PortTarget& target) {
  if (state_ != ConnectState::Created && state_ != ConnectState::Waiting)
    return ConnectResult::None;
  // Stopped first: no second tick arrives while a message box is open.
  view_.stopTimer(kConnectTimerId);
  state_ = ConnectState::Handshaking;
  const ConnectResult result = run(target);
  result_ = result;
  state_ = ConnectState::Ended;
  view_.finish(result == ConnectResult::Connected);
  return result;
}

bool ConnectHandshake::cancel() {
  if (state_ != ConnectState::Created && state_ != ConnectState::Waiting) return false;
  view_.stopTimer(kConnectTimerId);
  result_ = ConnectResult::Cancelled;
  state_ = ConnectState::Ended;
  view_.finish(false);
  return true;
}

ConnectResult ConnectHandshake::run(const PortTarget& target) {
  if (!openTarget(port_, target, kLineSpeed)) {
    view_.showMessage(Notice::openPort(target.number));
    return ConnectResult::OpenPortError;
  }
  port_.setBinaryMode(1);  // the line works without it; result not needed
  port_.sendCommand(kCmdConnect, 0, 0, 0);
  if (!port_.waitAck(sleep_)) {  // the stop frame has gone out already
    view_.showMessage(Notice::of(MessageId::NoAnswer));
    return ConnectResult::NoAnswer;
  }
  view_.showProgress(kConnectProgressDone);
  sleep_(kConnectSuccessPauseMs);
  return ConnectResult::Connected;
}

}  // namespace quorvane
