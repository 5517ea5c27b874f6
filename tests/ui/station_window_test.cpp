// The station window: its command line and settings file, the tile's look
// of every state, the log's CSV, its accessibility and layout, and whole
// runs against emulated receivers.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>

#include "station/ui/profile_panel.h"
#include "station/ui/slot_tile.h"
#include "station/ui/station_setup.h"
#include "station/ui/station_window.h"
#include "station/ui/tile_look.h"
#include "station/ui/unit_log.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/rom_image.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::station {
namespace {

LaunchOptions parse(std::vector<std::string> args, const StationSetup& stored = {}) {
  return parseLaunchOptions(args, stored);
}

TEST(StationCommandLine, SlotsJobAndFlagsOverTheStoredSetup) {
  StationSetup stored;
  stored.slotList = {{1, {}}, {2, {}}};
  stored.image = "old.bin";
  stored.verify = false;
  stored.logFolder = "/logs";

  const LaunchOptions o = parse({"--device", "/dev/ttyUSB0", "--port=3", "upgrade", "new.bin",
                                 "--backup", "/b", "--start", "--lock"},
                                stored);
  ASSERT_EQ(o.error, "");
  EXPECT_TRUE(o.slotsGiven && o.jobGiven && o.start && o.setup.locked);
  EXPECT_EQ(o.setup.slotList, (std::vector<SlotChoice>{{0, "/dev/ttyUSB0"}, {3, {}}}));
  EXPECT_EQ(o.setup.image, "new.bin");
  EXPECT_TRUE(o.setup.verify);  // the window's default, not the stored choice
  EXPECT_EQ(o.setup.backupFolder, "/b");
  EXPECT_EQ(o.setup.logFolder, "/logs");  // kept

  const LaunchOptions read =
      parse({"read", "/units", "--log-dir", "/l", "--max-failures=0", "--confirm"}, stored);
  ASSERT_EQ(read.error, "");
  EXPECT_EQ(read.setup.job, StationJob::Read);
  EXPECT_EQ(read.setup.readFolder, "/units");
  EXPECT_EQ(read.setup.slotList, stored.slotList);
  EXPECT_FALSE(read.slotsGiven);
  EXPECT_EQ(read.setup.maxFailures, 0);
  EXPECT_TRUE(read.setup.confirmEachUnit);
  EXPECT_FALSE(parse({"upgrade", "a.bin", "--no-verify"}).setup.verify);

  EXPECT_TRUE(parse({"--port", "x", "--help"}).help);  // --help answers whatever else is there
  for (const auto& [args, error] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--port", "0"}, "--port needs a COM number from 1 to 255, not \"0\""},
           {{"--device"}, "--device needs a device path"},
           {{"--port", "2", "--port", "2"}, "COM2 given twice"},
           {{"upgrade"}, "the job is \"upgrade IMAGE\" or \"read DIR\""},
           {{"read", "d", "--verify"}, "--verify goes with upgrade IMAGE"},
           {{"--start", "upgrade", "a.bin"}, "--start needs a --port or --device"},
           {{"--port", "1", "--start"}, "--start needs a job: upgrade IMAGE or read DIR"},
           {{"--max-failures", "-1"}, "--max-failures needs a number from 0 on, not \"-1\""},
           {{"--frobnicate"}, "unknown option --frobnicate"}})
    EXPECT_EQ(parse(args).error, error) << args[0];
}

TEST(StationSettings, RoundTripAndADamagedFileStillLoads) {
  StationSetup s;
  s.slotList = {{4, {}}, {0, "/dev/serial/by-id/usb-FTDI_x-if00-port0"}};
  s.job = StationJob::Read;
  s.image = "/img/fta 1.bin";
  s.readFolder = "/units";
  s.verify = false;
  s.backupFolder = "/backup";
  s.logFolder = "/log";
  s.confirmEachUnit = true;
  s.maxFailures = 5;
  s.locked = true;
  s.width = 1200;
  s.height = 800;
  EXPECT_EQ(parseSetupText(setupText(s)), s);

  const StationSetup damaged = parseSetupText(
      "garbage\nslot=COM2\r\nslot=\nslot=COM2\nverify=maybe\nsize=10x\njob=erase\n=x\nlock=1\n");
  EXPECT_EQ(damaged.slotList, (std::vector<SlotChoice>{{2, {}}}));
  EXPECT_TRUE(damaged.verify);
  EXPECT_EQ(damaged.job, StationJob::Upgrade);
  EXPECT_EQ(damaged.width, 0);
  EXPECT_TRUE(damaged.locked);
}

