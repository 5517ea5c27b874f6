#include "station/ui/station_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QHeaderView>
#include <QVBoxLayout>
#include <cmath>
#include <filesystem>

#include "serial/device_identity.h"
#include "serial/port_map.h"
#include "station/ui/profile_panel.h"
#include "station/ui/slot_tile.h"
#include "station/ui/slots_dialog.h"
#include "station/ui/tile_look.h"
#include "station/ui/unit_log.h"
#include "widgets/app_icon.h"

namespace quorvane::station {

namespace {

// The wait inside each pump: short enough that the window answers at once,
// long enough that an idle station sleeps in the ports' wait.
constexpr int kPumpWaitMs = 15;

// The log file in the log folder, appended to by every run.
constexpr const char* kLogFileName = "station-log.jsonl";

QPushButton* button(const QString& text, const QString& name, const QString& accessible) {
  auto* b = new QPushButton(text);
  b->setObjectName(name);
  b->setAccessibleName(accessible);
  return b;
}

}  // namespace

StationWindow::StationWindow(const StationSetup& setup, bool saveSetup, QWidget* parent)
    : QMainWindow(parent), setup_(setup), saveSetup_(saveSetup) {
  setObjectName("stationWindow");
  setWindowTitle(tr("Quorvane Station"));
  setWindowIcon(ui::appIcon());
  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);

  profile_ = new ProfilePanel;
  profile_->setSetup(setup);
  layout->addWidget(profile_);

  auto* buttons = new QHBoxLayout;
  slotsButton_ = button(tr("Slo&ts…"), "slotsButton", tr("Slots"));
  startButton_ = button(tr("&Start"), "startButton", tr("Start"));
  stopButton_ = button(tr("Sto&p"), "stopButton", tr("Stop"));
  saveLogButton_ = button(tr("Save lo&g…"), "saveLogButton", tr("Save log"));
  for (QPushButton* b : {slotsButton_, startButton_, stopButton_}) buttons->addWidget(b);
  notice_ = new QLabel;
  notice_->setObjectName("notice");
  notice_->setAccessibleName(tr("Notice"));
  notice_->setWordWrap(true);
  notice_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  buttons->addWidget(notice_, 1);
  buttons->addWidget(saveLogButton_);
  layout->addLayout(buttons);

  // The tiles take the rest, the log a few rows under them; the tiles
  // shrink to the window's width and scroll only when there are too many
  // rows of them.
  auto* scroll = tileScroll_ = new QScrollArea;
  scroll->setObjectName("tiles");
  scroll->setAccessibleName(tr("Slots"));
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  tileArea_ = new QWidget;
  grid_ = new QGridLayout(tileArea_);
  grid_->setContentsMargins(0, 0, 0, 0);
  scroll->setWidget(tileArea_);
  scroll->viewport()->installEventFilter(this);
  layout->addWidget(scroll, 1);
  log_ = new UnitLog;
  const int row = log_->verticalHeader()->defaultSectionSize();
  log_->setMinimumHeight(log_->horizontalHeader()->sizeHint().height() + row * 3);
  log_->setMaximumHeight(log_->horizontalHeader()->sizeHint().height() + row * 6);
  layout->addWidget(log_);
  setCentralWidget(central);

  connect(slotsButton_, &QPushButton::clicked, this, &StationWindow::chooseSlots);
  connect(startButton_, &QPushButton::clicked, this, &StationWindow::startStation);
  connect(stopButton_, &QPushButton::clicked, this, &StationWindow::stopStation);
  connect(saveLogButton_, &QPushButton::clicked, this, &StationWindow::saveLog);
  connect(profile_, &ProfilePanel::changed, this, [this] {
    saveSetup_ = true;
    refreshControls();
  });
  pumpTimer_.setInterval(0);
  connect(&pumpTimer_, &QTimer::timeout, this, &StationWindow::pump);

  // The window's size in the font's units unless a size was kept.
  const QFontMetrics fm = fontMetrics();
  if (setup.width > 0 && setup.height > 0)
    resize(setup.width, setup.height);
  else
    resize(fm.averageCharWidth() * 140, fm.height() * 42);
  rebuildTiles();
}

