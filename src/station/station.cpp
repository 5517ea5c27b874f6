#include "station/station.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "base/atomic_file.h"
#include "serial/port_waiter.h"
#include "serial/protocol.h"
#include "serial/serial_port.h"
#include "station/slot_cycle.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace quorvane::station {

namespace {

using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The line carries one byte in this time: what is still missing of a block
// can't be there sooner.
constexpr SteadyClock::duration kByteTime =
    std::chrono::duration_cast<SteadyClock::duration>(lineByteTime());
// A port is looked at this long before the rest can have come at the line
// rate (a USB adapter holds bytes back about 1 ms), and then watched; looks
// due this soon are taken together.
constexpr SteadyClock::duration kLead = std::chrono::milliseconds(2);
constexpr SteadyClock::duration kLookTogether = std::chrono::milliseconds(1);
// More than a block since the last look, this many times faster than the
// line (with slack for bursts): a receiver that does not keep to the line.
constexpr int kFastFactor = 4;
constexpr SteadyClock::duration kFastSlack = std::chrono::milliseconds(20);
// Steps on arrival one pump() takes at most (a 2 MiB read of an unpaced
// receiver is 512).
constexpr int kArrivalRounds = 1024;

std::string subjectOf(const FailureFacts& f) {
  if (!f.devicePath.empty()) return f.devicePath;
  return f.port.devicePath.empty() ? "COM" + std::to_string(f.port.number) : f.port.devicePath;
}

// A folder the station writes units into: there, and a file can be made in it.
std::optional<std::string> unwritableFolder(const std::string& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return dir + ": no such folder";
  AtomicFileWriter probe;
  if (!probe.open((fs::path(dir) / ".quorvane-station-probe").string()))
    return dir + ": no file can be made there (" + probe.lastError().message() + ")";
  probe.abandon();
  return std::nullopt;
}

}  // namespace

void StationObserver::traceFrame(int slot, const char* direction, const FrameBytes& frame) {
  trace(slot, direction, hexBytes(frame.data(), frame.size()));
}

std::string StationObserver::reasonFor(int, const FailureFacts& f) {
  const std::string subject = subjectOf(f);
  switch (f.kind) {
    case FailureFacts::Kind::Port:
      if (f.portError.isDisconnected())
        return subject + ": the device has gone (adapter unplugged?)";
      if (f.notice && f.notice->id == MessageId::PortOpenFailed)
        return subject + ": cannot be opened (" + f.portError.message() + ")";
      return subject + ": the receiver gave no answer within " + std::to_string(f.waitedMs) + " ms";
    case FailureFacts::Kind::File:
      return f.filePath + ": cannot be written (" + f.fileError.message() + ")";
    case FailureFacts::Kind::TypeMismatch:
      return subject + ": the receiver is a " +
             (f.receiverTag >= 0 ? std::string(romType(f.receiverTag).modelName) : "receiver") +
             ", the image is for a " +
             (f.imageTag >= 0 ? std::string(romType(f.imageTag).modelName) : "other") + "; " +
             std::to_string(f.blocksWritten) + " blocks written";
    case FailureFacts::Kind::StrangeAnswer:
      return subject + ": an answer the upgrade does not take: " +
             hexBytes(f.lastAnswer.data(), f.lastAnswer.size());
    case FailureFacts::Kind::Differs:
      return subject + ": the flash read back differs from the image";
    case FailureFacts::Kind::NotBack:
      return subject +
             ": the image was written but not read back; switch the receiver on and verify it";
    case FailureFacts::Kind::Other:
      break;
  }
  return {};
}

struct Station::Impl final : SlotHost {
  struct Timer {
    SteadyClock::time_point due;
    SteadyClock::duration period;
  };
  // How a slot's port is looked at while its next step awaits bytes: not
  // before they can have come at the line rate, then watched until whole;
  // a receiver that sends far faster than the line (an emulator without
  // pacing) is watched throughout.
  struct ArrivalWatch {
    SteadyClock::time_point notBefore{};
    SteadyClock::time_point lookedAt{};
    std::uint64_t arrived = 0;
    bool fast = false;
    bool watch = false;  // watched in this round's wait
  };
  struct Slot {
    std::unique_ptr<SlotCycle> cycle;
    std::map<int, Timer> timers;
    ArrivalWatch arrival;
  };

