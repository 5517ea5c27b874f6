#include "station_command.h"

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

#include "base/app_config.h"
#include "cli.h"
#include "cli_options.h"
#include "cli_platform.h"
#include "console.h"
#include "diagnosis.h"
#include "frame_names.h"
#include "report.h"
#include "serial/port_map.h"
#include "station/station.h"

namespace quorvane::cli {

namespace {

using station::FailureFacts;
using station::SlotState;
using station::SlotStatus;
using station::Station;

constexpr int kPumpWaitMs = 100;  // Ctrl-C and Enter are looked at this often

std::string formatTime(double seconds) {
  char text[32];
  const long long s = static_cast<long long>(seconds + 0.5);
  if (s >= 60)
    std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

// The lines typed on stdin, read by a thread of their own, so that the
// station's one thread never waits for them (--confirm).
class LineReader {
 public:
  LineReader() {
    std::thread([this] {
      std::string line;
      while (std::getline(std::cin, line)) {
        const std::lock_guard lock(mutex_);
        lines_.push_back(line);
      }
    }).detach();
  }
  std::optional<std::string> next() {
    const std::lock_guard lock(mutex_);
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }

 private:
  std::mutex mutex_;
  std::deque<std::string> lines_;
};

// What the station shows on the console: a progress row per unit, a line
// per unit on stdout, notes and stops on stderr, the report's records.
class ConsoleStation final : public station::StationObserver {
 public:
  ConsoleStation(const Options& o, Console& console) : o_(o), console_(console) {}

  void addSlot(const std::string& label) { slots_.push_back({label, -1, SlotState::Waiting, 0}); }

  void slotChanged(int slot, const SlotStatus& s) override {
    Slot& my = slots_[std::size_t(slot)];
    if (s.state == SlotState::Running) {
      if (my.row < 0 || my.unit != s.unit) {
        my.unit = s.unit;
        my.row = console_.addProgress(unitLabel(slot, s.unit));
      }
      if (s.blockCount > 0)
        console_.updateProgress(my.row, s.blocksDone, s.blockCount, Clock::now());
    }
    // Stopped by its failures in a row: said on stderr (the station's own end is no failure).
    if (s.state == SlotState::Stopped && my.state != SlotState::Stopped && o_.maxFailures > 0 &&
        s.failuresInRow >= o_.maxFailures)
      console_.failure(prefix(slot), s.message);
    if (s.state == SlotState::NoDevice && my.state != SlotState::NoDevice)
      console_.explain(prefix(slot), "no device: waiting for the adapter to come back");
    if (s.confirmNeeded && !my.confirmAsked)
      console_.result(prefix(slot), "connect the next receiver, then press Enter");
    my.confirmAsked = s.confirmNeeded;
    my.state = s.state;
  }

  void unitEnded(const UnitRecord& r) override {
    const int slot = r.slot - 1;
    Slot& my = slots_[std::size_t(slot)];
    const JobRecord& j = r.job;
    if (my.row >= 0 && my.unit == r.unit) {
      console_.finishProgress(my.row, j.result, Clock::now(), j.blocksDone, j.blockCount);
      console_.retireProgress(my.row);
      my.row = -1;
    }
    const bool ok = j.result == "ok";
    const std::string line = unitLabel(slot, r.unit) + " " +
                             (ok                        ? "passed"
                              : j.result == "cancelled" ? "cancelled"
                                                        : "failed") +
                             " " + blockCounterText(j.blocksDone, j.blockCount) + " " +
                             formatTime(j.durationSeconds) +
                             (j.message.empty() ? "" : ": " + j.message);
    if (ok) {
      console_.result("", line);
    } else {
      std::printf("%s\n", line.c_str());
      if (!j.reason.empty()) std::printf("  %s\n", j.reason.c_str());
      std::fflush(stdout);
    }
    my.seconds += j.durationSeconds;
    allPassed_ = allPassed_ && ok;
    if (!o_.reportPath.empty() && !appendRecord(o_.reportPath, r))
      console_.failure("", "quorvane-cli: cannot write the report file " + o_.reportPath);
  }

  std::string reasonFor(int slot, const FailureFacts& f) override {
    const PortNaming naming =
        f.port.devicePath.empty()
            ? PortNaming{f.port.number, devicePathForPort(f.port.number).value_or("")}
            : PortNaming{std::nullopt, f.port.devicePath};
    const std::string subject = portSubject(naming);
    switch (f.kind) {
      case FailureFacts::Kind::Port:
        if (f.notice && f.notice->id == MessageId::PortOpenFailed)
          return explainOpenFailure(naming, f.portError).line();
        if (f.portError.isDisconnected()) return explainDisconnect(naming, f.portError).line();
        return explainSilence(naming, f.devicePath, f.waitedMs, f.line, f.clearToSend,
                              f.portError.isTimedOut())
            .line();
      case FailureFacts::Kind::File:
        return explainFileFailure(f.filePath, f.fileError).line();
      case FailureFacts::Kind::TypeMismatch:
        if (f.receiverTag < 0) break;
        return explainTypeMismatch(subject, f.receiverTag, o_.args[1], f.imageTag, f.blocksWritten)
            .line();
      case FailureFacts::Kind::StrangeAnswer:
        return explainStrangeAnswer(subject, f.lastAnswer, f.imageTag).line();
      case FailureFacts::Kind::NotBack:
        return subject +
               ": the image was written, but the receiver's loader did not answer again, so it "
               "was not read back; switch the receiver on and run quorvane-cli verify " +
               o_.args[1];
      default:
        break;
    }
    return StationObserver::reasonFor(slot, f);
  }

  void note(int slot, const std::string& text) override { console_.explain(prefix(slot), text); }
  void trace(int slot, const char* direction, const std::string& text) override {
    const double t = std::chrono::duration<double>(Clock::now() - epoch_).count();
    char head[32];
    std::snprintf(head, sizeof head, "%10.3f ", t);
    console_.trace(head + slots_[std::size_t(slot)].label + " " + direction + " " + text);
  }
  void traceFrame(int slot, const char* direction, const FrameBytes& frame) override {
    trace(slot, direction,
          hexBytes(frame.data(), frame.size()) + "  " + describeFrameWithNames(frame));
  }
  bool tracing() const override { return o_.trace; }

  // Per slot and in total: units, passed, failed, time.
  void summary(const Station& station, double seconds) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      const SlotStatus& s = station.status(int(i));
      console_.result("", "slot " + std::to_string(i + 1) + " " + slots_[i].label + ": " +
                              counts(s.units, s.passed, s.failed) + ", " +
                              formatTime(slots_[i].seconds) + " in units");
    }
    console_.result("", "total: " +
                            counts(int(station.units()), int(station.passed()),
                                   int(station.units() - station.passed())) +
                            ", " + formatTime(seconds));
  }

