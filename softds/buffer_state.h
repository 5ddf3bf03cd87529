// The playback state of one secondary buffer, which is also the record tests read.
//
// Every member below the record interface is guarded by the device lock (`*lock`), which
// the record shares so that it stays readable after the buffer and the device are gone.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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
                const ds::WAVEFORMATEX& format, const GUID& algorithm, bool recordPlayed,
                bool recordCalls);

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
    bool LockedByOther(std::thread::id self) const;

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
    bool PlayingLocked() const { return m_Playing && !m_Released; }
    // The buffer's last reference went: it plays no more and frees its memory.
    void MarkReleased();

    // One output frame at `outputRate`: adds this buffer's contribution to `mix` (two
    // channels; skipped when null) and moves the cursor on, playing every frame it passes.
    // Appends the notifications passed to `signals`; true when any was passed or the
    // buffer stopped at its end.
    bool Step(uint32_t outputRate, double* mix, std::vector<Signal>& signals);

private:
    void SampleFrame(uint32_t frame, int32_t out[2]) const;
    bool PlayFrame(std::vector<Signal>& signals);  // true when a notification or the end passed
    void AddStopSignals(std::vector<Signal>& signals);
    void UpdateGains();

    const std::shared_ptr<std::mutex> m_Lock;
    const uint32_t m_DescSize;
    const uint32_t m_Flags;
    const uint32_t m_Bytes;
    const ds::WAVEFORMATEX m_Format;
    const GUID m_Algorithm;
    const bool m_RecordPlayed;
    const bool m_RecordCalls;
    const uint32_t m_Align;
    const uint32_t m_FrameCount;  // the last frame is short when the size is not aligned

    std::vector<uint8_t> m_Memory;     // what Lock hands out
    std::vector<uint8_t> m_Committed;  // what Unlock published: what plays
    std::vector<uint8_t> m_Fresh;      // 1 where a byte was unlocked since it last played
    std::vector<ds::DSBPOSITIONNOTIFY> m_Notifications;
    std::vector<OpenLock> m_OpenLocks;

    bool m_Released = false;
    bool m_Playing = false;
    bool m_Looping = false;
    uint32_t m_Frame = 0;  // play cursor, in frames
    uint32_t m_Phase = 0;  // position between m_Frame and the next, in 1/outputRate frames
    uint32_t m_Frequency;  // playing rate
    int32_t m_Volume = 0;
    int32_t m_Pan = 0;
    double m_Gain[2] = {1.0, 1.0};

    std::vector<uint8_t> m_Played;
    uint64_t m_Underruns = 0;
    std::vector<CallRecord> m_Calls;
    std::vector<uint32_t> m_Signalled;
    SteadyClock::time_point m_LastActivity;
};

}  // namespace softds::detail
