#include "receiver_emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>

#include "base/atomic_file.h"
#include "paced_line.h"
#include "pty_endpoint.h"
#include "transfer/rom_type.h"

namespace quorvane::emu {

namespace {

using Clock = std::chrono::steady_clock;

// How long poll() may sleep until `next`: -1 for ever, 0 when the deadline
// is so close that sleeping up to it precisely is better than oversleeping.
int pollTimeout(Clock::time_point next) {
  if (next == Clock::time_point::max()) return -1;
  const auto d = next - Clock::now();
  if (d < std::chrono::milliseconds(2)) return 0;
  return int(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + 1;
}

}  // namespace

std::string unitFileName(int unit) {
  char name[32];
  std::snprintf(name, sizeof name, "unit-%04d.bin", unit);
  return name;
}

struct ReceiverEmulator::State {
  explicit State(EmulatorOptions options)
      : opt(std::move(options)),
        line(pty, {opt.pace, opt.baud, opt.blockTurnaroundMs}),
        power({opt.poweredOn, opt.bootWindowMs, opt.saveMs}) {}

  EmulatorOptions opt;
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::thread thread;
  bool running = false;
  bool stopping = false;
  int wakeRead = -1;  // a pipe that wakes the service thread out of poll()
  int wakeWrite = -1;
  PtyEndpoint pty;
  PacedLine line;
  std::optional<FaultyLoader> loader;  // from start()
  Clock::time_point epoch = Clock::now();
  PowerModel power;
  int unit = 1;
  bool silentUnit = false;  // this unit never answers
  unsigned readsSeen = 0;   // the loader's complete reads already logged
  unsigned connectsSeen = 0;

  unsigned blocksServed = 0;
  std::optional<unsigned> completedUpgrade;  // the upgrade whose last answer went out
  // A vanish after something sent waits until the tool has taken it: the
  // bytes reached the PC before the device went.
  bool vanishPending = false;
  std::string vanishWhy;
  // idleness probes (waitIdle)
  std::uint64_t probeRequested = 0;
  std::uint64_t probeIdle = 0;

  // ---- called with mu held ---------------------------------------------
  void logLine(const char* direction, const std::string& text) {
    if (!opt.log) return;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch);
    std::fprintf(opt.log, "[%10.6f] %s %s\n", double(us.count()) / 1e6, direction, text.c_str());
    std::fflush(opt.log);
  }

  void wake() const {
    const char c = 1;
    if (wakeWrite >= 0) (void)!::write(wakeWrite, &c, 1);
  }

  void drainWake() {
    char b[64];
    while (::read(wakeRead, b, sizeof b) > 0) {
    }
  }

  void closePty(const std::string& why) {
    if (!pty.isOpen()) return;
    logLine("  ", why + ": pty closed");
    pty.close();
    line.reset();
    vanishPending = false;
    cv.notify_all();
  }

  // Bytes that have arrived from the tool: what the receiver does about them.
  void take(const std::uint8_t* bytes, std::size_t count) {
    advancePower();
    if (!power.listening() || silentUnit) {
      logLine("<-",
              std::to_string(count) + " bytes not taken (" +
                  (silentUnit ? std::string("a silent unit") : powerStateName(power.state())) +
                  ")");
      return;
    }
    for (Action& a : loader->receive(bytes, count)) {
      switch (a.kind) {
        case Action::Kind::Log:
          logLine(a.direction, a.text);
          break;
        case Action::Kind::Send:
          line.queue(std::move(a.run));
          break;
        case Action::Kind::DropPending:
          line.dropQueued();
          break;
        case Action::Kind::Vanish:
          closePty(a.text);
          return;
      }
    }
    const LoaderModel& model = loader->model();
    if (model.connectsTaken() != connectsSeen) {
      connectsSeen = model.connectsTaken();
      logPower(power.connectTaken());
    }
    if (model.readsCompleted() != readsSeen) {
      readsSeen = model.readsCompleted();
      unitDone("read");
    }
  }

  // A run has left whole. False: pump no more (the device is to go).
  bool left(Outgoing& run) {
    if (!run.logText.empty()) logLine("->", run.logText);
    if (run.servesBlock) ++blocksServed;
    if (run.completesUpgrade) {
      completedUpgrade = run.completesUpgrade;
      finishUpgrade();
    }
    if (run.vanishAfter) {
      vanishPending = true;
      vanishWhy = "vanished after " + run.logText;
      return false;
    }
    cv.notify_all();
    return true;
  }

  void finishUpgrade() {
    const LoaderModel& model = loader->model();
    logLine("  ",
            "upgrade complete: " + std::to_string(model.upgradeBlocks()) + " blocks programmed");
    if (!opt.saveFlashTo.empty()) saveFlash(opt.saveFlashTo);
    unitDone("upgraded");
    logPower(power.upgradeComplete(Clock::now()));
  }

  bool saveFlash(const std::string& path) {
    const std::vector<std::uint8_t>& flash = loader->model().flash();
    AtomicFileWriter w;
    const bool ok = w.open(path) && w.write(flash.data(), flash.size()) && w.commit();
    logLine("  ", (ok ? "flash saved to " : "could not save the flash to ") + path);
    return ok;
  }

