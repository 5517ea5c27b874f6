// quorvane-station: the station window. --help and --version, and a
// command line it doesn't understand, are answered on the terminal before
// the toolkit starts, so they need no display.
#include <QApplication>
#include <QStyleFactory>
#include <cstdio>
#include <string>
#include <vector>

#include "quorvane/version.h"
#include "station/ui/station_setup.h"
#include "station/ui/station_window.h"

int main(int argc, char** argv) {
  using namespace quorvane::station;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const StationSetup stored = loadStationSetup();
  const LaunchOptions options = parseLaunchOptions(args, stored);
  if (options.help) {
    std::fputs(launchHelp().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("quorvane-station %s\n", quorvane::kVersion);
    return 0;
  }
  if (!options.error.empty()) {
    std::fprintf(stderr, "quorvane-station: %s\n%s", options.error.c_str(), launchHelp().c_str());
    return 2;
  }

  // The toolkit sees no arguments: everything on the command line is ours.
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setApplicationName("quorvane-station");
  // A set-up from the command line is kept only when changed in the window.
  StationWindow window(options.setup, !options.slotsGiven && !options.jobGiven);
  window.show();
  if (options.start) window.startStation();
  return QApplication::exec();
}
