// The command line of sonaflux-play.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sequence_options.h"

namespace sfplay {

struct PlayOptions {
    std::string file;  // empty: the built-in demo tune
    std::optional<uint32_t> offset;
    std::optional<uint32_t> size;
    std::optional<int> loops;  // passes; 0 = endless. Default: 1 for a file, 0 for the demo
    std::optional<uint32_t> loopStart;
    std::optional<uint32_t> loopEnd;
    std::optional<uint32_t> start;  // first frame to play (a seek before playing)
    int volume = 100;               // percent, through an immediate fade
    int master = 100;               // percent, the module's master volume
    uint32_t fadeInMs = 0;
    uint32_t fadeOutMs = 0;
    std::optional<double> seconds;  // stop after this long
    std::string renderPath;         // render through the manual clock into this WAV file
    std::string fallbackPath = "sonaflux-play.wav";  // where to render without an audio device
    bool quiet = false;                              // no progress line
    bool verbose = false;                            // let the audio system print its own messages
    bool fileLoops = true;     // loop points stored in the file apply (--no-file-loops: not)
    uint32_t rate = 44100;     // a render's output rate (--rate)
    bool info = false;         // --info: print what the module read of FILE, play nothing
    bool checkLoop = false;    // --check-loop: render and measure the loop seam, play nothing
    std::string svgPath;       // where --check-loop draws the seam (default FILE-seam.svg)
    SequenceOptions sequence;  // --then, --switch, --switch-after, --events
};

enum class ParseResult { Run, Help, Error };

// Parses argv[1..]. Options take their value as the next argument or after '='.
ParseResult ParseArguments(int argc, const char* const* argv, PlayOptions* options,
                           std::string* error);

const char* UsageText();

}  // namespace sfplay
