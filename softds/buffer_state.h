// The playback state of one secondary buffer, which is also the record tests read.
//
// Every member below the record interface is guarded by the device lock (`*lock`), which
// the record shares so that it stays readable after the buffer and the device are gone.
//
// The clock moves a buffer on by spans of output frames, never frame by frame: the bytes
// a span plays are accounted as byte ranges (underruns against the intervals unlocked
// since they last played, the played record, the notifications whose offsets lie in them).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "softds/intervals.h"
#include "softds/mixer.h"
#include "softds/softds.h"

namespace softds::detail {

using SteadyClock = std::chrono::steady_clock;

class BufferState;

// A notification that playback passed: the event to set, and whose it is.
struct Signal {
    void* event;
    BufferState* buffer;
    uint32_t index;
};

// A range handed out by Lock and not yet given back by Unlock.
struct OpenLock {
    uint8_t* first;
    uint32_t firstBytes;
    uint8_t* second;
    uint32_t secondBytes;
    std::thread::id owner;
};

inline constexpr uint32_t kOffsetStop = 0xFFFFFFFFu;  // DSBPN_OFFSETSTOP: signalled on stop

class BufferState final : public BufferRecord {
public:
    BufferState(std::shared_ptr<std::mutex> lock, uint32_t descSize, uint32_t flags, uint32_t bytes,
                const ds::WAVEFORMATEX& format, const GUID& algorithm, uint32_t outputRate,
                bool recordPlayed, bool recordCalls);

    // BufferRecord; each takes the lock.
    uint32_t DescSize() const override { return m_DescSize; }
    uint32_t Flags() const override { return m_Flags; }
    uint32_t Bytes() const override { return m_Bytes; }
    ds::WAVEFORMATEX Format() const override { return m_Format; }
    GUID Guid3DAlgorithm() const override { return m_Algorithm; }
    std::vector<ds::DSBPOSITIONNOTIFY> Notifications() const override;
    bool Released() const override;
    bool Playing() const override;
    bool Looping() const override;
    uint32_t PlayCursor() const override;
    int32_t Volume() const override;
    std::vector<uint8_t> Played() const override;
    void ClearPlayed() override;
    uint64_t Underruns() const override;
    std::vector<CallRecord> Calls() const override;
    std::vector<uint32_t> Signalled() const override;
    size_t HeldBytes() const override;

    // ---- The caller holds the lock for everything below. ----

    std::mutex& Lock() const { return *m_Lock; }
    uint32_t BlockAlign() const { return m_Align; }
    uint32_t CursorBytes() const { return m_Frame * m_Align; }

    void Log(Op op, ds::HRESULT result, uint64_t frame, uint32_t a = 0, uint32_t b = 0,
             int32_t value = 0);
    // Lock/Unlock/Stop mark activity: what the Win32 settle wait watches.
    void Touch() { m_LastActivity = SteadyClock::now(); }
    SteadyClock::time_point LastActivity() const { return m_LastActivity; }
    // True when a Lock of a thread other than `self` is outstanding.
    bool RegionHeldByOther(std::thread::id self) const;

    ds::HRESULT DoLock(uint32_t offset, uint32_t bytes, void** first, uint32_t* firstBytes,
                       void** second, uint32_t* secondBytes, uint32_t flags);
    ds::HRESULT DoUnlock(void* first, uint32_t firstBytes, void* second, uint32_t secondBytes);
    // Ends the outstanding lock whose first region is `first`, publishing nothing.
    void AbandonLock(void* first);
    ds::HRESULT DoSetNotifications(uint32_t count, const ds::DSBPOSITIONNOTIFY* positions);
    void DoPlay(bool looping);
    // Stops; appends the stop notifications when it was playing.
    void DoStop(std::vector<Signal>& signals);
    ds::HRESULT DoSetPosition(uint32_t offset);
    ds::HRESULT DoSetVolume(int32_t volume);
    ds::HRESULT DoSetPan(int32_t pan);
    ds::HRESULT DoSetFrequency(uint32_t frequency);
    int32_t VolumeLocked() const { return m_Volume; }
    int32_t PanLocked() const { return m_Pan; }
    uint32_t FrequencyLocked() const { return m_Frequency; }
    uint32_t StatusLocked() const;
    // Buffer loss, as when another program takes the device: the buffer stops without a
    // signal, its memory is gone (silence), and Lock, Unlock, Play and the position calls
    // answer DSERR_BUFFERLOST until Restore.
    bool LoseLocked();  // false once released
    bool LostLocked() const { return m_Lost; }
    void RestoreLocked() { m_Lost = false; }
    bool PlayingLocked() const { return m_Playing && !m_Released; }
    // The byte at the play cursor was written since it last played.
    bool CursorWritten() const { return m_Fresh.Contains(CursorBytes()); }
    // The buffer's last reference went: it plays no more and frees its memory.
    void MarkReleased();

