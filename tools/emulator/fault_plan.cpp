#include "fault_plan.h"

#include <algorithm>

#include "transfer/model_check.h"

namespace quorvane::emu {

namespace {

using Reply = LoaderEvent::Reply;

bool isStartAnswer(const LoaderEvent& reply) {
  return reply.reply == Reply::ConnectAnswer || reply.reply == Reply::ReadAnswer ||
         (reply.reply == Reply::UpgradeAnswer && !reply.block);
}

// The acknowledgement of the other group in the same place; an IdentFrame
// becomes the other group's first.
FrameBytes otherGroupAnswer(const FrameBytes& frame, int modelNumber) {
  const AckGroup own = ackGroupOfIndex(modelNumber - 1);
  const auto& ours = ackFramesOf(own);
  const auto& theirs = ackFramesOf(own == AckGroup::C ? AckGroup::F : AckGroup::C);
  const auto at = std::find(ours.begin(), ours.end(), frame);
  return theirs[at == ours.end() ? 0 : std::size_t(at - ours.begin())];
}

Action sendAction(Outgoing run) {
  return {.kind = Action::Kind::Send, .run = std::move(run)};
}

}  // namespace

FaultyLoader::FaultyLoader(LoaderModel model, FaultPlan plan) : model_(std::move(model)) {
  setPlan(std::move(plan));
}

void FaultyLoader::setPlan(FaultPlan plan) {
  plan_ = std::move(plan);
  const bool other = plan_.otherModel && validModelNumber(*plan_.otherModel);
  model_.announceAs(other ? *plan_.otherModel : model_.modelNumber());
}

std::vector<Action> FaultyLoader::receive(const std::uint8_t* bytes, std::size_t count) {
  std::vector<Action> actions;
  for (const LoaderEvent& e : model_.receive(bytes, count)) {
    switch (e.kind) {
      case LoaderEvent::Kind::Took:
        actions.push_back({.kind = Action::Kind::Log, .direction = "<-", .text = e.text});
        break;
      case LoaderEvent::Kind::Note:
        actions.push_back({.kind = Action::Kind::Log, .text = e.text});
        break;
      case LoaderEvent::Kind::Stop:
        silent_ = false;
        actions.push_back({.kind = Action::Kind::DropPending});
        break;
      case LoaderEvent::Kind::Send:
        if (const std::optional<std::string> why = vanishes(e)) {
          actions.push_back({.kind = Action::Kind::Vanish, .text = *why});
          return actions;  // nothing more reaches the PC
        }
        if (withheld(e)) break;
        if (e.reply == Reply::ReadBlock)
          sendBlock(e, actions);
        else
          sendAnswer(e, actions);
        break;
    }
  }
  return actions;
}

// Start: the answer to a start frame. Block N: the answer to upgrade block
// N (a read block carries its faults itself, see sendBlock).
bool FaultyLoader::strikesAt(const FaultPoint& point, const LoaderEvent& reply) const {
  if (point.kind == FaultPoint::Kind::AfterStart) return isStartAnswer(reply);
  return reply.reply == Reply::UpgradeAnswer && reply.block == point.block;
}

std::optional<std::string> FaultyLoader::vanishes(const LoaderEvent& reply) const {
  if (silent_ || !plan_.vanish || !strikesAt(*plan_.vanish, reply)) return std::nullopt;
  if (plan_.vanish->kind == FaultPoint::Kind::AfterStart) return "vanished after the start frame";
  return "vanished after block " + std::to_string(*reply.block);
}

bool FaultyLoader::withheld(const LoaderEvent& reply) {
  if (silent_) return true;
  if (!plan_.silence || !strikesAt(*plan_.silence, reply)) return false;
  silent_ = reply.reply != Reply::ConnectAnswer;  // a connect is just not answered
  return true;
}

bool FaultyLoader::answerTouched(const LoaderEvent& reply) const {
  return reply.reply != Reply::UpgradeAnswer || !plan_.answerFaultAfterBlock ||
         (reply.block && *reply.block >= *plan_.answerFaultAfterBlock);
}

FrameBytes FaultyLoader::answerFrame(const LoaderEvent& reply) const {
  FrameBytes frame;
  std::copy_n(reply.bytes.begin(), kFrameSize, frame.begin());
  if (!answerTouched(reply)) return frame;
  if (plan_.wrongAnswer) return kWrongAnswerFrame;
  if (plan_.otherModel && validModelNumber(*plan_.otherModel)) return identFrame(*plan_.otherModel);
  if (plan_.otherGroup && reply.reply == Reply::UpgradeAnswer)
    return otherGroupAnswer(frame, model_.modelNumber());
  return frame;
}

void FaultyLoader::sendAnswer(const LoaderEvent& reply, std::vector<Action>& actions) const {
  const FrameBytes frame = answerFrame(reply);
  const std::string text = frameLogText(frame);
  const std::size_t pieces = std::clamp<std::size_t>(plan_.splitPieces, 1, kFrameSize);
  for (std::size_t p = 0, from = 0; p < pieces; ++p) {
    const std::size_t to = kFrameSize * (p + 1) / pieces;
    Outgoing run;
    run.bytes.assign(frame.begin() + long(from), frame.begin() + long(to));
    if (p == 0)
      run.turnaround = reply.block.has_value();  // an answer to an upgrade block
    else
      run.pause = std::chrono::milliseconds(plan_.splitDelayMs);
    run.logText = pieces == 1 ? text
                              : text + " (piece " + std::to_string(p + 1) + "/" +
                                    std::to_string(pieces) + ")";
    actions.push_back(sendAction(std::move(run)));
    from = to;
  }
  if (reply.completesUpgrade) actions.back().run.completesUpgrade = model_.upgradesBegun();
  addSurplus(actions);
}

void FaultyLoader::sendBlock(const LoaderEvent& reply, std::vector<Action>& actions) {
  const unsigned k = *reply.block;
  Outgoing run;
  run.bytes = reply.bytes;
  run.turnaround = true;
  run.servesBlock = true;
  run.logText = "block " + std::to_string(k) + " (4096 bytes)";
  if (plan_.corruptBlock == k) {
    const std::size_t at = plan_.corruptOffset % kBlockSize;
    run.bytes[at] ^= kCorruptMask;
    run.logText += ", byte " + std::to_string(at) + " corrupted";
  }
  const bool cut = plan_.shortBlock == k;
  if (cut) {
    run.bytes.resize(kBlockSize - std::min(plan_.shortBy, kBlockSize));
    run.logText = "block " + std::to_string(k) + " cut short to " +
                  std::to_string(run.bytes.size()) + " bytes";
  }
  run.vanishAfter = plan_.vanish == FaultPoint::afterBlock(k);
  actions.push_back(sendAction(std::move(run)));
  if (!cut) addSurplus(actions);
  if (cut || plan_.silence == FaultPoint::afterBlock(k)) silent_ = true;
}

// Surplus bytes leave in the same write as the answer or block they
// follow: written apart, a poll could find exactly the 12 answer bytes
// waiting in between, and whether the tool sees the surplus would depend on
// timing.
void FaultyLoader::addSurplus(std::vector<Action>& actions) const {
  if (plan_.surplusBytes == 0) return;
  Outgoing& last = actions.back().run;
  last.bytes.insert(last.bytes.end(), plan_.surplusBytes, kSurplusByte);
  last.logText += " + " + std::to_string(plan_.surplusBytes) + " surplus bytes";
}

}  // namespace quorvane::emu
