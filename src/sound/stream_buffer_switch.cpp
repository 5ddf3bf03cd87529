// Switches: leaving the piece heard for the piece queued next, at a point. A point that
// lies in what the ring already holds ahead of the play cursor is reached by writing the
// ring again from there; a later one is armed for the writer, which stops pulling the
// piece exactly there.
#include <algorithm>

#include "sonaflux/sonaflux.h"
#include "sound/crossfade_mix.h"
#include "sound/piece_queue.h"
#include "sound/sequence_events.h"
#include "sound/stream_buffer.h"
#include "source/music_source.h"

namespace sonaflux {

namespace {
constexpr uint32_t kSafetyMs = 40;  // what the rewrite of one segment may take at most
}  // namespace

uint32_t StreamBuffer::WritingDataPosition() const {
    const QueuedPiece* piece = m_Pieces != nullptr ? m_Pieces->Find(WritingPiece()) : nullptr;
    if (piece != nullptr && piece->stagedUsed < piece->staged.size()) {
        return piece->startFrame * piece->source->FrameSize() + piece->stagedUsed;
    }
    return m_Source->m_DataPosition.load();
}

// The bytes to pull before the armed point: the frame's next occurrence (after a wrap when
// the reader has passed it and a pass remains), the end of the pass, or at once.
uint32_t StreamBuffer::BytesToCut() const {
    const uint32_t position = WritingDataPosition();
    const uint32_t loopStart = m_Source->LoopStartBytes();
    const uint32_t loopEnd = m_Source->LoopEndBytes();
    if (m_Cut.kind == MusicSequence::kSwitchNow) return 0;
    if (m_Cut.kind == MusicSequence::kSwitchAtLoop)
        return loopEnd > position ? loopEnd - position : 0;
    const uint32_t target = m_Cut.dataByte;
    if (target >= position && target < loopEnd) return target - position;
    if (target >= loopStart && target < loopEnd && position <= loopEnd &&
        m_Source->m_PassesLeft.load() != 1) {
        return (loopEnd - position) + (target - loopStart);
    }
    return kNone;  // never met: the switch piece joins at the end of the last pass
}

void StreamBuffer::JoinForSwitch(CMusicSource* outgoing, uint32_t outgoingByte) {
    CMusicSource* next = m_Pieces->JoinNext();
    if (next != nullptr) m_Source = next;
    m_Cut.armed = false;
    m_DataEnded = false;
    m_StopAfter = -1;
    m_Crossfade = Crossfade{};
    if (m_Cut.crossfadeFrames == 0 || outgoing == nullptr || outgoing == m_Source) return;
    m_Crossfade.outgoing = outgoing;
    m_Crossfade.frames = m_Cut.crossfadeFrames;
    m_Crossfade.ended = outgoingByte == kNone || !PlaceOutgoing(*outgoing, outgoingByte);
}

// The reader stands where the writer left it; after a rewrite, or a block read ahead that
// was not used up, it is put back at the switch point. A point past its loop end (the host
// moved the end below frames the ring held) ends a pass there: the reader goes on from the
// loop start while passes remain, as the piece itself would have. False: it has ended.
bool StreamBuffer::PlaceOutgoing(CMusicSource& outgoing, uint32_t byte) {
    const uint32_t frameBytes = std::max<uint32_t>(outgoing.FrameSize(), 1);
    const uint32_t loopEnd = outgoing.LoopEndBytes();
    if (byte <= loopEnd) {
        return outgoing.m_DataPosition.load() == byte || outgoing.SeekFrame(byte / frameBytes);
    }
    const int32_t passes = outgoing.m_PassesLeft.load();
    const uint32_t loopStart = outgoing.LoopStartBytes();
    if (passes == 1 || loopStart >= loopEnd) return false;
    if (passes > 1) outgoing.m_PassesLeft.store(passes - 1);
    return outgoing.SeekFrame(loopStart / frameBytes);
}

void StreamBuffer::MixOutgoing(uint8_t* destination, uint32_t bytes) {
    const uint32_t frameBytes = std::max<uint32_t>(m_Source->FrameSize(), 1);
    const uint64_t left = m_Crossfade.frames - m_Crossfade.done;
    const auto frames = static_cast<uint32_t>(std::min<uint64_t>(bytes / frameBytes, left));
    const uint32_t size = frames * frameBytes;
    m_CrossfadeScratch.resize(size);
    uint32_t delivered = 0;
    if (!m_Crossfade.ended && size > 0 &&
        !m_Crossfade.outgoing->Gets(m_CrossfadeScratch.data(), static_cast<int32_t>(size),
                                    &delivered)) {
        m_Crossfade.ended = true;  // its end, or its data is gone: silence from there
    }
    delivered = std::min(delivered, size);
    std::fill(m_CrossfadeScratch.begin() + delivered, m_CrossfadeScratch.end(), SilenceByte());
    const uint32_t bits = std::max<uint32_t>(m_Bits, 8);
    MixCrossfade(destination, m_CrossfadeScratch.data(), frames, frameBytes / (bits / 8), bits,
                 m_Crossfade.done, m_Crossfade.frames);
    m_Crossfade.done += frames;
    if (m_Crossfade.done >= m_Crossfade.frames) m_Crossfade = Crossfade{};
}

uint32_t StreamBuffer::SafetyBytes() {
    uint32_t play = 0, write = 0;
    m_Buffer->GetCurrentPosition(&play, &write);
    const uint32_t lead = (write + m_BufferBytes - play) % m_BufferBytes;
    ds::WAVEFORMATEX format{};
    m_Source->GetFormat(format);
    const uint32_t frameBytes = std::max<uint32_t>(m_Source->FrameSize(), 1);
    const uint32_t margin = format.nSamplesPerSec * kSafetyMs / 1000 * frameBytes;
    const uint32_t bytes = lead + margin;
    return bytes + (frameBytes - bytes % frameBytes) % frameBytes;
}

int64_t StreamBuffer::FindInWritten(int64_t from, int32_t kind, int32_t music, uint32_t frame) {
    const uint32_t segmentBytes = SegmentBytes();
    const EventMarker probe{music, frame};
    std::vector<PendingEvent> found;
    int64_t best = -1;
    for (int64_t at = from - from % segmentBytes; at < m_Written && best < 0; at += segmentBytes) {
        const size_t segment = static_cast<size_t>(at % m_BufferBytes) / segmentBytes;
        const SegmentOrigin& origin = m_Origins[segment];
        if (!origin.filled || origin.absStart != at) continue;
        found.clear();
        uint32_t last = origin.piece;
        NoteEvents(origin, segmentBytes, last, found,
                   kind == MusicSequence::kSwitchAtLoop ? nullptr : &probe);
        for (const PendingEvent& e : found) {
            const bool match = kind == MusicSequence::kSwitchAtLoop
                                   ? e.kind == MusicEvent::kLoopWrap
                                   : e.kind == MusicEvent::kMarker && e.frame == frame;
            if (match && e.music == music && e.at >= from && (best < 0 || e.at < best)) best = e.at;
        }
    }
    return best;
}

namespace {

// The first line of the grid (every `grid` frames from `origin`) after frame `heard`; past
// the loop end, the first line of the next pass.
uint32_t NextGridLine(uint32_t heard, uint32_t origin, uint32_t grid, uint32_t loopStart,
                      uint32_t loopEnd) {
    const auto lineFrom = [origin, grid](uint64_t frame) -> uint64_t {
        if (frame <= origin) return origin;
        return origin + (frame - origin + grid - 1) / grid * grid;
    };
    uint64_t line = lineFrom(static_cast<uint64_t>(heard) + 1);
    if (line >= loopEnd) line = lineFrom(loopStart);
    return static_cast<uint32_t>(std::min<uint64_t>(line, StreamBuffer::kNone));
}

}  // namespace

bool StreamBuffer::CutForSwitch(int32_t kind, uint32_t frame, uint32_t grid,
                                uint32_t crossfadeFrames) {
    if (m_Buffer == nullptr || m_Pieces == nullptr || !IsPlaying()) return false;
    if (kind == MusicSequence::kSwitchOnGrid && grid == 0) return false;
    const uint32_t frameBytes = std::max<uint32_t>(m_Source->FrameSize(), 1);
    int64_t played = 0;
    if (!PlayedBytes(played)) return false;
    uint32_t heardData = 0, heardPiece = 0;
    if (!DataOffsetAt(static_cast<uint32_t>(played % m_BufferBytes), heardData, &heardPiece)) {
        return false;
    }
    const CMusicSource* heard = m_Pieces->SourceOf(heardPiece);
    // Nothing closer to the cursor than the margin can be written again in time.
    const uint32_t margin = SafetyBytes();
    const int64_t from = played + margin;
    uint32_t target = frame;
    if (kind == MusicSequence::kSwitchOnGrid) {
        target =
            NextGridLine((heardData + margin) / frameBytes - 1, frame, grid,
                         heard->LoopStartBytes() / frameBytes, heard->LoopEndBytes() / frameBytes);
    }
    const int64_t at = kind == MusicSequence::kSwitchNow
                           ? from
                           : FindInWritten(from, kind, MusicOfPiece(heardPiece), target);
    if (at >= 0 && at < m_Written) {
        m_Cut.crossfadeFrames = crossfadeFrames;
        return RewriteFrom(at);
    }
    // The ring already holds the end of the music: nothing written later can follow it.
    if (m_DataEnded) return false;
    // Not written yet: the writer stops there. "Now" applies to whatever it writes.
    const uint32_t piece = kind == MusicSequence::kSwitchNow ? WritingPiece() : heardPiece;
    // A frame whose byte lies beyond 32 bits is never met (its product would wrap to a
    // frame near the start).
    const auto dataByte =
        static_cast<uint32_t>(std::min<uint64_t>(uint64_t{target} * frameBytes, kNone));
    m_Cut = SwitchCut{true, piece, kind, dataByte, crossfadeFrames};
    return true;
}

void StreamBuffer::CancelSwitch() {
    CCritSecLock lock(m_FillGuard);
    m_Cut.armed = false;
}

// Writes the ring again from byte `at` (counted as m_Written) up to where the writer
// stood, with the piece queued next. The bytes before `at` in its segment stay.
bool StreamBuffer::RewriteFrom(int64_t at) {
    const uint32_t segmentBytes = SegmentBytes();
    const int64_t segmentAt = at - at % segmentBytes;
    const auto offset = static_cast<uint32_t>(segmentAt % m_BufferBytes);
    const auto within = static_cast<uint32_t>(at - segmentAt);
    const size_t segment = offset / segmentBytes;
    const int64_t end = m_Written;
    SegmentOrigin head = m_Origins[segment];
    if (m_Events != nullptr && m_Events->Enabled()) {
        CCritSecLock published(m_PositionGuard);
        m_Events->DropFrom(at);  // never heard now
    }
    const size_t before = (segment + m_Origins.size() - 1) % m_Origins.size();
    m_LastNoted = within > 0 ? PartAt(head, within - 1).piece : LastPart(m_Origins[before]).piece;
    // The piece heard at `at` goes on from there under a crossfade.
    uint32_t outgoingByte = kNone, outgoingPiece = 0;
    DataOffsetAt(static_cast<uint32_t>(at % m_BufferBytes), outgoingByte, &outgoingPiece);
    JoinForSwitch(m_Pieces->SourceOf(outgoingPiece), outgoingByte);
    m_Written = at;
    bool ok = FillSegment(offset + within, segmentBytes - within);
    if (within > 0) {
        SegmentOrigin merged = std::move(head);
        auto& parts = merged.joined;
        parts.erase(std::remove_if(parts.begin(), parts.end(),
                                   [within](const SegmentOrigin& p) { return p.from >= within; }),
                    parts.end());
        SegmentOrigin& last = parts.empty() ? merged : parts.back();
        // Music up to the point was left there, not ended; silence that began before the
        // point stays what it was (the end of the music, positions there reporting it).
        if (last.silentFrom > within - last.from) {
            last.silentFrom = within - last.from;
            last.silenceEnds = false;
        }
        SegmentOrigin tail = m_Origins[segment];
        std::vector<SegmentOrigin> rest = std::move(tail.joined);
        tail.joined.clear();
        parts.push_back(std::move(tail));
        for (SegmentOrigin& p : rest) parts.push_back(std::move(p));
        for (size_t i = parts.size() - rest.size() - 1; i < parts.size(); ++i)
            parts[i].from += within;
        Publish(segment, merged);
    }
    for (int64_t next = segmentAt + segmentBytes; next < end; next += segmentBytes) {
        const auto o = static_cast<uint32_t>(next % m_BufferBytes);
        if (m_DataEnded) {
            WriteSilence(o, segmentBytes, true);
        } else if (!FillSegment(o, segmentBytes) && !m_DataEnded) {
            WriteSilence(o, segmentBytes, false);
        }
    }
    return ok || m_DataEnded;
}

}  // namespace sonaflux
