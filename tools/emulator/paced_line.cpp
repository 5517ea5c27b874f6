#include "paced_line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "serial/serial_port.h"

namespace quorvane::emu {

namespace {

// Paced bytes go out (and are taken in) in chunks this small, each at the
// moment its last byte would have left the wire.
constexpr std::size_t kPaceChunk = 16;
constexpr std::size_t kReadBufferSize = 65536;

PacedLine::Clock::duration byteTimeAt(const LineTiming& timing) {
  if (!timing.pace || timing.baud <= 0) return PacedLine::Clock::duration::zero();
  return lineByteTime(timing.baud);
}

}  // namespace

PacedLine::PacedLine(PtyEndpoint& pty, LineTiming timing)
    : pty_(pty),
      timing_(timing),
      byteTime_(byteTimeAt(timing)),
      readBuffer_(timing.pace ? kPaceChunk : kReadBufferSize) {}

void PacedLine::restart(Clock::time_point now) {
  txFree_ = rxFree_ = now;
}

void PacedLine::dropQueued() {
  out_.clear();
  scheduled_ = false;
  done_ = 0;
}

void PacedLine::reset() {
  dropQueued();
  held_.clear();
}

PacedLine::Clock::time_point PacedLine::pumpOut(const std::function<bool(Outgoing&)>& left,
                                                std::string& failure) {
  blocked_ = false;
  while (!out_.empty() && pty_.isOpen()) {
    Outgoing& run = out_.front();
    const auto now = Clock::now();
    if (!scheduled_) {
      scheduled_ = true;
      const auto turnaround = std::chrono::milliseconds(run.turnaround ? timing_.turnaroundMs : 0);
      readyAt_ = (timing_.pace ? std::max(now, txFree_) : now) + run.pause + turnaround;
    }
    if (now < readyAt_) return readyAt_;
    std::size_t want = run.bytes.size() - done_;
    Clock::time_point chunkDue = now;
    if (timing_.pace && want > 0) {
      // The line is busy until txFree_; this chunk's last byte leaves the
      // wire `want` byte times after the later of that and readyAt_.
      want = std::min(want, kPaceChunk);
      chunkDue = std::max(txFree_, readyAt_) + bytesTime(want);
      if (now < chunkDue) return chunkDue;
    }
    if (want > 0) {
      const long written = pty_.write(run.bytes.data() + done_, want);
      if (written < 0) {
        failure = std::string("write failed: ") + std::strerror(errno);
        return Clock::time_point::max();
      }
      if (written == 0) {
        blocked_ = true;
        return Clock::time_point::max();
      }
      done_ += std::size_t(written);
      sent_ += std::uint64_t(written);
      if (timing_.pace) txFree_ = chunkDue - bytesTime(want - std::size_t(written));
      if (done_ < run.bytes.size()) continue;
    }
    Outgoing whole = std::move(run);
    out_.pop_front();
    scheduled_ = false;
    done_ = 0;
    if (!left(whole)) break;
  }
  return Clock::time_point::max();
}

PacedLine::Clock::time_point PacedLine::pumpIn(
    const std::function<void(const std::uint8_t*, std::size_t)>& arrived, bool& drained) {
  std::vector<std::uint8_t>& buf = readBuffer_;
  drained = false;
  for (;;) {
    if (!pty_.isOpen()) return Clock::time_point::max();
    bool continuous = false;
    if (!held_.empty()) {
      if (Clock::now() < heldUntil_) return heldUntil_;
      rxFree_ = heldUntil_;
      const std::vector<std::uint8_t> chunk = std::exchange(held_, {});
      arrived(chunk.data(), chunk.size());
      continuous = true;
      if (!pty_.isOpen()) return Clock::time_point::max();
    }
    const long got = pty_.read(buf.data(), buf.size());
    if (got <= 0) {
      drained = true;
      return Clock::time_point::max();
    }
    received_ += std::uint64_t(got);
    if (timing_.pace) {
      // Bytes that follow held ones back to back arrive right after them.
      const auto start = continuous ? rxFree_ : std::max(rxFree_, Clock::now());
      heldUntil_ = start + bytesTime(std::size_t(got));
      held_.assign(buf.begin(), buf.begin() + got);
    } else {
      arrived(buf.data(), std::size_t(got));
    }
  }
}

}  // namespace quorvane::emu
