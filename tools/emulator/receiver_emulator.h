// A receiver's loader at the far end of a pseudo-terminal: it answers the
// connection request, serves its flash block by block to a read, takes an
// upgrade block by block, logs key frames, and injects faults on request.
// It runs its own thread; every observer below is thread-safe.
//
// The parts: the loader (loader_model.h) with its faults around it
// (fault_plan.h), the paced line (paced_line.h) and the pty (pty_endpoint.h);
// this class runs them on a service thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "loader_model.h"
#include "power_model.h"
#include "serial/command_frame.h"
#include "serial/protocol.h"

namespace quorvane::emu {

struct EmulatorOptions {
  int modelNumber = 1;              // 1..16: its type, and so its flash size
  std::vector<std::uint8_t> flash;  // blockCount * 4096 bytes; empty: pattern
  bool pace = false;                // emulate the line rate both ways
  int baud = kLineSpeed;            // with `pace`: bits per second
  int blockTurnaroundMs = 0;        // its own time per block (e.g. programming)
  UpgradeAnswer upgradeAnswer = UpgradeAnswer::Ack0;
  FaultPlan faults;
  std::string linkPath;      // if set: a symlink to the pty made there
  std::string saveFlashTo;   // if set: flash saved here after a
                             // complete upgrade
  std::FILE* log = nullptr;  // frame log (hex and meaning), or none
  // Power and boot (power_model.h): switched on from the start, its boot
  // window (0: always in its loader) and its save time after an upgrade.
  bool poweredOn = true;
  int bootWindowMs = 0;
  int saveMs = 0;
  // If set: each unit's flash after a complete upgrade or read is saved
  // here as unit-NNNN.bin, and "unit N upgraded" / "unit N read" logged.
  std::string unitsDir;
};

// The file a unit's flash is saved to in a units directory: unit-0002.bin.
std::string unitFileName(int unit);

class ReceiverEmulator {
 public:
  explicit ReceiverEmulator(EmulatorOptions options = {});
  ~ReceiverEmulator();  // stops the thread and closes the pty
  ReceiverEmulator(const ReceiverEmulator&) = delete;
  ReceiverEmulator& operator=(const ReceiverEmulator&) = delete;

  // Opens the pty (raw from the start) and starts serving. False on failure.
  bool start();
  void stop();

  // The pty's device path (the side the tool opens).
  const std::string& devicePath() const;

  // ---- observations ----------------------------------------------------
  // Every 12-byte frame the PC sent, in order (block data excluded).
  std::vector<FrameBytes> framesReceived() const;
  // Key codes of the key frames received, in order.
  std::vector<std::uint8_t> keyCodesReceived() const;
  // Its flash as it is now (after an upgrade: what it received).
  std::vector<std::uint8_t> flash() const;
  unsigned blocksSent() const;          // read: blocks served so far
  unsigned blocksReceived() const;      // upgrade: blocks taken so far
  bool upgradeComplete() const;         // the last block taken and answered
  std::uint64_t bytesSent() const;      // everything written to the PC
  std::uint64_t bytesReceived() const;  // everything read from the PC

  // True once it has nothing left to send right now: every byte it means to
  // send in answer to what it has received is written, and no pause (split
  // delay, turnaround, pacing) is under way. Waits at most timeoutMs.
  bool waitIdle(int timeoutMs = 5000) const;
  // True when every byte it has written has been taken from the device by
  // whoever holds it open (the tool's port has drained it), or when the pty
  // is closed. Together with waitIdle this settles the line exactly, however
  // often the tool has closed and reopened the device.
  bool outputDelivered() const;
  // Waits until `predicate` holds (checked every millisecond) or timeout.
  bool waitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000) const;

  // ---- interventions ---------------------------------------------------
  void sendRaw(const std::vector<std::uint8_t>& bytes);  // to the PC
  void vanish();                                         // closes its side of the pty now
  void setFaults(const FaultPlan& faults);

  // ---- power and units -------------------------------------------------
  // The first unit is unit 1, with the flash of the options. Each change
  // is logged.
  void switchOn();
  void switchOff();
  // Switches the receiver off and puts the next unit in its place, still
  // switched off: unit number + 1, its own flash (unitFlash), ModelNumber
  // `modelNumber` if given (else the same), and, if `silent`, one that
  // never answers. False (nothing changed) for a ModelNumber out of range.
  bool swapUnit(std::optional<int> modelNumber, bool silent);
  int unit() const;
  PowerModel::State powerState() const;
  // A line of its own in the log; false when there is no log.
  bool note(const std::string& text);

 private:
  struct State;
  State* state_;  // owned; defined in the implementation
};

}  // namespace quorvane::emu
