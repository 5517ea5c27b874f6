// Dialog layout in dialog units for the 9-point SimSun font, as the
// templates give it: one horizontal unit is a quarter of the font's average
// character width, one vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>

class QGroupBox;
class QWidget;

namespace quorvane::ui {

// Average character width and character height of the dialog font, pixels.
struct DialogBaseUnits {
  int x = 6;
  int y = 12;
};

// Registers the substitution of the installed AR PL UMing for "SimSun".
// Idempotent; called by dialogFont.
void installDialogFontSubstitution();

// The dialogs' font: "SimSun", 9 points (12 pixels at 96 dpi).
QFont dialogFont();

// Base units of a font measured as the platform does: the average advance
// of the 52 letters A-Z a-z, rounded, and the font's height.
DialogBaseUnits measureBaseUnits(const QFont& font);

// The base units of dialogFont(), measured once.
DialogBaseUnits dialogBaseUnits();

// x * base.x / 4 and y * base.y / 8, rounded half away from zero.
int dluToPixelsX(int dluX, const DialogBaseUnits& base);
int dluToPixelsY(int dluY, const DialogBaseUnits& base);
QRect dluToPixels(const QRect& dlu, const DialogBaseUnits& base);

// Sets a dialog's font and fixed client size from template units.
void setupDialog(QWidget* dialog, int widthDlu, int heightDlu);
// Places a child control at x, y, width, height in dialog units.
void placeControl(QWidget* control, int x, int y, int width, int height);

// Draws a group box as a dialog template's: the frame's top edge runs
// through the middle of the title rather than below it.
void applyTemplateGroupBoxLook(QGroupBox* box);

}  // namespace quorvane::ui
