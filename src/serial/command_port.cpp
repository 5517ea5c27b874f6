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
  return sendFrame(makeFrame(command, param1, param2, param3));
}

unsigned CommandPort::sendFrame(const FrameBytes& frame) {
  return write(frame.data(), static_cast<unsigned>(frame.size()));
}

bool CommandPort::waitAck(const SleepFn& sleep) {
  // Counted, not clocked: the limit is a number of polls, however long each
  // sleep really takes.
  bool matched = false;
  for (int elapsed = 0;;) {
    if (bytesInQueue() == kFrameSize) {
      FrameBytes answer{};
      const unsigned got = read(answer.data(), static_cast<unsigned>(answer.size()));
      matched = got == kFrameSize && answer == kAckFrame;
      break;  // twelve bytes that differ are consumed and end the wait
    }
    if (sleep)
      sleep(kAckPollIntervalMs);
    else
      sleepMilliseconds(kAckPollIntervalMs);
    elapsed += kAckPollIntervalMs;
    if (elapsed >= kAckWaitLimitMs) break;  // waiting bytes stay queued
  }
  if (!matched) sendFrame(kStopFrame);
  return matched;
}

}  // namespace quorvane
