// The Upgrade Receiver Software dialog: the file request, a refusal before
// it is shown, its controls through an upload driven tick by tick, the ways it
// ends, and one whole upload through its own 50 ms timer.
#include "transfer/ui/upgrade_software_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <random>

#include "app/app_config.h"
#include "app/ui/panel_actions.h"
#include "receiver_emulator.h"
#include "serial/port_map.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/rom_type.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

constexpr int kPortIndex = 5;  // COM6, mapped to the emulator's pty

class UpgradeDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    flash.resize(std::size_t{kBlocksSmallFlash} * kBlockSize);
    std::mt19937 rng(7);
    for (auto& b : flash) b = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> file(romType(0).tagText.begin(), romType(0).tagText.end());
    file.insert(file.end(), flash.begin(), flash.end());
    imagePath = dir.file("rom.bin");
    test::writeFileBytes(imagePath, file);

    emu::EmulatorOptions options;
    options.flash.assign(flash.size(), 0xFF);
    emulator = std::make_unique<emu::ReceiverEmulator>(options);
    ASSERT_TRUE(emulator->start());
    config.portIndex = kPortIndex;
    comPort = std::make_unique<test::ScopedEnv>(
        portOverrideVariable(portNumberFromIndex(kPortIndex)), emulator->devicePath());
  }

  void tick(UpgradeSoftwareDialog& dialog) {
    ASSERT_TRUE(test::settle(*emulator, dialog.port()));
    dialog.onUpgradeTick(kUpgradeTimerId);
  }

  void key(QWidget& w, int keyCode) {
    QKeyEvent press(QEvent::KeyPress, keyCode, Qt::NoModifier);
    QApplication::sendEvent(&w, &press);
  }

  test::TempDir dir;
  std::string imagePath;
  std::vector<std::uint8_t> flash;
  AppConfig config;
  std::unique_ptr<emu::ReceiverEmulator> emulator;
  std::unique_ptr<test::ScopedEnv> comPort;
  test::RecordingPresenter presenter;
};

TEST_F(UpgradeDialogTest, CancelledFileRequestTouchesNothing) {
  test::ScriptedFileChooser chooser;
  QWidget panel;
  runUpgradeSoftware(&panel);
  ASSERT_EQ(chooser.openRequests.size(), 1u);
  EXPECT_EQ(chooser.openRequests[0].title, "open rom(*.bin) file");
  EXPECT_EQ(chooser.openRequests[0].proposedName, "rom.bin");
  EXPECT_EQ(chooser.openRequests[0].filter, "rom image file(*.bin)");
  EXPECT_TRUE(presenter.messages.empty());
  EXPECT_TRUE(emulator->framesReceived().empty());
}

TEST_F(UpgradeDialogTest, MissingPortEndsBeforeTheDialogIsShown) {
  config.portIndex = 6;  // COM7: no such device
  const test::ScopedEnv missing(portOverrideVariable(7), dir.file("no-such-tty"));
  UpgradeSoftwareDialog noPort(QString::fromStdString(imagePath));
  EXPECT_FALSE(noPort.initialize());
  EXPECT_FALSE(noPort.isVisible());
  ASSERT_EQ(presenter.messages.size(), 1u);
  EXPECT_EQ(presenter.messages[0].text, "open port7 error!");
  EXPECT_EQ(presenter.messages[0].owner, &noPort);
  EXPECT_EQ(noPort.transfer()->imageData().size(), kImageFileSizeSmall);
}

TEST_F(UpgradeDialogTest, TickedUploadFillsTheControlsAndStaysOpenUntilClose) {
  UpgradeSoftwareDialog dialog(QString::fromStdString(imagePath));
  ASSERT_TRUE(dialog.initialize());
  dialog.show();
  EXPECT_EQ(dialog.blockCounter()->text(), "0/0 blocks");
  EXPECT_EQ(dialog.closeButton()->text(), "Cancel");
  EXPECT_TRUE(dialog.warningText()->isHidden());
  EXPECT_TRUE(dialog.timerRunning());
  for (int i = 0; i < 7; ++i) tick(dialog);
  EXPECT_EQ(dialog.blockCounter()->text(), "6/256 blocks");
  EXPECT_EQ(dialog.progressBar()->value(), 2);  // 600 / 256

  for (int i = 0; i < 1000 && !dialog.transfer()->finished(); ++i) tick(dialog);
  EXPECT_EQ(dialog.blockCounter()->text(), "256/256 blocks");
  EXPECT_EQ(dialog.progressBar()->value(), 100);
  EXPECT_EQ(dialog.closeButton()->text(), "Close");
  EXPECT_FALSE(dialog.warningText()->isHidden());
  EXPECT_FALSE(dialog.timerRunning());
  EXPECT_TRUE(presenter.messages.empty());

  // OK and Enter do nothing; Close ends it without a further frame.
  dialog.accept();
  key(dialog, Qt::Key_Return);
  EXPECT_TRUE(dialog.isVisible());
  dialog.closeButton()->click();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  ASSERT_TRUE(emulator->waitUntil([&] { return emulator->framesReceived().size() >= 2; }));
  EXPECT_EQ(emulator->framesReceived(), (std::vector<FrameBytes>{kStartUpgradeFrame, kStopFrame}));
  EXPECT_EQ(emulator->flash(), flash);
}

