// The stream buffer's side of joined pieces: the pull that goes on into the next piece at
// the end of the last pass of the one being written, and the record of which piece each
// part of a segment came from.
#include <algorithm>
#include <cstring>

#include "sound/piece_queue.h"
#include "sound/stream_buffer.h"
#include "source/music_source.h"

namespace sonaflux {

bool StreamBuffer::Pull(uint8_t* destination, uint32_t size, SegmentOrigin& origin) {
    if (m_Pieces == nullptr || m_Pieces->Empty()) return PullLive(destination, size, origin);
    return PullPieces(destination, size, origin);
}

uint32_t StreamBuffer::WritingPiece() const {
    return m_Pieces != nullptr ? m_Pieces->WritingId() : 0;
}

// Each run of bytes from one piece's block or reader becomes a part of the segment's
// record. The caller holds m_FillGuard.
bool StreamBuffer::PullPieces(uint8_t* destination, uint32_t size, SegmentOrigin& origin) {
    uint32_t done = 0;
    bool ok = true;
    bool first = true;
    while (done < size) {
        // A switch armed for this piece: pull up to its point, no further.
        uint32_t ask = size - done;
        const bool cut = m_Cut.armed && m_Cut.piece == m_Pieces->WritingId() && BytesToCut() <= ask;
        if (cut) ask = BytesToCut();
        if (cut && ask == 0) {
            JoinForSwitch(m_Source, WritingDataPosition());
            continue;
        }
        SegmentOrigin part;
        QueuedPiece* piece = m_Pieces->Writing();
        const bool staged = piece != nullptr && piece->stagedUsed < piece->staged.size();
        ok = staged ? PullStaged(*piece, destination + done, ask, part)
                    : PullLive(destination + done, ask, part);
        part.piece = m_Pieces->WritingId();
        part.from = done;
        const uint32_t got = part.silentFrom == kNone ? ask : part.silentFrom;
        if (m_Crossfade.outgoing != nullptr) MixOutgoing(destination + done, got);
        if (first) {
            origin = std::move(part);
            first = false;
        } else {
            origin.joined.push_back(std::move(part));
        }
        if (cut && got == ask) {
            // The switch's point: the next piece's first frame follows.
            done += got;
            JoinForSwitch(m_Source, WritingDataPosition());
            ok = true;
            continue;
        }
        if (staged) {
            done += got;  // the piece's reader goes on where its block ends
            continue;
        }
        // Filled, a gap after a failed read (the music goes on at the next pull), or the
        // data is gone: this pull is over.
        if (ok || m_Source->DataGone()) break;
        CMusicSource* next = m_Pieces->JoinNext();
        if (next == nullptr) break;  // the end of the music
        // The next piece's first frame follows this one's last frame.
        SegmentOrigin& ending = origin.joined.empty() ? origin : origin.joined.back();
        if (ending.silentFrom == kNone) ending.silentFrom = got;  // it ends with the segment
        m_Source = next;
        m_DataEnded = false;
        ok = true;
        // A piece joined at the end of the segment: its start is noted with its first frame,
        // in the segment written next.
        done += got;
    }
    return ok;
}

bool StreamBuffer::PullStaged(QueuedPiece& piece, uint8_t* destination, uint32_t size,
                              SegmentOrigin& part) {
    const auto left = static_cast<uint32_t>(piece.staged.size()) - piece.stagedUsed;
    const uint32_t count = std::min(left, size);
    std::memcpy(destination, piece.staged.data() + piece.stagedUsed, count);
    part = SegmentOrigin{};
    part.filled = true;
    part.start = piece.startFrame * piece.source->FrameSize() + piece.stagedUsed;
    if (count < size) {
        part.silentFrom = count;  // where the next part begins, not a silence
        part.silenceEnds = false;
    }
    piece.stagedUsed += count;
    return true;
}

const StreamBuffer::SegmentOrigin& StreamBuffer::PartAt(const SegmentOrigin& origin,
                                                        uint32_t within) {
    const SegmentOrigin* part = &origin;
    for (const SegmentOrigin& next : origin.joined) {
        if (next.from > within) break;
        part = &next;
    }
    return *part;
}

const StreamBuffer::SegmentOrigin& StreamBuffer::LastPart(const SegmentOrigin& origin) {
    return origin.joined.empty() ? origin : origin.joined.back();
}

uint32_t StreamBuffer::EndOfMusicIn(const SegmentOrigin& origin, uint32_t bytes) {
    const SegmentOrigin& last = LastPart(origin);
    if (last.silentFrom == kNone) return bytes;
    return std::min(last.from + last.silentFrom, bytes);
}

bool StreamBuffer::LastPieceEndWritten() {
    CCritSecLock lock(m_FillGuard);
    return m_Pieces != nullptr && m_Pieces->EndWritten(m_DataEnded) && IsPlaying();
}

int32_t StreamBuffer::ReleaseLeftPieces() {
    CCritSecLock lock(m_FillGuard);
    if (m_Pieces == nullptr) return 0;
    // The pieces some byte of the ring came from.
    std::vector<uint32_t> inRing;
    const uint32_t segmentBytes = SegmentBytes();
    for (const SegmentOrigin& origin : m_Origins) {
        if (!origin.filled) continue;
        for (size_t i = 0; i <= origin.joined.size(); ++i) {
            const SegmentOrigin& part = i == 0 ? origin : origin.joined[i - 1];
            const uint32_t end = i < origin.joined.size() ? origin.joined[i].from : segmentBytes;
            if (end > part.from) inRing.push_back(part.piece);
        }
    }
    const CMusicSource* outgoing = m_Crossfade.outgoing;
    return m_Pieces->ReleaseJoined([&](const QueuedPiece& piece) {
        return piece.source.get() == outgoing ||
               std::find(inRing.begin(), inRing.end(), piece.id) != inRing.end();
    });
}

}  // namespace sonaflux
