// One scheduler for the tick-driven machines of a front end that drives
// them on its own thread (the command-line tool's jobs, the station's
// slots): periodic timers on the steady clock with absolute deadlines, as a
// window's timers are, and the ports the machines read.
//
// Each client is one machine (or a composition of them) with its timers by
// id and, while its next step awaits received bytes, the port and timer of
// that step. pump() forwards each due tick to the client whose timer it is,
// earliest first, one tick at a time.
//
// Two paces:
// - Arrival (the default): the loop also waits on the ports. When the bytes
//   a client's next step awaits (a block, an answer) are complete, the
//   client gets that step's tick at once instead of at its timer's next
//   period; its timer then goes on one period from that step, as if it had
//   ticked there. Ticks that find the bytes missing count their waits
//   exactly as before.
// - Ticks: one step per tick only, the dialogs' pace.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "serial/port_waiter.h"

namespace quorvane {

class SerialPort;

// What a client's next step waits for: `bytes` bytes waiting on `port` make
// the tick of `timerId` act.
struct AwaitedArrival {
  SerialPort* port = nullptr;
  int timerId = 0;
  unsigned bytes = 0;
};

class LoopClient {
 public:
  using Clock = std::chrono::steady_clock;

  LoopClient() = default;
  virtual ~LoopClient() = default;
  LoopClient(const LoopClient&) = delete;
  LoopClient& operator=(const LoopClient&) = delete;

  // One tick of timer `timerId`.
  virtual void onTimer(int timerId) = 0;
  // Nothing more will happen: the client gets no ticks and no steps.
  virtual bool done() const { return false; }
  // What the next step waits for; nothing while no step awaits received
  // bytes (then only its timers drive it).
  virtual std::optional<AwaitedArrival> awaited() { return std::nullopt; }

  // The client's periodic timers, started and stopped by its machine.
  // Starting a running timer restarts its period.
  void startTimer(int timerId, int periodMs);
  void stopTimer(int timerId);
  void stopAllTimers() { timers_.clear(); }
  bool timerRunning(int timerId) const { return timers_.count(timerId) != 0; }

 private:
  friend class MachineLoop;
  struct Timer {
    Clock::time_point due;
    Clock::duration period;
  };
  std::map<int, Timer> timers_;
};

class MachineLoop {
 public:
  using Clock = LoopClient::Clock;
  enum class Pace {
    Arrival,  // a step as soon as the bytes it awaits are there
    Ticks,    // one step per tick, as the dialogs
  };

  explicit MachineLoop(Pace pace = Pace::Arrival);
  ~MachineLoop();
  MachineLoop(const MachineLoop&) = delete;
  MachineLoop& operator=(const MachineLoop&) = delete;

  // The client takes part from the next pump() on; it outlives the loop.
  void add(LoopClient& client);

  // Delivers every tick that is due and every step whose awaited bytes have
  // come (again while a step finds its next bytes there already), then
  // waits, at most `maxWaitMs`, for the next tick, the next look at a port
  // or a watched port's bytes, and delivers what is due then. `goOn` is
  // asked after each round of deliveries; false ends the call at once.
  void pump(int maxWaitMs, const std::function<bool()>& goOn = {});

 private:
  struct Watch;
  // Fires every due timer, earliest first.
  void fireDue();
  // Steps, in rounds while any steps; false when `goOn` said stop.
  bool stepOnArrival(const std::function<bool()>& goOn);
  // One look at every client's port whose step awaits bytes; true when one
  // stepped. Sets nextLook_.
  bool lookAtPorts();
  void step(LoopClient& client, int timerId);
  void wait(Clock::time_point until);

  Pace pace_;
  std::vector<LoopClient*> clients_;
  std::vector<Watch> watches_;      // by client
  std::vector<PortWatch> watched_;  // by client: the ports the waiter watches this round
  Clock::time_point nextLook_{};
  PortWaiter waiter_;
};

}  // namespace quorvane
