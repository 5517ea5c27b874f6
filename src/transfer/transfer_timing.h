// The transfers' progress range; their timers (ids in machine/
// tick_machine.h), pace (kTickMs) and counted waits are those of every tick
// machine.
#pragma once

#include "machine/tick_machine.h"

namespace quorvane {

inline constexpr unsigned kProgressMax = 100;  // progress bar range 0..100

}  // namespace quorvane
