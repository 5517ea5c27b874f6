#include "widgets/window_placement.h"

#include <QGuiApplication>
#include <QScreen>

namespace quorvane::ui {

namespace {

QPointer<QWidget> g_mainWindow;

// The window `window` belongs to: its parent's window, or none.
QWidget* ownerWindow(const QWidget* window) {
  const QWidget* parent = window->parentWidget();
  return parent ? parent->window() : nullptr;
}

}  // namespace

void setMainWindow(QWidget* window) {
  g_mainWindow = window;
}

QWidget* mainWindow() {
  return g_mainWindow.data();
}

QWidget* placementAnchor(QWidget* owner) {
  QWidget* const own = owner ? owner->window() : nullptr;
  for (QWidget* w = own; w; w = ownerWindow(w))
    if (w->isVisible()) return w;
  if (QWidget* main = mainWindow(); main && main->isVisible()) return main;
  if (own && own->testAttribute(Qt::WA_Moved)) return own;
  return nullptr;
}

void centreOver(QWidget* window, const QWidget* anchor) {
  const QScreen* screen = anchor ? anchor->screen() : window->screen();
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect available = screen ? screen->availableGeometry() : QRect();
  // The inside over the inside (geometry, not frameGeometry): the window
  // gets its frame only once it is on screen, and as it gets one like the
  // anchor's, the frames are centred too.
  QRect placed(QPoint(), window->size());
  placed.moveCenter(anchor ? anchor->geometry().center() : available.center());
  if (available.isValid()) {
    if (placed.right() > available.right()) placed.moveRight(available.right());
    if (placed.bottom() > available.bottom()) placed.moveBottom(available.bottom());
    if (placed.left() < available.left()) placed.moveLeft(available.left());
    if (placed.top() < available.top()) placed.moveTop(available.top());
  }
  window->setGeometry(placed);
}

}  // namespace quorvane::ui
