// The emulated receiver's loader and its faults, without a pty or a clock:
// bytes in, bytes out.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "frame_names.h"
#include "loader_model.h"
#include "transfer/model_check.h"

namespace quorvane::emu {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const FrameBytes& f) {
  return Bytes(f.begin(), f.end());
}
Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes blockOf(const Bytes& flash, unsigned k) {
  return Bytes(flash.begin() + long(k * kBlockSize), flash.begin() + long((k + 1) * kBlockSize));
}

Bytes sent(const std::vector<LoaderEvent>& events) {
  Bytes out;
  for (const LoaderEvent& e : events)
    if (e.kind == LoaderEvent::Kind::Send) out = cat(out, e.bytes);
  return out;
}

const Bytes kFlash1 = patternFlash(1), kBlock0 = blockOf(kFlash1, 0), kBlock1 = blockOf(kFlash1, 1);
const Bytes kConnect = B(kConnectFrame), kRead = B(kStartReadFrame),
            kUpgrade = B(kStartUpgradeFrame), kStop = B(kStopFrame), kAck = B(kAckFrame),
            kOwn = B(identFrame(1)), kNone;
const Bytes kData(kBlockSize, 0x3C);

struct Exchange {
  std::string name;
  int model;
  UpgradeAnswer answer;
  std::vector<std::pair<Bytes, Bytes>> steps;  // what the PC sends, the whole answer
};

TEST(LoaderModel, AnswersEachFrameAsItsExchangeStands) {
  const auto c = ackFramesOf(AckGroup::C);
  const Bytes stopStart(kStop.begin(), kStop.begin() + 5), stopRest(kStop.begin() + 5, kStop.end());
  const Exchange rows[] = {
      {"connect, after stray bytes and in two pieces",
       1,
       UpgradeAnswer::Ack0,
       {{{'x', 'H', 'y'}, kNone},
        {Bytes(kConnect.begin(), kConnect.begin() + 6), kNone},
        {Bytes(kConnect.begin() + 6, kConnect.end()), kAck}}},
      {"read: a block per acknowledgement, other frames ignored",
       1,
       UpgradeAnswer::Ack0,
       {{kRead, cat(kOwn, kBlock0)},
        {B(identFrame(2)), kNone},
        {kConnect, kNone},
        {kOwn, kBlock1},
        {kOwn, blockOf(kFlash1, 2)},
        {B(kReadCompleteFrame), kNone},
        {kOwn, kNone},
        {kConnect, kAck}}},
      {"upgrade: rotating answers of group C, the stop frame where a block would begin",
       5,
       UpgradeAnswer::Rotate,
       {{kUpgrade, B(c[0])},
        {kData, B(c[1])},
        {kData, B(c[2])},
        {kData, B(c[0])},
        {stopStart, kNone},
        {stopRest, kNone},
        {kConnect, kAck}}},
      {"upgrade: its own type answer; data that only begins like the stop frame is a block",
       2,
       UpgradeAnswer::Ident,
       {{kUpgrade, B(identFrame(2))},
        {cat(stopStart, Bytes(kBlockSize - 5, 0)), B(identFrame(2))},
        {kStop, kNone}}},
      {"key frames between and during exchanges; the stop frame ends a read",
       1,
       UpgradeAnswer::Ack0,
       {{B(keyFrame(0x1D)), kNone},
        {kRead, cat(kOwn, kBlock0)},
        {B(keyFrame(0x06)), kNone},
        {kStop, kNone},
        {kOwn, kNone},
        {kConnect, kAck}}},
  };
  for (const Exchange& row : rows) {
    SCOPED_TRACE(row.name);
    LoaderModel model(row.model, patternFlash(row.model), row.answer);
    for (std::size_t i = 0; i < row.steps.size(); ++i) {
      const auto& [in, out] = row.steps[i];
      EXPECT_EQ(sent(model.receive(in.data(), in.size())), out) << "step " << i;
    }
  }
  LoaderModel model(1, kFlash1, UpgradeAnswer::Ack0);
  const Bytes keys = cat(cat(B(keyFrame(0x1D)), kRead), B(keyFrame(0x06)));
  model.receive(keys.data(), keys.size());
  EXPECT_EQ(model.keyCodes(), (Bytes{0x1D, 0x06}));
}

