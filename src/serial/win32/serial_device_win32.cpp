// A serial device on a Win32 COM port with overlapped I/O.
//
// Reads ask only for bytes the driver reports waiting and return at once
// (the read time-outs say so); a read still pending is waited for at most
// kReadWaitLimitMs, a write at most the time it is given. A transfer still
// pending when its wait runs out is cancelled and its end awaited, so the
// system never touches the caller's buffer after the call has returned and
// the completion record is free for the next transfer. While open the line
// passes every byte: XON/XOFF, the error and null characters and
// abort-on-error are off (a port left with software flow control would
// swallow 0x11 and 0x13). Close puts back the comm state and time-outs the
// port had when it was opened. A USB adapter pulled out
// fails every call on its handle with one of a few errors, recorded as
// ErrorKind::Disconnected.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "serial/serial_device.h"

namespace quorvane {

namespace {

// The last error of `call` on an open port, as a disconnection where the
// device has gone (the errors USB serial drivers give once unplugged).
SystemError lineError(const char* call) {
  const DWORD code = ::GetLastError();
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return SystemError::disconnected(call, static_cast<int>(code));
    default:
      return SystemError::fromCode(call, static_cast<int>(code));
  }
}

// The name CreateFileA is given. "COM10" and above exist only in the device
// namespace, which serves COM1..COM9 just as well, so a plain name gets the
// "\\.\" prefix; a name that already carries a prefix is used as it is.
std::string deviceName(const std::string& path) {
  if (path.rfind("\\\\", 0) == 0) return path;
  return "\\\\.\\" + path;
}

// Waits for a started transfer and returns the bytes it moved (at most
// `requested`). Cancels it when the wait runs out, which is no error.
DWORD finishTransfer(HANDLE device, OVERLAPPED& record, DWORD waitMs, DWORD requested,
                     const char* call, SystemError& error) {
  ::WaitForSingleObject(record.hEvent, waitMs);
  DWORD moved = 0;
  if (!::GetOverlappedResult(device, &record, &moved, FALSE)) {
    if (::GetLastError() != ERROR_IO_INCOMPLETE) {
      error = lineError(call);
      return 0;
    }
    ::CancelIoEx(device, &record);
    moved = 0;
    // Blocks until the cancelled transfer has ended; on success or abort it
    // reports what was moved before the cancel.
    ::GetOverlappedResult(device, &record, &moved, TRUE);
  }
  return std::min(moved, requested);
}

// The comm state's settings a session turns off, by the names of the DCB.
std::vector<std::string> transparencyChangesOf(const DCB& d) {
  std::vector<std::string> names;
  if (d.fOutX) names.emplace_back("fOutX");
  if (d.fInX) names.emplace_back("fInX");
  if (d.fErrorChar) names.emplace_back("fErrorChar");
  if (d.fNull) names.emplace_back("fNull");
  if (d.fAbortOnError) names.emplace_back("fAbortOnError");
  return names;
}

// Every byte passes as it is: no XON/XOFF either way, no replacement of
// bytes received with a parity error, no dropping of NUL bytes, and a line
// error does not stop every further transfer until it is cleared.
void makeTransparent(DCB& d) {
  d.fBinary = 1;
  d.fOutX = 0;
  d.fInX = 0;
  d.fErrorChar = 0;
  d.fNull = 0;
  d.fAbortOnError = 0;
}

HANDLE newEvent() {
  return ::CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual-reset, not signalled
}

class Win32SerialDevice final : public SerialDevice {
 public:
  explicit Win32SerialDevice(HANDLE device) : device_(device) {}

  ~Win32SerialDevice() override {
    if (arrivalPending_) {
      DWORD ignored = 0;
      ::CancelIoEx(device_, &arrivalRecord_);
      ::GetOverlappedResult(device_, &arrivalRecord_, &ignored, TRUE);
    }
    // A port that has gone refuses, which changes nothing.
    if (original_) ::SetCommState(device_, &*original_);
    if (originalTimeouts_) ::SetCommTimeouts(device_, &*originalTimeouts_);
    ::CloseHandle(device_);
    for (OVERLAPPED* r : {&readRecord_, &writeRecord_, &arrivalRecord_})
      if (r->hEvent) ::CloseHandle(r->hEvent);
  }

  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

