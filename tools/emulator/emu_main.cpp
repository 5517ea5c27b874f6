// quorvane-emu: a receiver's service loader on a pseudo-terminal.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "emulator_options.h"
#include "receiver_emulator.h"

int main(int argc, char** argv) {
  using namespace quorvane::emu;
  CommandLine cmd;
  std::string error;
  if (!parseCommandLine(argc, argv, cmd, error)) {
    std::fprintf(stderr, "quorvane-emu: %s\n", error.c_str());
    return 2;
  }
  if (cmd.help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  if (!cmd.flashPath.empty() && !loadFlashFile(cmd.flashPath, cmd, error)) {
    std::fprintf(stderr, "quorvane-emu: %s\n", error.c_str());
    return 1;
  }
  std::FILE* log = nullptr;
  if (cmd.logPath == "-") {
    log = stderr;
  } else if (!cmd.logPath.empty()) {
    log = std::fopen(cmd.logPath.c_str(), "a");
    if (!log) {
      std::fprintf(stderr, "quorvane-emu: cannot open log %s\n", cmd.logPath.c_str());
      return 1;
    }
  }
  cmd.options.log = log;

  // Block the stop signals before the service thread starts, so that only
  // the wait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  ReceiverEmulator emulator(cmd.options);
  if (!emulator.start()) {
    std::fprintf(stderr, "quorvane-emu: cannot open a pseudo-terminal%s\n",
                 cmd.options.linkPath.empty() ? "" : " or make the link");
    return 1;
  }
  std::printf("%s\n", emulator.devicePath().c_str());
  std::fflush(stdout);

  for (;;) {
    const timespec wait{0, 200'000'000};
    const int sig = sigtimedwait(&stopSignals, nullptr, &wait);
    if (sig > 0) break;
    if (cmd.parentPid > 0 && kill(pid_t(cmd.parentPid), 0) != 0 && errno == ESRCH) break;
  }
  // Frames the tool wrote just before it ended are taken in and logged
  // before the emulator goes.
  emulator.waitIdle(1000);
  emulator.stop();
  if (log && log != stderr) std::fclose(log);
  return 0;
}
