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
// - At most kMaxArrivalHandles ports are waited on (Windows'
//   WaitForMultipleObjects takes no more); the ones beyond are looked at
//   every kPortPollMs, so any number of ports can be given.
// - Single-threaded, like the ports: call it from the thread that uses them.
//
// A port is ready once its queue holds at least `wanted` bytes (0 counts as
// 1). A port that brings fewer is watched on, so a caller can sleep until a
// whole answer or block is there, or until the next bytes come (wanted =
// what the queue holds + 1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/system_error.h"

namespace quorvane {

class SerialPort;

// What an arrival wait watches: a descriptor (POSIX, poll for input) or an
// event handle (Windows, signalled by an armed EV_RXCHAR wait).
using ArrivalHandle = std::intptr_t;
inline constexpr ArrivalHandle kNoArrivalHandle = -1;

// One port in a wait: its handle, what the platform's wait saw, and what
// the shared logic keeps of it between the rounds of one call.
struct ArrivalWait {
  ArrivalHandle handle = kNoArrivalHandle;
  bool signalled = false;  // set by waitForArrival
  bool level = false;      // the handle is level-triggered
  bool polled = false;     // looked at every kPortPollMs for the rest of the call
  unsigned held = 0;       // the port's queue at the last look
};

inline constexpr std::size_t kMaxArrivalHandles = 64;
inline constexpr int kPortPollMs = 10;
inline constexpr int kUnwaitablePollMs = 1;

// A port to wait on, and the bytes its queue must hold to be ready.
struct PortWatch {
  SerialPort* port = nullptr;
  unsigned wanted = 1;
};

class PortWaiter {
 public:
  std::vector<std::size_t> wait(std::span<const PortWatch> ports, int timeoutMs);

  const SystemError& lastError() const { return lastError_; }

 private:
  struct Round {
    bool polling = false;     // some open port is looked at every kPortPollMs
    bool unwaitable = false;  // some device can't be waited on: kUnwaitablePollMs
    bool anyLevel = false;    // some handle is level-triggered
  };
  // Arms the handles of one round and looks at every port's queue; the
  // ports that hold what they want go to `ready`.
  Round armAndLook(std::span<const PortWatch> ports, std::vector<std::size_t>& ready);

  std::vector<ArrivalWait> waits_;  // one per port
  SystemError lastError_;
};

}  // namespace quorvane
