// The serial line between the emulated receiver and the PC, on its pty.
// Without pacing it passes bytes as fast as the pty takes them. With pacing
// each direction has its own line clock at 10 bits per byte: bytes go out
// and are taken in in chunks of 16, each at the absolute moment (steady
// clock) its last byte would have left the wire, so a late wake-up never
// makes the line faster, it only catches up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pty_endpoint.h"

namespace quorvane::emu {

// One run of bytes for the PC: an answer or a piece of one, a block, raw
// bytes. The line looks only at the bytes and the pauses; the rest is for
// whoever handles the run once it has left.
struct Outgoing {
  std::vector<std::uint8_t> bytes;
  std::chrono::milliseconds pause{0};  // after the previous run has left
  bool turnaround = false;             // first the receiver's own time per block
  std::string logText;
  bool servesBlock = false;                  // a read block
  bool vanishAfter = false;                  // the device goes once the PC has taken the run
  std::optional<unsigned> completesUpgrade;  // the upgrade (from 1) its last answer ends
};

struct LineTiming {
  bool pace = false;
  int baud = 0;          // with `pace`; bits per second
  int turnaroundMs = 0;  // before each block sent and each answer to a block taken
};

class PacedLine {
 public:
  using Clock = std::chrono::steady_clock;

  PacedLine(PtyEndpoint& pty, LineTiming timing);

  // Both line clocks are free from `now`.
  void restart(Clock::time_point now);
  void queue(Outgoing run) { out_.push_back(std::move(run)); }
  // Drops every run not yet out, the one half out included.
  void dropQueued();
  // Drops the queue and the input still on its way.
  void reset();

  bool sending() const { return !out_.empty(); }
  bool holdingInput() const { return !held_.empty(); }
  bool writeBlocked() const { return blocked_; }
  std::uint64_t bytesSent() const { return sent_; }
  std::uint64_t bytesReceived() const { return received_; }

  // Writes what is due. Each run that has left whole goes to `left`; false
  // from it stops the pump. A failed write sets `failure`. Returns when the
  // next byte is due, or max() when nothing is waiting for the clock.
  Clock::time_point pumpOut(const std::function<bool(Outgoing&)>& left, std::string& failure);
  // Takes in what has arrived and hands it to `arrived` at the moment its
  // last byte would have arrived. `drained`: the pty had nothing more.
  // Returns when the bytes held back are due, or max().
  Clock::time_point pumpIn(const std::function<void(const std::uint8_t*, std::size_t)>& arrived,
                           bool& drained);

 private:
  Clock::duration bytesTime(std::size_t count) const { return byteTime_ * long(count); }

  PtyEndpoint& pty_;
  const LineTiming timing_;
  const Clock::duration byteTime_;
  std::deque<Outgoing> out_;
  bool scheduled_ = false;     // the front run's start is fixed
  Clock::time_point readyAt_;  // the front run starts no sooner
  std::size_t done_ = 0;       // bytes of the front run written
  bool blocked_ = false;       // the pty would take no more
  Clock::time_point txFree_;   // the last byte out has left the wire
  Clock::time_point rxFree_;   // the last byte in has arrived
  std::vector<std::uint8_t> readBuffer_;
  std::vector<std::uint8_t> held_;  // paced input taken, not yet arrived
  Clock::time_point heldUntil_;
  std::uint64_t sent_ = 0;
  std::uint64_t received_ = 0;
};

}  // namespace quorvane::emu
