// One event loop for every receiver of a run: periodic timers on the steady
// clock with absolute deadlines, as a dialog's window timers are. Each job
// is one state machine with its own port; the loop forwards each timer's
// ticks to the job that started it, by timer id, one tick at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <vector>

#include "console.h"

namespace quorvane::cli {

// How long the protocol's milliseconds last in real time. 1.0 always, but
// for the test suite, which shortens the tick (QUORVANE_CLI_TEST_TICK_MS):
// every wait is counted in ticks, so the exchange stays the same.
struct Timing {
  double scale = 1.0;
  Clock::duration real(int protocolMs) const;
  static Timing fromEnvironment();
};

class Job {
 public:
  explicit Job(const Timing& timing) : timing_(timing) {}
  virtual ~Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Starts the state machine (open, first frame, first timer).
  virtual void begin() = 0;
  // One tick of timer `timerId`.
  virtual void onTimer(int timerId) = 0;
  // Nothing more will happen: the state machine has ended.
  virtual bool done() const = 0;
  // Ctrl-C: end the job as the dialog's Cancel does (nothing sent).
  virtual void interrupt() = 0;

  // The timers of the job, started and stopped by its state machine.
  // Starting a running timer restarts its period.
  void startTimer(int timerId, int periodMs);
  void stopTimer(int timerId);
  void stopAllTimers() { timers_.clear(); }
  bool timerRunning(int timerId) const { return timers_.count(timerId) != 0; }

 protected:
  const Timing& timing_;

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
  // Begins every job and runs until all are done. When `interrupted` turns
  // true, every job that is still running is interrupted.
  void run(const std::vector<Job*>& jobs, const std::atomic<bool>* interrupted = nullptr);

  // Ticks delivered so far (diagnostics).
  unsigned long long ticks() const { return ticks_; }

 private:
  unsigned long long ticks_ = 0;
};

}  // namespace quorvane::cli
