// One slot's cycle as a tick-driven machine: wait for a receiver, run the
// profile's job on it as one unit, report the unit, wait for it to go,
// again. Each stage is one machine of the core run on the slot's port:
//
//   Probe     LoaderProbe without a limit: waiting for a receiver
//   Backup    ReadTransfer into the backup folder      (upgrade, --backup)
//   Query     TypeQuery: the receiver's type            (upgrade, askType)
//   Upgrade   UpgradeTransfer
//   Reboot    LoaderProbe with rebootWaitMs: the receiver saves and reboots
//   Verify    ReadTransfer against the image           (upgrade, verify)
//   Read      ReadTransfer into the read folder        (read)
//   Leave     LoaderProbe with quietMs: the unit's receiver must go. An
//             answer restarts it (RemoveReceiver); its limit running out
//             lets the slot wait for the next unit
//   Retry     the port is missing: opened again every noDeviceRetryMs
//
// The machines' timers are the slot's (one stage at a time, so their ids do
// not collide); kRetryTimerId is the slot's own. The host (Station, or a
// test) delivers the ticks and hands out unit numbers.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/tick_machine.h"
#include "serial/command_port.h"
#include "station/station.h"
#include "transfer/rom_image.h"
#include "transfer/transfer_view.h"

namespace quorvane {
class ReadTransfer;
}

namespace quorvane::station {

inline constexpr int kRetryTimerId = 10;

// What a slot needs of the station around it.
class SlotHost {
 public:
  virtual ~SlotHost() = default;
  // Starts (periodMs >= 0) or stops (periodMs < 0) the slot's timer.
  virtual void slotTimer(int slot, int timerId, int periodMs) = 0;
  // The number of the unit that has just answered in `slot`; 0: the station
  // takes no more units.
  virtual long long nextUnit(int slot) = 0;
  virtual void slotChanged(int slot, const SlotStatus& status) = 0;
  virtual void unitEnded(int slot, const UnitRecord& record, bool passed) = 0;
  virtual StationObserver& observer() = 0;
};

class SlotCycle final : private TransferView {
 public:
  // `image`: the loaded image of an upgrade profile, set before start();
  // it and the profile outlive the slot.
  SlotCycle(const StationProfile& profile, const std::optional<LoadedImage>& image, SlotHost& host,
            int index, PortTarget port, std::string label);
  ~SlotCycle() override;

  // Begins waiting for the first receiver.
  void start();
  // A tick of one of the slot's timers.
  void tick(int timerId);
  // What the running stage's next step waits for on the port.
  std::optional<AwaitedInput> awaitedInput() const;
  SerialPort& port() { return port_; }

  // Ends the slot: a unit under way is cancelled (stop frame mid-transfer,
  // no file), the port closed, the state Stopped with `why`.
  void stop(const std::string& why);
  // A stopped slot waits for receivers again, its failures in a row cleared:
  // the operator's word, so the receiver connected now may be taken.
  void restart();
  // confirmEachUnit: the next receiver that answers is a new unit.
  void confirmNext();

  // A unit's job is under way.
  bool running() const { return unit_ != 0; }
  const SlotStatus& status() const { return status_; }

 private:
  enum class Stage { Idle, Probe, Backup, Query, Upgrade, Reboot, Verify, Read, Leave, Retry };
  struct Unit;

  // The views of the machines.
  void startTimer(int timerId, int periodMs) override;
  void stopTimer(int timerId) override;
  void showMessage(const Notice& notice) override;
  void showBlockProgress(unsigned, long long, long long) override {}
  void cancel() override;

  void enterStage(Stage stage, std::unique_ptr<TickMachine> machine, const std::string& step);
  void stopTimers();
  void onEvent(const MachineEvent& event);
  void stageEnded();

  void waitForReceiver();
  void waitForLeave();
  void noDevice();
  void beginUnit();
  void beginUpgrade();
  void rebootOrPass();
  void endUnit(bool passed, bool portGone = false);
  void failUnit(FailureFacts facts);
  FailureFacts portFacts(const std::optional<Notice>& notice, unsigned waitedMs) const;
  // A read's failure: its file, or the port.
  FailureFacts readFacts(const ReadTransfer& read) const;
  bool portGone() const;
  void changed();

  const StationProfile& profile_;
  const LoadedImage& image() const { return *image_; }

  const std::optional<LoadedImage>& image_;
  SlotHost& host_;
  int index_;
  PortTarget target_;
  CommandPort port_;

  Stage stage_ = Stage::Idle;
  std::unique_ptr<TickMachine> machine_;
  std::optional<Notice> shown_;  // the running machine's message, if any
  std::chrono::steady_clock::time_point stepStarted_{};
  std::map<int, int> timers_;  // running: id -> period

  long long unit_ = 0;  // the unit under way; 0: none
  std::unique_ptr<Unit> record_;
  bool mustLeave_ = false;  // the last unit's receiver has not been silent for quietMs yet
  int stops_ = 0;           // stop() calls: a unit's end sees whether the host stopped the slot
  // Machines ended inside a call of their own (a stop from an observer);
  // freed at the next tick.
  std::vector<std::unique_ptr<TickMachine>> retired_;
  SlotStatus status_;
};

}  // namespace quorvane::station
