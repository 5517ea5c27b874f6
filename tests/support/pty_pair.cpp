#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace quorvane::test {

PtyPair::PtyPair() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
    throw std::runtime_error("no pseudo-terminal");
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
  path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error("cannot open pty slave");
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  closeMaster();
  if (slave_ >= 0) ::close(slave_);
}

void PtyPair::makeRaw() {
  termios t{};
  ::tcgetattr(slave_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave_, TCSANOW, &t);
}

bool PtyPair::send(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size() && master_ >= 0) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    pollfd p{master_, POLLOUT, 0};
    ::poll(&p, 1, 100);
  }
  return done == bytes.size();
}

std::vector<std::uint8_t> PtyPair::receive(std::size_t count, int patienceMs) {
  std::vector<std::uint8_t> got;
  std::uint8_t chunk[4096];
  while (got.size() < count && master_ >= 0) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, patienceMs) <= 0) break;
    const std::size_t want = std::min(sizeof chunk, count - got.size());
    const ssize_t n = ::read(master_, chunk, want);
    if (n > 0)
      got.insert(got.end(), chunk, chunk + n);
    else if (!(n < 0 && (errno == EAGAIN || errno == EINTR)))
      break;
  }
  return got;
}

bool PtyPair::waitDelivered(std::size_t count, int patienceMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
  for (;;) {
    int waiting = 0;
    if (::ioctl(slave_, FIONREAD, &waiting) == 0 && static_cast<std::size_t>(waiting) >= count)
      return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void PtyPair::closeMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

}  // namespace quorvane::test
