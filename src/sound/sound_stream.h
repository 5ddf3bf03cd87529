// One music stream: the loaded piece's source (WAVE, Ogg Vorbis, Ogg Opus or FLAC) and the
// pieces joined to it, paired with a StreamBuffer. Each player owns one; all operations run
// on the host's thread.
#pragma once

#include <cstdint>
#include <memory>

#include "sonaflux/directsound.h"
#include "sound/piece_queue.h"
#include "sound/sequence_events.h"
#include "sound/stream_buffer.h"
#include "source/music_source.h"

namespace sonaflux {

// The six format values as the file stores them.
struct StreamFormat {
    uint32_t formatTag = 0;
    uint32_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint32_t blockAlign = 0;
    uint32_t bitsPerSample = 0;
};

class SoundStream {
public:
    SoundStream();
    ~SoundStream() = default;
    SoundStream(const SoundStream&) = delete;
    SoundStream& operator=(const SoundStream&) = delete;

    bool Load(ds::IDirectSound* device, const char* fileName, uint32_t imageOffset,
              uint32_t imageSize);
    // The segment a load makes of `configured` bytes and `n` segments for `dataSize` bytes
    // of data in frames of `frameBytes` at `rate`: the configured size in whole frames, or,
    // for data shorter than the ring, the data / n in whole frames but at least
    // kMinSegmentMs of audio (never more than configured). 0: fewer frames than segments.
    static constexpr uint32_t kMinSegmentMs = 10;
    static uint32_t SegmentBytes(uint32_t configured, uint32_t n, uint32_t dataSize,
                                 uint32_t frameBytes, uint32_t rate);
    bool Unload();
    bool GetFormat(StreamFormat& out);

    bool Play(int32_t loopCount);
    bool Stop();
    bool Seek(uint32_t frame);
    bool GetPosition(uint32_t& frame);
    bool SetLoopStart(uint32_t frame);
    bool SetLoopEnd(uint32_t frame);
    bool StartFade(int32_t duration, double target, bool stopAfter);

    // Joined pieces (sound_stream_pieces.cpp). Queues `piece` (opened by the caller) after
    // the last piece held, or, with `replace`, in place of those not yet joined.
    bool QueuePiece(std::unique_ptr<QueuedPiece> piece, bool replace);
    int32_t ClearQueue();
    // Leaves the piece heard for `piece` at the point `kind` names (MusicSequence),
    // crossfading over `crossfadeMs` (0: a plain cut).
    bool SwitchTo(std::unique_ptr<QueuedPiece> piece, int32_t kind, uint32_t frame, uint32_t grid,
                  uint32_t crossfadeMs = 0);
    int32_t QueuedCount();
    // The id of the piece heard at the play cursor (0: the loaded piece) and its reader.
    uint32_t HeardPiece();
    CMusicSource& HeardSource();
    PieceQueue& Pieces() { return m_Pieces; }
    // Events (sound_stream_pieces.cpp): noted from EnableEvents on.
    void EnableEvents();
    bool AddMarker(int32_t music, uint32_t frame);
    int32_t ClearMarkers();
    bool TakeEvent(PendingEvent& out) { return m_Buffer.TakeEvent(out); }
    uint32_t LostEvents() const { return m_Events.Lost(); }

    StreamBuffer& Buffer() { return m_Buffer; }
    CMusicSource& Source() { return m_Source; }
    bool IsPrimed() const { return m_Primed; }

private:
    // Positions the reader at `frame` and fills the first half of the ring from there.
    bool PrimeAt(uint32_t frame);
    // PrimeAt, falling back to the loop start (and then the start) when a moved loop end
    // makes `frame` unreachable.
    bool PrimeToContinue(uint32_t frame);
    // After loop points change on a ring that has not played yet, fills it again so the
    // new points apply from the first pass.
    void RefreshUnplayedRing();

    bool m_Primed = false;
    bool CheckPiece(QueuedPiece& piece);
    void MakeRoomForAPiece();

    CMusicSource m_Source;
    PieceQueue m_Pieces{&m_Source};  // before m_Buffer: its worker reads them
    SequenceEvents m_Events;         // the same
    StreamBuffer m_Buffer;
    uint32_t m_LastPosition = 0;
};

}  // namespace sonaflux
