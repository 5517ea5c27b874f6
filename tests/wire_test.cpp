// Every frame the PC sends and every answer it takes, as bytes on the line, written out here as the
// loader defines them (not from the code's constants): a changed constant fails here.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "connection/connect_handshake.h"
#include "remote/remote_session.h"
#include "serial/port_map.h"
#include "support/pty_pair.h"
#include "support/recording_view.h"
#include "support/test_support.h"
#include "transfer/read_transfer.h"
#include "transfer/upgrade_transfer.h"

namespace quorvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

// "Halvorne", then param1, command, param2, param3.
Bytes frame(std::uint8_t command, std::uint8_t param1 = 0, std::uint8_t param2 = 0,
            std::uint8_t param3 = 0) {
  return {'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', param1, command, param2, param3};
}
const Bytes kConnectRequest = frame(0x10), kStartRead = frame(0x97), kStartUpgrade = frame(0x99),
            kReadComplete = frame(0x01), kStop = frame(0x02), kAck = frame(0x00);
const auto identOf = [](std::uint8_t modelNumber) { return frame(modelNumber, 0x10); };
// The upgrade's accepted answers of receivers CI and HCI (group C) and of Fta and T (group F).
const std::vector<Bytes> kGroupC = {frame(0xF0), frame(0xF2), frame(0xFF)};
const std::vector<Bytes> kGroupF = {kAck, frame(0x11, 0x11), frame(0xAA)};
constexpr std::size_t kBlock = 4096, kBlocks = 256;  // ModelNumbers 1 and 5: 1 MiB

struct Wire : ::testing::Test {
  void SetUp() override { pty_.makeRaw(); }

  // The receiver says `bytes`; they are waiting on the port before this returns.
  void say(const Bytes& bytes) {
    auto sent = std::async(std::launch::async, [&] { return pty_.send(bytes); });
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (port_.bytesInQueue() < bytes.size() && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(sent.get());
  }
  Bytes heard(std::size_t count) { return pty_.receive(count); }
  // One tick of the timer the machine's next step awaits its bytes on.
  static void step(TickMachine& machine) {
    const std::optional<AwaitedInput> awaited = machine.awaitedInput();
    ASSERT_TRUE(awaited);
    machine.tick(awaited->timerId);
  }

  test::PtyPair pty_;
  test::TempDir dir_;
  CommandPort port_;
  test::RecordingView view_;
  const PortTarget target_ = PortTarget::device(pty_.devicePath());
};

TEST_F(Wire, ConnectRequestAcknowledgedOrStopped) {
  for (const bool acknowledged : {true, false}) {
    ConnectHandshake handshake(port_, view_, target_, [](int) {});
    handshake.start();
    ASSERT_EQ(handshake.step(), kAckPollIntervalMs);
    EXPECT_EQ(heard(12), kConnectRequest);
    say(acknowledged ? kAck : kGroupF[1]);
    while (handshake.step()) continue;
    EXPECT_EQ(handshake.succeeded(), acknowledged);
    EXPECT_EQ(heard(acknowledged ? 0 : 12), acknowledged ? Bytes{} : kStop);
  }
  // Thirteen bytes are never an answer: they stay queued after the 200th poll.
  say(Bytes(13, 0));
  AckWait wait;
  FrameBytes answer{};
  int polls = 0;
  while (wait.poll(port_, answer) == AckWait::Result::Pending) ++polls;
  EXPECT_EQ(polls, kAckPollLimit);
  EXPECT_EQ(port_.bytesInQueue(), 13u);
}

// The receiver's IdentFrame, each block acknowledged with it, read complete after the last.
TEST_F(Wire, ReadTakesIdentAndBlocks) {
  ReadTransfer read(port_, view_, target_, dir_.file("rom.bin"));
  read.start();
  EXPECT_EQ(heard(12), kStartRead);
  say(identOf(5));
  step(read);
  Bytes flash;
  for (std::size_t k = 0; k < kBlocks && !read.finished(); ++k) {
    const Bytes block(kBlock, static_cast<std::uint8_t>(k * 7));
    flash.insert(flash.end(), block.begin(), block.end());
    say(block);
    step(read);
    EXPECT_EQ(heard(12), identOf(5)) << "block " << k;
  }
  EXPECT_EQ(heard(12), kReadComplete);
  ASSERT_TRUE(read.succeeded());
  const std::string tag = "QX_Rom_CIAMD1";
  flash.insert(flash.begin(), tag.begin(), tag.end());
  EXPECT_TRUE(test::readFileBytes(dir_.file("rom.bin")) == flash);
}

// Before each block and after the last one answer of the image's group (or the receiver's own
// IdentFrame); the stop frame ends it. An answer of the other group is refused.
TEST_F(Wire, UpgradeAcceptsItsGroupsAnswers) {
  struct Case {
    std::uint8_t model;
    const char* tag;
    const std::vector<Bytes>& accepted;
    const std::vector<Bytes>& refused;
    MessageId told;
  };
  for (const Case& c :
       {Case{5, "QX_Rom_CIAMD1", kGroupC, kGroupF, MessageId::UpgradeAnswerUnexpectedGroupC},
        Case{1, "QX_RomFtaAMD1", kGroupF, kGroupC, MessageId::UpgradeAnswerUnexpectedGroupF}}) {
    Bytes image(c.tag, c.tag + 13);
    for (std::size_t i = 0; i < kBlocks * kBlock; ++i)
      image.push_back(std::uint8_t(i * 13 + c.model));
    test::writeFileBytes(dir_.file("up.bin"), image);
    UpgradeTransfer upgrade(port_, view_, target_, dir_.file("up.bin"));
    upgrade.start();
    EXPECT_EQ(heard(12), kStartUpgrade);
    for (std::size_t k = 0; k <= kBlocks; ++k) {
      say(k == kBlocks ? identOf(c.model) : c.accepted[k % 3]);
      step(upgrade);
      const auto block = image.begin() + 13 + std::ptrdiff_t(std::min(k, kBlocks - 1) * kBlock);
      ASSERT_TRUE(k == kBlocks || heard(kBlock) == Bytes(block, block + kBlock)) << k;
    }
    EXPECT_EQ(heard(12), kStop);
    EXPECT_TRUE(upgrade.succeeded());
    for (const Bytes& answer : c.refused) {
      UpgradeTransfer refusing(port_, view_, target_, dir_.file("up.bin"));
      refusing.start();
      EXPECT_EQ(heard(12), kStartUpgrade);
      say(answer);
      step(refusing);
      EXPECT_EQ(refusing.failure(), Notice::of(c.told));
      EXPECT_EQ(heard(12), kStop);
    }
  }
}

TEST_F(Wire, KeyFrames) {
  test::ScopedEnv com3(portOverrideVariable(3), pty_.devicePath());
  remote::RemoteSession session;
  std::int32_t portIndex = 0;
  ASSERT_FALSE(session.selectPort(3, portIndex));
  for (const std::uint8_t code : {0x00, 0x06, 0x1F}) {
    session.sendKey(code);
    EXPECT_EQ(heard(12), frame(code, 'J', 'O', 'V'));
  }
}

}  // namespace
}  // namespace quorvane
