// quorvane-emu: a receiver's service loader on a pseudo-terminal.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "control_fifo.h"
#include "emulator_options.h"
#include "quorvane/version.h"
#include "receiver_emulator.h"

namespace {

using namespace quorvane::emu;

// The frame log: none, standard error ("-"), or a file appended to. False
// when the file can't be opened.
bool openLog(const std::string& path, std::FILE*& log) {
  log = path == "-" ? stderr : path.empty() ? nullptr : std::fopen(path.c_str(), "a");
  return path.empty() || log;
}

// Waits for a stop signal, or for the parent process to be gone.
void serveUntilStopped(const sigset_t& stopSignals, long parentPid) {
  for (;;) {
    const timespec wait{0, 200'000'000};
    if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) return;
    if (parentPid > 0 && kill(pid_t(parentPid), 0) != 0 && errno == ESRCH) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
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
  if (cmd.version) {
    std::printf("quorvane-emu %s\n", quorvane::kVersion);
    return 0;
  }
  if (!cmd.flashPath.empty() && !loadFlashFile(cmd.flashPath, cmd, error)) {
    std::fprintf(stderr, "quorvane-emu: %s\n", error.c_str());
    return 1;
  }
  if (!openLog(cmd.logPath, cmd.options.log)) {
    std::fprintf(stderr, "quorvane-emu: cannot open log %s\n", cmd.logPath.c_str());
    return 1;
  }

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
  // "quit" on the control FIFO ends it as a stop signal does.
  ControlFifo control(emulator, [] { kill(getpid(), SIGTERM); });
  if (!cmd.controlPath.empty() && !control.open(cmd.controlPath, error)) {
    std::fprintf(stderr, "quorvane-emu: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", emulator.devicePath().c_str());
  std::fflush(stdout);
  serveUntilStopped(stopSignals, cmd.parentPid);
  // Frames the tool wrote just before it ended are taken in and logged
  // before the emulator goes.
  emulator.waitIdle(1000);
  emulator.stop();
  if (cmd.options.log && cmd.options.log != stderr) std::fclose(cmd.options.log);
  return 0;
}
