#include "jobs.h"

#include <cstdio>
#include <cstring>

#include "connection/connect_handshake.h"
#include "connection/loader_probe.h"
#include "frame_names.h"
#include "remote/remote_session.h"
#include "serial/command_port.h"
#include "serial/port_map.h"
#include "serial/protocol.h"
#include "transfer/model_check.h"
#include "transfer/read_transfer.h"
#include "transfer/rom_type.h"
#include "transfer/type_query.h"
#include "transfer/upgrade_transfer.h"

namespace quorvane::cli {

namespace {

// The timers the jobs add to their machines' own (machine/tick_machine.h).
constexpr int kKeyTimerId = 1;          // key: one key frame per tick
constexpr int kConnectWaitTimerId = 2;  // connect: the wait before the next step

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

// A job that runs one tick machine: the machine's timers are the job's, its
// messages go to stderr at once, its events make the trace and the
// progress line, and its Finished event concludes the job.
class MachineJob : public ReceiverJob, protected ConnectView, protected TransferView {
 public:
  void begin() override { machine_->start(); }
  void onTimer(int timerId) override { machine_->tick(timerId); }
  std::optional<AwaitedBytes> awaited() override {
    const std::optional<AwaitedInput> input = machine_->awaitedInput();
    if (!input) return std::nullopt;
    return AwaitedBytes{&port_, input->timerId, input->bytes};
  }
  // Ctrl-C. A dialog's Cancel sends nothing; the command-line tool, which
  // ends right after, tells a receiver in the middle of a transfer to stop,
  // so that it is ready for the next job.
  void interrupt() override {
    Job::stopAllTimers();
    const Phase phase = machine_->phase();
    const bool midExchange = phase != Phase::NotStarted && phase != Phase::Finished;
    if (stopOnInterrupt_ && midExchange && port_.isOpen()) {
      port_.sendCommand(kCmdStop);
      traceFrame(kSent, kStopFrame);
    }
    machine_->abandon();
  }

 protected:
  MachineJob(RunContext& run, JobTarget target, std::string command)
      : ReceiverJob(run, std::move(target), std::move(command)) {
    // Nothing more comes from an unplugged adapter: say so at once.
    port_.setWaitsEndOnDisconnect(true);
  }

  void watch(TickMachine& machine) {
    machine_ = &machine;
    machine.setObserver([this](const MachineEvent& e) { onEvent(e); });
  }
  virtual void onEvent(const MachineEvent& e) = 0;

  // The explanation under a failure's message: why the port would not open,
  // or why the receiver gave no answer.
  virtual std::optional<Explanation> explain(const Notice& notice) const {
    const SystemError& error = port_.lastError();
    if (notice.id == MessageId::PortOpenFailed) return explainOpenFailure(target_.naming(), error);
    if (error.isDisconnected()) return explainDisconnect(target_.naming(), error);
    if (notice.id == MessageId::ReadBufferUnavailable)
      return Explanation{portSubject(target_.naming()),
                         "no memory for the receiver's flash (1 or 2 MiB); close other programs "
                         "and run the job again"};
    const bool unanswered = notice.id == MessageId::ConnectNotAcknowledged ||
                            notice.id == MessageId::ReadTypeAnswerTimedOut ||
                            notice.id == MessageId::ReadBlockTimedOut ||
                            notice.id == MessageId::UpgradeAnswerTimedOut;
    if (!unanswered && !error.isTimedOut()) return std::nullopt;
    const unsigned waited = notice.id == MessageId::ConnectNotAcknowledged
                                ? kAckPollLimit * kAckPollIntervalMs
                                : kWaitLimitMs;
    LineSettings line = port_.lineSettings();
    line.hardwareFlowControl = port_.hardwareFlowControl();  // as the modem lines tell it
    return explainSilence(target_.naming(), port_.devicePath(), waited, line, port_.clearToSend(),
                          error.isTimedOut());
  }

  // The views of every machine.
  void startTimer(int timerId, int periodMs) override { Job::startTimer(timerId, periodMs); }
  void stopTimer(int timerId) override { Job::stopTimer(timerId); }
  void showMessage(const Notice& notice) override { fail(notice, explain(notice)); }
  void showProgress(int) override {}
  void finish(bool) override {}
  void showBlockProgress(unsigned, long long, long long) override {}
  void cancel() override { Job::stopAllTimers(); }

