// SerialPort and PortWaiter on real ptys, the test holding the master; the queue: input_queue_test.
#include "serial/serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "serial/port_map.h"
#include "serial/port_waiter.h"
#include "serial/protocol.h"
#include "support/pty_pair.h"
#include "support/test_support.h"

namespace quorvane {
namespace {

using test::PtyPair;
using test::ScopedEnv;
using Bytes = std::vector<std::uint8_t>;

// Sends `bytes` from the master, lets the port drain them into its queue; returns its count.
unsigned feed(PtyPair& pty, SerialPort& port, const Bytes& bytes) {
  const std::uint64_t until = port.bytesArrived() + bytes.size();
  EXPECT_TRUE(pty.send(bytes));
  for (int i = 0; i < 5000 && (port.bytesInQueue(), port.bytesArrived() < until); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return port.bytesInQueue();
}

// Sends `bytes` from the master 20 ms from now, while the caller waits.
std::jthread sendLater(PtyPair& pty, Bytes bytes) {
  return std::jthread([&pty, bytes] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty.send(bytes);
  });
}

// Runs `attempt` in a child as the user nobody: its ErrorKind, or nothing if root can't be dropped.
std::optional<ErrorKind> asNobody(const std::function<ErrorKind()>& attempt) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(99);
    ::_exit(static_cast<int>(attempt()));
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) == 99)
    return std::nullopt;
  return static_cast<ErrorKind>(WEXITSTATUS(status));
}

struct OpenPort : ::testing::Test {
  void SetUp() override { ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1); }
  PtyPair pty;
  SerialPort port;
};

TEST(SerialPortTest, PortMapDefaultsAndOverrides) {
  test::TempDir config;  // no map file
  ScopedEnv xdg("XDG_CONFIG_HOME", config.path());
  {
    ScopedEnv unset("QUORVANE_COM1", "");
    EXPECT_EQ(devicePathForPort(1).value(), "/dev/ttyS0");
  }
  ScopedEnv env("QUORVANE_COM12", "/dev/ttyUSB0");
  EXPECT_EQ(devicePathForPort(12).value(), "/dev/ttyUSB0");
  EXPECT_EQ(devicePathForPort(portNumberFromIndex(2147483647)).value(), "/dev/ttyS2147483647");
}

// A failed open leaves the port closed and inert, the device released, its reason told; so a probe.
TEST_F(OpenPort, FailedOpenKeepsItsReasonAndLeavesThePortClosedAndInert) {
  test::TempDir dir;
  test::writeFileBytes(dir.file("plain"), {1, 2, 3});
  ScopedEnv missing("QUORVANE_COM5", "/nonexistent/quorvane-tty");
  PtyPair heldPty;
  SerialPort holder;
  ASSERT_EQ(holder.openDevice(heldPty.devicePath(), kLineSpeed), 1);
  struct Case {
    const char* name;
    std::function<int(SerialPort&)> open;
    std::string probed;  // the same device for probeDevice, if any
    ErrorKind kind;
  };
  const Case cases[] = {
      {"missing device", [](SerialPort& p) { return p.open(5, kLineSpeed); },
       "/nonexistent/quorvane-tty", ErrorKind::NotFound},
      {"COM0", [](SerialPort& p) { return p.open(0, kLineSpeed); }, "", ErrorKind::NoSuchPort},
      {"plain file", [&](SerialPort& p) { return p.openDevice(dir.file("plain"), kLineSpeed); },
       dir.file("plain"), ErrorKind::NotATerminal},
      {"/dev/null", [](SerialPort& p) { return p.openDevice("/dev/null", kLineSpeed); },
       "/dev/null", ErrorKind::NotATerminal},
      {"held by another port",
       [&](SerialPort& p) { return p.openDevice(heldPty.devicePath(), kLineSpeed); },
       heldPty.devicePath(), ErrorKind::Busy},
      {"unknown speed", [&](SerialPort& p) { return p.openDevice(pty.devicePath(), 12345); }, "",
       ErrorKind::Other},
  };
  SerialPort other;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
    EXPECT_EQ(c.open(port), 0);
    EXPECT_EQ(port.lastError().kind, c.kind) << port.lastError().message();
    EXPECT_FALSE(port.lastError().message().empty());
    EXPECT_FALSE(port.isOpen() || !port.devicePath().empty());
    std::uint8_t buffer[12] = {0xEE};
    EXPECT_EQ(port.bytesInQueue() + port.read(buffer, 12) + port.write(buffer, 12) +
                  static_cast<unsigned>(port.setBinaryMode(1)),
              0u);
    EXPECT_EQ(buffer[0], 0xEE);
    ASSERT_EQ(other.openDevice(pty.devicePath(), kLineSpeed), 1) << "still held";
    other.close();
    if (!c.probed.empty()) {
      const DeviceProbe probe = probeDevice(c.probed);
      EXPECT_FALSE(probe.openable);
      EXPECT_EQ(probe.error.kind, c.kind);
    }
  }
}

