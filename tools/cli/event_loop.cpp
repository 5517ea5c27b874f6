#include "event_loop.h"

#include <algorithm>
#include <string>
#include <thread>

#include "serial/port_waiter.h"
#include "serial/protocol.h"
#include "serial/serial_port.h"

namespace quorvane::cli {

namespace {

// The longest the loop sleeps before it looks at Ctrl-C again.
constexpr auto kLongestSleep = std::chrono::milliseconds(100);

// The line carries one byte in this time: what is still missing of a block
// can't be there sooner than this per byte.
constexpr Clock::duration kByteTime = std::chrono::duration_cast<Clock::duration>(lineByteTime());

// The port is looked at this long before the rest of a block can have come
// at the line rate, and then watched until the block is whole. The lead
// also covers what a USB adapter holds back before it passes bytes on
// (about 1 ms with ASYNC_LOW_LATENCY).
constexpr Clock::duration kLead = std::chrono::milliseconds(2);
// Looks due this soon are taken together with the one due now (the few
// milliseconds watched grow by as much), so that many receivers in step
// share wake-ups.
constexpr Clock::duration kLookTogether = std::chrono::milliseconds(1);

// A receiver that brings a whole block far faster than the line carries it
// (an emulator without line pacing) is watched throughout, not predicted.
// The slack allows for bytes that come in bursts (USB packets, a receiver
// catching up after a pause).
constexpr int kFastFactor = 4;
constexpr Clock::duration kFastSlack = std::chrono::milliseconds(20);

// On arrival pace a due tick may wait this part of its period for other
// ticks to fall due, so that the jobs' ticks share wake-ups. It never comes
// early; every tick still counts its wait.
constexpr int kTickSlackParts = 5;

}  // namespace

void Job::startTimer(int timerId, int periodMs) {
  const Clock::duration period = std::chrono::milliseconds(std::max(periodMs, 1));
  timers_[timerId] = Timer{Clock::now() + period, period};
}

void Job::stopTimer(int timerId) {
  timers_.erase(timerId);
}

namespace {

// The arrival pace's watch over the jobs' ports. A job whose next step
// awaits bytes has its port looked at: when they are complete, it steps at
// once. Otherwise its port is not looked at again before the rest can have
// come at the line rate, but for the last milliseconds, in which it is
// watched (PortWaiter) until they are whole.
class ArrivalWatch {
 public:
  explicit ArrivalWatch(std::size_t jobs) : jobWatches_(jobs), watched_(jobs) {}

  // Looks at every job's port that is due; `step` runs a job's awaited
  // tick when its bytes are complete. True when a job stepped; `wake` gets
  // the time of the next look.
  template <typename Step>
  bool lookAtPorts(const std::vector<Job*>& jobs, Clock::time_point& wake, const Step& step);

  // Sleeps until `wake` or until a watched port has its bytes.
  void wait(Clock::time_point wake);

  // A tick has brought the job's queue up to date (and may have taken a
  // block): what it still misses is reckoned afresh, in case the receiver
  // has caught up.
  void ticked(std::size_t job) {
    jobWatches_[job].notBefore = {};
    jobWatches_[job].watching = false;
    jobWatches_[job].tickedSinceLook = true;
  }

  // The job's next step awaits bytes: its ticks only count a wait.
  bool awaiting(std::size_t job) const { return jobWatches_[job].awaiting; }

 private:
  struct JobWatch {
    bool awaiting = false;          // its next step awaits bytes
    bool fast = false;              // its receiver sends faster than the line
    Clock::time_point steppedAt{};  // its last step on arrival
    Clock::time_point notBefore{};  // no look before (the bytes can't be whole)
    bool watching = false;          // the waiter watches its port
    unsigned wanted = 0;            //   for this many bytes
    bool tickedSinceLook = false;   // a tick has just brought its queue up to date
    Clock::time_point lookedAt{};   // the last look, and the bytes arrived by then
    std::uint64_t arrived = 0;
  };

  // A look at a job's port that has taken `arrived` bytes in all so far:
  // a whole block since the last look, far sooner than the line can have
  // carried it, marks the receiver as fast.
  static void noteLook(JobWatch& state, std::uint64_t arrived, Clock::time_point now) {
    const std::uint64_t arrivedSinceLook = arrived - std::min(arrived, state.arrived);
    if (state.lookedAt != Clock::time_point{} && arrivedSinceLook >= kBlockSize &&
        kByteTime * static_cast<long long>(arrivedSinceLook) >
            kFastFactor * (now - state.lookedAt) + kFastSlack)
      state.fast = true;
    state.lookedAt = now;
    state.arrived = arrived;
    state.tickedSinceLook = false;
  }

  void watchPort(std::size_t job, SerialPort* port, unsigned bytes) {
    jobWatches_[job].watching = true;
    jobWatches_[job].wanted = bytes;
    watched_[job] = {port, bytes};
  }

