// The model's MusicSequence: pieces held after the loaded one, and the events a host
// polls. The ring's side (joins in the pull, events noted as frames are written) is in
// model.cpp; this file holds the operations and the event queue.
//
// Events are noted as the ring is written, at their place in the count of frames written
// since the first fill, and are due once the play cursor's place in that count is past
// them. At one frame the order is: a piece's end, the next piece starting, a loop wrap, its
// markers. A piece's end is noted at the frame after its last pass, whether silence or the
// next piece follows.
#include <algorithm>

#include "model/model.h"

namespace sonaflux::model {

namespace {
constexpr int32_t kLoopWrap = 0, kPieceStart = 2, kMarker = 3;
constexpr size_t kMaxEvents = 1024;
constexpr size_t kMaxPieces = 64;
constexpr size_t kMaxMarkers = 64;
}  // namespace

void PlayerModel::Note(int64_t at, int32_t kind, int32_t music, uint32_t frame) {
    if (m_Events.size() >= kMaxEvents) {
        ++m_Lost;
        return;
    }
    m_Events.push_back(Event{at, kind, music, frame});
}

void PlayerModel::NoteFrame(const Cell& cell, bool afterWrap) {
    const auto frame = static_cast<uint32_t>(cell.frame);
    if (cell.slot != m_LastNoted) {
        Note(cell.at, kPieceStart, cell.music, frame);
        m_LastNoted = cell.slot;
    }
    if (afterWrap) Note(cell.at, kLoopWrap, cell.music, frame);
    for (const auto& [music, marked] : m_Markers) {
        if (music == cell.music && marked == frame) Note(cell.at, kMarker, music, frame);
    }
}

int64_t PlayerModel::Played() const {
    if (!m_Loaded || m_Fresh) return 0;
    return m_Known[m_Cursor / m_SegmentFrames] ? m_Ring[m_Cursor].at : 0;
}

// A first fill (or the end of the stream): the events heard stay due, the rest are
// dropped, as they will never be heard.
void PlayerModel::RestartEvents() {
    const int64_t played = Played();
    size_t due = 0;
    while (due < m_Events.size() && m_Events[due].at < played) m_Events[due++].at = -1;
    m_Events.resize(due);
}

bool PlayerModel::PollEvent(Event& event) {
    if (m_Events.empty() || m_Events.front().at >= Played()) return false;
    event = m_Events.front();
    m_Events.erase(m_Events.begin());
    return true;
}

bool PlayerModel::SetMarker(int32_t music, int32_t frame) {
    if (frame < 0 || m_Markers.size() >= kMaxMarkers) return false;
    m_Markers.emplace_back(music, static_cast<uint32_t>(frame));
    return true;
}

int32_t PlayerModel::ClearMarkers() {
    const auto count = static_cast<int32_t>(m_Markers.size());
    m_Markers.clear();
    return count;
}

namespace {

// A piece refused for itself: unknown, of another format than the loaded one, or a start
// at or past its end.
bool PieceRefused(const Entry* entry, const Entry& loaded, int32_t start) {
    return entry == nullptr || entry->rate != loaded.rate || entry->bits != loaded.bits ||
           entry->frameBytes != loaded.frameBytes ||
           static_cast<uint32_t>(start) >= entry->frames;
}

}  // namespace

bool PlayerModel::QueuePiece(const Entry* entry, int32_t music, int32_t loops, int32_t start,
                             bool replace) {
    if (!m_Loaded || PieceRefused(entry, *m_Entry, start)) return false;
    if (replace) ClearQueue();
    // Too late once the buffer plays and the ring holds the end of the last piece.
    if ((m_DataEnded && IsPlaying()) || m_Pieces.size() >= kMaxPieces) return false;
    m_Pieces.push_back(Piece{entry, music, loops, static_cast<uint32_t>(start)});
    return true;
}

int32_t PlayerModel::ClearQueue() {
    const int32_t dropped = QueuedCount();
    m_Pieces.resize(m_Writing);
    return dropped;
}

int32_t PlayerModel::QueuedCount() const {
    return static_cast<int32_t>(m_Pieces.size() - m_Writing);
}

int32_t PlayerModel::HeardMusic() const {
    if (!m_Loaded) return -1;
    const Cell* heard = HeardCell();
    return heard ? heard->music : m_Music;
}

bool PlayerModel::SwitchRefused(const Entry* entry, int32_t loops, int32_t start, int32_t when,
                                int32_t frame, int32_t grid) const {
    (void)loops;
    if (when < 0 || when > 3 || frame < 0 || (when == 3 && grid <= 0)) return true;
    if (!m_Loaded || PieceRefused(entry, *m_Entry, start) || !IsPlaying()) return true;
    return m_Writing >= kMaxPieces;  // held after the pieces not yet joined are dropped
}

}  // namespace sonaflux::model
