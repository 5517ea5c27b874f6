// SerialPort on a real pseudo-terminal, the test holding the master side.
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "serial/port_map.h"
#include "serial/protocol.h"
#include "support/pty_pair.h"
#include "support/test_support.h"

namespace quorvane {
namespace {

using test::PtyPair;
using test::ScopedEnv;
using Bytes = std::vector<std::uint8_t>;

// Sends `bytes` from the master while the port drains them into its queue
// (which must have room for them all); the count the port then holds.
unsigned feed(PtyPair& pty, SerialPort& port, const Bytes& bytes) {
  std::size_t sent = 0;
  const std::uint64_t start = port.bytesArrived();
  for (int i = 0; i < 10000 && port.bytesArrived() - start < bytes.size(); ++i) {
    sent += pty.sendSome(bytes.data() + sent, bytes.size() - sent);
    port.bytesInQueue();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return port.bytesInQueue();
}

Bytes sequence(std::size_t count) {
  Bytes b(count);
  for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return b;
}

class OpenPort : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1); }
  PtyPair pty;
  SerialPort port;
};

TEST(SerialPortTest, PortMapDefaultsAndOverrides) {
  {
    ScopedEnv unset("QUORVANE_COM1", "");
    EXPECT_EQ(devicePathForPort(1).value(), "/dev/ttyS0");
  }
  ScopedEnv env("QUORVANE_COM12", "/dev/ttyUSB0");
  EXPECT_EQ(devicePathForPort(12).value(), "/dev/ttyUSB0");
  EXPECT_EQ(devicePathForPort(portNumberFromIndex(2147483647)).value(), "/dev/ttyS2147483647");
}

// A failed open (missing device, COM0, no terminal, unknown speed) leaves
// the port closed, the device it held released, and a closed port inert.
TEST_F(OpenPort, FailedOpenLeavesThePortClosedAndInert) {
  test::TempDir dir;
  test::writeFileBytes(dir.file("plain"), {1, 2, 3});
  ScopedEnv missing("QUORVANE_COM5", "/nonexistent/quorvane-tty");
  SerialPort other;
  for (int attempt = 0; attempt < 4; ++attempt) {
    ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
    EXPECT_EQ(attempt == 0   ? port.open(5, kLineSpeed)
              : attempt == 1 ? port.open(0, kLineSpeed)
              : attempt == 2 ? port.openDevice(dir.file("plain"), kLineSpeed)
                             : port.openDevice(pty.devicePath(), 12345),
              0);
    EXPECT_FALSE(port.isOpen() || !port.devicePath().empty()) << attempt;
    std::uint8_t buffer[12] = {0xEE};
    EXPECT_EQ(port.bytesInQueue() + port.read(buffer, 12) + port.write(buffer, 12), 0u);
    EXPECT_EQ(buffer[0], 0xEE);
    ASSERT_EQ(other.openDevice(pty.devicePath(), kLineSpeed), 1) << "still held";
    other.close();
  }
}

TEST(SerialPortTest, ExclusiveWhileHeldAndReopenedWithAnEmptyQueue) {
  PtyPair pty;
  pty.makeRaw();  // so that bytes sent show as waiting at once
  ScopedEnv env("QUORVANE_COM2", pty.devicePath());
  SerialPort first, second;
  ASSERT_EQ(first.open(2, kLineSpeed), 1);
  EXPECT_EQ(second.open(2, kLineSpeed), 0);
  first.close();
  // An answer nobody read, sent while the port was closed.
  ASSERT_TRUE(pty.send({1, 2, 3, 4, 5}));
  ASSERT_TRUE(pty.waitDelivered(5));
  ASSERT_EQ(second.open(2, kLineSpeed), 1);
  EXPECT_EQ(second.bytesInQueue(), 0u);
  EXPECT_EQ(feed(pty, second, {9}), 1u);
}

TEST_F(OpenPort, ReadTakesAtMostTheLimitAndNeverWaits) {
  const Bytes twenty = sequence(20);
  for (std::size_t waiting : {0, 5, 20}) {
    ASSERT_EQ(feed(pty, port, Bytes(twenty.begin(), twenty.begin() + long(waiting))), waiting);
    Bytes buffer(32, 0xEE);
    const std::size_t taken = std::min<std::size_t>(waiting, 12);
    ASSERT_EQ(port.read(buffer.data(), 12), taken) << waiting;
    EXPECT_TRUE(std::equal(twenty.begin(), twenty.begin() + long(taken), buffer.begin()));
    EXPECT_EQ(buffer[taken], 0xEE);  // nothing beyond the count
    EXPECT_EQ(port.read(buffer.data(), 32), waiting - taken);
  }
}

// FIONREAD on a pty shows at most 4095 bytes; the port's own queue holds
// whole blocks, and once it is full the rest waits in the kernel, in order.
TEST_F(OpenPort, QueuesWholeBlocksAndLeavesWhatDoesNotFitInTheKernel) {
  for (std::size_t size : {kBlockSize, 2 * kBlockSize}) {
    const Bytes data = sequence(size);
    ASSERT_EQ(feed(pty, port, data), size);
    Bytes got(size);
    ASSERT_EQ(port.read(got.data(), static_cast<unsigned>(size)), size);
    EXPECT_EQ(got, data);
  }
  const Bytes data = sequence(kDriverQueueSize + 3000);
  const std::uint64_t start = port.bytesArrived();
  Bytes got;
  for (std::size_t sent = 0, i = 0; got.size() < data.size() && i < 20000; ++i) {
    sent += pty.sendSome(data.data() + sent, data.size() - sent);
    const unsigned queued = port.bytesInQueue();
    // Take from the queue only once it is full, so that it wraps around.
    Bytes chunk(3333);
    if (queued == kDriverQueueSize || (queued > 0 && port.bytesArrived() - start == data.size()))
      got.insert(got.end(), chunk.begin(), chunk.begin() + port.read(chunk.data(), 3333));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(got, data);
}

// The pty stays cooked (echo, CR/LF mapping, XON/XOFF): the port makes it transparent.
TEST_F(OpenPort, EveryByteValuePassesUnchangedBothWaysWithoutBinaryMode) {
  Bytes all(256), got(256);
  std::iota(all.begin(), all.end(), 0);
  ASSERT_EQ(feed(pty, port, all), 256u);
  ASSERT_EQ(port.read(got.data(), 256), 256u);
  EXPECT_EQ(got, all);
  ASSERT_EQ(port.write(all.data(), 256), 256u);
  EXPECT_EQ(pty.receive(256), all);  // and nothing echoed back to the master
  EXPECT_EQ(port.bytesInQueue(), 0u);
}

TEST_F(OpenPort, VanishedFarEndGivesNothingAndWritesFail) {
  pty.closeMaster();
  std::uint8_t buffer[12] = {0xEE};
  EXPECT_EQ(port.bytesInQueue() + port.read(buffer, 12) + port.write(buffer, 12), 0u);
  EXPECT_EQ(buffer[0], 0xEE);
}

// Takes kWriteWaitLimitMs of real time: a far end that never reads.
TEST_F(OpenPort, WriteGivesUpAtItsBoundWithTheCountWritten) {
  const Bytes data(1 << 20, 0x55);
  const unsigned written = port.write(data.data(), static_cast<unsigned>(data.size()));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, data.size());
  EXPECT_EQ(pty.receive(written).size(), written);
}

}  // namespace
}  // namespace quorvane
