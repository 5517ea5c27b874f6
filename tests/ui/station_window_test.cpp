// The station window: its command line and settings file, the tile's look
// of every state, the log's CSV, its accessibility and layout, and whole
// runs against emulated receivers.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <filesystem>
#include <fstream>

#include "station/ui/profile_panel.h"
#include "station/ui/slot_tile.h"
#include "station/ui/station_setup.h"
#include "station/ui/station_window.h"
#include "station/ui/tile_look.h"
#include "station/ui/unit_log.h"
#include "support/test_support.h"
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

  const LaunchOptions read = parse({"read", "/units", "--log-dir", "/l"}, stored);
  ASSERT_EQ(read.error, "");
  EXPECT_EQ(read.setup.job, StationJob::Read);
  EXPECT_EQ(read.setup.readFolder, "/units");
  EXPECT_EQ(read.setup.slotList, stored.slotList);
  EXPECT_FALSE(read.slotsGiven);
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
  EXPECT_EQ(look.detail,
            "Unit 7\nno answer1！\nCOM3 (/dev/ttyUSB0): the receiver stopped answering");
  EXPECT_EQ(look.blocksDone, -1);

  // Remove the receiver keeps the colour of how its unit ended.
  st.state = SlotState::RemoveReceiver;
  EXPECT_EQ(tileLook(st, true, true).tone, TileTone::Passed);
  EXPECT_EQ(tileLook(st, false, true).tone, TileTone::Failed);

  st.state = SlotState::Stopped;
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
  const QSize need = window.minimumSizeHint();
  EXPECT_LE(need.width(), 1024);
  EXPECT_LE(need.height(), 740);  // 768 less a title bar
}

}  // namespace
}  // namespace quorvane::station
