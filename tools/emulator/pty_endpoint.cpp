#include "pty_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quorvane::emu {

bool PtyEndpoint::open(const std::string& linkPath) {
  close();
  const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) return false;
  char name[128];
  if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
    ::close(m);
    return false;
  }
  const int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (s < 0) {
    ::close(m);
    return false;
  }
  termios t{};
  ::tcgetattr(s, &t);
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  ::tcsetattr(s, TCSANOW, &t);
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  master_ = m;
  slave_ = s;
  device_ = name;
  if (!makeLink(linkPath)) {
    close();
    return false;
  }
  return true;
}

void PtyEndpoint::close() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = slave_ = -1;
  removeLink();
}

long PtyEndpoint::read(std::uint8_t* bytes, std::size_t capacity) {
  for (;;) {
    if (master_ < 0) return 0;
    const ssize_t got = ::read(master_, bytes, capacity);
    if (got < 0 && errno == EINTR) continue;
    // EAGAIN: nothing waiting. EIO would mean no slave is open, which can't
    // happen while its own slave descriptor is held.
    return got > 0 ? long(got) : 0;
  }
}

long PtyEndpoint::write(const std::uint8_t* bytes, std::size_t count) {
  if (master_ < 0) return 0;
  const ssize_t done = ::write(master_, bytes, count);
  if (done < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
  return long(done);
}

// poll() pushes bytes still on their way into the terminal's input queue
// before it looks, so an empty queue here means the tool read everything.
bool PtyEndpoint::delivered() const {
  if (slave_ < 0) return true;
  pollfd p{slave_, POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

bool PtyEndpoint::makeLink(const std::string& linkPath) {
  if (linkPath.empty()) return true;
  struct stat st {};
  if (::lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    return false;  // never replace a real file
  // Made beside it and renamed over it: the link changes in one step.
  const std::string temp = linkPath + ".emu-" + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(device_.c_str(), temp.c_str()) != 0) return false;
  if (::rename(temp.c_str(), linkPath.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  link_ = linkPath;
  return true;
}

void PtyEndpoint::removeLink() {
  if (link_.empty()) return;
  struct stat st {};
  if (::lstat(link_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(link_.c_str());
  link_.clear();
}

}  // namespace quorvane::emu
