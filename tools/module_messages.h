// The module's messages as sonaflux-play relays them: each Japanese text followed by its
// English gloss. On Linux the module's message boxes and debugger lines are sent to a
// pipe of this program (the POSIX layer's SONAFLUX_REPORT_FD) and relayed from there; on
// Windows the module shows its own boxes and nothing is relayed.
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
    std::string text;  // UTF-8
};

// Relays the module's messages to `err` while it lives: boxes always, debugger lines only
// when `debugLines` is set; every message is also kept for the session to inspect.
class MessageRelay {
public:
    MessageRelay(std::ostream& err, bool debugLines);
    ~MessageRelay();
    MessageRelay(const MessageRelay&) = delete;
    MessageRelay& operator=(const MessageRelay&) = delete;

    // Waits until every message the module wrote before this call has been relayed.
    void Flush();
    // Relays what has arrived, without waiting.
    void Pump();
    // The messages relayed so far (call Flush first to include the latest).
    std::vector<ModuleMessage> Messages() const;
    // Whether messages are relayed at all on this platform.
    static bool Available();

    struct Impl;

private:
    std::shared_ptr<Impl> m_Impl;
};

}  // namespace sfplay
