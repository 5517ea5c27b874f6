#include "control_fifo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

namespace quorvane::emu {

bool applyControlLine(ReceiverEmulator& emulator, const std::string& line, bool& quit) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  const auto unknown = [&] {
    const std::string text = "control: \"" + line + "\" not understood, ignored";
    if (!emulator.note(text)) std::fprintf(stderr, "quorvane-emu: %s\n", text.c_str());
    return false;
  };
  if (words.empty()) return true;  // blank lines say nothing
  const std::string& verb = words[0];
  if (words.size() == 1 && verb == "on") {
    emulator.switchOn();
  } else if (words.size() == 1 && verb == "off") {
    emulator.switchOff();
  } else if (words.size() == 1 && verb == "quit") {
    emulator.note("control: quit");
    quit = true;
  } else if (verb == "swap" && words.size() <= 3) {
    std::optional<int> model;
    bool silent = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
      char* end = nullptr;
      const long n = std::strtol(words[i].c_str(), &end, 10);
      if (words[i] == "silent" && !silent)
        silent = true;
      else if (!model && *end == '\0' && end != words[i].c_str() && n > 0 && n < 100)
        model = int(n);
      else
        return unknown();
    }
    if (!emulator.swapUnit(model, silent)) return unknown();
  } else {
    return unknown();
  }
  return true;
}

ControlFifo::ControlFifo(ReceiverEmulator& emulator, std::function<void()> onQuit)
    : emulator_(emulator), onQuit_(std::move(onQuit)) {}

ControlFifo::~ControlFifo() {
  if (thread_.joinable()) {
    const char c = 1;
    (void)!::write(stopWrite_, &c, 1);
    thread_.join();
  }
  for (int fd : {fd_, stopRead_, stopWrite_})
    if (fd >= 0) ::close(fd);
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool ControlFifo::open(const std::string& path, std::string& error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISFIFO(st.st_mode)) {
      error = path + " exists and is not a FIFO";
      return false;
    }
    ::unlink(path.c_str());
  }
  if (::mkfifo(path.c_str(), 0600) != 0) {
    error = "cannot make the FIFO " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  // Read and write: the FIFO never reports an end when writers come and go,
  // and the open does not wait for the first one.
  fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  int pipeFds[2];
  if (fd_ < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = "cannot open the FIFO " + path + ": " + std::strerror(errno);
    return false;
  }
  stopRead_ = pipeFds[0];
  stopWrite_ = pipeFds[1];
  thread_ = std::thread([this] { read(); });
  return true;
}

void ControlFifo::read() {
  std::string pending;
  for (;;) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {stopRead_, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
    if (p[1].revents) return;
    char chunk[256];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0) continue;
    pending.append(chunk, std::size_t(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      bool quit = false;
      applyControlLine(emulator_, line, quit);
      if (quit && onQuit_) onQuit_();
    }
  }
}

}  // namespace quorvane::emu
