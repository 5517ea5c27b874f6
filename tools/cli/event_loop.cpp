#include "event_loop.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "serial/protocol.h"
#include "transfer/transfer_timing.h"

namespace quorvane::cli {

namespace {
// The longest the loop sleeps before it looks at Ctrl-C again.
constexpr auto kLongestSleep = std::chrono::milliseconds(20);
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
  bool interruptDone = false;
  for (;;) {
    if (interrupted && interrupted->load() && !interruptDone) {
      interruptDone = true;
      for (Job* job : jobs)
        if (!job->done()) job->interrupt();
    }
    // The earliest deadline of any running timer of a running job.
    bool anyRunning = false;
    Clock::time_point next = Clock::time_point::max();
    for (Job* job : jobs) {
      if (job->done()) continue;
      anyRunning = true;
      for (const auto& [id, timer] : job->timers_) next = std::min(next, timer.due);
    }
    if (!anyRunning) return;
    const Clock::time_point now = Clock::now();
    // Never sleep long: Ctrl-C is looked at in between.
    const Clock::time_point wake = std::min(next, now + kLongestSleep);
    if (wake > now) std::this_thread::sleep_until(wake);
    if (Clock::now() < next) continue;

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
      job->onTimer(d.id);
    }
  }
}

}  // namespace quorvane::cli
