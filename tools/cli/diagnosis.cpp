#include "diagnosis.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli_platform.h"
#include "serial/command_frame.h"
#include "transfer/model_check.h"
#include "transfer/rom_type.h"

namespace quorvane::cli {

namespace {

// " (open: Permission denied)", or nothing when the system said nothing.
std::string said(const SystemError& error) {
  const std::string text = error.message();
  return text.empty() ? std::string() : " (" + text + ")";
}

constexpr const char* kListPorts = "quorvane-cli ports lists the serial devices present";

// The folder a file goes into, as the user would name it.
std::string folderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

// The first bytes of a file as text where printable, for a refused image.
std::string firstBytesText(const std::string& path, std::size_t count) {
  std::uint8_t bytes[kTagSize] = {};
  std::FILE* f = std::fopen(path.c_str(), "rb");
  const std::size_t n = f ? std::fread(bytes, 1, std::min(count, sizeof bytes), f) : 0;
  if (f) std::fclose(f);
  std::string text = "\"";
  for (std::size_t i = 0; i < n; ++i)
    text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
  return text + "\" (" + hexBytes(bytes, n) + ")";
}

// ", parity even, 2 stop bits" for what a session keeps of `line` that a
// receiver's 8N1 line without flow control does not have; "" when nothing.
std::string keptSettingsText(const LineSettings& line) {
  if (!line.known || line.keptSettingsPlain()) return {};
  static constexpr const char* kParityNames[] = {"none", "odd", "even", "mark", "space"};
  std::string text;
  if (line.parity != Parity::None)
    text += std::string(", parity ") + kParityNames[static_cast<int>(line.parity)];
  if (line.stopBitsTimesTwo != 2)
    text += line.stopBitsTimesTwo == 3 ? ", 1.5 stop bits" : ", 2 stop bits";
  if (line.hardwareFlowControl == LineState::On) text += ", hardware flow control";
  return text;
}

}  // namespace

std::string doctorStep(const PortNaming& port) {
  return "quorvane-cli doctor " +
         (port.comNumber ? "--port " + std::to_string(*port.comNumber)
                         : "--device " + port.device) +
         " checks this port and the PC";
}

std::string lineSettingsFault(const LineSettings& line) {
  const std::string kept = keptSettingsText(line);
  return kept.empty() ? kept : kept.substr(2);
}

std::string portSubject(const PortNaming& port) {
  if (!port.comNumber) return port.device;
  const std::string com = "COM" + std::to_string(*port.comNumber);
  // Windows names COM n "COM<n>" itself: no need to say it twice.
  return port.device.empty() || port.device == com ? com : com + " (" + port.device + ")";
}

namespace {

// Why a device could not be opened, and what to do about it.
struct OpenFailure {
  std::string what;
  std::string advice;
};

OpenFailure openFailure(const PortNaming& port, const SystemError& error) {
  const std::string& device = port.device;
  if (error.isNoSuchPort() || (port.comNumber && !error.failed()))
    return {"no device for this port number", comMapRule()};
  switch (error.kind) {
    case ErrorKind::NotFound: {
      OpenFailure f{"not present" + said(error),
                    "is the adapter plugged in? " + std::string(kListPorts)};
      if (port.comNumber)
        f.advice += "; " + comOverrideExample(*port.comNumber) + " maps COM" +
                    std::to_string(*port.comNumber) + " to another device";
      return f;
    }
    case ErrorKind::PermissionDenied:
      return {"permission denied" + said(error), permissionStep(device)};
    case ErrorKind::Busy:
      return {"busy, held by another program" + said(error), holderStep(device)};
    case ErrorKind::NotATerminal:
      return {"not a serial device" + said(error),
              "name a serial port: " + std::string(kListPorts)};
    default:
      return {"cannot be opened" + said(error),
              "is it a serial port with its hardware there? " + std::string(kListPorts)};
  }
}

}  // namespace

Explanation explainOpenFailure(const PortNaming& port, const SystemError& error) {
  const OpenFailure f = openFailure(port, error);
  return {portSubject(port), f.what + "; " + f.advice + "; " + doctorStep(port)};
}

Explanation explainDisconnect(const PortNaming& port, const SystemError& error) {
  return {portSubject(port), "disconnected during the job" + said(error) +
                                 "; plug the adapter in again and run the job again; " +
                                 kListPorts + "; " + doctorStep(port)};
}

Explanation explainFileFailure(const std::string& path, const SystemError& error) {
  Explanation e{path, {}};
  std::error_code ec;
  const std::string folder = folderOf(path);
  if (error.kind == ErrorKind::NotFound && std::filesystem::is_directory(folder, ec)) {
    // /proc, /sys: the folder is there but takes no new files.
    e.text = "the folder " + folder + " exists but cannot hold new files" + said(error) +
             "; name a file in an ordinary folder, such as your home directory";
  } else if (error.kind == ErrorKind::NotFound) {
    e.text = "the folder " + folder + " does not exist" + said(error) +
             "; create it or name a file in another folder";
  } else if (readOnlyFileSystem(error)) {
    e.text = "the file system of " + folder + " is mounted read-only" + said(error) +
             "; name a file on a writable disk, such as in your home directory";
  } else if (error.kind == ErrorKind::PermissionDenied) {
    e.text = "this user may not write in " + folder + said(error) +
             "; name a file in a folder you may write to, such as your home directory";
  } else {
    e.text = "cannot be written" + said(error) +
             "; check the disk and the name (a folder is no file), then run the job again";
  }
  return e;
}

Explanation explainSilence(const PortNaming& port, const std::string& device, unsigned waitedMs,
                           const LineSettings& line, LineState clearToSend, bool writeTimedOut) {
  Explanation e{portSubject(port), {}};
  const std::string kept = lineSettingsFault(line);
  if (line.hardwareFlowControl == LineState::On) {
    e.text = "hardware flow control (RTS/CTS) is on for this port";
    if (clearToSend == LineState::Off) e.text += " and CTS is off, so the PC sends nothing";
    if (clearToSend == LineState::On) e.text += " (CTS is on)";
    e.text += "; a 3-wire cable has no CTS line: turn it off with " + flowControlOffStep(device);
  } else if (!kept.empty()) {
    e.text = "the port is set to " + kept + " (" + line.shortForm() +
             "), the receiver talks 8N1 without flow control: set it with " + plainLineStep(device);
  } else if (writeTimedOut) {
    e.text = "a write did not finish within " + std::to_string(kWriteWaitLimitMs) +
             " ms: the port does not send";
  } else {
    e.text = "no answer within " + std::to_string(waitedMs) +
             " ms; is the receiver on and in its loader, the cable on this port and crossed (TX "
             "to RX)?";
  }
  e.text += (e.text.back() == '?' ? " " : "; ") + doctorStep(port);
  return e;
}

Explanation explainImageFailure(const std::string& path, MessageId id, int openErrno) {
  Explanation e{path, {}};
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  const std::string sizes = std::to_string(kImageFileSizeSmall) + " bytes (256 blocks) or " +
                            std::to_string(kImageFileSizeLarge) + " bytes (512 blocks)";
  switch (id) {
    case MessageId::ImageOpenFailed: {
      const bool folder = std::filesystem::is_directory(path, ec);
      e.text = std::string(folder ? "is a folder, not a file" : "cannot be opened") +
               (openErrno ? " (open: " + std::string(std::strerror(openErrno)) + ")" : "") +
               "; check the path and that this user may read it";
      break;
    }
    case MessageId::ImageSizeWrong: {
      e.text = "the file is " +
               (ec ? std::string("of unknown size") : std::to_string(size) + " bytes") +
               "; a ROM image is " + sizes;
      const std::string first = firstBytesText(path, kTagSize);
      if (!ec && (size == kImageFileSizeSmall || size == kImageFileSizeLarge))
        e.text += ", and its tag " + first + " is of the other size";
      e.text += ": it was cut short or is no ROM image of this tool";
      break;
    }
    case MessageId::ImageTagUnknown:
      e.text = "its first 13 bytes are " + firstBytesText(path, kTagSize) +
               ", no known tag (such as QX_RomFtaAMD1): it is no ROM image of this tool; "
               "quorvane-cli info shows an image's type";
      break;
    default:
      e.text = "could not be read to its end; check the disk or medium and copy the file again";
      break;
  }
  return e;
}

Explanation explainTypeMismatch(const std::string& subject, int receiverTag,
                                const std::string& imagePath, int imageTag,
                                long long blocksWritten) {
  const RomImageTag& fits = romType(receiverTag);
  const std::string written = blocksWritten < 0 ? "no block was compared"
                              : blocksWritten == 0
                                  ? "nothing was written"
                                  : std::to_string(blocksWritten) + " blocks had been written";
  return {subject, "the receiver is " + std::string(fits.modelName) + ", the image " + imagePath +
                       " is " + std::string(romType(imageTag).modelName) + ": " + written +
                       "; an image tagged " + std::string(fits.tagText) + " (" +
                       std::to_string(fits.blockCount) + " blocks) fits this receiver"};
}

Explanation explainStrangeAnswer(const std::string& subject, const FrameBytes& answer,
                                 std::optional<int> imageTag) {
  if (imageTag) {
    // Would an image of the other family have taken it?
    const AckGroup group = ackGroupOfIndex(*imageTag);
    const bool groupC = group == AckGroup::C;
    int otherFamily = 0;  // the first type that answers with the other group
    while (otherFamily < kRomTypeCount && ackGroupOfIndex(otherFamily) == group) ++otherFamily;
    if (otherFamily < kRomTypeCount && !identifyModel(answer.data()) &&
        checkUpgradeAnswer(answer.data(), otherFamily).kind == UpgradeVerdict::Kind::Accepted)
      return {subject, "the receiver answered as a receiver of the other family (" +
                           std::string(groupC ? "Fta or T" : "CI or HCI") + "): the image is for " +
                           std::string(romType(*imageTag).modelName) +
                           "; use an image of the receiver's family"};
  }
  return {subject, "the answer " + hexBytes(answer.data(), answer.size()) +
                       " is no answer of a receiver's loader: a garbled line or another device "
                       "on this port; check the cable and that the receiver is in its loader; "
                       "quorvane-cli doctor checks the port's line settings"};
}

std::string describeProbe(const std::string& device, const DeviceProbe& probe) {
  if (!probe.openable) {
    // The kind of failure and the system's words; the next step is doctor's.
    return "can't open: " + openFailure({std::nullopt, device}, probe.error).what + "; " +
           doctorStep({std::nullopt, device});
  }
  std::string text = "can open, hardware flow control ";
  switch (probe.hardwareFlowControl) {
    case LineState::Unknown:
      text += "unknown (no modem lines)";
      break;
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
  LineSettings kept = probe.line;
  kept.hardwareFlowControl = LineState::Off;  // told above
  if (const std::string fault = lineSettingsFault(kept); !fault.empty())
    text += ", " + fault + " (the receiver talks 8N1: " + plainLineStep(device) + ")";
  return text;
}

}  // namespace quorvane::cli
