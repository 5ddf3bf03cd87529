// The device behind softds::Device and the COM objects it hands out.
//
// Lock rules:
// - The device lock (`m_Lock`, shared with every buffer record so that records outlive the
//   device) guards the device state and every buffer's state. Every COM call takes it for
//   its own work only: a Lock hands out memory, an Unlock copies the unlocked bytes into
//   what plays and adds their range to the fresh intervals.
// - The clock holds the device lock for the bookkeeping of one span only: per buffer, the
//   cursor, the underrun count, the played record and the notifications of the span, and a
//   copy of the bytes the span reads (a few kilobytes per buffer and period). Conversion,
//   resampling, gain, accumulation and the sink all run after it is released, so a worker's
//   Lock or Unlock never waits on a mixing period.
// - The render lock (`m_RenderLock`) is held by whichever thread renders a block (Advance,
//   the clock thread, or the SDL audio callback) around the whole block: it guards the
//   mixer's scratch and the sink. Order: the render lock, then the device lock; no thread
//   takes the render lock while it holds the device lock, and no worker takes it at all.
// - Events are set, and workers waited for, with neither lock held: a worker woken by a
//   notification calls Lock and Unlock, which need the device lock.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "softds/buffer_state.h"
#include "softds/settle.h"
#include "softds/sink.h"

namespace softds::detail {

class DeviceImpl;

// IDirectSound of a device.
class DeviceCom final : public ds::IDirectSound {
public:
    explicit DeviceCom(DeviceImpl& device) : m_Device(device) {}
    ds::HRESULT SFX_DSCALL QueryInterface(const GUID& iid, void** object) override;
    uint32_t SFX_DSCALL AddRef() override;
    uint32_t SFX_DSCALL Release() override;
    ds::HRESULT SFX_DSCALL CreateSoundBuffer(const ds::DSBUFFERDESC* desc,
                                             ds::IDirectSoundBuffer** buffer,
                                             ds::IUnknown* outer) override;
    ds::HRESULT SFX_DSCALL GetCaps(void* caps) override;
    ds::HRESULT SFX_DSCALL DuplicateSoundBuffer(ds::IDirectSoundBuffer* original,
                                                ds::IDirectSoundBuffer** duplicate) override;
    ds::HRESULT SFX_DSCALL SetCooperativeLevel(void* window, uint32_t level) override;
    ds::HRESULT SFX_DSCALL Compact() override;
    ds::HRESULT SFX_DSCALL GetSpeakerConfig(uint32_t* config) override;
    ds::HRESULT SFX_DSCALL SetSpeakerConfig(uint32_t config) override;
    ds::HRESULT SFX_DSCALL Initialize(const GUID* device) override;

private:
    DeviceImpl& m_Device;
};

// One secondary buffer: IDirectSoundBuffer and IDirectSoundNotify on one object with one
// reference count, as in DirectSound. Holds the device alive until it is destroyed.
class BufferCom final : public ds::IDirectSoundBuffer, public ds::IDirectSoundNotify {
public:
    BufferCom(DeviceImpl& device, std::shared_ptr<BufferState> state);

    ds::HRESULT SFX_DSCALL QueryInterface(const GUID& iid, void** object) override;
    uint32_t SFX_DSCALL AddRef() override;
    uint32_t SFX_DSCALL Release() override;

    ds::HRESULT SFX_DSCALL GetCaps(void* caps) override;
    ds::HRESULT SFX_DSCALL GetCurrentPosition(uint32_t* play, uint32_t* write) override;
    ds::HRESULT SFX_DSCALL GetFormat(ds::WAVEFORMATEX* format, uint32_t size,
                                     uint32_t* written) override;
    ds::HRESULT SFX_DSCALL GetVolume(int32_t* volume) override;
    ds::HRESULT SFX_DSCALL GetPan(int32_t* pan) override;
    ds::HRESULT SFX_DSCALL GetFrequency(uint32_t* frequency) override;
    ds::HRESULT SFX_DSCALL GetStatus(uint32_t* status) override;
    ds::HRESULT SFX_DSCALL Initialize(ds::IDirectSound* device,
                                      const ds::DSBUFFERDESC* desc) override;
    ds::HRESULT SFX_DSCALL Lock(uint32_t offset, uint32_t bytes, void** first, uint32_t* firstBytes,
                                void** second, uint32_t* secondBytes, uint32_t flags) override;
    ds::HRESULT SFX_DSCALL Play(uint32_t reserved, uint32_t priority, uint32_t flags) override;
    ds::HRESULT SFX_DSCALL SetCurrentPosition(uint32_t position) override;
    ds::HRESULT SFX_DSCALL SetFormat(const ds::WAVEFORMATEX* format) override;
    ds::HRESULT SFX_DSCALL SetVolume(int32_t volume) override;
    ds::HRESULT SFX_DSCALL SetPan(int32_t pan) override;
    ds::HRESULT SFX_DSCALL SetFrequency(uint32_t frequency) override;
    ds::HRESULT SFX_DSCALL Stop() override;
    ds::HRESULT SFX_DSCALL Unlock(void* first, uint32_t firstBytes, void* second,
                                  uint32_t secondBytes) override;
    ds::HRESULT SFX_DSCALL Restore() override;

    ds::HRESULT SFX_DSCALL
    SetNotificationPositions(uint32_t count, const ds::DSBPOSITIONNOTIFY* positions) override;

private:
    ~BufferCom() = default;  // through Release only

