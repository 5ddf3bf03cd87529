#include "base/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "base/message_delivery.h"
#include "base/messages.h"
#include "platform/text.h"
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

// The host's route. A reporter counts itself in before it reads the route and out after
// the callback returned; a setter publishes the new route, then waits until no reporter
// is in, so the old callback has finished everywhere when the setter returns.
struct Route {
    MusicMessageCallback callback;
    void* context;
};
std::atomic<Route*> g_route{nullptr};
Route g_routeStorage[2];
int g_routeSlot = 0;  // under g_routeSetter
std::atomic<int> g_routeUsers{0};
std::mutex g_routeSetter;
std::atomic<bool> g_boxesShown{true};

void SendToRoute(int32_t severity, const char* format, const char* text) noexcept {
    g_routeUsers.fetch_add(1);
    if (const Route* route = g_route.load()) {
        try {
            const std::string utf8 = Cp932ToUtf8(text);
            const MusicMessage message{severity, MessageId(format), text, utf8.c_str()};
            route->callback(route->context, &message);
        } catch (...) {
            // No memory for the UTF-8 copy, or a host callback that threw: the report
            // still reaches the system below.
        }
    }
    g_routeUsers.fetch_sub(1);
}

}  // namespace

void SetMessageRoute(MusicMessageCallback callback, void* context) {
    const std::lock_guard<std::mutex> lock(g_routeSetter);
    // The module's threads first: what they queued for the previous callback reaches it.
    SetDeliveryCallback(callback, context);
    Route* next = nullptr;
    if (callback != nullptr) {
        // The slot not in use: the previous setter waited until nobody read this one.
        g_routeSlot ^= 1;
        g_routeStorage[g_routeSlot] = Route{callback, context};
        next = &g_routeStorage[g_routeSlot];
    }
    g_route.store(next);
    while (g_routeUsers.load() != 0) std::this_thread::yield();
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
    if (hook == nullptr) {
        g_hook.store(nullptr);
        return;
    }
    // Two alternating slots, so a reporter reading the previous hook never sees it torn.
    const int slot = g_hookSlot.fetch_xor(1) ^ 1;
    g_hookStorage[slot] = Hook{hook, context};
    g_hook.store(&g_hookStorage[slot]);
}

int ShowSystemBox(const char* text) {
    if (!g_boxesShown.load()) return IDOK;
    if (Hook* h = g_hook.load()) {
        h->hook(ReportKind::Box, text, h->context);
        return IDOK;
    }
    return MessageBoxA(nullptr, text, msg::kCaption, MB_OK | MB_TOPMOST);
}

void WriteDebugOutput(const char* text) {
    if (Hook* h = g_hook.load()) {
        h->hook(ReportKind::Debug, text, h->context);
        return;
    }
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
