// Pieces joined to sonaflux-play's music through the player's MusicSequence: files queued
// after the first (--then), one switch to another file at a point of the music heard
// (--switch), and a line per event as it is heard (--events).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "play_source.h"
#include "sequence_options.h"
#include "sonaflux/sonaflux.h"

namespace sfplay {

class MessageRelay;

// The pieces of a session beyond the first, from reading their files to the events heard.
class Sequence {
public:
    // Reads the files the options name through `module` (as the first file is read).
    // False with the reason.
    bool Prepare(const SequenceOptions& o, MusicModule& module, MessageRelay& relay,
                 std::string* error);
    bool Active() const { return !m_Pieces.empty() || m_Options.events; }
    // When the whole chain ends, in seconds of playback, given when the first piece ends
    // (none: endless). None when it never ends or a switch makes it unknown.
    std::optional<double> ChainEnd(std::optional<double> firstEnd) const;
    // Whether the music may never end by itself (a render then needs a length).
    bool Endless(bool firstEndless) const;
    void Announce(std::ostream& out) const;

    // Registers the pieces as music 1, 2, ... and queues those of --then, after the first
    // piece was loaded and before Play. False after saying why on `err` (with the module's
    // message relayed first).
    // `rate` is the first piece's, which every piece shares.
    bool Attach(MusicModule& module, MusicPlayer& player, uint32_t rate, MessageRelay& relay,
                std::ostream& err);
    // Each step of playback: makes the switch when its time came, prints the events heard.
    // False after saying why the module refused the switch. `overProgress`: a progress
    // line stands on the terminal, to be blanked before an event's line.
    bool Step(double now, MessageRelay& relay, std::ostream& out, std::ostream& err,
              bool overProgress);
    // The next moment playback must stop for this sequence (the switch's time), if any.
    std::optional<double> NextWake(double now) const;
    // Prints the events still due, then forgets the player (it goes with the module).
    void Finish(std::ostream& out);

private:
    void PrintEvents(std::ostream& out, bool overProgress);

    SequenceOptions m_Options;
    std::vector<Source> m_Pieces;  // --then's, then the switch's
    MusicSequence* m_Sequence = nullptr;
    uint32_t m_Rate = 1;
    bool m_Switched = false;
    uint32_t m_Lost = 0;  // events lost, as last reported
};

}  // namespace sfplay
