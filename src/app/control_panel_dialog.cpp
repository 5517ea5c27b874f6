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
constexpr int kButtonWidth = 72;
constexpr int kButtonHeight = 26;
constexpr const char* kGroupFormat = "%s Control Panel";

}  // namespace

ControlPanelDialog::ControlPanelDialog()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint) {
  setupDialog(this, kWidth, kHeight);

  // Created in tab order; the group box comes first so that the buttons lie
  // above it.
  groupBox_ = new QGroupBox(QStringLiteral("Control Panel"), this);
  groupBox_->setObjectName(QStringLiteral("controlPanelGroup"));
  groupBox_->setProperty("controlId", kGroupBoxId);
  applyTemplateGroupBoxLook(groupBox_);
  placeControl(groupBox_, 23, 21, 323, 136);

  QPushButton* setupComm = addButton("setupCommButton", kSetupCommId, "&Setup Comm", 51, 54);
  QPushButton* keyboard =
      addButton("keyboardControlButton", kKeyboardControlId, "&Keyboard Control", 51, 102);
  QPushButton* read = addButton("readSoftwareButton", kReadSoftwareId, "&Read Software", 144, 54);
  QPushButton* upgrade =
      addButton("upgradeSoftwareButton", kUpgradeSoftwareId, "&Upgrade Software", 235, 54);
  QPushButton* exitButton = addButton("exitButton", kExitId, "&Exit", 235, 102);
  QPushButton* about = addButton("aboutButton", kAboutId, "&About", 144, 102);

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

QPushButton* ControlPanelDialog::addButton(const char* objectName, int controlId, const char* text,
                                           int x, int y) {
  auto* button = new QPushButton(QString::fromUtf8(text), this);
  button->setObjectName(QString::fromUtf8(objectName));
  button->setProperty("controlId", controlId);
  // No default button: Enter must not press anything.
  button->setAutoDefault(false);
  button->setDefault(false);
  placeControl(button, x, y, kButtonWidth, kButtonHeight);
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
