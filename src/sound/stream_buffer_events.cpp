// The stream buffer's side of the music's events: as each segment is written, the events
// its bytes hold are noted at the byte where they will be heard, counted in bytes written
// since the first fill; the host takes them once the play cursor has passed that byte.
#include <algorithm>

#include "sonaflux/sonaflux.h"
#include "sound/piece_queue.h"
#include "sound/sequence_events.h"
#include "sound/stream_buffer.h"

namespace sonaflux {

bool StreamBuffer::PlayedBytes(int64_t& played) {
    played = 0;
    if (m_Buffer == nullptr || m_Fresh) return m_Buffer != nullptr;
    const uint32_t cursor = PlayCursor();
    CCritSecLock published(m_PositionGuard);
    if (m_Origins.empty() || m_BufferBytes == 0) return false;
    const uint32_t segmentBytes = SegmentBytes();
    const size_t segment = std::min<size_t>(cursor / segmentBytes, m_Origins.size() - 1);
    const SegmentOrigin& origin = m_Origins[segment];
    if (!origin.filled) return false;
    played = origin.absStart + (cursor - static_cast<uint32_t>(segment) * segmentBytes);
    return true;
}

bool StreamBuffer::TakeEvent(PendingEvent& out) {
    if (m_Events == nullptr || !m_Events->Enabled()) return false;
    int64_t played = 0;
    PlayedBytes(played);  // nothing played: only events heard before a new fill are due
    CCritSecLock published(m_PositionGuard);
    return m_Events->PopDue(played, out);
}

void StreamBuffer::RestartEvents() {
    if (m_Events != nullptr && m_Events->Enabled()) {
        int64_t played = 0;
        PlayedBytes(played);
        CCritSecLock published(m_PositionGuard);
        m_Events->Restart(played);
    }
    m_Written = 0;
    m_LastNoted = 0;
    m_Cut.armed = false;
}

void StreamBuffer::NoteWritten(SegmentOrigin& origin, uint32_t bytes) {
    origin.absStart = m_Written;
    if (m_Events != nullptr && m_Events->Enabled() && m_Source != nullptr) {
        m_NewEvents.clear();
        NoteEvents(origin, bytes, m_LastNoted, m_NewEvents);
        if (!m_NewEvents.empty()) {
            CCritSecLock published(m_PositionGuard);
            for (const PendingEvent& event : m_NewEvents) m_Events->Push(event);
        }
    }
    m_Written += bytes;
}

int32_t StreamBuffer::MusicOfPiece(uint32_t piece) const {
    return m_Pieces != nullptr ? m_Pieces->MusicOf(piece, m_Pieces->LoadedMusic()) : 0;
}

uint32_t StreamBuffer::EndFrameOf(const SegmentOrigin& part) const {
    const CMusicSource* source = m_Pieces != nullptr ? m_Pieces->SourceOf(part.piece) : m_Source;
    const uint32_t frameBytes = std::max<uint32_t>(source->FrameSize(), 1);
    // Where unreadable data stopped the music; otherwise the end of its last pass.
    if (part.endedOnError) return DataOffsetIn(part, part.silentFrom) / frameBytes;
    return source->LoopEndBytes() / frameBytes;
}

// Every part of the segment, in order: the start of a piece that joined, the loop wraps
// and markers of its runs of consecutive data, and the end of a piece's last pass.
void StreamBuffer::NoteEvents(const SegmentOrigin& origin, uint32_t bytes, uint32_t& lastPiece,
                              std::vector<PendingEvent>& out, const EventMarker* probe) {
    const uint32_t frameBytes = std::max<uint32_t>(m_Source->FrameSize(), 1);
    const size_t parts = origin.joined.size() + 1;
    for (size_t i = 0; i < parts; ++i) {
        const SegmentOrigin& part = i == 0 ? origin : origin.joined[i - 1];
        const uint32_t limit = i + 1 < parts ? origin.joined[i].from : bytes;
        const uint32_t length = limit - part.from;
        const uint32_t music = std::min(length, part.silentFrom);
        const int64_t at = origin.absStart + part.from;
        const int32_t number = MusicOfPiece(part.piece);
        if (lastPiece != part.piece) {
            out.push_back({at, MusicEvent::kPieceStart, number, part.start / frameBytes});
            lastPiece = part.piece;
        }
        const uint32_t firstRun = std::min(part.wrapAt, music);
        NoteRun(part, number, at, part.start, firstRun, out, probe);
        for (uint32_t pos = firstRun; pos < music;) {
            out.push_back({at + pos, MusicEvent::kLoopWrap, number, part.afterWrap / frameBytes});
            const uint32_t run =
                part.loopBytes != 0 ? std::min(part.loopBytes, music - pos) : music - pos;
            NoteRun(part, number, at + pos, part.afterWrap, run, out, probe);
            pos += run;
        }
        if (part.silentFrom != kNone && part.silenceEnds && part.silentFrom <= length) {
            out.push_back({at + part.silentFrom, MusicEvent::kPieceEnd, number, EndFrameOf(part)});
        }
    }
}

void StreamBuffer::NoteRun(const SegmentOrigin& part, int32_t music, int64_t at, uint32_t dataStart,
                           uint32_t length, std::vector<PendingEvent>& out,
                           const EventMarker* probe) {
    if (length == 0) return;
    const CMusicSource* source = m_Pieces != nullptr ? m_Pieces->SourceOf(part.piece) : m_Source;
    const uint64_t frameBytes = std::max<uint32_t>(source->FrameSize(), 1);
    const auto check = [&](const EventMarker& marker) {
        if (marker.music != music) return;
        const uint64_t byte = marker.frame * frameBytes;
        if (byte < dataStart || byte >= static_cast<uint64_t>(dataStart) + length) return;
        out.push_back({at + static_cast<int64_t>(byte - dataStart), MusicEvent::kMarker, music,
                       marker.frame});
    };
    if (m_Events != nullptr) {
        for (const EventMarker& marker : m_Events->Markers()) check(marker);
    }
    if (probe != nullptr) check(*probe);
}

}  // namespace sonaflux
