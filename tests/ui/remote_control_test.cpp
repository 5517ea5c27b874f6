// The remote control against the receiver emulator over a pseudo-terminal:
// buttons and PC keys send their key frames, the Com buttons choose and open
// the port, and the control panel makes way while the remote runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <memory>
#include <vector>

#include "app/app_config.h"
#include "app/ui/panel_actions.h"
#include "receiver_emulator.h"
#include "remote/ui/key_capture_edit.h"
#include "remote/ui/remote_control_dialog.h"
#include "support/test_support.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

using Codes = std::vector<std::uint8_t>;

// Sent after keys that must send nothing: once it has arrived, everything
// sent before it has arrived too.
constexpr std::uint8_t kMarker = 0x1E;  // EPG

// A key press as the window system delivers it: the shortcut check, the
// press (passed up to the dialog while nobody accepts it), the release.
void keyClick(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
              bool autoRepeat = false) {
  QKeyEvent override(QEvent::ShortcutOverride, key, modifiers, QString(), autoRepeat);
  QApplication::sendEvent(target, &override);
  QKeyEvent press(QEvent::KeyPress, key, modifiers, QString(), autoRepeat);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(target, &release);
}

class RemoteControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(emulator_.start());
    // Every Com port is missing unless a test gives it a device.
    for (int n = 1; n <= 4; ++n) setCom(n, dir_.file("missing" + std::to_string(n)));
    setCom(1, emulator_.devicePath());
  }
  void setCom(int n, const std::string& path) {
    env_.push_back(std::make_unique<test::ScopedEnv>("QUORVANE_COM" + std::to_string(n), path));
  }
  static Codes codesOnceArrived(emu::ReceiverEmulator& emulator, std::size_t count) {
    emulator.waitUntil([&] { return emulator.keyCodesReceived().size() >= count; });
    return emulator.keyCodesReceived();
  }
  Codes codesOnceArrived(std::size_t count) { return codesOnceArrived(emulator_, count); }
  static void showAndActivate(QDialog& dialog) {
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    ASSERT_TRUE(dialog.isActiveWindow());
  }

  test::TempDir dir_;
  std::vector<std::unique_ptr<test::ScopedEnv>> env_;
  emu::ReceiverEmulator emulator_;
  AppConfig config_;  // the process-wide record while the test runs
  test::RecordingPresenter presenter_;
};

TEST_F(RemoteControlTest, EveryButtonSendsItsExactKeyFrame) {
  RemoteControlDialog dialog;  // portIndex 0: COM1 opened at once
  for (const remote::RemoteKey& key : remote::remoteKeys()) {
    EXPECT_EQ(dialog.keyButton(key.code)->text(), QString::fromUtf8(key.caption));
    dialog.keyButton(key.code)->click();
  }
  codesOnceArrived(32);
  const std::vector<FrameBytes> frames = emulator_.framesReceived();
  ASSERT_EQ(frames.size(), 32u);
  // Line-control values among them (0x0A, 0x0D, 0x11, 0x13) pass unchanged.
  for (std::size_t code = 0; code < frames.size(); ++code)
    EXPECT_EQ(frames[code], keyFrame(static_cast<std::uint8_t>(code))) << "code " << code;
  EXPECT_EQ(frames[0x00],
            (FrameBytes{'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', 'J', 0x00, 'O', 'V'}));
  EXPECT_EQ(frames[0x1F],
            (FrameBytes{'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', 'J', 0x1F, 'O', 'V'}));
  EXPECT_TRUE(presenter_.messages.empty());
}

