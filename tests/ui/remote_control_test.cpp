// The remote control against the receiver emulator over a pseudo-terminal:
// buttons and PC keys send their key frames, the Com buttons choose and open
// the port, and the control panel makes way while the remote runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <memory>
#include <vector>

#include "app/app_config.h"
#include "app/ui/dialog_units.h"
#include "app/ui/panel_actions.h"
#include "receiver_emulator.h"
#include "remote/remote_keys.h"
#include "remote/ui/key_capture_edit.h"
#include "remote/ui/remote_control_dialog.h"
#include "support/test_support.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

using Codes = std::vector<std::uint8_t>;

// A key press as the window system delivers it: the shortcut check first,
// then the press (passed up to the dialog while nobody accepts it), then
// the release.
void keyClick(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent override(QEvent::ShortcutOverride, key, modifiers);
  QApplication::sendEvent(target, &override);
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(target, &release);
}

// A marker key sent after keys that must send nothing: once it has arrived,
// everything sent before it has arrived too.
constexpr std::uint8_t kMarker = 0x1E;  // EPG

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

  // The key codes that have arrived once `count` of them are there.
  Codes codesOnceArrived(emu::ReceiverEmulator& emulator, std::size_t count) {
    emulator.waitUntil([&] { return emulator.keyCodesReceived().size() >= count; });
    return emulator.keyCodesReceived();
  }
  Codes codesOnceArrived(std::size_t count) { return codesOnceArrived(emulator_, count); }

  static void showAndActivate(QDialog& dialog) {
    dialog.show();
    dialog.activateWindow();
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
  config_.portIndex = 0;
  RemoteControlDialog dialog;
  ASSERT_TRUE(dialog.port().isOpen());
  for (const remote::RemoteKey& key : remote::remoteKeys()) {
    QPushButton* button = dialog.keyButton(key.code);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QString::fromUtf8(key.caption));
    EXPECT_EQ(button->objectName(), QStringLiteral("control%1").arg(key.controlId));
    button->click();
  }
  codesOnceArrived(32);
  const std::vector<FrameBytes> frames = emulator_.framesReceived();
  ASSERT_EQ(frames.size(), 32u);
  // Line-control bytes among them (0x0A, 0x0D, 0x11, 0x13) pass unchanged.
  for (std::size_t code = 0; code < frames.size(); ++code)
    EXPECT_EQ(frames[code], keyFrame(static_cast<std::uint8_t>(code))) << "code " << code;
  const FrameBytes mute = {'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', 'J', 0x00, 'O', 'V'};
  const FrameBytes pns = {'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', 'J', 0x1F, 'O', 'V'};
  EXPECT_EQ(frames[0], mute);
  EXPECT_EQ(frames[0x1F], pns);
  EXPECT_TRUE(presenter_.messages.empty());
}

TEST_F(RemoteControlTest, KeyFieldSendsMappedKeysAndKeepsEnterAndEsc) {
  config_.portIndex = 0;
  RemoteControlDialog dialog;
  showAndActivate(dialog);
  KeyCaptureEdit* field = dialog.keyField();
  ASSERT_EQ(QApplication::focusWidget(), field);

  keyClick(field, Qt::Key_5);
  keyClick(field, Qt::Key_5, Qt::KeypadModifier);
  keyClick(field, Qt::Key_0, Qt::KeypadModifier);
  keyClick(field, Qt::Key_9);
  keyClick(field, Qt::Key_1, Qt::KeypadModifier);
  keyClick(field, Qt::Key_Return);
  keyClick(field, Qt::Key_Enter, Qt::KeypadModifier);
  keyClick(field, Qt::Key_Escape);
  keyClick(field, Qt::Key_Delete);
  keyClick(field, Qt::Key_Space);
  keyClick(field, Qt::Key_Left);
  keyClick(field, Qt::Key_Up);
  keyClick(field, Qt::Key_Right);
  keyClick(field, Qt::Key_Down);
  // Keys without a mapping send nothing.
  keyClick(field, Qt::Key_A);
  keyClick(field, Qt::Key_Z);
  keyClick(field, Qt::Key_F1);
  keyClick(field, Qt::Key_PageDown);
  dialog.keyButton(kMarker)->click();

  const Codes expected = {0x13, 0x13, 0x0E, 0x0F, 0x17, 0x06, 0x06,   0x03,
                          0x03, 0x1D, 0x07, 0x02, 0x05, 0x0A, kMarker};
  EXPECT_EQ(codesOnceArrived(expected.size()), expected);
  // Neither Enter nor Esc ended the dialog or pressed a button.
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(QApplication::focusWidget(), field);
}

TEST_F(RemoteControlTest, AutoRepeatsSendOneFrameEach) {
  config_.portIndex = 0;
  RemoteControlDialog dialog;
  KeyCaptureEdit* field = dialog.keyField();
  for (int i = 0; i < 4; ++i) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier, QString(), i > 0);
    QApplication::sendEvent(field, &press);
  }
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier);
  QApplication::sendEvent(field, &release);
  EXPECT_EQ(codesOnceArrived(4), Codes(4, 0x0A));
}

