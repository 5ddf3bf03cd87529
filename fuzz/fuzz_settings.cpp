// Arbitrary bytes as the settings file: scanned by the lexer in memory, checking what
// every token promises, and read as "Sonaflux.ini" from a scratch folder, which must
// give the same answer and values as applying the same bytes from memory.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/diagnostics.h"
#include "config/config_lexer.h"
#include "config/module_settings.h"
#include "config/settings_reader.h"

namespace {

using namespace sonaflux;

std::string g_folder;
std::string g_file;

void Discard(ReportKind, const char*, void*) {}

void RemoveFolder() {
    std::error_code ec;
    std::filesystem::remove_all(g_folder, ec);
}

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_settings: %s\n", what);
        std::abort();
    }
}

void Lex(const uint8_t* data, size_t size) {
    ConfigLexer lexer;
    Check(lexer.OpenBytes(data, size), "OpenBytes failed");
    const auto end = static_cast<int32_t>(size);
    // Every token but the final End consumes at least one byte.
    for (size_t i = 0; i <= size + 1; ++i) {
        const int32_t before = lexer.Position();
        const ConfigToken t = lexer.NextToken();
        Check(lexer.Position() <= end, "position beyond the data");
        if (t.kind == TokenKind::End && before == end) {
            Check(lexer.Position() == end && lexer.NextToken().kind == TokenKind::End,
                  "End at the end is not final");
            return;
        }
        Check(lexer.Position() > before, "a token consumed nothing");
        switch (t.kind) {
            case TokenKind::Number:
                for (char c : t.text) Check(c >= '0' && c <= '9', "non-digit in a Number");
                Check(!t.text.empty(), "empty Number");
                break;
            case TokenKind::Word:
                Check(!t.text.empty(), "empty Word");
                break;
            case TokenKind::Invalid:
                Check(t.text.size() == 1, "Invalid text not one byte");
                break;
            default:
                break;
        }
    }
    Check(false, "no End after every byte");
}

struct Snapshot {
    bool answer;
    int32_t values[5];
    bool focus;
    bool operator==(const Snapshot& o) const {
        for (int i = 0; i < 5; ++i) {
            if (values[i] != o.values[i]) return false;
        }
        return answer == o.answer && focus == o.focus;
    }
};

Snapshot Take(bool answer) {
    const ModuleSettings& s = Settings();
    return Snapshot{answer,
                    {s.STREAM_BUFFER_SIZE, s.RING_BUFFER_BLOCK_SIZE, s.NOTIFY_MAX,
                     s.STREAM_WARNING_MAX, s.FADETYPE},
                    s.GLOBALFOCUS};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetReportHook(&Discard, nullptr);
    std::string pattern =
        (std::filesystem::temp_directory_path() / "sonaflux_fuzz_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_folder = pattern;
    g_file = (std::filesystem::path(g_folder) / kSettingsFileName).string();
    std::atexit(&RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Lex(data, size);

    Settings().ResetToDefaults();
    ConfigLexer lexer;
    lexer.OpenBytes(data, size);
    const Snapshot fromMemory = Take(ApplyModuleSettings(lexer));

    FILE* file = std::fopen(g_file.c_str(), "wb");
    Check(file != nullptr, "cannot write the scratch file");
    Check(size == 0 || std::fwrite(data, 1, size, file) == size, "short write");
    std::fclose(file);
    Settings().ResetToDefaults();
    const Snapshot fromFile = Take(ReadModuleSettings(g_file.c_str()));
    Check(fromFile == fromMemory, "the file and the same bytes in memory differ");
    return 0;
}
