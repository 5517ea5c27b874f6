#include "event_loop.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "serial/port_waiter.h"
#include "serial/protocol.h"
#include "serial/serial_port.h"
#include "transfer/transfer_timing.h"

namespace quorvane::cli {

namespace {

// The longest the loop sleeps before it looks at Ctrl-C again.
constexpr auto kLongestSleep = std::chrono::milliseconds(100);

// The line carries one byte in this time: what is still missing of a block
// can't be there sooner than this per byte.
constexpr Clock::duration kByteTime = std::chrono::duration_cast<Clock::duration>(
    std::chrono::nanoseconds(std::int64_t{1'000'000'000} * kLineBitsPerByte / kLineSpeed));

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

Clock::duration Timing::real(int protocolMs) const {
  const auto us = static_cast<long long>(double(protocolMs) * 1000.0 * scale);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(std::max(us, 1LL)));
}

Timing Timing::fromEnvironment() {
  Timing t;
  if (const char* v = std::getenv("QUORVANE_CLI_TEST_TICK_MS")) {
    const int ms = std::atoi(v);
    // Only ever shorter than the real tick, never longer.
    if (ms >= 1 && ms <= kTickMs) t.scale = double(ms) / double(kTickMs);
  }
  return t;
}

void Job::startTimer(int timerId, int periodMs) {
  const Clock::duration period = timing_.real(periodMs);
  timers_[timerId] = Timer{Clock::now() + period, period};
}

void Job::stopTimer(int timerId) {
  timers_.erase(timerId);
}

void EventLoop::run(const std::vector<Job*>& jobs, const std::atomic<bool>* interrupted) {
  for (Job* job : jobs) job->begin();
  const bool onArrival = pace_ == Pace::Arrival;
  // Arrival pace, per job: how its port is looked at.
  struct Look {
    bool awaiting = false;          // its next step awaits bytes
    bool fast = false;              // its receiver sends faster than the line
    Clock::time_point steppedAt{};  // its last step on arrival
    Clock::time_point notBefore{};  // no look before (the bytes can't be whole)
    bool watching = false;          // the waiter watches its port
    unsigned wanted = 0;            //   for this many bytes
    bool drained = false;           // a tick has just brought the port's queue up to date
    Clock::time_point lookedAt{};   // the last look, and the bytes arrived by then
    std::uint64_t arrived = 0;
  };
  std::vector<Look> looks(jobs.size());
  std::vector<SerialPort*> watched;
  std::vector<unsigned> wanted;
  std::vector<std::size_t> watchers;  // the job of each watched port
  std::vector<std::size_t> ticked;
  PortWaiter waiter;
  bool interruptDone = false;
  for (;;) {
    if (interrupted && interrupted->load() && !interruptDone) {
      interruptDone = true;
      for (Job* job : jobs)
        if (!job->done()) job->interrupt();
    }
    if (std::all_of(jobs.begin(), jobs.end(), [](const Job* job) { return job->done(); })) return;

    // Arrival pace: a step for every job whose awaited bytes are complete.
    // Otherwise its port is not looked at again before the rest can have
    // come at the line rate, but for the last milliseconds, in which it is
    // watched until they are whole.
    Clock::time_point wake = Clock::time_point::max();
    watched.clear();
    wanted.clear();
    watchers.clear();
    if (onArrival) {
      bool stepped = false;
      const Clock::time_point now = Clock::now();
      for (std::size_t j = 0; j < jobs.size(); ++j) {
        Job& job = *jobs[j];
        Look& look = looks[j];
        const std::optional<AwaitedBytes> awaited = job.done() ? std::nullopt : job.awaited();
        if (!awaited || !awaited->port || !awaited->port->isOpen() ||
            !job.timerRunning(awaited->timerId)) {
          look = Look{.fast = look.fast, .steppedAt = look.steppedAt};
          continue;
        }
        look.awaiting = true;
        if (look.watching) {  // the waiter looks at it
          watched.push_back(awaited->port);
          wanted.push_back(look.wanted);
          watchers.push_back(j);
          continue;
        }
        if (now + kLookTogether < look.notBefore) {
          wake = std::min(wake, look.notBefore);
          continue;
        }
        SerialPort& port = *awaited->port;
        const unsigned queued = look.drained ? port.queuedBytes() : port.bytesInQueue();
        // A whole block since the last look, far sooner than the line can
        // have carried it?
        const std::uint64_t arrived = port.bytesArrived();
        const std::uint64_t came = arrived - std::min(arrived, look.arrived);
        if (look.lookedAt != Clock::time_point{} && came >= kBlockSize &&
            kByteTime * static_cast<long long>(came) >
                kFastFactor * (now - look.lookedAt) + kFastSlack)
          look.fast = true;
        look.lookedAt = now;
        look.arrived = arrived;
        look.drained = false;
        if (queued >= awaited->bytes) {
          // A block that took the line's time since the last step: the
          // receiver keeps to the line after all.
          if (look.fast && now - look.steppedAt >= kByteTime * long(awaited->bytes) - kFastSlack)
            look.fast = false;
          stepEarly(job, awaited->timerId);
          // What the next step awaits can't be whole before the line has
          // carried it; it is looked at afresh.
          look = Look{.fast = look.fast, .steppedAt = now, .lookedAt = now, .arrived = arrived};
          stepped = true;
          continue;
        }
        const Clock::duration rest = kByteTime * (awaited->bytes - queued);
        if (!look.fast && rest > kLead + kLookTogether) {
          look.notBefore = now + rest - kLead;
          wake = std::min(wake, look.notBefore);
        } else {
          look.watching = true;
          look.wanted = awaited->bytes;
          watched.push_back(awaited->port);
          wanted.push_back(look.wanted);
          watchers.push_back(j);
        }
      }
      // A step may find its next bytes queued already.
      if (stepped) continue;
    }

    // The earliest deadline of any running timer of a running job.
    for (std::size_t j = 0; j < jobs.size(); ++j) {
      if (jobs[j]->done()) continue;
      const bool slack = onArrival && looks[j].awaiting;
      for (const auto& [id, timer] : jobs[j]->timers_)
        wake = std::min(
            wake, timer.due + (slack ? timer.period / kTickSlackParts : Clock::duration::zero()));
    }
    const Clock::time_point now = Clock::now();
    // Never sleep long: Ctrl-C is looked at in between.
    wake = std::min(wake, now + kLongestSleep);
    if (watched.size() > kMaxWaitPorts) {  // the rest are looked at each round
      for (std::size_t k = kMaxWaitPorts; k < watchers.size(); ++k)
        looks[watchers[k]].watching = false;
      watched.resize(kMaxWaitPorts);
      wanted.resize(kMaxWaitPorts);
      wake = std::min(wake, now + std::chrono::milliseconds(kPortPollMs));
    }
    if (!watched.empty()) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
      const std::vector<std::size_t> ready =
          waiter.wait(watched, wanted, static_cast<int>(std::max<long long>(ms, 0)));
      for (const std::size_t k : ready) looks[watchers[k]].watching = false;
      if (waiter.lastError().failed()) {  // looked at again soon, never in a spin
        for (const std::size_t j : watchers) looks[j].watching = false;
        std::this_thread::sleep_until(std::min(wake, now + std::chrono::milliseconds(kPortPollMs)));
      }
    } else if (wake > now) {
      std::this_thread::sleep_until(wake);
    }
    fireDueTimers(jobs, ticked);
    // A tick has brought the port's queue up to date (and may have taken a
    // block): the rest is reckoned afresh, in case the receiver has caught up.
    for (const std::size_t j : ticked) {
      looks[j].notBefore = {};
      looks[j].watching = false;
      looks[j].drained = true;
    }
  }
}

void EventLoop::stepEarly(Job& job, int timerId) {
  const Clock::time_point due = job.timers_.at(timerId).due;
  ++ticks_;
  ++earlyTicks_;
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
    ++ticks_;
    ticked.push_back(d.job);
    job->onTimer(d.id);
  }
}

}  // namespace quorvane::cli