  std::vector<JobWatch> jobWatches_;  // by job
  std::vector<PortWatch> watched_;    // by job: the ports the waiter watches this round
  PortWaiter waiter_;
};

template <typename Step>
bool ArrivalWatch::lookAtPorts(const std::vector<Job*>& jobs, Clock::time_point& wake,
                               const Step& step) {
  std::fill(watched_.begin(), watched_.end(), PortWatch{});
  bool stepped = false;
  const Clock::time_point now = Clock::now();
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    Job& job = *jobs[j];
    JobWatch& state = jobWatches_[j];
    const std::optional<AwaitedBytes> awaited = job.done() ? std::nullopt : job.awaited();
    if (!awaited || !awaited->port || !awaited->port->isOpen() ||
        !job.timerRunning(awaited->timerId)) {
      state = JobWatch{.fast = state.fast, .steppedAt = state.steppedAt};
      continue;
    }
    state.awaiting = true;
    if (state.watching) {  // the waiter looks at it
      watchPort(j, awaited->port, state.wanted);
      continue;
    }
    if (now + kLookTogether < state.notBefore) {
      wake = std::min(wake, state.notBefore);
      continue;
    }
    SerialPort& port = *awaited->port;
    const unsigned queued = state.tickedSinceLook ? port.queuedBytes() : port.bytesInQueue();
    const std::uint64_t arrived = port.bytesArrived();
    noteLook(state, arrived, now);
    if (queued >= awaited->bytes) {
      // A block that took the line's time since the last step: the receiver
      // keeps to the line after all.
      if (state.fast && now - state.steppedAt >= kByteTime * long(awaited->bytes) - kFastSlack)
        state.fast = false;
      step(job, awaited->timerId);
      // What the next step awaits can't be whole before the line has
      // carried it; it is looked at afresh.
      state = JobWatch{.fast = state.fast, .steppedAt = now, .lookedAt = now, .arrived = arrived};
      stepped = true;
      continue;
    }
    const Clock::duration missingTime = kByteTime * (awaited->bytes - queued);
    if (!state.fast && missingTime > kLead + kLookTogether) {
      state.notBefore = now + missingTime - kLead;
      wake = std::min(wake, state.notBefore);
    } else {
      watchPort(j, awaited->port, awaited->bytes);
    }
  }
  return stepped;
}

void ArrivalWatch::wait(Clock::time_point wake) {
  const Clock::time_point now = Clock::now();
  if (std::none_of(watched_.begin(), watched_.end(), [](const PortWatch& w) { return w.port; })) {
    std::this_thread::sleep_until(wake);
    return;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
  for (const std::size_t job : waiter_.wait(watched_, static_cast<int>(std::max<long long>(ms, 0))))
    jobWatches_[job].watching = false;
  if (waiter_.lastError().failed()) {  // looked at again soon, never in a spin
    for (JobWatch& w : jobWatches_) w.watching = false;
    std::this_thread::sleep_until(std::min(wake, now + std::chrono::milliseconds(kPortPollMs)));
  }
}

}  // namespace

void EventLoop::run(const std::vector<Job*>& jobs, const std::atomic<bool>* interrupted) {
  for (Job* job : jobs) job->begin();
  const bool onArrival = pace_ == Pace::Arrival;
  ArrivalWatch arrival(jobs.size());
  std::vector<std::size_t> ticked;
  bool interruptDone = false;
  for (;;) {
    if (interrupted && interrupted->load() && !interruptDone) {
      interruptDone = true;
      for (Job* job : jobs)
        if (!job->done()) job->interrupt();
    }
    if (std::all_of(jobs.begin(), jobs.end(), [](const Job* job) { return job->done(); })) return;

    Clock::time_point wake = Clock::time_point::max();
    // A step may find its next bytes queued already: look again at once.
    if (onArrival &&
        arrival.lookAtPorts(jobs, wake, [this](Job& job, int id) { stepEarly(job, id); }))
      continue;
    // The earliest deadline of any running timer of a running job; never
    // a long sleep, so that Ctrl-C is looked at in between.
    for (std::size_t j = 0; j < jobs.size(); ++j) {
      if (jobs[j]->done()) continue;
      const bool slack = onArrival && arrival.awaiting(j);
      for (const auto& [id, timer] : jobs[j]->timers_)
        wake = std::min(
            wake, timer.due + (slack ? timer.period / kTickSlackParts : Clock::duration::zero()));
    }
    wake = std::min(wake, Clock::now() + kLongestSleep);
    if (onArrival)
      arrival.wait(wake);
    else
      std::this_thread::sleep_until(wake);
    fireDueTimers(jobs, ticked);
    if (onArrival)
      for (const std::size_t j : ticked) arrival.ticked(j);
  }
}

void EventLoop::stepEarly(Job& job, int timerId) {
  const Clock::time_point due = job.timers_.at(timerId).due;
  job.onTimer(timerId);
  // The step was that timer's tick: its next one comes a period later,
  // unless the step has restarted or stopped the timer itself.
  const auto it = job.timers_.find(timerId);
  if (it != job.timers_.end() && it->second.due == due)
    it->second.due = Clock::now() + it->second.period;
}

void EventLoop::fireDueTimers(const std::vector<Job*>& jobs, std::vector<std::size_t>& ticked) {
  ticked.clear();
  // Every timer that is due, earliest first; a tick may stop or start
  // timers of its own job, so each is looked up again before it fires.
  struct Due {
    Clock::time_point due;
    std::size_t job;
    int id;
  };
  std::vector<Due> due;
  const Clock::time_point fired = Clock::now();
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    if (jobs[j]->done()) continue;
    for (const auto& [id, timer] : jobs[j]->timers_)
      if (timer.due <= fired) due.push_back({timer.due, j, id});
  }
  std::sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
    return a.due != b.due ? a.due < b.due : a.job < b.job;
  });
  for (const Due& d : due) {
    Job* job = jobs[d.job];
    if (job->done()) continue;
    auto it = job->timers_.find(d.id);
    if (it == job->timers_.end() || it->second.due != d.due) continue;
    // Absolute deadlines: the next tick is one period after this one's
    // deadline. A tick that comes late is not made up for by a burst:
    // missed periods are skipped, as a window timer coalesces them.
    Job::Timer& t = it->second;
    do {
      t.due += t.period;
    } while (t.due <= fired);
    ticked.push_back(d.job);
    job->onTimer(d.id);
  }
}

}  // namespace quorvane::cli
