#include "transfer/transfer_machine.h"

#include <algorithm>

#include "serial/protocol.h"

namespace quorvane {

bool TransferMachine::openPort() {
  if (!openTarget(port_, target_, kLineSpeed)) {
    failAtStart(Notice::openPort(target_.number));
    return false;
  }
  port_.setBinaryMode(1);
  return true;
}

void TransferMachine::failAtStart(const std::optional<Notice>& notice) {
  end(Outcome::Failed, notice);
  if (notice) view_.showMessage(*notice);
  view_.cancel();
  announceFinished();
}

void TransferMachine::failInTick(const Notice& notice, ShowMessage when) {
  // Ended first: ticks that a message box's own loop delivers do nothing.
  end(Outcome::Failed, notice);
  if (when == ShowMessage::BeforeStopFrame) view_.showMessage(notice);
  send(port_, kCmdStop);
  view_.cancel();
  if (when == ShowMessage::AfterCancel) view_.showMessage(notice);
  announceFinished();
}

void TransferMachine::showBlockProgress(long long n, long long count) {
  const auto done = static_cast<unsigned>(std::clamp<long long>(n, 0, count));
  view_.showBlockProgress(progressPercent(done, static_cast<unsigned>(count)), n, count);
}

}  // namespace quorvane
