// CommandPort on a real pseudo-terminal. The acknowledgement wait gets an
// injected sleep that counts its calls and can let the far end act at a
// given poll, so no test sleeps through the real two seconds.
#include "serial/command_port.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "serial/protocol.h"
#include "support/pty_pair.h"

namespace quorvane {
namespace {

using test::PtyPair;
using Bytes = std::vector<std::uint8_t>;

constexpr int kPolls = kAckWaitLimitMs / kAckPollIntervalMs;

Bytes bytesOf(const FrameBytes& f) {
  return Bytes(f.begin(), f.end());
}

class CommandPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1); }

  // The answer from the master side, already waiting on the port's side.
  void answer(const Bytes& bytes) {
    ASSERT_TRUE(pty.send(bytes));
    ASSERT_TRUE(pty.waitDelivered(bytes.size()));
  }

  // A sleep that counts its calls and runs `act(k)` on its k-th call.
  SleepFn countingSleep(std::function<void(int call)> act = {}) {
    return [this, act](int ms) {
      EXPECT_EQ(ms, kAckPollIntervalMs);
      ++sleeps;
      if (act) act(sleeps);
    };
  }

  // True when the next bytes the master sees start with a marker written
  // after the wait, i.e. the wait itself sent nothing.
  bool sentNothing() {
    const std::uint8_t marker = 0x5A;
    return port.write(&marker, 1) == 1 && pty.receive(1) == Bytes{marker};
  }

  PtyPair pty;
  CommandPort port;
  int sleeps = 0;
};

TEST_F(CommandPortTest, SendCommandPutsParam1BeforeTheCommand) {
  EXPECT_EQ(port.sendCommand(kCmdStartRead), kFrameSize);
  EXPECT_EQ(pty.receive(kFrameSize),
            (Bytes{'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', 0x00, 0x97, 0x00, 0x00}));
  EXPECT_EQ(port.sendCommand(0x1D, 'J', 'O', 'V'), kFrameSize);
  EXPECT_EQ(pty.receive(kFrameSize), bytesOf(keyFrame(0x1D)));

  port.close();
  EXPECT_EQ(port.sendCommand(kCmdStop), 0u);
  EXPECT_FALSE(port.waitAck(countingSleep()));
  EXPECT_EQ(sleeps, kPolls);
}

TEST_F(CommandPortTest, AckAlreadyWaitingSucceedsAtOnceAndSendsNothing) {
  answer(bytesOf(kAckFrame));
  EXPECT_TRUE(port.waitAck(countingSleep()));
  EXPECT_EQ(sleeps, 0);
  EXPECT_EQ(port.bytesInQueue(), 0u);
  EXPECT_TRUE(sentNothing());
}

TEST_F(CommandPortTest, AckArrivingInPiecesDuringPollingIsTakenWhenComplete) {
  const Bytes ack = bytesOf(kAckFrame);
  EXPECT_TRUE(port.waitAck(countingSleep([&](int call) {
    if (call == 3) answer(Bytes(ack.begin(), ack.begin() + 5));
    if (call == 6) answer(Bytes(ack.begin() + 5, ack.end()));
  })));
  EXPECT_EQ(sleeps, 6);
  EXPECT_TRUE(sentNothing());
}

TEST_F(CommandPortTest, OneWrongByteIsConsumedAndStopsAtOnce) {
  for (std::size_t offset : {std::size_t{0}, kCommandOffset, kParam3Offset}) {
    Bytes wrong = bytesOf(kAckFrame);
    wrong[offset] ^= 0x01;
    sleeps = 0;
    answer(wrong);
    EXPECT_FALSE(port.waitAck(countingSleep()));
    EXPECT_EQ(sleeps, 0);
    EXPECT_EQ(port.bytesInQueue(), 0u);
    EXPECT_EQ(pty.receive(kFrameSize), bytesOf(kStopFrame));
  }
}

TEST_F(CommandPortTest, ThirteenBytesTimeOutAndStayQueued) {
  Bytes thirteen = bytesOf(kAckFrame);
  thirteen.push_back(0x00);
  answer(thirteen);
  EXPECT_FALSE(port.waitAck(countingSleep()));
  EXPECT_EQ(sleeps, kPolls);
  EXPECT_EQ(port.bytesInQueue(), 13u);
  EXPECT_EQ(pty.receive(kFrameSize),
            (Bytes{'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', 0x00, 0x02, 0x00, 0x00}));
}

TEST_F(CommandPortTest, SilenceTimesOutAfterAllPollsWithTheStopFrame) {
  EXPECT_FALSE(port.waitAck(countingSleep()));
  EXPECT_EQ(sleeps, kPolls);
  EXPECT_EQ(pty.receive(kFrameSize), bytesOf(kStopFrame));
  EXPECT_TRUE(sentNothing());  // exactly one stop frame
}

TEST_F(CommandPortTest, FarEndClosingMidExchangeTimesOutQuietly) {
  EXPECT_EQ(port.sendCommand(kCmdConnect), kFrameSize);
  EXPECT_EQ(pty.receive(kFrameSize), bytesOf(kConnectFrame));
  EXPECT_FALSE(port.waitAck(countingSleep([&](int call) {
    if (call == 2) answer(Bytes{'H', 'a', 'l'});
    if (call == 4) pty.closeMaster();
  })));
  EXPECT_EQ(sleeps, kPolls);
  EXPECT_EQ(port.sendCommand(kCmdStop), 0u);  // the stop frame had nowhere to go either
  EXPECT_TRUE(port.isOpen());
}

}  // namespace
}  // namespace quorvane
