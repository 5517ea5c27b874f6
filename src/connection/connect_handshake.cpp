#include "connection/connect_handshake.h"

#include <utility>

#include "serial/protocol.h"

namespace quorvane {

ConnectHandshake::ConnectHandshake(CommandPort& port, ConnectView& view, PortTarget target,
                                   SleepFn sleep)
    : port_(port), view_(view), target_(std::move(target)), sleep_(std::move(sleep)) {
  if (!sleep_) sleep_ = sleepMilliseconds;
}

void ConnectHandshake::start() {
  if (phase() != Phase::NotStarted) return;
  enter(Phase::Armed);
  view_.showProgress(kConnectProgressStart);
  view_.startTimer(kConnectTimerId, kConnectTimerMs);
}

void ConnectHandshake::tick(int) {
  if (phase() != Phase::NotStarted && phase() != Phase::Armed) return;
  for (std::optional<int> wait = step(); wait; wait = step()) sleep_(*wait);
}

std::optional<int> ConnectHandshake::step() {
  switch (phase()) {
    case Phase::NotStarted:
    case Phase::Armed:
      return openAndRequest();
    case Phase::AwaitingAnswer:
      return pollAck();
    case Phase::Pausing:
      end(Outcome::Succeeded);
      view_.finish(true);
      announceFinished();
      return std::nullopt;
    case Phase::MovingBlocks:
    case Phase::Finished:
      break;
  }
  return std::nullopt;
}

void ConnectHandshake::abandon() {
  if (phase() != Phase::NotStarted && phase() != Phase::Armed) return;
  view_.stopTimer(kConnectTimerId);
  end(Outcome::Cancelled);
  view_.finish(false);
  announceFinished();
}

std::optional<int> ConnectHandshake::openAndRequest() {
  // Stopped first: no second tick arrives while a message box is open.
  view_.stopTimer(kConnectTimerId);
  if (!openTarget(port_, target_, kLineSpeed)) {
    fail(Notice::openPort(target_.number));
    return std::nullopt;
  }
  port_.setBinaryMode(1);  // the line works without it; result not needed
  send(port_, kCmdConnect);
  enter(Phase::AwaitingAnswer);
  return pollAck();
}

std::optional<int> ConnectHandshake::pollAck() {
  FrameBytes answer{};
  const AckWait::Result result = ackWait_.poll(port_, answer);
  if (result == AckWait::Result::Pending) return kAckPollIntervalMs;
  if (result == AckWait::Result::TimedOut) return unanswered();
  const bool acknowledged = result == AckWait::Result::Acknowledged;
  notify({.kind = MachineEvent::Kind::AnswerTaken, .frame = answer, .accepted = acknowledged});
  if (!acknowledged) return unanswered();
  view_.showProgress(kConnectProgressDone);
  enter(Phase::Pausing);
  return kConnectSuccessPauseMs;
}

std::optional<int> ConnectHandshake::unanswered() {
  send(port_, kCmdStop);
  fail(Notice::of(MessageId::ConnectNotAcknowledged));
  return std::nullopt;
}

void ConnectHandshake::fail(const Notice& notice) {
  end(Outcome::Failed, notice);
  view_.showMessage(notice);
  view_.finish(false);
  announceFinished();
}

}  // namespace quorvane