    // The caller holds the lock. Runs `op` under fault injection: a pending negative
    // fault answers at once (after `onFault`); a pending non-negative one replaces DS_OK
    // after `work`.
    struct NoEffect {
        void operator()() const {}
    };
    template <typename Work, typename OnFault = NoEffect>
    ds::HRESULT Call(Op op, Work&& work, uint32_t a = 0, uint32_t b = 0, int32_t value = 0,
                     OnFault&& onFault = OnFault{});

    DeviceImpl& m_Device;
    const std::shared_ptr<BufferState> m_State;
    uint32_t m_Refs = 1;  // guarded by the device lock
};

class DeviceImpl final : public Device, private SettleProbe {
public:
    // Null when the options cannot be served (no such sink, bad rates, unwritable file).
    static DeviceImpl* Make(const DeviceOptions& options);

    // Device
    ds::IDirectSound* Interface() override { return &m_Com; }
    uint32_t Release() override;
    bool Advance(uint32_t frames) override;
    bool WaitIdle() override;
    uint64_t Frames() const override;
    size_t BufferCount() const override;
    std::shared_ptr<BufferRecord> Buffer(size_t index) const override;
    void FailNext(Op op, ds::HRESULT result) override;
    bool LoseBuffer(size_t index) override;
    uint64_t MixedFrames() const override;
    size_t HeldBytes() const override;

    // IDirectSound
    uint32_t AddRef();
    ds::HRESULT CreateSoundBuffer(const ds::DSBUFFERDESC* desc, ds::IDirectSoundBuffer** buffer,
                                  ds::IUnknown* outer);

    // For buffers. The caller holds the lock for the *Locked operations.
    std::mutex& Mutex() const { return *m_Lock; }
    std::optional<ds::HRESULT> TakeFaultLocked(Op op);
    uint64_t FramesLocked() const { return m_Frames; }
    // A buffer's last reference went: it leaves the mix and the signals to settle.
    void ForgetBufferLocked(BufferState* state);
    // The buffer's notifications were replaced: its earlier signals are not waited for.
    void DropUnsettledLocked(BufferState* state);
    // Sets events now (the lock released), for signals outside the clock such as a stop.
    void SignalOutsideClock(const std::vector<Signal>& signals);
    void Retain() { m_Keep.fetch_add(1, std::memory_order_relaxed); }
    void Unretain();

private:
    explicit DeviceImpl(const DeviceOptions& options, std::unique_ptr<Sink> sink);
    ~DeviceImpl() override;

    // The caller holds the render lock. Plays one span of up to `frames` output frames (at
    // most one block), ending with the first output frame in which a notification is passed
    // or a buffer ends when `stopAtSignal`; appends what was passed to `signals`. Mixes the
    // span into `out` (2 samples a frame) or, when null, into the sink. 0 once closed.
    uint32_t RenderSpan(uint32_t frames, bool stopAtSignal, int16_t* out,
                        std::vector<Signal>& signals);
    // The real-time clock of a pulling sink: fills `frames` frames at `out`.
    void Pull(int16_t* out, size_t frames);
    void SetEvents(const std::vector<Signal>& signals);
    bool Settle(const std::vector<Signal>& signals);
    // overlapWorkers: settles `pending` (and empties it) unless empty.
    bool SettlePending(std::vector<Signal>& pending);
    // overlapWorkers: every playing buffer of `pending` plays bytes written next.
    bool NextBytesWritten(const std::vector<Signal>& pending) const;
    void ClockMain();
    void StopClock();

    // SettleProbe
    bool Busy(const std::vector<BufferState*>& buffers, SteadyClock::time_point* last) override;

    const DeviceOptions m_Options;
    const bool m_RecordPlayed;
    const bool m_RecordCalls;
    const uint32_t m_RampFrames;
    const std::shared_ptr<std::mutex> m_Lock = std::make_shared<std::mutex>();
    DeviceCom m_Com{*this};
    std::atomic<int> m_Keep{1};  // the COM side, plus one per live buffer

    // Guarded by m_Lock.
    uint32_t m_Refs = 1;
    bool m_Closed = false;  // COM count reached 0: the clock and the sink are stopped
    uint64_t m_Frames = 0;
    uint64_t m_Mixed = 0;
    std::vector<std::shared_ptr<BufferState>> m_Buffers;  // every buffer ever made
    std::vector<BufferState*> m_Live;                     // not released, in creation order
    std::map<Op, std::deque<ds::HRESULT>> m_Faults;
    std::vector<Signal> m_Unsettled;  // set outside Advance, not yet waited for

    // Guarded by m_RenderLock.
    mutable std::mutex m_RenderLock;
    std::unique_ptr<Sink> m_Sink;
    Mixer m_Mixer;
    std::vector<MixPiece> m_Pieces;  // of the span being rendered
    std::vector<uint8_t> m_Arena;    // the bytes the pieces read
    std::vector<int16_t> m_Block;    // the mixed span, for a pushing sink
    std::vector<Signal> m_PullSignals;

    std::mutex m_AdvanceMutex;  // one Advance or WaitIdle at a time

    std::thread m_ClockThread;
    std::atomic<bool> m_ClockStop{false};  // the clock thread ends within 20 ms
};

}  // namespace softds::detail
