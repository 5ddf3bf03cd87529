// Queued pieces of a stream, host side: the checks a piece passes before it is queued, and
// which piece is heard at the play cursor.
#include <algorithm>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "sonaflux/sonaflux.h"
#include "sound/sound_stream.h"

namespace sonaflux {

bool SoundStream::CheckPiece(QueuedPiece& piece) {
    ds::WAVEFORMATEX have{};
    ds::WAVEFORMATEX want{};
    if (!m_Source.GetFormat(want) || !piece.source->GetFormat(have)) return false;
    if (have.nSamplesPerSec != want.nSamplesPerSec || have.nChannels != want.nChannels ||
        have.wBitsPerSample != want.wBitsPerSample) {
        ErrorBox(msg::kPieceFormatDiffers, static_cast<unsigned>(have.nSamplesPerSec),
                 static_cast<unsigned>(have.nChannels), static_cast<unsigned>(have.wBitsPerSample),
                 static_cast<unsigned>(want.nSamplesPerSec), static_cast<unsigned>(want.nChannels),
                 static_cast<unsigned>(want.wBitsPerSample));
        return false;
    }
    const uint32_t frameBytes = piece.source->FrameSize();
    const uint64_t start = static_cast<uint64_t>(piece.startFrame) * frameBytes;
    if (frameBytes == 0 || start >= piece.source->LoopEndBytes()) {
        ErrorBox(msg::kPieceStartPastEnd, static_cast<unsigned>(piece.startFrame),
                 static_cast<unsigned>(piece.source->m_FrameCount));
        return false;
    }
    return true;
}

// Pieces the ring has gone past stay held, so that a replay (a Play that starts over, a
// Seek) plays the whole chain again, until a new piece would find the bound reached; then
// they are released to make room. Fill guard held.
void SoundStream::MakeRoomForAPiece() {
    if (m_Pieces.Held() >= MusicSequence::kMaxPieces) m_Buffer.ReleaseLeftPieces();
}

bool SoundStream::QueuePiece(std::unique_ptr<QueuedPiece> piece, bool replace) {
    if (!m_Buffer.IsCreated() || piece == nullptr || !piece->source) return false;
    if (!CheckPiece(*piece)) return false;
    // Opened and its first block read here, before the worker can see it.
    if (!PieceQueue::Prime(*piece, m_Buffer.SegmentBytes())) return false;
    enum { kQueued, kTooLate, kFull } result = kQueued;
    {
        // The box waits until the lock is left: the worker must not wait for the user.
        CCritSecLock lock(m_Buffer.FillGuard());
        // Replaced pieces go back when the new one is refused: the queue stays as it was.
        std::vector<std::unique_ptr<QueuedPiece>> replaced;
        if (replace) replaced = m_Pieces.TakeUnjoined();
        MakeRoomForAPiece();
        if (m_Buffer.LastPieceEndWritten()) {
            result = kTooLate;
        } else if (m_Pieces.Held() >= MusicSequence::kMaxPieces) {
            result = kFull;
        } else {
            piece->id = m_Pieces.NewId();
            m_Pieces.Append(std::move(piece));
            if (replace) m_Buffer.CancelSwitch();  // a switch not yet reached goes with its piece
        }
        if (result != kQueued) m_Pieces.PutBack(std::move(replaced));
    }
    // A ring not yet played whose fill met the end holds no seam to follow: written again,
    // the piece joins it (a Resume plays that ring as it is).
    if (result == kQueued && m_Buffer.FillHitEnd()) RefreshUnplayedRing();
    if (result == kTooLate) ErrorBox(msg::kPieceQueueTooLate);
    if (result == kFull)
        ErrorBox(msg::kPieceQueueFull, static_cast<int>(MusicSequence::kMaxPieces));
    return result == kQueued;
}

bool SoundStream::SwitchTo(std::unique_ptr<QueuedPiece> piece, int32_t kind, uint32_t frame,
                           uint32_t grid, uint32_t crossfadeMs) {
    if (!m_Buffer.IsPlaying() || piece == nullptr || !piece->source) return false;
    if (!CheckPiece(*piece)) return false;
    ds::WAVEFORMATEX format{};
    m_Source.GetFormat(format);
    const auto crossfadeFrames = static_cast<uint32_t>(std::min<uint64_t>(
        static_cast<uint64_t>(crossfadeMs) * format.nSamplesPerSec / 1000, UINT32_MAX));
    if (!PieceQueue::Prime(*piece, m_Buffer.SegmentBytes())) return false;
    bool full = false;
    bool switched = false;
    {
        CCritSecLock lock(m_Buffer.FillGuard());
        // The switch piece replaces the pieces not yet joined; refused, it puts them back.
        std::vector<std::unique_ptr<QueuedPiece>> replaced = m_Pieces.TakeUnjoined();
        MakeRoomForAPiece();
        full = m_Pieces.Held() >= MusicSequence::kMaxPieces;
        if (!full) {
            piece->id = m_Pieces.NewId();
            m_Pieces.Append(std::move(piece));
            switched = m_Buffer.CutForSwitch(kind, frame, grid, crossfadeFrames);
        }
        // Refused before it was joined (a rewrite that failed part way has joined it).
        if (full || (!switched && m_Pieces.Unjoined() == 1)) {
            m_Pieces.DropUnjoined();
            m_Pieces.PutBack(std::move(replaced));
        }
    }
    if (full) ErrorBox(msg::kPieceQueueFull, static_cast<int>(MusicSequence::kMaxPieces));
    if (!full && !switched && m_Buffer.LastPieceEndWritten()) ErrorBox(msg::kPieceQueueTooLate);
    return switched;
}

int32_t SoundStream::ClearQueue() {
    CCritSecLock lock(m_Buffer.FillGuard());
    m_Buffer.CancelSwitch();  // a switch not yet reached goes with its piece
    return m_Pieces.DropUnjoined();
}

int32_t SoundStream::QueuedCount() {
    CCritSecLock lock(m_Buffer.FillGuard());
    return m_Pieces.Unjoined();
}

uint32_t SoundStream::HeardPiece() {
    if (m_Pieces.Empty() || !m_Buffer.IsCreated()) return 0;
    const uint32_t cursor = m_Buffer.RingIsFresh() ? 0 : m_Buffer.PlayCursor();
    uint32_t dataOffset = 0;
    uint32_t piece = 0;
    return m_Buffer.DataOffsetAt(cursor, dataOffset, &piece) ? piece : 0;
}

CMusicSource& SoundStream::HeardSource() {
    return *m_Pieces.SourceOf(HeardPiece());
}

void SoundStream::EnableEvents() {
    CCritSecLock lock(m_Buffer.FillGuard());
    m_Events.Enable();
}

bool SoundStream::AddMarker(int32_t music, uint32_t frame) {
    CCritSecLock lock(m_Buffer.FillGuard());
    return m_Events.AddMarker(music, frame);
}

int32_t SoundStream::ClearMarkers() {
    CCritSecLock lock(m_Buffer.FillGuard());
    return m_Events.ClearMarkers();
}

}  // namespace sonaflux
