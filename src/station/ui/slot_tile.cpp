#include "station/ui/slot_tile.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace quorvane::station {

namespace {

QLabel* addLabel(QVBoxLayout* layout, const QString& name, const QString& text) {
  auto* label = new QLabel(text);
  label->setObjectName(name);
  label->setAccessibleName(name == "device" ? QObject::tr("Device") : QObject::tr("Adapter"));
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setWordWrap(true);
  label->setVisible(!text.isEmpty());
  layout->addWidget(label);
  return label;
}

}  // namespace

int SlotTile::minimumTileWidth(const QFontMetrics& metrics) {
  return metrics.averageCharWidth() * 26;
}

QColor SlotTile::toneColour(TileTone tone) {
  // Light enough that black text stays readable on every one of them, far
  // enough apart to be told apart across a room and in grey.
  switch (tone) {
    case TileTone::Idle:
      return QColor(0xe0, 0xe0, 0xe0);
    case TileTone::Waiting:
      return QColor(0xd6, 0xe6, 0xf5);
    case TileTone::Running:
      return QColor(0xff, 0xe0, 0x8a);
    case TileTone::Passed:
      return QColor(0x8f, 0xdb, 0x8f);
    case TileTone::Failed:
      return QColor(0xff, 0x8c, 0x8c);
    case TileTone::Remove:
      return QColor(0xb5, 0xf0, 0xd0);
    case TileTone::Stopped:
      return QColor(0xc8, 0xa0, 0xe0);
  }
  return {};
}

SlotTile::SlotTile(const QString& name, const QString& device, const QString& adapter,
                   QWidget* parent)
    : QGroupBox(parent) {
  setObjectName("tile:" + name);
  setAccessibleName(name);
  setAutoFillBackground(true);
  setFocusPolicy(Qt::TabFocus);

  // As wide as the grid's column makes it, never narrower than a short
  // line of text; the labels wrap.
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  setMinimumWidth(minimumTileWidth(fontMetrics()));
  auto* layout = new QVBoxLayout(this);
  layout->setSpacing(fontMetrics().height() / 4);
  // The port's name; a long device path may break after its slashes.
  QString breakable = name;
  breakable.replace(QLatin1Char('/'), QStringLiteral("/\u200b"));
  auto* title = new QLabel(breakable);
  title->setObjectName("name");
  title->setAccessibleName(name);
  title->setWordWrap(true);
  QFont titleFont = title->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
  title->setFont(titleFont);
  layout->addWidget(title);
  addLabel(layout, "device", device != name ? device : QString());
  addLabel(layout, "adapter", adapter);

  state_ = new QLabel;
  state_->setObjectName("state");
  state_->setAccessibleName(tr("State"));
  state_->setBuddy(this);
  state_->setWordWrap(true);
  QFont stateFont = state_->font();
  stateFont.setBold(true);
  stateFont.setPointSizeF(stateFont.pointSizeF() * 1.8);
  state_->setFont(stateFont);
  layout->addWidget(state_);

  detail_ = new QLabel;
  detail_->setObjectName("detail");
  detail_->setAccessibleName(tr("Detail"));
  detail_->setWordWrap(true);
  layout->addWidget(detail_);

  progress_ = new QProgressBar;
  progress_->setObjectName("progress");
  progress_->setAccessibleName(tr("Blocks done"));
  layout->addWidget(progress_);
  layout->addStretch(1);

  // The counters, with the slot's own buttons beside them.
  auto* bottom = new QHBoxLayout;
  counters_ = new QLabel;
  counters_->setObjectName("counters");
  counters_->setAccessibleName(tr("Counters"));
  counters_->setWordWrap(true);
  bottom->addWidget(counters_, 1);
  stop_ = new QToolButton;
  stop_->setText(tr("Stop"));
  stop_->setObjectName("stopSlot");
  stop_->setAccessibleName(tr("Stop %1").arg(name));
  restart_ = new QToolButton;
  restart_->setText(tr("Restart"));
  restart_->setObjectName("restartSlot");
  restart_->setAccessibleName(tr("Restart %1").arg(name));
  next_ = new QToolButton;
  next_->setText(tr("&Next unit"));
  next_->setObjectName("nextUnit");
  next_->setAccessibleName(tr("Next unit on %1").arg(name));
  bottom->addWidget(next_, 0, Qt::AlignBottom);
  bottom->addWidget(stop_, 0, Qt::AlignBottom);
  bottom->addWidget(restart_, 0, Qt::AlignBottom);
  layout->addLayout(bottom);
  for (QToolButton* b : {next_, stop_, restart_}) b->setFocusPolicy(Qt::StrongFocus);
  connect(next_, &QToolButton::clicked, this, &SlotTile::nextUnitRequested);
  connect(stop_, &QToolButton::clicked, this, &SlotTile::stopRequested);
  connect(restart_, &QToolButton::clicked, this, &SlotTile::restartRequested);

  show(TileLook{tr("Not started"), {}, TileTone::Idle});
}

void SlotTile::show(const TileLook& look) {
  look_ = look;
  QPalette p = palette();
  p.setColor(QPalette::Window, toneColour(look.tone));
  p.setColor(QPalette::WindowText, Qt::black);
  setPalette(p);
  state_->setText(look.state);
  detail_->setText(look.detail);
  detail_->setVisible(!look.detail.isEmpty());
  const bool running = look.blocksDone >= 0 && look.blockCount > 0;
  progress_->setVisible(running);
  if (running) {
    progress_->setRange(0, look.blockCount);
    progress_->setValue(look.blocksDone);
    progress_->setFormat(QStringLiteral("%1/%2").arg(look.blocksDone).arg(look.blockCount));
  }
  counters_->setText(
      tr("units %1 · passed %2 · failed %3").arg(look.units).arg(look.passed).arg(look.failed));
  stop_->setVisible(look.canStop);
  restart_->setVisible(look.canRestart);
  next_->setVisible(look.canConfirm);
  const QString description =
      look.detail.isEmpty() ? look.state : look.state + QStringLiteral(": ") + look.detail;
  setAccessibleDescription(description);
  setToolTip(description);
}

}  // namespace quorvane::station
