#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace sonaflux {

std::string Cp932ToUtf8(const char* text) {
    std::string out;
    const size_t len = std::strlen(text);
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text, len);
    std::string in(text, len);
    char* src = in.data();
    size_t srcLeft = len;
    char buf[256];
    while (srcLeft > 0) {
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            out.push_back(*src++);  // not convertible: keep the byte
            --srcLeft;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace sonaflux
