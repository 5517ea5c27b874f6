// The control panel and the About box.

#include <QMessageBox>

#include "base/notice.h"
#include "app/about_dialog.h"
#include "app/application.h"
#include "app/control_panel_dialog.h"
#include "render_registry.h"

namespace {

template <typename Dialog>
std::unique_ptr<QWidget> makeDialog() {
  quorvane::ui::initToolkit();  // as start-up would have it
  return std::make_unique<Dialog>();
}

}  // namespace

QUORVANE_RENDER_SCENE("control_panel", makeDialog<quorvane::ui::ControlPanelDialog>);
QUORVANE_RENDER_SCENE("about", makeDialog<quorvane::ui::AboutDialog>);

namespace {

// The box the end of the program shows when the file cannot be written, as
// the default message presenter builds it.
std::unique_ptr<QWidget> makeNoticeBox(quorvane::MessageId id) {
  quorvane::ui::initToolkit();
  const quorvane::Notice notice = quorvane::Notice::of(id);
  return std::make_unique<QMessageBox>(
      QMessageBox::NoIcon, QString::fromStdString(quorvane::noticeTitle(notice)),
      QString::fromStdString(quorvane::noticeText(notice)), QMessageBox::Ok);
}

}  // namespace

QUORVANE_RENDER_SCENE("save_config_info_error",
                      [] { return makeNoticeBox(quorvane::MessageId::ConfigOpenFailed); });
QUORVANE_RENDER_SCENE("save_data_error",
                      [] { return makeNoticeBox(quorvane::MessageId::ConfigWriteFailed); });