    // Output frames from now until the one in which this buffer passes its next
    // notification or stops at its end (1: the next output frame); `limit` when that is
    // later, or never comes, or the buffer is not playing.
    uint32_t FramesToEvent(uint32_t limit) const;
    // Plays `frames` output frames: moves the cursor, counts underruns, records what
    // played and appends the notifications passed, in order, to `signals` (the stop
    // positions after the last frame when a buffer played once reaches its end). While it
    // sounds, appends its piece of the block to `pieces`, with a copy of the frames the
    // piece reads to `arena`. `rampFrames`: over how many output frames a volume change
    // moves the gain (0: at once).
    void Run(uint32_t frames, uint32_t rampFrames, std::vector<MixPiece>& pieces,
             std::vector<uint8_t>& arena, std::vector<Signal>& signals);

private:
    // Plays the whole frames [first, end) (end at most the frame count): underruns, the
    // played record and the notifications whose offsets lie in their bytes.
    void PlayFrames(uint32_t first, uint32_t end, std::vector<Signal>& signals);
    // Copies `count` frames to the end of `arena`, from `history` frames before `first` on,
    // wrapping when looping. Frames that were not heard (before the buffer began to sound,
    // before frame 0 or past the end of a buffer played once) are silence, and so is what
    // a short last frame lacks.
    void CopyFrames(uint32_t first, uint32_t history, uint32_t count,
                    std::vector<uint8_t>& arena) const;
    void AppendSilence(size_t bytes, std::vector<uint8_t>& arena) const;
    void SetRate(uint32_t frequency);
    void AddStopSignals(std::vector<Signal>& signals);
    void UpdateGains();

    const std::shared_ptr<std::mutex> m_Lock;
    const uint32_t m_DescSize;
    const uint32_t m_Flags;
    const uint32_t m_Bytes;
    const ds::WAVEFORMATEX m_Format;
    const GUID m_Algorithm;
    const uint32_t m_OutputRate;
    const bool m_RecordPlayed;
    const bool m_RecordCalls;  // the call log and the signalled notifications
    const uint32_t m_Align;
    const uint32_t m_FrameCount;  // the last frame is short when the size is not aligned
    const ConvertFn m_Convert;    // chosen once for the format
    bool m_Resample = false;      // the playing rate differs from the output rate
    uint32_t m_Half = 0;          // then the kernel's half width (KernelHalfWidth)

    std::vector<uint8_t> m_Memory;     // what Lock hands out
    std::vector<uint8_t> m_Committed;  // what Unlock published: what plays
    ByteIntervals m_Fresh;             // bytes unlocked since they last played
    std::vector<ds::DSBPOSITIONNOTIFY> m_Notifications;
    std::vector<OpenLock> m_OpenLocks;

    bool m_Released = false;
    bool m_Lost = false;
    bool m_Playing = false;
    bool m_Looping = false;
    uint32_t m_Frame = 0;  // play cursor, in frames
    uint32_t m_Phase = 0;  // position between m_Frame and the next, in 1/outputRate frames
    // Frames played since it began to sound (up to kMaxHalfWidth, also at the output rate:
    // a change of rate finds the history the kernel reads).
    uint32_t m_Heard = 0;
    uint32_t m_Frequency;  // playing rate
    int32_t m_Volume = 0;
    int32_t m_Pan = 0;
    float m_Gain[2] = {1.0f, 1.0f};  // what volume and pan ask for
    // The gain the mix reached, and the ramp towards m_Gain (frames left, step per frame).
    // Not sounding: the next span starts at m_Gain without a ramp.
    bool m_Sounding = false;
    bool m_GainChanged = false;
    float m_MixGain[2] = {1.0f, 1.0f};
    float m_RampStep[2] = {0.0f, 0.0f};
    uint32_t m_RampLeft = 0;

    std::vector<uint8_t> m_Played;
    uint64_t m_Underruns = 0;
    std::vector<CallRecord> m_Calls;
    std::vector<uint32_t> m_Signalled;
    SteadyClock::time_point m_LastActivity;
};

}  // namespace softds::detail
