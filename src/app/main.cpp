// Quorvane: the control panel and its dialogs. Of its arguments only
// --version and --help mean anything; both are answered on the terminal
// before the toolkit starts, so they need no display. Any other argument is
// ignored.
#include <cstdio>
#include <cstring>

#include "app/application.h"
#include "quorvane/version.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("quorvane %s\n", quorvane::kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "usage: quorvane [--version | --help]\n"
          "The Quorvane service tool for digital satellite receivers: the control panel with\n"
          "Setup Comm, Read Software, Upgrade Software and the remote control. It takes no\n"
          "other options; the COM port is chosen in Setup Comm and kept in Quorvane.cfg in\n"
          "the current directory. quorvane-cli does the same jobs from the command line.\n");
      return 0;
    }
  }
  quorvane::ui::Application application(argc, argv);
  return application.run();
}
