#include "transfer/upgrade_transfer.h"

#include "serial/protocol.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace quorvane {

UpgradeTransfer::UpgradeTransfer(CommandPort& port, TransferView& view, PortTarget target,
                                 std::string imagePath)
    : TransferMachine(port, view, std::move(target)), imagePath_(std::move(imagePath)) {}

void UpgradeTransfer::start() {
  if (phase() != Phase::NotStarted) return;
  showBlockProgress(0, 0);  // "0/0 blocks" until the first block
  if (!load() || !openPort()) return;
  send(port_, kCmdStartUpgrade);  // no acknowledgement awaited here
  enter(Phase::AwaitingAnswer);
  view_.startTimer(kUpgradeTimerId, kTickMs);
}

bool UpgradeTransfer::load() {
  ImageLoadResult result = loadImage(imagePath_);
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
      return true;
    }
    result.failure = Notice::of(MessageId::ImageSizeWrong);
  }
  failAtStart(result.failure);
  return false;
}

void UpgradeTransfer::tick(int timerId) {
  if (timerId != kUpgradeTimerId || phase() != Phase::AwaitingAnswer) return;

  if (port_.bytesInQueue() < kFrameSize) {
    if (waitRunsOut(answerWait_)) failInTick(Notice::of(MessageId::UpgradeAnswerTimedOut));
    return;
  }
  const UpgradeVerdict verdict = takeAnswer();
  switch (verdict.kind) {
    case UpgradeVerdict::Kind::ModelMismatch:
      // The one failure told before the stop frame.
      return failInTick(mismatchNotice(tagIndex_, verdict.receiverIndex),
                        ShowMessage::BeforeStopFrame);
    case UpgradeVerdict::Kind::Unexpected:
      return failInTick(Notice::of(verdict.group == AckGroup::C
                                       ? MessageId::UpgradeAnswerUnexpectedGroupC
                                       : MessageId::UpgradeAnswerUnexpectedGroupF));
    case UpgradeVerdict::Kind::Accepted:
      break;
  }
  if (static_cast<std::uint32_t>(blocksSent_) < static_cast<std::uint32_t>(blockCount_)) {
    writeNextBlock();
  } else {
    complete();
  }
}

std::optional<AwaitedInput> UpgradeTransfer::awaitedInput() const {
  if (phase() != Phase::AwaitingAnswer) return std::nullopt;
  return AwaitedInput{kUpgradeTimerId, static_cast<unsigned>(kFrameSize)};
}

UpgradeVerdict UpgradeTransfer::takeAnswer() {
  // One answer; bytes beyond its twelve stay queued for the next tick.
  FrameBytes answer{};
  const unsigned got = port_.read(answer.data(), static_cast<unsigned>(kFrameSize));
  UpgradeVerdict verdict = checkUpgradeAnswer(answer.data(), tagIndex_);
  if (got != kFrameSize) {
    // The port announced a whole answer but gave less: never guess the rest.
    verdict = {.kind = UpgradeVerdict::Kind::Unexpected, .group = ackGroupOfIndex(tagIndex_)};
  }
  notify({.kind = MachineEvent::Kind::AnswerTaken,
          .frame = answer,
          .accepted = verdict.kind == UpgradeVerdict::Kind::Accepted});
  return verdict;
}

void UpgradeTransfer::writeNextBlock() {
  const std::int32_t block = blocksSent_;
  const std::uint8_t* data = imageData_.data() + kTagSize + kBlockSize * std::size_t(block);
  // The result is not looked at: the answer that follows decides.
  const unsigned written = port_.write(data, static_cast<unsigned>(kBlockSize));
  ++blocksSent_;
  notify({.kind = MachineEvent::Kind::BlockMoved,
          .block = block,
          .bytes = written,
          .blockCount = blockCount_});
  showBlockProgress(block, blockCount_);  // the index of the block just written
  answerWait_.restart();
}

void UpgradeTransfer::complete() {
  end(Outcome::Succeeded);
  showBlockProgress(blockCount_, blockCount_);
  view_.showUpgradeComplete();
  send(port_, kCmdStop);
  view_.stopTimer(kUpgradeTimerId);
  announceFinished();
}

}  // namespace quorvane