TEST_F(RemoteControlTest, KeyFieldSendsMappedKeysAndKeepsEnterAndEsc) {
  RemoteControlDialog dialog;
  showAndActivate(dialog);
  KeyCaptureEdit* field = dialog.keyField();
  ASSERT_EQ(QApplication::focusWidget(), field);  // focused first

  keyClick(field, Qt::Key_5);
  keyClick(field, Qt::Key_5, Qt::KeypadModifier);
  keyClick(field, Qt::Key_0, Qt::KeypadModifier);
  keyClick(field, Qt::Key_9);
  keyClick(field, Qt::Key_Return);
  keyClick(field, Qt::Key_Enter, Qt::KeypadModifier);
  keyClick(field, Qt::Key_Escape);
  for (int key : {Qt::Key_Delete, Qt::Key_Space, Qt::Key_Left, Qt::Key_Up, Qt::Key_Right})
    keyClick(field, key);
  for (int repeat = 0; repeat < 3; ++repeat) keyClick(field, Qt::Key_Down, {}, repeat > 0);
  for (int key : {Qt::Key_A, Qt::Key_Z, Qt::Key_F1, Qt::Key_PageDown}) keyClick(field, key);
  dialog.keyButton(kMarker)->click();

  const Codes expected = {0x13, 0x13, 0x0E, 0x0F, 0x06, 0x06, 0x03, 0x03,
                          0x1D, 0x07, 0x02, 0x05, 0x0A, 0x0A, 0x0A, kMarker};
  EXPECT_EQ(codesOnceArrived(expected.size()), expected);
  EXPECT_TRUE(dialog.isVisible());  // neither Enter nor Esc ended it
  EXPECT_EQ(QApplication::focusWidget(), field);
}

TEST_F(RemoteControlTest, OutsideTheKeyFieldEnterDoesNothingAndEscCloses) {
  RemoteControlDialog dialog;
  showAndActivate(dialog);
  for (QPushButton* button : dialog.findChildren<QPushButton*>())
    EXPECT_FALSE(button->autoDefault() || button->isDefault()) << button->text().toStdString();
  for (QWidget* focus : {static_cast<QWidget*>(dialog.keyButton(0x06)),
                         static_cast<QWidget*>(dialog.comButton(0))}) {
    focus->setFocus();
    keyClick(focus, Qt::Key_Return);
    keyClick(focus, Qt::Key_Enter, Qt::KeypadModifier);
  }
  EXPECT_TRUE(dialog.isVisible());
  dialog.keyButton(kMarker)->click();
  EXPECT_EQ(codesOnceArrived(1), Codes{kMarker});

  keyClick(dialog.comButton(0), Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(emulator_.keyCodesReceived(), Codes{kMarker});
}

TEST_F(RemoteControlTest, LayoutFollowsTheTemplate) {
  config_.portIndex = -1;
  RemoteControlDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Quorvane 1.2"));
  EXPECT_EQ(dialog.windowType(), Qt::Window);
  EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_EQ(dialog.geometry().center(), dialog.screen()->availableGeometry().center());
  EXPECT_EQ(dialog.keyField()->toPlainText(),
            QString::fromUtf8(remote::helpText().c_str()).replace("\r\n", "\n"));
  // Key buttons right of the key field, in their rows and columns.
  for (const remote::RemoteKey& a : remote::remoteKeys()) {
    const QRect ra = dialog.keyButton(a.code)->geometry();
    EXPECT_GT(ra.left(), dialog.keyField()->geometry().right());
    for (const remote::RemoteKey& b : remote::remoteKeys()) {
      const QRect rb = dialog.keyButton(b.code)->geometry();
      EXPECT_EQ(a.row == b.row, ra.top() == rb.top()) << a.code << " " << b.code;
      EXPECT_EQ(a.row < b.row, ra.bottom() < rb.top()) << a.code << " " << b.code;
      EXPECT_EQ(a.column == b.column, ra.left() == rb.left()) << a.code << " " << b.code;
      EXPECT_EQ(a.column < b.column, ra.right() < rb.left()) << a.code << " " << b.code;
    }
  }
}

TEST_F(RemoteControlTest, StoredPortTwoOpensCom2AtInitialisation) {
  emu::ReceiverEmulator com2;
  ASSERT_TRUE(com2.start());
  setCom(2, com2.devicePath());
  config_.portIndex = 1;
  RemoteControlDialog dialog;
  EXPECT_TRUE(dialog.comButton(1)->isChecked());
  EXPECT_EQ(dialog.port().devicePath(), com2.devicePath());
  dialog.keyButton(0x1D)->click();
  EXPECT_EQ(codesOnceArrived(com2, 1), Codes{0x1D});
  EXPECT_TRUE(presenter_.messages.empty());
}

TEST_F(RemoteControlTest, MissingCom2IsReportedAtInitialisation) {
  config_.portIndex = 1;
  RemoteControlDialog dialog;
  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, QStringLiteral("open port2 error!"));
  EXPECT_EQ(presenter_.messages[0].title, QStringLiteral("Quorvane 1.2"));
  EXPECT_EQ(presenter_.messages[0].owner, &dialog);
  EXPECT_TRUE(dialog.comButton(1)->isChecked());
  EXPECT_FALSE(dialog.port().isOpen());
}

