// The station window: the profile at the top, one tile per slot in a grid
// that fills the window, the log of units below, and the buttons that choose
// the slots, start and stop the station and save the log.
//
// All slots run on the window's thread: a timer calls Station::pump, which
// waits a little on the slots' ports and delivers what is due; the station
// reports back through the observer calls, which repaint the tiles and add
// the log's rows.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <memory>
#include <optional>
#include <vector>

#include "station/station.h"
#include "station/ui/station_setup.h"

class QGridLayout;
class QLabel;
class QPushButton;
class QScrollArea;

namespace quorvane::station {

class ProfilePanel;
class SlotTile;
class UnitLog;

class StationWindow : public QMainWindow, private StationObserver {
  Q_OBJECT
 public:
  // `setup`: the slots and profile to show; `saveSetup`: whether the set-up
  // is written to station.conf when the window closes (a set-up from the
  // command line isn't, unless it is changed in the window).
  explicit StationWindow(const StationSetup& setup, bool saveSetup = true,
                         QWidget* parent = nullptr);
  ~StationWindow() override;

  // Starts the station with the set-up shown; false, with the reason on the
  // window's notice line, when it can't run.
  bool startStation();
  void stopStation();
  bool running() const { return station_ != nullptr && !finished_; }

  StationSetup setup() const;
  void setSlots(const std::vector<SlotChoice>& chosen);

  int tileCount() const { return static_cast<int>(tiles_.size()); }
  SlotTile* tile(int slot) const { return tiles_[static_cast<std::size_t>(slot)]; }
  UnitLog* log() const { return log_; }
  QLabel* notice() const { return notice_; }
  const Station* station() const { return station_.get(); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // StationObserver
  void slotChanged(int slot, const SlotStatus& status) override;
  void unitEnded(const UnitRecord& record) override;

  void pump();
  void rebuildTiles();
  void layoutTiles();
  void refreshControls();
  void chooseSlots();
  void saveLog();
  void showNotice(const QString& text);

  StationSetup setup_;
  bool saveSetup_;
  std::unique_ptr<Station> station_;
  bool finished_ = false;
  QTimer pumpTimer_;
  std::vector<std::optional<bool>> lastPassed_;

  ProfilePanel* profile_;
  QScrollArea* tileScroll_;
  QWidget* tileArea_;
  QGridLayout* grid_;
  std::vector<SlotTile*> tiles_;
  int columns_ = 0;
  UnitLog* log_;
  QLabel* notice_;
  QPushButton* slotsButton_;
  QPushButton* startButton_;
  QPushButton* stopButton_;
  QPushButton* saveLogButton_;
};

}  // namespace quorvane::station
