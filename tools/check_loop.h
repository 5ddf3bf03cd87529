// sonaflux-play --check-loop: renders the loop seam of a piece through the module (on
// softds's manual clock at the music's own rate, so nothing is resampled) and measures it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "play_session.h"
#include "play_source.h"

namespace sfplay {

// A seam scores above this: it clicks (exit status 1).
constexpr double kClickThreshold = 4.0;

struct SeamMeasure {
    // The seam's deviation from the step the signal was taking (the second difference
    // across it), against the root mean square of the same deviation everywhere else in
    // the window: about 1 where the seam joins as the music flows, far more for a click.
    double score = 0.0;
    // The seam continues the signal as its own samples do: its jump is no larger than the
    // largest ordinary step of the window, and its deviation no larger than the ordinary
    // one (score at most 1). A repeated or skipped frame fails the second.
    bool continuous = true;
    int32_t jump = 0;         // largest |x[seam] - x[seam - 1]| of the channels
    int32_t largestStep = 0;  // largest ordinary step of the window
};

// Measures interleaved 16-bit `channels`-channel samples whose seam lies before frame
// `seam` (the first frame of the new pass).
SeamMeasure MeasureSeam(const std::vector<int16_t>& samples, uint32_t channels, uint32_t seam);

// An SVG of the samples, one lane per channel, the seam marked.
std::string SeamSvg(const std::vector<int16_t>& samples, uint32_t channels, uint32_t seam,
                    uint32_t rate);

// Renders and checks the seam of `src` (its loop points settled); writes the SVG to
// `svgPath`. Answers the exit status.
int CheckLoop(const PlayOptions& o, const SessionIo& io, MusicModule& module, const Source& src,
              const std::string& svgPath);

}  // namespace sfplay
