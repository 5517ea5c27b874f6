#include "power_model.h"

#include <utility>

namespace quorvane::emu {

PowerModel::PowerModel(Settings settings) : settings_(settings) {
  // Found switched on: someone has caught its boot window already.
  if (settings_.on) state_ = State::Loader;
}

std::string PowerModel::boot(Clock::time_point now, const char* why) {
  restarted_ = true;
  if (settings_.bootWindowMs <= 0) {
    state_ = State::Loader;
    return std::string(why) + ": in its loader";
  }
  state_ = State::Booting;
  until_ = now + std::chrono::milliseconds(settings_.bootWindowMs);
  return std::string(why) + ": boot window of " + std::to_string(settings_.bootWindowMs) + " ms";
}

std::string PowerModel::switchOn(Clock::time_point now) {
  if (state_ != State::Off) return {};
  return boot(now, "switched on");
}

std::string PowerModel::switchOff() {
  if (state_ == State::Off) return {};
  state_ = State::Off;
  return "switched off";
}

std::string PowerModel::upgradeComplete(Clock::time_point now) {
  if (settings_.saveMs <= 0 && settings_.bootWindowMs <= 0) return {};
  state_ = State::Saving;
  until_ = now + std::chrono::milliseconds(settings_.saveMs);
  return "saving for " + std::to_string(settings_.saveMs) + " ms";
}

std::string PowerModel::connectTaken() {
  if (state_ != State::Booting) return {};
  state_ = State::Loader;
  return "connection request within the boot window: stays in its loader";
}

std::string PowerModel::advance(Clock::time_point now) {
  if (now < until_) return {};
  if (state_ == State::Booting) {
    state_ = State::Firmware;
    return "no connection request within the boot window: runs its firmware";
  }
  if (state_ == State::Saving) return boot(now, "saved, rebooted");
  return {};
}

PowerModel::Clock::time_point PowerModel::nextChange() const {
  return state_ == State::Booting || state_ == State::Saving ? until_ : Clock::time_point::max();
}

const char* powerStateName(PowerModel::State state) {
  switch (state) {
    case PowerModel::State::Off:
      return "off";
    case PowerModel::State::Booting:
      return "booting";
    case PowerModel::State::Loader:
      return "loader";
    case PowerModel::State::Firmware:
      return "firmware";
    case PowerModel::State::Saving:
      return "saving";
  }
  return "?";
}

}  // namespace quorvane::emu
