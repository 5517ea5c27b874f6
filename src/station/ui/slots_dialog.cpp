#include "station/ui/slots_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "serial/device_identity.h"
#include "serial/port_map.h"
#include "serial/serial_devices.h"

namespace quorvane::station {

SlotsDialog::SlotsDialog(const std::vector<SlotChoice>& current, QWidget* parent)
    : QDialog(parent) {
  setObjectName("slotsDialog");
  setWindowTitle(tr("Slots"));
  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(tr("&Ports and serial devices: check one per slot."));
  layout->addWidget(intro);
  list_ = new QListWidget;
  list_->setObjectName("slotList");
  list_->setAccessibleName(tr("Ports and serial devices"));
  intro->setBuddy(list_);
  layout->addWidget(list_);

  auto add = [&](const SlotChoice& choice, const std::string& device) {
    if (std::find(choices_.begin(), choices_.end(), choice) != choices_.end()) return;
    QString text = QString::fromStdString(choice.label());
    if (!device.empty() && device != choice.label()) text += " — " + QString::fromStdString(device);
    if (const auto identity = identifyDevice(device); identity && !identity->describe().empty())
      text += "\n    " + QString::fromStdString(identity->describe());
    auto* item = new QListWidgetItem(text, list_);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    const bool on = std::find(current.begin(), current.end(), choice) != current.end();
    item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    choices_.push_back(choice);
  };
  for (long long n = 1; n <= kComPortCount; ++n)
    add(SlotChoice{n, {}}, devicePathForPort(n).value_or(""));
  for (const SerialDeviceFound& found : serialDevicesPresent())
    add(SlotChoice{0, found.device}, found.device);
  // Slots kept from before whose device isn't here now stay on the list.
  for (const SlotChoice& slot : current)
    add(slot, slot.port > 0 ? devicePathForPort(slot.port).value_or("") : slot.device);
  list_->setCurrentRow(0);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

std::vector<SlotChoice> SlotsDialog::chosen() const {
  std::vector<SlotChoice> result;
  for (int i = 0; i < list_->count(); ++i)
    if (list_->item(i)->checkState() == Qt::Checked)
      result.push_back(choices_[static_cast<std::size_t>(i)]);
  return result;
}

}  // namespace quorvane::station
