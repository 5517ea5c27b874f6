// The receiver's type, asked before an upgrade writes anything.
//
// A read is started (ReadTransfer, so that the exchange exists once): the
// receiver's IdentFrame, taken within the read's own wait, names its type.
// If it is the image's, the read is told to stop before its first block is
// taken, and the line is left to fall quiet (what the receiver had sent of
// block 0 is dropped) before the query ends, so that the upgrade after it
// starts on a quiet line. A receiver that names another type fails the query
// with the mismatch message, as a verify does; one that gives no answer, or
// twelve bytes that name no type, ends the query well but with that verdict,
// after the read's stop frame and the same quiet line: whether to write
// anyway is the front end's decision.
//
// Timers: the read's own (kAnswerTimerId; kBlockTimerId is started and
// stopped within the tick that takes the type) and kTypeSettleTimerId while
// the line falls quiet.
#pragma once

#include <cstdint>
#include <optional>

#include "machine/tick_machine.h"
#include "transfer/read_transfer.h"
#include "transfer/transfer_view.h"

namespace quorvane {

inline constexpr int kTypeSettleTimerId = 3;
inline constexpr int kTypeQuietTicks = 6;          // 300 ms without a byte
inline constexpr int kTypeSettleLimitTicks = 100;  // 5 s at most

// What the receiver's answer came to.
enum class TypeVerdict {
  Unknown,      // not yet, or the query failed before an answer (port, memory, cancelled)
  Fits,         // it named the image's type (succeeded)
  NoAnswer,     // no answer within the read's wait (succeeded)
  NoType,       // twelve bytes that name no type (succeeded)
  OtherType,    // it named another type (failed, with the mismatch message)
  KeptSending,  // the line did not fall quiet after the stop frame (failed, no message)
};

class TypeQuery final : public TickMachine, private TransferView {
 public:
  // `imageTagIndex`: the type the receiver must name.
  TypeQuery(CommandPort& port, MachineView& view, PortTarget target, int imageTagIndex);

  // Opens the port and starts the read; a port that can't be opened fails
  // with "open port%d error!".
  void start() override;
  // A tick of the read's timers or of kTypeSettleTimerId.
  void tick(int timerId) override;
  // Stops every timer of the query and ends Cancelled; nothing is sent.
  void abandon() override;
  // The read's, while the type is awaited; nothing while the line settles.
  std::optional<AwaitedInput> awaitedInput() const override;

  TypeVerdict verdict() const { return verdict_; }
  // The type the receiver named (Fits, OtherType).
  std::optional<int> receiverTag() const { return receiverTag_; }
  // The twelve bytes taken as the answer (Fits, NoType, OtherType).
  const std::optional<FrameBytes>& answer() const { return answer_; }
  // Bytes dropped while the line fell quiet.
  std::uint64_t bytesDropped() const { return dropped_; }
  // Settling: the line is let fall quiet after the stop frame.
  bool settling() const { return phase() == Phase::Pausing; }

 private:
  // The read's view: its timers are the query's, its messages pass on but
  // for the unanswered ones, which are a verdict here.
  void startTimer(int timerId, int periodMs) override { view_.startTimer(timerId, periodMs); }
  void stopTimer(int timerId) override { view_.stopTimer(timerId); }
  void showMessage(const Notice& notice) override;
  void showBlockProgress(unsigned, long long, long long) override {}
  void cancel() override;

  void onReadEvent(const MachineEvent& e);
  void readEnded();
  void beginSettle();
  void settleTick();
  void finish(Outcome outcome, const std::optional<Notice>& failure = std::nullopt);

  CommandPort& port_;
  MachineView& view_;
  int imageTag_;
  ReadTransfer read_;
  TypeVerdict verdict_ = TypeVerdict::Unknown;
  std::optional<int> receiverTag_;
  std::optional<FrameBytes> answer_;
  std::uint64_t dropped_ = 0;
  int quietTicks_ = 0;
  int settleTicks_ = 0;
};

}  // namespace quorvane
