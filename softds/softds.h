// softds: a software DirectSound device, for hosts without DirectSound and for the tests
// of every stream on both targets.
//
// The device implements the DirectSound operations the module calls (IDirectSound,
// IDirectSoundBuffer, IDirectSoundNotify) with COM reference counting. Its clock is either
// manual (tests step playback exactly: Advance moves every playing buffer on, signals the
// notifications it passes in order and waits until the stream workers have handled them)
// or real-time (the SDL2 audio device pulls blocks of output through its callback, or a
// timer thread consumes them at the sample rate). When the system removes the SDL device,
// the clock runs on without it (buffers play on, notifications fire, positions carry on)
// and the mix goes to the default device as soon as one opens again; softds says each of
// the two once on stderr. The clock moves buffers on by spans of
// frames up to the next notification or end. Playing buffers are always mixed, with or
// without a sink: converted to float, resampled when their rate differs from the output
// rate, scaled by their volume and summed, then clamped to 16-bit stereo at the output rate
// and handed to the sink. Every buffer keeps a record that tests read: its description,
// its notification positions, the bytes it played (before mixing), its underruns and the
// calls made on it; the played bytes and the calls are kept by default only with the
// manual clock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sonaflux/directsound.h"

namespace softds {

namespace ds = sonaflux::ds;

enum class ClockKind { Manual, RealTime };
enum class SinkKind { None, WavFile, Sdl };

struct DeviceOptions {
    ClockKind clock = ClockKind::Manual;
    SinkKind sink = SinkKind::None;
    std::string wavPath;          // SinkKind::WavFile: the mix is written here
    uint32_t outputRate = 44100;  // mix format: 16-bit stereo at this rate
    uint32_t periodFrames = 441;  // real-time clock: frames per tick (SDL: the next power of two)
    // What the records keep. Unset: kept with the manual clock, not with the real-time one,
    // whose records would otherwise grow for as long as it plays.
    std::optional<bool> recordPlayed;  // every byte each buffer plays (BufferRecord::Played)
    std::optional<bool> recordCalls;   // the call log and the signals (Calls, Signalled)
    // Over how many output frames a change of volume or pan moves a playing buffer's gain,
    // so that a step does not click. Unset: at once with the manual clock (the mix of a test
    // follows each call exactly), 5 ms with the real-time clock.
    std::optional<uint32_t> volumeRampFrames;
    // How long Advance and WaitIdle wait for the stream workers before answering false.
    uint32_t settleTimeoutMs = 2000;
    // Windows only, where no layer of ours knows when a worker is idle again. After a
    // signal: how long to wait for some thread to take it (one that nobody takes within
    // this time is taken to have no waiter), then how long the buffers concerned must see
    // no Lock outstanding and no Lock, Unlock, Play, Stop or position call (volume and
    // status calls do not count) before the workers count as idle.
    uint32_t settleGraceMs = 100;
    uint32_t settleQuietMs = 15;
    // Manual clock: let the stream workers run alongside the clock (for rendering). Advance
    // then sets the events of the notifications it passes and plays on without waiting
    // while what each signalled buffer plays next was written since it last played. A
    // host whose worker refills whole segments ahead of the cursor, each the one after the
    // last it wrote (as the module does), hears the same. It waits for the workers when
    // such a buffer reaches bytes not written yet, before it sets an event again that no
    // worker took, and before it returns. Off: the workers are waited for after every
    // notification, which tests step by.
    bool overlapWorkers = false;
};

// The operations that fault injection can make fail, and that the call log records.
enum class Op {
    CreateSoundBuffer,
    QueryInterface,
    SetNotificationPositions,
    Lock,
    Unlock,
    Play,
    Stop,
    SetCurrentPosition,
    GetCurrentPosition,
    GetStatus,
    SetVolume,
    Release,
    Restore,
};

struct CallRecord {
    Op op;
    // Lock: offset, bytes; Unlock: first size, second size; Play: flags;
    // SetCurrentPosition: offset; SetNotificationPositions: count;
    // CreateSoundBuffer: bytes, flags.
    uint32_t a = 0;
    uint32_t b = 0;
    int32_t value = 0;       // SetVolume: hundredths of a decibel
    uint64_t frame = 0;      // output frame of the device clock when the call was made
    ds::HRESULT result = 0;  // what the call answered (Release: the references left)
};

// What a test can read of one secondary buffer. Safe to use from any thread, and after
// the buffer itself was released.
class BufferRecord {
public:
    virtual ~BufferRecord() = default;
    // As the module described it.
    virtual uint32_t DescSize() const = 0;
    virtual uint32_t Flags() const = 0;
    virtual uint32_t Bytes() const = 0;
    virtual ds::WAVEFORMATEX Format() const = 0;
    virtual GUID Guid3DAlgorithm() const = 0;  // zero when the description had none
    virtual std::vector<ds::DSBPOSITIONNOTIFY> Notifications() const = 0;
    // State now.
    virtual bool Released() const = 0;
    virtual bool Playing() const = 0;
    virtual bool Looping() const = 0;
    virtual uint32_t PlayCursor() const = 0;
    virtual int32_t Volume() const = 0;
    // Every byte played (when recordPlayed), in playing order, before volume and mixing. Bytes
    // written through Lock play once their Unlock gave them; until then the bytes last unlocked
    // there (or the format's silence) play.
    virtual std::vector<uint8_t> Played() const = 0;
    virtual void ClearPlayed() = 0;
    // Bytes played that nothing had written since they last played (or ever).
    virtual uint64_t Underruns() const = 0;
    virtual std::vector<CallRecord> Calls() const = 0;  // when recordCalls
    // Notifications signalled so far (when recordCalls), in order (indices into Notifications();
    // cleared when the positions are set again). A position at DSBPN_OFFSETSTOP (0xFFFFFFFF) is
    // signalled each time the buffer stops, by Stop or at its end.
    virtual std::vector<uint32_t> Signalled() const = 0;
    // Heap bytes the buffer holds now: its memory, its bookkeeping and its records. Stays
    // flat over any length of play when the records are off.
    virtual size_t HeldBytes() const = 0;
};

class Device {
public:
    // A device with one reference, released through Interface()->Release() or Release().
    // Null when the options cannot be served (an output rate outside 1000..384000, a
    // real-time clock without a period, a WAV file that cannot be written, no SDL2).
    // Buffers hold no reference the host can see. When the count reaches 0 the clock
    // stops and the sink is completed (the WAV header written); buffers still held keep
    // answering, and the device's memory goes with the last of them.
    // With the real-time clock, stop or release a buffer before closing the events of its
    // notification positions: the clock may set them at any time while it plays.
    static Device* Create(const DeviceOptions& options = {});