StationWindow::~StationWindow() {
  pumpTimer_.stop();
  if (station_ && !finished_) station_->stop();
}

StationSetup StationWindow::setup() const {
  StationSetup s = profile_->apply(setup_);
  s.width = width();
  s.height = height();
  return s;
}

void StationWindow::setSlots(const std::vector<SlotChoice>& chosen) {
  setup_.slotList = chosen;
  saveSetup_ = true;
  rebuildTiles();
}

void StationWindow::rebuildTiles() {
  for (SlotTile* t : tiles_) delete t;
  tiles_.clear();
  lastPassed_.assign(setup_.slotList.size(), std::nullopt);
  for (const SlotChoice& slot : setup_.slotList) {
    const std::string device =
        slot.port > 0 ? devicePathForPort(slot.port).value_or("") : slot.device;
    const auto identity = device.empty() ? std::nullopt : identifyDevice(device);
    auto* tile = new SlotTile(QString::fromStdString(slot.label()), QString::fromStdString(device),
                              identity ? QString::fromStdString(identity->describe()) : QString());
    const int index = static_cast<int>(tiles_.size());
    connect(tile, &SlotTile::stopRequested, this, [this, index] {
      if (running()) station_->stopSlot(index);
    });
    connect(tile, &SlotTile::restartRequested, this, [this, index] {
      if (running()) station_->restartSlot(index);
    });
    connect(tile, &SlotTile::nextUnitRequested, this, [this, index] {
      if (running()) station_->confirmNextUnit(index);
    });
    tiles_.push_back(tile);
  }
  columns_ = 0;
  layoutTiles();
  refreshControls();
}

void StationWindow::layoutTiles() {
  // As many columns as keep the tiles about twice as wide as high (2 slots
  // side by side, 8 in two rows of 4) and as fit the window's width; more
  // rows than fit scroll.
  const int n = static_cast<int>(tiles_.size());
  const int fit = std::max(1, tileScroll_->viewport()->width() /
                                  (SlotTile::minimumTileWidth(fontMetrics()) + grid_->spacing()));
  const int columns =
      n == 0 ? 1 : std::min({n, static_cast<int>(std::ceil(std::sqrt(2.0 * n))), fit});
  if (columns == columns_) return;
  columns_ = columns;
  for (int i = 0; i < n; ++i)
    grid_->addWidget(tiles_[static_cast<std::size_t>(i)], i / columns, i % columns);
  for (int c = 0; c < grid_->columnCount(); ++c) grid_->setColumnStretch(c, c < columns ? 1 : 0);
}

bool StationWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == tileScroll_->viewport() && event->type() == QEvent::Resize) layoutTiles();
  return QMainWindow::eventFilter(watched, event);
}

void StationWindow::refreshControls() {
  const bool on = running();
  const StationSetup s = profile_->apply(setup_);
  const bool jobReady = s.job == StationJob::Upgrade ? profile_->image().ok : !s.readFolder.empty();
  startButton_->setEnabled(!on && !s.slotList.empty() && jobReady);
  stopButton_->setEnabled(on);
  slotsButton_->setEnabled(!on && !profile_->locked());
  profile_->setRunning(on);
}

bool StationWindow::startStation() {
  if (running()) return true;
  setup_ = profile_->apply(setup_);
  StationProfile p;
  p.job = setup_.job;
  p.imagePath = setup_.image;
  p.verify = setup_.verify;
  p.backupDir = setup_.backupFolder;
  p.readDir = setup_.readFolder;
  p.confirmEachUnit = setup_.confirmEachUnit;
  p.maxFailures = setup_.maxFailures;
  if (setup_.slotList.empty()) {
    showNotice(tr("Choose the slots first (Slots…)."));
    return false;
  }
  station_.reset();  // the last run's ports are let go first
  rebuildTiles();
  auto station = std::make_unique<Station>(p, static_cast<StationObserver&>(*this));
  for (const SlotChoice& slot : setup_.slotList)
    station->addSlot(
        slot.port > 0 ? PortTarget::comPort(slot.port) : PortTarget::device(slot.device),
        slot.label());
  finished_ = false;
  station_ = std::move(station);
  if (!station_->start()) {
    const StartFailure failure = station_->startFailure().value_or(StartFailure{});
    station_.reset();
    showNotice(
        QString::fromStdString(failure.text) +
        (failure.reason.empty() ? QString() : "\n" + QString::fromStdString(failure.reason)));
    refreshControls();
    return false;
  }
  showNotice({});
  for (int i = 0; i < station_->slotCount(); ++i) slotChanged(i, station_->status(i));
  pumpTimer_.start();
  refreshControls();
  return true;
}

