#include "play_clock.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace sfplay {

using SteadyClock = std::chrono::steady_clock;

uint32_t SteadyTimer::GetTime() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        SteadyClock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

uint32_t FrameTimer::GetTime() {
    m_Reads.fetch_add(1);
    return static_cast<uint32_t>(m_Device.Frames() * 1000 / m_Rate);
}

double LiveClock::Now() {
    return std::chrono::duration<double>(SteadyClock::now() - m_Start).count();
}

bool LiveClock::RunUntil(double t) {
    const double wait = t - Now();
    if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    return true;
}

double RenderClock::Now() {
    return static_cast<double>(m_Device.Frames()) / m_Timer.Rate();
}

bool RenderClock::RunUntil(double t) {
    const uint32_t rate = m_Timer.Rate();
    const uint64_t want = static_cast<uint64_t>(std::llround(t * rate));
    while (m_Device.Frames() < want) {
        const uint32_t fadeStep = m_FadeStep();
        uint64_t chunk = fadeStep ? fadeStep : rate / 10;
        // No step of a few frames at the end: the rest joins the step before it.
        const uint64_t left = want - m_Device.Frames();
        if (left < chunk + chunk / 2) chunk = left;
        if (!m_Device.Advance(static_cast<uint32_t>(chunk))) return false;
        if (fadeStep) WaitForFade(m_Timer.Reads());
    }
    return true;
}

// The fade worker reads the clock on its own thread. Reads counted from here on saw the
// time after the step; the second of them began after the first one's level was applied.
// A bounded wait keeps a render going when a fade ended between two reads.
void RenderClock::WaitForFade(uint64_t reads) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(200);
    while (m_Timer.Reads() < reads + 2 && m_Fading() && SteadyClock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

}  // namespace sfplay