TEST(StationTile, EachStateInWordsColourAndProgress) {
  SlotStatus st;
  st.state = SlotState::Running;
  st.step = "upgrade";
  st.unit = 7;
  st.blocksDone = 100;
  st.blockCount = 256;
  st.secondsLeft = 65.4;
  st.units = 6;
  st.passed = 5;
  st.failed = 1;
  TileLook look = tileLook(st, std::nullopt, true);
  EXPECT_EQ(look.state, "Upgrading");
  EXPECT_EQ(look.detail, "Unit 7, 100/256 blocks, 1:05 left");
  EXPECT_EQ(look.tone, TileTone::Running);
  EXPECT_EQ(look.blocksDone, 100);
  EXPECT_TRUE(look.canStop && !look.canRestart);

  st.state = SlotState::Failed;
  st.message = "no answer1！";
  st.reason = "COM3 (/dev/ttyUSB0): the receiver stopped answering";
  look = tileLook(st, false, true);
  EXPECT_EQ(look.detail, "Unit 7\nCOM3 (/dev/ttyUSB0): the receiver stopped answering");
  EXPECT_EQ(look.blocksDone, -1);
  st.reason.clear();
  EXPECT_EQ(tileLook(st, false, true).detail, "Unit 7\nno answer1！");

  // Remove the receiver keeps the colour of how its unit ended.
  st.state = SlotState::RemoveReceiver;
  EXPECT_EQ(tileLook(st, true, true).tone, TileTone::Passed);
  EXPECT_EQ(tileLook(st, false, true).tone, TileTone::Failed);

  st.state = SlotState::Stopped;
  st.reason = "COM3 (/dev/ttyUSB0): the receiver stopped answering";
  look = tileLook(st, false, true);
  EXPECT_TRUE(!look.canStop && look.canRestart);
  EXPECT_FALSE(tileLook(st, false, false).canRestart);  // the station has ended

  // On screen: the words, the counters, and the same for assistive technology.
  SlotTile tile("COM3", "/dev/ttyUSB0", "FTDI FT232R USB UART");
  tile.show(tileLook(st, false, true));
  EXPECT_EQ(tile.accessibleName(), "COM3");
  EXPECT_EQ(tile.accessibleDescription(),
            "Stopped: no answer1！\nCOM3 (/dev/ttyUSB0): the receiver stopped answering");
  EXPECT_EQ(tile.findChild<QLabel*>("counters")->text(), "units 6 · passed 5 · failed 1");
  EXPECT_EQ(tile.findChild<QLabel*>("state")->buddy(), &tile);
}

TEST(StationLog, CsvQuotesWhatNeedsIt) {
  const std::vector<LogRow> rows = {
      {"2026-12-07 10:00:00", "COM1", 1, "passed", ""},
      {"2026-12-07 10:01:00", "/dev/tty,odd", 2, "failed", "said \"no\"\nthen nothing"}};
  EXPECT_EQ(logCsv(rows),
            "time,slot,unit,outcome,reason\r\n"
            "2026-12-07 10:00:00,COM1,1,passed,\r\n"
            "2026-12-07 10:01:00,\"/dev/tty,odd\",2,failed,\"said \"\"no\"\"\nthen nothing\"\r\n");
}

