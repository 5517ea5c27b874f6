// Every message the user sees goes through here: one modal box with a
// single OK button, a text, a title and an owner window. The box comes up
// centred over the owner, or over the window that stands for an owner that
// is not on screen (window_placement.h).
#pragma once

#include <QString>

#include "base/notice.h"

class QWidget;

namespace quorvane::ui {

class MessagePresenter {
 public:
  virtual ~MessagePresenter() = default;
  // Shows the box and returns once the user has closed it.
  virtual void present(const QString& text, const QString& title, QWidget* owner) = 0;
};

// The presenter in use; by default a modal QMessageBox. Tests install a
// recorder (nullptr restores the default).
MessagePresenter& messagePresenter();
void setMessagePresenter(MessagePresenter* presenter);

// The notice's own text and title, through the presenter.
void showNotice(const Notice& notice, QWidget* owner);

}  // namespace quorvane::ui
