// The connect handshake against the receiver emulator over a pty, with the
// acknowledgement polls counted through an injected sleep.
#include "connection/connect_handshake.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include "receiver_emulator.h"
#include "serial/command_frame.h"
#include "support/pty_pair.h"
#include "support/test_support.h"

namespace quorvane {
namespace {

constexpr int kComNumber = 3;  // the emulator answers as COM3

class RecordingView final : public ConnectView {
 public:
  void startTimer(int timerId, int periodMs) override {
    timerStarts.push_back({timerId, periodMs});
    timerRunning = true;
  }
  void stopTimer(int) override { timerRunning = false; }
  void showProgress(int percent) override { progress.push_back(percent); }
  void showMessage(const Notice& notice) override {
    messages.push_back(noticeText(notice));
    // A box opens while the timer is still going would let a second tick in.
    EXPECT_FALSE(timerRunning);
  }
  void finish(bool connected) override {
    EXPECT_FALSE(finished.has_value()) << "finished twice";
    finished = connected;
  }

  std::vector<std::pair<int, int>> timerStarts;
  bool timerRunning = false;
  std::vector<int> progress;
  std::vector<std::string> messages;
  std::optional<bool> finished;
};

// Records every wait; a poll wait lets the emulator's answer arrive in full
// first, so the count of polls never depends on the machine's speed.
class CountingSleep {
 public:
  explicit CountingSleep(const emu::ReceiverEmulator* emulator = nullptr,
                         CommandPort* port = nullptr)
      : emulator_(emulator), port_(port) {}

  SleepFn fn() {
    return [this](int ms) {
      waits.push_back(ms);
      if (emulator_ && port_ && ms == kAckPollIntervalMs) settle();
    };
  }
  int polls() const {
    int n = 0;
    for (int ms : waits) n += ms == kAckPollIntervalMs;
    return n;
  }
  std::vector<int> waits;

