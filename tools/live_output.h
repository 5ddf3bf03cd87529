// The real-time output that sonaflux-play hands the module: softds with its SDL2 sink on
// POSIX (live_output_posix.cpp), the system's DirectSound on Windows (live_output_win32.cpp).
#pragma once

#include <memory>
#include <string>

struct IDirectSound;

namespace sfplay {

class LiveOutput {
public:
    virtual ~LiveOutput() = default;
    virtual ::IDirectSound* Device() = 0;
    virtual const char* Name() const = 0;
};

// Null, with the reason in `why`, when no audio device can be opened. Unless `verbose`,
// what the audio system itself prints while it looks for a device (ALSA's complaints
// about missing cards, say) is kept off the terminal.
std::unique_ptr<LiveOutput> OpenLiveOutput(bool verbose, std::string* why);

}  // namespace sfplay
