#include "ui/support/ui_test_support.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <memory>

namespace quorvane::test {

RecordingPresenter::RecordingPresenter() {
  ui::setMessagePresenter(this);
}
RecordingPresenter::~RecordingPresenter() {
  ui::setMessagePresenter(nullptr);
}

void RecordingPresenter::present(const QString& text, const QString& title, QWidget* owner) {
  messages.push_back({text, title, owner});
  if (onPresent) onPresent(messages.back());
}

ScriptedFileChooser::ScriptedFileChooser() {
  ui::setFileChooser(this);
}
ScriptedFileChooser::~ScriptedFileChooser() {
  ui::setFileChooser(nullptr);
}

namespace {

std::optional<QString> takeAnswer(std::deque<std::optional<QString>>& answers) {
  if (answers.empty()) return std::nullopt;
  std::optional<QString> answer = std::move(answers.front());
  answers.pop_front();
  return answer;
}

void pollForModal(std::shared_ptr<std::function<void(QWidget*)>> action, QPointer<QWidget> ignore,
                  bool hadIgnore, int pollsLeft) {
  QWidget* modal = QApplication::activeModalWidget();
  const bool isNew = modal && (!hadIgnore || modal != ignore.data());
  // Keys and mnemonics reach only the active window; offscreen windows are
  // activated a little after they are shown, so wait for that too.
  if (isNew && QApplication::activeWindow() != modal && pollsLeft > 0) modal->activateWindow();
  if (isNew && (QApplication::activeWindow() == modal || pollsLeft <= 0)) {
    (*action)(modal);
    return;
  }
  if (pollsLeft <= 0) return;
  QTimer::singleShot(10, [action, ignore, hadIgnore, pollsLeft] {
    pollForModal(action, ignore, hadIgnore, pollsLeft - 1);
  });
}

}  // namespace

std::optional<QString> ScriptedFileChooser::chooseSaveFile(QWidget*,
                                                           const ui::FileRequest& request) {
  saveRequests.push_back(request);
  return takeAnswer(saveAnswers);
}

std::optional<QString> ScriptedFileChooser::chooseOpenFile(QWidget*,
                                                           const ui::FileRequest& request) {
  openRequests.push_back(request);
  return takeAnswer(openAnswers);
}

void onNextModal(std::function<void(QWidget*)> action, QWidget* ignore, int maxPolls) {
  auto shared = std::make_shared<std::function<void(QWidget*)>>(std::move(action));
  QPointer<QWidget> guarded(ignore);
  const bool hadIgnore = ignore != nullptr;
  QTimer::singleShot(0, [shared, guarded, hadIgnore, maxPolls] {
    pollForModal(shared, guarded, hadIgnore, maxPolls);
  });
}

void closeNextModal(QWidget* ignore) {
  onNextModal(
      [](QWidget* w) {
        if (auto* dialog = qobject_cast<QDialog*>(w))
          dialog->reject();
        else
          w->close();
      },
      ignore);
}

}  // namespace quorvane::test
