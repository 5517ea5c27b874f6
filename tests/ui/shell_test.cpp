#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QWhatsThis>
#include <filesystem>

#include "app/app_config.h"
#include "app/ui/about_dialog.h"
#include "app/ui/application.h"
#include "app/ui/control_panel_dialog.h"
#include "app/ui/dialog_units.h"
#include "support/test_support.h"
#include "ui/support/ui_test_support.h"

namespace quorvane::ui {
namespace {

using test::closeNextModal;
using test::onNextModal;

const QString kFullWidthExclamation = QString(QChar(0xFF01));

void pressKey(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(target, &release);
}

QWidget* focusOr(QWidget* fallback) {
  QWidget* focus = QApplication::focusWidget();
  return focus ? focus : fallback;
}

QPushButton* button(QWidget* dialog, const char* name) {
  return dialog->findChild<QPushButton*>(QString::fromUtf8(name));
}

QRect dluRect(int x, int y, int w, int h) {
  return dluToPixels(QRect(x, y, w, h), dialogBaseUnits());
}

TEST(DialogUnits, ConvertsWithTheBaseUnitsAndRoundsHalfAwayFromZero) {
  const DialogBaseUnits base{6, 12};
  EXPECT_EQ(dluToPixelsX(4, base), 6);
  EXPECT_EQ(dluToPixelsX(367, base), 551);  // 550.5
  EXPECT_EQ(dluToPixelsY(193, base), 290);  // 289.5
  EXPECT_EQ(dluToPixelsX(-3, base), -5);    // -4.5
  EXPECT_EQ(dluToPixels(QRect(51, 54, 72, 26), DialogBaseUnits{7, 14}), QRect(89, 95, 126, 46));
}

TEST(ControlPanel, TitleGroupTextAndIcon) {
  ControlPanelDialog panel;
  EXPECT_EQ(panel.windowTitle(), QStringLiteral("Quorvane 1.2"));
  EXPECT_EQ(panel.groupBox()->title(), QStringLiteral("Quorvane 1.2 Control Panel"));
  EXPECT_FALSE(panel.windowIcon().isNull());
}

TEST(ControlPanel, ButtonsCaptionsGeometryAndTabOrder) {
  ControlPanelDialog panel;
  const DialogBaseUnits base = dialogBaseUnits();
  EXPECT_EQ(panel.size(), QSize(dluToPixelsX(367, base), dluToPixelsY(193, base)));
  EXPECT_EQ(panel.groupBox()->geometry(), dluRect(23, 21, 323, 136));

  const struct {
    const char* name;
    int id;
    const char* caption;
    QRect rect;
  } expected[] = {
      {"setupCommButton", 1106, "&Setup Comm", dluRect(51, 54, 72, 26)},
      {"keyboardControlButton", 1078, "&Keyboard Control", dluRect(51, 102, 72, 26)},
      {"readSoftwareButton", 1108, "&Read Software", dluRect(144, 54, 72, 26)},
      {"upgradeSoftwareButton", 1107, "&Upgrade Software", dluRect(235, 54, 72, 26)},
      {"exitButton", 2, "&Exit", dluRect(235, 102, 72, 26)},
      {"aboutButton", 3, "&About", dluRect(144, 102, 72, 26)},
  };
  QWidget* previous = nullptr;
  for (const auto& e : expected) {
    QPushButton* b = button(&panel, e.name);
    ASSERT_NE(b, nullptr) << e.name;
    EXPECT_EQ(b->text(), QString::fromUtf8(e.caption));
    EXPECT_EQ(b->property("controlId").toInt(), e.id);
    EXPECT_EQ(b->geometry(), e.rect) << e.name;
    EXPECT_FALSE(b->isDefault() || b->autoDefault()) << e.name;
    EXPECT_TRUE(panel.groupBox()->geometry().contains(b->geometry())) << e.name;
    if (previous) {
      EXPECT_EQ(previous->nextInFocusChain(), b) << e.name;
    }
    previous = b;
  }
}

TEST(ControlPanel, FixedSizeWithMinimiseBoxAndNoMaximiseBox) {
  ControlPanelDialog panel;
  EXPECT_EQ(panel.minimumSize(), panel.maximumSize());
  const Qt::WindowFlags flags = panel.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  // Centred on its screen.
  const QPoint centre = panel.screen()->availableGeometry().center();
  EXPECT_LE((panel.geometry().center() - centre).manhattanLength(), 2);
}

// Runs the panel modally; `whileOpen` is called once it is shown.
int runPanel(ControlPanelDialog& panel, std::function<void()> whileOpen) {
  onNextModal([&](QWidget*) { whileOpen(); });
  return panel.exec();
}

TEST(ControlPanel, EnterAndF1DoNothingAndEscEndsIt) {
  ControlPanelDialog panel;
  bool stayedOpen = false;
  bool focusOnSetupComm = false;
  const int result = runPanel(panel, [&] {
    focusOnSetupComm = QApplication::focusWidget() == button(&panel, "setupCommButton");
    const int topLevels = static_cast<int>(QApplication::topLevelWidgets().size());
    pressKey(focusOr(&panel), Qt::Key_Return);
    pressKey(focusOr(&panel), Qt::Key_Enter);
    pressKey(&panel, Qt::Key_Return);
    pressKey(focusOr(&panel), Qt::Key_F1);
    pressKey(focusOr(&panel), Qt::Key_F1, Qt::ShiftModifier);
    QApplication::processEvents();
    stayedOpen = panel.isVisible() && QApplication::activeModalWidget() == &panel &&
                 !QWhatsThis::inWhatsThisMode() &&
                 static_cast<int>(QApplication::topLevelWidgets().size()) == topLevels;
    QWhatsThis::leaveWhatsThisMode();
    pressKey(focusOr(&panel), Qt::Key_Escape);
  });
  EXPECT_TRUE(focusOnSetupComm);
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_FALSE(panel.isVisible());
}

TEST(ControlPanel, ExitButtonAltEAndCloseBoxEndIt) {
  const std::function<void(ControlPanelDialog&)> ways[] = {
      [](ControlPanelDialog& p) { button(&p, "exitButton")->click(); },
      [](ControlPanelDialog& p) { pressKey(focusOr(&p), Qt::Key_E, Qt::AltModifier); },
      [](ControlPanelDialog& p) { p.close(); },
  };
  for (const auto& way : ways) {
    ControlPanelDialog panel;
    EXPECT_EQ(runPanel(panel, [&] { way(panel); }), QDialog::Rejected);
    EXPECT_FALSE(panel.isVisible());
  }
}

TEST(AboutBox, TitleLinesAndDefaultOk) {
  AboutDialog about;
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About Quorvane 1.2"));
  EXPECT_EQ(about.firstLine()->text(), QStringLiteral("Quorvane 1.2    version 1.2"));
  EXPECT_FALSE(about.secondLine()->text().isEmpty());
  EXPECT_TRUE(about.okButton()->isDefault());
  EXPECT_FALSE(about.windowIcon().isNull());
  const DialogBaseUnits base = dialogBaseUnits();
  EXPECT_EQ(about.size(), QSize(dluToPixelsX(275, base), dluToPixelsY(51, base)));
  EXPECT_EQ(about.firstLine()->geometry(), dluRect(40, 10, 180, 8));
  EXPECT_EQ(about.secondLine()->geometry(), dluRect(40, 25, 165, 8));
  EXPECT_EQ(about.okButton()->geometry(), dluRect(218, 25, 50, 14));
  // Both lines fit their controls in the dialog font.
  const QFontMetrics fm(about.font());
  EXPECT_LE(fm.horizontalAdvance(about.firstLine()->text()), about.firstLine()->width());
  EXPECT_LE(fm.horizontalAdvance(about.secondLine()->text()), about.secondLine()->width());
}

TEST(AboutBox, EnterEscOkAndCloseBoxCloseIt) {
  const struct {
    std::function<void(AboutDialog&)> act;
    int result;
  } ways[] = {
      {[](AboutDialog& d) { pressKey(focusOr(&d), Qt::Key_Return); }, QDialog::Accepted},
      {[](AboutDialog& d) { pressKey(focusOr(&d), Qt::Key_Escape); }, QDialog::Rejected},
      {[](AboutDialog& d) { d.okButton()->click(); }, QDialog::Accepted},
      {[](AboutDialog& d) { d.close(); }, QDialog::Rejected},
  };
  for (const auto& way : ways) {
    AboutDialog about;
    onNextModal([&](QWidget*) { way.act(about); });
    EXPECT_EQ(about.exec(), way.result);
  }
}

TEST(ControlPanel, AboutButtonRunsTheAboutBoxOverThePanel) {
  ControlPanelDialog panel;
  QString seenTitle;
  bool panelBlocked = false;
  runPanel(panel, [&] {
    onNextModal(
        [&](QWidget* about) {
          seenTitle = about->windowTitle();
          panelBlocked = QApplication::activeModalWidget() == about;
          pressKey(focusOr(about), Qt::Key_Escape);
          // Back in the panel once the About box has gone.
          onNextModal([&](QWidget*) { panel.reject(); });
        },
        &panel);
    button(&panel, "aboutButton")->click();
  });
  EXPECT_EQ(seenTitle, QStringLiteral("About Quorvane 1.2"));
  EXPECT_TRUE(panelBlocked);
}

class ScopedChdir {
 public:
  explicit ScopedChdir(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedChdir() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

using Bytes = std::vector<std::uint8_t>;

TEST(StartUp, LoadsBeforeThePanelRunsAndSavesWhenItEnds) {
  test::TempDir dir;
  test::RecordingPresenter messages;
  const std::string real = std::filesystem::canonical(dir.path()).string();
  const struct {
    Bytes before;
    std::int32_t loaded;
    Bytes after;
  } cases[] = {
      {{}, 0, {0, 0, 0, 0}},  // first run: no file yet
      {{3, 0, 0, 0}, 3, {3, 0, 0, 0}},
      {{2, 0}, 0, {0, 0, 0, 0}},
      {{7, 0, 0, 0, 1}, 7, {7, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(dir.file("Quorvane.cfg"));
    if (!c.before.empty()) test::writeFileBytes(dir.file("Quorvane.cfg"), c.before);
    ScopedChdir in(dir.path());
    std::int32_t seen = -100;
    std::string seenPath;
    bool panelIsMain = false;
    onNextModal([&](QWidget* panel) {
      seen = AppConfig::instance().portIndex;
      seenPath = AppConfig::instance().configPath;
      panelIsMain = mainWindow() == panel && qobject_cast<ControlPanelDialog*>(panel);
      pressKey(focusOr(panel), Qt::Key_Escape);
    });
    EXPECT_EQ(runApplication(), 0);
    EXPECT_EQ(seen, c.loaded);
    EXPECT_EQ(seenPath, real + "/Quorvane.cfg");
    EXPECT_TRUE(panelIsMain);
    EXPECT_EQ(mainWindow(), nullptr);
    EXPECT_EQ(test::readFileBytes(dir.file("Quorvane.cfg")), c.after);
  }
  EXPECT_TRUE(messages.messages.empty());
}

TEST(StartUp, SaveFailureIsShownWithoutOwnerAndTheProgramStillEnds) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("Quorvane.cfg"));  // cannot be written
  test::RecordingPresenter messages;
  ScopedChdir in(dir.path());
  closeNextModal();
  EXPECT_EQ(runApplication(), 0);
  ASSERT_EQ(messages.messages.size(), 1u);
  EXPECT_EQ(messages.messages[0].text, "save config info error" + kFullWidthExclamation);
  EXPECT_EQ(messages.messages[0].title, QStringLiteral("Quorvane 1.2"));
  EXPECT_EQ(messages.messages[0].owner, nullptr);
}

}  // namespace
}  // namespace quorvane::ui
