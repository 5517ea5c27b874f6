// The station window with eight slots in the states an operator meets
// (station), with sixteen at 1024x768 (station_16), and the slot chooser
// (station_slots).
#include <QApplication>
#include <QDir>
#include <QStyleFactory>
#include <vector>

#include "render_registry.h"
#include "station/ui/slot_tile.h"
#include "station/ui/slots_dialog.h"
#include "station/ui/station_window.h"
#include "station/ui/tile_look.h"
#include "station/ui/unit_log.h"
#include "transfer/rom_image.h"
#include "transfer/rom_type.h"

namespace {

using namespace quorvane;
using namespace quorvane::station;

// An image of a 1 MiB Fta receiver beside the pictures, so that the profile
// shows its type and SHA-256.
std::string sampleImage() {
  const std::string path = QDir::temp().filePath("quorvane-render-fta.bin").toStdString();
  std::vector<std::uint8_t> flash(std::size_t{kBlocksSmallFlash} * kBlockSize);
  for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<std::uint8_t>(i * 7 + 3);
  writeImage(path, 0, kBlocksSmallFlash, flash.data());
  return path;
}

SlotStatus status(SlotState state, long long unit, int passed, int failed) {
  SlotStatus s;
  s.state = state;
  s.unit = unit;
  s.units = passed + failed;
  s.passed = passed;
  s.failed = failed;
  return s;
}

std::unique_ptr<QWidget> makeStation(int slotCount) {
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  StationSetup setup;
  for (int i = 0; i < slotCount; ++i)
    setup.slotList.push_back(i < 4 ? SlotChoice{i + 1, {}}
                                   : SlotChoice{0, "/dev/ttyUSB" + std::to_string(i - 4)});
  setup.image = sampleImage();
  setup.backupFolder = "/srv/bench/backup";
  setup.logFolder = "/srv/bench/log";
  setup.locked = true;
  setup.width = 1024;  // the smallest screen it is made for
  setup.height = 768;
  auto window = std::make_unique<StationWindow>(setup, false);

  std::vector<std::pair<SlotStatus, std::optional<bool>>> looks;
  SlotStatus running = status(SlotState::Running, 14, 3, 0);
  running.step = "upgrade";
  running.blocksDone = 171;
  running.blockCount = 256;
  running.secondsLeft = 30.3;
  looks.push_back({running, true});
  looks.push_back({status(SlotState::Waiting, 0, 4, 0), true});
  SlotStatus verify = status(SlotState::Running, 12, 2, 1);
  verify.step = "verify";
  verify.blocksDone = 40;
  verify.blockCount = 256;
  verify.secondsLeft = 77;
  looks.push_back({verify, false});
  looks.push_back({status(SlotState::RemoveReceiver, 13, 4, 0), true});
  SlotStatus failed = status(SlotState::Failed, 15, 2, 1);
  failed.message = "software version incorrect";
  failed.reason =
      "/dev/ttyUSB0: the receiver is a CI 29 1, the image is for a Fta 29 1; 0 blocks "
      "written";
  looks.push_back({failed, false});
  SlotStatus noDevice = status(SlotState::NoDevice, 0, 0, 0);
  looks.push_back({noDevice, std::nullopt});
  SlotStatus stopped = status(SlotState::Stopped, 9, 0, 3);
  stopped.message =
      "stopped after 3 failures in a row: check the cable and the port, not the receivers";
  looks.push_back({stopped, false});
  looks.push_back({status(SlotState::Passed, 16, 3, 0), true});
  for (int i = 0; i < window->tileCount(); ++i) {
    const auto& [st, last] = looks[static_cast<std::size_t>(i) % looks.size()];
    window->tile(i)->show(tileLook(st, last, true));
  }
  const char* outcomes[][4] = {
      {"COM1", "13", "passed", ""},
      {"COM4", "13", "passed", ""},
      {"/dev/ttyUSB0", "15", "failed",
       "/dev/ttyUSB0: the receiver is a CI 29 1, the image is for a Fta 29 1; 0 "
       "blocks written"},
      {"COM2", "16", "passed", ""}};
  int minute = 0;
  for (const auto& o : outcomes)
    window->log()->add(LogRow{QStringLiteral("2026-12-07 14:%1:05").arg(31 + minute++), o[0],
                              QString(o[1]).toInt(), o[2], o[3]});
  return window;
}

}  // namespace

QUORVANE_RENDER_SCENE("station", [] { return makeStation(8); });
QUORVANE_RENDER_SCENE("station_16", [] { return makeStation(16); });

// The slot chooser as this machine's port map and devices make it.
QUORVANE_RENDER_SCENE("station_slots", [] {
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  return std::make_unique<SlotsDialog>(std::vector<SlotChoice>{{2, {}}});
});