TEST(LoaderModel, WholeUpgradeProgramsItsFlashAndAWholeReadServesIt) {
  LoaderModel model(1, Bytes(kFlash1.size(), 0xFF), UpgradeAnswer::Ack0);
  const Bytes image(kFlash1.rbegin(), kFlash1.rend());
  EXPECT_EQ(sent(model.receive(kUpgrade.data(), kUpgrade.size())), kAck);
  // All blocks at once: each is answered, the last completes the upgrade.
  const std::vector<LoaderEvent> events = model.receive(image.data(), image.size());
  EXPECT_EQ(sent(events), [] {
    Bytes acks;
    for (int k = 0; k < 256; ++k) acks = cat(acks, kAck);
    return acks;
  }());
  EXPECT_TRUE(events.back().completesUpgrade);
  EXPECT_TRUE(model.upgradeComplete());
  EXPECT_EQ(model.flash(), image);
  EXPECT_EQ(model.blocksTaken(), 256u);
  // Then frames again: nothing but the stop frame until it comes.
  EXPECT_EQ(sent(model.receive(kRead.data(), kRead.size())), kNone);
  EXPECT_EQ(sent(model.receive(kStop.data(), kStop.size())), kNone);

  Bytes read = sent(model.receive(kRead.data(), kRead.size()));
  for (int k = 0; k < 256; ++k) read = cat(read, sent(model.receive(kOwn.data(), kOwn.size())));
  EXPECT_EQ(read, cat(kOwn, image));
  EXPECT_TRUE(model.upgradeComplete());  // until the next upgrade starts
  const Bytes again = cat(B(kReadCompleteFrame), kUpgrade);
  model.receive(again.data(), again.size());
  EXPECT_FALSE(model.upgradeComplete());
  EXPECT_EQ(model.frames().size(), 2u + 1 + 1 + 256 + 2);
}

TEST(LoaderModel, LogsWhatItTakesWithTheFramesMeaning) {
  LoaderModel model(5, patternFlash(5), UpgradeAnswer::Ack0);
  const Bytes in = cat(cat({1, 2}, B(identFrame(5))), B(keyFrame(0x1D)));
  std::vector<std::string> texts;
  for (const LoaderEvent& e : model.receive(in.data(), in.size())) texts.push_back(e.text);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "2 stray bytes dropped",
                       "48 61 6C 76 6F 72 6E 65 10 05 00 00  ident model 5 (CI 29 1)",
                       "frame not expected; ignored",
                       "48 61 6C 76 6F 72 6E 65 4A 1D 4F 56  key 0x1D (MENU)",
                   }));
  EXPECT_EQ(describeFrameWithNames(keyFrame(0x20)), "key 0x20 (no such key)");
}

// ---- faults around it --------------------------------------------------------

enum class Gone { No, Now, OnceTaken };

struct Step {
  Bytes in, out;
  Gone gone = Gone::No;
};

// What goes out for `in`, and whether the device goes.
Step turn(FaultyLoader& loader, const Bytes& in) {
  Step step{in, {}};
  for (const Action& a : loader.receive(in.data(), in.size())) {
    if (a.kind == Action::Kind::Vanish) step.gone = Gone::Now;
    if (a.kind != Action::Kind::Send) continue;
    step.out = cat(step.out, a.run.bytes);
    if (a.run.vanishAfter) step.gone = Gone::OnceTaken;
  }
  return step;
}

