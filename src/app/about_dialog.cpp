#include "app/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "base/notice.h"
#include "quorvane/version.h"
#include "widgets/app_icon.h"
#include "widgets/dialog_units.h"

namespace quorvane::ui {

namespace {

// Template 100, dialog units.
constexpr int kWidth = 275;
constexpr int kHeight = 51;
constexpr DialogControl kIcon = {"programIcon", kNoControlId, nullptr, 11, 12, 0, 0};
constexpr DialogControl kFirstLine = {"firstLine", 1085, nullptr, 40, 10, 180, 8};
constexpr DialogControl kSecondLine = {"secondLine", 1086, nullptr, 40, 25, 165, 8};
constexpr DialogControl kOkButton = {"okButton", kOkId, "OK", 218, 25, 50, 14};

constexpr const char* kTitleFormat = "About %s";
constexpr const char* kFirstLineFormat = "%s    %s";
constexpr const char* kVersionFormat = "version %s";
constexpr const char* kSecondLineText = "Satellite receiver service tool";

}  // namespace

AboutDialog::AboutDialog()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setupDialog(this, kWidth, kHeight);

  addIconControl(this, kIcon);

  firstLine_ = new QLabel(this);
  firstLine_->setTextFormat(Qt::PlainText);  // the four spaces stay as they are
  placeControl(firstLine_, kFirstLine);

  secondLine_ = new QLabel(this);
  secondLine_->setTextFormat(Qt::PlainText);
  placeControl(secondLine_, kSecondLine);

  auto* okButton = new QPushButton(controlText(kOkButton), this);
  okButton->setDefault(true);
  placeControl(okButton, kOkButton);
  connect(okButton, &QPushButton::clicked, this, &QDialog::accept);

  setWindowIcon(appIcon());
  setWindowTitle(QString::asprintf(kTitleFormat, kAppTitle));
  firstLine_->setText(
      QString::asprintf(kFirstLineFormat, kAppTitle,
                        QString::asprintf(kVersionFormat, kVersion).toUtf8().constData()));
  secondLine_->setText(QString::fromUtf8(kSecondLineText));
  okButton->setFocus();
}

}  // namespace quorvane::ui
