#include "remote/ui/remote_control_dialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QGroupBox>
#include <QPushButton>
#include <QScreen>
#include <memory>

#include "base/app_config.h"
#include "widgets/app_icon.h"
#include "widgets/dialog_units.h"
#include "widgets/message_box.h"
#include "serial/device_identity.h"
#include "serial/serial_port.h"
#include "remote/remote_keys.h"
#include "remote/ui/key_capture_edit.h"

namespace quorvane::ui {

namespace {

// Template 141, dialog units.
constexpr int kWidth = 462;
constexpr int kHeight = 349;

// Left side, top to bottom: "close", the "Comport" group with the Com
// buttons, the key field.
constexpr DialogControl kCloseButton = {"closeButton", kCancelId, "close", 7, 7, 60, 16};
constexpr DialogControl kComPortGroup = {"comPortGroup", kNoControlId, "Comport", 7, 30, 205, 130};
constexpr std::array<DialogControl, kComPortCount> kComButtons = {{
    {"com1Button", 1070, "Com 1", 25, 48, 80, 12},
    {"com2Button", 1071, "Com 2", 25, 76, 80, 12},
    {"com3Button", 1074, "Com 3", 25, 104, 80, 12},
    {"com4Button", 1075, "Com 4", 25, 132, 80, 12},
}};
constexpr DialogControl kKeyField = {"keyField", 1076, nullptr, 7, 172, 205, 170};

// Right side: the 32 key buttons in 13 rows of up to three columns. Each
// shows its key's caption (remote/remote_keys.h).
constexpr int kKeysLeft = 227, kKeysTop = 7;
constexpr int kKeyPitchX = 80, kKeyPitchY = 26;
constexpr int kKeyWidth = 68, kKeyHeight = 20;
constexpr int kKeyRowCount = 13, kKeyColumnCount = 3;

struct KeyButton {
  const char* name;
  int id;
  std::uint8_t code;
  int row;     // 1..13, top to bottom
  int column;  // 0 left, 1 middle, 2 right
};

// Row by row, left to right: the tab order.
constexpr std::array<KeyButton, kKeyCodeCount> kKeyButtons = {{
    {"powerKeyButton", 1080, 0x18, 1, 0},        // POWER⊙
    {"infoKeyButton", 1081, 0x1B, 1, 2},         // INFO
    {"pauseKeyButton", 1082, 0x09, 2, 0},        // PAUSE
    {"textKeyButton", 1083, 0x01, 2, 1},         // TEXT
    {"uhfKeyButton", 1084, 0x0B, 2, 2},          // UHF
    {"favUpKeyButton", 1085, 0x0D, 3, 0},        // FAV▲
    {"favDownKeyButton", 1086, 0x0C, 3, 1},      // FAV▼
    {"favKeyButton", 1087, 0x1C, 3, 2},          // FAV
    {"audioKeyButton", 1088, 0x1A, 4, 0},        // AUDIO
    {"muteKeyButton", 1089, 0x00, 4, 2},         // MUTE
    {"channelUpKeyButton", 1090, 0x02, 5, 1},    // CH▲
    {"volumeDownKeyButton", 1093, 0x07, 6, 0},   // <--VOL
    {"okKeyButton", 1091, 0x06, 6, 1},           // OK
    {"volumeUpKeyButton", 1092, 0x05, 6, 2},     // VOL-->
    {"channelDownKeyButton", 1094, 0x0A, 7, 1},  // CH▼
    {"menuKeyButton", 1095, 0x1D, 8, 0},         // MENU
    {"exitKeyButton", 1096, 0x03, 8, 2},         // EXIT
    {"recallKeyButton", 1097, 0x08, 9, 0},       // RECALL
    {"tvRadioKeyButton", 1098, 0x19, 9, 1},      // TV/RADIO
    {"satTvKeyButton", 1099, 0x04, 9, 2},        // SAT/TV
    {"digit1KeyButton", 1100, 0x17, 10, 0},      // 1
    {"digit2KeyButton", 1101, 0x16, 10, 1},      // 2
    {"digit3KeyButton", 1102, 0x15, 10, 2},      // 3
    {"digit4KeyButton", 1103, 0x14, 11, 0},      // 4
    {"digit5KeyButton", 1104, 0x13, 11, 1},      // 5
    {"digit6KeyButton", 1105, 0x12, 11, 2},      // 6
    {"digit7KeyButton", 1106, 0x11, 12, 0},      // &7
    {"digit8KeyButton", 1107, 0x10, 12, 1},      // 8
    {"digit9KeyButton", 1108, 0x0F, 12, 2},      // 9
    {"pnsKeyButton", 1109, 0x1F, 13, 0},         // P/N/S
    {"digit0KeyButton", 1110, 0x0E, 13, 1},      // 0
    {"epgKeyButton", 1111, 0x1E, 13, 2},         // EPG
}};

static_assert(
    [] {
      std::array<int, kKeyCodeCount> seen{};
      for (const KeyButton& k : kKeyButtons) {
        if (k.code >= kKeyCodeCount || k.row < 1 || k.row > kKeyRowCount || k.column < 0 ||
            k.column >= kKeyColumnCount)
          return false;
        ++seen[k.code];
      }
      for (int n : seen)
        if (n != 1) return false;
      return true;
    }(),
    "one button for every key code, each on the remote's grid");

DialogControl keyButtonControl(const KeyButton& key) {
  return {key.name,
          key.id,
          remote::findKeyByCode(key.code)->caption,
          kKeysLeft + key.column * kKeyPitchX,
          kKeysTop + (key.row - 1) * kKeyPitchY,
          kKeyWidth,
          kKeyHeight};
}

// The key field's help text; every line, the last one included, ends with
// CR LF.
constexpr std::array<const char*, 10> kHelpLines = {
    "Set the Focus on me\xEF\xBC\x81",               // full-width "!"
    "And then Press the key as follow\xEF\xBC\x9A",  // full-width ":"
    "",
    "KEY 'Left'  equal 'VOL left' key",
    "KEY 'Right' equal 'VOL right' key",
    "KEY 'Up'    equal 'CH up' key",
    "KEY 'Down'  equal 'CH down' key",
    "KEY 'Space' equal 'MENU' key",
    "KEY 'Enter' equal 'OK' key",
    "KEY 'Esc' or 'Delete' equal 'EXIT' key",
};
constexpr const char* kHelpLineEnd = "\r\n";

QString helpText() {
  QString text;
  for (const char* line : kHelpLines) text += QString::fromUtf8(line) + QLatin1String(kHelpLineEnd);
  return text;
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
  setupDialog(this, kWidth, kHeight);
  buildControls();

  setWindowIcon(appIcon());
  keyField_->setPlainText(helpText());
  setWindowTitle(QString::fromUtf8(kAppTitle));
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());

