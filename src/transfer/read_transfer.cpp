#include "transfer/read_transfer.h"

#include <new>

#include "serial/protocol.h"
#include "transfer/model_check.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace quorvane {

ReadTransfer::ReadTransfer(CommandPort& port, TransferView& view, PortTarget target,
                           std::string targetPath)
    : TransferMachine(port, view, std::move(target)) {
  fields_.targetPath = std::move(targetPath);
}

void ReadTransfer::start() {
  if (phase() != Phase::NotStarted) return;
  showBlockProgress(0, 0);  // "0/0 blocks" until the first block
  if (!openPort()) return;
  send(port_, kCmdStartRead);
  enter(Phase::AwaitingAnswer);
  view_.startTimer(kAnswerTimerId, kTickMs);
}

void ReadTransfer::tick(int timerId) {
  if (timerId == kAnswerTimerId && phase() == Phase::AwaitingAnswer) {
    takeAnswer();
  } else if (timerId == kBlockTimerId && phase() == Phase::MovingBlocks) {
    takeBlock();
  }
}

std::optional<AwaitedInput> ReadTransfer::awaitedInput() const {
  if (phase() == Phase::AwaitingAnswer)
    return AwaitedInput{kAnswerTimerId, static_cast<unsigned>(kFrameSize)};
  if (phase() == Phase::MovingBlocks)
    return AwaitedInput{kBlockTimerId, static_cast<unsigned>(kBlockSize)};
  return std::nullopt;
}

void ReadTransfer::takeAnswer() {
  if (port_.bytesInQueue() < kFrameSize) {
    if (waitRunsOut(fields_.answerWait)) failInTick(Notice::of(MessageId::ReadTypeAnswerTimedOut));
    return;
  }

  view_.stopTimer(kAnswerTimerId);
  // Only the first 12 bytes are the answer; anything after them stays
  // queued and is the start of block 0.
  FrameBytes answer{};
  port_.read(answer.data(), static_cast<unsigned>(answer.size()));
  const std::optional<int> index = identifyModel(answer.data());
  const bool expected = index && (!expectedTagIndex_ || *index == *expectedTagIndex_);
  notify({.kind = MachineEvent::Kind::AnswerTaken, .frame = answer, .accepted = expected});
  if (!index) return failInTick(Notice::of(MessageId::ReadTypeAnswerWrong));
  fields_.tagIndex = *index;
  if (!expected) return failInTick(mismatchNotice(*expectedTagIndex_, *index));
  fields_.blockCount = blockCountOfIndex(*index);

  try {
    fields_.flashData.resize(std::size_t{fields_.blockCount} * kBlockSize);
  } catch (const std::bad_alloc&) {
    fields_.flashData = {};
    return failInTick(Notice::of(MessageId::ReadBufferUnavailable));
  }
  enter(Phase::MovingBlocks);
  view_.startTimer(kBlockTimerId, kTickMs);
}

void ReadTransfer::takeBlock() {
  if (port_.bytesInQueue() < kBlockSize) {
    if (waitRunsOut(fields_.blockWait)) failInTick(Notice::of(MessageId::ReadBlockTimedOut));
    return;
  }
  const std::uint32_t block = fields_.blocksReceived;
  if (!readBlock(fields_.flashData.data() + std::size_t{block} * kBlockSize))
    return failInTick(Notice::of(MessageId::ReadBlockTimedOut));
  notify({.kind = MachineEvent::Kind::BlockMoved,
          .block = block,
          .bytes = static_cast<unsigned>(kBlockSize),
          .blockCount = fields_.blockCount});

  send(port_, static_cast<std::uint8_t>(fields_.tagIndex + 1), kIdentParam1);  // its IdentFrame
  ++fields_.blocksReceived;
  showBlockProgress(fields_.blocksReceived, fields_.blockCount);
  if (fields_.blocksReceived < fields_.blockCount) {
    fields_.blockWait.restart();
    return;
  }
  complete();
}

bool ReadTransfer::readBlock(std::uint8_t* dest) {
  // Exactly one block; bytes beyond it stay queued for a later tick. The
  // whole block is waiting, so one read normally takes it; should the port
  // hand over less, the rest is asked for at once rather than leaving a
  // hole in the image.
  unsigned got = 0;
  while (got < kBlockSize) {
    const unsigned n = port_.read(dest + got, static_cast<unsigned>(kBlockSize) - got);
    if (n == 0) break;
    got += n;
  }
  return got == kBlockSize;
}

void ReadTransfer::complete() {
  send(port_, kCmdReadComplete);
  // No tick may run while a message of the writer is on screen.
  view_.stopTimer(kBlockTimerId);
  std::optional<Notice> failure;
  if (!expectedTagIndex_)  // verifying: the flash stays in memory
    failure = writeImage(fields_.targetPath, fields_.tagIndex, fields_.blockCount,
                         fields_.flashData.data(), &writeError_);
  end(failure ? Outcome::Failed : Outcome::Succeeded, failure);
  if (failure) view_.showMessage(*failure);
  view_.cancel();
  announceFinished();
}

}  // namespace quorvane
