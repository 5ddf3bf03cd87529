#include "play_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

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

}  // namespace

const char* UsageText() {
    return "usage: sonaflux-play [options] [FILE]\n"
           "Plays a RIFF/WAVE file (or a byte range of a larger file) through the Sonaflux\n"
           "module. Without FILE it plays a built-in demo tune that loops until stopped.\n"
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
           "  --fallback-wav P  where to render when no audio device opens\n"
           "                    (default sonaflux-play.wav)\n"
           "  --no-file-loops   ignore the loop points stored in the file\n"
           "  --quiet           no progress line\n"
           "  --verbose         show the audio system's own messages (SDL, ALSA)\n"
           "  --help            this text\n"
           "\n"
           "Ctrl-C stops (with --fade-out: fades out first; a second Ctrl-C stops at once).\n"
           "Exit status: 0 done, 1 failure, 2 bad arguments, 130 stopped by Ctrl-C.\n";
}

ParseResult ParseArguments(int argc, const char* const* argv, PlayOptions* options,
                           std::string* error) {
    PlayOptions o;
    bool haveFile = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return ParseResult::Help;
        if (arg == "--no-file-loops") {
            o.fileLoops = false;
            continue;
        }
        if (arg == "--quiet" || arg == "-q") {
            o.quiet = true;
            continue;
        }
        if (arg == "--verbose" || arg == "-v") {
            o.verbose = true;
            continue;
        }
        if (arg == "--") {
            if (i + 1 < argc && !haveFile) {
                o.file = argv[++i];
                haveFile = true;
            }
            if (i + 1 < argc) {
                *error = "more than one file given";
                return ParseResult::Error;
            }
            continue;
        }
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (arg.size() > 1 && arg[0] == '-') {
                *error = "unknown option " + arg;
                return ParseResult::Error;
            }
            if (haveFile) {
                *error = "more than one file given (" + o.file + ", " + arg + ")";
                return ParseResult::Error;
            }
            o.file = arg;
            haveFile = true;
            continue;
        }
        std::string name = arg, value;
        bool haveValue = false;
        const size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            haveValue = true;
        }
        static const char* const kWithValue[] = {
            "--offset",  "--size",   "--loops",       "--loop-start", "--loop-end",
            "--start",   "--volume", "--master",      "--fade-in",    "--fade-out",
            "--seconds", "--render", "--fallback-wav"};
        bool known = false;
        for (const char* k : kWithValue) known = known || name == k;
        if (!known) {
            *error = "unknown option " + name;
            return ParseResult::Error;
        }
        if (!haveValue) {
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return ParseResult::Error;
            }
            value = argv[++i];
        }
        long long n = 0;
        auto integer = [&](long long low, long long high, const char* what) {
            if (ParseInteger(value, low, high, &n)) return true;
            *error = name + " wants " + what + ", not '" + value + "'";
            return false;
        };
        constexpr long long kMaxFrame = 0x7FFFFFFF;  // the module takes frames as int
        if (name == "--offset") {
            // The module takes an entry's offset as 32 bits: a file over 4 GiB plays from
            // any offset below 4 GiB, and nothing past it can be named.
            if (!integer(0, 0xFFFFFFFFll,
                         "a byte offset below 4 GiB (0 to 4294967295; the module's offsets are "
                         "32-bit and cannot reach further into a file)"))
                return ParseResult::Error;
            o.offset = static_cast<uint32_t>(n);
        } else if (name == "--size") {
            if (!integer(1, kMaxFrame, "a byte count (1 to 2147483647)")) return ParseResult::Error;
            o.size = static_cast<uint32_t>(n);
        } else if (name == "--loops") {
            if (!integer(0, 1000000, "a pass count (0 = endless)")) return ParseResult::Error;
            o.loops = static_cast<int>(n);
        } else if (name == "--loop-start" || name == "--loop-end" || name == "--start") {
            if (!integer(0, kMaxFrame, "a sample frame")) return ParseResult::Error;
            auto& slot = name == "--loop-start" ? o.loopStart
                         : name == "--loop-end" ? o.loopEnd
                                                : o.start;
            slot = static_cast<uint32_t>(n);
        } else if (name == "--volume" || name == "--master") {
            if (!integer(0, 100, "a percentage from 0 to 100")) return ParseResult::Error;
            (name == "--volume" ? o.volume : o.master) = static_cast<int>(n);
        } else if (name == "--fade-in" || name == "--fade-out") {
            if (!integer(1, 3600000, "milliseconds (1 to 3600000)")) return ParseResult::Error;
            (name == "--fade-in" ? o.fadeInMs : o.fadeOutMs) = static_cast<uint32_t>(n);
        } else if (name == "--seconds") {
            double s = 0.0;
            if (!ParseSeconds(value, &s)) {
                *error = "--seconds wants a positive number of seconds, not '" + value + "'";
                return ParseResult::Error;
            }
            o.seconds = s;
        } else if (name == "--render" || name == "--fallback-wav") {
            if (value.empty()) {
                *error = name + " needs a file name";
                return ParseResult::Error;
            }
            (name == "--render" ? o.renderPath : o.fallbackPath) = value;
        }
    }
    if ((o.offset || o.size) && !haveFile) {
        *error = "--offset and --size need a FILE";
        return ParseResult::Error;
    }
    if (o.loopEnd && *o.loopEnd == 0) {
        *error = "--loop-end must be after frame 0";
        return ParseResult::Error;
    }
    if (o.loopStart && o.loopEnd && *o.loopStart >= *o.loopEnd) {
        *error = "--loop-start must come before --loop-end";
        return ParseResult::Error;
    }
    *options = o;
    return ParseResult::Run;
}

}  // namespace sfplay