// Without root: a device this user may not open, and one held with TIOCEXCL.
TEST(SerialPortTest, AsAnotherUserPermissionDeniedAndBusyAreToldApart) {
  PtyPair denied, held;
  ASSERT_EQ(::chmod(denied.devicePath().c_str(), 0600), 0);
  ASSERT_EQ(::chmod(held.devicePath().c_str(), 0666), 0);
  SerialPort holder;
  ASSERT_EQ(holder.openDevice(held.devicePath(), kLineSpeed), 1);
  const std::pair<const PtyPair*, ErrorKind> cases[] = {{&denied, ErrorKind::PermissionDenied},
                                                        {&held, ErrorKind::Busy}};
  for (const auto& [pty, kind] : cases) {
    const std::string path = pty->devicePath();
    const auto got = asNobody([&] {
      SerialPort port;
      const ErrorKind opened =
          port.openDevice(path, kLineSpeed) ? ErrorKind::None : port.lastError().kind;
      return probeDevice(path).error.kind == opened ? opened : ErrorKind::Other;
    });
    if (!got) GTEST_SKIP() << "cannot run as another user here";
    EXPECT_EQ(*got, kind) << path;
  }
}

// An answer nobody read, sent while the port was closed, is not taken for one.
TEST(SerialPortTest, ReopenedWithAnEmptyQueue) {
  PtyPair pty;
  pty.makeRaw();  // so that bytes sent show as waiting at once
  ScopedEnv env("QUORVANE_COM2", pty.devicePath());
  SerialPort port;
  ASSERT_TRUE(pty.send({1, 2, 3, 4, 5}));
  ASSERT_TRUE(pty.waitDelivered(5));
  ASSERT_EQ(port.open(2, kLineSpeed), 1);
  EXPECT_FALSE(port.lastError().failed());
  EXPECT_EQ(port.bytesInQueue(), 0u);
  EXPECT_EQ(feed(pty, port, {9}), 1u);
}

