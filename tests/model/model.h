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
#include <utility>
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

// One event as MusicSequence::PollEvent hands it out, with the count of frames written
// since the first fill at which it is heard (-1: heard before a later first fill).
struct Event {
    int64_t at = 0;
    int32_t kind = 0;
    int32_t music = 0;
    uint32_t frame = 0;
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
    bool Load(const Entry* entry, int32_t music, const Geometry& g, double master);
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
    // buffer plays, and to `mixed` one flag a byte: 1 for a byte of a crossfaded sample,
    // which the module may round differently (within 1 LSB). With `earlyStop` the buffer
    // stops after the end of the music at the end of the segment holding the last music
    // frame rather than one segment later.
    void Advance(uint32_t outputFrames, uint32_t outputRate, bool earlyStop,
                 std::vector<uint8_t>& played, std::vector<uint8_t>& mixed);
    // Bytes of one sample of the loaded entry.
    uint32_t SampleBytes() const { return m_Entry ? m_Entry->bits / 8 : 1; }

    // MusicSequence (model_sequence.cpp). `entry` is null for an unknown music number.
    bool QueuePiece(const Entry* entry, int32_t music, int32_t loops, int32_t start, bool replace);
    int32_t ClearQueue();
    int32_t QueuedCount() const;
    int32_t HeardMusic() const;
    bool SetMarker(int32_t music, int32_t frame);
    int32_t ClearMarkers();
    bool PollEvent(Event& event);
    uint32_t LostEvents() const { return m_Lost; }
    // SwitchTo with `when` (0 now, 1 at a frame, 2 at the loop, 3 on the grid), crossfading
    // over `crossfadeMs` (0: a plain cut).
    enum class Switch { Refused, Taken, LeftOut };
    // What SwitchTo answers, without doing it: LeftOut where the model does not state the
    // outcome (the cursor on silence or in a segment not written since the first fill).
    Switch SwitchOutcome(const Entry* entry, int32_t start, int32_t when, int32_t frame,
                         int32_t grid, int32_t crossfadeMs);
    // Takes a switch SwitchOutcome calls Taken; false when its point is not written and the
    // ring already holds the end of the music (nothing can follow it then).
    bool SwitchTo(const Entry* entry, int32_t music, int32_t loops, int32_t start, int32_t when,
                  int32_t frame, int32_t grid, int32_t crossfadeMs);

    // Queries. Position and PositionMs record the position they report, as the module does.
    bool IsPlaying() const { return m_Loaded && m_Playing; }
    bool IsFading() const { return m_Fading; }
    bool Loaded() const { return m_Loaded; }
    uint32_t Position();
    int32_t PositionMs();
    uint32_t Length() const;
    int32_t LengthMs() const;
    // The allowed device volume: exactly m_Volume, or a range while a fade runs.
    void VolumeRange(double master, int32_t& low, int32_t& high) const;

    int32_t loopCount = 0;  // the host's loop count, handed to the reader at Play

private:
    // One frame of the ring: the music frame it holds (kSilence), the piece it belongs to
    // and where it stands in the count of frames written since the first fill.
    struct Cell {
        int32_t frame = kSilence;
        uint32_t slot = 0;  // 0 the loaded piece, else the id of a piece queued
        int32_t music = 0;
        const Entry* entry = nullptr;
        int64_t at = 0;
        bool wrap = false;   // the first frame after a loop wrap
        int32_t passes = 1;  // the passes its reader had left when it wrote the frame
        // Under a crossfade: frame `mixAt` of `mixOf`, with the piece left's frame `mixFrame`
        // of `mixEntry` (kSilence after its end) mixed in. mixOf 0: no crossfade.
        uint32_t mixAt = 0, mixOf = 0;
        int32_t mixFrame = kSilence;
        const Entry* mixEntry = nullptr;
    };
    // A piece's reader: position, loop start (bytes) and end (frames), passes left.
    struct Reader {
        const Entry* entry = nullptr;
        int32_t music = 0;
        uint32_t slot = 0;
        uint32_t pos = 0;
        uint32_t loopStartBytes = 0;
        uint32_t loopEnd = 0;
        int32_t passes = 1;
    };
    struct Piece {
        const Entry* entry;
        int32_t music;
        int32_t loops;
        uint32_t start;
        uint32_t id;
    };

    // The reader: pulls up to `count` frames into `out`, wrapping while passes remain and
    // going on into the next held piece at the end of the last pass; answers the frames
    // delivered (fewer when the music ended; the rest is silence). `wrapped` when a
    // reader went to its loop start.
    uint32_t Pull(uint32_t count, Cell* out, bool& wrapped);
    bool JoinNext();
    // Releases the pieces joined before the one written that no frame of the ring holds.
    void ReleaseLeft();
    void PushPiece(const Entry* entry, int32_t music, int32_t loops, int32_t start);
    // Frames the reader may still write before an armed switch point (kNever: none).
    uint32_t CutBefore(const Reader& r) const;
    void FillFrom(uint32_t segment, uint32_t within, bool& wrapped);
    int64_t FindPoint(int32_t when, int32_t music, uint32_t target, int64_t from) const;
    void RewriteFrom(int64_t at, uint32_t mixFrames);
    Reader& Writer() { return m_Writing == 0 ? m_Main : m_Joined; }
    void Note(int64_t at, int32_t kind, int32_t music, uint32_t frame);
    void NoteFrame(const Cell& cell, bool afterWrap);
    const Cell* HeardCell() const;
    int64_t Played() const;
    void RestartEvents();
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

    // Readers: the loaded piece's, and that of the held piece being written.
    Reader m_Main;
    Reader m_Joined;
    std::vector<Piece> m_Pieces;  // held after the loaded one
    uint32_t m_Writing = 0;       // pieces held that were joined since the first fill
    uint32_t m_LastId = 0;
    int32_t m_Music = 0;  // the loaded music number

    // Events.
    std::vector<Event> m_Events;  // noted, in the order they are heard
    uint32_t m_Lost = 0;
    std::vector<std::pair<int32_t, uint32_t>> m_Markers;
    int64_t m_Written = 0;  // frames written since the first fill
    uint32_t m_LastNoted = 0;
    // A switch point not yet written: the writer stops reader `slot` there.
    struct Cut {
        bool armed = false;
        uint32_t slot = 0;
        int32_t when = 0;
        uint32_t target = 0;  // frame
        uint32_t mixFrames = 0;
    } m_Cut;
    // A crossfade under way: the piece left, read on by a reader of its own from the switch
    // point, mixed under the next `frames - done` music frames written.
    struct Mix {
        bool on = false;
        bool ended = false;
        Reader out;
        uint32_t done = 0, frames = 0;
    } m_Mix;
    // Starts the crossfade of a switch (none for 0 frames) with the piece left at `out`.
    void StartMix(const Reader& out, bool ended, uint32_t frames);
    void MixUnder(Cell& cell);

    // Ring.
    uint32_t m_Segments = 0;
    uint32_t m_SegmentFrames = 0;
    std::vector<Cell> m_Ring;
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