  CommandPort port_;
  bool stopOnInterrupt_ = false;  // the transfers: read, verify, upgrade

 private:
  TickMachine* machine_ = nullptr;
};

// ---- connect ---------------------------------------------------------------

class ConnectJob final : public MachineJob {
 public:
  ConnectJob(RunContext& run, JobTarget target)
      : MachineJob(run, std::move(target), "connect"),
        handshake_(port_, static_cast<ConnectView&>(*this), target_.port) {
    watch(handshake_);
  }

  // From the connect timer's tick on, one step of the handshake per tick;
  // the wait it asks for is the wait timer's period.
  void onTimer(int) override {
    if (const std::optional<int> wait = handshake_.step())
      Job::startTimer(kConnectWaitTimerId, *wait);
    else
      Job::stopTimer(kConnectWaitTimerId);
  }

  // Before the first tick: Esc of the dialog. A handshake under way runs out.
  void interrupt() override { handshake_.abandon(); }

 private:
  // The trace tells the outcome of the wait, not the bytes of a wrong answer.
  void onEvent(const MachineEvent& e) override {
    switch (e.kind) {
      case MachineEvent::Kind::FrameSent:
        if (e.frame == kStopFrame) traceLine(kReceived, "no acknowledgement");
        traceFrame(kSent, e.frame);
        break;
      case MachineEvent::Kind::AnswerTaken:
        if (e.accepted) traceFrame(kReceived, e.frame);
        break;
      case MachineEvent::Kind::BlockMoved:
        break;
      case MachineEvent::Kind::Finished:
        if (handshake_.succeeded())
          run_.console.result(target_.prefix, noticeText(Notice::of(MessageId::Connected)));
        conclude(handshake_.succeeded(), e.outcome == Outcome::Cancelled);
        break;
    }
  }

  ConnectHandshake handshake_;
};

// ---- read, verify and upgrade ------------------------------------------------

// The read and the upgrade: every frame traced, each block moved traced and
// counted, the end wrapped up by the job.
class TransferJob : public MachineJob {
 protected:
  using MachineJob::MachineJob;

  void onEvent(const MachineEvent& e) override {
    switch (e.kind) {
      case MachineEvent::Kind::FrameSent:
        traceFrame(kSent, e.frame);
        break;
      case MachineEvent::Kind::AnswerTaken:
        lastAnswer_ = e.frame;
        traceFrame(kReceived, e.frame, answerNote(e));
        break;
      case MachineEvent::Kind::BlockMoved:
        blockMoved(e);
        break;
      case MachineEvent::Kind::Finished:
        wrapUp();
        break;
    }
  }
  // What the trace adds to an answer taken.
  virtual std::string answerNote(const MachineEvent&) { return {}; }
  virtual void blockMoved(const MachineEvent& e) = 0;
  virtual void wrapUp() = 0;

  FrameBytes lastAnswer_{};  // the receiver's latest answer taken
};

class ReadJob final : public TransferJob {
 public:
  // `rebootWaitMs`: verify after an upgrade, the wait for the loader first.
  ReadJob(RunContext& run, JobTarget target, std::string path, const LoadedImage* image,
          unsigned rebootWaitMs = 0)
      : TransferJob(run, std::move(target), image ? "verify" : "read"),
        transfer_(port_, static_cast<TransferView&>(*this), target_.port,
                  image ? std::string() : path),
        image_(image) {
    record_.imagePath = std::move(path);
    if (image_) transfer_.verifyAgainst(image_->tagIndex);
    stopOnInterrupt_ = true;
    if (rebootWaitMs) {
      probe_.emplace(port_, static_cast<TransferView&>(*this), target_.port, rebootWaitMs);
      probing_ = true;
      watch(*probe_);
    } else {
      watch(transfer_);
    }
  }

  void begin() override {
    startProgress();
    if (probe_) return probe_->start();
    transfer_.start();
  }

  // While the loader is awaited there is no exchange to stop.
  void interrupt() override {
    if (!probing_) return MachineJob::interrupt();
    Job::stopAllTimers();
    probe_->abandon();
  }

