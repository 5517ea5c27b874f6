// Downloading a receiver's whole flash into a ROM image file.
//
// The exchange: the PC sends the start-read frame; the receiver answers with
// its IdentFrame and at once sends block 0; after every 4096-byte block the
// PC sends the receiver's own IdentFrame back as the acknowledgement, upon
// which the next block comes; after the acknowledgement of the last block
// the PC sends read complete and writes the image file.
//
// Driven by two timers of the front end (both kTickMs): the answer timer
// waits for the 12-byte IdentFrame, the block timer takes at most one block
// per tick. Each wait is a CountedWait. A failure inside a tick sends the
// stop frame, then runs the view's Cancel command, then shows the message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/system_error.h"
#include "machine/tick_machine.h"
#include "transfer/transfer_machine.h"

namespace quorvane {

// The transfer's record, readable by its front ends.
struct ReadTransferState {
  std::int32_t tagIndex = 0;            // the receiver's type: ModelNumber - 1
  std::uint32_t blockCount = 0;         // 256 or 512 once the type is known
  std::uint32_t blocksReceived = 0;     // blocks stored; the next block's index
  CountedWait answerWait;               // for the IdentFrame
  CountedWait blockWait;                // for the current block
  std::vector<std::uint8_t> flashData;  // blockCount * 4096; block k at 4096 * k
  std::string targetPath;               // where the image goes
};

class ReadTransfer final : public TransferMachine {
 public:
  ReadTransfer(CommandPort& port, TransferView& view, PortTarget target, std::string targetPath);

  // The counter at "0/0 blocks"; opens the port, sends the start-read frame
  // and starts the answer timer. When the port can't be opened: "open
  // port%d error!", then the Cancel command.
  void start() override;

  // One step per timer tick: kAnswerTimerId or kBlockTimerId. Other ids,
  // and every tick once the transfer has finished, are ignored.
  void tick(int timerId) override;

  // The 12-byte type answer (answer timer), then the current block (block
  // timer).
  std::optional<AwaitedInput> awaitedInput() const override;

  // Verification against an image of type `imageTagIndex`: the flash stays
  // in fields().flashData and no file is written. A receiver that names
  // another type ends the transfer at its type answer, in the order of every
  // failed tick: stop frame, Cancel command, then the mismatch message (the
  // image's model first, the receiver's second). Call before start().
  void verifyAgainst(int imageTagIndex) { expectedTagIndex_ = imageTagIndex; }

  const ReadTransferState& fields() const { return fields_; }
  // Why the image file could not be written (after its message), as the
  // system said it.
  const SystemError& writeError() const { return writeError_; }

 private:
  void takeAnswer();
  void takeBlock();
  bool readBlock(std::uint8_t* dest);
  void complete();

  ReadTransferState fields_;
  SystemError writeError_;
  std::optional<int> expectedTagIndex_;  // set: verify, write no file
};

}  // namespace quorvane
