#include "widgets/app_icon.h"

#include <QLabel>
#include <QPixmap>

#include "widgets/dialog_units.h"

// The resources live in a static library: make sure they are linked in.
static void initQuorvaneResources() {
  Q_INIT_RESOURCE(quorvane);
}

namespace quorvane::ui {

namespace {

constexpr int kIconPixels = 32;

}  // namespace

QIcon appIcon() {
  static const QIcon icon = [] {
    initQuorvaneResources();
    return QIcon(QPixmap(QStringLiteral(":/icon128.xpm")));
  }();
  return icon;
}

QLabel* addIconControl(QWidget* dialog, const DialogControl& control) {
  auto* icon = new QLabel(dialog);
  icon->setPixmap(appIcon().pixmap(kIconPixels, kIconPixels));
  placeControl(icon, control);
  icon->resize(kIconPixels, kIconPixels);
  return icon;
}

}  // namespace quorvane::ui