TEST(FaultyLoader, EachFaultAsItShowsOnTheLine) {
  const Bytes extra(3, kSurplusByte), other = B(identFrame(6)), wrong = B(kWrongAnswerFrame);
  Bytes corrupt = kBlock1;
  corrupt[100] ^= kCorruptMask;
  const Bytes cut(kFlash1.begin() + 2 * kBlockSize, kFlash1.begin() + 3 * kBlockSize - 10);
  using P = FaultPoint;
  const std::pair<FaultPlan, std::vector<Step>> rows[] = {
      {{.silence = P::afterStart()},
       {{kConnect, kNone},
        {kConnect, kNone},
        {kRead, kNone},
        {kOwn, kNone},
        {kStop, kNone},
        {kUpgrade, kNone},
        {kData, kNone},
        {kStop, kNone}}},
      {{.silence = P::afterBlock(1)},
       {{kRead, cat(kOwn, kBlock0)},
        {kOwn, kBlock1},
        {kOwn, kNone},
        {kStop, kNone},
        {kUpgrade, kAck},
        {kData, kAck},
        {kData, kNone},
        {kData, kNone},
        {kStop, kNone},
        {kConnect, kAck}}},
      {{.wrongAnswer = true},
       {{kConnect, wrong}, {kRead, cat(wrong, kBlock0)}, {kStop, kNone}, {kUpgrade, wrong}}},
      {{.otherModel = 6},
       {{kConnect, other},
        {kRead, cat(other, kBlock0)},
        {kOwn, kNone},
        {other, kBlock1},
        {kStop, kNone},
        {kUpgrade, other}}},
      {{.otherGroup = true, .answerFaultAfterBlock = 0},
       {{kConnect, kAck}, {kUpgrade, kAck}, {kData, B(ackFramesOf(AckGroup::C)[0])}}},
      {{.wrongAnswer = true, .answerFaultAfterBlock = 1},
       {{kUpgrade, kAck}, {kData, kAck}, {kData, wrong}}},
      {{.splitPieces = 3, .splitDelayMs = 5, .surplusBytes = 3},
       {{kConnect, cat(kAck, extra)}, {kRead, cat(cat(cat(kOwn, extra), kBlock0), extra)}}},
      {{.shortBlock = 2, .shortBy = 10, .corruptBlock = 1, .corruptOffset = 100},
       {{kRead, cat(kOwn, kBlock0)}, {kOwn, corrupt}, {kOwn, cut}, {kOwn, kNone}}},
      {{.vanish = P::afterBlock(1)},
       {{kRead, cat(kOwn, kBlock0)}, {kOwn, kBlock1, Gone::OnceTaken}}},
      {{.vanish = P::afterStart()}, {{kRead, kNone, Gone::Now}}},
      {{.vanish = P::afterBlock(0)}, {{kUpgrade, kAck}, {kData, kNone, Gone::Now}}},
  };
  for (std::size_t row = 0; row < std::size(rows); ++row) {
    SCOPED_TRACE("row " + std::to_string(row));
    const auto& [plan, steps] = rows[row];
    FaultyLoader loader(LoaderModel(1, kFlash1, UpgradeAnswer::Ack0), plan);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const Step got = turn(loader, steps[i].in);
      EXPECT_EQ(got.out, steps[i].out) << "step " << i;
      EXPECT_EQ(got.gone, steps[i].gone) << "step " << i;
    }
  }
  // An unanswered connect request is all: without the fault it answers again.
  FaultyLoader loader(LoaderModel(1, kFlash1, UpgradeAnswer::Ack0), {.silence = P::afterStart()});
  EXPECT_EQ(turn(loader, kConnect).out, kNone);
  loader.setPlan({});
  EXPECT_EQ(turn(loader, kConnect).out, kAck);
}

TEST(FaultyLoader, SplitPiecesPauseAndOnlyAnswersToBlocksWaitTheTurnaround) {
  FaultyLoader loader(LoaderModel(1, kFlash1, UpgradeAnswer::Ack0),
                      {.splitPieces = 5, .splitDelayMs = 7});
  auto runsOf = [&](const Bytes& in) {
    std::vector<Outgoing> runs;
    for (Action& a : loader.receive(in.data(), in.size()))
      if (a.kind == Action::Kind::Send) runs.push_back(std::move(a.run));
    return runs;
  };
  const std::vector<Outgoing> start = runsOf(kUpgrade), answer = runsOf(kData);
  ASSERT_EQ(start.size(), 5u);
  ASSERT_EQ(answer.size(), 5u);
  const std::size_t sizes[] = {2, 2, 3, 2, 3};
  for (std::size_t p = 0; p < 5; ++p) {
    EXPECT_EQ(start[p].pause.count(), p ? 7 : 0);
    EXPECT_EQ(answer[p].turnaround, p == 0);
    EXPECT_EQ(answer[p].bytes.size(), sizes[p]);
  }
  EXPECT_FALSE(start[0].turnaround);
  EXPECT_EQ(answer[4].logText, "48 61 6C 76 6F 72 6E 65 00 00 00 00  ack (piece 5/5)");
  const std::vector<Outgoing> blocks = runsOf(cat(kStop, kRead));
  EXPECT_FALSE(blocks.front().turnaround);  // the type answer
  EXPECT_TRUE(blocks.back().turnaround && blocks.back().servesBlock);
}

}  // namespace
}  // namespace quorvane::emu
