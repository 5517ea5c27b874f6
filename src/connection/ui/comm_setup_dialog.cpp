#include "connection/ui/comm_setup_dialog.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "base/app_config.h"
#include "widgets/app_icon.h"
#include "widgets/dialog_units.h"
#include "widgets/message_box.h"
#include "serial/port_map.h"

namespace quorvane::ui {

namespace {

struct DluRect {
  int x, y, width, height;
};

// Template positions of Com 1..Com 4, in group order.
constexpr std::array<DluRect, CommSetupDialog::kPortCount> kComButtonRects = {{
    {19, 23, 36, 10},
    {73, 23, 36, 10},
    {19, 45, 36, 10},
    {73, 44, 36, 10},
}};

constexpr int kIconSizePixels = 32;

}  // namespace

CommSetupDialog::CommSetupDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setWindowTitle(QStringLiteral("Communication Setup"));
  setupDialog(this, kWidthDlu, kHeightDlu);

  // Created first so that it lies beneath the buttons it frames.
  group_ = new QGroupBox(QStringLiteral("Select a port"), this);
  applyTemplateGroupBoxLook(group_);
  placeControl(group_, 7, 7, 181, 59);

  // The group is exclusive but may have no button checked at all (an index
  // outside 0..3); showSelection() handles the "none" case.
  buttons_ = new QButtonGroup(this);
  buttons_->setExclusive(true);
  for (int i = 0; i < kPortCount; ++i) {
    auto* button = new QRadioButton(QStringLiteral("Com %1").arg(i + 1), this);
    button->setObjectName(
        QStringLiteral("control%1").arg(kComButtonIds[static_cast<std::size_t>(i)]));
    button->setAutoExclusive(false);
    const DluRect& r = kComButtonRects[static_cast<std::size_t>(i)];
    placeControl(button, r.x, r.y, r.width, r.height);
    const auto device = devicePathForPort(i + 1);
    button->setToolTip(device ? QString::fromStdString(*device) : QString());
    buttons_->addButton(button, i);
    comButtons_[static_cast<std::size_t>(i)] = button;
  }

  icon_ = new QLabel(this);
  icon_->setPixmap(appIcon().pixmap(kIconSizePixels, kIconSizePixels));
  const DialogBaseUnits base = dialogBaseUnits();
  icon_->setGeometry(dluToPixelsX(160, base), dluToPixelsY(26, base), kIconSizePixels,
                     kIconSizePixels);

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setDefault(true);
  placeControl(ok_, 37, 75, 50, 14);
  connect(ok_, &QPushButton::clicked, this, &CommSetupDialog::accept);

  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  placeControl(cancel_, 108, 75, 50, 14);
  connect(cancel_, &QPushButton::clicked, this, &CommSetupDialog::reject);

  for (int i = 1; i < kPortCount; ++i)
    setTabOrder(comButtons_[static_cast<std::size_t>(i - 1)],
                comButtons_[static_cast<std::size_t>(i)]);
  setTabOrder(comButtons_.back(), ok_);
  setTabOrder(ok_, cancel_);

  selectedPort_ = AppConfig::instance().portIndex;
  showSelection(selectedPort_);
  ok_->setFocus();
}

CommSetupDialog::~CommSetupDialog() = default;

void CommSetupDialog::showSelection(int index) {
  // An exclusive group refuses to uncheck its checked button.
  buttons_->setExclusive(false);
  for (int i = 0; i < kPortCount; ++i)
    comButtons_[static_cast<std::size_t>(i)]->setChecked(i == index);
  buttons_->setExclusive(true);
}

int CommSetupDialog::readSelection() const {
  return buttons_->checkedId();
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