// Every control Tab reaches has a name for assistive technology; the tiles
// are named by their port; eight slots fit 1024x768 with the profile and
// the log.
TEST(StationWindowLayout, KeyboardNamesAndFit) {
  StationSetup s;
  for (long long n = 1; n <= 8; ++n) s.slotList.push_back({n, {}});
  StationWindow window(s, false);
  window.show();
  ASSERT_EQ(window.tileCount(), 8);
  EXPECT_EQ(window.tile(2)->accessibleName(), "COM3");
  const std::vector<QString> order = test::tabOrder(&window);
  EXPECT_GE(order.size(), 20u);
  for (QWidget* w : window.findChildren<QWidget*>()) {
    if (w->isVisible() && (w->focusPolicy() & Qt::TabFocus)) {
      EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
    }
  }
  // 768 pixels less a title bar, every slot running (its tallest look):
  // two rows of four, nothing to scroll.
  SlotStatus running;
  running.state = SlotState::Running;
  running.step = "upgrade";
  running.blocksDone = 1;
  running.blockCount = 512;
  running.secondsLeft = 100;
  for (int i = 0; i < 8; ++i) window.tile(i)->show(tileLook(running, std::nullopt, true));
  window.resize(1024, 740);
  QApplication::processEvents();
  const auto* tiles = window.findChild<QScrollArea*>("tiles");
  EXPECT_EQ(tiles->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(window.tile(3)->y(), window.tile(0)->y());
  EXPECT_GT(window.tile(4)->y(), window.tile(0)->y());
  EXPECT_GE(window.tile(0)->width(), SlotTile::minimumTileWidth(window.fontMetrics()));
}

// Closing the window keeps its set-up and size in station.conf beside the
// port map; a set-up from the command line only its size.
TEST(StationWindowSettings, KeptAtClose) {
  test::TempDir dir;
  test::ScopedEnv config("XDG_CONFIG_HOME", dir.path().string());
  StationSetup setup;
  setup.slotList = {{2, {}}, {0, "/dev/ttyUSB0"}};
  setup.job = StationJob::Read;
  setup.readFolder = "/units";
  {
    StationWindow window(setup, true);
    window.resize(900, 700);
    EXPECT_TRUE(window.close());
  }
  EXPECT_EQ(stationSettingsPath(), dir.file("quorvane/station.conf"));
  StationSetup kept = setup;
  kept.width = 900;
  kept.height = 700;
  EXPECT_EQ(loadStationSetup(), kept);

  StationSetup other;
  other.slotList = {{1, {}}};
  StationWindow window(other, false);
  window.resize(800, 600);
  EXPECT_TRUE(window.close());
  kept.width = 800;
  kept.height = 600;
  EXPECT_EQ(loadStationSetup(), kept);
}

QString stateOf(const StationWindow& w, int slot) {
  return w.tile(slot)->look().state;
}

// Two slots with a receiver each that is switched off and swapped for the
// next unit under them: four units and a silent one. Each slot's first unit
// is upgraded and verified; then one slot gets a receiver of another type
// (failed, nothing written) while the other gets one that never answers
// (the slot just waits) and then a good one. The tiles' states and
// counters, the log, its CSV and the JSON Lines follow every unit.
TEST(StationWindowRun, FourUnitsOnTwoSlots) {
  test::TempDir dir;
  std::vector<std::uint8_t> flash(std::size_t{kBlocksSmallFlash} * kBlockSize);
  for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<std::uint8_t>(i / 4093 + i);
  ASSERT_FALSE(writeImage(dir.file("fta.bin"), 0, kBlocksSmallFlash, flash.data()));
  test::StartedEmulator a, b;

  StationSetup setup;
  setup.slotList = {{0, a.path()}, {0, b.path()}};
  setup.image = dir.file("fta.bin");
  setup.confirmEachUnit = true;
  setup.logFolder = dir.path().string();
  StationWindow window(setup, false);
  window.show();
  ASSERT_TRUE(window.startStation()) << window.notice()->text().toStdString();
  auto until = [&](const std::function<bool()>& done) { return QTest::qWaitFor(done, 60000); };
  auto nextUnit = [&](int slot) {
    window.tile(slot)->findChild<QAbstractButton*>("nextUnit")->click();
  };
  ASSERT_TRUE(until([&] { return window.log()->rows().size() == 2; }));
  for (int slot : {0, 1}) {
    EXPECT_EQ(stateOf(window, slot), "Passed");
    EXPECT_TRUE(window.tile(slot)->look().canConfirm);
  }
  EXPECT_EQ(a.emulator.flash(), flash);
  EXPECT_EQ(b.emulator.flash(), flash);

  ASSERT_TRUE(a.emulator.swapUnit(3, false));  // another type
  ASSERT_TRUE(b.emulator.swapUnit(std::nullopt, true));
  const std::vector<std::uint8_t> otherFlash = a.emulator.flash();
  for (auto* e : {&a.emulator, &b.emulator}) e->switchOn();
  for (int slot : {0, 1}) nextUnit(slot);
  ASSERT_TRUE(until([&] { return window.log()->rows().size() == 3; }));
  EXPECT_EQ(stateOf(window, 0), "Failed");
  EXPECT_TRUE(window.tile(0)->look().detail.contains("Fta 39 1"))
      << window.tile(0)->look().detail.toStdString();
  EXPECT_EQ(a.emulator.flash(), otherFlash);  // nothing written into another type
  EXPECT_EQ(stateOf(window, 1), "Waiting for a receiver");

  ASSERT_TRUE(b.emulator.swapUnit(std::nullopt, false));
  b.emulator.switchOn();
  ASSERT_TRUE(until([&] { return window.log()->rows().size() == 4; }));
  EXPECT_EQ(stateOf(window, 1), "Passed");
  EXPECT_EQ(b.emulator.unit(), 3);
  EXPECT_EQ(b.emulator.flash(), flash);

  const std::tuple<int, int, int> counters[] = {{2, 1, 1}, {2, 2, 0}};
  for (int slot : {0, 1}) {
    const TileLook& look = window.tile(slot)->look();
    EXPECT_EQ(std::make_tuple(look.units, look.passed, look.failed), counters[slot]) << slot;
  }
  std::vector<std::pair<QString, QString>> seen;
  for (const LogRow& r : window.log()->rows()) seen.push_back({r.slot, r.outcome});
  const QString pa = QString::fromStdString(a.path()), pb = QString::fromStdString(b.path());
  EXPECT_EQ(
      seen,
      (std::vector<std::pair<QString, QString>>{
          {seen[0].first, "passed"}, {seen[1].first, "passed"}, {pa, "failed"}, {pb, "passed"}}));
  SystemError why;
  ASSERT_TRUE(window.log()->save(QString::fromStdString(dir.file("log.csv")), why));
  const auto csv = test::readFileBytes(dir.file("log.csv"));
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 5);
  const auto jsonl = test::readFileBytes(dir.file("station-log.jsonl"));
  EXPECT_EQ(std::count(jsonl.begin(), jsonl.end(), '\n'), 4);

  window.stopStation();
  EXPECT_FALSE(window.running());
  EXPECT_EQ(stateOf(window, 0), "Stopped");
}

}  // namespace
}  // namespace quorvane::station
