// Where the mix goes: 16-bit stereo frames, interleaved, at the output rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "softds/softds.h"

namespace softds::detail {

class Sink {
public:
    virtual ~Sink() = default;
    // Called with the device lock held.
    virtual void Write(const int16_t* frames, size_t count) = 0;
    // True when the sink plays in real time, so that the real-time clock follows it.
    virtual bool PacesClock() const { return false; }
    // Frames handed over and not yet played.
    virtual size_t Backlog() const { return 0; }
    virtual void Close() = 0;
};

std::unique_ptr<Sink> MakeWavSink(const std::string& path, uint32_t rate);
// Null when SDL2 is not built in or no audio device opens.
std::unique_ptr<Sink> MakeSdlSink(uint32_t rate, uint32_t periodFrames);

}  // namespace softds::detail
