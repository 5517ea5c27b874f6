// The station's log: one row per unit (time, slot, unit number, outcome,
// reason), newest last, which the operator can save as CSV.
#pragma once

#include <QString>
#include <QTableWidget>
#include <vector>

#include "base/system_error.h"

namespace quorvane::station {

struct LogRow {
  QString time;  // "2026-12-07 19:30:12", local time
  QString slot;  // "COM3" or the device path
  int unit = 0;
  QString outcome;  // "passed", "failed"
  QString reason;   // empty when it passed
};

// RFC 4180 CSV with a header line; fields holding a comma, a quote or a
// line break are quoted, quotes doubled; lines end in CRLF.
QString logCsv(const std::vector<LogRow>& rows);

class UnitLog : public QTableWidget {
  Q_OBJECT
 public:
  explicit UnitLog(QWidget* parent = nullptr);

  void add(const LogRow& row);
  const std::vector<LogRow>& rows() const { return rows_; }
  // Writes the CSV to `path` completely or not at all (UTF-8).
  bool save(const QString& path, SystemError& why) const;

 private:
  std::vector<LogRow> rows_;
};

}  // namespace quorvane::station
