#include "receiver_emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

#include "base/atomic_file.h"
#include "remote/remote_keys.h"
#include "transfer/model_check.h"
#include "transfer/rom_type.h"

namespace quorvane::emu {

namespace {

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

// Paced bytes go out (and are taken in) in chunks this small, each at the
// moment its last byte would have left the wire.
constexpr std::size_t kPaceChunk = 16;
constexpr std::size_t kReadBufferSize = 65536;

std::size_t flashSizeOf(int modelNumber) {
  return std::size_t{blockCountOfIndex(modelNumber - 1)} * kBlockSize;
}

bool validModel(int modelNumber) {
  return modelNumber >= kModelNumberFirst && modelNumber <= kModelNumberLast;
}

// One thing to send: a frame, a block, surplus bytes, a piece of a split
// answer. It waits `delay` after the previous item has left the line.
struct OutItem {
  std::vector<std::uint8_t> bytes;
  Nanos delay{0};
  std::string logText;       // written to the log once the item is out
  bool countsBlock = false;  // read: a block served
  bool vanishAfter = false;  // close the pty once the item is out
  bool completesUpgrade = false;
  // run-time
  bool scheduled = false;
  Clock::time_point readyAt;  // not before this
  std::size_t done = 0;
};

enum class Mode {
  Idle,         // between exchanges: frames
  Reading,      // serving a read: frames (block acks, read complete, stop)
  Upgrading,    // taking blocks: raw data, or the stop frame
  UpgradeDone,  // last block answered: frames until stop
  Silent,       // a fault: it answers nothing until stop
};

}  // namespace

struct ReceiverEmulator::State {
  EmulatorOptions opt;
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::thread thread;
  bool running = false;
  bool stopping = false;
  int masterFd = -1;
  int slaveFd = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::string device;
  bool linkMade = false;
  Clock::time_point epoch = Clock::now();

  // the receiver
  std::vector<std::uint8_t> flash;
  Mode mode = Mode::Idle;
  int announcedModel = 1;    // the model its read answer named
  unsigned readBlocks = 0;   // blocks the current read serves
  unsigned nextBlock = 0;    // read: next block to send
  bool awaitingAck = false;  // read: a block is out, its acknowledgement due
  unsigned upBlocks = 0;     // upgrade: blocks taken in this upgrade
  unsigned answersSent = 0;  // upgrade: answers given in this upgrade
  std::vector<std::uint8_t> inBuf;

  // observations
  std::vector<FrameBytes> frames;
  std::vector<std::uint8_t> keys;
  unsigned blocksSentCount = 0;
  unsigned blocksReceivedCount = 0;
  bool complete = false;
  std::uint64_t sent = 0;
  std::uint64_t received = 0;

  // line
  std::deque<OutItem> out;
  Nanos byteTime{0};
  Clock::time_point txLineFree;      // when the last paced byte out has left
  Clock::time_point rxLineFree;      // when the last paced byte in has arrived
  std::vector<std::uint8_t> rxHold;  // paced: taken, not yet "arrived"
  Clock::time_point rxDeadline;
  bool outBlocked = false;  // the pty would not take more
  // A vanish after something sent waits until the tool has taken it: the
  // bytes reached the PC before the device went.
  bool vanishPending = false;
  std::string vanishWhy;

  // idleness probes
  std::uint64_t probeRequested = 0;
  std::uint64_t probeIdle = 0;

  // ---- helpers (called with mu held) -----------------------------------
  void logLine(const char* dir, const std::string& text) {
    if (!opt.log) return;
    const auto ms = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch);
    std::fprintf(opt.log, "[%10.6f] %s %s\n", double(ms.count()) / 1e6, dir, text.c_str());
    std::fflush(opt.log);
  }

