// A receiver's power and boot, as a plain state machine on a clock it is
// handed: whether its loader takes what comes from the PC and answers.
//
//   Off       switched off: takes nothing, sends nothing
//   Booting   just switched on or rebooted: the loader answers within the
//             boot window; a connection request taken in it keeps it there
//   Loader    in its loader until switched off
//   Firmware  the window passed without a request: it runs its firmware and
//             answers nothing until it is switched on again
//   Saving    an upgrade is complete: silent while it saves, then it reboots
//
// A boot window of 0 is a receiver that is always in its loader: switched
// on (or rebooted) it is in Loader at once. With no save time and no boot
// window a complete upgrade changes nothing.
#pragma once

#include <chrono>
#include <string>
#include <utility>

namespace quorvane::emu {

class PowerModel {
 public:
  using Clock = std::chrono::steady_clock;
  enum class State { Off, Booting, Loader, Firmware, Saving };

  struct Settings {
    bool on = true;        // switched on from the start
    int bootWindowMs = 0;  // 0: always in the loader
    int saveMs = 0;        // silent this long after a complete upgrade
  };

  // A receiver switched on from the start is in its loader (as if its boot
  // window had been caught); the window applies to every later switch-on
  // and reboot.
  explicit PowerModel(Settings settings);

  // Each returns what the log says about the change; empty when nothing
  // changed (switching on what is on). A switch-on or a reboot starts the
  // loader afresh: restarted() turns true until taken.
  std::string switchOn(Clock::time_point now);
  std::string switchOff();
  // The last answer of a complete upgrade has gone out.
  std::string upgradeComplete(Clock::time_point now);
  // The loader has taken a connection request.
  std::string connectTaken();
  // The boot window or the save time has run out by `now`.
  std::string advance(Clock::time_point now);

  State state() const { return state_; }
  // The loader takes bytes and answers.
  bool listening() const { return state_ == State::Booting || state_ == State::Loader; }
  // When advance() next has something to do; max() when nothing is timed.
  Clock::time_point nextChange() const;
  // The loader has to start afresh (after a switch-on or a reboot).
  bool takeRestarted() { return std::exchange(restarted_, false); }

 private:
  std::string boot(Clock::time_point now, const char* why);

  Settings settings_;
  State state_ = State::Off;
  Clock::time_point until_{};  // Booting: the window's end; Saving: the save's end
  bool restarted_ = false;
};

const char* powerStateName(PowerModel::State state);

}  // namespace quorvane::emu
