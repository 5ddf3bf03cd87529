// One run of sonaflux-play: prepares the source, opens the output, drives the module.
#pragma once

#include <atomic>
#include <functional>
#include <ostream>

#include "play_options.h"

namespace sfplay {

enum ExitCode : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitInterrupted = 130 };

struct SessionIo {
    std::ostream& out;
    std::ostream& err;
    bool terminal = false;                         // show the live progress line
    const std::atomic<int>* interrupts = nullptr;  // raised once per Ctrl-C
    // Called with the playback time (seconds) before each step of playback; lets a test
    // change the world at a chosen moment of the music.
    std::function<void(double)> onStep;
};

// Plays (or renders) as the options say and answers the exit status. Everything the
// module and the device were given is released before it returns. A render goes to a
// temporary file beside the target, which replaces the target only when the render
// succeeded. Any Ctrl-C during the session makes the status kExitInterrupted.
int RunSession(const PlayOptions& options, const SessionIo& io);

}  // namespace sfplay
