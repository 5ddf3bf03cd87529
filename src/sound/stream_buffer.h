// One stream's DirectSound secondary buffer, used as a ring of n equal segments with a
// notification at the last byte of each, and the worker thread that refills the segment
// half a ring ahead of the play cursor each time a notification fires.
//
// Threads: the host's thread creates, fills, plays, stops and shuts the buffer down; the
// worker runs WorkerMain/Refill; a fade thread calls SetVolume and StopForFade (through
// FadeTarget). The host's first fills and the worker's refills both pull from the same
// reader, so they take m_FillGuard (uncontended in normal play: the buffer is stopped
// while the host fills). The worker holds m_FillGuard across its disk reads, so what a
// position query needs is published under m_PositionGuard, which is only ever held to
// copy a few words.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/sync.h"
#include "fade/fade_target.h"
#include "fade/fade_thread.h"
#include "sound/sequence_events.h"
#include "sonaflux/directsound.h"

namespace sonaflux {

class CMusicSource;
class PieceQueue;
struct QueuedPiece;

class StreamBuffer final : private FadeTarget {
public:
    // An offset that is none: no wrap or no silence in a segment, no data offset at a byte
    // of silence (the end of the music).
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    // How often a waiting worker looks whether its buffer was lost (see buffer_loss.cpp).
    static constexpr DWORD kLossCheckMs = 100;

    StreamBuffer();
    ~StreamBuffer();
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;

    void SetSource(CMusicSource* source) { m_Source = source; }
    // The pieces joined after the loaded one (stream_buffer_pieces.cpp); null: none.
    void SetPieces(PieceQueue* pieces) { m_Pieces = pieces; }
    // Where the events of the music are noted (stream_buffer_events.cpp); null: nowhere.
    void SetEvents(SequenceEvents* events) { m_Events = events; }
    // Host thread: the next event the play cursor has passed. Takes the position guard only.
    bool TakeEvent(PendingEvent& out);
    // Host thread, fill guard held, the switch piece queued next: leaves the piece heard
    // at the point `kind` names (MusicSequence::kSwitch...), rewriting the ring ahead of
    // the play cursor when the point lies in what is written already. With
    // `crossfadeFrames`, the piece left goes on under the new one for that many frames,
    // mixed with falling and rising gains (crossfade_mix.h).
    bool CutForSwitch(int32_t kind, uint32_t frame, uint32_t grid, uint32_t crossfadeFrames = 0);
    // Host thread: the switch piece not yet joined was dropped, and its point goes with it
    // (the point would otherwise join whatever is queued next). Takes the fill guard.
    void CancelSwitch();
    // Whether the ring holds the end of the last piece while the buffer plays: a piece
    // queued now could not follow it without a gap (host thread; takes the fill guard).
    bool LastPieceEndWritten();
    // Host thread (takes the fill guard): frees the pieces joined before the one being
    // written of which no byte is left in the ring and that no crossfade reads; answers how
    // many. They can be heard again only through a replay, which replays what is held.
    int32_t ReleaseLeftPieces();

    // Loading and teardown (host thread).
    bool Create(ds::IDirectSound* device, uint32_t segmentBytes, int32_t segments,
                uint32_t channels, uint32_t rate, uint32_t bits);
    bool CreateBuffer(ds::IDirectSound* device, uint32_t bytes, uint32_t channels, uint32_t rate,
                      uint32_t bits);
    bool CreateNotifications(int32_t count);
    bool FillSegment(uint32_t offset, uint32_t length);
    // Fills the first half of the ring from the reader's position; the mapping of ring
    // bytes to data positions starts again from there.
    bool FillInitial();
    // Held by the host around positioning the reader and the first fill after it, so no
    // refill of the worker comes between them. Recursive, as FillInitial takes it too.
    CCritSec& FillGuard() { return m_FillGuard; }
    bool Shutdown();
    // Ends the worker and releases whatever exists, after a failed load and at destruction.
    void Discard();
    bool IsCreated() const { return m_Buffer != nullptr; }

