// "About Quorvane 1.2": the program's name, version and one fixed line
// (template 100).
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace quorvane::ui {

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kFirstLineId = 1085;
  static constexpr int kSecondLineId = 1086;

  AboutDialog();

  QLabel* firstLine() const { return firstLine_; }
  QLabel* secondLine() const { return secondLine_; }
  QPushButton* okButton() const { return okButton_; }

 private:
  QLabel* firstLine_ = nullptr;
  QLabel* secondLine_ = nullptr;
  QPushButton* okButton_ = nullptr;
};

}  // namespace quorvane::ui
