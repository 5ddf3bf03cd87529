// The fade worker of one stream: moves the stream's volume from where it stands to a
// target over a given time on a thread of its own, reading the host's timer, and can stop
// the stream's sound buffer when it arrives.
//
// Threads: Start, Stop, IsRunning, ResetVolume and the destructor are called on the host's
// thread; the fade thread runs FadeProc. The current volume is written by whichever thread
// applied a level (through StreamBuffer::SetVolume) and is read and written whole.
//
// What the fade thread touches lives in a block that the thread co-owns, so a thread that
// outlives its 5000 ms stop wait never reaches a destroyed worker or a released buffer:
// the owner detaches the stream from the block under a lock that the thread holds around
// every use of the stream. The fade reaches its stream only through FadeTarget.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/sync.h"
#include "fade/fade_target.h"

namespace sonaflux {

class CFadeThread {
public:
    static constexpr DWORD kStopWaitMs = 5000;

    CFadeThread();
    ~CFadeThread();
    CFadeThread(const CFadeThread&) = delete;
    CFadeThread& operator=(const CFadeThread&) = delete;

    void SetStream(FadeTarget* stream);
    // Cuts the fade off from its stream: once this returns, no fade thread, running or
    // late, calls the stream again. A thread still alive is told to end and keeps a block
    // of its own; later fades (after SetStream) start from a fresh one at the same volume.
    void Detach();
    // Begins a fade to `target` (0.0 to 1.0) over `duration` ms; a running fade is ended
    // first, at its own target. False for a target out of range, a fade that would not
    // end, or a thread that could not be started (the thread wrapper showed its box).
    bool Start(int32_t duration, double target, bool stopAfter);
    // Ends a running fade at once at its target (with its stop). True when none runs or it
    // ended within 5000 ms.
    bool Stop();
    bool IsRunning() const { return m_WorkerThread.IsRunning(); }
    // The wait between two steps of a fade of `duration` ms: duration / 1000, and at
    // least kMinStepMs, so a short fade neither spins nor wakes more often than a level
    // can be heard: the system's mixer and softds take volume changes in periods of about
    // 10 ms (softds ramps each over 5 ms), and levels are whole decibels. Fades of 10 s and
    // more step as before. A negative duration waits as an unsigned time of almost 50 days.
    static constexpr int32_t kMinStepMs = 10;
    static DWORD StepWait(int32_t duration);
    // The wait before the next step, from how far the host's timer moved (`timerMs`) in
    // `wallMs` since it last moved. The interval is host time: when the host's timer ran
    // clearly faster than the wall clock since then (an offline render, whose
    // clock waits for the fade), the next step comes at once, so the clock sees the level
    // applied, and the one after it in 1 ms; a timer that stood still, or a look shorter
    // than the interval and kPaceLookMs, leaves the wait as it was (at least 1 ms). At the
    // wall clock's pace it is the interval, as before. (A wait in proportion to the pace
    // fed back on the render's own waiting for the fade.)
    static constexpr DWORD kPaceLookMs = 50;
    static DWORD PacedWait(DWORD interval, DWORD previous, uint32_t timerMs, double wallMs);
    void ResetVolume();

    // The level last applied to the stream (before master volume and curve).
    double CurrentVolume() const;
    void SetCurrentVolume(double volume);

private:
    struct Shared;
    static unsigned __stdcall FadeProc(void* parameter);
    // Applies the level for the host's time now, which it leaves in `now`.
    static bool Step(Shared& s, uint32_t* now);

    std::shared_ptr<Shared> m_Shared;
    CThreadObject m_WorkerThread;
};

}  // namespace sonaflux
