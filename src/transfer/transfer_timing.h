// The pace of the timer-driven transfers: one step per tick, waits counted
// in ticks rather than clocked.
#pragma once

namespace quorvane {

inline constexpr int kTickMs = 50;              // period of every transfer timer
inline constexpr unsigned kWaitStepMs = 50;     // counted per tick without data
inline constexpr unsigned kWaitLimitMs = 3000;  // give up (the 60th empty tick)
inline constexpr int kAnswerTimerId = 1;        // read: waiting for the type
inline constexpr int kBlockTimerId = 2;         // read: one block per tick
inline constexpr int kUpgradeTimerId = 1;       // upgrade: answer + block
inline constexpr unsigned kProgressMax = 100;   // progress bar range 0..100

}  // namespace quorvane
