#include "widgets/com_buttons.h"

namespace quorvane::ui {

void ComButtons::create(QWidget* dialog, const Controls& controls) {
  group_ = new QButtonGroup(dialog);
  group_->setExclusive(true);
  for (int i = 0; i < kCount; ++i) {
    auto* radio = new QRadioButton(controlText(controls[static_cast<std::size_t>(i)]), dialog);
    placeControl(radio, controls[static_cast<std::size_t>(i)]);
    group_->addButton(radio, i);
    buttons_[static_cast<std::size_t>(i)] = radio;
  }
}

void ComButtons::showSelection(int index) {
  // An exclusive group refuses to uncheck its checked button.
  group_->setExclusive(false);
  for (int i = 0; i < kCount; ++i) button(i)->setChecked(i == index);
  group_->setExclusive(true);
}

}  // namespace quorvane::ui