// A probe lets go: the line stays cooked, the device free again; a pty has no modem lines to tell.
TEST_F(OpenPort, ProbeAndLineDiagnosticsOnADeviceWithoutModemLines) {
  EXPECT_EQ(port.hardwareFlowControl(), LineState::Unknown);
  EXPECT_EQ(port.clearToSend(), LineState::Unknown);
  port.close();
  PtyPair cooked;
  const DeviceProbe probe = probeDevice(cooked.devicePath());
  EXPECT_TRUE(probe.openable);
  EXPECT_FALSE(probe.error.failed());
  EXPECT_EQ(probe.hardwareFlowControl, LineState::Unknown);
  EXPECT_EQ(probe.clearToSend, LineState::Unknown);
  termios t{};
  const int fd = ::open(cooked.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  EXPECT_NE(t.c_lflag & ICANON, 0u);
  EXPECT_EQ(port.openDevice(cooked.devicePath(), kLineSpeed), 1);
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

// Bytes from before the hang-up are still read; then a disconnection, kept over later failures.
TEST_F(OpenPort, VanishedFarEndIsADisconnectionThatLasts) {
  pty.makeRaw();
  ASSERT_EQ(feed(pty, port, {7, 8}), 2u);
  pty.closeMaster();
  std::uint8_t buffer[12] = {0xEE};
  EXPECT_EQ(port.read(buffer, 12), 2u);
  EXPECT_EQ(port.bytesInQueue() + port.read(buffer, 12) + port.write(buffer, 12), 0u);
  EXPECT_EQ(buffer[0], 7);
  EXPECT_TRUE(port.disconnected()) << port.lastError().message();
}

// Close puts back the line as it was found: cooked, at its old speed.
TEST_F(OpenPort, CloseRestoresTheLineSettingsItFound) {
  const int fd = ::open(pty.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios before{}, during{}, after{};
  port.close();
  ASSERT_EQ(::tcgetattr(fd, &before) + ::cfsetspeed(&before, B9600), 0);
  ASSERT_EQ(::tcsetattr(fd, TCSANOW, &before), 0);
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  ::tcgetattr(fd, &during);
  port.close();
  ::tcgetattr(fd, &after);
  ::close(fd);
  EXPECT_EQ(during.c_lflag & ICANON, 0u);
  EXPECT_EQ(std::tie(after.c_lflag, after.c_iflag, after.c_oflag),
            std::tie(before.c_lflag, before.c_iflag, before.c_oflag));
  EXPECT_EQ(::cfgetospeed(&after), speed_t{B9600});
}

// Takes kWriteWaitLimitMs of real time: a far end that never reads.
TEST_F(OpenPort, WriteGivesUpAtItsBoundWithTheCountWrittenAndTimedOut) {
  const Bytes data(1 << 20, 0x55);
  const unsigned written = port.write(data.data(), static_cast<unsigned>(data.size()));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, data.size());
  EXPECT_TRUE(port.lastError().isTimedOut()) << port.lastError().message();
  EXPECT_EQ(pty.receive(written).size(), written);
}

// PortWaiter: ports 0 and 1 open on ptys, 2 closed, 3 null.
struct Waiting : ::testing::Test {
  void SetUp() override {
    for (int i = 0; i < 2; ++i) ASSERT_EQ(open[i].openDevice(pty[i].devicePath(), kLineSpeed), 1);
  }
  std::vector<std::size_t> wait(int timeoutMs, unsigned wanted1 = 1) {
    const PortWatch ports[] = {{&open[0]}, {&open[1], wanted1}, {&closed}, {nullptr}};
    return waiter.wait(ports, timeoutMs);
  }
  PtyPair pty[2];
  SerialPort open[2], closed;
  PortWaiter waiter;
};

TEST_F(Waiting, SilenceTimesOutAndAVanishedDeviceIsNeverReady) {
  EXPECT_TRUE(wait(50).empty());
  pty[0].closeMaster();
  EXPECT_TRUE(wait(50).empty());
  EXPECT_FALSE(waiter.lastError().failed());
}

TEST_F(Waiting, ReadyOnArrivalAndAtOnceWhileAQueueHoldsBytes) {
  // Far longer than the test may take: only an arrival ends the wait.
  constexpr int kLong = 60000;
  const std::jthread sender = sendLater(pty[1], {1, 2, 3});
  EXPECT_EQ(wait(kLong), std::vector<std::size_t>{1});
  // All three bytes in port 1's own queue, none left in the kernel.
  for (int i = 0; i < 5000 && open[1].bytesInQueue() < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(open[1].bytesInQueue(), 3u);
  EXPECT_EQ(wait(kLong), std::vector<std::size_t>{1});
  ASSERT_TRUE(pty[0].send({7}));
  ASSERT_TRUE(pty[0].waitDelivered(1));
  EXPECT_EQ(wait(kLong), (std::vector<std::size_t>{0, 1}));
}

TEST_F(Waiting, ReadyOnlyOnceAPortHoldsTheBytesWanted) {
  ASSERT_TRUE(pty[1].send({1, 2, 3}));
  ASSERT_TRUE(pty[1].waitDelivered(3));
  EXPECT_TRUE(wait(50, 5).empty());  // 3 of 5: watched on
  const std::jthread sender = sendLater(pty[1], {4, 5});
  EXPECT_EQ(wait(60000, 5), std::vector<std::size_t>{1});
  EXPECT_EQ(open[1].bytesInQueue(), 5u);
}

// More ports than can be waited on at once: the ones beyond are looked at in turn.
TEST(ManyPorts, BytesOnThePortsBeyondTheWaitedOnesAreSeen) {
  constexpr std::size_t kPorts = kMaxArrivalHandles + 2;
  std::vector<std::unique_ptr<PtyPair>> ptys;
  std::vector<SerialPort> ports(kPorts);
  std::vector<PortWatch> watches;
  for (SerialPort& port : ports) {
    ptys.push_back(std::make_unique<PtyPair>());
    ASSERT_EQ(port.openDevice(ptys.back()->devicePath(), kLineSpeed), 1);
    watches.push_back({&port});
  }
  PortWaiter waiter;
  for (const std::size_t last : {kPorts - 1, std::size_t{0}}) {
    const std::jthread sender = sendLater(*ptys[last], {1});
    EXPECT_EQ(waiter.wait(watches, 5000), std::vector<std::size_t>{last});
    std::uint8_t byte = 0;
    ASSERT_EQ(ports[last].read(&byte, 1), 1u);
  }
}

}  // namespace
}  // namespace quorvane
