#include "station/ui/unit_log.h"

#include <QHeaderView>

#include "base/atomic_file.h"

namespace quorvane::station {

namespace {

QString csvField(const QString& text) {
  if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
      !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
    return text;
  QString quoted = text;
  quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

QString logCsv(const std::vector<LogRow>& rows) {
  QString csv = QStringLiteral("time,slot,unit,outcome,reason\r\n");
  for (const LogRow& r : rows)
    csv += csvField(r.time) + ',' + csvField(r.slot) + ',' + QString::number(r.unit) + ',' +
           csvField(r.outcome) + ',' + csvField(r.reason) + QStringLiteral("\r\n");
  return csv;
}

UnitLog::UnitLog(QWidget* parent) : QTableWidget(0, 5, parent) {
  setObjectName("log");
  setAccessibleName(tr("Log"));
  setHorizontalHeaderLabels({tr("Time"), tr("Slot"), tr("Unit"), tr("Outcome"), tr("Reason")});
  horizontalHeader()->setStretchLastSection(true);
  horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() * 3 / 2);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setTabKeyNavigation(false);  // Tab leaves the table, arrows move in it
}

void UnitLog::add(const LogRow& row) {
  rows_.push_back(row);
  const int at = rowCount();
  insertRow(at);
  const QString cells[] = {row.time, row.slot, QString::number(row.unit), row.outcome, row.reason};
  for (int c = 0; c < 5; ++c) setItem(at, c, new QTableWidgetItem(cells[c]));
  scrollToBottom();
}

bool UnitLog::save(const QString& path, SystemError& why) const {
  const QByteArray bytes = logCsv(rows_).toUtf8();
  AtomicFileWriter file;
  if (file.open(path.toStdString()) && file.write(bytes.constData(), bytes.size()) && file.commit())
    return true;
  why = file.lastError();
  return false;
}

}  // namespace quorvane::station
