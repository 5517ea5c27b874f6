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
// per tick. Each wait counts kWaitStepMs per tick without the awaited bytes
// and gives up at kWaitLimitMs. A failure inside a tick sends the stop
// frame, then runs the view's Cancel command, then shows the message.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/notice.h"
#include "serial/command_frame.h"
#include "serial/port_target.h"

namespace quorvane {

class CommandPort;
class TransferView;

// The transfer's record, readable by its front ends.
struct ReadFields {
  std::int32_t tagIndex = 0;            // the receiver's type: ModelNumber - 1
  std::uint32_t blockCount = 0;         // 256 or 512 once the type is known
  std::uint32_t blocksReceived = 0;     // blocks stored; the next block's index
  std::uint32_t answerWaitMs = 0;       // counted wait for the IdentFrame
  std::uint32_t blockWaitMs = 0;        // counted wait for the current block
  std::vector<std::uint8_t> flashData;  // blockCount * 4096; block k at 4096 * k
  std::string targetPath;               // where the image goes
};

enum class ReadPhase {
  NotStarted,    // constructed; startRead not yet called
  AwaitingType,  // start frame sent, answer timer running
  Receiving,     // block timer running
  Finished,      // ended: see ReadOutcome
};

enum class ReadOutcome {
  None,       // not finished
  Succeeded,  // every block taken and the file written
  Failed,     // ended with a message (failure())
  Cancelled,  // ended by the user; nothing written, nothing sent
};

// What the transfer did, for a trace.
struct ReadEvent {
  enum class Kind {
    FrameSent,    // `frame` went out (start read, ack, read complete, stop)
    AnswerTaken,  // the 12 answer bytes in `frame` were taken
    BlockTaken,   // block `block` was stored
  };
  Kind kind = Kind::FrameSent;
  FrameBytes frame{};
  unsigned block = 0;
};
using ReadObserver = std::function<void(const ReadEvent&)>;

class ReadTransfer {
 public:
  ReadTransfer(CommandPort& port, TransferView& view, PortTarget target, std::string targetPath);
  ReadTransfer(const ReadTransfer&) = delete;
  ReadTransfer& operator=(const ReadTransfer&) = delete;

  // Opens the port at kLineSpeed, sets binary mode, sends the start-read
  // frame and starts the answer timer: true. When the port can't be opened
  // shows "open port%d error!" and returns false; the caller then runs the
  // Cancel command. Only the first call does anything.
  bool startRead();

  // One step per timer tick: kAnswerTimerId or kBlockTimerId. Other ids,
  // and every tick once the transfer has finished, are ignored.
  void onReadTick(int timerId);

  // The bar at n * 100 / blockCount (unsigned) and the counter
  // "n/blockCount blocks", repainted at once.
  void showBlockProgress(unsigned n);

  // The user ended the dialog (Cancel, Escape): nothing is sent and nothing
  // written; later ticks are ignored. Does not call the view: the front end
  // has already stopped its timers. Ignored once finished.
  void abandon();

  const ReadFields& fields() const { return fields_; }
  ReadPhase phase() const { return phase_; }
  ReadOutcome outcome() const { return outcome_; }
  bool finished() const { return phase_ == ReadPhase::Finished; }
  bool succeeded() const { return outcome_ == ReadOutcome::Succeeded; }
  // The message a failed transfer showed; empty otherwise.
  const std::optional<Notice>& failure() const { return failure_; }

  // Called for every frame sent, answer taken and block stored.
  void setObserver(ReadObserver observer) { observer_ = std::move(observer); }

  // Verification against an image of type `imageTagIndex`: the flash stays
  // in fields().flashData and no file is written. A receiver that names
  // another type ends the transfer at its type answer, in the order of every
  // failed tick: stop frame, Cancel command, then the mismatch message (the
  // image's model first, the receiver's second). Call before startRead.
  void verifyAgainst(int imageTagIndex) { expectedTagIndex_ = imageTagIndex; }

 private:
  void answerTick();
  void blockTick();
  void send(const FrameBytes& frame);
  // Stop frame, Cancel command, message: the end of every failed tick.
  void failInTick(const Notice& notice);
  void finish(ReadOutcome outcome, std::optional<Notice> failure);
  void notify(const ReadEvent& event);

  CommandPort& port_;
  TransferView& view_;
  PortTarget target_;
  ReadFields fields_;
  ReadPhase phase_ = ReadPhase::NotStarted;
  ReadOutcome outcome_ = ReadOutcome::None;
  std::optional<Notice> failure_;
  ReadObserver observer_;
  std::optional<int> expectedTagIndex_;  // set: verify, write no file
};

}  // namespace quorvane
