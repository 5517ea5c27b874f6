// PortWaiter's wait on Windows: WaitForMultipleObjects on the events of the
// ports' EV_RXCHAR waits, at most MAXIMUM_WAIT_OBJECTS (64) of them
// (PortWaiter arms no more than kMaxArrivalHandles).
#include <windows.h>

#include "serial/serial_device.h"

namespace quorvane {

bool waitForArrival(std::span<ArrivalWait> waits, int timeoutMs, SystemError& error) {
  std::vector<HANDLE> events;
  std::vector<std::size_t> owners;
  for (std::size_t i = 0; i < waits.size(); ++i) {
    waits[i].signalled = false;
    if (waits[i].handle == kNoArrivalHandle) continue;
    events.push_back(reinterpret_cast<HANDLE>(waits[i].handle));
    owners.push_back(i);
  }
  const DWORD waitMs = static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs);
  if (events.empty()) {
    ::Sleep(waitMs);
    return true;
  }
  if (events.size() > MAXIMUM_WAIT_OBJECTS) {
    error = SystemError::fromCode("WaitForMultipleObjects", ERROR_INVALID_PARAMETER);
    return false;
  }
  const DWORD result =
      ::WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, waitMs);
  if (result == WAIT_FAILED) {
    error = SystemError::fromLast("WaitForMultipleObjects");
    return false;
  }
  if (result == WAIT_TIMEOUT) return true;
  // The result names the first event that is set; others may be set too.
  for (std::size_t k = 0; k < events.size(); ++k)
    waits[owners[k]].signalled = ::WaitForSingleObject(events[k], 0) == WAIT_OBJECT_0;
  return true;
}

}  // namespace quorvane