    // Playback (host thread; StopForFade on the fade thread).
    bool RestartPlayback(bool looping);
    // Stops the buffer under StopGuard (the host and fade threads; see docs/DESIGN.md).
    bool StopGuarded();
    bool StopForFade() override;
    // Continues from the play cursor; after a fill that playback has not begun (a seek
    // while paused), from the ring's first byte, where the fill put the data. False when
    // the device refused to play.
    bool Resume();
    bool IsPlaying();
    uint32_t PlayCursor();
    bool IsFading() const { return m_Fade.IsRunning(); }
    bool StopFade() { return m_Fade.Stop(); }
    bool StartFade(int32_t duration, double target, bool stopAfter) {
        return m_Fade.Start(duration, target, stopAfter);
    }
    // Applies `factor` × master volume through the configured curve (any thread) and
    // records `factor` as the current volume when the device accepted it.
    bool SetVolume(double factor);
    // Applies the current volume again (a new master volume; host thread). A level that a
    // fade applies meanwhile is never undone: both hold the volume guard.
    bool ReapplyVolume();
    double CurrentVolume() const { return m_Fade.CurrentVolume(); }

    // The data offset (bytes from the first PCM byte) of the byte at ring offset `offset`,
    // or of the ring's first byte when playback has not started since the last fill; the
    // end of the data for silence. False when nothing was filled.
    // With `piece`, also the id of the piece the byte came from (0: the loaded piece).
    bool DataOffsetAt(uint32_t offset, uint32_t& dataOffset, uint32_t* piece = nullptr);
    bool RingIsFresh() const { return m_Fresh.load(); }
    // The last first fill met the end of the data (a wrap or the end of the last pass),
    // so a different loop count or loop point changes what the ring must hold.
    bool FillHitEnd() const { return m_FillHitEnd; }
    // The data offset of the ring's first byte.
    uint32_t RingStartOffset();
    bool StoppedByFade() const { return m_StoppedByFade.load(); }
    bool ReachedEnd() const { return m_ReachedEnd.load(); }
    // The stream ended because its data could no longer be read (the file shrank or
    // vanished), not at the end of its last pass. Cleared by the next first fill.
    bool EndedOnError() const { return m_EndedOnError.load(); }
    void ClearEndState() {
        m_StoppedByFade = false;
        m_ReachedEnd = false;
    }

    uint32_t BufferBytes() const { return m_BufferBytes; }
    uint32_t SegmentBytes() const {
        return m_SegmentCount > 0 ? m_BufferBytes / static_cast<uint32_t>(m_SegmentCount) : 0;
    }

private:
    // Where the bytes of one segment came from: data offset of its first byte, where (if
    // anywhere) the reader first wrapped to the loop start inside it and how long the loop
    // was (a loop shorter than a segment wraps several times), and where silence begins.
    struct SegmentOrigin {
        bool filled = false;
        // The silence is the end of the music (positions there report the end); otherwise
        // a read failed and the music goes on after it from where the silence began.
        bool silenceEnds = true;
        bool endedOnError = false;  // the music ended there because the data is gone
        uint32_t start = 0;
        uint32_t wrapAt = kNone;  // byte within the segment
        uint32_t afterWrap = 0;
        uint32_t loopBytes = 0;       // 0: a single wrap
        uint32_t silentFrom = kNone;  // byte within the segment
        // Pieces: the piece the bytes came from, the segment byte this part begins at
        // (offsets above count from there), and the parts after it in the segment, where
        // a piece joined the one before it (the first part is the origin itself).
        uint32_t piece = 0;
        uint32_t from = 0;
        std::vector<SegmentOrigin> joined;
        int64_t absStart = 0;  // bytes written since the first fill before this segment
    };

    // The one or two writable regions of a locked range of the buffer.
    struct Region {
        void* first = nullptr;
        uint32_t firstBytes = 0;
        void* second = nullptr;
        uint32_t secondBytes = 0;
    };

