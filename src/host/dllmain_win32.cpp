// The DLL's entry (Windows only). Tells the teardown how the library is going away: at
// FreeLibrary the loader lock is held while static destruction stops the workers, so waits
// for threads must not wait for their end; at process exit the workers are gone already.
#include "base/sync.h"
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        sonaflux::SetTeardown(reserved != nullptr ? sonaflux::Teardown::ProcessExit
                                                  : sonaflux::Teardown::LibraryUnload);
    }
    return TRUE;
}
