// Where message boxes and file dialogs come up.
//
// The dialogs are made without a parent: the main window (the control panel
// while start-up runs it) owns them. A box or file dialog therefore goes
// over the nearest window of its owner that is on screen, so that one raised
// by a dialog that never became visible (its initialisation failed: the port
// could not be opened, the image was refused) appears over the control
// panel rather than in a corner of the screen.
#pragma once

#include <QPointer>
#include <QWidget>
#include <utility>

class QShowEvent;

namespace quorvane::ui {

// The main window; nullptr when there is none. It is not owned here, and
// forgotten when it is destroyed.
void setMainWindow(QWidget* window);
QWidget* mainWindow();

// The window a box or file dialog of `owner` is placed over:
//  1. the owner's window or one of the windows it belongs to, the first that
//     is visible;
//  2. else the main window, when it is visible;
//  3. else the owner's window if it has been given a place without being
//     shown yet (the remote control, which reports its port while it is
//     built and the control panel is hidden);
//  4. else nullptr: the middle of the screen.
QWidget* placementAnchor(QWidget* owner);

// Moves the top-level `window` so that its centre lies on the centre of
// `anchor` (nullptr: of the available screen), kept within that screen.
void centreOver(QWidget* window, const QWidget* anchor);

// A dialog class that moves itself over `anchor` whenever it is shown, after
// its own show handling has settled its size.
template <class Dialog>
class AnchoredDialog : public Dialog {
 public:
  template <class... Args>
  explicit AnchoredDialog(QWidget* anchor, Args&&... args)
      : Dialog(std::forward<Args>(args)...), anchor_(anchor) {}

 protected:
  void showEvent(QShowEvent* event) override {
    Dialog::showEvent(event);
    centreOver(this, anchor_.data());
  }

 private:
  QPointer<QWidget> anchor_;
};

}  // namespace quorvane::ui