TEST_F(RemoteControlTest, WithAComButtonFocusedEnterDoesNothingAndEscCloses) {
  config_.portIndex = 0;
  RemoteControlDialog dialog;
  showAndActivate(dialog);
  QRadioButton* com1 = dialog.comButton(0);
  com1->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), com1);

  keyClick(com1, Qt::Key_Return);
  keyClick(com1, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_TRUE(dialog.isVisible());
  dialog.keyButton(kMarker)->click();
  EXPECT_EQ(codesOnceArrived(1), Codes{kMarker});

  keyClick(com1, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(emulator_.keyCodesReceived(), Codes{kMarker});
}

TEST_F(RemoteControlTest, EnterOnAFocusedKeyButtonPressesNothing) {
  config_.portIndex = 0;
  RemoteControlDialog dialog;
  showAndActivate(dialog);
  QPushButton* ok = dialog.keyButton(0x06);
  ok->setFocus();
  keyClick(ok, Qt::Key_Return);
  EXPECT_TRUE(dialog.isVisible());
  for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
    EXPECT_FALSE(button->autoDefault()) << button->text().toStdString();
    EXPECT_FALSE(button->isDefault()) << button->text().toStdString();
  }
  dialog.keyButton(kMarker)->click();
  EXPECT_EQ(codesOnceArrived(1), Codes{kMarker});
}

