#include "play_sequence.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "module_messages.h"

namespace sfplay {

namespace {

constexpr long long kMaxFrame = 0x7FFFFFFF;  // the module takes frames as int

// A whole decimal number in [low, high], digits only.
bool ParseCount(const std::string& text, long long low, long long high, long long* value) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v < low || v > high) return false;
    *value = v;
    return true;
}

// "FILE" or "FILE@N": a suffix of digits after the last '@' is the pass count, so a file
// whose name holds an '@' elsewhere still plays.
bool ParsePiece(const std::string& text, PieceOption* piece) {
    const size_t at = text.rfind('@');
    long long passes = 0;
    if (at != std::string::npos && ParseCount(text.substr(at + 1), 0, 1000000, &passes)) {
        piece->file = text.substr(0, at);
        piece->loops = static_cast<int>(passes);
    } else {
        piece->file = text;
        piece->loops = 1;
    }
    return !piece->file.empty();
}

// now | loop | grid:G[:O] | frame:F
bool ParseWhen(const std::string& text, SwitchOption* s) {
    long long a = 0, b = 0;
    if (text == "now") {
        s->when = MusicSequence::kSwitchNow;
    } else if (text == "loop") {
        s->when = MusicSequence::kSwitchAtLoop;
    } else if (text.rfind("frame:", 0) == 0) {
        if (!ParseCount(text.substr(6), 0, kMaxFrame, &a)) return false;
        s->when = MusicSequence::kSwitchAtFrame;
        s->frame = static_cast<uint32_t>(a);
    } else if (text.rfind("grid:", 0) == 0) {
        const std::string rest = text.substr(5);
        const size_t colon = rest.find(':');
        if (!ParseCount(rest.substr(0, colon), 1, kMaxFrame, &a)) return false;
        if (colon != std::string::npos && !ParseCount(rest.substr(colon + 1), 0, kMaxFrame, &b))
            return false;
        s->when = MusicSequence::kSwitchOnGrid;
        s->grid = static_cast<uint32_t>(a);
        s->frame = static_cast<uint32_t>(b);
    } else {
        return false;
    }
    return true;
}

const char* KindName(int32_t kind) {
    switch (kind) {
        case MusicEvent::kLoopWrap:
            return "loop-wrap";
        case MusicEvent::kPieceEnd:
            return "piece-end";
        case MusicEvent::kPieceStart:
            return "piece-start";
        case MusicEvent::kMarker:
            return "marker";
        default:
            return "unknown";
    }
}

std::string FrameTime(uint32_t frame, uint32_t rate) {
    const long long cs = static_cast<long long>(frame) * 100 / rate;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld.%02lld", cs / 6000, (cs / 100) % 60, cs % 100);
    return text;
}

// Seconds a piece plays: its first pass from frame 0, later ones over the loop the module
// applied at its Load.
std::optional<double> PieceSeconds(const Source& src, int loops) {
    if (loops == 0) return std::nullopt;
    const MusicReport& m = src.music;
    const bool loop = m.fileLoop && m.loopApplies;
    const double end = loop ? m.loopEnd : m.frames;
    const double later = end - (loop ? m.loopStart : 0);
    return m.rate ? std::optional<double>((end + (loops - 1) * later) / m.rate) : std::nullopt;
}

}  // namespace

bool ParseThen(const std::string& value, SequenceOptions* o, std::string* complaint) {
    PieceOption piece;
    if (!ParsePiece(value, &piece)) {
        *complaint = "wants FILE or FILE@PASSES, not '" + value + "'";
        return false;
    }
    o->then.push_back(piece);
    return true;
}

bool ParseSwitch(const std::string& value, SequenceOptions* o, std::string* complaint) {
    SwitchOption s;
    const size_t at = value.rfind('@');
    if (at == std::string::npos || !ParseWhen(value.substr(at + 1), &s) ||
        !ParsePiece(value.substr(0, at), &s.piece)) {
        *complaint =
            "wants FILE[@PASSES]@WHEN (WHEN: now, loop, grid:G[:O], frame:F), not '" + value + "'";
        return false;
    }
    o->switchTo = s;
    return true;
}

bool ParseSwitchAfter(const std::string& value, SequenceOptions* o, std::string* complaint) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(value.c_str(), &end);
    if (value.empty() || errno != 0 || end != value.c_str() + value.size() || !std::isfinite(v) ||
        v < 0.0 || v > 86400.0) {
        *complaint = "wants seconds (0 or more), not '" + value + "'";
        return false;
    }
    o->switchAfter = v;
    return true;
}

bool ParseCrossfade(const std::string& value, SequenceOptions* o, std::string* complaint) {
    char* end = nullptr;
    errno = 0;
    const long ms = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || errno != 0 || end != value.c_str() + value.size() || ms < 0 ||
        ms > MusicSequence::kMaxCrossfadeMs) {
        *complaint = "wants milliseconds (0 to " + std::to_string(MusicSequence::kMaxCrossfadeMs) +
                     "), not '" + value + "'";
        return false;
    }
    o->crossfadeMs = static_cast<int32_t>(ms);
    return true;
}