TEST_F(UpgradeDialogTest, EscapeMidUploadSendsNothingAndLaterTicksDoNothing) {
  UpgradeSoftwareDialog dialog(QString::fromStdString(imagePath));
  ASSERT_TRUE(dialog.initialize());
  dialog.show();
  for (int i = 0; i < 3; ++i) tick(dialog);
  key(dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_FALSE(dialog.timerRunning());
  EXPECT_EQ(dialog.transfer()->state(), UpgradeState::Cancelled);
  tick(dialog);
  EXPECT_EQ(dialog.transfer()->blocksSent(), 3);
  ASSERT_TRUE(emulator->waitIdle());
  EXPECT_EQ(emulator->framesReceived(), (std::vector<FrameBytes>{kStartUpgradeFrame}));
  EXPECT_TRUE(presenter.messages.empty());
}

TEST_F(UpgradeDialogTest, TimerTicksWhileTheMismatchMessageIsOpenDoNothing) {
  emu::EmulatorOptions options;
  options.modelNumber = 5;  // "CI 29 1" answering with its own type
  options.upgradeAnswer = emu::UpgradeAnswer::Ident;
  comPort.reset();  // restores the variable before it is set anew
  emulator = std::make_unique<emu::ReceiverEmulator>(options);
  ASSERT_TRUE(emulator->start());
  comPort = std::make_unique<test::ScopedEnv>(portOverrideVariable(portNumberFromIndex(kPortIndex)),
                                              emulator->devicePath());

  UpgradeSoftwareDialog dialog(QString::fromStdString(imagePath));
  ASSERT_TRUE(dialog.initialize());
  dialog.show();
  // While the box would be open its loop delivers the dialog's timer ticks;
  // an acceptable answer waits behind the mismatching one.
  presenter.onPresent = [&](const test::ShownMessage&) {
    EXPECT_TRUE(dialog.isVisible());
    emulator->sendRaw(std::vector<std::uint8_t>(kAckFrame.begin(), kAckFrame.end()));
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
  };
  tick(dialog);

  ASSERT_EQ(presenter.messages.size(), 1u);
  EXPECT_TRUE(presenter.messages[0].text.contains("<Fta 29 1> to <CI 29 1>"));
  EXPECT_EQ(presenter.messages[0].owner, &dialog);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.transfer()->blocksSent(), 0);
  ASSERT_TRUE(emulator->waitUntil([&] { return emulator->framesReceived().size() >= 2; }));
  EXPECT_EQ(emulator->framesReceived(), (std::vector<FrameBytes>{kStartUpgradeFrame, kStopFrame}));
  EXPECT_EQ(emulator->blocksReceived(), 0u);
}

TEST_F(UpgradeDialogTest, AFailedTickShowsItsMessageOverTheDialogThenEndsIt) {
  UpgradeSoftwareDialog dialog(QString::fromStdString(imagePath));
  ASSERT_TRUE(dialog.initialize());
  dialog.show();
  tick(dialog);  // block 0 goes out
  emulator->setFaults([] {
    emu::FaultPlan f;
    f.wrongAnswer = true;
    return f;
  }());
  bool visibleDuringMessage = false, timerStoppedBefore = false;
  presenter.onPresent = [&](const test::ShownMessage&) {
    visibleDuringMessage = dialog.isVisible();
    timerStoppedBefore = !dialog.timerRunning();
  };
  for (int i = 0; i < 10 && presenter.messages.empty(); ++i) tick(dialog);
  ASSERT_EQ(presenter.messages.size(), 1u);
  EXPECT_EQ(presenter.messages[0].text, QString::fromUtf8("no answer F\xEF\xBC\x81"));
  EXPECT_TRUE(visibleDuringMessage);
  EXPECT_TRUE(timerStoppedBefore);
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(UpgradeDialogTest, WholeUploadThroughTheDialogsOwnTimer) {
  test::ScriptedFileChooser chooser;
  chooser.openAnswers.push_back(QString::fromStdString(imagePath));
  QString counterAtEnd;
  bool warningShown = false;
  bool timerStopped = false;
  test::onNextModal([&](QWidget* window) {
    auto* dialog = qobject_cast<UpgradeSoftwareDialog*>(window);
    ASSERT_NE(dialog, nullptr);
    auto* poll = new QTimer(dialog);
    auto polls = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, dialog,
                     [=, &counterAtEnd, &warningShown, &timerStopped] {
                       const bool done = dialog->closeButton()->text() == "Close";
                       if (!done && ++*polls < 12000) return;  // gives up after about 4 minutes
                       counterAtEnd = dialog->blockCounter()->text();
                       warningShown = dialog->warningText()->isVisible();
                       timerStopped = !dialog->timerRunning();
                       poll->stop();
                       dialog->closeButton()->click();
                     });
    poll->start(20);
  });
  runUpgradeSoftware(nullptr);

  EXPECT_EQ(counterAtEnd, "256/256 blocks");
  EXPECT_TRUE(warningShown);
  EXPECT_TRUE(timerStopped);
  EXPECT_TRUE(presenter.messages.empty());
  ASSERT_TRUE(emulator->waitUntil([&] { return emulator->framesReceived().size() >= 2; }));
  EXPECT_EQ(emulator->flash(), flash);
  EXPECT_EQ(emulator->framesReceived(), (std::vector<FrameBytes>{kStartUpgradeFrame, kStopFrame}));
}

}  // namespace
}  // namespace quorvane::ui
