#include "connection/ui/comm_setup_dialog.h"

#include <QGroupBox>
#include <QPushButton>

#include "base/app_config.h"
#include "widgets/app_icon.h"
#include "widgets/dialog_units.h"
#include "widgets/message_box.h"
#include "widgets/com_buttons.h"
#include "serial/device_identity.h"

namespace quorvane::ui {

namespace {

// Template 175, dialog units.
constexpr int kWidth = 195;
constexpr int kHeight = 99;
constexpr const char* kTitle = "Communication Setup";
constexpr DialogControl kPortGroup = {"portGroup", kNoControlId, "Select a port", 7, 7, 181, 59};
// In group order: index 0..3 is Com 1..Com 4.
constexpr std::array<DialogControl, kComPortCount> kComButtons = {{
    {"com1Button", 1070, "Com 1", 19, 23, 36, 10},
    {"com2Button", 1071, "Com 2", 73, 23, 36, 10},
    {"com3Button", 1074, "Com 3", 19, 45, 36, 10},
    {"com4Button", 1075, "Com 4", 73, 44, 36, 10},
}};
constexpr DialogControl kIcon = {"programIcon", kNoControlId, nullptr, 160, 26, 0, 0};
constexpr DialogControl kOkButton = {"okButton", kOkId, "OK", 37, 75, 50, 14};
constexpr DialogControl kCancelButton = {"cancelButton", kCancelId, "Cancel", 108, 75, 50, 14};

}  // namespace

CommSetupDialog::CommSetupDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setWindowTitle(QString::fromUtf8(kTitle));
  setupDialog(this, kWidth, kHeight);

  // Created first so that it lies beneath the buttons it frames.
  auto* group = new QGroupBox(controlText(kPortGroup), this);
  applyTemplateGroupBoxLook(group);
  placeControl(group, kPortGroup);

  // No button is checked for an index outside 0..3 (showSelection).
  comButtons_.create(this, kComButtons, lookAtPort);

  addIconControl(this, kIcon);

  ok_ = new QPushButton(controlText(kOkButton), this);
  ok_->setDefault(true);
  placeControl(ok_, kOkButton);
  connect(ok_, &QPushButton::clicked, this, &CommSetupDialog::accept);

  cancel_ = new QPushButton(controlText(kCancelButton), this);
  placeControl(cancel_, kCancelButton);
  connect(cancel_, &QPushButton::clicked, this, &CommSetupDialog::reject);

  for (int i = 1; i < kComPortCount; ++i) setTabOrder(comButton(i - 1), comButton(i));
  setTabOrder(comButton(kComPortCount - 1), ok_);
  setTabOrder(ok_, cancel_);

  selectedPort_ = AppConfig::instance().portIndex;
  showSelection(selectedPort_);
  ok_->setFocus();
}

CommSetupDialog::~CommSetupDialog() = default;

void CommSetupDialog::showSelection(int index) {
  comButtons_.showSelection(index);
}

int CommSetupDialog::readSelection() const {
  return comButtons_.checkedIndex();
}

void CommSetupDialog::accept() {
  selectedPort_ = readSelection();
  AppConfig::instance().portIndex = selectedPort_;
  {
    ConnectDialog connectDialog(this, connectOptions_);
    if (connectDialog.exec() == QDialog::Accepted)
      showNotice(Notice::of(MessageId::Connected), this);
  }  // the connect dialog, and with it the port, goes here
  QDialog::accept();
}

}  // namespace quorvane::ui
