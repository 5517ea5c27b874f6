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
#include <optional>
#include <thread>

#include "app/app_config.h"
#include "app/ui/dialog_units.h"
#include "app/ui/panel_actions.h"
#include "connection/ui/comm_setup_dialog.h"
#include "connection/ui/connect_dialog.h"
#include "receiver_emulator.h"
#include "serial/port_map.h"
#include "support/test_support.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

constexpr int kEmulatorIndex = 2;  // COM3
const QString kNoAnswer = QString::fromUtf8("no answer\xEF\xBC\x81");

QRect dluRect(int x, int y, int w, int h) {
  return dluToPixels(QRect(x, y, w, h), dialogBaseUnits());
}

bool hasNoSystemMenu(const QWidget& w) {
  const Qt::WindowFlags f = w.windowFlags();
  return (f & Qt::CustomizeWindowHint) && (f & Qt::WindowTitleHint) &&
         !(f & Qt::WindowSystemMenuHint) && !(f & Qt::WindowCloseButtonHint);
}

class CommSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every Com button leads somewhere known: COM3 to the emulator, the
    // others to devices that do not exist.
    for (int n = 1; n <= 4; ++n)
      if (n != kEmulatorIndex + 1)
        env_.emplace_back(std::make_unique<test::ScopedEnv>(
            portOverrideVariable(n), "/nonexistent/quorvane-com" + std::to_string(n)));
  }

  void startEmulator(emu::FaultPlan faults = {}) {
    emu::EmulatorOptions options;
    options.faults = faults;
    emulator_.emplace(options);
    ASSERT_TRUE(emulator_->start());
    env_.emplace_back(std::make_unique<test::ScopedEnv>(portOverrideVariable(kEmulatorIndex + 1),
                                                        emulator_->devicePath()));
  }

  // The handshake's waits, recorded. Against a silent receiver they take no
  // time (the limit is counted); otherwise a poll waits for the emulator to
  // have sent its answer and then sleeps as usual. The pause after success
  // is skipped.
  ConnectDialogOptions countedOptions() {
    ConnectDialogOptions options;
    options.runTimer = false;
    options.sleep = [this](int ms) {
      waits_.push_back(ms);
      cursorDuringWaits_.push_back(QApplication::overrideCursor() &&
                                   QApplication::overrideCursor()->shape() == Qt::WaitCursor);
      if (ms == kAckPollIntervalMs && emulator_ && !emulatorSilent_) {
        emulator_->waitIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      }
    };
    return options;
  }

  // On the connect dialog's exec: note the bar, run its tick, note it again.
  void tickNextConnectDialog(QWidget* setup) {
    test::onNextModal(
        [this](QWidget* w) {
          auto* connect = qobject_cast<ConnectDialog*>(w);
          ASSERT_NE(connect, nullptr);
          barBefore_ = connect->progressBar()->value();
          connect->tick();
          barAfter_ = connect->progressBar()->value();
        },
        setup);
  }

  AppConfig config_;
  test::RecordingPresenter presenter_;
  std::vector<std::unique_ptr<test::ScopedEnv>> env_;
  std::optional<emu::ReceiverEmulator> emulator_;
  bool emulatorSilent_ = false;
  std::vector<int> waits_;
  std::vector<bool> cursorDuringWaits_;
  int barBefore_ = -1;
  int barAfter_ = -1;
};

TEST_F(CommSetupTest, ConnectDialogLooksAsItsTemplate) {
  ConnectDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "Connect to the receiver");
  EXPECT_TRUE(hasNoSystemMenu(dialog));
  EXPECT_EQ(dialog.size(),
            dluRect(0, 0, ConnectDialog::kWidthDlu, ConnectDialog::kHeightDlu).size());
  EXPECT_EQ(dialog.statusText()->text(), "Connecting .....");
  EXPECT_TRUE(dialog.findChildren<QPushButton*>().isEmpty());
  EXPECT_EQ(dialog.progressBar()->minimum(), 0);
  EXPECT_EQ(dialog.progressBar()->maximum(), 100);
  EXPECT_EQ(dialog.progressBar()->value(), 60);

  // Timer 1 at 200 ms, running from initialisation.
  EXPECT_TRUE(dialog.timerActive());
  const auto timers = dialog.findChildren<QTimer*>();
  ASSERT_EQ(timers.size(), 1);
  EXPECT_EQ(timers[0]->interval(), 200);
}

