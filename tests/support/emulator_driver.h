// Lock step against the receiver emulator: settle() before each tick, so it sees every answer.
#pragma once

#include <string>

#include "receiver_emulator.h"
#include "serial/serial_port.h"

namespace quorvane::test {

// Waits until the emulator has handled every byte written before the call, sent all its answer (no
// split delay, turnaround or pacing under way), and that has drained into `port`'s queue
// (bytesInQueue drains it), or the queue is full. Works across reopening. False on time-out.
bool settle(emu::ReceiverEmulator& emulator, SerialPort& port, int timeoutMs = 5000);

// An emulator with the given options, started; the test fails (ADD_FAILURE) when it cannot start.
struct StartedEmulator {
  explicit StartedEmulator(emu::EmulatorOptions options = {});
  emu::ReceiverEmulator emulator;
  const std::string& path() const { return emulator.devicePath(); }
};

}  // namespace quorvane::test
