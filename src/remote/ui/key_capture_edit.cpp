#include "remote/ui/key_capture_edit.h"

#include <QKeyEvent>

#include "remote/ui/remote_control_dialog.h"

namespace quorvane::ui {

namespace {

// The keys the field keeps from the dialog.
bool isEnterOrEsc(int key) {
  return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape;
}

}  // namespace

std::optional<remote::PcKey> pcKeyFromQt(int key, Qt::KeyboardModifiers modifiers) {
  using remote::PcKey;
  if (key >= Qt::Key_0 && key <= Qt::Key_9) {
    const int digit = key - Qt::Key_0;
    const PcKey first = modifiers.testFlag(Qt::KeypadModifier) ? PcKey::Keypad0 : PcKey::Digit0;
    return static_cast<PcKey>(static_cast<int>(first) + digit);
  }
  switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return PcKey::Enter;
    case Qt::Key_Escape:
      return PcKey::Esc;
    case Qt::Key_Delete:
      return PcKey::Delete;
    case Qt::Key_Space:
      return PcKey::Space;
    case Qt::Key_Left:
      return PcKey::Left;
    case Qt::Key_Up:
      return PcKey::Up;
    case Qt::Key_Right:
      return PcKey::Right;
    case Qt::Key_Down:
      return PcKey::Down;
    default:
      return std::nullopt;
  }
}

KeyCaptureEdit::KeyCaptureEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  // Read-only, but the caret still moves with the arrows as in any text field.
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setFocusPolicy(Qt::StrongFocus);
  setTabChangesFocus(true);
  // Long lines scroll sideways with the caret instead of wrapping.
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

bool KeyCaptureEdit::event(QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (isEnterOrEsc(key->key())) {
      // Claimed before any shortcut or the dialog's Enter/Esc handling.
      if (event->type() == QEvent::KeyPress) keyPressEvent(key);
      event->accept();
      return true;
    }
  }
  return QPlainTextEdit::event(event);
}

void KeyCaptureEdit::keyPressEvent(QKeyEvent* event) {
  QPlainTextEdit::keyPressEvent(event);
  const std::optional<remote::PcKey> pc = pcKeyFromQt(event->key(), event->modifiers());
  if (!pc) return;
  const std::optional<std::uint8_t> code = remote::keyCodeForPcKey(*pc);
  if (!code) return;
  if (owner_) owner_->sendKey(*code);
  event->accept();
}

}  // namespace quorvane::ui
