#include "diagnosis.h"

#include <filesystem>

#include "cli_platform.h"

namespace quorvane::cli {

namespace {

// " (open: Permission denied)", or nothing when the system said nothing.
std::string said(const SystemError& error) {
  const std::string text = error.message();
  return text.empty() ? std::string() : " (" + text + ")";
}

constexpr const char* kListPorts = "quorvane-cli ports lists the serial devices present";

std::string portSubject(const PortNaming& port) {
  if (!port.comNumber) return port.device;
  const std::string com = "COM" + std::to_string(*port.comNumber);
  // Windows names COM n "COM<n>" itself: no need to say it twice.
  return port.device.empty() || port.device == com ? com : com + " (" + port.device + ")";
}

// The folder a file goes into, as the user would name it.
std::string folderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

}  // namespace

Explanation explainOpenFailure(const PortNaming& port, const SystemError& error) {
  Explanation e{portSubject(port), {}};
  const std::string& device = port.device;
  const bool unmapped = error.isNoSuchPort() || (port.comNumber && !error.failed());
  if (unmapped) {
    e.text = "no device for this port number; " + comMapRule();
    return e;
  }
  switch (error.kind) {
    case ErrorKind::NotFound:
      e.text = "not present" + said(error) + "; is the adapter plugged in? " + kListPorts;
      if (port.comNumber)
        e.text += "; " + comOverrideExample(*port.comNumber) + " maps COM" +
                  std::to_string(*port.comNumber) + " to another device";
      break;
    case ErrorKind::PermissionDenied:
      e.text = "permission denied" + said(error) + "; " + permissionStep(device);
      break;
    case ErrorKind::Busy:
      e.text = "busy, held by another program" + said(error) + "; " + holderStep(device);
      break;
    case ErrorKind::NotATerminal:
      e.text = "not a serial device" + said(error) + "; name a serial port: " + kListPorts;
      break;
    default:
      e.text = "cannot be opened" + said(error) +
               "; is it a serial port with its hardware there? " + kListPorts;
      break;
  }
  return e;
}

Explanation explainDisconnect(const PortNaming& port, const SystemError& error) {
  return {portSubject(port), "disconnected during the job" + said(error) +
                                 "; plug the adapter in again and run the job again; " +
                                 kListPorts};
}

Explanation explainFileFailure(const std::string& path, const SystemError& error) {
  Explanation e{path, {}};
  switch (error.kind) {
    case ErrorKind::NotFound:
      e.text = "the folder " + folderOf(path) + " does not exist" + said(error) +
               "; create it or name a file in another folder";
      break;
    case ErrorKind::PermissionDenied:
      e.text = "this user may not write it" + said(error) +
               "; name a file in a folder you may write to, such as your home directory";
      break;
    default:
      e.text = "cannot be written" + said(error) +
               "; check the disk and the name (a folder is no file), then run the job again";
      break;
  }
  return e;
}

std::optional<Explanation> explainSilence(const std::string& device, LineState flowControl,
                                          LineState clearToSend, bool writeTimedOut) {
  if (flowControl == LineState::On) {
    std::string text = "hardware flow control (RTS/CTS) is on for this port";
    if (clearToSend == LineState::Off) text += " and CTS is off, so the PC sends nothing";
    if (clearToSend == LineState::On) text += " (CTS is on)";
    text += "; a 3-wire cable has no CTS line: turn it off with " + flowControlOffStep(device);
    return Explanation{device, text};
  }
  if (writeTimedOut) {
    return Explanation{device, "a write did not finish within " +
                                   std::to_string(kWriteWaitLimitMs) +
                                   " ms: the port does not send; quorvane-cli ports shows its "
                                   "flow control"};
  }
  return std::nullopt;
}

std::string describeProbe(const std::string& device, const DeviceProbe& probe) {
  if (!probe.openable) {
    const Explanation why = explainOpenFailure({std::nullopt, device}, probe.error);
    // The kind of failure and the system's words, without the advice.
    return "can't open: " + why.text.substr(0, why.text.find(';'));
  }
  std::string text = "can open, hardware flow control ";
  switch (probe.hardwareFlowControl) {
    case LineState::Unknown:
      return text + "unknown (no modem lines)";
    case LineState::Off:
      text += "off";
      break;
    case LineState::On:
      text += "ON";
      break;
  }
  if (probe.clearToSend != LineState::Unknown)
    text += std::string(", CTS ") + (probe.clearToSend == LineState::On ? "on" : "off");
  if (probe.hardwareFlowControl == LineState::On)
    text += " (for a 3-wire cable: " + flowControlOffStep(device) + ")";
  return text;
}

}  // namespace quorvane::cli
