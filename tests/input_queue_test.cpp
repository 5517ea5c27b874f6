// The serial port's own input queue: its edges (fuzz/input_queue_fuzz.cpp
// checks random sequences against a deque), and SerialPort's queue and
// write logic over a stand-in device, without any real device.
#include "serial/input_queue.h"

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

TEST(InputQueueTest, FillsInPlaceInTwoPiecesAcrossTheWrapAndStopsWhenFull) {
  InputQueue q(8);
  const Bytes in{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Bytes out(10, 0xEE);
  ASSERT_EQ(q.push(in.data(), 6), 6u);
  ASSERT_EQ(q.pop(out.data(), 5), 5u);  // one byte left, two free cells at the end
  ASSERT_EQ(q.freeRegion().size(), 2u);
  std::fill_n(q.freeRegion().begin(), 2, 20);
  q.commit(2);
  ASSERT_EQ(q.freeRegion().size(), 5u);  // then the wrapped rest
  std::fill_n(q.freeRegion().begin(), 5, 30);
  q.commit(99);  // clamped to the region
  EXPECT_EQ(q.push(in.data(), 10), 0u);
  EXPECT_TRUE(q.freeRegion().empty());
  q.commit(5);  // nothing to commit into
  EXPECT_EQ(q.pop(out.data(), 10), 8u);
  EXPECT_EQ(out, (Bytes{6, 20, 20, 30, 30, 30, 30, 30, 0xEE, 0xEE}));

  InputQueue none(0);
  EXPECT_EQ(none.push(in.data(), 3) + none.pop(out.data(), 3) + none.freeRegion().size(), 0u);
}

// A device that hands over what "arrived" at most `piece` bytes a call, as
// a driver that never reports more than 4095 waiting bytes does, and takes
// at most `piece` bytes a write until `writeFailsAfter` bytes.
struct FakeDevice final : SerialDevice {
  Bytes pending, written;
  std::size_t piece = 4095;
  std::size_t writeFailsAfter = SIZE_MAX;
  int silentReads = 0;  // calls that see nothing yet

  std::size_t readSome(std::span<std::uint8_t> into, SystemError&) override {
    if (silentReads > 0) {
      --silentReads;
      return 0;
    }
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

// A whole block shows as waiting at once, however small the pieces the
// device hands over; what does not fit stays with the device, in order.
TEST(SerialPortQueueTest, WholeBlocksWaitingFromPiecesSmallerThanABlock) {
  for (std::size_t piece : {std::size_t{4095}, std::size_t{1000}, std::size_t{1}}) {
    SCOPED_TRACE(piece);
    SerialPort port;
    auto owned = std::make_unique<FakeDevice>();
    FakeDevice& device = *owned;
    device.piece = piece;
    ASSERT_EQ(port.attach(std::move(owned), "fake"), 1);

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
    auto owned = std::make_unique<FakeDevice>();
    FakeDevice& device = *owned;
    device.writeFailsAfter = failsAfter;
    EXPECT_EQ(port.attach(nullptr, "none"), 0);
    ASSERT_EQ(port.attach(std::move(owned), "fake"), 1);
    const unsigned n = port.write(data.data(), static_cast<unsigned>(data.size()));
    EXPECT_EQ(n, std::min(data.size(), failsAfter));
    EXPECT_TRUE(std::equal(device.written.begin(), device.written.end(), data.begin()));
    EXPECT_EQ(port.lastError().failed(), failsAfter < data.size());
  }
}

// A device without an arrival handle is looked at again and again: the
// wait ends when its bytes show, long before its time-out.
TEST(SerialPortQueueTest, PortWaiterPollsADeviceItCannotWaitOn) {
  SerialPort port, closed;
  auto owned = std::make_unique<FakeDevice>();
  owned->pending = {1, 2, 3};
  owned->silentReads = 3;
  ASSERT_EQ(port.attach(std::move(owned), "fake"), 1);
  SerialPort* ports[] = {&closed, &port};
  PortWaiter waiter;
  EXPECT_EQ(waiter.wait(ports, 600000), std::vector<std::size_t>{1});
  EXPECT_EQ(port.bytesInQueue(), 3u);
}

}  // namespace
}  // namespace quorvane