  Impl(StationProfile p, StationObserver& o) : profile(std::move(p)), watcher(o) {}

  void slotTimer(int slot, int timerId, int periodMs) override {
    auto& timers = slots[std::size_t(slot)].timers;
    if (periodMs < 0) {
      timers.erase(timerId);
      return;
    }
    const SteadyClock::duration period = std::chrono::milliseconds(std::max(periodMs, 1));
    timers[timerId] = Timer{SteadyClock::now() + period, period};
  }

  long long nextUnit(int) override {
    if (ended || (profile.maxUnits > 0 && taken >= profile.maxUnits)) return 0;
    const std::string& dir = profile.job == StationJob::Read ? profile.readDir : profile.backupDir;
    long long unit = lastUnit + 1;
    std::error_code ec;
    while (!dir.empty() && fs::exists(unitFilePath(dir, unit), ec)) ++unit;
    lastUnit = unit;
    ++taken;
    return unit;
  }

  void slotChanged(int slot, const SlotStatus& status) override {
    watcher.slotChanged(slot, status);
  }

  void unitEnded(int, const UnitRecord& record, bool passed) override {
    // A unit cancelled by stop() is reported, but not counted.
    if (record.job.result != "cancelled") ++served;
    if (passed) ++passedUnits;
    watcher.unitEnded(record);
    if (profile.maxUnits > 0 && served >= profile.maxUnits) limitReached = true;
  }

  StationObserver& observer() override { return watcher; }

  bool anyRunning() const {
    return std::any_of(slots.begin(), slots.end(),
                       [](const Slot& s) { return s.cycle->running(); });
  }

  // The units limit: once every unit taken has ended, every slot stops.
  void checkEnd() {
    if (ended) return;
    if (limitReached && !anyRunning()) {
      ended = true;
      for (Slot& s : slots)
        if (s.cycle->status().state != SlotState::Stopped)
          s.cycle->stop("the station has served its " + std::to_string(profile.maxUnits) +
                        " units");
    }
    if (started && std::all_of(slots.begin(), slots.end(), [](const Slot& s) {
          return s.cycle->status().state == SlotState::Stopped;
        }))
      ended = true;
  }