    virtual ds::IDirectSound* Interface() = 0;
    ::IDirectSound* HostInterface() { return ds::ToHost(Interface()); }
    virtual uint32_t Release() = 0;

    // Manual clock. Moves every playing buffer on by `frames` output frames, in steps that
    // end at each notification offset and buffer end, signalling the notifications in
    // order and waiting after each step until the stream workers are idle again. False
    // when the workers did not settle in time, and playback then goes no further than
    // that step; false at once when the clock is real-time.
    // Natively the wait is exact for threads started through the platform layer; on
    // Windows it is bounded and inferred (see the settle options). Call it from a thread
    // the platform layer did not start (the test's own), one call at a time.
    virtual bool Advance(uint32_t frames) = 0;
    // Waits until the stream workers have handled every signal given so far outside
    // Advance: stop positions signalled by Stop, and the real-time clock's.
    virtual bool WaitIdle() = 0;
    // Output frames the clock has moved on since the device was created.
    virtual uint64_t Frames() const = 0;

    // Buffers created so far, in creation order (released ones included).
    virtual size_t BufferCount() const = 0;
    virtual std::shared_ptr<BufferRecord> Buffer(size_t index) const = 0;

    // The next call of `op` (on any buffer, or the device for CreateSoundBuffer) answers
    // `result` instead of working; a non-negative result for SetVolume is a success that
    // is not DS_OK, with the volume applied. The same holds for every operation: a
    // negative result fails it without effect, a non-negative one lets it work and is
    // answered instead of DS_OK. Several calls for one operation queue up; Release
    // cannot be made to fail.
    virtual void FailNext(Op op, ds::HRESULT result = ds::DSERR_GENERIC) = 0;
    // Buffer `index` is lost, as when another program takes the device: it stops without
    // signalling, its memory becomes silence, and Lock, Unlock, Play, SetCurrentPosition
    // and GetCurrentPosition answer DSERR_BUFFERLOST, GetStatus DSBSTATUS_BUFFERLOST, until
    // the buffer is restored (Restore, which FailNext(Op::Restore) can make fail). False
    // for no such live buffer.
    virtual bool LoseBuffer(size_t index) = 0;

    // Output frames mixed so far (16-bit stereo), with every sink: none included.
    virtual uint64_t MixedFrames() const = 0;
    // Heap bytes the device holds now for its own work (buffers apart): the scratch of the
    // mixer and of the clock. Stays flat over any length of play.
    virtual size_t HeldBytes() const = 0;

protected:
    virtual ~Device() = default;
};

}  // namespace softds