void StationWindow::stopStation() {
  if (!running()) return;
  station_->stop();
  pump();
}

void StationWindow::pump() {
  if (!station_) return;
  if (!station_->pump(kPumpWaitMs) || station_->finished()) {
    pumpTimer_.stop();
    if (!finished_) {
      finished_ = true;
      for (int i = 0; i < station_->slotCount(); ++i) slotChanged(i, station_->status(i));
      showNotice(tr("The station has ended: %1 units, %2 passed.")
                     .arg(station_->units())
                     .arg(station_->passed()));
      refreshControls();
    }
  }
}

void StationWindow::slotChanged(int slot, const SlotStatus& status) {
  if (slot < 0 || slot >= tileCount()) return;
  tile(slot)->show(tileLook(status, lastPassed_[static_cast<std::size_t>(slot)], running()));
}

void StationWindow::unitEnded(const UnitRecord& record) {
  const int slot = record.slot - 1;
  const bool passed = record.job.result == "ok";
  if (slot >= 0 && slot < tileCount()) lastPassed_[static_cast<std::size_t>(slot)] = passed;
  const QString slotName =
      slot >= 0 && slot < tileCount()
          ? QString::fromStdString(setup_.slotList[static_cast<std::size_t>(slot)].label())
          : QString::number(record.slot);
  // The reason line where there is one (it names the cause), else the
  // system's message; one line either way.
  const std::string& why = record.job.reason.empty() ? record.job.message : record.job.reason;
  log_->add(LogRow{QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss"), slotName,
                   static_cast<int>(record.unit),
                   passed                             ? tr("passed")
                   : record.job.result == "cancelled" ? tr("cancelled")
                                                      : tr("failed"),
                   QString::fromStdString(why).simplified()});
  if (!setup_.logFolder.empty()) {
    const std::string path = (std::filesystem::path(setup_.logFolder) / kLogFileName).string();
    if (!appendRecord(path, record))
      showNotice(tr("The log can't be written to %1.").arg(QString::fromStdString(path)));
  }
  QApplication::beep();
}

void StationWindow::chooseSlots() {
  SlotsDialog dialog(setup_.slotList, this);
  if (dialog.exec() == QDialog::Accepted) setSlots(dialog.chosen());
}

void StationWindow::saveLog() {
  const QString path = QFileDialog::getSaveFileName(this, tr("Save the log"), "station-log.csv",
                                                    tr("CSV file (*.csv)"));
  if (path.isEmpty()) return;
  SystemError why;
  if (!log_->save(path, why))
    QMessageBox::warning(this, windowTitle(),
                         tr("The log could not be saved to %1:\n%2")
                             .arg(path, QString::fromStdString(why.message())));
}

void StationWindow::showNotice(const QString& text) {
  notice_->setText(text);
  notice_->setAccessibleDescription(text);
}

void StationWindow::closeEvent(QCloseEvent* event) {
  if (running()) {
    const auto answer = QMessageBox::question(
        this, windowTitle(), tr("The station is running. Stop it and close the window?"));
    if (answer != QMessageBox::Yes) {
      event->ignore();
      return;
    }
    stopStation();
  }
  StationSetup stored = saveSetup_ ? setup() : loadStationSetup();
  stored.width = width();
  stored.height = height();
  SystemError why;
  if (!saveStationSetup(stored, why))
    QMessageBox::warning(this, windowTitle(),
                         tr("The settings could not be saved to %1:\n%2")
                             .arg(QString::fromStdString(stationSettingsPath()),
                                  QString::fromStdString(why.message())));
  event->accept();
}

}  // namespace quorvane::station