TEST_F(CommSetupTest, ConnectDialogTickAcceptsAnAnsweringReceiver) {
  startEmulator();
  config_.portIndex = kEmulatorIndex;
  ConnectDialog dialog(nullptr, countedOptions());
  dialog.tick();

  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.progressBar()->value(), 100);
  EXPECT_TRUE(presenter_.messages.empty());
  ASSERT_FALSE(waits_.empty());
  EXPECT_EQ(waits_.back(), kConnectSuccessPauseMs);
  for (bool wait : cursorDuringWaits_) EXPECT_TRUE(wait);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // restored after the tick
}

TEST_F(CommSetupTest, ConnectDialogFailuresAreShownOverIt) {
  config_.portIndex = 1;  // COM2: no device
  ConnectDialog dialog(nullptr, countedOptions());
  bool cursorDuringMessage = false;
  presenter_.onPresent = [&](const test::ShownMessage&) {
    cursorDuringMessage =
        QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    EXPECT_FALSE(dialog.timerActive());
  };
  dialog.tick();

  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, "open port2 error!");
  EXPECT_EQ(presenter_.messages[0].title, "Quorvane 1.2");
  EXPECT_EQ(presenter_.messages[0].owner, &dialog);
  EXPECT_TRUE(cursorDuringMessage);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(dialog.progressBar()->value(), 60);
  EXPECT_TRUE(waits_.empty());
}

TEST_F(CommSetupTest, EscBeforeTheFirstTickCancelsWithoutAHandshake) {
  startEmulator();
  config_.portIndex = kEmulatorIndex;
  ConnectDialog dialog(nullptr, countedOptions());
  dialog.show();
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(&dialog, &esc);

  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(dialog.handshake().result(), ConnectResult::Cancelled);
  EXPECT_FALSE(dialog.timerActive());

  dialog.tick();  // a tick already queued does nothing
  EXPECT_TRUE(presenter_.messages.empty());
  emulator_->waitIdle();
  EXPECT_EQ(emulator_->bytesReceived(), 0u);
}

TEST_F(CommSetupTest, SetupDialogLooksAsItsTemplate) {
  CommSetupDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "Communication Setup");
  EXPECT_TRUE(hasNoSystemMenu(dialog));
  EXPECT_EQ(dialog.size(), dluRect(0, 0, 195, 99).size());
  EXPECT_EQ(dialog.groupBox()->title(), "Select a port");
  EXPECT_EQ(dialog.groupBox()->geometry(), dluRect(7, 7, 181, 59));

  const QRect comRects[] = {dluRect(19, 23, 36, 10), dluRect(73, 23, 36, 10),
                            dluRect(19, 45, 36, 10), dluRect(73, 44, 36, 10)};
  for (int i = 0; i < 4; ++i) {
    QRadioButton* button = dialog.comButton(i);
    EXPECT_EQ(button->text(), QString("Com %1").arg(i + 1));
    EXPECT_EQ(button->geometry(), comRects[i]) << i;
    EXPECT_EQ(button->toolTip().toStdString(), devicePathForPort(i + 1).value_or(""));
  }
  const DialogBaseUnits base = dialogBaseUnits();
  EXPECT_EQ(dialog.iconLabel()->pos(), QPoint(dluToPixelsX(160, base), dluToPixelsY(26, base)));
  EXPECT_FALSE(dialog.iconLabel()->pixmap().isNull());

  EXPECT_EQ(dialog.okButton()->text(), "OK");
  EXPECT_TRUE(dialog.okButton()->isDefault());
  EXPECT_EQ(dialog.okButton()->geometry(), dluRect(37, 75, 50, 14));
  EXPECT_EQ(dialog.cancelButton()->text(), "Cancel");
  EXPECT_EQ(dialog.cancelButton()->geometry(), dluRect(108, 75, 50, 14));
}

TEST_F(CommSetupTest, SelectionFollowsPortIndexAndIsExclusive) {
  for (int index : {0, 1, 3}) {
    config_.portIndex = index;
    CommSetupDialog dialog;
    EXPECT_EQ(dialog.readSelection(), index);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(dialog.comButton(i)->isChecked(), i == index);
  }
  for (int index : {-1, 4, 7, std::numeric_limits<std::int32_t>::max()}) {
    config_.portIndex = index;
    CommSetupDialog dialog;
    EXPECT_EQ(dialog.readSelection(), -1) << index;
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(dialog.comButton(i)->isChecked());
  }

  config_.portIndex = 0;
  CommSetupDialog dialog;
  dialog.comButton(3)->click();
  EXPECT_EQ(dialog.readSelection(), 3);
  EXPECT_FALSE(dialog.comButton(0)->isChecked());
  dialog.comButton(3)->click();  // a checked radio button stays checked
  EXPECT_EQ(dialog.readSelection(), 3);
  dialog.showSelection(-1);
  EXPECT_EQ(dialog.readSelection(), -1);
  dialog.comButton(2)->click();
  EXPECT_EQ(dialog.readSelection(), 2);
  EXPECT_EQ(config_.portIndex, 0);  // nothing stored before OK
}

