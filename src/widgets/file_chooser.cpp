#include "widgets/file_chooser.h"

#include <QFileDialog>

#include "widgets/window_placement.h"

namespace quorvane::ui {

namespace {

// As QFileDialog::getSaveFileName and getOpenFileName, but over the owner
// or the window that stands for it (window_placement.h).
std::optional<QString> runFileDialog(QWidget* owner, const FileRequest& r,
                                     QFileDialog::AcceptMode mode) {
  QWidget* const anchor = placementAnchor(owner);
  AnchoredDialog<QFileDialog> dialog(anchor, anchor ? anchor : owner, r.title, r.proposedName,
                                     r.filter);
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