 private:
  void onEvent(const MachineEvent& e) override {
    if (!probing_) return TransferJob::onEvent(e);
    switch (e.kind) {
      case MachineEvent::Kind::FrameSent:
        traceFrame(kSent, e.frame);
        break;
      case MachineEvent::Kind::AnswerTaken:
        traceFrame(kReceived, e.frame, "the loader is back");
        break;
      case MachineEvent::Kind::BlockMoved:
        break;
      case MachineEvent::Kind::Finished:
        probing_ = false;
        if (probe_->bytesDropped())
          traceLine(kReceived, std::to_string(probe_->bytesDropped()) + " bytes dropped");
        if (!probe_->succeeded()) return conclude(false, probe_->outcome() == Outcome::Cancelled);
        Job::stopAllTimers();
        watch(transfer_);
        transfer_.start();  // on the same port, opened afresh
        break;
    }
  }

  void blockMoved(const MachineEvent& e) override {
    traceLine(kReceived,
              "block " + std::to_string(e.block) + " (" + std::to_string(kBlockSize) + " bytes)");
    progress(e.block + 1, e.blockCount);  // as the dialog's counter: blocks taken
  }

  std::optional<Explanation> explain(const Notice& notice) const override {
    switch (notice.id) {
      case MessageId::LoaderNotAnswering:
        if (port_.lastError().isDisconnected()) return MachineJob::explain(notice);
        return Explanation{portSubject(target_.naming()),
                           "the receiver was written but could not be read back: its loader did "
                           "not answer within " +
                               std::to_string(probe_->unansweredMs() / 1000) +
                               " s after the upgrade (verify not done); power it on and run "
                               "quorvane-cli verify " +
                               record_.imagePath};
      case MessageId::ImageCreateFailed:
      case MessageId::ImageTagWriteFailed:
      case MessageId::ImageWriteFailed:
        return explainFileFailure(transfer_.fields().targetPath, transfer_.writeError());
      case MessageId::ReadTypeAnswerWrong:
        return explainStrangeAnswer(portSubject(target_.naming()), lastAnswer_, std::nullopt);
      case MessageId::ReceiverModelMismatch:  // verify: nothing compared
        if (!image_) return std::nullopt;
        return explainTypeMismatch(portSubject(target_.naming()), transfer_.fields().tagIndex,
                                   record_.imagePath, image_->tagIndex, -1);
      default:
        return MachineJob::explain(notice);
    }
  }

  // The record, the verify's comparison, the result.
  void wrapUp() override {
    const ReadTransferState& f = transfer_.fields();
    record_.blocksDone = f.blocksReceived;
    record_.blockCount = f.blockCount;
    const bool mismatch =
        transfer_.failure() && transfer_.failure()->id == MessageId::ReceiverModelMismatch;
    if (f.blockCount != 0 || mismatch) describeType(record_, f.tagIndex);
    bool ok = transfer_.succeeded();
    if (ok) record_.sha256 = dataSha(f.flashData, 0);
    if (ok && image_) {
      const std::string differ =
          differingBlocksText(f.flashData.data(), image_->data.data() + kTagSize, f.blockCount);
      record_.verify = differ.empty() ? "identical" : "differ";
      if (!differ.empty()) {
        ok = false;
        failText(differ);
      } else {
        run_.console.result(target_.prefix,
                            blockCounterText(f.blocksReceived, f.blockCount) + " identical");
      }
    }
    conclude(ok, transfer_.outcome() == Outcome::Cancelled);
  }

  ReadTransfer transfer_;
  const LoadedImage* image_;
  std::optional<LoaderProbe> probe_;  // verify after an upgrade: the wait for the loader
  bool probing_ = false;              // the loader is awaited
};

// ---- upgrade ---------------------------------------------------------------

// The verdict on an upgrade answer, for the trace.
std::string verdictNote(const FrameBytes& answer, bool accepted, int tagIndex) {
  if (accepted) return "accepted";
  const UpgradeVerdict verdict = checkUpgradeAnswer(answer.data(), tagIndex);
  if (verdict.kind == UpgradeVerdict::Kind::ModelMismatch)
    return "model mismatch: " + std::string(romType(verdict.receiverIndex).modelName);
  // Also an answer the port gave only in part, whatever its bytes.
  return ackGroupOfIndex(tagIndex) == AckGroup::C ? "unexpected for group C"
                                                  : "unexpected for group F";
}

// Before the start-upgrade frame the receiver is asked for its type
// (TypeQuery): nothing is written unless it names the image's. A receiver
// that names no type is upgraded all the same, after a line that says so.
class UpgradeJob final : public TransferJob {
 public:
  UpgradeJob(RunContext& run, JobTarget target, std::string path, const LoadedImage& image,
             bool askType)
      : TransferJob(run, std::move(target), "upgrade"),
        transfer_(port_, static_cast<TransferView&>(*this), target_.port, path),
        query_(port_, static_cast<TransferView&>(*this), target_.port, image.tagIndex),
        imageTag_(image.tagIndex),
        askType_(askType) {
    record_.imagePath = std::move(path);
    record_.typeQuery = askType ? "no answer" : "not asked";
    stopOnInterrupt_ = true;
  }

