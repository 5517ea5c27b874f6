// What a slot's tile shows for its status: the words an operator reads from
// a step away, the state's colour, the progress and the counters.
#pragma once

#include <optional>

#include "station/station.h"
#include "station/ui/slot_tile.h"

namespace quorvane::station {

// `lastPassed`: how the slot's last unit ended (nothing before its first),
// so that "Remove the receiver" keeps that unit's colour. `running`: the
// station runs, so a slot may be stopped or restarted.
TileLook tileLook(const SlotStatus& status, std::optional<bool> lastPassed, bool running);

// "1:05 left"
QString timeLeftText(double seconds);

}  // namespace quorvane::station
