// SerialPort's bookkeeping, the same on every platform: open and close, the
// input queue and its counts, the bounded write and the last error. The
// device itself is a SerialDevice of the platform (serial_device.h).
#include "serial/serial_port.h"

#include <chrono>
#include <span>

#include "serial/port_map.h"
#include "serial/serial_device.h"

namespace quorvane {

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
  close();
}

int SerialPort::open(int portNumber, int speed) {
  close();
  const std::optional<std::string> path = devicePathForPort(portNumber);
  if (!path || path->empty()) {
    lastError_ = SystemError::of("port map", ErrorKind::NoSuchPort);
    return 0;
  }
  return openDevice(*path, speed);
}

int SerialPort::openDevice(const std::string& path, int speed) {
  close();
  if (path.empty()) {
    lastError_ = SystemError::of("open", ErrorKind::NoSuchPort);
    return 0;
  }
  SystemError error;
  std::unique_ptr<SerialDevice> device =
      openSerialDevice(path, speed, DeviceSetup::Configure, error);
  if (!device) {
    lastError_ = error;
    return 0;
  }
  return attach(std::move(device), path);
}

int SerialPort::attach(std::unique_ptr<SerialDevice> device, const std::string& path) {
  close();
  if (!device) return 0;
  // A session starts with an empty queue: bytes left over from an earlier
  // session (answers nobody read) must not be taken for an answer.
  device_ = std::move(device);
  input_.clear();
  arrived_ = 0;
  devicePath_ = path;
  lastError_ = {};
  return 1;
}

bool SerialPort::isOpen() const {
  return device_ != nullptr;
}

unsigned SerialPort::bytesInQueue() {
  if (!isOpen()) return 0;
  // Move what the device holds into the queue, as far as it has room; the
  // rest stays with the device for a later call. The device may hand it
  // over in pieces of any size.
  while (!input_.full()) {
    const std::span<std::uint8_t> region = input_.freeRegion();
    SystemError error;
    const std::size_t n = device_->readSome(region, error);
    if (error.failed()) record(error);  // the device has failed or gone: nothing more
    if (n == 0) break;
    input_.commit(n);
    arrived_ += n;
  }
  return static_cast<unsigned>(input_.size());
}

unsigned SerialPort::read(std::uint8_t* buffer, unsigned limit) {
  if (!isOpen() || !buffer || limit == 0) return 0;
  if (bytesInQueue() == 0) return 0;
  return static_cast<unsigned>(input_.pop(buffer, limit));
}

unsigned SerialPort::write(const std::uint8_t* buffer, unsigned length) {
  if (!isOpen() || !buffer || length == 0 || disconnected()) return 0;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitLimitMs);
  std::size_t written = 0;
  while (written < length) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      record(SystemError::of("write", ErrorKind::TimedOut));
      break;
    }
    SystemError error;
    written += device_->writeSome(std::span(buffer + written, length - written),
                                  static_cast<int>(left), error);
    if (error.failed()) {
      record(error);
      break;
    }
  }
  return static_cast<unsigned>(written);
}

int SerialPort::setBinaryMode(int flag) {
  if (!isOpen()) return 0;
  SystemError error;
  if (!device_->setBinary((flag & 1) != 0, error)) {
    record(error);
    return 0;
  }
  return 1;
}

void SerialPort::record(const SystemError& error) {
  // A device that has gone stays gone until the next open: later failures
  // (the stop frame written into it) are its consequences, not news.
  if (!disconnected()) lastError_ = error;
}

void SerialPort::close() {
  device_.reset();
  input_.clear();
  devicePath_.clear();
}

LineState SerialPort::hardwareFlowControl() const {
  return device_ ? device_->hardwareFlowControl() : LineState::Unknown;
}

LineState SerialPort::clearToSend() const {
  return device_ ? device_->clearToSend() : LineState::Unknown;
}

LineSettings SerialPort::lineSettings() const {
  return device_ ? device_->lineSettings() : LineSettings{};
}

std::string LineSettings::shortForm() const {
  static constexpr char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
  std::string text = speed > 0 ? std::to_string(speed) + " " : std::string();
  text += std::to_string(dataBits);
  text += kParityLetters[static_cast<int>(parity)];
  text += stopBitsTimesTwo == 3 ? "1.5" : std::to_string(stopBitsTimesTwo / 2);
  return text;
}

DeviceProbe probeDevice(const std::string& devicePath) {
  DeviceProbe probe;
  if (devicePath.empty()) {
    probe.error = SystemError::of("open", ErrorKind::NoSuchPort);
    return probe;
  }
  const std::unique_ptr<SerialDevice> device =
      openSerialDevice(devicePath, 0, DeviceSetup::Inspect, probe.error);
  if (!device) return probe;
  probe.openable = true;
  probe.hardwareFlowControl = device->hardwareFlowControl();
  probe.clearToSend = device->clearToSend();
  probe.line = device->lineSettings();
  return probe;
}

}  // namespace quorvane
