// sonaflux-play: plays a music file (or the built-in demo tune) through the module.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "play_options.h"
#include "play_session.h"

namespace {

std::atomic<int> g_Interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free, "raised from a signal handler");

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    g_Interrupts.fetch_add(1);
    return TRUE;
}
bool OnTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}
void CatchInterrupts() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
#else
extern "C" void OnSignal(int) {
    g_Interrupts.fetch_add(1);
}
bool OnTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}
void CatchInterrupts() {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
#endif

}  // namespace

int main(int argc, char** argv) {
    sfplay::PlayOptions options;
    std::string error;
    switch (sfplay::ParseArguments(argc, argv, &options, &error)) {
        case sfplay::ParseResult::Help:
            std::cout << sfplay::UsageText();
            return sfplay::kExitOk;
        case sfplay::ParseResult::Error:
            std::cerr << "sonaflux-play: " << error << "\n" << sfplay::UsageText();
            return sfplay::kExitUsage;
        case sfplay::ParseResult::Run:
            break;
    }
    CatchInterrupts();
    const sfplay::SessionIo io{std::cout, std::cerr, OnTerminal(), &g_Interrupts, nullptr};
    return sfplay::RunSession(options, io);
}
