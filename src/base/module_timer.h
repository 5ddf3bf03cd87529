// The guard around the host's timer. The module never owns the timer.
#pragma once

#include <cstdint>

class ITimer;

namespace sonaflux {

void SetModuleTimer(ITimer* timer);
void ClearModuleTimer();
// What TimerNow answers without a timer: the same every time, so no fade advances.
inline constexpr uint32_t kNoTimerTime = 0xFFFFFFFFu;
// The host's time in milliseconds; without a timer, shows "ITimerがセットされていない"
// and answers kNoTimerTime. Called from fade threads as well as the host's thread.
uint32_t TimerNow();

}  // namespace sonaflux
