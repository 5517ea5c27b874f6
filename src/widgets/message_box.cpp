#include "widgets/message_box.h"

#include <QAbstractButton>
#include <QIcon>
#include <QMessageBox>

#include "widgets/window_placement.h"

namespace quorvane::ui {

namespace {

class QtMessagePresenter final : public MessagePresenter {
 public:
  void present(const QString& text, const QString& title, QWidget* owner) override {
    // Over the owner, or the window that stands for it while it is not on
    // screen (window_placement.h).
    QWidget* const anchor = placementAnchor(owner);
    AnchoredDialog<QMessageBox> box(anchor, QMessageBox::NoIcon, title, text, QMessageBox::Ok,
                                    anchor ? anchor : owner);
    // A plain OK button, without the style's decoration icon.
    if (QAbstractButton* ok = box.button(QMessageBox::Ok)) ok->setIcon(QIcon());
    box.exec();
  }
};

MessagePresenter* g_presenter = nullptr;

}  // namespace

MessagePresenter& messagePresenter() {
  static QtMessagePresenter standard;
  return g_presenter ? *g_presenter : standard;
}

void setMessagePresenter(MessagePresenter* presenter) {
  g_presenter = presenter;
}

void showNotice(const Notice& notice, QWidget* owner) {
  messagePresenter().present(QString::fromStdString(noticeText(notice)),
                             QString::fromStdString(noticeTitle(notice)), owner);
}

}  // namespace quorvane::ui