  const std::int32_t portIndex = AppConfig::instance().portIndex;
  selectedPort_ = portIndex >= 0 && portIndex < kComPortCount ? portIndex : -1;
  keyField_->setOwner(this);
  if (selectedPort_ >= 0) {
    comButtons_.button(selectedPort_)->setChecked(true);
    selectPort(selectedPort_ + 1);
  }
  keyField_->setFocus(Qt::OtherFocusReason);
}

RemoteControlDialog::~RemoteControlDialog() = default;

void RemoteControlDialog::buildControls() {
  // Created in tab order: the key field first, so it takes the focus.
  keyField_ = new KeyCaptureEdit(this);
  placeControl(keyField_, kKeyField);

  auto* closeButton = new QPushButton(controlText(kCloseButton), this);
  makePlain(closeButton);
  placeControl(closeButton, kCloseButton);
  connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);

  // As on a dialog template, the radio buttons are the group box's siblings,
  // drawn over it.
  auto* comPortGroup = new QGroupBox(controlText(kComPortGroup), this);
  applyTemplateGroupBoxLook(comPortGroup);
  placeControl(comPortGroup, kComPortGroup);
  // Looked at before the stored port is opened here.
  comButtons_.create(this, kComButtons, lookAtPort);
  connect(comButtons_.group(), &QButtonGroup::idClicked, this,
          [this](int id) { selectPort(id + 1); });

  for (const KeyButton& key : kKeyButtons) {
    const DialogControl control = keyButtonControl(key);
    auto* button = new QPushButton(controlText(control), this);
    makePlain(button);
    placeControl(button, control);
    const std::uint8_t code = key.code;
    connect(button, &QPushButton::clicked, this, [this, code] { sendKey(code); });
    keyButtons_[code] = button;
  }
}

void RemoteControlDialog::sendKey(std::uint8_t code) {
  session_.sendKey(code);
}

void RemoteControlDialog::selectPort(int portNumber) {
  selectedPort_ = comButtons_.checkedIndex();
  std::int32_t& portIndex = AppConfig::instance().portIndex;
  const std::optional<Notice> failure = session_.selectPort(portNumber, portIndex);
  if (failure) showNotice(*failure, this);
}

}  // namespace quorvane::ui
