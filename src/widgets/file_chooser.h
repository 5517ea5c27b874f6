// The common open-file and save-file dialogs, behind an interface so that
// tests can answer them. They come up centred over the owner, or over the
// window that stands for an owner that is not on screen
// (window_placement.h).
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace quorvane::ui {

struct FileRequest {
  QString title;         // "save as rom(*.bin) file"
  QString proposedName;  // "rom.bin"
  QString filter;        // "rom image file(*.bin)"
};

class FileChooser {
 public:
  virtual ~FileChooser() = default;
  // The chosen full path, or nothing when the user cancelled. The save
  // dialog confirms before an existing file is overwritten; the open dialog
  // accepts only an existing file.
  virtual std::optional<QString> chooseSaveFile(QWidget* owner, const FileRequest& request) = 0;
  virtual std::optional<QString> chooseOpenFile(QWidget* owner, const FileRequest& request) = 0;
};

FileChooser& fileChooser();
void setFileChooser(FileChooser* chooser);  // nullptr restores QFileDialog

}  // namespace quorvane::ui