  static std::string frameText(const FrameBytes& f) {
    std::string t = hexBytes(f.data(), f.size()) + "  " + describeFrame(f);
    if (f[kParam1Offset] == kKeyParam1 && f[kParam2Offset] == kKeyParam2 &&
        f[kParam3Offset] == kKeyParam3) {
      const remote::RemoteKey* key = remote::findKeyByCode(f[kCommandOffset]);
      t += key ? " \"" + remote::displayCaption(*key) + "\"" : std::string(" (no such key)");
    }
    return t;
  }

  void wake() const {
    const char c = 1;
    if (wakeWrite >= 0) (void)!::write(wakeWrite, &c, 1);
  }

  void queue(OutItem item) { out.push_back(std::move(item)); }

  // An answer frame, honouring the split and surplus faults.
  void queueAnswer(const FrameBytes& frame, Nanos delay = Nanos{0}) {
    const FaultPlan& fp = opt.faults;
    const std::string text = frameText(frame);
    if (fp.splitPieces > 1) {
      const std::size_t pieces = std::min<std::size_t>(std::size_t(fp.splitPieces), kFrameSize);
      std::size_t from = 0;
      for (std::size_t p = 0; p < pieces; ++p) {
        const std::size_t to = kFrameSize * (p + 1) / pieces;
        OutItem it;
        it.bytes.assign(frame.begin() + long(from), frame.begin() + long(to));
        it.delay = p == 0 ? delay : Nanos(std::chrono::milliseconds(fp.splitDelayMs));
        it.logText = text + " (piece " + std::to_string(p + 1) + "/" + std::to_string(pieces) + ")";
        queue(std::move(it));
        from = to;
      }
    } else {
      OutItem it;
      it.bytes.assign(frame.begin(), frame.end());
      it.delay = delay;
      it.logText = text;
      queue(std::move(it));
    }
    queueSurplus();
  }

  // Surplus bytes leave in the same write as the answer or block they
  // follow: written apart, a poll could find exactly the 12 answer bytes
  // waiting in between, and whether the tool sees the surplus would depend
  // on timing.
  void queueSurplus() {
    if (opt.faults.surplusBytes == 0 || out.empty()) return;
    OutItem& last = out.back();
    last.bytes.insert(last.bytes.end(), opt.faults.surplusBytes, kSurplusByte);
    last.logText += " + " + std::to_string(opt.faults.surplusBytes) + " surplus bytes";
  }

  Nanos turnaround() const { return std::chrono::milliseconds(std::max(0, opt.blockTurnaroundMs)); }

  // ---- read --------------------------------------------------------------
  void startRead() {
    const FaultPlan& fp = opt.faults;
    announcedModel = validModel(fp.otherModel) ? fp.otherModel : opt.modelNumber;
    readBlocks = blockCountOfIndex(announcedModel - 1);
    nextBlock = 0;
    awaitingAck = false;
    mode = Mode::Reading;
    queueAnswer(fp.wrongAnswer ? kWrongAnswerFrame : identFrame(announcedModel));
    sendNextBlock();
  }

  void sendNextBlock() {
    const FaultPlan& fp = opt.faults;
    const unsigned k = nextBlock++;
    OutItem it;
    const std::size_t at = std::size_t{k} * kBlockSize;
    if (at + kBlockSize <= flash.size())
      it.bytes.assign(flash.begin() + long(at), flash.begin() + long(at + kBlockSize));
    else
      it.bytes.assign(kBlockSize, 0xFF);  // beyond its own flash: erased
    it.logText = "block " + std::to_string(k) + " (4096 bytes)";
    if (int(k) == fp.corruptBlock) {
      const std::size_t off = fp.corruptOffset % kBlockSize;
      it.bytes[off] ^= kCorruptMask;
      it.logText += ", byte " + std::to_string(off) + " corrupted";
    }
    const bool cut = int(k) == fp.shortBlock;
    if (cut) {
      it.bytes.resize(kBlockSize - std::min(fp.shortBy, kBlockSize));
      it.logText = "block " + std::to_string(k) + " cut short to " +
                   std::to_string(it.bytes.size()) + " bytes";
    }
    it.delay = turnaround();
    it.countsBlock = true;
    it.vanishAfter = int(k) == fp.vanishAfterBlock;
    queue(std::move(it));
    if (!cut) queueSurplus();
    awaitingAck = true;
    if (cut || int(k) == fp.silentAfterBlock) mode = Mode::Silent;
  }

