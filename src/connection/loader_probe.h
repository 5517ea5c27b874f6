// Waiting for a receiver's loader: the connection request, again and again,
// until the loader acknowledges one.
//
// A receiver that has just been switched on, or that reboots after saving an
// upgrade, answers in its loader only within a short boot window (500 ms at
// the shortest); a request that reaches it in time keeps it there, otherwise
// it runs its firmware and answers nothing until it is switched on again.
// The probe sends a request every kProbeRequestMs (100 ms): any 500 ms
// window holds four or five of them, so a window is caught even when the
// receiver's line comes up late in it or a request is lost to noise, and
// the line still carries the requests' 12 bytes only about 1 % of its time.
//
// Two timers of the front end drive it. Each tick of the request timer
// (kProbeRequestTimerId, every 100 ms) counts the time without an answer and
// sends the next request; the answer timer (kProbeAnswerTimerId, kTickMs)
// only looks at what has arrived, and is the tick awaitedInput() names, so
// that a front end stepping on arrival takes the answer at once. Every tick
// reads all that is waiting and looks for the acknowledgement in it: bytes
// around it (a firmware's boot messages, noise, half a frame) are dropped.
//
// Once the acknowledgement is in, no request goes out any more and the
// probe waits until the line has been quiet for a whole request period
// (an answer to a request still on its way is dropped with it), so the job
// that follows on the same port starts on a quiet line. Then it succeeds.
// With a limit, the probe fails once that much time has passed without an
// answer; with limit 0 it waits until abandon().
#pragma once

#include <cstdint>
#include <vector>

#include "machine/tick_machine.h"
#include "serial/command_port.h"
#include "serial/port_target.h"

namespace quorvane {

inline constexpr int kProbeRequestTimerId = 1;  // a request every period
inline constexpr int kProbeAnswerTimerId = 2;   // looks for the answer only
inline constexpr int kProbeRequestMs = 100;
// After the acknowledgement, at most this many request periods are spent
// waiting for the line to fall quiet; a receiver that keeps sending is taken
// as answered all the same.
inline constexpr int kProbeSettleLimitPeriods = 20;

class LoaderProbe final : public TickMachine {
 public:
  // `limitMs`: the time without an answer after which the probe fails
  // (counted in request periods); 0: no limit.
  LoaderProbe(CommandPort& port, MachineView& view, PortTarget target, unsigned limitMs);

  // Opens the target unless the port is open already (a front end may hand
  // over the port it holds), sends the first request and starts both
  // timers. A port that can't be opened fails with "open port%d error!".
  void start() override;

  // A tick of either timer; other ids, and ticks once finished, do nothing.
  void tick(int timerId) override;

  // Stops both timers and ends Cancelled; nothing more is sent.
  void abandon() override;

  // The answer timer, once the rest of an acknowledgement can be there.
  std::optional<AwaitedInput> awaitedInput() const override;

  // The time counted without an acknowledgement since start(): what a
  // caller compares with "no answer for X ms". It stops growing once the
  // acknowledgement is in.
  unsigned unansweredMs() const { return unansweredMs_; }
  // Requests sent so far.
  unsigned requestsSent() const { return requests_; }
  // Bytes read that were not the acknowledgement.
  std::uint64_t bytesDropped() const { return dropped_; }

 private:
  // Reads all that waits; returns the count read. Sets answered_ once the
  // acknowledgement has been among it.
  unsigned drain();
  void request();
  void finish(Outcome outcome, const std::optional<Notice>& failure = std::nullopt);

  CommandPort& port_;
  MachineView& view_;
  PortTarget target_;
  unsigned limitMs_;
  unsigned unansweredMs_ = 0;
  unsigned requests_ = 0;
  std::uint64_t dropped_ = 0;
  bool answered_ = false;
  std::vector<std::uint8_t> held_;  // the received tail that could begin the acknowledgement
  unsigned takenSincePeriod_ = 0;   // bytes read since the last request-timer tick
  int settlePeriods_ = 0;           // request periods since the acknowledgement
};

}  // namespace quorvane
