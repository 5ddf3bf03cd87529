// A reference model of what a host observes of the module on softds's manual clock: the
// music frames (or silence) that each played device frame holds, what every query
// answers, the volume each buffer is at, and when each buffer stops. It is plain and
// single-threaded and does not call the module: it is written from the behaviour the
// header, the README and docs/DESIGN.md describe.
//
// What a player holds: a reader over the music (position, loop start and end, passes
// left), a ring of n segments of s frames whose frames are labelled with the music frame
// they hold, and the buffer's cursor. A first fill writes half the ring; each time the
// cursor passes the last frame of a segment, the next segment after the last one written
// is refilled. Where the module may choose (where the buffer stops after the end of the
// music, the level a running fade is at), the model names the allowed range.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/ops.h"

namespace sonaflux::model {

// One music entry as the model needs it: the PCM handed out (frames of the reported
// format) and what decides which loop ends a WAVE image accepts.
struct Entry {
    bool vorbis = false;
    uint32_t rate = 0;
    uint32_t bits = 16;        // of the PCM handed out
    uint32_t frameBytes = 0;   // of the PCM handed out
    uint32_t frames = 0;       // whole frames of the data
    uint32_t dataOffset = 0;   // WAVE: first PCM byte in the image
    uint32_t imageBytes = 0;   // WAVE: the registered image size
    std::vector<uint8_t> pcm;  // frames × frameBytes
};

// The settings the module reads from its settings file.
struct Geometry {
    int32_t segments = 16;         // NOTIFY_MAX
    int32_t segmentBytes = 32768;  // RING_BUFFER_BLOCK_SIZE
    int32_t fadeType = 0;          // FADETYPE
};

// Whole-decibel attenuation (hundredths of a dB) for `level` under `master`: the product,
// squared unless the fade type is 1, as 20 log10 truncated, clamped to -10000..0.
int32_t Attenuation(double master, double level, int32_t fadeType);

class PlayerModel {
public:
    static constexpr int32_t kSilence = -1;  // a ring frame holding silence

    // Whether loading `entry` under `g` makes segments so short that one output frame can
    // carry the cursor past two notifications (the buffer's rate is above the output
    // rate). The clock then signals both at once, and the worker takes them in the order
    // it happens to wake in (lowest index first, or as played; one wake for a position
    // passed twice), which decides where the buffer stops after the end and, for a ring
    // passed twice, what it holds. The check does not drive such loads.
    static bool SegmentsTooShort(const Entry& entry, const Geometry& g, uint32_t outputRate);

    // Operations, as the module answers them. `now` is the host timer in ms.
    bool Load(const Entry* entry, const Geometry& g, double master);
    bool Unload();
    bool Play();
    bool Stop();
    bool Resume();
    bool Seek(uint32_t frame);
    bool SetLoopStart(uint32_t frame);
    bool SetLoopEnd(uint32_t frame);
    bool Fade(int32_t ms, int32_t percent, bool stop, double master, int32_t fadeType,
              uint32_t now);
    void StopFade(double master, int32_t fadeType);
    void ApplyMaster(double master, int32_t fadeType);
    // Ends the fade when the timer has reached its end; true when it ended.
    bool FadeDue(uint32_t now, double master, int32_t fadeType);

    // Plays `outputFrames` frames of the device at `outputRate`, appending the bytes the
    // buffer plays. With `earlyStop` the buffer stops after the end of the music at the
    // end of the segment holding the last music frame rather than one segment later.
    void Advance(uint32_t outputFrames, uint32_t outputRate, bool earlyStop,
                 std::vector<uint8_t>& played);

    // Queries. Position and PositionMs record the position they report, as the module does.
    bool IsPlaying() const { return m_Loaded && m_Playing; }
    bool IsFading() const { return m_Fading; }
    bool Loaded() const { return m_Loaded; }
    uint32_t Position();
    int32_t PositionMs();
    uint32_t Length() const { return m_Entry ? m_Entry->frames : 0; }
    int32_t LengthMs() const;
    // The allowed device volume: exactly m_Volume, or a range while a fade runs.
    void VolumeRange(double master, int32_t& low, int32_t& high) const;

    int32_t loopCount = 0;  // the host's loop count, handed to the reader at Play

private:
    // The reader: pulls `count` frames into `out`, wrapping while passes remain. False
    // when the music ended (the rest is silence); `wrapped` when it went to the loop start.
    bool Pull(uint32_t count, int32_t* out, uint32_t& delivered, bool& wrapped);
    bool FillInitial();
    void FillSegment(uint32_t segment, bool& wrapped);
    void Notify(uint32_t segment, bool earlyStop);
    bool PrimeAt(uint32_t frame);
    bool PrimeToContinue(uint32_t frame);
    void RefreshUnplayedRing();
    bool Restart();
    void StopBuffer();
    void EndFade(double master, int32_t fadeType);
    void ApplyLevel(double level, double master, int32_t fadeType);
    uint32_t FrameBytes() const { return m_Entry ? m_Entry->frameBytes : 0; }

    const Entry* m_Entry = nullptr;  // the last entry opened, loaded or not
    bool m_Loaded = false;

    // Reader.
    uint32_t m_Pos = 0;
    uint32_t m_LoopStartBytes = 0;
    uint32_t m_LoopEnd = 0;  // frames
    int32_t m_Passes = 1;

    // Ring.
    uint32_t m_Segments = 0;
    uint32_t m_SegmentFrames = 0;
    std::vector<int32_t> m_Ring;
    std::vector<char> m_Known;  // the segment's origin is known (filled since the last first fill)
    uint32_t m_Next = 0;        // the segment the next refill writes
    bool m_DataEnded = false;
    int32_t m_StopAfter = -1;    // the notification that stops the buffer after the end
    int32_t m_LastSegment = -1;  // the segment holding the last music frame
    bool m_Fresh = false;        // the ring's first frame is what playback begins with
    bool m_FillHitEnd = false;
    uint32_t m_RingStart = 0;

    // Buffer.
    bool m_Playing = false;
    uint32_t m_Cursor = 0;
    uint64_t m_Phase = 0;
    bool m_ReachedEnd = false;
    bool m_StoppedByFade = false;
    bool m_Primed = false;
    uint32_t m_LastPosition = 0;

    // Volume and fade.
    double m_Level = 1.0;
    int32_t m_Volume = 0;  // what the buffer was last set to
    bool m_Fading = false;
    int32_t m_FadeMs = 0;
    double m_FadeFrom = 1.0, m_FadeTo = 1.0;
    bool m_FadeStop = false;
    uint32_t m_FadeStart = 0;
};

}  // namespace sonaflux::model
