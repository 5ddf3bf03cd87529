// The host operations that the model check drives, one enum entry each, so that later
// operations (queued pieces, switches, events) join by an entry here, a case in the
// driver's and the model's dispatch, and a weight in the generator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonaflux::model {

enum class Op : uint8_t {
    Settings,  // a: NOTIFY_MAX, b: RING_BUFFER_BLOCK_SIZE, c: FADETYPE; then re-read
    Advance,   // a: output frames of the manual clock
    Load,      // a: music number
    Unload,
    Play,
    Stop,
    Pause,
    Resume,
    Seek,          // a: frame
    SetLoopStart,  // a: frame
    SetLoopEnd,    // a: frame
    SetLoopCount,  // a: passes
    Fade,          // a: ms, b: percent, c: stop at end
    StopFade,
    Master,  // a: master volume in percent
    // MusicSequence
    QueuePiece,    // a: music number, b: loop count, c: start frame
    ReplaceQueue,  // as QueuePiece
    ClearQueue,
    SetMarker,  // a: music number, b: frame
    ClearMarkers,
    PollEvents,  // polls until nothing is due, comparing every event
    SwitchTo,    // a: music number, b: loop count, c: start frame, d: when, e: frame, f: grid,
                 // g: crossfade ms
};

struct Step {
    Op op;
    int32_t player = 0;
    int32_t a = 0, b = 0, c = 0;
    int32_t d = 0, e = 0, f = 0, g = 0;  // SwitchTo's when, frame, grid and crossfade
};

using Sequence = std::vector<Step>;

const char* OpName(Op op);
// `{Op::Seek, 1, 250, 0, 0}` (SwitchTo with its four more): one step as a line of a regression
// test.
std::string Describe(const Step& step);

}  // namespace sonaflux::model
