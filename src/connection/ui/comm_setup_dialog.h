// Template 175: "Communication Setup". The Com 1..Com 4 radio group chooses
// portIndex; OK stores the choice and tests the link with ConnectDialog,
// Cancel stores nothing.
#pragma once

#include <QDialog>
#include <array>

#include "connection/ui/connect_dialog.h"
#include "widgets/com_buttons.h"
#include "serial/port_map.h"

class QPushButton;

namespace quorvane::ui {

class CommSetupDialog : public QDialog {
  Q_OBJECT

 public:
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

  QRadioButton* comButton(int index) const { return comButtons_.button(index); }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 private:
  std::int32_t selectedPort_ = -1;
  ConnectDialogOptions connectOptions_;
  ComButtons comButtons_;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace quorvane::ui