  // A complete upgrade or read of this unit: its flash into the units
  // directory, then the line the tests count.
  void unitDone(const char* what) {
    if (opt.unitsDir.empty()) return;
    saveFlash(opt.unitsDir + "/" + unitFileName(unit));
    logLine("  ", "unit " + std::to_string(unit) + " " + what);
  }

  void logPower(const std::string& change) {
    if (!change.empty()) logLine("  ", "unit " + std::to_string(unit) + " " + change);
  }

  // The boot window or the save time may have run out. A receiver that
  // stops listening drops what it still had to send; one that (re)boots
  // starts its loader afresh.
  void advancePower() {
    logPower(power.advance(Clock::now()));
    if (power.takeRestarted() && loader) loader->restart();
    if (!power.listening()) line.dropQueued();
  }

  Clock::time_point pumpOut() {
    if (vanishPending) return Clock::time_point::max();
    std::string failure;
    const auto next = line.pumpOut([this](Outgoing& run) { return left(run); }, failure);
    if (!failure.empty()) closePty(failure);
    return next;
  }

  // One turn of the line both ways. Returns when something is next due;
  // `drained` when the pty had nothing more to read.
  Clock::time_point serve(bool& drained) {
    advancePower();
    auto next = line.pumpIn([this](const std::uint8_t* b, std::size_t n) { take(b, n); }, drained);
    next = std::min(next, pumpOut());
    // Output may have become due while input was handled, and the other
    // way round; one more turn of each settles both.
    if (line.sending() && !line.writeBlocked()) next = std::min(next, pumpOut());
    if (vanishPending) next = std::min(next, Clock::now() + std::chrono::milliseconds(1));
    return std::min(next, power.nextChange());
  }

  void run() {
    std::unique_lock lk(mu);
    while (!stopping) {
      if (!pty.isOpen()) {
        probeIdle = probeRequested;
        cv.notify_all();
        lk.unlock();
        pollfd p{wakeRead, POLLIN, 0};
        ::poll(&p, 1, -1);
        lk.lock();
        drainWake();
        continue;
      }
      if (vanishPending && pty.delivered()) {
        closePty(vanishWhy);
        continue;
      }
      const std::uint64_t probe = probeRequested;
      bool drained = false;
      const Clock::time_point next = serve(drained);
      if (!pty.isOpen()) continue;
      if (drained && !line.sending() && !line.holdingInput() && !vanishPending) {
        probeIdle = probe;
        cv.notify_all();
      }
      pollfd p[2] = {{wakeRead, POLLIN, 0}, {pty.masterFd(), 0, 0}};
      if (!line.holdingInput()) p[1].events |= POLLIN;
      if (line.writeBlocked()) p[1].events |= POLLOUT;
      const int timeout = pollTimeout(next);
      lk.unlock();
      if (timeout == 0 && next > Clock::now()) std::this_thread::sleep_until(next);
      ::poll(p, 2, timeout);
      lk.lock();
      drainWake();
    }
  }
};

ReceiverEmulator::ReceiverEmulator(EmulatorOptions options)
    : state_(new State(std::move(options))) {}

ReceiverEmulator::~ReceiverEmulator() {
  stop();
  delete state_;
}

bool ReceiverEmulator::start() {
  State& s = *state_;
  std::unique_lock lk(s.mu);
  if (s.running) return true;
  const int model = s.opt.modelNumber;
  if (!validModelNumber(model) || s.opt.baud <= 0) return false;
  if (s.opt.flash.empty()) s.opt.flash = patternFlash(model);
  if (s.opt.flash.size() != flashSizeOf(model)) return false;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  if (!s.pty.open(s.opt.linkPath)) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return false;
  }
  s.wakeRead = pipeFds[0];
  s.wakeWrite = pipeFds[1];
  s.loader.emplace(LoaderModel(model, s.opt.flash, s.opt.upgradeAnswer), s.opt.faults);
  s.epoch = Clock::now();
  s.line.restart(s.epoch);
  s.logLine("  ", "receiver model " + std::to_string(model) + " (" +
                      std::string(romType(model - 1).tagText) + ") on " + s.pty.devicePath() +
                      (s.opt.linkPath.empty() ? "" : " (link " + s.opt.linkPath + ")"));
  s.logPower(s.power.state() == PowerModel::State::Off ? "switched off" : "on, in its loader");
  s.stopping = false;
  s.running = true;
  s.thread = std::thread([&s] { s.run(); });
  return true;
}

void ReceiverEmulator::stop() {
  State& s = *state_;
  {
    std::lock_guard lk(s.mu);
    if (!s.running) return;
    s.stopping = true;
    s.wake();
  }
  s.thread.join();
  std::lock_guard lk(s.mu);
  s.running = false;
  s.closePty("stopped");
  ::close(s.wakeRead);
  ::close(s.wakeWrite);
  s.wakeRead = s.wakeWrite = -1;
  s.cv.notify_all();
}

const std::string& ReceiverEmulator::devicePath() const {
  return state_->pty.devicePath();
}

