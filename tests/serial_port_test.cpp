// SerialPort on a real pseudo-terminal, the test holding the master side.
#include "serial/serial_port.h"

#include <gtest/gtest.h>

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

// Polls the port until at least `count` bytes are queued; the count it saw.
unsigned waitQueued(SerialPort& port, unsigned count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  unsigned queued = port.bytesInQueue();
  while (queued < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    queued = port.bytesInQueue();
  }
  return queued;
}

// Feeds `bytes` from the master while the port drains them into its queue
// (which must have room for them all).
void feed(PtyPair& pty, SerialPort& port, const Bytes& bytes) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::size_t sent = 0;
  const std::uint64_t start = port.bytesArrived();
  while (port.bytesArrived() - start < bytes.size() &&
         std::chrono::steady_clock::now() < deadline) {
    sent += pty.sendSome(bytes.data() + sent, bytes.size() - sent);
    port.bytesInQueue();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

Bytes sequence(std::size_t count) {
  Bytes b(count);
  for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return b;
}

TEST(SerialPortTest, ClosedPortDoesNothing) {
  SerialPort port;
  std::uint8_t buffer[12] = {0xEE};
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.bytesInQueue(), 0u);
  EXPECT_EQ(port.read(buffer, sizeof buffer), 0u);
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(port.write(buffer, sizeof buffer), 0u);
  EXPECT_EQ(port.setBinaryMode(1), 0);
  EXPECT_TRUE(port.devicePath().empty());
  port.close();
  port.close();
}

TEST(SerialPortTest, PortMapDefaultsOverridesAndRejectsLowNumbers) {
  EXPECT_EQ(portOverrideVariable(3), "QUORVANE_COM3");
  EXPECT_FALSE(devicePathForPort(0).has_value());
  EXPECT_FALSE(devicePathForPort(-5).has_value());
  {
    ScopedEnv unset("QUORVANE_COM1", "");
    EXPECT_EQ(devicePathForPort(1).value(), "/dev/ttyS0");
  }
  ScopedEnv env("QUORVANE_COM12", "/dev/ttyUSB0");
  EXPECT_EQ(devicePathForPort(12).value(), "/dev/ttyUSB0");
  EXPECT_EQ(devicePathForPort(portNumberFromIndex(2147483647)).value(), "/dev/ttyS2147483647");

  SerialPort port;
  EXPECT_EQ(port.open(0, kLineSpeed), 0);
  EXPECT_FALSE(port.isOpen());
}

TEST(SerialPortTest, MissingDeviceFailsAndLeavesThePortClosed) {
  PtyPair pty;
  ScopedEnv missing("QUORVANE_COM5", "/nonexistent/quorvane-tty");
  SerialPort port;
  EXPECT_EQ(port.open(5, kLineSpeed), 0);
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.bytesInQueue(), 0u);

  // Failing on an open port closes the old device first, and releases it.
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  EXPECT_EQ(port.devicePath(), pty.devicePath());
  EXPECT_EQ(port.open(5, kLineSpeed), 0);
  EXPECT_FALSE(port.isOpen());
  EXPECT_TRUE(port.devicePath().empty());
  const std::uint8_t byte = 1;
  EXPECT_EQ(port.write(&byte, 1), 0u);
  SerialPort other;
  EXPECT_EQ(other.openDevice(pty.devicePath(), kLineSpeed), 1);
}

TEST(SerialPortTest, ExclusiveWhileHeldReopenableAfterClose) {
  PtyPair pty;
  ScopedEnv env("QUORVANE_COM2", pty.devicePath());
  SerialPort first, second;
  ASSERT_EQ(first.open(2, kLineSpeed), 1);
  EXPECT_EQ(second.open(2, kLineSpeed), 0);
  EXPECT_FALSE(second.isOpen());
  first.close();
  first.close();
  EXPECT_EQ(second.open(2, kLineSpeed), 1);
  second.close();
  EXPECT_EQ(first.open(2, kLineSpeed), 1);
  EXPECT_EQ(first.setBinaryMode(1), 1);
  EXPECT_EQ(first.setBinaryMode(0), 1);
}

TEST(SerialPortTest, ASessionStartsWithoutBytesLeftFromTheLastOne) {
  PtyPair pty;
  pty.makeRaw();
  SerialPort port;
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  port.close();
  // An answer nobody read, sent while the port was closed.
  ASSERT_TRUE(pty.send({1, 2, 3, 4, 5}));
  ASSERT_TRUE(pty.waitDelivered(5));
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  EXPECT_EQ(port.bytesInQueue(), 0u);
  ASSERT_TRUE(pty.send({9}));
  ASSERT_TRUE(pty.waitDelivered(1));
  std::uint8_t byte = 0;
  EXPECT_EQ(port.bytesInQueue(), 1u);
  EXPECT_EQ(port.read(&byte, 1), 1u);
  EXPECT_EQ(byte, 9);
}

