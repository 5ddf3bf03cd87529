#include "play_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace sfplay {

namespace {

// A whole decimal number in [low, high], nothing else in the text.
bool ParseInteger(const std::string& text, long long low, long long high, long long* value) {
    if (text.empty() || text.size() > 19) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!(c >= '0' && c <= '9') && !(i == 0 && c == '-' && text.size() > 1)) return false;
    }
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || v < low || v > high) return false;
    *value = v;
    return true;
}

bool ParseSeconds(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0.0 ||
        v > 86400.0) {
        return false;
    }
    *value = v;
    return true;
}

constexpr long long kMaxFrame = 0x7FFFFFFF;  // the module takes frames and bytes as int

template <typename T>
void Assign(std::optional<T>* slot, long long n) {
    *slot = static_cast<T>(n);
}
template <typename T>
void Assign(T* slot, long long n) {
    *slot = static_cast<T>(n);
}

// Stores `value` into `slot` when it is a whole number in [low, high]; otherwise says what
// the option wants.
template <typename Slot>
bool SetInteger(const std::string& value, long long low, long long high, const char* what,
                Slot* slot, std::string* complaint) {
    long long n = 0;
    if (!ParseInteger(value, low, high, &n)) {
        *complaint = std::string("wants ") + what + ", not '" + value + "'";
        return false;
    }
    Assign(slot, n);
    return true;
}

bool SetPath(const std::string& value, std::string* slot, std::string* complaint) {
    if (value.empty()) {
        *complaint = "needs a file name";
        return false;
    }
    *slot = value;
    return true;
}

// An option that takes a value: its name and how the value is stored. False with the
// complaint (what follows the option's name in the error) when the value does not fit.
struct ValueOption {
    const char* name;
    bool (*set)(const std::string& value, PlayOptions& o, std::string* complaint);
};

const ValueOption kValueOptions[] = {
    {"--offset",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         // The module takes an entry's offset as 32 bits: a file over 4 GiB plays from any
         // offset below 4 GiB, and nothing past it can be named.
         return SetInteger(v, 0, 0xFFFFFFFFll,
                           "a byte offset below 4 GiB (0 to 4294967295; the module's offsets "
                           "are 32-bit and cannot reach further into a file)",
                           &o.offset, c);
     }},
    {"--size",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 1, kMaxFrame, "a byte count (1 to 2147483647)", &o.size, c);
     }},
    {"--loops",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 0, 1000000, "a pass count (0 = endless)", &o.loops, c);
     }},
    {"--loop-start",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 0, kMaxFrame, "a sample frame", &o.loopStart, c);
     }},
    {"--loop-end",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 0, kMaxFrame, "a sample frame", &o.loopEnd, c);
     }},
    {"--start",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 0, kMaxFrame, "a sample frame", &o.start, c);
     }},
    {"--volume",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 0, 100, "a percentage from 0 to 100", &o.volume, c);
     }},
    {"--master",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 0, 100, "a percentage from 0 to 100", &o.master, c);
     }},
    {"--fade-in",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 1, 3600000, "milliseconds (1 to 3600000)", &o.fadeInMs, c);
     }},
    {"--fade-out",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 1, 3600000, "milliseconds (1 to 3600000)", &o.fadeOutMs, c);
     }},
    {"--seconds",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         double s = 0.0;
         if (!ParseSeconds(v, &s)) {
             *c = "wants a positive number of seconds, not '" + v + "'";
             return false;
         }
         o.seconds = s;
         return true;
     }},
    {"--rate",
     [](const std::string& v, PlayOptions& o, std::string* c) {
         return SetInteger(v, 8000, 192000, "an output rate in Hz (8000 to 192000)", &o.rate, c);
     }},
    {"--render", [](const std::string& v, PlayOptions& o,
                    std::string* c) { return SetPath(v, &o.renderPath, c); }},
    {"--svg", [](const std::string& v, PlayOptions& o,
                 std::string* c) { return SetPath(v, &o.svgPath, c); }},
    {"--fallback-wav", [](const std::string& v, PlayOptions& o,
                          std::string* c) { return SetPath(v, &o.fallbackPath, c); }},
    {"--then", [](const std::string& v, PlayOptions& o,
                  std::string* c) { return ParseThen(v, &o.sequence, c); }},
    {"--switch", [](const std::string& v, PlayOptions& o,
                    std::string* c) { return ParseSwitch(v, &o.sequence, c); }},
    {"--switch-after", [](const std::string& v, PlayOptions& o,
                          std::string* c) { return ParseSwitchAfter(v, &o.sequence, c); }},
    {"--crossfade", [](const std::string& v, PlayOptions& o,
                       std::string* c) { return ParseCrossfade(v, &o.sequence, c); }},
};

