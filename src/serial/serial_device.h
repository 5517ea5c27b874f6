// The operating system's part of a serial port: what SerialPort
// (serial_port.cpp) and PortWaiter (port_waiter.cpp) need of a device, one
// implementation per platform (posix/serial_device_posix.cpp,
// win32/serial_device_win32.cpp). Everything else (the input queue, the
// counts, the write bound, the error bookkeeping) lives with SerialPort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/system_error.h"
#include "serial/port_waiter.h"
#include "serial/serial_port.h"

namespace quorvane {

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;  // closes the device, undoing what open changed

  // Moves bytes that have arrived into `into` without waiting for more
  // (a transfer the system still has pending is waited for at most
  // kReadWaitLimitMs) and returns their count. Clears line errors. 0 when
  // nothing is waiting, and then `error` is set if the device has failed
  // or gone.
  virtual std::size_t readSome(std::span<std::uint8_t> into, SystemError& error) = 0;

  // Writes a first part of `bytes`, waiting at most `waitMs` for the
  // device to take it, and returns the count. 0 with `error` unset when the
  // wait ran out first; `error` set when the device failed.
  virtual std::size_t writeSome(std::span<const std::uint8_t> bytes, int waitMs,
                                SystemError& error) = 0;

  // Sets the "binary" line flag and writes the line settings back.
  virtual bool setBinary(bool on, SystemError& error) = 0;

  virtual LineState hardwareFlowControl() = 0;
  virtual LineState clearToSend() = 0;
  // The line settings as they are now; unknown where the system can't say.
  virtual LineSettings lineSettings() { return {}; }

  // Makes the device's arrival handle ready to be waited on (Windows: issues
  // the EV_RXCHAR wait unless one is pending, dropping one that completed
  // earlier) and returns it; kNoArrivalHandle when the device has none.
  virtual ArrivalHandle armArrival() = 0;
  // True when the handle shows bytes the device holds for as long as it
  // holds them (POSIX poll), not only their arrival while a wait is armed:
  // then a wait needs no look at the device after arming it.
  virtual bool arrivalLevelTriggered() const { return false; }
};

enum class DeviceSetup {
  Configure,  // a session: speed, 8 data bits, byte-transparent, queues, flushed
  Inspect,    // a probe: opened exclusively, every setting left as it is
};

// Opens `path` for exclusive reading and writing and sets it up. Null, with
// `error` set, on failure; nothing is held then.
std::unique_ptr<SerialDevice> openSerialDevice(const std::string& path, int speed,
                                               DeviceSetup setup, SystemError& error);

// Waits until one of the handles (armed by armArrival; at most
// kMaxArrivalHandles that are not kNoArrivalHandle) signals or `timeoutMs`
// passes, and sets `signalled` of each wait accordingly. False, with
// `error` set, when the wait itself failed.
bool waitForArrival(std::span<ArrivalWait> waits, int timeoutMs, SystemError& error);

}  // namespace quorvane
