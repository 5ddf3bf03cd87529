// One stream's DirectSound secondary buffer, used as a ring of n equal segments with a
// notification at the last byte of each, and the worker thread that refills the segment
// half a ring ahead of the play cursor each time a notification fires.
//
// Threads: the host's thread creates, fills, plays, stops and shuts the buffer down; the
// worker runs WorkerMain/Refill; a fade thread calls SetVolume and StopForFade. The host's
// first fills and the worker's refills both pull from the same reader, so they take
// m_FillGuard (uncontended in normal play: the buffer is stopped while the host fills).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/sync.h"
#include "fade/fade_thread.h"
#include "sonaflux/directsound.h"

namespace sonaflux {

class CStreamSource;

class StreamBuffer {
public:
    StreamBuffer();
    virtual ~StreamBuffer();
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;

    void SetSource(CStreamSource* source) { m_Source = source; }

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
    bool StopLocked();
    bool StopForFade();
    bool Resume();
    bool IsPlaying();
    uint32_t PlayCursor();
    bool IsFading() const { return m_Fade.IsRunning(); }
    bool StopFade() { return m_Fade.Stop(); }
    bool StartFade(int32_t duration, double target, bool stopAfter) {
        return m_Fade.Start(duration, target, stopAfter);
    }
    // Applies `factor` × master volume through the configured curve (any thread).
    bool SetVolume(double factor);
    double CurrentVolume() const { return m_Fade.CurrentVolume(); }

    // The data offset (bytes from the first PCM byte) of the byte at ring offset `offset`,
    // or of the ring's first byte when playback has not started since the last fill; the
    // end of the data for silence. False when nothing was filled.
    bool DataOffsetAt(uint32_t offset, uint32_t& dataOffset);
    bool RingIsFresh() const { return m_Fresh.load(); }
    // The last first fill met the end of the data (a wrap or the end of the last pass),
    // so a different loop count or loop point changes what the ring must hold.
    bool FillHitEnd() const { return m_FillHitEnd; }
    // The data offset of the ring's first byte.
    uint32_t RingStartOffset();
    bool StoppedByFade() const { return m_StoppedByFade.load(); }
    bool ReachedEnd() const { return m_ReachedEnd.load(); }
    void ClearEndState() {
        m_StoppedByFade = false;
        m_ReachedEnd = false;
    }

    int32_t SegmentCount() const { return m_SegmentCount; }
    uint32_t BufferBytes() const { return m_BufferBytes; }
    uint32_t WriteOffset() const { return m_WriteOffset.load(); }

private:
    // Where the bytes of one segment came from: data offset of its first byte, and where
    // (if anywhere) the reader wrapped to the loop start inside it.
    struct SegmentOrigin {
        bool filled = false;
        bool silent = false;  // silence from this byte on
        uint32_t start = 0;
        uint32_t wrapAt = 0xFFFFFFFFu;  // byte within the segment
        uint32_t afterWrap = 0;
        uint32_t silentFrom = 0xFFFFFFFFu;  // byte within the segment
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
    bool WriteSilence(uint32_t offset, uint32_t length);
    bool Pull(uint8_t* destination, uint32_t size, SegmentOrigin& origin);
    void ReleaseInterfaces();
    uint8_t SilenceByte() const;

    ds::IDirectSoundBuffer* m_Buffer = nullptr;
    ds::IDirectSoundNotify* m_Notify = nullptr;
    int32_t m_SegmentCount = 0;
    uint32_t m_BufferBytes = 0;
    std::atomic<uint32_t> m_WriteOffset{0};
    CStreamSource* m_Source = nullptr;
    uint32_t m_Bits = 16;
    CEventObject m_QuitEvent;
    std::unique_ptr<CEventObject[]> m_NotifyEvents;
    int32_t m_NotifyEventCount = 0;
    CThreadObject m_Thread;

    // Guarded by m_FillGuard: the reader, the segment origins and the end-of-data count.
    CCritSec m_FillGuard;
    // Counts first fills. A notification taken before the latest one belongs to the
    // playback before it, and its refill is skipped.
    std::atomic<uint32_t> m_FillGeneration{0};
    std::vector<SegmentOrigin> m_Origins;
    uint32_t m_Failures = 0;     // failing refills since playback last restarted
    uint32_t m_SilenceFrom = 0;  // ring offset after the music's last byte
    bool m_DataEnded = false;    // the reader has no more data on this pass
    bool m_FillHitEnd = false;   // host thread only: the last first fill wrapped or ended

    std::atomic<bool> m_Fresh{false};          // ring start holds the data to begin with
    std::atomic<bool> m_ReachedEnd{false};     // the worker stopped the buffer at the end
    std::atomic<bool> m_StoppedByFade{false};  // a fade's end step stopped the buffer

    CFadeThread m_Fade;  // last: stopped and destroyed before the rest goes
};

// The process-wide lock around every stop that the host or a fade thread asks for.
CCritSec& StopGuard();

// Whole-decibel attenuation in hundredths of a decibel for a linear level (after master
// volume and curve), computed in extended precision, clamped to -10000..0.
int32_t LinearToHundredthsDb(double level);

}  // namespace sonaflux