 private:
  void settle() {
    emulator_->waitIdle();
    for (int i = 0; i < 5000 && port_->bytesArrived() < emulator_->bytesSent(); ++i) {
      port_->bytesInQueue();  // drains the device into the port's queue
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  const emu::ReceiverEmulator* emulator_;
  CommandPort* port_;
};

class ConnectHandshakeTest : public ::testing::Test {
 protected:
  void startEmulator(emu::FaultPlan faults = {}) {
    emu::EmulatorOptions options;
    options.modelNumber = 3;
    options.faults = faults;
    emulator_.emplace(options);
    ASSERT_TRUE(emulator_->start());
    comOverride_.emplace(portOverrideVariable(kComNumber), emulator_->devicePath());
  }
  std::vector<FrameBytes> framesAfter(std::size_t bytes) {
    emulator_->waitUntil([&] { return emulator_->bytesReceived() >= bytes; });
    return emulator_->framesReceived();
  }

  std::optional<emu::ReceiverEmulator> emulator_;
  std::optional<test::ScopedEnv> comOverride_;
  CommandPort port_;
  RecordingView view_;
};

TEST_F(ConnectHandshakeTest, AnsweringReceiverConnectsAfterOneRequest) {
  startEmulator();
  CountingSleep sleep(&*emulator_, &port_);
  ConnectHandshake handshake(port_, view_, sleep.fn());

  handshake.start();
  EXPECT_EQ(handshake.state(), ConnectState::Waiting);
  ASSERT_EQ(view_.timerStarts.size(), 1u);
  EXPECT_EQ(view_.timerStarts[0], std::make_pair(kConnectTimerId, kConnectTimerMs));
  EXPECT_EQ(view_.progress, std::vector<int>{60});

  // COM3 from the stored index 2.
  EXPECT_EQ(handshake.tick(PortTarget::fromIndex(2)), ConnectResult::Connected);
  EXPECT_EQ(handshake.state(), ConnectState::Ended);
  EXPECT_FALSE(view_.timerRunning);
  EXPECT_EQ(view_.progress, (std::vector<int>{60, 100}));
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_EQ(view_.finished, true);
  ASSERT_FALSE(sleep.waits.empty());
  EXPECT_EQ(sleep.waits.back(), kConnectSuccessPauseMs);  // the pause comes last
  EXPECT_TRUE(port_.isOpen());                            // stays open until its owner goes

  // A late second tick neither sends nor finishes again.
  EXPECT_EQ(handshake.tick(PortTarget::fromIndex(2)), ConnectResult::None);
  emulator_->waitIdle();
  EXPECT_EQ(emulator_->framesReceived(), std::vector<FrameBytes>{kConnectFrame});
  EXPECT_EQ(emulator_->bytesReceived(), kFrameSize);
}

TEST_F(ConnectHandshakeTest, SilentReceiverGetsTheStopFrameAfterTwoHundredPolls) {
  emu::FaultPlan faults;
  faults.silentAfterStart = true;
  startEmulator(faults);
  CountingSleep sleep;  // no real waiting: the limit is counted
  ConnectHandshake handshake(port_, view_, sleep.fn());
  handshake.start();

  EXPECT_EQ(handshake.tick(PortTarget::comPort(kComNumber)), ConnectResult::NoAnswer);
  EXPECT_EQ(sleep.polls(), kAckWaitLimitMs / kAckPollIntervalMs);
  EXPECT_EQ(sleep.waits.size(), 200u);  // no success pause
  EXPECT_EQ(view_.messages, std::vector<std::string>{"no answer\xEF\xBC\x81"});
  EXPECT_EQ(view_.progress, std::vector<int>{60});
  EXPECT_EQ(view_.finished, false);
  EXPECT_EQ(framesAfter(2 * kFrameSize), (std::vector<FrameBytes>{kConnectFrame, kStopFrame}));
}

TEST_F(ConnectHandshakeTest, IdentFrameInsteadOfAckStopsAtOnce) {
  emu::FaultPlan faults;
  faults.otherModel = 3;
  startEmulator(faults);
  CountingSleep sleep(&*emulator_, &port_);
  ConnectHandshake handshake(port_, view_, sleep.fn());
  handshake.start();

  EXPECT_EQ(handshake.tick(PortTarget::comPort(kComNumber)), ConnectResult::NoAnswer);
  // At most the one poll that waited for the answer to arrive.
  EXPECT_LE(sleep.polls(), 1);
  EXPECT_EQ(view_.messages, std::vector<std::string>{"no answer\xEF\xBC\x81"});
  EXPECT_EQ(view_.finished, false);
  EXPECT_EQ(framesAfter(2 * kFrameSize), (std::vector<FrameBytes>{kConnectFrame, kStopFrame}));
  EXPECT_EQ(port_.bytesInQueue(), 0u);  // the wrong answer was consumed
}

TEST_F(ConnectHandshakeTest, PortThatCannotBeOpenedSendsNothing) {
  startEmulator();
  {  // missing device
    const test::ScopedEnv missing(portOverrideVariable(2), "/nonexistent/quorvane-tty");
    CountingSleep sleep;
    RecordingView view;
    ConnectHandshake handshake(port_, view, sleep.fn());
    handshake.start();
    EXPECT_EQ(handshake.tick(PortTarget::fromIndex(1)), ConnectResult::OpenPortError);
    EXPECT_EQ(view.messages, std::vector<std::string>{"open port2 error!"});
    EXPECT_EQ(view.finished, false);
    EXPECT_TRUE(sleep.waits.empty());
    EXPECT_FALSE(port_.isOpen());
  }
  {  // held by another program
    SerialPort other;
    ASSERT_EQ(other.open(kComNumber, kLineSpeed), 1);
    CommandPort port;
    RecordingView view;
    ConnectHandshake handshake(port, view, CountingSleep().fn());
    handshake.start();
    EXPECT_EQ(handshake.tick(PortTarget::comPort(kComNumber)), ConnectResult::OpenPortError);
    EXPECT_EQ(view.messages, std::vector<std::string>{"open port3 error!"});
    EXPECT_FALSE(port.isOpen());
  }
  emulator_->waitIdle();
  EXPECT_EQ(emulator_->bytesReceived(), 0u);
}

TEST_F(ConnectHandshakeTest, OutOfRangeIndexesNameThePortNumberUnchanged) {
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  const std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
  const std::vector<std::pair<std::int32_t, std::string>> cases = {
      {-1, "open port0 error!"},
      {max, "open port2147483648 error!"},
      {lowest, "open port-2147483647 error!"},
  };
  for (const auto& [index, text] : cases) {
    CommandPort port;
    RecordingView view;
    ConnectHandshake handshake(port, view, CountingSleep().fn());
    handshake.start();
    EXPECT_EQ(handshake.tick(PortTarget::fromIndex(index)), ConnectResult::OpenPortError);
    EXPECT_EQ(view.messages, std::vector<std::string>{text}) << index;
  }
}

TEST_F(ConnectHandshakeTest, RequestOnTheLineIsExactlyTwelveBytes) {
  test::PtyPair line;  // a far end that never answers
  const test::ScopedEnv com(portOverrideVariable(kComNumber), line.devicePath());
  ConnectHandshake handshake(port_, view_, CountingSleep().fn());
  handshake.start();
  EXPECT_EQ(handshake.tick(PortTarget::comPort(kComNumber)), ConnectResult::NoAnswer);

  const std::vector<std::uint8_t> request = {'H', 'a', 'l',  'v',  'o',  'r',
                                             'n', 'e', 0x00, 0x10, 0x00, 0x00};
  const std::vector<std::uint8_t> stop = {'H', 'a', 'l',  'v',  'o',  'r',
                                          'n', 'e', 0x00, 0x02, 0x00, 0x00};
  EXPECT_EQ(line.receive(12), request);
  EXPECT_EQ(line.receive(12), stop);
  EXPECT_TRUE(line.receive(1, 100).empty());
}

TEST_F(ConnectHandshakeTest, CancelBeforeTheTickOpensNothing) {
  startEmulator();
  ConnectHandshake handshake(port_, view_, CountingSleep().fn());
  handshake.start();
  ASSERT_TRUE(view_.timerRunning);

  EXPECT_TRUE(handshake.cancel());
  EXPECT_FALSE(view_.timerRunning);
  EXPECT_EQ(handshake.result(), ConnectResult::Cancelled);
  EXPECT_EQ(view_.finished, false);
  EXPECT_TRUE(view_.messages.empty());

  EXPECT_FALSE(handshake.cancel());
  EXPECT_EQ(handshake.tick(PortTarget::comPort(kComNumber)), ConnectResult::None);
  EXPECT_FALSE(port_.isOpen());
  emulator_->waitIdle();
  EXPECT_EQ(emulator_->bytesReceived(), 0u);
}

}  // namespace
}  // namespace quorvane
