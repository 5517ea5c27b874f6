// PortWaiter's wait on POSIX: poll(2) on the ports' descriptors.
#include <poll.h>

#include <cerrno>

#include "serial/serial_device.h"

namespace quorvane {

bool waitForArrival(std::span<ArrivalWait> waits, int timeoutMs, SystemError& error) {
  std::vector<pollfd> fds(waits.size());
  for (std::size_t i = 0; i < waits.size(); ++i) {
    fds[i] = pollfd{static_cast<int>(waits[i].handle), POLLIN, 0};  // poll skips -1
    waits[i].signalled = false;
  }
  const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
  if (ready < 0) {
    if (errno == EINTR) return true;  // as if nothing arrived yet
    error = SystemError::fromLast("poll");
    return false;
  }
  for (std::size_t i = 0; i < fds.size(); ++i) waits[i].signalled = fds[i].revents != 0;
  return true;
}

}  // namespace quorvane
