#include "station/slot_cycle.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "connection/loader_probe.h"
#include "serial/protocol.h"
#include "transfer/model_check.h"
#include "transfer/read_transfer.h"
#include "transfer/rom_type.h"
#include "transfer/type_query.h"
#include "transfer/upgrade_transfer.h"

namespace quorvane::station {

namespace {

using SteadyClock = std::chrono::steady_clock;

void describeType(JobRecord& record, int tagIndex) {
  if (tagIndex < 0 || tagIndex >= kRomTypeCount) return;
  record.tag = std::string(romType(tagIndex).tagText);
  record.modelName = std::string(romType(tagIndex).modelName);
}

bool isFileNotice(MessageId id) {
  return id == MessageId::ImageCreateFailed || id == MessageId::ImageTagWriteFailed ||
         id == MessageId::ImageWriteFailed;
}

}  // namespace

// What the unit's record gathers on its way.
struct SlotCycle::Unit {
  JobRecord job;
  SteadyClock::time_point started = SteadyClock::now();
  FrameBytes lastAnswer{};
  std::optional<int> receiverTag;  // named when asked
  bool typeNamed = false;          // an upgrade answer named the type
};

SlotCycle::SlotCycle(const StationProfile& profile, const std::optional<LoadedImage>& image,
                     SlotHost& host, int index, PortTarget port, std::string label)
    : profile_(profile), image_(image), host_(host), index_(index), target_(std::move(port)) {
  status_.label = std::move(label);
  // Nothing more comes from an unplugged adapter: its waits end at once.
  port_.setWaitsEndOnDisconnect(true);
}

SlotCycle::~SlotCycle() = default;

void SlotCycle::start() {
  std::string label = std::move(status_.label);
  status_ = SlotStatus();
  status_.label = std::move(label);
  waitForReceiver();
}

void SlotCycle::tick(int timerId) {
  retired_.clear();
  if (stage_ == Stage::Retry) {
    if (timerId != kRetryTimerId) return;
    absentMs_ += profile_.noDeviceRetryMs;
    if (!openTarget(port_, target_, kLineSpeed)) return;
    stopTimers();
    // No device is as good as no receiver: the time the adapter was gone
    // counts as the last unit's silence.
    const int absent = std::exchange(absentMs_, 0);
    if (absent >= profile_.quietMs) mustLeave_ = false;
    if (status_.confirmNeeded) return waitForConfirm();
    if (!mustLeave_) return waitForReceiver();
    // Back, but the last unit's receiver may still be there: it must fall
    // silent for the rest of its time first, as after any unit.
    status_.state = lastEnd_;
    changed();
    return waitForLeave(profile_.quietMs - absent);
  }
  if (!machine_ || machine_->finished()) return;
  // A probe on an adapter that has gone would wait for ever.
  if ((stage_ == Stage::Probe || stage_ == Stage::Leave || stage_ == Stage::Confirm) &&
      port_.disconnected())
    return noDevice();
  TickMachine* machine = machine_.get();
  machine->tick(timerId);
  if (machine_.get() == machine && machine->finished()) stageEnded();
}

std::optional<AwaitedInput> SlotCycle::awaitedInput() const {
  if (!machine_ || machine_->finished()) return std::nullopt;
  return machine_->awaitedInput();
}

// ---- the machines' views -------------------------------------------------------

void SlotCycle::startTimer(int timerId, int periodMs) {
  timers_[timerId] = periodMs;
  host_.slotTimer(index_, timerId, periodMs);
}

void SlotCycle::stopTimer(int timerId) {
  if (timers_.erase(timerId)) host_.slotTimer(index_, timerId, -1);
}

void SlotCycle::stopTimers() {
  while (!timers_.empty()) stopTimer(timers_.begin()->first);
}

void SlotCycle::showMessage(const Notice& notice) {
  if (!shown_) shown_ = notice;
}

void SlotCycle::cancel() {
  stopTimers();
}

// ---- stages --------------------------------------------------------------------

void SlotCycle::enterStage(Stage stage, std::unique_ptr<TickMachine> next,
                           const std::string& step) {
  stopTimers();
  if (machine_) retired_.push_back(std::move(machine_));
  machine_ = std::move(next);
  stage_ = stage;
  shown_.reset();
  stepStarted_ = SteadyClock::now();
  if (unit_) {
    status_.step = step;
    status_.blocksDone = 0;
    status_.blockCount = 0;
    status_.secondsLeft.reset();
    changed();
  }
  TickMachine* machine = machine_.get();
  machine->setObserver([this](const MachineEvent& e) { onEvent(e); });
  machine->start();
  if (machine_.get() == machine && machine->finished()) stageEnded();
}

void SlotCycle::onEvent(const MachineEvent& e) {
  StationObserver& observer = host_.observer();
  switch (e.kind) {
    case MachineEvent::Kind::FrameSent:
      if (observer.tracing()) observer.traceFrame(index_, "->", e.frame);
      break;
    case MachineEvent::Kind::AnswerTaken:
      if (observer.tracing()) observer.traceFrame(index_, "<-", e.frame);
      if (!record_) break;
      record_->lastAnswer = e.frame;
      if (stage_ == Stage::Upgrade && identifyModel(e.frame.data())) record_->typeNamed = true;
      break;
    case MachineEvent::Kind::BlockMoved: {
      // The read counts the blocks taken, the upgrade the block just written.
      const long long done = stage_ == Stage::Upgrade ? e.block : e.block + 1;
      status_.blocksDone = done;
      status_.blockCount = e.blockCount;
      const double seconds =
          std::chrono::duration<double>(SteadyClock::now() - stepStarted_).count();
      if (done > 0 && seconds > 0)
        status_.secondsLeft = seconds / double(done) * double(e.blockCount - done);
      changed();
      break;
    }
    case MachineEvent::Kind::Finished:
      break;  // looked at once the machine's call has returned
  }
}

void SlotCycle::waitForReceiver() {
  if (port_.disconnected()) port_.close();
  status_.state = SlotState::Waiting;
  status_.step.clear();
  changed();
  enterStage(Stage::Probe,
             std::make_unique<LoaderProbe>(port_, static_cast<MachineView&>(*this), target_, 0),
             {});
}

void SlotCycle::waitForLeave(int quietMs) {
  if (port_.disconnected()) port_.close();
  mustLeave_ = true;
  enterStage(Stage::Leave,
             std::make_unique<LoaderProbe>(port_, static_cast<MachineView&>(*this), target_,
                                           static_cast<unsigned>(std::max(quietMs, 1))),
             {});
}

void SlotCycle::waitForConfirm() {
  if (port_.disconnected()) port_.close();
  status_.confirmNeeded = true;
  enterStage(Stage::Confirm,
             std::make_unique<LoaderProbe>(port_, static_cast<MachineView&>(*this), target_,
                                           static_cast<unsigned>(profile_.quietMs)),
             {});
}

void SlotCycle::noDevice() {
  if (unit_) return failUnit(portFacts(shown_, 0));  // ends here again, without the unit
  stopTimers();
  if (machine_) {
    machine_->abandon();
    retired_.push_back(std::move(machine_));
  }
  port_.close();
  stage_ = Stage::Retry;
  status_.state = SlotState::NoDevice;
  changed();
  absentMs_ = 0;
  startTimer(kRetryTimerId, profile_.noDeviceRetryMs);
}

void SlotCycle::stageEnded() {
  const Outcome outcome = machine_->outcome();
  if (outcome == Outcome::Cancelled) return;  // stop() has done the rest
  const bool ok = outcome == Outcome::Succeeded;
  switch (stage_) {
    case Stage::Probe:
      return ok ? beginUnit() : noDevice();
    case Stage::Leave:
      if (ok) {  // still there: the silence begins again
        status_.state = SlotState::RemoveReceiver;
        changed();
        return waitForLeave(profile_.quietMs);
      }
      if (portGone()) return noDevice();
      mustLeave_ = false;
      return waitForReceiver();
    case Stage::Confirm:  // answered or not, asked again until confirmed
      if (!ok && portGone()) return noDevice();
      return waitForConfirm();
    case Stage::Backup:
      if (!ok) return failUnit(readFacts(static_cast<const ReadTransfer&>(*machine_)));
      return beginUpgrade();
    case Stage::Query: {
      const auto& query = static_cast<const TypeQuery&>(*machine_);
      switch (query.verdict()) {
        case TypeVerdict::Fits:
          record_->receiverTag = query.receiverTag();
          record_->job.typeQuery = std::string(romType(*query.receiverTag()).modelName);
          break;
        case TypeVerdict::NoType:
          record_->job.typeQuery =
              "no type in the answer " + hexBytes(query.answer()->data(), query.answer()->size());
          break;
        case TypeVerdict::OtherType: {
          FailureFacts facts = portFacts(shown_, 0);
          facts.kind = FailureFacts::Kind::TypeMismatch;
          facts.receiverTag = query.receiverTag().value_or(-1);
          record_->receiverTag = query.receiverTag();
          if (query.receiverTag())
            record_->job.typeQuery = std::string(romType(*query.receiverTag()).modelName);
          return failUnit(facts);
        }
        case TypeVerdict::KeptSending: {
          FailureFacts facts = portFacts(std::nullopt, 0);
          facts.kind = FailureFacts::Kind::Other;
          facts.text = "the receiver did not stop sending";
          return failUnit(facts);
        }
        default:
          break;
      }
      if (!ok) return failUnit(portFacts(shown_, kWaitLimitMs));
      if (query.verdict() != TypeVerdict::Fits)
        host_.observer().note(index_, "the receiver named no type when asked (" +
                                          record_->job.typeQuery +
                                          "), so the image's type is checked only if it names "
                                          "it while the image is written");
      return enterStage(Stage::Upgrade,
                        std::make_unique<UpgradeTransfer>(port_, static_cast<TransferView&>(*this),
                                                          target_, profile_.imagePath),
                        "upgrade");
    }
    case Stage::Upgrade: {
      const auto& upgrade = static_cast<const UpgradeTransfer&>(*machine_);
      record_->job.blocksDone = upgrade.blocksSent();
      record_->job.modelChecked = record_->typeNamed || record_->receiverTag.has_value();
      if (!ok) {
        FailureFacts facts = portFacts(shown_, kWaitLimitMs);
        if (shown_ && shown_->id == MessageId::ReceiverModelMismatch) {
          facts.kind = FailureFacts::Kind::TypeMismatch;
          facts.receiverTag = identifyModel(record_->lastAnswer.data()).value_or(-1);
          facts.blocksWritten = upgrade.blocksSent();
        } else if (shown_ && (shown_->id == MessageId::UpgradeAnswerUnexpectedGroupC ||
                              shown_->id == MessageId::UpgradeAnswerUnexpectedGroupF)) {
          facts.kind = FailureFacts::Kind::StrangeAnswer;
        }
        return failUnit(facts);
      }
      if (!profile_.verify) return endUnit(true);
      return enterStage(
          Stage::Reboot,
          std::make_unique<LoaderProbe>(port_, static_cast<MachineView&>(*this), target_,
                                        static_cast<unsigned>(profile_.rebootWaitMs)),
          "reboot wait");
    }
    case Stage::Reboot: {
      if (ok) {
        auto verify = std::make_unique<ReadTransfer>(port_, static_cast<TransferView&>(*this),
                                                     target_, std::string());
        verify->verifyAgainst(image().tagIndex);
        return enterStage(Stage::Verify, std::move(verify), "verify");
      }
      if (portGone()) return failUnit(portFacts(shown_, 0));
      FailureFacts facts;
      facts.kind = FailureFacts::Kind::NotBack;
      facts.text = "written, but not verified: the receiver did not answer again within " +
                   std::to_string(profile_.rebootWaitMs / 1000) + " s";
      facts.port = target_;
      facts.devicePath = port_.devicePath();
      return failUnit(facts);
    }
    case Stage::Verify: {
      const auto& read = static_cast<const ReadTransfer&>(*machine_);
      if (!ok) return failUnit(portFacts(shown_, kWaitLimitMs));
      const std::string differ = differingBlocksText(
          read.fields().flashData.data(), image().data.data() + kTagSize, read.fields().blockCount);
      record_->job.verify = differ.empty() ? "identical" : "differ";
      if (differ.empty()) return endUnit(true);
      FailureFacts facts;
      facts.kind = FailureFacts::Kind::Differs;
      facts.text = differ;
      facts.port = target_;
      return failUnit(facts);
    }
    case Stage::Read: {
      const auto& read = static_cast<const ReadTransfer&>(*machine_);
      const ReadTransferState& f = read.fields();
      record_->job.blocksDone = f.blocksReceived;
      record_->job.blockCount = f.blockCount;
      if (f.blockCount != 0) describeType(record_->job, f.tagIndex);
      if (ok) {
        record_->job.sha256 = sha256Hex(f.flashData.data(), f.flashData.size());
        return endUnit(true);
      }
      return failUnit(readFacts(read));
    }
    case Stage::Idle:
    case Stage::Retry:
      return;
  }
}

// ---- a unit --------------------------------------------------------------------

void SlotCycle::beginUnit() {
  const long long unit = host_.nextUnit(index_);
  if (unit == 0) return stop("the station has taken all its units");
  unit_ = unit;
  record_ = std::make_unique<Unit>();
  JobRecord& job = record_->job;
  job.device =
      target_.devicePath.empty()
          ? devicePathForPort(target_.number).value_or("COM" + std::to_string(target_.number))
          : target_.devicePath;
  if (target_.devicePath.empty()) job.port = target_.number;
  job.start = std::chrono::system_clock::now();
  status_.unit = unit;
  status_.state = SlotState::Running;
  status_.message.clear();
  status_.reason.clear();
  status_.confirmNeeded = false;
  if (profile_.job == StationJob::Read) {
    job.command = "read";
    job.imagePath = unitFilePath(profile_.readDir, unit);
    return enterStage(Stage::Read,
                      std::make_unique<ReadTransfer>(port_, static_cast<TransferView&>(*this),
                                                     target_, job.imagePath),
                      "read");
  }
  job.command = "upgrade";
  job.imagePath = profile_.imagePath;
  job.typeQuery = profile_.askType ? "no answer" : "not asked";
  if (profile_.verify) job.verify = "not done";
  describeType(job, image().tagIndex);
  job.blockCount = image().blockCount;
  job.sha256 = sha256Hex(image().data.data() + kTagSize, image().data.size() - kTagSize);
  if (!profile_.backupDir.empty())
    return enterStage(
        Stage::Backup,
        std::make_unique<ReadTransfer>(port_, static_cast<TransferView&>(*this), target_,
                                       unitFilePath(profile_.backupDir, unit)),
        "backup");
  beginUpgrade();
}

void SlotCycle::beginUpgrade() {
  if (profile_.askType)
    return enterStage(Stage::Query,
                      std::make_unique<TypeQuery>(port_, static_cast<MachineView&>(*this), target_,
                                                  image().tagIndex),
                      "type question");
  enterStage(Stage::Upgrade,
             std::make_unique<UpgradeTransfer>(port_, static_cast<TransferView&>(*this), target_,
                                               profile_.imagePath),
             "upgrade");
}

FailureFacts SlotCycle::portFacts(const std::optional<Notice>& notice, unsigned waitedMs) const {
  FailureFacts facts;
  facts.kind = FailureFacts::Kind::Port;
  facts.notice = notice;
  facts.text = notice ? noticeText(*notice) : std::string();
  facts.port = target_;
  facts.devicePath = port_.devicePath().empty()
                         ? target_.devicePath.empty()
                               ? devicePathForPort(target_.number).value_or("")
                               : target_.devicePath
                         : port_.devicePath();
  facts.portError = port_.lastError();
  facts.flowControl = port_.hardwareFlowControl();
  facts.clearToSend = port_.clearToSend();
  facts.line = port_.lineSettings();
  facts.line.hardwareFlowControl = facts.flowControl;
  facts.waitedMs = waitedMs;
  if (image_.has_value()) facts.imageTag = image().tagIndex;
  if (record_) facts.lastAnswer = record_->lastAnswer;
  if (!notice && port_.disconnected()) facts.text = "the port's device has gone";
  return facts;
}

FailureFacts SlotCycle::readFacts(const ReadTransfer& read) const {
  FailureFacts facts = portFacts(shown_, kWaitLimitMs);
  if (shown_ && isFileNotice(shown_->id)) {
    facts.kind = FailureFacts::Kind::File;
    facts.filePath = read.fields().targetPath;
    facts.fileError = read.writeError();
  }
  return facts;
}

bool SlotCycle::portGone() const {
  return !port_.isOpen() || port_.disconnected();
}

void SlotCycle::failUnit(FailureFacts facts) {
  if (facts.text.empty()) facts.text = "the job failed";
  record_->job.message = facts.text;
  record_->job.reason = host_.observer().reasonFor(index_, facts);
  status_.message = record_->job.message;
  status_.reason = record_->job.reason;
  // A port that has gone leaves the slot without a device.
  endUnit(false,
          port_.disconnected() || (facts.notice && facts.notice->id == MessageId::PortOpenFailed));
}

void SlotCycle::endUnit(bool passed, bool portGone) {
  stopTimers();
  if (machine_) retired_.push_back(std::move(machine_));
  // The receiver is left in its loader: nothing is sent; a transfer that
  // ended on its own has sent what it sends.
  JobRecord& job = record_->job;
  job.result = passed ? "ok" : "failed";
  job.durationSeconds =
      std::chrono::duration<double>(SteadyClock::now() - record_->started).count();
  if (job.command == "upgrade" && !job.modelChecked)
    job.modelChecked = record_->receiverTag.has_value();
  const UnitRecord record{job, index_ + 1, unit_};
  unit_ = 0;
  record_.reset();
  ++status_.units;
  if (passed) {
    ++status_.passed;
    status_.failuresInRow = 0;
    status_.message.clear();
    status_.reason.clear();
  } else {
    ++status_.failed;
    ++status_.failuresInRow;
  }
  status_.state = lastEnd_ = passed ? SlotState::Passed : SlotState::Failed;
  status_.step.clear();
  status_.secondsLeft.reset();
  const int stops = stops_;
  host_.unitEnded(index_, record, passed);
  if (stops_ != stops) return;  // the host has stopped the slot meanwhile
  if (profile_.maxFailures > 0 && status_.failuresInRow >= profile_.maxFailures)
    return stop("stopped after " + std::to_string(status_.failuresInRow) +
                (status_.failuresInRow == 1 ? " failure" : " failures") +
                " in a row: check the cable and the port, not the receivers");
  mustLeave_ = true;
  if (portGone) return noDevice();
  if (!profile_.confirmEachUnit) return waitForLeave(profile_.quietMs);
  status_.confirmNeeded = true;
  changed();
  waitForConfirm();
}

void SlotCycle::stop(const std::string& why) {
  static const Stage kTransfers[] = {Stage::Backup, Stage::Query, Stage::Upgrade, Stage::Verify,
                                     Stage::Read};
  ++stops_;
  stopTimers();
  if (machine_) {
    const Phase phase = machine_->phase();
    const bool midExchange = phase != Phase::NotStarted && phase != Phase::Finished;
    const bool transfer =
        std::find(std::begin(kTransfers), std::end(kTransfers), stage_) != std::end(kTransfers);
    // The receiver's loader stops too, ready for the next job.
    if (transfer && midExchange && port_.isOpen()) port_.sendCommand(kCmdStop);
    machine_->abandon();
    retired_.push_back(std::move(machine_));
  }
  if (unit_) {
    JobRecord& job = record_->job;
    job.result = "cancelled";
    if (stage_ == Stage::Read || stage_ == Stage::Upgrade) {  // what it has moved
      job.blocksDone = status_.blocksDone;
      if (status_.blockCount > 0) job.blockCount = status_.blockCount;
    }
    job.durationSeconds =
        std::chrono::duration<double>(SteadyClock::now() - record_->started).count();
    const UnitRecord record{job, index_ + 1, unit_};
    unit_ = 0;
    record_.reset();
    host_.unitEnded(index_, record, false);
  }
  port_.close();
  stage_ = Stage::Idle;
  status_.state = SlotState::Stopped;
  status_.step.clear();
  status_.secondsLeft.reset();
  status_.confirmNeeded = false;
  status_.message = why;
  status_.reason.clear();
  changed();
}

void SlotCycle::restart() {
  if (status_.state != SlotState::Stopped) return;
  status_.failuresInRow = 0;
  status_.message.clear();
  mustLeave_ = false;
  waitForReceiver();
}

void SlotCycle::confirmNext() {
  if (!status_.confirmNeeded) return;
  status_.confirmNeeded = false;
  mustLeave_ = false;
  // Without a device the retry takes the receiver once the port is back.
  if (stage_ == Stage::Retry) return changed();
  // A receiver caught in its loader meanwhile answers at once.
  waitForReceiver();
}

void SlotCycle::changed() {
  host_.slotChanged(index_, status_);
}

}  // namespace quorvane::station
