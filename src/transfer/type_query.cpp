#include "transfer/type_query.h"

#include <string>
#include <utility>

#include "serial/protocol.h"
#include "transfer/model_check.h"

namespace quorvane {

TypeQuery::TypeQuery(CommandPort& port, MachineView& view, PortTarget target, int imageTagIndex)
    : port_(port),
      view_(view),
      imageTag_(imageTagIndex),
      read_(port, static_cast<TransferView&>(*this), std::move(target), std::string()) {
  read_.verifyAgainst(imageTag_);
  read_.setObserver([this](const MachineEvent& e) { onReadEvent(e); });
}

void TypeQuery::start() {
  if (phase() != Phase::NotStarted) return;
  enter(Phase::AwaitingAnswer);
  read_.start();
}

void TypeQuery::tick(int timerId) {
  if (phase() == Phase::Pausing) {
    if (timerId == kTypeSettleTimerId) settleTick();
    return;
  }
  if (phase() != Phase::AwaitingAnswer) return;
  read_.tick(timerId);
  if (finished() || read_.phase() != Phase::MovingBlocks) return;
  // The type fits: the read is stopped before its first block is taken.
  verdict_ = TypeVerdict::Fits;
  read_.abandon();
  send(port_, kCmdStop);
  beginSettle();
}

void TypeQuery::abandon() {
  if (finished()) return;
  finish(Outcome::Cancelled);
  read_.abandon();  // its end is no news any more
}

std::optional<AwaitedInput> TypeQuery::awaitedInput() const {
  if (phase() != Phase::AwaitingAnswer) return std::nullopt;
  return read_.awaitedInput();
}

void TypeQuery::showMessage(const Notice& notice) {
  if (notice.id == MessageId::ReadTypeAnswerTimedOut || notice.id == MessageId::ReadTypeAnswerWrong)
    return;
  view_.showMessage(notice);
}

void TypeQuery::cancel() {
  view_.stopTimer(kAnswerTimerId);
  view_.stopTimer(kBlockTimerId);
}

void TypeQuery::onReadEvent(const MachineEvent& e) {
  switch (e.kind) {
    case MachineEvent::Kind::FrameSent:
      notify(e);
      break;
    case MachineEvent::Kind::AnswerTaken:
      answer_ = e.frame;
      receiverTag_ = identifyModel(e.frame.data());
      notify(e);
      break;
    case MachineEvent::Kind::BlockMoved:
      break;
    case MachineEvent::Kind::Finished:
      readEnded();
      break;
  }
}

// The read has ended before its first block: how it ended is the verdict.
void TypeQuery::readEnded() {
  if (finished() || verdict_ == TypeVerdict::Fits) return;
  const std::optional<Notice>& failure = read_.failure();
  const auto endedWith = [&failure](MessageId id) { return failure && failure->id == id; };
  if (endedWith(MessageId::ReadTypeAnswerTimedOut) || endedWith(MessageId::ReadTypeAnswerWrong)) {
    // Its failed tick has sent the stop frame already.
    verdict_ =
        endedWith(MessageId::ReadTypeAnswerWrong) ? TypeVerdict::NoType : TypeVerdict::NoAnswer;
    return beginSettle();
  }
  if (endedWith(MessageId::ReceiverModelMismatch)) verdict_ = TypeVerdict::OtherType;
  finish(read_.outcome() == Outcome::Cancelled ? Outcome::Cancelled : Outcome::Failed, failure);
}

void TypeQuery::beginSettle() {
  enter(Phase::Pausing);
  view_.stopTimer(kAnswerTimerId);
  view_.stopTimer(kBlockTimerId);
  quietTicks_ = 0;
  settleTicks_ = 0;
  view_.startTimer(kTypeSettleTimerId, kTickMs);
}

// Drops whatever arrives until the line has been quiet for kTypeQuietTicks.
void TypeQuery::settleTick() {
  std::uint8_t sink[kBlockSize];
  unsigned got = 0;
  while (port_.bytesInQueue() > 0) {
    const unsigned n = port_.read(sink, sizeof sink);
    if (n == 0) break;
    got += n;
  }
  dropped_ += got;
  quietTicks_ = got ? 0 : quietTicks_ + 1;
  if (quietTicks_ >= kTypeQuietTicks) return finish(Outcome::Succeeded);
  if (++settleTicks_ < kTypeSettleLimitTicks) return;
  verdict_ = TypeVerdict::KeptSending;
  finish(Outcome::Failed);
}

// The read has shown its message, if any, already.
void TypeQuery::finish(Outcome outcome, const std::optional<Notice>& failure) {
  view_.stopTimer(kAnswerTimerId);
  view_.stopTimer(kBlockTimerId);
  view_.stopTimer(kTypeSettleTimerId);
  end(outcome, failure);
  announceFinished();
}

}  // namespace quorvane
