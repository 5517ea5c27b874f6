// Communication Setup and the connect dialog with the emulator on COM3.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <chrono>
#include <list>
#include <thread>
#include <tuple>

#include "base/app_config.h"
#include "connection/ui/comm_setup_dialog.h"
#include "serial/serial_port.h"
#include "receiver_emulator.h"
#include "support/test_support.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

constexpr int kEmuIndex = 2;  // COM3; COM1, COM2, COM4 lead nowhere

struct CommSetupTest : ::testing::Test {
  void SetUp() override {
    for (int n : {1, 2, 4}) env_.emplace_back("QUORVANE_COM" + std::to_string(n), "/nonexistent/x");
    ASSERT_TRUE(emulator_.start());
    env_.emplace_back("QUORVANE_COM3", emulator_.devicePath());
  }
  // Clicks OK with the connect dialog ticked here; returns its bar before and after.
  std::vector<int> okTicked(CommSetupDialog& setup) {
    const auto waitForTheEmulator = [this](int ms) {
      emulator_.waitIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    };
    setup.setConnectOptions({.sleep = waitForTheEmulator, .runTimer = false});
    std::vector<int> bar;
    test::onNextModal(
        [&bar](QWidget* w) {
          auto* connect = static_cast<ConnectDialog*>(w);
          bar.push_back(connect->progressBar()->value());
          connect->tick();
          bar.push_back(connect->progressBar()->value());
        },
        &setup);
    setup.okButton()->click();
    return bar;
  }

  AppConfig config_;
  test::RecordingPresenter presenter_;
  std::list<test::ScopedEnv> env_;
  emu::ReceiverEmulator emulator_;
};

TEST_F(CommSetupTest, ConnectDialogAtSixtyEscBeforeTheTickEndsItAndItsTimerConnects) {
  config_.portIndex = kEmuIndex;
  ConnectDialog dialog(nullptr, {.runTimer = true});
  EXPECT_EQ(dialog.windowTitle(), "Connect to the receiver");
  EXPECT_EQ(dialog.statusText()->text(), "Connecting .....");
  EXPECT_EQ(dialog.progressBar()->value(), 60);
  test::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  dialog.tick();  // a tick already queued does nothing
  EXPECT_TRUE(emulator_.waitIdle() && emulator_.bytesReceived() == 0u);

  ConnectDialog real;  // its own 200 ms timer and waits
  EXPECT_EQ(real.exec(), QDialog::Accepted);
  EXPECT_TRUE(presenter_.messages.empty());
}

TEST_F(CommSetupTest, PreselectsTheStoredPortAndOkStoresTheChoiceAndTestsTheLink) {
  for (const auto& [stored, shown, click, bar, message] :
       {std::tuple{0, 0, kEmuIndex, std::vector<int>{60, 100}, "connect ok!"},
        std::tuple{7, -1, -1, std::vector<int>{60, 60}, "open port0 error!"}}) {
    config_.portIndex = stored;
    presenter_.messages.clear();
    CommSetupDialog dialog;
    EXPECT_EQ(dialog.readSelection(), shown);
    if (click >= 0) dialog.comButton(click)->click();
    EXPECT_EQ(okTicked(dialog), bar);
    EXPECT_EQ(config_.portIndex, click);
    ASSERT_EQ(presenter_.messages.size(), 1u);
    EXPECT_EQ(presenter_.messages[0].text, message);
    EXPECT_EQ(presenter_.messages[0].owner == &dialog, click >= 0);  // else the connect dialog
  }
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the wait cursor is gone
}

TEST_F(CommSetupTest, TabOrderOkIsTheDefaultAndCancelStoresNothingAndOpensNothing) {
  config_.portIndex = 1;
  CommSetupDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "Communication Setup");
  EXPECT_TRUE(dialog.okButton()->isDefault());
  EXPECT_EQ(test::tabOrder(&dialog),
            (std::vector<QString>{"com1Button", "com2Button", "com3Button", "com4Button",
                                  "okButton", "cancelButton"}));
  dialog.comButton(kEmuIndex)->click();
  dialog.cancelButton()->click();
  EXPECT_EQ(config_.portIndex, 1);
  EXPECT_TRUE(presenter_.messages.empty());
  EXPECT_TRUE(emulator_.waitIdle() && emulator_.bytesReceived() == 0u);
}

TEST_F(CommSetupTest, ComButtonsAreRadioButtonsWhoseTooltipsNameTheDeviceAndWhyNot) {
  CommSetupDialog free;
  SerialPort holder;  // COM3 taken meanwhile
  ASSERT_EQ(holder.open(3, kLineSpeed), 1);
  CommSetupDialog taken;
  for (int i = 0; i < kComPortCount; ++i)
    EXPECT_EQ(QAccessible::queryAccessibleInterface(free.comButton(i))->role(),
              QAccessible::RadioButton);
  EXPECT_EQ(free.comButton(0)->toolTip(), "/nonexistent/x\nnot present");
  EXPECT_EQ(free.comButton(kEmuIndex)->toolTip(), QString::fromStdString(emulator_.devicePath()));
  EXPECT_EQ(taken.comButton(kEmuIndex)->toolTip(),
            QString::fromStdString(emulator_.devicePath()) + "\nbusy: another program has it open");
}

}  // namespace
}  // namespace quorvane::ui
