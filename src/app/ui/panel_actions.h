// The functions behind the control panel's buttons. Each lives beside the
// dialog it opens; every one runs its dialog modally and discards it.
#pragma once

class QDialog;
class QWidget;

namespace quorvane::ui {

void runCommSetup();                      // "&Setup Comm"
void runKeyboardControl(QDialog* panel);  // "&Keyboard Control"
void runReadSoftware();                   // "&Read Software"
void runUpgradeSoftware(QWidget* panel);  // "&Upgrade Software"
void runAbout();                          // "&About"

}  // namespace quorvane::ui
