// The Read Receiver Software dialog with a scripted save dialog, recorded
// message boxes and the receiver emulator on COM4. Ticks are driven
// directly, but for one run through the dialog's own 50 ms timer.
#include "transfer/ui/read_software_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/app_config.h"
#include "app/ui/dialog_units.h"
#include "app/ui/panel_actions.h"
#include "receiver_emulator.h"
#include "serial/port_map.h"
#include "support/emulator_driver.h"
#include "support/test_support.h"
#include "transfer/rom_type.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kComIndex = 3;  // COM4

QRect dluRect(int x, int y, int w, int h) {
  return dluToPixels(QRect(x, y, w, h), dialogBaseUnits());
}

emu::EmulatorOptions model(int modelNumber) {
  emu::EmulatorOptions options;
  options.modelNumber = modelNumber;
  return options;
}

void pressKey(QWidget* w, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(w, &release);
}

Bytes imageOf(int tagIndex, const Bytes& flash) {
  const auto tag = romType(tagIndex).tagText;
  Bytes image(tag.begin(), tag.end());
  image.insert(image.end(), flash.begin(), flash.end());
  return image;
}

class ReadDialogTest : public ::testing::Test {
 protected:
  void startEmulator(emu::EmulatorOptions options = {}) {
    emulator.emplace(std::move(options));
    ASSERT_TRUE(emulator->start());
    com.emplace(portOverrideVariable(kComIndex + 1), emulator->devicePath());
    config.portIndex = kComIndex;
  }

  // A tick of whichever timer runs, once the line has settled.
  void tick(ReadSoftwareDialog& d) {
    ASSERT_TRUE(test::settle(*emulator, d.port()));
    d.onReadTick(d.timerActive(kAnswerTimerId) ? kAnswerTimerId : kBlockTimerId);
  }
  void tickUntilBlocks(ReadSoftwareDialog& d, unsigned n) {
    for (int i = 0;
         i < 3000 && !d.transfer()->finished() && d.transfer()->fields().blocksReceived < n; ++i)
      tick(d);
  }
  bool emulatorHeard(const std::vector<FrameBytes>& frames) {
    return emulator->waitIdle() && emulator->framesReceived() == frames;
  }

  AppConfig config;
  test::TempDir dir;
  const std::string target = dir.file("rom.bin");
  std::optional<emu::ReceiverEmulator> emulator;
  std::optional<test::ScopedEnv> com;
  test::RecordingPresenter presenter;
  test::ScriptedFileChooser chooser;
};

