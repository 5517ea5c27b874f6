// A serial device on a POSIX terminal.
//
// The descriptor is opened non-blocking, so reads never wait and writes wait
// only in poll(). Exclusive: an advisory lock (flock) refuses any other
// opener, root or not; TIOCEXCL refuses further opens of the terminal by
// anyone but root. On Linux a driver that knows ASYNC_LOW_LATENCY (USB
// adapters) is asked to pass on received bytes at once. Close puts back the
// line settings and the latency the device had when it was opened.
//
// A device that goes away under an open descriptor (a USB adapter pulled
// out, the far end of a pty closed) shows as EIO, ENODEV or ENXIO, or as a
// read of nothing with poll reporting a hang-up; any of them is recorded as
// ErrorKind::Disconnected.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cerrno>
#include <optional>

#include "serial/serial_device.h"

namespace quorvane {

namespace {

bool goneCode(int code) {
  return code == EIO || code == ENODEV || code == ENXIO;
}

// errno of `call`, as a disconnection where it means one.
SystemError lineError(const char* call) {
  const int code = errno;
  return goneCode(code) ? SystemError::disconnected(call, code) : SystemError::fromCode(call, code);
}

// A read of nothing is ambiguous on a terminal without a minimum count: no
// bytes, or a line that has hung up. poll tells them apart at no wait.
bool hungUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

struct SpeedEntry {
  int bits;
  speed_t constant;
};
constexpr SpeedEntry kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool speedConstant(int speed, speed_t* out) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.bits == speed) {
      *out = e.constant;
      return true;
    }
  }
  return false;
}

long speedBits(speed_t constant) {
  for (const SpeedEntry& e : kSpeeds)
    if (e.constant == constant) return e.bits;
  return 0;
}

// What makeTransparent turns off, each by the name stty gives it.
struct NamedFlag {
  tcflag_t termios::*field;
  tcflag_t bit;
  const char* name;
};
constexpr NamedFlag kTransparencyFlags[] = {
    {&termios::c_iflag, IXON, "ixon"},     {&termios::c_iflag, IXOFF, "ixoff"},
    {&termios::c_iflag, IXANY, "ixany"},   {&termios::c_iflag, ISTRIP, "istrip"},
    {&termios::c_iflag, INLCR, "inlcr"},   {&termios::c_iflag, IGNCR, "igncr"},
    {&termios::c_iflag, ICRNL, "icrnl"},   {&termios::c_iflag, PARMRK, "parmrk"},
    {&termios::c_iflag, BRKINT, "brkint"}, {&termios::c_iflag, IGNBRK, "ignbrk"},
#ifdef IUCLC
    {&termios::c_iflag, IUCLC, "iuclc"},
#endif
    {&termios::c_oflag, OPOST, "opost"},   {&termios::c_lflag, ICANON, "icanon"},
    {&termios::c_lflag, ECHO, "echo"},     {&termios::c_lflag, ISIG, "isig"},
    {&termios::c_lflag, IEXTEN, "iexten"},
};

