// The remote control against the receiver emulator on COM1 (COM2..COM4 missing).
#include <gtest/gtest.h>

#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <memory>
#include <vector>

#include "base/app_config.h"
#include "app/control_panel_dialog.h"
#include "receiver_emulator.h"
#include "remote/ui/key_capture_edit.h"
#include "remote/ui/remote_control_dialog.h"
#include "support/test_support.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

using Codes = std::vector<std::uint8_t>;
using test::keyClick;

constexpr std::uint8_t kMarker = 0x1E;  // EPG, sent last: once it arrives, all before it have

struct RemoteControlTest : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(emulator_.start());
    for (int n = 2; n <= 4; ++n) setCom(n, "/nonexistent/com");
    setCom(1, emulator_.devicePath());
  }
  void setCom(int n, const std::string& path) {
    env_.push_back(std::make_unique<test::ScopedEnv>("QUORVANE_COM" + std::to_string(n), path));
  }
  Codes codesOnceArrived(std::size_t count) {
    emulator_.waitUntil([&] { return emulator_.keyCodesReceived().size() >= count; });
    return emulator_.keyCodesReceived();
  }
  static bool com1IsFree() { return SerialPort().open(1, kLineSpeed) == 1; }

  std::vector<std::unique_ptr<test::ScopedEnv>> env_;
  emu::ReceiverEmulator emulator_;
  AppConfig config_;  // the process-wide record while the test runs
  test::RecordingPresenter presenter_;
};

TEST_F(RemoteControlTest, ButtonsAndTheKeyFieldSendTheirKeyFrames) {
  RemoteControlDialog dialog;  // portIndex 0: COM1 opened at once
  dialog.show();
  KeyCaptureEdit* field = dialog.keyField();
  EXPECT_EQ(dialog.focusWidget(), field);  // focused first

  // Line-control values among the codes (0x0A, 0x0D, 0x11, 0x13) pass unchanged.
  std::vector<FrameBytes> frames;
  for (const remote::RemoteKey& key : remote::remoteKeys()) {
    EXPECT_EQ(dialog.keyButton(key.code)->text(), QString::fromUtf8(key.caption));
    dialog.keyButton(key.code)->click();
    frames.push_back({'H', 'a', 'l', 'v', 'o', 'r', 'n', 'e', 'J', key.code, 'O', 'V'});
  }
  codesOnceArrived(32);
  EXPECT_EQ(emulator_.framesReceived(), frames);

  for (int key : {Qt::Key_5, Qt::Key_9, Qt::Key_Return, Qt::Key_Escape, Qt::Key_Delete,
                  Qt::Key_Space, Qt::Key_Left, Qt::Key_Up, Qt::Key_Right, Qt::Key_Down})
    keyClick(field, key);
  keyClick(field, Qt::Key_Down, {}, true);  // held down
  for (int key : {Qt::Key_5, Qt::Key_0, Qt::Key_Enter}) keyClick(field, key, Qt::KeypadModifier);
  for (int key : {Qt::Key_A, Qt::Key_Z, Qt::Key_F1, Qt::Key_PageDown}) keyClick(field, key);
  keyClick(dialog.keyButton(0x06), Qt::Key_Return);  // outside the field: nothing
  dialog.keyButton(kMarker)->click();
  const Codes expected = {0x13, 0x0F, 0x06, 0x03, 0x03, 0x1D, 0x07,   0x02,
                          0x05, 0x0A, 0x0A, 0x13, 0x0E, 0x06, kMarker};
  const Codes codes = codesOnceArrived(32 + expected.size());
  EXPECT_EQ(Codes(codes.begin() + 32, codes.end()), expected);
  EXPECT_TRUE(dialog.isVisible());  // neither Enter nor Esc ended it
  keyClick(dialog.comButton(0), Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(RemoteControlTest, StoredPortTwoOpensCom2OrReportsItsError) {
  config_.portIndex = 1;
  {
    RemoteControlDialog missing;
    EXPECT_TRUE(test::onlyMessage(presenter_, "open port2 error!", &missing));
    EXPECT_TRUE(missing.comButton(1)->isChecked());
  }
  setCom(1, "/nonexistent/com");
  setCom(2, emulator_.devicePath());
  RemoteControlDialog dialog;
  dialog.keyButton(0x1D)->click();
  EXPECT_EQ(codesOnceArrived(1), Codes{0x1D});
}

TEST_F(RemoteControlTest, StoredPortOutOfRangeWaitsForAComButtonAndSwitchingClosesTheOld) {
  config_.portIndex = 7;
  RemoteControlDialog dialog;
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(dialog.comButton(i)->isChecked()) << i;
  dialog.keyButton(0x00)->click();  // goes nowhere
  EXPECT_EQ(config_.portIndex, 7);
  dialog.comButton(0)->click();
  EXPECT_EQ(config_.portIndex, 0);
  dialog.keyButton(kMarker)->click();
  EXPECT_EQ(codesOnceArrived(1), Codes{kMarker});

  dialog.comButton(2)->click();  // COM3 is missing: COM1 is closed all the same
  EXPECT_TRUE(test::onlyMessage(presenter_, "open port3 error!", &dialog));
  EXPECT_EQ(config_.portIndex, 2);
  EXPECT_TRUE(com1IsFree());
}

TEST_F(RemoteControlTest, PanelMakesWayAndComesBackWhereItWas) {
  ControlPanelDialog panel;
  panel.move(120, 90);
  bool hiddenMeanwhile = false, stillRunning = false;
  QPoint after;
  test::onNextModal(
      [&](QWidget* remote) {
        hiddenMeanwhile = !panel.isVisible() && qobject_cast<RemoteControlDialog*>(remote);
        remote->close();
      },
      &panel);
  QTimer::singleShot(0, &panel, [&] {
    panel.onKeyboardControl();
    after = panel.pos();
    QTimer::singleShot(0, &panel, [&] {  // still in the panel's modal loop?
      stillRunning = panel.isVisible();
      panel.reject();
    });
  });
  panel.exec();
  EXPECT_TRUE(hiddenMeanwhile);
  EXPECT_TRUE(stillRunning);
  EXPECT_EQ(after, QPoint(120, 90));
  EXPECT_TRUE(com1IsFree());  // the remote was discarded with its port
}

}  // namespace
}  // namespace quorvane::ui
