// Where the mix goes: 16-bit stereo frames, interleaved, at the output rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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

// One opened audio device that pulls the mix through the render function it was opened
// with, on a thread of its own, from Start until Stop has returned.
class OutputPort {
public:
    virtual ~OutputPort() = default;  // closes the device
    virtual void Start() = 0;
    virtual void Stop() = 0;
    // The system removed the device: it pulls no more.
    virtual bool Lost() const = 0;
};
// Opens the default device; null when none opens now.
using OpenPort = std::function<std::unique_ptr<OutputPort>(Sink::RenderFn render)>;

// A pulling sink that survives its device: when the device is lost it keeps the clock
// running (a thread renders the mix at the output rate, into nothing) and opens the default
// device again every `retryMs`, playing to it as soon as one opens. It says each of the
// two once, through `say` (stderr when empty). Null when no device opens at first.
std::unique_ptr<Sink> MakeRecoveringSink(uint32_t rate, uint32_t periodFrames, OpenPort open,
                                         std::function<void(const char*)> say = {},
                                         uint32_t retryMs = 250);

std::unique_ptr<Sink> MakeWavSink(const std::string& path, uint32_t rate);
// Null when SDL2 is not built in or no audio device opens. `pull`: the device's audio
// callback pulls blocks of about `periodFrames` frames (the real-time clock); otherwise the
// mix written is queued on the device (the manual clock).
std::unique_ptr<Sink> MakeSdlSink(uint32_t rate, uint32_t periodFrames, bool pull);

}  // namespace softds::detail
