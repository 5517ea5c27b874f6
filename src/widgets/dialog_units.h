// Dialog layout in dialog units for the 9-point SimSun font, as the
// templates give it: one horizontal unit is a quarter of the font's average
// character width, one vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

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

// ---- controls ----------------------------------------------------------------
// Each dialog lists its controls as its template has them, in its own .cpp:
// a name, the template's control id, the text and the place.
//
// The name is the control's objectName and says what the control is
// ("progressBar", "setupCommButton", "com2Button"); tests, the renderer and
// a debugger find controls by it. The template's numeric id (1057 for a
// progress bar, 1 and 2 for OK and Cancel) is not part of the name: it is
// kept on the control as the dynamic property "controlId", so that a control
// can still be matched with its template. Controls the template leaves
// unnumbered (group boxes, static texts, icons) carry no "controlId".
inline constexpr int kNoControlId = -1;
inline constexpr int kOkId = 1;      // the confirm command
inline constexpr int kCancelId = 2;  // the cancel command

struct DialogControl {
  const char* name;         // objectName
  int id;                   // "controlId", or kNoControlId
  const char* text;         // UTF-8 text on the template; nullptr: none or set later
  int x, y, width, height;  // dialog units
};

// The control's text on the template (empty for none).
QString controlText(const DialogControl& control);
// Gives the widget the control's name and id and places it in dialog units.
void placeControl(QWidget* widget, const DialogControl& control);

// Draws a group box as a dialog template's: the frame's top edge runs
// through the middle of the title rather than below it.
void applyTemplateGroupBoxLook(QGroupBox* box);

}  // namespace quorvane::ui
