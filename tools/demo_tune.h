// The built-in demo piece of sonaflux-play: a short loopable tune made in code, so that the
// player needs no asset. 44.1 kHz, 16-bit stereo, a one-bar pickup and a two-bar loop.
#pragma once

#include <cstdint>
#include <vector>

namespace sfplay {

struct DemoTune {
    std::vector<uint8_t> image;  // a canonical RIFF/WAVE image
    uint32_t frames = 0;         // sample frames of music
    uint32_t loopStart = 0;      // first frame of the loop (after the pickup)
    uint32_t loopEnd = 0;        // frame after the last one of the loop (= frames)
    uint32_t rate = 44100;
};

DemoTune MakeDemoTune();

}  // namespace sfplay
