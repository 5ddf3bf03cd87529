// What the module read of a music image: sonaflux-play loads it once on a silent softds
// device and asks the player (MusicSourceInfo, MusicFormatInfo), so that the program shows
// and plans by the module's own reading instead of parsing files itself.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "module_messages.h"
#include "sonaflux/sonaflux.h"

namespace sfplay {

struct MusicMarker {
    uint32_t frame = 0;
    std::string label;
};

struct MusicReport {
    std::string container, codec;
    uint32_t storedRate = 0, storedChannels = 0, storedBits = 0;
    bool storedFloat = false;
    uint32_t rate = 0, channels = 0, bits = 0;  // the buffer's format
    uint32_t frames = 0;
    bool fileLoop = false;  // the file stores a loop the module accepted
    uint32_t loopStart = 0, loopEnd = 0;
    bool loopApplies = false;  // the module made it the stream's loop at Load
    std::vector<MusicMarker> markers;
};

// Why a load failed, as the module's messages tell: the id of the message that gives the
// cause ("NoAudio", "UnknownImage", ...; empty when none did) and its English text.
struct LoadFailure {
    std::string id;
    std::string cause;
};

// The cause of a failed load among the module's messages since message `from` of `relay`
// (boxes and debugger lines; the generic "loading failed" ones name no cause).
LoadFailure FailureSince(MessageRelay& relay, size_t from);

// Loads (into player 0 of `module`, on a silent device of its own) bytes [offset, offset + size) of
// `path` through the module and reads what it found. The module's messages go through `relay`;
// with `loadFollows` (the music is loaded again to play) the debugger lines of a read that
// succeeds are left to that load, so that none shows twice. False when the module cannot
// load it; `failure` then says why.
bool ReadMusic(MusicModule& module, const std::string& path, uint32_t offset, uint32_t size,
               bool loadFollows, MessageRelay& relay, MusicReport* report, LoadFailure* failure);

// The report as --info prints it.
void PrintReport(std::ostream& out, const std::string& label, const MusicReport& report);

// "1:02.50"; 0:00.00 for what is not a time (a negative or non-finite value).
std::string FormatTime(double seconds);

}  // namespace sfplay
