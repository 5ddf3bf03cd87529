#include "config/config_lexer.h"

#include "base/diagnostics.h"
#include "base/messages.h"

namespace sonaflux {
namespace {

constexpr uint8_t kEndMarker = 0xFF;

bool IsBlank(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}
bool IsLetter(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// Shift-JIS lead bytes; 0xA1-0xDF are single-byte katakana, 0xFF the end marker.
bool IsLead(uint8_t c) {
    return (c >= 0x80 && c <= 0xA0) || (c >= 0xE0 && c <= 0xFE);
}
bool IsWordStart(uint8_t c) {
    return IsLetter(c) || c == '_' || IsLead(c);
}
// Full stop and backslash continue a word but never start one: data\bgm01.wav is a word.
bool IsWordByte(uint8_t c) {
    return IsLetter(c) || IsDigit(c) || c == '_' || c == '.' || c == '\\';
}

}  // namespace

bool ConfigLexer::Open(const char* fileName) {
    m_Position = 0;
    m_LineFeeds = 0;
    m_InvalidTokens = 0;
    return LoadFile(fileName);
}

bool ConfigLexer::OpenBytes(const void* data, size_t size) {
    m_Position = 0;
    m_LineFeeds = 0;
    m_InvalidTokens = 0;
    return LoadBytes(data, size);
}

bool ConfigLexer::Take(uint8_t& byte) {
    const uint8_t* data = GetData();
    if (data == nullptr || m_Position >= GetSize()) return false;
    byte = data[m_Position++];
    if (byte == '\n') ++m_LineFeeds;
    return true;
}

void ConfigLexer::StepBack() {
    --m_Position;
    if (GetData()[m_Position] == '\n') --m_LineFeeds;
}

ConfigToken ConfigLexer::NextToken() {
    m_Kind = Scan();
    if (m_Kind == TokenKind::Invalid) {
        // One box per read: a corrupt file would otherwise raise one modal box per token.
        if (m_InvalidTokens++ == 0) {
            ErrorBox(msg::kInvalidTokenFormat, m_Text.c_str(), static_cast<int>(m_TokenLine),
                     msg::kInvalidToken);
        } else {
            DebugPrint(msg::kInvalidTokenFormat, m_Text.c_str(), static_cast<int>(m_TokenLine),
                       msg::kInvalidToken);
        }
    }
    return ConfigToken{m_Kind, m_Text};
}

TokenKind ConfigLexer::Scan() {
    uint8_t c = 0;
    do {
        if (!Take(c) || c == kEndMarker) return TokenKind::End;
    } while (IsBlank(c));
    m_TokenLine = m_LineFeeds + 1;

    if (IsWordStart(c)) return ScanWord(c);
    if (IsDigit(c)) return ScanNumber(c);
    switch (c) {
        case '+':
            return WithEquals(TokenKind::PlusAssign, TokenKind::Plus);
        case '-':
            return WithEquals(TokenKind::MinusAssign, TokenKind::Minus);
        case '=':
            return WithEquals(TokenKind::Equal, TokenKind::Assign);
        case '<':
            return WithEquals(TokenKind::LessEqual, TokenKind::Less);
        case '>':
            return WithEquals(TokenKind::GreaterEqual, TokenKind::Greater);
        case '!': {
            const TokenKind kind = WithEquals(TokenKind::NotEqual, TokenKind::Invalid);
            if (kind == TokenKind::Invalid) m_Text.assign(1, '!');
            return kind;
        }
        case '*':
            return TokenKind::Star;
        case '/':
            return TokenKind::Slash;
        case '%':
            return TokenKind::Percent;
        case '(':
            return TokenKind::LeftParen;
        case ')':
            return TokenKind::RightParen;
        case '{':
            return TokenKind::LeftBrace;
        case '}':
            return TokenKind::RightBrace;
        case '[':
            return TokenKind::LeftBracket;
        case ']':
            return TokenKind::RightBracket;
        case ';':
            return TokenKind::Semicolon;
        case ',':
            return TokenKind::Comma;
        case '\'':
        case '"':
            return ScanQuoted(c);
        default:
            return InvalidByte(c);
    }
}

TokenKind ConfigLexer::WithEquals(TokenKind twoBytes, TokenKind oneByte) {
    uint8_t next = 0;
    if (!Take(next)) return oneByte;  // end of the data: nothing to leave behind
    if (next == '=') return twoBytes;
    StepBack();
    return oneByte;
}

TokenKind ConfigLexer::ScanWord(uint8_t first) {
    m_Text.assign(1, static_cast<char>(first));
    uint8_t c = first;
    for (;;) {
        if (IsLead(c)) {
            // The second byte belongs to the character, whatever it is. A lead byte that
            // ends the data stays in the word alone.
            uint8_t second = 0;
            if (!Take(second)) break;
            m_Text.push_back(static_cast<char>(second));
        }
        if (!Take(c)) break;
        if (!IsWordByte(c) && !IsLead(c)) {
            StepBack();
            break;
        }
        m_Text.push_back(static_cast<char>(c));
    }
    return TokenKind::Word;
}

TokenKind ConfigLexer::ScanNumber(uint8_t first) {
    m_Text.assign(1, static_cast<char>(first));
    uint8_t c = 0;
    while (Take(c)) {
        if (!IsDigit(c)) {
            StepBack();
            break;
        }
        m_Text.push_back(static_cast<char>(c));
    }
    return TokenKind::Number;
}

TokenKind ConfigLexer::ScanQuoted(uint8_t quote) {
    const int32_t start = m_Position;  // first byte behind the opening quote
    uint8_t c = 0;
    for (;;) {
        // No closing quote before the end of the data or a byte 0xFF: what was read stays
        // consumed and the opening quote is the offending byte.
        if (!Take(c) || c == kEndMarker) return InvalidByte(quote);
        if (c == quote) break;
        if (IsLead(c) && !Take(c)) return InvalidByte(quote);
    }
    const auto* data = reinterpret_cast<const char*>(GetData());
    m_Text.assign(data + start, static_cast<size_t>(m_Position - 1 - start));
    return quote == '"' ? TokenKind::DoubleQuoted : TokenKind::SingleQuoted;
}

TokenKind ConfigLexer::InvalidByte(uint8_t byte) {
    m_Text.assign(1, static_cast<char>(byte));
    return TokenKind::Invalid;
}

}  // namespace sonaflux
