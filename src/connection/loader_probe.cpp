#include "connection/loader_probe.h"

#include <algorithm>
#include <utility>

#include "serial/protocol.h"

namespace quorvane {

LoaderProbe::LoaderProbe(CommandPort& port, MachineView& view, PortTarget target, unsigned limitMs)
    : port_(port), view_(view), target_(std::move(target)), limitMs_(limitMs) {}

void LoaderProbe::start() {
  if (phase() != Phase::NotStarted) return;
  if (!port_.isOpen()) {
    if (!openTarget(port_, target_, kLineSpeed))
      return finish(Outcome::Failed, Notice::openPort(target_.number));
    port_.setBinaryMode(1);  // the line works without it; result not needed
  } else {
    // Bytes already waiting answer no request of this probe (an earlier
    // probe's acknowledgement from a receiver that may since have been
    // swapped): they must not count as this one's answer.
    std::uint8_t chunk[kBlockSize];
    while (port_.bytesInQueue() > 0) {
      const unsigned got = port_.read(chunk, sizeof chunk);
      if (got == 0) break;
      dropped_ += got;
    }
  }
  enter(Phase::AwaitingAnswer);
  request();
  view_.startTimer(kProbeRequestTimerId, kProbeRequestMs);
  view_.startTimer(kProbeAnswerTimerId, kTickMs);
}

void LoaderProbe::tick(int timerId) {
  if (phase() != Phase::AwaitingAnswer && phase() != Phase::Pausing) return;
  if (timerId == kProbeAnswerTimerId) {
    takenSincePeriod_ += drain();
    if (answered_) enter(Phase::Pausing);
    return;
  }
  if (timerId != kProbeRequestTimerId) return;
  const unsigned taken = takenSincePeriod_ + drain();
  takenSincePeriod_ = 0;
  if (answered_ && phase() == Phase::AwaitingAnswer) {
    // Answered in this tick: the period starting now must stay quiet.
    enter(Phase::Pausing);
    settlePeriods_ = 1;
    return;
  }
  if (phase() == Phase::Pausing) {
    // A whole period since the acknowledgement without a byte: done. (The
    // period in which an answer tick took it counts for nothing.)
    if ((settlePeriods_ > 0 && taken == 0) || ++settlePeriods_ > kProbeSettleLimitPeriods)
      finish(Outcome::Succeeded);
    return;
  }
  unansweredMs_ += kProbeRequestMs;
  if (port_.waitEndsNow() || (limitMs_ != 0 && unansweredMs_ >= limitMs_))
    return finish(Outcome::Failed, Notice::of(MessageId::LoaderNotAnswering));
  request();
}

void LoaderProbe::abandon() {
  if (finished()) return;
  view_.stopTimer(kProbeRequestTimerId);
  view_.stopTimer(kProbeAnswerTimerId);
  TickMachine::abandon();
}

std::optional<AwaitedInput> LoaderProbe::awaitedInput() const {
  if (phase() != Phase::AwaitingAnswer) return std::nullopt;
  return AwaitedInput{kProbeAnswerTimerId, static_cast<unsigned>(kFrameSize - held_.size())};
}

unsigned LoaderProbe::drain() {
  std::uint8_t chunk[kBlockSize];
  unsigned total = 0;
  while (port_.bytesInQueue() > 0) {
    const unsigned got = port_.read(chunk, sizeof chunk);
    if (got == 0) break;
    total += got;
    if (answered_) {  // settling: all of it goes
      dropped_ += got;
      continue;
    }
    held_.insert(held_.end(), chunk, chunk + got);
    // The acknowledgement anywhere in what is held; what came before it and
    // after it is dropped.
    for (std::size_t at = 0; at + kFrameSize <= held_.size(); ++at) {
      FrameBytes frame{};
      std::copy_n(held_.begin() + static_cast<long>(at), kFrameSize, frame.begin());
      if (!isAcknowledgement(frame)) continue;
      answered_ = true;
      dropped_ += held_.size() - kFrameSize;
      held_.clear();
      notify({.kind = MachineEvent::Kind::AnswerTaken, .frame = frame, .accepted = true});
      break;
    }
    if (answered_) continue;
    // Kept: the longest tail that the acknowledgement could still begin with.
    std::size_t keep = std::min(held_.size(), kFrameSize - 1);
    while (keep > 0 &&
           !std::equal(held_.end() - static_cast<long>(keep), held_.end(), kAckFrame.begin()))
      --keep;
    dropped_ += held_.size() - keep;
    held_.erase(held_.begin(), held_.end() - static_cast<long>(keep));
  }
  return total;
}

void LoaderProbe::request() {
  send(port_, kCmdConnect);
  ++requests_;
}

void LoaderProbe::finish(Outcome outcome, const std::optional<Notice>& failure) {
  view_.stopTimer(kProbeRequestTimerId);
  view_.stopTimer(kProbeAnswerTimerId);
  end(outcome, failure);
  if (failure) view_.showMessage(*failure);
  announceFinished();
}

}  // namespace quorvane
