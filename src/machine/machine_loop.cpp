#include "machine/machine_loop.h"

#include <algorithm>
#include <thread>

#include "serial/protocol.h"
#include "serial/serial_port.h"

namespace quorvane {

namespace {

using Clock = LoopClient::Clock;

// The line carries one byte in this time: what is still missing of a block
// can't be there sooner than this per byte.
constexpr Clock::duration kByteTime = std::chrono::duration_cast<Clock::duration>(lineByteTime());

// The port is looked at this long before the rest of a block can have come
// at the line rate, and then watched until the block is whole. The lead
// also covers what a USB adapter holds back before it passes bytes on
// (about 1 ms with ASYNC_LOW_LATENCY).
constexpr Clock::duration kLead = std::chrono::milliseconds(2);
// Looks due this soon are taken together with the one due now (the few
// milliseconds watched grow by as much), so that many receivers in step
// share wake-ups.
constexpr Clock::duration kLookTogether = std::chrono::milliseconds(1);

// A receiver that brings a whole block far faster than the line carries it
// (an emulator without line pacing) is watched throughout, not predicted.
// The slack allows for bytes that come in bursts (USB packets, a receiver
// catching up after a pause).
constexpr int kFastFactor = 4;
constexpr Clock::duration kFastSlack = std::chrono::milliseconds(20);

// On arrival pace a due tick may wait this part of its period for other
// ticks to fall due, so that the clients' ticks share wake-ups. It never
// comes early; every tick still counts its wait.
constexpr int kTickSlackParts = 5;

// Rounds of steps on arrival one pump() takes at most, so that a call always
// returns (a 2 MiB read of an unpaced receiver is 512 steps).
constexpr int kArrivalRounds = 1024;

}  // namespace

void LoopClient::startTimer(int timerId, int periodMs) {
  const Clock::duration period = std::chrono::milliseconds(std::max(periodMs, 1));
  timers_[timerId] = Timer{Clock::now() + period, period};
}

void LoopClient::stopTimer(int timerId) {
  timers_.erase(timerId);
}

// The arrival pace's watch over a client's port. While its next step awaits
// bytes, the port is not looked at before the rest can have come at the
// line rate, but for the last milliseconds, in which it is watched (the
// PortWaiter) until they are whole.
struct MachineLoop::Watch {
  bool awaiting = false;          // its next step awaits bytes
  bool fast = false;              // its receiver sends faster than the line
  Clock::time_point steppedAt{};  // its last step on arrival
  Clock::time_point notBefore{};  // no look before (the bytes can't be whole)
  bool watching = false;          // the waiter watches its port
  unsigned wanted = 0;            //   for this many bytes
  bool tickedSinceLook = false;   // a tick has just brought its queue up to date
  Clock::time_point lookedAt{};   // the last look, and the bytes arrived by then
  std::uint64_t arrived = 0;

