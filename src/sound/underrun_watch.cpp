// Underrun detection: the worker looks at the play cursor before each refill. In step,
// the segment it refills lies about half a ring ahead of the cursor; a worker that fell
// behind (a slow disk, a starved thread) finds the cursor inside that segment or already
// past it, so the device has played bytes that were never written for this lap. A cursor
// on the segment's first byte, with the write cursor there too, has played none of it.
#include <algorithm>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "sound/stream_buffer.h"

namespace sonaflux {

void StreamBuffer::NoteUnderrun(uint32_t segment) {
    const auto n = static_cast<uint32_t>(m_SegmentCount);
    // Rings of fewer than four segments refill the segment that is about to play by
    // design; nothing tells lateness apart there.
    if (m_Buffer == nullptr || n < 4) return;
    uint32_t cursor = 0;
    uint32_t write = 0;
    if (!ds::Succeeded(m_Buffer->GetCurrentPosition(&cursor, &write))) return;
    const uint32_t segmentBytes = m_BufferBytes / n;
    const uint32_t playing = std::min(cursor / segmentBytes, n - 1);
    const uint32_t ahead = (segment + n - playing) % n;
    // Both cursors on the segment's first byte: the device has taken nothing of it yet.
    // A clock that waits for the worker (an offline render) stops exactly there.
    const bool untouched = cursor == segment * segmentBytes && write == cursor;
    const bool overtaken = (ahead == 0 && !untouched) || ahead > n / 2;
    // Refills that catch up after one stall are the same underrun.
    if (overtaken && !m_Overtaken) DebugPrint(msg::kUnderrun, static_cast<unsigned>(++m_Underruns));
    m_Overtaken = overtaken;
}

}  // namespace sonaflux
