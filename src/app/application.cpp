#include "app/application.h"

#include <QStyleFactory>

#include "base/app_config.h"
#include "app/control_panel_dialog.h"
#include "widgets/dialog_units.h"
#include "widgets/message_box.h"
#include "widgets/window_placement.h"

namespace quorvane::ui {

namespace {

constexpr const char* kStyleName = "Fusion";

// QApplication keeps references to its argc and argv for its lifetime; it
// is handed the program name only.
int g_argc = 1;
char* g_argv[2] = {nullptr, nullptr};

int& programNameOnly(char** argv) {
  static char fallbackName[] = "quorvane";
  g_argv[0] = (argv && argv[0]) ? argv[0] : fallbackName;
  g_argc = 1;
  return g_argc;
}

}  // namespace

Application::Application(int /*argc*/, char** argv) : QApplication(programNameOnly(argv), g_argv) {}

int Application::run() {
  return runApplication();
}

void initToolkit() {
  if (QStyle* style = QStyleFactory::create(QString::fromUtf8(kStyleName)))
    QApplication::setStyle(style);
  installDialogFontSubstitution();
}

int startUp(AppConfig& config, ControlPanelDialog& panel) {
  config.locateConfig();
  config.loadConfig();
  initToolkit();
  setMainWindow(&panel);
  panel.exec();  // its result does not matter
  setMainWindow(nullptr);
  if (const std::optional<Notice> failure = config.saveConfig()) showNotice(*failure, nullptr);
  return 0;
}

int runApplication() {
  AppConfig config;
  ControlPanelDialog panel;
  return startUp(config, panel);
}

}  // namespace quorvane::ui
