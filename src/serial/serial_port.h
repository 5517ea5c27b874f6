// One PC serial port, chosen by number (1 = COM1 ...), owned exclusively for
// as long as the object lives.
//
// Every operation but open and close does nothing and returns 0 unless the
// port is open. Reads never wait for data: the caller polls bytesInQueue and
// reads only what has arrived. Writes are bounded to kWriteWaitLimitMs.
//
// The port keeps an input queue of its own (kDriverQueueSize bytes):
// bytesInQueue moves what the device holds into it, so a whole 4096-byte
// block shows as waiting at once even where the system never reports more
// than 4095 (FIONREAD on a pseudo-terminal or an 8250 UART, ClearCommError
// under Wine). All of this is written once (serial_port.cpp); the operating
// system's part is a SerialDevice (serial_device.h, posix/ or win32/).
//
// A failure keeps its reason: lastError() names the system call that failed
// and the system's error number, sorted into the reasons a front end tells
// apart (missing device, permission denied, busy, not a serial device, no
// such COM number, write timed out, device disconnected).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/system_error.h"
#include "serial/input_queue.h"
#include "serial/protocol.h"

namespace quorvane {

// The time a line at `bitsPerSecond` takes to carry one byte (start bit,
// eight data bits, stop bit).
constexpr std::chrono::nanoseconds lineByteTime(long long bitsPerSecond = kLineSpeed) {
  return std::chrono::nanoseconds(1'000'000'000LL * kLineBitsPerByte / bitsPerSecond);
}

inline constexpr int kReadWaitLimitMs = 2000;   // a pending read is waited for
inline constexpr int kWriteWaitLimitMs = 5000;  // a write, whatever its length

// What a device says about one of its line settings or modem lines;
// Unknown where it can't say (a pseudo-terminal has no modem lines).
enum class LineState { Unknown, Off, On };

enum class Parity { None, Odd, Even, Mark, Space };

// A device's line settings as the system reports them. A session sets the
// speed and 8 data bits and turns off what would change bytes on their way
// (`transparencyChanges`: software flow control, character mapping, output
// processing); parity, stop bits and hardware flow control stay as found,
// so they decide whether the receiver can understand the PC at all.
struct LineSettings {
  bool known = false;  // the system answered
  long speed = 0;      // bits per second; 0 when it is no standard rate
  int dataBits = 8;
  Parity parity = Parity::None;
  int stopBitsTimesTwo = 2;  // 2: one stop bit, 3: one and a half, 4: two
  LineState hardwareFlowControl = LineState::Unknown;
  bool softwareFlowControl = false;  // XON/XOFF in either direction
  // The system's names of the settings a session turns off while it runs
  // and puts back at close ("ixon", "opost"; "fOutX", "fNull").
  std::vector<std::string> transparencyChanges;

  // No parity, one stop bit and no hardware flow control: what a receiver's
  // three-wire service cable needs (the data bits are set by every session).
  bool keptSettingsPlain() const {
    return parity == Parity::None && stopBitsTimesTwo == 2 && hardwareFlowControl != LineState::On;
  }
  // "115200 8N1", "9600 7E2", "9600 8N1.5"
  std::string shortForm() const;
};

class SerialDevice;

class SerialPort {
 public:
  SerialPort();
  virtual ~SerialPort();  // closes the port
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens COM<portNumber> through the port map (port_map.h) at `speed` bits
  // per second and 8 data bits. An open port is closed first, so a failed
  // open always leaves the object closed. 1 on success, 0 on failure.
  int open(int portNumber, int speed);

  // Opens a device by its platform path (POSIX: "/dev/ttyUSB0"; Windows:
  // "COM3"). Same rules as open().
  int openDevice(const std::string& devicePath, int speed);

  // Takes over a device that is open already (a stand-in device in tests),
  // as openDevice does with the one it opens. 0 for a null device.
  int attach(std::unique_ptr<SerialDevice> device, const std::string& devicePath);

  // Received bytes waiting to be read; 0 when closed. Clears line errors.
  unsigned bytesInQueue();
  // What the port's own queue holds, without asking the device for more:
  // as bytesInQueue() said last, less what has been read since.
  unsigned queuedBytes() const { return static_cast<unsigned>(input_.size()); }

  // Copies min(limit, waiting) bytes into `buffer` (which holds at least
  // `limit` bytes) and returns the count; 0 and the buffer untouched when
  // nothing is waiting, when closed, or on failure.
  unsigned read(std::uint8_t* buffer, unsigned limit);

  // Writes `length` bytes, giving up after kWriteWaitLimitMs in total.
  // Returns the count written; 0 when closed, disconnected or on failure. A write cut
  // short by the bound records ErrorKind::TimedOut.
  unsigned write(const std::uint8_t* buffer, unsigned length);

  // Sets the "binary" line flag to the lowest bit of `flag`. 1 when the line
  // settings were written back, else 0 (always 0 when closed).
  int setBinaryMode(int flag);

  // Releases the device. Closing a closed port does nothing.
  void close();

  bool isOpen() const;

  // Total bytes taken from the device since the last open (diagnostics and
  // test drivers: everything the far end sent has arrived when this equals
  // its count of bytes sent).
  std::uint64_t bytesArrived() const { return arrived_; }

  // The device path of the open port, empty when closed.
  const std::string& devicePath() const { return devicePath_; }

  // The reason of the last failure: of open, of a write, of setBinaryMode,
  // or of the device while reading. Cleared by a successful open.
  const SystemError& lastError() const { return lastError_; }

  // The open device has gone (unplugged, hung up): bytesInQueue shows only
  // what arrived before, writes fail, and lastError() keeps the
  // disconnection until the next open.
  bool disconnected() const { return lastError_.isDisconnected(); }

  // Whether a counted wait for bytes on this port gives up at once when the
  // device has gone, instead of counting on to its limit. Off by default, so
  // the dialogs wait out their counted waits as ever; the command-line tool
  // turns it on to name an unplugged adapter at once. Kept across opens.
  void setWaitsEndOnDisconnect(bool on) { waitsEndOnDisconnect_ = on; }
  bool waitEndsNow() const { return waitsEndOnDisconnect_ && disconnected(); }

  // Line diagnostics of the open port; Unknown when closed or where the
  // device can't say. Hardware (RTS/CTS) flow control: POSIX CRTSCTS,
  // Windows fOutxCtsFlow. Clear to send: the CTS modem status line.
  LineState hardwareFlowControl() const;
  LineState clearToSend() const;
  LineSettings lineSettings() const;

 private:
  friend class PortWaiter;
  void record(const SystemError& error);

  std::unique_ptr<SerialDevice> device_;
  InputQueue input_{kDriverQueueSize};
  std::uint64_t arrived_ = 0;
  std::string devicePath_;
  SystemError lastError_;
  bool waitsEndOnDisconnect_ = false;
};

// A look at a device without keeping it (`quorvane-cli ports`): whether
// this user can open it exclusively right now and, if so, its flow control,
// CTS line and line settings. The line settings are left as they are (an open of a real
// port may still raise DTR and RTS, as any open does).
struct DeviceProbe {
  bool openable = false;
  SystemError error;  // why not, when not openable
  LineState hardwareFlowControl = LineState::Unknown;
  LineState clearToSend = LineState::Unknown;
  LineSettings line;
};
DeviceProbe probeDevice(const std::string& devicePath);

}  // namespace quorvane
