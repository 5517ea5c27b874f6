#include "app/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "base/notice.h"
#include "widgets/app_icon.h"
#include "widgets/dialog_units.h"

namespace quorvane::ui {

namespace {

// Template 100, dialog units.
constexpr int kWidth = 275;
constexpr int kHeight = 51;
constexpr int kIconPixels = 32;  // an icon control takes the icon's own size

constexpr const char* kTitleFormat = "About %s";
constexpr const char* kFirstLineFormat = "%s    %s";
constexpr const char* kVersionText = "version 1.2";
constexpr const char* kSecondLineText = "Satellite receiver service tool";

}  // namespace

AboutDialog::AboutDialog()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setupDialog(this, kWidth, kHeight);

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("aboutIcon"));
  icon->setPixmap(appIcon().pixmap(kIconPixels, kIconPixels));
  const DialogBaseUnits base = dialogBaseUnits();
  icon->setGeometry(dluToPixelsX(11, base), dluToPixelsY(12, base), kIconPixels, kIconPixels);

  firstLine_ = new QLabel(this);
  firstLine_->setObjectName(QStringLiteral("aboutFirstLine"));
  firstLine_->setProperty("controlId", kFirstLineId);
  firstLine_->setTextFormat(Qt::PlainText);  // the four spaces stay as they are
  placeControl(firstLine_, 40, 10, 180, 8);

  secondLine_ = new QLabel(this);
  secondLine_->setObjectName(QStringLiteral("aboutSecondLine"));
  secondLine_->setProperty("controlId", kSecondLineId);
  secondLine_->setTextFormat(Qt::PlainText);
  placeControl(secondLine_, 40, 25, 165, 8);

  okButton_ = new QPushButton(QStringLiteral("OK"), this);
  okButton_->setObjectName(QStringLiteral("okButton"));
  okButton_->setProperty("controlId", 1);
  okButton_->setDefault(true);
  placeControl(okButton_, 218, 25, 50, 14);
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);

  setWindowIcon(appIcon());
  setWindowTitle(QString::asprintf(kTitleFormat, kAppTitle));
  firstLine_->setText(QString::asprintf(kFirstLineFormat, kAppTitle, kVersionText));
  secondLine_->setText(QString::fromUtf8(kSecondLineText));
  okButton_->setFocus();
}

}  // namespace quorvane::ui
