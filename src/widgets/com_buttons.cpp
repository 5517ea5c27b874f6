#include "widgets/com_buttons.h"

namespace quorvane::ui {

void ComButtons::create(QWidget* dialog, std::span<const DialogControl> controls) {
  group_ = new QButtonGroup(dialog);
  group_->setExclusive(true);
  for (const DialogControl& control : controls) {
    auto* radio = new QRadioButton(controlText(control), dialog);
    placeControl(radio, control);
    group_->addButton(radio, static_cast<int>(buttons_.size()));
    buttons_.push_back(radio);
  }
}

void ComButtons::showSelection(int index) {
  // An exclusive group refuses to uncheck its checked button.
  group_->setExclusive(false);
  for (std::size_t i = 0; i < buttons_.size(); ++i)
    buttons_[i]->setChecked(static_cast<int>(i) == index);
  group_->setExclusive(true);
}

}  // namespace quorvane::ui
