// CommandPort on a real pseudo-terminal. The acknowledgement wait gets an injected
// sleep that counts its calls and lets the far end answer at a given poll.
#include "serial/command_port.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "serial/protocol.h"
#include "support/pty_pair.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const FrameBytes& f) {
  return Bytes(f.begin(), f.end());
}

struct Case {
  const char* name;
  std::map<int, Bytes> arrivals;  // at the k-th poll (0: before the wait)
  bool acknowledged;
  int polls;
  unsigned leftQueued;
};

TEST(CommandPortTest, SendsACommandThenTakesExactlyTheAckOrSendsOneStopFrame) {
  const Bytes ack = B(kAckFrame), a(ack.begin(), ack.begin() + 5), b(ack.begin() + 5, ack.end());
  Bytes thirteen = ack;
  thirteen.push_back(0x00);
  const int all = kAckWaitLimitMs / kAckPollIntervalMs;
  const Case cases[] = {
      {"waiting", {{0, ack}}, true, 0, 0},
      {"in pieces", {{3, a}, {6, b}}, true, 6, 0},
      {"wrong last byte", {{0, B(makeFrame(0x00, 0, 0, 0x01))}}, false, 0, 0},  // consumed
      {"thirteen: never exactly twelve", {{0, thirteen}}, false, all, 13},
      {"silence", {}, false, all, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::PtyPair pty;
    CommandPort port;
    ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
    ASSERT_EQ(port.sendCommand(0x1D, 'J', 'O', 'V'), kFrameSize);  // param1 before the command
    ASSERT_EQ(pty.receive(kFrameSize), B(keyFrame(0x1D)));
    int polls = -1;
    const SleepFn poll = [&](int ms) {
      EXPECT_EQ(ms, kAckPollIntervalMs);
      const Bytes bytes = c.arrivals.contains(++polls) ? c.arrivals.at(polls) : Bytes{};
      ASSERT_TRUE(bytes.empty() || (pty.send(bytes) && pty.waitDelivered(bytes.size())));
    };
    poll(kAckPollIntervalMs);  // what is waiting before the wait
    EXPECT_EQ(port.waitAck(poll), c.acknowledged);
    EXPECT_EQ(polls, c.polls);
    EXPECT_EQ(port.bytesInQueue(), c.leftQueued);
    // All the wait sent, up to a marker written after it: nothing or one stop frame.
    Bytes sent = c.acknowledged ? Bytes{} : B(kStopFrame);
    sent.push_back(0x5A);
    ASSERT_EQ(port.write(&sent.back(), 1), 1u);
    EXPECT_EQ(pty.receive(sent.size()), sent);
  }
}

}  // namespace
}  // namespace quorvane
