// A receiver's loader at the far end of a pseudo-terminal: it answers the
// connection request, serves its flash block by block to a read, takes an
// upgrade block by block, logs key frames, and injects faults on request.
// It runs its own thread; every observer below is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "serial/command_frame.h"
#include "serial/protocol.h"

namespace quorvane::emu {

// Which answer the receiver gives before each upgrade block and after the
// last: one of its family's three acknowledgements, its own type answer, or
// the three acknowledgements in turn.
enum class UpgradeAnswer { Ack0, Ack1, Ack2, Ident, Rotate };

// Faults; block numbers count from 0, -1 means "never".
struct FaultPlan {
  bool silentAfterStart = false;   // never answer the connect/start frame
  int silentAfterBlock = -1;       // read: nothing after sending block N;
                                   // upgrade: no answer after receiving block N
  bool wrongAnswer = false;        // answer with a frame that is neither an
                                   // IdentFrame nor an acknowledgement
  int otherModel = 0;              // 1..16: answer with that ModelNumber's
                                   // IdentFrame instead of its own (connect:
                                   // instead of the acknowledgement)
  bool otherGroup = false;         // upgrade: answer from the other AckGroup
  int splitPieces = 0;             // >1: every answer sent in this many pieces
  int splitDelayMs = 0;            //     with this pause between them
  std::size_t surplusBytes = 0;    // stray bytes after every answer and block
  int shortBlock = -1;             // read: block N sent `shortBy` bytes short,
  std::size_t shortBy = 1;         //       then silence
  int corruptBlock = -1;           // read: one byte of block N flipped
  std::size_t corruptOffset = 0;   //       at this offset within the block
  int vanishAfterBlock = -1;       // close the pty after block N (read: sent;
                                   // upgrade: received); -2: right after the
                                   // start frame arrives
  int answerFaultAfterBlock = -1;  // upgrade: wrongAnswer, otherModel and
                                   // otherGroup touch only the answers after
                                   // block N; -1: every answer
};

// The frame sent for FaultPlan::wrongAnswer: neither an IdentFrame nor an
// acknowledgement of either group.
inline constexpr FrameBytes kWrongAnswerFrame = makeFrame(0x5A);
// The value of every surplus byte (FaultPlan::surplusBytes).
inline constexpr std::uint8_t kSurplusByte = 0xE5;
// XORed into the byte that FaultPlan::corruptBlock flips.
inline constexpr std::uint8_t kCorruptMask = 0xFF;

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
};

// A recognisable, deterministic flash content of the model's size.
std::vector<std::uint8_t> patternFlash(int modelNumber);

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

 private:
  struct State;
  State* state_;  // owned; defined in the implementation
};

}  // namespace quorvane::emu