  // Fires every timer that is due, earliest first; a tick may stop or start
  // timers of its own slot, so each is looked up again before it fires.
  void fireDue() {
    struct Due {
      SteadyClock::time_point due;
      std::size_t slot;
      int id;
    };
    std::vector<Due> due;
    const SteadyClock::time_point now = SteadyClock::now();
    for (std::size_t s = 0; s < slots.size(); ++s)
      for (const auto& [id, t] : slots[s].timers)
        if (t.due <= now) due.push_back({t.due, s, id});
    std::sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
      return a.due != b.due ? a.due < b.due : a.slot < b.slot;
    });
    for (const Due& d : due) {
      auto& timers = slots[d.slot].timers;
      const auto it = timers.find(d.id);
      if (it == timers.end() || it->second.due != d.due) continue;
      // As a window timer: missed periods are skipped, not made up for.
      do {
        it->second.due += it->second.period;
      } while (it->second.due <= now);
      slots[d.slot].cycle->tick(d.id);
    }
  }

  // Looks at the ports of the slots whose next step awaits bytes and runs
  // each step whose bytes are there at once (its timer then goes on a
  // period from now). `wake` gets the next look's time. True when one
  // stepped.
  bool stepOnArrival(SteadyClock::time_point& wake) {
    bool stepped = false;
    for (Slot& s : slots) {
      SlotCycle& cycle = *s.cycle;
      ArrivalWatch& w = s.arrival;
      w.watch = false;
      if (!cycle.running()) w.fast = false;
      const std::optional<AwaitedInput> awaited = cycle.awaitedInput();
      auto it = awaited ? s.timers.find(awaited->timerId) : s.timers.end();
      if (!awaited || it == s.timers.end() || !cycle.port().isOpen()) {
        w.notBefore = {};
        continue;
      }
      const SteadyClock::time_point now = SteadyClock::now();
      if (now + kLookTogether < w.notBefore) {
        wake = std::min(wake, w.notBefore);
        continue;
      }
      const unsigned wanted = std::max(awaited->bytes, 1u);
      const unsigned queued = cycle.port().bytesInQueue();
      const std::uint64_t arrived = cycle.port().bytesArrived();
      const std::uint64_t since = arrived - std::min(arrived, w.arrived);
      if (w.lookedAt != SteadyClock::time_point{} && since >= kBlockSize &&
          kByteTime * static_cast<long long>(since) > kFastFactor * (now - w.lookedAt) + kFastSlack)
        w.fast = true;
      w.lookedAt = now;
      w.arrived = arrived;
      if (queued < wanted) {
        const SteadyClock::duration missing = kByteTime * static_cast<long long>(wanted - queued);
        if (!w.fast && missing > kLead + kLookTogether) {
          w.notBefore = now + missing - kLead;
          wake = std::min(wake, w.notBefore);
        } else {
          w.watch = true;
        }
        continue;
      }
      const SteadyClock::time_point due = it->second.due;
      cycle.tick(awaited->timerId);
      it = s.timers.find(awaited->timerId);
      if (it != s.timers.end() && it->second.due == due)
        it->second.due = SteadyClock::now() + it->second.period;
      w.notBefore = {};
      stepped = true;
    }
    return stepped;
  }

  StationProfile profile;
  StationObserver& watcher;
  std::optional<LoadedImage> image;
  std::optional<StartFailure> startFailure;
  std::vector<Slot> slots;
  PortWaiter waiter;
  std::vector<PortWatch> watches;
  long long lastUnit = 0;
  long long taken = 0;
  long long served = 0;
  long long passedUnits = 0;
  bool started = false;
  bool limitReached = false;
  bool stopped = false;  // stop() was called
  bool ended = false;
};

Station::Station(StationProfile profile, StationObserver& observer)
    : impl_(std::make_unique<Impl>(std::move(profile), observer)) {}

Station::~Station() {
  // Units still under way end as with stop(): stop frame, no file.
  if (impl_->started && !impl_->ended) stop();
}

int Station::addSlot(PortTarget port, std::string label) {
  const int index = static_cast<int>(impl_->slots.size());
  impl_->slots.push_back({std::make_unique<SlotCycle>(impl_->profile, impl_->image, *impl_, index,
                                                      std::move(port), std::move(label)),
                          {},
                          {}});
  if (impl_->started && !impl_->ended) impl_->slots.back().cycle->start();
  return index;
}

bool Station::start() {
  Impl& d = *impl_;
  if (d.started) return !d.startFailure;
  d.started = true;
  const StationProfile& p = d.profile;
  if (p.job == StationJob::Upgrade) {
    ImageLoadResult loaded = loadImage(p.imagePath);
    if (!loaded.ok()) {
      d.startFailure =
          StartFailure{loaded.failure, loaded.failure ? noticeText(*loaded.failure) : std::string(),
                       p.imagePath + ": the image can't be written into receivers"};
    } else {
      d.image = std::move(loaded.image);
    }
  }
  const std::string& dir = p.job == StationJob::Read ? p.readDir : p.backupDir;
  std::error_code ec;
  if (!dir.empty()) fs::create_directories(dir, ec);  // a missing folder is made
  if (!d.startFailure && (!dir.empty() || p.job == StationJob::Read))
    if (const std::optional<std::string> why = unwritableFolder(dir))
      d.startFailure = StartFailure{std::nullopt, "the units' folder can't be written", *why};
  if (d.startFailure || d.slots.empty()) {
    d.ended = true;
    return !d.startFailure;
  }
  for (Impl::Slot& s : d.slots) s.cycle->start();
  d.checkEnd();
  return true;
}