// Options that take no value, spelled exactly.
struct Flag {
    const char* name;
    bool PlayOptions::*slot;
    bool value;
};

const Flag kFlags[] = {
    {"--no-file-loops", &PlayOptions::fileLoops, false},
    {"--info", &PlayOptions::info, true},
    {"--check-loop", &PlayOptions::checkLoop, true},
    {"--quiet", &PlayOptions::quiet, true},
    {"-q", &PlayOptions::quiet, true},
    {"--verbose", &PlayOptions::verbose, true},
    {"-v", &PlayOptions::verbose, true},
    {"--events", nullptr, true},
};

// Walks argv[1..] once; each Take* handles one kind of argument and answers false with
// `error` set when the command line is bad.
class ArgumentParser {
public:
    ArgumentParser(int argc, const char* const* argv) : m_Argc(argc), m_Argv(argv) {}

    ParseResult Parse(PlayOptions* options, std::string* error) {
        for (m_Next = 1; m_Next < m_Argc;) {
            const std::string arg = m_Argv[m_Next++];
            if (arg == "--help" || arg == "-h") return ParseResult::Help;
            if (!TakeArgument(arg)) break;
        }
        if (m_Error.empty()) CheckCombination();
        if (!m_Error.empty()) {
            *error = m_Error;
            return ParseResult::Error;
        }
        *options = m_Options;
        return ParseResult::Run;
    }

private:
    bool TakeArgument(const std::string& arg) {
        for (const Flag& f : kFlags) {
            if (arg == f.name) {
                bool& slot = f.slot ? m_Options.*f.slot : m_Options.sequence.events;
                slot = f.value;
                return true;
            }
        }
        if (arg == "--") return TakeEndOfOptions();
        if (arg.rfind("--", 0) == 0) return TakeValueOption(arg);
        if (arg.size() > 1 && arg[0] == '-') return Fail("unknown option " + arg);
        if (m_HaveFile)
            return Fail("more than one file given (" + m_Options.file + ", " + arg + ")");
        TakeFile(arg);
        return true;
    }

    // "--": the argument after it is the file, whatever it looks like.
    bool TakeEndOfOptions() {
        if (m_Next < m_Argc && !m_HaveFile) TakeFile(m_Argv[m_Next++]);
        if (m_Next < m_Argc) return Fail("more than one file given");
        return true;
    }

    // "--name=value" or "--name value".
    bool TakeValueOption(const std::string& arg) {
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const ValueOption* option = nullptr;
        for (const ValueOption& v : kValueOptions) {
            if (name == v.name) option = &v;
        }
        if (option == nullptr) return Fail("unknown option " + name);
        std::string value;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (m_Next < m_Argc) {
            value = m_Argv[m_Next++];
        } else {
            return Fail(name + " needs a value");
        }
        std::string complaint;
        if (!option->set(value, m_Options, &complaint)) return Fail(name + " " + complaint);
        return true;
    }

    void TakeFile(const std::string& file) {
        m_Options.file = file;
        m_HaveFile = true;
    }

