#include "sound/sequence_events.h"

#include <algorithm>

namespace sonaflux {

void SequenceEvents::Enable() {
    if (m_Enabled.load()) return;
    m_Ring.assign(kCapacity, PendingEvent{});
    m_Markers.reserve(kMaxMarkers);
    m_Enabled = true;
}

void SequenceEvents::Push(const PendingEvent& event) {
    if (m_Count == m_Ring.size()) {
        m_Lost.fetch_add(1);
        return;
    }
    m_Ring[(m_Head + m_Count) % m_Ring.size()] = event;
    ++m_Count;
}

bool SequenceEvents::PopDue(int64_t played, PendingEvent& out) {
    if (m_Count == 0 || m_Ring[m_Head].at >= played) return false;
    out = m_Ring[m_Head];
    m_Head = (m_Head + 1) % m_Ring.size();
    --m_Count;
    return true;
}

void SequenceEvents::Restart(int64_t played) {
    size_t due = 0;
    while (due < m_Count && m_Ring[(m_Head + due) % m_Ring.size()].at < played) {
        m_Ring[(m_Head + due) % m_Ring.size()].at = -1;
        ++due;
    }
    m_Count = due;
}

void SequenceEvents::DropFrom(int64_t at) {
    while (m_Count > 0 && m_Ring[(m_Head + m_Count - 1) % m_Ring.size()].at >= at) --m_Count;
}

bool SequenceEvents::AddMarker(int32_t music, uint32_t frame) {
    if (m_Markers.size() >= kMaxMarkers) return false;
    const EventMarker marker{music, frame};
    const auto before = [](const EventMarker& a, const EventMarker& b) {
        return a.music != b.music ? a.music < b.music : a.frame < b.frame;
    };
    m_Markers.insert(std::upper_bound(m_Markers.begin(), m_Markers.end(), marker, before), marker);
    return true;
}

int32_t SequenceEvents::ClearMarkers() {
    const auto count = static_cast<int32_t>(m_Markers.size());
    m_Markers.clear();
    return count;
}

}  // namespace sonaflux