const std::optional<StartFailure>& Station::startFailure() const {
  return impl_->startFailure;
}

void Station::stop() {
  Impl& d = *impl_;
  d.stopped = true;
  for (Impl::Slot& s : d.slots)
    if (s.cycle->status().state != SlotState::Stopped) s.cycle->stop("the station was stopped");
  d.ended = true;
}

void Station::stopSlot(int slot) {
  impl_->slots.at(std::size_t(slot)).cycle->stop("stopped by the operator");
  impl_->checkEnd();
}

void Station::restartSlot(int slot) {
  Impl& d = *impl_;
  // A station that ended because every slot had stopped goes on.
  if (d.stopped || d.limitReached || d.startFailure || !d.started) return;
  d.ended = false;
  impl_->slots.at(std::size_t(slot)).cycle->restart();
}

void Station::confirmNextUnit(int slot) {
  impl_->slots.at(std::size_t(slot)).cycle->confirmNext();
}

bool Station::pump(int maxWaitMs) {
  Impl& d = *impl_;
  if (!d.started || d.ended) return false;
  SteadyClock::time_point wake = SteadyClock::now() + std::chrono::milliseconds(maxWaitMs);
  d.fireDue();
  // A step may find its next bytes queued already: look again at once (a
  // bounded number of rounds, so that a call always returns).
  for (int round = 0; round < kArrivalRounds && d.stepOnArrival(wake); ++round) d.checkEnd();
  d.checkEnd();
  if (d.ended) return false;

  for (const Impl::Slot& s : d.slots)
    for (const auto& [id, t] : s.timers) wake = std::min(wake, t.due);
  d.watches.clear();
  for (Impl::Slot& s : d.slots)
    if (s.arrival.watch)
      d.watches.push_back(
          {&s.cycle->port(), std::max(s.cycle->awaitedInput().value_or(AwaitedInput{}).bytes, 1u)});
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - SteadyClock::now()).count();
  if (ms > 0) {
    if (d.watches.empty()) {
      std::this_thread::sleep_until(wake);
    } else {
      d.waiter.wait(d.watches, static_cast<int>(ms));
      // A wait that failed is not tried again at once: never a spin.
      if (d.waiter.lastError().failed())
        std::this_thread::sleep_until(
            std::min(wake, SteadyClock::now() + std::chrono::milliseconds(kPortPollMs)));
    }
  }
  d.fireDue();
  SteadyClock::time_point later = SteadyClock::time_point::max();
  for (int round = 0; round < kArrivalRounds && d.stepOnArrival(later); ++round) d.checkEnd();
  d.checkEnd();
  return !d.ended;
}

int Station::slotCount() const {
  return static_cast<int>(impl_->slots.size());
}
const SlotStatus& Station::status(int slot) const {
  return impl_->slots.at(std::size_t(slot)).cycle->status();
}
const StationProfile& Station::profile() const {
  return impl_->profile;
}
bool Station::finished() const {
  return impl_->ended;
}
long long Station::units() const {
  return impl_->served;
}
long long Station::passed() const {
  return impl_->passedUnits;
}

std::string unitFilePath(const std::string& dir, long long unit) {
  char name[32];
  std::snprintf(name, sizeof name, "unit-%04lld.bin", unit);
  return (fs::path(dir) / name).string();
}

const char* slotStateName(SlotState state) {
  switch (state) {
    case SlotState::NoDevice:
      return "no device";
    case SlotState::Waiting:
      return "waiting";
    case SlotState::Running:
      return "running";
    case SlotState::Passed:
      return "passed";
    case SlotState::Failed:
      return "failed";
    case SlotState::RemoveReceiver:
      return "remove receiver";
    case SlotState::Stopped:
      return "stopped";
  }
  return "";
}

}  // namespace quorvane::station
