// One event loop for every receiver of a run: periodic timers on the steady
// clock with absolute deadlines, as a dialog's window timers are, and the
// ports the jobs read. Each job is one state machine with its own port; the
// loop forwards each timer's ticks to the job that started it, by timer id,
// one tick at a time.
//
// Two paces:
// - Arrival (the default): the loop also waits on the ports. When the bytes
//   a job's next step awaits (a block, an answer) are complete, the job gets
//   that step's tick at once instead of at its timer's next period; its
//   timer then goes on one period from that step, as if it had ticked there.
//   Ticks that find the bytes missing count their waits exactly as before.
// - Ticks (--dialog-timing): one step per tick only, the dialogs' pace.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include "console.h"

namespace quorvane {
class SerialPort;
}

namespace quorvane::cli {

enum class Pace {
  Arrival,  // a step as soon as the bytes it awaits are there
  Ticks,    // one step per tick, as the dialogs
};

// What a job's next step waits for: `bytes` bytes waiting on `port` make
// the tick of `timerId` act.
struct AwaitedBytes {
  SerialPort* port = nullptr;
  int timerId = 0;
  unsigned bytes = 0;
};

class Job {
 public:
  Job() = default;
  virtual ~Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Starts the state machine (open, first frame, first timer).
  virtual void begin() = 0;
  // One tick of timer `timerId`.
  virtual void onTimer(int timerId) = 0;
  // Nothing more will happen: the state machine has ended.
  virtual bool done() const = 0;
  // Ctrl-C: end the job now. A transfer in the middle of its exchange
  // sends the stop frame first, so that the receiver's loader stops too;
  // the handshake and the key jobs send nothing.
  virtual void interrupt() = 0;
  // What the next step waits for on the job's port; nothing while no step
  // awaits received bytes (then only its timers drive it).
  virtual std::optional<AwaitedBytes> awaited() { return std::nullopt; }

  // The timers of the job, started and stopped by its state machine.
  // Starting a running timer restarts its period.
  void startTimer(int timerId, int periodMs);
  void stopTimer(int timerId);
  void stopAllTimers() { timers_.clear(); }
  bool timerRunning(int timerId) const { return timers_.count(timerId) != 0; }

 private:
  friend class EventLoop;
  struct Timer {
    Clock::time_point due;
    Clock::duration period;
  };
  std::map<int, Timer> timers_;
};

class EventLoop {
 public:
  explicit EventLoop(Pace pace = Pace::Arrival) : pace_(pace) {}

  // Begins every job and runs until all are done. When `interrupted` turns
  // true, every job that is still running is interrupted.
  void run(const std::vector<Job*>& jobs, const std::atomic<bool>* interrupted = nullptr);

 private:
  void stepEarly(Job& job, int timerId);
  // Fires every due timer; `ticked` gets the jobs that had a tick.
  void fireDueTimers(const std::vector<Job*>& jobs, std::vector<std::size_t>& ticked);

  Pace pace_;
};

}  // namespace quorvane::cli
