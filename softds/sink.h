// Where the mix goes: 16-bit stereo frames, interleaved, at the output rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "softds/softds.h"

namespace softds::detail {

class Sink {
public:
    // Fills `count` frames at `out` with the next block of the mix.
    using RenderFn = std::function<void(int16_t* out, size_t count)>;

    virtual ~Sink() = default;
    // Push: the mix as the clock makes it. Called by the thread that renders, under the
    // render lock (never under the device lock).
    virtual void Write(const int16_t* frames, size_t count) = 0;
    // Pull: a sink with an audio thread of its own asks for each block through `render`
    // from Start on; once Stop has returned it asks no more. Such a sink is the real-time
    // clock: the device runs no clock thread of its own.
    virtual bool Pulls() const { return false; }
    virtual void Start(RenderFn /*render*/) {}
    virtual void Stop() {}
    virtual void Close() = 0;
};

std::unique_ptr<Sink> MakeWavSink(const std::string& path, uint32_t rate);
// Null when SDL2 is not built in or no audio device opens. `pull`: the device's audio
// callback pulls blocks of about `periodFrames` frames (the real-time clock); otherwise the
// mix written is queued on the device (the manual clock).
std::unique_ptr<Sink> MakeSdlSink(uint32_t rate, uint32_t periodFrames, bool pull);

}  // namespace softds::detail