  void begin() override {
    startProgress();
    progress(0, 0);  // the counter's "0/0 blocks"
    if (!askType_) return startUpgrade();
    stage_ = Stage::Query;
    watch(query_);
    query_.start();
  }

  void interrupt() override {
    // While the line falls quiet the stop frame has gone out already.
    if (stage_ != Stage::Query || !query_.settling()) return MachineJob::interrupt();
    Job::stopAllTimers();
    query_.abandon();
  }

 private:
  enum class Stage { Query, Upgrade };

  void onEvent(const MachineEvent& e) override {
    if (stage_ == Stage::Upgrade) return TransferJob::onEvent(e);
    switch (e.kind) {
      case MachineEvent::Kind::FrameSent:
        traceFrame(kSent, e.frame);
        break;
      case MachineEvent::Kind::AnswerTaken:
        traceFrame(kReceived, e.frame, "type question");
        if (const std::optional<int> index = identifyModel(e.frame.data()))
          record_.typeQuery = std::string(romType(*index).modelName);
        else
          record_.typeQuery = "no type in the answer " + hexBytes(e.frame.data(), e.frame.size());
        break;
      case MachineEvent::Kind::BlockMoved:
        break;
      case MachineEvent::Kind::Finished:
        queryEnded();
        break;
    }
  }

  // The type question has ended: the upgrade, or the end of the job.
  void queryEnded() {
    switch (query_.verdict()) {
      case TypeVerdict::NoAnswer:
      case TypeVerdict::NoType:
        run_.console.explain(
            target_.prefix,
            (target_.prefix.empty() ? portSubject(target_.naming()) + ": " : std::string()) +
                "the receiver named no type when asked (" + record_.typeQuery +
                "), so the image's type (" + std::string(romType(imageTag_).modelName) +
                ") is checked only if it names it while the image is written");
        [[fallthrough]];
      case TypeVerdict::Fits:
        if (!query_.succeeded()) break;
        if (query_.bytesDropped())
          traceLine(kReceived, std::to_string(query_.bytesDropped()) + " bytes dropped");
        return startUpgrade();
      case TypeVerdict::KeptSending:
        failText(
            "the receiver did not stop sending",
            Explanation{portSubject(target_.naming()),
                        "it kept sending for " + std::to_string(kTypeSettleLimitTicks * kTickMs) +
                            " ms after the stop frame; nothing was written. Switch the "
                            "receiver off and on, then run the upgrade again"});
        break;
      case TypeVerdict::Unknown:
      case TypeVerdict::OtherType:
        break;
    }
    wrapUpEarly(query_.outcome() == Outcome::Cancelled);
  }

  void startUpgrade() {
    Job::stopAllTimers();
    stage_ = Stage::Upgrade;
    watch(transfer_);
    transfer_.start();  // opens the port afresh: the input queue starts empty
  }

  std::string answerNote(const MachineEvent& e) override {
    // An answer that names the receiver's type lets the image's type be
    // checked; acknowledgements don't.
    if (identifyModel(e.frame.data())) typeNamed_ = true;
    return verdictNote(e.frame, e.accepted, transfer_.tagIndex());
  }

  void blockMoved(const MachineEvent& e) override {
    traceLine(kSent, "block " + std::to_string(e.block) + " (" + std::to_string(e.bytes) + "/" +
                         std::to_string(kBlockSize) + " bytes written)");
    progress(e.block, e.blockCount);  // as the dialog's counter: the block just written
  }

