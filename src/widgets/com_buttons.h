// The Com radio buttons of a dialog (Communication Setup, the remote
// control): an exclusive group with ids 0, 1, ... (Com 1, Com 2, ...) that
// may also have no button checked, radio buttons to assistive technology too
// (each stays auto-exclusive), each with a tooltip naming the port's device,
// the adapter it is, and why it can't be opened at the moment the dialog
// opens.
#pragma once

#include <QButtonGroup>
#include <QRadioButton>
#include <span>
#include <string>
#include <vector>

#include "base/system_error.h"
#include "widgets/dialog_units.h"
#include "widgets/port_tooltip.h"

namespace quorvane::ui {

class ComButtons {
 public:
  // Creates a button on `dialog` for each of `controls` (index i is Com
  // i+1). `lookAt(portNumber)` tells what its tooltip says: a value with
  // the fields `device`, `openError` and `adapter` (lookAtPort in serial/).
  template <class LookAt>
  void create(QWidget* dialog, std::span<const DialogControl> controls, LookAt lookAt) {
    create(dialog, controls);
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
      const auto look = lookAt(static_cast<long long>(i) + 1);
      buttons_[i]->setToolTip(portToolTip(look.device, look.openError, look.adapter));
    }
  }

  QButtonGroup* group() const { return group_; }
  QRadioButton* button(int index) const { return buttons_.at(static_cast<std::size_t>(index)); }
  // Checks button `index`; none when there is no such button.
  void showSelection(int index);
  // The checked button's index, -1 when none is.
  int checkedIndex() const { return group_->checkedId(); }

 private:
  void create(QWidget* dialog, std::span<const DialogControl> controls);

  QButtonGroup* group_ = nullptr;
  std::vector<QRadioButton*> buttons_;
};

}  // namespace quorvane::ui
