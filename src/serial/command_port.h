// A SerialPort that speaks command frames: sendCommand, the one way a frame
// is sent, and the acknowledgement wait of the connect handshake (AckWait,
// one poll per call, so that the handshake's front end schedules the
// sleeps). No data of its own.
#pragma once

#include <cstdint>
#include <functional>

#include "serial/command_frame.h"
#include "serial/serial_port.h"

namespace quorvane {

// The acknowledgement wait: counted polls, not a clock.
inline constexpr int kAckPollIntervalMs = 10;
inline constexpr int kAckPollLimit = 200;  // 2000 ms of 10 ms polls

// Sleeps for the given milliseconds. Injectable so that tests of the counted
// waits need not really sleep.
using SleepFn = std::function<void(int ms)>;
void sleepMilliseconds(int ms);

// Whether twelve bytes are the plain acknowledgement, the loader's answer to
// the connection request.
inline bool isAcknowledgement(const FrameBytes& frame) {
  return frame == kAckFrame;
}

// The acknowledgement wait, one poll per call. A poll finding exactly
// twelve bytes waiting takes them: they are the answer, the acknowledgement
// frame or not (twelve bytes that differ are consumed and end the wait).
// Otherwise the poll is counted and the caller waits kAckPollIntervalMs
// before the next; after kAckPollLimit such polls the wait has timed out
// without looking again, and waiting bytes stay queued. On a port whose
// waits end on disconnection (SerialPort::waitEndsNow) a gone device times
// the wait out at once.
class AckWait {
 public:
  enum class Result { Pending, Acknowledged, Refused, TimedOut };
  Result poll(SerialPort& port, FrameBytes& answer);

 private:
  int polls_ = 0;
};

class CommandPort : public SerialPort {
 public:
  // Writes the 12-byte frame (magic, param1, command, param2, param3) in one
  // call. Returns the bytes written: 12, or 0 on failure or when closed.
  unsigned sendCommand(std::uint8_t command, std::uint8_t param1 = 0, std::uint8_t param2 = 0,
                       std::uint8_t param3 = 0);
};

}  // namespace quorvane
