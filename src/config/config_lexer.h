// The tokenizer of the configuration file: the whole file is loaded into the buffer and
// scanned in place, one forward pass with one byte of look-ahead. Text is Shift-JIS: a
// lead byte (0x80-0xA0, 0xE0-0xFE) always takes the byte after it, so a second byte is
// never a delimiter inside a word or a quoted string.
//
// One lexer is used by one thread at a time; it takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/file_buffer.h"

namespace sonaflux {

enum class TokenKind : int32_t {
    End = 0,  // end of the data, or a byte 0xFF
    Number = 1,
    Word = 2,
    Plus = 3,
    Minus = 4,
    Star = 5,
    Slash = 6,
    Percent = 7,
    Assign = 8,
    LeftParen = 9,
    RightParen = 10,
    LeftBrace = 11,
    RightBrace = 12,
    LeftBracket = 13,
    RightBracket = 14,
    PlusAssign = 15,
    MinusAssign = 16,
    Semicolon = 17,
    Comma = 18,
    SingleQuoted = 19,
    DoubleQuoted = 20,
    Equal = 21,
    NotEqual = 22,
    Less = 23,
    LessEqual = 24,
    Greater = 25,
    GreaterEqual = 26,
    // 27 and 28 are never produced.
    Invalid = 29,  // a byte that starts no token, a lone '!', a string without its end
};

// What NextToken answers. `text` means something only for Number, Word, SingleQuoted,
// DoubleQuoted and Invalid; the other kinds carry whatever text the lexer held before.
struct ConfigToken {
    TokenKind kind = TokenKind::End;
    std::string text;
};

class ConfigLexer : public FileBuffer {
public:
    ConfigLexer() = default;

    // Loads the file and scans from its first byte; answers the load's result.
    bool Open(const char* fileName);
    // The same over a copy of `size` bytes in memory.
    bool OpenBytes(const void* data, size_t size);

    // Scans the next token. An Invalid token is reported ("<byte>,<line>,は無効なトークン",
    // the line counted from 1) before it is answered: the first one since Open in an
    // error box, every later one on the debugger output.
    // End at the end of the data is final; End for a byte 0xFF consumes it, and the next
    // call scans on behind it. Throws std::bad_alloc only if a token text cannot grow.
    ConfigToken NextToken();

    // Index of the next byte to scan, and the line (from 1) of the last token's first byte.
    int32_t Position() const { return m_Position; }
    int32_t TokenLine() const { return m_TokenLine; }
    // Invalid tokens scanned since Open.
    int32_t InvalidTokens() const { return m_InvalidTokens; }

private:
    bool Take(uint8_t& byte);  // false at the end of the data
    void StepBack();           // leaves the byte just taken for the next scan
    TokenKind Scan();
    TokenKind ScanWord(uint8_t first);
    TokenKind ScanNumber(uint8_t first);
    TokenKind ScanQuoted(uint8_t quote);
    TokenKind WithEquals(TokenKind twoBytes, TokenKind oneByte);
    TokenKind InvalidByte(uint8_t byte);

    TokenKind m_Kind = TokenKind::End;
    std::string m_Text;
    int32_t m_Position = 0;
    int32_t m_LineFeeds = 0;  // line feeds taken so far, for the line of an Invalid report
    int32_t m_TokenLine = 1;
    int32_t m_InvalidTokens = 0;
};

}  // namespace sonaflux
