// The control panel, the About box and the program's start-up and exit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QWhatsThis>
#include <filesystem>

#include "base/app_config.h"
#include "app/about_dialog.h"
#include "quorvane/version.h"
#include "app/application.h"
#include "app/control_panel_dialog.h"
#include "widgets/dialog_units.h"
#include "support/test_support.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

using test::keyClick;
using test::onNextModal;

TEST(DialogUnits, ConvertWithTheBaseUnitsRoundingHalfAwayFromZero) {
  EXPECT_EQ(dluToPixels(QRect(-3, 193, 367, 26), DialogBaseUnits{6, 12}), QRect(-5, 290, 551, 39));
  EXPECT_EQ(dluToPixels(QRect(51, 54, 72, 26), DialogBaseUnits{7, 14}), QRect(89, 95, 126, 46));
}

// The buttons' texts and places are the panel's own table (checked in the renderer's picture).
TEST(ControlPanel, TitlesAndNoDefaultButton) {
  ControlPanelDialog panel;
  const QString title = QStringLiteral("Quorvane ") + kVersion;
  EXPECT_EQ(panel.windowTitle(), title);
  EXPECT_EQ(panel.groupBox()->title(), title + " Control Panel");
  for (const QPushButton* button : panel.findChildren<QPushButton*>())
    EXPECT_FALSE(button->isDefault() || button->autoDefault())
        << button->objectName().toStdString();
}

TEST(ControlPanel, EnterAndF1DoNothingEscExitAndAltEEndIt) {
  const std::function<void(ControlPanelDialog&)> ends[] = {
      [](ControlPanelDialog&) { keyClick(nullptr, Qt::Key_Escape); },
      [](ControlPanelDialog& p) { p.findChild<QPushButton*>("exitButton")->click(); },
      [](ControlPanelDialog&) { keyClick(nullptr, Qt::Key_E, Qt::AltModifier); },
  };
  for (const auto& end : ends) {
    ControlPanelDialog panel;
    bool stayedOpen = false;
    onNextModal([&](QWidget*) {
      const auto windows = QApplication::topLevelWidgets().size();
      for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_F1}) keyClick(nullptr, key);
      keyClick(nullptr, Qt::Key_F1, Qt::ShiftModifier);
      QApplication::processEvents();
      stayedOpen = QApplication::activeModalWidget() == &panel && !QWhatsThis::inWhatsThisMode() &&
                   QApplication::topLevelWidgets().size() == windows;
      QWhatsThis::leaveWhatsThisMode();
      end(panel);
    });
    EXPECT_EQ(panel.exec(), QDialog::Rejected);
    EXPECT_TRUE(stayedOpen);
  }
}

TEST(AboutBox, TextsAndEnterOrEscClosesIt) {
  AboutDialog about;
  const QString version = kVersion;
  EXPECT_EQ(about.windowTitle(), "About Quorvane " + version);
  EXPECT_EQ(about.firstLine()->text(), "Quorvane " + version + "    version " + version);
  EXPECT_FALSE(about.secondLine()->text().isEmpty());
  for (int key : {Qt::Key_Return, Qt::Key_Escape}) {
    onNextModal([key](QWidget*) { keyClick(nullptr, key); });
    EXPECT_EQ(about.exec(), key == Qt::Key_Return ? QDialog::Accepted : QDialog::Rejected);
  }
}

// The file dialogs, and the box of a Read Software whose port can't be opened (the dialog never
// shows), come up centred over the control panel.
TEST(Placement, FileDialogsAndBoxesOfDialogsNeverShownCentreOverThePanel) {
  test::TempDir dir;
  test::ScopedEnv settings("XDG_CONFIG_HOME", dir.path().string());  // the file dialog's
  test::ScopedEnv com1("QUORVANE_COM1", dir.file("missing"));
  AppConfig config;  // COM1
  ControlPanelDialog panel;
  panel.move(120, 150);
  panel.show();
  setMainWindow(&panel);
  std::vector<std::string> seen;
  const auto look = [&](QWidget* w) {
    const auto* box = qobject_cast<QMessageBox*>(w);
    const QPoint offset = w->geometry().center() - panel.geometry().center();
    seen.push_back(((box ? box->text() : w->windowTitle()) +
                    (w->parentWidget() == &panel && offset.manhattanLength() <= 1 ? "" : " astray"))
                       .toStdString());
    static_cast<QDialog*>(w)->reject();
  };
  for (auto handler :
       {&ControlPanelDialog::onReadSoftware, &ControlPanelDialog::onUpgradeSoftware}) {
    onNextModal(look);
    (panel.*handler)();  // the real file dialog, cancelled
  }
  test::ScriptedFileChooser chooser;
  chooser.saveAnswers.push_back(QString::fromStdString(dir.file("rom.bin")));
  onNextModal(look);
  panel.onReadSoftware();
  setMainWindow(nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"save as rom(*.bin) file", "open rom(*.bin) file",
                                            "open port1 error!"}));
}

// Runs the program in `dir`, calls `whileOpen` on the panel, then ends it.
int runIn(const test::TempDir& dir, const std::function<void(QWidget*)>& whileOpen) {
  const std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  onNextModal([&](QWidget* panel) {
    whileOpen(panel);
    keyClick(nullptr, Qt::Key_Escape);
  });
  const int result = runApplication();
  std::filesystem::current_path(old);
  return result;
}

TEST(StartUp, LoadsBeforeThePanelRunsAndSavesWhenItEnds) {
  test::TempDir dir;
  test::RecordingPresenter messages;
  test::writeFileBytes(dir.file("Quorvane.cfg"), {3, 0, 0, 0, 9});
  std::int32_t loaded = -1;
  bool panelIsMain = false;
  const auto whileOpen = [&](QWidget* panel) {
    loaded = AppConfig::instance().portIndex;
    panelIsMain = mainWindow() == panel;
    AppConfig::instance().portIndex = 0x01020304;
  };
  EXPECT_EQ(runIn(dir, whileOpen), 0);
  EXPECT_EQ(loaded, 3);
  EXPECT_TRUE(panelIsMain);
  EXPECT_EQ(test::readFileBytes(dir.file("Quorvane.cfg")), (std::vector<std::uint8_t>{4, 3, 2, 1}));
  EXPECT_TRUE(messages.messages.empty());
}

TEST(StartUp, SaveFailureIsShownWithoutOwnerAndTheProgramStillEnds) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("Quorvane.cfg"));  // cannot be written
  test::RecordingPresenter messages;
  EXPECT_EQ(runIn(dir, [](QWidget*) {}), 0);
  EXPECT_TRUE(test::onlyMessage(messages, QString::fromUtf8("save config info error\xEF\xBC\x81"),
                                nullptr));
}

}  // namespace
}  // namespace quorvane::ui
