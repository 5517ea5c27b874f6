// SerialPort's input queue and writes over a stand-in device; random runs: fuzz/input_queue_fuzz.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "serial/port_waiter.h"
#include "serial/protocol.h"
#include "serial/serial_device.h"
#include "serial/serial_port.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Hands over and takes at most `piece` bytes a call (a driver reports 4095 waiting at most).
struct FakeDevice final : SerialDevice {
  Bytes pending, written;
  std::size_t piece = 4095, writeFailsAfter = SIZE_MAX;
  int silentReads = 0;  // calls that see nothing yet

  std::size_t readSome(std::span<std::uint8_t> into, SystemError&) override {
    if (silentReads > 0 && silentReads--) return 0;
    const std::size_t n = std::min({into.size(), piece, pending.size()});
    std::copy_n(pending.begin(), n, into.begin());
    pending.erase(pending.begin(), pending.begin() + long(n));
    return n;
  }
  std::size_t writeSome(std::span<const std::uint8_t> bytes, int, SystemError& error) override {
    if (written.size() >= writeFailsAfter) {
      error = SystemError::of("write", ErrorKind::Other);
      return 0;
    }
    const std::size_t n = std::min({bytes.size(), piece, writeFailsAfter - written.size()});
    written.insert(written.end(), bytes.begin(), bytes.begin() + long(n));
    return n;
  }
  bool setBinary(bool, SystemError&) override { return true; }
  LineState hardwareFlowControl() override { return LineState::Unknown; }
  LineState clearToSend() override { return LineState::Unknown; }
  ArrivalHandle armArrival() override { return kNoArrivalHandle; }
};

Bytes sequence(std::size_t count) {
  Bytes b(count);
  for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return b;
}

FakeDevice& attachFake(SerialPort& port) {
  auto owned = std::make_unique<FakeDevice>();
  FakeDevice& device = *owned;
  EXPECT_EQ(port.attach(std::move(owned), "fake"), 1);
  return device;
}

// A whole block shows at once, however small the device's pieces; what doesn't fit stays, in order.
TEST(SerialPortQueueTest, WholeBlocksWaitingFromPiecesSmallerThanABlock) {
  for (std::size_t piece : {std::size_t{4095}, std::size_t{1000}, std::size_t{1}}) {
    SCOPED_TRACE(piece);
    SerialPort port;
    FakeDevice& device = attachFake(port);
    device.piece = piece;
    device.pending = sequence(kBlockSize);
    EXPECT_EQ(port.bytesInQueue(), kBlockSize);
    const Bytes data = sequence(kDriverQueueSize + 3000);
    device.pending = data;
    Bytes got(kBlockSize);
    ASSERT_EQ(port.read(got.data(), static_cast<unsigned>(kBlockSize)), kBlockSize);
    EXPECT_EQ(got, sequence(kBlockSize));
    got.clear();
    while (port.bytesInQueue() > 0) {
      EXPECT_EQ(port.bytesInQueue(), std::min(kDriverQueueSize, data.size() - got.size()));
      Bytes chunk(3333);
      chunk.resize(port.read(chunk.data(), 3333));
      got.insert(got.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(got, data);
    EXPECT_EQ(port.bytesArrived(), kBlockSize + data.size());
  }
}

TEST(SerialPortQueueTest, WritesLoopOverPartsAndKeepTheDevicesReason) {
  const Bytes data = sequence(5000);
  for (std::size_t failsAfter : {SIZE_MAX, std::size_t{4500}}) {
    SerialPort port;
    EXPECT_EQ(port.attach(nullptr, "none"), 0);
    FakeDevice& device = attachFake(port);
    device.writeFailsAfter = failsAfter;
    const unsigned n = port.write(data.data(), static_cast<unsigned>(data.size()));
    EXPECT_EQ(n, std::min(data.size(), failsAfter));
    EXPECT_TRUE(std::equal(device.written.begin(), device.written.end(), data.begin()));
    EXPECT_EQ(port.lastError().failed(), failsAfter < data.size());
  }
}

// A device without an arrival handle is polled: the wait ends when its bytes show, not at time-out.
TEST(SerialPortQueueTest, PortWaiterPollsADeviceItCannotWaitOn) {
  SerialPort port, closed;
  FakeDevice& device = attachFake(port);
  device.pending = {1, 2, 3};
  device.silentReads = 3;
  const PortWatch ports[] = {{&closed}, {&port}};
  PortWaiter waiter;
  EXPECT_EQ(waiter.wait(ports, 600000), std::vector<std::size_t>{1});
  EXPECT_EQ(port.bytesInQueue(), 3u);
}

}  // namespace
}  // namespace quorvane
