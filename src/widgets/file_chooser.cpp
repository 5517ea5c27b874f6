#include "widgets/file_chooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "widgets/window_placement.h"

namespace quorvane::ui {

namespace {

// A file dialog whose save mode takes a name only in a folder that exists,
// as the Windows common dialog does when the path must exist: otherwise it
// says so and stays open, so that nothing starts with a file that can't be
// created.
class FileDialog final : public AnchoredDialog<QFileDialog> {
 public:
  using AnchoredDialog::AnchoredDialog;

  void accept() override {
    const QString path = selectedFiles().value(0);
    const QFileInfo info(path);
    if (acceptMode() == AcceptSave && !path.isEmpty() && !info.isDir() &&
        !info.absoluteDir().exists()) {
      QMessageBox::warning(this, windowTitle(),
                           QDir::toNativeSeparators(path) +
                               QStringLiteral("\nPath does not exist.\nCheck the path and try "
                                              "again."));
      return;
    }
    QFileDialog::accept();
  }
};

// As QFileDialog::getSaveFileName and getOpenFileName, but over the owner
// or the window that stands for it (window_placement.h).
std::optional<QString> runFileDialog(QWidget* owner, const FileRequest& r,
                                     QFileDialog::AcceptMode mode) {
  QWidget* const anchor = placementAnchor(owner);
  FileDialog dialog(anchor, anchor ? anchor : owner, r.title, r.proposedName, r.filter);
  dialog.setAcceptMode(mode);
  // The save dialog asks before an existing file is replaced; the open
  // dialog only returns files that exist.
  dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile
                                                     : QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QString path = dialog.selectedFiles().value(0);
  if (path.isEmpty()) return std::nullopt;
  return path;
}

class QtFileChooser final : public FileChooser {
 public:
  std::optional<QString> chooseSaveFile(QWidget* owner, const FileRequest& r) override {
    return runFileDialog(owner, r, QFileDialog::AcceptSave);
  }
  std::optional<QString> chooseOpenFile(QWidget* owner, const FileRequest& r) override {
    return runFileDialog(owner, r, QFileDialog::AcceptOpen);
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
