#include "station/station.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "base/atomic_file.h"
#include "serial/port_waiter.h"
#include "station/slot_cycle.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace quorvane::station {

namespace {

using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

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
  struct Slot {
    std::unique_ptr<SlotCycle> cycle;
    std::map<int, Timer> timers;
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

  // The steps whose awaited bytes are there, at once; their timers go on a
  // period from now. True when one stepped.
  bool stepOnArrival() {
    bool stepped = false;
    for (std::size_t s = 0; s < slots.size(); ++s) {
      SlotCycle& cycle = *slots[s].cycle;
      const std::optional<AwaitedInput> awaited = cycle.awaitedInput();
      if (!awaited || !cycle.port().isOpen()) continue;
      auto it = slots[s].timers.find(awaited->timerId);
      if (it == slots[s].timers.end()) continue;
      if (cycle.port().bytesInQueue() < std::max(awaited->bytes, 1u)) continue;
      const SteadyClock::time_point due = it->second.due;
      cycle.tick(awaited->timerId);
      it = slots[s].timers.find(awaited->timerId);
      if (it != slots[s].timers.end() && it->second.due == due)
        it->second.due = SteadyClock::now() + it->second.period;
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
                          {}});
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
  for (Impl::Slot& s : d.slots)
    if (s.cycle->status().state != SlotState::Stopped) s.cycle->stop("the station was stopped");
  d.ended = true;
}

void Station::stopSlot(int slot) {
  impl_->slots.at(std::size_t(slot)).cycle->stop("stopped by the operator");
  impl_->checkEnd();
}

void Station::restartSlot(int slot) {
  if (impl_->ended) return;
  impl_->slots.at(std::size_t(slot)).cycle->restart();
}

void Station::confirmNextUnit(int slot) {
  impl_->slots.at(std::size_t(slot)).cycle->confirmNext();
}

bool Station::pump(int maxWaitMs) {
  Impl& d = *impl_;
  if (!d.started || d.ended) return false;
  d.fireDue();
  while (d.stepOnArrival()) d.checkEnd();
  d.checkEnd();
  if (d.ended) return false;

  SteadyClock::time_point wake = SteadyClock::now() + std::chrono::milliseconds(maxWaitMs);
  for (const Impl::Slot& s : d.slots)
    for (const auto& [id, t] : s.timers) wake = std::min(wake, t.due);
  d.watches.clear();
  for (Impl::Slot& s : d.slots) {
    const std::optional<AwaitedInput> awaited = s.cycle->awaitedInput();
    if (awaited && s.cycle->port().isOpen())
      d.watches.push_back({&s.cycle->port(), std::max(awaited->bytes, 1u)});
  }
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
  while (d.stepOnArrival()) d.checkEnd();
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
