#include "config/settings_reader.h"

#include <atomic>
#include <exception>

#include "base/diagnostics.h"
#include "base/messages.h"
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

// How a token that stands where a value belongs is written in the file.
std::string Spelling(const ConfigToken& token) {
    switch (token.kind) {
        case TokenKind::End:
            return "";
        case TokenKind::Plus:
            return "+";
        case TokenKind::Minus:
            return "-";
        case TokenKind::Star:
            return "*";
        case TokenKind::Slash:
            return "/";
        case TokenKind::Percent:
            return "%";
        case TokenKind::Assign:
            return "=";
        case TokenKind::LeftParen:
            return "(";
        case TokenKind::RightParen:
            return ")";
        case TokenKind::LeftBrace:
            return "{";
        case TokenKind::RightBrace:
            return "}";
        case TokenKind::LeftBracket:
            return "[";
        case TokenKind::RightBracket:
            return "]";
        case TokenKind::PlusAssign:
            return "+=";
        case TokenKind::MinusAssign:
            return "-=";
        case TokenKind::Semicolon:
            return ";";
        case TokenKind::Comma:
            return ",";
        case TokenKind::SingleQuoted:
            return "'" + token.text + "'";
        case TokenKind::DoubleQuoted:
            return "\"" + token.text + "\"";
        case TokenKind::Equal:
            return "==";
        case TokenKind::NotEqual:
            return "!=";
        case TokenKind::Less:
            return "<";
        case TokenKind::LessEqual:
            return "<=";
        case TokenKind::Greater:
            return ">";
        case TokenKind::GreaterEqual:
            return ">=";
        case TokenKind::Number:
        case TokenKind::Word:
        case TokenKind::Invalid:
            break;
    }
    return token.text;
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

        const std::string key = token.text;
        if (lexer.NextToken().kind != TokenKind::Assign) return false;
        token = lexer.NextToken();
        if (token.kind != (focus ? TokenKind::Word : TokenKind::Number)) {
            // The reading stops here as before; the debugger output says which key and
            // value stopped it (a sign is not part of a number: "-1" stops the reading).
            std::string value = Spelling(token);
            if (token.kind == TokenKind::Minus || token.kind == TokenKind::Plus) {
                const ConfigToken next = lexer.NextToken();
                if (next.kind == TokenKind::Number) value += next.text;
            }
            DebugPrint(msg::kBadSettingValue, key.c_str(), value.c_str());
            return false;
        }
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
    bool complete = false;
    try {
        complete = Apply(lexer);
    } catch (const std::exception&) {
        complete = false;  // a token text could not grow: the reading stops here
    }
    // Only the first invalid token of a read was shown in a box; say how many followed.
    if (lexer.InvalidTokens() > 1) DebugPrint(msg::kMoreInvalidTokens, lexer.InvalidTokens() - 1);
    return complete;
}

bool ReadModuleSettings(const char* fileName) noexcept {
    try {
        ConfigLexer lexer;
        if (!lexer.Open(fileName)) return false;
        return ApplyModuleSettings(lexer);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace sonaflux
