// Extended precision for long double arithmetic on the calling thread.
//
// Threads on 32-bit Windows start with the x87 unit rounding every result to double
// precision (only the process's first thread is switched to full precision by the
// runtime), so a long double computation on a worker would silently be a double one.
// Elsewhere long double arithmetic is always extended and the scope does nothing.
#pragma once

#if defined(_WIN32) && defined(__i386__)
#include <float.h>

namespace sonaflux {
class ExtendedPrecisionScope {
public:
    ExtendedPrecisionScope() : m_Saved(_controlfp(0, 0)) { _controlfp(_PC_64, _MCW_PC); }
    ~ExtendedPrecisionScope() { _controlfp(m_Saved & _MCW_PC, _MCW_PC); }
    ExtendedPrecisionScope(const ExtendedPrecisionScope&) = delete;
    ExtendedPrecisionScope& operator=(const ExtendedPrecisionScope&) = delete;

private:
    unsigned int m_Saved;
};
}  // namespace sonaflux
#else
namespace sonaflux {
class ExtendedPrecisionScope {};
}  // namespace sonaflux
#endif
