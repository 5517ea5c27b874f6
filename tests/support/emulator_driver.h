// Lock-step driving of a tool-side state machine against the receiver emulator: before each tick,
// settle() so that the tick sees exactly what the emulator has answered to everything the tool has
// sent so far.
#pragma once

#include <string>

#include "receiver_emulator.h"
#include "serial/serial_port.h"

namespace quorvane::test {

// Waits until the emulator has handled every byte the tool wrote before the call, has sent all it
// means to send in answer (no split delay, turnaround or pacing still under way), and every byte it
// sent has been drained into `port`'s own input queue (bytesInQueue is called to drain). Also true
// when the port's queue is full, as nothing more can arrive then. Works across closing and
// reopening the device. False on time-out.
bool settle(emu::ReceiverEmulator& emulator, SerialPort& port, int timeoutMs = 5000);

// An emulator with the given options, started; the test fails (ADD_FAILURE) when it cannot start.
struct StartedEmulator {
  explicit StartedEmulator(emu::EmulatorOptions options = {});
  emu::ReceiverEmulator emulator;
  const std::string& path() const { return emulator.devicePath(); }
};

}  // namespace quorvane::test
