// PortWaiter, the same on every platform but for the wait itself
// (waitForArrival in posix/ or win32/port_waiter_*.cpp).
#include "serial/port_waiter.h"

#include <algorithm>
#include <chrono>

#include "serial/serial_device.h"
#include "serial/serial_port.h"

namespace quorvane {

std::vector<std::size_t> PortWaiter::wait(std::span<SerialPort* const> ports, int timeoutMs) {
  return wait(ports, {}, timeoutMs);
}

std::vector<std::size_t> PortWaiter::wait(std::span<SerialPort* const> ports,
                                          std::span<const unsigned> wanted, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  const std::size_t n = ports.size();
  const auto want = [&](std::size_t i) { return i < wanted.size() ? std::max(wanted[i], 1u) : 1u; };
  lastError_ = {};
  leftOut_.assign(n, false);
  held_.assign(n, 0);
  std::vector<std::size_t> ready;
  for (;;) {
    // Arm first, then look at the queues: bytes that arrive in between
    // signal the armed wait, so none is missed. A level-triggered handle
    // shows what its device holds anyway: only the port's own queue is
    // looked at, and the device once it signals.
    handles_.assign(n, kNoArrivalHandle);
    level_.assign(n, false);
    for (std::size_t i = 0; i < n; ++i) {
      if (!ports[i] || !ports[i]->isOpen() || leftOut_[i]) continue;
      handles_[i] = ports[i]->device_->armArrival();
      level_[i] = handles_[i] != kNoArrivalHandle && ports[i]->device_->arrivalLevelTriggered();
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!ports[i]) continue;
      held_[i] = level_[i] ? ports[i]->queuedBytes() : ports[i]->bytesInQueue();
      if (held_[i] >= want(i)) ready.push_back(i);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // Ports that can't be waited on are looked at every kUnwaitablePollMs,
    // ports left out for the rest of the call every kPortPollMs.
    bool polling = false;
    bool unwaitable = false;
    for (std::size_t i = 0; i < n; ++i) {
      if (!ports[i] || !ports[i]->isOpen() || handles_[i] != kNoArrivalHandle) continue;
      polling = true;
      unwaitable = unwaitable || !leftOut_[i];
    }
    // With a port ready, the others' handles are still looked at, without
    // waiting: every port whose bytes are there is reported.
    const bool anyLevel = std::find(level_.begin(), level_.end(), true) != level_.end();
    if ((!ready.empty() || left <= 0) && !anyLevel) return ready;
    const int slice = !ready.empty() || left <= 0 ? 0
                      : polling                   ? static_cast<int>(std::min<long long>(
                                      left, unwaitable ? kUnwaitablePollMs : kPortPollMs))
                                                  : static_cast<int>(left);
    if (!waitForArrival(handles_, slice, signalled_, lastError_)) return ready;
    bool woken = false;
    for (std::size_t i = 0; i < n; ++i) {
      if (!signalled_[i]) continue;
      woken = true;
      // A port that brought bytes, too few yet, is watched on; one that
      // brought none (a device that has gone keeps signalling) is polled.
      const bool wasReady = held_[i] >= want(i);
      const unsigned now = ports[i]->bytesInQueue();
      if (now <= held_[i]) leftOut_[i] = true;
      if (!wasReady && now >= want(i)) ready.push_back(i);
      held_[i] = now;
    }
    std::sort(ready.begin(), ready.end());
    if (!ready.empty() || slice == 0) return ready;
    if (!woken && !polling) return ready;  // the time is up, or a signal came
  }
}

}  // namespace quorvane
