// Template 175: "Communication Setup". The Com 1..Com 4 radio group chooses
// portIndex; OK stores the choice and tests the link with ConnectDialog,
// Cancel stores nothing.
#pragma once

#include <QDialog>
#include <array>

#include "connection/ui/connect_dialog.h"

class QButtonGroup;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace quorvane::ui {

class CommSetupDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kWidthDlu = 195;
  static constexpr int kHeightDlu = 99;
  static constexpr int kPortCount = 4;
  // Control ids of the radio buttons in group order (index 0..3).
  static constexpr std::array<int, kPortCount> kComButtonIds = {1070, 1071, 1074, 1075};

  explicit CommSetupDialog(QWidget* owner = nullptr);
  ~CommSetupDialog() override;

  // Confirm (OK, Enter): store the selection in portIndex, run the connect
  // dialog, "connect ok!" if it answered, then close with Accepted.
  void accept() override;

  // The radio group as an index: 0..3, or -1 when no button is selected.
  // Showing a value outside 0..3 clears the selection.
  void showSelection(int index);
  int readSelection() const;
  int selectedPort() const { return selectedPort_; }

  // How the link test's ConnectDialog is made (tests inject its waits).
  void setConnectOptions(ConnectDialogOptions options) { connectOptions_ = std::move(options); }

  QRadioButton* comButton(int index) const {
    return comButtons_.at(static_cast<std::size_t>(index));
  }
  QGroupBox* groupBox() const { return group_; }
  QLabel* iconLabel() const { return icon_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 private:
  std::int32_t selectedPort_ = -1;
  ConnectDialogOptions connectOptions_;
  QGroupBox* group_ = nullptr;
  std::array<QRadioButton*, kPortCount> comButtons_{};
  QButtonGroup* buttons_ = nullptr;
  QLabel* icon_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace quorvane::ui
