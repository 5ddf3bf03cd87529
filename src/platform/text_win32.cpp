#include <windows.h>

#include <cstring>

#include "platform/text.h"

namespace sonaflux {

std::string Cp932ToUtf8(const char* text) {
    const int len = static_cast<int>(std::strlen(text));
    if (len == 0) return std::string();
    const int wide = MultiByteToWideChar(932, 0, text, len, nullptr, 0);
    if (wide <= 0) return std::string(text, static_cast<size_t>(len));
    std::wstring utf16(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(932, 0, text, len, utf16.data(), wide);
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string(text, static_cast<size_t>(len));
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, out.data(), bytes, nullptr, nullptr);
    return out;
}

}  // namespace sonaflux
