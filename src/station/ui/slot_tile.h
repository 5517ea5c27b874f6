// One slot's tile: its port and adapter, its state in large text on the
// state's colour, the progress of a running job and the slot's counters,
// with buttons that stop or restart the slot alone.
//
// For assistive technology the tile is a group (a panel) named by its port ("COM3",
// or the device path); its state text is its accessible description and
// also a labelled child (the state label, whose buddy is the tile).
#pragma once

#include <QGroupBox>
#include <QString>

class QLabel;
class QProgressBar;
class QToolButton;
class QFontMetrics;

namespace quorvane::station {

// How a tile looks, made from a slot's status (tile_look.h).
enum class TileTone { Idle, Waiting, Running, Passed, Failed, Remove, Stopped };

struct TileLook {
  QString state;   // the large line: "Waiting for a receiver", "Running" ...
  QString detail;  // the line under it: the reason, the time left
  TileTone tone = TileTone::Idle;
  int blocksDone = -1;  // the progress bar shows while blocksDone >= 0
  int blockCount = 0;
  int units = 0, passed = 0, failed = 0;
  bool canStop = false;     // the slot runs and may be stopped alone
  bool canRestart = false;  // the slot has stopped and may be started again
  bool canConfirm = false;  // the slot waits for the operator's word for its next unit
};

class SlotTile : public QGroupBox {
  Q_OBJECT
 public:
  // `name`: "COM3" or the device path; `device`: what it opens (may be
  // empty); `adapter`: a USB adapter's identity (may be empty).
  SlotTile(const QString& name, const QString& device, const QString& adapter,
           QWidget* parent = nullptr);

  void show(const TileLook& look);
  const TileLook& look() const { return look_; }
  // The state's colour (also the tile's background).
  static QColor toneColour(TileTone tone);
  // The narrowest a tile gets in the window's font.
  static int minimumTileWidth(const QFontMetrics& metrics);

 signals:
  void stopRequested();
  void restartRequested();
  void nextUnitRequested();

 private:
  TileLook look_;
  QLabel* state_;
  QLabel* detail_;
  QProgressBar* progress_;
  QLabel* counters_;
  QToolButton* stop_;
  QToolButton* restart_;
  QToolButton* next_;
};

}  // namespace quorvane::station
