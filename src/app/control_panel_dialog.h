// The program's main window: six buttons, one per function of the tool,
// inside the group box "Quorvane 1.2 Control Panel" (template 140).
#pragma once

#include <QDialog>

class QGroupBox;
class QPushButton;

namespace quorvane::ui {

class ControlPanelDialog : public QDialog {
  Q_OBJECT

 public:
  // Control ids of the template, kept on each control as property "controlId".
  static constexpr int kGroupBoxId = 1111;
  static constexpr int kSetupCommId = 1106;
  static constexpr int kKeyboardControlId = 1078;
  static constexpr int kReadSoftwareId = 1108;
  static constexpr int kUpgradeSoftwareId = 1107;
  static constexpr int kExitId = 2;
  static constexpr int kAboutId = 3;

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
  QPushButton* addButton(const char* objectName, int controlId, const char* text, int x, int y);

  QGroupBox* groupBox_ = nullptr;
};

}  // namespace quorvane::ui
