// Helpers of the Qt tests; tests/ui/support also gives the main() that creates the QApplication.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "widgets/file_chooser.h"
#include "widgets/message_box.h"

class QWidget;

namespace quorvane::test {

struct ShownMessage {
  QString text;
  QString title;
  QWidget* owner = nullptr;
};

// While alive, every message box is recorded (text, title, owner) instead of shown.
struct RecordingPresenter final : ui::MessagePresenter {
  RecordingPresenter() { ui::setMessagePresenter(this); }
  ~RecordingPresenter() override { ui::setMessagePresenter(nullptr); }  // back to QMessageBox
  void present(const QString& text, const QString& title, QWidget* owner) override;

  std::vector<ShownMessage> messages;
  // Called after each message is recorded (to look at the dialog while its box would be open).
  std::function<void(const ShownMessage&)> onPresent;
};

// While alive, answers the open/save file dialogs from queued answers and records the requests.
struct ScriptedFileChooser final : ui::FileChooser {
  ScriptedFileChooser() { ui::setFileChooser(this); }
  ~ScriptedFileChooser() override { ui::setFileChooser(nullptr); }  // back to QFileDialog
  // Each call takes the next answer; an empty queue answers "cancelled".
  std::optional<QString> chooseSaveFile(QWidget* owner, const ui::FileRequest& request) override;
  std::optional<QString> chooseOpenFile(QWidget* owner, const ui::FileRequest& request) override;

  std::deque<std::optional<QString>> saveAnswers;
  std::deque<std::optional<QString>> openAnswers;
  std::vector<ui::FileRequest> saveRequests;
  std::vector<ui::FileRequest> openRequests;
};

// Once the event loop runs and a modal window other than `ignore` is active (so keys and mnemonics
// work), calls action(window) once; call it before the exec() that opens it. Polls every 10 ms;
// after `maxPolls` it acts on a shown but inactive window, or gives up if none was shown.
void onNextModal(std::function<void(QWidget*)> action, QWidget* ignore = nullptr,
                 int maxPolls = 500);
// onNextModal that closes the window (a dialog: rejects it).
void closeNextModal(QWidget* ignore = nullptr);

// Shortcut check, press (up the parents until accepted), release on `target` (null: focus/modal).
void keyClick(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
              bool autoRepeat = false);

// The objectNames of the controls Tab visits in `window`, in that order.
std::vector<QString> tabOrder(QWidget* window);

// Exactly one message was shown: `text`, titled "Quorvane <version>", owned by `owner`.
::testing::AssertionResult onlyMessage(const RecordingPresenter& presenter, const QString& text,
                                       const QWidget* owner);

}  // namespace quorvane::test