std::vector<FrameBytes> ReceiverEmulator::framesReceived() const {
  std::lock_guard lk(state_->mu);
  return state_->loader ? state_->loader->model().frames() : std::vector<FrameBytes>{};
}

std::vector<std::uint8_t> ReceiverEmulator::keyCodesReceived() const {
  std::lock_guard lk(state_->mu);
  return state_->loader ? state_->loader->model().keyCodes() : std::vector<std::uint8_t>{};
}

std::vector<std::uint8_t> ReceiverEmulator::flash() const {
  std::lock_guard lk(state_->mu);
  const State& s = *state_;
  if (s.loader) return s.loader->model().flash();  // started: what it holds now
  return s.opt.flash.empty() ? patternFlash(s.opt.modelNumber) : s.opt.flash;
}

unsigned ReceiverEmulator::blocksSent() const {
  std::lock_guard lk(state_->mu);
  return state_->blocksServed;
}

unsigned ReceiverEmulator::blocksReceived() const {
  std::lock_guard lk(state_->mu);
  return state_->loader ? state_->loader->model().blocksTaken() : 0;
}

bool ReceiverEmulator::upgradeComplete() const {
  std::lock_guard lk(state_->mu);
  const State& s = *state_;
  return s.loader && s.completedUpgrade == s.loader->model().upgradesBegun();
}

std::uint64_t ReceiverEmulator::bytesSent() const {
  std::lock_guard lk(state_->mu);
  return state_->line.bytesSent();
}

std::uint64_t ReceiverEmulator::bytesReceived() const {
  std::lock_guard lk(state_->mu);
  return state_->line.bytesReceived();
}

bool ReceiverEmulator::waitIdle(int timeoutMs) const {
  State& s = *state_;
  std::unique_lock lk(s.mu);
  if (!s.running) return true;
  const std::uint64_t probe = ++s.probeRequested;
  s.wake();
  return s.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                       [&] { return !s.running || s.probeIdle >= probe; });
}

bool ReceiverEmulator::outputDelivered() const {
  std::lock_guard lk(state_->mu);
  return state_->pty.delivered();
}

bool ReceiverEmulator::waitUntil(const std::function<bool()>& predicate, int timeoutMs) const {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (predicate()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void ReceiverEmulator::sendRaw(const std::vector<std::uint8_t>& bytes) {
  State& s = *state_;
  std::lock_guard lk(s.mu);
  Outgoing run;
  run.bytes = bytes;
  run.logText = "raw " + std::to_string(bytes.size()) +
                " bytes: " + hexBytes(bytes.data(), std::min<std::size_t>(bytes.size(), 32)) +
                (bytes.size() > 32 ? " ..." : "");
  s.line.queue(std::move(run));
  s.wake();
}

void ReceiverEmulator::vanish() {
  State& s = *state_;
  std::lock_guard lk(s.mu);
  s.closePty("vanished on request");
  s.wake();
}

void ReceiverEmulator::setFaults(const FaultPlan& faults) {
  State& s = *state_;
  std::lock_guard lk(s.mu);
  s.opt.faults = faults;
  if (s.loader) s.loader->setPlan(faults);
  s.wake();
}

void ReceiverEmulator::switchOn() {
  State& s = *state_;
  std::lock_guard lk(s.mu);
  s.logPower(s.power.switchOn(Clock::now()));
  if (s.power.takeRestarted() && s.loader) s.loader->restart();
  s.wake();
}

void ReceiverEmulator::switchOff() {
  State& s = *state_;
  std::lock_guard lk(s.mu);
  s.logPower(s.power.switchOff());
  s.line.dropQueued();
  s.wake();
}

bool ReceiverEmulator::swapUnit(std::optional<int> modelNumber, bool silent) {
  State& s = *state_;
  std::lock_guard lk(s.mu);
  const int model = modelNumber.value_or(s.opt.modelNumber);
  if (!validModelNumber(model)) return false;
  s.logPower(s.power.switchOff());
  s.line.dropQueued();
  ++s.unit;
  s.opt.modelNumber = model;
  s.opt.flash = unitFlash(model, s.unit);
  s.silentUnit = silent;
  if (s.loader) {
    s.loader.emplace(LoaderModel(model, s.opt.flash, s.opt.upgradeAnswer), s.opt.faults);
    s.readsSeen = s.connectsSeen = 0;
    s.completedUpgrade.reset();
  }
  s.logLine("  ", "unit " + std::to_string(s.unit) + " in place, switched off: model " +
                      std::to_string(model) + " (" + std::string(romType(model - 1).tagText) + ")" +
                      (silent ? ", never answers" : ""));
  s.wake();
  return true;
}

int ReceiverEmulator::unit() const {
  std::lock_guard lk(state_->mu);
  return state_->unit;
}

PowerModel::State ReceiverEmulator::powerState() const {
  std::lock_guard lk(state_->mu);
  return state_->power.state();
}

bool ReceiverEmulator::note(const std::string& text) {
  std::lock_guard lk(state_->mu);
  state_->logLine("  ", text);
  return state_->opt.log != nullptr;
}

}  // namespace quorvane::emu
