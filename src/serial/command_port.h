// A SerialPort that speaks command frames: sendCommand and the
// acknowledgement wait of the connect handshake. No data of its own.
#pragma once

#include <cstdint>
#include <functional>

#include "serial/command_frame.h"
#include "serial/serial_port.h"

namespace quorvane {

// The acknowledgement wait: counted polls, not a clock.
inline constexpr int kAckPollIntervalMs = 10;
inline constexpr int kAckWaitLimitMs = 2000;  // 200 polls of 10 ms

// Sleeps for the given milliseconds. Injectable so that tests of the counted
// waits need not really sleep.
using SleepFn = std::function<void(int ms)>;
void sleepMilliseconds(int ms);

class CommandPort : public SerialPort {
 public:
  // Writes the 12-byte frame (magic, param1, command, param2, param3) in one
  // call. Returns the bytes written: 12, or 0 on failure or when closed.
  unsigned sendCommand(std::uint8_t command, std::uint8_t param1 = 0, std::uint8_t param2 = 0,
                       std::uint8_t param3 = 0);

  // Writes a ready-made frame in one call.
  unsigned sendFrame(const FrameBytes& frame);

  // Waits for exactly twelve waiting bytes equal to the acknowledgement
  // frame: up to kAckWaitLimitMs / kAckPollIntervalMs polls with a sleep of
  // kAckPollIntervalMs between them (counted, not clocked). Twelve bytes that
  // differ are consumed; on a time-out waiting bytes stay queued. On failure
  // the stop frame is sent and false returned.
  bool waitAck(const SleepFn& sleep = sleepMilliseconds);
};

}  // namespace quorvane