    // What no single option can tell.
    void CheckCombination() {
        const PlayOptions& o = m_Options;
        if ((o.offset || o.size) && !m_HaveFile) {
            Fail("--offset and --size need a FILE");
        } else if (o.loopEnd && *o.loopEnd == 0) {
            Fail("--loop-end must be after frame 0");
        } else if (o.loopStart && o.loopEnd && *o.loopStart >= *o.loopEnd) {
            Fail("--loop-start must come before --loop-end");
        } else if (o.sequence.switchAfter > 0 && !o.sequence.switchTo) {
            Fail("--switch-after needs --switch");
        }
    }

    bool Fail(std::string error) {
        m_Error = std::move(error);
        return false;
    }

    const int m_Argc;
    const char* const* m_Argv;
    int m_Next = 1;
    PlayOptions m_Options;
    bool m_HaveFile = false;
    std::string m_Error;
};

}  // namespace

const char* UsageText() {
    return "usage: sonaflux-play [options] [FILE]\n"
           "Plays a music file (or a byte range of a larger file) through the Sonaflux\n"
           "module: RIFF/WAVE (PCM 8/16/24/32-bit, 32-bit float), FLAC, Ogg Vorbis,\n"
           "Ogg Opus and Ogg FLAC, mono or stereo. Without FILE it plays a built-in demo\n"
           "tune that loops until stopped.\n"
           "\n"
           "  --offset N        the image starts N bytes into FILE (default 0; below 4 GiB)\n"
           "  --size N          the image is N bytes long (default: to the end of FILE)\n"
           "  --loops N         passes to play; 0 loops endlessly (default 1; demo 0)\n"
           "  --loop-start F    later passes start at sample frame F\n"
           "  --loop-end F      every pass ends before sample frame F\n"
           "  --start F         begin the first pass at sample frame F\n"
           "  --volume PCT      stream volume, 0-100 (default 100)\n"
           "  --master PCT      the module's master volume, 0-100 (default 100)\n"
           "  --fade-in MS      fade in from silence over MS milliseconds\n"
           "  --fade-out MS     fade out over the last MS milliseconds (or on Ctrl-C)\n"
           "  --seconds S       stop after S seconds\n"
           "  --render OUT.wav  render as fast as possible into OUT.wav instead of playing\n"
           "  --rate HZ         a render's output rate, 8000-192000 (default 44100)\n"
           "  --info            print what the module read of FILE (kind, stored and\n"
           "                    buffer format, length, file loop, markers); play nothing\n"
           "  --check-loop      render the loop seam and score it; exit 1 when it clicks\n"
           "                    (score above 4); draws it, +-20 ms, into an SVG\n"
           "  --svg OUT.svg     where --check-loop draws (default: FILE's name-seam.svg)\n"
           "  --fallback-wav P  where to render when no audio device opens\n"
           "                    (default sonaflux-play.wav)\n"
           "  --no-file-loops   ignore the loop points stored in the file\n"
           "  --then FILE[@N]   then play FILE, N passes (default 1; 0 endless), joined\n"
           "                    without a gap; repeatable, played in order\n"
           "  --switch FILE[@N]@WHEN\n"
           "                    leave the music heard for FILE at WHEN: now, loop (its next\n"
           "                    loop wrap), grid:G[:O] (its next frame O + k*G), frame:F\n"
           "  --switch-after S  ask for the switch S seconds into playback (default 0)\n"
           "  --crossfade MS    the switch crossfades over MS milliseconds (default 0: a cut)\n"
           "  --events          print each event (loop wrap, piece start or end) as heard\n"
           "  --quiet           no progress line\n"
           "  --verbose         show the audio system's own messages (SDL, ALSA)\n"
           "  --help            this text\n"
           "\n"
           "Ctrl-C stops (with --fade-out: fades out first; a second Ctrl-C stops at once).\n"
           "Exit status: 0 done, 1 failure, 2 bad arguments, 130 stopped by Ctrl-C.\n";
}

ParseResult ParseArguments(int argc, const char* const* argv, PlayOptions* options,
                           std::string* error) {
    return ArgumentParser(argc, argv).Parse(options, error);
}

}  // namespace sfplay
