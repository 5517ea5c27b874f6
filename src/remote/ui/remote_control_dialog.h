// The on-screen remote control (template 141): 32 key buttons, a key field
// that captures the PC keyboard, and four Com buttons that choose the port
// (their tooltips name each port's device and why it can't be opened).
// Every click or mapped key sends one key frame; nothing is read back.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>

#include "remote/remote_session.h"
#include "widgets/com_buttons.h"
#include "serial/port_map.h"

class QPushButton;

namespace quorvane::ui {

class KeyCaptureEdit;

class RemoteControlDialog : public QDialog {
  Q_OBJECT

 public:
  // Created without a parent: a top-level window of its own. Initialises at
  // once: preselects the Com button of portIndex and opens that port when
  // portIndex is 0..3 (showing "open port<n> error!" on failure).
  RemoteControlDialog();
  ~RemoteControlDialog() override;  // closes the port

  // Puts `code` into the key frame and writes it to the port, if one is open.
  void sendKey(std::uint8_t code);
  // The handler of Com button `portNumber` (1..4): stores the selection in
  // portIndex, then opens that port; a failed open is reported and leaves
  // no port open.
  void selectPort(int portNumber);

  // The confirm action (Enter reaching the dialog) does nothing.
  void accept() override {}

  int selectedPort() const { return selectedPort_; }
  KeyCaptureEdit* keyField() const { return keyField_; }
  QRadioButton* comButton(int index) const { return comButtons_.button(index); }
  QPushButton* keyButton(std::uint8_t code) const { return keyButtons_.at(code); }
  const SerialPort& port() const { return session_.port(); }

 private:
  void buildControls();

  remote::RemoteSession session_;
  KeyCaptureEdit* keyField_ = nullptr;
  int selectedPort_ = -1;  // the checked Com button, -1: none

  ComButtons comButtons_;
  std::array<QPushButton*, kKeyCodeCount> keyButtons_{};
};

}  // namespace quorvane::ui
