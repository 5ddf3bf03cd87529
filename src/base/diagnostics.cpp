#include "base/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "base/messages.h"
#include "platform/win32.h"

namespace sonaflux {
namespace {

struct Hook {
    ReportHook hook;
    void* context;
};
std::atomic<Hook*> g_hook{nullptr};
Hook g_hookStorage[2];
std::atomic<int> g_hookSlot{0};

void Format(char (&buffer)[kReportBufferBytes], const char* format, va_list args) {
    buffer[0] = '\0';
    std::vsnprintf(buffer, sizeof buffer, format, args);  // truncates, always terminates
}

}  // namespace

void SetReportHook(ReportHook hook, void* context) {
    if (hook == nullptr) {
        g_hook.store(nullptr);
        return;
    }
    // Two alternating slots, so a reporter reading the previous hook never sees it torn.
    const int slot = g_hookSlot.fetch_xor(1) ^ 1;
    g_hookStorage[slot] = Hook{hook, context};
    g_hook.store(&g_hookStorage[slot]);
}

int ErrorBox(const char* format, ...) {
    char buffer[kReportBufferBytes];
    va_list args;
    va_start(args, format);
    Format(buffer, format, args);
    va_end(args);
    if (Hook* h = g_hook.load()) {
        h->hook(ReportKind::Box, buffer, h->context);
        return IDOK;
    }
    return MessageBoxA(nullptr, buffer, msg::kCaption, MB_OK | MB_TOPMOST);
}

void DebugPrint(const char* format, ...) {
    char buffer[kReportBufferBytes];
    va_list args;
    va_start(args, format);
    Format(buffer, format, args);
    va_end(args);
    if (Hook* h = g_hook.load()) {
        h->hook(ReportKind::Debug, buffer, h->context);
        return;
    }
    OutputDebugStringA(buffer);
}

}  // namespace sonaflux
