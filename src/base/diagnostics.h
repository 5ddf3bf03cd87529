// The two diagnostic outputs: ErrorBox (a topmost message box captioned "Sonaflux.dll",
// modal on Windows, one line on stderr elsewhere) and DebugPrint (the debugger output;
// on POSIX stderr when SONAFLUX_DEBUG is set).
//
// Both format with printf conventions into a buffer of 1024 bytes of their own call,
// truncating longer text, so any number of threads may report at once.
#pragma once

#if defined(__GNUC__)
#define SFX_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SFX_PRINTF(fmt, args)
#endif

namespace sonaflux {

inline constexpr int kReportBufferBytes = 1024;

int ErrorBox(const char* format, ...) SFX_PRINTF(1, 2);
void DebugPrint(const char* format, ...) SFX_PRINTF(1, 2);

enum class ReportKind { Box, Debug };

// Test seam: while set, every report goes to the hook (with its formatted text) instead
// of the system; ErrorBox then answers IDOK.
using ReportHook = void (*)(ReportKind kind, const char* text, void* context);
void SetReportHook(ReportHook hook, void* context);

}  // namespace sonaflux
