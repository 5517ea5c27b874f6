// A station: one job (upgrade an image, or read the flash) done on receiver
// after receiver in several slots at once, one serial port per slot, all on
// one thread.
//
// Each slot runs the same cycle:
//   1. wait for a receiver: the loader is asked for with the connection
//      request often enough to catch a boot window of 500 ms;
//   2. the moment it answers, the unit gets the next unit number and the
//      job runs (upgrade: optional backup read, type question, upgrade,
//      optional reboot wait and read-back compare; read: the flash into its
//      own file named by the unit number);
//   3. the unit is reported (StationObserver::unitEnded);
//   4. the slot waits for the receiver to go: it takes a new one only once
//      the loader has not answered for StationProfile::quietMs without a
//      break (or, with confirmEachUnit, once the operator confirms it).
//
// Why the rule of step 4 never takes a receiver twice: a receiver saves for
// up to 10 s after an upgrade and then reboots into its loader or into a
// boot window of at least 500 ms, which the asking catches; a read leaves
// it in its loader. So a receiver that stays connected answers again within
// 10 s, while a swap keeps the slot switched off or empty for at least 20 s.
// 15 s of silence lies between the two.
//
// The observer outlives the station (destroying a running station stops it,
// which reports the units it cancels). Front ends call pump() from their one
// thread (the command-line tool in a
// loop, the station window from a timer); every state change and every
// unit's end comes back through the observer from inside pump(), start(),
// stop() and the slot calls.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/notice.h"
#include "base/system_error.h"
#include "serial/command_frame.h"
#include "serial/port_target.h"
#include "serial/serial_port.h"
#include "station/unit_record.h"

