// MachineLoop: due ticks earliest first with missed periods skipped, steps on arrival, and the
// dialogs' pace that waits for ticks only. Clients on real ptys, the test holding the master.
#include "machine/machine_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "serial/protocol.h"
#include "serial/serial_port.h"
#include "support/pty_pair.h"

using namespace quorvane;
using quorvane::test::PtyPair;

namespace {

constexpr int kAnswerTimer = 3;
constexpr unsigned kAnswerBytes = 12;

// Logs its ticks in `log`; while `port` is set it awaits an answer there and takes it on a tick.
struct Client final : LoopClient {
  explicit Client(std::vector<const Client*>& ticks) : log(ticks) {}
  void onTimer(int timerId) override {
    log.push_back(this);
    if (port && timerId == kAnswerTimer && port->bytesInQueue() >= kAnswerBytes) answered = true;
  }
  bool done() const override { return finished; }
  std::optional<AwaitedArrival> awaited() override {
    if (!port || answered) return std::nullopt;
    return AwaitedArrival{port, kAnswerTimer, kAnswerBytes};
  }
  SerialPort* port = nullptr;
  bool answered = false;
  bool finished = false;
  std::vector<const Client*>& log;
};

TEST(MachineLoopTest, DueTicksEarliestFirstOncePerLateTickAndNoneForADoneClient) {
  std::vector<const Client*> ticks;
  Client late(ticks), early(ticks), done(ticks);
  late.startTimer(1, 20);
  early.startTimer(1, 10);
  done.startTimer(1, 10);
  done.finished = true;
  MachineLoop loop;
  for (Client* c : {&late, &early, &done}) loop.add(*c);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto once = [] { return false; };  // the due ticks only, no wait
  loop.pump(0, once);
  loop.pump(0, once);  // the periods missed while asleep are skipped, not made up for
  // Earliest deadline first: `early` was due 10 ms after it started, `late` 20 ms.
  EXPECT_EQ(ticks, (std::vector<const Client*>{&early, &late}));
}

TEST(MachineLoopTest, AnAnswerStepsAtOnceOnArrivalPaceAndWaitsForItsTickOnTicksPace) {
  PtyPair pty;
  SerialPort port;
  ASSERT_EQ(port.openDevice(pty.devicePath(), kLineSpeed), 1);
  const std::vector<std::uint8_t> answer(kAnswerBytes, 0x5a);
  for (const MachineLoop::Pace pace : {MachineLoop::Pace::Ticks, MachineLoop::Pace::Arrival}) {
    SCOPED_TRACE(pace == MachineLoop::Pace::Ticks ? "ticks" : "arrival");
    std::vector<const Client*> ticks;
    Client client(ticks);
    client.port = &port;
    client.startTimer(kAnswerTimer, 600000);  // far beyond the test: only an arrival steps
    MachineLoop loop(pace);
    loop.add(client);
    // The answer comes while the loop waits.
    std::jthread sender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      pty.send(answer);
    });
    loop.pump(pace == MachineLoop::Pace::Ticks ? 200 : 60000, [&] { return !client.answered; });
    sender.join();
    EXPECT_EQ(client.answered, pace == MachineLoop::Pace::Arrival);
    EXPECT_TRUE(client.timerRunning(kAnswerTimer));
    std::vector<std::uint8_t> sink(64);
    while (port.bytesInQueue() > 0) port.read(sink.data(), unsigned(sink.size()));
  }
}

}  // namespace
