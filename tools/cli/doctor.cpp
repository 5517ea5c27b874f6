#include "doctor.h"

#include <cstdio>

#include "base/app_config.h"
#include "cli_platform.h"
#include "serial/port_map.h"
#include "serial/protocol.h"

namespace quorvane::cli {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

std::string joined(const std::vector<std::string>& items, const char* separator = ", ") {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

std::string modeText(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

// How long a 1 MiB job's blocks may wait on a latency timer of `ms`: each
// block's last bytes sit in the adapter until the timer runs out.
std::string latencyCost(int ms) {
  constexpr long long kBlocksPerMiB = (1 << 20) / static_cast<long long>(kBlockSize);
  const long long lineMs = (1LL << 20) * kLineBitsPerByte * 1000 / kLineSpeed;
  const long long extraMs = kBlocksPerMiB * ms;
  char text[160];
  std::snprintf(text, sizeof text,
                "each %d-byte block may wait up to %d ms, so a 1 MiB job (%lld blocks, %.0f s at "
                "%d bit/s) takes up to %.1f s longer",
                static_cast<int>(kBlockSize), ms, kBlocksPerMiB, static_cast<double>(lineMs) / 1000,
                kLineSpeed, static_cast<double>(extraMs) / 1000);
  return text;
}

void judgeAccess(const DoctorSubject& s, const DoctorFacts& f, DoctorReport& r) {
  const std::string& device = s.naming.device;
  const AccessFacts& a = f.access;
  const std::string facts = a.known ? "owner " + a.owner + ", group " + a.group + ", mode " +
                                          modeText(a.mode) + (a.acl ? ", an ACL" : "")
                                    : std::string();
  const DeviceProbe& p = s.probe;
  if (p.openable) {
    std::string how;
    if (a.known)
      how = a.root             ? " as root"
            : a.aclGrants      ? " through its ACL (the desk's seat, uaccess)"
            : a.groupInSession ? " as a member of " + a.group
                               : "";
    r.add(Verdict::Ok, "access",
          "this user may open it now" + how + (facts.empty() ? "" : " (" + facts + ")"));
    return;
  }
  const ErrorKind kind = p.error.kind;
  const std::string said = p.error.message().empty() ? "" : " (" + p.error.message() + ")";
  if (kind == ErrorKind::PermissionDenied) {
    const bool groupMay = a.known && (a.mode & 060) == 060 && a.group != "root";
    std::string text = "this user may not open it" + said;
    if (!facts.empty()) text += ": " + facts;
    std::string fix;
    if (groupMay && a.groupInDatabase && !a.groupInSession) {
      text += "; " + a.user + " is in " + a.group + " in the user database, but not in this login";
      fix = "log out and in again (or reboot), so that the login gets the group " + a.group +
            "; `id` then lists it";
    } else if (groupMay) {
      text += "; " + a.user + " is not in the group " + a.group;
      fix = "sudo usermod -aG " + a.group + " " + a.user + ", then log out and in again";
    } else {
      text += ", so no group may use it";
      fix =
          "an administrator gives access: for a USB adapter install the quorvane package (its "
          "udev rule lets the person at the desk open it), or add a udev rule with "
          "MODE=\"0660\", GROUP=\"dialout\" and join dialout; for now: sudo chmod 0660 " +
          device + " && sudo chgrp dialout " + device;
    }
    r.add(Verdict::Fault, "access", text, fix);
  } else if (kind == ErrorKind::Busy) {
    r.add(Verdict::Fault, "access",
          "another program holds it" + said +
              (f.holders.empty() ? ""
                                 : ": " + f.holders.front().name + " (pid " +
                                       std::to_string(f.holders.front().pid) + ")"),
          f.holders.empty() ? holderStep(device) : "close it (see holders below)");
  } else if (kind == ErrorKind::NotATerminal) {
    r.add(Verdict::Fault, "access", "it is no serial device" + said,
          "name a serial port: quorvane-cli ports lists them");
  } else {
    r.add(Verdict::Fault, "access", "it cannot be opened" + said,
          "check that it is a serial port with its hardware there: quorvane-cli ports");
  }
}

std::string holderFix(const Holder& h) {
  if (h.name == "ModemManager")
    return "ModemManager probes new adapters for modems: install the quorvane package (its udev "
           "rule tells ModemManager to leave such adapters alone), or sudo systemctl stop "
           "ModemManager";
  if (h.name == "brltty")
    return "brltty takes such adapters for braille displays: sudo apt-get remove brltty (if no "
           "braille display is used)";
  return "end that program (a terminal program such as minicom or screen: quit it; else kill " +
         std::to_string(h.pid) + ")";
}

void judgeHolders(const DoctorSubject& s, const DoctorFacts& f, DoctorReport& r) {
  for (const Holder& h : f.holders)
    r.add(Verdict::Fault, "holders", h.name + " (pid " + std::to_string(h.pid) + ") " + h.how,
          holderFix(h));
  if (!f.holders.empty() || !s.posix) return;
  std::string text = "no other process has it open";
  if (!f.farEnd.empty()) text += "; " + f.farEnd + " is the pseudo-terminal's other end";
  if (f.hiddenProcesses > 0)
    text += " among those this user may look into (" + std::to_string(f.hiddenProcesses) +
            " processes of other users only root can see into: sudo fuser -v " + s.naming.device +
            ")";
  r.add(Verdict::Ok, "holders", text);
}

void judgeNeighbours(const DoctorSubject& s, const DoctorFacts& f, DoctorReport& r) {
  if (!s.posix) return;
  const bool usb = s.identity && !s.identity->vendorId.empty();
  const std::string ids =
      usb ? s.identity->vendorId + ":" + s.identity->productId : std::string("-");
  if (!f.modemManagerRunning)
    r.add(Verdict::Ok, "ModemManager", "not running");
  else if (!usb || f.modemManagerIgnores)
    r.add(Verdict::Ok, "ModemManager",
          usb ? "running, told to leave this device alone (ID_MM_DEVICE_IGNORE)"
              : "running; it leaves built-in serial ports alone");
  else
    r.add(Verdict::Fault, "ModemManager",
          "running and not told to leave this adapter alone: it probes it for a few seconds "
          "after it is plugged in and may hold it then",
          "install the quorvane package (its udev rule sets ID_MM_DEVICE_IGNORE for USB serial "
          "adapters), then unplug the adapter and plug it in again; or sudo systemctl stop "
          "ModemManager");
  if (!f.brlttyInstalled)
    r.add(Verdict::Ok, "brltty", "not installed");
  else if (f.brlttyClaims)
    r.add(Verdict::Fault, "brltty",
          "installed, and its udev rules claim USB " + ids +
              " for a braille display: it takes the adapter away",
          "sudo apt-get remove brltty (if no braille display is used), then unplug the adapter "
          "and plug it in again");
  else
    r.add(Verdict::Ok, "brltty", "installed; its rules do not claim this device");
  if (!usb) return;
  if (f.udevRule.empty())
    r.add(Verdict::Note, "udev rule",
          "the quorvane rule is not installed, so the device's group decides who may open it",
          "install the quorvane package: its rule lets the person at the desk open common USB "
          "serial adapters and keeps ModemManager away");
  else if (!f.udevRuleCovers)
    r.add(Verdict::Note, "udev rule", f.udevRule + " is installed but does not name USB " + ids);
  else
    r.add(Verdict::Ok, "udev rule", f.udevRule + " names USB " + ids);
}

void judgeLine(const DoctorSubject& s, DoctorReport& r) {
  const DeviceProbe& p = s.probe;
  if (!p.openable) return;
  const LineSettings& line = p.line;
  if (!line.known) {
    r.add(Verdict::Note, "line", "the system does not tell the line settings");
    return;
  }
  std::string text = line.shortForm() + ", hardware flow control ";
  text += line.hardwareFlowControl == LineState::On    ? "on"
          : line.hardwareFlowControl == LineState::Off ? "off"
                                                       : "unknown";
  text += ", software flow control ";
  text += line.softwareFlowControl ? "on" : "off";
  if (p.clearToSend != LineState::Unknown)
    text += std::string(", CTS ") + (p.clearToSend == LineState::On ? "on" : "off");
  const std::string fault = lineSettingsFault(line);
  if (!fault.empty()) {
    r.add(Verdict::Fault, "line",
          text + ": " + fault +
              ", which the tool keeps as the port has it; the receiver talks 8N1 without flow "
              "control and will not answer",
          plainLineStep(s.naming.device));
  } else {
    r.add(Verdict::Ok, "line",
          text + "; the tool sets " + std::to_string(kLineSpeed) + " bit/s and 8 data bits");
  }
  if (!line.transparencyChanges.empty())
    r.add(Verdict::Note, "line",
          std::string(line.softwareFlowControl ? "software flow control (XON/XOFF) and " : "") +
              "byte-changing settings the tool turns off while it runs and puts back at close: " +
              joined(line.transparencyChanges, " "));
}

void judgeDriver(const DoctorSubject& s, const DoctorFacts& f, DoctorReport& r) {
  if (f.problemCode) {
    r.add(Verdict::Fault, "driver",
          "the device manager reports problem code " + std::to_string(*f.problemCode) +
              (f.driverProvider.empty() ? "" : " (driver of " + f.driverProvider + ")") +
              (*f.problemCode == 10 ? ": the device cannot start (a PL2303 clone refused by a "
                                      "newer driver shows this)"
                                    : ""),
          "the Device Manager: the port's Properties, Driver: update or roll back the driver "
          "(for a PL2303 clone, the maker's older driver), then plug the adapter in again");
  }
  if (!f.driver.empty() || !f.driverProvider.empty()) {
    std::string text = f.driver;
    if (!f.driverProvider.empty())
      text += (text.empty() ? "" : ", ") + std::string("from ") + f.driverProvider;
    if (!f.driverVersion.empty()) text += ", version " + f.driverVersion;
    if (f.lowLatency == LineState::On)
      text += "; accepts low latency, which the tool turns on while it runs";
    if (f.lowLatency == LineState::Off) text += "; does not take low latency requests";
    r.add(Verdict::Ok, "driver", text);
  } else if (s.posix) {
    r.add(Verdict::Note, "driver", "no kernel serial driver behind it (a pseudo-terminal?)");
  }
  if (f.latencyTimerMs && *f.latencyTimerMs > 1) {
    if (s.posix && f.lowLatency == LineState::On)
      r.add(Verdict::Ok, "latency",
            "latency timer " + std::to_string(*f.latencyTimerMs) +
                " ms, 1 ms while the tool runs (low latency)");
    else
      r.add(Verdict::Note, "latency",
            "latency timer " + std::to_string(*f.latencyTimerMs) +
                " ms: " + latencyCost(*f.latencyTimerMs),
            s.posix ? "echo 1 | sudo tee /sys/bus/usb-serial/devices/<tty>/latency_timer"
                    : "the Device Manager: the port's Properties, Port Settings, Advanced, "
                      "Latency Timer (msec): 1");
  } else if (f.latencyTimerMs) {
    r.add(Verdict::Ok, "latency", "latency timer " + std::to_string(*f.latencyTimerMs) + " ms");
  }
  if (!f.sameComNumber.empty())
    r.add(Verdict::Fault, "COM number",
          s.naming.device + " is claimed by " + std::to_string(f.sameComNumber.size()) +
              " devices: " + joined(f.sameComNumber, "; "),
          "the Device Manager: one port's Properties, Port Settings, Advanced, COM Port Number: "
          "give it a free number");
  if (s.identity && !s.identity->describe().empty())
    r.add(Verdict::Ok, "adapter",
          s.identity->describe() +
              (s.identity->stableLink.empty() ? "" : ", stable name " + s.identity->stableLink));
  else
    r.add(Verdict::Ok, "adapter", "no USB adapter (a built-in port or a pseudo-terminal)");
}

// The port of the run: each --device, else --port N, else Quorvane.cfg's.
std::vector<PortNaming> namingsOf(const Options& o) {
  std::vector<PortNaming> namings;
  for (const std::string& d : o.devices) namings.push_back({std::nullopt, d});
  if (!namings.empty()) return namings;
  long long number = 0;
  if (o.port) {
    number = *o.port;
  } else {
    AppConfig config;
    config.locateConfig();
    config.loadConfig();
    number = portNumberFromIndex(config.portIndex);
  }
  namings.push_back({number, devicePathForPort(number).value_or("")});
  return namings;
}

}  // namespace

int DoctorReport::faults() const {
  int n = 0;
  for (const DoctorCheck& c : checks) n += c.verdict == Verdict::Fault;
  return n;
}

std::string DoctorReport::render() const {
  std::string text;
  for (const DoctorCheck& c : checks) {
    text += c.verdict == Verdict::Ok     ? "[ ok ] "
            : c.verdict == Verdict::Note ? "[note] "
                                         : "[FAIL] ";
    text += c.topic + ": " + c.text + "\n";
    if (!c.fix.empty()) text += "       fix: " + c.fix + "\n";
  }
  return text;
}

DoctorReport judgeDevice(const DoctorSubject& s, const DoctorFacts& f) {
  DoctorReport r;
  const std::string subject = portSubject(s.naming);
  if (s.naming.device.empty()) {
    r.add(Verdict::Fault, "device", subject + ": no device for this port number", comMapRule());
    return r;
  }
  if (!s.present) {
    std::string text = subject + " is not present";
    if (s.mapFileEntry)
      text += "; the ports.conf entry COM" + std::to_string(*s.naming.comNumber) + " names it";
    if (!f.danglingLink.empty()) text += "; the link " + f.danglingLink + " leads nowhere";
    text += "; present now: " + (s.othersPresent.empty() ? "none" : joined(s.othersPresent));
    r.add(Verdict::Fault, "device", text,
          "plug the adapter in (a by-id link comes back with it); quorvane-cli ports names each "
          "adapter, and quorvane-cli map N DEVICE points COM N at the one in use");
    return r;
  }
  r.add(Verdict::Ok, "device",
        subject + " is present" + (s.mapFileEntry ? " (named by ports.conf)" : ""));
  judgeAccess(s, f, r);
  judgeHolders(s, f, r);
  judgeNeighbours(s, f, r);
  judgeLine(s, r);
  judgeDriver(s, f, r);
  return r;
}

int runDoctor(const Options& o, Console& console, int (*connect)(const Options&, Console&)) {
  bool allOk = true;
  for (const PortNaming& naming : namingsOf(o)) {
    DoctorSubject s;
    s.naming = naming;
#ifdef _WIN32
    s.posix = false;
#endif
    s.mapFileEntry = naming.comNumber && mapPort(*naming.comNumber).source == PortSource::MapFile;
    DoctorFacts facts;
    if (!naming.device.empty()) {
      s.present = serialDevicePresent(naming.device);
      if (s.present) {
        s.probe = probeDevice(naming.device);
        s.identity = identifyDevice(naming.device);
      } else {
        for (const SerialDeviceFound& found : serialDevicesPresent())
          s.othersPresent.push_back(found.device);
      }
      facts = gatherDoctorFacts(naming.device, s);
    }
    const DoctorReport report = judgeDevice(s, facts);
    const int faults = report.faults();
    std::string out = "doctor: " + portSubject(naming) + "\n" + report.render();
    out += faults == 0   ? "nothing stands in the way"
           : faults == 1 ? "1 fault stands in the way"
                         : std::to_string(faults) + " faults stand in the way";
    console.result("", out);
    allOk = allOk && faults == 0;
    if (o.connectAfterChecks && faults > 0)
      console.result("", "connect: not tried while a fault stands in the way");
    if (o.connectAfterChecks && faults == 0 && connect) {
      Options one = o;
      one.devices.assign(1, naming.device);
      one.port.reset();
      if (naming.comNumber) {
        one.devices.clear();
        one.port = naming.comNumber;
      }
      allOk = connect(one, console) == kExitOk && allOk;
    }
  }
  return allOk ? kExitOk : kExitFailed;
}

}  // namespace quorvane::cli
