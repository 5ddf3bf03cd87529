// Extended precision for long double arithmetic on the calling thread.
//
// Threads on Windows (32-bit and 64-bit alike) start with the x87 unit rounding every
// result to double precision, and MinGW's long double is the x87 80-bit type, so a long
// double computation on such a thread would silently be a double one. The scope sets the
// x87 precision control to 64-bit mantissas and puts the caller's setting back after.
// Elsewhere long double arithmetic is always extended and the scope does nothing.
#pragma once

#if defined(_WIN32) && (defined(__i386__) || defined(__x86_64__))
namespace sonaflux {
class ExtendedPrecisionScope {
public:
    ExtendedPrecisionScope() {
        __asm__ volatile("fnstcw %0" : "=m"(m_Saved));
        const unsigned short extended = m_Saved | kPrecisionControl;
        __asm__ volatile("fldcw %0" : : "m"(extended));
    }
    ~ExtendedPrecisionScope() { __asm__ volatile("fldcw %0" : : "m"(m_Saved)); }
    ExtendedPrecisionScope(const ExtendedPrecisionScope&) = delete;
    ExtendedPrecisionScope& operator=(const ExtendedPrecisionScope&) = delete;

private:
    static constexpr unsigned short kPrecisionControl = 0x0300;  // PC = 11b: 64-bit mantissa
    unsigned short m_Saved = 0;
};
}  // namespace sonaflux
#else
namespace sonaflux {
class ExtendedPrecisionScope {};
}  // namespace sonaflux
#endif
