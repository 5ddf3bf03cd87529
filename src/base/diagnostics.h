// The two diagnostic outputs: ErrorBox (a topmost message box captioned "Sonaflux.dll",
// modal on Windows, one line on stderr elsewhere) and DebugPrint (the debugger output;
// on POSIX stderr when SONAFLUX_DEBUG is set).
//
// Both format with printf conventions into a buffer of 1024 bytes of their own call,
// truncating longer text, so any number of threads may report at once. A host's message
// route (MusicDiagnostics) receives every report first, with the message's id: on the
// reporting thread when that is the host's, through the queue of base/message_delivery
// when it is one of the module's own (a stream worker or fade thread), which then never
// waits for the host. Boxes can be turned off; debugger lines always go out at once.
#pragma once

#include "sonaflux/sonaflux.h"

#if defined(__GNUC__)
#define SFX_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SFX_PRINTF(fmt, args)
#endif

namespace sonaflux {

inline constexpr int kReportBufferBytes = 1024;

int ErrorBox(const char* format, ...) SFX_PRINTF(1, 2);
void DebugPrint(const char* format, ...) SFX_PRINTF(1, 2);

// The host's route for every report (null removes it). When this returns, the previous
// callback has returned on every thread and is not called again. Setters are serialised.
void SetMessageRoute(MusicMessageCallback callback, void* context);
// Whether ErrorBox still shows its box (default true).
void SetBoxesShown(bool shown);
bool BoxesShown();
// The system's side of a report, without the host's route: the box (when boxes are shown;
// the test hook instead when one is set), and the debugger output (or the test hook).
int ShowSystemBox(const char* text);
void WriteDebugOutput(const char* text);
// The stable id of a message text of base/messages.h ("" for any other text).
const char* MessageId(const char* format);

enum class ReportKind { Box, Debug };

// Test seam: while set, every report goes to the hook (with its formatted text) instead
// of the system; ErrorBox then answers IDOK. When this returns, the previous hook is not
// running on any thread and is not called again.
using ReportHook = void (*)(ReportKind kind, const char* text, void* context);
void SetReportHook(ReportHook hook, void* context);

}  // namespace sonaflux
