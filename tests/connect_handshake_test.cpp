// The connect handshake against the receiver emulator, its waits counted
// through the injected sleep; the faults on both flash sizes: the fault matrix.
#include "connection/connect_handshake.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "receiver_emulator.h"
#include "support/test_support.h"

namespace quorvane {
namespace {

struct ConnectHandshakeTest : ::testing::Test, ConnectView {
  void startTimer(int, int) override { timerRuns = true; }
  void stopTimer(int) override { timerRuns = false; }
  void showProgress(int) override {}
  void showMessage(const Notice& n) override {
    EXPECT_FALSE(timerRuns) << "a second tick could arrive under the box";
    messages.push_back(noticeText(n));
  }
  void finish(bool ok) override { finished = ok; }
  // A handshake whose waits are recorded, and no time passes.
  ConnectResult run(const PortTarget& target, CommandPort& port) {
    messages.clear(), finished.reset();
    ConnectHandshake handshake(port, *this, [this](int ms) { waits.push_back(ms); });
    handshake.start();
    return handshake.tick(target);
  }

  emu::ReceiverEmulator emulator;
  bool timerRuns = false;
  std::vector<int> waits;
  std::vector<std::string> messages;
  std::optional<bool> finished;
};

TEST_F(ConnectHandshakeTest, SilentReceiverGetsTheRequestThenTheStopAfter200CountedPolls) {
  emulator.setFaults({.silence = emu::FaultPoint::afterStart()});
  ASSERT_TRUE(emulator.start());
  CommandPort port;
  EXPECT_EQ(run(PortTarget::device(emulator.devicePath()), port), ConnectResult::NoAnswer);
  EXPECT_EQ(waits, std::vector<int>(200, 10));  // counted, no pause after
  EXPECT_EQ(messages, std::vector<std::string>{"no answer\xEF\xBC\x81"});
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
    CommandPort port;
    EXPECT_EQ(run(PortTarget::fromIndex(index), port), ConnectResult::OpenPortError);
    EXPECT_EQ(messages, std::vector<std::string>{text});
    EXPECT_EQ(finished, false);
    EXPECT_FALSE(port.isOpen());
  }
}

}  // namespace
}  // namespace quorvane
