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
  lastError_ = {};
  leftOut_.assign(ports.size(), false);
  held_.assign(ports.size(), 0);
  std::vector<std::size_t> ready;
  for (;;) {
    // Arm first, then look at the queues: bytes that arrive in between
    // signal the armed wait, so none is missed.
    handles_.assign(ports.size(), kNoArrivalHandle);
    for (std::size_t i = 0; i < ports.size(); ++i) {
      if (ports[i] && ports[i]->isOpen() && !leftOut_[i])
        handles_[i] = ports[i]->device_->armArrival();
    }
    for (std::size_t i = 0; i < ports.size(); ++i) {
      if (!ports[i]) continue;
      held_[i] = ports[i]->bytesInQueue();
      const unsigned want = i < wanted.size() ? std::max(wanted[i], 1u) : 1u;
      if (held_[i] >= want) ready.push_back(i);
    }
    if (!ready.empty()) return ready;

    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ready;
    // Ports that can't be waited on are looked at every kPortPollMs.
    bool polling = false;
    for (std::size_t i = 0; i < ports.size(); ++i)
      polling = polling || (ports[i] && ports[i]->isOpen() && handles_[i] == kNoArrivalHandle);
    const int slice = static_cast<int>(polling ? std::min<long long>(left, kPortPollMs) : left);
    if (!waitForArrival(handles_, slice, signalled_, lastError_)) return ready;
    bool woken = false;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      if (!signalled_[i]) continue;
      woken = true;
      // A port that brought bytes, too few yet, is watched on; one that
      // brought none (a device that has gone keeps signalling) is polled.
      if (ports[i]->bytesInQueue() <= held_[i]) leftOut_[i] = true;
    }
    if (!woken && !polling) return ready;  // the time is up, or a signal came
  }
}

}  // namespace quorvane
