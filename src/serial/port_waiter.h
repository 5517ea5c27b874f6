// Waiting for bytes to arrive on any of several open ports at once, so that
// an event loop driving many receivers reacts the moment an answer comes
// instead of at its next tick.
//
// Contract of wait(ports, timeoutMs):
// - It returns the indices (into `ports`, ascending) of the ports that have
//   received bytes waiting to be read, as soon as there is at least one;
//   empty when `timeoutMs` passed first (a negative timeout counts as 0),
//   when a signal interrupted the wait (POSIX), or when the wait failed
//   (lastError() says why; it is cleared by every call).
// - A port whose own queue already holds bytes is ready at once, without
//   waiting. Looking at the ports has the effect of bytesInQueue() on each:
//   what the device holds moves into the port's queue, line errors are
//   cleared. (Where the device's handle is level-triggered, POSIX, a device
//   is read only once its handle shows bytes.)
// - Null and closed ports are never ready and are not waited on.
// - A port whose device can't be waited on (Wine aborts every EV_RXCHAR wait
//   on a pseudo-terminal) is looked at every kUnwaitablePollMs instead, so
//   that bytes awaited in a block's last milliseconds are taken as they
//   complete. A port that woke the wait without bytes (a device that has
//   gone keeps signalling) is looked at every kPortPollMs for the rest of
//   that call, so that it never makes the wait spin. The next call watches
//   it again.
// - POSIX waits with poll(2) on the descriptors, without a limit on their
//   number. Windows keeps one overlapped WaitCommEvent(EV_RXCHAR) pending per
//   port and waits with WaitForMultipleObjects, which takes at most
//   kMaxWaitPorts (64) handles: with more open ports wait() fails
//   (ERROR_INVALID_PARAMETER). Callers stay within kMaxWaitPorts.
// - Single-threaded, like the ports: call it from the thread that uses them.
//
// wait(ports, wanted, timeoutMs) is the same but for when a port is ready:
// once its queue holds at least wanted[i] bytes (0 counts as 1; a missing
// entry as 1). A port that brings fewer is watched on, so a caller can
// sleep until a whole answer or block is there, or until the next bytes
// come (wanted = what the queue holds + 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/system_error.h"

namespace quorvane {

class SerialPort;

inline constexpr std::size_t kMaxWaitPorts = 64;
inline constexpr int kPortPollMs = 10;
inline constexpr int kUnwaitablePollMs = 1;

class PortWaiter {
 public:
  std::vector<std::size_t> wait(std::span<SerialPort* const> ports, int timeoutMs);
  std::vector<std::size_t> wait(std::span<SerialPort* const> ports,
                                std::span<const unsigned> wanted, int timeoutMs);

  const SystemError& lastError() const { return lastError_; }

 private:
  std::vector<std::intptr_t> handles_;
  std::vector<bool> signalled_;
  std::vector<bool> leftOut_;
  std::vector<unsigned> held_;  // each port's queue at the last look
  std::vector<bool> level_;     // its handle is level-triggered
  SystemError lastError_;
};

}  // namespace quorvane