  void readFrame(const FrameBytes& f) {
    if (f == identFrame(announcedModel) && awaitingAck) {
      awaitingAck = false;
      if (nextBlock < readBlocks) sendNextBlock();
      return;
    }
    if (f == kReadCompleteFrame) {
      logLine("  ", "read finished after " + std::to_string(nextBlock) + " blocks");
      mode = Mode::Idle;
      return;
    }
    logLine("  ", "frame not expected during a read; ignored");
  }

  // ---- upgrade -----------------------------------------------------------
  FrameBytes upgradeAnswerFrame(unsigned answerNo) const {
    const FaultPlan& fp = opt.faults;
    const int index = opt.modelNumber - 1;
    const bool faulty =
        fp.answerFaultAfterBlock < 0 || long(answerNo) - 1 >= fp.answerFaultAfterBlock;
    int code = 0;
    switch (opt.upgradeAnswer) {
      case UpgradeAnswer::Ack0:
        code = 0;
        break;
      case UpgradeAnswer::Ack1:
        code = 1;
        break;
      case UpgradeAnswer::Ack2:
        code = 2;
        break;
      case UpgradeAnswer::Ident:
        code = -1;
        break;
      case UpgradeAnswer::Rotate:
        code = int(answerNo % 3);
        break;
    }
    if (faulty && fp.wrongAnswer) return kWrongAnswerFrame;
    if (faulty && validModel(fp.otherModel)) return identFrame(fp.otherModel);
    AckGroup group = ackGroupOfIndex(index);
    if (faulty && fp.otherGroup) {
      group = group == AckGroup::C ? AckGroup::F : AckGroup::C;
      if (code < 0) code = 0;
    }
    if (code < 0) return identFrameOfIndex(index);
    return ackFramesOf(group)[std::size_t(code)];
  }

  void startUpgrade() {
    mode = Mode::Upgrading;
    upBlocks = 0;
    answersSent = 0;
    complete = false;
    inBuf.clear();
    queueAnswer(upgradeAnswerFrame(answersSent++));
  }

  // Upgrade data: blocks, or the stop frame where a block would begin.
  void upgradeBytes() {
    while (mode == Mode::Upgrading) {
      const std::size_t n = std::min(inBuf.size(), kFrameSize);
      if (std::equal(inBuf.begin(), inBuf.begin() + long(n), kStopFrame.begin())) {
        if (n < kFrameSize) return;  // could still be the stop frame
        takeFrame();
        continue;
      }
      if (inBuf.size() < kBlockSize) return;
      const unsigned k = upBlocks++;
      const std::size_t at = std::size_t{k} * kBlockSize;
      const bool fits = at + kBlockSize <= flash.size();
      if (fits)
        std::copy(inBuf.begin(), inBuf.begin() + long(kBlockSize), flash.begin() + long(at));
      inBuf.erase(inBuf.begin(), inBuf.begin() + long(kBlockSize));
      ++blocksReceivedCount;
      logLine("<-", "block " + std::to_string(k) + " (4096 bytes)" +
                        (fits ? "" : ", beyond its flash: dropped"));
      afterUpgradeBlock(k);
    }
  }

  void afterUpgradeBlock(unsigned k) {
    const FaultPlan& fp = opt.faults;
    if (int(k) == fp.vanishAfterBlock) {
      closePty("vanished after block " + std::to_string(k));
      return;
    }
    if (int(k) == fp.silentAfterBlock) {
      mode = Mode::Silent;
      return;
    }
    const bool last = upBlocks >= flash.size() / kBlockSize;
    queueAnswer(upgradeAnswerFrame(answersSent++), turnaround());
    if (last) {
      out.back().completesUpgrade = true;
      mode = Mode::UpgradeDone;
    }
  }