TEST_F(CommSetupTest, OkWithAnAnsweringReceiverReportsConnectOk) {
  startEmulator();
  config_.portIndex = 0;
  CommSetupDialog dialog;
  dialog.setConnectOptions(countedOptions());
  dialog.comButton(kEmulatorIndex)->click();
  bool portHeldDuringMessage = false;
  presenter_.onPresent = [&](const test::ShownMessage&) {
    SerialPort other;  // the connect dialog still holds COM3
    portHeldDuringMessage = other.open(kEmulatorIndex + 1, kLineSpeed) == 0;
  };
  tickNextConnectDialog(&dialog);
  dialog.okButton()->click();

  EXPECT_EQ(config_.portIndex, kEmulatorIndex);
  EXPECT_EQ(barBefore_, 60);
  EXPECT_EQ(barAfter_, 100);
  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, "connect ok!");
  EXPECT_EQ(presenter_.messages[0].title, "Quorvane 1.2");
  EXPECT_EQ(presenter_.messages[0].owner, &dialog);
  EXPECT_TRUE(portHeldDuringMessage);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);

  SerialPort after;  // released with the connect dialog
  EXPECT_EQ(after.open(kEmulatorIndex + 1, kLineSpeed), 1);
  EXPECT_EQ(emulator_->framesReceived(), std::vector<FrameBytes>{kConnectFrame});
}

TEST_F(CommSetupTest, OkWithASilentReceiverStillClosesAndKeepsThePort) {
  emu::FaultPlan faults;
  faults.silentAfterStart = true;
  startEmulator(faults);
  emulatorSilent_ = true;
  config_.portIndex = 1;
  CommSetupDialog dialog;
  dialog.setConnectOptions(countedOptions());
  dialog.comButton(kEmulatorIndex)->click();
  tickNextConnectDialog(&dialog);
  dialog.okButton()->click();

  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, kNoAnswer);
  EXPECT_NE(presenter_.messages[0].owner, &dialog);  // the connect dialog's
  EXPECT_EQ(waits_.size(), 200u);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(config_.portIndex, kEmulatorIndex);
  emulator_->waitUntil([&] { return emulator_->bytesReceived() >= 24; });
  EXPECT_EQ(emulator_->framesReceived(), (std::vector<FrameBytes>{kConnectFrame, kStopFrame}));
}

TEST_F(CommSetupTest, OkWithNoSelectionStoresMinusOneAndFailsOnPortZero) {
  config_.portIndex = 7;
  CommSetupDialog dialog;
  dialog.setConnectOptions(countedOptions());
  QWidget* owner = nullptr;
  presenter_.onPresent = [&](const test::ShownMessage& m) {
    EXPECT_NE(qobject_cast<ConnectDialog*>(m.owner), nullptr);
    owner = m.owner;
  };
  tickNextConnectDialog(&dialog);
  dialog.okButton()->click();

  EXPECT_EQ(config_.portIndex, -1);
  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, "open port0 error!");
  EXPECT_NE(owner, nullptr);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(CommSetupTest, CancelStoresNothingAndOpensNothing) {
  startEmulator();
  config_.portIndex = 1;
  CommSetupDialog dialog;
  dialog.comButton(kEmulatorIndex)->click();
  dialog.show();
  dialog.cancelButton()->click();

  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(config_.portIndex, 1);
  EXPECT_TRUE(presenter_.messages.empty());
  emulator_->waitIdle();
  EXPECT_EQ(emulator_->bytesReceived(), 0u);

  // Esc is Cancel too.
  CommSetupDialog again;
  again.comButton(3)->click();
  again.show();
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(&again, &esc);
  EXPECT_EQ(again.result(), QDialog::Rejected);
  EXPECT_EQ(config_.portIndex, 1);
}

// The whole road as the control panel takes it, through the real 200 ms
// timer and real waits.
TEST_F(CommSetupTest, SetupCommConnectsThroughTheRealTimer) {
  startEmulator();
  config_.portIndex = 3;
  test::onNextModal([](QWidget* w) {
    auto* setup = qobject_cast<CommSetupDialog*>(w);
    ASSERT_NE(setup, nullptr);
    setup->comButton(kEmulatorIndex)->click();
    setup->okButton()->click();
  });
  runCommSetup();

  EXPECT_EQ(config_.portIndex, kEmulatorIndex);
  ASSERT_EQ(presenter_.messages.size(), 1u);
  EXPECT_EQ(presenter_.messages[0].text, "connect ok!");
}

}  // namespace
}  // namespace quorvane::ui