bool Sequence::Prepare(const SequenceOptions& o, MusicModule& module, MessageRelay& relay,
                       std::string* error) {
    m_Options = o;
    std::vector<PieceOption> pieces = o.then;
    if (o.switchTo) pieces.push_back(o.switchTo->piece);
    for (const PieceOption& piece : pieces) {
        PlayOptions file;
        file.file = piece.file;
        Source src;
        TempFile none;
        if (!PrepareSource(file, &src, &none, module, relay, error)) return false;
        m_Pieces.push_back(src);
    }
    return true;
}

std::optional<double> Sequence::ChainEnd(std::optional<double> firstEnd) const {
    if (m_Options.switchTo) return std::nullopt;
    std::optional<double> end = firstEnd;
    for (size_t i = 0; i < m_Options.then.size() && end; ++i) {
        const std::optional<double> piece = PieceSeconds(m_Pieces[i], m_Options.then[i].loops);
        end = piece ? std::optional<double>(*end + *piece) : std::nullopt;
    }
    return end;
}

bool Sequence::Endless(bool firstEndless) const {
    if (m_Options.switchTo) return firstEndless || m_Options.switchTo->piece.loops == 0;
    bool endless = firstEndless;
    for (const PieceOption& piece : m_Options.then) endless = endless || piece.loops == 0;
    return endless;
}

void Sequence::Announce(std::ostream& out) const {
    auto passes = [](int loops) {
        return loops == 0 ? std::string("endless") : std::to_string(loops) + " pass(es)";
    };
    for (size_t i = 0; i < m_Options.then.size(); ++i) {
        out << "then " << m_Pieces[i].label << " (music " << i + 1 << "), "
            << passes(m_Options.then[i].loops) << "\n";
    }
    if (const auto& s = m_Options.switchTo) {
        out << "switch to " << m_Pieces.back().label << " (music " << m_Pieces.size() << "), "
            << passes(s->piece.loops) << ", after " << m_Options.switchAfter << " s\n";
    }
}

bool Sequence::Attach(MusicModule& module, MusicPlayer& player, uint32_t rate, MessageRelay& relay,
                      std::ostream& err) {
    m_Rate = rate;
    m_Sequence = static_cast<MusicSequence*>(player.GetInterface(&IID_MusicSequence));
    if (m_Sequence == nullptr) {
        err << "sonaflux-play: the player offers no MusicSequence\n";
        return false;
    }
    for (size_t i = 0; i < m_Pieces.size(); ++i) {
        const Source& p = m_Pieces[i];
        const int music = static_cast<int>(i) + 1;
        if (!module.SetPlayInfo(music, p.path.c_str(), static_cast<int>(p.offset),
                                static_cast<int>(p.size))) {
            relay.Flush();
            err << "sonaflux-play: the module refused " << p.label << "\n";
            return false;
        }
        if (i < m_Options.then.size() &&
            !m_Sequence->QueuePiece(music, m_Options.then[i].loops, 0)) {
            relay.Flush();
            err << "sonaflux-play: the module refused to queue " << p.label
                << " (its message above says why)\n";
            return false;
        }
    }
    return true;
}

bool Sequence::Step(double now, MessageRelay& relay, std::ostream& out, std::ostream& err,
                    bool overProgress) {
    if (m_Sequence == nullptr) return true;
    if (m_Options.switchTo && !m_Switched && now >= m_Options.switchAfter) {
        m_Switched = true;
        const SwitchOption& s = *m_Options.switchTo;
        const int music = static_cast<int>(m_Pieces.size());
        if (!m_Sequence->SwitchTo(music, s.piece.loops, 0, s.when, static_cast<int>(s.frame),
                                  static_cast<int>(s.grid), m_Options.crossfadeMs)) {
            relay.Flush();
            err << "sonaflux-play: the module refused the switch to " << m_Pieces.back().label
                << " (its message above says why)\n";
            return false;
        }
    }
    PrintEvents(out, overProgress);
    return true;
}

std::optional<double> Sequence::NextWake(double now) const {
    if (m_Options.switchTo && !m_Switched && m_Options.switchAfter > now)
        return m_Options.switchAfter;
    return std::nullopt;
}

void Sequence::Finish(std::ostream& out) {
    if (m_Sequence != nullptr) PrintEvents(out, false);
    m_Sequence = nullptr;
}

void Sequence::PrintEvents(std::ostream& out, bool overProgress) {
    MusicEvent e;
    while (m_Sequence->PollEvent(&e)) {
        if (!m_Options.events) continue;
        if (overProgress) out << "\r" << std::string(79, ' ') << "\r";
        out << "event " << KindName(e.kind) << " music " << e.musicNumber << " frame " << e.frame
            << " (" << FrameTime(e.frame, m_Rate) << ")\n";
    }
    const uint32_t lost = m_Sequence->GetLostEventCount();
    if (m_Options.events && lost > m_Lost) {
        out << "events lost: " << lost - m_Lost << "\n";
        m_Lost = lost;
    }
}

}  // namespace sfplay
