// The command-line tool's run of its jobs: every receiver's job in one
// MachineLoop (timers with absolute deadlines, steps on arrival), until all
// have ended, with Ctrl-C interrupting those still running.
#pragma once

#include <atomic>
#include <vector>

#include "console.h"
#include "machine/machine_loop.h"

namespace quorvane::cli {

using Pace = MachineLoop::Pace;
using AwaitedBytes = AwaitedArrival;

class Job : public LoopClient {
 public:
  // Starts the state machine (open, first frame, first timer).
  virtual void begin() = 0;
  // Ctrl-C: end the job now. A transfer in the middle of its exchange
  // sends the stop frame first, so that the receiver's loader stops too;
  // the handshake and the key jobs send nothing.
  virtual void interrupt() = 0;
};

class EventLoop {
 public:
  explicit EventLoop(Pace pace = Pace::Arrival) : pace_(pace) {}

  // Begins every job and runs until all are done. When `interrupted` turns
  // true, every job that is still running is interrupted.
  void run(const std::vector<Job*>& jobs, const std::atomic<bool>* interrupted = nullptr);

 private:
  Pace pace_;
};

}  // namespace quorvane::cli
