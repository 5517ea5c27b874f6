// PortWaiter's wait on POSIX: poll(2) on the ports' descriptors.
#include <poll.h>

#include <cerrno>

#include "serial/serial_device.h"

namespace quorvane {

bool waitForArrival(std::span<const ArrivalHandle> handles, int timeoutMs,
                    std::vector<bool>& signalled, SystemError& error) {
  std::vector<pollfd> fds(handles.size());
  for (std::size_t i = 0; i < handles.size(); ++i)
    fds[i] = pollfd{static_cast<int>(handles[i]), POLLIN, 0};  // poll skips -1
  signalled.assign(handles.size(), false);
  const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
  if (ready < 0) {
    if (errno == EINTR) return true;  // as if nothing arrived yet
    error = SystemError::fromLast("poll");
    return false;
  }
  for (std::size_t i = 0; i < fds.size(); ++i) signalled[i] = fds[i].revents != 0;
  return true;
}

}  // namespace quorvane