  void finishUpgrade() {
    complete = true;
    logLine("  ", "upgrade complete: " + std::to_string(upBlocks) + " blocks programmed");
    if (opt.saveFlashTo.empty()) return;
    AtomicFileWriter w;
    const bool ok = w.open(opt.saveFlashTo) && w.write(flash.data(), flash.size()) && w.commit();
    logLine("  ", (ok ? "flash saved to " : "could not save the flash to ") + opt.saveFlashTo);
  }

  // ---- frames ------------------------------------------------------------
  // Frame modes: drop bytes until the sync magic could begin, then take
  // whole frames.
  void frameBytes() {
    std::size_t dropped = 0;
    while (!inBuf.empty() && mode != Mode::Upgrading && masterFd >= 0) {
      const std::size_t n = std::min(inBuf.size(), kSyncMagicSize);
      if (!std::equal(inBuf.begin(), inBuf.begin() + long(n), kSyncMagic.begin())) {
        inBuf.erase(inBuf.begin());
        ++dropped;
        continue;
      }
      if (inBuf.size() < kFrameSize) break;
      if (dropped) logLine("<-", std::to_string(dropped) + " stray bytes dropped"), dropped = 0;
      takeFrame();
    }
    if (dropped) logLine("<-", std::to_string(dropped) + " stray bytes dropped");
  }

  void takeFrame() {
    FrameBytes f;
    std::copy(inBuf.begin(), inBuf.begin() + long(kFrameSize), f.begin());
    inBuf.erase(inBuf.begin(), inBuf.begin() + long(kFrameSize));
    frames.push_back(f);
    logLine("<-", frameText(f));
    onFrame(f);
  }

  void onFrame(const FrameBytes& f) {
    const FaultPlan& fp = opt.faults;
    if (f == kStopFrame) {
      if (mode != Mode::Idle) logLine("  ", "exchange stopped");
      mode = Mode::Idle;
      out.clear();
      return;
    }
    if (f[kParam1Offset] == kKeyParam1 && f[kParam2Offset] == kKeyParam2 &&
        f[kParam3Offset] == kKeyParam3) {
      keys.push_back(f[kCommandOffset]);
      return;
    }
    if (mode == Mode::Silent) return;
    if (mode == Mode::Reading) return readFrame(f);
    if (mode == Mode::UpgradeDone) {
      logLine("  ", "frame not expected after the upgrade; ignored");
      return;
    }
    const bool isStart = f == kConnectFrame || f == kStartReadFrame || f == kStartUpgradeFrame;
    if (!isStart) {
      logLine("  ", "frame not expected; ignored");
      return;
    }
    if (fp.vanishAfterBlock == -2) {
      closePty("vanished after the start frame");
      return;
    }
    if (fp.silentAfterStart) {
      mode = f == kConnectFrame ? Mode::Idle : Mode::Silent;
      return;
    }
    if (f == kConnectFrame) {
      queueAnswer(fp.wrongAnswer              ? kWrongAnswerFrame
                  : validModel(fp.otherModel) ? identFrame(fp.otherModel)
                                              : kAckFrame);
    } else if (f == kStartReadFrame) {
      startRead();
    } else {
      startUpgrade();
    }
  }

  void onBytes(const std::uint8_t* data, std::size_t n) {
    inBuf.insert(inBuf.end(), data, data + n);
    while (!inBuf.empty() && masterFd >= 0) {
      const Mode before = mode;
      const std::size_t size = inBuf.size();
      if (mode == Mode::Upgrading)
        upgradeBytes();
      else
        frameBytes();
      if (mode == before && inBuf.size() == size) break;
    }
  }

  // ---- the pty -----------------------------------------------------------
  void closePty(const std::string& why) {
    if (masterFd < 0) return;
    logLine("  ", why + ": pty closed");
    ::close(masterFd);
    masterFd = -1;
    if (slaveFd >= 0) ::close(slaveFd);
    slaveFd = -1;
    removeLink();
    out.clear();
    rxHold.clear();
    inBuf.clear();
    vanishPending = false;
    cv.notify_all();
  }