TEST_F(RemoteControlTest, StoredPortOutOfRangeSelectsNothingUntilAComButtonIsClicked) {
  config_.portIndex = 7;
  RemoteControlDialog dialog;
  EXPECT_EQ(dialog.selectedPort(), -1);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(dialog.comButton(i)->isChecked()) << i;
  EXPECT_FALSE(dialog.port().isOpen());
  dialog.keyButton(0x00)->click();
  keyClick(dialog.keyField(), Qt::Key_Return);
  EXPECT_EQ(config_.portIndex, 7);

  dialog.comButton(0)->click();
  EXPECT_EQ(config_.portIndex, 0);
  dialog.keyButton(kMarker)->click();
  EXPECT_EQ(codesOnceArrived(1), Codes{kMarker});
  EXPECT_TRUE(presenter_.messages.empty());
}

TEST_F(RemoteControlTest, SwitchingToAMissingCom3ClosesCom1AndStoresTheIndex) {
  RemoteControlDialog dialog;
  ASSERT_TRUE(dialog.port().isOpen());
  dialog.comButton(2)->click();
  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, QStringLiteral("open port3 error!"));
  EXPECT_FALSE(dialog.port().isOpen());
  EXPECT_EQ(config_.portIndex, 2);
  EXPECT_EQ(dialog.selectedPort(), 2);
  dialog.keyButton(0x00)->click();  // goes nowhere
  SerialPort other;                 // COM1 is free again
  EXPECT_EQ(other.open(1, kLineSpeed), 1);
  EXPECT_TRUE(emulator_.keyCodesReceived().empty());
}

// Runs the keyboard control from inside a running control panel, ends the
// remote with `end`, and checks the panel during and after.
void runFromPanel(const std::function<void(RemoteControlDialog*)>& end) {
  QDialog panel;
  panel.move(120, 90);
  struct Seen {
    bool panelHidden = false, unowned = false, portOpen = false, panelStillRunning = false;
    QPoint after;
  };
  auto seen = std::make_shared<Seen>();
  test::onNextModal(
      [seen, &panel, end](QWidget* w) {
        auto* remote = qobject_cast<RemoteControlDialog*>(w);
        ASSERT_NE(remote, nullptr);
        seen->panelHidden = !panel.isVisible();
        seen->unowned = remote->parentWidget() == nullptr && remote->windowType() == Qt::Window;
        seen->portOpen = remote->port().isOpen();
        end(remote);
      },
      &panel);
  QPointer<QDialog> guard(&panel);
  QTimer::singleShot(0, &panel, [seen, guard] {
    runKeyboardControl(guard);
    seen->after = guard->pos();
    QTimer::singleShot(0, guard, [seen, guard] {  // still in the panel's modal loop?
      seen->panelStillRunning = guard->isVisible();
      guard->reject();
    });
  });
  panel.exec();
  EXPECT_TRUE(seen->panelHidden);
  EXPECT_TRUE(seen->unowned);
  EXPECT_TRUE(seen->portOpen);
  EXPECT_TRUE(seen->panelStillRunning);
  EXPECT_EQ(seen->after, QPoint(120, 90));
}

TEST_F(RemoteControlTest, PanelMakesWayAndComesBackWhereItWas) {
  runFromPanel([](RemoteControlDialog* remote) { remote->closeButton()->click(); });
  runFromPanel([](RemoteControlDialog* remote) { remote->close(); });  // the close box
  SerialPort other;  // the dialog was discarded: its port is free again
  EXPECT_EQ(other.open(1, kLineSpeed), 1);
}

}  // namespace
}  // namespace quorvane::ui
