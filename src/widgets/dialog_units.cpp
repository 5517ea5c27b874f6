#include "widgets/dialog_units.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QWidget>

namespace quorvane::ui {

namespace {

constexpr const char* kDialogFontFamily = "SimSun";
constexpr const char* kSubstituteFamily = "AR PL UMing CN";
constexpr int kDialogFontPixels = 12;  // 9 points at 96 dpi
constexpr int kDluPerCharX = 4;
constexpr int kDluPerCharY = 8;

// MulDiv: a * b / c, rounded half away from zero.
int mulDiv(int a, int b, int c) {
  const long long p = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(p >= 0 ? (p + half) / c : -((-p + half) / c));
}

}  // namespace

void installDialogFontSubstitution() {
  static const bool done = [] {
    QFont::insertSubstitution(kDialogFontFamily, kSubstituteFamily);
    return true;
  }();
  (void)done;
}

QFont dialogFont() {
  installDialogFontSubstitution();
  QFont font(kDialogFontFamily);
  font.setPixelSize(kDialogFontPixels);
  return font;
}

DialogBaseUnits measureBaseUnits(const QFont& font) {
  const QFontMetrics fm(font);
  const int width = fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  DialogBaseUnits base;
  base.x = (width / 26 + 1) / 2;
  base.y = fm.height();
  return base;
}

DialogBaseUnits dialogBaseUnits() {
  static const DialogBaseUnits base = measureBaseUnits(dialogFont());
  return base;
}

int dluToPixelsX(int dluX, const DialogBaseUnits& base) {
  return mulDiv(dluX, base.x, kDluPerCharX);
}

int dluToPixelsY(int dluY, const DialogBaseUnits& base) {
  return mulDiv(dluY, base.y, kDluPerCharY);
}

QRect dluToPixels(const QRect& dlu, const DialogBaseUnits& base) {
  return QRect(dluToPixelsX(dlu.x(), base), dluToPixelsY(dlu.y(), base),
               dluToPixelsX(dlu.width(), base), dluToPixelsY(dlu.height(), base));
}

void setupDialog(QWidget* dialog, int widthDlu, int heightDlu) {
  dialog->setFont(dialogFont());
  const DialogBaseUnits base = dialogBaseUnits();
  dialog->setFixedSize(dluToPixelsX(widthDlu, base), dluToPixelsY(heightDlu, base));
}

QString controlText(const DialogControl& control) {
  return QString::fromUtf8(control.text);
}

void placeControl(QWidget* widget, const DialogControl& control) {
  widget->setObjectName(QString::fromUtf8(control.name));
  if (control.id != kNoControlId) widget->setProperty("controlId", control.id);
  widget->setGeometry(
      dluToPixels(QRect(control.x, control.y, control.width, control.height), dialogBaseUnits()));
}

void applyTemplateGroupBoxLook(QGroupBox* box) {
  box->setStyleSheet(
      QStringLiteral("QGroupBox { border: 1px solid palette(mid); margin-top: 6px; }"
                     "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                     " left: 8px; padding: 0px 2px; }"));
}

}  // namespace quorvane::ui