TEST_F(RemoteControlTest, TemplateTitleFieldAndPlacement) {
  config_.portIndex = -1;
  RemoteControlDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Quorvane 1.2"));
  EXPECT_FALSE(dialog.windowIcon().isNull());
  EXPECT_EQ(dialog.size(),
            QSize(dluToPixelsX(462, dialogBaseUnits()), dluToPixelsY(349, dialogBaseUnits())));
  EXPECT_EQ(dialog.parentWidget(), nullptr);
  const Qt::WindowFlags flags = dialog.windowFlags();
  EXPECT_EQ(dialog.windowType(), Qt::Window);
  EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(dialog.geometry().center(), dialog.screen()->availableGeometry().center());

  EXPECT_EQ(dialog.closeButton()->text(), QStringLiteral("close"));
  EXPECT_EQ(dialog.comGroupBox()->title(), QStringLiteral("Comport"));
  const char* comNames[] = {"Com 1", "Com 2", "Com 3", "Com 4"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(dialog.comButton(i)->text(), QString::fromUtf8(comNames[i]));
    if (i > 0) {
      EXPECT_GT(dialog.comButton(i)->y(), dialog.comButton(i - 1)->y());
    }
  }

  KeyCaptureEdit* field = dialog.keyField();
  EXPECT_TRUE(field->isReadOnly());
  EXPECT_EQ(field->size(),
            QSize(dluToPixelsX(205, dialogBaseUnits()), dluToPixelsY(170, dialogBaseUnits())));
  EXPECT_EQ(field->toPlainText(),
            QString::fromUtf8(remote::helpText().c_str()).replace("\r\n", "\n"));
  EXPECT_EQ(field->owner(), &dialog);

  // Key buttons stand right of the left-hand controls, in their rows and
  // columns: same row same top, same column same left, rows top to bottom.
  for (const remote::RemoteKey& a : remote::remoteKeys()) {
    const QRect ra = dialog.keyButton(a.code)->geometry();
    EXPECT_GT(ra.left(), field->geometry().right());
    for (const remote::RemoteKey& b : remote::remoteKeys()) {
      const QRect rb = dialog.keyButton(b.code)->geometry();
      if (a.row == b.row) {
        EXPECT_EQ(ra.top(), rb.top());
      }
      if (a.row < b.row) {
        EXPECT_LT(ra.bottom(), rb.top());
      }
      if (a.column == b.column) {
        EXPECT_EQ(ra.left(), rb.left());
      }
      if (a.column < b.column) {
        EXPECT_LT(ra.right(), rb.left());
      }
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
  EXPECT_EQ(dialog.selectedPort(), 1);
  EXPECT_EQ(dialog.port().devicePath(), com2.devicePath());
  EXPECT_TRUE(presenter_.messages.empty());
  dialog.keyButton(0x1D)->click();
  EXPECT_EQ(codesOnceArrived(com2, 1), Codes{0x1D});
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
  EXPECT_EQ(config_.portIndex, 1);
}

TEST_F(RemoteControlTest, StoredPortOutOfRangeSelectsNothingUntilAComButtonIsClicked) {
  config_.portIndex = 7;
  RemoteControlDialog dialog;
  EXPECT_EQ(dialog.selectedPort(), -1);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(dialog.comButton(i)->isChecked()) << i;
  EXPECT_FALSE(dialog.port().isOpen());
  EXPECT_TRUE(presenter_.messages.empty());

  dialog.keyButton(0x00)->click();
  keyClick(dialog.keyField(), Qt::Key_Return);
  EXPECT_EQ(config_.portIndex, 7);

  dialog.comButton(0)->click();
  EXPECT_TRUE(dialog.port().isOpen());
  EXPECT_EQ(dialog.selectedPort(), 0);
  EXPECT_EQ(config_.portIndex, 0);
  dialog.keyButton(kMarker)->click();
  EXPECT_EQ(codesOnceArrived(1), Codes{kMarker});
}

TEST_F(RemoteControlTest, SwitchingToAMissingCom3LeavesNoPortAndStoresIt) {
  config_.portIndex = 0;
  RemoteControlDialog dialog;
  ASSERT_TRUE(dialog.port().isOpen());
  dialog.comButton(2)->click();
  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, QStringLiteral("open port3 error!"));
  EXPECT_EQ(presenter_.messages[0].owner, &dialog);
  EXPECT_FALSE(dialog.port().isOpen());
  EXPECT_EQ(config_.portIndex, 2);
  EXPECT_EQ(dialog.selectedPort(), 2);
  EXPECT_TRUE(dialog.comButton(2)->isChecked());

  // COM1 was released: keys go nowhere now, and another owner can take it.
  dialog.keyButton(0x00)->click();
  SerialPort other;
  EXPECT_EQ(other.open(1, kLineSpeed), 1);
  EXPECT_TRUE(emulator_.keyCodesReceived().empty());
}

TEST_F(RemoteControlTest, SwitchingPortsMovesTheKeysToTheNewPort) {
  emu::ReceiverEmulator com3;
  ASSERT_TRUE(com3.start());
  setCom(3, com3.devicePath());
  config_.portIndex = 0;
  RemoteControlDialog dialog;
  dialog.keyButton(0x17)->click();
  dialog.comButton(2)->click();
  EXPECT_EQ(dialog.port().devicePath(), com3.devicePath());
  dialog.keyButton(0x16)->click();
  // Clicking the selected button again reopens the same port.
  dialog.comButton(2)->click();
  dialog.keyButton(0x15)->click();
  EXPECT_EQ(codesOnceArrived(com3, 2), (Codes{0x16, 0x15}));
  EXPECT_EQ(codesOnceArrived(1), Codes{0x17});
  EXPECT_TRUE(presenter_.messages.empty());
  EXPECT_EQ(config_.portIndex, 2);
}

// Runs the keyboard control from inside a running control panel and ends
// the remote with `end`. Checks the panel while the remote runs and after.
void runFromPanel(const std::function<void(RemoteControlDialog*)>& end,
                  const std::string& comDevice) {
  QDialog panel;
  panel.resize(300, 150);
  panel.move(120, 90);
  struct Seen {
    bool remoteRan = false;
    bool panelHidden = false;
    bool unowned = false;
    bool portOpen = false;
    bool panelStillRunning = false;
    QPoint before, after;
  };
  auto seen = std::make_shared<Seen>();
  QPointer<QDialog> guard(&panel);

  test::onNextModal(
      [seen, &panel, end](QWidget* w) {
        auto* remote = qobject_cast<RemoteControlDialog*>(w);
        if (!remote) return;
        seen->remoteRan = true;
        seen->panelHidden = !panel.isVisible();
        seen->unowned = remote->parentWidget() == nullptr && remote->isWindow() &&
                        remote->windowType() == Qt::Window &&
                        (!remote->windowHandle() || !remote->windowHandle()->transientParent());
        seen->portOpen = remote->port().isOpen();
        end(remote);
      },
      &panel);
  QTimer::singleShot(0, &panel, [seen, guard] {
    seen->before = guard->pos();
    runKeyboardControl(guard);
    seen->after = guard->pos();
    // Still inside the panel's own modal loop?
    QTimer::singleShot(0, guard, [seen, guard] {
      seen->panelStillRunning = guard->isVisible();
      guard->reject();
    });
  });
  panel.exec();

  EXPECT_TRUE(seen->remoteRan);
  EXPECT_TRUE(seen->panelHidden);
  EXPECT_TRUE(seen->unowned);
  EXPECT_TRUE(seen->portOpen) << comDevice;
  EXPECT_TRUE(seen->panelStillRunning);
  EXPECT_EQ(seen->after, seen->before);
  EXPECT_EQ(seen->before, QPoint(120, 90));
}

TEST_F(RemoteControlTest, PanelMakesWayAndComesBackWhereItWas) {
  config_.portIndex = 0;
  runFromPanel([](RemoteControlDialog* remote) { remote->closeButton()->click(); },
               emulator_.devicePath());
  // The dialog was discarded: its port is free again.
  SerialPort other;
  EXPECT_EQ(other.open(1, kLineSpeed), 1);
}

TEST_F(RemoteControlTest, ClosingTheRemoteWindowKeepsTheProgramRunning) {
  config_.portIndex = 0;
  runFromPanel([](RemoteControlDialog* remote) { remote->close(); }, emulator_.devicePath());
  EXPECT_TRUE(QGuiApplication::quitOnLastWindowClosed());
}

}  // namespace
}  // namespace quorvane::ui