    static unsigned __stdcall WorkerMain(void* parameter);
    bool LockRegion(uint32_t offset, uint32_t length, Region& r);
    bool UnlockRegion(const Region& r);
    bool Refill(int32_t index, uint32_t generation);
    // Silence over [offset, offset + length): the end of the music (`ends`), or a gap the
    // device caused, after which the music goes on from the reader's position.
    bool WriteSilence(uint32_t offset, uint32_t length, bool ends);
    // Before segment `segment` is refilled: whether the play cursor already overtook it
    // (stale bytes played); each run of such refills is one underrun, reported with its
    // count (underrun_watch.cpp).
    void NoteUnderrun(uint32_t segment);
    // Lost buffers (buffer_loss.cpp). IsLost: the status says DSBSTATUS_BUFFERLOST.
    // RestoreLost: Restore, counting failures (reported once, a box after 50 in a row).
    // RestoreAndRefill: restores and rewrites the ring from the frame that was playing,
    // not playing it. RecoverLostBuffer: that, then plays on if the stream was playing.
    bool IsLost();
    bool RestoreLost();
    bool RestoreAndRefill();
    bool RecoverLostBuffer();
    bool Pull(uint8_t* destination, uint32_t size, SegmentOrigin& origin);
    // Pull from the reader being written alone (stream_buffer.cpp).
    bool PullLive(uint8_t* destination, uint32_t size, SegmentOrigin& origin);
    // Pull across pieces: a piece's block read ahead, then its reader, and at the end of
    // its last pass the next piece queued (stream_buffer_pieces.cpp).
    bool PullPieces(uint8_t* destination, uint32_t size, SegmentOrigin& origin);
    bool PullStaged(QueuedPiece& piece, uint8_t* destination, uint32_t size, SegmentOrigin& part);
    // The part of a segment's record that holds byte `within`, and its last part.
    static const SegmentOrigin& PartAt(const SegmentOrigin& origin, uint32_t within);
    static const SegmentOrigin& LastPart(const SegmentOrigin& origin);
    // The segment byte where the music ends in a segment of `bytes` (its last part's
    // silence), or `bytes` when it does not end there.
    static uint32_t EndOfMusicIn(const SegmentOrigin& origin, uint32_t bytes);
    uint32_t WritingPiece() const;
    int32_t MusicOfPiece(uint32_t piece) const;
    uint32_t EndFrameOf(const SegmentOrigin& part) const;
    // Events (stream_buffer_events.cpp): the bytes written since the first fill at the
    // cursor; what a new first fill keeps of the events; and, for `bytes` just pulled,
    // where they start and which events they hold.
    bool PlayedBytes(int64_t& played);
    void RestartEvents();
    void NoteWritten(SegmentOrigin& origin, uint32_t bytes);
    // `lastPiece`: the piece of the bytes before (updated); `probe`: one more marker.
    void NoteEvents(const SegmentOrigin& origin, uint32_t bytes, uint32_t& lastPiece,
                    std::vector<PendingEvent>& out, const EventMarker* probe = nullptr);
    void NoteRun(const SegmentOrigin& part, int32_t music, int64_t at, uint32_t dataStart,
                 uint32_t length, std::vector<PendingEvent>& out, const EventMarker* probe);

    // Switches (stream_buffer_switch.cpp): the bytes the writer may still pull before an
    // armed cut; the ring byte (counted as m_Written) where a switch's point lies among
    // the bytes written ahead, or -1; and the rewrite of the ring from there.
    uint32_t BytesToCut() const;
    uint32_t WritingDataPosition() const;
    int64_t FindInWritten(int64_t from, int32_t kind, int32_t music, uint32_t frame);
    bool RewriteFrom(int64_t at);
    uint32_t SafetyBytes();
    // Joins the switch piece; with a crossfade asked for, `outgoing` goes on from data byte
    // `outgoingByte` under it.
    void JoinForSwitch(CMusicSource* outgoing, uint32_t outgoingByte);
    bool PlaceOutgoing(CMusicSource& outgoing, uint32_t byte);
    // Mixes the piece left into `bytes` just pulled of the piece that follows it, while the
    // crossfade lasts (fill guard held).
    void MixOutgoing(uint8_t* destination, uint32_t bytes);
    // The data offset of byte `within` of a segment that came from `origin`.
    static uint32_t DataOffsetIn(const SegmentOrigin& origin, uint32_t within);
    // Records where the music's last byte lies (the ring offset after it): the buffer
    // stops once the cursor has passed the segment after the one that holds it.
    void MarkDataEnd(uint32_t silenceFrom, const SegmentOrigin& origin);
    void Publish(size_t segment, const SegmentOrigin& origin);
    void ReleaseInterfaces();
    uint8_t SilenceByte() const;
    bool ApplyFadeLevel(double level) override { return SetVolume(level); }
    // Converts and applies a level; true when the device answered DS_OK.
    bool ApplyVolume(double factor);

