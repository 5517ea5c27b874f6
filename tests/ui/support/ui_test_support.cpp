#include "ui/support/ui_test_support.h"

#include <QApplication>
#include <QWidget>
#include <QKeyEvent>
#include <QPointer>
#include <QTimer>
#include <memory>

#include "quorvane/version.h"

namespace quorvane::test {

void RecordingPresenter::present(const QString& text, const QString& title, QWidget* owner) {
  messages.push_back({text, title, owner});
  if (onPresent) onPresent(messages.back());
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
  // Keys and mnemonics reach only the active window; offscreen windows are activated a little after
  // they are shown, so wait for that too.
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
  onNextModal([](QWidget* w) { w->close(); }, ignore);  // a dialog's close rejects it
}

void keyClick(QWidget* target, int key, Qt::KeyboardModifiers modifiers, bool autoRepeat) {
  if (!target) target = QApplication::focusWidget();
  if (!target) target = QApplication::activeModalWidget();
  if (!target) return;
  QKeyEvent override(QEvent::ShortcutOverride, key, modifiers, QString(), autoRepeat);
  QApplication::sendEvent(target, &override);
  QKeyEvent press(QEvent::KeyPress, key, modifiers, QString(), autoRepeat);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(target, &release);
}

std::vector<QString> tabOrder(QWidget* window) {
  std::vector<QString> names;
  for (QWidget* w = window->nextInFocusChain(); w != window; w = w->nextInFocusChain())
    if (w->focusPolicy() & Qt::TabFocus) names.push_back(w->objectName());
  return names;
}

::testing::AssertionResult onlyMessage(const RecordingPresenter& presenter, const QString& text,
                                       const QWidget* owner) {
  if (presenter.messages.size() != 1)
    return ::testing::AssertionFailure() << presenter.messages.size() << " messages";
  const ShownMessage& m = presenter.messages[0];
  if (m.text != text || m.title != QStringLiteral("Quorvane ") + kVersion || m.owner != owner)
    return ::testing::AssertionFailure()
           << "shown: '" << m.text.toStdString() << "' titled '" << m.title.toStdString()
           << "' owner " << static_cast<const void*>(m.owner);
  return ::testing::AssertionSuccess();
}

}  // namespace quorvane::test