LineSettings settingsOf(const termios& t, LineState hardwareFlowControl) {
  LineSettings line;
  line.known = true;
  line.speed = speedBits(::cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5:
      line.dataBits = 5;
      break;
    case CS6:
      line.dataBits = 6;
      break;
    case CS7:
      line.dataBits = 7;
      break;
    default:
      line.dataBits = 8;
      break;
  }
  if (t.c_cflag & PARENB) {
    line.parity = (t.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
#ifdef CMSPAR
    if (t.c_cflag & CMSPAR) line.parity = (t.c_cflag & PARODD) ? Parity::Mark : Parity::Space;
#endif
  }
  line.stopBitsTimesTwo = (t.c_cflag & CSTOPB) ? 4 : 2;
  line.hardwareFlowControl = hardwareFlowControl;
#ifdef CRTSCTS
  // A device without modem lines still keeps the flag, which then stops
  // nothing but is put back at close all the same.
  if (hardwareFlowControl == LineState::Unknown)
    line.hardwareFlowControl = (t.c_cflag & CRTSCTS) ? LineState::On : LineState::Off;
#endif
  line.softwareFlowControl = (t.c_iflag & (IXON | IXOFF)) != 0;
  for (const NamedFlag& f : kTransparencyFlags)
    if (t.*f.field & f.bit) line.transparencyChanges.emplace_back(f.name);
  return line;
}

// Every byte value passes unchanged both ways: no echo, no line editing or
// signals, no CR/LF mapping, no XON/XOFF, no stripping of the eighth bit, no
// output processing. Parity, stop bits and hardware flow control stay as the
// device has them. The receiver's cable carries no carrier line, so modem
// status is ignored (CLOCAL), and reception is enabled (CREAD).
void makeTransparent(termios& t) {
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY
#ifdef IUCLC
                                      | IUCLC
#endif
#ifdef IMAXBEL
                                      | IMAXBEL
#endif
  );
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

class PosixSerialDevice final : public SerialDevice {
 public:
  explicit PosixSerialDevice(int fd) : fd_(fd) {}

  ~PosixSerialDevice() override {
    letOutputGo();
    setLowLatency(false);
    // The technician's settings come back (speed, echo, flow control...),
    // as they were before the session; a device that has gone refuses,
    // which changes nothing.
    if (original_) ::tcsetattr(fd_, TCSANOW, &*original_);
    // The exclusive flag belongs to the terminal, not to our descriptor, and
    // would outlive it while anyone else keeps the terminal open.
    if (exclusive_) ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also drops the lock
  }

  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  // What was written goes out before the close, as long as the line takes
  // it; output the line holds back (hardware flow control with CTS low) is
  // dropped once nothing has moved for a while. Otherwise close() would wait
  // out the driver's closing time, 30 s on an 8250 port. A pty reports no
  // output queue (what the slave writes is already the master's input), so
  // nothing is ever dropped there.
  void letOutputGo() {
    constexpr int kStallMs = 200, kStepMs = 10;
    int queued = 0, stalledMs = 0;
    while (::ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
      if (stalledMs >= kStallMs) {
        ::tcflush(fd_, TCOFLUSH);
        return;
      }
      const int before = queued;
      ::usleep(kStepMs * 1000);
      if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) return;
      stalledMs = queued < before ? 0 : stalledMs + kStepMs;
    }
  }

  bool lockExclusively(SystemError& error) {
    // The lock comes first, so a refused open never touches the holder's
    // TIOCEXCL flag.
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    error = SystemError::fromLast("flock");
    return false;
  }

  bool configure(speed_t speed, termios t, SystemError& error) {
    if (::ioctl(fd_, TIOCEXCL) != 0) {
      error = SystemError::fromLast("ioctl(TIOCEXCL)");
      return false;
    }
    exclusive_ = true;
    original_ = t;
    makeTransparent(t);
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0 ||
        ::tcsetattr(fd_, TCSANOW, &t) != 0) {
      error = SystemError::fromLast("tcsetattr");
      return false;
    }
    setLowLatency(true);
    // A session starts with an empty input queue, as on a freshly opened
    // port.
    ::tcflush(fd_, TCIFLUSH);
    return true;
  }

  std::size_t readSome(std::span<std::uint8_t> into, SystemError& error) override {
    for (;;) {
      const ssize_t n = ::read(fd_, into.data(), into.size());
      if (n > 0) return static_cast<std::size_t>(n);
      if (n < 0 && errno == EINTR) continue;
      // EAGAIN: nothing more; 0: nothing more or a hang-up; EIO etc.: the
      // device has gone. None of them delivers anything.
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) error = lineError("read");
      if (n == 0 && hungUp(fd_)) error = SystemError::disconnected("read");
      return 0;
    }
  }

  std::size_t writeSome(std::span<const std::uint8_t> bytes, int waitMs,
                        SystemError& error) override {
    for (;;) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n > 0) return static_cast<std::size_t>(n);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        error = n == 0 ? SystemError::disconnected("write", EIO) : lineError("write");
        return 0;
      }
      break;
    }
    // The output queue is full: wait until it takes more or the time is up.
    pollfd p{fd_, POLLOUT, 0};
    const int ready = ::poll(&p, 1, waitMs);
    if (ready < 0 && errno != EINTR) error = SystemError::fromLast("poll");
    if (ready > 0 && !(p.revents & POLLOUT)) error = SystemError::disconnected("write");
    return 0;
  }

  bool setBinary(bool, SystemError& error) override {
    // A POSIX line has no end-of-file processing to switch, and open made it
    // byte-transparent already: the settings are applied again.
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) {
      error = SystemError::fromLast("tcgetattr");
      return false;
    }
    makeTransparent(t);
    if (::tcsetattr(fd_, TCSANOW, &t) == 0) return true;
    error = SystemError::fromLast("tcsetattr");
    return false;
  }

  // A device without modem lines (a pseudo-terminal) can't say either.
  LineState hardwareFlowControl() override {
    int lines = 0;
    termios t{};
    if (::ioctl(fd_, TIOCMGET, &lines) != 0 || ::tcgetattr(fd_, &t) != 0) return LineState::Unknown;
#ifdef CRTSCTS
    return (t.c_cflag & CRTSCTS) ? LineState::On : LineState::Off;
#else
    return LineState::Unknown;
#endif
  }

  LineSettings lineSettings() override {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return {};
    return settingsOf(t, hardwareFlowControl());
  }

  LineState clearToSend() override {
    int lines = 0;
    if (::ioctl(fd_, TIOCMGET, &lines) != 0) return LineState::Unknown;
    return (lines & TIOCM_CTS) ? LineState::On : LineState::Off;
  }

  ArrivalHandle armArrival() override {
    return fd_;
  }
  bool arrivalLevelTriggered() const override {
    return true;
  }

 private:
  // Low latency on (where the driver supports it and it is off) or back off
  // (where we turned it on). A driver that refuses is no error.
  void setLowLatency(bool on) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    if (on == lowLatencySet_) return;
    serial_struct s{};
    if (::ioctl(fd_, TIOCGSERIAL, &s) != 0) return;
    if (on && (s.flags & ASYNC_LOW_LATENCY)) return;  // on already: nothing to restore
    s.flags = on ? (s.flags | ASYNC_LOW_LATENCY) : (s.flags & ~ASYNC_LOW_LATENCY);
    if (::ioctl(fd_, TIOCSSERIAL, &s) == 0) lowLatencySet_ = on;
#else
    (void)on;
#endif
  }

  int fd_;
  std::optional<termios> original_;  // the settings found at open, when we changed them
  bool exclusive_ = false;           // TIOCEXCL set by us
  bool lowLatencySet_ = false;       // ASYNC_LOW_LATENCY turned on by us
};

}  // namespace

std::unique_ptr<SerialDevice> openSerialDevice(const std::string& path, int speed,
                                               DeviceSetup setup, SystemError& error) {
  speed_t constant = B0;
  if (setup == DeviceSetup::Configure && !speedConstant(speed, &constant)) {
    error = SystemError::fromCode("cfsetspeed", EINVAL);
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = SystemError::fromLast("open");
    return nullptr;
  }
  auto device = std::make_unique<PosixSerialDevice>(fd);  // closes it on failure
  if (!device->lockExclusively(error)) return nullptr;
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    error = SystemError::fromLast("tcgetattr");
    return nullptr;
  }
  if (setup == DeviceSetup::Configure && !device->configure(constant, t, error)) return nullptr;
  return device;
}

}  // namespace quorvane
