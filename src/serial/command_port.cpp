#include "serial/command_port.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace quorvane {

void sleepMilliseconds(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

unsigned CommandPort::sendCommand(std::uint8_t command, std::uint8_t param1, std::uint8_t param2,
                                  std::uint8_t param3) {
  const FrameBytes frame = makeFrame(command, param1, param2, param3);
  return write(frame.data(), static_cast<unsigned>(frame.size()));
}

AckWait::Result AckWait::poll(SerialPort& port, FrameBytes& answer) {
  // Counted, not clocked: the limit is a number of polls, however long the
  // sleeps between them really take.
  if (polls_ >= kAckPollLimit) return Result::TimedOut;
  if (port.bytesInQueue() != kFrameSize) {  // fewer, or more than one answer
    // A device that has gone sends nothing more: the wait ends as if timed out.
    if (port.waitEndsNow()) return Result::TimedOut;
    ++polls_;
    return Result::Pending;
  }
  answer = {};
  const unsigned got = port.read(answer.data(), static_cast<unsigned>(answer.size()));
  return got == kFrameSize && isAcknowledgement(answer) ? Result::Acknowledged : Result::Refused;
}

}  // namespace quorvane
