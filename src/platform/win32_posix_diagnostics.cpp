// The POSIX layer's diagnostics: debugger lines and message boxes go to stderr.
#include "platform/text.h"
#include "platform/win32_posix_objects.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace posix_layer {

// One write where the line fits: a pipe keeps lines of up to PIPE_BUF bytes whole when
// several threads report at once.
void WriteLine(const std::string& line) {
    const int fd = STDERR_FILENO;
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    std::replace(s.begin(), s.end(), '\n', ' ');
    s.push_back('\n');
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace posix_layer

using posix_layer::WriteLine;

// ---- Diagnostics ----

void OutputDebugStringA(LPCSTR text) {
    if (text && std::getenv("SONAFLUX_DEBUG")) WriteLine(sonaflux::Cp932ToUtf8(text));
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    WriteLine(std::string(caption ? caption : "") + ": " + sonaflux::Cp932ToUtf8(text ? text : ""));
    return IDOK;
}
