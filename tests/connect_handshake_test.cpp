// The connect handshake whole in the dialog's one tick, its waits counted
// through the injected sleep. Step by step, and the faults on both flash
// sizes: the fault matrix.
#include "connection/connect_handshake.h"

#include <gtest/gtest.h>

#include <limits>

#include "receiver_emulator.h"
#include "support/recording_view.h"
#include "support/test_support.h"

namespace quorvane {
namespace {

using test::Log;

struct ConnectHandshakeTest : ::testing::Test {
  // The dialog's form: start, then one tick; waits recorded, no time passes.
  void tickWhole(const PortTarget& target) {
    ConnectHandshake handshake(port, view, target, [this](int ms) { waits.push_back(ms); });
    view.watch(handshake);
    handshake.start();
    handshake.tick(kConnectTimerId);
    handshake.tick(kConnectTimerId);  // a second tick does nothing
  }

  emu::ReceiverEmulator emulator;
  CommandPort port;
  test::RecordingView view;
  std::vector<int> waits;
};

TEST_F(ConnectHandshakeTest, SilentReceiverGetsTheRequestThenTheStopAfter200CountedPolls) {
  emulator.setFaults({.silence = emu::FaultPoint::afterStart()});
  ASSERT_TRUE(emulator.start());
  tickWhole(PortTarget::device(emulator.devicePath()));
  EXPECT_EQ(waits, std::vector<int>(200, 10));  // counted, no pause after
  // The timer is stopped before anything else: no tick arrives under the box.
  EXPECT_EQ(view.log, (Log{"bar 60", "start timer 1 200ms", "stop timer 1", "sent connect request",
                           "sent stop", "message no answer\xEF\xBC\x81", "finish cancel",
                           "finished failed"}));
  const FrameBytes request = {'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', 0x00, 0x10, 0x00, 0x00};
  ASSERT_TRUE(emulator.waitUntil([&] { return emulator.bytesReceived() == 2 * kFrameSize; }));
  EXPECT_EQ(emulator.framesReceived(), (std::vector<FrameBytes>{request, kStopFrame}));
}

TEST_F(ConnectHandshakeTest, PortThatCannotBeOpenedIsNamedByItsNumberAndLeftClosed) {
  const test::ScopedEnv missing(portOverrideVariable(2), "/nonexistent/quorvane-tty");
  const std::pair<std::int32_t, const char*> cases[] = {
      {1, "open port2 error!"},
      {-1, "open port0 error!"},
      {std::numeric_limits<std::int32_t>::max(), "open port2147483648 error!"}};
  for (const auto& [index, text] : cases) {
    view.log.clear();
    tickWhole(PortTarget::fromIndex(index));
    EXPECT_EQ(view.only({"sent", "message", "finish"}),
              (Log{std::string("message ") + text, "finish cancel", "finished failed"}));
    EXPECT_FALSE(port.isOpen());
  }
}

}  // namespace
}  // namespace quorvane