  // The comm state, read to see that this is a serial device at all.
  bool readState(DCB& settings, SystemError& error) {
    settings = DCB{};
    settings.DCBlength = sizeof(DCB);
    if (::GetCommState(device_, &settings)) return true;
    error = SystemError::fromLast("GetCommState");
    error.kind = ErrorKind::NotATerminal;
    return false;
  }

  bool configure(int speed, DCB settings, SystemError& error) {
    if (speed <= 0) {
      error = SystemError::fromCode("SetCommState", ERROR_INVALID_PARAMETER);
      return false;
    }
    // Reads return at once with what has arrived; a write gets
    // kWriteWaitLimitMs in total whatever its length. A failure here is
    // not fatal.
    COMMTIMEOUTS timeouts{};
    if (::GetCommTimeouts(device_, &timeouts)) originalTimeouts_ = timeouts;
    timeouts = COMMTIMEOUTS{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(kWriteWaitLimitMs);
    ::SetCommTimeouts(device_, &timeouts);

    readRecord_.hEvent = newEvent();
    writeRecord_.hEvent = newEvent();
    if (!readRecord_.hEvent || !writeRecord_.hEvent) {
      error = SystemError::fromLast("CreateEventA");
      return false;
    }
    // Speed, character size and byte transparency; parity, stop bits and
    // hardware flow control as the device has them.
    original_ = settings;
    settings.DCBlength = sizeof(DCB);
    settings.BaudRate = static_cast<DWORD>(speed);
    settings.ByteSize = 8;
    makeTransparent(settings);
    if (!::SetCommState(device_, &settings)) {
      error = SystemError::fromLast("SetCommState");
      return false;
    }
    const auto queue = static_cast<DWORD>(kDriverQueueSize);
    if (!::SetupComm(device_, queue, queue)) {
      error = SystemError::fromLast("SetupComm");
      return false;
    }
    // Arrival waits (PortWaiter) watch for received characters; without
    // them the port still works, it is only not waited on.
    if (::SetCommMask(device_, EV_RXCHAR)) arrivalRecord_.hEvent = newEvent();
    return true;
  }

  std::size_t readSome(std::span<std::uint8_t> into, SystemError& error) override {
    // Also clears a line error, so that reception goes on; the flags are not
    // needed. However few bytes the driver admits to at a time, the caller
    // asks again until its queue holds all that arrived.
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(device_, &errors, &status)) {
      error = lineError("ClearCommError");
      return 0;
    }
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(into.size(), status.cbInQue));
    if (wanted == 0) return 0;
    if (!::ReadFile(device_, into.data(), wanted, nullptr, &readRecord_) &&
        ::GetLastError() != ERROR_IO_PENDING) {
      error = lineError("ReadFile");
      return 0;
    }
    return finishTransfer(device_, readRecord_, static_cast<DWORD>(kReadWaitLimitMs), wanted,
                          "ReadFile", error);
  }

  std::size_t writeSome(std::span<const std::uint8_t> bytes, int waitMs,
                        SystemError& error) override {
    const auto length = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    if (!::WriteFile(device_, bytes.data(), length, nullptr, &writeRecord_) &&
        ::GetLastError() != ERROR_IO_PENDING) {
      error = lineError("WriteFile");
      return 0;
    }
    return finishTransfer(device_, writeRecord_, static_cast<DWORD>(std::max(waitMs, 0)), length,
                          "WriteFile", error);
  }

  bool setBinary(bool on, SystemError& error) override {
    DCB settings{};
    if (!readState(settings, error)) return false;
    if (original_) makeTransparent(settings);  // a session stays byte-transparent
    settings.fBinary = on ? 1 : 0;
    if (::SetCommState(device_, &settings)) return true;
    error = SystemError::fromLast("SetCommState");
    return false;
  }

  LineState hardwareFlowControl() override {
    SystemError ignored;
    DCB settings{};
    if (!readState(settings, ignored)) return LineState::Unknown;
    return settings.fOutxCtsFlow ? LineState::On : LineState::Off;
  }

