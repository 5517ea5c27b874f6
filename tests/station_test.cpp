// A station slot's cycle, tick by tick on a virtual clock against an emulated receiver: each
// receiver taken once, the next only after the loader's silence, failures in a row that stop the
// slot, a silent read, a stop in a transfer, an adapter pulled out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "station/slot_cycle.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/rom_type.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // designated initializers

namespace quorvane::station {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::StartedEmulator;
using test::TempDir;

// A slot's host on a virtual clock: every timer ticks at its due time, the receiver settled
// before each tick, so a run is the same however loaded the machine is.
struct Bench : ::testing::Test, SlotHost, StationObserver {
  struct Timer {
    long long due;
    int period;
  };

  void slotTimer(int, int id, int period) override {
    if (period < 0)
      timers.erase(id);
    else
      timers[id] = {now + period, period};
  }
  long long nextUnit(int) override { return ++units; }
  void slotChanged(int, const SlotStatus& s) override { states.push_back(s.state); }
  void unitEnded(int, const UnitRecord& r, bool) override { records.push_back(r); }
  StationObserver& observer() override { return *this; }
  void unitEnded(const UnitRecord&) override {}

  SlotCycle& slot(const StationProfile& p, const std::string& path) {
    profile = p;
    cycle = std::make_unique<SlotCycle>(profile, image, *this, 0, PortTarget::device(path), "A");
    cycle->start();
    return *cycle;
  }
  // Runs `ms` of virtual time; a step whose awaited bytes are there takes none, as on arrival.
  void run(emu::ReceiverEmulator& e, long long ms) {
    const long long end = now + ms;
    for (;;) {
      test::settle(e, cycle->port());
      const std::optional<AwaitedInput> awaited = cycle->awaitedInput();
      if (awaited && cycle->port().queuedBytes() >= std::max(awaited->bytes, 1u)) {
        cycle->tick(awaited->timerId);
        continue;
      }
      const auto next = std::min_element(timers.begin(), timers.end(), [](auto& a, auto& b) {
        return a.second.due < b.second.due;
      });
      if (next == timers.end() || next->second.due > end) break;
      now = next->second.due;
      next->second.due += next->second.period;
      cycle->tick(next->first);
    }
    now = end;
  }
  SlotState state() const { return cycle->status().state; }

  TempDir dir;
  StationProfile profile;
  std::optional<LoadedImage> image;
  std::unique_ptr<SlotCycle> cycle;
  std::map<int, Timer> timers;
  long long now = 0;
  long long units = 0;
  std::vector<SlotState> states;
  std::vector<UnitRecord> records;
};

const emu::FaultPlan kOff = {.silence = emu::FaultPoint::afterStart()};

TEST_F(Bench, EachReceiverIsTakenOnceAndTheNextOnlyAfterFifteenSecondsOfSilence) {
  StartedEmulator receiver({.modelNumber = 3});
  auto& e = receiver.emulator;
  slot({.job = StationJob::Read, .readDir = dir.file(".")}, receiver.path());
  run(e, 1000);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].job.result, "ok");
  EXPECT_EQ(records[0].unit, 1);
  const Bytes file = test::readFileBytes(unitFilePath(dir.file("."), 1));
  const Bytes flash = e.flash();
  ASSERT_EQ(file.size(), kTagSize + flash.size());
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), file.begin() + kTagSize));

  // Left in its loader, it answers again and again: never a second unit.
  run(e, 60000);
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(state(), SlotState::RemoveReceiver);
  // Switched off: 14 s of silence are not enough, 16 s are.
  e.setFaults(kOff);
  run(e, 14000);
  EXPECT_EQ(state(), SlotState::RemoveReceiver);
  run(e, 2000);
  EXPECT_EQ(state(), SlotState::Waiting);
  e.setFaults({});
  run(e, 1000);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].unit, 2);
  EXPECT_EQ(cycle->status().passed, 2);
}

