#include "jobs.h"

#include <cstdio>
#include <cstring>

#include "connection/connect_handshake.h"
#include "remote/remote_keys.h"
#include "remote/remote_session.h"
#include "serial/command_port.h"
#include "serial/protocol.h"
#include "transfer/model_check.h"
#include "transfer/read_transfer.h"
#include "transfer/rom_type.h"
#include "transfer/transfer_view.h"
#include "transfer/upgrade_transfer.h"

namespace quorvane::cli {

namespace {

constexpr int kKeyTimerId = 1;  // key: one key frame per tick

const char* const kSent = "->";
const char* const kReceived = "<-";

std::string dataSha(const std::vector<std::uint8_t>& data, std::size_t offset) {
  if (data.size() <= offset) return {};
  return sha256Hex(data.data() + offset, data.size() - offset);
}

void describeType(JobRecord& record, int tagIndex) {
  if (tagIndex < 0 || tagIndex >= kRomTypeCount) return;
  const RomImageTag& t = romType(tagIndex);
  record.tag = std::string(t.tagText);
  record.modelName = std::string(t.modelName);
}

// A transfer's front end: the job's timers, its progress line, its
// failure messages.
class JobTransferView final : public TransferView {
 public:
  using ProgressFn = std::function<void(long long, long long)>;
  using MessageFn = std::function<void(const Notice&)>;
  JobTransferView(Job& job, ProgressFn progress, MessageFn message)
      : job_(job), progress_(std::move(progress)), message_(std::move(message)) {}

  void startTimer(int timerId, int periodMs) override { job_.startTimer(timerId, periodMs); }
  void stopTimer(int timerId) override { job_.stopTimer(timerId); }
  void showBlockProgress(unsigned, long long done, long long count) override {
    progress_(done, count);
  }
  void cancel() override {
    job_.stopAllTimers();
    cancelled = true;
  }
  void showMessage(const Notice& notice) override { message_(notice); }
  void showUpgradeComplete() override { upgradeComplete = true; }

  bool cancelled = false;
  bool upgradeComplete = false;

 private:
  Job& job_;
  ProgressFn progress_;
  MessageFn message_;
};

// ---- connect ---------------------------------------------------------------

class ConnectJob final : public ReceiverJob, private ConnectView {
 public:
  ConnectJob(RunContext& run, JobTarget target)
      : ReceiverJob(run, std::move(target), "connect"),
        handshake_(port_, *this, [this](int ms) { sleep(ms); }) {}
  ~ConnectJob() override {
    if (worker_.joinable()) worker_.join();
  }

  void begin() override { handshake_.start(); }

  void onTimer(int timerId) override {
    if (timerId != kConnectTimerId || worker_.joinable()) return;
    // The handshake stops its timer first; done here, on the loop's thread.
    stopTimer(kConnectTimerId);
    onWorker_ = true;
    worker_ = std::thread([this] {
      handshake_.tick(target_.port);
      finished_ = true;
    });
  }

  void poll() override {
    if (!worker_.joinable() || !finished_) return;
    worker_.join();
    onWorker_ = false;
    const bool ok = handshake_.result() == ConnectResult::Connected;
    if (ok) run_.console.result(target_.prefix, noticeText(Notice::of(MessageId::ConnectOk)));
    conclude(ok);
  }

  void interrupt() override {
    // Before the tick: Esc of the dialog. A handshake under way runs out.
    if (handshake_.cancel()) conclude(false, true);
  }

 private:
  // ConnectView
  void startTimer(int timerId, int periodMs) override { Job::startTimer(timerId, periodMs); }
  void stopTimer(int timerId) override {
    if (!onWorker_) Job::stopTimer(timerId);
  }
  void showProgress(int percent) override {
    if (percent == kConnectProgressDone) {  // the acknowledgement has arrived
      traceRequest();
      traceFrame(kReceived, kAckFrame);
    }
  }
  void showMessage(const Notice& notice) override {
    if (notice.id == MessageId::NoAnswer) {  // the wait failed: stop sent
      traceRequest();
      traceLine(kReceived, "no acknowledgement");
      traceFrame(kSent, kStopFrame);
    }
    fail(notice);
  }
  void finish(bool) override {}

