#include "remote/ui/remote_control_dialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <memory>

#include "base/app_config.h"
#include "widgets/app_icon.h"
#include "widgets/dialog_units.h"
#include "widgets/message_box.h"
#include "remote/remote_keys.h"
#include "remote/ui/key_capture_edit.h"

namespace quorvane::ui {

namespace {

// Template 141, in dialog units.
constexpr int kDialogWidth = 462;
constexpr int kDialogHeight = 349;
constexpr int kMargin = 7;

// Left side: "close", the "Comport" group, the key field (205 x 170).
constexpr int kLeftX = kMargin;
constexpr int kLeftWidth = 205;
constexpr int kCloseY = kMargin, kCloseWidth = 60, kCloseHeight = 16;
constexpr int kComBoxY = 30, kComBoxHeight = 130;
constexpr int kComFirstY = 18, kComPitch = 28;  // from the group's top left
constexpr int kComX = 18, kComWidth = 80, kComHeight = 12;
constexpr int kKeyFieldWidth = 205, kKeyFieldHeight = 170;
constexpr int kKeyFieldY = kDialogHeight - kMargin - kKeyFieldHeight;

// Right side: 13 rows of up to three key buttons, filling the height.
constexpr int kKeysLeft = 227;
constexpr int kKeyPitchX = 80, kKeyWidth = 68;
constexpr int kKeysTop = kMargin;
constexpr int kKeyPitchY = 26, kKeyHeight = 20;

constexpr const char* kCloseCaption = "close";
constexpr const char* kComGroupCaption = "Comport";
constexpr std::array<const char*, RemoteControlDialog::kComButtonCount> kComCaptions = {
    "Com 1", "Com 2", "Com 3", "Com 4"};

// Tags a control with its template id (object name and "controlId").
void setControlId(QWidget* control, int id) {
  control->setObjectName(QStringLiteral("control%1").arg(id));
  control->setProperty("controlId", id);
}

// Push buttons here never become the default button: Enter does nothing.
void makePlain(QPushButton* button) {
  button->setAutoDefault(false);
  button->setDefault(false);
}

}  // namespace

RemoteControlDialog::RemoteControlDialog() : QDialog(nullptr) {
  // A top-level window with caption, system menu and minimise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setupDialog(this, kDialogWidth, kDialogHeight);
  buildControls();

  setWindowIcon(appIcon());
  keyField_->setPlainText(QString::fromUtf8(remote::helpText().c_str()));
  setWindowTitle(QString::fromUtf8(kAppTitle));
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());

  const std::int32_t portIndex = AppConfig::instance().portIndex;
  selectedPort_ = portIndex >= 0 && portIndex < kComButtonCount ? portIndex : -1;
  keyField_->setOwner(this);
  if (selectedPort_ >= 0) {
    comButtons_[static_cast<std::size_t>(selectedPort_)]->setChecked(true);
    selectPort(selectedPort_ + 1);
  }
  keyField_->setFocus(Qt::OtherFocusReason);
}

RemoteControlDialog::~RemoteControlDialog() = default;

void RemoteControlDialog::buildControls() {
  // Created in tab order: the key field first, so it takes the focus.
  keyField_ = new KeyCaptureEdit(this);
  setControlId(keyField_, 1076);
  placeControl(keyField_, kLeftX, kKeyFieldY, kKeyFieldWidth, kKeyFieldHeight);

  closeButton_ = new QPushButton(QString::fromUtf8(kCloseCaption), this);
  setControlId(closeButton_, 2);
  makePlain(closeButton_);
  placeControl(closeButton_, kLeftX, kCloseY, kCloseWidth, kCloseHeight);
  connect(closeButton_, &QPushButton::clicked, this, &QDialog::reject);

  // As on a dialog template, the radio buttons are the group box's siblings,
  // drawn over it.
  comBox_ = new QGroupBox(QString::fromUtf8(kComGroupCaption), this);
  applyTemplateGroupBoxLook(comBox_);
  placeControl(comBox_, kLeftX, kComBoxY, kLeftWidth, kComBoxHeight);
  comGroup_ = new QButtonGroup(this);
  comGroup_->setExclusive(true);
  for (int i = 0; i < kComButtonCount; ++i) {
    auto* radio =
        new QRadioButton(QString::fromUtf8(kComCaptions[static_cast<std::size_t>(i)]), this);
    setControlId(radio, kComControlIds[static_cast<std::size_t>(i)]);
    placeControl(radio, kLeftX + kComX, kComBoxY + kComFirstY + i * kComPitch, kComWidth,
                 kComHeight);
    comGroup_->addButton(radio, i);
    comButtons_[static_cast<std::size_t>(i)] = radio;
  }
  connect(comGroup_, &QButtonGroup::idClicked, this, [this](int id) { selectPort(id + 1); });

  // The key buttons row by row, left to right.
  for (int row = 1; row <= remote::kKeyRowCount; ++row) {
    for (int column = 0; column < remote::kKeyColumnCount; ++column) {
      for (const remote::RemoteKey& key : remote::remoteKeys()) {
        if (key.row != row || key.column != column) continue;
        auto* button = new QPushButton(QString::fromUtf8(key.caption), this);
        setControlId(button, key.controlId);
        makePlain(button);
        placeControl(button, kKeysLeft + column * kKeyPitchX, kKeysTop + (row - 1) * kKeyPitchY,
                     kKeyWidth, kKeyHeight);
        const std::uint8_t code = key.code;
        connect(button, &QPushButton::clicked, this, [this, code] { sendKey(code); });
        keyButtons_[code] = button;
      }
    }
  }
}

void RemoteControlDialog::sendKey(std::uint8_t code) {
  session_.sendKey(code);
}

void RemoteControlDialog::selectPort(int portNumber) {
  selectedPort_ = comGroup_->checkedId();
  std::int32_t& portIndex = AppConfig::instance().portIndex;
  const std::optional<Notice> failure = session_.selectPort(portNumber, portIndex);
  if (failure) showNotice(*failure, this);
}

}  // namespace quorvane::ui