namespace quorvane::station {

enum class StationJob { Upgrade, Read };

// What every slot does with each unit.
struct StationProfile {
  StationJob job = StationJob::Upgrade;
  std::string imagePath;         // Upgrade: the image, loaded once by start()
  bool askType = true;           // Upgrade: the type question first; another type gets nothing
  bool verify = false;           // Upgrade: after the reboot, the flash read back and compared
  std::string backupDir;         // Upgrade: each unit's flash read into DIR/unit-NNNN.bin first
  std::string readDir;           // Read: each unit into DIR/unit-NNNN.bin
  int maxFailures = 3;           // failures in a row that stop a slot; 0: never
  long long maxUnits = 0;        // units in all slots together that end the station; 0: no limit
  bool confirmEachUnit = false;  // a slot takes the next unit only after confirmNextUnit()
  int rebootWaitMs = 30000;      // verify: how long the rebooting receiver is asked for
  int quietMs = 15000;           // the loader's silence after which a slot takes a new unit
  int probeIntervalMs = 100;     // how often a waiting slot asks for the loader
  int noDeviceRetryMs = 1000;    // how often a slot whose port is missing tries again
};

enum class SlotState {
  NoDevice,        // the port can't be opened (the adapter is not plugged in)
  Waiting,         // asking for a receiver's loader
  Running,         // a unit's job is under way: `step`, blocks, time left
  Passed,          // the last unit passed; waiting for it to go
  Failed,          // the last unit failed (message, reason); waiting for it to go
  RemoveReceiver,  // the last unit's receiver still answers: take it out or switch it off
  Stopped,         // the slot takes no more units (message says why)
};

// A slot's state for its front end.
struct SlotStatus {
  SlotState state = SlotState::Waiting;
  std::string label;  // as addSlot named it
  std::string step;   // Running: "backup", "type question", "upgrade", "reboot wait",
                      // "verify", "read"
  long long blocksDone = 0;
  long long blockCount = 0;
  std::optional<double> secondsLeft;  // Running: of the current step, once a rate is known
  long long unit = 0;                 // the unit running or last served; 0: none yet
  int units = 0;
  int passed = 0;
  int failed = 0;
  int failuresInRow = 0;
  bool confirmNeeded = false;  // confirmEachUnit: the next unit waits for confirmNextUnit()
  std::string message;         // Failed: the failure's text; Stopped: why
  std::string reason;          // the line under it; may be empty
};

// What a front end needs to word the line under a failure itself (the
// command-line tool names the system's reason and the next step).
struct FailureFacts {
  enum class Kind {
    Port,           // the port: not opened, gone, or the receiver silent on it
    File,           // a unit's file could not be written
    TypeMismatch,   // the receiver is of another type than the image
    StrangeAnswer,  // an answer the job could not take
    Differs,        // the read-back differs from the image
    NotBack,        // after the upgrade the loader never answered again: not verified
    Other,
  };
  Kind kind = Kind::Other;
  std::optional<Notice> notice;  // the machine's message, when it has one
  std::string text;              // the message as shown
  PortTarget port;
  std::string devicePath;  // what the port opened (or would open)
  SystemError portError;
  LineState flowControl = LineState::Unknown;
  LineState clearToSend = LineState::Unknown;
  LineSettings line;      // parity and stop bits as kept; flowControl as the modem lines tell
  unsigned waitedMs = 0;  // Port: the wait that ran out
  std::string filePath;   // File
  SystemError fileError;
  int receiverTag = -1;  // TypeMismatch
  int imageTag = -1;
  long long blocksWritten = 0;
  FrameBytes lastAnswer{};  // StrangeAnswer
};

class StationObserver {
 public:
  virtual ~StationObserver() = default;
  // The slot's status has changed (state, step, blocks, counters).
  virtual void slotChanged(int slot, const SlotStatus& status) = 0;
  // A unit has ended, passed or failed (or cancelled by stop()).
  virtual void unitEnded(const UnitRecord& record) = 0;
  // The line under a failure: "<subject>: <text>". The default is the
  // core's own short line; a front end may word it with the system's
  // reason and the next step.
  virtual std::string reasonFor(int slot, const FailureFacts& facts);
  // Something to tell that is no failure ("the receiver named no type, so
  // ..."), and, with tracing, each frame ("->" sent, "<-" received).
  virtual void note(int /*slot*/, const std::string& /*text*/) {}
  virtual void trace(int /*slot*/, const char* /*direction*/, const std::string& /*text*/) {}
  // A frame for the trace: by default its hex bytes to trace().
  virtual void traceFrame(int slot, const char* direction, const FrameBytes& frame);
  // Whether trace() wants frames at all (they cost a formatting each).
  virtual bool tracing() const { return false; }
};

// Why a station could not start: its message and the line under it.
struct StartFailure {
  std::optional<Notice> notice;  // an image refused by the loader's checks
  std::string text;
  std::string reason;
};

class Station {
 public:
  Station(StationProfile profile, StationObserver& observer);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // A slot on `port`, shown as `label`; returns its index (0, 1, ...). On
  // a running station it begins waiting for a receiver at once.
  int addSlot(PortTarget port, std::string label);

  // Loads the image (Upgrade) and checks the folders; false, with
  // startFailure() saying why, when the station can't run. Then every slot
  // begins waiting for its first receiver.
  bool start();
  const std::optional<StartFailure>& startFailure() const;

  // Ends the station as Ctrl-C ends a job: a slot in a transfer sends the
  // stop frame, its unit ends cancelled and its file is not written; every
  // slot stops; finished() turns true.
  void stop();

  // One slot only: stop it as stop() does (its unit cancelled), or let a
  // stopped slot wait for receivers again (its failures in a row cleared;
  // also when the station had ended because every slot had stopped, but
  // not after stop() or the units limit).
  void stopSlot(int slot);
  void restartSlot(int slot);
  // confirmEachUnit: the slot's next receiver is a new unit.
  void confirmNextUnit(int slot);

  // Delivers every tick that is due and every step whose awaited bytes have
  // come, waiting at most `maxWaitMs` for them on the slots' ports. False
  // once the station has ended.
  bool pump(int maxWaitMs);

  int slotCount() const;
  const SlotStatus& status(int slot) const;
  const StationProfile& profile() const;
  // Ended: stop(), the units limit reached (and every unit running then
  // ended), or every slot stopped.
  bool finished() const;
  // Units served in all slots together, and how many passed.
  long long units() const;
  long long passed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Where unit `unit`'s file goes in `dir`: "unit-0007.bin".
std::string unitFilePath(const std::string& dir, long long unit);

// "waiting", "running", "passed", "failed", "remove receiver", "stopped",
// "no device".
const char* slotStateName(SlotState state);

}  // namespace quorvane::station
