#include "sound/sound_stream.h"

#include <algorithm>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "config/module_settings.h"

namespace sonaflux {

SoundStream::SoundStream() {
    m_Buffer.SetSource(&m_Source);
    m_Buffer.SetPieces(&m_Pieces);
    m_Buffer.SetEvents(&m_Events);
}

bool SoundStream::Load(ds::IDirectSound* device, const char* fileName, uint32_t imageOffset,
                       uint32_t imageSize) {
    // A loaded stream refuses a second buffer before its reader, which its worker is
    // using, is touched.
    if (m_Buffer.IsCreated()) return false;
    m_Pieces.Clear();  // no worker runs: no buffer
    // The reader could not hold a single byte: say so rather than that the open failed.
    const int32_t readBlock = Settings().STREAM_BUFFER_SIZE.load();
    if (readBlock <= 0) {
        ErrorBox(msg::kBadReadBlockSize, readBlock);
        return false;
    }
    if (!m_Source.Open(fileName, imageOffset, imageSize)) {
        ErrorBox(msg::kFileStreamOpenFailed);
        return false;
    }
    const int32_t configuredBytes = Settings().RING_BUFFER_BLOCK_SIZE.load();
    const int32_t n = Settings().NOTIFY_MAX.load();
    // The worker waits on its quit event and n notifications: at most 64 handles.
    if (n < 1 || n > 63) {
        ErrorBox(msg::kBadSegmentCount, n);
        return false;
    }
    if (configuredBytes <= 0) {
        ErrorBox(msg::kBadSegmentSize, configuredBytes);
        return false;
    }
    ds::WAVEFORMATEX format{};
    if (!m_Source.GetFormat(format)) return false;

    if (static_cast<uint32_t>(configuredBytes) < m_Source.FrameSize()) {
        // No segment of whole frames fits, whatever the length of the data.
        ErrorBox(msg::kSegmentBelowFrame, m_Source.FrameSize(), configuredBytes);
        return false;
    }
    auto segmentBytes = static_cast<uint32_t>(configuredBytes);
    const uint64_t ring = static_cast<uint64_t>(n) * segmentBytes;
    const uint32_t dataSize = m_Source.m_DataSize;
    if (dataSize < ring) segmentBytes = dataSize / static_cast<uint32_t>(n);  // short files
    // Segments hold whole frames: DirectSound's cursor moves by frames, so a notification
    // inside a frame would fire late, and a ring of part frames would shift every frame
    // after its wrap.
    segmentBytes -= segmentBytes % m_Source.FrameSize();
    if (segmentBytes == 0) {
        ErrorBox(msg::kDataTooShort, static_cast<unsigned>(dataSize));
        return false;
    }
    if (static_cast<uint64_t>(n) * segmentBytes > ds::kBufferBytesMax) {
        ErrorBox(msg::kBufferTooLarge, static_cast<unsigned>(segmentBytes), n);
        return false;
    }
    if (!m_Buffer.Create(device, segmentBytes, n, format.nChannels, format.nSamplesPerSec,
                         format.wBitsPerSample) ||
        !m_Buffer.FillInitial()) {
        // Release what this load made, so the stream can load again.
        m_Buffer.Discard();
        return false;
    }
    m_LastPosition = 0;
    m_Primed = true;
    return true;
}

bool SoundStream::Unload() {
    if (!m_Buffer.Shutdown()) return false;
    m_Pieces.Clear();  // the worker has ended
    m_Buffer.SetSource(&m_Source);
    m_Primed = false;
    return true;
}

bool SoundStream::GetFormat(StreamFormat& out) {
    ds::WAVEFORMATEX f{};
    if (!HeardSource().GetFormat(f)) return false;  // the piece heard
    out.formatTag = f.wFormatTag;
    out.channels = f.nChannels;
    out.samplesPerSec = f.nSamplesPerSec;
    out.avgBytesPerSec = f.nAvgBytesPerSec;
    out.blockAlign = f.nBlockAlign;
    out.bitsPerSample = f.wBitsPerSample;
    return true;
}

bool SoundStream::PrimeAt(uint32_t frame) {
    CCritSecLock lock(m_Buffer.FillGuard());
    return m_Source.SeekFrame(frame) && m_Buffer.FillInitial();
}

bool SoundStream::PrimeToContinue(uint32_t frame) {
    // A loop end the host moved to or below the frame makes it unreachable: the music
    // goes on as if it had reached the end there, from the loop start.
    if (PrimeAt(frame)) return true;
    if (!m_Source.IsOpen()) return false;  // nothing to fall back to
    const uint32_t loopStart = m_Source.LoopStartBytes() / m_Source.FrameSize();
    return (loopStart != frame && PrimeAt(loopStart)) || (frame != 0 && PrimeAt(0));
}

bool SoundStream::Play(int32_t loopCount) {
    if (m_Buffer.IsFading() && !m_Buffer.StopGuarded()) return false;
    m_Source.m_PassesLeft = loopCount;

    // Playback restarts at byte 0 of the ring; fill it first unless it holds what is to
    // be heard.
    bool refill = true;
    uint32_t frame = 0;
    if (m_Buffer.ReachedEnd() || !m_Primed) {
        frame = 0;  // after Stop, Pause or the end of the data: from the start
    } else if (m_Buffer.StoppedByFade()) {
        // Go on from the frame that was heard, with no stale ring content on the way.
        if (!GetPosition(frame) || frame >= m_Source.m_FrameCount) frame = 0;
        if (HeardPiece() != 0) frame = 0;  // a queued piece was heard: the chain starts over
    } else if (!m_Buffer.RingIsFresh()) {
        frame = 0;  // the ring has played since it was filled: play the piece again
    } else if (m_Buffer.FillHitEnd()) {
        // The first fill met the end under the previous loop count.
        frame = m_Buffer.RingStartOffset() / m_Source.FrameSize();
    } else {
        refill = false;
    }
    if (refill) {
        if (m_Buffer.IsPlaying() && !m_Buffer.StopGuarded()) return false;
        if (!PrimeToContinue(frame)) return false;
    }
    return m_Buffer.RestartPlayback(true);
}

bool SoundStream::Stop() {
    if (!m_Buffer.StopGuarded()) return false;
    m_Primed = false;
    return true;
}

bool SoundStream::Seek(uint32_t frame) {
    if (m_Buffer.IsPlaying()) return false;
    if (!PrimeAt(frame)) return false;
    m_Buffer.ClearEndState();
    m_LastPosition = frame;
    m_Primed = true;
    return true;
}

bool SoundStream::GetPosition(uint32_t& frame) {
    ds::WAVEFORMATEX format{};
    if (!m_Source.GetFormat(format) || !m_Buffer.IsCreated()) return false;
    const uint32_t frameBytes = m_Source.FrameSize();
    const uint32_t cursor = m_Buffer.RingIsFresh() ? 0 : m_Buffer.PlayCursor();
    uint32_t dataOffset = 0;
    uint32_t piece = 0;
    if (!m_Buffer.DataOffsetAt(cursor, dataOffset, &piece)) {
        frame = m_LastPosition;
        return true;
    }
    // The length of the piece heard there (all pieces share the frame size).
    const uint32_t frames = m_Pieces.SourceOf(piece)->m_FrameCount;
    uint32_t result = dataOffset / frameBytes;
    if (result > frames) result = frames;
    m_LastPosition = result;
    frame = result;
    return true;
}

void SoundStream::RefreshUnplayedRing() {
    if (!m_Primed || !m_Buffer.RingIsFresh() || m_Buffer.IsPlaying()) return;
    PrimeToContinue(m_Buffer.RingStartOffset() / m_Source.FrameSize());
}

bool SoundStream::SetLoopStart(uint32_t frame) {
    m_Source.SetLoopStart(frame);
    RefreshUnplayedRing();
    return true;
}

bool SoundStream::SetLoopEnd(uint32_t frame) {
    // An end past the music is its end, whatever the kind of file.
    if (!m_Source.SetLoopEnd(std::min(frame, m_Source.m_FrameCount))) return false;
    RefreshUnplayedRing();
    return true;
}

bool SoundStream::StartFade(int32_t duration, double target, bool stopAfter) {
    if (m_Buffer.IsFading()) return false;
    // Without a sound buffer a fade has nothing to move: no thread is started, so none
    // can race the next load for the buffer.
    if (!m_Buffer.IsCreated()) return true;
    // A target out of range is ignored, and the call still succeeds (hosts rely on it).
    if (!(target >= 0.0 && target <= 1.0)) return true;
    // Otherwise false means no fade runs: its thread could not be started.
    return m_Buffer.StartFade(duration, target, stopAfter);
}

}  // namespace sonaflux
