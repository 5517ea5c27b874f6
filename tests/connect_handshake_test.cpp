// The connect handshake against the receiver emulator over a pty, with the
// acknowledgement polls counted through an injected sleep.
#include "connection/connect_handshake.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <optional>
#include <thread>

#include "receiver_emulator.h"
#include "support/test_support.h"

namespace quorvane {
namespace {

constexpr int kCom = 3;  // the emulator answers as COM3

struct RecordingView final : ConnectView {
  void startTimer(int id, int ms) override { timer = {id, ms}; }
  void stopTimer(int) override { timer.reset(); }
  void showProgress(int percent) override { progress.push_back(percent); }
  void showMessage(const Notice& n) override {
    EXPECT_FALSE(timer) << "a second tick could arrive under the box";
    messages.push_back(noticeText(n));
  }
  void finish(bool ok) override {
    EXPECT_FALSE(finished) << "finished twice";
    finished = ok;
  }
  std::optional<std::pair<int, int>> timer;
  std::vector<int> progress;
  std::vector<std::string> messages;
  std::optional<bool> finished;
};

class ConnectHandshakeTest : public ::testing::Test {
 protected:
  void startEmulator(emu::FaultPlan faults = {}) {
    emu::EmulatorOptions options;
    options.faults = faults;
    emulator_.emplace(options);
    ASSERT_TRUE(emulator_->start());
    com_.emplace(portOverrideVariable(kCom), emulator_->devicePath());
  }
  // Records each wait. With `settle`, a poll first lets everything the
  // emulator has sent reach the port, so the poll count never depends on
  // the machine's speed; otherwise no time passes at all.
  SleepFn sleep(bool settle) {
    return [this, settle](int ms) {
      waits_.push_back(ms);
      if (!settle || ms != kAckPollIntervalMs) return;
      emulator_->waitIdle();
      for (int i = 0; i < 5000 && port_.bytesArrived() < emulator_->bytesSent(); ++i) {
        port_.bytesInQueue();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
  }
  std::vector<FrameBytes> framesAfter(std::size_t bytes) {
    emulator_->waitUntil([&] { return emulator_->bytesReceived() >= bytes; });
    emulator_->waitIdle();
    return emulator_->framesReceived();
  }

  std::optional<emu::ReceiverEmulator> emulator_;
  std::optional<test::ScopedEnv> com_;
  CommandPort port_;
  RecordingView view_;
  std::vector<int> waits_;
};

TEST_F(ConnectHandshakeTest, AnsweringReceiverConnectsOnce) {
  startEmulator();
  ConnectHandshake handshake(port_, view_, sleep(true));
  handshake.start();
  EXPECT_EQ(view_.timer, std::make_pair(kConnectTimerId, kConnectTimerMs));
  EXPECT_EQ(view_.progress, std::vector<int>{60});

  EXPECT_EQ(handshake.tick(PortTarget::fromIndex(kCom - 1)), ConnectResult::Connected);
  EXPECT_FALSE(view_.timer);
  EXPECT_EQ(view_.progress, (std::vector<int>{60, 100}));
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_EQ(view_.finished, true);
  ASSERT_FALSE(waits_.empty());
  EXPECT_EQ(waits_.back(), kConnectSuccessPauseMs);
  EXPECT_TRUE(port_.isOpen());  // until its owner goes

  // A late tick sends nothing more.
  EXPECT_EQ(handshake.tick(PortTarget::fromIndex(kCom - 1)), ConnectResult::None);
  EXPECT_EQ(framesAfter(kFrameSize), std::vector<FrameBytes>{kConnectFrame});
  EXPECT_EQ(emulator_->bytesReceived(), kFrameSize);
}

TEST_F(ConnectHandshakeTest, SilentReceiverGetsTheRequestThenTheStopAfter200Polls) {
  startEmulator({.silentAfterStart = true});
  ConnectHandshake handshake(port_, view_, sleep(false));
  handshake.start();
  EXPECT_EQ(handshake.tick(PortTarget::comPort(kCom)), ConnectResult::NoAnswer);
  EXPECT_EQ(waits_, std::vector<int>(200, 10));  // counted, no pause after
  EXPECT_EQ(view_.messages, std::vector<std::string>{"no answer\xEF\xBC\x81"});
  EXPECT_EQ(view_.finished, false);

  const FrameBytes request = {'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', 0x00, 0x10, 0x00, 0x00};
  EXPECT_EQ(framesAfter(2 * kFrameSize), (std::vector<FrameBytes>{request, kStopFrame}));
  EXPECT_EQ(emulator_->bytesReceived(), 2 * kFrameSize);
}

TEST_F(ConnectHandshakeTest, IdentFrameInsteadOfTheAckStopsAtOnce) {
  startEmulator({.otherModel = 3});
  ConnectHandshake handshake(port_, view_, sleep(true));
  handshake.start();
  EXPECT_EQ(handshake.tick(PortTarget::comPort(kCom)), ConnectResult::NoAnswer);
  EXPECT_LE(waits_.size(), 1u);  // only while the answer was arriving
  EXPECT_EQ(view_.messages, std::vector<std::string>{"no answer\xEF\xBC\x81"});
  EXPECT_EQ(framesAfter(2 * kFrameSize), (std::vector<FrameBytes>{kConnectFrame, kStopFrame}));
  EXPECT_EQ(port_.bytesInQueue(), 0u);  // the wrong answer was consumed
}

TEST_F(ConnectHandshakeTest, PortThatCannotBeOpenedIsNamedAndNothingIsSent) {
  startEmulator();
  SerialPort holder;  // COM3 held by another program
  ASSERT_EQ(holder.open(kCom, kLineSpeed), 1);
  const test::ScopedEnv missing(portOverrideVariable(2), "/nonexistent/quorvane-tty");
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  const std::vector<std::pair<std::int32_t, std::string>> cases = {
      {kCom - 1, "open port3 error!"},
      {1, "open port2 error!"},
      {-1, "open port0 error!"},
      {max, "open port2147483648 error!"},
  };
  for (const auto& [index, text] : cases) {
    CommandPort port;
    RecordingView view;
    ConnectHandshake handshake(port, view, sleep(false));
    handshake.start();
    EXPECT_EQ(handshake.tick(PortTarget::fromIndex(index)), ConnectResult::OpenPortError);
    EXPECT_EQ(view.messages, std::vector<std::string>{text});
    EXPECT_EQ(view.finished, false);
    EXPECT_FALSE(port.isOpen());
  }
  EXPECT_TRUE(waits_.empty());
  emulator_->waitIdle();
  EXPECT_EQ(emulator_->bytesReceived(), 0u);
}

}  // namespace
}  // namespace quorvane
