// Choosing the station's slots: COM1..COM4 as the port map gives them and
// the serial devices present, each with the adapter it is, one check box
// each.
#pragma once

#include <QDialog>
#include <vector>

#include "station/ui/station_setup.h"

class QListWidget;

namespace quorvane::station {

class SlotsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit SlotsDialog(const std::vector<SlotChoice>& current, QWidget* parent = nullptr);
  // The slots checked, in the list's order.
  std::vector<SlotChoice> chosen() const;

 private:
  QListWidget* list_;
  std::vector<SlotChoice> choices_;
};

}  // namespace quorvane::station
