// The program's main window: six buttons, one per function of the tool,
// inside the group box "Quorvane <version> Control Panel" (template 140).
#pragma once

#include <QDialog>

class QGroupBox;
class QPushButton;

namespace quorvane::ui {

struct DialogControl;

class ControlPanelDialog : public QDialog {
  Q_OBJECT

 public:
  ControlPanelDialog();

  // Enter lands here: the control panel stays open. It ends only through
  // reject() (Exit, Esc, the close box).
  void accept() override {}

  QGroupBox* groupBox() const { return groupBox_; }

  // The buttons' handlers: each runs its dialog modally and discards it.
  void onSetupComm();
  void onKeyboardControl();
  void onReadSoftware();
  void onUpgradeSoftware();
  void onAbout();

 private:
  QPushButton* addButton(const DialogControl& control);

  QGroupBox* groupBox_ = nullptr;
};

}  // namespace quorvane::ui