  std::optional<Explanation> explain(const Notice& notice) const override {
    const std::string subject = portSubject(target_.naming());
    if (notice.id == MessageId::ReceiverModelMismatch) {
      // Named when asked before writing, or in an upgrade answer.
      const std::optional<int> named =
          query_.receiverTag() ? query_.receiverTag() : identifyModel(lastAnswer_.data());
      if (named)
        return explainTypeMismatch(subject, *named, record_.imagePath, imageTag_,
                                   stage_ == Stage::Upgrade ? transfer_.blocksSent() : 0);
    }
    if (notice.id == MessageId::UpgradeAnswerUnexpectedGroupC ||
        notice.id == MessageId::UpgradeAnswerUnexpectedGroupF)
      return explainStrangeAnswer(subject, lastAnswer_, imageTag_);
    return MachineJob::explain(notice);
  }

  // Ended before the upgrade began: nothing was written.
  void wrapUpEarly(bool cancelled) {
    describeType(record_, imageTag_);
    record_.blockCount = blockCountOfIndex(imageTag_);
    record_.modelChecked = query_.receiverTag().has_value();
    conclude(false, cancelled);
  }

  void wrapUp() override {
    record_.blocksDone = transfer_.blocksSent();
    record_.blockCount = transfer_.blockCount();
    if (!transfer_.imageData().empty()) {  // the image was loaded
      describeType(record_, transfer_.tagIndex());
      record_.sha256 = dataSha(transfer_.imageData(), kTagSize);
    }
    const bool ok = transfer_.succeeded();
    record_.modelChecked = typeNamed_ || query_.receiverTag().has_value();
    if (ok) {
      progress(transfer_.blockCount(), transfer_.blockCount());
      run_.console.result(target_.prefix, kUpgradeCompleteWarning);
      // Not a failure, but not to be missed either: on stderr, also with
      // --quiet.
      if (!*record_.modelChecked)
        run_.console.explain(target_.prefix,
                             "note: the receiver never named its type, so the image's type (" +
                                 record_.tag + ", " + record_.modelName +
                                 ") was not checked against it");
    }
    conclude(ok, transfer_.outcome() == Outcome::Cancelled);
  }

  UpgradeTransfer transfer_;
  TypeQuery query_;
  int imageTag_;
  bool askType_;
  Stage stage_ = Stage::Upgrade;
  bool typeNamed_ = false;  // an upgrade answer was the receiver's IdentFrame
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
      fail(Notice::openPort(target_.port.number),
           explainOpenFailure(target_.naming(), session_.port().lastError()));
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
    : run_(run), target_(std::move(target)), started_(Clock::now()) {
  record_.device = target_.device;
  record_.port = target_.portNumber;
  record_.command = std::move(command);
  record_.start = std::chrono::system_clock::now();
}

void ReceiverJob::fail(const Notice& notice, const std::optional<Explanation>& why) {
  failText(noticeText(notice), why);
}

void ReceiverJob::failText(const std::string& text, const std::optional<Explanation>& why) {
  if (record_.message.empty()) {
    record_.message = text;
    if (why) record_.reason = why->line();
  }
  printFailure(run_.console, target_, text, why);
}

PortNaming JobTarget::naming() const {
  if (!port.devicePath.empty()) return {std::nullopt, port.devicePath};
  return {port.number, devicePathForPort(port.number).value_or("")};
}

void printFailure(Console& console, const JobTarget& target, const std::string& text,
                  const std::optional<Explanation>& why) {
  console.failure(target.prefix, text);
  if (!why) return;
  const bool named = !target.prefix.empty() && why->subject == target.label;
  console.explain(target.prefix, named ? why->text : why->line());
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
  if (!run_.trace) return;
  std::string text = hexBytes(frame.data(), frame.size()) + "  " + describeFrameWithNames(frame);
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
std::unique_ptr<ReceiverJob> makeVerifyAfterUpgradeJob(RunContext& run, JobTarget target,
                                                       std::string imagePath,
                                                       const LoadedImage& image,
                                                       unsigned rebootWaitMs) {
  return std::make_unique<ReadJob>(run, std::move(target), std::move(imagePath), &image,
                                   rebootWaitMs);
}
std::unique_ptr<ReceiverJob> makeUpgradeJob(RunContext& run, JobTarget target, std::string path,
                                            const LoadedImage& image, bool askType) {
  return std::make_unique<UpgradeJob>(run, std::move(target), std::move(path), image, askType);
}
std::unique_ptr<ReceiverJob> makeKeyJob(RunContext& run, JobTarget target,
                                        std::vector<std::uint8_t> codes,
                                        std::vector<std::string> names) {
  return std::make_unique<KeyJob>(run, std::move(target), std::move(codes), std::move(names));
}

}  // namespace quorvane::cli
