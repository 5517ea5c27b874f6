#include "support/emulator_driver.h"

#include <gtest/gtest.h>

#include <chrono>

#include "serial/protocol.h"

namespace quorvane::test {

bool settle(emu::ReceiverEmulator& emulator, SerialPort& port, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Drain first: the emulator may be waiting for the tool to take what it sent (a device that
    // vanishes once its last block has arrived).
    const unsigned waiting = port.bytesInQueue();
    if (emulator.waitIdle(2) && (emulator.outputDelivered() || waiting >= kDriverQueueSize)) {
      port.bytesInQueue();
      return true;
    }
    if (Clock::now() >= end) return false;
  }
}

StartedEmulator::StartedEmulator(emu::EmulatorOptions options) : emulator(std::move(options)) {
  if (!emulator.start()) ADD_FAILURE() << "the receiver emulator did not start";
}

}  // namespace quorvane::test
