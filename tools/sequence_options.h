// What the command line asks of pieces joined to sonaflux-play's music: files queued after
// the first (--then), a switch (--switch, --switch-after) and the events (--events).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sonaflux/sonaflux.h"

namespace sfplay {

struct PieceOption {
    std::string file;
    int loops = 1;  // passes; 0 endless
};

struct SwitchOption {
    PieceOption piece;
    int32_t when = MusicSequence::kSwitchNow;
    uint32_t frame = 0;  // kSwitchAtFrame: the frame; kSwitchOnGrid: the grid's offset
    uint32_t grid = 0;   // kSwitchOnGrid: frames between lines
};

struct SequenceOptions {
    std::vector<PieceOption> then;  // queued in this order after the first piece
    std::optional<SwitchOption> switchTo;
    double switchAfter = 0;   // seconds of playback before SwitchTo is called
    int32_t crossfadeMs = 0;  // the switch crossfades over this long (0: a cut)
    bool events = false;      // print each event as it is heard
};

// Parsers of the option values: "FILE[@N]" and "FILE[@N]@WHEN" with WHEN one of now,
// loop, grid:G[:O], frame:F. False with what the option wants in `complaint`.
bool ParseThen(const std::string& value, SequenceOptions* o, std::string* complaint);
bool ParseSwitch(const std::string& value, SequenceOptions* o, std::string* complaint);
bool ParseSwitchAfter(const std::string& value, SequenceOptions* o, std::string* complaint);
bool ParseCrossfade(const std::string& value, SequenceOptions* o, std::string* complaint);

}  // namespace sfplay
