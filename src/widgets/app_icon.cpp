#include "widgets/app_icon.h"

#include <QPixmap>

// The resources live in a static library: make sure they are linked in.
static void initQuorvaneResources() {
  Q_INIT_RESOURCE(quorvane);
}

namespace quorvane::ui {

QIcon appIcon() {
  static const QIcon icon = [] {
    initQuorvaneResources();
    return QIcon(QPixmap(QStringLiteral(":/icon128.xpm")));
  }();
  return icon;
}

}  // namespace quorvane::ui
