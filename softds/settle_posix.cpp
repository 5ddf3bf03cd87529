// Exact settling through the platform layer's knowledge of its threads.
#include "softds/settle.h"

#include <algorithm>
#include <chrono>

#include "platform/thread_idle.h"

namespace softds::detail {

bool WaitHandled(const std::vector<Signal>& signals, SettleProbe& /*probe*/,
                 const SettleTiming& timing) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timing.timeoutMs);
    std::vector<void*> done;
    for (const Signal& s : signals) {
        if (std::find(done.begin(), done.end(), s.event) != done.end()) continue;
        done.push_back(s.event);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        // Waits for every thread of the layer copy that made the event, the waiter included.
        if (!PlatformWaitIdle(s.event, static_cast<DWORD>(std::max<int64_t>(0, left.count())))) {
            return false;
        }
    }
    return true;
}

}  // namespace softds::detail
