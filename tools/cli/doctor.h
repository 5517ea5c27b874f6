// `quorvane-cli doctor`: everything on the PC's side that stands between
// the tool and a receiver, found before a job rather than explained after
// one fails. The platform gathers facts (posix/doctor_posix.cpp,
// win32/doctor_win32.cpp); judging them, one line per check with its fix,
// is written once here.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "console.h"
#include "diagnosis.h"
#include "serial/device_identity.h"
#include "serial/serial_port.h"

namespace quorvane::cli {

inline constexpr const char* kDoctorHelp =
    "check the PC's side of the port (--port N, --device PATH, else the port of Quorvane.cfg) "
    "before a job: that the device is there, that this user may open it in this session, that "
    "no other program holds it or takes such adapters (ModemManager, brltty), its line settings "
    "(anything but 8N1 without flow control keeps the receiver from answering), the driver and "
    "the adapter. One line per check, each fault with its fix; exit status 0 when nothing "
    "stands in the way, else 1. With --connect the connection request follows";

enum class Verdict { Ok, Note, Fault };

struct DoctorCheck {
  Verdict verdict;
  std::string topic;  // "line", "access"
  std::string text;
  std::string fix;  // for a fault (or a note worth acting on): what to do
};

struct DoctorReport {
  std::vector<DoctorCheck> checks;
  void add(Verdict v, std::string topic, std::string text, std::string fix = {}) {
    checks.push_back({v, std::move(topic), std::move(text), std::move(fix)});
  }
  int faults() const;
  // "[ ok ] line: ...", "[FAIL] access: ...\n       fix: ...", one check a line.
  std::string render() const;
};

// Who may open a device on POSIX: its owner, group and mode and this user's
// place in that group.
struct AccessFacts {
  bool known = false;
  bool root = false;  // this process may open anything
  std::string user, owner, group;
  unsigned mode = 0;             // permission bits
  bool groupInSession = false;   // the device's group is one of this login's groups
  bool groupInDatabase = false;  // the user database puts the user into it
  bool acl = false;              // an access control list is set (uaccess gives one)
  bool aclGrants = false;        // and this user may read and write through it
};

// A process that has the device: "ModemManager" (pid 812) "has it open".
struct Holder {
  long pid = 0;
  std::string name;
  std::string how;
};

// What the platform found out about a device and the programs around it.
struct DoctorFacts {
  AccessFacts access;
  std::vector<Holder> holders;
  int hiddenProcesses = 0;  // processes this user may not look into
  std::string farEnd;       // a pseudo-terminal's master: "quorvane-emu (pid 4711)"
  bool modemManagerRunning = false;
  bool modemManagerIgnores = false;  // told to leave this device alone
  bool brlttyInstalled = false;
  bool brlttyClaims = false;                  // its rules name this adapter's ids
  std::string udevRule;                       // our rule's path where installed
  bool udevRuleCovers = false;                // and it names this adapter's ids
  std::string driver;                         // ftdi_sio, cdc_acm; Windows: the service (FTDIBUS)
  std::string driverProvider, driverVersion;  // Windows
  std::optional<unsigned> problemCode;        // Windows: the device manager's problem
  LineState lowLatency = LineState::Unknown;  // the driver accepts low latency
  std::optional<int> latencyTimerMs;          // a USB adapter's latency timer
  std::vector<std::string> sameComNumber;     // Windows: devices that claim the port's name
  std::string danglingLink;                   // a /dev/serial/by-id link that leads nowhere
};

// What the checks are about.
struct DoctorSubject {
  PortNaming naming;
  bool mapFileEntry = false;  // the device comes from a ports.conf entry
  bool present = false;
  std::vector<std::string> othersPresent;  // when not present: what is
  DeviceProbe probe;
  std::optional<DeviceIdentity> identity;
  bool posix = true;  // POSIX words (stty) or Windows ones
};

// Judges the facts: one check per line, in order. Pure: tests drive it.
DoctorReport judgeDevice(const DoctorSubject& subject, const DoctorFacts& facts);

// The platform's part: gathers the facts about `device` (present).
DoctorFacts gatherDoctorFacts(const std::string& device, const DoctorSubject& subject);

// Runs the checks on the port of `o` (each --device in turn); `connect`
// runs the connection request when --connect is given and the port opens.
int runDoctor(const Options& o, Console& console, int (*connect)(const Options&, Console&));

}  // namespace quorvane::cli
