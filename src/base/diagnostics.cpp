#include "base/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "base/message_delivery.h"
#include "base/messages.h"
#include "platform/text.h"
#include "platform/win32.h"

namespace sonaflux {
namespace {

void Format(char (&buffer)[kReportBufferBytes], const char* format, va_list args) {
    buffer[0] = '\0';
    std::vsnprintf(buffer, sizeof buffer, format, args);  // truncates, always terminates
}

// Who hears the reports: the host's route and the test hook. A reporter holds the guard
// shared while it reads a listener and calls it; a setter takes it whole, so when a
// setter returns the listener it replaced has returned on every thread and is not called
// again. Listeners must not report or set listeners themselves (the route's contract).
std::shared_mutex g_listenersGuard;
MusicMessageCallback g_routeCallback = nullptr;  // under g_listenersGuard
void* g_routeContext = nullptr;
ReportHook g_hook = nullptr;  // under g_listenersGuard
void* g_hookContext = nullptr;
std::atomic<bool> g_boxesShown{true};

void SendToRoute(int32_t severity, const char* format, const char* text) noexcept {
    const std::shared_lock<std::shared_mutex> lock(g_listenersGuard);
    if (g_routeCallback == nullptr) return;
    try {
        const std::string utf8 = Cp932ToUtf8(text);
        const MusicMessage message{severity, MessageId(format), text, utf8.c_str()};
        g_routeCallback(g_routeContext, &message);
    } catch (...) {
        // No memory for the UTF-8 copy, or a host callback that threw: the report still
        // reaches the system below.
    }
}

// False when no hook is set.
bool SendToHook(ReportKind kind, const char* text) {
    const std::shared_lock<std::shared_mutex> lock(g_listenersGuard);
    if (g_hook == nullptr) return false;
    g_hook(kind, text, g_hookContext);
    return true;
}

}  // namespace

void SetMessageRoute(MusicMessageCallback callback, void* context) {
    static std::mutex setter;
    const std::lock_guard<std::mutex> serialised(setter);
    // The module's threads first: what they queued for the previous callback reaches it.
    SetDeliveryCallback(callback, context);
    const std::unique_lock<std::shared_mutex> lock(g_listenersGuard);
    g_routeCallback = callback;
    g_routeContext = callback != nullptr ? context : nullptr;
}

void SetBoxesShown(bool shown) {
    g_boxesShown.store(shown);
}

bool BoxesShown() {
    return g_boxesShown.load();
}

const char* MessageId(const char* format) {
    if (format == nullptr) return "";
    for (const msg::Named& named : msg::kAll) {
        if (named.text == format) return named.id;
    }
    for (const msg::Named& named : msg::kAll) {  // the same text reached another way
        if (std::strcmp(named.text, format) == 0) return named.id;
    }
    return "";
}

void SetReportHook(ReportHook hook, void* context) {
    const std::unique_lock<std::shared_mutex> lock(g_listenersGuard);
    g_hook = hook;
    g_hookContext = context;
}

int ShowSystemBox(const char* text) {
    if (!g_boxesShown.load()) return IDOK;
    if (SendToHook(ReportKind::Box, text)) return IDOK;
    // Modal: shown outside the guard, so no setter waits for the user.
    return MessageBoxA(nullptr, text, msg::kCaption, MB_OK | MB_TOPMOST);
}

void WriteDebugOutput(const char* text) {
    if (SendToHook(ReportKind::Debug, text)) return;
    OutputDebugStringA(text);
}

int ErrorBox(const char* format, ...) {
    char buffer[kReportBufferBytes];
    va_list args;
    va_start(args, format);
    Format(buffer, format, args);
    va_end(args);
    if (IsModuleThread()) {
        // A stream worker or fade thread never waits for the host's callback or a box
        // while a callback is set: the delivery thread hands both out.
        const Queued queued = QueueMessage(MusicMessage::kBox, format, buffer);
        if (queued == Queued::Yes) return IDOK;
        if (queued == Queued::Dropped) {
            WriteDebugOutput(buffer);  // counted as dropped; the text still goes somewhere
            return IDOK;
        }
    }
    SendToRoute(MusicMessage::kBox, format, buffer);
    return ShowSystemBox(buffer);
}

void DebugPrint(const char* format, ...) {
    char buffer[kReportBufferBytes];
    va_list args;
    va_start(args, format);
    Format(buffer, format, args);
    va_end(args);
    if (!IsModuleThread() ||
        QueueMessage(MusicMessage::kDebug, format, buffer) == Queued::NoCallback) {
        SendToRoute(MusicMessage::kDebug, format, buffer);
    }
    WriteDebugOutput(buffer);
}

}  // namespace sonaflux
