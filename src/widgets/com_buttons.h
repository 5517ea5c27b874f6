// The Com 1..Com 4 radio buttons of a dialog (Communication Setup, the
// remote control): an exclusive group with ids 0..3 that may also have no
// button checked, radio buttons to assistive technology too (each stays
// auto-exclusive), each with a tooltip naming the port's device, the adapter
// it is, and why it can't be opened at the moment the dialog opens.
#pragma once

#include <QButtonGroup>
#include <QRadioButton>
#include <array>
#include <string>

#include "base/system_error.h"
#include "widgets/dialog_units.h"
#include "widgets/port_tooltip.h"

namespace quorvane::ui {

class ComButtons {
 public:
  static constexpr int kCount = 4;
  using Controls = std::array<DialogControl, kCount>;

  // Creates the buttons on `dialog` at `controls` (index 0..3 is Com 1..Com
  // 4). `lookAt(portNumber)` tells what the tooltip says: a value with the
  // fields `device`, `openError` and `adapter` (lookAtPort in serial/).
  template <class LookAt>
  void create(QWidget* dialog, const Controls& controls, LookAt lookAt) {
    create(dialog, controls);
    for (int i = 0; i < kCount; ++i) {
      const auto look = lookAt(i + 1);
      button(i)->setToolTip(portToolTip(look.device, look.openError, look.adapter));
    }
  }

  QButtonGroup* group() const { return group_; }
  QRadioButton* button(int index) const { return buttons_.at(static_cast<std::size_t>(index)); }
  // Checks button `index`; none when it is outside 0..3.
  void showSelection(int index);
  // The checked button's index, -1 when none is.
  int checkedIndex() const { return group_->checkedId(); }

 private:
  void create(QWidget* dialog, const Controls& controls);

  QButtonGroup* group_ = nullptr;
  std::array<QRadioButton*, kCount> buttons_{};
};

}  // namespace quorvane::ui
