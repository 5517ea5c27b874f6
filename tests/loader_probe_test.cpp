// The wait for a receiver's loader, tick by tick on a pty whose far end the test plays: requests at
// the request timer's pace, the acknowledgement found among noise and in pieces, a quiet line
// before success, the limit, no limit, and a port handed over open.
#include <gtest/gtest.h>

#include <vector>

#include "connection/loader_probe.h"
#include "support/pty_pair.h"
#include "support/recording_view.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::Log;
using test::PtyPair;
using test::RecordingView;

// The view's calls every machine makes (it answers the connect and transfer views both).
MachineView& machineView(RecordingView& view) {
  return static_cast<ConnectView&>(view);
}

Bytes bytesOf(const FrameBytes& f) {
  return Bytes(f.begin(), f.end());
}

struct Probe : ::testing::Test {
  // What reaches the far end now: whole frames only.
  std::vector<FrameBytes> requests() {
    const Bytes got = pty.receive(1 << 12, 20);
    std::vector<FrameBytes> frames(got.size() / kFrameSize);
    for (std::size_t i = 0; i < frames.size(); ++i)
      std::copy_n(got.begin() + static_cast<long>(i * kFrameSize), kFrameSize, frames[i].begin());
    EXPECT_EQ(got.size() % kFrameSize, 0u);
    return frames;
  }
  void answer(const Bytes& bytes) {
    ASSERT_TRUE(pty.send(bytes));
    ASSERT_TRUE(pty.waitDelivered(bytes.size()));
  }

  PtyPair pty;
  CommandPort port;
  RecordingView view;
};

TEST_F(Probe, FindsTheAcknowledgementAmongNoiseThenWaitsForAQuietLine) {
  LoaderProbe probe(port, machineView(view), PortTarget::device(pty.devicePath()), 0);
  view.watch(probe);
  probe.start();
  EXPECT_EQ(view.timers, (std::map<int, int>{{kProbeRequestTimerId, kProbeRequestMs},
                                             {kProbeAnswerTimerId, kTickMs}}));
  // Unanswered: one request per request tick, none from the answer timer.
  for (int i = 0; i < 5; ++i) {
    probe.tick(kProbeAnswerTimerId);
    probe.tick(kProbeRequestTimerId);
  }
  EXPECT_EQ(requests(), std::vector<FrameBytes>(6, kConnectFrame));
  EXPECT_EQ(probe.unansweredMs(), 5u * kProbeRequestMs);

  // Boot noise, a near miss (magic, wrong command) and half the acknowledgement: nothing found,
  // and the rest of the acknowledgement is what the answer tick awaits.
  Bytes noise = {'b', 'o', 'o', 't', '\r', '\n'};
  const Bytes nearMiss = bytesOf(makeFrame(kCmdStop));
  noise.insert(noise.end(), nearMiss.begin(), nearMiss.end());
  noise.insert(noise.end(), kAckFrame.begin(), kAckFrame.begin() + 5);
  answer(noise);
  probe.tick(kProbeAnswerTimerId);
  EXPECT_EQ(probe.phase(), Phase::AwaitingAnswer);
  ASSERT_TRUE(probe.awaitedInput());
  EXPECT_EQ(probe.awaitedInput()->timerId, kProbeAnswerTimerId);
  EXPECT_EQ(probe.awaitedInput()->bytes, kFrameSize - 5);

  // The rest, and an answer to a later request close behind it.
  Bytes rest(kAckFrame.begin() + 5, kAckFrame.end());
  rest.insert(rest.end(), kAckFrame.begin(), kAckFrame.end());
  answer(rest);
  probe.tick(kProbeAnswerTimerId);
  EXPECT_EQ(view.only({"answer"}), Log{"answer ack"});
  EXPECT_FALSE(probe.awaitedInput());
  // The period the answer came in proves nothing; a late straggler restarts the quiet period.
  probe.tick(kProbeRequestTimerId);
  answer({'x'});
  probe.tick(kProbeRequestTimerId);
  EXPECT_FALSE(probe.finished());
  probe.tick(kProbeRequestTimerId);
  EXPECT_TRUE(probe.succeeded());
  EXPECT_TRUE(requests().empty());  // nothing more once answered
  EXPECT_EQ(probe.requestsSent(), 6u);
  EXPECT_EQ(probe.bytesDropped(), 6u + 12u + 12u + 1u);
  EXPECT_TRUE(view.timers.empty());
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(view.log.back(), "finished succeeded");
}

TEST_F(Probe, GivesUpAtItsLimitOrWaitsUntilAbandoned) {
  LoaderProbe limited(port, machineView(view), PortTarget::device(pty.devicePath()),
                      3 * kProbeRequestMs);
  view.watch(limited);
  limited.start();
  for (int i = 0; i < 10; ++i) limited.tick(kProbeRequestTimerId);
  EXPECT_EQ(limited.outcome(), Outcome::Failed);
  EXPECT_EQ(requests().size(), 3u);
  EXPECT_EQ(view.messages, std::vector<Notice>{Notice::of(MessageId::LoaderNotAnswering)});
  EXPECT_TRUE(view.timers.empty());

  RecordingView endless;
  port.close();
  LoaderProbe forever(port, machineView(endless), PortTarget::device(pty.devicePath()), 0);
  forever.start();
  for (int i = 0; i < 1000; ++i) forever.tick(kProbeRequestTimerId);
  EXPECT_EQ(forever.phase(), Phase::AwaitingAnswer);
  EXPECT_EQ(forever.unansweredMs(), 1000u * kProbeRequestMs);
  forever.abandon();
  EXPECT_EQ(forever.outcome(), Outcome::Cancelled);
  EXPECT_TRUE(endless.timers.empty());
  EXPECT_TRUE(endless.messages.empty());
}

TEST_F(Probe, KeepsAPortHandedOverOpenAndFailsOnOneThatWontOpen) {
  // An acknowledgement queued before the start survives: the port is not opened afresh.
  ASSERT_TRUE(port.openDevice(pty.devicePath(), kLineSpeed));
  answer(bytesOf(kAckFrame));
  LoaderProbe probe(port, machineView(view), PortTarget::device("/dev/null/none"), 0);
  probe.start();
  probe.tick(kProbeRequestTimerId);
  probe.tick(kProbeRequestTimerId);
  EXPECT_TRUE(probe.succeeded());
  EXPECT_EQ(probe.requestsSent(), 1u);

  port.close();
  RecordingView other;
  LoaderProbe missing(port, machineView(other), PortTarget::device("/dev/null/none"), 0);
  missing.start();
  EXPECT_EQ(missing.outcome(), Outcome::Failed);
  EXPECT_EQ(other.messages, std::vector<Notice>{Notice::openPort(0)});
  EXPECT_TRUE(other.timers.empty());
}

}  // namespace
}  // namespace quorvane
