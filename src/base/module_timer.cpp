#include "base/module_timer.h"

#include <atomic>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "sonaflux/sonaflux.h"

namespace sonaflux {
namespace {
std::atomic<ITimer*> g_timer{nullptr};
}

void SetModuleTimer(ITimer* timer) {
    g_timer.store(timer);
}
void ClearModuleTimer() {
    g_timer.store(nullptr);
}

uint32_t TimerNow() {
    ITimer* timer = g_timer.load();
    if (timer == nullptr) {
        ErrorBox(msg::kTimerNotSet);
        return kNoTimerTime;
    }
    return timer->GetTime();
}

}  // namespace sonaflux
