#include "machine/tick_machine.h"

#include "serial/command_port.h"

namespace quorvane {

void TickMachine::abandon() {
  if (finished()) return;
  end(Outcome::Cancelled);
  announceFinished();
}

void TickMachine::end(Outcome outcome, std::optional<Notice> failure) {
  phase_ = Phase::Finished;
  outcome_ = outcome;
  failure_ = std::move(failure);
}

void TickMachine::announceFinished() const {
  notify({.kind = MachineEvent::Kind::Finished, .outcome = outcome_});
}

void TickMachine::send(CommandPort& port, std::uint8_t command, std::uint8_t param1) const {
  port.sendCommand(command, param1);
  notify({.kind = MachineEvent::Kind::FrameSent, .frame = makeFrame(command, param1)});
}

}  // namespace quorvane