  // The handshake's waits: the first one comes right after the request.
  void sleep(int ms) {
    traceRequest();
    std::this_thread::sleep_for(run_.timing.real(ms));
  }
  void traceRequest() {
    if (requestTraced_) return;
    requestTraced_ = true;
    traceFrame(kSent, kConnectFrame);
  }

  CommandPort port_;
  ConnectHandshake handshake_;
  std::thread worker_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> onWorker_{false};
  bool requestTraced_ = false;
};

// ---- read and verify -------------------------------------------------------

class ReadJob final : public ReceiverJob {
 public:
  ReadJob(RunContext& run, JobTarget target, std::string path, const LoadedImage* image)
      : ReceiverJob(run, std::move(target), image ? "verify" : "read"),
        view_(
            *this, [this](long long d, long long c) { progress(d, c); },
            [this](const Notice& n) { fail(n); }),
        transfer_(port_, view_, target_.port, image ? std::string() : path),
        image_(image) {
    record_.imagePath = std::move(path);
  }

  void begin() override {
    startProgress();
    if (run_.trace) transfer_.setObserver([this](const ReadEvent& e) { trace(e); });
    if (image_) transfer_.verifyAgainst(image_->tagIndex);
    if (!transfer_.startRead()) view_.cancel();
    check();
  }

  void onTimer(int timerId) override {
    transfer_.onReadTick(timerId);
    check();
  }

  void interrupt() override {
    stopAllTimers();
    transfer_.abandon();
    check();
  }

 private:
  void check() {
    if (!transfer_.finished() || concluded_) return;
    const ReadFields& f = transfer_.fields();
    record_.blocksDone = f.blocksReceived;
    record_.blockCount = f.blockCount;
    const bool mismatch =
        transfer_.failure() && transfer_.failure()->id == MessageId::ModelMismatch;
    if (f.blockCount != 0 || mismatch) describeType(record_, f.tagIndex);
    bool ok = transfer_.succeeded();
    if (ok) record_.sha256 = dataSha(f.flashData, 0);
    if (ok && image_) {
      const std::string differ =
          differingBlocksText(f.flashData.data(), image_->data.data() + kTagSize, f.blockCount);
      if (!differ.empty()) {
        ok = false;
        failText(differ);
      } else {
        run_.console.result(target_.prefix,
                            blockCounterText(f.blocksReceived, f.blockCount) + " identical");
      }
    }
    conclude(ok, transfer_.outcome() == ReadOutcome::Cancelled);
  }

  void trace(const ReadEvent& e) {
    switch (e.kind) {
      case ReadEvent::Kind::FrameSent:
        traceFrame(kSent, e.frame);
        break;
      case ReadEvent::Kind::AnswerTaken:
        traceFrame(kReceived, e.frame);
        break;
      case ReadEvent::Kind::BlockTaken:
        traceLine(kReceived, "block " + std::to_string(e.block) + " (" +
                                 std::to_string(kBlockSize) + " bytes)");
        break;
    }
  }

  CommandPort port_;
  JobTransferView view_;
  ReadTransfer transfer_;
  const LoadedImage* image_;
};

// ---- upgrade ---------------------------------------------------------------

class UpgradeJob final : public ReceiverJob {
 public:
  UpgradeJob(RunContext& run, JobTarget target, std::string path)
      : ReceiverJob(run, std::move(target), "upgrade"),
        view_(
            *this, [this](long long d, long long c) { progress(d, c); },
            [this](const Notice& n) { fail(n); }),
        transfer_(port_, view_, target_.port, path) {
    record_.imagePath = std::move(path);
  }

  void begin() override {
    startProgress();
    if (run_.trace) transfer_.setObserver([this](const UpgradeEvent& e) { trace(e); });
    transfer_.begin();
    check();
  }

  void onTimer(int timerId) override {
    transfer_.onUpgradeTick(timerId);
    check();
  }

