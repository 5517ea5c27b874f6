// Start and end of the program. main() makes the application object; then
// the settings record and the control panel are made, in that order, the
// control panel runs modally, the settings are saved and everything is
// destroyed in the reverse order. No message loop follows.
#pragma once

#include <QApplication>

#include "widgets/window_placement.h"  // mainWindow()

namespace quorvane {
class AppConfig;
}

namespace quorvane::ui {

class ControlPanelDialog;

class Application : public QApplication {
  Q_OBJECT

 public:
  // The command line is not looked at, not even for the toolkit's options.
  Application(int argc, char** argv);

  // Makes the settings record and the control panel and runs start-up with
  // them (runApplication). Returns the process's exit status.
  int run();
};

// Toolkit set-up before the control panel is shown: one widget style on
// every platform and the dialog font's substitute. Help is not installed
// anywhere, so F1 does nothing.
void initToolkit();

// The start-up routine: locateConfig, loadConfig, initToolkit, the control
// panel as main window (mainWindow(); nullptr before and after) run
// modally, saveConfig (its failure shown with no owner window). Returns 0,
// the status that ends the program.
int startUp(AppConfig& config, ControlPanelDialog& panel);

// Makes AppConfig, then ControlPanelDialog, runs startUp with them and
// destroys them in the reverse order. Needs a QApplication.
int runApplication();

}  // namespace quorvane::ui
