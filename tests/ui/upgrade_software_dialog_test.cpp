// What Upgrade Receiver Software adds to the frame tested with the read dialog.
#include "transfer/ui/upgrade_software_dialog.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <optional>

#include "base/app_config.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/rom_image.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

struct UpgradeDialogTest : ::testing::Test {
  // An image for model 1 (256 blocks), and an erased receiver on COM6.
  void start(int model = 1, emu::UpgradeAnswer answer = emu::UpgradeAnswer::Ack0) {
    ASSERT_FALSE(writeImage(imagePath.toStdString(), 0, kBlocksSmallFlash, flash.data()));
    emu::EmulatorOptions options;
    options.modelNumber = model;
    options.upgradeAnswer = answer;
    options.flash.assign(flash.size(), 0xFF);
    emulator.emplace(std::move(options));
    ASSERT_TRUE(emulator->start());
    com.emplace("QUORVANE_COM6", emulator->devicePath());
    config.portIndex = 5;
  }
  void tick(UpgradeSoftwareDialog& dialog) {
    ASSERT_TRUE(test::settle(*emulator, dialog.port()));
    dialog.onUpgradeTick(kUpgradeTimerId);
  }
  bool onlyStartThenStopHeard() {
    return emulator->waitUntil([&] { return emulator->framesReceived().size() >= 2; }) &&
           emulator->framesReceived() == std::vector<FrameBytes>{kStartUpgradeFrame, kStopFrame};
  }

  test::TempDir dir;
  const QString imagePath = QString::fromStdString(dir.file("rom.bin"));
  const std::vector<std::uint8_t> flash = emu::patternFlash(1);
  AppConfig config;
  std::optional<emu::ReceiverEmulator> emulator;
  std::optional<test::ScopedEnv> com;
  test::RecordingPresenter presenter;
};

TEST_F(UpgradeDialogTest, CountsTheBlocksAndShowsCompletionUntilClosed) {
  start();
  UpgradeSoftwareDialog dialog(imagePath);
  ASSERT_TRUE(dialog.initialize());
  for (int i = 0; i < 7; ++i) tick(dialog);
  EXPECT_EQ(dialog.blockCounter()->text(), "6/256 blocks");
  EXPECT_EQ(dialog.progressBar()->value(), 2);  // 600 / 256
  EXPECT_TRUE(dialog.warningText()->isHidden());

  bool closedWhileOpen = false;  // the rest by its own timer; open until Close
  auto* poll = new QTimer(&dialog);
  QObject::connect(poll, &QTimer::timeout, &dialog, [&] {
    if (dialog.cancelButton()->text() != "Close" || !dialog.isVisible()) return;
    closedWhileOpen = true;
    dialog.cancelButton()->click();
  });
  poll->start(20);
  QTimer::singleShot(240'000, &dialog, [&] { dialog.reject(); });  // a safety net only
  dialog.exec();
  EXPECT_TRUE(closedWhileOpen);
  EXPECT_EQ(dialog.blockCounter()->text(), "256/256 blocks");
  EXPECT_EQ(dialog.progressBar()->value(), 100);
  EXPECT_FALSE(dialog.warningText()->isHidden());
  EXPECT_TRUE(onlyStartThenStopHeard());
  EXPECT_EQ(emulator->flash(), flash);
}

TEST_F(UpgradeDialogTest, TimerTicksWhileTheMismatchMessageIsOpenDoNothing) {
  start(5, emu::UpgradeAnswer::Ident);  // "CI 29 1" answering with its own type
  UpgradeSoftwareDialog dialog(imagePath);
  ASSERT_TRUE(dialog.initialize());
  // The box's loop delivers timer ticks; an acceptable answer waits behind.
  presenter.onPresent = [&](const test::ShownMessage&) {
    emulator->sendRaw(std::vector<std::uint8_t>(kAckFrame.begin(), kAckFrame.end()));
    QTest::qWait(300);
  };
  tick(dialog);
  ASSERT_EQ(presenter.messages.size(), 1u);
  EXPECT_TRUE(presenter.messages[0].text.contains("<Fta 29 1> to <CI 29 1>"));
  EXPECT_TRUE(onlyStartThenStopHeard());
  EXPECT_EQ(emulator->blocksReceived(), 0u);
}

}  // namespace
}  // namespace quorvane::ui