  LineSettings lineSettings() override {
    SystemError ignored;
    DCB d{};
    if (!readState(d, ignored)) return {};
    LineSettings line;
    line.known = true;
    line.speed = static_cast<long>(d.BaudRate);
    line.dataBits = d.ByteSize;
    static constexpr Parity kParities[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark,
                                           Parity::Space};
    line.parity = d.Parity <= SPACEPARITY ? kParities[d.Parity] : Parity::None;
    line.stopBitsTimesTwo = d.StopBits == ONE5STOPBITS ? 3 : d.StopBits == TWOSTOPBITS ? 4 : 2;
    line.hardwareFlowControl =
        d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE ? LineState::On : LineState::Off;
    line.softwareFlowControl = d.fOutX || d.fInX;
    line.transparencyChanges = transparencyChangesOf(d);
    return line;
  }

  LineState clearToSend() override {
    DWORD status = 0;
    if (!::GetCommModemStatus(device_, &status)) return LineState::Unknown;
    return (status & MS_CTS_ON) ? LineState::On : LineState::Off;
  }

  ArrivalHandle armArrival() override {
    const HANDLE event = arrivalRecord_.hEvent;
    if (!event || failedArrivals_ >= kArrivalFailureLimit) return kNoArrivalHandle;
    const auto handle = reinterpret_cast<ArrivalHandle>(event);
    if (arrivalPending_) {
      if (::WaitForSingleObject(event, 0) != WAIT_OBJECT_0) return handle;  // still waiting
      DWORD ignored = 0;
      const bool completed = ::GetOverlappedResult(device_, &arrivalRecord_, &ignored, FALSE);
      arrivalPending_ = false;
      // A driver may abort a wait now and then; one that aborts every wait
      // (Wine on a pseudo-terminal) can't be waited on, and is polled.
      failedArrivals_ = completed ? 0 : failedArrivals_ + 1;
      if (failedArrivals_ >= kArrivalFailureLimit) return kNoArrivalHandle;
    }
    // A wait that completes at once reports characters the driver noted
    // while no wait was pending; the caller's queue check sees their bytes.
    // Ask again, a few times at most.
    for (int attempt = 0; attempt < 3; ++attempt) {
      ::ResetEvent(event);
      arrivalMask_ = 0;
      if (::WaitCommEvent(device_, &arrivalMask_, &arrivalRecord_)) continue;
      if (::GetLastError() != ERROR_IO_PENDING) return kNoArrivalHandle;
      arrivalPending_ = true;
      return handle;
    }
    ::SetEvent(event);  // characters keep coming: the wait returns at once
    return handle;
  }

 private:
  HANDLE device_;
  std::optional<DCB> original_;  // the comm state found at open, when we changed it
  std::optional<COMMTIMEOUTS> originalTimeouts_;  // and its time-outs
  OVERLAPPED readRecord_{};                       // every read; its event signals completion
  OVERLAPPED writeRecord_{};                      // every write
  OVERLAPPED arrivalRecord_{};                    // the EV_RXCHAR wait of PortWaiter
  DWORD arrivalMask_ = 0;                         // filled in when that wait completes
  bool arrivalPending_ = false;
  int failedArrivals_ = 0;  // waits in a row that ended in an error
  static constexpr int kArrivalFailureLimit = 3;
};

}  // namespace

std::unique_ptr<SerialDevice> openSerialDevice(const std::string& path, int speed,
                                               DeviceSetup setup, SystemError& error) {
  // Read and write, no sharing, existing devices only, overlapped I/O.
  const HANDLE handle =
      ::CreateFileA(deviceName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = SystemError::fromLast("CreateFileA");
    // A COM port another program holds refuses a second opener this way;
    // serial ports carry no per-user permissions to deny.
    if (error.code == ERROR_ACCESS_DENIED) error.kind = ErrorKind::Busy;
    return nullptr;
  }
  auto device = std::make_unique<Win32SerialDevice>(handle);  // closes it on failure
  DCB settings{};
  if (!device->readState(settings, error)) return nullptr;
  if (setup == DeviceSetup::Configure && !device->configure(speed, settings, error)) return nullptr;
  return device;
}

}  // namespace quorvane
