#include "fade/fade_thread.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "base/diagnostics.h"
#include "base/message_delivery.h"
#include "base/messages.h"
#include "base/module_timer.h"
#include "config/module_settings.h"

namespace sonaflux {

struct CFadeThread::Shared {
    // Written by Start while no fade thread runs, read by the fade thread.
    bool m_StopAfter = false;
    uint32_t m_StartTime = 0;
    int32_t m_Duration = 0;
    double m_StartVolume = 1.0;
    double m_TargetVolume = 1.0;
    DWORD m_Interval = 10;

    std::atomic<double> m_CurrentVolume{1.0};
    CEventObject m_StopEvent;

    // The stream, null once the owner is gone. The fade thread holds the guard around
    // every call into the stream.
    CCritSec m_StreamGuard{LockRank::FadeStream, "the fade's stream guard"};
    FadeTarget* m_Stream = nullptr;
};

CFadeThread::CFadeThread() : m_Shared(std::make_shared<Shared>()) {
    m_Shared->m_StopEvent.Create(nullptr);
}

CFadeThread::~CFadeThread() {
    if (m_WorkerThread.IsRunning()) {
        const bool ended = m_Shared->m_StopEvent.Set() && m_WorkerThread.Wait(kStopWaitMs);
        if (!ended) ErrorBox(msg::kFadeThreadAlive);
    }
    // A thread still alive now finds no stream at its next step and ends.
    CCritSecLock lock(m_Shared->m_StreamGuard);
    m_Shared->m_Stream = nullptr;
}

void CFadeThread::SetStream(FadeTarget* stream) {
    CCritSecLock lock(m_Shared->m_StreamGuard);
    m_Shared->m_Stream = stream;
}

void CFadeThread::Detach() {
    {
        // Waits for a step that is using the stream right now.
        CCritSecLock lock(m_Shared->m_StreamGuard);
        m_Shared->m_Stream = nullptr;
    }
    if (!m_WorkerThread.IsRunning()) return;
    // A thread that outlived its stop: wake it (it finds no stream and ends) and leave it
    // the old block, so no later fade shares an event or a stream with it.
    m_Shared->m_StopEvent.Set();
    auto fresh = std::make_shared<Shared>();
    fresh->m_CurrentVolume.store(m_Shared->m_CurrentVolume.load());
    fresh->m_StopEvent.Create(nullptr);
    m_Shared = std::move(fresh);
    m_WorkerThread.Close();
}

DWORD CFadeThread::StepWait(int32_t duration) {
    const int32_t interval = duration / 1000;
    if (interval < 0) return static_cast<DWORD>(interval);  // a negative fade never steps
    return static_cast<DWORD>(std::max<int32_t>(interval, kMinStepMs));
}

DWORD CFadeThread::PacedWait(DWORD interval, DWORD previous, uint32_t timerMs, double wallMs) {
    // A timer that stood still, or went back (wrapped, or no timer), tells nothing of pace;
    // a step taken at once is followed by a wait.
    if (timerMs == 0 || timerMs > 0x7FFFFFFFu) return std::max<DWORD>(previous, 1);
    // A clock that waits for this thread's steps: step again at once (the clock sees the
    // level applied), then at the shortest wait until it moves again.
    if (timerMs >= 1.5 * wallMs + 2.0) return 0;
    // The wall clock's pace, once the look is long enough to tell: a render that moved
    // its clock a little (the end of one of its spans) is not a host in real time.
    if (wallMs < std::min<double>(interval, kPaceLookMs)) return std::max<DWORD>(previous, 1);
    return interval;
}

double CFadeThread::CurrentVolume() const {
    return m_Shared->m_CurrentVolume.load();
}
void CFadeThread::SetCurrentVolume(double volume) {
    m_Shared->m_CurrentVolume.store(volume);
}
void CFadeThread::ResetVolume() {
    m_Shared->m_CurrentVolume.store(1.0);
}

bool CFadeThread::Start(int32_t duration, double target, bool stopAfter) {
    Shared& s = *m_Shared;
    if (m_WorkerThread.IsRunning()) {
        // The running fade ends through its own end step: its target and stop apply first.
        if (!s.m_StopEvent.Set()) return false;
        if (!m_WorkerThread.Wait(kStopWaitMs)) return false;
    }
    if (!(target >= 0.0 && target <= 1.0)) return false;  // NaN included

    // A stop signal set after the last fade left its final wait would end this fade at
    // its first wait; it belongs to the fade that is over.
    if (s.m_StopEvent.Handle()) ResetEvent(s.m_StopEvent.Handle());

    s.m_TargetVolume = target;
    s.m_Duration = duration;
    s.m_Interval = StepWait(duration);
    s.m_StartTime = TimerNow();
    s.m_StopAfter = stopAfter;
    s.m_StartVolume = s.m_CurrentVolume.load();

    // The thread co-owns the shared block through a reference of its own.
    auto* reference = new std::shared_ptr<Shared>(m_Shared);
    if (m_WorkerThread.Start(&CFadeThread::FadeProc, reference)) return true;
    delete reference;
    return false;
}

bool CFadeThread::Stop() {
    if (!m_WorkerThread.IsRunning()) return true;
    if (!m_Shared->m_StopEvent.Set()) return false;
    return m_WorkerThread.Wait(kStopWaitMs);
}

bool CFadeThread::Step(Shared& s, uint32_t* now) {
    *now = TimerNow();
    const uint32_t elapsed = *now - s.m_StartTime;  // wraps correctly
    const auto duration = static_cast<uint32_t>(s.m_Duration);
    double level = s.m_TargetVolume;
    if (elapsed < duration) {
        const double v = s.m_StartVolume + (s.m_TargetVolume - s.m_StartVolume) *
                                               static_cast<double>(elapsed) /
                                               static_cast<double>(duration);
        level = v;
        if (Settings().FADETYPE.load() == 1) {
            level = v * v;
            const bool rising = s.m_TargetVolume - s.m_StartVolume > 0;
            if (rising ? level > s.m_TargetVolume : level < s.m_TargetVolume) {
                level = s.m_TargetVolume;
            }
        }
    } else {
        s.m_CurrentVolume.store(s.m_TargetVolume);
        if (!s.m_StopEvent.Set()) return false;
    }
    CCritSecLock lock(s.m_StreamGuard);
    return s.m_Stream != nullptr && s.m_Stream->ApplyFadeLevel(level);
}

unsigned __stdcall CFadeThread::FadeProc(void* parameter) {
    std::unique_ptr<std::shared_ptr<Shared>> reference(
        static_cast<std::shared_ptr<Shared>*>(parameter));
    Shared& s = **reference;
    // The first step comes early (a long fade's interval is seconds), so the pace of the
    // host's timer is known from then on; a negative fade never steps.
    DWORD wait = s.m_Duration < 0 ? s.m_Interval : std::min<DWORD>(s.m_Interval, kMinStepMs);
    uint32_t last = s.m_StartTime;
    auto lastWall = std::chrono::steady_clock::now();
    MarkModuleThread();  // what it reports never waits for the host's callback
    for (;;) {
        if (WaitForSingleObject(s.m_StopEvent.Handle(), wait) == WAIT_OBJECT_0) break;
        uint32_t now = 0;
        if (!Step(s, &now)) return kThreadFailed;
        const auto wall = std::chrono::steady_clock::now();
        wait = PacedWait(s.m_Interval, wait, now - last,
                         std::chrono::duration<double, std::milli>(wall - lastWall).count());
        // The pace is measured from the last read that saw the timer move and told the
        // pace: a coarse timer (a tick every 16 ms) read every millisecond still runs at
        // the wall clock's pace.
        if (now != last && (wait == 0 || wait == s.m_Interval)) {
            last = now;
            lastWall = wall;
        }
    }
    // End step: the target, after the stop if one was asked for.
    CCritSecLock lock(s.m_StreamGuard);
    if (s.m_Stream == nullptr) return kThreadFailed;
    if (s.m_StopAfter && !s.m_Stream->StopForFade()) return kThreadFailed;
    if (!s.m_Stream->ApplyFadeLevel(s.m_TargetVolume)) return kThreadFailed;
    return 0;
}

}  // namespace sonaflux