  void interrupt() override {
    stopAllTimers();
    transfer_.abandon();
    check();
  }

 private:
  void check() {
    if (!transfer_.finished() || concluded_) return;
    record_.blocksDone = transfer_.blocksSent();
    record_.blockCount = transfer_.blockCount();
    if (transfer_.state() != UpgradeState::LoadFailed) {
      describeType(record_, transfer_.tagIndex());
      record_.sha256 = dataSha(transfer_.imageData(), kTagSize);
    }
    const bool ok = transfer_.succeeded();
    if (ok) run_.console.result(target_.prefix, kUpgradeCompleteWarning);
    conclude(ok, transfer_.state() == UpgradeState::Cancelled);
  }

  void trace(const UpgradeEvent& e) {
    switch (e.kind) {
      case UpgradeEvent::Kind::FrameSent:
        traceFrame(kSent, e.frame);
        break;
      case UpgradeEvent::Kind::AnswerReceived: {
        std::string verdict = "accepted";
        if (e.verdict.kind == UpgradeVerdict::Kind::ModelMismatch)
          verdict = "model mismatch: " + std::string(romType(e.verdict.receiverIndex).modelName);
        else if (e.verdict.kind == UpgradeVerdict::Kind::Unexpected)
          verdict =
              e.verdict.group == AckGroup::C ? "unexpected for group C" : "unexpected for group F";
        traceFrame(kReceived, e.frame, verdict);
        break;
      }
      case UpgradeEvent::Kind::BlockSent:
        traceLine(kSent, "block " + std::to_string(e.block) + " (" + std::to_string(e.written) +
                             "/" + std::to_string(kBlockSize) + " bytes written)");
        break;
      case UpgradeEvent::Kind::Finished:
        break;
    }
  }

  CommandPort port_;
  JobTransferView view_;
  UpgradeTransfer transfer_;
};

// ---- key -------------------------------------------------------------------

class KeyJob final : public ReceiverJob {
 public:
  KeyJob(RunContext& run, JobTarget target, std::vector<std::uint8_t> codes,
         std::vector<std::string> names)
      : ReceiverJob(run, std::move(target), "key"), codes_(std::move(codes)) {
    record_.keys = std::move(names);
  }

  void begin() override {
    if (!openTarget(session_.port(), target_.port, kLineSpeed)) {
      fail(Notice::openPort(target_.port.number));
      conclude(false);
      return;
    }
    sendNext();
    if (next_ < codes_.size()) startTimer(kKeyTimerId, kTickMs);
  }

  void onTimer(int timerId) override {
    if (timerId == kKeyTimerId) sendNext();
  }

  void interrupt() override {
    stopAllTimers();
    conclude(false, true);
  }

 private:
  void sendNext() {
    if (concluded_ || next_ >= codes_.size()) return;
    const std::uint8_t code = codes_[next_++];
    // As the on-screen remote: the write's result is not looked at.
    session_.sendKey(code);
    traceFrame(kSent, session_.keyFrame());
    record_.blocksDone = 0;
    if (next_ >= codes_.size()) {
      stopAllTimers();
      conclude(true);
    }
  }

