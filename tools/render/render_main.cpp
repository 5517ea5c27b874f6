// Renders every registered dialog to a PNG, the way a user would see it:
//   quorvane-render OUTPUT_DIR [SCENE...]
// Runs under any Qt platform; offscreen needs no display.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <set>
#include <string>

#include "render_registry.h"

namespace quorvane::render {

std::vector<Scene>& scenes() {
  static std::vector<Scene> all;
  return all;
}

}  // namespace quorvane::render

namespace {

void printUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: quorvane-render OUTPUT_DIR [SCENE...]\n"
               "Writes OUTPUT_DIR/SCENE.png for every scene named, or for all of them.\n"
               "Without a display: QT_QPA_PLATFORM=offscreen quorvane-render OUTPUT_DIR\n"
               "Scenes:");
  for (const auto& scene : quorvane::render::scenes()) std::fprintf(out, " %s", scene.name.c_str());
  std::fprintf(out, "\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    printUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  QApplication app(argc, argv);
  const QString outDir = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(outDir);
  std::set<std::string> wanted(argv + 2, argv + argc);
  int failures = 0;
  for (const auto& scene : quorvane::render::scenes()) {
    if (!wanted.empty() && !wanted.count(scene.name)) continue;
    std::unique_ptr<QWidget> window = scene.make();
    window->show();
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    const QPixmap shot = window->grab();
    const QString file = outDir + "/" + QString::fromStdString(scene.name) + ".png";
    if (!shot.save(file)) {
      std::fprintf(stderr, "could not write %s\n", qPrintable(file));
      ++failures;
    } else {
      std::printf("%s %dx%d\n", qPrintable(file), shot.width(), shot.height());
    }
    window->hide();
  }
  return failures ? 1 : 0;
}
