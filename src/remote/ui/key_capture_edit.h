// The remote control's key field: a read-only text field that shows the
// help text and turns PC key presses into remote keys for its owner.
//
// Enter and Esc are taken before the dialog's own keyboard handling can see
// them, so with the field focused they send OK and EXIT instead of pressing
// a default button or closing the dialog. Every key press, auto-repeats
// included, sends one frame; keys without a mapping send nothing.
#pragma once

#include <QPlainTextEdit>
#include <optional>

#include "remote/remote_keys.h"

namespace quorvane::ui {

class RemoteControlDialog;

// The PC key of a Qt key press, or nothing for a key that drives no remote
// key. Keypad digits carry Qt::KeypadModifier; other modifiers are ignored.
std::optional<remote::PcKey> pcKeyFromQt(int key, Qt::KeyboardModifiers modifiers);

class KeyCaptureEdit : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit KeyCaptureEdit(QWidget* parent = nullptr);

  // The dialog whose sendKey the field calls; none: keys go nowhere.
  void setOwner(RemoteControlDialog* owner) { owner_ = owner; }
  RemoteControlDialog* owner() const { return owner_; }

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  RemoteControlDialog* owner_ = nullptr;
};

}  // namespace quorvane::ui
