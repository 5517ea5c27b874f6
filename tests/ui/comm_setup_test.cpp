// The Communication Setup and connect dialogs with a recording presenter and
// the receiver emulator on COM3. The connect dialog's tick is driven
// directly, but for one run through the real timer.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <chrono>
#include <thread>

#include "app/app_config.h"
#include "app/ui/dialog_units.h"
#include "app/ui/panel_actions.h"
#include "connection/ui/comm_setup_dialog.h"
#include "receiver_emulator.h"
#include "support/test_support.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

constexpr int kEmuIndex = 2;  // COM3; COM1, COM2, COM4 lead nowhere

QRect dlu(int x, int y, int w, int h) {
  return dluToPixels(QRect(x, y, w, h), dialogBaseUnits());
}

bool noSystemMenu(const QWidget& w) {
  const Qt::WindowFlags f = w.windowFlags();
  return (f & Qt::CustomizeWindowHint) && !(f & Qt::WindowSystemMenuHint) &&
         !(f & Qt::WindowCloseButtonHint);
}

bool waitCursorShown() {
  return QApplication::overrideCursor() &&
         QApplication::overrideCursor()->shape() == Qt::WaitCursor;
}

void pressEsc(QWidget& w) {
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(&w, &esc);
}

class CommSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n : {1, 2, 4})
      env_.push_back(std::make_unique<test::ScopedEnv>(portOverrideVariable(n), "/nonexistent/x"));
    ASSERT_TRUE(emulator_.start());
    env_.push_back(std::make_unique<test::ScopedEnv>(portOverrideVariable(kEmuIndex + 1),
                                                     emulator_.devicePath()));
  }
  // Recorded waits: a poll sleeps as usual once the emulator has answered;
  // the pause after success is skipped.
  ConnectDialogOptions tickedByTest() {
    return {.sleep =
                [this](int ms) {
                  cursorInWaits_ = cursorInWaits_ && waitCursorShown();
                  if (ms != kAckPollIntervalMs) return;
                  emulator_.waitIdle();
                  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                },
            .runTimer = false};
  }
  // When the connect dialog comes up: note its bar, tick it, note it again.
  void tickConnectDialog(QWidget* setup) {
    test::onNextModal(
        [this](QWidget* w) {
          auto* connect = qobject_cast<ConnectDialog*>(w);
          ASSERT_NE(connect, nullptr);
          bar_.push_back(connect->progressBar()->value());
          connect->tick();
          bar_.push_back(connect->progressBar()->value());
        },
        setup);
  }

  AppConfig config_;
  test::RecordingPresenter presenter_;
  std::vector<std::unique_ptr<test::ScopedEnv>> env_;
  emu::ReceiverEmulator emulator_;
  bool cursorInWaits_ = true;
  std::vector<int> bar_;
};

TEST_F(CommSetupTest, ConnectDialogAtInitialisationAndOnEsc) {
  ConnectDialog dialog(nullptr, {.runTimer = true});
  EXPECT_EQ(dialog.windowTitle(), "Connect to the receiver");
  EXPECT_TRUE(noSystemMenu(dialog));
  EXPECT_EQ(dialog.size(), dlu(0, 0, 180, 44).size());
  EXPECT_EQ(dialog.statusText()->text(), "Connecting .....");
  EXPECT_TRUE(dialog.findChildren<QPushButton*>().isEmpty());
  EXPECT_EQ(dialog.progressBar()->maximum(), 100);
  EXPECT_EQ(dialog.progressBar()->value(), 60);
  ASSERT_EQ(dialog.findChildren<QTimer*>().size(), 1);
  EXPECT_EQ(dialog.findChildren<QTimer*>()[0]->interval(), 200);
  EXPECT_TRUE(dialog.timerActive());

  config_.portIndex = kEmuIndex;
  dialog.show();
  pressEsc(dialog);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_FALSE(dialog.timerActive());
  dialog.tick();  // a tick already queued does nothing
  EXPECT_TRUE(presenter_.messages.empty());
  emulator_.waitIdle();
  EXPECT_EQ(emulator_.bytesReceived(), 0u);
}

