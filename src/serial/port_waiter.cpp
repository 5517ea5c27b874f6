// PortWaiter, the same on every platform but for the wait itself
// (waitForArrival in posix/ or win32/port_waiter_*.cpp).
#include "serial/port_waiter.h"

#include <algorithm>
#include <chrono>

#include "serial/serial_device.h"
#include "serial/serial_port.h"

namespace quorvane {

PortWaiter::Round PortWaiter::armAndLook(std::span<const PortWatch> ports,
                                         std::vector<std::size_t>& ready) {
  // Arm first, then look at the queues: bytes that arrive in between signal
  // the armed wait, so none is missed. A level-triggered handle shows what
  // its device holds anyway: only the port's own queue is looked at, and
  // the device once it signals.
  Round round;
  std::size_t armed = 0;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    ArrivalWait& w = waits_[i];
    w.handle = kNoArrivalHandle;
    w.level = false;
    if (!ports[i].port || !ports[i].port->isOpen()) continue;
    if (!w.polled && armed < kMaxArrivalHandles) {
      w.handle = ports[i].port->device_->armArrival();
      round.unwaitable = round.unwaitable || w.handle == kNoArrivalHandle;
      w.level = w.handle != kNoArrivalHandle && ports[i].port->device_->arrivalLevelTriggered();
    }
    armed += w.handle != kNoArrivalHandle;
    round.polling = round.polling || w.handle == kNoArrivalHandle;
    round.anyLevel = round.anyLevel || w.level;
  }
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (!ports[i].port) continue;
    ArrivalWait& w = waits_[i];
    w.held = w.level ? ports[i].port->queuedBytes() : ports[i].port->bytesInQueue();
    if (w.held >= std::max(ports[i].wanted, 1u)) ready.push_back(i);
  }
  return round;
}

std::vector<std::size_t> PortWaiter::wait(std::span<const PortWatch> ports, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  const std::size_t n = ports.size();
  const auto want = [&](std::size_t i) { return std::max(ports[i].wanted, 1u); };
  lastError_ = {};
  waits_.assign(n, ArrivalWait{});
  std::vector<std::size_t> ready;
  for (;;) {
    const Round round = armAndLook(ports, ready);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // With a port ready, the others' handles are still looked at, without
    // waiting: every port whose bytes are there is reported.
    if ((!ready.empty() || left <= 0) && !round.anyLevel) return ready;
    const int slice = !ready.empty() || left <= 0 ? 0
                      : round.polling
                          ? static_cast<int>(std::min<long long>(
                                left, round.unwaitable ? kUnwaitablePollMs : kPortPollMs))
                          : static_cast<int>(left);
    if (!waitForArrival(waits_, slice, lastError_)) return ready;
    bool woken = false;
    for (std::size_t i = 0; i < n; ++i) {
      ArrivalWait& w = waits_[i];
      if (!w.signalled) continue;
      woken = true;
      // A port that brought bytes, too few yet, is watched on; one that
      // brought none (a device that has gone keeps signalling) is polled.
      const bool wasReady = w.held >= want(i);
      const unsigned now = ports[i].port->bytesInQueue();
      if (now <= w.held) w.polled = true;
      if (!wasReady && now >= want(i)) ready.push_back(i);
      w.held = now;
    }
    std::sort(ready.begin(), ready.end());
    if (!ready.empty() || slice == 0) return ready;
    if (!woken && !round.polling) return ready;  // the time is up, or a signal came
  }
}

}  // namespace quorvane
