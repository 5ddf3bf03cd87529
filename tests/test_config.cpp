// Configuration: file buffer, lexer and the settings file, through real files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "base/diagnostics.h"
#include "base/faults.h"
#include "base/messages.h"
#include "config/config_lexer.h"
#include "config/module_settings.h"
#include "config/settings_reader.h"
#include "sonaflux/sonaflux.h"
#include "support/report_capture.h"
#include "support/test_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace sonaflux {
namespace {

using test::TempFile;

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

std::string Box(const std::string& byte, int line) {
    return byte + "," + std::to_string(line) + "," + msg::kInvalidToken;
}

// The reports in order, each as "box: text" or "debug: text".
std::vector<std::string> Shown(const test::ReportCapture& reports) {
    std::vector<std::string> out;
    for (const test::Report& r : reports.All()) {
        out.push_back((r.kind == ReportKind::Box ? "box: " : "debug: ") + r.text);
    }
    return out;
}
std::string AsBox(const std::string& text) {
    return "box: " + text;
}
std::string AsDebug(const std::string& text) {
    return "debug: " + text;
}
std::string Formatted(const char* format, ...) SFX_PRINTF(1, 2);
std::string Formatted(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// "Word(ab) Assign Number(8) End": kinds by name, texts of the kinds that carry one,
// bytes outside printable ASCII as \xHH.
std::string Describe(const ConfigToken& t) {
    static const char* const kNames[] = {
        "End",        "Number",       "Word",         "Plus",       "Minus",       "Star",
        "Slash",      "Percent",      "Assign",       "LeftParen",  "RightParen",  "LeftBrace",
        "RightBrace", "LeftBracket",  "RightBracket", "PlusAssign", "MinusAssign", "Semicolon",
        "Comma",      "SingleQuoted", "DoubleQuoted", "Equal",      "NotEqual",    "Less",
        "LessEqual",  "Greater",      "GreaterEqual", "?27",        "?28",         "Invalid"};
    const int kind = static_cast<int>(t.kind);
    std::string out = kind >= 0 && kind < 30 ? kNames[kind] : "?";
    if (t.kind == TokenKind::Number || t.kind == TokenKind::Word || t.kind == TokenKind::Invalid ||
        t.kind == TokenKind::SingleQuoted || t.kind == TokenKind::DoubleQuoted) {
        out += '(';
        for (const unsigned char c : t.text) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : hex;
        }
        out += ')';
    }
    return out;
}

// Scans a file of `content` up to the End of the data's end, which must then be final.
std::string Lex(const std::string& content) {
    TempFile file(Bytes(content), "lex");
    ConfigLexer lexer;
    if (!lexer.Open(file.c_str())) return "<open failed>";
    std::string out;
    for (size_t i = 0; i <= content.size() + 1; ++i) {
        const ConfigToken t = lexer.NextToken();
        out += (out.empty() ? "" : " ") + Describe(t);
        if (t.kind == TokenKind::End && lexer.Position() == static_cast<int32_t>(content.size())) {
            return lexer.NextToken().kind == TokenKind::End ? out : out + " <End not final>";
        }
    }
    return out + " <no end>";
}

class Config : public ::testing::Test {
protected:
    void SetUp() override { Settings().ResetToDefaults(); }
    void TearDown() override {
        Settings().ResetToDefaults();
        DisarmFaults();
    }
    static bool Read(const std::string& content) {
        TempFile file(Bytes(content), "ini");
        return ReadModuleSettings(file.c_str());
    }
    static std::string Values() {
        const ModuleSettings& s = Settings();
        return std::to_string(s.STREAM_BUFFER_SIZE) + " " +
               std::to_string(s.RING_BUFFER_BLOCK_SIZE) + " " + std::to_string(s.NOTIFY_MAX) + " " +
               std::to_string(s.STREAM_WARNING_MAX) + " " + (s.GLOBALFOCUS ? "true" : "false") +
               " " + std::to_string(s.FADETYPE);
    }
    test::ReportCapture reports;
};
const char kDefaults[] = "262144 32768 16 4 false 0";

TEST_F(Config, FileBufferLoadsWholeFilesAndFailsCleanly) {
    std::vector<uint8_t> bytes(70000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    TempFile big(bytes), small(Bytes("xyz")), empty({});
    FileBuffer buffer;
    ASSERT_TRUE(buffer.LoadFile(big.c_str()));
    ASSERT_EQ(buffer.GetSize(), 70000);
    EXPECT_EQ(std::memcmp(buffer.GetData(), bytes.data(), bytes.size()), 0);
    ASSERT_TRUE(buffer.LoadFile(small.c_str()));  // a reload replaces, and shrinks
    ASSERT_EQ(buffer.GetSize(), 3);
    EXPECT_EQ(std::memcmp(buffer.GetData(), "xyz", 3), 0);
    EXPECT_TRUE(buffer.LoadFile(empty.c_str()));
    EXPECT_EQ(buffer.GetSize(), 0);

    EXPECT_FALSE(buffer.LoadFile(test::TempPath("missing").c_str()));
    EXPECT_FALSE(buffer.LoadFile(nullptr));
    for (FaultPoint point : {FaultPoint::FileOpen, FaultPoint::FileRead}) {
        ASSERT_TRUE(buffer.LoadFile(small.c_str()));
        ArmFault(point);
        EXPECT_FALSE(buffer.LoadFile(big.c_str()));
        EXPECT_EQ(buffer.GetSize(), 0) << "a failed load leaves nothing to scan";
    }
    EXPECT_TRUE(reports.All().empty());
}

struct LexCase {
    const char* input;
    const char* tokens;
};

TEST_F(Config, LexerScansTokens) {
    const LexCase cases[] = {
        {"", "End"},
        {"NOTIFY_MAX=8", "Word(NOTIFY_MAX) Assign Number(8) End"},
        {"0x40000 12abc", "Number(0) Word(x40000) Number(12) Word(abc) End"},
        {"data\\bgm01.wav _a.b", "Word(data\\bgm01.wav) Word(_a.b) End"},
        {"+ - * / % = ( ) { } [ ] ; ,",
         "Plus Minus Star Slash Percent Assign LeftParen RightParen LeftBrace RightBrace "
         "LeftBracket RightBracket Semicolon Comma End"},
        {"+= -= == != <= >= <>",
         "PlusAssign MinusAssign Equal NotEqual LessEqual GreaterEqual "
         "Less Greater End"},
        {"=== => =-1", "Equal Assign Assign Greater Assign Minus Number(1) End"},
        // At the end of the data the one-byte token is produced once.
        {"=", "Assign End"},
        {"+", "Plus End"},
        {"-", "Minus End"},
        {"<", "Less End"},
        {">", "Greater End"},
        {">\xFF", "Greater End"},
        {"123", "Number(123) End"},
        {"\"abc\" 'a b\r\nc' \"\"",
         "DoubleQuoted(abc) SingleQuoted(a b\\x0D\\x0Ac) DoubleQuoted() End"},
        // A byte 0xFF ends the scan where it stands; scanning goes on behind it.
        {"a\xFF b 12\xFF"
         "3",
         "Word(a) End Word(b) Number(12) End Number(3) End"},
        // Shift-JIS: lead bytes 0x80-0xA0 and 0xE0-0xFE take the next byte, whatever it is.
        {"\x80"
         "A \xA0"
         "A \xE0"
         "A \xFE"
         "A",
         "Word(\\x80A) Word(\\xA0A) Word(\\xE0A) Word(\\xFEA) End"},
        {"\x83\x5C.ini \x81 a \x81\xFF"
         "b",
         "Word(\\x83\\.ini) Word(\\x81 a) Word(\\x81\\xFFb) End"},
        {"\"\x83\x5C\" \"\x81\"x\" '\x81'y'",
         "DoubleQuoted(\\x83\\) DoubleQuoted(\\x81\"x) "
         "SingleQuoted(\\x81'y) End"},
        {"ab\x81", "Word(ab\\x81) End"},  // a lead byte that ends the data stays alone
    };
    for (const LexCase& c : cases) EXPECT_EQ(Lex(c.input), c.tokens) << c.input;
    EXPECT_TRUE(reports.All().empty());
    EXPECT_EQ(Lex(std::string(100000, '7')), "Number(" + std::string(100000, '7') + ") End");
}

TEST_F(Config, LexerReportsEveryInvalidTokenWithItsLine) {
    // The first invalid token since Open is shown in a box, the later ones go to the
    // debugger output: a corrupt file cannot raise a flood of modal boxes.
    EXPECT_EQ(Lex("! !=\n\n#A=1"), "Invalid(!) NotEqual Invalid(#) Word(A) Assign Number(1) End");
    EXPECT_EQ(Shown(reports), (std::vector<std::string>{AsBox(Box("!", 1)), AsDebug(Box("#", 3))}));
    reports.Clear();
    EXPECT_EQ(Lex("x\n\"ab\ncd"), "Word(x) Invalid(\") End");  // line of the opening quote
    EXPECT_EQ(Lex("'ab\xFF z !"), "Invalid(') Word(z) Invalid(!) End");
    EXPECT_EQ(Lex("\"ab\x81"), "Invalid(\") End");
    EXPECT_EQ(Shown(reports),
              (std::vector<std::string>{AsBox(Box("\"", 2)), AsBox(Box("'", 1)),
                                        AsDebug(Box("!", 1)), AsBox(Box("\"", 1))}));
    reports.Clear();
    const std::string bad = "#$&.:?@\\^`|~\x7F\x01\xA1\xB1\xDF";
    std::string spaced, expected;
    for (char c : bad) {
        spaced += std::string(1, c) + " ";
        expected += Describe(ConfigToken{TokenKind::Invalid, std::string(1, c)}) + " ";
    }
    EXPECT_EQ(Lex(spaced), expected + "End");
    EXPECT_EQ(reports.Boxes().size(), 1u);
    EXPECT_EQ(reports.DebugLines().size(), bad.size() - 1);
    // CR LF line ends scan, and count lines, like line feeds alone.
    reports.Clear();
    EXPECT_EQ(Lex("A = 1\r\nB=2\r\n\r\n#\r\n"), Lex("A = 1\nB=2\n\n#\n"));
    EXPECT_EQ(reports.Boxes(), (std::vector<std::string>{Box("#", 4), Box("#", 4)}));
}

TEST_F(Config, LexerOpenStartsOverAndFailsWithoutText) {
    TempFile first(Bytes("\n\nalpha beta")), second(Bytes("# gamma"));
    ConfigLexer lexer;
    EXPECT_EQ(lexer.NextToken().kind, TokenKind::End);  // nothing opened yet
    ASSERT_TRUE(lexer.Open(first.c_str()));
    EXPECT_EQ(lexer.NextToken().text, "alpha");
    ASSERT_TRUE(lexer.Open(second.c_str()));
    EXPECT_EQ(lexer.NextToken().kind, TokenKind::Invalid);
    EXPECT_EQ(reports.Boxes(), std::vector<std::string>{Box("#", 1)});  // lines restart too
    EXPECT_FALSE(lexer.Open(test::TempPath("missing").c_str()));
    EXPECT_EQ(lexer.NextToken().kind, TokenKind::End);
}

struct SettingsCase {
    const char* file;
    bool answer;
    const char* values;
};

TEST_F(Config, SettingsFileRules) {
    const SettingsCase cases[] = {
        {"", true, kDefaults},
        {"STREAM_BUFFER_SIZE = 65536\nRING_BUFFER_BLOCK_SIZE=4096 NOTIFY_MAX\n=\n8\n"
         "STREAM_WARNING_MAX = 2 GLOBALFOCUS = true FADETYPE = 2\nFADETYPE = 1",
         true, "65536 4096 8 2 true 1"},
        {"notify_max = 8 Notify_Max=7 NOTIFY_MAXX=6", true, kDefaults},
        {"NOTIFY_MAX=8\xFF"
         "FADETYPE=1",
         true, "262144 32768 8 4 false 0"},  // 0xFF ends it
        {"GLOBALFOCUS = true GLOBALFOCUS = TRUE", true, "262144 32768 16 4 false 0"},
        {"GLOBALFOCUS = true GLOBALFOCUS = 1", false, "262144 32768 16 4 true 0"},
        {"GLOBALFOCUS = true GLOBALFOCUS = \"true\"", false, "262144 32768 16 4 true 0"},
        {"STREAM_BUFFER_SIZE = 0x40000 NOTIFY_MAX=0", true, "0 32768 0 4 false 0"},
        {"NOTIFY_MAX=8\nFADETYPE=-1\nSTREAM_WARNING_MAX=9", false, "262144 32768 8 4 false 0"},
        {"FADETYPE=1 NOTIFY_MAX 8", false, "262144 32768 16 4 false 1"},
        {"FADETYPE=1 NOTIFY_MAX == 8", false, "262144 32768 16 4 false 1"},
        {"FADETYPE=1 NOTIFY_MAX =", false, "262144 32768 16 4 false 1"},
        {"FADETYPE=1 NOTIFY_MAX", false, "262144 32768 16 4 false 1"},
        {"FADETYPE=1 [NOTIFY_MAX] NOTIFY_MAX=3", false, "262144 32768 16 4 false 1"},
        {"[Section]\n;NOTIFY_MAX=8\n/FADETYPE=1\n'x' 5 STREAM_WARNING_MAX=7", true,
         "262144 32768 8 7 false 1"},
        {"STREAM_BUFFER_SIZE=2147483647 RING_BUFFER_BLOCK_SIZE=2147483648 "
         "NOTIFY_MAX=99999999999999999999999 FADETYPE=0001",
         true, "2147483647 2147483647 2147483647 4 false 1"},
    };
    for (const SettingsCase& c : cases) {
        Settings().ResetToDefaults();
        EXPECT_EQ(Read(c.file), c.answer) << c.file;
        EXPECT_EQ(Values(), c.values) << c.file;
    }
    EXPECT_TRUE(reports.Boxes().empty());
    // A value that stops the reading leaves a debugger line naming the key and the value.
    EXPECT_EQ(reports.DebugLines(),
              (std::vector<std::string>{Formatted(msg::kBadSettingValue, "GLOBALFOCUS", "1"),
                                        Formatted(msg::kBadSettingValue, "GLOBALFOCUS", "\"true\""),
                                        Formatted(msg::kBadSettingValue, "FADETYPE", "-1"),
                                        Formatted(msg::kBadSettingValue, "NOTIFY_MAX", "")}));
    Settings().ResetToDefaults();
    reports.Clear();
    // An invalid byte is shown once and counts as a stray; as a value it stops the reading.
    EXPECT_TRUE(Read("#NOTIFY_MAX=8"));
    EXPECT_FALSE(Read("FADETYPE = @"));
    EXPECT_EQ(Values(), "262144 32768 8 4 false 0");
    EXPECT_EQ(reports.Boxes(), (std::vector<std::string>{Box("#", 1), Box("@", 1)}));
    reports.Clear();
    // Negative values stop the reading as before, and say so.
    EXPECT_FALSE(Read("FADETYPE=1 NOTIFY_MAX = -1 STREAM_WARNING_MAX=9"));
    EXPECT_FALSE(Read("RING_BUFFER_BLOCK_SIZE=-5"));
    EXPECT_FALSE(Read("STREAM_BUFFER_SIZE=+7"));
    EXPECT_EQ(Values(), "262144 32768 8 4 false 1");
    EXPECT_EQ(Shown(reports),
              (std::vector<std::string>{
                  AsDebug(Formatted(msg::kBadSettingValue, "NOTIFY_MAX", "-1")),
                  AsDebug(Formatted(msg::kBadSettingValue, "RING_BUFFER_BLOCK_SIZE", "-5")),
                  AsDebug(Formatted(msg::kBadSettingValue, "STREAM_BUFFER_SIZE", "+7"))}));
}

TEST_F(Config, SettingsToleratesAThousandStrayTokens) {
    std::string skipped;  // neither assignments nor unknown words count
    for (int i = 0; i < 2000; ++i) skipped += "FADETYPE=1 word ";
    EXPECT_TRUE(Read(skipped + std::string(1000, ';') + " NOTIFY_MAX=8"));
    EXPECT_EQ(Settings().NOTIFY_MAX, 8);
    EXPECT_FALSE(Read(std::string(1001, ';') + " NOTIFY_MAX=9"));
    EXPECT_FALSE(Read(std::string(1001, '#') + " NOTIFY_MAX=9"));
    EXPECT_EQ(Settings().NOTIFY_MAX, 8);
    // One box for the first of the 1001 invalid tokens, the rest on the debugger output
    // with their count at the end; the stop rule is the same as for any stray token.
    EXPECT_EQ(reports.Boxes(), std::vector<std::string>{Box("#", 1)});
    const std::vector<std::string> lines = reports.DebugLines();
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines[999], Box("#", 1));
    EXPECT_EQ(lines.back(), Formatted(msg::kMoreInvalidTokens, 1000));
    // Every read shows its own first invalid token again.
    reports.Clear();
    EXPECT_TRUE(Read("# NOTIFY_MAX=7 $"));
    EXPECT_TRUE(Read("#"));
    EXPECT_EQ(Settings().NOTIFY_MAX, 7);
    EXPECT_EQ(Shown(reports),
              (std::vector<std::string>{AsBox(Box("#", 1)), AsDebug(Box("$", 1)),
                                        AsDebug(Formatted(msg::kMoreInvalidTokens, 1)),
                                        AsBox(Box("#", 1))}));
}

TEST_F(Config, SettingsLoadFailuresChangeNothing) {
    EXPECT_FALSE(ReadModuleSettings(test::TempPath("missing").c_str()));
    for (FaultPoint point : {FaultPoint::FileOpen, FaultPoint::FileRead}) {
        ArmFault(point);
        EXPECT_FALSE(Read("NOTIFY_MAX=8"));
    }
    EXPECT_EQ(Values(), kDefaults);
    EXPECT_TRUE(reports.All().empty());
}

// A directory, a device or a FIFO where the settings file belongs is treated as absent,
// with one box that names it; nothing waits for a FIFO's writer.
TEST_F(Config, SettingsThatAreNoRegularFileAreTreatedAsAbsent) {
    test::ScopedWorkingDirectory cwd;
    std::vector<std::string> names = {cwd.Path()};
#ifdef _WIN32
    names.push_back("NUL");
#else
    names.push_back("/dev/null");
    names.push_back("/dev/zero");
    const std::string fifo = cwd.Path() + "/" + kSettingsFileName;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    names.push_back(kSettingsFileName);
#endif
    for (const std::string& name : names) {
        reports.Clear();
        EXPECT_FALSE(ReadModuleSettings(name.c_str())) << name;
        EXPECT_EQ(reports.Boxes(),
                  std::vector<std::string>{Formatted(msg::kNotRegularFile, name.c_str())});
        EXPECT_EQ(Values(), kDefaults) << name;
    }
#ifndef _WIN32
    // What CreateInterface reads: the FIFO in the working directory.
    reports.Clear();
    EXPECT_NE(CreateInterface(&IID_MusicModule), nullptr);
    EXPECT_EQ(reports.Boxes(),
              std::vector<std::string>{Formatted(msg::kNotRegularFile, kSettingsFileName)});
    unlink(fifo.c_str());
#endif
}

TEST_F(Config, CreateInterfaceReadsTheFileOnEveryCall) {
    test::ScopedWorkingDirectory cwd;
    test::WriteFile(kSettingsFileName, Bytes("NOTIFY_MAX=8\nFADETYPE=1\n"));
    void* module = CreateInterface(&IID_MusicModule);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Values(), "262144 32768 8 4 false 1");
    test::WriteFile(kSettingsFileName, Bytes("FADETYPE=2"));  // NOTIFY_MAX removed: it stays
    EXPECT_EQ(CreateInterface(&IID_MusicModule), module);
    EXPECT_EQ(Values(), "262144 32768 8 4 false 2");
    test::WriteFile(kSettingsFileName, Bytes("FADETYPE=3 NOTIFY_MAX=-1"));  // stops, still answers
    EXPECT_EQ(CreateInterface(&IID_MusicVolumeControl), nullptr);           // no read
    EXPECT_NE(CreateInterface(&IID_MusicDiagnostics), nullptr);             // no read either
    EXPECT_EQ(Settings().FADETYPE, 2);
    EXPECT_EQ(CreateInterface(&IID_MusicModule), module);
    EXPECT_EQ(Values(), "262144 32768 8 4 false 3");
    test::RemoveFile(kSettingsFileName);
    EXPECT_EQ(CreateInterface(&IID_MusicModule), module);
    EXPECT_EQ(Values(), "262144 32768 8 4 false 3");
}

}  // namespace
}  // namespace sonaflux
