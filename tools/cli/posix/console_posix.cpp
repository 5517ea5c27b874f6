// Terminal and signals on POSIX: the streams are bytes already; Ctrl-C and
// SIGTERM set the run's flag.
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "cli_platform.h"

namespace quorvane::cli {

namespace {

std::atomic<bool>* gFlag = nullptr;
struct sigaction gOldInt {};
struct sigaction gOldTerm {};

extern "C" void onInterrupt(int) {
  if (gFlag) gFlag->store(true);
}

}  // namespace

void prepareConsole() {}

bool stderrIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

int terminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

const char* terminalType() {
  return std::getenv("TERM");
}

InterruptCatcher::InterruptCatcher(std::atomic<bool>& flag) {
  gFlag = &flag;
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &gOldInt);
  sigaction(SIGTERM, &action, &gOldTerm);
}

InterruptCatcher::~InterruptCatcher() {
  sigaction(SIGINT, &gOldInt, nullptr);
  sigaction(SIGTERM, &gOldTerm, nullptr);
  gFlag = nullptr;
}

}  // namespace quorvane::cli