TEST_F(Bench, FailuresInARowStopTheSlotAPassResetsThemAndAnotherTypeGetsNothingWritten) {
  StartedEmulator receiver({.modelNumber = 1});
  auto& e = receiver.emulator;
  const Bytes flash(std::size_t{kBlocksSmallFlash} * kBlockSize, 0x5A);
  // The image of model `n` (1 fits the receiver, 3 does not), loaded as the station loads it.
  const auto useImage = [&](int n) {
    Bytes data = flash;
    data.insert(data.begin(), romType(n - 1).tagText.begin(), romType(n - 1).tagText.end());
    test::writeFileBytes(dir.file("rom.bin"), data);
    image = LoadedImage{n - 1, kBlocksSmallFlash, data};
  };
  useImage(3);
  slot({.job = StationJob::Upgrade, .imagePath = dir.file("rom.bin"), .maxFailures = 2},
       receiver.path());
  // Units: another type, the right one, another type, another type.
  for (const int model : {3, 1, 3, 3}) {
    useImage(model);
    e.setFaults({});
    run(e, 2000);
    e.setFaults(kOff);
    run(e, 16000);
  }
  ASSERT_EQ(records.size(), 4u);
  for (const std::size_t i : {0u, 2u, 3u}) {
    EXPECT_EQ(records[i].job.result, "failed") << i;
    EXPECT_EQ(records[i].job.blocksDone, 0) << i;
    EXPECT_EQ(records[i].job.typeQuery, "Fta 29 1") << i;
    EXPECT_NE(records[i].job.reason.find("Fta 39 1"), std::string::npos) << records[i].job.reason;
  }
  EXPECT_EQ(records[1].job.result, "ok");
  EXPECT_EQ(e.flash(), flash);
  EXPECT_EQ(e.blocksReceived(), kBlocksSmallFlash);  // from the one upgrade only
  EXPECT_EQ(state(), SlotState::Stopped);
  EXPECT_EQ(cycle->status().failuresInRow, 2);
  EXPECT_NE(cycle->status().message.find("2 failures in a row"), std::string::npos);
  // A stopped slot asks nothing more.
  const std::size_t frames = e.framesReceived().size();
  e.setFaults({});
  run(e, 5000);
  EXPECT_EQ(e.framesReceived().size(), frames);
}

TEST_F(Bench, ASilentReadFailsAStopInATransferWritesNothingAndAPulledAdapterIsNoDevice) {
  StartedEmulator receiver(
      {.modelNumber = 1, .faults = {.silence = emu::FaultPoint::afterBlock(3)}});
  auto& e = receiver.emulator;
  slot({.job = StationJob::Read, .readDir = dir.file(".")}, receiver.path());
  run(e, 5000);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].job.result, "failed");
  EXPECT_EQ(records[0].job.message, noticeText(Notice::of(MessageId::ReadBlockTimedOut)));
  EXPECT_EQ(records[0].job.blocksDone, 4);
  // The next unit, stopped in its read: the stop frame, no file, a cancelled record.
  e.setFaults(kOff);
  run(e, 16000);
  e.setFaults({.silence = emu::FaultPoint::afterBlock(3)});
  run(e, 1000);
  ASSERT_EQ(state(), SlotState::Running);
  cycle->stop("stopped by the operator");
  ASSERT_TRUE(e.waitUntil([&] { return e.framesReceived().back() == kStopFrame; }));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].job.result, "cancelled");
  EXPECT_TRUE(std::filesystem::is_empty(dir.file(".")));
  // Waiting again; the adapter is pulled out.
  cycle->restart();
  EXPECT_EQ(state(), SlotState::Waiting);
  e.vanish();
  run(e, 2000);
  EXPECT_EQ(state(), SlotState::NoDevice);
  EXPECT_TRUE(timers.count(kRetryTimerId));
}

}  // namespace
}  // namespace quorvane::station
