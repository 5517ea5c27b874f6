// What the read and the upgrade share: their port, their view, where the
// port is, and the ways a transfer ends before its time.
#pragma once

#include <optional>

#include "machine/tick_machine.h"
#include "serial/command_port.h"
#include "serial/port_target.h"
#include "transfer/transfer_view.h"

namespace quorvane {

class TransferMachine : public TickMachine {
 protected:
  TransferMachine(CommandPort& port, TransferView& view, PortTarget target)
      : port_(port), view_(view), target_(std::move(target)) {}

  // Opens the target at the line speed in binary mode: true. Otherwise the
  // transfer fails at its start with "open port%d error!".
  bool openPort();
  // A failure before the first tick: the message (if any), then the Cancel
  // command; nothing is sent.
  void failAtStart(const std::optional<Notice>& notice);
  // A failure inside a tick: the stop frame, the Cancel command, then the
  // message; or, for a model mismatch, the message first.
  enum class ShowMessage { AfterCancel, BeforeStopFrame };
  void failInTick(const Notice& notice, ShowMessage when = ShowMessage::AfterCancel);
  // One tick without the awaited bytes: true once `wait` has run out, or at
  // once when the port's device has gone and its waits end on that.
  bool waitRunsOut(CountedWait& wait) { return port_.waitEndsNow() || wait.count(); }
  // The bar at n * 100 / count (n clamped to 0..count) and the counter
  // "n/count blocks".
  void showBlockProgress(long long n, long long count);

  CommandPort& port_;
  TransferView& view_;
  PortTarget target_;
};

}  // namespace quorvane
