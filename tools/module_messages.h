// The module's messages as sonaflux-play relays them: each Japanese text followed by its
// English gloss. The module hands every message box and debugger line to this program
// through its diagnostics route (MusicDiagnostics), on both targets, and shows no box of
// its own while a relay lives.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace sfplay {

// The English gloss of a module message (UTF-8), with the values the message shows put
// in; empty for a text that is no module message.
std::string GlossOf(const std::string& message);

// Whether a module message reports that the music file could not be read.
bool IsReadFailure(const std::string& message);

struct ModuleMessage {
    bool box = false;  // a message box; otherwise a debugger line
    std::string id;    // the module's stable name of the message ("" if none)
    std::string text;  // UTF-8
};

// Relays the module's messages to `err` while it lives: boxes always, debugger lines only
// when `debugLines` is set; every message is also kept for the session to inspect. Where
// the module writes its debugger lines to stderr itself (POSIX, SONAFLUX_DEBUG set), only
// their English gloss is added, so that no line shows twice.
class MessageRelay {
public:
    MessageRelay(std::ostream& err, bool debugLines);
    ~MessageRelay();
    MessageRelay(const MessageRelay&) = delete;
    MessageRelay& operator=(const MessageRelay&) = delete;

    // Writes every message the module reported before this call.
    void Flush();
    // Relays what has arrived, without waiting.
    void Pump();
    // The messages relayed so far (call Flush first to include the latest).
    std::vector<ModuleMessage> Messages() const;
    // Whether messages are relayed at all on this platform.
    static bool Available();

    // A read of the music that a load will repeat (the program reads a file once to learn
    // what it holds, then loads it again to play it): what the module reports in between
    // is held back. EndPreview(true) writes it; EndPreview(false) drops its debugger lines,
    // which the load prints again, and writes its boxes. On the session's thread only.
    void BeginPreview();
    void EndPreview(bool show);

    struct Impl;

private:
    std::shared_ptr<Impl> m_Impl;
};

}  // namespace sfplay
