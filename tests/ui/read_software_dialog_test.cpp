// Read Receiver Software; also, once, the frame and file dialogs both transfer dialogs share.
#include "transfer/ui/read_software_dialog.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "base/app_config.h"
#include "transfer/rom_type.h"
#include "app/control_panel_dialog.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

struct ReadDialogTest : ::testing::Test {
  // The emulator (model 1: 256 blocks) on COM4; the save dialog answers `target`.
  void start(emu::FaultPlan faults = {}) {
    emulator.emplace(emu::EmulatorOptions{});
    emulator->setFaults(faults);
    ASSERT_TRUE(emulator->start());
    com.emplace("QUORVANE_COM4", emulator->devicePath());
    config.portIndex = 3;
    chooser.saveAnswers.push_back(QString::fromStdString(target));
  }

  AppConfig config;
  test::TempDir dir;
  const std::string target = dir.file("rom.bin");
  std::optional<emu::ReceiverEmulator> emulator;
  std::optional<test::ScopedEnv> com;
  test::RecordingPresenter presenter;
  test::ScriptedFileChooser chooser;
};

// Read's save dialog and Upgrade's open dialog, both cancelled.
TEST_F(ReadDialogTest, CancelledFileDialogsOpenAndSendNothing) {
  start();
  chooser.saveAnswers.clear();
  ControlPanelDialog panel;
  panel.onReadSoftware();
  panel.onUpgradeSoftware();
  for (const auto* requests : {&chooser.saveRequests, &chooser.openRequests}) {
    ASSERT_EQ(requests->size(), 1u);
    EXPECT_EQ((*requests)[0].proposedName, "rom.bin");
    EXPECT_EQ((*requests)[0].filter, "rom image file(*.bin)");
  }
  EXPECT_TRUE(presenter.messages.empty());
  EXPECT_TRUE(emulator->waitIdle() && emulator->framesReceived().empty());
}

// The real save dialog refuses a name in a folder that does not exist and stays open, so no read
// starts; cancelled then, nothing was sent.
TEST_F(ReadDialogTest, TheSaveDialogRefusesAFolderThatDoesNotExist) {
  start();
  setFileChooser(nullptr);
  QString told;
  test::onNextModal([&](QWidget* window) {
    auto* dialog = qobject_cast<QFileDialog*>(window);
    ASSERT_NE(dialog, nullptr);
    dialog->findChild<QLineEdit*>("fileNameEdit")
        ->setText(QString::fromStdString(dir.file("missing/rom.bin")));
    test::onNextModal(
        [&, dialog](QWidget* box) {
          if (auto* message = qobject_cast<QMessageBox*>(box)) told = message->text();
          test::closeNextModal(box);  // the file dialog again, once the message has gone
          qobject_cast<QDialog*>(box)->reject();
        },
        dialog);
    static_cast<QDialog*>(dialog)->accept();  // Save
  });
  ReadSoftwareDialog d;
  EXPECT_FALSE(d.initialize());
  EXPECT_TRUE(told.endsWith("missing/rom.bin\nPath does not exist.\nCheck the path and try again."))
      << told.toStdString();
  EXPECT_TRUE(emulator->waitIdle() && emulator->framesReceived().empty());
}

TEST_F(ReadDialogTest, EnterDoesNothingEscapeAndCancelEndWithoutAWord) {
  for (const bool escape : {true, false}) {
    start();
    ReadSoftwareDialog d;
    ASSERT_TRUE(d.initialize());
    d.show();
    test::keyClick(d.cancelButton(), Qt::Key_Return);  // even on the focused button
    test::keyClick(&d, Qt::Key_Enter);
    EXPECT_TRUE(d.isVisible());
    escape ? test::keyClick(&d, Qt::Key_Escape) : d.cancelButton()->click();
    EXPECT_FALSE(d.isVisible());
    ASSERT_TRUE(test::settle(*emulator, d.port()));
    d.onReadTick(kAnswerTimerId);  // a late tick, the answer waiting, changes nothing
    ASSERT_TRUE(emulator->waitIdle());
    EXPECT_EQ(emulator->framesReceived(), std::vector<FrameBytes>{kStartReadFrame});
    EXPECT_TRUE(presenter.messages.empty());
  }
}

TEST_F(ReadDialogTest, FailureMessageShowsOverTheDialogThenItEnds) {
  start({.silence = emu::FaultPoint::afterStart()});
  ReadSoftwareDialog d;
  ASSERT_TRUE(d.initialize());
  d.show();
  presenter.onPresent = [&](const test::ShownMessage&) { EXPECT_TRUE(d.isVisible()); };
  for (int i = 0; i < 60; ++i) d.onReadTick(kAnswerTimerId);
  EXPECT_TRUE(test::onlyMessage(presenter, QString::fromUtf8("no answer2\xEF\xBC\x81"), &d));
  EXPECT_FALSE(d.isVisible());
}

TEST_F(ReadDialogTest, AWholeReadThroughItsOwnTimer) {
  start();
  ReadSoftwareDialog d;
  EXPECT_EQ(d.windowTitle(), "Read Receiver Software");
  ASSERT_TRUE(d.initialize());
  EXPECT_EQ(d.blockCounter()->text(), "0/0 blocks");
  // A safety net only: a read of 256 blocks takes about 13 s of ticks.
  QTimer::singleShot(120'000, &d, [&d] { d.reject(); });
  d.exec();
  EXPECT_EQ(d.blockCounter()->text(), "256/256 blocks");
  EXPECT_EQ(d.progressBar()->value(), 100);
  EXPECT_EQ(test::readFileBytes(target).size(), kImageFileSizeSmall);
}

}  // namespace
}  // namespace quorvane::ui
