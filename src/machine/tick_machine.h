// What the tick-driven state machines (the connect handshake, the wait for a
// loader, the read, the upgrade and the type question) have in common: how
// far they are, how they ended, their counted waits, the events they report
// and the calls every front end answers.
//
// A front end drives each machine the same way: start() when its window
// comes up, tick(timerId) when a timer the machine started fires, abandon()
// when the user ends the window. Once finished() no call acts any more;
// outcome() tells how it ended and failure() holds the message it showed.
#pragma once

#include <functional>
#include <optional>

#include "base/notice.h"
#include "serial/command_frame.h"

namespace quorvane {

class CommandPort;

// The pace of the transfers: one step per tick; a wait counts kWaitStepMs
// per tick without the awaited bytes and gives up at kWaitLimitMs (the 60th
// such tick).
inline constexpr int kTickMs = 50;
inline constexpr unsigned kWaitStepMs = 50;
inline constexpr unsigned kWaitLimitMs = 3000;

// The timers the machines ask their front end for, by id. Ids are per
// machine: each front end runs one machine's timers.
inline constexpr int kConnectTimerId = 1;  // connect: the whole handshake
inline constexpr int kAnswerTimerId = 1;   // read: waiting for the type
inline constexpr int kBlockTimerId = 2;    // read: one block per tick
inline constexpr int kUpgradeTimerId = 1;  // upgrade: answer + block

enum class Phase {
  NotStarted,      // start() not called yet
  Armed,           // connect: started, its first tick not come yet
  AwaitingAnswer,  // a 12-byte answer is awaited (acknowledgement, type, upgrade answer)
  MovingBlocks,    // read: one block taken per tick
  Pausing,         // connect: the pause after the acknowledgement
  Finished,        // ended: outcome() tells how
};

enum class Outcome {
  None,       // not finished
  Succeeded,  // the job is done
  Failed,     // failure() holds the message shown (none for a refused image without one)
  Cancelled,  // the user ended it; nothing more was sent
};

// A wait counted, not clocked: `stepMs` per count, however long a tick or a
// sleep really lasts, given up once `limitMs` is reached. Restartable, so
// that each block gets the whole wait again.
class CountedWait {
 public:
  constexpr CountedWait(unsigned stepMs = kWaitStepMs, unsigned limitMs = kWaitLimitMs)
      : step_(stepMs), limit_(limitMs) {}
  // One step without the awaited bytes; true once the limit is reached.
  bool count() {
    elapsed_ += step_;
    return expired();
  }
  bool expired() const { return elapsed_ >= limit_; }
  void restart() { elapsed_ = 0; }

 private:
  unsigned step_;
  unsigned limit_;
  unsigned elapsed_ = 0;
};

// What a machine did, for a trace or a progress line.
struct MachineEvent {
  enum class Kind {
    FrameSent,    // `frame` went out
    AnswerTaken,  // the 12 bytes of `frame` were taken as the answer
    BlockMoved,   // block `block` of `blockCount` was taken or sent
    Finished,     // the machine ended with `outcome`
  };
  Kind kind = Kind::FrameSent;
  FrameBytes frame{};
  bool accepted = false;     // AnswerTaken: the machine goes on with it
  long long block = -1;      // BlockMoved: the block's index
  unsigned bytes = 0;        // BlockMoved: the bytes the port moved
  long long blockCount = 0;  // BlockMoved: blocks of the whole flash
  Outcome outcome = Outcome::None;
};
using MachineObserver = std::function<void(const MachineEvent&)>;

// What a machine's next step waits for: the tick of `timerId` acts once
// `bytes` bytes are waiting on its port; until then each of its ticks counts
// a wait.
struct AwaitedInput {
  int timerId = 0;
  unsigned bytes = 0;
};

// The front-end calls every machine makes.
class MachineView {
 public:
  virtual ~MachineView() = default;
  // Start (or restart) the periodic timer `timerId`, or stop it; stopping a
  // timer that does not run does nothing.
  virtual void startTimer(int timerId, int periodMs) = 0;
  virtual void stopTimer(int timerId) = 0;
  // A modal message with an OK button; returns once the user has closed it.
  virtual void showMessage(const Notice& notice) = 0;
};

class TickMachine {
 public:
  virtual ~TickMachine() = default;
  TickMachine(const TickMachine&) = delete;
  TickMachine& operator=(const TickMachine&) = delete;

  // Only the first call acts.
  virtual void start() = 0;
  // One step for a tick of timer `timerId`.
  virtual void tick(int timerId) = 0;
  // The user ended the window: nothing more is sent and the machine ends
  // Cancelled. Does not call the view (its front end has stopped its
  // timers). Ignored once finished.
  virtual void abandon();

  // What the next step waits for while the machine waits for received
  // bytes; nothing otherwise. A front end may deliver that tick as soon as
  // the bytes are there rather than at its timer's next period: the step
  // then acts, and no wait is counted.
  virtual std::optional<AwaitedInput> awaitedInput() const { return std::nullopt; }

  Phase phase() const { return phase_; }
  Outcome outcome() const { return outcome_; }
  bool finished() const { return phase_ == Phase::Finished; }
  bool succeeded() const { return outcome_ == Outcome::Succeeded; }
  const std::optional<Notice>& failure() const { return failure_; }

  // Called for every frame sent, answer taken and block moved, and once at
  // the end.
  void setObserver(MachineObserver observer) { observer_ = std::move(observer); }

 protected:
  TickMachine() = default;
  void enter(Phase phase) { phase_ = phase; }
  // Ends the machine, so that no call acts from here on (not even a tick
  // delivered under a message box). The Finished event follows with
  // announceFinished() once the view has been told everything.
  void end(Outcome outcome, std::optional<Notice> failure = std::nullopt);
  void announceFinished() const;
  void notify(const MachineEvent& event) const {
    if (observer_) observer_(event);
  }
  // Sends the frame of `command` (its result is not looked at) and reports
  // it.
  void send(CommandPort& port, std::uint8_t command, std::uint8_t param1 = 0) const;

 private:
  Phase phase_ = Phase::NotStarted;
  Outcome outcome_ = Outcome::None;
  std::optional<Notice> failure_;
  MachineObserver observer_;
};

}  // namespace quorvane
