// SerialPort on a Win32 COM port with overlapped I/O.
//
// Reads ask only for bytes the driver already holds and return at once (the
// read time-outs say so); a read still pending is waited for at most
// kReadWaitLimitMs, a write at most kWriteWaitLimitMs. A transfer still
// pending when its wait runs out is cancelled and its end awaited, so the
// system never touches the caller's buffer after the call has returned and
// the completion record is free for the next transfer.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>

#include "serial/port_map.h"
#include "serial/protocol.h"
#include "serial/serial_port.h"

namespace quorvane {

struct SerialPort::Impl {
  OVERLAPPED readRecord{};   // every read; its event signals completion
  OVERLAPPED writeRecord{};  // every write
  HANDLE device = INVALID_HANDLE_VALUE;
  bool opened = false;
  std::uint64_t arrived = 0;

  // Releases the device and both events, whichever are held.
  void release() {
    if (device != INVALID_HANDLE_VALUE) ::CloseHandle(device);
    if (readRecord.hEvent) ::CloseHandle(readRecord.hEvent);
    if (writeRecord.hEvent) ::CloseHandle(writeRecord.hEvent);
    device = INVALID_HANDLE_VALUE;
    readRecord = OVERLAPPED{};
    writeRecord = OVERLAPPED{};
    opened = false;
  }
};

namespace {

// The name CreateFileA is given. "COM10" and above exist only in the device
// namespace, which serves COM1..COM9 just as well, so a plain name gets the
// "\\.\" prefix; a name that already carries a prefix is used as it is.
std::string deviceName(const std::string& path) {
  if (path.rfind("\\\\", 0) == 0) return path;
  return "\\\\.\\" + path;
}

// Waits for a started transfer and returns the bytes it moved (at most
// `requested`). Cancels it when the wait runs out.
DWORD finishTransfer(HANDLE device, OVERLAPPED& record, DWORD waitMs, DWORD requested) {
  ::WaitForSingleObject(record.hEvent, waitMs);
  DWORD moved = 0;
  if (!::GetOverlappedResult(device, &record, &moved, FALSE)) {
    if (::GetLastError() != ERROR_IO_INCOMPLETE) return 0;
    ::CancelIoEx(device, &record);
    moved = 0;
    // Blocks until the cancelled transfer has ended; on success or abort it
    // reports what was moved before the cancel.
    ::GetOverlappedResult(device, &record, &moved, TRUE);
  }
  return std::min(moved, requested);
}

}  // namespace

SerialPort::SerialPort() : impl_(std::make_unique<Impl>()) {}

SerialPort::~SerialPort() {
  close();
}

int SerialPort::open(int portNumber, int speed) {
  close();
  const std::optional<std::string> path = devicePathForPort(portNumber);
  if (!path) return 0;
  return openDevice(*path, speed);
}

int SerialPort::openDevice(const std::string& path, int speed) {
  close();
  if (path.empty() || speed <= 0) return 0;

  // Read and write, no sharing, existing devices only, overlapped I/O.
  const HANDLE device =
      ::CreateFileA(deviceName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) return 0;
  Impl& p = *impl_;
  p.device = device;

  // Reads return at once with what has arrived; a write gets
  // kWriteWaitLimitMs in total whatever its length. A failure here is
  // not fatal.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(kWriteWaitLimitMs);
  ::SetCommTimeouts(device, &timeouts);

  p.readRecord = OVERLAPPED{};
  p.writeRecord = OVERLAPPED{};
  p.readRecord.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  p.writeRecord.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);

  // Speed and character size; every other line setting as the device has it.
  // Without readable settings there is nothing sound to write back.
  DCB settings{};
  settings.DCBlength = sizeof(DCB);
  bool ok = ::GetCommState(device, &settings) != FALSE;
  if (ok) {
    settings.DCBlength = sizeof(DCB);
    settings.BaudRate = static_cast<DWORD>(speed);
    settings.ByteSize = 8;
    ok = ::SetCommState(device, &settings) != FALSE;
  }
  ok = ok && ::SetupComm(device, static_cast<DWORD>(kDriverQueueSize),
                         static_cast<DWORD>(kDriverQueueSize)) != FALSE;
  ok = ok && p.readRecord.hEvent != nullptr && p.writeRecord.hEvent != nullptr;
  if (!ok) {
    p.release();
    return 0;
  }
  p.opened = true;
  p.arrived = 0;
  devicePath_ = path;
  return 1;
}

bool SerialPort::isOpen() const {
  return impl_->opened && impl_->device != INVALID_HANDLE_VALUE;
}

unsigned SerialPort::bytesInQueue() {
  if (!isOpen()) return 0;
  // Also clears a line error, so that reception goes on; the flags are not
  // needed.
  DWORD errors = 0;
  COMSTAT status{};
  if (!::ClearCommError(impl_->device, &errors, &status)) return 0;
  return static_cast<unsigned>(status.cbInQue);
}

unsigned SerialPort::read(std::uint8_t* buffer, unsigned limit) {
  if (!isOpen() || !buffer || limit == 0) return 0;
  const unsigned waiting = bytesInQueue();
  if (waiting == 0) return 0;
  const DWORD wanted = static_cast<DWORD>(std::min(limit, waiting));
  Impl& p = *impl_;
  if (!::ReadFile(p.device, buffer, wanted, nullptr, &p.readRecord) &&
      ::GetLastError() != ERROR_IO_PENDING)
    return 0;
  const DWORD got =
      finishTransfer(p.device, p.readRecord, static_cast<DWORD>(kReadWaitLimitMs), wanted);
  p.arrived += got;
  return static_cast<unsigned>(got);
}

unsigned SerialPort::write(const std::uint8_t* buffer, unsigned length) {
  if (!isOpen() || !buffer || length == 0) return 0;
  Impl& p = *impl_;
  if (!::WriteFile(p.device, buffer, static_cast<DWORD>(length), nullptr, &p.writeRecord) &&
      ::GetLastError() != ERROR_IO_PENDING)
    return 0;
  return static_cast<unsigned>(finishTransfer(
      p.device, p.writeRecord, static_cast<DWORD>(kWriteWaitLimitMs), static_cast<DWORD>(length)));
}

int SerialPort::setBinaryMode(int flag) {
  if (!isOpen()) return 0;
  DCB settings{};
  settings.DCBlength = sizeof(DCB);
  if (!::GetCommState(impl_->device, &settings)) return 0;
  settings.fBinary = static_cast<DWORD>(flag & 1);
  return ::SetCommState(impl_->device, &settings) ? 1 : 0;
}

void SerialPort::close() {
  impl_->release();
  devicePath_.clear();
}

std::uint64_t SerialPort::bytesArrived() const {
  return impl_->arrived;
}

const std::string& SerialPort::devicePath() const {
  return devicePath_;
}

}  // namespace quorvane