  // A look at a port that has taken `total` bytes in all so far: a whole
  // block since the last look, far sooner than the line can have carried
  // it, marks the receiver as fast.
  void noteLook(std::uint64_t total, Clock::time_point now) {
    const std::uint64_t sinceLook = total - std::min(total, arrived);
    if (lookedAt != Clock::time_point{} && sinceLook >= kBlockSize &&
        kByteTime * static_cast<long long>(sinceLook) > kFastFactor * (now - lookedAt) + kFastSlack)
      fast = true;
    lookedAt = now;
    arrived = total;
    tickedSinceLook = false;
  }
};

MachineLoop::MachineLoop(Pace pace) : pace_(pace) {}
MachineLoop::~MachineLoop() = default;

void MachineLoop::add(LoopClient& client) {
  clients_.push_back(&client);
  watches_.emplace_back();
  watched_.emplace_back();
}

void MachineLoop::pump(int maxWaitMs, const std::function<bool()>& goOn) {
  const auto wanted = [&goOn] { return !goOn || goOn(); };
  const bool onArrival = pace_ == Pace::Arrival;
  Clock::time_point wake = Clock::now() + std::chrono::milliseconds(std::max(maxWaitMs, 0));
  fireDue();
  if (!wanted() || (onArrival && !stepOnArrival(goOn))) return;

  if (onArrival) wake = std::min(wake, nextLook_);
  // The earliest deadline of any running timer of a running client.
  for (std::size_t c = 0; c < clients_.size(); ++c) {
    if (clients_[c]->done()) continue;
    const bool slack = onArrival && watches_[c].awaiting;
    for (const auto& [id, timer] : clients_[c]->timers_)
      wake = std::min(
          wake, timer.due + (slack ? timer.period / kTickSlackParts : Clock::duration::zero()));
  }
  if (onArrival)
    wait(wake);
  else
    std::this_thread::sleep_until(wake);
  fireDue();
  if (wanted() && onArrival) stepOnArrival(goOn);
}

bool MachineLoop::stepOnArrival(const std::function<bool()>& goOn) {
  // A step may find its next bytes queued already: look again at once.
  for (int round = 0; round < kArrivalRounds; ++round) {
    if (!lookAtPorts()) return true;
    if (goOn && !goOn()) return false;
  }
  return true;
}

bool MachineLoop::lookAtPorts() {
  std::fill(watched_.begin(), watched_.end(), PortWatch{});
  nextLook_ = Clock::time_point::max();
  bool stepped = false;
  const Clock::time_point now = Clock::now();
  for (std::size_t c = 0; c < clients_.size(); ++c) {
    LoopClient& client = *clients_[c];
    Watch& state = watches_[c];
    const std::optional<AwaitedArrival> awaited = client.done() ? std::nullopt : client.awaited();
    if (!awaited || !awaited->port || !awaited->port->isOpen() ||
        !client.timerRunning(awaited->timerId)) {
      state = Watch{.fast = state.fast, .steppedAt = state.steppedAt};
      continue;
    }
    state.awaiting = true;
    if (state.watching) {  // the waiter looks at it
      watched_[c] = {awaited->port, state.wanted};
      continue;
    }
    if (now + kLookTogether < state.notBefore) {
      nextLook_ = std::min(nextLook_, state.notBefore);
      continue;
    }
    SerialPort& port = *awaited->port;
    const unsigned bytes = std::max(awaited->bytes, 1u);
    const unsigned queued = state.tickedSinceLook ? port.queuedBytes() : port.bytesInQueue();
    const std::uint64_t arrived = port.bytesArrived();
    state.noteLook(arrived, now);
    if (queued >= bytes) {
      // A block that took the line's time since the last step: the receiver
      // keeps to the line after all.
      if (state.fast && now - state.steppedAt >= kByteTime * long(bytes) - kFastSlack)
        state.fast = false;
      step(client, awaited->timerId);
      // What the next step awaits can't be whole before the line has
      // carried it; it is looked at afresh.
      state = Watch{.fast = state.fast, .steppedAt = now, .lookedAt = now, .arrived = arrived};
      stepped = true;
      continue;
    }
    const Clock::duration missingTime = kByteTime * (bytes - queued);
    if (!state.fast && missingTime > kLead + kLookTogether) {
      state.notBefore = now + missingTime - kLead;
      nextLook_ = std::min(nextLook_, state.notBefore);
    } else {
      state.watching = true;
      state.wanted = bytes;
      watched_[c] = {awaited->port, bytes};
    }
  }
  return stepped;
}

void MachineLoop::step(LoopClient& client, int timerId) {
  const Clock::time_point due = client.timers_.at(timerId).due;
  client.onTimer(timerId);
  // The step was that timer's tick: its next one comes a period later,
  // unless the step has restarted or stopped the timer itself.
  const auto it = client.timers_.find(timerId);
  if (it != client.timers_.end() && it->second.due == due)
    it->second.due = Clock::now() + it->second.period;
}

void MachineLoop::wait(Clock::time_point until) {
  const Clock::time_point now = Clock::now();
  if (std::none_of(watched_.begin(), watched_.end(), [](const PortWatch& w) { return w.port; })) {
    std::this_thread::sleep_until(until);
    return;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  for (const std::size_t c : waiter_.wait(watched_, static_cast<int>(std::max<long long>(ms, 0))))
    watches_[c].watching = false;
  if (waiter_.lastError().failed()) {  // looked at again soon, never in a spin
    for (Watch& w : watches_) w.watching = false;
    std::this_thread::sleep_until(std::min(until, now + std::chrono::milliseconds(kPortPollMs)));
  }
}

void MachineLoop::fireDue() {
  // Every timer that is due, earliest first; a tick may stop or start
  // timers of its own client, so each is looked up again before it fires.
  struct Due {
    Clock::time_point due;
    std::size_t client;
    int id;
  };
  std::vector<Due> due;
  const Clock::time_point fired = Clock::now();
  for (std::size_t c = 0; c < clients_.size(); ++c) {
    if (clients_[c]->done()) continue;
    for (const auto& [id, timer] : clients_[c]->timers_)
      if (timer.due <= fired) due.push_back({timer.due, c, id});
  }
  std::sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
    return a.due != b.due ? a.due < b.due : a.client < b.client;
  });
  for (const Due& d : due) {
    LoopClient& client = *clients_[d.client];
    if (client.done()) continue;
    auto it = client.timers_.find(d.id);
    if (it == client.timers_.end() || it->second.due != d.due) continue;
    // Absolute deadlines: the next tick is one period after this one's
    // deadline. A tick that comes late is not made up for by a burst:
    // missed periods are skipped, as a window timer coalesces them.
    LoopClient::Timer& t = it->second;
    do {
      t.due += t.period;
    } while (t.due <= fired);
    client.onTimer(d.id);
    // The tick has brought the client's queue up to date (and may have
    // taken a block): what it still misses is reckoned afresh, in case
    // the receiver has caught up.
    Watch& w = watches_[d.client];
    w.notBefore = {};
    w.watching = false;
    w.tickedSinceLook = true;
  }
}

}  // namespace quorvane
