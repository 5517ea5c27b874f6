#include "transfer/read_transfer.h"

#include <new>

#include "serial/command_port.h"
#include "serial/protocol.h"
#include "transfer/model_check.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"
#include "transfer/transfer_view.h"

namespace quorvane {

ReadTransfer::ReadTransfer(CommandPort& port, TransferView& view, PortTarget target,
                           std::string targetPath)
    : port_(port), view_(view), target_(std::move(target)) {
  fields_.targetPath = std::move(targetPath);
}

bool ReadTransfer::startRead() {
  if (phase_ != ReadPhase::NotStarted) return phase_ != ReadPhase::Finished;
  if (!openTarget(port_, target_, kLineSpeed)) {
    finish(ReadOutcome::Failed, Notice::openPort(target_.number));
    view_.showMessage(*failure_);
    return false;
  }
  port_.setBinaryMode(1);
  send(kStartReadFrame);
  phase_ = ReadPhase::AwaitingType;
  view_.startTimer(kAnswerTimerId, kTickMs);
  return true;
}

void ReadTransfer::onReadTick(int timerId) {
  if (timerId == kAnswerTimerId && phase_ == ReadPhase::AwaitingType) {
    answerTick();
  } else if (timerId == kBlockTimerId && phase_ == ReadPhase::Receiving) {
    blockTick();
  }
}

void ReadTransfer::answerTick() {
  if (port_.bytesInQueue() < kFrameSize) {
    fields_.answerWaitMs += kWaitStepMs;
    if (fields_.answerWaitMs >= kWaitLimitMs) failInTick(Notice::of(MessageId::NoAnswer2));
    return;
  }

  view_.stopTimer(kAnswerTimerId);
  // Only the first 12 bytes are the answer; anything after them stays
  // queued and is the start of block 0.
  FrameBytes answer{};
  port_.read(answer.data(), static_cast<unsigned>(answer.size()));
  notify({ReadEvent::Kind::AnswerTaken, answer, 0});

  const std::optional<int> index = identifyModel(answer.data());
  if (!index) {
    failInTick(Notice::of(MessageId::NoAnswer1));
    return;
  }
  fields_.tagIndex = *index;
  if (expectedTagIndex_ && *index != *expectedTagIndex_) {
    failInTick(mismatchNotice(*expectedTagIndex_, *index));
    return;
  }
  fields_.blockCount = blockCountOfIndex(*index);

  try {
    fields_.flashData.resize(std::size_t{fields_.blockCount} * kBlockSize);
  } catch (const std::bad_alloc&) {
    fields_.flashData = {};
    failInTick(Notice::of(MessageId::AllocMemoryError));
    return;
  }
  phase_ = ReadPhase::Receiving;
  view_.startTimer(kBlockTimerId, kTickMs);
}

void ReadTransfer::blockTick() {
  if (port_.bytesInQueue() < kBlockSize) {
    fields_.blockWaitMs += kWaitStepMs;
    if (fields_.blockWaitMs >= kWaitLimitMs) failInTick(Notice::of(MessageId::NoAnswer));
    return;
  }

  // Exactly one block; bytes beyond it stay queued for a later tick. The
  // whole block is waiting, so one read normally takes it; should the port
  // hand over less, the rest is asked for at once rather than leaving a
  // hole in the image.
  std::uint8_t* const dest =
      fields_.flashData.data() + std::size_t{fields_.blocksReceived} * kBlockSize;
  unsigned got = 0;
  while (got < kBlockSize) {
    const unsigned n = port_.read(dest + got, static_cast<unsigned>(kBlockSize) - got);
    if (n == 0) break;
    got += n;
  }
  if (got < kBlockSize) {
    failInTick(Notice::of(MessageId::NoAnswer));
    return;
  }
  notify({ReadEvent::Kind::BlockTaken, {}, fields_.blocksReceived});

  send(identFrameOfIndex(fields_.tagIndex));
  ++fields_.blocksReceived;
  showBlockProgress(fields_.blocksReceived);
  if (fields_.blocksReceived < fields_.blockCount) {
    fields_.blockWaitMs = 0;
    return;
  }

  send(kReadCompleteFrame);
  // No tick may run while a message of the writer is on screen.
  view_.stopTimer(kBlockTimerId);
  if (expectedTagIndex_) {  // verifying: the flash stays in memory
    finish(ReadOutcome::Succeeded, std::nullopt);
    view_.cancel();
    return;
  }
  std::optional<Notice> written = writeImage(fields_.targetPath, fields_.tagIndex,
                                             fields_.blockCount, fields_.flashData.data());
  if (written) {
    finish(ReadOutcome::Failed, std::move(written));
    view_.showMessage(*failure_);
  } else {
    finish(ReadOutcome::Succeeded, std::nullopt);
  }
  view_.cancel();
}

void ReadTransfer::showBlockProgress(unsigned n) {
  view_.showBlockProgress(progressPercent(n, fields_.blockCount), n, fields_.blockCount);
}

void ReadTransfer::abandon() {
  if (phase_ == ReadPhase::Finished) return;
  finish(ReadOutcome::Cancelled, std::nullopt);
}

void ReadTransfer::send(const FrameBytes& frame) {
  port_.sendFrame(frame);
  notify({ReadEvent::Kind::FrameSent, frame, 0});
}

void ReadTransfer::failInTick(const Notice& notice) {
  send(kStopFrame);
  finish(ReadOutcome::Failed, notice);
  view_.cancel();
  view_.showMessage(notice);
}

void ReadTransfer::finish(ReadOutcome outcome, std::optional<Notice> failure) {
  phase_ = ReadPhase::Finished;
  outcome_ = outcome;
  failure_ = std::move(failure);
}

void ReadTransfer::notify(const ReadEvent& event) {
  if (observer_) observer_(event);
}

}  // namespace quorvane