  remote::RemoteSession session_;
  std::vector<std::uint8_t> codes_;
  std::size_t next_ = 0;
};

}  // namespace

// ---- ReceiverJob -------------------------------------------------------------

ReceiverJob::ReceiverJob(RunContext& run, JobTarget target, std::string command)
    : Job(run.timing), run_(run), target_(std::move(target)), started_(Clock::now()) {
  record_.device = target_.device;
  record_.port = target_.portNumber;
  record_.command = std::move(command);
  record_.start = std::chrono::system_clock::now();
}

void ReceiverJob::fail(const Notice& notice) {
  const std::string text = noticeText(notice);
  if (record_.message.empty()) record_.message = text;
  run_.console.failure(target_.prefix, text);
}

void ReceiverJob::failText(const std::string& text) {
  if (record_.message.empty()) record_.message = text;
  run_.console.failure(target_.prefix, text);
}

void ReceiverJob::conclude(bool ok, bool cancelled) {
  if (concluded_) return;
  concluded_ = true;
  succeeded_ = ok;
  const Clock::time_point now = Clock::now();
  record_.result = ok ? "ok" : cancelled ? "cancelled" : "failed";
  record_.durationSeconds = std::chrono::duration<double>(now - started_).count();
  if (progressRow_ >= 0)
    run_.console.finishProgress(progressRow_, record_.result, now, record_.blocksDone,
                                record_.blockCount);
}

void ReceiverJob::startProgress() {
  progressRow_ = run_.console.addProgress(target_.label);
}

void ReceiverJob::progress(long long done, long long count) {
  if (progressRow_ >= 0) run_.console.updateProgress(progressRow_, done, count, Clock::now());
}

void ReceiverJob::traceFrame(const char* direction, const FrameBytes& frame,
                             const std::string& note) {
  std::string text = hexBytes(frame.data(), frame.size()) + "  " + frameMeaning(frame);
  if (!note.empty()) text += " [" + note + "]";
  traceLine(direction, text);
}

void ReceiverJob::traceLine(const char* direction, const std::string& text) {
  if (!run_.trace) return;
  const double t = std::chrono::duration<double>(Clock::now() - run_.epoch).count();
  char head[32];
  std::snprintf(head, sizeof head, "%10.3f ", t);
  run_.console.trace(head + target_.label + " " + direction + " " + text);
}

std::string frameMeaning(const FrameBytes& frame) {
  std::string text = describeFrame(frame);
  if (const std::optional<int> index = identifyModel(frame.data())) {
    text += " (" + std::string(romType(*index).modelName) + ")";
  } else if (hasSyncMagic(frame.data()) && frame[kParam1Offset] == kKeyParam1 &&
             frame[kParam2Offset] == kKeyParam2 && frame[kParam3Offset] == kKeyParam3) {
    if (const remote::RemoteKey* key = remote::findKeyByCode(frame[kCommandOffset]))
      text += " (" + remote::displayCaption(*key) + ")";
  }
  return text;
}

std::string differingBlocksText(const std::uint8_t* a, const std::uint8_t* b, unsigned blockCount) {
  std::string ranges;
  long long first = -1;
  auto close = [&](long long last) {
    if (first < 0) return;
    if (!ranges.empty()) ranges += ", ";
    ranges += std::to_string(first) + "-" + std::to_string(last);
    first = -1;
  };
  for (unsigned k = 0; k < blockCount; ++k) {
    const bool differs = std::memcmp(a + std::size_t{k} * kBlockSize,
                                     b + std::size_t{k} * kBlockSize, kBlockSize) != 0;
    if (differs && first < 0) first = k;
    if (!differs) close(static_cast<long long>(k) - 1);
  }
  close(static_cast<long long>(blockCount) - 1);
  return ranges.empty() ? std::string() : "blocks " + ranges + " differ";
}

std::unique_ptr<ReceiverJob> makeConnectJob(RunContext& run, JobTarget target) {
  return std::make_unique<ConnectJob>(run, std::move(target));
}
std::unique_ptr<ReceiverJob> makeReadJob(RunContext& run, JobTarget target, std::string path) {
  return std::make_unique<ReadJob>(run, std::move(target), std::move(path), nullptr);
}
std::unique_ptr<ReceiverJob> makeVerifyJob(RunContext& run, JobTarget target, std::string imagePath,
                                           const LoadedImage& image) {
  return std::make_unique<ReadJob>(run, std::move(target), std::move(imagePath), &image);
}
std::unique_ptr<ReceiverJob> makeUpgradeJob(RunContext& run, JobTarget target, std::string path) {
  return std::make_unique<UpgradeJob>(run, std::move(target), std::move(path));
}
std::unique_ptr<ReceiverJob> makeKeyJob(RunContext& run, JobTarget target,
                                        std::vector<std::uint8_t> codes,
                                        std::vector<std::string> names) {
  return std::make_unique<KeyJob>(run, std::move(target), std::move(codes), std::move(names));
}

}  // namespace quorvane::cli
