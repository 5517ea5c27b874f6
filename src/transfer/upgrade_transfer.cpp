#include "transfer/upgrade_transfer.h"

#include <algorithm>

#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace quorvane {

UpgradeTransfer::UpgradeTransfer(CommandPort& port, TransferView& view, PortTarget target,
                                 std::string imagePath)
    : port_(port), view_(view), target_(std::move(target)), imagePath_(std::move(imagePath)) {}

bool UpgradeTransfer::finished() const {
  return state_ != UpgradeState::Idle && state_ != UpgradeState::Loaded &&
         state_ != UpgradeState::Running;
}

bool UpgradeTransfer::begin() {
  showBlockProgress(0);
  if (load() && startUpgrade()) return true;
  view_.cancel();
  return false;
}

bool UpgradeTransfer::load() {
  ImageLoadResult result = quorvane::loadImage(imagePath_);
  if (result.ok()) {
    LoadedImage& image = *result.image;
    const bool known = image.tagIndex >= 0 && image.tagIndex < kRomTypeCount &&
                       image.blockCount == romType(image.tagIndex).blockCount;
    // The loader refuses a file whose size does not fit its tag; checked
    // here again because every block is sent straight from this buffer.
    const bool fits = image.data.size() >= kTagSize + std::size_t{image.blockCount} * kBlockSize;
    if (known && fits) {
      tagIndex_ = image.tagIndex;
      blockCount_ = static_cast<std::int32_t>(image.blockCount);
      imageData_ = std::move(image.data);
      state_ = UpgradeState::Loaded;
      return true;
    }
    result.failure = Notice::of(MessageId::FileSizeError);
  }
  finish(UpgradeState::LoadFailed);
  if (result.failure) showFailure(*result.failure);
  emitFinished();
  return false;
}

int UpgradeTransfer::startUpgrade() {
  if (state_ != UpgradeState::Loaded) return 0;
  if (!openTarget(port_, target_, kLineSpeed)) {
    finish(UpgradeState::OpenPortFailed);
    showFailure(Notice::openPort(target_.number));
    emitFinished();
    return 0;
  }
  port_.setBinaryMode(1);
  sendFrame(kStartUpgradeFrame);  // no acknowledgement awaited here
  state_ = UpgradeState::Running;
  view_.startTimer(kUpgradeTimerId, kTickMs);
  return 1;
}

void UpgradeTransfer::onUpgradeTick(int timerId) {
  if (timerId != kUpgradeTimerId || state_ != UpgradeState::Running) return;

  if (port_.bytesInQueue() < kFrameSize) {
    waitMs_ += kWaitStepMs;
    if (waitMs_ >= kWaitLimitMs) fail(UpgradeState::TimedOut, Notice::of(MessageId::NoAnswer1));
    return;
  }

  // One answer; bytes beyond its twelve stay queued for the next tick.
  FrameBytes answer{};
  const unsigned got = port_.read(answer.data(), static_cast<unsigned>(kFrameSize));
  UpgradeVerdict verdict = checkUpgradeAnswer(answer.data(), tagIndex_);
  if (got != kFrameSize) {
    // The port announced a whole answer but gave less: never guess the rest.
    verdict = UpgradeVerdict{};
    verdict.kind = UpgradeVerdict::Kind::Unexpected;
    verdict.group = ackGroupOfIndex(tagIndex_);
  }
  notify({.kind = UpgradeEvent::Kind::AnswerReceived, .frame = answer, .verdict = verdict});

  switch (verdict.kind) {
    case UpgradeVerdict::Kind::ModelMismatch:
      // From here on no tick acts, so ticks delivered while the message is
      // open neither write into the wrong receiver nor stack a message.
      finish(UpgradeState::ModelMismatch);
      failure_ = mismatchNotice(tagIndex_, verdict.receiverIndex);
      reportModelMismatch(view_, tagIndex_, verdict.receiverIndex);
      sendFrame(kStopFrame);
      view_.cancel();
      emitFinished();
      return;
    case UpgradeVerdict::Kind::Unexpected:
      fail(UpgradeState::UnexpectedAnswer,
           Notice::of(verdict.group == AckGroup::C ? MessageId::NoAnswerC : MessageId::NoAnswerF));
      return;
    case UpgradeVerdict::Kind::Accepted:
      break;
  }

  if (static_cast<std::uint32_t>(blocksSent_) < static_cast<std::uint32_t>(blockCount_)) {
    writeNextBlock();
  } else {
    complete();
  }
}

void UpgradeTransfer::writeNextBlock() {
  const long long block = blocksSent_;
  const std::uint8_t* data = imageData_.data() + kTagSize + kBlockSize * std::size_t(block);
  // The result is not looked at: the answer that follows decides.
  const unsigned written = port_.write(data, static_cast<unsigned>(kBlockSize));
  ++blocksSent_;
  notify({.kind = UpgradeEvent::Kind::BlockSent, .block = block, .written = written});
  showBlockProgress(block);
  waitMs_ = 0;
}

void UpgradeTransfer::complete() {
  finish(UpgradeState::Succeeded);
  showBlockProgress(blockCount_);
  view_.showUpgradeComplete();
  sendFrame(kStopFrame);
  view_.stopTimer(kUpgradeTimerId);
  emitFinished();
}

void UpgradeTransfer::showBlockProgress(long long n) {
  const unsigned count = static_cast<unsigned>(blockCount_);
  const unsigned done = static_cast<unsigned>(std::clamp<long long>(n, 0, count));
  view_.showBlockProgress(progressPercent(done, count), n, blockCount_);
}

void UpgradeTransfer::abandon() {
  if (finished()) return;
  finish(UpgradeState::Cancelled);
  emitFinished();
}

void UpgradeTransfer::sendFrame(const FrameBytes& frame) {
  port_.sendFrame(frame);
  notify({.kind = UpgradeEvent::Kind::FrameSent, .frame = frame});
}

void UpgradeTransfer::finish(UpgradeState state) {
  state_ = state;
}

void UpgradeTransfer::emitFinished() {
  notify({.kind = UpgradeEvent::Kind::Finished, .state = state_});
}

void UpgradeTransfer::fail(UpgradeState state, const Notice& notice) {
  finish(state);
  sendFrame(kStopFrame);
  view_.cancel();
  showFailure(notice);
  emitFinished();
}

void UpgradeTransfer::showFailure(const Notice& notice) {
  failure_ = notice;
  view_.showMessage(notice);
}

}  // namespace quorvane
