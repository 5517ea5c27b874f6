#include "event_loop.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

// The longest the loop sleeps before it looks at Ctrl-C again.
constexpr int kLongestSleepMs = 100;

}  // namespace

void EventLoop::run(const std::vector<Job*>& jobs, const std::atomic<bool>* interrupted) {
  MachineLoop loop(pace_);
  for (Job* job : jobs) {
    loop.add(*job);
    job->begin();
  }
  bool interruptDone = false;
  const auto goOn = [&] {
    if (interrupted && interrupted->load() && !interruptDone) {
      interruptDone = true;
      for (Job* job : jobs)
        if (!job->done()) job->interrupt();
    }
    return !std::all_of(jobs.begin(), jobs.end(), [](const Job* job) { return job->done(); });
  };
  while (goOn()) loop.pump(kLongestSleepMs, goOn);
}

}  // namespace quorvane::cli
