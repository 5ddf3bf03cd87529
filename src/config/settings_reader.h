// Reads the module settings file: a sequence of KEY = value assignments over the tokens
// of the configuration lexer, applied to Settings() in file order. Runs on the thread that
// calls CreateInterface; each value is stored whole (the fields are atomics).
#pragma once

#include <cstdint>
#include <string>

namespace sonaflux {

class ConfigLexer;

inline constexpr char kSettingsFileName[] = "Sonaflux.ini";
// Tokens outside an assignment that are tolerated; the next one ends the reading.
inline constexpr int kMaxStrayTokens = 1000;

// Applies the file to Settings(). Answers true when the file was read to its end; false
// when it could not be loaded (nothing changes; only a name that is not a regular file
// is shown) or the reading stopped early: a key not followed by '=' and a value of its
// kind (a debugger line names the key and the value), more than kMaxStrayTokens stray
// tokens, or no memory for a token. Values stored before the stop stay stored. Of the
// invalid tokens of one read only the first is shown in a box; the others go to the
// debugger output, followed by their count.
bool ReadModuleSettings(const char* fileName) noexcept;

// The same over a lexer that is already open (in-memory input for tests and fuzzing).
bool ApplyModuleSettings(ConfigLexer& lexer) noexcept;

// The value of a digit run: decimal, saturated at 2147483647.
int32_t SettingsNumberValue(const std::string& digits);

}  // namespace sonaflux