TEST_F(ReadDialogTest, LaidOutAsTemplate172) {
  ReadSoftwareDialog d;
  EXPECT_EQ(d.windowTitle(), "Read Receiver Software");
  const Qt::WindowFlags f = d.windowFlags();
  EXPECT_TRUE(f & Qt::WindowTitleHint);
  EXPECT_FALSE(f & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(f & Qt::WindowCloseButtonHint);
  EXPECT_EQ(d.size(), dluRect(0, 0, 301, 65).size());

  const auto groups = d.findChildren<QGroupBox*>();
  ASSERT_EQ(groups.size(), 1);
  EXPECT_EQ(groups[0]->geometry(), dluRect(6, 5, 288, 34));
  EXPECT_TRUE(groups[0]->title().isEmpty());

  QLineEdit* counter = d.blockCounter();
  EXPECT_EQ(counter->geometry(), dluRect(15, 5, 57, 12));
  EXPECT_FALSE(counter->isEnabled());
  EXPECT_TRUE(counter->isReadOnly());
  EXPECT_EQ(counter->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
  // Drawn above the group box's edge, not hidden under it.
  const auto children = d.children();
  EXPECT_GT(children.indexOf(counter), children.indexOf(groups[0]));

  EXPECT_EQ(d.progressBar()->geometry(), dluRect(11, 20, 274, 11));
  EXPECT_EQ(d.progressBar()->minimum(), 0);
  EXPECT_EQ(d.progressBar()->maximum(), 100);

  const auto buttons = d.findChildren<QPushButton*>();
  ASSERT_EQ(buttons.size(), 1);  // no OK button
  EXPECT_EQ(buttons[0]->text(), "Cancel");
  EXPECT_EQ(buttons[0]->geometry(), dluRect(122, 44, 50, 14));
  EXPECT_FALSE(buttons[0]->autoDefault());
  EXPECT_FALSE(buttons[0]->isDefault());
}

TEST_F(ReadDialogTest, CancelledSaveDialogOpensAndSendsNothing) {
  startEmulator();
  ReadSoftwareDialog d;
  EXPECT_FALSE(d.initialize());
  ASSERT_EQ(chooser.saveRequests.size(), 1u);
  EXPECT_EQ(chooser.saveRequests[0].title, "save as rom(*.bin) file");
  EXPECT_EQ(chooser.saveRequests[0].proposedName, "rom.bin");
  EXPECT_EQ(chooser.saveRequests[0].filter, "rom image file(*.bin)");
  EXPECT_EQ(d.result(), QDialog::Rejected);
  EXPECT_EQ(d.transfer(), nullptr);
  EXPECT_TRUE(presenter.messages.empty());

  runReadSoftware();  // the panel's handler: the same question, the same end
  EXPECT_EQ(chooser.saveRequests.size(), 2u);
  EXPECT_TRUE(emulatorHeard({}));
}

TEST_F(ReadDialogTest, CounterAndBarFollowTheBlocks) {
  startEmulator(model(1));
  chooser.saveAnswers.push_back(QString::fromStdString(target));
  ReadSoftwareDialog d;
  ASSERT_TRUE(d.initialize());
  EXPECT_EQ(d.blockCounter()->text(), "0/0 blocks");
  EXPECT_EQ(d.progressBar()->value(), 0);
  EXPECT_TRUE(d.timerActive(kAnswerTimerId));

  tick(d);  // the answer
  EXPECT_TRUE(d.timerActive(kBlockTimerId));
  EXPECT_FALSE(d.timerActive(kAnswerTimerId));
  EXPECT_EQ(d.blockCounter()->text(), "0/0 blocks");

  tickUntilBlocks(d, 1);
  EXPECT_EQ(d.blockCounter()->text(), "1/256 blocks");
  EXPECT_EQ(d.progressBar()->value(), 0);
  tickUntilBlocks(d, 3);
  EXPECT_EQ(d.blockCounter()->text(), "3/256 blocks");
  EXPECT_EQ(d.progressBar()->value(), 1);
  tickUntilBlocks(d, 256);
  EXPECT_EQ(d.blockCounter()->text(), "256/256 blocks");
  EXPECT_EQ(d.progressBar()->value(), 100);

  EXPECT_TRUE(d.transfer()->succeeded());
  EXPECT_FALSE(d.timerActive(kBlockTimerId));
  EXPECT_EQ(d.result(), QDialog::Rejected);
  EXPECT_TRUE(presenter.messages.empty());
  EXPECT_EQ(test::readFileBytes(target), imageOf(0, emulator->flash()));
}

TEST_F(ReadDialogTest, EnterDoesNothingEscapeAndCancelEndWithoutAWord) {
  for (const bool escape : {true, false}) {
    startEmulator(model(1));
    chooser.saveAnswers.push_back(QString::fromStdString(target));
    ReadSoftwareDialog d;
    ASSERT_TRUE(d.initialize());
    d.show();
    tickUntilBlocks(d, 5);
    ASSERT_TRUE(emulator->waitIdle());
    const auto heard = emulator->framesReceived();

    pressKey(d.cancelButton(), Qt::Key_Return);  // even on the focused button
    pressKey(&d, Qt::Key_Enter);
    EXPECT_TRUE(d.isVisible());
    EXPECT_TRUE(d.timerActive(kBlockTimerId));

    if (escape)
      pressKey(&d, Qt::Key_Escape);
    else
      d.cancelButton()->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_FALSE(d.timerActive(kBlockTimerId));
    EXPECT_EQ(d.transfer()->outcome(), ReadOutcome::Cancelled);
    d.onReadTick(kBlockTimerId);  // a late tick changes nothing
    EXPECT_TRUE(emulatorHeard(heard));
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(presenter.messages.empty());
  }
}

TEST_F(ReadDialogTest, FailureMessageShowsOverTheDialogThenItEnds) {
  emu::EmulatorOptions options;
  options.faults.silentAfterStart = true;
  startEmulator(options);
  chooser.saveAnswers.push_back(QString::fromStdString(target));
  ReadSoftwareDialog d;
  ASSERT_TRUE(d.initialize());
  d.show();
  bool visibleDuringMessage = false, timersStopped = false;
  presenter.onPresent = [&](const test::ShownMessage&) {
    visibleDuringMessage = d.isVisible();
    timersStopped = !d.timerActive(kAnswerTimerId) && !d.timerActive(kBlockTimerId);
  };
  for (int i = 0; i < 60; ++i) tick(d);

  ASSERT_EQ(presenter.messages.size(), 1u);
  EXPECT_EQ(presenter.messages[0].text, QString::fromUtf8("no answer2\xEF\xBC\x81"));
  EXPECT_EQ(presenter.messages[0].title, "Quorvane 1.2");
  EXPECT_EQ(presenter.messages[0].owner, &d);
  EXPECT_TRUE(visibleDuringMessage);
  EXPECT_TRUE(timersStopped);
  EXPECT_FALSE(d.isVisible());
  EXPECT_TRUE(emulatorHeard({kStartReadFrame, kStopFrame}));
}

TEST_F(ReadDialogTest, PortThatCannotBeOpenedEndsTheDialogWithItsNumber) {
  test::ScopedEnv com7(portOverrideVariable(7), dir.file("missing-device"));
  config.portIndex = 6;
  chooser.saveAnswers.push_back(QString::fromStdString(target));
  ReadSoftwareDialog d;
  EXPECT_FALSE(d.initialize());
  ASSERT_EQ(presenter.messages.size(), 1u);
  EXPECT_EQ(presenter.messages[0].text, "open port7 error!");
  EXPECT_EQ(presenter.messages[0].owner, &d);
  EXPECT_EQ(d.result(), QDialog::Rejected);
  EXPECT_FALSE(d.timerActive(kAnswerTimerId));
}

TEST_F(ReadDialogTest, WholeReadThroughTheDialogsOwnTimer) {
  startEmulator(model(1));
  chooser.saveAnswers.push_back(QString::fromStdString(target));
  ReadSoftwareDialog d;
  ASSERT_TRUE(d.initialize());
  // A safety net only: a read of 256 blocks takes about 13 s of ticks.
  QTimer::singleShot(120'000, &d, [&d] { d.reject(); });
  d.exec();
  EXPECT_TRUE(d.transfer()->succeeded());
  EXPECT_EQ(d.blockCounter()->text(), "256/256 blocks");
  EXPECT_TRUE(presenter.messages.empty());
  EXPECT_EQ(test::readFileBytes(target), imageOf(0, emulator->flash()));
}

}  // namespace
}  // namespace quorvane::ui
