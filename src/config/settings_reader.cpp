#include "config/settings_reader.h"

#include <atomic>
#include <exception>

#include "config/config_lexer.h"
#include "config/module_settings.h"

namespace sonaflux {
namespace {

std::atomic<int32_t>* IntegerKey(ModuleSettings& s, const std::string& word) {
    if (word == "STREAM_BUFFER_SIZE") return &s.STREAM_BUFFER_SIZE;
    if (word == "RING_BUFFER_BLOCK_SIZE") return &s.RING_BUFFER_BLOCK_SIZE;
    if (word == "NOTIFY_MAX") return &s.NOTIFY_MAX;
    if (word == "STREAM_WARNING_MAX") return &s.STREAM_WARNING_MAX;
    if (word == "FADETYPE") return &s.FADETYPE;
    return nullptr;
}

// The keys that take `true` (exactly) or anything else for false.
std::atomic<bool>* BooleanKey(ModuleSettings& s, const std::string& word) {
    if (word == "GLOBALFOCUS") return &s.GLOBALFOCUS;
    if (word == "FILE_LOOP_POINTS") return &s.FILE_LOOP_POINTS;
    return nullptr;
}

bool Apply(ConfigLexer& lexer) {
    ModuleSettings& settings = Settings();
    int strays = 0;
    for (;;) {
        ConfigToken token = lexer.NextToken();
        if (token.kind == TokenKind::End) return true;
        if (token.kind != TokenKind::Word) {
            if (++strays > kMaxStrayTokens) return false;
            continue;
        }
        std::atomic<int32_t>* integer = IntegerKey(settings, token.text);
        std::atomic<bool>* flag = integer == nullptr ? BooleanKey(settings, token.text) : nullptr;
        const bool focus = flag != nullptr;
        if (integer == nullptr && !focus) continue;  // not a key: skipped, not counted

        if (lexer.NextToken().kind != TokenKind::Assign) return false;
        token = lexer.NextToken();
        if (token.kind != (focus ? TokenKind::Word : TokenKind::Number)) return false;
        if (focus) {
            *flag = token.text == "true";
        } else {
            *integer = SettingsNumberValue(token.text);
        }
    }
}

}  // namespace

int32_t SettingsNumberValue(const std::string& digits) {
    constexpr int32_t kMax = 2147483647;
    int32_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') continue;
        const int digit = c - '0';
        if (value > (kMax - digit) / 10) return kMax;
        value = value * 10 + digit;
    }
    return value;
}

bool ApplyModuleSettings(ConfigLexer& lexer) noexcept {
    try {
        return Apply(lexer);
    } catch (const std::exception&) {
        return false;  // a token text could not grow: the reading stops here
    }
}

bool ReadModuleSettings(const char* fileName) noexcept {
    try {
        ConfigLexer lexer;
        if (!lexer.Open(fileName)) return false;
        return Apply(lexer);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace sonaflux
