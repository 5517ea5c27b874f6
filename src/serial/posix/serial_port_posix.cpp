// SerialPort on a POSIX terminal device.
//
// The descriptor is opened non-blocking, so reads never wait and writes wait
// only in poll() against an absolute deadline. Received bytes are drained
// into an input queue of our own: FIONREAD on a pseudo-terminal never
// reports more than 4095 bytes, and a whole 4096-byte block must be seen as
// waiting at once.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "serial/input_queue.h"
#include "serial/port_map.h"
#include "serial/protocol.h"
#include "serial/serial_port.h"

namespace quorvane {

struct SerialPort::Impl {
  int fd = -1;
  // The "binary" line flag. A POSIX line has no end-of-file processing to
  // switch, and open already makes it byte-transparent, so the flag is only
  // remembered; setBinaryMode re-applies the settings.
  bool binary = false;
  InputQueue input{kDriverQueueSize};
  std::uint64_t arrived = 0;
};

namespace {

bool speedConstant(int speed, speed_t* out) {
  struct Entry {
    int bits;
    speed_t constant;
  };
  static constexpr Entry kSpeeds[] = {
      {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
      {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
      {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
      {57600, B57600}, {115200, B115200}, {230400, B230400},
  };
  for (const Entry& e : kSpeeds) {
    if (e.bits == speed) {
      *out = e.constant;
      return true;
    }
  }
  return false;
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
  speed_t constant;
  if (path.empty() || !speedConstant(speed, &constant)) return 0;

  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  // Exclusive: the advisory lock refuses any other SerialPort, root or not;
  // TIOCEXCL refuses further opens of the terminal by anyone but root. The
  // lock comes first, so a refused open never touches the holder's flag.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return 0;
  }
  termios t{};
  const bool ok = ::ioctl(fd, TIOCEXCL) == 0 && ::tcgetattr(fd, &t) == 0;
  if (ok) makeTransparent(t);
  if (!ok || ::cfsetispeed(&t, constant) != 0 || ::cfsetospeed(&t, constant) != 0 ||
      ::tcsetattr(fd, TCSANOW, &t) != 0) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);  // also drops the lock
    return 0;
  }

  // A session starts with an empty input queue, as on a freshly opened
  // port: bytes left over from an earlier session (answers nobody read, a
  // remote-control session never reads) must not be taken for an answer.
  ::tcflush(fd, TCIFLUSH);

  impl_->fd = fd;
  impl_->binary = false;
  impl_->input.clear();
  impl_->arrived = 0;
  devicePath_ = path;
  return 1;
}

bool SerialPort::isOpen() const {
  return impl_->fd >= 0;
}

unsigned SerialPort::bytesInQueue() {
  if (!isOpen()) return 0;
  InputQueue& input = impl_->input;
  // Drain what the kernel holds into our queue, as far as it has room; the
  // rest stays in the kernel for a later call. End of file and I/O errors
  // (the far end hung up) deliver nothing.
  while (!input.full()) {
    const std::span<std::uint8_t> region = input.freeRegion();
    const ssize_t n = ::read(impl_->fd, region.data(), region.size());
    if (n > 0) {
      input.commit(static_cast<std::size_t>(n));
      impl_->arrived += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // 0: end of file; EAGAIN: nothing more; EIO etc.: device gone
  }
  return static_cast<unsigned>(input.size());
}

unsigned SerialPort::read(std::uint8_t* buffer, unsigned limit) {
  if (!isOpen() || !buffer || limit == 0) return 0;
  if (bytesInQueue() == 0) return 0;
  return static_cast<unsigned>(impl_->input.pop(buffer, limit));
}

unsigned SerialPort::write(const std::uint8_t* buffer, unsigned length) {
  if (!isOpen() || !buffer || length == 0) return 0;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitLimitMs);
  std::size_t written = 0;
  while (written < length) {
    const ssize_t n = ::write(impl_->fd, buffer + written, length - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;  // failed or gone

    // The output queue is full: wait until it takes more or the time is up.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{impl_->fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) break;
  }
  return static_cast<unsigned>(written);
}

int SerialPort::setBinaryMode(int flag) {
  if (!isOpen()) return 0;
  termios t{};
  if (::tcgetattr(impl_->fd, &t) != 0) return 0;
  makeTransparent(t);
  if (::tcsetattr(impl_->fd, TCSANOW, &t) != 0) return 0;
  impl_->binary = (flag & 1) != 0;
  return 1;
}

void SerialPort::close() {
  if (impl_->fd >= 0) {
    // The exclusive flag belongs to the terminal, not to our descriptor, and
    // would outlive it while anyone else keeps the terminal open.
    ::ioctl(impl_->fd, TIOCNXCL);
    ::close(impl_->fd);  // also drops the lock
    impl_->fd = -1;
  }
  impl_->input.clear();
  impl_->binary = false;
  devicePath_.clear();
}

std::uint64_t SerialPort::bytesArrived() const {
  return impl_->arrived;
}

const std::string& SerialPort::devicePath() const {
  return devicePath_;
}

}  // namespace quorvane
