// Waiting until the stream workers have handled the notifications the clock gave.
//
// POSIX (settle_posix.cpp): exact. The platform layer knows when every thread it started
// is blocked in a wait again (PlatformWaitIdle on the signalled event's handle).
// Win32 (settle_win32.cpp): bounded, from what can be observed. Each signalled event is
// polled with NtQueryEvent until some thread has taken its signal (an auto-reset event
// reads as reset again; one nobody takes within the grace time has no waiter); then the
// buffers concerned must have no Lock outstanding and have seen no Lock, Unlock, Play,
// Stop or position call for the quiet time. A worker that pauses longer than that between
// taking its signal and its first call is not waited for.
#pragma once

#include <cstdint>
#include <vector>

#include "softds/buffer_state.h"

namespace softds::detail {

// What the device tells the Win32 wait about its buffers.
class SettleProbe {
public:
    // True when a thread other than the caller has a Lock outstanding on one of
    // `buffers`; `last` receives the time of their latest Lock, Unlock, Play or Stop.
    virtual bool Busy(const std::vector<BufferState*>& buffers, SteadyClock::time_point* last) = 0;

protected:
    ~SettleProbe() = default;
};

struct SettleTiming {
    uint32_t timeoutMs;
    uint32_t graceMs;
    uint32_t quietMs;
};

// Called without the device lock, after the events of `signals` were set. False when the
// workers did not settle within the time-out.
bool WaitHandled(const std::vector<Signal>& signals, SettleProbe& probe,
                 const SettleTiming& timing);

}  // namespace softds::detail
