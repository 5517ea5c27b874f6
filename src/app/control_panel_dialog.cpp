#include "app/control_panel_dialog.h"

#include <QGroupBox>
#include <QPushButton>
#include <QScreen>

#include <QGuiApplication>
#include <memory>

#include "app/about_dialog.h"
#include "base/notice.h"
#include "connection/ui/comm_setup_dialog.h"
#include "remote/ui/remote_control_dialog.h"
#include "transfer/ui/read_software_dialog.h"
#include "transfer/ui/upgrade_software_dialog.h"
#include "widgets/app_icon.h"
#include "widgets/dialog_units.h"

namespace quorvane::ui {

namespace {

// Template 140, dialog units.
constexpr int kWidth = 367;
constexpr int kHeight = 193;
constexpr const char* kGroupFormat = "%s Control Panel";
// Its text is replaced at initialisation.
constexpr DialogControl kGroupBox = {"controlPanelGroup", 1111, "Control Panel", 23, 21, 323, 136};
// In tab order.
constexpr DialogControl kSetupCommButton = {"setupCommButton", 1106, "&Setup Comm", 51, 54, 72, 26};
constexpr DialogControl kKeyboardControlButton = {
    "keyboardControlButton", 1078, "&Keyboard Control", 51, 102, 72, 26};
constexpr DialogControl kReadSoftwareButton = {
    "readSoftwareButton", 1108, "&Read Software", 144, 54, 72, 26};
constexpr DialogControl kUpgradeSoftwareButton = {
    "upgradeSoftwareButton", 1107, "&Upgrade Software", 235, 54, 72, 26};
constexpr DialogControl kExitButton = {"exitButton", kCancelId, "&Exit", 235, 102, 72, 26};
constexpr DialogControl kAboutButton = {"aboutButton", 3, "&About", 144, 102, 72, 26};

}  // namespace

ControlPanelDialog::ControlPanelDialog()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint) {
  setupDialog(this, kWidth, kHeight);

  // Created in tab order; the group box comes first so that the buttons lie
  // above it.
  groupBox_ = new QGroupBox(controlText(kGroupBox), this);
  applyTemplateGroupBoxLook(groupBox_);
  placeControl(groupBox_, kGroupBox);

  QPushButton* setupComm = addButton(kSetupCommButton);
  QPushButton* keyboard = addButton(kKeyboardControlButton);
  QPushButton* read = addButton(kReadSoftwareButton);
  QPushButton* upgrade = addButton(kUpgradeSoftwareButton);
  QPushButton* exitButton = addButton(kExitButton);
  QPushButton* about = addButton(kAboutButton);

  connect(setupComm, &QPushButton::clicked, this, &ControlPanelDialog::onSetupComm);
  connect(keyboard, &QPushButton::clicked, this, &ControlPanelDialog::onKeyboardControl);
  connect(read, &QPushButton::clicked, this, &ControlPanelDialog::onReadSoftware);
  connect(upgrade, &QPushButton::clicked, this, &ControlPanelDialog::onUpgradeSoftware);
  connect(exitButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(about, &QPushButton::clicked, this, &ControlPanelDialog::onAbout);

  setWindowIcon(appIcon());  // one icon, both the small and the large size
  setWindowTitle(QString::fromUtf8(kAppTitle));
  groupBox_->setTitle(QString::asprintf(kGroupFormat, kAppTitle));

  if (const QScreen* screen = this->screen()) {
    const QRect available = screen->availableGeometry();
    move(available.center() - QPoint(width() / 2, height() / 2));
  }
  setupComm->setFocus();
}

QPushButton* ControlPanelDialog::addButton(const DialogControl& control) {
  auto* button = new QPushButton(controlText(control), this);
  // No default button: Enter must not press anything.
  button->setAutoDefault(false);
  button->setDefault(false);
  placeControl(button, control);
  return button;
}

void ControlPanelDialog::onSetupComm() {
  CommSetupDialog dialog;
  dialog.exec();
}

void ControlPanelDialog::onKeyboardControl() {
  const QPoint where = pos();
  // While the panel is hidden the remote is the only window: closing it
  // must not count as closing the program's last window.
  const bool quitOnLastClosed = QGuiApplication::quitOnLastWindowClosed();
  QGuiApplication::setQuitOnLastWindowClosed(false);
  // QWidget's own hide: QDialog's would also end the panel's modal loop.
  QWidget::setVisible(false);

  auto dialog = std::make_unique<RemoteControlDialog>();
  dialog->exec();

  move(where);
  show();
  QGuiApplication::setQuitOnLastWindowClosed(quitOnLastClosed);
  dialog.reset();  // closes the port
}

void ControlPanelDialog::onReadSoftware() {
  ReadSoftwareDialog dialog;
  if (dialog.initialize()) dialog.exec();
}

void ControlPanelDialog::onUpgradeSoftware() {
  const std::optional<QString> path = UpgradeSoftwareDialog::chooseImage(this);
  if (!path) return;
  UpgradeSoftwareDialog dialog(*path);
  if (!dialog.initialize()) return;
  dialog.exec();
}

void ControlPanelDialog::onAbout() {
  AboutDialog dialog;
  dialog.exec();
}

}  // namespace quorvane::ui