TEST(SerialPortTest, RefusesNonTerminalsAndUnknownSpeeds) {
  test::TempDir dir;
  test::writeFileBytes(dir.file("plain"), {1, 2, 3});
  SerialPort port;
  EXPECT_EQ(port.openDevice(dir.file("plain"), kLineSpeed), 0);
  PtyPair pty;
  EXPECT_EQ(port.openDevice(pty.devicePath(), 12345), 0);
  EXPECT_FALSE(port.isOpen());
}

TEST(SerialPortTest, ReadTakesAtMostTheLimitAndNeverWaits) {
  PtyPair pty;
  SerialPort port;
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  std::uint8_t buffer[32];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(port.read(buffer, 12), 0u);
  EXPECT_EQ(buffer[0], 0xEE);

  const Bytes five = {1, 2, 3, 4, 5};
  ASSERT_TRUE(pty.send(five));
  ASSERT_EQ(waitQueued(port, 5), 5u);
  EXPECT_EQ(port.read(buffer, 12), 5u);
  EXPECT_EQ(Bytes(buffer, buffer + 5), five);
  EXPECT_EQ(buffer[5], 0xEE);

  const Bytes twenty = sequence(20);
  ASSERT_TRUE(pty.send(twenty));
  ASSERT_EQ(waitQueued(port, 20), 20u);
  EXPECT_EQ(port.read(buffer, 12), 12u);
  EXPECT_EQ(Bytes(buffer, buffer + 12), Bytes(twenty.begin(), twenty.begin() + 12));
  EXPECT_EQ(port.bytesInQueue(), 8u);
  EXPECT_EQ(port.read(buffer, 32), 8u);
  EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes(twenty.begin() + 12, twenty.end()));
  EXPECT_EQ(port.bytesArrived(), 25u);
}

TEST(SerialPortTest, WholeBlocksAreQueuedAndCountedBeyondWhatFionreadShows) {
  PtyPair pty;
  SerialPort port;
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  for (std::size_t size : {kBlockSize, 2 * kBlockSize}) {
    const Bytes data = sequence(size);
    feed(pty, port, data);
    ASSERT_EQ(port.bytesInQueue(), size);
    Bytes got(size);
    ASSERT_EQ(port.read(got.data(), static_cast<unsigned>(size)), size);
    EXPECT_EQ(got, data);
  }
}

TEST(SerialPortTest, BytesBeyondTheQueueStayInTheKernelInOrder) {
  PtyPair pty;
  SerialPort port;
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  const Bytes data = sequence(kDriverQueueSize + 3000);
  Bytes got;
  std::size_t sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (got.size() < data.size() && std::chrono::steady_clock::now() < deadline) {
    sent += pty.sendSome(data.data() + sent, data.size() - sent);
    const unsigned queued = port.bytesInQueue();
    ASSERT_LE(queued, kDriverQueueSize);
    // Take from the queue only once it is full, so that it wraps around.
    if (queued == kDriverQueueSize ||
        (sent == data.size() && queued > 0 && port.bytesArrived() == data.size())) {
      Bytes chunk(3333);
      const unsigned n = port.read(chunk.data(), static_cast<unsigned>(chunk.size()));
      got.insert(got.end(), chunk.begin(), chunk.begin() + n);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_EQ(got, data);
}

TEST(SerialPortTest, EveryByteValuePassesUnchangedBothWaysWithoutBinaryMode) {
  PtyPair pty;  // a fresh pty is cooked: echo, CR/LF mapping, XON/XOFF
  SerialPort port;
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  Bytes all(256);
  std::iota(all.begin(), all.end(), 0);
  ASSERT_TRUE(pty.send(all));
  ASSERT_EQ(waitQueued(port, 256), 256u);
  Bytes got(300);
  ASSERT_EQ(port.read(got.data(), 300), 256u);
  got.resize(256);
  EXPECT_EQ(got, all);

  ASSERT_EQ(port.write(all.data(), 256), 256u);
  EXPECT_EQ(pty.receive(256), all);  // and nothing echoed back to the master
  EXPECT_EQ(port.bytesInQueue(), 0u);
}

TEST(SerialPortTest, VanishedFarEndGivesNothingAndWritesFail) {
  PtyPair pty;
  SerialPort port;
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  pty.closeMaster();
  std::uint8_t buffer[12] = {0xEE};
  EXPECT_EQ(port.bytesInQueue(), 0u);
  EXPECT_EQ(port.read(buffer, 12), 0u);
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(port.write(buffer, 12), 0u);
  EXPECT_TRUE(port.isOpen());
  port.close();
  EXPECT_FALSE(port.isOpen());
}

// Takes kWriteWaitLimitMs of real time: a far end that never reads.
TEST(SerialPortTest, WriteGivesUpAtItsBoundWithTheCountWritten) {
  PtyPair pty;
  SerialPort port;
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  const Bytes data(1 << 20, 0x55);
  const unsigned written = port.write(data.data(), static_cast<unsigned>(data.size()));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, data.size());
  EXPECT_EQ(pty.receive(written).size(), written);
}

}  // namespace
}  // namespace quorvane