TEST_F(CommSetupTest, SetupDialogLayoutAndPreselection) {
  CommSetupDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "Communication Setup");
  EXPECT_TRUE(noSystemMenu(dialog));
  EXPECT_EQ(dialog.size(), dlu(0, 0, 195, 99).size());
  EXPECT_EQ(dialog.groupBox()->title(), "Select a port");
  EXPECT_EQ(dialog.groupBox()->geometry(), dlu(7, 7, 181, 59));
  const QRect com[] = {dlu(19, 23, 36, 10), dlu(73, 23, 36, 10), dlu(19, 45, 36, 10),
                       dlu(73, 44, 36, 10)};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(dialog.comButton(i)->text(), QString("Com %1").arg(i + 1));
    EXPECT_EQ(dialog.comButton(i)->geometry(), com[i]);
  }
  EXPECT_EQ(dialog.comButton(kEmuIndex)->toolTip().toStdString(), emulator_.devicePath());
  EXPECT_EQ(dialog.iconLabel()->pos(), dlu(160, 26, 0, 0).topLeft());
  EXPECT_TRUE(dialog.okButton()->isDefault());
  EXPECT_EQ(dialog.okButton()->geometry(), dlu(37, 75, 50, 14));
  EXPECT_EQ(dialog.cancelButton()->text(), "Cancel");
  EXPECT_EQ(dialog.cancelButton()->geometry(), dlu(108, 75, 50, 14));

  for (int index : {0, 1, 3, -1, 4, 7, std::numeric_limits<std::int32_t>::max()}) {
    config_.portIndex = index;
    CommSetupDialog d;
    const int shown = index >= 0 && index <= 3 ? index : -1;
    EXPECT_EQ(d.readSelection(), shown) << index;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(d.comButton(i)->isChecked(), i == shown);
  }
}

TEST_F(CommSetupTest, OkStoresThePortAndReportsConnectOkWhileThePortIsHeld) {
  config_.portIndex = 0;
  CommSetupDialog dialog;
  dialog.setConnectOptions(tickedByTest());
  dialog.comButton(3)->click();
  dialog.comButton(kEmuIndex)->click();  // exclusive: Com 4 goes off
  EXPECT_FALSE(dialog.comButton(3)->isChecked());
  bool portHeld = false;
  presenter_.onPresent = [&](const test::ShownMessage&) {
    SerialPort other;
    portHeld = other.open(kEmuIndex + 1, kLineSpeed) == 0;
  };
  tickConnectDialog(&dialog);
  dialog.okButton()->click();

  EXPECT_EQ(config_.portIndex, kEmuIndex);
  EXPECT_EQ(bar_, (std::vector<int>{60, 100}));
  EXPECT_TRUE(cursorInWaits_);
  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, "connect ok!");
  EXPECT_EQ(presenter_.messages[0].title, "Quorvane 1.2");
  EXPECT_EQ(presenter_.messages[0].owner, &dialog);
  EXPECT_TRUE(portHeld);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  SerialPort after;  // released with the connect dialog
  EXPECT_EQ(after.open(kEmuIndex + 1, kLineSpeed), 1);
}

TEST_F(CommSetupTest, OkWithNoSelectionStoresMinusOneAndFailsOnPortZero) {
  config_.portIndex = 7;
  CommSetupDialog dialog;
  dialog.setConnectOptions(tickedByTest());
  bool fromConnectDialog = false, cursor = false;
  presenter_.onPresent = [&](const test::ShownMessage& m) {
    fromConnectDialog = qobject_cast<ConnectDialog*>(m.owner) != nullptr;
    cursor = waitCursorShown();
  };
  tickConnectDialog(&dialog);
  dialog.okButton()->click();

  EXPECT_EQ(config_.portIndex, -1);
  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, "open port0 error!");
  EXPECT_EQ(presenter_.messages[0].title, "Quorvane 1.2");
  EXPECT_TRUE(fromConnectDialog);
  EXPECT_TRUE(cursor);
  EXPECT_EQ(bar_, (std::vector<int>{60, 60}));
  EXPECT_EQ(dialog.result(), QDialog::Accepted);  // closes either way
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(CommSetupTest, CancelAndEscStoreNothingAndOpenNothing) {
  config_.portIndex = 1;
  CommSetupDialog byButton, byEsc;
  for (CommSetupDialog* d : {&byButton, &byEsc}) {
    d->comButton(kEmuIndex)->click();
    d->show();
  }
  byButton.cancelButton()->click();
  pressEsc(byEsc);
  for (CommSetupDialog* d : {&byButton, &byEsc}) EXPECT_EQ(d->result(), QDialog::Rejected);
  EXPECT_EQ(config_.portIndex, 1);
  EXPECT_TRUE(presenter_.messages.empty());
  emulator_.waitIdle();
  EXPECT_EQ(emulator_.bytesReceived(), 0u);
}

// The road the control panel takes, through the real 200 ms timer and waits.
TEST_F(CommSetupTest, SetupCommConnectsThroughTheRealTimer) {
  config_.portIndex = 3;
  test::onNextModal([](QWidget* w) {
    auto* setup = qobject_cast<CommSetupDialog*>(w);
    ASSERT_NE(setup, nullptr);
    setup->comButton(kEmuIndex)->click();
    setup->okButton()->click();
  });
  runCommSetup();
  EXPECT_EQ(config_.portIndex, kEmuIndex);
  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, "connect ok!");
}

}  // namespace
}  // namespace quorvane::ui
