// "About Quorvane <version>": the program's name, version and one fixed line
// (template 100).
#pragma once

#include <QDialog>

class QLabel;

namespace quorvane::ui {

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  AboutDialog();

  QLabel* firstLine() const { return firstLine_; }
  QLabel* secondLine() const { return secondLine_; }

 private:
  QLabel* firstLine_ = nullptr;
  QLabel* secondLine_ = nullptr;
};

}  // namespace quorvane::ui
