// Bounded settling on Windows: no layer of ours tracks the workers there, so the wait
// watches the events (NtQueryEvent) and the calls made on the buffers.
#include "softds/settle.h"

#include <algorithm>
#include <chrono>

#include "platform/win32.h"

namespace softds::detail {

namespace {

using NtQueryEventFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);

struct EventBasicInformation {  // EVENT_BASIC_INFORMATION
    int eventType;
    LONG eventState;
};

constexpr int kEventBasicInformation = 0;

NtQueryEventFn QueryEvent() {
    static const NtQueryEventFn fn = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        FARPROC proc = ntdll ? GetProcAddress(ntdll, "NtQueryEvent") : nullptr;
        return reinterpret_cast<NtQueryEventFn>(reinterpret_cast<void (*)()>(proc));
    }();
    return fn;
}

// Whether the event still holds its signal; false when that cannot be told.
bool StillSet(HANDLE event) {
    const NtQueryEventFn query = QueryEvent();
    if (query == nullptr) return false;
    EventBasicInformation info{};
    ULONG length = 0;
    if (query(event, kEventBasicInformation, &info, sizeof info, &length) < 0) return false;
    return info.eventState != 0;
}

}  // namespace

bool WaitHandled(const std::vector<Signal>& signals, SettleProbe& probe,
                 const SettleTiming& timing) {
    using std::chrono::milliseconds;
    const auto deadline = SteadyClock::now() + milliseconds(timing.timeoutMs);

    // A waiting worker takes its signal at once; give it the grace time to do so.
    std::vector<BufferState*> buffers;
    for (const Signal& s : signals) {
        if (std::find(buffers.begin(), buffers.end(), s.buffer) == buffers.end()) {
            buffers.push_back(s.buffer);
        }
        const auto graceEnd = std::min(deadline, SteadyClock::now() + milliseconds(timing.graceMs));
        while (StillSet(s.event) && SteadyClock::now() < graceEnd) Sleep(1);
    }
    const auto taken = SteadyClock::now();

    // Then the buffers must fall quiet: no Lock outstanding, no call for the quiet time.
    for (;;) {
        SteadyClock::time_point last;
        const bool busy = probe.Busy(buffers, &last);
        const auto now = SteadyClock::now();
        if (!busy && now - std::max(last, taken) >= milliseconds(timing.quietMs)) return true;
        if (now >= deadline) return false;
        Sleep(1);
    }
}

}  // namespace softds::detail
