// The events of a stream's music (loop wraps, piece ends and starts, markers), noted at the
// ring byte where they will be heard as the ring is written, and handed out once the play
// cursor has passed them.
//
// Threads: the worker (and a first fill) pushes under the stream's position guard; the
// host's thread takes due events under the same guard. Markers are changed by the host's
// thread under the stream's fill guard and read by the writer under it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonaflux {

struct PendingEvent {
    int64_t at = 0;  // bytes written since the first fill; -1: heard already
    int32_t kind = 0;
    int32_t music = 0;
    uint32_t frame = 0;
};

struct EventMarker {
    int32_t music = 0;
    uint32_t frame = 0;
};

class SequenceEvents {
public:
    static constexpr size_t kCapacity = 1024;
    static constexpr size_t kMaxMarkers = 64;

    // Host thread, before the writer can see it: events are noted from now on.
    void Enable();
    bool Enabled() const { return m_Enabled.load(); }

    // Writer, position guard held: keeps `event`, or counts it lost when the queue is full.
    void Push(const PendingEvent& event);
    // Host thread, position guard held: the next event noted before byte `played`.
    bool PopDue(int64_t played, PendingEvent& out);
    // A new first fill (host thread, both guards held): the events before `played` were
    // heard and stay due; the rest will never be heard and go.
    void Restart(int64_t played);
    // The ring is written again from byte `at`: the events noted there go.
    void DropFrom(int64_t at);
    uint32_t Lost() const { return m_Lost.load(); }

    // Fill guard held. Markers stay sorted by music number, then frame.
    bool AddMarker(int32_t music, uint32_t frame);
    int32_t ClearMarkers();
    const std::vector<EventMarker>& Markers() const { return m_Markers; }

private:
    std::atomic<bool> m_Enabled{false};
    std::vector<PendingEvent> m_Ring;  // kCapacity slots once enabled
    size_t m_Head = 0;
    size_t m_Count = 0;
    std::atomic<uint32_t> m_Lost{0};
    std::vector<EventMarker> m_Markers;
};

}  // namespace sonaflux
