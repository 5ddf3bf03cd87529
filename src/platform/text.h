// Text conversion for messages: the module's texts are Shift-JIS (code page 932) bytes;
// terminals and hosts' logs want UTF-8. One implementation per platform
// (text_posix.cpp with iconv, text_win32.cpp with the system's code pages).
#pragma once

#include <string>

namespace sonaflux {

// `text` (code page 932, null-terminated) as UTF-8. Bytes that do not convert are kept.
std::string Cp932ToUtf8(const char* text);

}  // namespace sonaflux
