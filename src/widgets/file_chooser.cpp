#include "widgets/file_chooser.h"

#include <QFileDialog>

namespace quorvane::ui {

namespace {

class QtFileChooser final : public FileChooser {
 public:
  std::optional<QString> chooseSaveFile(QWidget* owner, const FileRequest& r) override {
    // QFileDialog asks before an existing file is replaced.
    const QString path = QFileDialog::getSaveFileName(owner, r.title, r.proposedName, r.filter);
    if (path.isEmpty()) return std::nullopt;
    return path;
  }
  std::optional<QString> chooseOpenFile(QWidget* owner, const FileRequest& r) override {
    // getOpenFileName only returns files that exist.
    const QString path = QFileDialog::getOpenFileName(owner, r.title, r.proposedName, r.filter);
    if (path.isEmpty()) return std::nullopt;
    return path;
  }
};

FileChooser* g_chooser = nullptr;

}  // namespace

FileChooser& fileChooser() {
  static QtFileChooser standard;
  return g_chooser ? *g_chooser : standard;
}

void setFileChooser(FileChooser* chooser) {
  g_chooser = chooser;
}

}  // namespace quorvane::ui
