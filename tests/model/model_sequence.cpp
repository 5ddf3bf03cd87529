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
#include <set>

#include "model/model.h"

namespace sonaflux::model {

namespace {
constexpr int32_t kLoopWrap = 0, kPieceStart = 2, kMarker = 3;
constexpr size_t kMaxEvents = 1024;
// Pieces held at once: every piece queued since the load, until a new piece finds this many
// held. Then the pieces joined before the one being written of which the ring holds no frame
// (and no crossfade reads) are released: they no longer count, and a replay (a first fill)
// plays only the loaded piece and the pieces held.
constexpr size_t kMaxPieces = 64;
constexpr size_t kMaxMarkers = 64;
}  // namespace

void PlayerModel::ReleaseLeft() {
    if (m_Writing < 2) return;
    std::set<uint32_t> inRing;
    for (size_t i = 0; i < m_Ring.size(); ++i) {
        if (m_Known[i / m_SegmentFrames]) inRing.insert(m_Ring[i].slot);
    }
    if (m_Mix.on) inRing.insert(m_Mix.out.slot);  // a crossfade reads it
    const auto left = [&inRing](const Piece& p) { return inRing.count(p.id) == 0; };
    const auto joined = m_Pieces.begin() + (m_Writing - 1);
    const auto released = std::count_if(m_Pieces.begin(), joined, left);
    m_Pieces.erase(std::remove_if(m_Pieces.begin(), joined, left), joined);
    m_Writing -= static_cast<uint32_t>(released);
}

void PlayerModel::PushPiece(const Entry* entry, int32_t music, int32_t loops, int32_t start) {
    m_Pieces.push_back(Piece{entry, music, loops, static_cast<uint32_t>(start), ++m_LastId});
}

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
           entry->frameBytes != loaded.frameBytes || static_cast<uint32_t>(start) >= entry->frames;
}

}  // namespace

bool PlayerModel::QueuePiece(const Entry* entry, int32_t music, int32_t loops, int32_t start,
                             bool replace) {
    if (!m_Loaded || PieceRefused(entry, *m_Entry, start)) return false;
    // Too late once the buffer plays and the ring holds the end of the last piece. Refused,
    // a replacement drops nothing.
    const auto heldNow = [&] { return replace ? size_t{m_Writing} : m_Pieces.size(); };
    if (heldNow() >= kMaxPieces) ReleaseLeft();
    const size_t held = heldNow();
    if ((m_DataEnded && IsPlaying()) || held >= kMaxPieces) return false;
    if (replace) ClearQueue();
    PushPiece(entry, music, loops, start);
    // A ring not yet played whose fill met the end is written again, so the piece follows.
    if (m_FillHitEnd) RefreshUnplayedRing();
    return true;
}

