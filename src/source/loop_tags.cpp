#include "source/loop_tags.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <string_view>

#include "base/diagnostics.h"
#include "base/messages.h"

namespace sonaflux {
namespace {

enum class Role { Start, Length, End, None };

std::string Upper(std::string_view text);

Role RoleOf(std::string_view key) {
    const std::string upper = Upper(key);
    if (upper == "LOOPSTART" || upper == "LOOP_START") return Role::Start;
    if (upper == "LOOPLENGTH") return Role::Length;
    if (upper == "LOOPEND" || upper == "LOOP_END") return Role::End;
    return Role::None;
}

// One loop tag as the file writes it, and its value once read.
struct Tag {
    std::string name;
    std::string text;
    uint64_t value = 0;
};

// Blanks around the number are tolerated; anything else that is not a decimal digit is
// not (so "1e3" and "100abc" are refused, never read as 1 or 100).
const char* ParseValue(Tag& tag) {
    const size_t first = tag.text.find_first_not_of(" \t");
    if (first == std::string::npos) return msg::kLoopTagNotNumber;
    std::string_view digits(tag.text);
    digits = digits.substr(first, tag.text.find_last_not_of(" \t") + 1 - first);
    const bool negative = digits.front() == '-';
    if (negative) digits.remove_prefix(1);
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return msg::kLoopTagNotNumber;
    }
    if (negative) return msg::kLoopTagNegative;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), tag.value);
    (void)end;
    // Frames are 32-bit: 4294967396 is out of range, not frame 100.
    if (error != std::errc() || tag.value > 0xFFFFFFFFu) return msg::kLoopTagOutOfRange;
    return nullptr;
}

class LoopTagReader {
public:
    LoopTagReader(uint32_t frames, const char* file) : m_Frames(frames), m_File(file) {}

    // Takes one comment; false when it refused the loop.
    bool Take(const std::string& comment) {
        const size_t equals = comment.find('=');
        if (equals == std::string::npos) return true;
        const Role role = RoleOf(std::string_view(comment).substr(0, equals));
        if (role == Role::None) return true;
        Tag tag{comment.substr(0, equals), comment.substr(equals + 1)};
        if (const char* reason = ParseValue(tag)) return Refuse(reason, tag);
        std::optional<Tag>& slot = m_Tags[static_cast<int>(role)];
        if (slot && slot->value != tag.value) {
            DebugPrint(msg::kLoopTagConflict, m_File, slot->name.c_str(), tag.name.c_str());
            return false;
        }
        if (!slot) slot = tag;
        return true;
    }

    FileLoopPoints Loop() const {
        const auto& start = m_Tags[static_cast<int>(Role::Start)];
        const auto& length = m_Tags[static_cast<int>(Role::Length)];
        const auto& end = m_Tags[static_cast<int>(Role::End)];
        if (!start) {
            if (length || end)
                DebugPrint(msg::kLoopTagNoStart, m_File, (length ? length : end)->name.c_str());
            return {};
        }
        uint64_t last = m_Frames;
        const Tag* endTag = nullptr;
        if (length) {
            last = start->value + length->value;
            endTag = &*length;
            if (end && end->value != last) {
                DebugPrint(msg::kLoopTagConflict, m_File, length->name.c_str(), end->name.c_str());
                return {};
            }
        } else if (end) {
            last = end->value;
            endTag = &*end;
        }
        if (start->value >= m_Frames)
            return Refuse(msg::kLoopTagOutOfRange, *start), FileLoopPoints{};
        if (last > m_Frames) return Refuse(msg::kLoopTagOutOfRange, *endTag), FileLoopPoints{};
        if (last <= start->value) {
            DebugPrint(msg::kLoopTagOrder, m_File, static_cast<unsigned>(last),
                       static_cast<unsigned>(start->value));
            return {};
        }
        return {true, static_cast<uint32_t>(start->value), static_cast<uint32_t>(last)};
    }

private:
    bool Refuse(const char* reason, const Tag& tag) const {
        if (reason == msg::kLoopTagOutOfRange) {
            DebugPrint(msg::kLoopTagOutOfRange, m_File, tag.name.c_str(), tag.text.c_str(),
                       m_Frames);
        } else {
            DebugPrint(reason, m_File, tag.name.c_str(), tag.text.c_str());
        }
        return false;
    }

    uint32_t m_Frames;
    const char* m_File;
    std::optional<Tag> m_Tags[3];
};

std::string Upper(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
}

// Digits from `at` as a number; false when there are none or more than nine.
bool TakeNumber(std::string_view text, size_t& at, uint32_t& value, size_t& digits) {
    value = 0;
    digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 9) {
        value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
        ++digits;
    }
    return digits > 0 && (at == text.size() || text[at] < '0' || text[at] > '9');
}

// "HH:MM:SS" with an optional ".fraction", as milliseconds-exact seconds; any other
// text (a locale's decimal comma included) is not a chapter time.
bool ChapterSeconds(std::string_view text, double& seconds) {
    size_t at = 0, digits = 0;
    uint32_t h = 0, m = 0, sec = 0, fraction = 0;
    if (!TakeNumber(text, at, h, digits) || at >= text.size() || text[at++] != ':') return false;
    if (!TakeNumber(text, at, m, digits) || at >= text.size() || text[at++] != ':') return false;
    if (!TakeNumber(text, at, sec, digits) || m > 59 || sec > 59) return false;
    double part = 0;
    if (at < text.size()) {
        if (text[at++] != '.' || !TakeNumber(text, at, fraction, digits) || at != text.size()) {
            return false;
        }
        part = fraction / std::pow(10.0, static_cast<double>(digits));
    }
    seconds = h * 3600.0 + m * 60.0 + sec + part;
    return true;
}

}  // namespace

void ReadChapterMarkers(const std::vector<std::string>& comments, uint32_t rate,
                        std::vector<Marker>& out) {
    struct Chapter {
        bool timed = false;
        double seconds = 0;
        std::string name;
    };
    std::map<std::string, Chapter> chapters;  // by number, in order
    for (const std::string& comment : comments) {
        const size_t equals = comment.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = Upper(std::string_view(comment).substr(0, equals));
        if (key.size() < 10 || key.compare(0, 7, "CHAPTER") != 0 ||
            !std::all_of(key.begin() + 7, key.begin() + 10,
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        Chapter& chapter = chapters[key.substr(7, 3)];
        const std::string_view value = std::string_view(comment).substr(equals + 1);
        if (key.size() == 10) {
            chapter.timed = ChapterSeconds(value, chapter.seconds);
        } else if (key.compare(10, std::string::npos, "NAME") == 0) {
            chapter.name = std::string(value);
        }
    }
    for (const auto& entry : chapters) {
        const Chapter& c = entry.second;
        const double frame = std::floor(c.seconds * rate + 0.5);
        if (c.timed && frame <= 0xFFFFFFFFu) out.push_back({static_cast<uint32_t>(frame), c.name});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Marker& a, const Marker& b) { return a.frame < b.frame; });
}

FileLoopPoints ReadLoopTags(const std::vector<std::string>& comments, uint32_t frames,
                            const char* file) {
    LoopTagReader reader(frames, file ? file : "");
    for (const std::string& comment : comments) {
        if (!reader.Take(comment)) return {};
    }
    return reader.Loop();
}

}  // namespace sonaflux