    ds::IDirectSoundBuffer* m_Buffer = nullptr;
    ds::IDirectSoundNotify* m_Notify = nullptr;
    int32_t m_SegmentCount = 0;
    uint32_t m_BufferBytes = 0;
    CMusicSource* m_Source = nullptr;
    PieceQueue* m_Pieces = nullptr;
    SequenceEvents* m_Events = nullptr;
    int64_t m_Written = 0;                  // under m_FillGuard: bytes written since the first fill
    std::vector<PendingEvent> m_NewEvents;  // the writer's scratch list, reused
    uint32_t m_LastNoted = 0;               // under m_FillGuard: the piece noted last
    // Under m_FillGuard: a switch whose point the writer has not reached yet.
    struct SwitchCut {
        bool armed = false;
        uint32_t piece = 0;  // applies while this piece is written
        int32_t kind = 0;
        uint32_t dataByte = 0;
        uint32_t crossfadeFrames = 0;  // 0: a plain cut
    } m_Cut;
    // Under m_FillGuard: the piece left by a crossfaded switch, read on by its own reader
    // (the piece queue holds it while the crossfade lasts) and mixed under the new one.
    struct Crossfade {
        CMusicSource* outgoing = nullptr;  // null: none runs
        bool ended = false;                // its music ended: silence from there
        uint64_t done = 0;                 // frames mixed so far
        uint64_t frames = 0;
    } m_Crossfade;
    std::vector<uint8_t> m_CrossfadeScratch;
    uint32_t m_Bits = 16;
    CEventObject m_QuitEvent;
    std::unique_ptr<CEventObject[]> m_NotifyEvents;
    int32_t m_NotifyEventCount = 0;
    CThreadObject m_Thread;

    // Guarded by m_FillGuard: the reader and the end-of-data state. The segment origins
    // are written under m_FillGuard and m_PositionGuard both, and read under either.
    CCritSec m_FillGuard{LockRank::Fill, "a stream's fill guard"};
    CCritSec m_PositionGuard{LockRank::Position, "a stream's position guard"};
    // Counts first fills. A notification taken before the latest one belongs to the
    // playback before it, and its refill is skipped.
    std::atomic<uint32_t> m_FillGeneration{0};
    std::vector<SegmentOrigin> m_Origins;
    uint32_t m_ErrorOffset = 0;      // under m_PositionGuard: where unreadable data stopped
    uint32_t m_NextSegment = 0;      // the segment the next refill writes
    uint32_t m_DeviceFailures = 0;   // refills in a row whose Lock or Unlock failed
    uint32_t m_Underruns = 0;        // worker only: underruns since the load
    bool m_Overtaken = false;        // worker only: the last refill came too late
    uint32_t m_RestoreFailures = 0;  // under m_FillGuard: failed Restore calls in a row
    int32_t m_StopAfter = -1;        // notification that stops the buffer after the end
    bool m_DataEnded = false;        // the reader has no more data on this pass
    bool m_FillHitEnd = false;       // host thread only: the last first fill wrapped or ended

    // Held around a level's device call and its record as the current volume (SetVolume
    // on the host's or a fade's thread, ReapplyVolume on the host's).
    CCritSec m_VolumeGuard{LockRank::Volume, "a stream's volume guard"};

    std::atomic<bool> m_Fresh{false};          // ring start holds the data to begin with
    std::atomic<bool> m_ReachedEnd{false};     // the worker stopped the buffer at the end
    std::atomic<bool> m_StoppedByFade{false};  // a fade's end step stopped the buffer
    std::atomic<bool> m_EndedOnError{false};   // the data ran out because it is gone
    std::atomic<bool> m_PlayIntent{false};     // played by the host, not stopped since

    CFadeThread m_Fade;  // last: stopped and destroyed before the rest goes
};

// The process-wide lock around every stop that the host or a fade thread asks for.
CCritSec& StopGuard();

// Whole-decibel attenuation in hundredths of a decibel for a linear level (after master
// volume and curve), computed in extended precision, clamped to -10000..0.
int32_t LinearToHundredthsDb(double level);

}  // namespace sonaflux
