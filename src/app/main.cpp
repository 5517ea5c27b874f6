// Quorvane: the control panel and its dialogs. Takes no options.
#include "app/application.h"

int main(int argc, char** argv) {
  quorvane::ui::Application application(argc, argv);
  return application.run();
}