  bool allPassed() const { return allPassed_; }

 private:
  struct Slot {
    std::string label;
    int row = -1;
    SlotState state = SlotState::Waiting;
    long long unit = 0;
    bool confirmAsked = false;
    double seconds = 0;
  };

  static std::string counts(int units, int passed, int failed) {
    return std::to_string(units) + (units == 1 ? " unit, " : " units, ") + std::to_string(passed) +
           " passed, " + std::to_string(failed) + " failed";
  }
  std::string prefix(int slot) const {
    return "slot " + std::to_string(slot + 1) + " " + slots_[std::size_t(slot)].label + ": ";
  }
  std::string unitLabel(int slot, long long unit) const {
    char number[24];
    std::snprintf(number, sizeof number, "%04lld", unit);
    return "slot " + std::to_string(slot + 1) + " " + slots_[std::size_t(slot)].label + " unit " +
           number;
  }

  const Options& o_;
  Console& console_;
  std::vector<Slot> slots_;
  bool allPassed_ = true;
  Clock::time_point epoch_ = Clock::now();
};

// The slots: every --device, every --port, else the COM port of
// Quorvane.cfg, as every command has it.
std::vector<std::pair<PortTarget, std::string>> slotsOf(const Options& o) {
  std::vector<std::pair<PortTarget, std::string>> slots;
  for (const std::string& d : o.devices) slots.emplace_back(PortTarget::device(d), d);
  for (const long long n : o.ports)
    slots.emplace_back(PortTarget::comPort(n), "COM" + std::to_string(n));
  if (slots.empty()) {
    AppConfig config;
    config.locateConfig();
    config.loadConfig();
    const long long n = portNumberFromIndex(config.portIndex);
    slots.emplace_back(PortTarget::comPort(n), "COM" + std::to_string(n));
  }
  return slots;
}

}  // namespace

int runStation(const Options& o, Console& console) {
  const std::string& job = o.args[0];
  if (job != "upgrade" && job != "read") {
    std::fprintf(stderr, "quorvane-cli: station: the job is upgrade IMAGE or read DIR, not %s\n%s",
                 job.c_str(), usageText(commandTable()).c_str());
    return 2;
  }
  if (job == "read" && (!o.typeQuery || !o.backupPath.empty() || o.verifyAfter)) {
    std::fprintf(stderr,
                 "quorvane-cli: --no-type-query, --backup and --verify go with upgrade only\n%s",
                 usageText(commandTable()).c_str());
    return 2;
  }
  if (!o.reportPath.empty()) {
    const SystemError why = reportWritable(o.reportPath);
    if (why.failed()) {
      console.failure("", "quorvane-cli: cannot write the report file " + o.reportPath);
      console.explain("", explainFileFailure(o.reportPath, why).line());
      return 1;
    }
  }
  station::StationProfile profile;
  profile.job = job == "read" ? station::StationJob::Read : station::StationJob::Upgrade;
  (job == "read" ? profile.readDir : profile.imagePath) = o.args[1];
  profile.askType = o.typeQuery;
  profile.verify = o.verifyAfter;
  profile.backupDir = o.backupPath;
  profile.maxFailures = o.maxFailures;
  profile.maxUnits = o.units;
  profile.confirmEachUnit = o.confirm;
  profile.rebootWaitMs = o.rebootWaitSeconds * 1000;

  ConsoleStation view(o, console);
  Station station(profile, view);
  for (auto& [target, label] : slotsOf(o)) {
    view.addSlot(label);
    station.addSlot(target, label);
  }
  const Clock::time_point began = Clock::now();
  if (!station.start()) {
    const station::StartFailure& why = *station.startFailure();
    if (!why.text.empty()) console.failure("", why.text);
    if (why.notice)
      console.explain("", explainImageFailure(o.args[1], why.notice->id).line());
    else if (!why.reason.empty())
      console.explain("", why.reason);
    return 1;
  }
  std::atomic<bool> interrupted{false};
  {
    const InterruptCatcher catcher(interrupted);
    std::optional<LineReader> lines;
    if (o.confirm) lines.emplace();
    while (station.pump(kPumpWaitMs)) {
      if (interrupted) {
        station.stop();
        break;
      }
      while (lines)
        if (const std::optional<std::string> line = lines->next()) {
          const long long slot = std::atoll(line->c_str());
          for (int i = 0; i < station.slotCount(); ++i)
            if (slot == 0 || slot == i + 1) station.confirmNextUnit(i);
        } else {
          break;
        }
    }
  }
  view.summary(station, std::chrono::duration<double>(Clock::now() - began).count());
  if (interrupted) return 130;
  return view.allPassed() ? 0 : 1;
}

}  // namespace quorvane::cli