int32_t PlayerModel::ClearQueue() {
    const int32_t dropped = QueuedCount();
    m_Cut.armed = false;  // a switch point not yet reached goes with the switch piece
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

// ---- Switches ----
//
// A switch point lies beyond a margin ahead of the play cursor: the device's write lead
// (softds mixes nothing ahead: none) and 40 ms of frames, rounded down. A point already
// written is reached by writing the ring again from it with the new piece; a later one is
// armed, and the writer stops the piece there. A point the piece never reaches lets it end,
// and the new piece follows as a queued one does; a point not written when the ring already
// holds the end of the music is refused, as a queued piece is then.

namespace {

constexpr uint32_t kNever = 0xFFFFFFFFu;
constexpr int32_t kNow = 0, kAtLoop = 2, kOnGrid = 3;  // 1: at a frame
constexpr int32_t kMaxCrossfadeMs = 60000;

uint32_t MarginFrames(const Entry& e) {
    return e.rate * 40 / 1000;
}

// The first line of the grid (every `grid` frames from `origin`) at or after `frame`;
// past the loop end, the first line of the next pass.
uint32_t GridLine(uint64_t frame, uint32_t origin, uint32_t grid, uint32_t loopStart,
                  uint32_t loopEnd) {
    const auto lineFrom = [origin, grid](uint64_t f) -> uint64_t {
        return f <= origin ? origin : origin + (f - origin + grid - 1) / grid * grid;
    };
    uint64_t line = lineFrom(frame);
    if (line >= loopEnd) line = lineFrom(loopStart);
    return static_cast<uint32_t>(std::min<uint64_t>(line, kNever));
}

}  // namespace

PlayerModel::Switch PlayerModel::SwitchOutcome(const Entry* entry, int32_t start, int32_t when,
                                               int32_t frame, int32_t grid, int32_t crossfadeMs) {
    if (when < kNow || when > kOnGrid || frame < 0 || (when == kOnGrid && grid <= 0)) {
        return Switch::Refused;
    }
    if (crossfadeMs < 0 || crossfadeMs > kMaxCrossfadeMs) return Switch::Refused;
    if (!m_Loaded || PieceRefused(entry, *m_Entry, start) || !IsPlaying()) return Switch::Refused;
    if (m_Writing >= kMaxPieces) ReleaseLeft();  // held, after the unjoined are dropped
    if (m_Writing >= kMaxPieces) return Switch::Refused;
    const Cell* heard = HeardCell();
    return heard == nullptr || heard->frame < 0 ? Switch::LeftOut : Switch::Taken;
}

uint32_t PlayerModel::CutBefore(const Reader& r) const {
    if (!m_Cut.armed || m_Cut.slot != r.slot) return kNever;
    if (m_Cut.when == kNow) return 0;
    if (m_Cut.when == kAtLoop) return r.loopEnd > r.pos ? r.loopEnd - r.pos : 0;
    const uint32_t t = m_Cut.target;
    const uint32_t loopStart = r.loopStartBytes / r.entry->frameBytes;
    if (t >= r.pos && t < r.loopEnd) return t - r.pos;
    // The next pass's occurrence, when a pass remains.
    if (t >= loopStart && t < r.loopEnd && r.pos <= r.loopEnd && r.passes != 1) {
        return (r.loopEnd - r.pos) + (t - loopStart);
    }
    return kNever;
}

// The first frame written at or after `from` where the point is: the frame `target` of
// music `music`, or the first frame after one of its loop wraps; -1 when none is written.
int64_t PlayerModel::FindPoint(int32_t when, int32_t music, uint32_t target, int64_t from) const {
    int64_t best = -1;
    for (size_t i = 0; i < m_Ring.size(); ++i) {
        const Cell& c = m_Ring[i];
        if (!m_Known[i / m_SegmentFrames] || c.at < from || c.at >= m_Written) continue;
        if (c.music != music || c.frame < 0) continue;
        const bool match = when == kAtLoop ? c.wrap : static_cast<uint32_t>(c.frame) == target;
        if (match && (best < 0 || c.at < best)) best = c.at;
    }
    return best;
}

void PlayerModel::RewriteFrom(int64_t at, uint32_t mixFrames) {
    while (!m_Events.empty() && m_Events.back().at >= at) m_Events.pop_back();  // never heard
    const int64_t end = m_Written;
    const auto ring = static_cast<int64_t>(m_Ring.size());
    m_LastNoted = m_Ring[static_cast<size_t>((at - 1) % ring)].slot;
    // The piece heard at the point goes on from there under a crossfade, read by its own
    // reader put back at that frame: with the passes that reader has left (the loaded
    // piece's and the one written: as they stand, so a Play's count applies and a wrap
    // written beyond the point has taken its pass); a queued piece no longer written, with
    // those it had at that frame.
    const Cell& point = m_Ring[static_cast<size_t>(at % ring)];
    Reader left{point.entry, point.music, point.slot, 0, 0, point.entry->frames, point.passes};
    if (point.slot == 0) left = m_Main;
    if (point.slot != 0 && point.slot == Writer().slot) left = Writer();
    left.pos = static_cast<uint32_t>(std::max(point.frame, 0));
    JoinNext();
    StartMix(left, point.frame < 0, mixFrames);
    m_Cut.armed = false;
    m_DataEnded = false;
    m_StopAfter = -1;
    m_Written = at;
    bool wrapped = false;
    const auto s = static_cast<int64_t>(m_SegmentFrames);
    for (int64_t a = at; a < end; a = m_Written) {
        const auto segment = static_cast<uint32_t>((a % ring) / s);
        FillFrom(segment, static_cast<uint32_t>(a % s), wrapped);
    }
}

bool PlayerModel::SwitchTo(const Entry* entry, int32_t music, int32_t loops, int32_t start,
                           int32_t when, int32_t frame, int32_t grid, int32_t crossfadeMs) {
    // A crossfade lasts its milliseconds' whole frames at the rate.
    const auto mixFrames =
        static_cast<uint32_t>(uint64_t{static_cast<uint32_t>(crossfadeMs)} * m_Entry->rate / 1000);
    // Plain switches; a crossfade's duration would be dispatched here as well.
    const Cell& heard = *HeardCell();
    const uint32_t margin = MarginFrames(*m_Entry);
    const int64_t from = Played() + margin;
    auto target = static_cast<uint32_t>(frame);
    if (when == kOnGrid) {
        // A queued piece loops whole; the loaded one between its loop points.
        const bool loaded = heard.slot == 0;
        target = GridLine(uint64_t{static_cast<uint32_t>(heard.frame)} + margin, target,
                          static_cast<uint32_t>(grid),
                          loaded ? m_Main.loopStartBytes / m_Entry->frameBytes : 0,
                          loaded ? m_Main.loopEnd : heard.entry->frames);
    }
    const int64_t at = when == kNow ? from : FindPoint(when, heard.music, target, from);
    const bool written = at >= 0 && at < m_Written;
    // Too late, the queue as it was: the ring holds the end of the music before the point.
    if (!written && m_DataEnded) return false;
    ClearQueue();  // the switched-to piece replaces the pieces not yet joined
    PushPiece(entry, music, loops, start);
    if (written) {
        RewriteFrom(at, mixFrames);
        return true;
    }
    // Not written yet: the writer stops there ("now": whatever it writes next).
    m_Cut = Cut{true, when == kNow ? Writer().slot : heard.slot, when, target, mixFrames};
    return true;
}

// ---- Crossfades ----
//
// From a switch's point on, the piece left goes on under the pieces written after it for the
// crossfade's frames, counted in music frames written (silence after the end of the music
// takes none of them). Its reader wraps while passes remain; the loaded piece's keeps
// following the loop points the host sets. After its end it is silence. Another switch, or a
// first fill, ends the crossfade.

void PlayerModel::StartMix(const Reader& out, bool ended, uint32_t frames) {
    m_Mix = Mix{};
    if (frames == 0) return;
    m_Mix = Mix{true, ended, out, 0, frames};
    // The loaded piece has one reader: the crossfade moves it (a later Seek replays the
    // loaded piece with the passes it leaves).
    if (out.slot == 0) {
        m_Main.pos = out.pos;
        m_Main.passes = out.passes;
    }
}

void PlayerModel::MixUnder(Cell& cell) {
    if (!m_Mix.on) return;
    Reader& r = m_Mix.out.slot == 0 ? m_Main : m_Mix.out;
    if (!m_Mix.ended && r.pos >= r.loopEnd) {
        // The end of a pass: wrap while passes remain.
        const uint32_t loopStart = r.loopStartBytes / r.entry->frameBytes;
        if (r.passes == 1 ||
            uint64_t{r.loopStartBytes} >= uint64_t{r.loopEnd} * r.entry->frameBytes) {
            m_Mix.ended = true;
        } else {
            r.passes = r.passes > 1 ? r.passes - 1 : 0;
            r.pos = loopStart;
        }
    }
    cell.mixEntry = r.entry;
    cell.mixFrame = m_Mix.ended ? kSilence : static_cast<int32_t>(r.pos++);
    cell.mixAt = m_Mix.done++;
    cell.mixOf = m_Mix.frames;
    if (m_Mix.done == m_Mix.frames) m_Mix = Mix{};
}

}  // namespace sonaflux::model
