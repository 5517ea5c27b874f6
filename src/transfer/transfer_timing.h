// The timers of the transfers; their pace (kTickMs) and counted waits are
// those of every tick machine.
#pragma once

#include "machine/tick_machine.h"

namespace quorvane {

inline constexpr int kAnswerTimerId = 1;       // read: waiting for the type
inline constexpr int kBlockTimerId = 2;        // read: one block per tick
inline constexpr int kUpgradeTimerId = 1;      // upgrade: answer + block
inline constexpr unsigned kProgressMax = 100;  // progress bar range 0..100

}  // namespace quorvane
