// PortWaiter, the same on every platform but for the wait itself
// (waitForArrival in posix/ or win32/port_waiter_*.cpp).
#include "serial/port_waiter.h"

#include <algorithm>
#include <chrono>

#include "serial/serial_device.h"
#include "serial/serial_port.h"

namespace quorvane {

std::vector<std::size_t> PortWaiter::wait(std::span<const PortWatch> ports, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  const std::size_t n = ports.size();
  const auto open = [&](std::size_t i) { return ports[i].port && ports[i].port->isOpen(); };
  const auto want = [&](std::size_t i) { return std::max(ports[i].wanted, 1u); };
  lastError_ = {};
  waits_.assign(n, ArrivalWait{});
  std::vector<std::size_t> ready;
  for (;;) {
    // Arm first, then look at the queues: bytes that arrive in between
    // signal the armed wait, so none is missed. A level-triggered handle
    // shows what its device holds anyway: only the port's own queue is
    // looked at, and the device once it signals.
    std::size_t armed = 0;
    bool polling = false;  // some port is looked at every kPortPollMs
    bool anyLevel = false;
    for (std::size_t i = 0; i < n; ++i) {
      ArrivalWait& w = waits_[i];
      w.handle = kNoArrivalHandle;
      w.level = false;
      if (!open(i)) continue;
      if (!w.polled && armed < kMaxArrivalHandles) {
        w.handle = ports[i].port->device_->armArrival();
        w.level = w.handle != kNoArrivalHandle && ports[i].port->device_->arrivalLevelTriggered();
      }
      armed += w.handle != kNoArrivalHandle;
      polling = polling || w.handle == kNoArrivalHandle;
      anyLevel = anyLevel || w.level;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!ports[i].port) continue;
      ArrivalWait& w = waits_[i];
      w.held = w.level ? ports[i].port->queuedBytes() : ports[i].port->bytesInQueue();
      if (w.held >= want(i)) ready.push_back(i);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // With a port ready, the others' handles are still looked at, without
    // waiting: every port whose bytes are there is reported.
    if ((!ready.empty() || left <= 0) && !anyLevel) return ready;
    const int slice = !ready.empty() || left <= 0 ? 0
                      : polling ? static_cast<int>(std::min<long long>(left, kPortPollMs))
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
    if (!woken && !polling) return ready;  // the time is up, or a signal came
  }
}

}  // namespace quorvane