  void removeLink() {
    if (!linkMade) return;
    struct stat st {};
    if (::lstat(opt.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      ::unlink(opt.linkPath.c_str());
    linkMade = false;
  }

  bool makeLink() {
    if (opt.linkPath.empty()) return true;
    struct stat st {};
    if (::lstat(opt.linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
      return false;  // never replace a real file
    const std::string temp = opt.linkPath + ".emu-" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(device.c_str(), temp.c_str()) != 0) return false;
    if (::rename(temp.c_str(), opt.linkPath.c_str()) != 0) {
      ::unlink(temp.c_str());
      return false;
    }
    linkMade = true;
    return true;
  }

  // ---- service loop --------------------------------------------------------
  // Writes what is due. Returns the time of the next thing due, or max().
  Clock::time_point pumpOut() {
    outBlocked = false;
    while (!out.empty() && masterFd >= 0 && !vanishPending) {
      OutItem& it = out.front();
      const auto now = Clock::now();
      if (!it.scheduled) {
        it.scheduled = true;
        const auto base = opt.pace ? std::max(now, txLineFree) : now;
        it.readyAt = base + it.delay;
      }
      if (now < it.readyAt) return it.readyAt;
      std::size_t want = it.bytes.size() - it.done;
      Clock::time_point chunkDue = now;
      if (opt.pace && want > 0) {
        want = std::min(want, kPaceChunk);
        // The line is busy until txLineFree; this chunk's last byte leaves
        // the wire `want` byte times after the later of that and readyAt.
        const auto start = std::max(txLineFree, it.readyAt);
        chunkDue = start + byteTime * long(want);
        if (now < chunkDue) return chunkDue;
      }
      if (want > 0) {
        const ssize_t w = ::write(masterFd, it.bytes.data() + it.done, want);
        if (w < 0) {
          if (errno == EAGAIN || errno == EINTR) {
            outBlocked = true;
            return Clock::time_point::max();
          }
          closePty(std::string("write failed: ") + std::strerror(errno));
          return Clock::time_point::max();
        }
        it.done += std::size_t(w);
        sent += std::uint64_t(w);
        if (opt.pace) txLineFree = chunkDue - byteTime * long(want - std::size_t(w));
        if (it.done < it.bytes.size()) continue;
      }
      OutItem done = std::move(it);
      out.pop_front();
      if (!done.logText.empty()) logLine("->", done.logText);
      if (done.countsBlock) ++blocksSentCount;
      if (done.completesUpgrade) finishUpgrade();
      if (done.vanishAfter) {
        vanishPending = true;
        vanishWhy = "vanished after " + done.logText;
        return Clock::time_point::max();
      }
      cv.notify_all();
    }
    return Clock::time_point::max();
  }

  // Takes in what has arrived. Returns the time the held chunk is due, or
  // max(); sets `drained` when a read found nothing waiting.
  Clock::time_point pumpIn(bool& drained) {
    std::uint8_t buf[kReadBufferSize];
    drained = false;
    for (;;) {
      if (masterFd < 0) return Clock::time_point::max();
      const auto now = Clock::now();
      bool continuous = false;
      if (!rxHold.empty()) {
        if (now < rxDeadline) return rxDeadline;
        rxLineFree = rxDeadline;
        std::vector<std::uint8_t> chunk;
        chunk.swap(rxHold);
        onBytes(chunk.data(), chunk.size());
        continuous = true;
        if (masterFd < 0) return Clock::time_point::max();
      }
      const std::size_t limit = opt.pace ? kPaceChunk : sizeof buf;
      const ssize_t r = ::read(masterFd, buf, limit);
      if (r <= 0) {
        // EAGAIN: nothing waiting. EIO would mean no slave is open, which
        // cannot happen while its own slave descriptor is held.
        if (r < 0 && errno == EINTR) continue;
        drained = true;
        return Clock::time_point::max();
      }
      received += std::uint64_t(r);
      if (opt.pace) {
        const auto start = continuous ? rxLineFree : std::max(rxLineFree, Clock::now());
        rxDeadline = start + byteTime * long(r);
        rxHold.assign(buf, buf + r);
      } else {
        onBytes(buf, std::size_t(r));
      }
    }
  }

  // poll() pushes bytes still on their way into the terminal's input queue
  // before it looks, so an empty queue here means everything was read.
  bool slaveDrained() const {
    if (slaveFd < 0) return true;
    pollfd p{slaveFd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
  }

  void drainWake() {
    char b[64];
    while (::read(wakeRead, b, sizeof b) > 0) {
    }
  }

  void run() {
    std::unique_lock lk(mu);
    while (!stopping) {
      if (masterFd < 0) {
        probeIdle = probeRequested;
        cv.notify_all();
        lk.unlock();
        pollfd p{wakeRead, POLLIN, 0};
        ::poll(&p, 1, -1);
        lk.lock();
        drainWake();
        continue;
      }
      if (vanishPending && slaveDrained()) {
        closePty(vanishWhy);
        continue;
      }
      const std::uint64_t probe = probeRequested;
      bool drained = false;
      auto next = pumpIn(drained);
      next = std::min(next, pumpOut());
      // Output may have become due while input was handled, and the other
      // way round; one more turn of each settles both.
      if (!out.empty() && !outBlocked) next = std::min(next, pumpOut());
      if (vanishPending) next = std::min(next, Clock::now() + std::chrono::milliseconds(1));
      if (drained && out.empty() && rxHold.empty() && !vanishPending && masterFd >= 0) {
        probeIdle = probe;
        cv.notify_all();
      }
      if (masterFd < 0) continue;
      int timeout = -1;
      if (next != Clock::time_point::max()) {
        const auto d = next - Clock::now();
        timeout = d <= Nanos{0}
                      ? 0
                      : int(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + 1;
        // Sub-millisecond deadlines: spin briefly rather than oversleep.
        if (d < std::chrono::milliseconds(2)) timeout = 0;
      }
      pollfd p[2] = {{wakeRead, POLLIN, 0}, {masterFd, 0, 0}};
      if (rxHold.empty()) p[1].events |= POLLIN;
      if (outBlocked) p[1].events |= POLLOUT;
      lk.unlock();
      if (timeout == 0) {
        // A deadline is imminent: sleep up to it precisely.
        if (next != Clock::time_point::max() && next > Clock::now())
          std::this_thread::sleep_until(next);
        ::poll(p, 2, 0);
      } else {
        ::poll(p, 2, timeout);
      }
      lk.lock();
      drainWake();
    }
  }
};

std::vector<std::uint8_t> patternFlash(int modelNumber) {
  if (!validModel(modelNumber)) modelNumber = kModelNumberFirst;
  const unsigned blocks = blockCountOfIndex(modelNumber - 1);
  std::vector<std::uint8_t> f(std::size_t{blocks} * kBlockSize);
  for (unsigned k = 0; k < blocks; ++k) {
    std::uint8_t* b = f.data() + std::size_t{k} * kBlockSize;
    // A header naming the block and model, then a pseudo-random body that
    // differs from block to block and model to model.
    b[0] = 'Q';
    b[1] = 'B';
    b[2] = std::uint8_t(k >> 8);
    b[3] = std::uint8_t(k);
    b[4] = std::uint8_t(modelNumber);
    std::uint32_t x = 0x9E3779B9u ^ (k * 0x85EBCA6Bu) ^ (std::uint32_t(modelNumber) << 24);
    for (std::size_t i = 5; i < kBlockSize; ++i) {
      x = x * 1664525u + 1013904223u;
      b[i] = std::uint8_t(x >> 24);
    }
  }
  return f;
}

ReceiverEmulator::ReceiverEmulator(EmulatorOptions options) : state_(new State) {
  state_->opt = std::move(options);
}

ReceiverEmulator::~ReceiverEmulator() {
  stop();
  delete state_;
}

bool ReceiverEmulator::start() {
  State& s = *state_;
  std::unique_lock lk(s.mu);
  if (s.running) return true;
  if (!validModel(s.opt.modelNumber)) return false;
  if (s.opt.flash.empty()) s.opt.flash = patternFlash(s.opt.modelNumber);
  if (s.opt.flash.size() != flashSizeOf(s.opt.modelNumber)) return false;
  if (s.opt.baud <= 0) return false;
  s.flash = s.opt.flash;
  s.byteTime = Nanos(std::int64_t(1'000'000'000) * kLineBitsPerByte / s.opt.baud);

  const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) return false;
  char name[128];
  if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
    ::close(m);
    return false;
  }
  // Its own slave descriptor stays open for its whole life: the tool may
  // close and reopen the device between sessions without the master ever
  // seeing a hang-up, and the line settings below persist.
  const int sl = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (sl < 0) {
    ::close(m);
    return false;
  }
  termios t{};
  ::tcgetattr(sl, &t);
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  ::tcsetattr(sl, TCSANOW, &t);
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
    ::close(sl);
    ::close(m);
    return false;
  }
  s.masterFd = m;
  s.slaveFd = sl;
  s.wakeRead = pipeFds[0];
  s.wakeWrite = pipeFds[1];
  s.device = name;
  if (!s.makeLink()) {
    ::close(sl);
    ::close(m);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    s.masterFd = s.slaveFd = s.wakeRead = s.wakeWrite = -1;
    return false;
  }
  s.epoch = Clock::now();
  s.txLineFree = s.rxLineFree = s.epoch;
  s.logLine("  ", "receiver model " + std::to_string(s.opt.modelNumber) + " (" +
                      std::string(romType(s.opt.modelNumber - 1).tagText) + ") on " + s.device +
                      (s.opt.linkPath.empty() ? "" : " (link " + s.opt.linkPath + ")"));
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
  if (s.wakeRead >= 0) ::close(s.wakeRead);
  if (s.wakeWrite >= 0) ::close(s.wakeWrite);
  s.wakeRead = s.wakeWrite = -1;
  s.cv.notify_all();
}

const std::string& ReceiverEmulator::devicePath() const {
  return state_->device;
}

std::vector<FrameBytes> ReceiverEmulator::framesReceived() const {
  std::lock_guard lk(state_->mu);
  return state_->frames;
}

std::vector<std::uint8_t> ReceiverEmulator::keyCodesReceived() const {
  std::lock_guard lk(state_->mu);
  return state_->keys;
}

std::vector<std::uint8_t> ReceiverEmulator::flash() const {
  std::lock_guard lk(state_->mu);
  if (!state_->flash.empty()) return state_->flash;  // started: what it holds now
  return state_->opt.flash.empty() ? patternFlash(state_->opt.modelNumber) : state_->opt.flash;
}

unsigned ReceiverEmulator::blocksSent() const {
  std::lock_guard lk(state_->mu);
  return state_->blocksSentCount;
}

unsigned ReceiverEmulator::blocksReceived() const {
  std::lock_guard lk(state_->mu);
  return state_->blocksReceivedCount;
}

bool ReceiverEmulator::upgradeComplete() const {
  std::lock_guard lk(state_->mu);
  return state_->complete;
}

std::uint64_t ReceiverEmulator::bytesSent() const {
  std::lock_guard lk(state_->mu);
  return state_->sent;
}

std::uint64_t ReceiverEmulator::bytesReceived() const {
  std::lock_guard lk(state_->mu);
  return state_->received;
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
  State& s = *state_;
  std::lock_guard lk(s.mu);
  return s.slaveDrained();
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
  OutItem it;
  it.bytes = bytes;
  it.logText = "raw " + std::to_string(bytes.size()) +
               " bytes: " + hexBytes(bytes.data(), std::min<std::size_t>(bytes.size(), 32)) +
               (bytes.size() > 32 ? " ..." : "");
  s.queue(std::move(it));
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
  s.wake();
}

}  // namespace quorvane::emu
